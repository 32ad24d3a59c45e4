#!/usr/bin/env python3
"""krvscan from the outside, as an administrator's script meets it.

krvscan_test.py KRVSCAN MAKESAMPLES

Rows and report, JSON read back (an awkward name included), the exit status for each cause,
a scan without --clean (or with --report-only) changing nothing, Ctrl-C and a closed pipe stopping the scan cleanly,
--quarantine, and --windows-root on hives made here (hive.py) and read back with hivexget.
"""
import codecs
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hive  # noqa: E402

KRVSCAN = MAKESAMPLES = None
DETECTION = "Win32.Worm.Tamsel.A"
INFECTED = "infected: " + DETECTION
SAMPLES_INFECTED = ["infected-entry1.exe", "infected-entry2.exe", "infected.dll",
                    "infected-pe32plus.exe"]
LABELS = ["Folders:", "Files:", "Infected:", "Warnings:", "Suspicious:", "Cleaned:", "Deleted:",
          "Cleaned at restart:", "Deleted at restart:", "Unable to be cleaned:"]


def run(*args, **kw):
    kw.setdefault("timeout", 120)
    return subprocess.run([KRVSCAN, *args], capture_output=True, **kw)


def report(stdout):
    """The report's rows, label to value, from text output."""
    lines = stdout.decode().splitlines()
    start = lines.index("Scan report\t")
    return dict(line.split("\t") for line in lines[start + 1:])


def untimed(stdout):
    """Text output without the report's Time: line, the one line two runs of a scan differ in."""
    return re.sub(rb"^Time:\t.*\n", b"", stdout, flags=re.M)


def snapshot(top):
    """Every file below `top`: content digest, mode and modification time."""
    seen = {}
    for folder, _, files in os.walk(top):
        for name in files:
            p = os.path.join(folder, name)
            st = os.lstat(p)
            with open(p, "rb") as f:
                seen[p] = (hashlib.sha256(f.read()).hexdigest(), st.st_mode, st.st_mtime_ns)
    return seen


