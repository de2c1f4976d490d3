// Keyed message authentication for authorization receipts.
//
// A receipt tag is the standard HMAC-SHA-256, under a 32-byte key, of this
// length-prefixed message (all integers little-endian, L = action id length):
//
//   offset  size  field
//        0    12  nonce
//       12     8  timestamp_nanos
//       20     8  sequence_id
//       28     8  L (0..64)
//       36     L  action id
//   36 + L     8  payload length, always 16
//   44 + L    16  payload
//
// Nothing here allocates, throws or keeps state between calls; every function
// is reentrant. Refusals are SecurityError values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "morvex/security/error.h"

namespace morvex::security {

inline constexpr std::size_t KEY_LEN = 32;
inline constexpr std::size_t NONCE_LEN = 12;
inline constexpr std::size_t TAG_LEN = 32;
inline constexpr std::size_t MAX_ACTION_ID_LEN = 64;
inline constexpr std::size_t PAYLOAD_LEN = 16;
inline constexpr std::size_t SESSION_ID_LEN = 16;

using Key = std::array<std::uint8_t, KEY_LEN>;
using Nonce = std::array<std::uint8_t, NONCE_LEN>;
using Tag = std::array<std::uint8_t, TAG_LEN>;
using Payload = std::array<std::uint8_t, PAYLOAD_LEN>;
using SessionId = std::array<std::uint8_t, SESSION_ID_LEN>;

// A signed receipt: a plain value that owns nothing.
struct AuthorizationReceipt {
    Nonce nonce;
    std::uint64_t timestamp_nanos;
    std::uint64_t sequence_id;
    Tag tag;  // HMAC-SHA-256 of the message above
};

// Views text such as "axis_2" as the action id bytes.
inline std::span<const std::uint8_t> action_id_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A key's two HMAC key blocks, compressed: the chaining values every tag under
// that key starts from. As secret as the key itself. A checker that verifies
// many receipts under one key keeps this instead of the key.
struct KeySchedule {
    std::array<std::uint32_t, 8> inner;
    std::array<std::uint32_t, 8> outer;
};

KeySchedule key_schedule(const Key& key) noexcept;

namespace detail {
struct MessageHasherAccess;
}

// One HMAC-SHA-256 computation over the receipt message, in progress. Lives on
// the stack of one operation. Use: begin, update(payload), finalize. The key
// is padded with zeros to one block (never hashed) and both key blocks are
// compressed again on every begin: nothing derived from a key is cached.
class MessageHasher {
   public:
    // Absorbs the key blocks and the message up to and including the payload
    // length field. An action id over MAX_ACTION_ID_LEN bytes is refused with
    // ActionIdOverflow before anything is hashed.
    static SecurityResult<MessageHasher> begin(const Key& key, const Nonce& nonce,
                                               std::uint64_t timestamp_nanos,
                                               std::uint64_t sequence_id,
                                               std::span<const std::uint8_t> action_id) noexcept;
    // The same from key blocks compressed earlier.
    static SecurityResult<MessageHasher> begin(const KeySchedule& schedule, const Nonce& nonce,
                                               std::uint64_t timestamp_nanos,
                                               std::uint64_t sequence_id,
                                               std::span<const std::uint8_t> action_id) noexcept;

    // Absorbs further message bytes (in this system: the 16-byte payload, once).
    void update(std::span<const std::uint8_t> bytes) noexcept;

    // Consumes the hasher: std::move(hasher).finalize(). Wipes the hasher's
    // key-derived state before returning.
    Tag finalize() && noexcept;

   private:
    friend struct detail::MessageHasherAccess;
    explicit MessageHasher(const KeySchedule& schedule) noexcept;  // key blocks only, empty message
    void absorb_le64(std::uint64_t value) noexcept;

    std::array<std::uint32_t, 8> inner_state_;
    std::uint64_t inner_blocks_;
    std::array<std::uint32_t, 8> outer_state_;
    std::uint64_t outer_blocks_;
    std::array<std::uint8_t, 64> pending_;
    std::uint8_t fill_;  // 0..63
};

// The receipt for these fields under `key`: the three fields copied, the tag
// computed. Fails only with ActionIdOverflow. Equal arguments give equal receipts.
SecurityResult<AuthorizationReceipt> authorize(const Key& key, const Nonce& nonce,
                                               std::uint64_t timestamp_nanos,
                                               std::uint64_t sequence_id,
                                               std::span<const std::uint8_t> action_id,
                                               const Payload& payload) noexcept;

// Whether `receipt.tag` is the tag of its fields with `action_id` and `payload`
// under `key`: AuthenticationFailure when it is not (the tags are compared in
// constant time), ActionIdOverflow for an action id over MAX_ACTION_ID_LEN.
SecurityStatus verify_tag(const Key& key, const AuthorizationReceipt& receipt,
                          std::span<const std::uint8_t> action_id,
                          const Payload& payload) noexcept;
SecurityStatus verify_tag(const KeySchedule& schedule, const AuthorizationReceipt& receipt,
                          std::span<const std::uint8_t> action_id,
                          const Payload& payload) noexcept;

// The key of one session of a checking side: HMAC-SHA-256 under the long-term
// key of SESSION_KEY_LABEL followed by the 16-byte session id. Receipts of a
// session are issued and checked under it, so that receipts of an earlier
// session (before a reset of the checking side) fail authentication.
inline constexpr std::string_view SESSION_KEY_LABEL = "morvex session key v1";
Key session_key(const Key& key, const SessionId& session_id) noexcept;

// The replay rule on sequence ids: a receipt is accepted only above the last
// accepted one (so 0 never is).
constexpr bool sequence_advances(std::uint64_t last_accepted, std::uint64_t sequence_id) noexcept {
    return sequence_id > last_accepted;
}

// Zeroes `size` bytes of secrets (keys, key-derived state) with a store the
// optimiser cannot drop, even when the memory is never read again.
void secure_wipe(void* data, std::size_t size) noexcept;

// Constant-time equality: every byte is examined whatever the position of the
// first difference. Arrays of different lengths are unequal (lengths are
// public). Used for tags (32 bytes) and nonces (12 bytes).
bool ct_eq(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

}  // namespace morvex::security
