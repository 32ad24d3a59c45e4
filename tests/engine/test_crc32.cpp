// CRC-32/JAMCRC: the catalogue values first, then every fast path against the byte-at-a-time
// reference over lengths, start offsets and contents that reach each of their branches.
#include "engine/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <thread>
#include <vector>

namespace {

const char Check[] = "123456789";

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto &b : out)
        b = (uint8_t)rng();
    return out;
}

typedef uint32_t (*Path)(uint32_t, const void *, uint32_t);

// Runs `path` over `length` bytes copied to `offset` in a buffer of exactly offset + length
// bytes, so that the sanitizer reports any read past the end; the copy also gives the path
// every alignment of its start.
uint32_t AtOffset(Path path, uint32_t crc, const uint8_t *src, size_t length, size_t offset)
{
    std::vector<uint8_t> buf(offset + length);
    if (length)
        memcpy(buf.data() + offset, src, length);
    return path(crc, buf.data() + offset, (uint32_t)length);
}

// Checks `path` against the bytewise reference for every length up to maxLength at every start
// offset 0..15, from two start values, over three contents.
void CompareAllLengths(Path path, size_t maxLength)
{
    std::vector<std::vector<uint8_t>> contents = {
        RandomBytes(maxLength, 1), std::vector<uint8_t>(maxLength, 0),
        std::vector<uint8_t>(maxLength, 0xFF)};
    const uint32_t starts[] = {0xFFFFFFFFu, 0x12345678u};
    for (const auto &content : contents)
        for (uint32_t start : starts)
            for (size_t length = 0; length <= maxLength; ++length) {
                uint32_t want = Crc32Bytewise(start, content.data(), (uint32_t)length);
                for (size_t offset = 0; offset < 16; ++offset)
                    ASSERT_EQ(want, AtOffset(path, start, content.data(), length, offset))
                        << "length " << length << " offset " << offset << " start " << std::hex
                        << start << " first byte " << (int)content[0];
            }
}

// Lengths that end just before, at and after each branch of the folding: the first 64-byte
// block, further 64-byte blocks, 16-byte blocks and the byte tail.
std::vector<size_t> EdgeLengths()
{
    std::vector<size_t> lengths;
    for (size_t base : {64u, 128u, 192u, 256u, 1024u, 8192u, 8192u + 48u, 65536u})
        for (int d = -17; d <= 17; ++d)
            lengths.push_back(base + d);
    for (size_t odd : {65537u, 131071u, 131072u, 196607u, 196608u, 196609u})
        lengths.push_back(odd);
    return lengths;
}

void CompareLargeBuffers(Path path)
{
    std::vector<uint8_t> data = RandomBytes(196608 + 64, 7);
    for (size_t length : EdgeLengths())
        for (size_t offset : {0u, 1u, 3u, 8u, 15u}) {
            uint32_t want = Crc32Bytewise(0xFFFFFFFFu, data.data(), (uint32_t)length);
            ASSERT_EQ(want, AtOffset(path, 0xFFFFFFFFu, data.data(), length, offset))
                << "length " << length << " offset " << offset;
        }
    std::mt19937 rng(11);
    for (int i = 0; i < 20; ++i) {
        size_t length = 1 + rng() % (1u << 20);
        std::vector<uint8_t> big = RandomBytes(length, 100 + i);
        uint32_t start = rng();
        ASSERT_EQ(Crc32Bytewise(start, big.data(), (uint32_t)length),
                  AtOffset(path, start, big.data(), length, rng() % 16))
            << "random buffer of " << length << " bytes";
    }
}

}  // namespace

TEST(Crc32Catalogue, CheckValue)
{
    EXPECT_EQ(0x340BC6D9u, Crc32(Check, 9));
}

