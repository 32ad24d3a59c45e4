/*
** The main dialog: start-up, the dialog procedure and its commands, the link label, and the
** display operations through which a scan reaches the dialog's controls.
*/
#ifndef KRV_DIALOG_H
#define KRV_DIALOG_H

#include <windows.h>

#include "app/resource.h"
#include "scan/display.h"

/* The vendor's web address, without a scheme: the link label's text, what it draws and, after
** "http://", what it opens. At most 248 characters so that the opened address fits 256 bytes. */
extern const char VendorAddress[];
/* The maker's copyright line: the copyright label and the end of the About text. */
extern const char CopyrightLine[];

/* What the Stop command asks before it stops a scan. */
extern const char StopQuestion[];

/* The main dialog; set first thing when it opens (dialog thread), read by both threads. */
extern HWND MainDialog;
/* The link's hand cursor (null when it could not be loaded) and its bold underlined font;
** made once at start-up, never released. */
extern HCURSOR LinkCursor;
extern HFONT LinkFont;

/* Sent by the worker through DisplayOps.finishScan: the dialog thread enables Scan, Select
** Path and Exit and sets ScanState to Idle, so that these never interleave with a Stop. */
#define WM_KRV_FINISHSCAN (WM_APP + 1)

/* The start-up routine: common controls, COM, cursor and font, then dialog 101, modal and
** without an owner, until it ends. Answers 0 whatever happens. */
int RunMainDialog(HINSTANCE instance);

/* The dialog procedure; answers 0 for every message but WM_KRV_FINISHSCAN. */
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/* The link label's window procedure, installed in place of the static control's own. */
LRESULT CALLBACK LinkLabelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/* How the link opens its address: ShellExecuteA, unless a test puts something else here. */
typedef HINSTANCE(WINAPI *OpenAddressProc)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
extern OpenAddressProc OpenAddress;

/* The display operations on the dialog's controls; the dialog installs them as Display when
** it opens. */
extern const DisplayOps DialogDisplay;

#endif
