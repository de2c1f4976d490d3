// Security core against what a user would otherwise call: OpenSSL's SHA256()
// on 1 MiB, OpenSSL's one-shot HMAC() on the 66-byte receipt message, and the
// cost of a full-ring intercept_and_authorize relative to one tag. Prints the
// ratios (medians of the repetitions) after the usual table.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "morvex/receipt_gate.h"
#include "morvex/wire.h"
#include "morvex/security/boundary.h"
#include "morvex/security/crypto.h"
#include "sha256.h"

namespace {

namespace sec = morvex::security;
namespace detail = morvex::security::detail;

constexpr std::size_t ONE_MIB = 1 << 20;

const std::vector<std::uint8_t>& one_mib() {
    static const std::vector<std::uint8_t> data = [] {
        std::vector<std::uint8_t> bytes(ONE_MIB);
        std::mt19937 rng(1);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        return bytes;
    }();
    return data;
}

const sec::Key KEY = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const sec::Nonce NONCE = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const sec::Payload PAYLOAD = {0, 0, 0, 0, 0, 0, 0xe0, 0x3f, 0, 0, 0, 0, 0, 0, 0xf0, 0xbf};
constexpr std::string_view ACTION = "axis_2";

// The same 66 bytes that authorize() signs for NONCE, 1e9, 1, ACTION, PAYLOAD.
std::vector<std::uint8_t> receipt_message() {
    std::vector<std::uint8_t> msg(NONCE.begin(), NONCE.end());
    auto le64 = [&](std::uint64_t v) {
        for (int i = 0; i < 8; ++i) msg.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    le64(1000000000);
    le64(1);
    le64(ACTION.size());
    msg.insert(msg.end(), ACTION.begin(), ACTION.end());
    le64(PAYLOAD.size());
    msg.insert(msg.end(), PAYLOAD.begin(), PAYLOAD.end());
    return msg;
}

void sha256_1mib(benchmark::State& state, detail::Sha256CompressFn compress) {
    std::uint8_t digest[32];
    for (auto _ : state) {
        detail::sha256_digest(one_mib(), digest, compress);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ONE_MIB));
}

void BM_Sha256_1MiB_Ours(benchmark::State& state) {
    sha256_1mib(state, detail::sha256_backend_function(detail::best_sha256_backend()));
}
void BM_Sha256_1MiB_Portable(benchmark::State& state) {
    sha256_1mib(state, detail::sha256_backend_function(detail::Sha256Backend::Portable));
}
void BM_Sha256_1MiB_OpenSSL(benchmark::State& state) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA256(one_mib().data(), one_mib().size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ONE_MIB));
}

void BM_Tag_Authorize(benchmark::State& state) {
    for (auto _ : state) {
        auto receipt = sec::authorize(KEY, NONCE, 1000000000, 1, sec::action_id_bytes(ACTION), PAYLOAD);
        benchmark::DoNotOptimize(receipt);
    }
}

void BM_Tag_OpenSSL_HMAC(benchmark::State& state) {
    const std::vector<std::uint8_t> msg = receipt_message();
    unsigned char tag[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        HMAC(EVP_sha256(), KEY.data(), static_cast<int>(KEY.size()), msg.data(), msg.size(), tag, &len);
        benchmark::DoNotOptimize(tag);
    }
}

// Accepted receipts on a ring that already remembers 1024 nonces: every call
// scans the whole ring, computes one tag and records the receipt.
void BM_Intercept_FullRing(benchmark::State& state) {
    constexpr std::uint32_t POOL = 1 << 16;
    auto nonce_of = [](std::uint32_t n) {
        sec::Nonce nonce{};
        for (std::size_t i = 0; i < 4; ++i) nonce[i] = static_cast<std::uint8_t>(n >> (8 * i));
        return nonce;
    };
    auto full = std::make_unique<sec::BoundaryInterceptor>(KEY);
    for (std::uint32_t n = 1; n <= sec::NONCE_WINDOW; ++n) {
        auto r = full->issue_receipt(nonce_of(n), 0, n, sec::action_id_bytes(ACTION), PAYLOAD).value();
        if (full->intercept_and_authorize(sec::action_id_bytes(ACTION), PAYLOAD, r).value() != 0) std::abort();
    }
    std::vector<sec::AuthorizationReceipt> pool;
    pool.reserve(POOL);
    for (std::uint32_t i = 0; i < POOL; ++i) {
        const std::uint32_t n = sec::NONCE_WINDOW + 1 + i;
        pool.push_back(
            full->issue_receipt(nonce_of(n), 0, n, sec::action_id_bytes(ACTION), PAYLOAD).value());
    }

    auto gate = std::make_unique<sec::BoundaryInterceptor>(*full);
    std::uint32_t next = 0;
    for (auto _ : state) {
        if (next == POOL) {  // pool used up: start again from the full ring
            state.PauseTiming();
            *gate = *full;
            next = 0;
            state.ResumeTiming();
        }
        const std::uint32_t status =
            gate->intercept_and_authorize(sec::action_id_bytes(ACTION), PAYLOAD, pool[next++]).value();
        if (status != 0) state.SkipWithError("receipt refused");
    }
}

