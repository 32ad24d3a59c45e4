// The folder walk and the scan worker: order of files, folders and targets, the stop request,
// the drive roots, links, path limits and the counters of consecutive scans. A listing table
// stands in for the file system where the shape of a tree matters (drive roots, "...",
// reparse points, long names); real trees check the whole road from walk to workflow.
#include "disinfect/workflow.h"
#include "base/text.h"
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "scan/display.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "tests/support/testsupport.h"
#include "tools/samples.h"

#include <gtest/gtest.h>
#include <algorithm>
#ifdef _WIN32
#include <windows.h>
#endif
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>
#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's count of the heap in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

using testsupport::Row;

static const std::string Sep(1, PathSeparator);

// ---- a listed file system ------------------------------------------------------------------

struct Entry {
    std::string name;
    uint32_t attributes;
    uint32_t reparseTag = 0;
};
static const uint32_t File = AttrNormal, Folder = AttrDirectory;

static std::map<std::string, std::vector<Entry>> listing;   // folder path with separator
static std::vector<std::string> patterns, opened;
static int openFinds, findNextCalls;
static int closedInHand;   // listings closed while the entry in hand was one of theirs
static size_t stopAfterOpens;   // 0: never

struct FakeFind {
    std::vector<Entry> entries;
    size_t next;
};

static void Fill(FindRecord *record, const Entry &entry)
{
    record->attributes = entry.attributes;
    record->reparseTag = entry.reparseTag;
    std::snprintf(record->name, sizeof record->name, "%s", entry.name.c_str());
}

static FindHandle ListedFirst(const char *pattern, FindRecord *record)
{
    patterns.push_back(pattern);
    std::string p = pattern;
    if (p.size() < 3 || p.compare(p.size() - 3, 3, "*.*") != 0)
        return InvalidFindHandle;
    auto it = listing.find(p.substr(0, p.size() - 3));
    if (it == listing.end() || it->second.empty())
        return InvalidFindHandle;
    FakeFind *find = new FakeFind{it->second, 1};
    Fill(record, find->entries[0]);
    openFinds++;
    return (FindHandle)find;
}

static int ListedNext(FindHandle handle, FindRecord *record)
{
    findNextCalls++;
    FakeFind *find = (FakeFind *)handle;
    if (find->next >= find->entries.size())
        return 0;
    Fill(record, find->entries[find->next++]);
    return 1;
}

static int ListedClose(FindHandle handle)
{
    closedInHand += InHand.listing == handle;
    delete (FakeFind *)handle;
    openFinds--;
    return 1;
}

// Files of the listing cannot be opened; the walk's calls are what counts.
static FileHandle RecordingOpen(const char *path, int)
{
    opened.push_back(path);
    if (stopAfterOpens && opened.size() == stopAfterOpens)
        StopScan();
    return InvalidFileHandle;
}

static std::vector<std::string> fixedRoots;
static uint32_t ListedDrives(char (*roots)[MaxRootPath], uint32_t max)
{
    uint32_t n = 0;
    for (const std::string &root : fixedRoots)
        if (n < max)
            std::snprintf(roots[n++], MaxRootPath, "%s", root.c_str());
    return n;
}

// ---- a display that stops the scan ---------------------------------------------------------

static std::vector<std::string> shownTargets;
static std::vector<Row> shownRows;
static size_t stopAfterTargets;
static void StoppingTarget(const char *text)
{
    shownTargets.push_back(text);
    if (stopAfterTargets && shownTargets.size() == stopAfterTargets)
        StopScan();
}
static void KeepRow(const ResultRow *row) { shownRows.push_back({row->file, row->status}); }
static const DisplayOps stoppingDisplay = {KeepRow, StoppingTarget, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

class Walk : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch;
    void SetUp() override
    {
        listing.clear();
        patterns.clear();
        opened.clear();
        fixedRoots.clear();
        shownTargets.clear();
        shownRows.clear();
        openFinds = findNextCalls = closedInHand = 0;
        InHand.listing = InvalidFindHandle;   // whatever a test before left
        stopAfterOpens = stopAfterTargets = 0;
        Display = &stoppingDisplay;
    }
    void TearDown() override
    {
        PlatformRestore();
        Display = nullptr;
        EXPECT_EQ(0, openFinds) << "every enumeration is closed";
    }
    void UseListing()
    {
        Platform.files.findFirst = ListedFirst;
        Platform.files.findNext = ListedNext;
        Platform.files.findClose = ListedClose;
        Platform.files.openFile = RecordingOpen;
        Platform.files.fixedDrives = ListedDrives;
    }
};

static std::vector<Entry> Dots(std::vector<Entry> rest)
{
    rest.insert(rest.begin(), {{".", Folder}, {"..", Folder}});
    return rest;
}

// ---- order, roots and separators -------------------------------------------------------------

TEST_F(Walk, DriveRootIsWalkedDepthFirstInEnumerationOrder)
{
    UseListing();
    const std::string root = "R:" + Sep;
    listing[root] = Dots({{"a.exe", File}, {"sub", Folder}, {"...", Folder},
                          {"link", Folder | AttrReparsePoint}, {"b.txt", File | AttrHidden}});
    listing[root + "sub" + Sep] = Dots({{"c.exe", File}});
    listing[root + "..." + Sep] = Dots({{"d.exe", File}});
    listing[root + "link" + Sep] = Dots({{"never.exe", File}});

    ScanSelectedFolder(root.c_str());

    EXPECT_EQ((std::vector<std::string>{root + "a.exe", root + "sub" + Sep + "c.exe",
                                        root + "..." + Sep + "d.exe", root + "b.txt"}),
              opened);
    EXPECT_EQ((std::vector<std::string>{root + "*.*", root + "sub" + Sep + "*.*", root + "..." + Sep + "*.*"}),
              patterns);
    EXPECT_EQ((std::vector<std::string>{root, root + "sub" + Sep, root + "sub" + Sep, root + "..." + Sep,
                                        root + "..." + Sep, root}),
              shownTargets);
    EXPECT_EQ(3, ScanCounters.folders);
    EXPECT_EQ(4, ScanCounters.files);
    EXPECT_EQ(root, std::string(ScanPath));
    // Only the unopenable programs are worth a row.
    EXPECT_EQ(3u, shownRows.size());
}

TEST_F(Walk, FolderWithoutTrailingSeparatorGetsOne)
{
    UseListing();
    const std::string folder = "R:" + Sep + "dir";
    listing[folder + Sep] = Dots({});
    ScanSelectedFolder(folder.c_str());
    EXPECT_EQ((std::vector<std::string>{folder + Sep + "*.*"}), patterns);
    EXPECT_EQ((std::vector<std::string>{folder + Sep, folder + Sep}), shownTargets);
    EXPECT_EQ(folder + Sep, std::string(ScanPath));
    EXPECT_EQ(1, ScanCounters.folders);
    EXPECT_EQ(0, ScanCounters.files);
    EXPECT_TRUE(shownRows.empty());
}

TEST_F(Walk, FolderThatCannotBeEnumeratedIsCountedAndShownOnly)
{
    UseListing();
    const std::string folder = "R:" + Sep + "gone" + Sep;
    ScanSelectedFolder(folder.c_str());
    EXPECT_EQ(1u, patterns.size());
    EXPECT_EQ((std::vector<std::string>{folder, folder}), shownTargets);
    EXPECT_EQ(1, ScanCounters.folders);
    EXPECT_TRUE(shownRows.empty());
}

// ---- links ---------------------------------------------------------------------------------

// A link to a file is passed over like a link to a folder; a file that is a reparse point of
// another kind (a cloud placeholder, a deduplicated file) holds its own contents and is scanned.
TEST_F(Walk, FileLinksArePassedOverOtherReparsePointFilesAreScanned)
{
    UseListing();
    const std::string root = "R:" + Sep;
    listing[root] = Dots({{"link.exe", File | AttrReparsePoint, ReparseTagSymlink},
                          {"wsl-link.exe", File | AttrReparsePoint, 0xA000001Du},
                          {"cloud.exe", File | AttrReparsePoint, 0x9000001Au},
                          {"dedup.exe", File | AttrReparsePoint, 0x80000013u},
                          {"plain.exe", File}});
    ScanSelectedFolder(root.c_str());
    EXPECT_EQ((std::vector<std::string>{root + "cloud.exe", root + "dedup.exe", root + "plain.exe"}),
              opened);
    EXPECT_EQ(3, ScanCounters.files);
}

// ---- the entry in hand ------------------------------------------------------------------------

// Folders of the listing are folders, and nothing else is there; no identities.
static uint32_t ListedAttributes(const char *path)
{
    return listing.count(std::string(path) + Sep) ? Folder : InvalidFileAttributes;
}
static int NoIdentity(const char *, uint64_t *, uint64_t *) { return 0; }

// The kinds of entry a listing may end on, for the entry in hand's lifetime.
enum LastEntry { LastFile, LastFolder, LastLinkToFile, LastLinkToFolder, LastDots };
static const char *const lastEntryNames[] = {"a file", "a folder", "a link to a file",
                                             "a link to a folder", "\"..\""};

// The entry in hand goes before its listing is closed, whatever the listing's last entry:
// the folder given next is then looked at and walked as a folder, in either order.
TEST_F(Walk, EntryInHandIsGoneBeforeItsListingIsClosed)
{
    UseListing();
    Platform.files.getFileAttributes = ListedAttributes;
    Platform.files.fileIdentity = NoIdentity;
    const std::string a = "R:" + Sep + "dirA", b = "R:" + Sep + "dirBBBBBBBBBBBBBB";
    const std::vector<Entry> lastOfA[] = {{{"only.exe", File}},
                                          {{"only", Folder}},
                                          {{"only.exe", File | AttrReparsePoint, ReparseTagSymlink}},
                                          {{"only", Folder | AttrReparsePoint, ReparseTagSymlink}},
                                          {}};
    for (int last = LastFile; last <= LastDots; last++) {
        for (bool aFirst : {true, false}) {
            SCOPED_TRACE(std::string(lastEntryNames[last]) + (aFirst ? " last, first" : " last, second"));
            listing.clear();
            opened.clear();
            closedInHand = 0;
            listing[a + Sep] = Dots(lastOfA[last]);
            listing[a + Sep + "only" + Sep] = Dots({});
            listing[b + Sep] = Dots({{"worm.exe", File}, {"sub", Folder}});
            listing[b + Sep + "sub" + Sep] = Dots({{"c.exe", File}});
            const char *paths[] = {aFirst ? a.c_str() : b.c_str(), aFirst ? b.c_str() : a.c_str()};
            ScanContinue.store(1);
            ScanGivenPaths(paths, 2);
            EXPECT_EQ(0, closedInHand);
            EXPECT_EQ(InvalidFindHandle, InHand.listing);
            EXPECT_EQ(3 + (last == LastFolder), ScanCounters.folders);
            EXPECT_EQ(2 + (last == LastFile), ScanCounters.files);
            EXPECT_EQ(1, std::count(opened.begin(), opened.end(), b + Sep + "sub" + Sep + "c.exe"));
        }
    }
}

// ---- path limits ----------------------------------------------------------------------------

