// The behaviour behind each module function, called after argument binding.
// Every function takes borrowed arguments and returns a new reference, or
// null with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace arbolus {

PyObject* walk_dfs(PyObject* node);
PyObject* walk_unordered(PyObject* node);
PyObject* walk_count(PyObject* node);

PyObject* walk_frontier(PyObject* node, PyObject* kinds);
PyObject* walk_frontier_edges(PyObject* node, PyObject* kinds);
PyObject* walk_of_types(PyObject* node, PyObject* kinds, PyObject* prune);
PyObject* walk_frontier_events(PyObject* node, PyObject* kinds, PyObject* bracket);

PyObject* set_parents(PyObject* node);
PyObject* fix_missing_locations(PyObject* node);

PyObject* subtree_hashes(PyObject* node);
PyObject* subtree_hash(PyObject* node);
PyObject* subtree_fingerprints(PyObject* node);
PyObject* subtree_fingerprint(PyObject* node);

}  // namespace arbolus
