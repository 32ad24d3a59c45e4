/*
** The worm's autostart value: the first value of the machine-wide Run key whose name begins
** with "System-Service", in any letter case. The key is reached through the Platform table; on
** POSIX it never opens, so nothing happens there.
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

int FindRunKeyValue(int reportOnly, char *name, char *data, uint32_t dataSize)
{
    name[0] = 0;
    data[0] = 0;
    void *key = reportOnly ? nullptr : Platform.regOpenRunKey(1);
    int readOnly = !key;
    if (!key)
        key = Platform.regOpenRunKey(0);
    if (!key)
        return RunKeyUnreadable;
    uint32_t count = 0;
    int outcome = Platform.regValueCount(key, &count) ? RunKeyNone : RunKeyUnreadable;
    int unread = 0;
    for (uint32_t index = 0; outcome == RunKeyNone && index < count; index++) {
        uint32_t length = RunKeyNameSize;
        if (!Platform.regEnumValue(key, index, name, &length)) {
            unread++;
            continue;
        }
        name[RunKeyNameSize - 1] = 0;
        if (!IsWormValueName(name))
            continue;
        if (!Platform.regValueText(key, name, data, dataSize))
            data[0] = 0;
        outcome = reportOnly                           ? RunKeyFound
                  : readOnly                           ? RunKeyDenied
                  : Platform.regDeleteValue(key, name) ? RunKeyRemoved
                                                       : RunKeyNotRemoved;
    }
    if (outcome == RunKeyNone)
        name[0] = 0;
    if (outcome == RunKeyNone && unread)
        outcome = RunKeyUnreadable;
    Platform.regCloseKey(key);
    return outcome;
}

int RunKeyWritable(void)
{
    for (int write = 1; write >= 0; write--) {
        void *key = Platform.regOpenRunKey(write);
        if (key) {
            Platform.regCloseKey(key);
            return write;
        }
    }
    return -1;
}

void RemoveRunKeyValue(void)
{
    void *key = Platform.regOpenRunKey(1);
    if (!key)
        return;
    uint32_t count = 0;
    if (!Platform.regValueCount(key, &count)) {
        Platform.regCloseKey(key);
        return;
    }
    char name[ValueNameSize];
    for (uint32_t index = 0; index < count; index++) {
        uint32_t length = ValueNameSize;     /* the last call left the previous name's length */
        if (!Platform.regEnumValue(key, index, name, &length))
            continue;
        name[ValueNameSize - 1] = 0;
        if (IsWormValueName(name)) {
            Platform.regDeleteValue(key, name);
            break;
        }
    }
    Platform.regCloseKey(key);
}
