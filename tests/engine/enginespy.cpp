#include "tests/engine/enginespy.h"

#include <algorithm>
#include <cstring>

namespace enginetest {

static PlatformSpy *spy;
static PlatformOps real;

static void *SpyAlloc(uint32_t size)
{
    spy->allocSizes.push_back(size);
    int n = (int)spy->allocSizes.size();
    if (n == spy->failAllocAt || (spy->failAllocSize && size == spy->failAllocSize))
        return nullptr;
    void *block = real.files.memAlloc(size);
    if (block) {
        spy->live[block] = size;
        if (spy->prefill && !spy->prefill->empty())
            std::memcpy(block, spy->prefill->data(), std::min<size_t>(size, spy->prefill->size()));
    }
    return block;
}

static void SpyFree(void *block)
{
    if (!block)
        return;
    spy->frees++;
    if (!spy->live.erase(block))
        spy->badFrees++;
    real.files.memFree(block);
}

static uint32_t SpyRead(FileHandle file, void *buffer, uint32_t count)
{
    spy->reads.push_back({count, 0});
    int n = (int)spy->reads.size();
    uint32_t got = 0;
    if (spy->vanish || n == spy->failReadAt || (spy->failReadSize && count == spy->failReadSize))
        got = 0;
    else if ((n == spy->shortReadAt || (spy->shortReadSize && count == spy->shortReadSize)) &&
             count > 0)
        got = real.files.readFile(file, buffer, count - 1);
    else
        got = real.files.readFile(file, buffer, count);
    spy->reads.back().got = got;
    return got;
}

static uint32_t SpySeek(FileHandle file, int32_t distance, uint32_t origin)
{
    uint32_t result = real.files.seekFile(file, distance, origin);
    spy->seeks.push_back({distance, origin, result});
    return result;
}

static int SpyClose(FileHandle file)
{
    spy->closes++;
    return real.files.closeFile(file);
}

PlatformSpy::PlatformSpy()
{
    PlatformRestore();
    real = Platform;
    spy = this;
    Platform.files.memAlloc = SpyAlloc;
    Platform.files.memFree = SpyFree;
    Platform.files.readFile = SpyRead;
    Platform.files.seekFile = SpySeek;
    Platform.files.closeFile = SpyClose;
}

PlatformSpy::~PlatformSpy()
{
    PlatformRestore();
    /* Blocks still live were leaked by the engine; give them back so that LeakSanitizer
    ** reports the test's own assertion rather than a second time. */
    for (auto &block : live)
        real.files.memFree(block.first);
    spy = nullptr;
}

std::vector<uint32_t> PlatformSpy::readSizes() const
{
    std::vector<uint32_t> out;
    for (auto &r : reads)
        out.push_back(r.asked);
    return out;
}

bool PlatformSpy::readOf(uint32_t count) const
{
    for (auto &r : reads)
        if (r.asked == count)
            return true;
    return false;
}

void PlatformSpy::clearLog()
{
    allocSizes.clear();
    reads.clear();
    seeks.clear();
}

OpenedFile::OpenedFile(const std::vector<uint8_t> &bytes, const char *name)
    : path_(dir_.file(name)), handle_(InvalidFileHandle)
{
    if (!testsupport::WriteBytes(path_, bytes))
        ADD_FAILURE() << "cannot write " << path_;
    handle_ = FileOpen(path_.c_str(), 0);
    if (handle_ == InvalidFileHandle)
        ADD_FAILURE() << "cannot open " << path_;
}

OpenedFile::~OpenedFile()
{
    if (handle_ != InvalidFileHandle)
        FileClose(handle_);
}

void Put16(std::vector<uint8_t> &v, size_t at, uint32_t value)
{
    v.at(at) = (uint8_t)value;
    v.at(at + 1) = (uint8_t)(value >> 8);
}

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t value)
{
    Put16(v, at, value & 0xFFFF);
    Put16(v, at + 2, value >> 16);
}

}  // namespace enginetest
