// Restart-time operations: the family chosen from bit 31 of the version word on every call,
// the NT family's two registrations in order, and the 9x family's lines in wininit.ini, which
// must stand side by side with whatever other programs left there.
#include "disinfect/restart.h"
#include "base/text.h"
#include "tests/disinfect/workflow_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using testsupport::Exists;

static std::string windowsDir;
static int ScratchWindowsFolder(char *out, uint32_t size)
{
    return CopyText(out, size, windowsDir.c_str());
}
static int NoWindowsFolder(char *, uint32_t) { return 0; }

static uint32_t versionWord;
static int versionReads;
static uint32_t Version(void)
{
    versionReads++;
    return versionWord;
}

static std::vector<std::pair<std::string, std::string>> restartCalls;
static std::vector<int> restartAnswers;   // one per call, then 1
static int RecordRestartMove(const char *from, const char *to)
{
    restartCalls.push_back({from, to ? to : "<null>"});
    size_t i = restartCalls.size() - 1;
    return i < restartAnswers.size() ? restartAnswers[i] : 1;
}

static int moveCalls;
static int RefusingMove(const char *, const char *) { moveCalls++; return 0; }

static int FailingWrite(const char *, const void *, uint32_t) { return 0; }

class Restart : public WorkflowTest {
protected:
    void ResetRecords() override
    {
        windowsDir = scratch.path();
        versionWord = 0;
        versionReads = 0;
        restartCalls.clear();
        restartAnswers.clear();
        moveCalls = 0;
        Platform.restart.windowsFolder = ScratchWindowsFolder;
        Platform.restart.getVersion = Version;
        Platform.restart.moveFileAtRestart = RecordRestartMove;
    }
    std::string Wininit() { return scratch.file("wininit.ini"); }
    std::string ReadWininit()
    {
        std::vector<uint8_t> bytes = testsupport::ReadBytes(Wininit());
        return std::string(bytes.begin(), bytes.end());
    }
};

// ---- the text of the [rename] section -------------------------------------------------------

static std::string Insert(const std::string &ini, const std::string &line, uint32_t room = 4096)
{
    std::vector<char> out(room);
    uint32_t n = InsertRenameLine(ini.data(), (uint32_t)ini.size(), line.c_str(), out.data(), room);
    return std::string(out.data(), n);
}

TEST(InsertRenameLine, CreatesTheSectionWhenMissing)
{
    EXPECT_EQ("[rename]\r\nNUL=C:\\a.exe\r\n", Insert("", "NUL=C:\\a.exe"));
    EXPECT_EQ("[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\a.exe\r\n",
              Insert("[boot]\r\nx=1\r\n", "NUL=C:\\a.exe"));
    // A last line without its line break gets one before the new section.
    EXPECT_EQ("[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\a.exe\r\n", Insert("[boot]\r\nx=1", "NUL=C:\\a.exe"));
}

TEST(InsertRenameLine, AppendsAfterTheSectionsLastEntryKeepingEveryOther)
{
    const std::string ini = "[boot]\r\na=1\r\n[rename]\r\nNUL=C:\\other.exe\r\nC:\\b.dll=C:\\b.new\r\n"
                            "\r\n[tail]\r\nz=9\r\n";
    EXPECT_EQ("[boot]\r\na=1\r\n[rename]\r\nNUL=C:\\other.exe\r\nC:\\b.dll=C:\\b.new\r\n"
              "NUL=C:\\mine.exe\r\n\r\n[tail]\r\nz=9\r\n",
              Insert(ini, "NUL=C:\\mine.exe"));
}

