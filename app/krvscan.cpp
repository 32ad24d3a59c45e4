/*
** krvscan: the scan without the dialog, for administrators' scripts and rescue systems. The
** same walk, workflow, rows and report as the dialog; see krvscan_options.cpp's Usage and the
** README.
**
** Output is written as the scan goes. Ctrl-C stops the scan the way Stop does: the file in hand
** is finished, so no copy is left half done. A write that fails (a closed pipe, a full disk)
** stops it too, and from then on nothing is changed: no file may change without its row. Either
** way the exit status says the scan did not run to its end.
**
** main reads the command line (ParseArguments) and checks it (CheckOptions; krvscan_options),
** runs the scan (RunScan) with the console's display operations (krvscan_output for the rows
** and the report, krvscan_progress for the folder in hand), and answers the exit status
** (ExitStatus) from the facts the rows told.
*/
#include "app/krvscan_names.h"
#include "app/krvscan_options.h"
#include "app/krvscan_output.h"
#include "app/krvscan_progress.h"
#include "base/text.h"
#include "disinfect/quarantine.h"
#include "disinfect/restore.h"
#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"
#include "startup/runkey.h"
#include "walk/walk.h"
#ifdef KRV_HAVE_HIVEX
#include "startup/offline_hive.h"
#endif

#include <atomic>
#include <string.h>

static std::atomic<int> interrupted{0};   /* written by the interrupt handler */
static int runKeyDenied;                  /* the Run key's value stays: the rights are wanting */

static const DisplayOps ConsoleDisplay = {PrintRow,     ShowProgress, nullptr,     nullptr,
                                          PrintWarning, nullptr,      PrintReport, PrintPassedOver,
                                          PrintNotice};

static void OnInterrupt(void)
{
    interrupted.store(1);
    StopScan();
}

/* The row of the worm's autostart value `text`, whose key's text begins at `keyAt`, for what
** became of it (`outcome`, a RunKeyOutcome but none or unreadable). */
static void AutostartRow(const char *text, int32_t keyAt, int outcome)
{
    if (outcome == RunKeyNotRemoved || outcome == RunKeyDenied)
        RowFacts.found++;   /* the row says only what became of it */
    ResultRow row = {text, StatusUnableToClean, RowUnableToClean, 0, keyAt};
    if (outcome == RunKeyFound) {
        row.status = StatusAutostartFound;
        row.kind = RowAutostartFound;
    } else if (outcome == RunKeyRemoved) {
        row.status = StatusAutostartRemoved;
        row.kind = RowAutostartRemoved;
    }
    PrintRow(&row);   /* the console's own row: its text knows where the key begins */
}

