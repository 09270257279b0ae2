// The Python classes NodePattern and EdgePattern. Their values never change
// after construction, so no method needs a borrow guard.
#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
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

// ---- pickles -------------------------------------------------------------
//
// A pattern pickles as the constructor call that makes it again: the
// variable, the type or term, the schema's text, the required properties as a
// new dict (the same value objects) and, for edges, the direction. What no
// constructor argument can say -- entries standing for parameters
// (`{age: $a}` in a pattern text) and the hops of a variable-length edge
// (`-[e*1..3]->`) -- makes the pickle call the class's _restore instead,
// which takes those too.

struct PickleParts {
    Ref variable, schema, properties;
    Ref parameters;  // key -> parameter name; null when no entry is a parameter
};

template <class V>
bool pickle_parts(const V& v, const std::optional<TypeSchemaValue>& schema, PickleParts& out) {
    out.variable = Ref::steal(get_variable(v.variable));
    out.schema = schema ? py::str(schema->pattern()) : Ref::borrow(Py_None);
    out.properties = Ref::steal(PyDict_New());
    if (!out.variable || !out.schema || !out.properties) return false;
    const PatternProperties& p = v.properties;
    for (std::size_t i = 0; i < p.size(); ++i) {
        PyObject* key = p.key_object(i);
        const std::string* parameter = p.parameter(i);
        if (!parameter) {
            if (PyDict_SetItem(out.properties.get(), key, p.entries()[i].second.get()) < 0) return false;
            continue;
        }
        if (!out.parameters) out.parameters = Ref::steal(PyDict_New());
        Ref name = out.parameters ? py::str(*parameter) : Ref();
        if (!name || PyDict_SetItem(out.parameters.get(), key, name.get()) < 0 ||
            PyDict_SetItem(out.properties.get(), key, Py_None) < 0)
            return false;
    }
    return true;
}

// The entries of a pickled pattern: those of `properties`, in order, the keys
// of `parameters` standing for the parameter named there.
bool restore_properties(PyObject* properties, PyObject* parameters, PatternProperties& out) {
    if (!py::check_dict(properties, "properties") || !py::check_dict(parameters, "parameters")) return false;
    return py::for_each_item(properties, [&](Ref& key, Ref& value) {
        std::string text;
        if (!py::to_utf8(key.get(), "properties", text)) return false;
        Ref name = Ref::borrow(PyDict_GetItemWithError(parameters, key.get()));
        if (!name) return !PyErr_Occurred() && out.add(std::move(text), std::move(value), std::move(key));
        std::string parameter;
        return py::to_utf8(name.get(), "parameters", parameter) &&
               out.add_parameter(std::move(text), std::move(parameter));
    });
}

// (cls._restore, args) when a pattern needs it, else (cls, args).
PyObject* pattern_reduction(PyTypeObject* cls, bool restore, std::initializer_list<PyObject*> constructor_args,
                            std::initializer_list<PyObject*> restore_args) {
    if (!restore) return py::reduction(cls, constructor_args);
    Ref rebuild = py::get_attr(reinterpret_cast<PyObject*>(cls), "_restore");
    if (!rebuild) return nullptr;
    return py::reduction(rebuild.get(), restore_args);
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
    PickleParts p;
    if (!type || !pickle_parts(v, v.type_schema, p)) return nullptr;
    return pattern_reduction(node_pattern_type(), bool(p.parameters),
                             {p.variable.get(), type.get(), p.schema.get(), p.properties.get()},
                             {p.variable.get(), type.get(), p.schema.get(), p.properties.get(),
                              p.parameters.get()});
}

PyObject* node_pattern_restore(PyObject*, PyObject* args) {
    Ref a[5];
    if (!py::bind_args("_restore", args, nullptr,
                       {{"variable"}, {"type"}, {"type_schema"}, {"properties"}, {"parameters"}}, a))
        return nullptr;
    std::optional<std::string> variable;
    NodePatternValue v;
    if (!python_to_variable(a[0].get(), "variable", variable) ||
        !new_node_pattern(std::move(variable), a[1].get(), a[2].get(), nullptr, v) ||
        !restore_properties(a[3].get(), a[4].get(), v.properties))
        return nullptr;
    return py::make_object<NodePatternValue>(node_pattern_type(), std::move(v)).release();
}

