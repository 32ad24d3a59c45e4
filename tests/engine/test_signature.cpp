// Signature matching: the built-in table, every ready-made sample, what is read and when,
// section-relative regions and their bounds, the negative-seek quirk, regions the file cannot
// fill, and that no header copy or region buffer outlives a call.
#include "engine/crc32.h"
#include "engine/signature.h"
#include "tests/engine/enginespy.h"
#include "tools/samples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace enginetest;

namespace {

struct Match {
    int32_t result;
    const char *const *matchedName;
};

// MatchSignatures over `table` for an open file, starting from a sentinel matchedName.
const char *const Sentinel = "untouched";

Match MatchOn(FileHandle file, const Signature *table, uint32_t count)
{
    ScanContext context = {"ignored", &Sentinel, file};
    int32_t result = MatchSignatures(&context, table, count);
    return {result, context.matchedName};
}

uint32_t Jam(const std::vector<uint8_t> &v, size_t from, size_t length)
{
    return samples::Jamcrc(v.data() + from, length);
}

samples::PeShape Shape(uint16_t sections, uint32_t rawData, uint32_t rawSize)
{
    samples::PeShape s;
    s.numberOfSections = sections;
    s.firstRawData = rawData;
    s.sectionRawSize = rawSize;
    return s;
}

}  // namespace

// Every ready-made sample: its kind, the entry that matches, the verdict, the name, and that
// nothing stays allocated.
class EverySample : public testing::TestWithParam<int> {};

TEST_P(EverySample, ClassifiesAndMatchesAsDescribed)
{
    const samples::SampleInfo &info = samples::Sample((samples::SampleId)GetParam());
    std::vector<uint8_t> bytes = samples::MakeSample(info.id);
    PlatformSpy spy;
    OpenedFile f(bytes, info.fileName);
    {
        Classified c(f.handle());
        EXPECT_EQ(info.kind, c.kind);
    }
    Match m = MatchOn(f.handle(), SignatureTable, 2);
    EXPECT_EQ(info.entry, m.result);
    if (info.entry > 0)
        EXPECT_EQ(&SignatureTable[info.entry - 1].name, m.matchedName);
    else
        EXPECT_EQ(&Sentinel, m.matchedName) << "matchedName is left alone without a match";

    ScanContext context = {"ignored", &Sentinel, f.handle()};
    int closesBefore = spy.closes;
    EXPECT_EQ(info.entry > 0 ? ScanVerdict::Infected : ScanVerdict::Clean, DetectFile(&context));
    if (info.entry > 0) {
        EXPECT_STREQ("Win32.Worm.Tamsel.A", *context.matchedName);
    }
    EXPECT_EQ(closesBefore, spy.closes) << "the detector does not close the file";
    EXPECT_TRUE(spy.live.empty());
    EXPECT_EQ(0, spy.badFrees);
}

INSTANTIATE_TEST_SUITE_P(Samples, EverySample, testing::Range(0, (int)samples::SampleCount),
                         [](const testing::TestParamInfo<int> &p) {
                             std::string name = samples::Sample((samples::SampleId)p.param).fileName;
                             for (char &c : name)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return name;
                         });

TEST(MatchCost, OtherKindsAreCleanWithoutAnyRegionRead)
{
    for (auto id : {samples::DosWithEntry1Bytes, samples::NeWithEntry1Bytes,
                    samples::LeWithEntry1Bytes, samples::CutPeWithEntry1Bytes,
                    samples::CleanText}) {
        std::vector<uint8_t> bytes = samples::MakeSample(id);
        // The bytes do carry entry 1's checksums: only the kind keeps them clean.
        if (id != samples::CleanText) {
            ASSERT_EQ(samples::Entry1FirstCrc, (uint32_t)Crc32(bytes.data(), 0x2000));
            ASSERT_EQ(samples::Entry1SecondCrc, (uint32_t)Crc32(bytes.data(), 0x20000));
        }
        PlatformSpy spy;
        OpenedFile f(bytes);
        EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable, 2).result);
        for (uint32_t size : spy.readSizes())
            EXPECT_TRUE(size <= 64 || size == 4 || size == 20 || size > 0x30000) << size;
        EXPECT_FALSE(spy.readOf(0x2000));
        EXPECT_FALSE(spy.readOf(0x800));
        EXPECT_TRUE(spy.live.empty());
    }
}

