/*
** Putting back what the quarantine keeps.
**
** The store is reached through the one door the quarantine holds: QuarantineReopen opens the
** folder once, checked as for --quarantine, and a copy is opened only when it is the scanner's
** own. The index is only ever appended to, so it is read up to the size it had when the lock
** was taken; the lines the restore appends come after that. A line that cannot be read is
** named and skipped, never a reason to stop.
**
** A copy is read twice: once for the digest, before anything is written, and once into the new
** file; the two digests and the index's must agree, or the new file is removed again.
*/
#include "disinfect/restore.h"
#include "disinfect/quarantine.h"

#include "base/json.h"
#include "base/text.h"
#include "engine/sha256.h"
#include "platform/platform.h"
#include "scan/display.h"
#include "scan/scanstate.h"

#include <string.h>
#include <time.h>

const char StatusRestored[] = "restored from quarantine";
const char StatusAlreadyRestored[] = "already restored; skipped (name its ID to restore it again)";
const char StatusFoundRestored[] =
    "already restored: the file there is what a restore makes (the copy's SHA-256, owner, mode "
    "and time); skipped";

#define MaxIds 256
#define LineMax (6 * PlatformPathSize + 1024)        /* the longest line the quarantine writes */
#define MaxCandidates 8                              /* digests an ambiguous id names, at most */
#define MaxHandled 4096                              /* copies one run remembers, at most */

/* One copy as its index line tells it. */
struct Entry {
    char sha256[Sha256HexSize];
    char path[PlatformPathSize];
    FileFacts facts;
    int restored;                  /* the line records a restore, not a copy */
};

/* One restore, from the index line in hand to the copies dealt with. */
struct RestoreRun {
    char line[LineMax + 64];                 /* the index line in hand, room left for "restored" */
    uint32_t lineLength;
    Entry entry;                             /* that line, read */
    uint8_t chunk[65536];                    /* a line too long to hold, passed over */
    char chosen[MaxIds][Sha256HexSize];      /* the digest each id resolved to */
    int chosenByPath[MaxIds];                /* the id named the copy's path, not its digest */
    char message[MaxCandidates * (Sha256HexSize + 2) + 128];   /* why an id names no one copy */
    char said[1024];                         /* why the copy in hand could not be put back */
    char where[PlatformPathSize];            /* its path below --restore-root */
    uint32_t number;                         /* the index line in hand's number */
    /* The copies (digest and path) this run has dealt with, hashed: a copy kept twice
    ** (quarantined again after a restore) has two lines, and is put back once. */
    uint64_t handled[MaxHandled];
    uint32_t handledCount;
    /* Each copy's last word in the index: put back (a "restored" line) or kept (a line of the
    ** quarantine's, perhaps after a restore). A copy whose last word is "restored" is not put
    ** back again unless an ID asks for it. */
    uint64_t last[MaxHandled];
    uint8_t lastRestored[MaxHandled];
    uint32_t lastCount;
};

/* ---- reading the index -------------------------------------------------------------------- */

/* The first newline among `count` bytes at `bytes`, or null (msvcrt's memchr is not on every
** system the Windows build runs on). */
static char *Newline(void *bytes, uint32_t count)
{
    char *p = (char *)bytes;
    for (uint32_t i = 0; i < count; i++)
        if (p[i] == '\n')
            return p + i;
    return nullptr;
}

/* The next line from `*offset` (below `end`) into run->line, newline cut off. 1 for a line, -1
** for one too long to hold (skipped), 0 at the end. */
static int NextLine(RestoreRun *run, uint32_t *offset, uint32_t end)
{
    if (*offset >= end)
        return 0;
    uint32_t want = end - *offset < LineMax ? end - *offset : LineMax;
    uint32_t got = QuarantineReadIndex(*offset, run->line, want);
    if (got == 0) {
        *offset = end;
        return 0;
    }
    char *newline = Newline(run->line, got);
    if (newline || got == end - *offset) {
        run->lineLength = newline ? (uint32_t)(newline - run->line) : got;
        run->line[run->lineLength] = 0;
        *offset += run->lineLength + (newline ? 1 : 0);
        return 1;
    }
    /* Longer than any line the quarantine writes: passed over up to its end. */
    for (*offset += got; *offset < end;) {
        got = QuarantineReadIndex(*offset, run->chunk, end - *offset < sizeof run->chunk
                                                           ? end - *offset
                                                           : sizeof run->chunk);
        if (got == 0) {
            *offset = end;
            break;
        }
        newline = Newline(run->chunk, got);
        if (newline) {
            *offset += (uint32_t)((uint8_t *)newline - run->chunk) + 1;
            break;
        }
        *offset += got;
    }
    return -1;
}

