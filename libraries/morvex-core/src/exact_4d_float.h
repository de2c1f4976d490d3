// Internal to the float drop-in (morvex_solve_exact_4d_f32, exact_4d_float.cpp): its
// reach, the rows as it evaluates them, and the search of the float grid
// (exact_4d_float_search.cpp), its last step.
#ifndef MORVEX_EXACT_4D_FLOAT_H
#define MORVEX_EXACT_4D_FLOAT_H

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "morvex/core.h"

namespace morvex::exact4::f32 {

constexpr int kUlps = 8;  // the promise: within this many float ulps per axis

// Row j evaluated in double on the float point u (in this order), less b: the
// drop-in's promise is that this is at most 0 for every row (false on NaN).
inline double row_excess(const Constraints4& c, int j, const float u[4]) {
    // ((a0 u0 + a1 u1) + a2 u2) + a3 u3 as the header writes it (not from 0.0: an add
    // less on the way, and only the sign of a zero could differ)
    double v = static_cast<double>(c.a[j][0]) * static_cast<double>(u[0]);
    for (int i = 1; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * static_cast<double>(u[i]);
    return v - static_cast<double>(c.b[j]);
}

inline bool meets_rows(const Constraints4& c, int rows, const float u[4]) {
    bool met = true;
    for (int j = 0; j < rows; ++j) met = met & (row_excess(c, j, u) <= 0.0);
    return met;
}

// The float next to f (finite) upward or downward.
inline float float_step(float f, bool up) {
    if (f == 0.0f) return up ? FLT_TRUE_MIN : -FLT_TRUE_MIN;
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bits = (f > 0.0f) == up ? bits + 1 : bits - 1;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// min and max without the library call (no NaN reaches them here).
inline double lesser(double a, double b) { return b < a ? b : a; }
inline double greater(double a, double b) { return b > a ? b : a; }

inline bool within_ulps(const double x[4], const double ulp[4], const float u[4]) {
    bool near = true;
    for (int i = 0; i < 4; ++i)
        near = near & (std::fabs(static_cast<double>(u[i]) - x[i]) <= kUlps * ulp[i]);
    return near;
}

// A float point within kUlps per axis of x, in the box, that meets every row as
// evaluated, in u: every such point is tried (see exact_4d_float_search.cpp), so false
// means there is none. center: each axis's floats are tried from the one nearest it.
bool search_grid(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                 const double ulp[4], const double center[4], float u[4]);

}  // namespace morvex::exact4::f32

#endif  // MORVEX_EXACT_4D_FLOAT_H
