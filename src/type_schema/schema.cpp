#include "type_schema/schema.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "text/utf8.hpp"

// Why a compiled tree can be exact: every sub-pattern the matcher ever looks
// at is "$" + X + "$" where X is a trimmed slice of the original text, so the
// tree records slices (offset ranges) and the "$" wrapping is implied. Slicing
// at ASCII characters ('$', '(', ')', ':', "->") and scanning bytes instead of
// code points is safe because the decoder never lets an ASCII byte take part
// in a multi-byte sequence, valid or not.
//
// There is no alternation: a match has to succeed at every node of the tree.
// Hence a single Never node anywhere makes the whole schema Never, and on a
// match the sequence of capture insertions is fixed by the tree alone, so the
// surviving insertion for each name is known before any type is seen.

namespace quorvel {

void Captures::insert(std::string_view name, TypeRef value) {
    for (Entry& e : entries_) {
        if (e.first == name) {
            e.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::string(name), std::move(value));
}

const TypeRef* Captures::find(std::string_view name) const noexcept {
    for (const Entry& e : entries_)
        if (e.first == name) return &e.second;
    return nullptr;
}

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Positions of the characters the forms look for, so that "does this slice
// contain X" and "where is the split arrow" cost a binary search instead of a
// rescan of the slice at every nesting level.
class TextIndex {
public:
    explicit TextIndex(std::string_view s) : depth_(s.size() + 1) {
        std::int64_t d = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            depth_[i] = d;
            char c = s[i];
            if (c == '(') {
                ++d;
                colon_or_open_.push_back(i);
            } else if (c == ')') {
                --d;
            } else if (c == ':') {
                colons_.push_back(i);
                colon_or_open_.push_back(i);
            } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '>') {
                arrows_.push_back(i);
                arrows_by_depth_.push_back({d, i});
            }
        }
        depth_[s.size()] = d;
        std::sort(arrows_by_depth_.begin(), arrows_by_depth_.end());
    }

    bool has_arrow(std::size_t b, std::size_t e) const noexcept {
        auto it = std::lower_bound(arrows_.begin(), arrows_.end(), b);
        return it != arrows_.end() && *it + 2 <= e;
    }
    bool has_colon_or_open(std::size_t b, std::size_t e) const noexcept {
        auto it = std::lower_bound(colon_or_open_.begin(), colon_or_open_.end(), b);
        return it != colon_or_open_.end() && *it < e;
    }
    std::size_t first_colon(std::size_t b, std::size_t e) const noexcept {
        auto it = std::lower_bound(colons_.begin(), colons_.end(), b);
        return it != colons_.end() && *it < e ? *it : npos;
    }
    // First arrow in [b, e) where the parenthesis counter started at b reads
    // 0; the counter may have gone negative on the way.
    std::size_t split_arrow(std::size_t b, std::size_t e) const noexcept {
        std::pair<std::int64_t, std::size_t> key{depth_[b], b};
        auto it = std::lower_bound(arrows_by_depth_.begin(), arrows_by_depth_.end(), key);
        if (it == arrows_by_depth_.end() || it->first != key.first || it->second + 2 > e) return npos;
        return it->second;
    }

private:
    std::vector<std::int64_t> depth_;  // depth_[i]: '(' minus ')' in s[0, i)
    std::vector<std::size_t> arrows_, colons_, colon_or_open_;
    std::vector<std::pair<std::int64_t, std::size_t>> arrows_by_depth_;
};

}  // namespace

class TypeSchema::Compiler {
public:
    explicit Compiler(TypeSchema& schema) : s_(schema.pattern_), nodes_(schema.nodes_), index_(s_) {}

    // Returns false when the pattern can never match.
    bool compile() {
        auto [b, e] = trimmed(0, s_.size());
        std::size_t n = e - b;
        if (n == 1 && s_[b] == '$') return false;  // nothing between the dollars
        if (n >= 2 && s_[b] == '$' && s_[e - 1] == '$') {
            push_wrapped(b + 1, e - 1);
        } else if (!index_.has_arrow(b, e)) {
            emit(Op::Var, b, e);  // only a dollar text can be a wildcard, group or dollar variable
        } else if (!arrow(b, e)) {
            return false;
        }
        while (!work_.empty()) {
            Work w = work_.back();
            work_.pop_back();
            if (w.right_of != npos) nodes_[w.right_of].right = nodes_.size();
            if (!wrapped(w.b, w.e)) return false;
        }
        return true;
    }

private:
    struct Work {
        std::size_t b, e;         // the slice X of a sub-pattern "$" + X + "$"
        std::size_t right_of;     // Arrow node whose right side starts here, or npos
    };

