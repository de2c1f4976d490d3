"""The exported scalar kernel, called through ctypes as a C caller would."""

import ctypes
import math
import struct

import numpy as np
import pytest
from morvex.kernels import ActiveSetKernel, ScalarBounds, ScalarConstraints, ScalarSolution

F = np.float32
OPTIMAL, INFEASIBLE = 1, 3


@pytest.fixture(scope="module")
def solve(kernel_lib):
    fn = kernel_lib.morvex_solve_active_set
    fn.restype = ctypes.c_int32
    fn.argtypes = [ctypes.POINTER(ScalarConstraints), ctypes.POINTER(ScalarSolution),
                   ctypes.c_float, ScalarBounds]

    kernel = ActiveSetKernel(library=kernel_lib)
    kernel.constraints.a[1:] = (7.0, 7.0, 7.0)  # rows the kernel never reads
    kernel.constraints.b[1:] = (-7.0, -7.0, -7.0)

    def call(a, b, x, lo, hi):
        kernel.constraints.a[0], kernel.constraints.b[0] = a, b
        kernel.bounds.min_bound, kernel.bounds.max_bound = lo, hi
        ctypes.memset(ctypes.byref(kernel.solution), 0xA5, ctypes.sizeof(kernel.solution))
        u, status = kernel.project(x)
        assert kernel.solution.iterations == 1
        return u, status

    call.raw = fn
    return call


def test_record_layout_matches_the_header():
    assert ctypes.sizeof(ScalarConstraints) == 32 and ScalarConstraints.b.offset == 16
    assert ctypes.sizeof(ScalarBounds) == 8 and ScalarBounds.max_bound.offset == 4
    assert ctypes.sizeof(ScalarSolution) == 24
    assert (ScalarSolution.iterations.offset, ScalarSolution.status.offset) == (8, 16)


def test_null_records_return_minus_one_and_write_nothing(solve):
    out = ScalarSolution()
    ctypes.memset(ctypes.byref(out), 0xA5, ctypes.sizeof(out))
    before = bytes(out)
    c = ScalarConstraints((1, 0, 0, 0), (5, 0, 0, 0))
    assert solve.raw(None, ctypes.byref(out), 1.0, ScalarBounds(0, 10)) == -1
    assert solve.raw(ctypes.byref(c), None, 1.0, ScalarBounds(0, 10)) == -1
    assert bytes(out) == before
    assert solve.raw(ctypes.byref(c), ctypes.byref(out), 7.0, ScalarBounds(0, 10)) == 0
    raw = bytes(out)
    assert raw[4:8] == before[4:8] and raw[20:24] == before[20:24]  # padding untouched


def clamp(v, lo, hi):
    return lo if v < lo else (min(v, hi))


def reference(a, b, x, lo, hi):
    """The kernel's rules, evaluated with numpy float32 scalars."""
    a, b, x, lo, hi = F(a), F(b), F(x), F(lo), F(hi)
    if a == 0:
        return clamp(x, lo, hi), INFEASIBLE if b < 0 else OPTIMAL
    with np.errstate(all="ignore"):
        t = b / a
    if a > 0:
        if lo > t:
            return lo, INFEASIBLE
        upper = t if math.isnan(hi) else (min(hi, t))
        return clamp(x, lo, upper), OPTIMAL
    if t > hi:
        return clamp(t, lo, hi), INFEASIBLE
    lower = t if math.isnan(lo) else (max(lo, t))
    return clamp(x, lower, hi), OPTIMAL


def same(got, want):
    return (math.isnan(got) and math.isnan(want)) or struct.pack("<f", got) == struct.pack("<f", want)


@pytest.mark.parametrize(
    "a, b, x, lo, hi, u, status",
    [
        (1, 5, 7, 0, 10, 5, OPTIMAL),
        (1, -1, 3, 0, 10, 0, INFEASIBLE),
        (-1, -2, 1, 0, 10, 2, OPTIMAL),
        (-1, -20, 1, 0, 10, 10, INFEASIBLE),
        (0, -1, 12, 0, 10, 10, INFEASIBLE),
        (0, 0, 12, 0, 10, 10, OPTIMAL),
        (-0.0, -1, 12, 0, 10, 10, INFEASIBLE),
        (math.nan, 3, 12, 0, 10, 10, OPTIMAL),
        (1, math.nan, -2, 0, 10, 0, OPTIMAL),
        (1, 0, math.inf, -1, -0.0, -0.0, OPTIMAL),
        (0, 1, 1, 5, 2, 5, OPTIMAL),
    ],
)
def test_documented_cases(solve, a, b, x, lo, hi, u, status):
    got_u, got_status = solve(a, b, x, lo, hi)
    assert same(got_u, u) and got_status == status


def test_random_problems_match_float32_reference(solve):
    rng = np.random.default_rng(2024)
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, 3.4e38, -1.0, 1.0]
    for _ in range(20_000):
        values = rng.standard_normal(5) * 10.0 ** rng.integers(-3, 4, 5)
        for i in np.nonzero(rng.random(5) < 0.1)[0]:
            values[i] = specials[rng.integers(len(specials))]
        a, b, x, lo, hi = (float(v) for v in values)
        got_u, got_status = solve(a, b, x, lo, hi)
        want_u, want_status = reference(a, b, x, lo, hi)
        assert same(got_u, float(want_u)) and got_status == want_status, (a, b, x, lo, hi)
