#!/usr/bin/env bash
# Builds both targets (native Release in build/native, the Windows program in build/win32),
# writes a demo folder of harmless samples with the sample maker and shows the native
# detector's verdict for each of its files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== native build (build/native)"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release -DKRV_TESTS=OFF >/dev/null
cmake --build build/native -j"$jobs"
echo "== Windows build (build/win32)"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKRV_TESTS=OFF >/dev/null
cmake --build build/win32 -j"$jobs"

demo=build/demo
rm -rf "$demo"
echo "== demo folder ($demo)"
build/native/tools/makesamples "$demo"
echo "== verdicts"
# detect answers 1 when it found anything infected, which is what the demo folder is for.
rc=0
build/native/tools/detect "$demo" || rc=$?
[ $rc -le 1 ] || exit $rc
echo
echo "The Windows program: build/win32/app/korvane.exe (run it with: wine build/win32/app/korvane.exe)"
