/*
** The platform table on Windows, for both families (9x and NT) from one binary. This is the only
** file of the core that includes windows.h. Most entries are one Win32 ANSI call; those that
** touch the entry in hand are not, and the file reads in this order:
**
**   the entry in hand       on NT, every change is checked against the identity recorded when
**                           the file was opened, and made through that checked handle
**   NT's own file calls     NtSetInformationFile (attributes, deletion, rename) and
**                           NtCreateFile, looked up at run time; the 9x family has none
**   files, changing files   open, read, copy, move, delete: through the checked handle on NT,
**                           the plain ANSI calls on 9x
**   restart-time work       the version, the folder only administrators can write, deletion
**                           and moves at restart (MoveFileEx on NT), the replacing move (one
**                           step on NT, emulated with a file stepping aside on 9x)
**   folder walk             the wide listing (FindFirstFileW) where names have no exact ANSI
**                           form, FindFirstFileA on 9x
**   the Run key, threads, the console, the quarantine's store, the log
**   the table               the entries bound together, which tests may override
*/
#include "platform/platform.h"
#include "platform/platform_hooks.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

/* Each entry is one system call or a few around it: the system's time, not this code's, is what
** a scan spends here, so the file is kept small for the programs' size limits. */
#pragma GCC optimize("Os")

const char PathSeparator = '\\';

/* ---- the raw calls beneath the rules ---------------------------------------------------- */

static unsigned long RawGetVersion(void) { return GetVersion(); }
static void *RawCreateFileA(const char *path, unsigned long access, unsigned long share,
                            void *security, unsigned long disposition, unsigned long flags,
                            void *templateFile)
{
    return CreateFileA(path, access, share, (LPSECURITY_ATTRIBUTES)security, disposition, flags,
                       (HANDLE)templateFile);
}
static int RawReadFile(void *file, void *buffer, unsigned long count, unsigned long *done)
{
    return ReadFile((HANDLE)file, buffer, count, done, NULL);
}
static int RawWriteFile(void *file, const void *buffer, unsigned long count, unsigned long *done)
{
    return WriteFile((HANDLE)file, buffer, count, done, NULL);
}
static int RawDeleteFileA(const char *path) { return DeleteFileA(path); }
static int RawMoveFileA(const char *from, const char *to) { return MoveFileA(from, to); }
static int RawMoveFileExA(const char *from, const char *to, unsigned long flags)
{
    return MoveFileExA(from, to, flags);
}
static int RawCopyFileA(const char *from, const char *to, int failIfExists)
{
    return CopyFileA(from, to, failIfExists);
}
static long RawNtSetInformationFile(void *file, void *status, void *information,
                                    unsigned long size, int kind);
static int RawCreateDirectoryA(const char *path, void *security)
{
    return CreateDirectoryA(path, (LPSECURITY_ATTRIBUTES)security);
}
static unsigned RawGetDriveTypeA(const char *root) { return GetDriveTypeA(root); }
static int RawGetVolumeInformationA(const char *root, unsigned long *flags)
{
    DWORD got = 0;
    int ok = GetVolumeInformationA(root, NULL, 0, NULL, NULL, &got, NULL, 0);
    *flags = got;
    return ok;
}
static long RawNtQuerySecurityObject(void *handle, unsigned long information, void *descriptor,
                                     unsigned long size, unsigned long *needed);

const WinSyscalls WinSysDefaults = {
    RawGetVersion,  RawCreateFileA, RawReadFile,    RawWriteFile,          RawDeleteFileA,
    RawMoveFileA,   RawMoveFileExA, RawCopyFileA,   RawNtSetInformationFile,
    RawCreateDirectoryA, RawGetDriveTypeA, RawGetVolumeInformationA, RawNtQuerySecurityObject,
};

WinSyscalls WinSys = WinSysDefaults;

/* ---- the entry in hand ----------------------------------------------------------------- */

/*
** On the NT family a folder on the path may be swapped for a junction, or the file for another,
** between the scan of the entry in hand and what the workflow then does to it. Opening the entry
** for reading records its identity (volume serial number and file index); every change then
** opens the path, checks through that handle that it is the file recorded, and changes the file
** through that same handle, never by its name again: the attributes and the deletion through
** NtSetInformationFile, a copy read from it into a file created in the folder the handle was
** found in, a move renamed through it. The 9x family has no links, and no identity for a
** folder: it keeps the plain calls.
*/
static int IsNtFamily(void)
{
    return !(WinSys.getVersion() & 0x80000000u);
}

static DWORD NoFollow(void);

/* Non-zero when identities are kept: an entry is in hand, on the NT family. */
static int Watching(void)
{
    return InHand.listing != InvalidFindHandle && IsNtFamily();
}

void (*WinAfterIdentityCheck)(const char *operation, const char *path);

/* Where the tests may change the file system: between the check of a handle and the change
** made through it. */
static void Checked(const char *operation, const char *path)
{
    if (WinAfterIdentityCheck) WinAfterIdentityCheck(operation, path);
}

/* The identity of the open `file`; 0 when it cannot be had. */
static int IdentityOf(HANDLE file, uint64_t *volume, uint64_t *index)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return 0;
    *volume = info.dwVolumeSerialNumber;
    *index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 1;
}

/* The copy WinCopyFile made last, by identity (`made`), until it is deleted: the workflow
** hands it over as an entry with nothing recorded, and a copy that then cannot be opened for
** reading is never identified, yet must go again. The worker is the only user. */
static struct {
    int made;
    uint64_t volume, index;
} MadeCopy;

/* Non-zero when the open `file` is the file opened for reading as the entry in hand, or, for
** an entry made beside the file with no identity recorded, the very copy made last. */
static int IsInHand(HANDLE file)
{
    uint64_t volume, index;
    if (!IdentityOf(file, &volume, &index)) return 0;
    if (InHand.opened) return InHand.volume == volume && InHand.index == index;
    return !InHand.listed && MadeCopy.made && MadeCopy.volume == volume && MadeCopy.index == index;
}

/* `path` opened with `access` (sharing everything, so that whoever holds the file does not
** stop a look), when it names the entry in hand; INVALID_HANDLE_VALUE otherwise. */
static HANDLE OpenInHand(const char *path, DWORD access)
{
    HANDLE file = WinSys.createFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return file;
    if (IsInHand(file)) return file;
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
}

/* Non-zero when `path` still names the entry in hand, or nothing is watched. The look takes
** no right to the file's contents, so that whoever holds the file does not stop it. */
static int StillInHand(const char *path)
{
    if (!Watching()) return 1;
    HANDLE file = OpenInHand(path, 0);
    if (file == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(file);
    return 1;
}

/* ---- NT's own file calls, looked up at run time: the 9x family has none ------------------ */

typedef LONG(WINAPI *SetInformationFile)(HANDLE, IO_STATUS_BLOCK *, void *, ULONG, int);
typedef LONG(WINAPI *CreateFileNt)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, IO_STATUS_BLOCK *,
                                   LARGE_INTEGER *, ULONG, ULONG, ULONG, ULONG, void *, ULONG);
