// The sample maker checked against the engine's own CRC-32: forging hits any 4-byte window of
// a region and nothing else, and the images are well-formed enough for every reader.
#include "engine/crc32.h"
#include "engine/fileio.h"
#include "tools/samples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

TEST(ForgeCrc, AnyWindowInsideTheRegionForcesTheChecksumAndChangesOnlyItsFourBytes)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> original(5000);
    for (auto &b : original)
        b = (uint8_t)rng();
    EXPECT_EQ(samples::Jamcrc(original.data(), original.size()),
              Crc32(original.data(), (int32_t)original.size()));
    const size_t start = 100, length = 4000;
    for (size_t patch : {start, start + 1, start + 2001, start + length - 5, start + length - 4}) {
        for (uint32_t wanted : {0u, 0xFFFFFFFFu, 0x89968FC8u, (uint32_t)rng()}) {
            std::vector<uint8_t> v = original;
            ASSERT_TRUE(samples::ForgeCrc(v, start, length, patch, wanted));
            EXPECT_EQ(wanted, Crc32(&v[start], (int32_t)length)) << patch;
            for (size_t i = 0; i < v.size(); i++) {
                if (i < patch || i >= patch + 4) {
                    ASSERT_EQ(original[i], v[i]) << "byte " << i << " window " << patch;
                }
            }
        }
    }
}

TEST(ForgeCrc, RefusesWindowsOutsideTheRegionAndRegionsOutsideTheBytes)
{
    std::vector<uint8_t> v(100, 0x5A);
    const std::vector<uint8_t> original = v;
    EXPECT_FALSE(samples::ForgeCrc(v, 10, 20, 9, 0));       // starts before the region
    EXPECT_FALSE(samples::ForgeCrc(v, 10, 20, 27, 0));      // ends after it
    EXPECT_FALSE(samples::ForgeCrc(v, 90, 20, 95, 0));      // region past the bytes
    EXPECT_FALSE(samples::ForgeCrc(v, 10, 3, 10, 0));       // no room for a window
    EXPECT_EQ(original, v);
    EXPECT_TRUE(samples::ForgeCrc(v, 96, 4, 96, 0x12345678));
    EXPECT_EQ(0x12345678u, Crc32(&v[96], 4));
}

TEST(BuildPe, HeadersSitWhereTheLayoutSaysAndTheFileEndsWithItsLastSection)
{
    samples::PeShape s;
    s.numberOfSections = 3;
    s.firstRawData = 0x600;
    s.sectionRawSize = 0x800;
    s.dll = true;
    std::vector<uint8_t> v = samples::BuildPe(s);
    ASSERT_EQ(0x600u + 3 * 0x800, v.size());
    EXPECT_EQ(0, std::memcmp(v.data(), "MZ", 2));
    EXPECT_EQ(0x80u, ReadLe32(&v[60]));
    EXPECT_EQ(0, std::memcmp(&v[0x80], "PE\0\0", 4));
    EXPECT_EQ(3u, ReadLe16(&v[0x80 + 6]));
    EXPECT_EQ(224u, ReadLe16(&v[0x80 + 20]));
    EXPECT_TRUE(ReadLe16(&v[0x80 + 22]) & 0x2000);
    EXPECT_EQ(0x10Bu, ReadLe16(&v[0x80 + 24]));
    for (uint32_t k = 0; k < 3; k++) {
        uint32_t h = samples::SectionHeaderOffset(s, k);
        EXPECT_EQ(0x80u + 248 + 40 * k, h);
        EXPECT_EQ(0x800u, ReadLe32(&v[h + 16]));
        EXPECT_EQ(0x600u + 0x800 * k, ReadLe32(&v[h + 20]));
    }
    s.pe32Plus = true;
    s.fileSize = 0x700;
    v = samples::BuildPe(s);
    EXPECT_EQ(0x700u, v.size());
    EXPECT_EQ(240u, ReadLe16(&v[0x80 + 20]));
    EXPECT_EQ(0x20Bu, ReadLe16(&v[0x80 + 24]));
    EXPECT_EQ(0x600u, ReadLe32(&v[samples::SectionHeaderOffset(s, 0) + 20]));
}

TEST(Samples, InfectedSamplesCarryTheTableChecksumsAndAreDeterministic)
{
    for (int i = 0; i < samples::SampleCount; i++) {
        const samples::SampleInfo &info = samples::Sample((samples::SampleId)i);
        std::vector<uint8_t> v = samples::MakeSample(info.id);
        EXPECT_EQ(v, samples::MakeSample(info.id)) << info.fileName;
        ASSERT_FALSE(v.empty()) << info.fileName;
        if (info.entry == 1) {
            EXPECT_EQ(samples::Entry1FirstCrc, (uint32_t)Crc32(v.data(), 0x2000));
            EXPECT_EQ(samples::Entry1SecondCrc, (uint32_t)Crc32(v.data(), 0x20000));
        } else if (info.entry == 2) {
            uint32_t raw = ReadLe32(&v[ReadLe32(&v[60]) + 24 + ReadLe16(&v[ReadLe32(&v[60]) + 20]) + 20]);
            EXPECT_EQ(samples::Entry2FirstCrc, (uint32_t)Crc32(&v[raw], 0x800));
            EXPECT_EQ(samples::Entry2SecondCrc, (uint32_t)Crc32(&v[raw], 0x30000));
        }
    }
}
