#!/usr/bin/env bash
# Usage: fleet_test.sh KRVSCAN MAKESAMPLES
# The fleet playbook on an inventory of local hosts (local connection), each with a tree of its
# own: one clean, one infected, one whose target is missing, one that names no target, one that
# asks for every fixed drive, one whose scanner crashes, and one that cannot be reached. Run
# from another folder with a relative scanner path, as the README says. Four runs: report only
# (nothing may change); two hosts with cleaning set on one of them alone; then the clean host
# unreachable, whose earlier results must not answer for it; and two hosts whose summary fails.
# Each run has a folder of its own, and no host keeps the run's temporary folder; the recap
# charges each host with its own outcome.
set -euo pipefail
krvscan=$(realpath "$1") makesamples=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
playbook=$here/../../fleet/scan.yml
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/run.txt" "$run/summary.txt" >&2 2>/dev/null || true; exit 1; }

mkdir -p "$work/clean" "$work/infected/sub" "$work/hosttmp" "$work/remotetmp" "$work/bin" \
  "$work/drives" "$work/crash"
"$makesamples" "$work/infected/sub" >/dev/null
echo "plain text" > "$work/clean/readme.txt"
# The scanner the hosts get notes how it was called; asked for every fixed drive, it scans an
# empty folder (this machine's drives are not the test's to scan). On the crashing host it is
# killed by SIGSEGV once its output is complete.
cat > "$work/bin/krvscan" <<SH
#!/bin/sh
echo "\$*" >> "$work/calls.txt"
case " \$* " in
*" --all-fixed-drives "*) exec "$krvscan" --json -- "$work/drives" ;;
*" $work/crash "*) "$krvscan" "\$@"; kill -SEGV \$\$ ;;
esac
exec "$krvscan" "\$@"
SH
chmod +x "$work/bin/krvscan"
python3=$(command -v /usr/bin/python3 || command -v python3)

inventory() {   # inventory FILE CLEAN-HOST-LINE
  cat > "$1" <<YAML
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: $python3
    scan_tmp: $work/hosttmp
  hosts:
    $2
    host-infected: {scan_paths: ["$work/infected"], clean: true}
    host-missing: {scan_paths: ["$work/no-such-folder"]}
    host-unset: {}
    host-drives: {all_fixed_drives: true}
    host-crash: {scan_paths: ["$work/crash"]}
    host-down: {ansible_connection: ssh, ansible_host: 127.0.0.1, ansible_port: 1,
                ansible_ssh_common_args: "-o ConnectTimeout=5 -o BatchMode=yes"}
YAML
}
inventory "$work/hosts.yml" "host-clean: {scan_paths: [\"$work/clean\"]}"
inventory "$work/hosts-down.yml" "host-clean: {ansible_connection: ssh, ansible_host: 127.0.0.1,
                ansible_port: 1, ansible_ssh_common_args: \"-o ConnectTimeout=5 -o BatchMode=yes\"}"

