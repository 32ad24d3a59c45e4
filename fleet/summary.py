#!/usr/bin/env python3
"""summary.py RESULTS HOST...: the fleet summary from what scan.yml fetched.

A host is clean when krvscan answered 0, infected when it answered 1 (its infected files are
listed), and failed otherwise or when nothing came back (the first line of its errors is shown).
"""
import json
import os
import sys


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return None


def main():
    results, hosts = sys.argv[1], sys.argv[2:]
    clean, infected, failed = [], {}, {}
    for host in hosts:
        status = read(os.path.join(results, host, "status.txt"))
        output = read(os.path.join(results, host, "output.json")) or ""
        errors = (read(os.path.join(results, host, "errors.txt")) or "").strip()
        if status is None or status.strip() not in ("0", "1"):
            reason = errors.splitlines()[0] if errors else "no result came back"
            failed[host] = reason
            continue
        if status.strip() == "0":
            clean.append(host)
            continue
        files = []
        for line in output.splitlines():
            row = json.loads(line)
            if row.get("status", "").startswith("infected: ") and row["file"] not in files:
                files.append(row["file"])
            elif row.get("status", "").startswith("autostart value"):
                files.append(row["file"])
        infected[host] = files
    print("hosts clean: %d%s" % (len(clean), (" (" + ", ".join(clean) + ")") if clean else ""))
    print("hosts infected: %d" % len(infected))
    for host, files in infected.items():
        print("  %s: %s" % (host, ", ".join(files)))
    print("hosts where the scan failed: %d" % len(failed))
    for host, reason in failed.items():
        print("  %s: %s" % (host, reason))


if __name__ == "__main__":
    main()
