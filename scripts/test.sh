#!/usr/bin/env bash
# Builds both targets and runs every test: natively under the sanitizers (build/native-asan),
# and the Windows build (build/win32) under Wine, one test after the other in one prefix of
# its own, on an Xvfb display of its own; then the release check (scripts/release-check.sh).
# Prints every skipped test with its reason and the time taken. Exits non-zero when a build or
# any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build/native-asan -DKRV_SANITIZE=ON -DKRV_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native-asan -j"$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DKRV_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j"$jobs"

status=0
echo "== native tests (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
rm -f build/native-asan/junit.xml build/win32/junit.xml
(cd build/native-asan && ctest --output-on-failure --no-tests=error -j"$jobs" \
   --output-junit "$root/build/native-asan/junit.xml") || status=1

echo "== fuzz targets, briefly over their corpus"
bash scripts/fuzz.sh 25 || status=1

echo "== Windows tests under Wine"
. scripts/wine-env.sh "$root/build/win32/wineprefix"
# Only this prefix's server and programs end, whatever way the run ends.
stop_wine() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

# On a display of their own, whatever DISPLAY says (scripts/wine-tests.sh starts Xvfb).
bash scripts/wine-tests.sh || status=1

echo "== release: packages, archive, reproducible programs"
bash scripts/release-check.sh || status=1

echo "== summary"
python3 scripts/test-summary.py build/native-asan/junit.xml build/win32/junit.xml || status=1
elapsed=$(( $(date +%s) - started ))
echo "time: $((elapsed / 60)) min $((elapsed % 60)) s"
if [ $status -eq 0 ]; then echo "== all tests passed"; else echo "== TESTS FAILED"; fi
exit $status
