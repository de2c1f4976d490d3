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
 *                                    no working set could be certified for it, though
 *                                    points meet the limits (see "Far commands"),
 *                                    or an answer that rounding keeps from meeting a row
 *                                    at itself (see "Tolerance"; seen only with limits
 *                                    whose products reach 2^900), an answer farther
 *                                    from d clamped into the box than the largest double,
 *                                    or limits whose magnitudes reach 2^1016 (where the
 *                                    solve's frame itself can overflow) that the loop
 *                                    could not decide (never INFEASIBLE there).
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
 * 16 times, then while each time shrinks the largest miss by 2^-8 (40 in all), until
 * it meets them or the limits are found INFEASIBLE. So an OPTIMAL x
 * meets every row at itself within 2^-39 of those magnitudes, whatever d was, and
 * limits that miss each other by more at every point are never OPTIMAL (they are
 * INFEASIBLE, or NUMERICAL_FAILURE as said under Status). A bound or
 * right side of 1e39 standing for "no limit" loosens no other constraint. Bounds
 * are always met exactly: an OPTIMAL x lies in the box. Rows are normalised to unit
 * length first: a coefficient below 2^-1022 of its row's length is then held as a
 * subnormal number or zero, and the row is met as so held (a value that differs
 * from the given one by at most 2^-1074 ||a[j]|| sum_i |x[i]|). Where the unit row's
 * right side or its products at x are subnormal, doubles keep only an absolute
 * precision of 2^-1074: every tolerance above also holds 2^-1073 (of a unit row), so
 * limits met only there are not refused, and a row is met within a further
 * 2^-1071 ||a[j]||.
 *
 * Far commands. A finite desired value beyond R = 16 times the scale of the limits
 * (the largest finite bound and |b| of a unit row) from a side of the box (from 0 on
 * a side the box leaves open) always gets an answer inside the limits or a refusal.
 * It is OPTIMAL only with a certificate for d itself: x is the point of a working set
 * that meets the limits at itself, and the multipliers of d - x on the set's normals
 * are nonnegative (d - x split at a point near the answer into a near part, solved
 * at the limits' scale, and a far part decomposed on the set one axis at a time, so
 * that the far distances' rounding does not drown the near multipliers). Then d - x
 * is a nonnegative combination of the normals of constraints x meets: x satisfies the
 * optimality conditions of a convex problem, so it is the minimiser. Solves (of d
 * moved toward the box, of d, of the limits with open sides bounded) only propose
 * working sets; when none is certified, every working set is tried. Limits a solve
 * finds infeasible are judged once at their own scale: INFEASIBLE there is INFEASIBLE
 * for d; feasible limits with no certified working set are NUMERICAL_FAILURE. A
 * command within R that the solve refuses as infeasible is placed the same way
 * against the scale of d clamped into the box and the rows (a bound of 3.4e38 meaning
 * no limit counts in R), or of the rows alone when d clamped into the box lies beyond
 * them, and an INFEASIBLE that the solve's enumeration found is checked by the
 * certificate over every working set (also when the first of those finds the limits
 * infeasible: the answer may lie at a bound beyond that scale), as is a
 * NUMERICAL_FAILURE of that enumeration on a command within R, and an INFEASIBLE of a
 * solve on limits reaching 2^36 times beyond d clamped into the box and the rows'
 * right sides (on infeasible limits of that reach, a call takes about 100 us). Measured against exact rational
 * arithmetic on 240,000 such commands (2^10 to 2^1020 out): no wrong answer or
 * status, 1 NUMERICAL_FAILURE (src/exact_4d_design.md). Clamp commands to the range
 * of the machine before projecting them.
 *
 * Accuracy. An OPTIMAL x is within a few units of 2^-40 S of the exact minimiser,
 * S the largest magnitude of the limits, c and x (the tests check 1e-9 S against
 * exact rational arithmetic), far commands and thin wedges included.
 *
 * Where these promises are measured. The figures above hold on the test families and on
 * the Python fuzzer's limits (rows of small integers scaled by 2^-60 to 2^60). On limits
 * whose rows mix coefficients hundreds of binary orders apart (1e-200 beside 1e100 in one
 * row), with bounds and right sides up to the largest double, they do not all hold
 * (bench/exact_4d_extremes.py: 24,000 commands on 3,000 such limit sets, each feasible
 * by construction): 0.6% of the answers are OPTIMAL but off the exact minimiser by more
 * than 1e-9 S (far commands, where a row nearly parallel to a side of the box is met
 * within its tolerance or the far part's null space is lost to rounding, and limits
 * whose magnitudes reach 1e306), and 1.7% are refused as
 * INFEASIBLE, 0.7% as NUMERICAL_FAILURE.
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
 * 0.02 to 1 us. A call takes at most 41 such solves (one, then at most 40
 * projections again, past 16 only while each shrinks the miss; almost always none). A far command (above) takes at most eight
 * proposing solves (three moved commands, d, four bounded boxes), a certificate of
 * each (at most nine small solves, as its point is framed again where it landed) and,
 * when none is certified, the certificates of the 576 working sets (at most three
 * small solves each when refused); one solve at the limits' scale judges them.
 * Measured on 5,000 far commands of each kind: 0.5 to 0.9 us in the median, 2 to 8
 * us at the 99th percentile, 110 us at most (the working sets tried). On the extreme
 * values of the Python fuzzer (coefficients of 2^60 and 2^-60 in one row, bounds of
 * 1e39 or 1e300 standing for no limit, commands to 1e308), where the rechecks above
 * and the thin-wedge settling add up, a call took up to 2 ms (80,000 calls: 8 us in
 * the median, 0.2 ms at the 99th percentile, 0.5 ms at the 99.9th).
 *
 * Thin wedges. On limits with two kept rows nearly parallel or nearly opposite
 * (1 - |cos| below 2^-12, a sine above 2^-50), or a row as close to an axis (its part
 * off the axis of its largest coefficient nonzero and below 2^-10 of its length: a
 * wedge with the box's sides across that axis), scale R at most 2^600, every answer of
 * a command within 2^40 R of the box, and every INFEASIBLE or NUMERICAL_FAILURE for
 * one, is settled: a working set's point is refined with residuals computed exactly
 * from the rows as given and taken only when the optimality conditions hold at it
 * (every multiplier nonnegative within 2^-40 of the scale, every other constraint met
 * within 2^-60 of its magnitudes), which makes it the minimiser. So feasible thin
 * wedges are not refused and their answers have the accuracy above, but for an
 * answer no working set is certified for, should there be one (the loop's answer then
 * stands; none in the long run's 40,000). Such a call takes at most 12 + 576 refined
 * working sets (measured worst 0.26 ms on feasible limits; 1.5 ms for a one-shot call
 * on infeasible ones, whose refusal is settled over every working set each call).
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
 * The rounding costs little when x rounded on each axis away from the command, or that
 * point with one axis moved within the range the rows leave it, does (about 96% of
 * answers on rows); it may take a step inward, a ray into the rows' cone and a search
 * of the float points within reach (3%, at vertices). The search tries at most 25^3
 * points of the first three axes it takes (17 floats of an axis within reach, 25
 * across a power of two; the axes the rows weigh most in ulp units first), the fourth
 * read from the range they leave it. Measured on a 2-core x86-64: a call on generic
 * limits took at most 6 us (200,000 problems of two to four rows, bench/README.md); on
 * rows nearly parallel or opposite (a wedge thinner than the float grid, so many
 * points of the first three axes to try) the rounding added at most 0.09 ms, where
 * the double call itself takes up to 1.5 ms.
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
    /* Written by morvex_exact_4d_prepare (by the one-shot call only on thin wedges),
     * read only on thin wedges and by morvex_exact_4d_solve_rechecked (last, away from
     * what every solve reads). */
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

/* morvex_exact_4d_solve for limits known to admit a point (a solve answered OPTIMAL on
 * them once), or to find out once whether they do (with a command within R of the
 * box, the origin say). A refusal (INFEASIBLE or NUMERICAL_FAILURE) of a finite command
 * within R of the box is checked as on a thin wedge (see "Thin wedges"; not on one,
 * where the solve has done it): every working set's point is refined with residuals
 * computed exactly from the rows as given and certified; the first certified point is
 * the answer (OPTIMAL, with the accuracy above), else the refusal stands. On limits
 * whose R passes 2^600 (a bound of 1e300 meaning no limit, say), R is taken for this
 * as 16 times the largest |b| of a unit row and |c[i]|, c being d clamped into the
 * box, and only an answer within 2^600 is taken. A command beyond R (or infinite) keeps the far path's answer, and its refusal is
 * NUMERICAL_FAILURE (no working set was certified for it: see "Far commands"; a
 * multiplier of its distance would drown the certificate's tolerance). The check finds
 * answers that rounding hid from the solve: rows with coefficients of 2^60 and 2^-60
 * inside boxes reaching 1e19 to 1e39, say, or a row that keeps 2^-56 of its length on
 * the one axis left free. Such a refusal costs at most 576 refined working sets on top
 * of the solve (measured worst 2 ms on the Python fuzzer's extreme values); any other
 * call is morvex_exact_4d_solve's, bit for bit (null pointers included). `prepared`
 * must come from morvex_exact_4d_prepare. CoupledLimits calls it. */
MORVEX_API SolveStatus morvex_exact_4d_solve_rechecked(const MorvexExact4Prepared* prepared,
                                                       const double desired[4],
                                                       MorvexExact4Result* out);

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
