// Executable classification and the file wrappers: every kind with its out-slots, the header
// edge cases, ownership of header copies on every path, and injected allocation and read
// failures. Real files underneath; the spy only watches or breaks single calls.
#include "engine/fileio.h"
#include "tests/engine/enginespy.h"
#include "tools/samples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace enginetest;

namespace {

// An "MZ" file of `size` bytes (at least 64) with e_lfanew and optional bytes at e_lfanew.
std::vector<uint8_t> Mz(size_t size, uint32_t newHeader, const char *signature = nullptr,
                        size_t signatureLength = 4)
{
    std::vector<uint8_t> v(size, 0x11);
    v[0] = 'M';
    v[1] = 'Z';
    Put32(v, 60, newHeader);
    if (signature)
        std::memcpy(&v.at(newHeader), signature, signatureLength);
    return v;
}

// A PE image with `sections` sections and nothing else beyond the header block's bytes.
std::vector<uint8_t> PeImage(uint16_t sections, bool dll = false, bool pe32Plus = false)
{
    samples::PeShape shape;
    shape.numberOfSections = sections;
    shape.dll = dll;
    shape.pe32Plus = pe32Plus;
    shape.sectionRawSize = 0x200;
    return samples::BuildPe(shape);
}

}  // namespace

TEST(Classify, FilesShorterThanADosHeaderAreNotExecutableWithBothSlotsNull)
{
    for (size_t size : {0, 1, 2, 63}) {
        PlatformSpy spy;
        std::vector<uint8_t> full = Mz(64, 64);
        OpenedFile f(std::vector<uint8_t>(full.begin(), full.begin() + size));
        Classified c(f.handle());
        EXPECT_EQ(NotExecutable, c.kind) << size;
        EXPECT_EQ(nullptr, c.dosHeader) << size;
        EXPECT_EQ(nullptr, c.peHeaders) << size;
        EXPECT_TRUE(spy.live.empty()) << size;
    }
}

TEST(Classify, AnythingButMZOrZMIsNotExecutable)
{
    for (const char *start : {"PE", "mz", "Zm", "NE", "\0\0", "M\0", "ZZ"}) {
        PlatformSpy spy;
        std::vector<uint8_t> v = Mz(4096, 0x80, "PE\0\0");
        v[0] = (uint8_t)start[0];
        v[1] = (uint8_t)start[1];
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(NotExecutable, c.kind) << start;
        EXPECT_EQ(nullptr, c.dosHeader);
        EXPECT_EQ(nullptr, c.peHeaders);
        EXPECT_TRUE(spy.live.empty());
    }
}

TEST(Classify, ZMIsDosWhateverFollowsAndNothingBeyond64BytesIsRead)
{
    PlatformSpy spy;
    std::vector<uint8_t> v = PeImage(1);
    v[0] = 'Z';
    v[1] = 'M';
    OpenedFile f(v);
    Classified c(f.handle());
    EXPECT_EQ(Dos, c.kind);
    ASSERT_NE(nullptr, c.dosHeader);
    EXPECT_EQ(0, std::memcmp(c.dosHeader, v.data(), 64));
    EXPECT_EQ(nullptr, c.peHeaders);
    EXPECT_EQ(std::vector<uint32_t>{64}, spy.readSizes());
    EXPECT_EQ(std::vector<uint32_t>{64}, spy.allocSizes);
}

TEST(Classify, NewHeaderOffsetAtOrPastTheEndIsDos)
{
    // 64-byte files pointing at their end or beyond, and one whose signature is cut to 2 bytes.
    struct { size_t size; uint32_t newHeader; } cases[] = {
        {64, 64}, {64, 65}, {64, 0x7FFFFFFF}, {200, 198}, {200, 197}, {200, 1000000}};
    for (auto &k : cases) {
        PlatformSpy spy;
        std::vector<uint8_t> v = Mz(k.size, k.newHeader);
        if (k.newHeader < k.size)
            std::memcpy(&v[k.newHeader], "PE\0\0", k.size - k.newHeader);
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(Dos, c.kind) << k.size << " " << k.newHeader;
        ASSERT_NE(nullptr, c.dosHeader);
        EXPECT_EQ(0, std::memcmp(c.dosHeader, v.data(), 64));
        EXPECT_EQ(nullptr, c.peHeaders);
        EXPECT_EQ(1u, spy.live.size()) << "only the DOS header copy is handed back";
    }
}

