"""The module's surface, the argument binding shared by every function, and the
once-per-process deprecation warning of `walk`."""

import ast
import collections
import inspect
import json
import subprocess
import sys

import pytest

import arbolus

# Every function's doc text, signature prefix included, in registration order
# (also the order of __all__).
DOCS = {
    "walk": "walk(node)\n--\n\nDeprecated. Use `walk_dfs` for explicit depth-first order, or\n`walk_unordered` where the caller must not depend on the order.\n\nEmits a `DeprecationWarning` once per process on the first call, then\ndelegates to `walk_dfs`. The warning is gated behind an atomic flag\nso repeated calls don't pay the cost of the `warnings.warn` machinery.",
    "walk_dfs": "walk_dfs(node)\n--\n\nWalk the AST rooted at `node` in strict depth-first pre-order and\nreturn every descendant (including `node` itself) as a list.\n\nThe nodes of `list(ast.walk(node))`, which is breadth-first, in\npre-order. Measured 14–37× faster than it on trees that fit in\nthe caches and 8–16× on trees that do not (CPython 3.13 to 3.15;\nthe README's Benchmark section).",
    "walk_unordered": "walk_unordered(node)\n--\n\nWalk the AST rooted at `node` and return every descendant (including\n`node` itself) as a list: every node after its parent, in an order\nnot otherwise specified.\n\nThe set of returned nodes is identical to `walk_dfs` and to\n`ast.walk`; only the order differs. It is for callers that must not\ndepend on the order, not for speed: its batched order runs more\ninstructions per node than `walk_dfs` and is usually a little slower.",
    "walk_frontier": "walk_frontier(node, kinds)\n--\n\nReturn the descendants of `node` whose exact type is one of `kinds`, in\ndepth-first pre-order, without descending below any match. `node`\nitself is never included.",
    "walk_frontier_edges": "walk_frontier_edges(node, kinds)\n--\n\nLike `walk_frontier`, but each match comes as `(node, parent, field,\nindex)`: the node was read from `parent.<field>` when `index` is `-1`,\nelse from `parent.<field>[index]`.",
    "walk_of_types": "walk_of_types(node, kinds, prune=None)\n--\n\nReturn every node under `node` (`node` included) whose exact type is in\n`kinds`, in depth-first pre-order. Unlike `walk_frontier`, matches are\ndescended into, except a node whose exact type is in `prune`: it is\nreturned if it matches, and its children are skipped. `node` itself is\nalways descended.",
    "fix_missing_locations": "fix_missing_locations(node)\n--\n\n`ast.fix_missing_locations`, without recursing per tree level. Returns\n`node`.",
    "subtree_hashes": "subtree_hashes(node)\n--\n\nA structural hash per node, keyed by `id(node)`. Two subtrees that would\ngive the same `ast.dump` get the same hash; a leaf value's type is mixed\nin, so `1`, `1.0` and `True` (equal hashes in Python) stay apart. A leaf\nthat is not a str, bytes, int, bool, None or Ellipsis is hashed by its\n`repr`, as `ast.dump` prints it: NaNs compare equal there and `-0.0` and\n`0.0` do not, and a list constant has a repr where it has no hash.",
    "subtree_hash": "subtree_hash(node)\n--\n\n`subtree_hashes(node)[id(node)]`, without building the dict.",
    "set_parents": "set_parents(node)\n--\n\nSet `child.parent = parent` for every node under `node`, visiting parents\nin depth-first pre-order and each parent's children in\n`ast.iter_child_nodes` order. `node` itself is left alone.",
    "walk_frontier_events": "walk_frontier_events(node, kinds, bracket)\n--\n\nThe calls a `NodeVisitor` makes descending from `node`, as a list of\n`(event, node)` pairs: `(0, n)` for a descendant whose exact type is in\n`kinds` (dispatched, not descended), and `(1, n)` / `(2, n)` around the\ndescent of a node whose exact type is in `bracket`. `node` itself is\nalways descended, and bracketed if its type is in `bracket`.",
    "_walk_count": "_walk_count(node)\n--\n\nBenchmarking-only. Traverse the AST and return the node count without\nmaterializing a result list. Isolates traversal cost from list-build\ncost for profiling deltas.",
    "subtree_fingerprints": "subtree_fingerprints(node)\n--\n\nA 16-byte fingerprint per node, keyed by `id(node)`: a 128-bit Merkle\nhash (XXH3-128) of the subtree's classes by module and qualified name,\nits fields by name, list items in order and leaves by exact type and\nvalue, laid out in docs/fingerprints.md. Unlike `subtree_hashes`, it is\nthe same in every process, under any hash seed and on every supported\nversion. Fields holding `None` or an empty list count as absent. A leaf\nthat is not an exact str, bytes, int, float, complex, bool, None,\nEllipsis, or a tuple or frozenset of such, raises `TypeError`. Not made\nto resist crafted collisions: compare `ast.dump` texts for untrusted\ninput. The root may also be a list or tuple, fingerprinted by its items as\na list field is (a body, a window of statements), or a leaf value.",
    "subtree_fingerprint": "subtree_fingerprint(node)\n--\n\n`subtree_fingerprints(node)[id(node)]`, without building the dict.",
}