    std::pair<std::size_t, std::size_t> trimmed(std::size_t b, std::size_t e) const noexcept {
        std::string_view t = text::trim(std::string_view(s_).substr(b, e - b));
        std::size_t tb = static_cast<std::size_t>(t.data() - s_.data());
        return {tb, tb + t.size()};
    }

    void emit(Op op, std::size_t b, std::size_t e) { nodes_.push_back(Node{op, kNoSlot, b, e - b, 0}); }
    void push_wrapped(std::size_t b, std::size_t e, std::size_t right_of = npos) {
        work_.push_back(Work{b, e, right_of});
    }

    // Sub-pattern "$" + X + "$" with X = s_[b, e). Its outer dollars already
    // decide form 1 and 2 and turn form 3 into "X is parenthesised".
    bool wrapped(std::size_t b, std::size_t e) {
        if (e - b == 1 && s_[b] == '*') {
            emit(Op::Any, b, e);
            return true;
        }
        bool group = e - b >= 2 && s_[b] == '(' && s_[e - 1] == ')';
        if (!index_.has_arrow(b, e)) {
            if (!index_.has_colon_or_open(b, e)) {
                emit(Op::Var, b, e);
                return true;
            }
            if (!group) {
                emit(Op::DollarVar, b, e);
                return true;
            }
        }
        return group ? capture(b + 1, e - 1) : arrow(b, e);
    }

    bool capture(std::size_t b, std::size_t e) {
        std::size_t colon = index_.first_colon(b, e);
        if (colon == npos) return false;
        auto [nb, ne] = trimmed(b, colon);
        auto [sb, se] = trimmed(colon + 1, e);
        emit(Op::Capture, nb, ne);
        push_wrapped(sb, se);
        return true;
    }

    // A text containing "->", its dollars (if any) already dropped.
    bool arrow(std::size_t b, std::size_t e) {
        if (e > b && s_[b] == '(' && s_[e - 1] == ')') ++b, --e;
        std::size_t at = index_.split_arrow(b, e);
        if (at == npos) return false;
        auto [lb, le] = trimmed(b, at);
        auto [rb, re] = trimmed(at + 2, e);
        std::size_t node = nodes_.size();
        emit(Op::Arrow, b, b);
        push_wrapped(rb, re, node);  // the left side is emitted first: pre-order
        push_wrapped(lb, le);
        return true;
    }

    const std::string& s_;
    std::vector<Node>& nodes_;
    TextIndex index_;
    std::vector<Work> work_;
};

TypeSchema::TypeSchema(std::string pattern) : pattern_(std::move(pattern)) {
    if (!Compiler(*this).compile()) {
        nodes_.assign(1, Node{Op::Never});
        return;
    }
    assign_capture_slots();
    exact_ = build_exact_type();
}

void TypeSchema::assign_capture_slots() {
    // Walk the tree in insertion order (a group's sub-tree, then the group;
    // an arrow's left, then its right). Each name gets a slot at its first
    // insertion; only its last insertion writes to it.
    std::unordered_map<std::string_view, std::uint32_t> slot_of;
    std::vector<std::size_t> last_writer;
    std::vector<std::pair<std::size_t, bool>> stack{{0, false}};
    std::string_view s(pattern_);
    while (!stack.empty()) {
        auto [i, children_done] = stack.back();
        stack.pop_back();
        const Node& n = nodes_[i];
        if (n.op == Op::Capture) {
            if (!children_done) {
                stack.push_back({i, true});
                stack.push_back({i + 1, false});
                continue;
            }
            auto [it, fresh] = slot_of.try_emplace(s.substr(n.begin, n.len), static_cast<std::uint32_t>(last_writer.size()));
            if (fresh) {
                last_writer.push_back(i);
                slot_names_.push_back({n.begin, n.len});
            } else {
                last_writer[it->second] = i;
            }
        } else if (n.op == Op::Arrow) {
            stack.push_back({n.right, false});
            stack.push_back({i + 1, false});
        }
    }
    for (std::uint32_t slot = 0; slot < last_writer.size(); ++slot) nodes_[last_writer[slot]].slot = slot;
}

namespace {

// Pending right-hand sides of arrows. The inline part covers every pattern of
// ordinary shape, so matching does not allocate.
struct Pending {
    std::size_t node;
    const TypeRef* ref;
};

class PendingStack {
public:
    void push(Pending p) {
        if (size_ < kInline)
            inline_[size_] = p;
        else
            spill_.push_back(p);
        ++size_;
    }
    bool empty() const noexcept { return size_ == 0; }
    Pending pop() noexcept {
        --size_;
        if (size_ < kInline) return inline_[size_];
        Pending p = spill_.back();
        spill_.pop_back();
        return p;
    }

private:
    static constexpr std::size_t kInline = 32;
    Pending inline_[kInline];
    std::vector<Pending> spill_;
    std::size_t size_ = 0;
};

}  // namespace

