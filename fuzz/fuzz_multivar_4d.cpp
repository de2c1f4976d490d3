// morvex_solve_multivar_4d on arbitrary records. Besides "no crash, no sanitizer
// report", every output is checked against the promises of morvex/core.h, each
// argued independently of the solver's steps:
//   - a null pointer gives -1 and leaves `out` untouched; otherwise 0, status
//     0..4 and the 4 padding bytes never written;
//   - status InvalidInput exactly when the data is invalid (count > 4, a NaN in
//     the box, d or a used row, or min > max); then u is d clamped into the box;
//   - Infeasible and NumericalFailure: u is d clamped into the box, iterations 0;
//   - IterationLimit: iterations 20 and u inside the box;
//   - Optimal: iterations 0..20; with 0 (the quick exit) u is d clamped into the
//     box and meets every row; found by the iterations, u meets every bound and
//     used row within 1e-5 plus 2^-20 of the magnitudes involved (kRelative);
//   - when d clamped into the box meets every row with room to spare, the
//     answer is that point (quick exit);
//   - no NaN in u unless InvalidInput; rows at or beyond `count` are never read;
//     `u_desired` may alias `out->u`.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "byte_reader.h"
#include "morvex/core.h"

namespace {

using morvex::fuzz::ByteReader;
using morvex::fuzz::same_bits;

constexpr unsigned char kFill = 0xA5;
constexpr double kTolerance = 1e-5;  // the solver's documented slack
constexpr std::uint64_t kMaxIterations = 20;

// Rounding allowance of an answer found by the iterations, as morvex/core.h
// promises it: a bound or row may be passed by 1e-5 plus 2^-20 of the
// magnitudes involved (|bound| + |u_i| for a bound, |b| + sum |a_i u_i| for a
// row). Checked here with twice that relative part, so that the order in which
// the magnitudes are summed cannot matter; a wrong answer (a constraint ignored,
// cancellation in the normal equations, an overflowed product) misses by far
// more.
constexpr double kRelative = 0x1p-19;

// The quick exit's allowance: its test a . x0 <= b + 1e-5 is a four-term dot
// product in single precision, off by at most 4 u (u = 2^-24) of sum |a_i x_i|,
// and b + 1e-5 by u |b|; 32 u covers both with room.
constexpr double kRoundingUnits = 32.0 * 0x1p-24;

struct Problem {
    float d[4];
    Bounds4 box;
    Constraints4 rows;
};

float clamp_lower_first(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool used_rows_valid(const Problem& p, int rows) {
    for (int j = 0; j < rows; ++j) {
        if (std::isnan(p.rows.b[j])) return false;
        for (int i = 0; i < 4; ++i) {
            if (std::isnan(p.rows.a[j][i])) return false;
        }
    }
    return true;
}

bool data_valid(const Problem& p) {
    if (p.rows.count > 4) return false;
    for (int i = 0; i < 4; ++i) {
        const float lo = p.box.min[i], hi = p.box.max[i];
        if (std::isnan(lo) || std::isnan(hi) || lo > hi || std::isnan(p.d[i])) return false;
    }
    return used_rows_valid(p, static_cast<int>(p.rows.count));
}

// a . x in double. Products of two floats are exact there and cannot overflow,
// so the value is NaN only when the data itself is infinite: an infinite factor
// meeting a zero (0 * inf) or infinite terms of both signs.
struct RowValue {
    double value;
    double magnitude;  // sum of |a_i x_i|, the scale of its rounding error
};

RowValue row_value(const float a[4], const float x[4]) {
    RowValue r{0.0, 0.0};
    for (int i = 0; i < 4; ++i) {
        const double t = static_cast<double>(a[i]) * static_cast<double>(x[i]);
        r.value += t;
        r.magnitude += std::fabs(t);
    }
    return r;
}

// Row j at u: holds within 1e-5 + units * (|b| + sum |a_i u_i|), is violated,
// or has nothing to measure: its value is NaN, which only infinite data give
// (an infinite coefficient meeting u_i = 0, or infinite terms of both signs).
// An infinite value is compared as the extended reals compare it.
enum class RowAtU { Holds, Violated, Unmeasurable };

RowAtU row_at(const Problem& p, int j, const float u[4], double units) {
    const RowValue r = row_value(p.rows.a[j], u);
    if (std::isnan(r.value)) return RowAtU::Unmeasurable;
    const double b = p.rows.b[j];
    // With an infinite b or term, the promised allowance (a multiple of the
    // magnitudes involved) is infinite too.
    if (units == kRelative && (std::isinf(b) || std::isinf(r.magnitude))) {
        return RowAtU::Unmeasurable;
    }
    if (std::isinf(r.value) || std::isinf(b)) {
        return r.value <= b ? RowAtU::Holds : RowAtU::Violated;
    }
    const double slack = kTolerance + units * (std::fabs(b) + r.magnitude);
    return r.value <= b + slack ? RowAtU::Holds : RowAtU::Violated;
}

bool row_holds(const Problem& p, int j, const float u[4], double units) {
    return row_at(p, j, u, units) != RowAtU::Violated;
}

// The quick exit tests a . x0 <= b + 1e-5 in single precision; a row value that
// overflows there is caught by the solver's own double-precision check, so the
// point it calls optimal must meet the row like any other optimal answer.
bool row_holds_quick_exit(const Problem& p, int j, const float u[4]) {
    return row_holds(p, j, u, kRoundingUnits);
}

// Row j holds at u with room to spare: no rounding of the solver's own check can
// turn it into a violation.
bool row_holds_with_margin(const Problem& p, int j, const float u[4]) {
    const RowValue r = row_value(p.rows.a[j], u);
    const double b = p.rows.b[j];
    if (!std::isfinite(r.value) || !std::isfinite(b)) return false;
    // Partial sums in single precision stay below the sum of magnitudes: far
    // enough below the largest float, none of them overflows.
    if (r.magnitude > 0.5 * static_cast<double>(std::numeric_limits<float>::max())) return false;
    return r.value <= b - kRoundingUnits * (r.magnitude + std::fabs(b));
}

// Bound i at u within 1e-5 + kRelative (|bound| + |u_i|); an infinite u_i only
// on an infinite bound of its sign.
bool bound_holds(const Problem& p, int i, const float u[4]) {
    const double lo = p.box.min[i], hi = p.box.max[i], v = u[i];
    if (std::isinf(v)) return v == lo || v == hi;
    const auto within = [v](double excess, double bound) {
        return !(excess > kTolerance + kRelative * (std::fabs(bound) + std::fabs(v)));
    };
    return within(lo - v, lo) && within(v - hi, hi);
}

Solution4 filled_solution() {
    Solution4 out;
    std::memset(&out, kFill, sizeof out);
    return out;
}

bool padding_intact(const Solution4& out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (std::size_t k = offsetof(Solution4, status) + sizeof(SolveStatus); k < sizeof out; ++k) {
        if (bytes[k] != kFill) return false;
    }
    return true;
}

void decode(ByteReader& in, std::uint8_t mode, Problem& p) {
    for (float& v : p.d) v = in.f32();
    for (int i = 0; i < 4; ++i) {
        p.box.min[i] = in.f32();
        p.box.max[i] = in.f32();
        // Half of the inputs get an ordered box, so that most reach the solver.
        if ((mode & 0x20) && p.box.min[i] > p.box.max[i]) {
            const float t = p.box.min[i];
            p.box.min[i] = p.box.max[i];
            p.box.max[i] = t;
        }
    }
    const std::uint8_t c = in.u8();
    if (c < 200) {
        p.rows.count = c % 5;
    } else if (c < 240) {
        p.rows.count = 5 + c % 8;
    } else {
        p.rows.count = in.u64() | 5;
    }
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) p.rows.a[j][i] = in.f32();
        p.rows.b[j] = in.f32();
    }
}

