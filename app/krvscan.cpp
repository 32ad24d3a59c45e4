/*
** krvscan: the scan without the dialog, for administrators' scripts and rescue systems. The
** same walk, workflow, rows and report as the dialog; see Usage below and the README.
**
** Output is written as the scan goes. Ctrl-C stops the scan the way Stop does: the file in hand
** is finished, so no copy is left half done. A write that fails (a closed pipe, a full disk)
** stops it too, and from then on nothing is changed: no file may change without its row. Either
** way the exit status says the scan did not run to its end.
**
** main reads the command line (ParseArguments), checks it (CheckOptions), runs the scan
** (RunScan) and answers the exit status (ExitStatus) from the facts the rows told.
*/
#include "base/text.h"
#include "disinfect/quarantine.h"
#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"
#include "startup/runkey.h"
#include "walk/walk.h"
#ifdef KRV_HAVE_HIVEX
#include "app/hiberfil.h"
#include "app/hive.h"
#endif

#include <atomic>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The listing of options, in two parts around the help line: "/?" is a path on POSIX. */
static const char Usage[] =
    "usage: krvscan [options] PATH...\n"
    "       krvscan [options] --all-fixed-drives\n"
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
    "2 comes before 3, 3 before 4, 4 before 1.\n";

#define Version "1.1"
static const char VersionText[] = "krvscan " Version " (Korvane Tamsel Removal Tool)\n";

#define MaxPaths 256
#define ProgressWidth 79
#define ProgressEveryMs 250u

/* The command line, as ParseArguments read it. */
static const char *paths[MaxPaths];
static int pathCount;
static int allFixedDrives, clean, reportOnly;
static int json;                          /* --json */
static int verbose;                       /* --verbose */
static const char *windowsRoot;           /* --windows-root DIR */
static const char *logPath;               /* --log FILE */
static const char *quarantine;            /* --quarantine DIR */
/* The PATHs that are links, followed (FollowGivenLinks): what was named, and where paths[i]
** now leads. */
static const char *linkNamed[MaxPaths];
static char linkTarget[MaxPaths][PlatformPathSize];

static FILE *sink;                        /* where Write goes: standard output */
static FileHandle logFile;                /* --log FILE, opened for appending; null without */
static int toLog;                         /* Write goes to logLines instead (BeginLog) */
static char logLines[4 * PlatformPathSize + 1024];   /* what goes to the log, whole lines */
static uint32_t logUsed;
static char host[64];                     /* the machine's name, for the log and the report */
static char started[24];                  /* when the scan started, UTC, ISO 8601 */
static int argCount;                      /* the command line, for the log's header */
static char **args;

/* The file system of each path (volumeFacts), for the report. */
static char fileSystems[MaxPaths][24];
static int hibernated;                    /* --windows-root resumes from hibernation */

static int progress;                      /* standard error is a terminal */
static int complete;                      /* the scan ran to its end (set before the report) */
static int outputFailed;
/* What the rows told, counted as they pass (CountRow): the facts behind the exit status. */
static int32_t found, removed, remaining, passedOver;
static std::atomic<int> interrupted{0};   /* written by the interrupt handler */
static uint32_t startedAt, progressAt;
static int progressShown;

/* No printf family here: in the Windows build it would bring a formatter of its own, with
** imports that Windows 98 and NT 4.0 do not all have, and double the program's size. */
static int Fail(const char *cause, const char *what)
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

/* Two hexadecimal digits of `byte` at `out`. */
static void PutHex(char *out, unsigned byte, const char *digits)
{
    out[0] = digits[(byte >> 4) & 15];
    out[1] = digits[byte & 15];
}

/* ---- output ----------------------------------------------------------------------------- */

/* Once the output fails, nothing more is changed: no file may change without its row. */
static void OutputFailed(void)
{
    outputFailed = 1;
    ReportOnly = 1;
    StopScan();
}

static void LogPut(const char *data, size_t length);

/* A write interrupted by a signal is taken up again where it stopped. */
static void Write(const char *data, size_t length)
{
    if (toLog) {
        LogPut(data, length);
        return;
    }
    while (!outputFailed && length) {
        size_t done = fwrite(data, 1, length, sink);
        if (done == length)
            return;
        if (errno != EINTR) {
            OutputFailed();
            return;
        }
        clearerr(sink);
        data += done;
        length -= done;
    }
}

