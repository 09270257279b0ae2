// Python class Graph and the lookup of nodes by type.
#include "graph/py_graph.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
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
