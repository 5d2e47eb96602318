// Exact-class sets given by callers as tuples of classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "errors.hpp"

namespace arbolus {

// Sorted, duplicate-free class addresses. Holds no references: the caller's
// tuple keeps the classes alive for the call.
class TypeSet {
public:
    // Null with TypeError set when an item is not a class; later items are
    // not examined.
    static std::optional<TypeSet> make(PyObject* tuple) {
        TypeSet set;
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        set.classes_.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(tuple, i);
            if (!PyType_Check(item)) {
                raise_not_instance(item, "type");
                return std::nullopt;
            }
            set.classes_.push_back(reinterpret_cast<uintptr_t>(item));
        }
        std::sort(set.classes_.begin(), set.classes_.end());
        set.classes_.erase(std::unique(set.classes_.begin(), set.classes_.end()),
                           set.classes_.end());
        return set;
    }

    bool empty() const noexcept { return classes_.empty(); }

    // Branch-light binary search: the loop runs log2(size) times whatever
    // the key, and its one condition compiles to a conditional move.
    bool contains(PyTypeObject* cls) const noexcept {
        const auto key = reinterpret_cast<uintptr_t>(cls);
        size_t span = classes_.size();
        if (span == 0) return false;
        const uintptr_t* base = classes_.data();
        while (span > 1) {
            const size_t half = span / 2;
            base = base[half] <= key ? base + half : base;
            span -= half;
        }
        return *base == key;
    }

private:
    std::vector<uintptr_t> classes_;
};

}  // namespace arbolus
