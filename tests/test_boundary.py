"""MorvBoundary: velocity and rate refusals, signed receipts, replay memory."""

import gc
import struct
import time

import pytest
from authority import DEFAULT_KEY, expected_receipt_tag
from helpers import growth
from morvex import MorvBoundary, MorvReceipt, MorvViolation

KEY_A = bytes(range(32))
KEY_B = bytes(range(100, 132))


def refusal(call):
    with pytest.raises(MorvViolation) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "axis, position, velocity",
    [(0, 0.0, 4.18), (2, 0.5, -1.0), (-2147483648, 1e300, 0.0), (2147483647, -0.0, -4.18),
     (7, float("nan"), 1e-300), (-1, float("inf"), 3.0)],
)
@pytest.mark.parametrize("key", [None, KEY_A, KEY_B], ids=["default", "key_a", "key_b"])
def test_receipt_tag_matches_independent_hmac(axis, position, velocity, key):
    boundary = MorvBoundary() if key is None else MorvBoundary(hmac_key=key)
    before = time.time_ns()
    receipt = boundary.authorize_action(axis, position, velocity)
    after = time.time_ns()
    signing_key = DEFAULT_KEY if key is None else key
    raw = receipt.receipt_hash
    assert type(raw) is bytes and len(raw) == 60
    assert raw[28:] == expected_receipt_tag(signing_key, receipt, axis, position, velocity)
    timestamp, sequence = struct.unpack("<QQ", raw[12:28])
    assert (timestamp, sequence) == (receipt.timestamp_nanos, receipt.sequence_id)
    assert before <= receipt.timestamp_nanos <= after
    assert receipt.is_authorized is True and receipt.sequence_id == 1
    assert receipt.verify(signing_key) is True
    assert receipt.verify(signing_key) is True
    other = KEY_B if signing_key != KEY_B else KEY_A
    assert receipt.verify(other) is False


def test_keyless_boundaries_share_the_default_key():
    r1 = MorvBoundary().authorize_action(1, 0.0, 0.0)
    r2 = MorvBoundary(hmac_key=None).authorize_action(1, 0.0, 0.0)
    assert r1.verify(DEFAULT_KEY) and r2.verify(DEFAULT_KEY)
    assert r1.receipt_hash[:12] != r2.receipt_hash[:12]  # fresh nonces
    assert not MorvBoundary(hmac_key=KEY_A).authorize_action(1, 0.0, 0.0).verify(DEFAULT_KEY)


def test_velocity_limit_is_inclusive():
    boundary = MorvBoundary()
    assert boundary.authorize_action(0, 0.0, 4.18).is_authorized
    assert boundary.authorize_action(0, 0.0, -4.18).is_authorized
    error = refusal(lambda: boundary.authorize_action(0, 0.0, -4.19))
    assert error.args == (
        0,
        "velocity_exceeded",
        "commanded_velocity -4.19 rad/s exceeds max_velocity_rad_s 4.18 rad/s",
    )
    assert (error.axis, error.violation_type) == (0, "velocity_exceeded")


@pytest.mark.parametrize(
    "limit, velocity, shown",
    [
        (4.18, 5, "commanded_velocity 5 rad/s exceeds max_velocity_rad_s 4.18 rad/s"),
        (4.18, float("inf"), "commanded_velocity inf rad/s exceeds max_velocity_rad_s 4.18 rad/s"),
        (4.18, -1e300, "commanded_velocity -1" + "0" * 300 + " rad/s exceeds max_velocity_rad_s 4.18 rad/s"),
        (-1.0, 0.0, "commanded_velocity 0 rad/s exceeds max_velocity_rad_s -1 rad/s"),
        (-1.0, -0.0, "commanded_velocity -0 rad/s exceeds max_velocity_rad_s -1 rad/s"),
        (1e-7, 2e-7, "commanded_velocity 0.0000002 rad/s exceeds max_velocity_rad_s 0.0000001 rad/s"),
        # A NaN never passes, whichever side it is on, whatever its sign bit.
        (4.18, float("nan"), "commanded_velocity NaN rad/s exceeds max_velocity_rad_s 4.18 rad/s"),
        (4.18, -float("nan"), "commanded_velocity NaN rad/s exceeds max_velocity_rad_s 4.18 rad/s"),
        (float("nan"), 0.0, "commanded_velocity 0 rad/s exceeds max_velocity_rad_s NaN rad/s"),
        (float("nan"), float("nan"), "commanded_velocity NaN rad/s exceeds max_velocity_rad_s NaN rad/s"),
    ],
)
def test_velocity_refusals(limit, velocity, shown):
    boundary = MorvBoundary(max_velocity_rad_s=limit)
    error = refusal(lambda: boundary.authorize_action(2, 1.0, velocity))
    assert error.args == (2, "velocity_exceeded", shown)
    assert str(error) == f"MorvViolation(axis=2, violation_type=velocity_exceeded): {shown}"


