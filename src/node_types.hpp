// What counts as a node, where a node keeps its fields, and how many fields
// each node class declares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "pydict.hpp"
#include "strong.hpp"

namespace arbolus {

struct ThreadCaches;

// `ast.AST` and `ast.expr` of the current interpreter, as plain addresses:
// the `ast` module keeps both classes alive.
struct BaseTypes {
    PyTypeObject* ast;
    PyTypeObject* expr;
};

// The thread's cached pair, resolved on first use; null with an exception
// set when `ast` cannot provide them (the next call tries again).
const BaseTypes* resolve_base_types(ThreadCaches& caches);

enum class NodeAnswer { No, Yes, Undecided };

// Three pointer comparisons decide every class of the standard hierarchy
// (its base is an abstract category whose base is `ast.AST`) and classes two
// levels below `ast.expr`. `ast.AST` itself is no node: its base is object.
inline NodeAnswer issubclass_of_ast(PyTypeObject* cls, const BaseTypes& base) {
    PyTypeObject* b = cls->tp_base;
    if (b == nullptr || b == &PyBaseObject_Type) return NodeAnswer::No;
    if (b == base.ast) return NodeAnswer::Yes;
    PyTypeObject* g = b->tp_base;
    if (g == base.ast || g == base.expr) return NodeAnswer::Yes;
    return NodeAnswer::Undecided;
}

// The fast walks' node test: undecided counts as no.
inline bool is_ast_fast(PyObject* obj, const BaseTypes& base) {
    return issubclass_of_ast(Py_TYPE(obj), base) == NodeAnswer::Yes;
}

// The complete node test: undecided is settled by the full subclass test.
inline bool is_ast(PyObject* obj, const BaseTypes& base) {
    PyTypeObject* cls = Py_TYPE(obj);
    switch (issubclass_of_ast(cls, base)) {
        case NodeAnswer::Yes:
            return true;
        case NodeAnswer::No:
            return false;
        case NodeAnswer::Undecided:
            break;
    }
    return PyType_IsSubtype(cls, base.ast) != 0;
}

// The instance dictionary stored at the class's dictionary offset, borrowed,
// without any attribute lookup; null when the class keeps no dictionary at a
// positive offset or none was created yet.
inline PyObject* get_instance_dict_fast(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// get_instance_dict_fast for a dictionary used after the read. Assigning
// `__dict__` swaps the slot under the object's lock and drops the old
// dictionary: on free-threaded builds the slot is read under that lock and
// the dictionary held (the interpreter's own attribute lookup reads the
// slot without it), so a swap by another thread leaves this read with the
// dictionary as it was, alive. Under the global lock, borrowed.
inline Held instance_dict_held(PyObject* obj) {
    if (Py_TYPE(obj)->tp_dictoffset <= 0) return Held();
    CriticalSection section(obj);
    return Held::borrow(get_instance_dict_fast(obj));
}

// Starts loading where a node's field values are (its dictionary's entry
// table). Nodes and their dictionaries are allocated close to their
// neighbours in the tree, so the walk finds them in cache; the entry tables
// are allocated apart, and without this each one is a wait.
inline void prefetch_fields(PyObject* node) {
    // (Free-threaded builds read no table in place, and the slot may be
    // written by another thread meanwhile: nothing to start.)
    if constexpr (ARBOLUS_FREE_THREADED) return;
    PyObject* dict = get_instance_dict_fast(node);
    if (dict != nullptr) pydict::prefetch_leading_values(dict);
}

// The attribute lookup the interpreter gives a class that defines
// `__getattr__` (the ordinary lookup, then `__getattr__` where that raises
// AttributeError), learned from a class made for the purpose when the module
// is loaded. False with an exception set when that class cannot be made.
bool learn_getattr_hook();
getattrofunc getattr_hook() noexcept;

// Whether `__getattribute__` of `cls` is the ordinary lookup's own, so that
// the interpreter's `__getattr__` lookup starts with the ordinary lookup.
// For a class whose dictionaries on the MRO keep only str keys, so that
// finding the name runs no code.
bool ordinary_getattribute(PyTypeObject* cls);

// What attribute lookup of `name` on an instance of `cls` gives once the
// instance's dictionary is known not to hold the name, when that can be
// told without running interpreter code: the class reads attributes the
// ordinary way (or the ordinary way first, then `__getattr__`), every class
// dictionary on its MRO keeps only str keys (so finding the name compares no
// other keys; the dictionaries of static types are fixed), and what the
// class holds under the name is no descriptor. The lookup then gives that
// class attribute (Found), or raises AttributeError when there is none and
// no `__getattr__` is asked (Absent). Unknown otherwise. Optional fields
// that a constructor left unset read their class's default this way.
// `out` is held as Held holds (another thread may set the class attribute
// and drop what it held). The MRO tuple is read borrowed: only assigning
// `__bases__` replaces it, which is not among the edits a call is sound
// against (README).
enum class ClassValue { Found, Absent, Unknown };

// What the class's MRO holds under `name`, as Held holds it.
template <class H = Held>
H type_lookup_held(PyTypeObject* cls, PyObject* name) {
    if constexpr (std::is_same_v<H, Strong>) {
        return Strong::steal(arbolus_type_lookup_ref(cls, name));
    } else {
        return Held::borrow(_PyType_Lookup(cls, name));
    }
}

inline ClassValue class_value(PyTypeObject* cls, PyObject* name, Held& out) {
    const bool ordinary = cls->tp_getattro == PyObject_GenericGetAttr;
    if (!ordinary && cls->tp_getattro != getattr_hook()) return ClassValue::Unknown;
    PyObject* mro = cls->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return ClassValue::Unknown;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject* base = PyTuple_GET_ITEM(mro, k);
        if (!PyType_Check(base)) return ClassValue::Unknown;
        auto* type = reinterpret_cast<PyTypeObject*>(base);
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* d = type->tp_dict;
        if (d == nullptr || !PyDict_Check(d) || !pydict::str_lookup_in_class_runs_no_code(d)) {
            return ClassValue::Unknown;
        }
    }
    if (!ordinary && !ordinary_getattribute(cls)) return ClassValue::Unknown;
    Held attr = type_lookup_held(cls, name);
    if (!attr) return ordinary ? ClassValue::Absent : ClassValue::Unknown;
    if (Py_TYPE(attr.get())->tp_descr_get != nullptr) return ClassValue::Unknown;
    out = std::move(attr);
    return ClassValue::Found;
}

// The names a class's `_fields` held when the table recorded it (interned,
// at most MAX_FIELDS), seen from the fast walks, which take a node's
// fields from the first entries of its dictionary when those hold exactly
// these names in order.
struct ClassFields {
    uint8_t count;         // 1 + number of names; 0 for a class not recorded
    const Strong* names;   // `count - 1` names

