// Argument binding and conversion. Refusals are TypeErrors worded like
// Python's own argument handling and name the parameter concerned.
#pragma once

#include "binding/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvel::py {

struct Param {
    const char* name;
    bool required = true;
    bool keyword_only = false;
};

// Binds positional and keyword arguments to `params`, in order, storing owned
// references in `out` (null where an optional parameter was not given). With
// `rest`, surplus positional arguments are collected there as a tuple
// (a `*variables` parameter); without it they are an error.
bool bind_args(const char* func, PyObject* args, PyObject* kwargs, std::initializer_list<Param> params,
               Ref* out, Ref* rest = nullptr);

// Refuses any argument at all (for "Graph()" and similar).
bool bind_no_args(const char* func, PyObject* args, PyObject* kwargs);

// "argument 'name': expected str, got int"
void raise_arg_type(const char* param, const char* expected, PyObject* got);

// str -> UTF-8 (embedded NULs kept). A str that cannot be encoded (a lone
// surrogate) raises UnicodeEncodeError.
bool to_utf8(PyObject* o, const char* param, std::string& out);
bool to_utf8_view(PyObject* o, const char* param, std::string_view& out);  // valid while o lives
// Only True and False are accepted.
bool to_bool(PyObject* o, const char* param, bool& out);
// A dict or dict subclass.
bool check_dict(PyObject* o, const char* param);
// An int in 0 .. 2**64-1.
bool to_u64(PyObject* o, const char* param, std::uint64_t& out);
// An instance of `type` (or a subclass). With a null `param` the message
// only names the class expected.
bool check_instance(PyObject* o, PyTypeObject* type, const char* param);

// Attribute lookups and method calls by a name given as C text. The name
// goes in as an interned str: the interpreter's type attribute cache keeps
// the last name looked up in each of its slots, and a new str made for every
// call would linger there.
Ref get_attr(PyObject* obj, const char* name);
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {});

// UTF-8 text to a new str.
inline Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

// A method taking (self, args, kwargs), as a method table entry wants it.
template <class F>
PyCFunction keyword_method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Setters get a null value on `del obj.attr`.
bool refuse_delete(PyObject* value);

}  // namespace quorvel::py
