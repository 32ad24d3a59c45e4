/*
** SHA-256 (FIPS 180-4), for naming and checking a quarantined file's copy by its contents.
** Streaming: Sha256Begin, any number of Sha256Add, then Sha256End.
*/
#ifndef KRV_SHA256_H
#define KRV_SHA256_H

#include <stdint.h>

struct Sha256 {
    uint32_t state[8];
    uint64_t length;          /* bytes added so far */
    uint8_t block[64];        /* the bytes of a block not yet complete */
};

#define Sha256Size 32          /* bytes of a digest */
#define Sha256HexSize 65       /* its lower-case hexadecimal form, NUL included */

/* Starts a digest. */
void Sha256Begin(Sha256 *sha);

/* Adds `length` bytes at `data` (null allowed when `length` is 0). */
void Sha256Add(Sha256 *sha, const void *data, uint32_t length);

/* Adds `length` zero bytes, as Sha256Add of that many would (a hole of a sparse file). */
void Sha256AddZeros(Sha256 *sha, uint64_t length);

/* Finishes the digest into `digest`; `sha` must be begun again before further use. */
void Sha256End(Sha256 *sha, uint8_t digest[Sha256Size]);

/* `digest` as 64 lower-case hexadecimal digits and a NUL. */
void Sha256Hex(const uint8_t digest[Sha256Size], char out[Sha256HexSize]);

#endif
