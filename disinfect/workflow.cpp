/*
** The per-file workflow.
**
** ProcessFile scans one file, shows what it found, and deletes, cleans or copies it. A file that
** cannot be opened for writing (the running worm keeps it locked) is copied under a free name,
** the copy is processed by a nested ProcessFile, and what is left to do on the file itself is
** registered for the next restart. Every path is built in ScanPath and in one buffer of the
** same size per invocation; whatever happens, ScanPath holds on return what it held on entry.
*/
#include "disinfect/workflow.h"
#include "base/text.h"

#include "disinfect/restart.h"
#include "engine/signature.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <string.h>

int32_t LastResult;

const char *const ScannedExtensions[10] = {
    "exe", "com", "dll", "ocx", "scr", "cpl", "pif", "lnk", "bat", "cmd"};

int32_t (*Detector)(ScanContext *context) = DetectFile;
int32_t (*Cleaner)(ScanContext *context) = CleanFile;

#define TextSize     ScanPathSize
#define CopySuffixLength 7          /* ".qx-" and three hexadecimal digits */
#define MaxCopyNumber 0xFFFu

const char StatusInfected[] = "infected: ";
const char StatusSuspect[] = "suspect: ";
const char StatusWarning[] = "warning: ";
const char StatusDeleted[] = "deleted";
const char StatusDeletedAtRestart[] = "will be deleted at restart";
const char StatusCopying[] = "creating a copy for cleaning";
const char StatusCleaned[] = "cleaned";
const char StatusCleanedAtRestart[] = "will be cleaned at restart";
const char StatusUnableToClean[] = "unable to clean";
const char StatusOtherNamesRemain[] = "unable to clean: this name deleted, the file remains under other names";
const char StatusAccessError[] = "error accessing file";
const char StatusUnableToOpen[] = "unable to open file";
const char StatusLeftInPlace[] = "left in place: report only";
const char StatusAlreadyRemoved[] = "already removed";

int ReportOnly;
int (*BeforeChange)(ScanContext *context);
static int inCopy;          /* the workflow's own copy of a file is being processed */

void PlanReadAhead(void)
{
    ReadAheadPlan plan;
    SignatureReadAhead(&plan);
    Platform.files.planReadAhead(&plan);
}

int32_t CleanFile(ScanContext *context)
{
    (void)context;
    /* This worm leaves nothing worth repairing: an infected file is the worm itself. */
    return CleanResult::DeleteFile;
}

/* One row for the file in ScanPath. */
static void ShowRow(const char *status, RowKind kind)
{
    AddResultRow(ScanPath, status, kind, inCopy > 0);
}

static void ReportUnableToClean(void)
{
    ShowRow(StatusUnableToClean, RowUnableToClean);
    ScanCounters.unableToClean++;
}

/* Composes `prefix` followed by the detection name the detector set, and shows it for the file
** in ScanPath. A name too long for the buffer is left out rather than cut. */
static void ReportFinding(char *text, const char *prefix, RowKind kind,
                          const ScanContext *context)
{
    CopyText(text, TextSize, prefix);
    if (context->matchedName && *context->matchedName)
        AppendText(text, TextSize, *context->matchedName);
    ShowRow(text, kind);
}

static int SameExtension(const char *a, const char *b)
{
    for (;; a++, b++) {
        char ca = FoldAscii(*a), cb = FoldAscii(*b);
        if (ca != cb)
            return 0;
        if (!ca)
            return 1;
    }
}

/* A file that cannot be read is worth a row only when it could be a program: the extension is
** taken from the last "." of the whole path, as the platform's loader would. */
static void ReportUnopenable(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (!dot)
        return;
    for (const char *extension : ScannedExtensions) {
        if (SameExtension(dot + 1, extension)) {
            AddResultRow(path, StatusUnableToOpen, RowUnableToOpen, inCopy > 0);
            return;
        }
    }
}

