/* Calling both morvex kernels from C.
 *
 * Build against a CMake build tree (from the repository root):
 *   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build --target morvex_core
 *   cc -std=c11 -Wall -I libraries/morvex-core/include examples/kernels_from_c.c \
 *      -L build/libraries/morvex-core -lmorvex_core \
 *      -Wl,-rpath,"$PWD/build/libraries/morvex-core" -o kernels_from_c
 *   ./kernels_from_c
 * or against an installed copy (`cmake --install build --prefix /opt/morvex`):
 *   cc -std=c11 -I /opt/morvex/include examples/kernels_from_c.c -L /opt/morvex/lib \
 *      -lmorvex_core -Wl,-rpath,/opt/morvex/lib -o kernels_from_c
 *
 * Both kernels fill a record the caller owns; a -1 result means a null pointer
 * and nothing was written. Check `status` before using `u`.
 */
#include <stdio.h>

#include "morvex/core.h"

static const char* status_name(SolveStatus s) {
    switch (s) {
        case MORVEX_STATUS_INVALID_INPUT: return "InvalidInput";
        case MORVEX_STATUS_OPTIMAL: return "Optimal";
        case MORVEX_STATUS_ITERATION_LIMIT: return "IterationLimit";
        case MORVEX_STATUS_INFEASIBLE: return "Infeasible";
        case MORVEX_STATUS_NUMERICAL_FAILURE: return "NumericalFailure";
        default: return "?";
    }
}

int main(void) {
    /* Scalar: the nearest u to 7 with 0 <= u <= 10 and 1 * u <= 5. */
    const ScalarConstraints row = {{1.0f, 0.0f, 0.0f, 0.0f}, {5.0f, 0.0f, 0.0f, 0.0f}};
    const ScalarBounds envelope = {0.0f, 10.0f};
    ScalarSolution scalar;
    if (morvex_solve_active_set(&row, &scalar, 7.0f, envelope) != 0) return 1;
    printf("scalar: u = %g, status %s\n", scalar.u, status_name(scalar.status));

    /* Four axes: the nearest point to (1, 1, 0, 0) in the box [-10, 10]^4 with
     * x0 + x1 <= 1. */
    const float desired[4] = {1.0f, 1.0f, 0.0f, 0.0f};
    const Bounds4 box = {{-10.0f, -10.0f, -10.0f, -10.0f}, {10.0f, 10.0f, 10.0f, 10.0f}};
    const Constraints4 rows = {1, {{1.0f, 1.0f, 0.0f, 0.0f}}, {1.0f}};
    Solution4 out;
    if (morvex_solve_multivar_4d(desired, &box, &rows, &out) != 0) return 1;
    printf("4-axis: u = (%g, %g, %g, %g), status %s, %llu iterations\n", out.u[0], out.u[1],
           out.u[2], out.u[3], status_name(out.status), (unsigned long long)out.iterations);

    /* Whatever the status, u is a usable command (inside the box unless the
     * input was invalid or the answer is an optimum, which meets every
     * constraint within 1e-5); only Optimal means it is the projection. */
    return out.status == MORVEX_STATUS_OPTIMAL ? 0 : 2;
}
