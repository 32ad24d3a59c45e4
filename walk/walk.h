/*
** The scan worker and the folder walk. All path work happens in ScanPath: each level appends
** entry names at its own cut point and cuts the path back when done.
*/
#ifndef KRV_WALK_H
#define KRV_WALK_H

#include <stdint.h>

/* What the console scanner asks of the walk beyond the dialog's: entries to pass over. */
#define MaxOwnEntries 8
struct OwnEntry {
    uint64_t volume, index;   /* a file's or folder's identity, as fileIdentity gives it */
    const char *said;         /* a notice when the walk meets it (ShowNotice); null: silence */
};
struct WalkRules {
    /* Shell patterns (MatchGlob; GlobWindows on Windows) on an entry's name, or on its path
    ** when they hold a separator ("/", on Windows also "\"): a file or a folder that matches
    ** is neither scanned nor, a folder, entered; `excluded` is told of each, once. */
    const char *const *excludeFiles;
    int excludeFileCount;
    const char *const *excludeFolders;
    int excludeFolderCount;
    void (*excluded)(const char *path);
    /* The program's own outputs (its log, the files standard output and error write to, the
    ** quarantine folder), known by identity: passed over, counted nowhere, said when `said`
    ** is set. A PATH given that is one of them, or matches a pattern, is passed over too. */
    OwnEntry own[MaxOwnEntries];
    int ownCount;
};

/* The rules of the scan; null: none. Written by krvscan's RunScan before the scan; read by
** the scanning thread. */
extern const WalkRules *ScanRules;

/* Worker entry: scans TargetPath (or all fixed drives when it is empty), shows the target
** again and, unless ScanState is already Idle, calls ShowScanReport. The parameter is unused;
** answers 0. */
uint32_t ScanThreadProc(void *parameter);

/* Resets the counters, sets ScanContinue to 1 and walks the root of every fixed drive. */
void ScanAllFixedDrives(void);

/* Sets ScanContinue to 1, copies `folder` into ScanPath, resets the counters and walks it.
** A folder that does not fit in ScanPath is counted as entered and not walked. */
void ScanSelectedFolder(const char *folder);

/* Resets the counters and takes each of the `count` paths in turn while the scan may go on
** (the caller sets ScanContinue to 1 beforehand, so that a stop asked for before the walk
** begins holds): a folder is walked as ScanSelectedFolder walks it, anything else goes to
** ProcessFile as one file, the entry in hand of a listing of that one entry. A path that does
** not fit in ScanPath, or whose folder cannot be listed, counts as a file that cannot be
** opened. Each file is scanned once: a path that is, by identity, one given before it, or that
** lies in a folder given (where the walk of that folder reaches it), is left to that; beyond
** the first 256 paths, one of those 256 (a list from find names its root first). With
** ScanRules, a path excluded or one of the program's own is passed over as the walk passes
** such an entry over. */
void ScanGivenPaths(const char *const *paths, int count);

/* Walks the folder in ScanPath depth-first, handing every file to ProcessFile. Folders that
** are reparse points (links, junctions, mount points) are not entered, "." and ".." never;
** files that are links (a name-surrogate reparse tag) are passed over, other reparse-point
** files scanned. An entry whose path the system cannot take (PlatformMaxPath, within which the
** pattern "\*.*" must fit for a folder) is reported: a file as a file that cannot be opened
** (ProcessUnreachableFile), a folder as any folder that cannot be listed: counted in `folders`
** and shown with ShowTarget, without a row. Each entry is the entry in hand (InHand) while it
** is dealt with, and no longer. On return ScanPath holds the folder's path with its trailing
** separator, and no entry is in hand. */
void ScanFolder(void);

#endif