// The receipt gate's C check, accepted, with its nonce memory full: a pool of
// receipts with growing sequence ids, issued in advance (at realistic times,
// with random nonces), presented as they are (wire = false) or each in its
// command frame through the wire decoder, decoded and checked in one call.
void gate_check_full(benchmark::State& state, bool wire) {
    constexpr std::uint32_t POOL = 1 << 16;
    std::vector<std::array<std::uint8_t, sec::SERIALIZED_RECEIPT_LEN>> pool(
        sec::NONCE_WINDOW + POOL);
    std::mt19937_64 rng(5);
    for (std::uint32_t n = 0; n < pool.size(); ++n) {
        sec::Nonce nonce{};
        for (auto& b : nonce) b = static_cast<std::uint8_t>(rng());
        const auto r = sec::authorize(KEY, nonce, 1765000000000000000u + n, n + 1u,
                                      sec::action_id_bytes(ACTION), PAYLOAD);
        sec::serialize_receipt(r.value(), pool[n]);
    }
    const double position = 0.5, velocity = -1.0;  // PAYLOAD
    auto full = std::make_unique<morvex_receipt_gate>();
    morvex_receipt_gate_init(full.get(), KEY.data(), KEY.size(), 0, 0);
    for (std::uint32_t n = 0; n < sec::NONCE_WINDOW; ++n) {
        if (morvex_receipt_gate_check(full.get(), pool[n].data(), 60, 2, position, velocity, 0)) {
            std::abort();
        }
    }
    std::vector<std::array<std::uint8_t, MORVEX_WIRE_MAX_ENCODED>> frames(pool.size());
    for (std::size_t n = 0; n < pool.size(); ++n) {
        morvex_wire_command command{2, position, velocity, {}};
        std::memcpy(command.receipt, pool[n].data(), 60);
        if (morvex_wire_encode_command(&command, frames[n].data(), MORVEX_WIRE_MAX_ENCODED) !=
            MORVEX_WIRE_MAX_ENCODED) {
            std::abort();
        }
    }
    auto gate = std::make_unique<morvex_receipt_gate>(*full);
    morvex_wire_decoder decoder;
    morvex_wire_decoder_init(&decoder);
    morvex_wire_frame frame;
    morvex_wire_verdict verdict;
    std::uint32_t next = sec::NONCE_WINDOW;
    for (auto _ : state) {
        if (next == pool.size()) {
            state.PauseTiming();
            *gate = *full;
            next = sec::NONCE_WINDOW;
            state.ResumeTiming();
        }
        std::uint32_t result;
        if (wire) {
            morvex_wire_receive(&decoder, gate.get(), 0, frames[next++].data(),
                                MORVEX_WIRE_MAX_ENCODED, &frame, &verdict);
            result = frame.type == MORVEX_WIRE_COMMAND ? verdict.result : 1;
        } else {
            result = morvex_receipt_gate_check(gate.get(), pool[next++].data(), 60, 2, position,
                                               velocity, 0);
        }
        if (result != 0) state.SkipWithError("receipt refused");
    }
}
void BM_Gate_Check_Full(benchmark::State& state) { gate_check_full(state, false); }
void BM_Wire_Receive_Full(benchmark::State& state) { gate_check_full(state, true); }

// Repetitions against the noise of a shared machine; the ratios use medians.
#define SECURITY_BENCHMARK(fn) BENCHMARK(fn)->MinTime(0.2)->Repetitions(5)->ReportAggregatesOnly(true)
SECURITY_BENCHMARK(BM_Sha256_1MiB_Ours);
SECURITY_BENCHMARK(BM_Sha256_1MiB_Portable);
SECURITY_BENCHMARK(BM_Sha256_1MiB_OpenSSL);
SECURITY_BENCHMARK(BM_Tag_Authorize);
SECURITY_BENCHMARK(BM_Tag_OpenSSL_HMAC);
SECURITY_BENCHMARK(BM_Intercept_FullRing);
SECURITY_BENCHMARK(BM_Gate_Check_Full);
SECURITY_BENCHMARK(BM_Wire_Receive_Full);

// Keeps the median time of each benchmark for the ratios.
class MedianCollector : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single) nanos[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    std::map<std::string, double> nanos;
};

const char* backend_name(detail::Sha256Backend b) {
    switch (b) {
        case detail::Sha256Backend::X86Sha:
            return "x86 SHA extensions";
        case detail::Sha256Backend::Armv8Sha2:
            return "ARMv8 SHA-2";
        case detail::Sha256Backend::PortableUnrolled:
            return "portable, unrolled (no SHA instructions found)";
        case detail::Sha256Backend::Portable:
            break;
    }
    return "portable (no SHA instructions found)";
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MedianCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& t = reporter.nanos;
    auto ratio = [&](const char* numerator, const char* denominator) {
        return t.count(numerator) && t.count(denominator) ? t[numerator] / t[denominator] : 0.0;
    };
    std::printf("\nSHA-256 back end in use: %s\n", backend_name(detail::best_sha256_backend()));
    std::printf("SHA-256 1 MiB, ours vs OpenSSL SHA256() throughput:     %.2fx\n",
                ratio("BM_Sha256_1MiB_OpenSSL", "BM_Sha256_1MiB_Ours"));
    std::printf("SHA-256 1 MiB, portable vs OpenSSL SHA256() throughput: %.2fx\n",
                ratio("BM_Sha256_1MiB_OpenSSL", "BM_Sha256_1MiB_Portable"));
    std::printf("receipt tag: authorize() is %.2fx faster than OpenSSL HMAC() on the 66-byte message\n",
                ratio("BM_Tag_OpenSSL_HMAC", "BM_Tag_Authorize"));
    std::printf("intercept_and_authorize on a full 1024-nonce ring costs %.2f tags\n",
                ratio("BM_Intercept_FullRing", "BM_Tag_Authorize"));
    std::printf("receipt gate check (accepted, full nonce memory) costs %.2f tags\n",
                ratio("BM_Gate_Check_Full", "BM_Tag_Authorize"));
    std::printf("command frame decoded and checked (morvex_wire_receive) costs %.3f gate checks\n",
                ratio("BM_Wire_Receive_Full", "BM_Gate_Check_Full"));
    return 0;
}
