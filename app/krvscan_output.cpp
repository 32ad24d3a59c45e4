/*
** krvscan's output: every row, passed-over part and the report, as text lines or JSON Lines on
** standard output, and as text lines appended to the log. Output is written as the scan goes;
** a write that fails (a closed pipe, a full disk) stops the scan, and from then on nothing is
** changed: no file may change without its row.
*/
#include "app/krvscan_output.h"

#include "app/krvscan_options.h"
#include "app/krvscan_progress.h"
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

static FILE *sink = stdout;              /* where Write goes: standard output */
static int outputFailed;
static int toLog;                         /* Write goes to logLines instead (BeginLog) */
static char logLines[4 * PlatformPathSize + 1024];   /* what goes to the log, whole lines */
static uint32_t logUsed;
static int logSent;                       /* a piece of the record in hand is in the log */
static char host[64];                     /* the machine's name, for the log and the report */
static char started[24];                  /* when the scan started, UTC, ISO 8601 */

/* Two hexadecimal digits of `byte` at `out`. */
static void PutHex(char *out, unsigned byte, const char *digits)
{
    out[0] = digits[(byte >> 4) & 15];
    out[1] = digits[byte & 15];
}

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
int FlushOutput(void)
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

size_t EscapeNext(const unsigned char **p, char *out)
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
    WriteText(ScanComplete && !outputFailed ? "},\"complete\":true" : "},\"complete\":false");
    const Facts &f = RowFacts;
    WriteJsonNumber("found", f.found);
    WriteJsonNumber("removed", f.removed);
    WriteJsonNumber("remaining", f.remaining);
    WriteJsonNumber("unscanned", f.unscanned);
    WriteText(",\"paths\":[");
    for (int i = 0; i < Opts.pathCount; i++) {
        WriteText(i ? ",{\"path\":" : "{\"path\":");
        WriteJsonString(Opts.paths[i]);
        WriteText(",\"filesystem\":");
        WriteJsonString(Opts.fileSystems[i]);
        WriteText("}");
    }
    WriteText(Opts.hibernated ? "],\"hibernated\":true" : "]");
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

/* Every row and the report go to the log as text, each record (a row, the report, the header)
** appended at the file's end under the log's lock, so that many runs and machines can append to
** one file without a line ever being cut or mixed with another's. A record longer than logLines
** (a header of many long paths) goes in pieces of one record; `more` says another follows. */
static void LogPiece(const char *data, uint32_t length, int more)
{
    if (!outputFailed && !Platform.appendLog(Opts.logFile, data, length, more))
        OutputFailed();
}

static void LogPut(const char *data, size_t length)
{
    while (length) {
        if (logUsed == sizeof logLines) {
            LogPiece(logLines, logUsed, 1);
            logUsed = 0;
            logSent = 1;
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
    logSent = 0;
}

static void EndLog(void)
{
    toLog = 0;
    if (logUsed || logSent)
        LogPiece(logLines, logUsed, 0);
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

void PrintRow(const ResultRow *row)
{
    CountRow(row);
    ClearProgress();
    if (Opts.json)
        WriteJsonRow(row->file, row->status,
                     row->kind > 0 && row->kind < RowKindCount ? Events[row->kind] : "other");
    else
        WriteTextRow(row->file, row->status);
    Flush();
    if (Opts.logFile) {
        BeginLog();
        WriteTextRow(row->file, row->status);
        EndLog();
    }
}

void PrintReport(const ReportRow *rows, int count)
{
    ClearProgress();
    if (Opts.json)
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

/* `text` on standard error, escaped as the rows are. */
void ErrorEscaped(const char *text)
{
    char one[EscapedMax];
    for (const unsigned char *p = (const unsigned char *)text; *p;)
        fwrite(one, 1, EscapeNext(&p, one), stderr);
}

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
        WriteText(link ? "{\"event\":\"link_not_followed\"," : "{\"event\":\"not_scanned\",");
        WriteJsonName("path", path);
        WriteText(",\"reason\":\"");
        WriteText(PassedOverReasons[reason]);
        WriteText("\"}\n");
        Flush();
    }
}

void PrintNotice(const char *path, const char *what)
{
    ClearProgress();
    fflush(stdout);
    fputs("krvscan: ", stderr);
    ErrorEscaped(path);
    fputs(": ", stderr);
    fputs(what, stderr);
    fputc('\n', stderr);
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
        fputs("krvscan: ", stderr);
        ErrorEscaped(Opts.linkNamed[i]);
        fputs(": a link, followed to ", stderr);
        ErrorEscaped(Opts.paths[i]);
        fputc('\n', stderr);
        if (Opts.logFile) {
            BeginLog();
            WriteEscaped(Opts.linkNamed[i]);
            WriteText("\tlink followed to ");
            WriteEscaped(Opts.paths[i]);
            WriteText("\n");
            EndLog();
        }
        if (Opts.json) {
            WriteText("{\"event\":\"link_followed\",");
            WriteJsonName("path", Opts.linkNamed[i]);
            WriteText(",");
            WriteJsonName("target", Opts.paths[i]);
            WriteText("}\n");
            Flush();
        }
    }
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
    for (int i = 0; i < Opts.argCount; i++) {
        if (i)
            WriteText(" ");
        WriteEscaped(Opts.args[i]);
    }
    WriteText("\n");
    EndLog();
}

void StartOutput(void)
{
    sink = stdout;
    FormatUtcNow(started);
    Platform.hostName(host, sizeof host);
    if (Opts.logFile)
        WriteLogHeader();
    PrintFollowedLinks();
}

void EndOutput(void)
{
    if (!outputFailed && FlushOutput() != 0)
        OutputFailed();
    if (Opts.logFile && !Platform.closeFile(Opts.logFile) && !outputFailed)
        OutputFailed();
    Opts.logFile = nullptr;
}

int OutputHasFailed(void)
{
    return outputFailed;
}
