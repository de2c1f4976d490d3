// What the authorization classes of both extension modules share: the wall
// clock, the built-in trial key and the key argument.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/convert.h"
#include "morvex/security/crypto.h"

namespace morvex::ext {

// Nanoseconds since the Unix epoch; 0 for a clock before the epoch.
std::uint64_t now_nanos();

// The key of hmac_key=None, for trials only: the receipt tag under 32 zero
// bytes of a fixed message, the same in every process, never drawn at random.
const security::Key& trial_key();

// The bytes as a boundary key, or nothing when they are not exactly 32.
std::optional<security::Key> boundary_key(BytesArg bytes);

}  // namespace morvex::ext
