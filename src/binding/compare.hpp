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

// Values whose ==, ordering, truth and hashing are the interpreter's own,
// running no Python code: exact str, int, float and bool, and None.
inline bool plain_value(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || v == Py_None;
}

// Both exact ints that fit a long: their values, with no call into Python.
inline bool both_longs(PyObject* a, PyObject* b, long& x, long& y) noexcept {
    if (Py_TYPE(a) != &PyLong_Type || Py_TYPE(b) != &PyLong_Type) return false;
    int over_a = 0, over_b = 0;
    x = PyLong_AsLongAndOverflow(a, &over_a);
    y = PyLong_AsLongAndOverflow(b, &over_b);
    return !over_a && !over_b;
}

// a == b for two plain values: 1, 0, or -1 with an exception set.
inline int plain_equal(PyObject* a, PyObject* b) {
    // Every plain value but a float equals itself (NaN does not).
    if (a == b && Py_TYPE(a) != &PyFloat_Type) return 1;
    PyTypeObject* ta = Py_TYPE(a);
    PyTypeObject* tb = Py_TYPE(b);
    if (ta == &PyUnicode_Type && tb == &PyUnicode_Type)
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
    if (ta == &PyFloat_Type && tb == &PyFloat_Type) return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    if (long x, y; both_longs(a, b, x, y)) return x == y;  // larger ints as Python compares them
    return compare(a, b, Py_EQ);
}

}  // namespace quorvel::py
