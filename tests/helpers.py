"""Helpers shared by the tests and by fuzz/fuzz_python_api.py: the leak check by
allocated blocks, the declared parameters of the module's callables, number
stand-ins for argument conversions, the Governor's float32 clamp, and the loop that
judges a table of promises."""

import gc
import inspect
import math
import struct
import sys
import tracemalloc

# Memory in use, in blocks: pymalloc's count, or, where Python allocates with
# malloc (PYTHONMALLOC=malloc, so that AddressSanitizer sees every object and
# pymalloc counts nothing), the bytes that tracemalloc traces, in units of 16
# (the smallest allocation); that count is 0 unless tracing() is active.
PYMALLOC = sys.getallocatedblocks() > 0


def blocks_after_gc() -> int:
    gc.collect()
    if PYMALLOC:
        return sys.getallocatedblocks()
    return tracemalloc.get_traced_memory()[0] // 16


class tracing:  # noqa: N801 - used as a context manager
    """Traces allocations while measuring where pymalloc does not count them."""

    def __enter__(self):
        self.started = not PYMALLOC and not tracemalloc.is_tracing()
        if self.started:
            tracemalloc.start(1)

    def __exit__(self, *exc):
        if self.started:
            tracemalloc.stop()


def growth(run, warm_up=None, times=1) -> int:
    """Blocks still allocated after `times` runs of `run`, once caches and free
    lists are warm (by `warm_up`, else by one run of `run`)."""
    (warm_up or run)()
    before = blocks_after_gc()
    for _ in range(times):
        run()
    return blocks_after_gc() - before


def parameter_names(obj) -> list:
    """The parameters a class or method of the module declares, read from its
    text signature (without $self); none where it has no signature."""
    if getattr(obj, "__text_signature__", None) is None:
        return []
    names = list(inspect.signature(obj).parameters)
    return names[1:] if obj.__text_signature__.startswith("($") else names


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def f32(x: float) -> float:
    """x narrowed to single precision as a C cast does (to an infinity past the largest
    float) and widened back."""
    if not math.isfinite(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def governor_projection(x: float, lo: float, hi: float) -> float:
    """What Governor(lo, hi).project(x) returns: x narrowed to float32 and clamped into
    the envelope narrowed the same way."""
    v, lo, hi = f32(x), f32(lo), f32(hi)
    return lo if v < lo else min(v, hi)  # a NaN v comes back


def broken_promises(subject, promises) -> list:
    """What of `promises` (rows of (condition, what must hold, what is promised), the
    first two functions of the subject) applies to `subject` and was not kept: the
    projection's table (exact_4d_support.PROJECT_PROMISES) and those of every call
    fuzz/fuzz_python_api.py checks."""
    return [what for applies, holds, what in promises if applies(subject) and not holds(subject)]
