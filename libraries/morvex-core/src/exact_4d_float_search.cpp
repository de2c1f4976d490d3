// The float drop-in's last step (exact_4d_float.h): every float point within reach of
// the double answer, depth-first over the axes, each axis's floats only within the range
// that the rows and the box leave it once the axes before it are fixed.
#include <utility>

#include "exact_4d_float.h"

namespace morvex::exact4::f32 {
namespace {

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

}  // namespace

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

}  // namespace morvex::exact4::f32
