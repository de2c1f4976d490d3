// morvex_solve_active_set on arbitrary records. Besides "no crash, no sanitizer
// report", every output is checked against what the projection must be, argued
// in double precision rather than by re-running the kernel's own steps:
//   - null record pointers give -1 and leave `out` untouched;
//   - otherwise 0, iterations 1, status Optimal or Infeasible, padding intact,
//     and rows 1..3 of the constraints are never read;
//   - on a valid envelope (lo <= hi, no NaN): Optimal means u is in the box, meets
//     the row up to the rounding of b / a, equals u_desired when that is strictly
//     feasible and otherwise sits on a bound or on b / a on the side of
//     u_desired; Infeasible means the row cannot be met anywhere in the box.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_reader.h"
#include "morvex/core.h"

namespace {

using morvex::fuzz::ByteReader;
using morvex::fuzz::same_bits;

constexpr unsigned char kFill = 0xA5;

float clamp_lower_first(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool padding_intact(const ScalarSolution& out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (std::size_t k = sizeof(float); k < offsetof(ScalarSolution, iterations); ++k) {
        if (bytes[k] != kFill) return false;
    }
    for (std::size_t k = offsetof(ScalarSolution, status) + sizeof(SolveStatus); k < sizeof out;
         ++k) {
        if (bytes[k] != kFill) return false;
    }
    return true;
}

ScalarSolution filled_solution() {
    ScalarSolution out;
    std::memset(&out, kFill, sizeof out);
    return out;
}

// Rounding allowance for the row a * u <= b when u was bounded through t = b / a
// in single precision: t carries a relative error of at most 2^-24 (so a * t is
// within |b| * 2^-24 of b) or, when t is subnormal, an absolute error of at most
// 2^-150 (so a * t is within |a| * 2^-150). Twice both, to stay clear of ties.
double row_tolerance(float a, float b) {
    return std::fabs(static_cast<double>(b)) * 0x1p-23 +
           std::fabs(static_cast<double>(a)) * 0x1p-149;
}

void check_valid_envelope(float a, float b, float x, float lo, float hi, const ScalarSolution& s) {
    const bool x_nan = std::isnan(x);
    if (!x_nan) FUZZ_CHECK(!std::isnan(s.u));

    if (std::isnan(a) || std::isnan(b)) {  // the row is neutral
        FUZZ_CHECK(s.status == MORVEX_STATUS_OPTIMAL);
        FUZZ_CHECK(same_bits(s.u, clamp_lower_first(x, lo, hi)));
        return;
    }
    if (a == 0.0f) {  // the row reads 0 <= b
        FUZZ_CHECK(s.status == (b < 0.0f ? MORVEX_STATUS_INFEASIBLE : MORVEX_STATUS_OPTIMAL));
        FUZZ_CHECK(same_bits(s.u, clamp_lower_first(x, lo, hi)));
        return;
    }

    if (s.status == MORVEX_STATUS_INFEASIBLE) {
        // The answer is the box end nearest to the half-line the row allows.
        FUZZ_CHECK(same_bits(s.u, lo) || same_bits(s.u, hi));
    } else if (!x_nan) {
        FUZZ_CHECK(lo <= s.u && s.u <= hi);
    }

    if (std::isinf(a) || std::isinf(b)) return;  // b / a is 0, infinite or NaN: no magnitudes

    // Smallest value of a * u over the box, exactly (a product of two floats is
    // exact in double; infinite bounds give an infinite minimum).
    const double da = a, db = b;
    const double lowest = a > 0.0f ? da * lo : da * hi;
    const double tol = row_tolerance(a, b);
    if (s.status == MORVEX_STATUS_INFEASIBLE) {
        FUZZ_CHECK(lowest > db - tol);
        return;
    }
    FUZZ_CHECK(s.status == MORVEX_STATUS_OPTIMAL);
    // b / a beyond the single-precision range rounds to an infinite t, which
    // an infinite bound then meets: no finite allowance covers that rounding.
    const float t = b / a;
    if (!std::isinf(t)) FUZZ_CHECK(lowest <= db + tol);
    if (x_nan) return;
    // When b / a overflows single precision an infinite u may stand for it.
    if (std::isfinite(s.u)) FUZZ_CHECK(da * s.u <= db + tol);

    const bool x_strictly_feasible = lo <= x && x <= hi && da * x < db - tol;
    if (x_strictly_feasible) FUZZ_CHECK(same_bits(s.u, x));
    if (s.u == x) return;
    if (x < s.u) {  // pushed up: onto the lower bound or the row's lower end
        FUZZ_CHECK(s.u == lo || (a < 0.0f && s.u == t));
    } else {  // pushed down
        FUZZ_CHECK(s.u == hi || (a > 0.0f && s.u == t));
    }
}

struct Case {
    ScalarConstraints constraints;
    float x;
    ScalarBounds bounds;
    ScalarSolution out;
};

void describe(const void* subject) {
    const auto& c = *static_cast<const Case*>(subject);
    std::fprintf(stderr, "a0 = %.9g  b0 = %.9g  u_desired = %.9g  box = [%.9g, %.9g]\n",
                 static_cast<double>(c.constraints.a[0]), static_cast<double>(c.constraints.b[0]),
                 static_cast<double>(c.x), static_cast<double>(c.bounds.min_bound),
                 static_cast<double>(c.bounds.max_bound));
    std::fprintf(stderr, "out: u = %.9g  iterations = %llu  status = %u\n",
                 static_cast<double>(c.out.u), static_cast<unsigned long long>(c.out.iterations),
                 c.out.status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::uint8_t mode = in.u8();
    ScalarConstraints constraints;
    for (float& v : constraints.a) v = in.f32();
    for (float& v : constraints.b) v = in.f32();
    const float x = in.f32();
    const ScalarBounds bounds{in.f32(), in.f32()};

    // One input in eight passes a null pointer.
    if ((mode & 7) == 0) {
        ScalarSolution out = filled_solution();
        const ScalarSolution before = out;
        const bool null_constraints = (mode & 8) != 0;
        const std::int32_t rc = morvex_solve_active_set(
            null_constraints ? nullptr : &constraints, null_constraints ? &out : nullptr, x,
            bounds);
        FUZZ_CHECK(rc == -1);
        FUZZ_CHECK(std::memcmp(&out, &before, sizeof out) == 0);
        if (mode & 16) {
            FUZZ_CHECK(morvex_solve_active_set(nullptr, nullptr, x, bounds) == -1);
        }
        return 0;
    }

    Case record{constraints, x, bounds, filled_solution()};
    morvex::fuzz::on_failure_describe(&describe, &record);
    ScalarSolution& out = record.out;
    FUZZ_CHECK(morvex_solve_active_set(&constraints, &out, x, bounds) == 0);
    FUZZ_CHECK(padding_intact(out));
    FUZZ_CHECK(out.iterations == 1);
    FUZZ_CHECK(out.status == MORVEX_STATUS_OPTIMAL || out.status == MORVEX_STATUS_INFEASIBLE);

    // Rows 1..3 are carried but never read: scrambling them changes nothing.
    ScalarConstraints scrambled = constraints;
    for (int k = 1; k < 4; ++k) {
        scrambled.a[k] = std::nanf("");
        scrambled.b[k] = -scrambled.b[k] + 1.0f;
    }
    ScalarSolution again = filled_solution();
    FUZZ_CHECK(morvex_solve_active_set(&scrambled, &again, x, bounds) == 0);
    FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);

    const float lo = bounds.min_bound, hi = bounds.max_bound;
    if (!std::isnan(lo) && !std::isnan(hi) && lo <= hi) {
        check_valid_envelope(constraints.a[0], constraints.b[0], x, lo, hi, out);
    }
    return 0;
}
