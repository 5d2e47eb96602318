// The module object, its function table and the argument binder shared by
// every function.
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "functions.hpp"
#include "patterns.hpp"
#include "pycompat.hpp"
#include "strong.hpp"
#include "thread_caches.hpp"

// A build meant for a debug interpreter that compiled against release
// headers would load there with the release object layout and reference
// counting: refuse to build it.
#if defined(ARBOLUS_DEBUG_ABI) && !defined(Py_DEBUG)
#error "ARBOLUS_DEBUG_ABI is set, but the interpreter headers in use do not define Py_DEBUG"
#endif

namespace arbolus {

namespace {

constexpr size_t MAX_PARAMS = 3;

// Arguments after binding: borrowed, one per parameter, defaults filled in.
using Bound = std::array<PyObject*, MAX_PARAMS>;
using Behaviour = PyObject* (*)(const Bound&);
// A function that needs its module (for the classes kept in its state).
using ModuleBehaviour = PyObject* (*)(PyObject* module, const Bound&);

struct FunctionRow {
    const char* name;
    std::array<const char*, MAX_PARAMS> params;
    size_t param_count;
    size_t required;
    // Bit i set: parameter i must be a tuple. A parameter with a default of
    // None (the only optional one) also accepts None.
    unsigned tuple_params;
    const char* doc;
    Behaviour behaviour;
    ModuleBehaviour module_behaviour = nullptr;  // used instead, when set
};

// Set by the first `walk` call whose arguments bind; never cleared.
std::atomic<bool> DEPRECATED_WALK_WARNED{false};

PyObject* walk_deprecated(const Bound& a) {
    if (!DEPRECATED_WALK_WARNED.exchange(true, std::memory_order_relaxed)) {
        if (PyErr_WarnEx(PyExc_DeprecationWarning,
                         "arbolus.walk is deprecated; use walk_dfs for strict depth-first "
                         "order or walk_unordered for the faster order-agnostic variant",
                         1) < 0) {
            return nullptr;
        }
    }
    return walk_dfs(a[0]);
}

PyObject* call_walk_dfs(const Bound& a) { return walk_dfs(a[0]); }
PyObject* call_walk_unordered(const Bound& a) { return walk_unordered(a[0]); }
PyObject* call_walk_frontier(const Bound& a) { return walk_frontier(a[0], a[1]); }
PyObject* call_walk_frontier_edges(const Bound& a) { return walk_frontier_edges(a[0], a[1]); }
PyObject* call_walk_of_types(const Bound& a) { return walk_of_types(a[0], a[1], a[2]); }
PyObject* call_fix_missing_locations(const Bound& a) { return fix_missing_locations(a[0]); }
PyObject* call_subtree_hashes(const Bound& a) { return subtree_hashes(a[0]); }
PyObject* call_subtree_hash(const Bound& a) { return subtree_hash(a[0]); }
PyObject* call_subtree_fingerprints(const Bound& a) { return subtree_fingerprints(a[0]); }
PyObject* call_subtree_fingerprint(const Bound& a) { return subtree_fingerprint(a[0]); }
PyObject* call_set_parents(const Bound& a) { return set_parents(a[0]); }
PyObject* call_walk_frontier_events(const Bound& a) {
    return walk_frontier_events(a[0], a[1], a[2]);
}
PyObject* call_walk_count(const Bound& a) { return walk_count(a[0]); }
PyObject* call_compile_patterns(PyObject* module, const Bound& a) {
    return compile_patterns(module, a[0], a[1], a[2]);
}

constexpr std::array<const char*, MAX_PARAMS> NODE = {"node", nullptr, nullptr};

// Registration order, which is also the order of `__all__`.
constexpr FunctionRow FUNCTIONS[] = {
    {"walk", NODE, 1, 1, 0,
     "walk(node)\n--\n\nDeprecated. Use `walk_dfs` for explicit depth-first order, or\n"
     "`walk_unordered` where the caller must not depend on the order.\n\nEmits a "
     "`DeprecationWarning` once per process on the first call, then\ndelegates to "
     "`walk_dfs`. The warning is gated behind an atomic flag\nso repeated calls don't pay "
     "the cost of the `warnings.warn` machinery.",
     walk_deprecated},
    {"walk_dfs", NODE, 1, 1, 0,
     "walk_dfs(node)\n--\n\nWalk the AST rooted at `node` in strict depth-first pre-order and\n"
     "return every descendant (including `node` itself) as a list.\n\nThe nodes of "
     "`list(ast.walk(node))`, which is breadth-first, in\npre-order. Measured 14\u201337\u00d7 "
     "faster than it on trees that fit in\nthe caches and 8\u201316\u00d7 on trees that do not "
     "(CPython 3.13 to 3.15;\nthe README's Benchmark section).",
     call_walk_dfs},
    {"walk_unordered", NODE, 1, 1, 0,
     "walk_unordered(node)\n--\n\nWalk the AST rooted at `node` and return every "
     "descendant (including\n`node` itself) as a list: every node after its parent, in an "
     "order\nnot otherwise specified.\n\nThe set of returned nodes is identical to "
     "`walk_dfs` and to\n`ast.walk`; only the order differs. It is for callers that must "
     "not\ndepend on the order, not for speed: its batched order runs more\ninstructions "
     "per node than `walk_dfs` and is usually a little slower.",
     call_walk_unordered},
    {"walk_frontier", {"node", "kinds", nullptr}, 2, 2, 0b10,
     "walk_frontier(node, kinds)\n--\n\nReturn the descendants of `node` whose exact type "
     "is one of `kinds`, in\ndepth-first pre-order, without descending below any match. "
     "`node`\nitself is never included.",
     call_walk_frontier},
    {"walk_frontier_edges", {"node", "kinds", nullptr}, 2, 2, 0b10,
     "walk_frontier_edges(node, kinds)\n--\n\nLike `walk_frontier`, but each match comes "
     "as `(node, parent, field,\nindex)`: the node was read from `parent.<field>` when "
     "`index` is `-1`,\nelse from `parent.<field>[index]`.",
     call_walk_frontier_edges},
    {"walk_of_types", {"node", "kinds", "prune"}, 3, 2, 0b110,
     "walk_of_types(node, kinds, prune=None)\n--\n\nReturn every node under `node` (`node` "
     "included) whose exact type is in\n`kinds`, in depth-first pre-order. Unlike "
     "`walk_frontier`, matches are\ndescended into, except a node whose exact type is in "
     "`prune`: it is\nreturned if it matches, and its children are skipped. `node` itself "
     "is\nalways descended.",
     call_walk_of_types},
    {"fix_missing_locations", NODE, 1, 1, 0,
     "fix_missing_locations(node)\n--\n\n`ast.fix_missing_locations`, without recursing "
     "per tree level. Returns\n`node`.",
     call_fix_missing_locations},
    {"subtree_hashes", NODE, 1, 1, 0,
     "subtree_hashes(node)\n--\n\nA structural hash per node, keyed by `id(node)`. Two "
     "subtrees that would\ngive the same `ast.dump` get the same hash; a leaf value's type "
     "is mixed\nin, so `1`, `1.0` and `True` (equal hashes in Python) stay apart. A "
     "leaf\nthat is not a str, bytes, int, bool, None or Ellipsis is hashed by its\n`repr`, "
     "as `ast.dump` prints it: NaNs compare equal there and `-0.0` and\n`0.0` do not, and a "
     "list constant has a repr where it has no hash.",
     call_subtree_hashes},
    {"subtree_hash", NODE, 1, 1, 0,
     "subtree_hash(node)\n--\n\n`subtree_hashes(node)[id(node)]`, without building the "
     "dict.",
     call_subtree_hash},
    {"set_parents", NODE, 1, 1, 0,
     "set_parents(node)\n--\n\nSet `child.parent = parent` for every node under `node`, "
     "visiting parents\nin depth-first pre-order and each parent's children "
     "in\n`ast.iter_child_nodes` order. `node` itself is left alone.",
     call_set_parents},
    {"walk_frontier_events", {"node", "kinds", "bracket"}, 3, 3, 0b110,
     "walk_frontier_events(node, kinds, bracket)\n--\n\nThe calls a `NodeVisitor` makes "
     "descending from `node`, as a list of\n`(event, node)` pairs: `(0, n)` for a "
     "descendant whose exact type is in\n`kinds` (dispatched, not descended), and `(1, n)` "
     "/ `(2, n)` around the\ndescent of a node whose exact type is in `bracket`. `node` "
     "itself is\nalways descended, and bracketed if its type is in `bracket`.",
     call_walk_frontier_events},
    {"_walk_count", NODE, 1, 1, 0,
     "_walk_count(node)\n--\n\nBenchmarking-only. Traverse the AST and return the node "
     "count without\nmaterializing a result list. Isolates traversal cost from list-build\n"
     "cost for profiling deltas.",
     call_walk_count},
    {"subtree_fingerprints", NODE, 1, 1, 0,
     "subtree_fingerprints(node)\n--\n\nA 16-byte fingerprint per node, keyed by `id(node)`: a 128-bit "
     "Merkle\nhash (XXH3-128) of the subtree's classes by module and qualified name,\nits "
     "fields by name, list items in order and leaves by exact type and\nvalue, laid out in "
     "docs/fingerprints.md. Unlike `subtree_hashes`, it is\nthe same in every process, under "
     "any hash seed and on every supported\nversion. Fields holding `None` or an empty list "
     "count as absent. A leaf\nthat is not an exact str, bytes, int, float, complex, bool, "
     "None,\nEllipsis, or a tuple or frozenset of such, raises `TypeError`. Not made\nto "
     "resist crafted collisions: compare `ast.dump` texts for untrusted\ninput. "
     "The root may also be a list or tuple, fingerprinted by its items as\na list field "
     "is (a body, a window of statements), or a leaf value.",
     call_subtree_fingerprints},
    {"subtree_fingerprint", NODE, 1, 1, 0,
     "subtree_fingerprint(node)\n--\n\n`subtree_fingerprints(node)[id(node)]`, without "
     "building the dict.",
     call_subtree_fingerprint},
    {"compile_patterns", {"patterns", "namespace", "strict"}, 3, 1, 0,
     "compile_patterns(patterns, namespace=None, strict=True)\n--\n\nCompile structural rules "
     "written as `case` patterns, for `find`, `match`\nand `count` over whole trees with the "
     "match statement's semantics.\n\n`patterns` maps keys to pattern texts, or is a sequence "
     "of texts (keyed\nby index). Each text is one `case` pattern without `case`, guard or\n"
     "colon, whose top level is a class pattern (or an or-pattern or `as` of\nthem). Class "
     "names and dotted values resolve in `namespace` once, now\n(default: `ast`'s node classes "
     "and the builtins that match\nthemselves). With `strict` (None means true), a keyword that "
     "is no\nfield or attribute of its class is an error. Raises `PatternError`.",
     nullptr, call_compile_patterns},
};

constexpr size_t FUNCTION_COUNT = std::size(FUNCTIONS);
static_assert(FUNCTION_COUNT == 15);

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::array<const char*, MAX_PARAMS>& names, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n > 2) out += ',';
            out += (i == n - 1) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// Adds "while processing '<param>'" to the pending exception. If the note
// itself cannot be made or added, that failure is reported instead.
void add_processing_note(const char* param) {
    Strong exc = Strong::steal(PyErr_GetRaisedException());
    Strong note = Strong::steal(PyUnicode_FromFormat("while processing '%s'", param));
    if (!note) return;
    // Made afresh: a string kept between calls would belong to the one
    // interpreter that made it. (An error path only.)
    Strong method = Strong::steal(PyUnicode_FromString("add_note"));
    if (!method) return;
    Strong added = Strong::steal(PyObject_CallMethodOneArg(exc.get(), method.get(), note.get()));
    if (!added) return;
    PyErr_SetRaisedException(exc.release());
}

bool bind(const FunctionRow& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& bound) {
    const size_t p = f.param_count;
    const size_t r = f.required;
    const auto given = static_cast<size_t>(nargs);
    if (given > p) {
        const char* verb = given == 1 ? "was" : "were";
        if (r == p) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                         f.name, p, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zd %s given",
                         f.name, r, p, nargs, verb);
        }
        return false;
    }
    bound = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < given; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
        if (text == nullptr) PyErr_Clear();  // matches no parameter
        size_t slot = p;
        for (size_t i = 0; text != nullptr && i < p; ++i) {
            if (std::string_view(text, static_cast<size_t>(len)) == f.params[i]) {
                slot = i;
                break;
            }
        }
        if (slot == p) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name,
                         keyword);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", f.name,
                         f.params[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }

    if (given < r) {
        std::array<const char*, MAX_PARAMS> missing{};
        size_t count = 0;
        for (size_t i = 0; i < r; ++i) {
            if (bound[i] == nullptr) missing[count++] = f.params[i];
        }
        if (count > 0) {
            std::string list = quoted_list(missing, count);
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", f.name,
                         count, count == 1 ? "argument" : "arguments", list.c_str());
            return false;
        }
    }
    for (size_t i = r; i < p; ++i) {
        if (bound[i] == nullptr) bound[i] = Py_None;
    }

    for (size_t i = 0; i < p; ++i) {
        if (!(f.tuple_params & (1u << i))) continue;
        PyObject* value = bound[i];
        if (PyTuple_Check(value) || (i >= r && value == Py_None)) continue;
        raise_not_instance(value, "tuple");
        add_processing_note(f.params[i]);
        return false;
    }
    return true;
}

