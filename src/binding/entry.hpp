// The one exception boundary between C++ and the interpreter.
//
// Every function the interpreter calls (a slot, a method, a getter or
// setter) is registered through QV_ENTRY, which runs it inside a try block:
// a C++ exception never unwinds through a CPython frame. std::bad_alloc
// becomes MemoryError, a QuorvelError-free std::exception a SystemError
// carrying its text, anything else a SystemError. The function's failure
// value (null, -1) is then returned with that exception set.
//
// Code below the boundary may therefore allocate freely; it catches
// std::bad_alloc itself only where it must clean up something no destructor
// owns, or where it can say more precisely what ran out.
#pragma once

#include <type_traits>

#include "binding/ref.hpp"

namespace quorvel::py {

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void raise_current_exception() noexcept;

template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            raise_current_exception();
            if constexpr (!std::is_void_v<R>) return failure_value<R>();
        }
    }
};

template <class R, class... A, R (*F)(A...) noexcept>
struct Entry<F> {
    static R call(A... a) noexcept { return F(a...); }
};

}  // namespace quorvel::py

// The guarded form of a slot or method function `f`, with `f`'s own type.
#define QV_ENTRY(f) (&::quorvel::py::Entry<f>::call)