TEST(InsertRenameLine, FindsTheSectionInAnyCaseAndLayout)
{
    EXPECT_EQ("[Rename]\r\nNUL=C:\\x\r\nNUL=C:\\y\r\n", Insert("[Rename]\r\nNUL=C:\\x\r\n", "NUL=C:\\y"));
    EXPECT_EQ("  [RENAME]  \nNUL=C:\\x\nNUL=C:\\y\r\n", Insert("  [RENAME]  \nNUL=C:\\x\n", "NUL=C:\\y"));
    // The header as the file's last line, without a line break.
    EXPECT_EQ("[rename]\r\nNUL=C:\\y\r\n", Insert("[rename]", "NUL=C:\\y"));
    // The last entry without a line break.
    EXPECT_EQ("[rename]\r\nNUL=C:\\x\r\nNUL=C:\\y\r\n", Insert("[rename]\r\nNUL=C:\\x", "NUL=C:\\y"));
    // "[renamed]" is another section.
    EXPECT_EQ("[renamed]\r\nq=1\r\n[rename]\r\nNUL=C:\\y\r\n", Insert("[renamed]\r\nq=1\r\n", "NUL=C:\\y"));
}

TEST(InsertRenameLine, AnswersZeroWhenTheResultWouldNotFit)
{
    const std::string ini = "[rename]\r\nNUL=C:\\x\r\n";
    const std::string expected = ini + "NUL=C:\\y\r\n";
    EXPECT_EQ(expected, Insert(ini, "NUL=C:\\y", (uint32_t)expected.size()));
    std::vector<char> out(expected.size() - 1);
    EXPECT_EQ(0u, InsertRenameLine(ini.data(), (uint32_t)ini.size(), "NUL=C:\\y", out.data(),
                                   (uint32_t)out.size()));
}

// ---- wininit.ini on disk ------------------------------------------------------------------

TEST_F(Restart, NineXFamilyWritesDestinationEqualsSourceLinesSideBySide)
{
    versionWord = 0xC0000A04u;
    ASSERT_TRUE(testsupport::WriteText(Wininit(), "[rename]\r\nNUL=C:\\OTHER\\PROG.EXE\r\n"));
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a\\one.exe"));
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a\\two.exe"));
    EXPECT_EQ(1, ScheduleReplaceAtRestart("C:\\a\\three.exe.qx-000", "C:\\a\\three.exe", nullptr));
    EXPECT_EQ("[rename]\r\nNUL=C:\\OTHER\\PROG.EXE\r\nNUL=C:\\a\\one.exe\r\nNUL=C:\\a\\two.exe\r\n"
              "C:\\a\\three.exe=C:\\a\\three.exe.qx-000\r\n",
              ReadWininit());
    EXPECT_TRUE(restartCalls.empty());
    EXPECT_EQ(3, versionReads);
}

// The 9x start-up runs before long names exist: the lines name the files by their short names.
static int ShortName(const char *path, char *out, uint32_t size)
{
    std::string p = path;
    if (p == "C:\\Program Files\\Tool\\worm host.exe")
        return CopyText(out, size, "C:\\PROGRA~1\\TOOL\\WORMHO~1.EXE");
    if (p == "C:\\Program Files\\Tool\\worm host.exe.qx-000")
        return CopyText(out, size, "C:\\PROGRA~1\\TOOL\\WORMHO~1.QX-");
    return 0;
}

TEST_F(Restart, NineXFamilyWritesShortNamesWhereThereAreAny)
{
    versionWord = 0x80000000u;
    Platform.restart.shortPath = ShortName;
    Platform.files.moveFile = RefusingMove;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\Program Files\\Tool\\worm host.exe"));
    EXPECT_EQ(1, ScheduleReplaceAtRestart("C:\\Program Files\\Tool\\worm host.exe.qx-000",
                                          "C:\\Program Files\\Tool\\worm host.exe", nullptr));
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\no short form.exe"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\PROGRA~1\\TOOL\\WORMHO~1.EXE\r\n"
              "C:\\PROGRA~1\\TOOL\\WORMHO~1.EXE=C:\\PROGRA~1\\TOOL\\WORMHO~1.QX-\r\n"
              "NUL=C:\\no short form.exe\r\n",
              ReadWininit());
}

TEST_F(Restart, NineXFamilyCreatesTheFile)
{
    versionWord = 0x80000000u;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\held.exe"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\held.exe\r\n", ReadWininit());
}

