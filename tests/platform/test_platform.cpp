// The platform table's real behaviour, the promises that the engine, the walk, the workflow and
// the Run-key cleanup build on. The same cases run natively and under Wine; what only one
// system can do is marked as such.
#include "platform/platform.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "platform/platform_hooks.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <stdio.h>
#include <sys/resource.h>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using testsupport::Exists;
using testsupport::MakeDir;
using testsupport::ReadBytes;
using testsupport::ScratchDir;
using testsupport::WriteBytes;
using testsupport::WriteText;

namespace {

std::vector<uint8_t> Counting(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) bytes[i] = (uint8_t)(i * 7 + 3);
    return bytes;
}

// Opens with the table's openFile and closes on scope exit.
struct Open {
    FileHandle h;
    Open(const std::string &path, int write) : h(Platform.files.openFile(path.c_str(), write)) {}
    ~Open()
    {
        if (ok()) Platform.files.closeFile(h);
    }
    bool ok() const { return h != InvalidFileHandle; }
};

// The byte at the current position, or -1 when nothing can be read there.
int NextByte(FileHandle file)
{
    uint8_t byte;
    return Platform.files.readFile(file, &byte, 1) == 1 ? byte : -1;
}

struct Listing {
    bool opened = false;
    std::vector<FindRecord> entries;
    const FindRecord *find(const std::string &name) const
    {
        for (const auto &e : entries)
            if (name == e.name) return &e;
        return nullptr;
    }
    size_t count(const std::string &name) const
    {
        size_t n = 0;
        for (const auto &e : entries) n += name == e.name;
        return n;
    }
};

Listing List(const std::string &folder)
{
    Listing listing;
    std::string pattern = testsupport::Join(folder, "*.*");
    FindRecord record;
    FindHandle find = Platform.files.findFirst(pattern.c_str(), &record);
    if (find == InvalidFindHandle) return listing;
    listing.opened = true;
    do listing.entries.push_back(record);
    while (Platform.files.findNext(find, &record));
    EXPECT_NE(0, Platform.files.findClose(find));
    return listing;
}

// Wine running as root lets the Unix permission bits decide, and root passes them.
bool RunsUnderWineAsRoot()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return false;
    // Only root may read the shadow password file, seen through Wine's view of the Unix root.
    HANDLE shadow = CreateFileA("\\\\?\\unix\\etc\\shadow", GENERIC_READ, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (shadow == INVALID_HANDLE_VALUE) return false;
    CloseHandle(shadow);
    return true;
#else
    return false;
#endif
}

}  // namespace

// ---- opening ----------------------------------------------------------------------------

// Real version words of both families and the edges: bit 31 alone decides.
TEST(Family, Bit31OfTheVersionWordAloneDecides)
{
    const struct {
        uint32_t word;
        int is9x;
    } cases[] = {
        {0xC0000A04u, 1},  // Windows 98 SE: 4.10, build bits with bit 31
        {0xC0005A04u, 1},  // Windows Me
        {0x80000000u, 1},
        {0xFFFFFFFFu, 1},
        {0x05650004u, 0},  // NT 4.0 build 1381
        {0x0A280105u, 0},  // Windows XP
        {0x7FFFFFFFu, 0},
        {0x00000000u, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.is9x, Is9xFamily(c.word)) << std::hex << c.word;
}

TEST(OpenFile, NeverCreatesAFile)
{
    ScratchDir dir;
    std::string path = dir.file("absent.exe");
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 0));
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 1));
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(InvalidFileAttributes, Platform.files.getFileAttributes(path.c_str()));
}

// Why an open or a read failed is recorded, so that a scan can say why a file went unscanned.
TEST(OpenFile, TheCauseOfAFailureIsRecorded)
{
    ScratchDir dir;
    const std::string path = dir.file("held.bin");
    ASSERT_TRUE(WriteBytes(path, Counting(64)));
    const std::string tooLong = dir.file(std::string(PlatformMaxPath, 'x'));
    Open writer(path, 1);   // held for writing: nobody else may open it (our share rule)
    ASSERT_TRUE(writer.ok());
    const struct {
        std::string path;
        int32_t failure;
    } cases[] = {{dir.file("absent.bin"), FailureGone}, {path, FailureInUse},
                 {tooLong, FailureTooLong}};
    for (const auto &c : cases) {
        InHand.failure = FailureNone;
        Open open(c.path, 0);
        EXPECT_FALSE(open.ok()) << c.path;
        EXPECT_EQ(c.failure, InHand.failure) << c.path.substr(0, 80);
    }
#ifndef _WIN32
    // Its first page is not mapped: the read fails with EIO.
    InHand.failure = FailureNone;
    Open memory("/proc/self/mem", 0);
    ASSERT_TRUE(memory.ok());
    uint8_t byte;
    EXPECT_EQ(0u, Platform.files.readFile(memory.h, &byte, 1));
    EXPECT_EQ(FailureIo, InHand.failure);
#endif
}

TEST(OpenFile, FolderIsRefused)
{
    ScratchDir dir;
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(dir.path().c_str(), 0));
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(dir.path().c_str(), 1));
}

TEST(OpenFile, WritingOpenReadsAndWritesTheSameFile)
{
    ScratchDir dir;
    std::string path = dir.file("a.bin");
    ASSERT_TRUE(WriteBytes(path, Counting(100)));
    {
        Open file(path, 1);
        ASSERT_TRUE(file.ok());
        uint8_t buffer[100];
        EXPECT_EQ(100u, Platform.files.readFile(file.h, buffer, 100));
        EXPECT_EQ(0, memcmp(buffer, Counting(100).data(), 100));
    }
    EXPECT_EQ(Counting(100), ReadBytes(path));
}

// Two readers get along: the detector may open a file that another reader holds.
TEST(ShareRule, ReadersShareAFile)
{
    ScratchDir dir;
    std::string path = dir.file("shared.exe");
    ASSERT_TRUE(WriteBytes(path, Counting(16)));
    Open first(path, 0);
    ASSERT_TRUE(first.ok());
    Open second(path, 0);
    ASSERT_TRUE(second.ok()) << "a second reading handle was refused";
    EXPECT_EQ(Counting(16)[0], NextByte(second.h));
    EXPECT_EQ(Counting(16)[0], NextByte(first.h));
}

// The locked-file road of the workflow: while a handle reads the file (share read only), it
// can be read and copied but neither opened for writing, deleted, renamed nor overwritten;
// whether it was opened by its path, or as the listed entry in hand, the way the scan opens
// every file (on POSIX without asking who the file is, until the rule needs to know).
TEST(ShareRule, FileHeldForReadingCannotBeWrittenDeletedOrMoved)
{
    for (int asEntry = 0; asEntry < 2; asEntry++) {
        SCOPED_TRACE(asEntry ? "held as the entry in hand" : "held by its path");
        ScratchDir dir;
        std::string path = dir.file("held.exe"), copy = dir.file("held.exe.qx-000");
        ASSERT_TRUE(WriteBytes(path, Counting(64)));
        FindHandle find = InvalidFindHandle;
        if (asEntry) {
#ifndef _WIN32
            PosixSetReadAhead(ReadAheadOff);   // the scan's own open, not read-ahead's
#endif
            FindRecord record;
            find = Platform.files.findFirst(dir.file("*.*").c_str(), &record);
            ASSERT_NE(InvalidFindHandle, find);
            while (strcmp(record.name, "held.exe") != 0) ASSERT_TRUE(Platform.files.findNext(find, &record));
            InHand = {find, path.c_str(), (uint32_t)dir.path().size() + 1, 1, 0, 0, 0, 0};
        }
        {
            Open holder(path, 0);
            ASSERT_TRUE(holder.ok());
            if (asEntry) {
                EXPECT_TRUE(Platform.files.identifyFile(holder.h));
            }
            EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 1));
            EXPECT_EQ(0, Platform.files.deleteFile(path.c_str()));
            EXPECT_EQ(0, Platform.files.moveFile(path.c_str(), dir.file("moved.exe").c_str()));
            EXPECT_EQ(0, Platform.restart.writeWholeFile(path.c_str(), "x", 1));

            Open reader(path, 0);
            ASSERT_TRUE(reader.ok()) << "reading must go on while the file is held";
            uint8_t buffer[64];
            EXPECT_EQ(64u, Platform.files.readFile(reader.h, buffer, 64));
            if (asEntry) {
                EXPECT_TRUE(Platform.files.identifyFile(reader.h));
            }
            EXPECT_NE(0, Platform.files.copyFile(path.c_str(), copy.c_str()));
        }
        EXPECT_EQ(Counting(64), ReadBytes(path));
        EXPECT_EQ(Counting(64), ReadBytes(copy));
        EXPECT_FALSE(Exists(dir.file("moved.exe")));
        // Once the holder is gone, everything is allowed again.
        {
            Open writer(path, 1);
            EXPECT_TRUE(writer.ok());
        }
        EXPECT_NE(0, Platform.files.deleteFile(path.c_str()));
        EXPECT_FALSE(Exists(path));
        InHand.listing = InvalidFindHandle;
        if (find != InvalidFindHandle) Platform.files.findClose(find);
#ifndef _WIN32
        PosixSetReadAhead(ReadAheadOn);
#endif
    }
}

