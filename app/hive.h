/*
** The worm's autostart value in the registry of a Windows installation that is not running:
** its SOFTWARE hive, read and written with hivex. For a rescue system that has the disk mounted.
*/
#ifndef KRV_HIVE_H
#define KRV_HIVE_H

#include <stddef.h>

/* Finds <root>/Windows/System32/config/SOFTWARE (each part in any letter case) and, under its
** key Microsoft\Windows\CurrentVersion\Run, the first value whose name IsWormValueName accepts.
** Unless `reportOnly`, removes that value: the hive is written to a new file beside it and
** renamed over it, so on any failure the hive stays as it was; without such a value nothing is
** written. Answers 1 when a value was found (and removed, unless reportOnly), with `found` set
** to "<hive path>:Microsoft\Windows\CurrentVersion\Run\<name>"; 0 when there is none; -1 when
** the hive cannot be found, read or written, with `error` set to one line naming the cause. */
int RemoveOfflineRunValue(const char *root, int reportOnly, char *found, size_t foundSize,
                          char *error, size_t errorSize);

#endif
