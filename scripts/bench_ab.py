#!/usr/bin/env python3
"""Times two scanners and the two reference readers on one tree, interleaved, warm and cold.

    bench_ab.py --tree TREE --against KRVSCAN_A --this KRVSCAN_B --treeread TREEREAD
                [--runone RUNONE] [--names NAME_A NAME_B] [--label TEXT] [--threads N]
                [--warm N] [--cold N] [--fuse-mount MOUNTPOINT]

Each run is a whole process, started and timed by runone (bench/runone.c): `KRVSCAN --report-only TREE`, `TREEREAD --threads N TREE` (the
disk's limit) and `TREEREAD --walk TREE` (the one-file-at-a-time walker). A round runs the four
once, A B readers walker, and the next round in the reverse order, so that neither side always
goes first. Warm rounds follow one untimed run of each; before every cold run the page cache is
emptied (sync; echo 3 > /proc/sys/vm/drop_caches), which needs root.

For each case it prints every program's median wall time with the lowest and highest, its
median processor time and its peak resident memory (the highest of its runs), then the
ratios of the times taken in the same round: B/A, and each scanner over the readers and over the
walker, as median (lowest, highest). It also prints how busy the machine's processors were with
other work while it measured (with --fuse-mount, the daemon serving the tree's file system
apart): a figure taken while something else runs is no evidence.

The comparison is void, and the exit status 3, unless every scan exits 0 or 1 with the same
status and the same rows and counters (in any order) as the first, its file counter says the
tree's number of files (from TREE.list), and each reader reads every file.
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

VOID = 3


class Run:
    def __init__(self, wall, cpu, peak_kib, status, out, err):
        self.wall, self.cpu, self.peak_kib = wall, cpu, peak_kib
        self.status, self.out, self.err = status, out, err


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def can_drop_caches():
    return os.geteuid() == 0 and os.access("/proc/sys/vm/drop_caches", os.W_OK)


def spawn(runone, argv, folder):
    """Runs argv to its end through runone, its output in files of `folder`."""
    out_path, err_path = os.path.join(folder, "out"), os.path.join(folder, "err")
    line = subprocess.run([runone, out_path, err_path] + argv, check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    m = re.fullmatch(r"status (\d+) wall (\S+) processor (\S+) peak (\d+)\n", line)
    if not m:
        sys.exit(f"bench_ab: runone said {line!r}")
    with open(out_path, errors="replace") as f:
        out = f.read()
    with open(err_path, errors="replace") as f:
        err = f.read()
    return Run(float(m.group(2)), float(m.group(3)), int(m.group(4)), int(m.group(1)), out, err)


def busy_seconds():
    """Processor time the whole machine has spent outside idle and I/O wait, in seconds."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    user, nice, system, idle, iowait, irq, softirq = fields[:7]
    steal = fields[7] if len(fields) > 7 else 0
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def daemon_pids(mountpoint):
    """The processes whose command line names `mountpoint`: the FUSE daemon serving it."""
    if not mountpoint:
        return []
    target = os.path.realpath(mountpoint)
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if any(w and os.path.realpath(w.decode(errors="replace")) == target for w in words[1:]):
            pids.append(int(entry))
    return pids


def process_seconds(pids):
    """User and system time of the processes `pids`, in seconds (0 for one that is gone)."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])   # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return total / os.sysconf("SC_CLK_TCK")


def own_seconds():
    me = resource.getrusage(resource.RUSAGE_SELF)
    return me.ru_utime + me.ru_stime


def tree_files(tree):
    try:
        with open(tree.rstrip("/") + ".list") as f:
            for line in f:
                m = re.fullmatch(r"files (\d+)\n?", line)
                if m:
                    return int(m.group(1))
    except OSError:
        pass
    sys.exit(f"bench_ab: no complete {tree}.list beside the tree (gentree writes it)")


class Checker:
    """Holds every run to the first scan's result and the tree's number of files."""

    def __init__(self, files):
        self.files = files
        self.reference = None   # (status, sorted rows and counters) of the first scan
        self.reference_name = None

    def void(self, why):
        print(f"comparison void: {why}", flush=True)
        sys.exit(VOID)

    def scan(self, name, run):
        if run.status not in (0, 1):
            self.void(f"{name} exited {run.status}, not a complete scan:\n{run.err[:2000]}")
        m = re.search(r"^Files:\t(\d+)$", run.out, re.M)
        if not m or int(m.group(1)) != self.files:
            self.void(f"{name} counted {m.group(1) if m else 'no'} files, the tree holds "
                      f"{self.files}")
        # The scan's time is the one line two runs of the same scan differ in.
        result = (run.status, sorted(x for x in run.out.splitlines() if not x.startswith("Time:\t")))
        if self.reference is None:
            self.reference, self.reference_name = result, name
            if run.err:
                print(f"({name} wrote on standard error: {run.err.splitlines()[0]})")
        elif result != self.reference:
            mine, theirs = set(result[1]), set(self.reference[1])
            self.void(f"{name} and {self.reference_name} differ: exit status {result[0]} "
                      f"against {self.reference[0]}; only in {name}: "
                      f"{sorted(mine - theirs)[:5]}; only in {self.reference_name}: "
                      f"{sorted(theirs - mine)[:5]}")

    def reader(self, name, run):
        m = re.fullmatch(r"files (\d+) bytes (\d+)\n", run.out)
        if run.status != 0 or not m or int(m.group(1)) != self.files:
            self.void(f"{name} read {m.group(1) if m else 'no'} files (exit status {run.status}),"
                      f" the tree holds {self.files}: {run.err[:500]}")


def seconds(v):
    return f"{v:8.3f} s"


def ratio_line(label, values):
    return (f"  {label:<22} {statistics.median(values):6.2f}  "
            f"({min(values):.2f}, {max(values):.2f})")


def measure(args, programs, checker, cold, rounds, scratch):
    """Runs `rounds` rounds of the four programs; returns each one's runs, in round order."""
    runs = {p[0]: [] for p in programs}
    for r in range(rounds):
        order = programs if r % 2 == 0 else programs[::-1]
        for key, name, argv, is_scan in order:
            if cold:
                drop_caches()
            run = spawn(args.runone, argv, scratch)
            (checker.scan if is_scan else checker.reader)(name, run)
            runs[key].append(run)
    return runs


