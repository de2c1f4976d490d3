#!/usr/bin/env python3
"""Drives every Python callable of morvex._morvex, morvex._actuator and morvex.wire
with arbitrary arguments.

Each input decodes into a small program: a list of calls (the constructor of
every class of both modules, every method called through its class with any
receiver, the property getters and setters, str/repr of MorvViolation, and a
few structured calls: receipts issued under a known key and presented to a
receipt gate as issued or altered, coupled limits feasible by construction,
batches in buffers that alias each other), each with an argument tuple and a
keyword dict built from the input: ints of every size, floats including NaN and
infinities, str including lone surrogates, bytes, bytearray, memoryview, None,
lists, tuples, dicts, subclasses of the built-in types, instances of the
modules' classes, four-vectors and lists of them of every length, numpy-free
buffers (bytearray, bytes, memoryview casts, array, ctypes arrays) of every
shape, format, alignment and contiguity, receipt hashes issued or altered, and
helper objects whose __float__, __index__, __len__ or __iter__ raise, return
the wrong type or mutate the list being read. The program is run on fresh
objects and every call is checked:

- it raises only TypeError, OverflowError, ValueError (UnicodeEncodeError among
  them), MorvViolation from morvex._morvex and from ReceiptGate.check,
  BufferError from CoupledLimits (a buffer refused), AttributeError from a
  property setter, or an exception of a helper object passing through
  unchanged; a helper's exact TypeError never comes out unwrapped, it becomes
  the argument error "argument '<name>': ...";
- it leaks no reference: the reference count of every argument (and of the
  items of argument lists and tuples) is the same after the call, and every
  buffer it was given is released (the memoryviews can be released, the
  bytearrays and arrays resized);
- it leaks no memory: every 16th program is replayed and sys.getallocatedblocks()
  must not grow with the number of replays;
- its result is right where that is cheap to know (per target a checker and a
  table of promises, (condition, what must hold, what is promised), as the
  projection's are in tests/exact_4d_support.py): Governor projections against
  a float32 clamp, counter values, receipt sequence ids and verification,
  violation attributes; a ReceiptGate under the known key accepts exactly the
  receipts issued under that key for exactly the command presented, once, in
  order (a gate with a 1 ns maximum age none), refuses with the code the order
  of the checks gives, and a refusal leaves last_sequence_id as it was;
  CoupledLimits results are 4-tuples of floats inside the box that meet every
  row within 1e-9 of the limits' scale, a feasible command comes back (within
  that), a finite command is never refused, limits feasible by construction are
  accepted, project_batch equals project row by row, bit for bit, in both
  forms and whatever out aliases, and a row that raises leaves the rows from it
  on untouched.

A crash of the process (a segfault or a sanitizer report) ends the run too.

Run under atheris (libFuzzer options as arguments, e.g. -max_total_time=60
CORPUS_DIR), or, where atheris is not installed or with --plain SECONDS, on
random inputs for that long.
"""

from __future__ import annotations

import array
import ctypes
import math
import os
import random
import struct
import sys
import time
import types
import warnings
from fractions import Fraction
from pathlib import Path

try:
    import atheris
except ImportError:  # pragma: no cover - exercised where atheris is missing
    atheris = None

import morvex._actuator as act
import morvex._morvex as m
from morvex import wire

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import exact_4d_support as ex
import helpers
from helpers import FloatLike, IndexLike, blocks_after_gc, parameter_names, tracing

# A __float__ returning a float subclass warns; warnings are not what is tested.
warnings.simplefilter("ignore")

KEY = bytes(range(32))
OTHER_KEY = bytes(range(1, 33))
U64 = 2**64
# What every class and method declares, read from the modules themselves.
MODULES = (m, act)
CLASSES = [getattr(mod, name) for mod in MODULES for name in mod.__all__ if name != "__version__"]
CLASSES.append(wire.Decoder)  # morvex.wire's (in _actuator, outside its __all__)
# morvex.wire's functions, by "wire.name".
FUNCTIONS = {f"wire.{name}": getattr(wire, name)
             for name in ("encode_command", "encode_verdict", "encode_session")}
FRAME_TYPES = (wire.Command, wire.Verdict, wire.Session)
CLASS = {cls.__name__: cls for cls in CLASSES}
ACTUATOR_CLASSES = {getattr(act, name) for name in act.__all__}
# Methods by "Class.method": Governor and CoupledLimits share method names.
METHODS = {
    f"{cls.__name__}.{name}": (cls, name)
    for cls in CLASSES
    for name, attr in vars(cls).items()
    if isinstance(attr, types.MethodDescriptorType)
}
PARAMS = {cls.__name__: parameter_names(cls) for cls in CLASSES}
PARAMS.update(
    (target, parameter_names(getattr(cls, name))) for target, (cls, name) in METHODS.items()
)
PARAMS.update((target, parameter_names(fn)) for target, fn in FUNCTIONS.items())
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
# The receipt gate checks the command the boundary signs, under the same names.
COMMAND = PARAMS["MorvBoundary.authorize_action"]
assert PARAMS["ReceiptGate.check"][1:] == COMMAND, PARAMS["ReceiptGate.check"]
# A refusal's code, in the order the gate checks.
GATE_CODES = (
    "invalid_receipt",
    "authentication_failure",
    "stale_receipt",
    "replay_counter",
    "replay_nonce",
)
ROW_TOLERANCE = 1e-9
def allowed(target: str) -> tuple:
    """The exceptions a call of `target` may raise (besides a helper's own)."""
    if target in FUNCTIONS or target.split(".")[0] == "Decoder":
        return (TypeError, OverflowError, ValueError, BufferError)
    cls = CLASS.get(target.split(".")[0])
    if cls not in ACTUATOR_CLASSES:
        return (TypeError, OverflowError, ValueError, m.MorvViolation)
    if target == "ReceiptGate.check":
        return (TypeError, OverflowError, ValueError, m.MorvViolation)
    if cls is act.CoupledLimits:
        return (TypeError, OverflowError, ValueError, BufferError)
    return (TypeError, OverflowError, ValueError)


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
    struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0],  # a NaN with a payload
    2.0**-1022,
    -(2.0**60),
    2.0**-60,
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
VEC_LENGTHS = (4, 4, 4, 4, 4, 3, 5, 0, 1, 8)
VEC_FLAVOURS = 10
BUFFER_EXPORTERS = 16
MUTATING_KINDS = 8


def decode_value(inp: Input, depth: int = 0):
    """A value description (nested tuples), materialized later on fresh objects."""
    kind = inp.u8() % 26
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
    if kind == 20:
        return decode_vec(inp, depth)
    if kind == 21 and depth < 2:
        rows = [decode_vec(inp, depth + 1) for _ in range(inp.u8() % 6)]
        return ("rows", rows, inp.u8() % 3)
    if kind == 22:
        return decode_buffer(inp)
    if kind == 23:
        return ("mutating", inp.u8() % MUTATING_KINDS, inp.u8())
    if kind == 24:
        return ("receipt", inp.u8(), inp.u8())
    if kind == 25:
        return decode_vec(inp, depth) if inp.u8() & 1 else decode_buffer(inp)
    return ("float", INTERESTING_FLOATS[inp.u8() % len(INTERESTING_FLOATS)])


