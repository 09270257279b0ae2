// UTF-8 of Python str objects for the writers, lone surrogates included.
#pragma once

#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace quorvel {

// The str's text as UTF-8, a lone surrogate as its three-byte encoding (which
// json::append_string escapes). The view lives as long as `s` and `scratch`.
bool str_bytes(PyObject* s, std::string& scratch, std::string_view& out);

// A str from such bytes.
inline py::Ref str_from_bytes(std::string_view bytes) {
    return py::Ref::steal(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass"));
}

}  // namespace quorvel
