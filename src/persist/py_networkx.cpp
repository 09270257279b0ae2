// Graph.to_networkx and Graph.from_networkx.
//
// In the networkx graph, nodes are the graph's keys with the attributes
// "type" (a Variable or Application) and "properties" (the dict itself), and
// edges run between the keys of their end nodes, keyed by the graph's edge
// keys, with "term" and "properties". An edge's end is the stored node it
// shares its type and dict with. When no stored node does, the end is the
// node under the end's uid: one added for it with the attribute
// "detached": True (it is not in graph.nodes) if that id is free, or else
// the stored node there, with the end itself as the edge's "start" or "end"
// attribute. networkx keeps no order among edges between different nodes, so
// G.graph["edge_order"] lists the edge keys in the graph's order. from_networkx
// reads all of this back.
#include <unordered_map>

#include "binding/args.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_persist.hpp"
#include "persist/py_snapshot.hpp"
#include "persist/type_table.hpp"
#include "persist/type_text.hpp"
#include "term/py_term.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

namespace {

constexpr const char* kEdgeOrder = "edge_order";

Ref import_networkx() {
    Ref nx = Ref::steal(PyImport_ImportModule("networkx"));
    if (nx || !PyErr_ExceptionMatches(PyExc_ImportError)) return nx;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause_type = Ref::steal(type), cause = Ref::steal(value), cause_tb = Ref::steal(traceback);
    if (cause_tb) PyException_SetTraceback(cause.get(), cause_tb.get());
    PyErr_SetString(PyExc_ImportError,
                    "to_networkx needs networkx, which is not installed: pip install networkx "
                    "(on Debian: apt-get install python3-networkx)");
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetCause(value, cause.release());
    PyErr_Restore(type, value, traceback);
    return Ref();
}

// {"type": ..., "properties": ...} and so on: an attribute dict.
Ref attributes(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    for (const auto& [name, value] : items)
        if (value && PyDict_SetItemString(dict.get(), name, value) < 0) return Ref();
    return dict;
}

// The dict a node or edge object holds, made now if it had none (so that
// the object and the networkx attribute share it).
Ref properties_of(PyObject* object) {
    return py::get_attr(object, "properties");
}

Ref call_with_flags(PyObject* obj, const char* method, std::initializer_list<const char*> flags) {
    Ref callable = py::get_attr(obj, method);
    Ref kwargs = Ref::steal(PyDict_New());
    Ref args = Ref::steal(PyTuple_New(0));
    if (!callable || !kwargs || !args) return Ref();
    for (const char* flag : flags)
        if (PyDict_SetItemString(kwargs.get(), flag, Py_True) < 0) return Ref();
    return Ref::steal(PyObject_Call(callable.get(), args.get(), kwargs.get()));
}

class ToNetworkx {
public:
    explicit ToNetworkx(const GraphSnapshot& s) : s_(s) {}

