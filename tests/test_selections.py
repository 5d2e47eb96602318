"""Selections by exact class: walk_frontier, walk_frontier_edges,
walk_of_types and walk_frontier_events."""

import ast
import sys

import pytest

import arbolus
from conftest import caught, preorder

SCOPES = (ast.FunctionDef, ast.ClassDef, ast.AsyncFunctionDef, ast.Lambda)
SELECTED = (ast.Name, ast.Call)


def recording_visitor(kinds, bracket):
    """An ast.NodeVisitor whose handlers for `kinds` record (0, n) and stop,
    and whose handlers for `bracket` record (1, n), descend, record (2, n)."""
    def dispatch(self, n):
        self.events.append((0, id(n)))

    def around(self, n):
        self.events.append((1, id(n)))
        self.generic_visit(n)
        self.events.append((2, id(n)))

    handlers = {f"visit_{c.__name__}": around for c in bracket}
    handlers.update({f"visit_{c.__name__}": dispatch for c in kinds})
    recorder = type("Recorder", (ast.NodeVisitor,), handlers)

    def run(root):
        v = recorder()
        v.events = []
        # The root is descended, never dispatched.
        (around if type(root) in bracket else recorder.generic_visit)(v, root)
        return v.events
    return run


def ids(pairs):
    return [(code, id(n)) for code, n in pairs]


def test_match_node_visitor_on_corpus(corpus):
    visit = recording_visitor(SELECTED, SCOPES)
    field_names = {}
    for path, tree in corpus:
        want = visit(tree)
        assert ids(arbolus.walk_frontier_events(tree, SELECTED, SCOPES)) == want, path
        dispatched = [n for code, n in want if code == 0]
        assert list(map(id, arbolus.walk_frontier(tree, SELECTED))) == dispatched, path
        edges = arbolus.walk_frontier_edges(tree, SELECTED)
        assert [id(e[0]) for e in edges] == dispatched, path
        for node, parent, field, index in edges:
            value = getattr(parent, field)
            assert (value if index == -1 else value[index]) is node
            assert field_names.setdefault(field, field) is field  # one object per name
    assert {"value", "elts", "targets", "left"} <= set(field_names)


def pruned_preorder(root, kinds, prune):
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        if type(n) in kinds:
            out.append(id(n))
        if n is root or type(n) not in prune:
            stack.extend(reversed(list(ast.iter_child_nodes(n))))
    return out


@pytest.mark.parametrize("kinds, prune", [
    ((ast.Name, ast.Call, ast.FunctionDef, ast.Module), SCOPES),
    ((ast.Constant, ast.Attribute), None),
])
def test_walk_of_types_matches_filtered_preorder(corpus, kinds, prune):
    for path, tree in corpus[::4]:
        got = arbolus.walk_of_types(tree, kinds, prune)
        assert list(map(id, got)) == pruned_preorder(tree, kinds, prune or ()), path
        if prune is None:
            assert arbolus.walk_of_types(tree, kinds, ()) == got == arbolus.walk_of_types(tree, kinds)


# --- small trees -------------------------------------------------------------

class Pair(ast.AST):
    _fields = ("left", "right")


class Leaf(ast.AST):
    _fields = ()


def pair(left=None, right=None):
    p = Pair()
    p.left, p.right = left, right
    return p


def test_event_nesting_example():
    b, c = Leaf(), Leaf()
    a = pair(b)
    r = pair(a, c)
    events = arbolus.walk_frontier_events(r, (Leaf,), (Pair,))
    assert events == [(1, r), (1, a), (0, b), (2, a), (0, c), (2, r)]
    assert events[0][0] is events[1][0] and events[2][0] is events[4][0]


def test_root_handling():
    tree = ast.parse("x = f(y)")
    body = ids(arbolus.walk_frontier_events(tree, (ast.Name,), ()))
    assert len(body) == 3
    assert ids(arbolus.walk_frontier_events(tree, (ast.Module, ast.Name), ())) == body
    for bracket in [(ast.Module,), (ast.Module, ast.Module, ast.Load)]:
        events = ids(arbolus.walk_frontier_events(tree, (ast.Name,), bracket))
        assert events == [(1, id(tree))] + body + [(2, id(tree))]
    assert arbolus.walk_frontier(tree, (ast.Module,)) == []
    assert arbolus.walk_frontier_edges(tree, (ast.Module,)) == []
    every = arbolus.walk_of_types(tree, (ast.Module, ast.Name), (ast.Module,))
    assert every[0] is tree and len(every) == 4
    r = 10**30
    assert arbolus.walk_frontier_events(r, (), (int,)) == [(1, r), (2, r)]
    assert arbolus.walk_frontier_events(r, (int,), ()) == []
    assert arbolus.walk_of_types(r, (int,), (int,)) == [r]
    assert arbolus.walk_frontier(r, (int,)) == []


