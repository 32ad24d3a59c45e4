/*
** The POSIX backend, the rest of the system: memory, restart-time work (there is none), the
** fixed drives from the mount table, the registry (there is none), threads, the console's
** clock and signals, and the table that gathers the entries of posix_files.cpp,
** posix_listing.cpp and this file.
**
** The backend's map: posix_files.cpp (handles, the share rule, every change to a file, the
** entry in hand), posix_listing.cpp (listings and the read-ahead window), readahead_posix.cpp
** (the io_uring ring and the warmer), and this file.
*/
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "platform/posix.h"

#include <limits.h>
#include <mntent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

const char PathSeparator = '/';

/* ---- memory ---------------------------------------------------------------------------- */

static void *PosixMemAlloc(uint32_t size)
{
    return malloc(size ? size : 1);     /* a zero-size heap block is still a block */
}

static void PosixMemFree(void *block)
{
    free(block);
}

/* ---- restart-time work ----------------------------------------------------------------- */

/* Zero: the NT family, so the restart-time work goes to moveFileAtRestart, which refuses. */
static uint32_t PosixGetVersion(void)
{
    return 0;
}

static int PosixSystemVersion(SystemVersion *out)
{
    out->family = SystemPosix;
    out->major = out->minor = out->build = 0;
    return 1;
}

