#!/usr/bin/env bash
# Usage: krvscan_test.sh KRVSCAN MAKESAMPLES
# The console scanner on a folder of forged samples: one row per event as "file<TAB>status",
# the report last, exit code 1 when something was infected, 0 on a clean folder, 2 on misuse.
set -euo pipefail
krvscan=$1 makesamples=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/out.txt" ] && cat "$work/out.txt" >&2; exit 1; }
tab=$'\t'

mkdir -p "$work/tree/sub" "$work/tree/empty"
"$makesamples" "$work/tree/sub" >/dev/null || fail "makesamples"
chmod a-w "$work/tree/sub/infected.dll"          # read-only: deleted all the same
rc=0
"$krvscan" "$work/tree" >"$work/out.txt" 2>"$work/err.txt" || rc=$?
[ "$rc" = 1 ] || fail "exit code $rc for an infected folder"
for f in infected-entry1.exe infected-entry2.exe infected.dll infected-pe32plus.exe; do
    p="$work/tree/sub/$f"
    got=$(grep -F "$p$tab" "$work/out.txt" || true)
    [ "$got" = "$p${tab}infected: Win32.Worm.Tamsel.A
$p${tab}deleted" ] || fail "rows for $f"
    [ ! -e "$p" ] || fail "$f not deleted"
done
expected="Scan report$tab
Folders:${tab}3
Files:${tab}18
Infected:${tab}4
Warnings:${tab}0
Suspicious:${tab}0
Cleaned:${tab}0
Deleted:${tab}4
Cleaned at restart:${tab}0
Deleted at restart:${tab}0
Unable to be cleaned:${tab}0"
[ "$(tail -n 11 "$work/out.txt")" = "$expected" ] || fail "report"
[ "$(wc -l <"$work/out.txt")" = 19 ] || fail "rows beyond the eight events and the report"
grep -q "restart and rescan" "$work/err.txt" || fail "no restart warning"

rc=0
"$krvscan" "$work/tree" >"$work/out.txt" 2>"$work/err.txt" || rc=$?
[ "$rc" = 0 ] || fail "exit code $rc for a clean folder"
grep -qx "Files:${tab}14" "$work/out.txt" || fail "second scan's counters"
[ ! -s "$work/err.txt" ] || fail "a warning on a clean folder"

rc=0
"$krvscan" a b >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "exit code $rc for two arguments"
rc=0
"$krvscan" "$(printf 'x%.0s' $(seq 1 300))" >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "exit code $rc for a folder longer than the target buffer"
echo "krvscan: rows, report, exit codes"
