// A bound on the module's own recursion.
//
// Everything that follows a tree is iterative. What is left recursive nests
// only as deep as the input's own nesting outside the tree's fields (a node
// that a property makes afresh on every read, lists inside lists), and is
// bounded here, as the interpreter bounds its own C recursion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "strong.hpp"

namespace arbolus {

// Entered when the interpreter's recursion check passes and enough of the
// thread's C stack is left: the interpreter counts levels, not bytes, and a
// thread may have been started with a small stack. Otherwise RecursionError
// is set and the guard reports false.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where);
    // A daemon thread ended at exit while code run inside the guard waits
    // for the interpreter lock unwinds through here without a thread state
    // to give the level back to (see may_release).
    ~RecursionGuard() {
        if (entered_ && may_release()) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace arbolus
