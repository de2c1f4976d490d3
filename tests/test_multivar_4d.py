"""The four-axis solver through its exported C entry point.

Two independent oracles: the single-precision reference in
multivar_4d_reference.py, compared bit for bit on thousands of random problems
of several families, and a double-precision brute-force minimiser over active
sets for every answer the solver calls optimal.
"""

from __future__ import annotations

import ctypes
import itertools
import math
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import multivar_4d_reference as ref

F32 = np.float32
FLT_MAX = float(np.finfo(F32).max)
EPS = 1e-5


class Bounds4(ctypes.Structure):
    _fields_ = [("min", ctypes.c_float * 4), ("max", ctypes.c_float * 4)]


class Constraints4(ctypes.Structure):
    _fields_ = [
        ("count", ctypes.c_uint64),
        ("a", (ctypes.c_float * 4) * 4),
        ("b", ctypes.c_float * 4),
    ]


class Solution4(ctypes.Structure):
    _fields_ = [
        ("u", ctypes.c_float * 4),
        ("iterations", ctypes.c_uint64),
        ("status", ctypes.c_uint32),
    ]


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
def solve(kernel_lib):
    fn = kernel_lib.morvex_solve_multivar_4d
    fn.restype = ctypes.c_int32
    fn.argtypes = [ctypes.c_void_p] * 4

    def call(p: Problem) -> Answer:
        d = (ctypes.c_float * 4).from_buffer_copy(p.d.astype(F32).tobytes())
        box = Bounds4.from_buffer_copy(np.concatenate([p.lo, p.hi]).astype(F32).tobytes())
        rows = Constraints4.from_buffer_copy(
            np.array([p.count], dtype=np.uint64).tobytes()
            + p.a.astype(F32).tobytes()
            + p.b.astype(F32).tobytes()
        )
        out = Solution4.from_buffer_copy(b"\xa5" * 32)
        assert fn(d, ctypes.byref(box), ctypes.byref(rows), ctypes.byref(out)) == 0
        raw = bytes(out)
        assert raw[28:] == b"\xa5" * 4, "padding written"
        u = np.frombuffer(raw[:16], dtype=F32).copy()
        return Answer(out.status, u, out.iterations)

    return call


def reference(p: Problem, guarded=True) -> Answer:
    with np.errstate(all="ignore"):
        r = ref.reference_solve(p.d, p.lo, p.hi, p.a, p.b, p.count, guarded=guarded)
    return Answer(r.status, np.array(r.u, dtype=F32), r.iterations)


def x0_of(p: Problem) -> np.ndarray:
    return np.array(
        [p.lo[i] if p.d[i] < p.lo[i] else p.hi[i] if p.d[i] > p.hi[i] else p.d[i] for i in range(4)],
        dtype=F32,
    )


# ---------------------------------------------------------------------------
# Problem families


def _box(rng, scale=5.0):
    lo = rng.uniform(-scale, scale * 0.2, 4)
    hi = lo + rng.uniform(0.2, 2 * scale, 4)
    return lo.astype(F32), hi.astype(F32)


def _garbage_rows(rng, a, b, count):
    """Rows beyond count get values the solver must never look at."""
    for j in range(count, 4):
        a[j] = rng.choice([np.nan, np.inf, 1e30, -3.0], 4)
        b[j] = rng.choice([np.nan, -np.inf, -1e30])


def _feasible(rng):
    lo, hi = _box(rng)
    count = int(rng.integers(1, 5))
    inner = rng.uniform(lo, hi).astype(F32)
    a = rng.normal(0, 1, (4, 4)).astype(F32)
    b = np.zeros(4, dtype=F32)
    for j in range(count):
        b[j] = F32(a[j] @ inner.astype(np.float64) + rng.exponential(0.5))
    _garbage_rows(rng, a, b, count)
    d = (inner + rng.normal(0, 6, 4)).astype(F32)
    return Problem(d, lo, hi, a, b, count)


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
    return p


def _magnitudes(rng):
    p = _feasible(rng)
    for j in range(4):
        p.a[j] *= F32(10.0 ** rng.integers(-25, 24))
    p.b *= F32(10.0 ** rng.integers(-20, 30))
    if rng.random() < 0.5:
        s = F32(10.0 ** rng.integers(-30, 30))
        p.lo, p.hi, p.d = p.lo * s, p.hi * s, p.d * s
    if rng.random() < 0.3:  # subnormal entries
        p.a[int(rng.integers(0, 4))][int(rng.integers(0, 4))] = F32(1e-40)
    return p


