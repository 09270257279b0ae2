// Types: immutable trees shared through intrusive, atomically counted handles.
//
// A type is built once and never changed, so everything derived from it (its
// SHA-256 digest, its Python hash) is memoized on first use. Every walk over a
// tree -- printing, digesting, hashing, comparing, releasing -- uses an explicit
// stack: a type nested a million deep must not touch the C stack in proportion.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "types/digest.hpp"

namespace quorvel {

class Type;

class TypeRef {
public:
    TypeRef() noexcept = default;
    TypeRef(const TypeRef& o) noexcept : p_(o.p_) { retain(); }
    TypeRef(TypeRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    TypeRef& operator=(const TypeRef& o) noexcept {
        TypeRef tmp(o);
        std::swap(p_, tmp.p_);
        return *this;
    }
    TypeRef& operator=(TypeRef&& o) noexcept {
        TypeRef tmp(std::move(o));
        std::swap(p_, tmp.p_);
        return *this;
    }
    ~TypeRef() { release(); }

    const Type* get() const noexcept { return p_; }
    const Type& operator*() const noexcept { return *p_; }
    const Type* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool same(const TypeRef& o) const noexcept { return p_ == o.p_; }

private:
    friend class Type;
    explicit TypeRef(Type* adopt) noexcept : p_(adopt) {}
    inline void retain() const noexcept;
    inline void release() noexcept;
    Type* p_ = nullptr;
};

class Type {
public:
    enum class Kind : std::uint8_t { Variable, Application };

    static TypeRef variable(std::string name);
    static TypeRef application(TypeRef left, TypeRef right);

    Kind kind() const noexcept { return kind_; }
    bool is_variable() const noexcept { return kind_ == Kind::Variable; }
    bool is_application() const noexcept { return kind_ == Kind::Application; }
    const std::string& name() const noexcept { return name_; }  // variables only
    const TypeRef& left() const noexcept { return left_; }      // applications only
    const TypeRef& right() const noexcept { return right_; }

    // SHA-256 of "var:" + name or "app:" + uid(left) + ":" + uid(right).
    const Digest& digest() const {
        return has_digest_ ? digest_ : compute_digest();
    }
    std::string uid() const { return digest_hex(digest()); }

    // The uid of a graph node of this type: SHA-256 of "node:" + uid.
    // Memoized here because a node's uid depends on its type alone.
    const Digest& node_digest() const;

    // A small number a grouping of types (an index of a graph) gave this
    // type, remembered for that grouping only: `epoch` names the grouping.
    // Lets a grouping find the group of a type it has met without hashing
    // its digest again. Zero: none.
    std::uint32_t group_in(std::uint64_t epoch) const noexcept { return group_epoch_ == epoch ? group_ : 0; }
    // An epoch no grouping has had before.
    static std::uint64_t new_grouping() noexcept;
    void set_group(std::uint64_t epoch, std::uint32_t group) const noexcept {
        group_epoch_ = epoch;
        group_ = group;
    }

    // "A", "(A -> B)", ...
    std::string text() const;
    void append_text(std::string& out) const;

    // Hash of the Python object holding this type (Variable / Application).
    std::int64_t py_hash() const;
    // The type hash stream: tag, contents, trailer, recursively.
    void feed_hash_stream(SipHash13& h) const;

    friend bool operator==(const Type& a, const Type& b);

    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;

private:
    friend class TypeRef;
    explicit Type(std::string name) : kind_(Kind::Variable), name_(std::move(name)) {}
    Type(TypeRef l, TypeRef r) : kind_(Kind::Application), left_(std::move(l)), right_(std::move(r)) {}
    ~Type() = default;
    static void destroy(Type* t) noexcept;  // iterative over the children it solely owns
    const Digest& compute_digest() const;

    mutable std::atomic<std::uint64_t> refs_{1};
    Kind kind_;
    mutable bool has_digest_ = false;
    mutable bool has_hash_ = false;
    mutable bool has_node_digest_ = false;
    mutable Digest digest_{};
    mutable Digest node_digest_{};
    mutable std::int64_t hash_ = 0;
    mutable std::uint64_t group_epoch_ = 0;
    mutable std::uint32_t group_ = 0;
    std::string name_;
    TypeRef left_;
    TypeRef right_;
};

inline bool operator==(const TypeRef& a, const TypeRef& b) { return a.same(b) || *a == *b; }

inline void TypeRef::retain() const noexcept {
    if (p_) p_->refs_.fetch_add(1, std::memory_order_relaxed);
}
inline void TypeRef::release() noexcept {
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) Type::destroy(p_);
    p_ = nullptr;
}

}  // namespace quorvel
