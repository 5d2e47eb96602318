// Direct reads of the interpreter's dict storage.
//
// The fast walks find a node's children among the first entries of its
// instance dictionary when those are its fields, in order. Going through
// the public iteration costs a call per entry; reading the entry array in
// place costs a few loads. The layouts (dict_layout.h) mirror the
// interpreter's own private definitions. They are used only where the
// build checked them against that interpreter's internal headers
// (layout_checks.c, compiled when the headers are there, fails the build on
// any difference); any other build, and split tables where their layout is
// not mirrored, use the public position counter, which counts positions the
// same way.
//
// Every read here assumes the dict does not change while it is read and
// while what it gave is used: under the global lock, until the caller runs
// interpreter code. Free-threaded builds have no such moment. There the
// reads in place are off (dict_layout.h): other threads read a dict
// without its lock and change it under it, and a table read in place
// could be resized and freed under the reader. What remains is the public
// API, whose borrowed answers (PyDict_Next, find_str_key, lookup_at) are
// valid only while the caller holds the dict's critical section and
// nothing waits (see CriticalSection), and get_item_held, which holds its
// answer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "compiler.hpp"
#include "dict_layout.h"
#include "strong.hpp"

namespace arbolus::pydict {

#if ARBOLUS_DIRECT_DICT_LAYOUT

using KeysHeader = ArbolusKeysHeader;
using GeneralEntry = ArbolusGeneralEntry;
using UnicodeEntry = ArbolusUnicodeEntry;
enum : uint8_t {
    KEYS_GENERAL = ARBOLUS_KEYS_GENERAL,
    KEYS_UNICODE = ARBOLUS_KEYS_UNICODE,
    KEYS_SPLIT = ARBOLUS_KEYS_SPLIT
};
#if ARBOLUS_DIRECT_SPLIT_LAYOUT
using SplitValues = ArbolusSplitValues;
static_assert(offsetof(SplitValues, values) == 8);
#endif

static_assert(sizeof(KeysHeader) == 32);
// Readers rely on every entry kind holding its value right after its key.
static_assert(offsetof(GeneralEntry, value) == offsetof(GeneralEntry, key) + sizeof(PyObject*));
static_assert(offsetof(UnicodeEntry, value) == offsetof(UnicodeEntry, key) + sizeof(PyObject*));

inline const KeysHeader* keys_of(PyObject* dict) {
    return reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// The entry array of a combined table sits after the index table.
inline const char* entries_of(const KeysHeader* keys) {
    return reinterpret_cast<const char*>(keys) + sizeof(KeysHeader) +
           (size_t{1} << keys->log2_index_bytes);
}

inline const UnicodeEntry* unicode_entries(const KeysHeader* keys) {
    return reinterpret_cast<const UnicodeEntry*>(entries_of(keys));
}

inline const GeneralEntry* general_entries(const KeysHeader* keys) {
    return reinterpret_cast<const GeneralEntry*>(entries_of(keys));
}

#endif

// A new dict with room for `n` entries, so filling it never resizes.
inline PyObject* new_presized(size_t n) { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }

// dict[key] = value where the caller computed hash(key) already, so the
// store does not ask the key again. Where the entry point is not known to
// be there, an ordinary store. 0, or -1 with an exception set.
inline int set_item_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    return _PyDict_SetItem_KnownHash(dict, key, value, hash);
#else
    (void)hash;
    return PyDict_SetItem(dict, key, value);
#endif
}

// The value at entry position `pos` when that position holds exactly the
// object `key` (pointer identity), else null. A dict holds each key once, so
// a hit is the value an ordinary lookup of `key` returns; a miss says
// nothing, and the caller does the ordinary lookup. Nodes keep their fields
// as the first entries of their dictionary, in field order, under the same
// interned names a class's field list holds, so this usually saves the hash
// probe. Everything is read afresh, so the dict may have changed since the
// last call.
inline PyObject* value_if_key_at(PyObject* dict, size_t pos, PyObject* key) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const KeysHeader* keys = keys_of(dict);
    if (d->ma_values == nullptr) {
        if (pos >= static_cast<size_t>(keys->nentries)) return nullptr;
        if (keys->kind == KEYS_GENERAL) {
            const GeneralEntry& e = general_entries(keys)[pos];
            return e.key == key ? e.value : nullptr;
        }
        const UnicodeEntry& e = unicode_entries(keys)[pos];
        return e.key == key ? e.value : nullptr;
    }
#if ARBOLUS_DIRECT_SPLIT_LAYOUT
    const auto* values = reinterpret_cast<const SplitValues*>(d->ma_values);
    if (pos >= values->size || pos >= static_cast<size_t>(d->ma_used)) return nullptr;
    const uint8_t ix = reinterpret_cast<const uint8_t*>(&values->values[values->capacity])[pos];
    if (ix >= values->capacity || ix >= static_cast<size_t>(keys->nentries)) return nullptr;
    return unicode_entries(keys)[ix].key == key ? values->values[ix] : nullptr;
#else
    return nullptr;
#endif
#else
    (void)dict;
    (void)pos;
    (void)key;
    return nullptr;
#endif
}

