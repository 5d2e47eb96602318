// The interpreter API as of 3.13, on the older versions the module supports,
// and the few calls of 3.14 it uses.
//
// The rest of the module is written against 3.13's API. What 3.11 and 3.12
// lack is given here, under the same names and with the same contracts
// (as far as the module's uses reach), so that every version difference of
// the API lives in this one file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <bit>
#include <cstdint>

#if PY_VERSION_HEX < 0x030D0000

#include <cstring>
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

// 1 and a new reference when the attribute is there, 0 and null when the
// lookup raised AttributeError (cleared), -1 and null with any other
// exception set.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// A new reference to list[index], or null with IndexError set.
inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
    return Py_XNewRef(PyList_GetItem(list, index));
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

// The module of a class as `__module__` names it: for a heap class, its own
// namespace's entry (an ordinary lookup, which a key of another class than
// str may answer by running code); for a static one, the part of its name
// before the last dot, else "builtins". A new reference, or null with an
// exception set.
inline PyObject* PyType_GetModuleName(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* dict = type->tp_dict;
        if (dict == nullptr) {
            PyErr_SetString(PyExc_SystemError, "class has no namespace");
            return nullptr;
        }
        PyObject* name = PyUnicode_InternFromString("__module__");
        if (name == nullptr) return nullptr;
        PyObject* module;
        const int found = PyDict_GetItemRef(dict, name, &module);
        Py_DECREF(name);
        if (found == 0) PyErr_SetString(PyExc_AttributeError, "__module__");
        return module;
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    if (dot == nullptr) return PyUnicode_InternFromString("builtins");
    return PyUnicode_FromStringAndSize(type->tp_name, dot - type->tp_name);
}

// The class's name as `%T` and `%N` format it from 3.13 on: its module
// and qualified name, the module left out where it is no str, "builtins"
// or "__main__"; for a static class, its declared name. A new reference, or
// null with an exception set.
inline PyObject* PyType_GetFullyQualifiedName(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return PyUnicode_FromString(type->tp_name);
    PyObject* qualname = PyType_GetQualName(type);
    if (qualname == nullptr) return nullptr;
    PyObject* module = PyType_GetModuleName(type);
    if (module == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(qualname);
            return nullptr;
        }
        PyErr_Clear();
    }
    PyObject* result;
    if (module != nullptr && PyUnicode_Check(module) &&
        PyUnicode_CompareWithASCIIString(module, "builtins") != 0 &&
        PyUnicode_CompareWithASCIIString(module, "__main__") != 0) {
        result = PyUnicode_FromFormat("%U.%U", module, qualname);
    } else {
        result = Py_NewRef(qualname);
    }
    Py_XDECREF(module);
    Py_DECREF(qualname);
    return result;
}

#define Py_ASNATIVEBYTES_DEFAULTS -1
#define Py_ASNATIVEBYTES_BIG_ENDIAN 0
#define Py_ASNATIVEBYTES_LITTLE_ENDIAN 1
#define Py_ASNATIVEBYTES_NATIVE 3

