// The exact four-axis projection: minimiser of ||x - d||^2 over a box and up to
// four rows, in double precision, by a dual active-set method (Goldfarb-Idnani
// with the identity as Hessian) specialised for four axes.
//
// Frame. The solve works on y = x - c with c = d clamped into the box, so the
// target is r = d - c (zero on every axis where d is inside the box) and every
// bound and row is shifted by c. Starting from y = 0 with the bounds that d
// passes fixed (their multipliers |r_i| make the start dual feasible), distances
// are measured from the box, not from d, and the multipliers (which grow with |r|)
// decide only which constraints are active. At a vertex, or with r within 16
// times the limits' scale, the final iterate is the answer when it meets every
// constraint (its steps are each no longer than the violation they removed over
// the length of their direction); otherwise the answer is recomputed from the
// final working set: fixed axes take their bound exactly; the free ones solve the
// equality problem of the working rows, with the part of r in the rows' null space
// added (a far-away d enters only there).
//
// Working set. Bounds are fixed coordinates (one side per axis); rows are unit
// vectors. The working rows restricted to the free axes are kept with an
// orthonormal basis of their span (Q, R: two Gram-Schmidt passes per row, so
// nearly dependent rows keep their accuracy: the Gram matrix of the rows would
// square their conditioning); a row added by a full step is appended from the
// step's own projection, other changes rebuild the basis. For a violated
// constraint with normal n, z is n projected onto the null space of the working
// set (zero on fixed axes, orthogonal to the working rows on the free ones) and w
// its coefficients on the working set. The step y -= t z
// keeps the working set met, lowers the violation by t ||z||^2 and moves the
// multipliers by -t w (the new one by +t). A full step adds the constraint; a
// partial step stops where a multiplier reaches zero and drops that constraint.
//
// Bound on the work. Each full step strictly increases the dual objective, so
// no working set is met twice after an addition; between two additions there are
// at most four removals (the working set holds at most four linearly independent
// constraints). There are 576 working sets (per axis none, lower or upper, any
// subset of four rows, at most four in all), so exact arithmetic needs at most
// 576 * 5 steps; in practice under 12. The loop is cut at 64 steps; past the cut
// (only reachable through rounding: nearly dependent working sets whose rows keep
// less than 2^-48 of their length on the free axes, step lengths that overflow
// when the limits reach 2^1000) every working set is solved and checked instead:
// 576 solves of at most 4 x 4. No allocation, no state, no lock.
//
// Speed. The hot loops run over four axes whatever the data, and over the rows
// the limits keep (a count fixed for the whole solve; the factor's and the ratio
// test's loops run over all four, unused rows being zero); data-dependent choices
// are made with masks, min and max rather than branches: random limits make
// branches unpredictable.
#include "morvex/exact_4d.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr double kTolRel = 0x1p-40;      // feasibility, relative to the scale S
constexpr double kQuickTolRel = 0x1p-41; // the one-shot quick exit: stricter
constexpr double kDependent = 0x1p-70;   // ||z||^2 below this: n depends on the working set
constexpr double kPositive = 0x1p-50;    // a dual direction entry above this is positive
constexpr double kPivot = 0x1p-96;      // squared residual of a row in the factor: above rounding (2^-104)
constexpr double kThinCos = 0x1p-12;     // 1 - |cos| below this: a thin wedge (about 1.3 degrees)
constexpr double kThinSine = 0x1p-50;    // a sine below this: the same row but for rounding
constexpr double kThinReach = 0x1p40;    // commands settled on a thin wedge: within this x R
constexpr double kThinLargest = 0x1p600; // limits settled on a thin wedge: R at most this
constexpr double kFar = 0x1p900;         // farthest distance of d from the box; an infinite d
constexpr int kMaxSteps = MORVEX_EXACT4_MAX_STEPS;
constexpr int kMaxRounds = 16;          // projections of an answer again (see solve)
constexpr int kFarRounds = 4;           // boxes tried for a far command (see solve)
constexpr int kMovedRounds = 3;         // distances a far command is moved to (see solve_moved)

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

