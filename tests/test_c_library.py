"""The kernels as an installed C library: `cmake --install`, then find_package from a
separate C project."""

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
"""


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=600, **kwargs)


@pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("cc") is None,
                    reason="needs cmake and a C compiler")
def test_installed_library_is_found_and_linked(tmp_path):
    build, prefix, consumer = tmp_path / "build", tmp_path / "prefix", tmp_path / "consumer"
    run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DMORVEX_BUILD_EXTENSION=OFF", "-DMORVEX_BUILD_TESTS=OFF")
    run("cmake", "--build", str(build), "--target", "morvex_core", "morvex_core_static", "-j2")
    run("cmake", "--install", str(build), "--prefix", str(prefix), "--component", "c_library")
    assert (prefix / "include" / "morvex" / "core.h").is_file()

    consumer.mkdir()
    source = (ROOT / "examples" / "kernels_from_c.c").as_posix()
    (consumer / "CMakeLists.txt").write_text(CONSUMER.format(source=source))
    run("cmake", "-S", str(consumer), "-B", str(consumer / "build"),
        f"-DCMAKE_PREFIX_PATH={prefix}")
    run("cmake", "--build", str(consumer / "build"))
    outputs = [run(str(consumer / "build" / name)).stdout for name in ("shared_user", "static_user")]
    assert outputs[0] == outputs[1]
    assert "Optimal" in outputs[0]
