// Fixed-width integers to and from bytes, written once: the receipt and its
// message are little-endian, SHA-256 words and length fields big-endian. One
// (possibly unaligned) word access and at most a byte swap where the target
// allows it: on a microcontroller a loop of 64-bit shifts per byte costs more
// than the rest of a receipt's bookkeeping.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace morvex::security::detail {

template <class T>
constexpr T byte_swap(T value) noexcept {
    if constexpr (sizeof(T) == 8) {
        return static_cast<T>(__builtin_bswap64(value));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(value));
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(value));
    } else {
        return value;
    }
}

// T as stored in the given byte order, from its native value (and back).
template <class T, std::endian order>
constexpr T in_order(T value) noexcept {
    static_assert(std::is_unsigned_v<T>);
    return std::endian::native == order ? value : byte_swap(value);
}

template <class T>
inline void store_le(std::uint8_t* out, T value) noexcept {
    value = in_order<T, std::endian::little>(value);
    std::memcpy(out, &value, sizeof value);
}

template <class T>
inline void store_be(std::uint8_t* out, T value) noexcept {
    value = in_order<T, std::endian::big>(value);
    std::memcpy(out, &value, sizeof value);
}

template <class T>
inline T load_le(const std::uint8_t* in) noexcept {
    T value;
    std::memcpy(&value, in, sizeof value);
    return in_order<T, std::endian::little>(value);
}

template <class T>
inline T load_be(const std::uint8_t* in) noexcept {
    T value;
    std::memcpy(&value, in, sizeof value);
    return in_order<T, std::endian::big>(value);
}

}  // namespace morvex::security::detail
