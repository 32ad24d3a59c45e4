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
**   the window in between). A symbolic link is never followed to a file, only to the folder
**   the caller names.
** - Only the file that was detected is changed. Whoever may write in the scanned tree may swap
**   a folder for a link, or a file for another, between the scan of a file and what the
**   workflow then does to it. A path that names an entry of the folder being listed is
**   therefore reached through that open folder, never looked up again from the root; and an
**   entry is changed (attributes, opened for writing, copied, moved, deleted) only while it is
**   still, by device and inode, the file opened for reading under that name during the same
**   entry of the listing. Anything else fails, which sends the file down the workflow's route
**   for a file that cannot be opened for writing or deleted.
** - Restart-time work, the Windows folder and the registry do not exist here: those entries
**   answer failure.
*/
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "platform/readahead_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
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
    uint32_t headBytes;     /* how many of the file's first bytes were fetched ahead */
    uint8_t head[];         /* those bytes: reads that lie inside them are served from here */
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

/* Where an operation on a path takes place: in the innermost open listing, by the entry's name,
** when the path names one of its entries (`find` is that listing); otherwise by the whole path
** from the working folder (`find` null). */
struct Place {
    int folder;
    const char *name;
    struct PosixFind *find;
};

static Place PlaceOf(const char *path);
static void Pin(const Place &place, const struct stat *st);
static int StillDetected(const Place &place, const struct stat *st);

static int ListedAsRegular(const Place &place);

