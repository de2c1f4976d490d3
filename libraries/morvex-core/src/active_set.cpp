#include "morvex/core.h"
#include "scalar_projection.h"

extern "C" MORVEX_API int32_t morvex_solve_active_set(const ScalarConstraints* constraints,
                                                      ScalarSolution* out, float u_desired,
                                                      ScalarBounds bounds) {
    if (constraints == nullptr || out == nullptr) return -1;
    const auto result = morvex::core::project_scalar(constraints->a[0], constraints->b[0],
                                                     u_desired, bounds.min_bound,
                                                     bounds.max_bound);
    // Field by field: the padding of the caller's record stays as it was.
    out->u = result.u;
    out->iterations = 1;
    out->status = result.status;
    return 0;
}
