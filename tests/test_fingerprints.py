"""Subtree fingerprints (subtree_fingerprints, subtree_fingerprint) against
the plain-Python reference in examples/, and what they promise: the same
bytes in every process and version, leaves told apart by exact type, and
equality exactly where ast.dump texts are equal."""

import ast
import enum
import hashlib
import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import warnings

import pytest

import arbolus
from conftest import SLOW_MARKS, caught, parse_optimized, preorder

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
reference = pytest.importorskip("fingerprint_reference")


def fp(node):
    return arbolus.subtree_fingerprint(node)


def const(value):
    return ast.Expr(ast.Constant(value))


# --- agreement with the reference -----------------------------------------

# The reference is plain Python: by default every fourth file of the corpus,
# all of it with ARBOLUS_SLOW=1.
CORPUS_SHARE = [
    pytest.param(4, id="every-4th-file"),
    pytest.param(1, id="whole-corpus", marks=SLOW_MARKS),
]


@pytest.mark.parametrize("stride", CORPUS_SHARE)
def test_corpus_matches_the_reference_byte_for_byte(corpus, stride):
    for path, tree in corpus[::stride]:
        prints = arbolus.subtree_fingerprints(tree)
        assert prints == reference.subtree_fingerprints(tree), path
        assert fp(tree) == prints[id(tree)]
        assert all(type(v) is bytes and len(v) == 16 for v in prints.values())


def test_optimized_trees_match_the_reference():
    # Constant folding makes tuples and frozensets (and on newer versions
    # folds more); the reference must agree on those too.
    source = "x in {1, 'a', 2.5, None}\nfor y in (1, (2, -3.0), b'z'):\n    f(*(1, 2))\n"
    tree = parse_optimized(source)
    assert arbolus.subtree_fingerprints(tree) == reference.subtree_fingerprints(tree)


# Fingerprints of small sources whose dump is the same on every supported
# version, computed once by the reference.
FIXED = {
    "x = f(a, 1)": "02f1fb0199d05e5836ab1bd50345afca",
    "def g(y, *a, k=None, **kw):\n    return y + 1.5": "670508aec28e822b79eef6dcdda60196",
    "class C(B, metaclass=M):\n    pass": "1e17a78efc92f07a36f2f034dd2f80fc",
    "z = b'x' if w else -0.0": "282f48026e2d7ea673062b620d42c127",
    "s = '\u00e9\\ud800' + ...": "ee933b5849075da3108c918e5eeeda9d",
    "n = 2 ** 100 - 18446744073709551616": "1c67a8f896e87277a38dc24e918a7a08",
    "for i in range(3):\n    del t[i:j]\nelse:\n    raise E from None":
        "4d85e60c0d39b95e7b8ef54d59610166",
    "async def h():\n    async with a as (b, c):\n        await d":
        "7b793acdf815f30c684b3179a9eef55f",
}


@pytest.mark.parametrize("source", FIXED)
def test_fixed_values_hold_on_every_version(source):
    tree = ast.parse(source)
    assert fp(tree).hex() == FIXED[source]
    assert reference.subtree_fingerprint(tree).hex() == FIXED[source]


def test_the_documented_example():
    # docs/fingerprints.md spells these two streams out.
    assert fp(ast.Load()).hex() == "b81fe4ce78183e19c48eef104444d156"
    assert fp(ast.Name(id="x", ctx=ast.Load())).hex() == "2175cb9a78a45482a9a0054e3cb09f58"


CHILD = """
import ast, hashlib, json, sys, sysconfig, pathlib, warnings
import arbolus
sys.path.insert(0, {tests!r})
from conftest import parse_optimized
root = pathlib.Path(sysconfig.get_paths()["stdlib"])
paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)[::{stride}]
digest = hashlib.sha256()
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    for p in paths:
        try:
            tree = parse_optimized(p.read_bytes())
        except (SyntaxError, ValueError, RecursionError):
            continue
        prints = arbolus.subtree_fingerprints(tree)
        for node in ast.walk(tree):
            digest.update(prints[id(node)])
print(json.dumps(digest.hexdigest()))
"""