void write_clamped(const double lo[4], const double hi[4], const double d[4], double x[4]) {
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
void append(Factor& f, int j, const double x[4], const double z[4], const double c[4], double zz) {
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
// length below kPivot).
template <double Pivot = kPivot>
bool factorise(const Problem& p, const Active& s, Factor& f) {
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
        if (!(zz > Pivot)) return false;
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

void direction(const Problem& p, const Active& s, const Factor& f, const double n[4], double nf[4],
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
void working_point(const Problem& p, const Active& s, const Factor& f, double y[4], double uw[4],
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

// Largest violation of a constraint outside the working set, beyond `tol`.
// kind: 0 none, 1 bound (axis, side), 2 row.
struct Violated {
    int kind;
    int index;
    int side;
    double amount;
};

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

Violated most_violated(const Problem& p, const Active& s, const double y[4]) {
    // Without branches on the data: the working set's own constraints are pushed
    // to -inf, the largest is kept by max (first one on ties), its code by an
    // integer select. code: 0 none, 1 + i upper bound, 5 + i lower bound, 9 + j row.
    // Ranked by the violation beyond each constraint's own tolerance.
    double best = 0.0;
    int code = 0;
    for (int i = 0; i < 4; ++i) {
        const double pen = masked(s.fix[i] != 0, -INFINITY);
        const double tol = bound_tol(p, i, y);
        const double over = (y[i] - p.U[i]) + pen - tol;
        code = over > best ? 1 + i : code;
        best = max2(best, over);
        const double under = (p.L[i] - y[i]) + pen - tol;
        code = under > best ? 5 + i : code;
        best = max2(best, under);
    }
    for (int j = 0; j < p.m; ++j) {
        const double over =
            (dot4(p.A[j], y) - p.bb[j]) + masked(s.inw[j], -INFINITY) - row_tol(p, j, y);
        code = over > best ? 9 + j : code;
        best = max2(best, over);
    }
    if (code == 0) return Violated{0, 0, 0, best};
    if (code < 5) return Violated{1, code - 1, +1, best};
    if (code < 9) return Violated{1, code - 5, -1, best};
    return Violated{2, code - 9, 0, best};
}

// most_violated at the start (y = 0, no row in the working set): the bounds hold
// there (L <= 0 <= U), the rows' values are -bb; the same choice, fewer products.
Violated first_violated(const Problem& p) {
    double best = 0.0;
    int code = 0;
    for (int j = 0; j < p.m; ++j) {
        const double over = -p.bb[j] - p.rowtol[j];
        code = over > best ? 9 + j : code;
        best = max2(best, over);
    }
    if (code == 0) return Violated{0, 0, 0, best};
    return Violated{2, code - 9, 0, best};
}

bool meets_all(const Problem& p, const double y[4]) {
    bool ok = true;
    for (int i = 0; i < 4; ++i) ok = ok & !(y[i] > p.U[i]) & !(y[i] < p.L[i]);
    for (int j = 0; j < p.m; ++j) ok = ok & (dot4(p.A[j], y) - p.bb[j] <= row_tol(p, j, y));
    return ok;
}

// Whether every row holds at y by enough to hold at x = c + y itself too, as the
// check at x (see certify) would find: the row's value, evaluated here, within
// 2^-40 of the magnitudes its evaluation at x adds up, less what the two
// evaluations and the rounding of c + y can differ by (a few units of 2^-52 of
// the magnitudes here: 2^-48 of them is kept). Stricter than meets_all's rows.
bool meets_rows_at_x(const Problem& p, const double y[4]) {
    bool ok = true;
    for (int j = 0; j < p.m; ++j) {
        double at_x = 0.0;
        for (int i = 0; i < 4; ++i) at_x += std::fabs(p.A[j][i]) * std::fabs(p.c[i] + y[i]);
        const double margin = 0x1p-8 * row_tol(p, j, y);
        ok = ok & (dot4(p.A[j], y) - p.bb[j] <= kTolRel * (p.babs[j] + at_x) - margin);
    }
    return ok;
}

// Every working set solved and checked; the first that satisfies the optimality
// conditions within the tolerances wins. False when none does (infeasible).
bool enumerate(const Problem& p, double y_out[4]) {
    for (int code = 0; code < 81; ++code) {
        Active s{};
        int nfixed = 0;
        bool usable = true;
        for (int i = 0, c = code; i < 4; ++i, c /= 3) {
            s.fix[i] = c % 3 == 0 ? 0 : c % 3 == 1 ? -1 : +1;
            if (s.fix[i] != 0) {
                ++nfixed;
                if (!is_finite(s.fix[i] > 0 ? p.U[i] : p.L[i])) usable = false;
            }
        }
        if (!usable) continue;
        for (unsigned mask = 0; mask < (1u << p.m); ++mask) {
            int nw = 0;
            for (int j = 0; j < 4; ++j) {
                s.inw[j] = j < p.m && (mask >> j & 1u) != 0;
                if (s.inw[j]) ++nw;
            }
            if (nfixed + nw > 4) continue;
            double y[4], uw[4], ub[4];
            Factor f;
            if (!factorise(p, s, f)) continue;
            working_point(p, s, f, y, uw, ub);
            bool ok = true;
            for (int k = 0; k < 4 && ok; ++k)
                ok = !(s.inw[k] && !(uw[k] >= -p.tol_mult)) && !(s.fix[k] != 0 && !(ub[k] >= -p.tol_mult));
            for (int i = 0; i < 4 && ok; ++i) {
                const double tol = bound_tol(p, i, y);
                ok = !(y[i] > p.U[i] + tol || y[i] < p.L[i] - tol);
            }
            for (int j = 0; j < p.m && ok; ++j) ok = dot4(p.A[j], y) - p.bb[j] <= row_tol(p, j, y);
            if (!ok) continue;
            for (int i = 0; i < 4; ++i) y_out[i] = clamp_axis(y[i], p.L[i], p.U[i]);
            return true;
        }
    }
    return false;
}

// Whether moving the command the working set of s was found for by the vector shift
// (d less that command; nonzero only along axes) keeps the multipliers of that
// working set (its rows and fixed bounds, as s holds them; f its factor)
// nonnegative. Each axis is decomposed on the normals on its own: nothing may be
// left in the null space, and coefficients within 2^-40 of zero are taken as zero
// (the shifts may differ by hundreds of binary orders, and the rounding of a large
// one must not hide a small one); each multiplier plus its combined coefficient
// must then be nonnegative beyond 2^-40 of its terms. Then the working set's point
// stays the answer.
// Returns 0 then; else bit i for an axis that leaves a part in the null space (the
// answer moves with the command along it), bit 4 for a negative coefficient.
uint32_t in_working_cone(const Problem& p, const Active& s, const Factor& f,
                         const double shift[4]) {
    // As direction() decomposes n (not called: a second caller would take it out of
    // the loop it is inlined in).
    double total[8] = {0, 0, 0, 0, 0, 0, 0, 0}, size[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    uint32_t verdict = 0;
    for (int axis = 0; axis < 4; ++axis) {
        if (shift[axis] == 0.0) continue;
        double nf[4] = {0, 0, 0, 0}, z[4], c[4], w[4] = {0, 0, 0, 0}, coef[8];
        nf[axis] = masked(s.fix[axis] == 0, 1.0);
        project_out(f, f.nw, nf, z, c);
        r_solve(f, c, w);
        verdict |= static_cast<uint32_t>(!(dot4(z, z) <= kDependent)) << axis;
        for (int q = 0; q < 4; ++q) coef[q] = w[q];  // zero past the working rows
        for (int i = 0; i < 4; ++i) {
            // e_axis less its part on the rows, on a fixed axis, toward its bound.
            double across = i == axis ? 1.0 : 0.0;
            for (int q = 0; q < f.nw; ++q) across -= w[q] * p.A[f.W[q]][i];
            coef[4 + i] = static_cast<double>(s.fix[i]) * across;
        }
        for (int k = 0; k < 8; ++k) {
            const double term = std::fabs(coef[k]) <= 0x1p-40 ? 0.0 : shift[axis] * coef[k];
            total[k] += term;
            size[k] += std::fabs(term);
        }
    }
    // The multipliers the working set holds at the command it was found for.
    double held[8];
    for (int q = 0; q < 4; ++q) held[q] = q < f.nw ? s.uw[f.W[q]] : 0.0;
    for (int i = 0; i < 4; ++i) held[4 + i] = masked(s.fix[i] != 0, s.ub[i]);
    for (int k = 0; k < 8; ++k)
        verdict |= static_cast<uint32_t>(held[k] + total[k] < -0x1p-40 * (size[k] + held[k]))
                   << 4;
    return verdict;
}

// The point y of working set s (factor f) refined once, in place: the point of s
// for the problem shifted to y, added to y. Its residuals are small, so the
// refinement carries their rounding, not that of the magnitudes y was computed
// from (a vertex 2^17 out on two axes placed a third, which a row holds alone, with
// the rounding of 2^17 through the factor). True when y then meets every
// constraint (y unchanged otherwise).
[[gnu::noinline]] bool refined(const Problem& p, const Active& s, const Factor& f, double y[4]) {
    Problem q = p;
    for (int i = 0; i < 4; ++i) {
        q.L[i] = p.L[i] - y[i];
        q.U[i] = p.U[i] - y[i];
        q.r[i] = p.r[i] - y[i];
    }
    for (int j = 0; j < p.m; ++j) q.bb[j] = p.bb[j] - dot4(p.A[j], y);
    double step[4], z[4];
    working_point(q, s, f, step, nullptr, nullptr);
    for (int i = 0; i < 4; ++i) z[i] = clamp_axis(y[i] + step[i], p.L[i], p.U[i]);
    if (!meets_all(p, z)) return false;
    for (int i = 0; i < 4; ++i) y[i] = z[i];
    return true;
}

// The dual active-set loop. Returns the status; y and steps written.
// *at_x tells whether the answer was found to meet the rows at x = c + y itself
// (meets_rows_at_x). With last, the final working set is written there.
SolveStatus dual_active_set(const Problem& p, double y[4], uint32_t* steps_out, bool* at_x,
                            Active* last) {
    *at_x = false;
    Active s{};
    for (int i = 0; i < 4; ++i) {
        y[i] = 0.0;
        s.fix[i] = static_cast<int>(p.r[i] > 0) - static_cast<int>(p.r[i] < 0);
        s.ub[i] = std::fabs(p.r[i]);
    }
    Factor f;
    f.nw = 0;
    bool fresh = true;  // f is the factor of the working set of s
    int steps = 0;
    for (bool start = true;; start = false) {
        const Violated v = start ? first_violated(p) : most_violated(p, s, y);
        if (v.kind == 0) break;
        double up = 0.0;
        for (;;) {
            double n[4] = {0, 0, 0, 0}, beta;
            if (v.kind == 1) {
                n[v.index] = static_cast<double>(v.side);
                beta = v.side > 0 ? p.U[v.index] : -p.L[v.index];
            } else {
                for (int i = 0; i < 4; ++i) n[i] = p.A[v.index][i];
                beta = p.bb[v.index];
            }
            if (!fresh) fresh = factorise(p, s, f);
            if (steps >= kMaxSteps || !fresh) {
                *steps_out = kMaxSteps + 1;
                return enumerate(p, y) ? MORVEX_STATUS_OPTIMAL : MORVEX_STATUS_INFEASIBLE;
            }
            double nf[4], z[4], rw[4], rb[4], cf[4] = {0, 0, 0, 0};
            direction(p, s, f, n, nf, z, rw, rb, cf);
            ++steps;
            // Partial step: the first multiplier to reach zero.
            double t1 = INFINITY;
            // Candidates: fixed bounds and working rows whose multiplier falls
            // (entry > kPositive); the others are pushed to +inf (or NaN, which
            // min ignores). First one on ties, as a scan would find it. code: 0
            // none, 1 + i bound of axis i, 5 + j row j (one integer select).
            // The eight quotients first (independent divisions), then the scan.
            double ts[8];
            for (int i = 0; i < 4; ++i) {
                const bool candidate = (s.fix[i] != 0) & (rb[i] > kPositive);
                ts[i] = s.ub[i] / rb[i] + masked(!candidate, INFINITY);
            }
            for (int j = 0; j < 4; ++j) {
                const bool candidate = s.inw[j] & (rw[j] > kPositive);
                ts[4 + j] = s.uw[j] / rw[j] + masked(!candidate, INFINITY);
            }
            int code = 0;
            for (int k = 0; k < 8; ++k) {
                code = ts[k] < t1 ? 1 + k : code;
                t1 = min2(t1, ts[k]);
            }
            const int drop_kind = code == 0 ? 0 : code < 5 ? 1 : 2;
            const int drop = code < 5 ? code - 1 : code - 5;
            const double zz = dot4(z, z);
            double t;
            bool full;
            if (zz <= kDependent) {
                if (drop_kind == 0) {
                    // No step removes the violation and nothing can be dropped: the
                    // limits are infeasible, unless the violation is at the rounding
                    // of the iterate (a bound with c = 0 missed by the last bit of a
                    // step along other axes, say): then it is met, and the working
                    // set decides the answer.
                    if (!(v.amount > kTolRel * (max_abs4(y) + max_abs4(p.c)))) goto answer;
                    *steps_out = static_cast<uint32_t>(steps);
                    return MORVEX_STATUS_INFEASIBLE;
                }
                t = t1;
                full = false;
            } else {
                double viol = dot4(n, y) - beta;
                if (viol < 0) viol = 0;
                const double t2 = viol / zz;
                full = t2 <= t1;
                t = full ? t2 : t1;
                for (int i = 0; i < 4; ++i) y[i] -= t * z[i];
            }
            // rb, rw are 0 off the working set, whose multipliers are never read
            // before they are set again.
            for (int i = 0; i < 4; ++i) s.ub[i] -= t * rb[i];
            for (int j = 0; j < 4; ++j) s.uw[j] -= t * rw[j];
            up += t;
            if (full) {
                if (v.kind == 1) {
                    s.fix[v.index] = v.side;
                    s.ub[v.index] = up;
                    y[v.index] = v.side > 0 ? p.U[v.index] : p.L[v.index];
                    fresh = false;
                } else {
                    s.inw[v.index] = true;
                    s.uw[v.index] = up;
                    append(f, v.index, nf, z, cf, zz);
                }
                break;
            }
            if (drop_kind == 0) {
                // Neither a full step nor a multiplier to drop: the step length is
                // NaN (an iterate that overflowed). Every working set decides.
                *steps_out = kMaxSteps + 1;
                return enumerate(p, y) ? MORVEX_STATUS_OPTIMAL : MORVEX_STATUS_INFEASIBLE;
            }
            if (drop_kind == 1) {
                s.fix[drop] = 0;
                s.ub[drop] = 0.0;
            } else {
                s.inw[drop] = false;
                s.uw[drop] = 0.0;
            }
            fresh = false;
        }
    }
answer:
    *steps_out = static_cast<uint32_t>(steps);
    if (last != nullptr) *last = s;
    int nfree = 0, nw = 0;
    for (int i = 0; i < 4; ++i) nfree += s.fix[i] == 0;
    for (int j = 0; j < 4; ++j) nw += s.inw[j];
    if (nw == nfree || p.near) {
        // At a vertex, or with d near the limits, the iterate is the answer up to
        // the rounding of its steps (each no longer than the violation it removed
        // over the length of its direction): taken when it meets every
        // constraint, else recomputed below.
        double at[4];
        for (int i = 0; i < 4; ++i) at[i] = clamp_axis(y[i], p.L[i], p.U[i]);
        *at_x = meets_rows_at_x(p, at);  // then meets_all(p, at) holds too
        if (*at_x || meets_all(p, at)) {
            for (int i = 0; i < 4; ++i) y[i] = at[i];
            return MORVEX_STATUS_OPTIMAL;
        }
    }
    // The answer from the working set; the iterate if that misses.
    if (!fresh) fresh = factorise(p, s, f);
    if (fresh) {
        double exact[4];
        working_point(p, s, f, exact, nullptr, nullptr);
        for (int i = 0; i < 4; ++i) exact[i] = clamp_axis(exact[i], p.L[i], p.U[i]);
        if (meets_all(p, exact) || refined(p, s, f, exact)) {
            for (int i = 0; i < 4; ++i) y[i] = exact[i];
            return MORVEX_STATUS_OPTIMAL;
        }
    }
    for (int i = 0; i < 4; ++i) y[i] = clamp_axis(y[i], p.L[i], p.U[i]);
    if (meets_all(p, y)) return MORVEX_STATUS_OPTIMAL;
    // Rounding led the loop astray: every working set decides instead.
    *steps_out = kMaxSteps + 1;
    return enumerate(p, y) ? MORVEX_STATUS_OPTIMAL : MORVEX_STATUS_INFEASIBLE;
}
// The squared sine of the angle between rows x and y (as given, up to powers of
// two), from their 2 x 2 minors x_i y_k - x_k y_i, each product taken with its
// rounding error (so that the sine of nearly parallel rows keeps its digits).
double sine2(const double x[4], const double y[4]) {
    double sum = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int k = i + 1; k < 4; ++k) {
            const double p = x[i] * y[k], q = x[k] * y[i];
            const double minor = (p - q) + (std::fma(x[i], y[k], -p) - std::fma(x[k], y[i], -q));
            sum += minor * minor;
        }
    return sum / (dot4(x, x) * dot4(y, y));
}

// The rows of a thin wedge among close pairs (out of line: rarely called), with the
// kept rows as given (up to a power of two, as prepare scales them) written into P
// for the settling.
[[gnu::noinline]] uint32_t thin_pairs(MorvexExact4Prepared& P, const MorvexLimits4& lim,
                                      const int source[4]) {
    const int m = static_cast<int>(P.row_count);
    for (int j = 0; j < m; ++j) {
        const double* given = lim.a[source[j]];
        const int e = exponent_of(max_abs4(given));
        for (int i = 0; i < 4; ++i) P.exact_a[j][i] = scale_pow2(given[i], -e);
        const double* a = P.exact_a[j];
        P.exact_b[j] = scale_pow2(lim.b[source[j]], -e);
        P.unit[j] = 1.0 / std::sqrt((a[0] * a[0] + a[1] * a[1]) + (a[2] * a[2] + a[3] * a[3]));
    }
    uint32_t thin = 0;
    for (int j = 1; j < m; ++j)
        for (int k = 0; k < j; ++k)
            if (std::fabs(dot4(P.a[j], P.a[k])) > 1.0 - kThinCos &&
                sine2(P.exact_a[j], P.exact_a[k]) > kThinSine * kThinSine)
                thin |= (1u << j) | (1u << k);
    return thin;
}

// The rows of a thin wedge (bit j): two kept rows nearly parallel or nearly opposite
// (1 - |cos| below kThinCos, about 1.3 degrees), at an angle whose sine is above
// kThinSine (below it they are the same row but for their rounding). The loop's
// tolerance, 2^-40 of the magnitudes, lets the answer slide along such a wedge by
// that tolerance over the angle: their answers are settled by settle_thin.
uint32_t thin_rows(MorvexExact4Prepared& P, const MorvexLimits4& lim, const int source[4]) {
    // The cosines of the kept pairs first; the rest only for a close pair (rare).
    bool any = false;
    for (int j = 1; j < static_cast<int>(P.row_count); ++j)
        for (int k = 0; k < j; ++k)
            any = any | (std::fabs(dot4(P.a[j], P.a[k])) > 1.0 - kThinCos);
    return any ? thin_pairs(P, lim, source) : 0;
}

SolveStatus prepare(const MorvexLimits4& lim, MorvexExact4Prepared& P) {
    // Every field written but the rows as given, which only thin wedges need (no
    // memset of the whole record: it is on the hot path of the one-shot call).
    P.positive = P.negative = 0;
    P.row_count = 0;
    P.far = 0.0;
    P.thin = P.reserved = 0;
    for (int j = 0; j < 4; ++j) {
        P.b[j] = 0.0;
        for (int i = 0; i < 4; ++i) P.a[j][i] = 0.0;
    }
    P.status = MORVEX_STATUS_INVALID_INPUT;
    for (int i = 0; i < 4; ++i) {
        P.lower[i] = lim.lower[i];
        P.upper[i] = lim.upper[i];
    }
    if (lim.row_count > 4) return P.status;
    double bound_scale = 0.0;
    bool bad = false;
    double magnitude[4];
    for (int i = 0; i < 4; ++i) {
        const double lo = lim.lower[i], hi = lim.upper[i];
        // Ordered comparisons only (each false on NaN), and selects of doubles: a
        // shorter sequence than tests for equality with infinities.
        bad = bad | !((lo <= hi) & (lo <= DBL_MAX) & (hi >= -DBL_MAX));
        const double alo = std::fabs(lo), ahi = std::fabs(hi);
        magnitude[i] = max2(alo <= DBL_MAX ? alo : 0.0, ahi <= DBL_MAX ? ahi : 0.0);
    }
    bound_scale = max2(max2(magnitude[0], magnitude[1]), max2(magnitude[2], magnitude[3]));
    const int rows = static_cast<int>(lim.row_count);
    // a - a is 0 for a finite coefficient and NaN for an infinite or NaN one; the
    // sum is NaN as soon as one is.
    double probe = 0.0;
    for (int j = 0; j < rows; ++j) {
        bad = bad | is_nan(lim.b[j]);
        for (int i = 0; i < 4; ++i) probe += lim.a[j][i] - lim.a[j][i];
    }
    if (bad | is_nan(probe)) return P.status;
    bool infeasible = false;
    int m = 0, source[4] = {0, 0, 0, 0};  // the given row of each kept one
    double row_scale = 0.0;
    for (int j = 0; j < rows; ++j) {
        const double mx = max_abs4(lim.a[j]);
        const double b = lim.b[j];
        if (mx == 0.0) {
            if (!(b >= 0.0)) infeasible = true;
            continue;
        }
        if (b == INFINITY) continue;
        if (b == -INFINITY) {
            infeasible = true;
            continue;
        }
        // Exact power-of-two scaling first (largest coefficient in [0.5, 1)), then
        // division by the length: rows that differ by a factor 2^k come out equal.
        const int e = exponent_of(mx);
        double a[4];
        for (int i = 0; i < 4; ++i) a[i] = scale_pow2(lim.a[j][i], -e);
        const double n2 = (a[0] * a[0] + a[1] * a[1]) + (a[2] * a[2] + a[3] * a[3]);
        const double bs = scale_pow2(b, -e);
        if (bs == INFINITY) continue;
        if (bs == -INFINITY) {
            infeasible = true;
            continue;
        }
        const double inv = 1.0 / std::sqrt(n2);  // length in [0.5, 2)
        const double bn = bs * inv;               // may still overflow
        if (bn == INFINITY) continue;
        if (bn == -INFINITY) {
            infeasible = true;
            continue;
        }
        // The signs from the row as given (a tiny coefficient may scale to zero).
        const double* given = lim.a[j];
        uint32_t pos = 0, neg = 0;
        for (int i = 0; i < 4; ++i) {
            P.a[m][i] = a[i] * inv;
            // Branch-free: the signs of random rows are not predictable.
            pos |= static_cast<uint32_t>(given[i] > 0) << i;
            neg |= static_cast<uint32_t>(given[i] < 0) << i;
        }
        P.positive |= pos << (4 * m);
        P.negative |= neg << (4 * m);
        P.b[m] = bn;
        source[m] = j;
        row_scale = max2(row_scale, std::fabs(P.b[m]));
        ++m;
    }
    P.row_count = static_cast<uint32_t>(m);
    P.thin = thin_rows(P, lim, source);
    P.far = 16.0 * max2(max2(bound_scale, row_scale), 0x1p-900);
    P.status = infeasible ? MORVEX_STATUS_INFEASIBLE : MORVEX_STATUS_OPTIMAL;
    return P.status;
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
// evaluation there adds up.
inline double shifted_row_tol(const double a[4], double b, const double c[4]) {
    return kTolRel * std::fabs(b) + std::fabs(kTolRel * a[0] * c[0]) +
           std::fabs(kTolRel * a[1] * c[1]) + std::fabs(kTolRel * a[2] * c[2]) +
           std::fabs(kTolRel * a[3] * c[3]);
}

SolveStatus finish(MorvexExact4Result* out, SolveStatus status, uint32_t steps) {
    out->status = status;
    out->steps = steps;
    return status;
}

// A status other than OPTIMAL: x is d clamped into the box.
SolveStatus refuse(const MorvexExact4Prepared& P, const double d[4], MorvexExact4Result* out,
                   SolveStatus status, uint32_t steps) {
    write_clamped(P.lower, P.upper, d, out->x);
    return finish(out, status, steps);
}

// The quick exit of prepared limits: d finite, clamped into the box, meets every
// kept row (the same test, on the same values, as the general path of solve_once).
bool prepared_quick_exit(const MorvexExact4Prepared& P, const double d[4],
                         MorvexExact4Result* out) {
    if (P.status != MORVEX_STATUS_OPTIMAL) return false;
    double c[4];
    bool quick = true;
    for (int i = 0; i < 4; ++i) {
        quick = quick & is_finite(d[i]);
        c[i] = clamp_axis(d[i], P.lower[i], P.upper[i]);
    }
    for (int j = 0; j < static_cast<int>(P.row_count); ++j)
        quick = quick & (-(P.b[j] - dot4(P.a[j], c)) <= shifted_row_tol(P.a[j], P.b[j], c));
    if (!quick) return false;
    for (int i = 0; i < 4; ++i) out->x[i] = c[i];
    finish(out, MORVEX_STATUS_OPTIMAL, 0);
    return true;
}

// *met (when given) tells whether an OPTIMAL answer is known to meet every row at
// itself already (see certify), so that the check at x may be left out. *last
// (when given) receives the loop's final working set (valid when 0 < steps <=
// MORVEX_EXACT4_MAX_STEPS).
SolveStatus solve_once(const MorvexExact4Prepared& P, const double desired[4],
                       MorvexExact4Result* out, bool try_quick, bool* met = nullptr,
                       Active* last = nullptr) {
    if (met != nullptr) *met = false;
    if (try_quick && prepared_quick_exit(P, desired, out)) return MORVEX_STATUS_OPTIMAL;
    double d[4];
    for (int i = 0; i < 4; ++i) d[i] = desired[i];
    // Invalid input wins over infeasible limits.
    bool invalid = P.status == MORVEX_STATUS_INVALID_INPUT;
    bool infinite = false;
    for (int i = 0; i < 4; ++i) {
        invalid = invalid | is_nan(d[i]);
        infinite = infinite | (d[i] == INFINITY) | (d[i] == -INFINITY);
    }
    for (int i = 0; i < 4 && infinite && !invalid; ++i) {
        const bool up = d[i] == INFINITY && P.upper[i] == INFINITY;
        const bool down = d[i] == -INFINITY && P.lower[i] == -INFINITY;
        for (int j = 0; j < static_cast<int>(P.row_count) && (up || down); ++j)
            invalid = invalid || ((up ? P.positive : P.negative) >> (4 * j + i) & 1u) != 0;
    }
    if (invalid || P.status != MORVEX_STATUS_OPTIMAL) {
        return refuse(P, d, out, invalid ? SolveStatus{MORVEX_STATUS_INVALID_INPUT} : P.status, 0);
    }
    Problem p;
    bool enabled[4] = {true, true, true, true};
    bool at_inf[4] = {false, false, false, false};
    double S = 0.0;  // the largest |c|, for the multipliers' tolerance
    double c[4];
    for (int i = 0; i < 4 && !infinite; ++i) {
        // d finite: the shifted frame directly.
        c[i] = clamp_axis(d[i], P.lower[i], P.upper[i]);
        p.r[i] = d[i] - c[i];
        p.L[i] = P.lower[i] - c[i];
        p.U[i] = P.upper[i] - c[i];
        S = max2(S, std::fabs(c[i]));
    }
    for (int i = 0; i < 4 && infinite; ++i) {
        const double lo = P.lower[i], hi = P.upper[i];
        if ((d[i] == INFINITY && hi == INFINITY) || (d[i] == -INFINITY && lo == -INFINITY)) {
            // Unbounded on that side: x[i] = d[i] unless a row limits it there.
            at_inf[i] = true;
            for (int j = 0; j < static_cast<int>(P.row_count); ++j) {
                // Relaxed (a limiting row was refused above).
                if (((P.positive | P.negative) >> (4 * j + i) & 1u) != 0) enabled[j] = false;
            }
            c[i] = 0.0;
            p.r[i] = 0.0;
            p.L[i] = p.U[i] = 0.0;
            continue;
        }
        c[i] = clamp_axis(d[i], lo, hi);
        p.r[i] = d[i] == INFINITY ? kFar : d[i] == -INFINITY ? -kFar : d[i] - c[i];
        p.L[i] = lo - c[i];
        p.U[i] = hi - c[i];
        S = max2(S, std::fabs(c[i]));
    }
    for (int i = 0; i < 4; ++i) p.c[i] = c[i];
    double rmax = 0.0;
    for (int i = 0; i < 4; ++i) rmax = max2(rmax, std::fabs(p.r[i]));
    if (rmax > kFar) {
        // d is brought toward c along the line, to a distance of at most 2^900 (so
        // that multipliers and step lengths stay finite).
        int e = 0;
        std::frexp(rmax / kFar, &e);
        for (int i = 0; i < 4; ++i) p.r[i] = std::ldexp(p.r[i], -e);
        rmax = std::ldexp(rmax, -e);
    }
    p.tol_mult = kTolRel * (S + rmax);
    p.near = rmax <= P.far;
    // Rows past p.m are never violated and never in the working set.
    bool quick = true;
    if (!infinite) {
        // Every row enabled, in place; rows past row_count are zero in P with b = 0
        // (0 <= 0 holds at every point) and are not read past p.m.
        p.m = static_cast<int>(P.row_count);
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) p.A[j][i] = P.a[j][i];
            p.bb[j] = p.rowtol[j] = p.babs[j] = 0.0;
        }
        for (int j = 0; j < p.m; ++j) {
            p.babs[j] = std::fabs(P.b[j]);
            p.bb[j] = P.b[j] - dot4(P.a[j], c);
            p.rowtol[j] = shifted_row_tol(P.a[j], P.b[j], c);
            quick = quick & (-p.bb[j] <= p.rowtol[j]);
        }
    } else {
        // The enabled rows first; the others get b = +inf.
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) p.A[j][i] = 0.0;
            p.bb[j] = INFINITY;
            p.rowtol[j] = INFINITY;
            p.babs[j] = 0.0;
        }
        p.m = 0;
        for (int j = 0; j < 4; ++j) {
            const bool kept = (j < static_cast<int>(P.row_count)) & enabled[j];
            for (int i = 0; i < 4; ++i) p.A[p.m][i] = P.a[j][i];
            p.babs[p.m] = std::fabs(P.b[j]);
            p.bb[p.m] = kept ? P.b[j] - dot4(P.a[j], c) : INFINITY;
            p.rowtol[p.m] = kept ? shifted_row_tol(P.a[j], P.b[j], c) : INFINITY;
            quick = quick & (-p.bb[p.m] <= p.rowtol[p.m]);
            p.m += kept ? 1 : 0;
        }
    }
    double y[4] = {0, 0, 0, 0};
    uint32_t steps = 0;
    SolveStatus status = MORVEX_STATUS_OPTIMAL;
    bool at_x = false;
    if (!quick) status = dual_active_set(p, y, &steps, &at_x, last);
    if (status != MORVEX_STATUS_OPTIMAL) {
        return refuse(P, d, out, status, steps);
    }
    if (met != nullptr) *met = at_x & !infinite;
    for (int i = 0; i < 4; ++i) {
        // d on an unbounded side; else c; else the bound the axis is at; else c + y.
        double v = frame_value(P, i, c[i], y[i], p.L[i], p.U[i]);
        v = select(quick, c[i], v);
        out->x[i] = select(at_inf[i], d[i], v);
    }
    return finish(out, MORVEX_STATUS_OPTIMAL, steps);
}

// Whether x meets every kept row within twice the loop's tolerance, evaluated on
// x itself (the loop judged c + y in parts, a looser test when x lies far from c).
// An axis at infinity (an infinite d on an open side) meets every row that has a
// coefficient there, as the solve relaxed them; the other rows do not read it.
bool meets_rows(const MorvexExact4Prepared& P, const double x[4]) {
    bool finite[4], all_finite = true, ok = true;
    double xf[4];
    for (int i = 0; i < 4; ++i) {
        finite[i] = is_finite(x[i]);
        all_finite = all_finite & finite[i];
        ok = ok & !is_nan(x[i]);  // a NaN meets nothing (an infinity may, see above)
        xf[i] = masked(finite[i], x[i]);
    }
    for (int j = 0; j < static_cast<int>(P.row_count); ++j) {
        bool relaxed = false;
        for (int i = 0; i < 4 && !all_finite; ++i)
            relaxed = relaxed | (!finite[i] & (P.a[j][i] != 0.0));
        const double over = dot4(P.a[j], xf) - P.b[j];
        ok = ok & (relaxed | (over <= 2.0 * shifted_row_tol(P.a[j], P.b[j], xf)));
    }
    return ok;
}

// Every OPTIMAL answer of solve_once that misses a row at x itself is projected
// again from x. The loop's tolerance counts c and x - c apart, so an answer far
// from c may miss a row by more than the tolerance at x: when c carries the
// rounding of a command far beyond the rows on an open axis, when the answer lies
// far beyond the limits' own scale, or when limits that miss each other pass
// because the answer travelled far from c. A point meeting the limits at itself
// meets them in parts from any c, so the projection again, from a nearer point,
// keeps every feasible answer: it ends, in a few rounds, on one that meets the rows
// at itself; INFEASIBLE there means no point does. The steps reported are those of
// the first solve. (A solve whose answer was found to meet the rows at x already,
// by meets_rows_at_x, is not checked again: see solve.)
SolveStatus certify(const MorvexExact4Prepared& P, const double desired[4], MorvexExact4Result* out,
                    SolveStatus status) {
    if (status != MORVEX_STATUS_OPTIMAL || out->steps == 0) return status;
    const uint32_t steps = out->steps;
    SolveStatus verdict = MORVEX_STATUS_NUMERICAL_FAILURE;
    for (int round = 0; round < kMaxRounds; ++round) {
        if (meets_rows(P, out->x)) return finish(out, MORVEX_STATUS_OPTIMAL, steps);
        double again[4];
        for (int i = 0; i < 4; ++i) again[i] = out->x[i];
        const SolveStatus next = solve_once(P, again, out, false);
        if (next != MORVEX_STATUS_OPTIMAL) {
            verdict = next == MORVEX_STATUS_INFEASIBLE ? next : verdict;
            break;
        }
    }
    return refuse(P, desired, out, verdict, steps);
}

// One solve, its answer checked on itself unless the solve found it meeting the
// rows there already.
// *last as for solve_once (of the first solve, whose steps are reported).
SolveStatus solve_checked(const MorvexExact4Prepared& P, const double desired[4],
                          MorvexExact4Result* out, bool try_quick, Active* last = nullptr) {
    bool met = false;
    const SolveStatus status = solve_once(P, desired, out, try_quick, &met, last);
    return met ? status : certify(P, desired, out, status);
}

// The limits with every side the box leaves open bounded at R. kAnswer when the
// answer stays strictly inside those bounds: it is then the answer of the limits
// as given (they are convex). kFeasible when it reaches them (or the enumeration
// found it): a point meeting the limits, not their minimiser. kNone when no point
// was found.
enum Within { kNone, kFeasible, kAnswer };
Within solve_within(const MorvexExact4Prepared& P, double R, const double desired[4],
                    MorvexExact4Result* out) {
    MorvexExact4Prepared near = P;
    for (int i = 0; i < 4; ++i) {
        near.upper[i] = min2(P.upper[i], R);
        near.lower[i] = max2(P.lower[i], -R);
    }
    if (solve_checked(near, desired, out, false) != MORVEX_STATUS_OPTIMAL)
        return kNone;
    // A working set the enumeration accepted proves feasibility, not optimality:
    // its multipliers, of the size of |d|, are judged with a tolerance of that size.
    bool reaches = out->steps > kMaxSteps;
    for (int i = 0; i < 4; ++i)
        reaches = reaches | (out->x[i] == R && P.upper[i] == INFINITY) |
                  (out->x[i] == -R && P.lower[i] == -INFINITY);
    return reaches ? kFeasible : kAnswer;
}

// Whether y is nearer d than x: half of ||x - d||^2 - ||y - d||^2 is
// sum (x - y)((x + y) / 2 - d), summed term by term (no term is a difference of two
// squares of |d|, none overflows). An axis where x and y agree within the
// feasibility tolerance (2^-40 of their magnitudes and of R = P.far) is left out: on
// a far axis, such a difference times |d| would outweigh every other axis, though
// it says only which point the tolerance let a little farther out.
bool nearer(const MorvexExact4Prepared& P, const double y[4], const double x[4],
            const double d[4]) {
    double gain = 0.0;
    for (int i = 0; i < 4; ++i) {
        const double apart = std::fabs(x[i] - y[i]);
        const bool counts = apart > kTolRel * (std::fabs(x[i]) + std::fabs(y[i]) + P.far);
        gain += counts ? (x[i] - y[i]) * ((x[i] + y[i]) * 0.5 - d[i]) : 0.0;
    }
    return gain > 0.0;
}

// A far axis: d beyond R = P.far from the box's side on that axis (from 0 on a
// side the box leaves open).
bool far_up(const MorvexExact4Prepared& P, double d, int i) {
    return d - (P.upper[i] == INFINITY ? 0.0 : P.upper[i]) > P.far;
}
bool far_down(const MorvexExact4Prepared& P, double d, int i) {
    return d - (P.lower[i] == -INFINITY ? 0.0 : P.lower[i]) < -P.far;
}

// A far command's answer lies on (or next to) the face of the limits farthest along
// the command's far axes, and its position on that face is set by the near axes,
// whose multipliers drown in the far ones' (and beyond 2^900 the solve also moved
// d toward the box, which weakened them). So the near part is projected again, at
// the limits' own scale, each far axis held at the answer's value. The result
// replaces the answer when it meets the rows at itself and is nearer d (with the
// far axes unchanged, only the near ones count; a nearer point lowers the bound
// ||x - x*||^2 <= ||x - d||^2 - ||x* - d||^2 on its distance to the minimiser x*).
void polish(const MorvexExact4Prepared& P, const double desired[4], MorvexExact4Result* out) {
    MorvexExact4Prepared face = P;
    double near[4];
    for (int i = 0; i < 4; ++i) {
        const double x = out->x[i], d = desired[i];
        const bool up = far_up(P, d, i);
        const bool down = far_down(P, d, i);
        face.lower[i] = up || down ? x : P.lower[i];
        face.upper[i] = up || down ? x : P.upper[i];
        near[i] = up || down ? x : d;
    }
    MorvexExact4Result again;
    if (solve_checked(face, near, &again, false) != MORVEX_STATUS_OPTIMAL)
        return;
    if (nearer(P, again.x, out->x, desired))  // `face` has the rows of P, in a smaller box
        for (int i = 0; i < 4; ++i) out->x[i] = again.x[i];
}

// The point of working set s for command d (finite), computed in the frame of c:
// d clamped into the box, except on the far axes (bit i of far), where c is x, an
// answer found in a frame that lay as far out as d (and carried the rounding of its
// |c|). With shift, only when it lies in the cone of s (in_working_cone): the axes it
// moves along are then orthogonal to the null space of s, and d's distance along
// them is left out (it would add only its own rounding). Only what the factor, the
// cone test and the working point read is set. Returns 0 with the point; else what
// the cone test returned, or kNoPoint (s does not factorise, or the point overflowed).
constexpr uint32_t kNoPoint = 0x100;   // verdicts beside in_working_cone's
constexpr uint32_t kNotMoved = 0x200;
uint32_t working_point_near(const MorvexExact4Prepared& P, const Active& s, const double d[4],
                            const double x[4], uint32_t far, const double* shift,
                            double out[4]) {
    Problem q;
    q.m = static_cast<int>(P.row_count);
    for (int i = 0; i < 4; ++i) {
        const bool held = (far >> i & 1u) != 0;
        q.c[i] = clamp_axis(held ? x[i] : d[i], P.lower[i], P.upper[i]);
        q.r[i] = shift != nullptr && shift[i] != 0.0 ? 0.0 : d[i] - q.c[i];
        q.L[i] = P.lower[i] - q.c[i];
        q.U[i] = P.upper[i] - q.c[i];
    }
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) q.A[j][i] = P.a[j][i];
        q.bb[j] = P.b[j] - dot4(P.a[j], q.c);
    }
    Factor f;
    if (!factorise(q, s, f)) return kNoPoint;
    const uint32_t verdict = shift != nullptr ? in_working_cone(q, s, f, shift) : 0;
    if (verdict != 0) return verdict;
    double y[4];
    working_point(q, s, f, y, nullptr, nullptr);
    bool finite = true;
    for (int i = 0; i < 4; ++i) {
        out[i] = frame_value(P, i, q.c[i], y[i], q.L[i], q.U[i]);
        finite = finite & is_finite(out[i]);
    }
    return finite ? 0 : kNoPoint;
}