/* No profile cache to flush. */
static int PosixFlushProfile(const char *)
{
    return 1;
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

/* ---- fixed drives ---------------------------------------------------------------------- */

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

static void *PosixRegOpenRunKey(int write)
{
    (void)write;
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

static int PosixRegValueText(void *, const char *, char *, uint32_t)
{
    return 0;
}

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
    /* A closed terminal or a logged-out session must not end a run between a file's copy and
    ** its name, nor between a change and its row. */
    sigaction(SIGHUP, &action, NULL);
    signal(SIGPIPE, SIG_IGN);
}

void PlatformRaiseFileLimit(void)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int PlatformFollowLink(const char *path, char *out, uint32_t size)
{
    /* "link/" names the link too: the trailing separators do not make it a folder of its own. */
    char name[PATH_MAX], target[PATH_MAX];
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/')
        length--;
    struct stat st;
    if (length >= sizeof name) return 0;
    memcpy(name, path, length);
    name[length] = 0;
    if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    if (!realpath(name, target) || strlen(target) >= size) return -1;
    memcpy(out, target, strlen(target) + 1);
    return 1;
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

/* The type of the mount whose device is `device`, from /proc/self/mountinfo: "ID PARENT
** MAJOR:MINOR ROOT POINT OPTIONS [TAGS] - TYPE SOURCE OPTIONS". statfs's magic number cannot
** tell fuseblk from other FUSE mounts, nor ntfs3 from ntfs, which a rescue report needs. */
static void MountType(dev_t device, char *type, uint32_t size)
{
    FILE *table = fopen("/proc/self/mountinfo", "re");
    if (!table)
        return;
    char line[4096];
    while (fgets(line, sizeof line, table)) {
        unsigned major_, minor_;
        if (sscanf(line, "%*s %*s %u:%u", &major_, &minor_) != 2 ||
            major_ != major(device) || minor_ != minor(device))
            continue;
        const char *dash = strstr(line, " - ");
        if (!dash)
            continue;
        const char *name = dash + 3;
        uint32_t n = 0;
        for (; name[n] && name[n] != ' ' && name[n] != '\n' && n + 1 < size; n++)
            type[n] = name[n];
        type[n] = 0;
        break;
    }
    fclose(table);
}

static int PosixVolumeFacts(const char *path, char *type, uint32_t size, int *readOnly)
{
    struct statvfs volume;
    struct stat file;
    *readOnly = 0;
    if (size)
        type[0] = 0;
    if (statvfs(path, &volume) != 0 || stat(path, &file) != 0)
        return 0;
    *readOnly = (volume.f_flag & ST_RDONLY) != 0;
    if (size)
        MountType(file.st_dev, type, size);
    return 1;
}

/* ---- the table ------------------------------------------------------------------------- */

static void PosixLastError(char *out, uint32_t size)
{
    if (!size) return;
    int code = errno;
    const char *text = code ? strerror(code) : "";
    size_t length = strlen(text);
    if (length >= size) length = size - 1;
    memcpy(out, text, length);
    out[length] = 0;
}

/* A file with other names is none of the program's own: one of them may be a file to scan
** (a name planted where a script appends its output, linked to a worm). */
static int PosixStreamIdentity(int stream, uint64_t *volume, uint64_t *index)
{
    struct stat st;
    if (fstat(stream == 2 ? 2 : 1, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return 0;
    *volume = (uint64_t)st.st_dev;
    *index = (uint64_t)st.st_ino;
    return 1;
}

const PlatformOps PlatformDefaults = {
    .files =
        {
            .openFile           = PosixOpenFile,
            .readFile           = PosixReadFile,
            .seekFile           = PosixSeekFile,
            .closeFile          = PosixCloseFile,
            .readAt             = PosixReadAt,
            .identifyFile       = PosixIdentifyFile,
            .memAlloc           = PosixMemAlloc,
            .memFree            = PosixMemFree,
            .getFileAttributes  = PosixGetFileAttributes,
            .setFileAttributes  = PosixSetFileAttributes,
            .copyFile           = PosixCopyFile,
            .deleteFile         = PosixDeleteFile,
            .moveFile           = PosixMoveFile,
            .inAnotherRunsHands = PosixInAnotherRunsHands,
            .entryPath          = PosixEntryPath,
            .fileIdentity       = PosixFileIdentity,
            .planReadAhead      = PosixPlanReadAhead,
            .findFirst          = PosixFindFirst,
            .findNext           = PosixFindNext,
            .findClose          = PosixFindClose,
            .fixedDrives        = PosixFixedDrives,
        },
    .restart =
        {
            .getVersion        = PosixGetVersion,
            .systemVersion     = PosixSystemVersion,
            .moveFileAtRestart = PosixMoveFileAtRestart,
            .windowsFolder     = PosixWindowsFolder,
            .writeWholeFile    = PosixWriteWholeFile,
            .shortPath         = PosixShortPath,
            .replaceFile       = PosixReplaceFile,
            .flushProfile      = PosixFlushProfile,
        },
    .registry =
        {
            .regOpenRunKey  = PosixRegOpenRunKey,
            .regValueCount  = PosixRegValueCount,
            .regEnumValue   = PosixRegEnumValue,
            .regDeleteValue = PosixRegDeleteValue,
            .regCloseKey    = PosixRegCloseKey,
            .regValueText   = PosixRegValueText,
#ifdef KRV_HAVE_HIVEX
            .hiveLoad       = PosixHiveLoad,
            .hiveFolder     = PosixHiveFolder,
            .hiveAlike      = PosixHiveAlike,
            .hiveOpen       = PosixHiveOpen,
            .hiveSweep      = PosixHiveSweep,
            .hiveCreate     = PosixHiveCreate,
            .hiveEdit       = PosixHiveEdit,
            .hiveFinish     = PosixHiveFinish,
            .hiveKeep       = PosixHiveKeep,
            .hivePut        = PosixHivePut,
            .hiveDiscard    = PosixHiveDiscard,
            .hiveClose      = PosixHiveClose,
#endif
        },
    .system =
        {
            .startThread     = PosixStartThread,
            .milliseconds    = PosixMilliseconds,
            .errorIsTerminal = PosixErrorIsTerminal,
            .onInterrupt     = PosixOnInterrupt,
            .hostName        = PosixHostName,
            .volumeFacts     = PosixVolumeFacts,
            .lastError       = PosixLastError,
            .streamIdentity  = PosixStreamIdentity,
        },
    .store =
        {
            .openStore      = PosixOpenStore,
            .lockStore      = PosixLockStore,
            .closeStore     = PosixCloseStore,
            .createStored   = PosixCreateStored,
            .openStored     = PosixOpenStored,
            .placeStored    = PosixPlaceStored,
            .removeStored   = PosixRemoveStored,
            .sweepStore     = PosixSweepStore,
            .writeFile      = PosixWriteFile,
            .writeAt        = PosixWriteAt,
            .truncateFile   = PosixTruncateFile,
            .syncFile       = PosixSyncFile,
            .fileFacts      = PosixFileFacts,
            .openLog        = PosixOpenLog,
            .appendLog      = PosixAppendLog,
            .createRestored = PosixCreateRestored,
            .finishRestored = PosixFinishRestored,
            .sweepRestored  = PosixSweepRestored,
            .restoreRoot    = PosixRestoreRoot,
            .openRestored   = PosixOpenRestored,
        },
};

