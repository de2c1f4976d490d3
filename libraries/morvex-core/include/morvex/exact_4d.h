/* morvex/exact_4d.h: the exact four-axis projection, callable from C (C99) and C++.
 *
 * Computes, in double precision, the minimiser of ||x - d||^2 over
 *     lower[i] <= x[i] <= upper[i]          (i = 0..3)
 *     a[j] . x <= b[j]                      (j = 0..row_count-1, row_count <= 4)
 * with a dual active-set method specialised for four axes: bounds are handled
 * by fixing coordinates, rows are normalised, the working rows are kept with an
 * orthonormal basis of their span (never their Gram matrix), every tolerance is
 * relative to the scale of the limits. No allocation, no global state, no lock: thread-safe and
 * reentrant. The records belong to the caller for the call only.
 *
 * Status (the SolveStatus codes of morvex/core.h; no other value is written):
 *   MORVEX_STATUS_OPTIMAL (1)        x is the minimiser (see "Accuracy").
 *   MORVEX_STATUS_INFEASIBLE (3)     no point meets the limits (see "Tolerance").
 *   MORVEX_STATUS_NUMERICAL_FAILURE (4)  a finite command so far out on an axis the box
 *                                    leaves open, or beyond a side of the box, that
 *                                    double precision lost its answer, though points
 *                                    meet the limits (see "Far commands", "Accuracy"),
 *                                    or an answer that rounding keeps from meeting a row
 *                                    at itself (see "Tolerance"; seen only with limits
 *                                    whose products reach 2^900), an answer farther
 *                                    from d clamped into the box than the largest double,
 *                                    or limits whose magnitudes reach 2^1016 (where the
 *                                    solve's frame itself can overflow) that the loop
 *                                    could not decide (never INFEASIBLE there), or a
 *                                    command far out on an open side beside one beyond
 *                                    2^908 on another (see "Far commands").
 *   MORVEX_STATUS_INVALID_INPUT (0)  a null pointer (nothing is written then), row_count > 4,
 *                                    a NaN anywhere read (desired, bounds, used rows),
 *                                    lower[i] > upper[i], lower[i] = +inf or upper[i] = -inf,
 *                                    an infinite row coefficient, or an infinite desired
 *                                    value on an axis whose bound on that side is infinite
 *                                    while a used row would limit it on that side
 *                                    (a[j][i] * d[i] > 0).
 * On INFEASIBLE, NUMERICAL_FAILURE and INVALID_INPUT, x is d clamped into the box (per axis: lower if
 * d < lower, else upper if d > upper, else d), so it may hold a NaN it was given.
 *
 * Special values:
 *   - A row whose coefficients are all zero is met iff b >= 0 (it is then ignored;
 *     otherwise the limits are infeasible). A row with b = +inf is always met;
 *     b = -inf is never met (INFEASIBLE).
 *   - An infinite bound is no bound. An infinite desired value on a side whose
 *     bound is finite stands for a command 2^900 beyond that bound (and is solved as
 *     that far command, see "Far commands"): the answer goes to that bound when the
 *     rows allow it. An infinite desired value on an unbounded side, on an axis no
 *     used row limits on that side, is the answer on that axis (x[i] = d[i]); the
 *     rows that it relaxes are then met.
 *   - Rows at or beyond row_count are never read.
 *
 * Tolerance. Each constraint has its own tolerance, relative to the magnitudes
 * its evaluation adds up at the point examined: with rows of unit length, the solve
 * takes x as meeting row j when a[j] . x - b[j] <= 2^-40 (|b[j]| + sum_i |a[j][i]
 * x[i]|) (x taken as c + (x - c), c being d clamped into the box, each part
 * counted), and a bound when it is off by at most 2^-40 (|c[i]| + |x[i] - c[i]|).
 * Counted in parts, the tolerance grows with the distance from c to x; so every
 * answer is then checked on x itself, and one that misses a row by more than
 * 2^-39 (|b[j]| + sum_i |a[j][i] x[i]|) is projected again from where it landed
 * (a point that meets the limits at itself meets them in parts from any c): at most
 * 16 times, until it meets them or the limits are found INFEASIBLE. So an OPTIMAL x
 * meets every row at itself within 2^-39 of those magnitudes, whatever d was, and
 * limits that miss each other by more at every point are never OPTIMAL (they are
 * INFEASIBLE, or NUMERICAL_FAILURE as said under Status). A bound or
 * right side of 1e39 standing for "no limit" loosens no other constraint. Bounds
 * are always met exactly: an OPTIMAL x lies in the box. Rows are normalised to unit
 * length first: a coefficient below 2^-1022 of its row's length is then held as a
 * subnormal number or zero, and the row is met as so held (a value that differs
 * from the given one by at most 2^-1074 ||a[j]|| sum_i |x[i]|).
 *
 * Far commands. A finite desired value beyond R = 16 times the scale of the limits
 * (the largest finite bound and |b| of a unit row) from a side of the box (from 0 on
 * a side the box leaves open) gives multipliers that grow with its distance: those of
 * the constraints that place the answer would drown in their rounding. (When d
 * clamped into the box meets the rows, that is the answer, as for any d.) So such a
 * command is first moved toward the box: the nearest far axis to 16 R beyond its
 * side, then 4096 R, then 2^20 R, the farther ones keeping the order of their
 * distances and their ratios up to 2^8 (a larger gap is cut to 2^8; when the solve
 * of that moved command fails, to 2^4; when the move refuses its answer as below, to
 * 2^32, so that the pulls of nearer far axes balance at their own ratio). When the
 * shift from the moved command d' to d keeps the multipliers of the constraints that
 * hold the answer x' for d' nonnegative (its final working set: each axis of the shift
 * decomposed on its normals on its own, coefficients within 2^-40 of zero taken as
 * zero, each constraint's multiplier at d' plus its change), x' meets the
 * optimality conditions for d too and is its answer; it is computed again
 * from that working set with the frame on the far axes at x', so at the limits' own
 * scale. An axis along which the answer still moves with the command at the largest
 * distance (an open axis no row stops) is left where it is and the distances are
 * tried again (also with the farther axes placed beyond it, when their pull at the
 * nearer distances turned the answer or left it moving with them). A moved command
 * is never placed beyond 2^900 (the solve would move it again, see "Accuracy").
 * Otherwise, a command that is far out on an open side (beyond R and 2^892) and that
 * the solve would move toward the box by more than 2^8 (a distance beyond 2^908 on
 * another axis), an axis so moved being open on its other side, is NUMERICAL_FAILURE:
 * moving it keeps the ratios of the distances it scales, not their ratio to the open
 * axis, so the answer would be another command's. Otherwise, for a command far out
 * on an open side: the open sides are bounded at R, then 16 R, 256 R and 4096 R; as soon as the
 * answer stays inside, it is the answer of the limits as given (they are convex);
 * else the limits as given are solved on x - c, where x = c + (x - c) carries about
 * 2^-52 |d|, and of that answer (checked and projected again as above), the last
 * point found inside a box, and the point of that solve's working set computed with
 * the frame at the answer, the nearest to d is kept. If the limits as given are then
 * found infeasible though points met them inside a box, the status is
 * NUMERICAL_FAILURE. Last, the near axes of d are projected again with each far axis
 * held at the answer's value, and that point replaces the answer when it meets the
 * rows at itself and is nearer d. "Nearer" leaves out an axis where two points agree
 * within the feasibility tolerance: on a far axis such a difference, times |d|, would
 * outweigh every other axis. When a far command's answer lies beyond R, where the
 * tolerance grows with its magnitudes, the limits are also judged by a command at
 * their own scale (d clamped into the box and into [-R, R]): INFEASIBLE there is
 * INFEASIBLE for d, so limits that miss each other by a hair do not pass as met far
 * out. Far commands always get an answer inside the limits or a refusal. Measured
 * against exact rational arithmetic (commands 2^10 to 2^1000 out, 2^1020 beyond a
 * side): 72,000 far out on one of one or two open axes and 30,000 far beyond a side
 * of the box, all the minimiser; 54,000 far out on two or three axes at once at
 * distances of their own (each axis opened or not), all the minimiser but one
 * NUMERICAL_FAILURE (an answer 2e30 out on two open axes beside an axis the rows
 * hold at the limits' scale: the solve places it with the rounding of 2e30); 57,900
 * such commands on limits of every test family (infeasible ones and infinite
 * commands among them), no wrong status or answer and 19 NUMERICAL_FAILURE (18
 * commands just above 2^1000 beside a far open axis, as said above, and one like the
 * one before, its answer 2e150 out).
 * Clamp commands to the range of the machine before projecting them.
 *
 * Accuracy. An OPTIMAL x is within a few units of 2^-40 S of the exact minimiser,
 * S the largest magnitude of the limits, c and x (the tests check 1e-9 S against
 * exact rational arithmetic). The solve works on x - c where c is d clamped into the
 * box, so a desired point far outside a bounded box (1e38 and beyond) does not lose
 * the answer to cancellation in x; its multipliers are kept near the limits' scale
 * as said under "Far commands" (beyond 2^900 the solve of d itself moves d toward
 * the box along the line, so that they stay finite). For far commands see above.
 * When the point of the solve's final working set misses a constraint by its
 * rounding (a vertex far out on some axes places the others with the rounding of
 * those magnitudes), it is refined once: the point of that working set for the
 * problem shifted to it is added to it.
 *
 * Bounded time. The dual active-set loop adds one constraint per full step after at
 * most four removals; every addition ends on a working set never met before (the
 * dual objective increases strictly), but the loop is cut at
 * MORVEX_EXACT4_MAX_STEPS (64) steps. Should rounding ever reach the cut, or leave
 * the working set numerically dependent or its point outside the limits, every
 * working set (at most 576: per axis none, lower or upper, any subset of rows, at
 * most four in all) is solved and checked instead, and `steps` reports
 * MORVEX_EXACT4_MAX_STEPS + 1. Only extreme data gets there: rows that keep less
 * than about 2^-48 of their length on the axes left free, or limits near the top
 * of the double range (2^1000) whose step lengths overflow. So a call does at most
 * 64 steps plus 576 small solves: measured worst 35 us on a 2-core x86-64 (four
 * rows, 64 steps then the enumeration; bench/README.md); a generic problem takes
 * 0.02 to 1 us. A call takes at most 17 such solves (one, then at most 16
 * projections again; almost always none). A far command (above) takes at most 42
 * moved solves (three distances, each tried again with the gaps cut otherwise,
 * then three times three for each far axis left where it is),
 * then on an open side at most 102: one in each of the four boxes, one on the
 * limits as given and one on the face, each with its projections again; beyond a
 * side of the box at most 34 (the solve and the one on the face). Measured on
 * 20,000 far commands of each kind: 0.5 to 0.7 us in the median, 10 us at most.
 *
 * Thin wedges. Two kept rows nearly parallel or nearly opposite (1 - |cos| below
 * 2^-12, a sine above 2^-50) meet along a thin wedge: a point meeting both within
 * the tolerance above can lie that tolerance over their angle from the minimiser, and
 * their working set is conditioned about 1 / angle. On such limits (whose scale R is
 * at most 2^600), every answer of a command within 2^40 R of the box, and every
 * INFEASIBLE or NUMERICAL_FAILURE for one, is settled: from the working set the answer
 * proposes (constraints added or dropped as found, at most 12 times, then every
 * working set), a working set's point is refined (at most 11 rounds) with every
 * residual computed exactly from the rows as given (products and sums with their
 * rounding errors) and the point held in two doubles, and taken only when every
 * multiplier is nonnegative (within 2^-40 of the scale) and every other constraint is
 * met within 2^-60 of its magnitudes at it: those are the optimality conditions, so it
 * is the minimiser (the answer keeps its bits when it lies within 2^-45 of the scale
 * of it). So such limits, when feasible, are not refused, and their answers have the
 * accuracy stated below. Measured against exact rational arithmetic: 12,000 problems
 * of rows equal up to a relative 1e-9 to 1e-13 (either sign, with and without slack,
 * commands up to 1e9 out), all the minimiser (the loop alone: 143 of 2,000 off by up
 * to 1e7, 13 refused). A call on such limits takes at most 12 + 576 such working sets.
 *
 * Float records. morvex_solve_exact_4d_f32 reads the four-axis kernel's own float
 * records (core.h), widens them exactly to double and solves the same problem: no
 * rounding of the data happens, so float32 limits that are infeasible only through
 * the rounding of their decimal values (two rows meant to touch that now miss by an
 * ulp of float, about 6e-8 relative) are INFEASIBLE: the tolerance above is far
 * below float precision. Widen such limits by a few float ulps. The double answer x is
 * then rounded to a float point u that meets every bound exactly and every row as
 * evaluated in double on the float values (((a0 u0 + a1 u1) + a2 u2) + a3 u3 <= b),
 * within 8 float ulps of x per axis (an ulp of float at x[i], 2^-149 at least),
 * whenever such a float point exists: failing cheaper roundings, the float points
 * within 8 ulps are searched until one is found. When none exists (rows that touch,
 * or meet at a vertex too sharp for the float grid there), u is the float point
 * nearest x in the box: bounds met exactly, within half an ulp of x per axis, a row
 * missed by at most half an ulp of each of its terms (plus the double tolerance).
 * The rounding costs little when the nearest float point or one rounded toward the
 * rows' inside does (about 80% of answers on rows); it may take three more double
 * solves and a search of the float points within reach (about 1% of answers at
 * vertices): measured worst 0.5 ms, on thin wedges.
 */
