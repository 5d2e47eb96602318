"""How the field-reading walks find a node's children, and what they learn
about node classes (`_fields`, `_attributes`) and keep per thread.

Expansion is observed through the public functions that use it: the
frontier and typed walks (which child, read from which field and list
index), `set_parents` and `fix_missing_locations`.
"""

import ast
import sys
import threading

import pytest

import arbolus

from conftest import caught

LOCATION_NAMES = ("lineno", "col_offset", "end_lineno", "end_col_offset")


class Leaf(ast.AST):
    _fields = ()


def node_class(fields, base=ast.AST, meta=type, **namespace):
    return meta("N", (base,), {"_fields": fields, **namespace})


def bare(cls, **values):
    """An instance built without the class's constructor."""
    node = cls.__new__(cls)
    node.__dict__.update(values)
    return node


def unlink(nodes):
    for n in nodes:
        n.__dict__.pop("parent", None)


def children(root):
    """(child, field, index) for each child of `root`, in expansion order.

    The children are Leaf instances, so the frontier walks, the typed walk
    and set_parents must all see exactly the children of the root.
    """
    edges = arbolus.walk_frontier_edges(root, (Leaf,))
    nodes = [e[0] for e in edges]
    assert all(e[1] is root for e in edges)
    assert arbolus.walk_frontier(root, (Leaf,)) == nodes
    typed = arbolus.walk_of_types(root, (Leaf,))
    assert typed == ([root] if type(root) is Leaf else []) + nodes
    arbolus.set_parents(root)
    try:
        assert all(n.parent is root for n in nodes)
    finally:
        unlink(nodes)
    return [(e[0], e[2], e[3]) for e in edges]


# --- where a field's value is read from -----------------------------------

CLASS_LEAF = Leaf()
PROPERTY_LEAF = Leaf()
INSTANCE_LEAF = Leaf()


@pytest.mark.parametrize(
    "on_class",
    [CLASS_LEAF, property(lambda self: PROPERTY_LEAF)],
    ids=["class-attribute", "data-descriptor"],
)
@pytest.mark.parametrize("in_dict", ["absent", "leaf", "none"])
def test_instance_dict_entry_wins_over_class(on_class, in_dict):
    cls = node_class(("a",), a=on_class)
    node = bare(cls)
    if in_dict == "absent":
        expected = [CLASS_LEAF if isinstance(on_class, Leaf) else PROPERTY_LEAF]
    elif in_dict == "leaf":
        node.__dict__["a"] = INSTANCE_LEAF
        expected = [INSTANCE_LEAF]
    else:
        node.__dict__["a"] = None
        expected = []
    assert [c for c, _, _ in children(node)] == expected


def test_field_missing_everywhere_is_skipped():
    leaf = Leaf()
    node = bare(node_class(("missing", "b")), b=leaf)
    assert children(node) == [(leaf, "b", -1)]


class QuietAttributeError(AttributeError):
    pass


@pytest.mark.parametrize("exc_type", [AttributeError, QuietAttributeError])
def test_property_raising_attribute_error_is_skipped(exc_type):
    def getter(self):
        raise exc_type("no such field")

    first, last = Leaf(), Leaf()
    node = bare(node_class(("a", "gone", "b"), gone=property(getter)), a=first, b=last)
    assert children(node) == [(first, "a", -1), (last, "b", -1)]


class Boom(Exception):
    pass


BOOM = Boom("field read failed")


def raise_boom(self):
    raise BOOM


Fallible = node_class(("a", "bad", "b"), bad=property(raise_boom))
Pair = node_class(("left", "right"))

RAISING_CALLS = {
    "walk_frontier": lambda t: arbolus.walk_frontier(t, (Leaf,)),
    "walk_frontier_edges": lambda t: arbolus.walk_frontier_edges(t, (Leaf,)),
    "walk_of_types": lambda t: arbolus.walk_of_types(t, (Leaf, Pair, Fallible)),
    "walk_frontier_events": lambda t: arbolus.walk_frontier_events(t, (Leaf,), (Pair,)),
    "set_parents": arbolus.set_parents,
    "fix_missing_locations": arbolus.fix_missing_locations,
    "subtree_hashes": arbolus.subtree_hashes,
    "subtree_hash": arbolus.subtree_hash,
    "subtree_fingerprints": arbolus.subtree_fingerprints,
    "subtree_fingerprint": arbolus.subtree_fingerprint,
}


