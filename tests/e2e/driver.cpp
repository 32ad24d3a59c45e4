/*
** Drives the shipped korvane.exe from another process, through its windows' messages only, the
** way a user's clicks reach it.
**
**   driver scan TIMEOUT-SECONDS [FOLDER]
**       Finds the main dialog, optionally chooses FOLDER through Select Path's folder browser,
**       presses Scan, waits for the report, answers the restart warning, waits until the dialog
**       is Idle again and prints what it saw, one record a line, fields separated by tabs:
**         TARGET <text of the target field before the scan>
**         WARNING <text of the restart warning, line breaks as \n>   (only when one appeared)
**         ROW <index> <file> <status>                               (every row of the list)
**         ROWS <count>
**   driver exit TIMEOUT-SECONDS
**       Presses Exit and waits until the dialog is gone.
**   driver signal EVENT
**       Sets the named event (ends the worm and the holder).
** Exit code 0 on success; 1 with a message on stderr when anything did not happen in time.
*/
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "scan/display.h"


static DWORD Deadline;

static bool TimeLeft(void)
{
    return (LONG)(Deadline - GetTickCount()) > 0;
}

/* One short pause between polls of a condition that another process changes; every wait that
** uses it is bounded by Deadline and fails with a message. */
static void Pause(void)
{
    Sleep(20);
}

static int Failed(const char *what)
{
    fprintf(stderr, "driver: %s\n", what);
    fflush(stderr);
    return 1;
}

/* The main dialog: the "#32770" window with the title that has the results list (a message box
** shares class and caption). Only once it is visible: the dialog is shown after its
** initialisation, so its captions and the Run-key cleanup are done by then. */
static HWND FindDialog(void)
{
    HWND w = NULL;
    while ((w = FindWindowExA(NULL, w, "#32770", DialogTitle)) != NULL) {
        if (!IsWindowVisible(w))
            continue;
        HWND list = GetDlgItem(w, ResultsList);
        char cls[64] = "";
        if (list && GetClassNameA(list, cls, sizeof cls) && strcmp(cls, "SysListView32") == 0)
            return w;
    }
    return NULL;
}

struct OwnedSearch {
    HWND owner;
    DWORD pid;
    HWND found;
    const char *childClass;   /* required child class, or null */
};

static BOOL CALLBACK FindChildClass(HWND w, LPARAM param)
{
    OwnedSearch *s = (OwnedSearch *)param;
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (strcmp(cls, s->childClass) == 0) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

static BOOL CALLBACK FindOwnedBox(HWND w, LPARAM param)
{
    OwnedSearch *s = (OwnedSearch *)param;
    char cls[64] = "";
    if (!IsWindowVisible(w) || !GetClassNameA(w, cls, sizeof cls) || strcmp(cls, "#32770") != 0)
        return TRUE;
    if (s->owner && GetWindow(w, GW_OWNER) != s->owner)
        return TRUE;
    if (s->pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s->pid)
            return TRUE;
    }
    if (s->childClass) {
        OwnedSearch inner = {NULL, 0, NULL, s->childClass};
        EnumChildWindows(w, FindChildClass, (LPARAM)&inner);
        if (!inner.found)
            return TRUE;
    }
    s->found = w;
    return FALSE;
}

/* A visible message box owned by the dialog, or null. */
static HWND FindOwnedMessageBox(HWND dialog)
{
    OwnedSearch s = {dialog, 0, NULL, NULL};
    EnumWindows(FindOwnedBox, (LPARAM)&s);
    return s.found;
}

/* The folder browser: a visible "#32770" of the dialog's process, other than the dialog, with a
** tree view inside. */
static HWND FindBrowser(HWND dialog, DWORD pid)
{
    OwnedSearch s = {NULL, pid, NULL, "SysTreeView32"};
    EnumWindows(FindOwnedBox, (LPARAM)&s);
    return s.found != dialog ? s.found : NULL;
}

/* Memory in the dialog's process for list-view messages whose pointers it dereferences. */
struct Remote {
    HANDLE process;
    char *base;          /* LVITEMA at base, text buffer after it */
};
static const SIZE_T RemoteTextSize = 2048;

static bool RemoteOpen(Remote &r, DWORD pid)
{
    r.process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!r.process)
        return false;
    r.base = (char *)VirtualAllocEx(r.process, NULL, sizeof(LVITEMA) + RemoteTextSize,
                                    MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return r.base != NULL;
}

static void RemoteClose(Remote &r)
{
    if (r.base)
        VirtualFreeEx(r.process, r.base, 0, MEM_RELEASE);
    if (r.process)
        CloseHandle(r.process);
}

static std::string ItemText(Remote &r, HWND list, int row, int column)
{
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.iSubItem = column;
    item.pszText = r.base + sizeof(LVITEMA);
    item.cchTextMax = (int)RemoteTextSize;
    char text[RemoteTextSize];
    text[0] = 0;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(r.process, r.base, &item, sizeof item, &moved))
        return "<write failed>";
    if (!WriteProcessMemory(r.process, r.base + sizeof(LVITEMA), text, 1, &moved))
        return "<write failed>";
    SendMessageA(list, LVM_GETITEMTEXTA, (WPARAM)row, (LPARAM)r.base);
    if (!ReadProcessMemory(r.process, r.base + sizeof(LVITEMA), text, sizeof text, &moved))
        return "<read failed>";
    text[sizeof text - 1] = 0;
    return text;
}

/* WM_GETTEXT rather than GetWindowTextA: for another process's window the latter answers the
** caption the system keeps, which an edit control does not use. */
static std::string WindowText(HWND w)
{
    char text[1024] = "";
    SendMessageA(w, WM_GETTEXT, sizeof text, (LPARAM)text);
    text[sizeof text - 1] = 0;
    return text;
}

