/*
** krvscan's command line: what was asked, as one record, read and checked before the scan.
*/
#ifndef KRV_KRVSCAN_OPTIONS_H
#define KRV_KRVSCAN_OPTIONS_H

#include "platform/platform.h"

#define Version "1.1"
#define MaxPatterns 64     /* --exclude and --exclude-dir, each */
#define MaxFileLists 16    /* --file-list */

/* On POSIX a name is any bytes but "/" and NUL; on Windows it comes in the ANSI code page, and
** "/?" asks for help. */
#define NamesAreBytes (PathSeparator == '/')

/* The command line, as ParseArguments read it and CheckOptions completed it. */
struct Options {
    /* What to scan: each PATH (a link followed: where it leads), from the command line and
    ** the --file-list lists, --windows-root DIR when no PATH was given, or every fixed drive.
    ** The three arrays grow together (AddPath), `pathRoom` entries each: a list has no limit. */
    const char **paths;
    int pathCount, pathRoom;
    const char **linkNamed;            /* a PATH that was a link, as named; null for the others */
    char (*fileSystems)[24];           /* each path's file system, for the report */
    int allFixedDrives, clean, reportOnly, json, verbose;
    int quiet, noSummary, crossFs;     /* --quiet, --no-summary, --cross-fs */
    const char *fileLists[MaxFileLists];   /* --file-list FILE ("-": standard input) */
    int fileListCount, fileListNul;        /* -0: the lists' paths end with NUL, not a line end */
    const char *excludeFiles[MaxPatterns];     /* --exclude PATTERN */
    const char *excludeFolders[MaxPatterns];   /* --exclude-dir PATTERN */
    int excludeFileCount, excludeFolderCount;
    const char *windowsRoot;           /* --windows-root DIR */
    int hibernated;                    /* the Windows under it resumes from hibernation */
    const char *quarantine;            /* --quarantine DIR */
    const char *restoreFolder;         /* --restore DIR: the PATHs are the IDs */
    const char *restoreRoot;           /* --restore-root DIR: where relative paths lie below */
    const char *logPath;               /* --log FILE */
    FileHandle logFile;                /* that file, opened for appending; null without */
    int argCount;                      /* the command line, for the log's header */
    char **args;
};
extern Options Opts;

/* "krvscan: what: cause" on standard error; answers 2, the status of a scan that could not
** start. No printf family in what krvscan.exe is built from (the native-only hiberfil.cpp
** and the POSIX backend use snprintf): in the Windows build it would bring a formatter
** of its own, with imports that Windows 98 and NT 4.0 do not all have, and double its size. */
int Fail(const char *cause, const char *what);

/* Appends `path` to Opts.paths, the arrays grown when full. Answers 0, or 2 after one line on
** standard error when memory ran out. */
int AddPath(const char *path);

/* Reads the command line into Opts. Answers -1 to go on, or the exit status when it has
** answered itself (--help, --version) or the command line is wrong. */
int ParseArguments(int argc, char **argv);

/* Everything that can be checked before the scan starts: the options agree, every target
** (the --file-list lists read into it) exists and can be read, a change can land on its volume, the quarantine folder and the log
** are safe to use (both opened). Answers 0, or 2 after one line on standard error. */
int CheckOptions(void);

#endif
