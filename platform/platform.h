/*
** The one table through which the core reaches the operating system.
**
** Every operation that the detection engine, the scan driver, the disinfection workflow and
** the Run-key cleanup need from the platform is a pointer in `Platform`, in one part per
** concern: `files` (entries and files), `restart` (the version and the work left to the next
** restart), `registry`, `system` (threads, the console) and `store` (what the program writes
** of its own). The defaults are the real calls of the build (Win32 ANSI on Windows, POSIX
** elsewhere). These are the rules; beneath them each backend makes its raw system calls through
** a table of its own (PosixSys, WinSys in platform_hooks.h), where a test injects a fault
** while the rules still run. A test replaces an entry here only where the rule it checks lies
** above the platform, and calls PlatformRestore() after.
** No other layer of the core includes a header of the operating system: only the language's
** own (and, in engine/crc32.cpp, the compiler's intrinsics).
**
** Results follow the Win32 habit the core is written against: non-zero for success and 0 for
** failure, unless an entry says otherwise.
**
** The entry in hand (InHand, below): while the scan works on one entry of a listing, the file
** operations act on that entry and on names beside it, not on whatever its path leads to now.
*/
#ifndef KRV_PLATFORM_H
#define KRV_PLATFORM_H

#include <stdint.h>

typedef void *FileHandle;                         /* an open file; see InvalidFileHandle */
#define InvalidFileHandle ((FileHandle)(intptr_t)-1)

typedef void *FindHandle;                         /* an open folder enumeration */
#define InvalidFindHandle ((FindHandle)(intptr_t)-1)

/* File attribute bits, with the Win32 values. */
#define AttrReadOnly      0x01u
#define AttrHidden        0x02u
#define AttrSystem        0x04u
#define AttrDirectory     0x10u
#define AttrNormal        0x80u
#define AttrReparsePoint  0x400u
#define InvalidFileAttributes 0xFFFFFFFFu

#define SeekFromStart   0u
#define SeekFromCurrent 1u
#define SeekFromEnd     2u

/* Reparse tags, with the Win32 values. A tag with the name-surrogate bit names another entry
** of the file system (a symbolic link, a junction or mount point, a WSL link); other tags (cloud
** placeholders, deduplicated files) stand for the file's own contents. */
#define ReparseTagMountPoint    0xA0000003u
#define ReparseTagSymlink       0xA000000Cu
#define ReparseTagNameSurrogate 0x20000000u

/* One folder entry, as FindFirstFileA/FindNextFileA give it. */
struct FindRecord {
    uint32_t attributes;                          /* AttrDirectory marks a folder */
    uint32_t reparseTag;                          /* with AttrReparsePoint (dwReserved0); else 0 */
    char name[260];                               /* NUL-terminated entry name */
};

/* The entry the scan has in hand, set beside ScanPath by whoever puts its path there (the walk,
** and the workflow for a copy it processes); `listing` InvalidFindHandle when there is none.
** It lives no longer than its listing: whoever sets it clears it before the listing is closed,
** and findClose clears an entry of the listing it closes all the same.
** While one is in hand, the paths given to openFile, getFileAttributes, setFileAttributes,
** copyFile, deleteFile, moveFile and findFirst must lie in the entry's folder, the first
** `nameAt` bytes of `path`: each names the entry or a name beside it. On POSIX each is reached
** through the open listing, never by looking the folder's path up again (another path fails).
** identifyFile records the identity of the file read as the entry (an open of it for reading
** forgets the one recorded before); every change (setFileAttributes, openFile for writing,
** copyFile's source, deleteFile, moveFile's source, and on the NT family a deletion at
** restart) acts only while the name still leads to that file, and fails otherwise, as for a
** file that cannot be written. The 9x family keeps no
** identity and changes whatever the path names.
** `listed`: the entry is the listing's current entry as the listing gave it (read-ahead may
** hold its file), not a name made beside it. `elsewhere`: set by openFile for writing when it
** refused the entry for another reason than the file's being held by someone (on the NT
** family: its name no longer leads to the file detected, whatever the refusal was, while a
** file held or whose rights deny writing is not elsewhere); such a file is no locked file.
** Written by the worker thread only.
** `links`: the file's number of names as identifyFile or the last deleteFile of the entry saw
** it (POSIX; 0 where it is not known). `failure`: why the last openFile or readFile that
** failed did (a FileFailure), whatever entry is in hand, and FailureDescriptors when findFirst
** could not list a folder for want of them; the caller clears it first. */
struct EntryInHand {
    FindHandle listing;       /* the open listing of the entry's folder */
    const char *path;         /* the buffer that holds the entry's path (ScanPath) */
    uint32_t nameAt;          /* where the entry's name begins in `path` */
    int listed;
    int opened;               /* identity below recorded by identifyFile */
    uint64_t volume, index;   /* the file's identity: device and inode, volume and file index */
    int elsewhere = 0;
    uint32_t links = 0;
    int32_t failure = 0;
};

