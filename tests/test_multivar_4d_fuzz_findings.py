"""Reproducers for what fuzz/fuzz_multivar_4d found: the iterations ending on a
point that breaks a bound or a used row by far more than the solver's tolerance.

The algorithm reaches these points bit for bit as the float32 reference in
multivar_4d_reference.py does; the solver must not call them Optimal. It checks
every answer it is about to call optimal against its bounds and rows and reports
a numerical failure (u = the desired vector clamped into the box, 0 iterations)
when the answer misses.
"""

from __future__ import annotations

import ctypes
import math

import pytest

OPTIMAL = 1
INF = math.inf
FLT_MAX = 3.4028234663852886e38


@pytest.fixture(scope="module")
def solve(solve_4d):
    def call(d, lo, hi, rows):
        out = solve_4d(d, lo, hi, rows)
        return out.status, list(out.u), out.iterations

    return call


def worst_miss(u, lo, hi, rows):
    """The largest distance by which u misses a bound or a row (rows scaled to unit norm)."""
    worst = 0.0
    for i in range(4):
        worst = max(worst, lo[i] - u[i], u[i] - hi[i])
    for a, b in rows:
        norm = math.sqrt(sum(float(c) * float(c) for c in a))
        value = math.fsum(float(c) * float(x) for c, x in zip(a, u))
        worst = max(worst, (value - b) / norm)
    return worst


CASES = {
    # Two nearly opposite working-set constraints (x2 <= ~0 and x2 >= 1e-6 x0):
    # the normal equations accept the pivot (the threshold 1e-6 is absolute), the
    # multipliers come out near 1.1e6 and cancel in single precision, and x2 ends
    # 0.083 above its upper bound.
    "nearly_opposite_working_set": (
        (-0.0, -3.75, -0.0, -0.0),
        (-12.5, -16.0, -1.25, -INF),
        (-0.0, 2.5, 1.40129846e-45, 0.0),
        [
            ((9.99999997e-07, 0.0, -1.0, 0.0), -0.0),
            ((4.25, -15.75, -0.0, 0.0), -16.0),
            ((-3.75, -4.0, 4.25, -0.0), -0.0),
        ],
    ),
    # A row value at x* that overflows single precision to -inf counts as met:
    # row 1 is missed by a distance of 0.58.
    "row_value_overflows_to_minus_inf": (
        (4.25, -15.5, -12.5, 4.25),
        (-16.0, 6.0, -11.25, -15.5),
        (4.0, 6.25, 4.25, 4.25),
        [
            ((4.25, -FLT_MAX, -16.0, 6.25), 0.25),
            ((0.0, 4.0, -FLT_MAX, -FLT_MAX), -FLT_MAX),
            ((-15.5, -12.5, 4.25, 4.0), -16.0),
            ((6.0, 6.25, -11.25, 4.25), 4.25),
        ],
    ),
    # A row whose coefficients span 16 decades: N N^T in single precision loses
    # the small parts, and x1 ends a whole unit below its lower bound.
    "badly_scaled_row": (
        (7.25, -16.0, 8.0, -9.99999975e-06),
        (0.0, 9.99999972e-10, -1.5, 0.0),
        (9.99999997e-07, 8.0, 2.75, 2.5),
        [
            ((2.5, 2.5, 2.5, 2.5), 2.5),
            ((0.999989986, 2.5, 7372799.5, 2.5), 2.5),
            ((2.5, -3.08010874e16, -16.0, -15.0), -16.0),
            ((-16.0, -16.0, -16.0, -9.5), 2.5),
        ],
    ),
}


NUMERICAL_FAILURE = 4


@pytest.mark.parametrize("name", sorted(CASES))
def test_optimal_answer_meets_its_constraints(solve, name):
    d, lo, hi, rows = CASES[name]
    status, u, iterations = solve(d, lo, hi, rows)
    assert status != OPTIMAL or worst_miss(u, lo, hi, rows) <= 1e-3
    # Here the iterations do end off the constraints, so the answer is a failure.
    assert (status, iterations) == (NUMERICAL_FAILURE, 0)
    f32 = [[ctypes.c_float(v).value for v in values] for values in (d, lo, hi)]
    assert u == [min(max(v, low), high) for v, low, high in zip(*f32)]


# The quick exit tests each row at the clamped desired vector in single
# precision; a product that overflows to -inf there makes a broken row pass.
# Here row 2 reads -0.75 * FLT_MAX - 39 <= -FLT_MAX in exact arithmetic (missed
# by a distance of 0.17), but -FLT_MAX * 1.0000001 overflows to -inf, so
# Optimal comes back with 0 iterations.
QUICK_EXIT_OVERFLOW = (
    (7.25, -16.0, -3.28430338e-35, 1.25),
    (-14.0, 1.00000012, 1.00000012, -FLT_MAX),
    (2.5, 2.5, 9.25, -0.25),
    [
        ((-FLT_MAX, -FLT_MAX, -FLT_MAX, -15.5), -16.0),
        ((-16.0, -16.0, -16.0, -16.0), -16.0),
        ((-16.0, -FLT_MAX, 1.00000012, -FLT_MAX), -FLT_MAX),
        ((-FLT_MAX, -FLT_MAX, -FLT_MAX, -0.25), -3.0),
    ],
)


def test_quick_exit_does_not_pass_an_overflowed_row(solve):
    d, lo, hi, rows = QUICK_EXIT_OVERFLOW
    status, u, iterations = solve(d, lo, hi, rows)
    assert status != OPTIMAL or worst_miss(u, lo, hi, rows) <= 1e-3
    assert (status, iterations) == (NUMERICAL_FAILURE, 0)
