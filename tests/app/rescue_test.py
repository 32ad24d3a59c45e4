#!/usr/bin/env python3
"""krvscan --clean changes nothing where a change cannot land: a read-only mount, or a Windows
that resumes from hibernation or Fast Startup. Report-only runs there, and says so.

rescue_test.py KRVSCAN MAKESAMPLES
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hive  # noqa: E402

KRVSCAN = MAKESAMPLES = None
WORM = [("System-Service", "C:\\w.exe")]


def run(*args):
    return subprocess.run([KRVSCAN, *args], capture_output=True, timeout=120)


def contents(top):
    seen = {}
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    seen[path] = f.read()
    return seen


class Rescue(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work, True)

    def windows_root(self, head, name="hiberfil.sys"):
        root = os.path.join(self.work, "mnt-%d" % len(os.listdir(self.work)))
        config = os.path.join(root, "Windows", "System32", "config")
        os.makedirs(config)
        hive.make_software_hive(os.path.join(config, "SOFTWARE"), WORM)
        subprocess.run([MAKESAMPLES, os.path.join(root, "apps")], check=True, capture_output=True)
        if head is not None:
            with open(os.path.join(root, name), "wb") as f:
                f.write(head + b"\0" * 60 if len(head) >= 4 else head)
        return root

    def test_a_read_only_mount_refuses_clean_before_anything_and_reports_its_type(self):
        mount = os.path.join(self.work, "ro")
        os.makedirs(mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", mount],
                          capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        subprocess.run([MAKESAMPLES, mount], check=True, capture_output=True)
        subprocess.run(["mount", "-o", "remount,ro", mount], check=True)
        r = run("--clean", self.work, mount)
        self.assertEqual(2, r.returncode, r.stderr)
        self.assertIn(mount + ": read-only file system: nothing can be removed",
                      r.stderr.decode())
        self.assertEqual(b"", r.stdout)          # refused before the scan
        r = run("--json", mount)
        self.assertEqual(1, r.returncode, r.stderr)
        last = json.loads(r.stdout.decode().splitlines()[-1])
        self.assertEqual([{"path": mount, "filesystem": "tmpfs"}], last["paths"])
        self.assertNotIn("hibernated", last)

    def test_a_windows_that_resumes_is_never_cleaned_and_the_report_says_so(self):
        resumes = [(b"hibr", "hiberfil.sys"), (b"HIBR", "hiberfil.sys"), (b"wake", "HIBERFIL.SYS"),
                   (b"WAKE", "hiberfil.sys"), (b"RSTR", "Hiberfil.sys"), (b"rStR", "hiberfil.sys")]
        for head, name in resumes:
            with self.subTest(head=head, name=name):
                root = self.windows_root(head, name)
                before = contents(root)
                r = run("--clean", "--windows-root", root)
                self.assertEqual(2, r.returncode, r.stderr)
                self.assertIn("hibernated or shut down by Fast Startup", r.stderr.decode())
                self.assertIn("shut it down fully", r.stderr.decode())
                self.assertEqual(before, contents(root))
                r = run("--windows-root", root)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertIn("\nHibernated:\t", r.stdout.decode())
                r = run("--json", "--windows-root", root)
                self.assertTrue(json.loads(r.stdout.decode().splitlines()[-1])["hibernated"])

    def test_a_hibernated_windows_on_a_read_only_mount_says_hibernated_first(self):
        """ntfs-3g mounts a hibernated Windows read-only by itself: the line says to shut
        Windows down fully, never to mount it read-write (which would damage the volume)."""
        root = self.windows_root(b"hibr")
        if subprocess.run(["mount", "--bind", root, root], capture_output=True).returncode:
            self.skipTest("mounting a file system needs root")
        self.addCleanup(subprocess.run, ["umount", "-l", root])
        subprocess.run(["mount", "-o", "remount,bind,ro", root], check=True)
        r = run("--clean", "--windows-root", root)
        self.assertEqual(2, r.returncode, r.stderr)
        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        self.assertIn("shut it down fully", r.stderr.decode())
        self.assertNotIn("read-write", r.stderr.decode())

    def test_a_windows_shut_down_fully_is_cleaned(self):
        for head in (None, b"\0\0\0\0", b"hib", b"HIBx", b"rstrx"[1:]):
            with self.subTest(head=head):
                root = self.windows_root(head)
                r = run("--clean", "--windows-root", root)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertEqual([], hive.run_values(
                    os.path.join(root, "Windows", "System32", "config", "SOFTWARE")))
                self.assertNotIn("Hibernated", r.stdout.decode())

    def test_a_hiberfil_that_is_no_regular_file_stops_nothing(self):
        """A FIFO, a folder or a link under the name (a crafted disk): no image Windows resumes
        from, never waited on; the disk is cleaned (the FIFO, a file the scan cannot read, is
        named as not scanned: exit 4)."""
        for make, status in ((os.mkfifo, 4), (os.makedirs, 1),
                             (lambda p: os.symlink("/dev/zero", p), 1)):
            with self.subTest(make=make):
                root = self.windows_root(None)
                make(os.path.join(root, "hiberfil.sys"))
                r = run("--clean", "--windows-root", root)
                self.assertEqual(status, r.returncode, r.stderr)
                self.assertNotIn(b"hiberfil.sys cannot be read", r.stderr)
                self.assertEqual([], hive.run_values(
                    os.path.join(root, "Windows", "System32", "config", "SOFTWARE")))

    def test_a_quarantine_on_the_rescuers_ntfs_stick(self):
        """ntfs-3g keeps no owners or modes unless mounted with "permissions": the mount decides
        who may write. Mounted as it comes (everything everyone's), the quarantine is refused
        with the way to mount it and nothing is left on the stick; mounted for the running
        user alone, or with permissions, two runs (two machines) keep their copies and a
        restore puts them back."""
        if os.geteuid() != 0:
            self.skipTest("mounting a file system needs root")
        for tool in ("mkntfs", "ntfs-3g"):
            if not shutil.which(tool):
                self.skipTest("%s is not installed (scripts/setup.sh installs ntfs-3g)" % tool)
        if not os.path.exists("/dev/fuse"):
            self.skipTest("no FUSE here (/dev/fuse)")
        image, stick = os.path.join(self.work, "stick.img"), os.path.join(self.work, "stick")
        os.makedirs(stick)
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkntfs", "-Q", "-F", "-q", image], check=True, capture_output=True)
        samples = os.path.join(self.work, "samples")
        subprocess.run([MAKESAMPLES, samples], check=True, capture_output=True)
        tree, store = os.path.join(self.work, "tree"), os.path.join(stick, "q")
        for options, kept in (([], False), (["-o", "uid=0,gid=0,umask=077"], True),
                              (["-o", "permissions"], True)):
            with self.subTest(options=options):
                subprocess.run(["umount", stick], capture_output=True)
                if subprocess.run(["ntfs-3g", *options, image, stick],
                                  capture_output=True).returncode:
                    self.skipTest("ntfs-3g cannot mount here")
                self.addCleanup(subprocess.run, ["umount", "-l", stick], capture_output=True)
                shutil.rmtree(store, True)
                runs = []
                for machine in ("infected-entry1.exe", "infected.dll"):
                    shutil.rmtree(tree, True)
                    os.makedirs(tree)
                    shutil.copy(os.path.join(samples, machine), tree)
                    shutil.copy(os.path.join(samples, "infected-entry1.exe"),
                                os.path.join(tree, "again.exe"))
                    runs.append(run("--clean", "--quarantine", store, tree))
                if not kept:
                    for r in runs:
                        self.assertEqual(2, r.returncode, r.stderr)
                        self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
                        self.assertIn(b"-o uid=0,gid=0,umask=077", r.stderr)
                        self.assertIn(b"-o permissions", r.stderr)
                    self.assertEqual([], os.listdir(stick))
                else:
                    for r in runs:
                        self.assertEqual((1, b""), (r.returncode, r.stderr))
                    # The second run finds the first one's copy of again.exe and keeps it.
                    self.assertEqual(2, len([x for x in os.listdir(store)
                                             if x.endswith(".quarantined")]))
                    r = run("--restore", store)
                    self.assertEqual(0, r.returncode, r.stderr)
                    self.assertEqual(["again.exe", "infected-entry1.exe", "infected.dll"],
                                     sorted(os.listdir(tree)))
        subprocess.run(["umount", stick], capture_output=True)


if __name__ == "__main__":
    KRVSCAN, MAKESAMPLES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
