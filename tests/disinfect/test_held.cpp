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
// registered, the folder's removal after it. Wine reports neither links nor a folder's own
// rights (its owner is always the user): the volume and the folder's rights are played beneath
// the rules; a folder whose rights are not the ones given is removed again, and the original
// path registered as before. The rows are those of any file deleted at the restart.

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
        testsupport::PlayVolumeWithLinks(trusted);
        const char *paths[] = {file.c_str()};
        ScanContinue.store(1);
        ScanGivenPaths(paths, 1);
        WinSys = WinSysDefaults;
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
            EXPECT_EQ((std::vector<std::string>{"\\??\\" + moved, "", "\\??\\" + folder, ""}),
                      PendingAtRestart());
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
    testsupport::PlayVolumeWithLinks(true);
    const char *paths[] = {file.c_str()};
    ScanContinue.store(1);
    ScanGivenPaths(paths, 1);
    WinSys = WinSysDefaults;
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
    EXPECT_EQ((std::vector<std::string>{"\\??\\" + moved, "", "\\??\\" + folder, ""}),
              PendingAtRestart());
    DeleteFileA(moved.c_str());
    ForgetPendingAtRestart();
}

// ---- the restart folder's rules, played beneath them -----------------------------------------

namespace {

const char RestartFolderPrefix[] = "KorvaneRestart";

// Every restart folder (of this program's name) in the root of `file`'s volume, as full paths.
std::vector<std::string> RestartFolders(const std::string &file)
{
    std::vector<std::string> folders;
    for (const std::string &name : Entries(file.substr(0, 2)))
        if (name.rfind(RestartFolderPrefix, 0) == 0)
            folders.push_back(file.substr(0, 3) + name);
    std::sort(folders.begin(), folders.end());
    return folders;
}

void RemoveRestartFolders(const std::string &file)
{
    for (const std::string &folder : RestartFolders(file))
        testsupport::RemoveAll(folder);
}

// Scans `file`, held as a running program's image is (read, renamed, never deleted).
void ScanHeldImage(const std::string &file)
{
    HANDLE hold = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    image = file;
    Platform.files.deleteFile = ImageRefusingDelete;
    const char *paths[] = {file.c_str()};
    ScanContinue.store(1);
    ScanGivenPaths(paths, 1);
    CloseHandle(hold);
}

int FatVolume(const char *, unsigned long *flags)
{
    *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    return 1;
}
unsigned long Nt40(void) { return 0x05650004ul; }
unsigned RemoteDrive(const char *) { return DRIVE_REMOTE; }
int CreationRefused(const char *, void *)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

std::vector<Row> CopyRouteRows(const std::string &file)
{
    return {{file, testsupport::InfectedStatus()}, {file, StatusCopying},
            {file + ".qx-000", testsupport::InfectedStatus()}, {file + ".qx-000", StatusDeleted},
            {file, StatusDeletedAtRestart}};
}

}  // namespace

// Any user may make folders in a volume's root: a folder of the restart folder's name is used
// only when this program made it, else one is made afresh under a name of its own, its rights
// given as it is made; one the system made without them is removed again. Where no link can
// exist (FAT) or no folder can be made, the file's own path is registered, and no folder left.
TEST_F(Held, RestartFolderIsNeverOneAUserMade)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    const struct {
        const char *what;
        const char *volume;   // "ntfs"; "fat"; "nt4": NTFS under NT 4.0, which has no links;
                              // "remote": a network drive
        const char *before;   // "": no folder, "user": a user's, "ours": one made by an earlier run
        bool creationRefused, rightsGiven;
        const char *waitsIn;  // "fixed" name, "suffixed" name, "own" path
    } cases[] = {
        {"made afresh", "ntfs", "", false, true, "fixed"},
        {"one made by an earlier run is used", "ntfs", "ours", false, true, "fixed"},
        {"a user's of that name: one of a name of its own", "ntfs", "user", false, true, "suffixed"},
        {"FAT: no link can exist, the own path, no folder", "fat", "", false, true, "own"},
        {"NT 4.0: no link can exist, the own path, no folder", "nt4", "", false, true, "own"},
        {"a network drive: the own path, no folder", "remote", "", false, true, "own"},
        {"creation refused: the own path", "ntfs", "", true, true, "own"},
        {"made without the rights given: removed, the own path", "ntfs", "", false, false, "own"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        std::string file = Make("image.exe", samples::InfectedEntry1);
        const std::string fixed = file.substr(0, 3) + RestartFolderPrefix;
        RemoveRestartFolders(file);
        ForgetPendingAtRestart();
        std::vector<Row> rows;
        std::vector<uint64_t> users;
        if (*c.before) {
            ASSERT_TRUE(CreateDirectoryA(fixed.c_str(), NULL));
            const std::string inside = fixed + (std::string(c.before) == "user" ? "\\user.txt" : "\\earlier.del");
            ASSERT_TRUE(testsupport::WriteText(inside, "there before"));
            if (std::string(c.before) == "user")
                users.push_back(testsupport::FileIndex(fixed));
            else
                rows.push_back({inside, StatusDeletedAtRestart});   // named as waiting
        }
        testsupport::PlayVolumeWithLinks(c.rightsGiven, users);
        if (std::string(c.volume) == "fat")
            WinSys.getVolumeInformationA = FatVolume;
        if (std::string(c.volume) == "nt4")
            WinSys.getVersion = Nt40;
        if (std::string(c.volume) == "remote")
            WinSys.getDriveTypeA = RemoteDrive;
        if (c.creationRefused)
            WinSys.createDirectoryA = CreationRefused;
        ScanHeldImage(file);
        WinSys = WinSysDefaults;
        PlatformRestore();

        for (const Row &r : CopyRouteRows(file))
            rows.push_back(r);
        EXPECT_EQ(rows, display.rows);
        std::vector<std::string> folders = RestartFolders(file);
        std::vector<std::string> pending = PendingAtRestart();
        const std::string waitsIn = c.waitsIn;
        if (waitsIn == "own") {
            EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
            EXPECT_EQ((std::vector<std::string>{"\\??\\" + file, ""}), pending);
            EXPECT_EQ(std::vector<std::string>{}, folders) << "no folder left behind";
        } else {
            EXPECT_FALSE(Exists(file));
            ASSERT_EQ(waitsIn == "fixed" ? 1u : 2u, folders.size());
            const std::string folder = waitsIn == "fixed" ? fixed : folders[1];
            std::string moved;
            for (const std::string &name : Entries(folder))
                if (name != "earlier.del")
                    moved = folder + "\\" + name;
            EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(moved));
            std::vector<std::string> registered = {"\\??\\" + moved, "", "\\??\\" + folder, ""};
            if (std::string(c.before) == "ours")   // what waited unregistered, registered first
                registered.insert(registered.begin(), {"\\??\\" + folder + "\\earlier.del", ""});
            EXPECT_EQ(registered, pending);
            if (waitsIn == "suffixed") {
                EXPECT_EQ(std::vector<std::string>{"user.txt"}, Entries(fixed)) << "the user's folder as it was";
            }
        }
        RemoveRestartFolders(file);
        ForgetPendingAtRestart();
    }
}

