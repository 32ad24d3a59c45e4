// The quarantine: a copy named by the file's SHA-256 and an index line before the deletion;
// every way the copy can fail leaves the file, "unable to clean"; the copy comes from the
// file that was detected, never from what its name leads to later, and never goes through a
// name planted in the folder.
#include "disinfect/quarantine.h"
#include "disinfect/restore.h"
#include "engine/sha256.h"
#include "platform/platform_hooks.h"
#include "tests/disinfect/workflow_support.h"

#include <string.h>
#ifndef _WIN32
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
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

// The names in `folder`, "." and ".." aside.
std::vector<std::string> Names(const std::string &folder)
{
    std::vector<std::string> names;
    FindRecord record;
    FindHandle find = PlatformDefaults.files.findFirst(testsupport::Join(folder, "*.*").c_str(), &record);
    if (find == InvalidFindHandle)
        return names;
    do {
        if (strcmp(record.name, ".") && strcmp(record.name, ".."))
            names.push_back(record.name);
    } while (PlatformDefaults.files.findNext(find, &record));
    PlatformDefaults.files.findClose(find);
    return names;
}

class Quarantine : public WorkflowTest {
protected:
    std::string tree, store;
    // The folder is let go first: Windows keeps a held folder from being removed.
    void TearDown() override
    {
        QuarantineClose();
        ScanContinue.store(0);
        WorkflowTest::TearDown();
    }
    void ResetRecords() override
    {
        QuarantineClose();
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
        ScanContinue.store(1);          /* as the walk sets it */
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
    EXPECT_TRUE(Platform.files.getFileAttributes(CopyName(bytes).c_str()) & AttrReadOnly);
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
        int64_t back = 12345;
        EXPECT_TRUE(ParseUtc(text, &back)) << text;
        EXPECT_EQ(c.first, back) << text;
    }
    // What a restore must not take for a time: no real date, another form, something after it.
    for (const char *bad : {"2001-02-29T00:00:00Z", "2000-04-31T00:00:00Z", "2000-13-01T00:00:00Z",
                            "2000-00-10T00:00:00Z", "2000-01-01T24:00:00Z", "2000-01-01 00:00:00Z",
                            "2000-01-01T00:00:00", "2000-01-01T00:00:00Z ", "20x0-01-01T00:00:00Z"}) {
        int64_t back;
        EXPECT_FALSE(ParseUtc(bad, &back)) << bad;
    }
}

static uint32_t FullWrite(FileHandle file, const void *buffer, uint32_t count, uint64_t offset)
{
    return PlatformDefaults.store.writeAt(file, buffer, count / 2, offset);
}
// The disk fills up at the index line: half of it is written.
static uint32_t FullAtIndex(FileHandle file, const void *buffer, uint32_t count)
{
    int line = count > 9 && !memcmp(buffer, "{\"sha256\"", 9);
    return PlatformDefaults.store.writeFile(file, buffer, line ? count / 2 : count);
}
static FileHandle NoRoom(const char *, char *, uint32_t) { return InvalidFileHandle; }
static int NoFacts(FileHandle, FileFacts *) { return 0; }
static int NoSync(FileHandle) { return 0; }
static int NoPlace(FileHandle, const char *, const char *) { return 0; }
// Reads a copy back with one byte changed, as a failing disk would hand it over.
static FileHandle lastStored = InvalidFileHandle;
static FileHandle RememberStored(const char *prefix, char *made, uint32_t size)
{
    return lastStored = PlatformDefaults.store.createStored(prefix, made, size);
}
static uint32_t CorruptRead(FileHandle file, void *buffer, uint32_t count, uint64_t offset,
                            int *hole)
{
    uint32_t got = PlatformDefaults.files.readAt(file, buffer, count, offset, hole);
    if (file == lastStored && got > 0 && !*hole)
        ((uint8_t *)buffer)[0] ^= 1;
    return got;
}

