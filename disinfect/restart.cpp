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
** so that file is taken back in before anything else is written, never deleted unread.
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

int ScheduleReplaceAtRestart(const char *copy, const char *file)
{
    if (Platform.moveFile(copy, file))
        return 1;
    if (Is9xFamily(Platform.getVersion()))
        return AddWininitRename(file, copy);
    /* The move alone would not replace an existing file: delete it first, at the restart. */
    if (!Platform.moveFileAtRestart(file, nullptr))
        return 0;
    if (!Platform.moveFileAtRestart(copy, file))
        return 0;
    return 1;
}

int ScheduleDeleteAtRestart(const char *file)
{
    if (Is9xFamily(Platform.getVersion()))
        return AddWininitRename("NUL", file);
    return Platform.moveFileAtRestart(file, nullptr);
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

/* 1 when the line [at, end) is "[rename]" in any case, with optional blanks around it. */
static int IsRenameSection(const char *ini, uint32_t at, uint32_t end)
{
    while (at < end && IsBlank(ini[at]))
        at++;
    while (end > at && IsBlank(ini[end - 1]))
        end--;
    uint32_t n = (uint32_t)(sizeof RenameSection - 1);
    if (end - at != n)
        return 0;
    for (uint32_t i = 0; i < n; i++)
        if (FoldAscii(ini[at + i]) != RenameSection[i])
            return 0;
    return 1;
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

uint32_t InsertRenameLine(const char *ini, uint32_t length, const char *line, char *out, uint32_t size)
{
    uint32_t lineLength = (uint32_t)strlen(line);
    uint32_t at = 0;
    int found = 0;

    /* Find the section, then the end of its last non-blank line. */
    uint32_t insert = length;
    int needBreakBefore = 0;
    while (at < length) {
        uint32_t end = LineEnd(ini, length, at);
        if (!found) {
            if (IsRenameSection(ini, at, end)) {
                found = 1;
                insert = NextLine(ini, length, end);
                needBreakBefore = insert == end;   /* the header is the file's last line */
            }
        } else {
            if (IsSectionLine(ini, at, end))
                break;
            if (!IsBlankLine(ini, at, end)) {
                insert = NextLine(ini, length, end);
                needBreakBefore = insert == end;
            }
        }
        at = NextLine(ini, length, end);
    }
    if (!found) {
        insert = length;
        needBreakBefore = length > 0 && ini[length - 1] != '\n' && ini[length - 1] != '\r';
    }

    uint32_t used = 0;
    if (!Put(out, size, &used, ini, insert))
        return 0;
    if (needBreakBefore && !Put(out, size, &used, "\r\n", 2))
        return 0;
    if (!found && !Put(out, size, &used, "[rename]\r\n", 10))
        return 0;
    if (!Put(out, size, &used, line, lineLength) || !Put(out, size, &used, "\r\n", 2))
        return 0;
    if (!Put(out, size, &used, ini + insert, length - insert))
        return 0;
    return used;
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
        return Platform.getFileAttributes(path) == InvalidFileAttributes;
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
    if (!Platform.writeWholeFile(path, data, size))
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
    return Platform.windowsFolder(path, size) && AppendText(path, size, separator) &&
           AppendText(path, size, name);
}

/* 1 when the [rename] section of `ini` already holds the entry [at, end) of another text,
** compared without the blanks around it and without regard to ASCII case. */
static int HasRenameEntry(const char *ini, uint32_t length, const char *entry, uint32_t entryLength)
{
    int inSection = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t end = LineEnd(ini, length, at);
        if (IsSectionLine(ini, at, end)) {
            inSection = IsRenameSection(ini, at, end);
        } else if (inSection) {
            uint32_t a = at, e = end;
            while (a < e && IsBlank(ini[a]))
                a++;
            while (e > a && IsBlank(ini[e - 1]))
                e--;
            uint32_t i = 0;
            while (i < entryLength && a + i < e && FoldAscii(ini[a + i]) == FoldAscii(entry[i]))
                i++;
            if (i == entryLength && a + i == e)
                return 1;
        }
        at = NextLine(ini, length, end);
    }
    return 0;
}

/* Writes into `out` (of `size` bytes, room for `ini` and `other` together three times over)
** the text `ini` with every entry of the [rename] section of `other` that it lacks; answers
** the new length, or 0 when an entry is too long to take. */
static uint32_t MergeRenameEntries(const char *ini, uint32_t length, const char *other,
                                   uint32_t otherLength, char *out, char *spare, uint32_t size)
{
    static char line[2 * ScanPathSize + 2];   /* restart-time work runs on one thread */
    memcpy(out, ini, length);
    int inSection = 0;
    for (uint32_t at = 0; at < otherLength;) {
        uint32_t end = LineEnd(other, otherLength, at);
        if (IsSectionLine(other, at, end)) {
            inSection = IsRenameSection(other, at, end);
        } else if (inSection && !IsBlankLine(other, at, end)) {
            while (IsBlank(other[at]))
                at++;
            uint32_t entryLength = end - at;
            while (IsBlank(other[at + entryLength - 1]))
                entryLength--;
            if (entryLength >= sizeof line)
                return 0;
            if (!HasRenameEntry(out, length, other + at, entryLength)) {
                memcpy(line, other + at, entryLength);
                line[entryLength] = 0;
                length = InsertRenameLine(out, length, line, spare, size);
                if (length == 0)
                    return 0;
                char *swap = out;
                out = spare;
                spare = swap;
            }
        }
        at = NextLine(other, otherLength, end);
    }
    if (spare < out)   /* the result ended in the second buffer */
        memcpy(spare, out, length);
    return length;
}

/* Takes what an interrupted replacement left at `aside` back into `path`: when `path` is
** missing the old file simply goes back; when both exist, the entries `aside` holds are added
** to `path` (none twice) through `fresh`, and `aside` goes only once the text holding them is
** on disk. If that text cannot take the place of `path`, it is written at `aside` again, so
** that nothing is lost. Answers 1 when nothing is left aside. */
static int TakeBackAside(const char *path, const char *aside, const char *fresh)
{
    if (Platform.getFileAttributes(aside) == InvalidFileAttributes)
        return 1;
    if (Platform.getFileAttributes(path) == InvalidFileAttributes)
        return Platform.moveFile(aside, path);

    char *ini, *old;
    uint32_t length, oldLength;
    if (!ReadWholeFile(aside, &old, &oldLength))
        return 0;
    if (!ReadWholeFile(path, &ini, &length)) {
        MemFree(old);
        return 0;
    }
    int ok = 0;
    uint32_t size = length + 3 * oldLength + 16;
    char *out = (char *)MemAlloc(2 * size);
    if (out) {
        uint32_t merged = MergeRenameEntries(ini ? ini : "", length, old ? old : "", oldLength,
                                             out, out + size, size);
        int kept = 1;   /* 0 while `fresh` holds the only copy of the entries */
        if (merged != 0 && WriteChecked(fresh, out, merged) && Platform.deleteFile(aside)) {
            ok = Platform.replaceFile(fresh, path);
            kept = ok || WriteChecked(aside, out, merged);
        }
        if (!ok && kept)
            Platform.deleteFile(fresh);
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
        Platform.shortPath(destination, shortDestination, sizeof shortDestination))
        destination = shortDestination;
    if (Platform.shortPath(source, shortSource, sizeof shortSource))
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
    Platform.flushProfile(path);
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
        ok = written != 0 && WriteChecked(fresh, out, written) && Platform.replaceFile(fresh, path);
        if (!ok)
            Platform.deleteFile(fresh);
        MemFree(out);
    }
    MemFree(ini);
    return ok;
}
