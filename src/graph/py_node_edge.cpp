// Python classes Node and Edge.
#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "graph/py_graph.hpp"
#include "graph/py_index.hpp"
#include "term/py_term.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

Digest NodeValue::digest() const { return type->node_digest(); }

Digest EdgeValue::digest() const { return term->edge_digest(); }

namespace {

template <class V>
py::Box<V>* box_of(PyObject* o) {
    return py::box<V>(o);
}

PyObject* uid_text(const Digest& d) {
    char hex[64];
    digest_hex_into(d, hex);
    return PyUnicode_FromStringAndSize(hex, 64);
}

// A dict argument that may be absent or None: a new empty dict then.
// A node or edge made without a dict gets its empty dict when someone first
// looks at it or copies the value (so every copy shares that one dict):
// most nodes of a large graph never need one.
bool optional_dict(PyObject* given, Ref& out) {
    if (!given || given == Py_None) return true;
    if (!py::check_dict(given, "properties")) return false;
    out = Ref::borrow(given);
    return true;
}

// ---- shared by both classes --------------------------------------------------

template <class V>
PyObject* get_properties(PyObject* self, void*) {
    auto* b = box_of<V>(self);
    if (!ensure_properties(b->value.properties)) return nullptr;
    return b->value.properties.clone().release();
}

template <class V>
int set_properties(PyObject* self, PyObject* value, void*) {
    if (py::refuse_delete(value)) return -1;
    if (!py::check_dict(value, "properties")) return -1;
    auto* b = box_of<V>(self);
    py::ExclusiveGuard guard(b->borrow, Py_TYPE(self)->tp_name);
    if (!guard) return -1;
    // Counted while held: indexes stand in for walks only when no element
    // is exclusively borrowed (a walk would refuse this one).
    ++exclusive_element_borrows();
    Ref old = std::exchange(b->value.properties, Ref::borrow(value));
    old.reset();  // its finalizers run now and see the new dict
    --exclusive_element_borrows();
    return 0;
}

template <class V>
PyObject* uid_method(PyObject* self, PyObject*) {
    auto* b = box_of<V>(self);
    py::SharedGuard guard(b->borrow, Py_TYPE(self)->tp_name);
    if (!guard) return nullptr;
    return uid_text(b->value.digest());
}

// Pickles and copies rebuild a node or edge from its constructor arguments,
// then set its properties from the state, (None, {"properties": dict}): the
// object exists before its dict is pickled, so a dict that refers back to it
// pickles, and deepcopy copies the dict deeply. An object whose dict was never
// made has no state.
template <class V>
bool copy_value(PyObject* self, V& out) {
    auto* b = box_of<V>(self);
    py::SharedGuard guard(b->borrow, Py_TYPE(self)->tp_name);
    if (!guard) return false;
    out = b->value;
    return true;
}

PyObject* with_properties_state(PyObject* cls, std::initializer_list<PyObject*> args, const Ref& properties) {
    if (!properties) return py::reduction(cls, args);
    Ref slots = Ref::steal(PyDict_New());
    if (!slots || PyDict_SetItemString(slots.get(), "properties", properties.get()) < 0) return nullptr;
    Ref state = Ref::steal(PyTuple_Pack(2, Py_None, slots.get()));
    if (!state) return nullptr;
    return py::reduction(cls, args, state.get());
}

// ---- Node ---------------------------------------------------------------------

PyObject* node_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref a[2];
    if (!py::bind_args("Node", args, kwargs, {{"type"}, {"properties", false}}, a)) return nullptr;
    NodeValue v;
    if (!new_node(a[0].get(), a[1].get(), v)) return nullptr;
    return py::make_object<NodeValue>(cls, std::move(v)).release();
}

PyObject* node_str(PyObject* self) {
    TypeRef t = box_of<NodeValue>(self)->value.type;
    std::string s = "Node(";
    t->append_text(s);
    s += ')';
    return py::str(s).release();
}

