"""Repeated calls, successful or failing, give back every reference they take.

Each case builds a small parsed tree, calls one function a few thousand
times, and checks that the reference counts of everything the call can touch
(the nodes, their classes, lists and leaf values, the argument tuples, the
integer objects the location repair hands out) and the memory traced by
tracemalloc are where they were after warm-up.

Small ints and None are shared by the whole process (and counted before
3.12, where anything moves their counts), so they are left out; the mortal
stand-ins (LINE, BIG, TEXT, FLOAT) are what catch a leaked or over-released
leaf value.
"""

import ast
import gc
import sys
import tracemalloc
import warnings

import pytest

import arbolus
from conftest import FREE_THREADED_313, process_constant

WARMUP = 200
ITERATIONS = 3000
# Allowed growth of traced memory over ITERATIONS calls: a leak of even one
# small object per call (a 28-byte int) comes to more than twice this.
MEMORY_NOISE = 32 * 1024

LINE = 1000  # a location value that is not a cached small int
BIG = 10**30
TEXT = "".join(["not ", "interned"])
FLOAT = 2.5

SOURCE = '''
import os
from typing import List as L
GLOBAL = [1, 2.5, "s", b"b", None, ..., (1, 2)]

@decorator(arg)
def function(a, b=1, *args, c, d=2, **kwargs) -> int:
    global GLOBAL, OTHER
    x = lambda y: y + a
    for i in range(10):
        if i % 2 and not b:
            continue
        try:
            x(i)
        except (ValueError, KeyError) as e:
            raise RuntimeError(f"bad {i!r:>10}") from e
        finally:
            pass
    with open(a) as f, open(b):
        return [k for k in f if k] + {v: w for v, w in kwargs.items()}

class C(Base, metaclass=Meta):
    attr: int = 3
    async def method(self):
        async with self as s:
            await s
        return -self.attr ** 2
'''


class Boom(ast.expr):
    """An expression whose second field is a property that raises."""

    _fields = ("value", "bad")

    @property
    def bad(self):
        raise LookupError("this field cannot be read")


WRITTEN = {"parent", "lineno", "col_offset", "end_lineno", "end_col_offset"}


class Locked(ast.stmt):
    """A statement that refuses the attributes the edits write."""

    _fields = ("body",)

    def __setattr__(self, name, value):
        if name in WRITTEN:
            raise PermissionError(name)
        super().__setattr__(name, value)


class BadRepr:
    def __repr__(self):
        raise ArithmeticError("no repr")


KINDS = (ast.Call, ast.Constant, ast.arg)
PRUNE = (ast.Lambda, ast.ClassDef)
BRACKET = (ast.Module, ast.FunctionDef, ast.ClassDef, ast.For)
BAD_TYPES = (ast.Call, 3)  # an item that is not a class
NOT_TUPLE = [ast.Call]

# name -> (call taking the tree and the tuple arguments, tuple defaults)
FUNCTIONS = {
    "walk": (lambda t: arbolus.walk(t), ()),
    "walk_dfs": (arbolus.walk_dfs, ()),
    "walk_unordered": (arbolus.walk_unordered, ()),
    "_walk_count": (arbolus._walk_count, ()),
    "walk_frontier": (arbolus.walk_frontier, (KINDS,)),
    "walk_frontier_edges": (arbolus.walk_frontier_edges, (KINDS,)),
    "walk_of_types": (arbolus.walk_of_types, (KINDS, PRUNE)),
    "walk_frontier_events": (arbolus.walk_frontier_events, (KINDS, BRACKET)),
    "fix_missing_locations": (arbolus.fix_missing_locations, ()),
    "set_parents": (arbolus.set_parents, ()),
    "subtree_hashes": (arbolus.subtree_hashes, ()),
    "subtree_hash": (arbolus.subtree_hash, ()),
    "subtree_fingerprints": (arbolus.subtree_fingerprints, ()),
    "subtree_fingerprint": (arbolus.subtree_fingerprint, ()),
}
FAST = {"walk", "walk_dfs", "walk_unordered", "_walk_count"}


def build_tree(trap=None):
    """The parsed SOURCE, with a statement lacking locations and an optional
    trap statement in the middle of the module body."""
    tree = ast.parse(SOURCE)
    call = ast.Call(
        ast.Name("f", ast.Load()),
        [ast.Constant(BIG), ast.Constant(TEXT), ast.Constant(FLOAT)],
        [ast.keyword("k", ast.Name("v", ast.Load()))],
    )
    bare = ast.Expr(call)
    mid = len(tree.body) // 2
    tree.body[mid].lineno = LINE
    tree.body.insert(mid + 1, bare)
    if trap is not None:
        tree.body.insert(mid + 2, trap)
    return tree, bare


