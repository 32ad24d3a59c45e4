/*
** The acceptance scenario's file maker, run under Wine inside the scenario's own prefix.
**
**   e2etool forge-worm SOURCE DEST
**       Copies the built worm.exe to DEST and forges the first signature entry into the copy:
**       four bytes at the end of the DOS stub fix the checksum of the first 8 KiB, four bytes
**       inside the worm's Ballast array fix the first 128 KiB. Checks the result with the
**       engine's own matcher. Exit 0 when DEST matches entry 1 and nothing else.
**   e2etool detect FILE...
**       Prints "<entry> <path>" per file: the matcher's answer (1, 2 or -1).
**   e2etool populate ROOT MANIFEST CLEAN-FILES HELD-COUNT
**       Fills ROOT (a drive root such as D:\) with about CLEAN-FILES clean files of every kind,
**       with read-only, hidden and system ones, paths up to the 259 characters an ANSI path
**       may have, near misses of both signature entries, and the
**       harmless infected samples. Writes to MANIFEST one line per infected file:
**       "DELETE <path>" (to be deleted at once) or "HELD <path> <copy number>" (to be held open
**       by the holder, 1 or 2 of them as HELD-COUNT says).
**
** Every sample's bytes come from the project's sample maker; nothing here is a real worm.
*/
#include "engine/signature.h"
#include "tools/samples.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static const char BallastMarker[] = "KRV-E2E-BALLAST!";
static const size_t BallastMarkerLength = 16;
static const size_t BallastSize = 160 * 1024;

static bool ReadWhole(const char *path, std::vector<uint8_t> &bytes)
{
    FILE *in = fopen(path, "rb");
    if (!in)
        return false;
    bytes.clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    bool ok = !ferror(in);
    fclose(in);
    return ok;
}

/* Position (1, 2) of the signature entry the file matches, -1 for none, 0 when unreadable. */
static int MatchFile(const char *path)
{
    FileHandle file = FileOpen(path, 0);
    if (file == InvalidFileHandle)
        return 0;
    const char *const *matched = nullptr;
    ScanContext context = {path, matched, file};
    int entry = MatchSignatures(&context, SignatureTable, 2);
    FileClose(file);
    return entry;
}

static int ForgeWorm(const char *source, const char *dest)
{
    std::vector<uint8_t> bytes;
    if (!ReadWhole(source, bytes)) {
        fprintf(stderr, "forge-worm: cannot read %s\n", source);
        return 1;
    }
    if (bytes.size() < samples::Entry1SecondLength || bytes[0] != 'M' || bytes[1] != 'Z') {
        fprintf(stderr, "forge-worm: %s is no image of at least 128 KiB\n", source);
        return 1;
    }
    /* First window: the last four bytes before the new header, padding after the DOS stub's
    ** message that neither the DOS loader nor the Windows loader reads. */
    uint32_t newHeader = samples::Entry1SecondLength;
    memcpy(&newHeader, &bytes[0x3C], 4);
    if (newHeader < 0x48 || newHeader > 0x400) {
        fprintf(stderr, "forge-worm: unexpected new-header offset 0x%X\n", newHeader);
        return 1;
    }
    size_t first = newHeader - 4;
    for (size_t i = first; i < newHeader; i++)
        if (bytes[i] != 0) {
            fprintf(stderr, "forge-worm: DOS stub padding at 0x%zX is not free\n", first);
            return 1;
        }
    /* Second window: inside Ballast, past its marker, at or after 8 KiB. */
    size_t marker = 0;
    bool found = false;
    for (size_t i = 0; i + BallastMarkerLength <= bytes.size(); i++)
        if (memcmp(&bytes[i], BallastMarker, BallastMarkerLength) == 0) {
            marker = i;
            found = true;
            break;
        }
    if (!found) {
        fprintf(stderr, "forge-worm: no ballast marker in %s\n", source);
        return 1;
    }
    size_t second = marker + 64;
    if (second < samples::Entry1FirstLength)
        second = samples::Entry1FirstLength;
    if (second + 4 > samples::Entry1SecondLength || second + 4 > marker + BallastSize) {
        fprintf(stderr, "forge-worm: ballast at 0x%zX lies past the first 128 KiB\n", marker);
        return 1;
    }
    if (!samples::ForgeEntry1(bytes, first, second)) {
        fprintf(stderr, "forge-worm: forging failed\n");
        return 1;
    }
    if (!samples::WriteFileBytes(dest, bytes)) {
        fprintf(stderr, "forge-worm: cannot write %s\n", dest);
        return 1;
    }
    int entry = MatchFile(dest);
    if (entry != 1) {
        fprintf(stderr, "forge-worm: %s matches entry %d, not entry 1\n", dest, entry);
        return 1;
    }
    printf("forged %s: windows at 0x%zX and 0x%zX\n", dest, first, second);
    return 0;
}

