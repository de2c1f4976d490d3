"""The exact four-axis projection from Python: ctypes records, a seeded corpus of
problems by family, and an independent oracle in exact rational arithmetic.

Used by tests/test_exact_4d.py (some thousands of problems per family) and by
bench/exact_4d_long_run.py (the long run). The kernel library is found through
MORVEX_CORE_LIB (a built libmorvex_core shared library)."""

from __future__ import annotations

import ctypes
import itertools
import math
import os
import random
import sys
from fractions import Fraction

import helpers

INF = math.inf
D4 = ctypes.c_double * 4
OPTIMAL, INFEASIBLE, NUMERICAL_FAILURE, INVALID = 1, 3, 4, 0


class Limits(ctypes.Structure):
    _fields_ = [("lower", D4), ("upper", D4), ("a", D4 * 4), ("b", D4),
                ("row_count", ctypes.c_uint32), ("reserved", ctypes.c_uint32)]


class Result(ctypes.Structure):
    _fields_ = [("x", D4), ("status", ctypes.c_uint32), ("steps", ctypes.c_uint32)]


def load(path=None):
    """The library's entry points, or None when MORVEX_CORE_LIB is not set."""
    path = path or os.environ.get("MORVEX_CORE_LIB")
    if not path:
        return None
    lib = ctypes.CDLL(path)
    lib.morvex_exact_4d.restype = ctypes.c_uint32
    lib.morvex_exact_4d.argtypes = [ctypes.POINTER(Limits), ctypes.POINTER(ctypes.c_double),
                                    ctypes.POINTER(Result)]
    lib.morvex_solve_exact_4d_f32.restype = ctypes.c_int32
    lib.morvex_solve_exact_4d_f32.argtypes = [ctypes.c_void_p] * 4
    return lib


def limits(lo, hi, rows):
    """The kernel's limits record of bounds lo, hi and rows [(a, b), ...]."""
    return Limits(D4(*lo), D4(*hi), (D4 * 4)(*[D4(*a) for a, _ in rows]),
                  D4(*[b for _, b in rows]), len(rows), 0)


def solve(lib, p):
    """(status, x tuple, steps) of the kernel on problem p = (d, lo, hi, rows)."""
    d, lo, hi, rows = p
    lim = limits(lo, hi, rows)
    out = Result()
    status = lib.morvex_exact_4d(ctypes.byref(lim), D4(*d), ctypes.byref(out))
    assert status == out.status
    return status, tuple(out.x), out.steps


# ---- corpus -------------------------------------------------------------------------
# A problem is (d, lo, hi, rows) with rows a list of (a 4-tuple, b); the generator
# also gives `witness`: a point meeting every limit exactly, or None (then the oracle
# decides), and `infeasible`: True when the limits admit no point by construction.

def _box(rng, scale=1.0):
    lo = [scale * (-5 + 6 * rng.random()) for _ in range(4)]
    hi = [l + scale * (0.2 + 10 * rng.random()) for l in lo]
    inner = [l + (h - l) * rng.random() for l, h in zip(lo, hi)]
    return lo, hi, inner


def _rows_through(rng, inner, m, slack=0.5, coef=lambda rng: rng.uniform(-1, 1)):
    rows = []
    for _ in range(m):
        a = tuple(coef(rng) for _ in range(4))
        rows.append((a, sum(x * y for x, y in zip(a, inner)) + slack * rng.random() + 1e-3 * slack))
    return rows


def _generic(rng, scale=1.0, far=6.0):
    lo, hi, inner = _box(rng, scale)
    rows = _rows_through(rng, inner, rng.randint(0, 4), slack=0.5 * scale)
    d = [x + far * scale * rng.uniform(-1, 1) for x in inner]
    return (d, lo, hi, rows), inner, False


def gen_generic(rng):
    return _generic(rng)


def gen_dyadic(rng):
    lo = [rng.randint(-8, 0) for _ in range(4)]
    hi = [l + rng.randint(0, 8) for l in lo]
    inner = [rng.randint(l, h) for l, h in zip(lo, hi)]
    rows = []
    for _ in range(rng.randint(1, 4)):
        a = tuple(rng.randint(-4, 4) / 4 for _ in range(4))
        rows.append((a, sum(x * y for x, y in zip(a, inner)) + rng.randint(0, 2) / 8))
    d = [rng.randint(-64, 64) / 8 for _ in range(4)]
    return ([float(v) for v in d], [float(v) for v in lo], [float(v) for v in hi], rows), inner, False


