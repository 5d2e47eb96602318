// Selections by exact class: frontier walks, the typed walk and the visitor
// event stream. All expand nodes with the child expansion engine.
#include <array>
#include <vector>

#include "compiler.hpp"
#include "expand.hpp"
#include "functions.hpp"
#include "type_set.hpp"

namespace arbolus {

namespace {

const Strong& node_of(const Strong& item) { return item; }
const Strong& node_of(const Edge& item) { return item.node; }

// The topmost descendants of `root` whose exact class is in `kinds`, in
// depth-first pre-order, as owned nodes or as edges (Item), whichever
// expand(walk, owned node, stack) pushes. The root itself is never a
// candidate.
template <class Item, class Expand>
ARBOLUS_FLATTEN std::optional<std::vector<Item>> frontier(PyObject* root, PyObject* kinds,
                                                          Expand&& expand) {
    ThreadCaches& caches = thread_caches();
    std::optional<TypeSetHandle> handle = TypeSetHandle::make(caches.type_sets, kinds);
    if (!handle) return std::nullopt;
    const TypeSet::View set = handle->view();
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return std::nullopt;

    Strong top = Strong::borrow(root);
    std::vector<Item> stack;
    std::vector<Item> matches;
    if (!expand(*walk, top, stack)) return std::nullopt;
    CycleWatch watch;
    auto expands = [&](PyObject* n, bool is_root) {
        return is_root || !set.contains(Py_TYPE(n));
    };
    while (!stack.empty()) {
        Item item = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, root, expands)) return std::nullopt;
        if (set.contains(node_of(item).type())) {
            matches.push_back(std::move(item));
        } else if (!expand(*walk, node_of(item), stack)) {
            return std::nullopt;
        }
    }
    return matches;
}

// A new list holding the given references, moved in order.
PyObject* into_pylist(std::vector<Strong>& refs) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(refs.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < refs.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), refs[i].release());
    }
    return list;
}

}  // namespace

PyObject* walk_frontier(PyObject* node, PyObject* kinds) {
    std::optional<std::vector<Strong>> nodes =
        frontier<Strong>(node, kinds, [](Walk& walk, const Strong& n, std::vector<Strong>& stack) {
            return walk.push_children(n.get(), stack);
        });
    if (!nodes) return nullptr;
    return into_pylist(*nodes);
}

PyObject* walk_frontier_edges(PyObject* node, PyObject* kinds) {
    std::optional<std::vector<Edge>> edges =
        frontier<Edge>(node, kinds, [](Walk& walk, const Strong& n, std::vector<Edge>& stack) {
            return walk.push_child_edges(n, stack);
        });
    if (!edges) return nullptr;
    Strong list = Strong::steal(PyList_New(static_cast<Py_ssize_t>(edges->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < edges->size(); ++i) {
        Edge& e = (*edges)[i];
        PyObject* index = PyLong_FromSsize_t(e.index);
        if (index == nullptr) return nullptr;
        PyObject* tuple = PyTuple_New(4);
        if (tuple == nullptr) {
            Py_DECREF(index);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, 0, e.node.release());
        PyTuple_SET_ITEM(tuple, 1, e.parent.release());
        PyTuple_SET_ITEM(tuple, 2, Py_NewRef(e.field));
        PyTuple_SET_ITEM(tuple, 3, index);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

ARBOLUS_FLATTEN PyObject* walk_of_types(PyObject* node, PyObject* kinds, PyObject* prune) {
    ThreadCaches& caches = thread_caches();
    std::optional<TypeSetHandle> kind_handle = TypeSetHandle::make(caches.type_sets, kinds);
    if (!kind_handle) return nullptr;
    std::optional<TypeSetHandle> prune_handle =
        prune != Py_None ? TypeSetHandle::make(caches.type_sets, prune) : std::nullopt;
    if (prune != Py_None && !prune_handle) return nullptr;
    const TypeSet::View kind_set = kind_handle->view();
    const TypeSet::View prune_set = prune_handle ? prune_handle->view() : TypeSet::View(nullptr, 0);
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return nullptr;

    const bool pruning = !prune_set.empty();
    const bool matching = !kind_set.empty();
    // The root object is descended wherever it occurs, whatever its class.
    auto expands = [&](PyObject* n, bool) {
        return n == node || !pruning || !prune_set.contains(Py_TYPE(n));
    };
    std::vector<Strong> stack;
    std::vector<Strong> matches;
    stack.push_back(Strong::borrow(node));
    CycleWatch watch;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, node, expands)) return nullptr;
        if (expands(n.get(), n.get() == node) && !walk->push_children(n.get(), stack)) {
            return nullptr;
        }
        if (matching && kind_set.contains(n.type())) matches.push_back(std::move(n));
    }
    return into_pylist(matches);
}

ARBOLUS_FLATTEN PyObject* walk_frontier_events(PyObject* node, PyObject* kinds, PyObject* bracket) {
    ThreadCaches& caches = thread_caches();
    std::optional<TypeSetHandle> kind_handle = TypeSetHandle::make(caches.type_sets, kinds);
    if (!kind_handle) return nullptr;
    std::optional<TypeSetHandle> bracket_handle = TypeSetHandle::make(caches.type_sets, bracket);
    if (!bracket_handle) return nullptr;
    const TypeSet::View kind_set = kind_handle->view();
    const TypeSet::View bracket_set = bracket_handle->view();
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return nullptr;

    struct Event {
        int64_t code;
        Strong node;
    };
    std::vector<Step> steps;
    std::vector<Event> events;
    const bool dispatching = !kind_set.empty();
    const bool bracketing = !bracket_set.empty();

    // Expands n, opening a bracket around its descent when its class asks
    // (as it is once its fields are read: reading them may change it). The
    // bracket's close goes below the children.
    auto descend = [&](Strong n) {
        const size_t start = steps.size();
        bool ok = walk->push_children(n.get(), steps, [&](PyObject*, Py_ssize_t, PyObject* child) {
            steps.push_back({Step::Visit, Strong::borrow(child)});
        });
        if (!ok) return false;
        if (bracketing && bracket_set.contains(n.type())) {
            events.push_back({1, n});
            steps.insert(steps.begin() + static_cast<std::ptrdiff_t>(start),
                         Step{Step::Close, std::move(n)});
        }
        return true;
    };
    auto expands = [&](PyObject* n, bool is_root) {
        return is_root || !dispatching || !kind_set.contains(Py_TYPE(n));
    };

    if (!descend(Strong::borrow(node))) return nullptr;
    CycleWatch watch;
    while (!steps.empty()) {
        Step step = std::move(steps.back());
        steps.pop_back();
        if (step.kind == Step::Close) {
            events.push_back({2, std::move(step.node)});
            continue;
        }
        if (!watch.visit(*walk, node, expands)) return nullptr;
        if (dispatching && kind_set.contains(step.node.type())) {
            events.push_back({0, std::move(step.node)});
        } else if (!descend(std::move(step.node))) {
            return nullptr;
        }
    }

    std::array<Strong, 3> codes;
    for (long c = 0; c < 3; ++c) {
        codes[static_cast<size_t>(c)] = Strong::steal(PyLong_FromLong(c));
        if (!codes[static_cast<size_t>(c)]) return nullptr;
    }
    Strong list = Strong::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < events.size(); ++i) {
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(codes[static_cast<size_t>(events[i].code)].get()));
        PyTuple_SET_ITEM(pair, 1, events[i].node.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

}  // namespace arbolus