def strip_locations(root):
    """Remove every location of the hand-built statement, so that each
    repair writes again."""
    for node in ast.walk(root):
        for name in ("lineno", "col_offset", "end_lineno", "end_col_offset"):
            node.__dict__.pop(name, None)


def reachable(root):
    """Every object reachable through instance dictionaries and lists, the
    classes of the nodes among them, without running any node code."""
    seen = {}
    stack = [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen[id(obj)] = obj
        if isinstance(obj, ast.AST):
            seen.setdefault(id(type(obj)), type(obj))
            stack.extend(vars(obj).values())
        elif type(obj) in (list, tuple):
            stack.extend(obj)
    return list(seen.values())


def case_ids():
    for name, (_, tuples) in FUNCTIONS.items():
        yield name, "ok"
        yield name, "raising_property"
        for position in range(len(tuples)):
            yield name, f"bad_item_{position}"
        if tuples:
            yield name, "kinds_not_tuple"
        if name in ("set_parents", "fix_missing_locations"):
            yield name, "raising_setattr"
        if name in ("subtree_hashes", "subtree_hash"):
            yield name, "raising_repr"
        if name in ("subtree_fingerprints", "subtree_fingerprint"):
            yield name, "leaf_without_fingerprint"


def make_case(name, variant):
    """(call, expected exception or None, objects to watch, preparation)."""
    function, tuples = FUNCTIONS[name]
    tuples = list(tuples)
    trap = None
    expected = None
    if variant == "raising_property":
        trap = ast.Expr(Boom(value=ast.Name("q", ast.Load())))
        expected = None if name in FAST else LookupError
    elif variant.startswith("bad_item_"):
        tuples[int(variant[-1])] = BAD_TYPES
        expected = TypeError
    elif variant == "kinds_not_tuple":
        tuples[0] = NOT_TUPLE
        expected = TypeError
    elif variant == "raising_setattr":
        trap = Locked(body=[ast.Pass()])
        expected = PermissionError
    elif variant == "raising_repr":
        trap = ast.Expr(ast.Constant(BadRepr()))
        expected = ArithmeticError
    elif variant == "leaf_without_fingerprint":
        trap = ast.Expr(ast.Constant((1, BadRepr())))
        expected = TypeError
    tree, bare = build_tree(trap)

    def call():
        return function(tree, *tuples)

    def prepare():
        if name == "fix_missing_locations":
            strip_locations(bare)

    def watched():
        objects = reachable(tree)
        objects += [*tuples, *KINDS, *PRUNE, *BRACKET, *BAD_TYPES, NOT_TUPLE]
        objects += [function, LINE, BIG, TEXT, FLOAT, Boom, Locked]
        return [o for o in objects if not process_constant(o)]

    return call, expected, watched, prepare


def run(call, expected, prepare, times):
    failures = 0
    for _ in range(times):
        prepare()
        try:
            call()
        except Exception as exc:  # noqa: BLE001 - checked below
            if expected is None or not isinstance(exc, expected):
                raise
            failures += 1
    return failures


@pytest.mark.parametrize(("name", "variant"), list(case_ids()),
                         ids=[f"{n}-{v}" for n, v in case_ids()])
def test_repeated_calls_release_everything(name, variant, request):
    if FREE_THREADED_313 and variant == "kinds_not_tuple":
        # Seen only after the rest of the suite has run, never alone (an
        # idle thread beside it does not bring it on): traced memory grows
        # by about 40 KB over the failing calls. Not diagnosed yet; the
        # case still runs and reports.
        request.node.add_marker(pytest.mark.xfail(
            reason="free-threaded 3.13: memory growth after the full suite, not yet diagnosed",
            strict=False))
    call, expected, watched, prepare = make_case(name, variant)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if expected is not None:
            prepare()
            with pytest.raises(expected):
                call()
        else:
            prepare()
            assert call() is not None or name == "set_parents"
        # No collection runs in between: the calls make no cyclic garbage,
        # and a full collection over a session's worth of parsed trees
        # would cost more than the calls themselves.
        gc.disable()
        tracemalloc.start()
        try:
            run(call, expected, prepare, WARMUP)
            objects = watched()
            counts_before = [sys.getrefcount(o) for o in objects]
            memory_before = tracemalloc.get_traced_memory()[0]

            failures = run(call, expected, prepare, ITERATIONS)

            memory_after = tracemalloc.get_traced_memory()[0]
            counts_after = [sys.getrefcount(o) for o in objects]
        finally:
            tracemalloc.stop()
            gc.enable()
    assert failures == (ITERATIONS if expected else 0)
    changed = [
        (type(o).__name__, o if not isinstance(o, ast.AST) else "", before, after)
        for o, before, after in zip(objects, counts_before, counts_after)
        if before != after
    ]
    assert changed == []
    assert memory_after - memory_before < MEMORY_NOISE
