"""The two operations that write to trees: parent links and missing source
locations."""

import ast
import gc
import pathlib
import random
import sys
import warnings
import weakref

import pytest

import arbolus
from conftest import caught, fresh_tree, preorder, run_python

LOCATION_NAMES = ("lineno", "col_offset", "end_lineno", "end_col_offset")
MISSING = object()


class Boom(Exception):
    pass


BOOM = Boom("refused")
LOG = []


def record_store(self, name, value):
    LOG.append((self, name, value))
    ast.AST.__setattr__(self, name, value)


def recording(cls):
    """A subclass of the node class `cls` that logs every attribute store as
    (node, name, value). No mixin: before 3.12, a plain class among the
    bases gives instances a layout that `__class__` assignment refuses."""
    return type(cls.__name__, (cls,), {"__setattr__": record_store})


RModule, RExpr, RCall, RName, RConstant, RLoad, RPass = map(
    recording, [ast.Module, ast.Expr, ast.Call, ast.Name, ast.Constant, ast.Load, ast.Pass]
)


def unlink(nodes):
    for n in nodes:
        n.__dict__.pop("parent", None)


# --- set_parents --------------------------------------------------------------


@pytest.mark.parametrize("root_parent", [MISSING, "kept"])
def test_set_parents_store_order(root_parent):
    load = RLoad()
    name = RName(id="f", ctx=load)
    const = RConstant(value=1)
    call = RCall(func=name, args=[const], keywords=[])
    expr = RExpr(value=call)
    module = RModule(body=[expr], type_ignores=[])
    if root_parent is not MISSING:
        module.parent = root_parent
    LOG.clear()
    assert arbolus.set_parents(module) is None
    expected = [
        (expr, "parent", module),
        (call, "parent", expr),
        (name, "parent", call),
        (const, "parent", call),
        (load, "parent", name),
    ]
    assert LOG == expected
    assert module.__dict__.get("parent", MISSING) is root_parent
    # A second call writes the same values again.
    arbolus.set_parents(module)
    assert LOG == expected * 2


@pytest.fixture
def no_gc():
    # The session's corpus makes every full collection slow, and the walks
    # below allocate enough to trigger many; nothing they build is cyclic
    # garbage.
    gc.disable()
    yield
    gc.enable()


def expected_parents(tree):
    """(child, parent) as a plain pre-order loop over ast.iter_child_nodes
    would leave them: a node reached along several paths (the shared
    expression contexts of a parsed tree) keeps the last parent."""
    links = {}
    stack = [tree]
    while stack:
        p = stack.pop()
        kids = list(ast.iter_child_nodes(p))
        for k in kids:
            links[id(k)] = (k, p)
        kids.reverse()
        stack += kids
    return list(links.values())


@pytest.mark.usefixtures("no_gc")
def test_set_parents_matches_python_loop(corpus):
    # Every third file keeps this to a few seconds; the corpus trees are
    # shared, so the links are removed again afterwards.
    for path, tree in corpus[::3]:
        links = expected_parents(tree)
        try:
            arbolus.set_parents(tree)
            wrong = [(k, p) for k, p in links if k.__dict__.get("parent") is not p]
            assert not wrong, path
            assert "parent" not in tree.__dict__
        finally:
            unlink([k for k, _ in links])


@pytest.mark.parametrize("root", [5, None, "text", [ast.Pass()]], ids=repr)
def test_non_node_root_is_left_alone(root):
    assert arbolus.set_parents(root) is None
    assert arbolus.fix_missing_locations(root) is root
    if isinstance(root, list):
        assert root[0].__dict__ == {}


class ReadOnlyParent(ast.Pass):
    parent = property(lambda self: None)


class RefusingPass(ast.Pass):
    def __setattr__(self, name, value):
        raise BOOM


@pytest.mark.parametrize(
    "bad_cls, exc_type", [(ReadOnlyParent, AttributeError), (RefusingPass, Boom)]
)
def test_set_parents_failing_store(bad_cls, exc_type):
    inner = ast.Pass()
    first = ast.If(test=ast.Constant(value=True), body=[inner], orelse=[])
    last = ast.Pass()
    bad = bad_cls()
    module = ast.Module(body=[first, bad, last], type_ignores=[])
    nodes = [module, first, first.test, inner, bad, last]
    before = [sys.getrefcount(n) for n in nodes]

    exc = caught(arbolus.set_parents, module)
    assert type(exc) is exc_type
    if exc_type is Boom:
        assert exc is BOOM
    # Stores before the failure stay; nothing after it is written, and
    # children are linked only once their parent's stores are all done.
    assert first.parent is module
    assert [n for n in nodes if "parent" in n.__dict__] == [first]
    del exc
    unlink(nodes)
    assert [sys.getrefcount(n) for n in nodes] == before


