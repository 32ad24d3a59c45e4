#!/usr/bin/env python3
"""fleet/summary.py on results folders written here: one host per case, in the scanner's output
as it is and as it grows (rows with "event", a report with its own counters, parts not scanned
as objects of their own), and output that is damaged, cut short, missing or hostile.

fleet_summary_test.py
"""
import json
import os
import subprocess
import tempfile
import unittest

SUMMARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fleet",
                       "summary.py")
INFECTED = "infected: Win32.Worm.Tamsel.A"
EVENTS = {INFECTED: "infected", "left in place: report only": "left_in_place",
          "deleted": "deleted", "creating a copy for cleaning": "copying",
          "will be deleted at restart": "will_be_deleted_at_restart",
          "unable to clean": "unable_to_clean", "unable to open file": "unable_to_open",
          "autostart value found: report only": "autostart_found"}
COUNTERS = ("folders", "files", "infected", "warnings", "suspicious", "cleaned", "deleted",
            "cleaned_at_restart", "deleted_at_restart", "unable_to_be_cleaned")


def jsonl(*objects):
    return "".join(json.dumps(o) + "\n" for o in objects)


def row(path, status, event=None):
    """A row as krvscan --json writes it."""
    return {"event": event or EVENTS[status], "file": path, "status": status}


def report(found=0, removed=0, remaining=0, unscanned=0, complete=True, **counters):
    """The report as krvscan --json writes it: its counters, then the facts."""
    counts = dict({key: 0 for key in COUNTERS}, folders=1, files=3)
    counts.update(counters)
    return {"event": "report", "report": counts, "complete": complete, "found": found,
            "removed": removed, "remaining": remaining, "unscanned": unscanned, "host": "h",
            "version": "1.1", "started": "2026-12-07T13:00:00Z",
            "finished": "2026-12-07T13:00:01Z"}


COMPLETE = report()
LEFT_ONE = report(found=1, remaining=1, infected=1)
REMOVED_ONE = report(found=1, removed=1, infected=1, deleted=1)


def with_fact(key, literal):
    """The clean report with the JSON text `literal` as the value of `key`."""
    text = json.dumps(COMPLETE)
    return text.replace('"%s": 0' % key, '"%s": %s' % (key, literal), 1) + "\n"


