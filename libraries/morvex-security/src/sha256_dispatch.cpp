// Chooses the SHA-256 back end once per process and routes every compression
// through it. The first call detects the CPU and replaces the function pointer
// with the chosen back end; later calls go straight there. Detection is
// idempotent, so two threads racing on the first call store the same pointer.
#include <atomic>
#include <cstring>

#include "byte_order.h"
#include "sha256.h"

namespace morvex::security::detail {

namespace {

Sha256Backend detect_best() noexcept {
#if defined(__x86_64__)
    if (cpu_has_x86_sha()) return Sha256Backend::X86Sha;
#endif
#if defined(__aarch64__)
    if (cpu_has_armv8_sha2()) return Sha256Backend::Armv8Sha2;
#endif
    return Sha256Backend::Portable;
}

void compress_first_call(std::uint32_t state[8], const std::uint8_t* blocks,
                         std::size_t block_count) noexcept;

constinit std::atomic<Sha256CompressFn> active_compress{&compress_first_call};

void compress_first_call(std::uint32_t state[8], const std::uint8_t* blocks,
                         std::size_t block_count) noexcept {
    const Sha256CompressFn chosen = sha256_backend_function(best_sha256_backend());
    active_compress.store(chosen, std::memory_order_relaxed);
    chosen(state, blocks, block_count);
}

}  // namespace

Sha256CompressFn sha256_backend_function(Sha256Backend backend) noexcept {
    switch (backend) {
        case Sha256Backend::Portable:
            return &sha256_compress_portable;
        case Sha256Backend::X86Sha:
#if defined(__x86_64__)
            if (cpu_has_x86_sha()) return &sha256_compress_x86_sha;
#endif
            return nullptr;
        case Sha256Backend::Armv8Sha2:
#if defined(__aarch64__)
            if (cpu_has_armv8_sha2()) return &sha256_compress_armv8;
#endif
            return nullptr;
    }
    return nullptr;
}

Sha256Backend best_sha256_backend() noexcept {
    static const Sha256Backend best = detect_best();
    return best;
}

Sha256Backend active_sha256_backend() noexcept {
    const Sha256CompressFn fn = active_compress.load(std::memory_order_relaxed);
    if (fn == &sha256_compress_portable) return Sha256Backend::Portable;
    if (fn == &compress_first_call) return best_sha256_backend();
#if defined(__x86_64__)
    if (fn == &sha256_compress_x86_sha) return Sha256Backend::X86Sha;
#endif
    return Sha256Backend::Armv8Sha2;
}

bool select_sha256_backend_for_testing(Sha256Backend backend) noexcept {
    const Sha256CompressFn fn = sha256_backend_function(backend);
    if (fn == nullptr) return false;
    active_compress.store(fn, std::memory_order_relaxed);
    return true;
}

void sha256_compress(std::uint32_t state[8], const std::uint8_t* blocks,
                     std::size_t block_count) noexcept {
    active_compress.load(std::memory_order_relaxed)(state, blocks, block_count);
}

void sha256_store_digest(const std::uint32_t state[8], std::uint8_t out[SHA256_DIGEST_LEN]) noexcept {
    for (std::size_t i = 0; i < 8; ++i) store_be(out + 4 * i, state[i]);
}

void sha256_pad_and_compress(std::uint32_t state[8], std::uint8_t block[SHA256_BLOCK_LEN],
                             std::size_t fill, std::uint64_t total_len,
                             Sha256CompressFn compress) noexcept {
    constexpr std::size_t length_field = SHA256_BLOCK_LEN - 8;
    block[fill++] = 0x80;
    if (fill > length_field) {
        std::memset(block + fill, 0, SHA256_BLOCK_LEN - fill);
        compress(state, block, 1);
        fill = 0;
    }
    std::memset(block + fill, 0, length_field - fill);
    store_be(block + length_field, total_len * 8);
    compress(state, block, 1);
}

void sha256_digest(std::span<const std::uint8_t> data, std::uint8_t out[SHA256_DIGEST_LEN],
                   Sha256CompressFn compress) noexcept {
    std::uint32_t state[8];
    std::memcpy(state, SHA256_INITIAL_STATE, sizeof state);
    const std::size_t full_blocks = data.size() / SHA256_BLOCK_LEN;
    if (full_blocks != 0) compress(state, data.data(), full_blocks);

    std::uint8_t last[SHA256_BLOCK_LEN];
    const std::size_t rest = data.size() - full_blocks * SHA256_BLOCK_LEN;
    if (rest != 0) std::memcpy(last, data.data() + full_blocks * SHA256_BLOCK_LEN, rest);
    sha256_pad_and_compress(state, last, rest, data.size(), compress);
    sha256_store_digest(state, out);
}

}  // namespace morvex::security::detail
