"""Every function against threads that edit the tree it reads, without the GIL.

On a free-threaded interpreter, reader threads call all fourteen functions
on one shared tree while mutator threads, at the same time, change node
dictionaries (entries added and removed, the dictionary swapped), append to,
shrink, clear and refill field lists, replace fields, swap nodes' classes and
redefine a class's `_fields`. No call may crash, leak, hang or return
anything but what it promises: nodes that were in the tree at some moment of
the call (the results are checked for that), ints, fingerprints. When the
mutators stop, every function agrees with the standard library on the tree
as it is left.

A few seconds by default; ARBOLUS_FT_STRESS_SECONDS=60 runs longer.
Skipped on interpreters with the GIL.
"""

import ast
import os
import random
import sys
import sysconfig
import threading
import time
import warnings
from collections import Counter

import pytest

import arbolus

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

pytestmark = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")

SECONDS = float(os.environ.get("ARBOLUS_FT_STRESS_SECONDS", "3"))
READERS = 3
MUTATORS = 3


SOURCE = """
def f(a, b=1, *c, **d):
    x = a + b * g(c, d)
    if x:
        y = [x, a, b, (1, 2)]
        for i in y:
            print(i, end="")
    return lambda q: q + x

class K(Base):
    z = {"k": f(1, 2)}
    def m(self):
        return self.z["k"] if self.z else None
""" * 4


class Swapped(ast.Name):
    """A class a Name node is given in place of its own, and back."""


class Pair(ast.expr):
    """A node class whose `_fields` the mutators redefine."""

    _fields = ("left", "right")


KINDS = (ast.Name, ast.Call, ast.Constant, Pair)
PRUNE = (ast.Lambda,)
BRACKET = (ast.FunctionDef, ast.If)

# Ids of the nodes the mutators made; a freed one's id may come back as
# another object's, which the class checks then see.
MADE = set()


def made(node):
    MADE.add(id(node))
    return node


def pair(left, right):
    node = Pair.__new__(Pair)  # whatever `_fields` says now
    node.left, node.right = left, right
    return node


def fresh_expr(rng):
    choice = rng.randrange(4)
    if choice == 0:
        return made(ast.Constant(rng.randrange(100)))
    if choice == 1:
        return made(ast.Name(f"n{rng.randrange(9)}", made(ast.Load())))
    if choice == 2:
        return made(ast.BinOp(made(ast.Constant(1)), made(ast.Add()), made(ast.Name("v", made(ast.Load())))))
    return made(pair(made(ast.Constant("l")), made(ast.Name("r", made(ast.Load())))))


def fresh_statement(rng):
    return made(ast.Expr(fresh_expr(rng)))


class Shared:
    """The tree every thread works on, and the places the mutators edit."""

    def __init__(self):
        self.tree = ast.parse(SOURCE)
        for node in ast.walk(self.tree):
            if isinstance(node, ast.Return) and node.value is not None:
                node.value = ast.Tuple(
                    [node.value, pair(ast.Constant(0), ast.Name("p", ast.Load()))], ast.Load())
        ast.fix_missing_locations(self.tree)
        self.original = list(ast.walk(self.tree))  # kept alive: their ids stay theirs
        self.original_ids = {id(n) for n in self.original}
        self.lists = []   # (node, field) holding a list of nodes
        self.values = []  # (node, field) holding an expression
        self.names = []
        self.nodes = [n for n in self.original if n._fields]
        for node in self.original:
            for field, value in ast.iter_fields(node):
                if isinstance(value, list) and value and isinstance(value[0], ast.AST):
                    self.lists.append((node, field))
                elif isinstance(value, ast.expr):
                    self.values.append((node, field))
            if type(node) is ast.Name:
                self.names.append(node)


# --- the edits -------------------------------------------------------------