TEST(ShareRule, FileHeldForWritingCannotBeOpenedAgainOrDeleted)
{
    ScratchDir dir;
    std::string path = dir.file("busy.dll");
    ASSERT_TRUE(WriteBytes(path, Counting(8)));
    Open writer(path, 1);
    ASSERT_TRUE(writer.ok());
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 0));
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 1));
    EXPECT_EQ(0, Platform.files.deleteFile(path.c_str()));
    EXPECT_EQ(0, Platform.files.moveFile(path.c_str(), dir.file("moved").c_str()));
    EXPECT_TRUE(Exists(path));
}

// ---- read-only files --------------------------------------------------------------------

TEST(ReadOnly, RefusesWritingAndDeletionUntilCleared)
{
    ScratchDir dir;
    std::string path = dir.file("ro.exe");
    ASSERT_TRUE(WriteBytes(path, Counting(32)));
    ASSERT_NE(0, Platform.files.setFileAttributes(path.c_str(), AttrReadOnly));
    uint32_t attributes = Platform.files.getFileAttributes(path.c_str());
    EXPECT_TRUE(attributes & AttrReadOnly) << std::hex << attributes;
    EXPECT_FALSE(attributes & AttrDirectory);

    bool enforced = true;
    {
        Open writer(path, 1);
        if (writer.ok() && RunsUnderWineAsRoot()) {
            // Wine leaves the write open of a read-only file to the Unix permission bits,
            // which root passes; Windows itself refuses (Wine still refuses the deletion).
            enforced = false;
        } else {
            EXPECT_FALSE(writer.ok()) << "a read-only file was opened for writing";
        }
    }
    EXPECT_EQ(0, Platform.files.deleteFile(path.c_str())) << "a read-only file was deleted";
    {
        Open reader(path, 0);
        EXPECT_TRUE(reader.ok()) << "a read-only file must still open for reading";
    }
    // What the workflow does before it opens an infected file for writing.
    ASSERT_NE(0, Platform.files.setFileAttributes(path.c_str(), AttrNormal));
    EXPECT_FALSE(Platform.files.getFileAttributes(path.c_str()) & AttrReadOnly);
    {
        Open writer(path, 1);
        EXPECT_TRUE(writer.ok());
    }
    EXPECT_NE(0, Platform.files.deleteFile(path.c_str()));
    EXPECT_FALSE(Exists(path));
    if (!enforced) GTEST_SKIP() << "write open of a read-only file not checked: Wine runs as root";
}

// ---- reading and seeking ----------------------------------------------------------------

TEST(Seek, NegativePositionIsRefusedAndThePositionKept)
{
    ScratchDir dir;
    std::string path = dir.file("seek.bin");
    auto bytes = Counting(100);
    ASSERT_TRUE(WriteBytes(path, bytes));
    Open file(path, 0);
    ASSERT_TRUE(file.ok());

    EXPECT_EQ(40u, Platform.files.seekFile(file.h, 40, SeekFromStart));
    EXPECT_EQ(0xFFFFFFFFu, Platform.files.seekFile(file.h, -1, SeekFromStart));
    EXPECT_EQ(bytes[40], NextByte(file.h));
    EXPECT_EQ(0xFFFFFFFFu, Platform.files.seekFile(file.h, -42, SeekFromCurrent));
    EXPECT_EQ(bytes[41], NextByte(file.h));
    EXPECT_EQ(0xFFFFFFFFu, Platform.files.seekFile(file.h, -101, SeekFromEnd));
    EXPECT_EQ(bytes[42], NextByte(file.h));
    // INT32_MIN, the distance of a new-header offset of 0x80000000.
    EXPECT_EQ(0xFFFFFFFFu, Platform.files.seekFile(file.h, INT32_MIN, SeekFromStart));
    EXPECT_EQ(bytes[43], NextByte(file.h));
    // An origin the table does not know is refused too.
    EXPECT_EQ(0xFFFFFFFFu, Platform.files.seekFile(file.h, 0, 3));
    EXPECT_EQ(bytes[44], NextByte(file.h));

    // The edges that are allowed.
    EXPECT_EQ(0u, Platform.files.seekFile(file.h, -100, SeekFromEnd));
    EXPECT_EQ(bytes[0], NextByte(file.h));
    EXPECT_EQ(0u, Platform.files.seekFile(file.h, -1, SeekFromCurrent));
    EXPECT_EQ(90u, Platform.files.seekFile(file.h, -10, SeekFromEnd));
    EXPECT_EQ(95u, Platform.files.seekFile(file.h, 5, SeekFromCurrent));
    EXPECT_EQ(bytes[95], NextByte(file.h));
}

TEST(Seek, PastTheEndIsAllowedAndReadsComeShort)
{
    ScratchDir dir;
    std::string path = dir.file("short.bin");
    auto bytes = Counting(70);
    ASSERT_TRUE(WriteBytes(path, bytes));
    Open file(path, 0);
    ASSERT_TRUE(file.ok());
    uint8_t buffer[256];

    EXPECT_EQ(1000u, Platform.files.seekFile(file.h, 1000, SeekFromStart));
    EXPECT_EQ(0u, Platform.files.readFile(file.h, buffer, sizeof buffer));
    EXPECT_EQ(70u, Platform.files.seekFile(file.h, 0, SeekFromEnd));
    EXPECT_EQ(0u, Platform.files.readFile(file.h, buffer, 4));

    EXPECT_EQ(60u, Platform.files.seekFile(file.h, 60, SeekFromStart));
    ASSERT_EQ(10u, Platform.files.readFile(file.h, buffer, 64));
    EXPECT_EQ(0, memcmp(buffer, bytes.data() + 60, 10));
    EXPECT_EQ(0u, Platform.files.readFile(file.h, buffer, 64));

    // Seeking past the end never grows the file.
    EXPECT_EQ(70u, ReadBytes(path).size());
}

TEST(Read, WholeFileInOneCallAndEmptyFile)
{
    ScratchDir dir;
    auto bytes = Counting(300000);
    ASSERT_TRUE(WriteBytes(dir.file("big.bin"), bytes));
    ASSERT_TRUE(WriteBytes(dir.file("empty.bin"), {}));
    {
        Open file(dir.file("big.bin"), 0);
        ASSERT_TRUE(file.ok());
        std::vector<uint8_t> buffer(bytes.size() + 10);
        EXPECT_EQ(bytes.size(), Platform.files.readFile(file.h, buffer.data(), (uint32_t)buffer.size()));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
    }
    Open empty(dir.file("empty.bin"), 0);
    ASSERT_TRUE(empty.ok());
    uint8_t buffer[64];
    EXPECT_EQ(0u, Platform.files.readFile(empty.h, buffer, 64));
    EXPECT_EQ(0u, Platform.files.seekFile(empty.h, 0, SeekFromEnd));
}

// ---- copy, move, delete -----------------------------------------------------------------

TEST(CopyFile, RefusesAnExistingTargetAndCopiesContentsAndReadOnly)
{
    ScratchDir dir;
    std::string from = dir.file("app.exe"), to = dir.file("app.exe.qx-000");
    ASSERT_TRUE(WriteBytes(from, Counting(5000)));
    ASSERT_TRUE(WriteText(to, "already here"));
    EXPECT_EQ(0, Platform.files.copyFile(from.c_str(), to.c_str()));
    EXPECT_EQ(std::vector<uint8_t>({'a', 'l', 'r', 'e', 'a', 'd', 'y', ' ', 'h', 'e', 'r', 'e'}),
              ReadBytes(to));

    std::string fresh = dir.file("app.exe.qx-001");
    ASSERT_NE(0, Platform.files.setFileAttributes(from.c_str(), AttrReadOnly));
    ASSERT_NE(0, Platform.files.copyFile(from.c_str(), fresh.c_str()));
    EXPECT_EQ(Counting(5000), ReadBytes(fresh));
    EXPECT_TRUE(Platform.files.getFileAttributes(fresh.c_str()) & AttrReadOnly);

    EXPECT_EQ(0, Platform.files.copyFile(dir.file("absent").c_str(), dir.file("x").c_str()));
    EXPECT_FALSE(Exists(dir.file("x")));
}

TEST(MoveFile, RefusesAnExistingTargetAndMovesToAFreeName)
{
    ScratchDir dir;
    std::string copy = dir.file("app.exe.qx-000"), file = dir.file("app.exe");
    ASSERT_TRUE(WriteText(copy, "clean"));
    ASSERT_TRUE(WriteText(file, "infected"));
    EXPECT_EQ(0, Platform.files.moveFile(copy.c_str(), file.c_str()));
    EXPECT_EQ(std::vector<uint8_t>({'c', 'l', 'e', 'a', 'n'}), ReadBytes(copy));
    EXPECT_EQ(8u, ReadBytes(file).size());

    ASSERT_NE(0, Platform.files.deleteFile(file.c_str()));
    ASSERT_NE(0, Platform.files.moveFile(copy.c_str(), file.c_str()));
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(std::vector<uint8_t>({'c', 'l', 'e', 'a', 'n'}), ReadBytes(file));
    EXPECT_EQ(0, Platform.files.moveFile(copy.c_str(), dir.file("other").c_str()));
}

