"""Four-axis solver per call from Python against small-QP solvers' Python packages.

The same fixed corpus of random feasible problems (box plus 0 to 4 coupled rows,
200 of each) goes through:

- morvex_solve_multivar_4d through ctypes with the records of a
  morvex.kernels.Multivar4dKernel built once: the bare call, `project` (four
  Python floats written, the answer read back), and the records filled from
  numpy arrays on every call;
- daqp.solve (dual active set, C library behind a Cython wrapper);
- quadprog.solve_qp (Goldfarb-Idnani, Fortran/C behind Cython);
- osqp (ADMM, C library): a fresh setup + solve per problem, and update + solve
  on a solver set up once per row count.

Per-call time is the best of several passes over the corpus divided by its size.
The per-call overhead of each route is the same call on a trivial problem (for
ctypes: null pointers, which return at once). Prints per-call figures by case,
the ratio of each anchor to the kernel, the kernel's outcome distribution and
each anchor's success rate on the same problems, and how far apart the answers
are where both succeed.

Run: python bench/bench_multivar_4d.py [path to a library exporting the kernel]
(default: the installed morvex._morvex, else env MORVEX_KERNEL_LIB).
"""

from __future__ import annotations

import ctypes
import os
import sys
import time
from collections import Counter

import numpy as np
from morvex import kernels

try:
    import daqp
    import osqp
    import quadprog
    from scipy import sparse
except ImportError as missing:  # pragma: no cover - a benchmark, not a test
    sys.exit(f"{missing}: pip install daqp quadprog osqp scipy")

STATUS = kernels.STATUS_NAMES
PER_COUNT = 200
PASSES = 5


def load_kernel():
    path = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("MORVEX_KERNEL_LIB")
    lib = kernels.load(path)
    return lib._name, lib


def corpus(seed=20261207):
    """Feasible by construction: every row holds with slack at a point of the box."""
    rng = np.random.default_rng(seed)
    problems = []
    for count in range(5):
        for _ in range(PER_COUNT):
            lo = rng.uniform(-5, 1, 4).astype(np.float32)
            hi = (lo + rng.uniform(0.2, 10, 4)).astype(np.float32)
            inner = rng.uniform(lo, hi)
            a = rng.uniform(-1, 1, (count, 4)).astype(np.float32)
            b = (a.astype(np.float64) @ inner + rng.uniform(0, 0.5, count)).astype(np.float32)
            d = (inner + rng.uniform(-6, 6, 4)).astype(np.float32)
            problems.append((d, lo, hi, a, b))
    return problems


def best_per_call(calls, passes=PASSES):
    """Best time of a pass over `calls` (zero-argument callables), per call, in us."""
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        for call in calls:
            call()
        best = min(best, time.perf_counter() - start)
    return best / len(calls) * 1e6


class Kernel:
    def __init__(self, lib, problem):
        d, lo, hi, a, b = problem
        self.kernel = kernels.Multivar4dKernel(lo, hi, zip(a, b), library=lib)
        self.kernel.desired[:] = d
        self.call = self.kernel.solve
        # The "project" route: four Python floats written and the answer read back.
        self.d_list = [float(v) for v in d]
        # The "fill" route: the caller's values arrive as numpy arrays and are
        # written into numpy views of the records before each call.
        self.d_np, self.box_np = d, np.concatenate([lo, hi])
        self.rows_np = np.zeros(20, dtype=np.float32)
        self.rows_np[: 4 * len(b)] = a.ravel()
        self.rows_np[16 : 16 + len(b)] = b
        self.d_view = np.frombuffer(self.kernel.desired, dtype=np.float32)
        self.box_view = np.frombuffer(self.kernel.bounds, dtype=np.float32)
        self.rows_view = np.frombuffer(self.kernel.constraints, dtype=np.float32, offset=8)

    def project(self):
        return self.kernel.project(self.d_list)

    def fill_and_call(self):
        self.d_view[:] = self.d_np
        self.box_view[:] = self.box_np
        self.rows_view[:] = self.rows_np
        self.call()

    def result(self):
        self.call()
        out = self.kernel.solution
        return out.status, out.iterations, np.array(out.u, dtype=np.float64)


