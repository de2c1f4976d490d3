// ReceiptGate and its C interface.
#include "receipt_gate.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "byte_order.h"
#include "constant_time.h"
#include "morvex/receipt_gate.h"
#include "morvex/security/command.h"

namespace morvex::security {

std::size_t NonceMemory::home(const Nonce& nonce) noexcept {
    const std::uint64_t mixed = detail::load_le<std::uint64_t>(nonce.data()) ^
                                (std::uint64_t{detail::load_le<std::uint32_t>(nonce.data() + 8)}
                                 << 29);
    return static_cast<std::size_t>((mixed * 0x9e3779b97f4a7c15u) >> 53) & TABLE_MASK;
}

bool NonceMemory::contains(const Nonce& nonce) const noexcept {
    if constexpr (GATE_NONCE_WINDOW == 0) return false;
    for (std::size_t at = home(nonce);; at = (at + 1) & TABLE_MASK) {
        const std::uint16_t entry = index_[at];
        if (entry == 0) return false;
        if (ring_[entry - 1u] == nonce) return true;
    }
}

void NonceMemory::insert(const Nonce& nonce) noexcept {
    if constexpr (GATE_NONCE_WINDOW == 0) return;
    if (stored_ == GATE_NONCE_WINDOW) {
        erase_slot(next_slot_);
    } else {
        ++stored_;
    }
    ring_[next_slot_] = nonce;
    std::size_t at = home(nonce);
    while (index_[at] != 0) at = (at + 1) & TABLE_MASK;
    index_[at] = static_cast<std::uint16_t>(next_slot_ + 1);
    next_slot_ = (next_slot_ + 1) & (GATE_NONCE_WINDOW - 1);
}

// Linear probing without tombstones: after the entry goes, later entries of
// the same run move back into the hole unless that would put them before
// their home position.
void NonceMemory::erase_slot(std::size_t slot) noexcept {
    std::size_t hole = home(ring_[slot]);
    while (index_[hole] != slot + 1) hole = (hole + 1) & TABLE_MASK;
    for (std::size_t next = (hole + 1) & TABLE_MASK; index_[next] != 0;
         next = (next + 1) & TABLE_MASK) {
        const std::size_t wanted = home(ring_[index_[next] - 1u]);
        // Distances along the probe sequence, cyclically.
        const std::size_t to_hole = (hole - wanted) & TABLE_MASK;
        const std::size_t to_next = (next - wanted) & TABLE_MASK;
        if (to_hole < to_next) {
            index_[hole] = index_[next];
            hole = next;
        }
    }
    index_[hole] = 0;
}

ReceiptGate::ReceiptGate(const Key& key, std::uint64_t last_sequence_id,
                         std::uint64_t max_age_nanos) noexcept
    : key_schedule_(key_schedule(key)), last_sequence_id_(last_sequence_id), max_age_nanos_(max_age_nanos) {}

bool ReceiptGate::fresh(std::uint64_t timestamp_nanos, std::uint64_t now_nanos) const noexcept {
    if (max_age_nanos_ == 0) return true;
    const std::uint64_t distance =
        timestamp_nanos < now_nanos ? now_nanos - timestamp_nanos : timestamp_nanos - now_nanos;
    return distance <= max_age_nanos_;
}

SecurityStatus ReceiptGate::check(const AuthorizationReceipt& receipt,
                                  std::span<const std::uint8_t> action_id,
                                  const Payload& payload, std::uint64_t now_nanos) noexcept {
    const SecurityStatus tag = verify_tag(key_schedule_, receipt, action_id, payload);
    if (!tag) return tag;
    if (!fresh(receipt.timestamp_nanos, now_nanos)) return SecurityError::StaleReceipt;
    if (!sequence_advances(last_sequence_id_, receipt.sequence_id)) {
        return SecurityError::ReplayCounter;
    }
    if (nonces_.contains(receipt.nonce)) return SecurityError::ReplayNonce;
    last_sequence_id_ = receipt.sequence_id;
    nonces_.insert(receipt.nonce);
    return {};
}

}  // namespace morvex::security

// ---- C interface --------------------------------------------------------------

namespace {

namespace sec = morvex::security;

// A gate's storage holds this: a marker that init wrote, then the gate.
struct GateCell {
    std::uint64_t armed;
    sec::ReceiptGate gate;
};
constexpr std::uint64_t ARMED = 0x6d6f72766578'6761;  // an arbitrary, unlikely word

static_assert(sizeof(GateCell) <= sizeof(morvex_receipt_gate),
              "morvex_receipt_gate's size in morvex/receipt_gate.h is too small for the window");
static_assert(alignof(GateCell) <= alignof(morvex_receipt_gate));
static_assert(std::is_trivially_destructible_v<GateCell>, "the C interface never destroys a gate");
static_assert(MORVEX_GATE_KEY_LEN == sec::KEY_LEN);
static_assert(MORVEX_GATE_RECEIPT_LEN == sec::SERIALIZED_RECEIPT_LEN);
static_assert(MORVEX_GATE_STALE_RECEIPT == sec::to_value(sec::SecurityError::StaleReceipt));
static_assert(MORVEX_GATE_REPLAY_NONCE == sec::to_value(sec::SecurityError::ReplayNonce));
static_assert(MORVEX_GATE_INVALID_KEY_LENGTH == sec::to_value(sec::SecurityError::InvalidKeyLength));

GateCell* armed_cell(morvex_receipt_gate* gate) {
    if (gate == nullptr) return nullptr;
    auto* cell = std::launder(reinterpret_cast<GateCell*>(gate->opaque));
    return cell->armed == ARMED ? cell : nullptr;
}

void arm(morvex_receipt_gate* gate, const sec::Key& key, std::uint64_t last_sequence_id,
         std::uint64_t max_age_ns) {
    new (gate->opaque) GateCell{ARMED, sec::ReceiptGate(key, last_sequence_id, max_age_ns)};
}

}  // namespace

