// Thin wedges (see exact_4d_design.md): answers and refusals on limits with two rows
// nearly parallel or nearly opposite, settled by iterative refinement with exactly
// computed residuals and an optimality certificate; the same for a refusal that
// morvex_exact_4d_solve_rechecked checks on any limits.
#include "exact_4d_kernel.h"

namespace morvex::exact4 {
namespace {

constexpr double kThinReach = 0x1p40;    // commands settled on a thin wedge: within this x R
constexpr double kThinLargest = 0x1p600; // limits settled on a thin wedge: R at most this

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
constexpr double kSettledStep = 0x1p-30; // a last step below this of the point: settled enough
                                        // to be judged roughly

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
// factor; the rounds contract by about the condition times 2^-52. True when the last
// step was below kSettledStep of the point (on a wedge whose multipliers reach 1e22
// the rounds can contract slowly, and a point judged before that can lie the box's
// scale from its own).
bool refine_thin(const MorvexExact4Prepared& P, Problem& q, const Active& s, const Factor& f,
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
        if (round > 0 && !(step > 0x1p-104 * size)) return true;
        if (round == rounds - 1) return !(step > kSettledStep * size);
    }
    return true;
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
    // A point or multiplier that overflowed certifies nothing (a NaN passes no test).
    bool finite = true;
    for (int i = 0; i < 4; ++i)
        finite = finite & is_finite(t.hi[i]) & is_finite(t.lo[i]) & is_finite(t.uw[i]) &
                 is_finite(t.ub[i]);
    if (!finite) return {ThinVerdict::kNoFactor, 0, 0};
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
// Working set s solved by refinement from x and certified (true), t its point. Its
// first row counts however short on the free axes (to 2^-511): no projection rounds it.
ThinCheck solve_thin(const MorvexExact4Prepared& P, Problem& q, const Active& s,
                     const double d[4], const double x[4], double scale, ThinPoint& t) {
    Factor f;
    if (!factorise(q, s, f, kThinPivot, kNormalSquare)) return {ThinVerdict::kNoFactor, 0, 0};
    for (int i = 0; i < 4; ++i) {
        t.hi[i] = s.fix[i] > 0 ? P.upper[i] : s.fix[i] < 0 ? P.lower[i] : x[i];
        t.lo[i] = t.ub[i] = t.uw[i] = 0.0;
    }
    // A few rounds first: a working set far from certified is judged by them alone,
    // once its point has settled.
    const bool settled = refine_thin(P, q, s, f, d, kRoughRounds, t);
    bool finite = true;
    for (int i = 0; i < 4; ++i) finite = finite & is_finite(t.hi[i]);
    if (!finite) return {ThinVerdict::kNoFactor, 0, 0};
    const ThinCheck rough = check_thin(P, s, t, scale, kRoughlyMet);
    if (settled && rough.verdict != ThinVerdict::kCertified) return rough;
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
        if (factorise(q, s, f, kThinPivot)) ++held;
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
        if (!met && factorise(q, next, f, kThinPivot)) return true;
    }
    return false;
}
// Every working set (as enumerate), refined and certified; the first certified.
bool enumerate_thin(const MorvexExact4Prepared& P, Problem& q, const double d[4],
                    const double c[4], double scale, ThinPoint& t) {
    return any_working_set(P.lower, P.upper, q.m, [&](const Active& s) {
        return solve_thin(P, q, s, d, c, scale, t).verdict == ThinVerdict::kCertified;
    });
}

} // namespace

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

// A refusal of a near command on limits known to admit a point, settled as on a thin
// wedge (on a thin wedge within kThinLargest, the solve has settled it already). Limits
// whose scale R passes kThinLargest (a bound of 1e300 meaning no limit, say) are
// settled at the scale of the rows' right sides and d clamped into the box instead,
// when d lies within it: a smaller scale only makes the certificate stricter.
SolveStatus settle_refusal(const MorvexExact4Prepared& P, const double d[4],
                           MorvexExact4Result* out, SolveStatus status) {
    if (P.far <= kThinLargest) return P.thin != 0 ? status : settle_thin(P, d, out, status);
    const CommandScale k = command_scale(P, d);
    MorvexExact4Prepared own = P;
    own.far = 16.0 * max2(k.rows, k.spread);
    if (!(k.reach <= own.far)) return status;
    // Only a point within that range is vouched for: the certificate's sums keep their
    // digits there, not next to the bounds of 1e300 the limits may hold.
    MorvexExact4Result settled = *out;
    if (settle_thin(own, d, &settled, status) != MORVEX_STATUS_OPTIMAL ||
        !(max_abs4(settled.x) <= kThinLargest))
        return status;
    *out = settled;
    return MORVEX_STATUS_OPTIMAL;
}

} // namespace morvex::exact4