class Scans(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.tree = os.path.join(self.work, "tree")
        os.makedirs(os.path.join(self.tree, "sub"))
        subprocess.run([MAKESAMPLES, os.path.join(self.tree, "sub")], check=True,
                       capture_output=True)

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+w", self.work])
        subprocess.run(["rm", "-rf", self.work])

    def big_tree(self, files):
        """`files` clean files in folders of 100, behind the samples."""
        top = os.path.join(self.tree, "zz-many")
        for i in range(files):
            if i % 100 == 0:
                folder = os.path.join(top, "f%04d" % (i // 100))
                os.makedirs(folder)
            with open(os.path.join(folder, "n%d.exe" % i), "wb") as f:
                f.write(b"MZ" + b"\0" * 62)
        return top


class Descriptors(Scans):
    def test_a_tree_deeper_than_the_soft_limit_is_walked_to_the_bottom(self):
        import resource
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        depth = 150
        if hard != resource.RLIM_INFINITY and hard < depth + 64:
            self.skipTest("the hard limit of open files is too low for the tree")
        folder = os.path.join(self.tree, *["d"] * depth)
        os.makedirs(folder)
        bottom = os.path.join(folder, "worm.exe")
        os.rename(os.path.join(self.tree, "sub", "infected-entry1.exe"), bottom)
        r = run("--clean", self.tree,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, hard)))
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertIn(bottom + "\tdeleted", r.stdout.decode().splitlines())
        self.assertEqual(str(depth + 2), report(r.stdout)["Folders:"])


    def evict(self, top):
        """Writes back and drops the pages of every file below `top`, as after a restart: the
        scan then finds them missing from the cache, and read-ahead fetches them."""
        os.sync()
        folders = [top]
        while folders:
            for entry in os.scandir(folders.pop()):
                if entry.is_dir(follow_symlinks=False):
                    folders.append(entry.path)
                elif entry.is_file(follow_symlinks=False):
                    fd = os.open(entry.path, os.O_RDONLY)
                    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                    os.close(fd)

    def test_files_missing_from_the_cache_are_all_found_under_a_low_hard_limit(self):
        import resource
        with open(os.path.join(self.tree, "sub", "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        flat = os.path.join(self.work, "flat")
        os.makedirs(flat)
        for i in range(300):
            with open(os.path.join(flat, "w%03d.bin" % i), "wb") as f:
                f.write(worm)
        for limit in (8, 12, 16, 20, 24):
            self.evict(flat)
            r = run("--json", flat, preexec_fn=lambda limit=limit: resource.setrlimit(
                resource.RLIMIT_NOFILE, (limit, limit)))
            self.assertEqual((1, b""), (r.returncode, r.stderr), limit)
            last = json.loads(r.stdout.splitlines()[-1])
            self.assertEqual((300, 300, 0), (last["report"]["files"], last["found"],
                                             last["unscanned"]), limit)

    def test_a_tree_nearly_as_deep_as_the_hard_limit_misses_no_file_missing_from_the_cache(self):
        import resource
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < 1024:
            self.skipTest("the hard limit of open files is below 1024")
        with open(os.path.join(self.tree, "sub", "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        top = os.path.join(self.work, "deep")
        os.mkdir(top)
        folder = top
        for level in range(1010):
            folder = os.path.join(folder, "d")
            os.mkdir(folder)
            for i in range(40 if level >= 1010 - 21 else 0):
                with open(os.path.join(folder, "w%02d.bin" % i), "wb") as f:
                    f.write(worm)
        # The walk needs 1,011 descriptors for its listings, three more for the standard
        # streams and one for the file in hand.
        for limit in (1016, 1019, 1022, 1024):
            self.evict(top)
            r = run("--json", top, preexec_fn=lambda limit=limit: resource.setrlimit(
                resource.RLIMIT_NOFILE, (limit, limit)))
            self.assertEqual((1, b""), (r.returncode, r.stderr), limit)
            last = json.loads(r.stdout.splitlines()[-1])
            self.assertEqual((1011, 840, 840, 0),
                             (last["report"]["folders"], last["report"]["files"], last["found"],
                              last["unscanned"]), limit)


class GivenFolders(Scans):
    def test_the_folder_given_next_is_walked_whatever_the_first_listing_ended_on(self):
        """The first folder holds one entry of each kind, or none (its listing ends on ".."):
        the second, with a worm and a folder in it, is walked whole, in either order."""
        with open(os.path.join(self.tree, "sub", "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        kinds = ["file", "folder", "link to a file", "link to a folder", ".."]
        for kind in kinds:
            for a_first in (True, False):
                top = os.path.join(self.work, "t%d%d" % (kinds.index(kind), a_first))
                a, b = os.path.join(top, "dirA"), os.path.join(top, "dirBBBBBBBBBBBBBB")
                os.makedirs(a)
                os.makedirs(os.path.join(b, "sub"))
                with open(os.path.join(b, "worm.exe"), "wb") as f:
                    f.write(worm)
                with open(os.path.join(b, "sub", "clean.txt"), "w") as f:
                    f.write("clean")
                with open(os.path.join(top, "target.txt"), "w") as f:
                    f.write("clean")
                if kind == "file":
                    with open(os.path.join(a, "only.txt"), "w") as f:
                        f.write("clean")
                elif kind == "folder":
                    os.mkdir(os.path.join(a, "only"))
                elif kind == "link to a file":
                    os.symlink("../target.txt", os.path.join(a, "only.txt"))
                elif kind == "link to a folder":
                    os.symlink("../dirBBBBBBBBBBBBBB", os.path.join(a, "only"))
                given = ["t%d%d/dirA" % (kinds.index(kind), a_first),
                         "t%d%d/dirBBBBBBBBBBBBBB" % (kinds.index(kind), a_first)]
                r = run(*(given if a_first else given[::-1]), cwd=self.work)
                trace = (kind, a_first, r.stderr)
                self.assertEqual((1, b""), (r.returncode, r.stderr), trace)
                got = report(r.stdout)
                self.assertEqual((str(3 + (kind == "folder")), str(2 + (kind == "file")), "1"),
                                 (got["Folders:"], got["Files:"], got["Infected:"]), trace)
                self.assertIn(given[1] + "/worm.exe\t" + INFECTED,
                              r.stdout.decode().splitlines(), trace)


class RowsAndReport(Scans):
    def test_folder_file_and_several_paths_share_one_report(self):
        sub = os.path.join(self.tree, "sub")
        os.chmod(os.path.join(sub, "infected.dll"), 0o444)   # read-only: deleted all the same
        single = os.path.join(self.work, "single.exe")
        os.rename(os.path.join(sub, "infected-entry2.exe"), single)
        r = run("--clean", self.tree, single)
        self.assertEqual(1, r.returncode, r.stderr)
        rows = r.stdout.decode().splitlines()
        for name in ["infected-entry1.exe", "infected.dll", "infected-pe32plus.exe"]:
            p = os.path.join(sub, name)
            self.assertEqual([p + "\t" + INFECTED, p + "\tdeleted"],
                             [x for x in rows if x.startswith(p + "\t")])
            self.assertFalse(os.path.exists(p))
        self.assertEqual([single + "\t" + INFECTED, single + "\tdeleted"],
                         [x for x in rows if x.startswith(single + "\t")])
        got = report(r.stdout)
        self.assertEqual(LABELS + ["Time:"], list(got))
        self.assertEqual(("2", "18", "4", "4"),
                         (got["Folders:"], got["Files:"], got["Infected:"], got["Deleted:"]))
        clean = run("--clean", self.tree)
        self.assertEqual(0, clean.returncode)
        self.assertEqual("0", report(clean.stdout)["Infected:"])

    def test_a_name_with_line_breaks_stays_one_row(self):
        forged = "x\nScan report\t\nInfected:\t0\n.exe"
        with open(os.path.join(self.tree, "sub", "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        with open(os.path.join(self.tree, forged), "wb") as f:
            f.write(worm)
        r = run("--clean", self.tree)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(1, lines.count("Scan report\t"))
        escaped = os.path.join(self.tree, forged.replace("\n", "\\x0A").replace("\t", "\\x09"))
        self.assertIn(escaped + "\t" + INFECTED, lines)
        self.assertEqual("5", report(r.stdout)["Infected:"])


def name_of(row):
    """The exact name in a text row's first field, read back as the README says."""
    return codecs.escape_decode(row.split(b"\t")[0])[0]


class Escaping(Scans):
    def test_every_name_comes_back_from_its_row_and_no_two_rows_are_alike(self):
        names = [b"n\nx", b"n\\x0Ax", b"n\\nx", b"back\\slash", b"c1 \xc2\x85 nel",
                 b"c1 \xc2\x9f", b"del \x7f", b"tab\t", b"latin1 caf\xe9", b"utf8 caf\xc3\xa9",
                 b"cut \xe2\x82", b"nbsp \xc2\xa0", b"esc \x1b[31m"]
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        top = os.path.join(self.work, "names").encode()
        os.makedirs(top)
        for name in names:
            with open(os.path.join(top, name + b".dll"), "wb") as f:
                f.write(worm)
        r = run(top)
        self.assertEqual(1, r.returncode, r.stderr)
        rows = [x for x in r.stdout.split(b"\n") if x.endswith(b"\t" + INFECTED.encode())]
        self.assertEqual(len(names), len(set(rows)))
        got = sorted(name_of(row) for row in rows)
        self.assertEqual(sorted(os.path.join(top, n + b".dll") for n in names), got)
        for row in rows:
            # Plain text on a terminal: no control, C1 control or stray byte left raw.
            text = row.decode("utf-8")
            self.assertFalse(any(ord(c) < 0x20 and c != "\t" or 0x7F <= ord(c) < 0xA0
                                 for c in text), row)


class Json(Scans):
    def test_every_line_parses_and_an_awkward_name_comes_back_exactly(self):
        awkward = b"caf\xe9 \"quoted\"\n\x01.exe"
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        path = os.path.join(self.tree.encode(), awkward)
        with open(path, "wb") as f:
            f.write(worm)
        r = run("--json", "--clean", self.tree)
        self.assertEqual(1, r.returncode, r.stderr)
        objects = [json.loads(line.decode("utf-8")) for line in r.stdout.splitlines()]
        rows, last = objects[:-1], objects[-1]
        self.assertEqual({"folders": 2, "files": 19, "infected": 5, "warnings": 0,
                          "suspicious": 0, "cleaned": 0, "deleted": 5, "cleaned_at_restart": 0,
                          "deleted_at_restart": 0, "unable_to_be_cleaned": 0}, last["report"])
        self.assertTrue(last["complete"])
        mine = [o for o in rows if "file_hex" in o]
        self.assertEqual([INFECTED, "deleted"], [o["status"] for o in mine])
        self.assertEqual(["infected", "deleted"] * 5, [o["event"] for o in rows])
        self.assertEqual(("report", 5, 5, 0, 0), (last["event"], last["found"], last["removed"],
                                                  last["remaining"], last["unscanned"]))
        self.assertEqual(path, bytes.fromhex(mine[0]["file_hex"]))
        self.assertIn("\ufffd", mine[0]["file"])
        self.assertTrue(all("file_hex" not in o for o in rows if o not in mine))


class ExitStatus(Scans):
    def test_each_cause(self):
        for args in (["-h"], ["--help"], ["--version"]):
            r = run(*args)
            self.assertEqual((0, b""), (r.returncode, r.stderr), args)
            self.assertTrue(r.stdout.startswith(b"usage: krvscan" if args != ["--version"]
                                                else b"krvscan "), args)
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        causes = {
            (): "nothing to scan",
            ("--bogus", self.tree): "--bogus: unknown option",
            (os.path.join(self.work, "no-such"),): "no such file or folder",
            (fifo,): "cannot be read",
            (self.tree, "--all-fixed-drives"): "not both",
            ("--clean", "--report-only", self.tree): "not both",
            ("--windows-root",): "needs a folder",
            ("--restore-root", self.work, self.tree): "--restore-root: needs --restore",
            ("--restore", self.work, "--restore-root"): "--restore-root: needs a folder",
            ("--restore", self.work, "--restore-root="): "--restore-root: needs a folder",
            ("--restore", self.work, "--restore-root", os.path.join(self.work, "no-such")):
                "--restore-root: the folder cannot be opened",
        }
        for args, cause in causes.items():
            r = run(*args)
            self.assertEqual(2, r.returncode, args)
            self.assertEqual(1, len(r.stderr.splitlines()), (args, r.stderr))
            self.assertIn(cause, r.stderr.decode(), args)
            self.assertEqual(b"", r.stdout, args)
        self.assertIn(b"krvscan --help", run("--bogus", self.tree).stderr)
        self.assertTrue(os.path.exists(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])))

    def test_ctrl_c_finishes_the_file_in_hand_then_reports(self):
        self.big_tree(20000)
        p = subprocess.Popen([KRVSCAN, "--json", "--clean", self.tree], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.readline()          # the scan is under way
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        self.assertEqual(2, p.returncode)
        self.assertIn(b"interrupted", err)
        last = json.loads(out.splitlines()[-1])
        self.assertFalse(last["complete"])
        self.assertLess(last["report"]["files"], 20000 + 18)
        # The text report says so too, not only standard error. The scan above may have deleted
        # every worm before it stopped: without one, the first row would be the report itself.
        subprocess.run([MAKESAMPLES, os.path.join(self.tree, "sub")], check=True,
                       capture_output=True)
        p = subprocess.Popen([KRVSCAN, self.tree], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        first = p.stdout.readline()  # under way (a fixed pause may outlast the whole scan)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        out = first + out
        self.assertEqual(2, p.returncode, err)
        self.assertIn("Incomplete:", report(out))

    def too_long(self):
        """A folder whose path is too long for the system, below the tree."""
        fd = os.open(self.tree, os.O_RDONLY)
        for _ in range(22):
            os.mkdir("d" * 200, dir_fd=fd)
            inner = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(fd)

    def test_each_status_and_its_facts(self):
        """0-4, and when several hold: 2 before 3, 3 before 4, 4 before 1."""
        cases = [  # (name, setup, flags, status, found, removed, remaining, unscanned)
            ("clean", "remove the samples", (), 0, 0, 0, 0, 0),
            ("found", "", (), 1, 4, 0, 4, 0),
            ("found and removed", "", ("--clean",), 1, 4, 4, 0, 0),
            ("one left", "immutable", ("--clean",), 3, 4, 3, 1, 0),
            ("not all scanned", "too long, remove the samples", (), 4, 0, 0, 0, 1),
            ("found, not all scanned", "too long", (), 4, 4, 0, 4, 1),
            ("one left, not all scanned", "too long, immutable", ("--clean",), 3, 4, 3, 1, 1),
        ]
        for name, setup, flags, status, *facts in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                worm = os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])
                if "remove the samples" in setup:
                    subprocess.run(["rm", "-rf", os.path.join(self.tree, "sub")], check=True)
                if "too long" in setup:
                    self.too_long()
                if "immutable" in setup:
                    c = subprocess.run(["chattr", "+i", worm], capture_output=True)
                    self.assertEqual(0, c.returncode, c.stderr)
                try:
                    r = run("--json", *flags, self.tree)
                finally:
                    subprocess.run(["chattr", "-i", worm], capture_output=True)
                self.assertEqual(status, r.returncode, r.stderr)
                last = json.loads(r.stdout.splitlines()[-1])
                self.assertEqual(facts, [last[k] for k in ("found", "removed", "remaining",
                                                            "unscanned")])
                self.assertTrue(last["complete"])
                # No restart has work to do here: no advice to restart.
                self.assertNotIn(b"restart", r.stderr)

    def test_a_closed_pipe_stops_the_scan_without_killing_it(self):
        self.big_tree(5000)
        shell = subprocess.run(
            ["bash", "-c", '"$0" "$@" | head -1 >/dev/null; echo "${PIPESTATUS[0]}"',
             KRVSCAN, "--clean", self.tree], capture_output=True, timeout=120)
        self.assertEqual(b"2", shell.stdout.strip(), shell.stderr)
        self.assertIn(b"could not be written", shell.stderr)
        strays = [n for _, _, files in os.walk(self.tree) for n in files if ".qx-" in n]
        self.assertEqual([], strays)


class NotScanned(Scans):
    """Every part of the target not scanned is named, and the exit status says so."""

    def in_namespace(self, setup, args, user=None):
        """krvscan ARGS in a mount namespace of its own after the shell commands SETUP,
        as USER when given."""
        command = ["unshare", "-m", "sh", "-c", setup + ' && exec "$@"', "sh"]
        if user:
            command += ["setpriv", "--reuid", user, "--regid", user, "--clear-groups"]
        probe = subprocess.run(command + ["true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("needs root for a mount namespace: %s" % probe.stderr.decode())
        return subprocess.run(command + [KRVSCAN, *args], capture_output=True, timeout=120)

    def test_unlisted_too_long_and_mount_points_are_named_links_only_when_verbose(self):
        subprocess.run(["rm", "-rf", os.path.join(self.tree, "sub")], check=True)
        for name in ("locked", "mnt", "plain"):
            os.makedirs(os.path.join(self.tree, name))
        os.symlink("/etc", os.path.join(self.tree, "folder-link"))
        os.symlink("/etc/passwd", os.path.join(self.tree, "file-link"))
        ExitStatus.too_long(self)
        subprocess.run(["chmod", "-R", "a+rX", self.work], check=True)
        os.chmod(os.path.join(self.tree, "locked"), 0)
        mount = "mount -t tmpfs none " + os.path.join(self.tree, "mnt")
        r = self.in_namespace(mount, ["--json", self.tree], user="65534")
        self.assertEqual(4, r.returncode, r.stderr)
        errors = sorted(r.stderr.decode().splitlines())
        deep = os.path.join(self.tree, *["d" * 200] * 20)
        self.assertEqual(3, len(errors), errors)
        self.assertEqual("krvscan: not scanned: %s/: the folder could not be listed"
                         % os.path.join(self.tree, "locked"), errors[1])
        self.assertEqual("krvscan: not scanned: %s: a mount point, not entered"
                         % os.path.join(self.tree, "mnt"), errors[2])
        self.assertTrue(errors[0].startswith("krvscan: not scanned: " + deep), errors[0])
        self.assertTrue(errors[0].endswith(": the path is too long for the system"), errors[0])
        objects = [json.loads(x) for x in r.stdout.splitlines()]
        named = sorted((o["path"], o["reason"]) for o in objects if o["event"] == "not_scanned")
        self.assertEqual([os.path.join(self.tree, "locked") + "/",
                          os.path.join(self.tree, "mnt")], [p for p, _ in named[1:]])
        self.assertEqual(3, objects[-1]["unscanned"])
        self.assertTrue(objects[-1]["complete"])
        # Links lose nothing of the target: not an error, named with --verbose only.
        os.chmod(os.path.join(self.tree, "locked"), 0o755)
        subprocess.run(["rm", "-rf", os.path.join(self.tree, "d" * 200)], check=True)
        quiet = run(self.tree)
        self.assertEqual((0, b""), (quiet.returncode, quiet.stderr))
        loud = run("--verbose", self.tree)
        self.assertEqual(0, loud.returncode)
        self.assertEqual(sorted("krvscan: link not followed: " + os.path.join(self.tree, n)
                                for n in ("file-link", "folder-link")),
                         sorted(loud.stderr.decode().splitlines()))
        self.assertEqual(untimed(quiet.stdout), untimed(loud.stdout))   # the rows do not change


class UnreadableFiles(Scans):
    """Every file that could not be opened or read is named and counted, whatever its name:
    detection goes by contents, and an extension says nothing about them."""

    def too_long_for_the_system(self):
        """An infected "….bin" in a folder that can be listed, its own path too long."""
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        fd, length = os.open(self.tree, os.O_RDONLY), len(self.tree)
        while length < 3900 - 1:
            name = "d" * min(250, 3900 - length - 1)
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd, length = inner, length + 1 + len(name)
        name = "\u2026" + "x" * 240 + ".bin"
        out = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(out, worm)
        os.close(out)
        os.close(fd)
        top = os.path.join(self.tree, "d" * 250)
        return top, "the path is too long for the system"

    def unreadable(self):
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        path = os.path.join(self.tree, "worm.bin")
        with open(path, "wb") as f:
            f.write(worm)
        os.chmod(path, 0)
        return self.tree, "access denied"

    def io_error(self):
        return "/proc/self/mem", "an I/O error"     # reading its first page fails with EIO

    def test_each_is_named_counted_and_exit_4(self):
        for make in (self.too_long_for_the_system, self.unreadable, self.io_error):
            with self.subTest(make.__name__):
                self.tearDown()
                self.setUp()
                target, reason = make()
                subprocess.run(["rm", "-rf", os.path.join(self.tree, "sub")], check=True)
                os.chmod(self.work, 0o755)
                # As a user whom the mode stops (root is not stopped by it).
                user = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
                user = user if os.getuid() == 0 and make == self.unreadable else []
                r = subprocess.run(user + [KRVSCAN, "--json", target], capture_output=True,
                                   timeout=120)
                self.assertEqual(4, r.returncode, r.stderr)
                errors = r.stderr.decode().splitlines()
                self.assertEqual(1, len(errors), errors)
                self.assertTrue(errors[0].startswith("krvscan: not scanned: "), errors[0])
                self.assertTrue(errors[0].endswith(": " + reason), errors[0])
                objects = [json.loads(x) for x in r.stdout.splitlines()]
                named = [o for o in objects if o["event"] == "not_scanned"]
                self.assertEqual([reason], [o["reason"] for o in named])
                self.assertTrue(named[0]["path"].startswith(target), named[0]["path"])
                self.assertEqual((0, 1), (objects[-1]["found"], objects[-1]["unscanned"]))
                # The text alone, standard error dropped, does not read as a clean scan.
                r = subprocess.run(user + [KRVSCAN, target], capture_output=True, timeout=120)
                self.assertEqual(4, r.returncode, r.stderr)
                self.assertEqual("Not scanned:\t1", r.stdout.decode().splitlines()[-1])
        # Nothing left out: a clean scan has no such line.
        self.assertNotIn(b"Not scanned", run(os.path.join(self.tree)).stdout)


class FewDescriptors(Scans):
    def test_at_any_limit_each_file_is_found_or_named(self):
        """However few descriptors the process may hold, no infected file is passed over in
        silence: each is found or named as not scanned, and a miss is never exit 0 or 1."""
        import resource
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        flat = os.path.join(self.work, "flat")
        os.makedirs(flat)
        names = {os.path.join(flat, "w%03d.bin" % i) for i in range(60)}
        for name in names:
            with open(name, "wb") as f:
                f.write(worm)
        for limit in range(6, 24, 2):
            r = run("--json", flat, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_NOFILE, (limit, limit)))
            objects = [json.loads(x) for x in r.stdout.splitlines()]
            found = {o["file"] for o in objects if o["event"] == "infected"}
            named = {o["path"] for o in objects if o["event"] == "not_scanned"}
            # Files and the folder alike, what was missing is named.
            self.assertLessEqual({o["reason"] for o in objects if o["event"] == "not_scanned"},
                                 {"too many open files"}, limit)
            if flat + "/" not in named:   # a folder not listed is named itself
                self.assertEqual(set(), names - found - named, limit)
            if named:
                self.assertEqual(4, r.returncode, (limit, r.stderr))
                self.assertEqual(len(named), objects[-1]["unscanned"], limit)
            elif r.returncode != 2:
                self.assertEqual((1, names), (r.returncode, found), limit)


class HardLinks(Scans):
    def test_a_file_with_another_name_outside_remains_and_says_so(self):
        worm = os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])
        outside = os.path.join(self.work, "elsewhere.exe")
        os.link(worm, outside)
        r = run("--json", self.tree)
        self.assertEqual(1, r.returncode, r.stderr)
        r = run("--clean", "--json", self.tree)
        self.assertEqual(3, r.returncode, r.stderr)
        objects = [json.loads(x) for x in r.stdout.splitlines()]
        mine = [o for o in objects if o.get("file") == worm]
        self.assertEqual("unable_to_clean", mine[-1]["event"])
        self.assertIn("other names", mine[-1]["status"])
        self.assertNotIn("deleted", [o["event"] for o in mine])
        last = objects[-1]
        self.assertEqual((4, 3, 1), (last["found"], last["removed"], last["remaining"]))
        self.assertEqual(1, last["report"]["unable_to_be_cleaned"])
        self.assertTrue(os.path.exists(outside))
        # Its last name, the one outside, is then the file's only one: deleted as usual.
        r = run("--clean", "--json", outside)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual("deleted", json.loads(r.stdout.splitlines()[-2])["event"])


class LinksNamedAsPaths(Scans):
    """A PATH that is a link is followed, as find -H does, to a folder and a file alike; the
    output names where it leads, and the rows the real path."""

    def test_links_to_a_folder_and_to_a_file_are_followed_and_named(self):
        sub = os.path.join(self.tree, "sub")
        real_file = os.path.join(self.work, "alone.exe")
        os.rename(os.path.join(sub, SAMPLES_INFECTED[0]), real_file)
        links = {os.path.join(self.work, "to-folder"): sub,
                 os.path.join(self.work, "to-file"): real_file}
        for link, target in links.items():
            os.symlink(target, link)
        r = run("--json", *links)
        self.assertEqual(1, r.returncode, r.stderr)
        objects = [json.loads(x) for x in r.stdout.splitlines()]
        self.assertEqual(sorted(links.items()),
                         sorted((o["path"], o["target"]) for o in objects
                                if o["event"] == "link_followed"))
        r = run("--clean", *links)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(sorted("krvscan: %s: a link, followed to %s" % x for x in links.items()),
                         sorted(r.stderr.decode().splitlines()))
        rows = r.stdout.decode().splitlines()
        deleted = sorted(x.split("\t")[0] for x in rows if x.endswith("\tdeleted"))
        expected = [real_file] + [os.path.join(sub, n) for n in SAMPLES_INFECTED[1:]]
        self.assertEqual(sorted(expected), deleted)
        for name in expected:
            self.assertFalse(os.path.exists(name), name)
        self.assertTrue(all(os.path.islink(x) for x in links))
        # A link that leads nowhere is a target that cannot be scanned.
        os.symlink(os.path.join(self.work, "no-such"), os.path.join(self.work, "dangling"))
        r = run(os.path.join(self.work, "dangling"))
        self.assertEqual((2, b""), (r.returncode, r.stdout))
        self.assertIn("cannot be reached", r.stderr.decode())


HEADER = re.compile(r"krvscan\t\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\t(.*)\t1\.1\t(.*)")


class Log(Scans):
    def test_many_scans_append_whole_lines_to_one_log(self):
        with open(os.path.join(self.tree, "sub", "infected.dll"), "rb") as f:
            worm = f.read()
        for i in range(150):
            with open(os.path.join(self.tree, "w%03d.dll" % i), "wb") as f:
                f.write(worm)
        log = os.path.join(self.work, "scans.log")
        with open(log, "w") as f:
            f.write("kept\n")
        scans = [subprocess.Popen([KRVSCAN, "--log", log, self.tree], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE) for _ in range(4)]
        outputs = [p.communicate(timeout=120)[0] for p in scans]
        self.assertEqual([1] * 4, [p.returncode for p in scans])
        with open(log, "rb") as f:
            lines = f.read().decode().splitlines()
        self.assertEqual("kept", lines[0])
        headers = [HEADER.fullmatch(x) for x in lines if x.startswith("krvscan\t")]
        self.assertEqual(4, len(headers))
        self.assertEqual({(socket.gethostname(), "%s --log %s %s" % (KRVSCAN, log, self.tree))},
                         {h.groups() for h in headers})
        # Every line whole: each scan's rows and report, in any interleaving.
        expected = sorted(["kept"] + [x for out in outputs for x in out.decode().splitlines()]
                          + [h.group(0) for h in headers])
        self.assertEqual(expected, sorted(lines))

    def test_records_longer_than_one_write_stay_whole_among_runs_at_once(self):
        """Headers of over 50 KB (200 long PATHs) from four runs at once, round after round:
        each is one whole line, with no line of another run inside it."""
        paths = []
        for i in range(200):
            paths.append(os.path.join(self.work, "p%03d-" % i + "x" * 250))
            os.makedirs(paths[-1])
        log = os.path.join(self.work, "scans.log")
        outputs = []
        for _ in range(10):
            scans = [subprocess.Popen([KRVSCAN, "--log", log] + paths, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE) for _ in range(4)]
            outputs += [p.communicate(timeout=120)[0] for p in scans]
            self.assertEqual([0] * 4, [p.returncode for p in scans])
        with open(log, "rb") as f:
            lines = f.read().decode().splitlines()
        command = " ".join([KRVSCAN, "--log", log] + paths)
        headers = [x for x in lines if x.startswith("krvscan\t")]
        self.assertEqual(40, len(headers))
        for header in headers:
            self.assertEqual(command, HEADER.fullmatch(header).group(2))
        self.assertEqual(sorted(headers + [x for out in outputs for x in out.decode().splitlines()]),
                         sorted(lines))

    def test_the_json_report_names_host_version_and_times_and_a_bad_log_stops_first(self):
        r = run("--json", self.tree)
        last = json.loads(r.stdout.splitlines()[-1])
        self.assertEqual((socket.gethostname(), "1.1"), (last["host"], last["version"]))
        for key in ("started", "finished"):
            self.assertRegex(last[key], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertLessEqual(last["started"], last["finished"])
        r = run("--clean", "--log", self.work, self.tree)     # a folder cannot take the log
        self.assertEqual((2, b""), (r.returncode, r.stdout))
        self.assertIn("must be a regular file", r.stderr.decode())
        self.assertTrue(os.path.exists(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])))

    def test_a_log_that_cannot_be_opened_for_want_of_descriptors_says_so(self):
        import resource
        log = os.path.join(self.work, "scan.log")
        # Standard input, output and error and the log's folder: no descriptor for the log.
        r = run("--clean", "--log", log, self.tree, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (4, 4)))
        self.assertEqual((2, b""), (r.returncode, r.stdout))
        self.assertEqual("krvscan: %s: cannot be opened for appending: too many open files\n" % log,
                         r.stderr.decode())
        self.assertFalse(os.path.exists(log))
        self.assertTrue(os.path.exists(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])))


class StopsAndWrites(Scans):
    def test_a_stop_while_the_output_is_blocked_changes_no_file(self):
        """Ctrl-C while a write waits on a full pipe, before the walk: the write goes on, the
        cause is the stop, and no file is changed."""
        reader, writer = os.pipe()
        os.set_blocking(writer, False)
        try:
            while True:
                os.write(writer, b"x" * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(writer, True)
        root, _ = WindowsRoot.make_root(self.work, [("System-Service", "C:\\w.exe")])
        before = snapshot(self.tree)
        p = subprocess.Popen([KRVSCAN, "--clean", "--windows-root", root, self.tree],
                             stdout=writer, stderr=subprocess.PIPE)
        os.close(writer)
        deadline = time.time() + 60
        while time.time() < deadline and p.poll() is None:
            with open("/proc/%d/wchan" % p.pid) as f:
                # "pipe_write", or "anon_pipe_write" on newer kernels.
                if f.read().endswith("pipe_write"):
                    break
            time.sleep(0.01)
        p.send_signal(signal.SIGINT)
        out = b""
        while True:
            chunk = os.read(reader, 65536)
            if not chunk:
                break
            out += chunk
        os.close(reader)
        err = p.communicate(timeout=60)[1]
        self.assertEqual(2, p.returncode, err)
        self.assertIn(b"interrupted", err)
        self.assertNotIn(b"could not be written", err)
        self.assertEqual(before, snapshot(self.tree))
        self.assertIn(b"autostart value removed", out)

    def test_once_the_output_fails_no_file_is_changed(self):
        reader, writer = os.pipe()
        os.close(reader)
        before = snapshot(self.tree)
        r = subprocess.run([KRVSCAN, "--clean", self.tree], stdout=writer,
                           stderr=subprocess.PIPE, timeout=120)
        os.close(writer)
        self.assertEqual(2, r.returncode)
        self.assertIn(b"could not be written", r.stderr)
        self.assertEqual(before, snapshot(self.tree))


class Rescue(Scans):
    def test_runs_with_liburing_and_hivex_out_of_reach(self):
        """A rescue system without them: every scan runs, --windows-root says what is missing."""
        libs = []
        for name in ("libhivex.so.0", "liburing.so.2"):
            found = subprocess.run(["sh", "-c", "ldconfig -p | grep -m1 -F '%s ' | "
                                    "sed 's/.*=> //'" % name], capture_output=True, text=True)
            if found.stdout.strip():
                libs.append(os.path.realpath(found.stdout.strip()))
        hide = "for l in %s; do mount --bind /dev/null \"$l\" || exit 99; done; exec \"$@\"" % (
            " ".join(libs))
        probe = subprocess.run(["unshare", "-m", "sh", "-c", hide, "sh", "true"],
                               capture_output=True)
        if probe.returncode != 0:
            self.skipTest("cannot hide libraries in a mount namespace here (needs root): %s"
                          % probe.stderr.decode().strip())
        needed = subprocess.run(["readelf", "-d", KRVSCAN], capture_output=True, text=True)
        self.assertNotIn("libhivex", needed.stdout)
        self.assertNotIn("liburing", needed.stdout)
        root, _ = WindowsRoot.make_root(self.work, [("System-Service", "C:\\w.exe")])
        hidden = ["unshare", "-m", "sh", "-c", hide, "sh", KRVSCAN]
        r = subprocess.run(hidden + ["--clean", self.tree], capture_output=True, timeout=120)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual("4", report(r.stdout)["Deleted:"])
        before = snapshot(self.work)
        r = subprocess.run(hidden + ["--clean", "--windows-root", root, self.tree],
                           capture_output=True, timeout=120)
        self.assertEqual(4, r.returncode, r.stderr)       # the hive not read; the files scanned
        self.assertEqual("0", report(r.stdout)["Infected:"])
        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        self.assertIn("libhivex.so.0 cannot be loaded (install the package libhivex0)",
                      r.stderr.decode())
        self.assertEqual(before, snapshot(self.work))


class ReportOnly(Scans):
    def test_without_clean_changes_nothing_and_says_so(self):
        os.chmod(os.path.join(self.tree, "sub", "infected.dll"), 0o444)
        root = os.path.join(self.work, "win")
        config = os.path.join(root, "Windows", "System32", "config")
        os.makedirs(config)
        hive.make_software_hive(os.path.join(config, "SOFTWARE"),
                                [("Other", "x"), ("System-Service", "C:\\w.exe")])
        before = snapshot(self.work)
        for flags in ((), ("--report-only",)):
            r = run(*flags, "--windows-root", root, self.tree)
            self.assertEqual(1, r.returncode, r.stderr)
            self.assertEqual(before, snapshot(self.work), flags)
            rows = r.stdout.decode().splitlines()
            for name in SAMPLES_INFECTED:
                p = os.path.join(self.tree, "sub", name)
                self.assertEqual([p + "\t" + INFECTED, p + "\tleft in place: report only"],
                                 [x for x in rows if x.startswith(p + "\t")])
            # The key's backslashes as they are, the value's data after it.
            self.assertEqual(root + "/Windows/System32/config/SOFTWARE:Microsoft\\Windows\\"
                             "CurrentVersion\\Run\\System-Service = C:\\w.exe\t"
                             "autostart value found: report only", rows[0])
            got = report(r.stdout)
            self.assertEqual("4", got["Infected:"])
            self.assertEqual(["0"] * 5, [got[k] for k in LABELS[5:]])
            self.assertNotIn(b"restart", r.stderr)


class Quarantine(Scans):
    """--quarantine DIR: a copy named by its SHA-256 and an index line before each deletion;
    a copy that cannot be made leaves the file; DIR never inside what is scanned."""

    def setUp(self):
        super().setUp()
        self.store = os.path.join(self.work, "store")
        self.digests = {}
        for name in SAMPLES_INFECTED:
            with open(os.path.join(self.tree, "sub", name), "rb") as f:
                self.digests[name] = hashlib.sha256(f.read()).hexdigest()

    def copy_of(self, name):
        return os.path.join(self.store, self.digests[name] + ".quarantined")

    def test_copies_index_and_rows_before_each_deletion(self):
        with open(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0]), "rb") as f:
            first = f.read()
        r = run("--clean", "--json", "--quarantine", self.store, self.tree)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(0o700, stat.S_IMODE(os.lstat(self.store).st_mode))
        with open(self.copy_of(SAMPLES_INFECTED[0]), "rb") as f:
            self.assertEqual(first, f.read())
        rows = [json.loads(x) for x in r.stdout.decode().splitlines()]
        with open(os.path.join(self.store, "index.jsonl")) as f:
            index = [json.loads(x) for x in f]
        self.assertEqual(len(SAMPLES_INFECTED), len(index))
        iso = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        for name, digest in self.digests.items():
            path = os.path.join(self.tree, "sub", name)
            self.assertFalse(os.path.exists(path))
            copy = self.copy_of(name)
            with open(copy, "rb") as f:
                self.assertEqual(digest, hashlib.sha256(f.read()).hexdigest())
            self.assertEqual(0o400, stat.S_IMODE(os.lstat(copy).st_mode))
            self.assertEqual(["infected", "quarantined", "deleted"],
                             [x["event"] for x in rows if x.get("file") == path])
            line = [x for x in index if x["path"] == path]
            self.assertEqual(1, len(line), name)
            line = line[0]
            self.assertEqual((digest, os.path.getsize(copy), os.getuid(), os.getgid(), DETECTION),
                             (line["sha256"], line["size"], line["owner"], line["group"],
                              line["detection"]))
            self.assertTrue(stat.S_ISREG(int(line["mode"], 8)), line)
            for key in ("modified", "accessed", "changed", "quarantined"):
                self.assertRegex(line[key], iso, key)
        self.assertEqual({"copied to quarantine"},
                         {x["status"] for x in rows if x["event"] == "quarantined"})

    def test_a_copy_that_cannot_be_made_leaves_the_file(self):
        name = SAMPLES_INFECTED[0]
        victim = os.path.join(self.work, "victim")

        def dangling_link_at_the_name():
            os.symlink(victim, self.copy_of(name))

        def link_to_a_file_at_the_name():
            with open(victim, "w") as f:
                f.write("keep")
            os.symlink(victim, self.copy_of(name))

        def other_contents_at_the_name():
            with open(self.copy_of(name), "w") as f:
                f.write("other")

        for plant in (dangling_link_at_the_name, link_to_a_file_at_the_name,
                      other_contents_at_the_name):
            subprocess.run(["rm", "-rf", self.store, victim])
            os.makedirs(self.store, 0o700)
            plant()
            path = os.path.join(self.tree, "sub", name)
            r = run("--clean", "--json", "--quarantine", self.store, path)
            self.assertEqual(3, r.returncode, (plant.__name__, r.stderr))
            rows = [json.loads(x) for x in r.stdout.decode().splitlines()]
            self.assertEqual(["infected", "unable_to_clean", "report"],
                             [x["event"] for x in rows], plant.__name__)
            self.assertEqual(1, rows[-1]["report"]["unable_to_be_cleaned"])
            self.assertTrue(os.path.exists(path), plant.__name__)
            if os.path.lexists(victim):
                with open(victim) as f:
                    self.assertEqual("keep", f.read(), plant.__name__)
            else:
                self.assertFalse(os.path.lexists(victim), plant.__name__)

    def test_refused_without_clean_around_a_target_or_not_a_folder(self):
        before = snapshot(self.tree)
        afile = os.path.join(self.work, "afile")
        with open(afile, "w"):
            pass
        alink = os.path.join(self.work, "alink")
        os.symlink(self.work, alink)
        causes = {
            ("--quarantine", self.store, self.tree): "--quarantine: needs --clean",
            ("--clean", "--quarantine", self.tree, os.path.join(self.tree, "sub")): "inside",
            ("--clean", "--quarantine", self.work, self.tree): "inside",
            ("--clean", "--quarantine", afile, self.tree): "not a link or a file",
            ("--clean", "--quarantine", alink, self.tree): "not a link or a file",
            ("--clean", "--quarantine"): "needs a folder",
        }
        for args, cause in causes.items():
            r = run(*args)
            self.assertEqual(2, r.returncode, args)
            self.assertEqual(1, len(r.stderr.splitlines()), (args, r.stderr))
            self.assertIn(cause, r.stderr.decode(), args)
        self.assertIn(b"krvscan --help", run("--quarantine", self.store, self.tree).stderr)
        self.assertEqual(before, snapshot(self.tree))


class Conventions(Scans):
    """What administrators bring from other scanners: exclusions, lists of paths, a quiet
    run, values after "=", short options, the scan's time, and the scanner's own outputs
    inside what it scans."""

    def test_each_option(self):
        sub = os.path.join(self.tree, "sub")
        odd = os.path.join(self.tree, "odd\nname.exe")     # a line break: only -0 names it
        shutil.copy(os.path.join(sub, "infected.dll"), odd)
        many = [os.path.join(sub, "clean.exe")] * 299 + [os.path.join(sub, "infected.dll")]
        log = os.path.join(self.work, "scan.log")
        found = lambda name: os.path.join(sub, name) + "\t" + INFECTED
        odd_row = os.path.join(self.tree, "odd\\x0Aname.exe") + "\t" + INFECTED
        timing = re.compile(r"^Time:\t\d+\.\d{3} s$", re.M)
        # (command line, standard input, exit status, lines on standard output, lines that
        # must not be there, what standard error must hold)
        cases = [
            (["--exclude", "*.exe", self.tree], None, 1,
             [found("infected.dll"), "Excluded:\t16", "Files:\t3"],
             [found("infected-entry1.exe")], ""),
            (["--exclude=" + os.path.join(sub, "infected*"), "--exclude=odd*", self.tree], None,
             0, ["Infected:\t0", "Excluded:\t5"], [], ""),
            (["--exclude-dir=sub", "--exclude", "odd*", self.tree], None, 0,
             ["Excluded:\t2", "Folders:\t1"], [], ""),
            (["--exclude-dir", "*/s?b", "--json", self.tree], None, 1,
             ['{"event":"excluded","path":"%s"}' % sub], [], ""),
            (["--file-list", "-"], (sub + "\n\n").encode(), 1,
             [found("infected.dll"), "Files:\t18"], [odd_row], ""),
            (["-0", "--file-list=-"], (odd + "\0").encode(), 1, [odd_row, "Files:\t1"], [], ""),
            (["--file-list", "-"], "\n".join(many).encode(), 1,
             [found("infected.dll"), "Files:\t2"], [], ""),
            (["--quiet", self.tree], None, 1, [found("infected.dll")], ["Scan report\t"], ""),
            (["-q", "--json", self.tree], None, 1, [], ['"event":"report"'], ""),
            (["--no-summary", self.tree], None, 1, [found("infected.dll")],
             ["Scan report\t", "Files:\t19"], ""),
            (["--log=" + log, self.tree], None, 1, [found("infected.dll")], [], ""),
            (["-l", log, "-r", "--recursive", self.tree], None, 1, ["Files:\t19"], [], ""),
            (["-V"], None, 0, ["krvscan 1.1 (Korvane Tamsel Removal Tool)"], [], ""),
            (["--exclude"], None, 2, [], [], "--exclude: needs a pattern"),
            (["--log=", self.tree], None, 2, [], [], "--log: needs a file"),
            (["--file-list", os.path.join(self.work, "nope")], None, 2, [], [],
             "cannot be opened"),
            (["--file-list", "-"], b"/no/such\n", 2, [], [], "/no/such: no such file"),
        ]
        for args, given, status, present, absent, said in cases:
            r = run(*args, input=given)
            lines = r.stdout.decode().splitlines()
            self.assertEqual(status, r.returncode, (args, r.stderr))
            for line in present:
                self.assertTrue(any(line in x for x in lines), (args, line, lines))
            for line in absent:
                self.assertFalse(any(line in x for x in lines), (args, line))
            if said:
                self.assertIn(said, r.stderr.decode(), args)
            elif status != 2:
                self.assertEqual(b"", r.stderr, args)
            if status != 2 and "Scan report\t" in lines:
                self.assertEqual(1, lines.count("Scan report\t"), args)
                self.assertRegex(r.stdout.decode(), timing, args)
        with open(log) as f:
            self.assertEqual(2, sum(x.startswith("Scan report") for x in f))
        report_object = json.loads(run("--json", self.tree).stdout.splitlines()[-1])
        self.assertIsInstance(report_object["seconds"], float)

    def test_own_outputs_inside_the_tree_are_passed_over(self):
        """A start-up script that sends the log, standard output and standard error into the
        share it scans: a clean share ends with 0, nothing counted of its own files."""
        subprocess.run(["rm", "-rf", os.path.join(self.tree, "sub")], check=True)
        os.makedirs(os.path.join(self.tree, "results"))
        with open(os.path.join(self.tree, "clean.txt"), "w") as f:
            f.write("clean\n")
        out, err = (os.path.join(self.tree, "results", x) for x in ("output.json", "errors.txt"))
        log = os.path.join(self.tree, "results", "scan.log")
        for _ in range(2):   # the second run meets the files the first left
            with open(out, "wb") as o, open(err, "wb") as e:
                code = subprocess.run([KRVSCAN, "--json", "--log", log, self.tree], stdout=o,
                                      stderr=e, timeout=120).returncode
            self.assertEqual(0, code)
            with open(err, "rb") as f:
                self.assertEqual(b"", f.read())
            with open(out) as f:
                self.assertEqual(1, json.loads(f.read().splitlines()[-1])["report"]["files"])

    def test_a_list_from_find_scans_each_file_once(self):
        """`find TREE | krvscan --clean --file-list -`: the root first, then every folder and
        file below it, far more than 256 paths: each file is scanned (and removed) once."""
        self.big_tree(400)
        listed = [self.tree]
        for folder, folders, files in os.walk(self.tree):
            listed += [os.path.join(folder, x) for x in folders + files]
        r = run("--clean", "--file-list", "-", input="\n".join(listed).encode())
        self.assertEqual((1, b""), (r.returncode, r.stderr))
        got = report(r.stdout)
        self.assertEqual((str(400 + 18), str(len(SAMPLES_INFECTED))),
                         (got["Files:"], got["Deleted:"]))

    def test_an_output_that_is_another_name_of_a_worm_hides_nothing(self):
        """The name a script appends its results to, planted as a hard link to a worm: the
        output is no file of the program's own, and the worm is found."""
        share = os.path.join(self.work, "share")
        os.makedirs(share)
        worm = os.path.join(share, "w.exe")
        shutil.copy(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0]), worm)
        out = os.path.join(share, "out.json")
        os.link(worm, out)
        with open(out, "ab") as o:
            code = subprocess.run([KRVSCAN, "--json", worm], stdout=o,
                                  stderr=subprocess.DEVNULL, timeout=120).returncode
        self.assertEqual(1, code)

    def test_the_quarantine_inside_the_tree_is_passed_over_and_said(self):
        store = os.path.join(self.tree, "store")
        line = ("krvscan: %s: the quarantine folder, not scanned\n" % store).encode()
        r = run("--clean", "--quarantine", store, self.tree)
        self.assertEqual(1, r.returncode, r.stderr)
        copies = sorted(x for x in os.listdir(store) if x.endswith(".quarantined"))
        self.assertEqual(len(SAMPLES_INFECTED), len(copies))
        again = run("--clean", "--quarantine", store, self.tree)   # the copies are no finding
        self.assertEqual((0, line), (again.returncode, again.stderr))
        self.assertEqual(copies, sorted(x for x in os.listdir(store) if x.endswith(".quarantined")))

    def test_cross_fs_enters_a_mount_point(self):
        inner = os.path.join(self.tree, "mnt")
        os.makedirs(inner)
        if subprocess.run(["mount", "-t", "tmpfs", "tmpfs", inner],
                          capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        try:
            shutil.copy(os.path.join(self.tree, "sub", "infected.dll"), inner)
            r = run(self.tree)
            self.assertEqual(4, r.returncode)
            self.assertIn(b"a mount point, not entered", r.stderr)
            r = run("--cross-fs", self.tree)
        finally:
            subprocess.run(["umount", "-l", inner])
        self.assertEqual((1, b""), (r.returncode, r.stderr))
        self.assertIn(os.path.join(inner, "infected.dll") + "\t" + INFECTED,
                      r.stdout.decode().splitlines())

    @unittest.skipUnless(os.geteuid() == 0, "plays another user: needs root")
    def test_clean_as_an_ordinary_user_says_why(self):
        os.chmod(self.work, 0o755)
        subprocess.run(["chmod", "-R", "a+rX", self.tree], check=True)
        scanner = os.path.join(self.work, "krvscan")
        shutil.copy(KRVSCAN, scanner)
        r = subprocess.run(as_nobody([scanner, "--clean", self.tree]), capture_output=True,
                           timeout=120)
        self.assertEqual(3, r.returncode)
        sub = os.path.join(self.tree, "sub") + "/"
        self.assertEqual([b"krvscan: unable to clean: permission denied: " + sub.encode()],
                         r.stderr.splitlines())


NOBODY = 65534


def as_nobody(command):
    """`command` run as another local user, as an attacker with an ordinary account would."""
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + command


@unittest.skipUnless(os.geteuid() == 0, "plays another user: needs root")
class Attacks(Scans):
    """Every file the scanner writes, against what another local user can do to it: a link,
    FIFO or folder at its name, a folder or file of his, a folder open to others, two runs at
    once. Each ends refused with one line and exit 2 before anything changed, or with the write
    done exactly."""

    def setUp(self):
        super().setUp()
        self.store = os.path.join(self.work, "store")
        self.digests = {}
        for name in SAMPLES_INFECTED:
            with open(os.path.join(self.tree, "sub", name), "rb") as f:
                self.digests[name] = hashlib.sha256(f.read()).hexdigest()

    def copy_of(self, name):
        return os.path.join(self.store, self.digests[name] + ".quarantined")

    def expect_refused(self, args, cause, keep=()):
        before = snapshot(self.tree)
        kept = {p: os.lstat(p) for p in keep}
        r = run(*args, timeout=20)
        self.assertEqual(2, r.returncode, (args, r.stderr))
        self.assertEqual(b"", r.stdout, args)
        self.assertEqual(1, len(r.stderr.splitlines()), (args, r.stderr))
        self.assertIn(cause, r.stderr.decode(), args)
        self.assertEqual(before, snapshot(self.tree), args)
        for p, st in kept.items():
            now = os.lstat(p)
            self.assertEqual((st.st_ino, st.st_size, st.st_mode, st.st_mtime_ns),
                             (now.st_ino, now.st_size, now.st_mode, now.st_mtime_ns), p)

    def test_a_name_planted_where_the_scanner_writes(self):
        """One row per file the scanner writes, against what can be planted at its name: a
        link (to a file of root's outside), a FIFO, a folder, another user's file. The folders
        and appended files are refused (exit 2, one line, nothing changed); a file the scanner
        makes is made elsewhere or not at all, and what was planted stays as it was. Folders of
        other users, folders open to others, a swap after the check, a short write and two runs
        at once have their own tests (here, and test_quarantine, test_platform)."""
        victim = os.path.join(self.work, "victim")
        infected = os.path.join(self.tree, "sub", SAMPLES_INFECTED[0])
        with open(infected, "rb") as f:
            worm = f.read()
        root, hive_path = WindowsRoot.make_root(self.work, [("System-Service", "C:\\w.exe")])
        config = os.path.dirname(hive_path)

        def link(at):
            os.symlink(victim, at)
            os.lchown(at, NOBODY, NOBODY)

        def fifo(at):
            os.mkfifo(at, 0o666)

        def folder(at):
            os.makedirs(at)

        def theirs(at):
            with open(at, "wb") as f:
                f.write(worm)
            os.chown(at, NOBODY, NOBODY)

        store_args = ("--clean", "--quarantine", self.store, infected)
        kept = os.path.join(self.work, "kept", "w.exe")   # outside the tree: a FIFO there
        os.makedirs(os.path.dirname(kept))                 # would hold the tree's snapshot
        # writer: (where it writes, command line, exit status when something was planted)
        writers = {
            "quarantine folder": (self.store, store_args, 2),
            "index": (os.path.join(self.store, "index.jsonl"), store_args, 2),
            "copy": (self.copy_of(SAMPLES_INFECTED[0]), store_args, 3),
            "log": (os.path.join(self.work, "scan.log"), ("--log", os.path.join(
                self.work, "scan.log"), infected), 2),
            "hive's new file": (hive_path + ".krvnew", ("--clean", "--windows-root", root,
                                                        self.tree), 1),
            "hive's backup": (hive_path + ".krvbak", ("--clean", "--windows-root", root,
                                                      self.tree), 1),
            # a kept copy put back where something was planted since: that copy is refused
            "restored file": (kept, ("--restore", self.store), 3),
            # the same, kept by an older index as "w.exe" and put back below --restore-root
            "restored below a root": (kept, ("--restore", self.store, "--restore-root",
                                             os.path.dirname(kept)), 3),
        }
        for writer, (at, args, status) in writers.items():
            for plant in (link, fifo, folder, theirs):
                if writer == "quarantine folder" and plant is theirs:
                    continue                  # another user's folder: the test below
                cell = "%s, %s" % (writer, plant.__name__)
                # A folder of root's own, closed to others, is what the quarantine wants.
                expected = 1 if writer == "quarantine folder" and plant is folder else status
                subprocess.run(["rm", "-rf", self.store, victim, kept,
                                os.path.join(self.work, "scan.log")])
                for name in os.listdir(config):
                    if name != os.path.basename(hive_path):
                        subprocess.run(["rm", "-rf", os.path.join(config, name)])
                hive.make_software_hive(hive_path, [("System-Service", "C:\\w.exe")])
                with open(infected, "wb") as f:
                    f.write(worm)
                with open(victim, "w") as f:
                    f.write("root's own\n")
                if writer in ("index", "copy"):
                    os.makedirs(self.store, 0o700)
                if writer.startswith("restored"):   # kept, and gone from its place
                    with open(kept, "wb") as f:
                        f.write(worm)
                    self.assertEqual(1, run("--clean", "--quarantine", self.store,
                                            kept).returncode, cell)
                if writer == "restored below a root":
                    index = os.path.join(self.store, "index.jsonl")
                    with open(index) as f:
                        line = json.loads(f.read())
                    line["path"] = "w.exe"
                    with open(index, "w") as f:
                        f.write(json.dumps(line) + "\n")
                plant(at)
                planted = os.lstat(at)
                before = snapshot(self.tree)
                with self.subTest(cell):
                    try:
                        r = run(*args, timeout=30)
                    except subprocess.TimeoutExpired:
                        self.fail("%s: the run hung" % cell)
                    self.assertEqual(expected, r.returncode, (cell, r.stderr))
                    if expected == 2:
                        self.assertEqual((b"", 1), (r.stdout, len(r.stderr.splitlines())), cell)
                        self.assertEqual(before, snapshot(self.tree), cell)
                    if expected == 3:
                        self.assertTrue(os.path.exists(infected), cell)
                    if writer.startswith("hive"):
                        self.assertEqual([], hive.run_values(hive_path), cell)
                    now = os.lstat(at)
                    self.assertEqual((planted.st_ino, planted.st_mode, planted.st_uid),
                                     (now.st_ino, now.st_mode, now.st_uid), cell)
                    if not stat.S_ISDIR(planted.st_mode):
                        self.assertEqual(planted.st_size, now.st_size, cell)
                    with open(victim) as f:
                        self.assertEqual("root's own\n", f.read(), cell)
                subprocess.run(["rm", "-rf", at])

    def test_a_quarantine_folder_others_can_change_is_refused_before_anything(self):
        """Another user's folder, where he deletes every copy as it appears (in one case of 10
        or more the copies were gone and the originals deleted); root's folder open to all."""
        def another_users():
            os.makedirs(self.store)
            os.chown(self.store, NOBODY, NOBODY)

        def open_to_all():
            os.makedirs(self.store)
            os.chmod(self.store, 0o777)

        def open_to_its_group():
            os.makedirs(self.store)
            os.chmod(self.store, 0o770)

        def a_link_to_a_folder():
            os.makedirs(self.store + ".real", 0o700)
            os.symlink(self.store + ".real", self.store)

        causes = {another_users: "belongs to another user", open_to_all: "written by others",
                  open_to_its_group: "written by others", a_link_to_a_folder: "not a link"}
        os.chmod(self.work, 0o711)      # he can reach his folder in it
        for plant, cause in causes.items():
            subprocess.run(["rm", "-rf", self.store, self.store + ".real"])
            plant()
            # The other user deletes every copy as soon as it is there.
            sweeper = subprocess.Popen(as_nobody(
                ["sh", "-c", "while :; do rm -f %s/*.quarantined 2>/dev/null; done" % self.store]))
            try:
                self.expect_refused(("--clean", "--quarantine", self.store, self.tree), cause)
            finally:
                sweeper.kill()
                sweeper.wait()
            self.assertFalse(os.path.exists(os.path.join(self.store, "index.jsonl")), cause)

    def test_a_copy_planted_under_its_name_is_not_taken_for_it(self):
        """Another user's file (his, 0644, the same bytes) under the copy's name: the original
        stays, and so does the planted file; only the scanner's own copy would stand."""
        name = SAMPLES_INFECTED[0]
        path = os.path.join(self.tree, "sub", name)
        with open(path, "rb") as f:
            worm = f.read()
        for mode, owner in ((0o644, NOBODY), (0o400, NOBODY), (0o644, 0)):
            subprocess.run(["rm", "-rf", self.store])
            os.makedirs(self.store, 0o700)
            planted = self.copy_of(name)
            with open(planted, "wb") as f:
                f.write(worm)
            os.chmod(planted, mode)
            os.chown(planted, owner, owner)
            r = run("--clean", "--json", "--quarantine", self.store, path)
            self.assertEqual(3, r.returncode, (mode, owner, r.stderr))
            self.assertTrue(os.path.exists(path), (mode, owner))
            st = os.lstat(planted)
            self.assertEqual((mode, owner), (stat.S_IMODE(st.st_mode), st.st_uid))
            self.assertEqual(sorted(["index.jsonl", os.path.basename(planted)]),
                             sorted(os.listdir(self.store)))
        # The scanner's own copy from an earlier run stands.
        subprocess.run(["rm", "-rf", self.store])
        self.assertEqual(1, run("--clean", "--quarantine", self.store, path).returncode)
        with open(path, "wb") as f:
            f.write(worm)
        r = run("--clean", "--quarantine", self.store, path)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertFalse(os.path.exists(path))

    def test_two_runs_share_one_quarantine_folder(self):
        """Two runs at once over trees of the same files: neither meets the other's half
        written copy, every file is copied once, and every index line is whole."""
        trees = []
        for i in range(2):
            tree = os.path.join(self.work, "t%d" % i)
            os.makedirs(tree)
            for j in range(20):
                subprocess.run(["cp", "-r", os.path.join(self.tree, "sub"),
                                os.path.join(tree, "c%02d" % j)], check=True)
            trees.append(tree)
        for attempt in range(3):
            scans = [subprocess.Popen([KRVSCAN, "--clean", "--quarantine", self.store, t],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for t in trees]
            results = [p.communicate(timeout=120) for p in scans]
            self.assertEqual([1, 1], [p.returncode for p in scans], results)
            for t in trees:
                subprocess.run(["rm", "-rf", t])
                os.makedirs(t)
                for j in range(20):
                    subprocess.run(["cp", "-r", os.path.join(self.tree, "sub"),
                                    os.path.join(t, "c%02d" % j)], check=True)
        with open(os.path.join(self.store, "index.jsonl"), "rb") as f:
            lines = f.read().split(b"\n")
        self.assertEqual(b"", lines[-1])
        self.assertEqual(3 * 2 * 20 * len(SAMPLES_INFECTED), len(lines) - 1)
        for line in lines[:-1]:
            self.assertIn(json.loads(line)["sha256"], self.digests.values())
        self.assertEqual(sorted(["index.jsonl"] + [self.digests[n] + ".quarantined"
                                                   for n in SAMPLES_INFECTED]),
                         sorted(os.listdir(self.store)))

    def test_a_log_others_can_change_is_refused_before_anything(self):
        """--log FILE: another user's link to a file of root's, a FIFO (which would hang the
        scan), a folder, another user's file, a second name of root's file, a file in a folder
        of another user's or one open to all."""
        target = os.path.join(self.work, "root-file")
        with open(target, "w") as f:
            f.write("root's own\n")
        sticky = os.path.join(self.work, "sticky")
        os.makedirs(sticky)
        os.chmod(sticky, 0o1777)
        theirs = os.path.join(self.work, "theirs")
        os.makedirs(theirs)
        os.chown(theirs, NOBODY, NOBODY)
        opened = os.path.join(self.work, "opened")
        os.makedirs(opened)
        os.chmod(opened, 0o777)
        # His sticky folder: he may rename and remove root's log in it.
        his_sticky = os.path.join(self.work, "his-sticky")
        os.makedirs(his_sticky)
        os.chmod(his_sticky, 0o1777)
        os.chown(his_sticky, NOBODY, NOBODY)
        # His "logs", turned into a link to a folder only root may enter.
        closed = os.path.join(self.work, "closed")
        os.makedirs(closed, 0o700)
        his_logs = os.path.join(self.work, "logs")

        def link(at):
            def plant():
                os.symlink(target, at)
                os.lchown(at, NOBODY, NOBODY)
            return plant

        def fifo(at):
            return lambda: os.mkfifo(at, 0o666)

        def folder(at):
            return lambda: os.makedirs(at)

        def owned_by_nobody(at):
            def plant():
                with open(at, "w"):
                    pass
                os.chown(at, NOBODY, NOBODY)
            return plant

        def second_name(at):
            return lambda: os.link(target, at)

        def nothing():
            pass

        def linked_folder():
            os.symlink(closed, his_logs)
            os.lchown(his_logs, NOBODY, NOBODY)

        cases = [
            (os.path.join(sticky, "link"), link(os.path.join(sticky, "link")), "regular file"),
            (os.path.join(self.work, "link"), link(os.path.join(self.work, "link")),
             "regular file"),
            (os.path.join(sticky, "fifo"), fifo(os.path.join(sticky, "fifo")), "regular file"),
            (os.path.join(sticky, "folder"), folder(os.path.join(sticky, "folder")),
             "regular file"),
            (os.path.join(sticky, "nobody"), owned_by_nobody(os.path.join(sticky, "nobody")),
             "another user"),
            (os.path.join(self.work, "second"), second_name(os.path.join(self.work, "second")),
             "regular file"),
            (os.path.join(theirs, "log"), nothing, "folder of another user's"),
            (os.path.join(opened, "log"), nothing, "others may write"),
            (os.path.join(his_sticky, "log"), nothing, "folder of another user's"),
            (os.path.join(his_logs, "log"), linked_folder, "has a link"),
        ]
        for path, plant, cause in cases:
            plant()
            self.expect_refused(("--clean", "--log", path, self.tree), cause,
                                keep=[target, path] if os.path.lexists(path) else [target])
            self.assertFalse(os.path.exists(os.path.join(theirs, "log")))
            self.assertFalse(os.path.exists(os.path.join(opened, "log")))
            self.assertFalse(os.path.exists(os.path.join(his_sticky, "log")))
            self.assertEqual([], os.listdir(closed))
        with open(target) as f:
            self.assertEqual("root's own\n", f.read())
        # A file of the running user's in a sticky folder, a new one in a folder of his own.
        for path in (os.path.join(sticky, "mine"), os.path.join(self.work, "new.log")):
            r = run("--log", path, self.tree)
            self.assertEqual(1, r.returncode, (path, r.stderr))
            with open(path, "rb") as f:
                self.assertEqual(len(r.stdout.splitlines()) + 1, len(f.read().splitlines()))
            self.assertEqual(0o600, stat.S_IMODE(os.lstat(path).st_mode))

    def test_a_run_without_the_rights_to_clean_ends_unable_to_clean(self):
        # An ordinary user cleaning root's files: found, still there, exit 3, never clean.
        os.chmod(self.work, 0o755)
        subprocess.run(["chmod", "-R", "a+rX", self.tree], check=True)
        scanner = os.path.join(self.work, "krvscan")
        shutil.copy(KRVSCAN, scanner)
        before = snapshot(self.tree)
        r = subprocess.run(as_nobody([scanner, "--clean", "--json", self.tree]),
                           capture_output=True, timeout=120)
        self.assertEqual(3, r.returncode, r.stderr)
        rows = [json.loads(x) for x in r.stdout.decode().splitlines()]
        facts = rows[-1]
        self.assertEqual((len(SAMPLES_INFECTED), 0, len(SAMPLES_INFECTED)),
                         (facts["found"], facts["removed"], facts["remaining"]))
        self.assertEqual(len(SAMPLES_INFECTED),
                         sum(x.get("event") == "unable_to_clean" for x in rows))
        self.assertEqual(before, snapshot(self.tree))


    def test_a_path_inside_the_quarantine_is_refused(self):
        """A kept copy, or the quarantine folder itself, named as a PATH to clean: refused
        before anything (exit 2), and the only copy stays whole."""
        name = SAMPLES_INFECTED[0]
        self.assertEqual(1, run("--clean", "--quarantine", self.store,
                                os.path.join(self.tree, "sub", name)).returncode)
        copy = self.copy_of(name)
        for path in (copy, self.store, os.path.join(self.store, ".")):
            self.expect_refused(("--clean", "--quarantine", self.store, path),
                                "must not lie inside the quarantine folder", keep=[copy])
            with open(copy, "rb") as f:
                self.assertEqual(self.digests[name], hashlib.sha256(f.read()).hexdigest())

    def test_a_copy_that_cannot_be_kept_says_why(self):
        """The quarantine on a full disk: the infected file is left as it is ("unable to
        clean", exit 3), and one line on standard error says why, in the system's words."""
        os.makedirs(self.store, 0o700)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k,mode=0700", "tmpfs",
                           self.store], capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        self.addCleanup(subprocess.run, ["umount", "-l", self.store])
        big = os.path.join(self.tree, "big.exe")
        with open(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0]), "rb") as f:
            worm = f.read()
        with open(big, "wb") as f:           # the worm, padded past what the disk holds
            f.write(worm + b"\0" * (256 * 1024))
        r = run("--clean", "--quarantine", self.store, big)
        self.assertEqual(3, r.returncode, r.stderr)
        self.assertTrue(os.path.exists(big))
        self.assertIn(b"unable to clean", r.stdout)
        said = [x for x in r.stderr.splitlines() if x.startswith(b"krvscan: " + big.encode())]
        self.assertEqual(1, len(said), r.stderr)
        self.assertIn(b"not copied to quarantine", said[0])
        self.assertIn(b"No space left on device", said[0])
        self.assertEqual(["index.jsonl"], os.listdir(self.store))

    def test_aside_names_planted_in_advance_do_not_stop_a_deletion(self):
        """In a shared sticky folder another user plants, for the next process ids, every name
        a deletion of root's could move the file aside to under a counter: the infected file is
        deleted all the same, and what he planted stays his."""
        shared = os.path.join(self.work, "shared")
        os.makedirs(shared)
        os.chmod(shared, 0o1777)
        worm = os.path.join(shared, "setup.exe")
        shutil.copy(os.path.join(self.tree, "sub", SAMPLES_INFECTED[0]), worm)
        with open("/proc/sys/kernel/ns_last_pid") as f:
            last = int(f.read())
        for pid in range(last + 1, last + 200):
            for n in (1, 2):
                for name in (".krv-%d-%d.del" % (pid, n), ".krv.%d.%016x.del" % (pid, n)):
                    at = os.path.join(shared, name)
                    with open(at, "w") as f:
                        f.write("his")
                    os.chown(at, NOBODY, NOBODY)
        planted = sorted(n for n in os.listdir(shared) if n.startswith(".krv"))
        r = run("--clean", worm)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertFalse(os.path.exists(worm))
        self.assertEqual(planted, sorted(os.listdir(shared)))

    def test_leftovers_of_a_killed_run_are_swept_and_named(self):
        """A copy half made by a run that was killed stays in the quarantine folder until the
        next run that writes there removes it, and says so on standard error; a file of the
        same shape of a run that still runs, and one not of that shape, stay."""
        os.makedirs(self.store, 0o700)
        ended = subprocess.Popen(["true"])
        ended.wait()
        alive = subprocess.Popen(["sleep", "60"])
        try:
            left = os.path.join(self.store, "%s.%d.0123456789abcdef.tmp"
                                % (self.digests[SAMPLES_INFECTED[0]], ended.pid))
            kept = [os.path.join(self.store, "ab.%d.0123456789abcdef.tmp" % alive.pid),
                    os.path.join(self.store, "notes.tmp")]
            for path in [left] + kept:
                with open(path, "wb") as f:
                    f.write(b"half")
                os.chmod(path, 0o400)
            r = run("--clean", "--quarantine", self.store, self.tree)
            self.assertEqual(1, r.returncode, r.stderr)
            self.assertFalse(os.path.exists(left))
            for path in kept:
                self.assertTrue(os.path.exists(path), path)
            self.assertIn(("krvscan: %s: removed: a leftover of a run that did not end"
                           % left).encode(), r.stderr)
        finally:
            alive.kill()
            alive.wait()

    def test_runs_at_once_on_one_tree_all_succeed(self):
        """Two and then four runs cleaning the same tree at once, into one quarantine folder:
        each file is removed by one of them and is "already removed" or not there for the
        others. Every run ends with exit status 1, none names a file it did not find nor
        another run's names, and every copy kept is valid."""
        worms = {}
        for name in SAMPLES_INFECTED:
            with open(os.path.join(self.tree, "sub", name), "rb") as f:
                worms[name] = f.read()
        for runs in (2, 4):
            for attempt in range(5):
                subprocess.run(["rm", "-rf", self.tree], check=True)
                for j in range(10):
                    folder = os.path.join(self.tree, "c%02d" % j)
                    os.makedirs(folder)
                    for name, data in worms.items():
                        with open(os.path.join(folder, name), "wb") as f:
                            f.write(data)
                scans = [subprocess.Popen([KRVSCAN, "--clean", "--quarantine", self.store,
                                           self.tree], stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE) for _ in range(runs)]
                results = [p.communicate(timeout=120) for p in scans]
                cell = "%d runs, attempt %d" % (runs, attempt)
                self.assertEqual([1] * runs, [p.returncode for p in scans], (cell, results))
                for out, err in results:
                    self.assertNotIn(b".krv", out + err, cell)
                    self.assertNotIn(b"unable", out + err, cell)
                    self.assertEqual(b"", err, cell)
                self.assertEqual([], [os.path.join(d, f) for d, _, fs in os.walk(self.tree)
                                      for f in fs], cell)
        for name in SAMPLES_INFECTED:
            with open(self.copy_of(name), "rb") as f:
                self.assertEqual(self.digests[name], hashlib.sha256(f.read()).hexdigest())


