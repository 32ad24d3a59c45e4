/*
** The platform table on Windows: each entry is one Win32 ANSI call with the arguments the core
** was written against. This is the only file of the core that includes windows.h.
*/
#include "platform/platform.h"
#include "platform/platform_hooks.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

const char PathSeparator = '\\';

/* ---- the entry in hand ----------------------------------------------------------------- */

/*
** On the NT family a folder on the path may be swapped for a junction, or the file for another,
** between the scan of the entry in hand and what the workflow then does to it. Opening the entry
** for reading records its identity (volume serial number and file index); every change then
** looks, through a handle of its own, whether the path still names that file, and fails
** otherwise. The 9x family has no links, and no identity for a folder: it keeps the plain calls.
*/
static int IsNtFamily(void)
{
    return !(GetVersion() & 0x80000000u);
}

/* Non-zero when identities are kept: an entry is in hand, on the NT family. */
static int Watching(void)
{
    return InHand.listing != InvalidFindHandle && IsNtFamily();
}

/* Non-zero when the open `file` is the file opened for reading as the entry in hand. */
static int IsInHand(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return InHand.opened && GetFileInformationByHandle(file, &info) &&
           InHand.volume == info.dwVolumeSerialNumber &&
           InHand.index == (((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow);
}

/* Non-zero when `path` still names the entry in hand, or nothing is watched. The look takes
** no right to the file's contents, so that whoever holds the file does not stop it. */
static int StillInHand(const char *path)
{
    if (!Watching()) return 1;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int same = IsInHand(file);
    CloseHandle(file);
    return same;
}

/* ---- files ----------------------------------------------------------------------------- */

/* Share mode FILE_SHARE_READ: while the handle is open others may read the file but neither
** write nor delete it, and the open fails when someone else already holds it that way. With an
** entry in hand, opening for reading records the file's identity, and opening for writing is
** refused to any other file. */
static FileHandle WinOpenFile(const char *path, int write)
{
    DWORD access = write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    HANDLE file = CreateFileA(path, access, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        InHand.failure = code == ERROR_FILENAME_EXCED_RANGE     ? FailureTooLong
                         : code == ERROR_TOO_MANY_OPEN_FILES     ? FailureDescriptors
                         : code == ERROR_ACCESS_DENIED           ? FailureDenied
                         : code == ERROR_SHARING_VIOLATION ||
                                   code == ERROR_LOCK_VIOLATION  ? FailureInUse
                         : code == ERROR_CRC || code == ERROR_READ_FAULT ||
                                   code == ERROR_IO_DEVICE       ? FailureIo
                                                                 : FailureOther;
        return InvalidFileHandle;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (Watching() && !write) {
        InHand.opened = GetFileInformationByHandle(file, &info) != 0;
        InHand.volume = info.dwVolumeSerialNumber;
        InHand.index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    } else if (Watching() && !IsInHand(file)) {
        CloseHandle(file);
        return InvalidFileHandle;
    }
    return (FileHandle)file;
}

/* The stored count is the answer: it is 0 at the end of the file and on a failure alike. */
static uint32_t WinReadFile(FileHandle file, void *buffer, uint32_t count)
{
    DWORD got = 0;
    if (!ReadFile((HANDLE)file, buffer, count, &got, NULL))
        InHand.failure = GetLastError() == ERROR_LOCK_VIOLATION ? FailureInUse : FailureIo;
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
    return StillInHand(path) && SetFileAttributesA(path, attributes) != 0;
}

/* The source is held open for reading, its identity checked, while CopyFileA reads it: no
** other file can take its name meanwhile. */
static int WinCopyFile(const char *from, const char *to)
{
    if (!Watching()) return CopyFileA(from, to, TRUE) != 0;
    HANDLE source = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (source == INVALID_HANDLE_VALUE) return 0;
    int ok = IsInHand(source) && CopyFileA(from, to, TRUE) != 0;
    CloseHandle(source);
    return ok;
}

/* FileDispositionInformation of NtSetInformationFile: what DeleteFileA does on the NT family. */
typedef LONG(WINAPI *SetInformationFile)(HANDLE, void *, void *, ULONG, int);
#define FileDispositionInformation 13

/* With an entry in hand on the NT family, the file is marked for deletion through the handle
** whose identity was checked, so the name cannot lead elsewhere in between. (A handle opened
** with FILE_FLAG_DELETE_ON_CLOSE would be marked before the check could refuse it.) The
** refusals are DeleteFileA's: a read-only file, a file held without FILE_SHARE_DELETE. */
static int WinDeleteFile(const char *path)
{
    if (!Watching()) return DeleteFileA(path) != 0;
    static SetInformationFile setInformation;   /* the worker is the only user */
    if (!setInformation) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll)
            setInformation = (SetInformationFile)(void *)GetProcAddress(ntdll, "NtSetInformationFile");
        if (!setInformation) return StillInHand(path) && DeleteFileA(path) != 0;
    }
    HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int ok = 0;
    if (IsInHand(file)) {
        BOOLEAN disposition = TRUE;
        ULONG_PTR status[2];                    /* IO_STATUS_BLOCK */
        ok = setInformation(file, status, &disposition, sizeof disposition,
                            FileDispositionInformation) >= 0;
    }
    CloseHandle(file);
    return ok;
}

static int WinMoveFile(const char *from, const char *to)
{
    return StillInHand(from) && MoveFileA(from, to) != 0;
}

/* A folder opens only with FILE_FLAG_BACKUP_SEMANTICS, which the 9x family refuses. */
static int WinFileIdentity(const char *path, uint64_t *volume, uint64_t *index)
{
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!ok) return 0;
    *volume = info.dwVolumeSerialNumber;
    *index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 1;
}