// value_if_key_at for many positions of one dict: the table's layout is read
// once, so each lookup is a bounds test and one key comparison. Valid only
// while the dict is not changed, that is, while no interpreter code runs;
// after that, take a fresh one. A null dict makes every lookup miss.
class PositionReader {
public:
    explicit PositionReader(PyObject* dict) noexcept {
#if ARBOLUS_DIRECT_DICT_LAYOUT
        if (dict == nullptr) return;
        auto* d = reinterpret_cast<PyDictObject*>(dict);
        const KeysHeader* keys = keys_of(dict);
        // Addresses are computed on bytes: the shared empty table's entry
        // array is not aligned (and is never read, having no entries).
        if (d->ma_values == nullptr) {
            // Both entry kinds end in (key, value): only the start and the
            // stride differ.
            if (keys->kind == KEYS_GENERAL) {
                key_ = entries_of(keys) + offsetof(GeneralEntry, key);
                stride_ = sizeof(GeneralEntry);
            } else {
                key_ = entries_of(keys) + offsetof(UnicodeEntry, key);
                stride_ = sizeof(UnicodeEntry);
            }
            count_ = static_cast<size_t>(keys->nentries);
            return;
        }
#if ARBOLUS_DIRECT_SPLIT_LAYOUT
        const auto* values = reinterpret_cast<const SplitValues*>(d->ma_values);
        split_values_ = values->values;
        split_order_ = reinterpret_cast<const uint8_t*>(&values->values[values->capacity]);
        key_ = entries_of(keys) + offsetof(UnicodeEntry, key);
        stride_ = sizeof(UnicodeEntry);
        count_ = std::min<size_t>(values->size, static_cast<size_t>(d->ma_used));
        split_slots_ = std::min<size_t>(values->capacity, static_cast<size_t>(keys->nentries));
#endif  // otherwise a split table has no position to read: every lookup misses
#else
        (void)dict;
#endif
    }

    PyObject* value_if_key_at(size_t pos, PyObject* key) const noexcept {
#if ARBOLUS_DIRECT_DICT_LAYOUT
        if (pos >= count_) return nullptr;
        if (split_values_ == nullptr) return value_at(key_ + pos * stride_, key);
        const size_t ix = split_order_[pos];
        if (ix >= split_slots_) return nullptr;
        return *key_at(key_ + ix * stride_) == key ? split_values_[ix] : nullptr;
#else
        (void)pos;
        (void)key;
        return nullptr;
#endif
    }

private:
#if ARBOLUS_DIRECT_DICT_LAYOUT
    static PyObject* const* key_at(const char* entry) noexcept {
        return reinterpret_cast<PyObject* const*>(entry);
    }
    static PyObject* value_at(const char* entry, PyObject* key) noexcept {
        PyObject* const* slot = key_at(entry);
        return slot[0] == key ? slot[1] : nullptr;
    }

