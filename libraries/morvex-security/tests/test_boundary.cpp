// The replay-protected interceptor: the order of its checks, the nonce window,
// refusals that leave no trace, and the 60-byte receipt wire form.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>
#include <string>
#include <type_traits>

#include "morvex/security/boundary.h"
#include "test_support.h"

namespace {

using namespace sectest;

constexpr std::uint32_t ACCEPTED = 0;
constexpr std::uint32_t ACTION_ID_OVERFLOW = 2;
constexpr std::uint32_t AUTHENTICATION_FAILURE = 6;
constexpr std::uint32_t REPLAY_COUNTER = 7;
constexpr std::uint32_t REPLAY_NONCE = 8;

// No padding: the no-trace checks compare interceptors byte for byte.
static_assert(sizeof(BoundaryInterceptor) ==
                  KEY_LEN + NONCE_LEN * NONCE_WINDOW + 2 * sizeof(std::size_t) + sizeof(std::uint64_t),
              "the no-trace checks compare interceptors byte for byte");

Nonce numbered_nonce(std::uint32_t n) {
    Nonce nonce{};
    for (std::size_t i = 0; i < 4; ++i) nonce[i] = static_cast<std::uint8_t>(n >> (8 * i));
    nonce[11] = 0x5a;
    return nonce;
}

const Key KEY = [] {
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xa0 + i);
    return key;
}();
const Payload PAYLOAD = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::string ACTION = "axis_3";

class Interceptor : public ::testing::Test {
   protected:
    // ~12 KiB of state: kept off the test's stack frame.
    std::unique_ptr<BoundaryInterceptor> gate = std::make_unique<BoundaryInterceptor>(KEY);

    AuthorizationReceipt issue(std::uint64_t sequence, const Nonce& nonce) const {
        return gate->issue_receipt(nonce, 1000 + sequence, sequence, action_id_bytes(ACTION), PAYLOAD)
            .value();
    }
    std::uint32_t present(const AuthorizationReceipt& receipt) {
        return gate->intercept_and_authorize(action_id_bytes(ACTION), PAYLOAD, receipt).value();
    }
    std::uint32_t accept_new(std::uint64_t sequence, std::uint32_t nonce_number) {
        return present(issue(sequence, numbered_nonce(nonce_number)));
    }

    // Presents the receipt and checks both the status and that every byte of
    // the interceptor is as it was.
    void expect_refused_without_trace(std::span<const std::uint8_t> action_id, const Payload& payload,
                                      const AuthorizationReceipt& receipt, std::uint32_t status) {
        const BoundaryInterceptor before = *gate;
        EXPECT_EQ(gate->intercept_and_authorize(action_id, payload, receipt).value(), status);
        EXPECT_EQ(0, std::memcmp(&before, gate.get(), sizeof before)) << "state changed";
    }
    void expect_refused_without_trace(const AuthorizationReceipt& receipt, std::uint32_t status) {
        expect_refused_without_trace(action_id_bytes(ACTION), PAYLOAD, receipt, status);
    }
};

TEST_F(Interceptor, AcceptsAFreshReceiptOnceThenReportsACounterReplay) {
    const AuthorizationReceipt receipt = issue(1, numbered_nonce(1));
    EXPECT_EQ(present(receipt), ACCEPTED);
    EXPECT_EQ(gate->last_sequence_id(), 1u);
    EXPECT_EQ(gate->stored_nonces(), 1u);
    expect_refused_without_trace(receipt, REPLAY_COUNTER);
}

TEST_F(Interceptor, SequenceZeroIsAlwaysACounterReplay) {
    expect_refused_without_trace(issue(0, numbered_nonce(1)), REPLAY_COUNTER);
}

TEST_F(Interceptor, ZeroNonceIsAcceptedOnAFreshRing) {
    EXPECT_EQ(present(issue(1, Nonce{})), ACCEPTED);
    expect_refused_without_trace(issue(2, Nonce{}), REPLAY_NONCE);
}

TEST_F(Interceptor, RememberedNonceWithHigherSequenceIsANonceReplay) {
    ASSERT_EQ(accept_new(1, 10), ACCEPTED);
    ASSERT_EQ(accept_new(2, 11), ACCEPTED);
    expect_refused_without_trace(issue(3, numbered_nonce(10)), REPLAY_NONCE);
    expect_refused_without_trace(issue(3, numbered_nonce(11)), REPLAY_NONCE);
}