TREE_SOURCE = "def f(a, b=1):\n    x = a + b\n    return [x for x in range(a)]\n"
VALUES = {"kinds": (ast.Name, ast.ListComp), "prune": (ast.ListComp,), "bracket": (ast.Assign,)}


def params_of(name):
    """[(parameter, has_default)] from the signature line of the doc text."""
    inner = DOCS[name].split("\n", 1)[0][len(name) + 1 : -1]
    return [(p.split("=")[0], "=" in p) for p in inner.split(", ")]


def type_error(call):
    with pytest.raises(TypeError) as info:
        call(ast.parse("x"))
    return info.value


class Holder:
    class Inner(list):
        pass


Pair = collections.namedtuple("Pair", "first second")


# The patterns' names, after the functions above (tests/test_patterns.py).
PATTERN_NAMES = ["compile_patterns", "PatternError", "Patterns"]


def test_module_attributes():
    assert arbolus.__all__ == list(DOCS) + PATTERN_NAMES and type(arbolus.__all__) is list
    assert arbolus.__doc__ == ""
    own = {k for k in vars(arbolus) if not (k.startswith("__") and k.endswith("__"))}
    assert own == set(DOCS) | set(PATTERN_NAMES)
    # The internal-fault class in particular is not reachable from the module.
    classes = [v for v in vars(arbolus).values() if isinstance(v, type)]
    assert classes == [arbolus.PatternError, arbolus.Patterns]


@pytest.mark.parametrize("name", list(DOCS))
def test_function_signature_and_doc(name):
    f = getattr(arbolus, name)
    assert (f.__name__, f.__module__, f.__self__) == (name, "arbolus", arbolus)
    head, body = DOCS[name].split("\n--\n\n", 1)
    assert f.__text_signature__ == head[len(name) :]
    assert f.__doc__ == body
    params = inspect.signature(f).parameters.values()
    assert [(p.name, p.default is not p.empty) for p in params] == params_of(name)
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [p.default for p in params if p.default is not p.empty] in ([], [None])


# `walk` is left out: its first successful call changes process-wide state.
@pytest.mark.parametrize("name", [n for n in DOCS if n != "walk"])
def test_keywords_bind_like_positionals(name):
    f = getattr(arbolus, name)
    tree = ast.parse(TREE_SOURCE)
    values = {"node": tree, **VALUES}
    names = [p for p, _ in params_of(name)]
    positional = f(*(values[p] for p in names))
    assert f(**{p: values[p] for p in reversed(names)}) == positional
    assert f(tree, **{p: values[p] for p in names[1:]}) == positional
    if "prune" in names:
        kinds = values["kinds"]
        assert f(tree, kinds) == f(tree, kinds, None) == f(tree, kinds, prune=None) != positional


def test_tuple_subclasses_are_accepted():
    tree, pair = ast.parse(TREE_SOURCE), Pair(ast.Name, ast.Assign)
    plain = tuple(pair)
    assert arbolus.walk_frontier(tree, pair) == arbolus.walk_frontier(tree, plain)
    assert arbolus.walk_frontier_edges(tree, pair) == arbolus.walk_frontier_edges(tree, plain)
    assert arbolus.walk_of_types(tree, pair, pair) == arbolus.walk_of_types(tree, plain, plain)
    events = arbolus.walk_frontier_events
    assert events(tree, pair, pair) == events(tree, plain, plain)