def test_velocity_refusal_touches_no_state():
    boundary = MorvBoundary(rate_limit=1)
    for _ in range(5):
        refusal(lambda: boundary.authorize_action(0, 0.0, 10.0))
    receipt = boundary.authorize_action(0, 0.0, 1.0)
    assert receipt.sequence_id == 1


def test_infinite_limit_admits_finite_and_infinite_speeds():
    boundary = MorvBoundary(max_velocity_rad_s=float("inf"))
    assert boundary.authorize_action(0, 0.0, 1e308).is_authorized
    assert boundary.authorize_action(0, 0.0, -float("inf")).is_authorized


def test_refusal_is_caught_as_exception():
    try:
        MorvBoundary().authorize_action(3, 0.0, 99.0)
    except Exception as error:  # noqa: BLE001
        assert isinstance(error, MorvViolation)
        assert repr(error) == (
            "MorvViolation(3, 'velocity_exceeded', "
            "'commanded_velocity 99 rad/s exceeds max_velocity_rad_s 4.18 rad/s')"
        )
    else:
        pytest.fail("not refused")


def within_one_window(boundary_factory, calls):
    """Runs calls right after construction; None when the machine was too slow to judge."""
    start = time.monotonic()
    boundary = boundary_factory()
    results = []
    for _ in range(calls):
        try:
            results.append(boundary.authorize_action(1, 0.0, 0.0).sequence_id)
        except MorvViolation as error:
            results.append(error.violation_type)
    if time.monotonic() - start > 0.5:
        return None
    return results


def test_rate_limit_within_the_first_second():
    results = within_one_window(lambda: MorvBoundary(rate_limit=3), 6)
    if results is None:
        pytest.skip("machine too slow to stay inside one rate window")
    assert results == [1, 2, 3, "rate_limited", "rate_limited", "rate_limited"]


def test_rate_limit_zero_admits_nothing():
    results = within_one_window(lambda: MorvBoundary(rate_limit=0), 3)
    if results is None:
        pytest.skip("machine too slow to stay inside one rate window")
    assert results == ["rate_limited"] * 3


def test_rate_refusal_message():
    boundary = MorvBoundary(rate_limit=0)
    error = refusal(lambda: boundary.authorize_action(-7, 0.0, 0.0))
    assert error.args == (-7, "rate_limited", "action rate limit exceeded")


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"hmac_key": b"x" * 31}, ValueError, "hmac_key must be exactly 32 bytes"),
        ({"hmac_key": b"x" * 33}, ValueError, "hmac_key must be exactly 32 bytes"),
        ({"hmac_key": b""}, ValueError, "hmac_key must be exactly 32 bytes"),
        ({"hmac_key": bytearray(32)}, TypeError,
         "argument 'hmac_key': 'bytearray' object cannot be converted to 'PyBytes'"),
        ({"hmac_key": "k" * 32}, TypeError,
         "argument 'hmac_key': 'str' object cannot be converted to 'PyBytes'"),
        ({"rate_limit": 1.0}, TypeError,
         "argument 'rate_limit': 'float' object cannot be interpreted as an integer"),
        ({"max_velocity_rad_s": "fast"}, TypeError,
         "argument 'max_velocity_rad_s': must be real number, not str"),
        ({"monotonic_window_size": None}, TypeError,
         "argument 'monotonic_window_size': 'NoneType' object cannot be interpreted as an integer"),
        ({"rate_limit": 1, "speed": 2}, TypeError,
         "MorvBoundary.__new__() got an unexpected keyword argument 'speed'"),
    ],
)
def test_constructor_refusals(kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        MorvBoundary(**kwargs)
    assert type(info.value) is exc_type and str(info.value) == message


@pytest.mark.parametrize("kwargs", [{"rate_limit": -1}, {"monotonic_window_size": -1},
                                    {"rate_limit": 2**64}])
def test_constructor_unsigned_overflow(kwargs):
    with pytest.raises(OverflowError):
        MorvBoundary(**kwargs)


def test_constructor_positional_and_extremes():
    assert MorvBoundary(5, 1.0, 0, KEY_A).authorize_action(0, 0.0, 1.0).verify(KEY_A)
    assert MorvBoundary(2**64 - 1, monotonic_window_size=2**64 - 1).authorize_action(0, 0, 0)
    assert MorvBoundary(hmac_key=type("K", (bytes,), {})(KEY_A)).authorize_action(0, 0, 0).verify(KEY_A)
    with pytest.raises(TypeError, match=r"takes from 0 to 4 positional arguments but 5 were given"):
        MorvBoundary(1, 2.0, 3, KEY_A, 5)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((2**31, 0.0, 0.0), OverflowError, "out of range integral type conversion attempted"),
        ((-(2**31) - 1, 0.0, 0.0), OverflowError, "out of range integral type conversion attempted"),
        ((1.0, 0.0, 0.0), TypeError,
         "argument 'target_axis': 'float' object cannot be interpreted as an integer"),
        ((0, "x", 0.0), TypeError, "argument 'requested_position': must be real number, not str"),
        ((0, 0.0, None), TypeError,
         "argument 'commanded_velocity': must be real number, not NoneType"),
        ((), TypeError, "MorvBoundary.authorize_action() missing 3 required positional arguments: "
                        "'target_axis', 'requested_position', and 'commanded_velocity'"),
        ((0,), TypeError, "MorvBoundary.authorize_action() missing 2 required positional "
                          "arguments: 'requested_position' and 'commanded_velocity'"),
    ],
)
def test_authorize_argument_errors(args, exc_type, message):
    with pytest.raises(exc_type) as info:
        MorvBoundary().authorize_action(*args)
    assert type(info.value) is exc_type and str(info.value) == message