class WindowsRoot(Scans):
    @staticmethod
    def make_root(work, values, name="SOFTWARE"):
        root = os.path.join(work, "mnt")
        config = os.path.join(root, "WINDOWS", "system32", "Config")
        os.makedirs(config, exist_ok=True)
        path = os.path.join(config, name)
        hive.make_software_hive(path, values)
        return root, path

    def hive_root(self, values, name="SOFTWARE"):
        return self.make_root(self.work, values, name)

    def test_the_new_hive_keeps_mode_and_owner_and_the_old_one_stays_as_a_backup(self):
        root, path = self.hive_root([("Other", "a"), ("System-Service", "C:\\w.exe")])
        os.chown(path, 1234, 4321)
        os.chmod(path, 0o640)
        with open(path, "rb") as f:
            old = f.read()
        for backup in ("SOFTWARE.krvbak", "SOFTWARE.krvbak2"):
            r = run("--clean", "--windows-root", root)
            self.assertEqual(1, r.returncode, r.stderr)
            st = os.lstat(path)
            self.assertEqual((1234, 4321, 0o100640), (st.st_uid, st.st_gid, st.st_mode))
            self.assertEqual(["Other"], hive.run_values(path))
            with open(os.path.join(os.path.dirname(path), backup), "rb") as f:
                self.assertEqual(old, f.read())
            with open(path, "wb") as f:        # infected again, for the second round
                f.write(old)
        self.assertEqual(["SOFTWARE", "SOFTWARE.krvbak", "SOFTWARE.krvbak2"],
                         sorted(os.listdir(os.path.dirname(path))))

    def test_a_link_raced_in_for_the_new_hive_is_never_written_through(self):
        outside = os.path.join(self.work, "outside")
        with open(outside, "wb") as f:
            f.write(b"keep me")
        root, path = self.hive_root([("System-Service", "C:\\w.exe")])
        fresh = path + ".krvnew"
        stop = threading.Event()

        def racer():
            while not stop.is_set():
                try:
                    os.symlink(outside, fresh)
                except OSError:
                    pass
        thread = threading.Thread(target=racer)
        thread.start()
        try:
            for _ in range(15):
                hive.make_software_hive(path, [("System-Service", "C:\\w.exe")])
                r = run("--clean", "--windows-root", root)
                self.assertIn(r.returncode, (1, 3), r.stderr)
                self.assertFalse(os.path.islink(path))
        finally:
            stop.set()
            thread.join()
        with open(outside, "rb") as f:
            self.assertEqual(b"keep me", f.read())

    def test_two_runs_on_one_root_leave_one_whole_hive(self):
        """Two --clean runs at once on one disk: one removes the value, the other finds the
        hive it left; SOFTWARE is whole, with its mode and owner, every time."""
        root, path = self.hive_root([("Other", "a"), ("System-Service", "C:\\w.exe")])
        config = os.path.dirname(path)
        subprocess.run(["chmod", "-R", "0777", root], check=True)   # as ntfs-3g shows a disk
        for attempt in range(8):
            hive.make_software_hive(path, [("Other", "a"), ("System-Service", "C:\\w.exe")])
            os.chown(path, 1234, 4321)
            os.chmod(path, 0o640)
            scans = [subprocess.Popen([KRVSCAN, "--clean", "--windows-root", root],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(2)]
            results = [p.communicate(timeout=120) for p in scans]
            self.assertEqual([0, 1], sorted(p.returncode for p in scans), (attempt, results))
            st = os.lstat(path)
            self.assertEqual((1234, 4321, 0o100640), (st.st_uid, st.st_gid, st.st_mode))
            self.assertEqual(["Other"], hive.run_values(path))
            self.assertEqual([], [n for n in os.listdir(config) if ".krvnew" in n])

    def test_a_file_under_another_runs_new_hive_name_is_left_alone(self):
        """A new hive a killed run left (its process gone, the running user's) is removed and
        named; one of a run that still runs, another user's, and a name of another shape stay."""
        root, path = self.hive_root([("System-Service", "C:\\w.exe")])
        ended = subprocess.Popen(["true"])
        ended.wait()
        alive = subprocess.Popen(["sleep", "60"])
        self.addCleanup(alive.wait)
        self.addCleanup(alive.kill)
        left = path + ".krvnew.%d" % ended.pid
        stays = [path + ".krvnew", path + ".krvnew.%d" % alive.pid, path + ".krvnew.%d.x" % ended.pid]
        theirs = path + ".krvnew.%d.1" % ended.pid
        for name in [left, theirs] + stays:
            with open(name, "wb") as f:
                f.write(b"another run's")
        os.chown(theirs, NOBODY, NOBODY)
        r = run("--clean", "--windows-root", root)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual([], hive.run_values(path))
        self.assertFalse(os.path.exists(left))
        self.assertIn(("krvscan: %s: removed: a leftover of a run that did not end"
                       % left).encode(), r.stderr)
        for name in stays + [theirs]:
            with open(name, "rb") as f:
                self.assertEqual(b"another run's", f.read())

    def test_hivex_aborting_on_a_hive_is_one_line_naming_it_and_the_scan_runs(self):
        # A registry library that aborts on opening, as hivex does on some crafted hives.
        lib = os.path.join(self.work, "lib")
        os.makedirs(lib)
        source = os.path.join(lib, "abort.c")
        with open(source, "w") as f:
            f.write("#include <stdlib.h>\nvoid *hivex_open(void) { abort(); }\n")
            for name in ("close", "root", "node_get_child", "node_values", "value_key",
                         "value_value", "node_set_values", "commit"):
                f.write("int hivex_%s(void) { return 0; }\n" % name)
        subprocess.run(["cc", "-shared", "-fPIC", "-Wl,-soname,libhivex.so.0", "-o",
                        os.path.join(lib, "libhivex.so.0"), source], check=True)
        root, path = self.hive_root([("System-Service", "C:\\w.exe")])
        before = snapshot(root)
        r = run("--clean", "--windows-root", root, self.tree,
                env=dict(os.environ, LD_LIBRARY_PATH=lib))
        self.assertEqual(4, r.returncode, r.stderr)
        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        self.assertIn(path + ": hivex stopped on the registry hive", r.stderr.decode())
        self.assertEqual(before, snapshot(root))
        self.assertEqual(str(len(SAMPLES_INFECTED)), report(r.stdout)["Deleted:"])

    def test_removes_the_first_matching_value_and_keeps_the_others(self):
        root, path = self.hive_root([("Other", "a"), ("system-SERVICE host", "C:\\w.exe"),
                                     ("System-Service2", "b"), ("System-Servic", "c")],
                                    name="software")
        r = run("--clean", "--windows-root", root)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(["Other", "System-Service2", "System-Servic"], hive.run_values(path))
        out = subprocess.run(["hivexget", path, "\\Microsoft\\Windows\\CurrentVersion\\Run",
                              "System-Service2"], capture_output=True, text=True)
        self.assertEqual("b", out.stdout.strip())
        self.assertEqual("2", report(r.stdout)["Files:"])   # DIR itself: the hive and its backup
        self.assertEqual(["software", "software.krvbak"], sorted(os.listdir(os.path.dirname(path))))

    def test_two_spellings_of_the_hive_or_a_folder_are_named_and_neither_is_examined(self):
        for second in ("software", "SoftWare"):
            for flags in ((), ("--clean",)):
                subprocess.run(["rm", "-rf", os.path.join(self.work, "mnt")], check=True)
                self.hive_root([("Other", "a")])
                root, path = self.hive_root([("System-Service", "C:\\w.exe")], name=second)
                before = snapshot(root)
                r = run(*flags, "--windows-root", root)
                # Neither examined (exit 4), the files of the disk scanned all the same.
                self.assertEqual(4, r.returncode, r.stderr)
                self.assertIn(b"Scan report", r.stdout)
                errors = r.stderr.decode().splitlines()
                self.assertEqual(1, len(errors), errors)
                self.assertIn(os.path.dirname(path), errors[0])
                self.assertIn("SOFTWARE and %s" % second, errors[0].replace(
                    "%s and SOFTWARE" % second, "SOFTWARE and %s" % second))
                self.assertEqual(before, snapshot(root))
        # The same for the folders on the way.
        subprocess.run(["rm", "-rf", os.path.join(self.work, "mnt")], check=True)
        root, _ = self.hive_root([("System-Service", "C:\\w.exe")])
        os.makedirs(os.path.join(root, "windows", "System32", "config"))
        r = run("--windows-root", root)
        self.assertEqual(4, r.returncode, r.stderr)     # the hive not examined, the files scanned
        self.assertIn("WINDOWS and windows", r.stderr.decode().replace(
            "windows and WINDOWS", "WINDOWS and windows"))

    def test_no_value_no_key_or_a_bad_hive_leave_the_file_as_it_was(self):
        for values in ([("Other", "a"), ("System-Servic", "c")], None):
            root, path = self.hive_root(values)
            before = snapshot(root)
            r = run("--clean", "--windows-root", root)
            self.assertEqual(0, r.returncode, (values, r.stderr))
            self.assertEqual(before, snapshot(root), values)
        # A crafted hive, a FIFO or a link in its place or on the way: rescue_test.py's
        # hostile disks. No hive: one line, and the files of the disk are scanned and cleaned all the same.
        r = run("--clean", "--windows-root", self.tree)
        self.assertEqual(4, r.returncode)
        self.assertIn("no Windows/System32/config/SOFTWARE hive", r.stderr.decode())
        self.assertEqual(str(len(SAMPLES_INFECTED)), report(r.stdout)["Deleted:"])


if __name__ == "__main__":
    KRVSCAN, MAKESAMPLES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)   # then test names, if any
