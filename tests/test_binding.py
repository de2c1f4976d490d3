"""Argument parsing, conversions and error wording shared by every callable."""

import array
import math

import pytest
from helpers import FloatLike, IndexLike, growth
from morvex._morvex import Governor, MonotonicCounter

GOV = Governor(0.0, 10.0)


def raises(call, exc_type=TypeError):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: MonotonicCounter(1, 2),
            "MonotonicCounter.__new__() takes from 0 to 1 positional arguments but 2 were given",
        ),
        (
            lambda: GOV.project(1, 2),
            "Governor.project() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: Governor(1, 2, 3, min_bound=4),
            "Governor.__new__() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: GOV.project(1, u_desired=2),
            "Governor.project() got multiple values for argument 'u_desired'",
        ),
        (
            lambda: Governor(1, 2, min_bound=4),
            "Governor.__new__() got multiple values for argument 'min_bound'",
        ),
        (
            lambda: MonotonicCounter(start=1),
            "MonotonicCounter.__new__() got an unexpected keyword argument 'start'",
        ),
        (
            lambda: MonotonicCounter(zeta=1, alpha=2),
            "MonotonicCounter.__new__() got an unexpected keyword argument 'zeta'",
        ),
        (
            lambda: GOV.project(zeta=1, alpha=2),
            "Governor.project() got an unexpected keyword argument 'zeta'",
        ),
        (
            lambda: GOV.project(u_desired=1, extra=2),
            "Governor.project() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda: GOV.project_batch(U_VEC=[1.0]),
            "Governor.project_batch() got an unexpected keyword argument 'U_VEC'",
        ),
        (
            lambda: Governor(),
            "Governor.__new__() missing 2 required positional arguments: 'min_bound' and 'max_bound'",
        ),
        (
            lambda: Governor(max_bound=1.0),
            "Governor.__new__() missing 1 required positional argument: 'min_bound'",
        ),
        (
            lambda: Governor(1.0),
            "Governor.__new__() missing 1 required positional argument: 'max_bound'",
        ),
        (
            lambda: GOV.project(),
            "Governor.project() missing 1 required positional argument: 'u_desired'",
        ),
        (
            # an unexpected keyword is reported before missing arguments
            lambda: Governor(bogus=1),
            "Governor.__new__() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_parsing_messages(call, message):
    assert str(raises(call)) == message


def test_keyword_that_is_not_utf8_is_unexpected():
    error = raises(lambda: MonotonicCounter(**{"\ud800": 1}))
    assert str(error) == "MonotonicCounter.__new__() got an unexpected keyword argument '\ud800'"


def test_keywords_equal_to_positional_behaviour():
    assert GOV.project(u_desired=3.0) == GOV.project(3.0)
    assert Governor(max_bound=2.0, min_bound=1.0).project(5) == 2.0
    assert MonotonicCounter(initial_value=41).next_value() == 42


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (True, 1.0), (FloatLike(2.5), 2.5), (IndexLike(4), 4.0), (2.0**-149, 2.0**-149)],
)
def test_float_conversion_accepts_numbers(value, expected):
    assert GOV.project(value) == expected


def test_float_conversion_failures():
    error = raises(lambda: Governor("0", 1.0))
    with pytest.raises(TypeError) as interpreter:
        math.sqrt("0")  # the interpreter's own float conversion
    assert str(error) == "argument 'min_bound': " + str(interpreter.value)
    # An int beyond the float range: the interpreter's OverflowError, not prefixed.
    with pytest.raises(OverflowError) as info:
        float(10**400)
    assert str(raises(lambda: Governor(10**400, 1.0), OverflowError)) == str(info.value)
    # max_bound is not looked at when min_bound fails.
    assert "min_bound" in str(raises(lambda: Governor(None, None)))


def test_argument_error_wraps_only_exact_type_error_and_keeps_cause():
    inner = ValueError("inner")
    outer = TypeError("outer")
    outer.__cause__ = inner
    error = raises(lambda: GOV.project(Raising(outer)))
    assert str(error) == "argument 'u_desired': outer"
    assert error.__cause__ is inner

    subclass = TypeErrorSubclass("kept")
    assert raises(lambda: GOV.project(Raising(subclass)), TypeErrorSubclass) is subclass

    other = ValueError("kept too")
    assert raises(lambda: GOV.project(Raising(other)), ValueError) is other


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1),
        (0, 0),
        (18446744073709551615, 18446744073709551615),
        (IndexLike(7), 7),
        (IndexLike(18446744073709551615), 18446744073709551615),
    ],
)
def test_u64_conversion_accepts(value, expected):
    assert MonotonicCounter(value).current_value() == expected


