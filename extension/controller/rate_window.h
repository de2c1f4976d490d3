// The fixed one-second rate window of a boundary (plain C++, no Python).
#pragma once

#include <cstdint>

namespace morvex::ext {

struct RateWindow {
    static constexpr std::uint64_t kLengthNanos = 1'000'000'000;

    std::uint64_t start_nanos;
    std::uint64_t count = 0;

    // Counts one request at `now` and says whether it is admitted. Elapsed time
    // wraps around, so a clock that went backwards starts a new window. The first
    // request of a new window is admitted only if the limit admits anything.
    bool admit(std::uint64_t now, std::uint64_t rate_limit) {
        if (now - start_nanos < kLengthNanos) {
            ++count;
            return count <= rate_limit;
        }
        start_nanos = now;
        count = 1;
        return rate_limit >= 1;
    }
};

}  // namespace morvex::ext
