// Owned references to interpreter objects.
#pragma once

#include "pycompat.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>

#include "compiler.hpp"

namespace arbolus {

// Set when the main interpreter may have begun to exit: from an exit
// callback, which a program can also run by hand, so this is only a hint.
inline std::atomic<bool> INTERPRETER_EXITING{false};

// Whether the calling thread may release a reference, or give back a
// recursion level, now. Once the main interpreter finalises, a daemon thread
// waiting for the lock inside a call is ended by unwinding its stack, and it
// has no thread state while it unwinds: its references and levels are
// abandoned then (the process is about to end). The flag keeps this check
// off every ordinary release; the thread state decides.
inline bool may_release() {
    return !INTERPRETER_EXITING.load(std::memory_order_relaxed) ||
           PyThreadState_GetUnchecked() != nullptr;
}

#if PY_VERSION_HEX < 0x030E0000
// Before 3.14, a daemon thread that asks for the lock back once the main
// interpreter finalises is ended by pthread_exit, which unwinds its stack.
// When the reference given back here was the last one, a finaliser runs,
// and if it gives up the lock (a sleep, I/O) the unwind starts inside this
// release, under destructors that may not throw: the runtime would abort
// the process. Such a thread is parked instead, as 3.14 does: it never runs
// again, holds nothing another thread waits for, and the process ends
// around it as it would without the module.
[[noreturn]] ARBOLUS_NOINLINE inline void park_ended_thread() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
#endif

// Gives back one reference; the caller may release now (see may_release).
inline void release_reference(PyObject* p) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    try {
        Py_DECREF(p);
    } catch (...) {
        // Interpreter code throws no C++ exception: this is the unwind of
        // a thread being ended. Leaving this handler would end the thread
        // with the unwind half done.
        park_ended_thread();
    }
#else
    Py_DECREF(p);
#endif
}

// Exactly one owned reference (or none). Dropping a Strong gives the
// reference back, so containers of Strong release everything they hold on
// every path, including unwinding after std::bad_alloc.
class Strong {
public:
    Strong() noexcept = default;

    // Takes over a reference the caller already owns (may be null).
    static Strong steal(PyObject* p) noexcept { return Strong(p); }
    // Takes a new reference to a borrowed pointer (may be null).
    static Strong borrow(PyObject* p) noexcept { return Strong(Py_XNewRef(p)); }

    Strong(const Strong& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Strong(Strong&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Strong& operator=(Strong other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Strong() {
        if (p_ != nullptr && may_release()) release_reference(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller (e.g. into a list slot).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Strong().swap(*this); }
    void swap(Strong& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Strong(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

static_assert(sizeof(Strong) == sizeof(PyObject*));

// A pointer the caller does not own, spelled as Strong is.
class Borrowed {
public:
    Borrowed() noexcept = default;
    static Borrowed borrow(PyObject* p) noexcept { return Borrowed(p); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { p_ = nullptr; }

private:
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Something read out of a container (a dict, a list, a node's dict slot, a
// class) and used after the read. Under the global lock the container keeps
// it alive until the module runs interpreter code, so it is borrowed and
// costs nothing. On free-threaded builds another thread may drop the
// container's reference at any moment, so it is owned: taken while the
// container cannot change (see CriticalSection), or from a call that
// returns a new reference.
using Held = std::conditional_t<ARBOLUS_FREE_THREADED, Strong, Borrowed>;

}  // namespace arbolus
