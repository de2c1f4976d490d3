"""The receipt gate on an emulated Cortex-M: the firmware build of the library linked
into the reference firmware (examples/firmware), booted in QEMU on mps2-an386
(Cortex-M4) and mps2-an385 (Cortex-M3)."""

import random
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from authority import tag

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "firmware"))
import emulator
from morvex import MorvBoundary, MorvViolation, ReceiptGate, session_key, wire

BOARDS = ["mps2-an386", "mps2-an385"]
LIBC_ALLOWED = {"memcpy", "memset", "memmove", "memcmp"}
INF = float("inf")

MISSING = emulator.missing_tools()
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"missing: {MISSING}")


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """The firmware for each SHA-256 compression, built when first asked for."""
    built = {}

    def build(compression="portable"):
        if compression not in built:
            built[compression] = emulator.build(tmp_path_factory.mktemp(compression),
                                                compression=compression)
        return built[compression]

    return build


@pytest.fixture(scope="module")
def firmware(builds):
    return builds()


def test_library_needs_nothing_but_mem_functions(firmware):
    undefined = subprocess.run(["arm-none-eabi-nm", "-u", str(firmware.library)],
                               capture_output=True, text=True, check=True).stdout
    defined = subprocess.run(["arm-none-eabi-nm", "--defined-only", str(firmware.library)],
                             capture_output=True, text=True, check=True).stdout
    external = {line.split()[-1] for line in undefined.splitlines() if " U " in f" {line}"}
    external -= {line.split()[-1] for line in defined.splitlines() if len(line.split()) == 3}
    # abort only where a broken invariant could be reached (SecurityResult::value).
    assert external <= LIBC_ALLOWED | {"abort"}, external
    # The firmware's programs take nothing else from newlib's libc (abort is their own).
    for program in ("actuator.elf", "selftest.elf"):
        link_map = (firmware.build_dir / "firmware" / f"{program}.map").read_text()
        members = {name.removesuffix("-stub")
                   for name in re.findall(r"libc\.a\(lib_a-([\w-]+)\.o\)", link_map)}
        assert members <= LIBC_ALLOWED, (program, members)


# Every compression (the loop, the unrolled rounds, a firmware's own through the hook)
# gives NIST's digests and the same verdicts on the target.
@pytest.mark.parametrize("board, compression", [(board, "portable") for board in BOARDS]
                         + [("mps2-an386", "unrolled"), ("mps2-an386", "external")])
def test_selftest_on_the_target(builds, board, compression):
    report = emulator.run_selftest(builds(compression).selftest, board)
    assert report["compression"] == compression
    assert report["sha256_vectors"] == report["sha256_vectors_passed"] == "65"
    # The C derivation on the target equals the Python one.
    assert report["session_key"] == session_key(bytes(range(1, 33)), bytes(range(16))).hex()
    assert (report["fill_refused"], report["accept"], report["replay"], report["flipped_tag"]) == (
        "0", "0", "7", "6")


# ---- the actuator firmware, driven from the controller side ------------------------------

def exchange(board, decoder, data, verdicts_expected):
    """Sends `data` on UART0 and returns the frames that come back, reading until
    `verdicts_expected` verdicts have arrived (a session frame may come with them)."""
    board.link.write(data)
    frames = []
    while sum(isinstance(f, wire.Verdict) for f in frames) < verdicts_expected:
        chunk = board.link.read(max(1, board.link.in_waiting))
        assert chunk, f"no answer from the firmware after {frames}"
        frames += decoder.feed(chunk)
    return frames


def open_session(board, decoder, request=False):
    """The session frame the firmware announces (at boot, or asked for with one of ours)."""
    frames = exchange(board, decoder, wire.encode_session(bytes(16)) if request else b"", 0)
    while not frames:
        frames = decoder.feed(board.link.read(1))
    (session,) = frames
    assert isinstance(session, wire.Session)
    return session.session_id


def debug_log_state(path):
    """The simulated actuator's positions (as bit patterns) and the decoder's corrupt
    count, from the firmware's debug console."""
    positions, corrupt = {}, 0
    for line in path.read_text().splitlines():
        word = line.split()
        if word[0] == "axis":
            positions[int(word[1])] = int(word[2], 16)
        elif word[0] == "corrupt":
            corrupt = int(word[1])
    return positions, corrupt