PyObject* node_get_type(PyObject* self, void*) {
    auto* b = box_of<NodeValue>(self);
    py::SharedGuard guard(b->borrow, "Node");
    if (!guard) return nullptr;
    return type_to_python(b->value.type).release();
}

PyObject* node_reduce(PyObject* self, PyObject*) {
    NodeValue v;
    if (!copy_value(self, v)) return nullptr;
    Ref type = type_to_python(v.type);
    if (!type) return nullptr;
    return with_properties_state(reinterpret_cast<PyObject*>(node_type()), {type.get()}, v.properties);
}

PyMethodDef node_methods[] = {
    {"uid", QV_ENTRY(uid_method<NodeValue>), METH_NOARGS,
     "uid($self)\n--\n\n"
     "Returns a unique identifier for this node.\n\n"
     "The identifier is derived from the node's type alone (SHA-256 of \"node:\" and the type's uid)."},
    {"__reduce__", QV_ENTRY(node_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as Node(type) with the properties dict as state."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_getset[] = {
    {"type", QV_ENTRY(node_get_type), nullptr,
     "Gets the type of this node.\n\nReturns:\n    The type as a Python object (Variable or Application)", nullptr},
    {"properties", QV_ENTRY(get_properties<NodeValue>), QV_ENTRY(set_properties<NodeValue>),
     "The node's property dictionary (the dict object itself, not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Node(type, properties=None)\n--\n\n"
                    "A node of the graph, a vertex representing a type.\n\n"
                    "Properties are stored in a Python dictionary held by reference:\n"
                    "every copy of the node sees changes made to it.\n\n"
                    "Fields:\n"
                    "    type: The type this node represents\n"
                    "    properties: The property dictionary")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(node_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<NodeValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<NodeValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<NodeValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(node_str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(node_str))},
    {Py_tp_methods, node_methods},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = {"quorvel.Node", sizeof(py::Box<NodeValue>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                         node_slots};

// ---- Edge ---------------------------------------------------------------------

PyObject* edge_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref a[4];
    if (!py::bind_args("Edge", args, kwargs, {{"term"}, {"start"}, {"end"}, {"properties", false}}, a))
        return nullptr;
    if (a[3] && a[3].get() != Py_None && !py::check_dict(a[3].get(), "properties")) return nullptr;
    EdgeValue v;
    if (!python_to_term(a[0].get(), nullptr, v.term)) return nullptr;
    if (!python_to_node(a[1].get(), nullptr, v.start)) return nullptr;
    if (!python_to_node(a[2].get(), nullptr, v.end)) return nullptr;
    if (!optional_dict(a[3].get(), v.properties)) return nullptr;
    return py::make_object<EdgeValue>(cls, std::move(v)).release();
}

PyObject* edge_str(PyObject* self) {
    auto& v = box_of<EdgeValue>(self)->value;
    TermRef term = v.term;
    TypeRef from = v.start.type, to = v.end.type;
    std::string s = "Edge(";
    s += term->name();
    s += ": ";
    from->append_text(s);
    s += " -> ";
    to->append_text(s);
    s += ')';
    return py::str(s).release();
}

PyObject* edge_get_term(PyObject* self, void*) {
    auto* b = box_of<EdgeValue>(self);
    py::SharedGuard guard(b->borrow, "Edge");
    if (!guard) return nullptr;
    return term_to_python(b->value.term).release();
}

template <NodeValue EdgeValue::*which>
PyObject* edge_get_node(PyObject* self, void*) {
    auto* b = box_of<EdgeValue>(self);
    py::SharedGuard guard(b->borrow, "Edge");
    if (!guard) return nullptr;
    if (!ensure_properties((b->value.*which).properties)) return nullptr;
    return node_to_python(b->value.*which).release();
}

PyObject* edge_reduce(PyObject* self, PyObject*) {
    EdgeValue v;
    if (!copy_value(self, v)) return nullptr;
    Ref term = term_to_python(v.term);
    if (!term) return nullptr;
    Ref start = node_to_python(v.start);
    if (!start) return nullptr;
    Ref end = node_to_python(v.end);
    if (!end) return nullptr;
    return with_properties_state(reinterpret_cast<PyObject*>(edge_type()), {term.get(), start.get(), end.get()},
                                 v.properties);
}

PyMethodDef edge_methods[] = {
    {"uid", QV_ENTRY(uid_method<EdgeValue>), METH_NOARGS,
     "uid($self)\n--\n\n"
     "Returns a unique identifier for this edge.\n\n"
     "The identifier is derived from the edge's term alone (SHA-256 of \"edge:\" and the term's uid)."},
    {"__reduce__", QV_ENTRY(edge_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as Edge(term, start, end) with the properties dict as state."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef edge_getset[] = {
    {"term", QV_ENTRY(edge_get_term), nullptr, "Gets the term of this edge.", nullptr},
    {"start", QV_ENTRY(edge_get_node<&EdgeValue::start>), nullptr, "Gets the starting node of this edge.", nullptr},
    {"end", QV_ENTRY(edge_get_node<&EdgeValue::end>), nullptr, "Gets the ending node of this edge.", nullptr},
    {"properties", QV_ENTRY(get_properties<EdgeValue>), QV_ENTRY(set_properties<EdgeValue>),
     "The edge's property dictionary (the dict object itself, not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot edge_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Edge(term, start, end, properties=None)\n--\n\n"
                    "A directed edge of the graph, representing a term from the start node\n"
                    "to the end node.\n\n"
                    "The edge keeps copies of the two nodes (sharing their property dicts);\n"
                    "the term is expected to have a type consistent with the node types,\n"
                    "but this is not checked.\n\n"
                    "Fields:\n"
                    "    term: The term this edge represents\n"
                    "    start: The starting node\n"
                    "    end: The ending node\n"
                    "    properties: The property dictionary")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(edge_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<EdgeValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<EdgeValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<EdgeValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(edge_str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(edge_str))},
    {Py_tp_methods, edge_methods},
    {Py_tp_getset, edge_getset},
    {0, nullptr},
};

PyType_Spec edge_spec = {"quorvel.Edge", sizeof(py::Box<EdgeValue>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                         edge_slots};

template <class V>
bool copy_out(PyObject* obj, PyTypeObject* cls, const char* param, V& out) {
    if (!py::check_instance(obj, cls, param)) return false;
    auto* b = box_of<V>(obj);
    py::SharedGuard guard(b->borrow, cls->tp_name);
    if (!guard) return false;
    if (!ensure_properties(b->value.properties)) return false;
    out = b->value;
    return true;
}

}  // namespace

PyTypeObject* node_type() {
    static PyTypeObject* t = py::create_type(&node_spec);
    return t;
}

PyTypeObject* edge_type() {
    static PyTypeObject* t = py::create_type(&edge_spec);
    return t;
}

bool new_node(PyObject* type_obj, PyObject* properties, NodeValue& out) {
    if (properties && properties != Py_None && !py::check_dict(properties, "properties")) return false;
    if (!python_to_type(type_obj, out.type)) return false;
    return optional_dict(properties, out.properties);
}

bool python_to_node(PyObject* obj, const char* param, NodeValue& out) {
    return copy_out(obj, node_type(), param, out);
}

bool python_to_edge(PyObject* obj, const char* param, EdgeValue& out) {
    return copy_out(obj, edge_type(), param, out);
}

bool ensure_properties(Ref& slot) {
    if (slot) return true;
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh) return false;
    if (!slot) slot = std::move(fresh);
    return true;
}

py::Ref node_to_python(NodeValue v) { return py::make_object<NodeValue>(node_type(), std::move(v)); }

py::Ref edge_to_python(EdgeValue v) { return py::make_object<EdgeValue>(edge_type(), std::move(v)); }

}  // namespace quorvel