/* Puts out what the sink holds; answers 0 when it is all written. */
static int FlushOutput(void)
{
    while (fflush(sink) != 0) {
        if (errno != EINTR)
            return -1;
        clearerr(sink);
    }
    return 0;
}

/* "YYYY-MM-DDTHH:MM:SSZ" for now into `out` (UtcTextSize bytes). */
static void FormatUtcNow(char *out)
{
    FormatUtc((int64_t)time(NULL), out);
}

/* Out of line: inlined at each of its many callers (-O3) it adds 8 KB to krvscan.exe. */
__attribute__((noinline)) static void WriteText(const char *text)
{
    Write(text, strlen(text));
}

/* Names in the text rows: one row is one line and maps back to one name. On POSIX a name is
** any bytes but "/" and NUL, so the backslash itself prints as \\, and every C0 and C1 control
** and every byte that is not part of valid UTF-8 as \xHH. Windows names cannot hold a control
** character or a backslash and come in the ANSI code page (where 0x80-0x9F are letters): only
** C0 controls and DEL need escaping there, and the backslashes are the separators. */
#define EscapedMax 16   /* the most one character can take, escaped */
static const int NamesAreBytes = PathSeparator == '/';

/* Writes the text form of the character at `*p` to `out` (EscapedMax bytes) and moves `*p`
** past it; answers how many bytes it wrote. */
static size_t EscapeNext(const unsigned char **p, char *out)
{
    const unsigned char *c = *p;
    int length = NamesAreBytes ? Utf8Length(c) : 1;
    int escape = length == 0 || c[0] < 0x20 || c[0] == 0x7F ||
                 (NamesAreBytes && c[0] == 0xC2 && c[1] < 0xA0);
    if (length == 0)
        length = 1;
    *p += length;
    if (NamesAreBytes && c[0] == '\\') {
        memcpy(out, "\\\\", 2);
        return 2;
    }
    if (!escape) {
        memcpy(out, c, (size_t)length);
        return (size_t)length;
    }
    for (int i = 0; i < length; i++) {
        memcpy(out + 4 * i, "\\x", 2);
        PutHex(out + 4 * i + 2, c[i], "0123456789ABCDEF");
    }
    return 4 * (size_t)length;
}

static void WriteEscaped(const char *text)
{
    char buffer[256];
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        if (n > sizeof buffer - EscapedMax) {
            Write(buffer, n);
            n = 0;
        }
        n += EscapeNext(&p, buffer + n);
    }
    Write(buffer, n);
}

/* `text` as a JSON string; a byte that is not part of valid UTF-8 becomes U+FFFD. Answers 1
** when every byte was valid, so that the caller can add the exact bytes. */
static int WriteJsonString(const char *text)
{
    char buffer[256];
    size_t n = 0;
    int valid = 1;
    buffer[n++] = '"';
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        if (n > sizeof buffer - 8) {
            Write(buffer, n);
            n = 0;
        }
        int length = Utf8Length(p);
        if (length == 0) {
            memcpy(buffer + n, "\xEF\xBF\xBD", 3);
            n += 3;
            valid = 0;
            p++;
        } else if (*p == '"' || *p == '\\') {
            buffer[n++] = '\\';
            buffer[n++] = (char)*p++;
        } else if (*p < 0x20 || *p == 0x7F) {
            memcpy(buffer + n, "\\u00", 4);
            PutHex(buffer + n + 4, *p++, "0123456789abcdef");
            n += 6;
        } else {
            memcpy(buffer + n, p, (size_t)length);
            n += (size_t)length;
            p += length;
        }
    }
    buffer[n++] = '"';
    Write(buffer, n);
    return valid;
}

static void WriteHex(const char *text)
{
    char pair[2];
    Write("\"", 1);
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        PutHex(pair, *p, "0123456789abcdef");
        Write(pair, 2);
    }
    Write("\"", 1);
}

