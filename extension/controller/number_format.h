// Numbers as they appear in refusal messages.
#pragma once

#include <cstddef>
#include <string_view>

namespace morvex::ext {

// Enough for any double: a sign, up to 309 integer digits or "0." with 323
// zeros and 17 significant digits.
inline constexpr std::size_t kMaxFormattedDouble = 352;

// Writes the shortest decimal that reads back to exactly `value`, in positional
// notation: "5", "-7.5", "0.0000001", "1000000000000000000000", "-0", "inf",
// "-inf", "NaN". Never an exponent, no trailing zeros. Returns the text, which
// lives in `out` (at least kMaxFormattedDouble bytes).
std::string_view format_double(double value, char* out);

}  // namespace morvex::ext