// The far axes of a command: each one's distance beyond its side (from 0 on a side
// the box leaves open), in increasing order of it, and their set (bit i).
struct FarAxes {
    double dist[4], from[4];
    int order[4], count;
    uint32_t mask;
};

FarAxes far_axes_of(const MorvexExact4Prepared& P, const double desired[4]) {
    FarAxes f;
    f.count = 0;
    f.mask = 0;
    for (int i = 0; i < 4; ++i) {
        const bool up = far_up(P, desired[i], i), down = far_down(P, desired[i], i);
        const double side = up ? P.upper[i] : P.lower[i];
        f.from[i] = is_finite(side) ? side : 0.0;
        f.dist[i] = up | down ? std::fabs(desired[i] - f.from[i]) : 0.0;
        f.mask |= static_cast<uint32_t>(up | down) << i;
        if (up | down) f.order[f.count++] = i;
    }
    for (int a = 1; a < f.count; ++a)  // insertion sort
        for (int b = a; b > 0 && f.dist[f.order[b]] < f.dist[f.order[b - 1]]; --b) {
            const int t = f.order[b];
            f.order[b] = f.order[b - 1];
            f.order[b - 1] = t;
        }
    return f;
}

// Whether some distance from d to the box exceeds 2^900: the solve of d then moves d
// toward the box itself (see solve_once).
bool beyond_scaling(const MorvexExact4Prepared& P, const double d[4]) {
    bool beyond = false;
    for (int i = 0; i < 4; ++i)
        beyond = beyond | (std::fabs(d[i] - clamp_axis(d[i], P.lower[i], P.upper[i])) > kFar);
    return beyond;
}

