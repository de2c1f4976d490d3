// The exact four-axis projection on the float records of the four-axis kernel
// (morvex_solve_exact_4d_f32): the float data widened exactly to double, solved by
// morvex_exact_4d, and the double answer rounded to a float point that meets every
// bound exactly and every row as evaluated in double on the float values.
//
// Rounding (round_answer), cheapest first:
//   1. the nearest float point (inside the box: float bounds are exact), when it meets
//      the rows (about 40% of answers on rows);
//   2. x rounded toward the inside of the rows that point misses (about 40%);
//   3. x moved inward by the shortest step, in units of each axis's ulp, that clears
//      every row rounding could push past its bound by half the rounding of its terms
//      (what rounding to nearest can add), then rounded (about 20%);
//   4. the point nearest x within kUlps per axis that clears the rows by half, a
//      quarter, then none of that rounding, by the double kernel, and its 16 float
//      neighbours; when no point of that box meets the rows, no float point does;
//   5. every float point within kUlps per axis (search_grid; about 1%, mostly
//      vertices whose rows leave no float point there).
// Steps 3 to 5 take a point only when it meets every row within kUlps per axis of x;
// when none does, the answer is the nearest float point of step 1.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "exact_4d_kernel.h"
#include "morvex/exact_4d.h"

namespace {

constexpr int kUlps = 8;          // the promise: within this many float ulps per axis
constexpr int kNearFloats = 4 * kUlps + 4;  // floats within kUlps of a value (finer below 2^k)
constexpr int kStepPasses = 4;    // passes of the inward step (rows it runs into, axes held)

// Row j evaluated in double on the float point u (in this order), less b: the
// drop-in's promise is that this is at most 0 for every row (false on NaN).
double row_excess(const Constraints4& c, int j, const float u[4]) {
    double v = 0.0;
    for (int i = 0; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * static_cast<double>(u[i]);
    return v - static_cast<double>(c.b[j]);
}

bool meets_rows(const Constraints4& c, int rows, const float u[4]) {
    bool met = true;
    for (int j = 0; j < rows; ++j) met = met & (row_excess(c, j, u) <= 0.0);
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

void round_into_box(const double x[4], const Bounds4& box, float u[4]) {
    for (int i = 0; i < 4; ++i) {
        float f = static_cast<float>(x[i]);
        f = f < box.min[i] ? box.min[i] : f;
        u[i] = f > box.max[i] ? box.max[i] : f;
    }
}

bool within_ulps(const double x[4], const double ulp[4], const float u[4]) {
    bool near = true;
    for (int i = 0; i < 4; ++i)
        near = near & (std::fabs(static_cast<double>(u[i]) - x[i]) <= kUlps * ulp[i]);
    return near;
}

// Solves the k x k system G y = g (k <= 4) by elimination with partial pivoting;
// false when it is singular.
bool solve_small(double G[4][4], double g[4], int k, double y[4]) {
    for (int c = 0; c < k; ++c) {
        int p = c;
        for (int r = c + 1; r < k; ++r) p = std::fabs(G[r][c]) > std::fabs(G[p][c]) ? r : p;
        if (!(std::fabs(G[p][c]) > 0.0)) return false;
        for (int q = 0; q < k; ++q) std::swap(G[c][q], G[p][q]);
        std::swap(g[c], g[p]);
        for (int r = c + 1; r < k; ++r) {
            const double f = G[r][c] / G[c][c];
            for (int q = c; q < k; ++q) G[r][q] -= f * G[c][q];
            g[r] -= f * g[c];
        }
    }
    for (int r = k - 1; r >= 0; --r) {
        double t = g[r];
        for (int q = r + 1; q < k; ++q) t -= G[r][q] * y[q];
        y[r] = t / G[r][r];
    }
    return true;
}

// The rows of c that y leaves short of their margin (bit j): a . y - b + margin > 0.
uint32_t short_rows(const Constraints4& c, int rows, const double y[4], const double margin[4]) {
    uint32_t set = 0;
    for (int j = 0; j < rows; ++j) {
        double v = 0.0;
        for (int i = 0; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * y[i];
        set |= static_cast<uint32_t>(v - static_cast<double>(c.b[j]) + margin[j] > 0.0) << j;
    }
    return set;
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
    double weight[4], margin[4];
    for (int i = 0; i < 4; ++i) weight[i] = ulp[i] * ulp[i], y[i] = x[i];
    uint32_t taken = 0;
    for (int pass = 0; pass < kStepPasses; ++pass) {
        // The rounding of the axes the step moves, and of those not at a float already
        // (an axis held at its bound is not rounded).
        for (int j = 0; j < rows; ++j) {
            margin[j] = 0.0;
            for (int i = 0; i < 4; ++i) {
                const bool exact = static_cast<double>(static_cast<float>(x[i])) == x[i];
                margin[j] += weight[i] != 0.0 || !exact
                                 ? std::fabs(static_cast<double>(c.a[j][i])) * ulp[i]
                                 : 0.0;
            }
            margin[j] *= scale;
        }
        taken |= short_rows(c, rows, pass == 0 ? x : y, margin);
        if (taken == 0) break;
        int T[4], k = 0;
        double need[4], G[4][4], lambda[4];
        for (int j = 0; j < rows; ++j) {
            if ((taken >> j & 1u) == 0) continue;
            double v = 0.0;
            for (int i = 0; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * x[i];
            T[k] = j;
            need[k++] = v - static_cast<double>(c.b[j]) + margin[j];
        }
        for (int p = 0; p < k; ++p)
            for (int q = 0; q < k; ++q) {
                double sum = 0.0;
                for (int i = 0; i < 4; ++i)
                    sum += static_cast<double>(c.a[T[p]][i]) * weight[i] * c.a[T[q]][i];
                G[p][q] = sum;
            }
        if (!solve_small(G, need, k, lambda)) break;
        bool held = false;
        for (int i = 0; i < 4; ++i) {
            double step = 0.0;
            for (int p = 0; p < k; ++p) step += lambda[p] * c.a[T[p]][i];
            y[i] = x[i] - weight[i] * step;
            const bool out = y[i] < box.min[i] || y[i] > box.max[i];
            held = held | out;
            if (out) weight[i] = 0.0, y[i] = x[i];
        }
        if (!held && (taken | short_rows(c, rows, y, margin)) == taken) break;
    }
    round_into_box(y, box, u);
    return meets_rows(c, rows, u) && within_ulps(x, ulp, u);
}

// The floats of axis i within kUlps of x[i] and in the box, from the one nearest the
// center outward (alternately above and below); their count.
int floats_near(const Bounds4& box, const double x[4], const double ulp[4], double center,
                int i, float out[kNearFloats]) {
    const double reach = kUlps * ulp[i];
    const float mid = static_cast<float>(center < x[i] - reach   ? x[i] - reach
                                         : center > x[i] + reach ? x[i] + reach
                                                                 : center);
    int n = 0;
    auto keep = [&](float v) {
        const bool inside = v >= box.min[i] && v <= box.max[i];
        if (inside && std::fabs(static_cast<double>(v) - x[i]) <= reach && n < kNearFloats)
            out[n++] = v;
    };
    keep(mid);
    float up = mid, down = mid;
    for (int k = 0; k < 2 * kUlps + 1; ++k) {
        up = std::nextafter(up, INFINITY);
        down = std::nextafter(down, -INFINITY);
        keep(up);
        keep(down);
    }
    return n;
}

// The range of axis 2 for which some axis 3 in its span meets rows a2 v2 + a3 v3 <=
// room (the first two axes fixed): each pair of a row bounding v3 above and one
// bounding it below (the span's ends among them) bounds v2 (v3 eliminated); widened
// by 2^-30 of the magnitudes, far below a float ulp, for the rounding here (the
// points in it are checked exactly). False when it is empty.
bool axis2_range(const Constraints4& c, int rows, const double room[4], const double span[2][2],
                 double& lo, double& hi) {
    // Constraints g v2 + h v3 <= e: the rows, then v3 <= largest, -v3 <= -least.
    double g[6], h[6], e[6];
    int k = 0;
    for (int j = 0; j < rows; ++j) g[k] = c.a[j][2], h[k] = c.a[j][3], e[k++] = room[j];
    g[k] = 0.0, h[k] = 1.0, e[k++] = span[1][1];
    g[k] = 0.0, h[k] = -1.0, e[k++] = -span[1][0];
    lo = span[0][0];
    hi = span[0][1];
    double scale = std::fabs(lo) + std::fabs(hi);
    auto bound = [&](double coef, double rhs) {  // coef v2 <= rhs
        if (coef > 0) hi = std::fmin(hi, rhs / coef);
        if (coef < 0) lo = std::fmax(lo, rhs / coef);
        if (coef == 0 && rhs < -0x1p-30 * scale) hi = -INFINITY;
    };
    for (int a = 0; a < k; ++a) {
        if (h[a] == 0.0) bound(g[a], e[a]);
        for (int b = 0; b < k && h[a] > 0.0; ++b) {
            if (!(h[b] < 0.0)) continue;
            // v3 <= (e_a - g_a v2) / h_a and v3 >= (e_b - g_b v2) / h_b.
            const double alpha = 1.0 / h[a], beta = 1.0 / h[b];
            bound(g[a] * alpha - g[b] * beta, e[a] * alpha - e[b] * beta);
        }
    }
    const double widen = 0x1p-30 * scale;
    lo -= widen;
    hi += widen;
    return lo <= hi;
}

// Every float point within kUlps per axis of x (in the box), on each axis from the
// one nearest `center` outward: the first that meets every row, in u. False when
// there is none. A first or second coordinate is passed over when a row cannot be met
// whatever the others (each at its least term in the row); the first three terms of
// each row are summed once per triple (in the order of row_excess) and bound axis 3
// to a range, whose floats alone are checked exactly.
[[gnu::noinline]] bool search_grid(const Constraints4& c, int rows, const Bounds4& box,
                                   const double x[4],
                 const double ulp[4], const double center[4], float u[4]) {
    float v[4][kNearFloats];
    int n[4];
    for (int i = 0; i < 4; ++i) n[i] = floats_near(box, x, ulp, center[i], i, v[i]);
    // least[j][i]: the least term a_ji v_i of row j on axis i; rest[j][k]: their sum
    // over the axes after k, widened by 2^-40 of the magnitudes for rounding.
    double least[4][4], rest[4][4];
    for (int j = 0; j < rows; ++j) {
        double mag = std::fabs(static_cast<double>(c.b[j]));
        for (int i = 0; i < 4; ++i) {
            least[j][i] = INFINITY;
            for (int k = 0; k < n[i]; ++k)
                least[j][i] = std::fmin(least[j][i], static_cast<double>(c.a[j][i]) * v[i][k]);
            mag += std::fabs(static_cast<double>(c.a[j][i]) * x[i]);
        }
        rest[j][3] = -0x1p-40 * mag;
        for (int k = 2; k >= 0; --k) rest[j][k] = rest[j][k + 1] + least[j][k + 1];
    }
    auto hopeless = [&](const double part[4], int k) {
        bool out = false;
        for (int j = 0; j < rows; ++j) out = out | (part[j] + rest[j][k] > c.b[j]);
        return out;
    };
    double span[2][2];  // the least and largest float of axes 2 and 3 in reach
    for (int k = 0; k < 2; ++k) {
        span[k][0] = INFINITY, span[k][1] = -INFINITY;
        for (int t = 0; t < n[2 + k]; ++t) {
            span[k][0] = std::fmin(span[k][0], v[2 + k][t]);
            span[k][1] = std::fmax(span[k][1], v[2 + k][t]);
        }
    }
    for (int p = 0; p < n[0]; ++p) {
        double p0[4];
        for (int j = 0; j < rows; ++j) p0[j] = static_cast<double>(c.a[j][0]) * v[0][p];
        if (hopeless(p0, 0)) continue;
        for (int q = 0; q < n[1]; ++q) {
            double p1[4], room[4];
            for (int j = 0; j < rows; ++j) {
                p1[j] = p0[j] + static_cast<double>(c.a[j][1]) * v[1][q];
                room[j] = static_cast<double>(c.b[j]) - p1[j];
            }
            double lo2, hi2;
            if (!axis2_range(c, rows, room, span, lo2, hi2)) continue;
            for (int r = 0; r < n[2]; ++r) {
                if (!(v[2][r] >= lo2 && v[2][r] <= hi2)) continue;
                double part[4], lo = -INFINITY, hi = INFINITY;
                for (int j = 0; j < rows; ++j) {
                    part[j] = p1[j] + static_cast<double>(c.a[j][2]) * v[2][r];
                    // The range, widened by 2^-40 of itself for the rounding of the sums.
                    const double a3 = c.a[j][3], left = static_cast<double>(c.b[j]) - part[j];
                    const double edge = left / a3, slack = 0x1p-40 * std::fabs(edge);
                    if (a3 > 0) hi = std::fmin(hi, edge + slack);
                    if (a3 < 0) lo = std::fmax(lo, edge - slack);
                    if (a3 == 0 && left < 0) hi = -INFINITY;
                }
                for (int s = 0; s < n[3]; ++s) {
                    if (!(v[3][s] >= lo && v[3][s] <= hi)) continue;
                    bool met = true;
                    for (int j = 0; j < rows; ++j)
                        met = met & (part[j] + static_cast<double>(c.a[j][3]) * v[3][s] -
                                         static_cast<double>(c.b[j]) <= 0.0);
                    if (!met) continue;
                    u[0] = v[0][p], u[1] = v[1][q], u[2] = v[2][r], u[3] = v[3][s];
                    return true;
                }
            }
        }
    }
    return false;
}

// x rounded toward the inside of the rows the nearest float point u misses: on each
// axis down where those rows' coefficients are all >= 0 (some > 0), up where all are
// <= 0, else to nearest; into the box. Each such row then gains at least what its
// terms lose to rounding; true when every row is met.
bool rounded_inward(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                    float u[4]) {
    round_into_box(x, box, u);
    uint32_t up = 0, down = 0;  // bit i: a missed row wants axis i lower (down) or higher
    for (int j = 0; j < rows; ++j) {
        if (row_excess(c, j, u) <= 0.0) continue;
        for (int i = 0; i < 4; ++i) {
            down |= static_cast<uint32_t>(c.a[j][i] > 0) << i;
            up |= static_cast<uint32_t>(c.a[j][i] < 0) << i;
        }
    }
    float v[4];
    for (int i = 0; i < 4; ++i) {
        const float f = static_cast<float>(x[i]);
        float g = f;
        if ((down >> i & 1u) != 0 && (up >> i & 1u) == 0 && static_cast<double>(f) > x[i])
            g = std::nextafter(f, -INFINITY);
        if ((up >> i & 1u) != 0 && (down >> i & 1u) == 0 && static_cast<double>(f) < x[i])
            g = std::nextafter(f, INFINITY);
        g = g < box.min[i] ? box.min[i] : g;
        v[i] = g > box.max[i] ? box.max[i] : g;
    }
    if (!meets_rows(c, rows, v)) return false;
    for (int i = 0; i < 4; ++i) u[i] = v[i];
    return true;
}

// The floats on either side of y, per axis (16 points, in the box): the first that
// meets every row within kUlps of x, in u. False when none does.
bool rounded_either_way(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                        const double ulp[4], const double y[4], float u[4]) {
    float below[4], above[4];
    for (int i = 0; i < 4; ++i) {
        const float f = static_cast<float>(y[i]);
        below[i] = static_cast<double>(f) <= y[i] ? f : std::nextafter(f, -INFINITY);
        above[i] = static_cast<double>(f) >= y[i] ? f : std::nextafter(f, INFINITY);
    }
    for (unsigned side = 0; side < 16; ++side) {
        float v[4];
        for (int i = 0; i < 4; ++i) {
            const float f = (side >> i & 1u) != 0 ? above[i] : below[i];
            v[i] = f < box.min[i] ? box.min[i] : f > box.max[i] ? box.max[i] : f;
        }
        if (meets_rows(c, rows, v) && within_ulps(x, ulp, v)) {
            for (int i = 0; i < 4; ++i) u[i] = v[i];
            return true;
        }
    }
    return false;
}

// The point nearest x within kUlps per axis (and the box) that clears every row by
// `scale` times the rounding of its terms, in y; the status of that projection.
SolveStatus nearest_in_reach(const Constraints4& c, int rows, const Bounds4& box,
                             const double x[4], const double ulp[4], double scale, double y[4]) {
    MorvexLimits4 lim;
    for (int i = 0; i < 4; ++i) {
        lim.lower[i] = std::fmax(box.min[i], x[i] - kUlps * ulp[i]);
        lim.upper[i] = std::fmin(box.max[i], x[i] + kUlps * ulp[i]);
    }
    for (int j = 0; j < rows; ++j) {
        double margin = 0.0;
        for (int i = 0; i < 4; ++i) {
            lim.a[j][i] = c.a[j][i];
            margin += std::fabs(static_cast<double>(c.a[j][i])) * ulp[i];
        }
        lim.b[j] = static_cast<double>(c.b[j]) - scale * margin;
    }
    lim.row_count = static_cast<uint32_t>(rows);
    lim.reserved = 0;
    MorvexExact4Result r;
    const SolveStatus status = morvex_exact_4d(&lim, x, &r);
    for (int i = 0; i < 4; ++i) y[i] = r.x[i];
    return status;
}

// The float answer of an OPTIMAL double answer x (see the top of this file).
void round_answer(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                  float u[4]) {
    round_into_box(x, box, u);
    if (meets_rows(c, rows, u)) return;
    float w[4];
    if (rounded_inward(c, rows, box, x, w)) {
        for (int i = 0; i < 4; ++i) u[i] = w[i];
        return;
    }
    double ulp[4], y[4];
    for (int i = 0; i < 4; ++i) ulp[i] = float_ulp(x[i]);
    float v[4];
    bool found = moved_inward(c, rows, box, x, ulp, 0.5, y, v);
    constexpr double kClearance[3] = {0.5, 0.25, 0.0};
    for (int k = 0; k < 3 && !found; ++k) {
        // The point nearest x within kUlps per axis that clears the rows by half (a
        // quarter, none) of the rounding of their terms, by the double kernel; its
        // float neighbours. When no point of that box meets the rows, no float does.
        const SolveStatus status = nearest_in_reach(c, rows, box, x, ulp, kClearance[k], y);
        if (status != MORVEX_STATUS_OPTIMAL) {
            if (k == 2) return;
            continue;
        }
        found = rounded_either_way(c, rows, box, x, ulp, y, v);
        if (!found && k == 2) found = search_grid(c, rows, box, x, ulp, y, v);
    }
    if (found)
        for (int i = 0; i < 4; ++i) u[i] = v[i];
}

// The quick exit on the float data itself: valid records, d finite, d clamped into
// the box meets every row as evaluated in double. That is the double kernel's answer
// too (its quick exit takes it: its tolerance only widens the rows), and it is exact
// in float.
bool float_quick_exit(const float d[4], const Bounds4& box, const Constraints4& c,
                      Solution4* out) {
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
    if (!ok || !meets_rows(c, rows, u)) return false;
    for (int i = 0; i < 4; ++i) out->u[i] = u[i];
    out->iterations = 0;
    out->status = MORVEX_STATUS_OPTIMAL;
    return true;
}

} // namespace

extern "C" int32_t morvex_solve_exact_4d_f32(const float u_desired[4], const Bounds4* bounds,
                                             const Constraints4* constraints, Solution4* out) {
    if (u_desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr)
        return -1;
    if (float_quick_exit(u_desired, *bounds, *constraints, out)) return 0;
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
        round_answer(*constraints, rows, *bounds, res.x, u);
    } else {
        // d clamped into the box: a value of the float data, so exact in float.
        for (int i = 0; i < 4; ++i) u[i] = static_cast<float>(res.x[i]);
    }
    for (int i = 0; i < 4; ++i) out->u[i] = u[i];
    out->iterations = res.steps;
    out->status = status;
    return 0;
}
