#include "number_format.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace morvex::ext {

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Shortest round-trip digits in the form d[.ddd]e±x, then moved into place.
    char buffer[32];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    (void)ec;  // 32 bytes always hold a double's shortest scientific form
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e_pos = text.find('e');
    std::string digits(text.substr(0, e_pos));
    if (digits.size() > 1) digits.erase(1, 1);  // drop the decimal point
    // The exponent reads "e+dd" or "e-ddd"; from_chars takes no leading '+'.
    const char* exp_first = text.data() + e_pos + 1;
    const bool exp_negative = *exp_first == '-';
    long exponent = 0;
    std::from_chars(exp_first + 1, text.data() + text.size(), exponent);
    if (exp_negative) exponent = -exponent;

    std::string out = std::signbit(value) ? "-" : "";
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return out;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        out += digits;
        out.append(integer_digits - digits.size(), '0');
    } else {
        out.append(digits, 0, integer_digits);
        out += '.';
        out.append(digits, integer_digits, std::string::npos);
    }
    return out;
}

}  // namespace morvex::ext
