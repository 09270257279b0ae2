// Module entry point: creates the module once per process and registers the
// classes, in a fixed order that is also the order of __all__.
#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "graph/py_graph.hpp"
#include "patterns/py_patterns.hpp"
#include "persist/py_persist.hpp"
#include "query/py_query.hpp"
#include "term/py_term.hpp"
#include "type_schema/py_type_schema.hpp"
#include "types/py_types.hpp"

namespace quorvel {
namespace {

using py::Ref;

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

// Classes join this table as they are built; the order is fixed.
const ClassEntry classes[] = {
    {"Variable", variable_type},
    {"Application", application_type},
    {"Term", term_type},
    {"Node", node_type},
    {"Edge", edge_type},
    {"Graph", graph_type},
    {"TypeSchema", type_schema_type},
    {"NodePattern", node_pattern_type},
    {"EdgePattern", edge_pattern_type},
    {"PathPattern", path_pattern_type},
    {"Query", query_type},
};

// Functions follow the classes in __all__.
PyMethodDef functions[] = {
    {"parse_type", py::keyword_method(QV_ENTRY(parse_type)), METH_VARARGS | METH_KEYWORDS,
     "parse_type(text)\n--\n\n"
     "Reads a type from its printed form: parse_type(str(t)) == t.\n\n"
     "\"A\" is a variable and \"(A -> B)\" an application; white space around names,\n"
     "arrows and parentheses is free, and the outermost arrow may go without\n"
     "parentheses. A name runs up to \"(\", \")\" or \"->\" and keeps inner white\n"
     "space (\"Big Company\"), so names holding those, the empty name and names\n"
     "with white space at either end do not read back; save such types in a\n"
     "graph file instead.\n\n"
     "Raises:\n"
     "    ValueError: for malformed text and for two arrows at one level\n"
     "        (\"A -> B -> C\"), with the position"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* module_cell = nullptr;  // set once, never emptied

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel",
    "Type theoretical graph modeling.\n\n"
    "This module exposes the core classes and functionality of quorvel to Python,\n"
    "including the type system, graph components, and query mechanisms.\n\n"
    "# Classes Exposed\n\n"
    "- `Variable`: Type variables\n"
    "- `Application`: Application types (A -> B)\n"
    "- `Term`: Typed terms\n"
    "- `Node`: Graph nodes with types\n"
    "- `Edge`: Graph edges with terms\n"
    "- `Graph`: The main graph structure\n"
    "- `TypeSchema`: Type pattern matching\n"
    "- `NodePattern`, `EdgePattern`, `PathPattern`: Query patterns\n"
    "- `Query`: Cypher-like query builder\n\n"
    "# Functions Exposed\n\n"
    "- `parse_type`: Reads a type from its printed form\n",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_to_all(PyObject* module, const char* name) {
    Ref all = Ref::borrow(PyDict_GetItemString(PyModule_GetDict(module), "__all__"));
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    Ref text = py::str(name);
    return text && PyList_Append(all.get(), text.get()) == 0;
}

bool register_class(PyObject* module, const ClassEntry& entry) {
    PyObject* type = reinterpret_cast<PyObject*>(entry.type());
    if (!type) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot create the type %s", entry.name);
        return false;
    }
    if (!add_to_all(module, entry.name)) return false;
    return PyModule_AddObjectRef(module, entry.name, type) == 0;
}

}  // namespace
}  // namespace quorvel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorvel() {
    using namespace quorvel;
    if (module_cell) {
        PyErr_SetString(PyExc_ImportError, "quorvel may only be initialized once per interpreter process");
        return nullptr;
    }
    try {
        Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
        if (!module) return nullptr;
        for (const ClassEntry& entry : classes)
            if (!register_class(module.get(), entry)) return nullptr;
        for (const PyMethodDef* f = functions; f->ml_name; ++f)
            if (!add_to_all(module.get(), f->ml_name)) return nullptr;
        if (PyModule_AddStringConstant(module.get(), "__version__", QUORVEL_VERSION) < 0) return nullptr;
        module_cell = module.clone().release();
        return module.release();
    } catch (...) {
        py::raise_current_exception();
        return nullptr;
    }
}