/* Why a file could not be opened or read, as InHand.failure records it. */
enum FileFailure : int32_t {
    FailureNone = 0,
    FailureOther = 1,         /* any cause not below (not a regular file, gone, ...) */
    FailureTooLong = 2,       /* the path is too long for the system */
    FailureDescriptors = 3,   /* no descriptors (handles) left to the process or the system */
    FailureDenied = 4,        /* access denied */
    FailureInUse = 5,         /* another program holds the file (Windows' share modes) */
    FailureIo = 6,            /* an I/O error, or any failed read */
    FailureGone = 7,          /* nothing has the name any more (another run removed the file) */
};
extern EntryInHand InHand;

/* Set by krvscan before the scan (--cross-fs); 0 elsewhere. On POSIX a folder on another file
** system than its parent's is then listed as a folder like any other, not as a mount point (a
** folder the listings around it are listing already still is one). On Windows nothing changes:
** a volume mounted in a folder is a junction, a link the walk never follows. */
extern int CrossMountPoints;

/* Swaps the entry in hand with `other`: how the workflow hands the entry to the copy it makes
** beside the file (in the same listing) and takes the file's entry back, with the same call.
** The walk sets and clears the entry; nothing else writes it whole. */
void SwapEntryInHand(EntryInHand *other);

/* PlatformMaxPath: the longest path, NUL included, that the file operations of the build
** take: 260 for Windows' ANSI functions, PATH_MAX on POSIX. PlatformPathSize: the bytes of the
** buffer in which the core builds every path, with room beyond that for copy suffixes on
** Windows. */
#ifdef _WIN32
#define PlatformMaxPath  260
#define PlatformPathSize 520
#else
#define PlatformMaxPath  4096
#define PlatformPathSize 4096
#endif

/* The running system, as GetVersionExA gives it: `family` is SystemWin32s, System9x or SystemNt
** (the Win32 platform identifiers) or SystemPosix; `build` is the build number alone (on the 9x
** family the system puts the version in its high word; that is cut off). */
#define SystemWin32s 0u
#define System9x     1u
#define SystemNt     2u
#define SystemPosix  0x100u
struct SystemVersion {
    uint32_t family, major, minor, build;
};

/* What read-ahead fetches of each file before the scan reads it: the bytes the detector reads
** first. `headBytes` from the file's start; then, where `regionPast` finds in those first bytes
** (`got` of them, never read beyond) that the next region the detector reads begins past them,
** `regionBytes` from where it answers (0: nowhere past them). The engine's signature table says
** what these are (SignatureReadAhead). */
struct ReadAheadPlan {
    uint32_t headBytes;
    uint32_t regionBytes;
    uint32_t (*regionPast)(const uint8_t *head, uint32_t got);
};

/* What the quarantine's index keeps of a file, as fileFacts gives it. Times in seconds since
** 1970-01-01 UTC. On POSIX `mode` is st_mode, `owner` and `group` the user and group ids,
** `changed` the status change time; on Windows `mode` is the attribute word, `hasOwner` 0 and
** `changed` the creation time. */
struct FileFacts {
    uint64_t size;
    uint32_t mode;
    int hasOwner;
    uint32_t owner, group;
    int64_t modified, accessed, changed;
};

/* openStore's answers. */
#define StoreReady        0
#define StoreNotFolder    1     /* a link, a file, anything but a folder */
#define StoreCannotMake   2     /* it could not be made or opened */
#define StoreNotOwned     3     /* another user's folder */
#define StoreOpenToOthers 4     /* group or others may write in it */
#define StoreBadIndex     5     /* the index is not a regular file of the running user's */
#define StoreIndexCannot  6     /* the index cannot be opened (the system's words say why) */
#define StoreMountOpen    7     /* a file system that keeps no modes, mounted so that others
                                ** may write in the folder, or as another user's */
#define StoreReadOnly     8     /* ready, but the index only for reading (`create` 0 only) */

