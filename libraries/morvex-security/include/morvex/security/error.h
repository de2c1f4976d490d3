// SecurityError: every refusal of the security core, as a plain value.
//
// Each error has a numeric value (1..10; 0 is never an error and means success
// wherever a bare numeric status is reported), a lower_snake_case code string
// and a one-line message. The texts are part of the interface and never change.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <type_traits>

namespace morvex::security {

enum class SecurityError : std::uint32_t {
    InvalidPointer = 1,
    ActionIdOverflow = 2,
    PayloadOverflow = 3,
    InvalidReceipt = 4,
    InvalidKeyLength = 5,
    AuthenticationFailure = 6,
    ReplayCounter = 7,
    ReplayNonce = 8,
    HardwareShaUnavailable = 9,
    StaleReceipt = 10,
};

inline constexpr std::uint32_t SECURITY_ERROR_COUNT = 10;

namespace detail {

struct ErrorText {
    std::string_view code;
    std::string_view message;
};

// Indexed by numeric value minus one.
inline constexpr std::array<ErrorText, SECURITY_ERROR_COUNT> ERROR_TEXTS{{
    {"invalid_pointer", "null or misaligned pointer"},
    {"action_id_overflow", "action id exceeds maximum size"},
    {"payload_overflow", "payload exceeds maximum size"},
    {"invalid_receipt", "receipt is malformed"},
    {"invalid_key_length", "key must be 32 bytes"},
    {"authentication_failure", "HMAC verification failed"},
    {"replay_counter", "monotonic counter violation (replay)"},
    {"replay_nonce", "nonce reuse detected"},
    {"hardware_sha_unavailable", "hardware SHA unavailable"},
    {"stale_receipt", "receipt timestamp outside the maximum age"},
}};

}  // namespace detail

// The numeric value (1..10) that crosses to the front end in a bare status.
constexpr std::uint32_t to_value(SecurityError e) noexcept {
    return static_cast<std::uint32_t>(e);
}

// The error with this numeric value, or nothing for 0 (success) and values above 10.
constexpr std::optional<SecurityError> security_error_from_value(std::uint32_t value) noexcept {
    if (value < 1 || value > SECURITY_ERROR_COUNT) return std::nullopt;
    return static_cast<SecurityError>(value);
}

// Static text, e.g. "replay_nonce". `e` must be one of the enumerators.
constexpr std::string_view code_string(SecurityError e) noexcept {
    return detail::ERROR_TEXTS[to_value(e) - 1].code;
}

// Static text, e.g. "nonce reuse detected". `e` must be one of the enumerators.
constexpr std::string_view message(SecurityError e) noexcept {
    return detail::ERROR_TEXTS[to_value(e) - 1].message;
}

// Either a value or the SecurityError that prevented it. Only for small,
// trivially copyable values (receipts, hashers): nothing is allocated.
template <class T>
class [[nodiscard]] SecurityResult {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

   public:
    constexpr SecurityResult(const T& value) noexcept : value_(value), error_{}, ok_(true) {}
    constexpr SecurityResult(SecurityError error) noexcept : empty_{}, error_(error), ok_(false) {}

    constexpr bool has_value() const noexcept { return ok_; }
    constexpr explicit operator bool() const noexcept { return ok_; }

    // Precondition: has_value(). Reading the value of an error is a broken
    // invariant and ends the process rather than handing out garbage.
    constexpr const T& value() const& noexcept {
        if (!ok_) std::abort();
        return value_;
    }
    constexpr T& value() & noexcept {
        if (!ok_) std::abort();
        return value_;
    }
    constexpr T value() && noexcept {
        if (!ok_) std::abort();
        return value_;
    }

    // Precondition: !has_value().
    constexpr SecurityError error() const noexcept {
        if (ok_) std::abort();
        return error_;
    }

   private:
    union {
        char empty_;
        T value_;
    };
    SecurityError error_;
    bool ok_;
};

// Success, or the SecurityError that refused an operation. Its value() is the
// bare numeric status of the C interfaces: 0 for success, else the error's value.
class [[nodiscard]] SecurityStatus {
   public:
    constexpr SecurityStatus() noexcept = default;
    constexpr SecurityStatus(SecurityError error) noexcept : value_(to_value(error)) {}

    constexpr bool ok() const noexcept { return value_ == 0; }
    constexpr explicit operator bool() const noexcept { return ok(); }
    constexpr std::uint32_t value() const noexcept { return value_; }

    // Precondition: !ok().
    constexpr SecurityError error() const noexcept {
        if (ok()) std::abort();
        return static_cast<SecurityError>(value_);
    }

    friend constexpr bool operator==(SecurityStatus, SecurityStatus) noexcept = default;

   private:
    std::uint32_t value_ = 0;
};

}  // namespace morvex::security