// The int `v` as two's complement in `n_bytes` bytes of `buffer`, in the
// byte order `flags` names (the byte-order flags only; the value is always
// signed and must be an exact int or a subclass). Returns how many bytes
// the value needs, which is at most one byte more than its bits take; when
// that is more than `n_bytes`, the low bytes are written. -1 with an
// exception set on failure.
inline Py_ssize_t PyLong_AsNativeBytes(PyObject* v, void* buffer, Py_ssize_t n_bytes, int flags) {
    if (!PyLong_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "expected an int");
        return -1;
    }
    const size_t bits = _PyLong_NumBits(v);
    if (bits == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
    const auto need = static_cast<Py_ssize_t>(bits / 8 + 1);
    if (n_bytes <= 0) return need;
    const int order = flags == -1 ? Py_ASNATIVEBYTES_NATIVE : flags & 3;
    const bool little = order == Py_ASNATIVEBYTES_LITTLE_ENDIAN ||
                        (order == Py_ASNATIVEBYTES_NATIVE && PY_LITTLE_ENDIAN);
    auto* number = reinterpret_cast<PyLongObject*>(v);
    auto* out = static_cast<unsigned char*>(buffer);
    if (n_bytes >= need) {
        if (_PyLong_AsByteArray(number, out, static_cast<size_t>(n_bytes), little, 1) < 0) {
            return -1;
        }
        return need;
    }
    unsigned char* whole = static_cast<unsigned char*>(PyMem_Malloc(static_cast<size_t>(need)));
    if (whole == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (_PyLong_AsByteArray(number, whole, static_cast<size_t>(need), little, 1) < 0) {
        PyMem_Free(whole);
        return -1;
    }
    std::memcpy(out, little ? whole : whole + (need - n_bytes), static_cast<size_t>(n_bytes));
    PyMem_Free(whole);
    return need;
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

// Whether an int fits one digit, and its value where it does. Until 3.12
// the layout is public: the sign is the size's.
inline int PyUnstable_Long_IsCompact(const PyLongObject* op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size >= -1 && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject* op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(op->ob_digit[0]);
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

#if PY_VERSION_HEX < 0x030E0000

// The 64-bit int constructors. Where the int layout is known (3.11's is
// public; 3.12's and 3.13's are checked with the other private layouts),
// values past one digit get their digits written straight into a new int,
// which saves the general conversion's work; smaller ones go through it,
// so that they come from the interpreter's shared small ints.
inline PyObject* arbolus_compat_long_from_magnitude(uint64_t magnitude, bool negative) {
#if PYLONG_BITS_IN_DIGIT == 30 && (defined(ARBOLUS_CHECKED_LAYOUTS) || PY_VERSION_HEX < 0x030C0000)
    if (magnitude > PyLong_MASK) {
        const int bits = std::bit_width(magnitude);
        const Py_ssize_t digits = (bits + PyLong_SHIFT - 1) / PyLong_SHIFT;
        PyLongObject* result = _PyLong_New(digits);
        if (result == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
        for (Py_ssize_t d = 0; d < digits; ++d) {
            result->long_value.ob_digit[d] = static_cast<digit>(magnitude & PyLong_MASK);
            magnitude >>= PyLong_SHIFT;
        }
        result->long_value.lv_tag =
            static_cast<uintptr_t>(digits) << _PyLong_NON_SIZE_BITS | (negative ? 2 : 0);
#else
        for (Py_ssize_t d = 0; d < digits; ++d) {
            result->ob_digit[d] = static_cast<digit>(magnitude & PyLong_MASK);
            magnitude >>= PyLong_SHIFT;
        }
        Py_SET_SIZE(result, negative ? -digits : digits);
#endif
        return reinterpret_cast<PyObject*>(result);
    }
#endif
    if (!negative) return PyLong_FromUnsignedLongLong(magnitude);
    return PyLong_FromLongLong(static_cast<long long>(~magnitude + 1));
}

inline PyObject* PyLong_FromUInt64(uint64_t value) {
    return arbolus_compat_long_from_magnitude(value, false);
}

inline PyObject* PyLong_FromInt64(int64_t value) {
    const auto bits = static_cast<uint64_t>(value);
    return value < 0 ? arbolus_compat_long_from_magnitude(~bits + 1, true)
                     : arbolus_compat_long_from_magnitude(bits, false);
}

#endif  // before 3.14

// --- free-threaded builds -----------------------------------------------------
//
// Under the global lock, what the module reads stays as it is until the
// module itself runs interpreter code. Without it (free-threaded builds),
// any other thread may change a dict, a list, a node's class or a class's
// attributes at any moment, and drop the last reference to what it
// replaces. What differs between the two builds is given here, so that a
// reader says what it needs once, and the GIL build compiles it to what it
// did before: nothing.

#ifdef Py_GIL_DISABLED
inline constexpr bool ARBOLUS_FREE_THREADED = true;
#else
inline constexpr bool ARBOLUS_FREE_THREADED = false;
#endif

// A new reference to what `type`'s MRO holds under `name`, as attribute
// lookup finds it; null when nothing. Without the global lock, only a
// lookup that takes the reference itself is sure to get a live object.
#if PY_VERSION_HEX >= 0x030D0000
inline PyObject* arbolus_type_lookup_ref(PyTypeObject* type, PyObject* name) {
    return _PyType_LookupRef(type, name);
}
#else
inline PyObject* arbolus_type_lookup_ref(PyTypeObject* type, PyObject* name) {
    return Py_XNewRef(_PyType_Lookup(type, name));
}
#endif

// The class's version tag. Free-threaded builds change it (atomically)
// while other threads read it: read it as an atomic there.
inline unsigned int arbolus_type_version(PyTypeObject* type) {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
#else
    return type->tp_version_tag;
#endif
}

// Holds `op`'s own lock for the scope (a critical section), on free-threaded
// builds; nothing under the global lock. The interpreter takes the same lock
// to change a dict, a list or an object's `__dict__` slot, so while it is
// held those stay as read, and what they refer to stays alive. It is given
// up (and taken again before this scope goes on) whenever the thread waits:
// for another critical section that is held elsewhere, or in any call that
// releases the thread state. A section protects only what is read and used
// between such waits; everything kept beyond it is held by reference.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* op) noexcept { PyCriticalSection_Begin(&section_, op); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A lock for state that threads share only on free-threaded builds (a
// cache inside an object that several threads use at once); under the
// global lock nothing runs between two of the module's own steps, and it
// compiles to nothing. Held only across code that runs no interpreter code.
class SharedStateLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

// What the module declares to a free-threaded build (3.13t and later):
// that importing it leaves the interpreter without its global lock. Every
// call stays sound while other threads edit the tree it reads (see the
// README's section on threads). This is the one switch: Py_MOD_GIL_USED
// here would make the interpreter turn the lock back on, with a warning,
// when the module is imported. On builds with the lock, and before 3.13,
// the slot means nothing.
#define ARBOLUS_MOD_GIL Py_MOD_GIL_NOT_USED