/* "key":"name", and where the name is not valid UTF-8 also "key_hex":"<its exact bytes in
** hexadecimal>". */
static void WriteJsonName(const char *key, const char *name)
{
    WriteText("\"");
    WriteText(key);
    WriteText("\":");
    if (!WriteJsonString(name)) {
        WriteText(",\"");
        WriteText(key);
        WriteText("_hex\":");
        WriteHex(name);
    }
}

/* {"event":..., "file":..., "status":...}; a name that is not valid UTF-8 also gets
** "file_hex". */
static void WriteJsonRow(const char *file, const char *status, const char *event)
{
    WriteText("{\"event\":\"");
    WriteText(event);
    WriteText("\",");
    WriteJsonName("file", file);
    WriteText(",\"status\":");
    WriteJsonString(status);
    WriteText("}\n");
}

/* What became of what was found: counted once, for the report and the exit status. */
struct Facts {
    int32_t found, removed, remaining, unscanned;
};

static Facts CountFacts(void)
{
    Facts f;
    f.found = found;
    f.removed = removed;
    f.remaining = remaining;
    f.unscanned = passedOver;
    return f;
}

static void WriteJsonNumber(const char *key, int32_t number)
{
    char value[16];
    FormatCounter(value, number);
    WriteText(",\"");
    WriteText(key);
    WriteText("\":");
    WriteText(value);
}

/* {"event":"report","report":{"folders":N,...},"complete":true,"found":N,...}, the rows keyed
** by their keys. */
static void WriteJsonReport(const ReportRow *rows, int count)
{
    char value[16];
    WriteText("{\"event\":\"report\",\"report\":{");
    for (int i = 0; i < count; i++) {
        FormatCounter(value, *rows[i].counter);
        WriteText(i ? ",\"" : "\"");
        WriteText(rows[i].key);
        WriteText("\":");
        WriteText(value);
    }
    WriteText(complete && !outputFailed ? "},\"complete\":true" : "},\"complete\":false");
    Facts f = CountFacts();
    WriteJsonNumber("found", f.found);
    WriteJsonNumber("removed", f.removed);
    WriteJsonNumber("remaining", f.remaining);
    WriteJsonNumber("unscanned", f.unscanned);
    WriteText(",\"paths\":[");
    for (int i = 0; i < pathCount; i++) {
        WriteText(i ? ",{\"path\":" : "{\"path\":");
        WriteJsonString(paths[i]);
        WriteText(",\"filesystem\":");
        WriteJsonString(fileSystems[i]);
        WriteText("}");
    }
    WriteText(hibernated ? "],\"hibernated\":true" : "]");
    char finished[24];
    FormatUtcNow(finished);
    WriteText(",\"host\":");
    WriteJsonString(host);
    WriteText(",\"version\":\"" Version "\",\"started\":\"");
    WriteText(started);
    WriteText("\",\"finished\":\"");
    WriteText(finished);
    WriteText("\"}\n");
}

/* "label<TAB>value". */
static void WriteReportLine(const char *label, const char *value)
{
    WriteText(label);
    Write("\t", 1);
    WriteText(value);
    Write("\n", 1);
}

/* "Scan report", then one "label<TAB>value" row per counter. */
static void WriteTextReport(const ReportRow *rows, int count)
{
    char value[16];
    WriteReportLine(ReportTitle, "");
    for (int i = 0; i < count; i++) {
        FormatCounter(value, *rows[i].counter);
        WriteReportLine(rows[i].label, value);
    }
    if (!complete)
        WriteReportLine("Incomplete:", "the scan was stopped before its end");
    /* Read alone (standard error dropped), the text must not look like a clean scan. */
    if (passedOver > 0) {
        FormatCounter(value, passedOver);
        WriteReportLine("Not scanned:", value);
    }
    if (hibernated)
        WriteReportLine("Hibernated:", "Windows on this disk resumes from hibernation; nothing "
                        "can be removed until it is shut down fully");
}

/* ---- progress on standard error ----------------------------------------------------------- */

static void PutSpaces(int count)
{
    while (count-- > 0)
        fputc(' ', stderr);
}

static void ClearProgress(void)
{
    if (progressShown) {
        fputc('\r', stderr);
        PutSpaces(ProgressWidth);
        fputc('\r', stderr);
        progressShown = 0;
    }
}

