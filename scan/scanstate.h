/*
** The process-wide variables that drive a scan. The dialog thread and one worker thread share
** them; the notes below say who writes each.
*/
#ifndef KRV_SCANSTATE_H
#define KRV_SCANSTATE_H

#include "platform/platform.h"

#include <stdint.h>
#include <atomic>

#define ScanPathSize   PlatformPathSize
#define TargetPathSize 260

/* The path being worked on: the folder being walked (with its trailing separator) or the file
** being processed. Written by the worker only: the walk and ProcessFile. */
extern char ScanPath[ScanPathSize];

/* The user's folder; empty means all fixed drives. Written by the dialog thread while no scan
** runs; read by the worker at the start and at the end of a scan. */
extern char TargetPath[TargetPathSize];

/* 1 while a scan may go on; StopScan (dialog thread) clears it, the walk polls it. Relaxed
** ordering is enough: the worker only has to see the change at its next poll. */
extern std::atomic<int32_t> ScanContinue;

enum ScanStateValue : int32_t { Initializing = 0, Idle = 1, Scanning = 2, Stopping = 3 };

/* The dialog's state: written by the dialog thread (initialisation, Scan, confirmed Stop) and,
** as the last act of every scan, by whoever finishes the report. */
extern std::atomic<int32_t> ScanState;

/* The report's counters, touched by the worker alone while a scan runs. */
struct ScanCounterSet {
    int32_t folders;          /* folders entered */
    int32_t files;            /* ProcessFile calls */
    int32_t infected;         /* files found infected on their first pass */
    int32_t warnings;
    int32_t suspicious;
    int32_t cleaned;          /* found clean again after cleaning */
    int32_t deleted;
    int32_t cleanedAtRestart;
    int32_t deletedAtRestart;
    int32_t unableToClean;
    int32_t accessErrors;     /* not shown in the report */
};
extern ScanCounterSet ScanCounters;

/* Sets all eleven counters to 0. */
void ResetScanCounters(void);

/* Asks the running walk to end at its next poll. */
void StopScan(void);

#endif