def test_same_in_processes_with_different_hash_seeds():
    # Optimized trees hold frozensets, whose iteration order follows the seed.
    outs = set()
    for seed in ("1", "2", "random"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        stride = 8 * int(os.environ.get("ARBOLUS_CORPUS_STRIDE", "1"))
        code = CHILD.format(stride=stride, tests=os.path.dirname(os.path.abspath(__file__)))
        proc = subprocess.run([sys.executable, "-c", code], env=env,
                              capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr
        outs.add(json.loads(proc.stdout))
    assert len(outs) == 1


# --- leaves ------------------------------------------------------------------

def test_leaves_of_equal_value_and_different_type_stay_apart():
    values = [1, 1.0, True, 1 + 0j, "1", b"1", (1,), frozenset({1})]
    assert len({fp(const(v)) for v in values}) == len(values)
    assert fp(const(0.0)) != fp(const(-0.0))
    assert fp(const(complex(0.0, 0.0))) != fp(const(complex(-0.0, 0.0)))
    assert fp(const(2**63 - 1)) != fp(const(3))
    assert fp(const(-1)) != fp(const(255)) != fp(const(2**64 - 1))


def test_every_nan_is_one_value():
    other_nan = struct.unpack(">d", b"\xff\xf8\x00\x00\x00\x00\x12\x34")[0]
    assert math.isnan(other_nan)
    assert fp(const(math.nan)) == fp(const(-math.nan)) == fp(const(other_nan))
    assert fp(const(complex(math.nan, 1))) == fp(const(complex(other_nan, 1)))
    assert fp(const(math.nan)) != fp(const(math.inf))


def test_ints_of_any_size():
    huge = 7**6000  # ast.dump refuses to print it
    values = [0, -1, 127, 128, -128, -129, 2**63, -(2**63), huge, -huge, huge + 1]
    prints = [fp(const(v)) for v in values]
    assert len(set(prints)) == len(values)
    for v, p in zip(values, prints):
        assert p == reference.subtree_fingerprint(const(v))


def test_strings_with_lone_surrogates_and_other_planes():
    texts = ["", "a" * 200, "\u00e9", "\ud800", "\udfff\ud800", "\U0001f600", "\u20ac" * 70]
    prints = [fp(const(t)) for t in texts]
    assert len(set(prints)) == len(texts)
    assert prints == [reference.subtree_fingerprint(const(t)) for t in texts]


def test_field_names_with_lone_surrogates():
    # Spelled as any text is, lone surrogates encoded as code points.
    class Surrogate(ast.expr):
        _fields = ("a\ud800", "\udfffb")

    def make(a, b):
        node = Surrogate()
        setattr(node, "a\ud800", a)
        setattr(node, "\udfffb", b)
        return node

    trees = [make(ast.Constant(1), "x"), make(ast.Constant(2), "x"), make(ast.Constant(1), "y"),
             make(None, None)]
    prints = [fp(t) for t in trees]
    assert len(set(prints)) == len(trees)
    assert prints == [reference.subtree_fingerprint(t) for t in trees]
    assert arbolus.subtree_fingerprints(trees[0]) == reference.subtree_fingerprints(trees[0])


def test_frozenset_order_does_not_matter():
    a = frozenset(["x", 1, 2.5, (1, 2)])
    b = frozenset(reversed(list(a)))
    assert fp(const(a)) == fp(const(b)) == reference.subtree_fingerprint(const(a))
    assert fp(const(a)) != fp(const(a | {None}))


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


@pytest.mark.parametrize("leaf", [object(), Colour.RED, Text("x"), [1], {"a": 1},
                                  (1, object()), frozenset({Colour.RED}), (ast.Pass(),)],
                         ids=lambda v: type(v).__name__)
def test_other_leaves_raise_naming_type_and_field(leaf):
    node = ast.Constant(leaf) if type(leaf) is not list else ast.Constant((leaf,))
    for call in (arbolus.subtree_fingerprint, arbolus.subtree_fingerprints):
        exc = caught(call, ast.Module([ast.Expr(node)], []))
        assert isinstance(exc, TypeError)
        assert "'value'" in str(exc) and "ast.Constant" in str(exc)
    with pytest.raises(TypeError, match="value"):
        reference.subtree_fingerprint(node)


def test_a_list_subclass_in_a_field_is_no_list():
    class Items(list):
        pass

    exc = caught(fp, ast.Module(Items([ast.Pass()]), []))
    assert isinstance(exc, TypeError) and "Items" in str(exc) and "'body'" in str(exc)


# --- fields and nodes --------------------------------------------------------

def test_none_empty_list_and_missing_field_are_alike():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        missing = ast.Return.__new__(ast.Return)  # no field set at all
        empty = ast.Call(ast.Name("f", ast.Load()), [], [])
        no_keywords = ast.Call(ast.Name("f", ast.Load()), [], [])
        del no_keywords.keywords
    assert fp(ast.Return(value=None)) == fp(missing) == reference.subtree_fingerprint(missing)
    assert fp(empty) == fp(no_keywords)
    # An empty list inside a list is a value.
    assert fp(ast.Constant([[]])) != fp(ast.Constant([]))


def test_fields_enter_by_name_and_place():
    a = ast.BinOp(ast.Name("x", ast.Load()), ast.Add(), ast.Name("y", ast.Load()))
    b = ast.BinOp(ast.Name("y", ast.Load()), ast.Add(), ast.Name("x", ast.Load()))
    assert fp(a) != fp(b)
    # The same values under other field names.
    assert fp(ast.Name("x", ast.Load())) != fp(ast.arg("x"))


def test_locations_and_other_attributes_do_not_enter():
    tree = ast.parse("a = b + c")
    before = arbolus.subtree_fingerprints(tree)
    for n in ast.walk(tree):
        if hasattr(n, "lineno"):
            n.lineno += 10
            n.col_offset += 3
    arbolus.set_parents(tree)
    assert arbolus.subtree_fingerprints(tree) == before


def test_classes_enter_by_module_and_qualified_name():
    class Name(ast.Name):
        pass

    twin = Name("x", ast.Load())
    plain = ast.Name("x", ast.Load())
    assert fp(twin) != fp(plain)
    # Renamed to spell the same, the class fingerprints as ast.Name.
    Name.__module__, Name.__qualname__ = "ast", "Name"
    assert fp(twin) == fp(plain)
    Name.__qualname__ = "Other"
    assert fp(twin) != fp(plain)
    assert fp(twin) == reference.subtree_fingerprint(twin)


def test_a_class_whose_module_is_no_str():
    class Odd(ast.AST):
        _fields = ("a",)

    Odd.__module__ = 5
    exc = caught(fp, Odd())
    assert isinstance(exc, TypeError) and "__module__" in str(exc)


def test_shared_nodes_and_the_dict():
    load = ast.Load()
    tree = ast.Module([ast.Expr(ast.Name("a", load)), ast.Expr(ast.Name("a", load))], [])
    prints = arbolus.subtree_fingerprints(tree)
    assert len(prints) == len({id(n) for n in preorder(tree)})
    assert next(iter(prints)) == id(tree)
    assert prints[id(tree.body[0])] == prints[id(tree.body[1])]
    assert prints[id(load)] == fp(ast.Load())
    # A root that is no node is spelled by its class alone.
    assert fp(0) == reference.subtree_fingerprint(0)


def test_equal_fingerprints_exactly_where_dumps_are_equal(corpus):
    # Within one version: the partition of the subtrees of a few modules by
    # fingerprint is their partition by dump text.
    for path, tree in corpus[:: max(1, len(corpus) // 12)]:
        prints = arbolus.subtree_fingerprints(tree)
        by_print, by_dump = {}, {}
        for n in {id(n): n for n in ast.walk(tree)}.values():
            by_print.setdefault(prints[id(n)], set()).add(id(n))
            by_dump.setdefault(ast.dump(n), set()).add(id(n))
        assert sorted(map(sorted, by_print.values())) == sorted(map(sorted, by_dump.values())), path


# --- the engine's guarantees ---------------------------------------------------

def test_a_node_made_afresh_on_every_read():
    # A field whose property makes a new node on each read: the walk's node
    # is not the one read afresh, which is fingerprinted on its own.
    class Fresh(ast.AST):
        _fields = ("inner",)

        @property
        def inner(self):
            return ast.Name("q", ast.Load())

    node = Fresh()
    assert fp(node) == reference.subtree_fingerprint(node)
    assert fp(node) == fp(Fresh())


def test_a_tree_changed_while_fingerprinted_is_never_mixed_up():
    # A property that swaps a later sibling's field while the fields are
    # read: the value is that of the tree as the fields were read afresh.
    target = ast.Name("before", ast.Load())

    class Swap(ast.AST):
        _fields = ("value",)

        @property
        def value(self):
            target.id = "after"
            return 1

    tree = ast.Module([ast.Expr(target), ast.Expr(ast.Constant(Swap()))], [])
    got = fp(tree)
    # Whether `target` was done before or after the swap, the result is
    # that of one of the two trees the fields could have been read from.
    target.id = "before"
    first = reference.subtree_fingerprint(tree)
    target.id = "after"
    second = reference.subtree_fingerprint(tree)
    assert got in (first, second)


def test_deep_trees_need_no_recursion():
    node, minus = ast.Constant(0), ast.USub()
    for _ in range(200_000):
        node = ast.UnaryOp(minus, node)
    prints = arbolus.subtree_fingerprints(node)
    assert len(prints) == 200_002
    assert fp(node) == prints[id(node)]


def test_deeply_nested_leaves_end_in_recursion_error():
    value = ()
    for _ in range(100_000):
        value = (value,)
    exc = caught(fp, ast.Constant(value))
    assert isinstance(exc, RecursionError)