TEST(Classify, NewHeaderSignatureDecidesTheKindWithAllFourBytesCounting)
{
    struct { const char *signature; uint32_t kind; } cases[] = {
        {"NE\0\0", Ne}, {"NE\x05\x0A", Dos}, {"LE\0\0", Le}, {"LX\0\0", Dos},
        {"LE\0\x01", Dos}, {"PE\0\x01", Dos}, {"pe\0\0", Dos}, {"NE\x01\0", Dos},
        {"\0\0\0\0", Dos}};
    for (auto &k : cases) {
        PlatformSpy spy;
        OpenedFile f(Mz(1024, 0x80, k.signature));
        Classified c(f.handle());
        EXPECT_EQ(k.kind, c.kind) << k.signature;
        EXPECT_EQ(k.kind == Dos, c.dosHeader != nullptr) << k.signature;
        EXPECT_EQ(nullptr, c.peHeaders);
        EXPECT_EQ(k.kind == Dos ? 1u : 0u, spy.live.size());
        EXPECT_EQ((std::vector<uint32_t>{64, 4}), spy.readSizes());
    }
}

TEST(Classify, PeAndDllHandBackBothCopiesWithTheBlockStartingAtTheSignature)
{
    for (bool dll : {false, true}) {
        PlatformSpy spy;
        std::vector<uint8_t> v = PeImage(3, dll);
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(dll ? PeDll : Pe, c.kind);
        ASSERT_NE(nullptr, c.dosHeader);
        ASSERT_NE(nullptr, c.peHeaders);
        EXPECT_EQ(0, std::memcmp(c.dosHeader, v.data(), 64));
        const uint32_t block = 248 + 40 * 3;
        EXPECT_EQ(0, std::memcmp(c.peHeaders, "PE\0\0", 4));
        EXPECT_EQ(0, std::memcmp(c.peHeaders, &v[0x80], block));
        // Blocks: the DOS copy, the 20-byte scratch (released), the header block.
        EXPECT_EQ((std::vector<uint32_t>{64, 20, block}), spy.allocSizes);
        EXPECT_EQ(2u, spy.live.size());
        EXPECT_EQ(block, spy.live[c.peHeaders]);
        EXPECT_EQ(block, c.peHeadersSize);
        // At most four reads and three seeks.
        EXPECT_EQ((std::vector<uint32_t>{64, 4, 20, block}), spy.readSizes());
        EXPECT_EQ(3u, spy.seeks.size());
    }
}

TEST(Classify, HeaderBlockIsSizedForA224ByteOptionalHeaderWhateverTheImageSays)
{
    // No sections: 248 bytes, Pe exactly when all 248 are there.
    {
        PlatformSpy spy;
        std::vector<uint8_t> v = PeImage(0);
        v.resize(0x80 + 248);
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(Pe, c.kind);
        EXPECT_EQ(248u, spy.allocSizes.back());
    }
    {
        PlatformSpy spy;
        std::vector<uint8_t> v = PeImage(0);
        v.resize(0x80 + 247);
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(Dos, c.kind);
        EXPECT_NE(nullptr, c.dosHeader);
        EXPECT_EQ(nullptr, c.peHeaders);
        EXPECT_EQ(1u, spy.live.size());
    }
    // A 64-bit image's 240-byte optional header changes nothing about the block.
    for (bool dll : {false, true}) {
        PlatformSpy spy;
        OpenedFile f(PeImage(2, dll, true));
        Classified c(f.handle());
        EXPECT_EQ(dll ? PeDll : Pe, c.kind);
        EXPECT_EQ(248u + 80u, spy.allocSizes.back());
        EXPECT_EQ(240u, ReadLe16(c.peHeaders + 20));
    }
}

TEST(Classify, HeadersCutShortGiveDosWithOnlyTheDosCopyHandedBack)
{
    std::vector<uint8_t> full = PeImage(4);
    const size_t pe = 0x80;
    // Inside the signature, inside the file header, at its end, inside the section table.
    for (size_t size : {pe + 3, pe + 4, pe + 10, pe + 23, pe + 24, pe + 248, pe + 248 + 159}) {
        PlatformSpy spy;
        OpenedFile f(std::vector<uint8_t>(full.begin(), full.begin() + size));
        Classified c(f.handle());
        EXPECT_EQ(Dos, c.kind) << size;
        EXPECT_NE(nullptr, c.dosHeader);
        EXPECT_EQ(nullptr, c.peHeaders);
        EXPECT_EQ(0u, c.peHeadersSize);
        EXPECT_EQ(1u, spy.live.size()) << "scratch and block released, size " << size;
    }
}

