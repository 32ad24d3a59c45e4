// The per-file workflow on real files forged by the sample maker: every outcome's rows in
// order, its counters, and what is left on disk. Failures that cannot be caused for real are
// injected through single entries of the platform table.
#include "disinfect/workflow.h"
#include "scan/display.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "tests/disinfect/handle_write.h"
#include "tests/disinfect/workflow_support.h"
#include "tests/support/testsupport.h"
#include "tools/samples.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::Row;

static const std::string Infected = testsupport::InfectedStatus();

static std::vector<std::string> attributeQueries;
static std::vector<std::string> fakeCopies, fakeDeletes;

// ---- injected platform entries ----------------------------------------------------------

static std::vector<std::pair<std::string, std::string>> restartCalls;   // (from, to or "<null>")
static int restartAnswer = 1;
#define DeletionOnly (-2)   // restartAnswer: deletions are registered, moves refused

static int RecordRestartMove(const char *from, const char *to)
{
    restartCalls.push_back({from, to ? to : "<null>"});
    if (restartAnswer == DeletionOnly)
        return to ? 0 : 1;
    return restartAnswer;
}
static uint32_t NtVersion(void) { return 0x0A280105u; }

static std::vector<std::string> refusedDeletes;   // paths whose deletion fails
static int RefusingDelete(const char *path)
{
    for (const std::string &p : refusedDeletes)
        if (p == path)
            return 0;
    return PlatformDefaults.files.deleteFile(path);
}

static int FailingCopy(const char *, const char *) { return 0; }

static std::vector<std::string> copyTargets;
static int RecordingCopy(const char *from, const char *to)
{
    copyTargets.push_back(to);
    return PlatformDefaults.files.copyFile(from, to);
}

// Opening for writing fails for every path but those ending in `writableSuffix`.
static std::string writableSuffix;
static FileHandle WriteRefusingOpen(const char *path, int write)
{
    std::string p = path;
    if (write && !(p.size() >= writableSuffix.size() && !writableSuffix.empty() &&
                   p.compare(p.size() - writableSuffix.size(), writableSuffix.size(), writableSuffix) == 0))
        return InvalidFileHandle;
    return PlatformDefaults.files.openFile(path, write);
}

// ---- test cleaners and detectors ---------------------------------------------------------

// Overwrites part of entry 1's first region, so the detector no longer finds the file.
static int cleanerCalls;
static int32_t RealCleaner(ScanContext *context)
{
    cleanerCalls++;
    static const char patch[] = "cleaned-cleaned-";
    return WriteThroughHandle(context->file, 0x1000, patch, 16) ? CleanResult::Cleaned
                                                                 : CleanResult::AccessError;
}
static int32_t cleanerAnswer;
static int32_t AnsweringCleaner(ScanContext *) { cleanerCalls++; return cleanerAnswer; }

static int32_t detectorAnswer;
static const char *const TestName = "Test.Name";
static int32_t AnsweringDetector(ScanContext *context)
{
    context->matchedName = &TestName;
    return detectorAnswer;
}

class Workflow : public WorkflowTest {
protected:
    void ResetRecords() override
    {
        restartCalls.clear();
        restartAnswer = 1;
        refusedDeletes.clear();
        copyTargets.clear();
        writableSuffix.clear();
        cleanerCalls = 0;
        cleanerAnswer = CleanResult::DeleteFile;
        detectorAnswer = ScanVerdict::Clean;
        attributeQueries.clear();
        fakeCopies.clear();
        fakeDeletes.clear();
    }
    // Runs the workflow while a handle of this process holds the file as a running program
    // would: others may read and copy it, nobody may write or delete it.
    void RunHeld(const std::string &file)
    {
        FileHandle hold = Platform.files.openFile(file.c_str(), 0);
        ASSERT_NE(InvalidFileHandle, hold);
        Run(file);
        Platform.files.closeFile(hold);
    }
    // The NT family, with its restart list recorded instead of registered.
    void RecordNtRestart()
    {
        Platform.restart.getVersion = NtVersion;
        Platform.restart.moveFileAtRestart = RecordRestartMove;
    }
};

// ---- the outcome table --------------------------------------------------------------------

