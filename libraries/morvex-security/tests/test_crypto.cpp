// Receipt tags (MessageHasher, authorize) against OpenSSL's HMAC and the
// RFC 4231 vectors, on every back end; and the constant-time comparison.
#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "message_hasher_access.h"
#include "test_support.h"

namespace {

using namespace sectest;
using morvex::security::detail::Sha256Backend;

Payload payload_of(double position, double velocity) {
    Payload out{};
    const std::uint64_t words[2] = {std::bit_cast<std::uint64_t>(position),
                                    std::bit_cast<std::uint64_t>(velocity)};
    for (std::size_t i = 0; i < 16; ++i) out[i] = static_cast<std::uint8_t>(words[i / 8] >> (8 * (i % 8)));
    return out;
}

void append_le64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The authenticated message, assembled field by field from its published layout.
Bytes layout_message(const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence,
                     std::span<const std::uint8_t> action_id, const Payload& payload) {
    Bytes msg(nonce.begin(), nonce.end());
    append_le64(msg, timestamp);
    append_le64(msg, sequence);
    append_le64(msg, action_id.size());
    msg.insert(msg.end(), action_id.begin(), action_id.end());
    append_le64(msg, payload.size());
    msg.insert(msg.end(), payload.begin(), payload.end());
    return msg;
}

Key counting_key(std::uint8_t first) {
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
    return key;
}

const Nonce EXAMPLE_NONCE = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Every test of this suite runs once per available SHA-256 back end.
class ReceiptTag : public ::testing::TestWithParam<Sha256Backend> {
   protected:
    void SetUp() override { ASSERT_TRUE(guard_.selected()); }