/* The index line `line` into `*entry`; 0 when it is not a line the quarantine writes (keys it
** does not know are passed over, whatever their value). */
static int ParseLine(const char *line, Entry *entry)
{
    enum { Sha = 1, Path = 2, Size = 4, Mode = 8, Owner = 16, Group = 32, Attributes = 64,
           Modified = 128, Accessed = 256 };
    unsigned seen = 0;
    int fromHex = 0, got;
    char key[32], value[2 * PlatformPathSize];
    JsonMember member = {key, sizeof key, value, sizeof value, 0, 0, 0, 0};
    JsonReader reader;
    memset(entry, 0, sizeof *entry);
    JsonReadBegin(&reader, line);
    while ((got = JsonReadMember(&reader, &member)) > 0) {
        int isText = member.kind == JsonKindString;
        int isNumber = member.kind == JsonKindNumber && !member.negative;
        uint64_t number = member.number;
        int64_t seconds;
        if (!strcmp(key, "sha256") && isText && strlen(value) == 64) {
            for (int k = 0; k < 64; k++)
                if (HexValue(value[k]) < 0 || (value[k] >= 'A' && value[k] <= 'F'))
                    return 0;
            CopyText(entry->sha256, sizeof entry->sha256, value);
            seen |= Sha;
        } else if (!strcmp(key, "path") && isText) {
            if (!fromHex && !CopyText(entry->path, sizeof entry->path, value))
                return 0;
            seen |= Path;
        } else if (!strcmp(key, "path_hex") && isText) {
            if (!JsonReadHex(value, entry->path, sizeof entry->path))
                return 0;
            fromHex = 1;
        } else if (!strcmp(key, "size") && isNumber) {
            entry->facts.size = number;
            seen |= Size;
        } else if (!strcmp(key, "mode") && isText) {
            uint32_t mode = 0;
            for (const char *d = value; *d; d++) {
                if (*d < '0' || *d > '7' || mode > 0x1FFFFFFF)
                    return 0;
                mode = mode * 8 + (uint32_t)(*d - '0');
            }
            entry->facts.mode = mode;
            entry->facts.hasOwner = 1;
            seen |= Mode;
        } else if ((!strcmp(key, "owner") || !strcmp(key, "group")) && isNumber) {
            if (number > 0xFFFFFFFEu)
                return 0;
            *(key[0] == 'o' ? &entry->facts.owner : &entry->facts.group) = (uint32_t)number;
            seen |= key[0] == 'o' ? Owner : Group;
        } else if (!strcmp(key, "attributes") && isNumber) {
            entry->facts.mode = (uint32_t)number;
            seen |= Attributes;
        } else if ((!strcmp(key, "modified") || !strcmp(key, "accessed")) && isText) {
            if (!ParseUtc(value, &seconds))
                return 0;
            *(key[0] == 'm' ? &entry->facts.modified : &entry->facts.accessed) = seconds;
            seen |= key[0] == 'm' ? Modified : Accessed;
        } else if (!strcmp(key, "restored")) {
            entry->restored = 1;
        }
    }
    unsigned needed = Sha | Path | Size | Modified | Accessed;
    return got == 0 && (seen & needed) == needed &&
           ((seen & (Mode | Owner | Group)) == (Mode | Owner | Group) || (seen & Attributes));
}

/* ---- choosing the copies ------------------------------------------------------------------ */