/* The calls, looked up once (`looked`); the worker is the only user. */
static struct {
    SetInformationFile setInformation;
    CreateFileNt createFile;
    int looked;
} Nt;

#define BasicInformation       4    /* FileBasicInformation */
#define RenameInformation      10   /* FileRenameInformation */
#define DispositionInformation 13   /* FileDispositionInformation */

/* Non-zero when NtSetInformationFile and NtCreateFile are there (always on the NT family). */
static int NtCalls(void)
{
    if (!Nt.looked) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        if (ntdll) {
            Nt.setInformation =
                (SetInformationFile)(void *)GetProcAddress(ntdll, "NtSetInformationFile");
            Nt.createFile = (CreateFileNt)(void *)GetProcAddress(ntdll, "NtCreateFile");
        }
        Nt.looked = 1;
    }
    return Nt.setInformation && Nt.createFile;
}

/* Sets information of class `kind` on the open `file`; non-zero on success. */
static int SetInformation(HANDLE file, void *information, ULONG size, int kind)
{
    IO_STATUS_BLOCK status;
    return NtCalls() && WinSys.ntSetInformationFile(file, &status, information, size, kind) >= 0;
}

static long RawNtSetInformationFile(void *file, void *status, void *information,
                                    unsigned long size, int kind)
{
    return Nt.setInformation((HANDLE)file, (IO_STATUS_BLOCK *)status, information, size, kind);
}

/* Marks the open `file` (opened with DELETE) for deletion when its last handle closes, or takes
** the mark back. The refusals are DeleteFileA's: a read-only file, a running program's image. */
static int MarkForDeletion(HANDLE file, BOOLEAN mark)
{
    return SetInformation(file, &mark, sizeof mark, DispositionInformation);
}

/* The entry `name` (ANSI, no separator) of the open `folder`, opened or created there with
** `access` and `share` as NtCreateFile's `disposition` says, a link opened as itself: the
** folder's name is not looked up again. INVALID_HANDLE_VALUE on failure. */
static HANDLE OpenInFolder(HANDLE folder, const char *name, DWORD access, DWORD share,
                           ULONG disposition)
{
    WCHAR wide[MAX_PATH];
    int length = MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH);
    if (!NtCalls() || length <= 1) return INVALID_HANDLE_VALUE;
    UNICODE_STRING text;
    text.Length = text.MaximumLength = (USHORT)((length - 1) * sizeof(WCHAR));
    text.Buffer = wide;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, NULL);
    IO_STATUS_BLOCK status;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (Nt.createFile(&file, access | SYNCHRONIZE, &object, &status, NULL, FILE_ATTRIBUTE_NORMAL,
                     share, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                         (NoFollow() ? FILE_OPEN_REPARSE_POINT : 0),
                     NULL, 0) < 0)
        return INVALID_HANDLE_VALUE;
    return file;
}

