/*
** The quarantine.
**
** Everything about the file comes through the handle the detection read: its name may lead to
** another file by now, so it is never opened again. The file is read twice, once for the
** digest that names the copy and once into the copy, and the copy is read back: the three
** digests must agree, or the file is left as it is.
**
** The folder is opened once and held (Platform.store.openStore): it must be the running user's and
** closed to everyone else's writes, so no one but this process changes a name in it; another
** run that shares it waits for the lock while a file is being put away. A copy is written
** under a name of its own and only then takes the digest's name, never replacing what is
** there; a file already under that name counts only when it is the scanner's own (one name,
** the running user's, mode 0400) and reads back with the same digest. The file is changed
** only once the copy and its index line are on disk.
*/
#include "disinfect/quarantine.h"
#include "base/json.h"
#include "base/text.h"

#include "engine/sha256.h"
#include "engine/signature.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <string.h>
#include <time.h>

const char StatusQuarantined[] = "copied to quarantine";
const char StatusLeftoverRemoved[] = "removed: a leftover of a run that did not end";

#define MaxLevels 256              /* folders climbed from a path towards its root, at most */
#define LineSize (6 * PlatformPathSize + 1024)

#define ZeroPiece (4u << 20)       /* zeros of a hole digested between two looks at a stop */
#define ZeroRuns 16                /* holes whose digests are remembered */

/* A hole's zeros digested from one state: a file is read three times (and a restore twice),
** and the same zeros from the same state give the same state, so each hole costs once. */
struct ZeroRun {
    Sha256 before, after;
    uint64_t length;
};

/* The quarantine of this run: the folder as QuarantineOpen was given it, its index held with
** it, and the worker thread's buffers for reading a file and making an index line. */
static struct {
    char folder[PlatformPathSize];
    FileHandle index = InvalidFileHandle;
    uint64_t volume, inode;   /* the folder held, as openStore gave it */
    uint8_t chunk[65536];
    char line[LineSize];
    ZeroRun runs[ZeroRuns];
    uint32_t nextRun;
    int readOnly;                  /* the index was opened for reading only (a restore) */
    char message[600];             /* why the folder was refused */
} Kept;

static void ParentOf(const char *path, char *out, uint32_t size);

/* 1 when `inner` (a folder, or a file: then from its folder), or one of the folders above it,
** is the folder of identity (volume, index); 0 when none is; -1 when `inner` itself has no
** identity to compare. Climbs by "..", so links on the way count as what they lead to. A path
** that cannot be climbed further answers 1: what cannot be told is refused. */
static int Below(const char *inner, uint64_t volume, uint64_t index)
{
    char path[PlatformPathSize];
    uint64_t v, i, lastV = 0, lastI = 0;
    if (!CopyText(path, sizeof path, inner))
        return 1;
    /* A file has no ".." of its own: a kept copy named as a PATH is below the quarantine. */
    uint32_t attributes = Platform.files.getFileAttributes(path);
    if (attributes != InvalidFileAttributes && !(attributes & AttrDirectory)) {
        if (!Platform.files.fileIdentity(path, &v, &i))
            return -1;
        ParentOf(inner, path, sizeof path);
    }
    for (int level = 0; level < MaxLevels; level++) {
        if (!Platform.files.fileIdentity(path, &v, &i))
            return level > 0 ? 0 : -1;
        if (v == volume && i == index)
            return 1;
        if (level > 0 && v == lastV && i == lastI)
            return 0;                            /* the root is its own parent */
        lastV = v;
        lastI = i;
        const char up[] = {PathSeparator, '.', '.', 0};
        if (!AppendText(path, sizeof path, up))
            return 1;
    }
    return 1;
}

/* `inner` is `outer` or lies below it, by the text of the paths (ASCII case folded), where
** folders have no identity to compare (the 9x family, which has no links either). */
static int BelowByName(const char *inner, const char *outer)
{
    size_t n = strlen(outer);
    while (n > 0 && outer[n - 1] == PathSeparator)
        n--;
    for (size_t k = 0; k < n; k++)
        if (FoldAscii(inner[k]) != FoldAscii(outer[k]))
            return 0;
    return inner[n] == 0 || inner[n] == PathSeparator;
}