def daqp_route(problem):
    d, lo, hi, a, b = (np.asarray(x, dtype=np.float64) for x in problem)
    h, f = np.eye(4), -d
    upper = np.concatenate([hi, b])
    lower = np.concatenate([lo, np.full(len(b), -np.inf)])
    a = np.ascontiguousarray(a.reshape(len(b), 4))

    def solve():
        return daqp.solve(h, f, a, upper, lower)

    def result():
        x, _, flag, _ = solve()
        return flag == 1, np.asarray(x)

    return solve, result


def quadprog_route(problem):
    d, lo, hi, a, b = (np.asarray(x, dtype=np.float64) for x in problem)
    g = np.eye(4)
    c = np.ascontiguousarray(np.hstack([np.eye(4), -np.eye(4), -a.reshape(len(b), 4).T]))
    rhs = np.concatenate([lo, -hi, -b])

    def solve():
        try:
            return quadprog.solve_qp(g, d, c, rhs)
        except ValueError:  # "constraints are inconsistent"
            return None

    def result():
        r = solve()
        return r is not None, (None if r is None else r[0])

    return solve, result


def osqp_matrices(problem):
    d, lo, hi, a, b = (np.asarray(x, dtype=np.float64) for x in problem)
    p = sparse.csc_matrix(np.eye(4))
    a_full = sparse.csc_matrix(np.vstack([np.eye(4), a.reshape(len(b), 4)]))
    lower = np.concatenate([lo, np.full(len(b), -np.inf)])
    upper = np.concatenate([hi, b])
    return p, -d, a_full, lower, upper


OSQP_SETTINGS = {"verbose": False, "eps_abs": 1e-6, "eps_rel": 1e-6}


def osqp_cold_route(problem):
    p, q, a, lower, upper = osqp_matrices(problem)

    def solve():
        m = osqp.OSQP()
        m.setup(p, q, a, lower, upper, **OSQP_SETTINGS)
        return m.solve()

    def result():
        r = solve()
        return r.info.status_val == 1, r.x

    return solve, result


def osqp_warm_routes(problems):
    """One solver per row count (same sparsity); each call updates q, l, u, A."""
    solvers = {}
    routes = []
    for problem in problems:
        p, q, a, lower, upper = osqp_matrices(problem)
        count = len(problem[4])
        if count not in solvers:
            m = osqp.OSQP()
            m.setup(p, q, a, lower, upper, **OSQP_SETTINGS)
            solvers[count] = m
        m = solvers[count]

        def solve(m=m, q=q, ax=a.data, lower=lower, upper=upper):
            m.update(q=q, l=lower, u=upper, Ax=ax)
            return m.solve()

        routes.append(solve)
    return routes


def overheads(lib):
    fn = lib["morvex_solve_multivar_4d"]
    fn.argtypes = [ctypes.c_void_p] * 4
    null_args = (None, None, None, None)
    trivial_kernel = [lambda: fn(*null_args)] * 2000
    h1, f1, a0 = np.eye(1), np.zeros(1), np.zeros((0, 1))
    up, low = np.ones(1), -np.ones(1)
    trivial_daqp = [lambda: daqp.solve(h1, f1, a0, up, low)] * 2000
    c1, r1 = np.eye(1), -np.ones(1)
    trivial_quadprog = [lambda: quadprog.solve_qp(h1, f1, c1, r1)] * 2000
    p1 = sparse.csc_matrix(np.eye(1))

    def osqp_trivial():
        m = osqp.OSQP()
        m.setup(p1, f1, p1, low, up, verbose=False)
        return m.solve()

    m1 = osqp.OSQP()
    m1.setup(p1, f1, p1, low, up, verbose=False)
    return {
        "morvex ctypes (null pointers: returns at once)": best_per_call(trivial_kernel),
        "daqp.solve, 1 variable, 1 bound": best_per_call(trivial_daqp),
        "quadprog.solve_qp, 1 variable, 1 constraint": best_per_call(trivial_quadprog),
        "osqp setup + solve, 1 variable": best_per_call([osqp_trivial] * 200),
        "osqp solve only, 1 variable": best_per_call([m1.solve] * 2000),
    }


