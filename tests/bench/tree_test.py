#!/usr/bin/env python3
"""The benchmark's tools: the generated trees, the reference readers, the timing helper and the
A/B driver's refusal of a void comparison. No timing is asserted.

    tree_test.py GENTREE TREEREAD RUNONE KRVSCAN BENCH_AB WORK
"""
import hashlib
import os
import shutil
import statistics
import struct
import subprocess
import sys
import unittest

GENTREE, TREEREAD, RUNONE, KRVSCAN, BENCH_AB, WORK = sys.argv[1:7]

# The default tree of 300 files, as it has always been written: trees made before stay valid.
DEFAULT_300_SHA256 = "d48ebfa1e0aa790ffc9e8971fcc7c38cb78d84433d0b524c150714bac8512644"


def files_below(root):
    """Every regular file below root, as sorted paths relative to it."""
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


def tree_digest(root):
    h = hashlib.sha256()
    for rel in files_below(root):
        h.update(rel.encode() + b"\0")
        with open(os.path.join(root, rel), "rb") as f:
            h.update(f.read())
    with open(root + ".list", "rb") as f:
        h.update(f.read())
    return h.hexdigest()


def gentree(*args):
    return subprocess.run([GENTREE, *args], capture_output=True, text=True)


def make_tree(name, *shape, files=300):
    root = os.path.join(WORK, name)
    shutil.rmtree(root, ignore_errors=True)
    done = gentree(*shape, root, str(files))
    assert done.returncode == 0, done.stderr
    return root


def read_list(root):
    with open(root + ".list") as f:
        return f.read().splitlines()


def section0_raw(data):
    """PointerToRawData of section 0 of a PE image, or None when `data` is not one."""
    if data[:2] != b"MZ" or len(data) < 64:
        return None
    pe = struct.unpack_from("<I", data, 60)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    return struct.unpack_from("<I", data, pe + 24 + optional + 20)[0]


class Trees(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wide = make_tree("wide", "--shape", "wide")

    def test_default_shape_is_the_tree_it_always_was(self):
        for shape in ((), ("--shape", "default")):
            with self.subTest(shape=shape):
                root = make_tree("default", *shape)
                self.assertEqual(tree_digest(root), DEFAULT_300_SHA256)

    def test_wide_shape_is_the_same_tree_every_time(self):
        again = make_tree("wide-again", "--shape", "wide")
        self.assertEqual(tree_digest(again), tree_digest(self.wide))

    def test_wide_list(self):
        lines = read_list(self.wide)
        self.assertEqual(lines[:3], ["files 300", "groups 10", "shape wide"])
        infected = [line.split(" ", 2)[2] for line in lines if line.startswith("infected ")]
        self.assertEqual(len(infected), 5)
        self.assertEqual(sorted(infected), sorted(set(infected)))
        listed = set(files_below(self.wide))
        self.assertEqual(len(listed), 300)
        for rel in infected:
            self.assertIn(rel, listed)

    def test_wide_shape(self):
        lines = read_list(self.wide)
        infected = {line.split(" ", 2)[2] for line in lines if line.startswith("infected ")}
        per_folder, programs, depths = {}, [], []
        for rel in files_below(self.wide):
            folder = os.path.dirname(rel)
            per_folder[folder] = per_folder.get(folder, 0) + 1
            depths.append(folder.count("/") + 1)
            with open(os.path.join(self.wide, rel), "rb") as f:
                data = f.read()
            raw = section0_raw(data)
            if raw is None or rel in infected:
                continue
            programs.append(len(data))
            # The section lies past the first 8 KiB and inside the file: the detector's second
            # read is not in the header's pages.
            self.assertGreaterEqual(raw, 8192 + 512, rel)
            self.assertLess(raw, len(data), rel)
            self.assertGreaterEqual(len(data), 16 * 1024, rel)
            self.assertLessEqual(len(data), 4 * 1024 * 1024 + 4 * 512, rel)
        self.assertTrue(all(1 <= d <= 11 for d in depths))
        self.assertTrue(all(n <= 40 for n in per_folder.values()), per_folder)
        self.assertGreaterEqual(statistics.mean(per_folder.values()), 20)
        self.assertTrue(60 <= len(programs) <= 120, len(programs))
        self.assertTrue(24 * 1024 <= statistics.median(programs) <= 48 * 1024,
                        statistics.median(programs))

    def test_wide_shape_infected_samples_are_found_where_listed(self):
        done = subprocess.run([KRVSCAN, "--report-only", self.wide], capture_output=True,
                              text=True)
        self.assertEqual(done.returncode, 1, done.stderr)
        found = sorted(os.path.relpath(row.split("\t")[0], self.wide)
                       for row in done.stdout.splitlines()
                       if row.endswith("\tinfected: Win32.Worm.Tamsel.A"))
        listed = sorted(line.split(" ", 2)[2] for line in read_list(self.wide)
                        if line.startswith("infected "))
        self.assertEqual(found, listed)
        self.assertIn("Files:\t300", done.stdout.splitlines())

    def test_gentree_refuses_what_it_cannot_make(self):
        for args in (["--shape", "tall", os.path.join(WORK, "x")], ["--shape"],
                     [os.path.join(WORK, "x"), "50"], []):
            with self.subTest(args=args):
                self.assertEqual(gentree(*args).returncode, 2)


class Readers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = make_tree("readers", "--shape", "wide")
        cls.sizes = [os.path.getsize(os.path.join(cls.root, rel))
                     for rel in files_below(cls.root)]

    def treeread(self, *args):
        return subprocess.run([TREEREAD, *args], capture_output=True, text=True)

    def test_every_file_is_read(self):
        heads = sum(min(size, 8192) for size in self.sizes)
        for args, expect_bytes in ((["--threads", "1"], heads), (["--threads", "8"], heads),
                                   ([], heads), (["--walk"], None)):
            with self.subTest(args=args):
                done = self.treeread(*args, self.root + "/")
                self.assertEqual(done.returncode, 0, done.stderr)
                files, read = [int(x) for x in done.stdout.split()[1::2]]
                self.assertEqual(files, 300)
                if expect_bytes is not None:
                    self.assertEqual(read, expect_bytes)
                else:
                    self.assertGreater(read, 0)

    def test_usage(self):
        for args, status in ((["--threads", "0", self.root], 2), (["--threads", self.root], 2),
                             (["--walk"], 2), ([os.path.join(WORK, "none")], 1)):
            with self.subTest(args=args):
                self.assertEqual(self.treeread(*args).returncode, status)


def write_script(name, body):
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)
    return path


