/*
** The POSIX backend, files: handles under the share rule, and every change to a file.
**
** The core was written against Win32; this part gives it the same promises over ordinary
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
** - Hard links. A file with more than one name never has its mode or contents changed, which
**   would change them under its other names too, perhaps outside the tree; only a name of it
**   is removed (read-only or not).
** - Nothing but regular files is ever opened, and the open itself cannot block: a FIFO, a
**   socket or a device is refused before the open (O_NONBLOCK, O_NOCTTY and O_NOFOLLOW cover
**   the window in between). A symbolic link is never followed to a file, only to the folder
**   the caller names.
** - Only the file that was detected is changed. Whoever may write in the scanned tree may swap
**   a folder for a link, or a file for another, between the scan of a file and what the
**   workflow then does to it. With an entry in hand (InHand) every name is reached through
**   the entry's open folder, never looked up again from the root, and a change acts only while
**   the name still leads, by device and inode, to the file identified as that entry (from the
**   handle that read it).
**   Anything else fails, which sends the file down the workflow's route for a file that cannot
**   be opened for writing or deleted.
*/
#include "platform/platform.h"
#include "platform/posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

/* ---- handles and the share rule -------------------------------------------------------- */

/* A handle is the descriptor and our own file position: reads are positioned (pread), so a
** seek is arithmetic and costs no system call. The position is kept below 2^32 - 1, as a
** 32-bit SetFilePointer without a high part would keep it. */
struct PosixFile {
    int fd;                 /* first, so that tests may write through a handle */
    uint32_t position;
    dev_t device;           /* the file's identity and the handle's access, for the share rule */
    ino_t inode;
    int known;              /* the identity above has been asked (see Known) */
    int write;
    int entry;              /* opened for reading as the entry in hand */
    PosixFile *next;        /* the next open handle */
    int recordOpen;         /* the log: a record is under way, its lock held (PosixAppendLog) */
    int recordFailed;       /* the log: a piece of the record in hand fell short */
    off_t recordStart;      /* the log: where the record in hand began, to cut it back to */
    uint32_t probed;        /* bytes in `probe`: the file's first ones, read by Probe */
    uint8_t probe[64];
};

static PosixFile *FileOf(FileHandle file) { return (PosixFile *)file; }

/* The handles open in this process, for the share rule: a list guarded by its lock. */
static struct {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    PosixFile *first;
} Holders;

/* Non-zero once the identity of `file` is known: a handle of a listed regular file is opened
** without asking it (a status call per file is a tenth of a warm scan), and it is asked when
** the share rule or a change first needs it. The descriptor is open, so the answer is the file
** opened, whatever its name leads to by then. */
static int Known(PosixFile *file)
{
    struct stat st;
    if (!file->known && KnownFacts(file->fd, "", &st) && S_ISREG(st.st_mode)) {
        file->device = st.st_dev;
        file->inode = st.st_ino;
        file->known = 1;
    }
    return file->known;
}

/* Non-zero when a listed handle holds the file in a way that conflicts with a new handle:
** with any handle when `write` is set, else with a handle open for writing. A handle whose
** identity cannot be had holds everything it could conflict with. */
static int HeldLocked(dev_t device, ino_t inode, int write)
{
    for (PosixFile *h = Holders.first; h; h = h->next)
        if ((write || h->write) && (!Known(h) || (h->device == device && h->inode == inode)))
            return 1;
    return 0;
}

/* Non-zero when a handle open for writing is listed. */
static int WriterListedLocked(void)
{
    for (PosixFile *h = Holders.first; h; h = h->next)
        if (h->write) return 1;
    return 0;
}

/* Non-zero when `st` is a regular file that a handle holds (a link itself is never held). */
static int IsHeld(const struct stat *st)
{
    if (!S_ISREG(st->st_mode)) return 0;
    pthread_mutex_lock(&Holders.lock);
    int held = HeldLocked(st->st_dev, st->st_ino, 1);
    pthread_mutex_unlock(&Holders.lock);
    return held;
}

/* ---- where a path leads ---------------------------------------------------------------- */

/* Every open here goes through SafeOpenIn (posix_safe.cpp), which has read-ahead give its
** descriptors back when the process has none left. */
#define OpenIn SafeOpenIn

/* Where an operation on a path takes place: with an entry in hand, the name in the entry's
** open folder (`inHand` set); otherwise the whole path from the working folder. */
struct Place {
    int folder;
    const char *name;
    int inHand;
};

/* 0 when an entry is in hand and the path does not lie in its folder: nothing is looked up. */
static int Locate(const char *path, Place *place)
{
    if (InHand.listing == InvalidFindHandle) {
        *place = {AT_FDCWD, path, 0};
        return 1;
    }
    const char *name = path + InHand.nameAt;
    if (strncmp(path, InHand.path, InHand.nameAt) != 0 || !*name || strchr(name, '/'))
        return 0;
    *place = {ListingFolder(InHand.listing), name, 1};
    return 1;
}

/* Non-zero when `st` is the file opened for reading as the entry in hand, or when no entry is
** in hand (a path of the caller's own choosing, with nothing detected to compare it with). */
static int StillInHand(const Place &place, const struct stat *st)
{
    return !place.inHand || (InHand.opened && InHand.volume == (uint64_t)st->st_dev &&
                             InHand.index == (uint64_t)st->st_ino);
}

