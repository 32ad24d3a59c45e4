/*
** The platform table on Windows: each entry is one Win32 ANSI call with the arguments the core
** was written against. This is the only file of the core that includes windows.h.
*/
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

const char PathSeparator = '\\';

/* ---- files ----------------------------------------------------------------------------- */

/* Share mode FILE_SHARE_READ: while the handle is open others may read the file but neither
** write nor delete it, and the open fails when someone else already holds it that way. */
static FileHandle WinOpenFile(const char *path, int write)
{
    DWORD access = write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    HANDLE file = CreateFileA(path, access, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    return file == INVALID_HANDLE_VALUE ? InvalidFileHandle : (FileHandle)file;
}

/* The stored count is the answer: it is 0 at the end of the file and on a failure alike. */
static uint32_t WinReadFile(FileHandle file, void *buffer, uint32_t count)
{
    DWORD got = 0;
    ReadFile((HANDLE)file, buffer, count, &got, NULL);
    return got;
}

static uint32_t WinSeekFile(FileHandle file, int32_t distance, uint32_t origin)
{
    return SetFilePointer((HANDLE)file, distance, NULL, origin);
}

static int WinCloseFile(FileHandle file)
{
    return CloseHandle((HANDLE)file) != 0;
}

/* ---- memory ---------------------------------------------------------------------------- */

static void *WinMemAlloc(uint32_t size)
{
    return malloc(size ? size : 1);     /* a zero-size heap block is still a block */
}

static void WinMemFree(void *block)
{
    free(block);
}

/* ---- changing files -------------------------------------------------------------------- */

static uint32_t WinGetFileAttributes(const char *path)
{
    return GetFileAttributesA(path);
}

static int WinSetFileAttributes(const char *path, uint32_t attributes)
{
    return SetFileAttributesA(path, attributes) != 0;
}

static int WinCopyFile(const char *from, const char *to)
{
    return CopyFileA(from, to, TRUE) != 0;
}

static int WinDeleteFile(const char *path)
{
    return DeleteFileA(path) != 0;
}

static int WinMoveFile(const char *from, const char *to)
{
    return MoveFileA(from, to) != 0;
}

/* ---- restart-time work ----------------------------------------------------------------- */

static uint32_t WinGetVersion(void)
{
    return GetVersion();
}

/* The platform's own result goes back unchanged: callers test for non-zero only. */
static int WinMoveFileAtRestart(const char *from, const char *to)
{
    return MoveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT);
}

static int WinWindowsFolder(char *out, uint32_t size)
{
    if (size == 0) return 0;
    UINT length = GetWindowsDirectoryA(out, size);
    if (length == 0 || length >= size) {
        out[0] = 0;
        return 0;
    }
    /* A root folder such as "C:\" is the one case with a separator at the end. */
    if (length > 0 && out[length - 1] == '\\') out[--length] = 0;
    return 1;
}

static int WinWriteWholeFile(const char *path, const void *data, uint32_t size)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, size, &written, NULL);
    if (!CloseHandle(file)) ok = FALSE;
    return ok && written == size;
}

static int WinShortPath(const char *path, char *out, uint32_t size)
{
    DWORD length = GetShortPathNameA(path, out, size);
    return length > 0 && length < size;
}

/* The NT family replaces in one step. The 9x family has no replacing move (MoveFileExA fails
** there as not implemented): the old file steps aside under "<to>~", and comes back when the
** new one cannot take its place. */
static int WinReplaceFile(const char *from, const char *to)
{
    if (!(GetVersion() & 0x80000000u))
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    char aside[MAX_PATH];
    size_t length = strlen(to);
    if (length + 2 > sizeof aside) return 0;
    memcpy(aside, to, length);
    aside[length] = '~';
    aside[length + 1] = 0;
    DeleteFileA(aside);             /* what an interrupted replacement may have left */
    BOOL stepped = MoveFileA(to, aside);
    if (!stepped && GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES) return 0;
    if (!MoveFileA(from, to)) {
        if (stepped) MoveFileA(aside, to);
        return 0;
    }
    if (stepped) DeleteFileA(aside);
    return 1;
}

/* ---- folder walk ----------------------------------------------------------------------- */