TEST(MatchCost, ACleanPeCostsOne8KAndOne2KReadBeyondItsClassification)
{
    PlatformSpy spy;
    OpenedFile f(samples::MakeSample(samples::CleanPe));
    EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable, 2).result);
    std::vector<uint32_t> sizes = spy.readSizes();
    ASSERT_EQ(6u, sizes.size());
    EXPECT_EQ(0x2000u, sizes[4]);
    EXPECT_EQ(0x800u, sizes[5]);
    // Each region buffer is allocated for that region alone and released at once.
    EXPECT_EQ((std::vector<uint32_t>{64, 20, 248 + 40, 0x2000, 0x800}), spy.allocSizes);
}

TEST(MatchOrder, SecondEntryIsTriedAfterTheFirstFailsLate)
{
    // Entry 1's first region right and its second wrong, entry 2 right.
    samples::PeShape s = Shape(4, 0x400, 0x10000);
    std::vector<uint8_t> v = samples::BuildPe(s);
    ASSERT_TRUE(samples::ForgeEntry2(v, 0x400, 0x100, 0x8000));
    ASSERT_TRUE(samples::ForgeCrc(v, 0, 0x2000, 0x7C, samples::Entry1FirstCrc));
    ASSERT_NE(samples::Entry1SecondCrc, Jam(v, 0, 0x20000));
    PlatformSpy spy;
    OpenedFile f(v);
    Match m = MatchOn(f.handle(), SignatureTable, 2);
    EXPECT_EQ(2, m.result);
    EXPECT_EQ(&SignatureTable[1].name, m.matchedName);
    EXPECT_EQ((std::vector<uint32_t>{64, 4, 20, 248 + 160, 0x2000, 0x20000, 0x800, 0x30000}),
              spy.readSizes());
}

TEST(MatchOrder, FirstMatchingEntryInTableOrderWins)
{
    // Both entries right: section 0 starts at 128 KiB, so the two entries' regions are apart.
    samples::PeShape s = Shape(2, 0x20000, 0x18000);
    std::vector<uint8_t> v = samples::BuildPe(s);
    ASSERT_TRUE(samples::ForgeEntry1(v, 0x7C, 0x3000));
    ASSERT_TRUE(samples::ForgeEntry2(v, 0x20000, 0x10, 0x1000));
    OpenedFile f(v);
    {
        PlatformSpy spy;
        EXPECT_EQ(1, MatchOn(f.handle(), SignatureTable, 2).result);
        EXPECT_FALSE(spy.readOf(0x800)) << "later entries are not tried";
    }
    const Signature reversed[2] = {SignatureTable[1], SignatureTable[0]};
    Match m = MatchOn(f.handle(), reversed, 2);
    EXPECT_EQ(1, m.result);
    EXPECT_EQ(&reversed[0].name, m.matchedName);
    EXPECT_EQ(1, MatchOn(f.handle(), SignatureTable + 1, 1).result);
    // A count of 0 still classifies (and releases what it classified), and matches nothing.
    PlatformSpy spy;
    EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable, 0).result);
    EXPECT_EQ((std::vector<uint32_t>{64, 4, 20, 248 + 80}), spy.readSizes());
    EXPECT_TRUE(spy.live.empty());
}

TEST(SectionRegions, RawDataOffsetComesFromSectionZerosHeader)
{
    // PointerToRawData at block offset 268 for a 224-byte optional header; an odd value to
    // show it is used as it stands.
    samples::PeShape s = Shape(4, 0x1234, 0x10000);
    std::vector<uint8_t> v = samples::BuildPe(s);
    ASSERT_TRUE(samples::ForgeEntry2(v, 0x1234, 0x7FC, 0x2FFFC));   // last 4 bytes of each
    ASSERT_EQ(0x1234u, ReadLe32(&v[0x80 + 268]));
    PlatformSpy spy;
    OpenedFile f(v);
    EXPECT_EQ(2, MatchOn(f.handle(), SignatureTable, 2).result);
    std::vector<int32_t> regionSeeks;
    for (size_t i = 4; i < spy.seeks.size(); i++)   // after the rewind and the classification
        regionSeeks.push_back(spy.seeks[i].distance);
    EXPECT_EQ((std::vector<int32_t>{0, 0x1234, 0x1234}), regionSeeks);
}

