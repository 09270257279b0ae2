// What the interpreter knows about a dict's keys without looking at them.
//
// A lookup of an exact str key runs no Python code when every key of the
// dict is an exact str (only str's own comparison is ever called); otherwise
// a key with a matching hash could run its own __eq__. CPython 3.11 records
// "every key an exact str" in the dict's keys table; elsewhere the question
// is answered conservatively (no).
#pragma once

#include <cstdint>

#include "binding/ref.hpp"

namespace quorvel::py {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
namespace detail {
// The head of CPython 3.11's dict keys table (Include/internal/pycore_dict.h).
struct KeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // 0: any keys; 1, 2: exact str keys only
};
}  // namespace detail

inline bool keys_are_exact_str(PyObject* dict) noexcept {
    const auto* head =
        reinterpret_cast<const detail::KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return head->kind != 0;
}
#else
inline bool keys_are_exact_str(PyObject*) noexcept {
    return false;
}
#endif

}  // namespace quorvel::py