static std::string Escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

static bool WaitDialog(HWND *dialog)
{
    while ((*dialog = FindDialog()) == NULL) {
        if (!TimeLeft())
            return false;
        Pause();
    }
    return true;
}

static int ChooseFolder(HWND dialog, DWORD pid, Remote &r, const char *folder)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(SelectPathButton, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog, SelectPathButton));
    HWND browser;
    while ((browser = FindBrowser(dialog, pid)) == NULL) {
        if (!TimeLeft())
            return Failed("the folder browser did not appear");
        Pause();
    }
    SIZE_T moved = 0;
    size_t length = strlen(folder) + 1;
    if (length > RemoteTextSize || !WriteProcessMemory(r.process, r.base, folder, length, &moved))
        return Failed("cannot hand the folder to the browser");
    /* BFFM_SETSELECTIONA: wParam TRUE means lParam is a path, in the browser's address space. */
    SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, (LPARAM)r.base);
    PostMessageA(browser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(browser, IDOK));
    HWND target = GetDlgItem(dialog, TargetField);
    while (WindowText(target) != folder) {
        if (!TimeLeft()) {
            fprintf(stderr, "driver: target field reads \"%s\", not \"%s\"\n",
                    WindowText(target).c_str(), folder);
            return Failed("choosing the folder through the browser failed");
        }
        Pause();
    }
    while (IsWindow(browser)) {
        if (!TimeLeft())
            return Failed("the folder browser did not close");
        Pause();
    }
    return 0;
}

static int Scan(const char *folder)
{
    HWND dialog;
    if (!WaitDialog(&dialog))
        return Failed("the main dialog did not appear");
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    Remote r = {NULL, NULL};
    if (!RemoteOpen(r, pid)) {
        RemoteClose(r);
        return Failed("cannot reach the dialog's process memory");
    }
    if (folder && ChooseFolder(dialog, pid, r, folder)) {
        RemoteClose(r);
        return 1;
    }
    HWND list = GetDlgItem(dialog, ResultsList);
    HWND scan = GetDlgItem(dialog, ScanButton);
    HWND exitButton = GetDlgItem(dialog, ExitButton);
    printf("TARGET\t%s\n", WindowText(GetDlgItem(dialog, TargetField)).c_str());
    if (SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) != 0) {
        RemoteClose(r);
        return Failed("the list is not empty before the scan");
    }
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(ScanButton, BN_CLICKED), (LPARAM)scan);

    /* The report is complete when its last row reads "Unable to be cleaned:" eleven rows after
    ** "Scan report"; the dialog is Idle again when Exit is enabled and Scan reads "&Scan", which
    ** happens only after the restart warning (if any) is dismissed. */
    int warnings = 0;
    for (;;) {
        if (!IsWindow(dialog)) {
            RemoteClose(r);
            return Failed("the dialog vanished during the scan");
        }
        int count = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
        bool complete = count >= 11 && ItemText(r, list, count - 1, 0) == "Unable to be cleaned:" &&
                        ItemText(r, list, count - 11, 0) == "Scan report";
        if (complete) {
            HWND box = FindOwnedMessageBox(dialog);
            if (box) {
                char text[1024] = "";
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                char caption[256] = "";
                GetWindowTextA(box, caption, sizeof caption);
                printf("WARNING\t%s\t%s\n", Escaped(text).c_str(), caption);
                warnings++;
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(box, IDOK));
                while (IsWindow(box) && IsWindowVisible(box)) {
                    if (!TimeLeft()) {
                        RemoteClose(r);
                        return Failed("the restart warning did not close");
                    }
                    Pause();
                }
                continue;
            }
            bool idle = !(GetWindowLongA(exitButton, GWL_STYLE) & WS_DISABLED) &&
                        !(GetWindowLongA(scan, GWL_STYLE) & WS_DISABLED) && WindowText(scan) == "&Scan";
            if (idle)
                break;
        }
        if (!TimeLeft()) {
            fprintf(stderr, "driver: %d rows so far, Scan reads \"%s\"\n", count, WindowText(scan).c_str());
            RemoteClose(r);
            return Failed("the scan did not end in time");
        }
        Pause();
    }
    int count = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    for (int i = 0; i < count; i++)
        printf("ROW\t%d\t%s\t%s\n", i, ItemText(r, list, i, 0).c_str(), ItemText(r, list, i, 1).c_str());
    printf("ROWS\t%d\n", count);
    fflush(stdout);
    RemoteClose(r);
    return 0;
}

static int Exit(void)
{
    HWND dialog;
    if (!WaitDialog(&dialog))
        return Failed("the main dialog did not appear");
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(ExitButton, BN_CLICKED), (LPARAM)GetDlgItem(dialog, ExitButton));
    while (IsWindow(dialog)) {
        if (!TimeLeft())
            return Failed("the dialog did not close after Exit");
        Pause();
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "signal") == 0) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (!event || !SetEvent(event))
            return Failed("cannot set the event");
        CloseHandle(event);
        return 0;
    }
    if (argc >= 3) {
        Deadline = GetTickCount() + (DWORD)atoi(argv[2]) * 1000u;
        if (strcmp(argv[1], "scan") == 0 && argc <= 4)
            return Scan(argc == 4 ? argv[3] : NULL);
        if (strcmp(argv[1], "exit") == 0 && argc == 3)
            return Exit();
    }
    fprintf(stderr, "usage: driver scan TIMEOUT [FOLDER] | exit TIMEOUT | signal EVENT\n");
    return 1;
}
