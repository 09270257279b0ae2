// A graph's entries taken out of its two dicts, for the writers (file,
// pickle, networkx, DOT): every key and object held, every value copied, so
// that code run while writing (a finalizer, a signal handler) can change the
// dicts without changing what is written.
#pragma once

#include <vector>

#include "binding/ref.hpp"
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

// Checks for a pending signal every few thousand steps of a loop.
class SignalCheck {
public:
    bool operator()() { return (++count_ & 0xFFF) != 0 || PyErr_CheckSignals() == 0; }

private:
    unsigned count_ = 0;
};

}  // namespace quorvel
