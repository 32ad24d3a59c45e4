// The floor of any scan of a tree: a walk with opendir/readdir, depth first, that opens every
// regular file in turn and reads exactly the records the engine reads (the 64-byte DOS header,
// the 4-byte signature, the 20-byte file header and the header block; for PE files also the
// 8,192 bytes at the start and the 2,048 bytes at section 0's raw data) with pread into fixed
// buffers: no checksums, no workflow, no platform table, one file at a time.
//
// Shared by the benchmarks (bench_scan, treeread), each of them one source file: everything
// here is local to the program that includes it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FloorCount {
    long files = 0;
    uint64_t bytes = 0;
};

uint32_t Le16(const uint8_t *p) { return (uint32_t)(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The records the engine reads from one open file, read with `readFrom(offset, buffer, count)`
// (which returns the bytes it got); adds the bytes read to `count`.
template <typename ReadFrom>
void ReadEngineRecords(ReadFrom readFrom, FloorCount &count)
{
    auto readAt = [&](uint32_t offset, void *buffer, uint32_t size) {
        uint32_t got = readFrom(offset, buffer, size);
        count.bytes += got;
        return got;
    };
    static uint8_t dos[64], signature[4], fileHeader[20], block[248 + 40 * 16], region[8192];
    if (readAt(0, dos, 64) != 64 || dos[0] != 'M' || dos[1] != 'Z')
        return;
    int32_t newHeader = (int32_t)Le32(dos + 60);
    uint32_t at = newHeader < 0 ? 64 : (uint32_t)newHeader;
    if (readAt(at, signature, 4) != 4 || Le32(signature) != 0x00004550u)
        return;
    if (readAt(at + 4, fileHeader, 20) != 20)
        return;
    uint32_t sections = Le16(fileHeader + 2);
    uint32_t blockSize = 248 + 40 * sections;
    if (blockSize > sizeof block)
        return;   // never in a gentree tree
    if (readAt(at, block, blockSize) != blockSize)
        return;
    readAt(0, region, 8192);
    uint32_t headerEnd = 24 + Le16(block + 20) + 40;
    if (sections == 0 || headerEnd > blockSize)
        return;
    readAt(Le32(block + headerEnd - 40 + 20), region, 2048);
}

// Opens `path` and reads its engine records; a file that cannot be opened is not counted.
void FloorFile(const char *path, FloorCount &count)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    count.files++;
    ReadEngineRecords(
        [fd](uint32_t offset, void *buffer, uint32_t size) {
            ssize_t got = pread(fd, buffer, size, offset);
            return got < 0 ? 0u : (uint32_t)got;
        },
        count);
    close(fd);
}

// Walks the folder whose path (in a buffer of 4,096 bytes) is in `path`, `length` bytes long,
// depth first in the order readdir gives, and calls `onFile(path)` for every regular file.
// Links and other special files are passed over; a path that would not fit is left out.
// `path` holds the folder's path again on return.
template <typename OnFile>
void WalkTree(char *path, size_t length, OnFile &onFile)
{
    DIR *dir = opendir(path);
    if (!dir)
        return;
    path[length++] = '/';
    while (dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        size_t nameLength = std::strlen(name);
        if (length + nameLength >= 4096)
            continue;
        std::memcpy(path + length, name, nameLength + 1);
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            type = lstat(path, &st) != 0 ? DT_UNKNOWN
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            WalkTree(path, length + nameLength, onFile);
        else if (type == DT_REG)
            onFile((const char *)path);
    }
    closedir(dir);
    path[length - 1] = 0;
}

// The floor walk of the tree at `root`: the files opened and the bytes read.
FloorCount Floor(const std::string &root)
{
    static char path[4096];
    FloorCount count;
    if (root.size() >= sizeof path)
        return count;
    std::memcpy(path, root.c_str(), root.size() + 1);
    auto onFile = [&count](const char *file) { FloorFile(file, count); };
    WalkTree(path, root.size(), onFile);
    return count;
}

}  // namespace
