// Detection of structures in which a node is its own descendant.
//
// The walks keep no record of visited nodes (a shared subtree is visited once
// per path), so a cycle would make them grow their buffers until memory runs
// out. Ordinary trees must not pay for guarding against that: a walk counts
// its visits and, only when one call passes a large count, runs one search
// over the distinct objects reachable from its root.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "pointer_map.hpp"
#include "strong.hpp"

namespace arbolus {

// Visits after which a walk first looks for a cycle; later checks (for walks
// that run interpreter code, which may change the tree) come at each
// doubling, so their cost stays proportional to the walk's own.
inline constexpr size_t CYCLE_CHECK_VISITS = size_t{1} << 24;

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const Strong& s) { return s.get(); }

// Three-colour depth-first search over the distinct objects reachable from
// `root`. `expand(node, out)` appends the node's children to `out` (a vector
// of Ref) and returns false with an exception set on failure. Ref is a
// borrowed pointer where expansion runs no interpreter code, or Strong where
// it may (every object met is then kept alive until the search ends, so
// addresses cannot be reused meanwhile).
// Returns 1 when a node is reachable from itself, 0 when not, -1 on failure.
template <class Ref, class Expand>
int find_cycle(PyObject* root, Expand&& expand) {
    enum : uint8_t { WHITE = 0, GREY = 1, BLACK = 2 };
    struct Entry {
        Ref node;
        bool exit;
    };
    PointerMap<uint8_t> colour;
    std::vector<Entry> stack;
    std::vector<Ref> children;
    std::vector<Ref> keep;
    if constexpr (std::is_same_v<Ref, Strong>) {
        stack.push_back({Strong::borrow(root), false});
    } else {
        stack.push_back({root, false});
    }
    while (!stack.empty()) {
        Entry e = std::move(stack.back());
        stack.pop_back();
        auto key = reinterpret_cast<uintptr_t>(raw(e.node));
        uint8_t* c = colour.find(key);
        if (e.exit) {
            *c = BLACK;
            continue;
        }
        if (c != nullptr) {
            // Grey nodes are exactly the open ancestors of the node that
            // pushed this entry: reaching one closes a cycle.
            if (*c == GREY) return 1;
            continue;
        }
        colour.insert(key, GREY);
        children.clear();
        if (!expand(raw(e.node), children)) return -1;
        stack.push_back({e.node, true});
        for (Ref& child : children) stack.push_back({std::move(child), false});
        if constexpr (std::is_same_v<Ref, Strong>) keep.push_back(std::move(e.node));
    }
    return 0;
}

}  // namespace arbolus
