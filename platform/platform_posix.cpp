// Placeholder table until the real operations are in.
#include "platform/platform.h"

const char PathSeparator = '/';
PlatformOps Platform;
void PlatformRestore(void) {}