// Nothing is passed over in silence: a file whose path would not fit is a file that cannot be
// opened (a row for a program extension only); a folder is a folder that cannot be listed:
// counted and shown in the target field, without a row.
TEST_F(Walk, EntriesWhosePathWouldNotFitAreReportedNotSkipped)
{
    UseListing();
    // A folder path of PlatformMaxPath - 20 with its separator: a file name of 19 is the
    // longest path, one of 20 is too long; a folder needs four more for its separator and the
    // pattern.
    const size_t n = PlatformMaxPath - 20;
    const std::string folder = std::string(n - 1, 'f') + Sep;
    const std::string fits(19, 'n'), tooLong = std::string(16, 'n') + ".EXE";
    const std::string notProgram = std::string(16, 'n') + ".txt";
    const std::string subFits(15, 'd'), subTooLong(16, 'd');
    listing[folder] = Dots({{tooLong, File}, {fits, File}, {notProgram, File},
                            {subTooLong, Folder}, {subFits, Folder}});
    listing[folder + subFits + Sep] = Dots({});
    ScanSelectedFolder(folder.c_str());
    EXPECT_EQ((std::vector<std::string>{folder + fits}), opened);
    EXPECT_EQ((std::vector<Row>{{folder + tooLong, StatusUnableToOpen}}), shownRows);
    EXPECT_EQ(1, std::count(shownTargets.begin(), shownTargets.end(), folder + subTooLong + Sep));
    EXPECT_EQ(3, ScanCounters.folders);
    EXPECT_EQ(3, ScanCounters.files);
    EXPECT_EQ(folder, std::string(ScanPath));

    // No room for the separator, or for the pattern: counted, not enumerated.
    patterns.clear();
    ScanSelectedFolder(std::string(ScanPathSize - 1, 'g').c_str());
    ScanSelectedFolder((std::string(ScanPathSize - 4, 'g') + Sep).c_str());
    EXPECT_TRUE(patterns.empty());
    EXPECT_EQ(1, ScanCounters.folders);
}

// ---- stopping -----------------------------------------------------------------------------

TEST_F(Walk, StopEndsTheWalkAfterTheCurrentEntry)
{
    UseListing();
    const std::string root = "R:" + Sep;
    listing[root] = Dots({{"sub", Folder}, {"later.exe", File}, {"later", Folder}});
    listing[root + "sub" + Sep] = Dots({{"one.exe", File}, {"two.exe", File}});
    listing[root + "later" + Sep] = Dots({{"three.exe", File}});
    stopAfterOpens = 1;
    ScanSelectedFolder(root.c_str());

    EXPECT_EQ((std::vector<std::string>{root + "sub" + Sep + "one.exe"}), opened);
    EXPECT_EQ(2, ScanCounters.folders);
    // Each folder left is shown again as it is left.
    EXPECT_EQ((std::vector<std::string>{root, root + "sub" + Sep, root + "sub" + Sep, root}), shownTargets);
    EXPECT_EQ(root, std::string(ScanPath));
}

TEST_F(Walk, StopOnEnteringAFolderLeavesItUnlisted)
{
    UseListing();
    const std::string root = "R:" + Sep;
    listing[root] = Dots({{"sub", Folder}, {"x.exe", File}});
    listing[root + "sub" + Sep] = Dots({{"one.exe", File}});
    stopAfterTargets = 2;   // the target shown on entering "sub"
    ScanSelectedFolder(root.c_str());
    EXPECT_EQ((std::vector<std::string>{root + "*.*"}), patterns);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(2, ScanCounters.folders);
    EXPECT_EQ((std::vector<std::string>{root, root + "sub" + Sep, root}), shownTargets);
}

TEST_F(Walk, StopDuringAllFixedDrivesStillCountsEveryRemainingDrive)
{
    UseListing();
    fixedRoots = {"P:" + Sep, "Q:" + Sep, "R:" + Sep, "S:" + Sep};
    listing["P:" + Sep] = Dots({{"one.exe", File}, {"two.exe", File}});
    listing["Q:" + Sep] = Dots({{"q.exe", File}});
    listing["R:" + Sep] = Dots({{"r.exe", File}});
    stopAfterOpens = 1;
    ScanCounters.files = 99;   // left from an earlier scan
    ScanAllFixedDrives();

    EXPECT_EQ((std::vector<std::string>{"P:" + Sep + "one.exe"}), opened);
    EXPECT_EQ((std::vector<std::string>{"P:" + Sep + "*.*"}), patterns);
    EXPECT_EQ(4, ScanCounters.folders);
    EXPECT_EQ(1, ScanCounters.files);
    EXPECT_EQ((std::vector<std::string>{"P:" + Sep, "P:" + Sep, "Q:" + Sep, "R:" + Sep, "S:" + Sep}),
              shownTargets);
}

TEST_F(Walk, AllFixedDrivesWalksEveryRootTheFixedDriveListGives)
{
    UseListing();
    fixedRoots = {"C:" + Sep, "E:" + Sep};
    listing["C:" + Sep] = Dots({{"c.exe", File}});
    listing["E:" + Sep] = Dots({{"e.exe", File}});
    ScanAllFixedDrives();
    EXPECT_EQ((std::vector<std::string>{"C:" + Sep + "c.exe", "E:" + Sep + "e.exe"}), opened);
    EXPECT_EQ(2, ScanCounters.folders);
    EXPECT_EQ(1, ScanContinue.load());
}

// ---- real trees ---------------------------------------------------------------------------

static void WriteSample(const std::string &path, samples::SampleId id)
{
    ASSERT_TRUE(testsupport::WriteBytes(path, samples::MakeSample(id))) << path;
}

// Two infected files, three clean ones, four folders (one empty), as a scan finds them.
static void MakeTree(const std::string &top)
{
    testsupport::MakeDir(testsupport::Join(top, "a"));
    testsupport::MakeDir(testsupport::Join(top, "a" + Sep + "deep"));
    testsupport::MakeDir(testsupport::Join(top, "empty"));
    WriteSample(testsupport::Join(top, "clean.exe"), samples::CleanPe);
    WriteSample(testsupport::Join(top, "readme.txt"), samples::CleanText);
    WriteSample(testsupport::Join(top, "a" + Sep + "worm.exe"), samples::InfectedEntry1);
    WriteSample(testsupport::Join(top, "a" + Sep + "deep" + Sep + "worm.dll"), samples::InfectedDll);
    WriteSample(testsupport::Join(top, "a" + Sep + "deep" + Sep + "clean.dll"), samples::CleanDll);
}

TEST_F(Walk, RealTreeIsScannedAndEachScanCountsFromZero)
{
    const std::string top = scratch.file("tree");
    for (int scan = 0; scan < 2; scan++) {
        MakeTree(top);
        shownRows.clear();
        ScanSelectedFolder(top.c_str());
        const std::string worm = top + Sep + "a" + Sep + "worm.exe";
        const std::string dll = top + Sep + "a" + Sep + "deep" + Sep + "worm.dll";
        std::vector<Row> rows = shownRows;
        std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.file < b.file; });
        EXPECT_EQ((std::vector<Row>{{dll, testsupport::InfectedStatus()}, {dll, StatusDeleted},
                                    {worm, testsupport::InfectedStatus()}, {worm, StatusDeleted}}),
                  rows) << "scan " << scan;
        EXPECT_EQ(4, ScanCounters.folders);
        EXPECT_EQ(5, ScanCounters.files);
        EXPECT_EQ(2, ScanCounters.infected);
        EXPECT_EQ(2, ScanCounters.deleted);
        EXPECT_FALSE(testsupport::Exists(worm));
        EXPECT_TRUE(testsupport::Exists(top + Sep + "a" + Sep + "deep" + Sep + "clean.dll"));
        EXPECT_EQ(top + Sep, std::string(ScanPath));
    }
}

#ifdef _WIN32
static bool WriteWide(const std::wstring &path, const std::vector<uint8_t> &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL) &&
              written == bytes.size();
    return CloseHandle(file) && ok;
}

static std::vector<uint8_t> ReadWide(const std::wstring &path)
{
    std::vector<uint8_t> bytes(1 << 20);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                              NULL);
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, bytes.data(), (DWORD)bytes.size(), &got, NULL))
        got = 0;
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

// Names with characters that the ANSI code page lacks: listed in ANSI they would read "???.exe"
// (opens nothing) or "a.exe" for "\u0101.exe" (opens another file). Each is reached through its
// short name: the infected ones are deleted, every clean one is left as it was.
TEST_F(Walk, NamesOutsideTheCodePageAreReachedThroughTheirShortNames)
{
    if (Is9xFamily(GetVersion()))
        GTEST_SKIP() << "the 9x family has ANSI names only";
    const std::string top = scratch.file("names");
    ASSERT_TRUE(CreateDirectoryA(top.c_str(), NULL));
    const std::wstring wtop(top.begin(), top.end());
    const std::vector<uint8_t> worm = samples::MakeSample(samples::InfectedEntry1);
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    const std::wstring infected[] = {L"\\\u0416\u0443\u043a.exe", L"\\\u0101.exe"};
    const std::wstring untouched[] = {L"\\\u65e5\u672c\u8a9e.exe", L"\\a.exe", L"\\\u0416.dll"};
    for (const std::wstring &name : infected)
        ASSERT_TRUE(WriteWide(wtop + name, worm));
    for (const std::wstring &name : untouched)
        ASSERT_TRUE(WriteWide(wtop + name, clean));

    ScanSelectedFolder(top.c_str());
    EXPECT_EQ(5, ScanCounters.files);
    EXPECT_EQ(2, ScanCounters.infected);
    EXPECT_EQ(2, ScanCounters.deleted);
    ASSERT_EQ(4u, shownRows.size());
    for (const Row &row : shownRows) {
        EXPECT_EQ(std::string::npos, row.file.find('?')) << row.file;
        EXPECT_NE(top + Sep + "a.exe", row.file);
    }
    for (const std::wstring &name : infected)
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((wtop + name).c_str()));
    for (const std::wstring &name : untouched)
        EXPECT_EQ(clean, ReadWide(wtop + name));
}
#endif

// A link back up the tree would otherwise be followed until the path overflows.
TEST_F(Walk, LinkedFolderIsNotEntered)
{
    const std::string top = scratch.file("tree");
    MakeTree(top);
    std::error_code ec;
    std::filesystem::create_directory_symlink("..", top + Sep + "a" + Sep + "up", ec);
    if (ec)
        GTEST_SKIP() << "no folder links here: " << ec.message();
    ASSERT_NE(0u, Platform.files.getFileAttributes((top + Sep + "a" + Sep + "up").c_str()) & AttrReparsePoint);
    ScanSelectedFolder(top.c_str());
    EXPECT_EQ(4, ScanCounters.folders);
    EXPECT_EQ(5, ScanCounters.files);
}

