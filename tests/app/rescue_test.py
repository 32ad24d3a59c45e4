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
INFECTED = ["infected-entry1.exe", "infected-entry2.exe", "infected.dll", "infected-pe32plus.exe"]


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

    def test_a_windows_shut_down_fully_is_cleaned(self):
        for head in (None, b"\0\0\0\0", b"hib", b"HIBx", b"rstrx"[1:]):
            with self.subTest(head=head):
                root = self.windows_root(head)
                r = run("--clean", "--windows-root", root)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertEqual([], hive.run_values(
                    os.path.join(root, "Windows", "System32", "config", "SOFTWARE")))
                self.assertNotIn("Hibernated", r.stdout.decode())

    def test_a_quarantine_on_the_rescuers_stick(self):
        """ntfs-3g keeps no owners or modes unless mounted with "permissions": the mount
        decides who may write. Mounted for everyone, the quarantine is refused with
        the way to mount it and nothing is left on the stick; mounted for the running user
        alone, or with permissions, two runs (two machines) keep their copies and a restore puts
        them back."""
        if os.geteuid() != 0:
            self.skipTest("mounting a file system needs root")
        if not os.path.exists("/dev/fuse"):
            self.skipTest("no FUSE here (/dev/fuse)")
        samples = os.path.join(self.work, "samples")
        subprocess.run([MAKESAMPLES, samples], check=True, capture_output=True)
        image, stick = os.path.join(self.work, "stick.img"), os.path.join(self.work, "stick")
        tree, store = os.path.join(self.work, "tree"), os.path.join(stick, "q")
        os.makedirs(stick)
        ntfs = ["mkntfs", "-Q", "-F", "-q"]
        for make, mount, kept in ((ntfs, ["ntfs-3g"], False),
                                  (ntfs, ["ntfs-3g", "-o", "uid=0,gid=0,umask=077"], True),
                                  (ntfs, ["ntfs-3g", "-o", "permissions"], True)):
            with self.subTest(mount=mount):
                missing = [t for t in (make[0], mount[0]) if not shutil.which(t)]
                if missing:
                    self.skipTest("%s not installed (scripts/setup.sh installs it)"
                                  % ", ".join(missing))
                subprocess.run(["umount", stick], capture_output=True)
                with open(image, "wb") as f:
                    f.truncate(32 << 20)
                subprocess.run([*make, image], check=True, capture_output=True)
                if subprocess.run([*mount, image, stick], capture_output=True).returncode:
                    self.skipTest("%s cannot mount here" % mount[0])
                self.addCleanup(subprocess.run, ["umount", "-l", stick], capture_output=True)
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


def hive_path(root):
    return os.path.join(root, "Windows", "System32", "config", "SOFTWARE")


def in_config(name, make):
    """A row's change: `make` applied to the config folder's entry `name`."""
    return lambda root: make(os.path.join(os.path.dirname(hive_path(root)), name))


def write(data):
    def make(path):
        with open(path, "wb") as f:
            f.write(data)
    return make


def replace(make):
    """The hive's name given to something else."""
    def change(path):
        os.remove(path)
        make(path)
    return change


def backups_taken(path):
    for name in ["SOFTWARE.krvbak"] + ["SOFTWARE.krvbak%d" % i for i in range(2, 10)]:
        write(b"taken")(os.path.join(os.path.dirname(path), name))


def leftover_of_a_dead_run(path):
    """As a killed run of this version names its new hive, and as earlier versions did."""
    ended = subprocess.Popen(["true"])
    ended.wait()
    for suffix in (".krvnew.%d.0123456789abcdef", ".krvnew.%d"):
        write(b"a killed run's")(path + suffix % ended.pid)


def hibernated(root):
    write(b"hibr" + b"\0" * 4092)(os.path.join(root, "hiberfil.sys"))


def a_link_on_the_way(root):
    """Windows a link to a Windows elsewhere, with the value in its hive."""
    elsewhere = os.path.join(root, "elsewhere")
    os.makedirs(elsewhere)
    os.rename(os.path.join(root, "Windows"), os.path.join(elsewhere, "Windows"))
    os.symlink(os.path.join(elsewhere, "Windows"), os.path.join(root, "Windows"))


CLEANED, KEPT = "cleaned, the old hive kept beside it", "as it was"
ROW = ("%s:Microsoft\\Windows\\CurrentVersion\\Run\\System-Service = C:\\WINDOWS\\svc.exe\t"
       "autostart value removed")

