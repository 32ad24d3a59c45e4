// gentree [--shape default|wide] FOLDER [FILES]: writes a deterministic tree of FILES files
// (100,000 by default) below FOLDER for the whole-scan benchmark, and the list FOLDER.list
// beside it.
//
// Both shapes have ten groups d0..d9 of a tenth of the files each, so that FOLDER/d0 is a ready
// subset, and five infected samples; the list names them so that the benchmark can put them back
// after a scan that removed them.
//
// The default shape: folders nest up to 8 levels below FOLDER, about 40 files each, every file
// in a folder drawn at random. About a quarter of the files are clean PE images of 12 to 60 KiB
// (some DLLs and x64 images), the rest text, DOS-style programs (plain MZ, NE, LE, byte-swapped
// "ZM") and other binary data of 1 to 8 KiB.
//
// The wide shape, closer to an installed system: many folders of about 30 files, each folder
// filled in turn, nesting up to 11 levels; sizes drawn from log-normal laws. Three files in ten
// are clean PE images of 16 KiB to 4 MiB (median about 32 KiB) whose sections lie past the
// first 8 KiB, so that the detector's second read is not in the header's pages; the rest are
// text, DOS-style programs and data of 256 bytes to 256 KiB (median 4 KiB). About 2 GiB at
// 100,000 files. Its list says "shape wide".
//
// The list is written last: a tree without its list was cut short and is not to be reused.
#include "tools/samples.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

const int Groups = 10;
const int MaxDepth = 8;          // folder levels below the tree's root
const int FilesPerFolder = 40;   // on average
const int WideMaxDepth = 11;

uint64_t rngState = 0x5EED5EED12345678ull;

uint32_t Next()
{
    // xorshift64*: fixed seed, the same tree on every machine.
    rngState ^= rngState >> 12;
    rngState ^= rngState << 25;
    rngState ^= rngState >> 27;
    return (uint32_t)((rngState * 0x2545F4914F6CDD1Dull) >> 32);
}

uint32_t Between(uint32_t low, uint32_t high)
{
    return low + Next() % (high - low + 1);
}

struct Folder {
    std::string path;
    int depth;
};

bool MakeFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "gentree: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(value >> (8 * i));
}

std::vector<uint8_t> RandomBytes(size_t size)
{
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; i += 4) {
        uint32_t x = Next();
        for (size_t k = 0; k < 4 && i + k < size; k++)
            v[i + k] = (uint8_t)(x >> (8 * k));
    }
    return v;
}