// Links to infected files, one to a file in the tree and one to a read-only file outside it:
// neither is scanned through nor deleted, the outside file keeps its bytes and attributes, and
// the file inside is found once, under its own name.
TEST_F(Walk, LinkedFilesAreNeitherScannedThroughNorDeleted)
{
    const std::string top = scratch.file("tree"), outside = scratch.file("outside");
    testsupport::MakeDir(top);
    testsupport::MakeDir(outside);
    const std::string inside = top + Sep + "inside.exe", away = outside + Sep + "away.exe";
    WriteSample(inside, samples::InfectedEntry1);
    WriteSample(away, samples::InfectedEntry2);
    ASSERT_NE(0, Platform.files.setFileAttributes(away.c_str(), AttrReadOnly));
    std::error_code ec;
    std::filesystem::create_symlink(inside, top + Sep + "in-link.exe", ec);
    std::filesystem::create_symlink(away, top + Sep + "out-link.exe", ec);
    if (ec)
        GTEST_SKIP() << "no file links here: " << ec.message();
    ScanSelectedFolder(top.c_str());
    EXPECT_EQ((std::vector<Row>{{inside, testsupport::InfectedStatus()}, {inside, StatusDeleted}}), shownRows);
    EXPECT_EQ(1, ScanCounters.files);
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry2), testsupport::ReadBytes(away));
    EXPECT_NE(0u, Platform.files.getFileAttributes(away.c_str()) & AttrReadOnly);
    for (const char *link : {"in-link.exe", "out-link.exe"})
        EXPECT_NE(0u, Platform.files.getFileAttributes((top + Sep + link).c_str()) & AttrReparsePoint) << link;
}

TEST_F(Walk, ThreadProcScansTheTargetAndEndsWithTheReport)
{
    const std::string top = scratch.file("tree");
    MakeTree(top);
    ASSERT_TRUE(CopyText(TargetPath, TargetPathSize, top.c_str()));
    ScanState = Scanning;
    EXPECT_EQ(0u, ScanThreadProc(nullptr));
    ASSERT_GE(shownRows.size(), 11u);
    EXPECT_EQ((Row{ReportTitle, ""}), shownRows[shownRows.size() - 11]);
    EXPECT_EQ((Row{"Files:", "5"}), shownRows[shownRows.size() - 9]);
    EXPECT_EQ(top, shownTargets.back());
    EXPECT_EQ(Idle, ScanState.load());

    // A state already Idle gets no second report.
    shownRows.clear();
    MakeTree(top);
    EXPECT_EQ(0u, ScanThreadProc(nullptr));
    EXPECT_EQ(4u, shownRows.size());
    TargetPath[0] = 0;
}

// No target: every root the platform calls fixed, here two real folders.
TEST_F(Walk, ThreadProcWithoutTargetScansAllFixedDrives)
{
    const std::string one = scratch.file("one"), two = scratch.file("two");
    MakeTree(one);
    MakeTree(two);
    fixedRoots = {one + Sep, two + Sep};
    Platform.files.fixedDrives = ListedDrives;
    TargetPath[0] = 0;
    ScanState = Scanning;
    ScanThreadProc(nullptr);
    EXPECT_EQ(8, ScanCounters.folders);
    EXPECT_EQ(10, ScanCounters.files);
    EXPECT_EQ(4, ScanCounters.deleted);
    EXPECT_EQ(AllFixedDrives, shownTargets.back());
    EXPECT_EQ(Idle, ScanState.load());
}

// ---- acting only on the file that was detected ------------------------------------------------

// Whoever may write in the scanned tree swaps, at the worst moment, the infected file's folder
// for a symbolic link to a folder outside the tree, or the file itself for a hard link to a
// file there (no link to follow: only the file's identity tells); a read-only clean file of
// the same name waits outside. Outside nothing may change, the link stays, and a "deleted" row
// is true of the file that was detected: in a folder walked, and for a file named on its own.
namespace {

struct SwapCase {
    const char *moment;      // the table entry before whose real call the swap happens
    bool folder;             // the folder swapped, else the file
    bool held;               // a handle holds the file: no writing, copy fallback
    const char *lastRow;     // the infected file's last row on POSIX (where a folder swapped
                             // for a link leaves the open folder, and the file detected, in hand)
};
const SwapCase SwapCases[] = {
    {"setFileAttributes", true, false, StatusDeleted},
    {"openFile", true, false, StatusDeleted},
    {"deleteFile", true, false, StatusDeleted},
    {"copyFile", true, true, StatusUnableToClean},
    {"setFileAttributes", false, false, StatusUnableToClean},
    {"openFile", false, false, StatusUnableToClean},
    {"deleteFile", false, false, StatusUnableToClean},
    {"copyFile", false, true, StatusUnableToClean},
};

struct Swapper {
    std::string sub, worm, outside, victim;
    const SwapCase *current = nullptr;
    int swaps = 0;
    PlatformOps real;

    void Before(const char *path, const char *entry)
    {
        if (swaps || std::string(entry) != current->moment || worm != path)
            return;
        swaps++;
#ifdef _WIN32
        // No junction can be made under Wine: the outside folder itself takes the folder's
        // place, where a junction would lead; the file gives way to a copy of the outside one.
        ASSERT_TRUE(MoveFileA((current->folder ? sub : worm).c_str(), ((current->folder ? sub : worm) + ".moved").c_str()));
        if (current->folder)
            ASSERT_TRUE(MoveFileA(outside.c_str(), sub.c_str()));
        else
            ASSERT_TRUE(CopyFileA(victim.c_str(), worm.c_str(), TRUE));
#else
        if (current->folder) {
            ASSERT_EQ(0, rename(sub.c_str(), (sub + ".moved").c_str()));
            ASSERT_EQ(0, symlink(outside.c_str(), sub.c_str()));
        } else {
            ASSERT_EQ(0, rename(worm.c_str(), (worm + ".moved").c_str()));
            ASSERT_EQ(0, link(victim.c_str(), worm.c_str()));
        }
#endif
    }
} swapper;

int SwapThenSetAttributes(const char *path, uint32_t attributes)
{
    swapper.Before(path, "setFileAttributes");
    return swapper.real.files.setFileAttributes(path, attributes);
}
FileHandle SwapThenOpen(const char *path, int write)
{
    if (write)
        swapper.Before(path, "openFile");
    return swapper.real.files.openFile(path, write);
}
int SwapThenCopy(const char *from, const char *to)
{
    swapper.Before(from, "copyFile");
    return swapper.real.files.copyFile(from, to);
}
int SwapThenDelete(const char *path)
{
    swapper.Before(path, "deleteFile");
    return swapper.real.files.deleteFile(path);
}

// Below `top`: the infected tree/sub/worm.exe, and outside/worm.exe, clean and read-only.
bool MakeSwapTree(const std::string &top, const std::vector<uint8_t> &clean)
{
    swapper.sub = top + Sep + "tree" + Sep + "sub";
    swapper.worm = swapper.sub + Sep + "worm.exe";
    swapper.outside = top + Sep + "outside";
    swapper.victim = swapper.outside + Sep + "worm.exe";
    if (!testsupport::MakeDir(swapper.sub) || !testsupport::MakeDir(swapper.outside))
        return false;
    WriteSample(swapper.worm, samples::InfectedEntry1);
#ifdef _WIN32
    return testsupport::WriteBytes(swapper.victim, clean) &&
           SetFileAttributesA(swapper.victim.c_str(), FILE_ATTRIBUTE_READONLY);
#else
    return testsupport::WriteBytes(swapper.victim, clean) && chmod(swapper.victim.c_str(), 0444) == 0;
#endif
}

// The swapping stand-ins over the real table, for case `k`.
void ArmSwapper(const SwapCase &k)
{
    PlatformRestore();
    swapper.real = Platform;
    swapper.current = &k;
    swapper.swaps = 0;
    Platform.files.setFileAttributes = SwapThenSetAttributes;
    Platform.files.openFile = SwapThenOpen;
    Platform.files.copyFile = SwapThenCopy;
    Platform.files.deleteFile = SwapThenDelete;
}

#ifndef _WIN32
// Every regular file below `folder` (links not followed) by inode, and whether a copy is left.
void Inventory(const std::string &folder, std::map<ino_t, std::string> &files, bool &copyLeft)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st;
        if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files[st.st_ino] = it->path().string();
        copyLeft |= it->path().filename().string().find(".qx-") != std::string::npos;
    }
}
#endif

}  // namespace

#ifdef _WIN32
namespace {

// A listing that holds its folder open only while it reads it whole, as a folder shared over a
// network may: a folder being listed can then be renamed, which a listing held open forbids.
struct ReadListing {
    std::vector<FindRecord> records;
    size_t next;
};
FindHandle ReadFirst(const char *pattern, FindRecord *record)
{
    FindHandle real = swapper.real.files.findFirst(pattern, record);
    if (real == InvalidFindHandle)
        return real;
    ReadListing *listing = new ReadListing{{*record}, 1};
    FindRecord more;
    while (swapper.real.files.findNext(real, &more))
        listing->records.push_back(more);
    swapper.real.files.findClose(real);
    return (FindHandle)listing;
}
int ReadNext(FindHandle handle, FindRecord *record)
{
    ReadListing *listing = (ReadListing *)handle;
    if (listing->next >= listing->records.size())
        return 0;
    *record = listing->records[listing->next++];
    return 1;
}
int ReadClose(FindHandle handle)
{
    delete (ReadListing *)handle;
    return 1;
}

}  // namespace

// On the NT family every change to the file in hand looks whether its path still names the
// file detected: a folder on the path swapped (where a junction would lead), or the file, at
// any moment, leaves every file as it was, the outside one read-only and whole; nothing is
// registered for the restart either. The 9x family has no links and keeps the plain calls.
TEST_F(Walk, SwappedFolderOrFileIsNeverChangedOnTheNtFamily)
{
    if (Platform.restart.getVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    int n = 0;
    for (const SwapCase &k : SwapCases) {
        SCOPED_TRACE(std::string(k.moment) + (k.folder ? " folder" : " file"));
        const std::string top = scratch.file("swap" + std::to_string(n++));
        ASSERT_TRUE(MakeSwapTree(top, clean));

        ArmSwapper(k);
        Platform.files.findFirst = ReadFirst;
        Platform.files.findNext = ReadNext;
        Platform.files.findClose = ReadClose;
        // Held as a running program's image is: read, and shared for renaming.
        HANDLE hold = k.held ? CreateFileA(swapper.worm.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           NULL, OPEN_EXISTING, 0, NULL)
                             : INVALID_HANDLE_VALUE;
        shownRows.clear();
        ScanSelectedFolder((top + "\\tree").c_str());
        if (hold != INVALID_HANDLE_VALUE)
            CloseHandle(hold);
        PlatformRestore();

        EXPECT_EQ(1, swapper.swaps);
        // Where the outside file is now, and the file that took the name, if any.
        for (const std::string &path : {k.folder ? swapper.worm : swapper.victim, swapper.worm}) {
            EXPECT_EQ(clean, testsupport::ReadBytes(path)) << path;
            EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) << path;
        }
        EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1),
                  testsupport::ReadBytes((k.folder ? swapper.sub : swapper.worm) + ".moved" +
                                         (k.folder ? "\\worm.exe" : "")))
            << "the file detected stays where it went";
        ASSERT_FALSE(shownRows.empty());
        EXPECT_EQ((Row{swapper.worm, StatusUnableToClean}), shownRows.back()) << "the path names another file";
    }
}
#endif