/* ---- restart-time work ----------------------------------------------------------------- */

static uint32_t WinGetVersion(void)
{
    return GetVersion();
}

static int WinSystemVersion(SystemVersion *out)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return 0;
    out->family = info.dwPlatformId;
    out->major = info.dwMajorVersion;
    out->minor = info.dwMinorVersion;
    out->build = info.dwPlatformId == VER_PLATFORM_WIN32_NT ? info.dwBuildNumber
                                                            : info.dwBuildNumber & 0xFFFFu;
    return 1;
}

/* The platform's own result goes back unchanged: callers test for non-zero only. */
static int WinMoveFileAtRestart(const char *from, const char *to)
{
    /* A deletion at the restart is a deletion: only of the file detected. */
    if (!to && !StillInHand(from)) return 0;
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

/* The 9x family keeps profile files in a cache of its own and writes them back when it likes:
** flushing it makes the file on disk the whole truth before it is read. */
static int WinFlushProfile(const char *path)
{
    return WritePrivateProfileStringA(NULL, NULL, NULL, path) != 0;
}

static int WinShortPath(const char *path, char *out, uint32_t size)
{
    DWORD length = GetShortPathNameA(path, out, size);
    return length > 0 && length < size;
}

/* The NT family replaces in one step. The 9x family has no replacing move (MoveFileExA fails
** there as not implemented): the old file steps aside under "<to>~", and comes back when the
** new one cannot take its place. A file already under that name is what an interrupted
** replacement left, perhaps the only copy of what it held: it is never deleted here. */
static int WinReplaceFile(const char *from, const char *to)
{
    if (!Is9xFamily(GetVersion()))
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    char aside[MAX_PATH];
    size_t length = strlen(to);
    if (length + 2 > sizeof aside) return 0;
    memcpy(aside, to, length);
    aside[length] = '~';
    aside[length + 1] = 0;
    if (GetFileAttributesA(aside) != INVALID_FILE_ATTRIBUTES) return 0;
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
        if (!Is9xFamily(GetVersion()) && kernel) {
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

/* The ANSI form of a name that has none, not even a short one: each character that the code
** page lacks becomes "?". The system's best-fit conversion would make "\u0101.exe" into
** "a.exe", another file's name; a name with "?" in it opens nothing, so the workflow reports
** the file like any file that cannot be opened. */
static void InexactAnsi(const WCHAR *wide, char *out, int size)
{
    int used = 0;
    for (; *wide; wide++) {
        char one[8];
        WCHAR back[2];
        int length = WideCharToMultiByte(CP_ACP, 0, wide, 1, one, sizeof one, NULL, NULL);
        if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, one, length, back, 2) != 1 ||
            back[0] != *wide) {
            one[0] = '?';
            length = 1;
        }
        if (used + length >= size) break;
        memcpy(out + used, one, length);
        used += length;
    }
    out[used] = 0;
}

/* Every field of the record, as ToRecord sets it from the ANSI listing. */
static void ToRecordWide(const WIN32_FIND_DATAW *data, FindRecord *record)
{
    record->attributes = data->dwFileAttributes;
    record->reparseTag =
        (data->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data->dwReserved0 : 0;
    int size = (int)sizeof record->name;
    if (ExactAnsi(data->cFileName, record->name, size) ||
        ExactAnsi(data->cAlternateFileName, record->name, size))
        return;
    InexactAnsi(data->cFileName, record->name, size);
}

void WinRecordFromWide(const void *data, FindRecord *record)
{
    ToRecordWide((const WIN32_FIND_DATAW *)data, record);
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
    if (InHand.listing == find) InHand = {InvalidFindHandle, 0, 0, 0, 0, 0, 0};
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

static void *WinRegOpenRunKey(int write)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      write ? KEY_ALL_ACCESS : KEY_READ, &key) != ERROR_SUCCESS)
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

static int WinRegValueText(void *key, const char *name, char *out, uint32_t size)
{
    if (size == 0) return 0;
    DWORD type = 0, length = 0;
    out[0] = 0;
    if (RegQueryValueExA((HKEY)key, name, NULL, &type, NULL, &length) != ERROR_SUCCESS) return 0;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return 1;
    /* Read whole into a buffer of its own size, then cut: a longer value is not refused. */
    char *data = (char *)malloc(length + 1);
    if (!data) return 0;
    int ok = RegQueryValueExA((HKEY)key, name, NULL, &type, (BYTE *)data, &length) ==
             ERROR_SUCCESS;
    if (ok) {
        data[length] = 0;
        size_t n = strlen(data);
        if (n >= size) n = size - 1;
        memcpy(out, data, n);
        out[n] = 0;
    }
    free(data);
    return ok;
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

/* Windows has no per-process limit of open handles worth raising. */
void PlatformRaiseFileLimit(void) {}

/* GetFinalPathNameByHandleA (Vista and later) tells where a link leads; it is looked up, not
** imported, so that the program still loads on the systems before it (which then walk a
** junction named on the command line as they always did). */
int PlatformFollowLink(const char *path, char *out, uint32_t size)
{
    typedef DWORD(WINAPI * FinalPath)(HANDLE, LPSTR, DWORD, DWORD);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FinalPath finalPath =
        kernel ? (FinalPath)(void *)GetProcAddress(kernel, "GetFinalPathNameByHandleA") : NULL;
    if (!finalPath) return 0;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) return -1;
    char target[PlatformPathSize];
    DWORD length = finalPath(file, target, sizeof target, 0);
    CloseHandle(file);
    if (length == 0 || length >= sizeof target) return -1;
    /* "\\?\C:\..." and "\\?\UNC\server\share\...": the plain forms, which the ANSI
    ** functions take. */
    const char *plain = target;
    if (!strncmp(target, "\\\\?\\UNC\\", 8)) {
        plain = target + 6;
        target[6] = '\\';
    } else if (!strncmp(target, "\\\\?\\", 4)) {
        plain = target + 4;
    }
    if (strlen(plain) >= size) return -1;
    memcpy(out, plain, strlen(plain) + 1);
    return 1;
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

/* GetVolumeInformationA on the root of the path's drive or share. FILE_READ_ONLY_VOLUME is
** set from Windows XP on; older systems never report a read-only volume. */
static int WinVolumeFacts(const char *path, char *type, uint32_t size, int *readOnly)
{
    char root[MAX_PATH];
    uint32_t n = 0;
    *readOnly = 0;
    if (size)
        type[0] = 0;
    if (path[0] && path[1] == ':') {
        n = 2;
    } else if (path[0] == '\\' && path[1] == '\\') {
        /* \\server\share: the root is the share itself */
        int parts = 0;
        for (n = 2; path[n] && parts < 2; n++)
            if (path[n] == '\\' && ++parts == 2)
                break;
    }
    if (n == 0 || n + 2 > sizeof root)
        return 0;
    memcpy(root, path, n);
    root[n] = '\\';
    root[n + 1] = 0;
    char name[MAX_PATH + 1];
    DWORD flags = 0;
    if (!GetVolumeInformationA(root, NULL, 0, NULL, NULL, &flags, name, sizeof name))
        return 0;
    name[sizeof name - 1] = 0;
    *readOnly = (flags & 0x00080000u) != 0;   /* FILE_READ_ONLY_VOLUME */
    for (n = 0; name[n] && n + 1 < size; n++)
        type[n] = name[n];
    if (size)
        type[n] = 0;
    return 1;
}

/* ---- the quarantine's store ----------------------------------------------------------- */

/* The store is held on the NT family by a handle of the folder that does not share deletion,
** so that the folder cannot be renamed, removed or replaced by a junction while the run lasts;
** names in it are the folder's path plus the name. The 9x family opens no folder and has no
** links. Owners are not looked at here (the folder's access list is the administrator's).
** The index is held too: the store's lock is a byte of it far beyond its end (LockFile). */
static char storePath[PlatformPathSize];
static HANDLE storeFolder = INVALID_HANDLE_VALUE;
static HANDLE storeIndex = INVALID_HANDLE_VALUE;
static unsigned storeMade;

/* FILE_FLAG_OPEN_REPARSE_POINT where links exist (NT 5.0 and later); NT 4.0 and the 9x family
** have none to open, and may refuse a flag they do not know. */
static DWORD NoFollow(void)
{
    DWORD version = GetVersion();
    return !(version & 0x80000000u) && (version & 0xFF) >= 5 ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
}

/* `name` in the store into `out`; 0 when it does not fit. */
static int StoreName(const char *name, char *out)
{
    size_t a = strlen(storePath), b = strlen(name);
    if (a + 1 + b >= PlatformMaxPath) return 0;
    memcpy(out, storePath, a);
    out[a] = '\\';
    memcpy(out + a + 1, name, b + 1);
    return 1;
}

/* Non-zero when the open `file` is one regular file with one name, not a link. */
static int PlainFile(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, info) &&
           !(info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           info->nNumberOfLinks <= 1;
}

static int WinOpenStore(const char *path, int create, const char *indexName, FileHandle *index,
                        uint64_t *volume, uint64_t *inode)
{
    if (strlen(path) >= sizeof storePath) return StoreCannotMake;
    if (create && !CreateDirectoryA(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return StoreCannotMake;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return StoreCannotMake;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return StoreNotFolder;
    memcpy(storePath, path, strlen(path) + 1);
    *volume = *inode = 0;
    if (IsNtFamily()) {
        HANDLE folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | NoFollow(),
                                    NULL);
        BY_HANDLE_FILE_INFORMATION info;
        if (folder == INVALID_HANDLE_VALUE) return StoreCannotMake;
        if (!GetFileInformationByHandle(folder, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            CloseHandle(folder);
            return StoreNotFolder;
        }
        if (storeFolder != INVALID_HANDLE_VALUE) CloseHandle(storeFolder);
        storeFolder = folder;
        *volume = info.dwVolumeSerialNumber;
        *inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
    char name[PlatformPathSize];
    if (!StoreName(indexName, name)) return StoreBadIndex;
    /* Shared for writing: another run appends to it too, one at a time under the lock. */
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL |
                                  NoFollow(),
                              NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE) return StoreBadIndex;
    if (!PlainFile(file, &info)) {
        CloseHandle(file);
        return StoreBadIndex;
    }
    storeIndex = file;
    *index = (FileHandle)file;
    return StoreReady;
}

static int WinLockStore(int lock)
{
    if (!lock) return UnlockFile(storeIndex, 0xFFFFFFF0u, 0, 1, 0) != 0;
    while (!LockFile(storeIndex, 0xFFFFFFF0u, 0, 1, 0)) {
        if (GetLastError() != ERROR_LOCK_VIOLATION) return 0;
        Sleep(20);
    }
    return 1;
}

static void WinCloseStore(void)
{
    if (storeFolder != INVALID_HANDLE_VALUE) CloseHandle(storeFolder);
    storeFolder = INVALID_HANDLE_VALUE;
    storeIndex = INVALID_HANDLE_VALUE;
}

/* Deletion is shared on the NT family so that placeStored can rename the file it holds. */
static FileHandle WinCreateStored(const char *prefix, char *made, uint32_t size)
{
    for (int attempt = 0; attempt < 16; attempt++) {
        char name[PlatformPathSize], digits[40];
        unsigned long parts[3] = {GetCurrentProcessId(), ++storeMade, GetTickCount()};
        char *d = digits;
        for (int i = 0; i < 3; i++) {
            *d++ = '.';
            char tmp[12];
            int n = 0;
            unsigned long v = parts[i];
            do {
                tmp[n++] = "0123456789abcdef"[v & 15];
                v >>= 4;
            } while (v);
            while (n) *d++ = tmp[--n];
        }
        memcpy(d, ".tmp", 5);
        size_t p = strlen(prefix), n = strlen(digits);
        if (p + n >= size) return InvalidFileHandle;
        memcpy(made, prefix, p);
        memcpy(made + p, digits, n + 1);
        if (!StoreName(made, name)) return InvalidFileHandle;
        HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                                  IsNtFamily() ? FILE_SHARE_DELETE : 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_READONLY, NULL);
        if (file != INVALID_HANDLE_VALUE) return (FileHandle)file;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return InvalidFileHandle;
    }
    return InvalidFileHandle;
}

static FileHandle WinOpenStored(const char *name)
{
    char path[PlatformPathSize];
    if (!StoreName(name, path)) return InvalidFileHandle;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              NoFollow(), NULL);
    if (file == INVALID_HANDLE_VALUE) return InvalidFileHandle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!PlainFile(file, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        CloseHandle(file);
        return InvalidFileHandle;
    }
    return (FileHandle)file;
}

/* Non-zero when the store's `name` is the file whose identity `held` gives (always on the 9x
** family, which keeps no identity and has no links). */
static int StoredIs(const BY_HANDLE_FILE_INFORMATION *held, const char *name)
{
    if (!IsNtFamily()) return 1;
    char path[PlatformPathSize];
    BY_HANDLE_FILE_INFORMATION there;
    if (!StoreName(name, path)) return 0;
    HANDLE look = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, NoFollow(), NULL);
    if (look == INVALID_HANDLE_VALUE) return 0;
    int same = GetFileInformationByHandle(look, &there) &&
               held->dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
               held->nFileIndexHigh == there.nFileIndexHigh &&
               held->nFileIndexLow == there.nFileIndexLow;
    CloseHandle(look);
    return same;
}

/* MoveFileA never replaces. The identity is taken before the move: a handle's volume may not
** be told once its file was renamed (Wine answers 0). */
static int WinPlaceStored(FileHandle file, const char *from, const char *to)
{
    char a[PlatformPathSize], b[PlatformPathSize];
    BY_HANDLE_FILE_INFORMATION held;
    return FlushFileBuffers((HANDLE)file) && StoreName(from, a) && StoreName(to, b) &&
           (!IsNtFamily() || GetFileInformationByHandle((HANDLE)file, &held)) &&
           StoredIs(&held, from) && MoveFileA(a, b) && StoredIs(&held, to);
}

static int WinRemoveStored(FileHandle file, const char *name)
{
    char path[PlatformPathSize];
    BY_HANDLE_FILE_INFORMATION held;
    if (!StoreName(name, path) ||
        (IsNtFamily() && !GetFileInformationByHandle((HANDLE)file, &held)) ||
        !StoredIs(&held, name))
        return 0;
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path) != 0;
}