# A disk as a crafted or damaged Windows leaves it: (what, change to the disk, exit status of
# --clean, a text of each line on standard error (one or a tuple, or None for none), the hive
# afterwards).
# The infected files are found and removed wherever --clean runs at all (status 2 stops it).
HOSTILE_DISKS = [
    ("a disk as Windows leaves it", lambda root: None, 1, None, CLEANED),
    ("nine backup names taken", in_config("SOFTWARE", backups_taken), 1, None, CLEANED),
    ("an empty windows beside Windows",
     lambda root: os.makedirs(os.path.join(root, "windows")), 4,
     "both Windows and windows are there", KEPT),
    ("two spellings of the hive", in_config("software", write(b"")), 4,
     "are there: not examined", KEPT),
    ("no SOFTWARE", in_config("SOFTWARE", os.remove), 4,
     "no Windows/System32/config/SOFTWARE hive", KEPT),
    ("random bytes as SOFTWARE", in_config("SOFTWARE", write(os.urandom(8192))), 4,
     "SOFTWARE: cannot open the registry hive", KEPT),
    ("a FIFO as SOFTWARE", in_config("SOFTWARE", replace(os.mkfifo)), 4,
     ("SOFTWARE: the registry hive is not a regular file",
      "SOFTWARE: the file could not be opened"), KEPT),   # the walk meets it too
    ("a link as SOFTWARE", in_config("SOFTWARE", replace(lambda p: os.symlink("/dev/zero", p))),
     4, "SOFTWARE: cannot open the registry hive", KEPT),
    ("a link on the way to the hive", a_link_on_the_way, 4,
     "no Windows/System32/config/SOFTWARE hive", KEPT),
    ("a killed run's new hive", in_config("SOFTWARE", leftover_of_a_dead_run), 1,
     ("removed: a leftover of a run that did not end",) * 2, CLEANED),
    ("hiberfil.sys a folder", lambda root: os.makedirs(os.path.join(root, "hiberfil.sys")), 1,
     None, CLEANED),
    # The FIFO is a file the scan cannot read: named as not scanned.
    ("hiberfil.sys a FIFO", lambda root: os.mkfifo(os.path.join(root, "hiberfil.sys")), 4,
     "hiberfil.sys: the file could not be opened", CLEANED),
    ("hiberfil.sys a link", lambda root: os.symlink("/dev/zero", os.path.join(root, "hiberfil.sys")),
     1, None, CLEANED),
    ("a hibernated Windows", hibernated, 2, "shut it down fully", KEPT),
    # What ntfs-3g does with a hibernated Windows by itself: the line says to shut it down,
    # never to mount it read-write (which would damage the volume).
    ("a hibernated Windows mounted read-only", hibernated, 2, "shut it down fully", KEPT),
    ("a Windows shut down fully, mounted read-only", lambda root: None, 2,
     "read-only file system: nothing can be removed", KEPT),
]


