// Exact-class sets given by callers as tuples of classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "strong.hpp"

namespace arbolus {

// Sorted, duplicate-free class addresses. Holds no references: the caller's
// tuple keeps the classes alive for the call (a tuple never changes, so on
// free-threaded builds too; the cache below is the thread's own).
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

    // The classes as a plain range, for a walk to keep in registers.
    class View {
    public:
        View(const uintptr_t* data, size_t size) noexcept : data_(data), size_(size) {}

        bool empty() const noexcept { return size_ == 0; }

        // Branch-light binary search: the loop runs log2(size) times
        // whatever the key, and its one condition compiles to a conditional
        // move.
        bool contains(PyTypeObject* cls) const noexcept {
            const auto key = reinterpret_cast<uintptr_t>(cls);
            size_t span = size_;
            if (span == 0) return false;
            const uintptr_t* base = data_;
            while (span > 1) {
                const size_t half = span / 2;
                base = base[half] <= key ? base + half : base;
                span -= half;
            }
            return *base == key;
        }

    private:
        const uintptr_t* data_;
        size_t size_;
    };

    View view() const noexcept { return View(classes_.data(), classes_.size()); }
    bool empty() const noexcept { return classes_.empty(); }
    bool contains(PyTypeObject* cls) const noexcept { return view().contains(cls); }

private:
    std::vector<uintptr_t> classes_;
};

// The sets built from the last few exact tuples a thread passed, keyed by
// the tuple object. A tuple's items never change, and each entry holds a
// reference to its tuple, so the address cannot be reused by another object
// while the entry lives: a hit is the set the tuple would build.
class TypeSetCache {
public:
    struct Entry {
        Strong tuple;
        TypeSet set;
        size_t users = 0;  // calls of this thread using `set` right now
    };
    static constexpr size_t SIZE = 8;

    // The entry last found is looked at first: callers tend to repeat one
    // tuple.
    Entry* find(PyObject* tuple) noexcept {
        if (entries_[last_].tuple.get() == tuple) return &entries_[last_];
        for (size_t i = 0; i < SIZE; ++i) {
            if (entries_[i].tuple.get() == tuple) {
                last_ = i;
                return &entries_[i];
            }
        }
        return nullptr;
    }

    // Keeps `set` for `tuple` in the oldest entry no call is using; null
    // when every entry is in use. The replaced tuple's reference is moved
    // to `replaced`, for the caller to drop once the entry is in place
    // (dropping it may run interpreter code that calls back in).
    Entry* insert(PyObject* tuple, TypeSet&& set, Strong& replaced) {
        for (size_t tries = 0; tries < SIZE; ++tries) {
            Entry& e = entries_[next_];
            next_ = (next_ + 1) % SIZE;
            if (e.users != 0) continue;
            replaced = std::move(e.tuple);
            e.tuple = Strong::borrow(tuple);
            e.set = std::move(set);
            last_ = static_cast<size_t>(&e - entries_.data());
            return &e;
        }
        return nullptr;
    }

    // Moves every tuple reference out (for release by the caller under the
    // lock); the entries stay, empty.
    void take_all(std::vector<PyObject*>& out) {
        for (Entry& e : entries_) {
            if (e.tuple) out.push_back(e.tuple.release());
        }
    }

private:
    std::array<Entry, SIZE> entries_;
    size_t next_ = 0;  // where the next replacement starts looking
    size_t last_ = 0;  // the entry last found or filled
};

// The class set of one call's tuple argument: a cache entry the call uses
// (and keeps from being replaced) or, when the cache cannot take it, a set
// of its own.
class TypeSetHandle {
public:
    // Null with TypeError set when an item is not a class (see TypeSet::make).
    static std::optional<TypeSetHandle> make(TypeSetCache& cache, PyObject* tuple) {
        if (!PyTuple_CheckExact(tuple)) {
            std::optional<TypeSet> own = TypeSet::make(tuple);
            if (!own) return std::nullopt;
            return TypeSetHandle(nullptr, std::move(own));
        }
        if (TypeSetCache::Entry* hit = cache.find(tuple)) return TypeSetHandle(hit, std::nullopt);
        std::optional<TypeSet> built = TypeSet::make(tuple);
        if (!built) return std::nullopt;
        Strong replaced;
        TypeSetCache::Entry* entry = cache.insert(tuple, std::move(*built), replaced);
        if (entry == nullptr) return TypeSetHandle(nullptr, std::move(built));
        // Counted as used before the old tuple goes, so that code run by its
        // release cannot replace this entry.
        TypeSetHandle handle(entry, std::nullopt);
        replaced.reset();
        return handle;
    }

    TypeSetHandle(TypeSetHandle&& other) noexcept
        : entry_(std::exchange(other.entry_, nullptr)), own_(std::move(other.own_)) {}
    TypeSetHandle(const TypeSetHandle&) = delete;
    TypeSetHandle& operator=(const TypeSetHandle&) = delete;
    TypeSetHandle& operator=(TypeSetHandle&&) = delete;
    ~TypeSetHandle() {
        if (entry_ != nullptr) --entry_->users;
    }

    // Valid while the handle lives.
    TypeSet::View view() const noexcept { return (entry_ != nullptr ? entry_->set : *own_).view(); }

private:
    TypeSetHandle(TypeSetCache::Entry* entry, std::optional<TypeSet> own)
        : entry_(entry), own_(std::move(own)) {
        if (entry_ != nullptr) ++entry_->users;
    }

    TypeSetCache::Entry* entry_;
    std::optional<TypeSet> own_;
};

}  // namespace arbolus