static uint32_t WinWriteFile(FileHandle file, const void *buffer, uint32_t count)
{
    DWORD written = 0;
    WriteFile((HANDLE)file, buffer, count, &written, NULL);
    return written;
}

static int WinTruncateFile(FileHandle file, uint32_t size)
{
    return SetFilePointer((HANDLE)file, (LONG)size, NULL, FILE_BEGIN) != 0xFFFFFFFFu &&
           SetEndOfFile((HANDLE)file);
}

static int WinSyncFile(FileHandle file)
{
    return FlushFileBuffers((HANDLE)file) != 0;
}

/* FILETIME counts 100 ns since 1601-01-01; 11644473600 seconds lie between it and 1970. */
static int64_t UnixSeconds(const FILETIME *time)
{
    uint64_t ticks = ((uint64_t)time->dwHighDateTime << 32) | time->dwLowDateTime;
    return (int64_t)(ticks / 10000000u) - 11644473600ll;
}

static int WinFileFacts(FileHandle file, FileFacts *out)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle((HANDLE)file, &info)) return 0;
    out->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    out->mode = info.dwFileAttributes;
    out->hasOwner = 0;
    out->owner = out->group = 0;
    out->modified = UnixSeconds(&info.ftLastWriteTime);
    out->accessed = UnixSeconds(&info.ftLastAccessTime);
    out->changed = UnixSeconds(&info.ftCreationTime);
    return 1;
}