TEST_F(Workflow, CleanFileAddsNoRowAndCountsOnlyFiles)
{
    std::string file = Make("clean.exe", samples::CleanPe);
    Run(file);
    EXPECT_TRUE(display.rows.empty());
    ExpectCounters({{"files", 1}});
    EXPECT_EQ(samples::MakeSample(samples::CleanPe), ReadBytes(file));
}

TEST_F(Workflow, WritableInfectedFileIsDeleted)
{
    for (samples::SampleId id : {samples::InfectedEntry1, samples::InfectedEntry2, samples::InfectedDll}) {
        Reset();
        std::string file = Make("app.exe", id);
        Run(file);
        EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusDeleted}}), display.rows) << id;
        ExpectCounters({{"files", 1}, {"infected", 1}, {"deleted", 1}});
        EXPECT_FALSE(Exists(file));
        EXPECT_EQ(CleanResult::DeleteFile, LastResult);
    }
}

TEST_F(Workflow, ReadOnlyInfectedFileLosesTheAttributeAndIsDeleted)
{
    std::string file = Make("readonly.exe", samples::InfectedEntry1);
    ASSERT_TRUE(Platform.files.setFileAttributes(file.c_str(), AttrReadOnly));
    ASSERT_TRUE(Platform.files.getFileAttributes(file.c_str()) & AttrReadOnly);
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusDeleted}}), display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"deleted", 1}});
    EXPECT_FALSE(Exists(file));
}

TEST_F(Workflow, FileThatCannotBeDeletedNowIsDeletedAtRestart)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    refusedDeletes = {file};
    Platform.files.deleteFile = RefusingDelete;
    RecordNtRestart();
    restartAnswer = 0x3E5;   // any non-zero value is success
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusDeletedAtRestart}}), display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"deletedAtRestart", 1}});
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{file, "<null>"}}), restartCalls);
    EXPECT_TRUE(Exists(file));
}

TEST_F(Workflow, FailedDeletionRegistrationIsUnableToClean)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    refusedDeletes = {file};
    Platform.files.deleteFile = RefusingDelete;
    RecordNtRestart();
    restartAnswer = 0;
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusUnableToClean}}), display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}});
    EXPECT_EQ(1u, restartCalls.size());
}

// A file whose deletion an earlier scan registered is not handled again: no copy, no second
// registration; it goes now if its holder let it go, and else waits as it is.
static int DeletionRegistered(const char *) { return 1; }
static int changesAsked;   // BeforeChange's calls; it lets the change go on
static int AskedBeforeChange(ScanContext *)
{
    changesAsked++;
    return 1;
}

TEST_F(Workflow, FileWhoseDeletionIsRegisteredIsNotHandledAgain)
{
    for (bool held : {true, false}) {
        SCOPED_TRACE(held ? "still held" : "let go");
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        RecordNtRestart();
        Platform.restart.deletionPending = DeletionRegistered;
        changesAsked = 0;
        BeforeChange = AskedBeforeChange;   // the name registered may be another file's by now
        if (held)
            RunHeld(file);
        else
            Run(file);
        EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, held ? StatusDeletedAtRestart : StatusDeleted}}),
                  display.rows);
        ExpectCounters({{"files", 1}, {"infected", 1}, {held ? "deletedAtRestart" : "deleted", 1}});
        EXPECT_TRUE(restartCalls.empty());
        EXPECT_FALSE(Exists(file + ".qx-000"));
        EXPECT_EQ(held, Exists(file));
        EXPECT_EQ(1, changesAsked);
    }
}

// A file someone holds goes the copy's way; what becomes of the copy decides the file's fate.
// Rows name the file ('F') or its copy ('C'); `restart` is what the restart is asked to do
// ("F>" delete the file, "C>F" move the copy onto it; the one refused counts too).
struct HeldCase {
    const char *what;
    int32_t (*cleaner)(ScanContext *);   // null: the built-in, which deletes
    int32_t cleanerAnswer;               // for AnsweringCleaner
    int restartAnswer;
    bool copyFails;
    std::vector<std::pair<char, std::string>> rows;
    std::map<std::string, int32_t> counters;
    std::vector<std::string> restart;
    bool copyStays;                      // it waits under its own name for the restart
};

