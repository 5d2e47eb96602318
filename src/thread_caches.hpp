// Per-thread, per-interpreter caches and their release at thread end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>

#include "node_types.hpp"
#include "pycompat.hpp"
#include "type_info.hpp"
#include "type_set.hpp"

namespace arbolus {

// Everything the module remembers between calls on one thread for one
// interpreter. Classes differ between interpreters, so a thread that calls in
// from another interpreter gets a separate set.
struct ThreadCaches {
    explicit ThreadCaches(PyInterpreterState* i) : interp(i) {}
    ThreadCaches(const ThreadCaches&) = delete;
    ThreadCaches& operator=(const ThreadCaches&) = delete;
    ~ThreadCaches();

    PyInterpreterState* interp;
    // False once the interpreter has run its exit hooks. Written by the
    // thread that runs them, under the registry's lock; read by the owner
    // without it.
    std::atomic<bool> alive{true};
    // Free-threaded builds: calls of the owning thread using the set now
    // (see CallMark), and whether the exit hooks left the set's references
    // to the owner for that reason (under the registry's lock).
    std::atomic<unsigned> calls{0};
    bool left_in_use = false;
    std::optional<BaseTypes> base_types;
    std::unique_ptr<FieldTable> field_table;
    bool field_table_held = false;
    TypeInfoCache type_info;
    TypeSetCache type_sets;
    // The writer's attribute names, interned in this interpreter (see edits.cpp).
    std::array<Strong, WRITER_NAME_COUNT> writer_names;
    // `__getattribute__`, interned in this interpreter (see class_value).
    Strong getattribute_name;
};

// The calling thread's caches for the current interpreter. Requires the
// interpreter lock.
ThreadCaches& thread_caches();

// Releases references queued by threads that ended without the interpreter
// lock. Called at the start of every call into the module.
void drain_pending_releases();

// Releases the references of a set whose interpreter's exit hooks found it
// in use (see CallMark).
void release_left_in_use(ThreadCaches& caches);

// Marks the calling thread's caches in use for one call into the module.
// Under the global lock the interpreter's exit hooks run while no other
// thread runs; on free-threaded builds, daemon threads may be inside a call,
// using their caches, while another thread runs them. The hooks then leave
// a set in use to its owner, which releases it when its last call ends
// (and, seeing it dead, takes a new set for anything after). Nothing under
// the global lock.
class CallMark {
public:
    CallMark() {
        if constexpr (ARBOLUS_FREE_THREADED) {
            caches_ = &thread_caches();
            caches_->calls.fetch_add(1);
        }
    }
    ~CallMark() {
        if constexpr (ARBOLUS_FREE_THREADED) {
            if (caches_->calls.fetch_sub(1) == 1 && !caches_->alive.load()) {
                release_left_in_use(*caches_);
            }
        }
    }
    CallMark(const CallMark&) = delete;
    CallMark& operator=(const CallMark&) = delete;

private:
    ThreadCaches* caches_ = nullptr;
};

// Holds the thread's field table exclusively while `walk` runs, building it
// on first use. A nested use on the same thread (interpreter code run while
// the table is being built calling back into the module) raises the
// internal-fault exception. Returns what `walk` returns, or null with an
// exception set.
template <class F>
PyObject* with_field_table(ThreadCaches& caches, F&& walk) {
    if (caches.field_table_held) {
        raise_field_table_busy();
        return nullptr;
    }
    struct Hold {
        bool& held;
        explicit Hold(bool& h) : held(h) { held = true; }
        ~Hold() { held = false; }
    } hold(caches.field_table_held);
    if (!caches.field_table) {
        caches.field_table = prebuild_field_table();
        if (!caches.field_table) return nullptr;
    }
    return walk(*caches.field_table);
}

}  // namespace arbolus