/* ---- the log --------------------------------------------------------------------------- */

/* On the NT family the handle has the right to append and no other (FILE_APPEND_DATA), so that
** every WriteFile lands whole at the end whoever else appends; the 9x family has no such
** handle and moves to the end before each write. A pipe, a device (CON, NUL) or a link is no
** log. */
static int appendOnly;

static int WinOpenLog(const char *path, FileHandle *log)
{
    int nt = IsNtFamily();
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return LogNotFile;
    DWORD access = nt ? (FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE) : GENERIC_WRITE;
    HANDLE file = CreateFileA(path, access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | NoFollow(),
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return LogCannotOpen;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || (nt && !PlainFile(file, &info))) {
        CloseHandle(file);
        return LogNotFile;
    }
    appendOnly = nt;
    *log = (FileHandle)file;
    return LogReady;
}

static int WinAppendLog(FileHandle log, const void *data, uint32_t size)
{
    DWORD written = 0;
    if (!appendOnly && SetFilePointer((HANDLE)log, 0, NULL, FILE_END) == 0xFFFFFFFFu) return 0;
    return WriteFile((HANDLE)log, data, size, &written, NULL) && written == size;
}

/* ---- a kept copy put back --------------------------------------------------------------- */

/* Not in this build: the index keeps of a Windows file its attribute word alone, not its owner
** nor its access list, so a file put back would take its folder's inherited rights, not its
** own; and the ANSI calls the build makes down to the 9x family cannot open a path folder by
** folder refusing a junction on the way. */
static int WinCreateRestored(const char *path, FileHandle *file)
{
    (void)path;
    (void)file;
    return RestoreUnsupported;
}

