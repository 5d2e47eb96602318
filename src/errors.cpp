#include "errors.hpp"

#include "strong.hpp"

namespace arbolus {

namespace {

// Created on first use and kept for the life of the process. It is not a
// module attribute: it exists to end a call, not to be caught by name.
PyObject* internal_fault_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "arbolus.InternalFault",
            "An invariant of the arbolus module itself was broken.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void raise_internal_fault(const char* message) {
    PyObject* type = internal_fault_type();
    if (type == nullptr) {
        return;  // creating the class failed; its exception stays set
    }
    PyErr_SetString(type, message);
}

void raise_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Strong name = Strong::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "'<failed to extract type name>' object is not an instance of '%s'",
                     expected);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                 expected);
}

bool pending_error_must_pass() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

void raise_cycle() {
    PyErr_SetString(PyExc_ValueError,
                    "the tree has a cycle: a node is reachable from itself");
}

}  // namespace arbolus
