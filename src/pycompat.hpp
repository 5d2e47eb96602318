// The interpreter API as of 3.13, on the older versions the module supports.
//
// The rest of the module is written against 3.13's API. What 3.11 and 3.12
// lack is given here, under the same names and with the same contracts, so
// that every version difference of the API lives in this one file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000

#include <new>

// Hash of an int is its value modulo this.
#ifndef PyHASH_MODULUS
#define PyHASH_MODULUS _PyHASH_MODULUS
#endif

// The module slot that declares free-threading support does not exist, and
// an unknown slot fails the import. It becomes one more exec step that does
// nothing; every value of the slot means the same there.
inline int arbolus_compat_exec_nothing(PyObject*) { return 0; }
#define Py_mod_gil Py_mod_exec
#define Py_MOD_GIL_USED reinterpret_cast<void*>(&arbolus_compat_exec_nothing)
#define Py_MOD_GIL_NOT_USED reinterpret_cast<void*>(&arbolus_compat_exec_nothing)

// 1 and a new reference when present, 0 and null when absent, -1 and null
// with an exception set when the lookup failed.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

// 0 when `default_value` was inserted, 1 when the key was present; -1 with
// an exception set on failure. `*result` (when asked for) gets a new
// reference to the value now held. One lookup, as in 3.13: the older
// store-if-absent tells an insertion by the dict having grown (a key's
// `__eq__` that deletes another entry meanwhile makes it report the key as
// present, holding `default_value`).
inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* default_value,
                                PyObject** result) {
    const Py_ssize_t before = PyDict_Check(dict) ? PyDict_GET_SIZE(dict) : 0;
    PyObject* value = PyDict_SetDefault(dict, key, default_value);
    if (value == nullptr) {
        if (result != nullptr) *result = nullptr;
        return -1;
    }
    if (result != nullptr) *result = Py_NewRef(value);
    return value == default_value && PyDict_GET_SIZE(dict) > before ? 0 : 1;
}

#if PY_VERSION_HEX >= 0x030C0000

inline PyThreadState* PyThreadState_GetUnchecked() { return _PyThreadState_UncheckedGet(); }

#define PyUnstable_AtExit _Py_AtExit

#else  // 3.11

// The thread state attached to the calling thread, or null. 3.11 keeps one
// current state for the whole process, the state of whichever thread holds
// the lock: it is the caller's own only if that state is the caller's. A
// state is used by the thread that made it (threads, the GIL-state API and
// new interpreters all make theirs on the thread that runs them).
inline PyThreadState* PyThreadState_GetUnchecked() {
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current->thread_id == PyThread_get_thread_ident() ? current
                                                                                   : nullptr;
}

inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
}

// A new reference to the class's own namespace.
inline PyObject* PyType_GetDict(PyTypeObject* type) {
    if (type->tp_dict == nullptr) {
        PyErr_SetString(PyExc_SystemError, "class has no namespace");
        return nullptr;
    }
    return Py_NewRef(type->tp_dict);
}

// Whether the class has a valid version tag. 3.11 assigns tags only as a
// side effect of an attribute lookup through the class, which may run
// interpreter code and drops any error it meets; a class without a tag yet
// is reported as such. Node classes get theirs when their first instance
// is made or given an attribute.
inline int PyUnstable_Type_AssignVersionTag(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

// `func(data)` once the interpreter finalises, after the threads it keeps
// no longer run (daemon threads are stopped before this) and while objects
// can still be released; the current interpreter only. 3.11 has no such
// hook: a capsule held in the interpreter's `sys` namespace runs it when
// finalisation clears that namespace, which comes after the modules are
// gone. Code that deletes the capsule earlier gets a fresh one in its place.
struct ArbolusCompatExit {
    void (*func)(void*);
    void* data;
};

inline constexpr const char ARBOLUS_COMPAT_EXIT_NAME[] = "arbolus.exit";

inline bool arbolus_compat_finalising() {
    // The main interpreter marks its finalisation in the runtime; any
    // interpreter empties `sys.modules` before it clears the `sys`
    // namespace.
    if (_Py_IsFinalizing()) return true;
    PyObject* modules = PySys_GetObject("modules");
    return modules == nullptr || (PyDict_Check(modules) && PyDict_GET_SIZE(modules) == 0);
}

inline int arbolus_compat_install_exit(ArbolusCompatExit* exit);

inline void arbolus_compat_exit_capsule_gone(PyObject* capsule) {
    auto* exit = static_cast<ArbolusCompatExit*>(
        PyCapsule_GetPointer(capsule, ARBOLUS_COMPAT_EXIT_NAME));
    if (exit == nullptr) {
        PyErr_Clear();
        return;
    }
    // An error pending here belongs to whoever released the capsule.
    PyObject* pending = PyErr_GetRaisedException();
    if (!arbolus_compat_finalising() && arbolus_compat_install_exit(exit) == 0) {
        PyErr_SetRaisedException(pending);
        return;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    void (*func)(void*) = exit->func;
    void* data = exit->data;
    delete exit;
    func(data);
}

// Stores the capsule under a name of its own in `sys`; 0, or -1 with an
// exception set (`exit` is then still the caller's).
inline int arbolus_compat_install_exit(ArbolusCompatExit* exit) {
    PyObject* capsule =
        PyCapsule_New(exit, ARBOLUS_COMPAT_EXIT_NAME, arbolus_compat_exit_capsule_gone);
    if (capsule == nullptr) return -1;
    PyObject* name = PyUnicode_FromFormat("_arbolus_exit_%p", static_cast<void*>(exit));
    if (name == nullptr) {
        PyCapsule_SetDestructor(capsule, nullptr);
        Py_DECREF(capsule);
        return -1;
    }
    const char* key = PyUnicode_AsUTF8(name);
    const int r = key != nullptr ? PySys_SetObject(key, capsule) : -1;
    if (r < 0) PyCapsule_SetDestructor(capsule, nullptr);
    Py_DECREF(name);
    Py_DECREF(capsule);
    return r;
}

inline int PyUnstable_AtExit(PyInterpreterState* interp, void (*func)(void*), void* data) {
    if (interp != PyInterpreterState_Get()) {
        PyErr_SetString(PyExc_RuntimeError, "exit hooks are for the current interpreter only");
        return -1;
    }
    // Finalisation may already have cleared (or dropped) the namespace.
    if (arbolus_compat_finalising()) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter is finalising");
        return -1;
    }
    auto* exit = new (std::nothrow) ArbolusCompatExit{func, data};
    if (exit == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (arbolus_compat_install_exit(exit) < 0) {
        delete exit;
        return -1;
    }
    return 0;
}

#endif  // 3.11
#endif  // before 3.13
