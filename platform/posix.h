/*
** What the parts of the POSIX backend share (posix_files.cpp, posix_listing.cpp,
** posix_safe.cpp, posix_system.cpp, and readahead_posix.cpp for KnownFacts and IsDots);
** nothing outside platform/ includes it.
*/
#ifndef KRV_POSIX_H
#define KRV_POSIX_H

#include "platform/platform.h"
#include "platform/platform_hooks.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* ---- posix_files.cpp: the table's file entries, as platform.h promises them ---- */

FileHandle PosixOpenFile(const char *path, int write);
uint32_t PosixReadFile(FileHandle file, void *buffer, uint32_t count);
uint32_t PosixSeekFile(FileHandle file, int32_t distance, uint32_t origin);
int PosixCloseFile(FileHandle file);
uint32_t PosixReadAt(FileHandle file, void *buffer, uint32_t count, uint64_t offset, int *hole);
int PosixIdentifyFile(FileHandle file);
uint32_t PosixGetFileAttributes(const char *path);
int PosixSetFileAttributes(const char *path, uint32_t attributes);
int PosixCopyFile(const char *from, const char *to);
int PosixDeleteFile(const char *path);
int PosixMoveFile(const char *from, const char *to);
int PosixEntryPath(char *out, uint32_t size);
int PosixFileIdentity(const char *path, uint64_t *volume, uint64_t *index);
int PosixWriteWholeFile(const char *path, const void *data, uint32_t size);
int PosixReplaceFile(const char *from, const char *to);
int PosixOpenStore(const char *path, int create, const char *indexName, FileHandle *index,
                   uint64_t *volume, uint64_t *inode);
int PosixLockStore(int lock);
void PosixCloseStore(void);
FileHandle PosixCreateStored(const char *prefix, char *made, uint32_t size);
FileHandle PosixOpenStored(const char *name);
int PosixPlaceStored(FileHandle file, const char *from, const char *to);
int PosixRemoveStored(FileHandle file, const char *name);
int PosixSweepStore(void (*swept)(const char *name, void *context), void *context);
uint32_t PosixWriteFile(FileHandle file, const void *buffer, uint32_t count);
uint32_t PosixWriteAt(FileHandle file, const void *buffer, uint32_t count, uint64_t offset);
int PosixTruncateFile(FileHandle file, uint64_t size);
int PosixSyncFile(FileHandle file);
int PosixFileFacts(FileHandle file, FileFacts *out);
int PosixOpenLog(const char *path, FileHandle *log);
int PosixAppendLog(FileHandle log, const void *data, uint32_t size, int more);
int PosixCreateRestored(const char *path, FileHandle *file);
int PosixFinishRestored(FileHandle file, const FileFacts *facts, int keep);
int PosixRestoreRoot(const char *folder);
FileHandle PosixOpenRestored(const char *path);
int PosixSweepRestored(const char *path, void (*swept)(const char *name, void *context),
                       void *context);

