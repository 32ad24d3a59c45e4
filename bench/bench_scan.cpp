// bench_scan TREE [REPETITIONS [COLD-REPETITIONS]]: the whole scan of a tree written by
// gentree, against the floor of what any scan of that tree has to do, with a warm page cache
// and, as root, with a cold one.
//
// The floor (bench/floor.h) walks the same tree with opendir/readdir and, for every file, opens
// it and reads exactly the records the engine reads, with pread into fixed buffers: no
// checksums, no workflow, no platform table. A second walk does the same through the platform table
// (findFirst/findNext, openFile, seekFile, readFile) to tell the table's own cost from the
// engine's. The scan is ScanSelectedFolder with a display that only counts rows.
//
// The scan is timed three ways: as built (read-ahead through io_uring where the cache lacks the
// files), reading one file at a time, and with read-ahead that never rests.
//
// The scan deletes the infected samples; they are written back before every scan, outside the
// timed part. The runs alternate floor and scan, after one untimed run of each to warm the cache.
// Cold runs begin with the page cache, inode cache and folder cache emptied (which needs root;
// without it the cold part says so and is left out), so that each waits for the disk as the
// first scan after a start does.
// Wall time suffers from whatever else the machine runs; processor time (user and system) much
// less, so both are shown. Peak memory is measured in fresh processes (bench_scan --peak FOLDER
// FILES INFECTED) for the whole tree and for a tenth of it, with and without infected samples.
#include "disinfect/workflow.h"
#include "platform/platform.h"
#include "platform/platform_hooks.h"
#include "scan/display.h"
#include "scan/scanstate.h"
#include "walk/walk.h"
#include "tools/samples.h"
#include "bench/floor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---- the tree's list ----------------------------------------------------------------------

struct InfectedSample {
    std::string path;
    std::vector<uint8_t> bytes;
};

struct Tree {
    std::string root;
    long files = 0;
    std::vector<InfectedSample> infected;
};

bool LoadTree(const std::string &root, Tree &tree)
{
    tree.root = root;
    FILE *list = std::fopen((root + ".list").c_str(), "r");
    if (!list) {
        std::fprintf(stderr, "bench_scan: no %s.list (run gentree first)\n", root.c_str());
        return false;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, list)) {
        int id;
        char relative[900];
        if (std::sscanf(line, "files %ld", &tree.files) == 1)
            continue;
        if (std::sscanf(line, "infected %d %899s", &id, relative) == 2 && id >= 0 &&
            id < samples::SampleCount)
            tree.infected.push_back({root + "/" + relative, samples::MakeSample((samples::SampleId)id)});
    }
    std::fclose(list);
    return tree.files > 0;
}

// Infected samples that lie in `folder` (the tree or one of its parts).
long InfectedBelow(const Tree &tree, const std::string &folder)
{
    long n = 0;
    for (const InfectedSample &s : tree.infected)
        n += s.path.compare(0, folder.size() + 1, folder + "/") == 0;
    return n;
}

bool RestoreInfected(const Tree &tree)
{
    for (const InfectedSample &s : tree.infected) {
        if (!samples::WriteFileBytes(s.path, s.bytes)) {
            std::fprintf(stderr, "bench_scan: cannot write %s\n", s.path.c_str());
            return false;
        }
    }
    return true;
}

// ---- clocks and memory --------------------------------------------------------------------

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double CpuSeconds(const timeval &t)
{
    return t.tv_sec + t.tv_usec * 1e-6;
}

// A "Vm...:" line of /proc/self/status, in KiB; -1 when missing.
long StatusKiB(const char *field)
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long value = -1;
    size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

// ---- the floor (bench/floor.h) and its twin through the platform table -----------------

// The same walk and reads through the platform table, as the scan reaches the system.
void PlatformFloorWalk(char *path, size_t length, FloorCount &count)
{
    FindRecord record;
    path[length++] = '/';
    std::memcpy(path + length, "*.*", 4);
    FindHandle find = Platform.files.findFirst(path, &record);
    InHand.listing = InvalidFindHandle;
    if (find == InvalidFindHandle)
        return;
    do {
        const char *name = record.name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        size_t nameLength = std::strlen(name);
        std::memcpy(path + length, name, nameLength + 1);
        // Each entry is the entry in hand, as the walk sets it.
        InHand = {find, path, (uint32_t)length, 1, 0, 0, 0, 0};
        if (record.attributes & AttrDirectory) {
            PlatformFloorWalk(path, length + nameLength, count);
            continue;
        }
        FileHandle file = Platform.files.openFile(path, 0);
        InHand.listing = InvalidFindHandle;
        if (file == InvalidFileHandle)
            continue;
        count.files++;
        ReadEngineRecords(
            [file](uint32_t offset, void *buffer, uint32_t size) {
                Platform.files.seekFile(file, (int32_t)offset, SeekFromStart);
                return Platform.files.readFile(file, buffer, size);
            },
            count);
        Platform.files.closeFile(file);
    } while (Platform.files.findNext(find, &record));
    Platform.files.findClose(find);
}

