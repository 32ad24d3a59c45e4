// The safe file procedures beneath every writer of the POSIX build (the deletion's aside name,
// the quarantine, the log), with faults injected beneath them through PosixSys: the rules above
// the raw calls run as they do in a scan.
#include "platform/platform.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/platform_hooks.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

using testsupport::MakeDir;
using testsupport::ReadBytes;
using testsupport::ScratchDir;
using testsupport::WriteText;

namespace {

std::string Text(const std::string &path)
{
    std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Every test puts the raw calls back, whatever it injected.
class PosixSafe : public ::testing::Test {
protected:
    ScratchDir dir;
    void TearDown() override
    {
        PosixSys = PosixSysDefaults;
        PlatformRestore();
    }
};

// Random bytes whose first draw someone has guessed: 0xAB each; the later ones differ.
int randomCalls;
ssize_t GuessedFirst(void *out, size_t size)
{
    memset(out, randomCalls++ == 0 ? 0xAB : 0x10 + randomCalls, size);
    return (ssize_t)size;
}

// The entry in hand for `path`, a file of `folder`, opened and identified as the scan does.
struct InHandFile {
    FindHandle find = InvalidFindHandle;
    InHandFile(const std::string &folder, const std::string &path)
    {
        FindRecord record;
        find = Platform.files.findFirst((folder + "/*.*").c_str(), &record);
        InHand = {find, path.c_str(), (uint32_t)folder.size() + 1, 0, 0, 0, 0};
        FileHandle read = Platform.files.openFile(path.c_str(), 0);
        EXPECT_NE(InvalidFileHandle, read);
        if (read != InvalidFileHandle) {
            EXPECT_NE(0, Platform.files.identifyFile(read));
            Platform.files.closeFile(read);
        }
    }
    ~InHandFile()
    {
        InHand.listing = InvalidFindHandle;
        Platform.files.findClose(find);
    }
};

// Someone who can write in the folder plants the name the deletion would move the file aside
// to: the deletion takes another name, and what was planted stays as it was.
TEST_F(PosixSafe, ADeletionPassesByAnAsideNamePlantedInAdvance)
{
    const std::string worm = dir.file("worm.exe");
    ASSERT_TRUE(WriteText(worm, "MZ worm"));
    // The name the deletion tries first, which the planter has guessed.
    const std::string planted = ".krv." + std::to_string(getpid()) + ".abababababababab.del";
    ASSERT_TRUE(WriteText(dir.file(planted), "someone else's"));
    randomCalls = 0;
    PosixSys.getrandom = GuessedFirst;
    InHandFile entry(dir.path(), worm);
    EXPECT_NE(0, Platform.files.deleteFile(worm.c_str()));
    EXPECT_FALSE(testsupport::Exists(worm));
    EXPECT_EQ("someone else's", Text(dir.file(planted)));
    EXPECT_GE(randomCalls, 2) << "the planted name was not met";
}

// A record of the log is whole or absent, whatever the disk does beneath it; a part of a line
// that a run which died left at the end never has the next record glued to it.
ssize_t writeBudget;   // bytes the next writes may still put down before the disk is full
ssize_t FullDisk(int fd, const void *buffer, size_t count)
{
    if (writeBudget <= 0) {
        errno = ENOSPC;
        return -1;
    }
    size_t n = count < (size_t)writeBudget ? count : (size_t)writeBudget;
    writeBudget -= (ssize_t)n;
    return PosixSysDefaults.write(fd, buffer, n);
}

TEST_F(PosixSafe, ALogRecordIsWholeOrAbsent)
{
    const struct {
        const char *name;
        std::string before;                  // the log as an earlier run left it
        std::vector<std::string> pieces;     // one record, in pieces
        ssize_t budget;                      // bytes the disk takes; -1: no limit
        std::string after;
    } cases[] = {
        {"a record written whole", "a\n", {"rec\n"}, -1, "a\nrec\n"},
        {"a record in pieces", "a\n", {"re", "c\n"}, -1, "a\nrec\n"},
        {"the disk fills in the middle", "a\n", {"record\n"}, 3, "a\n"},
        {"the disk fills at the second piece", "a\n", {"first ", "second\n"}, 7, "a\n"},
        {"a dead run's part of a line", "a\nhalf", {"rec\n"}, -1, "a\nrec\n"},
        {"no newline at all", "half", {"rec\n"}, -1, "half\nrec\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("scan.log");
        unlink(path.c_str());
        ASSERT_TRUE(WriteText(path, c.before));
        ASSERT_EQ(0, chmod(path.c_str(), 0600));
        FileHandle log = InvalidFileHandle;
        ASSERT_EQ(LogReady, Platform.store.openLog(path.c_str(), &log));
        writeBudget = c.budget;
        if (c.budget >= 0) PosixSys.write = FullDisk;
        int ok = 1;
        for (size_t i = 0; i < c.pieces.size() && ok; i++)
            ok = Platform.store.appendLog(log, c.pieces[i].data(), (uint32_t)c.pieces[i].size(),
                                    i + 1 < c.pieces.size());
        PosixSys = PosixSysDefaults;
        EXPECT_EQ(c.budget < 0, ok != 0);
        // The record after a failed one lands on a line of its own.
        EXPECT_NE(0, Platform.store.appendLog(log, "next\n", 5, 0));
        Platform.files.closeFile(log);
        EXPECT_EQ(c.after + "next\n", Text(path));
    }
}

// Where the log, the store or a file put back is named through a link anywhere on the way, it
// is refused: the folder checked must be the folder written in. A sticky folder counts only
// when it is the running user's or root's.
TEST_F(PosixSafe, APathWithALinkOnTheWayIsRefusedToEveryWriter)
{
    const std::string real = dir.file("real"), link = dir.file("link");
    ASSERT_TRUE(MakeDir(real));
    ASSERT_EQ(0, chmod(real.c_str(), 0700));
    ASSERT_TRUE(MakeDir(real + "/logs"));
    ASSERT_EQ(0, chmod((real + "/logs").c_str(), 0700));
    ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
    FileHandle handle = InvalidFileHandle;
    EXPECT_EQ(LogLinkOnWay, Platform.store.openLog((link + "/logs/scan.log").c_str(), &handle));
    EXPECT_FALSE(testsupport::Exists(real + "/logs/scan.log"));
    uint64_t volume, inode;
    EXPECT_EQ(StoreNotFolder, Platform.store.openStore((link + "/logs/q").c_str(), 1, "index.jsonl",
                                                 &handle, &volume, &inode));
    EXPECT_FALSE(testsupport::Exists(real + "/logs/q"));
    EXPECT_EQ(RestoreLinkOnWay, Platform.store.createRestored((link + "/logs/w.exe").c_str(), &handle));
    // Through the real path, both are taken.
    ASSERT_EQ(LogReady, Platform.store.openLog((real + "/logs/scan.log").c_str(), &handle));
    Platform.files.closeFile(handle);
    if (geteuid() != 0) return;
    // A sticky folder of another user's: he may rename and remove anything in it.
    const std::string sticky = dir.file("sticky");
    ASSERT_TRUE(MakeDir(sticky));
    ASSERT_EQ(0, chmod(sticky.c_str(), 01777));
    ASSERT_EQ(0, chown(sticky.c_str(), 65534, 65534));
    EXPECT_EQ(LogFolderOpen, Platform.store.openLog((sticky + "/scan.log").c_str(), &handle));
    ASSERT_EQ(0, chown(sticky.c_str(), 0, 0));
    ASSERT_EQ(LogReady, Platform.store.openLog((sticky + "/scan.log").c_str(), &handle));
    Platform.files.closeFile(handle);
}

// A finished copy takes its name without ever replacing what is there, on a file system that
// knows RENAME_NOREPLACE and on one that does not (the link fallback).
int NoRenameNoReplace(int fromFolder, const char *from, int toFolder, const char *to,
                      unsigned flags)
{
    if (flags) {
        errno = EINVAL;
        return -1;
    }
    return PosixSysDefaults.renameat2(fromFolder, from, toFolder, to, 0);
}

TEST_F(PosixSafe, ACopyTakesItsNameWithoutReplacingWithOrWithoutRenameNoReplace)
{
    for (int fallback = 0; fallback < 2; fallback++) {
        SCOPED_TRACE(fallback ? "link fallback" : "RENAME_NOREPLACE");
        const std::string store = dir.file(fallback ? "q2" : "q1");
        FileHandle index = InvalidFileHandle;
        uint64_t volume, inode;
        ASSERT_EQ(StoreReady, Platform.store.openStore(store.c_str(), 1, "index.jsonl", &index,
                                                 &volume, &inode));
        if (fallback) PosixSys.renameat2 = NoRenameNoReplace;
        ASSERT_TRUE(WriteText(store + "/taken", "there first"));
        for (const char *to : {"taken", "free"}) {
            char made[128];
            FileHandle copy = Platform.store.createStored("copy", made, sizeof made);
            ASSERT_NE(InvalidFileHandle, copy);
            EXPECT_EQ(5u, Platform.store.writeFile(copy, "bytes", 5));
            int placed = Platform.store.placeStored(copy, made, to);
            EXPECT_EQ(std::string(to) == "free", placed != 0) << to;
            if (!placed) Platform.store.removeStored(copy, made);
            Platform.files.closeFile(copy);
            EXPECT_FALSE(testsupport::Exists(store + "/" + made)) << made;
        }
        EXPECT_EQ("there first", Text(store + "/taken"));
        EXPECT_EQ("bytes", Text(store + "/free"));
        PosixSys = PosixSysDefaults;
        Platform.files.closeFile(index);
        Platform.store.closeStore();
    }
}

// The sweep removes what a killed run left half made, and nothing else: not a file of a run
// that still runs, not another user's, not a link or a file with a second name, not a name of
// another shape.
void Record(const char *name, void *context)
{
    ((std::vector<std::string> *)context)->push_back(name);
}

TEST_F(PosixSafe, TheSweepRemovesOnlyLeftoversOfRunsThatEnded)
{
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);   // its number names a run that no longer runs
    const std::string store = dir.file("q");
    FileHandle index = InvalidFileHandle;
    uint64_t volume, inode;
    ASSERT_EQ(StoreReady, Platform.store.openStore(store.c_str(), 1, "index.jsonl", &index, &volume,
                                             &inode));
    auto name = [](long pid) { return "ab12." + std::to_string(pid) + ".0123456789abcdef.tmp"; };
    const std::string dead = name(child), live = name(getppid()), linked = name(child + 100000),
                      twoNames = "x." + std::to_string(child) + ".00000000000000ff.tmp",
                      shape = "ab12." + std::to_string(child) + ".0123.tmp";
    for (const std::string &file : {dead, live, twoNames, shape})
        ASSERT_TRUE(WriteText(store + "/" + file, "half"));
    ASSERT_EQ(0, link((store + "/" + twoNames).c_str(), (store + "/second").c_str()));
    ASSERT_EQ(0, symlink("index.jsonl", (store + "/" + linked).c_str()));
    std::string theirs;
    if (geteuid() == 0) {
        theirs = "cd." + std::to_string(child) + ".fedcba9876543210.tmp";
        ASSERT_TRUE(WriteText(store + "/" + theirs, "his"));
        ASSERT_EQ(0, chown((store + "/" + theirs).c_str(), 65534, 65534));
    }
    std::vector<std::string> swept;
    EXPECT_EQ(1, Platform.store.sweepStore(Record, &swept));
    EXPECT_EQ(std::vector<std::string>{dead}, swept);
    EXPECT_FALSE(testsupport::Exists(store + "/" + dead));
    for (const std::string &file : {live, twoNames, shape, linked, theirs})
        if (!file.empty()) {
            struct stat st;
            EXPECT_EQ(0, lstat((store + "/" + file).c_str(), &st)) << file;
        }
    Platform.files.closeFile(index);
    Platform.store.closeStore();
}

// A file put back takes its name only when it is whole: a commit that fails beneath the rules
// (the rename refused, the disk gone) leaves nothing under the name and no temporary beside it;
// one that succeeds leaves the file alone, under its name.
int RenameFails(int, const char *, int, const char *, unsigned)
{
    errno = EIO;
    return -1;
}

TEST_F(PosixSafe, AFilePutBackHasItsNameWholeOrNotAtAll)
{
    FileFacts facts = {};
    facts.mode = 0100640;
    facts.owner = geteuid();
    facts.group = getegid();
    for (int fails = 0; fails < 2; fails++) {
        SCOPED_TRACE(fails ? "the commit fails" : "the commit succeeds");
        const std::string path = dir.file("back.exe");
        FileHandle file = InvalidFileHandle;
        ASSERT_EQ(RestoreReady, Platform.store.createRestored(path.c_str(), &file));
        EXPECT_FALSE(testsupport::Exists(path)) << "the name is taken before the file is whole";
        EXPECT_EQ(5u, Platform.store.writeFile(file, "whole", 5));
        if (fails) PosixSys.renameat2 = RenameFails;
        EXPECT_EQ(!fails, Platform.store.finishRestored(file, &facts, 1) != 0);
        PosixSys = PosixSysDefaults;
        EXPECT_EQ(fails ? "" : "whole", Text(path));
        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(fails ? std::vector<std::string>{} : std::vector<std::string>{"back.exe"}, left);
        unlink(path.c_str());
    }
}

}  // namespace
#endif
