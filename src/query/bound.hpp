// Bound values: what a variable holds in one row.
//
// A bound node or edge is the stored value as it was when it was bound: its
// type or term and its properties dict at that moment (a later
// `node.properties = {...}` on the stored object does not change what was
// bound). Rather than copying the value, a binding refers to the Python
// object that holds it -- a Node, or the Edge whose own start or end node it
// is -- plus the dict, three machine words in all. Types, terms and end nodes
// of stored objects never change, so reading them through the holder gives
// what a copy would have held.
//
// A value column may also hold a plain Python object (a projected or
// aggregated value), and any column may have holes: rows in which the
// variable has no value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/pyclass.hpp"
#include "binding/ref.hpp"
#include "graph/py_graph.hpp"

namespace quorvel {

class Bound {
public:
    enum class Kind : std::uint8_t { Hole, Node, Edge, EdgeStart, EdgeEnd, EdgeList, Value };

    Bound() = default;
    Bound(const Bound& o) : holder_(o.holder_.clone()), props_(o.props_.clone()), kind_(o.kind_) {}
    Bound(Bound&&) noexcept = default;
    Bound& operator=(const Bound& o) {
        Bound tmp(o);
        *this = std::move(tmp);
        return *this;
    }
    Bound& operator=(Bound&&) noexcept = default;

    // A stored Node object; an Edge object; one end of an Edge object; any
    // Python object. `props` is the dict the value has now.
    static Bound node(PyObject* node, PyObject* props) { return Bound(node, props, Kind::Node); }
    static Bound edge(PyObject* edge, PyObject* props) { return Bound(edge, props, Kind::Edge); }
    static Bound edge_end(PyObject* edge, bool start, PyObject* props) {
        return Bound(edge, props, start ? Kind::EdgeStart : Kind::EdgeEnd);
    }
    // The edges of a variable-length step: a tuple of stored Edge objects.
    static Bound edge_list(py::Ref tuple) {
        Bound b;
        b.holder_ = std::move(tuple);
        b.kind_ = Kind::EdgeList;
        return b;
    }
    static Bound value(py::Ref v) {
        Bound b;
        b.holder_ = std::move(v);
        b.kind_ = Kind::Value;
        return b;
    }
    Kind kind() const noexcept { return kind_; }
    bool hole() const noexcept { return kind_ == Kind::Hole; }
    bool is_node() const noexcept {
        return kind_ == Kind::Node || kind_ == Kind::EdgeStart || kind_ == Kind::EdgeEnd;
    }
    bool is_edge() const noexcept { return kind_ == Kind::Edge; }
    bool is_element() const noexcept { return is_node() || is_edge(); }
    // A plain value: a Python object, or a list of edges.
    bool is_value() const noexcept { return kind_ == Kind::Value || kind_ == Kind::EdgeList; }

    // The node value's type (is_node()), the edge value (is_edge()).
    const TypeRef& type() const noexcept {
        switch (kind_) {
            case Kind::EdgeStart:
                return py::value_of<EdgeValue>(holder_.get()).start.type;
            case Kind::EdgeEnd:
                return py::value_of<EdgeValue>(holder_.get()).end.type;
            default:
                return py::value_of<NodeValue>(holder_.get()).type;
        }
    }
    const EdgeValue& edge_value() const noexcept { return py::value_of<EdgeValue>(holder_.get()); }
    PyObject* properties() const noexcept { return props_.get(); }
    PyObject* object() const noexcept { return holder_.get(); }  // Value: the object itself

    // The element's uid digest (node uid from its type, edge uid from its
    // term): equal digests mean the same graph element.
    const Digest& digest() const {
        return is_edge() ? edge_value().term->edge_digest() : type()->node_digest();
    }
    bool same_element(const Bound& o) const { return is_edge() == o.is_edge() && digest() == o.digest(); }

    // A copy of the bound value, sharing its dict.
    NodeValue node_value() const { return NodeValue(type(), props_.clone()); }
    EdgeValue edge_copy() const {
        const EdgeValue& e = edge_value();
        return EdgeValue(e.term, e.start, e.end, props_.clone());
    }

    // What a row shows: a new Node or Edge object (sharing the dict), or the
    // value itself.
    py::Ref to_python() const;

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(holder_);
        QV_VISIT(props_);
        return 0;
    }

private:
    Bound(PyObject* h, PyObject* p, Kind k)
        : holder_(py::Ref::borrow(h)), props_(py::Ref::borrow(p)), kind_(k) {}

