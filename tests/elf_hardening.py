"""What `readelf` shows of a hardened ELF file (the test oracle for the build flags)."""

import shutil
import subprocess

READELF = shutil.which("readelf")


def hardening_faults(path):
    """The hardening properties `path` lacks: bind-now, RELRO, a non-executable stack,
    the stack protector."""
    listing = subprocess.run([READELF, "--wide", "--dynamic", "--program-headers", "--dyn-syms",
                              str(path)], capture_output=True, text=True, check=True).stdout
    lines = listing.splitlines()
    # The program header line: type, offset, vaddr, paddr, filesz, memsz, flags..., align.
    stacks = [line.split()[6:-1] for line in lines if line.split()[:1] == ["GNU_STACK"]]
    faults = []
    if not any("(FLAGS)" in line and "BIND_NOW" in line or "(FLAGS_1)" in line and " NOW" in line
               for line in lines):
        faults.append("no BIND_NOW")
    if not any(line.split()[:1] == ["GNU_RELRO"] for line in lines):
        faults.append("no GNU_RELRO")
    if len(stacks) != 1 or "E" in "".join(stacks[0]):
        faults.append(f"stack not marked non-executable: {stacks}")
    if "__stack_chk_fail" not in listing:
        faults.append("no stack protector")
    return faults
