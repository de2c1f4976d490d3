"""Calling both morvex kernels from Python through ctypes.

The kernels are exported with the C calling convention from the extension
module itself (``morvex._morvex``), so no separate library is needed; set
MORVEX_KERNEL_LIB to use another shared object that exports them (for example
a freshly built libmorvex_core.so).

    python examples/kernels_ctypes.py
"""

from __future__ import annotations

import ctypes
import os

STATUS = ("InvalidInput", "Optimal", "IterationLimit", "Infeasible", "NumericalFailure")
Float4 = ctypes.c_float * 4


class ScalarConstraints(ctypes.Structure):
    _fields_ = [("a", Float4), ("b", Float4)]


class ScalarBounds(ctypes.Structure):
    _fields_ = [("min_bound", ctypes.c_float), ("max_bound", ctypes.c_float)]


class ScalarSolution(ctypes.Structure):
    _fields_ = [("u", ctypes.c_float), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


class Bounds4(ctypes.Structure):
    _fields_ = [("min", Float4), ("max", Float4)]


class Constraints4(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("a", Float4 * 4), ("b", Float4)]


class Solution4(ctypes.Structure):
    _fields_ = [("u", Float4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


def load_kernels() -> ctypes.CDLL:
    path = os.environ.get("MORVEX_KERNEL_LIB")
    if not path:
        import morvex._morvex

        path = morvex._morvex.__file__
    lib = ctypes.CDLL(path)
    lib.morvex_solve_active_set.restype = ctypes.c_int32
    lib.morvex_solve_active_set.argtypes = [
        ctypes.POINTER(ScalarConstraints),
        ctypes.POINTER(ScalarSolution),
        ctypes.c_float,
        ScalarBounds,  # by value: the two floats travel as one 8-byte aggregate
    ]
    lib.morvex_solve_multivar_4d.restype = ctypes.c_int32
    lib.morvex_solve_multivar_4d.argtypes = [
        ctypes.POINTER(Float4),
        ctypes.POINTER(Bounds4),
        ctypes.POINTER(Constraints4),
        ctypes.POINTER(Solution4),
    ]
    return lib


def main() -> int:
    lib = load_kernels()

    # Scalar: the nearest u to 7 with 0 <= u <= 10 and 1 * u <= 5.
    row = ScalarConstraints(Float4(1, 0, 0, 0), Float4(5, 0, 0, 0))
    scalar = ScalarSolution()
    if lib.morvex_solve_active_set(row, scalar, 7.0, ScalarBounds(0.0, 10.0)) != 0:
        return 1
    print(f"scalar: u = {scalar.u:g}, status {STATUS[scalar.status]}")

    # Four axes: the nearest point to (1, 1, 0, 0) in [-10, 10]^4 with x0 + x1 <= 1.
    desired = Float4(1, 1, 0, 0)
    box = Bounds4(Float4(-10, -10, -10, -10), Float4(10, 10, 10, 10))
    rows = Constraints4(1)
    rows.a[0] = Float4(1, 1, 0, 0)
    rows.b[0] = 1
    out = Solution4()
    if lib.morvex_solve_multivar_4d(desired, box, rows, out) != 0:
        return 1
    u = ", ".join(f"{v:g}" for v in out.u)
    print(f"4-axis: u = ({u}), status {STATUS[out.status]}, {out.iterations} iterations")
    # Every status leaves a usable u; only Optimal means it is the projection.
    return 0 if STATUS[out.status] == "Optimal" else 2


if __name__ == "__main__":
    raise SystemExit(main())
