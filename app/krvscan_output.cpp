/*
** krvscan's output: every row, passed-over part and the report, as text lines or JSON Lines on
** standard output, and as text lines appended to the log. Output is written as the scan goes;
** a write that fails (a closed pipe, a full disk) stops the scan, and from then on nothing is
** changed: no file may change without its row.
*/
#include "app/krvscan_output.h"
#include "app/krvscan_names.h"

#include "app/krvscan_options.h"
#include "app/krvscan_progress.h"
#include "base/json.h"
#include "base/text.h"
#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/scanstate.h"
#include "walk/walk.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

Facts RowFacts;
int ScanComplete;

/* The console's output as one record: where the events go (standard output as text or JSON
** Lines, and the log), the log's record in the making, the run's facts for the header and the
** report, and whether a write has failed. Written by the main thread before and after the scan,
** and by the worker thread during it (rows, parts passed over, the report). */
struct ConsoleOutput {
    FILE *sink = stdout;                 /* standard output */
    int failed;                          /* a write failed: the scan was stopped */
    int toLog;                           /* Write goes to logLines instead (BeginLog) */
    char logLines[4 * PlatformPathSize + 1024];   /* the log's record in the making */
    uint32_t logUsed;
    int logSent;                         /* a piece of the record in the making is in the log */
    char host[64];                       /* the machine's name, for the log and the report */
    char started[24];                    /* when the scan started, UTC, ISO 8601 */
    uint32_t startedAt;                  /* the same on the clock that only moves forward */
    char seconds[NumberTextSize];        /* the time the scan took, for every copy of the report */
    int32_t excluded;                    /* entries --exclude and --exclude-dir passed over */
    char deniedIn[PlatformPathSize];     /* the folder whose cause of "unable to clean" was
                                         ** said last, for one line per folder and cause */
    char deniedWhy[128];
    /* One JSON line in the making. A name takes at most 8 bytes a byte (\u00XX, and two
    ** hexadecimal digits), and a line names at most the offline hive's row (8 KB) or two
    ** paths. */
    char jsonLine[8 * 8192 + 1024];
};
static ConsoleOutput Out;

/* Once the output fails the scan stops, and the run lets nothing more be changed
** (OutputHasFailed): no file may change without its row. */
static void OutputFailed(void)
{
    Out.failed = 1;
    StopScan();
}

static void LogPut(const char *data, size_t length);

/* A write interrupted by a signal is taken up again where it stopped. */
static void Write(const char *data, size_t length)
{
    if (Out.toLog) {
        LogPut(data, length);
        return;
    }
    while (!Out.failed && length) {
        size_t done = fwrite(data, 1, length, Out.sink);
        if (done == length)
            return;
        if (errno != EINTR) {
            OutputFailed();
            return;
        }
        clearerr(Out.sink);
        data += done;
        length -= done;
    }
}