# name, {file: content} of the host's folder (None: the folder is not there), the summary's
# exit status, lines the summary must hold.
CASES = [
    ("report only",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "left in place: report only"), LEFT_ONE),
      "status.txt": "1\n"},
     3, ["found, some left: 1 (h)", "h: found 1, removed 0, left 1, not scanned 0",
         "  left: /h/a.exe (left in place: report only)"]),
    ("cleaned",
     {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"), REMOVED_ONE),
      "status.txt": "1\n"},
     1, ["found, all removed: 1 (h)", "  removed: /h/a.exe"]),
    ("a locked file: the copy is the scanner's own, the file waits for the restart",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "creating a copy for cleaning"),
                           row("/h/a.exe.qx-000", INFECTED), row("/h/a.exe.qx-000", "deleted"),
                           row("/h/a.exe", "will be deleted at restart"),
                           report(found=1, remaining=1, infected=2, deleted=1,
                                  deleted_at_restart=1)),
      "status.txt": "3\n"},
     3, ["h: found 1, removed 0, left 1, not scanned 0",
         "  left: /h/a.exe (will be deleted at restart)"]),
    ("the autostart value, found and left",
     {"output.json": jsonl(row("HKLM\\...\\Run\\System-Service",
                               "autostart value found: report only"),
                           report(found=1, remaining=1)),
      "status.txt": "1\n"},
     3, ["  left: HKLM\\...\\Run\\System-Service (autostart value found: report only)"]),
    ("a run without an administrator's rights: the Run key's value and a file stay, and why",
     {"output.json": jsonl(row("HKLM\\...\\Run\\System-Service = c:\\w.exe", "unable to clean"),
                           row("C:\\WINNT\\w.exe", INFECTED),
                           row("C:\\WINNT\\w.exe", "unable to clean"),
                           report(found=2, remaining=2, infected=1, unable_to_be_cleaned=1)),
      "errors.txt": "krvscan: unable to clean: HKLM\\...\\Run\\System-Service = c:\\w.exe: "
                    "the Run key opens for reading only; removing the value needs an "
                    "administrator\r\n"
                    "krvscan: unable to clean: files found: this run has no administrator's "
                    "rights\r\n",
      "status.txt": "3\r\n"},
     3, ["found, some left: 1 (h)", "h: found 2, removed 0, left 2, not scanned 0",
         "  left: C:\\WINNT\\w.exe (unable to clean)",
         "  unable to clean: files found: this run has no administrator's rights"]),
    ("a PATH given as a link, followed and named on standard error",
     {"output.json": jsonl({"event": "link_followed", "path": "/h/link", "target": "/h/real"},
                           COMPLETE),
      "errors.txt": "krvscan: /h/link: a link, followed to /h/real\n", "status.txt": "0\n"},
     0, []),
    ("a file that could not be opened, and a folder named on standard error",
     {"output.json": jsonl(row("/h/b.exe", "unable to open file"),
                           {"event": "not_scanned", "path": "/h/private",
                            "reason": "the folder could not be listed"},
                           report(unscanned=2)),
      "errors.txt": "krvscan: not scanned: /h/private: the folder could not be listed\n",
      "status.txt": "4\n"},
     4, ["not fully scanned: 1 (h)", "  not scanned: /h/b.exe: unable to open file",
         "  not scanned: /h/private: the folder could not be listed"]),
    ("unknown status texts, a file that could not be cleaned, a part not scanned",
     {"output.json": jsonl(row("/h/a.exe", "found it", "infected"),
                           row("/h/a.exe", "gone", "deleted"),
                           row("/h/c.exe", "found it", "infected"),
                           row("/h/c.exe", "locked", "unable_to_clean"),
                           {"event": "not_scanned", "path": "/h/deep",
                            "reason": "the path is too long for the system"},
                           report(found=2, removed=1, remaining=1, unscanned=1, infected=2,
                                  deleted=1, unable_to_be_cleaned=1)),
      "status.txt": "3\n"},
     3, ["h: found 2, removed 1, left 1, not scanned 1", "  removed: /h/a.exe",
         "  left: /h/c.exe (locked)",
         "  not scanned: /h/deep: the path is too long for the system"]),
    ("rows and a report written without their events",
     {"output.json": jsonl({"file": "/h/a.exe", "status": INFECTED},
                           {"file": "/h/a.exe", "status": "deleted"},
                           {"path": "/h/p", "reason": "the folder could not be listed"},
                           {k: v for k, v in report(found=1, removed=1, unscanned=1,
                                                    infected=1, deleted=1).items()
                            if k != "event"}),
      "status.txt": "4\n"},
     4, ["not fully scanned: 1 (h)", "  removed: /h/a.exe",
         "  not scanned: /h/p: the folder could not be listed"]),
    ("a file that lives on under another name is not removed",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "deleted; other names remain", "remaining"),
                           report(found=1, remaining=1, infected=1)),
      "status.txt": "3\n"},
     3, ["found, some left: 1 (h)", "  left: /h/a.exe (deleted; other names remain)"]),
    ("an event this summary does not know, where the facts account for it",
     {"output.json": jsonl({"event": "autostart_value_seen", "key": "HKLM\\Run",
                            "data": "C:\\x.exe", "status": "value seen"},
                           report(found=1, remaining=1)),
      "status.txt": "3\n"},
     3, ["found, some left: 1 (h)",
         "  noted: HKLM\\Run (autostart_value_seen: value seen)"]),
    ("an event this summary does not know, on a clean host",
     {"output.json": jsonl({"event": "scanned_drive", "path": "C:\\"}, COMPLETE),
      "status.txt": "0\n"},
     0, ["clean: 1 (h)", "  noted: C:\\ (scanned_drive)"]),
    ("the last line cut short",
     {"output.json": jsonl(row("/h/a.exe", INFECTED)) + '{"event":"deleted","file":"/h/a.exe","sta',
      "status.txt": "1\n"},
     2, ["failed: 1 (h)", "  failed: damaged results: output line 2 is not a JSON object "
         "(cut short or damaged)", "  left: /h/a.exe (no outcome recorded)"]),
    ("a damaged line in the middle",
     {"output.json": jsonl(row("/h/a.exe", INFECTED)) + "\x00 garbage\n[1]\n"
      + jsonl(row("/h/a.exe", "deleted"), REMOVED_ONE),
      "status.txt": "1\n"},
     2, ["  failed: damaged results: output line 2 is not a JSON object (cut short or damaged)",
         "  removed: /h/a.exe"]),
    ("a line that is not UTF-8 in the middle",
     {"output.json": jsonl(row("/h/a.exe", INFECTED)).encode() + b"\xff garbage\n"
      + jsonl(row("/h/a.exe", "deleted"), REMOVED_ONE).encode(),
      "status.txt": "1\n"},
     2, ["  failed: damaged results: output line 2 is not UTF-8 (byte 0xFF at column 1)",
         "  removed: /h/a.exe"]),
    ("a scan stopped before its end",
     {"output.json": jsonl(report(complete=False)),
      "errors.txt": "krvscan: interrupted; the scan was stopped\n", "status.txt": "2\n"},
     2, ["h: failed: krvscan: interrupted; the scan was stopped"]),
    ("a scan stopped, the report says so and the status does not",
     {"output.json": jsonl(report(complete=False)), "status.txt": "0\n"},
     2, ["h: failed: the scan did not run to its end"]),
    ("rows after the report",
     {"output.json": jsonl(COMPLETE, row("/h/a.exe", INFECTED)), "status.txt": "0\n"},
     2, ["  failed: damaged results: output goes on after the report (line 2)"]),
    ("a missing target",
     {"output.json": "", "errors.txt": "krvscan: /h/x: no such file or folder\n",
      "status.txt": "2\n"},
     2, ["h: failed: krvscan: /h/x: no such file or folder"]),
    ("a scanner that never ran", {"status.txt": "127\n"},
     2, ["h: failed: krvscan ended with exit status 127"]),
    ("a scanner that crashed on Windows (an exception code)",
     {"output.json": jsonl(row("C:\\a.exe", INFECTED)), "status.txt": "-1073741819 \r\n"},
     2, ["  failed: krvscan crashed: exit status -1073741819 (0xC0000005)"]),
    ("no exit status (still running, or the machine went down)",
     {"output.json": jsonl(COMPLETE)}, 2, ["h: failed: no exit status came back"]),
    ("no output", {"status.txt": "0\n"}, 2, ["h: failed: no output came back"]),
    ("unreachable", {"failed.txt": "unreachable: connection refused\n"},
     2, ["h: failed: unreachable: connection refused"]),
    ("no folder at all", None, 2, ["h: failed: no result came back"]),
    ("control characters in a name do not reach the terminal",
     {"output.json": jsonl(row("/h/\x1b[2Jx.exe", INFECTED),
                           row("/h/\x1b[2Jx.exe", "deleted"), REMOVED_ONE),
      "status.txt": "1\n"},
     1, ["  removed: /h/\\x1B[2Jx.exe"]),
    ("a name that is no character at all (a lone surrogate) does not stop the summary",
     {"output.json": jsonl(row("/h/\ud800.exe", INFECTED), row("/h/\ud800.exe", "deleted"),
                           REMOVED_ONE).replace("\\ud800", "\\uD800"),
      "status.txt": "1\n"},
     1, ["  removed: /h/\\uD800.exe"]),
    ("clean", {"output.json": jsonl(COMPLETE), "status.txt": "0\r\n"}, 0, ["clean: 1 (h)"]),
]

