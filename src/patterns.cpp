// Structural rules written as `case` patterns, compiled once and matched over
// a whole tree in one pass, with the match statement's semantics.
//
// A pattern text is parsed by the interpreter's own parser (as the pattern
// of a one-case match statement), checked for what the statement's compiler
// rejects and for the supported subset, and turned into a small tree of
// Nodes. Class names and dotted values are resolved once, here. Matching
// walks that tree for one subject, doing what the statement's bytecode does
// in the order it does it: a class pattern's isinstance test, then all its
// attribute reads, then its sub-patterns; a sequence's kind, then its
// length, then its items, read by subscript or by unpacking as the
// statement would read them.
#include "patterns.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "expand.hpp"
#include "pointer_map.hpp"
#include "pycompat.hpp"
#include "strong.hpp"
#include "thread_caches.hpp"
#include "type_set.hpp"

#ifndef _Py_TPFLAGS_MATCH_SELF
#define _Py_TPFLAGS_MATCH_SELF (1UL << 22)
#endif

namespace arbolus {

namespace {

PatternsState* state_of(PyObject* module) {
    return static_cast<PatternsState*>(PyModule_GetState(module));
}

// ---------------------------------------------------------------------------
// The compiled form.

struct Node {
    enum Kind : uint8_t { Wild, Capture, As, Or, Value, Singleton, Sequence, Class };
    // How a sequence pattern reads its items: not at all (only wildcards),
    // by subscript one at a time (a `*_` among other items), or all at once
    // by unpacking (everything else).
    enum Reads : uint8_t { NoReads, Subscript, Unpack };

    Kind kind = Wild;
    Reads reads = NoReads;
    bool plain_class = false;    // Class: its metaclass is exactly `type`
    int32_t slot = -1;           // Capture, As: where the name's value goes
    int32_t star = -1;           // Sequence: the starred item's position
    PyObject* object = nullptr;  // Value, Singleton: the value; Class: the class
    std::vector<uint32_t> children;
    // Class: per child, the attribute it reads (null: the subject itself),
    // and where the class's instances usually keep it in their dictionary.
    std::vector<PyObject*> attrs;
    std::vector<uint32_t> positions;
    // Class: the last class (at its version tag) whose instances were found
    // to have every attribute read by ordinary lookup without running code.
    mutable PyTypeObject* quiet_type = nullptr;
    mutable unsigned int quiet_version = 0;
};

struct Rule {
    Strong key;
    uint32_t root = 0;
    std::vector<Strong> names;          // capture names, by slot
    std::vector<PyTypeObject*> roots;   // the classes the top level tests
};

// The rules that may match an instance of one exact class, in order; valid
// while the class keeps its version tag.
struct Dispatch {
    Strong cls;
    unsigned int version = 0;
    std::vector<uint32_t> rules;
    // Whether attribute lookup on an instance is the ordinary one and finds
    // names on the class without running code (every class dictionary on
    // the MRO keeps only str keys), and `__class__` is the real class.
    bool quiet_lookup = false;
};

struct Rules {
    std::vector<Node> nodes;
    std::vector<Strong> refs;  // everything nodes and rules point at
    std::vector<Rule> rules;
    Strong kinds;
    Strong class_name;              // "__class__"
    PyObject* object_class_getter;  // object's `__class__` descriptor (static)
    size_t max_slots = 0;
    // Memoised dispatch. Replaced entries are kept (retired) until the
    // rules go: a call may be iterating one while interpreter code it runs
    // makes another call replace it. On free-threaded builds several
    // threads use one object's memo at once: memo_lock guards the map, the
    // store and the last-found pair (a pair read half from another thread's
    // store would dispatch to the wrong rules); the Dispatch found stays
    // valid after it is let go, as entries are never freed before the rules.
    SharedStateLock memo_lock;
    PointerMap<Dispatch*> dispatch;
    std::vector<std::unique_ptr<Dispatch>> dispatch_store;
    // The entry last found: nodes of one class tend to come together.
    PyTypeObject* last_type = nullptr;
    const Dispatch* last = nullptr;

    void take_references(std::vector<Strong>& out) {
        for (Strong& r : refs) out.push_back(std::move(r));
        for (Rule& rule : rules) {
            out.push_back(std::move(rule.key));
            for (Strong& n : rule.names) out.push_back(std::move(n));
        }
        out.push_back(std::move(kinds));
        out.push_back(std::move(class_name));
        for (auto& d : dispatch_store) out.push_back(std::move(d->cls));
    }
};

// Whether an instance of `t` that is no subclass instance of `c` (a class
// of metaclass `type`) is still no instance for isinstance: isinstance then
// asks the instance's `__class__`, which is the real class unless `t`
// redefines it or attribute lookup.
bool class_attribute_is_plain(const Rules& r, PyTypeObject* t) {
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    return _PyType_Lookup(t, r.class_name.get()) == r.object_class_getter;
}

bool lookup_is_quiet(PyTypeObject* t) {
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject* base = PyTuple_GET_ITEM(mro, k);
        if (!PyType_Check(base)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(base);
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* d = type->tp_dict;
        if (d == nullptr || !PyDict_Check(d) || !pydict::str_lookup_in_class_runs_no_code(d)) {
            return false;
        }
    }
    return true;
}

// A class's Dispatch for the length of one use: the memoised one, or one
// of its own when the class has no version tag to check a memo against.
struct DispatchRef {
    const Dispatch* d;
    std::unique_ptr<Dispatch> own;
    const Dispatch* operator->() const noexcept { return d; }
};

// Memo entries replaced when their class changed are kept up to this many.
constexpr size_t MAX_RETIRED = 1 << 16;

// The memoised Dispatch of `t` when it is still valid, else null.
inline const Dispatch* known_dispatch(Rules& r, PyTypeObject* t) {
    const unsigned int version = arbolus_type_version(t);
    if (t == r.last_type && r.last->version == version) return r.last;
    Dispatch** hit = r.dispatch.find(reinterpret_cast<uintptr_t>(t));
    if (hit != nullptr && (*hit)->version == version && (*hit)->version != 0) {
        r.last_type = t;
        r.last = *hit;
        return *hit;
    }
    return nullptr;
}

// The rules that may match an instance of exact class `t`. Runs no
// interpreter code. Throws only on memory exhaustion.
ARBOLUS_NOINLINE DispatchRef dispatch_slowly(Rules& r, PyTypeObject* t) {
    const auto key = reinterpret_cast<uintptr_t>(t);
    Dispatch** hit = r.dispatch.find(key);
    auto d = std::make_unique<Dispatch>();
    d->cls = Strong::borrow(reinterpret_cast<PyObject*>(t));
    const bool plain_class_attribute = class_attribute_is_plain(r, t);
    d->quiet_lookup = plain_class_attribute && lookup_is_quiet(t);
    for (size_t i = 0; i < r.rules.size(); ++i) {
        for (PyTypeObject* c : r.rules[i].roots) {
            const bool certain_no = Py_IS_TYPE(reinterpret_cast<PyObject*>(c), &PyType_Type) &&
                                    !PyType_IsSubtype(t, c) && plain_class_attribute;
            if (!certain_no) {
                d->rules.push_back(static_cast<uint32_t>(i));
                break;
            }
        }
    }
    // A class without a valid tag is decided afresh each time.
    d->version = PyUnstable_Type_AssignVersionTag(t) ? arbolus_type_version(t) : 0;
    if (d->version == 0 || (hit != nullptr && r.dispatch_store.size() >= MAX_RETIRED)) {
        const Dispatch* own = d.get();
        return {own, std::move(d)};
    }
    Dispatch* made = d.get();
    r.dispatch_store.push_back(std::move(d));
    if (hit != nullptr) {
        *hit = made;
    } else {
        r.dispatch.insert(key, made);
    }
    return {made, nullptr};
}

inline DispatchRef dispatch_for(Rules& r, PyTypeObject* t) {
    std::lock_guard<SharedStateLock> guard(r.memo_lock);
    if (const Dispatch* d = known_dispatch(r, t)) return {d, nullptr};
    return dispatch_slowly(r, t);
}

inline bool has_candidates(Rules& r, PyTypeObject* t) {
    std::lock_guard<SharedStateLock> guard(r.memo_lock);
    if (const Dispatch* d = known_dispatch(r, t)) return !d->rules.empty();
    return !dispatch_slowly(r, t)->rules.empty();
}

// ---------------------------------------------------------------------------
// Matching.

// `subject == value` as the statement's comparison does it: the subject on
// the left, the result's truth. 1, 0, or -1 with an exception set.
int equals(PyObject* subject, PyObject* value) {
    if (PyUnicode_CheckExact(subject) && PyUnicode_CheckExact(value)) {
        if (subject == value) return 1;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(subject);
        if (n != PyUnicode_GET_LENGTH(value) || PyUnicode_KIND(subject) != PyUnicode_KIND(value)) {
            return 0;
        }
        return std::memcmp(PyUnicode_DATA(subject), PyUnicode_DATA(value),
                           static_cast<size_t>(n) * PyUnicode_KIND(subject)) == 0;
    }
    Strong result = Strong::steal(PyObject_RichCompare(subject, value, Py_EQ));
    if (!result) return -1;
    if (result.get() == Py_True) return 1;
    if (result.get() == Py_False) return 0;
    return PyObject_IsTrue(result.get());
}

// `subject.<name>` as the statement reads it (a missing attribute is 0, not
// an error). Ordinary attribute lookup of a class that has no data
// descriptor under the name answers from the instance dictionary when it
// holds the name: that entry is read in place when it is at `pos`, where
// the class's instances keep the field.
int read_attr(PyObject* subject, PyObject* name, uint32_t pos, Strong& out) {
    PyTypeObject* t = Py_TYPE(subject);
    if (t->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* dict = get_instance_dict_fast(subject);
        if (dict != nullptr && PyDict_CheckExact(dict)) {
            PyObject* descr = _PyType_Lookup(t, name);
            if (descr == nullptr || Py_TYPE(descr)->tp_descr_set == nullptr) {
                PyObject* v = pydict::value_if_key_at(dict, pos, name);
                if (v != nullptr) {
                    out = Strong::borrow(v);
                    return 1;
                }
            }
        }
    }
    PyObject* v = nullptr;
    const int found = PyObject_GetOptionalAttr(subject, name, &v);
    out = Strong::steal(v);
    return found;
}

// subject[index] as the statement's subscript reads it.
Strong item_at(PyObject* subject, Py_ssize_t index) {
    if (PyList_CheckExact(subject)) {
        // Another thread may shrink the list (free-threaded builds).
        CriticalSection section(subject);
        if (index >= 0 && index < PyList_GET_SIZE(subject)) {
            return Strong::borrow(PyList_GET_ITEM(subject, index));
        }
    }
    if (PyTuple_CheckExact(subject) && index >= 0 && index < PyTuple_GET_SIZE(subject)) {
        return Strong::borrow(PyTuple_GET_ITEM(subject, index));
    }
    Strong i = Strong::steal(PyLong_FromSsize_t(index));
    if (!i) return {};
    return Strong::steal(PyObject_GetItem(subject, i.get()));
}

// How builtin values of exact classes compare: values of different
// families are never equal, and comparing them runs no code (0: other).
int family(PyTypeObject* t) {
    if (t == &PyUnicode_Type) return 1;
    if (t == &PyBytes_Type) return 2;
    if (t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type || t == &PyComplex_Type) {
        return 3;
    }
    if (t == Py_TYPE(Py_None)) return 4;
    return 0;
}

class Matcher {
public:
    explicit Matcher(Rules& r) : r_(r), slots_(r.max_slots) { peeks_.reserve(MAX_PEEKS); }

