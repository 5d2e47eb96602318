// Walks that find children through the field table and a direct scan of the
// instance dictionary. Nothing here runs interpreter code between the start
// of a traversal and the building of its result, so nodes are held as
// borrowed pointers: no node can be freed or changed meanwhile.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cycles.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "node_types.hpp"
#include "pydict.hpp"
#include "thread_caches.hpp"

namespace arbolus {

namespace {

using Nodes = std::vector<PyObject*>;

// Pushes X's children so that the first child in field order ends on top:
// the leading field values are consumed last position first, list items
// last item first.
inline void process_node(PyObject* x, const BaseTypes& base, const FieldTable& table,
                         Nodes& stack) {
    uint8_t k = table.lookup(reinterpret_cast<uintptr_t>(Py_TYPE(x)));
    if (k <= 1) return;
    PyObject* dict = get_instance_dict_fast(x);
    if (dict == nullptr) return;
    pydict::leading_values_reversed(dict, size_t{k} - 1, [&](PyObject* value) {
        if (Py_IS_TYPE(value, &PyList_Type)) {
            PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
            for (Py_ssize_t i = PyList_GET_SIZE(value); i-- > 0;) {
                if (is_ast_fast(items[i], base)) stack.push_back(items[i]);
            }
        } else if (is_ast_fast(value, base)) {
            stack.push_back(value);
        }
    });
}

// A one-off search for a cycle once a walk has recorded CYCLE_CHECK_VISITS
// nodes. True when the walk may go on; false with ValueError set.
bool acyclic(PyObject* root, const BaseTypes& base, const FieldTable& table) {
    int found = find_cycle<PyObject*>(root, [&](PyObject* n, Nodes& out) {
        process_node(n, base, table, out);
        return true;
    });
    if (found != 0) {
        raise_cycle();
        return false;
    }
    return true;
}

// The visited nodes in visiting order. When the walk builds a list, each
// node's reference is taken as it is recorded, while its header is in cache
// from the expansion, instead of in a second pass over the whole tree; the
// references move into the list, or are given back if the walk fails.
class Recorded {
public:
    explicit Recorded(bool take_refs) : take_refs_(take_refs) {}
    Recorded(const Recorded&) = delete;
    Recorded& operator=(const Recorded&) = delete;
    ~Recorded() {
        if (take_refs_) {
            for (PyObject* node : nodes_) Py_DECREF(node);
        }
    }

    void push_back(PyObject* node) {
        nodes_.push_back(node);
        if (take_refs_) Py_INCREF(node);
    }
    size_t size() const noexcept { return nodes_.size(); }

    // A new list holding the recorded references (which must have been taken).
    PyObject* into_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(nodes_.size()));
        if (list == nullptr) return nullptr;
        if (!nodes_.empty()) {
            std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, nodes_.data(),
                        nodes_.size() * sizeof(PyObject*));
        }
        nodes_.clear();
        return list;
    }

private:
    Nodes nodes_;
    bool take_refs_;
};

bool walk_node_dfs(PyObject* root, const BaseTypes& base, const FieldTable& table,
                   Recorded& out) {
    Nodes stack;
    stack.reserve(64);
    stack.push_back(root);
    size_t check_at = CYCLE_CHECK_VISITS;
    while (!stack.empty()) {
        PyObject* x = stack.back();
        stack.pop_back();
        out.push_back(x);
        process_node(x, base, table, stack);
        if (out.size() == check_at) {
            if (!acyclic(root, base, table)) return false;
            check_at = SIZE_MAX;  // the tree cannot change during this walk
        }
    }
    return true;
}

// Takes up to four nodes off the stack per pass and prefetches them before
// any is processed, so the loads of one node's type and dictionary overlap
// with the work on the others.
bool walk_node_unordered(PyObject* root, const BaseTypes& base, const FieldTable& table,
                         Recorded& out) {
    Nodes stack;
    stack.reserve(64);
    stack.push_back(root);
    PyObject* batch[4] = {nullptr, nullptr, nullptr, nullptr};
    size_t check_at = CYCLE_CHECK_VISITS;
    while (!stack.empty()) {
        size_t k = stack.size() < 4 ? stack.size() : 4;
        for (size_t j = 0; j < k; ++j) {
            batch[j] = stack.back();
            stack.pop_back();
            __builtin_prefetch(batch[j]);
        }
        for (size_t j = 0; j < k; ++j) {
            PyObject* dict = get_instance_dict_fast(batch[j]);
            if (dict != nullptr) __builtin_prefetch(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        }
        for (size_t j = 0; j < k; ++j) {
            out.push_back(batch[j]);
            process_node(batch[j], base, table, stack);
        }
        if (out.size() >= check_at) {
            if (!acyclic(root, base, table)) return false;
            check_at = SIZE_MAX;
        }
    }
    return true;
}

enum class Order { Dfs, Unordered };
enum class Result { List, Count };

PyObject* run_fast_walk(PyObject* node, Order order, Result result) {
    ThreadCaches& caches = thread_caches();
    const BaseTypes* base = resolve_base_types(caches);
    if (base == nullptr) return nullptr;
    return with_field_table(caches, [&](const FieldTable& table) -> PyObject* {
        Recorded out(result == Result::List);
        bool ok = order == Order::Dfs ? walk_node_dfs(node, *base, table, out)
                                      : walk_node_unordered(node, *base, table, out);
        if (!ok) return nullptr;
        if (result == Result::Count) return PyLong_FromSize_t(out.size());
        return out.into_list();
    });
}

}  // namespace

PyObject* walk_dfs(PyObject* node) { return run_fast_walk(node, Order::Dfs, Result::List); }

PyObject* walk_unordered(PyObject* node) {
    return run_fast_walk(node, Order::Unordered, Result::List);
}

PyObject* walk_count(PyObject* node) { return run_fast_walk(node, Order::Dfs, Result::Count); }

}  // namespace arbolus