TEST_F(Workflow, HeldFileByTheFateOfItsCopy)
{
    const HeldCase cases[] = {
        {"the copy deleted: the file deleted at restart", nullptr, 0, 1, false,
         {{'F', Infected}, {'F', StatusCopying}, {'C', Infected}, {'C', StatusDeleted},
          {'F', StatusDeletedAtRestart}},
         {{"files", 2}, {"infected", 2}, {"deleted", 1}, {"deletedAtRestart", 1}},
         {"F>"}, false},
        {"no copy can be made: unable to clean", nullptr, 0, 1, true,
         {{'F', Infected}, {'F', StatusUnableToClean}},
         {{"files", 1}, {"infected", 1}, {"unableToClean", 1}}, {}, false},
        {"the copy cleaned: it replaces the file at restart", RealCleaner, 0, 1, false,
         {{'F', Infected}, {'F', StatusCopying}, {'C', Infected}, {'C', StatusCleaned},
          {'F', StatusCleanedAtRestart}},
         {{"files", 2}, {"infected", 2}, {"cleaned", 1}, {"cleanedAtRestart", 1}},
         {"F>", "C>F"}, true},
        {"the replacement cannot be registered: unable to clean, the copy goes", RealCleaner, 0,
         0, false,
         {{'F', Infected}, {'F', StatusCopying}, {'C', Infected}, {'C', StatusCleaned},
          {'F', StatusUnableToClean}},
         {{"files", 2}, {"infected", 2}, {"cleaned", 1}, {"unableToClean", 1}}, {"F>"}, false},
        {"the deletion registered, the move refused: the file goes, its clean copy stays",
         RealCleaner, 0, DeletionOnly, false,
         {{'F', Infected}, {'F', StatusCopying}, {'C', Infected}, {'C', StatusCleaned},
          {'F', StatusDeletedAtRestart}},
         {{"files", 2}, {"infected", 2}, {"cleaned", 1}, {"deletedAtRestart", 1}},
         {"F>", "C>F"}, true},
        {"the copy neither cleaned nor deleted: it goes, the file unable to clean",
         AnsweringCleaner, 9, 1, false,
         {{'F', Infected}, {'F', StatusCopying}, {'C', Infected}, {'C', StatusUnableToClean},
          {'F', StatusUnableToClean}},
         {{"files", 2}, {"infected", 2}, {"unableToClean", 2}}, {}, false},
    };
    for (const HeldCase &c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        std::string copy = file + ".qx-000";
        testsupport::RemoveAll(copy);   // what an earlier case left for its restart
        if (c.cleaner)
            Cleaner = c.cleaner;
        cleanerAnswer = c.cleanerAnswer;
        restartAnswer = c.restartAnswer;
        if (c.copyFails)
            Platform.files.copyFile = FailingCopy;
        RecordNtRestart();
        RunHeld(file);

        std::vector<Row> rows;
        for (const auto &r : c.rows)
            rows.push_back({r.first == 'F' ? file : copy, r.second});
        EXPECT_EQ(rows, display.rows);
        ExpectCounters(c.counters);
        std::vector<std::string> restart;
        for (const auto &call : restartCalls)
            restart.push_back(std::string(call.first == file ? "F" : "C") + ">" +
                              (call.second == file ? "F" : call.second == "<null>" ? "" : "?"));
        EXPECT_EQ(c.restart, restart);
        EXPECT_EQ(c.copyStays, Exists(copy));
        // The file stays as it was for the restart (or for good).
        EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), ReadBytes(file));
    }
}

// ---- the copy fallback ------------------------------------------------------------------

TEST_F(Workflow, CopyTakesTheFirstFreeNumber)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    ASSERT_TRUE(testsupport::WriteText(file + ".qx-000", "taken"));
    ASSERT_TRUE(testsupport::WriteText(file + ".qx-001", "taken"));
    Platform.files.copyFile = RecordingCopy;
    RecordNtRestart();
    RunHeld(file);

    std::string copy = file + ".qx-002";
    EXPECT_EQ(std::vector<std::string>{copy}, copyTargets);
    ASSERT_EQ(5u, display.rows.size());
    EXPECT_EQ((Row{copy, Infected}), display.rows[2]);
    EXPECT_EQ((Row{copy, StatusDeleted}), display.rows[3]);
    EXPECT_EQ("taken", ReadText(file + ".qx-000"));
    EXPECT_TRUE(Exists(file + ".qx-001"));
    EXPECT_FALSE(Exists(copy));
}

static uint32_t EveryCopyNameTaken(const char *path)
{
    attributeQueries.push_back(path);
    return AttrNormal;
}