    // Before the rules of another subject.
    void new_subject() { peeks_.clear(); }

    // 1 when `rule` matches `subject` (held by the caller), 0 when not, -1
    // with an exception set. Most candidates fail a test that can be made
    // without running interpreter code, reading what earlier rules read
    // for the same subject: that is tried first, and where it tells, the
    // match statement would have failed the same way, having run nothing.
    int matches(const Rule& rule, PyObject* subject) {
        // The quiet test reads lists and memo entries in place, which
        // another thread may change at any moment on free-threaded builds:
        // there every candidate takes the full run.
        if (!ARBOLUS_FREE_THREADED && speculate(rule.root, subject) == Verdict::Fails) return 0;
        // The full run may run code, after which no read may be reused.
        peeks_.clear();
        return run(rule.root, subject);
    }

    // What the last successful match of `rule` bound: None when it binds no
    // name, else a new dict. Null with an exception set.
    PyObject* captures(const Rule& rule) {
        if (rule.names.empty()) return Py_NewRef(Py_None);
        Strong dict = Strong::steal(PyDict_New());
        if (!dict) return nullptr;
        for (size_t i = 0; i < rule.names.size(); ++i) {
            if (PyDict_SetItem(dict.get(), rule.names[i].get(), slots_[i].get()) < 0) {
                return nullptr;
            }
        }
        return dict.release();
    }

private:
    enum class Verdict { Fails, Passes, Unknown };

    // An attribute read without running code: the object and name, and
    // what was found (borrowed: nothing runs while it is used).
    struct Peek {
        PyObject* obj;
        PyObject* name;
        PyObject* value;
        int state;
    };
    static constexpr size_t MAX_PEEKS = 32;

    // `subject.<name>`, for a subject whose class attributes_quiet
    // approved: 1 with `value` borrowed, 0 when attribute lookup would
    // raise AttributeError, -1 when that cannot be told.
    int peek_fresh(PyObject* subject, PyObject* name, uint32_t pos, PyObject*& value) {
        PyTypeObject* t = Py_TYPE(subject);
        PyObject* dict = get_instance_dict_fast(subject);
        if (dict != nullptr) {
            if (!PyDict_CheckExact(dict)) return -1;
            PyObject* v = pydict::value_if_key_at(dict, pos, name);
            if (v == nullptr) {
                if (!pydict::str_lookup_runs_no_code(dict)) return -1;
                v = PyDict_GetItemWithError(dict, name);
                if (v == nullptr && PyErr_Occurred()) {
                    PyErr_Clear();
                    return -1;
                }
            }
            if (v != nullptr) {
                value = v;
                return 1;
            }
        }
        PyObject* descr = _PyType_Lookup(t, name);
        if (descr == nullptr) return 0;
        if (Py_TYPE(descr)->tp_descr_get != nullptr) return -1;
        value = descr;
        return 1;
    }

    int peek(PyObject* subject, PyObject* name, uint32_t pos, PyObject*& value) {
        for (const Peek& p : peeks_) {
            if (p.obj == subject && p.name == name) {
                value = p.value;
                return p.state;
            }
        }
        const int state = peek_fresh(subject, name, pos, value);
        if (state >= 0 && peeks_.size() < MAX_PEEKS) {
            peeks_.push_back({subject, name, state > 0 ? value : nullptr, state});
        }
        return state;
    }

    // What running the pattern would give, where that can be told without
    // running code.
    Verdict speculate(uint32_t at, PyObject* subject) {
        const Node& n = r_.nodes[at];
        switch (n.kind) {
            case Node::Wild:
            case Node::Capture:
                return Verdict::Passes;
            case Node::As:
                return speculate(n.children[0], subject);
            case Node::Or:
                for (uint32_t alt : n.children) {
                    const Verdict v = speculate(alt, subject);
                    if (v != Verdict::Fails) return v;
                }
                return Verdict::Fails;
            case Node::Singleton:
                return subject == n.object ? Verdict::Passes : Verdict::Fails;
            case Node::Value:
                return compare_quietly(subject, n.object);
            case Node::Sequence:
                return sequence_quietly(n, subject);
            case Node::Class:
                return class_quietly(n, subject);
        }
        return Verdict::Unknown;
    }

    static Verdict compare_quietly(PyObject* subject, PyObject* value) {
        const int fs = family(Py_TYPE(subject));
        const int fv = family(Py_TYPE(value));
        if (fs == 0 || fv == 0) return Verdict::Unknown;
        if (fs != fv) {
            // str against bytes may warn (`python -b`), which may raise.
            return fs <= 2 && fv <= 2 ? Verdict::Unknown : Verdict::Fails;
        }
        if (fs != 1) return Verdict::Unknown;
        return equals(subject, value) ? Verdict::Passes : Verdict::Fails;
    }

    Verdict sequence_quietly(const Node& n, PyObject* subject) {
        if (!PyType_HasFeature(Py_TYPE(subject), Py_TPFLAGS_SEQUENCE)) return Verdict::Fails;
        if (!PyList_CheckExact(subject) && !PyTuple_CheckExact(subject)) return Verdict::Unknown;
        const Py_ssize_t len = PySequence_Fast_GET_SIZE(subject);
        const auto size = static_cast<Py_ssize_t>(n.children.size());
        if ((n.star < 0 || size > 1) && (n.star < 0 ? len != size : len < size - 1)) {
            return Verdict::Fails;
        }
        if (n.reads == Node::NoReads) return Verdict::Passes;
        PyObject** items = PySequence_Fast_ITEMS(subject);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i == n.star) continue;
            const Py_ssize_t index = n.star < 0 || i < n.star ? i : len - (size - i);
            const Verdict v = speculate(n.children[static_cast<size_t>(i)], items[index]);
            if (v != Verdict::Passes) return v;
        }
        return Verdict::Passes;
    }