void check_null_pointers(const Problem& p, std::uint8_t which) {
    Solution4 out = filled_solution();
    const Solution4 before = out;
    if (which == 0) which = 1;
    const std::int32_t rc = morvex_solve_multivar_4d((which & 1) ? nullptr : p.d,
                                                     (which & 2) ? nullptr : &p.box,
                                                     (which & 4) ? nullptr : &p.rows,
                                                     (which & 8) ? nullptr : &out);
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(std::memcmp(&out, &before, sizeof out) == 0);
}

void check_solution(const Problem& p, const Solution4& s) {
    FUZZ_CHECK(s.status <= MORVEX_STATUS_NUMERICAL_FAILURE);
    FUZZ_CHECK(padding_intact(s));

    float x0[4];
    for (int i = 0; i < 4; ++i) x0[i] = clamp_lower_first(p.d[i], p.box.min[i], p.box.max[i]);
    const auto u_is_x0 = [&] {
        for (int i = 0; i < 4; ++i) {
            if (!same_bits(s.u[i], x0[i])) return false;
        }
        return true;
    };
    const auto u_in_box = [&] {
        for (int i = 0; i < 4; ++i) {
            if (!(p.box.min[i] <= s.u[i] && s.u[i] <= p.box.max[i])) return false;
        }
        return true;
    };

    const bool valid = data_valid(p);
    FUZZ_CHECK((s.status == MORVEX_STATUS_INVALID_INPUT) == !valid);
    if (!valid) {
        FUZZ_CHECK(s.iterations == 0);
        FUZZ_CHECK(u_is_x0());
        return;
    }

    for (float v : s.u) FUZZ_CHECK(!std::isnan(v));
    const int rows = static_cast<int>(p.rows.count);

    switch (s.status) {
        case MORVEX_STATUS_INFEASIBLE:
        case MORVEX_STATUS_NUMERICAL_FAILURE:
            FUZZ_CHECK(s.iterations == 0);
            FUZZ_CHECK(u_is_x0());
            FUZZ_CHECK(u_in_box());
            break;
        case MORVEX_STATUS_ITERATION_LIMIT:
            FUZZ_CHECK(s.iterations == kMaxIterations);
            FUZZ_CHECK(u_in_box());
            break;
        case MORVEX_STATUS_OPTIMAL:
            FUZZ_CHECK(s.iterations <= kMaxIterations);
            if (s.iterations == 0) {
                FUZZ_CHECK(u_is_x0());
                FUZZ_CHECK(u_in_box());
                for (int j = 0; j < rows; ++j) FUZZ_CHECK(row_holds_quick_exit(p, j, s.u));
            } else {
                for (int i = 0; i < 4; ++i) FUZZ_CHECK(bound_holds(p, i, s.u));
                for (int j = 0; j < rows; ++j) FUZZ_CHECK(row_holds(p, j, s.u, kRelative));
            }
            break;
        default:
            FUZZ_CHECK(false);
    }

    // A clamped desired vector that clearly meets every row is the answer.
    bool x0_clearly_feasible = true;
    for (int j = 0; j < rows && x0_clearly_feasible; ++j) {
        x0_clearly_feasible = row_holds_with_margin(p, j, x0);
    }
    if (x0_clearly_feasible) {
        FUZZ_CHECK(s.status == MORVEX_STATUS_OPTIMAL);
        FUZZ_CHECK(s.iterations == 0);
        FUZZ_CHECK(u_is_x0());
    }
}