@pytest.mark.parametrize("value", [-1, 18446744073709551616, IndexLike(-5), IndexLike(2**64)])
def test_u64_conversion_overflow_is_not_prefixed(value):
    error = raises(lambda: MonotonicCounter(value), OverflowError)
    assert not str(error).startswith("argument")


@pytest.mark.parametrize(
    "value, interpreter_message",
    [
        (1.5, "'float' object cannot be interpreted as an integer"),
        (3.0, "'float' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
        ("7", "'str' object cannot be interpreted as an integer"),
    ],
)
def test_u64_conversion_type_errors(value, interpreter_message):
    error = raises(lambda: MonotonicCounter(value))
    assert str(error) == "argument 'initial_value': " + interpreter_message


class Sequenceish:
    """A sequence whose length fails and whose items come from __getitem__."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length today")

    def __getitem__(self, index):
        return self.items[index]


class FailingIteration(list):
    def __iter__(self):
        yield 1.0
        raise KeyError("iteration broke")


@pytest.mark.parametrize(
    "value, expected",
    [
        ([], []),
        ((-1.0, 0.5, 12.0), [0.0, 0.5, 10.0]),
        ([1, True, FloatLike(2.5)], [1.0, 1.0, 2.5]),
        (b"\x01\x0b", [1.0, 10.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (array.array("d", [0.25, 99.0]), [0.25, 10.0]),
        (Sequenceish([3.0, -4.0]), [3.0, 0.0]),
    ],
    ids=["empty", "tuple", "mixed", "bytes", "range", "array", "len-fails"],
)
def test_sequence_conversion_accepts(value, expected):
    assert GOV.project_batch(value) == expected


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'u_vec': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("x"), "argument 'u_vec': Can't extract `str` to `Vec`"),
        (5, "argument 'u_vec': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2.0}, "argument 'u_vec': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), "argument 'u_vec': 'generator' object cannot be converted to 'Sequence'"),
        ([1.0, "x"], "argument 'u_vec': must be real number, not str"),
    ],
)
def test_sequence_conversion_refusals(value, message):
    assert str(raises(lambda: GOV.project_batch(value))) == message


def test_downcast_error_names_the_qualified_type():
    class Inner:
        pass

    error = raises(lambda: GOV.project_batch(Inner()))
    assert str(error) == (
        f"argument 'u_vec': '{Inner.__qualname__}' object cannot be converted to 'Sequence'"
    )


def test_sequence_iteration_failure_passes_unchanged():
    error = raises(lambda: GOV.project_batch(FailingIteration([1.0, 2.0])), KeyError)
    assert error.args == ("iteration broke",)


def test_list_changed_during_conversion_is_read_like_its_iterator():
    class Growing:
        def __init__(self, owner):
            self.owner = owner

        def __float__(self):
            if len(self.owner) < 5:
                self.owner.append(7.0)
            return 1.0

    def make():
        items = [0.5]
        items.append(Growing(items))
        return items

    seen_by_iterator = [float(v) for v in make()]
    assert len(seen_by_iterator) == 3
    assert GOV.project_batch(make()) == seen_by_iterator


def test_receiver_of_another_type_is_refused():
    for call in (
        lambda: Governor.project(MonotonicCounter(), 1.0),
        lambda: MonotonicCounter.next_value(5),
    ):
        error = raises(call)
        assert "int" in str(error) or "MonotonicCounter" in str(error)


def test_failing_and_succeeding_calls_do_not_leak():
    def cycle():
        for _ in range(2000):
            GOV.project(1.0)
            GOV.project_batch([1.0, 2.0, 3.0])
            MonotonicCounter(3).next_value()
            for bad in (
                lambda: GOV.project("x"),
                lambda: GOV.project_batch([1.0, "x"]),
                lambda: GOV.project_batch("x"),
                lambda: Governor(1.0, 1.0),
                lambda: Governor(zz=1),
                lambda: MonotonicCounter(-1),
                lambda: GOV.project(Raising(TypeError("x"))),
            ):
                try:
                    bad()
                except (TypeError, ValueError, OverflowError):
                    pass

    assert growth(cycle, times=5) < 200
