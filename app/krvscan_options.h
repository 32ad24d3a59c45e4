/*
** krvscan's command line: what was asked, as one record, read and checked before the scan.
*/
#ifndef KRV_KRVSCAN_OPTIONS_H
#define KRV_KRVSCAN_OPTIONS_H

#include "platform/platform.h"

#define Version "1.1"
#define MaxPaths 256

/* On POSIX a name is any bytes but "/" and NUL; on Windows it comes in the ANSI code page, and
** "/?" asks for help. */
#define NamesAreBytes (PathSeparator == '/')

/* The command line, as ParseArguments read it and CheckOptions completed it. */
struct Options {
    /* What to scan: each PATH (a link followed: where it leads), --windows-root DIR when no
    ** PATH was given, or every fixed drive. */
    const char *paths[MaxPaths];
    int pathCount;
    const char *linkNamed[MaxPaths];   /* a PATH that was a link, as named; null for the others */
    char fileSystems[MaxPaths][24];    /* each path's file system, for the report */
    int allFixedDrives, clean, reportOnly, json, verbose;
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

/* Reads the command line into Opts. Answers -1 to go on, or the exit status when it has
** answered itself (--help, --version) or the command line is wrong. */
int ParseArguments(int argc, char **argv);

/* Everything that can be checked before the scan starts: the options agree, every target
** exists and can be read, a change can land on its volume, the quarantine folder and the log
** are safe to use (both opened). Answers 0, or 2 after one line on standard error. */
int CheckOptions(void);

#endif