def decode_number(inp: Input):
    b = inp.u8()
    if b < 150:
        return ("float", INTERESTING_FLOATS[b % len(INTERESTING_FLOATS)])
    if b < 230:
        return ("float", float(inp.u8() - 128) / 4.0)
    return ("int", INTERESTING_INTS[inp.u8() % len(INTERESTING_INTS)])


def as_float(v) -> float:
    return float(v) if type(v) is float or abs(v) < 2**1000 else (math.inf if v > 0 else -math.inf)


def decode_vec(inp: Input, depth: int):
    """Mostly four numbers, in one of several containers; sometimes another length."""
    n = VEC_LENGTHS[inp.u8() % len(VEC_LENGTHS)]
    items = []
    for _ in range(n):
        if inp.u8() < 230 or depth >= 2:
            items.append(decode_number(inp))
        else:
            items.append(decode_value(inp, depth + 1))
    return ("vec", items, inp.u8() % VEC_FLAVOURS)


def decode_buffer(inp: Input):
    n = (1, 2, 3, 0, 5, 1, 2)[inp.u8() % 7]
    cols = (4, 4, 4, 4, 3, 1, 8)[inp.u8() % 7]
    exporter = inp.u8() % BUFFER_EXPORTERS
    values = tuple(as_float(decode_number(inp)[1]) for _ in range(n * cols))
    return ("buffer", n, cols, exporter, values, inp.u8())


SPECIAL = (
    "get_property",
    "str_violation",
    "set_property",
    "project_plain",
    "gate_plain",
    "limits_plain",
    "batch_buffers",
)
TARGETS = (*CLASS, *METHODS, *FUNCTIONS, *SPECIAL)


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


