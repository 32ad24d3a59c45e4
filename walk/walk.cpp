/*
** The scan worker and the folder walk.
**
** The walk keeps no path of its own: every level appends entry names to ScanPath at its cut
** point (the length of its folder's path, separator included) and cuts the path back when it
** is done, so the only memory a level needs is that length and one find record.
**
** The entry in hand (InHand) is set by TakeEntry and cleared by DropEntry only, around the
** handling of each entry, so that it never outlives the listing it names: whatever that entry
** turns out to be (a file, a folder, a link, "."), it is gone before the next entry is taken
** or the listing closed, and a path handled after the walk is never looked up through it.
*/
#include "walk/walk.h"
#include "base/glob.h"
#include "base/text.h"

#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <string.h>

const WalkRules *ScanRules;

static int ShouldGoOn(void)
{
    return ScanContinue.load(std::memory_order_relaxed) != 0;
}

/* A scan begins: the counters from zero, and read-ahead told what the detector reads of each
** file first. */
static void BeginScan(void)
{
    ResetScanCounters();
    PlanReadAhead();
    ForgetWaitingVolumes();
}

static void LookForOwnOn(const char *path);

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

    BeginScan();
    ScanContinue.store(1, std::memory_order_relaxed);
    uint32_t count = Platform.files.fixedDrives(roots, MaxFixedDrives);
    if (count > MaxFixedDrives)
        count = MaxFixedDrives;
    /* The stop flag is not looked at here: after a stop every remaining drive is still
    ** entered, counted and left at once by ScanFolder. */
    for (uint32_t i = 0; i < count; i++) {
        roots[i][MaxRootPath - 1] = 0;
        LookForOwnOn(roots[i]);
        if (CopyText(ScanPath, ScanPathSize, roots[i])) {
            ReportWaitingAtRestart(ScanPath);
            ScanFolder();
        }
    }
}

void ScanSelectedFolder(const char *folder)
{
    ScanContinue.store(1, std::memory_order_relaxed);
    int fits = CopyText(ScanPath, ScanPathSize, folder);
    BeginScan();
    LookForOwnOn(folder);
    if (fits) {
        ReportWaitingAtRestart(ScanPath);
        ScanFolder();
    } else {
        ScanCounters.folders++;
    }
}

/* The entry at `nameAt` in ScanPath, as `find` has just listed it, is the entry in hand. */
static void TakeEntry(FindHandle find, uint32_t nameAt)
{
    InHand = {find, ScanPath, nameAt, 1, 0, 0, 0};
}

/* No entry is in hand: paths are looked up as they are given. */
static void DropEntry(void)
{
    InHand = {InvalidFindHandle, 0, 0, 0, 0, 0, 0};
}

/* Whether one of the program's own entries may lie where the walk is: on the volume of the
** PATH it walks, or anywhere once the walk crosses into other file systems. Looking up each
** entry's identity costs a call per entry, paid only then. The worker is the only user. */
static int ownHere;

static void LookForOwnOn(const char *path)
{
    uint64_t volume, index;
    ownHere = 0;
    if (!ScanRules || !ScanRules->ownCount)
        return;
    if (CrossMountPoints || !Platform.files.fileIdentity(path, &volume, &index)) {
        ownHere = 1;
        return;
    }
    for (int i = 0; i < ScanRules->ownCount; i++)
        ownHere |= ScanRules->own[i].volume == volume;
}

/* The program's own entry that `path` is, or null. */
static const OwnEntry *OwnEntryAt(const char *path)
{
    uint64_t volume, index;
    if (!ownHere || !Platform.files.fileIdentity(path, &volume, &index))
        return nullptr;
    for (int i = 0; i < ScanRules->ownCount; i++)
        if (ScanRules->own[i].volume == volume && ScanRules->own[i].index == index)
            return &ScanRules->own[i];
    return nullptr;
}

/* Whether `path`, whose name begins at `name`, matches one of the `count` patterns: on the path
** when the pattern holds a separator, else on the name. */
static int Matches(const char *const *patterns, int count, const char *path, const char *name)
{
    int flags = PathSeparator == '/' ? 0 : GlobWindows;
    for (int i = 0; i < count; i++) {
        int onPath = strchr(patterns[i], '/') || strchr(patterns[i], PathSeparator);
        if (MatchGlob(patterns[i], onPath ? path : name, flags))
            return 1;
    }
    return 0;
}

/* Whether the entry at `path` (a folder's without its separator), whose name begins at
** `name`, is excluded; the rules' `excluded` is told. */
static int Excluded(const char *path, const char *name, int folder)
{
    const WalkRules *rules = ScanRules;
    if (!(folder ? Matches(rules->excludeFolders, rules->excludeFolderCount, path, name)
                 : Matches(rules->excludeFiles, rules->excludeFileCount, path, name)))
        return 0;
    if (rules->excluded)
        rules->excluded(path);
    return 1;
}

