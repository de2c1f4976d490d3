// The helpers whose timing must survive the optimiser: the barrier black_box
// and the branch-free byte comparison shared by
// ct_eq and the nonce ring scan (inline, so that the ring scan sees its fixed
// 12-byte length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace morvex::security {

// Returns its argument unchanged, but the compiler cannot see through it, so
// it cannot reason about the value (e.g. turn a loop into an early exit).
template <class T>
    requires std::is_integral_v<T>
inline T black_box(T value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__ volatile("" : "+r"(value));
    return value;
#else
    volatile T opaque = value;
    return opaque;
#endif
}

namespace detail {

inline constexpr std::uint64_t ONE_PER_LANE = 0x0101010101010101;

// 1 when the bytes are equal, else 0, without a branch.
constexpr std::uint64_t byte_equal(std::uint8_t x, std::uint8_t y) noexcept {
    return ((static_cast<std::uint64_t>(x ^ y) - 1) >> 8) & 1;
}

// The same for eight byte lanes at once: 0x01 in every lane where a and b
// agree, 0x00 where they differ. Adding 0x7f to the low seven bits of a lane
// carries into its top bit exactly when those bits are nonzero, and never into
// the next lane.
constexpr std::uint64_t equal_lanes(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7f;
    const std::uint64_t diff = a ^ b;
    const std::uint64_t lane_differs = ((diff & low7) + low7) | diff;  // top bit of each lane
    return (~lane_differs >> 7) & ONE_PER_LANE;
}

inline std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The last four bytes of a 12-byte nonce, zero-extended.
inline std::uint64_t load_tail(const std::uint8_t* nonce) noexcept {
    std::uint32_t word;
    std::memcpy(&word, nonce + 8, sizeof word);
    return word;
}

// 1 when x is zero, else 0, without a branch: only x == 0 has the top bit set in
// both ~x and x - 1.
constexpr std::uint64_t is_zero(std::uint64_t x) noexcept { return (~x & (x - 1)) >> 63; }

// Every byte's equality bit passes through black_box before it is combined
// with AND, and the combined bit once more before it is tested, so the
// compiler cannot stop at the first difference. Whole words are compared
// lane-wise; a length that is not a multiple of 8 (but at least 8) ends with a
// word overlapping its predecessor, shorter arrays go byte by byte.
inline bool ct_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::uint64_t lanes = ONE_PER_LANE;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) lanes &= black_box(equal_lanes(load_word(a + i), load_word(b + i)));
    if (i < n && n >= 8) {
        lanes &= black_box(equal_lanes(load_word(a + n - 8), load_word(b + n - 8)));
        i = n;
    }
    std::uint64_t bytes = 1;
    for (; i < n; ++i) bytes &= black_box(byte_equal(a[i], b[i]));

    lanes &= lanes >> 32;
    lanes &= lanes >> 16;
    lanes &= lanes >> 8;
    return black_box(lanes & bytes & 1) != 0;
}

}  // namespace detail
}  // namespace morvex::security