# What one host can send that is not what krvscan writes. Each fails that host ("damaged
# results: ..."), whatever the rest says, and never the summary.
DAMAGED = [
    ("an exit status that is a digit of another script",
     {"output.json": jsonl(COMPLETE), "status.txt": "\u00b2\n"},
     'status.txt holds "\\u00b2", not an exit status'),
    ("an exit status with more after it",
     {"output.json": jsonl(COMPLETE), "status.txt": "0 and more\n"},
     'status.txt holds "0 and more", not an exit status'),
    ("one line nested 100,000 deep",
     {"output.json": "[" * 100000 + "]" * 100000 + "\n" + jsonl(COMPLETE), "status.txt": "0\n"},
     "output line 1 nests deeper than krvscan writes"),
    ("a line longer than any krvscan writes",
     {"output.json": jsonl(row("/h/" + "a" * (1 << 21), "unable to open file"),
                           report(unscanned=1)),
      "status.txt": "4\n"},
     "output line 1 is longer than krvscan writes"),
    ("a fact as text", {"output.json": with_fact("found", '"2"'), "status.txt": "0\n"},
     'output line 1: the report\'s found is "2", not a count'),
    ("a fact as a fraction", {"output.json": with_fact("found", "1.0"), "status.txt": "0\n"},
     "output line 1: the report's found is 1.0, not a count"),
    ("a fact as true", {"output.json": with_fact("remaining", "true"), "status.txt": "0\n"},
     "output line 1: the report's remaining is true, not a count"),
    ("a fact too large for any float", {"output.json": with_fact("unscanned", "1e999"),
                                        "status.txt": "0\n"},
     "output line 1: the report's unscanned is Infinity, not a count"),
    ("a fact that is no number", {"output.json": with_fact("found", "NaN"),
                                  "status.txt": "0\n"},
     "output line 1: the report's found is NaN, not a count"),
    ("a negative fact", {"output.json": with_fact("found", "-1"), "status.txt": "0\n"},
     "output line 1: the report's found is -1, not a count"),
    ("a fact beyond krvscan's counters", {"output.json": with_fact("found", "4294967296"),
                                          "status.txt": "0\n"},
     "output line 1: the report's found is 4294967296, not a count"),
    ("a counter as text", {"output.json": with_fact("infected", '"1"'), "status.txt": "0\n"},
     'output line 1: the report\'s infected is "1", not a count'),
    ("complete as text", {"output.json": with_fact("complete", '"true"').replace(
        '"complete": true', '"complete": "true"'), "status.txt": "0\n"},
     'output line 1: the report\'s complete is "true", not true or false'),
    ("no facts", {"output.json": jsonl({"event": "report", "report": {"files": 3},
                                        "complete": True}), "status.txt": "0\n"},
     "output line 1: the report has no found"),
    ("a fact given twice", {"output.json": with_fact("found", "1, \"found\": 0"),
                            "status.txt": "0\n"},
     "output line 1 gives a key twice"),
    ("a name in Latin-1",
     {"output.json": b'{"event": "infected", "file": "/h/caf\xe9.exe", "status": "'
      + INFECTED.encode() + b'"}\n' + jsonl(LEFT_ONE).encode(), "status.txt": "1\n"},
     "output line 1 is not UTF-8 (byte 0xE9 at column 38)"),
    ("a character cut short by the end of the output",
     {"output.json": jsonl(COMPLETE).encode()[:-3] + b'\xc3', "status.txt": "0\n"},
     "output line 1 is not a JSON object (cut short or damaged)"),
    ("a character cut short in the middle of a line",
     {"output.json": jsonl(COMPLETE).encode().replace(b'"h"', b'"\xc3"'),
      "status.txt": "0\n"},
     "output line 1 is not UTF-8 (byte 0xC3 at column %d)" % (jsonl(COMPLETE).index('"h"') + 2)),
    ("a surrogate written as UTF-8 bytes",
     {"output.json": jsonl(COMPLETE).encode().replace(b'"h"', b'"\xed\xa0\x80"'),
      "status.txt": "0\n"},
     "output line 1 is not UTF-8 (byte 0xED at column %d)"
     % (jsonl(COMPLETE).index('"h"') + 2)),
    ("a row whose name is a number",
     {"output.json": jsonl({"event": "infected", "file": 7, "status": INFECTED}, COMPLETE),
      "status.txt": "0\n"},
     "output line 1: a infected row's file is 7, not text"),
    ("an object with no event",
     {"output.json": jsonl({"file": "/h/a.exe"}, COMPLETE), "status.txt": "0\n"},
     "output line 1: an object with no event"),
    ("an event that is no text",
     {"output.json": jsonl({"event": 1, "file": "/h/a.exe"}, COMPLETE), "status.txt": "0\n"},
     "output line 1: an object with no event"),
    ("a row without its event: the one its status gives",
     {"output.json": jsonl({"file": "/h/a.exe", "status": INFECTED}, COMPLETE),
      "status.txt": "0\n"},
     "the rows name 1 found, the report's facts none"),
    ("status 1 and no rows", {"output.json": jsonl(COMPLETE), "status.txt": "1\n"},
     "exit status 1, but the report counts found 0, removed 0, remaining 0, unscanned 0"),
    ("status 3 and nothing remaining", {"output.json": jsonl(COMPLETE), "status.txt": "3\n"},
     "exit status 3, but the report counts found 0, removed 0, remaining 0, unscanned 0"),
    ("status 4 and nothing unscanned", {"output.json": jsonl(COMPLETE), "status.txt": "4\n"},
     "exit status 4, but the report counts found 0, removed 0, remaining 0, unscanned 0"),
    ("status 0 and something found",
     {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"),
                           REMOVED_ONE),
      "status.txt": "0\n"},
     "exit status 0, but the report counts found 1, removed 1, remaining 0, unscanned 0"),
    ("facts of something removed, and no row",
     {"output.json": jsonl(REMOVED_ONE), "status.txt": "1\n"},
     "the report counts 1 found, no row names any"),
    ("rows of something removed, and facts of nothing",
     {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"), COMPLETE),
      "status.txt": "1\n"},
     "the rows name 1 found, the report's facts none"),
    ("a row left in place, and facts of nothing left",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "left in place: report only"),
                           report(found=1, infected=1)),
      "status.txt": "1\n"},
     "the rows name 1 remaining, the report's facts none"),
    ("a file not opened, and facts of everything scanned",
     {"output.json": jsonl(row("/h/b.exe", "unable to open file"), COMPLETE),
      "status.txt": "0\n"},
     "the rows name 1 unscanned, the report's facts none"),
    ("a part not scanned on standard error, and facts of everything scanned",
     {"output.json": jsonl(COMPLETE), "status.txt": "0\n",
      "errors.txt": "krvscan: not scanned: /h/p: the folder could not be listed\n"},
     "the rows name 1 unscanned, the report's facts none"),
    ("counters of an infected file, and facts of nothing",
     {"output.json": jsonl(report(infected=1)), "status.txt": "0\n"},
     "the report's counters show infected files, its facts nothing found"),
    ("counters of a file left, and facts of nothing left",
     {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"),
                           report(found=1, removed=1, infected=1, unable_to_be_cleaned=1)),
      "status.txt": "1\n"},
     "the report's counters show files still there, its facts none remaining"),
    ("facts of something remaining that was never found",
     {"output.json": jsonl({"event": "new_kind"}, report(remaining=1)), "status.txt": "3\n"},
     "the report counts removed or remaining with nothing found"),
    ("interrupted on standard error, status 0",
     {"output.json": jsonl(COMPLETE), "status.txt": "0\n",
      "errors.txt": "krvscan: interrupted; the scan was stopped\n"},
     "exit status 0, but standard error says: krvscan: interrupted; the scan was stopped"),
    ("a cause of something left, with nothing left",
     {"output.json": jsonl(COMPLETE), "status.txt": "0\n",
      "errors.txt": "krvscan: unable to clean: files found: this run has no administrator's "
                    "rights\n"},
     "exit status 0, but standard error says: krvscan: unable to clean: files found: this run "
     "has no administrator's rights"),
]


