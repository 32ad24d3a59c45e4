// Bytes per second of each CRC-32/JAMCRC path over the region lengths the signature table uses
// (8 KiB, 128 KiB, 192 KiB). Crc32Bytewise is the baseline the others are measured against.
#include "engine/crc32.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

const std::vector<uint8_t> &Buffer()
{
    static const std::vector<uint8_t> bytes = [] {
        std::mt19937 rng(1);
        std::vector<uint8_t> v(192 * 1024);
        for (auto &b : v)
            b = (uint8_t)rng();
        return v;
    }();
    return bytes;
}

template <uint32_t (*Path)(uint32_t, const void *, uint32_t)>
void RunPath(benchmark::State &state)
{
    const uint8_t *data = Buffer().data();
    uint32_t length = (uint32_t)state.range(0);
    for (auto _ : state) {
        uint32_t crc = Path(0xFFFFFFFFu, data, length);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * length);
}

void BM_Crc32Bytewise(benchmark::State &state) { RunPath<Crc32Bytewise>(state); }
void BM_Crc32Portable(benchmark::State &state) { RunPath<Crc32Portable>(state); }

void BM_Crc32Clmul(benchmark::State &state)
{
    if (!Crc32HasClmul()) {
        state.SkipWithError("no PCLMULQDQ/SSE4.1 on this processor");
        return;
    }
    RunPath<Crc32Clmul>(state);
}

void BM_Crc32(benchmark::State &state)
{
    const uint8_t *data = Buffer().data();
    int32_t length = (int32_t)state.range(0);
    for (auto _ : state) {
        uint32_t crc = Crc32(data, length);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * length);
}

}  // namespace

BENCHMARK(BM_Crc32Bytewise)->Arg(8 << 10)->Arg(128 << 10)->Arg(192 << 10);
BENCHMARK(BM_Crc32Portable)->Arg(8 << 10)->Arg(128 << 10)->Arg(192 << 10);
BENCHMARK(BM_Crc32Clmul)->Arg(8 << 10)->Arg(128 << 10)->Arg(192 << 10);
BENCHMARK(BM_Crc32)->Arg(8 << 10)->Arg(128 << 10)->Arg(192 << 10);

BENCHMARK_MAIN();
