/*
** What the POSIX backend opens to tests beyond the table: pieces that read system files, so
** that a test can hand them a forged one.
*/
#ifndef KRV_PLATFORM_HOOKS_H
#define KRV_PLATFORM_HOOKS_H

#include "platform/platform.h"

#ifndef _WIN32
/* fixedDrives over the mount table at `mountTable` instead of /proc/self/mounts. */
uint32_t PosixFixedDrivesFrom(const char *mountTable, char (*roots)[MaxRootPath], uint32_t max);

/* Read-ahead of listed files (on by default): off makes every walk begun afterwards read one
** file at a time, as where the system has no io_uring. */
void PosixSetReadAhead(int enabled);

/* How many files the scan has opened as read-ahead fetched them, since the process began. */
uint32_t PosixReadAheadTaken(void);

/* Non-zero when read-ahead is on and this system gives the process a ring it can use. */
int PosixReadAheadAvailable(void);
#endif

#endif
