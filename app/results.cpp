/*
** The display operations on the main dialog's controls. The worker calls them; every change of
** a control is a synchronous message carried out on the dialog thread while the worker waits.
** Each call looks its control up from MainDialog by identifier.
*/
#include "app/dialog.h"

#include <commctrl.h>
#include <climits>

#include "scan/scanstate.h"

static void AddRow(const ResultRow *shown)
{
    const char *file = shown->file, *status = shown->status;
    HWND list = GetDlgItem(MainDialog, ResultsList);
    LVITEMA row = {};
    row.iItem = INT_MAX;     /* past the last row: appends */
    int index = (int)SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&row);

    LVITEMA text = {};
    text.iSubItem = 0;
    text.pszText = (char *)file;
    SendMessageA(list, LVM_SETITEMTEXTA, index, (LPARAM)&text);
    text.iSubItem = 1;
    text.pszText = (char *)status;
    SendMessageA(list, LVM_SETITEMTEXTA, index, (LPARAM)&text);
    SendMessageA(list, LVM_ENSUREVISIBLE, index, FALSE);
}

static void SetTargetText(const char *text)
{
    SetDlgItemTextA(MainDialog, TargetField, text);
}

/* Only the style bit changes, so the control gets no enable notification; the repaint shows
** the new look at once. */
static void SetControlEnabled(int id, int enabled)
{
    HWND control = GetDlgItem(MainDialog, id);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    if (enabled)
        style &= ~WS_DISABLED;
    else
        style |= WS_DISABLED;
    SetWindowLongA(control, GWL_STYLE, style);
    InvalidateRect(control, NULL, TRUE);
    UpdateWindow(control);
}

static void SetScanCaption(const char *caption)
{
    SetDlgItemTextA(MainDialog, ScanButton, caption);
}

/* A box of the worker thread, owned by the dialog. Once the dialog has ended there is nobody
** to answer it, so none is shown then. */
static void WarnRestart(const char *text, const char *caption)
{
    if (IsWindow(MainDialog))
        MessageBoxA(MainDialog, text, caption, MB_ICONWARNING);
}

/* The last two steps of every scan run on the dialog thread, where the Stop command tests and
** writes ScanState; they cannot interleave with it. When the dialog has already ended there
** are no buttons left and no Stop can come: the state is set here. */
static void FinishScan(void)
{
    if (SendMessageA(MainDialog, WM_KRV_FINISHSCAN, 0, 0) != 1)
        ScanState = Idle;
}

const DisplayOps DialogDisplay = {
    AddRow, SetTargetText, SetControlEnabled, SetScanCaption, WarnRestart, FinishScan, nullptr,
    nullptr, nullptr,
};
