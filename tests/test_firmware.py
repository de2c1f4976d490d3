"""The receipt gate on an emulated Cortex-M: the firmware build of the library linked
into the reference firmware (examples/firmware), booted in QEMU on mps2-an386
(Cortex-M4) and mps2-an385 (Cortex-M3)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "firmware"))
import emulator  # noqa: E402

from morvex import session_key  # noqa: E402

BOARDS = ["mps2-an386", "mps2-an385"]
LIBC_ALLOWED = {"memcpy", "memset", "memmove", "memcmp"}

pytestmark = pytest.mark.skipif(bool(emulator.missing_tools()),
                                reason=f"missing: {emulator.missing_tools()}")


@pytest.fixture(scope="module")
def firmware(tmp_path_factory):
    return emulator.build(tmp_path_factory.mktemp("firmware"))


def test_library_needs_nothing_but_mem_functions(firmware):
    undefined = subprocess.run(["arm-none-eabi-nm", "-u", str(firmware.library)],
                               capture_output=True, text=True, check=True).stdout
    defined = subprocess.run(["arm-none-eabi-nm", "--defined-only", str(firmware.library)],
                             capture_output=True, text=True, check=True).stdout
    external = {line.split()[-1] for line in undefined.splitlines() if " U " in f" {line}"}
    external -= {line.split()[-1] for line in defined.splitlines() if len(line.split()) == 3}
    # abort only where a broken invariant could be reached (SecurityResult::value).
    assert external <= LIBC_ALLOWED | {"abort"}, external
    # The firmware's link took nothing else from the C library (its own abort included).
    link_map = (firmware.build_dir / "firmware" / "selftest.elf.map").read_text()
    members = {name.removesuffix("-stub")
               for name in re.findall(r"libc\.a\(lib_a-([\w-]+)\.o\)", link_map)}
    assert members <= LIBC_ALLOWED, members


@pytest.mark.parametrize("board", BOARDS)
def test_selftest_on_the_target(firmware, board):
    report = emulator.run_selftest(firmware.selftest, board)
    assert report["sha256_vectors"] == report["sha256_vectors_passed"] == "65"
    # The C derivation on the target equals the Python one.
    assert report["session_key"] == session_key(bytes(range(1, 33)), bytes(range(16))).hex()
    assert (report["fill_refused"], report["accept"], report["replay"], report["flipped_tag"]) == (
        "0", "0", "7", "6")
