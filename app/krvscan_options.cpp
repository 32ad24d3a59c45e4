/*
** krvscan's command line: the options record, read (ParseArguments) and checked against each
** other and against the system (CheckOptions) before anything is scanned or changed.
*/
#include "app/krvscan_options.h"

#include "base/text.h"
#include "disinfect/quarantine.h"
#include "disinfect/workflow.h"
#include "platform/platform.h"
#ifdef KRV_HAVE_HIVEX
#include "app/hiberfil.h"
#endif

#include <stdio.h>
#include <string.h>

Options Opts;

/* The listing of options, in two parts around the help line: "/?" is a path on POSIX. */
static const char Usage[] =
    "usage: krvscan [options] PATH...\n"
    "       krvscan [options] --all-fixed-drives\n"
    "       krvscan [--json] --restore DIR [--restore-root ROOT] [ID...]\n"
    "Scans each PATH (a folder with everything below it, or one file) for "
    "Win32.Worm.Tamsel.A\n"
    "and prints one row per event, then the scan report. Nothing is changed unless --clean.\n"
    "A PATH that is a link is followed (as find -H does) and where it leads is named; links\n"
    "inside the walk are not followed.\n"
    "  --all-fixed-drives   scan every fixed drive instead of PATHs\n"
    "  --clean              remove what is found: delete infected files (a locked one at\n"
    "                       the next restart) and the worm's autostart value\n"
    "  --quarantine DIR     with --clean: before an infected file is changed, keep a copy of\n"
    "                       it in DIR (named by its SHA-256, listed in DIR/index.jsonl);\n"
    "                       a file that cannot be copied is left. DIR must lie outside\n"
    "                       every PATH, be yours and not writable by group or others\n"
    "  --restore DIR        put back what the quarantine DIR keeps, instead of scanning:\n"
    "                       each ID is a copy's SHA-256 (or a unique prefix) or its\n"
    "                       original path; no ID: every copy in DIR/index.jsonl. A file\n"
    "                       is made only where nothing is, never through a link, with\n"
    "                       its owner, mode and times; the copy stays. Takes no PATHs\n"
    "                       and no other option but --json and --restore-root\n"
    "  --restore-root DIR   with --restore: a path an older index kept relative to the\n"
    "                       folder its scan ran in is put back below DIR (no link\n"
    "                       followed, nothing leads out of DIR)\n"
    "  --report-only        find and report only (the default)\n"
    "  --json               JSON Lines: one JSON object per line, each row, then the report\n"
    "  --verbose            also name on standard error each link that was not followed\n"
    "  --log FILE           append a header line (time, host, version, command line), every\n"
    "                       row and the report to FILE (a regular file, not a link or\n"
    "                       FIFO, not another user's, in a folder others cannot write in)\n"
    "  --windows-root DIR   DIR holds a Windows installation that is not running: look for\n"
    "                       the worm's autostart value in its SOFTWARE hive (with --clean\n"
    "                       removed there); with no PATH, DIR is scanned\n"
    ;
static const char UsageTail[] =
    "  --version            show the version\n"
    "With --clean nothing starts on a read-only file system, nor under --windows-root on\n"
    "a Windows that was hibernated or shut down by Fast Startup.\n"
    "Exit status: 0 everything was scanned and nothing found; 1 found (with --clean: and\n"
    "all of it removed); 2 the scan could not start or did not run to its end; 3 with\n"
    "--clean, something found is still there (unable to clean, or waiting for a restart);\n"
    "4 part of what was asked could not be scanned (each part named on standard error).\n"
    "2 comes before 3, 3 before 4, 4 before 1. --restore: 0 all restored; 3 some could\n"
    "not be (each named on standard error); 2 nothing could start.\n";

static const char VersionText[] = "krvscan " Version " (Korvane Tamsel Removal Tool)\n";

/* Where a PATH that is a link now leads (FollowGivenLinks); Opts.paths[i] points here. */
static char linkTarget[MaxPaths][PlatformPathSize];

int Fail(const char *cause, const char *what)
{
    fputs("krvscan: ", stderr);
    if (what) {
        fputs(what, stderr);
        fputs(": ", stderr);
    }
    fputs(cause, stderr);
    fputc('\n', stderr);
    return 2;
}

