// Harmless test samples: PE images forged to the signature table's checksums, near misses and
// clean files. See samples.h for the contract.
#include "tools/samples.h"

#include <cstdio>
#include <cstring>

namespace samples {

namespace {

// FileKind values, restated so that the samples do not depend on the engine.
constexpr uint32_t KindNotExecutable = 1, KindDos = 2, KindPe = 4, KindPeDll = 8, KindNe = 16,
                   KindLe = 32;

struct CrcTables {
    uint32_t forward[256];
    uint8_t byTopByte[256];    // index i whose forward[i] has top byte t; unique per t
    CrcTables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            forward[i] = c;
            byTopByte[c >> 24] = (uint8_t)i;
        }
    }
};

const CrcTables &Tables()
{
    static const CrcTables tables;
    return tables;
}

uint32_t Forward(uint32_t state, const uint8_t *data, size_t length)
{
    const CrcTables &t = Tables();
    for (size_t i = 0; i < length; i++)
        state = (state >> 8) ^ t.forward[(state ^ data[i]) & 0xFF];
    return state;
}

// The state before byte `b` given the state after it. The reflected table's top bytes are all
// different, so the state's top byte names the table index, and the index gives back the byte
// the forward step shifted out.
uint32_t Backward(uint32_t after, uint8_t b)
{
    const CrcTables &t = Tables();
    uint32_t index = t.byTopByte[after >> 24];
    return ((after ^ t.forward[index]) << 8) | ((index ^ b) & 0xFF);
}

void Put16(std::vector<uint8_t> &v, size_t at, uint32_t value)
{
    v[at] = (uint8_t)value;
    v[at + 1] = (uint8_t)(value >> 8);
}

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t value)
{
    Put16(v, at, value & 0xFFFF);
    Put16(v, at + 2, value >> 16);
}

void Put64(std::vector<uint8_t> &v, size_t at, uint64_t value)
{
    Put32(v, at, (uint32_t)value);
    Put32(v, at + 4, (uint32_t)(value >> 32));
}

void Fill(std::vector<uint8_t> &v, size_t from, size_t to, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (!x)
        x = 1;
    for (size_t i = from; i < to && i < v.size(); i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = (uint8_t)(x >> 24);
    }
}

// The usual real-mode stub: print the message and exit. 57 bytes from offset 0x40.
const uint8_t DosStub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01,
                           0x4C, 0xCD, 0x21};
const char DosMessage[] = "This program cannot be run in DOS mode.\r\r\n$";

// "MZ" header with e_lfanew and, where it fits before e_lfanew, the stub.
void PutDosHeader(std::vector<uint8_t> &v, uint32_t newHeaderOffset)
{
    v[0] = 'M';
    v[1] = 'Z';
    Put16(v, 2, 0x90);      // bytes in the last page
    Put16(v, 4, 3);         // pages
    Put16(v, 8, 4);         // header paragraphs
    Put16(v, 12, 0xFFFF);   // maximum allocation
    Put16(v, 16, 0xB8);     // initial SP
    Put16(v, 24, 0x40);     // relocation table
    Put32(v, 60, newHeaderOffset);
    std::vector<uint8_t> stub(DosStub, DosStub + sizeof DosStub);
    stub.insert(stub.end(), DosMessage, DosMessage + sizeof DosMessage - 1);
    for (size_t i = 0; i < stub.size() && 0x40 + i < newHeaderOffset && 0x40 + i < v.size(); i++)
        v[0x40 + i] = stub[i];
}

uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// A sample file of `size` bytes of filler that starts with an MZ header whose new header is
// `signature` (4 bytes) at 0x80, or with no new header at all when `signature` is null.
std::vector<uint8_t> MzWith(const char *signature, size_t size, uint32_t seed)
{
    std::vector<uint8_t> v(size, 0);
    Fill(v, 0x80, size, seed);
    if (signature) {
        PutDosHeader(v, 0x80);
        std::memcpy(&v[0x80], signature, 4);
    } else {
        PutDosHeader(v, 0);    // e_lfanew 0: "MZ" itself stands where a new header would
    }
    return v;
}

