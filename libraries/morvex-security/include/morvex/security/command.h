// What a receipt covers for one actuator command: the action id "axis_" and
// the decimal axis, and the payload of requested position then commanded
// velocity, each a little-endian binary64. The issuing and the checking side
// build both here, so they cannot disagree on a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "morvex/security/crypto.h"

namespace morvex::security {

struct AxisActionId {
    char text[24];  // "axis_-2147483648" is the longest, 16 bytes
    std::size_t size;

    std::string_view view() const noexcept { return {text, size}; }
    std::span<const std::uint8_t> bytes() const noexcept { return action_id_bytes(view()); }
};

AxisActionId axis_action_id(std::int32_t axis) noexcept;

// The bit patterns are kept as they are: -0.0, NaN payloads and infinities included.
Payload command_payload(double requested_position, double commanded_velocity) noexcept;

}  // namespace morvex::security
