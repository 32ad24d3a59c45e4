/*
** Restart-time file operations.
**
** The NT family keeps a list of pending moves that the platform carries out at its next start.
** The 9x family instead reads the [rename] section of wininit.ini in its Windows folder, one
** line per operation in the form destination=source, "NUL" as destination meaning deletion.
** The profile-string API cannot write that section: it would put our paths in keys, where
** they are the wrong way round, and entries sharing the key "NUL" (ours and other programs')
** would replace one another. So the file is read, one line appended to the section, and the
** whole text written to a new file beside it, read back, and only then put in its place: a
** full disk, a short write or the end of the process on the way never costs the pending
** entries already there.
**
** The 9x family has no replacing move: for a moment the old wininit.ini stands aside as
** "wininit.ini~". A process ended just then leaves the only copy of every pending entry there,
** so that file is taken back in before anything else is written, never deleted unread. When
** another program has written a new wininit.ini meanwhile, every section and line of both is
** kept, the older file's first: the start-up carries the entries out in order, and an older
** entry carried out after a newer one could undo it ("C:\APP.DLL=C:\APP.NEW" installs a file
** that an older "NUL=C:\APP.DLL" would then delete).
*/
#include "disinfect/restart.h"
#include "base/text.h"

#include "engine/fileio.h"
#include "scan/scanstate.h"

#include <string.h>

#define MaxWininitSize (4u * 1024u * 1024u)   /* far beyond any real wininit.ini */

static const char WininitName[] = "wininit.ini";
static const char WininitNewName[] = "wininit.krv";   /* the new text before it takes over */
static const char RenameSection[] = "[rename]";
static const char AsideSuffix[] = "~";                 /* replaceFile's name for the old file */

/* Moves `copy` to `file` now, as the entry `copyEntry` when one is given: the file operations
** act only on the entry in hand, and the copy is not the file whose entry the caller holds. */
static int MoveCopyNow(const char *copy, const char *file, const EntryInHand *copyEntry)
{
    if (!copyEntry)
        return Platform.files.moveFile(copy, file);
    EntryInHand entry = *copyEntry;
    SwapEntryInHand(&entry);
    int moved = Platform.files.moveFile(copy, file);
    SwapEntryInHand(&entry);
    return moved;
}

int ScheduleReplaceAtRestart(const char *copy, const char *file, const EntryInHand *copyEntry)
{
    if (MoveCopyNow(copy, file, copyEntry))
        return 1;
    if (Is9xFamily(Platform.restart.getVersion()))
        return AddWininitRename(file, copy);
    /* The move alone would not replace an existing file: delete it first, at the restart. */
    if (!Platform.restart.moveFileAtRestart(file, nullptr))
        return 0;
    /* Where that moved the file aside to wait for its deletion (the NT family's restart folder),
    ** its name is free now: the copy takes it at once, and no move by name, which a junction put
    ** on the way before the restart could lead elsewhere, is left to the restart. */
    if (MoveCopyNow(copy, file, copyEntry))
        return 1;
    /* The file goes at the restart whatever follows: the copy must stay. */
    if (!Platform.restart.moveFileAtRestart(copy, file))
        return 2;
    return 1;
}

int ScheduleDeleteAtRestart(const char *file)
{
    if (Is9xFamily(Platform.restart.getVersion()))
        return AddWininitRename("NUL", file);
    return Platform.restart.moveFileAtRestart(file, nullptr);
}

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

/* The end of the line starting at `at`: the position of its line break, or `length`. */
static uint32_t LineEnd(const char *ini, uint32_t length, uint32_t at)
{
    while (at < length && ini[at] != '\n' && ini[at] != '\r')
        at++;
    return at;
}

/* The start of the next line after the line ending at `end` (past "\r\n", "\n" or "\r"). */
static uint32_t NextLine(const char *ini, uint32_t length, uint32_t end)
{
    if (end < length && ini[end] == '\r')
        end++;
    if (end < length && ini[end] == '\n')
        end++;
    return end;
}

/* 1 when the line [at, end) opens a section: optional blanks, then "[". */
static int IsSectionLine(const char *ini, uint32_t at, uint32_t end)
{
    while (at < end && IsBlank(ini[at]))
        at++;
    return at < end && ini[at] == '[';
}

