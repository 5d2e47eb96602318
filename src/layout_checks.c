/* Compile-time proof that the private layouts the module reads in place are
 * the interpreter's own: every mirrored field (dict_layout.h, and the int
 * layout that pycompat.hpp's 64-bit int constructors write) is compared
 * with the definition in the interpreter's internal headers, and any
 * difference fails the build.
 * CMake compiles this file, and turns the direct reads on, only for the
 * versions the mirrors were written against and only where those headers
 * are installed. It is C because the internal headers of some versions do
 * not compile as C++; nothing here generates code. */
#define Py_BUILD_CORE 1
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Warnings in the interpreter's own inline functions are not ours. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "internal/pycore_dict.h"
#include "internal/pycore_long.h"
#pragma GCC diagnostic pop

#include <stddef.h>

#include "dict_layout.h"

/* Free-threaded builds lay dicts out otherwise and never read them in
 * place. */
#if !ARBOLUS_DIRECT_DICT_LAYOUT && !defined(Py_GIL_DISABLED)
#error "the layout check is compiled, but the direct dict reads are off"
#endif

#if ARBOLUS_DIRECT_DICT_LAYOUT

#define ARBOLUS_SAME_FIELD(Mirror, mirror_field, Real, real_field)                 \
    _Static_assert(offsetof(Mirror, mirror_field) == offsetof(Real, real_field) && \
                       sizeof(((Mirror*)0)->mirror_field) ==                        \
                           sizeof(((Real*)0)->real_field),                          \
                   #Mirror "." #mirror_field " is not " #Real "." #real_field)

ARBOLUS_SAME_FIELD(ArbolusKeysHeader, refcnt, PyDictKeysObject, dk_refcnt);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, log2_size, PyDictKeysObject, dk_log2_size);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, kind, PyDictKeysObject, dk_kind);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, version, PyDictKeysObject, dk_version);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, usable, PyDictKeysObject, dk_usable);
ARBOLUS_SAME_FIELD(ArbolusKeysHeader, nentries, PyDictKeysObject, dk_nentries);
/* The index table starts where the mirrored header ends. */
_Static_assert(offsetof(PyDictKeysObject, dk_indices) == sizeof(ArbolusKeysHeader),
               "the index table does not follow the keys header");

_Static_assert((int)ARBOLUS_KEYS_GENERAL == (int)DICT_KEYS_GENERAL &&
                   (int)ARBOLUS_KEYS_UNICODE == (int)DICT_KEYS_UNICODE &&
                   (int)ARBOLUS_KEYS_SPLIT == (int)DICT_KEYS_SPLIT,
               "key kinds differ");

_Static_assert(sizeof(ArbolusGeneralEntry) == sizeof(PyDictKeyEntry), "general entry size");
ARBOLUS_SAME_FIELD(ArbolusGeneralEntry, hash, PyDictKeyEntry, me_hash);
ARBOLUS_SAME_FIELD(ArbolusGeneralEntry, key, PyDictKeyEntry, me_key);
ARBOLUS_SAME_FIELD(ArbolusGeneralEntry, value, PyDictKeyEntry, me_value);

_Static_assert(sizeof(ArbolusUnicodeEntry) == sizeof(PyDictUnicodeEntry), "str entry size");
ARBOLUS_SAME_FIELD(ArbolusUnicodeEntry, key, PyDictUnicodeEntry, me_key);
ARBOLUS_SAME_FIELD(ArbolusUnicodeEntry, value, PyDictUnicodeEntry, me_value);

/* The entry array follows the index table: the readers compute its start
 * the way the interpreter's own accessor does (3.11's is a macro, which
 * cannot be looked at here). */
#if PY_VERSION_HEX >= 0x030C0000
_Static_assert(_Generic(_DK_ENTRIES((PyDictKeysObject*)0), void*: 1, default: 0),
               "the entry accessor changed");
#endif

#if ARBOLUS_DIRECT_SPLIT_LAYOUT
ARBOLUS_SAME_FIELD(ArbolusSplitValues, capacity, PyDictValues, capacity);
ARBOLUS_SAME_FIELD(ArbolusSplitValues, size, PyDictValues, size);
ARBOLUS_SAME_FIELD(ArbolusSplitValues, embedded, PyDictValues, embedded);
ARBOLUS_SAME_FIELD(ArbolusSplitValues, valid, PyDictValues, valid);
ARBOLUS_SAME_FIELD(ArbolusSplitValues, values, PyDictValues, values);
/* A split table's insertion order follows its values. */
_Static_assert(_Generic(get_insertion_order_array((PyDictValues*)0), uint8_t*: 1, default: 0),
               "the insertion order accessor changed");
#endif

#undef ARBOLUS_SAME_FIELD
#endif /* ARBOLUS_DIRECT_DICT_LAYOUT */

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
/* Where an int's digits are written in place (pycompat.hpp), its sign is
 * written as these values. */
_Static_assert(SIGN_NEGATIVE == 2 && NON_SIZE_BITS == _PyLong_NON_SIZE_BITS, "int sign bits");
#endif
