#!/usr/bin/env bash
# Builds both targets and runs every test: natively under the sanitizers, and the Windows
# build under Wine (the dialog's tests under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build/native-asan -DKRV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native-asan -j"$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j"$jobs"

status=0
echo "== native tests (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
(cd build/native-asan && ctest --output-on-failure -j"$jobs") || status=1

echo "== Windows tests under Wine"
export WINEPREFIX=$root/build/win32/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
run_wine_tests() {
  bash scripts/wineprefix.sh "$WINEPREFIX"
  (cd build/win32 && ctest --output-on-failure) ; local rc=$?
  wineserver -k || true; wineserver -w || true
  return $rc
}
if [ -n "${DISPLAY:-}" ]; then
  run_wine_tests || status=1
else
  # One X server for the whole run; every Wine call of the prefix sees the same display.
  export -f run_wine_tests
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c run_wine_tests || status=1
fi
exit $status