#ifdef _WIN32
// The swap once more, later: inside the change itself, once its handle has been checked to be the
// file detected and before the change is made (the test hook of the NT family's backend). Every
// change goes through that handle, or relative to the folder it was found in, so the outside
// file keeps its read-only attribute and its bytes, gets no copy beside it, and the rows stay
// true: the file was neither deleted nor copied while its name led elsewhere, and nothing is
// registered for the restart (the real registration, which refuses a name that leads elsewhere).
namespace {

struct CheckedSwap {
    const char *operation;
    bool folder, held;
    bool image;   // a running program's image: never deleted now, so it waits for the restart
};
const CheckedSwap CheckedSwaps[] = {
    {"setFileAttributes", true, false, false}, {"setFileAttributes", false, false, false},
    {"setFileAttributes", true, true, false},  {"copyFile", true, true, false},
    {"copyFile", false, true, false},          {"deleteFile", true, false, false},
    {"deleteFile", false, false, false},       {"moveFileAtRestart", true, true, true},
    {"moveFileAtRestart", false, true, true},
};
const CheckedSwap *checkedSwap;
int checkedSwaps;

void SwapWhenChecked(const char *operation, const char *path)
{
    if (checkedSwaps || std::string(operation) != checkedSwap->operation || swapper.worm != path)
        return;
    checkedSwaps++;
    const std::string &moved = checkedSwap->folder ? swapper.sub : swapper.worm;
    if (!MoveFileA(moved.c_str(), (moved + ".moved").c_str()))
        ADD_FAILURE() << "cannot move " << moved;
    else if (checkedSwap->folder ? !MoveFileA(swapper.outside.c_str(), swapper.sub.c_str())
                                 : !CopyFileA(swapper.victim.c_str(), swapper.worm.c_str(), TRUE))
        ADD_FAILURE() << "cannot put the outside file in place";
}

int ImageNeverDeleted(const char *path)
{
    return swapper.worm == path ? 0 : swapper.real.files.deleteFile(path);
}

// The names of the files in `folder`, without "." and "..".
std::vector<std::string> Names(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::string(data.cFileName) != "." && std::string(data.cFileName) != "..")
            names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(Walk, SwapAfterTheCheckChangesNothingOutsideOnTheNtFamily)
{
    if (Platform.restart.getVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    int n = 0;
    for (const CheckedSwap &k : CheckedSwaps) {
        SCOPED_TRACE(std::string(k.operation) + (k.folder ? " folder" : " file") + (k.held ? " held" : ""));
        const std::string top = scratch.file("checked" + std::to_string(n++));
        ASSERT_TRUE(MakeSwapTree(top, clean));
        checkedSwap = &k;
        checkedSwaps = 0;
        WinAfterIdentityCheck = SwapWhenChecked;
        swapper.real = Platform;
        Platform.files.findFirst = ReadFirst;
        Platform.files.findNext = ReadNext;
        Platform.files.findClose = ReadClose;
        // The volume plays one with links and the restart folder's rights (Wine reports
        // neither); the restart list is the real one, which must refuse anything but the file
        // detected.
        if (k.image) {
            Platform.files.deleteFile = ImageNeverDeleted;
            testsupport::PlayVolumeWithLinks(true);
        }
        const std::string restartFolder = top.substr(0, 3) + "KorvaneRestart";
        const std::vector<std::string> waiting = Names(restartFolder);
        HANDLE hold = k.held ? CreateFileA(swapper.worm.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           NULL, OPEN_EXISTING, 0, NULL)
                             : INVALID_HANDLE_VALUE;
        shownRows.clear();
        ScanSelectedFolder((top + "\\tree").c_str());
        if (hold != INVALID_HANDLE_VALUE)
            CloseHandle(hold);
        WinAfterIdentityCheck = nullptr;
        WinSys = WinSysDefaults;
        PlatformRestore();

        EXPECT_EQ(1, checkedSwaps);
        // The outside file, where it is now, and whatever took the infected file's name.
        for (const std::string &path : {k.folder ? swapper.worm : swapper.victim, swapper.worm}) {
            EXPECT_EQ(clean, testsupport::ReadBytes(path)) << path;
            EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) << path;
        }
        EXPECT_EQ(std::vector<std::string>{"worm.exe"}, Names(k.folder ? swapper.sub : swapper.outside))
            << "nothing new beside the outside file";
        // A copy made before the name led elsewhere goes again through its handle; where a
        // deletion goes by the name the handle was opened with (Wine), it stays beside the file
        // detected, a copy of it, never outside.
        if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) {
            for (const std::string &name : Names(k.folder ? swapper.sub + ".moved" : swapper.sub)) {
                EXPECT_EQ(std::string::npos, name.find(".qx-")) << "a copy left beside the file detected";
            }
        }
        ASSERT_FALSE(shownRows.empty());
        const std::string detected = (k.folder ? swapper.sub : swapper.worm) + ".moved" +
                                     (k.folder ? "\\worm.exe" : "");
        // Where a rename follows the handle (Windows), the file detected goes to wait in the
        // restart folder; where it goes by the name the handle was opened with (Wine), what the
        // name led to then was another file, which goes back, and nothing waits.
        std::vector<std::string> nowWaiting = Names(restartFolder);
        if (shownRows.back().status == StatusDeletedAtRestart) {
            EXPECT_EQ(std::string("moveFileAtRestart"), k.operation);
            EXPECT_FALSE(testsupport::Exists(detected));
            ASSERT_EQ(waiting.size() + 1, nowWaiting.size());
            for (const std::string &name : nowWaiting)
                if (std::find(waiting.begin(), waiting.end(), name) == waiting.end()) {
                    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1),
                              testsupport::ReadBytes(restartFolder + "\\" + name));
                    DeleteFileA((restartFolder + "\\" + name).c_str());
                }
            continue;
        }
        EXPECT_EQ(waiting, nowWaiting) << "nothing went to wait for the restart";
        EXPECT_EQ(swapper.worm + ": " + StatusUnableToClean, shownRows.back().file + ": " + shownRows.back().status);
        EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(detected))
            << "the file detected is still there, as its last row says";
    }
}
#endif

#ifdef _WIN32
// An open for writing refused because the name led elsewhere for that moment (the folder swapped
// before it and back after it) is not a locked file: no copy is made, nothing is deleted or
// registered, and the file is reported as not cleaned.
namespace {
FileHandle SwapAroundOpenForWriting(const char *path, int write)
{
    if (!write || swapper.worm != path)
        return swapper.real.files.openFile(path, write);
    bool swapped = MoveFileA(swapper.sub.c_str(), (swapper.sub + ".moved").c_str()) &&
                   MoveFileA(swapper.outside.c_str(), swapper.sub.c_str());
    EXPECT_TRUE(swapped);
    FileHandle file = swapper.real.files.openFile(path, write);
    EXPECT_TRUE(MoveFileA(swapper.sub.c_str(), swapper.outside.c_str()) &&
                MoveFileA((swapper.sub + ".moved").c_str(), swapper.sub.c_str()));
    return file;
}
}  // namespace

TEST_F(Walk, WriteRefusedForAnotherFileIsNoLockedFile)
{
    if (Platform.restart.getVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    ASSERT_TRUE(MakeSwapTree(scratch.file("refused"), clean));
    swapper.real = Platform;
    Platform.files.openFile = SwapAroundOpenForWriting;
    Platform.files.findFirst = ReadFirst;
    Platform.files.findNext = ReadNext;
    Platform.files.findClose = ReadClose;
    ScanSelectedFolder(scratch.file("refused\\tree").c_str());
    PlatformRestore();
    EXPECT_EQ((std::vector<Row>{{swapper.worm, testsupport::InfectedStatus()}, {swapper.worm, StatusUnableToClean}}),
              shownRows);
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(swapper.worm));
    EXPECT_EQ(std::vector<std::string>{"worm.exe"}, Names(swapper.sub));
    EXPECT_EQ(clean, testsupport::ReadBytes(swapper.victim));
}
#endif