/* createRestored's answers. */
#define RestoreReady       0
#define RestoreTaken       1    /* something of that name is there (a link included) */
#define RestoreNoFolder    2    /* a folder on the way is missing */
#define RestoreLinkOnWay   3    /* a link, or anything but a folder, on the way */
#define RestoreCannot      4    /* anything else: "." or ".." in the path, rights, ... */
#define RestoreUnsupported 5    /* the build cannot put a file back (Windows) */

/* openLog's answers. */
#define LogReady      0
#define LogNotFile    1         /* a link, a FIFO, a folder, a device, a file with two names */
#define LogCannotOpen 2
#define LogNotOwned   3         /* another user's file */
#define LogFolderOpen 4         /* its folder is another user's or open to others' writes */
#define LogLinkOnWay  5         /* a link, or anything but a folder, on the way to it */
#define LogNoDescriptors 6      /* the process or the system has no descriptors left */

#define ReadAtMaxHole 0x40000000u           /* readAt's longest answer for a hole */

#define MaxFixedDrives 32                         /* roots fixedDrives() reports at most */
#define MaxRootPath    260                        /* bytes of one root, NUL included */

/* Entries and files: reading, changing and listing what the scan meets. */
struct PlatformFiles {
    /* Files, for the engine's wrappers. openFile: an existing file, read access, or read and
    ** write when `write` is non-zero; others may read it meanwhile but not write or delete it;
    ** never creates; anything but a regular file fails (on POSIX a symbolic link too);
    ** InvalidFileHandle on any failure.
    ** readFile: bytes read (short at the end and 0 on an error). seekFile: the new position,
    ** or 0xFFFFFFFF when the move is refused (a negative position), the position then kept. */
    FileHandle (*openFile)(const char *path, int write);
    uint32_t (*readFile)(FileHandle file, void *buffer, uint32_t count);
    uint32_t (*seekFile)(FileHandle file, int32_t distance, uint32_t origin);
    int (*closeFile)(FileHandle file);
    /* readAt: up to `count` bytes of `file` from the 64-bit position `offset`, for reading a
    ** file whole whatever its size (the quarantine's copies and digests); the handle's
    ** position afterwards is not said. Answers how many bytes lie there: short at the end, 0
    ** past it or on an error (InHand.failure then set as readFile sets it). Where the system
    ** tells that the bytes at `offset` lie in a hole of a sparse file (SEEK_DATA and SEEK_HOLE
    ** on POSIX; never on Windows), nothing is read: `*hole` is set and the answer is the hole's
    ** length from `offset` up to the next data or the end, at most ReadAtMaxHole, whatever
    ** `count`; `buffer` is untouched. A read of data stops where a hole begins. Otherwise
    ** `*hole` is 0. */
    uint32_t (*readAt)(FileHandle file, void *buffer, uint32_t count, uint64_t offset,
                       int *hole);
    /* Records in InHand the identity of `file`, open for reading as the entry in hand, taken
    ** from the handle (never from the name, which may lead elsewhere by now): every change to
    ** the entry then reaches only that file. Called before the handle is closed, for a file
    ** that may be changed. 0 when the identity cannot be had or `file` is not the entry's
    ** (the entry then takes no change), and always on the 9x family, which keeps none. */
    int (*identifyFile)(FileHandle file);

    /* Heap blocks of undefined content; memAlloc answers null when memory is exhausted,
    ** memFree accepts null. */
    void *(*memAlloc)(uint32_t size);
    void (*memFree)(void *block);

    /* Changing files. getFileAttributes answers InvalidFileAttributes when nothing of that
    ** name exists. copyFile fails when `to` exists. moveFile renames now and fails when `to`
    ** exists. With an entry in hand these act as InHand says; a file with more than one name
    ** (hard links) never has its mode or contents changed on POSIX (setFileAttributes and
    ** openFile for writing fail), while its name may be deleted, read-only or not. */
    uint32_t (*getFileAttributes)(const char *path);
    int (*setFileAttributes)(const char *path, uint32_t attributes);
    int (*copyFile)(const char *from, const char *to);
    int (*deleteFile)(const char *path);
    int (*moveFile)(const char *from, const char *to);
    /* 1 when the listed name `name` is one this program gives a file while it deletes it (on
    ** POSIX the aside name: "<name>" moved to ".krv.<pid>.<random>.del" and removed there) and
    ** the run that gave it, this same program run by this same user, still runs: that run is
    ** removing the file and reports it. 0 for every other name, always on Windows (where a
    ** deletion takes no name of its own). */
    int (*inAnotherRunsHands)(const char *name);

