#include "errors/py_errors.hpp"

#include "binding/args.hpp"

namespace quorvel {

PyObject* raise(const QuorvelError& err) {
    PyObject* type = PyExc_ValueError;
    switch (err.python_kind()) {
        case QuorvelError::PyKind::TypeError: type = PyExc_TypeError; break;
        case QuorvelError::PyKind::KeyError: type = PyExc_KeyError; break;
        case QuorvelError::PyKind::ValueError: type = PyExc_ValueError; break;
        case QuorvelError::PyKind::AttributeError: type = PyExc_AttributeError; break;
        case QuorvelError::PyKind::NameError: type = PyExc_NameError; break;
    }
    py::Ref msg = py::str(err.display());
    if (!msg) return nullptr;
    // A one-element tuple keeps a tuple-looking message from being unpacked
    // into several arguments.
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, msg.get()));
    if (!args) return nullptr;
    PyErr_SetObject(type, args.get());
    return nullptr;
}

PyObject* raise_missing_parameter(const std::string& name, const char* context) {
    PyErr_Format(PyExc_NameError, "Parameter '%s' has no value (%s)", name.c_str(), context);
    return nullptr;
}

}  // namespace quorvel