static void ToRecord(const WIN32_FIND_DATAA *data, FindRecord *record)
{
    record->attributes = data->dwFileAttributes;
    /* dwReserved0 holds the reparse tag only when the attributes say there is one. */
    record->reparseTag =
        (data->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data->dwReserved0 : 0;
    size_t length = strnlen(data->cFileName, sizeof data->cFileName);
    if (length >= sizeof record->name) length = sizeof record->name - 1;
    memcpy(record->name, data->cFileName, length);
    record->name[length] = 0;
}

/*
** On the NT family names are Unicode, and FindFirstFileA hands each one over in the ANSI code
** page: a character that page lacks comes out as "?" or as a look-alike ("a" for "\u0101"),
** and that name opens nothing, or another file. So on NT the listing is taken in Unicode and
** each name turned into ANSI here; a name that does not come back the same is replaced by the
** entry's short (8.3) name, which opens the very file. The wide functions are looked up at run
** time: the 9x family, whose names are ANSI already, keeps FindFirstFileA.
*/
typedef HANDLE(WINAPI *FindFirstWide)(LPCWSTR, WIN32_FIND_DATAW *);
typedef BOOL(WINAPI *FindNextWide)(HANDLE, WIN32_FIND_DATAW *);
static FindFirstWide findFirstWide;       /* set on the first listing, on the NT family only */
static FindNextWide findNextWide;
static int wideLooked;

static int UseWideListing(void)
{
    if (!wideLooked) {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        if (!(GetVersion() & 0x80000000u) && kernel) {
            findFirstWide = (FindFirstWide)(void *)GetProcAddress(kernel, "FindFirstFileW");
            findNextWide = (FindNextWide)(void *)GetProcAddress(kernel, "FindNextFileW");
        }
        wideLooked = 1;
    }
    return findFirstWide && findNextWide;
}

/* The ANSI form of `wide` in `out`; 1 only when it names the same thing (converts back to
** exactly `wide`) and fits. */
static int ExactAnsi(const WCHAR *wide, char *out, int size)
{
    WCHAR back[MAX_PATH];
    if (!wide[0] || !WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, NULL, NULL)) return 0;
    if (!MultiByteToWideChar(CP_ACP, 0, out, -1, back, MAX_PATH)) return 0;
    int i = 0;
    while (wide[i] && wide[i] == back[i]) i++;
    return wide[i] == back[i];
}

/* A name with no exact ANSI form, not even a short one, keeps its lossy form: it opens
** nothing, and the workflow reports it like any file that cannot be opened. */
static void ToRecordWide(const WIN32_FIND_DATAW *data, FindRecord *record)
{
    record->attributes = data->dwFileAttributes;
    int size = (int)sizeof record->name;
    if (ExactAnsi(data->cFileName, record->name, size) ||
        ExactAnsi(data->cAlternateFileName, record->name, size))
        return;
    if (!WideCharToMultiByte(CP_ACP, 0, data->cFileName, -1, record->name, size, NULL, NULL))
        record->name[0] = 0;
    record->name[size - 1] = 0;
}

static FindHandle WinFindFirst(const char *pattern, FindRecord *record)
{
    HANDLE find;
    if (UseWideListing()) {
        WCHAR widePattern[2 * MAX_PATH];
        WIN32_FIND_DATAW data;
        if (!MultiByteToWideChar(CP_ACP, 0, pattern, -1, widePattern, 2 * MAX_PATH))
            return InvalidFindHandle;
        find = findFirstWide(widePattern, &data);
        if (find != INVALID_HANDLE_VALUE) ToRecordWide(&data, record);
    } else {
        WIN32_FIND_DATAA data;
        find = FindFirstFileA(pattern, &data);
        if (find != INVALID_HANDLE_VALUE) ToRecord(&data, record);
    }
    return find == INVALID_HANDLE_VALUE ? InvalidFindHandle : (FindHandle)find;
}

static int WinFindNext(FindHandle find, FindRecord *record)
{
    if (UseWideListing()) {
        WIN32_FIND_DATAW data;
        if (!findNextWide((HANDLE)find, &data)) return 0;
        ToRecordWide(&data, record);
        return 1;
    }
    WIN32_FIND_DATAA data;
    if (!FindNextFileA((HANDLE)find, &data)) return 0;
    ToRecord(&data, record);
    return 1;
}

static int WinFindClose(FindHandle find)
{
    return FindClose((HANDLE)find) != 0;
}

/* The drive mask is read once; letters A to Z in order, roots "X:\" of fixed drives only. */
static uint32_t WinFixedDrives(char (*roots)[MaxRootPath], uint32_t max)
{
    DWORD mask = GetLogicalDrives();
    uint32_t count = 0;
    for (int i = 0; i < 26 && count < max; i++) {
        if (!(mask & (1u << i))) continue;
        char root[4] = {(char)('A' + i), ':', '\\', 0};
        if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
        memcpy(roots[count++], root, sizeof root);
    }
    return count;
}

