#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "morvex/core.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Case {
    const char* name;
    float a, b, x, lo, hi;
    float expected_u;
    SolveStatus expected_status;
};

ScalarSolution solve(float a, float b, float x, float lo, float hi) {
    const ScalarConstraints c{{a, 9.0f, 9.0f, 9.0f}, {b, -9.0f, -9.0f, -9.0f}};
    ScalarSolution out{};
    EXPECT_EQ(morvex_solve_active_set(&c, &out, x, ScalarBounds{lo, hi}), 0);
    return out;
}

// Bitwise equality: distinguishes -0.0 from +0.0 and treats NaN like any value.
void expect_same_bits(float got, float want) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << got;
    } else {
        EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want))
            << "got " << got << ", want " << want;
    }
}

class ActiveSetCases : public ::testing::TestWithParam<Case> {};

TEST_P(ActiveSetCases, ProjectsAndReportsStatus) {
    const Case& c = GetParam();
    const ScalarSolution out = solve(c.a, c.b, c.x, c.lo, c.hi);
    expect_same_bits(out.u, c.expected_u);
    EXPECT_EQ(out.status, c.expected_status);
    EXPECT_EQ(out.iterations, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ActiveSetCases,
    ::testing::Values(
        Case{"upper_row_binds", 1, 5, 7, 0, 10, 5, MORVEX_STATUS_OPTIMAL},
        Case{"upper_row_inactive", 1, 5, 3, 0, 10, 3, MORVEX_STATUS_OPTIMAL},
        Case{"upper_row_below_box", 1, -1, 7, 0, 10, 0, MORVEX_STATUS_INFEASIBLE},
        Case{"upper_row_below_box_any_x", 1, -1, -50, 0, 10, 0, MORVEX_STATUS_INFEASIBLE},
        Case{"upper_row_above_box_hi_wins", 2, 40, 30, 0, 10, 10, MORVEX_STATUS_OPTIMAL},
        Case{"lower_row_binds", -1, -2, 1, 0, 10, 2, MORVEX_STATUS_OPTIMAL},
        Case{"lower_row_above_box", -1, -20, 1, 0, 10, 10, MORVEX_STATUS_INFEASIBLE},
        Case{"lower_row_far_below_box", -1, 20, -5, 0, 10, 0, MORVEX_STATUS_OPTIMAL},
        Case{"zero_row_infeasible", 0, -1, 12, 0, 10, 10, MORVEX_STATUS_INFEASIBLE},
        Case{"zero_row_feasible", 0, 0, 12, 0, 10, 10, MORVEX_STATUS_OPTIMAL},
        Case{"negative_zero_row", -0.0f, -1, -3, 0, 10, 0, MORVEX_STATUS_INFEASIBLE},
        Case{"zero_row_nan_b_is_optimal", 0, kNaN, 4, 0, 10, 4, MORVEX_STATUS_OPTIMAL},
        Case{"nan_x_feasible_row", 1, 5, kNaN, 0, 10, kNaN, MORVEX_STATUS_OPTIMAL},
        Case{"nan_a_ignores_row", kNaN, 1, 12, 0, 10, 10, MORVEX_STATUS_OPTIMAL},
        Case{"nan_b_ignores_row_positive_a", 1, kNaN, 7, 0, 10, 7, MORVEX_STATUS_OPTIMAL},
        Case{"nan_b_ignores_row_negative_a", -1, kNaN, -7, 0, 10, 0, MORVEX_STATUS_OPTIMAL},
        Case{"negative_zero_upper_bound", 1, 0, kInf, -1, -0.0f, -0.0f, MORVEX_STATUS_OPTIMAL},
        Case{"x_on_lower_bound", 1, 5, 0, 0, 10, 0, MORVEX_STATUS_OPTIMAL},
        Case{"x_on_upper_bound", 1, 50, 10, 0, 10, 10, MORVEX_STATUS_OPTIMAL},
        Case{"inverted_box_lower_first", 0, 1, -1, 5, 2, 5, MORVEX_STATUS_OPTIMAL},
        Case{"inverted_box_above_both", 0, 1, 9, 5, 2, 2, MORVEX_STATUS_OPTIMAL},
        Case{"nan_hi_takes_row", 1, 5, 7, 0, kNaN, 5, MORVEX_STATUS_OPTIMAL},
        Case{"nan_lo_takes_row", -1, -2, 1, kNaN, 10, 2, MORVEX_STATUS_OPTIMAL},
        Case{"infinite_x", 1, 5, -kInf, 0, 10, 0, MORVEX_STATUS_OPTIMAL},
        Case{"division_rounds_in_single", 3, 1, 1, 0, 10, 1.0f / 3.0f, MORVEX_STATUS_OPTIMAL},
        Case{"infinite_box", 1, kInf, 1e30f, -kInf, kInf, 1e30f, MORVEX_STATUS_OPTIMAL}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ActiveSet, NullPointersLeaveOutputUntouched) {
    const ScalarConstraints c{{1, 0, 0, 0}, {5, 0, 0, 0}};
    alignas(8) unsigned char raw[sizeof(ScalarSolution)];
    std::memset(raw, 0xA5, sizeof raw);
    auto* out = reinterpret_cast<ScalarSolution*>(raw);
    EXPECT_EQ(morvex_solve_active_set(nullptr, out, 1.0f, ScalarBounds{0, 10}), -1);
    EXPECT_EQ(morvex_solve_active_set(&c, nullptr, 1.0f, ScalarBounds{0, 10}), -1);
    EXPECT_EQ(morvex_solve_active_set(nullptr, nullptr, 1.0f, ScalarBounds{0, 10}), -1);
    for (unsigned char byte : raw) EXPECT_EQ(byte, 0xA5);
}

TEST(ActiveSet, PaddingIsNeverWritten) {
    const ScalarConstraints c{{1, 0, 0, 0}, {5, 0, 0, 0}};
    alignas(8) unsigned char raw[sizeof(ScalarSolution)];
    std::memset(raw, 0x5A, sizeof raw);
    ASSERT_EQ(morvex_solve_active_set(&c, reinterpret_cast<ScalarSolution*>(raw), 7.0f,
                                      ScalarBounds{0, 10}),
              0);
    for (size_t i : {4u, 5u, 6u, 7u, 20u, 21u, 22u, 23u}) EXPECT_EQ(raw[i], 0x5A) << i;
}

// An independent statement of the problem: over a fine grid of candidates the
// kernel's feasible answer is never farther from x than any feasible candidate.
TEST(ActiveSet, OptimalAnswersAreFeasibleAndNearest) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> coeff(-4.0f, 4.0f);
    for (int trial = 0; trial < 20000; ++trial) {
        const float a = coeff(rng), b = coeff(rng), x = 3.0f * coeff(rng);
        float lo = coeff(rng), hi = coeff(rng);
        if (lo > hi) std::swap(lo, hi);
        const ScalarSolution out = solve(a, b, x, lo, hi);
        const double t = static_cast<double>(b / a);
        const bool row_can_hold = a > 0 ? lo <= t : hi >= t;
        ASSERT_EQ(out.status, row_can_hold ? MORVEX_STATUS_OPTIMAL : MORVEX_STATUS_INFEASIBLE);
        ASSERT_GE(out.u, lo);
        ASSERT_LE(out.u, hi);
        if (!row_can_hold) continue;
        ASSERT_TRUE(a > 0 ? out.u <= t : out.u >= t) << a << " " << b << " " << out.u;
        for (int k = 0; k <= 64; ++k) {
            const double cand = lo + (double{hi} - lo) * k / 64.0;
            const bool feasible = a > 0 ? cand <= t : cand >= t;
            if (feasible) {
                ASSERT_LE(std::fabs(out.u - x), std::fabs(cand - x) + 1e-6);
            }
        }
    }
}

}  // namespace