TEST_F(Quarantine, ACopyThatCannotBeMadeOrCheckedLeavesTheFile)
{
    struct Case {
        const char *name;
        void (*install)();
    } cases[] = {
        {"folder full", [] { Platform.store.createStored = NoRoom; }},
        {"short write", [] { Platform.store.writeAt = FullWrite; }},
        {"index line cut short", [] { Platform.store.writeFile = FullAtIndex; }},
        {"not put on disk", [] { Platform.store.syncFile = NoSync; }},
        {"not given its name", [] { Platform.store.placeStored = NoPlace; }},
        {"no facts", [] { Platform.store.fileFacts = NoFacts; }},
        {"copy reads back otherwise", [] {
             Platform.store.createStored = RememberStored;
             Platform.files.readAt = CorruptRead;
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
        // A copy that failed its check is not left under the digest's name, nor under any
        // other: the folder holds the index alone, and no part of a line.
        bool indexFailed = !strcmp(c.name, "index line cut short");
        if (!indexFailed) {
            EXPECT_FALSE(Exists(CopyName(samples::MakeSample(samples::InfectedEntry1))));
        }
        EXPECT_EQ(indexFailed ? 2u : 1u, Names(store).size());
        EXPECT_EQ("", ReadText(testsupport::Join(store, QuarantineIndex)));
        // One line says why; bytes that differ though every call succeeded name no system
        // cause, which would only be whatever a call before them left behind.
        ASSERT_EQ(1u, display.notices.size());
        if (!strcmp(c.name, "copy reads back otherwise")) {
            EXPECT_EQ(file + ": not copied to quarantine, so left as it is: the copy does not "
                             "read back as written",
                      display.notices[0]);
        }
    }
}

// After a line was cut short (a full disk), the next file's line is whole and on its own.
TEST_F(Quarantine, ALineCutShortIsTakenBackBeforeTheNext)
{
    std::string first = Prepare("a.exe");
    Platform.store.writeFile = FullAtIndex;
    Run(first);
    PlatformRestore();
    std::string second = Prepare("b.exe");
    Run(second);
    std::string index = ReadText(testsupport::Join(store, QuarantineIndex));
    EXPECT_EQ(0u, index.find("{\"sha256\":")) << index;
    EXPECT_EQ(1, (int)std::count(index.begin(), index.end(), '\n')) << index;
    EXPECT_EQ('\n', index.back());
    EXPECT_TRUE(Exists(first));
    EXPECT_FALSE(Exists(second));
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

// Inside a target the folder is held, and known by the identity the scan passes it over by.
TEST_F(Quarantine, FolderRefusedAroundATargetAsAFileOrMissingBelowAndKnownInsideOne)
{
    std::string inside = testsupport::Join(tree, "q");
    std::string file = scratch.file("plain");
    ASSERT_TRUE(testsupport::WriteText(file, "x"));
    const char *targets[] = {tree.c_str()};
    uint64_t volume, index, heldVolume, heldIndex;
    EXPECT_EQ(nullptr, QuarantineOpen(inside.c_str(), targets, 1));
    ASSERT_TRUE(Platform.files.fileIdentity(inside.c_str(), &volume, &index));
    ASSERT_TRUE(QuarantineIdentity(&heldVolume, &heldIndex));
    EXPECT_EQ(volume, heldVolume);
    EXPECT_EQ(index, heldIndex);
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

// A stop (Ctrl-C) while a long file is read for its copy: the reading ends within a few MiB,
// the file is left as it is, and nothing half made stays in the quarantine. The stop is
// given beneath the rules, by the read that reaches the 4th MiB.
static uint64_t readSoFar, readAtStop;
static ssize_t StoppingRead(int fd, void *buffer, size_t count, off_t offset)
{
    ssize_t got = PosixSysDefaults.pread(fd, buffer, count, offset);
    readSoFar += got > 0 ? (uint64_t)got : 0;
    if (readSoFar >= (4u << 20) && !readAtStop) {
        readAtStop = readSoFar;
        ScanContinue.store(0);
    }
    return got;
}

TEST_F(Quarantine, AStopDuringALongCopyEndsItSoonAndLeavesNoPart)
{
    std::string file = Prepare();
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    bytes.resize(64u << 20, 0xAB);                     // 64 MiB of data, no hole
    ASSERT_TRUE(testsupport::WriteBytes(file, bytes));
    readSoFar = readAtStop = 0;
    PosixSys.pread = StoppingRead;
    Run(file);
    PosixSys = PosixSysDefaults;
    EXPECT_NE(0u, readAtStop);
    EXPECT_LT(readSoFar - readAtStop, 4u << 20);
    EXPECT_EQ(bytes, ReadBytes(file));
    EXPECT_EQ(std::vector<std::string>{QuarantineIndex}, Names(store));
    EXPECT_EQ("", ReadText(testsupport::Join(store, QuarantineIndex)));
}

// The disk fills up as the restore records a file put back: the file is back, and the one
// line about the index says why in the system's words; the index keeps no part of a line.
static std::vector<std::string> problems;
static void Collect(const char *what, const char *cause)
{
    problems.push_back(std::string(what) + ": " + cause);
}
static ssize_t FullAtLine(int fd, const void *buffer, size_t count, off_t offset)
{
    if (count > 9 && !memcmp(buffer, "{\"sha256\"", 9)) {
        errno = ENOSPC;
        return -1;
    }
    return PosixSysDefaults.pwrite(fd, buffer, count, offset);
}

TEST_F(Quarantine, ARestoreThatCannotBeRecordedSaysWhyAndTheFileIsBack)
{
    std::string file = Prepare();
    Run(file);
    ASSERT_FALSE(Exists(file));
    QuarantineClose();
    std::string index = ReadText(testsupport::Join(store, QuarantineIndex));
    problems.clear();
    PosixSys.pwrite = FullAtLine;
    int status = RestoreFromQuarantine(store.c_str(), nullptr, nullptr, 0, Collect);
    PosixSys = PosixSysDefaults;
    EXPECT_EQ(3, status);
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), ReadBytes(file));
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("could not record it (No space left on device)"))
        << problems[0];
    EXPECT_EQ(index, ReadText(testsupport::Join(store, QuarantineIndex)));
}

// The other local user of the attacks below.
const uid_t Nobody = 65534;

// The folder must be the running user's and closed to others' writes, its index a regular file
// of the running user's; otherwise it is refused before anything is written, and the scan
// never starts.
TEST_F(Quarantine, AFolderOrIndexOthersCanChangeIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play another user";
    std::string elsewhere = scratch.file("elsewhere");
    struct Case {
        const char *name;
        void (*plant)(const std::string &store, const std::string &elsewhere);
    } cases[] = {
        {"another user's folder", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             chown(d.c_str(), Nobody, Nobody);
         }},
        {"open to everyone", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             chmod(d.c_str(), 0777);
         }},
        {"open to its group", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             chmod(d.c_str(), 0770);
         }},
        {"a link to a folder", [](const std::string &d, const std::string &e) {
             mkdir(e.c_str(), 0700);
             symlink(e.c_str(), d.c_str());
         }},
        {"index a link", [](const std::string &d, const std::string &e) {
             mkdir(d.c_str(), 0700);
             testsupport::WriteText(e, "");
             symlink(e.c_str(), (d + "/" QuarantineIndex).c_str());
         }},
        {"index a FIFO", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             mkfifo((d + "/" QuarantineIndex).c_str(), 0600);
         }},
        {"index another user's", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             testsupport::WriteText(d + "/" QuarantineIndex, "");
             chown((d + "/" QuarantineIndex).c_str(), Nobody, Nobody);
         }},
        {"index with a second name", [](const std::string &d, const std::string &e) {
             mkdir(d.c_str(), 0700);
             testsupport::WriteText(e, "");
             link(e.c_str(), (d + "/" QuarantineIndex).c_str());
         }},
        {"index a folder", [](const std::string &d, const std::string &) {
             mkdir(d.c_str(), 0700);
             mkdir((d + "/" QuarantineIndex).c_str(), 0700);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        testsupport::RemoveAll(elsewhere);
        c.plant(store, elsewhere);
        std::vector<std::string> before = Names(store);
        const char *targets[] = {tree.c_str()};
        const char *refused = QuarantineOpen(store.c_str(), targets, 1);
        EXPECT_NE(nullptr, refused);
        EXPECT_EQ(before, Names(store));
        EXPECT_TRUE(Names(elsewhere).empty());
        if (Exists(elsewhere) && !(Platform.files.getFileAttributes(elsewhere.c_str()) & AttrDirectory)) {
            EXPECT_EQ("", ReadText(elsewhere));
        }
        testsupport::RemoveAll(store);
    }
}

