"""The four-axis solver through its exported C entry point.

Two independent oracles: the single-precision reference in
multivar_4d_reference.py, compared bit for bit on thousands of random problems
of several families, and a double-precision brute-force minimiser over active
sets for every answer the solver calls optimal.
"""

from __future__ import annotations

import ctypes
import itertools
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import multivar_4d_reference as ref
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from morvex.kernels import Bounds4, Constraints4, Solution4

F32 = np.float32
FLT_MAX = float(np.finfo(F32).max)
EPS = 1e-5


@dataclass
class Problem:
    d: np.ndarray  # float32[4]
    lo: np.ndarray  # float32[4]
    hi: np.ndarray  # float32[4]
    a: np.ndarray  # float32[4, 4]; rows at or beyond count hold garbage
    b: np.ndarray  # float32[4]
    count: int
    tags: set = field(default_factory=set)


@dataclass(frozen=True)
class Answer:
    status: int
    u: np.ndarray  # float32[4]
    iterations: int

    def bits(self):
        return tuple(int(v) for v in self.u.view(np.uint32))


@pytest.fixture(scope="module")
def solve(solve_4d):
    def call(p: Problem) -> Answer:
        out = solve_4d(p.d, p.lo, p.hi, list(zip(p.a, p.b)), p.count)
        u = np.frombuffer(bytes(out)[:16], dtype=F32).copy()
        return Answer(out.status, u, out.iterations)

    return call


def reference(p: Problem, guarded=True) -> Answer:
    with np.errstate(all="ignore"):
        r = ref.reference_solve(p.d, p.lo, p.hi, p.a, p.b, p.count, guarded=guarded)
    return Answer(r.status, np.array(r.u, dtype=F32), r.iterations)


def x0_of(p: Problem) -> np.ndarray:
    # Lower test first, ordered comparisons: not min/max, which differ on NaN.
    return np.array(
        [p.lo[i] if p.d[i] < p.lo[i] else min(p.d[i], p.hi[i]) for i in range(4)],
        dtype=F32,
    )


# ---------------------------------------------------------------------------
# Problem families


def _box(rng, scale=5.0):
    lo = rng.uniform(-scale, scale * 0.2, 4)
    hi = lo + rng.uniform(0.2, 2 * scale, 4)
    return lo.astype(F32), hi.astype(F32)


def _garbage_rows(rng, p):
    """Rows beyond count get values the solver must never look at."""
    for j in range(min(p.count, 4), 4):
        p.a[j] = rng.choice([np.nan, np.inf, 1e30, -3.0], 4)
        p.b[j] = rng.choice([np.nan, -np.inf, -1e30])


def _feasible(rng):
    """Four rows met with some slack by a point of the box; 1 to 4 in use."""
    lo, hi = _box(rng)
    inner = rng.uniform(lo, hi)
    a = rng.normal(0, 1, (4, 4)).astype(F32)
    b = (a.astype(np.float64) @ inner + rng.exponential(0.5, 4)).astype(F32)
    d = (inner + rng.normal(0, 6, 4)).astype(F32)
    return Problem(d, lo, hi, a, b, int(rng.integers(1, 5)))


def _infeasible(rng):
    p = _feasible(rng)
    j = int(rng.integers(0, 4))
    p.count = max(p.count, j + 1)
    kind = rng.integers(0, 3)
    if kind == 0:  # a row and its negation that leave a gap
        k = (j + 1) % 4
        p.count = max(p.count, k + 1)
        p.a[j] = rng.normal(0, 1, 4)
        p.a[k] = -p.a[j]
        p.b[j] = F32(rng.uniform(-2, 2))
        p.b[k] = F32(-p.b[j] - rng.uniform(1e-3, 2))
    elif kind == 1:  # a row that excludes the whole box
        p.a[j] = rng.normal(0, 1, 4)
        corner = np.where(p.a[j] > 0, p.lo, p.hi).astype(np.float64)
        p.b[j] = F32(p.a[j] @ corner - rng.uniform(1e-3, 3))
    else:  # a bound-like row just below the lower bound
        axis = int(rng.integers(0, 4))
        p.a[j] = 0
        p.a[j][axis] = 1
        p.b[j] = F32(p.lo[axis] - rng.choice([2e-5, 1e-3, 1]))
    return p


