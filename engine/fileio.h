/*
** The engine's file and memory wrappers, and executable classification.
**
** The wrappers are thin: each is one call through the platform table with a fixed choice of
** arguments. ClassifyFile needs nothing else, so it reads ordinary files on any system.
*/
#ifndef KRV_FILEIO_H
#define KRV_FILEIO_H

#include "platform/platform.h"

/* One bit per kind, so that a signature names the kinds it applies to as a mask. */
enum FileKind : uint32_t {
    Unclassified = 0,        /* no memory for a header copy: matches no mask */
    NotExecutable = 1,
    Dos = 2,
    Pe = 4,
    PeDll = 8,
    Ne = 16,
    Le = 32
};

#define DosHeaderSize   64u
#define FileHeaderSize  20u
#define PeBlockFixed    248u     /* signature, file header and a 224-byte optional header */
#define SectionHeaderSize 40u

/* Opens an existing file for reading, or reading and writing when bit 0 of `mode` is set;
** others may read it meanwhile but not write or delete it. Never creates a file.
** InvalidFileHandle on any failure. */
FileHandle FileOpen(const char *path, uint32_t mode);

/* Releases the handle; non-zero on success. */
int FileClose(FileHandle file);

/* Reads up to `count` bytes at the current position and advances it; answers the number read
** (short at the end of the file, 0 on an error). */
uint32_t FileRead(FileHandle file, void *buffer, uint32_t count);

/* Moves the position by `distance` from `origin` (SeekFromStart, SeekFromCurrent, SeekFromEnd);
** answers the new position, or 0xFFFFFFFF when the result would be negative: the position then
** stays where it was. Positions past the end are allowed. */
uint32_t FileSeek(FileHandle file, int32_t distance, uint32_t origin);

/* A block of `size` bytes of undefined content, or null when memory is exhausted. */
void *MemAlloc(uint32_t size);

/* Releases a block from MemAlloc; null is ignored. */
void MemFree(void *block);

/* Sorts the open file into exactly one FileKind. Both out-slots are set to null first, and
** *peHeadersSize to 0. Pe and PeDll hand back the 64-byte DOS header copy and the header block
** of 248 + 40 x NumberOfSections bytes read at the new-header offset, with the block's size in
** *peHeadersSize: the NumberOfSections that sized it comes from the file-header copy, and the
** copy of that field inside the block may say otherwise (after a refused seek, or when the file
** changed between the two reads), so the size is the only bound for reading the block. Dos
** hands back the DOS header copy only; every other kind hands back nothing. What is handed
** back belongs to the caller (MemFree); everything else is released here on every path. The
** file position is left wherever the last read ended. */
uint32_t ClassifyFile(FileHandle file, uint8_t **dosHeader, uint8_t **peHeaders,
                      uint32_t *peHeadersSize);

/* Little-endian field readers over header copies. */
static inline uint16_t ReadLe16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static inline uint32_t ReadLe32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

#endif
