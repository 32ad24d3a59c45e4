/*
** CRC-32/JAMCRC: polynomial 0x04C11DB7 (0xEDB88320 reflected), initial value 0xFFFFFFFF,
** input and output reflected, no final XOR. Check value: "123456789" gives 0x340BC6D9.
** The result is the bitwise complement of the common CRC-32 of the same bytes.
*/
#ifndef KRV_CRC32_H
#define KRV_CRC32_H

#include <stdint.h>

/* Checksum of `length` bytes at `data`; a length of 0 or less answers 0xFFFFFFFF.
** Uses carry-less multiplication when the processor has it, else the portable path. */
uint32_t Crc32(const void *data, int32_t length);

/* Continues a checksum: Crc32Update(Crc32(a), b) == Crc32(a followed by b). */
uint32_t Crc32Update(uint32_t crc, const void *data, uint32_t length);

/* The two paths, for tests and benchmarks: slicing by 16 (every x86 processor) and the
** carry-less-multiply folding (only when Crc32HasClmul() is non-zero). Both continue `crc`. */
uint32_t Crc32Portable(uint32_t crc, const void *data, uint32_t length);
uint32_t Crc32Clmul(uint32_t crc, const void *data, uint32_t length);
int Crc32HasClmul(void);

/* The byte-at-a-time table CRC, the reference and benchmark baseline. */
uint32_t Crc32Bytewise(uint32_t crc, const void *data, uint32_t length);

#endif