TEST_F(Interceptor, SequenceIdsNeedOnlyIncrease) {
    EXPECT_EQ(accept_new(1, 1), ACCEPTED);
    EXPECT_EQ(accept_new(5, 2), ACCEPTED);
    EXPECT_EQ(accept_new(100, 3), ACCEPTED);
    expect_refused_without_trace(issue(50, numbered_nonce(4)), REPLAY_COUNTER);
    expect_refused_without_trace(issue(100, numbered_nonce(4)), REPLAY_COUNTER);
    EXPECT_EQ(accept_new(101, 4), ACCEPTED);
}

TEST_F(Interceptor, WindowForgetsOnlyTheOldestOfTheLast1024Nonces) {
    for (std::uint32_t i = 1; i <= NONCE_WINDOW; ++i) ASSERT_EQ(accept_new(i, i), ACCEPTED) << i;
    EXPECT_EQ(gate->stored_nonces(), NONCE_WINDOW);
    expect_refused_without_trace(issue(2000, numbered_nonce(1)), REPLAY_NONCE);  // oldest
    expect_refused_without_trace(issue(2000, numbered_nonce(1024)), REPLAY_NONCE);  // newest

    ASSERT_EQ(accept_new(2000, 5000), ACCEPTED);  // overwrites the slot of nonce 1
    EXPECT_EQ(gate->stored_nonces(), NONCE_WINDOW);
    EXPECT_EQ(accept_new(2001, 1), ACCEPTED);  // and this one the slot of nonce 2
    for (std::uint32_t still_remembered : {3u, 1024u, 5000u, 1u}) {
        expect_refused_without_trace(issue(2002, numbered_nonce(still_remembered)), REPLAY_NONCE);
    }
    EXPECT_EQ(accept_new(2002, 2), ACCEPTED);
}

// Receipts that are well formed but do not cover what is presented with them.
struct Tamper {
    const char* name;
    void (*apply)(AuthorizationReceipt& receipt, std::string& action, Payload& payload);
};

const Tamper TAMPERS[] = {
    {"OtherKey",
     [](AuthorizationReceipt& r, std::string& action, Payload& payload) {
         Key other = KEY;
         other[31] ^= 1;
         r = authorize(other, r.nonce, r.timestamp_nanos, r.sequence_id, action_id_bytes(action),
                       payload)
                 .value();
     }},
    {"OtherActionId", [](AuthorizationReceipt&, std::string& action, Payload&) { action = "axis_4"; }},
    {"EmptyActionId", [](AuthorizationReceipt&, std::string& action, Payload&) { action.clear(); }},
    {"OtherPayload", [](AuthorizationReceipt&, std::string&, Payload& payload) { payload[15] ^= 0x80; }},
    {"OtherTimestamp", [](AuthorizationReceipt& r, std::string&, Payload&) { ++r.timestamp_nanos; }},
    {"FirstTagByte", [](AuthorizationReceipt& r, std::string&, Payload&) { r.tag[0] ^= 1; }},
    {"LastTagByte", [](AuthorizationReceipt& r, std::string&, Payload&) { r.tag[31] ^= 0x80; }},
};

class InterceptorTamper : public Interceptor, public ::testing::WithParamInterface<Tamper> {};

TEST_P(InterceptorTamper, IsAnAuthenticationFailureThatLeavesNoTrace) {
    ASSERT_EQ(accept_new(1, 1), ACCEPTED);
    const AuthorizationReceipt genuine = issue(2, numbered_nonce(2));
    AuthorizationReceipt receipt = genuine;
    std::string action = ACTION;
    Payload payload = PAYLOAD;
    GetParam().apply(receipt, action, payload);

    expect_refused_without_trace(action_id_bytes(action), payload, receipt, AUTHENTICATION_FAILURE);
    EXPECT_EQ(present(genuine), ACCEPTED);  // same nonce and sequence, still usable
}