TEST(Classify, SixtyFiveThousandSectionsAsksForA2Point6MegabyteBlock)
{
    std::vector<uint8_t> v = PeImage(1);
    Put16(v, 0x80 + 6, 0xFFFF);
    const uint32_t block = 248 + 40 * 65535;
    ASSERT_EQ(2621648u, block);
    {
        PlatformSpy spy;
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(Dos, c.kind);
        EXPECT_EQ(block, spy.allocSizes.back());
        EXPECT_EQ(1u, spy.live.size());
    }
    v.resize(0x80 + block);   // now the whole block is there
    {
        PlatformSpy spy;
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(Pe, c.kind);
        EXPECT_EQ(block, spy.live[c.peHeaders]);
    }
}

TEST(Classify, NewHeaderOffsetWithTopBitSetReadsOnFromWhereTheLastReadEnded)
{
    // The seeks to e_lfanew are refused: the signature comes from offset 64, the file header
    // from 68 and the block from 88, right after the file header.
    std::vector<uint8_t> v(64 + 24 + 248 + 40, 0x22);
    v[0] = 'M';
    v[1] = 'Z';
    for (uint32_t newHeader : {0x80000000u, 0xFFFFFFFFu, 0xFFFFFFC0u}) {
        Put32(v, 60, newHeader);
        std::memcpy(&v[64], "PE\0\0", 4);
        Put16(v, 64 + 4 + 2, 1);           // one section
        Put16(v, 64 + 4 + 18, 0x2102);     // DLL
        PlatformSpy spy;
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(PeDll, c.kind);
        ASSERT_NE(nullptr, c.peHeaders);
        EXPECT_EQ(0, std::memcmp(c.peHeaders, &v[88], 288));
        ASSERT_EQ(3u, spy.seeks.size());
        EXPECT_EQ((int32_t)newHeader, spy.seeks[1].distance);
        EXPECT_EQ(0xFFFFFFFFu, spy.seeks[1].result);
        EXPECT_EQ(0xFFFFFFFFu, spy.seeks[2].result);
    }
    // "NE" right after the DOS header under a negative offset is Ne; anything else is Dos.
    for (const char *signature : {"NE\0\0", "MZ\0\0"}) {
        std::memcpy(&v[64], signature, 4);
        Put32(v, 60, 0x80000000u);
        OpenedFile f(v);
        Classified c(f.handle());
        EXPECT_EQ(signature[0] == 'N' ? Ne : Dos, c.kind);
    }
    // Too short for the block read from 88.
    std::memcpy(&v[64], "PE\0\0", 4);
    v.resize(88 + 287);
    OpenedFile f(v);
    Classified c(f.handle());
    EXPECT_EQ(Dos, c.kind);
}

TEST(Classify, PositionOnEntryDoesNotMatter)
{
    std::vector<uint8_t> v = PeImage(2);
    OpenedFile f(v);
    FileSeek(f.handle(), 0, SeekFromEnd);
    Classified end(f.handle());
    EXPECT_EQ(Pe, end.kind);
    FileSeek(f.handle(), 0x85, SeekFromStart);
    Classified middle(f.handle());
    EXPECT_EQ(Pe, middle.kind);
}

TEST(ClassifyOwnership, AllocationFailureAtEachBlockGivesUnclassifiedOrDos)
{
    // PE (and DLL): 1st block (DOS copy) and 2nd (file-header scratch) give Unclassified,
    // 3rd (header block) gives Dos with the DOS copy.
    for (bool dll : {false, true}) {
        std::vector<uint8_t> v = PeImage(2, dll);
        const uint32_t expected[] = {Unclassified, Unclassified, Dos};
        for (int n = 1; n <= 3; n++) {
            PlatformSpy spy;
            spy.failAllocAt = n;
            OpenedFile f(v);
            Classified c(f.handle());
            EXPECT_EQ(expected[n - 1], c.kind) << "allocation " << n;
            EXPECT_EQ(n == 3, c.dosHeader != nullptr) << "allocation " << n;
            EXPECT_EQ(nullptr, c.peHeaders);
            EXPECT_EQ(n == 3 ? 1u : 0u, spy.live.size()) << "allocation " << n;
            EXPECT_EQ(0, spy.badFrees);
        }
    }
    // Every other kind makes only the first allocation.
    for (auto signature : {"NE\0\0", "LE\0\0", "XX\0\0"}) {
        PlatformSpy spy;
        spy.failAllocAt = 1;
        OpenedFile f(Mz(1024, 0x80, signature));
        Classified c(f.handle());
        EXPECT_EQ(Unclassified, c.kind);
        EXPECT_EQ(nullptr, c.dosHeader);
        EXPECT_TRUE(spy.reads.empty()) << "nothing is read without a DOS header copy";
    }
}

