// The scalar active-set projection, shared by the exported kernel and by the
// Python Governor (which inlines it). Header-only so both call sites inline it.
#pragma once

#include "morvex/core.h"

namespace morvex::core {

// Clamp v into [lo, hi], lower test first: with lo > hi a value below lo gives lo.
// Ordered comparisons, so a NaN v comes back unchanged and a NaN bound drops out.
inline float clamp_lower_first(float v, float lo, float hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

struct ScalarResult {
    float u;
    SolveStatus status;
};

// Nearest u to x with lo <= u <= hi and a * u <= b, in single precision.
inline ScalarResult project_scalar(float a, float b, float x, float lo, float hi) {
    if (a == 0.0f) {  // the row reads 0 <= b; +0 and -0 alike
        return {clamp_lower_first(x, lo, hi),
                b < 0.0f ? SolveStatus{MORVEX_STATUS_INFEASIBLE} : SolveStatus{MORVEX_STATUS_OPTIMAL}};
    }
    const float t = b / a;
    if (a > 0.0f) {  // u <= t
        if (lo > t) return {lo, MORVEX_STATUS_INFEASIBLE};
        const float upper = (hi != hi) ? t : (t < hi ? t : hi);
        return {clamp_lower_first(x, lo, upper), MORVEX_STATUS_OPTIMAL};
    }
    // a < 0, or a NaN (then t is NaN and the row is neutral): u >= t
    if (t > hi) return {clamp_lower_first(t, lo, hi), MORVEX_STATUS_INFEASIBLE};
    const float lower = (lo != lo) ? t : (t > lo ? t : lo);
    return {clamp_lower_first(x, lower, hi), MORVEX_STATUS_OPTIMAL};
}

}  // namespace morvex::core