std::vector<uint8_t> Text(size_t size)
{
    static const char *const words[] = {"the",   "scan",   "report", "folder", "file",
                                        "value", "system", "user",   "setup",  "config",
                                        "data",  "line",   "table",  "window", "drive"};
    std::string s;
    while (s.size() < size) {
        s += words[Next() % (sizeof words / sizeof words[0])];
        s += (Next() % 12 == 0) ? "\r\n" : " ";
    }
    s.resize(size);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A clean PE image of 12 to 60 KiB with 1 to 4 sections.
std::vector<uint8_t> CleanPe(bool &dll)
{
    samples::PeShape shape;
    shape.numberOfSections = (uint16_t)Between(1, 4);
    uint32_t target = Between(12, 60) * 1024;
    uint32_t raw = (target - shape.firstRawData) / shape.numberOfSections;
    shape.sectionRawSize = raw / 0x200 * 0x200;
    shape.dll = Next() % 5 == 0;
    shape.pe32Plus = Next() % 10 == 0;
    shape.seed = Next();
    dll = shape.dll;
    return samples::BuildPe(shape);
}

// An MZ program of `size` bytes (at least 256) without a PE header: a plain DOS program, an NE
// or LE program, or one whose "ZM" signature is byte-swapped.
std::vector<uint8_t> DosStyle(size_t size)
{
    std::vector<uint8_t> v = RandomBytes(size);
    v[0] = 'M';
    v[1] = 'Z';
    switch (Next() % 4) {
    case 0:   // plain DOS: e_lfanew points into code that carries no known signature
        Put32(v, 60, 0x40);
        v[0x40] = 0x0E;
        v[0x41] = 0x1F;
        break;
    case 1:
        Put32(v, 60, 0x80);
        std::memcpy(&v[0x80], "NE\0\0", 4);
        break;
    case 2:
        Put32(v, 60, 0x80);
        std::memcpy(&v[0x80], "LE\0\0", 4);
        break;
    default:
        v[0] = 'Z';
        v[1] = 'M';
        break;
    }
    return v;
}

// A size drawn from the log-normal law of median `median` and shape `sigma`, drawn again until
// it lies in [low, high]. The normal deviate is the sum of twelve uniform ones (Irwin-Hall):
// integer draws only, so the sizes are the same wherever the tree is made.
uint32_t LogNormal(double median, double sigma, uint32_t low, uint32_t high)
{
    for (;;) {
        double z = -6;
        for (int i = 0; i < 12; i++)
            z += Next() / 4294967296.0;
        double size = median * std::exp(sigma * z);
        if (size >= low && size <= high)
            return (uint32_t)size;
    }
}

// A clean PE image of `size` bytes (at least 16 KiB) rounded up to whole 512-byte sectors,
// with 1 to 4 sections, the first of them 8.5 to 24 KiB into the file and 4 KiB before its end
// at the latest.
std::vector<uint8_t> WidePe(uint32_t size, bool &dll)
{
    samples::PeShape shape;
    shape.numberOfSections = (uint16_t)Between(1, 4);
    uint32_t latest = size / 0x200 - 8;
    shape.firstRawData = Between(17, latest < 48 ? latest : 48) * 0x200;
    uint32_t raw = (size - shape.firstRawData) / shape.numberOfSections;
    shape.sectionRawSize = (raw + 0x1FF) / 0x200 * 0x200;
    shape.dll = Next() % 5 == 0;
    shape.pe32Plus = Next() % 10 == 0;
    shape.seed = Next();
    dll = shape.dll;
    return samples::BuildPe(shape);
}

struct FileType {
    const char *extensions[4];
};

const FileType PeTypes = {{"exe", "exe", "scr", "ocx"}};
const FileType DllTypes = {{"dll", "dll", "cpl", "sys"}};
const FileType TextTypes = {{"txt", "ini", "log", "htm"}};
const FileType DosTypes = {{"com", "exe", "ovl", "bin"}};
const FileType OtherTypes = {{"dat", "jpg", "zip", "bmp"}};

// Infected samples in five of the groups (one of them in the subset d0), each in place of that
// group's file number `slot`.
const samples::SampleId InfectedIds[5] = {samples::InfectedEntry1, samples::InfectedEntry2,
                                          samples::InfectedDll, samples::InfectedPe32Plus,
                                          samples::InfectedEntry1};

// What has been written so far, for the list and the closing line.
std::vector<std::string> infected;
std::vector<int> infectedSample;
long written = 0, peFiles = 0;
uint64_t bytes = 0;
int maxDepth = 0;

// Makes the folder numbered `number` below `parent`.
bool AddFolder(std::vector<Folder> &folders, const Folder &parent, long number)
{
    Folder child = {parent.path + "/f" + std::to_string(number), parent.depth + 1};
    if (!MakeFolder(child.path))
        return false;
    if (child.depth > maxDepth)
        maxDepth = child.depth;
    folders.push_back(child);
    return true;
}

// A folder for the next new one: below the newest half of the time (deep chains), below any
// folder otherwise (broad levels), never at `depthLimit`.
const Folder &PickParent(const std::vector<Folder> &folders, int depthLimit)
{
    const Folder *parent;
    do {
        parent = (Next() & 1) ? &folders.back() : &folders[Next() % folders.size()];
    } while (parent->depth >= depthLimit);
    return *parent;
}

// Writes the group's file number `i` into `folder`: the infected sample of group `g`, or the
// clean `content` of `type`.
bool WriteFile(const Folder &folder, int g, long i, const std::vector<uint8_t> &content,
               const FileType *type)
{
    char name[64];
    if (!type) {
        samples::SampleId id = InfectedIds[g / 2];
        std::snprintf(name, sizeof name, "setup%ld.%s", i,
                      id == samples::InfectedDll ? "dll" : "exe");
        infected.push_back(folder.path + "/" + name);
        infectedSample.push_back((int)id);
        peFiles++;
    } else {
        std::snprintf(name, sizeof name, "file%ld.%s", i, type->extensions[Next() % 4]);
    }
    std::string path = folder.path + "/" + name;
    if (!samples::WriteFileBytes(path, content)) {
        std::fprintf(stderr, "gentree: cannot write %s\n", path.c_str());
        return false;
    }
    written++;
    bytes += content.size();
    return true;
}

// Makes group `g`'s folder "dN" below `root`, the first of `folders`.
bool StartGroup(const std::string &root, int g, std::vector<Folder> &folders)
{
    folders.push_back({root + "/d" + std::to_string(g), 1});
    return MakeFolder(folders[0].path);
}

// Group `g` of the default shape: its folders first, then each file in one drawn at random.
bool DefaultGroup(const std::string &root, int g, long groupFiles)
{
    std::vector<Folder> folders;
    if (!StartGroup(root, g, folders))
        return false;
    long folderCount = groupFiles / FilesPerFolder;
    for (long f = 1; f < folderCount; f++)
        if (!AddFolder(folders, PickParent(folders, MaxDepth), f))
            return false;
    long infectedSlot = (g % 2 == 0) ? (long)(Next() % groupFiles) : -1;
    for (long i = 0; i < groupFiles; i++) {
        const Folder &folder = folders[Next() % folders.size()];
        std::vector<uint8_t> content;
        const FileType *type = nullptr;
        if (i == infectedSlot) {
            content = samples::MakeSample(InfectedIds[g / 2]);
        } else {
            uint32_t pick = Next() % 100;
            if (pick < 25) {
                bool dll;
                content = CleanPe(dll);
                type = dll ? &DllTypes : &PeTypes;
                peFiles++;
            } else if (pick < 65) {
                content = Text(Between(1, 6) * 1024 + Next() % 1024);
                type = &TextTypes;
            } else if (pick < 80) {
                content = DosStyle(Between(1, 8) * 1024);
                type = &DosTypes;
            } else {
                content = RandomBytes(Between(1, 8) * 1024);
                type = &OtherTypes;
            }
        }
        if (!WriteFile(folder, g, i, content, type))
            return false;
    }
    return true;
}

// Group `g` of the wide shape: one folder filled with 20 to 40 files, then the next.
bool WideGroup(const std::string &root, int g, long groupFiles)
{
    std::vector<Folder> folders;
    if (!StartGroup(root, g, folders))
        return false;
    long infectedSlot = (g % 2 == 0) ? (long)(Next() % groupFiles) : -1;
    long inFolder = Between(20, 40);
    for (long i = 0; i < groupFiles; i++) {
        if (inFolder-- == 0) {
            if (!AddFolder(folders, PickParent(folders, WideMaxDepth), (long)folders.size()))
                return false;
            inFolder = Between(20, 40) - 1;
        }
        std::vector<uint8_t> content;
        const FileType *type = nullptr;
        if (i == infectedSlot) {
            content = samples::MakeSample(InfectedIds[g / 2]);
        } else {
            uint32_t pick = Next() % 100;
            if (pick < 30) {
                bool dll;
                content = WidePe(LogNormal(14 * 1024, 1.2, 16 * 1024, 4 << 20), dll);
                type = dll ? &DllTypes : &PeTypes;
                peFiles++;
            } else {
                uint32_t size = LogNormal(4096, 0.9, 256, 256 * 1024);
                if (pick < 65) {
                    content = Text(size);
                    type = &TextTypes;
                } else if (pick < 80) {
                    content = DosStyle(size);
                    type = &DosTypes;
                } else {
                    content = RandomBytes(size);
                    type = &OtherTypes;
                }
            }
        }
        if (!WriteFile(folders.back(), g, i, content, type))
            return false;
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr, "usage: gentree [--shape default|wide] FOLDER [FILES]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    bool wide = false;
    int at = 1;
    if (at < argc && std::strcmp(argv[at], "--shape") == 0) {
        if (at + 1 >= argc)
            return Usage();
        if (std::strcmp(argv[at + 1], "wide") == 0)
            wide = true;
        else if (std::strcmp(argv[at + 1], "default") != 0)
            return Usage();
        at += 2;
    }
    if (argc - at < 1 || argc - at > 2 || argv[at][0] == '-')
        return Usage();
    std::string root = argv[at];
    long total = argc - at == 2 ? std::strtol(argv[at + 1], nullptr, 10) : 100000;
    if (total < Groups * 10) {
        std::fprintf(stderr, "gentree: at least %d files\n", Groups * 10);
        return 2;
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::string listPath = root + ".list";
    std::remove(listPath.c_str());
    if (!MakeFolder(root))
        return 1;

    for (int g = 0; g < Groups; g++) {
        long groupFiles = total / Groups + (g == Groups - 1 ? total % Groups : 0);
        if (!(wide ? WideGroup(root, g, groupFiles) : DefaultGroup(root, g, groupFiles)))
            return 1;
    }

    FILE *list = std::fopen(listPath.c_str(), "w");
    if (!list) {
        std::fprintf(stderr, "gentree: cannot write %s\n", listPath.c_str());
        return 1;
    }
    std::fprintf(list, "files %ld\ngroups %d\n", written, Groups);
    if (wide)
        std::fprintf(list, "shape wide\n");
    for (size_t i = 0; i < infected.size(); i++)
        std::fprintf(list, "infected %d %s\n", infectedSample[i],
                     infected[i].substr(root.size() + 1).c_str());
    if (std::fclose(list) != 0) {
        std::fprintf(stderr, "gentree: cannot write %s\n", listPath.c_str());
        return 1;
    }
    std::printf("gentree: %ld files (%ld PE, %zu infected), %.0f MiB, folders up to %d deep, in "
                "%s\n",
                written, peFiles, infected.size(), bytes / 1048576.0, maxDepth, root.c_str());
    return 0;
}
