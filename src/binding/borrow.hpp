// Per-object borrow flag. Readers hold a shared borrow, mutators an exclusive
// one, for the whole call. A re-entrant call that conflicts (Python code run
// from inside a method calling back into the same object) is refused with a
// RuntimeError instead of waiting or proceeding over a half-changed object.
#pragma once

#include "binding/ref.hpp"

#include <cstdint>

namespace quorvel::py {

struct BorrowFlag {
    std::int32_t state = 0;  // > 0: that many shared borrows; -1: exclusive
};

void raise_borrow_conflict(const char* class_name);

class SharedGuard {
public:
    SharedGuard(BorrowFlag& f, const char* class_name) : f_(&f) {
        if (f.state < 0) {
            raise_borrow_conflict(class_name);
            f_ = nullptr;
        } else {
            ++f.state;
        }
    }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;
    ~SharedGuard() {
        if (f_) --f_->state;
    }
    explicit operator bool() const { return f_ != nullptr; }

private:
    BorrowFlag* f_;
};

class ExclusiveGuard {
public:
    ExclusiveGuard(BorrowFlag& f, const char* class_name) : f_(&f) {
        if (f.state != 0) {
            raise_borrow_conflict(class_name);
            f_ = nullptr;
        } else {
            f.state = -1;
        }
    }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
    ~ExclusiveGuard() {
        if (f_) f_->state = 0;
    }
    explicit operator bool() const { return f_ != nullptr; }

private:
    BorrowFlag* f_;
};

}  // namespace quorvel::py
