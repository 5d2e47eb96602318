// Child expansion: the one engine that turns a node into its child nodes for
// every walk that reads fields by name (selections, edits, hashing).
//
// Fields are read in the order of the class's `_fields`: from the instance
// dictionary when it has the name (its answer is final, even None), else by
// ordinary attribute lookup, where AttributeError means the field is absent.
// Children are pushed onto the caller's stack so that popping yields them in
// field order, list items in list order. Attribute lookups may run
// interpreter code, so everything pushed carries its own reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "compiler.hpp"
#include "cycles.hpp"
#include "errors.hpp"
#include "node_types.hpp"
#include "pydict.hpp"
#include "strong.hpp"
#include "thread_caches.hpp"
#include "type_info.hpp"

namespace arbolus {

// A child with the place it was read from: `parent.<field>` when index is
// -1, else `parent.<field>[index]`. The field name is borrowed from the
// parent class's TypeInfo, which lives as long as the thread.
struct Edge {
    Strong node;
    Strong parent;
    PyObject* field;
    Py_ssize_t index;
};

// Work item of the visitor event stream.
struct Step {
    enum Kind : size_t { Visit = 0, Close = 1 };
    Kind kind;
    Strong node;
};

// Whether a field step may run interpreter code, which may change or replace
// the node's dictionary between two fields.
enum class StepRuns { Code, NoCode };

// Whether a field read by means that may run interpreter code is made, or
// refused before anything runs: for_each_field then stops and returns false
// with no exception set (and `*code_ran` set), for a caller that would rather
// start again in another way than let code run where it is.
enum class SlowReads { Make, Refuse };

namespace detail {

// A field the dictionary does not hold at its usual position: an ordinary
// lookup in `dict` (when there is one), whose answer is final, else the
// class's value when that is sure to be what attribute lookup gives, else
// attribute lookup. 1 with `value` set (borrowed from the dictionary or the
// class, or owned by `held`), 0 when the field is absent, -1 with an
// exception set. `code_ran` is set where interpreter code may have run: a
// lookup comparing keys of other classes than str, or attribute lookup;
// with `refuse`, such a read is not made: 2, with `code_ran` set.
constexpr int READ_REFUSED = 2;
ARBOLUS_NOINLINE inline int read_field_slowly(PyObject* node, PyObject* dict, PyObject* name,
                                              PyObject*& value, Strong& held, bool& code_ran,
                                              bool refuse = false) {
    if (dict != nullptr) {
        const bool quiet_lookup = pydict::str_lookup_runs_no_code(dict);
        if (!quiet_lookup) {
            code_ran = true;
            if (refuse) return READ_REFUSED;
        }
        const int found = pydict::get_item_held(dict, name, value, held);
        if (found != 0) return found;
        if (quiet_lookup) {
            Held from_class;
            switch (class_value(Py_TYPE(node), name, from_class)) {
                case ClassValue::Found:
                    held = Strong::borrow(from_class.get());
                    value = held.get();
                    return 1;
                case ClassValue::Absent:
                    return 0;
                case ClassValue::Unknown:
                    break;
            }
        }
    }
    code_ran = true;
    if (refuse) return READ_REFUSED;
    held = Strong::steal(PyObject_GetAttr(node, name));
    if (!held) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    value = held.get();
    return 1;
}

}  // namespace detail

// Reads each field of `node` named in `info.fields` and calls
// step(position, borrowed value), where step returns false with an exception
// set to stop. Returns false with an exception set on failure. With
// StepRuns::NoCode the caller promises that step runs no interpreter code.
// `*code_ran` (when given) is set before a step whose value was read by
// means that may have run interpreter code (see SlowReads for Refuse).
template <StepRuns Runs = StepRuns::Code, SlowReads Slow = SlowReads::Make, class ValueStep>
bool for_each_field(PyObject* node, const TypeInfo& info, ValueStep&& step,
                    bool* code_ran = nullptr) {
    const size_t count = info.fields.size();
    if (count == 0) return true;
    const Strong* names = info.fields.data();
    // The dictionary read at the start is the one every field comes from.
    // Interpreter code may replace it (and drop it): it is held from the
    // first moment code may run, and its layout is read again after.
    // Until then nothing can change it, and a walk whose nodes keep their
    // fields in place never takes the reference.
    // On free-threaded builds the dictionary is held from the start, and
    // every value read from it is held (read_field_slowly; the reads in
    // place are off there): another thread may replace either at any
    // moment. Each field is read at its own moment then, as if interpreter
    // code ran between any two.
    const Held shared_dict = instance_dict_held(node);
    PyObject* dict = shared_dict.get();
    Strong held_dict;
    if constexpr (Runs == StepRuns::Code && !ARBOLUS_FREE_THREADED) {
        held_dict = Strong::borrow(dict);
    }
    pydict::PositionReader reader(Runs == StepRuns::NoCode ? dict : nullptr);
    for (size_t i = 0; i < count; ++i) {
        PyObject* name = names[i].get();
        PyObject* value;
        if constexpr (Runs == StepRuns::NoCode) {
            value = reader.value_if_key_at(i, name);
        } else {
            value = dict != nullptr ? pydict::value_if_key_at(dict, i, name) : nullptr;
        }
        if (value != nullptr) {
            if (!step(i, value)) return false;
            continue;
        }
        if (!ARBOLUS_FREE_THREADED && dict != nullptr && !held_dict) {
            held_dict = Strong::borrow(dict);
        }
        {
            // Released before the layout is read again: the release may
            // run a finaliser.
            Strong held_value;
            bool ran = false;
            const int found = detail::read_field_slowly(node, dict, name, value, held_value, ran,
                                                        Slow == SlowReads::Refuse);
            if (ran && code_ran != nullptr) *code_ran = true;
            if (found < 0 || found == detail::READ_REFUSED) return false;
            if (found > 0 && !step(i, value)) return false;
        }
        if constexpr (Runs == StepRuns::NoCode) reader = pydict::PositionReader(dict);
    }
    return true;
}

// Calls step(position, borrowed item) for each item of an exact list,
// re-reading the length before every item (the step may shrink the list).
// On free-threaded builds another thread may also shrink it, or replace an
// item and drop it, at any moment: each item is taken with its own
// reference (the list may end early), which the step may rely on until it
// returns. The caller holds the list.
template <class ItemStep>
bool for_each_item(PyObject* list, ItemStep&& step) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if constexpr (ARBOLUS_FREE_THREADED) {
            Strong item = Strong::steal(PyList_GetItemRef(list, i));
            if (!item) {
                PyErr_Clear();  // shrunk since the length was read
                break;
            }
            if (!step(i, item.get())) return false;
        } else {
            if (!step(i, PyList_GET_ITEM(list, i))) return false;
        }
    }
    return true;
}

