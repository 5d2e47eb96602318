"""Structures in which a node is reachable from itself.

Walks keep no record of visited nodes; once a call has made 2**24 visits it
searches the structure once for a cycle and ends with ValueError if it finds
one. Shared subtrees are no cycle and are still visited once per path, also
past that count, and a path that ends at a node the walk does not descend
into (a match of a frontier walk, a pruned node) closes no cycle.

Every cycle case takes about a second: the search only starts after 2**24
visits. The full matrix runs with ARBOLUS_SLOW=1.
"""

import ast
import warnings

import pytest

import arbolus

from conftest import SLOW_MARKS, slow

# Kinds that never occur on the cycles below, so no selection cuts them.
ABSENT = (ast.Global,)

CALLS = {
    "walk": arbolus.walk,
    "walk_dfs": arbolus.walk_dfs,
    "walk_unordered": arbolus.walk_unordered,
    "_walk_count": arbolus._walk_count,
    "walk_frontier": lambda t: arbolus.walk_frontier(t, ABSENT),
    "walk_frontier_edges": lambda t: arbolus.walk_frontier_edges(t, ABSENT),
    "walk_of_types": lambda t: arbolus.walk_of_types(t, (ast.Name,), ABSENT),
    "walk_frontier_events": lambda t: arbolus.walk_frontier_events(t, ABSENT, (ast.If,)),
    "fix_missing_locations": arbolus.fix_missing_locations,
    "set_parents": arbolus.set_parents,
    "subtree_hashes": arbolus.subtree_hashes,
    "subtree_hash": arbolus.subtree_hash,
    "subtree_fingerprints": arbolus.subtree_fingerprints,
    "subtree_fingerprint": arbolus.subtree_fingerprint,
}


def self_loop():
    """A unary operation that is its own operand."""
    node = ast.UnaryOp(ast.Not(), ast.Constant(0))
    node.operand = node
    return node


def long_cycle():
    """if -> while -> for -> if, each step through a statement list."""
    first = ast.If(ast.Name("a", ast.Load()), [], [])
    middle = ast.While(ast.Name("b", ast.Load()), [ast.Pass()], [])
    last = ast.For(ast.Name("c", ast.Store()), ast.Name("d", ast.Load()), [], [])
    first.body.append(middle)
    middle.body.append(last)
    last.body += [ast.Pass(), first]
    return first


def with_cycle(make):
    """A module whose first statement comes before the cycle, so that the
    edits have something to write before the cycle is found."""
    before = ast.Expr(ast.Name("before", ast.Load()))
    cyclic = make()
    if not isinstance(cyclic, ast.stmt):
        cyclic = ast.Expr(cyclic)
    return ast.Module([before, cyclic], []), before


def doubling(depth):
    """A chain in which every node lists its child twice: 3 * 2**depth - 2
    visits over 2 * depth + 1 distinct nodes, and no cycle."""
    node = ast.Constant(0)
    for _ in range(depth):
        node = ast.BoolOp(ast.And(), [node, node])
    return node


PAST_FIRST_CHECK = 23  # 25,165,822 visits; the first search runs at 16,777,216


def visits(depth):
    return 3 * 2**depth - 2


# By default one or two functions of each kind of walk; the rest are slow.
QUICK = {
    self_loop: {"walk_dfs", "walk_unordered", "walk_of_types", "walk_frontier_events",
                "set_parents", "subtree_hash", "subtree_fingerprint"},
    long_cycle: {"walk_dfs", "walk_of_types", "subtree_fingerprints"},
}
CYCLE_CASES = [
    pytest.param(name, make, marks=[] if name in QUICK[make] else SLOW_MARKS,
                 id=f"{name}-{make.__name__}")
    for name in CALLS
    for make in (self_loop, long_cycle)
]


@pytest.mark.parametrize(("name", "make"), CYCLE_CASES)
def test_cycle_ends_in_value_error(name, make):
    tree, before = with_cycle(make)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="cycle"):
            CALLS[name](tree)
    # Writes made before the cycle was found stay made.
    if name == "set_parents":
        assert before.parent is tree and before.value.parent is before
    if name == "fix_missing_locations":
        assert (before.lineno, before.col_offset, before.value.lineno) == (1, 0, 1)


def test_cycle_under_a_match_is_never_reached():
    tree, _ = with_cycle(long_cycle)
    loop = tree.body[1]
    assert arbolus.walk_frontier(tree, (ast.If,)) == [loop]
    assert arbolus.walk_frontier_edges(tree, (ast.If,)) == [(loop, tree, "body", 1)]
    assert arbolus.walk_of_types(tree, (ast.If,), (ast.If,)) == [loop]
    assert arbolus.walk_frontier_events(tree, (ast.If,), (ast.Module,)) == [
        (1, tree), (0, loop), (2, tree)]