def gen_coupled(rng):
    lo, hi, inner = _box(rng)
    rows = []
    for _ in range(rng.randint(1, 4)):
        i, j = rng.sample(range(4), 2)
        a = [0.0] * 4
        a[i], a[j] = rng.choice([1.0, -1.0]), rng.choice([1.0, -1.0, 0.5, -2.0])
        rows.append((tuple(a), a[i] * inner[i] + a[j] * inner[j] + 0.3 * rng.random()))
    d = [x + 8 * rng.uniform(-1, 1) for x in inner]
    return (d, lo, hi, rows), inner, False


def gen_unbounded(rng):
    (d, lo, hi, rows), inner, _ = _generic(rng)
    for i in range(4):
        if rng.random() < 0.5:
            lo[i] = -INF
        if rng.random() < 0.5:
            hi[i] = INF
    return (d, lo, hi, rows), inner, False


def gen_zero_rows(rng):
    (d, lo, hi, rows), inner, _ = _generic(rng)
    bad = False
    for _ in range(rng.randint(1, 2)):
        b = rng.choice([0.0, -0.0, 1.0, rng.random(), -rng.random(), -1e-300])
        bad |= b < 0
        rows.insert(rng.randint(0, len(rows)), ((0.0, 0.0, 0.0, 0.0), b))
    return (d, lo, hi, rows[:4]), (None if bad else inner), bad and any(
        a == (0.0,) * 4 and b < 0 for a, b in rows[:4])


def gen_duplicate(rng):
    lo, hi, inner = _box(rng)
    rows = _rows_through(rng, inner, rng.randint(1, 2), slack=0.1 * rng.randint(0, 1))
    while len(rows) < rng.randint(2, 4):
        a, b = rng.choice(rows)
        k = rng.choice([1.0, 2.0 ** rng.randint(-10, 10), 3.0])
        rows.append((tuple(k * v for v in a), k * b))
    d = [x + 6 * rng.uniform(-1, 1) for x in inner]
    return (d, lo, hi, rows), None, False


def gen_near_tolerance(rng):
    """Two opposite rows whose gap is 0 or about +-k 1e-9 of the scale: the only
    coupling, so feasibility is settled exactly from the pair and the box."""
    lo, hi, inner = _box(rng)
    a = tuple(rng.uniform(-1, 1) for _ in range(4))
    v = sum(x * y for x, y in zip(a, inner))
    gap = rng.choice([0.0, 1.0, -1.0]) * rng.choice([1e-9, 4e-9, 1e-7]) * 10
    rows = [(a, v), (tuple(-x for x in a), -(v + gap))]
    d = [x + 6 * rng.uniform(-1, 1) for x in inner]
    # Exactly: feasible iff [-b2, b1] meets the range of a.x over the box.
    fa = [Fraction(x) for x in a]
    amin = sum(min(x * Fraction(l), x * Fraction(h)) for x, l, h in zip(fa, lo, hi))
    amax = sum(max(x * Fraction(l), x * Fraction(h)) for x, l, h in zip(fa, lo, hi))
    infeasible = max(-Fraction(rows[1][1]), amin) > min(Fraction(rows[0][1]), amax)
    return (d, lo, hi, rows), None, infeasible


def gen_scaled(rng):
    s = 10.0 ** rng.randint(-30, 30)
    (d, lo, hi, rows), inner, _ = _generic(rng, scale=s)
    t = 10.0 ** rng.randint(-30, 30)
    rows = [(tuple(t * v for v in a), t * b) for a, b in rows]
    return (d, lo, hi, rows), None, False


def gen_pow2_rows(rng):
    (d, lo, hi, rows), inner, _ = _generic(rng)
    rows = [(tuple(math.ldexp(v, k) for v in a), math.ldexp(b, k))
            for (a, b), k in zip(rows, [rng.randint(-66, 66) for _ in rows])]
    return (d, lo, hi, rows), inner, False


def gen_huge(rng):
    """Huge coefficients, and desired points far outside the box (1e38 and beyond)."""
    lo, hi, inner = _box(rng)
    rows = _rows_through(rng, inner, rng.randint(1, 4))
    out = []
    for a, b in rows:
        k = 10.0 ** rng.randint(0, 290)
        out.append((tuple(k * v for v in a), k * b))
    far = 10.0 ** rng.choice([38, 38, 60, 200, 300])
    d = [x + far * rng.uniform(-1, 1) if rng.random() < 0.7 else x for x in inner]
    return (d, lo, hi, out), None, False


