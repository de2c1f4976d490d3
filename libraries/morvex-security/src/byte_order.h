// Fixed-width integers to and from bytes, written once: the receipt and its
// message are little-endian, SHA-256 words and length fields big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::security::detail {

template <class T>
constexpr void store_le(std::uint8_t* out, T value) noexcept {
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <class T>
constexpr void store_be(std::uint8_t* out, T value) noexcept {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
    }
}

template <class T>
constexpr T load_le(const std::uint8_t* in) noexcept {
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | in[i]);
    return value;
}

template <class T>
constexpr T load_be(const std::uint8_t* in) noexcept {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | in[i]);
    return value;
}

}  // namespace morvex::security::detail
