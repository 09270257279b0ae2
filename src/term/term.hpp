// A term: a name inhabiting a type. Immutable once built; Python's name setter
// replaces the whole value.
#pragma once

#include <memory>
#include <string>

#include "types/type.hpp"

namespace quorvel {

class Term {
public:
    Term(std::string name, TypeRef type) : name_(std::move(name)), type_(std::move(type)) {}

    const std::string& name() const noexcept { return name_; }
    const TypeRef& type() const noexcept { return type_; }

    // SHA-256 of "term:" + name + ":" + uid(type); memoized.
    const Digest& digest() const;
    std::string uid() const { return digest_hex(digest()); }

    // The uid of a graph edge carrying this term: SHA-256 of "edge:" + uid.
    const Digest& edge_digest() const;

    // SipHash-1-3 over name, 0xFF, the type hash stream; memoized.
    std::int64_t py_hash() const;

    friend bool operator==(const Term& a, const Term& b) {
        return a.name_ == b.name_ && a.type_ == b.type_;
    }

private:
    std::string name_;
    TypeRef type_;
    mutable bool has_digest_ = false;
    mutable bool has_hash_ = false;
    mutable bool has_edge_digest_ = false;
    mutable Digest digest_{};
    mutable Digest edge_digest_{};
    mutable std::int64_t hash_ = 0;
};

using TermRef = std::shared_ptr<const Term>;

}  // namespace quorvel
