// The Run-key cleanup: which value goes, with the registry replaced by a fake key through the
// Platform table, and (on Windows) against the real machine-wide Run key.
#include "platform/platform.h"
#include "startup/runkey.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// One fake key for the whole program; the tests run one at a time.
struct FakeKey {
    std::vector<std::string> names;     // in enumeration order
    bool openFails = false, countFails = false;
    bool writeOpenFails = false;        // an ordinary user's rights: the key opens for reading
    bool openedToWrite = false;
    std::vector<uint32_t> enumFailsAt;
    int opens = 0, closes = 0;
    std::vector<uint32_t> lengthsOffered;   // *length as each enumeration received it
    std::vector<std::string> deleted;
    bool deleteFails = false, textFails = false;
} fake;

int keyToken;   // what the fake open answers; its address stands for the open key

void *FakeOpen(int write)
{
    fake.opens++;
    if (fake.openFails || (write && fake.writeOpenFails))
        return nullptr;
    fake.openedToWrite = write != 0;
    return &keyToken;
}

int FakeCount(void *key, uint32_t *count)
{
    EXPECT_EQ(&keyToken, key);
    if (fake.countFails)
        return 0;
    *count = (uint32_t)fake.names.size();
    return 1;
}

int FakeEnum(void *key, uint32_t index, char *name, uint32_t *length)
{
    EXPECT_EQ(&keyToken, key);
    fake.lengthsOffered.push_back(*length);
    for (uint32_t failing : fake.enumFailsAt)
        if (failing == index)
            return 0;
    if (index >= fake.names.size())
        return 0;
    const std::string &n = fake.names[index];
    if (n.size() + 1 > *length)
        return 0;          // as RegEnumValueA: a name that does not fit is not given
    memcpy(name, n.c_str(), n.size() + 1);
    *length = (uint32_t)n.size();
    return 1;
}

int FakeDelete(void *key, const char *name)
{
    EXPECT_EQ(&keyToken, key);
    if (fake.deleteFails || !fake.openedToWrite)    // as RegDeleteValueA: access denied
        return 0;
    fake.deleted.push_back(name);
    return 1;
}

// Each value's data is its name with " data" after it, cut to fit.
int FakeText(void *key, const char *name, char *out, uint32_t size)
{
    EXPECT_EQ(&keyToken, key);
    if (fake.textFails)
        return 0;
    std::string data = std::string(name) + " data";
    data.resize(std::min<size_t>(data.size(), size - 1));
    memcpy(out, data.c_str(), data.size() + 1);
    return 1;
}

void FakeClose(void *key) { EXPECT_EQ(&keyToken, key); fake.closes++; }

class RunKeyFake : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = FakeKey();
        Platform.registry.regOpenRunKey = FakeOpen;
        Platform.registry.regValueCount = FakeCount;
        Platform.registry.regEnumValue = FakeEnum;
        Platform.registry.regDeleteValue = FakeDelete;
        Platform.registry.regCloseKey = FakeClose;
        Platform.registry.regValueText = FakeText;
    }
    void TearDown() override { PlatformRestore(); }
};

TEST_F(RunKeyFake, OnlyTheFirstMatchInEnumerationOrderIsDeleted)
{
    fake.names = {"Other", "System-Servic", "system-service", "System-Service",
                  "System-ServiceXYZ"};
    RemoveRunKeyValue();
    EXPECT_EQ(std::vector<std::string>{"system-service"}, fake.deleted);
    EXPECT_EQ(1, fake.opens);
    EXPECT_EQ(1, fake.closes);
    // It stops at the match: the values after it are not even looked at.
    EXPECT_EQ(3u, fake.lengthsOffered.size());
}

TEST_F(RunKeyFake, PrefixOfFourteenCharactersInAnyLetterCase)
{
    const char *const matching[] = {"System-Service", "system-service", "SYSTEM-SERVICE",
                                    "System-ServiceXYZ", "sYsTeM-sErViCe.exe"};
    const char *const other[] = {"System-Servic", "System-Servicf", "XSystem-Service",
                                 "System Service", "", "System-Servic\xC5"};
    for (const char *name : matching) {
        SetUp();
        fake.names = {"Keep", name};
        RemoveRunKeyValue();
        EXPECT_EQ(std::vector<std::string>{name}, fake.deleted) << name;
        EXPECT_EQ(1, fake.closes) << name;
    }
    for (const char *name : other) {
        SetUp();
        fake.names = {name, "Keep"};
        RemoveRunKeyValue();
        EXPECT_TRUE(fake.deleted.empty()) << name;
        EXPECT_EQ(1, fake.closes) << name;
        EXPECT_EQ(2u, fake.lengthsOffered.size()) << name;
    }
}

