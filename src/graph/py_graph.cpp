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

namespace {

// The dict's version: a new value after every change of the dict, unique in
// the process. Zero where the interpreter does not offer it.
std::uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

// Checks every entry (a malformed entry anywhere fails the lookup) and
// groups the keys by type digest. Nothing here can run Python code, so the
// dict's borrowed references are used in place.
bool build_index(PyObject* nodes, TypeIndex& index) {
    index.valid = false;
    index.keys.clear();
    PyTypeObject* node_cls = node_type();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(nodes, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            py::raise_arg_type("key", "str", key);
            return false;
        }
        if (Py_TYPE(value) != node_cls && !py::check_instance(value, node_cls, nullptr)) return false;
        auto* b = py::box<NodeValue>(value);
        if (b->borrow.state < 0) {
            py::raise_borrow_conflict("Node");
            return false;
        }
        index.keys[b->value.type->digest()].push_back(Ref::borrow(key));
    }
    index.version = dict_version(nodes);
    index.valid = index.version != 0;
    return true;
}

}  // namespace

bool store_node(const GraphValue& graph, PyObject* key, PyObject* node, const Digest& type_digest) {
    PyObject* nodes = graph.nodes.get();
    TypeIndex* index = graph.type_index.get();
    // The index can follow the store when it is current and the key is new
    // (it goes last in dict order) or held a node of the same type (same
    // place). The old value is held until the index is updated: its release
    // may run a finalizer that changes the dict again, which the index then
    // sees as a new version.
    bool follow = false, new_key = false;
    Ref old;
    if (index && index->valid && index->version == dict_version(nodes) && PyUnicode_CheckExact(key)) {
        PyObject* found = PyDict_GetItemWithError(nodes, key);
        if (!found) {
            if (PyErr_Occurred()) return false;
            follow = new_key = true;
        } else {
            old = Ref::borrow(found);
            follow = Py_TYPE(found) == node_type() &&
                     py::value_of<NodeValue>(found).type->digest() == type_digest;
        }
    }
    if (PyDict_SetItem(nodes, key, node) < 0) return false;
    if (!index) return true;
    if (follow) {
        if (new_key) index->keys[type_digest].push_back(Ref::borrow(key));
        index->version = dict_version(nodes);
        index->valid = index->version != 0;
    } else {
        index->valid = false;
    }
    return true;
}

bool get_nodes_by_type(const GraphValue& graph, const Digest& type_digest, std::vector<NodeValue>& out) {
    Ref nodes = graph.nodes.clone();
    if (!nodes) return true;
    // An unchanged dict has unchanged entries (a node's type is fixed), so
    // the index built by an earlier lookup answers again without a scan.
    TypeIndex scratch;
    TypeIndex& index = graph.type_index ? *graph.type_index : scratch;
    if (!index.valid || index.version != dict_version(nodes.get()) || index.version == 0)
        if (!build_index(nodes.get(), index)) return false;
    auto it = index.keys.find(type_digest);
    if (it == index.keys.end()) return true;
    // Fetch again by key, as the values are now. Keys are copied first: a
    // finalizer run from here could rebuild the index.
    std::vector<Ref> keys;
    keys.reserve(it->second.size());
    for (const Ref& k : it->second) keys.push_back(k.clone());
    for (const Ref& k : keys) {
        PyObject* found = PyDict_GetItemWithError(nodes.get(), k.get());
        if (!found) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        Ref hold = Ref::borrow(found);
        NodeValue node;
        if (!python_to_node(hold.get(), nullptr, node)) return false;
        out.push_back(std::move(node));
    }
    return true;
}

}  // namespace quorvel
