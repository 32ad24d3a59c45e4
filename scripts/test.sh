#!/usr/bin/env bash
# Builds both targets and runs every test: natively under the sanitizers (build/native-asan),
# and the Windows build (build/win32) under Wine, one test after the other in one prefix of
# its own, under Xvfb unless DISPLAY is set. Exits non-zero when a build or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build/native-asan -DKRV_SANITIZE=ON -DKRV_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native-asan -j"$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DKRV_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j"$jobs"

status=0
echo "== native tests (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
(cd build/native-asan && ctest --output-on-failure --no-tests=error -j"$jobs") || status=1

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

if [ -n "${DISPLAY:-}" ]; then
  bash scripts/wine-tests.sh || status=1
else
  # One X server for the whole run; every Wine call of the prefix sees the same display.
  xvfb-run -a -s "-screen 0 1024x768x24" bash scripts/wine-tests.sh || status=1
fi

if [ $status -eq 0 ]; then echo "== all tests passed"; else echo "== TESTS FAILED"; fi
exit $status
