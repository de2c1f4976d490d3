// Constant-time check, run under valgrind memcheck.
//
// Memcheck tracks, bit by bit, whether every value was computed from
// initialised memory, and reports a conditional jump, a conditional move or a
// memory address computed from an uninitialised value. Marking secret bytes
// "undefined" with VALGRIND_MAKE_MEM_UNDEFINED (their contents stay what they
// are) therefore turns memcheck into a tool that finds every branch and every
// memory index that depends on a secret: an early-exit comparison is reported
// at its first data-dependent branch. The values are real, so the results are
// checked as well; a result is marked defined (declassified) before the
// program itself branches on it.
//
// Two modes, each its own CTest test:
//
//   primitives   ct_eq on every length 0..72 (12 and 32 among them), equal and
//                differing at the first, a middle and the last byte, with either
//                side or both secret; HMAC-SHA-256 (MessageHasher, authorize)
//                with a secret key and with a secret message, through every
//                SHA-256 back end that runs here. Not a single error is allowed,
//                so the test runs with --error-exitcode=1.
//
//   interceptor  BoundaryInterceptor::intercept_and_authorize and the receipt
//                gate's check with a secret tag (and, separately, a secret key), and with a secret nonce on
//                rings holding every count from 0 to 1024 nonces and on wrapped
//                rings. Here the accept/refuse decision is itself a branch on
//                the comparison's result: the interceptor must answer, and the
//                answer is public. Memcheck reports that one branch like any
//                other, so this mode counts errors instead
//                (VALGRIND_COUNT_ERRORS, which counts repeats of the same
//                error too) across each call and allows at most one per
//                decision that legitimately depends on the secret: one for the
//                tag comparison, one for the ring scan. A comparison that stops
//                at a difference branches once per byte, word or slot it
//                examines, which exceeds that allowance whenever the difference
//                or the match is not in the first position examined; every
//                case below includes such positions. The program's exit status
//                is the verdict; valgrind's error summary for this mode is
//                expected to be non-zero.
//
// Outside valgrind there is nothing to observe: the program says so and exits
// with 77, which CTest reports as skipped.
#include <valgrind/memcheck.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "morvex/security/boundary.h"
#include "morvex/security/crypto.h"
#include "receipt_gate.h"
#include "sha256.h"

