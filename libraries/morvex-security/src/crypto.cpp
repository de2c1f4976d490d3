// HMAC-SHA-256 over the receipt message (RFC 2104 with a 32-byte key), the
// receipt constructor and the constant-time comparison.
#include "morvex/security/crypto.h"

#include <cstring>

#include "byte_order.h"
#include "constant_time.h"
#include "sha256.h"

namespace morvex::security {

namespace {

using detail::SHA256_BLOCK_LEN;
using detail::SHA256_DIGEST_LEN;

constexpr std::uint8_t INNER_PAD = 0x36;
constexpr std::uint8_t OUTER_PAD = 0x5c;

// Chaining value after the key block: the key, 32 zero bytes, all XOR `pad`.
void absorb_key_block(std::array<std::uint32_t, 8>& state, const Key& key, std::uint8_t pad) {
    std::uint8_t block[SHA256_BLOCK_LEN];
    for (std::size_t i = 0; i < KEY_LEN; ++i) block[i] = key[i] ^ pad;
    std::memset(block + KEY_LEN, pad, SHA256_BLOCK_LEN - KEY_LEN);
    std::memcpy(state.data(), detail::SHA256_INITIAL_STATE, sizeof detail::SHA256_INITIAL_STATE);
    detail::sha256_compress(state.data(), block, 1);
    secure_wipe(block, sizeof block);
}

// The last inner or outer block; `blocks` counts the blocks already compressed,
// key block included.
void finish(std::array<std::uint32_t, 8>& state, std::uint64_t blocks,
            std::array<std::uint8_t, SHA256_BLOCK_LEN>& pending, std::size_t fill) {
    detail::sha256_pad_and_compress(state.data(), pending.data(), fill,
                                    blocks * SHA256_BLOCK_LEN + fill);
}

}  // namespace

KeySchedule key_schedule(const Key& key) noexcept {
    KeySchedule schedule;
    absorb_key_block(schedule.inner, key, INNER_PAD);
    absorb_key_block(schedule.outer, key, OUTER_PAD);
    return schedule;
}

MessageHasher::MessageHasher(const KeySchedule& schedule) noexcept
    : inner_state_(schedule.inner), inner_blocks_(1), outer_state_(schedule.outer),
      outer_blocks_(1), pending_{}, fill_(0) {}

SecurityResult<MessageHasher> MessageHasher::begin(const Key& key, const Nonce& nonce,
                                                   std::uint64_t timestamp_nanos,
                                                   std::uint64_t sequence_id,
                                                   std::span<const std::uint8_t> action_id) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    KeySchedule schedule = key_schedule(key);
    SecurityResult<MessageHasher> begun =
        begin(schedule, nonce, timestamp_nanos, sequence_id, action_id);
    secure_wipe(&schedule, sizeof schedule);
    return begun;
}

SecurityResult<MessageHasher> MessageHasher::begin(const KeySchedule& schedule, const Nonce& nonce,
                                                   std::uint64_t timestamp_nanos,
                                                   std::uint64_t sequence_id,
                                                   std::span<const std::uint8_t> action_id) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    MessageHasher hasher(schedule);
    hasher.update(nonce);
    hasher.absorb_le64(timestamp_nanos);
    hasher.absorb_le64(sequence_id);
    hasher.absorb_le64(action_id.size());
    hasher.update(action_id);
    hasher.absorb_le64(PAYLOAD_LEN);
    SecurityResult<MessageHasher> begun = hasher;
    secure_wipe(&hasher, sizeof hasher);
    return begun;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
    while (!bytes.empty()) {
        const std::size_t room = SHA256_BLOCK_LEN - fill_;
        const std::size_t take = bytes.size() < room ? bytes.size() : room;
        std::memcpy(pending_.data() + fill_, bytes.data(), take);
        bytes = bytes.subspan(take);
        if (take == room) {
            detail::sha256_compress(inner_state_.data(), pending_.data(), 1);
            ++inner_blocks_;
            fill_ = 0;
        } else {
            fill_ = static_cast<std::uint8_t>(fill_ + take);
        }
    }
}

void MessageHasher::absorb_le64(std::uint64_t value) noexcept {
    std::uint8_t bytes[8];
    detail::store_le(bytes, value);
    update(bytes);
}

Tag MessageHasher::finalize() && noexcept {
    finish(inner_state_, inner_blocks_, pending_, fill_);

    // The outer message is the inner digest after the outer key block.
    detail::sha256_store_digest(inner_state_.data(), pending_.data());
    finish(outer_state_, outer_blocks_, pending_, SHA256_DIGEST_LEN);

    Tag tag;
    detail::sha256_store_digest(outer_state_.data(), tag.data());
    secure_wipe(this, sizeof *this);
    return tag;
}