def test_kinds_win_over_bracket_and_prune():
    tree = ast.parse("def f():\n    def g():\n        x\n    y\n")
    f = tree.body[0]
    g = f.body[0]
    assert arbolus.walk_frontier_events(tree, (ast.FunctionDef,), (ast.FunctionDef,)) == [(0, f)]
    assert arbolus.walk_frontier_events(f, (ast.FunctionDef,), (ast.FunctionDef,)) == [(1, f), (0, g), (2, f)]
    assert arbolus.walk_of_types(tree, (ast.FunctionDef, ast.Name), (ast.FunctionDef,)) == [f]


def test_empty_kinds():
    tree = ast.parse("def f():\n    class C:\n        x\n")
    f = tree.body[0]
    c = f.body[0]
    assert arbolus.walk_frontier(tree, ()) == []
    assert arbolus.walk_of_types(tree, (), None) == []
    assert arbolus.walk_frontier_events(tree, (), ()) == []
    assert arbolus.walk_frontier_events(tree, (), SCOPES) == [(1, f), (1, c), (2, c), (2, f)]


def test_exact_class_only():
    class MyName(ast.Name):
        pass

    mine = MyName(id="x", ctx=ast.Load())
    plain = ast.Name(id="y", ctx=ast.Load())
    tree = ast.Module(body=[ast.Expr(mine), ast.Expr(plain)], type_ignores=[])
    assert arbolus.walk_frontier(tree, (ast.Name,)) == [plain]
    assert arbolus.walk_frontier(tree, (MyName,)) == [mine]
    assert arbolus.walk_frontier(tree, (ast.expr, ast.AST)) == []
    assert arbolus.walk_of_types(tree, (ast.Name, ast.Load), (ast.Name,)) == [mine.ctx, plain]
    assert ids(arbolus.walk_frontier_events(tree, (ast.Name,), (ast.expr, ast.stmt))) == [(0, id(plain))]


def test_shared_node_once_per_path():
    shared = ast.Name(id="x", ctx=ast.Load())
    tree = ast.BinOp(left=shared, op=ast.Add(), right=pair(shared, [1, shared, "s", shared]))
    assert arbolus.walk_frontier(tree, (ast.Name,)) == [shared] * 4
    assert [(f, i) for _, _, f, i in arbolus.walk_frontier_edges(tree, (ast.Name,))] == [
        ("left", -1), ("left", -1), ("right", 1), ("right", 3)]
    assert arbolus.walk_of_types(tree, (ast.Load,), ()) == [shared.ctx] * 4
    assert arbolus.walk_frontier_events(tree, (ast.Name,), ()) == [(0, shared)] * 4


def test_metaclass_created_classes():
    class Meta(type):
        pass

    class Odd(ast.AST, metaclass=Meta):
        _fields = ("inner",)

    class Plain(metaclass=Meta):
        pass

    leaf, odd = Leaf(), Odd()
    odd.inner = leaf
    tree = pair(odd)
    assert arbolus.walk_frontier(tree, (Plain, Odd)) == [odd]
    assert arbolus.walk_of_types(tree, (Leaf, Plain), (Odd,)) == []
    assert arbolus.walk_frontier_events(tree, (Leaf,), (Odd, Plain)) == [(1, odd), (0, leaf), (2, odd)]


# --- failures ----------------------------------------------------------------

class Boom(Exception):
    pass


class Raising(ast.AST):
    _fields = ("value",)
    exc = None

    @property
    def value(self):
        raise self.exc or AttributeError("value")


WITH_ITEMS = {
    "frontier": lambda t, k: arbolus.walk_frontier(t, k),
    "edges": lambda t, k: arbolus.walk_frontier_edges(t, k),
    "of_types": lambda t, k: arbolus.walk_of_types(t, k, ()),
    "of_types_prune": lambda t, k: arbolus.walk_of_types(t, (), k),
    "events": lambda t, k: arbolus.walk_frontier_events(t, k, ()),
    "events_bracket": lambda t, k: arbolus.walk_frontier_events(t, (), k),
}


@pytest.mark.parametrize("call", WITH_ITEMS.values(), ids=WITH_ITEMS.keys())
@pytest.mark.parametrize("items, message", [
    ((ast.Name, ast.Call, 3), "'int' object is not an instance of 'type'"),
    ((ast.Name, None), "'None' is not an instance of 'type'"),
    ((ast.Name, "x", None, 3), "'str' object is not an instance of 'type'"),
])
def test_non_class_items(call, items, message):
    bad = Raising()
    bad.exc = Boom()  # not reached: the items are checked before the tree is read
    with pytest.raises(TypeError) as info:
        call(pair(bad), items)
    assert str(info.value) == message


NOT_TUPLE = "'list' object is not an instance of 'tuple'"


