#!/usr/bin/env bash
# Usage: exchange_test.sh PREFIX KRVSCAN HOLDFILE MAKESAMPLES
#
# The NT family changes only the file it detected, whatever happens beside it: krvscan --clean
# under Wine on an infected file held by a running program, while a process outside Wine (as
# whoever may write beside the tree) exchanges the file's folder with a folder outside the tree
# in one step, right after the scan's Nth open of the file (the detection is the first; then
# come the attribute reset, the open for writing and the copy). Under Wine file identities
# come from the inodes, so the checks are live. After every round, and again after a restart
# carries out what was registered, the outside folder must hold what it held: its read-only
# file whole and still read-only, its writable file whole, and nothing new.
set -euo pipefail
prefix=$1 krvscan=$2 holdfile=$3 makesamples=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-env.sh" "$prefix"
work=$(mktemp -d)
holder= exchanger=

cleanup() {
    exec 3>&- 5>&- 2>/dev/null || true
    [ -n "$holder" ] && wait "$holder" 2>/dev/null || true
    [ -n "$exchanger" ] && wait "$exchanger" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    rm -rf "$work"
    if [ -z "${KRV_KEEP_PREFIX:-}" ]; then rm -rf "$prefix"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$prefix"
bash "$root/scripts/wineprefix.sh" "$prefix" </dev/null >/dev/null 2>&1
c=$prefix/drive_c
mkdir -p "$c/samples"
wine "$makesamples" 'C:\samples' </dev/null >/dev/null 2>&1 || fail "makesamples"

# What a folder holds, by name: contents digest and mode of each entry.
state() { (cd "$1" && for f in *; do echo "$f $(sha256sum <"$f" | cut -c1-16) $(stat -c %a "$f")"; done); }

# The folder among the two that is, by inode, the outside one.
outside_now() {
    local top=$1 inode=$2
    for d in "$top/tree/sub" "$top/outside"; do
        [ "$(stat -c %i "$d")" = "$inode" ] && { echo "$d"; return; }
    done
}

rounds=0 exchanged=0
declare -A before inode
for n in 2 3 4 5 6; do
    for run in 1 2 3 4; do
        rounds=$((rounds + 1))
        top=$c/ex$rounds
        mkdir -p "$top/tree/sub" "$top/outside"
        cp "$c/samples/infected-entry1.exe" "$top/tree/sub/worm.exe"
        cp "$c/samples/clean.exe" "$top/outside/worm.exe"
        chmod 0444 "$top/outside/worm.exe"
        cp "$c/samples/clean.exe" "$top/outside/tool.exe"
        before[$rounds]=$(state "$top/outside")
        inode[$rounds]=$(stat -c %i "$top/outside")

        rm -f "$work/hold.in" "$work/hold.out" "$work/ex.in" "$work/ex.out"
        mkfifo "$work/hold.in" "$work/hold.out" "$work/ex.in" "$work/ex.out"
        wine "$holdfile" "C:\\ex$rounds\\tree\\sub\\worm.exe" <"$work/hold.in" >"$work/hold.out" 2>&1 &
        holder=$!
        exec 3>"$work/hold.in"
        read -r -t 120 line <"$work/hold.out" || fail "holdfile did not report"
        [ "${line%$'\r'}" = ready ] || fail "holdfile: $line"
        python3 "$root/tests/disinfect/exchange.py" "$top/tree/sub" "$top/outside" worm.exe "$n" \
            <"$work/ex.in" >"$work/ex.out" &
        exchanger=$!
        exec 5>"$work/ex.in"
        exec 6<"$work/ex.out"
        read -r -t 30 -u 6 line || fail "exchange.py did not report"
        [ "$line" = ready ] || fail "exchange.py: $line"

        wine "$krvscan" --clean "C:\\ex$rounds\\tree" </dev/null >"$work/scan.txt" 2>&1 || true

        exec 5>&-
        read -r -t 30 -u 6 line || line=
        exec 6<&-
        wait "$exchanger" || true
        exchanger=
        [ "$line" = exchanged ] && exchanged=$((exchanged + 1))
        exec 3>&-
        wait "$holder" || true
        holder=

        now=$(outside_now "$top" "${inode[$rounds]}")
        [ -n "$now" ] || fail "round $rounds (open $n): the outside folder is gone"
        [ "$(state "$now")" = "${before[$rounds]}" ] ||
            fail "round $rounds (open $n, $line): the outside folder changed:"$'\n'"$(state "$now")"$'\n'"$(tr -d '\r' <"$work/scan.txt")"
    done
done

# What the rounds left registered is carried out; the outside folders stay as they were.
wineserver -k 2>/dev/null || true
wineserver -w
wineboot -r </dev/null >/dev/null 2>&1
wineserver -w
for i in $(seq 1 $rounds); do
    now=$(outside_now "$c/ex$i" "${inode[$i]}")
    [ -n "$now" ] && [ "$(state "$now")" = "${before[$i]}" ] ||
        fail "round $i: the restart changed the outside folder"
done
echo "folder exchanged during the scan in $exchanged of $rounds rounds; nothing outside changed"
[ "$exchanged" -gt 0 ] || fail "no exchange happened: the test proved nothing"
