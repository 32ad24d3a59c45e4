#!/usr/bin/env python3
"""summary.py [--outcomes FILE] RUN [HOST...]: the fleet summary of one run's results folder.

RUN holds one folder per host, as fleet/scan.yml fetches them and as fleet/windows/krvscan.cmd
and krvscan.bat write them on the results share:

    RUN/HOST/output.json   what krvscan --json wrote (JSON Lines: rows, then the report)
    RUN/HOST/status.txt    its exit status
    RUN/HOST/errors.txt    its standard error (the 9x family cannot keep it)
    RUN/HOST/failed.txt    why the host could not be scanned (written by the playbook)

With HOST names, exactly those hosts are summarised (a host with no folder failed: nothing came
back); without, every folder in RUN. For each host: what was found, what was removed, what was
left (and why) and what could not be scanned. A host failed when it was unreachable, when its
output is missing, unreadable or cut short, when the scan did not run to its end, when its exit
status says it could not start or crashed, or when its results are damaged: a value of the wrong
type, or the exit status, the rows, the report's counters, its facts and standard error that
contradict each other. Whatever goes wrong while one host is read fails that host alone.

The exit status follows krvscan's, over the whole fleet: 2 some host failed; 3 something found
is still there; 4 part of some host could not be scanned; 1 something was found and all of it
removed; 0 nothing found anywhere. An error in this program itself exits 2 too.

--outcomes FILE also writes each host's outcome to FILE as one JSON object,
{"HOST": {"outcome": "clean" | "removed" | "left" | "unscanned" | "failed", "why": "..."}},
for the playbook to fail each host that is not clean or all removed.
"""
import json
import os
import re
import sys
import traceback

# Row events, as krvscan names them, by what they say of the thing the row names. krvscan's
# facts count the same way: found, then removed or left; the rows of its own copy of a file
# (from "copying" to the next row of the file itself) are no part of what was found.
FOUND_EVENTS = {"infected", "autostart_found", "autostart_removed"}
REMOVED_EVENTS = {"deleted", "cleaned", "autostart_removed"}
LEFT_EVENTS = {"unable_to_clean", "will_be_deleted_at_restart", "will_be_cleaned_at_restart",
               "left_in_place", "autostart_found", "remaining"}
OTHER_EVENTS = {"suspect", "warning", "quarantined", "copying", "access_error", "unable_to_open",
                "other"}
TOLD_EVENTS = FOUND_EVENTS | REMOVED_EVENTS | LEFT_EVENTS       # each tells of something found
ROW_EVENTS = TOLD_EVENTS | OTHER_EVENTS
# A row written without its event has it from its status, as krvscan gives it: a text ending in
# a space begins the status, any other is the whole status.
STATUS_EVENTS = [("infected: ", "infected"), ("suspect: ", "suspect"), ("warning: ", "warning"),
                 ("will be deleted at restart", "will_be_deleted_at_restart"),
                 ("deleted", "deleted"), ("copied to quarantine", "quarantined"),
                 ("creating a copy for cleaning", "copying"),
                 ("will be cleaned at restart", "will_be_cleaned_at_restart"),
                 ("cleaned", "cleaned"), ("unable to clean", "unable_to_clean"),
                 ("error accessing file", "access_error"),
                 ("unable to open file", "unable_to_open"),
                 ("left in place: report only", "left_in_place"),
                 ("autostart value removed", "autostart_removed"),
                 ("autostart value found: report only", "autostart_found")]
# Parts of the tree passed over: only a part not scanned counts; a link not followed and an
# entry the administrator excluded (--exclude, --exclude-dir) are as asked.
PASSED_EVENTS = {"not_scanned", "link_not_followed", "excluded"}
FACTS = ("found", "removed", "remaining", "unscanned")
REMOVED, LEFT = "removed", "left"
NOT_SCANNED = "krvscan: not scanned: "
# "krvscan: unable to clean: WHAT: why": the cause of something left (a run without the rights
# it needs), which only an exit status of 3 goes with.
UNABLE = "krvscan: unable to clean: "
QUIET_ERRORS = (NOT_SCANNED, "krvscan: link not followed: ", UNABLE)
# "krvscan: PATH: a link, followed to TARGET": a PATH given as a link, told, not a failure.
FOLLOWED_LINK = re.compile(r"^krvscan: .*: a link, followed to ")