// for_each_item for a step that runs no interpreter code: the items are
// read at one moment, the list's, under its lock on free-threaded builds,
// so no other thread changes the list meanwhile. Each item is held while
// its step runs (a step that waits, for a lock say, gives the list's lock
// up meanwhile: see CriticalSection). The caller holds the list.
template <class ItemStep>
bool for_each_item_quietly(PyObject* list, ItemStep&& step) {
    CriticalSection section(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        const Held item = Held::borrow(PyList_GET_ITEM(list, i));
        if (!step(i, item.get())) return false;
    }
    return true;
}

class Walk {
public:
    // Null with an exception set when the base node types cannot be had.
    static std::optional<Walk> make(ThreadCaches& caches) {
        const BaseTypes* base = resolve_base_types(caches);
        if (base == nullptr) return std::nullopt;
        return Walk(*base, caches.type_info);
    }

    PyTypeObject* base_type() const noexcept { return base_.ast; }
    PyTypeObject* expr_type() const noexcept { return base_.expr; }
    PyTypeObject* list_type() const noexcept { return &PyList_Type; }
    const BaseTypes& base() const noexcept { return base_; }

    bool is_node(PyObject* obj) const { return is_ast(obj, base_); }
    // is_node for a field value about to be pushed as a child; a child's
    // fields start loading at once (see prefetch_fields).
    bool is_child(PyObject* obj) const {
        if (!is_node(obj)) return false;
        prefetch_fields(obj);
        return true;
    }
    // Null with an exception set (see TypeInfoCache::get).
    const TypeInfo* type_info(PyTypeObject* cls) { return types_->get(cls); }
    // The record when it is built already, else null; runs no interpreter code.
    const TypeInfo* known_type_info(PyTypeObject* cls) { return types_->find(cls); }

