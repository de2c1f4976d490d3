// Shared test helpers: hex, published vector files, the OpenSSL oracle, a
// general HMAC-SHA-256 on our compression, and back-end selection.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "morvex/security/crypto.h"
#include "sha256.h"

namespace sectest {

using namespace morvex::security;

using Bytes = std::vector<std::uint8_t>;

inline Bytes from_hex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> array_from(const Bytes& bytes) {
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), bytes.data(), N);
    return out;
}

// One record of a vector file: "Name = value" lines up to a blank line.
using VectorRecord = std::map<std::string, std::string>;

// Records that carry every one of `required` (headers and comments have none).
inline std::vector<VectorRecord> read_vector_file(const std::string& name,
                                                  std::initializer_list<std::string> required) {
    std::ifstream in(std::string(MORVEX_SECURITY_VECTORS) + "/" + name);
    std::vector<VectorRecord> records;
    VectorRecord current;
    auto flush = [&] {
        bool complete = true;
        for (const auto& field : required) complete = complete && current.count(field) != 0;
        if (complete) records.push_back(current);
        current.clear();
    };
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find(" = ");
        if (line.empty()) {
            flush();
        } else if (line[0] != '#' && line[0] != '[' && eq != std::string::npos) {
            current[line.substr(0, eq)] = line.substr(eq + 3);
        }
    }
    flush();
    return records;
}

inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

// --- OpenSSL, the independent oracle ---------------------------------------

inline Tag openssl_sha256(std::span<const std::uint8_t> data) {
    Tag out{};
    SHA256(data.data(), data.size(), out.data());
    return out;
}

inline Tag openssl_hmac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> msg) {
    Tag out{};
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out.data(),
         &len);
    return out;
}

// --- our compression, driven directly ---------------------------------------

inline Tag our_sha256(std::span<const std::uint8_t> data,
                      detail::Sha256CompressFn compress = detail::sha256_compress) {
    Tag out{};
    detail::sha256_digest(data, out.data(), compress);
    return out;
}

// RFC 2104 for any key length, built only on our SHA-256: a key longer than a
// block is hashed first, then padded with zeros to one block.
inline Tag general_hmac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> msg) {
    Bytes k0(64, 0);
    if (key.size() > 64) {
        const Tag hashed = our_sha256(key);
        std::copy(hashed.begin(), hashed.end(), k0.begin());
    } else {
        std::copy(key.begin(), key.end(), k0.begin());
    }
    Bytes inner(64), outer(64);
    for (std::size_t i = 0; i < 64; ++i) {
        inner[i] = k0[i] ^ 0x36;
        outer[i] = k0[i] ^ 0x5c;
    }
    inner.insert(inner.end(), msg.begin(), msg.end());
    const Tag inner_digest = our_sha256(inner);
    outer.insert(outer.end(), inner_digest.begin(), inner_digest.end());
    return our_sha256(outer);
}

// --- back ends ----------------------------------------------------------------

inline const char* backend_name(detail::Sha256Backend backend) {
    switch (backend) {
        case detail::Sha256Backend::Portable:
            return "Portable";
        case detail::Sha256Backend::PortableUnrolled:
            return "PortableUnrolled";
        case detail::Sha256Backend::X86Sha:
            return "X86Sha";
        case detail::Sha256Backend::Armv8Sha2:
            return "Armv8Sha2";
    }
    return "Unknown";
}

// Every back end that this build and this CPU can run.
inline std::vector<detail::Sha256Backend> available_backends() {
    std::vector<detail::Sha256Backend> out;
    for (auto b : {detail::Sha256Backend::Portable, detail::Sha256Backend::PortableUnrolled,
                   detail::Sha256Backend::X86Sha, detail::Sha256Backend::Armv8Sha2}) {
        if (detail::sha256_backend_function(b) != nullptr) out.push_back(b);
    }
    return out;
}

// Routes the process through one back end for the lifetime of the guard.
class BackendGuard {
   public:
    explicit BackendGuard(detail::Sha256Backend backend)
        : selected_(detail::select_sha256_backend_for_testing(backend)) {}
    ~BackendGuard() { detail::select_sha256_backend_for_testing(detail::best_sha256_backend()); }
    bool selected() const { return selected_; }

   private:
    bool selected_;
};

struct BackendParamName {
    std::string operator()(const ::testing::TestParamInfo<detail::Sha256Backend>& info) const {
        return backend_name(info.param);
    }
};

}  // namespace sectest
