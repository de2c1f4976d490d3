// The receipt gate of the receiving side, through its C interface: a random
// walk against a plain model (std::set and std::deque of nonces), refusals
// that change no byte, the order of the checks, and the edges of the interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "morvex/receipt_gate.h"
#include "morvex/security/boundary.h"
#include "morvex/security/command.h"
#include "test_support.h"

namespace {

using namespace sectest;

const Key KEY = [] {
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(7 * i + 1);
    return key;
}();

using Wire = std::array<std::uint8_t, SERIALIZED_RECEIPT_LEN>;

// The issuing side, independent of the gate: "axis_N" by snprintf, the payload
// by memcpy of the doubles (this is a little-endian machine).
Wire issue(const Key& key, const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence,
           std::int32_t axis, double position, double velocity) {
    char action[32];
    const int length = std::snprintf(action, sizeof action, "axis_%d", axis);
    Payload payload;
    std::memcpy(payload.data(), &position, 8);
    std::memcpy(payload.data() + 8, &velocity, 8);
    const auto receipt = authorize(key, nonce, timestamp, sequence,
                                   action_id_bytes({action, static_cast<std::size_t>(length)}),
                                   payload);
    Wire wire;
    serialize_receipt(receipt.value(), wire);
    return wire;
}

struct Gate {
    std::unique_ptr<morvex_receipt_gate> state = std::make_unique<morvex_receipt_gate>();
    std::uint32_t check(const Wire& wire, std::int32_t axis, double position, double velocity,
                        std::uint64_t now) {
        return morvex_receipt_gate_check(state.get(), wire.data(), wire.size(), axis, position,
                                         velocity, now);
    }
};

// What the gate must answer, from the receipt's fields alone.
struct Model {
    std::uint64_t last = 0;
    std::uint64_t max_age = 0;
    std::set<Nonce> remembered;
    std::deque<Nonce> order;

