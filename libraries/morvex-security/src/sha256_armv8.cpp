// SHA-256 compression with the ARMv8 SHA-2 instructions (SHA256H, SHA256H2,
// SHA256SU0, SHA256SU1). Empty on other architectures. Only the functions that
// carry the target attribute use the extension; the dispatcher calls this back
// end only after cpu_has_armv8_sha2().
#include "sha256.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#if defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#if defined(__clang__)
#define MORVEX_ARM_SHA2_TARGET __attribute__((target("sha2")))
#else
#define MORVEX_ARM_SHA2_TARGET __attribute__((target("+crypto")))
#endif

namespace morvex::security::detail {

namespace {

struct State {
    uint32x4_t abcd;
    uint32x4_t efgh;
};

// Four rounds with message words w and constants k.
MORVEX_ARM_SHA2_TARGET void four_rounds(State& s, uint32x4_t w, const std::uint32_t* k) {
    const uint32x4_t wk = vaddq_u32(w, vld1q_u32(k));
    const uint32x4_t abcd = s.abcd;
    s.abcd = vsha256hq_u32(s.abcd, s.efgh, wk);
    s.efgh = vsha256h2q_u32(s.efgh, abcd, wk);  // takes the abcd from before these rounds
}

// W[t..t+3] from the four previous groups of message words.
MORVEX_ARM_SHA2_TARGET uint32x4_t next_words(uint32x4_t w16, uint32x4_t w12, uint32x4_t w8,
                                             uint32x4_t w4) {
    return vsha256su1q_u32(vsha256su0q_u32(w16, w12), w8, w4);
}

MORVEX_ARM_SHA2_TARGET void compress_block(State& s, const std::uint8_t* block) {
    const State start = s;
    uint32x4_t w[4];
    for (int g = 0; g < 4; ++g) {
        w[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * g)));
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
        if (g >= 4) w[g & 3] = next_words(w[g & 3], w[(g + 1) & 3], w[(g + 2) & 3], w[(g + 3) & 3]);
        four_rounds(s, w[g & 3], SHA256_ROUND_CONSTANTS + 4 * g);
    }
    s.abcd = vaddq_u32(s.abcd, start.abcd);
    s.efgh = vaddq_u32(s.efgh, start.efgh);
}

}  // namespace

MORVEX_ARM_SHA2_TARGET void sha256_compress_armv8(std::uint32_t state[8],
                                                  const std::uint8_t* blocks,
                                                  std::size_t block_count) noexcept {
    State s{vld1q_u32(state), vld1q_u32(state + 4)};
    for (std::size_t i = 0; i < block_count; ++i) compress_block(s, blocks + i * SHA256_BLOCK_LEN);
    vst1q_u32(state, s.abcd);
    vst1q_u32(state + 4, s.efgh);
}

bool cpu_has_armv8_sha2() noexcept {
#if defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#elif defined(__APPLE__)
    return true;  // every Apple arm64 processor has the SHA-2 instructions
#else
    return false;
#endif
}

}  // namespace morvex::security::detail

#endif  // __aarch64__