    const char* key_ = nullptr;  // the key of entry 0 (of the shared keys when split)
    size_t stride_ = 0;
    size_t count_ = 0;  // positions that hold an entry
    PyObject* const* split_values_ = nullptr;  // split table: values by shared index
    const uint8_t* split_order_ = nullptr;     // split table: shared index by position
    size_t split_slots_ = 0;                   // split table: valid shared indices
#endif
};

// Whether entry position `pos` holds no key: it is past the entries in use
// or its entry was deleted. Where the layout is not known, false.
inline bool position_free(PyObject* dict, size_t pos) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const KeysHeader* keys = keys_of(dict);
    if (d->ma_values == nullptr) {
        if (pos >= static_cast<size_t>(keys->nentries)) return true;
        if (keys->kind == KEYS_GENERAL) return general_entries(keys)[pos].key == nullptr;
        return unicode_entries(keys)[pos].key == nullptr;
    }
    // Split table: positions count the used values only.
    return pos >= static_cast<size_t>(d->ma_used);
#else
    (void)dict;
    (void)pos;
    return false;
#endif
}

// Whether an ordinary lookup of an exact str in `dict` is sure to run no
// interpreter code: when every key is a str, the interpreter compares keys
// itself; a key of another class may have its `__eq__` called. Where the
// layout is not known, false.
inline bool str_lookup_runs_no_code(PyObject* dict) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr ||
           keys_of(dict)->kind != KEYS_GENERAL;
#else
    (void)dict;
    return false;
#endif
}

// str_lookup_runs_no_code for a class's dictionary, which is small and
// read only where a field is missing from an instance: where the layout is
// not known, the keys are looked at.
inline bool str_lookup_in_class_runs_no_code(PyObject* dict) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    return str_lookup_runs_no_code(dict);
#else
    // (Under the dict's lock: on free-threaded builds another thread may
    // set a class attribute meanwhile.)
    CriticalSection section(dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
#endif
}

// The value `dict` holds under `key`, found at entry position `pos` when
// it is there (see value_if_key_at), else by an ordinary lookup. Null when
// absent, with an exception set if the lookup failed.
inline PyObject* lookup_at(PyObject* dict, size_t pos, PyObject* key) {
    PyObject* value = value_if_key_at(dict, pos, key);
    return value != nullptr ? value : PyDict_GetItemWithError(dict, key);
}

// dict[key] for a value used after the read: 1 with `value` set, 0 when
// absent, -1 with an exception set. Under the global lock `value` is
// borrowed, valid until interpreter code runs; on free-threaded builds,
// where another thread may replace it and drop it at any moment, `held`
// owns it (the lookup takes the reference, so no moment is left between
// finding the value and holding it).
inline int get_item_held(PyObject* dict, PyObject* key, PyObject*& value, Strong& held) {
    if constexpr (ARBOLUS_FREE_THREADED) {
        const int found = PyDict_GetItemRef(dict, key, &value);
        held = Strong::steal(value);
        return found;
    } else {
        value = PyDict_GetItemWithError(dict, key);
        if (value != nullptr) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }
}

// leading_fields_reversed's answer for a table it leaves untouched to
// all_leading_fields_reversed.
inline constexpr size_t NOT_SCANNED = SIZE_MAX;

// How many entry positions of `dict` are in use, as the position counter
// counts them (deleted entries included where they keep their position).
// Where the layout is not known, 0.
inline size_t positions_in_use(PyObject* dict) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (d->ma_values == nullptr) return static_cast<size_t>(keys_of(dict)->nentries);
#if ARBOLUS_DIRECT_SPLIT_LAYOUT
    const auto* values = reinterpret_cast<const SplitValues*>(d->ma_values);
    return std::min<size_t>(values->size, static_cast<size_t>(d->ma_used));
#else
    // Split table: deletions close the gap in the insertion order.
    return static_cast<size_t>(d->ma_used);
#endif
#else
    (void)dict;
    return 0;
