// CRC-32C (Castagnoli) as the wire frames use it: with the CPU's instruction
// where there is one (x86-64 SSE4.2, AArch64 CRC), else a 16-entry table
// (64 bytes of constants, for microcontrollers).
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::security::detail {

// The CRC-32C of `size` bytes: initial value and final XOR 0xFFFFFFFF.
std::uint32_t crc32c(const std::uint8_t* data, std::size_t size) noexcept;

// The table version, whatever the CPU (for tests against the instruction).
std::uint32_t crc32c_portable(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace morvex::security::detail