// A forged receipt is reported as a replay when it is one: the replay checks
// come before the tag check.
TEST_P(InterceptorTamper, ReplayChecksComeFirst) {
    ASSERT_EQ(accept_new(5, 1), ACCEPTED);
    for (auto [sequence, nonce, status] : {std::tuple{5u, 2u, REPLAY_COUNTER},
                                           std::tuple{4u, 2u, REPLAY_COUNTER},
                                           std::tuple{6u, 1u, REPLAY_NONCE}}) {
        AuthorizationReceipt receipt = issue(sequence, numbered_nonce(nonce));
        std::string action = ACTION;
        Payload payload = PAYLOAD;
        GetParam().apply(receipt, action, payload);
        expect_refused_without_trace(action_id_bytes(action), payload, receipt, status);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, InterceptorTamper, ::testing::ValuesIn(TAMPERS),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Interceptor, OverlongActionIdIsRefusedOnlyAfterTheReplayChecks) {
    const std::string long_id(MAX_ACTION_ID_LEN + 1, 'x');
    const auto issued = gate->issue_receipt(numbered_nonce(9), 1, 9, action_id_bytes(long_id), PAYLOAD);
    ASSERT_FALSE(issued.has_value());
    EXPECT_EQ(issued.error(), SecurityError::ActionIdOverflow);

    ASSERT_EQ(accept_new(5, 1), ACCEPTED);
    const AuthorizationReceipt stale = issue(5, numbered_nonce(2));
    const AuthorizationReceipt reused = issue(6, numbered_nonce(1));
    const AuthorizationReceipt fresh = issue(6, numbered_nonce(2));
    expect_refused_without_trace(action_id_bytes(long_id), PAYLOAD, stale, REPLAY_COUNTER);
    expect_refused_without_trace(action_id_bytes(long_id), PAYLOAD, reused, REPLAY_NONCE);
    expect_refused_without_trace(action_id_bytes(long_id), PAYLOAD, fresh, ACTION_ID_OVERFLOW);
    EXPECT_EQ(present(fresh), ACCEPTED);
}

TEST_F(Interceptor, ActionIdsOfZeroAndSixtyFourBytesAreAccepted) {
    std::uint64_t sequence = 0;
    for (const std::string& action : {std::string(), std::string(MAX_ACTION_ID_LEN, 'y')}) {
        ++sequence;
        const auto receipt = gate->issue_receipt(numbered_nonce(static_cast<std::uint32_t>(sequence)),
                                                 7, sequence, action_id_bytes(action), PAYLOAD);
        ASSERT_TRUE(receipt.has_value());
        EXPECT_EQ(gate->intercept_and_authorize(action_id_bytes(action), PAYLOAD, receipt.value()).value(),
                  ACCEPTED)
            << action.size();
    }
}

TEST_F(Interceptor, IssuingIsAuthorizeUnderTheKeyAndRecordsNothing) {
    const BoundaryInterceptor before = *gate;
    const AuthorizationReceipt a = issue(3, numbered_nonce(3));
    const AuthorizationReceipt b = issue(3, numbered_nonce(3));
    EXPECT_EQ(0, std::memcmp(&before, gate.get(), sizeof before));
    const auto direct = authorize(KEY, numbered_nonce(3), 1003, 3, action_id_bytes(ACTION), PAYLOAD);
    EXPECT_EQ(a.tag, direct.value().tag);
    EXPECT_EQ(b.tag, direct.value().tag);
    EXPECT_EQ(present(a), ACCEPTED);
}

// --- wire form -------------------------------------------------------------------

TEST(ReceiptWireForm, PublishedPrefixThenTheTag) {
    AuthorizationReceipt receipt{};
    receipt.nonce = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    receipt.timestamp_nanos = 1000000000;
    receipt.sequence_id = 1;
    for (std::size_t i = 0; i < TAG_LEN; ++i) receipt.tag[i] = static_cast<std::uint8_t>(0xc0 + i);

    std::array<std::uint8_t, SERIALIZED_RECEIPT_LEN> wire{};
    serialize_receipt(receipt, wire);
    const Bytes prefix = from_hex("000102030405060708090a0b00ca9a3b000000000100000000000000");
    ASSERT_EQ(prefix.size(), 28u);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), wire.begin()));
    EXPECT_TRUE(std::equal(receipt.tag.begin(), receipt.tag.end(), wire.begin() + 28));
}

TEST(ReceiptWireForm, RandomReceiptsReadBackUnchanged) {
    std::mt19937_64 rng(0x5eed0007);
    for (int i = 0; i < 200; ++i) {
        const Bytes wire = random_bytes(rng, SERIALIZED_RECEIPT_LEN);
        const AuthorizationReceipt receipt =
            deserialize_receipt(std::span<const std::uint8_t, SERIALIZED_RECEIPT_LEN>(wire.data(), 60));
        std::array<std::uint8_t, SERIALIZED_RECEIPT_LEN> again{};
        serialize_receipt(receipt, again);
        ASSERT_TRUE(std::equal(wire.begin(), wire.end(), again.begin())) << i;
        ASSERT_TRUE(std::equal(receipt.nonce.begin(), receipt.nonce.end(), wire.begin()));
    }
}

