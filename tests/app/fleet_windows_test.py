#!/usr/bin/env python3
"""The Windows scripts of the fleet under Wine, in a prefix of their own.

fleet_windows_test.py PREFIX KRVSCAN.EXE KRVNAME.EXE MAKESAMPLES.EXE CRASHING.EXE

A folder stands for the share (S:, krvscan.exe, krvname.exe and the scripts) and one for the
results share (R:); both are network drives, so that scanning every fixed drive passes them
over. Each script runs twice, as two machines: the machine's name is changed in the registry,
and its drive D: is a folder of its own, one holding the forged samples, one clean. The NT
family's start-up script (.cmd) cleans where the share names the machine; the 9x family's logon
script (.bat) runs with Wine set to Windows 98 and reports only. fleet/summary.py then
summarises the results share as it does a playbook run. Each exit status must reach status.txt
as it was, a crash's too (CRASHING.EXE stands in for the scanner there).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
SUMMARY = os.path.join(ROOT, "fleet", "summary.py")
SCRIPTS = os.path.join(ROOT, "fleet", "windows")
PREFIX = KRVSCAN = KRVNAME = MAKESAMPLES = CRASHING = None
INFECTED = ["infected-entry1.exe", "infected-entry2.exe", "infected.dll",
            "infected-pe32plus.exe"]
NAME_KEY = "HKLM\\System\\CurrentControlSet\\Control\\ComputerName\\"


def wine(*args, env=None):
    return subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=300, env=env)


def reg(*args):
    r = wine("reg", *args)
    if r.returncode != 0:
        raise AssertionError("wine reg %s: %s" % (args, r.stdout + r.stderr))


def stop_wine():
    """Ends this prefix's server and programs only."""
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)


class Scripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ.update(WINEPREFIX=PREFIX, WINEARCH="win32", WINEDEBUG="-all",
                          WINEDLLOVERRIDES="mscoree=;mshtml=")
        # Wine learns its drives as its server starts: D: is there from the start, one folder
        # that each machine in turn fills with its own disk.
        cls.disk = tempfile.mkdtemp()
        cls.devices = os.path.join(PREFIX, "dosdevices")
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "wineprefix.sh"), PREFIX],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Z: is the whole Linux file system, and a fixed drive: never there for these scans.
        if os.path.lexists(os.path.join(cls.devices, "z:")):
            os.remove(os.path.join(cls.devices, "z:"))
        stop_wine()
        cls.link("d:", cls.disk)
        # One server for the whole run: a new one would give the machine Wine's name again.
        subprocess.run(["wineserver", "-p"], check=True)
        # Detached from our pipes: the helpers Wine starts now outlive the call.
        subprocess.run(["wine", "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        reg("add", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/d", "hd", "/f")

    @classmethod
    def tearDownClass(cls):
        stop_wine()
        os.remove(os.path.join(cls.devices, "d:"))
        subprocess.run(["rm", "-rf", cls.disk])

    @classmethod
    def link(cls, letter, folder):
        link = os.path.join(cls.devices, letter)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.share = os.path.join(self.work, "share")
        self.results = os.path.join(self.work, "results")
        os.makedirs(os.path.join(self.share, "clean"))
        os.makedirs(self.results)
        for program in (KRVSCAN, KRVNAME):
            shutil.copy(program, self.share)
        for script in ("krvscan.cmd", "krvscan.bat"):
            shutil.copy(os.path.join(SCRIPTS, script), self.share)
        self.drive("s:", self.share, "network")
        self.drive("r:", self.results, "network")

    def tearDown(self):
        for letter in ("r:", "s:"):
            if os.path.lexists(os.path.join(self.devices, letter)):
                os.remove(os.path.join(self.devices, letter))
        wine("reg", "delete", "HKCU\\Software\\Wine", "/v", "Version", "/f")
        subprocess.run(["rm", "-rf", self.work])

    def drive(self, letter, folder, kind):
        self.link(letter, folder)
        reg("add", "HKLM\\Software\\Wine\\Drives", "/v", letter, "/d", kind, "/f")

    def machine(self, name, script, infected, **env):
        """Runs `script` from the share as the machine `name`; its disk D: holds the forged
        samples where `infected` (and a plain file), or else the plain file alone."""
        subprocess.run(["rm", "-rf", self.disk + "/sub"])
        os.makedirs(os.path.join(self.disk, "sub"))
        with open(os.path.join(self.disk, "sub", "readme.txt"), "w") as f:
            f.write("plain text\n")
        if infected:
            self.assertEqual(0, wine(MAKESAMPLES, "D:\\sub").returncode)
        for key in ("ComputerName", "ActiveComputerName"):
            reg("add", NAME_KEY + key, "/v", "ComputerName", "/d", name, "/f")
        r = wine("cmd", "/c", "S:\\" + script,
                 env=dict(os.environ, KRVSHARE="S:", KRVRESULTS="R:", **env))
        # The script ends with the scanner's status or its own: status.txt is what counts.
        self.assertTrue(os.path.exists(os.path.join(self.results, name, "status.txt")),
                        r.stdout + r.stderr)

    def on_disk(self, name):
        return os.path.exists(os.path.join(self.disk, "sub", name))

    def status(self, name):
        with open(os.path.join(self.results, name, "status.txt"), "rb") as f:
            return f.read().strip()

    def summary(self):
        r = subprocess.run([sys.executable, SUMMARY, self.results], capture_output=True,
                           timeout=60)
        return r.returncode, r.stdout.decode().splitlines()

    def test_nt_start_up_script_cleans_where_the_share_names_the_machine(self):
        open(os.path.join(self.share, "clean", "PC-NT1"), "w").close()
        self.machine("PC-NT1", "krvscan.cmd", True)
        self.assertEqual([], [n for n in INFECTED if self.on_disk(n)])
        self.machine("PC-NT2", "krvscan.cmd", False)
        self.assertTrue(self.on_disk("readme.txt"))
        self.assertEqual((b"1", b"0"), (self.status("PC-NT1"), self.status("PC-NT2")))
        rc, lines = self.summary()
        self.assertEqual(1, rc, lines)
        self.assertIn("clean: 1 (PC-NT2)", lines)
        self.assertIn("found, all removed: 1 (PC-NT1)", lines)
        self.assertIn("PC-NT1: found 4, removed 4, left 0, not scanned 0", lines)
        for name in INFECTED:
            self.assertIn("  removed: D:\\sub\\" + name, lines)
        for host in ("PC-NT1", "PC-NT2"):
            folder = os.path.join(self.results, host)
            self.assertEqual(["errors.txt", "output.json", "status.txt"],
                             sorted(os.listdir(folder)))
            with open(os.path.join(folder, "output.json"), "rb") as f:
                self.assertNotIn(b"S:\\", f.read())   # the share is no fixed drive

    def test_9x_logon_script_reports_only_unless_asked(self):
        reg("add", "HKCU\\Software\\Wine", "/v", "Version", "/d", "win98", "/f")
        self.machine("PC-98B", "krvscan.bat", False)
        self.machine("PC-98A", "krvscan.bat", True)
        self.assertEqual(INFECTED, [n for n in INFECTED if self.on_disk(n)])
        self.assertEqual((b"0", b"1"), (self.status("PC-98B"), self.status("PC-98A")))
        rc, lines = self.summary()
        self.assertEqual(3, rc, lines)
        self.assertIn("clean: 1 (PC-98B)", lines)
        self.assertIn("found, some left: 1 (PC-98A)", lines)
        for name in INFECTED:
            self.assertIn("  left: D:\\sub\\%s (left in place: report only)" % name, lines)
        self.assertEqual(["output.json", "status.txt"],
                         sorted(os.listdir(os.path.join(self.results, "PC-98A"))))
        # The next logon, with cleaning asked for every machine: the same folder, now clean.
        self.machine("PC-98A", "krvscan.bat", True, KRVCLEAN="yes")
        self.assertEqual([], [n for n in INFECTED if self.on_disk(n)])
        rc, lines = self.summary()
        self.assertEqual(1, rc, lines)
        self.assertIn("found, all removed: 1 (PC-98A)", lines)

    def test_nt_start_up_script_keeps_the_status_of_a_crash(self):
        # The stand-in writes the report of a clean scan before it crashes: only the exit
        # status tells, and it is negative (0xC0000005), which IF ERRORLEVEL 1 does not see.
        shutil.copy(CRASHING, os.path.join(self.share, "krvscan.exe"))
        self.machine("PC-NT3", "krvscan.cmd", False)
        self.assertEqual(b"-1073741819", self.status("PC-NT3"))
        rc, lines = self.summary()
        self.assertEqual(2, rc, lines)
        self.assertIn("clean: 0", lines)
        self.assertIn("PC-NT3: failed: krvscan crashed: exit status -1073741819 (0xC0000005)",
                      lines)


if __name__ == "__main__":
    PREFIX, KRVSCAN, KRVNAME, MAKESAMPLES, CRASHING = map(os.path.abspath, sys.argv[1:6])
    del sys.argv[1:6]
    unittest.main()
