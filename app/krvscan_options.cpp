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
    "                       a file that cannot be copied is left. DIR must be yours, not\n"
    "                       writable by group or others, and hold no PATH\n"
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
    "  -q, --quiet          only the rows and the errors\n"
    "  --no-summary         no scan report\n"
    "  --verbose            also name on standard error each link that was not followed\n"
    "  -l, --log FILE       append a header line (time, host, version, command line), every\n"
    "                       row and the report to FILE (a regular file, not a link or\n"
    "                       FIFO, not another user's, in a folder others cannot write in)\n"
    "  --file-list FILE     also scan the paths in FILE, one a line (-: stdin)\n"
    "  -0, --file-list0     the paths in the lists end with NUL\n"
    "  --exclude PATTERN    skip the files whose name (path, if PATTERN has a separator)\n"
    "                       matches the shell pattern\n"
    "  --exclude-dir PATTERN  the same for folders\n"
    "  --cross-fs           enter the mount points below a PATH\n"
    "  -r, --recursive      accepted: folders are always walked\n"
    "  --windows-root DIR   DIR holds a Windows installation that is not running: look for\n"
    "                       the worm's autostart value in its SOFTWARE hive (with --clean\n"
    "                       removed there); with no PATH, DIR is scanned\n"
    ;
static const char UsageTail[] =
    "  -V, --version        show the version\n"
    "A value may follow \"=\": --log=FILE.\n"
    "With --clean nothing starts on a read-only file system, nor under --windows-root on\n"
    "a Windows that was hibernated or shut down by Fast Startup.\n"
    "Exit status: 0 everything was scanned and nothing found; 1 found (with --clean: and\n"
    "all of it removed); 2 the scan could not start or did not run to its end; 3 with\n"
    "--clean, something found is still there (unable to clean, or waiting for a restart);\n"
    "4 part of what was asked could not be scanned (each part named on standard error).\n"
    "2 comes before 3, 3 before 4, 4 before 1. --restore: 0 all restored; 3 some could\n"
    "not be (each named on standard error); 2 nothing could start.\n";

static const char VersionText[] = "krvscan " Version " (Korvane Tamsel Removal Tool)\n";


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
    static char target[PlatformPathSize];
    for (int i = 0; i < Opts.pathCount; i++) {
        int link = PlatformFollowLink(Opts.paths[i], target, sizeof target);
        if (link < 0)
            return Fail("a link whose target cannot be reached", Opts.paths[i]);
        if (link > 0) {
            char *kept = (char *)Platform.files.memAlloc((uint32_t)strlen(target) + 1);
            if (!kept)
                return Fail("out of memory", Opts.paths[i]);
            CopyText(kept, (uint32_t)strlen(target) + 1, target);
            Opts.linkNamed[i] = Opts.paths[i];
            Opts.paths[i] = kept;
        }
    }
    return 0;
}

/* Makes room for `room` paths in the three arrays, keeping what they hold. */
static int GrowPaths(int room)
{
    uint32_t each = sizeof *Opts.paths + sizeof *Opts.linkNamed + sizeof *Opts.fileSystems;
    if (room <= 0 || (uint32_t)room > 0x7FFFFFFFu / each)
        return 0;
    const char **paths = (const char **)Platform.files.memAlloc(room * (uint32_t)sizeof *paths);
    const char **named = (const char **)Platform.files.memAlloc(room * (uint32_t)sizeof *named);
    char(*systems)[24] = (char(*)[24])Platform.files.memAlloc(room * (uint32_t)sizeof *systems);
    if (!paths || !named || !systems) {
        Platform.files.memFree(paths);
        Platform.files.memFree(named);
        Platform.files.memFree(systems);
        return 0;
    }
    for (int i = 0; i < Opts.pathCount; i++) {
        paths[i] = Opts.paths[i];
        named[i] = Opts.linkNamed[i];
        memcpy(systems[i], Opts.fileSystems[i], sizeof systems[i]);
    }
    Platform.files.memFree(Opts.paths);
    Platform.files.memFree(Opts.linkNamed);
    Platform.files.memFree(Opts.fileSystems);
    Opts.paths = paths;
    Opts.linkNamed = named;
    Opts.fileSystems = systems;
    Opts.pathRoom = room;
    return 1;
}

