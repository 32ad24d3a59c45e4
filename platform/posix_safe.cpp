/*
** The POSIX backend, the safe file procedures: each step that a writer of the program's own
** files takes (the deletion's aside name, the quarantine's copies and index, the log, a file
** put back) is written here once, and every writer calls it rather than taking the step its
** own way (the offline hive's files too, posix_hive.cpp).
**
** - A folder path is opened component by component from "/" (or the working folder for a
**   relative path), each folder with O_NOFOLLOW: no link anywhere in the path is gone through.
** - A name of the program's own is "<prefix>.<pid>.<16 random hex digits><suffix>": nobody can
**   plant it in advance, it is created with O_EXCL and tried again under another on EEXIST, and
**   the process id in it tells the sweep of a later run whether its maker still runs.
** - Writes are whole or fail: EINTR and short writes are taken up again.
** - A finished file takes its real name without replacing anything there (RENAME_NOREPLACE,
**   or a link and an unlink where the file system lacks it), then file and folder are synced.
**
** Each system call below the rules goes through PosixSys, so that a test can make a rename, a
** write or an fsync fail while every rule above still runs.
*/
#include "platform/platform.h"
#include "platform/posix.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

/* ---- the raw calls ------------------------------------------------------------------- */

static int RawOpenat(int folder, const char *name, int flags, mode_t mode)
{
    return openat(folder, name, flags, mode);
}

static int RawRenameat2(int fromFolder, const char *from, int toFolder, const char *to,
                        unsigned flags)
{
#ifdef RENAME_NOREPLACE
    return renameat2(fromFolder, from, toFolder, to, flags);
#else
    if (flags) {
        errno = ENOSYS;
        return -1;
    }
    return renameat(fromFolder, from, toFolder, to);
#endif
}

static ssize_t RawGetrandom(void *out, size_t size)
{
    return getrandom(out, size, 0);
}

const PosixSyscalls PosixSysDefaults = {
    RawOpenat, RawRenameat2, linkat, unlinkat, mkdirat, pread,
    write,     pwrite,       fsync,  ftruncate, RawGetrandom,
};

PosixSyscalls PosixSys = PosixSysDefaults;

int SafeOpenIn(int folder, const char *name, int flags, mode_t mode)
{
    int fd = PosixSys.openat(folder, name, flags, mode);
    int code = errno;   /* the cause, whatever giving back sets */
    if (fd < 0 && (code == EMFILE || code == ENFILE) && InHand.listing != InvalidFindHandle &&
        ListingGiveBackAhead(InHand.listing))
        return PosixSys.openat(folder, name, flags, mode);
    errno = code;
    return fd;
}

/* ---- names of the program's own ----------------------------------------------------- */