def gen_infinities(rng):
    (d, lo, hi, rows), inner, _ = _generic(rng)
    for i in range(4):
        if rng.random() < 0.3:
            lo[i] = -INF
        if rng.random() < 0.3:
            hi[i] = INF
        if rng.random() < 0.3:
            d[i] = rng.choice([INF, -INF])
    infeasible = False
    if rows and rng.random() < 0.3:
        j = rng.randrange(len(rows))
        b = rng.choice([INF, INF, -INF])
        rows[j] = (rows[j][0], b)
        infeasible = b == -INF
    return (d, lo, hi, rows), (None if infeasible else inner), infeasible


def rounded_up(exact):
    """The smallest double at or above the Fraction `exact`; inf when it lies beyond the
    doubles either way (no finite right side stands for it)."""
    try:
        v = float(exact)
    except OverflowError:
        return INF
    return v if Fraction(v) >= exact else math.nextafter(v, INF)


def gen_thin_wedge(rng):
    """Two rows nearly parallel or nearly opposite (coefficients equal up to a relative
    1e-9..1e-13, either sign), or one in four times a row nearly along one axis (its other
    coefficients that much smaller: a wedge with the box's sides across the axis), each
    met by a point of the box with slack or with none (right sides rounded up from the
    exact value there: the point meets them exactly), some axes open, other rows beside
    them, commands near or up to 1e9 out."""
    lo, hi, inner = _box(rng)
    a = tuple(rng.uniform(-1, 1) for _ in range(4))
    rel, sign = 10.0 ** -rng.uniform(9, 13), rng.choice([1.0, -1.0])
    twin = tuple(sign * v * (1 + rel * rng.uniform(-1, 1)) for v in a)
    if rng.random() < 0.25:
        axis = rng.randrange(4)
        twin = tuple(v if i == axis else v * rel for i, v in enumerate(twin))
    others = [tuple(rng.uniform(-1, 1) for _ in range(4)) for _ in range(rng.randint(0, 2))]
    rows = []
    for coef in [a, twin] + others:
        slack = rng.choice([0.0, 0.0, rel, 0.5 * rng.random()])
        exact = sum(Fraction(c) * Fraction(x) for c, x in zip(coef, inner)) + Fraction(slack)
        rows.append((coef, rounded_up(exact)))
    rng.shuffle(rows)
    for i in range(4):
        if rng.random() < 0.2:
            lo[i] = -INF
        if rng.random() < 0.2:
            hi[i] = INF
    reach = rng.choice([6.0, 6.0, 6.0, 1e3, 1e6, 1e9])
    d = [x + reach * rng.uniform(-1, 1) for x in inner]
    return (d, lo, hi, rows), inner, False


def far_command(rng, kind="open"):
    """A problem with a command 2^10 to 2^1020 out: for "open", "side" and "several" a
    feasible one of the generic, coupled, dyadic or scaled family, the command along one
    of one or two axes opened ("open"), beyond a side of the box as it is ("side"), or
    along two or three axes at once, each opened or not, at distances of their own
    ("several"); for "any", one of any family (infeasible, infinite commands and all),
    one to three axes out to 2^1000, each opened or not. (p, witness, infeasible)."""
    family = rng.choice(FAR_FAMILIES if kind == "any" else ["generic", "coupled", "dyadic", "scaled"])
    (d, lo, hi, rows), witness, infeasible = FAMILIES[family](rng)
    d, lo, hi = list(d), list(lo), list(hi)
    if kind in ("several", "any"):
        for i in rng.sample(range(4), rng.choice([2, 3] if kind == "several" else [1, 2, 3])):
            if rng.random() < 0.5:
                lo[i], hi[i] = -INF, INF
            d[i] = rng.choice([-1, 1]) * math.ldexp(rng.uniform(1, 2), rng.choice([10, 30, 60, 100, 500, 1000]))
        return (d, lo, hi, rows), witness, infeasible
    for i in {rng.randrange(4), rng.randrange(4)}:
        if kind == "open":
            lo[i], hi[i] = -INF, INF
    exponents = [10, 30, 60, 100, 500, 1000] if kind == "open" else [10, 60, 100, 500, 900, 1000, 1020]
    d[i] = rng.choice([-1, 1]) * math.ldexp(rng.uniform(1, 2), rng.choice(exponents))
    return (d, lo, hi, rows), witness, infeasible


