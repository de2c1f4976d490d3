// Wire frames through the C interface: CRC-32C against its published check
// value and the CPU instruction against the table, frames through the stream
// decoder in random pieces, and decode + gate check in one call. The stream
// properties (damage, chunking, resynchronisation) are tested from Python,
// against an independent codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "crc32c.h"
#include "morvex/wire.h"
#include "morvex/security/boundary.h"
#include "test_support.h"

namespace {

using namespace sectest;

TEST(Crc32c, CheckValueAndInstructionAgreeWithTable) {
    const char* text = "123456789";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    EXPECT_EQ(detail::crc32c(bytes, 9), 0xE3069283u);
    EXPECT_EQ(detail::crc32c_portable(bytes, 9), 0xE3069283u);
    std::mt19937 rng(3);
    std::vector<std::uint8_t> data(300);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t size = 0; size < data.size(); ++size) {
        ASSERT_EQ(detail::crc32c(data.data() + size % 8, size - size % 8),
                  detail::crc32c_portable(data.data() + size % 8, size - size % 8));
    }
}

std::vector<std::uint8_t> encoded(const morvex_wire_frame& f) {
    std::vector<std::uint8_t> out(MORVEX_WIRE_MAX_ENCODED);
    std::size_t n = 0;
    if (f.type == MORVEX_WIRE_COMMAND) {
        n = morvex_wire_encode_command(&f.as.command, out.data(), out.size());
    } else if (f.type == MORVEX_WIRE_VERDICT) {
        n = morvex_wire_encode_verdict(&f.as.verdict, out.data(), out.size());
    } else if (f.type == MORVEX_WIRE_SESSION) {
        n = morvex_wire_encode_session(&f.as.session, out.data(), out.size());
    }
    out.resize(n);
    return out;
}

