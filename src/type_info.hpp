// Per-thread facts about node classes: field names and location attributes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
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

// How many attribute names the writer (set_parents, fix_missing_locations)
// stores under.
inline constexpr size_t WRITER_NAME_COUNT = 5;

// What a class holds under each of a writer's attribute names: the object
// that ordinary assignment to an instance finds on the MRO (in the first
// class whose dictionary has the name), or null. Known for the class as it
// was at type version `version` (0: not known). While the version holds, no
// class on the MRO has had an attribute set or deleted, so each object is
// still the one its class's dictionary holds, and is kept alive by it.
// Filled in by the writer.
//
// On free-threaded builds another thread may set one of these attributes
// on a class between the version check and the use of what was found, and
// drop the object found: there the record holds each (Held), and a store
// decided just before such a change is as if made before it.
struct ClassAttributes {
    unsigned int version = 0;
    std::array<Held, WRITER_NAME_COUNT> found{};  // index i: the writer's name i
};

// Moves a reference that is held only on free-threaded builds to `out`.
template <class H>
void take_held(H& held, std::vector<PyObject*>& out) {
    if constexpr (std::is_same_v<H, Strong>) {
        if (held) out.push_back(held.release());
    }
}

// Each spelling is followed by this many bytes that may be read, so that a
// short one is copied with one copy of fixed length.
inline constexpr size_t SPELLING_PAD = 32;

// How fingerprints spell a class: the start of every node's byte stream
// (format byte, module, qualified name) and each field name's encoding.
// `header` holds for the class as it was at type version `version` with
// `qualname` as its qualified name (assigning `__qualname__` leaves the
// version alone); a static type's names never change (`fixed`). Version 0
// and not fixed: not known. Filled in by the fingerprint walk.
struct ClassSpelling {
    bool fixed = false;
    unsigned int version = 0;
    Strong qualname;
    std::string header;               // each followed by SPELLING_PAD bytes
    std::vector<std::string> fields;  // one per name in TypeInfo::fields
    // The fingerprint of a node whose stream is the header alone (no field
    // kept): the high and low 64 bits.
    uint64_t bare[2] = {0, 0};
};

struct TypeInfo {
    std::vector<Strong> fields;  // exact, interned str names of `_fields`
    Strong cls;                  // keeps the class (and so its address) alive
    uint8_t locations = 0;       // LocationBit set from `_attributes`
    mutable ClassAttributes class_attributes;
    mutable ClassSpelling spelling;

    // Moves every reference the record holds to `out`, for a thread that
    // ends without the interpreter lock: each one the record gains must be
    // listed here.
    void take_references(std::vector<PyObject*>& out) {
        out.push_back(cls.release());
        for (Strong& name : fields) out.push_back(name.release());
        if (spelling.qualname) out.push_back(spelling.qualname.release());
        for (Held& found : class_attributes.found) take_held(found, out);
    }
};

// Appends the interned string names of a tuple-valued class attribute to
// `out`. A missing or non-tuple attribute, or one whose read raises an
// ordinary exception, gives no names; items that are not str, or have no
// UTF-8 form, are skipped. False with the exception set only for what must
// reach the caller (see pending_error_must_pass).
bool names_of(PyTypeObject* cls, const char* attribute, std::vector<Strong>& out);

// One thread's records, keyed by class address. Records are allocated one by
// one so references handed out stay valid while the map grows; they are
// never replaced or refreshed. Only the owning thread reads or changes
// them (on free-threaded builds too), except the interpreter's exit hooks,
// which take their references away only from sets no call is using (see
// CallMark).
class TypeInfoCache {
public:
    // The record for `cls`, built on first sight. Null with an exception
    // set only when reading the class's declarations was interrupted or ran
    // out of memory (nothing is recorded then). Requires the interpreter
    // lock.
    const TypeInfo* get(PyTypeObject* cls) {
        if (std::unique_ptr<TypeInfo>* hit = map_.find(reinterpret_cast<uintptr_t>(cls))) {
            return hit->get();
        }
        return build(cls);
    }

    // The record for `cls` when it is built already, else null. Unlike
    // get, it never reads the class, so no interpreter code runs.
    const TypeInfo* find(PyTypeObject* cls) {
        std::unique_ptr<TypeInfo>* hit = map_.find(reinterpret_cast<uintptr_t>(cls));
        return hit != nullptr ? hit->get() : nullptr;
    }

    // Moves every record out (for release by the caller under the lock).
    std::vector<std::unique_ptr<TypeInfo>> take_all();

private:
    const TypeInfo* build(PyTypeObject* cls);
    PointerMap<std::unique_ptr<TypeInfo>> map_;
};

}  // namespace arbolus
