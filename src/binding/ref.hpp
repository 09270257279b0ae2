// Owned references. Every reference count the module changes goes through this
// file: `Ref` owns one reference and drops it in its destructor; a raw
// PyObject* elsewhere is a borrowed view that must not outlive the call that
// lent it, and never survives a call that can run Python code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        std::swap(p_, tmp.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null: the call failed).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to Python).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref clone() const noexcept { return borrow(p_); }
    // Drops the reference now; may run arbitrary code via __del__.
    void reset() noexcept { Ref tmp(std::move(*this)); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference to an object we merely borrowed (for returning it).
inline PyObject* new_ref(PyObject* p) noexcept {
    Py_INCREF(p);
    return p;
}

inline PyObject* none() noexcept { return new_ref(Py_None); }
inline PyObject* boolean(bool b) noexcept { return new_ref(b ? Py_True : Py_False); }
inline PyObject* not_implemented() noexcept { return new_ref(Py_NotImplemented); }

// Visiting and clearing held references from GC slots.
#define QV_VISIT(ref)                                               \
    do {                                                            \
        if ((ref).get()) {                                          \
            int vret = visit((ref).get(), arg);                     \
            if (vret) return vret;                                  \
        }                                                           \
    } while (0)

}  // namespace quorvel::py