/* Whether `path` is one of the program's own entries, said when its entry says so. */
static int IsOwnEntry(const char *path)
{
    const OwnEntry *own = OwnEntryAt(path);
    if (own && own->said)
        ShowNotice(path, own->said);
    return own != nullptr;
}

/* Whether the rules (there must be some) pass over the entry at `path`, whose name begins at
** `name`. */
static int PassedByRules(const char *path, const char *name, int folder)
{
    return Excluded(path, name, folder) || IsOwnEntry(path);
}

/* A PATH given, passed over by the rules as the same entry met in the walk would be: its name
** is what follows its last separator, trailing ones left out. */
static int GivenPassedByRules(const char *path, int folder)
{
    static char trimmed[PlatformPathSize];   /* the worker is the only user */
    if (!ScanRules || !CopyText(trimmed, sizeof trimmed, path))
        return 0;
    size_t n = strlen(trimmed);
    while (n > 1 && (trimmed[n - 1] == '/' || trimmed[n - 1] == PathSeparator))
        trimmed[--n] = 0;
    const char *name = trimmed;
    for (const char *p = trimmed; *p; p++)
        if (*p == '/' || *p == PathSeparator)
            name = p + 1;
    /* The identity of the path as given: "C:" without its separator is another folder. */
    return Excluded(trimmed, name, folder) || IsOwnEntry(path);
}

/* The file in ScanPath, as a listing of that one entry: its folder is looked up once, and
** everything done to the file is done through it, to the file opened there. */
static void ScanGivenFile(void)
{
    FindRecord record;
    FindHandle find = Platform.files.findFirst(ScanPath, &record);
    if (find == InvalidFindHandle) {
        ProcessUnreachableFile(ScanPath);
        return;
    }
    const char *separator = strrchr(ScanPath, PathSeparator);
    TakeEntry(find, separator ? (uint32_t)(separator + 1 - ScanPath) : 0);
    ProcessFile();
    DropEntry();
    Platform.files.findClose(find);
}

/* The identities of the paths given, for the rule that each file is scanned once: those of
** the first MaxGivenPaths, and in the last entry that of the path in hand beyond them (a long
** list from find: it is compared with the first, its root among them). The worker is the only
** user. */
#define MaxGivenPaths 256
static struct GivenPath {
    int known, folder;
    uint64_t volume, index;
} given[MaxGivenPaths + 1];

static void IdentifyGiven(GivenPath *path, const char *name)
{
    path->known = Platform.files.fileIdentity(name, &path->volume, &path->index);
    uint32_t attributes = path->known ? Platform.files.getFileAttributes(name) : 0;
    path->folder = attributes != InvalidFileAttributes && (attributes & AttrDirectory);
}

/* Non-zero when the given folder `j` is, by identity, `volume` and `index`. */
static int IsGivenFolder(int j, uint64_t volume, uint64_t index)
{
    return given[j].known && given[j].folder && given[j].volume == volume && given[j].index == index;
}

/* Non-zero when the given path `i` is scanned anyway: the same as a path given before it, or
** below a folder given anywhere, where the walk of that folder reaches it: one of the folders
** up the tree from it, by "..", is that folder, and no mount point (another volume, which the
** walk does not enter) lies between. Beyond the first MaxGivenPaths, it is compared with those
** only. */
static int ScannedAnyway(const char *const *paths, int count, int i)
{
    static char up[PlatformPathSize];   /* the worker is the only user */
    if (count > MaxGivenPaths)
        count = MaxGivenPaths;
    GivenPath *path = &given[i < MaxGivenPaths ? i : MaxGivenPaths];
    if (i >= MaxGivenPaths)
        IdentifyGiven(path, paths[i]);
    if (!path->known)
        return 0;
    for (int j = 0; j < i && j < count; j++)
        if (given[j].known && given[j].volume == path->volume && given[j].index == path->index)
            return 1;
    if (!CopyText(up, sizeof up, paths[i]))
        return 0;
    /* First a file's own folder, with its separator, or a folder's parent; then each parent. */
    const char separator[2] = {PathSeparator, 0};
    char *last = strrchr(up, PathSeparator);
    int asIs = !path->folder;
    if (asIs && last)
        last[1] = 0;
    else if (asIs)
        CopyText(up, sizeof up, ".");
    uint64_t volume = path->volume, index = path->index;
    for (;;) {
        size_t length = strlen(up);
        if (!asIs && ((length && up[length - 1] != PathSeparator &&
                       !AppendText(up, sizeof up, separator)) ||
                      !AppendText(up, sizeof up, "..")))
            return 0;   /* beyond the buffer */
        uint64_t upVolume, upIndex;
        if (!Platform.files.fileIdentity(up, &upVolume, &upIndex) ||
            (upVolume != volume && !CrossMountPoints) ||
            (!asIs && upVolume == volume && upIndex == index))
            return 0;   /* across a mount point the walk does not cross, or at the root */
        for (int j = 0; j < count; j++)
            if (j != i && IsGivenFolder(j, upVolume, upIndex))
                return 1;
        asIs = 0;
        volume = upVolume;
        index = upIndex;
    }
}

