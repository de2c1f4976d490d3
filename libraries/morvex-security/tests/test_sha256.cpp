// SHA-256 back ends against the NIST byte-oriented vectors and OpenSSL, and
// the once-per-process back-end choice.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_support.h"

namespace {

using namespace sectest;
using morvex::security::detail::Sha256Backend;

class Sha256Backends : public ::testing::TestWithParam<Sha256Backend> {
   protected:
    detail::Sha256CompressFn compress() const { return detail::sha256_backend_function(GetParam()); }
};

void check_nist_file(const std::string& file, detail::Sha256CompressFn compress,
                     std::size_t expected_records) {
    const auto records = read_vector_file(file, {"Len", "Msg", "MD"});
    ASSERT_EQ(records.size(), expected_records) << file;
    for (const auto& record : records) {
        const std::size_t bytes = std::stoul(record.at("Len")) / 8;
        Bytes msg = from_hex(record.at("Msg"));
        msg.resize(bytes);  // Len = 0 is written as the single byte 00
        EXPECT_EQ(our_sha256(msg, compress), array_from<32>(from_hex(record.at("MD"))))
            << file << " Len=" << record.at("Len");
    }
}

TEST_P(Sha256Backends, NistShortMessages) { check_nist_file("SHA256ShortMsg.rsp", compress(), 65); }

TEST_P(Sha256Backends, NistLongMessages) { check_nist_file("SHA256LongMsg.rsp", compress(), 64); }

TEST_P(Sha256Backends, MatchesOpenSslOnEveryLengthUpTo1000) {
    std::mt19937_64 rng(0x5eed0001);
    for (std::size_t len = 0; len <= 1000; ++len) {
        const Bytes msg = random_bytes(rng, len);
        ASSERT_EQ(our_sha256(msg, compress()), openssl_sha256(msg)) << "length " << len;
    }
}

TEST_P(Sha256Backends, ManyBlocksInOneCallEqualOneAtATime) {
    std::mt19937_64 rng(0x5eed0002);
    const Bytes blocks = random_bytes(rng, 64 * 37);
    std::uint32_t together[8], apart[8];
    std::memcpy(together, detail::SHA256_INITIAL_STATE, sizeof together);
    std::memcpy(apart, detail::SHA256_INITIAL_STATE, sizeof apart);
    compress()(together, blocks.data(), 37);
    for (std::size_t i = 0; i < 37; ++i) compress()(apart, blocks.data() + 64 * i, 1);
    EXPECT_EQ(0, std::memcmp(together, apart, sizeof together));
}

INSTANTIATE_TEST_SUITE_P(Available, Sha256Backends, ::testing::ValuesIn(available_backends()),
                         BackendParamName{});

// Whether the kernel reports the x86 SHA extensions, read independently of cpuid.
bool kernel_reports_sha_ni() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) return line.find(" sha_ni") != std::string::npos;
    }
    return false;
}

TEST(Sha256Dispatch, ChoosesTheHardwareBackEndWhereTheCpuHasIt) {
#if defined(__x86_64__) && defined(__linux__)
    const bool hardware = kernel_reports_sha_ni();
    EXPECT_EQ(detail::best_sha256_backend() == Sha256Backend::X86Sha, hardware);
    EXPECT_EQ(detail::sha256_backend_function(Sha256Backend::X86Sha) != nullptr, hardware);
#endif
    EXPECT_EQ(detail::active_sha256_backend(), detail::best_sha256_backend());
    EXPECT_NE(detail::sha256_backend_function(Sha256Backend::Portable), nullptr);
}

TEST(Sha256Dispatch, TestHookForcesThePortablePathAndBack) {
    const Bytes msg(200, 0xa5);
    const Tag expected = openssl_sha256(msg);
    {
        BackendGuard guard(Sha256Backend::Portable);
        ASSERT_TRUE(guard.selected());
        EXPECT_EQ(detail::active_sha256_backend(), Sha256Backend::Portable);
        EXPECT_EQ(our_sha256(msg), expected);
    }
    EXPECT_EQ(detail::active_sha256_backend(), detail::best_sha256_backend());
    EXPECT_EQ(our_sha256(msg), expected);
}

TEST(Sha256Dispatch, UnavailableBackEndIsRefusedAndChangesNothing) {
    for (auto backend : {Sha256Backend::X86Sha, Sha256Backend::Armv8Sha2}) {
        if (detail::sha256_backend_function(backend) != nullptr) continue;
        const Sha256Backend before = detail::active_sha256_backend();
        EXPECT_FALSE(detail::select_sha256_backend_for_testing(backend)) << backend_name(backend);
        EXPECT_EQ(detail::active_sha256_backend(), before);
    }
}

}  // namespace