TEST_F(RunKeyFake, NameLengthIsResetBeforeEveryEnumeration)
{
    // Short names shrink *length on each call; without the reset a longer name after them
    // would no longer fit and the worm's value would be missed.
    fake.names = {"a", "bb", "ccc", "System-Service-Long-Enough-To-Need-The-Room"};
    RemoveRunKeyValue();
    ASSERT_EQ(4u, fake.lengthsOffered.size());
    for (uint32_t offered : fake.lengthsOffered)
        EXPECT_EQ(255u, offered);
    EXPECT_EQ(1u, fake.deleted.size());
}

TEST_F(RunKeyFake, FailuresAreSilentAndTheKeyIsAlwaysClosed)
{
    fake.openFails = true;
    fake.names = {"System-Service"};
    RemoveRunKeyValue();
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_EQ(0, fake.closes);          // nothing was opened
    EXPECT_TRUE(fake.lengthsOffered.empty());

    SetUp();
    fake.countFails = true;
    fake.names = {"System-Service"};
    RemoveRunKeyValue();
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_TRUE(fake.lengthsOffered.empty());
    EXPECT_EQ(1, fake.closes);

    // A value that cannot be enumerated is passed over; the next match is taken.
    SetUp();
    fake.names = {"System-Service", "Other", "system-serviceB"};
    fake.enumFailsAt = {0};
    RemoveRunKeyValue();
    EXPECT_EQ(std::vector<std::string>{"system-serviceB"}, fake.deleted);
    EXPECT_EQ(1, fake.closes);

    // A name longer than the buffer fails its enumeration the same way.
    SetUp();
    fake.names = {"System-Service" + std::string(300, 'x'), "System-Service"};
    RemoveRunKeyValue();
    EXPECT_EQ(std::vector<std::string>{"System-Service"}, fake.deleted);

    // An empty key: nothing to do, still closed.
    SetUp();
    RemoveRunKeyValue();
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_EQ(1, fake.closes);
}

// For a front end that reports: what it found, with its data, and what became of it; every
// way the value may stay hidden says so instead of answering "none".
TEST_F(RunKeyFake, FindReportsTheValueItsDataAndWhatBecameOfIt)
{
    struct Case {
        const char *what;
        std::vector<std::string> names;
        int reportOnly;
        bool openFails, deleteFails, textFails;
        std::vector<uint32_t> enumFailsAt;
        int outcome;
        std::string name, data;
        size_t deleted;
    } cases[] = {
        {"none", {"Other", "System-Servic"}, 0, false, false, false, {}, RunKeyNone, "", "", 0},
        {"report only", {"Other", "system-SERVICE x"}, 1, false, false, false, {},
         RunKeyFound, "system-SERVICE x", "system-SERVICE x data", 0},
        {"removed", {"System-Service", "System-Service2"}, 0, false, false, false, {},
         RunKeyRemoved, "System-Service", "System-Service data", 1},
        {"deletion fails", {"System-Service"}, 0, false, true, false, {}, RunKeyNotRemoved,
         "System-Service", "System-Service data", 0},
        {"data unreadable", {"System-Service"}, 1, false, false, true, {}, RunKeyFound,
         "System-Service", "", 0},
        {"key unreadable", {"System-Service"}, 0, true, false, false, {}, RunKeyUnreadable, "",
         "", 0},
        {"a name unreadable, no match", {"System-Service" + std::string(300, 'x'), "Other"}, 0,
         false, false, false, {}, RunKeyUnreadable, "", "", 0},
        {"a name unreadable, then a match", {"Other", "System-Service"}, 0, false, false,
         false, {0}, RunKeyRemoved, "System-Service", "System-Service data", 1},
    };
    for (const Case &c : cases) {
        SetUp();
        fake.names = c.names;
        fake.openFails = c.openFails;
        fake.deleteFails = c.deleteFails;
        fake.textFails = c.textFails;
        fake.enumFailsAt = c.enumFailsAt;
        char name[RunKeyNameSize], data[64];
        EXPECT_EQ(c.outcome, FindRunKeyValue(c.reportOnly, name, data, sizeof data)) << c.what;
        EXPECT_EQ(c.name, name) << c.what;
        EXPECT_EQ(c.data, data) << c.what;
        EXPECT_EQ(c.deleted, fake.deleted.size()) << c.what;
        EXPECT_EQ(c.openFails ? 0 : 1, fake.closes) << c.what;
    }
}

