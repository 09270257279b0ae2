#include "text/py_literal.hpp"

#include "binding/args.hpp"

namespace quorvel {

using py::Ref;

Ref literal_to_python(const text::Literal& lit) {
    using K = text::Literal::Kind;
    switch (lit.kind) {
        case K::Null:
            return Ref::borrow(Py_None);
        case K::Bool:
            return Ref::borrow(lit.b ? Py_True : Py_False);
        case K::Int:
            return Ref::steal(PyLong_FromString(lit.text.c_str(), nullptr, 10));
        case K::Float:
            return Ref::steal(PyFloat_FromDouble(lit.f));
        case K::String:
            return py::str(lit.text);
        case K::List: {
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return list;
            for (const text::Literal& item : lit.items) {
                Ref v = literal_to_python(item);
                if (!v || PyList_Append(list.get(), v.get()) < 0) return Ref();
            }
            return list;
        }
        case K::Parameter:
            // Parameters are replaced by their values before anything is built.
            PyErr_Format(PyExc_ValueError, "parameter $%s has no value", lit.text.c_str());
            return Ref();
    }
    return Ref::borrow(Py_None);
}

}  // namespace quorvel