#ifndef MORVEX_EXACT_4D_H
#define MORVEX_EXACT_4D_H

#include <stddef.h>
#include <stdint.h>

#include "morvex/core.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MORVEX_EXACT4_MAX_STEPS 64

/* The limits: box and up to four rows, in double precision. */
typedef struct MorvexLimits4 {
    double lower[4];    /* lower bound of axis 0..3; -INFINITY for none */
    double upper[4];    /* upper bound of axis 0..3; +INFINITY for none */
    double a[4][4];     /* row j holds the coefficients of axes 0..3 */
    double b[4];        /* right side of row j */
    uint32_t row_count; /* rows in use, 0..4 */
    uint32_t reserved;  /* never read */
} MorvexLimits4;

/* Written by the solve: the answer, its status and the number of active-set steps
 * (0 on the quick exit; MORVEX_EXACT4_MAX_STEPS + 1 when the enumeration ran). */
typedef struct MorvexExact4Result {
    double x[4];
    SolveStatus status;
    uint32_t steps;
} MorvexExact4Result;

/* The limits checked and the rows normalised once, for repeated solves with the
 * same limits. Fill it with morvex_exact_4d_prepare; treat its fields as private. */
typedef struct MorvexExact4Prepared {
    double lower[4];
    double upper[4];
    double a[4][4];      /* kept rows, unit length */
    double b[4];         /* their right sides, divided by the row's length */
    double far;          /* 16 x the largest finite bound or |b| of a kept row (see
                            "Far commands"), at least 2^-896 */
    uint32_t positive;   /* bit 4j+i: kept row j has a coefficient > 0 on axis i */
    uint32_t negative;   /* bit 4j+i: kept row j has a coefficient < 0 on axis i */
    uint32_t row_count;  /* kept rows */
    SolveStatus status;  /* OPTIMAL when usable, else INVALID_INPUT or INFEASIBLE */
    uint32_t thin;       /* bit j: kept row j is nearly parallel or opposite to another
                            kept row (a thin wedge, see "Thin wedges") */
    uint32_t reserved;   /* 0 */
    /* Written and read only on thin wedges (last, away from what every solve reads). */
    double exact_a[4][4]; /* kept rows as given, scaled by a power of two (exact) */
    double exact_b[4];   /* their right sides, scaled alike */
    double unit[4];      /* a[j] = exact_a[j] * unit[j] (rounded) */
} MorvexExact4Prepared;