// Whatever else bears the copy's name stays, and so does the infected file: only the scanner's
// own copy (one name, the running user's, 0400, the same digest) stands for it.
TEST_F(Quarantine, OnlyTheScannersOwnCopyStandsUnderItsName)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play another user";
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    std::string other = scratch.file("other");
    struct Case {
        const char *name;
        int stands;
        void (*plant)(const std::string &copy, const std::vector<uint8_t> &bytes,
                      const std::string &other);
    } cases[] = {
        {"the scanner's own", 1, [](const std::string &c, const std::vector<uint8_t> &b,
                                    const std::string &) {
             testsupport::WriteBytes(c, b);
             chmod(c.c_str(), 0400);
         }},
        {"another user's, same bytes", 0, [](const std::string &c, const std::vector<uint8_t> &b,
                                             const std::string &) {
             testsupport::WriteBytes(c, b);
             chmod(c.c_str(), 0400);
             chown(c.c_str(), Nobody, Nobody);
         }},
        {"writable, same bytes", 0, [](const std::string &c, const std::vector<uint8_t> &b,
                                       const std::string &) {
             testsupport::WriteBytes(c, b);
             chmod(c.c_str(), 0644);
         }},
        {"a second name of a file elsewhere", 0,
         [](const std::string &c, const std::vector<uint8_t> &b, const std::string &o) {
             testsupport::WriteBytes(o, b);
             chmod(o.c_str(), 0400);
             link(o.c_str(), c.c_str());
         }},
        {"other bytes", 0, [](const std::string &c, const std::vector<uint8_t> &,
                              const std::string &) {
             testsupport::WriteText(c, "other");
             chmod(c.c_str(), 0400);
         }},
        {"a FIFO", 0, [](const std::string &c, const std::vector<uint8_t> &, const std::string &) {
             mkfifo(c.c_str(), 0400);
         }},
        {"a folder", 0, [](const std::string &c, const std::vector<uint8_t> &,
                           const std::string &) { mkdir(c.c_str(), 0700); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        unlink(other.c_str());
        std::string file = Prepare();
        c.plant(CopyName(bytes), bytes, other);
        struct stat planted, after;
        ASSERT_EQ(0, lstat(CopyName(bytes).c_str(), &planted));
        Run(file);
        if (c.stands) {
            EXPECT_FALSE(Exists(file));
        } else {
            ExpectLeft(file);
        }
        ASSERT_EQ(0, lstat(CopyName(bytes).c_str(), &after));
        EXPECT_EQ(planted.st_ino, after.st_ino);
        EXPECT_EQ(planted.st_mode, after.st_mode);
        EXPECT_EQ(planted.st_uid, after.st_uid);
        EXPECT_EQ(2u, Names(store).size());     // the planted entry and the index, nothing else
        std::string index = ReadText(testsupport::Join(store, QuarantineIndex));
        EXPECT_EQ(c.stands ? 1 : 0, (int)std::count(index.begin(), index.end(), '\n'));
        testsupport::RemoveAll(store);
    }
}

// The folder's path is swapped for a link to another folder once it was opened: every copy and
// line still goes into the folder that was checked, nothing into the other.
TEST_F(Quarantine, AFolderSwappedAfterTheCheckIsNotWrittenThrough)
{
    std::string elsewhere = scratch.file("elsewhere"), moved = scratch.file("moved");
    testsupport::RemoveAll(elsewhere);
    testsupport::RemoveAll(moved);
    ASSERT_TRUE(testsupport::MakeDir(elsewhere));
    std::string file = Prepare();
    ASSERT_EQ(0, rename(store.c_str(), moved.c_str()));
    ASSERT_EQ(0, symlink(elsewhere.c_str(), store.c_str()));
    Run(file);
    std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    EXPECT_TRUE(Names(elsewhere).empty());
    EXPECT_EQ(bytes, ReadBytes(testsupport::Join(moved, DigestOf(bytes) + QuarantineSuffix)));
    std::string index = ReadText(testsupport::Join(moved, QuarantineIndex));
    EXPECT_EQ(1, (int)std::count(index.begin(), index.end(), '\n'));
    EXPECT_FALSE(Exists(file));
    unlink(store.c_str());
    testsupport::RemoveAll(moved);
    testsupport::RemoveAll(elsewhere);
}
#endif

}  // namespace
