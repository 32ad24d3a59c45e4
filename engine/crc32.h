/*
** CRC-32/JAMCRC: polynomial 0x04C11DB7 (0xEDB88320 reflected), initial value 0xFFFFFFFF,
** input and output reflected, no final XOR. Check value: "123456789" gives 0x340BC6D9.
** The result is the bitwise complement of the common CRC-32 of the same bytes.
*/
#ifndef KRV_CRC32_H
#define KRV_CRC32_H

#include <stdint.h>

#include "platform/platform.h"

/* Checksum of `length` bytes at `data`; a length of 0 or less answers 0xFFFFFFFF. Uses
** carry-less multiplication when Crc32HasClmul() allows it, else the portable path. */
uint32_t Crc32(const void *data, int32_t length);

/* Continues a checksum: Crc32Update(Crc32(a), b) == Crc32(a followed by b). */
uint32_t Crc32Update(uint32_t crc, const void *data, uint32_t length);

/* The two paths, for tests and benchmarks: slicing by 16 (every x86 processor) and the
** carry-less-multiply folding (only when Crc32HasClmul() is non-zero). Both continue `crc`. */
uint32_t Crc32Portable(uint32_t crc, const void *data, uint32_t length);
uint32_t Crc32Clmul(uint32_t crc, const void *data, uint32_t length);

/* CPUID leaf 1 bits (ECX) that the fast path needs. */
#define CpuidPclmul (1u << 1)
#define CpuidSse41  (1u << 19)

/* Non-zero when the fast path may run: the processor's CPUID bits `cpuidFeatures` include both
** of the above and the system saves the SSE registers (NT family 5.0 and later, 9x family
** 4.10.2222 and later, any POSIX system). */
int Crc32FastPathAllowed(const SystemVersion *system, uint32_t cpuidFeatures);

/* Crc32FastPathAllowed for this processor and the running system (Platform.restart.systemVersion;
** 0 when that cannot be read). */
int Crc32HasClmul(void);

/* The byte-at-a-time table CRC, the reference and benchmark baseline. */
uint32_t Crc32Bytewise(uint32_t crc, const void *data, uint32_t length);

#endif
