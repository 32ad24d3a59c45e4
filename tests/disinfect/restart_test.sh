#!/usr/bin/env bash
# Usage: restart_test.sh PREFIX KRVSCAN HOLDFILE MAKESAMPLES
#
# The restart-time work for real, in a Wine prefix of its own (made afresh at PREFIX and
# removed at the end unless KRV_KEEP_PREFIX is set):
#   1. NT family: an infected file held by a running program is copied, the copy deleted, the
#      file's deletion registered; a second scan before the restart names it as waiting and
#      registers nothing more; after the holder has ended, Wine's simulated restart
#      (wineserver -k; wineserver -w; wineboot -r) deletes it.
#   2. 9x family (Version win98, GetVersion with bit 31): two held files; their lines go into
#      the [rename] section of wininit.ini beside another program's line, and the restart
#      carries out all three.
#   3. All fixed drives: a drive Wine calls a CD-ROM is never walked, a second fixed drive is.
set -euo pipefail
prefix=$1 krvscan=$2 holdfile=$3 makesamples=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-env.sh" "$prefix"
work=$(mktemp -d)
holder=

cleanup() {
    exec 3>&- 2>/dev/null || true
    [ -n "$holder" ] && wait "$holder" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    rm -rf "$work"
    if [ -z "${KRV_KEEP_PREFIX:-}" ]; then rm -rf "$prefix"; fi
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.txt; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
    exit 1
}

# Runs a Wine program detached from our pipes (Wine's background processes might hold them).
quiet_wine() { wine "$@" </dev/null >/dev/null 2>&1; }
# The short (8.3) form of an existing path, as the 9x start-up needs it in wininit.ini.
short_path() { winepath -s "$1" </dev/null 2>/dev/null | tr -d '\r'; }

# Cleans $1 ('' for all fixed drives) with krvscan, which must answer the exit status $2 (3: a
# file waits for the restart); rows in $work/scan.txt, without the CRs.
scan() {
    local rc=0
    if [ -n "$1" ]; then
        wine "$krvscan" --clean "$1" </dev/null >"$work/raw.out" 2>"$work/scan-err.txt" || rc=$?
    else
        wine "$krvscan" --clean --all-fixed-drives </dev/null >"$work/raw.out" \
            2>"$work/scan-err.txt" || rc=$?
    fi
    tr -d '\r' <"$work/raw.out" >"$work/scan.txt"
    [ "$rc" = "$2" ] || fail "krvscan exit code $rc, not $2"
}

# Starts holdfile on the given files and returns once it holds them all.
hold() {
    rm -f "$work/hold.in" "$work/hold.out"
    mkfifo "$work/hold.in" "$work/hold.out"
    wine "$holdfile" "$@" <"$work/hold.in" >"$work/hold.out" 2>&1 &
    holder=$!
    exec 3>"$work/hold.in"
    exec 4<"$work/hold.out"
    local line=
    read -r -t 120 -u 4 line || fail "holdfile did not report within 120 s"
    exec 4<&-
    [ "${line%$'\r'}" = ready ] || fail "holdfile: $line"
}

# Lets the holder go and waits until it has ended.
release() {
    exec 3>&-
    wait "$holder" || fail "holdfile ended with an error"
    holder=
}

restart() {
    wineserver -k 2>/dev/null || true
    wineserver -w
    wineboot -r </dev/null >/dev/null 2>&1
    wineserver -w
}

expect_rows() {   # expect_rows PATH-PREFIX EXPECTED-TEXT
    local got
    got=$(grep -F "$1" "$work/scan.txt" || true)
    [ "$got" = "$2" ] || fail "rows for $1:"$'\n'"$got"$'\n'"expected:"$'\n'"$2"
}

expect_row() { grep -qxF "$1" "$work/scan.txt" || fail "no row \"$1\""; }

rm -rf "$prefix"
bash "$root/scripts/wineprefix.sh" "$prefix" </dev/null >/dev/null 2>&1
c=$prefix/drive_c
name='Win32.Worm.Tamsel.A'
tab=$'\t'

# ---- 1. NT family ------------------------------------------------------------------------
mkdir -p "$c/nt"
quiet_wine "$makesamples" 'C:\nt' || fail "makesamples"
[ -f "$c/nt/infected-entry1.exe" ] || fail "no samples in C:\\nt"
hold 'C:\nt\infected-entry1.exe'
scan 'C:\nt' 3
f='C:\nt\infected-entry1.exe'
expect_rows "$f" "$f${tab}infected: $name
$f${tab}creating a copy for cleaning
$f.qx-000${tab}infected: $name
$f.qx-000${tab}deleted
$f${tab}will be deleted at restart"
expect_row "Deleted at restart:${tab}1"
# A second scan before the restart leaves the file that waits as it is: one row, no copy, and
# its deletion registered once.
scan 'C:\nt' 3
expect_rows "$f" "$f${tab}infected: $name
$f${tab}will be deleted at restart"
expect_row "Deleted at restart:${tab}1"
wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
    </dev/null 2>/dev/null | tr -d '\r' >"$work/pending.txt" || true
