#!/usr/bin/env bash
# The whole-scan benchmark on ext4 and on NTFS read through ntfs-3g, in one run.
#
#   bench-scan.sh [--against [REV]] [--ext4 | --ntfs] [--shape default|wide]
#                 [REPETITIONS [COLD-REPETITIONS]]
#
# Builds the Release benchmark in build/bench and writes the generated tree (KRV_BENCH_FILES
# files, 100,000 by default) once into build/bench/tree on the disk the project lies on, or,
# with --shape wide, the tree of many folders of about 30 files and programs of up to a few MiB
# (bench/gentree.cpp) into build/bench/tree-wide.
#
# Without --against: measures the scan against the floor of opening and reading the same
# records, warm and (as root, who may empty the page cache) cold: files per second, the time
# ratios, the scan with and without read-ahead, and peak memory. The numbers go to bench_scan
# (the warm repetitions, then the cold ones).
#
# With --against REV (by default HEAD~1, the commit before this one; for a merge, its first
# parent): builds krvscan of REV from `git archive` in build/bench/against-src (Release, in
# build/bench/against) and times, in the same run, `krvscan --report-only TREE` of REV (A) and
# of this working tree (B), the 64-thread plain reader and the one-file-at-a-time walker
# (bench/treeread.cpp), interleaved round by round, warm and cold (scripts/bench_ab.py): the
# median and spread of B/A and of each scanner over the readers and over the walker, each
# program's median time and peak memory. The numbers are the warm rounds, then the cold ones
# (5 and 5 by default). A comparison whose two scans differ in status, rows or counts is void.
# Figures count only from a quiet machine: no build, no test, nothing else of yours running;
# each case says how busy the processors were with other work.
#
# The NTFS part (as root, with Debian's ntfs-3g): an image build/bench/ntfs.img (ntfs-wide.img
# for the wide shape) made by mkntfs, holding the same generated tree, mounted through ntfs-3g
# on build/bench/ntfs with the options in KRV_NTFS_OPTIONS (none by default). A cold run there
# starts with the page cache emptied, which drops both the FUSE mount's pages and the image's
# own pages on the disk below it. The image is kept for the next run while its tree list is
# complete; it is unmounted however the run ends.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: bench-scan.sh [--against [REV]] [--ext4 | --ntfs] [--shape default|wide]" \
         "[REPETITIONS [COLD-REPETITIONS]]" >&2
    exit 2
}

mode=both
shape=default
against=
while [ $# -gt 0 ]; do
    case "$1" in
        --ext4) mode=ext4; shift ;;
        --ntfs) mode=ntfs; shift ;;
        --shape)
            [ $# -ge 2 ] && { [ "$2" = default ] || [ "$2" = wide ]; } || usage
            shape=$2; shift 2 ;;
        --against=*) against=${1#--against=}; shift ;;
        --against)
            # The next word is REV when it names a commit (a repetition count never does: an
            # abbreviated commit id has at least four digits).
            if [ $# -ge 2 ] && [ "${2#-}" = "$2" ] &&
               git rev-parse --verify -q "$2^{commit}" >/dev/null; then
                against=$2; shift 2
            else
                against=HEAD~1; shift
            fi ;;
        -*) usage ;;
        *) break ;;
    esac
done
files=${KRV_BENCH_FILES:-100000}
bench=build/bench

if [ -n "$against" ]; then
    against_commit=$(git rev-parse --verify -q "$against^{commit}") ||
        { echo "bench-scan.sh: $against names no commit" >&2; exit 2; }
fi

