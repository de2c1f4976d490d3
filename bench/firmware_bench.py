"""The receipt gate on a Cortex-M, counted rather than timed: instructions from QEMU
(-icount shift=0, see examples/firmware/selftest.c), sizes from the link maps and
arm-none-eabi-size. Builds the firmware library and the reference firmware for each
configuration below (GCC 12, -Os, 32-nonce window) and prints the table of
bench/README.md.

    python3 bench/firmware_bench.py [build-dir]
"""

import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "firmware"))
import emulator

CONFIGURATIONS = [("cortex-m4", "portable", "mps2-an386"), ("cortex-m4", "unrolled", "mps2-an386"),
                  ("cortex-m3", "portable", "mps2-an385")]


def flash_from(link_map: Path, archives=("libmorvex_security.a", "libc.a", "libgcc.a")) -> dict:
    """Bytes of code and constants each archive put into the linked program."""
    text = link_map.read_text()
    text = text[text.index("Linker script and memory map"):]
    sizes = dict.fromkeys(archives, 0)
    text = re.sub(r"^( \.\S+)\n\s+", r"\1 ", text, flags=re.MULTILINE)  # long names wrap
    pattern = re.compile(r"^ (\.(?:text|rodata)\S*)\s+0x[0-9a-f]+\s+0x([0-9a-f]+) (\S+)", re.MULTILINE)
    for _, size, source in pattern.findall(text):
        for archive in archives:
            if re.search(rf"{re.escape(archive)}\(", source):
                sizes[archive] += int(size, 16)
    return sizes


def main() -> None:
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    print(f"{'cpu':10} {'compression':11} {'textbook':>9} {'accepted':>9} {'ratio':>6} "
          f"{'refused':>8} {'ref/acc':>7} {'stack':>6} {'gate RAM':>8} {'flash':>6}")
    for cpu, compression, board in CONFIGURATIONS:
        built = emulator.build(root / f"{cpu}-{compression}", cpu, 32, compression)
        report = emulator.run_selftest(built.selftest, board)
        textbook = int(report["insns_textbook_sha256_64"])
        accepted = int(report["insns_check_accepted"])
        refused = int(report["insns_check_refused"])
        program = built.actuator if built.actuator.exists() else built.selftest
        flash = sum(flash_from(program.with_name(program.name + ".map")).values())
        print(f"{cpu:10} {compression:11} {textbook:9} {accepted:9} {accepted / textbook:6.2f} "
              f"{refused:8} {refused / accepted:7.2f} {report['stack_check']:>6} "
              f"{report['gate_bytes']:>8} {flash:6}")
    print(f"flash: the library's code and constants, with what they take from libc and "
          f"libgcc, in {program.name}")


if __name__ == "__main__":
    main()