TEST(DeleteFile, RefusesFoldersAndAbsentFiles)
{
    ScratchDir dir;
    ASSERT_TRUE(MakeDir(dir.file("sub")));
    EXPECT_EQ(0, Platform.files.deleteFile(dir.file("sub").c_str()));
    EXPECT_TRUE(Exists(dir.file("sub")));
    EXPECT_EQ(0, Platform.files.deleteFile(dir.file("absent").c_str()));
}

// ---- attributes and the folder walk ------------------------------------------------------

TEST(Attributes, FolderFileAndAbsent)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.file("f.txt"), "x"));
    EXPECT_TRUE(Platform.files.getFileAttributes(dir.path().c_str()) & AttrDirectory);
    uint32_t file = Platform.files.getFileAttributes(dir.file("f.txt").c_str());
    ASSERT_NE(InvalidFileAttributes, file);
    EXPECT_FALSE(file & (AttrDirectory | AttrReadOnly | AttrReparsePoint)) << std::hex << file;
    EXPECT_EQ(InvalidFileAttributes, Platform.files.getFileAttributes(dir.file("nothing").c_str()));
    EXPECT_EQ(0, Platform.files.setFileAttributes(dir.file("nothing").c_str(), AttrNormal));
}

TEST(Find, ListsEverythingWithDotsAndHiddenEntries)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.file("a.exe"), "a"));
    ASSERT_TRUE(WriteText(dir.file("noext"), "b"));
    ASSERT_TRUE(MakeDir(dir.file("sub")));
#ifdef _WIN32
    const std::string hidden = "hidden.dll";
    ASSERT_TRUE(WriteText(dir.file(hidden), "h"));
    ASSERT_NE(0, Platform.files.setFileAttributes(dir.file(hidden).c_str(), AttrHidden | AttrSystem));
#else
    const std::string hidden = ".hidden.dll";
    ASSERT_TRUE(WriteText(dir.file(hidden), "h"));
    ASSERT_TRUE(MakeDir(dir.file("...")));
#endif
    Listing listing = List(dir.path());
    ASSERT_TRUE(listing.opened);
    EXPECT_EQ(1u, listing.count("."));
    EXPECT_EQ(1u, listing.count(".."));
    ASSERT_TRUE(listing.find("."));
    EXPECT_TRUE(listing.find(".")->attributes & AttrDirectory);
    EXPECT_TRUE(listing.find("..")->attributes & AttrDirectory);
    ASSERT_TRUE(listing.find("a.exe"));
    EXPECT_FALSE(listing.find("a.exe")->attributes & AttrDirectory);
    ASSERT_TRUE(listing.find("noext"));
    ASSERT_TRUE(listing.find("sub"));
    EXPECT_TRUE(listing.find("sub")->attributes & AttrDirectory);
    ASSERT_TRUE(listing.find(hidden)) << "hidden entries must be listed";
    EXPECT_TRUE(listing.find(hidden)->attributes & AttrHidden);
    EXPECT_FALSE(listing.find(hidden)->attributes & AttrDirectory);
#ifndef _WIN32
    ASSERT_TRUE(listing.find("...")) << "a folder named ... is a folder like any other";
    EXPECT_TRUE(listing.find("...")->attributes & AttrDirectory);
    EXPECT_EQ(1u, List(dir.file("...")).count("."));
#endif
    std::set<std::string> names;
    for (const auto &e : listing.entries) EXPECT_TRUE(names.insert(e.name).second) << e.name;
}

TEST(Find, EmptyFolderStillListsDotsAndAbsentFolderFails)
{
    ScratchDir dir;
    ASSERT_TRUE(MakeDir(dir.file("empty")));
    Listing listing = List(dir.file("empty"));
    ASSERT_TRUE(listing.opened);
    EXPECT_EQ(2u, listing.entries.size());
    EXPECT_EQ(1u, listing.count("."));
    EXPECT_EQ(1u, listing.count(".."));

    FindRecord record;
    std::string pattern = testsupport::Join(dir.file("absent"), "*.*");
    EXPECT_EQ(InvalidFindHandle, Platform.files.findFirst(pattern.c_str(), &record));
}

TEST(Find, LongNamesArriveWhole)
{
    ScratchDir dir;
    std::string name(200, 'n');
    name += ".exe";
    ASSERT_TRUE(WriteText(dir.file(name), "x"));
    Listing listing = List(dir.path());
    ASSERT_TRUE(listing.opened);
    EXPECT_TRUE(listing.find(name));
}

// The entry in hand goes with its listing: closing the listing clears it, and closing another
// listing leaves it alone. Nothing can then reach a closed folder through it.
TEST(Find, ClosingAListingClearsItsEntryInHand)
{
    ScratchDir dir;
    ASSERT_TRUE(MakeDir(dir.file("one")) && MakeDir(dir.file("two")));
    FindRecord record;
    FindHandle one = Platform.files.findFirst(testsupport::Join(dir.file("one"), "*.*").c_str(), &record);
    FindHandle two = Platform.files.findFirst(testsupport::Join(dir.file("two"), "*.*").c_str(), &record);
    ASSERT_NE(InvalidFindHandle, one);
    ASSERT_NE(InvalidFindHandle, two);
    const std::string path = testsupport::Join(dir.file("one"), "x.exe");
    InHand = {one, path.c_str(), (uint32_t)dir.file("one").size() + 1, 1, 0, 0, 0};
    Platform.files.findClose(two);
    EXPECT_EQ(one, InHand.listing);
    Platform.files.findClose(one);
    EXPECT_EQ(InvalidFindHandle, InHand.listing);
    InHand.listing = InvalidFindHandle;
}

// ---- positions past 4 GiB ---------------------------------------------------------------

// What the quarantine's copies and digests stand on, in both builds: bytes written and read
// back beyond 4 GiB (on Windows through SetFilePointer's high part), a length set there, nothing
// past the end; on POSIX the hole before them is said as one, never read.
TEST(Files, PositionsPastFourGiBAreWrittenAndReadAndHolesSaid)
{
    ScratchDir dir;
    FileHandle index = InvalidFileHandle;
    uint64_t volume, inode;
    ASSERT_EQ(StoreReady, Platform.store.openStore(dir.file("store").c_str(), 1, "index.jsonl",
                                                   &index, &volume, &inode));
    char made[64];
    FileHandle file = Platform.store.createStored("big", made, sizeof made);
    ASSERT_NE(InvalidFileHandle, file);
    const uint64_t beyond = (4ull << 30) + 12345, length = (4ull << 30) + (1u << 20);
    EXPECT_EQ(4u, Platform.store.writeAt(file, "head", 4, 0));
    EXPECT_EQ(9u, Platform.store.writeAt(file, "past 4GiB", 9, beyond));
    EXPECT_NE(0, Platform.store.truncateFile(file, length));
    char buffer[16] = {0};
    int hole = -1;
    EXPECT_EQ(9u, Platform.files.readAt(file, buffer, 9, beyond, &hole));
    EXPECT_EQ(0, hole);
    EXPECT_EQ(0, memcmp(buffer, "past 4GiB", 9));
    EXPECT_EQ(4u, Platform.files.readAt(file, buffer, 16, length - 4, &hole));
    EXPECT_EQ(0u, Platform.files.readAt(file, buffer, 16, length, &hole));
    uint32_t got = Platform.files.readAt(file, buffer, 16, 1u << 20, &hole);
#ifdef _WIN32
    EXPECT_EQ(std::make_pair(16u, 0), std::make_pair(got, hole));
#else
    EXPECT_EQ(1, hole);
    EXPECT_EQ(ReadAtMaxHole, got);   // the data is 4 GiB away: as much of the hole as is said
    EXPECT_EQ(0, memcmp(buffer, "past 4GiB", 9));     // untouched
#endif
    EXPECT_NE(0, Platform.store.removeStored(file, made));
    Platform.files.closeFile(file);
    Platform.files.closeFile(index);
    Platform.store.closeStore();
}

// ---- memory and threads -----------------------------------------------------------------

TEST(Memory, BlocksOfAnySizeAndNullFree)
{
    void *empty = Platform.files.memAlloc(0);
    EXPECT_NE(nullptr, empty);
    Platform.files.memFree(empty);
    uint8_t *block = (uint8_t *)Platform.files.memAlloc(248 + 40 * 65535);
    ASSERT_NE(nullptr, block);
    block[0] = 1;
    block[248 + 40 * 65535 - 1] = 2;
    Platform.files.memFree(block);
    Platform.files.memFree(nullptr);
}

namespace {
std::promise<void *> threadRan;
uint32_t RecordParameter(void *parameter)
{
    threadRan.set_value(parameter);
    return 0;
}
}  // namespace

TEST(StartThread, RunsTheProcedureWithItsParameter)
{
    threadRan = std::promise<void *>();
    std::future<void *> ran = threadRan.get_future();
    int marker;
    ASSERT_NE(0, Platform.system.startThread(RecordParameter, &marker));
    ASSERT_EQ(std::future_status::ready, ran.wait_for(std::chrono::seconds(30)))
        << "the thread did not run within 30 s";
    EXPECT_EQ(&marker, ran.get());
}

// ---- the table itself -------------------------------------------------------------------

namespace {
uint32_t NoAttributes(const char *) { return 0x1234; }
void *NoMemory(uint32_t) { return nullptr; }
}  // namespace

