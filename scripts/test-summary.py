#!/usr/bin/env python3
"""Reads the JUnit files CTest wrote (ctest --output-junit) and prints every skipped test with
its reason. Exits 1 when a test's name is not readable: a parameterised test must be named
after its case, not after the bytes of its parameter.

usage: test-summary.py JUNIT.xml...
"""
import os
import sys
import xml.etree.ElementTree as ET

MaxNameLength = 120


def skip_reason(output):
    """GoogleTest prints "FILE:LINE: Skipped" and the reason on the lines that follow; a
    Python test prints "skipped: REASON". Otherwise the last line of output is the reason."""
    lines = [line.rstrip() for line in output.splitlines()]
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = []
            for after in lines[i + 1:]:
                if not after or after.startswith("["):
                    break
                reason.append(after.strip())
            return " ".join(reason) or "(no reason given)"
    for line in lines:
        if line.lower().startswith("skipped: "):
            return line[len("skipped: "):]
    lines = [line for line in lines if line and not line.startswith("[")]
    return lines[-1] if lines else "(no output)"


def main(paths):
    skipped, unreadable, count = [], [], 0
    for path in paths:
        if not os.path.exists(path):
            print("no test results in %s: the tests did not run" % path)
            return 1
        for case in ET.parse(path).getroot().iter("testcase"):
            count += 1
            name = case.get("name", "")
            if len(name) > MaxNameLength or "GetParam" in name or "#" in name:
                unreadable.append(name)
            if case.find("skipped") is not None:
                out = case.find("system-out")
                skipped.append((name, skip_reason(out.text if out is not None and out.text else "")))
    print("%d tests, %d skipped" % (count, len(skipped)))
    for name, reason in skipped:
        print("  skipped %s: %s" % (name, reason))
    for name in unreadable:
        print("  unreadable test name (%d characters): %s" % (len(name), name))
    return 1 if unreadable else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
