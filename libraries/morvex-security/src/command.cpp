// The action id and payload of an actuator command.
#include "morvex/security/command.h"

#include <bit>

#include "byte_order.h"

namespace morvex::security {

// Plain decimal, written here rather than with std::to_chars, whose digit
// table would otherwise be exported from the shared library.
AxisActionId axis_action_id(std::int32_t axis) noexcept {
    AxisActionId id{"axis_", 5};
    if (axis < 0) id.text[id.size++] = '-';
    std::uint32_t magnitude = axis < 0 ? 0u - static_cast<std::uint32_t>(axis)
                                       : static_cast<std::uint32_t>(axis);
    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count != 0) id.text[id.size++] = digits[--count];
    return id;
}

Payload command_payload(double requested_position, double commanded_velocity) noexcept {
    Payload payload;
    detail::store_le(payload.data(), std::bit_cast<std::uint64_t>(requested_position));
    detail::store_le(payload.data() + 8, std::bit_cast<std::uint64_t>(commanded_velocity));
    return payload;
}

}  // namespace morvex::security
