/*
** The built-in signature table and the matcher.
**
** Every region is read in one piece into a buffer of its own, summed and released at once;
** nothing is cached between regions, entries or files. A clean PE file costs its
** classification plus one 8,192-byte and one 2,048-byte read: the long second regions are read
** only after their short prefixes matched.
*/
#include "engine/signature.h"

#include "engine/crc32.h"
#include "engine/fileio.h"

#include <string.h>

const char DetectionName[] = "Win32.Worm.Tamsel.A";

const Signature SignatureTable[2] = {
    {Pe | PeDll, FileStart, {0, 0x2000, 0x89968FC8u}, {0, 0x20000, 0xA7889753u}, DetectionName},
    {Pe | PeDll, SectionData | (0u << 16), {0, 0x800, 0xA32F78FBu}, {0, 0x30000, 0xAB0D7A9Fu},
     DetectionName},
};

/* The table's first entry that reads a PE section's data first (there is one), or null. */
static const Signature *SectionEntry(void)
{
    for (const Signature &entry : SignatureTable)
        if ((entry.regionBase & 0xFFFFu) == SectionData)
            return &entry;
    return nullptr;
}

/* Where that entry's first region begins, when a PE image's first `got` bytes name the place and
** the region does not lie wholly within them; 0 otherwise (no PE headers, the place unnamed).
** Nothing is read outside the `got` bytes, whatever the headers say. */
static uint32_t SectionRegionPast(const uint8_t *head, uint32_t got)
{
    const Signature *entry = SectionEntry();
    if (!entry || got < DosHeaderSize || head[0] != 'M' || head[1] != 'Z')
        return 0;
    uint32_t section = entry->regionBase >> 16;
    uint32_t pe = ReadLe32(head + 60);
    if (pe > got - 24 || memcmp(head + pe, "PE\0\0", 4) != 0 ||
        ReadLe16(head + pe + 6) <= section)
        return 0;
    uint64_t header = (uint64_t)pe + 24 + ReadLe16(head + pe + 20) +
                      (uint64_t)section * SectionHeaderSize;
    if (header + SectionHeaderSize > got)
        return 0;
    uint64_t start = (uint64_t)ReadLe32(head + header + 20) + entry->first.offset;
    return start <= 0xFFFFFFFFu && start + entry->first.length > got ? (uint32_t)start : 0;
}

void SignatureReadAhead(ReadAheadPlan *plan)
{
    plan->headBytes = 0;
    for (const Signature &entry : SignatureTable) {
        uint64_t end = (uint64_t)entry.first.offset + entry.first.length;
        if ((entry.regionBase & 0xFFFFu) == FileStart && end > plan->headBytes)
            plan->headBytes = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)end;
    }
    const Signature *section = SectionEntry();
    plan->regionBytes = section ? section->first.length : 0;
    plan->regionPast = SectionRegionPast;
}

int RegionCrc(ScanContext *context, uint32_t offset, uint32_t length, uint32_t *crc)
{
    if (length == 0) {
        *crc = 0;
        return 1;
    }
    uint8_t *buffer = (uint8_t *)MemAlloc(length);
    if (!buffer)
        return 0;
    /* The seek's answer is not looked at: a start of 0x80000000 or more is a negative distance,
    ** the seek is refused and the bytes come from where the last read ended. */
    FileSeek(context->file, (int32_t)offset, SeekFromStart);
    uint32_t got = FileRead(context->file, buffer, length);
    /* A region cut short by the end of the file or a failed read does not match: summing the
    ** unfilled rest of the buffer would make the answer depend on whatever the heap held. */
    int whole = got == length;
    if (whole)
        *crc = Crc32Update(0xFFFFFFFFu, buffer, length);
    MemFree(buffer);
    return whole;
}

/* The file offset the entry's regions count from, or 0 when the entry cannot apply to this
** file: an unknown base type, or a section header that does not lie wholly inside the header
** block of `blockSize` bytes (too few sections, or SizeOfOptionalHeader pushing it past the
** block). The bound is the size the block was allocated with, never the NumberOfSections
** inside the block: a file can make that copy of the field say anything. */
static int RegionBase(const Signature *entry, uint32_t kind, const uint8_t *peHeaders,
                      uint32_t blockSize, uint32_t *base)
{
    uint32_t type = entry->regionBase & 0xFFFFu;
    if (type == FileStart) {
        *base = 0;
        return 1;
    }
    if (type != SectionData || !(kind & (Pe | PeDll)) || !peHeaders)
        return 0;
    uint32_t section = entry->regionBase >> 16;
    uint32_t optionalSize = ReadLe16(peHeaders + 20);
    /* All terms below 2^22: no overflow in 32 bits. */
    uint32_t headerEnd = 24 + optionalSize + SectionHeaderSize * (section + 1);
    if (headerEnd > blockSize)
        return 0;
    *base = ReadLe32(peHeaders + headerEnd - SectionHeaderSize + 20);
    return 1;
}

int32_t MatchSignatures(ScanContext *context, const Signature *table, uint32_t count)
{
    uint8_t *dosHeader, *peHeaders;
    uint32_t blockSize;
    FileSeek(context->file, 0, SeekFromStart);
    uint32_t kind = ClassifyFile(context->file, &dosHeader, &peHeaders, &blockSize);

    int32_t result = -1;
    for (uint32_t i = 0; i < count; i++) {
        const Signature *entry = &table[i];
        uint32_t base, crc;
        if (!(entry->kindMask & kind))
            continue;
        if (!RegionBase(entry, kind, peHeaders, blockSize, &base))
            continue;
        if (!RegionCrc(context, base + entry->first.offset, entry->first.length, &crc) ||
            crc != entry->first.crc)
            continue;
        if (!RegionCrc(context, base + entry->second.offset, entry->second.length, &crc) ||
            crc != entry->second.crc)
            continue;
        context->matchedName = &entry->name;
        result = (int32_t)(i + 1);
        break;
    }

    /* Whatever the kind, nothing of the classification outlives the call; MemFree takes the
    ** null slots of kinds that hand nothing back. */
    MemFree(dosHeader);
    MemFree(peHeaders);
    return result;
}

int32_t DetectFile(ScanContext *context)
{
    return MatchSignatures(context, SignatureTable, 2) != -1 ? ScanVerdict::Infected
                                                             : ScanVerdict::Clean;
}
