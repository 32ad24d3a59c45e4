#ifndef KRV_RUNKEY_H
#define KRV_RUNKEY_H

#include <stdint.h>

#include "platform/platform.h"

/* 1 when `name` is the worm's autostart value name: it begins with "System-Service" in any
** letter case (at most those 14 characters are compared; a shorter name does not match). */
int IsWormValueName(const char *name);

/* The rows a front end shows for the value in a registry it cleans on request. */
extern const char StatusAutostartRemoved[];     /* "autostart value removed" */
extern const char StatusAutostartFound[];       /* "autostart value found: report only" */

/* What FindRunKeyValue found and did. */
enum RunKeyOutcome {
    RunKeyUnreadable = -1,   /* the key could not be opened, or a value's name not read */
    RunKeyNone = 0,          /* no such value */
    RunKeyFound = 1,         /* found, and left as asked */
    RunKeyRemoved = 2,       /* found and deleted */
    RunKeyNotRemoved = 3,    /* found, and the deletion failed */
    RunKeyDenied = 4,        /* found, and the key opens for reading only: removing it needs
                             ** an administrator (or the system account) */
};
#define RunKeyNameSize 255

/* The text of a row that names a value of a Run key: "<key>\<name>", then " = <data>" when
** `data` is not empty, into `out` (`size` bytes, cut to fit). `key` is the key as the front end
** names it (the running system's "HKLM\Software\...\Run", or an offline hive's path and
** the key inside it). */
void RunValueRow(char *out, uint32_t size, const char *key, const char *name, const char *data);

/* For a front end that reports what it finds: looks for the value RemoveRunKeyValue deletes (the
** same key, the same first match) and, unless `reportOnly`, deletes it. The key is opened for
** reading when it cannot be (or need not be) opened with all access, so that a user without
** the rights to change it still learns what is there. Puts its name into
** `name` (RunKeyNameSize bytes) and its data as text into `data` (`dataSize` bytes; empty when
** it is not text or cannot be read). A value whose name cannot be read (longer than the
** buffer) may be the worm's: when no value matched, that makes the answer RunKeyUnreadable.
** Answers a RunKeyOutcome. */
inline int FindRunKeyValue(int reportOnly, char *name, char *data, uint32_t dataSize);

/* FindRunKeyValue over the Run key that `registry`'s entries open: the running system's
** (Platform.registry) or an offline hive's (Platform.registry.hiveEdit). */
int FindRunValueIn(const PlatformRegistry *registry, int reportOnly, char *name, char *data,
                   uint32_t dataSize);

inline int FindRunKeyValue(int reportOnly, char *name, char *data, uint32_t dataSize)
{
    return FindRunValueIn(&Platform.registry, reportOnly, name, data, dataSize);
}

/* 1 when the machine-wide Run key opens with all access (an administrator's run, the system
** account's), 0 when for reading only (an ordinary user's, on the NT family), -1 when not at all
** (POSIX). Tells a front end why what it could not remove is still there. */
int RunKeyWritable(void);

/* Deletes the first value of the machine-wide Run key whose name begins with "System-Service"
** (ignoring case), and nothing else. Silent: every failure leaves the registry as it was. */
void RemoveRunKeyValue(void);

#endif
