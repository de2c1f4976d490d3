"""The two projection kernels for ctypes callers.

The records of ``morvex/core.h`` are written here once, and each kernel has a
small object that keeps its records (and its argument tuple) between calls,
so that a call writes the desired values and calls, nothing more::

    from morvex.kernels import Multivar4dKernel

    kernel = Multivar4dKernel(lo=[-1] * 4, hi=[1] * 4, rows=[([1, 1, 0, 0], 1.0)])
    u, status = kernel.project([0.9, 0.9, 0.0, 0.0])

The kernels are exported with C linkage from the extension module's shared
object (``morvex._morvex``), so no separate library is needed; ``load(path)``
opens another shared object that exports them (a built libmorvex_core.so).
"""

from __future__ import annotations

import ctypes
from collections.abc import Iterable, Sequence

Float4 = ctypes.c_float * 4

STATUS_NAMES = ("InvalidInput", "Optimal", "IterationLimit", "Infeasible", "NumericalFailure")
INVALID_INPUT, OPTIMAL, ITERATION_LIMIT, INFEASIBLE, NUMERICAL_FAILURE = range(5)


class ScalarConstraints(ctypes.Structure):
    """Up to four rows a[k] * u <= b[k]; the scalar kernel reads row 0 only."""

    _fields_ = [("a", Float4), ("b", Float4)]
    a: ctypes.Array[ctypes.c_float]
    b: ctypes.Array[ctypes.c_float]


class ScalarBounds(ctypes.Structure):
    """The box [min_bound, max_bound]; passed by value."""

    _fields_ = [("min_bound", ctypes.c_float), ("max_bound", ctypes.c_float)]
    min_bound: float
    max_bound: float


class ScalarSolution(ctypes.Structure):
    _fields_ = [("u", ctypes.c_float), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]
    u: float
    iterations: int
    status: int


class Bounds4(ctypes.Structure):
    """Per-axis box of the four-axis kernel: min[i] <= x[i] <= max[i]."""

    _fields_ = [("min", Float4), ("max", Float4)]
    min: ctypes.Array[ctypes.c_float]
    max: ctypes.Array[ctypes.c_float]


class Constraints4(ctypes.Structure):
    """Rows a[j] . x <= b[j] for j < count (count <= 4)."""

    _fields_ = [("count", ctypes.c_uint64), ("a", Float4 * 4), ("b", Float4)]
    count: int
    a: ctypes.Array[ctypes.Array[ctypes.c_float]]
    b: ctypes.Array[ctypes.c_float]


class Solution4(ctypes.Structure):
    _fields_ = [("u", Float4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]
    u: ctypes.Array[ctypes.c_float]
    iterations: int
    status: int


def load(path: str | None = None) -> ctypes.CDLL:
    """The shared object that exports the kernels: the extension module's unless
    `path` names another."""
    if not path:
        from morvex import _morvex

        path = _morvex.__file__
    return ctypes.CDLL(path)


class ActiveSetKernel:
    """morvex_solve_active_set on the box [lo, hi] and one row a * u <= b.

    `constraints` and `bounds` are the records the kernel reads; change them in
    place to change the problem.
    """

    def __init__(
        self,
        lo: float = 0.0,
        hi: float = 0.0,
        a: float = 0.0,
        b: float = 0.0,
        *,
        library: ctypes.CDLL | None = None,
    ) -> None:
        # A function object of our own (not the library's cached attribute), so
        # that its argument types are ours whatever another caller sets.
        fn = (library or load())["morvex_solve_active_set"]
        fn.restype = ctypes.c_int32
        fn.argtypes = [
            ctypes.POINTER(ScalarConstraints),
            ctypes.POINTER(ScalarSolution),
            ctypes.c_float,
            ScalarBounds,  # by value: the two floats travel as one 8-byte aggregate
        ]
        self.constraints = ScalarConstraints(Float4(a, 0, 0, 0), Float4(b, 0, 0, 0))
        self.bounds = ScalarBounds(lo, hi)
        self.solution = ScalarSolution()
        self._fn = fn
        self._records = (ctypes.byref(self.constraints), ctypes.byref(self.solution))

    def project(self, u_desired: float) -> tuple[float, int]:
        """The nearest u to u_desired and the status of the solve."""
        if self._fn(*self._records, u_desired, self.bounds) != 0:
            raise RuntimeError("morvex_solve_active_set refused its records")
        solution = self.solution
        return solution.u, solution.status


class Multivar4dKernel:
    """morvex_solve_multivar_4d on one box and up to four coupled rows.

    `desired`, `bounds` and `constraints` are the records the kernel reads and
    `solution` the one it writes; they live as long as the object, so a call
    writes four floats and calls. Change `bounds` or `constraints` in place to
    change the problem.
    """

    def __init__(
        self,
        lo: Sequence[float] = (0.0,) * 4,
        hi: Sequence[float] = (0.0,) * 4,
        rows: Iterable[tuple[Sequence[float], float]] = (),
        *,
        library: ctypes.CDLL | None = None,
    ) -> None:
        rows = list(rows)
        if len(rows) > 4:
            raise ValueError(f"at most 4 rows, got {len(rows)}")
        self.desired = Float4()
        self.bounds = Bounds4(Float4(*lo), Float4(*hi))
        self.constraints = Constraints4(len(rows))
        for j, (a, b) in enumerate(rows):
            self.constraints.a[j] = Float4(*a)
            self.constraints.b[j] = b
        self.solution = Solution4()
        # Without declared argument types ctypes passes the prepared references
        # as they are: the cheapest call it has.
        self._fn = (library or load())["morvex_solve_multivar_4d"]
        self._fn.restype = ctypes.c_int32
        self._args = tuple(
            ctypes.byref(r) for r in (self.desired, self.bounds, self.constraints, self.solution)
        )
        self._u = memoryview(self.solution).cast("B")[: ctypes.sizeof(Float4)].cast("f")

    def solve(self) -> int:
        """One call on the records as they stand; the kernel's return code."""
        result: int = self._fn(*self._args)
        return result

    def project(self, desired: Sequence[float]) -> tuple[list[float], int]:
        """The projection of the four desired values and the status of the solve."""
        # ctypes takes any sequence of four; the stubs ask for a list.
        self.desired[:] = desired  # type: ignore[call-overload]
        if self._fn(*self._args) != 0:
            raise RuntimeError("morvex_solve_multivar_4d refused its records")
        u: list[float] = self._u.tolist()  # type: ignore[assignment]  # floats: format "f"
        return u, self.solution.status