    Verdict class_quietly(const Node& n, PyObject* subject) {
        auto* cls = reinterpret_cast<PyTypeObject*>(n.object);
        PyTypeObject* t = Py_TYPE(subject);
        if (t != cls && !(n.plain_class && PyType_IsSubtype(t, cls))) {
            // isinstance would ask the subject's `__class__`: the real class
            // where lookup is quiet.
            return n.plain_class && dispatch_for(r_, t)->quiet_lookup ? Verdict::Fails
                                                                       : Verdict::Unknown;
        }
        const size_t count = n.children.size();
        if (count == 0) return Verdict::Passes;
        if (count > MAX_QUIET_ATTRS) return Verdict::Unknown;
        if (!(t == n.quiet_type && t->tp_version_tag == n.quiet_version && n.quiet_version != 0)) {
            if (!attributes_quiet(n, t)) return Verdict::Unknown;
            if (PyUnstable_Type_AssignVersionTag(t)) {
                n.quiet_type = t;
                n.quiet_version = t->tp_version_tag;
            }
        }
        PyObject* values[MAX_QUIET_ATTRS];
        for (size_t i = 0; i < count; ++i) {
            values[i] = subject;
            if (n.attrs[i] == nullptr) continue;
            const int state = peek(subject, n.attrs[i], n.positions[i], values[i]);
            if (state < 0) return Verdict::Unknown;
            if (state == 0) return Verdict::Fails;
        }
        for (size_t i = 0; i < count; ++i) {
            const Verdict v = speculate(n.children[i], values[i]);
            if (v != Verdict::Passes) return v;
        }
        return Verdict::Passes;
    }

    static constexpr size_t MAX_QUIET_ATTRS = 16;

    // Whether instances of `t` have every attribute the class pattern reads
    // found by ordinary lookup without running code: lookup through the
    // class is quiet and no name is a data descriptor there.
    bool attributes_quiet(const Node& n, PyTypeObject* t) {
        if (t->tp_getattro != PyObject_GenericGetAttr || t->tp_dictoffset < 0) return false;
        if (!dispatch_for(r_, t)->quiet_lookup) return false;
        for (PyObject* name : n.attrs) {
            if (name == nullptr) continue;
            PyObject* descr = _PyType_Lookup(t, name);
            if (descr != nullptr && Py_TYPE(descr)->tp_descr_set != nullptr) return false;
        }
        return true;
    }

    // Drops what a pattern held once it is done.
    struct Truncate {
        std::vector<Strong>& held;
        size_t to;
        ~Truncate() { held.erase(held.begin() + static_cast<std::ptrdiff_t>(to), held.end()); }
    };

    int run(uint32_t at, PyObject* subject) {
        const Node& n = r_.nodes[at];
        switch (n.kind) {
            case Node::Wild:
                return 1;
            case Node::Capture:
                slots_[static_cast<size_t>(n.slot)] = Strong::borrow(subject);
                return 1;
            case Node::As: {
                const int m = run(n.children[0], subject);
                if (m == 1) slots_[static_cast<size_t>(n.slot)] = Strong::borrow(subject);
                return m;
            }
            case Node::Or:
                for (uint32_t alt : n.children) {
                    const int m = run(alt, subject);
                    if (m != 0) return m;
                }
                return 0;
            case Node::Singleton:
                return subject == n.object;
            case Node::Value:
                return equals(subject, n.object);
            case Node::Sequence:
                return sequence(n, subject);
            case Node::Class:
                return class_pattern(n, subject);
        }
        return 0;
    }

    int class_pattern(const Node& n, PyObject* subject) {
        auto* cls = reinterpret_cast<PyTypeObject*>(n.object);
        int is;
        if (Py_IS_TYPE(subject, cls) || (n.plain_class && PyType_IsSubtype(Py_TYPE(subject), cls))) {
            is = 1;
        } else {
            is = PyObject_IsInstance(subject, n.object);
        }
        if (is <= 0) return is;
        const size_t count = n.children.size();
        if (count == 0) return 1;
        const size_t base = held_.size();
        Truncate truncate{held_, base};
        for (size_t i = 0; i < count; ++i) {
            PyObject* name = n.attrs[i];
            if (name == nullptr) {
                held_.push_back(Strong::borrow(subject));
                continue;
            }
            Strong value;
            const int found = read_attr(subject, name, n.positions[i], value);
            if (found <= 0) return found;
            held_.push_back(std::move(value));
        }
        for (size_t i = 0; i < count; ++i) {
            const int m = run(n.children[i], held_[base + i].get());
            if (m != 1) return m;
        }
        return 1;
    }

    int sequence(const Node& n, PyObject* subject) {
        if (!PyType_HasFeature(Py_TYPE(subject), Py_TPFLAGS_SEQUENCE)) return 0;
        const auto size = static_cast<Py_ssize_t>(n.children.size());
        if (n.star < 0 || size > 1) {
            const Py_ssize_t len = PyObject_Length(subject);
            if (len < 0) return -1;
            if (n.star < 0 ? len != size : len < size - 1) return 0;
        }
        switch (n.reads) {
            case Node::NoReads:
                return 1;
            case Node::Subscript:
                return by_subscript(n, subject, size);
            case Node::Unpack:
                return by_unpacking(n, subject, size);
        }
        return 0;
    }

    // Each item that is not a wildcard, read just before its sub-pattern
    // runs; those after the star counted from the length as it is then.
    int by_subscript(const Node& n, PyObject* subject, Py_ssize_t size) {
        for (Py_ssize_t i = 0; i < size; ++i) {
            const uint32_t child = n.children[static_cast<size_t>(i)];
            if (i == n.star || r_.nodes[child].kind == Node::Wild) continue;
            Py_ssize_t index = i;
            if (i > n.star) {
                const Py_ssize_t len = PyObject_Length(subject);
                if (len < 0) return -1;
                index = len - (size - i);
            }
            Strong item = item_at(subject, index);
            if (!item) return -1;
            const int m = run(child, item.get());
            if (m != 1) return m;
        }
        return 1;
    }

    // Every item read first (the starred ones into a new list), then the
    // sub-patterns in order.
    int by_unpacking(const Node& n, PyObject* subject, Py_ssize_t size) {
        const size_t base = held_.size();
        Truncate truncate{held_, base};
        if (!unpack(n, subject, size)) return -1;
        for (Py_ssize_t i = 0; i < size; ++i) {
            const int m = run(n.children[static_cast<size_t>(i)],
                              held_[base + static_cast<size_t>(i)].get());
            if (m != 1) return m;
        }
        return 1;
    }

