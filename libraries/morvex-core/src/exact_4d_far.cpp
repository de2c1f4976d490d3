// Far commands (see exact_4d_design.md): a finite command beyond R = 16 times the
// limits' scale from the box, an infinite one, and the statuses of limits the solve
// cannot use. For a finite far command one certificate decides: solves only propose
// working sets, and an answer is returned only with the certificate of its own.
#include "exact_4d_kernel.h"

namespace morvex::exact4 {
namespace {

constexpr int kMovedRounds = 3;        // distances a far command is moved to: 16 R, 4096 R, 2^20 R
constexpr double kMovedStep = 0x1p8;   // from one distance to the next
constexpr double kGap = 0x1p8;         // ratio of two moved far axes' distances: at most this
constexpr int kBoxRounds = 4;          // boxes an open side is bounded at: R, 16 R, 256 R, 4096 R
constexpr double kConeZero = 0x1p-40;  // a coefficient of a far part this near 0 is 0
constexpr int kReframes = 8;           // framings of a certified point at itself
constexpr int kReframesRefused = 2;    // of a point whose certificate still fails

// ---- The certificate ------------------------------------------------------------------
// A working set's point x is the minimiser for d when it meets the limits and d - x is a
// nonnegative combination of the normals of the set's constraints (its multipliers). For
// a far command those multipliers are of the size of |d|, and the ones that place x drown
// in their rounding; so d - x is split at a point c near the answer (the frame's hint):
// the near part (each axis within R of c), whose multipliers and point are computed at
// the limits' own scale, and the far part (each axis beyond R), decomposed on the set
// one axis at a time: its part in the set's null space moves the point (the answer moves
// with d along it), its part on the normals adds to the multipliers. Coefficients within
// 2^-40 of zero, and null parts within 2^-35 of the axis, are taken as zero (the far
// axes' parts may differ by hundreds of binary orders, and the rounding of a large one
// must not hide a small one). Each multiplier, near part plus far parts, must then be
// nonnegative beyond 2^-40 of its terms and of the scale, and the point must meet the
// limits at itself.
enum class Verdict { kCertified, kNoFactor, kOutside, kNegative };

// The far part of working set s (f its factor in q, length the scaling of its rows, see
// certify_set): shift (nonzero only on far axes) decomposed; move receives its part in
// the null space (zero when the far axes' parts there cancel, to 2^-40 of their sizes:
// the frame's null part is the answer's already, and the sum would only add its
// rounding, of the far distances, to the axes the set holds); kNegative when it turns a
// multiplier of s (held for the near part) negative.
Verdict far_part_holds(const Problem& q, const Active& s, const Factor& f, const double shift[4],
                       double floor, const double length[4], double move[4]) {
    double total[8] = {0, 0, 0, 0, 0, 0, 0, 0}, size[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    double parts = 0.0;
    for (int i = 0; i < 4; ++i) move[i] = 0.0;
    for (int axis = 0; axis < 4; ++axis) {
        if (shift[axis] == 0.0) continue;
        double nf[4] = {0, 0, 0, 0}, z[4], c[4], w[4] = {0, 0, 0, 0}, coef[8];
        nf[axis] = masked(s.fix[axis] == 0, 1.0);
        project_out(f, f.nw, nf, z, c);
        r_solve(f, c, w);
        const double zz = dot4(z, z);
        const bool moves = !(zz <= kDependent);
        for (int i = 0; i < 4; ++i) move[i] += moves ? shift[axis] * z[i] : 0.0;
        parts += moves ? std::fabs(shift[axis]) * max_abs4(z) : 0.0;
        for (int k = 0; k < 4; ++k) coef[k] = w[k];  // zero past the working rows
        for (int i = 0; i < 4; ++i) {
            // e_axis less its part on the rows, on a fixed axis, toward its bound.
            double across = i == axis ? 1.0 : 0.0;
            for (int k = 0; k < f.nw; ++k) across -= w[k] * q.A[f.W[k]][i];
            coef[4 + i] = static_cast<double>(s.fix[i]) * across;
        }
        for (int k = 0; k < 8; ++k) {
            const double term = std::fabs(coef[k]) <= kConeZero ? 0.0 : shift[axis] * coef[k];
            total[k] += term;
            size[k] += std::fabs(term);
        }
    }
    if (max_abs4(move) <= kTolRel * parts && is_finite(parts))
        for (int i = 0; i < 4; ++i) move[i] = 0.0;
    double held[8];
    for (int k = 0; k < 4; ++k) held[k] = k < f.nw ? s.uw[f.W[k]] : 0.0;
    for (int i = 0; i < 4; ++i) held[4 + i] = masked(s.fix[i] != 0, s.ub[i]);
    for (int k = 0; k < 8; ++k) {
        // A row's multiplier is for the row scaled by 1 / length: floor scaled alike.
        const double unit = k < f.nw ? length[f.W[k]] : 1.0;
        const double slack = kTolRel * (size[k] + std::fabs(held[k])) + floor * unit;
        if (!(held[k] + total[k] >= -slack)) return Verdict::kNegative;  // NaN fails
    }
    return Verdict::kCertified;
}

// The certificate of working set s for the finite command d, framed at `frame` (a point
// near the answer, in the box; s fixes no infinite bound: proposals let such a side go,
// and any_working_set never fixes one); x receives the set's point.
Verdict certify_set(const MorvexExact4Prepared& P, Active s, const double d[4],
                    const double frame[4], double x[4]) {
    Problem q;
    q.m = static_cast<int>(P.row_count);
    // The scale of the near part: the frame, the near part of d - c and the rows' right
    // sides (not R: a bound of 1e300 standing for no limit widens no tolerance).
    double shift[4], scale = 0x1p-900;
    for (int j = 0; j < q.m; ++j) scale = max2(scale, std::fabs(P.b[j]));
    for (int i = 0; i < 4; ++i) {
        q.c[i] = frame[i];
        const double r = d[i] - q.c[i];
        const bool far = !(std::fabs(r) <= P.far);
        shift[i] = far ? r : 0.0;
        q.r[i] = far ? 0.0 : r;
        q.L[i] = P.lower[i] - q.c[i];
        q.U[i] = P.upper[i] - q.c[i];
        scale = max2(scale, max2(std::fabs(q.c[i]), std::fabs(q.r[i])));
    }
    // The rows in increasing order of the magnitudes their value at the frame adds up:
    // the factor takes them in that order, so what a row evaluated against a frame far
    // out carries of that distance's rounding moves the point only along directions the
    // rows before it leave free (a row on near axes places them exactly).
    const int m = q.m;
    int order[4] = {0, 1, 2, 3};
    double magnitude[4];
    for (int j = 0; j < 4; ++j) magnitude[j] = shifted_row_tol(P.a[j], P.b[j], frame);
    for (int a = 1; a < m; ++a)  // insertion sort
        for (int b = a; b > 0 && magnitude[order[b]] < magnitude[order[b - 1]]; --b) {
            const int t = order[b];
            order[b] = order[b - 1];
            order[b - 1] = t;
        }
    // Each working row scaled to unit length on the axes the set leaves free, so that
    // the factor judges its independence there (a row whose length lies on axes the set
    // fixes keeps 2^-60 of it on a free one, say); its multiplier scales alike.
    const Active given = s;
    double free[4], length[4] = {1, 1, 1, 1};
    free_mask(given, free);
    for (int k = 0; k < 4; ++k) {
        const int j = order[k];
        s.inw[k] = given.inw[j];
        double on_free = 0.0;
        for (int i = 0; i < 4; ++i) on_free += P.a[j][i] * P.a[j][i] * free[i];
        length[k] = s.inw[k] && on_free > 0.0 ? std::sqrt(on_free) : 1.0;
        for (int i = 0; i < 4; ++i) q.A[k][i] = P.a[j][i] / length[k];
        q.bb[k] = (P.b[j] - dot4(P.a[j], q.c)) / length[k];
    }
    Factor f;
    if (!factorise(q, s, f)) return Verdict::kNoFactor;
    double y[4], move[4];
    working_point(q, s, f, y, s.uw, s.ub);
    const Verdict far = far_part_holds(q, s, f, shift, kTolRel * scale, length, move);
    // A free axis within the scale's tolerance of its bound is clamped onto it (the
    // point of a degenerate vertex, say, which lies on a bound it does not fix).
    bool inside = true;
    for (int i = 0; i < 4; ++i) {
        y[i] += move[i];
        const double tol = kTolRel * max2(scale, std::fabs(y[i]));
        inside = inside & !(y[i] > q.U[i] + tol) & !(y[i] < q.L[i] - tol);
        x[i] = frame_value(P, i, q.c[i], y[i], q.L[i], q.U[i]);
        inside = inside & is_finite(x[i]);
    }
    if (!inside || !meets_rows(P, x)) return Verdict::kOutside;
    return far;
}
// certify_set, and the point computed again in its own frame until it settles: the
// frame's rounding stays in the point otherwise (a solve of d that lost the answer
// frames it 2^100 out, say, where the tolerance passes a point that carries 2^-52 of
// that; a far part's null part, 2^1000 along a direction a row holds another axis
// against, leaves that axis the rounding of 2^1000 until the frame holds it). Only the
// settled point's certificate counts.
bool certified(const MorvexExact4Prepared& P, const Active& s, const double d[4],
               const double hint[4], double x[4]) {
    double frame[4];
    for (int i = 0; i < 4; ++i) frame[i] = clamp_axis(hint[i], P.lower[i], P.upper[i]);
    for (int round = 0; round <= kReframes; ++round) {
        const Verdict verdict = certify_set(P, s, d, frame, x);
        if (verdict == Verdict::kNoFactor) return false;
        double size = P.far, apart = 0.0;
        for (int i = 0; i < 4; ++i) {
            size = max2(size, std::fabs(x[i]));
            apart = max2(apart, std::fabs(x[i] - frame[i]));
            frame[i] = x[i];
        }
        if (!(apart > kTolRel * size)) return verdict == Verdict::kCertified;
        if (verdict != Verdict::kCertified && round >= kReframesRefused) return false;
    }
    return false;
}

// ---- Proposals ------------------------------------------------------------------------
// The working set a point x proposes: the bounds it lies on, and the rows it meets with
// equality within twice their tolerance at x, as far as they stay independent.
Active set_at(const MorvexExact4Prepared& P, const double x[4]) {
    Active s{};
    Problem q;
    for (int i = 0; i < 4; ++i) {
        s.fix[i] = x[i] == P.upper[i] ? +1 : x[i] == P.lower[i] ? -1 : 0;
        s.fix[i] = is_finite(x[i]) ? s.fix[i] : 0;
    }
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) q.A[j][i] = P.a[j][i];
    int held = 0;
    for (int i = 0; i < 4; ++i) held += s.fix[i] != 0;
    for (int j = 0; j < static_cast<int>(P.row_count) && held < 4; ++j) {
        const double over = dot4(P.a[j], x) - P.b[j];
        if (!(std::fabs(over) <= 2.0 * shifted_row_tol(P.a[j], P.b[j], x))) continue;
        s.inw[j] = true;
        Factor f;
        if (factorise(q, s, f)) ++held;
        else s.inw[j] = false;
    }
    return s;
}
// A proposal: the working set the solve of command e ends on (or, after a quick exit or
// the enumeration, the one its answer proposes) and that answer, the certificate's hint.
// A fixed bound the given limits do not have (a box's side on an open one) is let go.
bool propose(const MorvexExact4Prepared& limits, const MorvexExact4Prepared& P,
             const double e[4], Active& s, double hint[4], uint32_t* steps) {
    MorvexExact4Result r;
    Active last;
    if (solve_once(limits, e, &r, false, nullptr, &last) != MORVEX_STATUS_OPTIMAL) return false;
    for (int i = 0; i < 4; ++i) hint[i] = r.x[i];
    s = r.steps == 0 || r.steps > kMaxSteps ? set_at(limits, r.x) : last;
    for (int i = 0; i < 4; ++i)
        s.fix[i] = is_finite(s.fix[i] > 0 ? P.upper[i] : P.lower[i]) ? s.fix[i] : 0;
    *steps = r.steps;
    return true;
}
// The far axes of a command: each one's distance beyond its side (from 0 on a side the
// box leaves open), in increasing order of it.
struct FarAxes {
    double dist[4], from[4];
    int order[4], count;
};
FarAxes far_axes_of(const MorvexExact4Prepared& P, const double desired[4]) {
    FarAxes f;
    f.count = 0;
    for (int i = 0; i < 4; ++i) {
        const bool up = far_up(P, desired[i], i), down = far_down(P, desired[i], i);
        const double side = up ? P.upper[i] : P.lower[i];
        f.from[i] = is_finite(side) ? side : 0.0;
        f.dist[i] = up | down ? std::fabs(desired[i] - f.from[i]) : 0.0;
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
// The command moved toward the box: the nearest far axis to base beyond its side, each
// next one the one before times their ratio in d, cut at kGap (so the far axes keep
// their order, and the near axes their weight in the choice of the working set).
// False when that leaves d where it is, or takes it beyond the doubles.
bool moved_command(const double desired[4], const FarAxes& f, double base, double e[4]) {
    bool moved = false, finite = true;
    for (int i = 0; i < 4; ++i) e[i] = desired[i];
    double to = base;
    for (int a = 0; a < f.count; ++a) {
        const int i = f.order[a];
        if (a > 0) to *= min2(f.dist[i] / f.dist[f.order[a - 1]], kGap);
        if (f.dist[i] > to) e[i] = f.from[i] + (desired[i] < f.from[i] ? -to : to);
        moved = moved | (e[i] != desired[i]);
        finite = finite & is_finite(e[i]);
        to = std::fabs(e[i] - f.from[i]);
    }
    return moved & finite;
}
// The limits with every side the box leaves open bounded at R (a proposal for a command
// far out on an open side whose answer lies within R).
MorvexExact4Prepared bounded_at(const MorvexExact4Prepared& P, double R) {
    MorvexExact4Prepared near = P;
    for (int i = 0; i < 4; ++i) {
        near.upper[i] = min2(P.upper[i], R);
        near.lower[i] = max2(P.lower[i], -R);
    }
    return near;
}

// ---- The far command ------------------------------------------------------------------
// The limits judged by a command at their own scale: d clamped into the box and into
// [-R, R], R = P.far.
SolveStatus at_own_scale(const MorvexExact4Prepared& P, const double desired[4]) {
    double c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = clamp_axis(clamp_axis(desired[i], P.lower[i], P.upper[i]), -P.far, P.far);
    MorvexExact4Result probe;
    const SolveStatus status = solve_checked(P, c, &probe, true);
    if (status != MORVEX_STATUS_INFEASIBLE || probe.steps <= kMaxSteps) return status;
    return recheck_enumerated(P, c, &probe);
}
// Every working set (per axis free, lower or upper; any subset of the rows; at most four
// in all), certified in the frame of hint; the first certified, its point in x.
bool enumerate_certified(const MorvexExact4Prepared& P, const double d[4], const double hint[4],
                         double x[4]) {
    return any_working_set(P.lower, P.upper, static_cast<int>(P.row_count),
                           [&](const Active& s) { return certified(P, s, d, hint, x); });
}
// A finite command beyond R from the box. Proposals, in order: the command moved toward
// the box to 16 R, 4096 R and 2^20 R (see moved_command), the command itself, then, for
// a command out on an open side, the limits with the open sides bounded at R, 16 R,
// 256 R and 4096 R; each proposal's working set is certified for d (framed at its
// answer); when none is, every working set is. Limits a solve finds infeasible are
// judged at their own scale, once: INFEASIBLE there is INFEASIBLE for d; feasible limits
// with no certified working set are NUMERICAL_FAILURE.
SolveStatus place_far(const MorvexExact4Prepared& P, const double d[4], MorvexExact4Result* out,
                      bool open_side) {
    const FarAxes axes = far_axes_of(P, d);
    Active s;
    double hint[4], x[4];
    bool hinted = false, refused = false;
    uint32_t steps = 0;
    for (int round = 0; round < kMovedRounds + 1 + kBoxRounds; ++round) {
        double e[4];
        MorvexExact4Prepared boxed;
        const MorvexExact4Prepared* limits = &P;
        for (int i = 0; i < 4; ++i) e[i] = d[i];
        if (round < kMovedRounds) {
            double base = 16.0 * P.far;
            for (int k = 0; k < round; ++k) base *= kMovedStep;
            if (!moved_command(d, axes, base, e)) continue;
        }
        if (round > kMovedRounds) {
            if (!open_side) break;
            double R = P.far;
            for (int k = kMovedRounds + 1; k < round; ++k) R *= 16.0;
            boxed = bounded_at(P, R);
            limits = &boxed;
        }
        if (!propose(*limits, P, e, s, hint, &steps)) {
            refused = true;
            continue;
        }
        hinted = true;
        if (certified(P, s, d, hint, x)) {
            for (int i = 0; i < 4; ++i) out->x[i] = x[i];
            return finish(out, MORVEX_STATUS_OPTIMAL, steps);
        }
    }
    const SolveStatus own =
        refused || !hinted ? at_own_scale(P, d) : SolveStatus{MORVEX_STATUS_OPTIMAL};
    if (own == MORVEX_STATUS_INFEASIBLE) return refuse(P, d, out, own, steps);
    if (!hinted)
        for (int i = 0; i < 4; ++i) hint[i] = clamp_axis(d[i], P.lower[i], P.upper[i]);
    if (enumerate_certified(P, d, hint, x)) {
        for (int i = 0; i < 4; ++i) out->x[i] = x[i];
        return finish(out, MORVEX_STATUS_OPTIMAL, kMaxSteps + 1);
    }
    return refuse(P, d, out, MORVEX_STATUS_NUMERICAL_FAILURE, kMaxSteps + 1);
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
// The status of a command's answer, judged: an answer with an infinite coordinate that
// d does not hold (c + y overflowed: the answer lies farther from c than the largest
// double) is NUMERICAL_FAILURE. When the answer lies beyond R = P.far (or double
// precision could not place it), the limits are judged by a command at their own scale
// too: the tolerance at such an answer grows with its magnitudes, so limits that miss
// each other at their own scale could pass there; INFEASIBLE at their scale is
// INFEASIBLE for d (not for an infinite d on an open side, whose relaxed rows keep
// their own rules).
SolveStatus checked_at_own_scale(const MorvexExact4Prepared& P, const double desired[4],
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
        overflow = overflow | !(is_finite(out->x[i]) | open);
    }
    if (overflow & (status == MORVEX_STATUS_OPTIMAL))
        status = refuse(P, desired, out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    if (at_inf || at_own_scale(P, desired) != MORVEX_STATUS_INFEASIBLE) return status;
    return refuse(P, desired, out, MORVEX_STATUS_INFEASIBLE, out->steps);
}

} // namespace

// An INFEASIBLE the solve's enumeration found (the loop gave up: rounding) checked by the
// certificate: every working set is certified for d, framed at d clamped into the box;
// the first certified is the answer, else the status stands. Not on limits whose
// magnitudes reach 2^1016, where frames overflow and the status is NUMERICAL_FAILURE
// anyway: that keeps the worst call's time.
SolveStatus recheck_enumerated(const MorvexExact4Prepared& P, const double d[4],
                               MorvexExact4Result* out) {
    if (!(P.far <= 0x1p1020)) return MORVEX_STATUS_INFEASIBLE;
    double frame[4], x[4];
    for (int i = 0; i < 4; ++i) frame[i] = clamp_axis(d[i], P.lower[i], P.upper[i]);
    if (!enumerate_certified(P, d, frame, x)) return MORVEX_STATUS_INFEASIBLE;
    for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    return finish(out, MORVEX_STATUS_OPTIMAL, kMaxSteps + 1);
}

// A command beyond R = 16 times the scale of the limits from a side of the box (from 0
// on a side it leaves open), an infinite one, or one on limits the solve cannot use.
// A finite far command: d clamped into the box when that meets the rows (the answer
// however far d is), else placed by its certificate (place_far). An infinite d on a
// bounded side is the far command it stands for; the others keep their own rules (see
// morvex/exact_4d.h): one solve, its answer checked.
SolveStatus solve_far(const MorvexExact4Prepared& P, const double desired[4],
                      MorvexExact4Result* out, bool try_quick) {
    bool finite = P.status == MORVEX_STATUS_OPTIMAL, open_side = false;
    for (int i = 0; i < 4; ++i) {
        finite = finite & is_finite(desired[i]);
        open_side = open_side | (far_up(P, desired[i], i) & (P.upper[i] == INFINITY)) |
                    (far_down(P, desired[i], i) & (P.lower[i] == -INFINITY));
    }
    double mapped[4];
    if (!finite && bounded_infinities(P, desired, mapped)) return solve(P, mapped, out, try_quick);
    if (!finite) return checked_at_own_scale(P, desired, out, solve_checked(P, desired, out, try_quick));
    if (prepared_quick_exit(P, desired, out)) return MORVEX_STATUS_OPTIMAL;
    return checked_at_own_scale(P, desired, out, place_far(P, desired, out, open_side));
}

} // namespace morvex::exact4