// Every frame, fed in random pieces among the others, comes out as it went in
// (doubles to the bit), and re-encodes to the same bytes.
TEST(Wire, FramesSurviveAnyChunking) {
    std::mt19937_64 rng(11);
    const std::uint32_t results[] = {0, 1, 4, 5, 6, 7, 8, 10};
    std::vector<morvex_wire_frame> sent(300);
    std::vector<std::uint8_t> stream;
    for (auto& f : sent) {
        std::memset(&f, 0, sizeof f);
        f.type = static_cast<std::uint32_t>(1 + rng() % 3);
        const std::uint64_t a = rng() >> (rng() % 64), b = rng() >> (rng() % 64);
        if (f.type == MORVEX_WIRE_COMMAND) {
            f.as.command.axis = static_cast<std::int32_t>(rng());
            std::memcpy(&f.as.command.requested_position, &a, 8);
            std::memcpy(&f.as.command.commanded_velocity, &b, 8);
            for (auto& byte : f.as.command.receipt) {
                byte = static_cast<std::uint8_t>(rng() % 3 ? rng() : 0);
            }
        } else if (f.type == MORVEX_WIRE_VERDICT) {
            f.as.verdict = {a, static_cast<std::int32_t>(rng()), results[rng() % 8]};
        } else {
            for (auto& byte : f.as.session.session_id) byte = static_cast<std::uint8_t>(rng());
        }
        const auto bytes = encoded(f);
        ASSERT_FALSE(bytes.empty());
        ASSERT_EQ(std::count(bytes.begin(), bytes.end(), 0), 1);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    morvex_wire_decoder decoder;
    morvex_wire_decoder_init(&decoder);
    std::vector<std::uint8_t> again;
    std::size_t at = 0, delivered = 0;
    while (at < stream.size()) {
        std::size_t piece = std::min<std::size_t>(stream.size() - at, rng() % 200);
        while (piece > 0) {
            morvex_wire_frame got;
            const std::size_t used =
                morvex_wire_decoder_feed(&decoder, stream.data() + at, piece, &got);
            at += used;
            piece -= used;
            if (got.type == MORVEX_WIRE_NONE) continue;
            ASSERT_LT(delivered, sent.size());
            const auto bytes = encoded(got);
            ASSERT_EQ(bytes, encoded(sent[delivered++]));
        }
    }
    EXPECT_EQ(delivered, sent.size());
    EXPECT_EQ(decoder.corrupt, 0u);
}

TEST(Wire, BadPointersAndShortBuffers) {
    morvex_wire_command command{};
    std::uint8_t out[MORVEX_WIRE_MAX_ENCODED];
    EXPECT_EQ(morvex_wire_encode_command(&command, out, sizeof out - 1), 0u);
    EXPECT_EQ(morvex_wire_encode_command(nullptr, out, sizeof out), 0u);
    EXPECT_EQ(morvex_wire_encode_command(&command, nullptr, sizeof out), 0u);
    const morvex_wire_verdict unknown{1, 2, 9};
    EXPECT_EQ(morvex_wire_encode_verdict(&unknown, out, sizeof out), 0u);
    const std::size_t n = morvex_wire_encode_command(&command, out, sizeof out);
    EXPECT_EQ(n, MORVEX_WIRE_MAX_ENCODED);
    morvex_wire_frame frame;
    frame.type = 7;
    EXPECT_EQ(morvex_wire_decoder_feed(nullptr, out, n, &frame), 0u);
    EXPECT_EQ(frame.type, MORVEX_WIRE_NONE);
    morvex_wire_decoder decoder;
    morvex_wire_decoder_init(&decoder);
    EXPECT_EQ(morvex_wire_decoder_feed(&decoder, nullptr, 0, &frame), 0u);
    EXPECT_EQ(morvex_wire_receive(&decoder, nullptr, 0, out, n, &frame, nullptr), 0u);
}

// Decode and check in one call: the verdict of each command frame is the
// gate's; a damaged frame is counted and never reaches the gate.
TEST(Wire, ReceiveChecksCommandsWithTheGate) {
    Key key{};
    key[0] = 9;
    auto gate = std::make_unique<morvex_receipt_gate>();
    ASSERT_EQ(morvex_receipt_gate_init(gate.get(), key.data(), key.size(), 0, 0), 0u);
    morvex_wire_command command{-3, 0.5, -1.25, {}};
    Payload payload;
    std::memcpy(payload.data(), &command.requested_position, 8);
    std::memcpy(payload.data() + 8, &command.commanded_velocity, 8);
    const auto receipt = authorize(key, Nonce{1}, 5, 42, action_id_bytes("axis_-3"), payload);
    std::array<std::uint8_t, SERIALIZED_RECEIPT_LEN> wire;
    serialize_receipt(receipt.value(), wire);
    std::memcpy(command.receipt, wire.data(), wire.size());
    std::uint8_t out[MORVEX_WIRE_MAX_ENCODED];
    const std::size_t n = morvex_wire_encode_command(&command, out, sizeof out);
    morvex_wire_decoder decoder;
    morvex_wire_decoder_init(&decoder);

    std::uint8_t damaged[MORVEX_WIRE_MAX_ENCODED];
    std::memcpy(damaged, out, n);
    damaged[30] ^= damaged[30] == 0x10 ? 0x20 : 0x10;  // never a zero
    const std::uint32_t expected[] = {MORVEX_GATE_ACCEPTED, MORVEX_GATE_REPLAY_COUNTER};
    const std::uint8_t* feeds[] = {damaged, out, out};
    std::size_t checked = 0;
    for (const std::uint8_t* bytes : feeds) {
        morvex_wire_frame frame;
        morvex_wire_verdict verdict{};
        EXPECT_EQ(morvex_wire_receive(&decoder, gate.get(), 0, bytes, n, &frame, &verdict), n);
        if (bytes == damaged) {
            EXPECT_EQ(frame.type, MORVEX_WIRE_NONE);
            EXPECT_EQ(decoder.corrupt, 1u);
            EXPECT_EQ(morvex_receipt_gate_last_sequence_id(gate.get()), 0u);
            continue;
        }
        ASSERT_EQ(frame.type, MORVEX_WIRE_COMMAND);
        EXPECT_EQ(verdict.sequence_id, 42u);
        EXPECT_EQ(verdict.axis, -3);
        EXPECT_EQ(verdict.result, expected[checked++]);
    }
}

}  // namespace
