"""Very deep and very large trees: no recursion, no crash, exact counts.

The default run walks a chain one million nodes deep with the fast walks.
ARBOLUS_SLOW=1 adds every function on that chain and on trees of more than
five million nodes, one made of a shared statement and one of distinct
parsed statements. Expected results come from an iterative Python walk.
"""

import ast
import collections
import gc
import os
import subprocess
import sys
import warnings

import pytest

import arbolus

from conftest import preorder, slow

DEPTH = 1_000_000
BIG = 5_000_000

NOT = ast.Not()
LOAD = ast.Load()


def chain(depth, leaf=0):
    """`depth` nested expressions above a constant, alternating a direct
    field (a unary operation's operand) and a list field (a list display's
    items). The operator and context objects are shared, as the parser
    shares them."""
    gc.disable()  # a million tracked objects in a row: skip the collections
    try:
        node = ast.Constant(leaf)
        for level in range(depth):
            node = ast.UnaryOp(NOT, node) if level % 2 else ast.List([node], LOAD)
        return node
    finally:
        gc.enable()


def children(node):
    """A node's child nodes by its declared fields, in field order."""
    out = []
    for name in node._fields:
        value = getattr(node, name, None)
        if isinstance(value, ast.AST):
            out.append(value)
        elif isinstance(value, list):
            out.extend(v for v in value if isinstance(v, ast.AST))
    return out


def python_frontier(root, kinds):
    """The topmost nodes below root whose exact class is in kinds."""
    out = []
    stack = list(reversed(children(root)))
    while stack:
        node = stack.pop()
        if type(node) in kinds:
            out.append(node)
        else:
            stack.extend(reversed(children(node)))
    return out


@pytest.fixture(scope="module")
def deep():
    root = chain(DEPTH)
    return root, preorder(root)


def fast_walk_results(root):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return {
            "walk_dfs": arbolus.walk_dfs(root),
            "walk": arbolus.walk(root),
            "walk_unordered": arbolus.walk_unordered(root),
            "_walk_count": arbolus._walk_count(root),
        }


def check_fast_walks(root, order):
    results = fast_walk_results(root)
    assert results["_walk_count"] == len(order)
    assert results["walk_dfs"] == order  # identity first: fast for nodes
    assert results["walk"] == order
    unordered = results["walk_unordered"]
    assert len(unordered) == len(order)
    assert sorted(map(id, unordered)) == sorted(map(id, order))


def test_fast_walks_on_a_chain_a_million_deep(deep):
    root, order = deep
    assert len(order) == 2 * DEPTH + 1
    check_fast_walks(root, order)


def check_selections(root, order):
    """The selections against the Python walk."""
    assert arbolus.walk_frontier(root, (ast.Constant,)) == python_frontier(root, (ast.Constant,))
    kinds = (ast.Name, ast.Call)
    edges = arbolus.walk_frontier_edges(root, kinds)
    assert [e[0] for e in edges] == python_frontier(root, kinds)
    for node, parent, field, index in edges:
        value = getattr(parent, field)
        assert (value if index == -1 else value[index]) is node
    kinds = (ast.Name, ast.UnaryOp)
    assert arbolus.walk_of_types(root, kinds) == [n for n in order if type(n) in kinds]
    # Constants have no descendants, so all of them are dispatched.
    events = arbolus.walk_frontier_events(root, (ast.Constant,), (ast.List, ast.Call))
    count = collections.Counter(type(n) for n in order)
    assert len(events) == count[ast.Constant] + 2 * (count[ast.List] + count[ast.Call])
    assert [n for code, n in events if code == 0] == [n for n in order if type(n) is ast.Constant]


def check_edits(root, order):
    assert arbolus.set_parents(root) is None
    # The last parent visited is the one that stays.
    known = {}
    parent_of = {}
    for node in order:
        if id(node) not in known:
            known[id(node)] = children(node)
        for child in known[id(node)]:
            parent_of[id(child)] = (child, node)
    assert all(child.parent is parent for child, parent in parent_of.values())
    assert arbolus.fix_missing_locations(root) is root
    for node, _ in parent_of.values():
        if "end_col_offset" in node._attributes:
            assert type(node.lineno) is int and type(node.end_col_offset) is int


