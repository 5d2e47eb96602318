#include "type_info.hpp"

#include <cstring>

#include "errors.hpp"

namespace arbolus {

namespace {

// Clears a pending exception that only means "no names here"; false (the
// exception kept) when it must reach the caller.
bool shrug_off_error() {
    if (pending_error_must_pass()) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

bool names_of(PyTypeObject* cls, const char* attribute, std::vector<Strong>& out) {
    Strong value;
    {
        Strong key = Strong::steal(
            PyUnicode_FromStringAndSize(attribute, static_cast<Py_ssize_t>(std::strlen(attribute))));
        if (!key) return false;
        value = Strong::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), key.get()));
    }
    if (!value) return shrug_off_error();
    if (!PyTuple_Check(value.get())) return true;
    Py_ssize_t n = PyTuple_GET_SIZE(value.get());
    out.reserve(out.size() + static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(value.get(), i);
        if (!PyUnicode_Check(item)) continue;
        // An exact str of the same text (a copy of a subclass's), so that
        // str subclasses become plain names and interning yields the
        // canonical object with a cached hash. Copied as code points, not
        // through UTF-8, which has no lone surrogates.
        PyObject* name = PyUnicode_Substring(item, 0, PyUnicode_GET_LENGTH(item));
        if (name == nullptr) return false;
        PyUnicode_InternInPlace(&name);
        out.push_back(Strong::steal(name));
    }
    return true;
}

namespace {

// Compares the text in place: nothing is allocated, nothing can fail.
uint8_t location_bit(PyObject* name) {
    if (PyUnicode_CompareWithASCIIString(name, "lineno") == 0) return LOC_LINENO;
    if (PyUnicode_CompareWithASCIIString(name, "col_offset") == 0) return LOC_COL_OFFSET;
    if (PyUnicode_CompareWithASCIIString(name, "end_lineno") == 0) return LOC_END_LINENO;
    if (PyUnicode_CompareWithASCIIString(name, "end_col_offset") == 0) return LOC_END_COL_OFFSET;
    return 0;
}

}  // namespace

const TypeInfo* TypeInfoCache::build(PyTypeObject* cls) {
    // Built outside the map: the attribute lookups may run interpreter code,
    // which may call back into the module on this thread and insert records.
    auto record = std::make_unique<TypeInfo>();
    record->cls = Strong::borrow(reinterpret_cast<PyObject*>(cls));
    {
        std::vector<Strong> attributes;
        if (!names_of(cls, "_attributes", attributes)) return nullptr;
        for (const Strong& name : attributes) record->locations |= location_bit(name.get());
    }
    if (!names_of(cls, "_fields", record->fields)) return nullptr;

    auto key = reinterpret_cast<uintptr_t>(cls);
    if (std::unique_ptr<TypeInfo>* existing = map_.find(key)) {
        return existing->get();  // a re-entrant call built it meanwhile
    }
    return map_.insert(key, std::move(record)).get();
}

std::vector<std::unique_ptr<TypeInfo>> TypeInfoCache::take_all() {
    std::vector<std::unique_ptr<TypeInfo>> out;
    for (auto& [key, record] : map_.take_all()) {
        out.push_back(std::move(record));
    }
    return out;
}

}  // namespace arbolus
