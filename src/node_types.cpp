#include "node_types.hpp"

#include <algorithm>
#include <atomic>

#include "errors.hpp"
#include "strong.hpp"
#include "thread_caches.hpp"
#include "type_info.hpp"

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

namespace {

// Written once, before any walk can read it; the same in every interpreter.
std::atomic<getattrofunc> GETATTR_HOOK{nullptr};

}  // namespace

bool learn_getattr_hook() {
    if (GETATTR_HOOK.load(std::memory_order_relaxed) != nullptr) return true;
    Strong cls = Strong::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sO}", "getattr_probe",
        reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattr__", Py_None));
    if (!cls) return false;
    GETATTR_HOOK.store(reinterpret_cast<PyTypeObject*>(cls.get())->tp_getattro,
                       std::memory_order_relaxed);
    return true;
}

getattrofunc getattr_hook() noexcept { return GETATTR_HOOK.load(std::memory_order_relaxed); }

bool ordinary_getattribute(PyTypeObject* cls) {
    Strong& name = thread_caches().getattribute_name;
    if (!name) {
        name = Strong::steal(PyUnicode_InternFromString("__getattribute__"));
        if (!name) {
            PyErr_Clear();  // not known, then; the next call tries again
            return false;
        }
    }
    // The interpreter's own test: the wrapper of the ordinary lookup.
    PyObject* found = _PyType_Lookup(cls, name.get());
    return found != nullptr && Py_IS_TYPE(found, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(found)->d_wrapped ==
               reinterpret_cast<void*>(PyObject_GenericGetAttr);
}

bool ClassFields::learn_absent(PyTypeObject* cls, size_t m) const {
    // From the last name back. A class value that is a list, or whose
    // class is a heap type, may be or become a child; one of a static
    // type other than list never can. What a descriptor would give is not
    // known without calling it.
    PyUnstable_Type_AssignVersionTag(cls);
    size_t from = count - 1u;
    for (; from > 0; --from) {
        Held value;
        const ClassValue found = class_value(cls, names[from - 1].get(), value);
        if (found == ClassValue::Absent) continue;
        if (found == ClassValue::Unknown || PyList_Check(value.get()) ||
            PyType_HasFeature(Py_TYPE(value.get()), Py_TPFLAGS_HEAPTYPE)) {
            break;
        }
    }
    // A name given twice is absent from a dictionary that lacks it only
    // where its first place is absent too: with its first place among the
    // positions read, a table that short may well hold it. Names are
    // interned, so equal names are the same object.
    for (size_t i = count - 1u; i > from; --i) {
        const PyObject* name = names[i - 1].get();
        if (std::any_of(names, names + (i - 1), [&](const Strong& s) { return s.get() == name; })) {
            from = i;
            break;
        }
    }
    // The reads ran no interpreter code: the tag read now is the one they saw.
    absent_version = arbolus_type_version(cls);
    absent_from = static_cast<uint8_t>(from);
    return m >= from;
}

int FieldTable::record(PyObject* cls) {
    auto address = reinterpret_cast<uintptr_t>(cls);
    if (lookup(address).count != 0) return 0;
    auto rec = std::make_unique<Record>();
    rec->cls = Strong::borrow(cls);
    if (!names_of(reinterpret_cast<PyTypeObject*>(cls), "_fields", rec->names)) return -1;
    if (rec->names.size() > MAX_FIELDS) rec->names.resize(MAX_FIELDS);
    // Reading `_fields` may have run code that recorded the class already.
    if (lookup(address).count != 0) return 0;
    rec->fields = {static_cast<uint8_t>(1 + rec->names.size()), rec->names.data(), 0, 0};
    const ClassFields* fields = &rec->fields;
    records_.push_back(std::move(rec));
    insert(address, fields);
    return 1;
}

void FieldTable::insert(uintptr_t cls, const ClassFields* fields) {
    // The lookup's probe sequence, in byte offsets.
    for (size_t at = cls & offset_mask_;; at = (at + sizeof(Slot)) & offset_mask_) {
        Slot& slot = slots_[at / sizeof(Slot)];
        if (slot.key == 0) {
            slot = {cls, fields};
            if (2 * records_.size() > slots_.size()) grow();
            return;
        }
    }
}

void FieldTable::grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, nullptr});
    old.swap(slots_);
    offset_mask_ = (slots_.size() - 1) * sizeof(Slot);
    for (const Slot& slot : old) {
        if (slot.key != 0) insert(slot.key, slot.fields);
    }
}

void FieldTable::take_references(std::vector<PyObject*>& out) {
    for (auto& rec : records_) {
        out.push_back(rec->cls.release());
        for (Strong& name : rec->names) out.push_back(name.release());
    }
}

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
    if (table->record(root.get()) < 0) return nullptr;
    // Borrowed: the table holds every class it recorded. A class met again
    // (diamond inheritance, a `__subclasses__` that repeats itself) is not
    // expanded again.
    std::vector<PyObject*> stack{root.get()};
    while (!stack.empty()) {
        PyObject* cls = stack.back();
        stack.pop_back();
        Strong subclasses = Strong::steal(PyObject_CallMethod(cls, "__subclasses__", nullptr));
        if (!subclasses) return nullptr;
        Strong it = Strong::steal(PyObject_GetIter(subclasses.get()));
        if (!it) return nullptr;
        while (Strong sub = Strong::steal(PyIter_Next(it.get()))) {
            if (!PyType_Check(sub.get())) {
                raise_not_instance(sub.get(), "type");
                return nullptr;
            }
            int added = table->record(sub.get());
            if (added < 0) return nullptr;
            if (added > 0) stack.push_back(sub.get());
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
