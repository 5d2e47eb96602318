#include "type_info.hpp"

#include <cstring>
#include <string_view>

namespace arbolus {

std::vector<Strong> names_of(PyTypeObject* cls, const char* attribute) {
    std::vector<Strong> names;
    Strong value;
    {
        Strong key = Strong::steal(
            PyUnicode_FromStringAndSize(attribute, static_cast<Py_ssize_t>(std::strlen(attribute))));
        if (!key) {
            PyErr_Clear();
            return names;
        }
        value = Strong::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), key.get()));
    }
    if (!value) {
        PyErr_Clear();
        return names;
    }
    if (!PyTuple_Check(value.get())) {
        return names;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(value.get());
    names.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(value.get(), i);
        if (!PyUnicode_Check(item)) {
            continue;
        }
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &len);
        if (text == nullptr) {
            PyErr_Clear();
            continue;
        }
        // A fresh exact str, so that str subclasses become plain names and
        // interning yields the canonical object with a cached hash.
        PyObject* name = PyUnicode_FromStringAndSize(text, len);
        if (name == nullptr) {
            PyErr_Clear();
            continue;
        }
        PyUnicode_InternInPlace(&name);
        names.push_back(Strong::steal(name));
    }
    return names;
}

namespace {

uint8_t location_bit(PyObject* name) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return 0;
    }
    std::string_view s(text, static_cast<size_t>(len));
    if (s == "lineno") return LOC_LINENO;
    if (s == "col_offset") return LOC_COL_OFFSET;
    if (s == "end_lineno") return LOC_END_LINENO;
    if (s == "end_col_offset") return LOC_END_COL_OFFSET;
    return 0;
}

}  // namespace

const TypeInfo& TypeInfoCache::build(PyTypeObject* cls) {
    // Built outside the map: the attribute lookups may run interpreter code,
    // which may call back into the module on this thread and insert records.
    auto record = std::make_unique<TypeInfo>();
    record->cls = Strong::borrow(reinterpret_cast<PyObject*>(cls));
    for (const Strong& name : names_of(cls, "_attributes")) {
        record->locations |= location_bit(name.get());
    }
    record->fields = names_of(cls, "_fields");

    auto key = reinterpret_cast<uintptr_t>(cls);
    if (std::unique_ptr<TypeInfo>* existing = map_.find(key)) {
        return **existing;  // a re-entrant call built it meanwhile
    }
    return *map_.insert(key, std::move(record));
}

std::vector<std::unique_ptr<TypeInfo>> TypeInfoCache::take_all() {
    std::vector<std::unique_ptr<TypeInfo>> out;
    for (auto& [key, record] : map_.take_all()) {
        out.push_back(std::move(record));
    }
    return out;
}

}  // namespace arbolus