/* The folder of the entry in hand (the first `nameAt` bytes of `path`), opened for working in
** it, when `path` names an entry of it; INVALID_HANDLE_VALUE otherwise. */
static HANDLE OpenEntryFolder(const char *path)
{
    char folder[MAX_PATH];
    uint32_t at = InHand.nameAt;
    if (at == 0 || at >= sizeof folder || strncmp(path, InHand.path, at) != 0 || !path[at] ||
        strchr(path + at, '\\') || strchr(path + at, '/'))
        return INVALID_HANDLE_VALUE;
    memcpy(folder, path, at);
    folder[at] = 0;
    return WinSys.createFileA(folder, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

/* Renames the open `file` (opened with DELETE) to the entry `name` (ANSI, no separator) of the
** open `folder`, never over an existing entry; non-zero on success. */
static int RenameInFolder(HANDLE file, HANDLE folder, const char *name)
{
    union {
        FILE_RENAME_INFORMATION rename;
        char bytes[sizeof(FILE_RENAME_INFORMATION) + MAX_PATH * sizeof(WCHAR)];
    } information;
    memset(&information, 0, sizeof information);
    int length = MultiByteToWideChar(CP_ACP, 0, name, -1, information.rename.FileName, MAX_PATH);
    if (length <= 1) return 0;
    information.rename.ReplaceIfExists = FALSE;
    information.rename.RootDirectory = folder;
    information.rename.FileNameLength = (ULONG)((length - 1) * sizeof(WCHAR));
    return SetInformation(file, &information, sizeof information, RenameInformation);
}

/* ---- files ----------------------------------------------------------------------------- */

/* Share mode FILE_SHARE_READ: while the handle is open others may read the file but neither
** write nor delete it, and the open fails when someone else already holds it that way. With an
** entry in hand, opening for reading forgets the identity recorded (WinIdentifyFile records
** it), and opening for writing is refused to any other file than the one identified;
** InHand.elsewhere then tells a refusal whose name no longer leads to the file detected from
** one that does (a file held by someone, or whose rights deny writing). */
static FileHandle WinOpenFile(const char *path, int write)
{
    DWORD access = write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    if (write)
        InHand.elsewhere = 0;
    else if (Watching())
        InHand.opened = 0;
    HANDLE file = WinSys.createFileA(path, access, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        InHand.failure = code == ERROR_FILENAME_EXCED_RANGE     ? FailureTooLong
                         : code == ERROR_TOO_MANY_OPEN_FILES     ? FailureDescriptors
                         : code == ERROR_ACCESS_DENIED           ? FailureDenied
                         : code == ERROR_SHARING_VIOLATION ||
                                   code == ERROR_LOCK_VIOLATION  ? FailureInUse
                         : code == ERROR_CRC || code == ERROR_READ_FAULT ||
                                   code == ERROR_IO_DEVICE       ? FailureIo
                         : code == ERROR_FILE_NOT_FOUND          ? FailureGone
                                                                 : FailureOther;
        /* Whatever the refusal (someone holds the file, its rights deny writing), a name that
        ** still leads to the file detected makes it a file the copy route may take. */
        if (write && Watching())
            InHand.elsewhere = !StillInHand(path);
        return InvalidFileHandle;
    }
    if (write && Watching() && !IsInHand(file)) {
        CloseHandle(file);
        InHand.elsewhere = 1;
        return InvalidFileHandle;
    }
    return (FileHandle)file;
}

/* The stored count is the answer: it is 0 at the end of the file and on a failure alike. */
static uint32_t WinReadFile(FileHandle file, void *buffer, uint32_t count)
{
    DWORD got = 0;
    if (!WinSys.readFile((HANDLE)file, buffer, count, &got))
        InHand.failure = GetLastError() == ERROR_LOCK_VIOLATION ? FailureInUse : FailureIo;
    return got;
}

static uint32_t WinSeekFile(FileHandle file, int32_t distance, uint32_t origin)
{
    return SetFilePointer((HANDLE)file, distance, NULL, origin);
}

/* SetFilePointer with its high part, which both old families have (SetFilePointerEx and
** ReadFile at an OVERLAPPED position they have not, on a file). */
static int SeekTo(HANDLE file, uint64_t offset)
{
    LONG high = (LONG)(offset >> 32);
    SetLastError(NO_ERROR);
    return SetFilePointer(file, (LONG)(uint32_t)offset, &high, FILE_BEGIN) != 0xFFFFFFFFu ||
           GetLastError() == NO_ERROR;
}

/* Windows tells no holes here: a sparse file is read as data, zeros and all. */
static uint32_t WinReadAt(FileHandle file, void *buffer, uint32_t count, uint64_t offset,
                          int *hole)
{
    *hole = 0;
    if (!SeekTo((HANDLE)file, offset)) return 0;
    return WinReadFile(file, buffer, count);
}

static int WinCloseFile(FileHandle file)
{
    return CloseHandle((HANDLE)file) != 0;
}

/* The handle itself is asked, never the path: the 9x family has no file index, and keeps
** nothing (its changes act on whatever the path names). */
static int WinIdentifyFile(FileHandle file)
{
    if (!Watching()) return 0;
    InHand.opened = IdentityOf((HANDLE)file, &InHand.volume, &InHand.index);
    return InHand.opened;
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

/* Through the handle checked: FileBasicInformation with the times 0 (left as they are). */
static int WinSetFileAttributes(const char *path, uint32_t attributes)
{
    if (!Watching()) return SetFileAttributesA(path, attributes) != 0;
    HANDLE file = OpenInHand(path, FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return 0;
    Checked("setFileAttributes", path);
    FILE_BASIC_INFORMATION basic;
    memset(&basic, 0, sizeof basic);
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    int ok = SetInformation(file, &basic, sizeof basic, BasicInformation);
    CloseHandle(file);
    return ok;
}

/* Every byte of `from` from its start into `to`; non-zero when all were written. */
static int CopyContents(HANDLE from, HANDLE to)
{
    static char buffer[65536];   /* the worker is the only user */
    if (SetFilePointer(from, 0, NULL, FILE_BEGIN) != 0) return 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!WinSys.readFile(from, buffer, sizeof buffer, &got)) return 0;
        if (got == 0) return 1;
        if (!WinSys.writeFile(to, buffer, got, &put) || put != got) return 0;
    }
}

/*
** With an entry in hand the copy is read from the handle whose identity was checked, and written
** to a file created, and only created, in the folder where that handle was found: the folder is
** opened once, the source opened in it by name, and its identity checked, which is the check of
** the folder's identity too (it is the folder holding the file detected). Nothing is looked up
** by its path again, so a folder swapped meanwhile changes nothing outside. The copy's own name
** must lead to it afterwards, for the workflow reaches it by name; else it goes again.
*/
static int WinCopyFile(const char *from, const char *to)
{
    if (!Watching()) return WinSys.copyFileA(from, to, TRUE) != 0;
    uint32_t at = InHand.nameAt;
    if (strncmp(from, to, at) != 0) return 0;
    HANDLE folder = OpenEntryFolder(from);
    if (folder == INVALID_HANDLE_VALUE) return 0;
    int ok = 0;
    HANDLE source = OpenInFolder(folder, from + at, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN);
    if (source != INVALID_HANDLE_VALUE && IsInHand(source)) {
        Checked("copyFile", from);
        HANDLE copy = OpenInFolder(folder, to + at, GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE);
        if (copy != INVALID_HANDLE_VALUE) {
            uint64_t volume = 0, index = 0, nameVolume, nameIndex;
            ok = CopyContents(source, copy) && IdentityOf(copy, &volume, &index);
            HANDLE named = ok ? WinSys.createFileA(to, 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                       FILE_SHARE_DELETE,
                                            NULL, OPEN_EXISTING, 0, NULL)
                              : INVALID_HANDLE_VALUE;
            ok = named != INVALID_HANDLE_VALUE && IdentityOf(named, &nameVolume, &nameIndex) &&
                 nameVolume == volume && nameIndex == index;
            if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
            if (!ok) MarkForDeletion(copy, TRUE);
            MadeCopy.made = ok;
            MadeCopy.volume = volume;
            MadeCopy.index = index;
            CloseHandle(copy);
        }
    }
    if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
    CloseHandle(folder);
    return ok;
}

/* Non-zero when `path` leads to nothing that opens: after a deletion, the proof that it took
** place (a file whose deletion waits for another holder opens no more either). */
static int NameLeadsNowhere(const char *path)
{
    HANDLE file = WinSys.createFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(file);
    return 0;
}

/* With an entry in hand on the NT family, the file is marked for deletion through the handle
** whose identity was checked, so the name cannot lead elsewhere in between. (A handle opened
** with FILE_FLAG_DELETE_ON_CLOSE would be marked before the check could refuse it.) Where the
** deletion at the last close goes by the name the handle was opened with (Wine), a name that
** led elsewhere by then deletes nothing: the deletion counts only once the name opens nothing. */
static int WinDeleteFile(const char *path)
{
    if (!Watching()) return WinSys.deleteFileA(path) != 0;
    HANDLE file = OpenInHand(path, DELETE);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND)
            InHand.failure = FailureGone;
        return 0;
    }
    Checked("deleteFile", path);
    int ok = MarkForDeletion(file, TRUE);
    CloseHandle(file);
    ok = ok && NameLeadsNowhere(path);
    if (ok) MadeCopy.made = 0;   /* its identity may be another file's next */
    return ok;
}

