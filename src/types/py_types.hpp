// The Python classes Variable and Application, and the two conversions
// between them and Type values used by every class that takes or hands out a
// type.
#pragma once

#include "binding/ref.hpp"
#include "types/type.hpp"

namespace quorvel {

struct TypeValue {
    TypeRef type;
};

PyTypeObject* variable_type();
PyTypeObject* application_type();

// Variable or Application object -> Type; anything else raises
// TypeError "Expected Variable or Application".
bool python_to_type(PyObject* obj, TypeRef& out);

// Type -> a new Variable or Application object.
py::Ref type_to_python(const TypeRef& t);

// Shared rich comparison of the three value classes: == by `equal` on two
// objects of `cls`, NotImplemented otherwise; != is the negation of Python's
// == on the same operands; ordering is NotImplemented.
PyObject* value_richcompare(PyObject* self, PyObject* other, int op, PyTypeObject* cls,
                            bool (*equal)(PyObject*, PyObject*));

}  // namespace quorvel