/* Puts out what the sink holds; answers 0 when it is all written. */
int FlushOutput(void)
{
    while (fflush(Out.sink) != 0) {
        if (errno != EINTR)
            return -1;
        clearerr(Out.sink);
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


/* `text` escaped as names are; from its byte `keyAt` on (when not negative) it is a registry
** key's text, whose backslashes are written as they are. Out of line, as WriteText. */
__attribute__((noinline, noclone)) static void WriteEscaped(const char *text, int32_t keyAt = -1)
{
    char buffer[256];
    size_t n = 0;
    const unsigned char *key = keyAt >= 0 ? (const unsigned char *)text + keyAt : nullptr;
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        if (n > sizeof buffer - EscapedMax) {
            Write(buffer, n);
            n = 0;
        }
        n += EscapeNext(&p, buffer + n, key && p >= key);
    }
    Write(buffer, n);
}

/* Starts the JSON line {"event":`event`, ... in `out`. */
static void BeginJson(JsonLine *out, const char *event)
{
    JsonBegin(out, Out.jsonLine, sizeof Out.jsonLine);
    JsonOpen(out, '{');
    JsonKey(out, "event");
    JsonString(out, event);
}

/* What `out` holds goes out, and `out` starts again empty. A line that does not fit is a
** failed output, never a cut one (the report, which names every path, goes in pieces). */
static void WriteJson(JsonLine *out)
{
    if (out->overflow)
        OutputFailed();
    else
        Write(out->buffer, out->length);
    out->length = 0;
}

/* Closes the JSON line in `out` and writes it. */
static void EndJson(JsonLine *out)
{
    JsonClose(out, '}');
    JsonEnd(out);
    WriteJson(out);
}

/* {"event":..., "file":..., "status":...}; a name that is not valid UTF-8 also gets
** "file_hex". */
static void WriteJsonRow(const char *file, const char *status, const char *event)
{
    JsonLine out;
    BeginJson(&out, event);
    JsonName(&out, "file", file);
    JsonKey(&out, "status");
    JsonString(&out, status);
    EndJson(&out);
}

/* The scan's time in seconds, three decimals ("3.204"), into `out` (NumberTextSize bytes):
** taken once, as the report begins, so that the output and the log agree; on the clock that
** only moves forward (it wraps after 49 days, which the subtraction survives once). */
static void FormatElapsed(char *out)
{
    uint32_t elapsed = Platform.system.milliseconds() - Out.startedAt;
    uint32_t n = FormatNumber(out, elapsed / 1000, 10, 0);
    out[n++] = '.';
    FormatNumber(out + n, elapsed % 1000, 10, 3);
}

/* {"event":"report","report":{"folders":N,...},"complete":true,"found":N,...}, the rows keyed
** by their keys. */
static void WriteJsonReport(const ReportRow *rows, int count)
{
    JsonLine out;
    BeginJson(&out, "report");
    JsonKey(&out, "report");
    JsonOpen(&out, '{');
    for (int i = 0; i < count; i++) {
        JsonKey(&out, rows[i].key);
        JsonSigned(&out, *rows[i].counter);
    }
    JsonClose(&out, '}');
    JsonKey(&out, "complete");
    JsonBoolean(&out, ScanComplete && !Out.failed);
    const Facts &f = RowFacts;
    const struct { const char *key; int32_t value; } facts[] = {
        {"found", f.found}, {"removed", f.removed}, {"remaining", f.remaining},
        {"unscanned", f.unscanned}};
    for (const auto &fact : facts) {
        JsonKey(&out, fact.key);
        JsonSigned(&out, fact.value);
    }
    if (Opts.excludeFileCount + Opts.excludeFolderCount) {
        JsonKey(&out, "excluded");
        JsonSigned(&out, Out.excluded);
    }
    JsonKey(&out, "paths");
    JsonOpen(&out, '[');
    for (int i = 0; i < Opts.pathCount; i++) {
        WriteJson(&out);
        JsonOpen(&out, '{');
        JsonKey(&out, "path");
        JsonString(&out, Opts.paths[i]);
        JsonKey(&out, "filesystem");
        JsonString(&out, Opts.fileSystems[i]);
        JsonClose(&out, '}');
    }
    JsonClose(&out, ']');
    if (Opts.hibernated) {
        JsonKey(&out, "hibernated");
        JsonBoolean(&out, 1);
    }
    char finished[24];
    FormatUtcNow(finished);
    const char *const texts[][2] = {
        {"host", Out.host}, {"version", Version}, {"started", Out.started}, {"finished", finished}};
    for (const auto &text : texts) {
        JsonKey(&out, text[0]);
        JsonString(&out, text[1]);
    }
    JsonKey(&out, "seconds");
    JsonNumberText(&out, Out.seconds);
    EndJson(&out);
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
    if (Opts.excludeFileCount + Opts.excludeFolderCount) {
        FormatCounter(value, Out.excluded);
        WriteReportLine("Excluded:", value);
    }
    char seconds[NumberTextSize + 2];
    CopyText(seconds, sizeof seconds, Out.seconds);
    AppendText(seconds, sizeof seconds, " s");
    WriteReportLine("Time:", seconds);
    if (!ScanComplete)
        WriteReportLine("Incomplete:", "the scan was stopped before its end");
    /* Read alone (standard error dropped), the text must not look like a clean scan. */
    if (RowFacts.unscanned > 0) {
        FormatCounter(value, RowFacts.unscanned);
        WriteReportLine("Not scanned:", value);
    }
    if (Opts.hibernated)
        WriteReportLine("Hibernated:", "Windows on this disk resumes from hibernation; nothing "
                        "can be removed until it is shut down fully");
}

/* Each row's kind as a fixed word for machines: the JSON events and the fleet summary's keys,
** in the order of RowKind. */
static const char *const Events[] = {
    "other",                        /* RowOther */
    "infected",                     /* RowInfected */
    "suspect",                      /* RowSuspect */
    "warning",                      /* RowWarning */
    "deleted",                      /* RowDeleted */
    "will_be_deleted_at_restart",   /* RowDeletedAtRestart */
    "quarantined",                  /* RowQuarantined */
    "copying",                      /* RowCopying */
    "cleaned",                      /* RowCleaned */
    "will_be_cleaned_at_restart",   /* RowCleanedAtRestart */
    "unable_to_clean",              /* RowUnableToClean */
    "unable_to_clean",              /* RowOtherNamesRemain */
    "access_error",                 /* RowAccessError */
    "unable_to_open",               /* RowUnableToOpen */
    "left_in_place",                /* RowLeftInPlace */
    "autostart_removed",            /* RowAutostartRemoved */
    "autostart_found",              /* RowAutostartFound */
    "restored",                     /* RowRestored */
    "already_removed",              /* RowAlreadyRemoved */
};
static_assert(sizeof Events / sizeof Events[0] == RowKindCount, "one event per row kind");

/* Rows are few: flushing each one finds a closed pipe at once. */
static void Flush(void)
{
    if (!Out.failed && FlushOutput() != 0)
        OutputFailed();
}

static void WriteTextRow(const ResultRow *row)
{
    WriteEscaped(row->file, row->keyAt);
    Write("\t", 1);
    WriteEscaped(row->status);
    Write("\n", 1);
}

/* Every row and the report go to the log as text, each record (a row, the report, the header)
** appended at the file's end under the log's lock, so that many runs and machines can append to
** one file without a line ever being cut or mixed with another's. A record longer than logLines
** (a header of many long paths) goes in pieces of one record; `more` says another follows. */
static void LogPiece(const char *data, uint32_t length, int more)
{
    if (!Out.failed && !Platform.store.appendLog(Opts.logFile, data, length, more))
        OutputFailed();
}

static void LogPut(const char *data, size_t length)
{
    while (length) {
        if (Out.logUsed == sizeof Out.logLines) {
            LogPiece(Out.logLines, Out.logUsed, 1);
            Out.logUsed = 0;
            Out.logSent = 1;
        }
        size_t n = length < sizeof Out.logLines - Out.logUsed ? length : sizeof Out.logLines - Out.logUsed;
        memcpy(Out.logLines + Out.logUsed, data, n);
        Out.logUsed += (uint32_t)n;
        data += n;
        length -= n;
    }
}

static void BeginLog(void)
{
    Flush();
    Out.toLog = 1;
    Out.logUsed = 0;
    Out.logSent = 0;
}

static void EndLog(void)
{
    Out.toLog = 0;
    if (Out.logUsed || Out.logSent)
        LogPiece(Out.logLines, Out.logUsed, 0);
    Out.logUsed = 0;
}

/* What a row of the target tells for the exit status. A file that could not be opened is
** counted as not scanned through PrintPassedOver, which names it whatever its extension. */
static void CountRow(const ResultRow *row)
{
    if (row->ofCopy)
        return;   /* the workflow's own copy is no part of what was found */
    switch (row->kind) {
    case RowInfected:
        RowFacts.found++;
        break;
    case RowAutostartRemoved:
        RowFacts.found++;
        RowFacts.removed++;
        break;
    case RowAutostartFound:
        RowFacts.found++;
        RowFacts.remaining++;
        break;
    case RowDeleted:
    case RowCleaned:
    case RowAlreadyRemoved:
        RowFacts.removed++;
        break;
    case RowUnableToClean:
    case RowOtherNamesRemain:
    case RowDeletedAtRestart:
    case RowCleanedAtRestart:
    case RowLeftInPlace:
        RowFacts.remaining++;
        break;
    default:
        break;
    }
}

/* "krvscan: unable to clean: CAUSE: FOLDER" on standard error, the cause in the system's words
** for the change that failed last ("permission denied"), once for each folder and cause in a
** row: whoever reads standard error alone learns why, as the Windows build's line on the
** rights says it there. */
static void SayWhyNotCleaned(const ResultRow *row)
{
    char why[sizeof Out.deniedWhy], folder[sizeof Out.deniedIn];
    Platform.system.lastError(why, sizeof why);
    if (!why[0] || !CopyText(folder, sizeof folder, row->file))
        return;
    why[0] = FoldAscii(why[0]);
    char *cut = strrchr(folder, PathSeparator);
    if (cut)
        cut[1] = 0;
    if (!strcmp(folder, Out.deniedIn) && !strcmp(why, Out.deniedWhy))
        return;
    CopyText(Out.deniedIn, sizeof Out.deniedIn, folder);
    CopyText(Out.deniedWhy, sizeof Out.deniedWhy, why);
    fflush(stdout);
    fputs("krvscan: unable to clean: ", stderr);
    fputs(why, stderr);
    fputs(": ", stderr);
    ErrorEscaped(folder);
    fputc('\n', stderr);
}

void PrintRow(const ResultRow *row)
{
    CountRow(row);
    ClearProgress();
    if (row->kind == RowUnableToClean && !row->ofCopy && !Opts.reportOnly)
        SayWhyNotCleaned(row);
    if (Opts.json)
        WriteJsonRow(row->file, row->status,
                     row->kind > 0 && row->kind < RowKindCount ? Events[row->kind] : "other");
    else
        WriteTextRow(row);
    Flush();
    if (Opts.logFile) {
        BeginLog();
        WriteTextRow(row);
        EndLog();
    }
}

void PrintReport(const ReportRow *rows, int count)
{
    ClearProgress();
    FormatElapsed(Out.seconds);
    if (Opts.quiet || Opts.noSummary)
        ;   /* the log below keeps it */
    else if (Opts.json)
        WriteJsonReport(rows, count);
    else
        WriteTextReport(rows, count);
    Flush();
    if (Opts.logFile) {
        BeginLog();
        WriteTextReport(rows, count);
        EndLog();
    }
}

/* The advice only where a restart has work to do: restart-time operations were registered. */
void PrintWarning(const char *text, const char *caption)
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


/* "krvscan: not scanned: PATH: reason" on standard error and, with --json, an object of its
** own. A link not followed loses nothing of the target: it is named only with --verbose. */
void PrintPassedOver(const char *path, int32_t reason)
{
    int link = reason == PassedLink;
    if (reason < 0 || reason >= PassedOverReasonCount || (link && !Opts.verbose))
        return;
    RowFacts.unscanned += !link;
    ClearProgress();
    fflush(stdout);
    fputs(link ? "krvscan: link not followed: " : "krvscan: not scanned: ", stderr);
    ErrorEscaped(path);
    if (!link) {
        fputs(": ", stderr);
        fputs(PassedOverReasons[reason], stderr);
    }
    fputc('\n', stderr);
    if (Opts.logFile) {
        BeginLog();
        WriteEscaped(path);
        WriteText(link ? "\tlink not followed\n" : "\tnot scanned: ");
        if (!link) {
            WriteText(PassedOverReasons[reason]);
            WriteText("\n");
        }
        EndLog();
    }
    if (Opts.json) {
        JsonLine out;
        BeginJson(&out, link ? "link_not_followed" : "not_scanned");
        JsonName(&out, "path", path);
        JsonKey(&out, "reason");
        JsonString(&out, PassedOverReasons[reason]);
        EndJson(&out);
        Flush();
    }
}

void PrintNotice(const char *path, const char *what)
{
    ClearProgress();
    fflush(stdout);
    if (!Opts.quiet) {
        fputs("krvscan: ", stderr);
        ErrorEscaped(path);
        fputs(": ", stderr);
        fputs(what, stderr);
        fputc('\n', stderr);
    }
    if (Opts.logFile) {
        BeginLog();
        WriteEscaped(path);
        WriteText("\t");
        WriteText(what);
        WriteText("\n");
        EndLog();
    }
}

/* "krvscan: PATH: a link, followed to TARGET" on standard error for each PATH that was one,
** with --json an object of its own, and a line in the log. */
static void PrintFollowedLinks(void)
{
    for (int i = 0; i < Opts.pathCount; i++) {
        if (!Opts.linkNamed[i])
            continue;
        if (!Opts.quiet) {
            fputs("krvscan: ", stderr);
            ErrorEscaped(Opts.linkNamed[i]);
            fputs(": a link, followed to ", stderr);
            ErrorEscaped(Opts.paths[i]);
            fputc('\n', stderr);
        }
        if (Opts.logFile) {
            BeginLog();
            WriteEscaped(Opts.linkNamed[i]);
            WriteText("\tlink followed to ");
            WriteEscaped(Opts.paths[i]);
            WriteText("\n");
            EndLog();
        }
        if (Opts.json) {
            JsonLine out;
            BeginJson(&out, "link_followed");
            JsonName(&out, "path", Opts.linkNamed[i]);
            JsonName(&out, "target", Opts.paths[i]);
            EndJson(&out);
            Flush();
        }
    }
}

/* The log's header: "krvscan<TAB>time<TAB>host<TAB>version<TAB>command line". */
static void WriteLogHeader(void)
{
    BeginLog();
    WriteText("krvscan\t");
    WriteText(Out.started);
    WriteText("\t");
    WriteEscaped(Out.host);
    WriteText("\t" Version "\t");
    for (int i = 0; i < Opts.argCount; i++) {
        if (i)
            WriteText(" ");
        WriteEscaped(Opts.args[i]);
    }
    WriteText("\n");
    EndLog();
}

/* Counted for the report; with --json named in an object of its own, a folder once, as the
** walk passes it over with all it holds; in the log a line. Not on standard error: it is what
** was asked for. */
void PrintExcluded(const char *path)
{
    Out.excluded++;
    if (Opts.logFile) {
        BeginLog();
        WriteEscaped(path);
        WriteText("\texcluded\n");
        EndLog();
    }
    if (Opts.json && !Opts.quiet) {
        ClearProgress();
        JsonLine out;
        BeginJson(&out, "excluded");
        JsonName(&out, "path", path);
        EndJson(&out);
        Flush();
    }
}

void StartOutput(void)
{
    Out.sink = stdout;
    Out.startedAt = Platform.system.milliseconds();
    FormatUtcNow(Out.started);
    Platform.system.hostName(Out.host, sizeof Out.host);
    if (Opts.logFile)
        WriteLogHeader();
    PrintFollowedLinks();
}

void EndOutput(void)
{
    if (!Out.failed && FlushOutput() != 0)
        OutputFailed();
    if (Opts.logFile && !Platform.files.closeFile(Opts.logFile) && !Out.failed)
        OutputFailed();
    Opts.logFile = nullptr;
}

int OutputHasFailed(void)
{
    return Out.failed;
}
