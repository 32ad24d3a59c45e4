// Under Wine playing Windows 98 SE: the restart-time list in wininit.ini when an earlier run
// left the old file aside as "wininit.ini~" (a process ended between the replacement's two
// moves), the replacement's own way back when the new file cannot take its place, and the
// checksum's fast path, which 98 SE allows.
#include "disinfect/restart.h"
#include "disinfect/workflow.h"
#include "engine/fileio.h"
#include "engine/signature.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "tools/samples.h"
#include "engine/crc32.h"
#include "base/text.h"
#include "platform/platform.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <cpuid.h>
#include <string>
#include <cstring>
#include <windows.h>

using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::ScratchDir;
using testsupport::WriteText;

namespace {

std::string windowsDir;
int ScratchWindowsFolder(char *out, uint32_t size)
{
    return CopyText(out, size, windowsDir.c_str());
}

// Writes as the platform does, then holds a new wininit.krv open without letting it be moved or
// deleted: the replacement's move of it into place fails for real.
HANDLE held = INVALID_HANDLE_VALUE;
int WriteAndHoldNew(const char *path, const void *data, uint32_t size)
{
    int ok = PlatformDefaults.restart.writeWholeFile(path, data, size);
    std::string name = path;
    if (ok && name.size() >= 11 && name.compare(name.size() - 11, 11, "wininit.krv") == 0 &&
        held == INVALID_HANDLE_VALUE)
        held = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    return ok;
}

class Win98 : public ::testing::Test {
protected:
    ScratchDir scratch;
    void SetUp() override
    {
        ASSERT_NE(0u, GetVersion() & 0x80000000u)
            << "this program needs Wine's Version win98 (scripts/wineprefix.sh)";
        windowsDir = scratch.path();
        Platform.restart.windowsFolder = ScratchWindowsFolder;
    }
    void TearDown() override
    {
        PlatformRestore();
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }
    std::string Read(const std::string &name)
    {
        std::vector<uint8_t> bytes = ReadBytes(scratch.file(name));
        return std::string(bytes.begin(), bytes.end());
    }
};

const char Mine[] = "NUL=C:\\a.exe\r\n";

}  // namespace

// A leftover "wininit.ini~" is never deleted unread: alone, it is the file to start from; beside
// a newer wininit.ini, both are kept whole, every section and line, the older entries first (a
// line both hold only once), so that an older deletion never undoes a newer install.
TEST_F(Win98, LeftoverAsideIsTakenBackInOlderEntriesFirst)
{
    const std::string vxd = "[CombineVxDs]\r\nC:\\WINDOWS\\SYSTEM\\VMM32\\IOS.VXD=C:\\WINDOWS\\SYSTEM\\IOS.VXD\r\n";
    const struct {
        const char *what, *ini;
        std::string aside, after;
    } cases[] = {
        {"only the file set aside", nullptr, "[rename]\r\nNUL=C:\\OTHER.EXE\r\n",
         "[rename]\r\nNUL=C:\\OTHER.EXE\r\n" + std::string(Mine)},
        {"an older deletion, a newer install, another program's section",
         "[rename]\r\nC:\\APP.DLL=C:\\APP.NEW\r\n", "[rename]\r\nNUL=C:\\APP.DLL\r\n" + vxd,
         "[rename]\r\nNUL=C:\\APP.DLL\r\nC:\\APP.DLL=C:\\APP.NEW\r\n" + std::string(Mine) + vxd},
        {"both files", "[boot]\r\nshell=explorer.exe\r\n[rename]\r\nNUL=C:\\ONE.EXE\r\n",
         "[rename]\r\n  nul=c:\\one.exe\r\nNUL=C:\\TWO.EXE\r\n\r\n[other]\r\nNUL=C:\\NOT.EXE\r\n",
         "[rename]\r\n  nul=c:\\one.exe\r\nNUL=C:\\TWO.EXE\r\n" + std::string(Mine) +
             "\r\n[other]\r\nNUL=C:\\NOT.EXE\r\n[boot]\r\nshell=explorer.exe\r\n"},
        {"an empty file set aside", "[rename]\r\nNUL=C:\\ONE.EXE\r\n", "",
         "[rename]\r\nNUL=C:\\ONE.EXE\r\n" + std::string(Mine)},
        {"an empty wininit.ini", "", "[rename]\nC:\\B.EXE=C:\\B.EXE.QX-000\n",
         "[rename]\nC:\\B.EXE=C:\\B.EXE.QX-000\n" + std::string(Mine)},
    };
    for (const auto &c : cases) {
        DeleteFileA(scratch.file("wininit.ini").c_str());
        if (c.ini) {
            ASSERT_TRUE(WriteText(scratch.file("wininit.ini"), c.ini));
        }
        ASSERT_TRUE(WriteText(scratch.file("wininit.ini~"), c.aside));
        EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a.exe")) << c.what;
        EXPECT_EQ(c.after, Read("wininit.ini")) << c.what;
        EXPECT_FALSE(Exists(scratch.file("wininit.ini~"))) << c.what;
        EXPECT_FALSE(Exists(scratch.file("wininit.krv"))) << c.what;
    }
}

