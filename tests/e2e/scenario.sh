#!/usr/bin/env bash
# The acceptance scenario: the worm's whole road on a Windows machine (Wine).
#
# Usage: scenario.sh RUN WORKDIR KORVANE-EXE PROGRAM-DIR
#   RUN        nt               NT family, all fixed drives, one held file beside the worm
#              win98            9x family, the tree chosen through Select Path's folder browser
#              win98-two-held   9x family, all fixed drives, two held files beside the worm
#   WORKDIR    scratch folder of this run (emptied first): prefix, tree, outputs, screenshot
#   PROGRAM-DIR where worm.exe, holder.exe, driver.exe and e2etool.exe were built
#
# A fresh prefix whose fixed drives are C: and D: (the tree). The worm's autostart value is
# planted beside two unrelated ones; a stand-in worm (its own image forged to carry signature
# entry 1) runs from D:, a holder keeps more infected files open; the real korvane.exe is driven
# through its window messages. Then the worm ends, the machine restarts (wineserver -k, -w,
# wineboot -r) and a second scan must find nothing. Needs an X display of its own
# (scripts/wine-tests.sh runs the Wine tests on one).
set -euo pipefail

run=$1 work=$2 korvane=$3 programs=$4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

case $run in
  nt)             family=nt; held_files=1; browse='';    run_value='System-Service' ;;
  win98)          family=9x; held_files=1; browse='D:\'; run_value='SYSTEM-SERVICE32' ;;
  win98-two-held) family=9x; held_files=2; browse='';    run_value='system-service host' ;;
  *) echo "scenario: unknown run '$run'" >&2; exit 2 ;;
esac
clean_count=3000
detection='Win32.Worm.Tamsel.A'
title='Korvane - Tamsel Removal Tool'
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'

fail() { echo "scenario[$run]: FAIL: $*" >&2; exit 1; }
note() { echo "scenario[$run]: $*"; }

# The scenario presses the dialog's buttons: never on the user's screen.
[ -n "${DISPLAY:-}" ] && [ -n "${KRV_OWN_DISPLAY:-}" ] ||
  fail "needs an X display of its own: run through scripts/wine-tests.sh, which starts Xvfb"
[ -f "$korvane" ] || fail "korvane.exe not built: $korvane"
for p in worm holder driver e2etool; do
  [ -f "$programs/$p.exe" ] || fail "test program not built: $programs/$p.exe"
done

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix tree=$work/tree out=$work/out
mkdir -p "$tree" "$out"
. "$root/scripts/wine-env.sh" "$prefix"

pids=()
cleanup() {
  local rc=$?
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  fi
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ $rc -eq 0 ] || echo "scenario[$run]: outputs kept in $work" >&2
  exit $rc
}
trap cleanup EXIT

w() { wine "$@" </dev/null; }

# Bounded wait for a test program's readiness marker; fails at once when the program has ended.
wait_for_ready() {
  local file=$1 what=$2 pid=$3 i
  for ((i = 0; i < 600; i++)); do
    [ -e "$file" ] && return 0
    kill -0 "$pid" 2>/dev/null || fail "$what ended before it got ready: $(cat "$out/$what.txt")"
    sleep 0.05
  done
  fail "$what did not get ready within 30 s ($file missing)"
}

