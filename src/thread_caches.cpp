#include "thread_caches.hpp"

#include "pycompat.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace arbolus {

namespace {

// References of classes whose owning thread ended without the interpreter
// lock; released by the next call into the module from their interpreter.
struct Pending {
    PyInterpreterState* interp;
    PyObject* object;
};

struct Registry {
    std::mutex lock;                          // guards the three containers below
    std::vector<ThreadCaches*> live;          // every ThreadCaches of every thread
    std::vector<PyInterpreterState*> hooked;  // interpreters with our exit hook
    std::vector<Pending> pending;
};

Registry& registry();

// Threads take the lock as they end, without the interpreter lock, so a fork
// can come at any moment of theirs: the forking thread holds the lock across
// the fork, and the child starts with it free and the containers whole.
void before_fork() { registry().lock.lock(); }
void after_fork() { registry().lock.unlock(); }

// Never destroyed: at process exit, daemon threads may still be ending (and
// giving up their caches) while static objects are destroyed.
Registry& registry() {
    static Registry* const r = [] {
        auto* made = new Registry();
        // Without the handlers only a fork is unsafe; nothing else needs them.
        (void)pthread_atfork(before_fork, after_fork, after_fork);
        return made;
    }();
    return *r;
}

std::atomic<bool> PENDING_NONEMPTY{false};

// Detaches all references of a cache set into plain pointers, so they can be
// released or queued without touching the interpreter here.
void detach_references(ThreadCaches& caches, std::vector<PyObject*>& out) {
    if (caches.field_table) caches.field_table->take_references(out);
    for (auto& record : caches.type_info.take_all()) record->take_references(out);
    caches.type_sets.take_all(out);
    for (Strong& name : caches.writer_names) {
        if (name) out.push_back(name.release());
    }
    if (caches.getattribute_name) out.push_back(caches.getattribute_name.release());
}

bool holds_lock_of(PyInterpreterState* interp) {
    if (!Py_IsInitialized() || !PyGILState_Check()) return false;
    PyThreadState* ts = PyThreadState_GetUnchecked();
    return ts != nullptr && PyThreadState_GetInterpreter(ts) == interp;
}

// Runs while the interpreter finalises, with its lock held: release what
// every thread cached for it while the classes can still be released, and
// mark those caches so nothing touches the interpreter afterwards.
void on_interpreter_exit(void* data) {
    auto* interp = static_cast<PyInterpreterState*>(data);
    if (interp == PyInterpreterState_Main()) {
        INTERPRETER_EXITING.store(true, std::memory_order_relaxed);
    }
    std::vector<PyObject*> release;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        for (ThreadCaches* caches : reg.live) {
            if (caches->interp != interp || !caches->alive) continue;
            // Marked dead before its use is read, as the owner marks its use
            // before it reads whether the set lives (CallMark and
            // thread_caches): one of the two sees the other.
            caches->alive.store(false);
            if (ARBOLUS_FREE_THREADED && caches->calls.load() != 0) {
                caches->left_in_use = true;
                continue;
            }
            detach_references(*caches, release);
        }
        auto keep = std::partition(reg.pending.begin(), reg.pending.end(),
                                   [&](const Pending& p) { return p.interp != interp; });
        for (auto it = keep; it != reg.pending.end(); ++it) release.push_back(it->object);
        reg.pending.erase(keep, reg.pending.end());
        PENDING_NONEMPTY.store(!reg.pending.empty(), std::memory_order_relaxed);
        reg.hooked.erase(std::remove(reg.hooked.begin(), reg.hooked.end(), interp), reg.hooked.end());
    }
    // Outside the registry lock: a release may run finalisers that call
    // back into the module.
    for (PyObject* obj : release) release_reference(obj);
}