/* Names a file that could not be scanned, whatever its extension, to whoever listens for what
** goes unscanned (the rows stay as they are), with the cause InHand.failure recorded. */
static void PassOverFile(const char *path, int32_t failure)
{
    static const int32_t Reasons[] = {PassedFileNotOpened, PassedFileNotOpened, PassedTooLong,
                                      PassedNoDescriptors, PassedAccessDenied,  PassedFileInUse,
                                      PassedIoError};
    if (failure < 0 || failure >= (int32_t)(sizeof Reasons / sizeof Reasons[0]))
        failure = FailureOther;
    ShowPassedOver(path, Reasons[failure]);
}

/* The volumes whose restart folders this scan has named; the worker is the only user. */
static struct {
    uint64_t volumes[MaxFixedDrives];
    uint32_t count;
} Waiting;

void ForgetWaitingVolumes(void)
{
    Waiting.count = 0;
}

/* An infected file still on the disk, as the report and the advice to restart count it. */
static void ShowWaiting(const char *path, void *context)
{
    (void)context;
    AddResultRow(path, StatusDeletedAtRestart, RowDeletedAtRestart, 0);
    ScanCounters.infected++;
    ScanCounters.deletedAtRestart++;
}

void ReportWaitingAtRestart(const char *path)
{
    uint64_t volume, index;
    if (!Platform.restart.waitingAtRestart || !Platform.files.fileIdentity(path, &volume, &index))
        return;
    for (uint32_t i = 0; i < Waiting.count; i++)
        if (Waiting.volumes[i] == volume)
            return;
    if (Waiting.count < MaxFixedDrives)
        Waiting.volumes[Waiting.count++] = volume;
    Platform.restart.waitingAtRestart(path, !ReportOnly, ShowWaiting, nullptr);
}

void ProcessUnreachableFile(const char *path)
{
    ScanCounters.files++;
    ReportUnopenable(path);
    PassOverFile(path, strlen(path) >= PlatformMaxPath ? FailureTooLong : FailureOther);
}

/* Writes ".qx-" and `number` as three upper-case hexadecimal digits, zero-padded, and a NUL. */
static void WriteCopySuffix(char *out, uint32_t number)
{
    static const char hex[] = "0123456789ABCDEF";
    out[0] = '.';
    out[1] = 'q';
    out[2] = 'x';
    out[3] = '-';
    out[4] = hex[(number >> 8) & 0xFu];
    out[5] = hex[(number >> 4) & 0xFu];
    out[6] = hex[number & 0xFu];
    out[7] = 0;
}

/* The file detected has no name here any more: another run (or its owner) removed it after it
** was read. Nothing is left to clean, and nothing failed. */
static void ReportAlreadyRemoved(void)
{
    ShowRow(StatusAlreadyRemoved, RowAlreadyRemoved);
}

/* Deletes the file in ScanPath now, or else at the next restart; `registered`: its deletion at
** the restart is registered already, and is not registered again. */
static void DeleteBranch(int registered)
{
    LastResult = CleanResult::DeleteFile;
    InHand.links = 0;
    InHand.failure = FailureNone;
    if (Platform.files.deleteFile(ScanPath)) {
        /* A hard link elsewhere keeps the file: only this name of it is gone. */
        if (InHand.links > 1) {
            ShowRow(StatusOtherNamesRemain, RowOtherNamesRemain);
            ScanCounters.unableToClean++;
            return;
        }
        ShowRow(StatusDeleted, RowDeleted);
        ScanCounters.deleted++;
        return;
    }
    if (InHand.failure == FailureGone && !inCopy) {
        ReportAlreadyRemoved();
        return;
    }
    if (registered || ScheduleDeleteAtRestart(ScanPath)) {
        ShowRow(StatusDeletedAtRestart, RowDeletedAtRestart);
        ScanCounters.deletedAtRestart++;
        return;
    }
    ReportUnableToClean();
}

/* Deletes the copy `text` of the entry in hand, as the entry `copy` it was while processed. */
static void DeleteCopy(const char *text, EntryInHand *copy)
{
    SwapEntryInHand(copy);
    /* A copy of a read-only file may be read-only too, which a deletion refuses. */
    Platform.files.setFileAttributes(text, AttrNormal);
    Platform.files.deleteFile(text);
    SwapEntryInHand(copy);
}

