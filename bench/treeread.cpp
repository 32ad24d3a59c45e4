// treeread [--threads N | --walk] TREE: the two reference readers a scan of TREE is measured
// against (scripts/bench_ab.py), each a whole process that prints "files F bytes B": the
// regular files it read and the bytes it got.
//
// --threads N (64 by default): the disk's limit on the machine at hand. One thread lists the
// whole tree (opendir/readdir, depth first), then N threads take the files in the listed order,
// each opening one and reading its first 8 KiB, with as many reads in flight as threads. It
// does less than a scan has to do (no second region past the header, no verdict) and keeps the
// whole list in memory: a bound, not a design.
//
// --walk: the one-file-at-a-time walker, the baseline the scan's targets are stated against:
// the floor of bench/floor.h, which opens each file as it is listed and reads the records the
// engine reads.
//
// A file that cannot be opened is not counted, so a count short of the tree's says the
// reference read less than the scan did.
#include "bench/floor.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const size_t HeadBytes = 8192;   // what each reader thread reads of every file
const int MaxThreads = 1024;

std::vector<std::string> listed;     // written by the listing, before the readers start
std::atomic<size_t> nextFile{0};     // the next listed file a reader takes
std::atomic<long> filesRead{0};
std::atomic<uint64_t> bytesRead{0};

void ReadFiles()
{
    static thread_local uint8_t buffer[HeadBytes];
    long files = 0;
    uint64_t bytes = 0;
    for (size_t i; (i = nextFile.fetch_add(1)) < listed.size();) {
        int fd = open(listed[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            continue;
        ssize_t got = pread(fd, buffer, HeadBytes, 0);
        close(fd);
        if (got < 0)
            continue;
        files++;
        bytes += (uint64_t)got;
    }
    filesRead += files;
    bytesRead += bytes;
}

// Lists the tree on this thread, then reads the head of every file on `threads` threads.
FloorCount ParallelRead(const std::string &root, int threads)
{
    static char path[4096];
    FloorCount count;
    if (root.size() >= sizeof path)
        return count;
    std::memcpy(path, root.c_str(), root.size() + 1);
    auto onFile = [](const char *file) { listed.emplace_back(file); };
    WalkTree(path, root.size(), onFile);

    std::vector<std::thread> readers;
    for (int t = 0; t < threads; t++)
        readers.emplace_back(ReadFiles);
    for (std::thread &reader : readers)
        reader.join();
    count.files = filesRead;
    count.bytes = bytesRead;
    return count;
}

int Usage()
{
    std::fprintf(stderr, "usage: treeread [--threads N | --walk] TREE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    int threads = 64;
    bool walk = false;
    int at = 1;
    if (at < argc && std::strcmp(argv[at], "--walk") == 0) {
        walk = true;
        at++;
    } else if (at < argc && std::strcmp(argv[at], "--threads") == 0) {
        if (at + 1 >= argc)
            return Usage();
        char *end;
        long n = std::strtol(argv[at + 1], &end, 10);
        if (*end || n < 1 || n > MaxThreads)
            return Usage();
        threads = (int)n;
        at += 2;
    }
    if (at + 1 != argc || argv[at][0] == '-')
        return Usage();
    std::string root = argv[at];
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "treeread: %s: not a folder\n", root.c_str());
        return 1;
    }
    FloorCount count = walk ? Floor(root) : ParallelRead(root, threads);
    std::printf("files %ld bytes %llu\n", count.files, (unsigned long long)count.bytes);
    return 0;
}
