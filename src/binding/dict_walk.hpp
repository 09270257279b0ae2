// Safe iteration over a Python dict that user code may change while we walk
// it: every step hands out owned key and value references, and a change of
// size since the walk began ends it with RuntimeError, like Python's own
// dict iterators.
#pragma once

#include "binding/ref.hpp"

namespace quorvel::py {

class DictWalk {
public:
    explicit DictWalk(PyObject* dict) : dict_(Ref::borrow(dict)), size_(PyDict_GET_SIZE(dict)) {}
    // A walk that began when the dict had `size` entries and has read every
    // entry before position `pos` (a PyDict_Next position): it goes on
    // exactly as that walk would.
    DictWalk(PyObject* dict, Py_ssize_t size, Py_ssize_t pos)
        : dict_(Ref::borrow(dict)), size_(size), pos_(pos) {}

    enum Step { Item, Done, Error };

    Step next(Ref& key, Ref& value) {
        if (PyDict_GET_SIZE(dict_.get()) != size_) return changed();
        PyObject *k, *v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return Done;
        // Own both new references before the caller's previous ones go:
        // releasing an old key or value may run a finalizer that empties the
        // dict and frees what PyDict_Next only lent us.
        Ref new_key = Ref::borrow(k), new_value = Ref::borrow(v);
        std::swap(key, new_key);
        std::swap(value, new_value);
        return Item;  // the previous key and value are released here
    }

    // Call after running code that may have changed the dict.
    bool still_valid() {
        if (PyDict_GET_SIZE(dict_.get()) == size_) return true;
        changed();
        return false;
    }

private:
    Step changed() {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return Error;
    }
    Ref dict_;
    Py_ssize_t size_;
    Py_ssize_t pos_ = 0;
};

// Calls f(key, value) with owned references for each item in dict order,
// until f returns false. False when f did or the walk failed (exception set).
template <class F>
bool for_each_item(PyObject* dict, F&& f) {
    DictWalk walk(dict);
    Ref key, value;
    for (;;) {
        switch (walk.next(key, value)) {
            case DictWalk::Error:
                return false;
            case DictWalk::Done:
                return true;
            case DictWalk::Item:
                if (!f(key, value)) return false;
        }
    }
}

}  // namespace quorvel::py
