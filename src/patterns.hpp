// Structural rules written as `case` patterns: their compiler, their matcher
// and the class of compiled rules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace arbolus {

// What the module keeps for the rules, in its state.
struct PatternsState {
    PyObject* error;  // arbolus.PatternError
    PyObject* type;   // arbolus.Patterns
};

// Makes PatternError and Patterns for `module` and adds them to it and to
// its `__all__`. -1 with an exception set on failure.
int patterns_exec(PyObject* module);
int patterns_traverse(PyObject* module, visitproc visit, void* arg);
int patterns_clear(PyObject* module);

// compile_patterns(patterns, namespace, strict), the arguments bound.
PyObject* compile_patterns(PyObject* module, PyObject* patterns, PyObject* ns, PyObject* strict);

}  // namespace arbolus
