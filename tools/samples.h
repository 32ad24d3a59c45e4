/*
** Harmless test samples: well-formed little executables whose regions carry the checksums of
** the built-in signature table, and near misses and clean files around them.
**
** There is no real sample of the worm. CRC-32 is linear, so four bytes patched anywhere inside
** a region force the region to any checksum: every "infected" sample here is an ordinary,
** do-nothing PE image with filler data, forged to the table's values. Nothing here runs the
** image or depends on the engine; the tests use the engine to check what this library builds.
**
** Portable C++ only; shared by the tests of every subsystem and by the makesamples program.
*/
#ifndef KRV_SAMPLES_H
#define KRV_SAMPLES_H

#include <stdint.h>
#include <string>
#include <vector>

namespace samples {

/* The table's checksums (CRC-32/JAMCRC) and region lengths, restated here so that the samples
** do not depend on the engine they test. Entry 1 counts from the start of the file, entry 2
** from the raw data of section 0. */
constexpr uint32_t Entry1FirstLength = 0x2000, Entry1FirstCrc = 0x89968FC8u;
constexpr uint32_t Entry1SecondLength = 0x20000, Entry1SecondCrc = 0xA7889753u;
constexpr uint32_t Entry2FirstLength = 0x800, Entry2FirstCrc = 0xA32F78FBu;
constexpr uint32_t Entry2SecondLength = 0x30000, Entry2SecondCrc = 0xAB0D7A9Fu;

/* CRC-32/JAMCRC of `length` bytes (initial 0xFFFFFFFF, reflected 0xEDB88320, no final XOR). */
uint32_t Jamcrc(const uint8_t *data, size_t length);

/* Patches the 4 bytes at absolute offset `patchOffset` so that the JAMCRC of
** bytes[regionStart, regionStart + regionLength) becomes `wantedJamcrc`. The window may sit
** anywhere inside the region (start, middle or end); no other byte changes. Answers false, and
** changes nothing, when the region does not fit in `bytes` or the window is not wholly inside
** the region. */
bool ForgeCrc(std::vector<uint8_t> &bytes, size_t regionStart, size_t regionLength,
              size_t patchOffset, uint32_t wantedJamcrc);

/* Shape of a PE image built by BuildPe. Section k's raw data starts at
** firstRawData + k * sectionRawSize and is filled with a fixed pseudo-random pattern drawn from
** `seed`; the file ends with the last section unless fileSize asks for more (zero-filled) or
** less (cut short). */
struct PeShape {
    uint32_t newHeaderOffset = 0x80;       /* e_lfanew; the DOS stub sits between */
    uint16_t numberOfSections = 1;
    bool pe32Plus = false;                 /* true: x64 image, 240-byte optional header */
    uint16_t sizeOfOptionalHeader = 0;     /* 0: 224 (PE32) or 240 (PE32+); else as given */
    bool dll = false;                      /* sets Characteristics bit 0x2000 */
    uint32_t firstRawData = 0x400;         /* PointerToRawData of section 0 */
    uint32_t sectionRawSize = 0x1000;      /* SizeOfRawData of every section */
    uint32_t fileSize = 0;                 /* 0: end of the last section */
    uint32_t seed = 1;
};

/* A well-formed PE image: MZ header with e_lfanew, DOS stub, "PE\0\0", file header, optional
** header with 16 data directories, section table, section data. */
std::vector<uint8_t> BuildPe(const PeShape &shape);

/* Byte offset inside a PE image (of the given shape) of the "PE\0\0" signature and of section
** header k. */
inline uint32_t SectionHeaderOffset(const PeShape &shape, uint32_t k)
{
    uint32_t optional = shape.sizeOfOptionalHeader ? shape.sizeOfOptionalHeader
                                                   : (shape.pe32Plus ? 240u : 224u);
    return shape.newHeaderOffset + 24 + optional + 40 * k;
}

/* Makes `bytes` match signature entry 1 (both regions counted from the start of the file).
** The first region's window is at `firstPatch`, the second's at `secondPatch`, which must lie
** in [8192, 131072) so that it does not disturb the first. The file must hold 131,072 bytes. */
bool ForgeEntry1(std::vector<uint8_t> &bytes, size_t firstPatch, size_t secondPatch);

/* Makes `bytes` match signature entry 2 for section data starting at `rawData`; the windows
** are offsets relative to rawData (second in [2048, 196608)). */
bool ForgeEntry2(std::vector<uint8_t> &bytes, size_t rawData, size_t firstPatch,
                 size_t secondPatch);

/* The ready-made samples. */
enum SampleId {
    InfectedEntry1,          /* PE matching entry 1 (and not entry 2) */
    InfectedEntry2,          /* PE matching entry 2 only */
    InfectedDll,             /* DLL matching entry 1 */
    InfectedPe32Plus,        /* image with a 240-byte optional header, matching entry 2 only */
    NearEntry1SecondWrong,   /* entry 1's first region right, its second wrong; no match */
    NearEntry2SecondWrong,   /* entry 2's first region right, its second wrong; no match */
    NearEntry1Short,         /* InfectedEntry1 cut to 131,071 bytes: second region unreadable */
    NearEntry2Short,         /* InfectedEntry2 cut one byte before its second region's end */
    DosWithEntry1Bytes,      /* "MZ" without a new header; first 131,072 bytes as entry 1 wants */
    NeWithEntry1Bytes,       /* "NE\0\0" at e_lfanew; bytes as entry 1 wants */
    LeWithEntry1Bytes,       /* "LE\0\0" at e_lfanew; bytes as entry 1 wants */
    CutPeWithEntry1Bytes,    /* "PE\0\0" whose header block is cut short (a Dos file) */
    CleanPe,
    CleanDll,
    CleanDos,
    CleanNe,
    CleanLe,
    CleanText,
    SampleCount
};

/* What a sample is and what the engine must make of it. */
struct SampleInfo {
    SampleId id;
    const char *fileName;    /* name in the demo folder */
    uint32_t kind;           /* FileKind value ClassifyFile must answer */
    int32_t entry;           /* position MatchSignatures must answer: 1, 2, or -1 */
    const char *about;       /* one line for people */
};

/* The description of sample `id` (id < SampleCount). */
const SampleInfo &Sample(SampleId id);

/* The bytes of sample `id`, built afresh (tests may mutate them). Deterministic. */
std::vector<uint8_t> MakeSample(SampleId id);

/* Writes `bytes` to `path`, replacing any file there; true when all were written. */
bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

/* Writes every sample into the existing `folder` under its fileName, joined with `separator`.
** Answers how many were written. */
int WriteAllSamples(const std::string &folder, char separator);

}  // namespace samples

#endif