/* "<folder>  N files, R files/s", the folder cut from the left to fit one line. */
static void ShowProgress(const char *folder)
{
    uint32_t now = Platform.milliseconds();
    if (!progress || (progressShown && now - progressAt < ProgressEveryMs))
        return;
    progressAt = now;
    uint32_t elapsed = now - startedAt;
    char counts[64], number[16];
    int32_t rate = elapsed ? (int32_t)((uint64_t)ScanCounters.files * 1000u / elapsed) : 0;
    FormatCounter(number, ScanCounters.files);
    CopyText(counts, sizeof counts, "  ");
    AppendText(counts, sizeof counts, number);
    AppendText(counts, sizeof counts, " files, ");
    FormatCounter(number, rate);
    AppendText(counts, sizeof counts, number);
    AppendText(counts, sizeof counts, " files/s");
    size_t room = ProgressWidth - strlen(counts);
    /* Escaped as the rows are, cut from the left between whole characters. */
    char shown[ProgressWidth + EscapedMax], one[EscapedMax];
    const unsigned char *p = (const unsigned char *)folder;
    size_t length = 0, n = 0;
    while (*p)
        length += EscapeNext(&p, one);
    p = (const unsigned char *)folder;
    if (length > room) {
        memcpy(shown, "...", 3);
        n = 3;
        while (*p && length > room - 3)
            length -= EscapeNext(&p, one);
    }
    while (*p) {
        size_t size = EscapeNext(&p, one);
        if (n + size > room)
            break;
        memcpy(shown + n, one, size);
        n += size;
    }
    shown[n] = 0;
    fputc('\r', stderr);
    fputs(shown, stderr);
    fputs(counts, stderr);
    PutSpaces((int)(room - n));
    progressShown = 1;
}

/* ---- the display operations ---------------------------------------------------------------- */

/* Each row's kind as a fixed word for machines: the JSON events and the fleet summary's keys. */
static const char *const Events[RowKindCount] = {
    "other",           "infected",        "suspect",
    "warning",         "deleted",         "will_be_deleted_at_restart",
    "quarantined",     "copying",         "cleaned",
    "will_be_cleaned_at_restart",         "unable_to_clean",
    "unable_to_clean", "access_error",    "unable_to_open",
    "left_in_place",   "autostart_removed", "autostart_found",
};

/* Rows are few: flushing each one finds a closed pipe at once. */
static void Flush(void)
{
    if (!outputFailed && FlushOutput() != 0)
        OutputFailed();
}

static void WriteTextRow(const char *file, const char *status)
{
    WriteEscaped(file);
    Write("\t", 1);
    WriteEscaped(status);
    Write("\n", 1);
}

/* Every row and the report go to the log as text, each line in one write of its own at the
** file's end, so that many runs and machines can append to one file without a line ever being
** cut or mixed with another's. A line longer than logLines (no name makes one) goes in pieces. */
static void LogLine(const char *data, uint32_t length)
{
    if (!outputFailed && length && !Platform.appendLog(logFile, data, length))
        OutputFailed();
}

static void LogPut(const char *data, size_t length)
{
    while (length) {
        if (logUsed == sizeof logLines) {
            LogLine(logLines, logUsed);
            logUsed = 0;
        }
        size_t n = length < sizeof logLines - logUsed ? length : sizeof logLines - logUsed;
        memcpy(logLines + logUsed, data, n);
        logUsed += (uint32_t)n;
        data += n;
        length -= n;
    }
}

static void BeginLog(void)
{
    Flush();
    toLog = 1;
    logUsed = 0;
}

static void EndLog(void)
{
    toLog = 0;
    uint32_t start = 0;
    for (uint32_t i = 0; i < logUsed; i++) {
        if (logLines[i] == '\n') {
            LogLine(logLines + start, i + 1 - start);
            start = i + 1;
        }
    }
    LogLine(logLines + start, logUsed - start);
    logUsed = 0;
}

