// The receiving side's check of receipts: ReceiptGate, behind the C interface
// of morvex/receipt_gate.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morvex/security/boundary.h"
#include "morvex/security/crypto.h"
#include "morvex/security/error.h"
#include "morvex/security_config.h"

namespace morvex::security {

// How many accepted nonces a gate remembers, chosen when the library is built
// (morvex/receipt_gate.h says what they add to the sequence rule).
inline constexpr std::size_t GATE_NONCE_WINDOW = MORVEX_GATE_NONCE_WINDOW;
static_assert(GATE_NONCE_WINDOW <= 1024 && (GATE_NONCE_WINDOW & (GATE_NONCE_WINDOW - 1)) == 0,
              "the nonce window is a power of two from 0 to 1024");

// The last GATE_NONCE_WINDOW accepted nonces, oldest evicted first, with an
// open-addressing index over the ring so that a lookup probes a few slots
// instead of scanning all of them. Nonces travel in the clear, so the lookup
// need not be constant-time; only nonces of authentic receipts get in, and a
// probe sequence is at most the table's size.
class NonceMemory {
   public:
    bool contains(const Nonce& nonce) const noexcept;
    // Precondition: !contains(nonce).
    void insert(const Nonce& nonce) noexcept;
    std::size_t size() const noexcept { return stored_; }

   private:
    static constexpr std::size_t TABLE_SIZE = 2 * GATE_NONCE_WINDOW;  // load factor at most 1/2
    static constexpr std::size_t TABLE_MASK = TABLE_SIZE == 0 ? 0 : TABLE_SIZE - 1;
    static std::size_t home(const Nonce& nonce) noexcept;
    void erase_slot(std::size_t slot) noexcept;

    std::array<Nonce, GATE_NONCE_WINDOW> ring_{};
    std::array<std::uint16_t, TABLE_SIZE> index_{};  // ring slot + 1; 0 marks an empty entry
    std::size_t next_slot_ = 0;
    std::size_t stored_ = 0;
};

// Accepts a receipt only for exactly the command it was issued for, under the
// gate's key, once, in order of sequence id, and (with a maximum age) fresh.
// Checks authenticity first, so nothing about the replay state is learnt
// without the key. Inline state, no allocation; not thread-safe.
class ReceiptGate {
   public:
    // max_age_nanos 0: timestamps are not checked.
    ReceiptGate(const Key& key, std::uint64_t last_sequence_id,
                std::uint64_t max_age_nanos) noexcept;

    // Records and returns success, or returns the refusal and changes nothing.
    SecurityStatus check(const AuthorizationReceipt& receipt,
                         std::span<const std::uint8_t> action_id, const Payload& payload,
                         std::uint64_t now_nanos) noexcept;

    std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }
    std::size_t remembered_nonces() const noexcept { return nonces_.size(); }

   private:
    bool fresh(std::uint64_t timestamp_nanos, std::uint64_t now_nanos) const noexcept;

    KeySchedule key_schedule_;  // the key itself is not kept
    std::uint64_t last_sequence_id_;
    std::uint64_t max_age_nanos_;
    NonceMemory nonces_;
};

}  // namespace morvex::security
