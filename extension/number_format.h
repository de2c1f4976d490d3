// Numbers as they appear in refusal messages.
#pragma once

#include <cstddef>
#include <string>

namespace morvex::ext {

// The shortest decimal that reads back to exactly `value`, in positional
// notation: "5", "-7.5", "0.0000001", "1000000000000000000000", "-0", "inf",
// "-inf", "NaN". Never an exponent, no trailing zeros.
std::string format_double(double value);

}  // namespace morvex::ext