    /* The path of the entry in hand as the system resolves it now, from its listing's open
    ** folder (never from the text it was named by): absolute, without "." or "..", no link in
    ** it, into `out` (`size` bytes). 0 when no entry is in hand, its folder has no path any
    ** more or it does not fit. On Windows the full path of the text (links are not resolved). */
    int (*entryPath)(char *out, uint32_t size);
    /* The identity of the file or folder `path` names, looked up as the caller named it (links
    ** followed): device and inode on POSIX, volume serial number and file index on Windows.
    ** 0 when it cannot be had (the 9x family has none for a folder). */
    int (*fileIdentity)(const char *path, uint64_t *volume, uint64_t *index);

    /* Folder walk. findFirst takes a pattern "<folder>\*.*" and answers the first entry, "."
    ** and ".." included, or InvalidFindHandle; findNext answers 0 at the end. A symbolic link,
    ** junction or mount point carries AttrReparsePoint (plus AttrDirectory when it names a
    ** folder) and a name-surrogate reparse tag, and so does a folder that is, by identity, one
    ** of the folders whose listings are open around it (a bind mount of the tree inside itself).
    ** A pattern whose last part is a plain name instead of "*.*" lists that one entry alone,
    ** without "." and "..": a file named by its path is a listing of one entry. With an entry
    ** in hand the folder listed is that entry, opened through its listing, a link refused. On
    ** POSIX a listed file's read-only bit is not looked up (getFileAttributes has it).
    ** findClose clears the entry in hand when it is one of that listing.
    ** fixedDrives fills `roots` with the root of every fixed drive, in drive order, each with
    ** its trailing separator, and answers how many (at most `max`). */
    /* planReadAhead: from the next listing on, read-ahead fetches of each file what `plan`
    ** (copied) says; until a plan is given, the first page. Nothing to do where the build
    ** fetches nothing ahead (Windows). */
    void (*planReadAhead)(const ReadAheadPlan *plan);
    FindHandle (*findFirst)(const char *pattern, FindRecord *record);
    int (*findNext)(FindHandle find, FindRecord *record);
    int (*findClose)(FindHandle find);
    uint32_t (*fixedDrives)(char (*roots)[MaxRootPath], uint32_t max);
};

/* The system's version, and the work left to the next restart. */
struct PlatformRestart {
    /* Restart-time work. getVersion: the Win32 version word (bit 31 set on the 9x family).
    ** moveFileAtRestart: registers the move of `from` to `to` for the next restart, or the
    ** deletion of `from` when `to` is null; answers the platform's own result (any non-zero
    ** value is success). On the NT family the deletion of the entry in hand first moves the
    ** file, through the handle checked to be it, into a folder of its volume that only
    ** administrators and the system can write (made afresh, or one this program made),
    ** registering the deletion there before the move, so that no junction put on the path
    ** before the restart can redirect it; where no link can exist (NT 4.0, FAT, exFAT), on a
    ** network drive, and where that move is refused, the file's own path is registered.
    ** windowsFolder: the folder of the restart profile file (wininit.ini), without a trailing
    ** separator; 0 when there is none or it does not fit.
    ** writeWholeFile:
    ** creates or truncates `path` and writes `size` bytes; non-zero only when all were written.
    ** shortPath: the short (8.3) form of an existing path; 0 when it has none or it does not
    ** fit (always on POSIX). replaceFile: `from` takes the name `to`, replacing the file there
    ** if there is one; on failure both are left as they were. Where the system has no replacing
    ** move (the 9x family) the old file steps aside as "<to>~" for the moment in between; a
    ** file already under that name is never deleted: the replacement then fails. flushProfile:
    ** writes the system's cached copy of the profile file `path` back to disk (nothing to do
    ** on POSIX). */
    uint32_t (*getVersion)(void);
    int (*systemVersion)(SystemVersion *out);     /* 0 when it cannot be read */
    int (*moveFileAtRestart)(const char *from, const char *to);
    /* deletionPending: non-zero when the deletion of `path` is registered for the next
    ** restart by its name (the NT family's pending operations); 0 otherwise. Null where the
    ** build keeps no such list (POSIX). */
    int (*deletionPending)(const char *path);
    /* waitingAtRestart: calls `each` with the path of every file waiting for its deletion at
    ** the restart in the restart folders of the volume that holds `path`, and with `repair`
    ** set registers that deletion again where it was lost and removes a restart folder that
    ** holds nothing; answers how many. Only folders this program made are read (not a folder
    ** a user made under such a name); what their rights keep the running user from listing
    ** is not named.
    ** Null where the build has no restart folder (POSIX). */
    uint32_t (*waitingAtRestart)(const char *path, int repair,
                                 void (*each)(const char *waiting, void *context), void *context);
    int (*windowsFolder)(char *out, uint32_t size);
    int (*writeWholeFile)(const char *path, const void *data, uint32_t size);
    int (*shortPath)(const char *path, char *out, uint32_t size);
    int (*replaceFile)(const char *from, const char *to);
    int (*flushProfile)(const char *path);
};

