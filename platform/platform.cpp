/*
** The table itself, the same for both builds: each backend only supplies PlatformDefaults.
*/
#include "platform/platform.h"

PlatformOps Platform = PlatformDefaults;

void PlatformRestore(void)
{
    Platform = PlatformDefaults;
}