[ "$(grep -o 'infected-entry1\.exe' "$work/pending.txt" | wc -l)" = 1 ] ||
    fail "the deletion registered more than once: $(cat "$work/pending.txt")"
release
[ -f "$c/nt/infected-entry1.exe" ] || fail "held file gone before the restart"
[ ! -e "$c/nt/infected-entry1.exe.qx-000" ] || fail "copy left behind"
[ ! -e "$c/nt/infected-entry2.exe" ] || fail "a file nobody held was not deleted at once"
restart
[ ! -e "$c/nt/infected-entry1.exe" ] || fail "NT family: the restart did not delete the file"
[ -f "$c/nt/clean.exe" ] || fail "NT family: a clean file went"
echo "NT family: held file deleted at restart"

# ---- 2. 9x family ------------------------------------------------------------------------
quiet_wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f
mkdir -p "$c/nine"
quiet_wine "$makesamples" 'C:\nine' || fail "makesamples"
echo "left by another program" >"$c/nine/other.tmp"
printf '[boot]\r\nshell=explorer.exe\r\n[rename]\r\nNUL=C:\\nine\\other.tmp\r\n' >"$c/windows/wininit.ini"
hold 'C:\nine\infected-entry2.exe' 'C:\nine\infected.dll'
scan 'C:\nine' 3
for f in 'C:\nine\infected-entry2.exe' 'C:\nine\infected.dll'; do
    expect_rows "$f" "$f${tab}infected: $name
$f${tab}creating a copy for cleaning
$f.qx-000${tab}infected: $name
$f.qx-000${tab}deleted
$f${tab}will be deleted at restart"
done
expect_row "Deleted at restart:${tab}2"
tr -d '\r' <"$c/windows/wininit.ini" >"$work/wininit.txt"
expected="[boot]
shell=explorer.exe
[rename]
NUL=C:\\nine\\other.tmp
NUL=$(short_path 'C:\nine\infected-entry2.exe')
NUL=$(short_path 'C:\nine\infected.dll')"
[ "$(cat "$work/wininit.txt")" = "$expected" ] || fail "wininit.ini:"$'\n'"$(cat "$work/wininit.txt")"
release
[ -f "$c/nine/infected-entry2.exe" ] && [ -f "$c/nine/infected.dll" ] || fail "held files gone before the restart"
restart
for f in infected-entry2.exe infected.dll other.tmp; do
    [ ! -e "$c/nine/$f" ] || fail "9x family: the restart did not delete $f"
done
[ ! -e "$c/windows/wininit.ini" ] || fail "9x family: wininit.ini still pending"
[ -f "$c/nine/clean.exe" ] || fail "9x family: a clean file went"
echo "9x family: both held files and the other program's entry done at restart"

# ---- 3. all fixed drives: a CD-ROM drive is never walked ------------------------------------
quiet_wine reg delete 'HKCU\Software\Wine' /v Version /f || true
rm -rf "$c/nt" "$c/nine"
mkdir -p "$c/cd" "$c/fixed"
quiet_wine "$makesamples" 'C:\cd' || fail "makesamples"
quiet_wine "$makesamples" 'C:\fixed' || fail "makesamples"
mv "$c/cd" "$work/cd"
mv "$c/fixed" "$work/fixed"
ln -sfn "$work/cd" "$prefix/dosdevices/d:"
ln -sfn "$work/fixed" "$prefix/dosdevices/e:"
rm -f "$prefix/dosdevices/z:"
quiet_wine reg add 'HKLM\Software\Wine\Drives' /v 'd:' /d cdrom /f
restart   # drive types are read when the server starts
scan '' 1
grep -q '^D:' "$work/scan.txt" && fail "the CD-ROM drive was walked"
expect_row "E:\\infected-entry1.exe${tab}deleted"
[ -f "$work/cd/infected-entry1.exe" ] || fail "a file on the CD-ROM drive went"
[ ! -e "$work/fixed/infected-entry1.exe" ] || fail "the second fixed drive was not walked"
grep -q "^Folders:${tab}[1-9]" "$work/scan.txt" || fail "no folders counted"
echo "all fixed drives: C: and E: walked, the CD-ROM drive D: not"
