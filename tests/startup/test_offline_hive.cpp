// The offline hive's rules with faults beneath them (PosixSys): whatever step of the change
// fails, the hive is whole under its name, and nothing of the run is left beside it. The hives
// are made by tests/app/hive.py with hivexsh, as the scanner's own tests make them.
#include "platform/platform.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/platform_hooks.h"
#include "startup/offline_hive.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int RenameFails(int, const char *, int, const char *, unsigned flags)
{
    errno = EIO;
    (void)flags;
    return -1;
}

int LinkUnsupported(int, const char *, int, const char *, int)
{
    errno = EPERM;    // as a file system without hard links answers
    return -1;
}

int SyncFails(int)
{
    errno = EIO;
    return -1;
}

int stopped;
int MayChange(void)
{
    return !stopped;
}

std::vector<std::string> Names(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Fault {
    const char *what;
    void (*inject)();
    int outcome;
    const char *says;     // in the error line
};

const Fault Faults[] = {
    {"nothing fails", [] {}, RunKeyRemoved, ""},
    {"the file system has no links: the hive is renamed to its backup",
     [] { PosixSys.linkat = LinkUnsupported; }, RunKeyRemoved, ""},
    {"the replacing rename fails", [] { PosixSys.renameat2 = RenameFails; }, RunKeyNotRemoved,
     "cannot replace the registry hive (Input/output error)"},
    {"no links, and the rename fails", [] {
         PosixSys.linkat = LinkUnsupported;
         PosixSys.renameat2 = RenameFails;
     }, RunKeyNotRemoved, "cannot keep a backup of the registry hive (Input/output error)"},
    {"the new hive cannot be put on disk", [] { PosixSys.fsync = SyncFails; }, RunKeyNotRemoved,
     "cannot give the new registry hive the old one's mode and owner (Input/output error)"},
    {"a stop comes before the new hive takes the name", [] { stopped = 1; }, RunKeyNotRemoved,
     "stopped before the registry hive was replaced"},
};

TEST(OfflineHive, AFailedStepLeavesTheHiveWholeAndNothingBesideIt)
{
    char cause[512];
    if (!Platform.registry.hiveLoad || !Platform.registry.hiveLoad(cause, sizeof cause))
        GTEST_SKIP() << "no registry library in this build or on this system";
    for (const Fault &fault : Faults) {
        SCOPED_TRACE(fault.what);
        testsupport::ScratchDir dir;
        const std::string config = dir.file("Windows/System32/config"), hive = config + "/SOFTWARE";
        std::filesystem::create_directories(config);
        const std::string make = "python3 -c 'import sys; sys.path.insert(0, \"" KRV_TESTS_APP
                                 "\"); import hive; hive.make_software_hive(sys.argv[1], "
                                 "[(\"Other\", \"a\"), (\"System-Service\", \"C:\\\\w.exe\")])' '" +
                                 hive + "'";
        if (system(make.c_str()) != 0)
            GTEST_SKIP() << "no hivexsh to make a hive with";
        const std::vector<uint8_t> before = testsupport::ReadBytes(hive);
        stopped = 0;
        fault.inject();
        OfflineRunValue found;
        int outcome = RemoveOfflineRunValue(dir.path().c_str(), 0, MayChange, nullptr, &found);
        PosixSys = PosixSysDefaults;
        EXPECT_EQ(fault.outcome, outcome) << found.error;
        EXPECT_STREQ("System-Service", found.name);
        EXPECT_STREQ("C:\\w.exe", found.data);
        if (outcome == RunKeyRemoved) {
            EXPECT_EQ((std::vector<std::string>{"SOFTWARE", "SOFTWARE.krvbak"}), Names(config));
            EXPECT_EQ(before, testsupport::ReadBytes(config + "/SOFTWARE.krvbak"));
            EXPECT_NE(before, testsupport::ReadBytes(hive));
        } else {
            EXPECT_EQ(hive + ": " + fault.says, found.error);
            EXPECT_EQ(std::vector<std::string>{"SOFTWARE"}, Names(config));
            EXPECT_EQ(before, testsupport::ReadBytes(hive));
        }
    }
}

}  // namespace
#endif
