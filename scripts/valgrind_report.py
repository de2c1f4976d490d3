"""Reads the memcheck XML reports that scripts/valgrind_leaks.sh collected in a
directory, prints every report that involves morvex with its stacks, and exits
with 1 if there is one, or if a process died of a signal.

A report involves morvex when one of its stacks (where the access happened,
where the block was allocated or freed) has a frame in _morvex*.so or
libmorvex*, or in a function named morvex::..., morvex_... or PyInit__morvex.
Every kind of memcheck error counts (invalid read, write or free, use of an
uninitialised value, mismatched free...); of the leak kinds, definitely lost
blocks only.

    python valgrind_report.py DIRECTORY
"""

import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

OUR_OBJECT = re.compile(r"^(_morvex\..*so|_actuator\..*so|libmorvex.*)$")
OUR_FUNCTION = re.compile(r"morvex::|\bmorvex_|PyInit__morvex|PyInit__actuator")


def ours(frame):
    obj = os.path.basename(frame.findtext("obj") or "")
    return bool(OUR_OBJECT.match(obj) or OUR_FUNCTION.search(frame.findtext("fn") or ""))


def describe(frame):
    where = frame.findtext("fn") or os.path.basename(frame.findtext("obj") or "?")
    if frame.findtext("file"):
        where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
    return where


def main(directory):
    involving = elsewhere = suppressed = crashes = 0
    for path in sorted(glob.glob(os.path.join(directory, "*.xml"))):
        name = os.path.basename(path)
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        # Element by element: a child forked before it executes another program
        # writes its own preamble into its parent's report.
        for block in re.findall(r"<fatal_signal>.*?</fatal_signal>", text, re.DOTALL):
            crashes += 1
            print(f"\n[{name}] fatal signal {ET.fromstring(block).findtext('signame')}")
        for block in re.findall(r"<suppcounts>.*?</suppcounts>", text, re.DOTALL):
            suppressed += sum(int(n) for n in re.findall(r"<count>(\d+)</count>", block))
        for block in re.findall(r"<error>.*?</error>", text, re.DOTALL):
            error = ET.fromstring(block)
            kind = error.findtext("kind")
            if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
                continue
            stacks = error.findall("stack")
            if not any(ours(frame) for stack in stacks for frame in stack.findall("frame")):
                elsewhere += 1
                continue
            involving += 1
            what = error.findtext("what") or error.findtext("xwhat/text")
            print(f"\n[{name}] {kind}: {what}")
            for stack in stacks:
                for frame in stack.findall("frame"):
                    print(("  > " if ours(frame) else "    ") + describe(frame))
                print("    --")
    print(
        f"== memcheck: {involving} report(s) involving morvex, {crashes} crash(es); "
        f"{elsewhere} report(s) elsewhere, {suppressed} suppressed"
    )
    return 1 if involving or crashes else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
