#!/usr/bin/env python3
"""summary.py RUN [HOST...]: the fleet summary of one run's results folder.

RUN holds one folder per host, as fleet/scan.yml fetches them and as fleet/windows/krvscan.cmd
and krvscan.bat write them on the results share:

    RUN/HOST/output.json   what krvscan --json wrote (JSON Lines: rows, then the report)
    RUN/HOST/status.txt    its exit status
    RUN/HOST/errors.txt    its standard error (the 9x family cannot keep it)
    RUN/HOST/failed.txt    why the host could not be scanned (written by the playbook)

With HOST names, exactly those hosts are summarised (a host with no folder failed: nothing came
back); without, every folder in RUN. For each host: what was found, what was removed, what was
left (and why) and what could not be scanned. A host failed when it was unreachable, when its
output is missing, unreadable or cut short, when the scan did not run to its end, or when its
exit status says it could not start.

The exit status follows krvscan's, over the whole fleet: 2 some host failed; 3 something found
is still there; 4 part of some host could not be scanned; 1 something was found and all of it
removed; 0 nothing found anywhere. An error in this program itself exits 2 too.
"""
import json
import os
import sys
import traceback

# What a row says happened to its file. Rows carry "event" where the scanner is new enough;
# "status" (the text the dialog shows) always, and is read when "event" is absent or unknown.
FOUND, REMOVED, LEFT, UNSCANNED, ACCESS = "found removed left unscanned access".split()
EVENTS = {
    "infected": FOUND, "suspect": FOUND,
    "deleted": REMOVED, "cleaned": REMOVED, "autostart_removed": REMOVED,
    "autostart_value_removed": REMOVED,
    "unable_to_clean": LEFT, "will_be_deleted_at_restart": LEFT,
    "will_be_cleaned_at_restart": LEFT, "left_in_place": LEFT, "autostart_found": LEFT,
    "autostart_value_found": LEFT,
    "unable_to_open": UNSCANNED, "unable_to_open_file": UNSCANNED, "not_scanned": UNSCANNED,
    "unscanned": UNSCANNED,
    "error_accessing_file": ACCESS, "access_error": ACCESS,
}
STATUSES = {
    "deleted": REMOVED, "cleaned": REMOVED, "autostart value removed": REMOVED,
    "unable to clean": LEFT, "will be deleted at restart": LEFT,
    "will be cleaned at restart": LEFT, "left in place: report only": LEFT,
    "autostart value found: report only": LEFT,
    "unable to open file": UNSCANNED,
    "error accessing file": ACCESS,
}
NOT_SCANNED = "krvscan: not scanned: "
PATH_KEYS = ("file", "path", "folder", "not_scanned", "unscanned")
EXIT_FAILED, EXIT_LEFT, EXIT_UNSCANNED, EXIT_REMOVED, EXIT_CLEAN = 2, 3, 4, 1, 0


def shown(text):
    """Text safe for a terminal: control characters as \\xHH, as krvscan prints them."""
    return "".join("\\x%02X" % ord(c) if ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 else c
                   for c in str(text))


def read_text(path):
    """A small file's text, or None when it is missing, unreadable or not a plain file."""
    try:
        if os.path.islink(path) or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read(65536).decode("utf-8", "replace")
    except OSError:
        return None


def kind_of(row):
    event = row.get("event")
    if isinstance(event, str) and event in EVENTS:
        return EVENTS[event]
    status = row.get("status")
    if not isinstance(status, str):
        return None
    if status.startswith(("infected: ", "suspect: ")):
        return FOUND
    return STATUSES.get(status)


class Host:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.files = {}          # what was found: path -> [outcome, why], in the order found
        self.unscanned = {}      # path -> reason
        self.report = None
        self.reported = {}       # counters the report states itself, where it does
        self.status = None       # krvscan's exit status, where it came back as a number

    def fail(self, reason):
        if reason not in self.failures:
            self.failures.append(reason)

    def row(self, row):
        path = next((row[k] for k in PATH_KEYS if isinstance(row.get(k), str)), None)
        kind = kind_of(row)
        if path is None:
            return
        if kind is None:
            # A part not scanned, as an object of its own: a path and a reason, no status.
            if "status" not in row and "event" not in row and "reason" in row:
                self.unscanned.setdefault(path, str(row["reason"]))
            return
        entry = self.files.get(path)
        status = row.get("status") if isinstance(row.get("status"), str) else ""
        if kind in (FOUND, REMOVED, LEFT) and entry is None:
            # The autostart value is found and dealt with in one row.
            entry = self.files[path] = [None, None]
        if kind in (REMOVED, LEFT):
            entry[0], entry[1] = kind, status or row.get("event")
        elif kind == UNSCANNED:
            self.unscanned.setdefault(path, str(row.get("reason") or status))
        elif kind == ACCESS and entry is None:
            # Before anything was found it is the reading that failed; after, the cleaning.
            self.unscanned.setdefault(path, status)

    def lists(self):
        """found, removed, left [(path, why)] and unscanned [(path, reason)]."""
        found, removed, left = [], [], []
        for path, (outcome, why) in self.files.items():
            copy = is_copy(path, self.files)
            if outcome == REMOVED:
                if not copy:
                    found.append(path)
                    removed.append(path)
            else:
                # Found with nothing done about it is still there, whatever the cause.
                found.append(path)
                left.append((path, why or "no outcome recorded"))
        unscanned = [(p, r) for p, r in self.unscanned.items() if p not in self.files]
        return found, removed, left, unscanned


