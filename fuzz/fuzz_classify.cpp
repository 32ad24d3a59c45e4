// Classification of any file: besides what the sanitizers catch, every answer must keep the
// contract of ClassifyFile (which slots are filled for which kind, and how large the header
// block is), and the whole block is read so that a size claimed larger than the block trips
// AddressSanitizer.
#include "fuzz/fuzzfile.h"

#include <stdlib.h>
#include <string.h>

static volatile uint8_t sink;   /* keeps the reads of the whole block */

static void Require(bool condition)
{
    if (!condition) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FileHandle file = OpenInput(data, size);
    uint8_t *dosHeader, *peHeaders;
    uint32_t blockSize;
    uint32_t kind = ClassifyFile(file, &dosHeader, &peHeaders, &blockSize);
    FileClose(file);

    bool mz = size >= DosHeaderSize && data[0] == 'M' && data[1] == 'Z';
    bool zm = size >= DosHeaderSize && data[0] == 'Z' && data[1] == 'M';
    switch (kind) {
    case NotExecutable:
        Require(!mz && !zm);
        Require(!dosHeader && !peHeaders && blockSize == 0);
        break;
    case Dos:
        Require(mz || zm);
        Require(dosHeader && !peHeaders && blockSize == 0);
        break;
    case Ne:
    case Le:
        Require(mz && !dosHeader && !peHeaders && blockSize == 0);
        break;
    case Pe:
    case PeDll: {
        Require(mz && dosHeader && peHeaders);
        Require(blockSize >= PeBlockFixed && (blockSize - PeBlockFixed) % SectionHeaderSize == 0);
        /* Read from the new header, unless its offset was a refused (negative) seek. */
        if (!(data[63] & 0x80)) Require(memcmp(peHeaders, "PE\0\0", 4) == 0);
        for (uint32_t i = 0; i < blockSize; i++) sink = sink + peHeaders[i];
        break;
    }
    default:
        abort();   /* Unclassified needs exhausted memory; nothing else is a kind */
    }
    if (dosHeader) Require(memcmp(dosHeader, data, DosHeaderSize) == 0);
    MemFree(dosHeader);
    MemFree(peHeaders);
    return 0;
}