FloorCount PlatformFloor(const std::string &root)
{
    static char path[4096];
    FloorCount count;
    std::memcpy(path, root.c_str(), root.size() + 1);
    PlatformFloorWalk(path, root.size(), count);
    return count;
}

// ---- the scan -----------------------------------------------------------------------------

long rowCount, targetCount;

void CountRow(const ResultRow *) { rowCount++; }
void CountTarget(const char *) { targetCount++; }

const DisplayOps CountingDisplay = {CountRow, CountTarget, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// One scan of `folder`; false when its counters are not what the tree holds.
bool Scan(const std::string &folder, long files, long infected)
{
    rowCount = targetCount = 0;
    Display = &CountingDisplay;
    ScanSelectedFolder(folder.c_str());
    Display = nullptr;
    const ScanCounterSet &c = ScanCounters;
    if (c.files != files || c.infected != infected || c.deleted != infected ||
        rowCount != 2 * infected) {
        std::fprintf(stderr,
                     "bench_scan: scan of %s gave files %d infected %d deleted %d rows %ld; "
                     "expected %ld files, %ld infected and deleted, %ld rows\n",
                     folder.c_str(), c.files, c.infected, c.deleted, rowCount, files, infected,
                     2 * infected);
        return false;
    }
    return true;
}

// The scan with read-ahead in `mode`: ReadAheadOff reads one file at a time, as where the
// system has no io_uring; ReadAheadAlways fetches ahead even what the cache holds.
bool ScanWith(int mode, const std::string &folder, long files, long infected)
{
    PosixSetReadAhead(mode);
    bool ok = Scan(folder, files, infected);
    PosixSetReadAhead(ReadAheadOn);
    return ok;
}

// Empties the page cache (and the inode and folder caches); false without the right to.
bool DropCaches()
{
    sync();
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, "3\n", 2) == 2;
    if (fd >= 0)
        close(fd);
    return ok;
}

// ---- runs ---------------------------------------------------------------------------------

struct Timing {
    std::vector<double> wall, user, system;
    void Add(double w, const rusage &before, const rusage &after)
    {
        wall.push_back(w);
        user.push_back(CpuSeconds(after.ru_utime) - CpuSeconds(before.ru_utime));
        system.push_back(CpuSeconds(after.ru_stime) - CpuSeconds(before.ru_stime));
    }
};

std::vector<double> CpuTimes(const Timing &t)
{
    std::vector<double> v;
    for (size_t i = 0; i < t.user.size(); i++)
        v.push_back(t.user[i] + t.system[i]);
    return v;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <typename Body>
bool Timed(Timing &timing, Body body)
{
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    double start = Now();
    bool ok = body();
    double wall = Now() - start;
    getrusage(RUSAGE_SELF, &after);
    timing.Add(wall, before, after);
    return ok;
}

void PrintTiming(const char *what, const Timing &t, long files)
{
    double wall = Median(t.wall);
    std::printf("%-16s %7.0f files/s  wall %6.3f s (min %6.3f, max %6.3f)  processor %6.3f s "
                "(user %5.3f, sys %5.3f)\n",
                what, files / wall, wall, *std::min_element(t.wall.begin(), t.wall.end()),
                *std::max_element(t.wall.begin(), t.wall.end()), Median(CpuTimes(t)),
                Median(t.user), Median(t.system));
}

// Child mode: one scan of `folder` in a fresh process; prints the files scanned and the peak
// resident size before and after the scan.
int PeakMode(const std::string &folder, long files, long infected)
{
    long before = StatusKiB("VmHWM");
    if (!Scan(folder, files, infected))
        return 1;
    std::printf("%d %ld %ld\n", ScanCounters.files, before, StatusKiB("VmHWM"));
    return 0;
}

// Runs `bench_scan --peak` on `folder` in a child process and reads its line back. With
// `withInfected` the samples are written back first; without, they are removed first and the
// folder holds that many files fewer.
bool MeasurePeak(const Tree &tree, const std::string &folder, long files, bool withInfected,
                 long &scanned, long &before, long &after)
{
    long infected = InfectedBelow(tree, folder);
    if (withInfected) {
        if (!RestoreInfected(tree))
            return false;
    } else {
        for (const InfectedSample &s : tree.infected)
            unlink(s.path.c_str());
        files -= infected;
        infected = 0;
    }
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return false;
    std::string filesText = std::to_string(files);
    std::string infectedText = std::to_string(infected);
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        char self[] = "/proc/self/exe";
        char peak[] = "--peak";
        char *args[] = {self, peak, (char *)folder.c_str(), (char *)filesText.c_str(),
                        (char *)infectedText.c_str(), nullptr};
        execv(self, args);
        _exit(127);
    }
    close(pipeFds[1]);
    char line[256] = {0};
    ssize_t got = read(pipeFds[0], line, sizeof line - 1);
    close(pipeFds[0]);
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0)
        return false;
    return std::sscanf(line, "%ld %ld %ld", &scanned, &before, &after) == 3;
}

