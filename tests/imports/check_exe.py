#!/usr/bin/env python3
"""Checks a shipped Windows program against what Windows 98 SE and NT 4.0 load.

check_exe.py OBJDUMP EXE LIST SUBSYSTEM MAXBYTES

Reads the program's headers and import table with the cross objdump and fails (exit 1, one line
per finding) on: an imported function that LIST does not name for its DLL, an import by ordinal,
a DLL that LIST does not know, a delay-load or bound import (the loader of that era knows
neither, and they would hide imports from this check), OS or subsystem version other than 4.0,
another subsystem than SUBSYSTEM (2 GUI, 3 console), a layout the 9x loader refuses, debug
information, or a file larger than MAXBYTES.
"""
import os
import re
import subprocess
import sys


def read_list(path):
    allowed, dll = {}, None
    for raw in open(path, encoding="ascii"):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("["):
            dll = line.strip("[]").lower()
            allowed.setdefault(dll, set())
        else:
            allowed[dll].add(line)
    return allowed


def main():
    objdump, exe, listing, subsystem, maxbytes = sys.argv[1:6]
    allowed = read_list(listing)
    dump = subprocess.run([objdump, "-p", "-h", exe], check=True, capture_output=True,
                          text=True).stdout
    bad = []

    def field(name):
        m = re.search(r"^%s\s+([0-9a-fA-F]+)" % name, dump, re.M)
        if not m:
            bad.append("no %s in the header" % name)
            return None
        return int(m.group(1), 16)

    expect = {
        "Magic": 0x10B, "MajorOSystemVersion": 4, "MinorOSystemVersion": 0,
        "MajorSubsystemVersion": 4, "MinorSubsystemVersion": 0, "Win32Version": 0,
        "Subsystem": int(subsystem), "SectionAlignment": 0x1000, "FileAlignment": 0x200,
    }
    for name, want in expect.items():
        got = field(name)
        if got is not None and got != want:
            bad.append("%s is %#x, not %#x" % (name, got, want))
    base = field("ImageBase")
    if base is not None and base < 0x400000:
        bad.append("ImageBase %#x is below 4 MiB, which Windows 98 keeps for itself" % base)

    # Data directories that must be empty: debug, bound and delay-load imports, CLR header.
    for entry, what in (("6", "Debug Directory"), ("b", "Bound Import Directory"),
                        ("d", "Delay Import Directory"), ("e", "CLR Runtime Header")):
        m = re.search(r"^Entry %s ([0-9a-f]+) ([0-9a-f]+)" % entry, dump, re.M)
        if not m or int(m.group(1), 16) or int(m.group(2), 16):
            bad.append("%s is not empty" % what)
    for section in re.findall(r"^\s*\d+\s+(\.debug\S*|\.stab\S*)", dump, re.M):
        bad.append("debug section %s" % section)

    # The import tables: "DLL Name: X" followed by "vma hint name" rows.
    imports = 0
    table = dump.split("The Import Tables", 1)
    table = table[1].split("The Data Directory", 1)[0] if len(table) > 1 else ""
    dll = None
    for line in table.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            if dll not in allowed:
                bad.append("imports from %s, which the list does not know" % m.group(1))
            continue
        m = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)\s*$", line)
        if dll and m:
            imports += 1
            name = m.group(2)
            if name not in allowed.get(dll, ()):
                bad.append("%s!%s is not known to exist on both Windows 98 SE and NT 4.0"
                           % (dll, name))
            continue
        m = re.match(r"\s+[0-9a-f]+\s+(\d+)\s*$", line)
        if dll and m and not line.strip().startswith("vma"):
            bad.append("%s: import by ordinal %s" % (dll, m.group(1)))
    if imports == 0:
        bad.append("no imports read: objdump's layout may have changed")

    size = os.path.getsize(exe)
    if size > int(maxbytes):
        bad.append("%d bytes, more than %s" % (size, maxbytes))

    name = os.path.basename(exe)
    for line in bad:
        print("%s: %s" % (name, line))
    print("%s: %d bytes, %d imports checked, %s" % (name, size, imports,
                                                   "FAILED" if bad else "loads on 98 SE and NT 4.0"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