extern "C" {

std::uint32_t morvex_receipt_gate_init(morvex_receipt_gate* gate, const std::uint8_t* key,
                                       std::size_t key_len, std::uint64_t last_sequence_id,
                                       std::uint64_t max_age_ns) {
    if (gate == nullptr || key == nullptr) return sec::to_value(sec::SecurityError::InvalidPointer);
    if (key_len != sec::KEY_LEN) return sec::to_value(sec::SecurityError::InvalidKeyLength);
    sec::Key copy;
    std::memcpy(copy.data(), key, copy.size());
    arm(gate, copy, last_sequence_id, max_age_ns);
    sec::secure_wipe(copy.data(), copy.size());
    return 0;
}

std::uint32_t morvex_session_key(const std::uint8_t* key, std::size_t key_len,
                                 const std::uint8_t* session_id, std::size_t session_id_len,
                                 std::uint8_t* session_key) {
    if (key == nullptr || session_id == nullptr || session_key == nullptr) {
        return sec::to_value(sec::SecurityError::InvalidPointer);
    }
    if (key_len != sec::KEY_LEN || session_id_len != sec::SESSION_ID_LEN) {
        return sec::to_value(sec::SecurityError::InvalidKeyLength);
    }
    sec::Key copy;
    sec::SessionId id;
    std::memcpy(copy.data(), key, copy.size());
    std::memcpy(id.data(), session_id, id.size());
    sec::Key derived = sec::session_key(copy, id);
    std::memcpy(session_key, derived.data(), derived.size());
    sec::secure_wipe(copy.data(), copy.size());
    sec::secure_wipe(derived.data(), derived.size());
    return 0;
}

std::uint32_t morvex_receipt_gate_init_session(morvex_receipt_gate* gate, const std::uint8_t* key,
                                               std::size_t key_len,
                                               const std::uint8_t* session_id,
                                               std::size_t session_id_len,
                                               std::uint64_t max_age_ns) {
    if (gate == nullptr) return sec::to_value(sec::SecurityError::InvalidPointer);
    sec::Key derived;
    const std::uint32_t result =
        morvex_session_key(key, key_len, session_id, session_id_len, derived.data());
    if (result == 0) arm(gate, derived, 0, max_age_ns);
    sec::secure_wipe(derived.data(), derived.size());
    return result;
}

std::uint32_t morvex_receipt_gate_check(morvex_receipt_gate* gate, const std::uint8_t* receipt,
                                        std::size_t receipt_len, std::int32_t target_axis,
                                        double requested_position, double commanded_velocity,
                                        std::uint64_t now_ns) {
    GateCell* cell = armed_cell(gate);
    if (cell == nullptr) return sec::to_value(sec::SecurityError::InvalidPointer);
    if (receipt_len != sec::SERIALIZED_RECEIPT_LEN) {
        return sec::to_value(sec::SecurityError::InvalidReceipt);
    }
    if (receipt == nullptr) return sec::to_value(sec::SecurityError::InvalidPointer);
    const sec::AuthorizationReceipt parsed = sec::deserialize_receipt(
        std::span<const std::uint8_t, sec::SERIALIZED_RECEIPT_LEN>(receipt, receipt_len));
    const sec::AxisActionId action_id = sec::axis_action_id(target_axis);
    return cell->gate
        .check(parsed, action_id.bytes(), sec::command_payload(requested_position, commanded_velocity),
               now_ns)
        .value();
}

std::uint64_t morvex_receipt_gate_last_sequence_id(const morvex_receipt_gate* gate) {
    const GateCell* cell = armed_cell(const_cast<morvex_receipt_gate*>(gate));
    return cell == nullptr ? 0 : cell->gate.last_sequence_id();
}

void morvex_receipt_gate_wipe(morvex_receipt_gate* gate) {
    if (gate != nullptr) sec::secure_wipe(gate->opaque, sizeof gate->opaque);
}

const char* morvex_gate_code_string(std::uint32_t result) {
    if (result == 0) return "accepted";
    const auto error = sec::security_error_from_value(result);
    return error ? sec::code_string(*error).data() : nullptr;
}

const char* morvex_gate_message(std::uint32_t result) {
    if (result == 0) return "receipt accepted";
    const auto error = sec::security_error_from_value(result);
    return error ? sec::message(*error).data() : nullptr;
}

}  // extern "C"
