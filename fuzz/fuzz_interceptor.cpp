// One BoundaryInterceptor with a fixed key, driven by a sequence of operations
// decoded from the input: issue genuine receipts, present them, replay them,
// present them altered (nonce, timestamp, sequence id, tag, action id, payload),
// signed under another key, or made of random bytes, and bursts that wrap the
// nonce ring. Beside it runs an independent model of what must be accepted:
//
//   accepted  <=>  issued by this interceptor (under its key) for exactly this
//                  receipt, action id and payload
//                  and sequence_id > the last accepted one
//                  and the nonce is not among the last 1024 accepted nonces,
//
// with the refusal reason in the documented order (replay_counter, replay_nonce,
// action_id_overflow, authentication_failure). Every presentation is compared
// with the model; a refusal must leave the interceptor byte-identical, an
// acceptance must move it exactly as the model moves.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "morvex/security/boundary.h"
#include "morvex/security/crypto.h"

namespace {

namespace sec = morvex::security;
using morvex::fuzz::ByteReader;

// The interceptor's bytes are its whole state: no padding to differ by chance.
static_assert(sizeof(sec::BoundaryInterceptor) ==
              sec::KEY_LEN + sec::NONCE_LEN * sec::NONCE_WINDOW + 2 * sizeof(std::size_t) +
                  sizeof(std::uint64_t));

constexpr std::uint32_t kAccepted = 0;
constexpr std::uint32_t kReplayCounter = sec::to_value(sec::SecurityError::ReplayCounter);
constexpr std::uint32_t kReplayNonce = sec::to_value(sec::SecurityError::ReplayNonce);
constexpr std::uint32_t kActionIdOverflow = sec::to_value(sec::SecurityError::ActionIdOverflow);
constexpr std::uint32_t kAuthenticationFailure =
    sec::to_value(sec::SecurityError::AuthenticationFailure);

constexpr std::size_t kMaxOps = 96;
constexpr std::size_t kPoolSize = 32;
constexpr std::size_t kMaxActionIdTried = 72;  // a little past the 64-byte limit

sec::Key make_key(std::uint8_t seed) {
    sec::Key key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return key;
}

const sec::Key kKey = make_key(0x11);
const sec::Key kForeignKey = make_key(0x12);

struct Presented {
    sec::AuthorizationReceipt receipt;
    std::vector<std::uint8_t> action_id;
    sec::Payload payload;
};

class Harness {
   public:
    explicit Harness(ByteReader& in) : in_(in), interceptor_(new sec::BoundaryInterceptor(kKey)) {
        for (std::size_t k = 0; k < hot_nonces_.size(); ++k) {
            hot_nonces_[k].fill(static_cast<std::uint8_t>(k * 0x40));
        }
    }

    void run() {
        for (std::size_t op = 0; op < kMaxOps && !in_.empty(); ++op) step(in_.u8());
    }

   private:
    using Snapshot = std::array<std::uint8_t, sizeof(sec::BoundaryInterceptor)>;

    void step(std::uint8_t op) {
        switch (op % 9) {
            case 0: issue_and_keep(); break;
            case 1: present_kept(/*mutate=*/false); break;
            case 2: present_kept(/*mutate=*/true); break;
            case 3: present_foreign(); break;
            case 4: present_random(); break;
            case 5: burst(); break;
            case 6: reuse_nonce(); break;
            case 7: check_wire_form(); break;
            default: check_ct_eq(); break;
        }
    }

    // ---- inputs ----

    sec::Nonce pick_nonce() {
        sec::Nonce nonce;
        const std::uint8_t k = in_.u8();
        if (k < 96) {
            nonce = hot_nonces_[k % hot_nonces_.size()];  // frequent collisions
        } else if (k < 112 && !pool_.empty()) {
            nonce = pool_[k % pool_.size()].receipt.nonce;
        } else {
            in_.bytes(nonce.data(), nonce.size());
        }
        return nonce;
    }