// A user who may only read the key (a logon script on NT 4.0): what is there is still found,
// and a value that should go is "denied", never "none" or "unreadable"; where the key cannot
// even be read, that is said. The dialog's silent removal tries with all access alone.
TEST_F(RunKeyFake, AUserWhoMayOnlyReadTheKeyLearnsWhatIsThere)
{
    struct Case {
        const char *what;
        std::vector<std::string> names;
        int reportOnly;
        bool openFails;
        int outcome;
        std::string name;
    } cases[] = {
        {"found, to be removed", {"Other", "System-Service"}, 0, false, RunKeyDenied,
         "System-Service"},
        {"found, report only", {"System-Service"}, 1, false, RunKeyFound, "System-Service"},
        {"nothing there", {"Other"}, 0, false, RunKeyNone, ""},
        {"not even readable", {"System-Service"}, 0, true, RunKeyUnreadable, ""},
    };
    for (const Case &c : cases) {
        SetUp();
        fake.names = c.names;
        fake.writeOpenFails = true;
        fake.openFails = c.openFails;
        char name[RunKeyNameSize], data[64];
        EXPECT_EQ(c.outcome, FindRunKeyValue(c.reportOnly, name, data, sizeof data)) << c.what;
        EXPECT_EQ(c.name, name) << c.what;
        EXPECT_TRUE(fake.deleted.empty()) << c.what;
        EXPECT_EQ(c.openFails ? 0 : 1, fake.closes) << c.what;
    }
    SetUp();
    fake.names = {"System-Service"};
    fake.writeOpenFails = true;
    RemoveRunKeyValue();
    EXPECT_EQ(1, fake.opens);
    EXPECT_TRUE(fake.deleted.empty());
}

// Whether this run may change the machine's key, for a front end to say why something stays.
TEST_F(RunKeyFake, WritableSaysWhichRightsTheRunHas)
{
    EXPECT_EQ(1, RunKeyWritable());
    SetUp();
    fake.writeOpenFails = true;
    EXPECT_EQ(0, RunKeyWritable());
    EXPECT_EQ(1, fake.closes);
    SetUp();
    fake.openFails = true;
    EXPECT_EQ(-1, RunKeyWritable());
    EXPECT_EQ(0, fake.closes);
}

#ifndef _WIN32
TEST(RunKeyPosix, NoRegistryNothingHappens)
{
    PlatformRestore();
    ASSERT_EQ(nullptr, Platform.registry.regOpenRunKey(1));
    RemoveRunKeyValue();   // must simply return
}
#else
const char RunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::vector<std::string> RunValues(HKEY root)
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(root, RunKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

void SetValue(HKEY root, const char *name)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, RunKeyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                             &key, NULL));
    const char data[] = "C:\\windows\\system32\\notepad.exe";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)data, sizeof data));
    RegCloseKey(key);
}

void DeleteValue(HKEY root, const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(root, RunKeyPath, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

bool Has(const std::vector<std::string> &names, const std::string &name)
{
    for (const std::string &n : names)
        if (n == name)
            return true;
    return false;
}

TEST(RunKeyRegistry, TheFirstMatchingValueOfTheMachineKeyGoesAndNothingElse)
{
    PlatformRestore();
    const char *const planted[] = {"System-Service", "system-service", "System-ServiceXYZ",
                                   "System-Servic"};
    for (const char *name : planted)
        SetValue(HKEY_LOCAL_MACHINE, name);
    SetValue(HKEY_CURRENT_USER, "System-Service");   // the per-user key is not looked at

    std::vector<std::string> before = RunValues(HKEY_LOCAL_MACHINE);
    std::string first;
    for (const std::string &n : before)
        if (_strnicmp(n.c_str(), "System-Service", 14) == 0) {
            first = n;
            break;
        }
    ASSERT_FALSE(first.empty());

    RemoveRunKeyValue();
    std::vector<std::string> after = RunValues(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(before.size() - 1, after.size());
    EXPECT_FALSE(Has(after, first)) << first;
    for (const std::string &n : before) {
        if (n != first) {
            EXPECT_TRUE(Has(after, n)) << n;
        }
    }
    EXPECT_TRUE(Has(RunValues(HKEY_CURRENT_USER), "System-Service"));

    for (const char *name : planted)
        DeleteValue(HKEY_LOCAL_MACHINE, name);
    DeleteValue(HKEY_CURRENT_USER, "System-Service");
}
#endif

}  // namespace
