// SHA-256 (FIPS 180-4) block compression with one back end per instruction
// set, and the per-process choice between them. Internal to morvex_security
// (and its tests and benchmarks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "morvex/sha256.h"

namespace morvex::security::detail {

inline constexpr std::size_t SHA256_BLOCK_LEN = 64;
inline constexpr std::size_t SHA256_DIGEST_LEN = 32;

inline constexpr std::uint32_t SHA256_INITIAL_STATE[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Round constants K0..K63, shared by every back end.
extern const std::uint32_t SHA256_ROUND_CONSTANTS[64];

// Compresses `block_count` consecutive 64-byte blocks into the chaining value.
using Sha256CompressFn = void (*)(std::uint32_t state[8], const std::uint8_t* blocks,
                                  std::size_t block_count) noexcept;

// The two portable compressions: one 64-round loop (small), and the rounds
// written out eight at a time with the variables renamed instead of moved
// (faster where there are no SHA instructions; several KiB more code).
void sha256_compress_portable(std::uint32_t state[8], const std::uint8_t* blocks,
                              std::size_t block_count) noexcept;
void sha256_compress_unrolled(std::uint32_t state[8], const std::uint8_t* blocks,
                              std::size_t block_count) noexcept;

// Which compression the library calls is fixed when it is built
// (MORVEX_SHA256_COMPRESSION): on x86-64 and AArch64 the hosted build chooses
// between the portable code and the SHA instructions once per process; every
// other target (a microcontroller) calls one compression directly, with no
// function pointer and no guarded static: the portable loop, the unrolled
// rounds, or a firmware's own (morvex_sha256_compress_blocks, morvex/sha256.h).
#if !MORVEX_SHA256_EXTERNAL && (defined(__x86_64__) || defined(__aarch64__))
#define MORVEX_SHA256_DISPATCH 1
#else
#define MORVEX_SHA256_DISPATCH 0
#endif

#if MORVEX_SHA256_DISPATCH
#if defined(__x86_64__)
void sha256_compress_x86_sha(std::uint32_t state[8], const std::uint8_t* blocks,
                             std::size_t block_count) noexcept;
bool cpu_has_x86_sha() noexcept;
#endif
#if defined(__aarch64__)
void sha256_compress_armv8(std::uint32_t state[8], const std::uint8_t* blocks,
                           std::size_t block_count) noexcept;
bool cpu_has_armv8_sha2() noexcept;
#endif

enum class Sha256Backend : std::uint8_t { Portable, PortableUnrolled, X86Sha, Armv8Sha2 };

// The back end's function, or nullptr when this build or this CPU lacks it.
Sha256CompressFn sha256_backend_function(Sha256Backend backend) noexcept;

// The fastest back end this CPU offers (detected once).
Sha256Backend best_sha256_backend() noexcept;

// The back end the process currently uses; the best one unless a test chose another.
Sha256Backend active_sha256_backend() noexcept;

// Test hook: route every later compression through `backend`. Returns false and
// changes nothing when it is unavailable. Must not race with hashing threads.
bool select_sha256_backend_for_testing(Sha256Backend backend) noexcept;

// Compression through the active back end.
void sha256_compress(std::uint32_t state[8], const std::uint8_t* blocks,
                     std::size_t block_count) noexcept;
#else
inline void sha256_compress(std::uint32_t state[8], const std::uint8_t* blocks,
                            std::size_t block_count) noexcept {
#if MORVEX_SHA256_EXTERNAL
    morvex_sha256_compress_blocks(state, blocks, block_count);
#elif MORVEX_SHA256_UNROLLED
    sha256_compress_unrolled(state, blocks, block_count);
#else
    sha256_compress_portable(state, blocks, block_count);
#endif
}
#endif

// Writes the chaining value as the 32-byte big-endian digest.
void sha256_store_digest(const std::uint32_t state[8], std::uint8_t out[SHA256_DIGEST_LEN]) noexcept;

// FIPS 180-4 padding and the last compression(s): `block` holds the message's
// last `fill` bytes (fill < 64) and is overwritten; `total_len` is the whole
// message length in bytes, blocks compressed before included.
void sha256_pad_and_compress(std::uint32_t state[8], std::uint8_t block[SHA256_BLOCK_LEN],
                             std::size_t fill, std::uint64_t total_len) noexcept;

// Plain one-shot SHA-256 through the library's compression.
void sha256_digest(std::span<const std::uint8_t> data,
                   std::uint8_t out[SHA256_DIGEST_LEN]) noexcept;

#if MORVEX_SHA256_DISPATCH
// The same through a chosen back end (tests and benchmarks).
void sha256_digest(std::span<const std::uint8_t> data, std::uint8_t out[SHA256_DIGEST_LEN],
                   Sha256CompressFn compress) noexcept;
#endif

}  // namespace morvex::security::detail
