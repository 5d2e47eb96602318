"""Random trees against small Python models of every function.

Trees are drawn with Hypothesis from real node classes and user subclasses,
built with positional or keyword arguments in any order or attribute by
attribute, with fields deleted and assigned again, extra attributes, shared
nodes, and field values that are no nodes (lists of mixed items, nested
lists, tuples, list subclasses, bare `ast.AST` instances).

The two families of walk find children differently, and the models follow
each one:

- the fast walks (walk_dfs, walk, walk_unordered, _walk_count) read the
  field names the thread's class table recorded, from the instance
  dictionary, else from a plain class attribute, which lookup finds before
  any `__getattr__` is asked (they run no code, so a descriptor is not
  asked), and accept a child only if its class's base, or that base's
  base, is `ast.AST` (or `ast.expr` for the latter);
- every other function reads the fields named in `_fields` (dictionary
  first, then attribute lookup) and accepts any subclass of `ast.AST` whose
  base is not `object`.

All calls run on one worker thread whose class table is built right after
the model's copy of it is taken. ARBOLUS_HYPOTHESIS_EXAMPLES=N runs N
examples instead of 100.
"""

import ast
import concurrent.futures
import contextlib
import os
import sys
import warnings
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import arbolus

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
reference = pytest.importorskip("fingerprint_reference")
from conftest import CONSTRUCTORS_NEED_REQUIRED_FIELDS, FREE_THREADED_313, default_context, required_fields

