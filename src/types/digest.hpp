// SHA-256 identifiers and the SipHash-1-3 stream used for Python hashes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvel {

using Digest = std::array<std::uint8_t, 32>;

struct DigestHash {
    std::size_t operator()(const Digest& d) const noexcept {
        std::size_t h;
        std::memcpy(&h, d.data(), sizeof h);  // the digest is uniformly distributed already
        return h;
    }
};

// One-shot SHA-256 of `prefix` followed by `body`.
Digest sha256_of(std::string_view prefix, std::string_view body);

// 64 lowercase hex digits.
std::string digest_hex(const Digest& d);
void digest_hex_into(const Digest& d, char* out64);

// SipHash-1-3, both keys zero, fed incrementally.
class SipHash13 {
public:
    SipHash13();
    void update(const void* data, std::size_t len);
    void update_u64(std::uint64_t v);  // little-endian
    void update_byte(std::uint8_t b) { update(&b, 1); }
    std::uint64_t finish();

private:
    void compress(std::uint64_t m);
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint8_t tail_[8];
    std::size_t tail_len_ = 0;
    std::uint64_t total_ = 0;
};

// Python hash convention: -1 is reserved for errors.
inline std::int64_t to_py_hash(std::uint64_t h) {
    auto s = static_cast<std::int64_t>(h);
    return s == -1 ? -2 : s;
}

}  // namespace quorvel