def _integer_grid(rng):
    """Small integers: exact activity, exact ties in the ratio test and pivots."""
    lo = rng.integers(-3, 1, 4).astype(F32)
    hi = (lo + rng.integers(0, 4, 4)).astype(F32)
    count = int(rng.integers(1, 5))
    a = rng.integers(-2, 3, (4, 4)).astype(F32)
    b = rng.integers(-2, 4, 4).astype(F32)
    _garbage_rows(rng, a, b, count)
    d = rng.integers(-5, 6, 4).astype(F32)
    if rng.random() < 0.3:
        d[int(rng.integers(0, 4))] = F32(-0.0)
    return Problem(d, lo, hi, a, b, count)


FAMILIES = {
    "feasible": (_feasible, 1200),
    "infeasible": (_infeasible, 300),
    "degenerate": (_degenerate, 500),
    "zero_rows": (_zero_rows, 300),
    "nonfinite": (_nonfinite, 500),
    "magnitudes": (_magnitudes, 500),
    "integer_grid": (_integer_grid, 800),
}


def family(name: str) -> list[Problem]:
    make, n = FAMILIES[name]
    rng = np.random.default_rng(sum(map(ord, name)))
    with np.errstate(all="ignore"):
        return [make(rng) for _ in range(n)]


# What each family has to reach for its comparison to mean something.
EXPECTED_STATUSES = {
    "feasible": {ref.OPTIMAL, ref.ITERATION_LIMIT},
    "infeasible": {ref.INFEASIBLE},
    "degenerate": {ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "zero_rows": {ref.OPTIMAL, ref.INFEASIBLE},
    "nonfinite": {ref.INVALID_INPUT, ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "magnitudes": {ref.OPTIMAL, ref.NUMERICAL_FAILURE},
    "integer_grid": {ref.OPTIMAL, ref.INFEASIBLE, ref.ITERATION_LIMIT},
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
    nan_exits = 0
    for p, bare, got in _guard_cases(solve, ["nonfinite", "magnitudes"]):
        if bare.status in (ref.OPTIMAL, ref.ITERATION_LIMIT) and np.isnan(bare.u).any():
            nan_exits += 1
            assert (got.status, got.iterations) == (ref.NUMERICAL_FAILURE, 0)
            assert got.bits() == Answer(0, x0_of(p), 0).bits()
    assert nan_exits > 0, "the corpus no longer reaches a NaN command"


def _worst_row_violation(p: Problem, u: np.ndarray) -> float:
    a, b, x = p.a[: p.count].astype(np.float64), p.b[: p.count].astype(np.float64), u.astype(
        np.float64
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
        hi = (lo + span).astype(F32) if draw(st.booleans()) else np.array(
            [draw(values) for _ in range(4)], dtype=F32
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


def brute_force_projection(p: Problem):
    """argmin |x - d|^2 over the polytope in float64, or None if it is empty."""
    normals, rhs = [], []
    for i in range(4):
        e = np.zeros(4)
        e[i] = 1.0
        normals += [-e, e]
        rhs += [-float(p.lo[i]), float(p.hi[i])]
    for j in range(p.count):
        normals.append(p.a[j].astype(np.float64))
        rhs.append(float(p.b[j]))
    n_mat, v = np.array(normals), np.array(rhs)
    d = p.d.astype(np.float64)
    scale = 1.0 + np.abs(n_mat).sum(axis=1) * (1.0 + np.abs(d).max()) + np.abs(v)
    best, best_dist = None, math.inf
    for k in range(0, 5):
        for subset in itertools.combinations(range(len(v)), k):
            ns = n_mat[list(subset)]
            if k and np.linalg.matrix_rank(ns, tol=1e-10) < k:
                continue
            x = d.copy()
            if k:
                lam = np.linalg.solve(ns @ ns.T, ns @ d - v[list(subset)])
                x = d - ns.T @ lam
            if np.all(n_mat @ x - v <= 1e-9 * scale):
                dist = float(np.sum((x - d) ** 2))
                if dist < best_dist:
                    best, best_dist = x, dist
    return best