TEST_F(Restart, NineXFamilyFailuresWriteNothing)
{
    versionWord = 0xC0000A04u;
    const std::string before = "[rename]\r\nNUL=C:\\OTHER.EXE\r\n";
    ASSERT_TRUE(testsupport::WriteText(Wininit(), before));

    // A file that exists but cannot be read must not be replaced by our line alone.
    FileHandle hold = Platform.files.openFile(Wininit().c_str(), 1);
    ASSERT_NE(InvalidFileHandle, hold);
    EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe"));
    Platform.files.closeFile(hold);

    // A destination with "=" would be split at the wrong place; line breaks would make two.
    EXPECT_EQ(0, ScheduleReplaceAtRestart("C:\\a.exe.qx-000", "C:\\a=b.exe", nullptr));
    EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe\r\nNUL=C:\\windows\\system.ini"));
    EXPECT_EQ(before, ReadWininit());

    Platform.restart.writeWholeFile = FailingWrite;
    EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe"));
    Platform.restart.windowsFolder = NoWindowsFolder;
    EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe"));
    EXPECT_EQ(before, ReadWininit());
    // A source with "=" is fine: the line is split at its first "=".
    Platform.restart.windowsFolder = ScratchWindowsFolder;
    PlatformOps real = PlatformDefaults;
    Platform.restart.writeWholeFile = real.restart.writeWholeFile;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a=b.exe"));
    EXPECT_EQ(before + "NUL=C:\\a=b.exe\r\n", ReadWininit());
}

// The new text goes to a file beside wininit.ini, is read back, and only then takes its place:
// whichever step fails, the old file stays as it was and nothing is left beside it.
static std::string unopenable;
static FileHandle OpenExceptOne(const char *path, int write)
{
    return unopenable == path ? InvalidFileHandle : PlatformDefaults.files.openFile(path, write);
}
static int ShortWriteClaimedWhole(const char *path, const void *data, uint32_t size)
{
    PlatformDefaults.restart.writeWholeFile(path, data, size - 1);
    return 1;
}
static int FailingReplace(const char *, const char *) { return 0; }

TEST_F(Restart, NineXFamilyLeavesWininitAsItWasWhenAnyStepFails)
{
    versionWord = 0xC0000A04u;
    const std::string before = "[rename]\r\nNUL=C:\\OTHER.EXE\r\n";
    ASSERT_TRUE(testsupport::WriteText(Wininit(), before));
    const PlatformOps real = PlatformDefaults;
    struct Step {
        const char *what;
        void (*arm)();
    } steps[] = {
        {"the old file cannot be opened for reading",
         [] {
             unopenable = windowsDir + PathSeparator + "wininit.ini";
             Platform.files.openFile = OpenExceptOne;
         }},
        {"the new file cannot be written", [] { Platform.restart.writeWholeFile = FailingWrite; }},
        {"the new file is short", [] { Platform.restart.writeWholeFile = ShortWriteClaimedWhole; }},
        {"the new file cannot take the old one's place", [] { Platform.restart.replaceFile = FailingReplace; }},
    };
    for (const Step &step : steps) {
        Platform.files.openFile = real.files.openFile;
        Platform.restart.writeWholeFile = real.restart.writeWholeFile;
        Platform.restart.replaceFile = real.restart.replaceFile;
        step.arm();
        EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\a.exe")) << step.what;
        EXPECT_EQ(before, ReadWininit()) << step.what;
        EXPECT_FALSE(Exists(scratch.file("wininit.krv"))) << step.what;
    }
    Platform = real;
    Platform.restart.windowsFolder = ScratchWindowsFolder;
    Platform.restart.getVersion = Version;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\a.exe"));
    EXPECT_EQ(before + "NUL=C:\\a.exe\r\n", ReadWininit());
    EXPECT_FALSE(Exists(scratch.file("wininit.krv")));
}

