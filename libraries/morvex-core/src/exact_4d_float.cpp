// The exact four-axis projection on the float records of the four-axis kernel
// (morvex_solve_exact_4d_f32): the float data widened exactly to double, solved by
// morvex_exact_4d, and the double answer rounded to a float point that meets every
// bound exactly and every row as evaluated in double on the float values.
//
// Rounding (round_answer), cheapest first (shares of the answers on rows, on the
// bench's generic limits):
//   1. x rounded on each axis to the float beside it on the side away from d (79%):
//      d - x is a nonnegative combination of the normals of the rows x meets, so this
//      lowers that combination, and the row itself when x meets one;
//   2. one axis of that point placed within the range the rows leave it (17.5%);
//   3. x moved inward by the shortest step, in units of each axis's ulp, that clears
//      every row rounding could push past its bound by half the rounding of its terms
//      (what rounding to nearest can add), then rounded, or one axis placed as in 2
//      about that point (2.3%);
//   4. the float points nearest the ray from x through that step's point, out to
//      kUlps (0.5%): where the rows meet at a sharp vertex, float points that meet them
//      lie farther into the cone they leave;
//   5. every float point within kUlps per axis (search_grid in exact_4d_float_search.cpp;
//      0.6%, at vertices): depth-first over the axes (the rows' heaviest in ulp units
//      first), each axis's floats only within the range the rows and the box leave for
//      it once the axes before it are fixed, tried from the inward step's point outward.
// Steps 2 to 5 take a point only when it meets every row within kUlps per axis of x;
// when none does (0.3%), the answer is the float point nearest x in the box.
// Step 1 runs on every answer on rows, and a branch on its data is mispredicted half
// the time: its conditions are computed, not branched on.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "exact_4d_float.h"
#include "exact_4d_kernel.h"
#include "morvex/exact_4d.h"