def write_host(folder, files):
    os.makedirs(folder)
    for name, text in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape"))


def summary(*args):
    # Run as the documentation writes it: the program itself, not through python3.
    r = subprocess.run([SUMMARY, *args], capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


class Summary(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.run_dir = self.work.name

    def tearDown(self):
        self.work.cleanup()

    def run_folder(self, name):
        run = os.path.join(self.run_dir, "".join(c for c in name if c.isalnum()))
        os.makedirs(run)
        return run

    def test_cases(self):
        for name, files, status, lines in CASES:
            with self.subTest(name):
                run = self.run_folder(name)
                if files is not None:
                    write_host(os.path.join(run, "h"), files)
                rc, out, err = summary(run, "h")
                self.assertEqual("", err)
                self.assertEqual(status, rc, out)
                self.assertEqual("results: %s, 1 host" % run, out.splitlines()[0])
                for line in lines:
                    self.assertIn(line, out.splitlines(), out)

    def test_entries_excluded_on_purpose_leave_a_host_clean(self):
        report_excluded = dict(COMPLETE, excluded=2)
        write_host(os.path.join(self.run_dir, "h"), {
            "output.json": jsonl({"event": "excluded", "path": "/h/cache"},
                                 {"event": "excluded", "path": "/h/a.iso"}, report_excluded),
            "status.txt": "0\n"})
        rc, out, err = summary(self.run_dir)
        self.assertEqual((0, ""), (rc, err), out)
        self.assertNotIn("/h/cache", out)

    def test_damaged_results_fail_their_host(self):
        for name, files, reason in DAMAGED:
            with self.subTest(name):
                run = self.run_folder(name)
                write_host(os.path.join(run, "h"), files)
                rc, out, err = summary(run, "h")
                self.assertEqual("", err)
                self.assertEqual(2, rc, out)
                self.assertIn("failed: 1 (h)", out.splitlines())
                self.assertIn("damaged results: " + reason,
                              [line.split("failed: ", 1)[-1] for line in out.splitlines()], out)

    def test_one_damaged_host_fails_alone(self):
        # Every damaged host of the table in one run, between a clean host and one cleaned,
        # each of whose outcome stays its own; the playbook's outcomes say the same.
        write_host(os.path.join(self.run_dir, "a-clean"),
                   {"output.json": jsonl(COMPLETE), "status.txt": "0\n"})
        write_host(os.path.join(self.run_dir, "z-cleaned"),
                   {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"),
                                         REMOVED_ONE), "status.txt": "1\n"})
        damaged = ["d%02d" % i for i in range(len(DAMAGED))]
        for host, (_, files, _) in zip(damaged, DAMAGED):
            write_host(os.path.join(self.run_dir, host), files)
        outcomes = os.path.join(self.work.name + "-outcomes.json")
        self.addCleanup(lambda: os.path.exists(outcomes) and os.remove(outcomes))
        rc, out, err = summary("--outcomes", outcomes, self.run_dir)
        self.assertEqual((2, ""), (rc, err), out)
        lines = out.splitlines()
        self.assertIn("clean: 1 (a-clean)", lines)
        self.assertIn("found, all removed: 1 (z-cleaned)", lines)
        self.assertIn("failed: %d (%s)" % (len(damaged), ", ".join(damaged)), lines)
        with open(outcomes) as f:
            said = json.load(f)
        self.assertEqual(dict({"a-clean": "clean", "z-cleaned": "removed"},
                              **{host: "failed" for host in damaged}),
                         {host: o["outcome"] for host, o in said.items()})
        self.assertTrue(said["d00"]["why"].startswith("damaged results: status.txt holds"))

    def test_a_host_named_in_bytes_that_are_not_utf_8(self):
        write_host(os.path.join(os.fsencode(self.run_dir), b"pc-\xff").decode(
            "utf-8", "surrogateescape"), {"output.json": jsonl(COMPLETE), "status.txt": "1\n"})
        rc, out, err = summary(self.run_dir)
        self.assertEqual((2, ""), (rc, err), out)
        self.assertIn("failed: 1 (pc-\\xFF)", out.splitlines())

    def test_a_folder_of_machines_and_the_worst_outcome_wins(self):
        # As the Windows scripts leave a share: every folder is a machine; files and links
        # beside them are not machines.
        hosts = {"pc-clean": ({"output.json": jsonl(COMPLETE), "status.txt": "0 \r\n"}, "clean"),
                 "pc-cleaned": ({"output.json": jsonl(row("C:\\a.exe", INFECTED),
                                                      row("C:\\a.exe", "deleted"),
                                                      REMOVED_ONE),
                                 "status.txt": "1 \r\n"}, "found, all removed"),
                 "pc-failed": ({"status.txt": "2 \r\n"}, "failed")}
        for host, (files, _) in hosts.items():
            write_host(os.path.join(self.run_dir, host), files)
        with open(os.path.join(self.run_dir, "summary.txt"), "w") as f:
            f.write("an earlier summary\n")
        os.symlink(os.path.join(self.run_dir, "pc-clean"), os.path.join(self.run_dir, "pc-link"))
        rc, out, _ = summary(self.run_dir)
        self.assertEqual(2, rc, out)
        for host, (_, kind) in hosts.items():
            self.assertIn("%s: 1 (%s)" % (kind, host), out.splitlines())
        self.assertIn(", 3 hosts", out.splitlines()[0])
        # Without the failed machine the fleet is clean but for what was removed: 1.
        self.assertEqual(1, summary(self.run_dir, "pc-clean", "pc-cleaned")[0])
        self.assertEqual(0, summary(self.run_dir, "pc-clean")[0])
        # A host named on the command line that is a link is not read.
        self.assertEqual(2, summary(self.run_dir, "pc-link")[0])

    def test_a_folder_that_is_not_there(self):
        rc, out, err = summary(os.path.join(self.run_dir, "nothing"))
        self.assertEqual((2, ""), (rc, out))
        self.assertIn("summary.py: ", err)


if __name__ == "__main__":
    unittest.main()
