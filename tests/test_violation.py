"""MorvViolation: the refusal exception and its three fields."""

import random
import struct
from decimal import Decimal

import pytest
from morvex import MorvBoundary, MorvViolation


def test_defaults():
    e = MorvViolation()
    assert (e.axis, e.violation_type, e.message, e.args) == (0, "", "", ())
    assert str(e) == "MorvViolation(axis=0, violation_type=): "


def test_positional_construction():
    e = MorvViolation(-3, "velocity_exceeded", "x")
    assert e.args == (-3, "velocity_exceeded", "x")
    assert str(e) == "MorvViolation(axis=-3, violation_type=velocity_exceeded): x"
    assert repr(e) == "MorvViolation(-3, 'velocity_exceeded', 'x')"
    assert isinstance(e, Exception)


def test_texts_are_kept_verbatim():
    e = MorvViolation(2147483647, "a'b\x00c", "é\n\"quoted\"")
    assert (e.violation_type, e.message) == ("a'b\x00c", "é\n\"quoted\"")
    assert str(e) == "MorvViolation(axis=2147483647, violation_type=a'b\x00c): é\n\"quoted\""


def test_keywords_are_refused_by_the_inherited_initialiser():
    with pytest.raises(TypeError):
        MorvViolation(axis=1)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((2**31,), OverflowError, "out of range integral type conversion attempted"),
        ((0, 5), TypeError, "argument 'violation_type': 'int' object cannot be converted to 'PyString'"),
        ((0, "t", b"m"), TypeError, "argument 'message': 'bytes' object cannot be converted to 'PyString'"),
        ((0, "\ud800"), UnicodeEncodeError, None),
        ((0, "a", "b", "c"), TypeError,
         "MorvViolation.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    ],
)
def test_constructor_refusals(args, exc_type, message):
    with pytest.raises(exc_type) as info:
        MorvViolation(*args)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_attributes_are_read_only_and_class_is_final():
    e = MorvViolation(1, "t", "m")
    for name in ("axis", "violation_type", "message"):
        with pytest.raises(AttributeError):
            setattr(e, name, 2)
    with pytest.raises(TypeError):
        type("Sub", (MorvViolation,), {})
    assert MorvViolation.__module__ == "builtins"


def test_can_be_raised_and_chained_from_python():
    with pytest.raises(MorvViolation) as info:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise MorvViolation(4, "custom", "text") from inner
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.axis == 4


def positional(x):
    """Python's shortest repr, rewritten without an exponent (the oracle)."""
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def random_doubles(count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        kind = rng.random()
        if kind < 0.6:  # any bit pattern: every magnitude, subnormals, NaN, inf
            yield struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        elif kind < 0.8:  # short decimals
            yield float(f"{rng.randint(-10**6, 10**6)}e{rng.randint(-30, 30)}")
        else:  # integers and halves near the limits of exact representation
            yield float(rng.randint(-(2**60), 2**60)) / rng.choice([1, 2, 1024])


def test_refusal_numbers_are_shortest_positional_decimals():
    refuse_all = MorvBoundary(max_velocity_rad_s=-1.0)
    checked = 0
    for x in random_doubles(300_000, seed=1):
        try:
            refuse_all.authorize_action(0, 0.0, x)
        except MorvViolation as e:
            shown = e.message[len("commanded_velocity "):-len(" rad/s exceeds max_velocity_rad_s -1 rad/s")]
            assert shown == positional(x), repr(x)
            checked += 1
    assert checked == 300_000


@pytest.mark.parametrize("x", [5.0, 4.18, -7.5, 0.1, 1e-7, 1e21, -0.0, 0.0, 5e-324,
                               1.7976931348623157e308, 123456789012345680.0, 0.3, 2.5e-5])
def test_limit_is_formatted_the_same_way(x):
    boundary = MorvBoundary(max_velocity_rad_s=x)
    with pytest.raises(MorvViolation) as info:
        boundary.authorize_action(0, 0.0, float("inf"))
    assert info.value.message.endswith(f" exceeds max_velocity_rad_s {positional(x)} rad/s")


def test_raised_refusal_goes_through_a_replaced_initialiser():
    seen = []

    def recording_init(self, *args):
        seen.append(args)
        Exception.__init__(self, *args)

    MorvViolation.__init__ = recording_init
    try:
        with pytest.raises(MorvViolation) as info:
            MorvBoundary().authorize_action(5, 0.0, 100.0)
    finally:
        del MorvViolation.__init__
    expected = (5, "velocity_exceeded",
                "commanded_velocity 100 rad/s exceeds max_velocity_rad_s 4.18 rad/s")
    assert seen == [expected]
    assert info.value.args == expected and info.value.axis == 5
