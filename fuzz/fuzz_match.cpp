// Matching any file, through DetectFile with the built-in table and through MatchSignatures
// with probe entries. Random bytes never meet the table's checksums, so the probes have empty
// regions (checksum 0, met as soon as the entry's base is settled): they reach the
// section-header bound for the first, a middle and the last section index, a region start
// that turns into a refused seek, and the bases the table never uses.
#include "engine/signature.h"
#include "fuzz/fuzzfile.h"

#include <stdlib.h>

static const Signature Probes[] = {
    {Pe | PeDll, SectionData, {0, 0, 0}, {0, 16, 0}, DetectionName},
    {Pe | PeDll, SectionData | (7u << 16), {0, 0, 0}, {0, 0, 0}, DetectionName},
    {Pe | PeDll, SectionData | (0xFFFFu << 16), {0, 0, 0}, {0, 0, 0}, DetectionName},
    {Pe | PeDll, FileStart, {0x7FFFFFF0u, 32, 0}, {0, 0, 0}, DetectionName},
    {Pe | PeDll, 2, {0, 0, 0}, {0, 0, 0}, DetectionName},
    {NotExecutable | Dos | Ne | Le, SectionData, {0, 0, 0}, {0, 0, 0}, DetectionName},
};
static const uint32_t ProbeCount = sizeof Probes / sizeof Probes[0];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FileHandle file = OpenInput(data, size);
    ScanContext context = {"fuzz", nullptr, file};
    int32_t verdict = DetectFile(&context);
    if (verdict == ScanVerdict::Infected) {
        if (context.matchedName != &SignatureTable[0].name &&
            context.matchedName != &SignatureTable[1].name)
            abort();
    } else if (verdict != ScanVerdict::Clean || context.matchedName) {
        abort();
    }
    context.matchedName = nullptr;
    int32_t entry = MatchSignatures(&context, Probes, ProbeCount);
    if (entry != -1 && (entry < 1 || entry > (int32_t)ProbeCount)) abort();
    if ((entry == -1) != (context.matchedName == nullptr)) abort();
    /* The last two entries can never apply: an unknown base, a section of a file without any. */
    if (entry >= (int32_t)ProbeCount - 1) abort();
    FileClose(file);
    return 0;
}