/* `id` as a digest prefix, in lower case, into `out`; 0 when it is not hexadecimal. */
static int DigestPrefix(const char *id, char *out)
{
    size_t length = strlen(id);
    if (length == 0 || length > 64)
        return 0;
    for (size_t k = 0; k < length; k++) {
        if (HexValue(id[k]) < 0)
            return 0;
        out[k] = FoldAscii(id[k]);
    }
    out[length] = 0;
    return 1;
}

/* The copy `id` names, into run->chosen[i]; null, or why it names none or more than one. */
static const char *Resolve(RestoreRun *run, const char *id, int i, uint32_t end)
{
    const Entry *entry = &run->entry;
    char prefix[Sha256HexSize];
    int isDigest = DigestPrefix(id, prefix);
    char candidates[MaxCandidates][Sha256HexSize];
    int distinct = 0, byDigest = 0;
    uint32_t offset = 0;
    for (int got; (got = NextLine(run, &offset, end)) != 0;) {
        if (got < 0 || !ParseLine(run->line, &run->entry) || entry->restored)
            continue;
        int digestMatch = isDigest && !strncmp(entry->sha256, prefix, strlen(prefix));
        if (!digestMatch && strcmp(entry->path, id))
            continue;
        byDigest |= digestMatch;
        int known = 0;
        for (int k = 0; k < distinct && k < MaxCandidates; k++)
            known |= !strcmp(candidates[k], entry->sha256);
        if (!known) {
            if (distinct < MaxCandidates)
                CopyText(candidates[distinct], Sha256HexSize, entry->sha256);
            distinct++;
        }
    }
    if (distinct == 0)
        return "no copy in the quarantine's index has that SHA-256 (or prefix) or path; "
               "nothing was restored";
    if (distinct > 1) {
        char *message = run->message;
        CopyText(message, sizeof run->message, "names more than one copy (");
        for (int k = 0; k < distinct && k < MaxCandidates; k++) {
            AppendText(message, sizeof run->message, k ? ", " : "");
            AppendText(message, sizeof run->message, candidates[k]);
        }
        AppendText(message, sizeof run->message,
                   distinct > MaxCandidates ? ", ...); give more of the SHA-256; nothing was "
                                              "restored"
                                            : "); give more of the SHA-256; nothing was restored");
        return message;
    }
    CopyText(run->chosen[i], Sha256HexSize, candidates[0]);
    run->chosenByPath[i] = !byDigest;
    return nullptr;
}

/* The entry in hand is a copy one of the `count` `ids` chose (every copy when there are none). */
static int Chosen(const RestoreRun *run, const char *const *ids, int count)
{
    const Entry *entry = &run->entry;
    if (count == 0)
        return 1;
    for (int i = 0; i < count; i++)
        if (!strcmp(entry->sha256, run->chosen[i]) &&
            (!run->chosenByPath[i] || !strcmp(entry->path, ids[i])))
            return 1;
    return 0;
}

/* ---- one copy put back -------------------------------------------------------------------- */

/* The copy's digest, as read now, is the one its name and the index give. */
static int Matches(const Entry *entry, int64_t read, const uint8_t digest[Sha256Size])
{
    char hex[Sha256HexSize];
    Sha256Hex(digest, hex);
    return read == (int64_t)entry->facts.size && !strcmp(hex, entry->sha256);
}

static const char *const CreateCauses[] = {
    nullptr,
    "the path is taken: something already exists there; nothing was written",
    "its folder is gone; nothing was written",
    "a link, or something other than a folder, stands in the path; nothing was written",
    "the file cannot be created there; nothing was written",
    "restoring is not available in this build",
};

/* The entry in hand's copy, by its digest and path (FNV-1a). */
static uint64_t CopyKey(const Entry *entry)
{
    uint64_t hash = 14695981039346656037ull;
    const char *const texts[] = {entry->sha256, "\n", entry->path};
    for (const char *text : texts)
        for (const unsigned char *p = (const unsigned char *)text; *p; p++)
            hash = (hash ^ *p) * 1099511628211ull;
    return hash;
}

