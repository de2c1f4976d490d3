// CRC-32C, reflected polynomial 0x82F63B78.
#include "crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
#include <arm_acle.h>
#endif

namespace morvex::security::detail {

namespace {

constexpr std::uint32_t POLYNOMIAL = 0x82F63B78u;

// The CRC of each 4-bit value: two lookups per byte, 64 bytes of constants.
constexpr std::array<std::uint32_t, 16> NIBBLE_TABLE = [] {
    std::array<std::uint32_t, 16> table{};
    for (std::uint32_t n = 0; n < 16; ++n) {
        std::uint32_t crc = n;
        for (int bit = 0; bit < 4; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? POLYNOMIAL : 0u);
        table[n] = crc;
    }
    return table;
}();

std::uint32_t update_portable(std::uint32_t crc, const std::uint8_t* data,
                              std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        crc = (crc >> 4) ^ NIBBLE_TABLE[crc & 15u];
        crc = (crc >> 4) ^ NIBBLE_TABLE[crc & 15u];
    }
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t update_sse42(std::uint32_t crc,
                                                             const std::uint8_t* data,
                                                             std::size_t size) noexcept {
    std::uint64_t wide = crc;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        wide = _mm_crc32_u64(wide, word);
    }
    auto narrow = static_cast<std::uint32_t>(wide);
    for (; i < size; ++i) narrow = _mm_crc32_u8(narrow, data[i]);
    return narrow;
}
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
std::uint32_t update_armv8(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        crc = __crc32cd(crc, word);
    }
    for (; i < size; ++i) crc = __crc32cb(crc, data[i]);
    return crc;
}
#endif

}  // namespace

std::uint32_t crc32c_portable(const std::uint8_t* data, std::size_t size) noexcept {
    return ~update_portable(0xFFFFFFFFu, data, size);
}

std::uint32_t crc32c(const std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("sse4.2")) return ~update_sse42(0xFFFFFFFFu, data, size);
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
    return ~update_armv8(0xFFFFFFFFu, data, size);
#endif
    return crc32c_portable(data, size);
}

}  // namespace morvex::security::detail
