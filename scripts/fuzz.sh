#!/usr/bin/env bash
# Usage: scripts/fuzz.sh SECONDS [TARGET...]
# Builds the libFuzzer targets with clang 14, seeds each target's corpus (corpus/TARGET) with
# the sample maker's files and the header corner cases, and fuzzes each target for SECONDS, one
# after the other (fuzz_classify and fuzz_match without TARGETs). Everything lives in the folder
# KRV_FUZZ_BUILD names (build/fuzz by default), so that a long run can go on beside the tests.
# The corpus grows from run to run; a crashing input is kept in crashes/TARGET/ and makes the
# exit status non-zero. Each run ends with libFuzzer's figures: executions, coverage (edges)
# and corpus size.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_classify fuzz_match)
build=${KRV_FUZZ_BUILD:-build/fuzz}

cmake -S . -B $build -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DKRV_FUZZ=ON -DKRV_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $build -j"$(nproc)" --target fuzzseeds "${targets[@]}" >/dev/null

rm -rf $build/seeds
$build/fuzz/fuzzseeds $build/seeds >/dev/null
status=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target crashes=$build/crashes/$target
  mkdir -p "$corpus" "$crashes"
  echo "== $target: ${seconds}s over $(ls "$corpus" | wc -l) corpus files and $(ls $build/seeds | wc -l) seeds"
  # Inputs up to 256 KiB: the table's longest region ends 197,632 bytes into a sample.
  if ! ASAN_OPTIONS=detect_leaks=1 $build/fuzz/$target -max_total_time="$seconds" \
       -max_len=262144 -timeout=10 -rss_limit_mb=2048 -dict=fuzz/headers.dict \
       -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" $build/seeds \
       >"$build/$target.log" 2>&1; then
    status=1
    echo "$target FAILED: crashing inputs in $crashes"
    grep -E "ERROR|SUMMARY|Test unit written" "$build/$target.log" || tail -n 20 "$build/$target.log"
  fi
  grep -E "DONE|^Done [0-9]+ runs|stat::peak_rss_mb" \
    "$build/$target.log" || true
done
exit $status
