// The Python class PathPattern. Unlike the node and edge patterns it changes
// (add_node, add_edge), so readers hold a shared borrow and the two mutators
// an exclusive one: building the fresh objects a getter returns may run a
// finalizer, and that finalizer must not grow the vectors being read.
#include <new>

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "patterns/py_patterns.hpp"

namespace quorvel {

using py::Ref;

namespace {

constexpr const char* kClassName = "PathPattern";

py::Box<PathPatternValue>* box_of(PyObject* self) {
    return py::box<PathPatternValue>(self);
}

PyObject* make(PyTypeObject* cls, PathPatternValue v) {
    return py::make_object<PathPatternValue>(cls, std::move(v)).release();
}

PyObject* parse_into_object(PyTypeObject* cls, PyObject* text_obj) {
    std::string_view text;
    if (!py::to_utf8_view(text_obj, "pattern", text)) return nullptr;
    PathPatternValue v;
    if (!parse_path_pattern(text, v)) return nullptr;
    return make(cls, std::move(v));
}

PyObject* path_pattern_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref pattern;
    if (!py::bind_args(kClassName, args, kwargs, {{"pattern", false}}, &pattern)) return nullptr;
    if (!pattern || pattern.get() == Py_None) return make(cls, PathPatternValue());
    return parse_into_object(cls, pattern.get());
}

// A fast call: the usual spelling, one positional argument, makes no
// argument tuple. Any other goes through the common binder, for its messages.
PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref pattern;
    if (nargs == 1 && !kwnames) {
        pattern = Ref::borrow(args[0]);
    } else {
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
        Ref kwargs;
        if (kwnames) {
            kwargs = Ref::steal(PyDict_New());
            if (!kwargs) return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                    return nullptr;
        }
        if (!py::bind_args("parse", tuple.get(), kwargs.get(), {{"pattern"}}, &pattern)) return nullptr;
    }
    PyTypeObject* cls = path_pattern_type();
    if (!cls) return nullptr;
    return parse_into_object(cls, pattern.get());
}

// Appends a copy of the pattern object's value to `list`, then returns a new
// PathPattern holding a copy of the whole path.
template <class T>
PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs, const char* func, PyTypeObject* item_cls,
              std::vector<T> PathPatternValue::*list) {
    Ref item;
    if (!py::bind_args(func, args, kwargs, {{"pattern"}}, &item)) return nullptr;
    if (!item_cls || !py::check_instance(item.get(), item_cls, "pattern")) return nullptr;
    py::ExclusiveGuard guard(box_of(self)->borrow, kClassName);
    if (!guard) return nullptr;
    PathPatternValue& path = box_of(self)->value;
    (path.*list).push_back(py::value_of<T>(item.get()));
    return make(Py_TYPE(self), path);
}

PyObject* add_node(PyObject* self, PyObject* args, PyObject* kwargs) {
    return add(self, args, kwargs, "add_node", node_pattern_type(), &PathPatternValue::nodes);
}

PyObject* add_edge(PyObject* self, PyObject* args, PyObject* kwargs) {
    return add(self, args, kwargs, "add_edge", edge_pattern_type(), &PathPatternValue::edges);
}

template <class T>
PyObject* list_of(PyObject* self, std::vector<T> PathPatternValue::*list, Ref (*to_python)(T)) {
    py::SharedGuard guard(box_of(self)->borrow, kClassName);
    if (!guard) return nullptr;
    const std::vector<T>& items = box_of(self)->value.*list;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref obj = to_python(items[i]);
        if (!obj) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), obj.release());
    }
    return out.release();
}

PyObject* get_nodes(PyObject* self, void*) {
    return list_of(self, &PathPatternValue::nodes, node_pattern_to_python);
}
PyObject* get_edges(PyObject* self, void*) {
    return list_of(self, &PathPatternValue::edges, edge_pattern_to_python);
}

// Pickles as PathPattern() with the two lists of patterns as state, which
// __setstate__ takes back: add_node and add_edge would copy the whole path
// once per pattern.
PyObject* path_pattern_reduce(PyObject* self, PyObject*) {
    Ref nodes = Ref::steal(get_nodes(self, nullptr));
    if (!nodes) return nullptr;
    Ref edges = Ref::steal(get_edges(self, nullptr));
    if (!edges) return nullptr;
    Ref state = Ref::steal(PyTuple_Pack(2, nodes.get(), edges.get()));
    if (!state) return nullptr;
    return py::reduction(Py_TYPE(self), {}, state.get());
}

template <class T>
bool values_of(PyObject* list, PyTypeObject* cls, std::vector<T>& out) {
    Ref items = Ref::steal(PySequence_Tuple(list));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!cls || !py::check_instance(item, cls, "state")) return false;
        out.push_back(py::value_of<T>(item));
    }
    return true;
}

