// Per-thread, per-interpreter caches and their release at thread end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <optional>

#include "node_types.hpp"
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
    bool alive = true;  // false once the interpreter has run its exit hooks
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