    std::uint64_t pick_sequence() {
        switch (in_.u8() % 8) {
            case 0: return last_accepted_ + 1;
            case 1: return last_accepted_ + 1 + in_.u8();
            case 2: return last_accepted_;
            case 3: return last_accepted_ - in_.u8();
            case 4: return 0;
            case 5: return UINT64_MAX;
            case 6: return in_.u64();
            default: return last_accepted_ + 2;
        }
    }

    std::vector<std::uint8_t> pick_action_id() {
        const std::uint8_t k = in_.u8();
        if (k < 128) {  // the front end's form, "axis_<n>"
            std::vector<std::uint8_t> id{'a', 'x', 'i', 's', '_'};
            const int axis = static_cast<std::int8_t>(in_.u8());
            for (char c : std::to_string(axis)) id.push_back(static_cast<std::uint8_t>(c));
            return id;
        }
        std::vector<std::uint8_t> id(k % kMaxActionIdTried);
        in_.bytes(id.data(), id.size());
        return id;
    }

    sec::Payload pick_payload() {
        sec::Payload payload;
        in_.bytes(payload.data(), payload.size());
        return payload;
    }

    // ---- operations ----

    // issue_receipt: refuses only an action id over 64 bytes, reads only the
    // key (the state is untouched), and signs under this key alone.
    // `thorough` = false skips the state copy and the foreign-key comparison,
    // for the many receipts of a burst.
    std::optional<Presented> issue(const sec::Nonce& nonce, std::uint64_t timestamp,
                                   std::uint64_t sequence, std::vector<std::uint8_t> action_id,
                                   const sec::Payload& payload, bool thorough = true) {
        std::optional<Snapshot> before;
        if (thorough) before = snapshot();
        const auto issued =
            interceptor_->issue_receipt(nonce, timestamp, sequence, action_id, payload);
        if (thorough) FUZZ_CHECK(snapshot() == *before);
        if (action_id.size() > sec::MAX_ACTION_ID_LEN) {
            FUZZ_CHECK(!issued);
            FUZZ_CHECK(issued.error() == sec::SecurityError::ActionIdOverflow);
            return std::nullopt;
        }
        FUZZ_CHECK(issued.has_value());
        const sec::AuthorizationReceipt& r = issued.value();
        FUZZ_CHECK(r.nonce == nonce && r.timestamp_nanos == timestamp && r.sequence_id == sequence);
        if (thorough) {
            const auto foreign =
                sec::authorize(kForeignKey, nonce, timestamp, sequence, action_id, payload);
            FUZZ_CHECK(foreign.has_value() && foreign.value().tag != r.tag);
        }

        Presented p{r, std::move(action_id), payload};
        return p;
    }

    void keep(const Presented& p) {
        if (pool_.size() < kPoolSize) {
            pool_.push_back(p);
        } else {
            pool_[next_pool_slot_++ % kPoolSize] = p;
        }
    }

    void issue_and_keep() {
        const sec::Nonce nonce = pick_nonce();
        const std::uint64_t timestamp = in_.u64();
        const std::uint64_t sequence = pick_sequence();
        auto action_id = pick_action_id();
        const sec::Payload payload = pick_payload();
        if (auto p = issue(nonce, timestamp, sequence, std::move(action_id), payload)) keep(*p);
    }

    void present_kept(bool mutate) {
        if (pool_.empty()) {
            issue_and_keep();
            return;
        }
        Presented p = pool_[in_.u8() % pool_.size()];
        if (mutate) alter(p);
        present(p);
    }