TEST(SectionRegions, SectionHeaderMustLieWhollyInsideTheHeaderBlock)
{
    // Block = 248 + 40 x NumberOfSections; section 0 needs 24 + SizeOfOptionalHeader + 40.
    struct { uint16_t sections; uint16_t optional; bool pe32Plus; int32_t expected; } cases[] = {
        {2, 264, false, 2},     // ends exactly at the block's end
        {2, 265, false, -1},    // one byte past it
        {4, 240, true, 2},      // x64 image: fine with 2 sections or more
        {1, 240, true, -1},     // x64 image with one section: header past the block
        {1, 0xFFFF, false, -1}, // far past the block
        {3, 304, false, 2},     // a long optional header that still leaves room
    };
    for (auto &k : cases) {
        samples::PeShape s = Shape(k.sections, 0x11000, 0x30000 / k.sections + 0x10);
        s.pe32Plus = k.pe32Plus;
        s.sizeOfOptionalHeader = k.optional;
        std::vector<uint8_t> v = samples::BuildPe(s);
        ASSERT_TRUE(samples::ForgeEntry2(v, 0x11000, 0x100, 0x1000));
        PlatformSpy spy;
        OpenedFile f(v);
        EXPECT_EQ(k.expected, MatchOn(f.handle(), SignatureTable, 2).result)
            << k.sections << " sections, optional header " << k.optional;
        EXPECT_TRUE(spy.live.empty());
    }
    // No sections at all: entry 2 cannot apply, entry 1 still can.
    samples::PeShape s = Shape(0, 0x400, 0);
    s.fileSize = 0x20000;
    std::vector<uint8_t> v = samples::BuildPe(s);
    ASSERT_TRUE(samples::ForgeEntry1(v, 0x1000, 0x10000));
    OpenedFile f(v);
    EXPECT_EQ(1, MatchOn(f.handle(), SignatureTable, 2).result);
    EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable + 1, 1).result);
}

// 336 bytes: e_lfanew 0x80000000, so both seeks to the new header are refused; "PE\0\0" at 64,
// a file header of zeros (no sections: a 248-byte block, read from 88 to the end), and in the
// block NumberOfSections 0xFFFF (file offset 94) and SizeOfOptionalHeader 0xFFFF (108). Taking
// the bound from the block's own NumberOfSections put section 0's header 65 KB past the block.
TEST(SectionRegions, BlockSizeNotTheBlocksOwnSectionCountBoundsTheSectionHeader)
{
    std::vector<uint8_t> v(336, 0);
    v[0] = 'M';
    v[1] = 'Z';
    Put32(v, 60, 0x80000000u);
    std::memcpy(&v[64], "PE\0\0", 4);
    Put16(v, 94, 0xFFFF);
    Put16(v, 108, 0xFFFF);
    PlatformSpy spy;
    OpenedFile f(v);
    {
        Classified c(f.handle());
        ASSERT_EQ(Pe, c.kind);
        EXPECT_EQ(248u, c.peHeadersSize);
        EXPECT_EQ(0xFFFFu, ReadLe16(c.peHeaders + 6));
    }
    spy.clearLog();
    ScanContext context = {"ignored", &Sentinel, f.handle()};
    EXPECT_EQ(ScanVerdict::Clean, DetectFile(&context));
    EXPECT_FALSE(spy.readOf(0x800)) << "entry 2 cannot apply: its section header is not in the block";
    EXPECT_TRUE(spy.live.empty());
}