struct Case {
    Problem problem;
    Solution4 out;
};

void describe(const void* subject) {
    const auto& c = *static_cast<const Case*>(subject);
    const Problem& p = c.problem;
    const auto d = [](float v) { return static_cast<double>(v); };
    std::fprintf(stderr, "d   = (%.9g, %.9g, %.9g, %.9g)\n", d(p.d[0]), d(p.d[1]), d(p.d[2]),
                 d(p.d[3]));
    for (int i = 0; i < 4; ++i) {
        std::fprintf(stderr, "box[%d] = [%.9g, %.9g]\n", i, d(p.box.min[i]), d(p.box.max[i]));
    }
    std::fprintf(stderr, "count = %llu\n", static_cast<unsigned long long>(p.rows.count));
    for (int j = 0; j < 4 && static_cast<std::uint64_t>(j) < p.rows.count; ++j) {
        std::fprintf(stderr, "row %d: (%.9g, %.9g, %.9g, %.9g) . x <= %.9g\n", j, d(p.rows.a[j][0]),
                     d(p.rows.a[j][1]), d(p.rows.a[j][2]), d(p.rows.a[j][3]), d(p.rows.b[j]));
    }
    const Solution4& s = c.out;
    std::fprintf(stderr, "out: u = (%.9g, %.9g, %.9g, %.9g)  iterations = %llu  status = %u\n",
                 d(s.u[0]), d(s.u[1]), d(s.u[2]), d(s.u[3]),
                 static_cast<unsigned long long>(s.iterations), s.status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::uint8_t mode = in.u8();
    Problem p{};
    decode(in, mode, p);

    if ((mode & 0x0f) == 0) {  // one input in sixteen passes null pointers
        check_null_pointers(p, static_cast<std::uint8_t>(mode >> 4));
        return 0;
    }

    Case record{p, filled_solution()};
    morvex::fuzz::on_failure_describe(&describe, &record);
    Solution4& out = record.out;
    FUZZ_CHECK(morvex_solve_multivar_4d(p.d, &p.box, &p.rows, &out) == 0);
    check_solution(p, out);

    // Rows at or beyond `count` are never read (with count > 4, none is).
    Problem scrambled = p;
    const std::uint64_t first_unused = p.rows.count <= 4 ? p.rows.count : 0;
    for (std::uint64_t j = first_unused; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) scrambled.rows.a[j][i] = std::numeric_limits<float>::quiet_NaN();
        scrambled.rows.b[j] = -std::numeric_limits<float>::infinity();
    }
    Solution4 again = filled_solution();
    FUZZ_CHECK(morvex_solve_multivar_4d(scrambled.d, &scrambled.box, &scrambled.rows, &again) == 0);
    FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);

    // Everything is read before `out` is written: the desired vector may live in
    // out->u itself.
    if (mode & 0x40) {
        Solution4 aliased = filled_solution();
        std::memcpy(aliased.u, p.d, sizeof p.d);
        FUZZ_CHECK(morvex_solve_multivar_4d(aliased.u, &p.box, &p.rows, &aliased) == 0);
        FUZZ_CHECK(std::memcmp(&out, &aliased, sizeof out) == 0);
    }
    return 0;
}
