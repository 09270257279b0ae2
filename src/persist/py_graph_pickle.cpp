// Graph pickles. A graph pickles as Graph() and a state that __setstate__
// takes back:
//
//   (1, types, node keys, node types, node properties,
//    edge keys, term names, edge types, edge properties)
//       types: a type table (py_type_table.hpp); the type columns are bytes
//       of little-endian 32-bit indices into it, one per node and three per
//       edge (the term's type, the start node's, the end node's); edge
//       properties are three per edge (the start node's dict, the end
//       node's, the edge's own). A properties entry of None is a node or
//       edge whose dict was never made.
//   (0, nodes, edges)
//       the two dicts as they are, when they hold anything but str keys and
//       Node or Edge objects
//
// The first form pickles a graph of a million nodes faster than the objects
// one by one would, and a type of any depth; the properties dicts go to
// pickle as objects, so its memo keeps every sharing.
#include "binding/args.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_persist.hpp"
#include "persist/py_snapshot.hpp"
#include "persist/py_type_table.hpp"

namespace quorvel {

using py::Ref;

namespace {

// A column of type indices, packed.
class IndexColumn {
public:
    explicit IndexColumn(std::size_t n) { bytes_.reserve(4 * n); }
    void push(std::uint32_t i) {
        for (int shift = 0; shift < 32; shift += 8) bytes_ += static_cast<char>((i >> shift) & 0xFF);
    }
    Ref to_python() const {
        return Ref::steal(PyBytes_FromStringAndSize(bytes_.data(), static_cast<Py_ssize_t>(bytes_.size())));
    }

private:
    std::string bytes_;
};

// The Graph's own dict (made again if the collector cleared it).
Ref own_dict(Ref& slot) {
    if (!slot) slot = Ref::steal(PyDict_New());
    return slot.clone();
}

Ref new_list(std::size_t n) {
    return Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
}

// Sets item `at` of a new list (taking the reference); false if it is null.
bool put(const Ref& list, std::size_t at, PyObject* value) {
    if (!value) return false;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), value);
    return true;
}

PyObject* dict_or_none(const Ref& dict) {
    return py::new_ref(dict ? dict.get() : Py_None);
}

Ref compact_state(const GraphSnapshot& s) {
    const std::size_t n = s.nodes.size(), m = s.edges.size();
    TypeTable types;
    IndexColumn node_types(n), edge_types(3 * m);
    Ref node_keys = new_list(n), node_props = new_list(n);
    Ref edge_keys = new_list(m), names = new_list(m), edge_props = new_list(3 * m);
    if (!node_keys || !node_props || !edge_keys || !names || !edge_props) return Ref();
    py::Ticker signals;
    for (std::size_t i = 0; i < n; ++i) {
        if (!signals()) return Ref();
        const NodeRecord& r = s.nodes[i];
        node_types.push(types.add(r.node.type));
        if (!put(node_keys, i, r.key.clone().release()) ||
            !put(node_props, i, dict_or_none(r.node.properties)))
            return Ref();
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (!signals()) return Ref();
        const EdgeValue& e = s.edges[i].edge;
        for (const TypeRef* t : {&e.term->type(), &e.start.type, &e.end.type}) edge_types.push(types.add(*t));
        if (!put(edge_keys, i, s.edges[i].key.clone().release()) ||
            !put(names, i, py::str(e.term->name()).release()) ||
            !put(edge_props, 3 * i, dict_or_none(e.start.properties)) ||
            !put(edge_props, 3 * i + 1, dict_or_none(e.end.properties)) ||
            !put(edge_props, 3 * i + 2, dict_or_none(e.properties)))
            return Ref();
    }
    Ref table = type_table_to_list(types);
    Ref node_column = node_types.to_python(), edge_column = edge_types.to_python();
    if (!table || !node_column || !edge_column) return Ref();
    return Ref::steal(Py_BuildValue("(iOOOOOOOO)", 1, table.get(), node_keys.get(), node_column.get(),
                                    node_props.get(), edge_keys.get(), names.get(), edge_column.get(),
                                    edge_props.get()));
}

bool malformed(const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed Graph state: %s", what);
    return false;
}

// A column of `n` entries of a state: items of a list as a tuple (which no
// code run from here can change).
Ref column(PyObject* list, std::size_t n) {
    Ref items = PyList_Check(list) ? Ref::steal(PySequence_Tuple(list)) : Ref();
    if (items && static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) == n) return items;
    if (!PyErr_Occurred()) malformed("a column has the wrong length");
    return Ref();
}

// The types a packed column names: `n` of them.
bool type_column(PyObject* bytes, std::size_t n, const TypeTableReader& types, std::vector<TypeRef>& out) {
    if (!PyBytes_Check(bytes) || static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) != 4 * n)
        return malformed("a type column has the wrong length");
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i, p += 4) {
        const std::uint32_t index = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
        if (index >= types.size()) return malformed("a type index is out of range");
        out.push_back(types[index]);
    }
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

bool read_compact(PyObject* state, PyObject* nodes, PyObject* edges) {
    auto field = [state](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    TypeTableReader types;
    if (!type_table_from_list(field(1), types)) return false;
    if (!PyList_Check(field(2)) || !PyList_Check(field(5))) return malformed("keys must be lists");
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(field(2)));
    const auto m = static_cast<std::size_t>(PyList_GET_SIZE(field(5)));
    std::vector<TypeRef> node_types, edge_types;
    Ref node_keys = column(field(2), n), node_props = column(field(4), n);
    Ref edge_keys = column(field(5), m), names = column(field(6), m), edge_props = column(field(8), 3 * m);
    if (!node_keys || !node_props || !edge_keys || !names || !edge_props ||
        !type_column(field(3), n, types, node_types) || !type_column(field(7), 3 * m, types, edge_types))
        return false;
    PyTypeObject* node_cls = node_type();
    PyTypeObject* edge_cls = edge_type();
    if (!node_cls || !edge_cls) return false;
    py::Ticker signals;
    for (std::size_t i = 0; i < n; ++i) {
        NodeValue v;
        v.type = node_types[i];
        if (!dict_at(PyTuple_GET_ITEM(node_props.get(), i), v.properties)) return false;
        Ref node = py::make_object<NodeValue>(node_cls, std::move(v));
        if (!node || PyDict_SetItem(nodes, PyTuple_GET_ITEM(node_keys.get(), i), node.get()) < 0 ||
            !signals())
            return false;
    }
    for (std::size_t i = 0; i < m; ++i) {
        EdgeValue v;
        std::string name;
        v.start.type = edge_types[3 * i + 1];
        v.end.type = edge_types[3 * i + 2];
        if (!py::to_utf8(PyTuple_GET_ITEM(names.get(), i), "state", name) ||
            !dict_at(PyTuple_GET_ITEM(edge_props.get(), 3 * i), v.start.properties) ||
            !dict_at(PyTuple_GET_ITEM(edge_props.get(), 3 * i + 1), v.end.properties) ||
            !dict_at(PyTuple_GET_ITEM(edge_props.get(), 3 * i + 2), v.properties))
            return false;
        v.term = std::make_shared<const Term>(std::move(name), edge_types[3 * i]);
        Ref edge = py::make_object<EdgeValue>(edge_cls, std::move(v));
        if (!edge || PyDict_SetItem(edges, PyTuple_GET_ITEM(edge_keys.get(), i), edge.get()) < 0 ||
            !signals())
            return false;
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
    if (!as_dicts && !(tag == 1 && size == 9)) {
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
