/*
** What the parts of the POSIX backend share (posix_files.cpp, posix_listing.cpp,
** posix_system.cpp, and readahead_posix.cpp for KnownFacts and IsDots); nothing outside
** platform/ includes it.
*/
#ifndef KRV_POSIX_H
#define KRV_POSIX_H

#include "platform/platform.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* ---- posix_files.cpp: the table's file entries, as platform.h promises them ---- */

FileHandle PosixOpenFile(const char *path, int write);
uint32_t PosixReadFile(FileHandle file, void *buffer, uint32_t count);
uint32_t PosixSeekFile(FileHandle file, int32_t distance, uint32_t origin);
int PosixCloseFile(FileHandle file);
int PosixIdentifyFile(FileHandle file);
uint32_t PosixGetFileAttributes(const char *path);
int PosixSetFileAttributes(const char *path, uint32_t attributes);
int PosixCopyFile(const char *from, const char *to);
int PosixDeleteFile(const char *path);
int PosixMoveFile(const char *from, const char *to);
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
uint32_t PosixWriteFile(FileHandle file, const void *buffer, uint32_t count);
int PosixTruncateFile(FileHandle file, uint32_t size);
int PosixSyncFile(FileHandle file);
int PosixFileFacts(FileHandle file, FileFacts *out);
int PosixOpenLog(const char *path, FileHandle *log);
int PosixAppendLog(FileHandle log, const void *data, uint32_t size);
int PosixCreateRestored(const char *path, FileHandle *file);
int PosixFinishRestored(FileHandle file, const FileFacts *facts, int keep);

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

/* ---- posix_listing.cpp: the table's listing entries, and what the files part asks ---- */

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