def fallible_tree(at_root):
    """A tree with a node whose property field raises, at the root or
    below siblings that have already been read."""
    bad = bare(Fallible, a=Leaf(), b=[Leaf(), Leaf()])
    if at_root:
        return bad
    return bare(Pair, left=bare(Pair, left=Leaf(), right=[Leaf()]), right=[Leaf(), bad, Leaf()])


def all_objects(node):
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        out.append(n)
        for value in n.__dict__.values():
            for item in value if isinstance(value, list) else [value]:
                if isinstance(item, ast.AST):
                    stack.append(item)
    return out


@pytest.mark.parametrize("at_root", [True, False], ids=["root", "nested"])
@pytest.mark.parametrize("call", RAISING_CALLS.values(), ids=RAISING_CALLS.keys())
def test_property_raising_other_error_propagates_unchanged(call, at_root):
    tree = fallible_tree(at_root)
    nodes = all_objects(tree)
    before = [sys.getrefcount(n) for n in nodes]
    exc = caught(call, tree)
    assert exc is BOOM
    assert not getattr(exc, "__notes__", None)
    # set_parents links the nodes it read before the failure.
    unlink(nodes)
    assert [sys.getrefcount(n) for n in nodes] == before


class Finaliser:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


@pytest.mark.parametrize("when", ["in-getter", "at-value-release"])
def test_field_read_that_moves_later_fields(when):
    # Reading field `a` (not in the dictionary) runs code that grows the
    # dictionary until its entries move to a new table, then replaces `b`
    # there; either in the property itself or when the value it returned
    # is let go. `b` must be read from the dictionary as it is afterwards.
    # (The old leaf stays alive, so a read of the old table would find it.)
    old, new = Leaf(), Leaf()

    def move_entries(node):
        d = node.__dict__
        for i in range(40):
            d[f"extra{i}"] = i
        d["b"] = new

    def getter(self):
        if when == "in-getter":
            move_entries(self)
            return None
        return Finaliser(lambda: move_entries(self))

    node = bare(node_class(("a", "b"), a=property(getter)), x=0, b=old)
    assert children(node) == [(new, "b", -1)]


# --- which values are children ---------------------------------------------


class LeafList(list):
    pass


# Each shape maps leaves L to a field value and the (leaf position, list
# index) pairs expected as children.
SHAPES = {
    "node": (lambda L: L[0], [(0, -1)]),
    "list": (lambda L: [L[0], L[1]], [(0, 0), (1, 1)]),
    "mixed-list": (lambda L: [1, L[0], "s", L[1], None], [(0, 1), (1, 3)]),
    "tuple": (lambda L: (L[0], L[1]), []),
    "list-subclass": (lambda L: LeafList([L[0], L[1]]), []),
    "nested-list": (lambda L: [[L[0]], L[1]], [(1, 1)]),
    "dict": (lambda L: {L[0]: L[1]}, []),
    "bare-AST": (lambda L: ast.AST(), []),
    "bare-AST-in-list": (lambda L: [ast.AST(), L[0]], [(0, 1)]),
    "none": (lambda L: None, []),
    "str": (lambda L: "x", []),
}


@pytest.mark.parametrize("make, expected", SHAPES.values(), ids=SHAPES.keys())
def test_which_values_are_children(make, expected):
    leaves = [Leaf(), Leaf()]
    node = bare(node_class(("f",)), f=make(leaves))
    assert children(node) == [(leaves[i], "f", index) for i, index in expected]


def test_field_listed_twice_is_read_twice():
    a, b = Leaf(), Leaf()
    node = bare(node_class(("f", "g", "f")), f=[a, b], g=None)
    assert children(node) == [(a, "f", 0), (b, "f", 1), (a, "f", 0), (b, "f", 1)]


def test_same_node_in_two_fields_is_a_child_twice():
    a = Leaf()
    node = bare(node_class(("f", "g")), f=a, g=[a])
    assert children(node) == [(a, "f", -1), (a, "g", 0)]


def test_root_need_not_be_a_node():
    class Plain:
        _fields = ("f",)

    leaf = Leaf()
    root = Plain()
    root.f = [leaf]
    assert children(root) == [(leaf, "f", 0)]
    assert children(5) == []


class MyIf(ast.If):
    pass


class MyName(ast.Name):
    pass


class MyName2(MyName):
    pass


