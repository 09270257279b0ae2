// Indexes over a graph's two dicts, kept between calls.
//
// An index answers "which entries have a node of type T" (nodes) or "which
// edges leave / arrive at a node of type T" (edges) without walking the
// dict. It may stand in for a walk only where the walk could not tell the
// difference, so it is consulted only when
// - the dict is in the very state the index describes (CPython gives every
//   state of a dict a process-unique version);
// - no Node or Edge object is exclusively borrowed anywhere (a walk would
//   fail on such a value), which a global count makes an O(1) check;
// - every value is an exact Node (Edge) object, and for nodes every key a str
//   (a walk raises on anything else; such a state is simply not indexed).
//
// The index holds no Python references at all: an entry is found again by
// its position in the dict's entry table (the `pos` argument of
// PyDict_Next), which an unchanged dict keeps. So the index is invisible to
// the garbage collector, can form no reference cycle, and releasing or
// rebuilding it runs no Python code. Building reads only immutable values
// (types and their memoized digests) and allocates no Python objects, so
// nothing can re-enter while it is built.
//
// Where dict versions are not available (CPython 3.12 and later deprecate
// them) no index is used and every lookup walks the dict.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "binding/ref.hpp"
#include "types/digest.hpp"
#include "types/type.hpp"

#if PY_VERSION_HEX < 0x030C0000
#define QV_DICT_VERSIONS 1
#else
#define QV_DICT_VERSIONS 0
#endif

namespace quorvel {

// Exclusive borrows of Node and Edge objects currently held (the properties
// setter takes one). While any is held, walks are made afresh.
std::size_t& exclusive_element_borrows() noexcept;

// Type digest -> a small dense group id, shared by a dict's groupings.
class TypeGroups {
public:
    // The id of `d`, or kNone when no entry has that type.
    std::uint32_t find(const Digest& d) const {
        auto it = ids_.find(d);
        return it == ids_.end() ? kNone : it->second;
    }
    std::uint32_t intern(const Digest& d) {
        auto [it, added] = ids_.try_emplace(d, static_cast<std::uint32_t>(ids_.size()));
        (void)added;
        return it->second;
    }
    // The group of a type, the digest hashed only the first time this
    // grouping meets that very type object.
    std::uint32_t intern(const Type& t) {
        if (std::uint32_t seen = t.group_in(epoch_)) return seen - 1;
        const std::uint32_t gid = intern(t.digest());
        t.set_group(epoch_, gid + 1);
        return gid;
    }
    std::size_t size() const noexcept { return ids_.size(); }

    static constexpr std::uint32_t kNone = UINT32_MAX;

private:
    std::unordered_map<Digest, std::uint32_t, DigestHash> ids_;
    std::uint64_t epoch_ = Type::new_grouping();
};

// Entry ordinals (positions in dict order) grouped by type id.
struct Groups {
    std::vector<std::vector<std::uint32_t>> lists;

    const std::vector<std::uint32_t>* find(std::uint32_t gid) const {
        return gid < lists.size() ? &lists[gid] : nullptr;
    }
    void add(std::uint32_t gid, std::uint32_t ordinal) {
        if (gid >= lists.size()) lists.resize(gid + 1);
        lists[gid].push_back(ordinal);
    }
};

struct DictIndex {
    std::uint64_t version = 0;    // the dict state described
    bool exact_keys = false;      // every key an exact str
    std::vector<Py_ssize_t> pos;  // ordinal -> position in the dict
    Py_ssize_t end = 0;           // position after the last entry

    std::size_t size() const noexcept { return pos.size(); }
};

struct NodeIndex : DictIndex {
    TypeGroups types;
    Groups by_type;
};

// A run of ordinals, in dict order.
struct OrdinalSpan {
    const std::uint32_t* first = nullptr;
    const std::uint32_t* last = nullptr;
    OrdinalSpan() = default;
    OrdinalSpan(const std::uint32_t* f, const std::uint32_t* l) : first(f), last(l) {}
    explicit OrdinalSpan(const std::vector<std::uint32_t>* v) {
        if (v) first = v->data(), last = v->data() + v->size();
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(last - first); }
};

struct EdgeIndex : DictIndex {
    TypeGroups types;                      // start and end node types
    std::vector<std::uint32_t> start_gid;  // per ordinal
    std::vector<std::uint32_t> end_gid;
    Groups by_start;
    Groups by_end;

    // The edges from nodes of group `start` to nodes of group `end`, in dict
    // order. The grouping by pair is made on first use; it runs no Python
    // code, so no one can see it half made.
    OrdinalSpan between(std::uint32_t start, std::uint32_t end) const;
    // An edge was added in place: the pair grouping is made again on next use.
    void forget_pairs() noexcept {
        pair_offsets_.clear();
        pair_ends_.clear();
        pair_ordinals_.clear();
    }

private:
    // Per start group, its edges sorted by end group (dict order within).
    mutable std::vector<std::uint32_t> pair_offsets_, pair_ends_, pair_ordinals_;
};

// Shared by a graph and every query made from it. A rebuilt index replaces
// the old one; a reader holds its own reference to the one it walks, so a
// rebuild from Python code run during the walk never changes it underneath.
struct GraphIndex {
    std::shared_ptr<NodeIndex> nodes;
    std::shared_ptr<EdgeIndex> edges;
    std::uint64_t nodes_refused = 0;  // a dict state found not indexable
    std::uint64_t edges_refused = 0;
};

// The index of the graph's `nodes` / `edges` dict when it may stand in for a
// walk now (built or rebuilt as needed); null when a walk must be made, or
// -- with the exception set -- when a signal handler raised while it was
// built (check PyErr_Occurred on null).
std::shared_ptr<const NodeIndex> current_node_index(PyObject* nodes, GraphIndex* index);
std::shared_ptr<const EdgeIndex> current_edge_index(PyObject* edges, GraphIndex* index);

// Whether the dict is still in the state `index` describes.
bool index_current(PyObject* dict, const DictIndex& index) noexcept;

// The dict's version (0 where versions are not available).
std::uint64_t dict_version(PyObject* dict) noexcept;

// The value of the entry at dict position `pos` (borrowed); the dict must be
// in the state an index describes.
inline PyObject* entry_at(PyObject* dict, Py_ssize_t pos, PyObject** key = nullptr) noexcept {
    PyObject *k = nullptr, *v = nullptr;
    PyDict_Next(dict, &pos, &k, &v);
    if (key) *key = k;
    return v;
}

// Stores `value` (an exact Node / Edge object) under `key` (an exact str)
// and keeps the index current when the store provably ran no Python code
// (every key of the dict an exact str). Returns false with a Python
// exception set.
bool store_indexed_node(PyObject* nodes, GraphIndex* index, PyObject* key, PyObject* node);
bool store_indexed_edge(PyObject* edges, GraphIndex* index, PyObject* key, PyObject* edge);

}  // namespace quorvel
