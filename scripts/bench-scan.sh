#!/usr/bin/env bash
# Release build of the whole-scan benchmark in build/bench, the generated tree of 100,000 files
# in build/bench/tree (written once, reused while its list build/bench/tree.list exists), then
# the scan against the floor of opening and reading the same records, warm and (as root, who
# may empty the page cache) cold: files per second, the time ratios and peak memory for the
# whole tree and for its tenth. Arguments go to bench_scan (the number of warm repetitions, then
# of cold ones).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKRV_BENCH=ON -DKRV_TESTS=OFF >/dev/null
cmake --build build/bench -j2 --target gentree bench_scan

tree=build/bench/tree
if [ ! -f "$tree.list" ]; then
    rm -rf "$tree"
    build/bench/bench/gentree "$tree" 100000
fi
build/bench/bench/bench_scan "$PWD/$tree" "$@"