class Mutates:
    """As an item: changes `target` (the list being read, or the list holding
    that one) the first time it is converted, then reads as a number."""

    def __init__(self, target, action, filler):
        self.target = target
        self.action = action
        self.filler = filler
        self.done = False

    def __float__(self):
        if not self.done:
            self.done = True
            t = self.target
            if self.action == 0:
                t.clear()
            elif self.action == 1:
                t.extend([self.filler] * 64)
            elif self.action == 2:
                t[:] = [FloatLike(0.25) for _ in range(4)]  # drops every item, this one too
            else:
                del t[: max(1, len(t) // 2)]
        return 0.75

    def __index__(self):
        self.__float__()
        return 1


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
# Plain values: what the module must make of them is known


def plain_f64(x):
    """The double an exact int, bool or float converts to, or None."""
    if type(x) is float:
        return x
    if type(x) in (int, bool):
        try:
            return float(x)
        except OverflowError:
            return None
    return None


def plain_vec(v):
    if type(v) not in (list, tuple) or len(v) != 4:
        return None
    out = tuple(plain_f64(x) for x in v)
    return None if None in out else out


def plain_rows(us):
    if type(us) not in (list, tuple):
        return None
    rows = [plain_vec(u) for u in us]
    return None if None in rows else rows


def plain_numbers(values) -> list:
    out = []
    for v in values:
        if type(v) in (list, tuple):
            out.extend(plain_numbers(v))
        elif type(v) is not bool and (f := plain_f64(v)) is not None:
            out.append(f)
    return out


def small_coefficient(v: float) -> float:
    """A row coefficient in -3..3 made from a number."""
    return float(int(v * 4) % 7 - 3) if abs(v) < 1e15 else 1.0


def fresh_float(x: float) -> float:
    return struct.unpack("<d", struct.pack("<d", x))[0]


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def pack_rows(rows) -> bytes:
    return b"".join(struct.pack("<4d", *r) for r in rows)


def bind(target: str, args, kwargs):
    """The arguments by declared name, or None where they do not bind."""
    names = PARAMS.get(target) or []
    if len(args) > len(names):
        return None
    out = dict(zip(names, args))
    for k, v in kwargs.items():
        if k not in names or k in out:
            return None
        out[k] = v
    return out


def own_int(value) -> int:
    """A new int equal to value: int() of an int is the argument itself, which the
    world would keep alive past the call's reference count check."""
    return -(-int(value))  # noqa: B002 - two negations, not a decrement


def plain_command(bound):
    """(axis, position bits, velocity bits) where all three are plain, else None."""
    if bound is None or any(name not in bound for name in COMMAND):
        return None
    axis, pos, vel = (bound[name] for name in COMMAND)
    if type(axis) not in (int, bool) or not -(2**31) <= axis < 2**31:
        return None
    pos, vel = plain_f64(pos), plain_f64(vel)
    if pos is None or vel is None:
        return None
    return (own_int(axis), bits(pos), bits(vel))


def matrix_rows(obj):
    """The rows of a C-contiguous float64 (n, 4) buffer, or None for anything else."""
    try:
        view = memoryview(obj)
    except (TypeError, ValueError, BufferError):
        return None
    with view:
        if (
            view.format not in ("d", "<d", "=d", "@d")
            or view.ndim != 2
            or view.shape[1] != 4
            or not view.c_contiguous
        ):
            return None
        raw = view.tobytes()
    return [struct.unpack_from("<4d", raw, 32 * i) for i in range(len(raw) // 32)]


# ---------------------------------------------------------------------------
# Materializing a program on fresh objects


_CTYPES_ARRAYS = {}


def ctypes_array(item, *dims):
    """An array type of ctypes (rows first), kept alive here: ctypes keeps its
    own only through weak proxies, so one made anew while memory is measured
    would count as growth."""
    key = (item, dims)
    if key not in _CTYPES_ARRAYS:
        t = item
        for d in reversed(dims):
            t = t * d
        _CTYPES_ARRAYS[key] = t
    return _CTYPES_ARRAYS[key]


def fresh_str(text: str) -> str:
    return "".join([text[:1], text[1:]]) if len(text) > 1 else text


# Limits every world starts with: a box, the README's arm, axes a row bounds on
# one side only, rows scaled far apart, a zero row, a huge scale, a point.
LIMITS = [
    ([-1.5] * 4, [1.5] * 4, (), ()),
    (
        [-2.6, -1.4, -2.2, -3.0],
        [2.6, 1.6, 2.2, 3.0],
        [(0, 1, 1, 0), (0, -1, -1, 0), (-1, 0, 0, 1)],
        [1.5, 1.5, 1.8],
    ),
    (
        [-math.inf, -1.0, -math.inf, 0.0],
        [math.inf, 1.0, 2.0, math.inf],
        [(1, 1, 0, 0), (0, 0, 1, -1), (0, 0, 0, 1)],
        [1.0, 0.5, 1e6],
    ),
    (
        [-1.0, -1.0, -1.0, -1.0],
        [1.0, 1.0, 1.0, 1.0],
        [(2.0**60, 2.0**60, 0, 0), (0, 2.0**-60, -(2.0**-60), 0), (0, 0, 0, 0), (1, 1, 1, 1)],
        [2.0**59, 0.0, 0.0, 1.0],
    ),
    ([-1e300] * 4, [1e300] * 4, [(1, -1, 0, 0)], [1e299]),
    ([0.5, 0.5, 0.5, 0.5], [0.5, 0.5, 0.5, 0.5], [(1, 1, 1, 1)], [2.0]),
]


class GateModel:
    """What a receipt gate under KEY has accepted."""

    def __init__(self, gate, last: int, stale: bool):
        self.gate = gate
        self.last = last
        self.stale = stale
        self.nonces = set()

    def __repr__(self):
        return f"GateModel(last={self.last}, stale={self.stale}, {len(self.nonces)} nonces)"

    def expected_refusal(self, issued, h: bytes, command):
        """The code the gate must refuse (h, command) with, None when it must
        accept, "unknown" when the receipt's command was not plain."""
        if len(h) != 60:
            return "invalid_receipt"
        entry = issued.get(h)
        if entry is None:
            return "authentication_failure"
        seq, issued_for = entry
        if issued_for is None:
            return "unknown"
        if issued_for != command:
            return "authentication_failure"
        if self.stale:
            return "stale_receipt"
        if seq <= self.last:
            return "replay_counter"
        if h[:12] in self.nonces:
            return "replay_nonce"
        return None


class World:
    """The objects of one run: a pool of instances and every value made."""

    def __init__(self, setup: int):
        self.governor = m.Governor(-1.5, 1.5)
        self.bounds = (-1.5, 1.5)
        self.counter = m.MonotonicCounter(U64 - 2 if setup & 1 else 0)
        rate = 3 if setup & 2 else 10**9
        self.boundary = m.MorvBoundary(rate_limit=rate, max_velocity_rad_s=2.0, hmac_key=KEY)
        self.issuer = m.MorvBoundary(rate_limit=10**9, max_velocity_rad_s=2.0, hmac_key=KEY)
        self.key_boundaries = [self.boundary, self.issuer]
        self.default_boundary = m.MorvBoundary()
        # Receipts issued under KEY: receipt_hash -> (sequence id, command or None).
        self.issued = {}
        self.issued_order = []
        self.receipt = self.boundary.authorize_action(1, 0.5, 1.0)
        self.record_issue(self.receipt, (1, bits(0.5), bits(1.0)))
        self.violation = m.MorvViolation(7, "rate_limited", "x")
        self.last_sequence = {id(self.boundary): self.receipt.sequence_id}
        self.gate = act.ReceiptGate(KEY, 0)
        self.aged_gate = act.ReceiptGate(KEY, max_age_s=1e-9)  # every receipt is stale
        self.decoder = wire.Decoder()
        self.gate_models = [GateModel(self.gate, 0, False), GateModel(self.aged_gate, 0, True)]
        first = setup % len(LIMITS)
        self.limits = [act.CoupledLimits(*LIMITS[(first + k) % len(LIMITS)]) for k in range(3)]
        self.volatile = []
        self.views = []  # memoryviews made for the current call, released after it
        self.resizables = []  # bytearrays and arrays exported for the current call
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
            self.gate,
            self.aged_gate,
            *self.limits,
            act.ReceiptGate,
            act.CoupledLimits,
            self.decoder,
            wire.Decoder,
        ]
        self.base_pool = len(self.pool)

    def record_issue(self, receipt, command) -> None:
        self.issued[receipt.receipt_hash] = (receipt.sequence_id, command)
        self.issued_order.append(receipt.receipt_hash)

    def is_key_boundary(self, obj) -> bool:
        return any(obj is b for b in self.key_boundaries)

    def gate_model(self, gate):
        return next((g for g in self.gate_models if g.gate is gate), None)

    def instance_of(self, cls, k: int):
        choices = {
            m.Governor: [self.governor],
            m.MonotonicCounter: [self.counter],
            m.MorvBoundary: [self.boundary, self.issuer],
            m.MorvReceipt: [self.receipt],
            act.ReceiptGate: [self.gate, self.aged_gate],
            act.CoupledLimits: self.limits,
            wire.Decoder: [self.decoder],
        }.get(cls, [self.violation])
        return choices[k % len(choices)]

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
                return (items, ListSub(items))[flavour] if flavour < 2 else self.iterate(items)
            return (tuple(items), TupleSub(items), range(len(items)))[flavour]
        if kind == "dict":
            out = {}
            for k, v in desc[1]:
                try:
                    out[self.make(k)] = self.make(v)
                except (TypeError, ValueError):  # unhashable (a writable memoryview: ValueError)
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
        if kind == "vec":
            return self.make_vec(desc[1], desc[2])
        if kind == "rows":
            rows = [self.make(v) for v in desc[1]]
            return (rows, tuple(rows), ListSub(rows))[desc[2]]
        if kind == "buffer":
            return self.make_buffer(*desc[1:])
        if kind == "mutating":
            return self.make_mutating(desc[1], desc[2])
        if kind == "receipt":
            return self.make_receipt_hash(desc[1], desc[2])
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

    def make_vec(self, item_descs, flavour: int):
        items = [self.make(d) for d in item_descs]
        floats = all(type(x) is float for x in items)
        if flavour in (0, 1, 2):
            return items
        if flavour == 3:
            return tuple(items)
        if flavour == 4:
            return ListSub(items)
        if flavour == 5:
            return TupleSub(items)
        if flavour == 6:
            return Sequenceish(items, 0)
        if flavour == 7 and floats:
            arr = array.array("d", items)
            self.resizables.append(arr)
            return arr
        if flavour == 8 and floats:
            return self.view(array.array("d", items))
        if flavour == 9:
            return self.iterate(items)
        return tuple(items)

    def iterate(self, items: list):
        """An iterator over items, the list kept until the call is checked: exhausted,
        the iterator drops the list, and with it a reference to each item (perhaps the
        receiver), which is no reference count the call changed."""
        self.volatile.append(items)
        return iter(items)

    def view(self, base, *cast):
        """A memoryview of `base` (cast as given), released after the call."""
        if isinstance(base, (bytearray, array.array)):
            self.resizables.append(base)
        v = memoryview(base)
        self.views.append(v)
        if cast:
            v = v.cast("B")
            self.views.append(v)
            v = v.cast(*cast)
            self.views.append(v)
        return v

    def make_buffer(self, n: int, cols: int, exporter: int, values, extra: int):
        """Numpy-free buffers of every exporter, format, shape, alignment and contiguity."""
        k = n * cols
        raw = struct.pack(f"<{k}d", *values)
        shape = (n, cols)
        if k == 0 and exporter in (0, 1, 5, 6, 7, 8, 9, 11, 12, 14):
            exporter = 2  # memoryview cannot cast to a shape with a zero in it
        if exporter == 0:
            return self.view(bytearray(raw), "d", shape)
        if exporter == 1:
            return self.view(bytes(raw), "d", shape)  # read-only
        if exporter == 2:
            arr = ctypes_array(ctypes.c_double, n, cols)()
            ctypes.memmove(arr, raw, len(raw))
            return arr  # format "<d"
        if exporter == 3:
            be = struct.pack(f">{k}d", *values)
            return ctypes_array(ctypes.c_double.__ctype_be__, n, cols).from_buffer_copy(be)
        if exporter == 4:
            arr = array.array("d", values)
            self.resizables.append(arr)
            return arr
        if exporter == 5:
            return self.view(bytearray(4 * k), "f", shape)
        if exporter == 6:
            return self.view(bytearray(raw), "q", shape)
        if exporter == 7:  # every other row of twice as many: not contiguous
            return self.view(bytearray(raw + raw), "d", (2 * n, cols))[::2]
        if exporter == 8:  # misaligned
            offset = 1 + extra % 7
            storage = bytearray(len(raw) + 8)
            storage[offset : offset + len(raw)] = raw
            whole = self.view(storage)
            part = whole[offset : offset + len(raw)]
            self.views.append(part)
            flat = part.cast("B")
            self.views.append(flat)
            shaped = flat.cast("d", shape)
            self.views.append(shaped)
            return shaped
        if exporter == 9:
            return self.view(bytearray(raw), "d", (n, cols, 1))
        if exporter == 10:
            storage = bytearray(raw)
            self.resizables.append(storage)
            return storage
        if exporter == 11:
            return self.view(bytearray(raw), "d", (k,))
        if exporter == 12:
            return self.view(bytearray(raw), "d", (cols, n))
        if exporter == 13:
            arr = ctypes_array(ctypes.c_double, k)()
            ctypes.memmove(arr, raw, len(raw))
            return arr
        if exporter == 14:
            return self.view(bytearray(raw), "B", (n, cols * 8))
        return ctypes_array(ctypes.c_float, n, cols)()

    def make_mutating(self, kind: int, code: int):
        """Lists changed by their own items while the module reads them."""
        action = code % 4
        if kind < 4:  # one command whose item changes it
            holder = [0.5, -0.5, 0.25, 2.0][: 2 + kind % 3]
            holder.insert(code % (len(holder) + 1), Mutates(holder, action, 1.0))
            self.volatile.append(holder)
            return holder
        outer = [[0.1, 0.2, 0.3, 0.4], [9.0, -9.0, 0.0, 1e300], [-0.0, 0.0, 5.0, -5.0]]
        inner = [0.5, 0.5, 0.5]
        inner.insert(code % 4, Mutates(outer, action, [1.0, 1.0, 1.0, 1.0]))
        outer.insert((code >> 2) % 4, inner)
        self.volatile.append(outer)
        if kind == 5:
            return outer[:2]  # rows for a constructor (no longer the list mutated)
        if kind == 6:
            return [outer[0], inner]  # the item changes a list not being read
        return outer

    def make_receipt_hash(self, index: int, alter: int):
        h = self.issued_order[index % len(self.issued_order)]
        mode = alter % 8
        if mode < 3:
            return bytes(bytearray(h))
        if mode == 3:
            changed = bytearray(h)
            changed[(alter >> 3) % len(changed)] ^= 1 << (alter % 7)
            return bytes(changed)
        if mode == 4:
            return h[:59]
        if mode == 5:
            return h + b"\0"
        if mode == 6:
            return BadBytes(h)
        return bytearray(h)

    def check_released(self) -> None:
        """Every buffer the call was given was released: its memoryviews release,
        its bytearrays and arrays resize."""
        views, self.views = self.views, []
        for v in reversed(views):
            try:
                v.release()
            except BufferError as exc:
                raise Failure(f"a buffer taken from a memoryview was not released: {exc}") from None
        resizables, self.resizables = self.resizables, []
        for obj in resizables:
            try:
                obj.append(0)
                obj.pop()
            except BufferError as exc:
                name = type(obj).__name__
                raise Failure(f"a buffer of a {name} was not released: {exc}") from None


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


def check_refcounts(target, tracked, before, args, kwargs) -> None:
    after = [sys.getrefcount(o) for o in tracked]
    for obj, b, a in zip(tracked, before, after):
        if a != b:
            raise Failure(
                f"{target}: reference count of an argument of type {type(obj).__name__} "
                f"changed from {b} to {a} (args {args!r:.200}, kwargs {kwargs!r:.200})"
            )


def same_float(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or (
        a == b and math.copysign(1, a) == math.copysign(1, b)
    )


# ---------------------------------------------------------------------------
# What coupled limits must return


def limits_scale(lower, upper, rows, bounds, d) -> float:
    """The largest magnitude among the finite bounds, d clamped into the box and
    the rows' b / ||a||: the scale the rows are met within."""
    mags = [abs(v) for v in (*lower, *upper) if math.isfinite(v)]
    if d is not None:
        mags += [abs(c) for c in (min(max(di, lo), hi) for di, lo, hi in zip(d, lower, upper))]
    for a, b in zip(rows, bounds):
        n = math.hypot(*a)
        if n > 0:
            mags.append(abs(b / n))
    return max((v for v in mags if math.isfinite(v)), default=0.0)


def projection(limits, d, x=None, error=None, message=""):
    """The projection as observed, for the promise table (tests/exact_4d_support.py)."""
    return ex.Projection(limits.lower, limits.upper, list(zip(limits.rows, limits.bounds)), d, x,
                         error, message)


def check_projection(limits, d, x=None, error=None, message="") -> None:
    """The promises of CoupledLimits.project (the table in tests/exact_4d_support.py,
    what morvex/exact_4d.h states): every one whose condition holds kept."""
    broken = ex.broken_promises(projection(limits, d, x, error, message))
    if broken:
        raise Failure(
            f"project({d!r}) = {x!r} / {error} {message!r}: {'; '.join(broken)} (limits "
            f"{limits.lower!r} {limits.upper!r} {limits.rows!r} {limits.bounds!r})"
        )


def project_rows(limits, rows):
    """(projected rows, index of the first row project refuses or None)."""
    done = []
    for k, row in enumerate(rows):
        try:
            x = limits.project(row)
        except ValueError as exc:
            check_projection(limits, row, error="ValueError", message=str(exc))
            return done, k
        check_projection(limits, row, x)
        done.append(x)
    return done, None


# ---------------------------------------------------------------------------
# What every call must return: per target, a checker (CHECKS) and the call's promises
# (PROMISES), rows of (condition, what must hold, what is promised) whose first two are
# functions of the call, as the projection's are (tests/exact_4d_support.py).


def judge(w, target, receiver, args, kwargs, outcome, error, violation, state):
    """The call judged by its target's checker, which returns what joins the pool. The
    checker sees the call c: the world w, target, receiver, args, kwargs and bound (the
    arguments by declared name, None where they do not bind), outcome, error (as classify
    names it), violation ((axis, code) of a MorvViolation), state (what before_call saw)."""
    checker, judges_refusals = CHECKS.get(target, (None, False))
    if checker is None or (error is not None and not judges_refusals):
        return None
    return checker(types.SimpleNamespace(
        w=w, target=target, receiver=receiver, args=args, kwargs=kwargs, outcome=outcome,
        error=error, violation=violation, state=state, bound=bind(target, args, kwargs)))


def keep(c, **derived) -> None:
    """Raises Failure naming every promise of the call's target that applies to it (with
    `derived`, what its checker worked out, added to it) and was not kept."""
    vars(c).update(derived)
    broken = helpers.broken_promises(c, PROMISES[c.target])
    if broken:
        seen = "".join(f", {name} {value!r:.300}" for name, value in derived.items())
        raise Failure(
            f"{c.target}: {'; '.join(broken)} (returned {c.outcome!r:.300}, raised {c.error} "
            f"{c.violation}, args {c.args!r:.200}, kwargs {c.kwargs!r:.200}{seen})"
        )


def left_alone(c) -> bool:
    """out after a refused batch: as it was, or projected before the failing row and
    untouched from it."""
    states = [c.before]
    if c.failed is not None and len(c.before) == len(c.rows):
        states.append(c.expected[: c.failed] + c.before[c.failed :])
    return c.got is not None and pack_rows(c.got) in [pack_rows(s) for s in states]


PROMISES = {
    "ReceiptGate.check": (
        (lambda c: c.error is not None, lambda c: c.last_after == c.last_before,
         "a refusal leaves last_sequence_id as it was"),
        (lambda c: c.error is None,
         lambda c: type(c.outcome) is int and c.last_after == c.outcome > c.last_before,
         "an acceptance returns the new last_sequence_id, above the one before"),
        (lambda c: c.violation is not None, lambda c: c.violation[1] in GATE_CODES,
         "a refusal carries one of the gate's codes"),
        # What a gate under the known key does, judged by its model (c.seq, c.issued_for:
        # the receipt's sequence id and command as issued, None where unknown or not plain):
        (lambda c: c.accepted, lambda c: c.seq is not None,
         "a gate accepts only receipts issued under its key"),
        (lambda c: c.accepted and c.seq is not None, lambda c: not c.model.stale,
         "a gate with a 1 ns maximum age accepts no receipt"),
        (lambda c: c.accepted and c.seq is not None,
         lambda c: c.outcome == c.seq > c.model.last and c.h[:12] not in c.model.nonces,
         "an acceptance returns the receipt's sequence id, above the last accepted, nonce new"),
        (lambda c: c.accepted and None not in (c.issued_for, c.command),
         lambda c: c.issued_for == c.command, "a receipt is accepted only for its command"),
        (lambda c: c.judged, lambda c: c.violation[0] == c.command[0],
         "a refusal names the axis of the command"),
        (lambda c: c.judged, lambda c: c.expected is not None,
         "a receipt issued for exactly this command, new and in order, is accepted"),
        (lambda c: c.judged and c.expected not in (None, "unknown"),
         lambda c: c.violation[1] == c.expected,
         "a refusal carries the code the order of the gate's checks gives"),
    ),
    "CoupledLimits.project_batch": (
        (lambda c: c.error is None, lambda c: c.failed is None,
         "a batch with a row project refuses is refused"),
        (lambda c: c.error is None and c.out is not None, lambda c: c.outcome is c.out,
         "project_batch(us, out) returns out"),
        (lambda c: c.error is None,
         lambda c: c.got is not None and pack_rows(c.got) == pack_rows(c.expected),
         "project_batch equals project row by row, bit for bit"),
        (lambda c: c.error is None and c.got is not None and c.form == "list",
         lambda c: all(type(r) is tuple for r in c.got), "project_batch of a list gives tuples"),
        (lambda c: c.error is not None and c.before is not None, left_alone,
         "a refused batch leaves out as it was, or projected up to the failing row only"),
        (lambda c: c.error is not None and c.form == "list",
         lambda c: c.error == "ValueError" and c.failed is not None,
         "a list of plain commands is refused only with ValueError, at a row project refuses"),
    ),
    "ReceiptGate": (
        (lambda c: type(c.last) is int, lambda c: c.reported == c.last,
         "a gate reports the last_sequence_id it was built with"),
    ),
    "CoupledLimits": (
        (lambda c: c.lower is not None, lambda c: pack_rows([c.lower]) == pack_rows([c.read[0]]),
         "lower reads back as given, bit for bit"),
        (lambda c: c.upper is not None, lambda c: pack_rows([c.upper]) == pack_rows([c.read[1]]),
         "upper reads back as given, bit for bit"),
        (lambda c: c.rows is not None, lambda c: pack_rows(c.rows) == pack_rows(c.read[2]),
         "rows read back as given, bit for bit"),
    ),
    "Governor.project": (
        (lambda c: c.want is not None, lambda c: same_float(c.outcome, c.want),
         "project narrows to float32 and clamps into the envelope"),
    ),
    "Governor.project_batch": (
        (lambda c: c.receiver is c.w.governor, lambda c: type(c.outcome) is list,
         "project_batch returns a list"),
        (lambda c: c.receiver is c.w.governor and type(c.outcome) is list,
         lambda c: all(type(v) is float and (math.isnan(v) or c.w.bounds[0] <= v <= c.w.bounds[1])
                       for v in c.outcome),
         "project_batch returns floats inside the envelope (or NaN)"),
    ),
    "MonotonicCounter.next_value": (
        (lambda c: c.receiver is c.w.counter, lambda c: c.outcome == (c.before + 1) % U64,
         "next_value is the value before it plus one, modulo 2^64"),
        (lambda c: c.receiver is c.w.counter, lambda c: c.w.counter.current_value() == c.outcome,
         "the counter then holds the value next_value returned"),
    ),
    "MonotonicCounter.current_value": (
        (lambda c: c.receiver is c.w.counter, lambda c: c.outcome == c.before,
         "current_value is the value before it"),
    ),
    "MorvBoundary.authorize_action": (
        (lambda c: True,
         lambda c: type(c.outcome) is m.MorvReceipt and c.outcome.is_authorized is True,
         "authorize_action returns an authorized receipt"),
        (lambda c: type(c.outcome) is m.MorvReceipt, lambda c: c.sequence_id > c.last,
         "each receipt's sequence id is above the last its boundary issued"),
        (lambda c: type(c.outcome) is m.MorvReceipt,
         lambda c: len(c.outcome.receipt_hash) == 60 and c.outcome.verify(KEY),
         "a fresh receipt verifies under its boundary's key"),
        (lambda c: type(c.outcome) is m.MorvReceipt, lambda c: not c.outcome.verify(OTHER_KEY),
         "no other key verifies a receipt"),
    ),
    "MorvReceipt.verify": (
        (lambda c: True, lambda c: type(c.outcome) is bool, "verify returns a bool"),
    ),
    "MorvViolation": (
        (lambda c: type(c.given[0]) is int, lambda c: c.outcome.axis == c.given[0],
         "axis is the axis given"),
        (lambda c: type(c.given[1]) is str, lambda c: c.outcome.violation_type == c.given[1],
         "violation_type is the text given"),
        (lambda c: type(c.given[2]) is str, lambda c: c.outcome.message == c.given[2],
         "message is the text given"),
        (lambda c: True, lambda c: c.outcome.args == tuple(c.args), "args are the arguments"),
    ),
}


def check_gate(c) -> None:
    """ReceiptGate.check; a gate under the known key is judged by its model too, which
    then takes in an acceptance."""
    if type(c.receiver) is not act.ReceiptGate:
        return
    model = c.w.gate_model(c.receiver)
    h = c.bound.get("receipt_hash") if c.bound else None
    h = bytes(h) if isinstance(h, bytes) else None
    command = plain_command(c.bound)
    judged = model is not None and c.error == "violation" and None not in (h, command)
    seq, issued_for = c.w.issued.get(h, (None, None))
    keep(c, last_before=c.state["gate_last"], last_after=c.receiver.last_sequence_id,
         model=model, h=h, command=command, accepted=model is not None and c.error is None,
         seq=seq, issued_for=issued_for, judged=judged,
         expected=model.expected_refusal(c.w.issued, h, command) if judged else None)
    if c.accepted:
        model.last = seq
        model.nonces.add(h[:12])


def check_project(c) -> None:
    """CoupledLimits.project of four plain numbers: the projection's promise table."""
    d = plain_vec(c.bound.get("u")) if c.bound else None
    if type(c.receiver) is act.CoupledLimits and d is not None:
        check_projection(c.receiver, d, c.outcome, c.error, c.state.get("error_text", ""))


def check_batch(c) -> None:
    """CoupledLimits.project_batch of a buffer of commands, or of a list of plain ones
    into a new list, against project row by row."""
    if type(c.receiver) is not act.CoupledLimits:
        return
    out = (c.bound or {}).get("out")
    rows, form = c.state.get("us_matrix"), "buffer"
    if rows is None:
        rows, form = c.state.get("us_rows"), "list"
        if rows is None or out is not None:
            return
    expected, failed = project_rows(c.receiver, rows)
    if form == "list":
        got = c.outcome if type(c.outcome) is list else None
    else:
        got = matrix_rows(c.outcome if c.error is None else out)
    keep(c, form=form, rows=rows, out=out, failed=failed, expected=expected, got=got,
         before=c.state.get("out_matrix") if out is not None else None)


def check_frames(c) -> None:
    """An encoded frame decodes to one frame that encodes to the same bytes; decoded
    frames are the named tuples, and encode again."""
    if c.target in FUNCTIONS:
        decoder = wire.Decoder()
        frames = decoder.feed(c.outcome)
        if type(c.outcome) is not bytes or len(frames) != 1 or decoder.corrupt != 0:
            raise Failure(f"{c.target} gave {c.outcome!r}, decoded as {frames!r}")
    else:
        frames = c.outcome
    encode = {wire.Command: wire.encode_command, wire.Verdict: wire.encode_verdict,
              wire.Session: wire.encode_session}
    for frame in frames:  # compared as bytes: NaN fields are not equal to themselves
        again = encode[type(frame)](*frame)
        back = wire.Decoder().feed(again)
        if len(back) != 1 or encode[type(back[0])](*back[0]) != again:
            raise Failure(f"{c.target}: {frame!r} does not survive encoding again")
        if c.target in FUNCTIONS and again != c.outcome:
            raise Failure(f"{c.target}: {c.outcome!r} re-encodes as {again!r}")


def check_built_gate(c):
    """A new gate; one under the known key without a maximum age is modelled."""
    b = c.bound
    keep(c, last=b.get("last_sequence_id", 0) if b is not None else None,
         reported=c.outcome.last_sequence_id)
    if (b is not None and type(b.get("hmac_key")) is bytes and b["hmac_key"] == KEY
            and b.get("max_age_s") is None and type(c.last) is int):
        c.w.gate_models.append(GateModel(c.outcome, own_int(c.last), False))
    return c.outcome


def check_built_limits(c):
    """New limits read back as given; they join the world's."""
    b = c.bound
    keep(c, lower=plain_vec(b.get("lower")) if b else None,
         upper=plain_vec(b.get("upper")) if b else None,
         rows=plain_rows(b.get("rows", ())) if b else None,
         read=(c.outcome.lower, c.outcome.upper, c.outcome.rows))
    c.w.limits.append(c.outcome)
    return c.outcome


def check_built_boundary(c):
    """A new boundary; one under the known key issues receipts the gates' models know."""
    key = c.bound.get("hmac_key") if c.bound is not None else None
    if type(key) is bytes and key == KEY:
        c.w.key_boundaries.append(c.outcome)
    return c.outcome


def check_issue(c):
    """A receipt from a boundary under the known key, recorded for the gates' models."""
    if not c.w.is_key_boundary(c.receiver):
        return None
    keep(c, last=c.w.last_sequence.get(id(c.receiver), 0),
         sequence_id=getattr(c.outcome, "sequence_id", None))
    c.w.last_sequence[id(c.receiver)] = c.outcome.sequence_id
    c.w.record_issue(c.outcome, plain_command(c.bound))
    return c.outcome


def check_governor_project(c) -> None:
    """The world's governor on one plain number, against the float32 clamp."""
    x = c.args[0] if len(c.args) == 1 and not c.kwargs else None
    if c.receiver is c.w.governor:
        keep(c, want=helpers.governor_projection(float(x), *c.w.bounds)
             if type(x) in (float, int) else None)


# The checker of each target's calls, and whether it judges a call that raised too (the
# others judge results only). A checker returns what joins the pool, or None.
CHECKS = {
    "ReceiptGate.check": (check_gate, True),
    "CoupledLimits.project": (check_project, True),
    "CoupledLimits.project_batch": (check_batch, True),
    **{target: (check_frames, False) for target in (*FUNCTIONS, "Decoder.feed")},
    "ReceiptGate": (check_built_gate, False),
    "CoupledLimits": (check_built_limits, False),
    "MorvBoundary": (check_built_boundary, False),
    "Governor": (lambda c: c.outcome, False),
    "MonotonicCounter": (lambda c: c.outcome, False),
    "Governor.project": (check_governor_project, False),
    "Governor.project_batch": (keep, False),
    "MonotonicCounter.next_value": (lambda c: keep(c, before=c.state.get("counter")), False),
    "MonotonicCounter.current_value": (lambda c: keep(c, before=c.state.get("counter")), False),
    "MorvBoundary.authorize_action": (check_issue, False),
    "MorvReceipt.verify": (keep, False),
    # Kept out of the pool: a violation's args hold the arguments.
    "MorvViolation": (lambda c: keep(c, given=[*c.args, None, None, None][:3]), False),
}
assert set(CHECKS) | set(PROMISES) <= set(TARGETS)  # no check lost to a renamed target


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
        if target in CLASS:
            return CLASS[target](*args, **kwargs)
        if target in FUNCTIONS:
            return FUNCTIONS[target](*args, **kwargs)
        if target in METHODS:
            cls, name = METHODS[target]
            return getattr(cls, name)(receiver, *args, **kwargs)
        if target == "get_property":
            cls = CLASS[list(PROPERTIES)[len(args) % len(PROPERTIES)]]
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
        try:
            self.run_one(target, receiver_desc, args_desc, kwargs_desc, extra)
        finally:
            self.w.volatile.clear()
        self.w.check_released()

    def run_one(self, target, receiver_desc, args_desc, kwargs_desc, extra):
        w = self.w
        if target in SPECIAL and target not in ("get_property", "str_violation"):
            getattr(self, target)(receiver_desc, args_desc, kwargs_desc, extra)
            return
        receiver = w.make(receiver_desc)
        if target in METHODS and extra & 1:
            receiver = w.instance_of(METHODS[target][0], extra >> 2)
        args = [w.make(s) for s in args_desc]
        kwargs = self.resolve_kwargs(target, kwargs_desc)
        if target.startswith("MonotonicCounter.") and extra & 2:
            args, kwargs = [], {}
        state = self.before_call(target, receiver, args, kwargs)
        tracked = tracked_objects(w, receiver, args, kwargs)
        before = [sys.getrefcount(o) for o in tracked]

        outcome = None
        error = violation = None
        try:
            outcome = self.call(target, receiver, args, kwargs)
        except BaseException as exc:  # noqa: BLE001 - every exception is classified
            error = classify(exc, target)
            if isinstance(exc, m.MorvViolation):
                violation = (exc.axis, exc.violation_type)
            state["error_text"] = str(exc) if error == "ValueError" else ""
        result_info = judge(w, target, receiver, args, kwargs, outcome, error, violation, state)
        outcome = None
        check_refcounts(target, tracked, before, args, kwargs)
        if result_info is not None:
            w.pool.append(result_info)
            if len(w.pool) > w.base_pool + 16:
                del w.pool[w.base_pool]

    def before_call(self, target, receiver, args, kwargs) -> dict:
        """What the checks need from before the call (the arguments may change)."""
        w = self.w
        state = {}
        if receiver is w.counter:
            state["counter"] = w.counter.current_value()
        if type(receiver) is act.ReceiptGate:
            state["gate_last"] = receiver.last_sequence_id
        if target == "CoupledLimits.project_batch" and type(receiver) is act.CoupledLimits:
            bound = bind(target, args, kwargs) or {}
            us = bound.get("us")
            state["us_rows"] = plain_rows(us)
            state["us_matrix"] = matrix_rows(us)
            if bound.get("out") is not None:
                state["out_matrix"] = matrix_rows(bound["out"])
        return state

    # -- receipt gates ------------------------------------------------------

    def present(self, gate, h, axis, pos, vel) -> None:
        """gate.check on plain arguments, judged by the model."""
        # Fresh objects: a shared constant's count may change under a collection.
        args = [bytes(bytearray(h)), self.w.make(("int", axis)), fresh_float(pos), fresh_float(vel)]
        state = {"gate_last": gate.last_sequence_id}
        tracked = tracked_objects(self.w, gate, args, {})
        before = [sys.getrefcount(o) for o in tracked]
        outcome = error = violation = None
        try:
            outcome = gate.check(*args)
        except m.MorvViolation as exc:
            error = "violation"
            violation = (exc.axis, exc.violation_type)
        judge(self.w, "ReceiptGate.check", gate, args, {}, outcome, error, violation, state)
        outcome = None
        check_refcounts("ReceiptGate.check", tracked, before, args, {})

    def gate_plain(self, receiver_desc, args_desc, kwargs_desc, extra):
        """A receipt issued under the gate's key, presented as issued or altered."""
        w = self.w
        values = [w.make(d) for d in args_desc]
        ints = [v for v in values if type(v) is int and -(2**31) <= v < 2**31]
        floats = plain_numbers(values) + [0.25, -0.0, 1.5]
        axis = ints[0] if ints else extra - 128
        pos, vel = floats[0], floats[1]
        if not abs(vel) <= 2.0:
            vel = 0.0 if math.isnan(vel) else math.copysign(2.0, vel)
        receipt = w.issuer.authorize_action(axis, pos, vel)
        w.record_issue(receipt, (axis, bits(pos), bits(vel)))
        h = receipt.receipt_hash
        mode = extra % 8
        gate = w.gate
        if mode == 1:
            changed = bytearray(h)
            changed[len(args_desc) * 13 % 60] ^= 1 << (extra >> 5)
            self.present(gate, bytes(changed), axis, pos, vel)
        elif mode == 2:
            other = axis + 1 if axis < 2**31 - 1 else axis - 1
            self.present(gate, h, other, pos, vel)
        elif mode == 3:
            for changed in (math.nextafter(pos, math.inf), -pos, -math.nan, math.nan):
                if bits(changed) != bits(pos):
                    self.present(gate, h, axis, changed, vel)
        elif mode == 4:
            for changed in (math.nextafter(vel, -math.inf), -vel, float(axis)):
                if bits(changed) != bits(vel):
                    self.present(gate, h, axis, pos, changed)
        elif mode == 5:  # an older receipt: a replay, or one out of order
            older = w.issued_order[len(values) % len(w.issued_order)]
            _, command = w.issued[older]
            if command is not None:
                ax, p, v = command[0], *struct.unpack("<2d", command[1] + command[2])
                self.present(gate, older, ax, p, v)
        elif mode == 6:
            self.present(w.aged_gate, h, axis, pos, vel)
        elif mode == 7:
            self.present(gate, h[: extra % 60], axis, pos, vel)
        if mode == 0 or extra & 0x80:
            self.present(gate, h, axis, pos, vel)
            self.present(gate, h, axis, pos, vel)  # a replay

    # -- coupled limits -----------------------------------------------------

    def limits_plain(self, receiver_desc, args_desc, kwargs_desc, extra):
        """Limits feasible by construction (a witness inside the box meets every row)
        are accepted; the witness comes back; batches agree with project."""
        w = self.w
        fill = [INTERESTING_FLOATS[(extra + 5 * k) % len(INTERESTING_FLOATS)] for k in range(48)]
        f = [v for v in plain_numbers([w.make(d) for d in args_desc]) if not math.isnan(v)]
        f = (f + [v for v in fill if not math.isnan(v)])[:24]
        lower, upper = [], []
        for i in range(4):
            lo, hi = sorted((f[2 * i], f[2 * i + 1]))
            lower.append(-math.inf if lo == math.inf else lo)
            upper.append(math.inf if hi == -math.inf else hi)
        witness = []
        for i in range(4):
            t = f[8 + i]
            t = t if math.isfinite(t) and abs(t) < 1e200 else 0.0
            witness.append(min(max(t, lower[i]), upper[i]))
        if not all(math.isfinite(t) for t in witness):
            return
        scale_exp = (-60, -20, 0, 0, 0, 3, 20, 60)
        rows, bounds = [], []
        for j in range(extra % 5):
            a = [small_coefficient(f[12 + j + i]) for i in range(4)]
            a = [ai * 2.0 ** scale_exp[((extra >> 3) + j) & 7] for ai in a]
            # a . witness rounded up: the witness meets the row exactly.
            exact = sum(Fraction(ai) * Fraction(ti) for ai, ti in zip(a, witness))
            if abs(exact) >= 2**1000:
                return
            b = float(exact)
            if Fraction(b) < exact:
                b = math.nextafter(b, math.inf)
            b += abs(b) * 2.0**-40 * (j % 2)  # some rows tight, some with room
            if not math.isfinite(b):
                return
            rows.append(tuple(a))
            bounds.append(b)
        try:
            limits = act.CoupledLimits(lower, upper, rows, bounds)
        except ValueError as exc:
            raise Failure(
                f"limits feasible at {witness!r} refused ({exc}): {lower!r} {upper!r} {rows!r} "
                f"{bounds!r}"
            ) from None
        w.limits.append(limits)
        commands = [tuple(witness), tuple(f[16:20]), tuple(f[20:24]), tuple(fill[:4])]
        expected, failed = project_rows(limits, commands)
        scale = limits_scale(lower, upper, rows, bounds, witness)
        if any(abs(x - t) > ROW_TOLERANCE * scale for x, t in zip(expected[0], witness)):
            raise Failure(f"the feasible witness {witness!r} moved to {expected[0]!r}")
        usable = commands[: failed if failed is not None else len(commands)]
        expected = expected[: len(usable)]
        if pack_rows(limits.project_batch(usable)) != pack_rows(expected):
            raise Failure(f"project_batch({usable!r}) differs from project")
        if usable:
            buffer = w.view(bytearray(pack_rows(usable)), "d", (len(usable), 4))
            result = limits.project_batch(buffer)
            if pack_rows(matrix_rows(result)) != pack_rows(expected):
                raise Failure(f"project_batch of a buffer of {usable!r} differs from project")
            limits.project_batch(buffer, out=buffer)
            if pack_rows(matrix_rows(buffer)) != pack_rows(expected):
                raise Failure(f"project_batch in place on {usable!r} differs from project")

    def batch_buffers(self, receiver_desc, args_desc, kwargs_desc, extra):
        """us and out as views of one storage: the same rows, shifted by a row or
        by part of one, separate, read-only, or another exporter."""
        w = self.w
        limits = w.limits[(extra >> 5) % len(w.limits)]
        values = plain_numbers([w.make(d) for d in args_desc])
        n = len(args_desc) + (extra & 1)
        count = len(INTERESTING_FLOATS)
        fill = [INTERESTING_FLOATS[(extra + 3 * k) % count] for k in range(4 * n + 8)]
        values = (values + fill)[: 4 * (n + 2)]
        storage = bytearray(struct.pack(f"<{len(values)}d", *values))
        whole = w.view(storage)
        mode = (extra >> 1) % 8

        def rows_at(offset: int, count: int = n):
            part = whole[offset : offset + 32 * count]
            w.views.append(part)
            flat = part.cast("B")
            w.views.append(flat)
            shaped = flat.cast("d", (count, 4))
            w.views.append(shaped)
            return shaped

        if n == 0:
            us = ctypes_array(ctypes.c_double, 0, 4)()
            out = None if mode % 2 else ctypes_array(ctypes.c_double, 0, 4)()
        else:
            us = rows_at(32)
            out = [
                None,
                us,
                rows_at(32),  # another view of the same rows
                rows_at(0),  # one row before
                rows_at(64),  # one row after
                rows_at(40),  # a quarter of a row after
                w.view(bytearray(32 * n), "d", (n, 4)),
                rows_at(32, max(1, n - 1)),  # too few rows
            ][mode]
        args = [us] if out is None else [us, out]
        state = {"us_matrix": matrix_rows(us)}
        if out is not None:
            state["out_matrix"] = matrix_rows(out)
        tracked = tracked_objects(w, limits, args, {})
        before = [sys.getrefcount(o) for o in tracked]
        outcome = error = None
        try:
            outcome = limits.project_batch(*args)
        except (ValueError, BufferError) as exc:
            error = type(exc).__name__
        judge(w, "CoupledLimits.project_batch", limits, args, {}, outcome, error, None, state)
        outcome = None
        check_refcounts("CoupledLimits.project_batch", tracked, before, args, {})

    # -- the rest -----------------------------------------------------------

    def set_property(self, receiver_desc, args_desc, kwargs_desc, extra):
        w = self.w
        obj = (w.receipt, w.violation, w.gate, w.limits[0])[extra % 4]
        names = PROPERTIES[type(obj).__name__]
        name = names[(extra >> 2) % len(names)]
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

    def project_plain(self, receiver_desc, args_desc, kwargs_desc, extra):
        """Governor.project and project_batch agree with each other and with a float32 clamp."""
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
        want = [helpers.governor_projection(v, *w.bounds) for v in values]
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
    if type(exc) is NotImplementedError and "multi-dimensional" in str(exc):
        return "helper"  # iterating a memoryview of two or more dimensions
    if isinstance(exc, allowed(target)):
        if isinstance(exc, m.MorvViolation):
            return "violation"
        if type(exc) is TypeError and (
            (exc.args and not isinstance(exc.args[0], str))
            or not str(exc)
            or str(exc).endswith(": ")
        ):
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
    for _ in range(2):  # warm caches and free lists
        for program in programs:
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
        except BaseException:
            print(f"failing input: {data.hex()}", file=sys.stderr)
            raise
        runs += 1
    return runs


def main() -> None:
    print(f"fuzz_python_api: modules {m.__file__} {act.__file__}", file=sys.stderr)
    if len(sys.argv) > 2 and sys.argv[1] == "--replay":  # a failing input of the plain mode
        test_one_input(bytes.fromhex(sys.argv[2]))
        return
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
    # Coverage of the decoding and of what happened: which exceptions, refusal
    # codes, buffer kinds and checks a program reached.
    for func in dict.fromkeys((
        decode_program,
        decode_value,
        decode_vec,
        decode_buffer,
        classify,
        plain_command,
        matrix_rows,
        check_projection,
        project_rows,
        judge,
        keep,
        *(checker for checker, _ in CHECKS.values()),
        *(f for promises in PROMISES.values() for promise in promises for f in promise[:2]),
        *(f for f in vars(World).values() if isinstance(f, types.FunctionType)),
        *(f for f in vars(Runner).values() if isinstance(f, types.FunctionType)),
    )):
        atheris.instrument_func(func)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