// Files below `folder`, counted by the floor walk.
long CountFiles(const std::string &folder)
{
    return Floor(folder).files;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--peak") == 0)
        return PeakMode(argv[2], std::strtol(argv[3], nullptr, 10),
                        std::strtol(argv[4], nullptr, 10));
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: bench_scan TREE [REPETITIONS [COLD-REPETITIONS]]\n");
        return 2;
    }
    std::string root = argv[1];
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    int repetitions = argc >= 3 ? std::atoi(argv[2]) : 5;
    if (repetitions < 1)
        repetitions = 1;
    int coldRepetitions = argc == 4 ? std::atoi(argv[3]) : 3;
    if (coldRepetitions < 1)
        coldRepetitions = 1;

    Tree tree;
    if (!LoadTree(root, tree) || !RestoreInfected(tree))
        return 1;
    long files = tree.files, infected = (long)tree.infected.size();

    // Warm-up: every byte any run reads is in the page cache before the first timed run.
    FloorCount warm = Floor(root);
    if (warm.files != files) {
        std::fprintf(stderr, "bench_scan: the floor found %ld files, the list says %ld\n",
                     warm.files, files);
        return 1;
    }
    if (!Scan(root, files, infected) || !RestoreInfected(tree))
        return 1;
    PlatformFloor(root);

    Timing floor, platformFloor, scan, serial, always;
    for (int r = 0; r < repetitions; r++) {
        if (!Timed(floor, [&] { return Floor(root).files == files; }) ||
            !Timed(platformFloor, [&] { return PlatformFloor(root).files == files; }))
            return 1;
        if (!Timed(scan, [&] { return Scan(root, files, infected); }) || !RestoreInfected(tree))
            return 1;
        if (!Timed(serial, [&] { return ScanWith(ReadAheadOff, root, files, infected); }) ||
            !RestoreInfected(tree))
            return 1;
        if (!Timed(always, [&] { return ScanWith(ReadAheadAlways, root, files, infected); }) ||
            !RestoreInfected(tree))
            return 1;
    }

    std::printf("tree %s: %ld files (%ld infected), %d repetitions\n", root.c_str(), files,
                infected, repetitions);
    std::printf("floor reads %.1f MiB per walk\n", warm.bytes / 1048576.0);
    std::printf("== warm cache\n");
    PrintTiming("floor", floor, files);
    PrintTiming("floor (platform)", platformFloor, files);
    PrintTiming("scan", scan, files);
    PrintTiming("scan, no read-ahead", serial, files);
    PrintTiming("scan, read-ahead never resting", always, files);
    double ratio = Median(scan.wall) / Median(floor.wall);
    std::printf("scan / floor: wall time %.2f, processor time %.2f  (target 1.05: %s)\n", ratio,
                Median(CpuTimes(scan)) / Median(CpuTimes(floor)), ratio <= 1.05 ? "met" : "missed");
    std::printf("scan, no read-ahead / floor: wall time %.2f, processor time %.2f\n",
                Median(serial.wall) / Median(floor.wall),
                Median(CpuTimes(serial)) / Median(CpuTimes(floor)));
    std::printf("scan, read-ahead never resting / floor: wall time %.2f, processor time %.2f\n",
                Median(always.wall) / Median(floor.wall),
                Median(CpuTimes(always)) / Median(CpuTimes(floor)));
    std::printf("scan / scan, no read-ahead: wall time %.2f, processor time %.2f\n",
                Median(scan.wall) / Median(serial.wall),
                Median(CpuTimes(scan)) / Median(CpuTimes(serial)));
    std::printf("scan / floor (platform): wall time %.2f, processor time %.2f\n",
                Median(scan.wall) / Median(platformFloor.wall),
                Median(CpuTimes(scan)) / Median(CpuTimes(platformFloor)));

    // Cold: every run starts from an empty page cache, inode cache and folder cache, so each
    // one waits for the disk as a first scan after boot does.
    std::printf("== cold cache\n");
    if (!DropCaches()) {
        std::printf("not measured: emptying the page cache needs root "
                    "(sync; echo 3 > /proc/sys/vm/drop_caches); warm figures only\n");
    } else {
        Timing coldFloor, coldScan, coldSerial;
        for (int r = 0; r < coldRepetitions; r++) {
            if (!DropCaches() || !Timed(coldFloor, [&] { return Floor(root).files == files; }))
                return 1;
            if (!DropCaches() || !Timed(coldScan, [&] { return Scan(root, files, infected); }) ||
                !RestoreInfected(tree))
                return 1;
            if (!DropCaches() ||
                !Timed(coldSerial, [&] { return ScanWith(ReadAheadOff, root, files, infected); }) ||
                !RestoreInfected(tree))
                return 1;
        }
        PrintTiming("floor", coldFloor, files);
        PrintTiming("scan", coldScan, files);
        PrintTiming("scan, no read-ahead", coldSerial, files);
        double cold = Median(coldScan.wall) / Median(coldFloor.wall);
        std::printf("scan / floor: wall time %.2f  (target 0.30: %s)\n", cold,
                    cold <= 0.3 ? "met" : "missed");
        std::printf("scan, no read-ahead / floor: wall time %.2f\n",
                    Median(coldSerial.wall) / Median(coldFloor.wall));
        std::printf("scan / scan, no read-ahead: wall time %.2f\n",
                    Median(coldScan.wall) / Median(coldSerial.wall));
    }
    // The infected samples' long regions take buffers of 128 and 192 KiB that the heap may keep
    // after release: the whole tree and its tenth are compared with their samples and without.
    // Cold, read-ahead has its requests under way and holds a buffer for each: the same pairs
    // with an empty page cache (as root only).
    struct {
        const char *label;
        std::string folder;
        bool withInfected, cold;
        long scanned, before, after;
    } peaks[] = {
        {"whole tree, with its infected samples", root, true, false, 0, 0, 0},
        {"subset d0, with its infected sample", root + "/d0", true, false, 0, 0, 0},
        {"whole tree, no infected sample", root, false, false, 0, 0, 0},
        {"subset d1, no infected sample", root + "/d1", false, false, 0, 0, 0},
        {"whole tree, cold cache", root, true, true, 0, 0, 0},
        {"subset d0, cold cache", root + "/d0", true, true, 0, 0, 0},
    };
    const int peakCount = sizeof peaks / sizeof peaks[0];
    long folderFiles[peakCount];
    for (int i = 0; i < peakCount; i++)   // every sample is in place after the timed runs
        folderFiles[i] = CountFiles(peaks[i].folder);
    bool coldPeaks = true;   // until emptying the cache is refused (the cold pairs come last)
    for (int i = 0; i < peakCount; i++) {
        auto &p = peaks[i];
        if (p.cold && !(coldPeaks = coldPeaks && RestoreInfected(tree) && DropCaches()))
            continue;
        if (!MeasurePeak(tree, p.folder, folderFiles[i], p.withInfected, p.scanned, p.before,
                         p.after)) {
            std::fprintf(stderr, "bench_scan: peak memory measurement failed for %s\n",
                         p.folder.c_str());
            return 1;
        }
    }
    if (!RestoreInfected(tree))
        return 1;
    std::printf("peak resident memory (VmHWM), one fresh process per scan:\n");
    for (const auto &p : peaks)
        if (p.scanned)
            std::printf("  %-38s %7ld files  %5ld KiB at start, %5ld KiB after the scan\n",
                        p.label, p.scanned, p.before, p.after);
    if (coldPeaks)
        std::printf("peak growth, cold, whole tree over subset: %+ld KiB\n",
                    peaks[4].after - peaks[5].after);
    std::printf("peak growth, whole tree over subset: %+ld KiB with infected samples, %+ld KiB "
                "without\n",
                peaks[0].after - peaks[1].after, peaks[2].after - peaks[3].after);
    return 0;
}