#ifndef _WIN32
TEST_F(Walk, SwappedFolderOrFileNeverLeadsAChangeOutsideTheDetectedFile)
{
    int n = 0;
    for (bool given : {false, true}) {   // walked in its folder, or named on its own
        SCOPED_TRACE(given ? "file named" : "folder walked");
        const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
        for (const SwapCase &k : SwapCases) {
            SCOPED_TRACE(std::string(k.moment) + (k.folder ? " folder" : " file"));
            const std::string top = scratch.file("swap" + std::to_string(n++));
            ASSERT_TRUE(MakeSwapTree(top, clean));
            struct stat detected;
            ASSERT_EQ(0, stat(swapper.worm.c_str(), &detected));

            ArmSwapper(k);
            FileHandle hold = k.held ? swapper.real.files.openFile(swapper.worm.c_str(), 0) : InvalidFileHandle;
            shownRows.clear();
            const char *const paths[] = {swapper.worm.c_str()};
            ScanContinue.store(1);
            if (given)
                ScanGivenPaths(paths, 1);
            else
                ScanSelectedFolder((top + "/tree").c_str());
            if (hold != InvalidFileHandle)
                swapper.real.files.closeFile(hold);
            PlatformRestore();

            EXPECT_EQ(1, swapper.swaps);
            EXPECT_EQ(clean, testsupport::ReadBytes(swapper.victim));
            struct stat st;
            ASSERT_EQ(0, lstat(swapper.victim.c_str(), &st));
            EXPECT_EQ(0444u, st.st_mode & 07777);
            const ino_t victim = st.st_ino;
            if (k.folder)
                EXPECT_TRUE(lstat(swapper.sub.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link stays";
            else
                EXPECT_TRUE(lstat(swapper.worm.c_str(), &st) == 0 && st.st_ino == victim) << "the link stays";
            ASSERT_FALSE(shownRows.empty());
            EXPECT_EQ((Row{swapper.worm, k.lastRow}), shownRows.back());
            std::map<ino_t, std::string> files;
            bool copyLeft = false;
            Inventory(top, files, copyLeft);
            EXPECT_EQ(std::string(k.lastRow) == "deleted", files.count(detected.st_ino) == 0)
                << "a \"deleted\" row is true of the detected file";
            EXPECT_FALSE(copyLeft);
        }
    }
}
#endif

#ifndef _WIN32
// The folder swap for real: a second process waits on inotify for the scan to open the infected
// file for reading and swaps its folder for a link at once, with no slowing down of the scan
// (the swap lands while the file is being detected, or soon after). Rounds go on until the
// racer has swapped before the deletion several times; whoever wins a round, nothing outside
// changes and the rows are true.
namespace {

bool folderWasLinkAtDelete;
int NoteThenDelete(const char *path)
{
    struct stat st;
    folderWasLinkAtDelete = lstat(swapper.sub.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    return swapper.real.files.deleteFile(path);
}

// The racer: swaps `sub` for a link to `outside` once worm.exe in it has been opened, in one
// exchange of two names prepared beforehand.
[[noreturn]] void Race(int ready, const std::string &sub, const std::string &outside)
{
    const std::string link = sub + ".link";
    if (symlink(outside.c_str(), link.c_str()) != 0)
        _exit(2);
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);   // polled: no wake-up to wait for
    if (watch < 0 || inotify_add_watch(watch, sub.c_str(), IN_OPEN) < 0)
        _exit(2);
    if (write(ready, "r", 1) != 1)
        _exit(2);
    alignas(inotify_event) char events[4096];
    for (;;) {
        ssize_t got = read(watch, events, sizeof events);
        if (got < 0 && errno == EAGAIN)
            continue;
        if (got <= 0)
            _exit(2);
        for (char *at = events; at < events + got; at += sizeof(inotify_event) + ((inotify_event *)at)->len) {
            const inotify_event *event = (const inotify_event *)at;
            if (event->len && std::strcmp(event->name, "worm.exe") == 0)
                _exit(renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, sub.c_str(), RENAME_EXCHANGE));
        }
    }
}

}  // namespace

TEST_F(Walk, RacingProcessSwappingTheFolderChangesNothingOutside)
{
    const std::vector<uint8_t> clean = samples::MakeSample(samples::CleanPe);
    int rounds = 0, wins = 0;
    for (; rounds < 200 && wins < 5; rounds++) {
        const std::string top = scratch.file("race" + std::to_string(rounds));
        swapper.sub = top + "/tree/sub";
        swapper.worm = swapper.sub + "/worm.exe";
        swapper.outside = top + "/outside";
        ASSERT_TRUE(testsupport::MakeDir(swapper.sub) && testsupport::MakeDir(swapper.outside));
        WriteSample(swapper.worm, samples::InfectedEntry1);
        ASSERT_TRUE(testsupport::WriteBytes(swapper.outside + "/worm.exe", clean));
        ASSERT_EQ(0, chmod((swapper.outside + "/worm.exe").c_str(), 0444));

        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        pid_t racer = fork();
        ASSERT_GE(racer, 0);
        if (racer == 0)
            Race(ready[1], swapper.sub, swapper.outside);
        char byte;
        ASSERT_EQ(1, read(ready[0], &byte, 1));
        close(ready[0]);
        close(ready[1]);

        PlatformRestore();
        swapper.real = Platform;
        Platform.files.deleteFile = NoteThenDelete;
        shownRows.clear();
        ScanSelectedFolder((top + "/tree").c_str());
        PlatformRestore();
        int status = 0;
        for (int waited = 0; waitpid(racer, &status, WNOHANG) == 0; waited++) {
            if (waited == 500)
                kill(racer, SIGKILL);   // ours: it never saw the close
            usleep(10000);
        }
        wins += folderWasLinkAtDelete;

        EXPECT_EQ(clean, testsupport::ReadBytes(swapper.outside + "/worm.exe")) << rounds;
        struct stat st;
        ASSERT_EQ(0, lstat((swapper.outside + "/worm.exe").c_str(), &st));
        EXPECT_EQ(0444u, st.st_mode & 07777);
        EXPECT_EQ((std::vector<Row>{{swapper.worm, "infected: Win32.Worm.Tamsel.A"}, {swapper.worm, "deleted"}}),
                  shownRows);
        std::map<ino_t, std::string> files;
        bool copyLeft = false;
        Inventory(top, files, copyLeft);
        EXPECT_EQ(1u, files.size()) << "only the clean file outside is left";
    }
    std::printf("racer swapped before the deletion in %d of %d rounds\n", wins, rounds);
    EXPECT_GT(wins, 0) << "the race was never run: the test proved nothing";
}
#endif

#ifndef _WIN32
// Read-ahead changes when the disk is asked, never what the scan finds or does. The same tree is
// scanned with read-ahead and without, at the same path; while it is scanned a file is held for
// reading (the locked worm, which ends in a copy), another for writing (it cannot be opened),
// and as the first infected file of a folder is reported, entries listed after it are removed,
// replaced, or rewritten in place (truncated and written, or written over and cut, the inode
// the same), clean to infected and infected to clean: files that read-ahead has already opened
// and read by then. A scan that took such a file, or its bytes, as they were fetched would judge
// what is gone. A folder that read-ahead has listed ahead of the walk (and whose first files it
// has fetched) gets a file added, one removed and one renamed at the same moment: a walk that
// took that listing as read would miss the new file and stumble over the two old names. Rows,
// report, counters and every file left must be the same both ways.
namespace {

struct AheadChange {
    std::string trigger;                                 // the row's file that sets it off
    std::vector<std::string> removed;
    std::vector<std::string> removedUnlisted;            // in a folder not yet walked
    std::vector<std::pair<std::string, std::string>> renamed;   // from, to
    std::vector<std::pair<std::string, samples::SampleId>> added;
    uint32_t listedBefore, listedAtChange;               // folders listed ahead
    bool waitForAhead;                                   // read-ahead lists folders ahead
    std::vector<std::pair<std::string, samples::SampleId>> replaced;
    std::vector<std::pair<std::string, samples::SampleId>> truncated, overwritten;
    bool done;
};
AheadChange change;

void RowThenChange(const ResultRow *row)
{
    KeepRow(row);
    if (change.done || change.trigger != row->file)
        return;
    change.done = true;
    // Read-ahead lists the folders ahead on the kernel's workers: on a loaded machine they may
    // not have got there by this row. The change waits for them (a second at most), so that
    // what it proves does not hang on the machine's load.
    for (int i = 0; i < 100 && change.waitForAhead && PosixReadAheadAvailable() &&
                    PosixReadAheadListed() == change.listedBefore;
         i++)
        usleep(10000);
    change.listedAtChange = PosixReadAheadListed();
    for (const auto *list : {&change.removed, &change.removedUnlisted})
        for (const std::string &path : *list)
            unlink(path.c_str());
    for (const auto &[from, to] : change.renamed)
        if (rename(from.c_str(), to.c_str()) != 0)
            ADD_FAILURE() << "cannot rename " << from;
    for (const auto &[path, id] : change.added)
        if (!testsupport::WriteBytes(path, samples::MakeSample(id)))
            ADD_FAILURE() << "cannot add " << path;
    for (const auto &[path, id] : change.replaced) {   // a new file under the old name
        const std::string next = path + ".next";
        if (!testsupport::WriteBytes(next, samples::MakeSample(id)) || rename(next.c_str(), path.c_str()) != 0)
            ADD_FAILURE() << "cannot replace " << path;
    }
    for (bool truncate : {true, false}) {
        for (const auto &[path, id] : truncate ? change.truncated : change.overwritten) {
            const std::vector<uint8_t> bytes = samples::MakeSample(id);
            int fd = open(path.c_str(), O_WRONLY | (truncate ? O_TRUNC : 0));
            bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size() &&
                      ftruncate(fd, (off_t)bytes.size()) == 0;
            if (fd >= 0)
                close(fd);
            if (!ok)
                ADD_FAILURE() << "cannot rewrite " << path;
        }
    }
}
const DisplayOps changingDisplay = {RowThenChange, StoppingTarget, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// What every file below `top` holds, by path.
std::map<std::string, std::vector<uint8_t>> Contents(const std::string &top)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto &entry : fs::recursive_directory_iterator(top))
        if (entry.is_regular_file())
            files[entry.path().string()] = testsupport::ReadBytes(entry.path().string());
    return files;
}

// The entry names of `folder`, in the order the file system lists them.
std::vector<std::string> ListingOrder(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

bool IsInfectedSample(samples::SampleId id)
{
    return id <= samples::InfectedPe32Plus;
}

// Three folders of 48 programs each (one in three infected, the rest clean files of every
// kind), written in the same order every time; `kinds` receives what each file holds.
void MakeAheadTree(const std::string &top, std::map<std::string, samples::SampleId> &kinds)
{
    static const samples::SampleId clean[] = {samples::CleanPe, samples::CleanDll, samples::CleanDos,
                                              samples::CleanNe, samples::CleanLe, samples::CleanText,
                                              samples::NearEntry1SecondWrong, samples::CutPeWithEntry1Bytes};
    static const samples::SampleId infected[] = {samples::InfectedEntry1, samples::InfectedEntry2,
                                                 samples::InfectedDll, samples::InfectedPe32Plus};
    for (const char *folder : {"a", "a/b", "c"}) {
        ASSERT_TRUE(testsupport::MakeDir(top + "/" + folder));
        for (int i = 0; i < 48; i++) {
            const samples::SampleId id = i % 3 == 1 ? infected[i / 3 % 4] : clean[i % 8];
            const std::string path = top + "/" + folder + "/p" + std::to_string(i) + ".exe";
            WriteSample(path, id);
            kinds[path] = id;
        }
    }
}

struct AheadRun {
    std::vector<Row> rows;
    ScanCounterSet counters;
    std::map<std::string, std::vector<uint8_t>> files;
    uint32_t taken;
    uint32_t listedBeforeChange;   // folders listed ahead before the change was made
};

AheadRun ScanWithChanges(const std::string &top, int readAhead)
{
    std::map<std::string, samples::SampleId> kinds;
    testsupport::RemoveAll(top);
    MakeAheadTree(top, kinds);
    const std::string folder = top + "/a";
    change = AheadChange{};
    // A folder of "a" listed a few entries after its first infected file, which read-ahead lists
    // ahead of the walk (and brings its first files in) before that file's row: the change then
    // adds a file to it, removes one and renames one. Names are tried until the file system
    // lists one there; the others go again.
    auto infectedFile = [&](const std::string &path) {
        return kinds.count(path) && IsInfectedSample(kinds[path]);
    };
    auto firstInfected = [&](const std::vector<std::string> &names) {
        size_t i = 0;
        while (i < names.size() && !infectedFile(folder + "/" + names[i]))
            i++;
        return i;
    };
    std::string inner;
    for (int n = 0; n < 64 && inner.empty(); n++) {
        const std::string name = "e" + std::to_string(n);
        EXPECT_TRUE(testsupport::MakeDir(folder + "/" + name));
        const std::vector<std::string> names = ListingOrder(folder);
        const size_t at = std::find(names.begin(), names.end(), name) - names.begin();
        const size_t first = firstInfected(names);
        if (at > first && at <= first + 8)
            inner = folder + "/" + name;
        else
            rmdir((folder + "/" + name).c_str());
    }
    EXPECT_FALSE(inner.empty()) << "no folder name was listed after the first infected file";
    for (const char *name : {"w0.exe", "w1.exe"})
        WriteSample(inner + "/" + name, samples::InfectedEntry1);
    for (const char *name : {"k0.exe", "k1.exe", "k2.exe"})
        WriteSample(inner + "/" + name, samples::CleanPe);
    change.removedUnlisted.push_back(inner + "/w0.exe");
    change.renamed.push_back({inner + "/w1.exe", inner + "/w1-renamed.exe"});
    change.added.push_back({inner + "/new.exe", samples::InfectedEntry2});

    const std::vector<std::string> order = ListingOrder(folder);
    // The first infected file listed sets the change off; of the files listed after it, two
    // clean ones go, and one clean file and one infected file are each turned into the other
    // kind by a new file under the name, by truncating and writing, and by writing over.
    for (size_t i = 0; i < order.size() && change.trigger.empty(); i++) {
        if (!infectedFile(folder + "/" + order[i]))
            continue;
        change.trigger = folder + "/" + order[i];
        int cleanTurned = 0, infectedTurned = 0;
        auto turn = [&](const std::string &path, samples::SampleId id, int &turned) {
            auto &list = turned == 0 ? change.replaced : turned == 1 ? change.truncated : change.overwritten;
            if (turned++ < 3)
                list.push_back({path, id});
        };
        for (size_t k = i + 1; k < order.size() && k <= i + 16; k++) {
            const std::string path = folder + "/" + order[k];
            if (!kinds.count(path))
                continue;   // the folder inside
            if (infectedFile(path))
                turn(path, samples::CleanPe, infectedTurned);
            else if (change.removed.size() < 2)
                change.removed.push_back(path);
            else
                turn(path, samples::InfectedEntry2, cleanTurned);
        }
    }
    EXPECT_EQ(2u, change.removed.size());
    EXPECT_EQ(2u, change.replaced.size());
    EXPECT_EQ(2u, change.truncated.size());
    EXPECT_EQ(2u, change.overwritten.size());

    const std::string locked = top + "/c/p1.exe", busy = top + "/c/p0.exe";
    FileHandle reader = Platform.files.openFile(locked.c_str(), 0);
    FileHandle writer = Platform.files.openFile(busy.c_str(), 1);
    EXPECT_NE(InvalidFileHandle, reader);
    EXPECT_NE(InvalidFileHandle, writer);

    // The files were written just now: read-ahead would rest, finding them all in the cache.
    PosixSetReadAhead(readAhead);
    const uint32_t takenBefore = PosixReadAheadTaken();
    change.listedBefore = PosixReadAheadListed();
    change.waitForAhead = readAhead == ReadAheadAlways;
    Display = &changingDisplay;
    EXPECT_TRUE(CopyText(TargetPath, TargetPathSize, top.c_str()));
    ScanState = Scanning;
    ScanThreadProc(nullptr);
    TargetPath[0] = 0;
    Display = &stoppingDisplay;
    PosixSetReadAhead(ReadAheadOn);
    Platform.files.closeFile(reader);
    Platform.files.closeFile(writer);
    EXPECT_TRUE(change.done) << "the change was never made";
    return {shownRows, ScanCounters, Contents(top), PosixReadAheadTaken() - takenBefore,
            change.listedAtChange - change.listedBefore};
}

}  // namespace

TEST_F(Walk, ReadAheadChangesNothingTheScanFindsOrDoes)
{
    const std::string top = scratch.file("ahead");
    shownRows.clear();
    const AheadRun ahead = ScanWithChanges(top, ReadAheadAlways);
    shownRows.clear();
    const AheadRun queued = ScanWithChanges(top, ReadAheadQueued);   // as over a FUSE daemon
    shownRows.clear();
    const AheadRun serial = ScanWithChanges(top, ReadAheadOff);

    auto text = [](const std::vector<Row> &rows) {
        std::string all;
        for (const Row &row : rows)
            all += row.file + "\t" + row.status + "\n";
        return all;
    };
    for (const AheadRun *run : {&ahead, &queued}) {
        EXPECT_EQ(text(serial.rows), text(run->rows));
        EXPECT_EQ(0, std::memcmp(&serial.counters, &run->counters, sizeof run->counters));
        EXPECT_TRUE(serial.files == run->files) << "the files left differ";
    }
    EXPECT_EQ(0u, serial.taken);
    EXPECT_EQ(0u, serial.listedBeforeChange);
    EXPECT_EQ(0u, queued.listedBeforeChange) << "a folder was listed ahead for a daemon to answer";
    if (PosixReadAheadAvailable()) {
        for (const AheadRun *run : {&ahead, &queued})
            EXPECT_GT(run->taken, 100u) << "read-ahead was not used: the comparison proved nothing";
        EXPECT_GT(ahead.listedBeforeChange, 0u) << "no folder was listed ahead before the change";
    } else
        std::printf("no io_uring here: both scans read one file at a time\n");

    // The scenario itself, the same both ways: the removed files are gone, with no row (nothing
    // is left to scan, and nothing went unscanned), the file turned infected is deleted, the
    // one turned clean is left, the held worm ends in a copy.
    auto has = [&](const std::string &file, const std::string &status) {
        return std::count(serial.rows.begin(), serial.rows.end(), Row{file, status}) == 1;
    };
    for (const std::string &path : change.removed)
        EXPECT_EQ(0, std::count_if(serial.rows.begin(), serial.rows.end(),
                                   [&](const Row &row) { return row.file == path; })) << path;
    for (const auto *list : {&change.replaced, &change.truncated, &change.overwritten}) {
        for (const auto &[path, id] : *list) {
            EXPECT_EQ(IsInfectedSample(id), has(path, StatusDeleted)) << path;
            EXPECT_EQ(!IsInfectedSample(id), serial.files.count(path) == 1) << path;
        }
    }
    EXPECT_TRUE(has(top + "/c/p1.exe", StatusCopying));
    EXPECT_TRUE(has(top + "/c/p1.exe", StatusUnableToClean));
    EXPECT_TRUE(has(top + "/c/p0.exe", StatusUnableToOpen));
    // In the folder listed ahead: the file removed is not seen at all, the renamed one only
    // under its new name, the one added is found.
    for (const Row &row : serial.rows)
        for (const std::string &gone : {change.removedUnlisted[0], change.renamed[0].first})
            EXPECT_NE(gone, row.file);
    EXPECT_TRUE(has(change.renamed[0].second, StatusDeleted));
    EXPECT_TRUE(has(change.added[0].first, StatusDeleted));
    EXPECT_EQ(3 * 16 + 1 + 2, serial.counters.infected)
        << "every third file, the held copy, the renamed and the added file";
}
#endif

#ifndef _WIN32
// ---- read-ahead under a limit of open files ---------------------------------------------------
//
// Read-ahead keeps the files it fetched open until the scan takes them; under a low limit of
// open files (RLIMIT_NOFILE) those descriptors must never be the ones the walk or the workflow
// then lacks. Each scan runs in a child whose limit is the descriptors it has open plus a few;
// read-ahead holds files for real: fetching even what the cache holds (ReadAheadAlways), or as
// built, over files whose pages were evicted from the cache first.
namespace {

enum AheadCase { Serial, AheadCold, AheadAlways };
const char *const aheadCaseNames[] = {"without read-ahead", "read-ahead, files evicted from the cache",
                                      "read-ahead fetching everything"};

int OpenDescriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;   // the listing's own
}

// Drops the pages of every file below `top` from the cache (written back first: dirty pages
// stay), so that read-ahead, as built, finds them missing and fetches ahead.
void Evict(const std::string &top)
{
    sync();
    for (const auto &entry : std::filesystem::recursive_directory_iterator(top)) {
        if (!entry.is_regular_file())
            continue;
        int fd = open(entry.path().c_str(), O_RDONLY);
        if (fd >= 0) {
            posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
        }
    }
}

struct LimitedScan {
    int status;                       // 0: the child scanned and reported
    int folders, files, infected;
    uint32_t taken;                   // files the scan took as read-ahead fetched them
};

// Scans `top` (report only) in a child whose soft and hard limit of open files is what it has
// open plus `spare`.
LimitedScan ScanUnderLimit(const std::string &top, int spare, AheadCase mode)
{
    if (mode == AheadCold)
        Evict(top);
    LimitedScan scan = {-1, 0, 0, 0, 0};
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return scan;
    pid_t child = fork();
    if (child == 0) {
        const rlim_t most = (rlim_t)(OpenDescriptors() + spare);
        const struct rlimit limit = {most, most};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(3);
        PosixSetReadAhead(mode == Serial ? ReadAheadOff : mode == AheadCold ? ReadAheadOn : ReadAheadAlways);
        ReportOnly = 1;
        const uint32_t taken = PosixReadAheadTaken();
        ScanSelectedFolder(top.c_str());
        const LimitedScan done = {0, ScanCounters.folders, ScanCounters.files, ScanCounters.infected,
                                  PosixReadAheadTaken() - taken};
        _exit(write(pipeFds[1], &done, sizeof done) == (ssize_t)sizeof done ? 0 : 4);
    }
    close(pipeFds[1]);
    if (child > 0 && read(pipeFds[0], &scan, sizeof scan) != (ssize_t)sizeof scan)
        scan.status = -1;
    close(pipeFds[0]);
    int status = 0;
    if (child > 0 && (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status)))
        scan.status = status ? status : -1;
    return scan;
}

}  // namespace

