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
