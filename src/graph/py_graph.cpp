// Python class Graph and the lookup of nodes by type.
#include "graph/py_graph.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_persist.hpp"
#include "query/py_query.hpp"

namespace quorvel {

using py::Ref;

namespace {

PyObject* graph_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    if (!py::bind_no_args("Graph", args, kwargs)) return nullptr;
    Ref nodes = Ref::steal(PyDict_New());
    if (!nodes) return nullptr;
    Ref edges = Ref::steal(PyDict_New());
    if (!edges) return nullptr;
    return py::make_object<GraphValue>(cls, std::move(nodes), std::move(edges)).release();
}

Py_ssize_t size_of(const Ref& dict) { return dict ? PyDict_GET_SIZE(dict.get()) : 0; }

PyObject* graph_str(PyObject* self) {
    auto& v = py::value_of<GraphValue>(self);
    return PyUnicode_FromFormat("Graph(%zd nodes, %zd edges)", size_of(v.nodes), size_of(v.edges));
}

template <Ref GraphValue::*which>
PyObject* get_dict(PyObject* self, void*) {
    auto& v = py::value_of<GraphValue>(self);
    if (!(v.*which)) {
        // Only after the collector cleared a cycle through the graph.
        v.*which = Ref::steal(PyDict_New());
        if (!(v.*which)) return nullptr;
    }
    return (v.*which).clone().release();
}

PyObject* graph_query(PyObject* self, PyObject*) {
    return new_query(py::value_of<GraphValue>(self)).release();
}

PyMethodDef graph_methods[] = {
    {"query", QV_ENTRY(graph_query), METH_NOARGS,
     "query($self)\n--\n\n"
     "Starts a query over this graph.\n\n"
     "Returns:\n    A new Query reading and changing this graph's nodes and edges dicts"},
    {"to_json", QV_ENTRY(graph_to_json), METH_NOARGS,
     "to_json($self)\n--\n\n"
     "The graph as the text of a graph file (versioned JSON; see docs/saving.md).\n\n"
     "Keys must be str and values Node or Edge objects, and property values\n"
     "str, int, float, bool, None, list or dict with str keys; anything else is\n"
     "a TypeError naming the node or edge and the key.\n\n"
     "Returns:\n    A str that Graph.from_json reads back into an equal graph"},
    {"from_json", py::keyword_method(QV_ENTRY(graph_from_json)), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_json(text)\n--\n\n"
     "Reads a graph from the text of a graph file (a str or UTF-8 bytes).\n\n"
     "Raises:\n    ValueError: naming the first bad record, its line and column"},
    {"save", py::keyword_method(QV_ENTRY(graph_save)), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\n"
     "Writes the graph to a graph file at `path`, as to_json does.\n\n"
     "The file is written beside `path` and renamed over it when complete, so\n"
     "`path` never holds half a file; if anything fails, nothing is left behind."},
    {"load", py::keyword_method(QV_ENTRY(graph_load)), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n"
     "Reads a graph from a graph file written by save (or by other tools).\n\n"
     "Raises:\n    ValueError: naming the file, the first bad record, its line and column\n"
     "    OSError: when the file cannot be read"},
    {"to_networkx", QV_ENTRY(graph_to_networkx), METH_NOARGS,
     "to_networkx($self)\n--\n\n"
     "The graph as a networkx MultiDiGraph (networkx is imported on this call).\n\n"
     "Nodes are the graph's keys, with the attributes `type` and `properties`\n"
     "(the dict itself, shared); edges run from start to end keyed by the graph's\n"
     "edge keys, with the attributes `term` and `properties`."},
    {"from_networkx", py::keyword_method(QV_ENTRY(graph_from_networkx)), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_networkx(graph)\n--\n\n"
     "A Graph from a networkx graph: to_networkx's output, or any graph whose\n"
     "nodes have a `type` attribute (a Variable, an Application or a type text)\n"
     "and whose edges have a `term` attribute (a Term); `properties` (a dict)\n"
     "is optional on both. See docs/saving.md."},
    {"to_dot", py::keyword_method(QV_ENTRY(graph_to_dot)), METH_VARARGS | METH_KEYWORDS,
     "to_dot($self, name='quorvel')\n--\n\n"
     "The graph as Graphviz DOT text: nodes labelled with their type and\n"
     "properties, edges with their term, its type and their properties."},
    {"__reduce__", QV_ENTRY(graph_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as Graph() with the graph's entries as state."},
    {"__setstate__", QV_ENTRY(graph_setstate), METH_O,
     "__setstate__($self, state, /)\n--\n\n"
     "Replaces the graph's entries with those of a pickled graph's state."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"nodes", QV_ENTRY(get_dict<&GraphValue::nodes>), nullptr, "Dictionary mapping node uids to Node objects.", nullptr},
    {"edges", QV_ENTRY(get_dict<&GraphValue::edges>), nullptr, "Dictionary mapping edge uids to Edge objects.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Graph()\n--\n\n"
                    "The main container for nodes and edges, representing a complete\n"
                    "type theoretical model. Query it through the Query interface\n"
                    "(graph.query()).\n\n"
                    "Fields:\n"
                    "    nodes: Dictionary mapping node uids to Node objects\n"
                    "    edges: Dictionary mapping edge uids to Edge objects")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(graph_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<GraphValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<GraphValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<GraphValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(graph_str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(graph_str))},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_getset},
    {0, nullptr},
};

PyType_Spec graph_spec = {"quorvel.Graph", sizeof(py::Box<GraphValue>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, graph_slots};

}  // namespace

PyTypeObject* graph_type() {
    static PyTypeObject* t = py::create_type(&graph_spec);
    return t;
}

}  // namespace quorvel