/* ---- populate ---- */

static std::string Root;
static FILE *Manifest;
static int Written;

static void Fail(const char *what, const std::string &path)
{
    fprintf(stderr, "populate: %s %s (error %lu)\n", what, path.c_str(), GetLastError());
    exit(1);
}

static void MakeFolder(const std::string &path)
{
    if (!CreateDirectoryA(path.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        Fail("cannot create folder", path);
}

static void Put(const std::string &path, const std::vector<uint8_t> &bytes, DWORD attributes = 0)
{
    if (!samples::WriteFileBytes(path, bytes))
        Fail("cannot write", path);
    if (attributes && !SetFileAttributesA(path.c_str(), attributes))
        Fail("cannot set attributes of", path);
    Written++;
}

static std::vector<uint8_t> Text(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

/* A clean file of kind `k` (cycling through text, DOS, NE, LE, PE and DLL), distinct per `n`. */
static std::vector<uint8_t> CleanBytes(int k, int n, const char **extension)
{
    static const char *const extensions[] = {".txt", ".com", ".exe", ".vxd", ".exe", ".dll", ".ini", ""};
    *extension = extensions[k];
    std::vector<uint8_t> bytes;
    switch (k) {
    case 1: bytes = samples::MakeSample(samples::CleanDos); break;
    case 2: bytes = samples::MakeSample(samples::CleanNe); break;
    case 3: bytes = samples::MakeSample(samples::CleanLe); break;
    case 4:
    case 5: {
        samples::PeShape shape;
        shape.dll = k == 5;
        shape.seed = (uint32_t)n + 7;
        shape.numberOfSections = (uint16_t)(1 + n % 3);
        bytes = samples::BuildPe(shape);
        return bytes;
    }
    default: {
        char line[96];
        snprintf(line, sizeof line, "clean file %d: nothing to see here\r\n", n);
        std::string text;
        for (int i = 0; i <= n % 5; i++)
            text += line;
        return Text(text);
    }
    }
    char tail[32];
    snprintf(tail, sizeof tail, "#%d", n);
    bytes.insert(bytes.end(), tail, tail + strlen(tail));
    return bytes;
}

static DWORD CleanAttributes(int n)
{
    DWORD a = 0;
    if (n % 7 == 3)
        a |= FILE_ATTRIBUTE_READONLY;
    if (n % 11 == 5)
        a |= FILE_ATTRIBUTE_HIDDEN;
    if (n % 13 == 6)
        a |= FILE_ATTRIBUTE_SYSTEM;
    return a;
}

static void Infected(const std::string &path, samples::SampleId id, DWORD attributes = 0)
{
    Put(path, samples::MakeSample(id), attributes);
    fprintf(Manifest, "DELETE %s\n", path.c_str());
}

static int Populate(const char *root, const char *manifest, int cleanFiles, int heldCount)
{
    Root = root;
    if (Root.empty() || Root.back() != '\\')
        Root += '\\';
    Manifest = fopen(manifest, "w");
    if (!Manifest)
        Fail("cannot write manifest", manifest);

    /* The bulk: folders of 100 clean files each, every kind, some read-only, hidden or system. */
    int n = 0;
    for (int folder = 0; n < cleanFiles; folder++) {
        char name[64];
        snprintf(name, sizeof name, "%sdata%02d", Root.c_str(), folder);
        std::string dir = name;
        MakeFolder(dir);
        if (folder % 4 == 1) {
            dir += "\\sub folder";
            MakeFolder(dir);
        }
        for (int i = 0; i < 100 && n < cleanFiles; i++, n++) {
            const char *extension;
            std::vector<uint8_t> bytes = CleanBytes(n % 8, n, &extension);
            snprintf(name, sizeof name, "\\file%04d%s", n, extension);
            Put(dir + name, bytes, CleanAttributes(n));
        }
    }

    /* Near misses of both entries: must stay untouched. */
    std::string nearDir = Root + "near";
    MakeFolder(nearDir);
    const samples::SampleId nearIds[] = {
        samples::NearEntry1SecondWrong, samples::NearEntry2SecondWrong, samples::NearEntry1Short,
        samples::NearEntry2Short, samples::DosWithEntry1Bytes, samples::NeWithEntry1Bytes,
        samples::LeWithEntry1Bytes, samples::CutPeWithEntry1Bytes};
    for (samples::SampleId id : nearIds)
        Put(nearDir + "\\" + samples::Sample(id).fileName, samples::MakeSample(id));

    /* Paths close to the ANSI limit: a chain of folders 240 characters long, files whose
    ** whole path is 259 characters (the longest a 260-byte buffer holds), an infected one too. */
    std::string deep = Root + "deep";
    MakeFolder(deep);
    for (int level = 0; deep.size() < 240; level++) {
        char part[48];
        snprintf(part, sizeof part, "\\level%02d_", level);
        std::string segment = part;
        size_t room = 240 - deep.size();
        segment.append((room < 40 ? room : 40) - segment.size(), 'x');
        deep += segment;
        MakeFolder(deep);
        Put(deep + "\\clean.txt", Text("deep\r\n"));
    }
    for (int i = 0; i < 3; i++) {
        std::string file = deep + "\\";
        char lead[16];
        snprintf(lead, sizeof lead, "long%d_", i);
        file += lead;
        size_t want = 259 - (size_t)i * 2 - 4;
        file.append(want - file.size(), 'y');
        file += i == 2 ? ".exe" : ".txt";
        if (i == 2)
            Infected(file, samples::InfectedEntry1);
        else
            Put(file, i == 0 ? samples::MakeSample(samples::CleanPe) : Text("long path\r\n"));
    }

    /* The infected samples: both entries, a DLL, an x64-style image, a read-only one and a
    ** hidden system one, each to be deleted at once. */
    std::string inf = Root + "infected";
    MakeFolder(inf);
    MakeFolder(inf + "\\lib");
    Infected(inf + "\\entry1.exe", samples::InfectedEntry1);
    Infected(inf + "\\entry2.exe", samples::InfectedEntry2);
    Infected(inf + "\\lib\\infected.dll", samples::InfectedDll);
    Infected(inf + "\\pe32plus.exe", samples::InfectedPe32Plus);
    Infected(inf + "\\readonly.exe", samples::InfectedEntry1, FILE_ATTRIBUTE_READONLY);
    Infected(inf + "\\hidden.scr", samples::InfectedEntry2, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    Infected(inf + "\\no extension", samples::InfectedDll);

    /* Held files: the first beside two older copies, so its copy is number 2. */
    std::string held = Root + "held";
    MakeFolder(held);
    Put(held + "\\held.exe", samples::MakeSample(samples::InfectedEntry1));
    Put(held + "\\held.exe.qx-000", Text("an older copy\r\n"));
    Put(held + "\\held.exe.qx-001", samples::MakeSample(samples::CleanPe));
    fprintf(Manifest, "HELD %s 002\n", (held + "\\held.exe").c_str());
    if (heldCount > 1) {
        Put(held + "\\second.dll", samples::MakeSample(samples::InfectedDll));
        fprintf(Manifest, "HELD %s 000\n", (held + "\\second.dll").c_str());
    }
    fclose(Manifest);
    printf("populate: %d files written below %s\n", Written, Root.c_str());
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "forge-worm") == 0)
        return ForgeWorm(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "detect") == 0) {
        for (int i = 2; i < argc; i++)
            printf("%d %s\n", MatchFile(argv[i]), argv[i]);
        return 0;
    }
    if (argc == 6 && strcmp(argv[1], "populate") == 0)
        return Populate(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
    fprintf(stderr, "usage: e2etool forge-worm SOURCE DEST | detect FILE... | "
                    "populate ROOT MANIFEST CLEAN-FILES HELD-COUNT\n");
    return 1;
}
