// fuzzseeds FOLDER: the fuzz targets' seeds: every sample of the sample maker, and the header
// corner cases that classification and matching treat apart (short files, "ZM", new headers
// past the end or with the top bit set, NE/LE/LX, PE headers cut short, no sections, 65,535
// sections, a 64-bit optional header, and the 336-byte file whose block disagrees with its
// file header).
#include "tools/samples.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

void Put(std::vector<uint8_t> &v, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) v[at + i] = (uint8_t)(value >> (8 * i));
}

// An "MZ" file of `size` bytes whose new header at `newHeader` starts with `signature`.
std::vector<uint8_t> Mz(size_t size, uint32_t newHeader, const char *signature)
{
    std::vector<uint8_t> v(size, 0);
    v[0] = 'M';
    v[1] = 'Z';
    Put(v, 60, newHeader, 4);
    size_t at = newHeader < size ? newHeader : 64;
    if (signature && at + 4 <= size) std::memcpy(&v[at], signature, 4);
    return v;
}

std::vector<uint8_t> Pe(uint16_t sections, bool pe32Plus, size_t cut)
{
    samples::PeShape shape;
    shape.numberOfSections = sections;
    shape.pe32Plus = pe32Plus;
    shape.sectionRawSize = 0x200;
    std::vector<uint8_t> v = samples::BuildPe(shape);
    if (cut && cut < v.size()) v.resize(cut);
    return v;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzzseeds FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    std::filesystem::create_directories(folder);
    int written = samples::WriteAllSamples(folder, '/');

    std::vector<uint8_t> crafted = Mz(336, 0x80000000u, "PE\0\0");
    Put(crafted, 94, 0xFFFF, 2);
    Put(crafted, 108, 0xFFFF, 2);
    std::vector<uint8_t> short63 = Mz(64, 64, nullptr);
    short63.pop_back();
    std::vector<uint8_t> zm(64, 0x5A);
    zm[1] = 'M';
    std::vector<uint8_t> manySections = Pe(1, false, 0);
    Put(manySections, 0x80 + 6, 0xFFFF, 2);
    std::vector<uint8_t> longOptional = Pe(2, false, 0);
    Put(longOptional, 0x80 + 20, 0xFFFF, 2);

    const std::pair<const char *, std::vector<uint8_t>> corners[] = {
        {"mz-63-bytes", short63},
        {"zm", zm},
        {"mz-new-header-past-end", Mz(64, 0x7FFFFFFF, nullptr)},
        {"ne", Mz(256, 0x80, "NE\0\0")},
        {"ne-linker-version", Mz(256, 0x80, "NE\x05\x0A")},
        {"le", Mz(256, 0x80, "LE\0\0")},
        {"lx", Mz(256, 0x80, "LX\0\0")},
        {"pe-top-bit-new-header", Mz(64 + 24 + 248 + 40, 0xFFFFFFC0u, "PE\0\0")},
        {"pe-top-bit-block-disagrees", crafted},
        {"pe-cut-in-file-header", Pe(2, false, 0x80 + 10)},
        {"pe-cut-in-section-table", Pe(4, false, 0x80 + 248 + 100)},
        {"pe-no-sections", Pe(0, false, 0x80 + 248)},
        {"pe32plus-one-section", Pe(1, true, 0)},
        {"pe-65535-sections", manySections},
        {"pe-optional-header-65535", longOptional},
    };
    for (const auto &corner : corners)
        written += samples::WriteFileBytes(folder + "/" + corner.first, corner.second);
    std::printf("%d seeds in %s\n", written, folder.c_str());
    return written == samples::SampleCount + (int)(sizeof corners / sizeof corners[0]) ? 0 : 1;
}