def test_shared_subtrees_are_visited_once_per_path():
    shared = ast.Name("x", ast.Load())
    pair = ast.BinOp(shared, ast.Add(), shared)
    tree = ast.Module([ast.Expr(pair), ast.Expr(shared)], [])
    order = arbolus.walk_dfs(tree)
    assert [id(n) for n in order].count(id(shared)) == 3
    assert sorted(map(id, arbolus.walk_unordered(tree))) == sorted(map(id, order))
    assert arbolus.walk_of_types(tree, (ast.Name,)) == [shared] * 3
    edges = arbolus.walk_frontier_edges(tree, (ast.Name,))
    assert edges == [(shared, pair, "left", -1), (shared, pair, "right", -1),
                     (shared, tree.body[1], "value", -1)]
    assert arbolus.walk_frontier_events(tree, (), (ast.Name,)).count((1, shared)) == 3
    hashes = arbolus.subtree_hashes(tree)
    assert len(hashes) == len({id(n) for n in order})
    arbolus.set_parents(tree)
    assert shared.parent is tree.body[1]


@pytest.mark.parametrize("name", [
    "_walk_count",
    "walk_of_types",
    pytest.param("walk_dfs", marks=SLOW_MARKS),
    pytest.param("walk_unordered", marks=SLOW_MARKS),
    pytest.param("walk_frontier", marks=SLOW_MARKS),
    pytest.param("walk_frontier_events", marks=SLOW_MARKS),
    pytest.param("set_parents", marks=SLOW_MARKS),
    pytest.param("fix_missing_locations", marks=SLOW_MARKS),
    pytest.param("subtree_hashes", marks=SLOW_MARKS),
])
def test_shared_subtrees_past_the_first_search(name):
    root = doubling(PAST_FIRST_CHECK)
    n = visits(PAST_FIRST_CHECK)
    if name == "_walk_count":
        assert arbolus._walk_count(root) == n
    elif name in ("walk_dfs", "walk_unordered"):
        assert len(getattr(arbolus, name)(root)) == n
    elif name == "walk_of_types":
        # Constants are the leaves: one per path.
        assert len(arbolus.walk_of_types(root, (ast.Constant,))) == 2**PAST_FIRST_CHECK
    elif name == "walk_frontier":
        assert len(arbolus.walk_frontier(root, (ast.Constant,))) == 2**PAST_FIRST_CHECK
    elif name == "walk_frontier_events":
        events = arbolus.walk_frontier_events(root, (ast.And,), ())
        assert len(events) == 2**PAST_FIRST_CHECK - 1
    elif name == "set_parents":
        assert arbolus.set_parents(root) is None
        assert root.values[0].values[1].parent is root.values[0]
    elif name == "fix_missing_locations":
        assert arbolus.fix_missing_locations(root) is root
        assert root.values[0].values[0].lineno == 1
    elif name == "subtree_hashes":
        assert len(arbolus.subtree_hashes(root)) == 2 * PAST_FIRST_CHECK + 1


@pytest.mark.parametrize(
    "name", ["walk_frontier", pytest.param("walk_frontier_events", marks=SLOW_MARKS)])
def test_path_back_to_a_matching_root_is_no_cycle(name):
    # The root is descended as the root; met again below itself it is a
    # match and is not descended, so the walk ends. It must also end without
    # error when it is long enough for the cycle search to run.
    root = ast.If(ast.Name("t", ast.Load()), [ast.Expr(doubling(PAST_FIRST_CHECK))], [])
    back = ast.While(ast.Constant(1), [root], [])
    root.orelse.append(back)
    if name == "walk_frontier":
        assert arbolus.walk_frontier(root, (ast.If,)) == [root]
    else:
        assert arbolus.walk_frontier_events(root, (ast.If,), (ast.While,)) == [
            (1, back), (0, root), (2, back)]


def test_root_met_again_below_itself_is_still_descended_by_typed_walk():
    # walk_of_types descends the root object wherever it occurs, also when
    # its class is pruned: a path back to it is a cycle.
    root = ast.If(ast.Name("t", ast.Load()), [], [])
    root.orelse.append(ast.While(ast.Constant(1), [root], []))
    with pytest.raises(ValueError, match="cycle"):
        arbolus.walk_of_types(root, (ast.While,), (ast.If,))


class Closer(ast.expr):
    """Its field, read a second time, turns a later node into a self-loop."""

    _fields = ("value",)

    def __init__(self, loop):
        super().__init__()
        self.__dict__["loop"] = loop
        self.__dict__["reads"] = 0

    @property
    def value(self):
        self.__dict__["reads"] += 1
        if self.__dict__["reads"] == 2:
            loop = self.__dict__["loop"]
            loop.operand = loop
        return None


@slow
@pytest.mark.parametrize("name", ["walk_of_types", "set_parents", "subtree_hashes"])
def test_cycle_made_after_the_first_search_is_found_later(name):
    # The first search (at 2**24 visits, while the walk is still inside the
    # shared subtrees) reads the property once and finds no cycle; the walk's
    # own read closes one, which the search at 2**25 visits finds.
    loop = ast.UnaryOp(ast.Not(), ast.Constant(0))
    tree = ast.Module([ast.Expr(doubling(PAST_FIRST_CHECK)), ast.Expr(Closer(loop)),
                       ast.Expr(loop)], [])
    with pytest.raises(ValueError, match="cycle"):
        CALLS[name](tree)
    # The first search, the walk, the second search.
    assert tree.body[1].value.__dict__["reads"] == 3