TEST(PlatformTable, RestorePutsBackEveryEntry)
{
    PlatformOps before = Platform;
    Platform.files.getFileAttributes = NoAttributes;
    Platform.files.memAlloc = NoMemory;
    EXPECT_EQ(0x1234u, Platform.files.getFileAttributes("anything"));
    PlatformRestore();
    EXPECT_EQ(0, memcmp(&before, &Platform, sizeof before));
    EXPECT_EQ(InvalidFileAttributes, Platform.files.getFileAttributes("no such file here"));
}

// ---- POSIX only ------------------------------------------------------------------------

#ifndef _WIN32

// Runs openFile on another thread so that a wrongly blocking open fails the test instead of
// hanging it; `unblock` releases such an open before the thread is waited for.
static FileHandle OpenWithin(const std::string &path, int write, void (*unblock)(const std::string &))
{
    auto opened = std::async(std::launch::async, [&] { return Platform.files.openFile(path.c_str(), write); });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "openFile blocked on " << path;
        if (unblock) unblock(path);
    }
    return opened.get();
}

static void OpenFifoForWriting(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
}

TEST(PosixOpen, FifoSocketAndDevicesAreRefusedAtOnce)
{
    ScratchDir dir;
    std::string fifo = dir.file("pipe.exe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    EXPECT_EQ(InvalidFileHandle, OpenWithin(fifo, 0, OpenFifoForWriting));
    EXPECT_EQ(InvalidFileHandle, OpenWithin(fifo, 1, OpenFifoForWriting));

    std::string socketPath = dir.file("sock.exe");
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(0, bind(sock, (sockaddr *)&address, sizeof address));
    EXPECT_EQ(InvalidFileHandle, OpenWithin(socketPath, 0, nullptr));
    close(sock);

    EXPECT_EQ(InvalidFileHandle, OpenWithin("/dev/null", 0, nullptr));
    EXPECT_EQ(InvalidFileHandle, OpenWithin("/dev/zero", 1, nullptr));
    // A link does not smuggle a device in.
    ASSERT_EQ(0, symlink("/dev/zero", dir.file("zero.exe").c_str()));
    EXPECT_EQ(InvalidFileHandle, OpenWithin(dir.file("zero.exe"), 0, nullptr));

    // None of them can be copied either.
    EXPECT_EQ(0, Platform.files.copyFile(fifo.c_str(), dir.file("c1").c_str()));
    EXPECT_EQ(0, Platform.files.copyFile("/dev/zero", dir.file("c2").c_str()));
    EXPECT_FALSE(Exists(dir.file("c1")));
    EXPECT_FALSE(Exists(dir.file("c2")));
}

TEST(PosixLinks, CarryReparsePointAndFolderBit)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.file("target.exe"), "t"));
    ASSERT_TRUE(MakeDir(dir.file("folder")));
    ASSERT_EQ(0, symlink("target.exe", dir.file("tofile").c_str()));
    ASSERT_EQ(0, symlink("folder", dir.file("tofolder").c_str()));
    ASSERT_EQ(0, symlink("nowhere", dir.file("dangling").c_str()));

    Listing listing = List(dir.path());
    ASSERT_TRUE(listing.opened);
    ASSERT_TRUE(listing.find("tofile") && listing.find("tofolder") && listing.find("dangling"));
    EXPECT_EQ(AttrReparsePoint, listing.find("tofile")->attributes);
    EXPECT_EQ(AttrReparsePoint | AttrDirectory, listing.find("tofolder")->attributes);
    EXPECT_EQ(AttrReparsePoint, listing.find("dangling")->attributes);
    EXPECT_EQ(AttrDirectory, listing.find("folder")->attributes);
    EXPECT_EQ(AttrNormal, listing.find("target.exe")->attributes);

    EXPECT_EQ(AttrReparsePoint, Platform.files.getFileAttributes(dir.file("tofile").c_str()));
    EXPECT_EQ(AttrReparsePoint | AttrDirectory,
              Platform.files.getFileAttributes(dir.file("tofolder").c_str()));
    EXPECT_EQ(AttrReparsePoint, Platform.files.getFileAttributes(dir.file("dangling").c_str()));

    // Deleting a link removes the link, never what it names.
    EXPECT_NE(0, Platform.files.deleteFile(dir.file("tofile").c_str()));
    EXPECT_TRUE(Exists(dir.file("target.exe")));
}

// A sub-folder in hand is opened through its listing and never through a link put in its
// place since it was listed; a folder named with no entry in hand is the caller's own choice
// and is followed.
TEST(PosixLinks, SubFolderSwappedForALinkIsNotListedThroughTheListing)
{
    ScratchDir dir;
    ASSERT_TRUE(MakeDir(dir.file("sub")) && MakeDir(dir.file("elsewhere")));
    ASSERT_TRUE(WriteText(dir.file("elsewhere") + "/x.exe", "x"));
    FindRecord record;
    FindHandle outer = Platform.files.findFirst((dir.path() + "/*.*").c_str(), &record);
    ASSERT_NE(InvalidFindHandle, outer);
    ASSERT_EQ(0, rename(dir.file("sub").c_str(), dir.file("sub.old").c_str()));
    ASSERT_EQ(0, symlink("elsewhere", dir.file("sub").c_str()));
    const uint32_t nameAt = (uint32_t)dir.path().size() + 1;
    const std::string swapped = dir.file("sub") + "/*.*", real = dir.file("sub.old") + "/*.*";
    InHand = {outer, swapped.c_str(), nameAt, 1, 0, 0, 0, 0};
    EXPECT_EQ(InvalidFindHandle, Platform.files.findFirst(swapped.c_str(), &record));
    InHand = {outer, real.c_str(), nameAt, 1, 0, 0, 0, 0};
    FindHandle inner = Platform.files.findFirst(real.c_str(), &record);
    InHand.listing = InvalidFindHandle;
    EXPECT_NE(InvalidFindHandle, inner);
    if (inner != InvalidFindHandle) Platform.files.findClose(inner);
    Platform.files.findClose(outer);
    EXPECT_TRUE(List(dir.file("sub")).find("x.exe"));
}

// The entry in hand is changed only while its name leads to the file read and identified as
// that entry, through its listing (a folder swapped for a link leaves the change on the file
// detected): not before it was opened, not when read but never identified, not once the file
// was swapped (even before it was identified: the handle is asked, not the name), and never
// by a path outside its folder. A read-only clean file outside keeps its bytes and mode
// whatever was tried.
TEST(PosixEntryInHand, ChangesReachOnlyTheFileOpenedAsTheEntry)
{
    enum Trial { Untouched, NeverOpened, NotIdentified, FileSwapped, FolderSwapped, PathOutside };
    static const char *const names[] = {"untouched",    "never opened",   "not identified",
                                        "file swapped", "folder swapped", "path outside"};
    for (int trial = Untouched; trial <= PathOutside; trial++) {
        for (int op = 0; op < 4; op++) {
            SCOPED_TRACE(std::string(names[trial]) + ", operation " + std::to_string(op));
            ScratchDir dir;
            const std::string sub = dir.file("sub"), worm = sub + "/worm.exe";
            const std::string outside = dir.file("outside"), victim = outside + "/worm.exe";
            ASSERT_TRUE(MakeDir(sub) && MakeDir(outside));
            ASSERT_TRUE(WriteText(worm, "worm") && WriteText(victim, "clean"));
            ASSERT_EQ(0, chmod(victim.c_str(), 0444));
            ASSERT_EQ(0, chmod(worm.c_str(), 0444));
            FindRecord record;
            FindHandle find = Platform.files.findFirst((sub + "/*.*").c_str(), &record);
            ASSERT_NE(InvalidFindHandle, find);
            const std::string path = trial == PathOutside ? victim : worm;
            InHand = {find, worm.c_str(), (uint32_t)sub.size() + 1, 1, 0, 0, 0, 0};
            FileHandle read = InvalidFileHandle;
            if (trial != NeverOpened) {
                read = Platform.files.openFile(worm.c_str(), 0);
                EXPECT_NE(InvalidFileHandle, read);
            }
            if (trial == FileSwapped) {
                ASSERT_EQ(0, rename(worm.c_str(), (worm + ".old").c_str()));
                ASSERT_EQ(0, link(victim.c_str(), worm.c_str()));
            }
            if (read != InvalidFileHandle) {
                if (trial != NotIdentified) EXPECT_TRUE(Platform.files.identifyFile(read));
                Platform.files.closeFile(read);
            }
            if (trial == FolderSwapped) {
                ASSERT_EQ(0, rename(sub.c_str(), (sub + ".old").c_str()));
                ASSERT_EQ(0, symlink(outside.c_str(), sub.c_str()));
            }
            int done = 0;
            if (op == 0) {
                done = Platform.files.setFileAttributes(path.c_str(), AttrNormal);
            } else if (op == 1) {
                Platform.files.setFileAttributes(path.c_str(), AttrNormal);
                FileHandle write = Platform.files.openFile(path.c_str(), 1);
                done = write != InvalidFileHandle;
                if (done) Platform.files.closeFile(write);
            } else if (op == 2) {
                done = Platform.files.copyFile(path.c_str(), (path + ".qx-000").c_str());
            } else {
                Platform.files.setFileAttributes(path.c_str(), AttrNormal);
                done = Platform.files.deleteFile(path.c_str());
            }
            InHand.listing = InvalidFindHandle;
            Platform.files.findClose(find);
            // The folder swapped: the listing still holds the folder, and the change reaches
            // the file detected there.
            EXPECT_EQ(trial == Untouched || trial == FolderSwapped, done != 0);
            struct stat st;
            ASSERT_EQ(0, lstat(victim.c_str(), &st));
            EXPECT_EQ(0444u, st.st_mode & 07777);
            const std::vector<uint8_t> bytes = ReadBytes(victim);
            EXPECT_EQ("clean", std::string(bytes.begin(), bytes.end()));
            EXPECT_FALSE(Exists(victim + ".qx-000"));
        }
    }
}