@pytest.mark.parametrize("name", list(DOCS))
def test_too_many_positional_arguments(name):
    params = params_of(name)
    p, r = len(params), sum(not d for _, d in params)
    takes = f"{p}" if r == p else f"from {r} to {p}"
    for given in (p + 1, p + 3):
        # Reported before any keyword is looked at.
        err = type_error(lambda t: getattr(arbolus, name)(*range(given), nod=1, node=2))
        assert str(err) == f"{name}() takes {takes} positional arguments but {given} were given"


def test_too_many_positional_arguments_texts():
    err = type_error(lambda t: arbolus.walk_dfs(t, t))
    assert str(err) == "walk_dfs() takes 1 positional arguments but 2 were given"
    err = type_error(lambda t: arbolus.walk_of_types(t, (), (), ()))
    assert str(err) == "walk_of_types() takes from 2 to 3 positional arguments but 4 were given"


@pytest.mark.parametrize("name", list(DOCS))
@pytest.mark.parametrize("keyword", ["nod", "Node", "node\x00", "\udc80", "kinds "])
def test_unexpected_keyword(name, keyword):
    err = type_error(lambda t: getattr(arbolus, name)(**{keyword: t}))
    assert str(err) == f"{name}() got an unexpected keyword argument '{keyword}'"


W = arbolus  # keeps the case table below on one line per case


@pytest.mark.parametrize(
    "call, message",
    [
        # Keyword errors come before the missing-argument check, in the
        # order the caller wrote the keywords.
        (lambda t: W.walk_dfs(t, nod=1), "walk_dfs() got an unexpected keyword argument 'nod'"),
        (lambda t: W.walk_dfs(t, node=t), "walk_dfs() got multiple values for argument 'node'"),
        (lambda t: W.walk(t, node=t), "walk() got multiple values for argument 'node'"),
        (lambda t: W.walk_frontier(t, node=t), "walk_frontier() got multiple values for argument 'node'"),
        (lambda t: W.walk_frontier(t, (), kinds=()), "walk_frontier() got multiple values for argument 'kinds'"),
        (lambda t: W.walk_of_types(t, (), (), prune=()), "walk_of_types() got multiple values for argument 'prune'"),
        (lambda t: W.walk_frontier_events(t, (), (), bracket=()), "walk_frontier_events() got multiple values for argument 'bracket'"),
        (lambda t: W.walk_frontier(t, nod=1, node=t), "walk_frontier() got an unexpected keyword argument 'nod'"),
        (lambda t: W.walk_frontier(t, node=t, nod=1), "walk_frontier() got multiple values for argument 'node'"),
        # Missing arguments.
        (lambda t: W.walk_dfs(), "walk_dfs() missing 1 required positional argument: 'node'"),
        (lambda t: W.walk(), "walk() missing 1 required positional argument: 'node'"),
        (lambda t: W.walk_frontier(), "walk_frontier() missing 2 required positional arguments: 'node' and 'kinds'"),
        (lambda t: W.walk_frontier(t), "walk_frontier() missing 1 required positional argument: 'kinds'"),
        (lambda t: W.walk_frontier_edges(kinds=()), "walk_frontier_edges() missing 1 required positional argument: 'node'"),
        (lambda t: W.walk_of_types(prune=()), "walk_of_types() missing 2 required positional arguments: 'node' and 'kinds'"),
        (lambda t: W.walk_of_types(t, prune=None), "walk_of_types() missing 1 required positional argument: 'kinds'"),
        (lambda t: W.walk_frontier_events(), "walk_frontier_events() missing 3 required positional arguments: 'node', 'kinds', and 'bracket'"),
        (lambda t: W.walk_frontier_events(t), "walk_frontier_events() missing 2 required positional arguments: 'kinds' and 'bracket'"),
        (lambda t: W.walk_frontier_events(kinds=()), "walk_frontier_events() missing 2 required positional arguments: 'node' and 'bracket'"),
        (lambda t: W.walk_frontier_events(bracket=(), node=t), "walk_frontier_events() missing 1 required positional argument: 'kinds'"),
    ],
)
def test_keyword_and_missing_argument_errors(call, message):
    err = type_error(call)
    assert str(err) == message
    assert not hasattr(err, "__notes__")


