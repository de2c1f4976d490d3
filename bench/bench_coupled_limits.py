"""CoupledLimits from Python against the routes a user would otherwise take.

- project(u), per call, on the generic feasible corpus of bench_multivar_4d.py (200
  problems of each row count, the limits of each built once): against daqp.solve with
  arrays prebuilt per problem, and against the four-axis kernel through ctypes with its
  records prebuilt: its project(u) (the command written into the record, the call, the
  answer read back: what project(u) does here) and its bare call on records as they
  stand (no command written, no answer read);
- project_batch on 10^5 commands from a numpy array (written into a preallocated out=)
  against the C time of the same solves (bench/exact_4d_batch_timer.c, compiled here
  against the libmorvex_core named by MORVEX_CORE_LIB).

Run: MORVEX_CORE_LIB=build/libraries/morvex-core/libmorvex_core.so \\
     python bench/bench_coupled_limits.py
"""

import ctypes
import os
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from bench_multivar_4d import Kernel, best_per_call, corpus, daqp_route, load_kernel
from morvex import CoupledLimits

HERE = Path(__file__).resolve().parent


def limits_of(problem):
    _, lo, hi, a, b = (np.asarray(x, dtype=np.float64) for x in problem)
    return CoupledLimits(lo.tolist(), hi.tolist(), a.reshape(-1, 4).tolist(), b.tolist())


def c_time_per_solve(limits, us):
    """ns per solve of the same commands on the same limits, in C."""
    library = os.environ.get("MORVEX_CORE_LIB")
    if not library:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        timer = Path(tmp) / "timer"
        subprocess.run(["cc", "-O2", "-std=c99", "-D_POSIX_C_SOURCE=199309L",
                        f"-I{HERE.parent / 'libraries/morvex-core/include'}",
                        str(HERE / "exact_4d_batch_timer.c"), library, "-o", str(timer),
                        f"-Wl,-rpath,{Path(library).parent}"], check=True)
        record = bytearray(232)
        for i in range(4):
            struct.pack_into("<d", record, 8 * i, limits.lower[i])
            struct.pack_into("<d", record, 32 + 8 * i, limits.upper[i])
        for j, (row, b) in enumerate(zip(limits.rows, limits.bounds)):
            struct.pack_into("<4d", record, 64 + 32 * j, *row)
            struct.pack_into("<d", record, 192 + 8 * j, b)
        struct.pack_into("<I", record, 224, len(limits.rows))
        data = Path(tmp) / "batch.bin"
        data.write_bytes(bytes(record) + struct.pack("<Q", len(us)) + us.tobytes())
        return float(subprocess.run([str(timer), str(data)], check=True, capture_output=True,
                                    text=True).stdout)


def main():
    problems = corpus()
    _, lib = load_kernel()
    ours = [(limits_of(p).project, [float(v) for v in p[0]]) for p in problems]
    t_ours = best_per_call([lambda f=f, u=u: f(u) for f, u in ours])
    t_daqp = best_per_call([daqp_route(p)[0] for p in problems])
    t_ctypes = best_per_call([Kernel(lib, p).call for p in problems])
    routes = [Kernel(lib, p) for p in problems]
    t_route = best_per_call([lambda k=r.kernel, u=r.d_list: k.project(u) for r in routes])
    print(f"CoupledLimits.project           {t_ours * 1e3:8.0f} ns per call")
    print(f"daqp.solve (prebuilt arrays)     {t_daqp * 1e3:8.0f} ns   ratio {t_ours / t_daqp:5.3f}"
          "   (goal <= 0.1)")
    print(f"four-axis kernel, ctypes, project(u) {t_route * 1e3:4.0f} ns   ratio "
          f"{t_ours / t_route:5.3f}   (goal <= 0.15)")
    print(f"four-axis kernel, ctypes, bare   {t_ctypes * 1e3:8.0f} ns   ratio "
          f"{t_ours / t_ctypes:5.3f}")

    limits = CoupledLimits([-1, -2, -1, -3], [1, 2, 1.5, 3], [(1, 1, 0, 0), (0, -1, 1, 0.5)],
                           [1.2, 0.4])
    us = np.random.default_rng(3).normal(scale=2.0, size=(100_000, 4))
    out = np.empty_like(us)
    batch = best_per_call([lambda: limits.project_batch(us, out=out)], passes=5) * 1e3 / len(us)
    c_ns = c_time_per_solve(limits, us)
    shown = "C time unknown: set MORVEX_CORE_LIB" if c_ns is None else (
        f"C {c_ns:6.1f} ns per solve   ratio {batch / c_ns:5.3f}   (goal <= 1.2)")
    print(f"project_batch, 10^5 from numpy   {batch:8.1f} ns per command   {shown}")


if __name__ == "__main__":
    main()
