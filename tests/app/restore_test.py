#!/usr/bin/env python3
"""krvscan --restore DIR [ID...] from the outside.

restore_test.py KRVSCAN MAKESAMPLES

A file quarantined by a cleaning run comes back with its bytes, owner, mode and times; each
copy that cannot come back (its digest fails, its path is taken or runs through a link, its
folder is gone) is one line on standard error while the others still come back (exit 3);
what stops everything before a byte is written (the folder refused, options that do not go
with it, an id naming no copy or several) is one line and exit 2.
"""
import calendar
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

KRVSCAN = MAKESAMPLES = None
ROOT = os.geteuid() == 0


def run(*args):
    return subprocess.run([KRVSCAN, *args], capture_output=True, timeout=120)


class Restore(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.store = os.path.join(self.work, "store")
        self.tree = os.path.join(self.work, "tree")
        os.makedirs(self.tree)

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+w", self.work])
        subprocess.run(["rm", "-rf", self.work])

    def keep(self, path, data, mode=0o100640, owner=None, group=None,
             modified="2001-02-03T04:05:06Z", copy=None):
        """A copy of `data` from `path` in the store, as the quarantine keeps one."""
        os.makedirs(self.store, 0o700, exist_ok=True)
        digest = hashlib.sha256(data).hexdigest()
        name = os.path.join(self.store, digest + ".quarantined")
        if not os.path.exists(name):
            with open(name, "wb") as f:
                f.write(data if copy is None else copy)
            os.chmod(name, 0o400)
        line = {"sha256": digest, "path": path, "size": len(data), "mode": "0%o" % mode,
                "owner": os.getuid() if owner is None else owner,
                "group": os.getgid() if group is None else group,
                "modified": modified, "accessed": "2002-03-04T05:06:07Z",
                "changed": modified, "detection": "Win32.Worm.Tamsel.A",
                "quarantined": "2026-01-01T00:00:00Z"}
        with open(os.path.join(self.store, "index.jsonl"), "a") as f:
            f.write(json.dumps(line) + "\n")
        return digest

    def index(self):
        with open(os.path.join(self.store, "index.jsonl")) as f:
            return [json.loads(x) for x in f]

    def test_a_cleaned_file_comes_back_with_bytes_owner_mode_and_times(self):
        sub = os.path.join(self.tree, "sub")
        os.makedirs(sub)
        subprocess.run([MAKESAMPLES, sub], check=True, capture_output=True)
        path = os.path.join(sub, "infected.dll")
        with open(path, "rb") as f:
            data = f.read()
        owner, group = (1234, 2345) if ROOT else (os.getuid(), os.getgid())
        os.chown(path, owner, group)
        os.chmod(path, 0o751)
        os.utime(path, (1000000000, 981173106))
        r = run("--clean", "--quarantine", self.store, path)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertFalse(os.path.lexists(path))
        r = run("--json", "--restore", self.store)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(b"", r.stderr)
        self.assertEqual([{"event": "restored", "file": path, "status": "restored from quarantine"}],
                         [json.loads(x) for x in r.stdout.splitlines()])
        with open(path, "rb") as f:
            self.assertEqual(data, f.read())
        st = os.lstat(path)
        lines = self.index()
        # The access time is the one the index kept (the scan itself read the file).
        accessed = calendar.timegm(time.strptime(lines[0]["accessed"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertEqual((owner, group, 0o100751, 981173106, accessed, 1),
                         (st.st_uid, st.st_gid, st.st_mode, int(st.st_mtime), int(st.st_atime),
                          st.st_nlink))
        digest = hashlib.sha256(data).hexdigest()
        self.assertTrue(os.path.exists(os.path.join(self.store, digest + ".quarantined")))
        self.assertEqual(2, len(lines))
        self.assertNotIn("restored", lines[0])
        self.assertEqual((digest, path), (lines[1]["sha256"], lines[1]["path"]))
        self.assertRegex(lines[1]["restored"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        # Once back, a restore of everything passes it by: one line, exit 0, nothing changed.
        r = run("--restore", self.store)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        self.assertIn(b"already restored", r.stderr)
        self.assertEqual(2, len(self.index()))
        # Quarantined again (a second line for the same copy), then put back once.
        self.assertEqual(1, run("--clean", "--quarantine", self.store, path).returncode)
        r = run("--restore", self.store)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual([path.encode() + b"\trestored from quarantine"], r.stdout.splitlines())
        with open(path, "rb") as f:
            self.assertEqual(data, f.read())
        self.assertEqual(4, len(self.index()))

    def test_each_copy_that_cannot_come_back_is_one_line_and_the_others_come_back(self):
        outside = os.path.join(self.work, "outside")
        os.makedirs(outside)
        os.makedirs(os.path.join(self.tree, "real"))
        os.symlink(outside, os.path.join(self.tree, "linked"))
        with open(os.path.join(self.tree, "taken"), "wb") as f:
            f.write(b"there")
        os.symlink(os.path.join(outside, "target"), os.path.join(self.tree, "dangling"))
        with open(os.path.join(self.tree, "afile"), "wb") as f:
            f.write(b"a file")
        cases = {  # path below the tree: (what is kept, the copy's bytes if forged, cause)
            "real/good": (b"good", None, None),
            "fails-digest": (b"original", b"tampered", b"SHA-256"),
            "taken": (b"mine", None, b"taken"),
            "dangling": (b"through a dangling link", None, b"taken"),
            "gone/file": (b"folder gone", None, b"gone"),
            "linked/file": (b"through a folder link", None, b"link"),
            "afile/file": (b"below a file", None, b"link"),
            "good2": (b"also good", None, None),
            "copy-not-its-own": (b"a copy made writable", None, b"not the scanner's own"),
        }
        for name, (data, copy, _) in cases.items():
            digest = self.keep(os.path.join(self.tree, name), data, copy=copy)
        os.chmod(os.path.join(self.store, digest + ".quarantined"), 0o644)
        # An older index kept the PATH as it was given: relative to a folder no one knows now.
        self.keep("tree/relative", b"relative to what?")
        r = run("--restore", self.store)
        self.assertEqual(3, r.returncode, r.stderr)
        errors = r.stderr.splitlines()
        self.assertEqual(8, len(errors), r.stderr)
        self.assertIn(b"krvscan: tree/relative: kept with a path relative", r.stderr)
        for name, (data, copy, cause) in cases.items():
            path = os.path.join(self.tree, name).encode()
            said = [e for e in errors if e.startswith(b"krvscan: " + path + b": ")]
            if cause is None:
                self.assertEqual([], said, name)
                self.assertIn(path + b"\trestored from quarantine", r.stdout.splitlines())
                with open(path, "rb") as f:
                    self.assertEqual(data, f.read())
            else:
                self.assertEqual(1, len(said), (name, r.stderr))
                self.assertIn(cause, said[0], name)
                self.assertNotIn(path, r.stdout, name)
        self.assertEqual([], os.listdir(outside))
        self.assertFalse(os.path.exists(os.path.join(self.tree, "fails-digest")))
        with open(os.path.join(self.tree, "taken"), "rb") as f:
            self.assertEqual(b"there", f.read())
        self.assertEqual(2, sum("restored" in x for x in self.index()))

    def test_a_file_comes_back_where_it_was_whatever_path_and_working_folder(self):
        """PATH given as ".", "../sub", "/abs/./sub", through a link to a folder, or relative
        to the working folder: the copy comes back where the file was, put back from a folder
        that holds a "sub" of its own."""
        samples = os.path.join(self.work, "samples")
        os.makedirs(samples)
        subprocess.run([MAKESAMPLES, samples], check=True, capture_output=True)
        with open(os.path.join(samples, "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        real = os.path.join(self.tree, "real")
        sub = os.path.join(real, "sub")
        os.makedirs(sub)
        os.makedirs(os.path.join(real, "other"))
        os.symlink(real, os.path.join(self.tree, "via"))
        decoy = os.path.join(self.work, "decoy")
        os.makedirs(os.path.join(decoy, "sub"))
        file = os.path.join(sub, "w.exe")
        spellings = [(".", sub), ("../sub", os.path.join(real, "other")),
                     (real + "/./sub", "/"), (os.path.join(self.tree, "via", "sub"), "/"),
                     ("sub", real), ("w.exe", sub)]
        for path, cwd in spellings:
            with self.subTest(path=path, cwd=cwd):
                with open(file, "wb") as f:
                    f.write(worm)
                r = subprocess.run([KRVSCAN, "--clean", "--quarantine", self.store, path],
                                   cwd=cwd, capture_output=True, timeout=120)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertFalse(os.path.exists(file))
                self.assertEqual(file, self.index()[-1]["path"])
                r = subprocess.run([KRVSCAN, "--restore", self.store], cwd=decoy,
                                   capture_output=True, timeout=120)
                self.assertEqual(0, r.returncode, r.stderr)
                with open(file, "rb") as f:
                    self.assertEqual(worm, f.read())
                self.assertEqual([], os.listdir(os.path.join(decoy, "sub")))
                os.remove(file)

    def test_a_second_restore_passes_by_what_the_first_put_back(self):
        """What the index says was restored is not put back again by a restore of everything
        (its owner may have deleted it since), and is named; by its ID it comes back where its
        path is free, and not where it is taken."""
        path = os.path.join(self.tree, "kept.exe")
        other = os.path.join(self.tree, "other.exe")
        digest = self.keep(path, b"kept")
        self.keep(other, b"other")
        r = run("--restore", self.store, digest[:12])
        self.assertEqual(0, r.returncode, r.stderr)
        os.remove(path)
        r = run("--restore", self.store)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertFalse(os.path.exists(path))
        self.assertIn(b"krvscan: " + path.encode() + b": already restored", r.stderr)
        self.assertIn(other.encode() + b"\trestored from quarantine", r.stdout)
        r = run("--restore", self.store)
        self.assertEqual((0, b""), (r.returncode, r.stdout), r.stderr)
        r = run("--restore", self.store, digest[:12])
        self.assertEqual(0, r.returncode, r.stderr)
        with open(path, "rb") as f:
            self.assertEqual(b"kept", f.read())
        r = run("--restore", self.store, digest[:12])
        self.assertEqual(3, r.returncode, r.stderr)
        self.assertIn(b"taken", r.stderr)

    def test_a_stopped_or_killed_restore_leaves_each_name_empty_or_whole(self):
        """SIGTERM, SIGINT, SIGHUP and SIGKILL at some moment of a restore of many copies: each
        name holds nothing or the whole file, never a part of it; a stop is honoured between
        two files (exit 2, one line). A file a killed restore left under a name of its own is
        removed by the next restore in that folder, and named."""
        data = {}
        for i in range(150):
            path = os.path.join(self.tree, "f%03d" % i)
            data[path] = (b"%03d" % i) * 30000
            self.keep(path, data[path])
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGKILL):
            p = subprocess.Popen([KRVSCAN, "--restore", self.store],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.05)
            p.send_signal(sig)
            out, err = p.communicate(timeout=60)
            with self.subTest(signal=sig):
                lines = err.splitlines()
                if sig != signal.SIGKILL and p.returncode == 2:
                    self.assertIn(b"interrupted", lines[-1])
                    lines = lines[:-1]
                # Besides the stop, only what an earlier round put back is named.
                self.assertEqual([], [x for x in lines if b"already restored" not in x], err)
                for path, blob in data.items():
                    if os.path.exists(path):
                        with open(path, "rb") as f:
                            self.assertEqual(blob, f.read(), path)
        # What a restore killed mid-file leaves: a temporary of a process that no longer runs.
        ended = subprocess.Popen(["true"])
        ended.wait()
        left = os.path.join(self.tree, ".krvrestore.%d.0123456789abcdef.tmp" % ended.pid)
        with open(left, "wb") as f:
            f.write(b"half")
        kept = os.path.join(self.tree, "never-restored")
        digest = self.keep(kept, b"whole")
        r = run("--restore", self.store, digest)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertFalse(os.path.exists(left))
        self.assertIn(("krvscan: %s: removed" % left).encode(), r.stderr)
        with open(kept, "rb") as f:
            self.assertEqual(b"whole", f.read())

    def test_awkward_names_come_back_under_the_very_same_name(self):
        # What the quarantine writes for a name (escapes, U+FFFD and "path_hex"), its reader
        # takes back byte for byte; a line written elsewhere may spell a character outside the
        # first plane as a surrogate pair, as Python does.
        subprocess.run([MAKESAMPLES, self.tree], check=True, capture_output=True)
        with open(os.path.join(self.tree, "infected.dll"), "rb") as f:
            data = f.read()
        for name in os.listdir(self.tree):
            os.remove(os.path.join(self.tree, name))
        names = [b'quote"d', b"back\\slash", b"ctl\x01\x1f\x7f", b"tab\tnew\nline",
                 b"bad\xff\xfe", b"over\xc0\xaf", b"caf\xc3\xa9 \xe2\x82\xac"]
        paths = [os.path.join(self.tree.encode(), n) for n in names]
        for i, path in enumerate(paths):
            with open(path, "wb") as f:
                f.write(data + bytes([i]))
        r = run("--clean", "--quarantine", self.store, self.tree)
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual([], os.listdir(self.tree))
        self.keep(os.path.join(self.tree, "smile \U0001F600"), b"kept by hand")
        with open(os.path.join(self.store, "index.jsonl"), "rb") as f:
            self.assertIn(b"\\ud83d\\ude00", f.read())
        r = run("--restore", self.store)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(b"", r.stderr)
        for i, path in enumerate(paths):
            with open(path, "rb") as f:
                self.assertEqual(data + bytes([i]), f.read(), path)
        with open(os.path.join(self.tree, "smile \U0001F600"), "rb") as f:
            self.assertEqual(b"kept by hand", f.read())
        self.assertEqual(len(names) + 1, len(os.listdir(self.tree)))

    def test_an_id_is_a_digest_a_unique_prefix_or_a_path(self):
        paths = [os.path.join(self.tree, "f%d" % i) for i in range(40)]
        digests = [self.keep(p, b"contents %d" % i) for i, p in enumerate(paths)]
        # Among forty digests two begin alike: that prefix names two copies.
        firsts = [d[0] for d in digests]
        twin = next(c for c in firsts if firsts.count(c) > 1)
        pair = [d for d in digests if d[0] == twin]
        r = run("--restore", self.store, twin)
        self.assertEqual(2, r.returncode)
        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        for d in pair:
            self.assertIn(d.encode(), r.stderr)
        self.assertEqual([], os.listdir(self.tree))
        r = run("--restore", self.store, digests[0], digests[1][:12].upper(), paths[2])
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(sorted(os.path.basename(p) for p in paths[:3]),
                         sorted(os.listdir(self.tree)))
        for args in ((self.store, "0" * 64), (self.store, os.path.join(self.tree, "nothing"))):
            r = run("--restore", *args)
            self.assertEqual(2, r.returncode, args)
            self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
            self.assertIn(b"no copy", r.stderr)

    def test_an_index_line_that_cannot_be_read_is_named_and_passed_over(self):
        self.keep(os.path.join(self.tree, "one"), b"one")
        with open(os.path.join(self.store, "index.jsonl"), "a") as f:
            f.write('{"sha256":"cut\n' + "x" * 100000 + "\n")
        self.keep(os.path.join(self.tree, "two"), b"two")
        r = run("--restore", self.store)
        self.assertEqual(3, r.returncode, r.stderr)
        self.assertEqual([b"krvscan: index.jsonl, line 2: cannot be read; skipped",
                          b"krvscan: index.jsonl, line 3: cannot be read; skipped"],
                         r.stderr.splitlines())
        self.assertEqual(["one", "two"], sorted(os.listdir(self.tree)))

    def test_what_stops_everything_is_one_line_and_nothing_is_written(self):
        path = os.path.join(self.tree, "kept")
        self.keep(path, b"kept")
        afile = os.path.join(self.work, "afile")
        open(afile, "w").close()
        alink = os.path.join(self.work, "alink")
        os.symlink(self.store, alink)
        open_store = os.path.join(self.work, "open")
        os.makedirs(open_store)
        os.chmod(open_store, 0o770)
        refused = {
            ("--restore", os.path.join(self.work, "missing")): b"cannot be opened",
            ("--restore", afile): b"not a link or a file",
            ("--restore", alink): b"not a link or a file",
            ("--restore", open_store): b"written by others",
            ("--restore",): b"needs a folder",
            ("--clean", "--restore", self.store): b"stands alone",
            ("--restore", self.store, "--report-only"): b"stands alone",
            ("--all-fixed-drives", "--restore", self.store): b"stands alone",
            ("--restore", self.store, "--quarantine", self.work): b"stands alone",
            ("--restore", self.store, "--log", afile): b"stands alone",
            ("--restore", self.store, "--windows-root", self.work): b"stands alone",
        }
        if ROOT:
            theirs = os.path.join(self.work, "theirs")
            os.makedirs(theirs, 0o700)
            os.chown(theirs, 65534, 65534)
            refused[("--restore", theirs)] = b"another user"
        for args, cause in refused.items():
            r = run(*args)
            self.assertEqual(2, r.returncode, args)
            self.assertEqual(1, len(r.stderr.splitlines()), (args, r.stderr))
            self.assertIn(cause, r.stderr, args)
            self.assertEqual(b"", r.stdout, args)
        self.assertEqual([], os.listdir(self.tree))
        self.assertEqual(1, len(self.index()))

    def read_only(self, folder):
        """`folder` mounted read-only onto itself (as root), for the rest of the test."""
        if subprocess.run(["mount", "--bind", folder, folder], capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        self.addCleanup(subprocess.run, ["umount", "-l", folder], capture_output=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", folder], check=True)

    def test_what_a_rescuer_meets(self):
        """An older index's relative paths, put back below --restore-root and never above it;
        a file a killed restore put back before its index line; a read-only quarantine; a place
        or a quarantine that cannot be written, said in the system's words."""
        root = os.path.join(self.work, "root")
        os.makedirs(os.path.join(root, "sub"))

        def relative(spelling):
            def setup():
                self.keep("./sub/x.exe", b"kept as ./sub/x.exe")
                return ("--restore", self.store) + spelling
            return setup

        def escaping():
            self.keep("../outside.exe", b"kept as ../outside.exe")
            return ("--restore", self.store, "--restore-root", root)

        def no_root():
            self.keep(os.path.join(self.tree, "first"), b"first")
            self.keep("sub/x.exe", b"kept as sub/x.exe")
            return ("--restore", self.store)

        def killed_before_its_line():
            # The file as a restore makes it: bytes, mode and times the index kept.
            path = os.path.join(self.tree, "back.exe")
            self.keep(path, b"put back, line missing")
            with open(path, "wb") as f:
                f.write(b"put back, line missing")
            os.chmod(path, 0o640)
            os.utime(path, (1000000000, calendar.timegm((2001, 2, 3, 4, 5, 6))))
            return ("--restore", self.store)

        def read_only_quarantine():
            self.keep(os.path.join(self.tree, "ro.exe"), b"from a read-only stick")
            self.read_only(self.store)
            return ("--restore", self.store)

        def read_only_place():
            self.keep(os.path.join(self.tree, "nowhere.exe"), b"cannot land")
            self.read_only(self.tree)
            return ("--restore", self.store)

        def full_place():
            self.keep(os.path.join(self.tree, "big.exe"), b"\x5a" * (256 << 10))
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.tree],
                              capture_output=True).returncode:
                self.skipTest("mounting a file system needs root")
            self.addCleanup(subprocess.run, ["umount", "-l", self.tree], capture_output=True)
            return ("--restore", self.store)

        def read_only_store():
            os.makedirs(self.store, 0o700)
            self.read_only(self.store)
            subprocess.run([MAKESAMPLES, self.tree], check=True, capture_output=True)
            return ("--clean", "--quarantine", self.store, self.tree)

        def in_root(name, data):
            def holds():
                with open(os.path.join(root, name), "rb") as f:
                    return f.read() == data
            return holds

        cases = {  # name: (setup, exit status, what standard error says, what must hold after)
            "relative, --restore-root DIR": (relative(("--restore-root", root)), 0, [],
                                             in_root("sub/x.exe", b"kept as ./sub/x.exe")),
            "relative, --restore-root=DIR": (relative(("--restore-root=" + root,)), 0, [],
                                             in_root("sub/x.exe", b"kept as ./sub/x.exe")),
            "relative with ..": (escaping, 3, [b"../outside.exe: the file cannot be created"],
                                 lambda: not os.path.exists(os.path.join(self.work,
                                                                         "outside.exe"))),
            "relative, no root": (no_root, 3, [b"sub/x.exe: kept with a path relative",
                                               b"(index.jsonl, line 2)", b"--restore-root"],
                                  lambda: os.path.exists(os.path.join(self.tree, "first"))),
            "killed before its line": (killed_before_its_line, 0, [b"already restored"],
                                       lambda: "restored" in self.index()[-1]),
            "read-only quarantine": (read_only_quarantine, 0, [b"read-only"],
                                     lambda: os.path.exists(os.path.join(self.tree, "ro.exe"))
                                     and len(self.index()) == 1),
            "read-only place": (read_only_place, 3, [b"cannot be created there (Read-only"],
                                lambda: os.listdir(self.tree) == []),
            "full disk": (full_place, 3, [b"written whole (No space left on device)"],
                          lambda: os.listdir(self.tree) == []),
            "read-only quarantine, --clean": (read_only_store, 2, [b"Read-only file system"],
                                              lambda: os.listdir(self.store) == []),
        }
        for name, (setup, status, said, holds) in cases.items():
            with self.subTest(name):
                for folder in (self.store, self.tree, os.path.join(root, "sub")):
                    subprocess.run(["umount", "-l", folder], capture_output=True)
                    subprocess.run(["rm", "-rf", folder])
                os.makedirs(self.tree)
                os.makedirs(os.path.join(root, "sub"))
                r = run(*setup())
                self.assertEqual(status, r.returncode, r.stderr)
                for words in said:
                    self.assertIn(words, r.stderr)
                self.assertEqual(1 if said else 0, len(r.stderr.splitlines()), r.stderr)
                self.assertTrue(holds(), r.stderr)

    def test_a_sparse_or_4_gib_file_is_kept_with_its_holes_and_comes_back(self):
        """Files of any size, their holes kept: a 512 MiB file of 132 KiB of data is copied as
        132 KiB; one past 4 GiB with data beyond 4 GiB comes back byte for byte."""
        samples = os.path.join(self.work, "samples")
        subprocess.run([MAKESAMPLES, samples], check=True, capture_output=True)
        with open(os.path.join(samples, "infected-entry1.exe"), "rb") as f:
            worm = f.read()
        for size, tail in ((512 << 20, None), ((4 << 30) + (1 << 20), (4 << 30) + 12345)):
            with self.subTest(size=size):
                path = os.path.join(self.tree, "big.exe")
                with open(path, "wb") as f:
                    f.write(worm)
                    if tail:
                        f.seek(tail)
                        f.write(b"past 4 GiB")
                    f.truncate(size)
                digest = hashlib.sha256(worm)      # from what was written, holes as zeros
                at, zeros = len(worm), bytes(1 << 24)
                for end, data in ((tail, b"past 4 GiB"), (size, b"")) if tail else ((size, b""),):
                    for _ in range((end - at) // len(zeros)):
                        digest.update(zeros)
                    digest.update(zeros[:(end - at) % len(zeros)] + data)
                    at = end + len(data)
                r = run("--clean", "--quarantine", self.store, path)
                self.assertEqual(1, r.returncode, r.stderr)
                copy = os.path.join(self.store, digest.hexdigest() + ".quarantined")
                st = os.stat(copy)
                self.assertEqual(size, st.st_size)
                self.assertLess(st.st_blocks * 512, 1 << 20)
                r = run("--restore", self.store, digest.hexdigest())
                self.assertEqual(0, r.returncode, r.stderr)
                st = os.stat(path)
                self.assertEqual(size, st.st_size)
                self.assertLess(st.st_blocks * 512, 1 << 20)
                with open(path, "rb") as f:
                    self.assertEqual(worm, f.read(len(worm)))
                    if tail:
                        f.seek(tail)
                        self.assertEqual(b"past 4 GiB", f.read(10))
                os.remove(path)


if __name__ == "__main__":
    KRVSCAN, MAKESAMPLES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
