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

#include "base/text.h"
#include "engine/sha256.h"
#include "platform/platform.h"
#include "scan/display.h"

#include <string.h>
#include <time.h>

const char StatusRestored[] = "restored from quarantine";

#define MaxIds 256
#define LineMax (6 * PlatformPathSize + 1024)        /* the longest line the quarantine writes */
#define MaxCandidates 8                              /* digests an ambiguous id names, at most */

/* One copy as its index line tells it. */
struct Entry {
    char sha256[Sha256HexSize];
    char path[PlatformPathSize];
    FileFacts facts;
    int restored;                  /* the line records a restore, not a copy */
};

static char line[LineMax + 64];    /* the index line in hand, room left for "restored" */
static uint32_t lineLength;
static char value[2 * PlatformPathSize];
static uint8_t chunk[65536];
static Entry entry;
static char chosen[MaxIds][Sha256HexSize];   /* the digest each id resolved to */
static int chosenByPath[MaxIds];             /* the id named the copy's path, not its digest */
static char message[MaxCandidates * (Sha256HexSize + 2) + 128];
/* The copies (digest and path) this run has dealt with: a copy kept twice (quarantined again
** after a restore) has two lines, and is put back once. */
#define MaxHandled 4096
static uint64_t handled[MaxHandled];
static uint32_t handledCount;

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

/* The next line from `*offset` (below `end`) into `line`, newline cut off. 1 for a line, -1 for
** one too long to hold (skipped), 0 at the end. */
static int NextLine(uint32_t *offset, uint32_t end)
{
    if (*offset >= end)
        return 0;
    uint32_t want = end - *offset < LineMax ? end - *offset : LineMax;
    uint32_t got = QuarantineReadIndex(*offset, line, want);
    if (got == 0) {
        *offset = end;
        return 0;
    }
    char *newline = Newline(line, got);
    if (newline || got == end - *offset) {
        lineLength = newline ? (uint32_t)(newline - line) : got;
        line[lineLength] = 0;
        *offset += lineLength + (newline ? 1 : 0);
        return 1;
    }
    /* Longer than any line the quarantine writes: passed over up to its end. */
    for (*offset += got; *offset < end;) {
        got = QuarantineReadIndex(*offset, chunk,
                                  end - *offset < sizeof chunk ? end - *offset : sizeof chunk);
        if (got == 0) {
            *offset = end;
            break;
        }
        newline = Newline(chunk, got);
        if (newline) {
            *offset += (uint32_t)((uint8_t *)newline - chunk) + 1;
            break;
        }
        *offset += got;
    }
    return -1;
}

static const char *Space(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r')
        p++;
    return p;
}

static int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* A JSON string at `*p` into `value`, escapes undone (\uXXXX as UTF-8); 0 when it is not one
** or does not fit. */
static int ReadString(const char **p)
{
    const char *s = *p;
    uint32_t n = 0;
    if (*s++ != '"')
        return 0;
    while (*s != '"') {
        uint32_t c = (unsigned char)*s++;
        int coded = 0;                           /* c is a code point, not a byte of the line */
        if (c == 0 || c < 0x20)
            return 0;
        if (c == '\\') {
            coded = 1;
            char e = *s++;
            const char *plain = strchr("\"\\/bfnrt", e);
            if (e && plain) {
                c = (unsigned char)"\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
            } else if (e == 'u') {
                c = 0;
                for (int k = 0; k < 4; k++, s++) {
                    int d = HexDigit(*s);
                    if (d < 0)
                        return 0;
                    c = c * 16 + (uint32_t)d;
                }
                if (c == 0 || (c >= 0xD800 && c < 0xE000))
                    return 0;
            } else {
                return 0;
            }
        }
        if (n + 4 >= sizeof value)
            return 0;
        if (c < 0x80 || !coded) {
            value[n++] = (char)c;
        } else if (c < 0x800) {
            value[n++] = (char)(0xC0 | (c >> 6));
            value[n++] = (char)(0x80 | (c & 0x3F));
        } else {
            value[n++] = (char)(0xE0 | (c >> 12));
            value[n++] = (char)(0x80 | ((c >> 6) & 0x3F));
            value[n++] = (char)(0x80 | (c & 0x3F));
        }
    }
    value[n] = 0;
    *p = s + 1;
    return 1;
}

