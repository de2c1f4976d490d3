#include "number_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace morvex::ext {
namespace {

char* fill(char* out, char c, std::size_t count) {
    std::memset(out, c, count);
    return out + count;
}

char* copy(char* out, const char* from, std::size_t count) {
    std::memcpy(out, from, count);
    return out + count;
}

}  // namespace

std::string_view format_double(double value, char* out) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Shortest round-trip digits in the form d[.ddd]e±x, then moved into place.
    char sci[32];
    const char* end =
        std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific).ptr;
    const char* e = static_cast<const char*>(std::memchr(sci, 'e', static_cast<std::size_t>(end - sci)));
    char digits[20];
    std::size_t n = 0;
    for (const char* p = sci; p < e; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    // The exponent reads "e+dd" or "e-ddd"; from_chars takes no leading '+'.
    long exponent = 0;
    std::from_chars(e + 2, end, exponent);
    if (e[1] == '-') exponent = -exponent;

    char* p = out;
    if (std::signbit(value)) *p++ = '-';
    if (exponent < 0) {
        p = copy(p, "0.", 2);
        p = fill(p, '0', static_cast<std::size_t>(-exponent - 1));
        p = copy(p, digits, n);
    } else {
        const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
        if (n <= integer_digits) {
            p = copy(p, digits, n);
            p = fill(p, '0', integer_digits - n);
        } else {
            p = copy(p, digits, integer_digits);
            *p++ = '.';
            p = copy(p, digits + integer_digits, n - integer_digits);
        }
    }
    return {out, static_cast<std::size_t>(p - out)};
}

}  // namespace morvex::ext
