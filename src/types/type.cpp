#include "types/type.hpp"

#include <vector>

namespace quorvel {

std::uint64_t Type::new_grouping() noexcept {
    static std::uint64_t epochs = 0;
    return ++epochs;
}

TypeRef Type::variable(std::string name) { return TypeRef(new Type(std::move(name))); }

TypeRef Type::application(TypeRef left, TypeRef right) {
    return TypeRef(new Type(std::move(left), std::move(right)));
}

void Type::destroy(Type* t) noexcept {
    // Children whose last reference is held by a dying parent are collected
    // here instead of being released from inside the parent's destructor.
    std::vector<Type*> dying{t};
    while (!dying.empty()) {
        Type* cur = dying.back();
        dying.pop_back();
        for (TypeRef* child : {&cur->left_, &cur->right_}) {
            Type* c = std::exchange(child->p_, nullptr);
            if (c && c->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) dying.push_back(c);
        }
        delete cur;
    }
}

const Digest& Type::node_digest() const {
    if (!has_node_digest_) {
        char hex[64];
        digest_hex_into(digest(), hex);
        node_digest_ = sha256_of("node:", std::string_view(hex, 64));
        has_node_digest_ = true;
    }
    return node_digest_;
}

const Digest& Type::compute_digest() const {
    if (is_variable()) {
        digest_ = sha256_of("var:", name_);
        has_digest_ = true;
        return digest_;
    }
    // Post-order walk: a node is digested once both children are.
    std::vector<const Type*> stack{this};
    char buf[4 + 64 + 1 + 64];
    while (!stack.empty()) {
        const Type* t = stack.back();
        if (t->has_digest_) {
            stack.pop_back();
            continue;
        }
        if (t->is_variable()) {
            t->digest_ = sha256_of("var:", t->name_);
        } else {
            const Type* l = t->left_.get();
            const Type* r = t->right_.get();
            if (!l->has_digest_ || !r->has_digest_) {
                if (!r->has_digest_) stack.push_back(r);
                if (!l->has_digest_) stack.push_back(l);
                continue;
            }
            std::memcpy(buf, "app:", 4);
            digest_hex_into(l->digest_, buf + 4);
            buf[68] = ':';
            digest_hex_into(r->digest_, buf + 69);
            t->digest_ = sha256_of({}, std::string_view(buf, sizeof buf));
        }
        t->has_digest_ = true;
        stack.pop_back();
    }
    return digest_;
}

void Type::append_text(std::string& out) const {
    // Frames are either a type to print or a literal piece of punctuation.
    struct Frame {
        const Type* type;
        const char* literal;
    };
    std::vector<Frame> stack{{this, nullptr}};
    while (!stack.empty()) {
        Frame f = stack.back();
        stack.pop_back();
        if (f.literal) {
            out += f.literal;
        } else if (f.type->is_variable()) {
            out += f.type->name_;
        } else {
            out += '(';
            stack.push_back({nullptr, ")"});
            stack.push_back({f.type->right_.get(), nullptr});
            stack.push_back({nullptr, " -> "});
            stack.push_back({f.type->left_.get(), nullptr});
        }
    }
}

std::string Type::text() const {
    std::string s;
    append_text(s);
    return s;
}

void Type::feed_hash_stream(SipHash13& h) const {
    // nullptr marks "write the 8-byte trailer of an application".
    std::vector<const Type*> stack{this};
    while (!stack.empty()) {
        const Type* t = stack.back();
        stack.pop_back();
        if (!t) {
            h.update_u64(0);
        } else if (t->is_variable()) {
            h.update_u64(0);
            h.update(t->name_.data(), t->name_.size());
            h.update_byte(0xFF);
            h.update_u64(0);
        } else {
            h.update_u64(1);
            stack.push_back(nullptr);
            stack.push_back(t->right_.get());
            stack.push_back(t->left_.get());
        }
    }
}

std::int64_t Type::py_hash() const {
    if (has_hash_) return hash_;
    SipHash13 h;
    if (is_variable()) {
        h.update(name_.data(), name_.size());
        h.update_byte(0xFF);
    } else {
        left_->feed_hash_stream(h);
        right_->feed_hash_stream(h);
    }
    hash_ = to_py_hash(h.finish());
    has_hash_ = true;
    return hash_;
}

bool operator==(const Type& a, const Type& b) {
    std::vector<std::pair<const Type*, const Type*>> stack{{&a, &b}};
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x == y) continue;
        if (x->kind_ != y->kind_) return false;
        // Memoized digests settle the question without a walk when they differ.
        if (x->has_digest_ && y->has_digest_ && x->digest_ != y->digest_) return false;
        if (x->is_variable()) {
            if (x->name_ != y->name_) return false;
            continue;
        }
        stack.emplace_back(x->right_.get(), y->right_.get());
        stack.emplace_back(x->left_.get(), y->left_.get());
    }
    return true;
}

}  // namespace quorvel
