#include "persist/py_type_table.hpp"

#include "binding/args.hpp"
#include "binding/ticker.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

Ref type_table_to_list(const TypeTable& table) {
    Py_ssize_t n = 0;
    for (std::size_t i = 0; i < table.size(); ++i) n += table.is_application(i) ? 2 : 1;
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return Ref();
    Py_ssize_t at = 0;
    py::Ticker signals;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!signals()) return Ref();
        if (table.is_application(i)) {
            for (std::uint32_t part : {table.left(i), table.right(i)}) {
                PyObject* index = PyLong_FromUnsignedLong(part);
                if (!index) return Ref();
                PyList_SET_ITEM(list.get(), at++, index);
            }
        } else {
            Ref name = py::str(table.name(i));
            if (!name) return Ref();
            PyList_SET_ITEM(list.get(), at++, name.release());
        }
    }
    return list;
}

namespace {

bool malformed(const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed type table: %s", what);
    return false;
}

bool read_index(PyObject* item, std::uint64_t& out) {
    if (!PyLong_CheckExact(item)) return malformed("an entry is neither a name nor an index");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow || v < 0) return malformed("an index is out of range");
    out = static_cast<std::uint64_t>(v);
    return true;
}

}  // namespace

bool type_table_from_list(PyObject* obj, TypeTableReader& out) {
    // A list could be changed by code run from here (a finalizer); a tuple
    // copy of it cannot.
    Ref items = Ref::steal(PySequence_Tuple(obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    py::Ticker signals;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!signals()) return false;
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (PyUnicode_CheckExact(item)) {
            std::string name;
            if (!py::to_utf8(item, "table", name)) return false;
            out.add_variable(std::move(name));
            continue;
        }
        std::uint64_t left, right;
        if (!read_index(item, left)) return false;
        if (++i == n) return malformed("an application lacks its right part");
        if (!read_index(PyTuple_GET_ITEM(items.get(), i), right)) return false;
        if (!out.add_application(left, right)) return malformed("an application names a later entry");
    }
    return true;
}

PyObject* type_from_table(PyObject*, PyObject* table) {
    if (!PyList_Check(table) && !PyTuple_Check(table)) {
        py::raise_arg_type("table", "list", table);
        return nullptr;
    }
    TypeTableReader types;
    if (!type_table_from_list(table, types)) return nullptr;
    if (types.size() == 0) {
        malformed("it is empty");
        return nullptr;
    }
    return type_to_python(types[types.size() - 1]).release();
}

}  // namespace quorvel