    void alter(Presented& p) {
        const std::uint8_t what = in_.u8();
        const std::uint8_t bit = in_.u8();
        const auto flip = [bit](std::uint8_t* bytes, std::size_t n) {
            bytes[(bit / 8) % n] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        };
        switch (what % 8) {
            case 0: flip(p.receipt.nonce.data(), p.receipt.nonce.size()); break;
            case 1: p.receipt.timestamp_nanos ^= std::uint64_t{1} << (bit % 64); break;
            case 2: p.receipt.sequence_id ^= std::uint64_t{1} << (bit % 64); break;
            case 3: flip(p.receipt.tag.data(), p.receipt.tag.size()); break;
            case 4: flip(p.payload.data(), p.payload.size()); break;
            case 5:
                if (!p.action_id.empty()) {
                    flip(p.action_id.data(), p.action_id.size());
                } else {
                    p.action_id.push_back(bit);
                }
                break;
            case 6:  // longer or shorter action id, up to past the limit
                if (bit & 1 && !p.action_id.empty()) {
                    p.action_id.pop_back();
                } else {
                    p.action_id.resize(p.action_id.size() + 1 + bit % 64, bit);
                }
                break;
            default:  // a genuine receipt presented with another kept one's cover
                if (!pool_.empty()) {
                    const Presented& other = pool_[bit % pool_.size()];
                    p.action_id = other.action_id;
                    p.payload = other.payload;
                }
                break;
        }
    }

    void present_foreign() {
        const sec::Nonce nonce = pick_nonce();
        const std::uint64_t timestamp = in_.u64();
        const std::uint64_t sequence = pick_sequence();
        auto action_id = pick_action_id();
        const sec::Payload payload = pick_payload();
        const auto forged =
            sec::authorize(kForeignKey, nonce, timestamp, sequence, action_id, payload);
        if (!forged) {
            FUZZ_CHECK(action_id.size() > sec::MAX_ACTION_ID_LEN);
            return;
        }
        present(Presented{forged.value(), std::move(action_id), payload});
    }

    void present_random() {
        std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN> wire;
        in_.bytes(wire.data(), wire.size());
        Presented p{sec::deserialize_receipt(wire), pick_action_id(), pick_payload()};
        if (in_.u8() & 1) p.receipt.sequence_id = last_accepted_ + 1;  // past the counter check
        present(p);
    }

    // Many fresh genuine receipts in a row, enough to wrap the nonce ring.
    void burst() {
        static constexpr std::size_t kSizes[] = {1, 3, 17, 200, 1023, 1025};
        std::size_t n = kSizes[in_.u8() % std::size(kSizes)];
        if (n > 100 && ++large_bursts_ > 1) n = 17;  // bounded work per input
        const auto action_id = pick_action_id();
        const sec::Payload payload = pick_payload();
        for (std::size_t k = 0; k < n; ++k) {
            sec::Nonce nonce{};
            const std::uint64_t serial = ++burst_serial_;
            std::memcpy(nonce.data(), &serial, sizeof serial);
            nonce[11] = 0xB5;
            const auto p = issue(nonce, serial, last_accepted_ + 1, action_id, payload, false);
            if (!p) return;  // an overlong action id: nothing to present
            present(*p);
        }
    }

    // A genuine receipt for a newer sequence id reusing a nonce seen before.
    void reuse_nonce() {
        if (pool_.empty()) {
            issue_and_keep();
            return;
        }
        const Presented& old = pool_[in_.u8() % pool_.size()];
        if (auto p = issue(old.receipt.nonce, old.receipt.timestamp_nanos + 1, last_accepted_ + 1,
                           old.action_id, old.payload)) {
            present(*p);
        }
    }

    // The 60-byte wire form carries exactly the four fields, both ways.
    void check_wire_form() {
        std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN> wire;
        in_.bytes(wire.data(), wire.size());
        const sec::AuthorizationReceipt r = sec::deserialize_receipt(wire);
        std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN> back;
        sec::serialize_receipt(r, back);
        FUZZ_CHECK(back == wire);
        std::uint64_t ts = 0, seq = 0;
        for (int i = 7; i >= 0; --i) ts = (ts << 8) | wire[12 + static_cast<std::size_t>(i)];
        for (int i = 7; i >= 0; --i) seq = (seq << 8) | wire[20 + static_cast<std::size_t>(i)];
        FUZZ_CHECK(r.timestamp_nanos == ts && r.sequence_id == seq);
        FUZZ_CHECK(std::equal(r.nonce.begin(), r.nonce.end(), wire.begin()));
        FUZZ_CHECK(std::equal(r.tag.begin(), r.tag.end(), wire.begin() + 28));
    }

