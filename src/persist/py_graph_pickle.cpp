// Graph pickles. A graph pickles as Graph() and a state that __setstate__
// takes back:
//
//   (1, types, nodes, edges)  types: a type table (py_type_table.hpp);
//                             nodes: key, type index, properties, ... (3 per node);
//                             edges: key, term name, term type index, start type
//                             index, start properties, end type index, end
//                             properties, properties, ... (8 per edge)
//   (0, nodes, edges)         the two dicts as they are, when they hold
//                             anything but str keys and Node or Edge objects
//
// The first form pickles a graph of a million nodes several times faster
// than the objects one by one would, and a type of any depth; the properties
// dicts go to pickle as objects, so its memo keeps every sharing. A properties
// entry of None is a node or edge whose dict was never made.
#include "binding/args.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_persist.hpp"
#include "persist/py_snapshot.hpp"
#include "persist/py_type_table.hpp"

namespace quorvel {

using py::Ref;

namespace {

constexpr Py_ssize_t kNodeFields = 3, kEdgeFields = 8;

// The Graph's own dict (made again if the collector cleared it).
Ref own_dict(Ref& slot) {
    if (!slot) slot = Ref::steal(PyDict_New());
    return slot.clone();
}

// Puts `value` at `at` in a new list (stealing it); false if it is null.
bool put(PyObject* list, Py_ssize_t& at, PyObject* value) {
    if (!value) return false;
    PyList_SET_ITEM(list, at++, value);
    return true;
}

PyObject* index_object(std::uint32_t i) {
    return PyLong_FromUnsignedLong(i);
}
PyObject* dict_or_none(const Ref& dict) {
    return py::new_ref(dict ? dict.get() : Py_None);
}

Ref compact_state(const GraphSnapshot& s) {
    TypeTable types;
    Ref nodes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(s.nodes.size()) * kNodeFields));
    Ref edges = Ref::steal(PyList_New(static_cast<Py_ssize_t>(s.edges.size()) * kEdgeFields));
    if (!nodes || !edges) return Ref();
    Py_ssize_t at = 0;
    for (const NodeRecord& r : s.nodes) {
        if (!put(nodes.get(), at, r.key.clone().release()) ||
            !put(nodes.get(), at, index_object(types.add(r.node.type))) ||
            !put(nodes.get(), at, dict_or_none(r.node.properties)))
            return Ref();
    }
    at = 0;
    for (const EdgeRecord& r : s.edges) {
        const EdgeValue& e = r.edge;
        if (!put(edges.get(), at, r.key.clone().release()) ||
            !put(edges.get(), at, py::str(e.term->name()).release()) ||
            !put(edges.get(), at, index_object(types.add(e.term->type()))) ||
            !put(edges.get(), at, index_object(types.add(e.start.type))) ||
            !put(edges.get(), at, dict_or_none(e.start.properties)) ||
            !put(edges.get(), at, index_object(types.add(e.end.type))) ||
            !put(edges.get(), at, dict_or_none(e.end.properties)) ||
            !put(edges.get(), at, dict_or_none(e.properties)))
            return Ref();
    }
    Ref table = type_table_to_list(types);
    if (!table) return Ref();
    return Ref::steal(Py_BuildValue("(iOOO)", 1, table.get(), nodes.get(), edges.get()));
}

bool malformed(const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed Graph state: %s", what);
    return false;
}

// Items of a state list as a tuple (which no code run from here can change),
// `fields` to a record.
Ref records(PyObject* list, Py_ssize_t fields) {
    if (!PyList_Check(list) && !PyTuple_Check(list)) {
        malformed("records must be a list");
        return Ref();
    }
    Ref items = Ref::steal(PySequence_Tuple(list));
    if (items && PyTuple_GET_SIZE(items.get()) % fields) {
        malformed("a record is incomplete");
        return Ref();
    }
    return items;
}

bool type_at(PyObject* index, const TypeTableReader& types, TypeRef& out) {
    int overflow = 0;
    const long long i = PyLong_Check(index) ? PyLong_AsLongLongAndOverflow(index, &overflow) : -1;
    if (i < 0 || overflow || static_cast<std::size_t>(i) >= types.size()) {
        if (PyErr_Occurred()) return false;
        return malformed("a type index is out of range");
    }
    out = types[static_cast<std::size_t>(i)];
    return true;
}

bool dict_at(PyObject* item, Ref& out) {
    if (item == Py_None) {
        out = Ref();
        return true;
    }
    if (!PyDict_Check(item)) return malformed("properties must be a dict or None");
    out = Ref::borrow(item);
    return true;
}