// A flat folder of 300 infected files under limits from a few descriptors beside those open to
// plenty: every file is found whatever read-ahead does, and where the limit leaves room,
// read-ahead still works.
TEST_F(Walk, ReadAheadUnderALowDescriptorLimitCostsNoFile)
{
    const std::string top = scratch.file("flat");
    ASSERT_TRUE(testsupport::MakeDir(top));
    for (int i = 0; i < 300; i++)
        WriteSample(top + "/w" + std::to_string(i) + ".bin", samples::InfectedEntry1);
    for (AheadCase mode : {Serial, AheadCold, AheadAlways}) {
        for (int spare : {3, 6, 10, 16, 24, 96}) {
            SCOPED_TRACE(std::string(aheadCaseNames[mode]) + ", " + std::to_string(spare) + " descriptors to spare");
            const LimitedScan scan = ScanUnderLimit(top, spare, mode);
            ASSERT_EQ(0, scan.status);
            EXPECT_EQ(1, scan.folders);
            EXPECT_EQ(300, scan.files);
            EXPECT_EQ(300, scan.infected);
            if (mode == AheadAlways && spare == 96 && PosixReadAheadAvailable()) {
                EXPECT_GT(scan.taken, 200u) << "read-ahead was not used where the limit leaves room";
            }
        }
    }
}

// A tree deeper than the descriptors the process may hold beside one per level and a few: the
// walk keeps one per level, and read-ahead, which keeps an outer folder's files while the walk
// is below, takes none that the levels below need, so every infected file of the last levels is
// reached, the one at the bottom too. Every level holds more clean files than read-ahead
// fetches at once, listed before and after the folder inside.
TEST_F(Walk, DeepTreeUnderADescriptorLimitIsWalkedToTheBottom)
{
    const int depth = 60, clean = 40, infectedLevels = 10, perLevel = 4;
    const std::string top = scratch.file("deep");
    std::vector<std::string> levels{top};
    for (int level = 1; level <= depth; level++)
        levels.push_back(levels.back() + "/d");
    for (const std::string &folder : levels)   // each folder made before the files beside it
        ASSERT_TRUE(testsupport::MakeDir(folder));
    for (size_t level = 0; level < levels.size(); level++) {
        for (int i = 0; i < clean; i++)
            WriteSample(levels[level] + "/c" + std::to_string(level * clean + i) + ".exe", samples::CleanPe);
        if (level + infectedLevels >= levels.size())
            for (int i = 0; i < perLevel; i++)
                WriteSample(levels[level] + "/w" + std::to_string(i) + ".bin", samples::InfectedEntry2);
    }
    WriteSample(levels.back() + "/worm.exe", samples::InfectedEntry1);
    for (AheadCase mode : {Serial, AheadCold, AheadAlways}) {
        for (int spare : {8, 12, 24}) {
            SCOPED_TRACE(std::string(aheadCaseNames[mode]) + ", " + std::to_string(spare) +
                         " descriptors to spare beside one per level");
            const LimitedScan scan = ScanUnderLimit(top, depth + 1 + spare, mode);
            ASSERT_EQ(0, scan.status);
            EXPECT_EQ(depth + 1, scan.folders);
            EXPECT_EQ(clean * (depth + 1) + infectedLevels * perLevel + 1, scan.files);
            EXPECT_EQ(infectedLevels * perLevel + 1, scan.infected);
        }
    }
}

