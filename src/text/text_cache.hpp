// A bounded cache of what was made from a text (a parsed pattern, a compiled
// condition), so that a text given again is not read again. Least recently
// used entries go first. Values are immutable and shared; they must hold no
// Python objects (the cache outlives every query and is not seen by the
// garbage collector).
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace quorvel::text {

template <class V>
class TextCache {
public:
    explicit TextCache(std::size_t capacity) : capacity_(capacity) {}

    std::shared_ptr<const V> find(std::string_view text) {
        auto it = index_.find(text);
        if (it == index_.end()) return nullptr;
        order_.splice(order_.begin(), order_, it->second);
        return it->second->second;
    }

    void put(std::string_view text, std::shared_ptr<const V> value) {
        if (index_.count(text)) return;
        order_.emplace_front(std::string(text), std::move(value));
        index_.emplace(order_.front().first, order_.begin());
        if (order_.size() > capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
    }

    std::size_t size() const noexcept { return order_.size(); }

private:
    using Entry = std::pair<std::string, std::shared_ptr<const V>>;
    std::size_t capacity_;
    std::list<Entry> order_;                                                           // most recent first
    std::unordered_map<std::string_view, typename std::list<Entry>::iterator> index_;  // views into order_
};

}  // namespace quorvel::text