TEST(SectionRegions, LaterSectionsAndOffsetsThatWrapAround)
{
    samples::PeShape s = Shape(3, 0x400, 0x1000);
    std::vector<uint8_t> v = samples::BuildPe(s);
    const uint32_t section2 = 0x400 + 2 * 0x1000;
    Signature table[3] = {
        // Section 3 does not exist: past NumberOfSections, never read.
        {Pe | PeDll, SectionData | (3u << 16), {0, 16, 0}, {0, 0, 0}, DetectionName},
        // Section 2, 16 bytes at +8, and an empty second region whose checksum is 0.
        {Pe | PeDll, SectionData | (2u << 16), {8, 16, Jam(v, section2 + 8, 16)}, {0, 0, 0},
         DetectionName},
        // base + offset wraps: 0x400 + 0xFFFFFC00 is the start of the file.
        {Pe | PeDll, SectionData, {0xFFFFFC00u, 64, Jam(v, 0, 64)}, {0, 0, 0}, DetectionName},
    };
    OpenedFile f(v);
    EXPECT_EQ(2, MatchOn(f.handle(), table, 3).result);
    EXPECT_EQ(1, MatchOn(f.handle(), table + 2, 1).result);
    // An empty region sums to 0, not to Crc32's 0xFFFFFFFF for no bytes.
    table[1].second.crc = 0xFFFFFFFFu;
    EXPECT_EQ(3, MatchOn(f.handle(), table, 3).result);
    // Unknown base types and non-PE kinds with a section base never match.
    Signature odd[2] = {
        {Pe | PeDll, 2, {0, 64, Jam(v, 0, 64)}, {0, 0, 0}, DetectionName},
        {Dos, SectionData, {0, 64, Jam(v, 0, 64)}, {0, 0, 0}, DetectionName},
    };
    EXPECT_EQ(-1, MatchOn(f.handle(), odd, 2).result);
    OpenedFile dos(samples::MakeSample(samples::CleanDos));
    EXPECT_EQ(-1, MatchOn(dos.handle(), odd + 1, 1).result);
}

TEST(NegativeRegionStart, SeekIsRefusedAndBytesComeFromWhereTheLastReadEnded)
{
    samples::PeShape s = Shape(2, 0x400, 0x1000);
    std::vector<uint8_t> v = samples::BuildPe(s);
    const size_t blockEnd = 0x80 + 248 + 80;   // the classification's last read ends here
    Signature table[1] = {
        {Pe, FileStart, {0x80000000u, 32, Jam(v, blockEnd, 32)}, {0xFFFFFFF0u, 8, 0},
         DetectionName}};
    // The second region's seek is refused too: it continues after the first region.
    table[0].second.crc = Jam(v, blockEnd + 32, 8);
    PlatformSpy spy;
    OpenedFile f(v);
    EXPECT_EQ(1, MatchOn(f.handle(), table, 1).result);
    EXPECT_EQ(0xFFFFFFFFu, spy.seeks[spy.seeks.size() - 2].result);
    EXPECT_EQ(0xFFFFFFFFu, spy.seeks.back().result);
    // Section-relative: base 0x400 plus 0x7FFFFC00 is 0x80000000.
    Signature relative[1] = {
        {Pe, SectionData, {0x7FFFFC00u, 32, Jam(v, blockEnd, 32)}, {0, 0, 0}, DetectionName}};
    EXPECT_EQ(1, MatchOn(f.handle(), relative, 1).result);
}

TEST(ShortRegions, RegionsTheFileCannotFillNeverMatch)
{
    // The samples cut one byte short, with every region buffer pre-filled with the bytes the
    // uncut file has there: a checksum over unfilled buffer memory would match.
    struct { samples::SampleId cut, whole; } cases[] = {
        {samples::NearEntry1Short, samples::InfectedEntry1},
        {samples::NearEntry2Short, samples::InfectedEntry2}};
    for (auto &k : cases) {
        std::vector<uint8_t> whole = samples::MakeSample(k.whole);
        std::vector<uint8_t> regionImage(whole.begin() + (k.whole == samples::InfectedEntry2 ? 0x400 : 0),
                                         whole.end());
        PlatformSpy spy;
        spy.prefill = &regionImage;
        OpenedFile f(samples::MakeSample(k.cut));
        EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable, 2).result);
        EXPECT_TRUE(spy.live.empty());
    }
    // Regions far past the end of the file.
    OpenedFile f(samples::MakeSample(samples::CleanPe));
    Signature far[1] = {{Pe, FileStart, {0x7FFFFFF0u, 16, 0}, {0, 0, 0}, DetectionName}};
    far[0].first.crc = Crc32("", 0);
    EXPECT_EQ(-1, MatchOn(f.handle(), far, 1).result);
}

