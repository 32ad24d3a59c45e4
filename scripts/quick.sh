#!/usr/bin/env bash
# The quick loop for day-to-day work: the native Debug build without sanitizers in build/quick
# and its tests, without Wine, fuzzing or the release. The slowest tests (the scanner and the
# playbook driven from outside, 200,000 files in one folder) are left to scripts/test.sh.
# Arguments go to ctest: `bash scripts/quick.sh -R Walk` runs the walk's tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
jobs=$(nproc)
cmake -S . -B build/quick -DCMAKE_BUILD_TYPE=Debug -DKRV_TESTS=ON >/dev/null
cmake --build build/quick -j"$jobs"
status=0
(cd build/quick && ctest --no-tests=error -j"$jobs" --output-on-failure \
   -E '^app\.(krvscan|fleet)$|/FolderOfManyEmptyFiles$' "$@") || status=1
echo "time: $(( $(date +%s) - started )) s"
exit $status
