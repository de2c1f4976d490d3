// morvex_exact_4d, its prepared and rechecked forms and the float-record drop-in on
// arbitrary limits. Besides "no crash, no sanitizer report", each output is checked
// against the promises of morvex/exact_4d.h, argued from the data, not from the solver:
//   - a null pointer gives INVALID_INPUT (-1 for the drop-in) and writes nothing;
//   - status is OPTIMAL, INFEASIBLE, NUMERICAL_FAILURE (a finite command too far out
//     on an open axis) or INVALID_INPUT, and INVALID_INPUT exactly when
//     the data is invalid (row_count > 4, a NaN, lower > upper, lower = +inf,
//     upper = -inf, an infinite coefficient, an infinite d on an unbounded side that
//     a row limits); otherwise x is d clamped into the box unless OPTIMAL;
//   - steps never exceed the bound MORVEX_EXACT4_MAX_STEPS (+1 when the enumeration ran);
//   - OPTIMAL: x in the box, no NaN, every used row met at x itself within
//     2^-39 of the magnitudes it adds up there (plus the rounding of the check);
//     when d clamped into the box meets every row with room, x is exactly that point;
//   - the prepared path gives the same bits as the one-shot call, and so does the
//     rechecked solve unless it answers a refusal (then judged as any OPTIMAL) or
//     refuses a far command as NUMERICAL_FAILURE instead of INFEASIBLE;
//   - the drop-in on float records: the same status as the double kernel on the
//     widened records, u in the box; when OPTIMAL at a finite answer x, u meets every
//     row as evaluated within 8 float ulps of x per axis, or no float point there does
//     (every one tried) and u is the float point nearest x in the box.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_reader.h"
#include "morvex/exact_4d.h"

