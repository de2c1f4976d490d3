// Portable SHA-256 compression with the rounds written out: each group of
// sixteen rounds is straight-line code in which the eight working variables
// change roles instead of being moved, and the message schedule's window is
// indexed by constants. About twice the speed of the 64-round loop where there
// are no SHA instructions, for a few KiB of code; bit-identical to it.
#include <cstring>

#include "sha256.h"

namespace morvex::security::detail {

namespace {

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_word_be(const std::uint8_t* p) {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap32(word);
#endif
    return word;
}

// One round: h and d are the variables that change; the caller names the
// others in their rotated roles. x is W[t] + K[t].
#define MORVEX_SHA256_ROUND(a, b, c, d, e, f, g, h, x)                             \
    do {                                                                           \
        h += (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + (x); \
        d += h;                                                                    \
        h += (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b))); \
    } while (0)

// W[t] for t >= 16, in place in the sixteen-word window (w[i] held W[t - 16]).
#define MORVEX_SHA256_SCHEDULE(i)                                                           \
    (w[i] +=                                                                                \
     (rotr(w[(i + 14) & 15], 17) ^ rotr(w[(i + 14) & 15], 19) ^ (w[(i + 14) & 15] >> 10)) + \
     w[(i + 9) & 15] +                                                                      \
     (rotr(w[(i + 1) & 15], 7) ^ rotr(w[(i + 1) & 15], 18) ^ (w[(i + 1) & 15] >> 3)))

#define MORVEX_SHA256_EIGHT(i, W)                                     \
    MORVEX_SHA256_ROUND(a, b, c, d, e, f, g, h, k[i + 0] + W(i + 0)); \
    MORVEX_SHA256_ROUND(h, a, b, c, d, e, f, g, k[i + 1] + W(i + 1)); \
    MORVEX_SHA256_ROUND(g, h, a, b, c, d, e, f, k[i + 2] + W(i + 2)); \
    MORVEX_SHA256_ROUND(f, g, h, a, b, c, d, e, k[i + 3] + W(i + 3)); \
    MORVEX_SHA256_ROUND(e, f, g, h, a, b, c, d, k[i + 4] + W(i + 4)); \
    MORVEX_SHA256_ROUND(d, e, f, g, h, a, b, c, k[i + 5] + W(i + 5)); \
    MORVEX_SHA256_ROUND(c, d, e, f, g, h, a, b, k[i + 6] + W(i + 6)); \
    MORVEX_SHA256_ROUND(b, c, d, e, f, g, h, a, k[i + 7] + W(i + 7))

#define MORVEX_SHA256_FIRST(i) w[i]
#define MORVEX_SHA256_LATER(i) MORVEX_SHA256_SCHEDULE(i)

void compress_block(std::uint32_t state[8], const std::uint8_t* block) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_word_be(block + 4 * i);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    const std::uint32_t* k = SHA256_ROUND_CONSTANTS;
    MORVEX_SHA256_EIGHT(0, MORVEX_SHA256_FIRST);
    MORVEX_SHA256_EIGHT(8, MORVEX_SHA256_FIRST);
    // Eight rounds leave every variable in its starting role, so the three
    // later groups of sixteen rounds are one loop body.
    for (int group = 1; group < 4; ++group) {
        k += 16;
        MORVEX_SHA256_EIGHT(0, MORVEX_SHA256_LATER);
        MORVEX_SHA256_EIGHT(8, MORVEX_SHA256_LATER);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#undef MORVEX_SHA256_ROUND
#undef MORVEX_SHA256_SCHEDULE
#undef MORVEX_SHA256_EIGHT
#undef MORVEX_SHA256_FIRST
#undef MORVEX_SHA256_LATER

}  // namespace

void sha256_compress_unrolled(std::uint32_t state[8], const std::uint8_t* blocks,
                              std::size_t block_count) noexcept {
    for (std::size_t i = 0; i < block_count; ++i)
        compress_block(state, blocks + i * SHA256_BLOCK_LEN);
}

}  // namespace morvex::security::detail