def _degenerate(rng):
    p = _feasible(rng)
    p.count = 4
    kind = rng.integers(0, 4)
    if kind == 0:  # exact duplicates
        p.a[1], p.b[1] = p.a[0], p.b[0]
    elif kind == 1:  # scaled duplicates
        s = F32(rng.choice([2, 0.5, 3, -1]))
        p.a[2], p.b[2] = p.a[0] * s, p.b[0] * s
    elif kind == 2:  # rows lying on a bound
        for j in range(4):
            axis = int(rng.integers(0, 4))
            p.a[j] = 0
            if rng.random() < 0.5:
                p.a[j][axis], p.b[j] = 1, p.hi[axis]
            else:
                p.a[j][axis], p.b[j] = -1, -p.lo[axis]
    else:  # rows through the start point: active from the first iteration
        z = np.clip(np.zeros(4), p.lo, p.hi).astype(np.float64)
        for j in range(4):
            p.b[j] = F32(p.a[j] @ z)
    return p


def _zero_rows(rng):
    p = _feasible(rng)
    p.count = int(rng.integers(1, 5))
    for j in range(p.count):
        if rng.random() < 0.5:
            p.a[j] = 0
            p.a[j] *= rng.choice([1, -1])  # +0 or -0 coefficients
            p.b[j] = F32(rng.choice([-1, -2e-5, -1e-5, -5e-6, 0, 1e-5, 1]))
    return p


def _nonfinite(rng):
    p = _feasible(rng)
    p.count = int(rng.choice([0, 1, 2, 3, 4, 4, 4, 5, 1 << 63]))
    for _ in range(int(rng.integers(1, 4))):
        value = F32(rng.choice([np.nan, np.inf, -np.inf, FLT_MAX, -FLT_MAX]))
        where = rng.integers(0, 4)
        i, j = int(rng.integers(0, 4)), int(rng.integers(0, 4))
        if where == 0:
            p.d[i] = value
        elif where == 1:
            (p.lo if rng.random() < 0.5 else p.hi)[i] = value
        elif where == 2:
            p.a[j][i] = value
        else:
            p.b[j] = value
    if rng.random() < 0.3:
        # An infinite desired value on an unbounded axis that the rows do not
        # touch: only the products of the bound rows with it (0 * inf) decide.
        m = int(rng.integers(0, 4))
        sign = F32(rng.choice([1, -1]))
        p.d[m] = sign * F32(np.inf)
        (p.hi if sign > 0 else p.lo)[m] = sign * F32(np.inf)
        if rng.random() < 0.7:
            p.a[:, m] = 0
    return p


def _flt_max_multipliers(rng):
    """Two rows through the origin, an unbounded box and d near FLT_MAX: the
    multipliers come out near FLT_MAX and x* = d - l0 N0 - l1 N1 meets
    (-inf) - (-inf) on axis 0."""
    a = np.zeros((4, 4), dtype=F32)
    a[0, :2] = -rng.uniform(0.7, 1), -rng.uniform(0.5, 0.8)
    a[1, :2] = rng.uniform(1.1, 1.3), -0.25
    d = np.array([rng.uniform(1.4e38, 1.7e38), rng.uniform(-2.5e38, -2e38), 0, 0], dtype=F32)
    unbounded = np.full(4, np.inf, dtype=F32)
    return Problem(d, -unbounded, unbounded, a, np.zeros(4, dtype=F32), 2)


