#!/usr/bin/env python3
"""krvscan.exe from the outside under Wine, in the prefix that WINEPREFIX names.

krvscan_wine_test.py KRVSCAN.EXE MAKESAMPLES.EXE HOLDFILE.EXE

The Windows build takes the same options as the native one: rows and report, the exit status
for each cause, JSON read back, a scan without --clean changing nothing, and a closed output pipe while
a held file takes the copy route: the file in hand is finished, no copy is left behind;
--quarantine's copies, index and a copy in the way.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from krvscan_test import INFECTED, LABELS, SAMPLES_INFECTED, snapshot  # noqa: E402

KRVSCAN = MAKESAMPLES = HOLDFILE = None
DRIVE = "k:"


def wine(*args, **kw):
    kw.setdefault("stdin", subprocess.DEVNULL)
    kw.setdefault("capture_output", "stdout" not in kw)
    return subprocess.run(["wine", *args], timeout=120, **kw)


def lines(output):
    return output.decode("latin-1").replace("\r\n", "\n").splitlines()


class UnderWine(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", DRIVE)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(self.work, self.link)
        os.makedirs(os.path.join(self.work, "tree", "sub"))
        self.assertEqual(0, wine(MAKESAMPLES, "K:\\tree\\sub").returncode)

    def tearDown(self):
        os.remove(self.link)
        subprocess.run(["rm", "-rf", self.work])

    def test_rows_report_and_exit_status(self):
        r = wine(KRVSCAN, "--clean", "K:\\tree")
        self.assertEqual(1, r.returncode, r.stderr)
        rows = lines(r.stdout)
        for name in SAMPLES_INFECTED:
            p = "K:\\tree\\sub\\" + name
            self.assertEqual([p + "\t" + INFECTED, p + "\tdeleted"],
                             [x for x in rows if x.startswith(p + "\t")])
        start = rows.index("Scan report\t")
        self.assertEqual(LABELS + ["Time:"], [x.split("\t")[0] for x in rows[start + 1:]])
        self.assertEqual(0, wine(KRVSCAN, "--clean", "K:\\tree").returncode)
        for args, status in (((), 2), (("--help",), 0), (("/?",), 0), (("--version",), 0),
                             (("K:\\no-such",), 2), (("--bogus", "K:\\tree"), 2)):
            r = wine(KRVSCAN, *args)
            self.assertEqual(status, r.returncode, args)
            self.assertEqual(status == 2, r.stderr.startswith(b"krvscan: "), args)
            self.assertEqual(1 if status == 2 else 0, len(lines(r.stderr)), (args, r.stderr))
            if args in (("--help",), ("/?",)):
                self.assertTrue(r.stdout.startswith(b"usage: krvscan"), args)

    def test_json_and_report_only(self):
        before = snapshot(self.work)
        r = wine(KRVSCAN, "--json", "K:\\tree")
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(before, snapshot(self.work))
        objects = [json.loads(x) for x in lines(r.stdout)]
        self.assertEqual(2 * len(SAMPLES_INFECTED), len(objects) - 1)
        self.assertEqual({"infected": 4, "deleted": 0, "complete": True},
                         {"infected": objects[-1]["report"]["infected"],
                          "deleted": objects[-1]["report"]["deleted"],
                          "complete": objects[-1]["complete"]})

    def test_a_held_file_waits_for_a_restart_exit_3_with_the_advice(self):
        holder = subprocess.Popen(["wine", HOLDFILE, "K:\\tree\\sub\\infected-entry1.exe"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(b"ready", holder.stdout.readline().strip())
            r = wine(KRVSCAN, "--clean", "--json", "K:\\tree\\sub\\infected-entry1.exe")
        finally:
            holder.communicate(b"\n", timeout=60)
        self.assertEqual(3, r.returncode, r.stderr)
        last = json.loads(lines(r.stdout)[-1])
        self.assertEqual((1, 0, 1), (last["found"], last["removed"], last["remaining"]))
        self.assertIn("restart", r.stderr.decode("latin-1"))
        # Nothing waits for a restart after a scan that removed everything: no advice.
        r = wine(KRVSCAN, "--clean", "K:\\tree")
        self.assertNotIn("restart", r.stderr.decode("latin-1"))

    def test_log_appends_with_the_computer_name(self):
        for _ in range(2):
            r = wine(KRVSCAN, "--json", "--log", "K:\\scans.log", "K:\\tree")
            self.assertEqual(1, r.returncode, r.stderr)
        host = json.loads(lines(r.stdout)[-1])["host"]
        self.assertTrue(host)
        with open(os.path.join(self.work, "scans.log"), "rb") as f:
            raw = f.read()
        log = lines(raw)
        headers = [x.split("\t") for x in log if x.startswith("krvscan\t")]
        self.assertEqual([host] * 2, [h[2] for h in headers])
        self.assertEqual(2, log.count("Scan report\t"))
        # Every line ends as the console's do there, or Notepad shows the log as one line.
        self.assertTrue(raw.endswith(b"\r\n"))
        self.assertEqual((raw.count(b"\n"), 0), (raw.count(b"\r\n"), raw.count(b"\r\r")))

    def test_a_closed_pipe_leaves_no_copy_of_a_held_file(self):
        holder = subprocess.Popen(["wine", HOLDFILE, "K:\\tree\\sub\\infected-entry1.exe"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(b"ready", holder.stdout.readline().strip())
            reader, writer = os.pipe()
            os.close(reader)              # nobody will ever read the rows
            r = wine(KRVSCAN, "--clean", "K:\\tree\\sub\\infected-entry1.exe", stdout=writer,
                     stderr=subprocess.PIPE)
            os.close(writer)
        finally:
            holder.communicate(b"\n", timeout=60)
        self.assertEqual(2, r.returncode, r.stderr)
        self.assertIn(b"could not be written", r.stderr)
        names = os.listdir(os.path.join(self.work, "tree", "sub"))
        self.assertEqual([], [n for n in names if ".qx-" in n])
        self.assertIn("infected-entry1.exe", names)   # held: its deletion waits for a restart

    def test_quarantine_copies_before_deleting_and_a_copy_in_the_way_leaves_the_file(self):
        sub = os.path.join(self.work, "tree", "sub")
        digests = {}
        for name in SAMPLES_INFECTED:
            with open(os.path.join(sub, name), "rb") as f:
                digests[name] = hashlib.sha256(f.read()).hexdigest()
        store = os.path.join(self.work, "store")
        for args in (("--quarantine", "K:\\store", "K:\\tree"),
                     ("--clean", "--quarantine", "K:\\tree", "K:\\tree\\sub")):
            r = wine(KRVSCAN, *args)
            self.assertEqual((2, 1), (r.returncode, len(lines(r.stderr))), (args, r.stderr))
        self.assertFalse(os.path.exists(store))
        # Other contents under the first file's name: that file is left, the others go.
        os.mkdir(store)
        kept = SAMPLES_INFECTED[0]
        planted = os.path.join(store, digests[kept] + ".quarantined")
        with open(planted, "w") as f:
            f.write("other")
        r = wine(KRVSCAN, "--clean", "--json", "--quarantine", "K:\\store", "K:\\tree")
        self.assertEqual(3, r.returncode, r.stderr)
        rows = [json.loads(x) for x in lines(r.stdout)]
        for name in SAMPLES_INFECTED:
            events = [x["event"] for x in rows if x.get("file") == "K:\\tree\\sub\\" + name]
            self.assertEqual(["infected", "unable_to_clean"] if name == kept
                             else ["infected", "quarantined", "deleted"], events, name)
        self.assertTrue(os.path.exists(os.path.join(sub, kept)))
        os.remove(planted)
        r = wine(KRVSCAN, "--clean", "--quarantine", "K:\\store", "K:\\tree")
        self.assertEqual(1, r.returncode, r.stderr)
        with open(os.path.join(store, "index.jsonl"), encoding="utf-8") as f:
            index = [json.loads(x) for x in f]
        self.assertEqual(sorted("K:\\tree\\sub\\" + n for n in SAMPLES_INFECTED),
                         sorted(x["path"] for x in index))
        for name, digest in digests.items():
            copy = os.path.join(store, digest + ".quarantined")
            with open(copy, "rb") as f:
                self.assertEqual(digest, hashlib.sha256(f.read()).hexdigest(), name)
            self.assertEqual(0, os.stat(copy).st_mode & 0o222, name)   # read-only
            line = [x for x in index if x["sha256"] == digest][0]
            self.assertEqual((os.path.getsize(copy), "Win32.Worm.Tamsel.A"),
                             (line["size"], line["detection"]))
            self.assertIn("attributes", line)
            self.assertRegex(line["quarantined"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
            self.assertFalse(os.path.exists(os.path.join(sub, name)))

    def test_restore_is_refused_in_this_build_and_nothing_is_written(self):
        # The index keeps no owner or access list here: one line, exit 2, the copy kept.
        os.remove(os.path.join(self.work, "tree", "sub", SAMPLES_INFECTED[0]))
        r = wine(KRVSCAN, "--clean", "--quarantine", "K:\\store", "K:\\tree")
        self.assertEqual(1, r.returncode, r.stderr)
        before = snapshot(self.work)
        r = wine(KRVSCAN, "--restore", "K:\\store")
        self.assertEqual(2, r.returncode)
        self.assertEqual(1, len(lines(r.stderr)), r.stderr)
        self.assertIn(b"not available in this build", r.stderr)
        self.assertEqual(before, snapshot(self.work))

    def test_the_autostart_value_of_the_running_system_counts_like_a_file(self):
        run_key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
        os.makedirs(os.path.join(self.work, "empty"))
        self.assertEqual(0, wine("reg", "add", run_key, "/v", "system-SERVICE host", "/d",
                                 "C:\\w.exe", "/f").returncode)
        try:
            row = run_key + "\\system-SERVICE host = C:\\w.exe"
            for flags, status, facts, event in (
                    ((), 1, (1, 0, 1), "autostart_found"),
                    (("--clean",), 1, (1, 1, 0), "autostart_removed"),
                    (("--clean",), 0, (0, 0, 0), None)):
                r = wine(KRVSCAN, "--json", *flags, "K:\\empty")
                self.assertEqual(status, r.returncode, (flags, r.stderr))
                objects = [json.loads(x) for x in lines(r.stdout)]
                last = objects[-1]
                self.assertEqual(facts, (last["found"], last["removed"], last["remaining"]))
                self.assertEqual([(event, row)] if event else [],
                                 [(o["event"], o["file"]) for o in objects[:-1]], flags)
                left = wine("reg", "query", run_key, "/v", "system-SERVICE host").returncode
                self.assertEqual(event == "autostart_found", left == 0, flags)
            # The text rows name it too.
            wine("reg", "add", run_key, "/v", "System-Service", "/d", "C:\\x.exe", "/f")
            r = wine(KRVSCAN, "K:\\empty")
            self.assertEqual(1, r.returncode, r.stderr)
            self.assertEqual(run_key + "\\System-Service = C:\\x.exe\tautostart value found: "
                             "report only", lines(r.stdout)[0])
        finally:
            for name in ("system-SERVICE host", "System-Service"):
                wine("reg", "delete", run_key, "/v", name, "/f")

    def test_a_path_that_is_a_link_to_a_folder_is_followed_and_named(self):
        os.symlink(os.path.join(self.work, "tree"), os.path.join(self.work, "linked"))
        r = wine(KRVSCAN, "--clean", "K:\\linked")
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(["krvscan: K:\\linked: a link, followed to K:\\tree"], lines(r.stderr))
        deleted = sorted(x.split("\t")[0] for x in lines(r.stdout) if x.endswith("\tdeleted"))
        self.assertEqual(sorted("K:\\tree\\sub\\" + n for n in SAMPLES_INFECTED), deleted)
        self.assertTrue(os.path.islink(os.path.join(self.work, "linked")))

    def copies(self, count):
        """`count` copies of the sample folder below K:\\tree, for runs that take a while."""
        for i in range(count):
            subprocess.run(["cp", "-r", os.path.join(self.work, "tree", "sub"),
                            os.path.join(self.work, "tree", "c%02d" % i)], check=True)

    def test_two_runs_share_one_quarantine_folder_and_one_log(self):
        """Two runs at once: each index line whole and each file copied before its deletion
        (the index is opened with write sharing, the runs take turns at a lock), and every
        line of both in the shared log, whole."""
        self.copies(10)
        other = os.path.join(self.work, "tree2")
        subprocess.run(["cp", "-r", os.path.join(self.work, "tree"), other], check=True)
        scans = [subprocess.Popen(["wine", KRVSCAN, "--clean", "--quarantine", "K:\\store",
                                   "--log", "K:\\scans.log", tree],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
                 for tree in ("K:\\tree", "K:\\tree2")]
        outputs = [p.communicate(timeout=300) for p in scans]
        self.assertEqual([1, 1], [p.returncode for p in scans], outputs)
        with open(os.path.join(self.work, "store", "index.jsonl"), "rb") as f:
            index = f.read()
        self.assertTrue(index.endswith(b"\n"))
        rows = [json.loads(x) for x in index.splitlines()]
        self.assertEqual(2 * 11 * len(SAMPLES_INFECTED), len(rows))
        with open(os.path.join(self.work, "scans.log"), "rb") as f:
            log = lines(f.read())
        printed = [x for out, _ in outputs for x in lines(out)]
        self.assertEqual(sorted(printed), sorted(x for x in log if not x.startswith("krvscan\t")))


    def test_own_outputs_and_quarantine_inside_the_tree_are_passed_over(self):
        """cmd's redirections, the log and the quarantine folder inside the tree scanned: known
        by volume serial number and file index, passed over, and a clean tree ends with 0."""
        subprocess.run(["rm", "-rf", os.path.join(self.work, "tree", "sub")], check=True)
        with open(os.path.join(self.work, "tree", "clean.txt"), "w") as f:
            f.write("clean\n")
        shutil.copy(KRVSCAN, os.path.join(self.work, "krvscan.exe"))   # for cmd to find
        command = ("K:\\krvscan.exe --json --log K:\\tree\\scan.log --clean --quarantine "
                   "K:\\tree\\q K:\\tree > K:\\tree\\out.json 2> K:\\tree\\err.txt")
        for _ in range(2):   # the second run meets the files the first left
            self.assertEqual(0, wine("cmd", "/c", command).returncode)
            with open(os.path.join(self.work, "tree", "err.txt"), "rb") as f:
                self.assertEqual(["krvscan: K:\\tree\\q: the quarantine folder, not scanned"],
                                 lines(f.read()))
            with open(os.path.join(self.work, "tree", "out.json"), "rb") as f:
                self.assertEqual(1, json.loads(lines(f.read())[-1])["report"]["files"])

    def test_exclude_matches_either_case_and_either_separator(self):
        r = wine(KRVSCAN, "--exclude=*\\SUB/INFECTED*", "--exclude-dir", "NONE", "K:\\tree")
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("Excluded:\t%d" % len(SAMPLES_INFECTED), lines(r.stdout))


if __name__ == "__main__":
    KRVSCAN, MAKESAMPLES, HOLDFILE = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1], verbosity=2)
