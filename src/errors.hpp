// Failure reporting shared by every entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>

namespace arbolus {

// A broken invariant of the module's own data. Thrown inside a call and
// turned into the internal-fault exception at the entry point, so that only
// the current call ends.
struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Raises the internal-fault exception (a direct subclass of BaseException,
// so `except Exception` in user code does not swallow it).
void raise_internal_fault(const char* message);

// TypeError "'<qualname>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'" for None.
void raise_not_instance(PyObject* obj, const char* expected);

// With an exception pending where a failure would otherwise just mean "not
// declared" (a class attribute that cannot be read): true when it must
// still reach the caller. That is an interrupt, an exit request, anything
// else outside `Exception`, and exhausted memory.
bool pending_error_must_pass();

// ValueError for a structure in which a node is its own descendant.
void raise_cycle();

}  // namespace arbolus