    bool unpack(const Node& n, PyObject* subject, Py_ssize_t size) {
        const Py_ssize_t before = n.star < 0 ? size : n.star;
        const Py_ssize_t after = n.star < 0 ? 0 : size - 1 - n.star;
        if (PyList_CheckExact(subject) || PyTuple_CheckExact(subject)) {
            // The items are taken at one moment, under the list's own lock
            // (another thread may change it on free-threaded builds), and
            // the list of the starred ones is made after: making it may
            // collect garbage, and so run finalisers that edit the subject.
            std::vector<Strong> items;
            bool fits = false;
            {
                CriticalSection section(subject);
                const Py_ssize_t len = PySequence_Fast_GET_SIZE(subject);
                fits = len >= before + after && (n.star >= 0 || len == size);
                if (fits) {
                    PyObject** at = PySequence_Fast_ITEMS(subject);
                    items.reserve(static_cast<size_t>(len));
                    for (Py_ssize_t i = 0; i < len; ++i) items.push_back(Strong::borrow(at[i]));
                }
            }
            const auto len = static_cast<Py_ssize_t>(items.size());
            if (fits) {
                for (Py_ssize_t i = 0; i < before; ++i) held_.push_back(std::move(items[i]));
                if (n.star >= 0) {
                    Strong rest = Strong::steal(PyList_New(len - before - after));
                    if (!rest) return false;
                    for (Py_ssize_t i = before; i < len - after; ++i) {
                        PyList_SET_ITEM(rest.get(), i - before, items[i].release());
                    }
                    held_.push_back(std::move(rest));
                    for (Py_ssize_t i = len - after; i < len; ++i) {
                        held_.push_back(std::move(items[i]));
                    }
                }
                return true;
            }
        }
        Strong it = Strong::steal(PyObject_GetIter(subject));
        if (!it) return false;
        for (Py_ssize_t i = 0; i < before; ++i) {
            Strong item = Strong::steal(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) return false;
                if (n.star < 0) {
                    PyErr_Format(PyExc_ValueError,
                                 "not enough values to unpack (expected %zd, got %zd)", size, i);
                } else {
                    PyErr_Format(PyExc_ValueError,
                                 "not enough values to unpack (expected at least %zd, got %zd)",
                                 before + after, i);
                }
                return false;
            }
            held_.push_back(std::move(item));
        }
        if (n.star < 0) {
            Strong extra = Strong::steal(PyIter_Next(it.get()));
            if (extra) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", size);
                return false;
            }
            return !PyErr_Occurred();
        }
        Strong rest = Strong::steal(PySequence_List(it.get()));
        if (!rest) return false;
        const Py_ssize_t got = PyList_GET_SIZE(rest.get());
        if (got < after) {
            PyErr_Format(PyExc_ValueError,
                         "not enough values to unpack (expected at least %zd, got %zd)",
                         before + after, before + got);
            return false;
        }
        std::vector<Strong> tail;
        for (Py_ssize_t i = got - after; i < got; ++i) {
            tail.push_back(Strong::borrow(PyList_GET_ITEM(rest.get(), i)));
        }
        if (PyList_SetSlice(rest.get(), got - after, got, nullptr) < 0) return false;
        held_.push_back(std::move(rest));
        for (Strong& t : tail) held_.push_back(std::move(t));
        return true;
    }

    Rules& r_;
    std::vector<Strong> slots_;
    std::vector<Strong> held_;
    std::vector<Peek> peeks_;
};

// ---------------------------------------------------------------------------
// Compiling.

// A failure to report as PatternError: a message and the offset in the
// pattern text it is about.
struct Rejection {
    std::string message;
    Py_ssize_t offset;
};

// The `ast` classes the compiler reads, by name.
enum AstClass : size_t {
    A_Module,
    A_Match,
    A_Pass,
    A_MatchValue,
    A_MatchSingleton,
    A_MatchSequence,
    A_MatchMapping,
    A_MatchClass,
    A_MatchStar,
    A_MatchAs,
    A_MatchOr,
    A_Constant,
    A_UnaryOp,
    A_USub,
    A_BinOp,
    A_Add,
    A_Sub,
    A_Name,
    A_Attribute,
    A_AST,
    A_COUNT
};

constexpr const char* AST_CLASS_NAMES[A_COUNT] = {
    "Module",    "Match",   "Pass",     "MatchValue", "MatchSingleton", "MatchSequence",
    "MatchMapping", "MatchClass", "MatchStar", "MatchAs", "MatchOr", "Constant",
    "UnaryOp",   "USub",    "BinOp",    "Add",        "Sub",            "Name",
    "Attribute", "AST",
};

// The default namespace's names that are no node classes: the builtins
// whose class pattern takes one positional sub-pattern for the subject
// itself, and `complex`, for a test of a literal's kind (`complex()`).
PyTypeObject* const DEFAULT_BUILTINS[] = {
    &PyBool_Type,  &PyByteArray_Type, &PyBytes_Type, &PyDict_Type,    &PyFloat_Type,
    &PyFrozenSet_Type, &PyLong_Type,  &PyList_Type,  &PySet_Type,     &PyUnicode_Type,
    &PyTuple_Type, &PyComplex_Type,
};

constexpr std::string_view PREFIX = " case ";

std::string utf8_of(PyObject* str) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (s == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(s, static_cast<size_t>(n));
}

std::string repr_of(PyObject* obj) {
    Strong r = Strong::steal(PyObject_Repr(obj));
    if (!r) {
        PyErr_Clear();
        return "?";
    }
    return utf8_of(r.get());
}

class Compiler {
public:
    Compiler(Rules& out, PyObject* ns, bool strict) : out_(out), ns_(ns), strict_(strict) {}

    // Imports `ast` and looks up what the compiler needs. False with an
    // exception set.
    bool start() {
        ast_ = Strong::steal(PyImport_ImportModule("ast"));
        if (!ast_) return false;
        parse_ = Strong::steal(PyObject_GetAttrString(ast_.get(), "parse"));
        if (!parse_) return false;
        for (size_t i = 0; i < A_COUNT; ++i) {
            classes_[i] = Strong::steal(PyObject_GetAttrString(ast_.get(), AST_CLASS_NAMES[i]));
            if (!classes_[i]) return false;
        }
        match_args_ = Strong::steal(PyUnicode_InternFromString("__match_args__"));
        if (!match_args_) return false;
        fields_name_ = Strong::steal(PyUnicode_InternFromString("_fields"));
        if (!fields_name_) return false;
        out_.class_name = Strong::steal(PyUnicode_InternFromString("__class__"));
        if (!out_.class_name) return false;
        out_.object_class_getter = _PyType_Lookup(&PyBaseObject_Type, out_.class_name.get());
        return true;
    }

    // Compiles one pattern text under `key`. 1 when added, 0 with
    // `rejection` set, -1 with an exception set.
    int add(PyObject* key, PyObject* text, Rejection& rejection) {
        text_ = utf8_of(text);
        line_starts_.assign(1, 0);
        for (size_t i = 0; i < text_.size(); ++i) {
            if (text_[i] == '\n') line_starts_.push_back(i + 1);
        }
        std::string source = "match _:\n";
        source += PREFIX;
        source += text_;
        source += ":\n  pass\n";
        Strong src = Strong::steal(PyUnicode_FromStringAndSize(source.data(),
                                                               static_cast<Py_ssize_t>(source.size())));
        if (!src) return -1;
        Strong tree = Strong::steal(PyObject_CallOneArg(parse_.get(), src.get()));
        if (!tree) return syntax_error(rejection);
        Rule rule;
        rule.key = Strong::borrow(key);
        names_ = &rule.names;
        try {
            PyObject* pattern = nullptr;
            if (!one_case(tree.get(), pattern)) return -1;
            std::vector<int32_t> bound;
            rule.root = compile(pattern, bound, true);
            if (!top_level(rule.root, rule.roots)) {
                throw Rejection{"the top level must be a class pattern, or an or-pattern or `as` "
                                "of class patterns",
                                offset_of(pattern)};
            }
        } catch (Rejection& r) {
            rejection = std::move(r);
            return 0;
        } catch (Failed&) {
            return -1;
        }
        out_.max_slots = std::max(out_.max_slots, rule.names.size());
        out_.rules.push_back(std::move(rule));
        return 1;
    }

private:
    // Thrown with an exception set, to leave the recursion.
    struct Failed {};

    bool is(PyObject* node, AstClass c) const {
        return Py_IS_TYPE(node, reinterpret_cast<PyTypeObject*>(classes_[c].get()));
    }

    // node.<name>, the name made once per compile call (names are string
    // literals: their addresses tell them apart).
    Strong attr(PyObject* node, const char* name) {
        PyObject* key = nullptr;
        for (const auto& [text, interned] : attr_names_) {
            if (text == name) key = interned.get();
        }
        if (key == nullptr) {
            Strong made = Strong::steal(PyUnicode_InternFromString(name));
            if (!made) throw Failed{};
            key = made.get();
            attr_names_.emplace_back(name, std::move(made));
        }
        Strong v = Strong::steal(PyObject_GetAttr(node, key));
        if (!v) throw Failed{};
        return v;
    }

    Py_ssize_t list_size(PyObject* list) {
        if (!PyList_Check(list)) {
            PyErr_SetString(PyExc_SystemError, "the parser gave an unexpected tree");
            throw Failed{};
        }
        return PyList_GET_SIZE(list);
    }

    long int_attr(PyObject* node, const char* name) {
        Strong v = attr(node, name);
        const long n = PyLong_AsLong(v.get());
        if (n == -1 && PyErr_Occurred()) throw Failed{};
        return n;
    }

    // The offset in the pattern text, in characters, of a position in the
    // parsed source (line from 1, byte column from 0).
    Py_ssize_t offset_at(long line, long byte_col) const {
        const long rel = line - 2;
        if (rel < 0 || static_cast<size_t>(rel) >= line_starts_.size()) return 0;
        long col = byte_col - (rel == 0 ? static_cast<long>(PREFIX.size()) : 0);
        size_t at = line_starts_[static_cast<size_t>(rel)] + static_cast<size_t>(std::max(col, 0L));
        at = std::min(at, text_.size());
        Py_ssize_t chars = 0;
        for (size_t i = 0; i < at; ++i) {
            if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++chars;
        }
        return chars;
    }

