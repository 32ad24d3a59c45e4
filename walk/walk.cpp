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

void ScanGivenPaths(const char *const *paths, int count)
{
    ResetScanCounters();
    for (int i = 0; i < count && ShouldGoOn(); i++) {
        if (!CopyText(ScanPath, PlatformMaxPath, paths[i])) {
            ProcessUnreachableFile(paths[i]);
            continue;
        }
        uint32_t attributes = Platform.getFileAttributes(ScanPath);
        if (attributes != InvalidFileAttributes && (attributes & AttrDirectory))
            ScanFolder();
        else
            ProcessFile();
    }
}

/* A link names another entry (a name-surrogate reparse tag); other reparse points, such as
** cloud placeholders and deduplicated files, are the file's own contents and are scanned. */
static int IsLink(const FindRecord *record)
{
    return (record->attributes & AttrReparsePoint) &&
           (record->reparseTag & ReparseTagNameSurrogate);
}

static int IsDotEntry(const char *name)
{
    return (name[0] == '.' && name[1] == 0) || (name[0] == '.' && name[1] == '.' && name[2] == 0);
}

/* An entry whose path the system cannot take, `name` to be put at `cut`, is not passed over in
** silence: whatever it holds goes unscanned. A file counts as a file that cannot be opened
** (a row for a program extension); a folder counts as entered and, as nothing in it can be
** reached, always gets the row "unable to open file" against its path with the separator. */
static char *EntryPath(uint32_t cut, const FindRecord *record)
{
    /* The worker is the only user. Any folder path that fits ScanPath and any name fit here. */
    static char path[ScanPathSize + sizeof record->name + 1];
    memcpy(path, ScanPath, cut);
    path[cut] = 0;
    AppendText(path, sizeof path, record->name);
    return path;
}

static void PassOver(uint32_t cut, const FindRecord *record)
{
    char *path = EntryPath(cut, record);
    if (!(record->attributes & AttrDirectory)) {
        ProcessUnreachableFile(path);
        return;
    }
    char separator[2] = {PathSeparator, 0};
    AppendText(path, ScanPathSize + sizeof record->name + 1, separator);
    ScanCounters.folders++;
    AddResultRow(path, StatusUnableToOpen);
    ShowPassedOver(path, PassedTooLong);
}

/* A link or mount point the walk does not go through is named to whoever listens. */
static void PassOverLink(uint32_t cut, const FindRecord *record)
{
    int mountPoint = (record->attributes & AttrDirectory) &&
                     record->reparseTag == ReparseTagMountPoint;
    ShowPassedOver(EntryPath(cut, record), mountPoint ? PassedMountPoint : PassedLink);
}

void ScanFolder(void)
{
    FindRecord record;

    ScanCounters.folders++;
    uint32_t cut = (uint32_t)strlen(ScanPath);
    if (cut == 0 || ScanPath[cut - 1] != PathSeparator) {
        /* Without room for the separator the folder is counted but cannot be walked. */
        if (cut + 1 >= ScanPathSize) {
            ShowPassedOver(ScanPath, PassedTooLong);
            return;
        }
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
                if (record.attributes & AttrDirectory) {
                    /* A link to a folder is not followed: it may lead back up the tree
                    ** (endless recursion) or into a part walked anyway (files twice). */
                    if (IsDotEntry(record.name))
                        continue;
                    if (record.attributes & AttrReparsePoint) {
                        PassOverLink(cut, &record);
                        continue;
                    }
                    /* Room for the name, its separator and the pattern: a longer path, even one
                    ** that ScanPath would hold, cannot be listed. */
                    if (AppendText(ScanPath, PlatformMaxPath - 4, record.name))
                        ScanFolder();
                    else
                        PassOver(cut, &record);
                } else if (IsLink(&record)) {
                    /* A link to a file is not followed either: its target may lie outside the
                    ** folder the user chose, or be scanned twice inside it; and deleting it
                    ** would remove the link, not the file, whatever the row said. */
                    PassOverLink(cut, &record);
                } else {
                    if (AppendText(ScanPath, PlatformMaxPath, record.name))
                        ProcessFile();
                    else
                        PassOver(cut, &record);
                }
            } while (ShouldGoOn() && Platform.findNext(find, &record));
            Platform.findClose(find);
        } else {
            ScanPath[cut] = 0;
            ShowPassedOver(ScanPath, PassedNotListed);
        }
    } else {
        ShowPassedOver(ScanPath, PassedTooLong);
    }
    ScanPath[cut] = 0;
    ShowTarget(ScanPath);
}