def test_set_parents_survives_tree_changes_from_stores():
    class Clearing(ast.Pass):
        def __setattr__(self, name, value):
            value.body.clear()  # drop the later siblings from the tree
            LOG.append((self, name, value))
            super().__setattr__(name, value)

    module = ast.Module(
        body=[Clearing(), RExpr(value=RName(id="x", ctx=RLoad())), RPass()], type_ignores=[]
    )
    dropped = [weakref.ref(n) for n in module.body[1:]]
    LOG.clear()
    arbolus.set_parents(module)
    # The children read before the change are all linked and expanded.
    assert [type(n).__name__ for n, _, _ in LOG] == ["Clearing", "Expr", "Pass", "Name", "Load"]
    # Once the links are undone, nothing keeps the dropped nodes alive.
    unlink([n for n, _, _ in LOG])
    LOG.clear()
    assert [r() for r in dropped] == [None, None]


# --- fix_missing_locations ----------------------------------------------------


def locations(nodes):
    return [tuple(n.__dict__.get(a, MISSING) for a in LOCATION_NAMES) for n in nodes]


def strip(nodes, rng=None):
    """Removes location attributes (all of them, or a random choice of them,
    some set to None instead); returns what to undo a repair with."""
    undo = []
    for n in nodes:
        for a in n._attributes:
            if a not in n.__dict__:
                continue
            roll = 0.0 if rng is None else rng.random()
            if roll < 0.25:
                del n.__dict__[a]
                undo.append((n, a, MISSING))
            elif roll < 0.35:
                n.__dict__[a] = None
                undo.append((n, a, None))
    return undo


def undo_repair(undo):
    for n, a, value in undo:
        if value is MISSING:
            n.__dict__.pop(a, None)
        else:
            n.__dict__[a] = value


@pytest.mark.usefixtures("no_gc")
def test_fix_missing_locations_matches_stdlib(corpus):
    # A sample of the corpus: each file is parsed afresh for this test.
    rng = random.Random(1729)
    for path, _ in corpus[::15]:
        tree = fresh_tree(path)
        nodes = preorder(tree)
        for how in (rng, None):  # a random part first, then everything
            undo = strip(nodes, how)
            assert ast.fix_missing_locations(tree) is tree
            expected = locations(nodes)
            undo_repair(undo)
            assert arbolus.fix_missing_locations(tree) is tree
            assert locations(nodes) == expected, path
        try:
            compile(tree, str(path), "exec")
        except SyntaxError:
            # Some test files parse but are no valid program; their source
            # is refused the same way.
            with pytest.raises(SyntaxError):
                compile(path.read_bytes(), str(path), "exec")


def test_fix_missing_locations_writes_nothing_when_complete():
    tree = fresh_tree(pathlib.Path(ast.__file__))
    classes = {}
    for n in preorder(tree):
        # Only classes with locations: the parser shares one instance of
        # each context and operator between all trees.
        if n._attributes:
            cls = type(n)
            n.__class__ = classes.setdefault(cls, recording(cls))
    LOG.clear()
    assert arbolus.fix_missing_locations(tree) is tree
    assert LOG == []


def assert_like_stdlib(build):
    """Repairs two copies built by `build` with the standard library and
    with this module; returns the latter after comparing the two."""
    theirs, ours = build(), build()
    ast.fix_missing_locations(theirs)
    assert arbolus.fix_missing_locations(ours) is ours
    assert locations(preorder(ours)) == locations(preorder(theirs))
    return ours


def module_of(stmt):
    return ast.Module(body=[stmt], type_ignores=[])