TEST_F(Workflow, NoFreeCopyNameAmong4096IsUnableToClean)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    Platform.files.getFileAttributes = EveryCopyNameTaken;
    Platform.files.copyFile = RecordingCopy;
    RunHeld(file);

    ASSERT_EQ(4096u, attributeQueries.size());
    EXPECT_EQ(file + ".qx-000", attributeQueries[0]);
    EXPECT_EQ(file + ".qx-00A", attributeQueries[10]);
    EXPECT_EQ(file + ".qx-0FF", attributeQueries[255]);
    EXPECT_EQ(file + ".qx-ABC", attributeQueries[0xABC]);
    EXPECT_EQ(file + ".qx-FFF", attributeQueries[4095]);
    EXPECT_TRUE(copyTargets.empty());
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusUnableToClean}}), display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}});
}

// The copy cannot be opened for writing either: it gets a copy of its own, with a second
// suffix, and every level finishes its own file.
TEST_F(Workflow, CopyThatCannotBeOpenedForWritingGetsACopyOfItsOwn)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    std::string copy = file + ".qx-000", inner = copy + ".qx-000";
    writableSuffix = ".qx-000.qx-000";
    Platform.files.openFile = WriteRefusingOpen;
    refusedDeletes = {file};
    Platform.files.deleteFile = RefusingDelete;
    RecordNtRestart();
    Run(file);

    EXPECT_EQ((std::vector<Row>{{file, Infected},
                                {file, StatusCopying},
                                {copy, Infected},
                                {copy, StatusCopying},
                                {inner, Infected},
                                {inner, StatusDeleted},
                                {copy, StatusDeleted},
                                {file, StatusDeletedAtRestart}}),
              display.rows);
    ExpectCounters({{"files", 3}, {"infected", 3}, {"deleted", 2}, {"deletedAtRestart", 1}});
    // Every row of a copy, nested or not, says so: none of them is a fact about the target.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{RowInfected, 0},
                                                {RowCopying, 0},
                                                {RowInfected, 1},
                                                {RowCopying, 1},
                                                {RowInfected, 1},
                                                {RowDeleted, 1},
                                                {RowDeleted, 1},
                                                {RowDeletedAtRestart, 0}}),
              display.kinds);
    EXPECT_FALSE(Exists(copy));
    EXPECT_FALSE(Exists(inner));
}

// The worm ends while its copy is cleaned and takes its file with it: nothing bears the file's
// name any more, so the clean copy takes it at once and nothing is registered. So for a file
// handed over on its own as a walk would (its entry in hand, every change checked against the
// file detected: the move is the copy's, checked against the copy) and for a bare path.
static FileHandle holder = InvalidFileHandle;
static std::string heldPath;
static int32_t CleanerWhileTheHolderEnds(ScanContext *context)
{
    if (holder != InvalidFileHandle) {
        PlatformDefaults.files.closeFile(holder);
        holder = InvalidFileHandle;
        testsupport::RemoveAll(heldPath);
    }
    return RealCleaner(context);
}

TEST_F(Workflow, CleanCopyTakesTheNameAtOnceWhenTheFileIsGone)
{
    for (bool inHand : {false, true}) {
        SCOPED_TRACE(inHand ? "entry in hand" : "bare path");
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        std::string copy = file + ".qx-000";
        Cleaner = CleanerWhileTheHolderEnds;
        RecordNtRestart();
        heldPath = file;
        holder = Platform.files.openFile(file.c_str(), 0);
        ASSERT_NE(InvalidFileHandle, holder);
        if (inHand) {
            const char *paths[] = {file.c_str()};
            ScanContinue.store(1);
            ScanGivenPaths(paths, 1);
        } else {
            Run(file);
        }
        if (holder != InvalidFileHandle)
            Platform.files.closeFile(holder);
        holder = InvalidFileHandle;

        EXPECT_EQ((std::vector<Row>{{file, Infected},
                                    {file, StatusCopying},
                                    {copy, Infected},
                                    {copy, StatusCleaned},
                                    {file, StatusCleanedAtRestart}}),
                  display.rows);
        ExpectCounters({{"files", 2}, {"infected", 2}, {"cleaned", 1}, {"cleanedAtRestart", 1}});
        EXPECT_TRUE(restartCalls.empty());
        EXPECT_FALSE(Exists(copy));
        std::vector<uint8_t> cleaned = ReadBytes(file);
        ASSERT_EQ(samples::MakeSample(samples::InfectedEntry1).size(), cleaned.size());
        EXPECT_EQ(0, std::memcmp(cleaned.data() + 0x1000, "cleaned-cleaned-", 16));
    }
}

