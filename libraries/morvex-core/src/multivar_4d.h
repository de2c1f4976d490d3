// Internals of the four-axis solver that its unit tests reach directly.
#pragma once

#include <cstdint>

namespace morvex::core::multivar4d {

// Each constant is the single-precision value nearest to the decimal written.
inline constexpr float kTolerance = 1e-5f;       // activity, violation and multiplier slack
inline constexpr float kTiny = 1e-9f;            // smallest useful step, direction or row norm
inline constexpr float kPivotThreshold = 1e-6f;  // smallest usable pivot of the normal matrix
inline constexpr float kFullStep = 0.99999f;     // a step at least this long adds no constraint
inline constexpr int kMaxProjectionPasses = 60;
inline constexpr int kMaxIterations = 20;
inline constexpr int kMaxWorkingSet = 8;  // four bounds and four rows

// Solves (N N^T) lambda = r for lambda[0..k-1], N being the k x 4 matrix of
// rows[0..k-1], by Gaussian elimination with partial pivoting in single
// precision. `r` is not modified. Returns false, with `lambda` partly written,
// when an entry of N N^T is not finite, a pivot or diagonal entry is below
// kPivotThreshold in magnitude, or an elimination factor or a multiplier is not
// finite. k = 0 returns true and writes nothing.
bool solve_normal_equations(int k, const float rows[kMaxWorkingSet][4],
                            const float r[kMaxWorkingSet], float lambda[kMaxWorkingSet]);

}  // namespace morvex::core::multivar4d