def report(title, programs, runs, other_busy, daemon_busy, load):
    print(f"== {title}")
    print(f"  {'':<22} {'median':>10} {'lowest':>10} {'highest':>10} {'processor':>10}"
          f" {'peak memory':>12}")
    for key, name, _, _ in programs:
        walls = [r.wall for r in runs[key]]
        cpu = statistics.median(r.cpu for r in runs[key])
        peak = max(r.peak_kib for r in runs[key]) / 1024
        print(f"  {name:<22} {seconds(statistics.median(walls))} {seconds(min(walls))} "
              f"{seconds(max(walls))} {seconds(cpu)} {peak:8.1f} MiB")
    def per_round(a, b):
        return [x.wall / y.wall for x, y in zip(runs[a], runs[b])]
    print(f"  {'ratio of times':<22} median (lowest, highest) over the rounds")
    print(ratio_line("B/A", per_round("B", "A")))
    for side in ("A", "B"):
        print(ratio_line(f"{side}/readers{programs[2][1].split()[-1]}", per_round(side, "R")))
    for side in ("A", "B"):
        print(ratio_line(f"{side}/walker", per_round(side, "W")))
    daemon = f"; the FUSE daemon {daemon_busy:.2f}" if daemon_busy is not None else ""
    print(f"  other work while measuring: {other_busy:.2f} processors busy on average "
          f"(of {os.cpu_count()}; includes the kernel's I/O threads){daemon}; "
          f"load average {load[0]} at the start, {load[1]} at the end", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", required=True)
    parser.add_argument("--against", required=True, help="scanner A, the one compared against")
    parser.add_argument("--this", required=True, help="scanner B, the one under test")
    parser.add_argument("--treeread", required=True)
    parser.add_argument("--runone", help="the timing helper; by default beside treeread")
    parser.add_argument("--names", nargs=2, default=["against", "this"])
    parser.add_argument("--label", default="")
    parser.add_argument("--threads", type=int, default=64)
    parser.add_argument("--warm", type=int, default=5)
    parser.add_argument("--cold", type=int, default=5)
    parser.add_argument("--fuse-mount", help="the mount point of a FUSE file system holding the "
                        "tree: its daemon's work is told apart from other work")
    args = parser.parse_args()

    args.runone = os.path.abspath(args.runone or
                                  os.path.join(os.path.dirname(args.treeread), "runone"))
    tree = args.tree.rstrip("/") or "/"
    checker = Checker(tree_files(tree))
    exe = [os.path.abspath(p) for p in (args.against, args.this, args.treeread)]
    programs = [
        ("A", f"A {args.names[0]}", [exe[0], "--report-only", tree], True),
        ("B", f"B {args.names[1]}", [exe[1], "--report-only", tree], True),
        ("R", f"readers {args.threads}", [exe[2], "--threads", str(args.threads), tree], False),
        ("W", "walker", [exe[2], "--walk", tree], False),
    ]
    label = f"{args.label}, " if args.label else ""
    with tempfile.TemporaryDirectory(prefix="bench_ab.") as scratch:
        # One untimed run of each: the first check of the results, and a warm cache.
        for key, name, argv, is_scan in programs:
            (checker.scan if is_scan else checker.reader)(name, spawn(args.runone, argv, scratch))
        cases = [("warm", False, args.warm), ("cold", True, args.cold)]
        for kind, cold, rounds in cases:
            if rounds < 1:
                continue
            if cold and not can_drop_caches():
                print(f"== {label}cold: not measured: emptying the page cache needs root")
                continue
            load_start = open("/proc/loadavg").read().split()[0]
            daemons = daemon_pids(args.fuse_mount)
            busy, own, daemon = busy_seconds(), own_seconds(), process_seconds(daemons)
            start = time.monotonic()
            runs = measure(args, programs, checker, cold, rounds, scratch)
            wall = time.monotonic() - start
            measured = sum(r.cpu for v in runs.values() for r in v)
            daemon = process_seconds(daemons) - daemon
            other = (busy_seconds() - busy) - (own_seconds() - own) - measured - daemon
            load_end = open("/proc/loadavg").read().split()[0]
            what = "page cache emptied before every run" if cold else "after one run of each"
            plural = "s" if rounds != 1 else ""
            report(f"{label}{kind} ({checker.files} files, {rounds} round{plural}, {what})",
                   programs, runs, max(other, 0.0) / wall,
                   daemon / wall if args.fuse_mount else None, (load_start, load_end))
    return 0


if __name__ == "__main__":
    sys.exit(main())