@pytest.mark.parametrize("call, message, note", [
    (lambda t: arbolus.walk_of_types(t, [1], (3,)), NOT_TUPLE, "kinds"),
    (lambda t: arbolus.walk_of_types(t, (3,), [1]), NOT_TUPLE, "prune"),
    (lambda t: arbolus.walk_frontier_events(t, [1], None), NOT_TUPLE, "kinds"),
    (lambda t: arbolus.walk_frontier_events(t, (3,), None), "'None' is not an instance of 'tuple'", "bracket"),
    (lambda t: arbolus.walk_of_types(t, (3,), (None,)), "'int' object is not an instance of 'type'", None),
    (lambda t: arbolus.walk_frontier_events(t, (None,), (3,)), "'None' is not an instance of 'type'", None),
])
def test_argument_conversion_order(call, message, note):
    with pytest.raises(TypeError) as info:
        call(ast.parse("x"))
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize("call", [
    lambda t: arbolus.walk_frontier(t, ()),
    lambda t: arbolus.walk_frontier_edges(t, ()),
    lambda t: arbolus.walk_of_types(t, (), ()),
    lambda t: arbolus.walk_frontier_events(t, (), ()),
], ids=["frontier", "edges", "of_types", "events"])
def test_empty_selection_still_reads_whole_tree(call):
    bad = Raising()
    names = [ast.Name(id=str(i), ctx=ast.Load()) for i in range(3)]
    tree = ast.Module(body=[ast.Expr(names[0]), ast.Expr(pair(names[1], bad)), ast.Expr(names[2])],
                      type_ignores=[])
    nodes = preorder(tree)
    before = list(map(sys.getrefcount, nodes))
    exc = bad.exc = Boom()
    assert caught(call, tree) is exc
    assert list(map(sys.getrefcount, nodes)) == before


# --- class sets kept between calls -----------------------------------------------

def fresh_classes(n):
    return [type(f"K{i}", (ast.expr,), {"_fields": ()}) for i in range(n)]


def test_kept_sets_answer_for_their_own_tuple_only():
    classes = fresh_classes(12)
    tree = ast.Module(body=[ast.Expr(value=cls()) for cls in classes], type_ignores=[])
    tuples = [(cls,) for cls in classes]
    # More tuples than the thread keeps, twice round: every call still sees
    # exactly the classes of the tuple it was given.
    for _ in range(2):
        for i, kinds in enumerate(tuples):
            assert arbolus.walk_frontier(tree, kinds) == [tree.body[i].value]
            assert arbolus.walk_of_types(tree, (), kinds) == []
    # A tuple subclass is read afresh on every call.
    class Kinds(tuple):
        pass

    assert arbolus.walk_frontier(tree, Kinds(classes[:2])) == [e.value for e in tree.body[:2]]


def test_kept_tuples_are_released_when_replaced():
    classes = fresh_classes(3)
    tree = ast.Module(body=[ast.Expr(value=cls()) for cls in classes], type_ignores=[])
    kinds = tuple(classes)
    before = sys.getrefcount(kinds)
    arbolus.walk_frontier(tree, kinds)
    assert sys.getrefcount(kinds) == before + 1  # kept for the next call
    for cls in fresh_classes(20):
        arbolus.walk_frontier(tree, (cls,))
    assert sys.getrefcount(kinds) == before


def test_failing_tuples_are_not_kept():
    kinds = (ast.Name, 3)
    before = sys.getrefcount(kinds)
    for _ in range(2):
        with pytest.raises(TypeError, match="'int' object is not an instance of 'type'"):
            arbolus.walk_frontier(ast.parse("x"), kinds)
    assert sys.getrefcount(kinds) == before


class Nesting(ast.expr):
    """Reading its field makes nested calls with many new tuples, which
    cycle through every kept set the outer call is not using."""
    _fields = ("value",)

    @property
    def value(self):
        for cls in fresh_classes(20):
            arbolus.walk_of_types(self.inner, (cls,), (cls, ast.Name))
        return self.inner


def test_sets_in_use_survive_nested_calls():
    names = [ast.Name(id=str(i), ctx=ast.Load()) for i in range(3)]
    nesting = Nesting()
    nesting.inner = ast.Tuple(elts=names[1:], ctx=ast.Load())
    tree = ast.Module(body=[ast.Expr(names[0]), ast.Expr(nesting)], type_ignores=[])
    kinds, bracket = (ast.Name, ast.Constant), (ast.Tuple, ast.Expr)
    for _ in range(2):
        assert arbolus.walk_frontier(tree, kinds) == names
        assert arbolus.walk_of_types(tree, kinds, (ast.Tuple,)) == names[:1]
        events = arbolus.walk_frontier_events(tree, kinds, bracket)
        assert [code for code, _ in events] == [1, 0, 2, 1, 1, 0, 0, 2, 2]
