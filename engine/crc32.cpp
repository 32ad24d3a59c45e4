/*
** CRC-32/JAMCRC
**
**   width 32, polynomial 0x04C11DB7 (0xEDB88320 bit-reflected), initial value 0xFFFFFFFF,
**   input reflected, output reflected, final XOR 0x00000000.
**   check: "123456789" -> 0x340BC6D9 ("abc" -> 0xCADBBE3D, no bytes -> 0xFFFFFFFF)
**
** Because nothing is XORed at the end, the result is the register itself: the bitwise complement
** of the common CRC-32 of the same bytes, and a value that can be fed straight back in to go on.
**
** Three ways to the same value:
**   Crc32Bytewise  one table look-up per byte; the reference every other path is checked against.
**   Crc32Portable  slicing by 16: sixteen tables, sixteen independent look-ups per 16 bytes.
**   Crc32Clmul     folding with carry-less multiplication (PCLMULQDQ), four 128-bit lanes,
**                  then a Barrett reduction to 32 bits; several times the portable speed.
**                  On x86-64 POSIX builds, where the processor has VPCLMULQDQ and AVX-512 and
**                  the system saves their registers, sixteen lanes in four 512-bit registers
**                  for 256 bytes and more: faster again (doc/performance.md, the checksum).
** Crc32 and Crc32Update pick the fastest path that the processor has and the system allows,
** once.
*/
#include "engine/crc32.h"

#include <atomic>

#if defined(__i386__) || defined(__x86_64__)
#define KRV_CRC_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define KRV_CRC_X86 0
#endif

/* The 512-bit fold: 64-bit code only. The Windows programs are 32-bit, and their instruction
** check allows nothing beyond PCLMULQDQ and SSE4.1. */
#if KRV_CRC_X86 && defined(__x86_64__)
#define KRV_CRC_WIDE 1
#else
#define KRV_CRC_WIDE 0
#endif

namespace {

/* Tables[k][b]: the register change for byte b followed by k zero bytes. Tables[0] is the
** classic byte table; the other fifteen let slicing consume 16 bytes per step. */
struct CrcTables {
    uint32_t t[16][256];
};

constexpr CrcTables MakeTables()
{
    CrcTables tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t value = b;
        for (int bit = 0; bit < 8; ++bit)
            value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1u)));
        tables.t[0][b] = value;
    }
    for (int k = 1; k < 16; ++k)
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t prev = tables.t[k - 1][b];
            tables.t[k][b] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
        }
    return tables;
}

constexpr CrcTables Tables = MakeTables();

static_assert(Tables.t[0][1] == 0x77073096u, "byte table of the reflected polynomial");
static_assert(Tables.t[0][255] == 0x2D02EF8Du, "byte table of the reflected polynomial");

/* Little-endian load from any alignment; compilers turn it into one move on x86. */
inline uint32_t Load32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline uint32_t Bytes(uint32_t crc, const uint8_t *p, uint32_t length)
{
    while (length--)
        crc = (crc >> 8) ^ Tables.t[0][(crc ^ *p++) & 0xFFu];
    return crc;
}

typedef uint32_t (*CrcPath)(uint32_t, const void *, uint32_t);

/* What `ask` answers, asked the first time only: CPUID is slow (under a hypervisor it traps).
** `answer` is -1 until then, kept at file scope rather than in a function-local static, whose
** thread-safe guard would drag a thread library into the Windows programs. Two threads asking
** at once both store the same answer, and callers from other files' static initialisers find
** it the same way. */
int AskedOnce(std::atomic<int> &answer, int (*ask)(void))
{
    int has = answer.load(std::memory_order_relaxed);
    if (has < 0) {
        has = ask();
        answer.store(has, std::memory_order_relaxed);
    }
    return has;
}

}  // namespace

uint32_t Crc32Bytewise(uint32_t crc, const void *data, uint32_t length)
{
    return Bytes(crc, (const uint8_t *)data, length);
}