// Window positions used by the ready-made samples. The first entry-1 window sits in the gap
// between the DOS stub's message and the PE header, where no loader looks; the others sit in
// section filler.
constexpr size_t Entry1FirstPatch = 0x7C, Entry1SecondPatch = 0x3000;
constexpr size_t Entry2FirstPatch = 0x100, Entry2SecondPatch = 0x8000;

PeShape Entry1Shape(uint32_t seed, bool dll)
{
    PeShape s;
    s.numberOfSections = 2;
    s.sectionRawSize = 0x10000;   // file of 0x20400 bytes: more than the 131,072 entry 1 reads
    s.dll = dll;
    s.seed = seed;
    return s;
}

PeShape Entry2Shape(uint32_t seed, bool pe32Plus)
{
    PeShape s;
    s.numberOfSections = 4;       // 4 x 64 KiB: more than the 196,608 bytes entry 2 reads
    s.sectionRawSize = 0x10000;
    s.pe32Plus = pe32Plus;
    s.seed = seed;
    return s;
}

bool Check(bool ok)
{
    if (!ok)
        std::fprintf(stderr, "samples: a forge window or region does not fit\n");
    return ok;
}

const SampleInfo Infos[SampleCount] = {
    {InfectedEntry1, "infected-entry1.exe", KindPe, 1, "PE image matching entry 1"},
    {InfectedEntry2, "infected-entry2.exe", KindPe, 2, "PE image matching entry 2 only"},
    {InfectedDll, "infected.dll", KindPeDll, 1, "DLL matching entry 1"},
    {InfectedPe32Plus, "infected-pe32plus.exe", KindPe, 2,
     "x64 image (240-byte optional header) matching entry 2"},
    {NearEntry1SecondWrong, "near-entry1-second-wrong.exe", KindPe, -1,
     "entry 1's first region right, second wrong"},
    {NearEntry2SecondWrong, "near-entry2-second-wrong.exe", KindPe, -1,
     "entry 2's first region right, second wrong"},
    {NearEntry1Short, "near-entry1-short.exe", KindPe, -1,
     "infected-entry1.exe cut one byte short of entry 1's second region"},
    {NearEntry2Short, "near-entry2-short.exe", KindPe, -1,
     "infected-entry2.exe cut one byte short of entry 2's second region"},
    {DosWithEntry1Bytes, "dos-entry1-bytes.exe", KindDos, -1,
     "DOS program whose bytes match entry 1's regions"},
    {NeWithEntry1Bytes, "ne-entry1-bytes.exe", KindNe, -1,
     "NE program whose bytes match entry 1's regions"},
    {LeWithEntry1Bytes, "le-entry1-bytes.exe", KindLe, -1,
     "LE program whose bytes match entry 1's regions"},
    {CutPeWithEntry1Bytes, "cut-pe-entry1-bytes.exe", KindDos, -1,
     "PE header claiming 65,535 sections (block cut short), bytes matching entry 1"},
    {CleanPe, "clean.exe", KindPe, -1, "ordinary PE image"},
    {CleanDll, "clean.dll", KindPeDll, -1, "ordinary DLL"},
    {CleanDos, "clean-dos.exe", KindDos, -1, "ordinary DOS program"},
    {CleanNe, "clean-ne.exe", KindNe, -1, "ordinary NE program"},
    {CleanLe, "clean-le.exe", KindLe, -1, "ordinary LE program"},
    {CleanText, "readme.txt", KindNotExecutable, -1, "plain text"},
};

}  // namespace

uint32_t Jamcrc(const uint8_t *data, size_t length)
{
    return Forward(0xFFFFFFFFu, data, length);
}

