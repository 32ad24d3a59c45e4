// The fixture of the workflow's tests: a scratch folder, a recording display, the counters
// compared field by field, and the platform table and hooks put back after every test.
#ifndef KRV_TEST_WORKFLOW_SUPPORT_H
#define KRV_TEST_WORKFLOW_SUPPORT_H

#include "disinfect/workflow.h"
#include "base/text.h"
#include "engine/signature.h"
#include "platform/platform.h"
#include "scan/scanstate.h"
#include "tests/support/testsupport.h"
#include "tools/samples.h"

#include <gtest/gtest.h>
#include <cstring>
#include <map>
#include <string>
#include <vector>

inline std::string ReadText(const std::string &path)
{
    std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

/* Every counter as "name=value" text, so that a mismatch names the field. */
inline std::string DescribeCounters(const ScanCounterSet &c)
{
    const std::pair<const char *, int32_t> fields[] = {
        {"folders", c.folders},       {"files", c.files},
        {"infected", c.infected},     {"warnings", c.warnings},
        {"suspicious", c.suspicious}, {"cleaned", c.cleaned},
        {"deleted", c.deleted},       {"cleanedAtRestart", c.cleanedAtRestart},
        {"deletedAtRestart", c.deletedAtRestart}, {"unableToClean", c.unableToClean},
        {"accessErrors", c.accessErrors}};
    std::string out;
    for (const auto &f : fields)
        out += std::string(f.first) + "=" + std::to_string(f.second) + " ";
    return out;
}

inline std::string DescribeCounters(const std::map<std::string, int32_t> &nonZero)
{
    ScanCounterSet c{};
    for (const auto &f : nonZero) {
        int32_t *slot = f.first == "folders" ? &c.folders
                        : f.first == "files" ? &c.files
                        : f.first == "infected" ? &c.infected
                        : f.first == "warnings" ? &c.warnings
                        : f.first == "suspicious" ? &c.suspicious
                        : f.first == "cleaned" ? &c.cleaned
                        : f.first == "deleted" ? &c.deleted
                        : f.first == "cleanedAtRestart" ? &c.cleanedAtRestart
                        : f.first == "deletedAtRestart" ? &c.deletedAtRestart
                        : f.first == "unableToClean" ? &c.unableToClean
                        : f.first == "accessErrors" ? &c.accessErrors
                        : nullptr;
        EXPECT_NE(nullptr, slot) << "no counter " << f.first;
        if (slot)
            *slot = f.second;
    }
    return DescribeCounters(c);
}

class WorkflowTest : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch;
    testsupport::RecordingDisplay display;

    void SetUp() override { Reset(); }
    void TearDown() override
    {
        PlatformRestore();
        Detector = DetectFile;
        Cleaner = CleanFile;
        BeforeChange = nullptr;
    }

    /* Back to the state of a fresh test: real platform and hooks, counters and records empty.
    ** Every test file keeps its own records; ResetRecords is theirs to define. */
    void Reset()
    {
        PlatformRestore();
        Detector = DetectFile;
        Cleaner = CleanFile;
        BeforeChange = nullptr;
        ResetScanCounters();
        display.clear();
        ResetRecords();
    }
    virtual void ResetRecords() {}

    /* Writes sample `id` into the scratch folder as `name`; answers its full path. */
    std::string Make(const std::string &name, samples::SampleId id)
    {
        std::string path = scratch.file(name);
        testsupport::RemoveAll(path);
        EXPECT_TRUE(testsupport::WriteBytes(path, samples::MakeSample(id))) << path;
        return path;
    }

    /* ProcessFile on `path` as the walk calls it for a file it was given: with the entry in
    ** hand, a listing of that one entry, so that every identity rule of the platform runs as in
    ** a scan. A path that cannot be listed is processed with no entry in hand. ScanPath must
    ** hold the path again after. */
    void Run(const std::string &path)
    {
        ASSERT_TRUE(CopyText(ScanPath, ScanPathSize, path.c_str()));
        FindRecord record;
        FindHandle find = Platform.files.findFirst(ScanPath, &record);
        if (find != InvalidFindHandle) {
            const char *separator = strrchr(ScanPath, PathSeparator);
            InHand = {find, ScanPath, separator ? (uint32_t)(separator + 1 - ScanPath) : 0, 1,
                      0, 0, 0};
        }
        ProcessFile();
        if (find != InvalidFindHandle) {
            InHand.listing = InvalidFindHandle;
            Platform.files.findClose(find);
        }
        EXPECT_EQ(path, std::string(ScanPath));
    }

    void ExpectCounters(const std::map<std::string, int32_t> &nonZero)
    {
        EXPECT_EQ(DescribeCounters(nonZero), DescribeCounters(ScanCounters));
    }
};

#endif
