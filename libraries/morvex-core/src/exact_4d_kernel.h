// Internal to the exact four-axis projection (morvex/exact_4d.h): the named
// thresholds, the numeric helpers, the problem in the solve's frame, the factor of a
// working set and its solves, shared by exact_4d*.cpp. The reasoning and the
// measured figures are in exact_4d_design.md beside this file.
#ifndef MORVEX_EXACT_4D_KERNEL_H
#define MORVEX_EXACT_4D_KERNEL_H

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "morvex/exact_4d.h"

namespace morvex::exact4 {

constexpr double kTolRel = 0x1p-40;      // feasibility, relative to the scale S
// and, for a unit row, at least this absolutely: where its right side or products are
// subnormal, doubles hold them only to 2^-1074 (the row's rounding alone can move it
// by a few units), and a relative tolerance there is no tolerance at all.
constexpr double kRowFloor = 0x1p-1073;
constexpr double kDependent = 0x1p-70;   // ||z||^2 below this: n depends on the working set
constexpr double kNormalSquare = 0x1p-1022;  // smallest ||z||^2 whose step viol / ||z||^2 is sound
constexpr double kPositive = 0x1p-50;    // a dual direction entry above this is positive
constexpr double kPivot = 0x1p-96;      // squared residual of a row in the factor: above rounding (2^-104)
constexpr double kFar = 0x1p900;         // farthest distance of d from the box; an infinite d
constexpr int kMaxSteps = MORVEX_EXACT4_MAX_STEPS;


inline bool is_nan(double v) { return v != v; }
// An ordered comparison (false on NaN): no parity test, as v - v == 0 needs.
inline bool is_finite(double v) { return std::fabs(v) <= DBL_MAX; }
// max of two non-NaN values, without a library call.
inline double max2(double x, double y) { return x < y ? y : x; }
// min of x and y, x when y is NaN (one minsd).
inline double min2(double x, double y) { return y < x ? y : x; }
// lower if v < lo, else upper if v > hi, else v (also for lo > hi and NaN), written
// as selects (compiled without branches: the data decides them at random).
inline double clamp_axis(double v, double lo, double hi) {
    const double t = v > hi ? hi : v;
    return v < lo ? lo : t;
}
// v when keep, else +0, by a bit mask (no branch on the data, exact).
inline double masked(bool keep, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= 0 - static_cast<uint64_t>(keep);
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
// Largest magnitude of a row, as a tree (a shorter chain than a scan); a NaN
// coefficient is passed over.
inline double max_abs4(const double a[4]) {
    return max2(max2(std::fabs(a[0]), std::fabs(a[1])), max2(std::fabs(a[2]), std::fabs(a[3])));
}
// c ? a : b by bit masks (for values the compiler would otherwise branch on).
inline double select(bool c, double a, double b) {
    uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    const uint64_t m = 0 - static_cast<uint64_t>(c);
    x = (x & m) | (y & ~m);
    std::memcpy(&a, &x, sizeof a);
    return a;
}
inline double dot4(const double x[4], const double y[4]) {
    return ((x[0] * y[0] + x[1] * y[1]) + x[2] * y[2]) + x[3] * y[3];
}
// e with v = f 2^e, f in [0.5, 1), for a finite v > 0 (as frexp).
inline int exponent_of(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>(bits >> 52 & 0x7ff);
    if (biased == 0) {
        int e = 0;
        std::frexp(v, &e);
        return e;
    }
    return biased - 1022;
}
// v 2^k exactly (as ldexp), by at most two multiplications by powers of two.
inline double pow2(int k) {
    const uint64_t bits = static_cast<uint64_t>(k + 1023) << 52;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
inline double scale_pow2(double v, int k) {
    if (k >= -1022 && k <= 1023) return v * pow2(k);
    return std::ldexp(v, k);
}
inline void write_clamped(const double lo[4], const double hi[4], const double d[4], double x[4]) {
    for (int i = 0; i < 4; ++i) x[i] = clamp_axis(d[i], lo[i], hi[i]);
}
// Everything one solve needs, in the shifted frame.
struct Problem {
    double A[4][4]; // unit rows
    double bb[4];   // right sides shifted by c
    int m;
    double L[4], U[4], r[4];
    double rowtol[4];  // feasibility tolerance of each row at y = 0 (see row_tol)
    double c[4];       // c, for the tolerances and the check at x = c + y
    double babs[4];    // |b| of each row, for the check at x = c + y
    double tol_mult;   // multiplier tolerance (fallback only)
    bool near;         // |r| within 16 times the limits' scale: the iterate is exact enough
};
struct Active {
    int fix[4];     // 0 free, +1 at upper, -1 at lower
    bool inw[4];    // row in the working set
    double ub[4];   // multiplier of the fixed bound of each axis
    double uw[4];   // multiplier of each working row
};
// The working rows restricted to the free axes (in the order of the factor) and
// an orthonormal basis of their span: M[k] = sum over l <= k of R[l][k] Q[l]. The
// projections use Q directly (two Gram-Schmidt passes), never the Gram matrix
// M M^T: forming it squares the conditioning, and nearly dependent rows (an
// angle of 2^-30, still far above the dependence threshold of a step) then give a
// spurious direction or a failed factorisation. A row added by a full step is
// appended from the step's own projection.
struct Factor {
    int W[4];        // working rows
    int nw;          // how many
    double M[4][4];  // their coefficients on the free axes, 0 on the fixed ones
    double Q[4][4];  // orthonormal rows spanning M's rows
    double R[4][4];  // upper triangular: M[k] = sum_{l <= k} R[l][k] Q[l]
    double inv[4];   // 1 / R[k][k]
};
inline void free_mask(const Active& s, double fr[4]) {
    for (int i = 0; i < 4; ++i) fr[i] = masked(s.fix[i] == 0, 1.0);
}
// z = x less its projection on the first k rows of Q, c its coefficients there:
// two classical Gram-Schmidt passes: a pass takes its coefficients on all k rows
// at once (independent products: a shorter chain than one row after the other),
// and the second restores the orthogonality the first loses to cancellation
// (twice is enough).
template <int K>
inline void project_out_k(const Factor& f, const double x[4], double z[4], double c[4]) {
    for (int i = 0; i < 4; ++i) z[i] = x[i];
    for (int k = 0; k < K; ++k) c[k] = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        double t[4];
        for (int k = 0; k < K; ++k) t[k] = dot4(f.Q[k], z);
        for (int k = 0; k < K; ++k) {
            c[k] += t[k];
            for (int i = 0; i < 4; ++i) z[i] -= t[k] * f.Q[k][i];
        }
    }
}
inline void project_out(const Factor& f, int k, const double x[4], double z[4], double c[4]) {
    switch (k) {
    case 1: project_out_k<1>(f, x, z, c); return;
    case 2: project_out_k<2>(f, x, z, c); return;
    case 3: project_out_k<3>(f, x, z, c); return;
    case 4: project_out_k<4>(f, x, z, c); return;
    default: project_out_k<0>(f, x, z, c); return;
    }
}
// w = R^-1 c (back substitution) and u = R^-T g (forward), K rows.
template <int K>
inline void r_solve_k(const Factor& f, const double c[4], double w[4]) {
    for (int i = K - 1; i >= 0; --i) {
        double t = c[i];
        for (int q = i + 1; q < K; ++q) t -= f.R[i][q] * w[q];
        w[i] = t * f.inv[i];
    }
}
inline void r_solve(const Factor& f, const double c[4], double w[4]) {
    switch (f.nw) {
    case 1: r_solve_k<1>(f, c, w); return;
    case 2: r_solve_k<2>(f, c, w); return;
    case 3: r_solve_k<3>(f, c, w); return;
    case 4: r_solve_k<4>(f, c, w); return;
    default: return;
    }
}
inline void rt_solve(const Factor& f, const double g[4], double u[4]) {
    for (int i = 0; i < f.nw; ++i) {
        double t = g[i];
        for (int q = 0; q < i; ++q) t -= f.R[q][i] * u[q];
        u[i] = t * f.inv[i];
    }
}
// Appends row j, whose restriction x to the free axes leaves z (squared length
// zz > 0) and coefficients c after projection on the factor's span.
inline void append(Factor& f, int j, const double x[4], const double z[4], const double c[4], double zz) {
    const int k = f.nw;
    f.W[k] = j;
    for (int i = 0; i < 4; ++i) f.M[k][i] = x[i];
    for (int l = 0; l < k; ++l) f.R[l][k] = c[l];
    f.R[k][k] = std::sqrt(zz);
    f.inv[k] = 1.0 / f.R[k][k];
    for (int i = 0; i < 4; ++i) f.Q[k][i] = z[i] * f.inv[k];
    f.nw = k + 1;
}
// Builds the factor of the working set of s; false when a row is numerically
// dependent on the ones before it on the free axes (what it leaves has a squared
// length below pivot; below first for the first row, which no projection rounds:
// pivot unless given).
inline bool factorise(const Problem& p, const Active& s, Factor& f, double pivot = kPivot,
                      double first = -1.0) {
    double fr[4], rows[4][4];
    free_mask(s, fr);
    int W[4], nw = 0;
    for (int j = 0; j < 4; ++j) {
        // Written in any case, kept when j is in the working set (nw <= j).
        W[nw] = j;
        for (int i = 0; i < 4; ++i) rows[nw][i] = p.A[j][i] * fr[i];
        nw += s.inw[j] ? 1 : 0;
    }
    f.nw = 0;
    for (int k = 0; k < nw; ++k) {
        double z[4], c[4] = {0, 0, 0, 0};
        switch (k) {  // k < 4
        case 1: project_out_k<1>(f, rows[1], z, c); break;
        case 2: project_out_k<2>(f, rows[2], z, c); break;
        case 3: project_out_k<3>(f, rows[3], z, c); break;
        default: project_out_k<0>(f, rows[0], z, c); break;
        }
        const double zz = dot4(z, z);
        if (!(zz > (k == 0 && first >= 0.0 ? first : pivot))) return false;
        append(f, W[k], rows[k], z, c, zz);
    }
    return true;
}
// z = n projected onto the null space of the working set; rw, rb = the
// coefficients of n on the working rows and fixed bounds; nf = n on the free
// axes and c its coefficients on Q (what a full step appends when n is a row).
template <int K>
void direction_k(const Problem& p, const Active& s, const Factor& f, const double nf[4],
                 const double n[4], double z[4], double rw[4], double rb[4], double c[4]) {
    double w[4];
    project_out_k<K>(f, nf, z, c);
    r_solve_k<K>(f, c, w);
    double across[4] = {n[0], n[1], n[2], n[3]};
    for (int k = 0; k < K; ++k) {
        const double* a = p.A[f.W[k]];
        for (int i = 0; i < 4; ++i) across[i] -= w[k] * a[i];
    }
    for (int i = 0; i < 4; ++i) rb[i] = static_cast<double>(s.fix[i]) * across[i];
    for (int j = 0; j < 4; ++j) rw[j] = 0.0;
    for (int k = 0; k < K; ++k) rw[f.W[k]] = w[k];
}
inline void direction(const Problem& p, const Active& s, const Factor& f, const double n[4], double nf[4],
               double z[4], double rw[4], double rb[4], double c[4]) {
    for (int i = 0; i < 4; ++i) nf[i] = masked(s.fix[i] == 0, n[i]);
    switch (f.nw) {
    case 1: direction_k<1>(p, s, f, nf, n, z, rw, rb, c); return;
    case 2: direction_k<2>(p, s, f, nf, n, z, rw, rb, c); return;
    case 3: direction_k<3>(p, s, f, nf, n, z, rw, rb, c); return;
    case 4: direction_k<4>(p, s, f, nf, n, z, rw, rb, c); return;
    default: break;
    }
    // The first step of every solve: nothing to project out.
    for (int i = 0; i < 4; ++i) {
        z[i] = nf[i];
        rb[i] = static_cast<double>(s.fix[i]) * n[i];
        rw[i] = 0.0;
    }
}
// The point of a working set (f its factor): fixed axes at their bound, the free
// ones the nearest to r on the working rows. With uw, also the multipliers.
inline void working_point(const Problem& p, const Active& s, const Factor& f, double y[4], double uw[4],
                   double ub[4]) {
    const int nw = f.nw;
    int nfree = 0;
    double yf[4], rhs[4], u[4];
    for (int i = 0; i < 4; ++i) {
        yf[i] = masked(s.fix[i] > 0, p.U[i]) + masked(s.fix[i] < 0, p.L[i]);  // one is 0
        nfree += s.fix[i] == 0;
    }
    for (int k = 0; k < nw; ++k) rhs[k] = p.bb[f.W[k]] - dot4(p.A[f.W[k]], yf);
    // Particular part: M^T (M M^T)^-1 rhs = Q^T R^-T rhs.
    rt_solve(f, rhs, u);
    for (int i = 0; i < 4; ++i) y[i] = yf[i];
    for (int k = 0; k < nw; ++k)
        for (int i = 0; i < 4; ++i) y[i] += u[k] * f.Q[k][i];
    // Null-space part: r on the free axes less its projection on the rows (none
    // at a vertex).
    if (nw < nfree || uw != nullptr) {
        double rf[4], nul[4], crf[4];
        for (int i = 0; i < 4; ++i) rf[i] = masked(s.fix[i] == 0, p.r[i]);
        project_out(f, nw, rf, nul, crf);
        if (nw < nfree)
            for (int i = 0; i < 4; ++i) y[i] += nul[i];
        if (uw != nullptr) {
            // y_free = r_free - M^T uw  gives  uw = R^-1 (Q r_free - u).
            double g[4], w[4];
            for (int k = 0; k < nw; ++k) g[k] = crf[k] - u[k];
            r_solve(f, g, w);
            for (int j = 0; j < 4; ++j) uw[j] = 0.0;
            for (int k = 0; k < nw; ++k) uw[f.W[k]] = w[k];
            for (int i = 0; i < 4; ++i) {
                if (s.fix[i] == 0) {
                    ub[i] = 0.0;
                    continue;
                }
                double t = p.r[i] - y[i];
                for (int k = 0; k < nw; ++k) t -= uw[f.W[k]] * p.A[f.W[k]][i];
                ub[i] = static_cast<double>(s.fix[i]) * t;
            }
        }
    }
}
// Feasibility tolerances at y, each relative to the magnitudes that enter the
// evaluation of its own constraint there (|b|, |a_i c_i| and |a_i y_i| for a row,
// |c_i| and |y_i| for a bound): a bound or row far from the point widens nothing.
// Each term is scaled by 2^-40 before it is added (the rows are unit vectors), so
// no tolerance overflows where the values do.
inline double row_tol(const Problem& p, int j, const double y[4]) {
    return p.rowtol[j] + std::fabs(kTolRel * p.A[j][0] * y[0]) +
           std::fabs(kTolRel * p.A[j][1] * y[1]) + std::fabs(kTolRel * p.A[j][2] * y[2]) +
           std::fabs(kTolRel * p.A[j][3] * y[3]);
}
inline double bound_tol(const Problem& p, int i, const double y[4]) {
    return kTolRel * std::fabs(p.c[i]) + kTolRel * std::fabs(y[i]);
}
// x on axis i from the frame: c + y clamped into the box, or the bound itself when
// y is exactly at its shifted value L or U (c + L may round off the bound).
inline double frame_value(const MorvexExact4Prepared& P, int i, double c, double y, double L,
                          double U) {
    double v = clamp_axis(c + y, P.lower[i], P.upper[i]);
    v = select(y == L, P.lower[i], v);
    return select(y == U, P.upper[i], v);
}
// The tolerance of unit row (a, b) at the point c: 2^-40 of the magnitudes its
// evaluation there adds up, and kRowFloor.
inline double shifted_row_tol(const double a[4], double b, const double c[4]) {
    return kRowFloor + kTolRel * std::fabs(b) + std::fabs(kTolRel * a[0] * c[0]) +
           std::fabs(kTolRel * a[1] * c[1]) + std::fabs(kTolRel * a[2] * c[2]) +
           std::fabs(kTolRel * a[3] * c[3]);
}
inline SolveStatus finish(MorvexExact4Result* out, SolveStatus status, uint32_t steps) {
    out->status = status;
    out->steps = steps;
    return status;
}
// A status other than OPTIMAL: x is d clamped into the box.
inline SolveStatus refuse(const MorvexExact4Prepared& P, const double d[4], MorvexExact4Result* out,
                   SolveStatus status, uint32_t steps) {
    write_clamped(P.lower, P.upper, d, out->x);
    return finish(out, status, steps);
}
// A far axis: d beyond R = P.far from the box's side on that axis (from 0 on a
// side the box leaves open).
inline bool far_up(const MorvexExact4Prepared& P, double d, int i) {
    return d - (P.upper[i] == INFINITY ? 0.0 : P.upper[i]) > P.far;
}
inline bool far_down(const MorvexExact4Prepared& P, double d, int i) {
    return d - (P.lower[i] == -INFINITY ? 0.0 : P.lower[i]) < -P.far;
}

// The scale of a command against the limits, without the bounds: the largest |b| of a
// unit row (at least 2^-900), the largest |c[i]| (c = d clamped into the box), and how
// far d lies from c. A bound of 1e300 meaning no limit counts in R, not here.
struct CommandScale {
    double rows, spread, reach;
};
inline CommandScale command_scale(const MorvexExact4Prepared& P, const double d[4]) {
    CommandScale k{0x1p-900, 0.0, 0.0};
    for (int i = 0; i < 4; ++i) {
        const double c = clamp_axis(d[i], P.lower[i], P.upper[i]);
        k.spread = max2(k.spread, std::fabs(c));
        k.reach = max2(k.reach, std::fabs(d[i] - c));
    }
    for (int j = 0; j < static_cast<int>(P.row_count); ++j) k.rows = max2(k.rows, std::fabs(P.b[j]));
    return k;
}

// Every working set of at most four constraints (per axis free, lower or upper, never
// a side whose bound in lo / hi is infinite; any subset of the first m rows), in one
// fixed order; f(s) returns true to stop there. Used where rounding left the loop or
// a proposal without an answer: at most 576 sets.
template <class F>
bool any_working_set(const double lo[4], const double hi[4], int m, F&& f) {
    for (int code = 0; code < 81; ++code) {
        Active s{};
        int nfixed = 0;
        bool usable = true;
        for (int i = 0, k = code; i < 4; ++i, k /= 3) {
            s.fix[i] = k % 3 == 0 ? 0 : k % 3 == 1 ? -1 : +1;
            nfixed += s.fix[i] != 0;
            usable = usable & (s.fix[i] == 0 || is_finite(s.fix[i] > 0 ? hi[i] : lo[i]));
        }
        for (unsigned mask = 0; usable && mask < (1u << m); ++mask) {
            int nw = 0;
            for (int j = 0; j < 4; ++j) {
                s.inw[j] = j < m && (mask >> j & 1u) != 0;
                nw += s.inw[j];
            }
            if (nfixed + nw <= 4 && f(static_cast<const Active&>(s))) return true;
        }
    }
    return false;
}

// ---- Across the files ----------------------------------------------------------------
// exact_4d_solve.cpp: the dual active-set solve of one command and its check.
bool prepared_quick_exit(const MorvexExact4Prepared& P, const double d[4],
                         MorvexExact4Result* out);
SolveStatus solve_once(const MorvexExact4Prepared& P, const double desired[4],
                       MorvexExact4Result* out, bool try_quick, bool* met = nullptr,
                       Active* last = nullptr);
bool meets_rows(const MorvexExact4Prepared& P, const double x[4]);
SolveStatus solve_checked(const MorvexExact4Prepared& P, const double desired[4],
                          MorvexExact4Result* out, bool try_quick, Active* last = nullptr);
// exact_4d_far.cpp: a command beyond R from the box, an infinite one, unusable limits.
SolveStatus solve_far(const MorvexExact4Prepared& P, const double desired[4],
                      MorvexExact4Result* out, bool try_quick);
SolveStatus recheck_enumerated(const MorvexExact4Prepared& P, const double d[4],
                               MorvexExact4Result* out);
// exact_4d_thin.cpp: answers and refusals on limits with a thin wedge, settled (and
// the refusals morvex_exact_4d_solve_rechecked checks, on any limits with their rows
// as given).
SolveStatus settle_thin(const MorvexExact4Prepared& P, const double d[4],
                        MorvexExact4Result* out, SolveStatus status);
SolveStatus settle_refusal(const MorvexExact4Prepared& P, const double d[4],
                           MorvexExact4Result* out, SolveStatus status);
// exact_4d.cpp: any command on prepared limits; the one-shot call without its quick
// exit (the float drop-in has tried its own).
SolveStatus solve(const MorvexExact4Prepared& P, const double desired[4],
                  MorvexExact4Result* out, bool try_quick);
SolveStatus solve_unprepared(const MorvexLimits4& limits, const double desired[4],
                             MorvexExact4Result* out);

} // namespace morvex::exact4

#endif // MORVEX_EXACT_4D_KERNEL_H