# playbook EXPECTED-STATUS INVENTORY ARGS...: one run from $work, the scanner's path relative.
playbook() {
  local want=$1 hosts=$2 rc=0
  shift 2
  (cd "$work" && ANSIBLE_NOCOLOR=1 ANSIBLE_STDOUT_CALLBACK=default \
    ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_REMOTE_TMP="$work/remotetmp" \
    ANSIBLE_HOME="$work/ansible" ANSIBLE_HOST_KEY_CHECKING=False \
    ansible-playbook -i "$hosts" "$playbook" -e krvscan=bin/krvscan -e results_root=results \
    "$@") >"$work/run.txt" 2>&1 || rc=$?
  run=$(ls -td "$work"/results/*/ 2>/dev/null | head -1) || true
  [ -n "$run" ] || fail "no results folder under $work/results"
  [ "$rc" = "$want" ] || fail "ansible-playbook answered $rc, not $want"
  [ -z "$(ls -A "$work/hosttmp")" ] || fail "a host kept its folder: $(ls "$work/hosttmp")"
  [ -z "$(find "$work/remotetmp" -mindepth 1 -maxdepth 1)" ] || fail "Ansible's folder was left"
}
has() { grep -qxF -- "$1" "$run/summary.txt" || fail "summary lacks: $1"; }
# failures HOST N: the recap charges the host with N failed tasks.
failures() {
  grep -qE "^$1 +: .* failed=$2 " "$work/run.txt" || fail "the recap does not give $1 failed=$2"
}
lacks() { ! grep -qF -- "$1" "$run/summary.txt" || fail "summary has: $1"; }
worm=$work/infected/sub/infected-entry1.exe

# 1: report only, every host; clean: true set on a host does not hold against -e clean=false.
playbook 2 "$work/hosts.yml" -e clean=false
first=$run
has "clean: 2 (host-clean, host-drives)"
has "found, some left: 1 (host-infected)"
has "failed: 4 (host-missing, host-unset, host-crash, host-down)"
grep -qE "^host-crash: failed: krvscan ended with exit status 139 \(killed by signal 11\)" \
  "$run/summary.txt" || fail "host-crash's reason"
has "host-infected: found 4, removed 0, left 4, not scanned 0"
has "  left: $worm (left in place: report only)"
grep -qE "^host-missing: failed: krvscan: .*no-such-folder.*: no such file or folder$" \
  "$run/summary.txt" || fail "host-missing's reason"
has "host-unset: failed: Know what to scan: give the host scan_paths or all_fixed_drives: true (one of them)"
grep -qE "^host-down: failed: unreachable: .*(refused|connect)" "$run/summary.txt" ||
  fail "host-down's reason"
[ -e "$worm" ] || fail "report-only deleted $worm"
# Each host answers for its own outcome in the recap: the failed ones, the one that keeps what
# was found; not the clean ones.
for host in host-infected host-missing host-unset host-crash host-down; do
  failures $host 1
done
for host in host-clean host-drives; do failures $host 0; done
grep -qxF -- "--json --all-fixed-drives" "$work/calls.txt" || fail "host-drives was not run so"
! grep -qF -- "--clean" "$work/calls.txt" || fail "a scan ran with --clean"

# 2: the two good hosts; the infected one cleans by its own variable; all gone: status 0.
sleep 1   # runs are named by the second they start
playbook 0 "$work/hosts.yml" --limit host-clean,host-infected
[ "$run" != "$first" ] || fail "the second run wrote into the first run's folder"
has "results: ${run%/}, 2 hosts"
has "clean: 1 (host-clean)"
has "found, all removed: 1 (host-infected)"
has "failed: 0"
failures host-clean 0
failures host-infected 0
has "host-infected: found 4, removed 4, left 0, not scanned 0"
has "  removed: $worm"
[ ! -e "$worm" ] || fail "cleaning left $worm"
[ -e "$work/clean/readme.txt" ] || fail "a clean file was removed"
grep -qxF -- "--json --clean -- $work/infected" "$work/calls.txt" || fail "no --clean for the host"
! grep -qF -- "--clean -- $work/clean" "$work/calls.txt" || fail "host-clean ran with --clean"

# 3: host-clean unreachable; its clean result of the runs before must not count.
sleep 1
playbook 2 "$work/hosts-down.yml" --limit host-clean
has "failed: 1 (host-clean)"
lacks "clean: 1"
failures host-clean 1
[ "$(ls "$work/results" | wc -l)" = 3 ] || fail "not one folder per run"

# 4: a summary that fails itself (here one that exits 70 at once) leaves no host looking fine:
# each fails, not the first alone.
mkdir "$work/broken"
cp "$playbook" "$work/broken/scan.yml"
printf 'import sys\nsys.exit(70)\n' > "$work/broken/summary.py"
sleep 1
playbook=$work/broken/scan.yml playbook 2 "$work/hosts.yml" --limit host-clean,host-infected
failures host-clean 1
failures host-infected 1
grep -qF "the summary failed (exit status 70)" "$work/run.txt" || fail "the summary's failure"
echo "fleet: four runs summarised as expected; the first:"
cat "$first/summary.txt"