def quiet(error):
    """A line of standard error that tells, not one that says something went wrong."""
    return error.startswith(QUIET_ERRORS) or bool(FOLLOWED_LINK.match(error))
COUNT_MAX = 2 ** 31 - 1      # krvscan's counters are 32-bit
LINE_MAX = 1 << 20           # far beyond any row krvscan writes
EXIT_FAILED, EXIT_LEFT, EXIT_UNSCANNED, EXIT_REMOVED, EXIT_CLEAN = 2, 3, 4, 1, 0


class Damaged(Exception):
    """Results that cannot be what krvscan wrote; the message says why."""


def shown(text):
    """Text safe for a terminal: control characters as \\xHH, as krvscan prints them; a byte of
    a name that was not UTF-8 as \\xHH too, and any other lone surrogate as \\uXXXX."""
    out = []
    for c in str(text):
        n = ord(c)
        if n < 0x20 or 0x7F <= n < 0xA0 or 0xDC80 <= n <= 0xDCFF:
            out.append("\\x%02X" % (n & 0xFF))
        elif 0xD800 <= n <= 0xDFFF:
            out.append("\\u%04X" % n)
        else:
            out.append(c)
    return "".join(out)


def is_count(value):
    return type(value) is int and 0 <= value <= COUNT_MAX


def described(value):
    try:
        return json.dumps(value)[:40]
    except ValueError:
        return repr(value)[:40]


def read_text(path, limit=64):
    """A small file's text, or None when it is missing or not a plain file."""
    if os.path.islink(path) or not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read(limit).decode("utf-8", "replace")


def lines_of(f, name):
    """The lines of the file `name` opened for reading bytes, each at most LINE_MAX long."""
    number = 0
    while True:
        raw = f.readline(LINE_MAX + 1)
        if not raw:
            return
        number += 1
        if len(raw) > LINE_MAX:
            raise Damaged("%s line %d is longer than krvscan writes" % (name, number))
        yield number, raw


class KeyTwice(Exception):
    """An object that gives one key twice: which of the two values counts is a guess."""