// Whoever may write in the folder exchanges two names in a loop (RENAME_EXCHANGE) while the
// file detected is deleted: only that file ever goes, never the one exchanged into its name.
TEST(PosixEntryInHand, DeletionAmongExchangingNamesRemovesOnlyTheFileDetected)
{
    ScratchDir dir;
    const std::string sub = dir.file("sub"), worm = sub + "/worm.exe";
    ASSERT_TRUE(MakeDir(sub));
    int folder = open(sub.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_LE(0, folder);
    std::atomic<int> stop{0};
    std::mutex still;     // held while the files are set up and counted, never during the work
    std::thread exchanger([&] {
        while (!stop.load()) {
            std::lock_guard<std::mutex> hold(still);
            renameat2(folder, "worm.exe", folder, "other.exe", RENAME_EXCHANGE);
        }
    });
    int wrong = 0, deleted = 0;
    for (int round = 0; round < 3000 && !wrong; round++) {
        std::unique_lock<std::mutex> setUp(still);
        unlinkat(folder, "worm.exe", 0);
        unlinkat(folder, "other.exe", 0);
        ASSERT_TRUE(WriteText(sub + "/a.tmp", "a") && WriteText(sub + "/b.tmp", "b"));
        ASSERT_EQ(0, renameat(folder, "a.tmp", folder, "worm.exe"));
        ASSERT_EQ(0, renameat(folder, "b.tmp", folder, "other.exe"));
        setUp.unlock();
        FindRecord record;
        FindHandle find = Platform.files.findFirst((sub + "/*.*").c_str(), &record);
        ASSERT_NE(InvalidFindHandle, find);
        InHand = {find, worm.c_str(), (uint32_t)sub.size() + 1, 0, 0, 0, 0};
        char detected = 0;
        FileHandle read = Platform.files.openFile(worm.c_str(), 0);
        if (read != InvalidFileHandle) {
            Platform.files.readFile(read, &detected, 1);
            Platform.files.identifyFile(read);
            Platform.files.closeFile(read);
        }
        int done = read != InvalidFileHandle && Platform.files.deleteFile(worm.c_str());
        InHand.listing = InvalidFindHandle;
        Platform.files.findClose(find);
        // What is left, under whatever name.
        std::lock_guard<std::mutex> count(still);
        std::string left;
        FindHandle look = Platform.files.findFirst((sub + "/*.*").c_str(), &record);
        ASSERT_NE(InvalidFindHandle, look);
        do {
            if (record.name[0] != '.' || strlen(record.name) > 2) {
                std::vector<uint8_t> bytes = ReadBytes(sub + "/" + record.name);
                left += std::string(bytes.begin(), bytes.end());
            }
        } while (Platform.files.findNext(look, &record));
        Platform.files.findClose(look);
        std::sort(left.begin(), left.end());
        deleted += done;
        std::string expected = !done ? "ab" : detected == 'a' ? "b" : "a";
        wrong += left != expected;
        EXPECT_EQ(expected, left) << "round " << round << ", detected " << detected;
    }
    stop.store(1);
    exchanger.join();
    close(folder);
    EXPECT_EQ(0, wrong);
    EXPECT_LT(0, deleted);
}

// A file with a second name: neither its mode nor its contents may be changed (that would
// change them under the other name), while this name may still be removed, read-only or not.
TEST(PosixLinks, FileWithTwoNamesKeepsItsModeAndContentsButLosesAName)
{
    ScratchDir dir;
    const std::string name = dir.file("a.exe"), other = dir.file("b.exe");
    ASSERT_TRUE(WriteText(name, "file"));
    ASSERT_EQ(0, chmod(name.c_str(), 0444));
    ASSERT_EQ(0, link(name.c_str(), other.c_str()));
    EXPECT_EQ(0, Platform.files.setFileAttributes(name.c_str(), AttrNormal));
    ASSERT_EQ(0, chmod(name.c_str(), 0644));
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(name.c_str(), 1));
    EXPECT_EQ(0, Platform.files.setFileAttributes(name.c_str(), AttrReadOnly));
    ASSERT_EQ(0, chmod(name.c_str(), 0444));
    EXPECT_NE(0, Platform.files.deleteFile(name.c_str()));
    struct stat st;
    ASSERT_EQ(0, lstat(other.c_str(), &st));
    EXPECT_EQ(0444u, st.st_mode & 07777);
    EXPECT_EQ(1u, st.st_nlink);
    // Alone again, it is read-only as any other file.
    EXPECT_EQ(0, Platform.files.deleteFile(other.c_str()));
}

TEST(PosixAttributes, OwnerWriteBitIsTheReadOnlyAttribute)
{
    ScratchDir dir;
    std::string path = dir.file("perm.exe");
    ASSERT_TRUE(WriteText(path, "p"));
    ASSERT_EQ(0, chmod(path.c_str(), 0555));
    EXPECT_EQ(AttrReadOnly, Platform.files.getFileAttributes(path.c_str()));
    ASSERT_NE(0, Platform.files.setFileAttributes(path.c_str(), AttrNormal));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    ASSERT_NE(0, Platform.files.setFileAttributes(path.c_str(), AttrReadOnly));
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0555u, st.st_mode & 0777);

    // The copy keeps the permission bits.
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    ASSERT_NE(0, Platform.files.copyFile(path.c_str(), dir.file("copy").c_str()));
    ASSERT_EQ(0, stat(dir.file("copy").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST(PosixNoRestart, VersionRestartFolderAndRegistryAnswerAsDocumented)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "f"));
    EXPECT_FALSE(Is9xFamily(Platform.restart.getVersion()));
    EXPECT_EQ(0, Platform.restart.moveFileAtRestart(dir.file("f").c_str(), nullptr));
    char folder[260] = "unchanged";
    EXPECT_EQ(0, Platform.restart.windowsFolder(folder, sizeof folder));
    EXPECT_EQ(nullptr, Platform.registry.regOpenRunKey(1));
    EXPECT_EQ(nullptr, Platform.registry.regOpenRunKey(0));
    EXPECT_TRUE(Exists(dir.file("f")));
}

TEST(PosixFixedDrives, LiveTableHasRootsButNoPseudoFileSystems)
{
    char roots[MaxFixedDrives][MaxRootPath];
    uint32_t count = Platform.files.fixedDrives(roots, MaxFixedDrives);
    ASSERT_LE(count, (uint32_t)MaxFixedDrives);
    // Any local block device mounted on a folder makes at least one root.
    bool anyBlockDevice = false;
    if (FILE *mounts = fopen("/proc/self/mounts", "r")) {
        char device[4096], where[4096];
        while (fscanf(mounts, "%4095s %4095s %*[^\n]", device, where) == 2) {
            struct stat st;
            anyBlockDevice |= strncmp(device, "/dev/", 5) == 0 && strncmp(where, "/proc", 5) &&
                              strncmp(where, "/sys", 4) && strncmp(where, "/dev", 4) &&
                              stat(where, &st) == 0 && S_ISDIR(st.st_mode);
        }
        fclose(mounts);
    }
    if (anyBlockDevice) {
        EXPECT_GE(count, 1u);
    }
    for (uint32_t i = 0; i < count; i++) {
        std::string root = roots[i];
        EXPECT_EQ('/', root.front()) << root;
        EXPECT_EQ('/', root.back()) << root;
        EXPECT_NE(0u, root.rfind("/proc/", 0)) << root;
        EXPECT_NE(0u, root.rfind("/sys/", 0)) << root;
        EXPECT_NE(0u, root.rfind("/dev/", 0)) << root;
        EXPECT_TRUE(Platform.files.getFileAttributes(root.c_str()) & AttrDirectory) << root;
    }
    EXPECT_EQ(0u, Platform.files.fixedDrives(roots, 0));
}

