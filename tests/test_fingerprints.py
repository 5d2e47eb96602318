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
import threading
import warnings

import pytest

import arbolus
from conftest import SLOW_MARKS, caught, parse_optimized, preorder

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
reference = pytest.importorskip("fingerprint_reference")
xxhash = pytest.importorskip("xxhash")


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
    # docs/fingerprints.md spells these streams out.
    assert fp(ast.Load()).hex() == "b81fe4ce78183e19c48eef104444d156"
    assert fp(ast.Name(id="x", ctx=ast.Load())).hex() == "2175cb9a78a45482a9a0054e3cb09f58"
    assert fp([ast.Name(id="x", ctx=ast.Load())]).hex() == "31c3c7ecf506adaac14c26be404430b8"


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


def made(cls, **fields):
    """An instance with these fields in its dictionary, made without the
    constructor (which reads `_fields` itself)."""
    node = cls.__new__(cls)
    node.__dict__.update(fields)
    return node


class Reads(tuple):
    def __iter__(self):
        return iter(("b",))


class RaisingFields(type):
    @property
    def _fields(cls):
        raise ValueError("no fields today")


DECLARATIONS = {
    # docs/fingerprints.md: what a class's `_fields` declares.
    "raising": (RaisingFields, (), ()),
    "no-tuple": (type, ["a", "b"], ()),
    "items-not-str": (type, ("a", 5, b"b", None), ("a",)),
    "str-subclass-item": (type, (Text("a"), "b"), ("a", "b")),
    "tuple-subclass": (type, Reads(("a",)), ("a",)),
}


@pytest.mark.parametrize("case", DECLARATIONS)
def test_fields_are_declared_as_the_document_says(case):
    meta, fields, declared = DECLARATIONS[case]
    namespace = {} if meta is RaisingFields else {"_fields": fields}
    cls = meta("Declared", (ast.AST,), namespace)
    node = made(cls, a=1, b=2)
    kept = made(cls, **{name: getattr(node, name) for name in declared})
    assert fp(node) == fp(kept) == reference.subtree_fingerprint(node)
    assert fp(node) != fp(made(cls, a=3, b=4)) if declared else fp(node) == fp(made(cls))


def test_fields_are_read_once_per_class_and_thread():
    cls = type("Late", (ast.AST,), {"_fields": ("a",)})
    node = made(cls, a=1, b=2)
    first = fp(node)
    assert first == reference.subtree_fingerprint(node) == fp(made(cls, a=1))
    cls._fields = ("a", "b")
    assert fp(node) == reference.subtree_fingerprint(node) == first
    # A thread that meets the class later reads the new declaration.
    seen = []
    worker = threading.Thread(
        target=lambda: seen.append((fp(node), reference.subtree_fingerprint(node))))
    worker.start()
    worker.join()
    assert seen[0][0] == seen[0][1] != first


def test_nodes_the_walk_does_not_enter_have_no_key_but_enter_the_stream():
    nested, bare = ast.Name("n", ast.Load()), ast.AST()
    tree = ast.Module([ast.Expr(ast.Constant([[nested]])), ast.Expr(bare)], [])
    prints = arbolus.subtree_fingerprints(tree)
    assert id(nested) not in prints and id(bare) not in prints
    assert prints == reference.subtree_fingerprints(tree)
    assert fp(ast.Expr(bare)) != fp(ast.Expr(value=None))
    nested.id = "m"
    assert fp(tree) != prints[id(tree)] and fp(tree) == reference.subtree_fingerprint(tree)


def test_equal_fingerprints_where_a_frozenset_dumps_in_another_order():
    # The fingerprint sorts a frozenset's items; its dump shows them in
    # iteration order, which for these ints follows insertion.
    a, b = const(frozenset([1, 9])), const(frozenset([9, 1]))
    assert ast.dump(a) != ast.dump(b)
    assert fp(a) == fp(b) == reference.subtree_fingerprint(b)
    # 3.13 folds set literals so with optimize=1 (3.14 and later do not).
    a, b = parse_optimized("x in {1, 9}"), parse_optimized("x in {9, 1}")
    folded = type(a.body[0].value.comparators[0]) is ast.Constant
    assert (fp(a) == fp(b)) == folded
    if folded:
        assert ast.dump(a) != ast.dump(b)


# "import os" parses alike on 3.11 to 3.14; 3.15 gives every Import and
# ImportFrom a field `is_lazy` holding 0.
IMPORT_BEFORE_IS_LAZY = "6fde9d7137cbc94a3114e415f84c8fd0"


