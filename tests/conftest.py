"""Shared fixtures for the Python tests."""

import ctypes
import os

import numpy as np
import pytest
from morvex import kernels
from morvex.kernels import Bounds4, Constraints4, Solution4


@pytest.fixture(scope="session")
def kernel_lib():
    """The exported C kernels, loaded from the installed extension module.

    MORVEX_KERNEL_LIB may name another shared object that exports them (for
    example a freshly built libmorvex_core.so).
    """
    return kernels.load(os.environ.get("MORVEX_KERNEL_LIB"))


@pytest.fixture(scope="session")
def solve_4d(kernel_lib):
    """The four-axis kernel on one problem, as a C caller would call it.

    solve_4d(d, lo, hi, rows, count=len(rows)) takes the desired point, the box
    and up to four rows (a, b) meaning a . u <= b; rows at or beyond `count` are
    passed too (the kernel must ignore them). Every value is narrowed to single
    precision. The call must succeed and leave the record's padding alone; the
    answer is the Solution4 record.
    """
    fn = kernel_lib.morvex_solve_multivar_4d
    fn.restype = ctypes.c_int32
    fn.argtypes = [ctypes.c_void_p] * 4

    def f32(values):
        with np.errstate(over="ignore"):
            return np.asarray(values, dtype=np.float64).astype(np.float32)

    def call(d, lo, hi, rows, count=None):
        a = np.zeros((4, 4), dtype=np.float32)
        b = np.zeros(4, dtype=np.float32)
        for j, (row, bound) in enumerate(rows):
            a[j], b[j] = f32(row), f32(bound)
        desired = (ctypes.c_float * 4).from_buffer_copy(f32(d).tobytes())
        box = Bounds4.from_buffer_copy(np.concatenate([f32(lo), f32(hi)]).tobytes())
        records = Constraints4.from_buffer_copy(
            np.array([len(rows) if count is None else count], dtype=np.uint64).tobytes()
            + a.tobytes()
            + b.tobytes()
        )
        out = Solution4.from_buffer_copy(b"\xa5" * 32)
        assert fn(desired, ctypes.byref(box), ctypes.byref(records), ctypes.byref(out)) == 0
        assert bytes(out)[28:] == b"\xa5" * 4, "padding written"
        return out

    return call