/* Where CopyKey `key` stands in the run's record of last words; lastCount when it is not there. */
static uint32_t LastWord(const RestoreRun *run, uint64_t key)
{
    uint32_t i = 0;
    while (i < run->lastCount && run->last[i] != key)
        i++;
    return i;
}

/* Reads the whole index once for each copy's last word (see RestoreRun.last). */
static void ReadLastWords(RestoreRun *run, uint32_t end)
{
    uint32_t offset = 0;
    run->lastCount = 0;
    for (int got; (got = NextLine(run, &offset, end)) != 0;) {
        if (got < 0 || !ParseLine(run->line, &run->entry))
            continue;
        uint64_t key = CopyKey(&run->entry);
        uint32_t at = LastWord(run, key);
        if (at == run->lastCount) {
            if (run->lastCount == MaxHandled)
                continue;
            run->last[run->lastCount++] = key;
        }
        run->lastRestored[at] = run->entry.restored != 0;
    }
}

/* 1 when the entry in hand is a copy this run has already dealt with; else remembers it. */
static int Handled(RestoreRun *run)
{
    uint64_t hash = CopyKey(&run->entry);
    for (uint32_t i = 0; i < run->handledCount; i++)
        if (run->handled[i] == hash)
            return 1;
    if (run->handledCount < MaxHandled)
        run->handled[run->handledCount++] = hash;
    return 0;
}

/* Names a temporary that a restore which was killed left beside `context`, the path being
** restored, and which was removed. */
static void SweptBeside(const char *name, void *context)
{
    const char *path = (const char *)context;
    const char *slash = strrchr(path, PathSeparator);
    char where[PlatformPathSize + 256];
    size_t folder = slash ? (size_t)(slash - path) + 1 : 0;
    if (folder + strlen(name) >= sizeof where)
        return;
    memcpy(where, path, folder);
    CopyText(where + folder, (uint32_t)(sizeof where - folder), name);
    ShowNotice(where, StatusLeftoverRemoved);
}

/* `head`, the system's words for the call that failed in parentheses, then `tail`: one cause
** for `problem`, in run->said. The words are taken now, before a later call changes them. */
static const char *WithCause(RestoreRun *run, const char *head, const char *tail)
{
    char system[160];
    Platform.system.lastError(system, sizeof system);
    CopyText(run->said, sizeof run->said, head);
    if (system[0]) {
        AppendText(run->said, sizeof run->said, " (");
        AppendText(run->said, sizeof run->said, system);
        AppendText(run->said, sizeof run->said, ")");
    }
    AppendText(run->said, sizeof run->said, tail);
    return run->said;
}

/* The entry's relative path with its "." components left out, into run->where: what is
** taken below --restore-root (".." is left in, and refused there). */
static const char *BelowRoot(RestoreRun *run)
{
    const char *p = run->entry.path;
    char *out = run->where;
    while (*p) {
        const char *end = strchr(p, PathSeparator);
        size_t length = end ? (size_t)(end - p) : strlen(p);
        if (length && !(length == 1 && p[0] == '.')) {
            if (out != run->where)
                *out++ = PathSeparator;
            memcpy(out, p, length);      /* no longer than the path it comes from */
            out += length;
        }
        p += length + (end ? 1 : 0);
    }
    *out = 0;
    return run->where;
}

/* The entry in hand's line again, with the time of its restore, at the index's end (nothing
** in a quarantine opened for reading only, which the run said once). 0 after one call of
** `problem` when it cannot be written. */
static int Record(RestoreRun *run, RestoreProblem problem)
{
    if (QuarantineReadOnly())
        return 1;
    char when[UtcTextSize];
    FormatUtc((int64_t)time(NULL), when);
    uint32_t cut = run->lineLength;
    while (cut > 0 && run->line[cut - 1] != '}')
        cut--;
    JsonLine out;
    JsonBegin(&out, run->line, sizeof run->line);
    out.length = cut - 1;                  /* the members kept, a comma after them */
    out.comma = 1;
    JsonKey(&out, "restored");
    JsonString(&out, when);
    JsonClose(&out, '}');
    JsonEnd(&out);
    if (!QuarantineAppend(run->line, out.length)) {
        problem(run->entry.path, WithCause(run, "restored, but the quarantine's index could not "
                                                "record it", ""));
        return 0;
    }
    return 1;
}