    Py_ssize_t offset_of(PyObject* node) {
        return offset_at(int_attr(node, "lineno"), int_attr(node, "col_offset"));
    }

    // A SyntaxError or ValueError from the parser becomes a rejection; other
    // exceptions pass.
    int syntax_error(Rejection& rejection) {
        if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return -1;
        }
        Strong exc = Strong::steal(PyErr_GetRaisedException());
        rejection.offset = 0;
        if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
            Strong msg = Strong::steal(PyObject_GetAttrString(exc.get(), "msg"));
            Strong line = Strong::steal(PyObject_GetAttrString(exc.get(), "lineno"));
            Strong col = Strong::steal(PyObject_GetAttrString(exc.get(), "offset"));
            PyErr_Clear();
            rejection.message = msg && PyUnicode_Check(msg.get()) ? utf8_of(msg.get()) : "invalid syntax";
            if (line && col && PyLong_Check(line.get()) && PyLong_Check(col.get())) {
                const long l = PyLong_AsLong(line.get());
                const long c = PyLong_AsLong(col.get());
                PyErr_Clear();
                rejection.offset = char_offset_at(l, c - 1);
            }
        } else {
            Strong s = Strong::steal(PyObject_Str(exc.get()));
            PyErr_Clear();
            rejection.message = s ? utf8_of(s.get()) : "invalid pattern";
        }
        cause_ = std::move(exc);
        return 0;
    }

    // As offset_at, for a character column.
    Py_ssize_t char_offset_at(long line, long char_col) const {
        const long rel = line - 2;
        if (rel < 0 || static_cast<size_t>(rel) >= line_starts_.size()) return 0;
        Py_ssize_t chars = 0;
        for (size_t i = 0; i < line_starts_[static_cast<size_t>(rel)]; ++i) {
            if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++chars;
        }
        const long col = char_col - (rel == 0 ? static_cast<long>(PREFIX.size()) : 0);
        Py_ssize_t total = 0;
        for (char ch : text_) {
            if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++total;
        }
        return std::clamp<Py_ssize_t>(chars + std::max(col, 0L), 0, total);
    }

    // The pattern of the one case of the one match statement the text must
    // have made, with no guard and the body the compiler wrote.
    bool one_case(PyObject* tree, PyObject*& pattern) {
        Strong body = attr(tree, "body");
        if (list_size(body.get()) != 1 || !is(PyList_GET_ITEM(body.get(), 0), A_Match)) {
            throw Rejection{"the text must be one pattern", 0};
        }
        Strong cases = attr(PyList_GET_ITEM(body.get(), 0), "cases");
        if (list_size(cases.get()) != 1) throw Rejection{"the text must be one pattern", 0};
        PyObject* c = PyList_GET_ITEM(cases.get(), 0);
        Strong guard = attr(c, "guard");
        if (guard.get() != Py_None) {
            throw Rejection{"guards are not supported: filter the results in Python; the "
                            "captures are returned",
                            offset_of(guard.get())};
        }
        Strong case_body = attr(c, "body");
        const long pass_line = 3 + static_cast<long>(line_starts_.size()) - 1;
        if (list_size(case_body.get()) != 1 || !is(PyList_GET_ITEM(case_body.get(), 0), A_Pass) ||
            int_attr(PyList_GET_ITEM(case_body.get(), 0), "lineno") != pass_line) {
            throw Rejection{"the text must be one pattern", 0};
        }
        held_pattern_ = attr(c, "pattern");
        pattern = held_pattern_.get();
        return true;
    }

    uint32_t add_node(Node&& n) {
        out_.nodes.push_back(std::move(n));
        return static_cast<uint32_t>(out_.nodes.size() - 1);
    }

    PyObject* keep(Strong obj) {
        PyObject* p = obj.get();
        out_.refs.push_back(std::move(obj));
        return p;
    }

    // The slot of a capture name, checked as the statement's compiler
    // checks it.
    int32_t bind(PyObject* name, PyObject* where, std::vector<int32_t>& bound) {
        if (PyUnicode_CompareWithASCIIString(name, "__debug__") == 0) {
            throw Rejection{"cannot assign to __debug__", offset_of(where)};
        }
        int32_t slot = -1;
        for (size_t i = 0; i < names_->size(); ++i) {
            if (PyUnicode_Compare((*names_)[i].get(), name) == 0) slot = static_cast<int32_t>(i);
        }
        if (slot < 0) {
            names_->push_back(Strong::borrow(name));
            slot = static_cast<int32_t>(names_->size() - 1);
        }
        if (std::find(bound.begin(), bound.end(), slot) != bound.end()) {
            throw Rejection{"multiple assignments to name " + repr_of(name) + " in pattern",
                            offset_of(where)};
        }
        bound.push_back(slot);
        return slot;
    }

    // A name in the namespace: the default one when none was given.
    Strong lookup(PyObject* name, PyObject* where) {
        if (ns_ == Py_None) {
            for (PyTypeObject* t : DEFAULT_BUILTINS) {
                if (PyUnicode_CompareWithASCIIString(name, t->tp_name) == 0) {
                    return Strong::borrow(reinterpret_cast<PyObject*>(t));
                }
            }
            PyObject* found = nullptr;
            if (PyObject_GetOptionalAttr(ast_.get(), name, &found) < 0) throw Failed{};
            Strong value = Strong::steal(found);
            if (value && PyType_Check(value.get()) &&
                PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(value.get()),
                                 reinterpret_cast<PyTypeObject*>(classes_[A_AST].get()))) {
                return value;
            }
        } else {
            Strong value = Strong::steal(PyObject_GetItem(ns_, name));
            if (value) return value;
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw Failed{};
            PyErr_Clear();
        }
        throw Rejection{"unknown name " + repr_of(name), offset_of(where)};
    }

    // A dotted name (`a.b.c`) or a plain one, resolved now.
    Strong resolve(PyObject* expr) {
        if (is(expr, A_Name)) return lookup(attr(expr, "id").get(), expr);
        if (!is(expr, A_Attribute)) throw Rejection{"unsupported name", offset_of(expr)};
        Strong base = resolve(attr(expr, "value").get());
        Strong name = attr(expr, "attr");
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(base.get(), name.get(), &found) < 0) throw Failed{};
        if (found == nullptr) {
            throw Rejection{"unknown name: no attribute " + repr_of(name.get()), offset_of(expr)};
        }
        return Strong::steal(found);
    }

    // The value of a literal or dotted value pattern.
    Strong value_of(PyObject* expr) {
        if (is(expr, A_Constant)) return attr(expr, "value");
        if (is(expr, A_Name) || is(expr, A_Attribute)) return resolve(expr);
        if (is(expr, A_UnaryOp) && is(attr(expr, "op").get(), A_USub)) {
            Strong v = value_of(attr(expr, "operand").get());
            Strong r = Strong::steal(PyNumber_Negative(v.get()));
            if (!r) throw Failed{};
            return r;
        }
        if (is(expr, A_BinOp)) {
            Strong op = attr(expr, "op");
            Strong left = value_of(attr(expr, "left").get());
            Strong right = value_of(attr(expr, "right").get());
            Strong r;
            if (is(op.get(), A_Add)) {
                r = Strong::steal(PyNumber_Add(left.get(), right.get()));
            } else if (is(op.get(), A_Sub)) {
                r = Strong::steal(PyNumber_Subtract(left.get(), right.get()));
            } else {
                throw Rejection{"patterns may only match literals and attribute lookups", offset_of(expr)};
            }
            if (!r) throw Failed{};
            return r;
        }
        throw Rejection{"patterns may only match literals and attribute lookups", offset_of(expr)};
    }

    bool is_wildcard(PyObject* p) {
        return is(p, A_MatchAs) && attr(p, "pattern").get() == Py_None &&
               attr(p, "name").get() == Py_None;
    }

    // `bound`: the slots bound so far on this path through the pattern.
    // `irrefutable_ok`: whether a capture or wildcard may stand here (not
    // before another alternative).
    uint32_t compile(PyObject* p, std::vector<int32_t>& bound, bool irrefutable_ok) {
        if (Py_EnterRecursiveCall(" while compiling a pattern")) throw Failed{};
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        Node n;
        if (is(p, A_MatchAs)) {
            Strong sub = attr(p, "pattern");
            Strong name = attr(p, "name");
            if (sub.get() == Py_None) {
                if (!irrefutable_ok) {
                    throw Rejection{name.get() != Py_None
                                        ? "name capture " + repr_of(name.get()) +
                                              " makes remaining patterns unreachable"
                                        : "wildcard makes remaining patterns unreachable",
                                    offset_of(p)};
                }
                if (name.get() == Py_None) return add_node(Node{});
                n.kind = Node::Capture;
                n.slot = bind(name.get(), p, bound);
                return add_node(std::move(n));
            }
            n.kind = Node::As;
            n.children.push_back(compile(sub.get(), bound, irrefutable_ok));
            n.slot = bind(name.get(), p, bound);
            return add_node(std::move(n));
        }
        if (is(p, A_MatchOr)) {
            Strong alts = attr(p, "patterns");
            const Py_ssize_t count = list_size(alts.get());
            n.kind = Node::Or;
            std::vector<int32_t> first;
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject* alt = PyList_GET_ITEM(alts.get(), i);
                std::vector<int32_t> alt_bound = bound;
                n.children.push_back(compile(alt, alt_bound, irrefutable_ok && i == count - 1));
                std::vector<int32_t> added(alt_bound.begin() + static_cast<std::ptrdiff_t>(bound.size()),
                                           alt_bound.end());
                std::sort(added.begin(), added.end());
                if (i == 0) {
                    first = added;
                } else if (added != first) {
                    throw Rejection{"alternative patterns bind different names", offset_of(alt)};
                }
            }
            bound.insert(bound.end(), first.begin(), first.end());
            return add_node(std::move(n));
        }
        if (is(p, A_MatchValue)) {
            n.kind = Node::Value;
            n.object = keep(value_of(attr(p, "value").get()));
            return add_node(std::move(n));
        }
        if (is(p, A_MatchSingleton)) {
            n.kind = Node::Singleton;
            n.object = keep(attr(p, "value"));
            return add_node(std::move(n));
        }
        if (is(p, A_MatchSequence)) return sequence(p, bound);
        if (is(p, A_MatchClass)) return class_pattern(p, bound);
        if (is(p, A_MatchMapping)) {
            throw Rejection{"mapping patterns are not supported", offset_of(p)};
        }
        throw Rejection{"unsupported pattern", offset_of(p)};
    }

    uint32_t sequence(PyObject* p, std::vector<int32_t>& bound) {
        Node n;
        n.kind = Node::Sequence;
        Strong items = attr(p, "patterns");
        const Py_ssize_t count = list_size(items.get());
        bool only_wildcards = true;
        bool star_wildcard = false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (is(item, A_MatchStar)) {
                if (n.star >= 0) {
                    throw Rejection{"multiple starred names in sequence pattern", offset_of(item)};
                }
                n.star = static_cast<int32_t>(i);
                Strong name = attr(item, "name");
                star_wildcard = name.get() == Py_None;
                Node star;
                if (!star_wildcard) {
                    star.kind = Node::Capture;
                    star.slot = bind(name.get(), item, bound);
                }
                n.children.push_back(add_node(std::move(star)));
                continue;
            }
            only_wildcards = only_wildcards && is_wildcard(item);
            n.children.push_back(compile(item, bound, true));
        }
        if (only_wildcards && (n.star < 0 || star_wildcard)) {
            n.reads = Node::NoReads;
        } else if (n.star >= 0 && star_wildcard) {
            n.reads = Node::Subscript;
        } else {
            n.reads = Node::Unpack;
        }
        return add_node(std::move(n));
    }

    // Whether `name` is a field or attribute of `cls`: in its `_fields` or
    // `_attributes`, or found on the class.
    bool known_attribute(PyObject* cls, PyObject* name) {
        for (const char* list : {"_fields", "_attributes"}) {
            Strong list_name = Strong::steal(PyUnicode_FromString(list));
            if (!list_name) throw Failed{};
            PyObject* names = nullptr;
            if (PyObject_GetOptionalAttr(cls, list_name.get(), &names) < 0) throw Failed{};
            Strong held = Strong::steal(names);
            if (held && (PyTuple_Check(held.get()) || PyList_Check(held.get()))) {
                const int in = PySequence_Contains(held.get(), name);
                if (in < 0) throw Failed{};
                if (in) return true;
            }
        }
        PyObject* found = nullptr;
        const int has = PyObject_GetOptionalAttr(cls, name, &found);
        Py_XDECREF(found);
        if (has < 0) throw Failed{};
        return has == 1;
    }

    // Where `name` is in the class's `_fields` (its instances' dictionaries
    // usually hold the fields first, in that order); past the end if not.
    uint32_t field_position(PyObject* cls, PyObject* name) {
        constexpr uint32_t NOWHERE = UINT32_MAX;
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(cls, fields_name_.get(), &found) < 0) throw Failed{};
        Strong fields = Strong::steal(found);
        if (!fields || !PyTuple_Check(fields.get())) return NOWHERE;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
            PyObject* f = PyTuple_GET_ITEM(fields.get(), i);
            if (PyUnicode_Check(f) && PyUnicode_Compare(f, name) == 0) return static_cast<uint32_t>(i);
        }
        return NOWHERE;
    }

    uint32_t class_pattern(PyObject* p, std::vector<int32_t>& bound) {
        Node n;
        n.kind = Node::Class;
        Strong cls_expr = attr(p, "cls");
        Strong cls = resolve(cls_expr.get());
        if (!PyType_Check(cls.get())) {
            throw Rejection{repr_of(cls.get()) + " is not a class", offset_of(cls_expr.get())};
        }
        const std::string cls_name = utf8_of(attr(cls_expr.get(), is(cls_expr.get(), A_Name) ? "id" : "attr").get());
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        n.plain_class = Py_IS_TYPE(cls.get(), &PyType_Type);
        n.object = keep(cls);

        Strong positional = attr(p, "patterns");
        Strong keywords = attr(p, "kwd_attrs");
        Strong keyword_patterns = attr(p, "kwd_patterns");
        const Py_ssize_t npos = list_size(positional.get());
        const Py_ssize_t nkw = list_size(keywords.get());
        std::vector<PyObject*> seen;
        // Repeated keywords are the statement compiler's error.
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* k = PyList_GET_ITEM(keywords.get(), i);
            for (Py_ssize_t j = 0; j < i; ++j) {
                if (PyUnicode_Compare(PyList_GET_ITEM(keywords.get(), j), k) == 0) {
                    throw Rejection{"attribute name repeated in class pattern: " + utf8_of(k),
                                    offset_of(PyList_GET_ITEM(keyword_patterns.get(), i))};
                }
            }
        }
        if (npos > 0) {
            PyObject* found = nullptr;
            if (PyObject_GetOptionalAttr(cls.get(), match_args_.get(), &found) < 0) throw Failed{};
            Strong match_args = Strong::steal(found);
            Py_ssize_t allowed;
            if (match_args) {
                if (!PyTuple_CheckExact(match_args.get())) {
                    throw Rejection{cls_name + ".__match_args__ must be a tuple", offset_of(p)};
                }
                allowed = PyTuple_GET_SIZE(match_args.get());
            } else {
                allowed = PyType_HasFeature(type, _Py_TPFLAGS_MATCH_SELF) ? 1 : 0;
            }
            if (npos > allowed) {
                throw Rejection{cls_name + "() accepts " + std::to_string(allowed) +
                                    " positional sub-pattern" + (allowed == 1 ? "" : "s") + " (" +
                                    std::to_string(npos) + " given)",
                                offset_of(PyList_GET_ITEM(positional.get(), allowed))};
            }
            for (Py_ssize_t i = 0; i < npos; ++i) {
                PyObject* name = nullptr;
                if (match_args) {
                    name = PyTuple_GET_ITEM(match_args.get(), i);
                    if (!PyUnicode_Check(name)) {
                        throw Rejection{"__match_args__ elements must be strings", offset_of(p)};
                    }
                    Py_INCREF(name);
                    PyUnicode_InternInPlace(&name);
                    name = keep(Strong::steal(name));
                    seen.push_back(name);
                }
                n.attrs.push_back(name);
                n.positions.push_back(name != nullptr ? field_position(cls.get(), name) : 0);
            }
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* k = PyList_GET_ITEM(keywords.get(), i);
            PyObject* where = PyList_GET_ITEM(keyword_patterns.get(), i);
            for (PyObject* s : seen) {
                if (PyUnicode_Compare(s, k) == 0) {
                    throw Rejection{cls_name + "() got multiple sub-patterns for attribute " +
                                        repr_of(k),
                                    offset_of(where)};
                }
            }
            if (strict_ && !known_attribute(cls.get(), k)) {
                throw Rejection{cls_name + " has no field or attribute " + repr_of(k) +
                                    " (pass strict=False to allow it)",
                                offset_of(where)};
            }
            Strong interned = Strong::borrow(k);
            PyObject* raw = interned.release();
            PyUnicode_InternInPlace(&raw);
            n.attrs.push_back(keep(Strong::steal(raw)));
            n.positions.push_back(field_position(cls.get(), n.attrs.back()));
        }
        for (Py_ssize_t i = 0; i < npos; ++i) {
            n.children.push_back(compile(PyList_GET_ITEM(positional.get(), i), bound, true));
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            n.children.push_back(compile(PyList_GET_ITEM(keyword_patterns.get(), i), bound, true));
        }
        return add_node(std::move(n));
    }

    // The classes a valid top level tests first.
    bool top_level(uint32_t at, std::vector<PyTypeObject*>& roots) const {
        const Node& n = out_.nodes[at];
        switch (n.kind) {
            case Node::Class:
                if (std::find(roots.begin(), roots.end(), reinterpret_cast<PyTypeObject*>(n.object)) ==
                    roots.end()) {
                    roots.push_back(reinterpret_cast<PyTypeObject*>(n.object));
                }
                return true;
            case Node::As:
                return top_level(n.children[0], roots);
            case Node::Or:
                for (uint32_t alt : n.children) {
                    if (!top_level(alt, roots)) return false;
                }
                return true;
            default:
                return false;
        }
    }