uint32_t Crc32Portable(uint32_t crc, const void *data, uint32_t length)
{
    const uint8_t *p = (const uint8_t *)data;
    const uint32_t(*t)[256] = Tables.t;
    while (length >= 16) {
        uint32_t a = Load32(p) ^ crc;
        uint32_t b = Load32(p + 4);
        uint32_t c = Load32(p + 8);
        uint32_t d = Load32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        length -= 16;
    }
    return Bytes(crc, p, length);
}

#if KRV_CRC_X86

static_assert(CpuidPclmul == bit_PCLMUL && CpuidSse41 == bit_SSE4_1, "CPUID leaf 1, ECX");

/* Leaf 1's feature bits in ECX; 0 where the processor has no CPUID (a 486 without it). */
static uint32_t CpuidFeatures(void)
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return 0;
    return ecx;
}

/* The 32-bit Windows ABI promises only a 4-byte aligned stack; realign on entry so that spilled
** 128-bit registers never fault, whoever calls. */
#if defined(__i386__)
#define KRV_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define KRV_ALIGN_STACK
#endif

/* Folding after Gopal et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ"
** (Intel, 2009), in the bit-reflected domain. The constants are x^n mod P for the fold
** distances (shifted left one place, as reflection asks):
**   k1 = x^(4*128+32), k2 = x^(4*128-32)  fold four lanes 512 bits ahead
**   k3 = x^(128+32),   k4 = x^(128-32)    fold one lane 128 bits ahead
**   k5 = x^64                              128 to 64 bits
**   P' = 0x1DB710641 and mu = floor(x^64 / P) for the Barrett step. */
/* The only code of the programs beyond the 486's instructions, in a section of its own so that
** the programs' instruction check can tell it from the rest. */
#define KRV_CLMUL __attribute__((target("pclmul,sse4.1"), section(".text$clmul")))

/* One 128-bit lane `x` folded 128 bits ahead onto the next 16 bytes `next`. */
KRV_CLMUL __attribute__((always_inline)) static inline __m128i FoldOnto(__m128i x, __m128i next)
{
    const __m128i k3k4 = _mm_set_epi32(0x00000000, (int)0xCCAA009Eu, 0x00000001, 0x751997D0);
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x11),
                                       _mm_clmulepi64_si128(x, k3k4, 0x00)),
                         next);
}

/* The last of the folding: `blocks16` more 16-byte blocks at `p` folded into the lane `x1`,
** then its 128 bits reduced to the 32-bit register. */
KRV_CLMUL __attribute__((always_inline)) static inline uint32_t FoldTail(__m128i x1,
                                                                        const uint8_t *p,
                                                                        uint32_t blocks16)
{
    const __m128i k3k4 = _mm_set_epi32(0x00000000, (int)0xCCAA009Eu, 0x00000001, 0x751997D0);
    const __m128i k5 = _mm_set_epi32(0, 0, 0x00000001, 0x63CD6124);
    const __m128i poly = _mm_set_epi32(0x00000001, (int)0xF7011641u, 0x00000001, (int)0xDB710641u);
    const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);
    for (uint32_t i = 0; i < blocks16; ++i, p += 16)
        x1 = FoldOnto(x1, _mm_loadu_si128((const __m128i *)p));

    /* 128 bits to 64: the low half times k4 added to the high half, then the low 32 bits of
    ** that times k5 added to the upper 64. */
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));

    /* Barrett: q = (low 32 bits * mu) low 32 bits; remainder = x + q * P'. */
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
    x = _mm_xor_si128(x, q);
    return (uint32_t)_mm_extract_epi32(x, 1);
}