namespace morvex::exact4::f32 {
namespace {

constexpr int kStepPasses = 4;  // passes of the inward step (rows it runs into, axes held)

// Each row at u, less b, in sum; true when none is above 0.
bool rows_at(const Constraints4& c, int rows, const float u[4], double sum[4]) {
    bool met = true;
    for (int j = 0; j < rows; ++j) {
        sum[j] = row_excess(c, j, u);
        met = met & (sum[j] <= 0.0);
    }
    return met;
}

// The spacing of floats at v: 2^(e-24) for |v| in [2^(e-1), 2^e), at least 2^-149
// (so also at 0), from the bits of v (no library call).
double float_ulp(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>(bits >> 52 & 0x7ff) - 23;  // 2^(e-24), biased
    const uint64_t out = static_cast<uint64_t>(biased < 874 ? 874 : biased) << 52;
    double ulp;
    std::memcpy(&ulp, &out, sizeof ulp);
    return ulp;
}

// f clamped into the box's range on axis i.
float into_box(float f, const Bounds4& box, int i) {
    f = f < box.min[i] ? box.min[i] : f;
    return f > box.max[i] ? box.max[i] : f;
}

void round_into_box(const double x[4], const Bounds4& box, float u[4]) {
    for (int i = 0; i < 4; ++i) u[i] = into_box(static_cast<float>(x[i]), box, i);
}

bool in_box(const Bounds4& box, const float u[4]) {
    bool inside = true;
    for (int i = 0; i < 4; ++i) inside = inside & (box.min[i] <= u[i]) & (u[i] <= box.max[i]);
    return inside;
}

// Solves the 4 x 4 system G y = g for G symmetric positive semidefinite (a Gram
// matrix) by elimination without pivoting (none is needed on such a matrix), with
// no branch; false when a pivot is not positive (G singular: the rows depend on one
// another).
bool solve_gram(double G[4][4], double g[4], double y[4]) {
    bool positive = true;
    double inv[4];  // of the pivots: one division each, none in the substitution
    for (int c = 0; c < 4; ++c) {
        positive = positive & (G[c][c] > 0.0);
        inv[c] = 1.0 / G[c][c];
        for (int r = c + 1; r < 4; ++r) {
            const double f = G[r][c] * inv[c];
            for (int q = c + 1; q < 4; ++q) G[r][q] -= f * G[c][q];
            g[r] -= f * g[c];
        }
    }
    for (int r = 3; r >= 0; --r) {
        double t = g[r];
        for (int q = r + 1; q < 4; ++q) t -= G[r][q] * y[q];
        y[r] = t * inv[r];
    }
    return positive;
}

// y = x moved inward: every row that rounding could push past its bound cleared by
// `scale` times the rounding of its terms (sum over i of |a_i| ulp_i, over the axes
// where x is not a float already), by the step of
// least sum over i of (step_i / ulp_i)^2 that meets them with equality (for one row
// at most about one ulp per axis); a row the step runs into is taken in too, and an
// axis the step would take out of the box stays where it is. Then rounded to the
// nearest float point, u; true when it meets every row within kUlps of x.
bool moved_inward(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                  const double ulp[4], double scale, double y[4], float u[4]) {
    // The rows in double, padded to four (a row past the count is 0 <= +inf, never
    // short), so the loops below have no branch on the count or on the rows taken.
    double a[4][4], b[4], at_x[4];  // at_x: each row at x, less b
    for (int j = 0; j < 4; ++j) {
        const bool used = j < rows;
        double v = 0.0;
        for (int i = 0; i < 4; ++i) {
            a[j][i] = used ? static_cast<double>(c.a[j][i]) : 0.0;
            v += a[j][i] * x[i];
        }
        b[j] = used ? static_cast<double>(c.b[j]) : INFINITY;
        at_x[j] = v - b[j];
    }
    double weight[4], margin[4];
    bool exact[4];  // x[i] a float already
    for (int i = 0; i < 4; ++i) {
        weight[i] = ulp[i] * ulp[i], y[i] = x[i];
        exact[i] = static_cast<double>(static_cast<float>(x[i])) == x[i];
    }
    uint32_t taken = 0;
    bool held = false;  // the last step held an axis (then it is taken again without it)
    for (int pass = 0; pass < kStepPasses; ++pass) {
        // The rounding of the axes the step moves, and of those not at a float already
        // (an axis held at its bound is not rounded).
        double rounding[4];
        for (int i = 0; i < 4; ++i) rounding[i] = weight[i] != 0.0 || !exact[i] ? ulp[i] : 0.0;
        uint32_t now = 0;  // the rows short of their margin at y
        for (int j = 0; j < 4; ++j) {
            double m = 0.0, v = 0.0;
            for (int i = 0; i < 4; ++i) m += std::fabs(a[j][i]) * rounding[i], v += a[j][i] * y[i];
            margin[j] = m * scale;
            now |= static_cast<uint32_t>(v - b[j] + margin[j] > 0.0) << j;
        }
        if (pass > 0 && !held && (now | taken) == taken) break;  // the step clears them all
        taken |= now;
        if (taken == 0) break;
        // The taken rows scaled by weight; a row not taken is a unit row of G with
        // need 0, so its multiplier is 0.
        double s[4][4], G[4][4], need[4], lambda[4], on[4];
        for (int j = 0; j < 4; ++j) {
            on[j] = static_cast<double>(taken >> j & 1u);
            for (int i = 0; i < 4; ++i) s[j][i] = a[j][i] * weight[i] * on[j];
            need[j] = taken >> j & 1u ? at_x[j] + margin[j] : 0.0;  // (at_x is -inf past the count)
        }
        for (int p = 0; p < 4; ++p)
            for (int q = p; q < 4; ++q) {
                double sum = 0.0;
                for (int i = 0; i < 4; ++i) sum += s[p][i] * a[q][i];
                G[p][q] = G[q][p] = sum * on[q] + (p == q ? 1.0 - on[p] : 0.0);
            }
        if (!solve_gram(G, need, lambda)) break;
        held = false;
        const bool all = taken == (1u << rows) - 1u;  // no row left to run into
        for (int i = 0; i < 4; ++i) {
            double step = 0.0;
            for (int p = 0; p < 4; ++p) step += lambda[p] * s[p][i];
            y[i] = x[i] - step;
            const bool out = y[i] < box.min[i] || y[i] > box.max[i];
            held = held | out;
            if (out) weight[i] = 0.0, y[i] = x[i];
        }
        if (all && !held) break;
    }
    round_into_box(y, box, u);
    return meets_rows(c, rows, u) && within_ulps(x, ulp, u);
}

// base (a float point in the box) on every axis but one, that one at the float nearest
// p[i] within the range the rows leave it (and the box, and kUlps of x), or its
// neighbour inward should rounding leave it a hair out; each axis in turn. True, in u,
// with the first that meets every row within kUlps of x. A few row evaluations per
// axis. sum: each row at base, less b.
bool one_axis_placed(const Constraints4& c, int rows, const Bounds4& box, const double p[4],
                     const float base[4], const double sum[4], const double x[4],
                     const double ulp[4], float u[4]) {
    for (int i = 0; i < 4; ++i) {
        double lo = greater(box.min[i], x[i] - kUlps * ulp[i]);
        double hi = lesser(box.max[i], x[i] + kUlps * ulp[i]);
        for (int j = 0; j < rows; ++j) {
            const double a = c.a[j][i];
            const double rest = a * static_cast<double>(base[i]) - sum[j];  // a v_i <= rest
            const double edge = a != 0.0 ? rest / a : 0.0;
            hi = a > 0.0 ? lesser(hi, edge) : a == 0.0 && rest < 0.0 ? -INFINITY : hi;
            lo = a < 0.0 ? greater(lo, edge) : lo;
        }
        if (!(lo <= hi)) continue;
        float v[4] = {base[0], base[1], base[2], base[3]};
        float f = static_cast<float>(lesser(greater(p[i], lo), hi));
        if (static_cast<double>(f) > hi) f = float_step(f, false);
        if (static_cast<double>(f) < lo) f = float_step(f, true);
        v[i] = f;
        for (int t = 0; t < 2; ++t) {  // the neighbour may leave the box (a box of one point)
            if (in_box(box, v) && meets_rows(c, rows, v) && within_ulps(x, ulp, v)) {
                for (int q = 0; q < 4; ++q) u[q] = v[q];
                return true;
            }
            v[i] = float_step(v[i], static_cast<double>(v[i]) < 0.5 * (lo + hi));
        }
    }
    return false;
}

// x rounded on each axis to the float beside it on the side where pull[i] (u_i - x_i)
// is not positive (to nearest where pull[i] is 0 or x[i] a float), in the box: f - ulp
// and f + ulp are the floats beside the nearest, f, on x's side (ulp is the spacing at
// x). With pull = d - x, a nonnegative combination of the normals of the rows x meets
// (and of the box's sides), this lowers that combination from its value at x: every
// such row when there is one. sum: each row at u, less b; true when none is above 0.
bool rounded_against(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                     const double pull[4], const double ulp[4], float u[4], double sum[4]) {
    for (int i = 0; i < 4; ++i) {
        // (the conditions as 0 or 1, multiplied: a branch here is mispredicted half the time)
        const double f = static_cast<double>(static_cast<float>(x[i]));
        const int step = ((f < x[i]) & (pull[i] < 0.0)) - ((f > x[i]) & (pull[i] > 0.0));
        u[i] = into_box(static_cast<float>(f + static_cast<double>(step) * ulp[i]), box, i);
    }
    return rows_at(c, rows, u, sum);
}

// The float points nearest x + s (y - x) for s up to where that ray leaves kUlps of x
// (or the box), in kRaySteps steps from x outward: y is the inward step's point, so the
// ray runs into the cone of the rows x meets, where float points lie farther out when
// the cone is sharp. True, in u, with the first that meets every row within kUlps.
constexpr int kRaySteps = 16;
bool along_ray(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
               const double y[4], const double ulp[4], float u[4]) {
    double w[4], reach = INFINITY;
    for (int i = 0; i < 4; ++i) {
        w[i] = y[i] - x[i];
        const double room = (w[i] > 0.0 ? box.max[i] - x[i] : x[i] - box.min[i]);
        const double most = lesser(kUlps * ulp[i], room) / std::fabs(w[i]);
        reach = w[i] != 0.0 ? lesser(reach, most) : reach;
    }
    if (!(reach > 0.0 && reach < INFINITY)) return false;
    for (int k = 1; k <= kRaySteps; ++k) {
        const double s = reach * k / kRaySteps;
        float v[4];
        for (int i = 0; i < 4; ++i) v[i] = into_box(static_cast<float>(x[i] + s * w[i]), box, i);
        if (meets_rows(c, rows, v) && within_ulps(x, ulp, v)) {
            for (int i = 0; i < 4; ++i) u[i] = v[i];
            return true;
        }
    }
    return false;
}

// Steps 2 to 5 (see the top of this file) from u, the point of step 1 (sum: each row
// there, less b, overwritten); true, in v, with the first point they take.
bool placed_nearby(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                   const double ulp[4], const float u[4], double sum[4], float v[4]) {
    double y[4];  // the inward step's point
    if (one_axis_placed(c, rows, box, x, u, sum, x, ulp, v) ||
        moved_inward(c, rows, box, x, ulp, 0.5, y, v))
        return true;
    float base[4];
    round_into_box(y, box, base);
    rows_at(c, rows, base, sum);
    return one_axis_placed(c, rows, box, y, base, sum, x, ulp, v) ||
           along_ray(c, rows, box, x, y, ulp, v) || search_grid(c, rows, box, x, ulp, y, v);
}

// The float answer of an OPTIMAL double answer x of the command d (see the top of this
// file).
void round_answer(const Constraints4& c, int rows, const Bounds4& box, const double d[4],
                  const double x[4], float u[4]) {
    double ulp[4], pull[4];
    for (int i = 0; i < 4; ++i) ulp[i] = float_ulp(x[i]), pull[i] = d[i] - x[i];
    double sum[4] = {0.0, 0.0, 0.0, 0.0};  // each row at u, less b
    if (rounded_against(c, rows, box, x, pull, ulp, u, sum)) return;
    float v[4];
    if (placed_nearby(c, rows, box, x, ulp, u, sum, v))
        for (int i = 0; i < 4; ++i) u[i] = v[i];
    else
        round_into_box(x, box, u);  // no float point within kUlps meets every row
}

// The quick exit on the float data itself: valid records, d finite, d clamped into
// the box meets every row as evaluated in double. That is the double kernel's answer
// too (its quick exit takes it: its tolerance only widens the rows), and it is exact
// in float.
bool float_quick_exit(const float d[4], const Bounds4& box, const Constraints4& c, Solution4* out) {
    if (c.count > 4) return false;
    bool ok = true;
    float u[4];
    for (int i = 0; i < 4; ++i) {
        const float lo = box.min[i], hi = box.max[i];
        ok = ok & (lo <= hi) & (lo <= FLT_MAX) & (hi >= -FLT_MAX) & (std::fabs(d[i]) <= FLT_MAX);
        const float t = d[i] > hi ? hi : d[i];
        u[i] = d[i] < lo ? lo : t;
    }
    const int rows = static_cast<int>(c.count);
    // An infinite coefficient is the full call's to refuse, however the row's value
    // comes out at the clamped command.
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < 4; ++i) ok = ok & (std::fabs(c.a[j][i]) <= FLT_MAX);
    if (!ok || !meets_rows(c, rows, u)) return false;
    for (int i = 0; i < 4; ++i) out->u[i] = u[i];
    out->iterations = 0;
    out->status = MORVEX_STATUS_OPTIMAL;
    return true;
}

}  // namespace
}  // namespace morvex::exact4::f32

