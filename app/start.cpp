/*
** The part of the toolchain's start-up code that the Windows programs need: atexit, through
** which the static destructors are registered, and the run time's program type.
*/
#include "app/start.h"

#include <stdlib.h>

extern "C" void __main(void);                      /* runs the static constructors once */
extern "C" __declspec(dllimport) void __cdecl __set_app_type(int type);

/* The program's own table of exit procedures is the run time's: exit() runs it. */
extern "C" int __cdecl atexit(void(__cdecl *procedure)(void))
{
    return _onexit((_onexit_t)procedure) ? 0 : -1;
}

void StartRunTime(int appType)
{
    __set_app_type(appType);
    __main();
}