// Runs one function: binding, then its behaviour. No C++ exception leaves
// this frame; a failure without an exception set becomes SystemError.
PyObject* call(const FunctionRow& f, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
    Bound bound;
    if (!bind(f, args, nargs, kwnames, bound)) return nullptr;
    PyObject* result = nullptr;
    try {
        drain_pending_releases();
        CallMark mark;
        result = f.module_behaviour != nullptr ? f.module_behaviour(module, bound)
                                               : f.behaviour(bound);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
        return nullptr;
    }
    // Nothing else is caught: the module throws only standard exceptions,
    // and thread cancellation (a daemon thread ended at exit) must unwind
    // through to the thread's end.
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
}

template <size_t Row>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(FUNCTIONS[Row], module, args, nargs, kwnames);
}

template <size_t... Rows>
constexpr std::array<PyMethodDef, sizeof...(Rows)> make_methods(std::index_sequence<Rows...>) {
    return {PyMethodDef{FUNCTIONS[Rows].name, reinterpret_cast<PyCFunction>(
                                                  reinterpret_cast<void (*)()>(&entry<Rows>)),
                        METH_FASTCALL | METH_KEYWORDS, FUNCTIONS[Rows].doc}...};
}

// The interpreter keeps pointers into these definitions for the life of
// every function object made from them.
std::array<PyMethodDef, FUNCTION_COUNT> METHODS =
    make_methods(std::make_index_sequence<FUNCTION_COUNT>{});