namespace {

using namespace morvex::security;
using detail::Sha256Backend;

constexpr int EXIT_SKIPPED = 77;

int failures = 0;

template <class... Args>
void fail(const char* format, Args... args) {
    // Only the first failures are worth reading; the count says the rest.
    if (++failures <= 20) {
        std::fprintf(stderr, "FAIL: ");
        std::fprintf(stderr, format, args...);
        std::fprintf(stderr, "\n");
    }
}

void mark_secret(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
void declassify(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_DEFINED(p, n); }

// Errors recorded inside errors_during; any other error is the harness's own
// or a memory error, and fails the run.
unsigned errors_in_measured_calls = 0;

// Errors memcheck records while `f` runs.
template <class F>
unsigned errors_during(F&& f) {
    const unsigned before = VALGRIND_COUNT_ERRORS;
    f();
    const unsigned after = VALGRIND_COUNT_ERRORS;
    errors_in_measured_calls += after - before;
    return after - before;
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

template <std::size_t N>
std::array<std::uint8_t, N> random_array(std::uint64_t& state) {
    std::array<std::uint8_t, N> out{};
    for (auto& b : out) b = static_cast<std::uint8_t>(splitmix(state));
    return out;
}

const char* backend_name(Sha256Backend backend) {
    switch (backend) {
        case Sha256Backend::Portable:
            return "portable";
        case Sha256Backend::PortableUnrolled:
            return "portable, unrolled";
        case Sha256Backend::X86Sha:
            return "x86 SHA";
        case Sha256Backend::Armv8Sha2:
            return "ARMv8 SHA-2";
    }
    return "unknown";
}

// The back ends this CPU offers as seen from here. Valgrind's simulated CPU
// does not advertise the SHA extensions, so under valgrind this is normally
// the portable one alone; hardware SHA instructions take the same time for
// every input anyway.
std::vector<Sha256Backend> runnable_backends() {
    std::vector<Sha256Backend> out;
    for (auto b : {Sha256Backend::Portable, Sha256Backend::PortableUnrolled, Sha256Backend::X86Sha,
                   Sha256Backend::Armv8Sha2}) {
        if (detail::sha256_backend_function(b) != nullptr) out.push_back(b);
    }
    return out;
}

// --- primitives: no error at all --------------------------------------------

void check_ct_eq() {
    enum Secret { LeftSecret, RightSecret, BothSecret };
    constexpr std::size_t MAX_LEN = 72;
    std::uint64_t seed = 1;
    unsigned cases = 0;
    for (std::size_t n = 0; n <= MAX_LEN; ++n) {
        // -1: equal; otherwise the index of the one differing byte.
        std::vector<long> differ_at = {-1};
        if (n > 0) {
            differ_at.insert(differ_at.end(),
                             {0, static_cast<long>(n / 2), static_cast<long>(n - 1)});
        }
        for (const long at : differ_at) {
            for (const Secret secret : {LeftSecret, RightSecret, BothSecret}) {
                std::array<std::uint8_t, MAX_LEN> a = random_array<MAX_LEN>(seed);
                std::array<std::uint8_t, MAX_LEN> b = a;
                if (at >= 0) b[static_cast<std::size_t>(at)] ^= 0x01;
                if (secret != RightSecret) mark_secret(a.data(), n);
                if (secret != LeftSecret) mark_secret(b.data(), n);
                bool equal = false;
                const unsigned errors = errors_during([&] {
                    equal = ct_eq(std::span(a.data(), n), std::span(b.data(), n));
                });
                declassify(&equal, sizeof equal);
                if (errors != 0) {
                    fail("ct_eq on %zu bytes (difference at %ld, secret %d): %u memcheck errors", n,
                         at, static_cast<int>(secret), errors);
                }
                if (equal != (at < 0)) {
                    fail("ct_eq on %zu bytes (difference at %ld): wrong answer", n, at);
                }
                ++cases;
            }
        }
    }
    // Lengths are public: arrays of different lengths are unequal without a look.
    std::array<std::uint8_t, 32> a{}, b{};
    mark_secret(a.data(), a.size());
    mark_secret(b.data(), b.size());
    bool equal = true;
    const unsigned errors =
        errors_during([&] { equal = ct_eq(std::span(a.data(), 32), std::span(b.data(), 12)); });
    if (errors != 0 || equal) fail("ct_eq on 32 against 12 bytes");
    std::printf("ct_eq: %u comparisons of 0..%zu bytes, secret left, right or both\n", cases + 1,
                MAX_LEN);
}

struct ReceiptFields {
    Key key;
    Nonce nonce;
    std::uint64_t timestamp_nanos;
    std::uint64_t sequence_id;
    std::array<std::uint8_t, MAX_ACTION_ID_LEN> action_id;
    std::size_t action_id_len;
    Payload payload;
};

Tag tag_of(const ReceiptFields& f) {
    return authorize(f.key, f.nonce, f.timestamp_nanos, f.sequence_id,
                     std::span(f.action_id.data(), f.action_id_len), f.payload)
        .value()
        .tag;
}

// The HMAC must not branch on or index by its key or its message either: the
// interceptor hashes the presented nonce before it compares tags, and the
// expected tag it computes is exactly what an attacker must not learn.
void check_hmac(Sha256Backend backend) {
    std::uint64_t seed = 2;
    unsigned cases = 0;
    // Action ids of 0, 6, 20 and 64 bytes put the payload at different block offsets.
    for (const std::size_t action_id_len : {0u, 6u, 20u, 64u}) {
        ReceiptFields f{random_array<KEY_LEN>(seed), random_array<NONCE_LEN>(seed),
                        splitmix(seed), splitmix(seed), random_array<MAX_ACTION_ID_LEN>(seed),
                        action_id_len, random_array<PAYLOAD_LEN>(seed)};
        const Tag reference = tag_of(f);

        // Secret key.
        ReceiptFields secret_key = f;
        mark_secret(secret_key.key.data(), KEY_LEN);
        Tag tag{};
        unsigned errors = errors_during([&] { tag = tag_of(secret_key); });
        declassify(tag.data(), tag.size());
        if (errors != 0) {
            fail("HMAC (%s) with a secret key: %u memcheck errors", backend_name(backend), errors);
        }
        if (tag != reference) fail("HMAC (%s) with a secret key: wrong tag", backend_name(backend));

        // Secret message: every byte the receipt message is made of. The
        // action id's length decides the layout and stays public.
        ReceiptFields secret_message = f;
        mark_secret(secret_message.nonce.data(), NONCE_LEN);
        mark_secret(&secret_message.timestamp_nanos, 8);
        mark_secret(&secret_message.sequence_id, 8);
        mark_secret(secret_message.action_id.data(), action_id_len);
        mark_secret(secret_message.payload.data(), PAYLOAD_LEN);
        errors = errors_during([&] { tag = tag_of(secret_message); });
        declassify(tag.data(), tag.size());
        if (errors != 0) {
            fail("HMAC (%s) over a secret message: %u memcheck errors", backend_name(backend),
                 errors);
        }
        if (tag != reference) {
            fail("HMAC (%s) over a secret message: wrong tag", backend_name(backend));
        }
        cases += 2;
    }
    std::printf("HMAC-SHA-256 (%s back end): %u tags with a secret key or message\n",
                backend_name(backend), cases);
}

// --- interceptor: at most one error per secret-dependent decision -----------

constexpr std::uint32_t ACCEPTED = 0;  // accepted
constexpr std::uint32_t AUTHENTICATION_FAILURE = to_value(SecurityError::AuthenticationFailure);
constexpr std::uint32_t REPLAY_NONCE = to_value(SecurityError::ReplayNonce);

constexpr std::string_view ACTION = "axis_3";
constexpr Payload PAYLOAD = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Presented {
    std::uint32_t status;
    unsigned errors;
};

Presented present(BoundaryInterceptor& gate, const AuthorizationReceipt& receipt) {
    Presented out{};
    out.errors = errors_during([&] {
        out.status = gate.intercept_and_authorize(action_id_bytes(ACTION), PAYLOAD, receipt).value();
    });
    declassify(&out.status, sizeof out.status);
    return out;
}

Presented present(ReceiptGate& gate, const AuthorizationReceipt& receipt) {
    Presented out{};
    out.errors = errors_during([&] {
        out.status = gate.check(receipt, action_id_bytes(ACTION), PAYLOAD, 0).value();
    });
    declassify(&out.status, sizeof out.status);
    return out;
}

AuthorizationReceipt issue(const BoundaryInterceptor& gate, const Nonce& nonce,
                           std::uint64_t sequence_id) {
    return gate
        .issue_receipt(nonce, 1000 + sequence_id, sequence_id, action_id_bytes(ACTION), PAYLOAD)
        .value();
}

void expect(const char* what, const Presented& got, std::uint32_t status, unsigned allowed_errors) {
    if (got.errors > allowed_errors) {
        fail("%s: %u memcheck errors, at most %u allowed", what, got.errors, allowed_errors);
    }
    if (got.status != status) fail("%s: status %u, expected %u", what, got.status, status);
}

// The presented tag is secret; valid, differing at the first byte, at the last
// byte, and entirely different. Then the same with the key secret instead,
// which makes the expected tag the interceptor computes secret. First, with
// nothing secret, the same calls must not raise a single error: every error
// counted later is then due to the secret.
void check_tag_comparison() {
    std::uint64_t seed = 3;
    unsigned cases = 0;
    {
        const auto gate = std::make_unique<BoundaryInterceptor>(random_array<KEY_LEN>(seed));
        AuthorizationReceipt receipt = issue(*gate, random_array<NONCE_LEN>(seed), 1);
        expect("public receipt", present(*gate, receipt), ACCEPTED, 0);
        receipt = issue(*gate, random_array<NONCE_LEN>(seed), 2);
        receipt.tag[TAG_LEN - 1] ^= 0x01;
        expect("public forged receipt", present(*gate, receipt), AUTHENTICATION_FAILURE, 0);
        cases += 2;
    }
    for (const bool key_secret : {false, true}) {
        Key key = random_array<KEY_LEN>(seed);
        if (key_secret) mark_secret(key.data(), KEY_LEN);
        const auto gate = std::make_unique<BoundaryInterceptor>(key);
        const auto receiving = std::make_unique<ReceiptGate>(key, 0, 0);
        std::uint64_t sequence_id = 0;
        for (const int variant : {0, 1, 2, 3, 4}) {  // valid, first, last, all, valid again
            AuthorizationReceipt receipt =
                issue(*gate, random_array<NONCE_LEN>(seed), ++sequence_id);
            declassify(receipt.tag.data(), TAG_LEN);
            if (variant == 1) receipt.tag[0] ^= 0x80;
            if (variant == 2) receipt.tag[TAG_LEN - 1] ^= 0x01;
            if (variant == 3) {
                for (auto& b : receipt.tag) b = static_cast<std::uint8_t>(~b);
            }
            if (!key_secret) mark_secret(receipt.tag.data(), TAG_LEN);
            const bool valid = variant == 0 || variant == 4;
            char what[96];
            std::snprintf(what, sizeof what, "tag comparison (%s, variant %d)",
                          key_secret ? "secret key" : "secret presented tag", variant);
            expect(what, present(*gate, receipt), valid ? ACCEPTED : AUTHENTICATION_FAILURE, 1);
            std::snprintf(what, sizeof what, "receipt gate's tag comparison (%s, variant %d)",
                          key_secret ? "secret key" : "secret presented tag", variant);
            expect(what, present(*receiving, receipt), valid ? ACCEPTED : AUTHENTICATION_FAILURE, 1);
            cases += 2;
        }
    }
    std::printf("tag comparison: %u receipts, presented tag or key secret\n", cases);
}

// The ring scan compares the presented nonce with every stored one, four slots
// per SSE2 step and a scalar tail, so every count of stored nonces is tried:
// 0..1024 as the ring fills, then wrapped rings whose newest slot moves on.
// At each count the presented nonce is secret in three ways: equal to the
// oldest, a middle and the newest stored nonce (refused: one decision), and
// new (the scan's decision, then the tag decision on a tag computed from the
// secret nonce: two). The new one is accepted, which grows the ring.
void check_nonce_ring() {
    std::uint64_t seed = 4;
    const auto gate = std::make_unique<BoundaryInterceptor>(random_array<KEY_LEN>(seed));
    std::vector<Nonce> accepted;  // in order of acceptance
    std::uint64_t sequence_id = 0;
    unsigned cases = 0;
    constexpr std::size_t WRAPPED_STEPS = 9;
    for (std::size_t step = 0; step <= NONCE_WINDOW + WRAPPED_STEPS; ++step) {
        const std::size_t stored = accepted.size() < NONCE_WINDOW ? accepted.size() : NONCE_WINDOW;
        if (gate->stored_nonces() != stored) {
            fail("ring holds %zu nonces, expected %zu", gate->stored_nonces(), stored);
        }
        if (stored > 0) {
            const std::size_t newest = accepted.size() - 1;
            const std::size_t oldest = accepted.size() - stored;
            for (const std::size_t index : {oldest, oldest + stored / 2, newest}) {
                AuthorizationReceipt receipt = issue(*gate, accepted[index], ++sequence_id);
                mark_secret(receipt.nonce.data(), NONCE_LEN);
                char what[96];
                std::snprintf(what, sizeof what, "ring of %zu (after %zu accepted), replay of #%zu",
                              stored, accepted.size(), index);
                expect(what, present(*gate, receipt), REPLAY_NONCE, 1);
                ++cases;
            }
        }
        const Nonce fresh = random_array<NONCE_LEN>(seed);
        AuthorizationReceipt receipt = issue(*gate, fresh, ++sequence_id);
        mark_secret(receipt.nonce.data(), NONCE_LEN);
        char what[96];
        std::snprintf(what, sizeof what, "ring of %zu (after %zu accepted), new nonce", stored,
                      accepted.size());
        expect(what, present(*gate, receipt), ACCEPTED, stored > 0 ? 2 : 1);
        // The accepted nonce is now stored; later checks make only the
        // presented nonce secret.
        declassify(gate.get(), sizeof *gate);
        accepted.push_back(fresh);
        ++cases;
    }
    std::printf("nonce ring: %u receipts on rings of 0..%zu nonces, %zu of them wrapped\n", cases,
                NONCE_WINDOW, WRAPPED_STEPS);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc == 2 ? argv[1] : "";
    if (mode != "primitives" && mode != "interceptor") {
        std::fprintf(stderr, "usage: %s primitives|interceptor (under valgrind memcheck)\n",
                     argv[0]);
        return 2;
    }
    if (!RUNNING_ON_VALGRIND) {
        std::printf("not running under valgrind memcheck: nothing to check\n");
        return EXIT_SKIPPED;
    }
    const std::vector<Sha256Backend> backends = runnable_backends();
    for (const Sha256Backend backend : backends) {
        if (!detail::select_sha256_backend_for_testing(backend)) {
            fail("cannot select the %s back end", backend_name(backend));
            continue;
        }
        std::printf("-- SHA-256 back end: %s\n", backend_name(backend));
        if (mode == "primitives") {
            check_hmac(backend);
        } else {
            check_tag_comparison();
            check_nonce_ring();
        }
    }
    if (mode == "primitives") check_ct_eq();
    const unsigned all_errors = VALGRIND_COUNT_ERRORS;
    if (all_errors != errors_in_measured_calls) {
        fail("%u memcheck errors outside the measured calls", all_errors - errors_in_measured_calls);
    }
    if (failures != 0) {
        std::fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    std::printf("%s: no secret-dependent branch or index\n", std::string(mode).c_str());
    return 0;
}