namespace {

using morvex::fuzz::ByteReader;

// A double drawn from a float (small exact values, specials, raw floats), scaled
// by 2^k for a k in -80..80, or raw bits.
double f64(ByteReader& r) {
    const std::uint8_t tag = r.u8();
    if (tag < 16) {
        std::uint64_t bits = r.u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    const double v = static_cast<double>(r.f32());
    return tag < 64 ? std::ldexp(v, static_cast<int>(r.u8() % 161) - 80) : v;
}

bool data_invalid(const MorvexLimits4& lim, const double d[4]) {
    if (lim.row_count > 4) return true;
    for (int i = 0; i < 4; ++i) {
        const double lo = lim.lower[i], hi = lim.upper[i];
        if (std::isnan(lo) || std::isnan(hi) || std::isnan(d[i]) || lo > hi || lo == INFINITY ||
            hi == -INFINITY)
            return true;
    }
    for (uint32_t j = 0; j < lim.row_count; ++j) {
        if (std::isnan(lim.b[j])) return true;
        for (int i = 0; i < 4; ++i)
            if (!std::isfinite(lim.a[j][i])) return true;
    }
    // An infinite d on an unbounded side, limited there by a row that counts.
    for (int i = 0; i < 4; ++i) {
        const bool up = d[i] == INFINITY && lim.upper[i] == INFINITY;
        const bool down = d[i] == -INFINITY && lim.lower[i] == -INFINITY;
        if (!up && !down) continue;
        for (uint32_t j = 0; j < lim.row_count; ++j) {
            // Only rows that can ever bind count: not zero, b finite and still
            // finite once the row is scaled to a largest coefficient in [0.5, 1).
            const double a = lim.a[j][i];
            double mx = 0.0;
            for (int k = 0; k < 4; ++k) mx = std::fmax(mx, std::fabs(lim.a[j][k]));
            int e = 0;
            std::frexp(mx, &e);
            double n2 = 0.0;
            for (int k = 0; k < 4; ++k) n2 += std::pow(std::ldexp(lim.a[j][k], -e), 2);
            if (mx == 0.0 || !std::isfinite(std::ldexp(lim.b[j], -e) / std::sqrt(n2))) continue;
            if (a != 0.0 && (a > 0) == up) return true;
        }
    }
    return false;
}

double clamp_axis(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// Row j at the float point u as the drop-in evaluates it, less b.
double float_row_excess(const Constraints4& c, int j, const float u[4]) {
    double v = static_cast<double>(c.a[j][0]) * u[0];
    for (int i = 1; i < 4; ++i) v += static_cast<double>(c.a[j][i]) * u[i];
    return v - static_cast<double>(c.b[j]);
}

// Whether f is within 8 float ulps of v (an ulp at v, 2^-149 at least).
bool within_8_ulps(double v, float f) {
    int e;
    std::frexp(v, &e);
    const double ulp = v == 0.0 ? 0x1p-149 : std::ldexp(1.0, e - 24 < -149 ? -149 : e - 24);
    return std::fabs(static_cast<double>(f) - v) <= 8 * ulp;
}

// Whether some float point of the box within 8 float ulps of x per axis meets every
// row as evaluated: every one tried (about 17^4).
bool float_point_near(const double x[4], const Bounds4& box, const Constraints4& c) {
    float axis[4][40];
    int n[4];
    for (int i = 0; i < 4; ++i) {
        n[i] = 0;
        const float mid = static_cast<float>(x[i]);
        for (int side = 0; side < 2; ++side) {
            float f = side == 0 ? mid : std::nextafter(mid, -INFINITY);
            for (int k = 0; k < 40 && n[i] < 40 && within_8_ulps(x[i], f); ++k) {
                if (box.min[i] <= f && f <= box.max[i]) axis[i][n[i]++] = f;
                f = std::nextafter(f, side == 0 ? INFINITY : -INFINITY);
            }
        }
    }
    float u[4];
    for (int a = 0; a < n[0]; ++a)
        for (int b = 0; b < n[1]; ++b)
            for (int k = 0; k < n[2]; ++k)
                for (int m = 0; m < n[3]; ++m) {
                    u[0] = axis[0][a], u[1] = axis[1][b], u[2] = axis[2][k], u[3] = axis[3][m];
                    bool met = true;
                    for (int j = 0; j < static_cast<int>(c.count) && met; ++j)
                        met = float_row_excess(c, j, u) <= 0.0;
                    if (met) return true;
                }
    return false;
}

// The drop-in's answer u at an OPTIMAL double answer x (finite, floats' range).
void check_float_answer(const double x[4], const Bounds4& box, const Constraints4& c,
                        const float u[4]) {
    bool met = true;
    for (int j = 0; j < static_cast<int>(c.count); ++j) met = met && float_row_excess(c, j, u) <= 0.0;
    for (int i = 0; i < 4; ++i) met = met && within_8_ulps(x[i], u[i]);
    if (met) return;
    for (int i = 0; i < 4; ++i) {
        const float f = static_cast<float>(x[i]);
        FUZZ_CHECK(u[i] == (f < box.min[i] ? box.min[i] : f > box.max[i] ? box.max[i] : f));
    }
    FUZZ_CHECK(!float_point_near(x, box, c));
}

void check(const MorvexLimits4& lim, const double d[4], const MorvexExact4Result& out) {
    const SolveStatus st = out.status;
    FUZZ_CHECK(st == MORVEX_STATUS_OPTIMAL || st == MORVEX_STATUS_INFEASIBLE ||
               st == MORVEX_STATUS_INVALID_INPUT || st == MORVEX_STATUS_NUMERICAL_FAILURE);
    FUZZ_CHECK((st == MORVEX_STATUS_INVALID_INPUT) == data_invalid(lim, d));
    FUZZ_CHECK(out.steps <= MORVEX_EXACT4_MAX_STEPS + 1);
    if (st != MORVEX_STATUS_OPTIMAL) {
        for (int i = 0; i < 4; ++i) {
            const double c = clamp_axis(d[i], lim.lower[i], lim.upper[i]);
            FUZZ_CHECK(std::memcmp(&c, &out.x[i], sizeof c) == 0);
        }
        return;
    }
    double S = 0.0, c[4];
    bool at_inf[4];
    for (int i = 0; i < 4; ++i) {
        const double lo = lim.lower[i], hi = lim.upper[i], x = out.x[i];
        at_inf[i] = std::isinf(d[i]) && std::isinf(d[i] > 0 ? hi : lo);
        FUZZ_CHECK(!std::isnan(x) && lo <= x && x <= hi);
        FUZZ_CHECK(!at_inf[i] || x == d[i]);
        c[i] = clamp_axis(d[i], lo, hi);
        if (std::isfinite(lo)) S = std::fmax(S, std::fabs(lo));
        if (std::isfinite(hi)) S = std::fmax(S, std::fabs(hi));
        if (std::isfinite(c[i])) S = std::fmax(S, std::fabs(c[i]));
    }
    double len[4] = {};
    for (uint32_t j = 0; j < lim.row_count; ++j) {
        double mx = 0.0, n2 = 0.0;
        for (int i = 0; i < 4; ++i) mx = std::fmax(mx, std::fabs(lim.a[j][i]));
        if (mx == 0.0) {
            FUZZ_CHECK(lim.b[j] >= 0.0);
            continue;
        }
        for (int i = 0; i < 4; ++i) n2 += std::pow(lim.a[j][i] / mx, 2);
        len[j] = mx * std::sqrt(n2);
        if (std::isfinite(lim.b[j] / len[j])) S = std::fmax(S, std::fabs(lim.b[j] / len[j]));
    }
    bool quick = true;
    for (uint32_t j = 0; j < lim.row_count; ++j) {
        bool skip = len[j] == 0.0 || lim.b[j] == INFINITY;
        for (int i = 0; i < 4; ++i) skip = skip || (at_inf[i] && lim.a[j][i] != 0.0);
        if (skip) continue;
        FUZZ_CHECK(lim.b[j] != -INFINITY);
        // Evaluated on rows scaled to a largest coefficient of 1 (no overflow).
        double mx = 0.0;
        for (int i = 0; i < 4; ++i) mx = std::fmax(mx, std::fabs(lim.a[j][i]));
        double v = 0.0, mag = 0.0, vc = 0.0, xsum = 0.0;
        for (int i = 0; i < 4; ++i) {
            if (lim.a[j][i] == 0.0) continue;  // an axis at infinity has 0 here
            v += lim.a[j][i] / mx * out.x[i];
            vc += lim.a[j][i] / mx * c[i];
            mag += std::fabs(lim.a[j][i] / mx * out.x[i]);
            xsum += std::fabs(out.x[i]);
        }
        const double b = lim.b[j] / mx, l = len[j] / mx;
        // Met at x itself, within 2^-39 of the magnitudes the row adds up there
        // (whatever the scale of c or of the limits), plus the check's own rounding;
        // a coefficient below 2^-1022 of the row's length is held as a subnormal.
        FUZZ_CHECK(v - b <= 0x1.04p-39 * (mag + std::fabs(b)) + 0x1p-1072 * l * xsum + 0x1p-1000);
        quick = quick && vc - b <= -0x1p-30 * (S * l + mag + std::fabs(b));
    }
    if (quick && !std::isinf(d[0] + d[1] + d[2] + d[3])) {
        FUZZ_CHECK(out.steps == 0);
        for (int i = 0; i < 4; ++i) FUZZ_CHECK(out.x[i] == c[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader r(data, size);
    const std::uint8_t shape = r.u8();
    MorvexLimits4 lim{};
    double d[4];
    for (int i = 0; i < 4; ++i) {
        lim.lower[i] = f64(r);
        lim.upper[i] = (shape & 1) ? lim.lower[i] + std::fabs(f64(r)) : f64(r);
        d[i] = f64(r);
    }
    lim.row_count = (shape & 0x80) ? r.u8() : (shape >> 1) % 5;
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) lim.a[j][i] = f64(r);
        lim.b[j] = f64(r);
    }
    MorvexExact4Result out, again;
    std::memset(&out, 0xA5, sizeof out);
    morvex_exact_4d(&lim, d, &out);
    check(lim, d, out);

    MorvexExact4Prepared prepared;
    morvex_exact_4d_prepare(&lim, &prepared);
    std::memset(&again, 0x5A, sizeof again);
    morvex_exact_4d_solve(&prepared, d, &again);
    FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);
    FUZZ_CHECK(morvex_exact_4d(nullptr, d, &again) == MORVEX_STATUS_INVALID_INPUT);
    FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);
    // A refusal checked over every working set: an answer it finds is judged as any
    // other; every other outcome is the solve's, bit for bit. Random limits are mostly
    // infeasible, and each such check tries every working set: it is made on the
    // refusals of the enumeration (where rounding may have hidden an answer) and on one
    // input in 16 by its length.
    const bool recheck = out.status == MORVEX_STATUS_OPTIMAL ||
                         out.status == MORVEX_STATUS_NUMERICAL_FAILURE ||
                         out.steps > MORVEX_EXACT4_MAX_STEPS || size % 16 == 0;
    if (recheck) {
        std::memset(&again, 0x3C, sizeof again);
        morvex_exact_4d_solve_rechecked(&prepared, d, &again);
        if (out.status != MORVEX_STATUS_OPTIMAL && again.status == MORVEX_STATUS_OPTIMAL) {
            check(lim, d, again);
        } else {
            // The limits are taken to admit a point: a far command's INFEASIBLE is
            // NUMERICAL_FAILURE there, with the same x and steps.
            if (out.status == MORVEX_STATUS_INFEASIBLE &&
                again.status == MORVEX_STATUS_NUMERICAL_FAILURE)
                again.status = MORVEX_STATUS_INFEASIBLE;
            FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);
        }
    }

    // The drop-in on the same limits rounded to float records.
    float fd[4];
    Bounds4 box;
    Constraints4 rows{};
    MorvexLimits4 wide{};
    double wd[4];
    rows.count = lim.row_count;
    for (int i = 0; i < 4; ++i) {
        fd[i] = static_cast<float>(d[i]);
        box.min[i] = static_cast<float>(lim.lower[i]);
        box.max[i] = static_cast<float>(lim.upper[i]);
        wd[i] = fd[i];
        wide.lower[i] = box.min[i];
        wide.upper[i] = box.max[i];
    }
    wide.row_count = lim.row_count;
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) wide.a[j][i] = rows.a[j][i] = static_cast<float>(lim.a[j][i]);
        wide.b[j] = rows.b[j] = static_cast<float>(lim.b[j]);
    }
    Solution4 fout;
    std::memset(&fout, 0xA5, sizeof fout);
    FUZZ_CHECK(morvex_solve_exact_4d_f32(fd, &box, &rows, &fout) == 0);
    const SolveStatus wide_status = morvex_exact_4d(&wide, wd, &again);
    FUZZ_CHECK(fout.status == wide_status);
    FUZZ_CHECK(fout.iterations <= MORVEX_EXACT4_MAX_STEPS + 1);
    if (fout.status == MORVEX_STATUS_OPTIMAL) {
        bool in_range = true;
        for (int i = 0; i < 4; ++i) {
            FUZZ_CHECK(box.min[i] <= fout.u[i] && fout.u[i] <= box.max[i]);
            in_range = in_range && std::fabs(again.x[i]) <= FLT_MAX;
        }
        if (in_range) check_float_answer(again.x, box, rows, fout.u);
    }
    return 0;
}