def unique_keys(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise KeyTwice()
    return dict(pairs)


def parse(raw):
    """One line as an object, or else None and what is wrong with it."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        # krvscan writes UTF-8 only (a name that is not has its bytes in hexadecimal beside it).
        # A character that the line's end cuts off is a line cut short, said below.
        if e.end < len(raw):
            return None, "damaged results: output line %%d is not UTF-8 (byte 0x%02X at " \
                "column %d)" % (raw[e.start], e.start + 1)
        text = raw[:e.start].decode("utf-8")
    try:
        value = json.loads(text, object_pairs_hook=unique_keys)
    except RecursionError:
        return None, "damaged results: output line %d nests deeper than krvscan writes"
    except KeyTwice:
        return None, "damaged results: output line %d gives a key twice"
    except ValueError:
        value = None
    if not isinstance(value, dict):
        return None, "damaged results: output line %d is not a JSON object " \
            "(cut short or damaged)"
    return value, None


def event_of(row):
    """The row's event; where it has none (krvscan 1.1 gives every row one), the event its
    keys and its status text say."""
    if "event" in row:
        return row["event"]
    if "report" in row:
        return "report"
    status = row.get("status")
    if isinstance(status, str):
        return next((event for text, event in STATUS_EVENTS
                     if status == text or text.endswith(" ") and status.startswith(text)),
                    "other")
    return "not_scanned" if "reason" in row else None


def fault(row):
    """What is wrong with the types of one object of krvscan's output, or None. Events this
    summary does not know are taken as they come: the facts and the exit status still speak."""
    event = row["event"] = event_of(row)
    if not isinstance(event, str):
        return "an object with no event"
    if event == "report":
        counters = row.get("report")
        if not isinstance(counters, dict):
            return "a report with no counters"
        for key, value in counters.items():
            if not is_count(value):
                return "the report's %s is %s, not a count" % (key, described(value))
        if type(row.get("complete")) is not bool:
            return "the report's complete is %s, not true or false" % described(
                row.get("complete"))
        for key in FACTS:
            if key not in row:
                return "the report has no %s" % key
            if not is_count(row[key]):
                return "the report's %s is %s, not a count" % (key, described(row[key]))
        return None
    if event in PASSED_EVENTS:
        row.setdefault("path", row.get("file"))   # a part not scanned is named by its path
    needed = {"file", "status"} if event in ROW_EVENTS else {"path"} \
        if event in PASSED_EVENTS else set()
    for key in ("file", "path", "status", "reason", "file_hex", "path_hex"):
        if (key in needed or key in row) and not isinstance(row.get(key), str):
            return "a %s row's %s is %s, not text" % (event, key, described(row.get(key)))
    return None


def is_folder(path):
    return path.endswith(("/", "\\"))


class Host:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.files = {}          # what was found: name -> [outcome, why, path], in the order found
        self.found = set()       # the names of self.files that krvscan counts as found
        self.unscanned = {}      # path -> reason
        self.notes = []          # (path, status) of rows worth a look that change no outcome
        self.report = None
        self.facts = {}          # found, removed, remaining, unscanned, as the report states them
        self.status = None       # krvscan's exit status, where it came back as a number
        self.errors = []         # the lines of standard error that are not parts not scanned
        self.unable = []         # why something stays, as standard error says it
        self.counted_unscanned = 0   # rows and lines of parts not scanned that krvscan counts
        self.unknown = 0         # rows of events this summary does not know
        self.copied = None       # the file whose copy's rows are passing, or None

    def fail(self, reason):
        if reason not in self.failures:
            self.failures.append(reason)

    def row(self, row):
        event = row["event"]
        if event in PASSED_EVENTS:
            if event == "not_scanned":
                self.unscanned.setdefault(row["path"], row.get("reason", ""))
                self.counted_unscanned += 1
            return
        if event not in ROW_EVENTS:
            self.unknown += 1
            path = next((row[k] for k in ("file", "path", "key") if isinstance(row.get(k), str)),
                        "")
            why = next((row[k] for k in ("status", "reason") if isinstance(row.get(k), str)), "")
            self.notes.append((path, "%s: %s" % (event, why) if why else event))
            return
        path, status = row["file"], row["status"]
        # A name that is not UTF-8 is told apart by its bytes, as krvscan tells it.
        key = "hex:" + row["file_hex"] if "file_hex" in row else "name:" + path
        if self.copied == key:
            self.copied = None
        if self.copied is not None:
            return
        if event == "copying":
            self.copied = key
            return
        entry = self.files.get(key)
        if entry is None and (event in TOLD_EVENTS or event == "suspect"):
            entry = self.files[key] = [None, None, path]
        if event in TOLD_EVENTS:
            self.found.add(key)
        elif event == "suspect":
            # Found by a weaker sign: shown as left, though krvscan counts it in no fact.
            entry[1] = entry[1] or status
        if event in REMOVED_EVENTS:
            entry[0], entry[1] = REMOVED, status
        elif event in LEFT_EVENTS:
            entry[0], entry[1] = LEFT, status
        elif event == "unable_to_open":
            self.unscanned.setdefault(path, status)
            self.counted_unscanned += not is_folder(path)
        elif event == "access_error" and entry is None:
            # Before anything was found it is the reading that failed; after, the cleaning.
            self.unscanned.setdefault(path, status)
        elif event in ("warning", "other"):
            self.notes.append((path, status))

    def lists(self):
        """found, removed, left [(path, why)] and unscanned [(path, reason)]."""
        found, removed, left = [], [], []
        for outcome, why, path in self.files.values():
            found.append(path)
            if outcome == REMOVED:
                removed.append(path)
            else:
                # Found with nothing done about it is still there, whatever the cause.
                left.append((path, why or "no outcome recorded"))
        unscanned = [(p, r) for p, r in self.unscanned.items() if "name:" + p not in self.files]
        return found, removed, left, unscanned


def read_output(host, path):
    """Reads the rows and the report into `host`; answers the first thing wrong with the
    output, or None. The rest of a damaged output is still read, and shown."""
    if os.path.islink(path) or not os.path.isfile(path):
        return "no output came back"
    first = None
    with open(path, "rb") as f:
        for number, raw in lines_of(f, "output"):
            if not raw.strip():
                continue
            row, wrong = parse(raw)
            if row is None:
                first = first or wrong % number
                continue
            wrong = fault(row)
            if wrong:
                first = first or "damaged results: output line %d: %s" % (number, wrong)
                continue
            if host.report is not None:
                first = first or "damaged results: output goes on after the report (line %d)" \
                    % number
            if row["event"] == "report":
                host.report = row
                host.facts = {key: row[key] for key in FACTS}
            else:
                host.row(row)
    if first:
        return first
    if host.report is None:
        return "the output ends before the report (cut short, or the scan is still running)"
    if host.report["complete"] is not True:
        return "the scan did not run to its end"
    return None


def read_errors(host, path):
    if os.path.islink(path) or not os.path.isfile(path):
        return
    with open(path, "rb") as f:
        for _, raw in lines_of(f, "errors.txt"):
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith(NOT_SCANNED):
                where, _, reason = line[len(NOT_SCANNED):].rpartition(": ")
                host.unscanned.setdefault(where or reason, reason if where else "")
                host.counted_unscanned += 1
            elif line.strip() and len(host.errors) < 100:
                host.errors.append(line)
                if line.startswith(UNABLE):
                    host.unable.append(line[len(UNABLE):])


def read_status(host, path):
    """The exit status as a number; fails the host where it says the scan did not end well."""
    text = read_text(path, 65)
    if text is None:
        return
    number = re.fullmatch(r"[ \t\r\n]*(-?[0-9]{1,11})[ \t\r\n]*", text[:64])
    if number is None or len(text) > 64:
        host.fail("damaged results: status.txt holds %s, not an exit status"
                  % described(text.strip()))
        return
    host.status = int(number.group(1))
    if host.status in (0, 1, 3, 4):
        return
    said = [e.strip() for e in host.errors if not quiet(e)]
    if host.status == 2 and said:
        host.fail(said[0])   # krvscan's own words for why it could not scan
        return
    if host.status < 0:
        # A Windows exception code, as cmd gives it: 0xC0000005 is -1073741819.
        why = "krvscan crashed: exit status %d (0x%08X)" % (host.status,
                                                           host.status & 0xFFFFFFFF)
    elif 128 < host.status < 160:
        # The shell's way of saying that a signal ended the program.
        why = "krvscan ended with exit status %d (killed by signal %d)" % (host.status,
                                                                           host.status - 128)
    else:
        why = "krvscan ended with exit status %d" % host.status
    host.fail(why + ("; standard error: " + said[0] if said else ""))


def contradictions(host):
    """Where the exit status, the rows, the report's counters, its facts and standard error
    cannot all be true: krvscan answers each from the others. Rows of events this summary does
    not know may account for facts, never for their absence."""
    facts, status, counters = host.facts, host.status, host.report["report"]
    outcomes = [entry[0] for entry in host.files.values()]
    named = {
        "found": len(host.found),
        "removed": outcomes.count(REMOVED),
        "remaining": outcomes.count(LEFT),
        "unscanned": host.counted_unscanned,
    }
    for key in FACTS:
        if named[key] and not facts[key]:
            yield "the rows name %d %s, the report's facts none" % (named[key], key)
        elif facts[key] and not named[key] and not host.unknown:
            yield "the report counts %d %s, no row names any" % (facts[key], key)
    if (facts["removed"] or facts["remaining"]) and not facts["found"]:
        yield "the report counts removed or remaining with nothing found"
    if sum(counters.get(k, 0) for k in ("infected", "deleted", "cleaned")) and not facts["found"]:
        yield "the report's counters show infected files, its facts nothing found"
    if sum(counters.get(k, 0) for k in ("unable_to_be_cleaned", "cleaned_at_restart",
                                        "deleted_at_restart")) and not facts["remaining"]:
        yield "the report's counters show files still there, its facts none remaining"
    expected = {0: not any(facts.values()),
                1: facts["found"] and not facts["unscanned"],
                3: facts["remaining"],
                4: facts["unscanned"]}
    if not expected[status]:
        yield "exit status %d, but the report counts found %d, removed %d, remaining %d, " \
            "unscanned %d" % (status, facts["found"], facts["removed"], facts["remaining"],
                              facts["unscanned"])
    said = [e for e in host.errors if e.startswith("krvscan: ") and
            (not quiet(e) or e.startswith(UNABLE) and status != EXIT_LEFT)]
    if said:
        yield "exit status %d, but standard error says: %s" % (status, said[0][:200])


def read_host(host, where):
    failed = read_text(os.path.join(where, "failed.txt"), 4096)
    if failed is not None:
        host.fail(failed.strip().splitlines()[0] if failed.strip() else "failed")
    read_errors(host, os.path.join(where, "errors.txt"))
    read_status(host, os.path.join(where, "status.txt"))
    # Whatever the output still says is shown; how it ends matters only when nothing else did.
    problem = read_output(host, os.path.join(where, "output.json"))
    if problem and not host.failures:
        host.fail(problem)
    if host.status is None and not host.failures:
        host.fail("no exit status came back")
    if not host.failures:
        for reason in contradictions(host):
            host.fail("damaged results: " + reason)


def summarise(folder, name):
    host = Host(name)
    where = os.path.join(folder, name)
    try:
        if os.path.islink(where) or not os.path.isdir(where):
            host.fail("no result came back")
            return host
        read_host(host, where)
    except Damaged as e:
        host.fail("damaged results: %s" % e)
    except OSError as e:
        host.fail("damaged results: %s: %s" % (e.filename or where, e.strerror or e))
    except RecursionError:
        host.fail("damaged results: nested too deep")
    except Exception as e:   # whatever one host sends, it fails that host alone
        host.fail("damaged results: %s: %s" % (type(e).__name__, e))
    return host


def hosts_in(folder):
    try:
        return sorted(e.name for e in os.scandir(folder) if e.is_dir(follow_symlinks=False))
    except OSError as e:
        print("summary.py: %s: %s" % (shown(folder), e.strerror), file=sys.stderr)
        sys.exit(EXIT_FAILED)


def main(argv):
    args = argv[1:]
    outcomes_file = None
    if args[:1] == ["--outcomes"] and len(args) >= 2:
        outcomes_file, args = args[1], args[2:]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if args else 2
    folder = args[0]
    names = args[1:] or hosts_in(folder)
    clean, removed_all, left, unscanned, failed, details = [], [], [], [], [], []
    outcomes = {}
    for name in names:
        host = summarise(folder, name)
        found, removed, kept, skipped = host.lists()
        facts = host.facts
        # Neither rows nor facts nor the exit status may say less than another does; whatever
        # was found and not removed is still there.
        remaining = max(len(kept), facts.get("remaining", 0), int(host.status == 3),
                        facts.get("found", 0) - facts.get("removed", 0))
        not_scanned = max(len(skipped), facts.get("unscanned", 0), int(host.status == 4))
        if host.failures:
            failed.append(name)
            outcomes[name] = {"outcome": "failed", "why": "; ".join(host.failures)}
        elif remaining:
            left.append(name)
            outcomes[name] = {"outcome": "left", "why": "; ".join(
                ["something found is still there"] + host.unable[:1])}
        elif not_scanned:
            unscanned.append(name)
            outcomes[name] = {"outcome": "unscanned", "why": "part of it was not scanned"}
        elif found or facts.get("found", 0):
            removed_all.append(name)
            outcomes[name] = {"outcome": "removed", "why": "found, all removed"}
        else:
            clean.append(name)
            outcomes[name] = {"outcome": "clean", "why": "nothing found"}
        if host.failures and not (found or not_scanned or host.notes):
            details += ["%s: failed: %s" % (shown(name), shown(r)) for r in host.failures]
        elif host.failures or found or not_scanned or host.notes or host.unable:
            details.append("%s: found %d, removed %d, left %d, not scanned %d" % (
                shown(name), max(len(found), facts.get("found", 0)),
                max(len(removed), facts.get("removed", 0)), remaining, not_scanned))
            details += ["  failed: " + shown(r) for r in host.failures]
            details += ["  removed: " + shown(p) for p in removed]
            details += ["  left: %s (%s)" % (shown(p), shown(why)) for p, why in kept]
            details += ["  unable to clean: " + shown(u) for u in host.unable]
            details += ["  not scanned: %s%s" % (shown(p), ": " + shown(r) if r else "")
                        for p, r in skipped]
            details += ["  noted: %s (%s)" % (shown(p), shown(why)) for p, why in host.notes]
    if outcomes_file:
        with open(outcomes_file, "w", encoding="utf-8") as f:
            json.dump(outcomes, f)

    def line(title, names):
        return "%s: %d%s" % (title, len(names),
                             " (" + ", ".join(map(shown, names)) + ")" if names else "")
    print("results: %s, %d host%s" % (shown(os.path.abspath(folder)), len(names),
                                       "" if len(names) == 1 else "s"))
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
        sys.stdout.reconfigure(errors="backslashreplace")
        sys.exit(main(sys.argv))
    except Exception:
        # A summary that crashed must never read as a clean fleet.
        traceback.print_exc()
        sys.exit(EXIT_FAILED)