@pytest.mark.parametrize(
    "call, message, param",
    [
        (lambda t: W.walk_frontier(t, [ast.Name]), "'list' object is not an instance of 'tuple'", "kinds"),
        (lambda t: W.walk_frontier(t, None), "'None' is not an instance of 'tuple'", "kinds"),
        (lambda t: W.walk_frontier_edges(t, ast.Name), "'type' object is not an instance of 'tuple'", "kinds"),
        (lambda t: W.walk_of_types(t, kinds=frozenset()), "'frozenset' object is not an instance of 'tuple'", "kinds"),
        (lambda t: W.walk_of_types(t, (), [1]), "'list' object is not an instance of 'tuple'", "prune"),
        # kinds is checked first.
        (lambda t: W.walk_of_types(t, [], []), "'list' object is not an instance of 'tuple'", "kinds"),
        (lambda t: W.walk_frontier_events(t, {}, None), "'dict' object is not an instance of 'tuple'", "kinds"),
        # None means "no set" only for prune.
        (lambda t: W.walk_frontier_events(t, (), None), "'None' is not an instance of 'tuple'", "bracket"),
        # The type is named by its qualified name.
        (lambda t: W.walk_frontier_events(t, (), Holder.Inner()), "'Holder.Inner' object is not an instance of 'tuple'", "bracket"),
    ],
)
def test_not_a_tuple(call, message, param):
    err = type_error(call)
    assert str(err) == message
    assert err.__notes__ == [f"while processing '{param}'"]


# --- the deprecation warning of `walk` ---------------------------------------
# Its flag lives for the whole process: every scenario runs in a fresh one.

WALK_MESSAGE = (
    "arbolus.walk is deprecated; use walk_dfs for strict depth-first order or "
    "walk_unordered for the faster order-agnostic variant"
)

PRELUDE = """\
import ast, json, threading, warnings
import arbolus
tree = ast.parse("x = a + 1")
expected = arbolus.walk_dfs(tree)
recorder = warnings.catch_warnings(record=True)
got = recorder.__enter__()
warnings.simplefilter("always")
def walk(*a, **k):
    return arbolus.walk(*a, **k) == expected  # CALL
def in_threads(n):
    barrier, results = threading.Barrier(n), []
    def run():
        barrier.wait()
        results.append(walk(tree))
    threads = [threading.Thread(target=run) for _ in range(n)]
    for th in threads: th.start()
    for th in threads: th.join()
    return results
"""

SCENARIOS = {
    # First call on the main thread, then more, also from other threads.
    "main-first": "out = [walk(tree), walk(node=tree), *in_threads(3)]",
    # Threads race for the first call.
    "threads-first": "out = [*in_threads(8), walk(tree)]",
    # A binding failure does not count as the first call.
    "binding-failure-first": """
out = []
for args, kw in [((), {}), ((tree, tree), {}), ((), {"nod": tree}), ((tree,), {"node": tree})]:
    try:
        walk(*args, **kw)
    except TypeError:
        out.append(len(got))
out.append(walk(tree))
""",
    # An ignored warning still sets the flag: an error filter installed
    # afterwards is never consulted.
    "ignored-first": """
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    out = [walk(tree)]
warnings.simplefilter("error")
out += [walk(tree), walk(tree)]
""",
    # The first call raises; the flag is set all the same.
    "error-filter": """
warnings.simplefilter("error", DeprecationWarning)
try:
    walk(tree)
except DeprecationWarning as e:
    out = [str(e)]
out.append(walk(tree))
""",
}


@pytest.mark.parametrize(
    "scenario, out, warned",
    [
        ("main-first", [True] * 5, True),
        ("threads-first", [True] * 9, True),
        ("binding-failure-first", [0, 0, 0, 0, True], True),
        ("ignored-first", [True] * 3, False),
        ("error-filter", [WALK_MESSAGE, True], False),
    ],
)
def test_walk_deprecation_warning(scenario, out, warned):
    code = PRELUDE + SCENARIOS[scenario] + "\nprint(json.dumps([out, [[w.category.__name__, str(w.message), w.lineno] for w in got]]))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got_out, warnings = json.loads(proc.stdout)
    assert got_out == out
    # Exactly one warning, attributed to the calling line (stack level 1).
    line = next(i for i, text in enumerate(code.splitlines(), 1) if "# CALL" in text)
    assert warnings == ([["DeprecationWarning", WALK_MESSAGE, line]] if warned else [])