/* The worm's autostart value in the registry of the running system (none on POSIX), reported
** as a file is: a row naming the key, the value and its data, counted found and then removed or
** remaining; a value that cannot be deleted is "unable to clean" (for want of the rights, with a
** line on standard error that says so), a key that cannot even be read is not scanned. Nothing
** is deleted once the output has failed (ReportOnly). */
static void CleanRunningAutostart(void)
{
    static const char RunKey[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    SystemVersion version;
    if (Platform.restart.systemVersion(&version) && version.family == SystemPosix)
        return;
    char name[RunKeyNameSize], data[1024], row[sizeof RunKey + RunKeyNameSize + sizeof data + 4];
    int outcome = FindRunKeyValue(ReportOnly, name, data, sizeof data);
    if (outcome == RunKeyUnreadable) {
        PrintPassedOver(RunKey, PassedKeyUnreadable);
        return;
    }
    if (outcome == RunKeyNone)
        return;
    RunValueRow(row, sizeof row, RunKey, name, data);
    AutostartRow(row, 0, outcome);
    if (outcome == RunKeyDenied) {
        runKeyDenied = 1;
        ClearProgress();
        fflush(stdout);
        fputs("krvscan: unable to clean: ", stderr);
        ErrorEscaped(row);
        fputs(": the Run key opens for reading only; removing the value needs an administrator "
              "(run krvscan as one, as the system account at start-up, or through the scheduler "
              "service, at)\n", stderr);
    }
}

#ifdef KRV_HAVE_HIVEX
/* A new hive a killed run left in the config folder `folder`, removed: named like every
** leftover. */
static void SweptHive(const char *folder, const char *name)
{
    char path[PlatformPathSize + 256];
    CopyText(path, sizeof path, folder);
    AppendText(path, sizeof path, "/");
    AppendText(path, sizeof path, name);
    PrintNotice(path, StatusLeftoverRemoved);
}

/* The offline hive takes its new form only while the scan goes on and its row can be written. */
static int HiveMayChange(void)
{
    return ScanContinue.load() != 0 && !OutputHasFailed();
}

#endif

/* The worm's autostart value: in the offline hive under --windows-root, else in the registry
** of the running system. Answers 2 when the build cannot read an offline hive. */
static int CleanAutostart(const char *windowsRoot, int reportOnly)
{
    if (!windowsRoot) {
        CleanRunningAutostart();
        return 0;
    }
#ifndef KRV_HAVE_HIVEX
    (void)reportOnly;
    return Fail("not available in this build (it needs hivex)", "--windows-root");
#else
    static OfflineRunValue found;   /* the main thread is the only user */
    int outcome = RemoveOfflineRunValue(windowsRoot, reportOnly, HiveMayChange, SweptHive, &found);
    if (outcome == RunKeyNotRemoved || outcome == RunKeyUnreadable) {
        /* The hive's trouble is a line of its own, and the file scan runs all the same: the
        ** value found and kept counts as remaining (exit 3), a hive that could not be read as
        ** a part not scanned (exit 4). Only what makes every change unsafe (a hibernated
        ** Windows, a read-only disk) stops the run before the scan, in CheckOptions. */
        ClearProgress();
        fflush(stdout);
        Fail(found.error, nullptr);
        if (outcome == RunKeyUnreadable)
            RowFacts.unscanned++;
    }
    if (outcome == RunKeyNone || outcome == RunKeyUnreadable)
        return 0;
    /* "<hive>:<key>\<name> = <data>": the key's text begins after the hive's path. */
    char key[sizeof found.hive + 64];
    char row[sizeof key + sizeof found.name + sizeof found.data + 4];
    CopyText(key, sizeof key, found.hive);
    AppendText(key, sizeof key, ":");
    AppendText(key, sizeof key, OfflineRunKey);
    RunValueRow(row, sizeof row, key, found.name, found.data);
    AutostartRow(row, (int32_t)strlen(found.hive) + 1, outcome);
    return 0;
#endif
}

/* Every change to a file found infected waits for this. Once the output has failed, nothing
** more is changed (no file may change without its row, which can no longer be written); then,
** with --quarantine, the file's copy must be kept first. */
static int BeforeFileChange(ScanContext *context)
{
    if (OutputHasFailed())
        return 0;
    return !Opts.quarantine || QuarantineFile(context);
}

/* What the walk passes over: the patterns of --exclude and --exclude-dir, and the program's
** own outputs, by identity: a file server's start-up script may write the log, standard output
** and standard error into the share it scans, where reading them would fail (the log is held
** for writing; on Windows so are the redirected files) and make every such run "not fully
** scanned"; the quarantine's copies would be found again, and with --clean removed. */
static WalkRules Rules;   /* written here, before the scan */

static void AddOwnEntry(uint64_t volume, uint64_t index, const char *said)
{
    if (Rules.ownCount < MaxOwnEntries)
        Rules.own[Rules.ownCount++] = {volume, index, said};
}

static void SetWalkRules(void)
{
    Rules.excludeFiles = Opts.excludeFiles;
    Rules.excludeFileCount = Opts.excludeFileCount;
    Rules.excludeFolders = Opts.excludeFolders;
    Rules.excludeFolderCount = Opts.excludeFolderCount;
    Rules.excluded = PrintExcluded;
    uint64_t volume, index;
    if (Opts.logPath && Platform.files.fileIdentity(Opts.logPath, &volume, &index))
        AddOwnEntry(volume, index, nullptr);
    for (int stream = 1; stream <= 2; stream++)
        if (Platform.system.streamIdentity(stream, &volume, &index))
            AddOwnEntry(volume, index, nullptr);
    if (Opts.quarantine && QuarantineIdentity(&volume, &index))
        AddOwnEntry(volume, index, "the quarantine folder, not scanned");
    CrossMountPoints = Opts.crossFs;
    ScanRules = &Rules;
}

/* The autostart value, the scan and the report. Answers 2 when the scan could not start. */
static int RunScan(void)
{
    PlatformRaiseFileLimit();
    Display = &ConsoleDisplay;
    /* Set before the handler is in place, so that no stop is ever lost. */
    ScanContinue.store(1);
    Platform.system.onInterrupt(OnInterrupt);
    if (!Opts.quiet)
        StartProgress();
    SetWalkRules();
    StartOutput();
    if (Opts.quarantine)
        QuarantineSweep();
    ReportOnly = Opts.reportOnly;
    BeforeChange = BeforeFileChange;
    if (CleanAutostart(Opts.windowsRoot, Opts.reportOnly))
        return 2;
    ScanState.store(Scanning);
    ScanGivenPaths(Opts.paths, Opts.pathCount);
    ScanComplete = ScanContinue.load() != 0;   /* cleared only by a stop */
    ClearProgress();
    ShowScanReport();
    EndOutput();
    return 0;
}

/* What the scan's end means for the caller, with one line on standard error when it did not
** run to its end. */
static int ExitStatus(void)
{
    if (OutputHasFailed())
        return Fail("the output could not be written; the scan was stopped", nullptr);
    if (interrupted.load() || !ScanComplete)
        return Fail("interrupted; the scan was stopped", nullptr);
    const Facts &f = RowFacts;
    if (!Opts.reportOnly && f.remaining > runKeyDenied && RunKeyWritable() == 0) {
        /* A run that may not change the machine's own key may not change system folders either:
        ** what it could not remove says why, for whoever reads standard error alone. */
        fflush(stdout);
        fputs("krvscan: unable to clean: files found: this run has no administrator's rights (the "
              "machine's Run key opens for reading only); run krvscan as an administrator, as the "
              "system account at start-up, or through the scheduler service (at)\n", stderr);
    }
    if (!Opts.reportOnly && f.remaining > 0)
        return 3;
    if (f.unscanned > 0)
        return 4;
    /* A file that waits in a restart folder for its deletion is no row "infected" but still on
    ** the disk: a run that only reports does not call the machine clean before the restart. */
    return f.found > 0 || f.remaining > 0 ? 1 : 0;
}

/* One line on standard error for what could not be restored. */
static void RestoreProblemLine(const char *what, const char *cause)
{
    fflush(stdout);
    fputs("krvscan: ", stderr);
    ErrorEscaped(what);
    fputs(": ", stderr);
    fputs(cause, stderr);
    fputc('\n', stderr);
}

/* --restore DIR [ID...]: the quarantine's copies put back, a row for each, instead of a scan. */
static int RunRestore(void)
{
    if (Opts.clean || Opts.reportOnly || Opts.allFixedDrives || Opts.windowsRoot ||
        Opts.quarantine || Opts.logPath || Opts.fileListCount || Opts.excludeFileCount ||
        Opts.excludeFolderCount || Opts.crossFs)
        return Fail("stands alone: no option but --json and --restore-root with it (its "
                    "arguments are IDs, not PATHs)", "--restore");
    Display = &ConsoleDisplay;
    ScanContinue.store(1);
    Platform.system.onInterrupt(OnInterrupt);
    int status = RestoreFromQuarantine(Opts.restoreFolder, Opts.restoreRoot, Opts.paths,
                                       Opts.pathCount, RestoreProblemLine);
    if (interrupted.load())
        return Fail("interrupted; the restore was stopped: each file is back whole or not at "
                    "all", nullptr);
    if (!OutputHasFailed() && FlushOutput() != 0)
        return Fail("the output could not be written", nullptr);
    return OutputHasFailed() ? Fail("the output could not be written", nullptr) : status;
}

int main(int argc, char **argv)
{
    int status = ParseArguments(argc, argv);
    if (status >= 0)
        return status;
    if (Opts.restoreFolder)
        return RunRestore();
    if (CheckOptions() || RunScan())
        return 2;
    return ExitStatus();
}