public:
    Strong cause_;  // the parser's exception behind a rejection

private:
    Rules& out_;
    PyObject* ns_;
    bool strict_;
    Strong ast_;
    Strong parse_;
    Strong match_args_;
    Strong fields_name_;
    std::vector<std::pair<const char*, Strong>> attr_names_;
    Strong classes_[A_COUNT];
    std::string text_;
    std::vector<size_t> line_starts_;
    std::vector<Strong>* names_ = nullptr;
    Strong held_pattern_;
};

// Raises PatternError for `key`.
void raise_pattern_error(PyObject* module, PyObject* key, const Rejection& r, Strong cause) {
    Strong key_repr = Strong::steal(PyObject_Repr(key));
    if (!key_repr) return;
    Strong message = Strong::steal(PyUnicode_FromFormat("pattern %U, offset %zd: %s", key_repr.get(),
                                                        r.offset, r.message.c_str()));
    if (!message) return;
    Strong exc = Strong::steal(PyObject_CallOneArg(state_of(module)->error, message.get()));
    if (!exc) return;
    Strong offset = Strong::steal(PyLong_FromSsize_t(r.offset));
    if (!offset) return;
    if (PyObject_SetAttrString(exc.get(), "key", key) < 0 ||
        PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0) {
        return;
    }
    if (cause) PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(state_of(module)->error, exc.get());
}