def check_hashes(root, order):
    hashes = arbolus.subtree_hashes(root)
    assert hashes.keys() == {id(n) for n in order}
    assert arbolus.subtree_hash(root) == hashes[id(root)]
    return hashes


@slow
def test_every_function_on_a_chain_a_million_deep(deep):
    root, order = deep
    check_selections(root, order)
    check_hashes(root, order)
    # Equal chains built apart hash alike; a different leaf tells them apart.
    assert arbolus.subtree_hash(chain(DEPTH)) == arbolus.subtree_hash(root)
    assert arbolus.subtree_hash(chain(DEPTH, leaf=1)) != arbolus.subtree_hash(root)
    # Last: the leaf constant holds one field entry of two, so the `parent`
    # written after it is among its leading entries for the fast walks.
    check_edits(root, order)


STATEMENT = "value = obj.method(first, second + 1, *rest, key=[x for x in y if x])"


def shared_module():
    """A module whose body lists one parsed statement over and over."""
    statement = ast.parse(STATEMENT).body[0]
    size = len(preorder(statement))
    return ast.Module([statement] * (BIG // size + 1), [])


def distinct_module():
    """A module of distinct parsed statements (the parser still shares its
    context and operator objects)."""
    size = len(preorder(ast.parse(STATEMENT).body[0]))
    gc.disable()
    try:
        return ast.parse("\n".join([STATEMENT] * (BIG // size + 1)))
    finally:
        gc.enable()


@slow
@pytest.mark.parametrize("build", [shared_module, distinct_module])
def test_every_function_on_five_million_nodes(build):
    root = build()
    order = preorder(root)
    assert len(order) > BIG
    check_fast_walks(root, order)
    check_selections(root, order)
    hashes = check_hashes(root, order)
    # Every statement prints the same dump, so every one hashes alike.
    assert len({hashes[id(s)] for s in root.body}) == 1
    check_edits(root, order)


# --- a tree without end ---------------------------------------------------

ENDLESS = """
import ast, ctypes, resource, sysconfig, arbolus

class Endless(ast.AST):
    _fields = ("inner",)

    @property
    def inner(self):
        return Endless.__new__(Endless)

CALLS = {{
    "walk_of_types": lambda n: arbolus.walk_of_types(n, (Endless,)),
    "set_parents": arbolus.set_parents,
    "subtree_hash": arbolus.subtree_hash,
    "subtree_fingerprints": arbolus.subtree_fingerprints,
}}
with open("/proc/self/status") as status:
    data = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmData"))
_, hard = resource.getrlimit(resource.RLIMIT_DATA)
resource.setrlimit(resource.RLIMIT_DATA, (data + ({limit_mb} << 20), hard))
# The fast walks run no properties: the root is all they see.
assert arbolus.walk_dfs(root := Endless.__new__(Endless)) == [root]
for name, call in CALLS.items():
    try:
        call(Endless.__new__(Endless))
    except MemoryError:
        pass
    # Everything the call held is let go: a good part of the limit can be
    # had again. The C library keeps freed blocks in its heap until asked to
    # give them back, and what is left is fragmented: a quarter, after the
    # trim, leaves room for that and still fails when the call's memory
    # stayed held. (The free-threaded build's allocator keeps what was freed
    # for its own heaps, so a large block may not be had there even when
    # nothing leaked.)
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        try:
            ctypes.CDLL(None).malloc_trim(0)
        except AttributeError:
            pass
        room = bytearray({limit_mb} << 18)
        del room
    print(name, flush=True)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="limits the data segment: Linux")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's own mappings count against the limit")
def test_an_endless_tree_ends_in_memory_error_under_a_limit():
    # A property that makes a new node on every read: the walks that read
    # fields by name never run out of nodes, and hold them (results, parent
    # links, a hash's walk) until memory runs out. Under a limit on the
    # process's data, each call ends in MemoryError; the child process
    # keeps the limit away from the test run.
    proc = subprocess.run([sys.executable, "-c", ENDLESS.format(limit_mb=48)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["walk_of_types", "set_parents", "subtree_hash",
                                   "subtree_fingerprints"]
