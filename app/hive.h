/*
** The worm's autostart value in the registry of a Windows installation that is not running:
** its SOFTWARE hive, read and written with hivex. For a rescue system that has the disk mounted.
*/
#ifndef KRV_HIVE_H
#define KRV_HIVE_H

#include <stddef.h>

/* Finds <root>/Windows/System32/config/SOFTWARE (each part in any letter case, no link taken;
** the hive must be a regular file, anything else is refused without waiting on it) and, under
** its key Microsoft\Windows\CurrentVersion\Run, the first value whose name IsWormValueName
** accepts. hivex runs in a child process. Unless `reportOnly`, removes that value: the hive is
** written to a new file created exclusively in the config folder, with the old hive's mode and
** owner; the old hive is kept as <name>.krvbak (.krvbak2, .krvbak3 ... the first free name) and
** the new one takes its name. Before that, the new hives that killed runs left there (the
** running user's, their process gone) are removed, each named through `swept` (the config
** folder's path and the name). On any failure, and when ScanContinue was cleared before the new hive
** took its place, the hive stays as it was. Answers 1 when a value was found (and removed,
** unless reportOnly), with `found` set to "<hive path>:Microsoft\Windows\CurrentVersion\Run\
** <name>"; 0 when there is none; -1 when the hive cannot be found, read or written, or hivex
** failed on it, with `error` set to one line naming the hive and the cause; also when a folder
** on the way or the hive is there in two letter cases (SOFTWARE and software): Windows would
** see one of them, so neither is examined, and the line names both. */
int RemoveOfflineRunValue(const char *root, int reportOnly, char *found, size_t foundSize,
                          char *error, size_t errorSize,
                          void (*swept)(const char *folder, const char *name));

#endif