void ScanGivenPaths(const char *const *paths, int count)
{
    BeginScan();
    for (int i = 0; i < count && i < MaxGivenPaths; i++)
        IdentifyGiven(&given[i], paths[i]);
    for (int i = 0; i < count && ShouldGoOn(); i++) {
        if (ScannedAnyway(paths, count, i))
            continue;
        if (!CopyText(ScanPath, PlatformMaxPath, paths[i])) {
            ProcessUnreachableFile(paths[i]);
            continue;
        }
        ReportWaitingAtRestart(ScanPath);
        uint32_t attributes = Platform.files.getFileAttributes(ScanPath);
        int folder = attributes != InvalidFileAttributes && (attributes & AttrDirectory);
        LookForOwnOn(paths[i]);
        if (GivenPassedByRules(paths[i], folder))
            continue;
        if (folder)
            ScanFolder();
        else
            ScanGivenFile();
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
** silence. A file counts as a file that cannot be opened (a row for a program extension). A
** folder is what any folder that cannot be listed is: counted and shown, without a row (nothing
** in the walk reports an error to the user), and named to whoever listens for what goes
** unscanned. EntryPath gives the entry's path in a buffer of the worker's own. */
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
    ShowTarget(path);
    ShowPassedOver(path, PassedTooLong);
}

/* A link or mount point the walk does not go through is named to whoever listens. */
static void PassOverLink(uint32_t cut, const FindRecord *record)
{
    int mountPoint = (record->attributes & AttrDirectory) &&
                     record->reparseTag == ReparseTagMountPoint;
    ShowPassedOver(EntryPath(cut, record), mountPoint ? PassedMountPoint : PassedLink);
}

/* The entry in hand, `record`, of the folder listed at `cut`: a folder is walked, a file
** processed, a link named, "." and ".." passed by. */
static void ScanEntry(uint32_t cut, const FindRecord *record)
{
    if (record->attributes & AttrDirectory) {
        /* A link to a folder is not followed: it may lead back up the tree (endless recursion)
        ** or into a part walked anyway (files twice). */
        if (IsDotEntry(record->name))
            return;
        if (record->attributes & AttrReparsePoint) {
            PassOverLink(cut, record);
            return;
        }
        if (ScanRules && (ownHere || ScanRules->excludeFolderCount) &&
            PassedByRules(EntryPath(cut, record), record->name, 1))
            return;
        /* Room for the name, its separator and the pattern: a longer path, even one that
        ** ScanPath would hold, cannot be listed. */
        if (AppendText(ScanPath, PlatformMaxPath - 4, record->name))
            ScanFolder();
        else
            PassOver(cut, record);
    } else if (IsLink(record)) {
        /* A link to a file is not followed either: its target may lie outside the folder the
        ** user chose, or be scanned twice inside it; and deleting it would remove the link, not
        ** the file, whatever the row said. */
        PassOverLink(cut, record);
    } else if (Platform.files.inAnotherRunsHands(record->name)) {
        /* The name another run of this program moved a file to while it deletes it: that run
        ** reports the file, which is gone a moment later (or, should it stay, is scanned by the
        ** next run like any file). */
        return;
    } else if (ScanRules && (ownHere || ScanRules->excludeFileCount) &&
               PassedByRules(EntryPath(cut, record), record->name, 0)) {
        /* Excluded, or one of the program's own: its path (a copy) made only where a rule may
        ** apply. */
        return;
    } else if (AppendText(ScanPath, PlatformMaxPath, record->name)) {
        ProcessFile();
    } else {
        PassOver(cut, record);
    }
}

void ScanFolder(void)
{
    FindRecord record = {};   /* no field left to chance, whatever a listing sets */

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
        /* The folder is the entry in hand of the listing around it, if any: it was only needed
        ** to open the listing. */
        InHand.failure = FailureNone;
        FindHandle find = Platform.files.findFirst(ScanPath, &record);
        int32_t failure = InHand.failure;
        DropEntry();
        if (find != InvalidFindHandle) {
            do {
                record.name[sizeof record.name - 1] = 0;
                ScanPath[cut] = 0;
                TakeEntry(find, cut);
                ScanEntry(cut, &record);
                DropEntry();
            } while (ShouldGoOn() && Platform.files.findNext(find, &record));
            Platform.files.findClose(find);
        } else {
            ScanPath[cut] = 0;
            ShowPassedOver(ScanPath,
                           failure == FailureDescriptors ? PassedNoDescriptors : PassedNotListed);
        }
    } else {
        ShowPassedOver(ScanPath, PassedTooLong);
    }
    ScanPath[cut] = 0;
    ShowTarget(ScanPath);
}
