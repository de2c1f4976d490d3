"""ReceiptGate: a command is accepted only with a receipt issued for exactly that command,
under the gate's key, once, in order, and fresh when a maximum age is set."""

import random
import struct
import threading
import time

import pytest
from authority import DEFAULT_KEY, tag
from morvex import MorvBoundary, MorvViolation, ReceiptGate

KEY = bytes(range(32))
INF = float("inf")


def refused(call):
    with pytest.raises(MorvViolation) as info:
        call()
    return info.value.violation_type


def forged(key, sequence_id, timestamp_nanos, axis=1, position=0.5, velocity=0.25, nonce=None):
    """A receipt signed here, with Python's hmac, for any timestamp and sequence id."""
    nonce = nonce if nonce is not None else random.randbytes(12)
    head = nonce + struct.pack("<QQ", timestamp_nanos, sequence_id)
    return head + tag(key, nonce, timestamp_nanos, sequence_id, b"axis_%d" % axis,
                      struct.pack("<dd", position, velocity))


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def test_class_surface():
    assert ReceiptGate.__text_signature__ == "(hmac_key=None, last_sequence_id=0, max_age_s=None)"
    assert ReceiptGate.check.__text_signature__ == (
        "($self, receipt_hash, target_axis, requested_position, commanded_velocity)")
    assert ReceiptGate().last_sequence_id == 0
    with pytest.raises(AttributeError):
        ReceiptGate().last_sequence_id = 5


# Receipts from a boundary are accepted for exactly their command; any one-bit change of
# the receipt or any change of the command is refused and leaves the gate as it was (the
# genuine receipt presented afterwards is still accepted, and only then recorded).
@pytest.mark.parametrize("seed", range(6))
def test_accepts_exactly_the_command_it_was_issued_for(seed):
    rng = random.Random(seed)
    key = None if seed == 0 else rng.randbytes(32)
    boundary = MorvBoundary(rate_limit=10**6, max_velocity_rad_s=INF, hmac_key=key)
    gate = ReceiptGate(hmac_key=key, max_age_s=60.0 if seed % 2 else None)
    values = [0.0, -0.0, 5e-324, -2.2e-308, 1.5, -1e300, INF, -INF, from_bits(0x7FF0_0000_0000_0000 | (seed + 1))]
    for _ in range(12):
        axis = rng.choice([0, 1, -1, 7, 2**31 - 1, -(2**31), rng.randrange(-(2**31), 2**31)])
        position, velocity = rng.choice(values), rng.choice(values[:-1])
        receipt = boundary.authorize_action(axis, position, velocity)
        raw, before = receipt.receipt_hash, gate.last_sequence_id
        flipped = bytearray(raw)
        flipped[rng.randrange(60)] ^= 1 << rng.randrange(8)
        other = rng.choice([v for v in values[:-1] if bits(v) != bits(velocity)])
        for presented in [(bytes(flipped), axis, position, velocity),
                          (raw, axis ^ 1, position, velocity),
                          (raw, axis, from_bits(bits(position) ^ 1), velocity),
                          (raw, axis, position, other)]:
            assert refused(lambda: gate.check(*presented)) == "authentication_failure"
            assert gate.last_sequence_id == before
        assert gate.check(raw, axis, position, velocity) == receipt.sequence_id
        assert gate.last_sequence_id == receipt.sequence_id
        assert refused(lambda: gate.check(raw, axis, position, velocity)) == "replay_counter"


def test_order_replay_and_restart():
    now = time.time_ns()
    gate = ReceiptGate(hmac_key=KEY)
    first, fifth, third = (forged(KEY, s, now) for s in (1, 5, 3))
    assert gate.check(first, 1, 0.5, 0.25) == 1
    assert gate.check(fifth, 1, 0.5, 0.25) == 5
    assert refused(lambda: gate.check(third, 1, 0.5, 0.25)) == "replay_counter"
    reused = forged(KEY, 6, now, nonce=fifth[:12])
    assert refused(lambda: gate.check(reused, 1, 0.5, 0.25)) == "replay_nonce"
    # Authenticity comes first: a forged replay does not reveal the replay state.
    assert refused(lambda: gate.check(forged(bytes(32), 1, now), 1, 0.5, 0.25)) == (
        "authentication_failure")
    # A gate restarted with the persisted id refuses everything accepted before.
    restarted = ReceiptGate(KEY, gate.last_sequence_id)
    for old in (first, fifth):
        assert refused(lambda: restarted.check(old, 1, 0.5, 0.25)) == "replay_counter"
    assert restarted.check(forged(KEY, 2**64 - 1, now), 1, 0.5, 0.25) == 2**64 - 1