/* The infected file in ScanPath cannot be opened for writing: work on a copy of it, and leave
** to the restart what the copy's fate asks of the file. `text` is the invocation's buffer. */
static void CopyFallback(char *text)
{
    uint32_t length = (uint32_t)strlen(ScanPath);

    /* The copy's name has to fit in the buffer and, during the nested call, in ScanPath. */
    if (length + CopySuffixLength >= TextSize || !CopyText(text, TextSize, ScanPath)) {
        ReportUnableToClean();
        return;
    }
    uint32_t number = 0;
    for (;; number++) {
        if (number > MaxCopyNumber) {
            ReportUnableToClean();
            return;
        }
        WriteCopySuffix(text + length, number);
        if (Platform.files.getFileAttributes(text) == InvalidFileAttributes)
            break;
    }
    if (!Platform.files.copyFile(ScanPath, text)) {
        ReportUnableToClean();
        return;
    }
    ShowRow(StatusCopying, RowCopying);

    /* The copy is the entry in hand while it is processed (and while it is deleted): a name the
    ** listing did not give, with nothing of it recorded yet. The file is again afterwards. */
    EntryInHand copy = InHand;
    copy.listed = 0;
    copy.opened = 0;
    SwapEntryInHand(&copy);
    CopyText(ScanPath, ScanPathSize, text);
    inCopy++;
    ProcessFile();
    inCopy--;
    ScanPath[length] = 0;
    SwapEntryInHand(&copy);

    switch (LastResult) {
    case ScanVerdict::Clean:
        switch (ScheduleReplaceAtRestart(text, ScanPath, &copy)) {
        case 1:
            ScanCounters.cleanedAtRestart++;
            ShowRow(StatusCleanedAtRestart, RowCleanedAtRestart);
            return;
        case 2:
            /* The file goes at the restart and nothing will take its place: the clean copy
            ** is all that is left of it, and stays under its own name. */
            ScanCounters.deletedAtRestart++;
            ShowRow(StatusDeletedAtRestart, RowDeletedAtRestart);
            return;
        default:
            break;
        }
        /* Nothing will take the file's place: it stays infected, and a stray clean copy
        ** beside it would only be scanned and reported again by the next scan. */
        DeleteCopy(text, &copy);
        ReportUnableToClean();
        return;
    case CleanResult::DeleteFile:
        DeleteBranch(0);
        return;
    default:
        DeleteCopy(text, &copy);
        ReportUnableToClean();
        return;
    }
}

/* Treats the file in ScanPath, found infected on pass `pass`, with the detection's handle
** still open in `context` (closed here). Answers 1 when the cleaner cleaned it in place, so
** that it has to be scanned again. */
static int TreatInfected(ScanContext *context, int32_t pass, char *text)
{
    if (pass == 0)
        ScanCounters.infected++;
    ReportFinding(text, StatusInfected, RowInfected, context);
    /* A file whose deletion a scan before this one registered is not copied or registered once
    ** more: it is deleted now if it can be, and else waits for the restart as it is. */
    int waiting = !ReportOnly && !inCopy && Platform.restart.deletionPending &&
                  Platform.restart.deletionPending(ScanPath);
    /* Asked while the handle is open: what it reads is what was detected. A file waiting for
    ** its deletion is asked too: it may be deleted now, and the name registered may be another
    ** file's by now. */
    int refused = !ReportOnly && pass == 0 && !inCopy && BeforeChange && !BeforeChange(context);
    FileClose(context->file);
    context->file = InvalidFileHandle;
    if (ReportOnly) {
        ShowRow(StatusLeftInPlace, RowLeftInPlace);
        return 0;
    }
    if (refused) {
        ReportUnableToClean();
        return 0;
    }
    if (waiting) {
        /* Its holder may have let it go since: then it goes now. */
        Platform.files.setFileAttributes(ScanPath, AttrNormal);
        DeleteBranch(1);
        return 0;
    }

    Platform.files.setFileAttributes(ScanPath, AttrNormal);
    InHand.failure = FailureNone;
    FileHandle file = FileOpen(ScanPath, 1);
    if (file == InvalidFileHandle) {
        /* Only a file someone holds goes the copy's way: one refused because its name leads
        ** elsewhere now is not the file detected, and nothing of it is copied or registered. */
        if (InHand.failure == FailureGone && !inCopy)
            ReportAlreadyRemoved();
        else if (InHand.listing != InvalidFindHandle && InHand.elsewhere)
            ReportUnableToClean();
        else if (InHand.listing != InvalidFindHandle && InHand.links > 1)
            /* A file with other names is never written, nor copied to be cleaned: its contents
            ** are theirs too. This name goes, and its row says the file lives on. */
            DeleteBranch(0);
        else
            CopyFallback(text);
        return 0;
    }
    context->file = file;
    int32_t result = Cleaner(context);
    FileClose(file);
    context->file = InvalidFileHandle;

    switch (result) {
    case CleanResult::Cleaned:
        ShowRow(StatusCleaned, RowCleaned);
        return 1;
    case CleanResult::AccessError:
        ShowRow(StatusAccessError, RowAccessError);
        ScanCounters.accessErrors++;
        ReportUnableToClean();
        return 0;
    case CleanResult::DeleteFile:
        DeleteBranch(0);
        return 0;
    default:
        ReportUnableToClean();
        return 0;
    }
}

