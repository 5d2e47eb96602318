// Structural hashes of subtrees: what `ast.dump` shows of a subtree (classes,
// field values in field order, list items in order, leaf values), with each
// leaf value's class mixed in. Classes enter by address and leaves by the
// interpreter's own hash, so a hash holds within one process only. The walk,
// its notes and the fallback that reads fields afresh are the engine's
// (hash_engine.hpp); this file is its 64-bit mixer.
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "compiler.hpp"
#include "functions.hpp"
#include "hash_engine.hpp"
#include "pycompat.hpp"
#include "recursion.hpp"

namespace arbolus {

namespace {

constexpr uint64_t MIX_MULTIPLIER = 0x9E3779B97F4A7C15ull;

inline uint64_t mix(uint64_t h, uint64_t x) { return (std::rotl(h, 5) ^ x) * MIX_MULTIPLIER; }

inline uint64_t word(const void* address) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
}

// Leaves whose own hash agrees with their dumped text. Anything else that is
// neither a node nor a list (floats, tuples, subclasses such as enum
// members) is hashed through its repr.
inline bool hashes_as_dumped(PyObject* v) {
    if (v == Py_None || v == Py_Ellipsis) return true;
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyLong_Type || t == &PyBool_Type;
}

inline uint64_t leaf_hash(PyObject* v, Py_hash_t h) {
    return mix(word(Py_TYPE(v)), static_cast<uint64_t>(static_cast<int64_t>(h)));
}

// The hash an exact str carries, or -1 when it has none yet.
inline Py_hash_t cached_str_hash(PyObject* s) {
#if PY_VERSION_HEX >= 0x030F0000
    return PyUnstable_Unicode_GET_CACHED_HASH(s);
#elif !defined(Py_GIL_DISABLED)
    return reinterpret_cast<PyASCIIObject*>(s)->hash;
#else
    (void)s;
    return -1;
#endif
}

// --- the repr of a leaf, nested values spelled out here -----------------------

// The interpreter's repr of a deeply nested value may run out of stack
// before its own recursion check fires (3.11 under a raised recursion
// limit). The containers whose repr is plain (exact tuples, lists, dicts,
// sets and frozensets) are spelled here instead, one level at a time under
// the module's recursion guard, in the text the interpreter's repr gives
// them; anything else inside them is given its own repr.
inline bool spelled_here(PyTypeObject* t) {
    return t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type;
}

class ReprPieces {
public:
    // Appends the pieces of repr(v). False with an exception set.
    bool add(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (!spelled_here(t)) return append(Strong::steal(PyObject_Repr(v)));
        RecursionGuard guard(" while hashing a nested value");
        if (!guard) return false;
        Strong held = Strong::borrow(v);
        if (t == &PyTuple_Type) {
            return sequence(v, "()", "(...)", "(", PyTuple_GET_SIZE(v) == 1 ? ",)" : ")",
                            [&] { return PyTuple_GET_SIZE(v); },
                            [&](Py_ssize_t i) { return PyTuple_GET_ITEM(v, i); });
        }
        if (t == &PyList_Type) {
            return sequence(v, "[]", "[...]", "[", "]", [&] { return PyList_GET_SIZE(v); },
                            [&](Py_ssize_t i) { return PyList_GET_ITEM(v, i); });
        }
        if (t == &PyDict_Type) return dict(v);
        if (t == &PySet_Type) return set(v, "set()", "set(...)", "{", "}");
        return set(v, "frozenset()", "frozenset(...)", "frozenset({", "})");
    }

    // The pieces joined. Null with an exception set.
    PyObject* text() {
        if (!pieces_) return PyUnicode_FromString("");
        Strong empty = Strong::steal(PyUnicode_FromString(""));
        if (!empty) return nullptr;
        return PyUnicode_Join(empty.get(), pieces_.get());
    }

private:
    bool append(Strong piece) {
        if (!piece) return false;
        if (!pieces_) {
            pieces_ = Strong::steal(PyList_New(0));
            if (!pieces_) return false;
        }
        return PyList_Append(pieces_.get(), piece.get()) == 0;
    }
    bool append(const char* piece) { return append(Strong::steal(PyUnicode_FromString(piece))); }

    // Calls f between Py_ReprEnter and Py_ReprLeave, as the interpreter's
    // repr does, so that a value met again inside itself reads `again`.
    template <class F>
    bool entered(PyObject* v, const char* again, F&& f) {
        const int seen = Py_ReprEnter(v);
        if (seen != 0) return seen > 0 && append(again);
        const bool ok = f();
        Py_ReprLeave(v);
        return ok;
    }