EXAMPLES = int(os.environ.get("ARBOLUS_HYPOTHESIS_EXAMPLES", "100"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, derandomize=False,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
MAX_VISITS = 400


class SubName(ast.Name):  # base Name, whose base is expr: a node to both
    pass


class SubIf(ast.If):  # base If, whose base is stmt: not for the fast walks
    pass


class SubConst(ast.Constant):
    pass


class SubSubConst(SubConst):  # base's base is Constant: not for the fast walks
    pass


class Pair(ast.AST):
    _fields = ("first", "second")


class Loose(ast.expr):
    _fields = ("a", 7, "b")  # the engine reads a and b; the fast walks count 3


class Listed(ast.stmt):
    _fields = ["body"]  # no tuple: no fields to the engine, one to the fast walks


DEFAULT = ast.Name("default", ast.Load())


class Defaulted(ast.expr):
    _fields = ("value", "extra")
    extra = DEFAULT  # read by attribute lookup when the instance has none


class Asked(ast.expr):
    _fields = ("value", "extra")
    extra = DEFAULT  # found before __getattr__ is asked, so read by both

    def __getattr__(self, name):  # asked for a missing `value`: it stays missing
        raise AttributeError(name)


class ListSubclass(list):
    pass


REAL = [ast.BinOp, ast.UnaryOp, ast.Expr, ast.If, ast.Call, ast.List, ast.Name,
        ast.Constant, ast.keyword, ast.Return]
LEAVES = [ast.Load, ast.Add, ast.Not]
USER = [SubName, SubIf, SubConst, SubSubConst, Pair, Defaulted]
ODD = [Loose, Listed, Asked]  # built attribute by attribute only
POOL = REAL + LEAVES + USER + ODD
EXTRAS = ["lineno", "col_offset", "end_lineno", "end_col_offset", "tag", "parent"]
LOCATIONS = ["lineno", "col_offset", "end_lineno", "end_col_offset"]

# ---------------------------------------------------------------- node tests


def is_node(value):
    base = type(value).__base__
    return base is not None and base is not object and issubclass(type(value), ast.AST)


def is_fast_node(value):
    base = type(value).__base__
    if base is None or base is object:
        return False
    return base is ast.AST or base.__base__ in (ast.AST, ast.expr)


# ------------------------------------------------------------- model: walks


GONE = object()


def class_value(cls, name):
    """What the class holds under `name` when no descriptor decides."""
    for klass in cls.__mro__:
        if name in vars(klass):
            value = vars(klass)[name]
            return GONE if hasattr(type(value), "__get__") else value
    return GONE


def field_names(cls):
    """The str items of a tuple `_fields` (at most 254); nothing otherwise."""
    try:
        fields = cls._fields
    except Exception:  # noqa: BLE001 - no readable _fields
        return ()
    return tuple(f for f in fields if isinstance(f, str))[:254] if isinstance(fields, tuple) else ()


def table_snapshot():
    """Class -> its field names, for every class reachable from ast.AST
    through __subclasses__, as the thread's table records them."""
    table, stack = {}, [ast.AST]
    while stack:
        cls = stack.pop()
        if cls not in table:
            table[cls] = field_names(cls)
            stack.extend(cls.__subclasses__())
    return table


class Model:
    def __init__(self, table):
        self.table = table

    def fast_children(self, node):
        out = []
        for name in self.table.get(type(node), ()):
            value = vars(node).get(name, GONE)
            if value is GONE:
                value = class_value(type(node), name)
            if type(value) is list:
                out.extend(v for v in value if is_fast_node(v))
            elif is_fast_node(value):
                out.append(value)
        return out

    def walk_dfs(self, root):
        out, stack = [], [root]
        while stack:
            node = stack.pop()
            out.append(node)
            stack.extend(reversed(self.fast_children(node)))
        return out

    def walk_unordered(self, root):
        out, stack = [], [root]
        while stack:
            batch = [stack.pop() for _ in range(min(4, len(stack)))]
            for node in batch:
                out.append(node)
                stack.extend(reversed(self.fast_children(node)))
        return out


def fields_of(cls):
    names = getattr(cls, "_fields", ())
    return [n for n in names if isinstance(n, str)] if isinstance(names, tuple) else []


def read_fields(node):
    """(position, value) of each field the engine reads, in field order."""
    d = node.__dict__
    for i, name in enumerate(fields_of(type(node))):
        if name in d:
            yield i, name, d[name]
            continue
        try:
            yield i, name, getattr(node, name)
        except AttributeError:
            continue


def edges(node):
    """(child, field, index) of each child the engine pushes."""
    out = []
    for _, name, value in read_fields(node):
        if type(value) is list:
            out.extend((v, name, i) for i, v in enumerate(value) if is_node(v))
        elif is_node(value):
            out.append((value, name, -1))
    return out


def engine_preorder(root):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed([c for c, _, _ in edges(node)]))
    return out


def frontier_edges(root, kinds):
    out = []
    stack = [(c, root, f, i) for c, f, i in reversed(edges(root))]
    while stack:
        edge = stack.pop()
        if type(edge[0]) in kinds:
            out.append(edge)
        else:
            stack.extend((c, edge[0], f, i) for c, f, i in reversed(edges(edge[0])))
    return out


def of_types(root, kinds, prune):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        if node is root or type(node) not in prune:
            stack.extend(reversed([c for c, _, _ in edges(node)]))
        if type(node) in kinds:
            out.append(node)
    return out


def events(root, kinds, bracket):
    out, stack = [], []

    def descend(node):
        if type(node) in bracket:
            out.append((1, node))
            stack.append(("close", node))
        stack.extend(("visit", c) for c, _, _ in reversed(edges(node)))

    descend(root)
    while stack:
        step, node = stack.pop()
        if step == "close":
            out.append((2, node))
        elif type(node) in kinds:
            out.append((0, node))
        else:
            descend(node)
    return out


MASK = 2**64 - 1


def mix(h, x):
    h = ((h << 5) | (h >> 59)) & MASK
    return ((h ^ x) * 0x9E3779B97F4A7C15) & MASK


def subtree_hashes(root):
    hashes = {}

    def value_hash(v):
        if is_node(v) or type(v) is ast.AST:
            return hashes[id(v)] if id(v) in hashes else subtree_hashes(v)[id(v)] & MASK
        if isinstance(v, list):  # any list class, at any depth
            part = mix(MASK, len(v))
            for item in v:
                part = mix(part, value_hash(item))
            return part
        plain = v is None or v is ... or type(v) in (str, bytes, int, bool)
        return mix(id(type(v)), hash(v if plain else repr(v)) & MASK)

    for node in reversed(engine_preorder(root)):
        if id(node) in hashes:
            continue
        acc = mix(0, id(type(node)))
        for i, _, value in read_fields(node):
            acc = mix(mix(acc, i), value_hash(value))
        hashes[id(node)] = acc
    return {k: h - 2**64 if h >= 2**63 else h for k, h in hashes.items()}


def parents_after(root):
    """id(child) -> (child, the last parent visited)."""
    out = {}
    for node in engine_preorder(root):
        for child, _, _ in edges(node):
            out[id(child)] = (child, node)
    return out


def locations_after(root):
    """id(node) -> (node, {attribute: value}) for every declared location
    attribute once the repair has run."""
    final = {}
    records = [(1, 0, 1, 0)]
    stack = [(root, 0)]
    while stack:
        node, inherit = stack.pop()
        attributes = getattr(type(node), "_attributes", ())
        declared = [a for a in attributes if isinstance(a, str)] \
            if isinstance(attributes, tuple) else []
        if any(a in LOCATIONS for a in declared):
            seen = final.setdefault(id(node), (node, dict(node.__dict__)))[1]
            record = list(records[inherit])
            for a, name in enumerate(LOCATIONS):
                if name not in declared:
                    continue
                value = seen.get(name, GONE)
                if value is not GONE and not (value is None and a >= 2):
                    record[a] = value
                else:
                    seen[name] = record[a]
            records.append(tuple(record))
            inherit = len(records) - 1
        stack.extend((c, inherit) for c, _, _ in reversed(edges(node)))
    return final


# --------------------------------------------------------------- tree drawing


class Drawn:
    """What was built for one tree: the nodes in building order, a bound on
    the visits below each, which were used as values, and weak references to everything that must be gone afterwards."""

    def __init__(self):
        self.nodes = []
        self.weights = []
        self.used = set()
        self.refs = []

    def keep(self, node):
        self.refs.append(weakref.ref(node))
        return node


def draw_node_ref(data, drawn, budget):
    """An earlier node (preferably not yet used elsewhere), or None."""
    fits = [i for i, w in enumerate(drawn.weights) if w <= budget[0]]
    if not fits:
        return None
    fresh = [i for i in fits if i not in drawn.used]
    pick = data.draw(st.sampled_from(fresh if fresh and data.draw(st.integers(0, 4)) else fits))
    drawn.used.add(pick)
    budget[0] -= drawn.weights[pick]
    budget[1] += drawn.weights[pick]
    return drawn.nodes[pick]


def draw_value(data, drawn, budget):
    kind = data.draw(st.sampled_from(
        ["node", "node", "node", "list", "list", "none", "int", "str", "nested", "tuple",
         "sublist", "bare", "float"]))
    if kind in ("node", "nested", "tuple", "sublist", "list"):
        count = 1 if kind == "node" else data.draw(st.integers(0, 4))
        items = []
        for _ in range(count):
            ref = draw_node_ref(data, drawn, budget)
            items.append(ref if ref is not None and data.draw(st.integers(0, 3))
                         else data.draw(st.sampled_from([3, "s", None, (1, 2)])))
        if kind == "node":
            return items[0]
        if kind == "nested":
            return [items, *items[:1]]
        if kind == "tuple":
            return tuple(items)
        if kind == "sublist":
            return ListSubclass(items)
        return items
    if kind == "bare":
        return ast.AST()  # not a node to either test
    return {"none": None, "int": 7, "str": "text", "float": -0.0}[kind]


def build_node(data, drawn):
    cls = data.draw(st.sampled_from(POOL))
    budget = [MAX_VISITS, 1]  # room left, visits of this node
    values = {}
    for name in fields_of(cls) or (["body"] if cls is Listed else []):
        if data.draw(st.integers(0, 5)):
            values[name] = draw_value(data, drawn, budget)
    order = data.draw(st.permutations(list(values)))
    modes = ["setattr"] if cls in ODD or (
        CONSTRUCTORS_NEED_REQUIRED_FIELDS and not set(required_fields(cls)) <= set(values)
    ) else ["keywords", "setattr"]
    if cls in REAL and len(values) == len(cls._fields):
        modes.append("positional")
    mode = data.draw(st.sampled_from(modes))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # missing fields
        if mode == "positional":
            node = cls(*[values[f] for f in cls._fields])
        elif mode == "keywords":
            node = cls(**{f: values[f] for f in order})
        else:
            node = cls.__new__(cls)
            for f in order:
                setattr(node, f, values[f])
    for name in data.draw(st.lists(st.sampled_from(EXTRAS), max_size=3, unique=True)):
        value = (draw_node_ref(data, drawn, budget) if name in ("tag", "parent")
                 else data.draw(st.sampled_from([5, None, 1000])))
        setattr(node, name, value)
    for name in data.draw(st.lists(st.sampled_from(sorted(vars(node)) or ["x"]),
                                   max_size=3, unique=True)):
        if name not in vars(node):
            continue
        value = getattr(node, name)
        delattr(node, name)
        if data.draw(st.booleans()):
            setattr(node, name, value)
    drawn.nodes.append(drawn.keep(node))
    # Every node value anywhere adds its visits: a bound for both walks.
    drawn.weights.append(budget[1] + (2 if cls in (Defaulted, Asked) else 0))
    return node


def draw_tree(data):
    drawn = Drawn()
    for _ in range(data.draw(st.integers(1, 30))):
        build_node(data, drawn)
    body = [n for i, n in enumerate(drawn.nodes) if i not in drawn.used]
    root = drawn.keep(ast.Module(body, []))
    return root, drawn


def class_tuple(root, drawn, min_size=0):
    """Tuples of classes that occur in the tree, or of some that never match."""
    present = sorted({type(n) for n in drawn.nodes} | {type(root)}, key=lambda c: c.__name__)
    return st.lists(st.sampled_from(present + [ast.expr, int]), min_size=min_size,
                    max_size=4).map(tuple)


# ------------------------------------------------------------------ the tests

WORKER = concurrent.futures.ThreadPoolExecutor(1)
TABLE = WORKER.submit(lambda: (table_snapshot(), arbolus._walk_count(None))[0]).result()


def on_worker(function, *args):
    result = WORKER.submit(function, *args).result()
    # The worker drops its hold on the arguments only after handing over the
    # result; once it has run the next item, it has.
    WORKER.submit(int).result()
    return result


def ids(nodes):
    return [id(n) for n in nodes]


def check_tree(root, drawn, kinds, prune, bracket):
    model = Model(TABLE)
    order = model.walk_dfs(root)
    assert ids(arbolus.walk_dfs(root)) == ids(order)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert ids(arbolus.walk(root)) == ids(order)
    assert arbolus._walk_count(root) == len(order)
    assert ids(arbolus.walk_unordered(root)) == ids(model.walk_unordered(root))

    expected = frontier_edges(root, kinds)
    assert ids(arbolus.walk_frontier(root, kinds)) == ids(e[0] for e in expected)
    assert [(id(n), id(p), f, i) for n, p, f, i in arbolus.walk_frontier_edges(root, kinds)] \
        == [(id(n), id(p), f, i) for n, p, f, i in expected]
    assert ids(arbolus.walk_of_types(root, kinds, prune)) == ids(of_types(root, kinds, prune))
    assert [(c, id(n)) for c, n in arbolus.walk_frontier_events(root, kinds, bracket)] \
        == [(c, id(n)) for c, n in events(root, kinds, bracket)]

    try:
        hashes = subtree_hashes(root)
    except Exception as exc:
        # Where a node's repr shows its fields, the repr of a leaf holding
        # a node with a field missing or odd fields fails: the hash fails
        # alike.
        for hash_call in (arbolus.subtree_hashes, arbolus.subtree_hash):
            with pytest.raises(type(exc)):
                hash_call(root)
    else:
        assert arbolus.subtree_hashes(root) == hashes
        assert arbolus.subtree_hash(root) == hashes[id(root)]

    # The tree, and its body as a root of its own (a list of mixed items).
    for top in (root, root.body):
        try:
            prints = reference.subtree_fingerprints(top)
        except (TypeError, RecursionError) as exc:
            # A leaf without a fingerprint, a class without a str module.
            for fingerprint_call in (arbolus.subtree_fingerprints, arbolus.subtree_fingerprint):
                with pytest.raises(type(exc)):
                    fingerprint_call(top)
        else:
            assert arbolus.subtree_fingerprints(top) == prints
            assert arbolus.subtree_fingerprint(top) == prints[id(top)]

    locations = locations_after(root)
    assert arbolus.fix_missing_locations(root) is root
    for node, expected_values in locations.values():
        for name, value in expected_values.items():
            if name in LOCATIONS:
                assert node.__dict__.get(name, GONE) is value, (node, name)

    parents = parents_after(root)
    had_parent = root.__dict__.get("parent", GONE)
    assert arbolus.set_parents(root) is None
    assert all(child.parent is parent for child, parent in parents.values())
    assert root.__dict__.get("parent", GONE) is had_parent


# Shared by every example: the class default above and the context object
# that node classes fill in when `ctx` is not given (the parser's own),
# where they do.
SHARED = [DEFAULT] + [ctx for ctx in [default_context()] if ctx is not None]


def all_released(refs):
    """Whether everything built for an example is gone once the parent
    links (the only cycles left) are cut. No collection runs: over a
    session's worth of parsed trees a full one costs far more than an
    example."""
    for node in SHARED + [r() for r in refs]:
        if node is not None:
            node.__dict__.pop("parent", None)
    del node
    return [r() for r in refs if r() is not None] == []


@SETTINGS
@given(st.data())
def test_random_trees_match_the_models(data):
    # Trees are drawn here (drawing needs the test's thread); the module is
    # called on the worker.
    root, drawn = draw_tree(data)
    kinds = data.draw(class_tuple(root, drawn, min_size=1))
    prune, bracket = (data.draw(class_tuple(root, drawn)) for _ in range(2))
    on_worker(check_tree, root, drawn, kinds, prune, bracket)
    refs = drawn.refs
    del root, drawn
    assert all_released(refs)


# ------------------------------------------- trees that change while walked


class Changer(ast.expr):
    """A field whose read edits the tree: a few times, then no more."""

    _fields = ("value",)

    @property
    def value(self):
        act(self.__dict__["plan"], self.__dict__["drawn"])
        return self.__dict__.get("held")


class ChangingRepr:
    def __init__(self, plan, drawn):
        self.plan, self.drawn = plan, drawn

    def __repr__(self):
        act(self.plan, self.drawn)
        return "ChangingRepr()"


def act(plan, drawn):
    """Carries out the next step of `plan` on the drawn nodes."""
    if not plan or drawn.busy:
        return
    what, k = plan.pop()
    node = drawn.nodes[k % len(drawn.nodes)]
    drawn.busy = True
    try:
        fresh = drawn.keep(ast.Name(f"new{len(plan)}"))  # the shared context
        lists = [v for v in vars(node).values() if type(v) is list]
        if what == "clear" and lists:
            lists[0].clear()
        elif what == "append" and lists:
            lists[0].append(fresh)
        elif what == "replace" and fields_of(type(node)):
            setattr(node, fields_of(type(node))[0], fresh)
        elif what == "delete" and vars(node):
            delattr(node, next(iter(vars(node))))
        elif what == "reenter":
            arbolus.walk_of_types(drawn.root, (ast.Name,))
            hash_or_fail_as_model(arbolus.subtree_hashes, drawn.root, drawn)
            with contextlib.suppress(TypeError):
                arbolus.subtree_fingerprint(drawn.root)
            arbolus.set_parents(node)
    finally:
        drawn.busy = False


PLAN = st.lists(st.tuples(st.sampled_from(["clear", "append", "replace", "delete", "reenter"]),
                          st.integers(0, 100)), max_size=6)
CALLS = [
    lambda t: arbolus.walk_frontier(t, (ast.Name,)),
    lambda t: arbolus.walk_frontier_edges(t, (ast.Call, ast.Name)),
    lambda t: arbolus.walk_of_types(t, (ast.Name, Changer), (ast.If,)),
    lambda t: arbolus.walk_frontier_events(t, (ast.Constant,), (ast.Expr, Changer)),
    arbolus.fix_missing_locations, arbolus.set_parents, arbolus.subtree_hashes,
    arbolus.subtree_hash, arbolus.subtree_fingerprints, arbolus.subtree_fingerprint,
]
FINGERPRINTS = (arbolus.subtree_fingerprints, arbolus.subtree_fingerprint)


def hash_or_fail_as_model(hash_call, root, drawn):
    """A hash of a tree that may hold a leaf whose repr fails (where a
    node's repr shows its fields, one with a field missing or odd fields):
    it fails where the model does. When the tree changed during the hash,
    the failing leaf may be one the hash read before it was taken out: the
    failure is then only of the kind such a repr raises."""
    plans = [len(plan) for plan in drawn.plans]
    try:
        hash_call(root)
    except (AttributeError, TypeError) as exc:
        if [len(plan) for plan in drawn.plans] != plans:
            return
        busy, drawn.busy = drawn.busy, True  # the model reads reprs, which would act
        try:
            with pytest.raises(type(exc)):
                subtree_hashes(root)
        finally:
            drawn.busy = busy


def change_while_walking(root, drawn, calls):
    # The edits only ever add fresh nodes or take nodes away: no call has
    # reason to fail, whatever it reads, but for a hash that meets a leaf
    # whose repr fails.
    for call in calls:
        if call in (arbolus.subtree_hashes, arbolus.subtree_hash):
            hash_or_fail_as_model(call, root, drawn)
        elif call in FINGERPRINTS:
            # The changing leaves have no fingerprint: the call ends there,
            # having read what it read, unless an edit took them all out.
            with contextlib.suppress(TypeError):
                call(root)
        else:
            call(root)


def draw_changing_tree(data):
    root, drawn = draw_tree(data)
    drawn.root, drawn.busy, drawn.plans = root, False, []
    for _ in range(data.draw(st.integers(1, 3))):
        changer = drawn.keep(Changer.__new__(Changer))
        held = data.draw(st.integers(-1, len(drawn.nodes) - 1))
        drawn.plans += [data.draw(PLAN), data.draw(PLAN)]
        changer.__dict__.update(plan=drawn.plans[-2], drawn=drawn,
                                held=drawn.nodes[held] if held >= 0 else None)
        root.body.insert(data.draw(st.integers(0, len(root.body))), drawn.keep(ast.Expr(changer)))
        leaf = ast.Constant(ChangingRepr(drawn.plans[-1], drawn))
        root.body.insert(data.draw(st.integers(0, len(root.body))), drawn.keep(leaf))
    return root, drawn


# On the free-threaded 3.13 an example's nodes were once found alive after
# the walk (no collection runs here). Not diagnosed yet; it still runs and
# reports.
@pytest.mark.xfail(FREE_THREADED_313, strict=False,
                   reason="free-threaded 3.13: nodes found alive without a collection, not yet diagnosed")
@settings(SETTINGS, max_examples=max(EXAMPLES // 2, 10))
@given(st.data())
def test_trees_changed_while_walked_leave_nothing_behind(data):
    root, drawn = draw_changing_tree(data)
    on_worker(change_while_walking, root, drawn, data.draw(st.permutations(CALLS)))
    refs = drawn.refs
    drawn.__dict__.clear()  # the plans refer back to the drawn nodes
    del root, drawn
    assert all_released(refs)
