// The generic object box of every class: the Python header, the borrow flag
// and one C++ value, plus the slot functions every box needs (allocation,
// dealloc, GC traverse/clear).
//
// A value type T that holds Python objects provides
//     int traverse(visitproc visit, void* arg) const;   // visit every held object
//     void clear();                                      // drop them (tp_clear)
// and its class is created with Py_TPFLAGS_HAVE_GC.
#pragma once

#include "binding/borrow.hpp"
#include "binding/ref.hpp"

#include <initializer_list>
#include <new>
#include <utility>

namespace quorvel::py {

template <class T>
struct Box {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

template <class T>
inline Box<T>* box(PyObject* o) noexcept {
    return reinterpret_cast<Box<T>*>(o);
}
template <class T>
inline T& value_of(PyObject* o) noexcept {
    return box<T>(o)->value;
}

// Allocates an instance of `type` and constructs its value in place.
template <class T, class... A>
Ref make_object(PyTypeObject* type, A&&... a) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return Ref();
    auto* b = box<T>(o);
    new (&b->borrow) BorrowFlag();
    try {
        new (&b->value) T(std::forward<A>(a)...);
    } catch (...) {
        // The value was never built: free the raw object without running
        // dealloc, and let the entry boundary report the failure.
        PyTypeObject* tp = Py_TYPE(o);
        if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(o);
        tp->tp_free(o);
        Py_DECREF(tp);
        throw;
    }
    return Ref::steal(o);
}

template <class T>
void dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(o);
    box<T>(o)->value.~T();
    tp->tp_free(o);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

template <class T>
int traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    return box<T>(o)->value.traverse(visit, arg);
}

template <class T>
int clear(PyObject* o) {
    box<T>(o)->value.clear();
    return 0;
}

// __copy__ and __deepcopy__ of a class whose objects cannot change: the
// copy is the object itself.
inline PyObject* same_object(PyObject* self, PyObject*) { return new_ref(self); }

// The value of __reduce__: (callable, args) or, with a state, (callable,
// args, state). Every object passed must be non-null.
PyObject* reduction(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* state = nullptr);
inline PyObject* reduction(PyTypeObject* cls, std::initializer_list<PyObject*> args, PyObject* state = nullptr) {
    return reduction(reinterpret_cast<PyObject*>(cls), args, state);
}

// Builds a heap type from its slot table; the bare class name is the type's
// name, `__module__` says where it lives.
PyTypeObject* create_type(PyType_Spec* spec);

}  // namespace quorvel::py