// Bringing d toward c (d clamped into the box) keeps the ratios of the distances d - c
// it scales, not their ratio to an axis where d is far out on an open side (c is d
// there): that axis's pull gains on theirs by the scale factor, and an axis their
// pull held at its bound can leave it when its other side is open, for the answer
// of another command. True for such a finite d: brought toward c (see
// beyond_scaling) by more than 2^8 (a distance beyond 2^908), d beyond the limits'
// scale and 2^-8 of 2^900 on an open side, and a far axis it scales (beyond R) open
// on its other side.
bool scaling_loses_pull(const MorvexExact4Prepared& P, const double d[4]) {
    bool held_far = false, loose = false;
    double reach = 0.0;
    for (int i = 0; i < 4; ++i) {
        const double r = d[i] - clamp_axis(d[i], P.lower[i], P.upper[i]);
        reach = max2(reach, std::fabs(r));
        held_far = held_far | ((r == 0.0) & (std::fabs(d[i]) > max2(P.far, 0x1p-8 * kFar)));
        loose = loose | ((r > P.far) & (P.lower[i] == -INFINITY)) |
                ((r < -P.far) & (P.upper[i] == INFINITY));
    }
    return held_far & loose & (reach > 0x1p8 * kFar);
}

// One moved command (see solve_moved): the nearest far axis to base, each next one
// the one before times their ratio in d, cut at gap; the axes of kept stay where
// they are, and with above_kept the farther ones are placed beyond them as well.
// Returns 0 with the answer in out; kNotMoved when the command is not moved; else
// why its answer was not taken (as working_point_near; kNoPoint also for a solve
// that ended without a working set or an answer that misses a row at itself).
uint32_t solve_moved_once(const MorvexExact4Prepared& P, const double desired[4],
                          const FarAxes& f, double base, uint32_t kept, bool above_kept,
                          double gap, MorvexExact4Result* out) {
    double d[4], shift[4];
    bool moved = false;
    for (int i = 0; i < 4; ++i) d[i] = desired[i];
    double prev_to = 0.0;
    for (int a = 0; a < f.count; ++a) {
        const int i = f.order[a];
        const bool keep = (kept >> i & 1u) != 0;
        double to = base;
        if (a > 0) to = prev_to * min2(f.dist[i] / f.dist[f.order[a - 1]], gap);
        if (!keep && f.dist[i] > to) d[i] = f.from[i] + (desired[i] < f.from[i] ? -to : to);
        // The chain goes on from this axis's moved distance, or from its own when it
        // is kept and the farther ones are to lie beyond it.
        prev_to = keep && !above_kept ? to : std::fabs(d[i] - f.from[i]);
    }
    for (int i = 0; i < 4; ++i) {
        shift[i] = desired[i] - d[i];
        moved = moved | (shift[i] != 0.0);
    }
    // Not moved: the solve of d itself, which solve() guards otherwise. Moved no
    // farther than 2^900 from the box: the solve would move it again (see solve_once),
    // and its answer and multipliers would be another command's.
    if (!moved) return kNotMoved;
    if (beyond_scaling(P, d)) return kNoPoint;
    MorvexExact4Result r;
    Active last;
    const SolveStatus status = solve_once(P, d, &r, false, nullptr, &last);
    // After the loop (not the quick exit nor the enumeration: no working set).
    if (status != MORVEX_STATUS_OPTIMAL || r.steps == 0 || r.steps > kMaxSteps) return kNoPoint;
    double x[4];
    const uint32_t verdict = working_point_near(P, last, d, r.x, f.mask, shift, x);
    if (verdict != 0) return verdict;
    if (!meets_rows(P, x)) return kNoPoint;
    for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    finish(out, MORVEX_STATUS_OPTIMAL, r.steps);
    return 0;
}

