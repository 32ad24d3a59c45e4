#!/usr/bin/env bash
# Runs the Windows build's tests (build/win32) under Wine, one after the other, in the prefix
# named by WINEPREFIX. Needs an X display for the dialog's tests (scripts/test.sh starts Xvfb).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/wineprefix.sh "$WINEPREFIX" || exit 1
rc=0
# Serially: the tests share the prefix's registry, its restart list and its drives.
(cd build/win32 && ctest --output-on-failure --no-tests=error -j1) || rc=1
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
# What the end-to-end scenarios found, for a person reading the log.
cat build/win32/tests/e2e/run-*/summary.txt 2>/dev/null || true
exit $rc