    Ref convert(PyObject* nx) {
        Ref graph = py::call_method(nx, "MultiDiGraph");
        ids_ = Ref::steal(PySet_New(nullptr));
        Ref nodes = Ref::steal(PyList_New(0)), edges = Ref::steal(PyList_New(0));
        Ref order = Ref::steal(PyList_New(0));
        if (!graph || !ids_ || !nodes || !edges || !order) return Ref();
        for (const NodeRecord& r : s_.nodes) {
            Ref props = r.node.properties ? r.node.properties.clone() : properties_of(r.object.get());
            if (!props || !add_node(nodes.get(), r.key.get(), r.node.type, props, false) || !signals_())
                return Ref();
            by_value_.try_emplace({types_.add(r.node.type), props.get()}, r.key.clone());
            held_.push_back(std::move(props));
        }
        for (const EdgeRecord& r : s_.edges) {
            Ref term = term_to_python(r.edge.term);
            Ref props = r.edge.properties ? r.edge.properties.clone() : properties_of(r.object.get());
            Ref attrs =
                term && props ? attributes({{"term", term.get()}, {"properties", props.get()}}) : Ref();
            if (!attrs) return Ref();
            Ref start = end_id(nodes.get(), attrs.get(), "start", r.edge.start);
            Ref end = start ? end_id(nodes.get(), attrs.get(), "end", r.edge.end) : Ref();
            if (!end) return Ref();
            Ref item = Ref::steal(PyTuple_Pack(4, start.get(), end.get(), r.key.get(), attrs.get()));
            if (!item || PyList_Append(edges.get(), item.get()) < 0 ||
                PyList_Append(order.get(), r.key.get()) < 0 || !signals_())
                return Ref();
        }
        Ref added = py::call_method(graph.get(), "add_nodes_from", {nodes.get()});
        if (!added) return Ref();
        added = py::call_method(graph.get(), "add_edges_from", {edges.get()});
        if (!added) return Ref();
        Ref attrs = py::get_attr(graph.get(), "graph");
        if (!attrs) return Ref();
        if (!PyDict_Check(attrs.get())) {
            PyErr_Format(PyExc_TypeError, "the networkx graph's attribute \"graph\" must be a dict, not %s",
                         Py_TYPE(attrs.get())->tp_name);
            return Ref();
        }
        if (PyDict_SetItemString(attrs.get(), kEdgeOrder, order.get()) < 0) return Ref();
        return graph;
    }

private:
    bool add_node(PyObject* list, PyObject* id, const TypeRef& type, const Ref& props, bool detached) {
        Ref type_obj = type_to_python(type);
        if (!type_obj) return false;
        Ref attrs = attributes({{"type", type_obj.get()},
                                {"properties", props.get()},
                                {"detached", detached ? Py_True : nullptr}});
        Ref item = attrs ? Ref::steal(PyTuple_Pack(2, id, attrs.get())) : Ref();
        return item && PyList_Append(list, item.get()) == 0 && PySet_Add(ids_.get(), id) == 0;
    }

    // The networkx node an edge's end goes to (see the top of this file).
    Ref end_id(PyObject* nodes, PyObject* edge_attrs, const char* which, const NodeValue& end) {
        Ref props = end.properties ? end.properties.clone() : Ref::steal(PyDict_New());
        if (!props) return Ref();
        const std::uint32_t type = types_.add(end.type);
        auto it = by_value_.find({type, props.get()});
        if (it != by_value_.end()) return it->second.clone();
        Ref id = py::str(end.uid());
        const int taken = id ? PySet_Contains(ids_.get(), id.get()) : -1;
        if (taken < 0) return Ref();
        if (taken) {
            Ref node = node_to_python(end);
            if (!node || PyDict_SetItemString(edge_attrs, which, node.get()) < 0) return Ref();
            return id;
        }
        if (!add_node(nodes, id.get(), end.type, props, true)) return Ref();
        by_value_.try_emplace({type, props.get()}, id.clone());
        held_.push_back(std::move(props));
        return id;
    }

    const GraphSnapshot& s_;
    TypeTable types_;  // equal types get one index
    Ref ids_;          // every node id given out
    std::unordered_map<std::pair<std::uint32_t, PyObject*>, Ref, PairHash> by_value_;
    std::vector<Ref> held_;  // the dicts by_value_ points at
    py::Ticker signals_;
};

// ---- from_networkx ----

// A node's "type": a Variable or Application, or a type text.
bool read_type(PyObject* id, PyObject* type, TypeRef& out) {
    if (PyUnicode_Check(type)) {
        std::string_view text;
        if (!py::to_utf8_view(type, "type", text)) return false;
        TypeTextResult result = parse_type_text(text);
        if (const TypeTextError* e = std::get_if<TypeTextError>(&result)) {
            PyErr_Format(PyExc_ValueError, "node %R: Invalid type text: %s at position %zu", id, e->reason,
                         char_position(text, e->offset));
            return false;
        }
        out = std::get<TypeRef>(result);
        return true;
    }
    if (Py_TYPE(type) == variable_type() || Py_TYPE(type) == application_type())
        return python_to_type(type, out);
    PyErr_Format(PyExc_TypeError,
                 "node %R: the attribute \"type\" must be a Variable, an Application or a type text, not %s",
                 id, Py_TYPE(type)->tp_name);
    return false;
}

// An attribute of a node or edge, or null when it is absent. False when the
// lookup itself raised (a key's __eq__ may).
bool attribute(PyObject* data, const char* name, Ref& out) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return false;
    out = Ref::borrow(PyDict_GetItemWithError(data, key.get()));
    return out || !PyErr_Occurred();
}