KRV_CLMUL KRV_ALIGN_STACK
static uint32_t FoldClmul(uint32_t crc, const uint8_t *p, uint32_t blocks64, uint32_t blocks16)
{
    const __m128i k1k2 = _mm_set_epi32(0x00000001, (int)0xC6E41596u, 0x00000001, 0x54442BD4);

    __m128i x1 = _mm_loadu_si128((const __m128i *)(p + 0x00));
    __m128i x2 = _mm_loadu_si128((const __m128i *)(p + 0x10));
    __m128i x3 = _mm_loadu_si128((const __m128i *)(p + 0x20));
    __m128i x4 = _mm_loadu_si128((const __m128i *)(p + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)crc));
    p += 64;

    for (uint32_t i = 1; i < blocks64; ++i) {
        __m128i y1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i y2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i y3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i y4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, y1), _mm_loadu_si128((const __m128i *)(p + 0x00)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, y2), _mm_loadu_si128((const __m128i *)(p + 0x10)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, y3), _mm_loadu_si128((const __m128i *)(p + 0x20)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, y4), _mm_loadu_si128((const __m128i *)(p + 0x30)));
        p += 64;
    }

    /* Four lanes into one, then the rest. */
    return FoldTail(FoldOnto(FoldOnto(FoldOnto(x1, x2), x3), x4), p, blocks16);
}

#if KRV_CRC_WIDE
/* The same folding with VPCLMULQDQ on sixteen lanes in four 512-bit registers, 256 bytes a
** step: k = x^(16*128+32), x^(16*128-32) fold a lane 2048 bits ahead; the registers then fold
** into one 512 bits ahead (k1, k2), and its four lanes into one 128 bits ahead (k3, k4). */
#define KRV_WIDE __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))

/* Four lanes `z` folded onto the next 64 bytes `next` by the constants `k` (x^(d+32), x^(d-32)
** in every lane for a distance d). */
KRV_WIDE __attribute__((always_inline)) static inline __m512i FoldWideOnto(__m512i z, __m512i k,
                                                                           __m512i next)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z, k, 0x00),
                                     _mm512_clmulepi64_epi128(z, k, 0x11), next, 0x96);
}

KRV_WIDE static uint32_t FoldWide(uint32_t crc, const uint8_t *p, uint32_t blocks256,
                                  uint32_t blocks16)
{
    const __m512i k16 = _mm512_set4_epi32(0x00000001, 0x322D1430, 0x00000001, 0x1542778A);
    const __m512i k4 = _mm512_set4_epi32(0x00000001, (int)0xC6E41596u, 0x00000001, 0x54442BD4);
    __m512i z0 = _mm512_loadu_si512(p + 0x00), z1 = _mm512_loadu_si512(p + 0x40);
    __m512i z2 = _mm512_loadu_si512(p + 0x80), z3 = _mm512_loadu_si512(p + 0xC0);
    z0 = _mm512_xor_si512(z0, _mm512_inserti32x4(_mm512_setzero_si512(),
                                                 _mm_cvtsi32_si128((int)crc), 0));
    p += 256;
    for (uint32_t i = 1; i < blocks256; ++i, p += 256) {
        z0 = FoldWideOnto(z0, k16, _mm512_loadu_si512(p + 0x00));
        z1 = FoldWideOnto(z1, k16, _mm512_loadu_si512(p + 0x40));
        z2 = FoldWideOnto(z2, k16, _mm512_loadu_si512(p + 0x80));
        z3 = FoldWideOnto(z3, k16, _mm512_loadu_si512(p + 0xC0));
    }
    z0 = FoldWideOnto(FoldWideOnto(FoldWideOnto(z0, k4, z1), k4, z2), k4, z3);
    /* The zero-masking form of the extract: the plain one starts from an undefined register,
    ** which the compiler takes for an uninitialised read. */
    __m128i x1 = FoldOnto(FoldOnto(FoldOnto(_mm512_maskz_extracti32x4_epi32(0xF, z0, 0),
                                            _mm512_maskz_extracti32x4_epi32(0xF, z0, 1)),
                                   _mm512_maskz_extracti32x4_epi32(0xF, z0, 2)),
                          _mm512_maskz_extracti32x4_epi32(0xF, z0, 3));
    return FoldTail(x1, p, blocks16);
}

