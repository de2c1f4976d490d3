/* morvex/core.h: the projection kernels of morvex, callable from C and C++.
 *
 * Every record is a plain C struct, little-endian, naturally aligned; sizes and
 * offsets are part of the interface and checked below. All floating-point
 * values are IEEE 754 binary32. The kernels keep no state, take no lock and
 * allocate nothing; the records belong to the caller for the call only.
 */
#ifndef MORVEX_CORE_H
#define MORVEX_CORE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define MORVEX_API __declspec(dllexport)
#else
#define MORVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of a solve, written into the `status` field of a solution record. */
typedef uint32_t SolveStatus;
enum {
    MORVEX_STATUS_INVALID_INPUT = 0,
    MORVEX_STATUS_OPTIMAL = 1,
    MORVEX_STATUS_ITERATION_LIMIT = 2,
    MORVEX_STATUS_INFEASIBLE = 3,
    MORVEX_STATUS_NUMERICAL_FAILURE = 4
};

/* Up to four rows a[k] * u <= b[k]; the scalar kernel reads row 0 only. */
typedef struct ScalarConstraints {
    float a[4];
    float b[4];
} ScalarConstraints;

/* The box [min_bound, max_bound]; passed by value. */
typedef struct ScalarBounds {
    float min_bound;
    float max_bound;
} ScalarBounds;

/* Written by morvex_solve_active_set; the padding bytes are never written. */
typedef struct ScalarSolution {
    float u;
    uint64_t iterations;
    SolveStatus status;
} ScalarSolution;

/* Projects u_desired onto {u : min_bound <= u <= max_bound, a[0] * u <= b[0]}.
 * Returns 0 when `out` was written, -1 when `constraints` or `out` is null (then
 * nothing is read or written). */
MORVEX_API int32_t morvex_solve_active_set(const ScalarConstraints* constraints,
                                           ScalarSolution* out, float u_desired,
                                           ScalarBounds bounds);

/* Per-axis box of the four-axis solver: min[i] <= x[i] <= max[i]. */
typedef struct Bounds4 {
    float min[4];
    float max[4];
} Bounds4;

/* Coupled rows a[j] . x <= b[j] for j < count (count <= 4); rows at or beyond
 * `count` are never read. */
typedef struct Constraints4 {
    uint64_t count;
    float a[4][4];
    float b[4];
} Constraints4;

/* Written by morvex_solve_multivar_4d; the 4 padding bytes at offset 28 are
 * never written. `iterations` is 0 on every early exit. */
typedef struct Solution4 {
    float u[4];
    uint64_t iterations;
    SolveStatus status;
} Solution4;

/* Projects the desired vector u_desired[0..3] onto the box of `bounds` and the
 * first constraints->count rows of `constraints`. Returns -1 when any pointer is
 * null (then nothing is read or written), otherwise 0 with `out` written; the
 * quality of the answer is its `status`:
 *   INVALID_INPUT     u = u_desired clamped into the box (may hold the NaN it was given)
 *   OPTIMAL           u = the projection
 *   ITERATION_LIMIT   u = the last iterate, clamped into the box
 *   INFEASIBLE        u = u_desired clamped into the box
 *   NUMERICAL_FAILURE u = u_desired clamped into the box
 * Unless the status is INVALID_INPUT, u holds no NaN and lies inside the box,
 * except that an OPTIMAL u found by the iterations (iterations > 0) may pass a
 * bound or row by up to the tolerance 1e-5 plus 2^-20 of the magnitudes involved:
 * every u (the quick exit's too) is checked against every bound and row before
 * it is called optimal, and one that misses by more is reported as
 * NUMERICAL_FAILURE. */
MORVEX_API int32_t morvex_solve_multivar_4d(const float u_desired[4], const Bounds4* bounds,
                                            const Constraints4* constraints, Solution4* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
#define MORVEX_STATIC_ASSERT static_assert
#define MORVEX_ALIGNOF alignof
#else
#define MORVEX_STATIC_ASSERT _Static_assert
#define MORVEX_ALIGNOF _Alignof
#endif

MORVEX_STATIC_ASSERT(sizeof(float) == 4, "float must be IEEE 754 binary32");
MORVEX_STATIC_ASSERT(sizeof(ScalarConstraints) == 32, "ScalarConstraints is 32 bytes");
MORVEX_STATIC_ASSERT(offsetof(ScalarConstraints, b) == 16, "ScalarConstraints.b at 16");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(ScalarConstraints) == 4, "ScalarConstraints aligned to 4");
MORVEX_STATIC_ASSERT(sizeof(ScalarBounds) == 8, "ScalarBounds is 8 bytes");
MORVEX_STATIC_ASSERT(offsetof(ScalarBounds, max_bound) == 4, "ScalarBounds.max_bound at 4");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(ScalarBounds) == 4, "ScalarBounds aligned to 4");
MORVEX_STATIC_ASSERT(sizeof(ScalarSolution) == 24, "ScalarSolution is 24 bytes");
MORVEX_STATIC_ASSERT(offsetof(ScalarSolution, iterations) == 8, "ScalarSolution.iterations at 8");
MORVEX_STATIC_ASSERT(offsetof(ScalarSolution, status) == 16, "ScalarSolution.status at 16");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(ScalarSolution) == 8, "ScalarSolution aligned to 8");
MORVEX_STATIC_ASSERT(sizeof(Bounds4) == 32, "Bounds4 is 32 bytes");
MORVEX_STATIC_ASSERT(offsetof(Bounds4, max) == 16, "Bounds4.max at 16");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(Bounds4) == 4, "Bounds4 aligned to 4");
MORVEX_STATIC_ASSERT(sizeof(Constraints4) == 88, "Constraints4 is 88 bytes");
MORVEX_STATIC_ASSERT(offsetof(Constraints4, a) == 8, "Constraints4.a at 8");
MORVEX_STATIC_ASSERT(offsetof(Constraints4, b) == 72, "Constraints4.b at 72");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(Constraints4) == 8, "Constraints4 aligned to 8");
MORVEX_STATIC_ASSERT(sizeof(Solution4) == 32, "Solution4 is 32 bytes");
MORVEX_STATIC_ASSERT(offsetof(Solution4, iterations) == 16, "Solution4.iterations at 16");
MORVEX_STATIC_ASSERT(offsetof(Solution4, status) == 24, "Solution4.status at 24");
MORVEX_STATIC_ASSERT(MORVEX_ALIGNOF(Solution4) == 8, "Solution4 aligned to 8");

#endif /* MORVEX_CORE_H */