/* Projects desired[0..3] onto the limits. Returns the status, also written into
 * out->status. With a null pointer it returns INVALID_INPUT and writes nothing. */
MORVEX_API SolveStatus morvex_exact_4d(const MorvexLimits4* limits, const double desired[4],
                                       MorvexExact4Result* out);

/* Checks the limits and fills `prepared`; returns prepared->status: OPTIMAL (usable),
 * INVALID_INPUT (see above), or INFEASIBLE when a row alone is never met (a zero
 * row with b < 0, b = -inf). Whether the limits as a whole admit a point does not
 * depend on d: one solve with any desired vector tells. With a null pointer it
 * returns INVALID_INPUT and writes nothing. */
MORVEX_API SolveStatus morvex_exact_4d_prepare(const MorvexLimits4* limits,
                                               MorvexExact4Prepared* prepared);

/* morvex_exact_4d on prepared limits: the same answer, bit for bit. */
MORVEX_API SolveStatus morvex_exact_4d_solve(const MorvexExact4Prepared* prepared,
                                             const double desired[4], MorvexExact4Result* out);

/* Drop-in for morvex_solve_multivar_4d with the same records and result: -1 when a
 * pointer is null (nothing is read or written), otherwise 0 with out->u, out->status
 * (OPTIMAL, INFEASIBLE or INVALID_INPUT only) and out->iterations (the steps above)
 * written; the padding is not written. u is the double answer rounded to float (see
 * "Float records"); on INFEASIBLE and INVALID_INPUT it is u_desired
 * clamped into the box. `u_desired` may alias out->u. */
