// What counts as a node, where a node keeps its fields, and how many fields
// each node class declares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "pydict.hpp"

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

// Starts loading where a node's field values are (its dictionary's entry
// table). Nodes and their dictionaries are allocated close to their
// neighbours in the tree, so the walk finds them in cache; the entry tables
// are allocated apart, and without this each one is a wait.
inline void prefetch_fields(PyObject* node) {
    PyObject* dict = get_instance_dict_fast(node);
    if (dict != nullptr) pydict::prefetch_leading_values(dict);
}

// Class address -> 1 + number of `_fields` (capped at 255); 0 for unknown
// classes. Open addressing with linear probing from bits 4..11 of the address
// in the starting 256 slots; the table doubles before it gets crowded, so
// any number of classes stays findable and probing always ends.
class FieldTable {
public:
    FieldTable() : keys_(256, 0), counts_(256, 0), mask_(255) {}

    void insert_ast(uintptr_t cls, uint8_t count);

    uint8_t lookup(uintptr_t cls) const noexcept {
        for (size_t i = (cls >> 4) & mask_;; i = (i + 1) & mask_) {
            uint64_t k = keys_[i];
            if (k == cls) return counts_[i];
            if (k == 0) return 0;
        }
    }

    size_t size() const noexcept { return used_; }

private:
    void grow();

    std::vector<uint64_t> keys_;
    std::vector<uint8_t> counts_;
    size_t mask_;
    size_t used_ = 0;
};

// Walks every subclass of `ast.AST` reachable through `__subclasses__` and
// records its field count. Null with an exception set on failure.
std::unique_ptr<FieldTable> prebuild_field_table();

// Raises the internal-fault exception for a nested use of a thread's field
// table while an outer walk holds it.
void raise_field_table_busy();

}  // namespace arbolus
