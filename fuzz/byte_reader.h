// Reads fuzz input as a stream of typed values. Past the end every read yields
// zeros, so any input, however short, decodes to something.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace morvex::fuzz {

class ByteReader {
   public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }

    void bytes(void* out, std::size_t n) {
        auto* dst = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < n; ++i) dst[i] = u8();
    }

    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(u8()) << (8 * i);
        return v;
    }

    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(u8()) << (8 * i);
        return v;
    }

    // A float drawn so that the interesting values are likely: one tag byte
    // picks small exact values (multiples of 1/8 in [-16, 16)), special values,
    // or four raw bytes (any bit pattern: NaN payloads, subnormals, huge).
    float f32() {
        const std::uint8_t tag = u8();
        switch (tag >> 6) {
            case 0:
            case 1:  // 128 small exact values
                return static_cast<float>(static_cast<int>(tag & 0x7f) - 64) / 4.0f;
            case 2:
                return special(tag & 0x3f);
            default:
                return std::bit_cast<float>(u32());
        }
    }

   private:
    float special(std::uint8_t k) {
        constexpr float kInf = std::numeric_limits<float>::infinity();
        constexpr float kMax = std::numeric_limits<float>::max();
        constexpr float kDenorm = std::numeric_limits<float>::denorm_min();
        switch (k % 20) {
            case 0: return 0.0f;
            case 1: return -0.0f;
            case 2: return kInf;
            case 3: return -kInf;
            case 4: return std::numeric_limits<float>::quiet_NaN();
            case 5: return kMax;
            case 6: return -kMax;
            case 7: return kDenorm;
            case 8: return -kDenorm;
            case 9: return 1e-5f;   // the solver's tolerance
            case 10: return -1e-5f;
            case 11: return 1e-9f;  // its tiny threshold
            case 12: return 1e-6f;  // its pivot threshold
            case 13: return 0.99999f;
            case 14: return 1e19f;  // squares overflow single precision
            case 15: return -1e19f;
            case 16: return 1e-20f;  // squares underflow
            case 17: return std::numeric_limits<float>::min();
            case 18: return 1.0f + std::numeric_limits<float>::epsilon();
            default: return static_cast<float>(static_cast<std::int8_t>(u8()));
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// What the current input decoded to, printed when a property fails.
struct FailureContext {
    void (*describe)(const void* subject) = nullptr;
    const void* subject = nullptr;
};

inline FailureContext& failure_context() {
    static FailureContext context;
    return context;
}

inline void on_failure_describe(void (*describe)(const void*), const void* subject) {
    failure_context() = FailureContext{describe, subject};
}

// Fails the run with a message; libFuzzer saves the input that led here.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\n*** fuzz property violated at %s:%d: %s\n", file, line, what);
    const FailureContext& context = failure_context();
    if (context.describe != nullptr) context.describe(context.subject);
    std::abort();
}

#define FUZZ_CHECK(cond)                                                 \
    do {                                                                 \
        if (!(cond)) ::morvex::fuzz::fail(#cond, __FILE__, __LINE__);    \
    } while (0)

inline bool same_bits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

}  // namespace morvex::fuzz