@pytest.mark.parametrize(
    "stmt_locations, stmt_expected, name_expected",
    [
        ({}, (1, 0, 1, 0), (1, 0, 1, 0)),
        ({"lineno": 5}, (5, 0, 1, 0), (5, 0, 1, 0)),
        ({"lineno": 3, "col_offset": 2, "end_lineno": None, "end_col_offset": 7},
         (3, 2, 1, 7), (3, 2, 1, 7)),
        ({"lineno": None, "col_offset": 2, "end_lineno": 4, "end_col_offset": None},
         (None, 2, 4, 0), (None, 2, 4, 0)),
    ],
    ids=["none", "lineno-only", "end-lineno-None", "lineno-None"],
)
def test_inheritance_from_statement(stmt_locations, stmt_expected, name_expected):
    tree = assert_like_stdlib(
        lambda: module_of(ast.Expr(value=ast.Name(id="x", ctx=ast.Load()), **stmt_locations))
    )
    stmt = tree.body[0]
    assert locations([stmt, stmt.value]) == [stmt_expected, name_expected]
    assert "lineno" not in tree.__dict__


class LineOnly(ast.expr):
    _fields = ("child",)
    _attributes = ("lineno",)


@pytest.mark.parametrize("own_lineno, inherited", [(MISSING, 3), (8, 8)])
def test_class_declaring_only_lineno(own_lineno, inherited):
    def build():
        mid = LineOnly(child=ast.Name(id="x", ctx=ast.Load()))
        if own_lineno is not MISSING:
            mid.lineno = own_lineno
        return ast.Expr(value=mid, lineno=3, col_offset=4, end_lineno=3, end_col_offset=9)

    mid = assert_like_stdlib(build).value
    assert locations([mid, mid.child]) == [
        (inherited, MISSING, MISSING, MISSING),
        (inherited, 4, 3, 9),
    ]


def test_nodes_without_instance_dict():
    root = ast.Name.__new__(ast.Name)
    assert arbolus.fix_missing_locations(root) is root
    assert locations([root]) == [(1, 0, 1, 0)]

    child = ast.Name.__new__(ast.Name)
    stmt = ast.Expr(value=child, lineno=2, col_offset=3, end_lineno=4, end_col_offset=5)
    arbolus.fix_missing_locations(stmt)
    assert locations([child]) == [(2, 3, 4, 5)]


def test_class_attribute_is_not_a_present_location():
    class Defaulted(ast.expr):
        _fields = ()
        lineno = 7

    node = Defaulted()
    arbolus.fix_missing_locations(ast.Expr(value=node, lineno=3, col_offset=0))
    assert node.__dict__["lineno"] == 3


class RefusingEnd(ast.Pass):
    def __setattr__(self, name, value):
        if name == "end_lineno":
            raise BOOM
        super().__setattr__(name, value)


def test_fix_missing_locations_failing_write():
    first = ast.Expr(value=ast.Name(id="x", ctx=ast.Load()))
    bad = RefusingEnd()
    last = ast.Pass()
    module = ast.Module(body=[first, bad, last], type_ignores=[])
    assert caught(arbolus.fix_missing_locations, module) is BOOM
    # Earlier nodes are repaired, the failing node up to the refused write,
    # later nodes not at all.
    assert locations([first, first.value, bad, last]) == [
        (1, 0, 1, 0),
        (1, 0, 1, 0),
        (1, 0, MISSING, MISSING),
        (MISSING,) * 4,
    ]


def test_fix_missing_locations_forbidden_attribute():
    class Slotted:
        __slots__ = ("lineno",)
        _fields = ()
        _attributes = ("lineno", "col_offset")

    root = Slotted()
    assert type(caught(arbolus.fix_missing_locations, root)) is AttributeError
    assert root.lineno == 1


# --- stores honour the class's own assignment ------------------------------------


class SetOnly:
    """A data descriptor with a setter only."""

    def __init__(self, log):
        self.log = log

    def __set__(self, obj, value):
        self.log.append(value)


class GetOnly:
    """Not a data descriptor: assignment goes to the instance dict."""

    def __get__(self, obj, cls=None):
        return "class value"


def logging_property(log, name):
    return property(lambda self: "from property", lambda self, v: log.append(v))


