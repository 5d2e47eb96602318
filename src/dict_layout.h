/* The interpreter's private dict layouts, as the direct reads in pydict.hpp
 * see them. Plain C, so that layout_checks.c can compare every mirrored
 * field with the interpreter's internal headers, which compile as C on every
 * version (3.11's and 3.12's not as C++).
 *
 * ARBOLUS_DIRECT_DICT_LAYOUT: combined tables are read in place. The keys
 * header, both entry kinds and the key kinds are the same from 3.11 to 3.15.
 * ARBOLUS_DIRECT_SPLIT_LAYOUT: split tables too. Their values are laid out
 * otherwise before 3.13 (no header; the insertion order before the values);
 * there they take the public path.
 * Both only where the build ran the check (ARBOLUS_CHECKED_LAYOUTS), and
 * never in free-threaded builds: their dicts differ, and there another
 * thread may resize a table (and free the old one) while it is read in
 * place, so every read goes through the public API under the dict's
 * critical section instead (see pydict.hpp). */
#ifndef ARBOLUS_DICT_LAYOUT_H
#define ARBOLUS_DICT_LAYOUT_H

#include <Python.h>
#include <stdint.h>

#if defined(ARBOLUS_CHECKED_LAYOUTS) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
#define ARBOLUS_DIRECT_DICT_LAYOUT 1
#else
#define ARBOLUS_DIRECT_DICT_LAYOUT 0
#endif

#if ARBOLUS_DIRECT_DICT_LAYOUT && PY_VERSION_HEX >= 0x030D0000
#define ARBOLUS_DIRECT_SPLIT_LAYOUT 1
#else
#define ARBOLUS_DIRECT_SPLIT_LAYOUT 0
#endif

#if ARBOLUS_DIRECT_DICT_LAYOUT

#ifdef __cplusplus
extern "C" {
#endif

/* Exported by the interpreter, declared only in its internal headers from
 * 3.13 on; the check compiles this declaration beside the interpreter's
 * own, so a different signature fails the build. */
int _PyDict_SetItem_KnownHash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash);

/* Header of the keys object; the index table follows it, then the
 * entries. */
typedef struct {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
} ArbolusKeysHeader;

enum { ARBOLUS_KEYS_GENERAL = 0, ARBOLUS_KEYS_UNICODE = 1, ARBOLUS_KEYS_SPLIT = 2 };

typedef struct {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
} ArbolusGeneralEntry;

typedef struct {
    PyObject* key;
    PyObject* value;
} ArbolusUnicodeEntry;

#if ARBOLUS_DIRECT_SPLIT_LAYOUT
/* Values of a split table: an array indexed by the shared key's index,
 * followed by the insertion order (one byte per used value). */
typedef struct {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
} ArbolusSplitValues;
#endif

#ifdef __cplusplus
}
#endif

#endif /* ARBOLUS_DIRECT_DICT_LAYOUT */
#endif /* ARBOLUS_DICT_LAYOUT_H */
