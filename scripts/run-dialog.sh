#!/usr/bin/env bash
# Usage: scripts/run-dialog.sh
# Starts the Windows program (build/win32-run/app/korvane.exe, built here when missing) under Wine,
# in a prefix of its own (build/win32-run/wineprefix), on the X display in DISPLAY. The prefix
# has no Z: drive, so "All fixed drives" means its own C: only; a demo folder of harmless
# samples is written to C:\demo for Select Path. Returns when the dialog is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "${DISPLAY:-}" ]; then
  echo "run-dialog.sh: DISPLAY is not set: the dialog needs an X display." >&2
  echo "  Run it from a desktop session, or under a virtual one: xvfb-run -a bash scripts/run-dialog.sh" >&2
  exit 2
fi

program=build/win32-run/app/korvane.exe
if [ ! -f "$program" ]; then
  bash scripts/setup.sh
  cmake -S . -B build/win32-run -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKRV_TESTS=OFF >/dev/null
  cmake --build build/win32-run -j"$(nproc)" --target korvane
fi

. scripts/wine-env.sh "$root/build/win32-run/wineprefix"
bash scripts/wineprefix.sh "$WINEPREFIX"
if [ -x build/native/tools/makesamples ] && [ ! -d "$WINEPREFIX/drive_c/demo" ]; then
  mkdir -p "$WINEPREFIX/drive_c/demo"
  build/native/tools/makesamples "$WINEPREFIX/drive_c/demo" >/dev/null 2>&1 || true
fi

echo "Starting $program under Wine on display $DISPLAY (close the dialog to end)."
rc=0
wine "$program" </dev/null || rc=$?
wineserver -k || true
wineserver -w || true
exit $rc