def is_copy(path, files):
    """The scanner's copy of a locked file is named after it: FILE.qx-NNN (hexadecimal)."""
    base, dot, suffix = path.rpartition(".qx-")
    return bool(dot) and len(suffix) == 3 and all(c in "0123456789ABCDEF" for c in suffix) \
        and base in files


def read_output(host, path):
    """Reads the rows and the report into `host`; answers what is wrong with the output."""
    problems = []
    try:
        if os.path.islink(path) or not os.path.isfile(path):
            return ["no output came back"]
        f = open(path, "rb")
    except OSError as e:
        return ["output unreadable: %s" % e.strerror]
    with f:
        for number, raw in enumerate(f, 1):
            text = raw.decode("utf-8", "replace").strip()
            if not text:
                continue
            try:
                row = json.loads(text)
            except ValueError:
                row = None
            if not isinstance(row, dict):
                if not problems:
                    problems.append("output line %d is not a JSON object (cut short or damaged)"
                                    % number)
                continue
            if host.report is not None and not problems:
                problems.append("output goes on after the report (line %d)" % number)
            if "report" in row:
                host.report = row
                for key in ("found", "removed", "remaining", "unscanned"):
                    value = row.get(key)
                    if isinstance(value, list):
                        value = len(value)
                    if isinstance(value, int) and not isinstance(value, bool):
                        host.reported[key] = value
            else:
                host.row(row)
    if host.report is None:
        problems.append("the output ends before the report (cut short, or the scan is still "
                        "running)")
    elif host.report.get("complete") is not True:
        problems.append("the scan did not run to its end")
    return problems


def summarise(folder, name):
    host = Host(name)
    where = os.path.join(folder, name)
    if os.path.islink(where) or not os.path.isdir(where):
        host.fail("no result came back")
        return host
    failed = read_text(os.path.join(where, "failed.txt"))
    if failed is not None:
        host.fail(failed.strip().splitlines()[0] if failed.strip() else "failed")
    errors = (read_text(os.path.join(where, "errors.txt")) or "").splitlines()
    for line in errors:
        if line.startswith(NOT_SCANNED):
            path, _, reason = line[len(NOT_SCANNED):].rpartition(": ")
            host.unscanned.setdefault(path or reason, reason if path else "")
    status = read_text(os.path.join(where, "status.txt"))
    if status is not None and status.strip().isdigit():
        host.status = int(status.strip())
    if status is not None and status.strip() not in ("0", "1", "3", "4"):
        said = [e for e in errors if e.strip() and not e.startswith(NOT_SCANNED)]
        host.fail(said[0].strip() if said else "krvscan ended with exit status %s"
                  % (status.strip() or "(empty)"))
    # Whatever the output still says is shown; how it ends matters only when nothing else did.
    problems = read_output(host, os.path.join(where, "output.json"))
    if not host.failures:
        for problem in problems:
            host.fail(problem)
    if status is None and not host.failures:
        host.fail("no exit status came back")
    return host


def hosts_in(folder):
    try:
        return sorted(e.name for e in os.scandir(folder) if e.is_dir(follow_symlinks=False))
    except OSError as e:
        print("summary.py: %s: %s" % (folder, e.strerror), file=sys.stderr)
        sys.exit(EXIT_FAILED)


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if len(argv) >= 2 else 2
    folder = argv[1]
    names = argv[2:] or hosts_in(folder)
    clean, removed_all, left, unscanned, failed, details = [], [], [], [], [], []
    for name in names:
        host = summarise(folder, name)
        found, removed, kept, skipped = host.lists()
        # Neither rows nor counters may say less than the exit status does.
        remaining = max(len(kept), host.reported.get("remaining", 0), int(host.status == 3))
        not_scanned = max(len(skipped), host.reported.get("unscanned", 0), int(host.status == 4))
        if host.failures:
            failed.append(name)
        elif remaining:
            left.append(name)
        elif not_scanned:
            unscanned.append(name)
        elif found or host.reported.get("found", 0):
            removed_all.append(name)
        else:
            clean.append(name)
        if host.failures and not (found or not_scanned):
            details += ["%s: failed: %s" % (shown(name), shown(r)) for r in host.failures]
        elif host.failures or found or not_scanned:
            details.append("%s: found %d, removed %d, left %d, not scanned %d" % (
                shown(name), max(len(found), host.reported.get("found", 0)),
                max(len(removed), host.reported.get("removed", 0)), remaining, not_scanned))
            details += ["  failed: " + shown(r) for r in host.failures]
            details += ["  removed: " + shown(p) for p in removed]
            details += ["  left: %s (%s)" % (shown(p), shown(why)) for p, why in kept]
            details += ["  not scanned: %s%s" % (shown(p), ": " + shown(r) if r else "")
                        for p, r in skipped]

    def line(title, names):
        return "%s: %d%s" % (title, len(names),
                             " (" + ", ".join(map(shown, names)) + ")" if names else "")
    print("results: %s, %d hosts" % (shown(os.path.abspath(folder)), len(names)))
    print(line("clean", clean))
    print(line("found, all removed", removed_all))
    print(line("found, some left", left))
    print(line("not fully scanned", unscanned))
    print(line("failed", failed))
    for text in details:
        print(text)
    if failed:
        return EXIT_FAILED
    if left:
        return EXIT_LEFT
    if unscanned:
        return EXIT_UNSCANNED
    return EXIT_REMOVED if removed_all else EXIT_CLEAN


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Exception:
        # A summary that crashed must never read as a clean fleet.
        traceback.print_exc()
        sys.exit(EXIT_FAILED)