def faulty_stream(rng, boundary, key):
    """A seeded stream of command frames and faults: (bytes on the line, what it is).
    Faults: a bit flipped in the receipt or in a command field, a receipt for another
    axis, a replay, an out-of-order sequence id, a reused nonce under a higher sequence
    id, line noise and a truncated frame between frames."""
    stream = []
    for _ in range(90):
        axis = rng.randrange(4)
        position, velocity = rng.uniform(-3, 3), rng.uniform(-1, 1)
        receipt = boundary.authorize_action(axis, position, velocity).receipt_hash
        frame = wire.encode_command(axis, position, velocity, receipt)
        valid = [data for data, what in stream if what == "valid"]
        fault = rng.choice(["valid"] * 6 + ["receipt bit", "field bit", "other axis", "replay",
                                            "out of order", "nonce reuse", "noise", "truncated"])
        if fault == "receipt bit":
            flipped = bytearray(receipt)
            flipped[rng.randrange(60)] ^= 1 << rng.randrange(8)
            stream.append((wire.encode_command(axis, position, velocity, bytes(flipped)), fault))
        elif fault == "field bit":
            bits = struct.unpack("<Q", struct.pack("<d", position))[0] ^ (1 << rng.randrange(64))
            stream.append((wire.encode_command(axis, struct.unpack("<d", struct.pack("<Q", bits))[0],
                                               velocity, receipt), fault))
        elif fault == "other axis":
            stream.append((wire.encode_command(axis + 1, position, velocity, receipt), fault))
        elif fault == "replay" and valid:
            stream.append((rng.choice(valid), fault))
        elif fault == "out of order":
            later = boundary.authorize_action(axis, position, velocity).receipt_hash
            stream += [(wire.encode_command(axis, position, velocity, later), "valid"),
                       (frame, fault)]
        elif fault == "nonce reuse" and valid:
            # Signed with the session key: an issuer that reused a recent nonce (within the
            # firmware's 32-nonce window and the hosted gate's 1024).
            nonce = receipt_of(rng.choice(valid[-8:]))[:12]
            sequence = struct.unpack("<Q", receipt[20:28])[0] + 1
            boundary.authorize_action(0, 0.0, 0.0)  # keeps the boundary's ids above it
            payload = struct.pack("<dd", position, velocity)
            forged = nonce + struct.pack("<QQ", 0, sequence) + tag(
                key, nonce, 0, sequence, b"axis_%d" % axis, payload)
            stream.append((wire.encode_command(axis, position, velocity, forged), fault))
        elif fault == "noise":
            noise = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 40)))
            stream += [(noise + b"\0", fault), (frame, "valid")]
        elif fault == "truncated":
            stream += [(frame[:rng.randrange(1, len(frame) - 1)] + b"\0", fault),
                       (frame, "valid")]
        else:
            stream.append((frame, "valid"))
    return stream


def receipt_of(frame):
    (command,) = wire.Decoder().feed(frame)
    return command.receipt_hash


def expected_verdicts(commands, key):
    """What the hosted ReceiptGate answers for the same commands, in order, and the last
    accepted position of each axis (as bits)."""
    gate, verdicts, positions = ReceiptGate(hmac_key=key), [], {}
    for c in commands:
        sequence_id = struct.unpack("<Q", c.receipt_hash[20:28])[0]
        try:
            gate.check(c.receipt_hash, c.axis, c.requested_position, c.commanded_velocity)
            verdicts.append(wire.Verdict(sequence_id, c.axis, ""))
            positions[c.axis] = struct.unpack("<Q", struct.pack("<d", c.requested_position))[0]
        except MorvViolation as refusal:
            verdicts.append(wire.Verdict(sequence_id, c.axis, refusal.violation_type))
    return verdicts, positions


@pytest.mark.parametrize("board_name", BOARDS)
def test_verdicts_equal_the_hosted_gate_on_a_faulty_stream(firmware, board_name, tmp_path):
    rng = random.Random(board_name)
    log = tmp_path / "debug.log"
    with emulator.boot(firmware.actuator, board_name, debug_log=log) as board:
        answers = wire.Decoder()
        key = session_key(emulator.FIRMWARE_KEY, open_session(board, answers))
        boundary = MorvBoundary(rate_limit=10**6, max_velocity_rad_s=INF, hmac_key=key)
        stream = faulty_stream(rng, boundary, key)
        line = b"".join(data for data, _ in stream)
        oracle = wire.Decoder()  # what a decoder makes of the same bytes
        commands = [f for f in oracle.feed(line) if isinstance(f, wire.Command)]
        got = [f for f in exchange(board, answers, line, len(commands))
               if isinstance(f, wire.Verdict)]
    want, positions = expected_verdicts(commands, key)
    assert got == want
    faults = {what for _, what in stream}
    assert faults >= {"receipt bit", "field bit", "other axis", "replay", "out of order",
                      "nonce reuse", "noise", "truncated"}, faults
    refusals = {v.violation_type for v in want}
    assert refusals >= {"", "authentication_failure", "replay_counter", "replay_nonce"}
    # Every bit of noise and every truncated frame was counted as corrupt, never checked.
    assert debug_log_state(log) == (positions, oracle.corrupt)
    assert oracle.corrupt >= sum(what in ("noise", "truncated") for _, what in stream)


def test_a_reset_does_not_reopen_replay(firmware, tmp_path):
    with emulator.boot(firmware.actuator) as board:
        answers = wire.Decoder()
        first = open_session(board, answers)
        boundary = MorvBoundary(rate_limit=10**6, hmac_key=session_key(emulator.FIRMWARE_KEY, first))
        captured = [wire.encode_command(a, 0.25 * a, 0.5, boundary.authorize_action(
            a, 0.25 * a, 0.5).receipt_hash) for a in range(6)]
        verdicts = exchange(board, answers, b"".join(captured), len(captured))
        assert [v.violation_type for v in verdicts] == [""] * 6
        # A controller that restarts asks for a new session: the old receipts die with it.
        second = open_session(board, answers, request=True)
        verdicts = exchange(board, answers, captured[-1], 1)
        assert [v.violation_type for v in verdicts] == ["authentication_failure"]
    with emulator.boot(firmware.actuator) as board:  # the board resets
        answers = wire.Decoder()
        third = open_session(board, answers)
        verdicts = exchange(board, answers, b"".join(captured), len(captured))
        assert [v.violation_type for v in verdicts] == ["authentication_failure"] * 6
        fresh = MorvBoundary(rate_limit=10**6, hmac_key=session_key(emulator.FIRMWARE_KEY, third))
        command = wire.encode_command(2, 1.0, 0.5, fresh.authorize_action(2, 1.0, 0.5).receipt_hash)
        assert exchange(board, answers, command, 1) == [wire.Verdict(1, 2, "")]
    assert len({first, second, third}) == 3
