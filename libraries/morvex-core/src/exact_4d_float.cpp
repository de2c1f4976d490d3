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
//   5. every float point within kUlps per axis (search_grid; 0.6%, at vertices):
//      depth-first over the axes (the rows' heaviest in ulp units first), each axis's
//      floats only within the range the rows and the box leave for it once the axes
//      before it are fixed (the rows projected onto the leading axes), tried from the
//      inward step's point outward.
// Steps 2 to 5 take a point only when it meets every row within kUlps per axis of x;
// when none does (0.3%), the answer is the float point nearest x in the box.
// Step 1 runs on every answer on rows, and a branch on its data is mispredicted half
// the time: its conditions are computed, not branched on.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "exact_4d_kernel.h"
#include "morvex/exact_4d.h"

namespace {

constexpr int kUlps = 8;        // the promise: within this many float ulps per axis
constexpr int kStepPasses = 4;  // passes of the inward step (rows it runs into, axes held)

// Row j evaluated in double on the float point u (in this order), less b: the
// drop-in's promise is that this is at most 0 for every row (false on NaN).
double row_excess(const Constraints4& c, int j, const float u[4]) {
    // ((a0 u0 + a1 u1) + a2 u2) + a3 u3 as the header writes it (not from 0.0: an add
    // less on the way, and only the sign of a zero could differ)
    double v = static_cast<double>(c.a[j][0]) * static_cast<double>(u[0]);
    for (int i = 1; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * static_cast<double>(u[i]);
    return v - static_cast<double>(c.b[j]);
}

// Each row at u, less b, in sum; true when none is above 0.
bool rows_at(const Constraints4& c, int rows, const float u[4], double sum[4]) {
    bool met = true;
    for (int j = 0; j < rows; ++j) {
        sum[j] = row_excess(c, j, u);
        met = met & (sum[j] <= 0.0);
    }
    return met;
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

// The float next to f (finite) upward or downward.
float float_step(float f, bool up) {
    if (f == 0.0f) return up ? FLT_TRUE_MIN : -FLT_TRUE_MIN;
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bits = (f > 0.0f) == up ? bits + 1 : bits - 1;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// min and max without the library call (no NaN reaches them here).
double lesser(double a, double b) { return b < a ? b : a; }
double greater(double a, double b) { return b > a ? b : a; }

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

bool within_ulps(const double x[4], const double ulp[4], const float u[4]) {
    bool near = true;
    for (int i = 0; i < 4; ++i)
        near = near & (std::fabs(static_cast<double>(u[i]) - x[i]) <= kUlps * ulp[i]);
    return near;
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

// A constraint sum_i a[i] v[i] <= rhs on a point v; `mag` bounds the size of its
// terms over the region searched (sum_i |a_i| max|v_i| + |rhs|), for the allowance
// its rounding needs.
struct Half {
    double a[4];
    double rhs;
    double mag;
    bool side;  // a side of the box of the search, as given (the reach holds it already)
};

// The rows and the box of the search (bounds met, within kUlps of x) projected onto
// the first k + 1 axes, for k = 3, 2, 1 (Fourier-Motzkin): on those axes, exactly
// the points that extend to one of the whole set (up to rounding, allowed for).
// 4 rows and 8 sides give at most 12, 15 and 34 constraints.
constexpr int kMaxHalves = 40;
struct Projection {
    Half h[kMaxHalves];
    int n;
    // Once unit on an axis (unit_on): the constraints that bound it above, below, and
    // the others, by index, so that the loops over them need no branch on the sign.
    uint8_t above[kMaxHalves], below[kMaxHalves], other[kMaxHalves];
    int n_above, n_below, n_other;
    // The same without the box's sides, which a range read from the reach meets already:
    // the constraints a range is read from (a leaf reads the rows alone).
    uint8_t range_above[kMaxHalves], range_below[kMaxHalves], range_other[kMaxHalves];
    int n_range_above, n_range_below, n_range_other;
};

constexpr double kHalfSlack = 0x1p-36;  // allowance of a derived constraint, of its terms

// Scales each constraint of s with a term on axis k by 1 / |a_k| (rounding covered by
// the allowance), so that its coefficient there is +1 or -1: the divisions are made
// once per constraint, not per pair or per point.
void unit_on(Projection& s, int k) {
    s.n_above = s.n_below = s.n_other = 0;
    s.n_range_above = s.n_range_below = s.n_range_other = 0;
    for (int t = 0; t < s.n; ++t) {
        Half& h = s.h[t];
        const bool up = h.a[k] > 0.0, down = h.a[k] < 0.0, read = !h.side;
        s.above[s.n_above] = s.below[s.n_below] = s.other[s.n_other] = static_cast<uint8_t>(t);
        s.n_above += up, s.n_below += down, s.n_other += !(up || down);
        s.range_above[s.n_range_above] = s.range_below[s.n_range_below] =
            s.range_other[s.n_range_other] = static_cast<uint8_t>(t);
        s.n_range_above += up & read, s.n_range_below += down & read;
        s.n_range_other += !(up || down) & read;
        const double inv = 1.0 / (up || down ? std::fabs(h.a[k]) : 1.0);
        for (int i = 0; i < 4; ++i) h.a[i] *= inv;
        h.a[k] = up ? 1.0 : down ? -1.0 : 0.0;
        h.rhs *= inv;
        h.mag *= inv;
    }
}

// Eliminates axis k from `from` (unit on axis k) into `to`: each constraint bounding
// v_k above added to each bounding it below; the others kept. False when a constraint
// left with no axis cannot be met: then no real point, so no float point, meets the
// rows.
bool eliminate(const Projection& from, int k, Projection& to) {
    to.n = 0;
    for (int t = 0; t < from.n_other; ++t)
        if (to.n < kMaxHalves) to.h[to.n++] = from.h[from.other[t]];  // (one left out only widens)
    for (int p = 0; p < from.n_above; ++p) {
        const Half& hp = from.h[from.above[p]];
        for (int q = 0; q < from.n_below; ++q) {
            const Half& hq = from.h[from.below[q]];
            Half& h = to.h[to.n];
            bool any = false;
            for (int i = 0; i < 4; ++i) {
                h.a[i] = i < k ? hp.a[i] + hq.a[i] : 0.0;
                any = any || h.a[i] != 0.0;
            }
            h.rhs = hp.rhs + hq.rhs;
            h.mag = hp.mag + hq.mag;
            h.side = false;
            if (!any) {
                if (h.rhs < -kHalfSlack * h.mag) return false;
                continue;
            }
            if (to.n + 1 < kMaxHalves) ++to.n;
        }
    }
    return true;
}

// The bound rhs - sum_{i<k} a_i v_i that h leaves on axis k with axes 0..k-1 at v,
// widened by its allowance.
double edge_of(const Half& h, int k, const float v[4]) {
    double rest = h.rhs;
    for (int i = 0; i < k; ++i) rest -= h.a[i] * static_cast<double>(v[i]);
    return rest + kHalfSlack * h.mag;
}

// The range [lo, hi] of axis k that the constraints of `s` (unit on axis k) leave with
// axes 0..k-1 at v (each widened by its allowance), lo and hi given as the reach of
// axis k; false when empty. (A NaN edge, from
// an infinite answer, bounds nothing: the search leaves out only what a constraint rules
// out.)
bool axis_range(const Projection& s, int k, const float v[4], double& lo, double& hi) {
    bool met = true;
    for (int t = 0; t < s.n_range_above; ++t)
        hi = lesser(hi, edge_of(s.h[s.range_above[t]], k, v));
    for (int t = 0; t < s.n_range_below; ++t)
        lo = greater(lo, -edge_of(s.h[s.range_below[t]], k, v));
    for (int t = 0; t < s.n_range_other; ++t)
        met = met & !(edge_of(s.h[s.range_other[t]], k, v) < 0.0);
    return met && lo <= hi;
}

// The floats of [lo, hi] one by one, from the one nearest `center` outward (above
// first).
class FloatsIn {
   public:
    FloatsIn(double lo, double hi, double center) : lo_(lo), hi_(hi) {
        // (a NaN center, from a step that overflowed, starts at lo: every float is tried)
        float mid = static_cast<float>(lesser(hi, greater(lo, center)));
        if (static_cast<double>(mid) < lo) mid = float_step(mid, true);
        if (static_cast<double>(mid) > hi) mid = float_step(mid, false);
        up_ = mid, down_ = float_step(mid, false);
    }
    bool next(float& f) {
        const bool has_up = static_cast<double>(up_) <= hi_ && static_cast<double>(up_) >= lo_;
        const bool has_down =
            static_cast<double>(down_) >= lo_ && static_cast<double>(down_) <= hi_;
        if (has_up && (!has_down || !below_)) {
            f = up_, up_ = float_step(up_, true), below_ = true;
            return true;
        }
        if (!has_down) return false;
        f = down_, down_ = float_step(down_, false), below_ = false;
        return true;
    }

   private:
    double lo_, hi_;
    float up_ = 0.0f, down_ = 0.0f;
    bool below_ = false;  // the next one from below, when there is one
};

// Depth-first over the axes in the search's order: the floats of the k-th in the range
// the projection leaves with the ones before it at v, nearest the center first; at the
// last every row is checked exactly, on the point in the axes' own order. True with the
// first point found, in u (written in part when there is none).
struct Search {
    const Constraints4& c;
    int rows;
    const int (&axis)[4];  // the k-th axis searched (v[k] is u[axis[k]])
    const double (&reach)[4][2];
    const double* x;
    const double* ulp;
    const double* center;  // each axis's floats are tried from the one nearest it outward
    Projection* proj;  // onto the first k + 1 axes searched: proj[k] (left uninitialised: 8 KB)
};

bool search_axes(const Search& s, int k, float v[4], float u[4]) {
    const int i = s.axis[k];
    double lo = s.reach[i][0], hi = s.reach[i][1];
    if (!axis_range(s.proj[k], k, v, lo, hi)) return false;
    FloatsIn floats(lo, hi, s.center[i]);
    while (floats.next(v[k])) {
        u[i] = v[k];
        if (k < 3 ? search_axes(s, k + 1, v, u)
                  : meets_rows(s.c, s.rows, u) && within_ulps(s.x, s.ulp, u))
            return true;
    }
    return false;
}

// The axes in the order the search takes them: by the rows' weight on each in units of
// its ulp (sum over the rows of |a_ji| ulp_i), the heaviest first. Searched last, a light
// axis has many floats in the range the rows leave it, so a leaf seldom comes up empty;
// searched early, it can leave thousands of leaves whose range holds no float of a heavy
// axis (rows nearly parallel: a wedge thinner than that axis's ulp).
void search_order(const Constraints4& c, int rows, const double ulp[4], int axis[4]) {
    double weight[4];
    for (int i = 0; i < 4; ++i) {
        weight[i] = 0.0, axis[i] = i;
        for (int j = 0; j < rows; ++j)
            weight[i] += std::fabs(static_cast<double>(c.a[j][i])) * ulp[i];
    }
    for (int k = 1; k < 4; ++k)  // insertion, heaviest first (ties keep the axes' order)
        for (int q = k; q > 0 && weight[axis[q]] > weight[axis[q - 1]]; --q)
            std::swap(axis[q], axis[q - 1]);
}

// v moved outward (side -1 or +1) by at least one double ulp, for the rounding of the
// reach: a multiplication, not the library's nextafter (eight calls a search). An
// infinite v (an answer at an infinite bound) stays as it is: inf - inf would be NaN,
// and a NaN reach is no bound at all (fuzz_exact_4d: every float of an axis tried).
double widened(double v, double side) {
    const double step = std::fabs(v) * 0x1p-52 + 0x1p-1074;
    return step <= DBL_MAX ? v + side * step : v;
}

// A float point within kUlps per axis of x, in the box, that meets every row as
// evaluated, in u: every such point is reached (the projections only leave out
// ranges of an axis no real point of the region extends), so false means there is
// none.
bool search_grid(const Constraints4& c, int rows, const Bounds4& box, const double x[4],
                 const double ulp[4], const double center[4], float u[4]) {
    double reach[4][2], size[4];
    for (int i = 0; i < 4; ++i) {
        reach[i][0] = greater(box.min[i], widened(x[i] - kUlps * ulp[i], -1.0));
        reach[i][1] = lesser(box.max[i], widened(x[i] + kUlps * ulp[i], 1.0));
        size[i] = greater(std::fabs(reach[i][0]), std::fabs(reach[i][1]));
    }
    int axis[4];
    search_order(c, rows, ulp, axis);
    Projection proj[4];  // its coefficients by place in the search's order
    Search s{c, rows, axis, reach, x, ulp, center, proj};
    Projection& all = s.proj[3];
    all.n = 0;
    for (int j = 0; j < rows; ++j) {
        Half& h = all.h[all.n++];
        h.rhs = c.b[j];
        h.mag = std::fabs(h.rhs);
        h.side = false;
        for (int k = 0; k < 4; ++k) {
            h.a[k] = c.a[j][axis[k]];
            h.mag += std::fabs(h.a[k]) * size[axis[k]];
        }
    }
    for (int k = 0; k < 4; ++k)
        for (int side = 0; side < 2; ++side) {
            Half& h = all.h[all.n++];
            for (int q = 0; q < 4; ++q) h.a[q] = q == k ? (side == 0 ? -1.0 : 1.0) : 0.0;
            h.rhs = side == 0 ? -reach[axis[k]][0] : reach[axis[k]][1];
            h.mag = 2.0 * size[axis[k]];
            h.side = true;
        }
    // The first axis keeps its reach alone: its projection would take up to 17 x 17 pairs.
    unit_on(s.proj[3], 3);
    if (!eliminate(s.proj[3], 3, s.proj[2])) return false;
    unit_on(s.proj[2], 2);
    if (!eliminate(s.proj[2], 2, s.proj[1])) return false;
    unit_on(s.proj[1], 1);
    Projection& first = s.proj[0];  // the reach alone
    first.n = first.n_above = first.n_below = first.n_other = 0;
    first.n_range_above = first.n_range_below = first.n_range_other = 0;
    float v[4];
    return search_axes(s, 0, v, u);
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
        round_answer(*constraints, rows, *bounds, d, res.x, u);
    } else {
        // d clamped into the box: a value of the float data, so exact in float.
        for (int i = 0; i < 4; ++i) u[i] = static_cast<float>(res.x[i]);
    }
    for (int i = 0; i < 4; ++i) out->u[i] = u[i];
    out->iterations = res.steps;
    out->status = status;
    return 0;
}