TEST(ShortRegions, FailedOrShortRegionReadsMakeTheEntryFailAndTheNextIsTried)
{
    for (auto id : {samples::InfectedEntry1, samples::InfectedDll}) {
        for (bool shortByOne : {false, true}) {
            PlatformSpy spy;
            (shortByOne ? spy.shortReadSize : spy.failReadSize) = 0x20000;
            OpenedFile f(samples::MakeSample(id));
            EXPECT_EQ(-1, MatchOn(f.handle(), SignatureTable, 2).result);
            EXPECT_TRUE(spy.readOf(0x800)) << "entry 2 is still tried";
            EXPECT_TRUE(spy.live.empty());
        }
    }
    // Entry 1's region unreadable does not stop entry 2.
    PlatformSpy spy;
    spy.failReadSize = 0x2000;
    OpenedFile f(samples::MakeSample(samples::InfectedEntry2));
    EXPECT_EQ(2, MatchOn(f.handle(), SignatureTable, 2).result);
    // A file that vanished after it was opened is clean.
    spy.vanish = true;
    ScanContext context = {"ignored", nullptr, f.handle()};
    EXPECT_EQ(ScanVerdict::Clean, DetectFile(&context));
    EXPECT_EQ(nullptr, context.matchedName);
}

TEST(MemoryExhaustion, EveryAllocationFailingInTurnIsCleanOrAMatchAndBalanced)
{
    // Blocks: 64, 20, the header block, then the region buffers. Failing one of the first two
    // leaves the file Unclassified, the third Dos: clean. Failing a buffer of the matching
    // entry makes that entry fail (and no other matches); failing another entry's buffer
    // changes nothing.
    for (auto id : {samples::InfectedEntry1, samples::InfectedEntry2, samples::InfectedDll}) {
        std::vector<uint8_t> bytes = samples::MakeSample(id);
        const int expected = samples::Sample(id).entry;
        size_t allocations;
        {
            PlatformSpy spy;
            OpenedFile f(bytes);
            ASSERT_EQ(expected, MatchOn(f.handle(), SignatureTable, 2).result);
            allocations = spy.allocSizes.size();
        }
        for (size_t n = 1; n <= allocations; n++) {
            PlatformSpy spy;
            spy.failAllocAt = (int)n;
            OpenedFile f(bytes);
            Match m = MatchOn(f.handle(), SignatureTable, 2);
            uint32_t failed = spy.allocSizes.at(n - 1);
            bool ownBuffer = expected == 1 ? failed == 0x2000 || failed == 0x20000
                                           : failed == 0x800 || failed == 0x30000;
            int32_t want = n <= 3 || ownBuffer ? -1 : expected;
            EXPECT_EQ(want, m.result) << samples::Sample(id).fileName << " allocation " << n;
            if (want == -1) {
                EXPECT_EQ(&Sentinel, m.matchedName);
            }
            EXPECT_TRUE(spy.live.empty()) << "allocation " << n;
            EXPECT_EQ(0, spy.badFrees);
            if (n <= 3) {
                EXPECT_FALSE(spy.readOf(0x2000)) << "no region of an unclassified or Dos file";
            }
        }
    }
    // Entry 1's buffer unavailable: entry 2 still matches.
    PlatformSpy spy;
    spy.failAllocSize = 0x2000;
    OpenedFile f(samples::MakeSample(samples::InfectedEntry2));
    EXPECT_EQ(2, MatchOn(f.handle(), SignatureTable, 2).result);
}