// `root_ref` may be null when no slots are given: only capture nodes need the
// handle, and every type below the root is reached through a handle anyway.
bool TypeSchema::run(const Type& root, const TypeRef* root_ref, Captures::Entry* slots) const {
    const std::string& s = pattern_;
    PendingStack pending;
    const Type* t = &root;
    const TypeRef* ref = root_ref;
    std::size_t i = 0;
    for (;;) {
        const Node& n = nodes_[i];
        switch (n.op) {
            case Op::Any:
                break;
            case Op::Never:
                return false;
            case Op::Var:
                if (!t->is_variable() || t->name().compare(0, npos, s, n.begin, n.len) != 0) return false;
                break;
            case Op::DollarVar: {
                if (!t->is_variable()) return false;
                const std::string& name = t->name();
                if (name.size() != n.len + 2 || name.front() != '$' || name.back() != '$' ||
                    name.compare(1, n.len, s, n.begin, n.len) != 0)
                    return false;
                break;
            }
            case Op::Capture:
                if (slots && n.slot != kNoSlot) slots[n.slot].second = *ref;
                ++i;
                continue;
            case Op::Arrow:
                if (!t->is_application()) return false;
                pending.push({n.right, &t->right()});
                ref = &t->left();
                t = ref->get();
                ++i;
                continue;
        }
        if (pending.empty()) return true;
        Pending p = pending.pop();
        i = p.node;
        ref = p.ref;
        t = ref->get();
    }
}

bool TypeSchema::matches_type(const Type& type) const { return run(type, nullptr, nullptr); }

TypeRef TypeSchema::build_exact_type() const {
    // Children come after their parent in pre-order, so a backward pass sees
    // them first.
    std::vector<TypeRef> built(nodes_.size());
    for (std::size_t i = nodes_.size(); i-- > 0;) {
        const Node& n = nodes_[i];
        switch (n.op) {
            case Op::Any:
            case Op::Never:
                return TypeRef();
            case Op::Var:
                built[i] = Type::variable(pattern_.substr(n.begin, n.len));
                break;
            case Op::DollarVar:
                built[i] = Type::variable("$" + pattern_.substr(n.begin, n.len) + "$");
                break;
            case Op::Capture:
                built[i] = std::move(built[i + 1]);
                break;
            case Op::Arrow:
                built[i] = Type::application(std::move(built[i + 1]), std::move(built[n.right]));
                break;
        }
    }
    return built.empty() ? TypeRef() : std::move(built[0]);
}

bool TypeSchema::capture(const TypeRef& type, Captures& out) const {
    out.clear();
    if (!type) return false;
    out.entries_.reserve(slot_names_.size());
    for (auto [b, len] : slot_names_) out.entries_.emplace_back(pattern_.substr(b, len), TypeRef());
    if (run(*type, &type, out.entries_.data())) return true;
    out.clear();
    return false;
}

namespace reference {

bool reference_matches(std::string_view text, const TypeRef& type, Captures& captures) {
    std::string_view p = text::trim(text);
    if (p == "$*$") return true;
    bool dollars = !p.empty() && p.front() == '$' && p.back() == '$';
    bool has_arrow = p.find("->") != npos;
    if (dollars && !has_arrow && p.find(':') == npos && p.find('(') == npos) {
        if (p.size() < 2) return false;  // a lone "$"
        return type->is_variable() && type->name() == p.substr(1, p.size() - 2);
    }
    if (p.starts_with("$(") && p.ends_with(")$")) {
        std::string_view c = p.substr(2, p.size() - 4);
        std::size_t colon = c.find(':');
        if (colon == npos) return false;
        std::string_view name = text::trim(c.substr(0, colon));
        std::string sub = "$" + std::string(text::trim(c.substr(colon + 1))) + "$";
        if (!reference_matches(sub, type, captures)) return false;
        captures.insert(name, type);
        return true;
    }
    if (!has_arrow) return type->is_variable() && type->name() == p;

    std::string_view r = p;
    if (dollars) r = r.substr(1, r.size() - 2);
    if (!r.empty() && r.front() == '(' && r.back() == ')') r = r.substr(1, r.size() - 2);
    std::size_t at = npos;
    long depth = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r[i] == '(') {
            ++depth;
        } else if (r[i] == ')') {
            --depth;
        } else if (r[i] == '-' && i + 1 < r.size() && r[i + 1] == '>' && depth == 0) {
            at = i;
            break;
        }
    }
    if (at == npos || type->is_variable()) return false;
    std::string left = "$" + std::string(text::trim(r.substr(0, at))) + "$";
    std::string right = "$" + std::string(text::trim(r.substr(at + 2))) + "$";
    return reference_matches(left, type->left(), captures) && reference_matches(right, type->right(), captures);
}

}  // namespace reference

}  // namespace quorvel