// A finite far command d, moved toward the box: each far axis to a distance beyond
// its side (beyond 0 on a side the box leaves open) that keeps the far distances'
// order and their ratios up to 2^8 (a larger gap is cut to 2^8: a command far out on
// one axis and farther on another is answered as the farther axis decides first),
// the smallest at 16 R, then 4096 R, then 2^20 R. When the shift d - d' of the moved
// command d' lies in the cone of the normals the working set of its answer x holds
// there, x is the answer for d too: d - x is d' - x (a nonnegative combination of
// those normals, as x is the answer for d') plus the shift, so x meets the
// optimality conditions for d. The multipliers are then of the size of the moved
// distances, not of |d|, and the near axes keep their weight in the choice of the
// working set. The moved axes are orthogonal to the working set's null space, so its
// point does not depend on where the command lies along them: it is computed again
// with the frame on the far axes at x (there, c lay as far out as d', and x = c + y
// carried the rounding of |c|), and taken when it meets the rows at itself. False
// (out unchanged) when no distance gives such an answer: the answer moves with d
// (an open axis the rows do not stop), or rounding hid the cone.
bool solve_moved(const MorvexExact4Prepared& P, const double desired[4],
                 MorvexExact4Result* out) {
    const FarAxes f = far_axes_of(P, desired);
    // The nearest moved distance 16 R, then 4096 R, 2^20 R. An axis the answer still
    // moves along with the command at the last distance (its direction leaves a part
    // in the working set's null space) is then kept where it is, and the distances are
    // tried again without it (at most once per far axis); when the answer is refused
    // then, the farther axes are tried beyond the kept ones too (their pull can turn
    // the answer of a nearer command). A moved command whose solve fails (its point
    // missing the limits with the rounding of the distances) is tried again with the
    // gaps cut to 2^4; one whose answer the move from it refuses, with the gaps cut
    // to 2^32 (the near far axes' pulls can balance at their own ratio).
    double base = 16.0 * P.far;
    uint32_t kept = 0;
    for (int round = 0; round < kMovedRounds;) {
        uint32_t verdict = solve_moved_once(P, desired, f, base, kept, false, 256.0, out);
        if (verdict == kNoPoint)
            verdict = solve_moved_once(P, desired, f, base, kept, false, 16.0, out);
        else if ((verdict & 0x10u) != 0)
            verdict = solve_moved_once(P, desired, f, base, kept, false, 0x1p32, out);
        if (kept != 0 && verdict != kNotMoved && verdict != 0)
            verdict = solve_moved_once(P, desired, f, base, kept, true, 256.0, out);
        if (verdict == 0) return true;
        if (verdict == kNotMoved) return false;
        const uint32_t loose = verdict & 0xfu & ~kept;
        if (round == kMovedRounds - 1 && verdict < kNoPoint && loose != 0) {
            kept |= loose;
            round = 0;
            base = 16.0 * P.far;
            continue;
        }
        ++round;
        base *= 256.0;
    }
    return false;
}