TEST(PosixFixedDrives, ForgedTableKeepsOnlyLocalBlockDevicesOnFolders)
{
    ScratchDir dir;
    ASSERT_TRUE(MakeDir(dir.file("data")));
    ASSERT_TRUE(MakeDir(dir.file("with space")));
    ASSERT_TRUE(MakeDir(dir.file("nfs")));
    ASSERT_TRUE(WriteText(dir.file("bound-file"), "x"));
    std::string data = dir.file("data"), spaced = dir.path() + "/with\\040space";
    std::string table =
        "proc /proc proc rw 0 0\n"
        "sysfs /sys sysfs rw 0 0\n"
        "devtmpfs /dev devtmpfs rw 0 0\n"
        "tmpfs /dev/shm tmpfs rw 0 0\n"
        "overlay / overlay rw 0 0\n"
        "/dev/sdb1 " + data + " ext4 rw 0 0\n"
        "/dev/sdb1 " + data + " ext4 rw 0 0\n"
        "server:/export " + dir.file("nfs") + " nfs4 rw 0 0\n"
        "/dev/sdc1 " + dir.file("nfs") + " nfs rw 0 0\n"
        "user@host:/ " + dir.file("nfs") + " fuse.sshfs rw 0 0\n"
        "/dev/sdd1 /proc/fs/x ext4 rw 0 0\n"
        "/dev/sde1 /sys/kernel/x ext4 rw 0 0\n"
        "/dev/sda1 " + dir.file("bound-file") + " ext4 rw 0 0\n"
        "/dev/sda2 " + dir.file("missing") + " ext4 rw 0 0\n"
        "/dev/mapper/vg-home " + spaced + " xfs rw 0 0\n";
    std::string tablePath = dir.file("mounts");
    ASSERT_TRUE(WriteText(tablePath, table));

    char roots[MaxFixedDrives][MaxRootPath];
    uint32_t count = PosixFixedDrivesFrom(tablePath.c_str(), roots, MaxFixedDrives);
    ASSERT_EQ(2u, count);
    EXPECT_EQ(data + "/", roots[0]);
    EXPECT_EQ(dir.file("with space") + "/", roots[1]);

    EXPECT_EQ(1u, PosixFixedDrivesFrom(tablePath.c_str(), roots, 1));
    EXPECT_EQ(data + "/", roots[0]);
    EXPECT_EQ(0u, PosixFixedDrivesFrom(dir.file("no table").c_str(), roots, MaxFixedDrives));
}

// ---- read-ahead and the limit of open files -------------------------------------------------

namespace {

// Counted without opening anything: the table may be full.
int OpenDescriptors()
{
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const int most = limit.rlim_cur < 65536 ? (int)limit.rlim_cur : 65536;
    int count = 0;
    for (int fd = 0; fd < most; fd++) count += fcntl(fd, F_GETFD) != -1;
    return count;
}

// The soft limit of open files lowered for the scope.
struct SoftLimit {
    struct rlimit before;
    explicit SoftLimit(int most)
    {
        getrlimit(RLIMIT_NOFILE, &before);
        struct rlimit limit = before;
        limit.rlim_cur = (rlim_t)most;
        EXPECT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    }
    ~SoftLimit() { setrlimit(RLIMIT_NOFILE, &before); }
};

// A listing of `folder` with read-ahead fetching everything, at its first file (after "." and
// ".."), once the descriptors read-ahead opened for it stop changing.
FindHandle ListWithReadAhead(const std::string &folder, FindRecord *record)
{
    PosixSetReadAhead(ReadAheadAlways);
    FindHandle find = Platform.files.findFirst((folder + "/*.*").c_str(), record);
    PosixSetReadAhead(ReadAheadOn);
    if (find == InvalidFindHandle) return find;
    while (Platform.files.findNext(find, record) && (record->attributes & AttrDirectory)) {}
    for (int tries = 0, last = -1, now; tries < 200 && (now = OpenDescriptors()) != last; tries++) {
        last = now;
        usleep(10000);
    }
    return find;
}

}  // namespace

// Read-ahead takes no more descriptors than the soft limit leaves it beside those open, the
// listing's and a reserve of 16 for the walk and the workflow: at a small limit none (not even
// a ring), and where the limit leaves room, as many files as its window.
TEST(PosixReadAhead, HoldsNoMoreDescriptorsThanTheLimitLeavesIt)
{
    if (!PosixReadAheadAvailable()) GTEST_SKIP() << "no io_uring here: read-ahead holds nothing";
    ScratchDir dir;
    for (int i = 0; i < 64; i++) ASSERT_TRUE(WriteText(dir.file("f" + std::to_string(i) + ".exe"), "MZ"));
    for (int extra : {4, 12, 18, 19, 22, 30, 96}) {
        SCOPED_TRACE(std::to_string(extra) + " descriptors beside those open");
        const int before = OpenDescriptors();
        SoftLimit limit(before + extra);
        FindRecord record;
        FindHandle find = ListWithReadAhead(dir.path(), &record);
        ASSERT_NE(InvalidFindHandle, find);
        const int held = OpenDescriptors() - before;   // the listing, the ring, the files
        Platform.files.findClose(find);
        // Room for files: the limit less those open, the listing's, the ring's and 16.
        const int room = extra - 1 - 1 - 16;
        EXPECT_LE(held, room > 0 ? 2 + room : 1);
        if (room >= 32) {
            EXPECT_GE(held, 2 + 16) << "read-ahead fetched nothing where it had room";
        }
    }
}

// An open of the walk or the workflow that finds no descriptor free while read-ahead holds
// some has read-ahead give them back and is tried once more: read-ahead has taken its share,
// then something else every descriptor left. The entry in hand is opened for writing, copied,
// the folder beside it listed, a file of the caller's own created, all the same.
TEST(PosixReadAhead, AnOpenShortOfDescriptorsHasReadAheadGiveThemBack)
{
    if (!PosixReadAheadAvailable()) GTEST_SKIP() << "no io_uring here: read-ahead holds nothing";
    enum Operation { OpenForWriting, Copy, ListInside, CreateStored };
    static const char *const names[] = {"open for writing", "copy", "list inside", "create stored"};
    for (int op = OpenForWriting; op <= CreateStored; op++) {
        SCOPED_TRACE(names[op]);
        ScratchDir dir;
        for (int i = 0; i < 48; i++) ASSERT_TRUE(WriteText(dir.file("f" + std::to_string(i) + ".exe"), "MZ"));
        ASSERT_TRUE(MakeDir(dir.file("sub")));
        const int before = OpenDescriptors();
        SoftLimit limit(before + 96);
        FindRecord record;
        FindHandle find = ListWithReadAhead(dir.path(), &record);
        ASSERT_NE(InvalidFindHandle, find);
        EXPECT_GT(OpenDescriptors() - before, 16) << "read-ahead holds too few for the case";
        const std::string file = dir.file(record.name), inside = dir.file("sub") + "/*.*";
        const uint32_t nameAt = (uint32_t)dir.path().size() + 1;
        struct stat st;
        ASSERT_EQ(0, lstat(file.c_str(), &st));
        FileHandle index = InvalidFileHandle;
        uint64_t volume, inode;
        if (op == CreateStored)
            ASSERT_EQ(StoreReady, Platform.store.openStore(dir.file("store").c_str(), 1, "index.jsonl",
                                                     &index, &volume, &inode));
        std::vector<int> taken;   // every descriptor left
        for (int fd; (fd = dup(2)) >= 0;) taken.push_back(fd);
        EXPECT_EQ(EMFILE, errno);
        InHand = {find, (op == ListInside ? inside : file).c_str(), nameAt, 1, 1,
                  (uint64_t)st.st_dev, (uint64_t)st.st_ino};
        int done = 0;
        if (op == OpenForWriting) {
            FileHandle handle = Platform.files.openFile(file.c_str(), 1);
            done = handle != InvalidFileHandle;
            if (done) Platform.files.closeFile(handle);
        } else if (op == Copy) {
            done = Platform.files.copyFile(file.c_str(), (file + ".qx-000").c_str());
        } else if (op == ListInside) {
            FindHandle sub = Platform.files.findFirst(inside.c_str(), &record);
            done = sub != InvalidFindHandle;
            if (done) Platform.files.findClose(sub);
        } else {
            char made[64];
            FileHandle handle = Platform.store.createStored("stored", made, sizeof made);
            done = handle != InvalidFileHandle;
            if (done) Platform.files.closeFile(handle);
        }
        InHand.listing = InvalidFindHandle;
        for (int fd : taken) close(fd);
        if (index != InvalidFileHandle) {
            Platform.files.closeFile(index);
            Platform.store.closeStore();
        }
        Platform.files.findClose(find);
        EXPECT_NE(0, done);
    }
}