def _magnitudes(rng):
    if rng.random() < 0.1:
        return _flt_max_multipliers(rng)
    p = _feasible(rng)
    for j in range(4):
        p.a[j] *= F32(10.0 ** rng.integers(-25, 24))
    p.b *= F32(10.0 ** rng.integers(-20, 30))
    if rng.random() < 0.5:
        s = F32(10.0 ** rng.integers(-30, 30))
        p.lo, p.hi, p.d = p.lo * s, p.hi * s, p.d * s
    if rng.random() < 0.3:  # subnormal entries
        p.a[int(rng.integers(0, 4))][int(rng.integers(0, 4))] = F32(1e-40)
    if rng.random() < 0.3:  # a row whose squared norm overflows single precision
        j = int(rng.integers(0, p.count))
        p.a[j] = rng.normal(0, 1, 4) * 10.0 ** rng.uniform(19, 21)
        p.b[j] = F32(rng.normal(0, 1) * 10.0 ** rng.uniform(15, 22))
    return p


def _integer_grid(rng):
    """Small integers: exact activity, exact ties in the ratio test and pivots."""
    lo = rng.integers(-3, 1, 4).astype(F32)
    hi = (lo + rng.integers(0, 4, 4)).astype(F32)
    count = int(rng.integers(1, 5))
    a = rng.integers(-2, 3, (4, 4)).astype(F32)
    b = rng.integers(-2, 4, 4).astype(F32)
    d = rng.integers(-5, 6, 4).astype(F32)
    if rng.random() < 0.3:
        d[int(rng.integers(0, 4))] = F32(-0.0)
    return Problem(d, lo, hi, a, b, count)


def _thresholds(rng):
    """Problems placed on the solver's thresholds, where the exact rule decides."""
    kind = rng.integers(0, 4)
    lo = np.full(4, -5, dtype=F32)
    hi = np.full(4, 5, dtype=F32)
    a = rng.normal(0, 1, (4, 4)).astype(F32)
    b = np.full(4, 50, dtype=F32)
    d = rng.uniform(-4, 4, 4).astype(F32)
    count = int(rng.integers(1, 5))
    if kind == 0:
        # Start at the corner 0 holding all lower bounds; the multipliers of
        # the bounds are -d[i], several of them negative and within 1e-5 of
        # each other.
        lo[:] = 0
        base = rng.uniform(1, 3)
        d = (base + rng.choice([0, 2e-6, 4e-6, 8e-6, 2e-5], 4) * rng.choice([1, -1], 4)).astype(F32)
        a[0] = 1
        b[0] = F32(rng.uniform(0.5, 2))
    elif kind == 1:
        # The first step from the origin is cut just short of the full step.
        d = rng.uniform(1, 4, 4).astype(F32)
        a[0] = np.abs(a[0])
        ad = float(a[0].astype(np.float64) @ d)
        b[0] = F32(ad * (1 - rng.choice([2e-6, 5e-6, 1e-5, 1.2e-5, 3e-5])))
    elif kind == 2:
        # The start point sits within, on or just beyond 1e-5 of a bound.
        offsets = rng.choice([-2e-5, -1e-5, -5e-6, 0, 5e-6, 1e-5, 2e-5], 4)
        lo = np.where(rng.random(4) < 0.5, offsets, -5).astype(F32)
        hi = np.where(lo == -5, -offsets, 5).astype(F32)
        hi = np.maximum(hi, lo)
        b[:] = (a.astype(np.float64) @ rng.uniform(lo, hi)).astype(F32)
    else:
        # Rows with squared norms about the pivot threshold 1e-6.
        a *= F32(rng.choice([5e-4, 1e-3, 2e-3]))
        b = (a.astype(np.float64) @ rng.uniform(-1, 1, 4) + rng.exponential(1e-3, 4)).astype(F32)
    return Problem(d, lo, hi, a, b, count)