// A folder that cannot be listed for want of descriptors is named with that cause, as a file
// that cannot be opened for it is: the folder given, when no descriptor is free, and the folder
// inside it, when only the one for its listing is.
static std::vector<std::pair<std::string, int32_t>> passedOver;
static void KeepPassedOver(const char *path, int32_t reason) { passedOver.push_back({path, reason}); }

TEST_F(Walk, FolderThatCannotBeListedForWantOfDescriptorsSaysSo)
{
    const std::string top = scratch.file("few");
    ASSERT_TRUE(testsupport::MakeDir(top + "/sub"));
    WriteSample(top + "/sub/b.exe", samples::CleanPe);
    static const DisplayOps naming = {KeepRow, StoppingTarget, nullptr, nullptr, nullptr, nullptr, nullptr, KeepPassedOver, nullptr};
    Display = &naming;
    const struct {
        int free;   // descriptors the walk may open
        std::vector<std::pair<std::string, int32_t>> named;
    } cases[] = {
        {0, {{top + "/", PassedNoDescriptors}}},
        {1, {{top + "/sub/", PassedNoDescriptors}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.free) + " descriptors free");
        passedOver.clear();
        const int lowest = dup(2);   // the lowest number free: the next open takes it
        ASSERT_GE(lowest, 0);
        close(lowest);
        struct rlimit before, limit;
        ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
        limit = before;
        limit.rlim_cur = (rlim_t)(lowest + c.free);
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
        ScanSelectedFolder(top.c_str());
        setrlimit(RLIMIT_NOFILE, &before);
        EXPECT_EQ(c.named, passedOver);
    }
    Display = &stoppingDisplay;
}

// The memory a walk holds goes with the listings open, one per level: down the deepest tree a
// path can name (2,000 levels of one-letter folders, each with a program), it must stay a few
// bytes per level, as it is for a million files side by side. The heap in use is looked at
// (what the allocator counts, which the sanitizers' allocator replaces), not pages resident,
// which a heap already grown by other tests hides.
static size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#else
    return 0;
#endif
}

static size_t heapAtStart, heapPeak;
static void SampleHeap(const char *)
{
    heapPeak = std::max(heapPeak, HeapInUse());
}

TEST_F(Walk, DeepTreeHoldsNoListingBufferPerLevel)
{
    if (!HeapInUse())
        GTEST_SKIP() << "the heap in use cannot be counted here";
    const std::string top = scratch.file("deep");
    // As deep as the path allows, a few levels short of it; and one descriptor per level.
    const int depth = std::min<int>(1600, (PlatformMaxPath - 32 - (int)top.size()) / 2);
    ASSERT_GE(depth, 1000) << "the scratch folder's path is too long for a deep tree";
    struct rlimit before;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
    const rlim_t wanted = (rlim_t)depth + 512;
    if (before.rlim_max != RLIM_INFINITY && before.rlim_max < wanted)
        GTEST_SKIP() << "the limit of open files is below the tree's depth";
    struct rlimit raised = before;
    raised.rlim_cur = std::max(before.rlim_cur, wanted);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &raised));

    std::vector<std::string> levels{top};
    for (int level = 1; level <= depth; level++)
        levels.push_back(levels.back() + "/a");
    bool made = true;
    for (size_t i = 0; made && i < levels.size(); i++) {
        made = testsupport::MakeDir(levels[i]) &&
               testsupport::WriteBytes(levels[i] + "/c.exe", samples::MakeSample(samples::CleanPe));
    }
    if (made) {
        static const DisplayOps sampling = {KeepRow, SampleHeap, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        Display = &sampling;
        const int reportOnly = ReportOnly;
        ReportOnly = 1;
        heapAtStart = heapPeak = HeapInUse();
        ScanSelectedFolder(top.c_str());
        ReportOnly = reportOnly;
        Display = &stoppingDisplay;
    }
    // Taken down here: a removal that opens every level at once might not have the descriptors.
    for (size_t i = levels.size(); i-- > 0;) {
        unlink((levels[i] + "/c.exe").c_str());
        rmdir(levels[i].c_str());
    }
    setrlimit(RLIMIT_NOFILE, &before);
    ASSERT_TRUE(made) << "the tree could not be made";
    EXPECT_EQ(depth + 1, ScanCounters.folders);
    EXPECT_EQ(depth + 1, ScanCounters.files);
    EXPECT_TRUE(shownRows.empty());
    // Read-ahead's slots (AheadSlots of AheadBytes at most) and a few hundred bytes a level
    // fit; a buffer of a listing's 32 KiB kept at each level (50 MiB) does not.
    const size_t grown = heapPeak - heapAtStart;
    std::printf("heap grown by %zu KiB down %d levels\n", grown / 1024, depth);
    EXPECT_LT(grown, (size_t)6 << 20) << "the walk holds " << grown / depth << " bytes a level";
}

// The warmer goes no deeper than a few levels: while the walk is far down one folder, it is
// already in the next folders beside it, holding a folder per level and the files longer than
// what it had read at first, whose headers it has yet to look at. Going further down, the walk
// needs those descriptors: every file of every level is still reached.
TEST_F(Walk, WarmerGivesItsDescriptorsBackToADeepWalk)
{
    if (!PosixReadAheadAvailable())
        GTEST_SKIP() << "no io_uring here";
    const int depth = 60, beside = 16, perFolder = 60;
    const std::string top = scratch.file("deep-warmed");
    ASSERT_TRUE(testsupport::MakeDir(top));
    const std::vector<uint8_t> longer(20 * 1024, 'x');
    for (int i = 0; i < beside; i++) {
        const std::string folder = top + "/s" + std::to_string(i);
        ASSERT_TRUE(testsupport::MakeDir(folder));
        for (int k = 0; k < perFolder; k++)
            ASSERT_TRUE(testsupport::WriteBytes(folder + "/l" + std::to_string(k) + ".dat", longer));
    }
    // The deep folder is named so that the walk comes to it before at least six folders beside
    // it: more entries than the warmer may be ahead, so that it is still among them.
    std::string deep;
    for (int n = 0; deep.empty() && n < 100; n++) {
        const std::string name = "deep" + std::to_string(n);
        ASSERT_TRUE(testsupport::MakeDir(top + "/" + name));
        DIR *dir = opendir(top.c_str());
        ASSERT_NE(nullptr, dir);
        bool seen = false;
        int after = 0;
        while (dirent *entry = readdir(dir)) {
            seen = seen || name == entry->d_name;
            after += seen && entry->d_name[0] == 's';
        }
        closedir(dir);
        if (after >= 6)
            deep = name;
        else
            ASSERT_EQ(0, rmdir((top + "/" + name).c_str()));
    }
    ASSERT_FALSE(deep.empty());
    std::string folder = top + "/" + deep;
    for (int level = 1; level <= depth; level++) {
        folder += "/d";
        ASSERT_TRUE(testsupport::MakeDir(folder));
        WriteSample(folder + "/c.exe", samples::CleanPe);
    }
    const LimitedScan scan = ScanUnderLimit(top, depth + 1 + 24, AheadAlways);
    ASSERT_EQ(0, scan.status);
    EXPECT_EQ(1 + beside + 1 + depth, scan.folders);
    EXPECT_EQ(beside * perFolder + depth, scan.files);
}

// Folders among a folder's files: what read-ahead fetched of the folder before the walk went
// down into one is still there when the walk comes back, and every file is taken as fetched.
TEST_F(Walk, FilesFetchedAheadOutlastADescent)
{
    if (!PosixReadAheadAvailable())
        GTEST_SKIP() << "no io_uring here";
    const std::string top = scratch.file("descents");
    ASSERT_TRUE(testsupport::MakeDir(top));
    int files = 0;
    for (int i = 0; i < 30; i++, files++) {
        WriteSample(top + "/f" + std::to_string(i) + ".exe", samples::CleanPe);
        if (i % 10 != 4)
            continue;
        const std::string inner = top + "/d" + std::to_string(i);
        ASSERT_TRUE(testsupport::MakeDir(inner));
        for (int k = 0; k < 3; k++, files++)
            WriteSample(inner + "/g" + std::to_string(k) + ".exe", samples::CleanPe);
    }
    const LimitedScan scan = ScanUnderLimit(top, 256, AheadAlways);
    ASSERT_EQ(0, scan.status);
    EXPECT_EQ(files, scan.files);
    EXPECT_EQ((uint32_t)files, scan.taken) << "files fetched before a descent were given back";
}

// The thread that walks ahead and has the kernel read files (read-ahead that never rests starts
// it at once) stays inside the tree: links to a folder beside it and to a file there lead it
// nowhere, and nothing over there is opened. It is gone with the scan, stopped while it is still
// at work (asleep, ahead of the walk, in a tree longer than its lead): no thread and no
// descriptor is left.
static uint32_t listedAtStart;
static void StopOnceWarmerIsAhead(const char *text)
{
    shownTargets.push_back(text);
    if (shownTargets.size() != 4)   // the walk is in its third folder
        return;
    for (int i = 0; i < 500 && PosixReadAheadListed() - listedAtStart < 5; i++)
        usleep(10000);
    StopScan();
}

TEST_F(Walk, WarmerStaysInTheTreeAndIsGoneWithTheScan)
{
    if (!PosixReadAheadAvailable())
        GTEST_SKIP() << "no io_uring here";
    const std::string top = scratch.file("warmed"), beside = scratch.file("beside");
    ASSERT_TRUE(testsupport::MakeDir(top));
    ASSERT_TRUE(testsupport::MakeDir(beside));
    for (int i = 0; i < 40; i++)
        WriteSample(beside + "/b" + std::to_string(i) + ".exe", samples::CleanPe);
    for (int folder = 0; folder < 12; folder++) {
        const std::string inner = top + "/d" + std::to_string(folder);
        ASSERT_TRUE(testsupport::MakeDir(inner));
        for (int i = 0; i < 60; i++)
            WriteSample(inner + "/f" + std::to_string(i) + ".exe", samples::CleanPe);
        ASSERT_EQ(0, symlink(beside.c_str(), (inner + "/to-beside").c_str()));
        ASSERT_EQ(0, symlink((beside + "/b0.exe").c_str(), (inner + "/b0.exe").c_str()));
    }
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, beside.c_str(), IN_OPEN), 0);
    auto threads = [] {   // the kernel's io_uring workers ("iou-...") may outlive a ring
        int count = 0;
        for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
            const std::vector<uint8_t> name = testsupport::ReadBytes(task.path().string() + "/comm");
            count += name.size() < 4 || std::memcmp(name.data(), "iou-", 4) != 0;
        }
        return count;
    };
    const int threadsBefore = threads(), descriptorsBefore = OpenDescriptors();
    listedAtStart = PosixReadAheadListed();

    static const DisplayOps stopping = {KeepRow, StopOnceWarmerIsAhead, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr};
    Display = &stopping;
    PosixSetReadAhead(ReadAheadAlways);
    ScanSelectedFolder(top.c_str());
    PosixSetReadAhead(ReadAheadOn);

    alignas(inotify_event) char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "a file beside the tree was opened";
    EXPECT_GE(PosixReadAheadListed() - listedAtStart, 5u) << "the warmer never got ahead: the test proved nothing";
    EXPECT_LE(ScanCounters.files, 3 * 60);
    EXPECT_EQ(threadsBefore, threads());
    EXPECT_EQ(descriptorsBefore, OpenDescriptors());
    close(watch);
}
#endif

