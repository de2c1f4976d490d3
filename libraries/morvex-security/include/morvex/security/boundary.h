// The replay-protected gate through which every authorization passes, and the
// 60-byte wire form of a receipt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morvex/security/crypto.h"
#include "morvex/security/error.h"

namespace morvex::security {

// How many accepted nonces are remembered. A power of two: slot arithmetic is a mask.
inline constexpr std::size_t NONCE_WINDOW = 1024;
static_assert((NONCE_WINDOW & (NONCE_WINDOW - 1)) == 0);

// Issues receipts under one key and accepts each at most once: an accepted
// receipt's sequence_id is above every earlier one and its nonce is not among
// the last NONCE_WINDOW accepted. State is inline (about 12 KiB), nothing is
// allocated. Not thread-safe: the owner serializes intercept_and_authorize.
class BoundaryInterceptor {
   public:
    explicit BoundaryInterceptor(const Key& key) noexcept;
    // The key copy is wiped: it does not outlive the interceptor in freed memory.
    ~BoundaryInterceptor() { secure_wipe(key_.data(), key_.size()); }
    BoundaryInterceptor(const BoundaryInterceptor&) = default;
    BoundaryInterceptor& operator=(const BoundaryInterceptor&) = default;

    // authorize() under this interceptor's key. Reads only the key: issuing
    // neither checks nor records anything.
    SecurityResult<AuthorizationReceipt> issue_receipt(const Nonce& nonce,
                                                       std::uint64_t timestamp_nanos,
                                                       std::uint64_t sequence_id,
                                                       std::span<const std::uint8_t> action_id,
                                                       const Payload& payload) const noexcept;

    // Checks `receipt` as covering `action_id` and `payload`, in this order:
    // sequence_id above the last accepted (else ReplayCounter), nonce not
    // remembered (else ReplayNonce), action id length (else ActionIdOverflow),
    // tag (else AuthenticationFailure). Accepts and records the receipt, or
    // returns the error and leaves the state untouched. The receipt's timestamp
    // is covered by the tag but never checked.
    SecurityStatus intercept_and_authorize(std::span<const std::uint8_t> action_id,
                                          const Payload& payload,
                                          const AuthorizationReceipt& receipt) noexcept;

    std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }
    std::size_t stored_nonces() const noexcept { return stored_nonces_; }

   private:
    bool nonce_remembered(const Nonce& nonce) const noexcept;
    void record(const AuthorizationReceipt& receipt) noexcept;

    Key key_;
    std::array<Nonce, NONCE_WINDOW> recent_nonces_;
    std::size_t next_slot_;      // slot the next accepted nonce overwrites
    std::size_t stored_nonces_;  // valid slots, cyclically preceding next_slot_
    std::uint64_t last_sequence_id_;
};

// Receipt wire form, 60 bytes, no padding or version (integers little-endian):
// nonce at 0 (12), timestamp_nanos at 12 (8), sequence_id at 20 (8), tag at 28 (32).
// The first 28 bytes equal the first 28 bytes of the authenticated message.
inline constexpr std::size_t SERIALIZED_RECEIPT_LEN = 60;

void serialize_receipt(const AuthorizationReceipt& receipt,
                       std::span<std::uint8_t, SERIALIZED_RECEIPT_LEN> out) noexcept;

AuthorizationReceipt deserialize_receipt(
    std::span<const std::uint8_t, SERIALIZED_RECEIPT_LEN> bytes) noexcept;

}  // namespace morvex::security
