// SHA-256 compression with the x86 SHA extensions (SHA256RNDS2, SHA256MSG1,
// SHA256MSG2). Only the functions that carry the target attribute use those
// instructions, so the rest of the program stays runnable on CPUs without
// them; the dispatcher calls this back end only after cpu_has_x86_sha().
#include "sha256.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

#define MORVEX_X86_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace morvex::security::detail {

namespace {

// The instructions keep the eight working variables as two vectors, ABEF and
// CDGH (A in the top lane), instead of the state's a..h order.
struct PackedState {
    __m128i abef;
    __m128i cdgh;
};

MORVEX_X86_SHA_TARGET PackedState pack_state(const std::uint32_t state[8]) {
    const __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);  // lanes b a d c
    const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);  // lanes h g f e
    return {_mm_alignr_epi8(badc, hgfe, 8), _mm_blend_epi16(hgfe, badc, 0xF0)};
}

MORVEX_X86_SHA_TARGET void unpack_state(PackedState packed, std::uint32_t state[8]) {
    const __m128i feba = _mm_shuffle_epi32(packed.abef, 0x1B);  // lanes a b e f
    const __m128i dchg = _mm_shuffle_epi32(packed.cdgh, 0xB1);  // lanes g h c d
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Four rounds with message words w (already big-endian decoded) and constants k.
MORVEX_X86_SHA_TARGET void four_rounds(PackedState& s, __m128i w, const std::uint32_t* k) {
    const __m128i wk = _mm_add_epi32(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
    s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);                      // rounds 0, 1
    s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(wk, 0x0E));  // rounds 2, 3
}

// W[t..t+3] from the four previous groups of message words.
MORVEX_X86_SHA_TARGET __m128i next_words(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
    const __m128i w7 = _mm_alignr_epi8(w4, w8, 4);  // W[t-7..t-4]
    return _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w16, w12), w7), w4);
}

MORVEX_X86_SHA_TARGET void compress_block(PackedState& s, const std::uint8_t* block) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const PackedState start = s;

    // w[g & 3] holds message words 4g..4g+3 while they are in use.
    __m128i w[4];
    for (int g = 0; g < 4; ++g) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g));
        w[g] = _mm_shuffle_epi8(raw, byte_swap);
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
        if (g >= 4) w[g & 3] = next_words(w[g & 3], w[(g + 1) & 3], w[(g + 2) & 3], w[(g + 3) & 3]);
        four_rounds(s, w[g & 3], SHA256_ROUND_CONSTANTS + 4 * g);
    }
    s.abef = _mm_add_epi32(s.abef, start.abef);
    s.cdgh = _mm_add_epi32(s.cdgh, start.cdgh);
}

}  // namespace

MORVEX_X86_SHA_TARGET void sha256_compress_x86_sha(std::uint32_t state[8],
                                                   const std::uint8_t* blocks,
                                                   std::size_t block_count) noexcept {
    PackedState s = pack_state(state);
    for (std::size_t i = 0; i < block_count; ++i) compress_block(s, blocks + i * SHA256_BLOCK_LEN);
    unpack_state(s, state);
}

bool cpu_has_x86_sha() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & bit_SHA) != 0;
    return ssse3 && sse41 && sha;
}

}  // namespace morvex::security::detail

#endif  // __x86_64__
