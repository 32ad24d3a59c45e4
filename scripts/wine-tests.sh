#!/usr/bin/env bash
# Runs the Windows build's tests (build/win32) under Wine, one after the other, in the prefix
# named by WINEPREFIX, on an Xvfb display of their own.
set -uo pipefail
cd "$(dirname "$0")/.."
# One X server of its own for the whole run, whatever DISPLAY says: the dialog's tests move the
# pointer and press keys, which must never reach the user's screen. Every Wine call of the
# prefix sees this one display.
if [ -z "${KRV_OWN_DISPLAY:-}" ]; then
  KRV_OWN_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$PWD/scripts/wine-tests.sh" "$@"
fi
bash scripts/wineprefix.sh "$WINEPREFIX" || exit 1
rc=0
# Serially: the tests share the prefix's registry, its restart list and its drives.
(cd build/win32 && ctest --output-on-failure --no-tests=error -j1 --output-junit "$PWD/junit.xml") ||
  rc=1
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
# What the end-to-end scenarios found, for a person reading the log.
cat build/win32/tests/e2e/run-*/summary.txt 2>/dev/null || true
exit $rc