    // ct_eq agrees with plain comparison, lengths included.
    void check_ct_eq() {
        std::array<std::uint8_t, 80> a, b;
        const std::size_t na = in_.u8() % (a.size() + 1);
        const std::size_t nb = (in_.u8() & 1) ? na : in_.u8() % (b.size() + 1);
        in_.bytes(a.data(), na);
        std::memcpy(b.data(), a.data(), na);
        if (nb > na) in_.bytes(b.data() + na, nb - na);
        if (nb > 0 && (in_.u8() & 1)) {
            const std::uint8_t at = in_.u8();
            b[at % nb] ^= static_cast<std::uint8_t>(1u << (at % 8));
        }
        const bool want = na == nb && std::memcmp(a.data(), b.data(), na) == 0;
        FUZZ_CHECK(sec::ct_eq(std::span(a.data(), na), std::span(b.data(), nb)) == want);
    }

    // ---- the model ----

    Snapshot snapshot() const {
        Snapshot s;
        std::memcpy(s.data(), interceptor_.get(), s.size());
        return s;
    }

    // The tag the key gives for exactly this receipt's fields, computed by the
    // issuing path. (The receipts issued in this run would not do: the key is the
    // same in every run, and libFuzzer's comparison hooks carry receipts issued in
    // earlier runs into new inputs, genuine ones.)
    static bool genuine(const Presented& p) {
        const auto expected = sec::authorize(kKey, p.receipt.nonce, p.receipt.timestamp_nanos,
                                             p.receipt.sequence_id, p.action_id, p.payload);
        return expected.has_value() && expected.value().tag == p.receipt.tag;
    }

    std::uint32_t expected_status(const Presented& p) const {
        if (p.receipt.sequence_id <= last_accepted_) return kReplayCounter;
        if (remembered_.contains(p.receipt.nonce)) return kReplayNonce;
        if (p.action_id.size() > sec::MAX_ACTION_ID_LEN) return kActionIdOverflow;
        if (!genuine(p)) return kAuthenticationFailure;
        return kAccepted;
    }

    void present(const Presented& p) {
        const std::uint32_t want = expected_status(p);
        // A refusal is checked against a copy of the whole state; an acceptance
        // against the model (copying 12 KiB for every receipt of a burst would
        // dominate the run).
        std::optional<Snapshot> before;
        if (want != kAccepted) before = snapshot();
        const std::uint32_t got =
            interceptor_->intercept_and_authorize(p.action_id, p.payload, p.receipt).value();
        FUZZ_CHECK(got == want);
        if (got != kAccepted) {
            FUZZ_CHECK(snapshot() == *before);
            return;
        }
        last_accepted_ = p.receipt.sequence_id;
        window_.push_back(p.receipt.nonce);
        remembered_.insert(p.receipt.nonce);
        if (window_.size() > sec::NONCE_WINDOW) {
            remembered_.erase(window_.front());
            window_.pop_front();
        }
        FUZZ_CHECK(interceptor_->last_sequence_id() == last_accepted_);
        FUZZ_CHECK(interceptor_->stored_nonces() == window_.size());
    }

    ByteReader& in_;
    std::unique_ptr<sec::BoundaryInterceptor> interceptor_;
    std::array<sec::Nonce, 4> hot_nonces_{};
    std::vector<Presented> pool_;
    std::size_t next_pool_slot_ = 0;
    std::deque<sec::Nonce> window_;    // the last NONCE_WINDOW accepted, oldest first
    std::set<sec::Nonce> remembered_;  // the same nonces (each at most once), for lookup
    std::uint64_t last_accepted_ = 0;
    std::uint64_t burst_serial_ = 0;
    int large_bursts_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    Harness harness(in);
    harness.run();
    return 0;
}