#endif
}

#if ARBOLUS_DIRECT_DICT_LAYOUT
// The scan of leading_fields_reversed over the first n entries of a
// combined table. An entry whose key is a name is in use: a deleted entry
// has no key, so a hole fails the key test like any other key.
template <class Entry, class Push>
ARBOLUS_ALWAYS_INLINE size_t fields_in_entries(const Entry* e, const Strong* names, size_t n,
                                               Push& push) {
    // One byte offset indexes both arrays (an entry is a whole number of
    // pointers), which leaves the walk a register.
    static_assert(sizeof(Strong) == sizeof(PyObject*) && sizeof(Entry) % sizeof(PyObject*) == 0);
    constexpr size_t scale = sizeof(Entry) / sizeof(PyObject*);
    const char* entries = reinterpret_cast<const char*>(e);
    const char* name_at = reinterpret_cast<const char*>(names);
    size_t offset = n * sizeof(PyObject*);
    while (offset != 0) {
        offset -= sizeof(PyObject*);
        const Entry& entry = *reinterpret_cast<const Entry*>(entries + scale * offset);
        if (entry.key != *reinterpret_cast<PyObject* const*>(name_at + offset)) [[unlikely]] {
            return offset / sizeof(PyObject*) + 1;
        }
        push(entry.value);
    }
    return 0;
}

// How many leading positions of a table with m in use are read: n, or m
// when fewer and tail_ok(m) says the fields after them may be left out
// (else none, and every field is read by name).
template <class TailOk>
ARBOLUS_ALWAYS_INLINE size_t window(size_t m, size_t n, TailOk& tail_ok) {
    if (m >= n) return n;
    return tail_ok(m) ? m : 0;
}
#endif

// leading_fields_reversed through the public position counter, for builds
// that do not read the layout and for split tables where their layout is
// not mirrored: all fields read (0) or none (n). A returned position p
// means the entry sat at entry position p - 1. Everything is checked
// before anything is pushed. Field counts are capped at 254, so a small
// buffer holds them.
template <class TailOk, class Push>
size_t leading_fields_reversed_public(PyObject* dict, const Strong* names, size_t n,
                                      TailOk& tail_ok, Push& push) {
    PyObject* found[256];
    size_t m = 0;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (m < n && m < 256 && PyDict_Next(dict, &pos, &key, &value)) {
        if (static_cast<size_t>(pos) != m + 1 || key != names[m].get()) return n;
        found[m++] = value;
    }
    if (m < n && !tail_ok(m)) return n;
    while (m > 0) push(found[--m]);
    return 0;
}

// Reads a node's fields from the first entries of its dictionary, as far
// as those are the fields: entry positions 0 .. n-1 of `dict` should hold
// names[0] .. names[n-1] themselves (the same objects), in that order,
// with no position empty, as the parser and the node constructors leave a
// node whose fields were all given. push(value) is called for the values
// from the last position down, until a position does not hold its name;
// the result is how many fields (names[0 .. result-1]) are still to be read
// by name, 0 when all were read. A table with fewer positions in use, m,
// is read over those m when tail_ok(m) says the fields after them may be
// left out, the fields being absent from the table (which the caller
// checks again if the result is not 0: a field may sit among the first m
// under another name's position); else not at all (result n). Tables of
// the rarer layouts (values apart from the keys, keys other than str) are
// left untouched (NOT_SCANNED) to all_leading_fields_reversed, for the
// caller to call out of line. No interpreter code runs, no reference is
// taken: values are borrowed and valid while the caller holds the
// interpreter lock and runs nothing that could change the dict.
template <class TailOk, class Push>
ARBOLUS_ALWAYS_INLINE size_t leading_fields_reversed(PyObject* dict, const Strong* names, size_t n,
                                                     TailOk&& tail_ok, Push&& push) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    const KeysHeader* keys = keys_of(dict);
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr ||
        keys->kind == KEYS_GENERAL) [[unlikely]] {
        return NOT_SCANNED;
    }
    const size_t m = window(static_cast<size_t>(keys->nentries), n, tail_ok);
    if (m == 0) [[unlikely]] return n;
    return fields_in_entries(unicode_entries(keys), names, m, push);
