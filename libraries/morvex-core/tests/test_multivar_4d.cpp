#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "../src/multivar_4d.h"
#include "morvex/core.h"

namespace {

constexpr float kFltMax = std::numeric_limits<float>::max();

using morvex::core::multivar4d::solve_normal_equations;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr unsigned char kFill = 0xA5;

struct Vec {
    float v[4];
};

struct Row {
    float a[4];
    float b;
};

struct Problem {
    Vec d;
    Bounds4 box;
    Constraints4 rows;
};

Bounds4 box_of(float lo, float hi) { return Bounds4{{lo, lo, lo, lo}, {hi, hi, hi, hi}}; }

// Unused rows are filled with NaN: the solver must never read them.
Constraints4 rows_of(std::initializer_list<Row> rows) {
    Constraints4 c;
    c.count = rows.size();
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) c.a[j][i] = kNaN;
        c.b[j] = kNaN;
    }
    int j = 0;
    for (const Row& r : rows) {
        for (int i = 0; i < 4; ++i) c.a[j][i] = r.a[i];
        c.b[j] = r.b;
        ++j;
    }
    return c;
}

// Every byte of the record is preset so that writes to the padding show.
Solution4 run(const Problem& p) {
    Solution4 out;
    std::memset(&out, kFill, sizeof out);
    EXPECT_EQ(morvex_solve_multivar_4d(p.d.v, &p.box, &p.rows, &out), 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (std::size_t k = offsetof(Solution4, status) + sizeof(SolveStatus); k < sizeof out; ++k) {
        EXPECT_EQ(bytes[k], kFill) << "padding byte " << k << " written";
    }
    return out;
}

// The desired vector clamped into the box, lower test first.
Vec clamped(const Problem& p) {
    Vec x{};
    for (int i = 0; i < 4; ++i) {
        const float v = p.d.v[i];
        x.v[i] = v < p.box.min[i] ? p.box.min[i] : (v > p.box.max[i] ? p.box.max[i] : v);
    }
    return x;
}

void expect_same_bits(const float (&got)[4], const Vec& want) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(want.v[i]))
            << "axis " << i << ": got " << got[i] << ", want " << want.v[i];
    }
}

void expect_inside_box(const Solution4& out, const Bounds4& box) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(std::isnan(out.u[i])) << "axis " << i;
        EXPECT_GE(out.u[i], box.min[i]) << "axis " << i;
        EXPECT_LE(out.u[i], box.max[i]) << "axis " << i;
    }
}

// ---------------------------------------------------------------------------
// Null pointers: result -1 and not a byte of `out` written.

class NullPointer : public ::testing::TestWithParam<int> {};

TEST_P(NullPointer, ReturnsMinusOneAndLeavesOutUntouched) {
    const Problem p{{{1, 2, 3, 4}}, box_of(0, 1), rows_of({{{1, 0, 0, 0}, 0.5f}})};
    Solution4 out;
    std::memset(&out, kFill, sizeof out);
    unsigned char before[sizeof out];
    std::memcpy(before, &out, sizeof out);
    const int which = GetParam();
    const int32_t result = morvex_solve_multivar_4d(which == 0 ? nullptr : p.d.v,
                                                    which == 1 ? nullptr : &p.box,
                                                    which == 2 ? nullptr : &p.rows,
                                                    which == 3 ? nullptr : &out);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::memcmp(before, &out, sizeof out), 0);
}

INSTANTIATE_TEST_SUITE_P(EachPointer, NullPointer, ::testing::Values(0, 1, 2, 3));

// ---------------------------------------------------------------------------
// Early exits: u is the desired vector clamped into the box, iterations 0.

struct EarlyCase {
    const char* name;
    Problem problem;
    SolveStatus status;
};

class EarlyExit : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(EarlyExit, ReturnsClampedDesiredVector) {
    const EarlyCase& c = GetParam();
    const Solution4 out = run(c.problem);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.iterations, 0u);
    expect_same_bits(out.u, clamped(c.problem));
}

Problem with_count(Problem p, uint64_t count) {
    p.rows.count = count;
    return p;
}

Problem with_min(Problem p, int axis, float v) {
    p.box.min[axis] = v;
    return p;
}

Problem with_max(Problem p, int axis, float v) {
    p.box.max[axis] = v;
    return p;
}

