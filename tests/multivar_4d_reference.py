"""A single-precision reference of the four-axis solver, for bit-for-bit checks.

Every value is a numpy float32 scalar and every operation rounds to single
precision, in the order the solver documents: dot products as
((t0 + t1) + t2) + t3, the update of x* per axis in working-set order, the back
substitution as a running subtraction. Bound rows are full 4-vectors (+0.0
off their axis), so their products follow the same arithmetic as general rows.

`reference_solve(..., guarded=False)` runs the bare iteration without the three
safeguards (iteration-limit clamp, NaN command, overflowed normal matrix); the
tests use it to show that their cases really exercise each safeguard.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

F = np.float32
EPS = F(1e-5)
TINY = F(1e-9)
PIVOT_MIN = F(1e-6)
FULL_STEP = F(0.99999)
ZERO = F(0.0)
ONE = F(1.0)

INVALID_INPUT, OPTIMAL, ITERATION_LIMIT, INFEASIBLE, NUMERICAL_FAILURE = range(5)

LOWER, UPPER, ROW = 0, 1, 2


@dataclass(frozen=True)
class Result:
    status: int
    u: tuple  # four float32 scalars
    iterations: int


def _dot(x, y):
    total = x[0] * y[0]
    total = total + x[1] * y[1]
    total = total + x[2] * y[2]
    return total + x[3] * y[3]


def _clamp(v, lo, hi):
    if v < lo:
        return lo
    if v > hi:
        return hi
    return v


def _isnan(v):
    return v != v  # noqa: PLR0124 (NaN is the only value unequal to itself)


def _finite(v):
    return math.isfinite(float(v))


def normal_equations(rows, rhs, guarded=True):
    """lambda with (N N^T) lambda = rhs, or None when the solve fails."""
    k = len(rows)
    g = [[_dot(rows[i], rows[j]) for j in range(k)] for i in range(k)]
    if guarded and not all(_finite(e) for line in g for e in line):
        return None
    r = list(rhs)
    for col in range(k):
        best = col
        for cand in range(col + 1, k):
            if abs(g[cand][col]) > abs(g[best][col]):
                best = cand
        if abs(g[best][col]) < PIVOT_MIN:
            return None
        g[col][col:], g[best][col:] = g[best][col:], g[col][col:]
        r[col], r[best] = r[best], r[col]
        for i in range(col + 1, k):
            factor = g[i][col] / g[col][col]
            if not _finite(factor):
                return None
            for c in range(col, k):
                g[i][c] = g[i][c] - factor * g[col][c]
            r[i] = r[i] - factor * r[col]
    lam = [ZERO] * k
    for i in range(k - 1, -1, -1):
        if abs(g[i][i]) < PIVOT_MIN:
            return None
        s = r[i]
        for j in range(i + 1, k):
            s = s - g[i][j] * lam[j]
        lam[i] = s / g[i][i]
        if not _finite(lam[i]):
            return None
    return lam


class _Failure(Exception):
    """A numerical failure inside the iteration."""


def reference_solve(d, lo, hi, a, b, count, guarded=True) -> Result:
    """The solver on plain Python/numpy inputs (converted to float32 here)."""
    d = [F(v) for v in d]
    lo = [F(v) for v in lo]
    hi = [F(v) for v in hi]
    x0 = tuple(_clamp(d[i], lo[i], hi[i]) for i in range(4))

    def early(status):
        return Result(status, x0, 0)

    if count > 4:
        return early(INVALID_INPUT)
    for i in range(4):
        if _isnan(lo[i]) or _isnan(hi[i]) or lo[i] > hi[i] or _isnan(d[i]):
            return early(INVALID_INPUT)
    rows = [[F(v) for v in a[j]] for j in range(count)]
    rhs = [F(b[j]) for j in range(count)]
    for j in range(count):
        if any(_isnan(v) for v in rows[j]) or _isnan(rhs[j]):
            return early(INVALID_INPUT)

    if all(_dot(rows[j], x0) <= rhs[j] + EPS for j in range(count)):
        if guarded and not meets_every_constraint(x0, lo, hi, rows, rhs):
            return early(NUMERICAL_FAILURE)
        return early(OPTIMAL)

    start = _feasible_start(rows, rhs, lo, hi)
    if start is None:
        return early(INFEASIBLE)
    try:
        status, u, n = _iterate(d, lo, hi, rows, rhs, start, guarded)
    except _Failure:
        return early(NUMERICAL_FAILURE)
    if guarded and any(_isnan(v) for v in u):
        return early(NUMERICAL_FAILURE)
    if guarded and status == OPTIMAL and not meets_every_constraint(u, lo, hi, rows, rhs):
        return early(NUMERICAL_FAILURE)
    return Result(status, tuple(u), n)


def meets_every_constraint(x, lo, hi, rows, rhs):
    """An optimal answer must meet its bounds and rows: measured with Python floats
    (doubles), allowing the tolerance plus 2**-20 of the magnitudes involved."""
    if not all(math.isfinite(float(v)) for v in x):
        return True

    def missed(excess, magnitude):
        return excess > float(EPS) + 2.0**-20 * magnitude

    for i in range(4):
        xi, l, h = float(x[i]), float(lo[i]), float(hi[i])
        if missed(l - xi, abs(l) + abs(xi)) or missed(xi - h, abs(h) + abs(xi)):
            return False
    for row, b in zip(rows, rhs):
        value, magnitude = 0.0, abs(float(b))
        for c, xi in zip(row, x):
            term = float(c) * float(xi)
            value += term
            magnitude += abs(term)
        if not (math.isfinite(value) and math.isfinite(float(b))):
            if not value <= float(b):
                return False
        elif missed(value - float(b), magnitude):
            return False
    return True


def _feasible_start(rows, rhs, lo, hi):
    z = [_clamp(ZERO, lo[i], hi[i]) for i in range(4)]
    for _ in range(60):
        moved = False
        for a_j, b_j in zip(rows, rhs):
            excess = _dot(a_j, z) - b_j
            if excess > EPS:
                moved = True
                nn = _dot(a_j, a_j)
                if not nn < TINY:
                    scale = excess / nn
                    z = [_clamp(z[i] - a_j[i] * scale, lo[i], hi[i]) for i in range(4)]
        if not moved:
            return z
    for i in range(4):
        if z[i] < lo[i] - EPS or z[i] > hi[i] + EPS:
            return None
    if any(_dot(a_j, z) > b_j + EPS for a_j, b_j in zip(rows, rhs)):
        return None
    return z


def _normal_row(kind, idx, lo, hi, rows, rhs):
    if kind == ROW:
        return list(rows[idx]), rhs[idx]
    n = [ZERO] * 4
    if kind == LOWER:
        n[idx] = -ONE
        return n, -lo[idx]
    n[idx] = ONE
    return n, hi[idx]


def _iterate(d, lo, hi, rows, rhs, x, guarded):
    x = list(x)
    work = []

    def push(entry):
        if len(work) == 8:
            raise _Failure
        work.append(entry)

    for i in range(4):
        if abs(x[i] - lo[i]) <= EPS:
            push((LOWER, i))
        elif abs(x[i] - hi[i]) <= EPS:
            push((UPPER, i))
    for j, (a_j, b_j) in enumerate(zip(rows, rhs)):
        if abs(_dot(a_j, x) - b_j) <= EPS:
            push((ROW, j))

    for n in range(1, 21):
        normals, rhs_k = [], []
        for kind, idx in work:
            nk, vk = _normal_row(kind, idx, lo, hi, rows, rhs)
            normals.append(nk)
            rhs_k.append(_dot(nk, d) - vk)
        lam = normal_equations(normals, rhs_k, guarded)
        if lam is None:
            raise _Failure
        target = []
        for i in range(4):
            v = d[i]
            for k in range(len(work)):
                v = v - lam[k] * normals[k][i]
            target.append(v)

        mu, drop = ZERO, None
        for k, lam_k in enumerate(lam):
            if lam_k < mu - EPS:
                mu, drop = lam_k, k
        if drop is not None:
            del work[drop]
        else:
            worst = ZERO
            for i in range(4):
                if (LOWER, i) not in work and lo[i] - target[i] > worst:
                    worst = lo[i] - target[i]
                if (UPPER, i) not in work and target[i] - hi[i] > worst:
                    worst = target[i] - hi[i]
            for j, (a_j, b_j) in enumerate(zip(rows, rhs)):
                if (ROW, j) not in work and _dot(a_j, target) - b_j > worst:
                    worst = _dot(a_j, target) - b_j
            if worst <= EPS:
                return OPTIMAL, target, n

            p = [target[i] - x[i] for i in range(4)]
            alpha, blocker = ONE, None

            def consider(t, entry):
                nonlocal alpha, blocker
                if t > TINY and t < alpha:
                    alpha, blocker = t, entry

            for i in range(4):
                if (LOWER, i) in work or abs(x[i] - lo[i]) <= EPS:
                    continue
                if p[i] < -TINY:
                    consider((lo[i] - x[i]) / p[i], (LOWER, i))
                if (UPPER, i) in work or abs(x[i] - hi[i]) <= EPS:
                    continue
                if p[i] > TINY:
                    consider((hi[i] - x[i]) / p[i], (UPPER, i))
            for j, (a_j, b_j) in enumerate(zip(rows, rhs)):
                if (ROW, j) in work:
                    continue
                slack = b_j - _dot(a_j, x)
                if abs(slack) > EPS:
                    q = _dot(a_j, p)
                    if q > TINY:
                        consider(slack / q, (ROW, j))
            if alpha <= TINY or not _finite(alpha):
                raise _Failure
            x = [x[i] + alpha * p[i] for i in range(4)]
            if alpha < FULL_STEP:
                push(blocker)
    if guarded:
        x = [_clamp(x[i], lo[i], hi[i]) for i in range(4)]
    return ITERATION_LIMIT, x, 20
