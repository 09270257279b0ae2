#include "types/digest.hpp"

// The one-shot SHA256() of OpenSSL 3 fetches the algorithm and allocates a
// context on every call, which costs several times the hashing itself for
// our short inputs; the context-on-the-stack interface does not.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>


namespace quorvel {

Digest sha256_of(std::string_view prefix, std::string_view body) {
    Digest out{};
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    if (!prefix.empty()) SHA256_Update(&ctx, prefix.data(), prefix.size());
    if (!body.empty()) SHA256_Update(&ctx, body.data(), body.size());
    SHA256_Final(out.data(), &ctx);
    return out;
}

void digest_hex_into(const Digest& d, char* out64) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < d.size(); ++i) {
        out64[2 * i] = hex[d[i] >> 4];
        out64[2 * i + 1] = hex[d[i] & 0xF];
    }
}

std::string digest_hex(const Digest& d) {
    std::string s(64, '\0');
    digest_hex_into(d, s.data());
    return s;
}

namespace {
inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
inline std::uint64_t load_le(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

SipHash13::SipHash13()
    : v0_(0x736f6d6570736575ULL), v1_(0x646f72616e646f6dULL), v2_(0x6c7967656e657261ULL),
      v3_(0x7465646279746573ULL) {}

void SipHash13::compress(std::uint64_t m) {
    v3_ ^= m;
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
    v0_ ^= m;
}

void SipHash13::update(const void* data, std::size_t len) {
    auto p = static_cast<const std::uint8_t*>(data);
    total_ += len;
    if (tail_len_) {
        while (len && tail_len_ < 8) {
            tail_[tail_len_++] = *p++;
            --len;
        }
        if (tail_len_ < 8) return;
        compress(load_le(tail_));
        tail_len_ = 0;
    }
    while (len >= 8) {
        compress(load_le(p));
        p += 8;
        len -= 8;
    }
    while (len--) tail_[tail_len_++] = *p++;
}

void SipHash13::update_u64(std::uint64_t v) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    update(b, 8);
}

std::uint64_t SipHash13::finish() {
    std::uint64_t b = total_ << 56;
    for (std::size_t i = 0; i < tail_len_; ++i) b |= static_cast<std::uint64_t>(tail_[i]) << (8 * i);
    compress(b);
    v2_ ^= 0xff;
    for (int i = 0; i < 3; ++i) {
        v0_ += v1_;
        v1_ = rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = rotl(v0_, 32);
        v2_ += v3_;
        v3_ = rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = rotl(v2_, 32);
    }
    return v0_ ^ v1_ ^ v2_ ^ v3_;
}

}  // namespace quorvel
