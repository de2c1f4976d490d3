// The exact four-axis projection (morvex/exact_4d.h): its entry points, the
// preparation of the limits (checked, rows normalised, thin wedges found) and the
// one-shot quick exit. The solve is in exact_4d_solve.cpp, far commands in
// exact_4d_far.cpp, thin wedges in exact_4d_thin.cpp, the float drop-in in
// exact_4d_float.cpp and exact_4d_float_search.cpp; the reasoning and the figures in
// exact_4d_design.md.
#include "exact_4d_kernel.h"

namespace morvex::exact4 {
namespace {

constexpr double kQuickTolRel = 0x1p-41; // the one-shot quick exit: stricter than the solve's
constexpr double kThinCos = 0x1p-12;     // 1 - |cos| below this: a thin wedge (about 1.3 degrees)
constexpr double kThinSine = 0x1p-50;    // a sine below this: the same row but for rounding
constexpr double kThinAxis = 0x1p-10;   // a row's sine with its axis below this: a thin
                                        // wedge with the box's sides across that axis

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
// Whether unit row a lies nearly along an axis: its part off its largest coefficient's
// axis (its sine with that axis) nonzero and below kThinAxis. With the box's sides across
// that axis it makes a thin wedge: the loop's tolerance lets a corner of the box pass for
// a point of the row, 2^-40 of the scale over the sine from the minimiser (a row of 1.5e26
// beside 7.9 on a free axis: 6 times the scale). Below 2^-10 that passes 1e-9 of the
// scale; above it the settling's microseconds are not spent (a row with a small cross
// term is common). Off parts of any size count: they are the row's own coefficients,
// not the rounding of a difference.
bool near_axis(const double a[4]) {
    int big = 0;
    for (int i = 1; i < 4; ++i) big = std::fabs(a[i]) > std::fabs(a[big]) ? i : big;
    double off2 = 0.0, off = 0.0;
    for (int i = 0; i < 4; ++i) {
        const double v = i == big ? 0.0 : a[i];
        off2 += v * v;
        off = max2(off, std::fabs(v));
    }
    return off > 0.0 && off2 < kThinAxis * kThinAxis;
}
// The rows of a thin wedge among close pairs (out of line: rarely called on the
// one-shot call), with the kept rows as given (up to a power of two, as prepare scales
// them) written into P for the settling.
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
    for (int j = 0; j < m; ++j) thin |= static_cast<uint32_t>(near_axis(P.a[j])) << j;
    for (int j = 1; j < m; ++j)
        for (int k = 0; k < j; ++k)
            if (std::fabs(dot4(P.a[j], P.a[k])) > 1.0 - kThinCos &&
                sine2(P.exact_a[j], P.exact_a[k]) > kThinSine * kThinSine)
                thin |= (1u << j) | (1u << k);
    return thin;
}
// The rows of a thin wedge (bit j): two kept rows nearly parallel or nearly opposite
// (1 - |cos| below kThinCos, about 1.3 degrees), at an angle whose sine is above
// kThinSine (below it they are the same row but for their rounding), or a row as close
// to an axis (near_axis) and so to the box's sides across it. The loop's
// tolerance, 2^-40 of the magnitudes, lets the answer slide along such a wedge by
// that tolerance over the angle: their answers are settled by settle_thin. With
// kGivenRows, the rows as given are written into P in any case (for a refusal checked
// by morvex_exact_4d_solve_rechecked).
template <bool kGivenRows>
uint32_t thin_rows(MorvexExact4Prepared& P, const MorvexLimits4& lim, const int source[4]) {
    // The cosines of the kept pairs, and of each row with its largest axis, first; the
    // rest only for a close pair or a row close to an axis (rare).
    bool any = kGivenRows;
    for (int j = 0; j < static_cast<int>(P.row_count); ++j) {
        any = any | (max_abs4(P.a[j]) > 1.0 - 0.5 * kThinAxis * kThinAxis);
        for (int k = 0; k < j; ++k)
            any = any | (std::fabs(dot4(P.a[j], P.a[k])) > 1.0 - kThinCos);
    }
    return any ? thin_pairs(P, lim, source) : 0;
}
// Whether the limits are unusable (a NaN; lower > upper; lower = +inf or upper =
// -inf; an infinite row coefficient); *bound_scale: the largest finite bound.
inline bool unusable(const MorvexLimits4& lim, double* bound_scale_out) {
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
    *bound_scale_out = bound_scale;
    return bad | is_nan(probe);
}

// Row j of lim kept as row m of P when it can limit anything (normalised to unit
// length, its signs noted); false when it is dropped: a zero row or b = +inf (met
// everywhere), or never met (b = -inf, a zero row with b < 0: *infeasible set).
inline bool keep_row(const MorvexLimits4& lim, int j, int m, MorvexExact4Prepared& P,
                     bool* infeasible) {
    const double mx = max_abs4(lim.a[j]);
    const double b = lim.b[j];
    if (mx == 0.0) {
        *infeasible = *infeasible | !(b >= 0.0);
        return false;
    }
    // Exact power-of-two scaling first (largest coefficient in [0.5, 1)), then
    // division by the length: rows that differ by a factor 2^k come out equal.
    const int e = exponent_of(mx);
    double a[4];
    for (int i = 0; i < 4; ++i) a[i] = scale_pow2(lim.a[j][i], -e);
    const double n2 = (a[0] * a[0] + a[1] * a[1]) + (a[2] * a[2] + a[3] * a[3]);
    const double bs = scale_pow2(b, -e);
    const double inv = 1.0 / std::sqrt(n2);  // length in [0.5, 2)
    const double bn = bs * inv;               // may still overflow
    // b (as given, scaled, or divided) infinite: met everywhere or nowhere.
    if (b == INFINITY || bs == INFINITY || bn == INFINITY) return false;
    if (b == -INFINITY || bs == -INFINITY || bn == -INFINITY) {
        *infeasible = true;
        return false;
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
    return true;
}

template <bool kGivenRows>
SolveStatus prepare(const MorvexLimits4& lim, MorvexExact4Prepared& P) {
    // Every field written but the rows as given, which only thin wedges and a checked
    // refusal need (no memset of the whole record: it is on the hot path of the
    // one-shot call, which keeps them only on thin wedges).
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
    const bool bad = unusable(lim, &bound_scale);
    const int rows = static_cast<int>(lim.row_count);
    if (bad) return P.status;
    bool infeasible = false;
    int m = 0, source[4] = {0, 0, 0, 0};  // the given row of each kept one
    double row_scale = 0.0;
    for (int j = 0; j < rows; ++j) {
        if (!keep_row(lim, j, m, P, &infeasible)) continue;
        source[m] = j;
        row_scale = max2(row_scale, std::fabs(P.b[m]));
        ++m;
    }
    P.row_count = static_cast<uint32_t>(m);
    P.thin = thin_rows<kGivenRows>(P, lim, source);
    P.far = 16.0 * max2(max2(bound_scale, row_scale), 0x1p-900);
    P.status = infeasible ? MORVEX_STATUS_INFEASIBLE : MORVEX_STATUS_OPTIMAL;
    return P.status;
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
SolveStatus undecided_near_overflow(const MorvexExact4Prepared& P, MorvexExact4Result* out,
                                    SolveStatus status) {
    if (status == MORVEX_STATUS_INFEASIBLE && out->steps > kMaxSteps && !(P.far <= 0x1p1020))
        return finish(out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    return status;
}

// A finite command within R of the box (see "Far commands") on usable limits.
inline bool is_near(const MorvexExact4Prepared& P, const double d[4]) {
    bool near = P.status == MORVEX_STATUS_OPTIMAL;
    for (int i = 0; i < 4; ++i)
        near = near & is_finite(d[i]) & !far_up(P, d[i], i) & !far_down(P, d[i], i);
    return near;
}
// A command within R of the box refused as infeasible, placed again as a far command
// against the scale of what holds its answer. R counts every finite bound, so a bound
// meaning "no limit" (3.4e38, the largest float) makes a command 1e39 out near, or lets
// d clamped into the box lie 1e19 from rows that hold the answer at 50: the multipliers
// of the solve, of that size, then drown the ones that place the answer, and the solve
// can find the limits infeasible. So d is placed by the far path (which judges the
// limits at their own scale), first against the scale of d clamped into the box and the
// rows' right sides when d lies beyond it, then against the rows' alone when d clamped
// into the box lies beyond that; and an INFEASIBLE of the solve's enumeration, or of a
// solve on limits reaching 2^36 times beyond d clamped into the box and the rows (where
// CoupledLimits rejected 2.6% of limits the Python fuzzer builds feasible, probing them
// at the origin), is checked by the certificate over every working set. (Checking every
// INFEASIBLE of the loop would make a call on ordinary infeasible limits, which prepare
// does not detect, take 40-100 us instead of 5.) Any other refusal stands, and no
// answer changes.
constexpr double kWide = 0x1p36;  // limits reaching this far beyond d and the rows: checked
[[gnu::noinline]] SolveStatus refused_near(const MorvexExact4Prepared& P, const double d[4],
                                           MorvexExact4Result* out) {
    if (!is_near(P, d)) return MORVEX_STATUS_INFEASIBLE;  // the far path's own verdict
    const CommandScale k = command_scale(P, d);
    const bool enumerated = out->steps > kMaxSteps;
    MorvexExact4Prepared own = P;
    own.far = 16.0 * max2(k.rows, k.spread);
    const bool wide = P.far > kWide * own.far;
    // (an INFEASIBLE there goes on: the answer may lie at a bound far beyond that scale)
    if (k.reach > own.far && own.far < P.far &&
        solve_far(own, d, out, false) != MORVEX_STATUS_INFEASIBLE)
        return out->status;
    // The enumeration, not the loop, found them infeasible, or the loop did so among
    // magnitudes far beyond those of d clamped into the box and of the rows: rounding may
    // have led it astray.
    if ((enumerated || wide) && recheck_enumerated(P, d, out) == MORVEX_STATUS_OPTIMAL)
        return MORVEX_STATUS_OPTIMAL;
    own.far = 16.0 * k.rows;
    if (k.spread > own.far && own.far < P.far) return solve_far(own, d, out, false);
    return MORVEX_STATUS_INFEASIBLE;
}
// A command within R that the solve's enumeration gave up on as too far for double
// precision (its frame or multipliers overflow): a bound meaning "no limit" (3.4e38)
// makes a command at 3.4e38 inside the box near while the rows pin the answer at 4.19.
// The certificate over every working set (recheck_enumerated) answers such a command;
// when it does not, the failure and its output stand. (refused_near's far placements
// answered neither of two such commands examined, and made a call that still fails
// take three times as long.)
[[gnu::noinline]] SolveStatus failed_near(const MorvexExact4Prepared& P, const double d[4],
                                          MorvexExact4Result* out) {
    const MorvexExact4Result failed = *out;
    if (out->steps > kMaxSteps && recheck_enumerated(P, d, out) == MORVEX_STATUS_OPTIMAL)
        return MORVEX_STATUS_OPTIMAL;
    *out = failed;
    return MORVEX_STATUS_NUMERICAL_FAILURE;
}
// What the entry points do after the solve: an INFEASIBLE checked (refused_near), and
// the verdicts of limits near overflow and of thin wedges settled.
SolveStatus settled(const MorvexExact4Prepared& P, const double desired[4],
                    MorvexExact4Result* out, SolveStatus status) {
    if (status == MORVEX_STATUS_INFEASIBLE) status = refused_near(P, desired, out);
    if (status == MORVEX_STATUS_NUMERICAL_FAILURE && is_near(P, desired))
        status = failed_near(P, desired, out);
    status = undecided_near_overflow(P, out, status);
    return P.thin == 0 ? status : settle_thin(P, desired, out, status);
}

} // namespace

// A command near the box on usable limits: one solve, checked; any other, the far path.
SolveStatus solve(const MorvexExact4Prepared& P, const double desired[4], MorvexExact4Result* out,
                  bool try_quick) {
    return is_near(P, desired) ? solve_checked(P, desired, out, try_quick)
                               : solve_far(P, desired, out, try_quick);
}

SolveStatus solve_unprepared(const MorvexLimits4& limits, const double desired[4],
                             MorvexExact4Result* out) {
    MorvexExact4Prepared P;
    prepare<false>(limits, P);
    // The one-shot quick exit has failed (or was not tried): the general path (which
    // repeats the prepared quick test) gives the same bits as the prepared call.
    return settled(P, desired, out, solve(P, desired, out, false));
}

} // namespace morvex::exact4

using namespace morvex::exact4;


extern "C" {

SolveStatus morvex_exact_4d_prepare(const MorvexLimits4* limits, MorvexExact4Prepared* prepared) {
    if (limits == nullptr || prepared == nullptr) return MORVEX_STATUS_INVALID_INPUT;
    return prepare<true>(*limits, *prepared);
}

SolveStatus morvex_exact_4d_solve(const MorvexExact4Prepared* prepared, const double desired[4],
                                  MorvexExact4Result* out) {
    if (prepared == nullptr || desired == nullptr || out == nullptr)
        return MORVEX_STATUS_INVALID_INPUT;
    return settled(*prepared, desired, out, solve(*prepared, desired, out, true));
}

SolveStatus morvex_exact_4d_solve_rechecked(const MorvexExact4Prepared* prepared,
                                            const double desired[4], MorvexExact4Result* out) {
    const SolveStatus status = morvex_exact_4d_solve(prepared, desired, out);
    // (a null pointer: INVALID_INPUT, returned here)
    if (status != MORVEX_STATUS_INFEASIBLE && status != MORVEX_STATUS_NUMERICAL_FAILURE)
        return status;
    const MorvexExact4Prepared& P = *prepared;
    if (P.status != MORVEX_STATUS_OPTIMAL) return status;  // a row never met, say
    // A far command's multipliers, of its distance, would drown the certificate's
    // tolerance: on limits that admit a point, no working set was certified for it (an
    // infinite command is such a far command, or its relaxed rows are met).
    if (!is_near(P, desired)) return finish(out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    return settle_refusal(P, desired, out, status);
}

SolveStatus morvex_exact_4d(const MorvexLimits4* limits, const double desired[4],
                            MorvexExact4Result* out) {
    if (limits == nullptr || desired == nullptr || out == nullptr) return MORVEX_STATUS_INVALID_INPUT;
    if (quick_exit(*limits, desired, out)) return MORVEX_STATUS_OPTIMAL;
    return solve_unprepared(*limits, desired, out);
}

} // extern "C"