Problem with_d(Problem p, int axis, float v) {
    p.d.v[axis] = v;
    return p;
}

Problem with_a(Problem p, int row, int axis, float v) {
    p.rows.a[row][axis] = v;
    return p;
}

Problem with_b(Problem p, int row, float v) {
    p.rows.b[row] = v;
    return p;
}

// Two rows that the clamped desired vector (2, -1, 0.5, 3) violates.
const Problem kBase{{{2, -1, 0.5f, 7}},
                    box_of(-1, 3),
                    rows_of({{{1, 1, 0, 0}, 0.5f}, {{0, 0, 1, -1}, -4}})};

const Problem kZeroRow{{{0.5f, 2, -3, 0.25f}}, box_of(0, 1), rows_of({{{0, 0, 0, 0}, 0}})};

INSTANTIATE_TEST_SUITE_P(
    Rules, EarlyExit,
    ::testing::Values(
        EarlyCase{"count_five", with_count(kBase, 5), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"count_huge", with_count(kBase, UINT64_MAX), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"inverted_axis", with_min(kBase, 2, 3.5f), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"nan_min", with_min(kBase, 0, kNaN), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"nan_max", with_max(kBase, 3, kNaN), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"nan_desired", with_d(kBase, 1, kNaN), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"nan_coefficient", with_a(kBase, 1, 3, kNaN), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"nan_rhs", with_b(kBase, 0, kNaN), MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"infinite_min_above_max", with_min(kBase, 1, kInf),
                  MORVEX_STATUS_INVALID_INPUT},
        EarlyCase{"no_rows", with_count(kBase, 0), MORVEX_STATUS_OPTIMAL},
        EarlyCase{"clamped_meets_rows", with_b(with_b(kBase, 0, 1), 1, -2.5f),
                  MORVEX_STATUS_OPTIMAL},
        // a . x0 = 1 exceeds b but not b + 1e-5.
        EarlyCase{"row_met_within_tolerance", with_b(with_b(kBase, 0, 0.999995f), 1, -2.5f),
                  MORVEX_STATUS_OPTIMAL},
        EarlyCase{"infinite_desired", with_d(with_count(kBase, 0), 0, kInf),
                  MORVEX_STATUS_OPTIMAL},
        // A row that cannot be met: cyclic projection spends all 60 passes.
        EarlyCase{"unreachable_row",
                  Problem{{{0.5f, 0.5f, 0.5f, 0.5f}}, box_of(0, 1), rows_of({{{1, 0, 0, 0}, -1}})},
                  MORVEX_STATUS_INFEASIBLE},
        EarlyCase{"zero_row_negative_rhs", with_b(kZeroRow, 0, -2e-5f), MORVEX_STATUS_INFEASIBLE},
        EarlyCase{"zero_row_rhs_minus_tolerance", with_b(kZeroRow, 0, -1e-5f),
                  MORVEX_STATUS_OPTIMAL},
        EarlyCase{"zero_row_rhs_zero", kZeroRow, MORVEX_STATUS_OPTIMAL},
        // Two copies of a row active at the start make the normal matrix singular.
        EarlyCase{"duplicate_active_rows",
                  Problem{{{1, 0, 0, 0}},
                          box_of(-1, 1),
                          rows_of({{{1, 0, 0, 0}, 0}, {{1, 0, 0, 0}, 0}})},
                  MORVEX_STATUS_NUMERICAL_FAILURE}),
    [](const ::testing::TestParamInfo<EarlyCase>& p) { return std::string(p.param.name); });

TEST(QuickExit, DesiredVectorInsideEverythingComesBackExactly) {
    const Problem p{{{0.1f, -0.2f, 0.3f, -0.0f}}, box_of(-1, 1),
                    rows_of({{{1, 1, 1, 1}, 1}, {{-1, 0, 0, 0}, 0}})};
    const Solution4 out = run(p);
    EXPECT_EQ(out.status, MORVEX_STATUS_OPTIMAL);
    EXPECT_EQ(out.iterations, 0u);
    expect_same_bits(out.u, p.d);
}

// ---------------------------------------------------------------------------
// Active-set solves whose answer is known in closed form.

struct SolvedCase {
    const char* name;
    Problem problem;
    Vec u;
    SolveStatus status;
    uint64_t iterations;
    float tolerance;  // 0: bit for bit
};

class ActiveSet : public ::testing::TestWithParam<SolvedCase> {};