/* Leaf 7's AVX-512 foundation and vector-length bits and VPCLMULQDQ, and a system that saves
** the SSE, AVX and AVX-512 registers (XCR0 bits 1, 2, 5, 6, 7), which a hypervisor may not. */
static int WideFoldAllowed(void)
{
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE))
        return 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || !(ebx & bit_AVX512F) ||
        !(ebx & bit_AVX512VL) || !(ecx & bit_VPCLMULQDQ))
        return 0;
    unsigned int low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 0xE6u) == 0xE6u;
}

static std::atomic<int> wideAnswer{-1};

static int HasWideOnce(void)
{
    return AskedOnce(wideAnswer, WideFoldAllowed);
}
#endif

static int HasClmulOnce(void);

uint32_t Crc32Clmul(uint32_t crc, const void *data, uint32_t length)
{
    const uint8_t *p = (const uint8_t *)data;
    /* Folding needs one full 64-byte block to start from; shorter runs gain nothing anyway.
    ** A processor or system without the instructions gets the portable path, not a fault. */
    if (length < 64 || !HasClmulOnce())
        return Crc32Portable(crc, p, length);
#if KRV_CRC_WIDE
    if (length >= 256 && HasWideOnce()) {
        uint32_t done = length & ~15u;
        crc = FoldWide(crc, p, length / 256, (length % 256) / 16);
        return Bytes(crc, p + done, length - done);
    }
#endif
    uint32_t blocks64 = length / 64;
    uint32_t blocks16 = (length % 64) / 16;
    crc = FoldClmul(crc, p, blocks64, blocks16);
    uint32_t done = blocks64 * 64 + blocks16 * 16;
    return Bytes(crc, p + done, length - done);
}

#else  /* not x86: no carry-less multiply; the portable path answers for it */

static uint32_t CpuidFeatures(void) { return 0; }

uint32_t Crc32Clmul(uint32_t crc, const void *data, uint32_t length)
{
    return Crc32Portable(crc, data, length);
}

#endif

/*
** A processor with the instructions is not enough: a system that does not save the SSE
** registers on a task switch (FXSAVE) leaves them disabled, and the first one faults as an
** illegal instruction. Windows 2000 is the first of the NT family that saves them, 98 SE
** (4.10.2222) the first of the 9x family; a POSIX system of today always does.
*/
int Crc32FastPathAllowed(const SystemVersion *system, uint32_t cpuidFeatures)
{
    if ((cpuidFeatures & CpuidPclmul) == 0 || (cpuidFeatures & CpuidSse41) == 0)
        return 0;
    switch (system->family) {
    case SystemPosix:
        return 1;
    case SystemNt:
        return system->major >= 5;
    case System9x:
        if (system->major != 4)
            return system->major > 4;
        return system->minor > 10 || (system->minor == 10 && system->build >= 2222);
    default:
        return 0;
    }
}

int Crc32HasClmul(void)
{
    SystemVersion system;
    return Platform.restart.systemVersion(&system) && Crc32FastPathAllowed(&system, CpuidFeatures());
}

static std::atomic<int> clmulAnswer{-1};

static int HasClmulOnce(void)
{
    return AskedOnce(clmulAnswer, Crc32HasClmul);
}

static CrcPath ChosenPath(void)
{
    return HasClmulOnce() ? Crc32Clmul : Crc32Portable;
}

uint32_t Crc32Update(uint32_t crc, const void *data, uint32_t length)
{
    return ChosenPath()(crc, data, length);
}

uint32_t Crc32(const void *data, int32_t length)
{
    if (length <= 0)
        return 0xFFFFFFFFu;
    return ChosenPath()(0xFFFFFFFFu, data, (uint32_t)length);
}