def test_keywords_and_sequence_without_gaps():
    boundary = MorvBoundary(rate_limit=3, hmac_key=KEY_A)
    ids = [boundary.authorize_action(target_axis=4, commanded_velocity=0.5,
                                     requested_position=1.25).sequence_id for _ in range(3)]
    for _ in range(3):
        try:
            boundary.authorize_action(4, 1.25, 0.5)
        except MorvViolation:
            pass
    assert ids == [1, 2, 3]


def test_two_boundaries_are_independent():
    a, b = MorvBoundary(hmac_key=KEY_A), MorvBoundary(hmac_key=KEY_B)
    ra = [a.authorize_action(0, 0.0, 0.0) for _ in range(3)]
    rb = b.authorize_action(0, 0.0, 0.0)
    assert [r.sequence_id for r in ra] == [1, 2, 3] and rb.sequence_id == 1
    assert rb.verify(KEY_B) and not rb.verify(KEY_A)


def test_receipts_outlive_their_boundary():
    receipt = MorvBoundary(hmac_key=KEY_A).authorize_action(9, 1.0, 2.0)
    gc.collect()
    assert receipt.verify(KEY_A)


def test_many_authorizations_do_not_leak():
    boundary = MorvBoundary(rate_limit=2**64 - 1, hmac_key=KEY_A)
    slow = MorvBoundary(rate_limit=0)

    def cycle(n):
        for i in range(n):
            r = boundary.authorize_action(i % 5, 0.5, 1.0)
            r.verify(KEY_A)
            r.receipt_hash  # noqa: B018
            for bad in (lambda: boundary.authorize_action(0, 0.0, 9.0),
                        lambda: slow.authorize_action(0, 0.0, 0.0)):
                try:
                    bad()
                except MorvViolation:
                    pass

    assert growth(lambda: cycle(100_000), warm_up=lambda: cycle(2000)) < 500


def test_receipt_class_cannot_be_built_or_changed():
    receipt = MorvBoundary().authorize_action(0, 0.0, 0.0)
    for call in (lambda: MorvReceipt(), lambda: MorvReceipt(1, key=2)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "No constructor defined for MorvReceipt"
    with pytest.raises(AttributeError):
        receipt.sequence_id = 5
    with pytest.raises(AttributeError):
        receipt.note = "x"


def test_verify_arguments():
    receipt = MorvBoundary(hmac_key=KEY_A).authorize_action(0, 0.0, 0.0)
    assert receipt.verify(key=KEY_A) is True
    assert receipt.verify(KEY_A[:31]) is False
    assert receipt.verify(KEY_A + b"\x00") is False
    for bad, name in ((bytearray(KEY_A), "bytearray"), ("k" * 32, "str"), (memoryview(KEY_A), "memoryview")):
        with pytest.raises(TypeError) as info:
            receipt.verify(bad)
        assert str(info.value) == f"argument 'key': '{name}' object cannot be converted to 'PyBytes'"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'key'"):
        receipt.verify()
    with pytest.raises(TypeError):
        MorvReceipt.verify(MorvBoundary(), KEY_A)