    std::uint32_t expect(bool authentic, std::uint64_t timestamp, std::uint64_t now,
                         std::uint64_t sequence, const Nonce& nonce) const {
        if (!authentic) return MORVEX_GATE_AUTHENTICATION_FAILURE;
        const std::uint64_t distance = timestamp > now ? timestamp - now : now - timestamp;
        if (max_age != 0 && distance > max_age) return MORVEX_GATE_STALE_RECEIPT;
        if (sequence <= last) return MORVEX_GATE_REPLAY_COUNTER;
        if (remembered.count(nonce) != 0) return MORVEX_GATE_REPLAY_NONCE;
        return MORVEX_GATE_ACCEPTED;
    }
    void record(std::uint64_t sequence, const Nonce& nonce) {
        last = sequence;
        order.push_back(nonce);
        remembered.insert(nonce);
        if (order.size() > MORVEX_GATE_NONCE_WINDOW) {
            remembered.erase(order.front());
            order.pop_front();
        }
    }
};

// Nonces from a small pool (three times the window the library was built
// with), so that reuse, eviction and re-admission after eviction all happen
// often; bit flips, other commands and other keys; ages on
// both sides of the limit. Every refusal must leave every byte of the gate as it was.
TEST(ReceiptGate, RandomWalkMatchesTheModelAndRefusalsLeaveNoTrace) {
    for (const std::uint64_t max_age : {std::uint64_t{0}, std::uint64_t{1'000'000}}) {
        std::mt19937_64 rng(max_age + 11);
        Gate gate;
        ASSERT_EQ(morvex_receipt_gate_init(gate.state.get(), KEY.data(), KEY.size(), 0, max_age), 0u);
        Model model;
        model.max_age = max_age;
        std::uint64_t now = 1'700'000'000'000'000'000u;
        std::size_t accepted = 0;
        for (int step = 0; step < 30000; ++step) {
            now += rng() % 1000;
            Nonce nonce{};
            const std::uint64_t pool = rng() % (3 * MORVEX_GATE_NONCE_WINDOW + 8);
            std::memcpy(nonce.data(), &pool, sizeof pool);
            nonce[11] = static_cast<std::uint8_t>(pool * 37);
            const std::uint64_t sequence = model.last + (rng() % 8) - 2;  // sometimes behind
            const std::int64_t skew = static_cast<std::int64_t>(rng() % 2'400'000) - 1'200'000;
            const std::uint64_t timestamp = now + static_cast<std::uint64_t>(skew);
            const auto axis = static_cast<std::int32_t>(rng());
            const double position = std::ldexp(static_cast<double>(rng() % 2001) - 1000.0, -7);
            const double velocity = -position;
            const int fault = static_cast<int>(rng() % 8);
            Wire wire = issue(fault == 1 ? Key{} : KEY, nonce, timestamp, sequence, axis, position,
                              velocity);
            if (fault == 2) wire[rng() % wire.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            const std::int32_t presented_axis = fault == 3 ? axis ^ 1 : axis;
            const double presented_velocity = fault == 4 ? std::nextafter(velocity, 1e9) : velocity;
            const bool authentic = fault < 1 || fault > 4;

            const std::uint32_t want = model.expect(authentic, timestamp, now, sequence, nonce);
            const morvex_receipt_gate before = *gate.state;
            const std::uint32_t got = gate.check(wire, presented_axis, position, presented_velocity, now);
            ASSERT_EQ(got, want) << "step " << step;
            if (got == MORVEX_GATE_ACCEPTED) {
                model.record(sequence, nonce);
                ++accepted;
            } else {
                ASSERT_EQ(0, std::memcmp(&before, gate.state.get(), sizeof before)) << "step " << step;
            }
            ASSERT_EQ(morvex_receipt_gate_last_sequence_id(gate.state.get()), model.last);
        }
        EXPECT_GT(accepted, 2 * MORVEX_GATE_NONCE_WINDOW) << "the walk must wrap the nonce memory";
    }
}

TEST(ReceiptGate, InterfaceEdges) {
    Gate gate;
    morvex_receipt_gate* g = gate.state.get();
    EXPECT_EQ(morvex_receipt_gate_init(nullptr, KEY.data(), 32, 0, 0), MORVEX_GATE_INVALID_POINTER);
    EXPECT_EQ(morvex_receipt_gate_init(g, nullptr, 32, 0, 0), MORVEX_GATE_INVALID_POINTER);
    EXPECT_EQ(morvex_receipt_gate_init(g, KEY.data(), 31, 0, 0), MORVEX_GATE_INVALID_KEY_LENGTH);
    EXPECT_EQ(morvex_receipt_gate_init(g, KEY.data(), 33, 0, 0), MORVEX_GATE_INVALID_KEY_LENGTH);

    // A gate restarted with the persisted sequence id refuses what it accepted.
    const Wire old = issue(KEY, Nonce{1}, 5, 41, 3, 0.25, 1.0);
    const Wire next = issue(KEY, Nonce{2}, 5, 42, 3, 0.25, 1.0);
    ASSERT_EQ(morvex_receipt_gate_init(g, KEY.data(), 32, 41, 0), 0u);
    EXPECT_EQ(gate.check(old, 3, 0.25, 1.0, 0), MORVEX_GATE_REPLAY_COUNTER);
    EXPECT_EQ(gate.check(next, 3, 0.25, 1.0, 0), MORVEX_GATE_ACCEPTED);
    EXPECT_EQ(morvex_receipt_gate_last_sequence_id(g), 42u);
    EXPECT_EQ(morvex_receipt_gate_check(g, next.data(), 59, 3, 0.25, 1.0, 0),
              MORVEX_GATE_INVALID_RECEIPT);
    EXPECT_EQ(morvex_receipt_gate_check(g, nullptr, 60, 3, 0.25, 1.0, 0), MORVEX_GATE_INVALID_POINTER);

    // Age: exactly max_age away passes on both sides; the clock's extremes do not wrap.
    ASSERT_EQ(morvex_receipt_gate_init(g, KEY.data(), 32, 0, 10), 0u);
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(gate.check(issue(KEY, Nonce{3}, 90, 1, 0, 0, 0), 0, 0, 0, 100), MORVEX_GATE_ACCEPTED);
    EXPECT_EQ(gate.check(issue(KEY, Nonce{4}, 110, 2, 0, 0, 0), 0, 0, 0, 100), MORVEX_GATE_ACCEPTED);
    EXPECT_EQ(gate.check(issue(KEY, Nonce{5}, 111, 3, 0, 0, 0), 0, 0, 0, 100), MORVEX_GATE_STALE_RECEIPT);
    EXPECT_EQ(gate.check(issue(KEY, Nonce{5}, top, 3, 0, 0, 0), 0, 0, 0, 0), MORVEX_GATE_STALE_RECEIPT);
    EXPECT_EQ(gate.check(issue(KEY, Nonce{5}, 0, 3, 0, 0, 0), 0, 0, 0, top), MORVEX_GATE_STALE_RECEIPT);

    // A session's gate checks under HMAC(key, label || session id) alone.
    const std::uint8_t session[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    Bytes label_and_id(SESSION_KEY_LABEL.begin(), SESSION_KEY_LABEL.end());
    label_and_id.insert(label_and_id.end(), session, session + 16);
    const Tag derived = openssl_hmac(KEY, label_and_id);
    Key session_key_bytes{};
    std::memcpy(session_key_bytes.data(), derived.data(), derived.size());
    ASSERT_EQ(morvex_receipt_gate_init_session(g, KEY.data(), 32, session, 16, 0), 0u);
    EXPECT_EQ(gate.check(issue(KEY, Nonce{7}, 0, 1, 0, 0, 0), 0, 0, 0, 0),
              MORVEX_GATE_AUTHENTICATION_FAILURE);
    EXPECT_EQ(gate.check(issue(session_key_bytes, Nonce{7}, 0, 1, 0, 0, 0), 0, 0, 0, 0),
              MORVEX_GATE_ACCEPTED);
    EXPECT_EQ(morvex_receipt_gate_init_session(g, KEY.data(), 32, session, 15, 0),
              MORVEX_GATE_INVALID_KEY_LENGTH);

    // A wiped gate holds no key byte and refuses even a receipt under the zero key.
    morvex_receipt_gate_wipe(g);
    const morvex_receipt_gate zero{};
    EXPECT_EQ(0, std::memcmp(g, &zero, sizeof zero));
    EXPECT_EQ(gate.check(issue(Key{}, Nonce{6}, 0, 9, 0, 0, 0), 0, 0, 0, 0),
              MORVEX_GATE_INVALID_POINTER);

    EXPECT_STREQ(morvex_gate_code_string(MORVEX_GATE_STALE_RECEIPT), "stale_receipt");
    EXPECT_STREQ(morvex_gate_message(MORVEX_GATE_REPLAY_NONCE), "nonce reuse detected");
    EXPECT_STREQ(morvex_gate_code_string(0), "accepted");
    EXPECT_EQ(morvex_gate_code_string(11), nullptr);
}

TEST(CommandEncoding, ActionIdIsPlainDecimalForEveryAxis) {
    for (const std::int32_t axis : {0, 1, -1, 9, 10, -10, 123456789, std::numeric_limits<std::int32_t>::max(),
                                    std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(axis_action_id(axis).view(), "axis_" + std::to_string(axis));
    }
}

}  // namespace