bool ForgeCrc(std::vector<uint8_t> &bytes, size_t regionStart, size_t regionLength,
              size_t patchOffset, uint32_t wantedJamcrc)
{
    if (regionStart > bytes.size() || regionLength > bytes.size() - regionStart ||
        patchOffset < regionStart || regionLength < 4 ||
        patchOffset - regionStart > regionLength - 4)
        return false;
    size_t regionEnd = regionStart + regionLength;
    uint32_t before = Forward(0xFFFFFFFFu, &bytes[regionStart], patchOffset - regionStart);
    uint32_t after = wantedJamcrc;
    for (size_t i = regionEnd; i > patchOffset + 4; i--)
        after = Backward(after, bytes[i - 1]);
    // Four bytes x fed to state s leave the same state as four zero bytes fed to s ^ x.
    uint32_t zeroStart = after;
    for (int i = 0; i < 4; i++)
        zeroStart = Backward(zeroStart, 0);
    Put32(bytes, patchOffset, zeroStart ^ before);
    return true;
}

std::vector<uint8_t> BuildPe(const PeShape &shape)
{
    const uint32_t sectionAlignment = 0x1000, fileAlignment = 0x200;
    uint32_t optionalSize = shape.sizeOfOptionalHeader ? shape.sizeOfOptionalHeader
                                                       : (shape.pe32Plus ? 240u : 224u);
    uint32_t sections = shape.numberOfSections;
    uint32_t headersEnd = SectionHeaderOffset(shape, sections);
    uint32_t dataEnd = shape.firstRawData + sections * shape.sectionRawSize;
    size_t natural = dataEnd > headersEnd ? dataEnd : headersEnd;
    size_t size = shape.fileSize ? shape.fileSize : natural;
    std::vector<uint8_t> v(size > natural ? size : natural, 0);

    Fill(v, shape.firstRawData, dataEnd, shape.seed);
    PutDosHeader(v, shape.newHeaderOffset);

    size_t pe = shape.newHeaderOffset;
    std::memcpy(&v[pe], "PE\0\0", 4);
    Put16(v, pe + 4, shape.pe32Plus ? 0x8664 : 0x14C);
    Put16(v, pe + 6, sections);
    Put32(v, pe + 8, 0x386D4380);                         // time stamp
    Put16(v, pe + 20, optionalSize);
    uint32_t characteristics = shape.pe32Plus ? 0x0022 : 0x010F;
    if (shape.dll)
        characteristics = (characteristics & ~1u) | 0x2000;
    Put16(v, pe + 22, characteristics);

    // The optional header's standard fields, cut to SizeOfOptionalHeader when that is smaller.
    uint32_t sectionSpan = AlignUp(shape.sectionRawSize ? shape.sectionRawSize : 1, sectionAlignment);
    std::vector<uint8_t> opt(shape.pe32Plus ? 240 : 224, 0);
    Put16(opt, 0, shape.pe32Plus ? 0x20B : 0x10B);
    opt[2] = 6;                                            // linker version
    Put32(opt, 4, shape.sectionRawSize);                  // SizeOfCode
    Put32(opt, 8, sections > 1 ? (sections - 1) * shape.sectionRawSize : 0);
    Put32(opt, 16, sectionAlignment);                     // entry point: section 0
    Put32(opt, 20, sectionAlignment);                     // BaseOfCode
    if (shape.pe32Plus) {
        Put64(opt, 24, shape.dll ? 0x180000000ull : 0x140000000ull);
    } else {
        Put32(opt, 24, sections > 1 ? sectionAlignment + sectionSpan : 0);   // BaseOfData
        Put32(opt, 28, shape.dll ? 0x10000000u : 0x400000u);
    }
    Put32(opt, 32, sectionAlignment);
    Put32(opt, 36, fileAlignment);
    Put16(opt, 40, 4);                                     // operating system version
    Put16(opt, 48, 4);                                     // subsystem version
    Put32(opt, 56, sectionAlignment + sections * sectionSpan);                // SizeOfImage
    Put32(opt, 60, AlignUp(headersEnd, fileAlignment));   // SizeOfHeaders
    Put16(opt, 68, 2);                                     // Windows GUI
    if (shape.pe32Plus) {
        Put64(opt, 72, 0x100000);
        Put64(opt, 80, 0x1000);
        Put64(opt, 88, 0x100000);
        Put64(opt, 96, 0x1000);
        Put32(opt, 108, 16);
    } else {
        Put32(opt, 72, 0x100000);
        Put32(opt, 76, 0x1000);
        Put32(opt, 80, 0x100000);
        Put32(opt, 84, 0x1000);
        Put32(opt, 92, 16);
    }
    std::memcpy(&v[pe + 24], opt.data(), optionalSize < opt.size() ? optionalSize : opt.size());

    static const char *const names[] = {".text", ".rdata", ".data", ".rsrc"};
    for (uint32_t k = 0; k < sections; k++) {
        size_t h = SectionHeaderOffset(shape, k);
        char name[9] = {0};
        if (k < 4)
            std::memcpy(name, names[k], std::strlen(names[k]));
        else
            std::snprintf(name, sizeof name, ".s%u", (unsigned)(k % 1000000));
        std::memcpy(&v[h], name, 8);
        Put32(v, h + 8, shape.sectionRawSize);                         // VirtualSize
        Put32(v, h + 12, sectionAlignment + k * sectionSpan);          // VirtualAddress
        Put32(v, h + 16, shape.sectionRawSize);                        // SizeOfRawData
        Put32(v, h + 20, shape.firstRawData + k * shape.sectionRawSize);
        Put32(v, h + 36, k == 0 ? 0x60000020u : 0xC0000040u);
    }

    // Entry code that does nothing: "xor eax, eax; ret" for a program, "return TRUE" for a
    // DLL, so even a loaded sample is inert.
    if (sections > 0 && shape.sectionRawSize >= 8 && shape.firstRawData + 8 <= v.size()) {
        static const uint8_t exeEntry[] = {0x33, 0xC0, 0xC3};
        static const uint8_t dll32Entry[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC2, 0x0C, 0x00};
        static const uint8_t dll64Entry[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3};
        const uint8_t *code = exeEntry;
        size_t length = sizeof exeEntry;
        if (shape.dll) {
            code = shape.pe32Plus ? dll64Entry : dll32Entry;
            length = shape.pe32Plus ? sizeof dll64Entry : sizeof dll32Entry;
        }
        std::memcpy(&v[shape.firstRawData], code, length);
    }
    v.resize(size);
    return v;
}

