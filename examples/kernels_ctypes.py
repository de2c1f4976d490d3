"""Calling both morvex kernels from Python through ctypes.

The kernels are exported with the C calling convention from the extension
module itself (``morvex._morvex``), so no separate library is needed; set
MORVEX_KERNEL_LIB to use another shared object that exports them (for example
a freshly built libmorvex_core.so). `morvex.kernels` holds the records and a
small object per kernel that keeps them between calls.

    python examples/kernels_ctypes.py
"""

from __future__ import annotations

import os

from morvex.kernels import STATUS_NAMES, ActiveSetKernel, Multivar4dKernel, load


def main() -> int:
    lib = load(os.environ.get("MORVEX_KERNEL_LIB"))

    # Scalar: the nearest u to 7 with 0 <= u <= 10 and 1 * u <= 5.
    scalar = ActiveSetKernel(lo=0.0, hi=10.0, a=1.0, b=5.0, library=lib)
    u, status = scalar.project(7.0)
    print(f"scalar: u = {u:g}, status {STATUS_NAMES[status]}")

    # Four axes: the nearest point to (1, 1, 0, 0) in [-10, 10]^4 with x0 + x1 <= 1.
    coupled = Multivar4dKernel([-10] * 4, [10] * 4, [([1, 1, 0, 0], 1)], library=lib)
    u4, status = coupled.project([1, 1, 0, 0])
    text = ", ".join(f"{v:g}" for v in u4)
    iterations = coupled.solution.iterations
    print(f"4-axis: u = ({text}), status {STATUS_NAMES[status]}, {iterations} iterations")
    # Every status leaves a usable u; only Optimal means it is the projection.
    return 0 if STATUS_NAMES[status] == "Optimal" else 2


if __name__ == "__main__":
    raise SystemExit(main())