// What a replacement ended half-way left as "wininit.ini~" is taken back in, whatever its line
// ends: it is older than a wininit.ini another program wrote meanwhile, so its text comes first,
// byte for byte, and every section and line of the newer file follows in its own section (a
// line both hold only once). Carried out the other way round, the older deletion would remove
// the file the newer entry installs.
static uint32_t smallBlocksOnly;   // 0: every size
static void *SmallBlocks(uint32_t size)
{
    return smallBlocksOnly && size > smallBlocksOnly ? nullptr : PlatformDefaults.files.memAlloc(size);
}

TEST_F(Restart, NineXFamilyTakesBackWhatWasLeftAsideOlderEntriesFirst)
{
    versionWord = 0xC0000A04u;
    Platform.files.memAlloc = SmallBlocks;
    const std::string aside = scratch.file("wininit.ini~");
    const std::string vxd = "[CombineVxDs]\r\nC:\\WINDOWS\\SYSTEM\\VMM32\\IOS.VXD=C:\\WINDOWS\\SYSTEM\\IOS.VXD\r\n";
    const std::string big = "[rename]\r\n" + std::string(2000, ';') + "\r\n";
    const struct {
        const char *what;
        std::string ini, aside, after;   // after "": the call fails and nothing changes
        uint32_t smallBlocks;
    } cases[] = {
        {"an older deletion, a newer install, another program's section",
         "[rename]\r\nC:\\APP.DLL=C:\\APP.NEW\r\n", "[rename]\r\nNUL=C:\\APP.DLL\r\n" + vxd,
         "[rename]\r\nNUL=C:\\APP.DLL\r\nC:\\APP.DLL=C:\\APP.NEW\r\nNUL=C:\\a.exe\r\n" + vxd, 0},
        {"bare line breaks, no last one", "[rename]\nNUL=C:\\ONE.EXE",
         "[Rename]\rNUL=C:\\TWO.EXE\rNUL=C:\\ONE.EXE",
         "[Rename]\rNUL=C:\\TWO.EXE\rNUL=C:\\ONE.EXE\r\nNUL=C:\\a.exe\r\n", 0},
        {"sections and lines only the newer file has", "; setup\r\n[boot]\r\nshell=x.exe\r\n[rename]\r\n"
         "  nul=c:\\two.exe \r\nNUL=C:\\ONE.EXE\r\n",
         "[rename]\r\n\tNUL=C:\\TWO.EXE \r\n\r\n" + vxd,
         "; setup\r\n[rename]\r\n\tNUL=C:\\TWO.EXE \r\nNUL=C:\\ONE.EXE\r\nNUL=C:\\a.exe\r\n\r\n" + vxd +
             "[boot]\r\nshell=x.exe\r\n", 0},
        {"no memory for the merge", "[rename]\r\n", big, "", 3000},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(testsupport::WriteText(Wininit(), c.ini));
        ASSERT_TRUE(testsupport::WriteText(aside, c.aside));
        smallBlocksOnly = c.smallBlocks;
        EXPECT_EQ(c.after.empty() ? 0 : 1, ScheduleDeleteAtRestart("C:\\a.exe")) << c.what;
        smallBlocksOnly = 0;
        EXPECT_EQ(c.after.empty() ? c.ini : c.after, ReadWininit()) << c.what;
        EXPECT_EQ(c.after.empty(), Exists(aside)) << c.what;
        if (c.after.empty()) {
            EXPECT_EQ(c.aside, ReadText(aside)) << c.what;
        }
        EXPECT_FALSE(Exists(scratch.file("wininit.krv"))) << c.what;
        testsupport::RemoveAll(aside);
    }
}

// ---- NT family ------------------------------------------------------------------------------

TEST_F(Restart, NtFamilyDeletionPassesThePlatformResultOn)
{
    versionWord = 0x0A280105u;
    restartAnswers = {0x2A};
    EXPECT_EQ(0x2A, ScheduleDeleteAtRestart("C:\\a.exe"));
    restartAnswers = {0x2A, 0};
    EXPECT_EQ(0, ScheduleDeleteAtRestart("C:\\b.exe"));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"C:\\a.exe", "<null>"}, {"C:\\b.exe", "<null>"}}),
              restartCalls);
    EXPECT_FALSE(Exists(Wininit()));
}