/* Non-zero for the entries "." and ".." of a listing. */
static inline int IsDots(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

/* Attribute word of an entry from its lstat record; `target` is the stat of what a symbolic
** link names (null when it names nothing). Here, so that the files and the listing parts both
** read it without calling each other for it. */
static inline uint32_t AttributesOf(const char *name, const struct stat *st,
                                    const struct stat *target)
{
    uint32_t attributes = 0;
    if (S_ISLNK(st->st_mode)) {
        attributes |= AttrReparsePoint;
        if (target && S_ISDIR(target->st_mode)) attributes |= AttrDirectory;
    } else if (S_ISDIR(st->st_mode)) {
        attributes |= AttrDirectory;
    }
    if (!S_ISLNK(st->st_mode) && !(st->st_mode & S_IWUSR)) attributes |= AttrReadOnly;
    if (name[0] == '.' && !IsDots(name)) attributes |= AttrHidden;
    return attributes ? attributes : AttrNormal;
}

/* What the entry `name` of the open folder `at` is (a link itself, never what it names), or,
** with the name "", the descriptor `at`: its type, device, inode, link count and size in `st`
** (nothing else of it is set; a size the kernel does not know is -1); non-zero on success.
** These are the facts the kernel holds already: a file system served by a daemon (FUSE:
** ntfs-3g) is not asked for attributes again, which a full fstat or fstatat would do for every
** file, at the cost of a round trip to the daemon each. The name is still looked up as the file
** system wants it checked. A file's type and identity cannot change; its link count is only
** recorded, and looked up afresh before anything is changed. */
static inline int KnownFacts(int at, const char *name, struct stat *st)
{
    struct statx facts;
    if (statx(at, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC | (*name ? 0 : AT_EMPTY_PATH),
              STATX_TYPE | STATX_INO | STATX_NLINK | STATX_SIZE, &facts) != 0 ||
        (facts.stx_mask & (STATX_TYPE | STATX_INO)) != (STATX_TYPE | STATX_INO))
        return 0;
    memset(st, 0, sizeof *st);
    st->st_mode = facts.stx_mode & S_IFMT;
    st->st_dev = makedev(facts.stx_dev_major, facts.stx_dev_minor);
    st->st_ino = (ino_t)facts.stx_ino;
    st->st_nlink = (facts.stx_mask & STATX_NLINK) ? (nlink_t)facts.stx_nlink : 1;
    st->st_size = (facts.stx_mask & STATX_SIZE) ? (off_t)facts.stx_size : -1;
    return 1;
}

/* ---- posix_safe.cpp: the safe file procedures every writer uses ---- */

#ifdef RENAME_NOREPLACE
#define RENAME_NOREPLACE_FLAG RENAME_NOREPLACE
#else
#define RENAME_NOREPLACE_FLAG 1u
#endif

/* The name a file being deleted is moved aside to first: "<AsidePrefix>.<pid>.<hex><AsideSuffix>"
** (SafeUniqueName). */
#define AsidePrefix ".krv"
#define AsideSuffix ".del"

/* The table's inAnotherRunsHands. */
int PosixInAnotherRunsHands(const char *name);

/* Why SafeOpenFolder or SafeOpenParent failed. */
enum SafeCause {
    SafeOk = 0,
    SafeNoFolder,         /* a folder on the way is missing */
    SafeLinkOnWay,        /* a link, or anything but a folder, on the way */
    SafeDenied,           /* a folder on the way may not be entered */
    SafeNoDescriptors,    /* the process or the system has no descriptors left */
    SafeTooLong,          /* a name or the path is too long */
    SafeCannot,           /* anything else, "." or ".." where they are refused among it */
};

/* openat through PosixSys, tried once more when it failed for lack of descriptors while
** read-ahead held some for the listings around the entry in hand: nothing the scan opens or
** writes is lost to read-ahead. */
int SafeOpenIn(int folder, const char *name, int flags, mode_t mode);

/* `size` bytes no one can guess: the kernel's, else a mix of the clock and addresses. */
void SafeRandom(void *out, size_t size);

/* "<prefix>.<pid>.<16 random hex digits><suffix>" into `out`; 0 when it does not fit. */
int SafeUniqueName(const char *prefix, const char *suffix, char *out, size_t size);

/* Creates in `folder`, exclusively and without following a link, a file under a name of
** SafeUniqueName's (`made`, `size` bytes), with `flags` (O_RDWR, O_WRONLY...) and `mode`;
** another name is tried when one is taken. The descriptor, or -1 with errno. */
int SafeCreateUnique(int folder, const char *prefix, const char *suffix, mode_t mode, int flags,
                     char *made, size_t size);

/* Opens the folder `path` (absolute, or from the working folder) one component at a time,
** none followed if it is a link; "." and ".." are taken as they stand only with `allowDots`.
** The descriptor, or -1 with the SafeCause in `*cause`. */
int SafeOpenFolder(const char *path, int allowDots, int *cause);

/* SafeOpenFolder of the folder that holds `path`, with the last component in `name` (`size`
** bytes); a path that ends in "." or ".." names no entry of a folder and is refused. */
int SafeOpenParent(const char *path, int allowDots, char *name, size_t size, int *cause);

/* SafeOpenParent, a relative `path` taken from the open folder `base` (AT_FDCWD: the working
** folder): with `allowDots` 0 nothing of it leads out of `base`. */
int SafeOpenParentIn(int base, const char *path, int allowDots, char *name, size_t size,
                     int *cause);

/* Non-zero when a name the running user makes in the folder `st` stays his: the folder is his
** and no one else may write in it, or it is sticky and its owner is he or root. */
int SafeFolderIsOurs(const struct stat *st);

/* Writes all `size` bytes at the descriptor's position (or its end, O_APPEND); EINTR and short
** writes are taken up again. 0 with errno when that failed part of the way. */
int SafeWriteAll(int fd, const void *data, size_t size);

/* The same at offset `at`; answers the bytes written, all of them unless a write failed. */
size_t SafeWriteAt(int fd, const void *data, size_t size, off_t at);

/* Reads up to `size` bytes at offset `at`, taken up again after EINTR and short reads; answers
** the bytes read (fewer at the end of the file), with the errno of a read that failed in
** `*failed` (0 when none did). */
size_t SafeReadAt(int fd, void *buffer, size_t size, off_t at, int *failed);

/* flock with `operation`, taken up again after EINTR; non-zero when done. */
int SafeLock(int fd, int operation);

/* ftruncate, taken up again after EINTR; non-zero when done. */
int SafeTruncate(int fd, off_t size);

/* fsync, taken up again after EINTR; non-zero when the file is on disk. */
int SafeSync(int fd);

/* Renames without ever replacing an entry at `to`; where the file system cannot refuse a
** replacement by itself, `to` is looked at first. Non-zero when renamed. */
int SafeRenameNoReplace(int fromFolder, const char *from, int toFolder, const char *to);

/* Gives the program's own finished file `from` in `folder` its real name `to`, never replacing
** what is there (RENAME_NOREPLACE, else a link and the unlink of `from`), and syncs the folder.
** Non-zero when the file has its name and the folder is on disk. */
int SafeCommit(int folder, const char *from, const char *to);

/* Removes from `folder` the leftovers of runs that did not end: regular files of the running
** user with one name, named by SafeUniqueName with `prefix` (any, when null) and `suffix`, whose
** maker no longer runs; calls `swept` with each name removed. Answers how many. */
int SafeSweep(int folder, const char *prefix, const char *suffix,
              void (*swept)(const char *name, void *context), void *context);

/* SafeSweep of the names whose maker `makerOf` finds (the process id in a name of the shape
** `shape` describes, 0 for any other name). */
int SafeSweepBy(int folder, long (*makerOf)(const char *name, const void *shape),
                const void *shape, void (*swept)(const char *name, void *context), void *context);

/* ---- posix_hive.cpp: the offline hive's entries (where the build has hivex) ---- */

int PosixHiveLoad(char *cause, uint32_t size);
void *PosixHiveFolder(void *folder, const char *name);
int PosixHiveAlike(void *folder, const char *name, char (*found)[HiveNameSize], int max);
int PosixHiveOpen(void *folder, const char *name, int change, void **hive);
int PosixHiveSweep(void *folder, const char *prefix,
                   void (*swept)(const char *name, void *context), void *context);
void *PosixHiveCreate(void *folder, const char *prefix, char *made, uint32_t size);
int PosixHiveEdit(void *hive, void *fresh, void (*work)(const PlatformRegistry *, void *),
                  void *answer, uint32_t size, char *cause, uint32_t causeSize);
int PosixHiveFinish(void *folder, const char *name, void *hive, void *fresh);
int PosixHiveKeep(void *folder, const char *name, void *hive, const char *backup);
int PosixHivePut(void *folder, void *fresh, const char *freshName, const char *name,
                 const char *backup, int kept);
void PosixHiveDiscard(void *folder, void *fresh, const char *freshName);
void PosixHiveClose(void *handle);

/* ---- posix_listing.cpp: the table's listing entries, and what the files part asks ---- */

void PosixPlanReadAhead(const ReadAheadPlan *plan);
FindHandle PosixFindFirst(const char *pattern, FindRecord *record);
int PosixFindNext(FindHandle find, FindRecord *record);
int PosixFindClose(FindHandle find);

/* The open folder of a listing. */
int ListingFolder(FindHandle find);

/* Non-zero when the listing found its current entry to be a regular file. */
int ListingSaysRegular(FindHandle find);

/* Gives back every descriptor read-ahead holds for the chain of listings that ends in `find`,
** waiting for requests under way; non-zero when that closed any. For an open that failed with
** EMFILE or ENFILE, to be tried once more. */
int ListingGiveBackAhead(FindHandle find);

/* The listing's current entry `name` as read-ahead opened it, when read-ahead holds it and the
** name still leads to that file: its descriptor (the caller's from then on) and status in `st`.
** -1 otherwise; either way read-ahead holds nothing of the entry afterwards. */
int ListingTakeAhead(FindHandle find, const char *name, struct stat *st);

#endif