/* Opens the existing regular file at `place` with `flags` (O_RDONLY or O_RDWR); -1 on any
** failure, a link included, and a read-only file for writing. With `change`, the file must
** still be the entry in hand. `after` receives what was opened, unless `*asked` comes back 0:
** a file the listing has just called regular, opened for reading, is not asked about. */
static int OpenAt(const Place &place, int flags, int change, struct stat *after,
                  int *asked = nullptr)
{
    /* Looked at first so that a device is never opened at all (opening some has effects),
    ** unless the listing has just said "regular file": a plain name cannot turn into a device
    ** after the listing or the look without the right to make device nodes (a device node
    ** cannot be linked in from elsewhere either: /dev is another file system, and a hard link
    ** to a special file is refused to whoever does not own it). O_NOFOLLOW refuses a link put
    ** in its place, and a FIFO or a folder put there opens without blocking: the check after
    ** the open refuses both, or, for a listed file, the read of its first bytes (Probe) does,
    ** which the scan makes anyway: a status call per file would cost a tenth of a warm scan.
    ** Who the file is then is asked from the descriptor when the share rule or a change needs
    ** it (Known, PosixIdentifyFile). A change always looks first. */
    int looked = change || !place.inHand || !InHand.listed || !ListingSaysRegular(InHand.listing);
    if (asked) *asked = 1;
    if (looked) {
        if (fstatat(place.folder, place.name, after, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (!S_ISREG(after->st_mode) || (change && !StillInHand(place, after))) return -1;
        /* Read-only is refused as on Windows, even to root (whom the mode would not stop). */
        if ((flags & O_ACCMODE) == O_RDWR && !(after->st_mode & S_IWUSR)) return -1;
    }
    int writing = (flags & O_ACCMODE) == O_RDWR;
    if (writing && looked && after->st_nlink > 1) return -1;
    int fd = OpenIn(place.folder, place.name,
                    flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!looked && asked) {
        *asked = 0;
        return fd;
    }
    /* A change is made only to what the file is now: it is asked afresh. */
    struct stat st;
    if (!(change ? fstat(fd, &st) == 0 : KnownFacts(fd, "", &st)) || !S_ISREG(st.st_mode) ||
        (writing && st.st_nlink > 1) ||
        (looked && (st.st_dev != after->st_dev || st.st_ino != after->st_ino))) {
        close(fd);
        return -1;
    }
    *after = st;
    return fd;
}

/* ---- handles --------------------------------------------------------------------------- */

/* The open `fd` of the file `st` (null: not asked yet, for reading only) as a handle, listed
** under the share rule; the descriptor is closed when the share rule refuses it or memory is
** short. */
static FileHandle Hold(int fd, const struct stat *st, int write)
{
    PosixFile *file = (PosixFile *)malloc(sizeof *file);
    if (!file) {
        close(fd);
        return InvalidFileHandle;
    }
    file->fd = fd;
    file->position = 0;
    file->known = st != nullptr;
    file->device = st ? st->st_dev : 0;
    file->inode = st ? st->st_ino : 0;
    file->write = write != 0;
    file->entry = 0;
    file->recordOpen = 0;
    file->recordFailed = 0;
    file->recordStart = 0;
    file->probed = 0;
    pthread_mutex_lock(&Holders.lock);
    /* A reader conflicts with writers only: while none is open, who it is can wait. */
    int held = (file->write || WriterListedLocked()) &&
               (!Known(file) || HeldLocked(file->device, file->inode, file->write));
    if (!held) {
        file->next = Holders.first;
        Holders.first = file;
    }
    pthread_mutex_unlock(&Holders.lock);
    if (held) {
        close(fd);
        free(file);
        return InvalidFileHandle;
    }
    return (FileHandle)file;
}

/* Records why an open failed (`code`, an errno value) in InHand.failure. */
static FileHandle FailedOpen(int code)
{
    InHand.failure = code == ENAMETOOLONG                ? FailureTooLong
                     : code == EMFILE || code == ENFILE  ? FailureDescriptors
                     : code == EACCES || code == EPERM   ? FailureDenied
                     : code == EBUSY                     ? FailureInUse
                     : code == EIO                       ? FailureIo
                     : code == ENOENT                    ? FailureGone
                                                         : FailureOther;
    return InvalidFileHandle;
}

/* The first bytes of the file open at `fd`, read into `probe` (size of PosixFile::probe), for
** the first read to take: their number, 0 when the read failed for another cause (the
** caller's read meets it again), or -1 when the descriptor is no regular file after all (a
** FIFO or a folder: pread refuses both, without taking anything from a FIFO). */
static int Probe(int fd, uint8_t *probe)
{
    int failed;
    size_t got = SafeReadAt(fd, probe, sizeof(PosixFile::probe), 0, &failed);
    if (failed && !got) return failed == ESPIPE || failed == EISDIR ? -1 : 0;
    return (int)got;
}

/* Opening the entry in hand for reading is what the detector does: the entry's identity is
** forgotten until PosixIdentifyFile takes it from this handle. Opening for writing is a
** change, allowed only to the file identified. */
FileHandle PosixOpenFile(const char *path, int write)
{
    struct stat st;
    Place place;
    if (!Locate(path, &place)) return FailedOpen(EINVAL);
    if (!write && place.inHand) InHand.opened = 0;
    int fd = -1, asked = 1;
    if (!write && place.inHand && InHand.listed)
        fd = ListingTakeAhead(InHand.listing, place.name, &st);
    errno = 0;
    if (fd < 0) fd = OpenAt(place, write ? O_RDWR : O_RDONLY, write, &st, &asked);
    if (fd < 0) return FailedOpen(errno);
    uint8_t probe[sizeof(PosixFile::probe)];
    int probed = asked ? 0 : Probe(fd, probe);
    if (probed < 0) {
        close(fd);
        return FailedOpen(0);
    }
    FileHandle file = Hold(fd, asked ? &st : nullptr, write);
    if (file == InvalidFileHandle) return FailedOpen(EBUSY);
    FileOf(file)->entry = !write && place.inHand;
    FileOf(file)->probed = (uint32_t)probed;
    memcpy(FileOf(file)->probe, probe, (size_t)probed);
    return file;
}

/* The handle's descriptor is asked, not the name: a name swapped since the read leads
** elsewhere, and every change then fails. */
int PosixIdentifyFile(FileHandle handle)
{
    PosixFile *file = FileOf(handle);
    struct stat st;
    if (!file->entry || InHand.listing == InvalidFindHandle || !KnownFacts(file->fd, "", &st) ||
        !S_ISREG(st.st_mode))
        return 0;
    InHand.opened = 1;
    InHand.volume = (uint64_t)st.st_dev;
    InHand.index = (uint64_t)st.st_ino;
    InHand.links = (uint32_t)st.st_nlink;
    return 1;
}

uint32_t PosixReadFile(FileHandle handle, void *buffer, uint32_t count)
{
    PosixFile *file = FileOf(handle);
    uint32_t done = 0;
    /* Nothing is read that would carry the position past what a 32-bit offset can name. */
    if (count > 0xFFFFFFFEu - file->position) count = 0xFFFFFFFEu - file->position;
    /* Only a read that lies wholly in the first bytes is answered from them: a longer one
    ** asks the kernel for all it wants, from page boundaries as the file has them. */
    if (count <= file->probed && file->position <= file->probed - count) {
        memcpy(buffer, file->probe + file->position, count);
        done = count;
    }
    if (done < count) {
        int failed;
        done += (uint32_t)SafeReadAt(file->fd, (char *)buffer + done, count - done,
                                     (off_t)file->position + done, &failed);
        if (failed) InHand.failure = FailureIo;
    }
    file->position += done;
    return done;
}

/* SetFilePointer without a high part: the new position must fit in 32 bits and never be
** negative; 0xFFFFFFFF (which no position can be) marks a refused move. */
uint32_t PosixSeekFile(FileHandle handle, int32_t distance, uint32_t origin)
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

/* The holes are asked of the file system where it knows them (SEEK_DATA, SEEK_HOLE); where it
** does not (EINVAL), or where it counts the whole file as data, everything is read as data. */
uint32_t PosixReadAt(FileHandle handle, void *buffer, uint32_t count, uint64_t offset, int *hole)
{
    int fd = FileOf(handle)->fd;
    *hole = 0;
    if (offset > (uint64_t)INT64_MAX - count) return 0;
    off_t data = lseek(fd, (off_t)offset, SEEK_DATA);
    uint64_t upTo = data >= 0 ? (uint64_t)data : 0;
    if (data < 0 && errno == ENXIO) {       /* no data from `offset` on: a hole up to the end */
        struct stat st;
        if (fstat(fd, &st) != 0 || (uint64_t)st.st_size <= offset) return 0;
        upTo = (uint64_t)st.st_size;
    }
    if (upTo > offset) {
        *hole = 1;
        return upTo - offset < ReadAtMaxHole ? (uint32_t)(upTo - offset) : ReadAtMaxHole;
    }
    off_t end = data >= 0 ? lseek(fd, (off_t)offset, SEEK_HOLE) : -1;
    if (end > (off_t)offset && (uint64_t)end - offset < count) count = (uint32_t)(end - offset);
    int failed;
    size_t got = SafeReadAt(fd, buffer, count, (off_t)offset, &failed);
    if (failed) InHand.failure = FailureIo;
    return (uint32_t)got;
}

int PosixCloseFile(FileHandle handle)
{
    PosixFile *file = FileOf(handle);
    pthread_mutex_lock(&Holders.lock);
    for (PosixFile **link = &Holders.first; *link; link = &(*link)->next) {
        if (*link == file) {
            *link = file->next;
            break;
        }
    }
    pthread_mutex_unlock(&Holders.lock);
    int ok = close(file->fd) == 0;
    free(file);
    return ok;
}

/* ---- changing files -------------------------------------------------------------------- */

/* The entry name after the last '/'. */
static const char *LastComponent(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

uint32_t PosixGetFileAttributes(const char *path)
{
    struct stat st, target;
    Place place;
    if (!Locate(path, &place) ||
        fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return InvalidFileAttributes;
    int named = S_ISLNK(st.st_mode) && fstatat(place.folder, place.name, &target, 0) == 0;
    return AttributesOf(LastComponent(path), &st, named ? &target : 0);
}

/* Only the read-only bit has a POSIX meaning: it takes away every write bit, and its absence
** gives the owner write permission back. Set through a descriptor of the file itself, so that
** the mode lands on the file that was checked (a link is refused); never on a file with more
** than one name, whose mode is also the mode of its names elsewhere. */
int PosixSetFileAttributes(const char *path, uint32_t attributes)
{
    struct stat st;
    Place place;
    if (!Locate(path, &place)) return 0;
    int fd = OpenAt(place, O_RDONLY, 1, &st);
    if (fd < 0) return 0;
    if (st.st_nlink > 1) {
        close(fd);
        return 0;
    }
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
** The source must be the entry in hand; the copy is made beside it, exclusively. */
int PosixCopyFile(const char *from, const char *to)
{
    struct stat st, made;
    Place source, target;
    if (!Locate(from, &source) || !Locate(to, &target)) return 0;
    int in = OpenAt(source, O_RDONLY, 1, &st);
    if (in < 0) return 0;
    int out = OpenIn(target.folder, target.name,
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return 0;
    }
    char buffer[65536];
    int ok = 1;
    for (off_t at = 0;;) {
        int failed;
        size_t got = SafeReadAt(in, buffer, sizeof buffer, at, &failed);
        if (failed) ok = 0;
        if (failed || got == 0) break;
        at += (off_t)got;
        if (!SafeWriteAll(out, buffer, got)) {
            ok = 0;
            break;
        }
    }
    /* The permission bits travel with the contents, as the attributes do on Windows. */
    if (ok && fchmod(out, st.st_mode & 0777) != 0) ok = 0;
    if (fstat(out, &made) != 0) ok = 0;
    if (close(out) != 0) ok = 0;
    close(in);
    if (!ok) {
        /* Ours, made with O_EXCL above, unless someone has put another file in its place. */
        struct stat now;
        if (fstatat(target.folder, target.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == made.st_dev && now.st_ino == made.st_ino)
            PosixSys.unlinkat(target.folder, target.name, 0);
    }
    return ok;
}

/* Removes the name `place` while it leads to the file `checked`. Whoever may write in the
** folder can exchange two names (RENAME_EXCHANGE) between any look and an unlink by name, so
** the name is first moved aside under one nobody can guess (SafeUniqueName), which nobody else
** renames because nobody else knows it; a name someone has planted all the same is passed by
** for another. What was moved is looked at there, and removed when it is the file checked, or
** given its name back when it is not. A name already gone (another run removed the file) is
** recorded as FailureGone. */
static int UnlinkChecked(const Place &place, const struct stat *checked)
{
    char aside[64];
    struct stat st;
    int moved = 0;
    for (int attempt = 0; !moved && attempt < 8; attempt++) {
        if (!SafeUniqueName(AsidePrefix, AsideSuffix, aside, sizeof aside)) return 0;
        moved = SafeRenameNoReplace(place.folder, place.name, place.folder, aside);
        if (!moved && errno == ENOENT) InHand.failure = FailureGone;
        if (!moved && errno != EEXIST) return 0;
    }
    if (!moved) return 0;
    if (fstatat(place.folder, aside, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == checked->st_dev && st.st_ino == checked->st_ino)
        return PosixSys.unlinkat(place.folder, aside, 0) == 0;
    /* Not the file checked: it gets its name back, never replacing what took the name since. */
    if (!SafeRenameNoReplace(place.folder, aside, place.folder, place.name) &&
        PosixSys.linkat(place.folder, aside, place.folder, place.name, 0) == 0)
        PosixSys.unlinkat(place.folder, aside, 0);
    return 0;
}

/* Refuses what DeleteFileA refuses: a folder, a read-only file, a file some handle holds; and,
** with an entry in hand, anything but that entry's file. What stands between the check and the
** unlink can only be another entry of the same open folder, which whoever swapped it in could
** delete himself. A file with more than one name loses this name even when read-only: its mode
** cannot be reset without reaching its other names, and removing a name changes neither. */
int PosixDeleteFile(const char *path)
{
    struct stat st;
    Place place;
    if (!Locate(path, &place)) return 0;
    if (fstatat(place.folder, place.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) InHand.failure = FailureGone;
        return 0;
    }
    if (S_ISDIR(st.st_mode)) return 0;
    if (!S_ISLNK(st.st_mode) && ((!(st.st_mode & S_IWUSR) && st.st_nlink < 2) || IsHeld(&st)))
        return 0;
    if (!StillInHand(place, &st)) return 0;
    if (!place.inHand) return PosixSys.unlinkat(place.folder, place.name, 0) == 0;
    InHand.links = (uint32_t)st.st_nlink;
    return UnlinkChecked(place, &st);
}

int PosixMoveFile(const char *from, const char *to)
{
    struct stat st;
    Place source, target;
    if (!Locate(from, &source) || !Locate(to, &target)) return 0;
    if (fstatat(source.folder, source.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (IsHeld(&st) || !StillInHand(source, &st)) return 0;
    return SafeRenameNoReplace(source.folder, source.name, target.folder, target.name);
}

/* The kernel keeps the path of every open folder: /proc names it, links resolved, for the
** listing's descriptor. */
int PosixEntryPath(char *out, uint32_t size)
{
    if (InHand.listing == InvalidFindHandle || !InHand.path || size < 2) return 0;
    char link[40];
    snprintf(link, sizeof link, "/proc/self/fd/%d", ListingFolder(InHand.listing));
    ssize_t n = readlink(link, out, size - 1);
    if (n <= 0 || (size_t)n >= size - 1 || out[0] != '/') return 0;
    out[n] = 0;
    static const char Gone[] = " (deleted)";
    if ((size_t)n >= sizeof Gone - 1 && !strcmp(out + n - (sizeof Gone - 1), Gone)) return 0;
    const char *name = InHand.path + InHand.nameAt;
    size_t at = n == 1 ? 0 : (size_t)n, length = strlen(name);
    if (!*name || at + 1 + length >= size) return 0;
    out[at] = '/';
    memcpy(out + at + 1, name, length + 1);
    return 1;
}

int PosixFileIdentity(const char *path, uint64_t *volume, uint64_t *index)
{
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    *volume = (uint64_t)st.st_dev;
    *index = (uint64_t)st.st_ino;
    return 1;
}

int PosixWriteWholeFile(const char *path, const void *data, uint32_t size)
{
    int fd = OpenIn(AT_FDCWD, path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return 0;
    struct stat st;
    int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !IsHeld(&st) &&
             PosixSys.ftruncate(fd, 0) == 0 && SafeWriteAll(fd, data, size);
    if (close(fd) != 0) ok = 0;
    return ok;
}

/* rename() replaces in one step: whoever looks finds the old file or the new one. */
int PosixReplaceFile(const char *from, const char *to)
{
    struct stat st;
    if (lstat(from, &st) != 0 || !S_ISREG(st.st_mode) || IsHeld(&st)) return 0;
    if (lstat(to, &st) == 0 && (!S_ISREG(st.st_mode) || IsHeld(&st))) return 0;
    return rename(from, to) == 0;
}

/* ---- the quarantine's store ----------------------------------------------------------- */

/* The store, held from openStore on: every name in it is reached through this descriptor, so
** swapping the folder's path for a link or another folder changes nothing of what is written.
** Its owner is the running user and nobody else may write in it, so a name inside changes only
** by this process (or another run, which the lock keeps out). */
static int storeFolder = -1;
/* The store's file system keeps no modes (ntfs-3g without "permissions", FAT): what others may
** do there is the mount's, and a copy's mode is what the mount gives every file. */
static int storeModeless;
#define StoredTemporary ".tmp"         /* the suffix of a copy not yet under its name */

/* 1 when the file system of `folder` keeps the modes a file is given, 0 when it answers a chmod
** with no change or refuses it (ntfs-3g without "permissions", FAT), -1 when no file can be
** made there to try. The file tried is a temporary of the program's own, removed again while
** its name is still that file's. Two modes, so that a mount giving every file one of them does
** not pass for one that keeps it. */
static int KeepsModes(int folder)
{
    char made[NAME_MAX + 1];
    int fd = SafeCreateUnique(folder, ".krvmodes", StoredTemporary, 0600, O_RDONLY, made,
                              sizeof made);
    if (fd < 0) return -1;
    struct stat st, there;
    int kept = fchmod(fd, 0400) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0400 &&
               fchmod(fd, 0600) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600;
    if (fstat(fd, &st) == 0 && fstatat(folder, made, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == there.st_dev && st.st_ino == there.st_ino)
        PosixSys.unlinkat(folder, made, 0);
    close(fd);
    return kept;
}

/* The store's `fd` as openStore judges it (see platform.h); `*modeless` is set for a folder
** whose file system keeps no modes, where the mount's owner and mode decide. */
static int JudgeStore(int fd, int *modeless)
{
    struct stat st;
    *modeless = 0;
    if (fstat(fd, &st) != 0) return StoreCannotMake;
    if (!S_ISDIR(st.st_mode)) return StoreNotFolder;
    int cause = st.st_uid != geteuid()              ? StoreNotOwned
              : (st.st_mode & (S_IWGRP | S_IWOTH)) ? StoreOpenToOthers
                                                   : StoreReady;
    int keeps = KeepsModes(fd);
    *modeless = keeps == 0;
    if (cause != StoreReady && keeps == 0) return StoreMountOpen;
    /* Nothing can be tried in a read-only quarantine: its copies are judged as on a mount. */
    if (keeps < 0) *modeless = errno == EROFS;
    return cause;
}

int PosixOpenStore(const char *path, int create, const char *indexName, FileHandle *index,
                   uint64_t *volume, uint64_t *inode)
{
    char name[NAME_MAX + 1];
    int why;
    int parent = SafeOpenParent(path, 1, name, sizeof name, &why);
    if (parent < 0) return why == SafeLinkOnWay ? StoreNotFolder : StoreCannotMake;
    int made = create && PosixSys.mkdirat(parent, name, 0700) == 0;
    if (create && !made && errno != EEXIST) {
        int failed = errno;
        close(parent);
        errno = failed;
        return StoreCannotMake;
    }
    if (made) SafeSync(parent);
    struct stat st;
    int fd = PosixSys.openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK |
                             O_CLOEXEC, 0);
    int failed = errno, modeless = 0;
    int cause = fd < 0 ? (failed == ELOOP || failed == ENOTDIR ? StoreNotFolder : StoreCannotMake)
                       : JudgeStore(fd, &modeless);
    struct stat is;
    int file = -1, fresh = 0, readOnly = 0;
    if (cause == StoreReady) {
        fresh = fstatat(fd, indexName, &is, AT_SYMLINK_NOFOLLOW) != 0;
        file = OpenIn(fd, indexName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                      O_CLOEXEC, 0600);
        /* A quarantine that cannot be written is still read from (a restore). */
        readOnly = file < 0 && !create && !fresh &&
                   (errno == EROFS || errno == EACCES || errno == EPERM);
        if (readOnly)
            file = OpenIn(fd, indexName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                          O_CLOEXEC, 0);
        failed = errno;
        cause = file < 0 ? (failed == ELOOP ? StoreBadIndex : StoreIndexCannot)
              : fstat(file, &is) != 0 || !S_ISREG(is.st_mode) || is.st_nlink != 1 ||
                        is.st_uid != geteuid() ? StoreBadIndex
                                               : StoreReady;
    }
    if (cause != StoreReady) {
        if (file >= 0) close(file);
        /* A refused folder this call made goes again, while its name is still that folder. */
        if (made && fd >= 0 && fstat(fd, &st) == 0 &&
            fstatat(parent, name, &is, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == is.st_dev &&
            st.st_ino == is.st_ino && PosixSys.unlinkat(parent, name, AT_REMOVEDIR) == 0)
            SafeSync(parent);
        if (fd >= 0) close(fd);
        close(parent);
        errno = failed;
        return cause;
    }
    close(parent);
    fstat(fd, &st);
    if (fresh) SafeSync(fd);
    *index = Hold(file, &is, !readOnly);
    if (*index == InvalidFileHandle) {
        close(fd);
        return StoreBadIndex;
    }
    if (storeFolder >= 0) close(storeFolder);
    storeFolder = fd;
    storeModeless = modeless;
    *volume = (uint64_t)st.st_dev;
    *inode = (uint64_t)st.st_ino;
    return readOnly ? StoreReadOnly : StoreReady;
}

int PosixLockStore(int lock)
{
    return SafeLock(storeFolder, lock ? LOCK_EX : LOCK_UN);
}

void PosixCloseStore(void)
{
    if (storeFolder >= 0) close(storeFolder);
    storeFolder = -1;
}

/* Under a name nobody can know in advance (SafeCreateUnique), so nothing planted is met. */
FileHandle PosixCreateStored(const char *prefix, char *made, uint32_t size)
{
    int fd = SafeCreateUnique(storeFolder, prefix, StoredTemporary, 0400, O_RDWR, made, size);
    if (fd < 0) return InvalidFileHandle;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return InvalidFileHandle;
    }
    return Hold(fd, &st, 1);
}

int PosixSweepStore(void (*swept)(const char *name, void *context), void *context)
{
    return storeFolder < 0 ? 0 : SafeSweep(storeFolder, nullptr, StoredTemporary, swept, context);
}

FileHandle PosixOpenStored(const char *name)
{
    int fd = OpenIn(storeFolder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return InvalidFileHandle;
    struct stat st;
    /* On a file system that keeps no modes the mount gives every file its mode: a copy is the
    ** scanner's own when that mode lets no one else write. */
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != geteuid() ||
        (storeModeless ? (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 : (st.st_mode & 07777) != 0400)) {
        close(fd);
        return InvalidFileHandle;
    }
    return Hold(fd, &st, 0);
}

/* Non-zero when `name` in the store is the file `file` holds. */
static int StoredIs(FileHandle file, const char *name)
{
    struct stat st;
    return fstatat(storeFolder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == FileOf(file)->device && st.st_ino == FileOf(file)->inode;
}

int PosixPlaceStored(FileHandle file, const char *from, const char *to)
{
    return SafeSync(FileOf(file)->fd) && StoredIs(file, from) &&
           SafeCommit(storeFolder, from, to) && StoredIs(file, to);
}

int PosixRemoveStored(FileHandle file, const char *name)
{
    return StoredIs(file, name) && PosixSys.unlinkat(storeFolder, name, 0) == 0;
}

uint32_t PosixWriteFile(FileHandle handle, const void *buffer, uint32_t count)
{
    PosixFile *file = FileOf(handle);
    if (count > 0xFFFFFFFEu - file->position) count = 0xFFFFFFFEu - file->position;
    uint32_t done = (uint32_t)SafeWriteAt(file->fd, buffer, count, (off_t)file->position);
    file->position += done;
    return done;
}

uint32_t PosixWriteAt(FileHandle handle, const void *buffer, uint32_t count, uint64_t offset)
{
    if (offset > (uint64_t)INT64_MAX - count) return 0;
    return (uint32_t)SafeWriteAt(FileOf(handle)->fd, buffer, count, (off_t)offset);
}

int PosixTruncateFile(FileHandle handle, uint64_t size)
{
    if (size > (uint64_t)INT64_MAX) return 0;
    int done = SafeTruncate(FileOf(handle)->fd, (off_t)size);
    if (FileOf(handle)->position > size) FileOf(handle)->position = (uint32_t)size;
    return done;
}

int PosixSyncFile(FileHandle handle)
{
    return SafeSync(FileOf(handle)->fd);
}

int PosixFileFacts(FileHandle handle, FileFacts *out)
{
    struct stat st;
    if (fstat(FileOf(handle)->fd, &st) != 0) return 0;
    out->size = (uint64_t)st.st_size;
    out->mode = (uint32_t)st.st_mode;
    out->hasOwner = 1;
    out->owner = (uint32_t)st.st_uid;
    out->group = (uint32_t)st.st_gid;
    out->modified = (int64_t)st.st_mtime;
    out->accessed = (int64_t)st.st_atime;
    out->changed = (int64_t)st.st_ctime;
    return 1;
}

/* ---- the log --------------------------------------------------------------------------- */

/* The folder is reached component by component, no link followed, and the file is opened
** through it, so that the folder checked is the one the file is in. In a folder nobody else may
** write in, the name stays the file opened; in a sticky one of ours or root's, nobody else may
** remove or rename a file of ours. Opened for reading too: the end of a line a run that died
** left half written is looked for (CutBackToLine). */
int PosixOpenLog(const char *path, FileHandle *log)
{
    char name[NAME_MAX + 1];
    int why;
    int dir = SafeOpenParent(path, 1, name, sizeof name, &why);
    if (dir < 0)
        return why == SafeLinkOnWay       ? LogLinkOnWay
             : why == SafeNoDescriptors   ? LogNoDescriptors
                                          : LogCannotOpen;
    struct stat in, st;
    if (fstat(dir, &in) != 0 || !SafeFolderIsOurs(&in)) {
        close(dir);
        return LogFolderOpen;
    }
    int fd = OpenIn(dir, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK |
                    O_NOCTTY | O_CLOEXEC, 0600);
    int openFailed = errno;
    /* Why an open failed, by what is there (the system refuses a link or another user's file in
    ** a sticky folder with EACCES, a FIFO without a reader with ENXIO). */
    int failed = fd < 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    int cause = failed && !S_ISREG(st.st_mode) ? LogNotFile
              : failed && st.st_uid != geteuid() ? LogNotOwned
              : fd < 0 && (openFailed == EMFILE || openFailed == ENFILE) ? LogNoDescriptors
              : fd < 0 ? LogCannotOpen
              : fstat(fd, &st) != 0 ? LogCannotOpen
              : !S_ISREG(st.st_mode) || st.st_nlink != 1 ? LogNotFile
              : st.st_uid != geteuid() ? LogNotOwned : LogReady;
    close(dir);
    if (cause != LogReady) {
        if (fd >= 0) close(fd);
        return cause;
    }
    *log = Hold(fd, &st, 1);
    return *log == InvalidFileHandle ? LogCannotOpen : LogReady;
}

/* Where the log's last whole line ends: a log that does not end in a newline holds the part of
** a line that a run which died (or met a full disk) wrote, and the next record would be glued
** to it. The part goes; a file with no newline at all in its last 64 KiB is left as it is and
** the record starts on a line of its own instead. Answers the offset records start at. */
static off_t CutBackToLine(int fd, off_t end, int *separate)
{
    char tail[4096];
    *separate = 0;
    for (off_t at = end, scanned = 0; at > 0 && scanned < 65536;) {
        size_t n = at < (off_t)sizeof tail ? (size_t)at : sizeof tail;
        ssize_t got = PosixSys.pread(fd, tail, n, at - (off_t)n);
        if (got != (ssize_t)n) break;
        for (size_t i = n; i > 0; i--) {
            if (tail[i - 1] == '\n') {
                off_t line = at - (off_t)n + (off_t)i;
                if (line != end) PosixSys.ftruncate(fd, line);
                return line;
            }
        }
        at -= (off_t)n;
        scanned += (off_t)n;
    }
    *separate = end > 0;
    return end;
}

/* Every run that appends to the log takes its lock for a record (flock, which all of them
** take), so that a record in several pieces is never mixed with another run's lines; a record
** that cannot be written whole is cut back off where it began, so that nothing is ever glued
** to a part of a line. A file system without flock gets the records without the lock. */
int PosixAppendLog(FileHandle log, const void *data, uint32_t size, int more)
{
    PosixFile *file = FileOf(log);
    if (!file->recordOpen) {
        SafeLock(file->fd, LOCK_EX);
        struct stat st;
        int separate = 0;
        file->recordOpen = 1;
        file->recordFailed = fstat(file->fd, &st) != 0;
        file->recordStart = file->recordFailed ? 0 : CutBackToLine(file->fd, st.st_size, &separate);
        if (separate && !SafeWriteAll(file->fd, "\n", 1)) file->recordFailed = 1;
    }
    if (!file->recordFailed && !SafeWriteAll(file->fd, data, size)) file->recordFailed = 1;
    int ok = !file->recordFailed;
    if (!more || !ok) {
        if (!ok) SafeTruncate(file->fd, file->recordStart);
        SafeLock(file->fd, LOCK_UN);
        file->recordOpen = 0;
    }
    return ok;
}

/* ---- a kept copy put back ---------------------------------------------------------------- */

/* The file createRestored made, until finishRestored: its folder, held, the name it is to
** take, and the name of its own it is written under until then. */
static struct {
    int folder = -1;
    char name[NAME_MAX + 1];
    char temporary[NAME_MAX + 1];
    int root = -1;              /* where a relative path is taken from (restoreRoot), held */
} Restoring;

#define RestoringPrefix ".krvrestore"   /* the temporary names a file is written under */
#define RestoringSuffix ".tmp"

/* The folder that holds `path`, reached one component at a time from the root, or for a
** relative path from restoreRoot's folder (else the working folder), "." and ".." refused. */
static int RestoringParent(const char *path, char *name, int *why)
{
    return SafeOpenParentIn(Restoring.root >= 0 ? Restoring.root : AT_FDCWD, path, 0, name,
                            NAME_MAX + 1, why);
}

int PosixRestoreRoot(const char *folder)
{
    int why;
    if (Restoring.root >= 0) close(Restoring.root);
    Restoring.root = folder ? SafeOpenFolder(folder, 1, &why) : -1;
    return !folder || Restoring.root >= 0;
}

FileHandle PosixOpenRestored(const char *path)
{
    char name[NAME_MAX + 1];
    int why;
    int at = path ? RestoringParent(path, name, &why) : -1;
    if (at < 0) return InvalidFileHandle;
    int fd = OpenIn(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    close(at);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd < 0 ? InvalidFileHandle : Hold(fd, &st, 0);
}

/* The folder is reached one component at a time (SafeOpenParent, "." and ".." refused), so a
** link met anywhere stops the walk instead of leading it elsewhere. The file is written under
** a name of its own, created exclusively, and takes its real name only once it is whole
** (finishRestored): whatever ends the run, the real name holds nothing or the whole file. */
int PosixCreateRestored(const char *path, FileHandle *file)
{
    if (!path || !*path) return RestoreCannot;
    char name[NAME_MAX + 1];
    int why;
    int at = RestoringParent(path, name, &why);
    if (at < 0)
        return why == SafeNoFolder    ? RestoreNoFolder
             : why == SafeLinkOnWay   ? RestoreLinkOnWay
                                      : RestoreCannot;
    struct stat st;
    int there = fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (there || errno != ENOENT) {
        close(at);
        return there ? RestoreTaken : RestoreCannot;
    }
    char temporary[NAME_MAX + 1];
    int fd = SafeCreateUnique(at, RestoringPrefix, RestoringSuffix, 0600, O_WRONLY, temporary,
                              sizeof temporary);
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        close(at);
        return RestoreCannot;
    }
    *file = Hold(fd, &st, 1);
    if (*file == InvalidFileHandle) {
        PosixSys.unlinkat(at, temporary, 0);
        close(at);
        return RestoreCannot;
    }
    if (Restoring.folder >= 0) close(Restoring.folder);
    Restoring.folder = at;
    memcpy(Restoring.name, name, strlen(name) + 1);
    memcpy(Restoring.temporary, temporary, strlen(temporary) + 1);
    return RestoreReady;
}

/* The owner first: a change of owner clears the set-id bits, which the mode then puts back.
** The file takes its real name only when all of it is set and on disk, never replacing what
** took that name meanwhile; what is left under the temporary name is removed while it is the
** file written. */
int PosixFinishRestored(FileHandle handle, const FileFacts *facts, int keep)
{
    int fd = FileOf(handle)->fd;
    struct timespec times[2];
    times[0].tv_sec = (time_t)facts->accessed;
    times[0].tv_nsec = 0;
    times[1].tv_sec = (time_t)facts->modified;
    times[1].tv_nsec = 0;
    int at = Restoring.folder;
    int ok = keep && at >= 0 && fchown(fd, (uid_t)facts->owner, (gid_t)facts->group) == 0 &&
             fchmod(fd, (mode_t)(facts->mode & 07777)) == 0 && futimens(fd, times) == 0 &&
             SafeSync(fd) && SafeCommit(at, Restoring.temporary, Restoring.name);
    struct stat st, now;
    int written = fstat(fd, &st) == 0;
    /* What has the real name now must be the file written (a swap of the temporary name in a
    ** folder others may write in would put another file there). */
    if (ok && (!written || fstatat(at, Restoring.name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
               st.st_dev != now.st_dev || st.st_ino != now.st_ino))
        ok = 0;
    if (!ok && at >= 0 && written &&
        fstatat(at, Restoring.temporary, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == now.st_dev && st.st_ino == now.st_ino)
        PosixSys.unlinkat(at, Restoring.temporary, 0);
    if (!PosixCloseFile(handle)) ok = 0;
    if (at >= 0) close(at);
    Restoring.folder = -1;
    return ok;
}

int PosixSweepRestored(const char *path, void (*swept)(const char *name, void *context),
                       void *context)
{
    char name[NAME_MAX + 1];
    int why;
    int at = path ? RestoringParent(path, name, &why) : -1;
    if (at < 0) return 0;
    int removed = SafeSweep(at, RestoringPrefix, RestoringSuffix, swept, context);
    close(at);
    return removed;
}
