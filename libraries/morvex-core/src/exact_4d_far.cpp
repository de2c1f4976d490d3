// Far commands (see exact_4d_design.md): a finite command beyond R = 16 times the
// limits' scale from the box, an infinite one, and the statuses of limits the solve
// cannot use.
#include "exact_4d_kernel.h"

namespace morvex::exact4 {
namespace {

constexpr int kFarRounds = 4;           // boxes tried for a far command (see solve_far)
constexpr int kMovedRounds = 3;         // distances a far command is moved to (see solve_moved)
constexpr double kGap = 0x1p8;          // ratio of two moved far axes' distances: at most this,
constexpr double kGapFailed = 0x1p4;    // this when the solve of the moved command failed,
constexpr double kGapRefused = 0x1p32;  // this when the move refused its answer
constexpr double kConeZero = 0x1p-40;   // a coefficient of the cone test this near 0 is 0

// Whether moving the command the working set of s was found for by the vector shift
// (d less that command; nonzero only along axes) keeps the multipliers of that
// working set (its rows and fixed bounds, as s holds them; f its factor)
// nonnegative. Each axis is decomposed on the normals on its own: nothing may be
// left in the null space, and coefficients within 2^-40 of zero are taken as zero
// (the shifts may differ by hundreds of binary orders, and the rounding of a large
// one must not hide a small one); each multiplier plus its combined coefficient
// must then be nonnegative beyond 2^-40 of its terms. Then the working set's point
// stays the answer.
// What keeps the answer of a moved command from being the command's own; nothing
// (taken()) when it is its answer.
struct MoveVerdict {
    uint32_t moving = 0;     // bit i: the answer moves with the command along axis i
    bool negative = false;   // the shift would turn a multiplier negative
    bool no_point = false;   // no working set, or its point overflowed or misses a row
    bool not_moved = false;  // the command was not moved at all
    bool taken() const { return moving == 0 && !negative && !no_point && !not_moved; }
};
MoveVerdict no_point() {
    MoveVerdict v;
    v.no_point = true;
    return v;
}

// The verdict: moving for an axis that leaves a part in the null space (the answer
// moves with the command along it), negative for a negative combined multiplier.
MoveVerdict in_working_cone(const Problem& p, const Active& s, const Factor& f,
                            const double shift[4]) {
    // As direction() decomposes n (not called: a second caller would take it out of
    // the loop it is inlined in).
    double total[8] = {0, 0, 0, 0, 0, 0, 0, 0}, size[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    MoveVerdict verdict;
    for (int axis = 0; axis < 4; ++axis) {
        if (shift[axis] == 0.0) continue;
        double nf[4] = {0, 0, 0, 0}, z[4], c[4], w[4] = {0, 0, 0, 0}, coef[8];
        nf[axis] = masked(s.fix[axis] == 0, 1.0);
        project_out(f, f.nw, nf, z, c);
        r_solve(f, c, w);
        verdict.moving |= static_cast<uint32_t>(!(dot4(z, z) <= kDependent)) << axis;
        for (int q = 0; q < 4; ++q) coef[q] = w[q];  // zero past the working rows
        for (int i = 0; i < 4; ++i) {
            // e_axis less its part on the rows, on a fixed axis, toward its bound.
            double across = i == axis ? 1.0 : 0.0;
            for (int q = 0; q < f.nw; ++q) across -= w[q] * p.A[f.W[q]][i];
            coef[4 + i] = static_cast<double>(s.fix[i]) * across;
        }
        for (int k = 0; k < 8; ++k) {
            const double term = std::fabs(coef[k]) <= kConeZero ? 0.0 : shift[axis] * coef[k];
            total[k] += term;
            size[k] += std::fabs(term);
        }
    }
    // The multipliers the working set holds at the command it was found for.
    double held[8];
    for (int q = 0; q < 4; ++q) held[q] = q < f.nw ? s.uw[f.W[q]] : 0.0;
    for (int i = 0; i < 4; ++i) held[4 + i] = masked(s.fix[i] != 0, s.ub[i]);
    for (int k = 0; k < 8; ++k)
        verdict.negative = verdict.negative | (held[k] + total[k] < -kTolRel * (size[k] + held[k]));
    return verdict;
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
// cone test and the working point read is set. Taken with the point; else what the
// cone test found, or no_point (s does not factorise, or the point overflowed).
MoveVerdict working_point_near(const MorvexExact4Prepared& P, const Active& s, const double d[4],
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
    if (!factorise(q, s, f)) return no_point();
    const MoveVerdict verdict = shift != nullptr ? in_working_cone(q, s, f, shift) : MoveVerdict{};
    if (!verdict.taken()) return verdict;
    double y[4];
    working_point(q, s, f, y, nullptr, nullptr);
    bool finite = true;
    for (int i = 0; i < 4; ++i) {
        out[i] = frame_value(P, i, q.c[i], y[i], q.L[i], q.U[i]);
        finite = finite & is_finite(out[i]);
    }
    return finite ? MoveVerdict{} : no_point();
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
// Taken, with the answer in out; not_moved when the command is not moved; else why
// its answer was not taken (as working_point_near; no_point also for a solve that
// ended without a working set or an answer that misses a row at itself).
MoveVerdict solve_moved_once(const MorvexExact4Prepared& P, const double desired[4],
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
    if (!moved) {
        MoveVerdict v;
        v.not_moved = true;
        return v;
    }
    if (beyond_scaling(P, d)) return no_point();
    MorvexExact4Result r;
    Active last;
    const SolveStatus status = solve_once(P, d, &r, false, nullptr, &last);
    // After the loop (not the quick exit nor the enumeration: no working set).
    if (status != MORVEX_STATUS_OPTIMAL || r.steps == 0 || r.steps > kMaxSteps) return no_point();
    double x[4];
    const MoveVerdict verdict = working_point_near(P, last, d, r.x, f.mask, shift, x);
    if (!verdict.taken()) return verdict;
    if (!meets_rows(P, x)) return no_point();
    for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    finish(out, MORVEX_STATUS_OPTIMAL, r.steps);
    return MoveVerdict{};
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
        MoveVerdict verdict = solve_moved_once(P, desired, f, base, kept, false, kGap, out);
        if (verdict.no_point)
            verdict = solve_moved_once(P, desired, f, base, kept, false, kGapFailed, out);
        else if (verdict.negative)
            verdict = solve_moved_once(P, desired, f, base, kept, false, kGapRefused, out);
        if (kept != 0 && !verdict.not_moved && !verdict.taken())
            verdict = solve_moved_once(P, desired, f, base, kept, true, kGap, out);
        if (verdict.taken()) return true;
        if (verdict.not_moved) return false;
        const uint32_t loose = verdict.moving & ~kept;
        if (round == kMovedRounds - 1 && !verdict.no_point && loose != 0) {
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
        // An answer farther from c than the largest double (c + y overflowed).
        overflow = overflow | !(is_finite(out->x[i]) | open);
    }
    if (overflow & (status == MORVEX_STATUS_OPTIMAL)) {
        status = refuse(P, desired, out, MORVEX_STATUS_NUMERICAL_FAILURE, out->steps);
    }
    if (at_inf || at_own_scale(P, desired) != MORVEX_STATUS_INFEASIBLE) return status;
    return refuse(P, desired, out, MORVEX_STATUS_INFEASIBLE, out->steps);
}

// A finite command far out on a side the box leaves open, that no moved command
// settled: the open sides bounded at R, 16 R, 256 R, 4096 R (an answer strictly
// inside is the answer of the limits as given), then the limits as given at the
// scale of d, against the point found in the largest box and the point of that
// solve's working set at the answer's frame; the nearest to d, polished.
SolveStatus solve_open_side(const MorvexExact4Prepared& P, const double desired[4],
                            MorvexExact4Result* out, double R) {
    // R, then 16 R, 256 R, 4096 R: an answer a little beyond R (rows at an angle
    // that places a vertex past the limits' own scale) is still found at its scale.
    MorvexExact4Result found{};
    bool feasible = false;
    for (int round = 0; round < kFarRounds; ++round, R *= 16.0) {
        const Within within = solve_within(P, R, desired, out);
        if (within == kAnswer) {
            polish(P, desired, out);
            return checked_at_own_scale(P, desired, out, MORVEX_STATUS_OPTIMAL);
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
        return checked_at_own_scale(P, desired, out,
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
        working_point_near(P, last, desired, out->x, far_axes_of(P, desired).mask, nullptr, x)
            .taken() &&
        meets_rows(P, x) && nearer(P, x, out->x, desired))
        for (int i = 0; i < 4; ++i) out->x[i] = x[i];
    if (status == MORVEX_STATUS_OPTIMAL) polish(P, desired, out);
    return checked_at_own_scale(P, desired, out, status);
}

} // namespace

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
SolveStatus solve_far(const MorvexExact4Prepared& P, const double desired[4],
                      MorvexExact4Result* out, bool try_quick) {
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
            return checked_at_own_scale(P, desired, out, MORVEX_STATUS_OPTIMAL);
        if (scaling_loses_pull(P, desired))
            return checked_at_own_scale(P, desired, out,
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
        return far | !finite ? checked_at_own_scale(P, desired, out, status) : status;
    }
    return solve_open_side(P, desired, out, R);
}

} // namespace morvex::exact4