TEST_F(Restart, NtFamilyReplacementRegistersDeletionThenMove)
{
    versionWord = 0x7FFFFFFFu;   // every bit but 31: still the NT family
    Platform.files.moveFile = RefusingMove;
    EXPECT_EQ(1, ScheduleReplaceAtRestart("C:\\a.exe.qx-000", "C:\\a.exe", nullptr));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"C:\\a.exe", "<null>"},
                                                                  {"C:\\a.exe.qx-000", "C:\\a.exe"}}),
              restartCalls);
    EXPECT_EQ(2, moveCalls);   // before the registrations, and again after the deletion's
}

TEST_F(Restart, NtFamilyReplacementFailsWhenEitherRegistrationFails)
{
    versionWord = 0;
    Platform.files.moveFile = RefusingMove;
    restartAnswers = {0};
    EXPECT_EQ(0, ScheduleReplaceAtRestart("C:\\a.exe.qx-000", "C:\\a.exe", nullptr));
    EXPECT_EQ(1u, restartCalls.size());   // no move registered after a failed deletion

    // The deletion registered stays: the copy is then all that is left, and must stay.
    restartCalls.clear();
    restartAnswers = {5, 0};
    EXPECT_EQ(2, ScheduleReplaceAtRestart("C:\\a.exe.qx-000", "C:\\a.exe", nullptr));
    EXPECT_EQ(2u, restartCalls.size());
}

TEST_F(Restart, FamilyIsReadOnEveryCallFromBit31Only)
{
    Platform.files.moveFile = RefusingMove;
    versionWord = 0x80000000u;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\nine.exe"));
    versionWord = 0x00000000u;
    EXPECT_EQ(1, ScheduleDeleteAtRestart("C:\\nt.exe"));
    versionWord = 0xFFFFFFFFu;
    EXPECT_EQ(1, ScheduleReplaceAtRestart("C:\\c.qx-000", "C:\\c", nullptr));
    versionWord = 0x7FFFFFFFu;
    EXPECT_EQ(1, ScheduleReplaceAtRestart("C:\\d.qx-000", "C:\\d", nullptr));
    EXPECT_EQ("[rename]\r\nNUL=C:\\nine.exe\r\nC:\\c=C:\\c.qx-000\r\n", ReadWininit());
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                  {"C:\\nt.exe", "<null>"}, {"C:\\d", "<null>"}, {"C:\\d.qx-000", "C:\\d"}}),
              restartCalls);
    EXPECT_EQ(4, versionReads);
}

// ---- the immediate move -------------------------------------------------------------------

TEST_F(Restart, ReplacementWhenTheFileIsGoneMovesTheCopyAtOnce)
{
    std::string file = scratch.file("gone.exe"), copy = file + ".qx-000";
    ASSERT_TRUE(testsupport::WriteText(copy, "clean copy"));
    EXPECT_EQ(1, ScheduleReplaceAtRestart(copy.c_str(), file.c_str(), nullptr));
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ("clean copy", ReadText(file));
    EXPECT_TRUE(restartCalls.empty());
    EXPECT_EQ(0, versionReads);
}

#ifndef _WIN32
// Without restart-time facilities both registrations fail honestly (the workflow then says
// "unable to clean"); under Wine the restart test registers and carries them out for real.
TEST_F(Restart, PosixPlatformRefusesBothRegistrations)
{
    PlatformRestore();
    std::string file = scratch.file("held.exe"), copy = file + ".qx-000";
    ASSERT_TRUE(testsupport::WriteText(file, "infected"));
    ASSERT_TRUE(testsupport::WriteText(copy, "clean"));
    EXPECT_EQ(0, ScheduleDeleteAtRestart(file.c_str()));
    EXPECT_EQ(0, ScheduleReplaceAtRestart(copy.c_str(), file.c_str(), nullptr));
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(Exists(copy));
}
#endif