// ---- cleaners -----------------------------------------------------------------------------

TEST_F(Workflow, CleanerThatCleansGetsASecondPassThatCountsCleaned)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    Cleaner = RealCleaner;
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusCleaned}}), display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"cleaned", 1}});
    EXPECT_EQ(1, cleanerCalls);
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(ScanVerdict::Clean, LastResult);
}

TEST_F(Workflow, CleanerAccessErrorGivesTwoRows)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    Cleaner = AnsweringCleaner;
    cleanerAnswer = CleanResult::AccessError;
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusAccessError}, {file, StatusUnableToClean}}),
              display.rows);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}, {"accessErrors", 1}});
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), ReadBytes(file));
}

TEST_F(Workflow, CleanerAnswerOutsideTheCodesIsUnableToClean)
{
    for (int32_t answer : {1, 2, 3, 5, 7, -1, INT32_MIN}) {
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        Cleaner = AnsweringCleaner;
        cleanerAnswer = answer;
        Run(file);
        EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusUnableToClean}}), display.rows) << answer;
        ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}});
        EXPECT_TRUE(Exists(file));
    }
}

// A cleaner that claims success without cleaning would hold the scan for ever.
TEST_F(Workflow, CleanerClaimingCleanedForEverEndsAfterMaxPasses)
{
    std::string file = Make("app.exe", samples::InfectedEntry1);
    Cleaner = AnsweringCleaner;
    cleanerAnswer = CleanResult::Cleaned;
    Run(file);
    std::vector<Row> expected;
    for (int pass = 0; pass < MaxPasses; pass++) {
        expected.push_back({file, Infected});
        expected.push_back({file, StatusCleaned});
    }
    expected.push_back({file, StatusUnableToClean});
    EXPECT_EQ(expected, display.rows);
    EXPECT_EQ(MaxPasses, cleanerCalls);
    ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}});
    EXPECT_EQ(ScanVerdict::Infected, LastResult);
}

// ---- verdicts -----------------------------------------------------------------------------

TEST_F(Workflow, SuspectWarningAndAccessErrorVerdictsLeaveTheFileAlone)
{
    struct Case { int32_t verdict; std::string status; const char *counter; };
    const Case cases[] = {{ScanVerdict::Suspect, std::string(StatusSuspect) + "Test.Name", "suspicious"},
                          {ScanVerdict::Warning, std::string(StatusWarning) + "Test.Name", "warnings"},
                          {ScanVerdict::AccessError, StatusAccessError, "accessErrors"}};
    for (const Case &c : cases) {
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        Detector = AnsweringDetector;
        detectorAnswer = c.verdict;
        Cleaner = AnsweringCleaner;
        Run(file);
        EXPECT_EQ((std::vector<Row>{{file, c.status}}), display.rows) << c.verdict;
        ExpectCounters({{"files", 1}, {c.counter, 1}});
        EXPECT_EQ(0, cleanerCalls);
        EXPECT_EQ(c.verdict, LastResult);
        EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), ReadBytes(file));
    }
}

TEST_F(Workflow, UnassignedVerdictsAddNothing)
{
    for (int32_t verdict : {3, 6, 100, -1}) {
        Reset();
        std::string file = Make("app.exe", samples::InfectedEntry1);
        Detector = AnsweringDetector;
        detectorAnswer = verdict;
        Run(file);
        EXPECT_TRUE(display.rows.empty()) << verdict;
        ExpectCounters({{"files", 1}});
        EXPECT_EQ(verdict, LastResult);
        EXPECT_TRUE(Exists(file));
    }
}

// ---- files that cannot be opened ------------------------------------------------------------