// A serialized receipt read back is still accepted: nothing is lost on the wire.
TEST_F(Interceptor, DeserializedReceiptIsAccepted) {
    std::array<std::uint8_t, SERIALIZED_RECEIPT_LEN> wire{};
    serialize_receipt(issue(77, numbered_nonce(77)), wire);
    EXPECT_EQ(present(deserialize_receipt(wire)), ACCEPTED);
}

}  // namespace

namespace {

// The ring is scanned several slots at a time: every slot position inside and
// after a block must be caught, and a nonce that differs in any one byte from
// every remembered one must not be.
class NonceScan : public Interceptor, public ::testing::WithParamInterface<std::uint32_t> {
   protected:
    static Nonce random_nonce(std::uint32_t seed) {
        Nonce nonce{};
        std::uint32_t x = seed * 2654435761u + 12345u;
        for (auto& byte : nonce) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<std::uint8_t>(x);
        }
        return nonce;
    }
};

TEST_P(NonceScan, EverySlotIsCaughtAndNearMissesAreNot) {
    const std::uint32_t stored = GetParam();
    std::vector<Nonce> remembered;
    for (std::uint32_t i = 0; i < stored; ++i) {
        remembered.push_back(random_nonce(i + 1));
        ASSERT_EQ(present(issue(i + 1, remembered.back())), ACCEPTED);
    }
    std::uint64_t sequence = stored + 1;
    for (std::uint32_t i = 0; i < stored; ++i) {
        expect_refused_without_trace(issue(sequence, remembered[i]), REPLAY_NONCE);
    }
    const std::uint32_t probes[] = {0, stored / 2, stored - 1};
    for (std::uint32_t i : probes) {
        for (std::size_t byte = 0; byte < NONCE_LEN; ++byte) {
            Nonce near = remembered[i];
            near[byte] ^= 0x80;
            if (std::find(remembered.begin(), remembered.end(), near) != remembered.end()) continue;
            EXPECT_EQ(present(issue(sequence, near)), ACCEPTED) << "slot " << i << " byte " << byte;
            remembered.push_back(near);  // now remembered too (possibly overwriting the oldest)
            if (remembered.size() > NONCE_WINDOW) remembered.erase(remembered.begin());
            ++sequence;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StoredCounts, NonceScan,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 63u, 1023u, 1024u));

}  // namespace

namespace {

bool holds(std::span<const std::uint8_t> haystack, std::span<const std::uint8_t> needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// Secrets do not outlive their use: an interceptor destroyed in caller-owned storage
// leaves no key byte behind, and a finalized hasher leaves no key-derived state.
TEST(SecretWipe, DestroyedInterceptorAndFinalizedHasherLeaveNoSecret) {
    alignas(BoundaryInterceptor) static std::uint8_t storage[sizeof(BoundaryInterceptor)];
    auto* interceptor = new (storage) BoundaryInterceptor(KEY);
    ASSERT_TRUE(holds(storage, KEY));
    ASSERT_EQ(interceptor->intercept_and_authorize(action_id_bytes(ACTION), PAYLOAD,
                                                   interceptor->issue_receipt(numbered_nonce(1), 5, 1,
                                                                              action_id_bytes(ACTION),
                                                                              PAYLOAD)
                                                       .value())
                  .value(),
              ACCEPTED);
    interceptor->~BoundaryInterceptor();
    EXPECT_FALSE(holds(storage, KEY));

    auto begun = MessageHasher::begin(KEY, numbered_nonce(2), 5, 1, action_id_bytes(ACTION));
    MessageHasher& hasher = begun.value();
    hasher.update(PAYLOAD);
    const KeySchedule schedule = key_schedule(KEY);
    const auto* words = reinterpret_cast<const std::uint8_t*>(&schedule);
    ASSERT_TRUE(holds({reinterpret_cast<const std::uint8_t*>(&hasher), sizeof hasher},
                      {words + 32, 32}));  // the outer chaining value, untouched until finalize
    (void)std::move(hasher).finalize();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&hasher);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof hasher, [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
