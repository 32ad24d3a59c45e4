#!/usr/bin/env bash
# Builds what a release ships, from this checkout, into DIST (default dist/):
#   krvscan_VERSION_ARCH.deb    the console scanner, its manual page and bash completion
#   korvane-VERSION-win32.zip   korvane.exe, krvscan.exe, what the Windows fleet route puts on
#                               its share (krvname.exe, krvscan.cmd, krvscan.bat), the summary
#                               of its results share (summary.py), the administrator's README.txt
#                               (CR LF, for Notepad) and SHA256SUMS over all of them
# The builds are Release builds without tests in KRV_RELEASE_BUILD (default build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(realpath -m "${1:-$root/dist}")
build=$(realpath -m "${KRV_RELEASE_BUILD:-$root/build/release}")
jobs=$(nproc)
bash scripts/setup.sh
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$dist"

echo "== release $version: the Debian package of krvscan"
cmake -S . -B "$build/native" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DKRV_TESTS=OFF >/dev/null
cmake --build "$build/native" -j"$jobs" >/dev/null
(cd "$build/native" && cpack -B "$build/native/package" >/dev/null)
cp "$build/native/package/"krvscan_"$version"_*.deb "$dist/"

echo "== release $version: the archive of the Windows programs"
cmake -S . -B "$build/win32" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKRV_TESTS=OFF >/dev/null
cmake --build "$build/win32" -j"$jobs" --target korvane krvscan krvname >/dev/null
name=korvane-$version-win32
stage=$build/archive/$name
rm -rf "$build/archive"
cmake --install "$build/win32" --prefix "$stage" >/dev/null
cp fleet/windows/README.txt fleet/windows/krvscan.cmd fleet/windows/krvscan.bat fleet/summary.py \
  "$stage/"
files=(korvane.exe krvscan.exe krvname.exe krvscan.cmd krvscan.bat summary.py README.txt)
(cd "$stage" && sha256sum "${files[@]}" > SHA256SUMS)
# The archive's own bytes depend on nothing but its contents: one date for every entry (the
# commit's, where there is one), no extra fields, entries in a fixed order.
when=$(git log -1 --format=%cI 2>/dev/null || echo 2000-01-01T00:00:00Z)
touch -d "$when" "$stage" "$stage"/*
rm -f "$dist/$name.zip"
(cd "$build/archive" && TZ=UTC zip -X -q "$dist/$name.zip" "$name/" \
  "${files[@]/#/$name/}" "$name/SHA256SUMS")

ls -l "$dist"