int exec_module(PyObject* module) {
    if (!learn_getattr_hook()) return -1;
    Strong module_name = Strong::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : METHODS) {
        Strong function = Strong::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return -1;
        Strong name = Strong::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return -1;
        Strong all = Strong::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            all = Strong::steal(PyList_New(0));
            if (!all) return -1;
            if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
        }
        if (PyList_Check(all.get())) {
            if (PyList_Append(all.get(), name.get()) < 0) return -1;
        } else {
            Strong ok = Strong::steal(PyObject_CallMethod(all.get(), "append", "O", name.get()));
            if (!ok) return -1;
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    }
    return patterns_exec(module);
}

void free_module(void* module) { patterns_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Nothing the module keeps outlives a call except in per-interpreter
    // state (see the README's design section), so each interpreter may run
    // its own lock, in parallel with the others.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    // Free-threaded builds: see pycompat.hpp.
    {Py_mod_gil, ARBOLUS_MOD_GIL},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "arbolus",
    "",
    sizeof(PatternsState),
    nullptr,
    SLOTS,
    patterns_traverse,
    patterns_clear,
    free_module,
};

}  // namespace

}  // namespace arbolus

PyMODINIT_FUNC PyInit_arbolus(void) { return PyModuleDef_Init(&arbolus::MODULE); }
