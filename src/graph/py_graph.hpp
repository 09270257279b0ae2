// Node, Edge and Graph values. They hold Python dicts (property dicts, the
// graph's two stores), so they live on the Python side of the code.
//
// Copying a value is cheap and shares what the model says is shared: the type
// and term handles and the dict objects themselves. An edge holds its own
// copies of its two node values, not the Python Node objects it was built
// from, so each Python object reports exactly the references it owns to the
// garbage collector.
#pragma once

#include "binding/ref.hpp"

#include <memory>
#include <unordered_map>
#include <vector>
#include "term/term.hpp"
#include "types/type.hpp"

namespace quorvel {

struct NodeValue {
    TypeRef type;
    py::Ref properties;  // a dict (or dict subclass); null only after a GC clear

    NodeValue() = default;
    NodeValue(TypeRef t, py::Ref props) : type(std::move(t)), properties(std::move(props)) {}
    NodeValue(const NodeValue& o) : type(o.type), properties(o.properties.clone()) {}
    NodeValue(NodeValue&&) noexcept = default;
    NodeValue& operator=(const NodeValue& o) {
        NodeValue tmp(o);
        *this = std::move(tmp);
        return *this;
    }
    NodeValue& operator=(NodeValue&&) noexcept = default;

    // SHA-256 of "node:" + uid(type).
    Digest digest() const;
    std::string uid() const { return digest_hex(digest()); }

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(properties);
        return 0;
    }
    void clear() { properties.reset(); }
};

struct EdgeValue {
    TermRef term;
    NodeValue start;
    NodeValue end;
    py::Ref properties;

    EdgeValue() = default;
    EdgeValue(TermRef t, NodeValue s, NodeValue e, py::Ref props)
        : term(std::move(t)), start(std::move(s)), end(std::move(e)), properties(std::move(props)) {}
    EdgeValue(const EdgeValue& o)
        : term(o.term), start(o.start), end(o.end), properties(o.properties.clone()) {}
    EdgeValue(EdgeValue&&) noexcept = default;
    EdgeValue& operator=(const EdgeValue& o) {
        EdgeValue tmp(o);
        *this = std::move(tmp);
        return *this;
    }
    EdgeValue& operator=(EdgeValue&&) noexcept = default;

    // SHA-256 of "edge:" + uid(term).
    Digest digest() const;
    std::string uid() const { return digest_hex(digest()); }

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(properties);
        if (int r = start.traverse(visit, arg)) return r;
        return end.traverse(visit, arg);
    }
    void clear() {
        properties.reset();
        start.clear();
        end.clear();
    }
};

// Node keys grouped by type digest, valid for one state of the `nodes` dict
// (CPython gives every dict state a process-unique version). Shared by a
// graph and every query made from it; holds only str keys.
struct TypeIndex {
    std::uint64_t version = 0;
    bool valid = false;
    std::unordered_map<Digest, std::vector<py::Ref>, DigestHash> keys;
};

struct GraphValue {
    py::Ref nodes;  // dict: node uid -> Node
    py::Ref edges;  // dict: edge uid -> Edge
    std::shared_ptr<TypeIndex> type_index = std::make_shared<TypeIndex>();

    GraphValue() = default;
    GraphValue(py::Ref n, py::Ref e) : nodes(std::move(n)), edges(std::move(e)) {}
    GraphValue(const GraphValue& o)
        : nodes(o.nodes.clone()), edges(o.edges.clone()), type_index(o.type_index) {}
    GraphValue(GraphValue&&) noexcept = default;
    GraphValue& operator=(const GraphValue& o) {
        GraphValue tmp(o);
        *this = std::move(tmp);
        return *this;
    }
    GraphValue& operator=(GraphValue&&) noexcept = default;

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(nodes);
        QV_VISIT(edges);
        return 0;
    }
    void clear() {
        nodes.reset();
        edges.reset();
        type_index.reset();
    }
};

PyTypeObject* node_type();
PyTypeObject* edge_type();
PyTypeObject* graph_type();

// The node constructor's body, also used by create and merge: `type_obj`
// goes through python_to_type, `properties` (may be null or None) must be a
// dict. Returns false with a Python exception set.
bool new_node(PyObject* type_obj, PyObject* properties, NodeValue& out);

// Copies a value out of a Python Node / Edge object under a shared borrow.
// A different object raises the cast TypeError ("expected Node, got ...",
// naming `param` when it is not null).
bool python_to_node(PyObject* obj, const char* param, NodeValue& out);
bool python_to_edge(PyObject* obj, const char* param, EdgeValue& out);

py::Ref node_to_python(NodeValue v);
py::Ref edge_to_python(EdgeValue v);

// Stores `node` (a Node object of the type with digest `type_digest`) under
// `key` in the graph's nodes dict, keeping the type index current when it
// can instead of dropping it.
bool store_node(const GraphValue& graph, PyObject* key, PyObject* node, const Digest& type_digest);

// Every node whose type has uid `type_digest`, in dict order (copies).
// A key that is not a str or a value that is not a Node anywhere in `nodes`
// fails the lookup with TypeError.
bool get_nodes_by_type(const GraphValue& graph, const Digest& type_digest, std::vector<NodeValue>& out);

}  // namespace quorvel
