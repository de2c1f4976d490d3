#!/usr/bin/env python3
"""Drives every Python callable of morvex._morvex with arbitrary arguments.

Each input decodes into a small program: a list of calls (constructors of the
five classes, their methods called through the class with any receiver, the
property getters and setters, str/repr of MorvViolation), each with an argument
tuple and a keyword dict built from the input: ints of every size, floats
including NaN and infinities, str including lone surrogates, bytes, bytearray,
memoryview, None, lists, tuples, dicts, subclasses of the built-in types,
instances of this module's classes, and helper objects whose __float__,
__index__, __len__ or __iter__ raise, return the wrong type or mutate what is
being read. The program is run on fresh objects and every call is checked:

- it raises only TypeError, OverflowError, ValueError, UnicodeEncodeError or
  MorvViolation (AttributeError from a property setter), or an exception of a
  helper object passing through unchanged; a helper's exact TypeError never
  comes out unwrapped, it becomes the argument error "argument '<name>': ...";
- it leaks no reference: the reference count of every argument (and of the
  items of argument lists and tuples) is the same after the call;
- it leaks no memory: every 16th program is replayed and sys.getallocatedblocks()
  must not grow with the number of replays;
- its result is right where that is cheap to know: projections against a
  float32 clamp, counter values, receipt sequence ids and verification, and
  violation attributes.

A crash of the process (a segfault or a sanitizer report) ends the run too.

Run under atheris (libFuzzer options as arguments, e.g. -max_total_time=60
CORPUS_DIR), or, where atheris is not installed or with --plain SECONDS, on
random inputs for that long.
"""

from __future__ import annotations

import math
import os
import random
import struct
import sys
import time
import types
import warnings
from pathlib import Path

try:
    import atheris
except ImportError:  # pragma: no cover - exercised where atheris is missing
    atheris = None

import morvex._morvex as m

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from helpers import FloatLike, IndexLike, blocks_after_gc, parameter_names, tracing  # noqa: E402

# A __float__ returning a float subclass warns; warnings are not what is tested.
warnings.simplefilter("ignore")

KEY = bytes(range(32))
OTHER_KEY = bytes(range(1, 33))
U64 = 2**64
ALLOWED = (TypeError, OverflowError, ValueError, UnicodeEncodeError, m.MorvViolation)
# What every class and method declares, read from the module itself.
CLASSES = [getattr(m, name) for name in m.__all__ if name != "__version__"]
PARAMS = {cls.__name__: parameter_names(cls) for cls in CLASSES}
PARAMS.update(
    (name, parameter_names(attr))
    for cls in CLASSES
    for name, attr in vars(cls).items()
    if isinstance(attr, types.MethodDescriptorType)
)
PROPERTIES = {
    cls.__name__: names
    for cls in CLASSES
    if (
        names := [
            name
            for name, attr in vars(cls).items()
            if isinstance(attr, types.GetSetDescriptorType) and not name.startswith("__")
        ]
    )
}


class Failure(AssertionError):
    """A property of the module was violated."""


# ---------------------------------------------------------------------------
# Reading the input


