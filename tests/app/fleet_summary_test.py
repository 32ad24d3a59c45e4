#!/usr/bin/env python3
"""fleet/summary.py on results folders written here: one host per case, in the scanner's output
as it is and as it grows (rows with "event", a report with its own counters, parts not scanned
as objects of their own), and output that is damaged, cut short, missing or hostile.

fleet_summary_test.py
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

SUMMARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fleet",
                       "summary.py")
INFECTED = "infected: Win32.Worm.Tamsel.A"
COMPLETE = {"report": {"files": 3, "infected": 1}, "complete": True}


def jsonl(*objects):
    return "".join(json.dumps(o) + "\n" for o in objects)


def row(path, status, **more):
    return dict(file=path, status=status, **more)


# name, {file: content} of the host's folder (None: the folder is not there), the summary's
# exit status, lines the summary must hold.
CASES = [
    ("report only, today's output",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "left in place: report only"), COMPLETE),
      "status.txt": "1\n"},
     3, ["found, some left: 1 (h)", "h: found 1, removed 0, left 1, not scanned 0",
         "  left: /h/a.exe (left in place: report only)"]),
    ("cleaned, today's output",
     {"output.json": jsonl(row("/h/a.exe", INFECTED), row("/h/a.exe", "deleted"), COMPLETE),
      "status.txt": "1\n"},
     1, ["found, all removed: 1 (h)", "  removed: /h/a.exe"]),
    ("a locked file: the copy is the scanner's own, the file waits for the restart",
     {"output.json": jsonl(row("/h/a.exe", INFECTED),
                           row("/h/a.exe", "creating a copy for cleaning"),
                           row("/h/a.exe.qx-000", INFECTED), row("/h/a.exe.qx-000", "deleted"),
                           row("/h/a.exe", "will be deleted at restart"), COMPLETE),
      "status.txt": "1\n"},
     3, ["h: found 1, removed 0, left 1, not scanned 0",
         "  left: /h/a.exe (will be deleted at restart)"]),
    ("the autostart value, found and left",
     {"output.json": jsonl(row("HKLM\\...\\Run\\System-Service",
                               "autostart value found: report only"), COMPLETE),
      "status.txt": "1\n"},
     3, ["  left: HKLM\\...\\Run\\System-Service (autostart value found: report only)"]),
    ("a file that could not be opened, and a folder named on standard error",
     {"output.json": jsonl(row("/h/b.exe", "unable to open file"), COMPLETE),
      "errors.txt": "krvscan: not scanned: /h/private: permission denied\n",
      "status.txt": "0\n"},
     4, ["not fully scanned: 1 (h)", "  not scanned: /h/b.exe: unable to open file",
         "  not scanned: /h/private: permission denied"]),
    ("rows with events, unknown status texts, a report with its own counters",
     {"output.json": jsonl(row("/h/a.exe", "found it", event="infected"),
                           row("/h/a.exe", "gone", event="deleted"),
                           row("/h/c.exe", "found it", event="infected"),
                           row("/h/c.exe", "locked", event="unable_to_clean"),
                           {"path": "/h/deep", "reason": "path too long"},
                           dict(COMPLETE, found=2, removed=1, remaining=1, unscanned=1,
                                host="H", version="2.0")),
      "status.txt": "3\n"},
     3, ["h: found 2, removed 1, left 1, not scanned 1", "  removed: /h/a.exe",
         "  left: /h/c.exe (locked)", "  not scanned: /h/deep: path too long"]),
    ("a report that counts more left than its rows name",
     {"output.json": jsonl(dict(COMPLETE, found=1, removed=0, remaining=1)), "status.txt": "3"},
     3, ["found, some left: 1 (h)"]),
    ("an exit status that says more than the rows",
     {"output.json": jsonl(COMPLETE), "status.txt": "4\n"}, 4, ["not fully scanned: 1 (h)"]),
    ("the last line cut short",
     {"output.json": jsonl(row("/h/a.exe", INFECTED)) + '{"file":"/h/a.exe","sta',
      "status.txt": "1\n"},
     2, ["failed: 1 (h)", "  failed: output line 2 is not a JSON object (cut short or damaged)",
         "  left: /h/a.exe (no outcome recorded)"]),
    ("a damaged line in the middle",
     {"output.json": jsonl(row("/h/a.exe", INFECTED)) + "\x00\xff garbage\n[1]\n"
      + jsonl(row("/h/a.exe", "deleted"), COMPLETE),
      "status.txt": "1\n"},
     2, ["  failed: output line 2 is not a JSON object (cut short or damaged)",
         "  removed: /h/a.exe"]),
    ("a scan stopped before its end",
     {"output.json": jsonl({"report": {}, "complete": False}), "status.txt": "2\n"},
     2, ["h: failed: krvscan ended with exit status 2"]),
    ("a scan stopped, the report says so and the status does not",
     {"output.json": jsonl({"report": {}, "complete": False}), "status.txt": "0\n"},
     2, ["h: failed: the scan did not run to its end"]),
    ("rows after the report",
     {"output.json": jsonl(COMPLETE, row("/h/a.exe", INFECTED)), "status.txt": "1\n"},
     2, ["  failed: output goes on after the report (line 2)"]),
    ("a missing target",
     {"output.json": "", "errors.txt": "krvscan: /h/x: no such file or folder\n",
      "status.txt": "2\n"},
     2, ["h: failed: krvscan: /h/x: no such file or folder"]),
    ("a scanner that never ran", {"status.txt": "127\n"},
     2, ["h: failed: krvscan ended with exit status 127"]),
    ("no exit status (still running, or the machine went down)",
     {"output.json": jsonl(COMPLETE)}, 2, ["h: failed: no exit status came back"]),
    ("no output", {"status.txt": "0\n"}, 2, ["h: failed: no output came back"]),
    ("unreachable", {"failed.txt": "unreachable: connection refused\n"},
     2, ["h: failed: unreachable: connection refused"]),
    ("no folder at all", None, 2, ["h: failed: no result came back"]),
    ("control characters in a name do not reach the terminal",
     {"output.json": jsonl(row("/h/\x1b[2Jx.exe", INFECTED),
                           row("/h/\x1b[2Jx.exe", "deleted"), COMPLETE),
      "status.txt": "1\n"},
     1, ["  removed: /h/\\x1B[2Jx.exe"]),
    ("clean", {"output.json": jsonl(COMPLETE), "status.txt": "0\r\n"}, 0, ["clean: 1 (h)"]),
]


def write_host(folder, files):
    os.makedirs(folder)
    for name, text in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text.encode("utf-8", "surrogateescape") if "\xff" not in text
                    else text.encode("latin-1"))


def summary(*args):
    r = subprocess.run([sys.executable, SUMMARY, *args], capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


class Summary(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.run_dir = self.work.name

    def tearDown(self):
        self.work.cleanup()

    def test_cases(self):
        for name, files, status, lines in CASES:
            with self.subTest(name):
                run = os.path.join(self.run_dir, "".join(c for c in name if c.isalnum()))
                os.makedirs(run)
                if files is not None:
                    write_host(os.path.join(run, "h"), files)
                rc, out, err = summary(run, "h")
                self.assertEqual("", err)
                self.assertEqual(status, rc, out)
                for line in lines:
                    self.assertIn(line, out.splitlines(), out)

    def test_a_folder_of_machines_and_the_worst_outcome_wins(self):
        # As the Windows scripts leave a share: every folder is a machine; files and links
        # beside them are not machines.
        hosts = {"pc-clean": ({"output.json": jsonl(COMPLETE), "status.txt": "0 \r\n"}, "clean"),
                 "pc-cleaned": ({"output.json": jsonl(row("C:\\a.exe", INFECTED),
                                                      row("C:\\a.exe", "deleted"), COMPLETE),
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