bool ForgeEntry1(std::vector<uint8_t> &bytes, size_t firstPatch, size_t secondPatch)
{
    if (secondPatch < Entry1FirstLength)
        return false;
    return ForgeCrc(bytes, 0, Entry1FirstLength, firstPatch, Entry1FirstCrc) &&
           ForgeCrc(bytes, 0, Entry1SecondLength, secondPatch, Entry1SecondCrc);
}

bool ForgeEntry2(std::vector<uint8_t> &bytes, size_t rawData, size_t firstPatch,
                 size_t secondPatch)
{
    if (secondPatch < Entry2FirstLength)
        return false;
    return ForgeCrc(bytes, rawData, Entry2FirstLength, rawData + firstPatch, Entry2FirstCrc) &&
           ForgeCrc(bytes, rawData, Entry2SecondLength, rawData + secondPatch, Entry2SecondCrc);
}

const SampleInfo &Sample(SampleId id)
{
    return Infos[id < SampleCount ? id : 0];
}

std::vector<uint8_t> MakeSample(SampleId id)
{
    std::vector<uint8_t> v;
    switch (id) {
    case InfectedEntry1:
        v = BuildPe(Entry1Shape(11, false));
        Check(ForgeEntry1(v, Entry1FirstPatch, Entry1SecondPatch));
        break;
    case InfectedEntry2: {
        PeShape s = Entry2Shape(12, false);
        v = BuildPe(s);
        Check(ForgeEntry2(v, s.firstRawData, Entry2FirstPatch, Entry2SecondPatch));
        break;
    }
    case InfectedDll:
        v = BuildPe(Entry1Shape(13, true));
        Check(ForgeEntry1(v, Entry1FirstPatch, Entry1SecondPatch));
        break;
    case InfectedPe32Plus: {
        PeShape s = Entry2Shape(14, true);
        v = BuildPe(s);
        Check(ForgeEntry2(v, s.firstRawData, Entry2FirstPatch, Entry2SecondPatch));
        break;
    }
    case NearEntry1SecondWrong:
        v = BuildPe(Entry1Shape(15, false));
        Check(ForgeCrc(v, 0, Entry1FirstLength, Entry1FirstPatch, Entry1FirstCrc) &&
              ForgeCrc(v, 0, Entry1SecondLength, Entry1SecondPatch, Entry1SecondCrc ^ 1));
        break;
    case NearEntry2SecondWrong: {
        PeShape s = Entry2Shape(16, false);
        v = BuildPe(s);
        size_t raw = s.firstRawData;
        Check(ForgeCrc(v, raw, Entry2FirstLength, raw + Entry2FirstPatch, Entry2FirstCrc) &&
              ForgeCrc(v, raw, Entry2SecondLength, raw + Entry2SecondPatch,
                       Entry2SecondCrc ^ 0x80000000u));
        break;
    }
    case NearEntry1Short:
        v = MakeSample(InfectedEntry1);
        v.resize(Entry1SecondLength - 1);
        break;
    case NearEntry2Short:
        v = MakeSample(InfectedEntry2);
        v.resize(Entry2Shape(12, false).firstRawData + Entry2SecondLength - 1);
        break;
    case DosWithEntry1Bytes:
        v = MzWith(nullptr, Entry1SecondLength + 0x100, 17);
        Check(ForgeEntry1(v, Entry1FirstPatch, Entry1SecondPatch));
        break;
    case NeWithEntry1Bytes:
        v = MzWith("NE\0\0", Entry1SecondLength + 0x100, 18);
        Check(ForgeEntry1(v, 0x200, Entry1SecondPatch));
        break;
    case LeWithEntry1Bytes:
        v = MzWith("LE\0\0", Entry1SecondLength + 0x100, 19);
        Check(ForgeEntry1(v, 0x200, Entry1SecondPatch));
        break;
    case CutPeWithEntry1Bytes: {
        PeShape s = Entry1Shape(20, false);
        v = BuildPe(s);
        Put16(v, s.newHeaderOffset + 6, 0xFFFF);   // a 2.6 MB header block the file cannot fill
        Check(ForgeEntry1(v, Entry1FirstPatch, Entry1SecondPatch));
        break;
    }
    case CleanPe: {
        PeShape s;
        s.seed = 21;
        v = BuildPe(s);
        break;
    }
    case CleanDll: {
        PeShape s;
        s.seed = 22;
        s.dll = true;
        s.numberOfSections = 3;
        v = BuildPe(s);
        break;
    }
    case CleanDos:
        v = MzWith(nullptr, 0x200, 23);
        break;
    case CleanNe:
        v = MzWith("NE\0\0", 0x400, 24);
        break;
    case CleanLe:
        v = MzWith("LE\0\0", 0x400, 25);
        break;
    case CleanText: {
        static const char text[] =
            "Plain text. It starts with neither MZ nor ZM, so it is no executable at all.\r\n";
        v.assign(text, text + sizeof text - 1);
        break;
    }
    case SampleCount:
        break;
    }
    return v;
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

int WriteAllSamples(const std::string &folder, char separator)
{
    int written = 0;
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != separator)
        prefix += separator;
    for (int i = 0; i < SampleCount; i++) {
        const SampleInfo &info = Sample((SampleId)i);
        if (WriteFileBytes(prefix + info.fileName, MakeSample(info.id)))
            written++;
    }
    return written;
}

}  // namespace samples