static int WinFinishRestored(FileHandle file, const FileFacts *facts, int keep)
{
    (void)file;
    (void)facts;
    (void)keep;
    return 0;
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
    .fileIdentity      = WinFileIdentity,
    .getVersion        = WinGetVersion,
    .systemVersion     = WinSystemVersion,
    .moveFileAtRestart = WinMoveFileAtRestart,
    .windowsFolder     = WinWindowsFolder,
    .writeWholeFile    = WinWriteWholeFile,
    .shortPath         = WinShortPath,
    .replaceFile       = WinReplaceFile,
    .flushProfile      = WinFlushProfile,
    .findFirst         = WinFindFirst,
    .findNext          = WinFindNext,
    .findClose         = WinFindClose,
    .fixedDrives       = WinFixedDrives,
    .regOpenRunKey     = WinRegOpenRunKey,
    .regValueCount     = WinRegValueCount,
    .regEnumValue      = WinRegEnumValue,
    .regDeleteValue    = WinRegDeleteValue,
    .regCloseKey       = WinRegCloseKey,
    .regValueText      = WinRegValueText,
    .startThread       = WinStartThread,
    .milliseconds      = WinMilliseconds,
    .errorIsTerminal   = WinErrorIsTerminal,
    .onInterrupt       = WinOnInterrupt,
    .hostName          = WinHostName,
    .volumeFacts       = WinVolumeFacts,
    .openStore         = WinOpenStore,
    .lockStore         = WinLockStore,
    .closeStore        = WinCloseStore,
    .createStored      = WinCreateStored,
    .openStored        = WinOpenStored,
    .placeStored       = WinPlaceStored,
    .removeStored      = WinRemoveStored,
    .writeFile         = WinWriteFile,
    .truncateFile      = WinTruncateFile,
    .syncFile          = WinSyncFile,
    .fileFacts         = WinFileFacts,
    .openLog           = WinOpenLog,
    .appendLog         = WinAppendLog,
    .createRestored    = WinCreateRestored,
    .finishRestored    = WinFinishRestored,
};

