// A graph's entries taken out of its two dicts, for the writers (file,
// pickle, networkx, DOT): every key and object held, every value copied, so
// that code run while writing (a finalizer, a signal handler) can change the
// dicts without changing what is written.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "binding/ticker.hpp"
#include "graph/py_graph.hpp"

namespace quorvel {

struct NodeRecord {
    py::Ref key;
    py::Ref object;  // the Node
    NodeValue node;
};

struct EdgeRecord {
    py::Ref key;
    py::Ref object;  // the Edge
    EdgeValue edge;
};

struct GraphSnapshot {
    std::vector<NodeRecord> nodes;
    std::vector<EdgeRecord> edges;
    // The first entry that is not a str key holding a Node (in `nodes`) or an
    // Edge (in `edges`), if any; `foreign_in_edges` says which dict.
    py::Ref foreign_key, foreign_value;
    bool foreign_in_edges = false;
};

// Copies the entries in dict order. An entry of another kind stops the walk
// and is reported in `foreign_key` (with no exception set). Returns false
// with an exception set (a dict changed size, a Node in use, Ctrl-C).
bool take_snapshot(const GraphValue& graph, GraphSnapshot& out);

// TypeError "cannot save graph.nodes['k']: ..." for the snapshot's foreign
// entry; `what` names the operation ("save", "convert").
void raise_foreign_entry(const GraphSnapshot& snapshot, const char* what);

// Element keys of the writers' tables: a type index and a properties dict.
struct PairHash {
    std::size_t operator()(const std::pair<std::uint32_t, PyObject*>& p) const noexcept {
        return std::hash<PyObject*>()(p.second) ^ (std::size_t{p.first} * 0x9E3779B97F4A7C15ull);
    }
};

}  // namespace quorvel