# D:\a\b -> $tree/a/b
unix_path() {
  local p=${1#D:\\}
  printf '%s\n' "$tree/${p//\\//}"
}

# ---- 1. A fresh prefix, the tree as D:, the Run values ----
t0=$SECONDS
bash "$root/scripts/wineprefix.sh" "$prefix"
rm -f "$prefix/dosdevices/z:"
ln -s "$tree" "$prefix/dosdevices/d:"
# The mount manager reads the drive letters when the prefix starts: start it again to see D:.
wineserver -k || true
wineserver -w
wineserver -p
w cmd /c exit >/dev/null 2>&1 || true
if [ $family = 9x ]; then
  w reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
fi
note "fresh prefix in $((SECONDS - t0)) s ($family family)"

mkdir -p "$prefix/drive_c/e2e"
cp "$korvane" "$prefix/drive_c/e2e/korvane.exe"
for p in worm holder driver e2etool; do cp "$programs/$p.exe" "$prefix/drive_c/e2e/"; done
drv() { w 'C:\e2e\driver.exe' "$@"; }

# ---- 2. The tree: clean files of every kind, the infected samples, the worm's image ----
w 'C:\e2e\e2etool.exe' populate 'D:\' 'C:\e2e\manifest.txt' $clean_count $held_files >"$out/populate.txt" \
  || fail "populating the tree failed: $(cat "$out/populate.txt")"
mkdir -p "$tree/run"
w 'C:\e2e\e2etool.exe' forge-worm 'C:\e2e\worm.exe' 'D:\run\wormsvc.exe' >"$out/forge.txt" \
  || fail "forging the worm's image failed: $(cat "$out/forge.txt")"
w 'C:\e2e\e2etool.exe' detect 'D:\run\wormsvc.exe' 'C:\e2e\worm.exe' | tr -d '\r' >"$out/detect.txt"
grep -qx '1 D:\\run\\wormsvc.exe' "$out/detect.txt" || fail "the forged worm does not match entry 1: $(cat "$out/detect.txt")"
grep -qx -- '-1 C:\\e2e\\worm.exe' "$out/detect.txt" || fail "the unforged worm.exe matches a signature"
# A folder named "..." can only be made from outside Win32 (which drops trailing dots).
mkdir -p "$tree/..."
printf 'inside three dots\r\n' >"$tree/.../readme.txt"

tr -d '\r' <"$prefix/drive_c/e2e/manifest.txt" >"$out/manifest.txt"
echo 'HELD D:\run\wormsvc.exe 000' >>"$out/manifest.txt"
mapfile -t deleted_now < <(awk '$1 == "DELETE" { sub(/^DELETE /, ""); print }' "$out/manifest.txt")
mapfile -t held_paths < <(awk '$1 == "HELD" { print $2 }' "$out/manifest.txt")
mapfile -t held_numbers < <(awk '$1 == "HELD" { print $3 }' "$out/manifest.txt")
infected_unix() {
  for p in "${deleted_now[@]}" "${held_paths[@]}"; do unix_path "$p"; done
}

# ---- The worm's autostart value beside two unrelated ones ----
w reg add "$run_key" /v "$run_value" /d 'D:\run\wormsvc.exe' /f >/dev/null 2>&1
w reg add "$run_key" /v 'System-Servic' /d 'C:\windows\notepad.exe' /f >/dev/null 2>&1
w reg add "$run_key" /v 'Audio Mixer' /d 'C:\windows\system32\sndvol.exe' /f >/dev/null 2>&1

# ---- 3. The running worm and the holder ----
w 'D:\run\wormsvc.exe' 'C:\e2e\worm.ready' KrvE2EWormStop >"$out/worm.txt" 2>&1 &
worm_pid=$!; pids+=($worm_pid)
holder_args=()
for p in "${held_paths[@]}"; do [ "$p" = 'D:\run\wormsvc.exe' ] || holder_args+=("$p"); done
w 'C:\e2e\holder.exe' 'C:\e2e\holder.ready' KrvE2EHolderStop "${holder_args[@]}" >"$out/holder.txt" 2>&1 &
holder_pid=$!; pids+=($holder_pid)
wait_for_ready "$prefix/drive_c/e2e/worm.ready" worm "$worm_pid"
wait_for_ready "$prefix/drive_c/e2e/holder.ready" holder "$holder_pid"

# ---- What exists before the scan: checksums of every file, counts per drive ----
# The walk cannot list a folder named "..." under Wine (error 123): it counts the folder, not
# its files. Symbolic links (the prefix's user folders) are reparse points and not entered.
count_files() { find "$1" -path "$1/.../*" -prune -o -type f -print | wc -l; }
count_dirs() { find "$1" -path "$1/.../*" -prune -o -type d -print | wc -l; }
checksums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha1sum); }
checksums "$tree" >"$out/tree.before"
checksums "$prefix/drive_c" >"$out/c.before"
c_files=$(count_files "$prefix/drive_c") c_dirs=$(count_dirs "$prefix/drive_c")
d_files=$(count_files "$tree") d_dirs=$(count_dirs "$tree")
infected_list=$(infected_unix | sed "s|^$tree/|./|")
grep -vxF -f <(printf '%s\n' "$infected_list") <(awk '{ $1 = ""; sub(/^ /, ""); print }' "$out/tree.before") \
  >"$out/clean.list"