def test_a_field_a_version_adds_with_a_value_changes_fingerprints():
    tree = ast.parse("import os")
    has_is_lazy = "is_lazy" in ast.Import._fields
    assert (fp(tree).hex() == IMPORT_BEFORE_IS_LAZY) != has_is_lazy
    assert reference.subtree_fingerprint(tree) == fp(tree)
    # Holding None, as an absent field, it would change none.
    tree.body[0].is_lazy = None
    assert fp(tree).hex() == IMPORT_BEFORE_IS_LAZY


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


# --- roots that are no nodes ---------------------------------------------------

def statements(source):
    return ast.parse(source).body


ROOTS = {
    "body": statements("x = 1\nif a:\n    f(x)\n"),
    "body-as-tuple": tuple(statements("x = 1\ny")),
    "empty-list": [],
    "empty-tuple": (),
    "mixed-list": [1, "a", None, (2, 3), [ast.Pass(), []], ast.AST(), ast.Load()],
    "int": 5,
    "big-int": -(2**100),
    "str": "x\ud800",
    "none": None,
    "ellipsis": ...,
    "float": -0.0,
    "bytes": b"b",
    "frozenset": frozenset({1, (2, "c")}),
    "bare-node": ast.AST(),
}


@pytest.mark.parametrize("case", ROOTS)
def test_a_root_is_spelled_as_a_field_value_is(case):
    root = ROOTS[case]
    prints = arbolus.subtree_fingerprints(root)
    assert prints == reference.subtree_fingerprints(root)
    assert next(iter(prints)) == id(root)
    assert fp(root) == prints[id(root)] == reference.subtree_fingerprint(root)


def test_a_body_is_fingerprinted_by_its_statements():
    assert fp(statements("x = 1")) != fp(statements("import os"))
    assert len({fp(5), fp(6), fp("5"), fp(5.0), fp(None), fp([]), fp([5])}) == 7
    # The list's encoding over its items' own fingerprints, as in a field.
    body = statements("x = 1\ny = 2\nz = 3")
    assert fp(body) == xxhash.xxh3_128_digest(
        b"l\x03" + b"".join(b"n" + fp(stmt) for stmt in body))
    assert fp(5) == xxhash.xxh3_128_digest(b"i\x01\x05")
    # A tuple is the list of its items; a window is a list like any other.
    assert fp(tuple(body)) == fp(body) != fp(body[:2])
    assert fp(body[1:]) == fp(statements("y = 2\nz = 3"))
    # The hashes keep their rule, bound to ast.dump: no node, no contents.
    assert arbolus.subtree_hash(statements("x = 1")) == arbolus.subtree_hash(statements("y"))


def test_the_dict_of_a_list_root_keys_its_items_subtrees():
    shared = ast.Name("a", ast.Load())
    nested, bare = ast.Name("n", ast.Load()), ast.AST()
    body = [ast.Expr(shared), ast.Return(shared), bare, [nested], 7]
    prints = arbolus.subtree_fingerprints(body)
    walked = {id(n) for stmt in body[:2] for n in ast.walk(stmt)}
    assert set(prints) == walked | {id(body)}
    assert list(prints)[:2] == [id(body), id(body[0])]
    assert prints == reference.subtree_fingerprints(body)
    # The same keys as the list gets in a field, the holder's aside.
    held = ast.Module(body, [])
    assert set(arbolus.subtree_fingerprints(held)) == walked | {id(held)}


class Items(list):
    pass


@pytest.mark.parametrize("root, type_name", [
    (object(), "object"), (Text("x"), "Text"), (Colour.RED, "Colour"), (Items(), "Items"),
    ({"a": 1}, "dict"), (ast, "module"), ([object()], "object"), ((1, Text("y")), "Text"),
    (frozenset({ast.Pass()}), "Pass"), ([(ast.Pass(),)], "Pass"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_other_roots_raise_type_error(root, type_name):
    for call in (arbolus.subtree_fingerprint, arbolus.subtree_fingerprints):
        exc = caught(call, root)
        assert isinstance(exc, TypeError) and type_name in str(exc), exc
    with pytest.raises(TypeError, match=type_name):
        reference.subtree_fingerprint(root)


def test_a_list_root_changed_while_its_items_are_walked():
    # A property drops the list's later items and adds a new node, the
    # first time it is read: each node the list holds when it is spelled
    # counts, with the value it has then.
    class Shrink(ast.AST):
        _fields = ("value",)

        @property
        def value(self):
            if len(body) == 3:
                del body[1:]
                body.append(late)
            return 1

    late, dropped = ast.Name("late", ast.Load()), [ast.Pass(), ast.Pass()]
    body = [Shrink.__new__(Shrink), *dropped]
    got = arbolus.subtree_fingerprints(body)
    assert got[id(body)] == xxhash.xxh3_128_digest(
        b"l\x02" + b"".join(b"n" + fp(item) for item in body))
    assert set(got) == {id(body), id(body[0]), id(late), id(late.ctx)}
