// The quarantine: a copy named by the file's SHA-256 and an index line before the deletion;
// every way the copy can fail leaves the file, "unable to clean"; the copy comes from the
// file that was detected, never from what its name leads to later, and never goes through a
// name planted in the folder.
#include "disinfect/quarantine.h"
#include "engine/sha256.h"
#include "tests/disinfect/workflow_support.h"

#include <string.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::Row;

namespace {

const std::string Infected = testsupport::InfectedStatus();

std::string DigestOf(const std::vector<uint8_t> &bytes)
{
    Sha256 sha;
    uint8_t digest[Sha256Size];
    char hex[Sha256HexSize];
    Sha256Begin(&sha);
    Sha256Add(&sha, bytes.data(), (uint32_t)bytes.size());
    Sha256End(&sha, digest);
    Sha256Hex(digest, hex);
    return hex;
}

class Quarantine : public WorkflowTest {
protected:
    std::string tree, store;
    void ResetRecords() override
    {
        tree = scratch.file("tree");
        store = scratch.file("store");
        testsupport::RemoveAll(tree);
        testsupport::RemoveAll(store);
        testsupport::MakeDir(tree);
    }
    // An infected sample in the tree, the store opened for the tree, the hook in place.
    std::string Prepare(const std::string &name = "worm.exe")
    {
        std::string file = testsupport::Join(tree, name);
        EXPECT_TRUE(testsupport::WriteBytes(file, samples::MakeSample(samples::InfectedEntry1)));
        const char *targets[] = {tree.c_str()};
        EXPECT_EQ(nullptr, QuarantineOpen(store.c_str(), targets, 1));
        BeforeChange = QuarantineFile;
        return file;
    }
    std::string CopyName(const std::vector<uint8_t> &bytes)
    {
        return testsupport::Join(store, DigestOf(bytes) + QuarantineSuffix);
    }
    void ExpectLeft(const std::string &file)
    {
        EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusUnableToClean}}), display.rows);
        ExpectCounters({{"files", 1}, {"infected", 1}, {"unableToClean", 1}});
        EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), ReadBytes(file));
    }
};