// An open that finds no descriptor free says so, whatever it opens: a file, a folder to list,
// by its path or through the listing around it, and the log, whether its folder or the file
// itself is what finds none.
TEST(PosixDescriptors, AnOpenShortOfThemNamesTheCause)
{
    ScratchDir dir;
    const std::string file = dir.file("a.exe"), inside = dir.file("sub") + "/*.*";
    ASSERT_TRUE(WriteText(file, "MZ"));
    ASSERT_TRUE(MakeDir(dir.file("sub")));
    PosixSetReadAhead(ReadAheadOff);   // the listing holds its own descriptor only
    FindRecord record;
    FindHandle find = Platform.files.findFirst((dir.path() + "/*.*").c_str(), &record);
    PosixSetReadAhead(ReadAheadOn);
    ASSERT_NE(InvalidFindHandle, find);
    const uint32_t nameAt = (uint32_t)dir.path().size() + 1;
    auto failure = [](int32_t cause) { return (int32_t)(InHand.failure == cause); };
    const struct {
        const char *what;
        int spare;   // descriptors left free
        std::function<int32_t()> named;
    } cases[] = {
        {"a file", 0, [&] {
             FileHandle h = Platform.files.openFile(file.c_str(), 0);
             return h == InvalidFileHandle ? failure(FailureDescriptors) : (Platform.files.closeFile(h), -1);
         }},
        {"a folder by its path", 0, [&] {
             FindHandle h = Platform.files.findFirst(inside.c_str(), &record);
             return h == InvalidFindHandle ? failure(FailureDescriptors) : (Platform.files.findClose(h), -1);
         }},
        {"a folder inside the listing", 0, [&] {
             InHand = {find, inside.c_str(), nameAt, 1, 0, 0, 0};
             FindHandle h = Platform.files.findFirst(inside.c_str(), &record);
             InHand.listing = InvalidFindHandle;
             return h == InvalidFindHandle ? failure(FailureDescriptors) : (Platform.files.findClose(h), -1);
         }},
        {"the log's folder", 0, [&] {
             FileHandle log = InvalidFileHandle;
             return (int32_t)(Platform.store.openLog(dir.file("scan.log").c_str(), &log) == LogNoDescriptors);
         }},
        {"the log", 1, [&] {
             FileHandle log = InvalidFileHandle;
             return (int32_t)(Platform.store.openLog(dir.file("scan.log").c_str(), &log) == LogNoDescriptors);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        InHand.failure = FailureNone;
        int32_t named;
        {
            SoftLimit limit(OpenDescriptors() + 16);
            std::vector<int> taken;
            for (int fd; (fd = dup(2)) >= 0;) taken.push_back(fd);
            for (int i = 0; i < c.spare && !taken.empty(); i++) {
                close(taken.back());
                taken.pop_back();
            }
            named = c.named();
            for (int fd : taken) close(fd);
        }
        EXPECT_EQ(1, named) << "-1: it was opened; 0: another cause was named";
    }
    Platform.files.findClose(find);
    EXPECT_FALSE(Exists(dir.file("scan.log")));
}

#endif  // !_WIN32

// ---- Windows only: what Wine does for real -----------------------------------------------

#ifdef _WIN32

TEST(WinLocked, FileHeldWithoutSharingCannotBeOpenedCopiedOrDeleted)
{
    ScratchDir dir;
    std::string path = dir.file("worm.exe");
    ASSERT_TRUE(WriteBytes(path, Counting(64)));
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 0));
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(path.c_str(), 1));
    EXPECT_EQ(0, Platform.files.copyFile(path.c_str(), dir.file("copy").c_str()));
    EXPECT_EQ(0, Platform.files.deleteFile(path.c_str()));
    CloseHandle(holder);
    EXPECT_NE(0, Platform.files.deleteFile(path.c_str()));
}

TEST(WinVersion, NtFamilyByDefault)
{
    EXPECT_FALSE(Is9xFamily(Platform.restart.getVersion())) << std::hex << Platform.restart.getVersion();
    EXPECT_EQ(GetVersion(), Platform.restart.getVersion());
}

// The 9x family's replacing move, played beneath the rules (its version word through the raw
// calls): the old file steps aside as "<to>~" for the moment in between, a file already under
// that name is never deleted (the replacement fails and both files stay), and a move that fails
// half way puts the old file back.
unsigned long NinetyEight(void) { return 0xC0000A04ul; }
int moveFails;   // the move of the new file fails once while set
int MoveFailingOnce(const char *from, const char *to)
{
    if (moveFails && std::string(to).find('~') == std::string::npos) {
        moveFails = 0;
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return WinSysDefaults.moveFileA(from, to);
}

TEST(WinSyscalls, TheNinetyEightReplacementNeverDeletesWhatItDidNotPutAside)
{
    ScratchDir dir;
    const std::string from = dir.file("new.exe"), to = dir.file("old.exe"), aside = to + "~";
    const struct {
        const char *name;
        bool asideTaken, moveFails, replaced;
    } cases[] = {{"a free aside name", false, false, true},
                 {"the aside name taken", true, false, false},
                 {"the move fails half way", false, true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteText(from, "new") && WriteText(to, "old"));
        testsupport::RemoveAll(aside);
        if (c.asideTaken) {
            ASSERT_TRUE(WriteText(aside, "someone's"));
        }
        WinSys.getVersion = NinetyEight;
        WinSys.moveFileA = MoveFailingOnce;
        moveFails = c.moveFails;
        EXPECT_TRUE(Is9xFamily(Platform.restart.getVersion()));
        EXPECT_EQ(c.replaced, Platform.restart.replaceFile(from.c_str(), to.c_str()) != 0);
        WinSys = WinSysDefaults;
        std::vector<uint8_t> now = ReadBytes(to);
        EXPECT_EQ(c.replaced ? "new" : "old", std::string(now.begin(), now.end()));
        EXPECT_EQ(!c.replaced, Exists(from));
        EXPECT_EQ(c.asideTaken, Exists(aside));
        testsupport::RemoveAll(from);
        testsupport::RemoveAll(aside);
    }
}

TEST(WinRestart, DeletionAndMoveAreRegisteredEvenWhileHeld)
{
    ScratchDir dir;
    std::string file = dir.file("held.exe"), copy = dir.file("held.exe.qx-000");
    ASSERT_TRUE(WriteText(file, "infected"));
    ASSERT_TRUE(WriteText(copy, "clean"));
    Open holder(file, 0);
    ASSERT_TRUE(holder.ok());
    EXPECT_NE(0, Platform.restart.moveFileAtRestart(file.c_str(), nullptr));
    EXPECT_NE(0, Platform.restart.moveFileAtRestart(copy.c_str(), file.c_str()));
    // Nothing happens before the restart.
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(Exists(copy));

    // The registration is the Session Manager's list, in order: deletion first, then the move.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                            0, KEY_QUERY_VALUE, &key));
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "PendingFileRenameOperations", NULL, NULL, NULL,
                                              &size));
    std::vector<char> list(size + 2, 0);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "PendingFileRenameOperations", NULL, NULL,
                                              (BYTE *)list.data(), &size));
    RegCloseKey(key);
    // Pairs of strings (source, destination; an empty destination is a deletion), each path
    // with the NT prefix "\\??\\" in front.
    std::vector<std::string> strings;
    for (size_t at = 0; at < size && list[at];) {
        strings.emplace_back(list.data() + at);
        at += strings.back().size() + 1;
        if (at < size && !list[at] && strings.size() % 2 == 1) {
            strings.emplace_back();
            at++;
        }
    }
    auto endsWith = [](const std::string &s, const std::string &tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    size_t deletion = std::string::npos, move = std::string::npos;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (endsWith(strings[i], file) && strings[i + 1].empty()) deletion = i;
        if (endsWith(strings[i], copy) && endsWith(strings[i + 1], file)) move = i;
    }
    EXPECT_LT(deletion, move);
}

TEST(WinRestart, WindowsFolderHasNoTrailingSeparatorAndRefusesSmallBuffers)
{
    char folder[MAX_PATH];
    ASSERT_NE(0, Platform.restart.windowsFolder(folder, sizeof folder));
    size_t length = strlen(folder);
    ASSERT_GT(length, 2u);
    EXPECT_NE('\\', folder[length - 1]);
    EXPECT_TRUE(Platform.files.getFileAttributes(folder) & AttrDirectory);
    char tiny[4];
    EXPECT_EQ(0, Platform.restart.windowsFolder(tiny, sizeof tiny));
}

// The NT family's listing is taken in Unicode and each entry converted here: the record must
// carry every field the ANSI listing carries, whatever the caller's record held before.
TEST(WinWideRecord, ReparseTagIsSetOnlyWithTheReparseAttribute)
{
    const struct {
        DWORD attributes, reserved0;
        uint32_t tag;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_REPARSE_POINT, ReparseTagSymlink, ReparseTagSymlink},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, ReparseTagMountPoint,
         ReparseTagMountPoint},
        {FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013u, 0x80000013u},
        {FILE_ATTRIBUTE_NORMAL, 0x12345678u, 0},   // dwReserved0 means nothing without it
    };
    for (const auto &c : cases) {
        WIN32_FIND_DATAW data = {};
        data.dwFileAttributes = c.attributes;
        data.dwReserved0 = c.reserved0;
        wcscpy(data.cFileName, L"entry.exe");
        FindRecord record;
        memset(&record, 0xEF, sizeof record);
        record.reparseTag = 0xDEADBEEFu;
        WinRecordFromWide(&data, &record);
        EXPECT_EQ(c.tag, record.reparseTag) << std::hex << c.attributes;
        EXPECT_EQ(c.attributes, record.attributes);
        EXPECT_STREQ("entry.exe", record.name);
    }
}

// A name the ANSI code page cannot spell is given by its short name; with none (8.3 names are
// often off on data volumes) it must open nothing rather than the file whose name the
// best-fit conversion makes of it ("\u0101.exe" read as "a.exe").
TEST(WinWideRecord, NameWithoutAnExactAnsiFormOpensNoOtherFile)
{
    char probe[8];
    WCHAR back[8];
    int n = WideCharToMultiByte(CP_ACP, 0, L"\u0101", 1, probe, sizeof probe, NULL, NULL);
    if (n > 0 && MultiByteToWideChar(CP_ACP, 0, probe, n, back, 8) == 1 && back[0] == 0x0101)
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " spells \\u0101 exactly";

    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.file("a.exe"), "another file"));
    const struct {
        const wchar_t *name, *shortName;
        const char *expect;   // null: any name that opens nothing
    } cases[] = {
        {L"plain.exe", L"", "plain.exe"},
        {L"\u0101.exe", L"A~1.EXE", "A~1.EXE"},
        {L"\u0101.exe", L"", nullptr},
        {L"x\u0101\u0101y.exe", L"", nullptr},
        {L"a\u0101.exe", L"\u0101~1.EXE", nullptr},   // a short name no better than the long
    };
    for (const auto &c : cases) {
        WIN32_FIND_DATAW data = {};
        data.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
        wcscpy(data.cFileName, c.name);
        wcscpy(data.cAlternateFileName, c.shortName);
        FindRecord record;
        WinRecordFromWide(&data, &record);
        if (c.expect) {
            EXPECT_STREQ(c.expect, record.name);
            continue;
        }
        EXPECT_NE(nullptr, strchr(record.name, '?')) << record.name;
        FileHandle file = Platform.files.openFile(dir.file(record.name).c_str(), 0);
        EXPECT_EQ(InvalidFileHandle, file) << record.name << " opened a file";
        if (file != InvalidFileHandle) Platform.files.closeFile(file);
        EXPECT_EQ(InvalidFileAttributes, Platform.files.getFileAttributes(dir.file(record.name).c_str()));
    }
}