class Mixin:
    pass


class MixedIf(Mixin, ast.If):
    pass


@pytest.mark.parametrize("if_cls", [MyIf, MixedIf])
def test_deep_subclasses_of_node_classes_are_nodes(if_cls):
    # A subclass of a concrete node class is a node wherever fields are read
    # by name, however far it is from ast.AST.
    name = MyName2(id="x", ctx=ast.Load())
    body = ast.Pass()
    stmt = if_cls(test=name, body=[body], orelse=[])
    tree = ast.Module(body=[stmt], type_ignores=[])
    kinds = (if_cls, MyName2, ast.Pass)
    assert arbolus.walk_of_types(tree, kinds) == [stmt, name, body]
    assert arbolus.walk_frontier(tree, (MyName2, ast.Pass)) == [name, body]
    arbolus.set_parents(tree)
    assert stmt.parent is tree and name.parent is stmt and body.parent is stmt


# --- what is learnt about a class -------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize(
    "fields, expected",
    [
        (("a", 1, "b"), ["a", "b"]),
        (("a", None, b"c", "b"), ["a", "b"]),
        (("a", "\ud800", "b"), ["a", "\ud800", "b"]),  # no UTF-8 form, a name all the same
        ((Text("a"), "b"), ["a", "b"]),
        (["a", "b"], []),  # a list is not a field declaration
        ("ab", []),
    ],
)
def test_field_names_decoding(fields, expected):
    leaves = {name: Leaf() for name in ("a", "b", "c", "\ud800")}
    node = bare(node_class(fields), **leaves)
    got = children(node)
    assert [(c, f) for c, f, _ in got] == [(leaves[name], name) for name in expected]
    for _, field, _ in got:
        assert type(field) is str and field is sys.intern(str(field))


def raise_runtime(cls):
    raise RuntimeError("no fields today")


def raise_attribute(cls):
    raise AttributeError("_fields")


@pytest.mark.parametrize(
    "getter, expected",
    [(raise_runtime, False), (raise_attribute, False), (lambda cls: ("a",), True)],
    ids=["raises-RuntimeError", "raises-AttributeError", "returns-tuple"],
)
def test_fields_from_metaclass_property(getter, expected):
    meta = type("Meta", (type,), {"_fields": property(getter)})
    leaf = Leaf()
    node = bare(node_class((), meta=meta), a=leaf)
    assert children(node) == ([(leaf, "a", -1)] if expected else [])


def walk_fields(node):
    return [f for _, f, _ in children(node)]


def test_fields_are_read_once_per_thread():
    cls = node_class(("a",))
    node = bare(cls, a=Leaf(), b=Leaf())
    assert walk_fields(node) == ["a"]
    cls._fields = ("b",)
    # This thread keeps what it learnt the first time it met the class ...
    assert walk_fields(node) == ["a"]
    # ... but a subclass is a class of its own, learnt when first met.
    sub = type("Sub", (cls,), {})
    assert walk_fields(bare(sub, a=Leaf(), b=Leaf())) == ["b"]

    seen = []
    worker = threading.Thread(target=lambda: seen.append(walk_fields(node)))
    worker.start()
    worker.join()
    assert seen == [["b"]]


class Text2(str):
    pass


@pytest.mark.parametrize(
    "attributes, expected",
    [
        (("lineno", "end_lineno"), {"lineno", "end_lineno"}),
        (("lineno",), {"lineno"}),
        (("LINENO",), set()),
        (("col_offset", 3, "bogus", Text2("end_col_offset")), {"col_offset", "end_col_offset"}),
        (["lineno", "col_offset"], set()),
        (None, set()),  # inherits ast.AST's empty declaration
    ],
)
def test_location_attributes_decoding(attributes, expected):
    namespace = {} if attributes is None else {"_attributes": attributes}
    node = bare(node_class((), **namespace))
    assert arbolus.fix_missing_locations(node) is node
    assert set(node.__dict__) == expected
    defaults = dict(zip(LOCATION_NAMES, (1, 0, 1, 0)))
    assert all(node.__dict__[name] == defaults[name] for name in expected)


def test_location_attributes_from_raising_metaclass():
    meta = type("Meta", (type,), {"_attributes": property(raise_runtime)})
    node = bare(node_class((), meta=meta))
    arbolus.fix_missing_locations(node)
    assert node.__dict__ == {}
