// One receipt gate, through its C interface, under a sequence of operations
// decoded from the input: receipts issued under the gate's key for a command
// and presented for it or for an altered command, altered in any byte, issued
// under another key, or arbitrary bytes of any length; times on both sides of
// the maximum age. Beside it runs a model of what must be accepted:
//
//   accepted  <=>  the 60 bytes are a receipt issued under the gate's key for
//                  exactly this axis, position and velocity
//                  and its timestamp is within max_age of now (when enabled)
//                  and sequence_id > the last accepted one
//                  and the nonce is not among the last 1024 accepted,
//
// with the refusal reason in the gate's order. A refusal must leave every byte
// of the gate as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "byte_reader.h"
#include "morvex/receipt_gate.h"
#include "morvex/security/boundary.h"
#include "morvex/security/command.h"

namespace {

namespace sec = morvex::security;
using morvex::fuzz::ByteReader;
using Wire = std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN>;

constexpr sec::Key KEY = {0x42, 0x17, 0x99};

struct Command {
    std::int32_t axis;
    std::uint64_t position_bits;
    std::uint64_t velocity_bits;
    auto operator<=>(const Command&) const = default;
};

double as_double(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

class Harness {
   public:
    explicit Harness(std::uint64_t max_age) : max_age_(max_age) {
        FUZZ_CHECK(morvex_receipt_gate_init(gate_.get(), KEY.data(), KEY.size(), 0, max_age) == 0);
    }

    void step(ByteReader& in) {
        const std::uint8_t op = in.u8();
        const std::uint64_t now = in.u64();
        Command command{static_cast<std::int32_t>(in.u32()), in.u64(), in.u64()};
        if (op % 4 == 0) {  // arbitrary bytes, arbitrary length
            std::vector<std::uint8_t> bytes(in.u8() % 72);
            in.bytes(bytes.data(), bytes.size());
            present(bytes.data(), bytes.size(), command, now);
            return;
        }
        sec::Nonce nonce{};
        in.bytes(nonce.data(), 2);  // few distinct nonces: reuse and eviction happen
        const std::uint64_t timestamp = now + (in.u64() >> (in.u8() % 64));
        const std::uint64_t sequence = last_ + (in.u8() % 6) - 2;
        const sec::Key key = op % 4 == 1 ? sec::Key{} : KEY;
        const auto id = sec::axis_action_id(command.axis);
        const auto receipt = sec::authorize(
            key, nonce, timestamp, sequence, id.bytes(),
            sec::command_payload(as_double(command.position_bits), as_double(command.velocity_bits)));
        Wire wire;
        sec::serialize_receipt(receipt.value(), wire);
        if (key == KEY) genuine_[wire] = command;
        if (op & 0x10) wire[in.u8() % wire.size()] ^= in.u8();
        if (op & 0x20) command.axis ^= static_cast<std::int32_t>(in.u32());
        if (op & 0x40) command.velocity_bits ^= in.u64();
        present(wire.data(), wire.size(), command, now);
    }

   private:
    std::uint32_t expected(const std::uint8_t* bytes, std::size_t size, const Command& command,
                           std::uint64_t now) const {
        if (size != sec::SERIALIZED_RECEIPT_LEN) return MORVEX_GATE_INVALID_RECEIPT;
        Wire wire;
        std::memcpy(wire.data(), bytes, size);
        const auto issued = genuine_.find(wire);
        if (issued == genuine_.end() || issued->second != command) {
            return MORVEX_GATE_AUTHENTICATION_FAILURE;
        }
        const sec::AuthorizationReceipt r = sec::deserialize_receipt(wire);
        const std::uint64_t distance =
            r.timestamp_nanos > now ? r.timestamp_nanos - now : now - r.timestamp_nanos;
        if (max_age_ != 0 && distance > max_age_) return MORVEX_GATE_STALE_RECEIPT;
        if (r.sequence_id <= last_) return MORVEX_GATE_REPLAY_COUNTER;
        if (remembered_.count(r.nonce) != 0) return MORVEX_GATE_REPLAY_NONCE;
        return MORVEX_GATE_ACCEPTED;
    }

    void present(const std::uint8_t* bytes, std::size_t size, const Command& command,
                 std::uint64_t now) {
        const std::uint32_t want = expected(bytes, size, command, now);
        const morvex_receipt_gate before = *gate_;
        const std::uint32_t got = morvex_receipt_gate_check(
            gate_.get(), bytes, size, command.axis, as_double(command.position_bits),
            as_double(command.velocity_bits), now);
        FUZZ_CHECK(got == want);
        if (got != MORVEX_GATE_ACCEPTED) {
            FUZZ_CHECK(std::memcmp(&before, gate_.get(), sizeof before) == 0);
            return;
        }
        const sec::AuthorizationReceipt r =
            sec::deserialize_receipt(std::span<const std::uint8_t, 60>(bytes, 60));
        last_ = r.sequence_id;
        order_.push_back(r.nonce);
        remembered_.insert(r.nonce);
        if (order_.size() > sec::NONCE_WINDOW) {
            remembered_.erase(order_.front());
            order_.pop_front();
        }
        FUZZ_CHECK(morvex_receipt_gate_last_sequence_id(gate_.get()) == last_);
    }

    std::unique_ptr<morvex_receipt_gate> gate_ = std::make_unique<morvex_receipt_gate>();
    std::uint64_t max_age_;
    std::uint64_t last_ = 0;
    std::map<Wire, Command> genuine_;
    std::set<sec::Nonce> remembered_;
    std::deque<sec::Nonce> order_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::uint8_t age_shift = in.u8();
    Harness harness(age_shift < 64 ? std::uint64_t{1} << age_shift : 0);
    while (!in.empty()) harness.step(in);
    return 0;
}