clean_files=$(wc -l <"$out/clean.list")
awk 'NR == FNR { clean[$0]; next } { f = $0; sub(/^[0-9a-f]+  /, "", f); if (f in clean) print }' \
  "$out/clean.list" "$out/tree.before" >"$out/clean.sums"
[ "$(wc -l <"$out/clean.sums")" -eq "$clean_files" ] || fail "could not select the clean files' checksums"
find "$tree" "$prefix/drive_c" -name '*.qx-*' | sort >"$out/qx.before"
note "tree: $d_files files in $d_dirs folders ($clean_files clean); C: $c_files files in $c_dirs folders"

# ---- 4. The scan, through the dialog ----
start_korvane() {
  # Z: would map the whole Linux file system as one more fixed drive.
  [ ! -e "$prefix/dosdevices/z:" ] || fail "the prefix maps Z: again"
  w 'C:\e2e\korvane.exe' >"$out/korvane-$1.txt" 2>&1 &
  korvane_pid=$!; pids+=($korvane_pid)
}
stop_korvane() {
  drv exit 30 || fail "Exit did not end the dialog"
  wait "$korvane_pid" || fail "korvane.exe ended with code $?"
}
# Rows of a driver output as "file<TAB>status", report rows excluded / only.
event_rows() { awk -F'\t' '$1 == "ROW" { if ($3 == "Scan report") exit; print $3 "\t" $4 }' "$1"; }
report_value() { awk -F'\t' -v l="$2" '$1 == "ROW" && $3 == l { print $4 }' "$1" | tail -n1; }

t0=$SECONDS
start_korvane scan1
if [ -n "$browse" ]; then
  drv scan 300 "$browse" >"$out/scan1.raw" || fail "driving the first scan failed"
else
  drv scan 300 >"$out/scan1.raw" || fail "driving the first scan failed"
fi
tr -d '\r' <"$out/scan1.raw" >"$out/scan1.txt"
import -window root "$work/report.png" || fail "screenshot failed"
stop_korvane
note "first scan driven in $((SECONDS - t0)) s"

# ---- 5. Checks after the scan ----
w reg query "$run_key" 2>/dev/null | tr -d '\r' >"$out/run-after.txt" || true
grep -qiF "$run_value" "$out/run-after.txt" && fail "the worm's Run value '$run_value' is still there"
grep -qF 'System-Servic ' "$out/run-after.txt" || fail "the unrelated value 'System-Servic' was removed"
grep -qF 'Audio Mixer' "$out/run-after.txt" || fail "the unrelated value 'Audio Mixer' was removed"

if [ -n "$browse" ]; then
  grep -qxF "TARGET	$browse" "$out/scan1.txt" || fail "the target field does not show the chosen $browse"
else
  grep -qxF "TARGET	All fixed drives" "$out/scan1.txt" || fail "the target field does not read All fixed drives"
fi

