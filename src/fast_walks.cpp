// Walks that find children through the field table and a direct scan of the
// instance dictionary. Nothing here runs interpreter code between the start
// of a traversal and the building of its result, so under the global lock
// nodes are held as borrowed pointers: no node can be freed or changed
// meanwhile. Free-threaded builds have no such moment; they read each node
// as process_node_shared says, holding what they read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "compiler.hpp"
#include "cycles.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "node_types.hpp"
#include "pydict.hpp"
#include "thread_caches.hpp"

namespace arbolus {

namespace {

// A growable array of object pointers, allocated with the interpreter's
// allocator so that a list can take the array over as its item storage.
// The walks keep their stack and their output in these rather than in
// std::vector; in the loop they work through views (below) whose cursors
// the compiler keeps in registers, and growing is out of line.
class PtrArray {
public:
    explicit PtrArray(size_t capacity) { reallocate(capacity); }
    PtrArray(const PtrArray&) = delete;
    PtrArray& operator=(const PtrArray&) = delete;
    ~PtrArray() { PyMem_Free(data_); }

    PyObject** data() const noexcept { return data_; }
    PyObject** top() const noexcept { return top_; }
    PyObject** limit() const noexcept { return limit_; }
    void set_top(PyObject** top) noexcept { top_ = top; }
    size_t size() const noexcept { return static_cast<size_t>(top_ - data_); }
    PyObject* const* begin() const noexcept { return data_; }
    PyObject* const* end() const noexcept { return top_; }

    // Hands the array to a new list of its items; the array is left empty
    // and the list owns whatever references the items carried. Null with
    // an exception set (the array unchanged) on failure.
    PyObject* into_list() {
        size_t n = size();
#ifdef Py_GIL_DISABLED
        // Lists there keep their items in storage of their own layout.
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (list == nullptr) return nullptr;
        if (n != 0) std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, data_, n * sizeof(PyObject*));
        top_ = data_;
        return list;
#else
        PyObject* list = PyList_New(0);
        if (list == nullptr) return nullptr;
        // Give back what doubling left unused, beyond an eighth (keeping it
        // all if the allocator cannot move the block).
        size_t capacity = static_cast<size_t>(limit_ - data_);
        if (n != 0 && capacity - n > n / 8) {
            void* p = PyMem_Realloc(data_, n * sizeof(PyObject*));
            if (p != nullptr) {
                data_ = static_cast<PyObject**>(p);
                top_ = limit_ = data_ + n;
            }
        }
        auto* l = reinterpret_cast<PyListObject*>(list);
        l->ob_item = data_;
        l->allocated = limit_ - data_;
        Py_SET_SIZE(l, static_cast<Py_ssize_t>(n));
        data_ = top_ = limit_ = nullptr;
        return list;
#endif
    }

    ARBOLUS_NOINLINE void grow() { reallocate(2 * static_cast<size_t>(limit_ - data_)); }

private:
    void reallocate(size_t capacity) {
        size_t n = size();
        if (capacity < 16) capacity = 16;
        if (capacity > PY_SSIZE_T_MAX / sizeof(PyObject*)) throw std::bad_alloc();
        void* p = PyMem_Realloc(data_, capacity * sizeof(PyObject*));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<PyObject**>(p);
        top_ = data_ + n;
        limit_ = data_ + capacity;
    }

    PyObject** data_ = nullptr;
    PyObject** top_ = nullptr;
    PyObject** limit_ = nullptr;
};

// A walk's view of a PtrArray (its work stack, its output): the cursor
// lives in the view, which nothing takes the address of, so the compiler
// keeps it in registers; the array is reached only to grow, out of line,
// and gets the cursor back when the view goes.
class ArrayView {
public:
    explicit ArrayView(PtrArray& array) : array_(array), top_(array.top()), limit_(array.limit()) {}
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { array_.set_top(top_); }

    void push(PyObject* p) {
        if (full()) [[unlikely]] grow();
        *top_++ = p;
    }
    PyObject* pop() noexcept { return *--top_; }
    bool empty() const noexcept { return top_ == array_.data(); }
    bool full() const noexcept { return top_ == limit_; }
    size_t size() const noexcept { return static_cast<size_t>(top_ - array_.data()); }

    void grow() {
        array_.set_top(top_);
        array_.grow();
        top_ = array_.top();
        limit_ = array_.limit();
    }