#ifndef _WIN32
// A tree the cache holds gains nothing from read-ahead, and the scan of it never has the
// kernel's io_uring workers started: with a second task in the process, every call that names
// a descriptor takes and drops a reference to it, a few per cent of a warm scan. Neither the
// folders listed first (whose inodes only a worker fetches) nor programs whose first section
// lies past the bytes read ahead (a request of its own, answered from the cache too, also for
// the file fetched and taken at once as read-ahead wakes after its rest) may start one. The
// tree is longer than that rest, with folders among the files everywhere. Scanned in a
// child, a task of its own that has never had a ring.
static PlatformOps workerless;
static int workersSeen, opensSeen;
// The kernel's io_uring workers of this process now.
static int WorkersNow(void)
{
    int workers = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::vector<uint8_t> name = testsupport::ReadBytes(task.path().string() + "/comm");
        workers += name.size() >= 8 && std::memcmp(name.data(), "iou-wrk-", 8) == 0;
    }
    return workers;
}

static FileHandle OpenCountingWorkers(const char *path, int write)
{
    // Looked at every 16 files: a worker, once started, idles for seconds before it ends.
    if (opensSeen++ % 16 == 0)
        workersSeen += WorkersNow();
    return workerless.files.openFile(path, write);
}

TEST_F(Walk, TreeTheCacheHoldsIsScannedWithoutTheKernelsWorkers)
{
    if (!PosixReadAheadAvailable())
        GTEST_SKIP() << "no io_uring here";
    const std::string top = scratch.file("cached");
    samples::PeShape shape;    // 7 KiB, its one section in the last 512 bytes
    shape.firstRawData = 0x1A00;
    shape.sectionRawSize = 0x200;
    const std::vector<uint8_t> program = samples::BuildPe(shape);
    int files = 0;
    for (int folder = 0; folder < 10; folder++) {
        const std::string inner = top + "/d" + std::to_string(folder);
        for (int sub = 0; sub < 60; sub++)
            ASSERT_TRUE(testsupport::MakeDir(inner + "/s" + std::to_string(sub)));
        for (int i = 0; i < 440; i++, files++)
            ASSERT_TRUE(testsupport::WriteBytes(inner + "/f" + std::to_string(i) + ".exe", program));
    }
    int result[2] = {-1, -1}, pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PosixSetReadAhead(ReadAheadOn);
        ReportOnly = 1;
        workerless = Platform;
        Platform.files.openFile = OpenCountingWorkers;
        // A test beside this one that writes a large tree may push this one out of the cache
        // meanwhile, and a cold tree rightly has workers started: it is read again and scanned
        // a second time before that counts.
        for (int attempt = 0; attempt < 2 && (attempt == 0 || workersSeen); attempt++) {
            // The first attempt's workers idle on for seconds before they end: not counted.
            for (int wait = 0; attempt > 0 && wait < 300 && WorkersNow() > 0; wait++)
                usleep(50000);
            for (const auto &entry : std::filesystem::recursive_directory_iterator(top))
                if (entry.is_regular_file()) testsupport::ReadBytes(entry.path().string());
            workersSeen = 0;
            opensSeen = 0;
            ScanSelectedFolder(top.c_str());
        }
        const int done[2] = {workersSeen, ScanCounters.files};
        _exit(write(pipeFds[1], done, sizeof done) == (ssize_t)sizeof done ? 0 : 4);
    }
    close(pipeFds[1]);
    EXPECT_EQ((ssize_t)sizeof result, read(pipeFds[0], result, sizeof result));
    close(pipeFds[0]);
    int status = -1;
    EXPECT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_EQ(files, result[1]);
    EXPECT_EQ(0, result[0]) << "the kernel's workers were started for a tree in the cache";
}
#endif

#ifndef _WIN32
// An infected file in the tree with a second name outside it (a hard link: one file, one mode):
// resetting its read-only bit or opening it for writing would change the file under the outside
// name too. Its mode and bytes stay as they are outside, read-only or not; the name in the tree
// goes, by way of a copy, and its last row says so.
TEST_F(Walk, HardLinkedFileIsNeverChangedUnderItsNameOutside)
{
    const std::vector<uint8_t> infected = samples::MakeSample(samples::InfectedEntry1);
    for (mode_t mode : {0444, 0644}) {
        SCOPED_TRACE(mode);
        const std::string top = scratch.file("linked" + std::to_string(mode));
        const std::string worm = top + "/tree/worm.exe", outside = top + "/outside.exe";
        ASSERT_TRUE(testsupport::MakeDir(top + "/tree"));
        ASSERT_TRUE(testsupport::WriteBytes(outside, infected));
        ASSERT_EQ(0, chmod(outside.c_str(), mode));
        ASSERT_EQ(0, link(outside.c_str(), worm.c_str()));
        shownRows.clear();
        ScanSelectedFolder((top + "/tree").c_str());

        struct stat st;
        ASSERT_EQ(0, lstat(outside.c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_EQ(1u, st.st_nlink);
        EXPECT_EQ(infected, testsupport::ReadBytes(outside));
        EXPECT_FALSE(testsupport::Exists(worm));
        ASSERT_FALSE(shownRows.empty());
        // Only this name is gone: the file lives on outside, and the row says so.
        EXPECT_EQ((Row{worm, StatusOtherNamesRemain}), shownRows.back());
        EXPECT_FALSE(testsupport::Exists(worm + ".qx-000"));
    }
}
#endif

// Each file is scanned once, however the paths given overlap: a folder given twice, a folder
// and a folder inside it (in either order), a file inside a folder given, a file given twice.
// Two infected files and two clean ones: every scan counts each once and deletes each once.
TEST_F(Walk, OverlappingPathsScanEachFileOnce)
{
    const std::string x = scratch.file("x"), y = x + Sep + "y";
    const std::string inner = y + Sep + "w1.exe", outer = x + Sep + "w2.exe";
    const std::vector<std::vector<std::string>> cases = {
        {x, y, x}, {y, x}, {inner, x}, {x, inner, x + Sep + "." + Sep + "y"}, {inner, inner, outer},
    };
    for (const std::vector<std::string> &given : cases) {
        std::string trace;
        for (const std::string &path : given)
            trace += path + " ";
        SCOPED_TRACE(trace);
        testsupport::RemoveAll(x);
        ASSERT_TRUE(testsupport::MakeDir(y));
        WriteSample(inner, samples::InfectedEntry1);
        WriteSample(outer, samples::InfectedEntry2);
        WriteSample(y + Sep + "c1.exe", samples::CleanPe);
        WriteSample(x + Sep + "c2.exe", samples::CleanPe);
        std::vector<const char *> paths;
        for (const std::string &path : given)
            paths.push_back(path.c_str());
        const bool whole = given.size() != 3 || given[2] != outer;
        shownRows.clear();
        ScanContinue.store(1);
        ScanGivenPaths(paths.data(), (int)paths.size());
        EXPECT_EQ(whole ? 4 : 2, ScanCounters.files);
        EXPECT_EQ(2, ScanCounters.infected);
        EXPECT_EQ(2, ScanCounters.deleted);
        EXPECT_EQ(4u, shownRows.size());
    }
}

#ifndef _WIN32
// The same on real folders, by the file system's own listings: the first folder given holds
// one entry of each kind (or none, and ends on ".."), the second a worm and a folder. Whatever
// the first listing ended on, the second folder is walked whole and its worm deleted, in either
// order; under the sanitizers a look through the first, closed, listing is an error itself.
TEST_F(Walk, EntryInHandNeverOutlivesItsListingOnRealFolders)
{
    for (int last = LastFile; last <= LastDots; last++) {
        for (bool aFirst : {true, false}) {
            SCOPED_TRACE(std::string(lastEntryNames[last]) + (aFirst ? " last, first" : " last, second"));
            const std::string top = scratch.file("hand" + std::to_string(last) + (aFirst ? "a" : "b"));
            const std::string a = top + "/dirA", b = top + "/dirBBBBBBBBBBBBBB";
            ASSERT_TRUE(testsupport::MakeDir(a) && testsupport::MakeDir(b + "/sub"));
            WriteSample(top + "/target.exe", samples::CleanPe);
            WriteSample(b + "/worm.exe", samples::InfectedEntry1);
            WriteSample(b + "/sub/clean.exe", samples::CleanPe);
            if (last == LastFile)
                WriteSample(a + "/only.exe", samples::CleanPe);
            const bool made = last == LastFolder       ? testsupport::MakeDir(a + "/only")
                              : last == LastLinkToFile ? symlink("../target.exe", (a + "/only.exe").c_str()) == 0
                              : last == LastLinkToFolder
                                  ? symlink("../dirBBBBBBBBBBBBBB", (a + "/only").c_str()) == 0
                                  : true;
            ASSERT_TRUE(made);
            const char *paths[] = {aFirst ? a.c_str() : b.c_str(), aFirst ? b.c_str() : a.c_str()};
            shownRows.clear();
            ScanContinue.store(1);
            ScanGivenPaths(paths, 2);
            EXPECT_EQ(InvalidFindHandle, InHand.listing);
            EXPECT_EQ(3 + (last == LastFolder), ScanCounters.folders);
            EXPECT_EQ(2 + (last == LastFile), ScanCounters.files);
            EXPECT_EQ(1, ScanCounters.infected);
            EXPECT_EQ(1, std::count(shownRows.begin(), shownRows.end(), Row{b + "/worm.exe", StatusDeleted}));
        }
    }
}
#endif

#ifndef _WIN32
// A folder bound inside itself leads back into the tree: it is, by device and inode, a folder
// the walk is already in, and is not entered (for real, where the system lets us mount).
TEST_F(Walk, FolderBoundInsideItselfIsNotEnteredAgain)
{
    const std::string top = scratch.file("bound"), loop = top + "/loop";
    ASSERT_TRUE(testsupport::MakeDir(loop));
    WriteSample(top + "/worm.exe", samples::InfectedEntry1);
    WriteSample(top + "/clean.exe", samples::CleanPe);
    if (mount(top.c_str(), loop.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mount here: " << std::strerror(errno);
    shownRows.clear();
    ScanSelectedFolder(top.c_str());
    const ScanCounterSet counters = ScanCounters;
    ASSERT_EQ(0, umount2(loop.c_str(), MNT_DETACH));
    EXPECT_EQ(1, counters.folders);
    EXPECT_EQ(2, counters.files);
    EXPECT_EQ(1, counters.infected);
    EXPECT_EQ((std::vector<Row>{{top + "/worm.exe", testsupport::InfectedStatus()}, {top + "/worm.exe", StatusDeleted}}),
              shownRows);
}
#endif