// A handle open for writing keeps every other open out, for reading too.
TEST_F(Workflow, UnopenableFileIsReportedOnlyForProgramExtensions)
{
    testsupport::MakeDir(scratch.file("dir.v2"));
    struct Case { std::string name; bool row; };
    // Each of the ten, in any case; the extension after the last "." only (not "v1.exe"), and
    // whole (neither "exes" nor "ex" is "exe").
    const Case cases[] = {{"x.exe", true},       {"x.com", true},      {"x.dll", true},
                          {"x.ocx", true},       {"x.scr", true},      {"x.cpl", true},
                          {"x.pif", true},       {"x.lnk", true},      {"x.bat", true},
                          {"x.cmd", true},       {"REPORT.EXE", true}, {"tool.Cmd", true},
                          {"archive.v1.exe", true}, {"x.exes", false}, {"x.ex", false},
                          {"notes.txt", false},  {"noext", false},     {"app.exe.qx-000", false},
                          {"dir.v2" + std::string(1, PathSeparator) + "noext", false},
                          {"dir.v2" + std::string(1, PathSeparator) + "tool.exe", true},
                          {"a.exe.", false},     {"exe", false}};
    for (const Case &c : cases) {
        Reset();
        std::string file = scratch.file(c.name);
        ASSERT_TRUE(testsupport::WriteBytes(file, samples::MakeSample(samples::InfectedEntry1)));
        FileHandle hold = Platform.files.openFile(file.c_str(), 1);
        ASSERT_NE(InvalidFileHandle, hold) << c.name;
        LastResult = 42;
        Run(file);
        Platform.files.closeFile(hold);
        if (c.row)
            EXPECT_EQ((std::vector<Row>{{file, StatusUnableToOpen}}), display.rows) << c.name;
        else
            EXPECT_TRUE(display.rows.empty()) << c.name;
        ExpectCounters({{"files", 1}});
        EXPECT_EQ(42, LastResult) << c.name;
    }
}

// ---- path limits --------------------------------------------------------------------------

// Paths near the end of the ScanPathSize buffers, beyond what a disk holds: the file system
// is left out and every entry the workflow needs is a stand-in.
static FileHandle FakeOpen(const char *, int write) { return write ? InvalidFileHandle : (FileHandle)(intptr_t)7; }
static int FakeClose(FileHandle) { return 1; }
static int FakeIdentify(FileHandle) { return 1; }
static uint32_t NothingThere(const char *) { return InvalidFileAttributes; }
static int FakeCopy(const char *, const char *to) { fakeCopies.push_back(to); return 1; }
static int FakeDelete(const char *path) { fakeDeletes.push_back(path); return 1; }
static int32_t AlwaysInfected(ScanContext *context)
{
    context->matchedName = &TestName;
    return ScanVerdict::Infected;
}

static void InstallStandIns()
{
    Platform.files.openFile = FakeOpen;
    Platform.files.closeFile = FakeClose;
    Platform.files.identifyFile = FakeIdentify;
    Platform.files.getFileAttributes = NothingThere;
    Platform.files.copyFile = FakeCopy;
    Platform.files.deleteFile = FakeDelete;
    Detector = AlwaysInfected;
}

TEST_F(Workflow, CopyNamesThatWouldNotFitEndAsUnableToClean)
{
    InstallStandIns();

    // ScanPathSize - 8 characters leave room for one suffix (7 and the NUL); one more does not.
    std::string longest(ScanPathSize - 8, 'a'), tooLong(ScanPathSize - 7, 'a');
    Run(tooLong);
    EXPECT_EQ((std::vector<Row>{{tooLong, std::string(StatusInfected) + "Test.Name"}, {tooLong, StatusUnableToClean}}), display.rows);
    EXPECT_TRUE(fakeCopies.empty());

    // Opening for writing always fails: copies of copies nest until the name no longer fits,
    // and every level unwinds to "unable to clean", deleting its copy.
    Reset();
    InstallStandIns();
    std::string start(ScanPathSize - 40, 'b');
    Run(start);
    ASSERT_EQ(5u, fakeCopies.size());     // 33, 26, 19, 12 and 5 characters short of the end
    EXPECT_EQ(ScanPathSize - 5u, fakeCopies.back().size());
    EXPECT_EQ(fakeCopies.size(), fakeDeletes.size());
    EXPECT_EQ(fakeCopies.back(), fakeDeletes.front());   // innermost copy deleted first
    ExpectCounters({{"files", 6}, {"infected", 6}, {"unableToClean", 6}});
    EXPECT_EQ((Row{start, StatusUnableToClean}), display.rows.back());

    Reset();
    InstallStandIns();
    Run(longest);
    ASSERT_EQ(1u, fakeCopies.size());
    EXPECT_EQ(longest + ".qx-000", fakeCopies[0]);
}