/* What a row of the target tells for the exit status. A file that could not be opened is
** counted as not scanned through PrintPassedOver, which names it whatever its extension. */
static void CountRow(const ResultRow *row)
{
    if (row->ofCopy)
        return;   /* the workflow's own copy is no part of what was found */
    switch (row->kind) {
    case RowInfected:
        found++;
        break;
    case RowAutostartRemoved:
        found++;
        removed++;
        break;
    case RowAutostartFound:
        found++;
        remaining++;
        break;
    case RowDeleted:
    case RowCleaned:
        removed++;
        break;
    case RowUnableToClean:
    case RowOtherNamesRemain:
    case RowDeletedAtRestart:
    case RowCleanedAtRestart:
    case RowLeftInPlace:
        remaining++;
        break;
    default:
        break;
    }
}

static void PrintRow(const ResultRow *row)
{
    CountRow(row);
    ClearProgress();
    if (json)
        WriteJsonRow(row->file, row->status, Events[row->kind]);
    else
        WriteTextRow(row->file, row->status);
    Flush();
    if (logFile) {
        BeginLog();
        WriteTextRow(row->file, row->status);
        EndLog();
    }
}

static void PrintReport(const ReportRow *rows, int count)
{
    ClearProgress();
    if (json)
        WriteJsonReport(rows, count);
    else
        WriteTextReport(rows, count);
    Flush();
    if (logFile) {
        BeginLog();
        WriteTextReport(rows, count);
        EndLog();
    }
}

/* The advice only where a restart has work to do: restart-time operations were registered. */
static void PrintWarning(const char *text, const char *caption)
{
    (void)caption;
    if (ScanCounters.cleanedAtRestart + ScanCounters.deletedAtRestart == 0)
        return;
    ClearProgress();
    fflush(stdout);
    fputs(text, stderr);
    fputc('\n', stderr);
}

/* By PassedOver reason. */
static const char *const PassedOverReasons[] = {
    "the folder could not be listed", "the path is too long for the system",
    "a mount point, not entered",     "a link, not followed",
    "the file could not be opened",   "too many open files",
    "access denied",                  "the file is in use by another program",
    "an I/O error",                   "the registry key could not be read"};
#define PassedOverReasonCount (int32_t)(sizeof PassedOverReasons / sizeof PassedOverReasons[0])

/* `text` on standard error, escaped as the rows are. */
static void ErrorEscaped(const char *text)
{
    char one[EscapedMax];
    for (const unsigned char *p = (const unsigned char *)text; *p;)
        fwrite(one, 1, EscapeNext(&p, one), stderr);
}

/* "krvscan: not scanned: PATH: reason" on standard error and, with --json, an object of its
** own. A link not followed loses nothing of the target: it is named only with --verbose. */
static void PrintPassedOver(const char *path, int32_t reason)
{
    int link = reason == PassedLink;
    if (reason < 0 || reason >= PassedOverReasonCount || (link && !verbose))
        return;
    passedOver += !link;
    ClearProgress();
    fflush(stdout);
    fputs(link ? "krvscan: link not followed: " : "krvscan: not scanned: ", stderr);
    ErrorEscaped(path);
    if (!link) {
        fputs(": ", stderr);
        fputs(PassedOverReasons[reason], stderr);
    }
    fputc('\n', stderr);
    if (logFile) {
        BeginLog();
        WriteEscaped(path);
        WriteText(link ? "\tlink not followed\n" : "\tnot scanned: ");
        if (!link) {
            WriteText(PassedOverReasons[reason]);
            WriteText("\n");
        }
        EndLog();
    }
    if (json) {
        WriteText(link ? "{\"event\":\"link_not_followed\"," : "{\"event\":\"not_scanned\",");
        WriteJsonName("path", path);
        WriteText(",\"reason\":\"");
        WriteText(PassedOverReasons[reason]);
        WriteText("\"}\n");
        Flush();
    }
}

static const DisplayOps ConsoleDisplay = {PrintRow,     ShowProgress, nullptr,    nullptr,
                                          PrintWarning, nullptr,      PrintReport, PrintPassedOver};

static void OnInterrupt(void)
{
    interrupted.store(1);
    StopScan();
}

/* ---- the command line ---------------------------------------------------------------------- */