// The "properties" attribute: a dict (shared), or a new one when absent or None.
bool read_properties(const char* what, PyObject* id, PyObject* data, Ref& out) {
    if (!attribute(data, "properties", out)) return false;
    if (!out || out.get() == Py_None) {
        out = Ref::steal(PyDict_New());
        return bool(out);
    }
    if (PyDict_Check(out.get())) return true;
    PyErr_Format(PyExc_TypeError, "%s %R: the attribute \"properties\" must be a dict, not %s", what, id,
                 Py_TYPE(out.get())->tp_name);
    return false;
}

// The items of a networkx view: tuples of `size`, the last one a dict.
Ref view_items(PyObject* view, Py_ssize_t size) {
    Ref items = Ref::steal(PySequence_List(view));
    if (!items) return Ref();
    py::Ticker signals;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        if (!signals()) return Ref();
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != size ||
            !PyDict_Check(PyTuple_GET_ITEM(item, size - 1))) {
            PyErr_SetString(PyExc_TypeError, "argument 'graph': expected a networkx graph");
            return Ref();
        }
    }
    return items;
}

// Stores `value` under `key` unless the key is taken.
bool store(PyObject* dict, PyObject* key, PyObject* value, const char* what) {
    const int present = PyDict_Contains(dict, key);
    if (present < 0) return false;
    if (present) {
        PyErr_Format(
            PyExc_ValueError,
            "from_networkx: two %ss go under the key %R (a %s whose id is not a str goes under its uid)",
            what, key, what);
        return false;
    }
    return PyDict_SetItem(dict, key, value) == 0;
}

// Moves the edges from `found` to `edges`: those G.graph["edge_order"] lists
// first, in its order, then the others.
bool in_edge_order(PyObject* g, PyObject* found, PyObject* edges) {
    Ref attrs = py::get_attr(g, "graph");
    if (!attrs) return false;
    Ref order;
    if (PyDict_Check(attrs.get()) && !attribute(attrs.get(), kEdgeOrder, order)) return false;
    if (order && PyList_Check(order.get())) {
        Ref keys = Ref::steal(PySequence_Tuple(order.get()));
        if (!keys) return false;
        py::Ticker signals;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys.get()); ++i) {
            if (!signals()) return false;
            PyObject* key = PyTuple_GET_ITEM(keys.get(), i);
            if (!PyUnicode_CheckExact(key)) continue;
            Ref edge = Ref::borrow(PyDict_GetItemWithError(found, key));
            if (!edge) {
                if (PyErr_Occurred()) return false;
                continue;
            }
            if (PyDict_SetItem(edges, key, edge.get()) < 0 || PyDict_DelItem(found, key) < 0) return false;
        }
    }
    return PyDict_Update(edges, found) == 0;
}

