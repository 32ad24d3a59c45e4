/*
** The console scanner's entry point on Windows (the toolchain's start-up code is not linked:
** app/start.h). It asks the C run time for the arguments as that code does, without wildcard
** expansion (a PATH is taken as written), and ends through exit(), which flushes the streams
** and runs what was registered with atexit.
*/
#include "app/start.h"

#include <stdlib.h>

int main(int argc, char **argv);

struct StartupInfo {
    int newMode;                                   /* 0: malloc failures are not retried */
};
extern "C" __declspec(dllimport) int __cdecl __getmainargs(int *argc, char ***argv, char ***env,
                                                            int wildcards, StartupInfo *info);

/* The system calls the entry with a stack aligned to 4 bytes only. */
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup(void)
{
    int argc = 0;
    char **argv = 0, **env = 0;
    StartupInfo info = {0};
    StartRunTime(1);
    if (__getmainargs(&argc, &argv, &env, 0, &info) < 0)
        exit(2);
    exit(main(argc, argv));
}
