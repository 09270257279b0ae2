// Literals as Python values: where-conditions compare against them and pattern
// property maps store them.
#pragma once

#include "binding/ref.hpp"
#include "text/literal.hpp"

namespace quorvel {

// A new Python value (lists are new lists every time: user __eq__ code
// receives them and may change them). Null with an exception set on failure.
py::Ref literal_to_python(const text::Literal& lit);

}  // namespace quorvel