/* A target must exist and be readable before anything starts: a mistyped path is an error, not
** a clean result. */
static int CheckTarget(const char *path)
{
    if (!path[0] || strlen(path) + 5 > PlatformMaxPath)
        return Fail(path[0] ? "path too long" : "empty path", path);
    uint32_t attributes = Platform.files.getFileAttributes(path);
    if (attributes == InvalidFileAttributes)
        return Fail("no such file or folder", path);
    if (attributes & AttrDirectory) {
        char pattern[PlatformMaxPath];
        char separator[2] = {PathSeparator, 0};
        CopyText(pattern, sizeof pattern, path);
        if (pattern[strlen(pattern) - 1] != PathSeparator)
            AppendText(pattern, sizeof pattern, separator);
        AppendText(pattern, sizeof pattern, "*.*");
        FindRecord record;
        FindHandle find = Platform.files.findFirst(pattern, &record);
        if (find == InvalidFindHandle)
            return Fail("folder cannot be read", path);
        Platform.files.findClose(find);
        return 0;
    }
    FileHandle file = Platform.files.openFile(path, 0);
    if (file == InvalidFileHandle)
        return Fail("file cannot be read", path);
    Platform.files.closeFile(file);
    return 0;
}

/* A PATH that is a link is followed, as `find -H` does: the administrator named it. Its target
** takes its place, so that the rows name the real path and everything done is done there;
** links met inside the walk are still never followed. Answers 0, or 2 after one line. */
static int FollowGivenLinks(void)
{
    for (int i = 0; i < Opts.pathCount; i++) {
        int link = PlatformFollowLink(Opts.paths[i], linkTarget[i], sizeof linkTarget[i]);
        if (link < 0)
            return Fail("a link whose target cannot be reached", Opts.paths[i]);
        if (link > 0) {
            Opts.linkNamed[i] = Opts.paths[i];
            Opts.paths[i] = linkTarget[i];
        }
    }
    return 0;
}


/* The file system of every path, and whether a change can land there: with --clean, nothing
** starts on a read-only one (a rescue system mounts a hibernated Windows volume so), nor on a
** Windows that will resume from hibernation or Fast Startup, which would lose or corrupt the
** change when it resumes. Answers 0, or 2 after one line on standard error. */
static int CheckVolumes(void)
{
    const char *readOnlyPath = nullptr;
    for (int i = 0; i < Opts.pathCount; i++) {
        int readOnly;
        Platform.system.volumeFacts(Opts.paths[i], Opts.fileSystems[i], sizeof Opts.fileSystems[i],
                             &readOnly);
        if (readOnly && !readOnlyPath)
            readOnlyPath = Opts.paths[i];
    }
#ifdef KRV_HAVE_HIVEX
    /* Before the read-only mount: a hibernated Windows is what makes ntfs-3g mount it so, and
    ** the advice to mount it read-write would damage the volume. */
    if (Opts.windowsRoot) {
        char signature[700];
        int resumes = WindowsHibernated(Opts.windowsRoot, signature, sizeof signature);
        if (resumes > 0 && Opts.clean) {
            fputs("krvscan: ", stderr);
            fputs(Opts.windowsRoot, stderr);
            fputs(": Windows on this disk was hibernated or shut down by Fast Startup (hiberfil.sys "
                  "begins with \"", stderr);
            fputs(signature, stderr);
            fputs("\"): a change made now is lost when it resumes; nothing was changed. Start "
                  "Windows and shut it down fully (shutdown /s /t 0, or turn Fast Startup off), "
                  "then clean\n", stderr);
            return 2;
        }
        if (resumes < 0 && Opts.clean)
            return Fail("hiberfil.sys cannot be read, so it cannot be told whether Windows "
                        "resumes from it; nothing was changed", Opts.windowsRoot);
        Opts.hibernated = resumes > 0;
    }
#endif
    if (Opts.clean && readOnlyPath)
        return Fail("read-only file system: nothing can be removed; mount it read-write, or "
                    "scan without --clean", readOnlyPath);
    return 0;
}