static int ReadNumber(const char **p, uint64_t *out)
{
    const char *s = *p;
    uint64_t v = 0;
    if (*s < '0' || *s > '9')
        return 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (v > (UINT64_MAX - 9) / 10)
            return 0;
        v = v * 10 + (uint64_t)(*s - '0');
    }
    *out = v;
    *p = s;
    return 1;
}

/* The index line in `line` into `entry`; 0 when it is not a line the quarantine writes (keys
** it does not know are passed over, string or number). */
static int ParseLine(void)
{
    enum { Sha = 1, Path = 2, Size = 4, Mode = 8, Owner = 16, Group = 32, Attributes = 64,
           Modified = 128, Accessed = 256 };
    unsigned seen = 0;
    int fromHex = 0;
    char key[32];
    memset(&entry, 0, sizeof entry);
    const char *p = Space(line);
    if (*p++ != '{')
        return 0;
    for (p = Space(p); *p != '}';) {
        if (!ReadString(&p) || !CopyText(key, sizeof key, value))
            return 0;
        p = Space(p);
        if (*p++ != ':')
            return 0;
        p = Space(p);
        uint64_t number = 0;
        int isText = *p == '"';
        if (isText ? !ReadString(&p) : !ReadNumber(&p, &number))
            return 0;
        int64_t seconds;
        if (!strcmp(key, "sha256") && isText && strlen(value) == 64) {
            for (int k = 0; k < 64; k++)
                if (HexDigit(value[k]) < 0 || (value[k] >= 'A' && value[k] <= 'F'))
                    return 0;
            CopyText(entry.sha256, sizeof entry.sha256, value);
            seen |= Sha;
        } else if (!strcmp(key, "path") && isText) {
            if (!fromHex && !CopyText(entry.path, sizeof entry.path, value))
                return 0;
            seen |= Path;
        } else if (!strcmp(key, "path_hex") && isText) {
            size_t length = strlen(value);
            if (length % 2 || length / 2 >= sizeof entry.path)
                return 0;
            for (size_t k = 0; k < length; k += 2) {
                int high = HexDigit(value[k]), low = HexDigit(value[k + 1]);
                if (high < 0 || low < 0 || (high | low) == 0)
                    return 0;
                entry.path[k / 2] = (char)(high * 16 + low);
            }
            entry.path[length / 2] = 0;
            fromHex = 1;
        } else if (!strcmp(key, "size") && !isText) {
            entry.facts.size = number;
            seen |= Size;
        } else if (!strcmp(key, "mode") && isText) {
            uint32_t mode = 0;
            for (const char *d = value; *d; d++) {
                if (*d < '0' || *d > '7' || mode > 0x1FFFFFFF)
                    return 0;
                mode = mode * 8 + (uint32_t)(*d - '0');
            }
            entry.facts.mode = mode;
            entry.facts.hasOwner = 1;
            seen |= Mode;
        } else if ((!strcmp(key, "owner") || !strcmp(key, "group")) && !isText) {
            if (number > 0xFFFFFFFEu)
                return 0;
            *(key[0] == 'o' ? &entry.facts.owner : &entry.facts.group) = (uint32_t)number;
            seen |= key[0] == 'o' ? Owner : Group;
        } else if (!strcmp(key, "attributes") && !isText) {
            entry.facts.mode = (uint32_t)number;
            seen |= Attributes;
        } else if ((!strcmp(key, "modified") || !strcmp(key, "accessed")) && isText) {
            if (!ParseUtc(value, &seconds))
                return 0;
            *(key[0] == 'm' ? &entry.facts.modified : &entry.facts.accessed) = seconds;
            seen |= key[0] == 'm' ? Modified : Accessed;
        } else if (!strcmp(key, "restored")) {
            entry.restored = 1;
        }
        p = Space(p);
        if (*p == ',')
            p = Space(p + 1);
        else if (*p != '}')
            return 0;
    }
    if (*Space(p + 1))
        return 0;
    unsigned needed = Sha | Path | Size | Modified | Accessed;
    return (seen & needed) == needed &&
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
        if (HexDigit(id[k]) < 0)
            return 0;
        out[k] = FoldAscii(id[k]);
    }
    out[length] = 0;
    return 1;
}