    // Whether fields names[m..] of an instance of `cls` (the class
    // recorded) whose dictionary lacks them give no child: the class holds
    // nothing under those names, or something that can never be a child
    // (None, a number). Known for the class as it was at type version
    // `absent_version`: only the class's attributes decide.
    bool absent_give_nothing(PyTypeObject* cls, size_t m) const {
        const unsigned int version = arbolus_type_version(cls);
        if (version != 0 && version == absent_version) return m >= absent_from;
        return learn_absent(cls, m);
    }
    bool learn_absent(PyTypeObject* cls, size_t m) const;

    mutable unsigned int absent_version = 0;  // 0: not known
    mutable uint8_t absent_from = 0;          // names[k..] give nothing for k >= this
};

// Class address -> the class's ClassFields. Open addressing with linear
// probing from bits 4..12 of the address in the starting 512 slots, which
// the standard hierarchy fills to about a quarter: node classes are
// allocated about a kilobyte apart, so their home slots rarely meet and a
// lookup is usually one comparison. A slot is 16 bytes, so those address
// bits masked are the slot's byte offset. The table doubles before it is
// half full, so any number of classes stays findable and probing always
// ends. Each recorded class is held, so no other class can take over its
// address while the table lives.
class FieldTable {
public:
    static constexpr size_t MAX_FIELDS = 254;

    FieldTable() : slots_(512, Slot{0, nullptr}), offset_mask_(511 * sizeof(Slot)) {}

    // Records `cls` with the names of its `_fields`, unless it is recorded
    // already. 1 when recorded now, 0 when already there, -1 with an
    // exception set when reading `_fields` must fail the build.
    int record(PyObject* cls);

    struct Slot {
        uint64_t key;                // class address; 0 for an empty slot
        const ClassFields* fields;
    };
    static_assert(sizeof(Slot) == 16);

    // The table as two plain values, for a walk to keep in registers:
    // nothing changes the table while a walk holds it. (Each thread has its
    // own table, so on free-threaded builds too: other threads change
    // classes, not this table. Redefining a class's `_fields` is not seen:
    // the names recorded are held by the table and used as they were.)
    struct View {
        const char* slots;
        size_t offset_mask;

        const ClassFields& lookup(uintptr_t cls) const noexcept {
            for (size_t at = cls & offset_mask;; at = (at + sizeof(Slot)) & offset_mask) {
                const Slot& slot = *reinterpret_cast<const Slot*>(slots + at);
                if (slot.key == cls) return *slot.fields;
                if (slot.key == 0) return NOT_RECORDED;
            }
        }
    };

    View view() const noexcept {
        return {reinterpret_cast<const char*>(slots_.data()), offset_mask_};
    }
    const ClassFields& lookup(uintptr_t cls) const noexcept { return view().lookup(cls); }

    size_t size() const noexcept { return records_.size(); }

    // Moves every reference the table holds into `out` (for release by the
    // caller under the interpreter lock); the table is unusable afterwards.
    void take_references(std::vector<PyObject*>& out);

private:
    static constexpr ClassFields NOT_RECORDED{0, nullptr, 0, 0};

    struct Record {
        Strong cls;
        std::vector<Strong> names;
        ClassFields fields;
    };

    void insert(uintptr_t cls, const ClassFields* fields);
    void grow();

    std::vector<Slot> slots_;
    size_t offset_mask_;
    std::vector<std::unique_ptr<Record>> records_;
};

// Walks every subclass of `ast.AST` reachable through `__subclasses__` and
// records each class once. Null with an exception set on failure.
std::unique_ptr<FieldTable> prebuild_field_table();

// Raises the internal-fault exception for a nested use of a thread's field
// table while an outer walk holds it.
void raise_field_table_busy();

}  // namespace arbolus
