// The Python classes NodePattern and EdgePattern. Their values never change
// after construction, so no method needs a borrow guard.
#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "patterns/py_patterns.hpp"
#include "term/py_term.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

namespace {

PyObject* get_variable(const std::optional<std::string>& variable) {
    return variable ? py::str(*variable).release() : py::none();
}

// A pattern pickles as the constructor call that makes it again: the
// variable, the type or term, the schema's text, the required properties as a
// new dict (the same value objects) and, for edges, the direction. The parts
// both kinds have: variable, schema text and properties, in `out`.
template <class V>
bool common_parts(const V& v, const std::optional<TypeSchemaValue>& schema, Ref (&out)[3]) {
    out[0] = Ref::steal(get_variable(v.variable));
    out[1] = schema ? py::str(schema->pattern()) : Ref::borrow(Py_None);
    out[2] = Ref::steal(PyDict_New());
    if (!out[0] || !out[1] || !out[2]) return false;
    for (std::size_t i = 0; i < v.properties.size(); ++i)
        if (PyDict_SetItem(out[2].get(), v.properties.key_object(i), v.properties.entries()[i].second.get()) < 0)
            return false;
    return true;
}

// ---- NodePattern -----------------------------------------------------------

PyObject* node_pattern_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref a[4];
    if (!py::bind_args("NodePattern", args, kwargs,
                       {{"variable", false}, {"type", false}, {"type_schema", false}, {"properties", false}},
                       a))
        return nullptr;
    std::optional<std::string> variable;
    if (!python_to_variable(a[0].get(), "variable", variable)) return nullptr;
    NodePatternValue v;
    if (!new_node_pattern(std::move(variable), a[1].get(), a[2].get(), a[3].get(), v)) return nullptr;
    return py::make_object<NodePatternValue>(cls, std::move(v)).release();
}

PyObject* node_pattern_repr(PyObject* self) {
    std::string s = "NodePattern(variable=";
    append_tagged_text(s, py::value_of<NodePatternValue>(self).variable);
    s += ')';
    return py::str(s).release();
}

PyObject* node_get_variable(PyObject* self, void*) {
    return get_variable(py::value_of<NodePatternValue>(self).variable);
}

PyObject* node_pattern_reduce(PyObject* self, PyObject*) {
    NodePatternValue v;
    if (!python_to_node_pattern(self, nullptr, v)) return nullptr;
    Ref type = v.type_obj ? type_to_python(v.type_obj) : Ref::borrow(Py_None);
    Ref parts[3];
    if (!type || !common_parts(v, v.type_schema, parts)) return nullptr;
    return py::reduction(node_pattern_type(), {parts[0].get(), type.get(), parts[1].get(), parts[2].get()});
}

