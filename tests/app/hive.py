"""Small registry hives for the tests, made from nothing.

hivex edits hives but cannot start one, so empty_hive() writes the least that it accepts: the
base block, one bin, the root key and its security cell. make_software_hive() then adds the Run
key and its values with hivexsh.
"""
import struct
import subprocess

RUN_KEY = ["Microsoft", "Windows", "CurrentVersion", "Run"]


def _cell(payload):
    size = (4 + len(payload) + 7) & ~7
    return struct.pack("<i", -size) + payload + b"\0" * (size - 4 - len(payload))


def empty_hive(path):
    root_at, name = 0x20, b"ROOT"
    nk_size = (4 + 0x4C + len(name) + 7) & ~7
    sk_at = root_at + nk_size
    nk = struct.pack("<2sHQ15IHH", b"nk", 0x2C, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF,
                     0, 0xFFFFFFFF, sk_at, 0xFFFFFFFF, 0, 0, 0, 0, 0, len(name), 0) + name
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)
    sk = struct.pack("<2sHIIII", b"sk", 0, sk_at, sk_at, 1, len(descriptor)) + descriptor
    cells = _cell(nk) + _cell(sk)
    free = 0x1000 - 0x20 - len(cells)
    hbin = struct.pack("<4sIIQIII", b"hbin", 0, 0x1000, 0, 0, 0, 0) + cells + struct.pack("<i", free)
    hbin += b"\0" * (0x1000 - len(hbin))
    base = bytearray(0x1000)
    struct.pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, 0, 1, 3, 0, 1, root_at, 0x1000, 1)
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(base[:0x1FC])):
        checksum ^= word
    struct.pack_into("<I", base, 0x1FC, checksum)
    with open(path, "wb") as f:
        f.write(bytes(base) + hbin)


def make_software_hive(path, values):
    """A SOFTWARE hive whose Run key holds `values`, (name, string) pairs in this order; with
    values None there is no Run key at all."""
    empty_hive(path)
    script = []
    if values is not None:
        for part in RUN_KEY:
            script += ["add " + part, "cd " + part]
        script.append("setval %d" % len(values))
        for name, data in values:
            # hivexsh takes only 7-bit text: anything else as the bytes Windows keeps (REG_SZ).
            script += [name, "string:" + data if data.isascii() else "hex:1:" + ",".join(
                "%02x" % b for b in (data + "\0").encode("utf-16-le"))]
    script.append("commit")
    subprocess.run(["hivexsh", "-w", path], input="\n".join(script) + "\n", text=True,
                   check=True, capture_output=True)


def run_values(path):
    """The Run key's value names, in order, read back with hivexsh."""
    out = subprocess.run(["hivexsh", path], input="cd " + "\\".join(RUN_KEY) + "\nlsval\n",
                         text=True, check=True, capture_output=True).stdout
    return [line.split("=", 1)[0].strip().strip('"') for line in out.splitlines() if "=" in line]
