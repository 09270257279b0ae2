#include "persist/py_text.hpp"

namespace quorvel {

bool str_bytes(PyObject* s, std::string& scratch, std::string_view& out) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n)) {
        out = std::string_view(utf8, static_cast<std::size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    py::Ref bytes = py::Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    scratch.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    out = scratch;
    return true;
}

}  // namespace quorvel
