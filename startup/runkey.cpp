/*
** The worm's autostart value: the first value of the machine-wide Run key whose name begins
** with "System-Service", in any letter case. The key is reached through the Platform table; on
** POSIX it never opens, so nothing happens there. An offline hive's key is searched by the same
** loop (offline_hive.cpp), through the registry entries the platform gives over the hive.
*/
#include "startup/runkey.h"

#include "platform/platform.h"
#include "base/text.h"

#define ValueNameSize 255

static const char WormValuePrefix[] = "System-Service";

const char StatusAutostartRemoved[] = "autostart value removed";
const char StatusAutostartFound[] = "autostart value found: report only";

/* A prefix test over at most the prefix's 14 characters; it stops at the end of either text,
** so a shorter name (such as "System-Servic") does not match. */
int IsWormValueName(const char *name)
{
    for (int i = 0; i < (int)sizeof WormValuePrefix - 1; i++) {
        if (FoldAscii(name[i]) != FoldAscii(WormValuePrefix[i]))
            return 0;     /* also where the name ends first */
    }
    return 1;
}

void RunValueRow(char *out, uint32_t size, const char *key, const char *name, const char *data)
{
    CopyText(out, size, key);
    AppendText(out, size, "\\");
    AppendText(out, size, name);
    if (data[0]) {
        AppendText(out, size, " = ");
        AppendText(out, size, data);
    }
}

int FindRunValueIn(const PlatformRegistry *registry, int reportOnly, char *name, char *data,
                   uint32_t dataSize)
{
    name[0] = 0;
    data[0] = 0;
    void *key = reportOnly ? nullptr : registry->regOpenRunKey(1);
    int readOnly = !key;
    if (!key)
        key = registry->regOpenRunKey(0);
    if (!key)
        return RunKeyUnreadable;
    uint32_t count = 0;
    int outcome = registry->regValueCount(key, &count) ? RunKeyNone : RunKeyUnreadable;
    int unread = 0;
    for (uint32_t index = 0; outcome == RunKeyNone && index < count; index++) {
        uint32_t length = RunKeyNameSize;
        if (!registry->regEnumValue(key, index, name, &length)) {
            unread++;
            continue;
        }
        name[RunKeyNameSize - 1] = 0;
        if (!IsWormValueName(name))
            continue;
        if (!registry->regValueText(key, name, data, dataSize))
            data[0] = 0;
        outcome = reportOnly                           ? RunKeyFound
                  : readOnly                           ? RunKeyDenied
                  : registry->regDeleteValue(key, name) ? RunKeyRemoved
                                                       : RunKeyNotRemoved;
    }
    if (outcome == RunKeyNone)
        name[0] = 0;
    if (outcome == RunKeyNone && unread)
        outcome = RunKeyUnreadable;
    registry->regCloseKey(key);
    return outcome;
}

int RunKeyWritable(void)
{
    for (int write = 1; write >= 0; write--) {
        void *key = Platform.registry.regOpenRunKey(write);
        if (key) {
            Platform.registry.regCloseKey(key);
            return write;
        }
    }
    return -1;
}

void RemoveRunKeyValue(void)
{
    void *key = Platform.registry.regOpenRunKey(1);
    if (!key)
        return;
    uint32_t count = 0;
    if (!Platform.registry.regValueCount(key, &count)) {
        Platform.registry.regCloseKey(key);
        return;
    }
    char name[ValueNameSize];
    for (uint32_t index = 0; index < count; index++) {
        uint32_t length = ValueNameSize;     /* the last call left the previous name's length */
        if (!Platform.registry.regEnumValue(key, index, name, &length))
            continue;
        name[ValueNameSize - 1] = 0;
        if (IsWormValueName(name)) {
            Platform.registry.regDeleteValue(key, name);
            break;
        }
    }
    Platform.registry.regCloseKey(key);
}
