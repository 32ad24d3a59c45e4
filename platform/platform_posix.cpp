/*
** The platform table on POSIX systems (Linux first of all).
**
** The core was written against Win32; this file gives it the same promises over ordinary
** files so that the engine, the walk and the workflow run and are tested natively:
**
** - Share rule, among the handles of this process. Every handle from openFile is listed with
**   the file's identity and its access: two readers get along; a writer and anybody else do
**   not, exactly as two CreateFileA calls with FILE_SHARE_READ would. deleteFile, moveFile and
**   writeWholeFile look at that list too, so a file held by a handle cannot be deleted, renamed
**   or overwritten; copyFile reads it like any other. Other programs are not stopped (POSIX
**   has no mandatory share modes); a file lock per open would cost a quarter of a scan.
** - Read-only. The read-only attribute is a missing owner write bit. As on Windows, such a file
**   is neither opened for writing nor deleted, even by root (who would otherwise be allowed).
** - Nothing but regular files is ever opened, and the open itself cannot block: a FIFO, a
**   socket or a device is refused before the open (O_NONBLOCK, O_NOCTTY and O_NOFOLLOW cover
**   the window in between).
** - Restart-time work, the Windows folder and the registry do not exist here: those entries
**   answer failure.
*/
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

const char PathSeparator = '/';

/* ---- file handles ---------------------------------------------------------------------- */

/* A handle is the descriptor and our own file position: reads are positioned (pread), so a
** seek is arithmetic and costs no system call. The position is kept below 2^32 - 1, as a
** 32-bit SetFilePointer without a high part would keep it. */
struct PosixFile {
    int fd;                 /* first, so that tests may write through a handle */
    uint32_t position;
    dev_t device;           /* the file's identity and the handle's access, for the share rule */
    ino_t inode;
    int write;
    PosixFile *next;        /* the next open handle */
};

static PosixFile *FileOf(FileHandle file) { return (PosixFile *)file; }

/* The handles open in this process, for the share rule; guarded by holdersLock. */
static pthread_mutex_t holdersLock = PTHREAD_MUTEX_INITIALIZER;
static PosixFile *holders;

/* Non-zero when a listed handle holds the file in a way that conflicts with a new handle:
** with any handle when `write` is set, else with a handle open for writing. */
static int HeldLocked(dev_t device, ino_t inode, int write)
{
    for (PosixFile *h = holders; h; h = h->next)
        if (h->device == device && h->inode == inode && (write || h->write)) return 1;
    return 0;
}

static int Held(dev_t device, ino_t inode, int write)
{
    pthread_mutex_lock(&holdersLock);
    int held = HeldLocked(device, inode, write);
    pthread_mutex_unlock(&holdersLock);
    return held;
}

/* Non-zero when a handle holds the regular file `path` (a link itself is never held). */
static int IsHeld(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && Held(st.st_dev, st.st_ino, 1);
}

static int ListedFolder(const char *path, const char **name);

