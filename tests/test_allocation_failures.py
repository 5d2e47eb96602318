"""An allocation that fails inside a call ends that call with MemoryError.

The interpreter's test hooks make every allocation from the n-th on fail;
running each function with n = 0, 1, 2, ... makes each of its allocations
(and the interpreter's on its behalf) the first to fail in turn. Every run
must either return the same result as an unhindered call or raise
MemoryError, and leave every reference count in the tree where it was.
"""

import ast
import copy
import gc
import sys
import sysconfig
import warnings

import pytest

import arbolus
from conftest import process_constant

_testcapi = pytest.importorskip("_testcapi")

# The free-threaded 3.13's own list constructor crashes when the item array
# of a new list cannot be allocated (it frees the list with its item
# pointer never set), and the failures injected here reach the lists the
# interpreter makes for the test's own code.
if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info[:2] == (3, 13):
    pytest.skip("the free-threaded 3.13 itself crashes on a failed list allocation",
                allow_module_level=True)

SOURCE = """
import os
BIG = 10**30
class A(Base, metaclass=M):
    def f(self, x: int = 1000, *a, **k) -> "T":
        return [self.x + y for y in a if y] or {k: v for k, v in k.items()}
if BIG > 2.5:
    print(f"{BIG!r:>10}", b"bytes", ...)
"""

CALLS = {
    "walk_dfs": (),
    "walk": (),
    "walk_unordered": (),
    "_walk_count": (),
    "walk_frontier": ((ast.Name, ast.Call),),
    "walk_frontier_edges": ((ast.Name, ast.Call),),
    "walk_of_types": ((ast.Name, ast.Constant), (ast.Lambda,)),
    "walk_frontier_events": ((ast.Name,), (ast.FunctionDef, ast.ClassDef)),
    "set_parents": (),
    "fix_missing_locations": (),
    "subtree_hashes": (),
    "subtree_hash": (),
    "subtree_fingerprints": (),
    "subtree_fingerprint": (),
}

# Far more allocations than any of these calls makes on this tree.
ATTEMPTS = 400


def refcounts(tree):
    objects = []
    for node in ast.walk(tree):
        objects.append(node)
        objects.extend(getattr(node, name, None) for name in node._fields)
    return [sys.getrefcount(o) for o in objects if not process_constant(o)]


def call_failing_from(function, tree, args, start):
    _testcapi.set_nomemory(start, 0)
    try:
        return function(tree, *args)
    finally:
        _testcapi.remove_mem_hooks()


@pytest.fixture
def no_stray_collections():
    """Parsed trees share their context objects (one `Load` for all), so
    collecting garbage left by earlier tests changes those counts: nothing
    is collected but where the test says, and only what the test made.
    Everything older is frozen out of the collector's reach, which also
    keeps the test's collections as quick when earlier tests leave a large
    heap behind (the session's corpus) as when they do not."""
    gc.disable()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()
        gc.enable()


# compile_patterns and the classes it makes: test_patterns_under_failing_allocations.
PATTERN_NAMES = {"compile_patterns", "PatternError", "Patterns"}
RULES = {"call": "Call(func=Name(id='f' | 'print') as callee, args=[*rest])",
         "const": "Constant(value=(str() | 1000000000000000000000000000000) as text)", "big": "Compare(left=Name(), ops=[Gt()])"}

# The roots a call is given, made from the parsed tree: fingerprints also
# take a body, as a list or a tuple.
ROOTS = {"tree": lambda tree: tree, "body": lambda tree: tree.body,
         "body-tuple": lambda tree: tuple(tree.body)}
CASES = [(name, "tree") for name in CALLS] + [
    (name, root) for name in ("subtree_fingerprints", "subtree_fingerprint")
    for root in ("body", "body-tuple")]


@pytest.mark.parametrize("name, root", CASES, ids="-".join)
def test_every_failing_allocation_is_a_memory_error(name, root, no_stray_collections):
    assert set(CALLS) | PATTERN_NAMES == set(arbolus.__all__)
    function = getattr(arbolus, name)
    args = CALLS[name]
    # Large enough that the walks' buffers grow while they run.
    tree = ast.parse(SOURCE * 8)
    start_from = ROOTS[root](tree)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        function(tree, *args)  # warm-up: caches, parent links, locations
        # The shared context objects' `parent` moved to this tree, which may
        # have left an earlier test's tree as garbage (frozen, so it stays
        # as it is); what the warm-up itself left is collected now.
        gc.collect()
        before = refcounts(tree)
        expected = function(start_from, *args)
        failures = 0
        for start in range(ATTEMPTS):
            try:
                result = call_failing_from(function, start_from, args, start)
            except MemoryError:
                failures += 1
                continue
            assert result == expected
            del result
    del expected
    gc.collect()
    assert failures > 0
    # Successes and failures alike leave the tree's references as they were
    # (the results held the only extra ones, and they are gone).
    assert refcounts(tree) == before


def test_patterns_under_failing_allocations(no_stray_collections):
    # A copy has context objects (`Load`, `Gt`, ...) of its own: a parsed
    # tree shares the interpreter's with every other parsed tree, whose
    # counts change whenever another thread lets go of one.
    tree = copy.deepcopy(ast.parse(SOURCE * 8))
    rules = arbolus.compile_patterns(RULES)
    rules.find(tree)  # warm-up
    gc.collect()
    before = refcounts(tree)
    expected = {"find": rules.find(tree), "count": rules.count(tree),
                "match": rules.match(tree.body[0]),
                "compile": arbolus.compile_patterns(RULES).find(tree)}
    calls = {"find": rules.find, "count": rules.count, "match": rules.match,
             "compile": lambda t: arbolus.compile_patterns(RULES).find(t)}
    for what, call in calls.items():
        failures = 0
        argument = tree.body[0] if what == "match" else tree
        for start in range(ATTEMPTS if what != "compile" else 4 * ATTEMPTS):
            try:
                result = call_failing_from(call, argument, (), start)
            except MemoryError:
                failures += 1
                continue
            assert result == expected[what], what
            del result
        assert failures > 0, what
    del expected, argument
    gc.collect()
    assert refcounts(tree) == before