MORVEX_API int32_t morvex_solve_exact_4d_f32(const float u_desired[4], const Bounds4* bounds,
                                             const Constraints4* constraints, Solution4* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

MORVEX_STATIC_ASSERT(sizeof(double) == 8, "double must be IEEE 754 binary64");
MORVEX_STATIC_ASSERT(sizeof(MorvexLimits4) == 232, "MorvexLimits4 is 232 bytes");
MORVEX_STATIC_ASSERT(offsetof(MorvexLimits4, a) == 64, "MorvexLimits4.a at 64");
MORVEX_STATIC_ASSERT(offsetof(MorvexLimits4, b) == 192, "MorvexLimits4.b at 192");
MORVEX_STATIC_ASSERT(offsetof(MorvexLimits4, row_count) == 224, "MorvexLimits4.row_count at 224");
MORVEX_STATIC_ASSERT(sizeof(MorvexExact4Result) == 40, "MorvexExact4Result is 40 bytes");
MORVEX_STATIC_ASSERT(offsetof(MorvexExact4Result, status) == 32, "MorvexExact4Result.status at 32");
MORVEX_STATIC_ASSERT(offsetof(MorvexExact4Result, steps) == 36, "MorvexExact4Result.steps at 36");

#endif /* MORVEX_EXACT_4D_H */
