#include "persist/type_table.hpp"

namespace quorvel {

std::uint32_t TypeTable::add_variable(const Type& t, const TypeRef& handle) {
    auto [it, added] = by_name_.try_emplace(t.name(), static_cast<std::uint32_t>(entries_.size()));
    if (added) entries_.push_back({handle, 0, 0});
    return it->second;
}

bool TypeTable::find(const TypeRef& t, std::uint32_t& index) {
    if (const std::uint32_t seen = t->group_in(grouping_)) {
        index = seen - 1;
        return true;
    }
    if (!t->is_variable()) return false;
    index = add_variable(*t, t);
    t->set_group(grouping_, index + 1);
    return true;
}

std::uint32_t TypeTable::add(const TypeRef& root) {
    std::uint32_t index;
    if (find(root, index)) return index;
    // Post-order over the applications not yet in the table (variables are
    // found at once). A part shared within the type may be stacked twice;
    // the second time it is found.
    std::vector<const TypeRef*> stack{&root};
    while (!stack.empty()) {
        const TypeRef& t = *stack.back();
        if (find(t, index)) {
            stack.pop_back();
            continue;
        }
        std::uint32_t left, right;
        const bool have_left = find(t->left(), left), have_right = find(t->right(), right);
        if (!have_left || !have_right) {
            if (!have_right) stack.push_back(&t->right());
            if (!have_left) stack.push_back(&t->left());
            continue;
        }
        const std::uint64_t parts = (std::uint64_t{left} << 32) | right;
        auto [it, added] = by_parts_.try_emplace(parts, static_cast<std::uint32_t>(entries_.size()));
        if (added) entries_.push_back({t, left, right});
        index = it->second;
        t->set_group(grouping_, index + 1);
        stack.pop_back();
    }
    return index;
}

}  // namespace quorvel