/* A target must exist and be readable before anything starts: a mistyped path is an error, not
** a clean result. */
static int CheckTarget(const char *path)
{
    if (!path[0] || strlen(path) + 5 > PlatformMaxPath)
        return Fail(path[0] ? "path too long" : "empty path", path);
    uint32_t attributes = Platform.getFileAttributes(path);
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
        FindHandle find = Platform.findFirst(pattern, &record);
        if (find == InvalidFindHandle)
            return Fail("folder cannot be read", path);
        Platform.findClose(find);
        return 0;
    }
    FileHandle file = Platform.openFile(path, 0);
    if (file == InvalidFileHandle)
        return Fail("file cannot be read", path);
    Platform.closeFile(file);
    return 0;
}

/* A PATH that is a link is followed, as `find -H` does: the administrator named it. Its target
** takes its place, so that the rows name the real path and everything done is done there;
** links met inside the walk are still never followed. Answers 0, or 2 after one line. */
static int FollowGivenLinks(void)
{
    for (int i = 0; i < pathCount; i++) {
        int link = PlatformFollowLink(paths[i], linkTarget[i], sizeof linkTarget[i]);
        if (link < 0)
            return Fail("a link whose target cannot be reached", paths[i]);
        if (link > 0) {
            linkNamed[i] = paths[i];
            paths[i] = linkTarget[i];
        }
    }
    return 0;
}

/* "krvscan: PATH: a link, followed to TARGET" on standard error for each PATH that was one,
** with --json an object of its own, and a line in the log. */
static void PrintFollowedLinks(void)
{
    for (int i = 0; i < pathCount; i++) {
        if (!linkNamed[i])
            continue;
        fputs("krvscan: ", stderr);
        ErrorEscaped(linkNamed[i]);
        fputs(": a link, followed to ", stderr);
        ErrorEscaped(paths[i]);
        fputc('\n', stderr);
        if (logFile) {
            BeginLog();
            WriteEscaped(linkNamed[i]);
            WriteText("\tlink followed to ");
            WriteEscaped(paths[i]);
            WriteText("\n");
            EndLog();
        }
        if (json) {
            WriteText("{\"event\":\"link_followed\",");
            WriteJsonName("path", linkNamed[i]);
            WriteText(",");
            WriteJsonName("target", paths[i]);
            WriteText("}\n");
            Flush();
        }
    }
}

