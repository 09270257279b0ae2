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
#include "graph/py_index.hpp"

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

struct GraphValue {
    py::Ref nodes;  // dict: node uid -> Node
    py::Ref edges;  // dict: edge uid -> Edge
    std::shared_ptr<GraphIndex> index = std::make_shared<GraphIndex>();  // shared with its queries

    GraphValue() = default;
    GraphValue(py::Ref n, py::Ref e) : nodes(std::move(n)), edges(std::move(e)) {}
    GraphValue(const GraphValue& o)
        : nodes(o.nodes.clone()), edges(o.edges.clone()), index(o.index) {}
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
        index.reset();
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

// Gives a node or edge value its dict if it has none yet (values made
// without one get it on first use, shared by every copy made after). Making
// the dict may run a collection whose finalizers reach the value first:
// their dict wins. Returns false with a Python exception set.
bool ensure_properties(py::Ref& slot);

py::Ref node_to_python(NodeValue v);
py::Ref edge_to_python(EdgeValue v);

}  // namespace quorvel
