// The dual active-set solve of one command on prepared limits (see
// exact_4d_design.md): the loop, the enumeration it falls back on, and the check of
// an answer on itself.
#include "exact_4d_kernel.h"

namespace morvex::exact4 {
namespace {

constexpr int kMaxRounds = 16;          // projections of an answer again (see certify),
constexpr int kMaxRoundsShrinking = 40; // and while each shrinks the miss by kShrinking
constexpr double kShrinking = 0x1p-8;

// Largest violation of a constraint outside the working set, beyond `tol`.
// kind: 0 none, 1 bound (axis, side), 2 row.
struct Violated {
    int kind;
    int index;
    int side;
    double amount;
};
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
        ok = ok & (dot4(p.A[j], y) - p.bb[j] <= kRowFloor + kTolRel * (p.babs[j] + at_x) - margin);
    }
    return ok;
}
// Every working set solved and checked; the first that satisfies the optimality
// conditions within the tolerances wins. False when none does (infeasible).
bool enumerate(const Problem& p, double y_out[4]) {
    return any_working_set(p.L, p.U, p.m, [&](const Active& s) {
        double y[4], uw[4], ub[4];
        Factor f;
        if (!factorise(p, s, f)) return false;
        working_point(p, s, f, y, uw, ub);
        bool ok = true;
        for (int k = 0; k < 4 && ok; ++k)
            ok = !(s.inw[k] && !(uw[k] >= -p.tol_mult)) && !(s.fix[k] != 0 && !(ub[k] >= -p.tol_mult));
        for (int i = 0; i < 4 && ok; ++i) {
            const double tol = bound_tol(p, i, y);
            ok = !(y[i] > p.U[i] + tol || y[i] < p.L[i] - tol);
        }
        for (int j = 0; j < p.m && ok; ++j) ok = dot4(p.A[j], y) - p.bb[j] <= row_tol(p, j, y);
        if (!ok) return false;
        for (int i = 0; i < 4; ++i) y_out[i] = clamp_axis(y[i], p.L[i], p.U[i]);
        return true;
    });
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
// The partial step: the first multiplier (of a fixed bound or a working row) that the
// step along the direction (rb, rw) brings to zero, its step length (+inf when none),
// and which constraint that is (kind 0 none, 1 bound, 2 row; its index).
inline double first_to_drop(const Active& s, const double rb[4], const double rw[4],
                            int* drop_kind, int* drop) {
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
    *drop_kind = code == 0 ? 0 : code < 5 ? 1 : 2;
    *drop = code < 5 ? code - 1 : code - 5;
    return t1;
}

// The violated constraint v as a normal n and right side beta (n . y <= beta).
inline void normal_of(const Problem& p, const Violated& v, double n[4], double* beta) {
    for (int i = 0; i < 4; ++i) n[i] = 0.0;
    if (v.kind == 1) {
        n[v.index] = static_cast<double>(v.side);
        *beta = v.side > 0 ? p.U[v.index] : -p.L[v.index];
    } else {
        for (int i = 0; i < 4; ++i) n[i] = p.A[v.index][i];
        *beta = p.bb[v.index];
    }
}

// A full step adds v to the working set with multiplier up: a bound fixes its axis
// (the factor must be built again: false), a row is appended to the factor from the
// step's own projection (true).
inline bool add_constraint(const Problem& p, const Violated& v, double up, const double nf[4],
                           const double z[4], const double cf[4], double zz, Active& s,
                           Factor& f, double y[4]) {
    if (v.kind == 1) {
        s.fix[v.index] = v.side;
        s.ub[v.index] = up;
        y[v.index] = v.side > 0 ? p.U[v.index] : p.L[v.index];
        return false;
    }
    s.inw[v.index] = true;
    s.uw[v.index] = up;
    append(f, v.index, nf, z, cf, zz);
    return true;
}

// A partial step drops the constraint whose multiplier reached zero.
inline void drop_constraint(int kind, int index, Active& s) {
    if (kind == 1) {
        s.fix[index] = 0;
        s.ub[index] = 0.0;
    } else {
        s.inw[index] = false;
        s.uw[index] = 0.0;
    }
}

// The loop gave up (rounding led it astray, or its steps ran out): every working set
// decides, and the steps reported say so.
inline SolveStatus every_working_set(const Problem& p, double y[4], uint32_t* steps_out) {
    *steps_out = kMaxSteps + 1;
    return enumerate(p, y) ? MORVEX_STATUS_OPTIMAL : MORVEX_STATUS_INFEASIBLE;
}
// The answer of the loop's final working set s (iterate y, factor f when fresh).
// *at_x tells whether it was found to meet the rows at x = c + y itself.
inline SolveStatus loop_answer(const Problem& p, Active& s, Factor& f, bool fresh, double y[4],
                               uint32_t* steps_out, bool* at_x) {
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
    return every_working_set(p, y, steps_out);  // rounding led the loop astray
}

// The least of h . y over the box [L, U] (h = 0 on an axis adds nothing, whatever its
// bounds).
inline double least_over_box(const Problem& p, int i, double h) {
    return h == 0.0 ? 0.0 : min2(h * p.L[i], h * p.U[i]);
}
// Whether the loop's verdict "infeasible" stands however its rounding went: the
// working set's multipliers for n (w on the rows, rb on the fixed bounds, none falling)
// give n = sum w_k a_k + across, so every point y of the box that meets the working
// constraints has n . y at least the sum below of each part's least value (for a row,
// w_k bb_k when w_k <= 0; for a fixed axis, its multiplier times its bound; for any
// other part, its least over the box). When that exceeds beta by more than the rounding
// of the sum and of `across` over the box, no such point meets n . y <= beta. Where the
// box is open on an axis the multipliers reach, the verdict stands as the loop's
// tolerances made it; where it is finite but the bound falls short (a row that keeps
// 2^-60 of its length on the free axes, in a box reaching 1e39), the verdict is
// rounding's: false.
[[gnu::noinline]] bool infeasible_for_sure(const Problem& p, const Active& s, const double n[4],
                                            double beta, const double rw[4], const double rb[4]) {
    double least = -beta, size = std::fabs(beta), spread = 0.0;
    double across[4] = {n[0], n[1], n[2], n[3]}, weight[4];
    for (int i = 0; i < 4; ++i) weight[i] = std::fabs(n[i]);
    for (int k = 0; k < p.m; ++k) {
        const double w = s.inw[k] ? rw[k] : 0.0;
        if (w == 0.0) continue;
        double part = w * p.bb[k];
        if (w > 0.0) {  // (falling by less than kPositive: read over the box)
            part = 0.0;
            for (int i = 0; i < 4; ++i) part += least_over_box(p, i, w * p.A[k][i]);
        }
        least += part;
        size += std::fabs(part);
        for (int i = 0; i < 4; ++i) across[i] -= w * p.A[k][i], weight[i] += std::fabs(w * p.A[k][i]);
    }
    for (int i = 0; i < 4; ++i) {
        const double reach = max2(std::fabs(p.L[i]), std::fabs(p.U[i]));
        if (weight[i] != 0.0 && !(reach <= DBL_MAX)) return true;  // an open side: as it was
        const double bound = s.fix[i] > 0 ? p.U[i] : p.L[i];
        const double part = s.fix[i] != 0 && !(rb[i] > 0.0) ? across[i] * bound
                                                              : least_over_box(p, i, across[i]);
        least += part;
        size += std::fabs(part);
        spread += weight[i] * reach;
    }
    return least > 0x1p-48 * (size + spread);
}
// Whether the violated constraint's normal, less its part on the working rows (z,
// ||z||^2 = zz), lies in the span of the working set. With no working row, z is the
// normal on the free axes exactly (no rounding): any part there moves the iterate, and a
// row whose coefficients there are 2^-60 of the one on a fixed axis is met by a step of
// 2^60 along them. With working rows, z carries their rounding: below kDependent it is
// that rounding.
inline bool depends_on_working_set(int nw, double zz) {
    return nw == 0 ? !(zz >= kNormalSquare) : zz <= kDependent;
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
            double n[4], beta;
            normal_of(p, v, n, &beta);
            if (!fresh) fresh = factorise(p, s, f);
            if (steps >= kMaxSteps || !fresh) return every_working_set(p, y, steps_out);
            double nf[4], z[4], rw[4], rb[4], cf[4] = {0, 0, 0, 0};
            direction(p, s, f, n, nf, z, rw, rb, cf);
            ++steps;
            // Partial step: the first multiplier to reach zero.
            int drop_kind, drop;
            const double t1 = first_to_drop(s, rb, rw, &drop_kind, &drop);
            const double zz = dot4(z, z);
            double t;
            bool full;
            if (depends_on_working_set(f.nw, zz)) {
                if (drop_kind == 0) {
                    // No step removes the violation and nothing can be dropped: the
                    // limits are infeasible, unless the violation is at the rounding
                    // of the iterate (a bound with c = 0 missed by the last bit of a
                    // step along other axes, say): then it is met, and the working
                    // set decides the answer.
                    if (!(v.amount > kTolRel * (max_abs4(y) + max_abs4(p.c)))) goto answer;
                    if (!infeasible_for_sure(p, s, n, beta, rw, rb))
                        return every_working_set(p, y, steps_out);  // rounding's verdict
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
                fresh = add_constraint(p, v, up, nf, z, cf, zz, s, f, y) && fresh;
                break;
            }
            if (drop_kind == 0) {
                // Neither a full step nor a multiplier to drop: the step length is
                // NaN (an iterate that overflowed). Every working set decides.
                return every_working_set(p, y, steps_out);
            }
            drop_constraint(drop_kind, drop, s);
            fresh = false;
        }
    }
answer:
    *steps_out = static_cast<uint32_t>(steps);
    if (last != nullptr) *last = s;
    return loop_answer(p, s, f, fresh, y, steps_out, at_x);
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
// The largest amount by which x misses a kept row beyond the allowance of meets_rows
// (0 when it meets them all; a NaN value is passed over).
double largest_miss(const MorvexExact4Prepared& P, const double x[4]) {
    double miss = 0.0;
    for (int j = 0; j < static_cast<int>(P.row_count); ++j)
        miss = max2(miss, dot4(P.a[j], x) - P.b[j] - 2.0 * shifted_row_tol(P.a[j], P.b[j], x));
    return miss;
}
// Each projection again shrinks what rounding leaves of the miss by about 2^-52 of the
// magnitudes; where the answer lies in the subnormal range (rows whose right sides
// round to 0 there), from a first miss of 2^-200, that takes twenty rounds: past the
// sixteenth, rounds go on while each shrinks the largest miss by 2^-8 at least.
SolveStatus certify(const MorvexExact4Prepared& P, const double desired[4], MorvexExact4Result* out,
                    SolveStatus status) {
    if (status != MORVEX_STATUS_OPTIMAL || out->steps == 0) return status;
    const uint32_t steps = out->steps;
    SolveStatus verdict = MORVEX_STATUS_NUMERICAL_FAILURE;
    double last_miss = INFINITY;
    for (int round = 0; round < kMaxRoundsShrinking; ++round) {
        if (meets_rows(P, out->x)) return finish(out, MORVEX_STATUS_OPTIMAL, steps);
        const double miss = largest_miss(P, out->x);
        if (round >= kMaxRounds && !(miss <= kShrinking * last_miss)) break;
        last_miss = miss;
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

} // namespace

// INVALID_INPUT for a command the limits refuse (a NaN; an infinite value on an open
// side that a used row limits there), else OPTIMAL; *infinite: d has an infinity.
// Invalid input wins over infeasible limits.
inline SolveStatus command_status(const MorvexExact4Prepared& P, const double d[4],
                                  bool* infinite_out) {
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
    *infinite_out = infinite;
    return invalid ? SolveStatus{MORVEX_STATUS_INVALID_INPUT} : SolveStatus{MORVEX_STATUS_OPTIMAL};
}

// The frame of the solve (see exact_4d_design.md): c = d clamped into the box, the
// target r = d - c, the box shifted by c; an infinite d on an open side is the answer
// there (at_inf) and relaxes the rows that have a coefficient there (enabled false);
// on a bounded side it stands for a command 2^900 beyond it. A d beyond 2^900 is
// brought toward c along the line.
inline void set_frame(const MorvexExact4Prepared& P, const double d[4], bool infinite, Problem& p,
                      double c[4], bool at_inf[4], bool enabled[4]) {
    double S = 0.0;  // the largest |c|, for the multipliers' tolerance
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
}

// The rows in the frame of c: right sides shifted, their tolerances at c; with an
// infinite d, the enabled rows first and the others never violated. True when d
// clamped into the box meets every row already (the quick exit of the loop).
inline bool set_rows(const MorvexExact4Prepared& P, const double c[4], bool infinite,
                     const bool enabled[4], Problem& p) {
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
    return quick;
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
                       MorvexExact4Result* out, bool try_quick, bool* met, Active* last) {
    if (met != nullptr) *met = false;
    if (try_quick && prepared_quick_exit(P, desired, out)) return MORVEX_STATUS_OPTIMAL;
    double d[4];
    for (int i = 0; i < 4; ++i) d[i] = desired[i];
    bool infinite = false;
    const SolveStatus command = command_status(P, d, &infinite);
    const bool invalid = command != MORVEX_STATUS_OPTIMAL;
    if (invalid || P.status != MORVEX_STATUS_OPTIMAL) {
        return refuse(P, d, out, invalid ? SolveStatus{MORVEX_STATUS_INVALID_INPUT} : P.status, 0);
    }
    Problem p;
    bool enabled[4] = {true, true, true, true};
    bool at_inf[4] = {false, false, false, false};
    double c[4];
    set_frame(P, d, infinite, p, c, at_inf, enabled);
    const bool quick = set_rows(P, c, infinite, enabled, p);
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
// One solve, its answer checked on itself unless the solve found it meeting the
// rows there already.
// *last as for solve_once (of the first solve, whose steps are reported).
SolveStatus solve_checked(const MorvexExact4Prepared& P, const double desired[4],
                          MorvexExact4Result* out, bool try_quick, Active* last) {
    bool met = false;
    const SolveStatus status = solve_once(P, desired, out, try_quick, &met, last);
    return met ? status : certify(P, desired, out, status);
}

} // namespace morvex::exact4