/* Opens an existing regular file; -1 on any failure. `after` receives what was opened. */
static int OpenRegular(const char *path, int write, struct stat *after)
{
    const char *name;
    int folder = ListedFolder(path, &name);
    /* Looked at first so that a device is never opened at all (opening some has effects). */
    if (fstatat(folder, name, after, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    int link = S_ISLNK(after->st_mode);
    struct stat before;
    if (link && fstatat(folder, name, &before, 0) != 0) return -1;
    if (link) *after = before;
    if (!S_ISREG(after->st_mode)) return -1;
    if (write && !(after->st_mode & S_IWUSR)) {
        errno = EACCES;
        return -1;
    }
    int flags = (write ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    /* A plain name cannot turn into a device between the look and the open without the right
    ** to make device nodes; O_NOFOLLOW refuses a link put in its place, and a FIFO put there
    ** opens without blocking and reads as empty. */
    if (!link) return openat(folder, name, flags | O_NOFOLLOW);
    int fd = openat(folder, name, flags);
    if (fd < 0) return -1;
    /* A link may have been pointed elsewhere between the two looks. */
    if (fstat(fd, after) != 0 || !S_ISREG(after->st_mode) || after->st_dev != before.st_dev ||
        after->st_ino != before.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

static FileHandle PosixOpenFile(const char *path, int write)
{
    struct stat st;
    int fd = OpenRegular(path, write, &st);
    if (fd < 0) return InvalidFileHandle;
    PosixFile *file = (PosixFile *)malloc(sizeof *file);
    if (!file) {
        close(fd);
        return InvalidFileHandle;
    }
    file->fd = fd;
    file->position = 0;
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->write = write != 0;
    pthread_mutex_lock(&holdersLock);
    int held = HeldLocked(file->device, file->inode, file->write);
    if (!held) {
        file->next = holders;
        holders = file;
    }
    pthread_mutex_unlock(&holdersLock);
    if (held) {
        close(fd);
        free(file);
        return InvalidFileHandle;
    }
    return (FileHandle)file;
}

static uint32_t PosixReadFile(FileHandle handle, void *buffer, uint32_t count)
{
    PosixFile *file = FileOf(handle);
    uint32_t done = 0;
    /* Nothing is read that would carry the position past what a 32-bit offset can name. */
    if (count > 0xFFFFFFFEu - file->position) count = 0xFFFFFFFEu - file->position;
    while (done < count) {
        ssize_t got = pread(file->fd, (char *)buffer + done, count - done,
                            (off_t)file->position + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += (uint32_t)got;
    }
    file->position += done;
    return done;
}

/* SetFilePointer without a high part: the new position must fit in 32 bits and never be
** negative; 0xFFFFFFFF (which no position can be) marks a refused move. */
static uint32_t PosixSeekFile(FileHandle handle, int32_t distance, uint32_t origin)
{
    PosixFile *file = FileOf(handle);
    int64_t base;
    if (origin == SeekFromStart) {
        base = 0;
    } else if (origin == SeekFromCurrent) {
        base = file->position;
    } else if (origin == SeekFromEnd) {
        struct stat st;
        base = fstat(file->fd, &st) == 0 ? (int64_t)st.st_size : -1;
    } else {
        return 0xFFFFFFFFu;     /* SEEK_DATA and SEEK_HOLE are not origins of the table */
    }
    if (base < 0) return 0xFFFFFFFFu;
    int64_t target = base + distance;
    if (target < 0 || target >= 0xFFFFFFFFll) return 0xFFFFFFFFu;
    file->position = (uint32_t)target;
    return file->position;
}

static int PosixCloseFile(FileHandle handle)
{
    PosixFile *file = FileOf(handle);
    pthread_mutex_lock(&holdersLock);
    for (PosixFile **link = &holders; *link; link = &(*link)->next) {
        if (*link == file) {
            *link = file->next;
            break;
        }
    }
    pthread_mutex_unlock(&holdersLock);
    int ok = close(file->fd) == 0;
    free(file);
    return ok;
}

/* ---- memory ---------------------------------------------------------------------------- */

static void *PosixMemAlloc(uint32_t size)
{
    return malloc(size ? size : 1);     /* a zero-size heap block is still a block */
}

static void PosixMemFree(void *block)
{
    free(block);
}

/* ---- changing files -------------------------------------------------------------------- */

/* The entry name after the last '/'. */
static const char *LastComponent(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* Attribute word of an entry from its lstat record; `target` is the stat of what a symbolic
** link names (null when it names nothing). */
static uint32_t AttributesOf(const char *name, const struct stat *st, const struct stat *target)
{
    uint32_t attributes = 0;
    if (S_ISLNK(st->st_mode)) {
        attributes |= AttrReparsePoint;
        if (target && S_ISDIR(target->st_mode)) attributes |= AttrDirectory;
    } else if (S_ISDIR(st->st_mode)) {
        attributes |= AttrDirectory;
    }
    if (!S_ISLNK(st->st_mode) && !(st->st_mode & S_IWUSR)) attributes |= AttrReadOnly;
    if (name[0] == '.' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
        attributes |= AttrHidden;
    return attributes ? attributes : AttrNormal;
}

static uint32_t PosixGetFileAttributes(const char *path)
{
    struct stat st, target;
    if (lstat(path, &st) != 0) return InvalidFileAttributes;
    int named = S_ISLNK(st.st_mode) && stat(path, &target) == 0;
    return AttributesOf(LastComponent(path), &st, named ? &target : 0);
}

/* Only the read-only bit has a POSIX meaning: it takes away every write bit, and its absence
** gives the owner write permission back. */
static int PosixSetFileAttributes(const char *path, uint32_t attributes)
{
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    mode_t mode = st.st_mode & 07777;
    if (attributes & AttrReadOnly)
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    return chmod(path, mode) == 0;
}

/* Copies whoever holds the source, as CopyFileA does for a file open with FILE_SHARE_READ. */
static int PosixCopyFile(const char *from, const char *to)
{
    struct stat st;
    int in = OpenRegular(from, 0, &st);
    if (in < 0) return 0;
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return 0;
    }
    char buffer[65536];
    int ok = 1;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = 0;
        if (got <= 0) break;
        for (ssize_t put = 0; put < got;) {
            ssize_t n = write(out, buffer + put, (size_t)(got - put));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = 0;
                break;
            }
            put += n;
        }
        if (!ok) break;
    }
    /* The permission bits travel with the contents, as the attributes do on Windows. */
    if (ok && fchmod(out, st.st_mode & 0777) != 0) ok = 0;
    if (close(out) != 0) ok = 0;
    close(in);
    if (!ok) unlink(to);     /* ours: made with O_EXCL above */
    return ok;
}

/* Refuses what DeleteFileA refuses: a folder, a read-only file, a file some handle holds. */
static int PosixDeleteFile(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    if (!S_ISLNK(st.st_mode)) {
        if (!(st.st_mode & S_IWUSR)) return 0;
        if (S_ISREG(st.st_mode) && IsHeld(path)) return 0;
    }
    return unlink(path) == 0;
}

static int PosixMoveFile(const char *from, const char *to)
{
    struct stat st;
    if (lstat(from, &st) != 0) return 0;
    if (S_ISREG(st.st_mode) && IsHeld(from)) return 0;
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
    if (errno != EINVAL && errno != ENOSYS) return 0;
#endif
    /* The file system cannot refuse a replacement by itself: look first (a narrow race). */
    struct stat existing;
    if (lstat(to, &existing) == 0 || errno != ENOENT) return 0;
    return rename(from, to) == 0;
}

/* ---- restart-time work ----------------------------------------------------------------- */

/* Zero: the NT family, so the restart-time work goes to moveFileAtRestart, which refuses. */
static uint32_t PosixGetVersion(void)
{
    return 0;
}

static int PosixMoveFileAtRestart(const char *, const char *)
{
    return 0;
}

static int PosixWindowsFolder(char *, uint32_t)
{
    return 0;
}

static int PosixShortPath(const char *, char *, uint32_t)
{
    return 0;
}

static int PosixWriteWholeFile(const char *path, const void *data, uint32_t size)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return 0;
    struct stat st;
    int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !Held(st.st_dev, st.st_ino, 1) &&
             ftruncate(fd, 0) == 0;
    for (uint32_t done = 0; ok && done < size;) {
        ssize_t n = write(fd, (const char *)data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = 0;
        else done += (uint32_t)n;
    }
    if (close(fd) != 0) ok = 0;
    return ok;
}

/* rename() replaces in one step: whoever looks finds the old file or the new one. */
static int PosixReplaceFile(const char *from, const char *to)
{
    struct stat st;
    if (lstat(from, &st) != 0 || !S_ISREG(st.st_mode) || IsHeld(from)) return 0;
    if (lstat(to, &st) == 0 && (!S_ISREG(st.st_mode) || IsHeld(to))) return 0;
    return rename(from, to) == 0;
}

/* ---- folder walk ----------------------------------------------------------------------- */

/* One enumeration: "." and ".." are given first by us (not every file system lists them, and
** Windows always does for a folder), then what readdir gives, without its own "." and "..". */
struct PosixFind {
    DIR *dir;
    dev_t device;        /* the listed folder's file system */
    int synthetic;       /* how many of ".", ".." were given so far */
    PosixFind *outer;    /* the listing this one was opened inside of, on this thread */
    size_t folderLength;
    char folder[4096];   /* the listed folder, with its trailing '/' */
};

/* The innermost listing still open on this thread (a listing is closed on the thread that
** opened it, as the walk does). The walk opens the files it has just
** listed: naming them relative to the open folder spares a lookup of the whole path for each
** file, which otherwise costs as much as everything else the scan does with it. */
static thread_local PosixFind *innermostFind;

/* The folder descriptor and name under which `path` is opened: the innermost open listing and
** the entry's name when the path names an entry of it, else the working folder and the path. */
static int ListedFolder(const char *path, const char **name)
{
    PosixFind *find = innermostFind;
    if (find && strncmp(path, find->folder, find->folderLength) == 0 &&
        path[find->folderLength] && !strchr(path + find->folderLength, '/')) {
        *name = path + find->folderLength;
        return dirfd(find->dir);
    }
    *name = path;
    return AT_FDCWD;
}

static void SetName(FindRecord *record, const char *name, size_t length)
{
    memcpy(record->name, name, length + 1);
}

/* The entry's attributes. readdir's type saves a look at every file; folders are looked at,
** because a folder on another file system is a mount point, which, as a volume mount point
** on Windows, carries AttrReparsePoint: the walk then never wanders from one fixed drive into
** another (or into /proc). Returns 0 when the entry vanished meanwhile. */
static int EntryAttributes(PosixFind *find, const struct dirent *entry, uint32_t *attributes)
{
    const char *name = entry->d_name;
    int folder = dirfd(find->dir);
    struct stat st, target;
    if (entry->d_type == DT_REG) {
        memset(&st, 0, sizeof st);
        st.st_mode = S_IFREG | S_IWUSR;        /* read-only is not looked up for a listing */
        *attributes = AttributesOf(name, &st, 0);
        return 1;
    }
    if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return 0;
        /* A folder we may list but not search: the entry's type is all there is. */
        memset(&st, 0, sizeof st);
        st.st_mode = entry->d_type == DT_DIR   ? (S_IFDIR | 0700)
                     : entry->d_type == DT_LNK ? (S_IFLNK | 0700)
                                               : (S_IFREG | 0600);
        st.st_dev = find->device;
    }
    int named = S_ISLNK(st.st_mode) && fstatat(folder, name, &target, 0) == 0;
    *attributes = AttributesOf(name, &st, named ? &target : 0);
    if (S_ISDIR(st.st_mode) && st.st_dev != find->device) *attributes |= AttrReparsePoint;
    return 1;
}

static int NextEntry(PosixFind *find, FindRecord *record)
{
    if (find->synthetic < 2) {
        find->synthetic++;
        record->attributes = AttrDirectory;
        SetName(record, find->synthetic == 1 ? "." : "..", (size_t)find->synthetic);
        return 1;
    }
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(find->dir);
        if (!entry) return 0;
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        size_t length = strlen(name);
        if (length >= sizeof record->name) continue;           /* cannot be named to us */
        if (!EntryAttributes(find, entry, &record->attributes)) continue;
        SetName(record, name, length);
        return 1;
    }
}

/* The pattern's last component ("*.*") only says "everything": it is cut off and the folder
** before it is listed whole. */
static FindHandle PosixFindFirst(const char *pattern, FindRecord *record)
{
    PosixFind *find = (PosixFind *)malloc(sizeof *find);
    if (!find) return InvalidFindHandle;
    /* The folder keeps its separator: "/a/b/" for the pattern "/a/b/" followed by "*.*", "/"
    ** in the root folder, and "" (the working folder) for a pattern without a folder. */
    const char *slash = strrchr(pattern, '/');
    size_t length = slash ? (size_t)(slash - pattern) + 1 : 0;
    if (length >= sizeof find->folder) {
        free(find);
        return InvalidFindHandle;
    }
    memcpy(find->folder, pattern, length);
    find->folder[length] = 0;
    find->folderLength = length;
    find->dir = opendir(length ? find->folder : ".");
    find->synthetic = 0;
    struct stat st;
    if (!find->dir || fstat(dirfd(find->dir), &st) != 0) {
        if (find->dir) closedir(find->dir);
        free(find);
        return InvalidFindHandle;
    }
    find->device = st.st_dev;
    find->outer = innermostFind;
    innermostFind = find;
    NextEntry(find, record);
    return (FindHandle)find;
}

static int PosixFindNext(FindHandle handle, FindRecord *record)
{
    return NextEntry((PosixFind *)handle, record);
}

static int PosixFindClose(FindHandle handle)
{
    PosixFind *find = (PosixFind *)handle;
    /* Listings normally end innermost first; any other order only unlinks this one. */
    for (PosixFind **link = &innermostFind; *link; link = &(*link)->outer) {
        if (*link == find) {
            *link = find->outer;
            break;
        }
    }
    int ok = closedir(find->dir) == 0;
    free(find);
    return ok;
}

/* File system types that live elsewhere on a network, never a fixed drive. */
static int IsNetworkType(const char *type)
{
    static const char *const network[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs",
                                          "9p", "afs", "ceph", "glusterfs", "lustre",
                                          "fuse.sshfs", "sshfs", "fuse.glusterfs", "davfs",
                                          "fuse.davfs2", "fuse.s3fs", "fuse.rclone"};
    for (size_t i = 0; i < sizeof network / sizeof network[0]; i++)
        if (strcmp(type, network[i]) == 0) return 1;
    return 0;
}

/* Non-zero when `path` is `folder` or lies below it. */
static int IsBelow(const char *path, const char *folder)
{
    size_t length = strlen(folder);
    return strncmp(path, folder, length) == 0 && (path[length] == 0 || path[length] == '/');
}

/* The fixed drives of a mount table in the /proc/self/mounts layout: the mount points of file
** systems on local block devices, in mount order, each once, each with a trailing '/'. The
** pseudo file systems below /proc, /sys and /dev never count, nor do network file systems or
** mount points that are not folders (a file bound over another). Kept apart from the table's
** entry so that tests can hand it a forged mount table. */
uint32_t PosixFixedDrivesFrom(const char *mountTable, char (*roots)[MaxRootPath], uint32_t max)
{
    FILE *mounts = setmntent(mountTable, "r");
    if (!mounts) return 0;
    uint32_t count = 0;
    struct mntent entry;
    char strings[3 * 4096];
    while (count < max && getmntent_r(mounts, &entry, strings, sizeof strings)) {
        const char *device = entry.mnt_fsname, *dir = entry.mnt_dir;
        if (strncmp(device, "/dev/", 5) != 0 || IsNetworkType(entry.mnt_type)) continue;
        if (dir[0] != '/' || IsBelow(dir, "/proc") || IsBelow(dir, "/sys") ||
            IsBelow(dir, "/dev"))
            continue;
        struct stat st;
        if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        char root[MaxRootPath];
        size_t length = strlen(dir);
        int slash = dir[length - 1] != '/';
        if (length + slash >= sizeof root) continue;
        memcpy(root, dir, length);
        if (slash) root[length++] = '/';
        root[length] = 0;
        int seen = 0;
        for (uint32_t i = 0; i < count && !seen; i++) seen = strcmp(roots[i], root) == 0;
        if (seen) continue;
        memcpy(roots[count++], root, length + 1);
    }
    endmntent(mounts);
    return count;
}

static uint32_t PosixFixedDrives(char (*roots)[MaxRootPath], uint32_t max)
{
    return PosixFixedDrivesFrom("/proc/self/mounts", roots, max);
}

/* ---- registry: there is none ----------------------------------------------------------- */

static void *PosixRegOpenRunKey(void)
{
    return 0;
}

static int PosixRegValueCount(void *, uint32_t *)
{
    return 0;
}

static int PosixRegEnumValue(void *, uint32_t, char *, uint32_t *)
{
    return 0;
}

static int PosixRegDeleteValue(void *, const char *)
{
    return 0;
}

static void PosixRegCloseKey(void *) {}

/* ---- threads --------------------------------------------------------------------------- */

struct ThreadStart {
    uint32_t (*proc)(void *);
    void *parameter;
};

static void *ThreadTrampoline(void *argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    free(argument);
    start.proc(start.parameter);
    return 0;
}

static int PosixStartThread(uint32_t (*proc)(void *), void *parameter)
{
    ThreadStart *start = (ThreadStart *)malloc(sizeof *start);
    if (!start) return 0;
    start->proc = proc;
    start->parameter = parameter;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        free(start);
        return 0;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int ok = pthread_create(&thread, &attributes, ThreadTrampoline, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!ok) free(start);
    return ok;
}

/* ---- the table ------------------------------------------------------------------------- */

const PlatformOps PlatformDefaults = {
    .openFile          = PosixOpenFile,
    .readFile          = PosixReadFile,
    .seekFile          = PosixSeekFile,
    .closeFile         = PosixCloseFile,
    .memAlloc          = PosixMemAlloc,
    .memFree           = PosixMemFree,
    .getFileAttributes = PosixGetFileAttributes,
    .setFileAttributes = PosixSetFileAttributes,
    .copyFile          = PosixCopyFile,
    .deleteFile        = PosixDeleteFile,
    .moveFile          = PosixMoveFile,
    .getVersion        = PosixGetVersion,
    .moveFileAtRestart = PosixMoveFileAtRestart,
    .windowsFolder     = PosixWindowsFolder,
    .writeWholeFile    = PosixWriteWholeFile,
    .shortPath         = PosixShortPath,
    .replaceFile       = PosixReplaceFile,
    .findFirst         = PosixFindFirst,
    .findNext          = PosixFindNext,
    .findClose         = PosixFindClose,
    .fixedDrives       = PosixFixedDrives,
    .regOpenRunKey     = PosixRegOpenRunKey,
    .regValueCount     = PosixRegValueCount,
    .regEnumValue      = PosixRegEnumValue,
    .regDeleteValue    = PosixRegDeleteValue,
    .regCloseKey       = PosixRegCloseKey,
    .startThread       = PosixStartThread,
};

