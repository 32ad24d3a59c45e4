/*
** The display operations: how everything that happens during a scan reaches the user.
**
** The core calls AddResultRow, ShowTarget, DisableControl, EnableControl and ShowScanReport and
** never sees a window. A consumer (the dialog, the console front end, a test) installs its own
** DisplayOps; the report's rows, their order and texts are built here, once, for all of them.
** Without a consumer every operation does nothing, ShowScanReport aside, which still returns
** the state to Idle.
*/
#ifndef KRV_DISPLAY_H
#define KRV_DISPLAY_H

#include <stdint.h>

#include "scan/controls.h"

extern const char DialogTitle[];      /* the caption of the dialog and of every message box */
extern const char AllFixedDrives[];   /* what the target field shows for an empty target */
extern const char RestartWarning[];   /* the restart warning's text */
extern const char ScanCaption[];      /* "&Scan": the Scan/Stop button while no scan runs */
extern const char StopCaption[];      /* "&Stop": the same button during a scan */

/* The report: the title row (with an empty status), then one labelled row per counter, in
** this order: "Folders:" ... "Unable to be cleaned:". Each row also has a key for machines:
** the label in lower case without the colon, words joined by "_" ("unable_to_be_cleaned"). */
#define ReportRowCount 10
struct ReportRow {
    const char *label;
    const char *key;
    const int32_t *counter;
};
extern const char ReportTitle[];
extern const ReportRow ReportRows[ReportRowCount];

/* What a row says, for machines: the kind of each status text the core writes. The console's
** JSON events and the facts behind its exit status are read from it, never from the text. */
enum RowKind : int32_t {
    RowOther = 0,            /* the report's rows (title and counters) */
    RowInfected,             /* "infected: NAME" */
    RowSuspect,              /* "suspect: NAME" */
    RowWarning,              /* "warning: NAME" */
    RowDeleted,
    RowDeletedAtRestart,
    RowQuarantined,          /* a copy was kept in the quarantine folder */
    RowCopying,              /* the copy fallback has begun: the rows of the copy follow */
    RowCleaned,
    RowCleanedAtRestart,
    RowUnableToClean,
    RowOtherNamesRemain,     /* this name deleted; the file lives on under others */
    RowAccessError,
    RowUnableToOpen,
    RowLeftInPlace,          /* found, and nothing done: report only */
    RowAutostartRemoved,     /* the worm's autostart value (named in `file`) */
    RowAutostartFound,
    RowRestored,             /* a kept copy put back at its path (krvscan --restore) */
    RowAlreadyRemoved,       /* the file detected was gone when it was to be removed */
    RowKindCount
};

/* One row of the list: what the dialog shows (file, status) and what it means. */
struct ResultRow {
    const char *file;     /* the path the row names */
    const char *status;   /* the text shown beside it */
    RowKind kind;
    int32_t ofCopy;       /* 1: `file` is the workflow's own copy of a file of the target, made
                          ** to clean it; such a row tells nothing of what the target holds */
    int32_t keyAt = -1;   /* where a registry key's text begins in `file` (its backslashes
                          ** separate the key's parts, and the value's name and data follow);
                          ** -1 when the row names a file only */
};

struct DisplayOps {
    /* Appends one row; the texts are copied before it returns. */
    void (*addRow)(const ResultRow *row);
    /* Puts `text` into the target field. */
    void (*setTargetText)(const char *text);
    /* Switches control `id` off (enabled 0) or on, and repaints it at once. */
    void (*setControlEnabled)(int id, int enabled);
    /* Sets the caption of the Scan/Stop button. */
    void (*setScanCaption)(const char *caption);
    /* Shows the restart warning and returns when the user has dismissed it. */
    void (*warnRestart)(const char *text, const char *caption);
    /* Optional: enables Scan, Select Path and Exit, in this order, then sets ScanState to Idle,
    ** as one step with respect to the Stop command. Null: ShowScanReport does it itself. */
    void (*finishScan)(void);
    /* Optional: receives the report as data, the rows in order (read each counter through
    ** the row); no report row then comes through addRow. Null: the report comes as rows
    ** through addRow, the title row first. */
    void (*showReport)(const ReportRow *rows, int count);
    /* Optional: a part of the target the walk did not go into, and why (PassedOver). The rows
    ** do not change with it. */
    void (*passedOver)(const char *path, int32_t reason);
    /* Optional: something the run did beside the scan that its user should know of, such as
    ** removing a leftover of a run that did not end (`path`, and `what` was done). */
    void (*notice)(const char *path, const char *what);
};

/* Why the walk did not go into a part of the target. */
enum PassedOver : int32_t {
    PassedNotListed = 0,   /* a folder that could not be listed, for any cause but want of
                           ** descriptors (PassedNoDescriptors) */
    PassedTooLong = 1,     /* a folder whose path is too long for the system */
    PassedMountPoint = 2,  /* a mount point (on Windows also a junction), not entered */
    PassedLink = 3,        /* a link, not followed: no part of the target is lost by it */
    /* A file that could not be opened or read, whatever its name (PassedTooLong for a file
    ** whose path is too long), by the cause the platform gave: */
    PassedFileNotOpened = 4,   /* any other cause */
    PassedNoDescriptors = 5,   /* no descriptors (handles) left; for a folder as well */
    PassedAccessDenied = 6,
    PassedFileInUse = 7,       /* held by another program */
    PassedIoError = 8,         /* an I/O error, or a read that failed */
    PassedKeyUnreadable = 9,   /* a registry key that could not be opened or read */
};

/* The installed consumer; null means none. */
extern const DisplayOps *Display;

/* Appends one row (`kind` and `ofCopy` as in ResultRow) at the end of the list and scrolls it
** into view. */
void AddResultRow(const char *file, const char *status, RowKind kind, int32_t ofCopy);

/* Tells the consumer that `path` was passed over for `reason` (PassedOver). */
void ShowPassedOver(const char *path, int32_t reason);

/* Tells the consumer of `what` was done to `path` beside the scan (DisplayOps.notice). */
void ShowNotice(const char *path, const char *what);

/* Shows `path`, or AllFixedDrives when it is empty. */
void ShowTarget(const char *path);

/* Switches a control off or on and repaints it; a control already so is repainted all the same. */
void DisableControl(int id);
void EnableControl(int id);

/* Ends every scan: the Scan caption back to "&Scan", the eleven report rows (each counter read
** as its row is written) or the report hook, the restart warning when anything was infected, then Scan, Select
** Path and Exit enabled and ScanState set to Idle, as the very last step. */
void ShowScanReport(void);

/* Writes `value` as signed decimal text into `out` (at least 12 bytes). */
void FormatCounter(char *out, int32_t value);

#endif
