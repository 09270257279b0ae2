#include "term/term.hpp"

namespace quorvel {

const Digest& Term::digest() const {
    if (!has_digest_) {
        std::string body;
        body.reserve(name_.size() + 65);
        body += name_;
        body += ':';
        body += type_->uid();
        digest_ = sha256_of("term:", body);
        has_digest_ = true;
    }
    return digest_;
}

const Digest& Term::edge_digest() const {
    if (!has_edge_digest_) {
        char hex[64];
        digest_hex_into(digest(), hex);
        edge_digest_ = sha256_of("edge:", std::string_view(hex, 64));
        has_edge_digest_ = true;
    }
    return edge_digest_;
}

std::int64_t Term::py_hash() const {
    if (!has_hash_) {
        SipHash13 h;
        h.update(name_.data(), name_.size());
        h.update_byte(0xFF);
        type_->feed_hash_stream(h);
        hash_ = to_py_hash(h.finish());
        has_hash_ = true;
    }
    return hash_;
}

}  // namespace quorvel