void SafeRandom(void *out, size_t size)
{
    uint8_t *p = (uint8_t *)out;
    size_t done = 0;
    while (done < size) {
        ssize_t got = PosixSys.getrandom(p + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += (size_t)got;
    }
    if (done == size) return;
    /* No kernel source (very old kernels, seccomp): the clock and the address space's layout
    ** still make a name no one else can know in advance, and O_EXCL catches the rest. */
    static uint64_t state;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    state ^= (uint64_t)now.tv_nsec * 0x9E3779B97F4A7C15ull ^ (uint64_t)now.tv_sec ^
             (uint64_t)(uintptr_t)&now ^ ((uint64_t)getpid() << 32);
    for (; done < size; done++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        p[done] = (uint8_t)(state >> 24);
    }
}

int SafeUniqueName(const char *prefix, const char *suffix, char *out, size_t size)
{
    uint8_t bytes[8];
    SafeRandom(bytes, sizeof bytes);
    char hex[17];
    for (int i = 0; i < 8; i++) {
        hex[2 * i] = "0123456789abcdef"[bytes[i] >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[bytes[i] & 15];
    }
    hex[16] = 0;
    int n = snprintf(out, size, "%s.%ld.%s%s", prefix, (long)getpid(), hex, suffix);
    return n > 0 && (size_t)n < size;
}

/* The process id in a name of SafeUniqueName's shape "<prefix>.<pid>.<16 hex><suffix>" (the
** prefix may hold dots); 0 when `name` is not of that shape. */
static long MakerOf(const char *name, const char *suffix)
{
    size_t length = strlen(name), tail = strlen(suffix);
    if (length < tail + 20 || strcmp(name + length - tail, suffix) != 0) return 0;
    const char *hex = name + length - tail - 16;
    for (int i = 0; i < 16; i++)
        if (!((hex[i] >= '0' && hex[i] <= '9') || (hex[i] >= 'a' && hex[i] <= 'f'))) return 0;
    if (hex[-1] != '.') return 0;
    const char *digits = hex - 1;
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9') digits--;
    if (digits == hex - 1 || digits - 1 <= name || digits[-1] != '.' || hex - 1 - digits > 9)
        return 0;
    return strtol(digits, nullptr, 10);
}

int SafeCreateUnique(int folder, const char *prefix, const char *suffix, mode_t mode, int flags,
                     char *made, size_t size)
{
    for (int attempt = 0; attempt < 32; attempt++) {
        if (!SafeUniqueName(prefix, suffix, made, size)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = SafeOpenIn(folder, made, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK |
                                 O_NOCTTY | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

/* ---- folders reached without links ---------------------------------------------------- */

/* SafeOpenFolder, a relative `path` taken from the open folder `base` (or AT_FDCWD). */
static int OpenFolderFrom(int base, const char *path, int allowDots, int *cause)
{
    *cause = SafeOk;
    int at = PosixSys.openat(path[0] == '/' ? AT_FDCWD : base, path[0] == '/' ? "/" : ".",
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (at < 0) {
        *cause = errno == EMFILE || errno == ENFILE ? SafeNoDescriptors : SafeCannot;
        return -1;
    }
    for (const char *p = path; *p;) {
        while (*p == '/') p++;
        if (!*p) break;
        const char *end = strchr(p, '/');
        size_t length = end ? (size_t)(end - p) : strlen(p);
        char part[NAME_MAX + 1];
        if (length > NAME_MAX) {
            close(at);
            *cause = SafeTooLong;
            return -1;
        }
        memcpy(part, p, length);
        part[length] = 0;
        p += length;
        int dots = IsDots(part);
        if (dots && !allowDots) {
            close(at);
            *cause = SafeCannot;
            return -1;
        }
        if (dots && part[1] == 0) continue;
        int next = PosixSys.openat(at, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK |
                                   O_CLOEXEC, 0);
        if (next < 0) {
            int failed = errno;
            struct stat st;
            *cause = failed == ENOENT                  ? SafeNoFolder
                   : failed == EMFILE || failed == ENFILE ? SafeNoDescriptors
                   : failed == ELOOP || failed == ENOTDIR ||
                             (fstatat(at, part, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              !S_ISDIR(st.st_mode)) ? SafeLinkOnWay
                   : failed == EACCES || failed == EPERM ? SafeDenied
                                                         : SafeCannot;
            close(at);
            return -1;
        }
        close(at);
        at = next;
    }
    return at;
}

int SafeOpenFolder(const char *path, int allowDots, int *cause)
{
    return OpenFolderFrom(AT_FDCWD, path, allowDots, cause);
}

int SafeOpenParent(const char *path, int allowDots, char *name, size_t size, int *cause)
{
    return SafeOpenParentIn(AT_FDCWD, path, allowDots, name, size, cause);
}

int SafeOpenParentIn(int base, const char *path, int allowDots, char *name, size_t size,
                     int *cause)
{
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') length--;
    const char *last = path + length;
    while (last > path && last[-1] != '/') last--;
    size_t nameLength = (size_t)(path + length - last), folderLength = (size_t)(last - path);
    char folder[PlatformPathSize];
    if (nameLength >= size || folderLength >= sizeof folder) {
        *cause = SafeTooLong;
        return -1;
    }
    memcpy(name, last, nameLength);
    name[nameLength] = 0;
    if (nameLength == 0 || *name == '/' || IsDots(name)) {
        *cause = SafeCannot;
        return -1;
    }
    memcpy(folder, path, folderLength);
    folder[folderLength] = 0;
    return OpenFolderFrom(base, folderLength ? folder : ".", allowDots, cause);
}

int SafeFolderIsOurs(const struct stat *st)
{
    uid_t me = geteuid();
    if (!S_ISDIR(st->st_mode)) return 0;
    if (st->st_uid == me && !(st->st_mode & (S_IWGRP | S_IWOTH))) return 1;
    /* A sticky folder (such as /tmp) keeps our names ours only when its owner is us or root:
    ** the folder's owner may rename and remove any entry in it. */
    return (st->st_mode & S_ISVTX) && (st->st_uid == me || st->st_uid == 0);
}

/* ---- writing and committing ------------------------------------------------------------ */

int SafeWriteAll(int fd, const void *data, size_t size)
{
    const char *p = (const char *)data;
    while (size) {
        ssize_t n = PosixSys.write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return 0;
        }
        p += n;
        size -= (size_t)n;
    }
    return 1;
}

size_t SafeWriteAt(int fd, const void *data, size_t size, off_t at)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = PosixSys.pwrite(fd, (const char *)data + done, size - done, at + (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            break;
        }
        done += (size_t)n;
    }
    return done;
}

size_t SafeReadAt(int fd, void *buffer, size_t size, off_t at, int *failed)
{
    size_t done = 0;
    *failed = 0;
    while (done < size) {
        ssize_t got = PosixSys.pread(fd, (char *)buffer + done, size - done, at + (off_t)done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) *failed = errno ? errno : EIO;
        if (got <= 0) break;
        done += (size_t)got;
    }
    return done;
}

int SafeLock(int fd, int operation)
{
    int done;
    do {
        done = flock(fd, operation);
    } while (done != 0 && errno == EINTR);
    return done == 0;
}

int SafeTruncate(int fd, off_t size)
{
    int done;
    do {
        done = PosixSys.ftruncate(fd, size);
    } while (done != 0 && errno == EINTR);
    return done == 0;
}

int SafeSync(int fd)
{
    int done;
    do {
        done = PosixSys.fsync(fd);
    } while (done != 0 && errno == EINTR);
    return done == 0;
}

int SafeRenameNoReplace(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (PosixSys.renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE_FLAG) == 0) return 1;
    if (errno != EINVAL && errno != ENOSYS) return 0;
    /* The file system cannot refuse a replacement by itself (some FUSE file systems): look
    ** first. The window is narrow, and the callers' names are ones nobody else knows yet. */
    struct stat st;
    if (fstatat(toFolder, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return 0;
    }
    if (errno != ENOENT) return 0;
    return PosixSys.renameat2(fromFolder, from, toFolder, to, 0) == 0;
}

int SafeCommit(int folder, const char *from, const char *to)
{
    if (PosixSys.renameat2(folder, from, folder, to, RENAME_NOREPLACE_FLAG) == 0)
        return SafeSync(folder);
    if (errno != EINVAL && errno != ENOSYS) return 0;
    /* link refuses any entry at `to` as well; the temporary name is ours alone, in a folder no
    ** one else writes, so removing it by name afterwards removes what was linked. */
    if (PosixSys.linkat(folder, from, folder, to, 0) != 0) return 0;
    PosixSys.unlinkat(folder, from, 0);
    return SafeSync(folder);
}

int PosixInAnotherRunsHands(const char *name)
{
    if (strncmp(name, AsidePrefix ".", sizeof AsidePrefix) != 0) return 0;
    long maker = MakerOf(name, AsideSuffix);
    if (maker <= 0 || maker == (long)getpid()) return 0;
    /* The maker must be this very program, run by this user: a name alone would let whoever
    ** writes in the tree hide a file from the scan by naming it after any process that runs. */
    char proc[48];
    struct stat theirs, ours, process;
    snprintf(proc, sizeof proc, "/proc/%ld", maker);
    if (stat(proc, &process) != 0 || process.st_uid != geteuid()) return 0;
    snprintf(proc, sizeof proc, "/proc/%ld/exe", maker);
    return stat(proc, &theirs) == 0 && stat("/proc/self/exe", &ours) == 0 &&
           theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

/* ---- leftovers of a run that did not end ----------------------------------------------- */

/* The shape SafeSweep looks for: SafeUniqueName's, with a prefix (any, when null). */
struct UniqueShape {
    const char *prefix, *suffix;
};

static long UniqueMaker(const char *name, const void *shape)
{
    const UniqueShape *s = (const UniqueShape *)shape;
    size_t length = s->prefix ? strlen(s->prefix) : 0;
    if (s->prefix && (strncmp(name, s->prefix, length) || name[length] != '.')) return 0;
    return MakerOf(name, s->suffix);
}

int SafeSweep(int folder, const char *prefix, const char *suffix,
              void (*swept)(const char *name, void *context), void *context)
{
    UniqueShape shape = {prefix, suffix};
    return SafeSweepBy(folder, UniqueMaker, &shape, swept, context);
}

int SafeSweepBy(int folder, long (*makerOf)(const char *name, const void *shape),
                const void *shape, void (*swept)(const char *name, void *context), void *context)
{
    int copy = PosixSys.openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (copy < 0) return 0;
    DIR *listing = fdopendir(copy);
    if (!listing) {
        close(copy);
        return 0;
    }
    int removed = 0;
    pid_t me = getpid();
    for (struct dirent *entry; (entry = readdir(listing));) {
        long maker = makerOf(entry->d_name, shape);
        if (maker <= 0 || maker == (long)me) continue;
        /* A process of that number that runs may be the maker, still at work: its file stays.
        ** Only EPERM (another user's process) and ESRCH tell; the first also means it runs. */
        if (kill((pid_t)maker, 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)
            continue;
        if (PosixSys.unlinkat(folder, entry->d_name, 0) == 0) {
            removed++;
            if (swept) swept(entry->d_name, context);
        }
    }
    closedir(listing);
    if (removed) SafeSync(folder);
    return removed;
}
