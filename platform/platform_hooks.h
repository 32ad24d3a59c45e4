/*
** What the backends open to tests beyond the table: pieces that read system files or records,
** so that a test can hand them a forged one.
*/
#ifndef KRV_PLATFORM_HOOKS_H
#define KRV_PLATFORM_HOOKS_H

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/types.h>

/* The raw system calls beneath the POSIX backend's rules on files it changes or writes (the
** safe file procedures, the deletion, the quarantine, the log, a file put back). A test sets an
** entry to make a call fail, or fall short, while every rule above it still runs, and puts
** PosixSysDefaults back afterwards. Each answers as the call of its name does (-1 with errno). */
struct PosixSyscalls {
    int (*openat)(int folder, const char *name, int flags, mode_t mode);
    int (*renameat2)(int fromFolder, const char *from, int toFolder, const char *to,
                     unsigned flags);
    int (*linkat)(int fromFolder, const char *from, int toFolder, const char *to, int flags);
    int (*unlinkat)(int folder, const char *name, int flags);
    int (*mkdirat)(int folder, const char *name, mode_t mode);
    ssize_t (*pread)(int fd, void *buffer, size_t count, off_t offset);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t count, off_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t size);
    ssize_t (*getrandom)(void *buffer, size_t count);
};
extern PosixSyscalls PosixSys;
extern const PosixSyscalls PosixSysDefaults;

/* fixedDrives over the mount table at `mountTable` instead of /proc/self/mounts. */
uint32_t PosixFixedDrivesFrom(const char *mountTable, char (*roots)[MaxRootPath], uint32_t max);

/* Read-ahead of listed files, for the walks begun afterwards: ReadAheadOff reads one file at a
** time, as where the system has no io_uring; ReadAheadOn (the default) fetches ahead where the
** cache does not already hold the files; ReadAheadAlways fetches ahead even then;
** ReadAheadQueued fetches everything as it does on a file system served by a daemon (FUSE): each
** request handed to the kernel's workers, no folder listed ahead. */
enum { ReadAheadOff, ReadAheadOn, ReadAheadAlways, ReadAheadQueued };
void PosixSetReadAhead(int mode);

/* How many files the scan has opened as read-ahead fetched them, since the process began. */
uint32_t PosixReadAheadTaken(void);

/* How many folders read-ahead has listed ahead of the walk, since the process began. */
uint32_t PosixReadAheadListed(void);

/* Non-zero when read-ahead is on and this system gives the process a ring it can use. */
int PosixReadAheadAvailable(void);
#endif

#ifdef _WIN32
/* The raw Win32 and NT calls beneath the Windows backend's rules (the entry in hand, the share
** modes, the restart-time work, the store and the log). A test sets an entry to make a call
** fail (setting the last error itself) or answer otherwise, such as a 9x version word, while
** every rule above it still runs, and puts WinSysDefaults back afterwards. Each answers as the
** call of its name does; the handles are HANDLEs, the counts DWORDs. */
struct WinSyscalls {
    unsigned long (*getVersion)(void);
    void *(*createFileA)(const char *path, unsigned long access, unsigned long share,
                         void *security, unsigned long disposition, unsigned long flags,
                         void *templateFile);
    int (*readFile)(void *file, void *buffer, unsigned long count, unsigned long *done);
    int (*writeFile)(void *file, const void *buffer, unsigned long count, unsigned long *done);
    int (*deleteFileA)(const char *path);
    int (*moveFileA)(const char *from, const char *to);
    int (*moveFileExA)(const char *from, const char *to, unsigned long flags);
    int (*copyFileA)(const char *from, const char *to, int failIfExists);
    long (*ntSetInformationFile)(void *file, void *status, void *information, unsigned long size,
                                 int kind);
    /* The restart folder's calls: the folder made with its rights in the same call
    ** (`security` a SECURITY_ATTRIBUTES), the kind of drive and the flags of the volume at
    ** `root` ("X:\"), and the owner and rights of an open folder as NtQuerySecurityObject gives
    ** them (an NTSTATUS). */
    int (*createDirectoryA)(const char *path, void *security);
    unsigned (*getDriveTypeA)(const char *root);
    int (*getVolumeInformationA)(const char *root, unsigned long *flags);
    long (*ntQuerySecurityObject)(void *handle, unsigned long information, void *descriptor,
                                  unsigned long size, unsigned long *needed);
};
extern WinSyscalls WinSys;
extern const WinSyscalls WinSysDefaults;

/* Called, when set, by each change to the entry in hand on the NT family once the handle it acts
** through has been checked to be the file detected, just before the change: `operation` is the
** table entry's name ("setFileAttributes", "copyFile", "deleteFile", "moveFile",
** "moveFileAtRestart"). Null but in tests, which change the file system there. */
extern void (*WinAfterIdentityCheck)(const char *operation, const char *path);

/* Non-zero when the self-relative security descriptor `descriptor` (`size` bytes, as the system
** gives a folder's owner and DACL) lets no one but the administrators and the system write in
** the folder, delete or rename it or change its rights: the restart folder's test. */
int WinOnlyAdministratorsWrite(const void *descriptor, uint32_t size);

/* The record the listing makes of one wide entry on the NT family; `data` is a
** WIN32_FIND_DATAW. */
void WinRecordFromWide(const void *data, FindRecord *record);
#endif

#endif
