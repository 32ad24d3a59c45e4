#include "scan/scanstate.h"

#include <string.h>

char ScanPath[ScanPathSize];
char TargetPath[TargetPathSize];
std::atomic<int32_t> ScanContinue{0};
std::atomic<int32_t> ScanState{Initializing};
ScanCounterSet ScanCounters;

void ResetScanCounters(void)
{
    memset(&ScanCounters, 0, sizeof ScanCounters);
}

void StopScan(void)
{
    ScanContinue.store(0, std::memory_order_relaxed);
}

int CopyText(char *buffer, uint32_t size, const char *text)
{
    size_t n = strlen(text);
    if (n >= size)
        return 0;
    memcpy(buffer, text, n + 1);
    return 1;
}

int AppendText(char *buffer, uint32_t size, const char *text)
{
    size_t used = strlen(buffer);
    if (used >= size)
        return 0;
    return CopyText(buffer + used, (uint32_t)(size - used), text);
}