PyObject* path_pattern_setstate(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
        PyErr_SetString(PyExc_TypeError, "PathPattern state must be a (nodes, edges) tuple");
        return nullptr;
    }
    PathPatternValue v;
    if (!values_of(PyTuple_GET_ITEM(state, 0), node_pattern_type(), v.nodes) ||
        !values_of(PyTuple_GET_ITEM(state, 1), edge_pattern_type(), v.edges))
        return nullptr;
    py::ExclusiveGuard guard(box_of(self)->borrow, kClassName);
    if (!guard) return nullptr;
    std::swap(box_of(self)->value, v);
    return py::none();  // the old patterns go with `v`, after the guard
}

PyObject* path_pattern_repr(PyObject* self) {
    py::SharedGuard guard(box_of(self)->borrow, kClassName);
    if (!guard) return nullptr;
    const PathPatternValue& v = box_of(self)->value;
    return PyUnicode_FromFormat("PathPattern(%zu nodes, %zu edges)", v.nodes.size(), v.edges.size());
}

PyMethodDef path_pattern_methods[] = {
    {"parse", py::keyword_method(QV_ENTRY(parse)), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse(pattern)\n--\n\n"
     "Parses a Cypher-like pattern string into a PathPattern.\n\n"
     "Supported syntax:\n"
     "    (variable), (variable:Type), (:Type), ()       nodes\n"
     "    -[variable]->, <-[variable]-, -[variable]-     forward, backward, any edges\n"
     "    -[variable:schema]->                            typed edges\n\n"
     "Args:\n    pattern: The pattern text, e.g. \"(n:Person)-[e:knows]->(m:Person)\"\n\n"
     "Raises:\n    ValueError: If the pattern is empty, malformed, or has syntax errors"},
    {"add_node", py::keyword_method(QV_ENTRY(add_node)), METH_VARARGS | METH_KEYWORDS,
     "add_node($self, pattern)\n--\n\n"
     "Adds a node pattern to the path.\n\n"
     "Returns:\n    A clone of self with the added node, for method chaining"},
    {"add_edge", py::keyword_method(QV_ENTRY(add_edge)), METH_VARARGS | METH_KEYWORDS,
     "add_edge($self, pattern)\n--\n\n"
     "Adds an edge pattern to the path.\n\n"
     "Returns:\n    A clone of self with the added edge, for method chaining"},
    {"__reduce__", QV_ENTRY(path_pattern_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as PathPattern() with its node and edge patterns as state."},
    {"__setstate__", QV_ENTRY(path_pattern_setstate), METH_O,
     "__setstate__($self, state, /)\n--\n\nTakes the node and edge patterns of a pickled path pattern."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef path_pattern_getset[] = {
    {"nodes", QV_ENTRY(get_nodes), nullptr, "The node patterns, in order (a new list of copies).", nullptr},
    {"edges", QV_ENTRY(get_edges), nullptr, "The edge patterns, in order (a new list of copies).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot path_pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>("PathPattern(pattern=None)\n--\n\n"
                                  "A path pattern: a sequence of node patterns joined by edge patterns.\n\n"
                                  "Path patterns are built programmatically with add_node and add_edge, or\n"
                                  "parsed from Cypher-like strings.\n\n"
                                  "Syntax:\n"
                                  "    Nodes: (variable), (variable:Type), (:Type), ()\n"
                                  "    Edges: -[variable]-> (forward), <-[variable]- (backward),\n"
                                  "           -[variable]- (any)\n"
                                  "    Typed edges: -[var:schema]->\n\n"
                                  "Example:\n"
                                  "    >>> quorvel.PathPattern(\"(n:Person)-[e:knows]->(m:Person)\")\n"
                                  "    PathPattern(2 nodes, 1 edges)\n"
                                  "    >>> quorvel.PathPattern().add_node(quorvel.NodePattern(\"n\"))\n"
                                  "    PathPattern(1 nodes, 0 edges)\n\n"
                                  "Fields:\n"
                                  "    nodes: The node patterns\n"
                                  "    edges: The edge patterns")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(path_pattern_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<PathPatternValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<PathPatternValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<PathPatternValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(path_pattern_repr))},
    {Py_tp_methods, path_pattern_methods},
    {Py_tp_getset, path_pattern_getset},
    {0, nullptr},
};

PyType_Spec path_pattern_spec = {"quorvel.PathPattern", sizeof(py::Box<PathPatternValue>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, path_pattern_slots};

}  // namespace

PyTypeObject* path_pattern_type() {
    static PyTypeObject* t = py::create_type(&path_pattern_spec);
    return t;
}

bool python_to_path_pattern(PyObject* obj, const char* param, PathPatternValue& out) {
    if (!py::check_instance(obj, path_pattern_type(), param)) return false;
    py::SharedGuard guard(box_of(obj)->borrow, kClassName);
    if (!guard) return false;
    out = box_of(obj)->value;
    return true;
}

py::Ref path_pattern_to_python(PathPatternValue v) {
    PyTypeObject* cls = path_pattern_type();
    if (!cls) return Ref();
    return py::make_object<PathPatternValue>(cls, std::move(v));
}

}  // namespace quorvel