/* 1 when the regular file at `path` is what a restore of the entry in hand makes: the copy's
** digest, and the owner, group, permissions and modification time the index kept (a restore
** killed between the file's taking its name and its index line put it there; the same bytes
** under another user's name are not that). QuarantineStopped on a stop. */
static int SameAsCopy(const RestoreRun *run, const char *path)
{
    const FileFacts *kept = &run->entry.facts;
    FileFacts facts;
    if (!Platform.store.openRestored)
        return 0;
    FileHandle there = Platform.store.openRestored(path);
    if (there == InvalidFileHandle)
        return 0;
    uint8_t digest[Sha256Size];
    int64_t read = -1;
    if (Platform.store.fileFacts(there, &facts) && facts.owner == kept->owner &&
        facts.group == kept->group && (facts.mode & 07777) == (kept->mode & 07777) &&
        facts.modified == kept->modified)
        read = QuarantineDigest(there, InvalidFileHandle, digest);
    Platform.files.closeFile(there);
    if (read < 0)
        return read == QuarantineStopped ? QuarantineStopped : 0;
    return Matches(&run->entry, read, digest);
}

/* The entry in hand put back; 0 after one call of `problem` when it could not be, or at a
** stop (the run says that). `root`: --restore-root, below which a relative path is taken;
** `recorded`: the index's last word on the copy is "restored". */
static int RestoreOne(RestoreRun *run, RestoreProblem problem, const char *root, int recorded)
{
    const Entry *entry = &run->entry;
    char name[Sha256HexSize + sizeof QuarantineSuffix];
    uint8_t digest[Sha256Size];
    CopyText(name, sizeof name, entry->sha256);
    AppendText(name, sizeof name, QuarantineSuffix);
    if (!entry->facts.hasOwner) {
        problem(entry->path, "kept with Windows attributes, not an owner and mode; not restored "
                            "here");
        return 0;
    }
    const char *path = entry->path;
    if (path[0] != PathSeparator && !root) {
        char digits[NumberTextSize];
        FormatNumber(digits, run->number, 10, 0);
        CopyText(run->said, sizeof run->said, "kept with a path relative to the folder that "
                                              "scan ran in, which the index does not name "
                                              "(index.jsonl, line ");
        AppendText(run->said, sizeof run->said, digits);
        AppendText(run->said, sizeof run->said, "); nothing was written: --restore-root DIR "
                                                "puts it back below DIR");
        problem(entry->path, run->said);
        return 0;
    }
    if (path[0] != PathSeparator)
        path = BelowRoot(run);
    FileHandle copy = Platform.store.openStored(name);
    if (copy == InvalidFileHandle) {
        problem(entry->path, "its copy is missing or not the scanner's own (one name, yours, "
                            "mode 0400), so its digest cannot be checked; nothing was written");
        return 0;
    }
    int64_t read = QuarantineDigest(copy, InvalidFileHandle, digest);
    if (!Matches(entry, read, digest)) {
        Platform.files.closeFile(copy);
        if (read != QuarantineStopped)
            problem(entry->path, "its copy fails its digest check (SHA-256); nothing was written");
        return 0;
    }
    if (Platform.store.sweepRestored)
        Platform.store.sweepRestored(path, SweptBeside, (void *)path);
    FileHandle file = InvalidFileHandle;
    int cause = Platform.store.createRestored(path, &file);
    int same = cause == RestoreTaken && !recorded ? SameAsCopy(run, path) : 0;
    if (cause != RestoreReady) {
        Platform.files.closeFile(copy);
        if (same == 1) {
            ShowNotice(entry->path, StatusFoundRestored);
            return Record(run, problem);
        }
        if (same == QuarantineStopped)
            return 0;
        cause = cause > 0 && cause <= RestoreUnsupported ? cause : RestoreCannot;
        problem(entry->path, cause == RestoreCannot
                                 ? WithCause(run, "the file cannot be created there",
                                             "; nothing was written")
                                 : CreateCauses[cause]);
        return 0;
    }
    read = QuarantineDigest(copy, file, digest);
    int whole = Matches(entry, read, digest);
    const char *why = whole ? nullptr : WithCause(run, "the file could not be written whole",
                                                  "; it was removed again");
    Platform.files.closeFile(copy);
    if (!Platform.store.finishRestored(file, &entry->facts, whole)) {
        if (read != QuarantineStopped)
            problem(entry->path, why ? why : WithCause(run, "its owner, mode or times cannot be "
                                                            "set, or it cannot take its name",
                                                       "; the file was removed again"));
        return 0;
    }
    AddResultRow(entry->path, StatusRestored, RowRestored, 0);
    return Record(run, problem);
}

