// An infected file held by another running process, for real: it can be read and copied but
// neither written nor deleted, so the workflow goes the copy's way. Windows only.
#include "disinfect/workflow.h"
#include "tests/disinfect/handle_write.h"
#include "tests/disinfect/holder.h"
#include "tests/disinfect/workflow_support.h"

#include "scan/scanstate.h"
#include "walk/walk.h"
#include "platform/platform_hooks.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <windows.h>

using testsupport::Exists;
using testsupport::Row;

static std::vector<std::string> registered;
static int RecordRestartDelete(const char *from, const char *to)
{
    registered.push_back(std::string(from) + (to ? std::string(" -> ") + to : std::string(" deleted")));
    return 1;
}
static uint32_t NtVersion(void) { return 0x0A280105u; }

class Held : public WorkflowTest {
protected:
    void ResetRecords() override { registered.clear(); }
};

TEST_F(Held, FileHeldByAnotherProcessGoesTheCopysWay)
{
    std::string file = Make("running.exe", samples::InfectedEntry1);
    std::string copy = file + ".qx-000";
    Holder holder;
    std::string failure = StartHolder(file, &holder);
    ASSERT_EQ("", failure);

    // What the holder allows and refuses, seen through the platform the workflow uses.
    FileHandle read = Platform.files.openFile(file.c_str(), 0);
    EXPECT_NE(InvalidFileHandle, read);
    if (read != InvalidFileHandle)
        Platform.files.closeFile(read);
    EXPECT_EQ(InvalidFileHandle, Platform.files.openFile(file.c_str(), 1));
    EXPECT_EQ(0, Platform.files.deleteFile(file.c_str()));

    // The registration is recorded rather than made: the real one is the restart test's.
    Platform.restart.getVersion = NtVersion;
    Platform.restart.moveFileAtRestart = RecordRestartDelete;
    Run(file);
    EXPECT_TRUE(EndHolder(&holder));

    EXPECT_EQ((std::vector<Row>{{file, testsupport::InfectedStatus()},
                                {file, StatusCopying},
                                {copy, testsupport::InfectedStatus()},
                                {copy, StatusDeleted},
                                {file, StatusDeletedAtRestart}}),
              display.rows);
    ExpectCounters({{"files", 2}, {"infected", 2}, {"deleted", 1}, {"deletedAtRestart", 1}});
    EXPECT_EQ(std::vector<std::string>{file + " deleted"}, registered);
    EXPECT_TRUE(Exists(file));
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
}

// ---- the restart folder ---------------------------------------------------------------------

// What the system will carry out at the restart: the pending deletions and moves, each path as
// the registry holds it (NT paths, "\??\C:\...").
static std::vector<std::string> PendingAtRestart()
{
    std::vector<std::string> paths;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return paths;
    std::vector<char> data(65536);
    DWORD size = (DWORD)data.size(), type = 0;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type, (BYTE *)data.data(), &size) ==
        ERROR_SUCCESS)
        for (size_t at = 0; at + 1 < size; at += std::strlen(&data[at]) + 1)
            paths.push_back(&data[at]);
    RegCloseKey(key);
    return paths;
}
static void ForgetPendingAtRestart()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

// A running program's image: others may read it and rename it, nobody may delete it.
static std::string image;
static int ImageRefusingDelete(const char *path)
{
    return image == path ? 0 : PlatformDefaults.files.deleteFile(path);
}

static std::vector<std::string> Entries(const std::string &folder)
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
    return names;
}

// The held file waits for the restart where no user can put a junction on its way: moved,
// through the handle checked to be it, into its volume's restart folder, whose path is what is
// registered. Wine keeps no rights of a folder's own (its owner is always the user): there the
// folder's test is stood in for, and without that stand-in the folder is refused and the
// original path registered as before. The rows are those of any file deleted at the restart.
static int TrustEveryFolder(void *) { return 1; }