/* The bytes of a name hiveAlike gives, NUL included. */
#define HiveNameSize 256

/* hiveOpen's answers. */
#define HiveReady      0
#define HiveNotRegular 1        /* a FIFO, a folder, a device: never read */
#define HiveCannotOpen 2
#define HiveCannotLock 3

/* hiveKeep's answers beside 0 and -1. */
#define HiveLinked  1
#define HiveRenamed 2

/* hivePut's answers. */
#define HivePlaced        0
#define HiveSwappedBefore 1     /* the new file's name led elsewhere before it was put */
#define HiveCannotReplace 2
#define HiveSwappedAfter  3     /* something else took the name at the last moment */

/* The machine-wide Run key, and the hive of a Windows that is not running. */
struct PlatformRegistry {
    /* The machine-wide Run key. regOpenRunKey opens HKLM\Software\Microsoft\Windows\
    ** CurrentVersion\Run with all access when `write` is set, else for reading only (all an
    ** ordinary user may have of it on the NT family); null when it cannot (always on POSIX).
    ** regValueCount and regEnumValue answer non-zero on success; regEnumValue takes the name
    ** buffer's size in *length and leaves the name's length there. */
    void *(*regOpenRunKey)(int write);
    int (*regValueCount)(void *key, uint32_t *count);
    int (*regEnumValue)(void *key, uint32_t index, char *name, uint32_t *length);
    int (*regDeleteValue)(void *key, const char *name);
    void (*regCloseKey)(void *key);
    /* The data of the value `name` as text into `out` (`size` bytes, NUL-terminated, cut to
    ** fit): a string value as it is, any other kind empty; 0 when it cannot be read. */
    int (*regValueText)(void *key, const char *name, char *out, uint32_t size);

#ifndef _WIN32
    /* The registry of a Windows installation that is not running, from its hive file (krvscan
    ** --windows-root; POSIX only): null where the build has no registry library (hivex). The
    ** handles are the backend's own, each given back with hiveClose. Nothing here follows a link
    ** (but hiveFolder of a path the caller named), waits on a FIFO or replaces a file (but
    ** hivePut); a failure leaves the system's cause for lastError.
    ** hiveLoad: loads the registry library, once; 0 with one line in `cause` when it cannot.
    ** hiveFolder: opens the folder `name` inside the open folder `folder`, no link followed;
    ** with `folder` null, the folder `name` as the caller named it. Null on failure.
    ** hiveAlike: how many entries of `folder` are `name` in any letter case (-1 when it cannot
    ** be listed), the first `max` of their names into `found`.
    ** hiveOpen: locks `folder` (alone to `change` the hive, else shared: another run on the
    ** disk finishes first, where the file system has locks) and opens its regular file `name`
    ** for reading into `*hive`. Answers HiveReady, HiveNotRegular, HiveCannotOpen or
    ** HiveCannotLock.
    ** hiveSweep: removes from `folder` what runs that were killed left under names hiveCreate
    ** made with `prefix` (and "<prefix>.<pid>[.<n>]", as earlier versions named them): the
    ** running user's regular files with one name whose maker no longer runs; calls `swept`
    ** with each name and answers how many.
    ** hiveCreate: a new file in `folder`, created exclusively (0600), named `prefix` and a
    ** suffix no one can guess (into `made`, `size` bytes); null on failure.
    ** hiveEdit: runs `work` in a child process (a crafted hive may make the library abort)
    ** with registry entries over the hive `hive`: regOpenRunKey opens its Run key (Microsoft,
    ** Windows, CurrentVersion, Run; a hive without it gives a key without values), for writing
    ** only when `fresh` is given; regDeleteValue writes the whole hive without that value into
    ** `fresh`. What `work` leaves in `answer` (`size` bytes) comes back here. 0, with the
    ** cause in `cause`, when the library cannot open the hive or the child gave no answer.
    ** hiveFinish: gives `fresh` the mode and owner of `hive` and puts it on disk, then looks
    ** whether `name` in `folder` is still `hive`: 1 when it is, 0 when `fresh` could not be
    ** finished, -1 when the name leads elsewhere.
    ** hiveKeep: gives the file at `name`, which must be `hive`, the name `backup` too (a link)
    ** or instead (a rename, where the file system has no links), never replacing anything:
    ** HiveLinked or HiveRenamed; 0 when `backup` is taken; -1 on failure, or when the file
    ** named is not `hive` (then put back as it was).
    ** hivePut: `fresh`, still the file at `freshName`, takes `name`, replacing the hive there,
    ** and must have it afterwards. Otherwise the hive kept by hiveKeep (`kept`, at `backup`)
    ** has its name back, no backup is left, and the answer says why: HivePlaced, or
    ** HiveSwappedBefore, HiveCannotReplace, HiveSwappedAfter.
    ** hiveDiscard: removes `freshName` from `folder` while it is still `fresh`'s file. */
    int (*hiveLoad)(char *cause, uint32_t size);
    void *(*hiveFolder)(void *folder, const char *name);
    int (*hiveAlike)(void *folder, const char *name, char (*found)[HiveNameSize], int max);
    int (*hiveOpen)(void *folder, const char *name, int change, void **hive);
    int (*hiveSweep)(void *folder, const char *prefix, void (*swept)(const char *name, void *context),
                     void *context);
    void *(*hiveCreate)(void *folder, const char *prefix, char *made, uint32_t size);
    int (*hiveEdit)(void *hive, void *fresh, void (*work)(const PlatformRegistry *hive, void *answer),
                    void *answer, uint32_t size, char *cause, uint32_t causeSize);
    int (*hiveFinish)(void *folder, const char *name, void *hive, void *fresh);
    int (*hiveKeep)(void *folder, const char *name, void *hive, const char *backup);
    int (*hivePut)(void *folder, void *fresh, const char *freshName, const char *name,
                   const char *backup, int kept);
    void (*hiveDiscard)(void *folder, void *fresh, const char *freshName);
    void (*hiveClose)(void *handle);
#endif
};

