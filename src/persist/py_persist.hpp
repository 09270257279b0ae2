// Python entry points for saving, loading and exchanging graphs, and for
// reading types from text; the classes' method tables and the module's
// function table refer to them.
#pragma once

#include "binding/ref.hpp"

namespace quorvel {

// Graph methods.
PyObject* graph_reduce(PyObject* self, PyObject*);
PyObject* graph_setstate(PyObject* self, PyObject* state);
PyObject* graph_to_json(PyObject* self, PyObject*);
PyObject* graph_from_json(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* graph_save(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* graph_load(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* graph_to_networkx(PyObject* self, PyObject*);
PyObject* graph_from_networkx(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* graph_to_dot(PyObject* self, PyObject* args, PyObject* kwargs);

// quorvel.parse_type(text).
PyObject* parse_type(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace quorvel
