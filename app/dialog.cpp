/*
** Start-up and the main dialog. The dialog only dispatches: one handler per message and per
** command. It never scans and never waits for the worker; the worker reaches the controls
** through DialogDisplay (app/results.cpp).
*/
#include "app/dialog.h"
#include "base/text.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "engine/signature.h"
#include "platform/platform.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "startup/runkey.h"

const char VendorAddress[] = "www.korvane.com";
const char CopyrightLine[] = "Copyright (c) 2004-2007 Korvane Software. All rights reserved.";

static const char PromoLines[] =
    "For a complete protection agains any malware please\ndownload Korvane security solutions from:";
const char StopQuestion[] = "Are you sure you want to stop scanning?";
static const char BrowseTitle[] = "Choose the folder to be scanned";

HWND MainDialog;        /* written once per dialog, first thing in OnInitDialog */
HCURSOR LinkCursor;     /* written at start-up only */
HFONT LinkFont;         /* written at start-up only */

int RunMainDialog(HINSTANCE instance)
{
    InitCommonControls();
    CoInitialize(NULL);
    LinkCursor = LoadCursorA(instance, MAKEINTRESOURCEA(IDC_LINKHAND));
    LinkFont = CreateFontA(0, 0, 0, 0, FW_BOLD, FALSE, TRUE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0,
                           "System");
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
    return 0;
}

static void InsertColumn(HWND list, int index, int width, const char *title)
{
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = (char *)title;
    SendMessageA(list, LVM_INSERTCOLUMNA, index, (LPARAM)&column);
}

static void OnInitDialog(HWND dialog)
{
    ScanState = Initializing;
    MainDialog = dialog;
    Display = &DialogDisplay;

    SetWindowLongA(GetDlgItem(dialog, LinkLabel), GWL_WNDPROC, (LONG)(LONG_PTR)LinkLabelProc);
    SetWindowTextA(dialog, DialogTitle);

    SetDlgItemTextA(dialog, DetectsCaption, "Detects and removes:");
    SetDlgItemTextA(dialog, DetectionNameLabel, DetectionName);
    SetDlgItemTextA(dialog, PromoText, PromoLines);
    SetDlgItemTextA(dialog, LinkLabel, VendorAddress);
    SetDlgItemTextA(dialog, TargetCaption, "Target:");
    SetDlgItemTextA(dialog, ScanButton, ScanCaption);
    SetDlgItemTextA(dialog, SelectPathButton, "Select &Path");
    SetDlgItemTextA(dialog, AboutButton, "&About");
    SetDlgItemTextA(dialog, ExitButton, "E&xit");
    SetDlgItemTextA(dialog, CopyrightLabel, CopyrightLine);

    HWND list = GetDlgItem(dialog, ResultsList);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
    InsertColumn(list, 0, 350, "File");
    InsertColumn(list, 1, 200, "Status");

    TargetPath[0] = 0;
    ShowTarget(TargetPath);
    ScanState = Idle;
    RemoveRunKeyValue();
}

static void OnAbout(HWND dialog)
{
    char text[256];
    CopyText(text, sizeof text, "Detects and removes:\n");
    AppendText(text, sizeof text, DetectionName);
    AppendText(text, sizeof text, "\n\n");
    AppendText(text, sizeof text, CopyrightLine);
    MessageBoxA(dialog, text, DialogTitle, MB_ICONINFORMATION);
}

/* The browser is owned by the dialog, so the dialog is disabled while it is open: no scan can
** start meanwhile, and the target cannot change under a running scan. The browser writes into
** buffers of its own; TargetPath takes the outcome in one bounded copy. */
static void OnSelectPath(HWND dialog)
{
    IMalloc *allocator = NULL;
    char displayName[MAX_PATH];
    char path[MAX_PATH];

    SHGetMalloc(&allocator);
    BROWSEINFOA browse = {};
    browse.hwndOwner = dialog;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = BrowseTitle;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    path[0] = 0;
    if (!chosen || !SHGetPathFromIDListA(chosen, path))
        path[0] = 0;
    if (allocator) {
        allocator->Free(chosen);
        allocator->Release();
    }
    if (ScanState != Idle)
        return;
    if (!CopyText(TargetPath, TargetPathSize, path))
        TargetPath[0] = 0;
    ShowTarget(TargetPath);
}

/* Puts the dialog back where a finished scan leaves it; on the dialog thread only. */
static void ReturnToIdle(void)
{
    EnableControl(ScanButton);
    EnableControl(SelectPathButton);
    EnableControl(ExitButton);
    ScanState = Idle;
}

static void OnScan(HWND dialog)
{
    ScanState = Scanning;
    DisableControl(SelectPathButton);
    DisableControl(ExitButton);
    SetDlgItemTextA(dialog, ScanButton, StopCaption);
    SendMessageA(GetDlgItem(dialog, ResultsList), LVM_DELETEALLITEMS, 0, 0);
    if (!Platform.system.startThread(ScanThreadProc, NULL)) {
        /* Nobody would ever bring the dialog back: do it now. */
        SetDlgItemTextA(dialog, ScanButton, ScanCaption);
        ReturnToIdle();
    }
}

static void OnStop(HWND dialog)
{
    if (MessageBoxA(dialog, StopQuestion, DialogTitle, MB_YESNO) != IDYES)
        return;
    /* The report may have ended the scan while the question was open: the worker's last step
    ** runs on this thread too (WM_KRV_FINISHSCAN), so this test and the writes below are one. */
    if (ScanState != Scanning)
        return;
    ScanState = Stopping;
    DisableControl(ScanButton);
    StopScan();
}

static void OnScanButton(HWND dialog)
{
    switch (ScanState.load()) {
    case Idle:
        OnScan(dialog);
        break;
    case Scanning:
        OnStop(dialog);
        break;
    default:
        break;
    }
}

static void OnCommand(HWND dialog, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case ExitButton:
        EndDialog(dialog, 0);
        break;
    case AboutButton:
        OnAbout(dialog);
        break;
    case SelectPathButton:
        OnSelectPath(dialog);
        break;
    case ScanButton:
        OnScanButton(dialog);
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        break;
    case WM_COMMAND:
        OnCommand(dialog, wParam);
        break;
    case WM_KRV_FINISHSCAN:
        ReturnToIdle();
        /* Tells the worker its request was carried out. */
        SetWindowLongA(dialog, DWL_MSGRESULT, 1);
        return TRUE;
    default:
        break;
    }
    return 0;
}