/* The worm's autostart value in the registry of the running system (none on POSIX), reported
** as a file is: a row naming the key, the value and its data, counted found and then removed or
** remaining; a value that cannot be deleted is "unable to clean", a key that cannot be read is
** not scanned. Nothing is deleted once the output has failed (ReportOnly). */
static void CleanRunningAutostart(void)
{
    static const char RunKey[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    SystemVersion version;
    if (Platform.systemVersion(&version) && version.family == SystemPosix)
        return;
    char name[RunKeyNameSize], data[1024], row[sizeof RunKey + RunKeyNameSize + sizeof data + 4];
    int outcome = FindRunKeyValue(ReportOnly, name, data, sizeof data);
    if (outcome == RunKeyUnreadable) {
        PrintPassedOver(RunKey, PassedKeyUnreadable);
        return;
    }
    if (outcome == RunKeyNone)
        return;
    CopyText(row, sizeof row, RunKey);
    AppendText(row, sizeof row, "\\");
    AppendText(row, sizeof row, name);
    if (data[0]) {
        AppendText(row, sizeof row, " = ");
        AppendText(row, sizeof row, data);
    }
    if (outcome == RunKeyNotRemoved)
        found++;   /* the row says only what became of it */
    if (outcome == RunKeyFound)
        AddResultRow(row, StatusAutostartFound, RowAutostartFound, 0);
    else if (outcome == RunKeyRemoved)
        AddResultRow(row, StatusAutostartRemoved, RowAutostartRemoved, 0);
    else
        AddResultRow(row, StatusUnableToClean, RowUnableToClean, 0);
}

/* The worm's autostart value: in the offline hive under --windows-root, else in the registry
** of the running system. */
static int CleanAutostart(const char *windowsRoot, int reportOnly)
{
    if (!windowsRoot) {
        CleanRunningAutostart();
        return 0;
    }
#ifdef KRV_HAVE_HIVEX
    char found[8192], error[8192];
    int result = RemoveOfflineRunValue(windowsRoot, reportOnly, found, sizeof found, error,
                                       sizeof error);
    if (result < 0)
        return Fail(error, nullptr);
    if (result > 0)
        AddResultRow(found, reportOnly ? StatusAutostartFound : StatusAutostartRemoved,
                     reportOnly ? RowAutostartFound : RowAutostartRemoved, 0);
    return 0;
#else
    (void)reportOnly;
    return Fail("not available in this build (it needs hivex)", "--windows-root");
#endif
}

/* The file system of every path, and whether a change can land there: with --clean, nothing
** starts on a read-only one (a rescue system mounts a hibernated Windows volume so), nor on a
** Windows that will resume from hibernation or Fast Startup, which would lose or corrupt the
** change when it resumes. Answers 0, or 2 after one line on standard error. */
static int CheckVolumes(void)
{
    for (int i = 0; i < pathCount; i++) {
        int readOnly;
        Platform.volumeFacts(paths[i], fileSystems[i], sizeof fileSystems[i], &readOnly);
        if (clean && readOnly)
            return Fail("read-only file system: nothing can be removed; mount it read-write, or "
                        "scan without --clean", paths[i]);
    }
#ifdef KRV_HAVE_HIVEX
    if (windowsRoot) {
        char signature[300];
        int resumes = WindowsHibernated(windowsRoot, signature, sizeof signature);
        if (resumes > 0 && clean) {
            fputs("krvscan: ", stderr);
            fputs(windowsRoot, stderr);
            fputs(": Windows on this disk was hibernated or shut down by Fast Startup (hiberfil.sys "
                  "begins with \"", stderr);
            fputs(signature, stderr);
            fputs("\"): a change made now is lost when it resumes; nothing was changed. Start "
                  "Windows and shut it down fully (shutdown /s /t 0, or turn Fast Startup off), "
                  "then clean\n", stderr);
            return 2;
        }
        if (resumes < 0 && clean)
            return Fail("hiberfil.sys cannot be read, so it cannot be told whether Windows "
                        "resumes from it; nothing was changed", windowsRoot);
        hibernated = resumes > 0;
    }
#endif
    return 0;
}

/* Reads the command line into the options. Answers -1 to go on, or the exit status when it
** has answered itself (--help, --version) or the command line is wrong. */
static int ParseArguments(int argc, char **argv)
{
    argCount = argc;
    args = argv;
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
            allFixedDrives = 1;
        } else if (!strcmp(a, "--clean")) {
            clean = 1;
        } else if (!strcmp(a, "--report-only")) {
            reportOnly = 1;
        } else if (!strcmp(a, "--json")) {
            json = 1;
        } else if (!strcmp(a, "--verbose")) {
            verbose = 1;
        } else if (!strcmp(a, "--log")) {
            if (++i == argc)
                return Fail("needs a file", "--log");
            logPath = argv[i];
        } else if (!strcmp(a, "--quarantine")) {
            if (++i == argc)
                return Fail("needs a folder", "--quarantine");
            quarantine = argv[i];
        } else if (!strcmp(a, "--windows-root")) {
            if (++i == argc)
                return Fail("needs a folder", "--windows-root");
            windowsRoot = argv[i];
        } else if (!strcmp(a, "--")) {
            for (i++; i < argc && pathCount < MaxPaths; i++)
                paths[pathCount++] = argv[i];
            if (i < argc)
                return Fail("too many paths", nullptr);
        } else if (a[0] == '-' && a[1]) {
            return Fail("unknown option (krvscan --help lists the options)", a);
        } else if (pathCount < MaxPaths) {
            paths[pathCount++] = a;
        } else {
            return Fail("too many paths", nullptr);
        }
    }
    return -1;
}