/* The folder `inner` is `outer` or lies below it. */
static int Inside(const char *inner, const char *outer)
{
    uint64_t volume, index;
    int below = Platform.files.fileIdentity(outer, &volume, &index) ? Below(inner, volume, index) : -1;
    return below < 0 ? BelowByName(inner, outer) : below;
}

/* The folder that holds `path` into `out`: "." for a plain name, a root keeps its separator. */
static void ParentOf(const char *path, char *out, uint32_t size)
{
    CopyText(out, size, path);
    char *end = out + strlen(out);
    while (end > out + 1 && end[-1] == PathSeparator)
        *--end = 0;
    char *cut = strrchr(out, PathSeparator);
    if (!cut)
        CopyText(out, size, ".");
    else
        cut[cut == out || cut[-1] == ':'] = 0;
}

static const char Refused[] =
    "a scanned path must not lie inside the quarantine folder (on Windows 98, nor it in one)";

static const char *const StoreCauses[] = {
    nullptr,
    "the quarantine must be a folder, not a link or a file",
    "the quarantine folder cannot be created or opened",
    "the quarantine folder belongs to another user",
    "the quarantine folder may be written by others (its group or everyone)",
    "the quarantine's index.jsonl is not a regular file of the running user's",
    "the quarantine's index.jsonl cannot be opened for writing",
    "the quarantine folder's file system keeps no owners or modes, and the way it is mounted "
    "lets others write there (or gives it to another user): mount it with "
    "-o uid=0,gid=0,umask=077 (your user and group ids for 0), or ntfs-3g with -o permissions",
};

/* Why openStore refused, in one line: with the system's words where a call failed. */
static const char *StoreRefused(int cause, const char *cannotMake)
{
    const char *text = cause == StoreCannotMake ? cannotMake
                     : cause > 0 && cause <= StoreMountOpen ? StoreCauses[cause]
                                                            : StoreCauses[StoreCannotMake];
    CopyText(Kept.message, sizeof Kept.message, text);
    char system[160] = "";
    if (cause == StoreCannotMake || cause == StoreIndexCannot)
        Platform.system.lastError(system, sizeof system);
    if (system[0]) {
        AppendText(Kept.message, sizeof Kept.message, " (");
        AppendText(Kept.message, sizeof Kept.message, system);
        AppendText(Kept.message, sizeof Kept.message, ")");
    }
    return Kept.message;
}

/* Names a half-made copy of a run that did not end, which the store's sweep removed. */
static void Swept(const char *name, void *context)
{
    (void)context;
    char path[PlatformPathSize];
    const char separator[] = {PathSeparator, 0};
    if (CopyText(path, sizeof path, Kept.folder) && AppendText(path, sizeof path, separator) &&
        AppendText(path, sizeof path, name))
        ShowNotice(path, StatusLeftoverRemoved);
}

void QuarantineSweep(void)
{
    if (Platform.store.sweepStore)
        Platform.store.sweepStore(Swept, nullptr);
}

const char *QuarantineOpen(const char *path, const char *const *targets, int count)
{
    if (!CopyText(Kept.folder, sizeof Kept.folder, path) || strlen(path) + 80 >= PlatformMaxPath)
        return "the quarantine folder's path is too long";
    uint32_t attributes = Platform.files.getFileAttributes(Kept.folder);
    int create = attributes == InvalidFileAttributes;
    if (!create && ((attributes & AttrReparsePoint) || !(attributes & AttrDirectory)))
        return StoreCauses[StoreNotFolder];
    for (int i = 0; i < count; i++)
        if (!create && Inside(targets[i], Kept.folder))
            return Refused;
    uint64_t volume = 0, inode = 0;
    QuarantineClose();
    int cause = Platform.store.openStore(Kept.folder, create, QuarantineIndex, &Kept.index,
                                         &volume, &inode);
    if (cause != StoreReady)
        return StoreRefused(cause, StoreCauses[StoreCannotMake]);
    Kept.volume = volume;
    Kept.inode = inode;
    /* The folder held, by its identity: no target may lie below it. Where the folder has none
    ** (the 9x family), a scan could not tell it from the tree around it: it may not lie in a
    ** target either. */
    for (int i = 0; i < count; i++)
        if ((volume || inode) ? Below(targets[i], volume, inode) == 1
                              : Inside(Kept.folder, targets[i]))
            return Refused;
    return nullptr;
}

