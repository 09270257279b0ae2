// Flat type tables: every distinct type once, the parts of an application
// before it, and the application naming its parts by their places in the
// table. Files and pickles hold types this way, so a type nested a million
// deep is a million short entries, written and read back without recursion,
// and a type shared by many nodes is written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "types/type.hpp"

namespace quorvel {

class TypeTable {
public:
    // The index of `t`, adding it and those of its parts not yet present.
    // Equal types share one index.
    std::uint32_t add(const TypeRef& t);
    void reserve(std::size_t types) {
        entries_.reserve(types);
        by_name_.reserve(types);
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool is_application(std::size_t i) const noexcept { return entries_[i].type->is_application(); }
    const std::string& name(std::size_t i) const noexcept { return entries_[i].type->name(); }
    std::uint32_t left(std::size_t i) const noexcept { return entries_[i].left; }
    std::uint32_t right(std::size_t i) const noexcept { return entries_[i].right; }

private:
    struct Entry {
        TypeRef type;  // keeps the names by_name_ points into alive
        std::uint32_t left = 0, right = 0;
    };
    std::uint32_t add_variable(const Type& t, const TypeRef& handle);
    // The index of a type met before (each type object remembers its index
    // for this table) or of a variable (added if new).
    bool find(const TypeRef& t, std::uint32_t& index);

    std::vector<Entry> entries_;
    std::unordered_map<std::string_view, std::uint32_t> by_name_;  // variables
    std::unordered_map<std::uint64_t, std::uint32_t> by_parts_;    // applications: (left, right)
    std::uint64_t grouping_ = Type::new_grouping();
};

// Reading a table back, entry by entry.
class TypeTableReader {
public:
    void add_variable(std::string name) { types_.push_back(Type::variable(std::move(name))); }
    // False when a part does not name an earlier entry.
    bool add_application(std::uint64_t left, std::uint64_t right) {
        if (left >= types_.size() || right >= types_.size()) return false;
        types_.push_back(Type::application(types_[left], types_[right]));
        return true;
    }
    std::size_t size() const noexcept { return types_.size(); }
    const TypeRef& operator[](std::size_t i) const noexcept { return types_[i]; }

private:
    std::vector<TypeRef> types_;
};

}  // namespace quorvel
