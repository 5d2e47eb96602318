"""Trees built by hand, as codemods, generators and tests build them.

A node built without some of its fields keeps other attributes (`parent`,
locations) among the first entries of its instance dictionary, where the fast
walks look for fields; they must take only entries under a field's name.
Every function is checked against the standard library's own view of the
children (`ast.iter_child_nodes`).
"""

import _ast
import ast
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import arbolus
from conftest import CONSTRUCTORS_NEED_REQUIRED_FIELDS, preorder, required_fields

# The node classes the interpreter defines, in a fixed order.
CLASSES = sorted(
    (c for c in vars(_ast).values() if isinstance(c, type) and issubclass(c, ast.AST) and c is not ast.AST),
    key=lambda c: c.__name__,
)
WITH_FIELDS = [c for c in CLASSES if c._fields]
WITHOUT_FIELDS = [c for c in CLASSES if not c._fields]


@st.composite
def hand_built(draw, depth=0):
    """A node of any class, built with a prefix of its fields given
    positionally and any later subset by keyword, in field order."""
    if depth >= 3 or draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from(WITHOUT_FIELDS))()
    cls = draw(st.sampled_from(WITH_FIELDS))
    fields = cls._fields
    k = draw(st.integers(0, len(fields)))
    keywords = [f for f in fields[k:] if draw(st.booleans())
                or (CONSTRUCTORS_NEED_REQUIRED_FIELDS and f in required_fields(cls))]

    def value():
        kind = draw(st.sampled_from(["node", "list", "str", "none", "int"]))
        if kind == "node":
            return draw(hand_built(depth + 1))
        if kind == "list":
            return [draw(hand_built(depth + 1)) if draw(st.booleans()) else "x"
                    for _ in range(draw(st.integers(0, 3)))]
        return {"str": "name", "none": None, "int": 7}[kind]

    args = [value() for _ in fields[:k]]
    kwargs = {f: value() for f in keywords}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # omitted required fields
        return cls(*args, **kwargs)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(hand_built())
def test_hand_built_trees_with_parent_links_walk_as_the_standard_library_does(tree):
    arbolus.set_parents(tree)
    expected = preorder(tree)
    assert arbolus.walk_dfs(tree) == expected
    assert arbolus._walk_count(tree) == len(expected)
    assert sorted(map(id, arbolus.walk_unordered(tree))) == sorted(map(id, expected))
    # The by-name functions agree with the fast walks on what a field is.
    assert arbolus.walk_of_types(tree, tuple(CLASSES)) == expected
    # Locations filled in afterwards are no fields either.
    arbolus.fix_missing_locations(tree)
    assert arbolus.walk_dfs(tree) == expected


def smallest_value(field_type):
    """A value for a required field: leaving one out is an error on newer
    versions (and deprecated before)."""
    if isinstance(field_type, type) and issubclass(field_type, ast.AST):
        cls = min((c for c in CLASSES if issubclass(c, field_type)),
                  key=lambda c: len(required_fields(c)))
        return cls(**{f: smallest_value(cls._field_types[f]) for f in required_fields(cls)})
    return {str: "x", int: 0}.get(field_type)


def test_every_class_built_without_its_optional_fields():
    for cls in WITH_FIELDS:
        node = cls(**{f: smallest_value(cls._field_types[f]) for f in required_fields(cls)})
        holder = ast.Module(body=[ast.Expr(node)], type_ignores=[])
        arbolus.set_parents(holder)
        node.lineno = node.col_offset = 1
        assert arbolus.walk_dfs(holder) == preorder(holder), cls.__name__


def test_keys_of_a_field_name_that_are_not_the_interned_name():
    class Key(str):
        pass

    a, c = ast.Constant(1), ast.Constant(2)
    node = ast.BinOp(a, ast.Add(), c)
    node.__dict__ = {"".join(["le", "ft"]): a, "parent": ast.Module(), Key("right"): c}
    assert arbolus.walk_dfs(node) == [node, a, c]
    node.__dict__ = {1: a, b"op": c, "right": c}
    assert arbolus.walk_dfs(node) == [node, c]


def test_keys_of_a_field_name_that_lookup_does_not_find():
    # A str subclass with its own hash and equality is another key than the
    # field's name: attribute lookup does not find the field under it.
    class Apart(str):
        def __hash__(self):
            return hash(("apart", str(self)))

        def __eq__(self, other):
            return type(other) is Apart and str.__eq__(self, other)

        __ne__ = object.__ne__

    a, c = ast.Constant(1), ast.Constant(2)
    node = ast.BinOp(a, ast.Add(), c)
    node.__dict__ = {"left": a, "op": node.op, Apart("right"): c}
    expected = preorder(node)
    assert expected == [node, a, node.op]
    assert arbolus.walk_dfs(node) == expected
    assert arbolus._walk_count(node) == len(expected)
    assert arbolus.walk_unordered(node) == [node, a, node.op]
    assert arbolus.walk_of_types(node, tuple(CLASSES)) == expected
