#include "scan/display.h"

#include "base/text.h"
#include "scan/scanstate.h"

#include <stddef.h>

const char DialogTitle[] = "Korvane - Tamsel Removal Tool";
const char AllFixedDrives[] = "All fixed drives";
const char RestartWarning[] =
    "You should restart and rescan the computer\nin order to complete the disinfection process.";
const char ScanCaption[] = "&Scan";
const char StopCaption[] = "&Stop";
const char ReportTitle[] = "Scan report";

const DisplayOps *Display;

void AddResultRow(const char *file, const char *status, RowKind kind, int32_t ofCopy)
{
    ResultRow row = {file, status, kind, ofCopy};
    if (Display && Display->addRow)
        Display->addRow(&row);
}

void ShowPassedOver(const char *path, int32_t reason)
{
    if (Display && Display->passedOver)
        Display->passedOver(path, reason);
}

void ShowNotice(const char *path, const char *what)
{
    if (Display && Display->notice)
        Display->notice(path, what);
}

void ShowTarget(const char *path)
{
    if (Display && Display->setTargetText)
        Display->setTargetText(path[0] ? path : AllFixedDrives);
}

void DisableControl(int id)
{
    if (Display && Display->setControlEnabled)
        Display->setControlEnabled(id, 0);
}

void EnableControl(int id)
{
    if (Display && Display->setControlEnabled)
        Display->setControlEnabled(id, 1);
}

void FormatCounter(char *out, int32_t value)
{
    FormatSigned(out, value);
}

const ReportRow ReportRows[ReportRowCount] = {
    {"Folders:", "folders", &ScanCounters.folders},
    {"Files:", "files", &ScanCounters.files},
    {"Infected:", "infected", &ScanCounters.infected},
    {"Warnings:", "warnings", &ScanCounters.warnings},
    {"Suspicious:", "suspicious", &ScanCounters.suspicious},
    {"Cleaned:", "cleaned", &ScanCounters.cleaned},
    {"Deleted:", "deleted", &ScanCounters.deleted},
    {"Cleaned at restart:", "cleaned_at_restart", &ScanCounters.cleanedAtRestart},
    {"Deleted at restart:", "deleted_at_restart", &ScanCounters.deletedAtRestart},
    {"Unable to be cleaned:", "unable_to_be_cleaned", &ScanCounters.unableToClean},
};

void ShowScanReport(void)
{
    char value[256];   /* one buffer serves every row in turn */

    if (Display && Display->setScanCaption)
        Display->setScanCaption(ScanCaption);
    if (Display && Display->showReport) {
        Display->showReport(ReportRows, ReportRowCount);
    } else {
        AddResultRow(ReportTitle, "", RowOther, 0);
        for (const ReportRow &row : ReportRows) {
            FormatCounter(value, *row.counter);
            AddResultRow(row.label, value, RowOther, 0);
        }
    }
    if (ScanCounters.infected != 0 && Display && Display->warnRestart)
        Display->warnRestart(RestartWarning, DialogTitle);

    /* The dialog makes the last two steps one with its Stop command; without it, this thread
    ** is the only one that touches the state. */
    if (Display && Display->finishScan) {
        Display->finishScan();
        return;
    }
    EnableControl(ScanButton);
    EnableControl(SelectPathButton);
    EnableControl(ExitButton);
    ScanState.store(Idle);
}