   private:
    BackendGuard guard_{GetParam()};
};

TEST_P(ReceiptTag, PublishedExampleMessageOf66Bytes) {
    const Bytes message = from_hex(
        "000102030405060708090a0b00ca9a3b"
        "00000000010000000000000006000000"
        "00000000617869735f32100000000000"
        "0000000000000000e03f000000000000"
        "f0bf");
    ASSERT_EQ(message.size(), 66u);

    const Key key = counting_key(0x40);
    const auto receipt = authorize(key, EXAMPLE_NONCE, 1000000000, 1, action_id_bytes("axis_2"),
                                   payload_of(0.5, -1.0));
    ASSERT_TRUE(receipt.has_value());
    EXPECT_EQ(receipt.value().tag, openssl_hmac(key, message));
    EXPECT_EQ(receipt.value().nonce, EXAMPLE_NONCE);
    EXPECT_EQ(receipt.value().timestamp_nanos, 1000000000u);
    EXPECT_EQ(receipt.value().sequence_id, 1u);
}

TEST_P(ReceiptTag, ActionIdLengthsAroundBlockBoundaries) {
    // 0 (empty), 59/60 (two or three inner message blocks), 64 (the maximum).
    const Key key = counting_key(7);
    const Payload payload = payload_of(-3.25, 1e-300);
    for (std::size_t len : {0u, 1u, 6u, 20u, 59u, 60u, 63u, 64u}) {
        const std::string action_id(len, 'a');
        const auto receipt =
            authorize(key, EXAMPLE_NONCE, 42, 43, action_id_bytes(action_id), payload);
        ASSERT_TRUE(receipt.has_value()) << len;
        const Bytes message = layout_message(EXAMPLE_NONCE, 42, 43, action_id_bytes(action_id), payload);
        EXPECT_EQ(message.size(), 60 + len);
        EXPECT_EQ(receipt.value().tag, openssl_hmac(key, message)) << "action id length " << len;
    }
}

TEST_P(ReceiptTag, RandomReceiptsMatchOpenSsl) {
    std::mt19937_64 rng(0x5eed0003);
    for (int i = 0; i < 400; ++i) {
        const Key key = array_from<32>(random_bytes(rng, 32));
        const Nonce nonce = array_from<12>(random_bytes(rng, 12));
        const Payload payload = array_from<16>(random_bytes(rng, 16));
        const Bytes action_id = random_bytes(rng, rng() % (MAX_ACTION_ID_LEN + 1));
        const std::uint64_t timestamp = rng(), sequence = rng();
        const auto receipt = authorize(key, nonce, timestamp, sequence, action_id, payload);
        ASSERT_TRUE(receipt.has_value());
        ASSERT_EQ(receipt.value().tag,
                  openssl_hmac(key, layout_message(nonce, timestamp, sequence, action_id, payload)))
            << "iteration " << i;
    }
}

TEST_P(ReceiptTag, HasherMatchesOpenSslHmacOnArbitraryMessages) {
    std::mt19937_64 rng(0x5eed0004);
    for (std::size_t len = 0; len <= 300; ++len) {
        const Key key = array_from<32>(random_bytes(rng, 32));
        const Bytes msg = random_bytes(rng, len);
        MessageHasher hasher = detail::MessageHasherAccess::keyed(key);
        hasher.update(msg);
        ASSERT_EQ(std::move(hasher).finalize(), openssl_hmac(key, msg)) << "length " << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Available, ReceiptTag, ::testing::ValuesIn(available_backends()),
                         BackendParamName{});

// --- RFC 4231 ----------------------------------------------------------------

std::vector<VectorRecord> rfc4231_cases() { return read_vector_file("rfc-4231-sha256.txt", {"Key", "Msg", "MD"}); }

TEST(Rfc4231, EveryCaseThroughAGeneralHmacOnOurCompression) {
    const auto cases = rfc4231_cases();
    ASSERT_EQ(cases.size(), 6u);  // the truncated-output case is not in the file
    for (const auto& c : cases) {
        EXPECT_EQ(general_hmac(from_hex(c.at("Key")), from_hex(c.at("Msg"))),
                  array_from<32>(from_hex(c.at("MD"))))
            << c.at("Key");
    }
}

// Keys of at most 32 bytes, zero-padded to 32, give the same HMAC block key as
// the RFC's own padding, so those cases also run through the receipt hasher,
// its message fed in chunks of every interesting size.
class Rfc4231Hasher : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Rfc4231Hasher, ShortKeyCasesInChunks) {
    int checked = 0;
    for (const auto& c : rfc4231_cases()) {
        const Bytes raw_key = from_hex(c.at("Key"));
        if (raw_key.size() > KEY_LEN) continue;
        Key key{};
        std::copy(raw_key.begin(), raw_key.end(), key.begin());
        const Bytes msg = from_hex(c.at("Msg"));

        MessageHasher hasher = detail::MessageHasherAccess::keyed(key);
        for (std::size_t at = 0; at < msg.size(); at += GetParam()) {
            hasher.update(std::span(msg).subspan(at, std::min(GetParam(), msg.size() - at)));
        }
        EXPECT_EQ(std::move(hasher).finalize(), array_from<32>(from_hex(c.at("MD"))))
            << c.at("Key");
        ++checked;
    }
    EXPECT_EQ(checked, 4);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, Rfc4231Hasher, ::testing::Values(1, 3, 16, 63, 64, 65, 1000));

// --- refusal and sensitivity ---------------------------------------------------

TEST(Authorize, ActionIdOverMaximumIsRefusedBeforeHashing) {
    const Key key = counting_key(1);
    for (std::size_t len : {65u, 66u, 128u, 4096u}) {
        const Bytes action_id(len, 'x');
        const auto begun = MessageHasher::begin(key, EXAMPLE_NONCE, 1, 2, action_id);
        ASSERT_FALSE(begun.has_value()) << len;
        EXPECT_EQ(begun.error(), SecurityError::ActionIdOverflow);
        const auto receipt = authorize(key, EXAMPLE_NONCE, 1, 2, action_id, Payload{});
        ASSERT_FALSE(receipt.has_value()) << len;
        EXPECT_EQ(receipt.error(), SecurityError::ActionIdOverflow);
    }
}

TEST(Authorize, EveryInputByteIsCovered) {
    Key key = counting_key(3);
    Nonce nonce = EXAMPLE_NONCE;
    std::uint64_t timestamp = 1000000000, sequence = 1;
    std::string action_id = "axis_2";
    Payload payload = payload_of(0.5, -1.0);
    auto tag = [&] {
        return authorize(key, nonce, timestamp, sequence, action_id_bytes(action_id), payload)
            .value()
            .tag;
    };
    const Tag original = tag();
    EXPECT_EQ(tag(), original);  // deterministic

    auto expect_each_byte_matters = [&](std::span<std::uint8_t> bytes, const char* field) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] ^= 0x01;
            EXPECT_NE(tag(), original) << field << " byte " << i;
            bytes[i] ^= 0x01;
        }
    };
    expect_each_byte_matters(key, "key");
    expect_each_byte_matters(nonce, "nonce");
    auto bytes_of = [](auto& object) {
        return std::span(reinterpret_cast<std::uint8_t*>(&object), sizeof object);
    };
    expect_each_byte_matters(bytes_of(timestamp), "timestamp");
    expect_each_byte_matters(bytes_of(sequence), "sequence");
    expect_each_byte_matters(
        std::span(reinterpret_cast<std::uint8_t*>(action_id.data()), action_id.size()), "action id");
    expect_each_byte_matters(payload, "payload");
    EXPECT_EQ(tag(), original);
}

// --- constant-time comparison --------------------------------------------------

TEST(CtEq, EqualArraysOfEveryLengthAreEqual) {
    std::mt19937_64 rng(0x5eed0005);
    for (std::size_t len = 0; len <= 40; ++len) {
        const Bytes a = random_bytes(rng, len);
        const Bytes b = a;  // a distinct buffer with the same bytes
        EXPECT_TRUE(ct_eq(a, b)) << len;
    }
}

// Flipping the low or the high bit of any single byte (the high bit is the one
// a lane-wise comparison could lose) makes the arrays unequal.
TEST(CtEq, AnySingleDifferenceIsFound) {
    std::mt19937_64 rng(0x5eed0006);
    for (std::size_t len = 1; len <= 40; ++len) {
        const Bytes a = random_bytes(rng, len);
        for (std::size_t at = 0; at < len; ++at) {
            for (int flip : {0x01, 0x80, 0xff}) {
                Bytes b = a;
                b[at] = static_cast<std::uint8_t>(b[at] ^ flip);
                EXPECT_FALSE(ct_eq(a, b)) << "length " << len << " at " << at << " flip " << flip;
            }
        }
    }
}

TEST(CtEq, ArraysOfDifferentLengthsAreUnequal) {
    const Bytes a(12, 7), b(13, 7);
    EXPECT_FALSE(ct_eq(a, b));
    EXPECT_FALSE(ct_eq(b, a));
    EXPECT_FALSE(ct_eq(a, std::span<const std::uint8_t>()));
}

}  // namespace