/* Opens the existing regular file at `place` with `flags` (O_RDONLY or O_RDWR); -1 on any
** failure, a link included, and a read-only file for writing. With `change`, the file must
** still be the one detected there. `after` receives what was opened. */
static int OpenEntry(const Place &place, int flags, int change, struct stat *after)
{
    /* Looked at first so that a device is never opened at all (opening some has effects),
    ** unless the listing has just said "regular file": a plain name cannot turn into a device
    ** after the listing or the look without the right to make device nodes (a device node
    ** cannot be linked in from elsewhere either: /dev is another file system, and a hard link
    ** to a special file is refused to whoever does not own it). O_NOFOLLOW refuses a link put
    ** in its place, and a FIFO put there opens without blocking; the check after the open
    ** refuses both. Looking first at every listed file would cost a tenth of a warm scan. A
    ** change always looks first. */
    int looked = change || !ListedAsRegular(place);
    if (looked) {
        if (fstatat(place.folder, place.name, after, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (!S_ISREG(after->st_mode) || (change && !StillDetected(place, after))) return -1;
        /* Read-only is refused as on Windows, even to root (whom the mode would not stop). */
        if ((flags & O_ACCMODE) == O_RDWR && !(after->st_mode & S_IWUSR)) return -1;
    }
    int fd = openat(place.folder, place.name,
                    flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (looked && (st.st_dev != after->st_dev || st.st_ino != after->st_ino))) {
        close(fd);
        return -1;
    }
    *after = st;
    return fd;
}

static int TakeAhead(const Place &place, struct stat *st, const uint8_t **head, uint32_t *got);
static void DropEntrySlot(struct PosixFind *find);

/* Opening for reading is what the detector does: the file opened becomes the one detected under
** its name. Opening for writing is a change, allowed only to that file. */
static FileHandle PosixOpenFile(const char *path, int write)
{
    struct stat st;
    Place place = PlaceOf(path);
    const uint8_t *head = 0;
    uint32_t headBytes = 0;
    int fd = write ? -1 : TakeAhead(place, &st, &head, &headBytes);
    if (fd < 0) fd = OpenEntry(place, write ? O_RDWR : O_RDONLY, write, &st);
    if (fd < 0) return InvalidFileHandle;
    PosixFile *file = (PosixFile *)malloc(sizeof *file + headBytes);
    if (!file) {
        close(fd);
        return InvalidFileHandle;
    }
    file->headBytes = headBytes;
    if (head) {
        memcpy(file->head, head, headBytes);
        DropEntrySlot(place.find);
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
    if (!write) Pin(place, &st);
    return (FileHandle)file;
}

static uint32_t PosixReadFile(FileHandle handle, void *buffer, uint32_t count)
{
    PosixFile *file = FileOf(handle);
    uint32_t done = 0;
    /* Nothing is read that would carry the position past what a 32-bit offset can name. */
    if (count > 0xFFFFFFFEu - file->position) count = 0xFFFFFFFEu - file->position;
    if (count <= file->headBytes && file->position <= file->headBytes - count) {
        memcpy(buffer, file->head + file->position, count);
        file->position += count;
        return count;
    }
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
    Place place = PlaceOf(path);
    if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return InvalidFileAttributes;
    int named = S_ISLNK(st.st_mode) && fstatat(place.folder, place.name, &target, 0) == 0;
    return AttributesOf(LastComponent(path), &st, named ? &target : 0);
}

/* Only the read-only bit has a POSIX meaning: it takes away every write bit, and its absence
** gives the owner write permission back. Set through a descriptor of the file itself, so that
** the mode lands on the file that was checked (a link is refused). */
static int PosixSetFileAttributes(const char *path, uint32_t attributes)
{
    struct stat st;
    int fd = OpenEntry(PlaceOf(path), O_RDONLY, 1, &st);
    if (fd < 0) return 0;
    mode_t mode = st.st_mode & 07777;
    if (attributes & AttrReadOnly)
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    int ok = fchmod(fd, mode) == 0;
    close(fd);
    return ok;
}

/* Copies whoever holds the source, as CopyFileA does for a file open with FILE_SHARE_READ.
** The source must be the file detected; the copy, made here, counts as detected under its own
** name until it is opened for reading. */
static int PosixCopyFile(const char *from, const char *to)
{
    struct stat st, made;
    int in = OpenEntry(PlaceOf(from), O_RDONLY, 1, &st);
    if (in < 0) return 0;
    Place target = PlaceOf(to);
    int out = openat(target.folder, target.name,
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
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
    if (fstat(out, &made) != 0) ok = 0;
    if (close(out) != 0) ok = 0;
    close(in);
    if (ok) {
        Pin(target, &made);
    } else {
        /* Ours, made with O_EXCL above, unless someone has put another file in its place. */
        struct stat now;
        if (fstatat(target.folder, target.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == made.st_dev && now.st_ino == made.st_ino)
            unlinkat(target.folder, target.name, 0);
    }
    return ok;
}

/* Non-zero when `st` is a regular file that a handle holds (a link itself is never held). */
static int IsHeld(const struct stat *st)
{
    return S_ISREG(st->st_mode) && Held(st->st_dev, st->st_ino, 1);
}

/* Refuses what DeleteFileA refuses: a folder, a read-only file, a file some handle holds; and,
** in a listing, anything but the file detected under that name. What stands between the check
** and the unlink can only be another entry of the same open folder, which whoever swapped it in
** could delete himself. */
static int PosixDeleteFile(const char *path)
{
    struct stat st;
    Place place = PlaceOf(path);
    if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
        return 0;
    if (!S_ISLNK(st.st_mode) && (!(st.st_mode & S_IWUSR) || IsHeld(&st))) return 0;
    if (!StillDetected(place, &st)) return 0;
    return unlinkat(place.folder, place.name, 0) == 0;
}

static int PosixMoveFile(const char *from, const char *to)
{
    struct stat st;
    Place source = PlaceOf(from), target = PlaceOf(to);
    if (fstatat(source.folder, source.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (IsHeld(&st) || !StillDetected(source, &st)) return 0;
#ifdef RENAME_NOREPLACE
    if (renameat2(source.folder, source.name, target.folder, target.name, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS) return 0;
#endif
    /* The file system cannot refuse a replacement by itself: look first (a narrow race). */
    struct stat existing;
    if (fstatat(target.folder, target.name, &existing, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT)
        return 0;
    return renameat(source.folder, source.name, target.folder, target.name) == 0;
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
    if (lstat(from, &st) != 0 || !S_ISREG(st.st_mode) || IsHeld(&st)) return 0;
    if (lstat(to, &st) == 0 && (!S_ISREG(st.st_mode) || IsHeld(&st))) return 0;
    return rename(from, to) == 0;
}

/* ---- folder walk ----------------------------------------------------------------------- */

/* A file opened for reading under a name of the listing: the detected file that the name may
** still be changed as. A name no file system allows (NAME_MAX) is never pinned. */
struct PinnedFile {
    dev_t device;
    ino_t inode;
    char name[256];      /* empty: a free slot */
};

/* Pins one entry needs at most: the entry, its copy, and the copy's own copies, which nest only
** while a copy cannot be opened for writing. An older pin pushed out leaves its name
** unchangeable: failing safe. */
#define MaxPins 4

/* Bytes of one read of the folder's entries: readdir's own buffer size. The listing reads its
** entries itself so that read-ahead looks only at entries already read, and the folder is read
** at the same moments with read-ahead as without (what a folder changed during the scan lists
** depends on those moments). */
#define ListingBytes 32768

/* One enumeration: "." and ".." are given first by us (not every file system lists them, and
** Windows always does for a folder), then what readdir gives, without its own "." and "..". */
struct PosixFind {
    int fd;              /* the listed folder */
    dev_t device;        /* the listed folder's file system */
    int synthetic;       /* how many of ".", ".." were given so far */
    PosixFind *outer;    /* the listing this one was opened inside of, on this thread */
    Ahead *ahead;        /* the walk's read-ahead, or null */
    int ownsAhead;       /* this listing opened it (the outermost of the thread) */
    PinnedFile pins[MaxPins];   /* of the current entry only: emptied at every next entry */
    const char *entryName;      /* the current entry, while it is the last one read */
    int entryRegular;           /* the listing said the current entry is a regular file */
    int entrySlot;              /* the current entry's file fetched ahead, or -1 */
    unsigned nextPin;    /* the slot the next new name takes */
    /* Files fetched ahead, in listing order: slot and entry offset in `entries`. */
    int aheadSlot[AheadWindow];
    uint32_t aheadAt[AheadWindow];
    unsigned aheadFirst, aheadCount;
    uint32_t used, filled, looked;   /* next entry to give, bytes read, next entry to fetch */
    size_t folderLength;
    char folder[4096];   /* the listed folder, with its trailing '/' */
    alignas(8) char entries[ListingBytes];
};

/* The innermost listing still open on this thread (a listing is closed on the thread that
** opened it, as the walk does). The walk opens and changes the files it has just listed:
** naming them relative to the open folder keeps every operation in the folder that was listed,
** whatever has been renamed since, and spares a lookup of the whole path for each file, which
** otherwise costs as much as everything else the scan does with it. */
static thread_local PosixFind *innermostFind;

static Place PlaceOf(const char *path)
{
    PosixFind *find = innermostFind;
    if (find && strncmp(path, find->folder, find->folderLength) == 0 &&
        path[find->folderLength] && !strchr(path + find->folderLength, '/'))
        return {find->fd, path + find->folderLength, find};
    return {AT_FDCWD, path, 0};
}

/* The current entry's file as fetched ahead, when `place` names it and it is still the file
** under that name: its descriptor, its status in `st` and its first `*got` bytes at `*head`
** (until the next entry). -1 otherwise, and then the file is opened as it would be without
** read-ahead. The file may have been fetched well before the scan came to it: only a name that
** still leads to the same inode makes it the file the scan would open now. */
static int TakeAhead(const Place &place, struct stat *st, const uint8_t **head, uint32_t *got)
{
    PosixFind *find = place.find;
    if (!find || find->entrySlot < 0 || !find->entryName ||
        strcmp(find->entryName, place.name) != 0)
        return -1;
    int fd = AheadTake(find->ahead, find->entrySlot, st, head, got);
    struct stat now;
    if (fd >= 0 && (fstatat(place.folder, place.name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                    now.st_dev != st->st_dev || now.st_ino != st->st_ino)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        *head = 0;     /* the bytes of a file that is not the one opened now */
        *got = 0;
        DropEntrySlot(find);
    }
    return fd;
}

/* Non-zero when `place` is the current entry of its listing and the listing found it to be a
** regular file. */
static int ListedAsRegular(const Place &place)
{
    return place.find && place.find->entryRegular && place.find->entryName &&
           strcmp(place.find->entryName, place.name) == 0;
}

static PinnedFile *PinOf(PosixFind *find, const char *name)
{
    for (PinnedFile &pin : find->pins)
        if (pin.name[0] && strcmp(pin.name, name) == 0) return &pin;
    return 0;
}

/* Records `st` as the file detected under the place's name (nothing outside a listing). */
static void Pin(const Place &place, const struct stat *st)
{
    size_t length = strlen(place.name);
    if (!place.find || length >= sizeof place.find->pins[0].name) return;
    PinnedFile *pin = PinOf(place.find, place.name);
    if (!pin) {
        pin = &place.find->pins[place.find->nextPin++ % MaxPins];
        memcpy(pin->name, place.name, length + 1);
    }
    pin->device = st->st_dev;
    pin->inode = st->st_ino;
}

/* Non-zero when the entry at `place`, as `st` shows it now, is the file detected there. A path
** outside any listing is the caller's own choice, with nothing detected to compare it with. */
static int StillDetected(const Place &place, const struct stat *st)
{
    if (!place.find) return 1;
    PinnedFile *pin = PinOf(place.find, place.name);
    return pin && pin->device == st->st_dev && pin->inode == st->st_ino;
}

static void SetName(FindRecord *record, const char *name, size_t length)
{
    memcpy(record->name, name, length + 1);
}

/* The entry's attributes and reparse tag. readdir's type saves a look at every file; folders
** are looked at, because a folder on another file system is a mount point, which, as a volume
** mount point on Windows, carries AttrReparsePoint: the walk then never wanders from one fixed
** drive into another (or into /proc). A symbolic link carries the tag of a Windows one.
** Returns 0 when the entry vanished meanwhile. */
static int EntryAttributes(PosixFind *find, const struct dirent64 *entry, FindRecord *record)
{
    const char *name = entry->d_name;
    int folder = find->fd;
    struct stat st, target;
    record->reparseTag = 0;
    if (entry->d_type == DT_REG) {
        memset(&st, 0, sizeof st);
        st.st_mode = S_IFREG | S_IWUSR;        /* read-only is not looked up for a listing */
        record->attributes = AttributesOf(name, &st, 0);
        find->entryRegular = 1;
        return 1;
    }
    int looked = fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!looked) {
        if (errno == ENOENT) return 0;
        /* A folder we may list but not search: the entry's type is all there is. */
        memset(&st, 0, sizeof st);
        st.st_mode = entry->d_type == DT_DIR   ? (S_IFDIR | 0700)
                     : entry->d_type == DT_LNK ? (S_IFLNK | 0700)
                                               : (S_IFREG | 0600);
        st.st_dev = find->device;
    }
    int named = S_ISLNK(st.st_mode) && fstatat(folder, name, &target, 0) == 0;
    record->attributes = AttributesOf(name, &st, named ? &target : 0);
    find->entryRegular = looked && S_ISREG(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
        record->reparseTag = ReparseTagSymlink;
    } else if (S_ISDIR(st.st_mode) && st.st_dev != find->device) {
        record->attributes |= AttrReparsePoint;
        record->reparseTag = ReparseTagMountPoint;
    }
    return 1;
}

/* The entry at `offset` of what was read of the folder. */
static const struct dirent64 *EntryAt(PosixFind *find, uint32_t offset)
{
    return (const struct dirent64 *)(find->entries + offset);
}

static int IsDots(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

/* Gives the current entry's file fetched ahead back, if the scan did not take it. */
static void DropEntrySlot(PosixFind *find)
{
    if (find->entrySlot >= 0) AheadDrop(find->ahead, find->entrySlot);
    find->entrySlot = -1;
}

/* Gives back every file the listing has fetched ahead and fetches no more. */
static void StopAhead(PosixFind *find)
{
    if (!find->ahead) return;
    DropEntrySlot(find);
    for (; find->aheadCount; find->aheadCount--) {
        AheadDrop(find->ahead, find->aheadSlot[find->aheadFirst]);
        find->aheadFirst = (find->aheadFirst + 1) % AheadWindow;
    }
    if (!find->ownsAhead) find->ahead = 0;
}

/* Starts fetching the regular files (and the inodes of the folders) among the entries read
** but not yet given, up to the window read-ahead allows now and as long as the walk has free
** slots. Nothing more of the folder is read for it. Fetching starts again only when half the
** window is used, so that requests go to the kernel in batches. */
static void FetchAhead(PosixFind *find)
{
    if (!find->ahead) return;
    unsigned window = AheadWanted(find->ahead);
    if (window && find->aheadCount <= window / 2) {
        while (find->looked < find->filled && find->aheadCount < window) {
            const struct dirent64 *entry = EntryAt(find, find->looked);
            const char *name = entry->d_name;
            int folder = entry->d_type == DT_DIR && !IsDots(name);
            if (entry->d_type == DT_REG || folder) {
                int slot = AheadEntry(find->ahead, find->fd, name, folder);
                if (slot < 0) break;
                if (!folder) {
                    unsigned last = (find->aheadFirst + find->aheadCount++) % AheadWindow;
                    find->aheadSlot[last] = slot;
                    find->aheadAt[last] = find->looked;
                }
            }
            find->looked += entry->d_reclen;
        }
    }
    AheadPoll(find->ahead);
}

/* The next entry of the folder as read, reading more of it when all was given; null at the
** end or on an error. The entry's file fetched ahead, if any, becomes the entry's slot. */
static const struct dirent64 *ReadEntry(PosixFind *find)
{
    if (find->used >= find->filled) {
        ssize_t got = getdents64(find->fd, find->entries, sizeof find->entries);
        if (got <= 0) return 0;
        find->filled = (uint32_t)got;
        find->used = find->looked = 0;
    }
    FetchAhead(find);   /* this entry included, when it is the first of what was read */
    uint32_t at = find->used;
    const struct dirent64 *entry = EntryAt(find, at);
    find->used += entry->d_reclen;
    if (find->looked < find->used) find->looked = find->used;
    /* Files are fetched in listing order, so this entry's, if any, is the first. */
    if (find->aheadCount && find->aheadAt[find->aheadFirst] == at) {
        find->entrySlot = find->aheadSlot[find->aheadFirst];
        find->aheadFirst = (find->aheadFirst + 1) % AheadWindow;
        find->aheadCount--;
    }
    return entry;
}

static int NextEntry(PosixFind *find, FindRecord *record)
{
    for (PinnedFile &pin : find->pins) pin.name[0] = 0;
    find->entryName = 0;
    find->entryRegular = 0;
    DropEntrySlot(find);
    if (find->synthetic < 2) {
        find->synthetic++;
        record->attributes = AttrDirectory;
        record->reparseTag = 0;
        SetName(record, find->synthetic == 1 ? "." : "..", (size_t)find->synthetic);
        return 1;
    }
    for (;;) {
        const struct dirent64 *entry = ReadEntry(find);
        if (!entry) return 0;
        const char *name = entry->d_name;
        size_t length = strlen(name);
        if (IsDots(name) || length >= sizeof record->name ||     /* cannot be named to us */
            !EntryAttributes(find, entry, record)) {
            DropEntrySlot(find);
            continue;
        }
        SetName(record, name, length);
        find->entryName = name;      /* ours, untouched until the folder is read further */
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
    find->synthetic = 0;
    find->nextPin = 0;
    find->entryName = 0;
    find->entryRegular = 0;
    find->entrySlot = -1;
    find->aheadFirst = find->aheadCount = 0;
    find->used = find->filled = find->looked = 0;
    /* A folder of the listing being walked is opened through that listing and never through a
    ** link: one put in the folder's place since it was listed would lead the walk elsewhere. */
    int fd;
    struct stat st;
    if (length > 1) {
        find->folder[length - 1] = 0;   /* "sub/" would follow a link where "sub" does not */
        Place place = PlaceOf(find->folder);
        fd = openat(place.folder, place.name,
                    O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC | (place.find ? O_NOFOLLOW : 0));
        find->folder[length - 1] = '/';
        if (fd >= 0 && place.find && (fstat(fd, &st) != 0 || st.st_dev != place.find->device)) {
            close(fd);
            fd = -1;
        }
    } else {
        fd = open(length ? find->folder : ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    }
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        free(find);
        return InvalidFindHandle;
    }
    find->fd = fd;
    find->device = st.st_dev;
    find->outer = innermostFind;
    /* One ring per walk: the outermost listing of the thread opens it, inner ones share it. */
    find->ahead = find->outer ? find->outer->ahead : AheadOpen();
    find->ownsAhead = !find->outer && find->ahead;
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
    StopAhead(find);
    if (find->ownsAhead) {
        /* Closed before listings inside it (never by the walk): those go on without. */
        for (PosixFind *inner = innermostFind; inner; inner = inner->outer)
            if (inner->ahead == find->ahead) StopAhead(inner);
        AheadClose(find->ahead);
    }
    int ok = close(find->fd) == 0;
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

/* ---- the console ----------------------------------------------------------------------- */

static uint32_t PosixMilliseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

static int PosixErrorIsTerminal(void)
{
    return isatty(2);
}

static void (*interruptHandler)(void);   /* set once, before the scan starts */

static void OnSignal(int)
{
    interruptHandler();
}

static void PosixOnInterrupt(void (*handler)(void))
{
    interruptHandler = handler;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    /* A stop must not fail the write or wait in progress: it is looked at between files. */
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    signal(SIGPIPE, SIG_IGN);
}

static int PosixHostName(char *out, uint32_t size)
{
    if (size == 0)
        return 0;
    if (gethostname(out, size) != 0) {
        out[0] = 0;
        return 0;
    }
    out[size - 1] = 0;
    return 1;
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
    .milliseconds      = PosixMilliseconds,
    .errorIsTerminal   = PosixErrorIsTerminal,
    .onInterrupt       = PosixOnInterrupt,
    .hostName          = PosixHostName,
};

