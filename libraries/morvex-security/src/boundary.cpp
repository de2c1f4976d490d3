// The replay-protected interceptor and the receipt wire form.
#include "morvex/security/boundary.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "byte_order.h"
#include "constant_time.h"

namespace morvex::security {

namespace {

constexpr std::size_t SLOT_MASK = NONCE_WINDOW - 1;

// Wire offsets; the nonce is at 0.
constexpr std::size_t TIMESTAMP_OFFSET = NONCE_LEN;
constexpr std::size_t SEQUENCE_OFFSET = TIMESTAMP_OFFSET + 8;
constexpr std::size_t TAG_OFFSET = SEQUENCE_OFFSET + 8;
static_assert(TAG_OFFSET + TAG_LEN == SERIALIZED_RECEIPT_LEN);

// Matches of `nonce` among slots [first, last), one full 12-byte comparison
// each, without a branch on the contents.
std::uint64_t count_matches_scalar(const Nonce* slots, std::size_t first, std::size_t last,
                                   const Nonce& nonce) noexcept {
    const std::uint64_t head = detail::load_word(nonce.data());
    const std::uint64_t tail = detail::load_tail(nonce.data());
    std::uint64_t matches = 0;
    for (std::size_t slot = first; slot < last; ++slot) {
        const std::uint8_t* stored = slots[slot].data();
        const std::uint64_t diff =
            (detail::load_word(stored) ^ head) | (detail::load_tail(stored) ^ tail);
        matches = black_box(matches | detail::is_zero(diff));
    }
    return matches;
}

#if defined(__SSE2__)
// Four slots (48 bytes: twelve 32-bit words in three vectors) per step against
// the nonce repeated in the same phase. Slot k owns words 3k..3k+2 and matches
// when all three compare equal.
std::uint64_t count_matches_sse2(const Nonce* slots, std::size_t count,
                                 const Nonce& nonce) noexcept {
    std::uint8_t pattern[16];
    for (std::size_t i = 0; i < 16; ++i) pattern[i] = nonce[i % NONCE_LEN];
    const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pattern));
    const __m128i p1 = _mm_shuffle_epi32(p0, _MM_SHUFFLE(1, 0, 2, 1));  // words 1 2 0 1
    const __m128i p2 = _mm_shuffle_epi32(p0, _MM_SHUFFLE(2, 1, 0, 2));  // words 2 0 1 2
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(slots);
    const auto word_equal = [](const std::uint8_t* at, __m128i p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return static_cast<std::uint64_t>(
            static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, p)))));
    };
    constexpr std::uint64_t kSlotStarts = 0b001001001001;
    std::uint64_t matches = 0;
    std::size_t slot = 0;
    for (; slot + 4 <= count; slot += 4) {
        const std::uint8_t* block = bytes + slot * NONCE_LEN;
        const std::uint64_t equal_words =
            word_equal(block, p0) | (word_equal(block + 16, p1) << 4) |
            (word_equal(block + 32, p2) << 8);
        matches = black_box(matches | (equal_words & (equal_words >> 1) & (equal_words >> 2) &
                                       kSlotStarts));
    }
    return matches | count_matches_scalar(slots, slot, count, nonce);
}
#endif

}  // namespace

BoundaryInterceptor::BoundaryInterceptor(const Key& key) noexcept
    : key_(key), recent_nonces_{}, next_slot_(0), stored_nonces_(0), last_sequence_id_(0) {}

SecurityResult<AuthorizationReceipt> BoundaryInterceptor::issue_receipt(
    const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
    std::span<const std::uint8_t> action_id, const Payload& payload) const noexcept {
    return authorize(key_, nonce, timestamp_nanos, sequence_id, action_id, payload);
}

// Every valid slot is compared in full, without a branch on its contents; the
// matches are gathered and tested once at the end, so no comparison can stop
// early. Slots never written are not valid entries and are never compared, so
// a zero nonce is not refused by a fresh ring. Until the ring wraps the valid
// slots are exactly 0 .. stored_nonces_ - 1; afterwards all of them are.
bool BoundaryInterceptor::nonce_remembered(const Nonce& nonce) const noexcept {
#if defined(__SSE2__)
    const std::uint64_t matches = count_matches_sse2(recent_nonces_.data(), stored_nonces_, nonce);
#else
    const std::uint64_t matches =
        count_matches_scalar(recent_nonces_.data(), 0, stored_nonces_, nonce);
#endif
    return black_box(matches) != 0;
}

void BoundaryInterceptor::record(const AuthorizationReceipt& receipt) noexcept {
    last_sequence_id_ = receipt.sequence_id;
    recent_nonces_[next_slot_] = receipt.nonce;
    next_slot_ = (next_slot_ + 1) & SLOT_MASK;
    if (stored_nonces_ < NONCE_WINDOW) ++stored_nonces_;
}

SecurityStatus BoundaryInterceptor::intercept_and_authorize(
    std::span<const std::uint8_t> action_id, const Payload& payload,
    const AuthorizationReceipt& receipt) noexcept {
    if (!sequence_advances(last_sequence_id_, receipt.sequence_id)) {
        return SecurityError::ReplayCounter;
    }
    if (nonce_remembered(receipt.nonce)) return SecurityError::ReplayNonce;
    const SecurityStatus tag = verify_tag(key_, receipt, action_id, payload);
    if (!tag) return tag;
    record(receipt);
    return {};
}

void serialize_receipt(const AuthorizationReceipt& receipt,
                       std::span<std::uint8_t, SERIALIZED_RECEIPT_LEN> out) noexcept {
    std::copy(receipt.nonce.begin(), receipt.nonce.end(), out.begin());
    detail::store_le(out.data() + TIMESTAMP_OFFSET, receipt.timestamp_nanos);
    detail::store_le(out.data() + SEQUENCE_OFFSET, receipt.sequence_id);
    std::copy(receipt.tag.begin(), receipt.tag.end(), out.begin() + TAG_OFFSET);
}

AuthorizationReceipt deserialize_receipt(
    std::span<const std::uint8_t, SERIALIZED_RECEIPT_LEN> bytes) noexcept {
    AuthorizationReceipt receipt{};
    std::copy(bytes.begin(), bytes.begin() + NONCE_LEN, receipt.nonce.begin());
    receipt.timestamp_nanos = detail::load_le<std::uint64_t>(bytes.data() + TIMESTAMP_OFFSET);
    receipt.sequence_id = detail::load_le<std::uint64_t>(bytes.data() + SEQUENCE_OFFSET);
    std::copy(bytes.begin() + TAG_OFFSET, bytes.end(), receipt.tag.begin());
    return receipt;
}

}  // namespace morvex::security
