#!/usr/bin/env bash
# Release build of the benchmarks in build/bench, then the checksum paths (bytes per second and
# the speed-up over the byte-at-a-time baseline) and the detector on one file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKRV_BENCH=ON -DKRV_TESTS=OFF >/dev/null
cmake --build build/bench -j2 --target bench_crc bench_detect

out=build/bench/bench_crc.json
build/bench/bench/bench_crc --benchmark_out="$out" --benchmark_out_format=json "$@"
echo
echo "== speed-up over Crc32Bytewise"
python3 - "$out" <<'PY'
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("run_type", "iteration") == "iteration" and "bytes_per_second" in b]
speed = {}
for b in runs:
    path, size = b["name"].split("/")[:2]
    speed[(path[3:], int(size))] = b["bytes_per_second"]
for (path, size), bps in sorted(speed.items(), key=lambda kv: (kv[0][1], kv[0][0])):
    base = speed.get(("Crc32Bytewise", size))
    ratio = bps / base if base else float("nan")
    print(f"{path:15s} {size // 1024:4d} KiB  {bps / 1e9:7.2f} GB/s  x{ratio:5.1f}")
PY
echo
build/bench/bench/bench_detect "$@"
