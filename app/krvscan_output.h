/*
** krvscan's output formats: text lines or JSON Lines on standard output, text lines in the log,
** and what the rows told, counted as they pass.
*/
#ifndef KRV_KRVSCAN_OUTPUT_H
#define KRV_KRVSCAN_OUTPUT_H

#include <stddef.h>
#include <stdint.h>

#include "scan/display.h"

/* What became of what was found, counted from the rows' kinds as they pass (the workflow's own
** copies left out): the facts behind the exit status and the JSON report. */
struct Facts {
    int32_t found, removed, remaining, unscanned;
};
extern Facts RowFacts;

/* The scan ran to its end; set before the report is written. */
extern int ScanComplete;

/* Begins the output: the time and host for the report, the log's header line, and a line for
** each PATH that was a link (ErrorEscaped on standard error, an object with --json, the log). */
void StartOutput(void);

/* Puts out what is still buffered and closes the log; a failure counts as a failed output. */
void EndOutput(void);

/* A write has failed: the scan was stopped and nothing was changed after it. */
int OutputHasFailed(void);

/* Puts out what standard output (or the log) has buffered; non-zero when that failed. */
int FlushOutput(void);


/* The console's display operations: one row, the report, the restart advice (only when
** something was registered for the restart), and a part passed over ("krvscan: not scanned:
** PATH: reason" on standard error; a link not followed only with --verbose). */
void PrintRow(const ResultRow *row);
void PrintReport(const ReportRow *rows, int count);
void PrintWarning(const char *text, const char *caption);
void PrintPassedOver(const char *path, int32_t reason);

/* An entry --exclude or --exclude-dir passed over: counted for the report's "Excluded:" line,
** with --json an object {"event":"excluded","path":...}, a line in the log. */
void PrintExcluded(const char *path);

/* "krvscan: PATH: WHAT" on standard error, and "PATH<tab>WHAT" in the log: something done
** beside the scan (a leftover of a run that did not end, removed). */
void PrintNotice(const char *path, const char *what);


#endif