class HostileDisks(unittest.TestCase):
    """Every row on a plain folder and on NTFS through ntfs-3g, as a rescuer mounts a disk."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work, True)

    def mount(self, *command):
        if subprocess.run(command, capture_output=True).returncode:
            return False
        self.addCleanup(subprocess.run, ["umount", "-l", command[-1]], capture_output=True)
        return True

    def disk(self, kind, what):
        """An empty folder of the kind `kind`, or None (with the reason) where it cannot be had."""
        top = os.path.join(self.work, "%d" % len(os.listdir(self.work)))
        os.makedirs(top)
        if kind == "folder":
            return top, None
        if not os.path.exists("/dev/fuse") or not shutil.which("ntfs-3g"):
            return None, "no FUSE or no ntfs-3g here"
        image = top + ".img"
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkntfs", "-q", "-F", "-f", image], check=True, capture_output=True)
        if not self.mount("ntfs-3g", image, top):
            return None, "ntfs-3g cannot mount here (needs root and FUSE)"
        return top, None

    def make_windows(self, root):
        os.makedirs(os.path.dirname(hive_path(root)))
        hive.make_software_hive(hive_path(root), [("Other", "a"),
                                                  ("System-Service", "C:\\WINDOWS\\svc.exe")])
        subprocess.run([MAKESAMPLES, os.path.join(root, "apps")], check=True, capture_output=True)

    def read_only(self, kind, root):
        """The disk mounted again read-only: ntfs-3g decides itself for a hibernated Windows."""
        if kind == "folder":
            return self.mount("mount", "--bind", root, root) and self.mount(
                "mount", "-o", "remount,bind,ro", root, root)
        image = root + ".img"
        subprocess.run(["umount", root], check=True)
        return self.mount("ntfs-3g", *(() if "hibernated Windows" in self.what else ("-o", "ro")),
                          image, root) and "ro" in mount_options(root)

    def test_a_hostile_disk_never_stops_the_scan_nor_misleads_the_rescuer(self):
        for kind in ("folder", "ntfs-3g"):
            for what, change, status, line, after in HOSTILE_DISKS:
                self.what = what
                with self.subTest(disk=kind, row=what):
                    root, why = self.disk(kind, what)
                    if not root:
                        self.skipTest(why)
                    self.make_windows(root)
                    change(root)
                    if "mounted read-only" in what and not self.read_only(kind, root):
                        self.skipTest("mounting a file system needs root")
                    self.check(root, status, line, after)

    def check(self, root, status, line, after):
        infected = [os.path.join(root, "apps", n) for n in INFECTED]
        path = hive_path(root)
        before = contents(os.path.dirname(path)) if os.path.isdir(os.path.dirname(path)) else {}
        r = run("--clean", "--windows-root", root)
        errors = r.stderr.decode().splitlines()
        self.assertEqual(status, r.returncode, errors)
        lines = () if line is None else (line,) if isinstance(line, str) else line
        self.assertEqual(len(lines), len(errors), errors)
        for text, error in zip(lines, errors):
            self.assertIn(text, error)
        # Found and removed, whatever became of the hive; none where --clean started nothing.
        self.assertEqual([status == 2] * len(infected), [os.path.exists(p) for p in infected])
        if status != 2:
            self.assertEqual(str(len(infected)), report(r.stdout)["Deleted:"])
        if after == KEPT:
            self.assertNotIn(b"autostart", r.stdout)
            self.assertEqual(before, contents(os.path.dirname(path))
                             if os.path.isdir(os.path.dirname(path)) else {})
            return
        for name, data in before.items():      # planted names and a killed run's aside
            if name != path and "krvnew" not in name:
                with open(name, "rb") as f:
                    self.assertEqual(data, f.read(), name)
        self.assertIn(ROW % path, r.stdout.decode().splitlines())
        self.assertEqual(["Other"], hive.run_values(path))
        backups = sorted((n for n in os.listdir(os.path.dirname(path)) if ".krvbak" in n),
                         key=lambda n: (len(n), n))
        with open(os.path.join(os.path.dirname(path), backups[-1]), "rb") as f:
            self.assertEqual(before[path], f.read())
        self.assertEqual([], [n for n in os.listdir(os.path.dirname(path)) if "krvnew" in n])


class RunRow(unittest.TestCase):
    def test_the_row_names_key_value_and_data_escaped_as_names_are_and_the_same_in_json(self):
        """The hive's path escaped as every name (its backslash doubled), then the key with its
        own backslashes, the value's name and the command it runs, controls as \\xHH."""
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work, True)
        root = os.path.join(work, "disk\\of a\\rescue")
        os.makedirs(os.path.dirname(hive_path(root)))
        name, data = "System-Service\x7f", "C:\\WINDOWS\\sv\x01c \u00e9.exe"
        hive.make_software_hive(hive_path(root), [(name, data)])
        key = ":Microsoft\\Windows\\CurrentVersion\\Run\\"
        log = os.path.join(work, "scan.log")
        r = run("--log", log, "--windows-root", root)
        self.assertEqual(1, r.returncode, r.stderr)
        row = (hive_path(root).replace("\\", "\\\\") + key +
               "System-Service\\x7F = C:\\WINDOWS\\sv\\x01c \u00e9.exe\tautostart value found: report only")
        self.assertEqual(row, r.stdout.decode().splitlines()[0])
        with open(log, encoding="utf-8") as f:
            self.assertIn(row, f.read().splitlines())
        r = run("--json", "--windows-root", root)
        event = json.loads(r.stdout.decode().splitlines()[0])
        self.assertEqual(("autostart_found", hive_path(root) + key + name + " = " + data),
                         (event["event"], event["file"]))


def mount_options(path):
    with open("/proc/self/mounts") as f:
        for fields in (line.split() for line in f):
            if fields[1] == path:
                options = fields[3].split(",")
    return options


def report(stdout):
    lines = stdout.decode().splitlines()
    return dict(line.split("\t") for line in lines[lines.index("Scan report\t") + 1:])


if __name__ == "__main__":
    KRVSCAN, MAKESAMPLES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
