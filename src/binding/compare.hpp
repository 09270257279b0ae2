// Python comparisons as Python code spells them. PyObject_RichCompareBool
// answers "equal" for an object compared with itself without asking it;
// `==` in Python asks, so NaN differs from itself and a raising __eq__ raises.
#pragma once

#include "binding/ref.hpp"

namespace quorvel::py {

// The truth of `a <op> b`: 1, 0, or -1 with an exception set. Both operands
// are held for the call, since the comparison may run arbitrary code.
inline int compare(PyObject* a, PyObject* b, int op) {
    Ref left = Ref::borrow(a), right = Ref::borrow(b);
    Ref result = Ref::steal(PyObject_RichCompare(left.get(), right.get(), op));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

inline int equal(PyObject* a, PyObject* b) {
    return compare(a, b, Py_EQ);
}

}  // namespace quorvel::py
