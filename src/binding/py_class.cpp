#include "binding/pyclass.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"

#include <cstring>
#include <string_view>
#include <exception>
#include <new>

namespace quorvel::py {

namespace {

// A static method's function gets no __module__ of its own; with one, pickle
// names it (as Application._from_table does in pickles of types) instead of
// searching every loaded module for it on each call.
bool name_module_of_static_methods(PyObject* type, const PyType_Spec* spec, std::string_view module) {
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(module.data(), static_cast<Py_ssize_t>(module.size())));
    if (!name) return false;
    for (const PyType_Slot* slot = spec->slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_methods) continue;
        for (const auto* def = static_cast<const PyMethodDef*>(slot->pfunc); def->ml_name; ++def) {
            if (!(def->ml_flags & METH_STATIC)) continue;
            Ref function = get_attr(type, def->ml_name);
            if (!function || PyObject_SetAttrString(function.get(), "__module__", name.get()) < 0) return false;
        }
    }
    return true;
}

}  // namespace

PyTypeObject* create_type(PyType_Spec* spec) {
    // Slot tables name their class "quorvel.X" so that __module__ is set
    // from the start; the type's own name is then the bare class name.
    Ref t = Ref::steal(PyType_FromSpec(spec));
    if (!t) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(t.get());
    if (const char* dot = std::strrchr(spec->name, '.')) {
        type->tp_name = dot + 1;
        if (!name_module_of_static_methods(t.get(), spec, std::string_view(spec->name, dot - spec->name)))
            return nullptr;
    }
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