class Input:
    """The fuzz input as a stream; past the end every read yields zeros."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def u8(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def empty(self) -> bool:
        return self.pos >= len(self.data)


INTERESTING_INTS = [
    0,
    1,
    -1,
    2,
    3,
    255,
    256,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32,
    2**53 + 1,
    2**63 - 1,
    2**63,
    2**64 - 1,
    2**64,
    -(2**63),
    -(2**64),
    10**400,
    -(10**400),
    1000,
    64,
]
INTERESTING_FLOATS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    1.5,
    2.0,
    4.18,
    -4.18,
    4.19,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    1e-45,
    5e-324,
    3.4028234663852886e38,
    3.4028235677973366e38,
    1e39,
    -1e39,
    1.7976931348623157e308,
    0.1,
    1e300,
]
INTERESTING_TEXT = [
    "",
    "a",
    "axis_1",
    "\ud800",
    "x\udfffy",
    "é",
    "\0",
    "u_desired",
    "ключ",
    "😀" * 3,
]
HELPER_KINDS = 14


def decode_value(inp: Input, depth: int = 0):
    """A value description (nested tuples), materialized later on fresh objects."""
    kind = inp.u8() % 20
    if kind == 0:
        return ("int", INTERESTING_INTS[inp.u8() % len(INTERESTING_INTS)])
    if kind == 1:
        n = inp.u8() % 20
        return ("int", int.from_bytes(inp.take(n), "little", signed=True))
    if kind == 2:
        return ("float", INTERESTING_FLOATS[inp.u8() % len(INTERESTING_FLOATS)])
    if kind == 3:
        return ("float", struct.unpack("<d", inp.take(8))[0])
    if kind == 4:
        return ("float", float(inp.u8() - 128) / 8.0)
    if kind == 5:
        return ("str", INTERESTING_TEXT[inp.u8() % len(INTERESTING_TEXT)])
    if kind == 6:
        raw = inp.take(inp.u8() % 24)
        return (
            "str",
            raw.decode("utf-16-le", "surrogatepass")
            if len(raw) % 2 == 0
            else raw.decode("latin-1"),
        )
    if kind == 7:
        n = (32, 31, 33, 0, 60, 1)[inp.u8() % 6]
        return ("bytes", inp.take(n), inp.u8() % 4)  # bytes, bytearray, memoryview, bytes subclass
    if kind == 8:
        return ("none",)
    if kind == 9:
        return ("bool", bool(inp.u8() & 1))
    if kind in (10, 11) and depth < 2:
        n = inp.u8() % 6
        items = [decode_value(inp, depth + 1) for _ in range(n)]
        return (
            "list" if kind == 10 else "tuple",
            items,
            inp.u8() % 3,
        )  # exact, subclass, range-like
    if kind == 12 and depth < 2:
        n = inp.u8() % 3
        return (
            "dict",
            [(decode_value(inp, depth + 1), decode_value(inp, depth + 1)) for _ in range(n)],
        )
    if kind in (13, 14, 15):
        return (
            "helper",
            inp.u8() % HELPER_KINDS,
            inp.u8(),
            decode_value(inp, depth + 1) if depth < 2 else ("none",),
        )
    if kind == 16:
        return ("pool", inp.u8())
    if kind == 17:
        return ("subclass", inp.u8() % 4, decode_value(inp, depth + 1) if depth < 2 else ("int", 1))
    if kind == 18:
        return ("object",)
    return ("float", INTERESTING_FLOATS[inp.u8() % len(INTERESTING_FLOATS)])


TARGETS = (
    "Governor",
    "MonotonicCounter",
    "MorvBoundary",
    "MorvViolation",
    "MorvReceipt",
    "project",
    "project_batch",
    "next_value",
    "current_value",
    "authorize_action",
    "verify",
    "get_property",
    "str_violation",
    "set_property",
    "project_plain",
)


def decode_program(data: bytes):
    inp = Input(data)
    setup = inp.u8()
    calls = []
    while not inp.empty() and len(calls) < 12:
        target = TARGETS[inp.u8() % len(TARGETS)]
        receiver = ("pool", inp.u8()) if inp.u8() % 8 else decode_value(inp)
        nargs = inp.u8() % 5
        args = [decode_value(inp) for _ in range(nargs)]
        nkw = inp.u8() % 4
        kwargs = []
        for _ in range(nkw):
            k = inp.u8()
            if k < 200:
                name = ("param", k)
            else:
                name = decode_value(inp)
            kwargs.append((name, decode_value(inp)))
        calls.append((target, receiver, args, kwargs, inp.u8()))
    return setup, calls


# ---------------------------------------------------------------------------
# Helper objects


def helper_exception(code: int) -> BaseException:
    cls = (HelperError, TypeError, HelperTypeError, ValueError, OverflowError, KeyError)[code % 6]
    exc = cls(f"helper {code}")
    exc.from_helper = True
    return exc


class HelperError(Exception):
    """Raised by helper objects; must pass through the module unchanged."""


class HelperTypeError(TypeError):
    """A TypeError subclass: not wrapped as an argument error."""


class FloatRaises:
    def __init__(self, code):
        self.code = code

    def __float__(self):
        raise helper_exception(self.code)


class IndexRaises:
    def __init__(self, code):
        self.code = code

    def __index__(self):
        raise helper_exception(self.code)


class BothReturn(FloatLike):
    def __index__(self):
        return self.value


class Sequenceish:
    """A sequence whose length and iteration may misbehave."""

    def __init__(self, items, code, length=None, fail_len=False, fail_iter_at=None):
        self.items = items
        self.code = code
        self.length = length
        self.fail_len = fail_len
        self.fail_iter_at = fail_iter_at

    def __len__(self):
        if self.fail_len:
            raise helper_exception(self.code)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for k, item in enumerate(self.items):
            if self.fail_iter_at is not None and k == self.fail_iter_at:
                raise helper_exception(self.code)
            yield item
        if self.fail_iter_at is not None and self.fail_iter_at >= len(self.items):
            raise helper_exception(self.code)


class NotIterable:
    """PySequence_Check is true, but iterating raises."""

    def __init__(self, code):
        self.code = code

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise helper_exception(self.code)

    def __iter__(self):
        raise helper_exception(self.code)


class Clears:
    """As a list item: empties the list that holds it while being converted."""

    def __init__(self, holder):
        self.holder = holder

    def __float__(self):
        self.holder.clear()
        return 1.0


class BadStr(str):
    pass


class BadBytes(bytes):
    pass


class IntSub(int):
    def __index__(self):  # never consulted for an int subclass
        raise helper_exception(0)


class FloatSub(float):
    def __float__(self):  # never consulted for a float subclass
        raise helper_exception(0)


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


# ---------------------------------------------------------------------------
# Materializing a program on fresh objects


def fresh_str(text: str) -> str:
    return "".join([text[:1], text[1:]]) if len(text) > 1 else text


class World:
    """The objects of one run: a pool of instances and every value made."""

    def __init__(self, setup: int):
        self.governor = m.Governor(-1.5, 1.5)
        self.bounds = (-1.5, 1.5)
        self.counter = m.MonotonicCounter(U64 - 2 if setup & 1 else 0)
        rate = 3 if setup & 2 else 10**9
        self.boundary = m.MorvBoundary(rate_limit=rate, max_velocity_rad_s=2.0, hmac_key=KEY)
        self.boundary_key = KEY
        self.default_boundary = m.MorvBoundary()
        self.receipt = self.boundary.authorize_action(1, 0.5, 1.0)
        self.violation = m.MorvViolation(7, "rate_limited", "x")
        self.last_sequence = {id(self.boundary): self.receipt.sequence_id}
        self.volatile = []
        # Not the module object itself: the interpreter's repr() of any module
        # grows memory by a fraction of a block per call, which the replay check
        # would blame on us.
        self.pool = [
            self.governor,
            self.counter,
            self.boundary,
            self.default_boundary,
            self.receipt,
            self.violation,
            m.Governor,
            m.MorvReceipt,
            m.MorvViolation,
        ]

    def pick(self, k: int):
        return self.pool[k % len(self.pool)]

    def make(self, desc):
        kind = desc[0]
        if kind == "int":
            v = desc[1]
            return int.from_bytes(
                v.to_bytes(max(1, (v.bit_length() + 8) // 8), "little", signed=True),
                "little",
                signed=True,
            )
        if kind == "float":
            return struct.unpack("<d", struct.pack("<d", desc[1]))[0]
        if kind == "str":
            return fresh_str(desc[1])
        if kind == "bytes":
            raw, flavour = desc[1], desc[2]
            return (bytes(bytearray(raw)), bytearray(raw), memoryview(bytes(raw)), BadBytes(raw))[
                flavour
            ]
        if kind == "none":
            return None
        if kind == "bool":
            return desc[1]
        if kind in ("list", "tuple"):
            items = [self.make(s) for s in desc[1]]
            flavour = desc[2]
            if kind == "list":
                return (items, ListSub(items), iter(items))[flavour]
            return (tuple(items), TupleSub(items), range(len(items)))[flavour]
        if kind == "dict":
            out = {}
            for k, v in desc[1]:
                try:
                    out[self.make(k)] = self.make(v)
                except TypeError:  # unhashable key
                    pass
            return out
        if kind == "helper":
            return self.make_helper(desc[1], desc[2], desc[3])
        if kind == "pool":
            return self.pick(desc[1])
        if kind == "subclass":
            inner = self.make(desc[2])
            flavour = desc[1]
            try:
                if flavour == 0:
                    return IntSub(inner) if type(inner) is int else IntSub(7)
                if flavour == 1:
                    return FloatSub(inner) if type(inner) in (int, float) else FloatSub(0.25)
                if flavour == 2:
                    return BadStr(inner) if type(inner) is str else BadStr("axis")
                return BadBytes(inner) if type(inner) is bytes else BadBytes(32)
            except (OverflowError, ValueError, TypeError):
                return IntSub(3)
        return object()

    def make_helper(self, kind: int, code: int, inner_desc):
        inner = self.make(inner_desc)
        if kind == 0:
            return FloatRaises(code)
        if kind == 1:
            return IndexRaises(code)
        if kind == 2:
            return FloatLike(inner)  # not a float: TypeError from the interpreter
        if kind == 3:
            return FloatLike(float(code) - 100.0)
        if kind == 4:
            return IndexLike(inner)
        if kind == 5:
            return IndexLike(code - 64)
        if kind == 6:
            return BothReturn(code)
        if kind == 7:
            items = [float(i) for i in range(code % 5)]
            return Sequenceish(items, code, fail_len=True)
        if kind == 8:
            items = [float(i) for i in range(code % 5)]
            return Sequenceish(items, code, fail_iter_at=code % 6)
        if kind == 9:
            items = [float(i) for i in range(code % 5)]
            length = (-1, 10**6, 2**40, 0, 1)[code % 5]
            return Sequenceish(items, code, length=length)
        if kind == 10:
            return NotIterable(code)
        if kind == 11:
            holder = [0.5, 1.5]
            holder.insert(code % 3, Clears(holder))
            self.volatile.append(holder)  # the call drops the Clears that refers to it
            return holder
        if kind == 12:
            return [1.0, FloatRaises(code), 2.0]
        return Sequenceish([inner, inner], code)


# ---------------------------------------------------------------------------
# Running and checking


def trackable(obj) -> bool:
    """Objects whose reference count only this harness and the call can change."""
    if obj is None or obj is True or obj is False or obj is Ellipsis or obj is NotImplemented:
        return False
    if isinstance(obj, type):
        return False
    if type(obj) is int and -5 <= obj <= 256:
        return False
    if type(obj) in (str, bytes) and len(obj) <= 1:
        return False
    return not (type(obj) is tuple and not obj)


def tracked_objects(world, receiver, args, kwargs):
    seen = {}
    stack = [receiver, *args, *kwargs.values()]
    depth_items = []
    for obj in stack:
        depth_items.append(obj)
        if type(obj) is tuple:  # a list's items may be taken out by a helper inside it
            depth_items.extend(obj)
    volatile = {id(v) for v in world.volatile}
    for obj in depth_items:
        if trackable(obj) and id(obj) not in volatile:
            seen[id(obj)] = obj
    return list(seen.values())


def f32(value: float) -> float:
    """value rounded to single precision as a C cast does."""
    if math.isnan(value) or math.isinf(value):
        return value
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def clamp_f32(x: float, lo: float, hi: float) -> float:
    v = f32(x)
    if v < lo:
        return lo
    if v > hi:
        return hi
    return v


def same_float(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or (
        a == b and math.copysign(1, a) == math.copysign(1, b)
    )


class Runner:
    def __init__(self, world: World):
        self.w = world

    def resolve_kwargs(self, target: str, kwargs_desc):
        names = PARAMS.get(target, []) or ["x"]
        out = {}
        for name_desc, value_desc in kwargs_desc:
            if name_desc[0] == "param":
                name = (
                    names[name_desc[1] % len(names)]
                    if name_desc[1] < 180
                    else "unknown_" + str(name_desc[1])
                )
            else:
                name = self.w.make(name_desc)
                if not isinstance(name, str):
                    name = repr(type(name).__name__)
            out[name] = self.w.make(value_desc)
        return out

    def call(self, target: str, receiver, args, kwargs):
        if target in (
            "Governor",
            "MonotonicCounter",
            "MorvBoundary",
            "MorvViolation",
            "MorvReceipt",
        ):
            return getattr(m, target)(*args, **kwargs)
        if target in ("project", "project_batch"):
            return getattr(m.Governor, target)(receiver, *args, **kwargs)
        if target in ("next_value", "current_value"):
            return getattr(m.MonotonicCounter, target)(receiver, *args, **kwargs)
        if target == "authorize_action":
            return m.MorvBoundary.authorize_action(receiver, *args, **kwargs)
        if target == "verify":
            return m.MorvReceipt.verify(receiver, *args, **kwargs)
        if target == "get_property":
            cls = (m.MorvReceipt, m.MorvViolation)[len(args) % 2]
            names = PROPERTIES[cls.__name__]
            return cls.__dict__[names[len(kwargs) % len(names)]].__get__(receiver, cls)
        if target == "str_violation":
            if len(args) % 3 == 0:
                return str(receiver)
            if len(args) % 3 == 1:
                return repr(receiver)
            return m.MorvViolation.__str__(receiver)
        raise AssertionError(target)

    def run_call(self, target, receiver_desc, args_desc, kwargs_desc, extra):
        w = self.w
        if target == "set_property":
            self.set_property(receiver_desc, args_desc, extra)
            return
        if target == "project_plain":
            self.project_plain(args_desc)
            return
        receiver = w.make(receiver_desc)
        if target in ("project", "project_batch") and extra & 1:
            receiver = w.governor
        if target in ("next_value", "current_value") and extra & 1:
            receiver = w.counter
        if target == "authorize_action" and extra & 1:
            receiver = w.boundary
        if target == "verify" and extra & 1:
            receiver = w.receipt
        args = [w.make(s) for s in args_desc]
        kwargs = self.resolve_kwargs(target, kwargs_desc)
        if target in ("next_value", "current_value") and extra & 2:
            args, kwargs = [], {}
        tracked = tracked_objects(w, receiver, args, kwargs)
        before = [sys.getrefcount(o) for o in tracked]
        counter_before = w.counter.current_value() if receiver is w.counter else None

        outcome = None
        error = None
        try:
            outcome = self.call(target, receiver, args, kwargs)
        except BaseException as exc:  # noqa: BLE001 - every exception is classified
            error = classify(exc, target)
        result_info = self.check_result(
            target, receiver, args, kwargs, outcome, error, counter_before
        )
        outcome = None
        after = [sys.getrefcount(o) for o in tracked]
        for obj, b, a in zip(tracked, before, after):
            if a != b:
                raise Failure(
                    f"{target}: reference count of an argument of type {type(obj).__name__} "
                    f"changed from {b} to {a} (args {args!r:.200}, kwargs {kwargs!r:.200})"
                )
        if result_info is not None:
            w.pool.append(result_info)
            if len(w.pool) > 24:
                del w.pool[9]

    def check_result(self, target, receiver, args, kwargs, outcome, error, counter_before):
        w = self.w
        if error is not None:
            return None
        if target == "project" and receiver is w.governor and not kwargs and len(args) == 1:
            x = args[0]
            if type(x) in (float, int) and not isinstance(x, bool):
                want = clamp_f32(float(x), *w.bounds)
                if not same_float(outcome, want):
                    raise Failure(f"project({x!r}) = {outcome!r}, expected {want!r}")
        if target == "project_batch" and receiver is w.governor:
            if type(outcome) is not list:
                raise Failure(f"project_batch returned {type(outcome).__name__}")
            for v in outcome:
                if type(v) is not float or not (math.isnan(v) or w.bounds[0] <= v <= w.bounds[1]):
                    raise Failure(f"project_batch returned {v!r} outside the envelope")
        if target == "next_value" and receiver is w.counter:
            advanced = outcome == (counter_before + 1) % U64
            if not advanced or w.counter.current_value() != outcome:
                raise Failure(f"next_value {outcome!r} after {counter_before!r}")
        if target == "current_value" and receiver is w.counter and outcome != counter_before:
            raise Failure(f"current_value {outcome!r}, expected {counter_before!r}")
        if target == "authorize_action" and receiver is w.boundary:
            if type(outcome) is not m.MorvReceipt or outcome.is_authorized is not True:
                raise Failure(f"authorize_action returned {outcome!r}")
            last = w.last_sequence.get(id(receiver), 0)
            if outcome.sequence_id <= last:
                raise Failure(f"sequence id {outcome.sequence_id} after {last}")
            w.last_sequence[id(receiver)] = outcome.sequence_id
            if len(outcome.receipt_hash) != 60 or not outcome.verify(w.boundary_key):
                raise Failure("a fresh receipt does not verify under its boundary's key")
            if outcome.verify(OTHER_KEY):
                raise Failure("a receipt verifies under another key")
            return outcome
        if target == "verify" and type(outcome) is not bool:
            raise Failure(f"verify returned {outcome!r}")
        if target == "MorvViolation":
            values = list(args) + [None] * (3 - len(args))
            if type(values[0]) is int and outcome.axis != values[0]:
                raise Failure(f"axis {outcome.axis!r} from {values[0]!r}")
            if type(values[1]) is str and outcome.violation_type != values[1]:
                raise Failure("violation_type differs from the argument")
            if type(values[2]) is str and outcome.message != values[2]:
                raise Failure("message differs from the argument")
            if outcome.args != tuple(args):
                raise Failure(f"args {outcome.args!r} from {tuple(args)!r}")
            return None  # its args hold the arguments: kept out of the pool
        if target in ("Governor", "MonotonicCounter", "MorvBoundary"):
            return outcome
        return None

    def set_property(self, receiver_desc, args_desc, extra):
        w = self.w
        obj = (w.receipt, w.violation)[extra % 2]
        names = PROPERTIES[type(obj).__name__]
        name = names[(extra >> 1) % len(names)]
        value = w.make(args_desc[0]) if args_desc else None
        before = getattr(obj, name)
        try:
            setattr(obj, name, value)
        except AttributeError:
            pass
        else:
            raise Failure(f"assigning {type(obj).__name__}.{name} succeeded")
        if getattr(obj, name) != before:
            raise Failure(f"{type(obj).__name__}.{name} changed")

    def project_plain(self, args_desc):
        """project and project_batch agree with each other and with a float32 clamp."""
        w = self.w
        values = []
        for desc in args_desc:
            v = w.make(desc)
            if type(v) is float:
                values.append(v)
            elif type(v) is int and not isinstance(v, bool) and abs(v) < 2**1000:
                values.append(float(v))
        batch = w.governor.project_batch(values)
        single = [w.governor.project(v) for v in values]
        want = [clamp_f32(v, *w.bounds) for v in values]
        for got_b, got_s, exp in zip(batch, single, want):
            if not (same_float(got_b, exp) and same_float(got_s, exp)):
                raise Failure(
                    f"projection of {values!r}: batch {batch!r}, single {single!r}, want {want!r}"
                )


def classify(exc: BaseException, target: str) -> str:
    """Raises Failure for an exception the module must not raise."""
    from_helper = getattr(exc, "from_helper", False)
    if from_helper:
        if type(exc) is TypeError:
            raise Failure(f"{target}: a helper's TypeError came out unwrapped: {exc!r}")
        return "helper"
    if isinstance(exc, m.MorvViolation):
        return "violation"
    if isinstance(exc, ALLOWED):
        if type(exc) is TypeError and exc.args and not isinstance(exc.args[0], str):
            raise Failure(f"{target}: TypeError without a message: {exc!r}")
        return type(exc).__name__
    raise Failure(f"{target}: undocumented exception {type(exc).__name__}: {exc!r}")


def run_program(program) -> None:
    setup, calls = program
    world = World(setup)
    runner = Runner(world)
    for target, receiver_desc, args_desc, kwargs_desc, extra in calls:
        runner.run_call(target, receiver_desc, args_desc, kwargs_desc, extra)


# ---------------------------------------------------------------------------
# Leak check by replay

REPLAY_EVERY = 16
REPLAYS = 8
CONFIRM_REPLAYS = 64
_inputs_seen = 0


def check_no_growth(program) -> None:
    with tracing():
        measure_growth(program)


def measure_growth(program) -> None:
    b0 = blocks_after_gc()
    for _ in range(REPLAYS):
        run_program(program)
    b1 = blocks_after_gc()
    if b1 - b0 < REPLAYS:
        return
    for _ in range(CONFIRM_REPLAYS):
        run_program(program)
    b2 = blocks_after_gc()
    if b2 - b1 >= CONFIRM_REPLAYS:
        raise Failure(
            f"memory grows by {(b2 - b1) / CONFIRM_REPLAYS:.1f} blocks per run of {program!r:.2000}"
        )


def test_one_input(data: bytes) -> None:
    global _inputs_seen
    program = decode_program(data)
    run_program(program)
    _inputs_seen += 1
    if _inputs_seen % REPLAY_EVERY == 0:
        check_no_growth(program)


def soak() -> None:
    """Every callable on every error path, replayed: memory must not grow."""
    rng = random.Random(1234)
    programs = [
        decode_program(bytes(rng.randrange(256) for _ in range(rng.randrange(8, 200))))
        for _ in range(64)
    ]
    for program in programs:  # warm caches and free lists
        run_program(program)
    with tracing():
        b0 = blocks_after_gc()
        for _ in range(20):
            for program in programs:
                run_program(program)
        b1 = blocks_after_gc()
    if b1 - b0 > 64:
        raise Failure(f"memory grew by {b1 - b0} blocks over 20 replays of 64 programs")


def plain(seconds: float, seed: int) -> int:
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
        try:
            test_one_input(data)
        except Failure:
            print(f"failing input: {data.hex()}", file=sys.stderr)
            raise
        runs += 1
    return runs


def main() -> None:
    print(f"fuzz_python_api: module {m.__file__}", file=sys.stderr)
    soak()
    if atheris is None or (len(sys.argv) > 1 and sys.argv[1] == "--plain"):
        seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
        seed = int(os.environ.get("FUZZ_SEED", str(time.time_ns() % 2**32)))
        runs = plain(seconds, seed)
        print(
            f"fuzz_python_api: plain random mode, seed {seed}: {runs} inputs, no failure",
            file=sys.stderr,
        )
        return
    atheris.instrument_func(decode_program)
    atheris.instrument_func(decode_value)
    atheris.instrument_func(classify)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