TEST(WinDrives, FixedDrivesAreRootsInLetterOrder)
{
    char roots[MaxFixedDrives][MaxRootPath];
    uint32_t count = Platform.files.fixedDrives(roots, MaxFixedDrives);
    ASSERT_GE(count, 1u) << "no fixed drive at all";
    bool sawC = false;
    for (uint32_t i = 0; i < count; i++) {
        ASSERT_EQ(3u, strlen(roots[i]));
        EXPECT_EQ(':', roots[i][1]);
        EXPECT_EQ('\\', roots[i][2]);
        EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeA(roots[i]));
        if (i > 0) {
            EXPECT_LT(roots[i - 1][0], roots[i][0]);
        }
        sawC |= roots[i][0] == 'C';
    }
    EXPECT_TRUE(sawC);
    EXPECT_EQ(1u, Platform.files.fixedDrives(roots, 1));
    EXPECT_EQ(0u, Platform.files.fixedDrives(roots, 0));
}

TEST(WinRegistry, RunKeyOpensAndEnumeratesPlantedValues)
{
    static const char *const planted[] = {"KrvPlatformTestA", "KrvPlatformTest-Second"};
    HKEY run;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                              0, NULL, 0, KEY_ALL_ACCESS, NULL, &run, NULL));
    for (const char *name : planted)
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(run, name, 0, REG_SZ, (const BYTE *)"c:\\x.exe", 9));

    void *key = Platform.registry.regOpenRunKey(1);
    ASSERT_NE(nullptr, key);
    uint32_t count = 0;
    ASSERT_NE(0, Platform.registry.regValueCount(key, &count));
    EXPECT_GE(count, 2u);
    std::set<std::string> names;
    for (uint32_t i = 0; i < count; i++) {
        char name[256];
        uint32_t length = 255;
        ASSERT_NE(0, Platform.registry.regEnumValue(key, i, name, &length)) << i;
        EXPECT_EQ(strlen(name), length);
        names.insert(name);
    }
    for (const char *name : planted) EXPECT_EQ(1u, names.count(name)) << name;
    // A name longer than the buffer is no name.
    char small[8];
    uint32_t smallLength = sizeof small;
    bool anyTooLong = false;
    for (uint32_t i = 0; i < count; i++) {
        smallLength = sizeof small;
        if (!Platform.registry.regEnumValue(key, i, small, &smallLength)) anyTooLong = true;
    }
    EXPECT_TRUE(anyTooLong);
    EXPECT_EQ(0, Platform.registry.regEnumValue(key, count, small, &smallLength));

    EXPECT_NE(0, Platform.registry.regDeleteValue(key, planted[0]));
    uint32_t after = 0;
    ASSERT_NE(0, Platform.registry.regValueCount(key, &after));
    EXPECT_EQ(count - 1, after);
    Platform.registry.regCloseKey(key);

    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExA(run, planted[0], NULL, NULL, NULL, NULL));
    RegDeleteValueA(run, planted[1]);
    RegCloseKey(run);
}


// The restart folder's rights, read from the descriptor as the system gives it: only the
// administrators' and the system's may let anyone change the folder or what it holds.
namespace {

std::vector<uint8_t> Sid(uint8_t count, uint32_t first, uint32_t second = 0)
{
    std::vector<uint8_t> sid = {1, count, 0, 0, 0, 0, 0, 5};
    for (uint32_t value : {first, second})
        for (int i = 0; i < 4 && sid.size() < 8u + 4u * count; i++)
            sid.push_back((uint8_t)(value >> (8 * i)));
    return sid;
}
const std::vector<uint8_t> SystemSid = Sid(1, 18), AdminsSid = Sid(2, 32, 544),
                           UsersSid = Sid(2, 32, 545), WineUserSid = Sid(5, 21);

struct Ace {
    uint8_t type, flags;
    uint32_t mask;
    std::vector<uint8_t> sid;
};

// A self-relative descriptor: header, owner, then the DACL with `aces` (none at all: no DACL).
std::vector<uint8_t> Descriptor(const std::vector<uint8_t> &owner, const std::vector<Ace> &aces,
                                bool dacl = true)
{
    std::vector<uint8_t> d(20, 0);
    d[0] = 1;
    uint16_t control = 0x8000 | (dacl ? 0x0004 : 0);
    d[2] = (uint8_t)control;
    d[3] = (uint8_t)(control >> 8);
    d[4] = 20;
    for (uint8_t byte : owner)
        d.push_back(byte);
    if (!dacl)
        return d;
    uint32_t at = (uint32_t)d.size();
    std::memcpy(&d[16], &at, 4);
    std::vector<uint8_t> acl = {2, 0, 0, 0, (uint8_t)aces.size(), 0, 0, 0};
    for (const Ace &a : aces) {
        uint16_t size = (uint16_t)(8 + a.sid.size());
        acl.insert(acl.end(), {a.type, a.flags, (uint8_t)size, (uint8_t)(size >> 8)});
        for (int i = 0; i < 4; i++)
            acl.push_back((uint8_t)(a.mask >> (8 * i)));
        acl.insert(acl.end(), a.sid.begin(), a.sid.end());
    }
    acl[2] = (uint8_t)acl.size();
    acl[3] = (uint8_t)(acl.size() >> 8);
    d.insert(d.end(), acl.begin(), acl.end());
    return d;
}

}  // namespace

TEST(WinRestartFolder, OnlyAdministratorsAndTheSystemMayWrite)
{
    const uint32_t all = 0x1F01FF, read = 0x1200A9;
    const Ace admins = {0, 3, all, AdminsSid}, system = {0, 3, all, SystemSid};
    std::vector<uint8_t> cut = Descriptor(AdminsSid, {admins, system});
    cut.resize(cut.size() - 4);
    std::vector<uint8_t> aceTooLong = Descriptor(AdminsSid, {admins});
    aceTooLong[aceTooLong.size() - AdminsSid.size() - 6] = 200;
    const struct {
        const char *what;
        std::vector<uint8_t> descriptor;
        int trusted;
    } cases[] = {
        {"the folder as made", Descriptor(AdminsSid, {admins, system}), 1},
        {"owned by the system, users may read", Descriptor(SystemSid, {system, {0, 3, read, UsersSid}}), 1},
        {"users denied, or given rights over entries only",
         Descriptor(AdminsSid, {admins, {1, 0, all, UsersSid}, {0, 0x0B, all, UsersSid}}), 1},
        {"owned by a user (what Wine reports)", Descriptor(WineUserSid, {system, admins}), 0},
        {"users may add a file", Descriptor(AdminsSid, {admins, {0, 0, 0x2, UsersSid}}), 0},
        {"users may change its rights", Descriptor(AdminsSid, {admins, {0, 0, 0x40000, UsersSid}}), 0},
        {"users have the generic write right", Descriptor(AdminsSid, {admins, {0, 0, 0x40000000, UsersSid}}), 0},
        {"a kind of entry not read", Descriptor(AdminsSid, {admins, {5, 0, read, UsersSid}}), 0},
        {"no DACL: everyone may do everything", Descriptor(AdminsSid, {}, false), 0},
        {"cut short", cut, 0},
        {"an entry longer than its list", aceTooLong, 0},
        {"nothing", {}, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.trusted, WinOnlyAdministratorsWrite(c.descriptor.data(), (uint32_t)c.descriptor.size()))
            << c.what;
}

#endif  // _WIN32

// ---- writing the restart profile file ---------------------------------------------------

TEST(WriteWholeFile, CreatesAndTruncates)
{
    ScratchDir dir;
    std::string path = dir.file("wininit.ini");
    ASSERT_NE(0, Platform.restart.writeWholeFile(path.c_str(), "[rename]\r\nNUL=C:\\a.exe\r\n", 24));
    EXPECT_EQ(24u, ReadBytes(path).size());
    ASSERT_NE(0, Platform.restart.writeWholeFile(path.c_str(), "[rename]\r\n", 10));
    std::vector<uint8_t> text = ReadBytes(path);
    EXPECT_EQ(std::string("[rename]\r\n"), std::string(text.begin(), text.end()));
    ASSERT_NE(0, Platform.restart.writeWholeFile(path.c_str(), "", 0));
    EXPECT_TRUE(ReadBytes(path).empty());
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(0, Platform.restart.writeWholeFile(dir.file("no folder/x.ini").c_str(), "x", 1));
}
