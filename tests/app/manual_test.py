#!/usr/bin/env python3
"""The manual page and the bash completion against the program itself.

usage: manual_test.py KRVSCAN MANPAGE COMPLETION

The manual is the reference for the options and the exit status: every option that --help
lists has an entry under OPTIONS and every entry there is an option of the program; the exit
statuses agree; the page renders without a warning. The completion offers exactly the options
of --help, and only folders after --windows-root.
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

KRVSCAN, MANPAGE, COMPLETION = (os.path.abspath(a) for a in sys.argv[1:4])


def help_text():
    run = subprocess.run([KRVSCAN, "--help"], capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run
    return run.stdout


def help_options(text):
    """The options of the listing: "  -h, --help   show ..." gives -h and --help."""
    options = set()
    for line in text.splitlines():
        m = re.match(r"^\s+(-\S.*?)(?:\s{2,}|$)", line)
        if m:
            for part in m.group(1).split(","):
                if part.split()[0].startswith("-"):   # not "/?", the Windows build's
                    options.add(part.split()[0])
    return options


def help_statuses(text):
    tail = text[text.index("Exit status:"):]
    return set(re.findall(r"(?:^|:|;)\s*(\d)\s", tail, re.M))


def man_section(name):
    with open(MANPAGE, encoding="utf-8") as f:
        source = f.read()
    m = re.search(r"^\.SH " + re.escape(name) + r"\n(.*?)(?=^\.SH |\Z)", source, re.M | re.S)
    assert m, "no section " + name
    return m.group(1)


def man_entries(section):
    """The first line of each .TP entry of a section."""
    return re.findall(r"^\.TP\n(.*)$", section, re.M)


def man_options():
    options = set()
    for head in man_entries(man_section("OPTIONS")):
        for token in re.findall(r"\\-(?:\\-)?[a-zA-Z0-9](?:[a-z0-9]|\\-)*", head):
            options.add(token.replace("\\-", "-"))
    return options


def complete(words, cwd):
    """COMPREPLY of the completion for the command line `words`, the last word being completed."""
    script = (
        "source %s\n"
        "COMP_WORDS=(%s)\nCOMP_CWORD=%d\n_krvscan\nprintf '%%s\\n' \"${COMPREPLY[@]}\"\n"
        % (COMPLETION, " ".join("'%s'" % w for w in words), len(words) - 1)
    )
    run = subprocess.run(["bash", "-c", script], capture_output=True, text=True, cwd=cwd,
                         timeout=30)
    assert run.returncode == 0, run
    return set(filter(None, run.stdout.splitlines()))


class Manual(unittest.TestCase):
    def test_every_option_of_help_has_its_entry_and_no_entry_is_stale(self):
        listed = help_options(help_text())
        self.assertIn("--help", listed)  # the listing is read at all
        documented = man_options()
        self.assertEqual(set(), listed - documented, "options --help lists and the manual lacks")
        self.assertEqual(set(), documented - listed, "options the manual has and --help lacks")

    def test_exit_statuses_agree(self):
        documented = {head.replace(".B", "").strip() for head in
                      man_entries(man_section("EXIT STATUS"))}
        self.assertEqual({"0", "1", "2", "3", "4"}, documented)
        self.assertEqual(documented, help_statuses(help_text()))

    def test_renders_without_a_warning(self):
        run = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", MANPAGE],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual("", run.stderr)


class Completion(unittest.TestCase):
    def test_offers_the_options_of_help(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertEqual(help_options(help_text()), complete([KRVSCAN, "-"], d))
            self.assertEqual({"--json"}, complete([KRVSCAN, "--report-only", "--js"], d))

    def test_offers_folders_only_after_windows_root_quarantine_or_restore(self):
        with tempfile.TemporaryDirectory() as d:
            os.mkdir(os.path.join(d, "mnt"))
            open(os.path.join(d, "mbr.img"), "w").close()
            self.assertEqual({"mnt"}, complete([KRVSCAN, "--windows-root", "m"], d))
            self.assertEqual({"mnt"}, complete([KRVSCAN, "--clean", "--quarantine", "m"], d))
            self.assertEqual({"mnt", "mbr.img"}, complete([KRVSCAN, "m"], d))
            self.assertEqual({"mnt"}, complete([KRVSCAN, "--restore", "m"], d))
            self.assertEqual({"mnt"}, complete([KRVSCAN, "--restore", d, "--restore-root", "m"], d))

    def test_offers_the_kept_copies_after_restore_dir(self):
        with tempfile.TemporaryDirectory() as d:
            for name in ("ab12.quarantined", "ab34.quarantined", "cd56.quarantined",
                         "index.jsonl"):
                open(os.path.join(d, name), "w").close()
            self.assertEqual({"ab12", "ab34"}, complete([KRVSCAN, "--restore", d, "ab"], d))
            self.assertEqual({"ab12", "ab34", "cd56"},
                             complete([KRVSCAN, "--json", "--restore", d, "cd56", ""], d))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
