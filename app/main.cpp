/*
** The dialog program's entry point (the toolchain's start-up code is not linked: app/start.h).
** The dialog takes no command line; the process ends through exit(), which runs what was
** registered with atexit.
*/
#include "app/dialog.h"
#include "app/start.h"

#include <stdlib.h>

/* The system calls the entry with a stack aligned to 4 bytes only. */
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup(void)
{
    StartRunTime(2);
    exit(RunMainDialog(GetModuleHandleA(NULL)));
}