// ---------------------------------------------------------------------------
// The class of compiled rules.

struct PatternsObject {
    PyObject_HEAD
    Rules* rules;
};

PatternsObject* as_patterns(PyObject* self) { return reinterpret_cast<PatternsObject*>(self); }

// Runs a method body: no C++ exception leaves it.
template <class F>
PyObject* guarded(F&& body) {
    try {
        drain_pending_releases();
        PyObject* result = body();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    }
    return nullptr;
}

Rules* live_rules(PyObject* self) {
    Rules* r = as_patterns(self)->rules;
    if (r == nullptr) PyErr_SetString(PyExc_ValueError, "the rules were released");
    return r;
}

// The nodes under `tree` (`tree` included) in pre-order, pruned as
// walk_of_types prunes, that an applicable rule may match. False with an
// exception set.
bool candidates(Rules& r, PyObject* tree, PyObject* prune, std::vector<Strong>& out) {
    ThreadCaches& caches = thread_caches();
    std::optional<TypeSetHandle> prune_handle =
        prune != Py_None ? TypeSetHandle::make(caches.type_sets, prune) : std::nullopt;
    if (prune != Py_None && !prune_handle) return false;
    const TypeSet::View prune_set = prune_handle ? prune_handle->view() : TypeSet::View(nullptr, 0);
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return false;
    const bool pruning = !prune_set.empty();
    auto expands = [&](PyObject* n, bool) {
        return n == tree || !pruning || !prune_set.contains(Py_TYPE(n));
    };
    std::vector<Strong> stack;
    stack.push_back(Strong::borrow(tree));
    CycleWatch watch;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, tree, expands)) return false;
        if (expands(n.get(), n.get() == tree) && !walk->push_children(n.get(), stack)) {
            return false;
        }
        if (has_candidates(r, n.type())) out.push_back(std::move(n));
    }
    return true;
}

bool parse_prune(PyObject* prune) {
    if (prune != Py_None && !PyTuple_Check(prune)) {
        raise_not_instance(prune, "tuple");
        return false;
    }
    return true;
}

PyObject* patterns_find(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"tree", "prune", "first", nullptr};
    PyObject* tree;
    PyObject* prune = Py_None;
    int first = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op:find", const_cast<char**>(keywords), &tree,
                                     &prune, &first) ||
        !parse_prune(prune)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Rules* r = live_rules(self);
        if (r == nullptr) return nullptr;
        Strong keep_self = Strong::borrow(self);
        std::vector<Strong> nodes;
        if (!candidates(*r, tree, prune, nodes)) return nullptr;
        Strong out = Strong::steal(PyList_New(0));
        if (!out) return nullptr;
        Matcher m(*r);
        for (Strong& node : nodes) {
            DispatchRef d = dispatch_for(*r, node.type());
            m.new_subject();
            for (uint32_t i : d->rules) {
                const Rule& rule = r->rules[i];
                const int hit = m.matches(rule, node.get());
                if (hit < 0) return nullptr;
                if (hit == 0) continue;
                PyObject* caps = m.captures(rule);
                if (caps == nullptr) return nullptr;
                PyObject* t = PyTuple_New(3);
                if (t == nullptr) {
                    Py_DECREF(caps);
                    return nullptr;
                }
                PyTuple_SET_ITEM(t, 0, Py_NewRef(rule.key.get()));
                PyTuple_SET_ITEM(t, 1, Py_NewRef(node.get()));
                PyTuple_SET_ITEM(t, 2, caps);
                const int appended = PyList_Append(out.get(), t);
                Py_DECREF(t);
                if (appended < 0) return nullptr;
                if (first) break;
            }
        }
        return out.release();
    });
}