TEST_P(ActiveSet, ReachesTheKnownAnswer) {
    const SolvedCase& c = GetParam();
    const Solution4 out = run(c.problem);
    EXPECT_EQ(out.status, c.status);
    if (c.iterations != 0) {
        EXPECT_EQ(out.iterations, c.iterations);
    }
    if (c.tolerance == 0) {
        expect_same_bits(out.u, c.u);
    } else {
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(out.u[i], c.u.v[i], c.tolerance) << "axis " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ActiveSet,
    ::testing::Values(
        // Phase 2 keeps the origin; a half step to the row, which then enters
        // the working set and gives lambda = 0.5.
        SolvedCase{"half_step_then_row",
                   {{{1, 1, 0, 0}}, box_of(-10, 10), rows_of({{{1, 1, 0, 0}, 1}})},
                   {{0.5f, 0.5f, 0, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   2,
                   0},
        // The same with an unbounded box: infinite bounds never enter the set.
        SolvedCase{"unbounded_box",
                   {{{1, 1, 0, 0}}, box_of(-kInf, kInf), rows_of({{{1, 1, 0, 0}, 1}})},
                   {{0.5f, 0.5f, 0, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   2,
                   0},
        // Phase 2 needs several passes; the optimum is the corner of both rows.
        SolvedCase{"two_rows_several_passes",
                   {{{2, 2, 0, 0}},
                    box_of(0, 5),
                    rows_of({{{1, 1, 0, 0}, 1}, {{1, -1, 0, 0}, -0.5f}})},
                   {{0.25f, 0.75f, 0, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   0,
                   1e-5f},
        // Both rows block at t = 0.25; only row 0 (first in scan order) enters,
        // row 1 is then skipped by the ratio test and every later step is zero.
        SolvedCase{"tie_then_iteration_limit",
                   {{{2, 2, 2, 2}},
                    box_of(-5, 5),
                    rows_of({{{1, 1, 0, 0}, 1}, {{0, 0, 1, 1}, 1}})},
                   {{0.5f, 0.5f, 2, 2}},
                   MORVEX_STATUS_ITERATION_LIMIT,
                   20,
                   0},
        // Projection onto a half-space: x = d - ((a.d - b)/|a|^2) a = (2, 1, 1, 0).
        SolvedCase{"half_space",
                   {{{3, 3, 3, 0}}, box_of(-100, 100), rows_of({{{1, 2, 2, 0}, 6}})},
                   {{2, 1, 1, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   2,
                   0},
        // Start at the corner x = 0 with all four lower bounds held; the one of
        // axis 0 has a negative multiplier and is dropped, then the row binds:
        // projection of (3, -1, 0, 0) onto {x >= 0, sum x <= 2} is (2, 0, 0, 0).
        SolvedCase{"drops_lower_bounds",
                   {{{3, -1, 0, 0}}, box_of(0, 10), rows_of({{{1, 1, 1, 1}, 2}})},
                   {{2, 0, 0, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   0,
                   1e-6f},
        // A bound and a row both bind: projection of (4, 4, 0, 0) onto
        // {x0 <= 1, x0 + x1 <= 3} is (1, 2, 0, 0).
        SolvedCase{"bound_and_row",
                   {{{4, 4, 0, 0}}, {{-1, -1, -1, -1}, {1, 10, 10, 10}},
                    rows_of({{{1, 1, 0, 0}, 3}})},
                   {{1, 2, 0, 0}},
                   MORVEX_STATUS_OPTIMAL,
                   0,
                   1e-6f}),
    [](const ::testing::TestParamInfo<SolvedCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// Safeguards on top of the bare iteration. Each input below was checked against
// an independent reference of the bare iteration, which hands back the command
// described in the comment.

TEST(Safeguards, IterationLimitClampsTheIterateIntoTheBox) {
    // The bare iterate after 20 iterations is about (2, -0.5, -1, -0.5): axis 1
    // half a unit above its upper bound -1. The command must be inside the box.
    const Problem p{{{5, 3, -3, 4}},
                    {{0, -1, -3, -1}, {2, -1, -1, 2}},
                    rows_of({{{1, -1, 1, 1}, 1}, {{1, 2, -2, 2}, 2}})};
    const Solution4 out = run(p);
    EXPECT_EQ(out.status, MORVEX_STATUS_ITERATION_LIMIT);
    EXPECT_EQ(out.iterations, 20u);
    expect_inside_box(out, p.box);
    EXPECT_EQ(out.u[1], -1.0f);
}

struct FailureCase {
    const char* name;
    Problem problem;
};

class SafeguardFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SafeguardFailure, ReportsNumericalFailureWithTheClampedDesiredVector) {
    const FailureCase& c = GetParam();
    const Solution4 out = run(c.problem);
    EXPECT_EQ(out.status, MORVEX_STATUS_NUMERICAL_FAILURE);
    EXPECT_EQ(out.iterations, 0u);
    expect_same_bits(out.u, clamped(c.problem));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SafeguardFailure,
    ::testing::Values(
        // The iterate runs off to +inf on the unbounded axis 0 and then to
        // inf - inf: the bare iteration ends at the limit with NaN.
        FailureCase{"nan_at_iteration_limit",
                    {{{kInf, 0, 0, 0}},
                     {{-kInf, -1, -1, -1}, {kInf, 1, 1, 1}},
                     rows_of({{{1, 0, 0, 0}, 1}})}},
        // Both rows hold at the origin; their multipliers are so large that
        // d - l0 N0 reaches -inf on axis 0 and - l1 N1 then adds +inf. NaN
        // compares false, so the bare iteration calls the NaN vector optimal.
        FailureCase{"nan_at_optimum",
                    {{{1.5e38f, -2.2e38f, 0, 0}},
                     box_of(-kInf, kInf),
                     rows_of({{{-1, -0.75f, 0, 0}, 0}, {{1.25f, -0.25f, 0, 0}, 0}})}},
        // x0 <= 1 written with coefficient 1e20: |a|^2 overflows, the bare
        // elimination gives it a zero multiplier and calls (3, 0, 0, 0) optimal.
        FailureCase{"overflowing_row_norm",
                    {{{3, 0, 0, 0}}, box_of(0, 5), rows_of({{{1e20f, 0, 0, 0}, 1e20f}})}},
        FailureCase{"overflowing_row_norm_mixed",
                    {{{12, -4, -10, -4}},
                     {{-3, -3, -2.5f, -2.5f}, {6, -0.5f, -1.5f, 2}},
                     rows_of({{{9e21f, 2e21f, 1e21f, -5e21f}, 0}})}},
        // Found by fuzzing. The working set holds x2 <= ~0 and a row that is
        // nearly its opposite; the multipliers come out near 1.1e6 and cancel,
        // and the bare iteration calls a point 0.083 above the bound x2 <= 1.4e-45
        // optimal.
        FailureCase{"optimum_that_misses_a_bound",
                    {{{-0.0f, -3.75f, -0.0f, -0.0f}},
                     {{-12.5f, -16, -1.25f, -kInf}, {-0.0f, 2.5f, 1.40129846e-45f, 0}},
                     rows_of({{{9.99999997e-07f, 0, -1, 0}, -0.0f},
                              {{4.25f, -15.75f, -0.0f, 0}, -16},
                              {{-3.75f, -4, 4.25f, -0.0f}, -0.0f}})}},
        // Found by fuzzing. The value of row 1 at the bare optimum overflows
        // single precision to -inf, so the row counts as met while the point
        // misses it by 0.58 (scaled to a unit normal).
        FailureCase{"optimum_whose_row_value_overflows",
                    {{{4.25f, -15.5f, -12.5f, 4.25f}},
                     {{-16, 6, -11.25f, -15.5f}, {4, 6.25f, 4.25f, 4.25f}},
                     rows_of({{{4.25f, -kFltMax, -16, 6.25f}, 0.25f},
                              {{0, 4, -kFltMax, -kFltMax}, -kFltMax},
                              {{-15.5f, -12.5f, 4.25f, 4}, -16},
                              {{6, 6.25f, -11.25f, 4.25f}, 4.25f}})}},
        // Found by fuzzing. At the clamped desired vector row 2 reads
        // -0.75 FLT_MAX - 39 <= -FLT_MAX, broken, but its single-precision value
        // overflows to -inf and the quick exit would call the point optimal.
        FailureCase{"quick_exit_whose_row_value_overflows",
                    {{{7.25f, -16, -3.28430338e-35f, 1.25f}},
                     {{-14, 1.00000012f, 1.00000012f, -kFltMax}, {2.5f, 2.5f, 9.25f, -0.25f}},
                     rows_of({{{-kFltMax, -kFltMax, -kFltMax, -15.5f}, -16},
                              {{-16, -16, -16, -16}, -16},
                              {{-16, -kFltMax, 1.00000012f, -kFltMax}, -kFltMax},
                              {{-kFltMax, -kFltMax, -kFltMax, -0.25f}, -3}})}}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The normal-equation solve on its own.

void expect_solves(int k, const float (&rows)[8][4], const float (&r)[8], const float (&lambda)[8]) {
    // Residual of (N N^T) lambda = r in double precision.
    for (int i = 0; i < k; ++i) {
        double s = 0;
        for (int j = 0; j < k; ++j) {
            double g = 0;
            for (int c = 0; c < 4; ++c) g += double(rows[i][c]) * double(rows[j][c]);
            s += g * double(lambda[j]);
        }
        EXPECT_NEAR(s, double(r[i]), 1e-5 * (1 + std::fabs(double(r[i])))) << "row " << i;
    }
}

TEST(NormalEquations, EmptySystemSucceedsWithoutWriting) {
    const float rows[8][4] = {};
    const float r[8] = {};
    float lambda[8];
    for (float& l : lambda) l = 42.0f;
    EXPECT_TRUE(solve_normal_equations(0, rows, r, lambda));
    for (float l : lambda) EXPECT_EQ(l, 42.0f);
}

TEST(NormalEquations, PartialPivotingRescuesASmallLeadingEntry) {
    // G = [[1e-8, 1e-4], [1e-4, 2]]: without a row swap the first pivot is
    // below 1e-6; with it both pivots are about 1e-4 and above.
    const float rows[8][4] = {{1e-4f, 0, 0, 0}, {1, 1, 0, 0}};
    const float r[8] = {1e-4f, 3};
    float lambda[8] = {};
    ASSERT_TRUE(solve_normal_equations(2, rows, r, lambda));
    expect_solves(2, rows, r, lambda);
}

TEST(NormalEquations, SolvesAFourByFourSystemWithMixedAxes) {
    const float rows[8][4] = {{2, 1, 0, 0}, {0, 1, 3, 0}, {1, 0, 0, -1}, {0, 2, 0, 1}};
    const float r[8] = {1, -2, 0.5f, 4};
    float lambda[8] = {};
    ASSERT_TRUE(solve_normal_equations(4, rows, r, lambda));
    expect_solves(4, rows, r, lambda);
}

struct FailingSystem {
    const char* name;
    int k;
    float rows[8][4];
    float r[8];
};

class NormalEquationsFail : public ::testing::TestWithParam<FailingSystem> {};

TEST_P(NormalEquationsFail, ReportsFailure) {
    const FailingSystem& c = GetParam();
    float lambda[8] = {};
    EXPECT_FALSE(solve_normal_equations(c.k, c.rows, c.r, lambda));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalEquationsFail,
    ::testing::Values(
        FailingSystem{"duplicate_rows", 2, {{1, 0, 0, 0}, {1, 0, 0, 0}}, {0, 0}},
        FailingSystem{"opposite_bounds", 2, {{-1, 0, 0, 0}, {1, 0, 0, 0}}, {0, 0}},
        FailingSystem{"five_rows_in_four_dimensions",
                      5,
                      {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {1, 1, 1, 1}},
                      {1, 1, 1, 1, 1}},
        FailingSystem{"tiny_row", 1, {{1e-4f, 0, 0, 0}}, {1}},
        // |row|^2 = 1e40 overflows: the overflowed entry must not eliminate to
        // a zero multiplier.
        FailingSystem{"overflowing_norm", 1, {{1e20f, 0, 0, 0}}, {1}},
        FailingSystem{"overflow_beside_a_bound", 2, {{0, -1, 0, 0}, {3e19f, 1, 0, 0}}, {0, 1}},
        FailingSystem{"infinite_coefficient", 1, {{kInf, 0, 0, 0}}, {1}},
        FailingSystem{"infinite_multiplier", 1, {{1, 0, 0, 0}}, {kInf}},
        FailingSystem{"multiplier_overflows", 1, {{0.01f, 0, 0, 0}}, {1e38f}}),
    [](const ::testing::TestParamInfo<FailingSystem>& p) { return std::string(p.param.name); });

}  // namespace