TEST(RegionCrc, WholeRegionsEmptyRegionsAndMissingBuffers)
{
    std::vector<uint8_t> v = samples::MakeSample(samples::CleanDll);
    OpenedFile f(v);
    ScanContext context = {"ignored", nullptr, f.handle()};
    uint32_t crc = 0;
    EXPECT_EQ(1, RegionCrc(&context, 0x123, 0x1000, &crc));
    EXPECT_EQ(Crc32(&v[0x123], 0x1000), crc);
    EXPECT_EQ(1, RegionCrc(&context, 0, (uint32_t)v.size(), &crc));
    EXPECT_EQ(Crc32(v.data(), (int32_t)v.size()), crc);

    // Length 0: 0 without touching the file (the handle is not even looked at).
    PlatformSpy spy;
    ScanContext nowhere = {"ignored", nullptr, InvalidFileHandle};
    crc = 0x5555;
    EXPECT_EQ(1, RegionCrc(&nowhere, 0x4000, 0, &crc));
    EXPECT_EQ(0u, crc);
    EXPECT_TRUE(spy.reads.empty());
    EXPECT_TRUE(spy.seeks.empty());
    EXPECT_TRUE(spy.allocSizes.empty());

    // No buffer, or not all bytes: 0 and the out-slot untouched.
    crc = 0x5555;
    spy.failAllocAt = 1;
    EXPECT_EQ(0, RegionCrc(&context, 0, 16, &crc));
    EXPECT_EQ(0x5555u, crc);
    EXPECT_TRUE(spy.reads.empty());
    EXPECT_EQ(0, RegionCrc(&context, (uint32_t)v.size() - 15, 16, &crc));
    EXPECT_EQ(0x5555u, crc);
    EXPECT_EQ(1, RegionCrc(&context, (uint32_t)v.size() - 16, 16, &crc));
    EXPECT_EQ(Crc32(&v[v.size() - 16], 16), crc);
    EXPECT_TRUE(spy.live.empty());
}

// What read-ahead is told to fetch comes from the table: the first region read from a file's
// start, and the first region read from section 0's data, found in the headers only where they
// name it within the bytes fetched and it does not lie wholly inside them.
TEST(ReadAheadPlan, TheTableSaysWhatIsFetchedAndWhere)
{
    ReadAheadPlan plan;
    SignatureReadAhead(&plan);
    EXPECT_EQ(0x2000u, plan.headBytes);
    EXPECT_EQ(0x800u, plan.regionBytes);
    ASSERT_NE(nullptr, plan.regionPast);
    const std::vector<uint8_t> far = samples::BuildPe(Shape(2, 0x20000, 0x1000));
    const std::vector<uint8_t> near = samples::BuildPe(Shape(2, 0x400, 0x1000));
    const std::vector<uint8_t> inside = samples::BuildPe(Shape(2, 0x200, 0x400));
    std::vector<uint8_t> noSections = far, peBeyond = far, notMz = far;
    noSections[0x80 + 6] = noSections[0x80 + 7] = 0;   // NumberOfSections
    peBeyond[60] = 0xF0;                                 // e_lfanew past the bytes given
    peBeyond[61] = 0x1F;
    notMz[0] = 'X';
    const struct {
        const char *name;
        const std::vector<uint8_t> &head;
        uint32_t got;
        uint32_t past;
    } cases[] = {
        {"section data far past the head", far, 0x2000, 0x20000},
        {"section data just past the head's first page", near, 0x200 + 0x180, 0x400},
        {"section data and its region inside the head", inside, 0xA00, 0},
        {"the region begins inside and ends past the head", inside, 0x500, 0x200},
        {"no section at all", noSections, 0x2000, 0},
        {"the PE header beyond the bytes given", peBeyond, 0x1000, 0},
        {"the section header cut off", far, 0x80 + 24 + 224 + 20, 0},
        {"no MZ", notMz, 0x2000, 0},
        {"fewer bytes than a DOS header", far, 40, 0},
    };
    for (const auto &c : cases) {
        ASSERT_LE(c.got, c.head.size()) << c.name;
        // Exactly the bytes given: a read past them would be caught by AddressSanitizer.
        std::vector<uint8_t> head(c.head.begin(), c.head.begin() + c.got);
        EXPECT_EQ(c.past, plan.regionPast(head.data(), (uint32_t)head.size())) << c.name;
    }
}
