#include "binding/pyclass.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"

#include <cstring>
#include <exception>
#include <new>

namespace quorvel::py {

PyTypeObject* create_type(PyType_Spec* spec) {
    // Slot tables name their class "quorvel.X" so that __module__ is set
    // from the start; the type's own name is then the bare class name.
    Ref t = Ref::steal(PyType_FromSpec(spec));
    if (!t) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(t.get());
    if (const char* dot = std::strrchr(spec->name, '.')) type->tp_name = dot + 1;
    return reinterpret_cast<PyTypeObject*>(t.release());
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory");
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

PyObject* reduction(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* state) {
    Ref arg_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!arg_tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* a : args) PyTuple_SET_ITEM(arg_tuple.get(), i++, new_ref(a));
    return state ? PyTuple_Pack(3, callable, arg_tuple.get(), state) : PyTuple_Pack(2, callable, arg_tuple.get());
}

}  // namespace quorvel::py