PyMethodDef node_pattern_methods[] = {
    {"__reduce__", QV_ENTRY(node_pattern_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as the constructor call that makes this pattern."},
    {"_restore", QV_ENTRY(node_pattern_restore), METH_VARARGS | METH_STATIC,
     "_restore(variable, type, type_schema, properties, parameters, /)\n--\n\n"
     "Rebuilds a pickled pattern whose properties stand for parameters."},
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
    PickleParts p;
    if (!term || !direction || !pickle_parts(v, v.term_type_schema, p)) return nullptr;
    const bool restore = p.parameters || v.hops;
    Ref hops = Ref::borrow(Py_None);  // or (min, max), max None for no bound
    if (v.hops) {
        Ref min = Ref::steal(PyLong_FromUnsignedLong(v.hops->min));
        Ref max = v.hops->max == Hops::kUnbounded ? Ref::borrow(Py_None)
                                                   : Ref::steal(PyLong_FromUnsignedLong(v.hops->max));
        hops = min && max ? Ref::steal(PyTuple_Pack(2, min.get(), max.get())) : Ref();
    }
    if (restore && !p.parameters) p.parameters = Ref::steal(PyDict_New());
    if (!hops || (restore && !p.parameters)) return nullptr;
    return pattern_reduction(
        edge_pattern_type(), restore,
        {p.variable.get(), term.get(), p.schema.get(), p.properties.get(), direction.get()},
        {p.variable.get(), term.get(), p.schema.get(), p.properties.get(), direction.get(), p.parameters.get(),
         hops.get()});
}

// (min, max) with max None for no bound, or None: one hop.
bool read_hops(PyObject* obj, std::optional<Hops>& out) {
    if (obj == Py_None) return true;
    unsigned long long min = 0, max = Hops::kUnbounded;
    PyObject* max_obj = Py_None;
    if (!PyTuple_Check(obj) || !PyArg_ParseTuple(obj, "KO", &min, &max_obj)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "argument 'hops': expected None or (min, max)");
        return false;
    }
    if (max_obj != Py_None) max = PyLong_AsUnsignedLongLong(max_obj);
    if (PyErr_Occurred() || min > max || max > Hops::kUnbounded) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "argument 'hops': expected None or (min, max)");
        return false;
    }
    out = Hops{static_cast<std::uint32_t>(min), static_cast<std::uint32_t>(max)};
    return true;
}

PyObject* edge_pattern_restore(PyObject*, PyObject* args) {
    Ref a[7];
    if (!py::bind_args("_restore", args, nullptr,
                       {{"variable"},
                        {"term"},
                        {"term_type_schema"},
                        {"properties"},
                        {"direction"},
                        {"parameters"},
                        {"hops"}},
                       a))
        return nullptr;
    std::optional<std::string> variable;
    std::string direction;
    EdgePatternValue v;
    if (!python_to_variable(a[0].get(), "variable", variable) || !py::to_utf8(a[4].get(), "direction", direction) ||
        !new_edge_pattern(std::move(variable), a[1].get(), a[2].get(), nullptr, std::move(direction), v) ||
        !restore_properties(a[3].get(), a[5].get(), v.properties) || !read_hops(a[6].get(), v.hops))
        return nullptr;
    return py::make_object<EdgePatternValue>(edge_pattern_type(), std::move(v)).release();
}

PyMethodDef edge_pattern_methods[] = {
    {"__reduce__", QV_ENTRY(edge_pattern_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as the constructor call that makes this pattern."},
    {"_restore", QV_ENTRY(edge_pattern_restore), METH_VARARGS | METH_STATIC,
     "_restore(variable, term, term_type_schema, properties, direction, parameters, hops, /)\n--\n\n"
     "Rebuilds a pickled pattern with parameters or a variable-length edge."},
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