int QuarantineIdentity(uint64_t *volume, uint64_t *index)
{
    *volume = Kept.volume;
    *index = Kept.inode;
    return Kept.index != InvalidFileHandle && (Kept.volume || Kept.inode);
}

const char *QuarantineReopen(const char *path)
{
    uint64_t volume = 0, inode = 0;
    if (!CopyText(Kept.folder, sizeof Kept.folder, path) || strlen(path) + 80 >= PlatformMaxPath)
        return "the quarantine folder's path is too long";
    QuarantineClose();
    int cause = Platform.store.openStore(Kept.folder, 0, QuarantineIndex, &Kept.index, &volume,
                                         &inode);
    Kept.readOnly = cause == StoreReadOnly;
    if (cause == StoreReady || cause == StoreReadOnly) {
        if (!Kept.readOnly)
            QuarantineSweep();
        return nullptr;
    }
    Kept.index = InvalidFileHandle;
    return StoreRefused(cause, "the quarantine folder cannot be opened");
}

int QuarantineReadOnly(void)
{
    return Kept.readOnly;
}

void QuarantineClose(void)
{
    if (Kept.index != InvalidFileHandle) {
        Platform.files.closeFile(Kept.index);
        Platform.store.closeStore();
    }
    Kept.index = InvalidFileHandle;
}

/* `length` zeros into `sha`; 0 when a stop came first. */
static int AddZeros(Sha256 *sha, uint64_t length)
{
    for (const ZeroRun &run : Kept.runs)
        if (run.length == length && !memcmp(&run.before, sha, sizeof *sha)) {
            *sha = run.after;
            return 1;
        }
    Sha256 before = *sha;
    for (uint64_t done = 0, piece; done < length; done += piece) {
        if (!ScanContinue.load())
            return 0;
        piece = length - done < ZeroPiece ? length - done : ZeroPiece;
        Sha256AddZeros(sha, piece);
    }
    ZeroRun *run = &Kept.runs[Kept.nextRun++ % ZeroRuns];
    run->before = before;
    run->after = *sha;
    run->length = length;
    return 1;
}

int64_t QuarantineDigest(FileHandle from, FileHandle to, uint8_t digest[Sha256Size])
{
    Sha256 sha;
    uint64_t at = 0, written = 0;
    Sha256Begin(&sha);
    for (;;) {
        if (!ScanContinue.load())
            return QuarantineStopped;
        int hole = 0;
        uint32_t got = Platform.files.readAt(from, Kept.chunk, sizeof Kept.chunk, at, &hole);
        if (got == 0)
            break;
        if (hole && !AddZeros(&sha, got))
            return QuarantineStopped;
        if (!hole) {
            Sha256Add(&sha, Kept.chunk, got);
            if (to != InvalidFileHandle && Platform.store.writeAt(to, Kept.chunk, got, at) != got)
                return -1;
            written = at + got;
        }
        at += got;
    }
    /* Only a hole at the end leaves the new file short: some file systems (FAT through FUSE)
    ** refuse to set a file's size at all. */
    if (to != InvalidFileHandle && written < at && !Platform.store.truncateFile(to, at))
        return -1;
    Sha256End(&sha, digest);
    return (int64_t)at;
}

