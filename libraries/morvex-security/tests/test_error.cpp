#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "morvex/security/error.h"

namespace {

using morvex::security::SecurityError;
using morvex::security::SecurityResult;

struct ExpectedText {
    std::uint32_t value;
    std::string_view code;
    std::string_view message;
};

// The published texts, byte for byte.
constexpr ExpectedText PUBLISHED[] = {
    {1, "invalid_pointer", "null or misaligned pointer"},
    {2, "action_id_overflow", "action id exceeds maximum size"},
    {3, "payload_overflow", "payload exceeds maximum size"},
    {4, "invalid_receipt", "receipt is malformed"},
    {5, "invalid_key_length", "key must be 32 bytes"},
    {6, "authentication_failure", "HMAC verification failed"},
    {7, "replay_counter", "monotonic counter violation (replay)"},
    {8, "replay_nonce", "nonce reuse detected"},
    {9, "hardware_sha_unavailable", "hardware SHA unavailable"},
    {10, "stale_receipt", "receipt timestamp outside the maximum age"},
};

class SecurityErrorText : public ::testing::TestWithParam<ExpectedText> {};

TEST_P(SecurityErrorText, ValueRoundTripsAndNamesItsTexts) {
    const ExpectedText& expected = GetParam();
    const auto error = morvex::security::security_error_from_value(expected.value);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(morvex::security::to_value(*error), expected.value);
    EXPECT_EQ(morvex::security::code_string(*error), expected.code);
    EXPECT_EQ(morvex::security::message(*error), expected.message);
}

INSTANTIATE_TEST_SUITE_P(All, SecurityErrorText, ::testing::ValuesIn(PUBLISHED),
                         [](const auto& p) { return std::string(p.param.code); });

TEST(SecurityError, NamedEnumeratorsCarryTheirValues) {
    EXPECT_EQ(morvex::security::to_value(SecurityError::InvalidPointer), 1u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::ActionIdOverflow), 2u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::AuthenticationFailure), 6u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::ReplayCounter), 7u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::ReplayNonce), 8u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::HardwareShaUnavailable), 9u);
    EXPECT_EQ(morvex::security::to_value(SecurityError::StaleReceipt), 10u);
    EXPECT_EQ(morvex::security::SECURITY_ERROR_COUNT, 10u);
}

TEST(SecurityError, SuccessAndOutOfRangeValuesAreNoError) {
    for (std::uint32_t value : {0u, 11u, 0xffffffffu}) {
        EXPECT_FALSE(morvex::security::security_error_from_value(value).has_value()) << value;
    }
}

TEST(SecurityResult, HoldsEitherAValueOrAnError) {
    const SecurityResult<int> ok = 42;
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok.value(), 42);

    const SecurityResult<int> failed = SecurityError::ReplayNonce;
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), SecurityError::ReplayNonce);
}

TEST(SecurityResultDeathTest, ReadingTheWrongAlternativeAborts) {
    const SecurityResult<int> failed = SecurityError::ReplayNonce;
    const SecurityResult<int> ok = 1;
    EXPECT_DEATH((void)failed.value(), "");
    EXPECT_DEATH((void)SecurityResult<int>(SecurityError::ReplayNonce).value(), "");
    EXPECT_DEATH((void)ok.error(), "");
}

}  // namespace