// A scan before the restart names what waits in the restart folder of the volume it scans, once,
// without registering it again, and counts it as still there; a registration lost is made again;
// after the restart the empty folder goes.
TEST_F(Held, ScanBeforeTheRestartNamesWhatWaitsInTheRestartFolder)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    std::string file = Make("image.exe", samples::InfectedEntry1);
    const std::string folder = file.substr(0, 3) + RestartFolderPrefix;
    RemoveRestartFolders(file);
    ForgetPendingAtRestart();
    testsupport::PlayVolumeWithLinks(true);
    ScanHeldImage(file);
    PlatformRestore();
    ASSERT_EQ(CopyRouteRows(file), display.rows);
    std::vector<std::string> names = Entries(folder);
    ASSERT_EQ(1u, names.size());
    const std::string moved = folder + "\\" + names[0];
    const std::vector<std::string> registered = {"\\??\\" + moved, "", "\\??\\" + folder, ""};

    const struct {
        const char *what;
        bool inFolder;   // the restart folder itself is walked, else the file's own folder
        bool lost, restarted;
        std::vector<Row> rows;
        std::vector<std::string> pending;
    } scans[] = {
        {"again before the restart", false, false, false, {{moved, StatusDeletedAtRestart}},
         registered},
        {"the restart folder walked: what waits is not handled again", true, false, false,
         {{moved, StatusDeletedAtRestart}}, registered},
        {"the registration lost", false, true, false, {{moved, StatusDeletedAtRestart}},
         {"\\??\\" + moved, ""}},
        {"after the restart", false, true, true, {}, {}},
    };
    for (const auto &s : scans) {
        SCOPED_TRACE(s.what);
        if (s.lost)
            ForgetPendingAtRestart();
        if (s.restarted) {
            ASSERT_TRUE(DeleteFileA(moved.c_str()));
        }
        display.rows.clear();
        ScanSelectedFolder(s.inFolder ? folder.c_str() : scratch.path().c_str());
        EXPECT_EQ(s.rows, display.rows);
        EXPECT_EQ(s.rows.size(), (size_t)ScanCounters.deletedAtRestart);
        EXPECT_EQ(s.rows.size(), (size_t)ScanCounters.infected) << "still on the disk";
        EXPECT_EQ(0, ScanCounters.files);
        EXPECT_EQ(s.pending, PendingAtRestart());
    }
    WinSys = WinSysDefaults;
    EXPECT_EQ(std::vector<std::string>{}, RestartFolders(file)) << "the empty folder removed";
    ForgetPendingAtRestart();
}