/* `"key":"YYYY-MM-DDTHH:MM:SSZ"`. */
static void PutTime(JsonLine *out, const char *key, int64_t seconds)
{
    char text[UtcTextSize];
    FormatUtc(seconds, text);
    JsonName(out, key, text);
}

/* The index line of the file in ScanPath, copied as `hex`, in one write at the index's end
** (the lock is held, so the end is still where it was found). A line too long for `line` is
** not written; a short write is cut back off, so that the next line never lands after a cut
** one. */
static int WriteIndexLine(const FileFacts *facts, const char *hex, const ScanContext *context)
{
    JsonLine out;
    JsonBegin(&out, Kept.line, sizeof Kept.line);
    JsonOpen(&out, '{');
    JsonKey(&out, "sha256");
    JsonString(&out, hex);
    /* Where the file is, as the system resolves it from the folder held: a restore from any
    ** working folder finds the place, whatever "." or link the PATH given held. */
    char where[PlatformPathSize];
    JsonName(&out, "path", Platform.files.entryPath(where, sizeof where) ? where : ScanPath);
    char host[64];
    if (Platform.system.hostName(host, sizeof host))
        JsonName(&out, "host", host);
    JsonKey(&out, "size");
    JsonUnsigned(&out, facts->size);
    if (facts->hasOwner) {
        char mode[1 + NumberTextSize] = "0";
        FormatNumber(mode + 1, facts->mode, 8, 0);
        JsonKey(&out, "mode");
        JsonString(&out, mode);
        JsonKey(&out, "owner");
        JsonUnsigned(&out, facts->owner);
        JsonKey(&out, "group");
        JsonUnsigned(&out, facts->group);
    } else {
        JsonKey(&out, "attributes");
        JsonUnsigned(&out, facts->mode);
    }
    PutTime(&out, "modified", facts->modified);
    PutTime(&out, "accessed", facts->accessed);
    PutTime(&out, facts->hasOwner ? "changed" : "created", facts->changed);
    JsonName(&out, "detection",
             context->matchedName && *context->matchedName ? *context->matchedName : "");
    PutTime(&out, "quarantined", (int64_t)time(NULL));
    JsonClose(&out, '}');
    return JsonEnd(&out) && QuarantineAppend(Kept.line, out.length);
}

int QuarantineAppend(const char *text, uint32_t length)
{
    if (Kept.index == InvalidFileHandle)
        return 0;
    uint32_t end = Platform.files.seekFile(Kept.index, 0, SeekFromEnd);
    if (end == 0xFFFFFFFFu)
        return 0;
    if (Platform.store.writeFile(Kept.index, text, length) != length) {
        Platform.store.truncateFile(Kept.index, end);
        Platform.store.syncFile(Kept.index);
        return 0;
    }
    return Platform.store.syncFile(Kept.index);
}

uint32_t QuarantineIndexSize(void)
{
    return Kept.index == InvalidFileHandle ? 0xFFFFFFFFu
                                          : Platform.files.seekFile(Kept.index, 0, SeekFromEnd);
}

uint32_t QuarantineReadIndex(uint32_t offset, void *buffer, uint32_t count)
{
    if (Kept.index == InvalidFileHandle || offset > 0x7FFFFFFFu ||
        Platform.files.seekFile(Kept.index, (int32_t)offset, SeekFromStart) != offset)
        return 0;
    return Platform.files.readFile(Kept.index, buffer, count);
}

/* The copy already under the digest's name stands when it is the scanner's own and reads back
** whole with the same digest. */
static int CopyStands(const char *name, const uint8_t digest[Sha256Size], uint64_t size)
{
    uint8_t again[Sha256Size];
    FileHandle copy = Platform.store.openStored(name);
    if (copy == InvalidFileHandle)
        return 0;
    int ok = QuarantineDigest(copy, InvalidFileHandle, again) == (int64_t)size &&
             !memcmp(digest, again, Sha256Size);
    Platform.files.closeFile(copy);
    return ok;
}

static const char Stopped[] = "the run was stopped before the copy was whole";
/* Every call succeeded, and yet the bytes differ: the file system's fault, not a call's. */
static const char ReadsBackOtherwise[] = "the copy does not read back as written";