// Daemon threads are ended (their stacks unwound) as soon as the interpreter
// marks itself finalising, which is after the interpreter's exit hooks have
// been called for ordinary code but before our own low-level hook runs. The
// `atexit` callbacks run earlier than both, so from there on every release
// asks whether the thread still has its state (see may_release).
PyObject* mark_exiting(PyObject*, PyObject*) {
    INTERPRETER_EXITING.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef MARK_EXITING = {"_arbolus_mark_exiting", mark_exiting, METH_NOARGS, nullptr};

void register_exit_mark() {
    Strong function = Strong::steal(PyCFunction_New(&MARK_EXITING, nullptr));
    Strong atexit = Strong::steal(PyImport_ImportModule("atexit"));
    Strong done;
    if (function && atexit) {
        done = Strong::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    }
    if (!done) PyErr_Clear();  // without it, exit with daemon threads inside calls is unsafe
}

// All cache sets of one thread, one per interpreter it has called in from.
// A set stays put while its interpreter lives, so a reference to one stays
// valid for the whole of a call even if a nested call adds another; the sets
// of interpreters that have ended are dropped when the next one is added (an
// interpreter cannot end while a call in it is on some thread's stack).
struct ThreadCacheSets {
    std::vector<std::unique_ptr<ThreadCaches>> sets;
    ThreadCaches* last = nullptr;
};

thread_local ThreadCacheSets SETS;

ThreadCaches& new_caches(PyInterpreterState* interp) {
    auto caches = std::make_unique<ThreadCaches>(interp);
    bool hook = false;
    std::vector<std::unique_ptr<ThreadCaches>> ended;
    ended.reserve(SETS.sets.size());  // nothing below throws before the sets are whole
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        // `alive` of another interpreter's set is written under this lock by
        // that interpreter's end, which may be under way on another thread.
        // (A dead set an outer call on this thread still uses stays.)
        for (auto& set : SETS.sets) {
            if (!set->alive && set->calls.load() == 0) ended.push_back(std::move(set));
        }
        std::erase(SETS.sets, nullptr);
        SETS.last = nullptr;
        reg.live.push_back(caches.get());
        if (std::find(reg.hooked.begin(), reg.hooked.end(), interp) == reg.hooked.end()) {
            reg.hooked.push_back(interp);
            hook = true;
        }
    }
    // Destroyed outside the lock, which each takes to leave the registry.
    ended.clear();
    SETS.sets.push_back(std::move(caches));
    ThreadCaches& made = *SETS.sets.back();
    if (hook && PyUnstable_AtExit(interp, on_interpreter_exit, interp) < 0) {
        // Without the hook the caches are simply never released early.
        PyErr_Clear();
    }
    if (hook && interp == PyInterpreterState_Main()) register_exit_mark();
    return made;
}

}  // namespace

ThreadCaches::~ThreadCaches() {
    std::vector<PyObject*> release;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        reg.live.erase(std::remove(reg.live.begin(), reg.live.end(), this),
                          reg.live.end());
        if (!alive) return;  // the interpreter already took everything back
        detach_references(*this, release);
        if (!holds_lock_of(interp)) {
            // Thread teardown runs after the thread gave up the lock: queue.
            for (PyObject* obj : release) reg.pending.push_back({interp, obj});
            PENDING_NONEMPTY.store(!reg.pending.empty(), std::memory_order_relaxed);
            return;
        }
    }
    for (PyObject* obj : release) release_reference(obj);
}

ThreadCaches& thread_caches() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    ThreadCacheSets& sets = SETS;
    if (sets.last != nullptr && sets.last->interp == interp && sets.last->alive) {
        return *sets.last;
    }
    for (auto& caches : sets.sets) {
        if (caches->interp == interp && caches->alive) {
            sets.last = caches.get();
            return *caches;
        }
    }
    sets.last = &new_caches(interp);
    return *sets.last;
}

void release_left_in_use(ThreadCaches& caches) {
    std::vector<PyObject*> release;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        if (!caches.left_in_use) return;
        caches.left_in_use = false;
        detach_references(caches, release);
    }
    // The interpreter waits for this thread before it goes on finalising.
    for (PyObject* obj : release) release_reference(obj);
}

void drain_pending_releases() {
    if (!PENDING_NONEMPTY.load(std::memory_order_relaxed)) return;
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::vector<PyObject*> release;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        auto keep = std::partition(reg.pending.begin(), reg.pending.end(),
                                   [&](const Pending& p) { return p.interp != interp; });
        for (auto it = keep; it != reg.pending.end(); ++it) release.push_back(it->object);
        reg.pending.erase(keep, reg.pending.end());
        PENDING_NONEMPTY.store(!reg.pending.empty(), std::memory_order_relaxed);
    }
    for (PyObject* obj : release) release_reference(obj);
}

}  // namespace arbolus