FAMILIES = {
    "generic": gen_generic, "dyadic": gen_dyadic, "coupled": gen_coupled,
    "unbounded": gen_unbounded, "zero_rows": gen_zero_rows, "duplicate": gen_duplicate,
    "near_tolerance": gen_near_tolerance, "scaled": gen_scaled, "pow2_rows": gen_pow2_rows,
    "huge": gen_huge, "infinities": gen_infinities, "thin_wedge": gen_thin_wedge,
}
# The families far commands are drawn from: thin wedges' far commands are not measured.
FAR_FAMILIES = [f for f in FAMILIES if f != "thin_wedge"]


def corpus(family, count, seed=12):
    rng = random.Random(f"{family}/{seed}")
    return [FAMILIES[family](rng) for _ in range(count)]


# ---- oracle ---------------------------------------------------------------------------
FAR = Fraction(2) ** 900


def exact_problem(p):
    """The problem the documented rules define, in Fractions: (d, lo, hi, rows, at_inf)
    with None for an infinite bound; or the string 'infeasible' / 'invalid'."""
    d, lo, hi, rows = p
    if (len(rows) > 4 or any(math.isnan(v) for v in [*d, *lo, *hi, *(b for _, b in rows)])
            or any(not math.isfinite(v) for a, _ in rows for v in a)
            or any(l > h or l == INF or h == -INF for l, h in zip(lo, hi))):
        return "invalid"
    kept, infeasible = [], False
    for a, b in rows:
        if all(v == 0 for v in a):
            infeasible |= not b >= 0
            continue
        if b == INF:
            continue
        if b == -INF:
            infeasible = True
            continue
        kept.append(([Fraction(v) for v in a], Fraction(b)))
    at_inf, fd = [False] * 4, []
    for i in range(4):
        if abs(d[i]) == INF:
            bound = hi[i] if d[i] > 0 else lo[i]
            if abs(bound) != INF:
                fd.append(Fraction(bound) + (FAR if d[i] > 0 else -FAR))
                continue
            at_inf[i] = True
            if any(a[i] != 0 and (a[i] > 0) == (d[i] > 0) for a, _ in kept):
                return "invalid"
            fd.append(Fraction(0))
            continue
        fd.append(Fraction(d[i]))
    if infeasible:  # after the invalid cases: invalid input wins
        return "infeasible"
    kept = [(a, b) for a, b in kept if not any(at_inf[i] and a[i] != 0 for i in range(4))]
    flo = [None if abs(v) == INF or at_inf[i] else Fraction(v) for i, v in enumerate(lo)]
    fhi = [None if abs(v) == INF or at_inf[i] else Fraction(v) for i, v in enumerate(hi)]
    return fd, flo, fhi, kept, at_inf


def _solve_linear(G, g):
    n = len(g)
    M = [row[:] + [g[i]] for i, row in enumerate(G)]
    for c in range(n):
        piv = next((r for r in range(c, n) if M[r][c] != 0), None)
        if piv is None:
            return None
        M[c], M[piv] = M[piv], M[c]
        for r in range(n):
            if r != c and M[r][c] != 0:
                f = M[r][c] / M[c][c]
                M[r] = [x - f * y for x, y in zip(M[r], M[c])]
    return [M[i][n] / M[i][i] for i in range(n)]


def kkt_point(ep, fixed, working):
    """The exact point of a working set (fixed: {axis: side}, working: row indices)
    if it satisfies every optimality condition exactly, else None."""
    d, lo, hi, rows, _ = ep
    x = list(d)
    for i, s in fixed.items():
        x[i] = hi[i] if s > 0 else lo[i]
    free = [i for i in range(4) if i not in fixed]
    M = [[rows[j][0][i] for i in free] for j in working]
    rhs = [rows[j][1] - sum(rows[j][0][i] * x[i] for i in fixed) for j in working]
    u = []
    if working:
        G = [[sum(p * q for p, q in zip(r1, r2)) for r2 in M] for r1 in M]
        g = [sum(p * d[i] for p, i in zip(r, free)) - v for r, v in zip(M, rhs)]
        u = _solve_linear(G, g)
        if u is None or any(v < 0 for v in u):
            return None
    for k, i in enumerate(free):
        x[i] = d[i] - sum(u[w] * M[w][k] for w in range(len(working)))
    for i, s in fixed.items():
        nu = s * (d[i] - x[i] - sum(u[w] * rows[j][0][i] for w, j in enumerate(working)))
        if nu < 0:
            return None
    for i in range(4):
        if (lo[i] is not None and x[i] < lo[i]) or (hi[i] is not None and x[i] > hi[i]):
            return None
    if any(sum(p * q for p, q in zip(a, x)) > b for a, b in rows):
        return None
    return x