/* The copy `id` names, into chosen[i]; null, or why it names none or more than one. */
static const char *Resolve(const char *id, int i, uint32_t end)
{
    char prefix[Sha256HexSize];
    int isDigest = DigestPrefix(id, prefix);
    char candidates[MaxCandidates][Sha256HexSize];
    int distinct = 0, byDigest = 0;
    uint32_t offset = 0;
    for (int got; (got = NextLine(&offset, end)) != 0;) {
        if (got < 0 || !ParseLine() || entry.restored)
            continue;
        int digestMatch = isDigest && !strncmp(entry.sha256, prefix, strlen(prefix));
        if (!digestMatch && strcmp(entry.path, id))
            continue;
        byDigest |= digestMatch;
        int known = 0;
        for (int k = 0; k < distinct && k < MaxCandidates; k++)
            known |= !strcmp(candidates[k], entry.sha256);
        if (!known) {
            if (distinct < MaxCandidates)
                CopyText(candidates[distinct], Sha256HexSize, entry.sha256);
            distinct++;
        }
    }
    if (distinct == 0)
        return "no copy in the quarantine's index has that SHA-256 (or prefix) or path; "
               "nothing was restored";
    if (distinct > 1) {
        CopyText(message, sizeof message, "names more than one copy (");
        for (int k = 0; k < distinct && k < MaxCandidates; k++) {
            AppendText(message, sizeof message, k ? ", " : "");
            AppendText(message, sizeof message, candidates[k]);
        }
        AppendText(message, sizeof message,
                   distinct > MaxCandidates ? ", ...); give more of the SHA-256; nothing was "
                                              "restored"
                                            : "); give more of the SHA-256; nothing was restored");
        return message;
    }
    CopyText(chosen[i], Sha256HexSize, candidates[0]);
    chosenByPath[i] = !byDigest;
    return nullptr;
}

static int Chosen(const char *const *ids, int count)
{
    if (count == 0)
        return 1;
    for (int i = 0; i < count; i++)
        if (!strcmp(entry.sha256, chosen[i]) && (!chosenByPath[i] || !strcmp(entry.path, ids[i])))
            return 1;
    return 0;
}

/* ---- one copy put back -------------------------------------------------------------------- */

/* The copy's digest, as read now, is the one its name and the index give. */
static int Matches(int64_t read, const uint8_t digest[Sha256Size])
{
    char hex[Sha256HexSize];
    Sha256Hex(digest, hex);
    return read == (int64_t)entry.facts.size && !strcmp(hex, entry.sha256);
}

static const char *const CreateCauses[] = {
    nullptr,
    "the path is taken: something already exists there; nothing was written",
    "its folder is gone; nothing was written",
    "a link, or something other than a folder, stands in the path; nothing was written",
    "the file cannot be created there; nothing was written",
    "restoring is not available in this build",
};

/* 1 when the entry in hand is a copy this run has already dealt with; else remembers it. */
static int Handled(void)
{
    uint64_t hash = 14695981039346656037ull;             /* FNV-1a over the digest and path */
    const char *const texts[] = {entry.sha256, "\n", entry.path};
    for (const char *text : texts)
        for (const unsigned char *p = (const unsigned char *)text; *p; p++)
            hash = (hash ^ *p) * 1099511628211ull;
    for (uint32_t i = 0; i < handledCount; i++)
        if (handled[i] == hash)
            return 1;
    if (handledCount < MaxHandled)
        handled[handledCount++] = hash;
    return 0;
}