/* The entry `from` is renamed, through the handle checked, to `to`, a name of the same folder,
** given relative to that folder's handle: the folder's path is not looked up again. */
static int WinMoveFile(const char *from, const char *to)
{
    if (!Watching()) return WinSys.moveFileA(from, to) != 0;
    uint32_t at = InHand.nameAt;
    if (strncmp(from, to, at) != 0 || strchr(to + at, '\\') || strchr(to + at, '/')) return 0;
    HANDLE folder = OpenEntryFolder(from);
    if (folder == INVALID_HANDLE_VALUE) return 0;
    int ok = 0;
    HANDLE file = OpenInFolder(folder, from + at, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
    if (file != INVALID_HANDLE_VALUE && IsInHand(file)) {
        Checked("moveFile", from);
        ok = RenameInFolder(file, folder, to + at);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    CloseHandle(folder);
    return ok;
}

/* GetFullPathNameA works on the text alone: "." and ".." go, a junction stays as it is named. */
static int WinEntryPath(char *out, uint32_t size)
{
    if (InHand.listing == InvalidFindHandle || !InHand.path) return 0;
    DWORD length = GetFullPathNameA(InHand.path, size, out, NULL);
    return length > 0 && length < size;
}

/* A folder opens only with FILE_FLAG_BACKUP_SEMANTICS, which the 9x family refuses. */
static int WinFileIdentity(const char *path, uint64_t *volume, uint64_t *index)
{
    HANDLE file = WinSys.createFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
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
    return WinSys.getVersion();
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

/*
** The restart folder. A deletion registered for the restart names a path, which the system
** follows at its next start; whoever can write in a folder on that path could put a junction
** there meanwhile and have the system delete whatever file of that name the junction leads to.
** So on the NT family the file detected is moved, through the handle checked to be it, into a
** folder of its own volume that only administrators and the system can write, and the
** deletion of that path is registered.
**
** Any user may make folders in a volume's root, so the folder is never one that is merely
** there: it is made afresh, its rights given in the same call, as "<drive>:\KorvaneRestart",
** or where a user holds that name, as that name with a suffix of its own. An existing folder
** of such a name is used only when this program made it: a plain folder (no junction) owned
** by the administrators or the system, whose every entry that lets anyone write, add, delete
** or change its rights names one of the two. A folder just made that fails that test is
** removed again. Where no link can exist (NT 4.0; a volume without rights or reparse points,
** FAT and exFAT), and on a network drive, the file's own path is registered, with no folder.
**
** The deletion is registered before the file moves, so that no end of the run in between
** leaves it unregistered in a folder a non-administrator's scan cannot see, and the removal of
** the folder after it. Every later scan of the volume names what waits there, registers again
** whatever a lost registration left, and removes the folder once it is empty.
*/
static const char RestartFolderName[] = "KorvaneRestart";
#define RestartFolderAttempts 8   /* names tried: the fixed one, then suffixed ones */

/* S-1-5-18 (the system) and S-1-5-32-544 (the administrators), as the system keeps SIDs. */
static const BYTE SystemSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
static const BYTE AdministratorsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

/* The rights over a folder that let one change what it holds or who may: add a file or a
** folder, delete an entry, write its attributes, delete or rename it, change its rights or its
** owner, and the generic rights that include those. */
#define RestartFolderWrites 0x500D0156u

/* Non-zero when the `size` bytes at `sid` are the system's or the administrators' SID. */
static int IsTrustedSid(const BYTE *sid, uint32_t size)
{
    return (size >= sizeof SystemSid && memcmp(sid, SystemSid, sizeof SystemSid) == 0) ||
           (size >= sizeof AdministratorsSid &&
            memcmp(sid, AdministratorsSid, sizeof AdministratorsSid) == 0);
}

int WinOnlyAdministratorsWrite(const void *data, uint32_t size)
{
    const BYTE *descriptor = (const BYTE *)data;
    if (size < 20) return 0;
    /* Revision, padding, control word, then the offsets of owner, group, SACL and DACL. */
    uint32_t control = descriptor[2] | (descriptor[3] << 8);
    uint32_t owner, dacl;
    memcpy(&owner, descriptor + 4, 4);
    memcpy(&dacl, descriptor + 16, 4);
    if (!(control & SE_SELF_RELATIVE) || !(control & SE_DACL_PRESENT) || owner == 0 ||
        owner >= size || !IsTrustedSid(descriptor + owner, size - owner) || dacl == 0 ||
        dacl > size - 8)
        return 0;
    /* The ACL: revision, padding, its size, the number of entries; then the entries. */
    uint32_t aclSize = descriptor[dacl + 2] | (descriptor[dacl + 3] << 8);
    uint32_t count = descriptor[dacl + 4] | (descriptor[dacl + 5] << 8);
    if (aclSize < 8 || aclSize > size - dacl) return 0;
    uint32_t at = dacl + 8, end = dacl + aclSize;
    for (uint32_t i = 0; i < count; i++) {
        if (end - at < 8) return 0;
        uint32_t type = descriptor[at], flags = descriptor[at + 1];
        uint32_t aceSize = descriptor[at + 2] | (descriptor[at + 3] << 8);
        if (aceSize < 8 || aceSize > end - at) return 0;
        uint32_t mask;
        memcpy(&mask, descriptor + at + 4, 4);
        if (type == ACCESS_DENIED_ACE_TYPE || (flags & INHERIT_ONLY_ACE)) {
            /* takes nothing away from the check; an inherited-only entry binds only entries */
        } else if (type != ACCESS_ALLOWED_ACE_TYPE) {
            return 0;   /* an entry this check does not read is not trusted */
        } else if ((mask & RestartFolderWrites) &&
                   !IsTrustedSid(descriptor + at + 8, aceSize - 8)) {
            return 0;
        }
        at += aceSize;
    }
    return 1;
}

typedef LONG(WINAPI *QuerySecurityObject)(HANDLE, DWORD, void *, ULONG, ULONG *);

/* Looked up at run time: the 9x family has no ntdll. */
static long RawNtQuerySecurityObject(void *handle, unsigned long information, void *descriptor,
                                     unsigned long size, unsigned long *needed)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    QuerySecurityObject query =
        ntdll ? (QuerySecurityObject)(void *)GetProcAddress(ntdll, "NtQuerySecurityObject") : 0;
    return query ? query((HANDLE)handle, information, descriptor, size, needed)
                 : (long)0xC0000002L;   /* STATUS_NOT_IMPLEMENTED */
}

/* Non-zero when the security of the open folder says only administrators and the system may
** change it or its entries (WinOnlyAdministratorsWrite). */
static int OnlyAdministratorsWrite(HANDLE folder)
{
    static BYTE descriptor[4096];   /* the worker is the only user */
    unsigned long size = 0;
    return WinSys.ntQuerySecurityObject(folder,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        descriptor, sizeof descriptor, &size) >= 0 &&
           size <= sizeof descriptor && WinOnlyAdministratorsWrite(descriptor, size);
}

/* Non-zero when `root` ("X:\") needs a restart folder: links can exist there (NT 5.0 and later,
** on a local volume with rights and reparse points), so a path registered as it is could be
** redirected before the restart. */
static int NeedsRestartFolder(const char *root)
{
    unsigned long flags = 0;
    return NoFollow() && WinSys.getDriveTypeA(root) != DRIVE_REMOTE &&
           WinSys.getVolumeInformationA(root, &flags) && (flags & FILE_PERSISTENT_ACLS) &&
           (flags & FILE_SUPPORTS_REPARSE_POINTS);
}

/* `digits` upper-case hexadecimal digits of `value` at `out`. */
static void Hex(char *out, uint64_t value, int digits)
{
    for (int i = digits - 1; i >= 0; i--, value >>= 4)
        out[i] = "0123456789ABCDEF"[value & 0xFu];
}

/* The open `folder` (opened without following a link), when it is a restart folder this
** program made: a plain folder that only administrators and the system may change, on the
** volume `volume` unless that is null. */
static int IsOurRestartFolder(HANDLE folder, const uint64_t *volume)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(folder, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               FILE_ATTRIBUTE_DIRECTORY &&
           (!volume || info.dwVolumeSerialNumber == *volume) && OnlyAdministratorsWrite(folder);
}

/* The folder at `path` opened as itself (a junction is not followed), for checking its rights
** and working in it; with `remove`, only for its removal (a handle that may delete the folder
** keeps others, the listing among them, from opening it). */
static HANDLE OpenFolderAsItself(const char *path, int remove)
{
    return WinSys.createFileA(path,
                              remove ? DELETE | SYNCHRONIZE
                                     : READ_CONTROL | FILE_TRAVERSE | FILE_LIST_DIRECTORY |
                                           SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | NoFollow(), NULL);
}

/* Removes the folder at `path` when it holds nothing (a folder that holds anything refuses). */
static void RemoveEmptyFolder(const char *path)
{
    HANDLE folder = OpenFolderAsItself(path, 1);
    if (folder == INVALID_HANDLE_VALUE) return;
    MarkForDeletion(folder, TRUE);
    CloseHandle(folder);
}

/* The security of a restart folder: administrators and the system get every right, on the
** folder and what is in it; the owner is the administrators; nothing is inherited from the
** root. Filled in `acl` and `descriptor`, which `attributes` then points to. */
static void RestartFolderSecurity(BYTE *acl, SECURITY_DESCRIPTOR *descriptor,
                                  SECURITY_ATTRIBUTES *attributes)
{
    uint32_t at = 8;
    for (int i = 0; i < 2; i++) {
        const BYTE *sid = i ? SystemSid : AdministratorsSid;
        uint32_t sidSize = i ? sizeof SystemSid : sizeof AdministratorsSid;
        ACCESS_ALLOWED_ACE *ace = (ACCESS_ALLOWED_ACE *)(void *)(acl + at);
        ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
        ace->Header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        ace->Header.AceSize = (WORD)(8 + sidSize);
        ace->Mask = FILE_ALL_ACCESS;
        memcpy(acl + at + 8, sid, sidSize);
        at += 8 + sidSize;
    }
    ACL *header = (ACL *)(void *)acl;
    header->AclRevision = ACL_REVISION;
    header->Sbz1 = 0;
    header->AclSize = (WORD)at;
    header->AceCount = 2;
    header->Sbz2 = 0;
    memset(descriptor, 0, sizeof *descriptor);
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor->Control = SE_DACL_PRESENT;
    /* Windows 2000 and later would add the root's inheritable entries; NT 4.0 knows no such
    ** flag and inherits nothing from a descriptor given whole. */
    if ((WinSys.getVersion() & 0xFFu) >= 5) descriptor->Control |= SE_DACL_PROTECTED;
    descriptor->Owner = (PSID)(void *)AdministratorsSid;
    descriptor->Dacl = header;
    attributes->nLength = sizeof *attributes;
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = FALSE;
}

/* The root "X:\" of the full path `file` into `root` (4 bytes); 0 when it has none. */
static int DriveRoot(const char *file, char *root)
{
    if (!((file[0] | 0x20) >= 'a' && (file[0] | 0x20) <= 'z' && file[1] == ':' && file[2] == '\\'))
        return 0;
    memcpy(root, file, 3);
    root[3] = 0;
    return 1;
}

/* A restart folder of the volume the path `file` ("X:\...") lies on, on the volume of the
** entry in hand: made afresh, or one this program made (see above), opened as itself; its path
** goes into `path` (MAX_PATH bytes). INVALID_HANDLE_VALUE when none can be had or none is
** needed; nothing is left behind then. */
static HANDLE OpenRestartFolder(const char *file, char *path)
{
    char root[4];
    if (!DriveRoot(file, root) || !NeedsRestartFolder(root)) return INVALID_HANDLE_VALUE;
    static BYTE acl[8 + 2 * (8 + sizeof AdministratorsSid)];   /* the worker is the only user */
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    RestartFolderSecurity(acl, &descriptor, &attributes);
    LARGE_INTEGER counter;
    if (!QueryPerformanceCounter(&counter)) counter.QuadPart = 0;
    for (int attempt = 0; attempt < RestartFolderAttempts; attempt++) {
        memcpy(path, root, 3);
        memcpy(path + 3, RestartFolderName, sizeof RestartFolderName);
        if (attempt) {
            /* ".<process>-<counter>": a name no one could take ahead of this run. */
            char *suffix = path + 3 + sizeof RestartFolderName - 1;
            suffix[0] = '.';
            Hex(suffix + 1, GetCurrentProcessId(), 8);
            suffix[9] = '-';
            Hex(suffix + 10, (uint64_t)counter.QuadPart + (uint64_t)attempt * GetTickCount(), 16);
            suffix[26] = 0;
        }
        int made = WinSys.createDirectoryA(path, &attributes);
        if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
        HANDLE folder = OpenFolderAsItself(path, 0);
        if (folder != INVALID_HANDLE_VALUE && IsOurRestartFolder(folder, &InHand.volume))
            return folder;
        if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
        if (made) {
            /* The system did not give the folder its rights (Wine; a user who may not make the
            ** administrators an owner): no other name would fare better. */
            RemoveEmptyFolder(path);
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

/* Renames the open `file` back to the full path `path`; non-zero on success. */
static int RenameBack(HANDLE file, const char *path)
{
    char nt[MAX_PATH + 8] = "\\??\\";
    if (strlen(path) + 5 > sizeof nt) return 0;
    memcpy(nt + 4, path, strlen(path) + 1);
    union {
        FILE_RENAME_INFORMATION rename;
        char bytes[sizeof(FILE_RENAME_INFORMATION) + (MAX_PATH + 8) * sizeof(WCHAR)];
    } information;
    memset(&information, 0, sizeof information);
    int length = MultiByteToWideChar(CP_ACP, 0, nt, -1, information.rename.FileName, MAX_PATH + 8);
    if (length <= 1) return 0;
    information.rename.FileNameLength = (ULONG)((length - 1) * sizeof(WCHAR));
    return SetInformation(file, &information, sizeof information, RenameInformation);
}

/* `folder` + "\" + `name` into `out` (MAX_PATH bytes); 0 when it does not fit. */
static int JoinPath(char *out, const char *folder, const char *name)
{
    size_t a = strlen(folder), b = strlen(name);
    if (a + 1 + b >= MAX_PATH) return 0;
    memcpy(out, folder, a);
    out[a] = '\\';
    memcpy(out + a + 1, name, b + 1);
    return 1;
}

/* The entry in hand, `from`, moved through the handle checked into a restart folder of its
** volume, its deletion there registered first. 1 when registered and moved; 0 when it was not
** moved (the file held without the right to rename it, no restart folder needed or to be had,
** the registration refused), and then the file is where it was; -1 when the file moved but
** cannot be put back. */
static int DeleteFromRestartFolder(const char *from)
{
    char folderPath[MAX_PATH], name[40], moved[MAX_PATH];
    HANDLE file = OpenInHand(from, DELETE | FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return 0;
    HANDLE folder = OpenRestartFolder(from, folderPath);
    int result = 0;
    if (folder != INVALID_HANDLE_VALUE) {
        /* The file's index names it uniquely on its volume; the time tells apart a file of the
        ** same index that an earlier run left there. */
        Hex(name, InHand.index, 16);
        name[16] = '-';
        Hex(name + 17, GetTickCount(), 8);
        memcpy(name + 25, ".del", 5);
        /* Registered before the move: whatever ends the run after it, what moved is deleted,
        ** and a registration whose move did not take place names nothing there. */
        if (JoinPath(moved, folderPath, name) &&
            WinSys.moveFileExA(moved, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            WinSys.moveFileExA(folderPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);   /* once empty */
            Checked("moveFileAtRestart", from);
            if (RenameInFolder(file, folder, name)) {
                /* Where a rename goes by the name the handle was opened with (Wine), a name
                ** that led elsewhere by then moved another file: it goes back. */
                HANDLE there = OpenInFolder(folder, name, FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            FILE_OPEN);
                result = there != INVALID_HANDLE_VALUE && IsInHand(there);
                if (there != INVALID_HANDLE_VALUE) CloseHandle(there);
                if (!result) result = RenameBack(file, from) ? 0 : -1;
            }
        }
        CloseHandle(folder);
    }
    CloseHandle(file);
    return result;
}

/* The platform's own result goes back unchanged: callers test for non-zero only. */
static int WinMoveFileAtRestart(const char *from, const char *to)
{
    if (to || !Watching()) return WinSys.moveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT);
    /* A deletion at the restart is a deletion: only of the file detected. */
    int moved = DeleteFromRestartFolder(from);
    if (moved) return moved > 0;
    return StillInHand(from) && WinSys.moveFileExA(from, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

/* 1 when the texts are the same but for ASCII case. */
static int SameFoldedText(const char *a, const char *b)
{
    for (;; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
        if (x != y) return 0;
        if (!x) return 1;
    }
}

/* The deletion of `path` is among the NT family's pending restart operations: a pair of the
** path ("\??\" before it) and an empty destination in PendingFileRenameOperations. */
static int WinDeletionPending(const char *path)
{
    if (!IsNtFamily()) return 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0, size = 0;
    char *data = 0;
    int found = 0;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type, NULL, &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ && (data = (char *)malloc(size + 2)) != 0 &&
        RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type, (BYTE *)data, &size) ==
            ERROR_SUCCESS) {
        data[size] = data[size + 1] = 0;   /* whatever the value holds, the texts end */
        for (char *at = data; at < data + size && *at;) {
            char *to = at + strlen(at) + 1;
            if (to >= data + size + 1) break;
            const char *source = strncmp(at, "\\??\\", 4) == 0 ? at + 4 : at;
            if (!*to && SameFoldedText(source, path)) found = 1;
            at = to + strlen(to) + 1;
        }
    }
    free(data);
    RegCloseKey(key);
    return found;
}

/* Each file in the restart folder at `path` to `each`; with `repair`, its deletion registered
** again where a registration was lost, and the folder removed when it holds nothing. */
static uint32_t ListWaiting(const char *path, int repair,
                            void (*each)(const char *waiting, void *context), void *context)
{
    char pattern[MAX_PATH], waiting[MAX_PATH];
    WIN32_FIND_DATAA data;
    uint32_t count = 0;
    if (!JoinPath(pattern, path, "*")) return 0;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                !JoinPath(waiting, path, data.cFileName))
                continue;
            if (repair && !WinDeletionPending(waiting))
                WinSys.moveFileExA(waiting, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
            each(waiting, context);
            count++;
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    /* Empty: the restart has done its work (a folder holding anything refuses this). */
    if (count == 0 && repair) RemoveEmptyFolder(path);
    return count;
}

static uint32_t WinWaitingAtRestart(const char *path, int repair,
                                    void (*each)(const char *waiting, void *context),
                                    void *context)
{
    char full[MAX_PATH], root[4], pattern[MAX_PATH], folderPath[MAX_PATH];
    DWORD length = GetFullPathNameA(path, sizeof full, full, NULL);
    if (!IsNtFamily() || !NoFollow() || length == 0 || length >= sizeof full ||
        !DriveRoot(full, root))
        return 0;
    root[2] = 0;   /* "X:", which JoinPath follows with the separator */
    if (!JoinPath(pattern, root, RestartFolderName) || strlen(pattern) + 2 > sizeof pattern)
        return 0;
    memcpy(pattern + strlen(pattern), "*", 2);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    uint32_t count = 0;
    do {
        if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                FILE_ATTRIBUTE_DIRECTORY ||
            !JoinPath(folderPath, root, data.cFileName))
            continue;
        HANDLE folder = OpenFolderAsItself(folderPath, 0);
        if (folder == INVALID_HANDLE_VALUE) continue;
        int ours = IsOurRestartFolder(folder, NULL);
        CloseHandle(folder);
        if (ours) count += ListWaiting(folderPath, repair, each, context);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return count;
}

/* A deletion here marks the file through its handle: it gives the file no name of its own that
** another run could list. What waits in a restart folder this program made (a folder of a
** volume's root) is named by every scan of the volume as waiting (waitingAtRestart), and is
** not handled again. */
static int WinInAnotherRunsHands(const char *name)
{
    (void)name;
    uint32_t at = InHand.nameAt, length = (uint32_t)sizeof RestartFolderName - 1;
    const char *path = InHand.path;
    if (InHand.listing == InvalidFindHandle || !path || !IsNtFamily() || at < 4 + length ||
        at >= MAX_PATH || path[1] != ':' || path[2] != '\\' ||
        strncmp(path + 3, RestartFolderName, length) != 0)
        return 0;
    for (uint32_t i = 3; i + 1 < at; i++)
        if (path[i] == '\\') return 0;   /* a folder of the root's, not below it */
    char folderPath[MAX_PATH];
    memcpy(folderPath, path, at - 1);
    folderPath[at - 1] = 0;
    HANDLE folder = OpenFolderAsItself(folderPath, 0);
    if (folder == INVALID_HANDLE_VALUE) return 0;
    int ours = IsOurRestartFolder(folder, NULL);
    CloseHandle(folder);
    return ours;
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
    HANDLE file = WinSys.createFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    BOOL ok = WinSys.writeFile(file, data, size, &written);
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
    if (!Is9xFamily(WinSys.getVersion()))
        return WinSys.moveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    char aside[MAX_PATH];
    size_t length = strlen(to);
    if (length + 2 > sizeof aside) return 0;
    memcpy(aside, to, length);
    aside[length] = '~';
    aside[length + 1] = 0;
    if (GetFileAttributesA(aside) != INVALID_FILE_ATTRIBUTES) return 0;
    BOOL stepped = WinSys.moveFileA(to, aside);
    if (!stepped && GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES) return 0;
    if (!WinSys.moveFileA(from, to)) {
        if (stepped) WinSys.moveFileA(aside, to);
        return 0;
    }
    if (stepped) WinSys.deleteFileA(aside);
    return 1;
}

/* ---- folder walk ----------------------------------------------------------------------- */

/* The Windows programs read each file as the walk comes to it: nothing is fetched ahead. */
static void WinPlanReadAhead(const ReadAheadPlan *plan)
{
    (void)plan;
}

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
/* Set on the first listing, on the NT family only (`looked`). */
static struct {
    FindFirstWide first;
    FindNextWide next;
    int looked;
} Wide;

static int UseWideListing(void)
{
    if (!Wide.looked) {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        if (!Is9xFamily(WinSys.getVersion()) && kernel) {
            Wide.first = (FindFirstWide)(void *)GetProcAddress(kernel, "FindFirstFileW");
            Wide.next = (FindNextWide)(void *)GetProcAddress(kernel, "FindNextFileW");
        }
        Wide.looked = 1;
    }
    return Wide.first && Wide.next;
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
        find = Wide.first(widePattern, &data);
        if (find != INVALID_HANDLE_VALUE) ToRecordWide(&data, record);
    } else {
        WIN32_FIND_DATAA data;
        find = FindFirstFileA(pattern, &data);
        if (find != INVALID_HANDLE_VALUE) ToRecord(&data, record);
    }
    if (find == INVALID_HANDLE_VALUE && GetLastError() == ERROR_TOO_MANY_OPEN_FILES)
        InHand.failure = FailureDescriptors;
    return find == INVALID_HANDLE_VALUE ? InvalidFindHandle : (FindHandle)find;
}

static int WinFindNext(FindHandle find, FindRecord *record)
{
    if (UseWideListing()) {
        WIN32_FIND_DATAW data;
        if (!Wide.next((HANDLE)find, &data)) return 0;
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
    HANDLE file = WinSys.createFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
static struct {
    char path[PlatformPathSize];
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE index = INVALID_HANDLE_VALUE;
    unsigned made;                  /* files createStored made, for unique names */
} Store;

/* FILE_FLAG_OPEN_REPARSE_POINT where links exist (NT 5.0 and later); NT 4.0 and the 9x family
** have none to open, and may refuse a flag they do not know. */
static DWORD NoFollow(void)
{
    DWORD version = WinSys.getVersion();
    return !(version & 0x80000000u) && (version & 0xFF) >= 5 ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
}

/* `name` in the store into `out`; 0 when it does not fit. */
static int StoreName(const char *name, char *out)
{
    size_t a = strlen(Store.path), b = strlen(name);
    if (a + 1 + b >= PlatformMaxPath) return 0;
    memcpy(out, Store.path, a);
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
    if (strlen(path) >= sizeof Store.path) return StoreCannotMake;
    if (create && !CreateDirectoryA(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return StoreCannotMake;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return StoreCannotMake;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return StoreNotFolder;
    memcpy(Store.path, path, strlen(path) + 1);
    *volume = *inode = 0;
    if (IsNtFamily()) {
        HANDLE folder = WinSys.createFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
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
        if (Store.folder != INVALID_HANDLE_VALUE) CloseHandle(Store.folder);
        Store.folder = folder;
        *volume = info.dwVolumeSerialNumber;
        *inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
    char name[PlatformPathSize];
    if (!StoreName(indexName, name)) return StoreBadIndex;
    /* Shared for writing: another run appends to it too, one at a time under the lock. */
    HANDLE file = WinSys.createFileA(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL |
                                  NoFollow(),
                              NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE) return StoreIndexCannot;
    if (!PlainFile(file, &info)) {
        CloseHandle(file);
        return StoreBadIndex;
    }
    Store.index = file;
    *index = (FileHandle)file;
    return StoreReady;
}

static int WinLockStore(int lock)
{
    if (!lock) return UnlockFile(Store.index, 0xFFFFFFF0u, 0, 1, 0) != 0;
    while (!LockFile(Store.index, 0xFFFFFFF0u, 0, 1, 0)) {
        if (GetLastError() != ERROR_LOCK_VIOLATION) return 0;
        Sleep(20);
    }
    return 1;
}

static void WinCloseStore(void)
{
    if (Store.folder != INVALID_HANDLE_VALUE) CloseHandle(Store.folder);
    Store.folder = INVALID_HANDLE_VALUE;
    Store.index = INVALID_HANDLE_VALUE;
}

/* Deletion is shared on the NT family so that placeStored can rename the file it holds. */
static FileHandle WinCreateStored(const char *prefix, char *made, uint32_t size)
{
    for (int attempt = 0; attempt < 16; attempt++) {
        char name[PlatformPathSize], digits[40];
        unsigned long parts[3] = {GetCurrentProcessId(), ++Store.made, GetTickCount()};
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
        HANDLE file = WinSys.createFileA(name, GENERIC_READ | GENERIC_WRITE,
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
    HANDLE file = WinSys.createFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
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
    HANDLE look = WinSys.createFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
           StoredIs(&held, from) && WinSys.moveFileA(a, b) && StoredIs(&held, to);
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
    return WinSys.deleteFileA(path) != 0;
}

static uint32_t WinWriteFile(FileHandle file, const void *buffer, uint32_t count)
{
    DWORD written = 0;
    WinSys.writeFile((HANDLE)file, buffer, count, &written);
    return written;
}

static uint32_t WinWriteAt(FileHandle file, const void *buffer, uint32_t count, uint64_t offset)
{
    return SeekTo((HANDLE)file, offset) ? WinWriteFile(file, buffer, count) : 0;
}

static int WinTruncateFile(FileHandle file, uint64_t size)
{
    return SeekTo((HANDLE)file, size) && SetEndOfFile((HANDLE)file);
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

/* On the NT family the handle may append and read, never write elsewhere (FILE_APPEND_DATA
** without FILE_WRITE_DATA), so that every WriteFile lands at the end; the 9x family has no such
** handle and moves to the end before each write. Runs that share one log still take turns record
** by record at a lock on one byte far beyond any log's end: neither the 9x family's move and
** write nor Wine's append is one step for other processes. A pipe, a device (CON, NUL) or a
** link is no log. */
static struct {
    int appendOnly;              /* the handle appends by itself (the NT family) */
    int locked;                  /* the lock is held for the record in hand */
    int inRecord;                /* a record is under way: its first piece is written */
} LogState;

static int WinOpenLog(const char *path, FileHandle *log)
{
    int nt = IsNtFamily();
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return LogNotFile;
    /* FILE_READ_DATA: LockFile wants a handle that may read or write its data. */
    DWORD access = nt ? (FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE)
                      : GENERIC_READ | GENERIC_WRITE;
    HANDLE file = WinSys.createFileA(path, access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | NoFollow(),
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_TOO_MANY_OPEN_FILES ? LogNoDescriptors : LogCannotOpen;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || (nt && !PlainFile(file, &info))) {
        CloseHandle(file);
        return LogNotFile;
    }
    LogState.appendOnly = nt;
    *log = (FileHandle)file;
    return LogReady;
}

/* Writes `size` bytes at the log's end with each "\n" as "\r\n": a text file on Windows
** ends its lines as the console's output does, or Notepad shows the log as one line. A piece
** of up to 4 KB goes in one write, as it came; a longer one in several, under the record's
** lock like the pieces of one record. */
static int WinPutLogLines(HANDLE file, const char *data, uint32_t size)
{
    char lines[8192];
    uint32_t used = 0;
    for (uint32_t i = 0; i < size; i++) {
        if (data[i] == '\n') lines[used++] = '\r';
        lines[used++] = data[i];
        if (used < sizeof lines - 1 && i + 1 < size) continue;
        DWORD written = 0;
        if (!(LogState.appendOnly || SetFilePointer(file, 0, NULL, FILE_END) != 0xFFFFFFFFu) ||
            !WinSys.writeFile(file, lines, used, &written) || written != used)
            return 0;
        used = 0;
    }
    return 1;
}

/* A lock that cannot be had within about five seconds (a file system without locks, a run that
** hangs) does not cost the line: it is written without. */
static int WinAppendLog(FileHandle log, const void *data, uint32_t size, int more)
{
    HANDLE file = (HANDLE)log;
    if (!LogState.inRecord) {
        LogState.inRecord = 1;
        for (int tries = 0; tries < 500; tries++) {
            if ((LogState.locked = LockFile(file, 0xFFFFFFF0u, 0, 1, 0) != 0) ||
                GetLastError() != ERROR_LOCK_VIOLATION)
                break;
            Sleep(10);
        }
    }
    int ok = WinPutLogLines(file, (const char *)data, size);
    if (!more || !ok) {
        if (LogState.locked) UnlockFile(file, 0xFFFFFFF0u, 0, 1, 0);
        LogState.locked = 0;
        LogState.inRecord = 0;
    }
    return ok;
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

/* Only a file on a disk has an identity worth comparing: a console or pipe has none. A file
** with other names is none of the program's own: one of them may be a file to scan. */
static int WinStreamIdentity(int stream, uint64_t *volume, uint64_t *index)
{
    HANDLE file = GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION info;
    if (file == NULL || file == INVALID_HANDLE_VALUE || !PlainFile(file, &info))
        return 0;
    *volume = info.dwVolumeSerialNumber;
    *index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 1;
}

/* ---- the table ------------------------------------------------------------------------- */

/* The code alone: FormatMessageA is not among the functions both old families export. */
static void WinLastError(char *out, uint32_t size)
{
    DWORD code = GetLastError();
    if (!code || !size) {
        if (size) out[0] = 0;
        return;
    }
    char digits[12];
    int n = 0;
    do {
        digits[n++] = (char)('0' + code % 10);
        code /= 10;
    } while (code && n < (int)sizeof digits);
    if (size < (uint32_t)n + 7) {
        if (size) out[0] = 0;
        return;
    }
    memcpy(out, "error ", 6);
    for (int i = 0; i < n; i++) out[6 + i] = digits[n - 1 - i];
    out[6 + n] = 0;
}

const PlatformOps PlatformDefaults = {
    .files =
        {
            .openFile           = WinOpenFile,
            .readFile           = WinReadFile,
            .seekFile           = WinSeekFile,
            .closeFile          = WinCloseFile,
            .readAt             = WinReadAt,
            .identifyFile       = WinIdentifyFile,
            .memAlloc           = WinMemAlloc,
            .memFree            = WinMemFree,
            .getFileAttributes  = WinGetFileAttributes,
            .setFileAttributes  = WinSetFileAttributes,
            .copyFile           = WinCopyFile,
            .deleteFile         = WinDeleteFile,
            .moveFile           = WinMoveFile,
            .inAnotherRunsHands = WinInAnotherRunsHands,
            .entryPath          = WinEntryPath,
            .fileIdentity       = WinFileIdentity,
            .planReadAhead      = WinPlanReadAhead,
            .findFirst          = WinFindFirst,
            .findNext           = WinFindNext,
            .findClose          = WinFindClose,
            .fixedDrives        = WinFixedDrives,
        },
    .restart =
        {
            .getVersion        = WinGetVersion,
            .systemVersion     = WinSystemVersion,
            .moveFileAtRestart = WinMoveFileAtRestart,
            .deletionPending   = WinDeletionPending,
            .waitingAtRestart  = WinWaitingAtRestart,
            .windowsFolder     = WinWindowsFolder,
            .writeWholeFile    = WinWriteWholeFile,
            .shortPath         = WinShortPath,
            .replaceFile       = WinReplaceFile,
            .flushProfile      = WinFlushProfile,
        },
    .registry =
        {
            .regOpenRunKey  = WinRegOpenRunKey,
            .regValueCount  = WinRegValueCount,
            .regEnumValue   = WinRegEnumValue,
            .regDeleteValue = WinRegDeleteValue,
            .regCloseKey    = WinRegCloseKey,
            .regValueText   = WinRegValueText,
        },
    .system =
        {
            .startThread     = WinStartThread,
            .milliseconds    = WinMilliseconds,
            .errorIsTerminal = WinErrorIsTerminal,
            .onInterrupt     = WinOnInterrupt,
            .hostName        = WinHostName,
            .volumeFacts     = WinVolumeFacts,
            .lastError       = WinLastError,
            .streamIdentity  = WinStreamIdentity,
        },
    .store =
        {
            .openStore      = WinOpenStore,
            .lockStore      = WinLockStore,
            .closeStore     = WinCloseStore,
            .createStored   = WinCreateStored,
            .openStored     = WinOpenStored,
            .placeStored    = WinPlaceStored,
            .removeStored   = WinRemoveStored,
            .sweepStore     = nullptr,
            .writeFile      = WinWriteFile,
            .writeAt        = WinWriteAt,
            .truncateFile   = WinTruncateFile,
            .syncFile       = WinSyncFile,
            .fileFacts      = WinFileFacts,
            .openLog        = WinOpenLog,
            .appendLog      = WinAppendLog,
            .createRestored = WinCreateRestored,
            .finishRestored = WinFinishRestored,
            .sweepRestored  = nullptr,
            .restoreRoot    = nullptr,
            .openRestored   = nullptr,
        },
};