TEST_F(Held, FileWaitingForTheRestartIsMovedWhereOnlyAdministratorsWrite)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    for (bool trusted : {true, false}) {
        SCOPED_TRACE(trusted ? "restart folder trusted" : "restart folder refused");
        Reset();
        std::string file = Make("image.exe", samples::InfectedEntry1);
        std::string copy = file + ".qx-000";
        const std::string folder = file.substr(0, 3) + "KorvaneRestart";
        std::vector<std::string> before = Entries(folder);
        ForgetPendingAtRestart();
        HANDLE hold = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, hold);
        image = file;
        Platform.files.deleteFile = ImageRefusingDelete;
        WinRestartFolderCheck = trusted ? TrustEveryFolder : nullptr;
        const char *paths[] = {file.c_str()};
        ScanContinue.store(1);
        ScanGivenPaths(paths, 1);
        WinRestartFolderCheck = nullptr;
        CloseHandle(hold);
        PlatformRestore();

        EXPECT_EQ((std::vector<Row>{{file, testsupport::InfectedStatus()},
                                    {file, StatusCopying},
                                    {copy, testsupport::InfectedStatus()},
                                    {copy, StatusDeleted},
                                    {file, StatusDeletedAtRestart}}),
                  display.rows);
        std::vector<std::string> after = Entries(folder);
        std::string moved;
        for (const std::string &name : after)
            if (std::find(before.begin(), before.end(), name) == before.end())
                moved = folder + "\\" + name;
        if (trusted) {
            EXPECT_FALSE(Exists(file));
            ASSERT_EQ(before.size() + 1, after.size());
            EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(moved));
            EXPECT_EQ((std::vector<std::string>{"\\??\\" + moved, ""}), PendingAtRestart());
            DeleteFileA(moved.c_str());
        } else {
            EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
            EXPECT_EQ(before.size(), after.size());
            EXPECT_EQ((std::vector<std::string>{"\\??\\" + file, ""}), PendingAtRestart());
        }
        ForgetPendingAtRestart();
    }
}

// A clean copy of a held file: once the file has gone aside into the restart folder, the copy
// takes its name at once, and nothing but the deletion there waits for the restart.
static int32_t PatchingCleaner(ScanContext *context)
{
    static const char patch[] = "cleaned-cleaned-";
    return WriteThroughHandle(context->file, 0x1000, patch, 16) ? CleanResult::Cleaned
                                                                 : CleanResult::AccessError;
}

TEST_F(Held, CleanCopyTakesTheNameOnceTheFileWentAside)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    std::string file = Make("image.exe", samples::InfectedEntry1);
    std::string copy = file + ".qx-000";
    const std::string folder = file.substr(0, 3) + "KorvaneRestart";
    std::vector<std::string> before = Entries(folder);
    ForgetPendingAtRestart();
    HANDLE hold = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    image = file;
    Platform.files.deleteFile = ImageRefusingDelete;
    Cleaner = PatchingCleaner;
    WinRestartFolderCheck = TrustEveryFolder;
    const char *paths[] = {file.c_str()};
    ScanContinue.store(1);
    ScanGivenPaths(paths, 1);
    WinRestartFolderCheck = nullptr;
    CloseHandle(hold);
    PlatformRestore();

    EXPECT_EQ((std::vector<Row>{{file, testsupport::InfectedStatus()},
                                {file, StatusCopying},
                                {copy, testsupport::InfectedStatus()},
                                {copy, StatusCleaned},
                                {file, StatusCleanedAtRestart}}),
              display.rows);
    EXPECT_FALSE(Exists(copy));
    std::vector<uint8_t> cleaned = testsupport::ReadBytes(file);
    ASSERT_LT(0x1010u, cleaned.size());
    EXPECT_EQ(0, std::memcmp(cleaned.data() + 0x1000, "cleaned-cleaned-", 16));
    std::vector<std::string> after = Entries(folder);
    ASSERT_EQ(before.size() + 1, after.size());
    std::string moved;
    for (const std::string &name : after)
        if (std::find(before.begin(), before.end(), name) == before.end())
            moved = folder + "\\" + name;
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(moved));
    EXPECT_EQ((std::vector<std::string>{"\\??\\" + moved, ""}), PendingAtRestart());
    DeleteFileA(moved.c_str());
    ForgetPendingAtRestart();
}