/* Everything that can be checked before the scan starts: the options agree, and every target
** exists and can be read. Answers 0, or 2 after one line on standard error. */
static int CheckOptions(void)
{
    if (windowsRoot && pathCount == 0 && !allFixedDrives)
        paths[pathCount++] = windowsRoot;
    if (pathCount == 0 && !allFixedDrives) {
        return Fail("nothing to scan: give PATHs or --all-fixed-drives (krvscan --help lists "
                    "the options)", nullptr);
    }
    if (pathCount && allFixedDrives)
        return Fail("give PATHs or --all-fixed-drives, not both", nullptr);
    if (clean && reportOnly)
        return Fail("give --clean or --report-only, not both", nullptr);
    if (quarantine && !clean)
        return Fail("needs --clean (krvscan --help lists the options)", "--quarantine");
    reportOnly = !clean;
    if (FollowGivenLinks())
        return 2;
    for (int i = 0; i < pathCount; i++)
        if (CheckTarget(paths[i]))
            return 2;
    if (allFixedDrives) {
        static char roots[MaxFixedDrives][MaxRootPath];
        uint32_t count = Platform.fixedDrives(roots, MaxFixedDrives);
        for (uint32_t i = 0; i < count && i < MaxFixedDrives; i++) {
            roots[i][MaxRootPath - 1] = 0;
            paths[pathCount++] = roots[i];
        }
    }
    if (CheckVolumes())
        return 2;
    if (quarantine) {
        const char *refused = QuarantineOpen(quarantine, paths, pathCount);
        if (refused)
            return Fail(refused, quarantine);
        BeforeChange = QuarantineFile;
    }
    if (logPath) {
        static const char *const LogCauses[] = {
            "cannot be opened for appending",
            "must be a regular file with one name, not a link, FIFO, device or folder",
            "cannot be opened for appending",
            "belongs to another user",
            "lies in a folder of another user's or one that others may write in (not sticky)",
        };
        FileHandle log = InvalidFileHandle;
        int cause = Platform.openLog(logPath, &log);
        if (cause != LogReady)
            return Fail(LogCauses[cause > 0 && cause <= LogFolderOpen ? cause : 0], logPath);
        logFile = log;
    }
    return 0;
}

/* The log's header: "krvscan<TAB>time<TAB>host<TAB>version<TAB>command line". */
static void WriteLogHeader(void)
{
    BeginLog();
    WriteText("krvscan\t");
    WriteText(started);
    WriteText("\t");
    WriteEscaped(host);
    WriteText("\t" Version "\t");
    for (int i = 0; i < argCount; i++) {
        if (i)
            WriteText(" ");
        WriteEscaped(args[i]);
    }
    WriteText("\n");
    EndLog();
}

/* The autostart value, the scan and the report. Answers 2 when the scan could not start. */
static int RunScan(void)
{
    PlatformRaiseFileLimit();
    Display = &ConsoleDisplay;
    /* Set before the handler is in place, so that no stop is ever lost. */
    ScanContinue.store(1);
    Platform.onInterrupt(OnInterrupt);
    progress = Platform.errorIsTerminal();
    startedAt = Platform.milliseconds();
    FormatUtcNow(started);
    Platform.hostName(host, sizeof host);
    if (logFile)
        WriteLogHeader();
    PrintFollowedLinks();
    ReportOnly = reportOnly;
    if (CleanAutostart(windowsRoot, reportOnly))
        return 2;
    ScanState.store(Scanning);
    ScanGivenPaths(paths, pathCount);
    complete = ScanContinue.load() != 0;   /* cleared only by a stop */
    ClearProgress();
    ShowScanReport();
    if (!outputFailed && FlushOutput() != 0)
        OutputFailed();
    if (logFile && !Platform.closeFile(logFile) && !outputFailed)
        OutputFailed();
    logFile = nullptr;
    return 0;
}

/* What the scan's end means for the caller, with one line on standard error when it did not
** run to its end. */
static int ExitStatus(void)
{
    if (outputFailed)
        return Fail("the output could not be written; the scan was stopped", nullptr);
    if (interrupted.load() || !complete)
        return Fail("interrupted; the scan was stopped", nullptr);
    Facts f = CountFacts();
    if (!reportOnly && f.remaining > 0)
        return 3;
    if (f.unscanned > 0)
        return 4;
    return f.found > 0 ? 1 : 0;
}

int main(int argc, char **argv)
{
    sink = stdout;
    int status = ParseArguments(argc, argv);
    if (status >= 0)
        return status;
    if (CheckOptions() || RunScan())
        return 2;
    return ExitStatus();
}
