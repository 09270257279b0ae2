#include "persist/type_table.hpp"

namespace quorvel {

std::uint32_t TypeTable::add(const TypeRef& root) {
    if (auto it = by_pointer_.find(root.get()); it != by_pointer_.end()) return it->second;
    // Post-order over the parts not yet in the table.
    std::vector<const TypeRef*> stack{&root};
    while (!stack.empty()) {
        const TypeRef& t = *stack.back();
        if (by_pointer_.count(t.get())) {
            stack.pop_back();
            continue;
        }
        std::uint32_t index;
        if (t->is_variable()) {
            auto [it, added] = by_name_.try_emplace(t->name(), static_cast<std::uint32_t>(entries_.size()));
            if (added) entries_.push_back({t, 0, 0});
            index = it->second;
        } else {
            auto l = by_pointer_.find(t->left().get());
            auto r = by_pointer_.find(t->right().get());
            if (l == by_pointer_.end() || r == by_pointer_.end()) {
                if (r == by_pointer_.end()) stack.push_back(&t->right());
                if (l == by_pointer_.end()) stack.push_back(&t->left());
                continue;
            }
            const std::uint64_t parts = (std::uint64_t{l->second} << 32) | r->second;
            auto [it, added] = by_parts_.try_emplace(parts, static_cast<std::uint32_t>(entries_.size()));
            if (added) entries_.push_back({t, l->second, r->second});
            index = it->second;
        }
        by_pointer_.emplace(t.get(), index);
        seen_.push_back(t);
        stack.pop_back();
    }
    return by_pointer_.at(root.get());
}

}  // namespace quorvel
