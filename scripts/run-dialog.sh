#!/usr/bin/env bash
# Usage: scripts/run-dialog.sh
# Starts the Windows program (build/win32-run/app/korvane.exe, built here when missing) under Wine,
# in a prefix of its own (build/win32-run/wineprefix), on the X display in DISPLAY. The prefix
# shows nothing of the host (scripts/wineprefix.sh), so "All fixed drives" means its own C:
# only; a demo folder of harmless samples is written afresh to C:\demo for Select Path on every
# run. Returns when the dialog is closed.
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
# Written afresh on every run: the last run's scan deleted what it found.
demo="$WINEPREFIX/drive_c/demo"
rm -rf "$demo"
mkdir -p "$demo"
if [ -x build/native/tools/makesamples ]; then
  build/native/tools/makesamples "$demo" >/dev/null
elif [ -f build/win32-run/tools/makesamples.exe ]; then
  wine build/win32-run/tools/makesamples.exe 'C:\demo' </dev/null >/dev/null
else
  echo "run-dialog.sh: no sample maker built (bash scripts/run.sh builds it): C:\demo is empty." >&2
fi

echo "Starting $program under Wine on display $DISPLAY (close the dialog to end)."
rc=0
wine "$program" </dev/null || rc=$?
wineserver -k || true
wineserver -w || true
exit $rc
