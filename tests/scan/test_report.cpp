// The report and the display operations as every consumer sees them.
#include "scan/display.h"
#include "base/text.h"
#include "disinfect/workflow.h"
#include "startup/runkey.h"
#include "scan/scanstate.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <climits>
#include <cstring>

using testsupport::RecordingDisplay;
using testsupport::Row;

// Every other test names these texts; this one holds them to the words the user reads.
TEST(Texts, RowsReportAndCaptionsReadExactlyAsTheUserSeesThem)
{
    const char *const statuses[] = {StatusInfected, StatusSuspect, StatusWarning, StatusDeleted,
                                    StatusDeletedAtRestart, StatusCopying, StatusCleaned,
                                    StatusCleanedAtRestart, StatusUnableToClean,
                                    StatusAccessError, StatusUnableToOpen, StatusLeftInPlace,
                                    StatusAutostartRemoved, StatusAutostartFound};
    const char *const words[] = {"infected: ", "suspect: ", "warning: ", "deleted",
                                 "will be deleted at restart", "creating a copy for cleaning",
                                 "cleaned", "will be cleaned at restart", "unable to clean",
                                 "error accessing file", "unable to open file",
                                 "left in place: report only", "autostart value removed",
                                 "autostart value found: report only"};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; i++)
        EXPECT_STREQ(words[i], statuses[i]);
    const char *const labels[ReportRowCount] = {
        "Folders:", "Files:", "Infected:", "Warnings:", "Suspicious:", "Cleaned:", "Deleted:",
        "Cleaned at restart:", "Deleted at restart:", "Unable to be cleaned:"};
    for (int i = 0; i < ReportRowCount; i++)
        EXPECT_STREQ(labels[i], ReportRows[i].label);
    EXPECT_STREQ("Scan report", ReportTitle);
    EXPECT_STREQ("&Scan", ScanCaption);
    EXPECT_STREQ("&Stop", StopCaption);
    EXPECT_STREQ("All fixed drives", AllFixedDrives);
    EXPECT_STREQ("Korvane - Tamsel Removal Tool", DialogTitle);
}

TEST(FormatCounter, SignedDecimalWithoutPadding)
{
    char out[16];
    const struct { int32_t value; const char *text; } cases[] = {
        {0, "0"}, {7, "7"}, {10, "10"}, {123456, "123456"}, {-1, "-1"}, {-40, "-40"},
        {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (const auto &c : cases) {
        FormatCounter(out, c.value);
        EXPECT_STREQ(c.text, out) << c.value;
    }
}

TEST(ShowTarget, EmptyPathShowsAllFixedDrivesAndOthersUnchanged)
{
    RecordingDisplay display;
    ShowTarget("");
    ShowTarget("C:\\");
    ShowTarget("D:\\some folder\\");
    ASSERT_EQ(3u, display.targets.size());
    EXPECT_EQ("All fixed drives", display.targets[0]);
    EXPECT_EQ("C:\\", display.targets[1]);
    EXPECT_EQ("D:\\some folder\\", display.targets[2]);
}

TEST(ShowScanReport, CleanScanShowsElevenRowsNoWarningAndEndsIdle)
{
    RecordingDisplay display;
    ResetScanCounters();
    ScanCounters.folders = 3;
    ScanCounters.files = 12;
    ScanCounters.accessErrors = 9;     // counted but never shown
    ScanState = Scanning;
    ShowScanReport();

    const std::vector<std::string> values = {"3", "12", "0", "0", "0", "0", "0", "0", "0", "0"};
    EXPECT_EQ(testsupport::ExpectedReport(values), display.rows);
    EXPECT_TRUE(display.warnings.empty());
    ASSERT_EQ(1u, display.captions.size());
    EXPECT_EQ("&Scan", display.captions[0]);
    std::vector<std::pair<int, int>> enabled = {{ScanButton, 1}, {SelectPathButton, 1}, {ExitButton, 1}};
    EXPECT_EQ(enabled, display.controls);
    EXPECT_EQ(Idle, ScanState.load());
}

TEST(ShowScanReport, EveryCounterInItsRowAndWarningWhenInfected)
{
    RecordingDisplay display;
    ResetScanCounters();
    int32_t *fields[10] = {&ScanCounters.folders, &ScanCounters.files, &ScanCounters.infected,
                           &ScanCounters.warnings, &ScanCounters.suspicious, &ScanCounters.cleaned,
                           &ScanCounters.deleted, &ScanCounters.cleanedAtRestart,
                           &ScanCounters.deletedAtRestart, &ScanCounters.unableToClean};
    for (int i = 0; i < 10; i++)
        *fields[i] = 101 + i;
    ScanState = Stopping;
    ShowScanReport();

    const std::vector<std::string> values = {"101", "102", "103", "104", "105", "106", "107", "108", "109", "110"};
    EXPECT_EQ(testsupport::ExpectedReport(values), display.rows);
    ASSERT_EQ(1u, display.warnings.size());
    EXPECT_EQ("You should restart and rescan the computer\nin order to complete the disinfection process.",
              display.warnings[0]);
    EXPECT_EQ(Idle, ScanState.load());
}

// A front end with the report hook gets the report as data and no report row; the keys are the
// labels as a machine reads them.
static std::vector<std::pair<std::string, int32_t>> hooked;
static std::vector<std::string> hookRows;
static void HookRow(const ResultRow *row) { hookRows.push_back(row->file); }
static void HookReport(const ReportRow *rows, int count)
{
    for (int i = 0; i < count; i++)
        hooked.push_back({rows[i].key, *rows[i].counter});
}

TEST(ShowScanReport, TheHookGetsEveryRowWithItsKeyAndNoRowComesThroughAddRow)
{
    const DisplayOps ops = {HookRow, nullptr, nullptr, nullptr, nullptr, nullptr, HookReport, nullptr, nullptr};
    ResetScanCounters();
    ScanCounters.files = 12;
    ScanCounters.unableToClean = 3;
    Display = &ops;
    ShowScanReport();
    Display = nullptr;
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"folders", 0}, {"files", 12}, {"infected", 0}, {"warnings", 0}, {"suspicious", 0},
        {"cleaned", 0}, {"deleted", 0}, {"cleaned_at_restart", 0}, {"deleted_at_restart", 0},
        {"unable_to_be_cleaned", 3}};
    EXPECT_EQ(expected, hooked);
    EXPECT_TRUE(hookRows.empty());
    EXPECT_EQ(Idle, ScanState.load());
}

TEST(ScanCounters, ResetClearsEveryCounter)
{
    memset(&ScanCounters, 0x5A, sizeof ScanCounters);
    ResetScanCounters();
    const int32_t *p = &ScanCounters.folders;
    for (size_t i = 0; i < sizeof ScanCounters / sizeof(int32_t); i++)
        EXPECT_EQ(0, p[i]) << "counter " << i;
}

TEST(BoundedText, CopyAndAppendRefuseWhatWouldNotFit)
{
    char buf[8];
    EXPECT_EQ(1, CopyText(buf, sizeof buf, "abc"));
    EXPECT_EQ(1, AppendText(buf, sizeof buf, "defg"));      // 7 characters and the NUL: fits
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(0, AppendText(buf, sizeof buf, "h"));
    EXPECT_STREQ("abcdefg", buf);                              // unchanged on refusal
    EXPECT_EQ(0, CopyText(buf, sizeof buf, "12345678"));
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(1, CopyText(buf, sizeof buf, ""));
    EXPECT_STREQ("", buf);
}