// An infinite d on a side whose bound is finite stands for a command 2^900 beyond
// that bound: when d has infinite values and every one is such, mapped is that
// finite command (the far-command path then places it; an infinite d on an open
// side keeps its own rules, see morvex/exact_4d.h), and true is returned.
bool bounded_infinities(const MorvexExact4Prepared& P, const double d[4], double mapped[4]) {
    bool infinite = false, bounded = P.status == MORVEX_STATUS_OPTIMAL;
    for (int i = 0; i < 4; ++i) {
        const bool up = d[i] == INFINITY, down = d[i] == -INFINITY;
        const double side = up ? P.upper[i] : P.lower[i];
        infinite = infinite | up | down;
        bounded = bounded & (!(up | down) | is_finite(side));
        mapped[i] = up | down ? side + (up ? kFar : -kFar) : d[i];
    }
    return infinite & bounded;
}

// The limits judged by a command at their own scale: d clamped into the box and
// into [-R, R], R = P.far.
SolveStatus at_own_scale(const MorvexExact4Prepared& P, const double desired[4]) {
    double c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = clamp_axis(clamp_axis(desired[i], P.lower[i], P.upper[i]), -P.far, P.far);
    MorvexExact4Result probe;
    return solve_checked(P, c, &probe, true);
}

// The status of a far (or infinite) command d, judged: an answer with an infinite
// coordinate that d does not hold (c + y overflowed: the answer lies farther from c
// than the largest double) is NUMERICAL_FAILURE. When the answer lies beyond
// R = P.far (or double precision could not place it), the limits are judged by a
// command at their own scale too (d clamped into the box and into [-R, R]): the
// tolerance at such an answer grows with its magnitudes, so limits that miss each
// other at their own scale could pass there; INFEASIBLE at their scale is
// INFEASIBLE for d (not for an infinite d on an open side, whose relaxed rows keep
// their own rules).
SolveStatus judged(const MorvexExact4Prepared& P, const double desired[4],
                   MorvexExact4Result* out, SolveStatus status) {
    bool judge = status == MORVEX_STATUS_NUMERICAL_FAILURE;
    if (status == MORVEX_STATUS_OPTIMAL)
        judge = !(max2(max2(std::fabs(out->x[0]), std::fabs(out->x[1])),
                       max2(std::fabs(out->x[2]), std::fabs(out->x[3]))) <= min2(P.far, DBL_MAX));
    if (!judge) return status;  // the common case: an answer within R
    bool at_inf = false, overflow = false;
    for (int i = 0; i < 4; ++i) {
        const double d = desired[i];
        const bool open = (d == INFINITY && P.upper[i] == INFINITY) |
                          (d == -INFINITY && P.lower[i] == -INFINITY);
        at_inf = at_inf | open;
        // An answer farther from c than the largest double (c + y overflowed).
        overflow = overflow | !(is_finite(out->x[i]) | open);
    }
    if (overflow & (status == MORVEX_STATUS_OPTIMAL)) {
        status = refuse(P, desired, out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    }
    if (at_inf || at_own_scale(P, desired) != MORVEX_STATUS_INFEASIBLE) return status;
    return refuse(P, desired, out, MORVEX_STATUS_INFEASIBLE, out->steps);
}

// A finite command beyond R = 16 times the scale of the limits from a side of the
// box (from 0 on a side it leaves open): the multipliers of the solve grow with |d|,
// and those of the constraints that place the answer drown in their rounding. Such
// a command is first moved toward the box (solve_moved). When that does not settle
// it, and the far side is open, the open sides are bounded at R (then 16 R, 256 R,
// 4096 R): when the answer stays inside, it is the answer of the limits as given,
// found near their own scale (a vertex exactly; the command's own rounding enters
// only along the rows' null space). When it reaches the last box, the answer lies
// farther out and the limits as given decide; should they then be found infeasible
// though points met them in a box, the command is too far for double precision:
// NUMERICAL_FAILURE.
SolveStatus solve(const MorvexExact4Prepared& P, const double desired[4], MorvexExact4Result* out,
                  bool try_quick) {
    double R = P.far;
    bool finite = P.status == MORVEX_STATUS_OPTIMAL, beyond = false, far = false;
    for (int i = 0; i < 4; ++i) {
        finite = finite & is_finite(desired[i]);
        const bool up = far_up(P, desired[i], i), down = far_down(P, desired[i], i);
        far = far | up | down;  // beyond: on a side the box leaves open
        beyond = beyond | (up & (P.upper[i] == INFINITY)) | (down & (P.lower[i] == -INFINITY));
    }
    double mapped[4];
    if (!finite && bounded_infinities(P, desired, mapped))
        return solve(P, mapped, out, try_quick);
    // A far command: d clamped into the box meets the rows (that is the answer,
    // however far d is), or d moved toward the box has the answer for d.
    if (finite & far) {
        if (prepared_quick_exit(P, desired, out)) return MORVEX_STATUS_OPTIMAL;
        if (solve_moved(P, desired, out))
            return judged(P, desired, out, MORVEX_STATUS_OPTIMAL);
        if (scaling_loses_pull(P, desired))
            return judged(P, desired, out,
                          refuse(P, desired, out, MORVEX_STATUS_NUMERICAL_FAILURE, 0));
    }
    // Within R, c and the answer are at the limits' scale: one solve, its answer
    // checked on itself unless the solve found it meeting the rows there (an
    // infinite d keeps its own rules, see morvex/exact_4d.h).
    if (!(finite & beyond)) {
        const SolveStatus status = solve_checked(P, desired, out, try_quick);
        // d far beyond a bounded side: its place on the face it reaches as well.
        if (far & finite & (status == MORVEX_STATUS_OPTIMAL) & (out->steps != 0))
            polish(P, desired, out);
        // Refused though a command at the limits' scale finds them feasible: the far
        // command is what double precision could not place.
        if (far & finite & (status == MORVEX_STATUS_INFEASIBLE) &&
            at_own_scale(P, desired) == MORVEX_STATUS_OPTIMAL)
            return finish(out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
        return far | !finite ? judged(P, desired, out, status) : status;
    }
    // R, then 16 R, 256 R, 4096 R: an answer a little beyond R (rows at an angle
    // that places a vertex past the limits' own scale) is still found at its scale.
    MorvexExact4Result found{};
    bool feasible = false;
    for (int round = 0; round < kFarRounds; ++round, R *= 16.0) {
        const Within within = solve_within(P, R, desired, out);
        if (within == kAnswer) {
            polish(P, desired, out);
            return judged(P, desired, out, MORVEX_STATUS_OPTIMAL);
        }
        if (within == kFeasible) {
            found = *out;
            feasible = true;
        }
    }
    Active last;
    SolveStatus status = solve_checked(P, desired, out, false, &last);
    const uint32_t steps = out->steps;
    if (status == MORVEX_STATUS_INFEASIBLE && feasible)
        return judged(P, desired, out,
                      refuse(P, desired, out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps));
    // The limits as given, solved at the scale of d, against a point found in the
    // largest box: the nearer to d is kept (its bound on the distance to the
    // minimiser, see polish, is the smaller).
    if (status == MORVEX_STATUS_OPTIMAL && feasible && nearer(P, found.x, out->x, desired))
        for (int i = 0; i < 4; ++i) out->x[i] = found.x[i];
    // The working set of that solve, its point computed again with the frame on the
    // far axes at the answer (the solve's frame lay as far out as d), when it meets
    // the rows at itself and is nearer d: an answer that moves with d along a row
    // at a steep angle to a far axis takes the rounding of |d| there, magnified.
    double x[4];
    if (status == MORVEX_STATUS_OPTIMAL && steps != 0 && steps <= kMaxSteps &&
        working_point_near(P, last, desired, out->x, far_axes_of(P, desired).mask, nullptr,
                           x) == 0 &&
        meets_rows(P, x) && nearer(P, x, out->x, desired))
        for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    if (status == MORVEX_STATUS_OPTIMAL) polish(P, desired, out);
    return judged(P, desired, out, status);
}

// The one-shot quick exit: d clamped into the box meets every row as given, by a
// margin stricter than the prepared solve's (so both give the same answer).
bool quick_exit(const MorvexLimits4& lim, const double desired[4], MorvexExact4Result* out) {
    if (lim.row_count > 4) return false;
    double c[4], S = 0.0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        const double lo = lim.lower[i], hi = lim.upper[i], d = desired[i];
        ok = ok & (lo <= hi) & (lo <= DBL_MAX) & (hi >= -DBL_MAX) & is_finite(d);
        c[i] = clamp_axis(d, lo, hi);
        S = max2(S, std::fabs(c[i]));  // a NaN leaves S as it is (and ok false)
    }
    // Only where products can neither overflow nor underflow below the tolerance.
    if (!ok || S > 0x1p400 || (S != 0.0 && S < 0x1p-400)) return false;
    for (uint32_t j = 0; j < lim.row_count; ++j) {
        const double* a = lim.a[j];
        const double b = lim.b[j];
        const double mx = max_abs4(a);  // NaN: see below
        // mx in [2^-400, 2^400] (an infinite coefficient fails) or 0; then the
        // products are exact enough and never overflow. A NaN coefficient or b
        // makes the row value NaN, which fails; a zero row passes iff b >= 0;
        // b = +inf passes, b = -inf fails.
        const bool in_range = (mx == 0.0) | ((mx <= 0x1p400) & (mx >= 0x1p-400));
        // The row's value, and its tolerance from the magnitudes it adds up. No
        // product may underflow: the tolerance is relative, so a lost product could
        // pass a row that the prepared solve, on normalised rows, refuses.
        double magnitude = std::fabs(b);
        bool no_underflow = true;
        double pr[4];
        for (int i = 0; i < 4; ++i) {
            pr[i] = a[i] * c[i];
            magnitude += std::fabs(pr[i]);
            no_underflow = no_underflow & ((std::fabs(pr[i]) >= 0x1p-900) | (a[i] == 0.0) |
                                           (c[i] == 0.0));
        }
        const double tol = kQuickTolRel * magnitude;
        const double v = (pr[0] + pr[1]) + (pr[2] + pr[3]);
        const bool met = (!is_nan(v)) & ((b == INFINITY) | (is_finite(b) & (v - b <= tol)));
        if (!(in_range & no_underflow & met)) return false;
    }
    for (int i = 0; i < 4; ++i) out->x[i] = c[i];
    finish(out, MORVEX_STATUS_OPTIMAL, 0);
    return true;
}

// INFEASIBLE found by the enumeration (the loop gave up) on limits whose magnitudes
// reach 2^1016: there the shifted frame itself can overflow (a bound less c beyond
// the largest double), so no working set was solved soundly and the verdict says
// nothing: NUMERICAL_FAILURE.
SolveStatus decided(const MorvexExact4Prepared& P, MorvexExact4Result* out, SolveStatus status) {
    if (status == MORVEX_STATUS_INFEASIBLE && out->steps > kMaxSteps && !(P.far <= 0x1p1020))
        return finish(out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    return status;
}

// ---- Thin wedges -------------------------------------------------------------------
// Two rows at an angle theta meet along a wedge; a point that meets both within the
// loop's tolerance (2^-40 of the magnitudes) may lie the tolerance over theta from
// the minimiser, and the working set of the two rows is conditioned about 1 / theta.
// On limits with such rows (P.thin), an answer or refusal of the loop is settled
// here: a working set proposed by the answer is solved by iterative refinement, the
// point held in two doubles (x = hi + lo) and every residual computed exactly from
// the rows as given (products and sums with their rounding errors), so the point
// converges to the working set's exact point while the condition stays below about
// 2^50; it is taken only with a certificate (every multiplier nonnegative, every
// other constraint met within 2^-60 of its magnitudes), which makes it the minimiser.

// A sum with its rounding error carried along (Ogita, Rump and Oishi's Sum2/Dot2):
// as accurate as if computed in twice the precision, then rounded.
struct Sum2 {
    double s = 0.0, c = 0.0;
    void add(double v) {
        const double t = s + v, z = t - s;
        c += (s - (t - z)) + (v - z);
        s = t;
    }
    void mul(double x, double y) {
        const double p = x * y;
        c += std::fma(x, y, -p);
        add(p);
    }
    double value() const { return s + c; }
};

constexpr int kRefineRounds = 8;        // refinement rounds of one working set
constexpr int kSettleRounds = 12;       // working sets tried from the proposal
constexpr double kMetOther = 0x1p-60;    // a constraint other than the working set's: met within
                                        // this part of its magnitudes
constexpr int kRoughRounds = 3;         // rounds before a working set is judged roughly
constexpr double kRoughlyMet = 0x1p-20;  // the same after them: worth refining further
constexpr double kThinPivot = 0x1p-112; // the factor's pivot: refinement mends what rounding
                                        // leaves of a working set conditioned up to about 2^54
constexpr double kNegative = 0x1p-40;   // a multiplier below -this of the scale: negative

// A working set's point in two doubles and its multipliers (per row as given in
// P.exact_a, and per fixed bound, toward the bound).
struct ThinPoint {
    double hi[4], lo[4];
    double uw[4], ub[4];
};

// The exact value of row j of P (as given, up to a power of two) at hi + lo, less b,
// and the magnitudes it adds up.
double row_excess(const MorvexExact4Prepared& P, int j, const ThinPoint& t, double* magnitude) {
    Sum2 v;
    double mag = std::fabs(P.exact_b[j]);
    for (int i = 0; i < 4; ++i) {
        v.mul(P.exact_a[j][i], t.hi[i]);
        v.mul(P.exact_a[j][i], t.lo[i]);
        mag += std::fabs(P.exact_a[j][i] * t.hi[i]);
    }
    v.add(-P.exact_b[j]);
    *magnitude = mag;
    return v.value();
}

// The working set s (factor f of q) refined from t: each round, the residuals of its
// optimality conditions (x - d + sum u a = 0, its rows and bounds met with equality)
// are computed exactly and the working set's correction for them solved with the
// factor; the rounds contract by about the condition times 2^-52.
void refine_thin(const MorvexExact4Prepared& P, Problem& q, const Active& s, const Factor& f,
                 const double d[4], int rounds, ThinPoint& t) {
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 4; ++i) {
            Sum2 g;
            g.add(d[i]);
            g.add(-t.hi[i]);
            g.add(-t.lo[i]);
            for (int j = 0; j < q.m; ++j)
                if (s.inw[j]) g.mul(-t.uw[j], P.exact_a[j][i]);
            if (s.fix[i] != 0) g.add(-static_cast<double>(s.fix[i]) * t.ub[i]);
            q.r[i] = g.value();
            const double bound = s.fix[i] > 0 ? P.upper[i] : P.lower[i];
            Sum2 gap;
            gap.add(bound);
            gap.add(-t.hi[i]);
            gap.add(-t.lo[i]);
            q.L[i] = q.U[i] = s.fix[i] != 0 ? gap.value() : 0.0;
        }
        for (int j = 0; j < q.m; ++j) {
            double mag;
            q.bb[j] = s.inw[j] ? -row_excess(P, j, t, &mag) * P.unit[j] : 0.0;
        }
        double dy[4], duw[4], dub[4];
        working_point(q, s, f, dy, duw, dub);
        double step = 0.0, size = 0.0;
        for (int i = 0; i < 4; ++i) {
            const double h = t.hi[i] + dy[i], z = h - t.hi[i];
            const double e = (t.hi[i] - (h - z)) + (dy[i] - z) + t.lo[i];
            t.hi[i] = h + e;
            t.lo[i] = e - (t.hi[i] - h);
            t.ub[i] += s.fix[i] != 0 ? dub[i] : 0.0;
            step = max2(step, std::fabs(dy[i]));
            size = max2(size, std::fabs(t.hi[i]));
        }
        for (int j = 0; j < 4; ++j) t.uw[j] += s.inw[j] ? duw[j] * P.unit[j] : 0.0;
        if (round > 0 && !(step > 0x1p-104 * size)) return;
    }
}

