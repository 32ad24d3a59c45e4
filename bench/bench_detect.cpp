// DetectFile on one file in the page cache: open, detect, close, as the scan does per file.
// The clean PE is the common case (one 8 KiB and one 2 KiB region read); the infected sample
// shows the cost of reading and summing both long regions of entry 1.
#include "engine/signature.h"
#include "tools/samples.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// A private folder below the temporary folder, removed at exit.
struct TempFolder {
    std::filesystem::path path;
    TempFolder()
    {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int i = 0;; ++i) {
            path = base / ("krv-bench-" + std::to_string(i));
            std::error_code ec;
            if (std::filesystem::create_directory(path, ec))
                break;
        }
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

TempFolder &Folder()
{
    static TempFolder folder;
    return folder;
}

std::string Write(const char *name, const std::vector<uint8_t> &bytes)
{
    std::string path = (Folder().path / name).string();
    if (!samples::WriteFileBytes(path, bytes))
        return std::string();
    return path;
}

void Detect(benchmark::State &state, const std::string &path, int32_t want, size_t size)
{
    if (path.empty()) {
        state.SkipWithError("could not write the sample file");
        return;
    }
    for (auto _ : state) {
        ScanContext context = {path.c_str(), nullptr, FileOpen(path.c_str(), 0)};
        if (context.file == InvalidFileHandle) {
            state.SkipWithError("FileOpen failed");
            return;
        }
        int32_t verdict = DetectFile(&context);
        FileClose(context.file);
        if (verdict != want) {
            state.SkipWithError("unexpected verdict");
            return;
        }
        benchmark::DoNotOptimize(verdict);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["file_bytes"] = (double)size;
}

void BM_DetectFile_CleanPe256K(benchmark::State &state)
{
    // A clean 32-bit image of 256 KiB: headers up to 0x400, then one section's raw data.
    samples::PeShape shape;
    shape.seed = 77;
    shape.sectionRawSize = 256 * 1024 - shape.firstRawData;
    static const std::vector<uint8_t> bytes = samples::BuildPe(shape);
    static const std::string path = Write("clean.exe", bytes);
    Detect(state, path, ScanVerdict::Clean, bytes.size());
}

void BM_DetectFile_InfectedEntry1(benchmark::State &state)
{
    static const std::vector<uint8_t> bytes = samples::MakeSample(samples::InfectedEntry1);
    static const std::string path = Write("infected.exe", bytes);
    Detect(state, path, ScanVerdict::Infected, bytes.size());
}

}  // namespace

BENCHMARK(BM_DetectFile_CleanPe256K);
BENCHMARK(BM_DetectFile_InfectedEntry1);

BENCHMARK_MAIN();