/* Threads, the console, the machine's name and its volumes. */
struct PlatformSystem {
    /* Starts a detached thread at `proc(parameter)`; non-zero when it runs. */
    int (*startThread)(uint32_t (*proc)(void *), void *parameter);

    /* For the console front end. milliseconds: a clock that only moves forward (it wraps
    ** after 49 days). errorIsTerminal: 1 when the standard error stream is a terminal or
    ** console. onInterrupt: from now on Ctrl-C (and on POSIX a termination request or a
    ** hang-up) calls
    ** `handler` instead of ending the process, and a write to a closed pipe fails instead of
    ** ending it; `handler` may run on another thread or in a signal handler. */
    uint32_t (*milliseconds)(void);
    int (*errorIsTerminal)(void);
    void (*onInterrupt)(void (*handler)(void));
    /* The machine's name into `out` (`size` bytes, NUL-terminated, cut to fit); 0 when the
    ** system will not tell, with `out` empty. */
    int (*hostName)(char *out, uint32_t size);
    /* The file system that holds `path` (links followed, as a path named on the command line
    ** is taken): `type` its name as the system gives it ("ext4", "fuseblk", "ntfs3", "vfat";
    ** on Windows "NTFS", "FAT32"), NUL-terminated and cut to `size`; `*readOnly` 1 when it is
    ** mounted read-only. 0 when the system will not tell, with `type` empty and `*readOnly` 0. */
    int (*volumeFacts)(const char *path, char *type, uint32_t size, int *readOnly);
    /* The system's own words for the last call of this thread that failed, for a line that
    ** says why (strerror of errno on POSIX, "error N" with the Win32 error code on Windows),
    ** into `out` (`size` bytes, NUL-terminated, cut to fit); empty when no call failed. */
    void (*lastError)(char *out, uint32_t size);
    /* The identity (as fileIdentity gives it) of the file that standard output (`stream` 1)
    ** or standard error (2) writes to, taken from the handle: 0 when it is no regular file
    ** with one name on a disk (a terminal, a pipe, a console, a file with hard links) or the
    ** system will not tell. */
    int (*streamIdentity)(int stream, uint64_t *volume, uint64_t *index);
};