# The expected rows, file by file, each file's rows in their order.
expected_blocks() {
  local p i
  for p in "${deleted_now[@]}"; do
    printf '%s\tinfected: %s\n%s\tdeleted\n' "$p" "$detection" "$p"
    echo '--'
  done
  for i in "${!held_paths[@]}"; do
    p=${held_paths[$i]}
    local copy="$p.qx-${held_numbers[$i]}"
    printf '%s\tinfected: %s\n' "$p" "$detection"
    printf '%s\tcreating a copy for cleaning\n' "$p"
    printf '%s\tinfected: %s\n%s\tdeleted\n' "$copy" "$detection" "$copy"
    printf '%s\twill be deleted at restart\n' "$p"
    echo '--'
  done
}
expected_blocks >"$out/expected.blocks"
event_rows "$out/scan1.txt" >"$out/scan1.events"
# The actual rows must be the expected blocks, whole and in order, in whatever order the walk
# met the files, and nothing else.
awk -F'\t' '
  BEGIN { n = 1 }
  NR == FNR { if ($0 == "--") { n++; next } block[n] = block[n] $0 "\n"; len[n]++; first[$0] = (first[$0] == "" ? n : first[$0]); next }
  { rows[++m] = $0 }
  END {
    for (i = 1; i <= m; ) {
      b = first[rows[i]]
      if (b == "" || used[b]) { print "unexpected row " i ": " rows[i]; bad = 1; i++; continue }
      got = ""; for (k = 0; k < len[b]; k++) got = got rows[i + k] "\n"
      if (got != block[b]) { printf "rows from %d do not follow the expected order:\n%sexpected:\n%s", i, got, block[b]; bad = 1 }
      used[b] = 1; i += len[b]
    }
    for (b = 1; b < n; b++) if (!used[b]) { printf "missing rows:\n%s", block[b]; bad = 1 }
    exit bad
  }' "$out/expected.blocks" "$out/scan1.events" >"$out/rows.check" \
  || fail "rows differ from the expected ones: $(head -c 3000 "$out/rows.check")"