def edit_dict(shared, rng):
    node = rng.choice(shared.nodes)
    d = node.__dict__
    match rng.randrange(4):
        case 0:  # grow it past a resize, then shrink it back
            for k in range(12):
                d[f"extra{k}"] = k
            for k in range(12):
                d.pop(f"extra{k}", None)
        case 1:
            node.__dict__ = dict(d)  # swap the dictionary
        case 2:  # move a field to the end of the dictionary
            for field in node._fields:
                if field in d:
                    d[field] = d.pop(field)
                    break
        case 3:  # empty it for a moment
            saved = dict(d)
            d.clear()
            d.update(saved)


def edit_list(shared, rng):
    node, field = rng.choice(shared.lists)
    items = getattr(node, field)
    match rng.randrange(5):
        case 0:
            items.append(fresh_statement(rng) if field in ("body", "orelse") else fresh_expr(rng))
        case 1:
            if len(items) > 1:
                items.pop()
        case 2:
            saved = items[:]
            items.clear()
            items.extend(saved)
        case 3:
            items[:] = items[::-1]
        case 4:
            if items:
                del items[rng.randrange(len(items))]
    if len(items) > 8:
        del items[8:]


def edit_field(shared, rng):
    node, field = rng.choice(shared.values)
    setattr(node, field, fresh_expr(rng))


def edit_class(shared, rng):
    node = rng.choice(shared.names)
    node.__class__ = Swapped if type(node) is ast.Name else ast.Name


def edit_fields_declaration(shared, rng):
    Pair._fields = rng.choice([("left", "right"), ("right", "left"), ("left",), ("left", "right", "gone")])


EDITS = [edit_dict, edit_list, edit_field, edit_class, edit_fields_declaration]


# --- the calls and what each promises ---------------------------------------

def check_nodes(nodes, call):
    for n in nodes:
        assert isinstance(n, ast.AST), (call, type(n))


# One compiled set of patterns, shared by every reader: its dispatch memo is
# filled by several threads at once.
RULES = arbolus.compile_patterns({
    "call": "Call(func=Name(id='g' | 'f' | 'print') as callee, args=[_, *rest])",
    "pair": "BinOp(left=Name() | Constant(), op=Add() | Mult())",
    "list": "List(elts=[Name(), *_, Tuple(elts=[Constant(value=1), _])])",
    "expr": "expr(lineno=int())",
})


def read_everything(tree, rng):
    """Calls all fourteen functions and the patterns' three walks; returns
    the nodes they returned."""
    out = []
    order = list(range(15))
    rng.shuffle(order)
    for k in order:
        match k:
            case 0:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    got = arbolus.walk(tree)
                check_nodes(got, "walk")
                out += got
            case 1:
                got = arbolus.walk_dfs(tree)
                assert got[0] is tree
                check_nodes(got, "walk_dfs")
                out += got
            case 2:
                got = arbolus.walk_unordered(tree)
                check_nodes(got, "walk_unordered")
                out += got
            case 3:
                assert isinstance(arbolus._walk_count(tree), int)
            case 4:
                got = arbolus.walk_frontier(tree, KINDS)
                check_nodes(got, "walk_frontier")
                out += got
            case 5:
                for node, parent, field, index in arbolus.walk_frontier_edges(tree, KINDS):
                    check_nodes([node, parent], "walk_frontier_edges")
                    assert isinstance(field, str) and isinstance(index, int)
                    out += [node, parent]
            case 6:
                got = arbolus.walk_of_types(tree, KINDS, PRUNE)
                check_nodes(got, "walk_of_types")
                out += got
            case 7:
                for event, node in arbolus.walk_frontier_events(tree, KINDS, BRACKET):
                    assert event in (0, 1, 2)
                    check_nodes([node], "walk_frontier_events")
                    out.append(node)
            case 8:
                hashes = arbolus.subtree_hashes(tree)
                assert id(tree) in hashes
                assert all(isinstance(v, int) for v in hashes.values())
            case 9:
                assert isinstance(arbolus.subtree_hash(tree), int)
            case 10:
                prints = arbolus.subtree_fingerprints(tree)
                assert all(type(v) is bytes and len(v) == 16 for v in prints.values())
            case 11:
                fp = arbolus.subtree_fingerprint(tree)
                assert type(fp) is bytes and len(fp) == 16
            case 12:
                assert arbolus.fix_missing_locations(tree) is tree
            case 13:
                assert arbolus.set_parents(tree) is None
            case 14:
                for key, node, captures in RULES.find(tree):
                    assert key in ("call", "pair", "list", "expr")
                    check_nodes([node], "find")
                    out.append(node)
                    assert captures is None or isinstance(captures, dict)
                assert all(n >= 0 for n in RULES.count(tree).values())
                for subject in list(tree.body)[:1]:
                    for key, _ in RULES.match(subject):
                        assert key in ("call", "pair", "list", "expr")
    return out


