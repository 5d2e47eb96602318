#include "errors.hpp"

#include "strong.hpp"

namespace arbolus {

namespace {

// One class per interpreter, created on first use and kept in the
// interpreter's own dictionary for extension state, so that it goes with the
// interpreter. It is not a module attribute: it exists to end a call, not to
// be caught by name. Null with an exception set on failure.
Strong internal_fault_type() {
    PyObject* store = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (store == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the interpreter keeps no state for extensions");
        return {};
    }
    Strong key = Strong::steal(PyUnicode_FromString("arbolus.InternalFault"));
    if (!key) return {};
    // Held as it is read, and stored only where absent: on free-threaded
    // builds two threads may make it at once, and the one stored second
    // must not drop the one another thread just read.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(store, key.get(), &found) != 0) return Strong::steal(found);
    Strong type = Strong::steal(PyErr_NewExceptionWithDoc(
        "arbolus.InternalFault", "An invariant of the arbolus module itself was broken.",
        PyExc_BaseException, nullptr));
    if (!type || PyDict_SetDefaultRef(store, key.get(), type.get(), &found) < 0) return {};
    return Strong::steal(found);
}

}  // namespace

void raise_internal_fault(const char* message) {
    // Raised on top of whatever failed, which is dropped.
    PyErr_Clear();
    Strong type = internal_fault_type();
    if (!type) {
        return;  // creating the class failed; its exception stays set
    }
    PyErr_SetString(type.get(), message);
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
