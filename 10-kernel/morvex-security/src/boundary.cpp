// The replay-protected interceptor and the receipt wire form.
#include "morvex/security/boundary.h"

#include <algorithm>

#include "constant_time.h"

namespace morvex::security {

namespace {

constexpr std::size_t SLOT_MASK = NONCE_WINDOW - 1;

// Wire offsets; the nonce is at 0.
constexpr std::size_t TIMESTAMP_OFFSET = NONCE_LEN;
constexpr std::size_t SEQUENCE_OFFSET = TIMESTAMP_OFFSET + 8;
constexpr std::size_t TAG_OFFSET = SEQUENCE_OFFSET + 8;
static_assert(TAG_OFFSET + TAG_LEN == SERIALIZED_RECEIPT_LEN);

constexpr std::uint32_t status_of(SecurityError e) { return to_value(e); }

void store_le64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t load_le64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

}  // namespace

BoundaryInterceptor::BoundaryInterceptor(const Key& key) noexcept
    : key_(key), recent_nonces_{}, next_slot_(0), stored_nonces_(0), last_sequence_id_(0) {}

SecurityResult<AuthorizationReceipt> BoundaryInterceptor::issue_receipt(
    const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
    std::span<const std::uint8_t> action_id, const Payload& payload) const noexcept {
    return authorize(key_, nonce, timestamp_nanos, sequence_id, action_id, payload);
}

// Newest first; each comparison examines all 12 bytes, the scan stops at the
// first match. Slots that were never written are not valid entries and are
// never compared, so a zero nonce is not refused by a fresh ring.
bool BoundaryInterceptor::nonce_remembered(const Nonce& nonce) const noexcept {
    for (std::size_t back = 1; back <= stored_nonces_; ++back) {
        const Nonce& slot = recent_nonces_[(next_slot_ - back) & SLOT_MASK];
        if (detail::ct_equal(slot.data(), nonce.data(), NONCE_LEN)) return true;
    }
    return false;
}

void BoundaryInterceptor::record(const AuthorizationReceipt& receipt) noexcept {
    last_sequence_id_ = receipt.sequence_id;
    recent_nonces_[next_slot_] = receipt.nonce;
    next_slot_ = (next_slot_ + 1) & SLOT_MASK;
    if (stored_nonces_ < NONCE_WINDOW) ++stored_nonces_;
}

std::uint32_t BoundaryInterceptor::intercept_and_authorize(
    std::span<const std::uint8_t> action_id, const Payload& payload,
    const AuthorizationReceipt& receipt) noexcept {
    if (receipt.sequence_id <= last_sequence_id_) return status_of(SecurityError::ReplayCounter);
    if (nonce_remembered(receipt.nonce)) return status_of(SecurityError::ReplayNonce);

    SecurityResult<MessageHasher> begun = MessageHasher::begin(
        key_, receipt.nonce, receipt.timestamp_nanos, receipt.sequence_id, action_id);
    if (!begun) return status_of(begun.error());
    MessageHasher hasher = std::move(begun).value();
    hasher.update(payload);
    const Tag expected = std::move(hasher).finalize();
    if (!detail::ct_equal(expected.data(), receipt.tag.data(), TAG_LEN)) {
        return status_of(SecurityError::AuthenticationFailure);
    }

    record(receipt);
    return INTERCEPT_ACCEPTED;
}

void serialize_receipt(const AuthorizationReceipt& receipt,
                       std::span<std::uint8_t, SERIALIZED_RECEIPT_LEN> out) noexcept {
    std::copy(receipt.nonce.begin(), receipt.nonce.end(), out.begin());
    store_le64(out.data() + TIMESTAMP_OFFSET, receipt.timestamp_nanos);
    store_le64(out.data() + SEQUENCE_OFFSET, receipt.sequence_id);
    std::copy(receipt.tag.begin(), receipt.tag.end(), out.begin() + TAG_OFFSET);
}

AuthorizationReceipt deserialize_receipt(
    std::span<const std::uint8_t, SERIALIZED_RECEIPT_LEN> bytes) noexcept {
    AuthorizationReceipt receipt{};
    std::copy(bytes.begin(), bytes.begin() + NONCE_LEN, receipt.nonce.begin());
    receipt.timestamp_nanos = load_le64(bytes.data() + TIMESTAMP_OFFSET);
    receipt.sequence_id = load_le64(bytes.data() + SEQUENCE_OFFSET);
    std::copy(bytes.begin() + TAG_OFFSET, bytes.end(), receipt.tag.begin());
    return receipt;
}

}  // namespace morvex::security