PyObject* patterns_count(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"tree", "prune", nullptr};
    PyObject* tree;
    PyObject* prune = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:count", const_cast<char**>(keywords), &tree,
                                     &prune) ||
        !parse_prune(prune)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        Rules* r = live_rules(self);
        if (r == nullptr) return nullptr;
        Strong keep_self = Strong::borrow(self);
        std::vector<Strong> nodes;
        if (!candidates(*r, tree, prune, nodes)) return nullptr;
        std::vector<Py_ssize_t> counts(r->rules.size(), 0);
        Matcher m(*r);
        for (Strong& node : nodes) {
            DispatchRef d = dispatch_for(*r, node.type());
            m.new_subject();
            for (uint32_t i : d->rules) {
                const int hit = m.matches(r->rules[i], node.get());
                if (hit < 0) return nullptr;
                counts[i] += hit;
            }
        }
        Strong out = Strong::steal(PyDict_New());
        if (!out) return nullptr;
        for (size_t i = 0; i < counts.size(); ++i) {
            Strong n = Strong::steal(PyLong_FromSsize_t(counts[i]));
            if (!n || PyDict_SetItem(out.get(), r->rules[i].key.get(), n.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* patterns_match(PyObject* self, PyObject* node) {
    return guarded([&]() -> PyObject* {
        Rules* r = live_rules(self);
        if (r == nullptr) return nullptr;
        Strong keep_self = Strong::borrow(self);
        Strong subject = Strong::borrow(node);
        Strong out = Strong::steal(PyList_New(0));
        if (!out) return nullptr;
        Matcher m(*r);
        DispatchRef d = dispatch_for(*r, subject.type());
        for (uint32_t i : d->rules) {
            const Rule& rule = r->rules[i];
            const int hit = m.matches(rule, subject.get());
            if (hit < 0) return nullptr;
            if (hit == 0) continue;
            PyObject* caps = m.captures(rule);
            if (caps == nullptr) return nullptr;
            Strong pair = Strong::steal(PyTuple_Pack(2, rule.key.get(), caps));
            Py_DECREF(caps);
            if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* patterns_kinds(PyObject* self, void*) {
    Rules* r = live_rules(self);
    if (r == nullptr) return nullptr;
    return Py_NewRef(r->kinds.get());
}

PyObject* patterns_keys(PyObject* self, void*) {
    Rules* r = live_rules(self);
    if (r == nullptr) return nullptr;
    Strong t = Strong::steal(PyTuple_New(static_cast<Py_ssize_t>(r->rules.size())));
    if (!t) return nullptr;
    for (size_t i = 0; i < r->rules.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(r->rules[i].key.get()));
    }
    return t.release();
}

int patterns_traverse_self(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Rules* r = as_patterns(self)->rules;
    if (r == nullptr) return 0;
    for (const Strong& ref : r->refs) Py_VISIT(ref.get());
    for (const Rule& rule : r->rules) {
        Py_VISIT(rule.key.get());
        for (const Strong& n : rule.names) Py_VISIT(n.get());
    }
    Py_VISIT(r->kinds.get());
    for (const auto& d : r->dispatch_store) Py_VISIT(d->cls.get());
    return 0;
}

// Frees the rules; their references are dropped after the object no
// longer points at them (dropping one may run interpreter code).
void release_rules(PyObject* self) {
    std::unique_ptr<Rules> r(std::exchange(as_patterns(self)->rules, nullptr));
    if (!r) return;
    std::vector<Strong> refs;
    try {
        r->take_references(refs);
    } catch (const std::bad_alloc&) {
        // The references go with the rules below, in whatever order.
    }
    r.reset();
}

int patterns_clear_self(PyObject* self) {
    release_rules(self);
    return 0;
}

void patterns_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_rules(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* patterns_repr(PyObject* self) {
    Rules* r = as_patterns(self)->rules;
    return PyUnicode_FromFormat("<arbolus.Patterns: %zd rules>",
                                r == nullptr ? Py_ssize_t{0} : static_cast<Py_ssize_t>(r->rules.size()));
}

PyMethodDef PATTERNS_METHODS[] = {
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&patterns_find)),
     METH_VARARGS | METH_KEYWORDS,
     "find($self, tree, prune=None, first=False)\n--\n\nEvery match under `tree` (`tree` included) as "
     "`(key, node, captures)`,\nnodes in depth-first pre-order and each node's keys in the order "
     "the\npatterns were given. `captures` is a dict of what the pattern binds, or\n`None` when it "
     "binds nothing. A node whose exact type is in `prune` is\nmatched, and its children are "
     "skipped. With `first`, at most one key\nper node: the first that matches, as one match "
     "statement would pick.\nThe walk is taken before any pattern runs."},
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&patterns_match)), METH_O,
     "match($self, node, /)\n--\n\nThe patterns that match `node` itself, as `(key, captures)`, in order."},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&patterns_count)),
     METH_VARARGS | METH_KEYWORDS,
     "count($self, tree, prune=None)\n--\n\n`{key: number of nodes it matches}` over the nodes `find` "
     "visits,\nfor every key."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PATTERNS_GETSET[] = {
    {"kinds", &patterns_kinds, nullptr,
     "The classes a pattern can start at, as a tuple, in order of first use.", nullptr},
    {"keys", &patterns_keys, nullptr, "The keys of the patterns, in order, as a tuple.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot PATTERNS_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&patterns_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&patterns_traverse_self)},
    {Py_tp_clear, reinterpret_cast<void*>(&patterns_clear_self)},
    {Py_tp_repr, reinterpret_cast<void*>(&patterns_repr)},
    {Py_tp_methods, PATTERNS_METHODS},
    {Py_tp_getset, PATTERNS_GETSET},
    {Py_tp_doc, const_cast<char*>(
                    "Patterns compiled by `compile_patterns`: immutable, and reusable across\n"
                    "calls and threads.")},
    {0, nullptr},
};

PyType_Spec PATTERNS_SPEC = {
    "arbolus.Patterns",
    sizeof(PatternsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    PATTERNS_SLOTS,
};

// Appends `name` to the module's `__all__`.
int add_to_all(PyObject* module, const char* name) {
    Strong all = Strong::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) return -1;
    Strong s = Strong::steal(PyUnicode_FromString(name));
    if (!s) return -1;
    Strong ok = Strong::steal(PyObject_CallMethod(all.get(), "append", "O", s.get()));
    return ok ? 0 : -1;
}

// The (key, text) pairs of the patterns argument.
bool pattern_items(PyObject* patterns, std::vector<std::pair<Strong, Strong>>& out) {
    if (PyUnicode_Check(patterns) || PyBytes_Check(patterns) || PyByteArray_Check(patterns)) {
        PyErr_SetString(PyExc_TypeError,
                         "patterns must be a mapping from keys to pattern texts, or a sequence of "
                         "texts");
        return false;
    }
    Strong items;
    const bool mapping = PyDict_Check(patterns) || PyObject_HasAttrString(patterns, "keys");
    if (mapping) {
        Strong listed = Strong::steal(PyMapping_Items(patterns));
        if (!listed) return false;
        const Py_ssize_t n = PyList_GET_SIZE(listed.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(listed.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "the mapping's items must be pairs");
                return false;
            }
            out.emplace_back(Strong::borrow(PyTuple_GET_ITEM(pair, 0)),
                             Strong::borrow(PyTuple_GET_ITEM(pair, 1)));
        }
        return true;
    }
    Strong seq = Strong::steal(PySequence_Fast(
        patterns, "patterns must be a mapping from keys to pattern texts, or a sequence of texts"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Strong key = Strong::steal(PyLong_FromSsize_t(i));
        if (!key) return false;
        out.emplace_back(std::move(key), Strong::borrow(PySequence_Fast_GET_ITEM(seq.get(), i)));
    }
    return true;
}

}  // namespace

int patterns_exec(PyObject* module) {
    PatternsState* state = state_of(module);
    state->error = PyErr_NewExceptionWithDoc(
        "arbolus.PatternError",
        "A pattern text that `compile_patterns` cannot compile. `key` is the\n"
        "pattern's key and `offset` the position in its text, from 0.",
        PyExc_ValueError, nullptr);
    if (state->error == nullptr) return -1;
    state->type = PyType_FromModuleAndSpec(module, &PATTERNS_SPEC, nullptr);
    if (state->type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "PatternError", state->error) < 0 ||
        PyModule_AddObjectRef(module, "Patterns", state->type) < 0) {
        return -1;
    }
    if (add_to_all(module, "PatternError") < 0 || add_to_all(module, "Patterns") < 0) return -1;
    return 0;
}

int patterns_traverse(PyObject* module, visitproc visit, void* arg) {
    PatternsState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->error);
    Py_VISIT(state->type);
    return 0;
}

int patterns_clear(PyObject* module) {
    PatternsState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->error);
    Py_CLEAR(state->type);
    return 0;
}

PyObject* compile_patterns(PyObject* module, PyObject* patterns, PyObject* ns, PyObject* strict) {
    const int strict_flag = strict == Py_None ? 1 : PyObject_IsTrue(strict);
    if (strict_flag < 0) return nullptr;
    std::vector<std::pair<Strong, Strong>> items;
    if (!pattern_items(patterns, items)) return nullptr;
    auto rules = std::make_unique<Rules>();
    Compiler compiler(*rules, ns, strict_flag != 0);
    if (!compiler.start()) return nullptr;
    for (auto& [key, text] : items) {
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "the pattern of key %R is not a str but %.200s",
                         key.get(), Py_TYPE(text.get())->tp_name);
            return nullptr;
        }
        Rejection rejection;
        const int added = compiler.add(key.get(), text.get(), rejection);
        if (added < 0) return nullptr;
        if (added == 0) {
            raise_pattern_error(module, key.get(), rejection, std::move(compiler.cause_));
            return nullptr;
        }
    }
    std::vector<PyObject*> kinds;
    for (const Rule& rule : rules->rules) {
        for (PyTypeObject* c : rule.roots) {
            auto* k = reinterpret_cast<PyObject*>(c);
            if (std::find(kinds.begin(), kinds.end(), k) == kinds.end()) kinds.push_back(k);
        }
    }
    rules->kinds = Strong::steal(PyTuple_New(static_cast<Py_ssize_t>(kinds.size())));
    if (!rules->kinds) return nullptr;
    for (size_t i = 0; i < kinds.size(); ++i) {
        PyTuple_SET_ITEM(rules->kinds.get(), static_cast<Py_ssize_t>(i), Py_NewRef(kinds[i]));
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module)->type);
    PatternsObject* self = PyObject_GC_New(PatternsObject, type);
    if (self == nullptr) return nullptr;
    self->rules = rules.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace arbolus
