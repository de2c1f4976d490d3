"""The C libraries as installed: `cmake --install`, then find_package from a separate
C project, for the kernels and for the receipt gate checking receipts that the Python
boundary issued."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

CONSUMER = """
cmake_minimum_required(VERSION 3.24)
project(consumer C)
find_package(morvex_core 0.2 REQUIRED)
add_executable(shared_user {source})
target_link_libraries(shared_user PRIVATE morvex::core)
add_executable(static_user {source})
target_link_libraries(static_user PRIVATE morvex::core_static stdc++ m)
find_package(morvex 0.2 REQUIRED)
add_executable(gate_shared {gate_source})
target_link_libraries(gate_shared PRIVATE morvex::security)
add_executable(gate_static {gate_source})
target_link_libraries(gate_static PRIVATE morvex::security_static stdc++)
"""


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=600, **kwargs)


@pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("cc") is None,
                    reason="needs cmake and a C compiler")
def test_installed_library_is_found_and_linked(tmp_path):
    build, prefix, consumer = tmp_path / "build", tmp_path / "prefix", tmp_path / "consumer"
    run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DMORVEX_BUILD_EXTENSION=OFF", "-DMORVEX_BUILD_TESTS=OFF")
    run("cmake", "--build", str(build), "--target", "morvex_core", "morvex_core_static",
        "morvex_security_shared", "morvex_security", "-j2")
    run("cmake", "--install", str(build), "--prefix", str(prefix), "--component", "c_library")
    assert (prefix / "include" / "morvex" / "core.h").is_file()
    assert (prefix / "include" / "morvex" / "receipt_gate.h").is_file()

    consumer.mkdir()
    source = (ROOT / "examples" / "kernels_from_c.c").as_posix()
    gate_source = (ROOT / "examples" / "receipt_gate_from_c.c").as_posix()
    (consumer / "CMakeLists.txt").write_text(CONSUMER.format(source=source, gate_source=gate_source))
    run("cmake", "-S", str(consumer), "-B", str(consumer / "build"),
        f"-DCMAKE_PREFIX_PATH={prefix}")
    run("cmake", "--build", str(consumer / "build"))
    outputs = [run(str(consumer / "build" / name)).stdout for name in ("shared_user", "static_user")]
    assert outputs[0] == outputs[1]
    assert "Optimal" in outputs[0]

    # The gate in C accepts what the boundary issued for exactly that command, once.
    from morvex import MorvBoundary

    key = bytes(range(32))
    boundary = MorvBoundary(hmac_key=key)
    first, second = (boundary.authorize_action(axis, 0.5, -1.25) for axis in (2, -7))
    lines = [f"{first.receipt_hash.hex()} 2 0.5 -1.25",
             f"{first.receipt_hash.hex()} 2 0.5 -1.25",
             f"{second.receipt_hash.hex()} 7 0.5 -1.25",
             f"{second.receipt_hash.hex()} -7 0.5 -1.25",
             "00 1 1 1"]
    expected = ["1 accepted", "replay_counter", "authentication_failure", "2 accepted",
                "invalid_receipt"]
    for name in ("gate_shared", "gate_static"):
        out = run(str(consumer / "build" / name), key.hex(), input="\n".join(lines) + "\n")
        assert out.stdout.split("\n")[:-1] == expected, name
