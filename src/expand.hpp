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

// Reads each field of `node` named in `info.fields` and calls
// step(position, borrowed value), where step returns false with an exception
// set to stop. Returns false with an exception set on failure.
template <class ValueStep>
bool for_each_field(PyObject* node, const TypeInfo& info, ValueStep&& step) {
    if (info.fields.empty()) return true;
    // Attribute lookups below may run code that replaces the dictionary.
    Strong dict = Strong::borrow(get_instance_dict_fast(node));
    const size_t count = info.fields.size();
    for (size_t i = 0; i < count; ++i) {
        PyObject* name = info.fields[i].get();
        if (dict) {
            PyObject* value = pydict::lookup_at(dict.get(), i, name);
            if (value != nullptr) {
                if (!step(i, value)) return false;
                continue;
            }
            if (PyErr_Occurred()) return false;
        }
        Strong value = Strong::steal(PyObject_GetAttr(node, name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            continue;
        }
        if (!step(i, value.get())) return false;
    }
    return true;
}

// Calls step(position, borrowed item) for each item of an exact list,
// re-reading the length before every item (the step may shrink the list).
template <class ItemStep>
bool for_each_item(PyObject* list, ItemStep&& step) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (!step(i, PyList_GET_ITEM(list, i))) return false;
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

    // Appends `node`'s children as owned references; the first child in
    // field order ends last (on top). `node` may be any object.
    bool push_children(PyObject* node, std::vector<Strong>& stack) {
        const TypeInfo* info = type_info(Py_TYPE(node));
        if (info == nullptr) return false;
        const size_t start = stack.size();
        bool ok = for_each_field(node, *info, [&](size_t, PyObject* value) {
            if (Py_IS_TYPE(value, &PyList_Type)) {
                return for_each_item(value, [&](Py_ssize_t, PyObject* item) {
                    if (is_child(item)) stack.push_back(Strong::borrow(item));
                    return true;
                });
            }
            if (is_child(value)) stack.push_back(Strong::borrow(value));
            return true;
        });
        if (!ok) return false;
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        return true;
    }

    // As push_children, with the place each child was read from.
    bool push_child_edges(const Strong& parent, std::vector<Edge>& stack) {
        const TypeInfo* info = type_info(parent.type());
        if (info == nullptr) return false;
        const size_t start = stack.size();
        bool ok = for_each_field(parent.get(), *info, [&](size_t pos, PyObject* value) {
            PyObject* field = info->fields[pos].get();
            if (Py_IS_TYPE(value, &PyList_Type)) {
                return for_each_item(value, [&](Py_ssize_t i, PyObject* item) {
                    if (is_child(item)) stack.push_back({Strong::borrow(item), parent, field, i});
                    return true;
                });
            }
            if (is_child(value)) stack.push_back({Strong::borrow(value), parent, field, -1});
            return true;
        });
        if (!ok) return false;
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        return true;
    }

    // Searches the structure under `root` for a node reachable from itself,
    // expanding only nodes for which expands(node, is_root) holds, as the
    // calling walk does; is_root is true for the walk's starting occurrence
    // only. A path back to the root closes a cycle only if the walk would
    // expand the root again there, expands(root, false); otherwise the root
    // is a leaf at that occurrence (a frontier walk's match, say).
    // False with ValueError (or an expansion error) set.
    template <class Expands>
    bool check_acyclic(PyObject* root, Expands&& expands) {
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