/* The entry in hand put back; 0 after one call of `problem` when it could not be. */
static int RestoreOne(RestoreProblem problem)
{
    char name[Sha256HexSize + sizeof QuarantineSuffix];
    uint8_t digest[Sha256Size];
    CopyText(name, sizeof name, entry.sha256);
    AppendText(name, sizeof name, QuarantineSuffix);
    if (!entry.facts.hasOwner) {
        problem(entry.path, "kept with Windows attributes, not an owner and mode; not restored "
                            "here");
        return 0;
    }
    FileHandle copy = Platform.openStored(name);
    if (copy == InvalidFileHandle) {
        problem(entry.path, "its copy is missing or not the scanner's own (one name, yours, "
                            "mode 0400), so its digest cannot be checked; nothing was written");
        return 0;
    }
    if (!Matches(QuarantineDigest(copy, InvalidFileHandle, digest), digest)) {
        Platform.closeFile(copy);
        problem(entry.path, "its copy fails its digest check (SHA-256); nothing was written");
        return 0;
    }
    FileHandle file = InvalidFileHandle;
    int cause = Platform.createRestored(entry.path, &file);
    if (cause != RestoreReady) {
        Platform.closeFile(copy);
        problem(entry.path, CreateCauses[cause > 0 && cause <= RestoreUnsupported ? cause
                                                                               : RestoreCannot]);
        return 0;
    }
    int whole = Matches(QuarantineDigest(copy, file, digest), digest);
    Platform.closeFile(copy);
    if (!Platform.finishRestored(file, &entry.facts, whole)) {
        problem(entry.path, whole ? "its owner, mode or times cannot be set (an administrator "
                                    "may be needed); the file was removed again"
                                  : "the file could not be written whole; it was removed again");
        return 0;
    }
    /* The copy's own line again, with the time of its restore. */
    char when[UtcTextSize];
    FormatUtc((int64_t)time(NULL), when);
    while (lineLength > 0 && line[lineLength - 1] != '}')
        lineLength--;
    lineLength--;
    memcpy(line + lineLength, ",\"restored\":\"", 13);
    memcpy(line + lineLength + 13, when, UtcTextSize - 1);
    memcpy(line + lineLength + 13 + UtcTextSize - 1, "\"}\n", 3);
    AddResultRow(entry.path, StatusRestored, RowRestored, 0);
    if (!QuarantineAppend(line, lineLength + 13 + UtcTextSize - 1 + 3)) {
        problem(entry.path, "restored, but the quarantine's index could not record it");
        return 0;
    }
    return 1;
}

int RestoreFromQuarantine(const char *folder, const char *const *ids, int count,
                          RestoreProblem problem)
{
    FileHandle none;
    if (Platform.createRestored(nullptr, &none) == RestoreUnsupported) {
        problem("--restore", "not available in this build: the index keeps no owner or access "
                             "list to restore a file with (see the manual page)");
        return 2;
    }
    if (count > MaxIds) {
        problem("--restore", "too many IDs");
        return 2;
    }
    const char *refused = QuarantineReopen(folder);
    if (refused) {
        problem(folder, refused);
        return 2;
    }
    if (!Platform.lockStore(1)) {
        QuarantineClose();
        problem(folder, "the quarantine cannot be locked");
        return 2;
    }
    int status = 0;
    uint32_t end = QuarantineIndexSize();
    if (end == 0xFFFFFFFFu) {
        problem(folder, "the quarantine's index.jsonl cannot be read");
        status = 2;
    }
    for (int i = 0; i < count && status == 0; i++) {
        const char *why = Resolve(ids[i], i, end);
        if (why) {
            problem(ids[i], why);
            status = 2;
        }
    }
    uint32_t offset = 0, number = 0;
    handledCount = 0;
    for (int got; status != 2 && (got = NextLine(&offset, end)) != 0;) {
        number++;
        if (got < 0 || !ParseLine()) {
            char where[64] = "index.jsonl, line ";
            char digits[12];
            int n = sizeof digits - 1;
            digits[n] = 0;
            for (uint32_t v = number; n == (int)sizeof digits - 1 || v; v /= 10)
                digits[--n] = (char)('0' + v % 10);
            AppendText(where, sizeof where, digits + n);
            problem(where, "cannot be read; skipped");
            status = count == 0 ? 3 : status;
            continue;
        }
        if (!entry.restored && Chosen(ids, count) && !Handled() && !RestoreOne(problem))
            status = 3;
    }
    Platform.lockStore(0);
    QuarantineClose();
    return status;
}