/* ---- the machine-wide Run key ---------------------------------------------------------- */

static void *WinRegOpenRunKey(void)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    return (void *)key;
}

static int WinRegValueCount(void *key, uint32_t *count)
{
    DWORD values = 0;
    if (RegQueryInfoKeyA((HKEY)key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL,
                         NULL) != ERROR_SUCCESS)
        return 0;
    *count = values;
    return 1;
}

static int WinRegEnumValue(void *key, uint32_t index, char *name, uint32_t *length)
{
    DWORD size = *length, type = 0;
    if (RegEnumValueA((HKEY)key, index, name, &size, NULL, &type, NULL, NULL) != ERROR_SUCCESS)
        return 0;
    *length = size;
    return 1;
}

static int WinRegDeleteValue(void *key, const char *name)
{
    return RegDeleteValueA((HKEY)key, name) == ERROR_SUCCESS;
}

static void WinRegCloseKey(void *key)
{
    RegCloseKey((HKEY)key);
}

/* ---- threads --------------------------------------------------------------------------- */

/* The table's thread procedure has the C calling convention; CreateThread wants WINAPI. */
struct ThreadStart {
    uint32_t (*proc)(void *);
    void *parameter;
};

static DWORD WINAPI ThreadTrampoline(LPVOID argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    free(argument);
    return start.proc(start.parameter);
}

/* Nobody joins the thread, so its handle is closed at once; the thread runs on. */
static int WinStartThread(uint32_t (*proc)(void *), void *parameter)
{
    ThreadStart *start = (ThreadStart *)malloc(sizeof *start);
    if (!start) return 0;
    start->proc = proc;
    start->parameter = parameter;
    DWORD id;
    HANDLE thread = CreateThread(NULL, 0, ThreadTrampoline, start, 0, &id);
    if (!thread) {
        free(start);
        return 0;
    }
    CloseHandle(thread);
    return 1;
}

/* ---- the console ----------------------------------------------------------------------- */

static uint32_t WinMilliseconds(void)
{
    return GetTickCount();
}

static int WinErrorIsTerminal(void)
{
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

static void (*interruptHandler)(void);   /* set once, before the scan starts */

/* Runs on a thread of the system's own; answering TRUE keeps the process alive. */
static BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    interruptHandler();
    return TRUE;
}

/* Windows has no SIGPIPE: a write to a closed pipe fails by itself. */
static void WinOnInterrupt(void (*handler)(void))
{
    interruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

/* GetComputerNameA: the NetBIOS name, on both families. */
static int WinHostName(char *out, uint32_t size)
{
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof name;
    if (size == 0)
        return 0;
    out[0] = 0;
    if (!GetComputerNameA(name, &length))
        return 0;
    name[sizeof name - 1] = 0;
    uint32_t n = 0;
    for (; name[n] && n + 1 < size; n++)
        out[n] = name[n];
    out[n] = 0;
    return 1;
}

/* ---- the table ------------------------------------------------------------------------- */

const PlatformOps PlatformDefaults = {
    .openFile          = WinOpenFile,
    .readFile          = WinReadFile,
    .seekFile          = WinSeekFile,
    .closeFile         = WinCloseFile,
    .memAlloc          = WinMemAlloc,
    .memFree           = WinMemFree,
    .getFileAttributes = WinGetFileAttributes,
    .setFileAttributes = WinSetFileAttributes,
    .copyFile          = WinCopyFile,
    .deleteFile        = WinDeleteFile,
    .moveFile          = WinMoveFile,
    .getVersion        = WinGetVersion,
    .moveFileAtRestart = WinMoveFileAtRestart,
    .windowsFolder     = WinWindowsFolder,
    .writeWholeFile    = WinWriteWholeFile,
    .shortPath         = WinShortPath,
    .replaceFile       = WinReplaceFile,
    .findFirst         = WinFindFirst,
    .findNext          = WinFindNext,
    .findClose         = WinFindClose,
    .fixedDrives       = WinFixedDrives,
    .regOpenRunKey     = WinRegOpenRunKey,
    .regValueCount     = WinRegValueCount,
    .regEnumValue      = WinRegEnumValue,
    .regDeleteValue    = WinRegDeleteValue,
    .regCloseKey       = WinRegCloseKey,
    .startThread       = WinStartThread,
    .milliseconds      = WinMilliseconds,
    .errorIsTerminal   = WinErrorIsTerminal,
    .onInterrupt       = WinOnInterrupt,
    .hostName          = WinHostName,
};

