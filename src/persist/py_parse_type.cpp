// quorvel.parse_type(text).
#include <new>

#include "binding/args.hpp"
#include "persist/py_persist.hpp"
#include "persist/type_text.hpp"
#include "types/py_types.hpp"

namespace quorvel {

PyObject* parse_type(PyObject*, PyObject* args, PyObject* kwargs) {
    py::Ref text;
    if (!py::bind_args("parse_type", args, kwargs, {{"text"}}, &text)) return nullptr;
    std::string_view view;
    if (!py::to_utf8_view(text.get(), "text", view)) return nullptr;
    TypeTextResult result = parse_type_text(view);
    if (const TypeTextError* error = std::get_if<TypeTextError>(&result)) {
        PyErr_Format(PyExc_ValueError, "Invalid type text: %s at position %zu", error->reason,
                     char_position(view, error->offset));
        return nullptr;
    }
    return type_to_python(std::get<TypeRef>(result)).release();
}

}  // namespace quorvel
