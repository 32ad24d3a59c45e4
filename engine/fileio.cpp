/*
** File and memory wrappers, and executable classification.
**
** The wrappers add nothing to the platform table but a fixed choice of arguments, so tests that
** replace a table entry see exactly the calls the engine makes. ClassifyFile reads at most four
** records (64, 4, 20 bytes and the header block) and owns every block it allocates until it
** either hands it back through an out-slot or releases it.
*/
#include "engine/fileio.h"

#define PeSignature  0x00004550u   /* "PE\0\0" */
#define NeSignature  0x0000454Eu   /* "NE\0\0" */
#define LeSignature  0x0000454Cu   /* "LE\0\0" */
#define DllCharacteristic 0x2000u

FileHandle FileOpen(const char *path, uint32_t mode)
{
    return Platform.files.openFile(path, (int)(mode & 1u));
}

int FileClose(FileHandle file)
{
    return Platform.files.closeFile(file);
}

uint32_t FileRead(FileHandle file, void *buffer, uint32_t count)
{
    return Platform.files.readFile(file, buffer, count);
}

uint32_t FileSeek(FileHandle file, int32_t distance, uint32_t origin)
{
    return Platform.files.seekFile(file, distance, origin);
}

void *MemAlloc(uint32_t size)
{
    return Platform.files.memAlloc(size);
}

void MemFree(void *block)
{
    Platform.files.memFree(block);
}

/* Drops the DOS header copy and empties its slot: for kinds that hand nothing back. */
static void DropDosHeader(uint8_t **dosHeader)
{
    MemFree(*dosHeader);
    *dosHeader = 0;
}

/* The PE part of ClassifyFile: the file header after the signature at `newHeader`, then the
** block of headers from the signature to the last section header, kept in `*peHeaders`. */
static uint32_t ReadPeHeaders(FileHandle file, int32_t newHeader, uint8_t **dosHeader,
                              uint8_t **peHeaders, uint32_t *peHeadersSize)
{
    uint8_t *fileHeader = (uint8_t *)MemAlloc(FileHeaderSize);
    if (!fileHeader) {
        DropDosHeader(dosHeader);
        return Unclassified;
    }
    if (FileRead(file, fileHeader, FileHeaderSize) != FileHeaderSize) {
        MemFree(fileHeader);
        return Dos;
    }

    /* Sized for a 224-byte optional header whatever SizeOfOptionalHeader says; the matcher
    ** checks that the section header it wants lies inside. At most 2,621,648 bytes. */
    uint32_t blockSize = PeBlockFixed + SectionHeaderSize * (uint32_t)ReadLe16(fileHeader + 2);
    uint8_t *block = (uint8_t *)MemAlloc(blockSize);
    if (!block) {
        MemFree(fileHeader);
        return Dos;
    }
    *peHeaders = block;

    FileSeek(file, newHeader, SeekFromStart);
    if (FileRead(file, block, blockSize) != blockSize) {
        MemFree(block);
        *peHeaders = 0;
        MemFree(fileHeader);
        return Dos;
    }

    uint32_t kind = (ReadLe16(fileHeader + 18) & DllCharacteristic) ? PeDll : Pe;
    MemFree(fileHeader);
    *peHeadersSize = blockSize;
    return kind;
}

uint32_t ClassifyFile(FileHandle file, uint8_t **dosHeader, uint8_t **peHeaders,
                      uint32_t *peHeadersSize)
{
    *dosHeader = 0;
    *peHeaders = 0;
    *peHeadersSize = 0;

    uint8_t *dos = (uint8_t *)MemAlloc(DosHeaderSize);
    if (!dos)
        return Unclassified;
    *dosHeader = dos;

    FileSeek(file, 0, SeekFromStart);
    if (FileRead(file, dos, DosHeaderSize) != DosHeaderSize) {
        DropDosHeader(dosHeader);
        return NotExecutable;
    }
    if (dos[0] == 'Z' && dos[1] == 'M')
        return Dos;
    if (dos[0] != 'M' || dos[1] != 'Z') {
        DropDosHeader(dosHeader);
        return NotExecutable;
    }

    /* e_lfanew is a signed distance: with its top bit set the seek is refused and the reads
    ** below continue from where the DOS header ended. */
    int32_t newHeader = (int32_t)ReadLe32(dos + 60);
    uint8_t signature[4];
    FileSeek(file, newHeader, SeekFromStart);
    if (FileRead(file, signature, sizeof signature) != sizeof signature)
        return Dos;

    switch (ReadLe32(signature)) {
    case LeSignature:
        DropDosHeader(dosHeader);
        return Le;
    case NeSignature:
        DropDosHeader(dosHeader);
        return Ne;
    case PeSignature:
        break;
    default:
        return Dos;
    }

    return ReadPeHeaders(file, newHeader, dosHeader, peHeaders, peHeadersSize);
}