def main():
    path, lib = load_kernel()
    problems = corpus()
    morvex_kernels = [Kernel(lib, p) for p in problems]
    outcomes = [k.result() for k in morvex_kernels]

    cases = {
        "all (0-4 rows)": range(len(problems)),
        "box only (0 rows)": [i for i, p in enumerate(problems) if len(p[4]) == 0],
        "quick exit (1-4 rows)": [
            i
            for i, (s, it, _) in enumerate(outcomes)
            if len(problems[i][4]) > 0 and s == 1 and it == 0
        ],
        "active set (1-4 rows)": [i for i, (_, it, _) in enumerate(outcomes) if it > 0],
    }
    routes = {
        "morvex (ctypes)": [k.call for k in morvex_kernels],
        "morvex (ctypes, project 4 floats)": [k.project for k in morvex_kernels],
        "morvex (ctypes, fill records)": [k.fill_and_call for k in morvex_kernels],
        "daqp": [daqp_route(p)[0] for p in problems],
        "quadprog": [quadprog_route(p)[0] for p in problems],
        "osqp (update + solve)": osqp_warm_routes(problems),
        "osqp (setup + solve)": [osqp_cold_route(p)[0] for p in problems],
    }

    print(f"kernel: {path}")
    print(f"corpus: {len(problems)} feasible problems, {PER_COUNT} for each of 0..4 rows\n")
    print(f"per-call time in us (best of {PASSES} passes); ratio = anchor / morvex (ctypes)")
    header = f"{'route':32}" + "".join(f"{name:>24}" for name in cases)
    print(header)
    ours = {}
    for route, calls in routes.items():
        cells = []
        for case, idx in cases.items():
            subset = [calls[i] for i in idx]
            passes = 2 if route.startswith("osqp (setup") else PASSES
            t = best_per_call(subset, passes) if subset else float("nan")
            if route == "morvex (ctypes)":
                ours[case] = t
            ratio = t / ours[case] if route != "morvex (ctypes)" else 1.0
            cells.append(f"{t:9.2f} ({ratio:7.1f}x)")
        print(f"{route:32}" + "".join(f"{c:>24}" for c in cells))
    print(f"{'(problems in case)':32}" + "".join(f"{len(i):>24}" for i in cases.values()))

    print("\nper-call overhead of each route (trivial problem), us:")
    for name, t in overheads(lib).items():
        print(f"  {name:50} {t:8.2f}")

    print("\ntime the C libraries report for themselves (median over the case, us):")
    for _ in range(3):  # warm the anchors' code and data
        reported = {
            "daqp setup + solve": [
                sum(daqp_route(p)[0]()[3][k] for k in ("setup_time", "solve_time"))
                for p in problems
            ],
            "osqp run (setup + solve)": [osqp_cold_route(p)[0]().info.run_time for p in problems],
        }
    for name, times in reported.items():
        cells = [f"{1e6 * np.median([times[i] for i in idx]):9.2f}" for idx in cases.values()]
        print(f"  {name:30}" + "".join(f"{c:>24}" for c in cells))

    print("\noutcomes on the corpus (feasible by construction):")
    dist = Counter(STATUS[s] for s, _, _ in outcomes)
    print(
        "  morvex: "
        + ", ".join(f"{k} {v} ({100 * v / len(problems):.1f}%)" for k, v in dist.items())
    )
    iters = Counter(min(it, 20) for _, it, _ in outcomes)
    print(
        f"  morvex iterations: quick exit {iters[0]}, 1-19: {sum(v for k, v in iters.items() if 0 < k < 20)}, 20: {iters[20]}"
    )
    results = {
        "daqp": [daqp_route(p)[1]() for p in problems],
        "quadprog": [quadprog_route(p)[1]() for p in problems],
        "osqp": [osqp_cold_route(p)[1]() for p in problems],
    }
    for name, res in results.items():
        ok = sum(s for s, _ in res)
        gaps = [
            float(np.max(np.abs(x - u)))
            for (s, x), (status, _, u) in zip(res, outcomes)
            if s and status == 1
        ]
        print(
            f"  {name}: success {ok}/{len(res)} ({100 * ok / len(res):.1f}%); "
            f"max |u - x| where both optimal: {max(gaps):.2e} (median {np.median(gaps):.1e})"
        )


if __name__ == "__main__":
    main()
