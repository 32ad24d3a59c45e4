/*
** The worm's autostart value in the registry of a Windows installation that is not running:
** its SOFTWARE hive, from a rescue system that has the disk mounted (krvscan --windows-root).
*/
#ifndef KRV_OFFLINE_HIVE_H
#define KRV_OFFLINE_HIVE_H

#include "platform/platform.h"
#include "startup/runkey.h"

/* The Run key inside the SOFTWARE hive, as a row names it after the hive's path and a colon. */
extern const char OfflineRunKey[];     /* "Microsoft\Windows\CurrentVersion\Run" */

/* What RemoveOfflineRunValue found, and why it stopped short. */
struct OfflineRunValue {
    char hive[PlatformPathSize];       /* the hive's path as spelled on the disk */
    char name[RunKeyNameSize];         /* the value's name and its data as text (empty when */
    char data[1024];                   /* it is not a string) */
    char error[PlatformPathSize + 512];   /* one line: the hive (or a folder) and the cause */
};

/* Finds <root>/Windows/System32/config/SOFTWARE (each part in any letter case; no link taken
** on the way; the hive a regular file, anything else refused without waiting on it) and
** searches its Run key as FindRunKeyValue searches the running system's, in a child process
** (Platform.registry.hiveEdit). Unless `reportOnly`, removes that value: the hive is written to
** a new file created exclusively in the config folder, with the old hive's mode and owner; the
** old hive is kept as <name>.krvbak (.krvbak2, .krvbak3 ... the first free name) and the new
** one takes its name, only if `mayChange` still answers non-zero just before. First the new
** hives that killed runs left there (the running user's, their process gone) are removed,
** each named through `swept` (the config folder's path and the name). The config folder is
** locked meanwhile: two runs on one disk take turns. On any failure the hive stays as it was.
** A folder on the way or the hive there in two letter cases (SOFTWARE and software) is not
** examined: Windows would see one of them, and which one is not for us to guess.
** Answers RunKeyNone; RunKeyFound (report only) or RunKeyRemoved, with `name` and `data`;
** RunKeyNotRemoved when the value was found and stays (`error` says why); RunKeyUnreadable
** when the hive could not be found or read (`error`). */
int RemoveOfflineRunValue(const char *root, int reportOnly, int (*mayChange)(void),
                          void (*swept)(const char *folder, const char *name),
                          OfflineRunValue *out);

#endif
