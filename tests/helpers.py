"""Helpers shared by the tests and by fuzz/fuzz_python_api.py: the leak check by
allocated blocks, the declared parameters of the module's callables, and number
stand-ins for argument conversions."""

import gc
import inspect
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
