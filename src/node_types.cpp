#include "node_types.hpp"

#include "errors.hpp"
#include "strong.hpp"
#include "thread_caches.hpp"

namespace arbolus {

namespace {

// Reads `ast.<name>` and checks that it is a class.
PyTypeObject* ast_class(PyObject* ast_module, const char* name) {
    Strong value = Strong::steal(PyObject_GetAttrString(ast_module, name));
    if (!value) return nullptr;
    if (!PyType_Check(value.get())) {
        raise_not_instance(value.get(), "type");
        return nullptr;
    }
    // The module keeps the class alive; only its address is kept.
    return reinterpret_cast<PyTypeObject*>(value.get());
}

Strong import_ast() {
    Strong name = Strong::steal(PyUnicode_FromString("ast"));
    if (!name) return {};
    return Strong::steal(PyImport_Import(name.get()));
}

}  // namespace

const BaseTypes* resolve_base_types(ThreadCaches& caches) {
    if (caches.base_types) return &*caches.base_types;
    Strong module = import_ast();
    if (!module) return nullptr;
    PyTypeObject* ast = ast_class(module.get(), "AST");
    if (ast == nullptr) return nullptr;
    PyTypeObject* expr = ast_class(module.get(), "expr");
    if (expr == nullptr) return nullptr;
    caches.base_types = BaseTypes{ast, expr};
    return &*caches.base_types;
}

void FieldTable::insert_ast(uintptr_t cls, uint8_t count) {
    for (size_t i = (cls >> 4) & mask_;; i = (i + 1) & mask_) {
        if (keys_[i] == cls) {
            counts_[i] = count;
            return;
        }
        if (keys_[i] == 0) {
            keys_[i] = cls;
            counts_[i] = count;
            if (4 * ++used_ > 3 * keys_.size()) grow();
            return;
        }
    }
}

void FieldTable::grow() {
    std::vector<uint64_t> old_keys(keys_.size() * 2, 0);
    std::vector<uint8_t> old_counts(counts_.size() * 2, 0);
    old_keys.swap(keys_);
    old_counts.swap(counts_);
    mask_ = keys_.size() - 1;
    used_ = 0;
    for (size_t i = 0; i < old_keys.size(); ++i) {
        if (old_keys[i] != 0) insert_ast(old_keys[i], old_counts[i]);
    }
}

namespace {

uint8_t field_count(PyObject* cls) {
    Strong fields = Strong::steal(PyObject_GetAttrString(cls, "_fields"));
    if (!fields) {
        PyErr_Clear();
        return 1;
    }
    Py_ssize_t n = PyObject_Size(fields.get());
    if (n < 0) {
        PyErr_Clear();
        return 1;
    }
    return static_cast<uint8_t>(1 + (n < 254 ? n : 254));
}

}  // namespace

std::unique_ptr<FieldTable> prebuild_field_table() {
    Strong module = import_ast();
    if (!module) return nullptr;
    Strong root = Strong::steal(PyObject_GetAttrString(module.get(), "AST"));
    if (!root) return nullptr;
    if (!PyType_Check(root.get())) {
        raise_not_instance(root.get(), "type");
        return nullptr;
    }

    auto table = std::make_unique<FieldTable>();
    std::vector<Strong> stack;
    stack.push_back(std::move(root));
    while (!stack.empty()) {
        Strong cls = std::move(stack.back());
        stack.pop_back();
        table->insert_ast(reinterpret_cast<uintptr_t>(cls.get()), field_count(cls.get()));

        Strong subclasses = Strong::steal(PyObject_CallMethod(cls.get(), "__subclasses__", nullptr));
        if (!subclasses) return nullptr;
        Strong it = Strong::steal(PyObject_GetIter(subclasses.get()));
        if (!it) return nullptr;
        while (Strong sub = Strong::steal(PyIter_Next(it.get()))) {
            if (!PyType_Check(sub.get())) {
                raise_not_instance(sub.get(), "type");
                return nullptr;
            }
            stack.push_back(std::move(sub));
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return table;
}

void raise_field_table_busy() {
    raise_internal_fault(
        "the thread's field table is in use by an outer walk on the same thread");
}

}  // namespace arbolus