n_deleted=${#deleted_now[@]} n_held=${#held_paths[@]}
if [ -n "$browse" ]; then
  want_files=$((d_files + n_held)) want_dirs=$d_dirs
else
  want_files=$((c_files + d_files + n_held)) want_dirs=$((c_dirs + d_dirs))
fi
check_report() {
  local file=$1 label=$2 want=$3 got
  got=$(report_value "$file" "$label")
  [ "$got" = "$want" ] || fail "report row '$label' reads '$got', expected '$want' ($file)"
}
check_counts() {
  local file=$1 folders=$2 files=$3 infected=$4 deleted=$5 at_restart=$6
  [ "$(awk -F'\t' '$1 == "ROW" && $3 == "Scan report" { n++ } END { print n + 0 }' "$file")" = 1 ] \
    || fail "no single 'Scan report' row in $file"
  [ "$(awk -F'\t' '$1 == "ROW" && $3 == "Scan report" { print $4 }' "$file")" = "" ] \
    || fail "the 'Scan report' row has a status"
  local labels=("Folders:" "Files:" "Infected:" "Warnings:" "Suspicious:" "Cleaned:" "Deleted:"
                "Cleaned at restart:" "Deleted at restart:" "Unable to be cleaned:")
  local tail_labels
  tail_labels=$(awk -F'\t' '$1 == "ROW" { r[++n] = $3 } END { for (i = n - 9; i <= n; i++) print r[i] }' "$file")
  [ "$tail_labels" = "$(printf '%s\n' "${labels[@]}")" ] || fail "the report rows are not the ten labels in order"
  check_report "$file" "Folders:" "$folders"
  check_report "$file" "Files:" "$files"
  check_report "$file" "Infected:" "$infected"
  check_report "$file" "Warnings:" 0
  check_report "$file" "Suspicious:" 0
  check_report "$file" "Cleaned:" 0
  check_report "$file" "Deleted:" "$deleted"
  check_report "$file" "Cleaned at restart:" 0
  check_report "$file" "Deleted at restart:" "$at_restart"
  check_report "$file" "Unable to be cleaned:" 0
}
check_counts "$out/scan1.txt" "$want_dirs" "$want_files" $((n_deleted + 2 * n_held)) \
  $((n_deleted + n_held)) "$n_held"

warning_text='You should restart and rescan the computer\nin order to complete the disinfection process.'
[ "$(grep -c '^WARNING' "$out/scan1.txt")" = 1 ] || fail "expected exactly one restart warning"
grep -qxF "WARNING	$warning_text	$title" "$out/scan1.txt" || fail "wrong restart warning: $(grep '^WARNING' "$out/scan1.txt")"

for p in "${deleted_now[@]}"; do
  [ ! -e "$(unix_path "$p")" ] || fail "$p was not deleted"
done
for p in "${held_paths[@]}"; do
  [ -e "$(unix_path "$p")" ] || fail "$p vanished before the restart"
done
find "$tree" "$prefix/drive_c" -name '*.qx-*' | sort >"$out/qx.after"
cmp -s "$out/qx.before" "$out/qx.after" || fail "copies left or lost: $(diff "$out/qx.before" "$out/qx.after" || true)"
if [ $family = 9x ]; then
  ini=$(find "$prefix/drive_c/windows" -maxdepth 1 -iname wininit.ini | head -n1)
  [ -n "$ini" ] || fail "no wininit.ini after the scan under the 9x family"
  # The 9x start-up runs before long names exist: each file is named by its short form.
  for p in "${held_paths[@]}"; do
    s=$(winepath -s "$p" </dev/null 2>/dev/null | tr -d '\r')
    [ -n "$s" ] || fail "no short form of $p"
    tr -d '\r' <"$ini" | grep -qixF "NUL=$s" || fail "wininit.ini has no NUL=$s ($p): $(cat "$ini")"
  done
fi

# ---- 6. End the worm and the holder, restart the machine ----
drv signal KrvE2EWormStop || fail "cannot tell the worm to end"
drv signal KrvE2EHolderStop || fail "cannot tell the holder to end"
wait "$worm_pid" || fail "the worm ended with code $?"
wait "$holder_pid" || fail "the holder ended with code $?"
t0=$SECONDS
wineserver -k || true
wineserver -w
wineboot -r </dev/null >"$out/wineboot.txt" 2>&1 || fail "wineboot -r failed: $(cat "$out/wineboot.txt")"
wineserver -w
wineserver -p
w cmd /c exit >/dev/null 2>&1 || true
note "restart in $((SECONDS - t0)) s"

for p in "${held_paths[@]}"; do
  [ ! -e "$(unix_path "$p")" ] || fail "$p is still there after the restart"
done
(cd "$tree" && sha1sum --quiet -c "$out/clean.sums") >"$out/clean.check" 2>&1 \
  || fail "clean files changed or lost: $(head -20 "$out/clean.check")"
# Nothing in the prefix's drive C: was deleted, renamed or changed (files may be added, such
# as wininit.bak).
(cd "$prefix/drive_c" && sha1sum --quiet -c "$out/c.before") >"$out/c.check" 2>&1 \
  || fail "files of drive C: changed or lost: $(head -20 "$out/c.check")"
if [ $family = 9x ]; then
  [ -z "$(find "$prefix/drive_c/windows" -maxdepth 1 -iname wininit.ini)" ] \
    || fail "wininit.ini was not carried out at the restart"
fi

# ---- A second scan finds nothing ----
c_files2=$(count_files "$prefix/drive_c") c_dirs2=$(count_dirs "$prefix/drive_c")
d_files2=$(count_files "$tree") d_dirs2=$(count_dirs "$tree")
start_korvane scan2
if [ -n "$browse" ]; then
  drv scan 300 "$browse" >"$out/scan2.raw" || fail "driving the second scan failed"
  want_files2=$d_files2 want_dirs2=$d_dirs2
else
  drv scan 300 >"$out/scan2.raw" || fail "driving the second scan failed"
  want_files2=$((c_files2 + d_files2)) want_dirs2=$((c_dirs2 + d_dirs2))
fi
tr -d '\r' <"$out/scan2.raw" >"$out/scan2.txt"
import -window root "$work/rescan.png" || fail "screenshot failed"
stop_korvane
event_rows "$out/scan2.txt" >"$out/scan2.events"
[ ! -s "$out/scan2.events" ] || fail "the second scan has rows: $(head -20 "$out/scan2.events")"
! grep -q '^WARNING' "$out/scan2.txt" || fail "the second scan warned about a restart"
check_counts "$out/scan2.txt" "$want_dirs2" "$want_files2" 0 0 0

summary="summary ($family family${browse:+, target $browse chosen in the folder browser}):\
 files $want_files, infected $((n_deleted + 2 * n_held)), deleted $((n_deleted + n_held)),\
 deleted at restart $n_held, clean files verified $clean_files; rescan: files $want_files2, infected 0"
note "$summary"
note "screenshots: $work/report.png $work/rescan.png"
# Kept beside the screenshots, for the test command to print at its end.
note "$summary" >"$work/summary.txt"
# The prefix and the tree take some 600 MB; a failed run keeps them for a look.
wineserver -k || true
wineserver -w
rm -rf "$prefix" "$tree"