/* The line [at, end) without the blanks around it: [*from, *to). */
static void Trim(const char *ini, uint32_t at, uint32_t end, uint32_t *from, uint32_t *to)
{
    while (at < end && IsBlank(ini[at]))
        at++;
    while (end > at && IsBlank(ini[end - 1]))
        end--;
    *from = at;
    *to = end;
}

/* 1 when the texts a[0, aLength) and b[0, bLength) are the same but for ASCII case. */
static int SameFolded(const char *a, uint32_t aLength, const char *b, uint32_t bLength)
{
    if (aLength != bLength)
        return 0;
    for (uint32_t i = 0; i < aLength; i++)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return 0;
    return 1;
}

/* 1 when the line [at, end) is the section header `header` (of `headerLength` bytes, blanks
** cut), in any case, with optional blanks around it. */
static int IsSection(const char *ini, uint32_t at, uint32_t end, const char *header,
                     uint32_t headerLength)
{
    uint32_t from, to;
    Trim(ini, at, end, &from, &to);
    return SameFolded(ini + from, to - from, header, headerLength);
}

static int IsBlankLine(const char *ini, uint32_t at, uint32_t end)
{
    while (at < end && IsBlank(ini[at]))
        at++;
    return at == end;
}

/* Appends `count` bytes to out[*used]; 0 when they would not fit in `size`. */
static int Put(char *out, uint32_t size, uint32_t *used, const char *text, uint32_t count)
{
    if (count > size - *used)
        return 0;
    memcpy(out + *used, text, count);
    *used += count;
    return 1;
}

/*
** Where a line of the section `header` goes in `ini`: after the section's last line that is not
** blank (before the next section), or, for the lines before the first header (a null
** `header`), after the last such line there. *found is 0 when the file has no such section;
** the line then goes at the end, after the header. *breakBefore is 1 when the line before has
** no line break of its own.
*/
static uint32_t InsertionPoint(const char *ini, uint32_t length, const char *header,
                               uint32_t headerLength, int *found, int *breakBefore)
{
    uint32_t insert = 0;
    *found = header == nullptr;
    *breakBefore = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t end = LineEnd(ini, length, at);
        if (!*found) {
            if (IsSection(ini, at, end, header, headerLength)) {
                *found = 1;
                insert = NextLine(ini, length, end);
                *breakBefore = insert == end;   /* the header is the file's last line */
            }
        } else {
            if (IsSectionLine(ini, at, end))
                break;
            if (!IsBlankLine(ini, at, end)) {
                insert = NextLine(ini, length, end);
                *breakBefore = insert == end;
            }
        }
        at = NextLine(ini, length, end);
    }
    if (!*found) {
        insert = length;
        *breakBefore = length > 0 && ini[length - 1] != '\n' && ini[length - 1] != '\r';
    }
    return insert;
}

/* Writes into `out` (of `size` bytes) the profile text `ini` with the line `line` (of
** `lineLength` bytes, no line break) added at the end of the section `header` (null: before
** the first section), the section created at the end when missing; answers the new length, or
** 0 when it would not fit. */
static uint32_t InsertLine(const char *ini, uint32_t length, const char *header,
                           uint32_t headerLength, const char *line, uint32_t lineLength,
                           char *out, uint32_t size)
{
    int found, breakBefore;
    uint32_t insert = InsertionPoint(ini, length, header, headerLength, &found, &breakBefore);
    uint32_t used = 0;
    if (!Put(out, size, &used, ini, insert))
        return 0;
    if (breakBefore && !Put(out, size, &used, "\r\n", 2))
        return 0;
    if (!found && (!Put(out, size, &used, header, headerLength) ||
                   !Put(out, size, &used, "\r\n", 2)))
        return 0;
    if (lineLength && (!Put(out, size, &used, line, lineLength) ||
                       !Put(out, size, &used, "\r\n", 2)))
        return 0;
    if (!Put(out, size, &used, ini + insert, length - insert))
        return 0;
    return used;
}

uint32_t InsertRenameLine(const char *ini, uint32_t length, const char *line, char *out, uint32_t size)
{
    return InsertLine(ini, length, RenameSection, (uint32_t)(sizeof RenameSection - 1), line,
                      (uint32_t)strlen(line), out, size);
}

