// What the authorization classes of both extension modules share: the wall
// clock, the built-in trial key and the key argument.
#pragma once

#include <cstdint>
#include <cstring>

#include "binding/convert.h"
#include "morvex/security/crypto.h"

namespace morvex::ext {

// Nanoseconds since the Unix epoch; 0 for a clock before the epoch.
std::uint64_t now_nanos();

// The key of hmac_key=None, for trials only: the receipt tag under 32 zero
// bytes of a fixed message, the same in every process, never drawn at random.
const security::Key& trial_key();

// A copy of a key that is wiped when it goes out of use. It is never copied or
// moved (only elided), so that no other copy is left behind.
class KeyCopy {
public:
    KeyCopy() = default;  // empty
    explicit KeyCopy(const security::Key& key) : key_(key), present_(true) {}
    explicit KeyCopy(const std::uint8_t* bytes) : present_(true) {
        std::memcpy(key_.data(), bytes, key_.size());
    }
    ~KeyCopy() { security::secure_wipe(key_.data(), key_.size()); }
    KeyCopy(const KeyCopy&) = delete;
    KeyCopy& operator=(const KeyCopy&) = delete;

    explicit operator bool() const { return present_; }
    const security::Key& operator*() const { return key_; }

private:
    security::Key key_{};
    bool present_ = false;
};

// The bytes as a boundary key, or empty when they are not exactly 32.
KeyCopy boundary_key(BytesArg bytes);

// The key of an hmac_key argument: the trial key for None, else the bytes as a
// boundary key (empty when they are not exactly 32).
KeyCopy chosen_key(const OrNone<BytesArg>& hmac_key);

}  // namespace morvex::ext