PyMethodDef node_pattern_methods[] = {
    {"__reduce__", QV_ENTRY(node_pattern_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as the constructor call that makes this pattern."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_pattern_getset[] = {
    {"variable", QV_ENTRY(node_get_variable), nullptr, "The variable matched nodes are bound to, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NodePattern(variable=None, type=..., type_schema=None, properties=None)\n--\n\n"
                    "A pattern for matching nodes in a graph.\n\n"
                    "Node patterns match nodes by variable name, exact type, type schema and\n"
                    "required property values. A node must satisfy every part that is given.\n\n"
                    "Example:\n"
                    "    >>> person = quorvel.Variable(\"Person\")\n"
                    "    >>> quorvel.NodePattern(\"n\", type=person)\n"
                    "    NodePattern(variable=Some(\"n\"))\n"
                    "    >>> quorvel.NodePattern(\"p\", type_schema=\"$Person$\", properties={\"age\": 30})\n"
                    "    NodePattern(variable=Some(\"p\"))\n\n"
                    "Fields:\n"
                    "    variable: Optional variable name to bind matched nodes to\n"
                    "    type_obj: Optional exact type a node must have (internal)\n"
                    "    type_schema: Optional type schema the node's type must match\n"
                    "    properties: Property values a node must have")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(node_pattern_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<NodePatternValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<NodePatternValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<NodePatternValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(node_pattern_repr))},
    {Py_tp_methods, node_pattern_methods},
    {Py_tp_getset, node_pattern_getset},
    {0, nullptr},
};

PyType_Spec node_pattern_spec = {"quorvel.NodePattern", sizeof(py::Box<NodePatternValue>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, node_pattern_slots};

// ---- EdgePattern -----------------------------------------------------------

PyObject* edge_pattern_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref a[5];
    if (!py::bind_args("EdgePattern", args, kwargs,
                       {{"variable", false},
                        {"term", false},
                        {"term_type_schema", false},
                        {"properties", false},
                        {"direction", false}},
                       a))
        return nullptr;
    std::optional<std::string> variable;
    if (!python_to_variable(a[0].get(), "variable", variable)) return nullptr;
    // The properties are checked before the direction, as documented.
    if (a[3] && a[3].get() != Py_None && !py::check_dict(a[3].get(), "properties")) return nullptr;
    std::string direction = "forward";
    if (a[4] && !py::to_utf8(a[4].get(), "direction", direction)) return nullptr;
    EdgePatternValue v;
    if (!new_edge_pattern(std::move(variable), a[1].get(), a[2].get(), a[3].get(), std::move(direction), v))
        return nullptr;
    return py::make_object<EdgePatternValue>(cls, std::move(v)).release();
}

PyObject* edge_pattern_repr(PyObject* self) {
    const EdgePatternValue& v = py::value_of<EdgePatternValue>(self);
    std::string s = "EdgePattern(variable=";
    append_tagged_text(s, v.variable);
    s += ", direction=";
    s += v.direction;
    s += ')';
    return py::str(s).release();
}

PyObject* edge_get_variable(PyObject* self, void*) {
    return get_variable(py::value_of<EdgePatternValue>(self).variable);
}

PyObject* edge_get_direction(PyObject* self, void*) {
    return py::str(py::value_of<EdgePatternValue>(self).direction).release();
}

PyObject* edge_pattern_reduce(PyObject* self, PyObject*) {
    EdgePatternValue v;
    if (!python_to_edge_pattern(self, nullptr, v)) return nullptr;
    Ref term = v.term ? term_to_python(v.term) : Ref::borrow(Py_None);
    Ref direction = py::str(v.direction);
    Ref parts[3];
    if (!term || !direction || !common_parts(v, v.term_type_schema, parts)) return nullptr;
    return py::reduction(edge_pattern_type(),
                         {parts[0].get(), term.get(), parts[1].get(), parts[2].get(), direction.get()});
}

PyMethodDef edge_pattern_methods[] = {
    {"__reduce__", QV_ENTRY(edge_pattern_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as the constructor call that makes this pattern."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef edge_pattern_getset[] = {
    {"variable", QV_ENTRY(edge_get_variable), nullptr, "The variable matched edges are bound to, or None.", nullptr},
    {"direction", QV_ENTRY(edge_get_direction), nullptr, "The direction: \"forward\", \"backward\" or \"any\".",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot edge_pattern_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("EdgePattern(variable=None, term=None, term_type_schema=None, properties=None, "
                       "direction=...)\n--\n\n"
                       "A pattern for matching edges in a graph.\n\n"
                       "Edge patterns match edges by variable name, term, the type schema of the\n"
                       "term's type, required property values and direction.\n\n"
                       "Example:\n"
                       "    >>> quorvel.EdgePattern(\"e\", term_type_schema=\"$knows$\")\n"
                       "    EdgePattern(variable=Some(\"e\"), direction=forward)\n"
                       "    >>> quorvel.EdgePattern(direction=\"backward\")\n"
                       "    EdgePattern(variable=None, direction=backward)\n\n"
                       "Fields:\n"
                       "    variable: Optional variable name to bind matched edges to\n"
                       "    term: Optional specific term (internal)\n"
                       "    term_type_schema: Optional type schema the term's type must match\n"
                       "    properties: Property values an edge must have\n"
                       "    direction: \"forward\", \"backward\", or \"any\" (default \"forward\")")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(edge_pattern_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<EdgePatternValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<EdgePatternValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<EdgePatternValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(edge_pattern_repr))},
    {Py_tp_methods, edge_pattern_methods},
    {Py_tp_getset, edge_pattern_getset},
    {0, nullptr},
};

PyType_Spec edge_pattern_spec = {"quorvel.EdgePattern", sizeof(py::Box<EdgePatternValue>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, edge_pattern_slots};

template <class T>
bool copy_out(PyObject* obj, PyTypeObject* cls, const char* param, T& out) {
    if (!py::check_instance(obj, cls, param)) return false;
    out = py::value_of<T>(obj);
    return true;
}

}  // namespace

PyTypeObject* node_pattern_type() {
    static PyTypeObject* t = py::create_type(&node_pattern_spec);
    return t;
}

PyTypeObject* edge_pattern_type() {
    static PyTypeObject* t = py::create_type(&edge_pattern_spec);
    return t;
}

bool python_to_node_pattern(PyObject* obj, const char* param, NodePatternValue& out) {
    return copy_out(obj, node_pattern_type(), param, out);
}

bool python_to_edge_pattern(PyObject* obj, const char* param, EdgePatternValue& out) {
    return copy_out(obj, edge_pattern_type(), param, out);
}

py::Ref node_pattern_to_python(NodePatternValue v) {
    PyTypeObject* cls = node_pattern_type();
    if (!cls) return Ref();
    return py::make_object<NodePatternValue>(cls, std::move(v));
}

py::Ref edge_pattern_to_python(EdgePatternValue v) {
    PyTypeObject* cls = edge_pattern_type();
    if (!cls) return Ref();
    return py::make_object<EdgePatternValue>(cls, std::move(v));
}

}  // namespace quorvel