    // Calls f with a stack that may be passed to code out of line: the
    // cursor is written back first and read again after, so this view's
    // own address never escapes.
    template <class F>
    void spilled(F&& f) {
        array_.set_top(top_);
        {
            ArrayView out_of_line(array_);
            f(out_of_line);
        }
        top_ = array_.top();
        limit_ = array_.limit();
    }

private:
    PtrArray& array_;
    PyObject** top_;
    PyObject** limit_;
};

// Pushes the children a field value holds (the value itself, or the items
// of a plain list), the first on top. Each pushed child's entry
// table starts loading at once: it is needed when the child comes off the
// stack, and for all but the first child that is a whole subtree later.
template <class Stack>
ARBOLUS_ALWAYS_INLINE void push_value(PyObject* value, const BaseTypes& base, Stack& stack) {
    if (Py_IS_TYPE(value, &PyList_Type)) {
        PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
        for (Py_ssize_t i = PyList_GET_SIZE(value); i-- > 0;) {
            if (is_ast_fast(items[i], base)) {
                stack.push(items[i]);
                prefetch_fields(items[i]);
            }
        }
    } else if (is_ast_fast(value, base)) {
        stack.push(value);
        prefetch_fields(value);
    }
}

// Fields names[0 .. count-1] of a node whose dictionary does not start with
// them, read by name, last field first: from the dictionary, else from the
// class where that runs no code. (A field that only a descriptor supplies
// is not read: these walks never run interpreter code.)
template <class Stack>
void push_fields_by_name(PyObject* x, PyObject* dict, const ClassFields& fields, size_t count,
                         const BaseTypes& base, Stack& stack) {
    for (size_t i = count; i-- > 0;) {
        PyObject* name = fields.names[i].get();
        PyObject* value = dict != nullptr ? pydict::find_str_key(dict, name) : nullptr;
        Held from_class;
        if (value == nullptr) {
            if (class_value(Py_TYPE(x), name, from_class) != ClassValue::Found) continue;
            value = from_class.get();
        }
        push_value(value, base, stack);
    }
}

// Takes back what push_value(value) pushed.
template <class Stack>
void unpush_value(PyObject* value, const BaseTypes& base, Stack& stack) {
    if (Py_IS_TYPE(value, &PyList_Type)) {
        for (Py_ssize_t i = PyList_GET_SIZE(value); i-- > 0;) {
            if (is_ast_fast(PyList_GET_ITEM(value, i), base)) stack.pop();
        }
    } else if (is_ast_fast(value, base)) {
        stack.pop();
    }
}

// The rest of process_node for X, whose fields names[0 .. left-1] are still
// to be read (left == NOT_SCANNED: none read, the dictionary not scanned):
// in place as far as they lead the dictionary in order, the rest by name.
// Takes only X: what else it needs is found again from X, so that the walk
// keeps nothing more across the scan.
template <class Stack>
ARBOLUS_NOINLINE void finish_node(PyObject* x, size_t left, const BaseTypes& base,
                                  const FieldTable::View& table, Stack& stack) {
    const ClassFields& fields = table.lookup(reinterpret_cast<uintptr_t>(Py_TYPE(x)));
    const size_t n = size_t{fields.count} - 1;
    PyObject* dict = get_instance_dict_fast(x);
    if (left == pydict::NOT_SCANNED) {
        left = pydict::all_leading_fields_reversed(
            dict, fields.names, n,
            [&](size_t m) { return fields.absent_give_nothing(Py_TYPE(x), m); },
            [&](PyObject* value) { push_value(value, base, stack); });
        if (left == 0) return;
    }
    // Fields names[left .. m-1] were read in place. With fewer positions
    // than fields, those after m were taken as absent; if one is in the
    // dictionary after all (in place of an earlier one), it is read by
    // name, below them: they are taken back, and every field read by name.
    const size_t m = dict != nullptr ? std::min(n, pydict::positions_in_use(dict)) : n;
    if (m < n && left < n) {
        bool all_absent = true;
        for (size_t i = m; i < n && all_absent; ++i) {
            all_absent = pydict::find_str_key(dict, fields.names[i].get()) == nullptr;
        }
        if (!all_absent) {
            for (size_t i = left; i < m; ++i) {
                // (The key at position i is names[i] itself.)
                unpush_value(pydict::find_str_key(dict, fields.names[i].get()), base, stack);
            }
            left = n;
        }
    }
    push_fields_by_name(x, dict, fields, left, base, stack);
}

// Pushes X's children so that the first child in field order ends on top:
// fields last first, list items last first. The fields are read in place
// as far as the node's dictionary starts with them in order (all of them,
// for parsed nodes), the rest by name. Only the first is inline: the rest
// is out of line, given the stack through spilled() so that the walk's
// own cursor stays in registers.
template <class Stack>
void process_node_shared(PyObject* x, const BaseTypes& base, const FieldTable::View& table,
                         Stack& stack);

template <class Stack>
ARBOLUS_ALWAYS_INLINE void process_node(PyObject* x, const BaseTypes& base,
                                        const FieldTable::View& table, Stack& stack) {
    if constexpr (ARBOLUS_FREE_THREADED) {
        process_node_shared(x, base, table, stack);
        return;
    }
    const ClassFields& fields = table.lookup(reinterpret_cast<uintptr_t>(Py_TYPE(x)));
    if (fields.count <= 1) return;
    const size_t n = size_t{fields.count} - 1;
    PyObject* dict = get_instance_dict_fast(x);
    size_t left = n;
    if (dict != nullptr) {
        left = pydict::leading_fields_reversed(
            dict, fields.names, n,
            [&](size_t m) { return fields.absent_give_nothing(Py_TYPE(x), m); },
            [&](PyObject* value) { push_value(value, base, stack); });
        if (left == 0) [[likely]] return;
    }
    stack.spilled([&](auto& s) { finish_node(x, left, base, table, s); });
}

// --- without the global lock -------------------------------------------------
//
// Everything above holds nodes, dictionaries and lists borrowed: under the
// global lock nothing changes them while the walk runs no interpreter
// code. On free-threaded builds any other thread may, at any moment,
// change a node's dictionary or swap it for another (`__dict__`), append
// to, shrink or clear a field's list, or replace a field, and the object it
// replaced is freed with its last reference. The direct reads of the dict
// layout are off there (dict_layout.h), and a node is processed this way
// instead:
//   - the dictionary slot is read under the node's lock, and the
//     dictionary held (instance_dict_held);
//   - the fields are read under the dictionary's lock, and each value
//     found is held before the lock is given up;
//   - a list's items are read under the list's lock (the walk holds the
//     list), and each child pushed is held: the stack owns a reference to
//     every node on it, given back when the node is done (or moved into
//     the result), and everything still on it when a walk fails.
// Only one of these locks is held at a time, and nothing waits under one,
// so a section is never given up in the middle (see CriticalSection).
// Each node's fields are read at one moment, under its dictionary's lock;
// different nodes at different moments, as the walk reaches them. A
// node's class is read once: swapping `__class__` stops every other
// thread at a point where it waits, and the class met is the one whose
// field names are used. The field names are those the table recorded for
// the class, held by the table: redefining `_fields` later changes
// nothing the walk reads.

// A node's field values, owned, by field position (null: no child there).
class SharedFields {
public:
    explicit SharedFields(size_t n) noexcept : n_(n) { std::fill_n(values_, n, nullptr); }
    SharedFields(const SharedFields&) = delete;
    SharedFields& operator=(const SharedFields&) = delete;
    ~SharedFields() {
        for (size_t i = 0; i < n_; ++i) Py_XDECREF(values_[i]);
    }
    PyObject*& operator[](size_t i) noexcept { return values_[i]; }

private:
    PyObject* values_[FieldTable::MAX_FIELDS];
    size_t n_;
};

// Reads the fields of X, an instance of `cls`, as process_node does: in
// place while the dictionary's leading entries are the field names in
// order, the rest by name from the dictionary, else from the class where
// that runs no code.
// (A template, as its one caller is: builds with the global lock use
// neither.)
template <class Values>
void read_fields_shared(PyObject* x, PyTypeObject* cls, const ClassFields& fields, size_t n,
                        Values& values) {
    Held dict = instance_dict_held(x);
    if (dict) {
        CriticalSection section(dict.get());
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        size_t m = 0;
        while (m < n && PyDict_Next(dict.get(), &pos, &key, &value)) {
            if (static_cast<size_t>(pos) != m + 1 || key != fields.names[m].get()) break;
            values[m++] = Py_NewRef(value);
        }
        for (size_t i = m; i < n; ++i) {
            values[i] = Py_XNewRef(pydict::find_str_key(dict.get(), fields.names[i].get()));
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (values[i] != nullptr) continue;
        Held from_class;
        if (class_value(cls, fields.names[i].get(), from_class) == ClassValue::Found) {
            values[i] = Py_NewRef(from_class.get());
        }
    }
}

// push_value for a held field value: each child pushed owns a reference.
template <class Stack>
void push_value_shared(PyObject* value, const BaseTypes& base, Stack& stack) {
    if (Py_IS_TYPE(value, &PyList_Type)) {
        CriticalSection section(value);
        for (Py_ssize_t i = PyList_GET_SIZE(value); i-- > 0;) {
            PyObject* item = PyList_GET_ITEM(value, i);
            if (is_ast_fast(item, base)) stack.push(Py_NewRef(item));
        }
    } else if (is_ast_fast(value, base)) {
        stack.push(Py_NewRef(value));
    }
}

template <class Stack>
ARBOLUS_NOINLINE void process_node_shared(PyObject* x, const BaseTypes& base,
                                          const FieldTable::View& table, Stack& stack) {
    PyTypeObject* cls = Py_TYPE(x);
    const ClassFields& fields = table.lookup(reinterpret_cast<uintptr_t>(cls));
    if (fields.count <= 1) return;
    const size_t n = size_t{fields.count} - 1;
    SharedFields values(n);
    read_fields_shared(x, cls, fields, n, values);
    stack.spilled([&](auto& s) {
        for (size_t i = n; i-- > 0;) {
            if (values[i] != nullptr) push_value_shared(values[i], base, s);
        }
    });
}

// What the walks hold a node on their stack by: owned on free-threaded
// builds (see above), borrowed under the global lock.
using StackRef = std::conditional_t<ARBOLUS_FREE_THREADED, Strong, Borrowed>;

// Takes over the reference of a node just taken off the stack: moved into
// the result where that is a list, else given back once the walk is done
// with the node.
template <class Ref = StackRef>
Ref own_popped(PyObject* x) {
    if constexpr (std::is_same_v<Ref, Strong>) {
        return Strong::steal(x);
    } else {
        return Borrowed::borrow(x);
    }
}

// Lets go of a popped node's reference once the result took it over (the
// list result takes the reference a free-threaded walk's stack owned).
template <class Ref>
void hand_over(Ref& popped) {
    if constexpr (std::is_same_v<Ref, Strong>) (void)popped.release();
}

// Gives back what a walk's stack still owns when the walk ends (nothing
// under the global lock, where it owns nothing).
class StackRelease {
public:
    explicit StackRelease(const PtrArray& stack) noexcept : stack_(stack) {}
    StackRelease(const StackRelease&) = delete;
    StackRelease& operator=(const StackRelease&) = delete;
    ~StackRelease() {
        if constexpr (ARBOLUS_FREE_THREADED) {
            for (PyObject* node : stack_) Py_DECREF(node);
        }
    }

private:
    const PtrArray& stack_;
};

// The cycle search's stack of children, as process_node sees it: owned
// where process_node pushes references.
using CycleRef = std::conditional_t<ARBOLUS_FREE_THREADED, Strong, PyObject*>;

template <class Ref = CycleRef>
Ref own_pushed(PyObject* p) {
    if constexpr (std::is_same_v<Ref, Strong>) {
        return Strong::steal(p);
    } else {
        return p;
    }
}

struct ChildList {
    std::vector<CycleRef>& v;
    void push(PyObject* p) { v.push_back(own_pushed(p)); }
    void pop() { v.pop_back(); }
    template <class F>
    void spilled(F&& f) { f(*this); }
};

bool acyclic(PyObject* root, const BaseTypes& base, const FieldTable::View& table) {
    int found = find_cycle<CycleRef>(root, [&](PyObject* n, std::vector<CycleRef>& children) {
        ChildList out{children};
        process_node(n, base, table, out);
        return true;
    });
    if (found != 0) {
        raise_cycle();
        return false;
    }
    return true;
}

enum class Result { List, Count };

// Where a walk records the nodes it visits. For a list, each node's
// reference is taken while its header is in cache from the expansion, not
// in a second pass over the whole tree; the references move into the list,
// or are given back if the walk fails. A count records nothing.
template <Result R>
class Visits;

template <>
class Visits<Result::List> {
public:
    Visits() : nodes(256) {}
    Visits(const Visits&) = delete;
    Visits& operator=(const Visits&) = delete;
    ~Visits() {
        for (PyObject* node : nodes) Py_DECREF(node);
    }

    // True once, when the records have reached the point where the walk
    // searches for a cycle. (Recording into fixed chunks copied once into
    // the result counts fewer instructions than doubling one array, since
    // callgrind counts doubling's copies byte by byte, but timed 1-3%
    // slower.)
    bool search_due() {
        if (searched_ || nodes.size() < CYCLE_CHECK_VISITS) return false;
        searched_ = true;
        return true;
    }

    PyObject* result() { return nodes.into_list(); }

    PtrArray nodes;

private:
    bool searched_ = false;
};

template <>
class Visits<Result::Count> {
public:
    PyObject* result() { return PyLong_FromSize_t(count); }
    size_t count = 0;
};

// How a walk appends to its Visits: a view whose cursor the compiler keeps
// in registers, written back when the view goes. record() is false once,
// when the walk is due for its cycle search.
template <Result R>
class Recorder;

template <>
class Recorder<Result::List> {
public:
    explicit Recorder(Visits<Result::List>& visits) : visits_(visits), out_(visits.nodes) {}

    // The search can only fall due when the output grows.
    bool record(PyObject* node) {
        bool go_on = true;
        if (out_.full()) [[unlikely]] {
            out_.grow();  // which also gives the array its size
            go_on = !visits_.search_due();
        }
        out_.push(node);
        // (On free-threaded builds the walk hands over its stack's
        // reference instead.)
        if constexpr (!ARBOLUS_FREE_THREADED) Py_INCREF(node);
        return go_on;
    }

private:
    Visits<Result::List>& visits_;
    ArrayView out_;
};

template <>
class Recorder<Result::Count> {
public:
    explicit Recorder(Visits<Result::Count>& visits) : visits_(visits), count_(visits.count) {}
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder() { visits_.count = count_; }

    bool record(PyObject*) noexcept { return ++count_ != CYCLE_CHECK_VISITS; }

private:
    Visits<Result::Count>& visits_;
    size_t count_;
};

template <Result R>
bool walk_node_dfs(PyObject* root, const BaseTypes base, const FieldTable::View table,
                   Visits<R>& visits) {
    PtrArray stack_array(64);
    StackRelease release(stack_array);
    ArrayView stack(stack_array);
    stack.push(root);
    if constexpr (ARBOLUS_FREE_THREADED) Py_INCREF(root);
    Recorder<R> out(visits);
    do {
        PyObject* x = stack.pop();
        [[maybe_unused]] StackRef popped = own_popped(x);
        const bool go_on = out.record(x);
        if constexpr (R == Result::List) hand_over(popped);
        if (!go_on) [[unlikely]] {
            if (!acyclic(root, base, table)) return false;
        }
        process_node(x, base, table, stack);
    } while (!stack.empty());
    return true;
}

// Takes up to four nodes off the stack per pass before any is processed.
// Their loads need no hint of their own: pushing a node already read its
// header and dictionary and requested its entry table.
template <Result R>
bool walk_node_unordered(PyObject* root, const BaseTypes base, const FieldTable::View table,
                         Visits<R>& visits) {
    PtrArray stack_array(64);
    StackRelease release(stack_array);
    ArrayView stack(stack_array);
    stack.push(root);
    if constexpr (ARBOLUS_FREE_THREADED) Py_INCREF(root);
    Recorder<R> out(visits);
    PyObject* batch[4] = {nullptr, nullptr, nullptr, nullptr};
    do {
        size_t k = stack.size() < 4 ? stack.size() : 4;
        StackRef popped[4];
        for (size_t j = 0; j < k; ++j) {
            batch[j] = stack.pop();
            popped[j] = own_popped(batch[j]);
        }
        for (size_t j = 0; j < k; ++j) {
            const bool go_on = out.record(batch[j]);
            if constexpr (R == Result::List) hand_over(popped[j]);
            if (!go_on) [[unlikely]] {
                if (!acyclic(root, base, table)) return false;
            }
            process_node(batch[j], base, table, stack);
        }
    } while (!stack.empty());
    return true;
}

enum class Order { Dfs, Unordered };

template <Order O, Result R>
PyObject* run_fast_walk(PyObject* node) {
    ThreadCaches& caches = thread_caches();
    const BaseTypes* base = resolve_base_types(caches);
    if (base == nullptr) return nullptr;
    return with_field_table(caches, [&](const FieldTable& table) -> PyObject* {
        Visits<R> out;
        bool ok = O == Order::Dfs ? walk_node_dfs(node, *base, table.view(), out)
                                  : walk_node_unordered(node, *base, table.view(), out);
        if (!ok) return nullptr;
        return out.result();
    });
}

}  // namespace

PyObject* walk_dfs(PyObject* node) { return run_fast_walk<Order::Dfs, Result::List>(node); }

PyObject* walk_unordered(PyObject* node) {
    return run_fast_walk<Order::Unordered, Result::List>(node);
}

PyObject* walk_count(PyObject* node) { return run_fast_walk<Order::Dfs, Result::Count>(node); }

}  // namespace arbolus