/* The rows and counters of one detection's verdict on pass `pass`, and the treatment of an
** infected file (TreatInfected). Answers 1 when the file has to be scanned again. */
static int ActOnVerdict(int32_t verdict, ScanContext *context, int32_t pass, char *text)
{
    switch (verdict) {
    case ScanVerdict::Clean:
        if (pass != 0)
            ScanCounters.cleaned++;
        return 0;
    case ScanVerdict::Infected:
        return TreatInfected(context, pass, text);
    case ScanVerdict::Suspect:
        ReportFinding(text, StatusSuspect, RowSuspect, context);
        ScanCounters.suspicious++;
        return 0;
    case ScanVerdict::AccessError:
        ShowRow(StatusAccessError, RowAccessError);
        ScanCounters.accessErrors++;
        return 0;
    case ScanVerdict::Warning:
        ReportFinding(text, StatusWarning, RowWarning, context);
        ScanCounters.warnings++;
        return 0;
    default:
        return 0;
    }
}

void ProcessFile(void)
{
    char text[TextSize];   /* status texts, then the copy's name */
    ScanContext context;
    int32_t pass = 0;

    ScanCounters.files++;
    context.path = ScanPath;
    context.matchedName = nullptr;
    context.file = InvalidFileHandle;

    for (;;) {
        InHand.failure = FailureNone;
        FileHandle file = FileOpen(ScanPath, 0);
        if (file == InvalidFileHandle) {
            /* Gone since it was listed (another run removed it): nothing is there to scan. */
            if (InHand.failure == FailureGone && !inCopy && InHand.listing != InvalidFindHandle)
                return;
            ReportUnopenable(ScanPath);
            if (!inCopy)
                PassOverFile(ScanPath, InHand.failure);
            return;
        }
        context.file = file;
        int32_t verdict = Detector(&context);
        LastResult = verdict;
        /* What may be changed from here on is the file just read, known by its handle: one
        ** found infected, and a copy, which is deleted or takes the file's place whatever its
        ** verdict. A clean file is never changed, and is not asked. */
        if (verdict == ScanVerdict::Infected || inCopy)
            Platform.files.identifyFile(file);
        /* A read that failed may have hidden what the file holds. */
        if (verdict != ScanVerdict::Infected && InHand.failure != FailureNone && !inCopy)
            PassOverFile(ScanPath, InHand.failure);
        if (verdict != ScanVerdict::Infected) {   /* TreatInfected closes it */
            FileClose(file);
            context.file = InvalidFileHandle;
        }

        int again = ActOnVerdict(verdict, &context, pass, text);
        pass++;
        if (!again)
            return;
        /* A cleaner that keeps answering Cleaned while the file stays infected would hold the
        ** scan here for ever. LastResult keeps the Infected of the last pass, so a copy ending
        ** this way counts as not cleaned. */
        if (pass >= MaxPasses) {
            ReportUnableToClean();
            return;
        }
    }
}