int RestoreFromQuarantine(const char *folder, const char *root, const char *const *ids,
                          int count, RestoreProblem problem)
{
    if (count > MaxIds) {
        problem("--restore", "too many IDs");
        return 2;
    }
    const char *refused = QuarantineReopen(folder);
    if (refused) {
        problem(folder, refused);
        return 2;
    }
    static RestoreRun restoring;           /* too large for the stack */
    RestoreRun *run = &restoring;
    if (!Platform.store.lockStore(1)) {
        problem(folder, WithCause(run, "the quarantine cannot be locked", ""));
        QuarantineClose();
        return 2;
    }
    int status = 0;
    if (root && (!Platform.store.restoreRoot || !Platform.store.restoreRoot(root))) {
        problem(root, WithCause(run, "--restore-root: the folder cannot be opened, no link "
                                     "followed on its way", "; nothing was restored"));
        status = 2;
    }
    if (status == 0 && QuarantineReadOnly())
        problem(folder, "the quarantine cannot be written (read-only): what is put back is not "
                        "recorded in its index.jsonl; a later restore knows it by its contents");
    uint32_t end = QuarantineIndexSize();
    if (end == 0xFFFFFFFFu) {
        problem(folder, WithCause(run, "the quarantine's index.jsonl cannot be read", ""));
        status = 2;
    }
    for (int i = 0; i < count && status == 0; i++) {
        const char *why = Resolve(run, ids[i], i, end);
        if (why) {
            problem(ids[i], why);
            status = 2;
        }
    }
    uint32_t offset = 0;
    run->number = 0;
    run->handledCount = 0;
    if (status == 0)
        ReadLastWords(run, end);
    for (int got; status != 2 && (got = NextLine(run, &offset, end)) != 0;) {
        /* A stop (Ctrl-C, a termination request) is honoured between files: the file in hand
        ** is finished or left unnamed, never cut short under its name. */
        if (!ScanContinue.load()) {
            status = 2;
            break;
        }
        run->number++;
        if (got < 0 || !ParseLine(run->line, &run->entry)) {
            char where[64] = "index.jsonl, line ";
            char digits[NumberTextSize];
            FormatNumber(digits, run->number, 10, 0);
            AppendText(where, sizeof where, digits);
            problem(where, "cannot be read; skipped");
            status = count == 0 ? 3 : status;
            continue;
        }
        if (run->entry.restored || !Chosen(run, ids, count) || Handled(run))
            continue;
        uint32_t at = LastWord(run, CopyKey(&run->entry));
        int recorded = at < run->lastCount && run->lastRestored[at];
        if (count == 0 && recorded) {
            ShowNotice(run->entry.path, StatusAlreadyRestored);
            continue;
        }
        if (!RestoreOne(run, problem, root, recorded))
            status = ScanContinue.load() ? 3 : 2;
    }
    Platform.store.lockStore(0);
    if (root && Platform.store.restoreRoot)
        Platform.store.restoreRoot(nullptr);
    QuarantineClose();
    return status;
}