int AddPath(const char *path)
{
    if (Opts.pathCount == Opts.pathRoom && !GrowPaths(Opts.pathRoom ? 2 * Opts.pathRoom : 64))
        return Fail("out of memory", nullptr);
    Opts.paths[Opts.pathCount] = path;
    Opts.linkNamed[Opts.pathCount] = nullptr;
    Opts.fileSystems[Opts.pathCount][0] = 0;
    Opts.pathCount++;
    return 0;
}

/* One path of a list, `length` bytes at `text`, kept for the run and added. An empty one is
** passed by (a list's last line end, a blank line); so is, on Windows, the CR before a line
** end (a list written there by `dir /b /s`). */
static int AddListedPath(const char *text, uint32_t length)
{
    if (!NamesAreBytes && length && text[length - 1] == '\r')
        length--;
    if (!length)
        return 0;
    char *kept = (char *)Platform.files.memAlloc(length + 1);
    if (!kept)
        return Fail("out of memory", nullptr);
    memcpy(kept, text, length);
    kept[length] = 0;
    if (strlen(kept) != length)
        return Fail("a path holds a NUL byte: give -0", nullptr);
    return AddPath(kept);
}

/* The paths the list `name` holds ("-": standard input), each ended by a line end or, with -0,
** a NUL byte; the last may lack its end. Read in pieces, so that no list is too long. Answers
** 0, or 2 after one line on standard error. */
static int ReadFileList(const char *name)
{
    static char piece[PlatformPathSize + 1];   /* what is read, after a path cut at its end */
    int own = strcmp(name, "-") != 0;
    FILE *list = own ? fopen(name, "rb") : stdin;
    if (!list)
        return Fail("cannot be opened", name);
    char end = Opts.fileListNul ? 0 : '\n';
    uint32_t kept = 0;   /* bytes of a path begun in the last piece */
    int status = 0;
    for (;;) {
        size_t got = fread(piece + kept, 1, sizeof piece - 1 - kept, list);
        uint32_t filled = kept + (uint32_t)got, start = 0;
        for (uint32_t at = 0; at < filled && !status; at++)
            if (piece[at] == end) {
                status = AddListedPath(piece + start, at - start);
                start = at + 1;
            }
        if (status)
            break;
        kept = filled - start;
        memmove(piece, piece + start, kept);
        if (got == 0) {
            if (ferror(list))
                status = Fail("cannot be read", name);
            else
                status = AddListedPath(piece, kept);
            break;
        }
        if (kept == sizeof piece - 1) {
            status = Fail("holds a path too long", name);
            break;
        }
    }
    if (own)
        fclose(list);
    return status;
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

/* The options that take a value, each with the word for what it wants. */
static const struct {
    const char *name, *shortName, *wants;
} Valued[] = {
    {"--log", "-l", "needs a file"},
    {"--restore", nullptr, "needs a folder"},
    {"--quarantine", nullptr, "needs a folder"},
    {"--windows-root", nullptr, "needs a folder"},
    {"--restore-root", nullptr, "needs a folder"},
    {"--file-list", nullptr, "needs a file"},
    {"--exclude", nullptr, "needs a pattern"},
    {"--exclude-dir", nullptr, "needs a pattern"},
};
#define ValuedCount (int)(sizeof Valued / sizeof Valued[0])

/* The word argv[*i] as an option of Valued: answers its index, its value at `*value` ("--log
** FILE", "--log=FILE", "-l FILE"; null when none follows or it is empty), or -1 for another
** word. */
static int ValuedOption(int argc, char **argv, int *i, const char **value)
{
    const char *a = argv[*i];
    for (int k = 0; k < ValuedCount; k++) {
        size_t n = strlen(Valued[k].name);
        if (!strncmp(a, Valued[k].name, n) && a[n] == '=') {
            *value = a[n + 1] ? a + n + 1 : nullptr;
            return k;
        }
        if (!strcmp(a, Valued[k].name) || (Valued[k].shortName && !strcmp(a, Valued[k].shortName))) {
            *value = ++*i < argc && argv[*i][0] ? argv[*i] : nullptr;
            return k;
        }
    }
    return -1;
}

/* A pattern of --exclude or --exclude-dir kept in `patterns` (`*count` of MaxPatterns). */
static int KeepPattern(const char **patterns, int *count, const char *pattern, const char *option)
{
    if (*count == MaxPatterns)
        return Fail("too many (64 at most)", option);
    patterns[(*count)++] = pattern;
    return -1;
}

/* The option Valued[k] with its value. Answers -1 to go on, or 2 after one line. */
static int TakeValue(int k, const char *value)
{
    const char *name = Valued[k].name;
    if (!value)
        return Fail(Valued[k].wants, name);
    const char **field[] = {&Opts.logPath, &Opts.restoreFolder, &Opts.quarantine,
                            &Opts.windowsRoot, &Opts.restoreRoot};
    if (k < (int)(sizeof field / sizeof field[0])) {
        *field[k] = value;
        return -1;
    }
    if (!strcmp(name, "--file-list")) {
        if (Opts.fileListCount == MaxFileLists)
            return Fail("too many (16 at most)", name);
        Opts.fileLists[Opts.fileListCount++] = value;
        return -1;
    }
    if (!strcmp(name, "--exclude"))
        return KeepPattern(Opts.excludeFiles, &Opts.excludeFileCount, value, name);
    return KeepPattern(Opts.excludeFolders, &Opts.excludeFolderCount, value, name);
}

int ParseArguments(int argc, char **argv)
{
    Opts.argCount = argc;
    Opts.args = argv;
    static const struct {
        const char *name, *shortName;
        int *flag;
    } Flags[] = {
        {"--all-fixed-drives", nullptr, &Opts.allFixedDrives},
        {"--clean", nullptr, &Opts.clean},
        {"--report-only", nullptr, &Opts.reportOnly},
        {"--json", nullptr, &Opts.json},
        {"--verbose", nullptr, &Opts.verbose},
        {"--quiet", "-q", &Opts.quiet},
        {"--no-summary", nullptr, &Opts.noSummary},
        {"--cross-fs", nullptr, &Opts.crossFs},
        {"--file-list0", "-0", &Opts.fileListNul},
        {"--recursive", "-r", nullptr},   /* always: accepted for scripts written for others */
    };
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *value;
        int k;
        int flag = -1;
        for (int f = 0; f < (int)(sizeof Flags / sizeof Flags[0]) && flag < 0; f++)
            if (!strcmp(a, Flags[f].name) || (Flags[f].shortName && !strcmp(a, Flags[f].shortName)))
                flag = f;
        if (!strcmp(a, "-h") || !strcmp(a, "--help") || (!NamesAreBytes && !strcmp(a, "/?"))) {
            fputs(Usage, stdout);
            fputs(NamesAreBytes ? "  -h, --help           show this text\n"
                                : "  -h, --help, /?       show this text\n", stdout);
            fputs(UsageTail, stdout);
            return fflush(stdout) == 0 ? 0 : 2;
        } else if (!strcmp(a, "--version") || !strcmp(a, "-V")) {
            fputs(VersionText, stdout);
            return fflush(stdout) == 0 ? 0 : 2;
        } else if (flag >= 0) {
            if (Flags[flag].flag)
                *Flags[flag].flag = 1;
        } else if ((k = ValuedOption(argc, argv, &i, &value)) >= 0) {
            int status = TakeValue(k, value);
            if (status >= 0)
                return status;
        } else if (!strcmp(a, "--")) {
            for (i++; i < argc; i++)
                if (AddPath(argv[i]))
                    return 2;
        } else if (a[0] == '-' && a[1]) {
            return Fail("unknown option (krvscan --help lists the options)", a);
        } else if (AddPath(a)) {
            return 2;
        }
    }
    return -1;
}

int CheckOptions(void)
{
    for (int i = 0; i < Opts.fileListCount; i++)
        if (ReadFileList(Opts.fileLists[i]))
            return 2;
    if (Opts.windowsRoot && Opts.pathCount == 0 && !Opts.allFixedDrives && AddPath(Opts.windowsRoot))
        return 2;
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
            if (AddPath(roots[i]))
                return 2;
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
