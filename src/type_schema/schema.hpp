// Type schemas: small regex-like patterns over types ("$*$", "$Person$",
// "$A -> B$", "$(name:pattern)$").
//
// The language has no syntax errors: every text is a pattern, and what it
// means depends on the text alone. So a schema reads its text once, at
// construction, into a flat matcher tree that gives exactly the answers of
// re-reading the text on every match, while matching itself only walks that
// tree. Both the reading and the matching use explicit stacks: patterns and
// types nested hundreds of thousands deep never touch the C stack in
// proportion.
//
// Reading costs O(n log n) for a text of n bytes (index arrays built once,
// then O(log n) per tree node plus amortized O(1) trimming). Matching costs
// O(number of tree nodes) at most and allocates nothing unless the pattern
// nests arrows on their left side more than a few dozen deep, or captures are
// asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/type.hpp"

namespace quorvel {

// Capture names to the matched sub-types, in order of first insertion.
// Inserting a name that is present replaces its value in place.
class Captures {
public:
    using Entry = std::pair<std::string, TypeRef>;

    void insert(std::string_view name, TypeRef value);
    const TypeRef* find(std::string_view name) const noexcept;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    void clear() noexcept { entries_.clear(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    std::vector<Entry>::const_iterator begin() const noexcept { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const noexcept { return entries_.end(); }

private:
    friend class TypeSchema;
    std::vector<Entry> entries_;
};

TypeRef concrete_type(std::string_view schema_text);

class TypeSchema {
public:
    explicit TypeSchema(std::string pattern);

    // The text given to the constructor, unchanged.
    const std::string& pattern() const noexcept { return pattern_; }

    bool matches_type(const Type& type) const;

    // On a match, `out` holds exactly the captures of this match (its previous
    // contents are dropped); otherwise `out` is left empty.
    bool capture(const TypeRef& type, Captures& out) const;

    // The one type this schema matches, when it matches exactly one (a
    // name, or arrows and groups over names); otherwise null. Lookups by type
    // use it in place of a test of every candidate.
    const TypeRef& exact_type() const noexcept { return exact_; }

    // concrete_type(pattern()), read once.
    const TypeRef& concrete() const {
        if (!has_concrete_) {
            concrete_ = concrete_type(pattern_);
            has_concrete_ = true;
        }
        return concrete_;
    }

    // Size of the matcher tree; a pattern that can never match is one node.
    std::size_t node_count() const noexcept { return nodes_.size(); }

private:
    enum class Op : std::uint8_t {
        Any,        // matches every type
        Never,      // matches no type
        Var,        // a variable named text[begin, begin+len)
        DollarVar,  // a variable named "$" + text[begin, begin+len) + "$"
        Capture,    // sub-tree at the next index, then record the type
        Arrow,      // left sub-tree at the next index, right one at `right`
    };
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;

    struct Node {
        Op op;
        std::uint32_t slot = kNoSlot;  // Capture: output slot if this node's value survives
        std::size_t begin = 0;         // Var, DollarVar: the name; Capture: the capture name
        std::size_t len = 0;
        std::size_t right = 0;  // Arrow: index of the right sub-tree
    };

    class Compiler;
    void assign_capture_slots();
    TypeRef build_exact_type() const;
    bool run(const Type& root, const TypeRef* root_ref, Captures::Entry* slots) const;

    std::string pattern_;
    std::vector<Node> nodes_;  // pre-order
    // Per output slot, the capture name as an offset range into pattern_, in
    // the order the names are first inserted.
    std::vector<std::pair<std::size_t, std::size_t>> slot_names_;
    TypeRef exact_;
    mutable TypeRef concrete_;
    mutable bool has_concrete_ = false;
};

// The one type a schema text denotes when it is written in ordinary type
// syntax: names, `->` grouping to the right, parentheses, optionally between
// dollars (`$A -> (B -> C)$`, `(A -> B) -> C`); no `*`, no capture group.
// Otherwise null. Used to create what a pattern names, so parentheses group
// here as they do in printed types. Iterative: nesting depth costs heap, not
// stack.
TypeRef concrete_type(std::string_view schema_text);

namespace reference {

// The matcher as a direct reading of the pattern text on every call:
// recursive, building each sub-pattern as a new string. Used by tests and
// fuzzers as the oracle the compiled schema must agree with. Adds to
// `captures` as it goes, even on the way to a failure.
bool reference_matches(std::string_view text, const TypeRef& type, Captures& captures);

}  // namespace reference

}  // namespace quorvel