PyObject* from_networkx(PyObject* g) {
    Ref multi = py::call_method(g, "is_multigraph");
    if (!multi) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            py::raise_arg_type("graph", "a networkx graph", g);
        }
        return nullptr;
    }
    const int is_multi = PyObject_IsTrue(multi.get());
    if (is_multi < 0) return nullptr;
    Ref node_view = call_with_flags(g, "nodes", {"data"});
    Ref node_items = node_view ? view_items(node_view.get(), 2) : Ref();
    if (!node_items) return nullptr;
    Ref nodes = Ref::steal(PyDict_New()), edges = Ref::steal(PyDict_New());
    Ref by_id = Ref::steal(PyDict_New());  // networkx id -> Node, detached ones too
    Ref found = Ref::steal(PyDict_New());  // key -> Edge, in networkx's order
    if (!nodes || !edges || !by_id || !found) return nullptr;
    py::Ticker signals;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(node_items.get(), i);
        Ref id = Ref::borrow(PyTuple_GET_ITEM(item, 0)), data = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        Ref type_obj, props, detached;
        if (!attribute(data.get(), "type", type_obj)) return nullptr;
        if (!type_obj) {
            PyErr_Format(PyExc_TypeError,
                         "node %R has no attribute \"type\" (a Variable, an Application or a type text)",
                         id.get());
            return nullptr;
        }
        NodeValue v;
        if (!read_type(id.get(), type_obj.get(), v.type) ||
            !read_properties("node", id.get(), data.get(), props))
            return nullptr;
        v.properties = std::move(props);
        if (!attribute(data.get(), "detached", detached)) return nullptr;
        Ref key = PyUnicode_CheckExact(id.get()) ? id.clone() : py::str(v.uid());
        Ref node = key ? node_to_python(std::move(v)) : Ref();
        if (!node || PyDict_SetItem(by_id.get(), id.get(), node.get()) < 0) return nullptr;
        if (detached.get() != Py_True && !store(nodes.get(), key.get(), node.get(), "node")) return nullptr;
        if (!signals()) return nullptr;
    }
    Ref edge_view =
        is_multi ? call_with_flags(g, "edges", {"keys", "data"}) : call_with_flags(g, "edges", {"data"});
    Ref edge_items = edge_view ? view_items(edge_view.get(), is_multi ? 4 : 3) : Ref();
    if (!edge_items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edge_items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(edge_items.get(), i);
        const Py_ssize_t n = PyTuple_GET_SIZE(item);
        Ref data = Ref::borrow(PyTuple_GET_ITEM(item, n - 1));
        Ref edge_id = Ref::steal(PyTuple_GetSlice(item, 0, n - 1));
        if (!edge_id) return nullptr;
        Ref term, props;
        if (!attribute(data.get(), "term", term)) return nullptr;
        if (!term || Py_TYPE(term.get()) != term_type()) {
            PyErr_Format(PyExc_TypeError, "edge %R needs the attribute \"term\", a Term", edge_id.get());
            return nullptr;
        }
        EdgeValue v;
        if (!python_to_term(term.get(), "term", v.term) ||
            !read_properties("edge", edge_id.get(), data.get(), props))
            return nullptr;
        v.properties = std::move(props);
        int end_index = 0;
        for (auto [which, value] : {std::pair{"start", &v.start}, {"end", &v.end}}) {
            Ref given;
            if (!attribute(data.get(), which, given)) return nullptr;
            if (!given)
                given = Ref::borrow(PyDict_GetItemWithError(by_id.get(), PyTuple_GET_ITEM(item, end_index)));
            ++end_index;
            if (!given) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ValueError, "edge %R: its %s node is missing", edge_id.get(), which);
                return nullptr;
            }
            if (!python_to_node(given.get(), which, *value)) return nullptr;
        }
        PyObject* k = is_multi ? PyTuple_GET_ITEM(item, 2) : nullptr;
        Ref key = k && PyUnicode_CheckExact(k) ? Ref::borrow(k) : py::str(v.uid());
        Ref edge = key ? edge_to_python(std::move(v)) : Ref();
        if (!edge || !store(found.get(), key.get(), edge.get(), "edge") || !signals()) return nullptr;
    }
    if (!in_edge_order(g, found.get(), edges.get())) return nullptr;
    PyTypeObject* cls = graph_type();
    if (!cls) return nullptr;
    return py::make_object<GraphValue>(cls, std::move(nodes), std::move(edges)).release();
}

}  // namespace

PyObject* graph_to_networkx(PyObject* self, PyObject*) {
    Ref nx = import_networkx();
    if (!nx) return nullptr;
    GraphSnapshot snapshot;
    if (!take_snapshot(py::value_of<GraphValue>(self), snapshot)) return nullptr;
    if (snapshot.foreign_key) {
        raise_foreign_entry(snapshot, "convert");
        return nullptr;
    }
    return ToNetworkx(snapshot).convert(nx.get()).release();
}

PyObject* graph_from_networkx(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref graph;
    if (!py::bind_args("from_networkx", args, kwargs, {{"graph"}}, &graph)) return nullptr;
    return from_networkx(graph.get());
}

}  // namespace quorvel