def make_class(kind, name, log):
    """A subclass of ast.Pass whose assignment of `name` takes its own way."""
    if kind == "__setattr__":
        def setattr_(self, attr, value):
            if attr == name:
                log.append(value)
            super(cls, self).__setattr__(attr, value)
        body = {"__setattr__": setattr_}
    elif kind == "property":
        body = {name: logging_property(log, name)}
    elif kind == "setter-only descriptor":
        body = {name: SetOnly(log)}
    elif kind == "slot":
        body = {"__slots__": (name,)}
    else:
        body = {name: GetOnly()}
    cls = type("Special", (ast.Pass,), body)
    # An ordinary subclass below it inherits the way.
    return type("SpecialChild", (cls,), {})


KINDS = ["__setattr__", "property", "setter-only descriptor", "slot", "non-data descriptor"]


def stored_where(kind, node, name, log, expected):
    """Checks that `expected` went where `kind` sends it."""
    if kind in ("property", "setter-only descriptor"):
        assert log == [expected] and name not in node.__dict__
    elif kind == "slot":
        assert getattr(node, name) is expected and name not in node.__dict__
    else:
        assert node.__dict__[name] is expected
        if kind == "__setattr__":
            assert log == [expected]


@pytest.mark.parametrize("kind", KINDS)
def test_set_parents_assigns_as_the_class_says(kind):
    log = []
    node = make_class(kind, "parent", log)()
    module = module_of(node)
    for _ in range(2):  # the second call meets the class again
        log.clear()
        arbolus.set_parents(module)
        stored_where(kind, node, "parent", log, module)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["lineno", "end_lineno"])
def test_fix_missing_locations_assigns_as_the_class_says(kind, name):
    log = []
    cls = make_class(kind, name, log)
    for _ in range(2):
        node = cls()
        log.clear()
        arbolus.fix_missing_locations(module_of(node))
        stored_where(kind, node, name, log, 1)


@pytest.mark.parametrize("on", ["class", "base"])
def test_descriptor_added_after_a_first_call_is_honoured(on):
    base = type("Base", (ast.Pass,), {})
    cls = type("Leaf", (base,), {})
    node = cls()
    module = module_of(node)
    arbolus.set_parents(module)
    arbolus.fix_missing_locations(module)
    assert node.__dict__["parent"] is module and node.__dict__["lineno"] == 1

    log = []
    target = cls if on == "class" else base
    target.parent = logging_property(log, "parent")
    target.lineno = logging_property(log, "lineno")
    del node.__dict__["parent"], node.__dict__["lineno"]
    arbolus.set_parents(module)
    arbolus.fix_missing_locations(module)
    assert log == [module, 1]
    assert "parent" not in node.__dict__ and "lineno" not in node.__dict__

    # Removed again: plain stores into the dict once more.
    del target.parent, target.lineno
    arbolus.set_parents(module)
    arbolus.fix_missing_locations(module)
    assert node.__dict__["parent"] is module and node.__dict__["lineno"] == 1
    assert log == [module, 1]


def test_locations_present_away_from_their_usual_place():
    # Deleted and put back: the usual positions are free, the values are
    # present later in the dict (None for end_lineno, which counts as missing).
    def build():
        tree = ast.parse("x = f(y)\nz = 1\n")
        for n in preorder(tree):
            d = n.__dict__
            if "lineno" in d:
                lineno, end = d.pop("lineno"), d.pop("end_lineno")
                d["lineno"] = lineno + 10
                d["end_lineno"] = None
        return tree

    ours = assert_like_stdlib(build)
    assert locations(preorder(ours))[1] == (11, 0, 1, 8)


@pytest.mark.parametrize("function", [arbolus.set_parents, arbolus.fix_missing_locations])
def test_descriptor_whose_type_gains_a_setter_is_honoured(function):
    # The class keeps its version tag: only the attribute's own type changes.
    class Later:
        def __get__(self, obj, cls=None):
            return "class value"

    name = "parent" if function is arbolus.set_parents else "lineno"
    cls = type("Leaf", (ast.Pass,), {name: Later()})
    node = cls()
    module = module_of(node)
    for _ in range(2):  # the first store may find no dict yet
        function(module)
        assert name in node.__dict__

    log = []
    Later.__set__ = lambda self, obj, value: log.append(value)
    del node.__dict__[name]
    function(module)
    assert name not in node.__dict__ and len(log) == 1
    node.__dict__[name] = "mine"
    setattr(node, name, "ordinary")  # the interpreter's own assignment agrees
    assert log[1:] == ["ordinary"] and node.__dict__[name] == "mine"

    del Later.__set__
    del node.__dict__[name]
    function(module)
    assert name in node.__dict__ and len(log) == 2


