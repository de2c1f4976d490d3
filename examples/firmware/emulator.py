"""Builds the reference firmware and boots it in QEMU: shared by the tests, the demo
(``examples/controller_demo.py --firmware``) and ``bench/firmware_bench.py``.

    from emulator import build, boot
    elfs = build(build_dir)                       # the library, installed, then the firmware
    with boot(elfs.actuator) as board:            # mps2-an386, UART0 on a loopback TCP port
        board.link.write(frame)                   # a pyserial link: serial_for_url("socket://...")

Needs ``gcc-arm-none-eabi``, ``libnewlib-arm-none-eabi``, ``libstdc++-arm-none-eabi-newlib`` and
``qemu-system-arm`` (Debian packages), cmake and ninja, and pyserial.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Self

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[1]
TOOLCHAIN = REPOSITORY / "cmake" / "toolchains" / "arm-none-eabi.cmake"
# The long-term key of the reference firmware (examples/firmware/main.c): a trial key, as
# public as MorvBoundary's default one.
FIRMWARE_KEY = b"morvex firmware trial key only!\x00"
TOOLS = ("arm-none-eabi-gcc", "arm-none-eabi-g++", "qemu-system-arm", "cmake", "ninja")


def missing_tools() -> list[str]:
    """What this machine lacks to build and boot the firmware (empty when nothing)."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if "arm-none-eabi-g++" not in missing:
        probe = subprocess.run(["arm-none-eabi-g++", "-x", "c++", "-std=c++20", "-E", "-",
                                "-o", os.devnull], input="#include <span>\n", text=True,
                               capture_output=True, check=False)
        if probe.returncode != 0:
            missing.append("libstdc++-arm-none-eabi-newlib")
    return missing


@dataclass
class Firmware:
    actuator: Path
    selftest: Path
    library: Path  # the installed libmorvex_security.a
    build_dir: Path


def _run(args: list[str]) -> None:
    result = subprocess.run(args, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed:\n{result.stdout}\n{result.stderr}")


def build(build_dir: Path, cpu: str = "cortex-m3", nonce_window: int = 32,
          compression: str = "portable") -> Firmware:
    """Builds the firmware library for `cpu`, installs it under build_dir, and builds the
    firmware against the installed copy, as an integrator would. Cortex-M3 code boots on
    both boards (an385 is a Cortex-M3, an386 a Cortex-M4)."""
    build_dir = Path(build_dir)
    install = build_dir / "install"
    toolchain = [f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", f"-DMORVEX_FIRMWARE_CPU={cpu}"]
    _run(["cmake", "-S", str(REPOSITORY), "-B", str(build_dir / "library"), "-G", "Ninja",
          *toolchain, "-DMORVEX_FIRMWARE=ON", "-DMORVEX_WERROR=ON",
          f"-DMORVEX_GATE_NONCE_WINDOW={nonce_window}",
          f"-DMORVEX_SHA256_COMPRESSION={compression}", f"-DCMAKE_INSTALL_PREFIX={install}"])
    _run(["cmake", "--build", str(build_dir / "library"), "-j2"])
    _run(["cmake", "--install", str(build_dir / "library")])
    app = build_dir / "firmware"
    _run(["cmake", "-S", str(HERE), "-B", str(app), "-G", "Ninja", *toolchain,
          f"-DCMAKE_PREFIX_PATH={install}"])
    _run(["cmake", "--build", str(app), "-j2"])
    return Firmware(app / "actuator.elf", app / "selftest.elf", install / "lib" /
                    "libmorvex_security.a", build_dir)


def _qemu(board: str, elf: Path) -> list[str]:
    # One thread for the core and the devices: a byte that arrives on the UART reaches
    # the waiting core without a hand-over between threads (a round trip of a command
    # frame and its verdict takes about 1 ms instead of 15).
    return ["qemu-system-arm", "-M", board, "-nographic", "-monitor", "none",
            "-accel", "tcg,thread=single", "-semihosting-config", "enable=on,target=native",
            "-kernel", str(elf)]


def run_selftest(elf: Path, board: str = "mps2-an386", timeout: float = 60) -> dict[str, str]:
    """Boots the self-test (instructions counted: -icount shift=0) and returns its
    "name value" lines."""
    out = subprocess.run([*_qemu(board, elf), "-icount", "shift=0", "-serial", "stdio"],
                         capture_output=True, text=True, timeout=timeout, check=True).stdout
    lines = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
    if "done" not in out.splitlines():
        raise RuntimeError(f"the self-test did not finish:\n{out}")
    return lines


def _symbol_address(elf: Path, name: str) -> int:
    out = subprocess.run(["arm-none-eabi-nm", str(elf)], capture_output=True, text=True,
                         check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if fields[-1] == name:
            return int(fields[0], 16)
    raise LookupError(name)


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Board:
    """A running emulated board: `link` is UART0 (a pyserial object on the loopback TCP
    port QEMU serves), `debug_log` the file UART1 writes to. Stops QEMU on exit."""

    def __init__(self, elf: Path, board: str, debug_log: Path | None, seed: bytes | None,
                 timeout: float) -> None:
        import serial  # pyserial: the same code drives a real port

        port = _free_port()
        # nodelay: the firmware writes a byte at a time, which Nagle's algorithm would hold.
        args = [*_qemu(board, elf), "-serial",
                f"tcp:127.0.0.1:{port},server=on,wait=on,nodelay=on",
                "-serial", f"file:{debug_log}" if debug_log else "null"]
        # The session id's entropy stand-in: 16 host-random bytes in the firmware's seed
        # cell (examples/firmware/entropy.c), written by QEMU before reset.
        seed = os.urandom(16) if seed is None else seed
        cell = _symbol_address(elf, "entropy_seed")
        for half in (0, 8):
            value = int.from_bytes(seed[half:half + 8], "little")
            args += ["-device", f"loader,addr={cell + half:#x},data={value:#x},data-len=8"]
        # A standard input that never becomes readable: QEMU's console polls it, and an
        # always-readable one (/dev/null, EOF) costs every byte on the UART milliseconds.
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        self.debug_log = debug_log
        deadline = time.monotonic() + 10
        while True:
            try:
                self.link = serial.serial_for_url(f"socket://127.0.0.1:{port}", timeout=timeout)
                break
            except serial.SerialException:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("QEMU did not start: " +
                                       self.process.stderr.read().decode(errors="replace"))
                time.sleep(0.05)

    def stop(self) -> None:
        link = getattr(self, "link", None)
        if link is not None:
            link.close()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdin.close()
        self.process.stderr.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def boot(elf: Path, board: str = "mps2-an386", debug_log: Path | None = None,
         seed: bytes | None = None, timeout: float = 10.0) -> Board:
    """Boots `elf` with UART0 on a loopback TCP port (127.0.0.1 only) and UART1 into
    `debug_log`; `seed` stands in for the board's entropy source (os.urandom by default)."""
    return Board(elf, board, debug_log, seed, timeout)