/* What the program writes of its own: the quarantine, the log, a kept copy put back. */
struct PlatformStore {
    /* The quarantine: a folder of copies outside the scanned tree ("the store"), opened once by
    ** openStore and held for the rest of the run; every other entry here reaches a name inside
    ** it through that hold, never by looking the folder's path up again, and none follows a
    ** link or looks at the entry in hand.
    ** openStore: creates the folder `path` first when `create` is set (only its owner may enter
    ** it: 0700 on POSIX; someone else making it first is no error, the checks decide), then
    ** opens and holds it, without following a link at its name. On POSIX it must be a folder
    ** of the running user's that neither group nor others may write in, as the system shows
    ** it; whether its file system keeps modes at all is tried on a temporary file of its own
    ** (chmod), and where it keeps none (ntfs-3g without "permissions", FAT) the folder's owner
    ** and mode are the mount's, which decide alike, and a copy there is the scanner's own with
    ** any mode that lets no one else write (openStored). Then opens (creating, 0600, when
    ** missing) the index `indexName` inside it for reading and writing: a regular file with one
    ** name, the running user's, at `*index`; without `create`, an existing index that cannot be
    ** written (a read-only mount) is opened for reading only, and the answer is StoreReadOnly.
    ** Answers StoreReady, or the cause: StoreNotFolder, StoreCannotMake, StoreNotOwned,
    ** StoreOpenToOthers, StoreBadIndex, StoreIndexCannot, StoreMountOpen; after a refusal the
    ** folder is removed again when this call made it. The store's identity goes to `volume` and
    ** `inode`.
    ** lockStore: takes (`lock` 1, waiting for another run that has it) or gives back (0) the
    ** store's lock, which serialises the runs that share it: flock on POSIX, LockFile on the
    ** index on Windows. closeStore: the folder is no longer held (nothing to do without one).
    ** createStored: creates in the store, exclusively, a file named `prefix` plus a suffix
    ** no one can guess (on POSIX the process id and random digits), open for reading and
    ** writing, its mode 0400 (the read-only attribute on Windows); O_EXCL|O_NOFOLLOW|O_NONBLOCK,
    ** so nothing planted is written through. Its name goes to `made` (`size` bytes). InvalidFileHandle on failure.
    ** openStored: opens the store's file `name` for reading only when it is the scanner's own:
    ** a regular file with one name, the running user's, mode 0400 (read-only on Windows);
    ** InvalidFileHandle otherwise (missing, a link, a FIFO, someone else's).
    ** placeStored: gives the store's file `from`, which must still be the file `file` holds (by
    ** identity), the name `to`, never replacing anything there, then puts the file's contents
    ** and the folder on disk. removeStored: removes `name` while it is `file`'s.
    ** writeFile: at the handle's position; the bytes written (short on a failure).
    ** writeAt: at the 64-bit position `offset`, the handle's position afterwards not said;
    ** the bytes written (short on a failure). truncateFile: makes the file `size` bytes long,
    ** cut back or grown by a hole. syncFile: puts the file on disk.
    ** fileFacts: the open file's size, mode, owner and times, for the quarantine's index. */
    int (*openStore)(const char *path, int create, const char *indexName, FileHandle *index,
                     uint64_t *volume, uint64_t *inode);
    int (*lockStore)(int lock);
    void (*closeStore)(void);      /* lets the store go (the index is closed by closeFile) */
    FileHandle (*createStored)(const char *prefix, char *made, uint32_t size);
    FileHandle (*openStored)(const char *name);
    int (*placeStored)(FileHandle file, const char *from, const char *to);
    int (*removeStored)(FileHandle file, const char *name);
    /* sweepStore: removes from the store the copies that runs which did not end left half
    ** made (the running user's, their maker no longer running), calling `swept` with each
    ** name; answers how many. Null where the build keeps no such mark (Windows). */
    int (*sweepStore)(void (*swept)(const char *name, void *context), void *context);
    uint32_t (*writeFile)(FileHandle file, const void *buffer, uint32_t count);
    uint32_t (*writeAt)(FileHandle file, const void *buffer, uint32_t count, uint64_t offset);
    int (*truncateFile)(FileHandle file, uint64_t size);
    int (*syncFile)(FileHandle file);
    int (*fileFacts)(FileHandle file, FileFacts *out);

    /* The log: opens `path` for appending, creating it (0600) when missing. On POSIX it must
    ** be a regular file with one name that is not another user's, opened without following a
    ** link or blocking, its folder reached from the root one folder at a time with no link
    ** followed, a folder of the running user's that neither group nor others may write in, or
    ** a sticky folder (such as /tmp) of the running user's or root's when the file is the
    ** running user's; on Windows a file on a disk, not a link. Answers LogReady with the handle
    ** in `*log`, or the cause: LogNotFile, LogCannotOpen, LogNotOwned, LogFolderOpen,
    ** LogLinkOnWay, LogNoDescriptors.
    ** appendLog: writes `size` bytes of a record at the end, whoever else appends. A record may
    ** come in pieces: `more` set says another piece follows. The record goes in under a lock
    ** that every run appending to the log takes, so that no other run's lines come between its
    ** pieces; on POSIX a record that cannot be written whole is cut back off, and a part of a
    ** line that a run which died left at the end is removed before the record goes in; on
    ** Windows each "\n" goes in as "\r\n", as lines end in a text file there. Non-zero when
    ** the piece was written (a failed piece ends the record). */
    int (*openLog)(const char *path, FileHandle *log);
    int (*appendLog)(FileHandle log, const void *data, uint32_t size, int more);

