#!/usr/bin/env bash
# Usage: fleet_test.sh KRVSCAN MAKESAMPLES
# The fleet playbook on an inventory of local hosts (local connection), each with a tree of its
# own: one clean, one infected, one whose target is missing, and one that names no target and
# must not be scanned at all. First report-only (nothing may change), then cleaning.
set -euo pipefail
krvscan=$(realpath "$1") makesamples=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
playbook=$here/../../fleet/scan.yml
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/run.txt" >&2 2>/dev/null || true; exit 1; }

mkdir -p "$work/clean" "$work/infected/sub"
"$makesamples" "$work/infected/sub" >/dev/null
echo "plain text" > "$work/clean/readme.txt"
python3=$(command -v /usr/bin/python3 || command -v python3)
cat > "$work/hosts.yml" <<YAML
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: $python3
  hosts:
    host-clean: {scan_paths: ["$work/clean"]}
    host-infected: {scan_paths: ["$work/infected"]}
    host-missing: {scan_paths: ["$work/no-such-folder"]}
    host-unset: {}
YAML

playbook() {
  local rc=0
  ANSIBLE_NOCOLOR=1 ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_LOCAL_TEMP="$work/tmp" \
  ANSIBLE_HOME="$work/ansible" ansible-playbook -i "$work/hosts.yml" "$playbook" \
    -e "krvscan=$krvscan" -e "results_dir=$work/results" "$@" >"$work/run.txt" 2>&1 || rc=$?
  # 2: some host failed, which host-unset must.
  [ "${rc:-0}" = 2 ] || fail "ansible-playbook answered ${rc:-0}"
}
summary_has() { grep -qF -- "$1" "$work/run.txt" || fail "summary lacks: $1"; }
worm=$work/infected/sub/infected-entry1.exe

playbook
summary_has '"hosts clean: 1 (host-clean)"'
summary_has '"hosts infected: 1"'
summary_has "$worm"
summary_has '"hosts where the scan failed: 2"'
summary_has 'host-missing: krvscan:'
summary_has 'no such file or folder'
summary_has '"  host-unset: no result came back"'
[ -e "$worm" ] || fail "report-only deleted $worm"

playbook -e clean=true
summary_has '"hosts infected: 1"'
[ ! -e "$worm" ] || fail "cleaning left $worm"
[ -e "$work/clean/readme.txt" ] || fail "a clean file was removed"
echo "fleet: report-only and cleaning runs summarised as expected"