// What the certificate of a working set's point found: nothing (certified), a
// constraint to add (the most violated) or one to drop (the most negative multiplier).
enum class ThinVerdict { kCertified, kAddRow, kAddBound, kDropRow, kDropBound, kNoFactor };
struct ThinCheck {
    ThinVerdict verdict;
    int index;
    int side;
};

ThinCheck check_thin(const MorvexExact4Prepared& P, const Active& s, const ThinPoint& t,
                     double scale, double met) {
    ThinCheck worst{ThinVerdict::kCertified, 0, 0};
    double most = 0.0;  // the largest violation, relative to its magnitudes
    for (int j = 0; j < static_cast<int>(P.row_count); ++j) {
        double mag;
        const double over = row_excess(P, j, t, &mag) / max2(mag, DBL_MIN);
        // A working row missed: the refinement did not converge.
        if (s.inw[j] && !(std::fabs(over) <= met)) return {ThinVerdict::kNoFactor, j, 0};
        if (!s.inw[j] && over > met && over > most)
            most = over, worst = {ThinVerdict::kAddRow, j, 0};
    }
    for (int i = 0; i < 4; ++i) {
        if (s.fix[i] != 0) continue;
        const double x = t.hi[i] + t.lo[i];
        const double up = (t.hi[i] - P.upper[i] + t.lo[i]) / max2(std::fabs(x), DBL_MIN);
        const double down = (P.lower[i] - t.hi[i] - t.lo[i]) / max2(std::fabs(x), DBL_MIN);
        if (up > met && up > most) most = up, worst = {ThinVerdict::kAddBound, i, +1};
        if (down > met && down > most) most = down, worst = {ThinVerdict::kAddBound, i, -1};
    }
    if (worst.verdict != ThinVerdict::kCertified) return worst;
    double low = -kNegative * scale * (met / kMetOther);
    for (int j = 0; j < 4; ++j)
        if (s.inw[j] && t.uw[j] < low * P.unit[j])
            low = t.uw[j] / P.unit[j], worst = {ThinVerdict::kDropRow, j, 0};
    for (int i = 0; i < 4; ++i)
        if (s.fix[i] != 0 && t.ub[i] < low) low = t.ub[i], worst = {ThinVerdict::kDropBound, i, 0};
    return worst;
}