// The new file cannot take the old one's place (held open by someone): the old wininit.ini
// comes back as it was, and what was set aside is still there; once the file is free the
// next registration keeps everything.
TEST_F(Win98, OldFileComesBackWhenTheNewOneCannotTakeItsPlace)
{
    const std::string ini = "[rename]\r\nNUL=C:\\ONE.EXE\r\n";
    for (const char *aside : {(const char *)nullptr, "[rename]\r\nNUL=C:\\TWO.EXE\r\n"}) {
        SCOPED_TRACE(aside ? "with a file set aside" : "nothing set aside");
        DeleteFileA(scratch.file("wininit.ini~").c_str());
        ASSERT_TRUE(WriteText(scratch.file("wininit.ini"), ini));
        if (aside) {
            ASSERT_TRUE(WriteText(scratch.file("wininit.ini~"), aside));
        }
        Platform.restart.writeWholeFile = WriteAndHoldNew;
        EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe"));
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(ini, Read("wininit.ini"));
        if (aside) {
            EXPECT_NE(std::string::npos, Read("wininit.ini~").find("NUL=C:\\TWO.EXE\r\n"));
        } else {
            EXPECT_FALSE(Exists(scratch.file("wininit.ini~")));
        }

        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
        Platform.restart.writeWholeFile = PlatformDefaults.restart.writeWholeFile;
        EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a.exe"));
        EXPECT_EQ(std::string(aside ? "[rename]\r\nNUL=C:\\TWO.EXE\r\nNUL=C:\\ONE.EXE\r\n" : ini) + Mine,
                  Read("wininit.ini"));
        EXPECT_FALSE(Exists(scratch.file("wininit.ini~")));
    }
}

// The worm ends while its copy is cleaned and takes its file with it: the clean copy takes the
// file's name at once, nothing is written for the restart (the 9x family keeps the plain calls).
namespace {
HANDLE holder = INVALID_HANDLE_VALUE;
std::string heldPath;
int32_t CleanerWhileTheHolderEnds(ScanContext *context)
{
    if (holder != INVALID_HANDLE_VALUE) {
        CloseHandle(holder);
        holder = INVALID_HANDLE_VALUE;
        DeleteFileA(heldPath.c_str());
    }
    static const char patch[] = "cleaned-cleaned-";
    FileSeek(context->file, 0x1000, SeekFromStart);
    DWORD written = 0;
    WriteFile((HANDLE)context->file, patch, 16, &written, NULL);
    return written == 16 ? CleanResult::Cleaned : CleanResult::AccessError;
}
}  // namespace

TEST_F(Win98, CleanCopyTakesTheNameAtOnceWhenTheFileIsGone)
{
    testsupport::RecordingDisplay display;
    heldPath = scratch.file("app.exe");
    const std::string copy = heldPath + ".qx-000";
    ASSERT_TRUE(testsupport::WriteBytes(heldPath, samples::MakeSample(samples::InfectedEntry1)));
    holder = CreateFileA(heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Cleaner = CleanerWhileTheHolderEnds;
    const char *paths[] = {heldPath.c_str()};
    ScanContinue.store(1);
    ScanGivenPaths(paths, 1);
    Cleaner = CleanFile;
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    holder = INVALID_HANDLE_VALUE;

    const std::string infected = testsupport::InfectedStatus();
    EXPECT_EQ((std::vector<testsupport::Row>{{heldPath, infected},
                                             {heldPath, StatusCopying},
                                             {copy, infected},
                                             {copy, StatusCleaned},
                                             {heldPath, StatusCleanedAtRestart}}),
              display.rows);
    EXPECT_EQ(1, ScanCounters.cleanedAtRestart);
    EXPECT_FALSE(Exists(copy));
    EXPECT_FALSE(Exists(scratch.file("wininit.ini")));
    std::vector<uint8_t> cleaned = ReadBytes(heldPath);
    ASSERT_LT(0x1010u, cleaned.size());
    EXPECT_EQ(0, memcmp(cleaned.data() + 0x1000, "cleaned-cleaned-", 16));
}

// Windows 98 SE saves the SSE registers: the fast path runs where the processor has it.
TEST_F(Win98, ChecksumFastPathWhereTheProcessorHasIt)
{
    SystemVersion system;
    ASSERT_NE(0, Platform.restart.systemVersion(&system));
    EXPECT_EQ(System9x, system.family);
    EXPECT_EQ(4u, system.major);
    EXPECT_EQ(10u, system.minor);
    EXPECT_EQ(2222u, system.build);
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    EXPECT_EQ((ecx & CpuidPclmul) && (ecx & CpuidSse41) ? 1 : 0, Crc32HasClmul());
}