/* Reads the whole file at `path` into a block of its own. Answers 1 with *data (null for a
** missing or empty file) and *length set, 0 when the file exists but cannot be read: then
** nothing may be written over it. */
static int ReadWholeFile(const char *path, char **data, uint32_t *length)
{
    *data = nullptr;
    *length = 0;
    FileHandle file = FileOpen(path, 0);
    if (file == InvalidFileHandle)
        return Platform.files.getFileAttributes(path) == InvalidFileAttributes;
    int ok = 0;
    uint32_t size = FileSeek(file, 0, SeekFromEnd);
    if (size == 0) {
        ok = 1;
    } else if (size <= MaxWininitSize && FileSeek(file, 0, SeekFromStart) == 0) {
        char *block = (char *)MemAlloc(size);
        if (block) {
            if (FileRead(file, block, size) == size) {
                *data = block;
                *length = size;
                ok = 1;
            } else {
                MemFree(block);
            }
        }
    }
    FileClose(file);
    return ok;
}

/* Writes `size` bytes to a new file at `path` and reads them back: 1 only when the file holds
** exactly those bytes. */
static int WriteChecked(const char *path, const char *data, uint32_t size)
{
    if (!Platform.restart.writeWholeFile(path, data, size))
        return 0;
    char *back;
    uint32_t length;
    if (!ReadWholeFile(path, &back, &length))
        return 0;
    int same = length == size && (size == 0 || memcmp(back, data, size) == 0);
    MemFree(back);
    return same;
}

/* The path of `name` in the platform's Windows folder; 0 when there is none or it does not
** fit. */
static int InWindowsFolder(char *path, uint32_t size, const char *name)
{
    char separator[2] = {PathSeparator, 0};
    return Platform.restart.windowsFolder(path, size) && AppendText(path, size, separator) &&
           AppendText(path, size, name);
}

/* 1 when the section `header` of `ini` (null: the lines before the first section) already
** holds the line `line`, both compared without the blanks around them and without regard to
** ASCII case. */
static int HasLine(const char *ini, uint32_t length, const char *header, uint32_t headerLength,
                   const char *line, uint32_t lineLength)
{
    int inSection = header == nullptr;
    for (uint32_t at = 0; at < length;) {
        uint32_t end = LineEnd(ini, length, at);
        if (IsSectionLine(ini, at, end)) {
            inSection = header && IsSection(ini, at, end, header, headerLength);
        } else if (inSection) {
            uint32_t from, to;
            Trim(ini, at, end, &from, &to);
            if (SameFolded(ini + from, to - from, line, lineLength))
                return 1;
        }
        at = NextLine(ini, length, end);
    }
    return 0;
}

/*
** Writes into `out` the older profile text `older` followed, section by section, by what the
** newer text `newer` adds to it: every section of either, and in each every line of either
** that is not blank, the older lines first. A line the older text already holds in the same
** section is not written twice (the system's profile cache may have written the older entries
** back into the newer file): a restart-time entry carried out twice could move a file the
** first run put in place. The older text stays as it was, byte for byte. `out` and `spare`
** have `size` bytes each, room for `older` and three times `newer`. Answers the new length,
** or 0 when something would not fit.
*/
static uint32_t MergeProfiles(const char *older, uint32_t olderLength, const char *newer,
                              uint32_t newerLength, char *out, char *spare, uint32_t size)
{
    char *result = out;
    if (olderLength > size)
        return 0;
    memcpy(out, older, olderLength);
    uint32_t length = olderLength;
    const char *header = nullptr;   /* the newer text's current section, blanks cut */
    uint32_t headerLength = 0;
    for (uint32_t at = 0; at < newerLength;) {
        uint32_t end = LineEnd(newer, newerLength, at);
        uint32_t from, to;
        Trim(newer, at, end, &from, &to);
        at = NextLine(newer, newerLength, end);
        uint32_t added = 0;
        if (IsSectionLine(newer, from, to)) {
            header = newer + from;
            headerLength = to - from;
            int found, breakBefore;
            InsertionPoint(out, length, header, headerLength, &found, &breakBefore);
            if (found)
                continue;
            added = InsertLine(out, length, header, headerLength, "", 0, spare, size);
        } else if (from == to ||
                   HasLine(out, length, header, headerLength, newer + from, to - from)) {
            continue;
        } else {
            added = InsertLine(out, length, header, headerLength, newer + from, to - from, spare,
                               size);
        }
        if (added == 0)
            return 0;
        length = added;
        char *swap = out;
        out = spare;
        spare = swap;
    }
    if (out != result)   /* the text ended in the second buffer */
        memcpy(result, out, length);
    return length;
}