cmake -S . -B $bench -DCMAKE_BUILD_TYPE=Release -DKRV_BENCH=ON -DKRV_TESTS=OFF >/dev/null
if [ -n "$against" ]; then
    cmake --build $bench -j2 --target gentree treeread runone krvscan
    # REV's sources, extracted again only when they are another commit's; built as the working
    # tree is (the compiler launcher, ccache here, comes from CMAKE_CXX_COMPILER_LAUNCHER).
    source=$bench/against-src
    if [ "$(cat $source.commit 2>/dev/null)" != "$against_commit" ]; then
        rm -rf $source $source.commit
        mkdir -p $source
        git archive "$against_commit" | tar -x -C $source
        echo "$against_commit" >$source.commit
    fi
    cmake -S $source -B $bench/against -DCMAKE_BUILD_TYPE=Release -DKRV_TESTS=OFF >/dev/null
    cmake --build $bench/against -j2 --target krvscan
    name_a=$(git rev-parse --short "$against_commit")
    name_b=$(git rev-parse --short HEAD)
    [ -z "$(git status --porcelain --untracked-files=no)" ] || name_b="$name_b+changes"
else
    cmake --build $bench -j2 --target gentree bench_scan
fi

# Whether the list $1 says its tree is complete, of $files files and of this shape (the list is
# written last, so a tree cut short has none).
tree_complete() {
    grep -qx "files $files" "$1" 2>/dev/null &&
        if [ $shape = wide ]; then grep -qx "shape wide" "$1"; else ! grep -q "^shape " "$1"; fi
}

# Writes the tree into $1 unless a complete one is there.
ensure_tree() {
    if ! tree_complete "$1.list"; then
        rm -rf "$1" "$1.list"
        $bench/bench/gentree --shape $shape "$1" "$files"
    fi
}

# Measures the tree $1, the file system named $2, mounted through FUSE on $3 if given.
measure() {
    if [ -n "$against" ]; then
        python3 scripts/bench_ab.py --tree "$1" --against $bench/against/app/krvscan \
            --this $bench/app/krvscan --treeread $bench/bench/treeread \
            --names "$name_a" "$name_b" --label "$2, $shape tree" \
            --warm "${repetitions:-5}" --cold "${cold_repetitions:-5}" ${3:+--fuse-mount "$3"}
    else
        $bench/bench/bench_scan "$1" "${bench_args[@]}"
    fi
}
repetitions=${1:-}
cold_repetitions=${2:-}
bench_args=("$@")

tree=$bench/tree
image=$bench/ntfs.img
if [ $shape = wide ]; then
    tree=$bench/tree-wide
    image=$bench/ntfs-wide.img
fi

if [ $mode != ntfs ]; then
    echo "==== ext4 ($(df --output=fstype $bench | tail -1) under $tree)"
    ensure_tree $tree
    measure "$PWD/$tree" ext4
fi

[ $mode = ext4 ] && exit 0
echo "==== NTFS through ntfs-3g (mount options: ${KRV_NTFS_OPTIONS:-none})"
if [ "$(id -u)" -ne 0 ] || ! command -v mkntfs >/dev/null || ! command -v ntfs-3g >/dev/null; then
    echo "not measured: needs root and ntfs-3g (scripts/setup.sh installs it)"
    [ $mode = ntfs ] && exit 1
    exit 0
fi
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
# and written anew unless it holds a complete tree of this size and shape.
if ! { [ -f "$image" ] && ntfs-3g "$image" "$mountpoint" &&
       tree_complete "$mountpoint/tree.list"; }; then
    unmount
    rm -f "$image"
    per_file=24
    [ $shape = wide ] && per_file=48   # about 21 KB a file on average, a few up to 4 MiB
    truncate -s $((files * per_file + 512 * 1024))K "$image"
    mkntfs --quick --force --quiet --label bench "$image" 2>/dev/null
    ntfs-3g "$image" "$mountpoint"
    ensure_tree "$mountpoint/tree"
fi
# Mounted again with the options under test: nothing of the writing stays in the daemon.
unmount
ntfs-3g ${KRV_NTFS_OPTIONS:+-o "$KRV_NTFS_OPTIONS"} "$image" "$mountpoint"
measure "$mountpoint/tree" "NTFS (ntfs-3g)" "$mountpoint"
