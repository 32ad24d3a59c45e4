/*
** The scan worker and the folder walk.
**
** The walk keeps no path of its own: every level appends entry names to ScanPath at its cut
** point (the length of its folder's path, separator included) and cuts the path back when it
** is done, so the only memory a level needs is that length and one find record.
*/
#include "walk/walk.h"
#include "base/text.h"

#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <string.h>

static int ShouldGoOn(void)
{
    return ScanContinue.load(std::memory_order_relaxed) != 0;
}

uint32_t ScanThreadProc(void *parameter)
{
    (void)parameter;
    if (TargetPath[0])
        ScanSelectedFolder(TargetPath);
    else
        ScanAllFixedDrives();
    ShowTarget(TargetPath);
    if (ScanState.load() != Idle)
        ShowScanReport();
    return 0;
}

void ScanAllFixedDrives(void)
{
    static char roots[MaxFixedDrives][MaxRootPath];   /* the worker is the only user */

    ResetScanCounters();
    ScanContinue.store(1, std::memory_order_relaxed);
    uint32_t count = Platform.fixedDrives(roots, MaxFixedDrives);
    if (count > MaxFixedDrives)
        count = MaxFixedDrives;
    /* The stop flag is not looked at here: after a stop every remaining drive is still
    ** entered, counted and left at once by ScanFolder. */
    for (uint32_t i = 0; i < count; i++) {
        roots[i][MaxRootPath - 1] = 0;
        if (CopyText(ScanPath, ScanPathSize, roots[i]))
            ScanFolder();
    }
}

void ScanSelectedFolder(const char *folder)
{
    ScanContinue.store(1, std::memory_order_relaxed);
    int fits = CopyText(ScanPath, ScanPathSize, folder);
    ResetScanCounters();
    if (fits)
        ScanFolder();
    else
        ScanCounters.folders++;
}

static int IsDotEntry(const char *name)
{
    return (name[0] == '.' && name[1] == 0) || (name[0] == '.' && name[1] == '.' && name[2] == 0);
}

void ScanFolder(void)
{
    FindRecord record;

    ScanCounters.folders++;
    uint32_t cut = (uint32_t)strlen(ScanPath);
    if (cut == 0 || ScanPath[cut - 1] != PathSeparator) {
        /* Without room for the separator the folder is counted but cannot be walked. */
        if (cut + 1 >= ScanPathSize)
            return;
        ScanPath[cut++] = PathSeparator;
        ScanPath[cut] = 0;
    }
    ShowTarget(ScanPath);
    if (!ShouldGoOn())
        return;

    if (AppendText(ScanPath, ScanPathSize, "*.*")) {
        FindHandle find = Platform.findFirst(ScanPath, &record);
        if (find != InvalidFindHandle) {
            do {
                record.name[sizeof record.name - 1] = 0;
                ScanPath[cut] = 0;
                if (!AppendText(ScanPath, ScanPathSize, record.name))
                    continue;   /* its path would not fit: skipped */
                if (!(record.attributes & AttrDirectory)) {
                    ProcessFile();
                } else if (!IsDotEntry(record.name) && !(record.attributes & AttrReparsePoint)) {
                    /* A link to a folder is not followed: it may lead back up the tree
                    ** (endless recursion) or into a part walked anyway (files twice). */
                    ScanFolder();
                }
            } while (ShouldGoOn() && Platform.findNext(find, &record));
            Platform.findClose(find);
        }
    }
    ScanPath[cut] = 0;
    ShowTarget(ScanPath);
}
