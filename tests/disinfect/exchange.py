#!/usr/bin/env python3
"""exchange.py FOLDER OTHER NAME N: once NAME in FOLDER has been opened N times, exchanges the
folders FOLDER and OTHER in one step (renameat2 with RENAME_EXCHANGE), as whoever may write
beside the scanned tree could from outside the program. Prints "ready" once it watches, then
"exchanged" or "not exchanged" when its standard input ends."""
import ctypes
import os
import select
import struct
import sys

IN_OPEN, IN_NONBLOCK, AT_FDCWD, RENAME_EXCHANGE = 0x20, 0o4000, -100, 2


def main():
    folder, other, name, wanted = sys.argv[1], sys.argv[2], sys.argv[3].encode(), int(sys.argv[4])
    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(IN_NONBLOCK)
    if watch < 0 or libc.inotify_add_watch(watch, folder.encode(), IN_OPEN) < 0:
        print("error: cannot watch", folder, flush=True)
        return 2
    print("ready", flush=True)
    opened, exchanged = 0, False
    while True:
        ready, _, _ = select.select([watch, sys.stdin], [], [])
        if sys.stdin in ready and not sys.stdin.readline():
            break
        if watch not in ready:
            continue
        try:
            data = os.read(watch, 65536)
        except BlockingIOError:
            continue
        at = 0
        while at + 16 <= len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, at)
            event = data[at + 16:at + 16 + length].rstrip(b"\0")
            at += 16 + length
            if mask & IN_OPEN and event == name and not exchanged:
                opened += 1
                if opened == wanted:
                    exchanged = libc.renameat2(AT_FDCWD, folder.encode(), AT_FDCWD,
                                               other.encode(), RENAME_EXCHANGE) == 0
    print("exchanged" if exchanged else "not exchanged", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
