/*
** The table itself, the same for both builds: each backend only supplies PlatformDefaults.
*/
#include "platform/platform.h"

PlatformOps Platform = PlatformDefaults;

EntryInHand InHand = {InvalidFindHandle, 0, 0, 0, 0, 0, 0, 0};

int CrossMountPoints;

void SwapEntryInHand(EntryInHand *other)
{
    EntryInHand held = InHand;
    InHand = *other;
    *other = held;
}

int Is9xFamily(uint32_t versionWord)
{
    return (versionWord & VersionWord9xFamily) != 0;
}

void PlatformRestore(void)
{
    Platform = PlatformDefaults;
}