    // Calls emit(field name, index, borrowed child) for each child of
    // `node`, in field order and list items in list order; index is -1 for
    // a child the field holds itself. emit must run no interpreter code
    // (it may throw). `node` may be any object.
    template <class Emit>
    bool for_each_child(PyObject* node, const TypeInfo& info, Emit&& emit) {
        const Strong* names = info.fields.data();
        return for_each_field<StepRuns::NoCode>(node, info, [&](size_t pos, PyObject* value) {
            if (Py_IS_TYPE(value, &PyList_Type)) {
                return for_each_item_quietly(value, [&](Py_ssize_t i, PyObject* item) {
                    if (is_child(item)) emit(names[pos].get(), i, item);
                    return true;
                });
            } else if (is_child(value)) {
                emit(names[pos].get(), Py_ssize_t{-1}, value);
            }
            return true;
        });
    }

    // Appends `node`'s children to `stack`, push(field name, index,
    // borrowed child) making and appending each one's item; the first
    // child in field order ends last (on top). push must take its own
    // reference to what it keeps.
    template <class Stack, class Push>
    ARBOLUS_FLATTEN bool push_children(PyObject* node, Stack& stack, Push&& push) {
        const TypeInfo* info = type_info(Py_TYPE(node));
        if (info == nullptr) return false;
        const size_t start = stack.size();
        if (!for_each_child(node, *info, push)) return false;
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        return true;
    }

    // The children as owned references.
    bool push_children(PyObject* node, std::vector<Strong>& stack) {
        return push_children(node, stack, [&](PyObject*, Py_ssize_t, PyObject* child) {
            stack.push_back(Strong::borrow(child));
        });
    }

    // The children with the place each was read from.
    bool push_child_edges(const Strong& parent, std::vector<Edge>& stack) {
        return push_children(parent.get(), stack,
                             [&](PyObject* field, Py_ssize_t index, PyObject* child) {
                                 stack.push_back({Strong::borrow(child), parent, field, index});
                             });
    }

    // Searches the structure under `root` for a node reachable from itself,
    // expanding only nodes for which expands(node, is_root) holds, as the
    // calling walk does; is_root is true for the walk's starting occurrence
    // only. A path back to the root closes a cycle only if the walk would
    // expand the root again there, expands(root, false); otherwise the root
    // is a leaf at that occurrence (a frontier walk's match, say).
    // False with ValueError (or an expansion error) set.
    template <class Expands>
    ARBOLUS_NOINLINE bool check_acyclic(PyObject* root, Expands&& expands) {
        const bool root_expands_again = expands(root, false);
        int found = find_cycle<Strong>(root, [&](PyObject* n, std::vector<Strong>& out) {
            if (!expands(n, n == root)) return true;
            if (!push_children(n, out)) return false;
            if (!root_expands_again) {
                std::erase_if(out, [&](const Strong& child) { return child.get() == root; });
            }
            return true;
        });
        if (found == 0) return true;
        if (found > 0) raise_cycle();
        return false;
    }
    bool check_acyclic(PyObject* root) {
        return check_acyclic(root, [](PyObject*, bool) { return true; });
    }

private:
    Walk(const BaseTypes& base, TypeInfoCache& types) : base_(base), types_(&types) {}

    BaseTypes base_;
    TypeInfoCache* types_;
};

// Counts one walk's visits and runs the cycle search when the count passes
// CYCLE_CHECK_VISITS, then at each doubling: the walk runs interpreter code
// that could close a cycle later.
class CycleWatch {
public:
    // False when the search found a cycle or failed (exception set).
    template <class Expands>
    bool visit(Walk& walk, PyObject* root, Expands&& expands) {
        if (++visits_ < next_check_) return true;
        next_check_ *= 2;
        return walk.check_acyclic(root, expands);
    }
    bool visit(Walk& walk, PyObject* root) {
        return visit(walk, root, [](PyObject*, bool) { return true; });
    }

private:
    size_t visits_ = 0;
    size_t next_check_ = CYCLE_CHECK_VISITS;
};

}  // namespace arbolus