class Timing(unittest.TestCase):
    def test_runone_reports_how_the_program_ended(self):
        out, err = os.path.join(WORK, "out"), os.path.join(WORK, "err")
        for body, status, text in (("echo hello; exit 0\n", 0, "hello\n"),
                                   ("echo oops >&2; exit 3\n", 3, ""),
                                   ("kill -9 $$\n", 128 + 9, "")):
            with self.subTest(body=body):
                line = subprocess.run([RUNONE, out, err, write_script("prog", body)],
                                      capture_output=True, text=True, check=True).stdout
                words = line.split()
                self.assertEqual(words[0::2], ["status", "wall", "processor", "peak"])
                self.assertEqual(int(words[1]), status)
                self.assertGreater(int(words[7]), 0)
                with open(out) as f:
                    self.assertEqual(f.read(), text)

    def bench_ab(self, tree, this):
        return subprocess.run([sys.executable, BENCH_AB, "--tree", tree, "--against", KRVSCAN,
                               "--this", this, "--treeread", TREEREAD, "--runone", RUNONE,
                               "--warm", "1", "--cold", "0", "--threads", "4"],
                              capture_output=True, text=True)

    def test_same_scanner_on_both_sides(self):
        tree = make_tree("ab", "--shape", "wide", files=100)
        done = self.bench_ab(tree, KRVSCAN)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for label in ("B/A", "A/readers4", "B/readers4", "A/walker", "B/walker"):
            self.assertRegex(done.stdout, rf"\n  {label} +\d+\.\d\d  \(\d+\.\d\d, \d+\.\d\d\)\n")
        self.assertIn("peak memory", done.stdout)

    def test_a_comparison_of_scans_that_differ_is_void(self):
        tree = make_tree("ab-void", "--shape", "wide", files=100)
        scan = f'"{KRVSCAN}" "$@" >"{WORK}/scan.out"; status=$?\n'
        cases = {
            "one row short": scan + f'grep -v setup "{WORK}/scan.out"; exit $status\n',
            "another status": scan + f'cat "{WORK}/scan.out"; exit 0\n',
            "incomplete": scan + f'cat "{WORK}/scan.out"; exit 4\n',
            "fewer files": scan + f'sed "s/^Files:\t.*/Files:\t99/" "{WORK}/scan.out"; '
                                  'exit $status\n',
        }
        for name, body in cases.items():
            with self.subTest(name):
                done = self.bench_ab(tree, write_script("fake-krvscan", body))
                self.assertEqual(done.returncode, 3, done.stdout + done.stderr)
                self.assertIn("comparison void", done.stdout)


if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
