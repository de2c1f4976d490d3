"""The exact four-axis projection (morvex/exact_4d.h) on limits of extreme values, judged
by the rational-arithmetic oracle of tests/exact_4d_support.py: a measurement of where
the header's promises stop holding, not a test (it exits 0 whatever it finds).

    MORVEX_CORE_LIB=build/libraries/morvex-core/libmorvex_core.so \\
        python3 bench/exact_4d_extremes.py --sets 3000 --seed 22

Each limit set is feasible by construction: a witness in the box meets every row exactly
(b is a . w rounded up, sometimes plus room). Bounds, coefficients and commands mix the
Python fuzzer's extreme values (5e-324, 2^-60, 1e39, 1e300, the largest double) with
values of every magnitude, so that one row may hold coefficients hundreds of binary
orders apart; a fifth of the rows are nearly parallel or opposite to another. Each set
is projected from eight commands: near the witness, anywhere, or far out.

Prints the one-shot call's outcomes: OPTIMAL answers within 1e-9 S of the exact
minimiser (S: the largest magnitude of the limits, of d clamped into the box and of x,
as the header's Accuracy counts it), OPTIMAL answers farther off (the largest error in
units of S, and the first few problems), and refusals of the feasible limits
(INFEASIBLE, NUMERICAL_FAILURE), each split by whether the command lies within R of the
box (see the header's "Far commands")."""

from __future__ import annotations

import argparse
import collections
import math
import os
import random
import sys
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import exact_4d_support as ex  # noqa: E402

EXTREMES = [0.0, 0.5, 1.0, 1.5, 2.0, 4.18, 0.1, 1e-45, 5e-324, 2.0**-1022, 2.0**-60, 2.0**60,
            3.4028234663852886e38, 1e39, 1e300, sys.float_info.max]


def value(rng):
    """A finite double: an extreme value, a small one, or any magnitude."""
    r = rng.random()
    v = (rng.choice(EXTREMES) if r < 0.4 else rng.uniform(0, 10) if r < 0.7
         else 10 ** rng.uniform(-300, 300))
    return -v if rng.random() < 0.5 else v


def limit_set(rng):
    """(lower, upper, rows) feasible at a witness."""
    lower, upper, w = [], [], []
    for _ in range(4):
        lo, hi = sorted((value(rng), value(rng)))
        lo = -math.inf if rng.random() < 0.15 else lo
        hi = math.inf if rng.random() < 0.15 else hi
        t = rng.choice([lo, hi, lo + (hi - lo) * rng.random(), value(rng)])
        t = t if math.isfinite(t) and lo <= t <= hi else lo if math.isfinite(lo) else hi
        t = t if math.isfinite(t) else 0.0
        lower.append(lo), upper.append(hi), w.append(t)
    rows = []
    for _ in range(rng.randint(0, 4)):
        a = [value(rng) if rng.random() < 0.8 else 0.0 for _ in range(4)]
        if rows and rng.random() < 0.2:  # nearly parallel or opposite to a row before it
            sign, base = rng.choice([-1, 1]), rng.choice(rows)[0]
            a = [sign * v * (1 + rng.uniform(-1e-9, 1e-9)) for v in base]
        if not all(map(math.isfinite, a)):
            continue
        at_w = sum(Fraction(ai) * Fraction(wi) for ai, wi in zip(a, w))
        room = Fraction(abs(value(rng))) if rng.random() < 0.5 else 0
        b = ex.rounded_up(at_w + room)
        b = b if math.isfinite(b) else ex.rounded_up(at_w)
        if math.isfinite(b):
            rows.append((tuple(a), b))
    return lower, upper, rows, w


def commands(rng, w):
    out = []
    for _ in range(8):
        r = rng.random()
        d = ([t + value(rng) * (1e-6 if rng.random() < 0.5 else 1.0) for t in w] if r < 0.5 else
             [value(rng) for _ in range(4)] if r < 0.8 else
             [t * (1 + rng.uniform(-1e-3, 1e-3)) + rng.uniform(-1, 1) for t in w])
        out.append([v if math.isfinite(v) else 0.0 for v in d])
    return out


def error_in_s(p, x):
    """|x - exact minimiser| in units of S, or None when the oracle finds no point."""
    d, lo, hi, rows = p
    star = ex.exact_minimiser(ex.exact_problem(p), hint=x)
    if star is None:
        return None
    clamped = [min(max(v, l), h) for v, l, h in zip(d, lo, hi)]
    s = max([abs(Fraction(v)) for v in [*lo, *hi, *clamped, *x] if math.isfinite(v)] +
            [abs(Fraction(b)) / ex.row_length(a) for a, b in rows if any(a)] + [Fraction(0)])
    err = max(abs(Fraction(x[i]) - star[i]) for i in range(4))
    return err / s if s else err


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sets", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=22)
    ap.add_argument("--show", type=int, default=3, help="problems printed per kind of fault")
    args = ap.parse_args()
    lib = ex.load()
    if lib is None:
        sys.exit("set MORVEX_CORE_LIB to the built libmorvex_core.so")
    rng = random.Random(args.seed)
    tally, worst, shown = collections.Counter(), 0.0, collections.Counter()
    for _ in range(args.sets):
        lo, hi, rows, w = limit_set(rng)
        for d in commands(rng, w):
            p = (d, lo, hi, list(rows))
            status, x, _ = ex.solve(lib, p)
            where = "far" if ex.Projection(lo, hi, rows, d).far else "near"
            if status == ex.OPTIMAL:
                err = error_in_s(p, x)
                kind = "optimal on infeasible limits" if err is None else (
                    "optimal, exact" if err <= Fraction(1, 10**9) else "optimal, off")
                worst = max(worst, float(err or 0)) if kind == "optimal, off" else worst
            else:
                kind = {ex.INFEASIBLE: "refused: infeasible",
                        ex.NUMERICAL_FAILURE: "refused: numerical failure"}.get(status, "invalid")
            tally[(kind, where)] += 1
            if kind != "optimal, exact" and shown[kind] < args.show:
                shown[kind] += 1
                print(f"{kind} ({where}): d={d} lower={lo} upper={hi} rows={rows} x={x}")
    print(f"{sum(tally.values())} commands on {args.sets} feasible limit sets (seed {args.seed})")
    for (kind, where), n in sorted(tally.items()):
        print(f"  {n:7d}  {kind}, command {where}")
    print(f"  largest error of an answer off: {worst:.3g} S")


if __name__ == "__main__":
    main()