    // A tuple or list: the length is read again before every item, as the
    // interpreter's repr does (an item's repr may change a list).
    template <class Size, class Item>
    bool sequence(PyObject* v, const char* empty, const char* again, const char* open,
                  const char* close, Size&& size, Item&& item) {
        if (size() == 0) return append(empty);
        return entered(v, again, [&] {
            bool ok = append(open);
            for (Py_ssize_t i = 0; ok && i < size(); ++i) {
                if (i > 0) ok = append(", ");
                if (ok) {
                    Strong x = Strong::borrow(item(i));
                    ok = add(x.get());
                }
            }
            return ok && append(close);
        });
    }

    bool dict(PyObject* v) {
        return entered(v, "{...}", [&] {
            if (PyDict_GET_SIZE(v) == 0) return append("{}");
            bool ok = append("{");
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            for (bool first = true; ok && PyDict_Next(v, &pos, &key, &value); first = false) {
                Strong k = Strong::borrow(key);
                Strong x = Strong::borrow(value);
                ok = (first || append(", ")) && add(k.get()) && append(": ") && add(x.get());
            }
            return ok && append("}");
        });
    }

    // A set or frozenset: its items in iteration order, listed first.
    bool set(PyObject* v, const char* empty, const char* again, const char* open,
             const char* close) {
        return entered(v, again, [&] {
            if (PySet_GET_SIZE(v) == 0) return append(empty);
            Strong items = Strong::steal(PySequence_List(v));
            bool ok = items && append(open);
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(items.get()); ++i) {
                if (i > 0) ok = append(", ");
                if (ok) ok = add(PyList_GET_ITEM(items.get(), i));  // the list holds it
            }
            return ok && append(close);
        });
    }

    Strong pieces_;
};

// repr(v), nested values spelled out under the recursion guard.
PyObject* leaf_repr(PyObject* v) {
    if (!spelled_here(Py_TYPE(v))) return PyObject_Repr(v);
    ReprPieces pieces;
    if (!pieces.add(v)) return nullptr;
    return pieces.text();
}

// A node's hash: mix(0, class word), then per field read
// mix(mix(acc, position), value hash). A list's value hash is
// mix(~0, length), then mix(lh, item hash) per item.
struct HashMixer {
    using Value = uint64_t;
    static constexpr const char* CHANGED = "the tree changed while it was being hashed";
    static constexpr const char* SUBTREE = " while hashing a subtree";
    static constexpr const char* LIST = " while hashing a list";

    // --- the walk's notes

    static bool start_note(PyTypeObject* cls, const TypeInfo&, uint64_t& note, bool&) {
        note = mix(0, word(cls));
        return true;
    }

    static bool start_note_quietly(PyTypeObject* cls, const TypeInfo&, uint64_t& note) {
        note = mix(0, word(cls));
        return true;
    }

    static uint64_t list_note(uint64_t length) { return mix(~uint64_t{0}, length); }

    // Hashes a leaf value the way the fresh step would, when doing so runs
    // no interpreter code: the values hashed as themselves, and exact floats
    // and complex numbers, whose repr the interpreter makes itself. Anything
    // else is left to the fresh step (Unnoted). Inline: the walk's visit is
    // flattened whatever its size, and a call per leaf cost 3.5-4% of
    // subtree_hash's instructions.
    static Leaf quiet_leaf(PyObject* v, uint64_t& out) {
        if (hashes_as_dumped(v)) {
            // Names and strings usually carry their hash already.
            Py_hash_t h = Py_IS_TYPE(v, &PyUnicode_Type) ? cached_str_hash(v) : -1;
            if (h == -1) h = PyObject_Hash(v);
            if (h == -1 && PyErr_Occurred()) return Leaf::Failed;
            out = leaf_hash(v, h);
            return Leaf::Hashed;
        }
        if (!Py_IS_TYPE(v, &PyFloat_Type) && !Py_IS_TYPE(v, &PyComplex_Type)) {
            return Leaf::Unnoted;
        }
        Strong text = Strong::steal(PyObject_Repr(v));
        if (!text) return Leaf::Failed;
        Py_hash_t h = PyObject_Hash(text.get());
        if (h == -1 && PyErr_Occurred()) return Leaf::Failed;
        out = leaf_hash(v, h);
        return Leaf::Hashed;
    }

    // --- replay of the notes

