// Reaches the HMAC engine of MessageHasher without the receipt message layout,
// so that tests can run it on arbitrary messages (published HMAC vectors).
// Internal: not part of the library's interface.
#pragma once

#include "morvex/security/crypto.h"

namespace morvex::security::detail {

struct MessageHasherAccess {
    // A hasher that has absorbed the two key blocks and no message yet: what
    // it is updated with next is the HMAC message.
    static MessageHasher keyed(const Key& key) noexcept { return MessageHasher(key_schedule(key)); }
};

}  // namespace morvex::security::detail