TEST_F(Quarantine, CopyNamedByItsDigestAndAnIndexLineComeBeforeTheDeletion)
{
    std::string file = Prepare();
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    Run(file);
    EXPECT_EQ((std::vector<Row>{{file, Infected}, {file, StatusQuarantined}, {file, StatusDeleted}}),
              display.rows);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(bytes, ReadBytes(CopyName(bytes)));
    std::string index = ReadText(testsupport::Join(store, QuarantineIndex));
    EXPECT_EQ(0u, index.find("{\"sha256\":\"" + DigestOf(bytes) + "\"")) << index;
    EXPECT_NE(std::string::npos, index.find("\"size\":" + std::to_string(bytes.size())));
    EXPECT_NE(std::string::npos, index.find("\"detection\":\"Win32.Worm.Tamsel.A\""));
    EXPECT_EQ(1, (int)std::count(index.begin(), index.end(), '\n'));
    EXPECT_TRUE(Platform.getFileAttributes(CopyName(bytes).c_str()) & AttrReadOnly);
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(0, stat(CopyName(bytes).c_str(), &st));
    EXPECT_EQ(0400u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(store.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
#endif
}

// The same contents under a second name: the copy already there is read back and stands.
TEST_F(Quarantine, SecondFileOfTheSameContentsFindsItsCopyAndGetsItsOwnLine)
{
    std::string first = Prepare("a.exe"), second = Prepare("b.exe");
    Run(first);
    Run(second);
    ExpectCounters({{"files", 2}, {"infected", 2}, {"deleted", 2}});
    std::string index = ReadText(testsupport::Join(store, QuarantineIndex));
    EXPECT_EQ(2, (int)std::count(index.begin(), index.end(), '\n'));
}

// The index's times: the epoch, a leap day, the last second of a century, before 1970.
TEST(UtcText, CalendarEdges)
{
    const std::pair<int64_t, const char *> cases[] = {
        {0, "1970-01-01T00:00:00Z"},          {951782400, "2000-02-29T00:00:00Z"},
        {4102444799LL, "2099-12-31T23:59:59Z"}, {-1, "1969-12-31T23:59:59Z"},
        {1798675200, "2026-12-31T00:00:00Z"},   {4107542400LL, "2100-03-01T00:00:00Z"},
    };
    for (const auto &c : cases) {
        char text[UtcTextSize];
        FormatUtc(c.first, text);
        EXPECT_STREQ(c.second, text) << c.first;
    }
}

static uint32_t FullWrite(FileHandle file, const void *buffer, uint32_t count)
{
    return PlatformDefaults.writeFile(file, buffer, count / 2);
}
static FileHandle NoRoom(const char *path, int create)
{
    return create ? InvalidFileHandle : PlatformDefaults.openStored(path, create);
}
static int NoIndex(const char *, const void *, uint32_t) { return 0; }
static int NoFacts(FileHandle, FileFacts *) { return 0; }
// Reads a copy back with one byte changed, as a failing disk would hand it over.
static FileHandle lastStored = InvalidFileHandle;
static FileHandle RememberStored(const char *path, int create)
{
    return lastStored = PlatformDefaults.openStored(path, create);
}
static uint32_t CorruptRead(FileHandle file, void *buffer, uint32_t count)
{
    uint32_t got = PlatformDefaults.readFile(file, buffer, count);
    if (file == lastStored && got > 0)
        ((uint8_t *)buffer)[0] ^= 1;
    return got;
}

TEST_F(Quarantine, ACopyThatCannotBeMadeOrCheckedLeavesTheFile)
{
    struct Case {
        const char *name;
        void (*install)();
    } cases[] = {
        {"folder full", [] { Platform.openStored = NoRoom; }},
        {"short write", [] { Platform.writeFile = FullWrite; }},
        {"index not written", [] { Platform.appendFile = NoIndex; }},
        {"no facts", [] { Platform.fileFacts = NoFacts; }},
        {"copy reads back otherwise", [] {
             Platform.openStored = RememberStored;
             Platform.readFile = CorruptRead;
         }},
    };
    for (const Case &c : cases) {
        Reset();
        std::string file = Prepare();
        c.install();
        Run(file);
        PlatformRestore();
        SCOPED_TRACE(c.name);
        ExpectLeft(file);
        // A copy that failed its check is not left under the digest's name.
        if (strcmp(c.name, "index not written") != 0) {
            EXPECT_FALSE(Exists(CopyName(samples::MakeSample(samples::InfectedEntry1))));
        }
    }
}

// Report only changes nothing, and the workflow's own copy of a locked file is no new find.
static int hookCalls;
static int CountingHook(ScanContext *context)
{
    hookCalls++;
    return QuarantineFile(context);
}

TEST_F(Quarantine, AskedOncePerFileAndNeverInReportOnly)
{
    std::string file = Prepare();
    BeforeChange = CountingHook;
    hookCalls = 0;
    ReportOnly = 1;
    Run(file);
    ReportOnly = 0;
    EXPECT_EQ(0, hookCalls);
    Reset();
    file = Prepare();
    BeforeChange = CountingHook;
    Run(file);
    EXPECT_EQ(1, hookCalls);
}

TEST_F(Quarantine, FolderRefusedInsideATargetAroundOneAsAFileOrMissingBelow)
{
    std::string inside = testsupport::Join(tree, "q");
    std::string file = scratch.file("plain");
    ASSERT_TRUE(testsupport::WriteText(file, "x"));
    const char *targets[] = {tree.c_str()};
    EXPECT_NE(nullptr, QuarantineOpen(inside.c_str(), targets, 1));
    EXPECT_NE(nullptr, QuarantineOpen(tree.c_str(), targets, 1));
    EXPECT_NE(nullptr, QuarantineOpen(file.c_str(), targets, 1));
    EXPECT_NE(nullptr, QuarantineOpen(testsupport::Join(store, "a").c_str(), targets, 1));
    std::string sub = testsupport::Join(store, "sub");
    const char *around[] = {sub.c_str()};
    testsupport::MakeDir(store);
    testsupport::MakeDir(sub);
    EXPECT_NE(nullptr, QuarantineOpen(store.c_str(), around, 1));
    EXPECT_EQ(nullptr, QuarantineOpen(store.c_str(), targets, 1));
}

#ifndef _WIN32
// Whoever can write in the tree swaps the file for a harmless one once it was detected: the
// copy still holds what was detected.
static std::string swapPath;
static int32_t SwappingDetector(ScanContext *context)
{
    int32_t verdict = DetectFile(context);
    std::string aside = swapPath + ".aside";
    rename(swapPath.c_str(), aside.c_str());
    testsupport::WriteBytes(swapPath, samples::MakeSample(samples::CleanPe));
    return verdict;
}

TEST_F(Quarantine, AFileSwappedAfterDetectionIsNotWhatIsCopied)
{
    std::string file = Prepare();
    swapPath = file;
    Detector = SwappingDetector;
    Run(file);
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    EXPECT_EQ(bytes, ReadBytes(CopyName(bytes)));
    EXPECT_FALSE(Exists(CopyName(samples::MakeSample(samples::CleanPe))));
}

TEST_F(Quarantine, ANamePlantedInTheFolderIsNeverWrittenThrough)
{
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    std::string victim = scratch.file("victim");
    for (int planted = 0; planted < 2; planted++) {
        Reset();
        std::string file = Prepare();
        testsupport::RemoveAll(victim);
        if (planted == 0) {
            ASSERT_EQ(0, symlink(victim.c_str(), CopyName(bytes).c_str()));   // dangling
        } else {
            ASSERT_TRUE(testsupport::WriteText(victim, "other"));
            ASSERT_EQ(0, symlink(victim.c_str(), CopyName(bytes).c_str()));
        }
        Run(file);
        SCOPED_TRACE(planted);
        ExpectLeft(file);
        EXPECT_EQ(planted == 0 ? "" : "other", ReadText(victim));
        unlink(CopyName(bytes).c_str());
    }
}
#endif

}  // namespace
