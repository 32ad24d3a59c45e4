/*
** The one table through which the core reaches the operating system.
**
** Every operation that the detection engine, the scan driver, the disinfection workflow and
** the Run-key cleanup need from the platform is a pointer in `Platform`. The defaults are the
** real calls of the build (Win32 ANSI on Windows, POSIX elsewhere). Tests replace single
** entries to cause failures that cannot be caused for real, and call PlatformRestore() after.
** Nothing outside platform/ includes a system header of its own.
**
** Results follow the Win32 habit the core is written against: non-zero for success and 0 for
** failure, unless an entry says otherwise.
**
** Paths on POSIX: while a folder listing is open (findFirst until findClose), openFile opens a
** plain name of that folder relative to the innermost open listing, without looking the
** folder's path up again; other paths are looked up whole.
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

#define MaxFixedDrives 32                         /* roots fixedDrives() reports at most */
#define MaxRootPath    260                        /* bytes of one root, NUL included */

struct PlatformOps {
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

    /* Heap blocks of undefined content; memAlloc answers null when memory is exhausted,
    ** memFree accepts null. */
    void *(*memAlloc)(uint32_t size);
    void (*memFree)(void *block);

    /* Changing files. getFileAttributes answers InvalidFileAttributes when nothing of that
    ** name exists. copyFile fails when `to` exists. moveFile renames now and fails when `to`
    ** exists. On POSIX, a path naming an entry of the folder being listed is reached through
    ** that open folder, links not followed, and such an entry is changed (setFileAttributes,
    ** openFile for writing, copyFile's source, moveFile's source, deleteFile) only while it is
    ** still the file openFile opened for reading under that name for the same entry; otherwise
    ** the operation fails. */
    uint32_t (*getFileAttributes)(const char *path);
    int (*setFileAttributes)(const char *path, uint32_t attributes);
    int (*copyFile)(const char *from, const char *to);
    int (*deleteFile)(const char *path);
    int (*moveFile)(const char *from, const char *to);

    /* Restart-time work. getVersion: the Win32 version word (bit 31 set on the 9x family).
    ** moveFileAtRestart: registers the move of `from` to `to` for the next restart, or the
    ** deletion of `from` when `to` is null; answers the platform's own result (any non-zero
    ** value is success). windowsFolder: the folder of the restart profile file (wininit.ini),
    ** without a trailing separator; 0 when there is none or it does not fit. writeWholeFile:
    ** creates or truncates `path` and writes `size` bytes; non-zero only when all were written.
    ** shortPath: the short (8.3) form of an existing path; 0 when it has none or it does not
    ** fit (always on POSIX). replaceFile: `from` takes the name `to`, replacing the file there
    ** if there is one; on failure both are left as they were. Where the system has no replacing
    ** move (the 9x family) the old file steps aside as "<to>~" for the moment in between. */
    uint32_t (*getVersion)(void);
    int (*moveFileAtRestart)(const char *from, const char *to);
    int (*windowsFolder)(char *out, uint32_t size);
    int (*writeWholeFile)(const char *path, const void *data, uint32_t size);
    int (*shortPath)(const char *path, char *out, uint32_t size);
    int (*replaceFile)(const char *from, const char *to);

    /* Folder walk. findFirst takes a pattern "<folder>\*.*" and answers the first entry, "."
    ** and ".." included, or InvalidFindHandle; findNext answers 0 at the end. A symbolic link,
    ** junction or mount point carries AttrReparsePoint (plus AttrDirectory when it names a
    ** folder) and a name-surrogate reparse tag. On POSIX a listed file's read-only bit is not looked up (getFileAttributes has it).
    ** fixedDrives fills `roots` with the root of every fixed drive, in drive order, each with
    ** its trailing separator, and answers how many (at most `max`). */
    FindHandle (*findFirst)(const char *pattern, FindRecord *record);
    int (*findNext)(FindHandle find, FindRecord *record);
    int (*findClose)(FindHandle find);
    uint32_t (*fixedDrives)(char (*roots)[MaxRootPath], uint32_t max);

    /* The machine-wide Run key. regOpenRunKey opens HKLM\Software\Microsoft\Windows\
    ** CurrentVersion\Run with all access, null when it cannot (always on POSIX).
    ** regValueCount and regEnumValue answer non-zero on success; regEnumValue takes the name
    ** buffer's size in *length and leaves the name's length there. */
    void *(*regOpenRunKey)(void);
    int (*regValueCount)(void *key, uint32_t *count);
    int (*regEnumValue)(void *key, uint32_t index, char *name, uint32_t *length);
    int (*regDeleteValue)(void *key, const char *name);
    void (*regCloseKey)(void *key);

    /* Starts a detached thread at `proc(parameter)`; non-zero when it runs. */
    int (*startThread)(uint32_t (*proc)(void *), void *parameter);

    /* For the console front end. milliseconds: a clock that only moves forward (it wraps
    ** after 49 days). errorIsTerminal: 1 when the standard error stream is a terminal or
    ** console. onInterrupt: from now on Ctrl-C (and on POSIX a termination request) calls
    ** `handler` instead of ending the process, and a write to a closed pipe fails instead of
    ** ending it; `handler` may run on another thread or in a signal handler. */
    uint32_t (*milliseconds)(void);
    int (*errorIsTerminal)(void);
    void (*onInterrupt)(void (*handler)(void));
    /* The machine's name into `out` (`size` bytes, NUL-terminated, cut to fit); 0 when the
    ** system will not tell, with `out` empty. */
    int (*hostName)(char *out, uint32_t size);
};

/* The build's real operations (Win32 or POSIX), filled by name in the backend. Constant: tests
** that need a real entry beside their own take it from here. */
extern const PlatformOps PlatformDefaults;

/* The table every core module calls through; starts as PlatformDefaults. */
extern PlatformOps Platform;

/* Puts every entry of Platform back to PlatformDefaults. */
void PlatformRestore(void);

/* Path separator of the build: '\\' on Windows, '/' on POSIX. */
extern const char PathSeparator;

#endif