def in_tree_once(shared, node):
    """Whether `node` is one the tree had at some moment: it started there,
    or a mutator made it (and put it there)."""
    return id(node) in shared.original_ids or id(node) in MADE


def run_stress(seconds):
    shared = Shared()
    stop = threading.Event()
    failures = []
    calls = Counter()
    start = threading.Barrier(READERS + MUTATORS)

    def reader(k):
        rng = random.Random(k)
        try:
            start.wait()
            while not stop.is_set():
                for node in read_everything(shared.tree, rng):
                    assert in_tree_once(shared, node), node
                calls["reader"] += 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(f"reader {k}: {exc!r}")
            stop.set()

    def mutator(k):
        rng = random.Random(100 + k)
        try:
            start.wait()
            while not stop.is_set():
                rng.choice(EDITS)(shared, rng)
                calls["edit"] += 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(f"mutator {k}: {exc!r}")
            stop.set()

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(READERS)]
    threads += [threading.Thread(target=mutator, args=(k,)) for k in range(MUTATORS)]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "a thread did not finish: deadlock?"
    assert failures == []
    return shared, calls


def stdlib_multiset(tree):
    return Counter(id(n) for n in ast.walk(tree))


def test_gil_stays_off():
    assert not sys._is_gil_enabled()


def test_every_function_is_sound_while_other_threads_edit_the_tree():
    shared, calls = run_stress(SECONDS)
    assert calls["reader"] > 0 and calls["edit"] > 0
    print(f"{calls['reader']} rounds of fourteen calls against {calls['edit']} edits")
    # Quiet again: what the tree is now, every function reads as the
    # standard library does.
    tree = shared.tree
    Pair._fields = ("left", "right")
    expected = stdlib_multiset(tree)
    assert Counter(id(n) for n in arbolus.walk_dfs(tree)) == expected
    assert Counter(id(n) for n in arbolus.walk_unordered(tree)) == expected
    assert arbolus._walk_count(tree) == sum(expected.values())
    assert arbolus.subtree_hashes(tree).keys() == expected.keys()
    assert arbolus.subtree_fingerprints(tree).keys() == expected.keys()


def test_one_list_shrunk_and_refilled_under_the_readers():
    """The narrowest race: one long list cleared and refilled without a
    pause while the walks read it."""
    items = [ast.Expr(ast.Name(f"v{i}", ast.Load())) for i in range(200)]
    tree = ast.Module(body=items[:], type_ignores=[])
    stop = threading.Event()
    failures = []

    def churn():
        body = tree.body
        while not stop.is_set():
            body.clear()
            body.extend(items)
            del body[50:]
            # Fresh nodes, freed when the next round clears them.
            body.extend(ast.Expr(ast.Name("w", ast.Load())) for _ in range(150))

    def read():
        try:
            while not stop.is_set():
                for walk in (arbolus.walk_dfs, arbolus.walk_unordered):
                    for node in walk(tree):
                        assert isinstance(node, (ast.Module, ast.Expr, ast.Name, ast.Load))
                arbolus.subtree_fingerprints(tree)
                arbolus.walk_frontier(tree, (ast.Name,))
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(repr(exc))
            stop.set()

    threads = [threading.Thread(target=churn), threading.Thread(target=read),
               threading.Thread(target=read)]
    for t in threads:
        t.start()
    stop.wait(SECONDS * 2 / 3)
    stop.set()
    for t in threads:
        t.join()
    assert failures == []