    uint64_t bare(uint64_t note) { return note; }
    uint64_t begin(uint64_t note) { return note; }
    void child_field(uint64_t& acc, uint64_t at, uint64_t h) { acc = mix(mix(acc, at), h); }
    void leaf_field(uint64_t& acc, uint64_t at, uint64_t h) { acc = mix(mix(acc, at), h); }
    uint64_t begin_list(uint64_t&, uint64_t, uint64_t, uint64_t note) { return note; }
    void child_item(uint64_t& lh, uint64_t h) { lh = mix(lh, h); }
    void leaf_item(uint64_t& lh, uint64_t h) { lh = mix(lh, h); }
    void end_list(uint64_t& acc, uint64_t at, uint64_t lh) { acc = mix(mix(acc, at), lh); }
    uint64_t end(uint64_t acc) { return acc; }

    // --- fields read afresh

    using Fresh = uint64_t;
    using Run = arbolus::Run<HashMixer>;

    bool begin_fresh(PyTypeObject* cls, const TypeInfo&, uint64_t& acc) {
        acc = mix(0, word(cls));
        return true;
    }

    bool field(Run& run, uint64_t& acc, const TypeInfo&, size_t position, PyObject* value) {
        uint64_t lh;
        if (Py_IS_TYPE(value, &PyList_Type) ? !hash_list(run, value, lh)
                                             : !hash_value(run, value, lh)) {
            return false;
        }
        acc = mix(mix(acc, position), lh);
        return true;
    }

    uint64_t end_fresh(uint64_t acc) { return acc; }

private:
    // A field value or list item other than an exact list.
    bool hash_value(Run& run, PyObject* v, uint64_t& out) {
        if (run.walk().is_node(v)) return run.child(v, out);
        if (!hashes_as_dumped(v)) return hash_other(run, v, out);
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1 && PyErr_Occurred()) return false;
        out = leaf_hash(v, h);
        return true;
    }

    // An exact list, as `dump` shows it: its items in order, lists among
    // them included. The caller holds the list.
    bool hash_list(Run& run, PyObject* list, uint64_t& out) {
        uint64_t lh = mix(~uint64_t{0}, static_cast<uint64_t>(PyList_GET_SIZE(list)));
        bool ok = Run::items(list, [&](PyObject* item) {
            uint64_t ih;
            if (Py_IS_TYPE(item, &PyList_Type) ? !hash_inner_list(run, item, ih)
                                                : !hash_value(run, item, ih)) {
                return false;
            }
            lh = mix(lh, ih);
            return true;
        });
        if (!ok) return false;
        out = lh;
        return true;
    }

    // Nesting as deep as the lists are: a list inside itself ends in
    // RecursionError, as it does for `dump`.
    bool hash_inner_list(Run& run, PyObject* list, uint64_t& out) {
        return Run::nested([&] { return hash_list(run, list, out); });
    }

    // Values that are neither nodes nor hashed as themselves. What `dump`
    // shows structurally is hashed the same way: a bare `ast.AST()` (no node
    // of the tree, but dumped as one, fields and all) as a root of its own,
    // a list subclass as a list. Anything else by its repr.
    ARBOLUS_NOINLINE bool hash_other(Run& run, PyObject* v, uint64_t& out) {
        if (Py_IS_TYPE(v, run.walk().base_type())) return run.child(v, out);
        if (PyList_Check(v)) return hash_inner_list(run, v, out);
        Strong text = Strong::steal(leaf_repr(v));
        if (!text) return false;
        Py_hash_t h = PyObject_Hash(text.get());
        if (h == -1 && PyErr_Occurred()) return false;
        out = leaf_hash(v, h);
        return true;
    }
};

}  // namespace

PyObject* new_int(uint64_t magnitude, bool negative) {
    if (!negative) return PyLong_FromUInt64(magnitude);
    // A negated magnitude past the int64 range never arises: hashes are
    // 64 bits with their sign taken from the top bit.
    return PyLong_FromInt64(static_cast<int64_t>(~magnitude + 1));
}

namespace {

inline PyObject* signed_hash(uint64_t h) {
    const bool negative = (h >> 63) != 0;
    return new_int(negative ? ~h + 1 : h, negative);
}

}  // namespace

PyObject* subtree_hashes(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    auto hashes = hash_subtrees<HashMixer>(*walk, root.get(), Want::All);
    if (!hashes) return nullptr;
    Strong dict = Strong::steal(pydict::new_presized(hashes->order.size()));
    if (!dict) return nullptr;
    // Keys in pre-order of each node's last visit: the root comes first.
    for (size_t i = hashes->order.size(); i-- > 0;) {
        // Lambdas cannot capture structured bindings on older clang.
        const auto& entry = hashes->order[i];
        if (!store_by_id(dict.get(), entry.first, [&entry] { return signed_hash(entry.second); })) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* subtree_hash(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    auto hashes = hash_subtrees<HashMixer>(*walk, root.get(), Want::Root);
    if (!hashes) return nullptr;
    return signed_hash(hashes->root);
}

}  // namespace arbolus