namespace {

// The receipt message's tag from the compressed key blocks. The message is at
// most 124 bytes and known whole, so it is written once into two blocks and
// compressed from there (what begin, update and finalize of a MessageHasher
// compute, without the streaming: on a microcontroller the bookkeeping of
// many small updates costs as much as a compression). The buffer holds
// key-derived data at the end only (the inner digest) and is wiped.
SecurityResult<Tag> receipt_tag(const KeySchedule& schedule, const Nonce& nonce,
                                std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                                std::span<const std::uint8_t> action_id,
                                const Payload& payload) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    std::uint8_t blocks[2 * SHA256_BLOCK_LEN];
    std::uint8_t* at = blocks;
    std::memcpy(at, nonce.data(), NONCE_LEN);
    detail::store_le(at + 12, timestamp_nanos);
    detail::store_le(at + 20, sequence_id);
    detail::store_le(at + 28, std::uint64_t{action_id.size()});
    at += 36;
    if (!action_id.empty()) std::memcpy(at, action_id.data(), action_id.size());
    at += action_id.size();
    detail::store_le(at, std::uint64_t{PAYLOAD_LEN});
    std::memcpy(at + 8, payload.data(), PAYLOAD_LEN);
    const std::size_t length = static_cast<std::size_t>(at + 8 + PAYLOAD_LEN - blocks);

    std::array<std::uint32_t, 8> inner = schedule.inner;
    const std::size_t full = length / SHA256_BLOCK_LEN;
    if (full != 0) detail::sha256_compress(inner.data(), blocks, full);
    detail::sha256_pad_and_compress(inner.data(), blocks + full * SHA256_BLOCK_LEN,
                                    length - full * SHA256_BLOCK_LEN, SHA256_BLOCK_LEN + length);

    // The outer message is the inner digest after the outer key block.
    std::array<std::uint32_t, 8> outer = schedule.outer;
    detail::sha256_store_digest(inner.data(), blocks);
    detail::sha256_pad_and_compress(outer.data(), blocks, SHA256_DIGEST_LEN,
                                    SHA256_BLOCK_LEN + SHA256_DIGEST_LEN);
    Tag tag;
    detail::sha256_store_digest(outer.data(), tag.data());
    secure_wipe(blocks, sizeof blocks);
    secure_wipe(inner.data(), sizeof inner);
    secure_wipe(outer.data(), sizeof outer);
    return tag;
}

// The same from the key, whose compressed key blocks are wiped after use.
SecurityResult<Tag> receipt_tag(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                const Payload& payload) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    KeySchedule schedule = key_schedule(key);
    const SecurityResult<Tag> tag =
        receipt_tag(schedule, nonce, timestamp_nanos, sequence_id, action_id, payload);
    secure_wipe(&schedule, sizeof schedule);
    return tag;
}

template <class KeyOrSchedule>
SecurityStatus check_tag(const KeyOrSchedule& key, const AuthorizationReceipt& receipt,
                         std::span<const std::uint8_t> action_id, const Payload& payload) noexcept {
    const SecurityResult<Tag> expected = receipt_tag(
        key, receipt.nonce, receipt.timestamp_nanos, receipt.sequence_id, action_id, payload);
    if (!expected) return expected.error();
    if (!detail::ct_equal(expected.value().data(), receipt.tag.data(), TAG_LEN)) {
        return SecurityError::AuthenticationFailure;
    }
    return {};
}

}  // namespace

SecurityResult<AuthorizationReceipt> authorize(const Key& key, const Nonce& nonce,
                                               std::uint64_t timestamp_nanos,
                                               std::uint64_t sequence_id,
                                               std::span<const std::uint8_t> action_id,
                                               const Payload& payload) noexcept {
    const SecurityResult<Tag> tag =
        receipt_tag(key, nonce, timestamp_nanos, sequence_id, action_id, payload);
    if (!tag) return tag.error();
    return AuthorizationReceipt{nonce, timestamp_nanos, sequence_id, tag.value()};
}

SecurityStatus verify_tag(const KeySchedule& schedule, const AuthorizationReceipt& receipt,
                          std::span<const std::uint8_t> action_id,
                          const Payload& payload) noexcept {
    return check_tag(schedule, receipt, action_id, payload);
}

SecurityStatus verify_tag(const Key& key, const AuthorizationReceipt& receipt,
                          std::span<const std::uint8_t> action_id,
                          const Payload& payload) noexcept {
    return check_tag(key, receipt, action_id, payload);
}

void secure_wipe(void* data, std::size_t size) noexcept {
    std::memset(data, 0, size);
    // The asm claims to read the memory through `data`, so the store must happen.
    __asm__ volatile("" : : "r"(data) : "memory");
}

bool ct_eq(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return false;
    return detail::ct_equal(a.data(), b.data(), a.size());
}

}  // namespace morvex::security
