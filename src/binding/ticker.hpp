// Every few thousand steps of a loop that grows with the graph, the rows or
// the input: a chance for Ctrl-C (any pending signal handler) to stop it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvel::py {

class Ticker {
public:
    // False, with the handler's exception set, when a signal handler raised.
    bool ok() {
        if ((++n_ & 0xFFF) != 0) return true;
        return PyErr_CheckSignals() == 0;
    }
    bool operator()() { return ok(); }

private:
    std::uint32_t n_ = 0;
};

}  // namespace quorvel::py
