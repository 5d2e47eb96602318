// Compile-time proof that the private layouts the module reads in place are
// the interpreter's own: every mirrored field is compared with the
// definition in the interpreter's internal headers, and any difference
// fails the build. CMake compiles this file, and turns the direct reads on,
// only for the versions the mirrors were written against and only where
// those headers are installed; nothing here generates code.
#define Py_BUILD_CORE 1
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "internal/pycore_dict.h"
#include "internal/pycore_long.h"

#include <concepts>
#include <cstddef>

#include "pydict.hpp"

// Free-threaded builds lay dicts out otherwise and never read them in place.
#if !ARBOLUS_DIRECT_DICT_LAYOUT && !defined(Py_GIL_DISABLED)
#error "the layout check is compiled, but the direct dict reads are off"
#endif

#if ARBOLUS_DIRECT_DICT_LAYOUT
namespace arbolus::pydict {

#define ARBOLUS_SAME_FIELD(Mirror, mirror_field, Real, real_field)                  \
    static_assert(offsetof(Mirror, mirror_field) == offsetof(Real, real_field) &&   \
                      sizeof(Mirror::mirror_field) == sizeof(((Real*)nullptr)->real_field), \
                  #Mirror "::" #mirror_field " is not " #Real "::" #real_field)

ARBOLUS_SAME_FIELD(KeysHeader, refcnt, PyDictKeysObject, dk_refcnt);
ARBOLUS_SAME_FIELD(KeysHeader, log2_size, PyDictKeysObject, dk_log2_size);
ARBOLUS_SAME_FIELD(KeysHeader, log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
ARBOLUS_SAME_FIELD(KeysHeader, kind, PyDictKeysObject, dk_kind);
ARBOLUS_SAME_FIELD(KeysHeader, version, PyDictKeysObject, dk_version);
ARBOLUS_SAME_FIELD(KeysHeader, usable, PyDictKeysObject, dk_usable);
ARBOLUS_SAME_FIELD(KeysHeader, nentries, PyDictKeysObject, dk_nentries);
// The index table starts where the mirrored header ends.
static_assert(offsetof(PyDictKeysObject, dk_indices) == sizeof(KeysHeader));

static_assert(KEYS_GENERAL == int{DICT_KEYS_GENERAL} && KEYS_UNICODE == int{DICT_KEYS_UNICODE} &&
              KEYS_SPLIT == int{DICT_KEYS_SPLIT});

static_assert(sizeof(GeneralEntry) == sizeof(PyDictKeyEntry));
ARBOLUS_SAME_FIELD(GeneralEntry, hash, PyDictKeyEntry, me_hash);
ARBOLUS_SAME_FIELD(GeneralEntry, key, PyDictKeyEntry, me_key);
ARBOLUS_SAME_FIELD(GeneralEntry, value, PyDictKeyEntry, me_value);

static_assert(sizeof(UnicodeEntry) == sizeof(PyDictUnicodeEntry));
ARBOLUS_SAME_FIELD(UnicodeEntry, key, PyDictUnicodeEntry, me_key);
ARBOLUS_SAME_FIELD(UnicodeEntry, value, PyDictUnicodeEntry, me_value);

ARBOLUS_SAME_FIELD(SplitValues, capacity, PyDictValues, capacity);
ARBOLUS_SAME_FIELD(SplitValues, size, PyDictValues, size);
ARBOLUS_SAME_FIELD(SplitValues, embedded, PyDictValues, embedded);
ARBOLUS_SAME_FIELD(SplitValues, valid, PyDictValues, valid);
ARBOLUS_SAME_FIELD(SplitValues, values, PyDictValues, values);

#undef ARBOLUS_SAME_FIELD

// The entry array follows the index table, and a split table's insertion
// order follows its values: the readers compute both the way these do.
static_assert(requires(PyDictKeysObject* k, PyDictValues* v) {
    { _DK_ENTRIES(k) } -> std::same_as<void*>;
    { get_insertion_order_array(v) } -> std::same_as<uint8_t*>;
});

}  // namespace arbolus::pydict
#endif

#if PY_VERSION_HEX < 0x030E0000
// Where the hash step writes an int's digits itself, it writes the sign as
// these values.
static_assert(SIGN_NEGATIVE == 2 && NON_SIZE_BITS == _PyLong_NON_SIZE_BITS);
#endif