/* Why the file in hand was not kept: `what`, and the system's words for the call that failed
** (none for a stop, which no call caused), as one line for the user (ShowNotice). The file is
** then left as it is ("unable to clean"). */
static int NotKept(const char *what)
{
    char cause[160] = "", line[400];
    if (what != Stopped && what != ReadsBackOtherwise)
        Platform.system.lastError(cause, sizeof cause);
    CopyText(line, sizeof line, "not copied to quarantine, so left as it is: ");
    AppendText(line, sizeof line, what);
    if (cause[0]) {
        AppendText(line, sizeof line, " (");
        AppendText(line, sizeof line, cause);
        AppendText(line, sizeof line, ")");
    }
    ShowNotice(ScanPath, line);
    return 0;
}

/* Writes the detected file into a new file of the store, reads it back, and gives it the
** digest's name without replacing anything; the new file is removed on any failure. Answers
** null, or what failed. */
static const char *MakeCopy(ScanContext *context, const char *name,
                            const uint8_t digest[Sha256Size], uint64_t size)
{
    uint8_t again[Sha256Size];
    char made[PlatformPathSize];
    FileHandle copy = Platform.store.createStored(name, made, sizeof made);
    if (copy == InvalidFileHandle)
        return "the copy cannot be created in the quarantine folder";
    const char *why = nullptr;
    int64_t wrote = QuarantineDigest(context->file, copy, again), read = 0;
    if (wrote != (int64_t)size || memcmp(digest, again, Sha256Size) ||
        !Platform.store.syncFile(copy))
        why = wrote == QuarantineStopped ? Stopped : "the copy cannot be written whole";
    else if ((read = QuarantineDigest(copy, InvalidFileHandle, again)) != (int64_t)size)
        why = read == QuarantineStopped ? Stopped : "the copy cannot be read back";
    else if (memcmp(digest, again, Sha256Size))
        why = ReadsBackOtherwise;
    else if (!Platform.store.placeStored(copy, made, name))
        why = "the copy cannot take its name (something else of that name is in the way)";
    if (why)
        Platform.store.removeStored(copy, made);    /* no copy under a name it does not deserve */
    if (!Platform.files.closeFile(copy) && !why)
        why = "the copy cannot be closed";
    return why;
}

int QuarantineFile(ScanContext *context)
{
    FileFacts facts;
    uint8_t digest[Sha256Size];
    char hex[Sha256HexSize], name[Sha256HexSize + sizeof QuarantineSuffix];

    if (Kept.index == InvalidFileHandle)
        return NotKept("the quarantine is not open");
    if (!Platform.store.fileFacts(context->file, &facts))
        return NotKept("the file cannot be read for its digest");
    int64_t read = QuarantineDigest(context->file, InvalidFileHandle, digest);
    if (read != (int64_t)facts.size)
        return NotKept(read == QuarantineStopped ? Stopped
                                                 : "the file cannot be read for its digest");
    Sha256Hex(digest, hex);
    if (!CopyText(name, sizeof name, hex) || !AppendText(name, sizeof name, QuarantineSuffix))
        return NotKept("the copy's name does not fit");
    if (!Platform.store.lockStore(1))
        return NotKept("the quarantine cannot be locked");
    /* The same contents were put there before (another name of the worm, an earlier run):
    ** that copy stands. Anything else under the name is in the way and stays. */
    const char *why = CopyStands(name, digest, facts.size) ? nullptr
                                                           : MakeCopy(context, name, digest,
                                                                      facts.size);
    if (!why && !WriteIndexLine(&facts, hex, context))
        why = "its line cannot be written to the quarantine's index.jsonl";
    if (why) {
        NotKept(why);
        Platform.store.lockStore(0);
        return 0;
    }
    Platform.store.lockStore(0);
    AddResultRow(ScanPath, StatusQuarantined, RowQuarantined, 0);
    return 1;
}