def _working_sets(ep, candidates=None):
    d, lo, hi, rows, _ = ep
    axes = [[0] + ([-1] if lo[i] is not None else []) + ([1] if hi[i] is not None else [])
            for i in range(4)]
    for sides in itertools.product(*axes):
        fixed = {i: s for i, s in enumerate(sides) if s}
        if candidates and any((i, s) not in candidates for i, s in fixed.items()):
            continue
        rs = [j for j in range(len(rows)) if not candidates or ("row", j) in candidates]
        for k in range(min(4 - len(fixed), len(rs)), -1, -1):
            for working in itertools.combinations(rs, k):
                yield fixed, list(working)


def exact_minimiser(ep, hint=None, rel=1e-6):
    """The exact minimiser (Fractions), or None when the limits admit no point. With a
    hint, the working sets made of constraints nearly active there are tried first;
    the answer is certified by the optimality conditions either way."""
    d, lo, hi, rows, _ = ep
    if hint is not None and all(map(math.isfinite, hint)):
        h = [Fraction(v) for v in hint]
        sc = Fraction(rel) * max([abs(v) for v in h] + [abs(v) for v in lo + hi if v is not None]
                                 + [Fraction(1, 10 ** 300)])
        near = {(i, -1) for i in range(4) if lo[i] is not None and abs(h[i] - lo[i]) <= sc}
        near |= {(i, 1) for i in range(4) if hi[i] is not None and abs(h[i] - hi[i]) <= sc}
        for j, (a, b) in enumerate(rows):
            if abs(sum(p * q for p, q in zip(a, h)) - b) <= sc * sum(abs(v) for v in a):
                near.add(("row", j))
        for fixed, working in _working_sets(ep, near or {None}):
            x = kkt_point(ep, fixed, working)
            if x is not None:
                return x
    for fixed, working in _working_sets(ep):
        x = kkt_point(ep, fixed, working)
        if x is not None:
            return x
    return None


def judge(p, status, x, witness=None, infeasible=None, tol=1e-9):
    """None when the kernel's answer is right, else a description of the fault."""
    ep = exact_problem(p)
    if ep == "invalid":
        return None if status == INVALID else f"status {status}, expected invalid"
    if ep == "infeasible" or infeasible:
        return None if status == INFEASIBLE else f"status {status}, expected infeasible"
    if status != OPTIMAL:
        if witness is None and exact_minimiser(ep) is None:
            return None if status == INFEASIBLE else f"status {status} on infeasible limits"
        return f"status {status} on feasible limits"
    d, lo, hi, rows, at_inf = ep
    for i in range(4):
        if at_inf[i] and x[i] != p[0][i]:
            return f"axis {i} should stay at {p[0][i]}"
        if x[i] < p[1][i] or x[i] > p[2][i]:
            return f"axis {i} outside the box"
    star = exact_minimiser(ep, hint=x)
    if star is None:
        return "optimal on infeasible limits"
    scale = max([abs(v) for v in star] + [abs(v) for v in lo + hi if v is not None]
                + [abs(b) / max(abs(v) for v in a) for a, b in rows] + [Fraction(0)])
    err = max((abs(Fraction(x[i]) - star[i]) for i in range(4) if not at_inf[i]), default=0)
    if err > Fraction(tol) * scale:
        return f"off by {float(err):.3g} (scale {float(scale):.3g}): got {x}, exact {[float(v) for v in star]}"
    return None


# ---- promises of a projection (morvex/exact_4d.h, CoupledLimits.project) ----------------
# One table of (when it applies, what must hold, what is promised), shared by the tests
# and fuzz/fuzz_python_api.py: a fault is a promise whose condition holds and whose
# outcome does not.