// The deletion is registered before the file moves: no moment of the move leaves it waiting
// unregistered. A registration or a move refused leaves the file where it was, its own path
// registered, nothing in the restart folder.
namespace {
const char *refusedMoment;   // "registration", "move" or null
std::vector<std::string> pendingAtMove;
int RefusingRegistration(const char *from, const char *to, unsigned long flags)
{
    if (refusedMoment && std::string(refusedMoment) == "registration" &&
        std::string(from).find(RestartFolderPrefix) != std::string::npos) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return WinSysDefaults.moveFileExA(from, to, flags);
}
long RefusingRename(void *file, void *status, void *information, unsigned long size, int kind)
{
    if (refusedMoment && std::string(refusedMoment) == "move" && kind == 10)
        return (long)0xC0000022L;   // STATUS_ACCESS_DENIED
    return WinSysDefaults.ntSetInformationFile(file, status, information, size, kind);
}
void RecordPendingAtMove(const char *operation, const char *)
{
    if (std::string(operation) == "moveFileAtRestart")
        pendingAtMove = PendingAtRestart();
}
}  // namespace

TEST_F(Held, DeletionIsRegisteredBeforeTheFileMoves)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    for (const char *moment : {(const char *)nullptr, "registration", "move"}) {
        SCOPED_TRACE(moment ? moment : "nothing refused");
        Reset();
        std::string file = Make("image.exe", samples::InfectedEntry1);
        const std::string folder = file.substr(0, 3) + RestartFolderPrefix;
        RemoveRestartFolders(file);
        ForgetPendingAtRestart();
        pendingAtMove.clear();
        refusedMoment = moment;
        testsupport::PlayVolumeWithLinks(true);
        WinSys.moveFileExA = RefusingRegistration;
        WinSys.ntSetInformationFile = RefusingRename;
        WinAfterIdentityCheck = RecordPendingAtMove;
        ScanHeldImage(file);
        WinAfterIdentityCheck = nullptr;
        WinSys = WinSysDefaults;
        PlatformRestore();

        EXPECT_EQ(CopyRouteRows(file), display.rows);
        std::vector<std::string> pending = PendingAtRestart();
        if (!moment) {
            ASSERT_EQ(4u, pendingAtMove.size()) << "registered as the move begins, the folder after";
            EXPECT_EQ(0u, pendingAtMove[0].find("\\??\\" + folder + "\\"));
            EXPECT_FALSE(Exists(file));
        } else {
            EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
            EXPECT_EQ(std::vector<std::string>{}, Entries(folder)) << "nothing waits there";
            ASSERT_LE(2u, pending.size());
            EXPECT_EQ((std::vector<std::string>{"\\??\\" + file, ""}),
                      std::vector<std::string>(pending.end() - 2, pending.end()));
        }
        RemoveRestartFolders(file);
        ForgetPendingAtRestart();
    }
}

// An open for writing refused by the file's rights is no name leading elsewhere: while the name
// still leads to the file detected, the file goes the copy's way and waits for the restart.
namespace {
std::string deniedPath;
void *DenyingWrites(const char *path, unsigned long access, unsigned long share, void *security,
                    unsigned long disposition, unsigned long flags, void *templateFile)
{
    if (deniedPath == path && (access & (GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return WinSysDefaults.createFileA(path, access, share, security, disposition, flags, templateFile);
}
}  // namespace

TEST_F(Held, FileWhoseRightsDenyWritingGoesTheCopysWay)
{
    if (GetVersion() & 0x80000000u)
        GTEST_SKIP() << "the 9x family keeps the plain calls";
    std::string file = Make("denied.exe", samples::InfectedEntry1);
    ForgetPendingAtRestart();
    deniedPath = file;
    WinSys.createFileA = DenyingWrites;
    const char *paths[] = {file.c_str()};
    ScanContinue.store(1);
    ScanGivenPaths(paths, 1);
    WinSys = WinSysDefaults;
    EXPECT_EQ(CopyRouteRows(file), display.rows);
    ExpectCounters({{"files", 2}, {"infected", 2}, {"deleted", 1}, {"deletedAtRestart", 1}});
    EXPECT_FALSE(Exists(file + ".qx-000"));
    EXPECT_EQ((std::vector<std::string>{"\\??\\" + file, ""}), PendingAtRestart());
    ForgetPendingAtRestart();
}

// A copy that cannot be opened for reading (a scanner of another vendor holding it, say) is
// never identified as it is processed, yet it is the workflow's own file: it goes again, and
// the file is reported as not cleaned.
namespace {
void *CopyUnreadable(const char *path, unsigned long access, unsigned long share, void *security,
                     unsigned long disposition, unsigned long flags, void *templateFile)
{
    if (std::string(path).find(".qx-") != std::string::npos && (access & GENERIC_READ)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return WinSysDefaults.createFileA(path, access, share, security, disposition, flags, templateFile);
}
}  // namespace

TEST_F(Held, CopyThatCannotBeReadGoesAgain)
{
    std::string file = Make("image.exe", samples::InfectedEntry1);
    WinSys.createFileA = CopyUnreadable;
    ScanHeldImage(file);
    WinSys = WinSysDefaults;
    EXPECT_EQ((std::vector<Row>{{file, testsupport::InfectedStatus()}, {file, StatusCopying},
                                {file, StatusUnableToClean}}),
              display.rows);
    EXPECT_FALSE(Exists(file + ".qx-000"));
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
}
