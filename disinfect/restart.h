/*
** Work left to the next restart of the machine, by platform family: the NT family's delayed
** moves, the 9x family's [rename] section of wininit.ini. Neither operation touches ScanPath,
** the counters or the results list.
*/
#ifndef KRV_RESTART_H
#define KRV_RESTART_H

#include "platform/platform.h"

#include <stdint.h>

/* The copy is to take the file's place: moved now when nothing stands in the way, else
** registered for the restart (NT: the file's deletion, then the move, unless registering the
** deletion moved the file aside and the copy could take its name at once; 9x: "file=copy").
** `copyEntry`, when not null, is the copy's entry as its processing left it (its identity
** recorded): the move now acts on it, while the registrations act on the entry in hand, the
** file. Answers 1 on success, 0 on failure with nothing registered, 2 when the file's deletion
** at the restart is registered but nothing will take its place: the copy keeps its name. */
int ScheduleReplaceAtRestart(const char *copy, const char *file, const EntryInHand *copyEntry);

/* The file is to be deleted at the restart (NT: a delayed deletion, whose own non-zero result
** is passed on; 9x: "NUL=file"). Non-zero on success. */
int ScheduleDeleteAtRestart(const char *file);

/* Adds the line "destination=source" at the end of the [rename] section of the wininit.ini in
** the platform's Windows folder, each path in its short (8.3) form where it has one, keeping
** every line already there (other programs' too) and creating the file or the section when
** missing. Answers 1 when written, 0 otherwise. */
int AddWininitRename(const char *destination, const char *source);

/* The text part of AddWininitRename: writes into `out` (of `size` bytes) the profile text
** `ini` (of `length` bytes) with the line added; answers the new length, or 0 when it would
** not fit. */
uint32_t InsertRenameLine(const char *ini, uint32_t length, const char *line, char *out, uint32_t size);

#endif
