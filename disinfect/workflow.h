/*
** The per-file workflow: the only place where scanned files are changed.
*/
#ifndef KRV_WORKFLOW_H
#define KRV_WORKFLOW_H

#include <stdint.h>

/* The engine's record of one file, handed to the detector and the cleaner. Declared only, so
** that including this header does not open the engine to the layers above. */
struct ScanContext;

/* The cleaner's answer. Any other value means the file cannot be cleaned. */
namespace CleanResult {
enum : int32_t { Cleaned = 0, AccessError = 4, DeleteFile = 6 };
}

/* The status texts of the rows, lower-case phrases the user reads in the list. A finding's
** status is its prefix followed by the detection name. */
extern const char StatusInfected[];          /* "infected: " */
extern const char StatusSuspect[];           /* "suspect: " */
extern const char StatusWarning[];           /* "warning: " */
extern const char StatusDeleted[];
extern const char StatusDeletedAtRestart[];
extern const char StatusCopying[];           /* the copy fallback has begun */
extern const char StatusCleaned[];
extern const char StatusCleanedAtRestart[];
extern const char StatusUnableToClean[];
/* A file with other names (hard links): the name found was deleted, the file lives on. */
extern const char StatusOtherNamesRemain[];
extern const char StatusAccessError[];
extern const char StatusUnableToOpen[];
extern const char StatusLeftInPlace[];       /* found, and nothing done: ReportOnly */
extern const char StatusAlreadyRemoved[];    /* the file detected was removed by another run */

/* 1: findings are reported and nothing is changed (no cleaning, deletion, copy, attribute
** change or restart-time registration); each infected file gets StatusLeftInPlace after its
** finding, and only `files`, `infected`, `suspicious` and `warnings` count. Set before a scan
** by the front end that offers it; 0 otherwise. */
extern int ReportOnly;

/* Asked before the first change to a file found infected (never for the workflow's own copy of
** it), while `context->file` is still the handle the detection read: the very file that was
** found, whatever its name leads to now. Answers 0 to leave the file as it is, reported "unable
** to clean". Null (the dialog): nothing is asked. Set before a scan by the front end. */
extern int (*BeforeChange)(ScanContext *context);

/* The verdict of the last detection, or DeleteFile once the delete branch began; read only by
** the invocation that made a copy, right after the copy's processing returned. */
extern int32_t LastResult;

/* The ten extensions (lower case, no dot) for which an unopenable file is reported. */
extern const char *const ScannedExtensions[10];

/* The built-in cleaner: answers DeleteFile for every file and does not touch it. */
int32_t CleanFile(ScanContext *context);

/* The detector and cleaner ProcessFile calls: DetectFile and CleanFile, unless a test
** installs others. */
extern int32_t (*Detector)(ScanContext *context);
extern int32_t (*Cleaner)(ScanContext *context);

/* Passes over one file at most: a cleaner that keeps answering Cleaned on a file that stays
** infected ends with "unable to clean". */
#define MaxPasses 16

/* For a file whose path is too long for the system, so that it cannot be opened: counts it in
** `files` and, when the extension after the last "." of `path` is one of ScannedExtensions,
** shows "unable to open file" for `path`, as for any file that cannot be opened. */
void ProcessUnreachableFile(const char *path);

/* Names, once per volume and scan, every file waiting in the restart folders of the volume
** that holds `path` as "will be deleted at restart" (counted in `infected` and
** `deletedAtRestart`): a file moved there by an earlier scan is still on the machine until the
** restart. Outside
** ReportOnly, a registration lost is made again and an empty folder removed. For the walk, at
** each folder or file it is given. */
void ReportWaitingAtRestart(const char *path);

/* A scan begins: no volume's restart folders have been named yet. */
void ForgetWaitingVolumes(void);

/* Tells read-ahead what the detector reads of each file first, as the signature table says
** (SignatureReadAhead): for the walk, as a scan begins. */
void PlanReadAhead(void);

/* Decides the fate of the file whose full path is in ScanPath: rows, counters, deletion,
** the copy fallback and restart-time registration. ScanPath holds the same path on return. */
void ProcessFile(void);

#endif