extern "C" int32_t morvex_solve_exact_4d_f32(const float u_desired[4], const Bounds4* bounds,
                                             const Constraints4* constraints, Solution4* out) {
    if (u_desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr)
        return -1;
    namespace f32 = morvex::exact4::f32;
    if (f32::float_quick_exit(u_desired, *bounds, *constraints, out)) return 0;
    MorvexLimits4 lim;
    double d[4];
    for (int i = 0; i < 4; ++i) {
        d[i] = u_desired[i];
        lim.lower[i] = bounds->min[i];
        lim.upper[i] = bounds->max[i];
    }
    const uint64_t count = constraints->count;
    lim.row_count = count > 4 ? 5u : static_cast<uint32_t>(count);
    lim.reserved = 0;
    const int rows = count > 4 ? 0 : static_cast<int>(count);
    for (int j = 0; j < rows; ++j) {
        for (int i = 0; i < 4; ++i) lim.a[j][i] = constraints->a[j][i];
        lim.b[j] = constraints->b[j];
    }
    // The float quick exit has failed; the double one-shot call past its own quick
    // exit (which gives the same bits).
    MorvexExact4Result res;
    const SolveStatus status = morvex::exact4::solve_unprepared(lim, d, &res);
    float u[4];
    if (status == MORVEX_STATUS_OPTIMAL) {
        f32::round_answer(*constraints, rows, *bounds, d, res.x, u);
    } else {
        // d clamped into the box: a value of the float data, so exact in float.
        for (int i = 0; i < 4; ++i) u[i] = static_cast<float>(res.x[i]);
    }
    for (int i = 0; i < 4; ++i) out->u[i] = u[i];
    out->iterations = res.steps;
    out->status = status;
    return 0;
}
