#pragma once

#include "binding/ref.hpp"
#include "term/term.hpp"

namespace quorvel {

struct TermValue {
    TermRef term;
};

PyTypeObject* term_type();

// Copies the term out of a Term object; anything else is refused with a
// TypeError naming `param` (or only the class, when `param` is null).
bool python_to_term(PyObject* obj, const char* param, TermRef& out);

py::Ref term_to_python(TermRef t);

}  // namespace quorvel
