/*
** Whether a Windows installation that is not running will resume from its disk: hibernated, or
** shut down by Fast Startup (a hibernation of the kernel's session). Windows resumes from the
** memory image in hiberfil.sys without looking at what changed on the disk meanwhile, so a
** change made now is lost or corrupts the volume when it resumes. For --windows-root.
*/
#ifndef KRV_HIBERFIL_H
#define KRV_HIBERFIL_H

#include <stddef.h>

/* Looks for hiberfil.sys (in any letter case, no link taken, a regular file only, never waiting
** on it) in the folder `root` and reads its first four bytes. Answers 1 when they are "hibr",
** "wake" or "rstr" in any letter case (Windows is to resume), with `signature` set to them;
** 0 when there is no such file, it does not begin so (a full shutdown zeroes them), or it is no
** regular file (a link, folder, FIFO or device is no image Windows resumes from); -1 when a
** regular one is there but cannot be read, with `signature` set to the cause. `signature` has at least
** 64 bytes. */
int WindowsHibernated(const char *root, char *signature, size_t size);

#endif