ROW_SLACK = Fraction(2) ** -38  # a row met at the answer within this of its magnitudes there
ROW_FLOOR = Fraction(2) ** -1071  # and within this of ||a|| (1 + sum |x|): subnormal rounding
TOO_FAR = "too far beyond the limits"  # CoupledLimits' refusal of a NUMERICAL_FAILURE


MAX_DOUBLE = Fraction(sys.float_info.max)


def row_length(a):
    """||a|| as a Fraction (within rounding), finite where the double hypot overflows
    (coefficients near the largest double)."""
    big = max(abs(v) for v in a)
    return Fraction(big) * Fraction(math.hypot(*(v / big for v in a))) if big else Fraction(0)


class Projection:
    """A projection as observed: the limits (lower, upper, rows as (a, b)), the command
    d, and either the answer x or the refusal (error type name and message)."""

    def __init__(self, lower, upper, rows, d, x=None, error=None, message=""):
        self.lower, self.upper, self.rows, self.d = list(lower), list(upper), list(rows), d
        self.x, self.error, self.message = x, error, message
        self.finite = d is not None and all(math.isfinite(v) for v in d)
        scale = max([abs(v) for v in self.lower + self.upper if math.isfinite(v)] +
                    [float(min(abs(Fraction(b)) / row_length(a), MAX_DOUBLE)) for a, b in self.rows
                     if any(a) and math.isfinite(b)] + [0.0])
        reach = 16 * scale  # R: beyond it a command is far (see "Far commands")
        def beyond(r):
            return self.finite and any(
                v - (h if math.isfinite(h) else 0.0) > r or v - (lo if math.isfinite(lo) else 0.0) < -r
                for v, lo, h in zip(d, self.lower, self.upper))
        self.far = beyond(reach)
        # Where double precision may lose the answer (see Status): far commands, limits
        # whose products reach 2^900.
        self.may_refuse = self.far or scale >= 2.0**900


def _rows_met(p):
    for a, b in p.rows:
        if not any(a) or b == INF:
            continue
        terms = [Fraction(ai) * Fraction(xi) for ai, xi in zip(a, p.x) if ai]
        floor = ROW_FLOOR * row_length(a) * (1 + sum(abs(Fraction(v)) for v in p.x))
        if sum(terms) - Fraction(b) > ROW_SLACK * (abs(Fraction(b)) + sum(map(abs, terms))) + floor:
            return False
    return True


def _inside(p):
    return (all(lo <= v <= h for v, lo, h in zip(p.d, p.lower, p.upper)) and
            all(sum(ai * v for ai, v in zip(a, p.d)) <= b - 1e-6 * max(1.0, abs(b)) for a, b in p.rows))


PROJECT_PROMISES = (
    (lambda p: p.d is not None and p.error is not None,
     lambda p: p.error == "ValueError", "a command of four numbers raises nothing but ValueError"),
    (lambda p: p.d is not None and any(math.isnan(v) for v in p.d),
     lambda p: p.error == "ValueError", "a command with a NaN is refused"),
    (lambda p: p.finite and not p.may_refuse,
     lambda p: p.x is not None, "a finite command near accepted limits is answered"),
    (lambda p: p.finite and p.may_refuse,
     lambda p: p.x is not None or (p.error == "ValueError" and TOO_FAR in p.message),
     "a far finite command is answered or refused only as too far for double precision"),
    (lambda p: p.x is not None,
     lambda p: type(p.x) is tuple and len(p.x) == 4 and all(type(v) is float for v in p.x),
     "the answer is a tuple of four floats"),
    (lambda p: p.x is not None and p.finite,
     lambda p: all(lo <= v <= h for v, lo, h in zip(p.x, p.lower, p.upper)),
     "the answer lies in the box (bounds met exactly)"),
    (lambda p: p.x is not None and p.finite and all(map(math.isfinite, p.x)),
     _rows_met, "the answer meets every row at itself within 2^-38 of its magnitudes "
     "(and 2^-1071 of the row's length in the subnormal range)"),
    (lambda p: p.x is not None and p.finite and _inside(p),
     lambda p: list(p.x) == [float(v) for v in p.d], "a command inside the limits comes back"),
)


def broken_promises(p):
    """What the projection p promised and did not do (empty when it kept its word)."""
    return helpers.broken_promises(p, PROJECT_PROMISES)