def test_maximum_age_in_both_directions():
    gate = ReceiptGate(hmac_key=KEY, max_age_s=5.0)
    now = time.time_ns()
    for offset in (-60 * 10**9, 60 * 10**9, -(2**62), 2**63):
        stale = forged(KEY, 1, max(0, min(now + offset, 2**64 - 1)))
        assert refused(lambda: gate.check(stale, 1, 0.5, 0.25)) == "stale_receipt"
    assert gate.last_sequence_id == 0
    assert gate.check(forged(KEY, 1, now + 10**9), 1, 0.5, 0.25) == 1
    assert gate.check(forged(KEY, 2, now - 10**9), 1, 0.5, 0.25) == 2
    # Without a maximum age any timestamp passes.
    assert ReceiptGate(hmac_key=KEY).check(forged(KEY, 1, 0), 1, 0.5, 0.25) == 1


def test_trial_key_and_shared_between_threads():
    boundary, gate = MorvBoundary(rate_limit=10**6), ReceiptGate()
    receipts = [boundary.authorize_action(3, 0.0, 1.0).receipt_hash for _ in range(400)]
    assert DEFAULT_KEY == tag(bytes(32), bytes(12), 0, 0, b"morvex default key: trials only",
                              bytes(16))
    accepted = []

    def present():
        for raw in receipts:
            try:
                accepted.append(gate.check(raw, 3, 0.0, 1.0))
            except MorvViolation as refusal:
                assert refusal.violation_type in ("replay_counter", "replay_nonce")

    threads = [threading.Thread(target=present) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(accepted) == len(set(accepted)) and gate.last_sequence_id == 400


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"hmac_key": b"short"}, ValueError, "hmac_key must be exactly 32 bytes"),
        ({"hmac_key": "x" * 32}, TypeError, None),
        ({"last_sequence_id": -1}, OverflowError, None),
        ({"last_sequence_id": 2**64}, OverflowError, None),
        ({"max_age_s": 0.0}, ValueError, "max_age_s must be a positive number of seconds or None"),
        ({"max_age_s": -1}, ValueError, "max_age_s must be a positive number of seconds or None"),
        ({"max_age_s": float("nan")}, ValueError,
         "max_age_s must be a positive number of seconds or None"),
        ({"max_age_s": "1"}, TypeError, None),
    ],
)
def test_constructor_refusals(kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        ReceiptGate(**kwargs)
    assert type(info.value) is exc_type and (message is None or str(info.value) == message)


@pytest.mark.parametrize(
    "args, exc_type",
    [
        ((b"\0" * 59, 1, 0.5, 0.25), MorvViolation),
        ((b"\0" * 61, 1, 0.5, 0.25), MorvViolation),
        ((bytearray(60), 1, 0.5, 0.25), TypeError),
        ((None, 1, 0.5, 0.25), TypeError),
        ((b"\0" * 60, 2**31, 0.5, 0.25), OverflowError),
        ((b"\0" * 60, 1.0, 0.5, 0.25), TypeError),
        ((b"\0" * 60, 1, "x", 0.25), TypeError),
        ((b"\0" * 60, 1, 0.5), TypeError),
    ],
)
def test_bad_arguments_change_nothing(args, exc_type):
    gate = ReceiptGate(hmac_key=KEY)
    genuine = forged(KEY, 1, time.time_ns())
    with pytest.raises(exc_type) as info:
        gate.check(*args)
    if exc_type is MorvViolation:
        assert (info.value.axis, info.value.violation_type, info.value.message) == (
            1, "invalid_receipt", "receipt is malformed")
    assert gate.last_sequence_id == 0 and gate.check(genuine, 1, 0.5, 0.25) == 1


# The demo's actuator side in process, and in the reference firmware under QEMU (which
# has no clock, so the late frame falls to the sequence rule instead of the maximum age).
@pytest.mark.parametrize("firmware", [False, True], ids=["in-process", "firmware"])
def test_demo_refuses_every_injected_fault(tmp_path, firmware):
    import subprocess
    import sys
    from pathlib import Path

    examples = Path(__file__).resolve().parents[1] / "examples"
    if firmware:
        sys.path.insert(0, str(examples / "firmware"))
        import emulator

        if emulator.missing_tools():
            pytest.skip(f"missing: {emulator.missing_tools()}")
    out = subprocess.run([sys.executable, str(examples / "controller_demo.py"), "--no-pace",
                          "--seconds", "1.2", "--plot", str(tmp_path / "arm.png")]
                         + ["--firmware"] * firmware,
                         check=True, capture_output=True, text=True, timeout=120).stdout
    for source, outcome in [("in-flight change", "authentication_failure"),
                            ("other-joint receipt", "authentication_failure"),
                            ("late delivery", "replay_counter" if firmware else "stale_receipt"),
                            ("replay", "replay_counter"),
                            ("over-speed", "velocity_exceeded"),
                            ("line noise", "dropped by the actuator: corrupt frame")]:
        assert any(source in line and outcome in line for line in out.splitlines()), source
    assert "accepted" not in out