int ParseArguments(int argc, char **argv)
{
    Opts.argCount = argc;
    Opts.args = argv;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "-h") || !strcmp(a, "--help") || (!NamesAreBytes && !strcmp(a, "/?"))) {
            fputs(Usage, stdout);
            fputs(NamesAreBytes ? "  -h, --help           show this text\n"
                                : "  -h, --help, /?       show this text\n", stdout);
            fputs(UsageTail, stdout);
            return fflush(stdout) == 0 ? 0 : 2;
        } else if (!strcmp(a, "--version")) {
            fputs(VersionText, stdout);
            return fflush(stdout) == 0 ? 0 : 2;
        } else if (!strcmp(a, "--all-fixed-drives")) {
            Opts.allFixedDrives = 1;
        } else if (!strcmp(a, "--clean")) {
            Opts.clean = 1;
        } else if (!strcmp(a, "--report-only")) {
            Opts.reportOnly = 1;
        } else if (!strcmp(a, "--json")) {
            Opts.json = 1;
        } else if (!strcmp(a, "--verbose")) {
            Opts.verbose = 1;
        } else if (!strcmp(a, "--log")) {
            if (++i == argc)
                return Fail("needs a file", "--log");
            Opts.logPath = argv[i];
        } else if (!strcmp(a, "--restore")) {
            if (++i == argc)
                return Fail("needs a folder", "--restore");
            Opts.restoreFolder = argv[i];
        } else if (!strcmp(a, "--restore-root") || !strncmp(a, "--restore-root=", 15)) {
            if (!a[14] && ++i == argc)
                return Fail("needs a folder", "--restore-root");
            Opts.restoreRoot = a[14] ? a + 15 : argv[i];
            if (!*Opts.restoreRoot)
                return Fail("needs a folder", "--restore-root");
        } else if (!strcmp(a, "--quarantine")) {
            if (++i == argc)
                return Fail("needs a folder", "--quarantine");
            Opts.quarantine = argv[i];
        } else if (!strcmp(a, "--windows-root")) {
            if (++i == argc)
                return Fail("needs a folder", "--windows-root");
            Opts.windowsRoot = argv[i];
        } else if (!strcmp(a, "--")) {
            for (i++; i < argc && Opts.pathCount < MaxPaths; i++)
                Opts.paths[Opts.pathCount++] = argv[i];
            if (i < argc)
                return Fail("too many paths", nullptr);
        } else if (a[0] == '-' && a[1]) {
            return Fail("unknown option (krvscan --help lists the options)", a);
        } else if (Opts.pathCount < MaxPaths) {
            Opts.paths[Opts.pathCount++] = a;
        } else {
            return Fail("too many paths", nullptr);
        }
    }
    return -1;
}

int CheckOptions(void)
{
    if (Opts.windowsRoot && Opts.pathCount == 0 && !Opts.allFixedDrives)
        Opts.paths[Opts.pathCount++] = Opts.windowsRoot;
    if (Opts.pathCount == 0 && !Opts.allFixedDrives) {
        return Fail("nothing to scan: give PATHs or --all-fixed-drives (krvscan --help lists "
                    "the options)", nullptr);
    }
    if (Opts.pathCount && Opts.allFixedDrives)
        return Fail("give PATHs or --all-fixed-drives, not both", nullptr);
    if (Opts.clean && Opts.reportOnly)
        return Fail("give --clean or --report-only, not both", nullptr);
    if (Opts.quarantine && !Opts.clean)
        return Fail("needs --clean (krvscan --help lists the options)", "--quarantine");
    if (Opts.restoreRoot)
        return Fail("needs --restore (krvscan --help lists the options)", "--restore-root");
    Opts.reportOnly = !Opts.clean;
    if (FollowGivenLinks())
        return 2;
    for (int i = 0; i < Opts.pathCount; i++)
        if (CheckTarget(Opts.paths[i]))
            return 2;
    if (Opts.allFixedDrives) {
        static char roots[MaxFixedDrives][MaxRootPath];
        uint32_t count = Platform.files.fixedDrives(roots, MaxFixedDrives);
        for (uint32_t i = 0; i < count && i < MaxFixedDrives; i++) {
            roots[i][MaxRootPath - 1] = 0;
            Opts.paths[Opts.pathCount++] = roots[i];
        }
    }
    if (CheckVolumes())
        return 2;
    if (Opts.quarantine) {
        const char *refused = QuarantineOpen(Opts.quarantine, Opts.paths, Opts.pathCount);
        if (refused)
            return Fail(refused, Opts.quarantine);
    }
    if (Opts.logPath) {
        static const char *const LogCauses[] = {
            "cannot be opened for appending",
            "must be a regular file with one name, not a link, FIFO, device or folder",
            "cannot be opened for appending",
            "belongs to another user",
            "lies in a folder of another user's or one that others may write in (a sticky "
            "folder counts only when it is yours or root's)",
            "has a link (or anything but a folder) on its way: name it by its real path",
            "cannot be opened for appending: too many open files",
        };
        FileHandle log = InvalidFileHandle;
        int cause = Platform.store.openLog(Opts.logPath, &log);
        if (cause != LogReady)
            return Fail(LogCauses[cause > 0 && cause <= LogNoDescriptors ? cause : 0],
                        Opts.logPath);
        Opts.logFile = log;
    }
    return 0;
}
