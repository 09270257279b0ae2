#include "binding/args.hpp"

#include <vector>

namespace quorvel::py {

void raise_arg_type(const char* param, const char* expected, PyObject* got) {
    if (param)
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", param, expected,
                     Py_TYPE(got)->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "expected %s, got %s", expected, Py_TYPE(got)->tp_name);
}

bool bind_args(const char* func, PyObject* args, PyObject* kwargs, std::initializer_list<Param> params,
               Ref* out, Ref* rest) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    std::size_t n_positional = 0;
    for (const Param& p : params)
        if (!p.keyword_only) ++n_positional;

    Py_ssize_t taken = nargs;
    if (static_cast<std::size_t>(nargs) > n_positional) {
        if (!rest) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", func,
                         n_positional, n_positional == 1 ? "" : "s", nargs);
            return false;
        }
        taken = static_cast<Py_ssize_t>(n_positional);
    }
    std::size_t i = 0;
    for (const Param& p : params) {
        (void)p;
        if (static_cast<Py_ssize_t>(i) < taken) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
        ++i;
    }
    if (rest) {
        *rest = Ref::steal(PyTuple_GetSlice(args, taken, nargs));
        if (!*rest) return false;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        // kwargs is a fresh dict owned by the call; keys are str.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            std::size_t j = 0;
            bool found = false;
            for (const Param& p : params) {
                if (PyUnicode_CompareWithASCIIString(key, p.name) == 0) {
                    if (!p.keyword_only && static_cast<Py_ssize_t>(j) < taken) {
                        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                                     func, p.name, j + 1);
                        return false;
                    }
                    out[j] = Ref::borrow(value);
                    found = true;
                    break;
                }
                ++j;
            }
            if (!found) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
                return false;
            }
        }
    }
    i = 0;
    for (const Param& p : params) {
        if (p.required && !out[i]) {
            if (p.keyword_only)
                PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", func, p.name);
            else
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, p.name, i + 1);
            return false;
        }
        ++i;
    }
    return true;
}

bool bind_no_args(const char* func, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n = (args ? PyTuple_GET_SIZE(args) : 0) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0);
    if (n == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", func, n);
    return false;
}

bool to_utf8_view(PyObject* o, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_arg_type(param, "str", o);
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = std::string_view(s, static_cast<std::size_t>(n));
    return true;
}

bool to_utf8(PyObject* o, const char* param, std::string& out) {
    std::string_view v;
    if (!to_utf8_view(o, param, v)) return false;
    out.assign(v);
    return true;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
    if (!PyBool_Check(o)) {
        raise_arg_type(param, "bool", o);
        return false;
    }
    out = o == Py_True;
    return true;
}

bool check_dict(PyObject* o, const char* param) {
    if (PyDict_Check(o)) return true;
    raise_arg_type(param, "dict", o);
    return false;
}

bool to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    if (!PyLong_Check(o) || PyBool_Check(o)) {
        raise_arg_type(param, "int", o);
        return false;
    }
    int overflow = 0;
    long long signed_value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (signed_value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': must be a non-negative integer", param);
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "argument '%s': integer does not fit in 64 bits", param);
        return false;
    }
    out = v;
    return true;
}

bool check_instance(PyObject* o, PyTypeObject* type, const char* param) {
    if (PyObject_TypeCheck(o, type)) return true;
    raise_arg_type(param, type->tp_name, o);
    return false;
}

Ref get_attr(PyObject* obj, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return Ref();
    return Ref::steal(PyObject_GetAttr(obj, key.get()));
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) {
    Ref method = get_attr(obj, name);
    if (!method) return Ref();
    std::vector<PyObject*> vector(args);
    return Ref::steal(PyObject_Vectorcall(method.get(), vector.data(), vector.size(), nullptr));
}

bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

void raise_borrow_conflict(const char* class_name) {
    PyErr_Format(PyExc_RuntimeError, "%s object is already in use", class_name);
}

}  // namespace quorvel::py
