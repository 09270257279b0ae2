#pragma once

#include "binding/ref.hpp"
#include "errors/error.hpp"

namespace quorvel {

// Sets the mapped Python exception with the error's display text as its only
// argument. Always returns null so callers can `return raise(err);`.
PyObject* raise(const QuorvelError& err);

// NameError "Parameter 'name' has no value (context)": a $name placeholder
// with no value when the queue runs. Returns null.
PyObject* raise_missing_parameter(const std::string& name, const char* context);

}  // namespace quorvel