def test_class_changed_while_its_attributes_are_looked_up():
    # A class dict key that is not a str has its __eq__ called by lookups
    # that collide with it; this one adds a `parent` property to the class
    # it sits in, after that class was searched for `parent`, and a lookup
    # gives the class a new version tag before the search ends.
    log = []

    class Key:
        armed = False

        def __hash__(self):
            return hash("lineno")

        def __eq__(self, other):
            if Key.armed:
                Key.armed = False
                cls.parent = property(lambda self: "property", lambda self, v: log.append(v))
                hasattr(cls, "anything")
            return False

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # non-str keys in a class namespace
        cls = type("Leaf", (ast.Pass,), {Key(): None})
    node = cls()
    node.other = None  # a dict to store into
    module = module_of(node)
    Key.armed = True
    arbolus.set_parents(module)
    arbolus.set_parents(module)
    assert log == [module, module] and "parent" not in node.__dict__


DICT_REPLACED = r"""
import warnings
warnings.simplefilter("ignore")  # non-str keys in a class namespace
armed, kept = False, []


def replace_dict():
    # The node's old dict is dropped, or kept alive elsewhere.
    global armed
    if armed:
        armed = False
        old = victim.__dict__
        victim.__dict__ = {}
        if KEEP_OLD:
            kept.append(old)


class Meta(type):
    # Read when the module first meets the class, which for set_parents is
    # at the first store into one of its instances.
    @property
    def _attributes(cls):
        replace_dict()
        return ("lineno",)


class Key:
    # Compared when the store checks the class for a `lineno` descriptor.
    def __hash__(self):
        return hash("lineno")

    def __eq__(self, other):
        replace_dict()
        return False


results = []
for KEEP_OLD in (True, False):
    victim = Meta("Victim", (ast.Pass,), {})()
    armed = True
    arbolus.set_parents(module := ast.Module(body=[victim], type_ignores=[]))
    results.append(victim.__dict__.get("parent") is module)

    victim = type("Victim", (ast.Pass,), {Key(): None})()
    victim.other = None  # a dict exists, and lineno has no place in it
    armed = True
    arbolus.fix_missing_locations(ast.Module(body=[victim], type_ignores=[]))
    results.append(victim.__dict__.get("lineno"))
del kept[:]
print(json.dumps(results))
"""


def test_store_into_a_dict_replaced_while_the_class_is_read():
    # The dict the node had when the store began is dropped (a crash, or a
    # sanitizer report) or left aside (the value lost): the value must land
    # in the dict the node has at the store.
    assert run_python(DICT_REPLACED) == [True, 1, True, 1]


HOOK_GAINED = r"""
import warnings
warnings.simplefilter("ignore")
calls, armed = [], False


def hooking(cls, names):
    # A metaclass whose `_attributes` (read when the module first meets
    # the class, once armed) gives the class an assignment hook.
    class Meta(type):
        @property
        def _attributes(c):
            if armed and "__setattr__" not in vars(c):
                def hook(self, name, value):
                    calls.append(name)
                    ast.AST.__setattr__(self, name, value)
                c.__setattr__ = hook
            return names
    return Meta(cls.__name__ + "Hooked", (cls,), {})


# set_parents: the child's class is first read at the store of `parent`.
child = hooking(ast.Pass, ())()
child.other = None  # a dict to store into
armed = True
arbolus.set_parents(ast.Module(body=[child], type_ignores=[]))
parent_calls, calls[:] = list(calls), []

# fix_missing_locations: storing lineno swaps the node's class to one not
# read yet, which gains a hook when it is read, at the next store.
Next = hooking(ast.Pass, ("lineno", "col_offset", "end_lineno", "end_col_offset"))


def swap(self, value):
    self.__class__ = Next
    self.__dict__["lineno"] = value


First = type("First", (ast.Pass,), {"lineno": property(None, swap)})
node = First()
arbolus.fix_missing_locations(ast.Module(body=[node], type_ignores=[]))
print(json.dumps([parent_calls, calls, type(node).__name__, node.col_offset]))
"""


def test_assignment_hook_the_class_gains_when_first_read():
    assert run_python(HOOK_GAINED) == [
        ["parent"], ["col_offset", "end_lineno", "end_col_offset"], "PassHooked", 0,
    ]
