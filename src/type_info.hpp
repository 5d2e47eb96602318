// Per-thread facts about node classes: field names and location attributes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "pointer_map.hpp"
#include "strong.hpp"

namespace arbolus {

// Location attributes a class lists in `_attributes`, as bits.
enum LocationBit : uint8_t {
    LOC_LINENO = 1,
    LOC_COL_OFFSET = 2,
    LOC_END_LINENO = 4,
    LOC_END_COL_OFFSET = 8,
};

struct TypeInfo {
    std::vector<Strong> fields;  // exact, interned str names of `_fields`
    Strong cls;                  // keeps the class (and so its address) alive
    uint8_t locations = 0;       // LocationBit set from `_attributes`
};

// The interned string names of a tuple-valued class attribute. Never raises:
// a missing, raising or non-tuple attribute gives no names; items that are
// not str, or have no UTF-8 form, are skipped.
std::vector<Strong> names_of(PyTypeObject* cls, const char* attribute);

// One thread's records, keyed by class address. Records are allocated one by
// one so references handed out stay valid while the map grows; they are
// never replaced or refreshed.
class TypeInfoCache {
public:
    // The record for `cls`, built on first sight. Never raises. Requires the
    // interpreter lock.
    const TypeInfo& get(PyTypeObject* cls) {
        if (std::unique_ptr<TypeInfo>* hit = map_.find(reinterpret_cast<uintptr_t>(cls))) {
            return **hit;
        }
        return build(cls);
    }

    // Moves every record out (for release by the caller under the lock).
    std::vector<std::unique_ptr<TypeInfo>> take_all();

private:
    const TypeInfo& build(PyTypeObject* cls);
    PointerMap<std::unique_ptr<TypeInfo>> map_;
};

}  // namespace arbolus
