#!/usr/bin/env python3
"""Checks a shipped Windows program against what Windows 98 SE and NT 4.0 load.

check_exe.py OBJDUMP EXE LIST SUBSYSTEM MAXBYTES [MAP]

Reads the program's headers and import table with the cross objdump and fails (exit 1, one line
per finding) on: an imported function that LIST does not name for its DLL, an import by ordinal,
a DLL that LIST does not know, a delay-load or bound import (the loader of that era knows
neither, and they would hide imports from this check), OS or subsystem version other than 4.0,
another subsystem than SUBSYSTEM (2 GUI, 3 console), a layout the 9x loader refuses, debug
information, or a file larger than MAXBYTES.

With MAP (the linker's map of the program) it also disassembles the whole code and fails on any
instruction a 486 lacks (see BEYOND_486) outside the input section ".text$clmul", the checksum's
fast path, which the program enters only when the processor and the system support it.
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


# Instructions the 486 does not have: the Pentium Pro's conditional moves and floating-point
# compares, the time-stamp counter, the Pentium's 8-byte compare-exchange, the multi-byte NOP
# (0F 1F, which alignment padding may hold, and padding can run), and everything that names an
# MMX or SSE register or belongs to those sets without naming one. CPUID is allowed: the checksum
# asks for it only after the flags register said the processor has it.
BEYOND_486 = re.compile(
    r"^(cmov\w+|fcmov\w+|f[u]?comip?|rdtscp?|rdpmc|cmpxchg8b|sysenter|sysexit|syscall|nop[lwq]|"
    r"emms|femms|[lsm]fence|prefetch\w*|clflush\w*|fxsave|fxrstor|[ls]dmxcsr|movnti|fisttp\w*)$")
MEDIA_REGISTER = re.compile(r"%(x|y|z)?mm\d")


def fast_path(map_path):
    """The address range [start, end) of the input section .text$clmul, or None."""
    for line in open(map_path, encoding="latin-1"):
        m = re.match(r"^ \.text\$clmul\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)", line)
        if m:
            start = int(m.group(1), 16)
            return start, start + int(m.group(2), 16)
    return None


def check_instructions(objdump, exe, map_path, bad):
    """Appends a finding per instruction beyond the 486 outside the fast path; answers a line
    that counts them by kind, inside and outside."""
    allowed = fast_path(map_path) or (0, 0)
    code = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], check=True,
                          capture_output=True, text=True).stdout
    outside, inside, total = {}, 0, 0
    for line in code.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(?:(?:lock|rep\w*|data16|addr16|ds|cs|ss|es|fs|gs)\s+)*"
                     r"(\S+)\s*(.*)$", line)
        if not m:
            continue
        total += 1
        address, mnemonic, operands = int(m.group(1), 16), m.group(2), m.group(3)
        if not (BEYOND_486.match(mnemonic) or MEDIA_REGISTER.search(operands)):
            continue
        if allowed[0] <= address < allowed[1]:
            inside += 1
            continue
        kind = MEDIA_REGISTER.search(operands) and "MMX/SSE" or re.sub(r"^(cmov|fcmov|nop).*", r"\1", mnemonic)
        outside[kind] = outside.get(kind, 0) + 1
        if outside[kind] <= 5:
            bad.append("instruction beyond the 486 at %#x: %s %s" % (address, mnemonic, operands))
    # Every line that starts with an address is an instruction; reading far fewer of them (or
    # none) means objdump's layout changed and the check would pass on nothing.
    listed = sum(1 for line in code.splitlines() if re.match(r"^\s*[0-9a-f]+:\s", line))
    if total == 0 or total < listed * 0.95:
        bad.append("only %d of %d instructions read: objdump's layout may have changed"
                   % (total, listed))
    kinds = ", ".join("%s %d" % kv for kv in sorted(outside.items())) or "none"
    return "%d instructions, beyond the 486: %s outside the fast path, %d inside it" % (
        total, kinds, inside)


def main():
    objdump, exe, listing, subsystem, maxbytes = sys.argv[1:6]
    map_path = sys.argv[6] if len(sys.argv) > 6 else None
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

    instructions = check_instructions(objdump, exe, map_path, bad) if map_path else None

    name = os.path.basename(exe)
    for line in bad:
        print("%s: %s" % (name, line))
    print("%s: %d bytes, %d imports checked, %s" % (name, size, imports,
                                                   "FAILED" if bad else "loads on 98 SE and NT 4.0"))
    if instructions:
        print("%s: %s" % (name, instructions))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