    py::Ref holder_;
    py::Ref props_;
    Kind kind_ = Kind::Hole;
};

using Column = std::vector<Bound>;

// The bindings of a query: one column per variable, aligned by position (row
// i holds the i-th value of every column that has one). Trailing holes are
// always trimmed, so the longest column is the number of rows.
//
// A counted column has rows but no values: a match whose values nothing can
// read (see plan.hpp) records only how many rows it found. A later run sees
// the count where the values would be, and binds the variable again before
// anything reads it.
class Table {
public:
    const Column* find(const std::string& name) const {
        auto it = columns_.find(name);
        return it == columns_.end() ? nullptr : &it->second;
    }
    bool has(const std::string& name) const { return columns_.count(name) || counted_.count(name); }
    bool empty() const noexcept { return columns_.empty() && counted_.empty(); }

    // Replaces the variable's column (and any count of it).
    void bind(const std::string& name, Column values) {
        counted_.erase(name);
        columns_[name] = std::move(values);
    }
    void bind_counted(const std::string& name, std::size_t rows) {
        columns_.erase(name);
        counted_[name] = rows;
    }
    // The column to append to, made empty when the variable is unbound.
    Column& append_to(const std::string& name) {
        counted_.erase(name);
        return columns_[name];
    }

    // The number of rows of every column but the named ones.
    template <class Names>
    std::size_t rows_except(const Names& names) const {
        auto named = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
        std::size_t n = 0;
        for (const auto& [name, c] : columns_)
            if (!named(name)) n = std::max(n, c.size());
        for (const auto& [name, c] : counted_)
            if (!named(name)) n = std::max(n, c);
        return n;
    }

    // The number of rows: the longest column.
    std::size_t rows() const noexcept {
        std::size_t n = 0;
        for (const auto& [name, c] : columns_) n = std::max(n, c.size());
        for (const auto& [name, c] : counted_) n = std::max(n, c);
        return n;
    }

    // Rebuilds every column from the listed rows, in that order. The new
    // columns are made first (a long rebuild checks for signals, and may
    // stop with the table as it was), then put in place at once. Returns
    // false with KeyboardInterrupt (or another signal's error) set.
    bool keep_rows(const std::vector<std::size_t>& rows) {
        std::vector<Column> next;
        next.reserve(columns_.size());
        std::size_t steps = 0;
        for (auto& [name, list] : columns_) {
            Column& c = next.emplace_back();
            c.reserve(rows.size());
            for (std::size_t r : rows) {
                if ((++steps & 0xFFF) == 0 && PyErr_CheckSignals() < 0) return false;
                c.push_back(r < list.size() ? list[r] : Bound());
            }
            while (!c.empty() && c.back().hole()) c.pop_back();
        }
        std::size_t i = 0;
        for (auto& [name, list] : columns_) list.swap(next[i++]);
        for (auto& [name, count] : counted_) {
            std::size_t last = 0;
            for (std::size_t j = 0; j < rows.size(); ++j)
                if (rows[j] < count) last = j + 1;
            count = last;
        }
        return true;  // the old columns go with `next`
    }
    // The first `n` rows only.
    void keep_prefix(std::size_t n) {
        for (auto& [name, list] : columns_) {
            if (list.size() <= n) continue;
            list.resize(n);
            while (!list.empty() && list.back().hole()) list.pop_back();
        }
        for (auto& [name, count] : counted_) count = std::min(count, n);
    }
    // Only the named variables.
    template <class Names>
    void keep_only(const Names& names) {
        auto named = [&](const std::string& n) {
            return std::find(names.begin(), names.end(), n) != names.end();
        };
        std::erase_if(columns_, [&](const auto& kv) { return !named(kv.first); });
        std::erase_if(counted_, [&](const auto& kv) { return !named(kv.first); });
    }
    const std::unordered_map<std::string, Column>& columns() const noexcept { return columns_; }

    int traverse(visitproc visit, void* arg) const {
        for (const auto& [name, list] : columns_)
            for (const Bound& b : list)
                if (int r = b.traverse(visit, arg)) return r;
        return 0;
    }

private:
    std::unordered_map<std::string, Column> columns_;
    std::unordered_map<std::string, std::size_t> counted_;
};

}  // namespace quorvel