// Working set s solved by refinement from x and certified (true), t its point.
ThinCheck solve_thin(const MorvexExact4Prepared& P, Problem& q, const Active& s,
                     const double d[4], const double x[4], double scale, ThinPoint& t) {
    Factor f;
    if (!factorise<kThinPivot>(q, s, f)) return {ThinVerdict::kNoFactor, 0, 0};
    for (int i = 0; i < 4; ++i) {
        t.hi[i] = s.fix[i] > 0 ? P.upper[i] : s.fix[i] < 0 ? P.lower[i] : x[i];
        t.lo[i] = t.ub[i] = t.uw[i] = 0.0;
    }
    // A few rounds first: a working set far from certified is judged by them alone.
    refine_thin(P, q, s, f, d, kRoughRounds, t);
    bool finite = true;
    for (int i = 0; i < 4; ++i) finite = finite & is_finite(t.hi[i]);
    if (!finite) return {ThinVerdict::kNoFactor, 0, 0};
    const ThinCheck rough = check_thin(P, s, t, scale, kRoughlyMet);
    if (rough.verdict != ThinVerdict::kCertified) return rough;
    refine_thin(P, q, s, f, d, kRefineRounds, t);
    return check_thin(P, s, t, scale, kMetOther);
}

// The working set proposed by x: the bounds it sits on and the rows it meets within
// the loop's tolerance (those that keep the working set independent).
Active proposed_set(const MorvexExact4Prepared& P, Problem& q, const double x[4]) {
    Active s{};
    int held = 0;
    for (int i = 0; i < 4; ++i) {
        s.fix[i] = x[i] == P.upper[i] ? +1 : x[i] == P.lower[i] ? -1 : 0;
        held += s.fix[i] != 0;
    }
    ThinPoint t{};
    for (int i = 0; i < 4; ++i) t.hi[i] = x[i];
    for (int j = 0; j < static_cast<int>(P.row_count) && held < 4; ++j) {
        double mag;
        if (!(std::fabs(row_excess(P, j, t, &mag)) <= 0x1p-38 * mag)) continue;
        s.inw[j] = true;
        Factor f;
        if (factorise<kThinPivot>(q, s, f)) ++held;
        else s.inw[j] = false;
    }
    return s;
}

// A working set as a number (per axis free, lower or upper; then the rows), to
// recognise one met before.
int set_code(const Active& s) {
    int code = 0;
    for (int i = 3; i >= 0; --i) code = 3 * code + (s.fix[i] < 0 ? 1 : s.fix[i] > 0 ? 2 : 0);
    for (int j = 0; j < 4; ++j) code += s.inw[j] ? 81 << j : 0;
    return code;
}

// The next working set from s, as its check found: the constraint added (and, when
// that leaves the set dependent, one of the others dropped, the smallest multiplier
// first) or dropped; never one met before (seen). False when there is none.
bool next_set(Problem& q, const Active& s, const ThinPoint& t, const ThinCheck& check,
              const int* seen, int count, Active& next) {
    Active grown = s;
    if (check.verdict == ThinVerdict::kAddRow) grown.inw[check.index] = true;
    if (check.verdict == ThinVerdict::kAddBound) grown.fix[check.index] = check.side;
    if (check.verdict == ThinVerdict::kDropRow) grown.inw[check.index] = false;
    if (check.verdict == ThinVerdict::kDropBound) grown.fix[check.index] = 0;
    const bool adds =
        check.verdict == ThinVerdict::kAddRow || check.verdict == ThinVerdict::kAddBound;
    // Candidates: the set itself, then (when adding) without each other member, in
    // the order of their multipliers.
    double value[9];
    value[0] = -INFINITY;
    for (int j = 0; j < 4; ++j) value[1 + j] = adds && s.inw[j] ? t.uw[j] : INFINITY;
    for (int i = 0; i < 4; ++i) value[5 + i] = adds && s.fix[i] != 0 ? t.ub[i] : INFINITY;
    for (int tries = 0; tries < 9; ++tries) {
        int pick = 0;
        for (int k = 1; k < 9; ++k) pick = value[k] < value[pick] ? k : pick;
        if (value[pick] == INFINITY) return false;
        value[pick] = INFINITY;
        next = grown;
        if (pick >= 5) next.fix[pick - 5] = 0;
        else if (pick >= 1) next.inw[pick - 1] = false;
        bool met = false;
        for (int k = 0; k < count; ++k) met = met | (seen[k] == set_code(next));
        Factor f;
        if (!met && factorise<kThinPivot>(q, next, f)) return true;
    }
    return false;
}

// Every working set (as enumerate), refined and certified; the first certified.
bool enumerate_thin(const MorvexExact4Prepared& P, Problem& q, const double d[4],
                    const double c[4], double scale, ThinPoint& t) {
    for (int code = 0; code < 81; ++code) {
        Active s{};
        int nfixed = 0;
        bool usable = true;
        for (int i = 0, k = code; i < 4; ++i, k /= 3) {
            s.fix[i] = k % 3 == 0 ? 0 : k % 3 == 1 ? -1 : +1;
            nfixed += s.fix[i] != 0;
            if (s.fix[i] != 0 && !is_finite(s.fix[i] > 0 ? P.upper[i] : P.lower[i])) usable = false;
        }
        for (unsigned mask = 0; usable && mask < (1u << q.m); ++mask) {
            int nw = 0;
            for (int j = 0; j < 4; ++j) {
                s.inw[j] = j < q.m && (mask >> j & 1u) != 0;
                nw += s.inw[j];
            }
            if (nfixed + nw > 4) continue;
            if (solve_thin(P, q, s, d, c, scale, t).verdict == ThinVerdict::kCertified) return true;
        }
    }
    return false;
}

// The answer (or refusal) of limits with a thin wedge, settled: from the working set
// the answer proposes, a constraint is added or dropped as the certificate finds
// (at most kSettleRounds times), else every working set is tried. A certified point
// replaces the answer (or the refusal) unless the answer agrees with it within 2^-45
// of the scale (its bits are then kept). Without a certificate the status stands.
SolveStatus settle_thin(const MorvexExact4Prepared& P, const double d[4], MorvexExact4Result* out,
                        SolveStatus status) {
    const bool answered = status == MORVEX_STATUS_OPTIMAL && out->steps != 0;
    bool finite = P.status == MORVEX_STATUS_OPTIMAL;
    for (int i = 0; i < 4; ++i)
        finite = finite & (std::fabs(d[i] - clamp_axis(d[i], P.lower[i], P.upper[i])) <=
                           kThinReach * P.far);
    if (!finite || !(P.far <= kThinLargest) || !(answered || status == MORVEX_STATUS_INFEASIBLE ||
                     status == MORVEX_STATUS_NUMERICAL_FAILURE))
        return status;
    Problem q;
    q.m = static_cast<int>(P.row_count);
    double c[4], x[4], scale = P.far;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) q.A[j][i] = P.a[j][i];
    for (int i = 0; i < 4; ++i) {
        c[i] = clamp_axis(d[i], P.lower[i], P.upper[i]);
        x[i] = answered ? out->x[i] : c[i];
        scale = max2(scale, max2(std::fabs(d[i]), std::fabs(x[i])));
    }
    Active s = answered ? proposed_set(P, q, x) : Active{};
    ThinPoint t;
    bool certified = false;
    int seen[kSettleRounds];
    for (int round = 0; round < kSettleRounds && !certified; ++round) {
        seen[round] = set_code(s);
        const ThinCheck check = solve_thin(P, q, s, d, x, scale, t);
        certified = check.verdict == ThinVerdict::kCertified;
        Active next = s;
        if (!certified && !next_set(q, s, t, check, seen, round + 1, next)) break;
        s = next;
    }
    if (!certified && !enumerate_thin(P, q, d, c, scale, t)) return status;
    // The answer's own scale (the limits' and its own magnitudes, not the command's).
    double size = P.far;
    for (int i = 0; i < 4; ++i) {
        x[i] = clamp_axis(t.hi[i] + t.lo[i], P.lower[i], P.upper[i]);
        size = max2(size, std::fabs(x[i]));
    }
    bool same = answered;
    for (int i = 0; i < 4; ++i) same = same & (std::fabs(x[i] - out->x[i]) <= 0x1p-45 * size);
    if (!same)
        for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    return finish(out, MORVEX_STATUS_OPTIMAL, out->steps);
}

} // namespace

extern "C" {

SolveStatus morvex_exact_4d_prepare(const MorvexLimits4* limits, MorvexExact4Prepared* prepared) {
    if (limits == nullptr || prepared == nullptr) return MORVEX_STATUS_INVALID_INPUT;
    return prepare(*limits, *prepared);
}

SolveStatus morvex_exact_4d_solve(const MorvexExact4Prepared* prepared, const double desired[4],
                                  MorvexExact4Result* out) {
    if (prepared == nullptr || desired == nullptr || out == nullptr)
        return MORVEX_STATUS_INVALID_INPUT;
    const SolveStatus status = decided(*prepared, out, solve(*prepared, desired, out, true));
    return prepared->thin == 0 ? status : settle_thin(*prepared, desired, out, status);
}

SolveStatus morvex_exact_4d(const MorvexLimits4* limits, const double desired[4],
                            MorvexExact4Result* out) {
    if (limits == nullptr || desired == nullptr || out == nullptr) return MORVEX_STATUS_INVALID_INPUT;
    if (quick_exit(*limits, desired, out)) return MORVEX_STATUS_OPTIMAL;
    MorvexExact4Prepared P;
    prepare(*limits, P);
    // Its own quick exit has failed: the general path (which repeats the prepared
    // quick test) gives the same bits as the prepared call.
    const SolveStatus status = decided(P, out, solve(P, desired, out, false));
    return P.thin == 0 ? status : settle_thin(P, desired, out, status);
}

} // extern "C"
