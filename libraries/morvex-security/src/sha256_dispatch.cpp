// Hosted builds on x86-64 and AArch64 choose the SHA-256 back end once per
// process and route every compression through it: the first call detects the
// CPU and replaces the function pointer with the chosen back end; later calls
// go straight there. Detection is idempotent, so two threads racing on the
// first call store the same pointer. Elsewhere sha256_compress is the one
// compression the build chose (sha256.h). Padding and the one-shot digest
// follow, for every build.
#include <cstring>

#include "byte_order.h"
#include "sha256.h"

#if MORVEX_SHA256_DISPATCH
#include <atomic>
#endif

namespace morvex::security::detail {

#if MORVEX_SHA256_DISPATCH
namespace {

Sha256Backend detect_best() noexcept {
#if defined(__x86_64__)
    if (cpu_has_x86_sha()) return Sha256Backend::X86Sha;
#endif
#if defined(__aarch64__)
    if (cpu_has_armv8_sha2()) return Sha256Backend::Armv8Sha2;
#endif
    return MORVEX_SHA256_UNROLLED ? Sha256Backend::PortableUnrolled : Sha256Backend::Portable;
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
        case Sha256Backend::PortableUnrolled:
            return &sha256_compress_unrolled;
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
    if (fn == &sha256_compress_unrolled) return Sha256Backend::PortableUnrolled;
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
#endif  // MORVEX_SHA256_DISPATCH

void sha256_store_digest(const std::uint32_t state[8], std::uint8_t out[SHA256_DIGEST_LEN]) noexcept {
    for (std::size_t i = 0; i < 8; ++i) store_be(out + 4 * i, state[i]);
}

namespace {

template <class Compress>
void pad_and_compress(Compress compress, std::uint32_t state[8],
                      std::uint8_t block[SHA256_BLOCK_LEN], std::size_t fill,
                      std::uint64_t total_len) noexcept {
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

template <class Compress>
void digest(Compress compress, std::span<const std::uint8_t> data,
            std::uint8_t out[SHA256_DIGEST_LEN]) noexcept {
    std::uint32_t state[8];
    std::memcpy(state, SHA256_INITIAL_STATE, sizeof state);
    const std::size_t full_blocks = data.size() / SHA256_BLOCK_LEN;
    if (full_blocks != 0) compress(state, data.data(), full_blocks);

    std::uint8_t last[SHA256_BLOCK_LEN];
    const std::size_t rest = data.size() - full_blocks * SHA256_BLOCK_LEN;
    if (rest != 0) std::memcpy(last, data.data() + full_blocks * SHA256_BLOCK_LEN, rest);
    pad_and_compress(compress, state, last, rest, data.size());
    sha256_store_digest(state, out);
}

// The library's compression as a callable the templates inline.
struct LibraryCompress {
    void operator()(std::uint32_t state[8], const std::uint8_t* blocks,
                    std::size_t block_count) const noexcept {
        sha256_compress(state, blocks, block_count);
    }
};

}  // namespace

void sha256_pad_and_compress(std::uint32_t state[8], std::uint8_t block[SHA256_BLOCK_LEN],
                             std::size_t fill, std::uint64_t total_len) noexcept {
    pad_and_compress(LibraryCompress{}, state, block, fill, total_len);
}

void sha256_digest(std::span<const std::uint8_t> data,
                   std::uint8_t out[SHA256_DIGEST_LEN]) noexcept {
    digest(LibraryCompress{}, data, out);
}

#if MORVEX_SHA256_DISPATCH
void sha256_digest(std::span<const std::uint8_t> data, std::uint8_t out[SHA256_DIGEST_LEN],
                   Sha256CompressFn compress) noexcept {
    digest(compress, data, out);
}
#endif

}  // namespace morvex::security::detail

extern "C" void morvex_sha256(const std::uint8_t* data, std::size_t len,
                              std::uint8_t digest[MORVEX_SHA256_DIGEST_LEN]) {
    morvex::security::detail::sha256_digest({data, len}, digest);
}