    /* Putting a kept copy back (krvscan --restore).
    ** createRestored: makes ready the file `path`, reaching its folder one folder at a time
    ** from the root (from the working folder for a relative path), each opened without
    ** following a link, so that no link anywhere in the path is gone through; "." and ".."
    ** are refused. Nothing may have the name yet. The file is written under a temporary name
    ** of its own in that folder (created exclusively, mode 0600) and takes its name only in
    ** finishRestored: whatever ends the run, the name holds nothing or the whole file. Answers
    ** RestoreReady with the handle in `*file`, or the cause: RestoreTaken, RestoreNoFolder,
    ** RestoreLinkOnWay, RestoreCannot; RestoreUnsupported where the build cannot restore, for
    ** any `path` (null included). The folder stays open until finishRestored.
    ** finishRestored: with `keep`, gives the file the owner and group, the permission bits of
    ** the mode and the times (modified, accessed) of `facts`, puts it on disk, gives it its
    ** name without replacing anything that took the name meanwhile, and puts the folder on
    ** disk; without `keep`, or when any of that fails, removes the temporary name while it is
    ** still that file's. Closes the file either way; non-zero only when the file has its name
    ** with all of it.
    ** sweepRestored: removes from the folder of `path` the temporaries that restores which did
    ** not end left there (the running user's, their maker no longer running), calling `swept`
    ** with each name; answers how many. Null where the build cannot restore. */
    int (*createRestored)(const char *path, FileHandle *file);
    int (*finishRestored)(FileHandle file, const FileFacts *facts, int keep);
    int (*sweepRestored)(const char *path, void (*swept)(const char *name, void *context),
                         void *context);
    /* restoreRoot: from now on a relative path given to createRestored, openRestored and
    ** sweepRestored is taken below the folder `folder` (opened now and held, one folder at a
    ** time with no link followed; "." and ".." in the relative path stay refused, so nothing
    ** leads out of it) instead of the working folder; null lets it go. 0 when it cannot be
    ** opened (the system's words say why). Null where the build cannot restore.
    ** openRestored: the regular file already at `path`, reached as createRestored reaches its
    ** folder, opened for reading (to compare with the copy); InvalidFileHandle when there is
    ** none, a link or anything but a regular file. Null where the build cannot restore. */
    int (*restoreRoot)(const char *folder);
    FileHandle (*openRestored)(const char *path);
};

/* The rules-level table, one part per concern. Each entry's promise is above it. */
struct PlatformOps {
    PlatformFiles files;
    PlatformRestart restart;
    PlatformRegistry registry;
    PlatformSystem system;
    PlatformStore store;
};

/* The build's real operations (Win32 or POSIX), filled by name in the backend. Constant: tests
** that need a real entry beside their own take it from here. */
extern const PlatformOps PlatformDefaults;

/* The table every core module calls through; starts as PlatformDefaults. */
extern PlatformOps Platform;

/* Puts every entry of Platform back to PlatformDefaults. */
void PlatformRestore(void);

/* 1 when `versionWord` (getVersion's answer) is the Windows 9x family's, 0 for the NT family:
** bit 31 alone decides, the version numbers in the other bits play no part. */
#define VersionWord9xFamily 0x80000000u
int Is9xFamily(uint32_t versionWord);

/* Lets the process hold as many open files as the system allows it: on POSIX the soft limit
** raised to the hard one, since a walk holds one per folder level; nothing on Windows. For the
** front ends, once at the start. */
void PlatformRaiseFileLimit(void);

/* For a path named on a command line, followed as `find -H` follows it: when `path` (trailing
** separators aside) is itself a symbolic link (on Windows a link or junction, where the system
** can tell where it leads: Vista and later), puts the path it leads to in the end, every link
** on the way resolved, into `out` (`size` bytes) and answers 1; 0 when it is not a link (or the
** system cannot tell); -1 when it is a link whose target cannot be reached or does not fit. */
int PlatformFollowLink(const char *path, char *out, uint32_t size);

/* Path separator of the build: '\\' on Windows, '/' on POSIX. */
extern const char PathSeparator;

#endif