/* Takes what an interrupted replacement left at `aside` back into `path`: when `path` is
** missing the old file simply goes back; when both exist, the text of both (every section and
** line, what `aside` holds first) takes the place of `path` through `fresh`, and `aside` goes
** only once that text is on disk. If that text cannot take the place of `path`, it is written
** at `aside` again, so that nothing is lost. Answers 1 when nothing is left aside. */
static int TakeBackAside(const char *path, const char *aside, const char *fresh)
{
    if (Platform.files.getFileAttributes(aside) == InvalidFileAttributes)
        return 1;
    if (Platform.files.getFileAttributes(path) == InvalidFileAttributes)
        return Platform.files.moveFile(aside, path);

    char *ini, *old;
    uint32_t length, oldLength;
    if (!ReadWholeFile(aside, &old, &oldLength))
        return 0;
    if (!ReadWholeFile(path, &ini, &length)) {
        MemFree(old);
        return 0;
    }
    int ok = 0;
    uint32_t size = oldLength + 3 * length + 16;
    char *out = (char *)MemAlloc(2 * size);
    if (out) {
        /* What was set aside is older than what took its name meanwhile: its entries go first. */
        uint32_t merged = MergeProfiles(old ? old : "", oldLength, ini ? ini : "", length, out,
                                        out + size, size);
        int kept = 1;   /* 0 while `fresh` holds the only copy of the entries */
        if (merged != 0 && WriteChecked(fresh, out, merged) && Platform.files.deleteFile(aside)) {
            ok = Platform.restart.replaceFile(fresh, path);
            kept = ok || WriteChecked(aside, out, merged);
        }
        if (!ok && kept)
            Platform.files.deleteFile(fresh);
        MemFree(out);
    }
    MemFree(ini);
    MemFree(old);
    return ok;
}

int AddWininitRename(const char *destination, const char *source)
{
    /* The 9x start-up carries the section out in real-mode DOS, before Windows and its long
    ** names exist: a long name there would leave the file as it is. Each path goes in its
    ** short (8.3) form wherever it has one. */
    char shortDestination[ScanPathSize], shortSource[ScanPathSize];
    if (strcmp(destination, "NUL") != 0 &&
        Platform.restart.shortPath(destination, shortDestination, sizeof shortDestination))
        destination = shortDestination;
    if (Platform.restart.shortPath(source, shortSource, sizeof shortSource))
        source = shortSource;

    /* The start-up splits each line at its first "=" and ends it at a line break: a path that
    ** would be read as something else is refused rather than written. */
    if (strchr(destination, '=') || strpbrk(destination, "\r\n") || strpbrk(source, "\r\n") ||
        !destination[0] || !source[0])
        return 0;

    char path[ScanPathSize], fresh[ScanPathSize], aside[ScanPathSize];
    if (!InWindowsFolder(path, sizeof path, WininitName) ||
        !InWindowsFolder(fresh, sizeof fresh, WininitNewName) ||
        !CopyText(aside, sizeof aside, path) || !AppendText(aside, sizeof aside, AsideSuffix))
        return 0;
    /* The system may still hold profile writes of its own in a cache. */
    Platform.restart.flushProfile(path);
    if (!TakeBackAside(path, aside, fresh))
        return 0;

    char line[2 * ScanPathSize + 2];
    if (!CopyText(line, sizeof line, destination) || !AppendText(line, sizeof line, "=") ||
        !AppendText(line, sizeof line, source))
        return 0;

    /* Room for the line, its line breaks and a new section header. */
    uint32_t room = (uint32_t)strlen(line) + 16;
    char *ini;
    uint32_t length;
    if (!ReadWholeFile(path, &ini, &length))
        return 0;
    char *out = (char *)MemAlloc(length + room);
    int ok = 0;
    if (out) {
        uint32_t written = InsertRenameLine(ini ? ini : "", length, line, out, length + room);
        ok = written != 0 && WriteChecked(fresh, out, written) && Platform.restart.replaceFile(fresh, path);
        if (!ok)
            Platform.files.deleteFile(fresh);
        MemFree(out);
    }
    MemFree(ini);
    return ok;
}
