#!/usr/bin/env bash
# The whole-scan benchmark on ext4 and on NTFS read through ntfs-3g, in one run.
#
#   bench-scan.sh [--ext4 | --ntfs] [REPETITIONS [COLD-REPETITIONS]]
#
# Builds the Release benchmark in build/bench, writes the generated tree (KRV_BENCH_FILES files,
# 100,000 by default) once into build/bench/tree on the disk the project lies on, and measures
# the scan against the floor of opening and reading the same records, warm and (as root, who may
# empty the page cache) cold: files per second, the time ratios, the scan with and without
# read-ahead, and peak memory. Arguments after the mode go to bench_scan (the number of warm
# repetitions, then of cold ones).
#
# The NTFS part (as root, with Debian's ntfs-3g): an image build/bench/ntfs.img made by mkntfs,
# holding the same generated tree, mounted through ntfs-3g on build/bench/ntfs with the options
# in KRV_NTFS_OPTIONS (none by default). A cold run there starts with the page cache emptied,
# which drops both the FUSE mount's pages and the image's own pages on the disk below it. The
# image is kept for the next run while its tree list is complete; it is unmounted however the
# run ends.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=both
case "${1:-}" in
    --ext4) mode=ext4; shift ;;
    --ntfs) mode=ntfs; shift ;;
esac
files=${KRV_BENCH_FILES:-100000}
bench=build/bench

cmake -S . -B $bench -DCMAKE_BUILD_TYPE=Release -DKRV_BENCH=ON -DKRV_TESTS=OFF >/dev/null
cmake --build $bench -j2 --target gentree bench_scan

# Writes the tree into $1 unless a complete one of $files files is there (its list is written
# last, so a tree cut short has none).
ensure_tree() {
    if ! grep -qx "files $files" "$1.list" 2>/dev/null; then
        rm -rf "$1" "$1.list"
        $bench/bench/gentree "$1" "$files"
    fi
}

if [ $mode != ntfs ]; then
    echo "==== ext4 ($(df --output=fstype $bench | tail -1) under $bench/tree)"
    ensure_tree $bench/tree
    $bench/bench/bench_scan "$PWD/$bench/tree" "$@"
fi

[ $mode = ext4 ] && exit 0
echo "==== NTFS through ntfs-3g (mount options: ${KRV_NTFS_OPTIONS:-none})"
if [ "$(id -u)" -ne 0 ] || ! command -v mkntfs >/dev/null || ! command -v ntfs-3g >/dev/null; then
    echo "not measured: needs root and ntfs-3g (scripts/setup.sh installs it)"
    [ $mode = ntfs ] && exit 1
    exit 0
fi
image=$bench/ntfs.img
mountpoint=$PWD/$bench/ntfs
mkdir -p "$mountpoint"
unmount() {
    if mountpoint -q "$mountpoint"; then
        umount "$mountpoint" 2>/dev/null || umount -l "$mountpoint"
    fi
}
trap unmount EXIT
trap 'exit 130' INT TERM
unmount   # one left by a run that was killed outright

# A sparse image with room for the tree (each file in its own clusters and MFT record), made
# and written anew unless it holds a complete tree of this size.
if ! { [ -f "$image" ] && ntfs-3g "$image" "$mountpoint" &&
       grep -qx "files $files" "$mountpoint/tree.list"; }; then
    unmount
    rm -f "$image"
    truncate -s $((files * 24 + 512 * 1024))K "$image"
    mkntfs --quick --force --quiet --label bench "$image" 2>/dev/null
    ntfs-3g "$image" "$mountpoint"
    ensure_tree "$mountpoint/tree"
fi
# Mounted again with the options under test: nothing of the writing stays in the daemon.
unmount
ntfs-3g ${KRV_NTFS_OPTIONS:+-o "$KRV_NTFS_OPTIONS"} "$image" "$mountpoint"
$bench/bench/bench_scan "$mountpoint/tree" "$@"