bool node_at(PyObject* const* fields, const TypeTableReader& types, NodeValue& out) {
    return type_at(fields[0], types, out.type) && dict_at(fields[1], out.properties);
}

bool read_compact(PyObject* state, PyObject* nodes, PyObject* edges) {
    TypeTableReader types;
    if (!type_table_from_list(PyTuple_GET_ITEM(state, 1), types)) return false;
    Ref node_items = records(PyTuple_GET_ITEM(state, 2), kNodeFields);
    Ref edge_items = records(PyTuple_GET_ITEM(state, 3), kEdgeFields);
    if (!node_items || !edge_items) return false;
    PyTypeObject* node_cls = node_type();
    PyTypeObject* edge_cls = edge_type();
    if (!node_cls || !edge_cls) return false;
    SignalCheck signals;
    PyObject* const* item = &PyTuple_GET_ITEM(node_items.get(), 0);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(node_items.get()); i < n; i += kNodeFields) {
        NodeValue v;
        if (!node_at(item + i + 1, types, v)) return false;
        Ref node = py::make_object<NodeValue>(node_cls, std::move(v));
        if (!node || PyDict_SetItem(nodes, item[i], node.get()) < 0 || !signals()) return false;
    }
    item = &PyTuple_GET_ITEM(edge_items.get(), 0);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(edge_items.get()); i < n; i += kEdgeFields) {
        EdgeValue v;
        std::string name;
        TypeRef type;
        if (!py::to_utf8(item[i + 1], "state", name) || !type_at(item[i + 2], types, type) ||
            !node_at(item + i + 3, types, v.start) || !node_at(item + i + 5, types, v.end) ||
            !dict_at(item[i + 7], v.properties))
            return false;
        v.term = std::make_shared<const Term>(std::move(name), std::move(type));
        Ref edge = py::make_object<EdgeValue>(edge_cls, std::move(v));
        if (!edge || PyDict_SetItem(edges, item[i], edge.get()) < 0 || !signals()) return false;
    }
    return true;
}

}  // namespace

PyObject* graph_reduce(PyObject* self, PyObject*) {
    auto& g = py::value_of<GraphValue>(self);
    Ref state;
    GraphSnapshot snapshot;
    if (!take_snapshot(g, snapshot)) return nullptr;
    if (snapshot.foreign_key) {
        Ref nodes = own_dict(g.nodes), edges = own_dict(g.edges);
        if (!nodes || !edges) return nullptr;
        state = Ref::steal(Py_BuildValue("(iOO)", 0, nodes.get(), edges.get()));
    } else {
        state = compact_state(snapshot);
    }
    if (!state) return nullptr;
    return py::reduction(Py_TYPE(self), {}, state.get());
}

PyObject* graph_setstate(PyObject* self, PyObject* state) {
    const Py_ssize_t size = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : 0;
    const long tag = size ? PyLong_AsLong(PyTuple_GET_ITEM(state, 0)) : -1;
    if (tag == -1 && PyErr_Occurred()) PyErr_Clear();
    const bool as_dicts = tag == 0 && size == 3;
    if (!as_dicts && !(tag == 1 && size == 4)) {
        malformed("unknown form");
        return nullptr;
    }
    // The new entries are gathered apart and put in at the end, so that a
    // bad state changes nothing.
    Ref nodes = Ref::steal(PyDict_New()), edges = Ref::steal(PyDict_New());
    if (!nodes || !edges) return nullptr;
    if (as_dicts) {
        PyObject* n = PyTuple_GET_ITEM(state, 1);
        PyObject* e = PyTuple_GET_ITEM(state, 2);
        if (!PyDict_Check(n) || !PyDict_Check(e)) {
            malformed("nodes and edges must be dicts");
            return nullptr;
        }
        if (PyDict_Update(nodes.get(), n) < 0 || PyDict_Update(edges.get(), e) < 0) return nullptr;
    } else if (!read_compact(state, nodes.get(), edges.get())) {
        return nullptr;
    }
    auto& g = py::value_of<GraphValue>(self);
    for (auto [slot, entries] : {std::pair{&g.nodes, nodes.get()}, {&g.edges, edges.get()}}) {
        Ref own = own_dict(*slot);
        if (!own) return nullptr;
        PyDict_Clear(own.get());
        if (PyDict_Update(own.get(), entries) < 0) return nullptr;
    }
    return py::none();
}

}  // namespace quorvel