#else
    return leading_fields_reversed_public(dict, names, n, tail_ok, push);
#endif
}

// leading_fields_reversed for every table.
template <class TailOk, class Push>
size_t all_leading_fields_reversed(PyObject* dict, const Strong* names, size_t n,
                                    TailOk&& tail_ok, Push&& push) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const KeysHeader* keys = keys_of(dict);
    if (d->ma_values == nullptr && keys->kind != KEYS_GENERAL) {
        return leading_fields_reversed(dict, names, n, tail_ok, push);
    }
#if !ARBOLUS_DIRECT_SPLIT_LAYOUT
    if (d->ma_values != nullptr) return leading_fields_reversed_public(dict, names, n, tail_ok, push);
#endif
    const size_t m = window(positions_in_use(dict), n, tail_ok);
    if (m == 0) return n;
    if (d->ma_values == nullptr) return fields_in_entries(general_entries(keys), names, m, push);
#if ARBOLUS_DIRECT_SPLIT_LAYOUT
    // Split table: deletions close the gap in the insertion order, so the
    // position counter runs over the used values only.
    const auto* values = reinterpret_cast<const SplitValues*>(d->ma_values);
    const uint8_t* order = reinterpret_cast<const uint8_t*>(&values->values[values->capacity]);
    const UnicodeEntry* shared = unicode_entries(keys);
    const size_t slots = std::min<size_t>(values->capacity, static_cast<size_t>(keys->nentries));
    for (size_t i = m; i-- > 0;) {
        const uint8_t ix = order[i];
        if (ix >= slots || shared[ix].key != names[i].get() || values->values[ix] == nullptr) {
            return i + 1;
        }
        push(values->values[ix]);
    }
#endif
    return 0;
#else
    return leading_fields_reversed(dict, names, n, tail_ok, push);
#endif
}

// Whether a key of this class is equal to a str exactly when its text is,
// and hashes as that str does: a str, or a subclass that keeps str's own
// hash and comparison.
inline bool compares_as_str(PyTypeObject* t) {
    return t == &PyUnicode_Type || (PyType_IsSubtype(t, &PyUnicode_Type) &&
                                    t->tp_hash == PyUnicode_Type.tp_hash &&
                                    t->tp_richcompare == PyUnicode_Type.tp_richcompare);
}

// The value `dict` holds under `name` (an exact str), found without running
// interpreter code: by an ordinary lookup where that compares str keys
// only, else by going through the entries for a key that an ordinary lookup
// would find without running code, one that compares as a str does. (A key
// of a class with its own hash or equality is never taken: whether lookup
// finds the name under it is that code's answer.) Borrowed; null when
// there is none.
inline PyObject* find_str_key(PyObject* dict, PyObject* name) {
    // (The lookup of a str among str keys cannot fail.)
    if (str_lookup_runs_no_code(dict)) return PyDict_GetItemWithError(dict, name);
    PyObject* same_text = nullptr;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key == name) return value;
        if (same_text == nullptr && compares_as_str(Py_TYPE(key)) &&
            PyUnicode_Compare(key, name) == 0) {
            same_text = value;
        }
    }
    return same_text;
}

// Starts loading the places a later scan of the dict's leading values
// reads. Reads only the dict object itself.
inline void prefetch_leading_values(PyObject* dict) {
#if ARBOLUS_DIRECT_DICT_LAYOUT
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const char* keys = reinterpret_cast<const char*>(d->ma_keys);
    if (d->ma_values == nullptr) [[likely]] {
        // The header and, past the index table of the small tables nodes
        // have, the first entries.
        prefetch(keys);
        prefetch(keys + 64);
    } else {
        prefetch(d->ma_values);
    }
#else
    (void)dict;
#endif
}

}  // namespace arbolus::pydict