TEST(ClassifyOwnership, FailedAndShortReadsAtEachStepReleaseEverythingNotHandedBack)
{
    std::vector<uint8_t> v = PeImage(2, true);
    // Reads: 64-byte DOS header, 4-byte signature, 20-byte file header, header block.
    const uint32_t expected[] = {NotExecutable, Dos, Dos, Dos};
    for (bool shortByOne : {false, true}) {
        for (int n = 1; n <= 4; n++) {
            PlatformSpy spy;
            if (shortByOne)
                spy.shortReadAt = n;
            else
                spy.failReadAt = n;
            OpenedFile f(v);
            Classified c(f.handle());
            EXPECT_EQ(expected[n - 1], c.kind) << "read " << n << (shortByOne ? " short" : " failed");
            EXPECT_EQ(n > 1, c.dosHeader != nullptr);
            EXPECT_EQ(nullptr, c.peHeaders);
            EXPECT_EQ(n > 1 ? 1u : 0u, spy.live.size());
            EXPECT_EQ((size_t)n, spy.reads.size()) << "nothing is read after the failure";
        }
    }
    // A file that vanished after it was opened reads nothing at all.
    PlatformSpy spy;
    spy.vanish = true;
    OpenedFile f(v);
    Classified c(f.handle());
    EXPECT_EQ(NotExecutable, c.kind);
    EXPECT_TRUE(spy.live.empty());
}

TEST(FileWrappers, OnlyBitZeroOfTheOpenModeCountsAndMissingFilesGiveInvalidHandle)
{
    static std::vector<int> writes;
    writes.clear();
    Platform.files.openFile = [](const char *, int write) -> FileHandle {
        writes.push_back(write);
        return InvalidFileHandle;
    };
    FileOpen("x", 0);
    FileOpen("x", 1);
    FileOpen("x", 2);
    FileOpen("x", 0xFFFFFFFFu);
    PlatformRestore();
    EXPECT_EQ((std::vector<int>{0, 1, 0, 1}), writes);

    testsupport::ScratchDir dir;
    EXPECT_EQ(InvalidFileHandle, FileOpen(dir.file("missing.exe").c_str(), 0));
    EXPECT_EQ(InvalidFileHandle, FileOpen(dir.path().c_str(), 0)) << "a folder is no file";
}

TEST(FileWrappers, RefusedSeekKeepsThePositionAndPastTheEndReadsShort)
{
    std::vector<uint8_t> v(100);
    for (size_t i = 0; i < v.size(); i++)
        v[i] = (uint8_t)i;
    OpenedFile f(v);
    uint8_t b[8];
    EXPECT_EQ(10u, FileSeek(f.handle(), 10, SeekFromStart));
    EXPECT_EQ(0xFFFFFFFFu, FileSeek(f.handle(), -11, SeekFromCurrent));
    EXPECT_EQ(0xFFFFFFFFu, FileSeek(f.handle(), INT32_MIN, SeekFromStart));
    EXPECT_EQ(4u, FileRead(f.handle(), b, 4));
    EXPECT_EQ(10, b[0]);
    EXPECT_EQ(98u, FileSeek(f.handle(), -2, SeekFromEnd));
    EXPECT_EQ(2u, FileRead(f.handle(), b, 8));
    EXPECT_EQ(200u, FileSeek(f.handle(), 200, SeekFromStart));
    EXPECT_EQ(0u, FileRead(f.handle(), b, 8));
}

TEST(FileWrappers, MemoryGoesThroughThePlatformTable)
{
    PlatformSpy spy;
    void *block = MemAlloc(12345);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(12345u, spy.live[block]);
    MemFree(block);
    MemFree(nullptr);
    EXPECT_TRUE(spy.live.empty());
    EXPECT_EQ(1, spy.frees);
    spy.failAllocAt = 2;
    EXPECT_EQ(nullptr, MemAlloc(1));
}