TEST(Crc32Catalogue, WorkedValues)
{
    EXPECT_EQ(0xCADBBE3Du, Crc32("abc", 3));
    // Long inputs, so that the dispatched fast path is the one answering. Expected values from
    // an independent implementation (zlib's crc32, complemented).
    std::vector<uint8_t> ramp(1000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = (uint8_t)(i * 31 + 7);
    EXPECT_EQ(0x76FDE9E1u, Crc32(ramp.data(), 1000));
    std::vector<uint8_t> cycle(65536);
    for (size_t i = 0; i < cycle.size(); ++i)
        cycle[i] = (uint8_t)i;
    EXPECT_EQ(0x4EE2195Eu, Crc32(cycle.data(), 65536));
    std::vector<uint8_t> zeros(1u << 20, 0);
    EXPECT_EQ(0x58C715E3u, Crc32(zeros.data(), (int32_t)zeros.size()));
}

TEST(Crc32Catalogue, NoBytesGiveTheInitialValue)
{
    EXPECT_EQ(0xFFFFFFFFu, Crc32("", 0));
    EXPECT_EQ(0xFFFFFFFFu, Crc32(nullptr, 0));
    EXPECT_EQ(0xFFFFFFFFu, Crc32Update(0xFFFFFFFFu, nullptr, 0));
    EXPECT_EQ(0x1234ABCDu, Crc32Update(0x1234ABCDu, "", 0));
}

TEST(Crc32Catalogue, NegativeLengthReadsNothing)
{
    // A negative count must not become a huge unsigned one: nullptr would fault if read.
    EXPECT_EQ(0xFFFFFFFFu, Crc32("abc", -1));
    EXPECT_EQ(0xFFFFFFFFu, Crc32(nullptr, -1));
    EXPECT_EQ(0xFFFFFFFFu, Crc32(nullptr, INT32_MIN));
}

TEST(Crc32Catalogue, ComplementOfTheCommonCrc32)
{
    EXPECT_EQ(0x352441C2u, ~Crc32("abc", 3));
    EXPECT_EQ(0xCBF43926u, ~Crc32(Check, 9));
}

TEST(Crc32Catalogue, EveryPathGivesTheCheckValue)
{
    EXPECT_EQ(0x340BC6D9u, Crc32Bytewise(0xFFFFFFFFu, Check, 9));
    EXPECT_EQ(0x340BC6D9u, Crc32Portable(0xFFFFFFFFu, Check, 9));
    EXPECT_EQ(0x340BC6D9u, Crc32Update(0xFFFFFFFFu, Check, 9));
    EXPECT_EQ(0x340BC6D9u, Crc32Clmul(0xFFFFFFFFu, Check, 9));  // short: answered portably
}

TEST(Crc32Paths, PortableMatchesBytewiseAtEveryShortLengthAndOffset)
{
    CompareAllLengths(Crc32Portable, 300);
}

TEST(Crc32Paths, PortableMatchesBytewiseOnLargeBuffers)
{
    CompareLargeBuffers(Crc32Portable);
}

TEST(Crc32Paths, ClmulMatchesBytewiseAtEveryShortLengthAndOffset)
{
    if (!Crc32HasClmul())
        GTEST_SKIP() << "this processor lacks PCLMULQDQ or SSE4.1; the folding path cannot run";
    CompareAllLengths(Crc32Clmul, 300);
}

TEST(Crc32Paths, ClmulMatchesBytewiseOnLargeBuffers)
{
    if (!Crc32HasClmul())
        GTEST_SKIP() << "this processor lacks PCLMULQDQ or SSE4.1; the folding path cannot run";
    CompareLargeBuffers(Crc32Clmul);
}

TEST(Crc32Paths, DispatchMatchesBytewise)
{
    CompareAllLengths(Crc32Update, 160);
    CompareLargeBuffers(Crc32Update);
    std::vector<uint8_t> data = RandomBytes(70000, 3);
    for (int32_t length : {1, 15, 16, 63, 64, 65, 8192, 69999})
        EXPECT_EQ(Crc32Bytewise(0xFFFFFFFFu, data.data(), (uint32_t)length),
                  Crc32(data.data(), length)) << "length " << length;
}

// The fast path needs the instructions and a system that saves their registers: NT 4.0 and
// Windows 98 (first edition) do not, and fault on the first SSE instruction.
TEST(Crc32Paths, FastPathOnlyWhereTheSystemSavesTheSseRegisters)
{
    const uint32_t both = CpuidPclmul | CpuidSse41;
    const struct {
        const char *name;
        SystemVersion system;
        int allowed;
    } systems[] = {
        {"Windows NT 4.0 SP6", {SystemNt, 4, 0, 1381}, 0},
        {"Windows 2000", {SystemNt, 5, 0, 2195}, 1},
        {"Windows XP", {SystemNt, 5, 1, 2600}, 1},
        {"Windows 10", {SystemNt, 10, 0, 19045}, 1},
        {"Windows 95", {System9x, 4, 0, 950}, 0},
        {"Windows 98", {System9x, 4, 10, 1998}, 0},
        {"Windows 98 SE", {System9x, 4, 10, 2222}, 1},
        {"Windows ME", {System9x, 4, 90, 3000}, 1},
        {"Win32s", {SystemWin32s, 3, 11, 0}, 0},
        {"POSIX", {SystemPosix, 0, 0, 0}, 1},
    };
    for (const auto &s : systems) {
        EXPECT_EQ(s.allowed, Crc32FastPathAllowed(&s.system, both)) << s.name;
        EXPECT_EQ(s.allowed, Crc32FastPathAllowed(&s.system, both | 0xFFFF0000u)) << s.name;
        // Without either instruction set nothing allows it.
        EXPECT_EQ(0, Crc32FastPathAllowed(&s.system, CpuidPclmul)) << s.name;
        EXPECT_EQ(0, Crc32FastPathAllowed(&s.system, CpuidSse41)) << s.name;
        EXPECT_EQ(0, Crc32FastPathAllowed(&s.system, 0)) << s.name;
    }
}

TEST(Crc32Update, ChainingEqualsOneShotAtEverySplit)
{
    std::vector<uint8_t> data = RandomBytes(300, 5);
    uint32_t whole = Crc32(data.data(), 300);
    for (uint32_t split = 0; split <= 300; ++split) {
        uint32_t head = split ? Crc32(data.data(), (int32_t)split) : 0xFFFFFFFFu;
        ASSERT_EQ(whole, Crc32Update(head, data.data() + split, 300 - split)) << "split " << split;
    }
}

TEST(Crc32Update, ChainingEqualsOneShotOverManyPieces)
{
    std::vector<uint8_t> data = RandomBytes(196608, 9);
    uint32_t whole = Crc32(data.data(), (int32_t)data.size());
    std::mt19937 rng(21);
    for (int round = 0; round < 10; ++round) {
        uint32_t crc = 0xFFFFFFFFu;
        size_t at = 0;
        while (at < data.size()) {
            size_t piece = std::min<size_t>(data.size() - at, rng() % 5000);
            crc = Crc32Update(crc, data.data() + at, (uint32_t)piece);
            at += piece;
        }
        ASSERT_EQ(whole, crc) << "round " << round;
    }
    // Each path continues a state the same way.
    uint32_t head = Crc32Bytewise(0xFFFFFFFFu, data.data(), 1000);
    EXPECT_EQ(whole, Crc32Portable(head, data.data() + 1000, (uint32_t)data.size() - 1000));
    if (Crc32HasClmul()) {
        EXPECT_EQ(whole, Crc32Clmul(head, data.data() + 1000, (uint32_t)data.size() - 1000));
    }
}

TEST(Crc32Update, FirstUseFromManyThreadsAgrees)
{
    // Each test runs in a fresh process, so here the path is chosen under contention.
    std::vector<uint8_t> data = RandomBytes(8192, 13);
    uint32_t want = Crc32Bytewise(0xFFFFFFFFu, data.data(), 8192);
    uint32_t got[4] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] { got[i] = Crc32(data.data(), 8192); });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(want, got[i]) << "thread " << i;
}