FAMILIES = {
    "feasible": (_feasible, 1200),
    "infeasible": (_infeasible, 300),
    "degenerate": (_degenerate, 500),
    "zero_rows": (_zero_rows, 300),
    "nonfinite": (_nonfinite, 500),
    "magnitudes": (_magnitudes, 500),
    "integer_grid": (_integer_grid, 800),
    "thresholds": (_thresholds, 600),
}


def family(name: str) -> list[Problem]:
    make, n = FAMILIES[name]
    rng = np.random.default_rng(sum(map(ord, name)))
    problems = []
    with np.errstate(all="ignore"):
        for _ in range(n):
            p = make(rng)
            _garbage_rows(rng, p)
            problems.append(p)
    return problems


# What each family has to reach for its comparison to mean something.
EXPECTED_STATUSES = {
    "feasible": {ref.OPTIMAL, ref.ITERATION_LIMIT},
    "infeasible": {ref.INFEASIBLE},
    "degenerate": {ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "zero_rows": {ref.OPTIMAL, ref.INFEASIBLE},
    "nonfinite": {ref.INVALID_INPUT, ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "magnitudes": {ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "integer_grid": {ref.OPTIMAL, ref.INFEASIBLE, ref.ITERATION_LIMIT},
    "thresholds": {ref.OPTIMAL, ref.NUMERICAL_FAILURE},
}


@pytest.mark.parametrize("name", sorted(FAMILIES))
def test_matches_reference_bit_for_bit(solve, name):
    seen = set()
    iterated = 0
    for k, p in enumerate(family(name)):
        got, want = solve(p), reference(p)
        assert (got.status, got.iterations, got.bits()) == (
            want.status,
            want.iterations,
            want.bits(),
        ), f"{name}[{k}]: {p}"
        seen.add(got.status)
        iterated += got.iterations > 0
    assert EXPECTED_STATUSES[name] <= seen, seen
    if name in ("feasible", "degenerate", "integer_grid", "magnitudes"):
        assert iterated > 0


def test_null_pointer_leaves_out_untouched(kernel_lib):
    fn = kernel_lib.morvex_solve_multivar_4d
    fn.restype = ctypes.c_int32
    fn.argtypes = [ctypes.c_void_p] * 4
    d = (ctypes.c_float * 4)(1, 2, 3, 4)
    box = Bounds4((ctypes.c_float * 4)(0, 0, 0, 0), (ctypes.c_float * 4)(1, 1, 1, 1))
    rows = Constraints4(0)
    args = [ctypes.addressof(d), ctypes.addressof(box), ctypes.addressof(rows)]
    for which in range(4):
        out = Solution4.from_buffer_copy(b"\xa5" * 32)
        call = args + [ctypes.addressof(out)]
        call[which] = None
        assert fn(*call) == -1
        assert bytes(out) == b"\xa5" * 32


# Found by a search over corners where several constraints hold and d is
# tied to within 1e-5 between axes: on each of them the drop rule decides the
# answer (a later multiplier displaces the chosen one only when lower by more
# than 1e-5; a plain "lowest multiplier" rule gives another result). Fields:
# d, min, max, a (4x4), b as little-endian float32 hex, then count.
NEAR_TIED_MULTIPLIERS = [
    (
        "adb6f53e05b6f53eceb6f5be6ab6f5be",
        "000000000000a0c00000a0c000000000",
        "0000a0400000a0400000a0400000a040",
        (
            "000000c0000000c00000004000000000000080bf000080bf0000803f00000040"
            "00000040000080bf000000c000000000000040c0caf24971000040c0caf24971"
        ),
        "6b6936400000000000000000000080ff",
        3,
    ),
    (
        "db2fea3ff52feabff52fea3fdb2fea3f",
        "0000a0c0000000000000a0c00000a0c0",
        "0000a0400000a0400000a0400000a040",
        (
            "000080bf0000000000000040000000c0000080bf000080bf0000803f0000803f"
            "000000c00000803f000080bf0000803fcaf249710000807fcaf24971caf24971"
        ),
        "000000000000000000000000000080ff",
        3,
    ),
    (
        "754e21c0794e2140864e21c0754e21c0",
        "000000000000a0c00000000000000000",
        "0000a0400000a0400000a0400000a040",
        (
            "000000400000803f000080bf000000c000000040000080bf000000c000000040"
            "0000c07f0000807f000040c00000c07f000040c00000c07f0000807f0000807f"
        ),
        "786c0b4000000000000080ffcaf249f1",
        2,
    ),
    (
        "509bdbbf1e9bdb3f269bdbbf379bdbbf",
        "000000000000a0c0000000000000a0c0",
        "0000a0400000a0400000a0400000a040",
        (
            "00000040000000c0000000c00000803f000000c0000000c0000000c000000000"
            "000000000000803f00000040000000000000807f0000807f000040c0000040c0"
        ),
        "00000000d457c03f000000000000c07f",
        3,
    ),
    (
        "207e0ac0297e0ac0427e0a40247e0a40",
        "0000a0c0000000000000000000000000",
        "0000a0400000a0400000a0400000a040",
        (
            "0000000000000000000000400000803f0000803f00000040000000c0000000c0"
            "000040c00000807f0000807f0000807f0000807fcaf24971caf249710000c07f"
        ),
        "04a6ee3f00000000caf249f10000c07f",
        2,
    ),
    (
        "d69126c0e7912640c59126c0c9912640",
        "0000000000000000000000000000a0c0",
        "0000a0400000a0400000a0400000a040",
        (
            "00000040000080bf0000803f000080bf000000000000803f000000c000000000"
            "0000c07f0000807f000040c00000807f0000c07f0000807f000040c0caf24971"
        ),
        "00000000573d513f0000c07fcaf249f1",
        2,
    ),
    (
        "e7afa33fdfafa3bfdfafa3bf11b0a33f",
        "00000000000000000000a0c00000a0c0",
        "0000a0400000a0400000a0400000a040",
        (
            "000080bf00000000000000c00000000000000040000000c0000000000000803f"
            "0000004000000000000080bf000000400000c07fcaf24971caf24971caf24971"
        ),
        "1917f93f00000000000000000000c07f",
        3,
    ),
    (
        "6113a4bf2613a4bf4813a43f2f13a43f",
        "000000000000a0c0000000000000a0c0",
        "0000a0400000a0400000a0400000a040",
        (
            "000000400000803f000000c00000803f00000000000000000000004000000040"
            "0000000000000000000000c0000080bf0000807f000040c0caf249710000807f"
        ),
        "0000000000000000b09c03400000c07f",
        3,
    ),
]


def _from_hex(case) -> Problem:
    d, lo, hi, a, b, count = case
    f32 = [np.frombuffer(bytes.fromhex(x), dtype="<f4").copy() for x in (d, lo, hi, a, b)]
    return Problem(f32[0], f32[1], f32[2], f32[3].reshape(4, 4), f32[4], count)


@pytest.mark.parametrize("case", NEAR_TIED_MULTIPLIERS, ids=range(len(NEAR_TIED_MULTIPLIERS)))
def test_drop_rule_on_near_tied_multipliers(solve, case):
    p = _from_hex(case)
    got, want = solve(p), reference(p)
    assert (got.status, got.iterations, got.bits()) == (want.status, want.iterations, want.bits())


# ---------------------------------------------------------------------------
# The three safeguards on top of the bare iteration


def _guard_cases(solve, names):
    """Problems on which the bare iteration and the guarded solver differ."""
    for name in names:
        for p in family(name):
            bare, got = reference(p, guarded=False), solve(p)
            if (bare.status, bare.iterations, bare.bits()) != (
                got.status,
                got.iterations,
                got.bits(),
            ):
                yield p, bare, got


def test_iteration_limit_never_leaves_the_box(solve):
    outside = 0
    for p, bare, got in _guard_cases(solve, ["feasible", "integer_grid", "degenerate"]):
        if bare.status != ref.ITERATION_LIMIT or np.isnan(bare.u).any():
            continue
        outside += 1
        assert ((bare.u < p.lo) | (bare.u > p.hi)).any()
        assert (got.status, got.iterations) == (ref.ITERATION_LIMIT, 20)
        assert ((got.u >= p.lo) & (got.u <= p.hi)).all()
        assert (got.u == np.clip(bare.u, p.lo, p.hi)).all()
    assert outside > 10, "the corpus no longer reaches an iterate outside the box"


def test_no_nan_command(solve):
    nan_exits = {ref.OPTIMAL: 0, ref.ITERATION_LIMIT: 0}
    for p, bare, got in _guard_cases(solve, ["nonfinite", "magnitudes"]):
        if bare.status in nan_exits and np.isnan(bare.u).any():
            nan_exits[bare.status] += 1
            assert (got.status, got.iterations) == (ref.NUMERICAL_FAILURE, 0)
            assert got.bits() == Answer(0, x0_of(p), 0).bits()
    assert all(n > 0 for n in nan_exits.values()), f"a NaN exit is no longer reached: {nan_exits}"


def _worst_row_violation(p: Problem, u: np.ndarray) -> float:
    a, b, x = (
        p.a[: p.count].astype(np.float64),
        p.b[: p.count].astype(np.float64),
        u.astype(np.float64),
    )
    with np.errstate(all="ignore"):
        viol = (a @ x - b) / np.maximum(1.0, np.abs(a) @ np.abs(x) + np.abs(b))
    return float(np.max(viol, initial=0.0))


def test_overflowed_normal_matrix_is_a_failure(solve):
    """A row whose squared norm overflows must not be reported as met."""
    bad_optima = 0
    for p, bare, got in _guard_cases(solve, ["magnitudes"]):
        if bare.status == ref.OPTIMAL and _worst_row_violation(p, bare.u) > 1e-3:
            bad_optima += 1
            assert got.status != ref.OPTIMAL or _worst_row_violation(p, got.u) <= 1e-3
    assert bad_optima > 0, "the corpus no longer reaches an overflowed row"


# ---------------------------------------------------------------------------
# Property check on arbitrary single-precision inputs

finite_or_not = st.floats(width=32, allow_nan=True, allow_infinity=True)
moderate = st.floats(min_value=-8, max_value=8, width=32)
values = st.one_of(moderate, moderate, st.sampled_from([0.0, -0.0, 1.0, -1.0]), finite_or_not)


@st.composite
def problems(draw):
    lo = np.array([draw(values) for _ in range(4)], dtype=F32)
    span = np.array([draw(st.floats(0, 16, width=32)) for _ in range(4)], dtype=F32)
    with np.errstate(all="ignore"):
        hi = (
            (lo + span).astype(F32)
            if draw(st.booleans())
            else np.array([draw(values) for _ in range(4)], dtype=F32)
        )
    return Problem(
        d=np.array([draw(values) for _ in range(4)], dtype=F32),
        lo=lo,
        hi=hi,
        a=np.array([[draw(values) for _ in range(4)] for _ in range(4)], dtype=F32),
        b=np.array([draw(values) for _ in range(4)], dtype=F32),
        count=draw(st.sampled_from([0, 1, 2, 3, 4, 4, 4, 5])),
    )


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(p=problems())
def test_any_input_matches_reference_and_is_safe(solve, p):
    got, want = solve(p), reference(p)
    assert (got.status, got.iterations, got.bits()) == (want.status, want.iterations, want.bits())
    assert got.status in range(5)
    if got.status == ref.INVALID_INPUT:
        return
    assert not np.isnan(got.u).any()
    if got.status != ref.OPTIMAL or got.iterations == 0:
        assert ((got.u >= p.lo) & (got.u <= p.hi)).all()
    if got.status in (ref.INFEASIBLE, ref.NUMERICAL_FAILURE):
        assert (got.iterations, got.bits()) == (0, Answer(0, x0_of(p), 0).bits())


# ---------------------------------------------------------------------------
# Optimality: a double-precision minimiser by enumeration of active sets

_SUBSETS = {
    m: [
        np.array(list(itertools.combinations(range(m), k)), dtype=np.intp).reshape(-1, k)
        for k in range(1, 5)
    ]
    for m in range(8, 13)
}


def brute_force_projection(p: Problem, relax: float = 0.0):
    """argmin |x - d|^2 over the polytope, in float64; None when it is empty.

    The minimiser is the projection of d onto the affine hull of some linearly
    independent set of at most four constraints (the active constraints
    carrying its multipliers), so the nearest feasible point among all such
    projections is the minimiser.
    """
    eye = np.eye(4)
    normals = np.concatenate([-eye, eye, p.a[: p.count].astype(np.float64)])
    rhs = np.concatenate(
        [-p.lo.astype(np.float64), p.hi.astype(np.float64), p.b[: p.count].astype(np.float64)]
    ) + np.concatenate([np.zeros(8), np.full(p.count, relax)])
    d = p.d.astype(np.float64)
    slack = 1e-9 * (1 + np.abs(rhs) + np.abs(normals).sum(axis=1) * (1 + np.abs(d).max()))

    candidates = [d[None, :]]
    for subsets in _SUBSETS[len(rhs)]:
        ns = normals[subsets]  # (n, k, 4)
        sv = np.linalg.svd(ns, compute_uv=False)
        ns, vs = ns[sv[:, -1] > 1e-9 * sv[:, 0]], rhs[subsets][sv[:, -1] > 1e-9 * sv[:, 0]]
        if len(ns) == 0:
            continue
        gram = ns @ ns.transpose(0, 2, 1)
        lam = np.linalg.pinv(gram, rcond=1e-13) @ (ns @ d - vs)[..., None]
        candidates.append(d - (ns.transpose(0, 2, 1) @ lam)[..., 0])
    xs = np.concatenate(candidates)
    feasible = np.all(xs @ normals.T - rhs <= slack, axis=1)
    if not feasible.any():
        return None
    xs = xs[feasible]
    return xs[np.argmin(np.sum((xs - d) ** 2, axis=1))]


def optimality_tolerance(p: Problem, x_hat: np.ndarray) -> float:
    """How far an answer the solver calls optimal may lie from the minimiser.

    The solver accepts a point whose working constraints hold as equalities,
    whose other constraints are violated by at most eps = 1e-5 and whose
    multipliers are at least -eps. To first order, moving the right-hand sides
    of the r constraints active at the minimiser by eps moves the projection
    by at most eps * sqrt(r) / sigma (sigma: least singular value of their
    normals, r <= 4, so at most 2 eps / sigma), and keeping a constraint whose
    multiplier is in [-eps, 0) moves it by at most eps * |N_k| for each of at
    most four such constraints. Single-precision rounding of d - sum l_k N_k
    and of the normal equations costs a few units in the last place of the
    data's magnitude, amplified by the same conditioning: 2^-20 (16 ulps)
    * (1 + |d|) * (1 + 1/sigma).
    """
    eye = np.eye(4)
    normals = np.concatenate([-eye, eye, p.a[: p.count].astype(np.float64)])
    rhs = np.concatenate(
        [-p.lo.astype(np.float64), p.hi.astype(np.float64), p.b[: p.count].astype(np.float64)]
    )
    active = np.abs(normals @ x_hat - rhs) <= 1e-6 * (1 + np.abs(rhs))
    active &= np.abs(normals).sum(axis=1) > 0  # a zero row constrains no direction
    sigma, longest = 1.0, 1.0
    if active.any():
        sv = np.linalg.svd(normals[active], compute_uv=False)
        sigma = float(sv[sv > 1e-9 * sv[0]][-1])
        longest = max(1.0, float(np.linalg.norm(normals[active], axis=1).max()))
    size = 1.0 + float(np.abs(p.d).max())
    return EPS * (2 / sigma + 4 * longest) + 2.0**-20 * size * (1 + 1 / sigma)


ORACLE_FAMILIES = ["feasible", "degenerate", "integer_grid", "thresholds", "zero_rows"]


@pytest.mark.parametrize("name", ORACLE_FAMILIES)
def test_optimal_answers_are_the_minimiser(solve, name):
    checked = 0
    for k, p in enumerate(family(name)):
        got = solve(p)
        if got.status != ref.OPTIMAL:
            continue
        x_hat = brute_force_projection(p)
        if x_hat is None:
            # Empty, but met within the solver's slack (a zero row with
            # -1e-5 <= b < 0): the minimiser over the polytope relaxed by it.
            x_hat = brute_force_projection(p, relax=EPS)
        assert x_hat is not None, f"{name}[{k}] called optimal on an empty polytope"
        error = float(np.max(np.abs(got.u.astype(np.float64) - x_hat)))
        assert error <= optimality_tolerance(p, x_hat), f"{name}[{k}]: {error:.3g} off {x_hat}"
        checked += 1
    assert checked >= 100


# ---------------------------------------------------------------------------
# The runnable examples

ROOT = Path(__file__).resolve().parent.parent


def test_ctypes_example_runs(kernel_lib):
    env = dict(os.environ, MORVEX_KERNEL_LIB=kernel_lib._name)
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "kernels_ctypes.py")],
        env=env,
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert "scalar: u = 5, status Optimal" in run.stdout
    assert "4-axis: u = (0.5, 0.5, 0, 0), status Optimal, 2 iterations" in run.stdout


def test_c_example_builds_as_c_and_runs(tmp_path):
    """The header compiles as C11 and the example links against the kernels."""
    cc, cxx = shutil.which("cc"), shutil.which("c++")
    if cc is None or cxx is None:
        pytest.skip("no C and C++ compiler")
    core = ROOT / "libraries" / "morvex-core"
    include = ["-I", str(core / "include")]
    objects = []
    for source in sorted((core / "src").glob("*.cpp")):
        obj = tmp_path / (source.stem + ".o")
        flags = ["-std=c++20", "-O1", "-ffp-contract=off", "-fno-exceptions", "-fno-rtti"]
        subprocess.run([cxx, *flags, *include, "-c", str(source), "-o", str(obj)], check=True)
        objects.append(str(obj))
    example = tmp_path / "kernels_from_c.o"
    c_flags = ["-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror"]
    subprocess.run(
        [
            cc,
            *c_flags,
            *include,
            "-c",
            str(ROOT / "examples" / "kernels_from_c.c"),
            "-o",
            str(example),
        ],
        check=True,
    )
    program = tmp_path / "kernels_from_c"
    subprocess.run([cxx, str(example), *objects, "-o", str(program)], check=True)
    run = subprocess.run([str(program)], check=False, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "scalar: u = 5, status Optimal" in run.stdout
    assert "4-axis: u = (0.5, 0.5, 0, 0), status Optimal, 2 iterations" in run.stdout


def test_record_layout_matches_the_header():
    assert ctypes.sizeof(Bounds4) == 32 and Bounds4.max.offset == 16
    assert ctypes.alignment(Constraints4) == 8 and ctypes.sizeof(Constraints4) == 88
    assert (Constraints4.a.offset, Constraints4.b.offset) == (8, 72)
    assert ctypes.alignment(Solution4) == 8 and ctypes.sizeof(Solution4) == 32
    assert (Solution4.iterations.offset, Solution4.status.offset) == (16, 24)
