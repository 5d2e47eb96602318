"""walk_dfs, walk_unordered and _walk_count, and the per-thread class table they use."""

import ast
import collections
import gc
import pathlib
import typing
import warnings

import pytest

import arbolus
from conftest import (CONSTRUCTORS_NEED_REQUIRED_FIELDS, SLOW_MARKS, corpus_minimum, fresh_tree,
                      in_new_thread, preorder, required_fields, run_python)

A = arbolus


def same_nodes(a, b):
    """Equal as multisets of object identities."""
    return sorted(map(id, a)) == sorted(map(id, b))


def batched_order(root):
    """The unordered walk's order: each pass takes up to four nodes off the end
    of the stack, then records them in that order, each pushing its children
    with the first child on top."""
    out, stack = [], [root]
    while stack:
        batch = [stack.pop() for _ in range(min(4, len(stack)))]
        for node in batch:
            out.append(node)
            stack.extend(reversed(list(ast.iter_child_nodes(node))))
    return out


def tagged(tag, *children):
    node = ast.Set(elts=list(children))  # the tag is stored after the only field
    node.tag = tag
    return node


def tags(nodes):
    return " ".join(n.tag for n in nodes)


def bare(cls, **attrs):
    """An instance made without the constructor, its attributes set in this order."""
    node = cls.__new__(cls)
    for name, value in attrs.items():
        setattr(node, name, value)
    return node


# --- orders ------------------------------------------------------------------


def test_assignment_statement_orders():
    tree = ast.parse("x = a + 1")
    assign = tree.body[0]
    x, binop = assign.targets[0], assign.value
    a = binop.left
    assert A.walk_dfs(tree) == [tree, assign, x, x.ctx, binop, a, a.ctx, binop.op, binop.right]
    assert A.walk_unordered(tree) == [tree, assign, x, binop, a, binop.op, binop.right, x.ctx, a.ctx]
    assert A._walk_count(tree) == 9


def fan(k):
    """R with children C0..Ck-1, each Ci with one child Di."""
    return tagged("R", *(tagged(f"C{i}", tagged(f"D{i}")) for i in range(k)))


@pytest.mark.parametrize(
    "root, dfs, unordered",
    [
        (
            tagged("R", tagged("X", tagged("X1"), tagged("X2")), tagged("Y", tagged("Y1")), tagged("Z")),
            "R X X1 X2 Y Y1 Z",
            "R X Y Z Y1 X1 X2",
        ),
        (fan(3), "R C0 D0 C1 D1 C2 D2", "R C0 C1 C2 D2 D1 D0"),
        (fan(4), "R C0 D0 C1 D1 C2 D2 C3 D3", "R C0 C1 C2 C3 D3 D2 D1 D0"),
        # A pass takes four; the next starts from the fourth node's children,
        # then the nodes left below the batch follow.
        (fan(5), "R C0 D0 C1 D1 C2 D2 C3 D3 C4 D4", "R C0 C1 C2 C3 D3 D2 D1 D0 C4 D4"),
        (fan(8), "R C0 D0 C1 D1 C2 D2 C3 D3 C4 D4 C5 D5 C6 D6 C7 D7", "R C0 C1 C2 C3 D3 D2 D1 D0 C4 C5 C6 C7 D7 D6 D5 D4"),
        (tagged("A", tagged("B", tagged("C", tagged("D")))), "A B C D", "A B C D"),
    ],
    ids=["worked-table", "stack-of-3", "stack-of-4", "stack-of-5", "stack-of-8", "chain"],
)
def test_small_tree_orders(root, dfs, unordered):
    assert tags(A.walk_dfs(root)) == dfs
    assert tags(A.walk_unordered(root)) == unordered
    assert tags(batched_order(root)) == unordered  # the model the corpus test relies on
    assert A._walk_count(root) == len(dfs.split())


# --- what is a child ---------------------------------------------------------


class Plain:
    pass


def plain_with_body():
    o = Plain()
    o.body = [ast.Pass()]
    return o


@pytest.mark.parametrize(
    "root",
    [0, None, "x = 1", [ast.Pass()], (ast.Pass(),), {"body": [ast.Pass()]}, ast.AST(), plain_with_body()],
    ids=["int", "None", "str", "list", "tuple", "dict", "AST-itself", "plain-object"],
)
def test_root_that_is_not_a_node_is_listed_alone(root):
    for walk in (A.walk_dfs, A.walk_unordered):
        out = walk(root)
        assert len(out) == 1 and out[0] is root
    assert A._walk_count(root) == 1


class ListSub(list):
    pass


def test_lists_contribute_only_their_direct_node_items():
    p1, p2, p3, p4, p5 = (ast.Pass() for _ in range(5))
    node = ast.Set(elts=[1, p1, "x", None, p2, [p3], ListSub([p4]), (p5,), ast.AST(), p1])
    assert A.walk_dfs(node) == [node, p1, p2, p1]
    for value in (ListSub([p1]), (p1,), [[p1]]):  # held directly in a field
        holder = ast.Expr(value=value)
        assert A.walk_dfs(holder) == [holder]


def test_shared_node_is_listed_once_per_path_with_its_subtree():
    shared = ast.BinOp(ast.Name("a", ast.Load()), ast.Add(), ast.Constant(1))
    tree = ast.Tuple(elts=[shared, ast.Name("b", ast.Load()), shared], ctx=ast.Load())
    expected = preorder(tree)
    assert sum(n is shared for n in expected) == 2
    assert A.walk_dfs(tree) == expected
    assert A.walk_unordered(tree) == batched_order(tree)
    assert A._walk_count(tree) == len(expected)


def test_which_user_classes_are_nodes():
    class NameSub(ast.Name):
        pass

    class NameSubSub(NameSub):  # three levels below ast.expr
        pass

    class IfSub(ast.If):
        pass

    class ExprSub(ast.expr):
        _fields = ("value",)

    class AstSub(ast.AST):
        _fields = ("value",)

    made = [
        NameSub("x", ast.Load()),
        NameSubSub("x", ast.Load()),
        IfSub(test=ast.Name("t", ast.Load()), body=[ast.Pass()], orelse=[]),
        bare(ExprSub, value=ast.Name("v", ast.Load())),
        bare(AstSub, value=ast.Name("v", ast.Load())),
    ]
    holders = [ast.Module(body=[ast.Expr(value=n), n], type_ignores=[]) for n in made]
    # The classes exist before the walking thread's first walk.
    walked = in_new_thread(lambda: [(A.walk_dfs(n), A.walk_dfs(h)) for n, h in zip(made, holders)])
    for node, holder, (as_root, as_child) in zip(made, holders, walked):
        name = type(node).__name__
        assert as_root == preorder(node), name  # a root is expanded whatever its class
        if name in ("NameSub", "ExprSub", "AstSub"):
            assert as_child == preorder(holder), name
        else:  # neither the node nor its subtree is listed
            assert as_child == [holder, holder.body[0]], name


# --- fields however the node was built -----------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        "ast.BinOp(right=c, op=add, left=a)",  # keyword order is not field order
        "ast.BinOp(left=a, lineno=1, op=add, right=c)",
        "ast.Return(lineno=1, col_offset=0, value=a)",
        "ast.BinOp(a, add, c); del node.left",
        "ast.BinOp(a, add, c); node.left = z",
        "ast.BinOp(a, add, c); del node.left; node.left = z",  # now after every other entry
        "ast.BinOp(a, add, c); del node.right; node.right = z",
        "ast.BinOp(a, add, c); del node.left, node.op; node.op = add; node.left = z",
        "ast.parse('a + 2', mode='eval').body; del node.right; node.right = z",
        "ast.parse('a + 2', mode='eval').body; del node.left; node.left = z",
        "bare(ast.BinOp, left=a, parent=p, right=c)",  # never a node under `parent`
        "bare(ast.BinOp, parent=p, left=a, right=c)",
        "bare(ast.BinOp, left=a, lineno=1, col_offset=0, right=c)",
        "bare(ast.BinOp, right=c); node.left = a",
        "bare(ast.BinOp)",  # no dictionary at all
        "bare(ast.Constant, kind=a)",  # fewer entries than fields, not the first field
        "bare(ast.Constant, value=a, kind=c)",
        "bare(ast.Call, func=a, args=[c, z]); node.keywords = [ast.keyword('k', p)]",
    ],
)
def test_fields_wherever_the_dictionary_holds_them(make):
    names = {"a": ast.Constant(1), "c": ast.Constant(2), "z": ast.Constant(3), "add": ast.Add()}
    names["p"] = ast.Name("p", ast.Load())
    create, _, edit = make.partition("; ")
    names["node"] = node = eval(create, {"ast": ast, "bare": bare}, names)
    exec(edit, {"ast": ast}, names)
    want = preorder(node)
    assert A.walk_dfs(node) == want
    assert A.walk_unordered(node) == batched_order(node)
    assert A._walk_count(node) == len(want)


def child_for(cls, field):
    """A fresh node, or a list of two, for any field (walking ignores types)."""
    kind = cls._field_types.get(field) if hasattr(cls, "_field_types") else None
    if typing.get_origin(kind) is list:
        return [ast.Name(f"{field}0", ast.Load()), ast.Name(f"{field}1", ast.Load())]
    return ast.Name(field, ast.Load())


LOCATIONS = {"lineno": 1, "col_offset": 0, "end_lineno": 1, "end_col_offset": 2}

# Every concrete node class with fields, and the ways a codemod builds one.
# (The deprecated aliases, which 3.11 still lists and makes through a
# metaclass of their own, are constants.)
BUILT = [c for c in vars(ast).values()
         if type(c) is type and issubclass(c, ast.AST) and c._fields and not c.__subclasses__()]


def build_every_way(cls):
    fields = cls._fields
    given = {f: child_for(cls, f) for f in fields}
    locations = {k: v for k, v in LOCATIONS.items() if k in cls._attributes}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fields left out
        made = {"locations first": cls(**locations, **given),
                "keywords reversed": cls(**dict(reversed(given.items())))}
        # Fields left out (but those newer versions require), set afterwards.
        needed = {f: given[f] for f in required_fields(cls)} if CONSTRUCTORS_NEED_REQUIRED_FIELDS else {}
        later = cls(**locations, **needed)
        for f in reversed(fields):
            setattr(later, f, child_for(cls, f))
        made["set later"] = later
        half = cls(**locations, **(dict(list(given.items())[::2]) | needed))
        for f in fields[1::2]:
            setattr(half, f, child_for(cls, f))
        made["half set later"] = half
    deleted = cls(**given)
    for f in fields:  # each field deleted and set again, so none stays in place
        delattr(deleted, f)
        setattr(deleted, f, child_for(cls, f))
    made["deleted and set again"] = deleted
    first_deleted = cls(**given)
    delattr(first_deleted, fields[0])
    setattr(first_deleted, fields[0], child_for(cls, fields[0]))
    made["first deleted and set again"] = first_deleted
    return made


@pytest.mark.parametrize("cls", BUILT, ids=lambda c: c.__name__)
def test_every_node_class_walks_as_ast_walk_however_built(cls):
    for how, node in build_every_way(cls).items():
        walked = list(ast.walk(node))
        assert A.walk_dfs(node) == preorder(node), how
        assert same_nodes(A.walk_dfs(node), walked), how
        assert A.walk_unordered(node) == batched_order(node), how
        assert A._walk_count(node) == len(walked), how
        holder = ast.Module(body=[ast.Expr(value=node)], type_ignores=[])  # as a child too
        assert same_nodes(A.walk_unordered(holder), list(ast.walk(holder))), how


def test_field_supplied_by_the_class():
    class WithDefault(ast.expr):
        _fields = ("value", "other")
        other = ast.Name("shared", ast.Load())  # a class value is what lookup finds

    class WithProperty(ast.expr):
        _fields = ("value",)

        @property
        def value(self):  # never called: the fast walks run no code
            raise AssertionError("called")

    def scenario():
        d = bare(WithDefault, value=ast.Constant(1))
        p = bare(WithProperty)
        return d, A.walk_dfs(d), A._walk_count(d), p, A.walk_dfs(p)

    d, walked, count, p, walked_p = in_new_thread(scenario)
    assert walked == preorder(d) and count == len(walked) == 4
    assert walked_p == [p]


def test_class_value_under_a_class_with_getattr():
    # Lookup finds a plain class value before `__getattr__` is ever asked,
    # so the default is read; what only `__getattr__` supplies is not.
    class DefaultAndGetattr(ast.expr):
        _fields = ("value", "other", "extra")
        other = ast.Name("shared", ast.Load())

        def __getattr__(self, name):
            if name == "extra":
                return ast.Name("made", ast.Load())
            raise AttributeError(name)

    class OwnGetattribute(ast.expr):  # lookup itself is interpreter code
        _fields = ("value", "other")
        other = ast.Name("shared", ast.Load())

        def __getattribute__(self, name):
            return object.__getattribute__(self, name)

    def scenario():
        d = bare(DefaultAndGetattr, value=ast.Constant(1))
        g = bare(OwnGetattribute, value=ast.Constant(1))
        return d, A.walk_dfs(d), A.walk_unordered(d), A._walk_count(d), g, A.walk_dfs(g)

    d, walked, unordered, count, g, walked_g = in_new_thread(scenario)
    assert walked == [d, d.value, d.other, d.other.ctx]
    assert same_nodes(unordered, walked) and count == 4
    assert walked_g == [g, g.value]


def test_field_named_twice_is_read_as_often_as_named():
    class Twice(ast.expr):
        _fields = ("a", "b", "a")

    class TwiceWithDefault(ast.expr):
        _fields = ("a", "b", "c", "b")
        c = None

    def scenario():
        a, b = ast.Name("a", ast.Load()), ast.Name("b", ast.Load())
        made = [
            bare(Twice, a=a, b=b),  # fewer entries than names
            bare(Twice, a=a),
            bare(Twice, b=b, a=a),
            bare(Twice, a=a, b=b, parent=ast.Constant(0)),
            bare(TwiceWithDefault, a=a, b=b),
        ]
        return [(n, A.walk_dfs(n), A.walk_unordered(n), A._walk_count(n)) for n in made]

    for node, dfs, unordered, count in in_new_thread(scenario):
        walked = list(ast.walk(node))
        assert dfs == preorder(node), node.__dict__
        assert same_nodes(unordered, walked) and count == len(walked)
        assert A.walk_of_types(node, (ast.Name, ast.Load)) == dfs[1:]


def test_class_value_changed_between_walks():
    # The first walk learns that the class has nothing a child could come
    # from under the missing field; a class value set later is seen.
    class Late(ast.expr):
        _fields = ("value", "other")
        other = None

    def scenario():
        node = bare(Late, value=ast.Constant(1))
        before = A.walk_dfs(node)
        Late.other = ast.Name("now", ast.Load())
        return node, before, A.walk_dfs(node)

    node, before, after = in_new_thread(scenario)
    assert before == [node, node.value]
    assert after == preorder(node) and len(after) == 4


# Dictionaries of every storage layout, assigned as a node's __dict__:
# every field is found under its name, whatever the layout.


class DictSub(dict):
    def __iter__(self):
        raise AssertionError("the dictionary is read in place")

    __getitem__ = __iter__


P = [ast.Pass() for _ in range(6)]
_KEEP = []


def split(*pairs, keep_owner=True, delete=""):
    """A dict whose values are stored apart from its keys (an instance's)."""
    template = Plain()  # fixes the shared key order left, op, right, d
    template.left = template.op = template.right = template.d = 0
    owner = Plain()
    for k, v in pairs:
        setattr(owner, k, v)
    d = owner.__dict__
    for k in delete:
        del d[k]
    if keep_owner:
        _KEEP.append(owner)  # values stay in the owner's inline storage
    return d  # otherwise the dict takes its values over


def holey(resize=False):
    keys = ["left", "op", "right"] + [f"k{i}" for i in range(3, 40)]
    d = {k: P[i % 6] for i, k in enumerate(keys)}
    for k in keys[::2]:
        del d[k]
    for i in range(100 if resize else 0):  # a resize closes the gaps
        d[f"n{i}"] = i
    return d


def cleared():
    d = {"left": P[0]}
    d.clear()
    return d


LAYOUTS = {
    "ordinary": lambda: ast.BinOp(P[0], P[1], P[2]).__dict__,
    "non-string-keys": lambda: {1: P[0], "left": P[1], (2, 3): [P[2], 5, [P[3]]], "x": P[4]},
    "non-string-key-after-fields": lambda: {"left": P[0], "op": 7, "right": P[2], 9: P[3]},
    "non-string-keys-first": lambda: {9: P[3], "left": P[0], "op": [P[1]], "right": P[2]},
    "dict-subclass": lambda: DictSub(left=P[0], op=P[1], right=[P[2], P[3]], extra=P[4]),
    "many-deleted-keys": holey,
    "compacted-after-deletions": lambda: holey(resize=True),
    "huge-string-keys": lambda: {"left": P[0], "op": 1, "right": P[2]} | {f"k{i}": P[3] for i in range(70000)},
    "huge-int-keys": lambda: {i: P[i % 6] for i in range(70000)},
    "empty": dict,
    "cleared": cleared,
    "split": lambda: split(("left", P[0]), ("op", P[1]), ("right", P[2]), ("d", P[3])),
    "split-other-order": lambda: split(("d", P[0]), ("right", P[1]), ("op", 1), ("left", P[3])),
    "split-with-deletion": lambda: split(("left", P[0]), ("op", P[1]), ("right", P[2]), ("d", P[3]),
                                         delete=["left"]),
    "split-short": lambda: split(("left", P[0]), ("op", P[1])),
    "split-short-out-of-order": lambda: split(("right", P[0]), ("op", P[1])),
    "split-owner-gone": lambda: split(("right", P[0]), ("left", P[1]), ("op", P[2]), keep_owner=False),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_instance_dict_layouts(layout):
    node = ast.BinOp(ast.Pass(), ast.Pass(), ast.Pass())
    node.__dict__ = LAYOUTS[layout]()
    expected = preorder(node)
    assert A.walk_dfs(node) == expected
    assert A.walk_unordered(node) == batched_order(node)
    assert A._walk_count(node) == len(expected)
    _KEEP.clear()


def test_deleted_positions_stay_empty_until_the_dict_is_rebuilt():
    # Anchors the layout test's expectations independently of PyDict_Next.
    d = {"left": P[0], "op": P[1], "right": P[2], "more": P[3]}
    del d["op"]
    node = bare(ast.BinOp)
    node.__dict__ = d
    assert A.walk_dfs(node) == [node, P[0], P[2]]
    node.__dict__ = split(("d", P[0]), ("left", P[1]), ("op", P[2]), ("right", P[3]), delete=["d"])
    assert A.walk_dfs(node) == [node, P[1], P[2], P[3]]  # a split table closes up instead
    _KEEP.clear()


# --- the per-thread class table ----------------------------------------------


def test_class_created_after_a_threads_first_walk_has_no_children_there():
    def scenario():
        A.walk_dfs(ast.Name("warm", ast.Load()))  # this thread's table is built now

        class Late(ast.BinOp):
            pass

        late = Late(ast.Name("a", ast.Load()), ast.Add(), ast.Constant(1))
        root = ast.Expr(value=late)
        here = A.walk_dfs(root), A.walk_unordered(root), A._walk_count(root)
        other = in_new_thread(lambda: (A.walk_dfs(root), A.walk_unordered(root)))
        return root, late, here, other, A.walk_dfs(root)  # still not refreshed

    root, late, here, other, again = in_new_thread(scenario)
    assert here == ([root, late], [root, late], 2)
    assert again == [root, late]
    assert other == (preorder(root), batched_order(root))


def test_every_class_stays_findable_when_the_class_table_grows():
    # Far more classes than the table's first size holds, all existing
    # before the walking thread builds its table, each holding the next.
    classes = [type(f"Grown{i}", (ast.expr,), {"_fields": ("value",)}) for i in range(700)]
    leaf = ast.Name("x", ast.Load())
    node = leaf
    for cls in classes:
        node = bare(cls, value=node)
    walked = in_new_thread(lambda: (A.walk_dfs(node), A._walk_count(node), A.walk_unordered(node)))
    assert walked[0] == preorder(node)
    assert walked[1] == len(classes) + 2
    assert walked[2] == walked[0]  # one child per node: the same order


def test_fields_are_the_str_names_of_a_tuple_capped_at_254():
    class Wide(ast.expr):
        _fields = tuple(f"f{i}" for i in range(300))

    class Unsized(ast.expr):
        _fields = None

    class Listed(ast.expr):  # not a tuple: no names, as for every other function
        _fields = ["f0", "f1"]

    class Mixed(ast.expr):  # the int is no name, and takes no place in the window
        _fields = ("f0", 7, "f1")

    kids = [ast.Pass() for _ in range(300)]
    nodes = [bare(cls, **{f"f{i}": k for i, k in enumerate(kids)}) for cls in (Wide, Unsized, Listed, Mixed)]
    walked = in_new_thread(lambda: [A.walk_dfs(n) for n in nodes])
    assert walked == [[nodes[0]] + kids[:254], [nodes[1]], [nodes[2]], [nodes[3]] + kids[:2]]
    assert [A.walk_of_types(n, (ast.Pass,)) for n in nodes[2:]] == [[], kids[:2]]


def test_field_names_that_are_not_valid_utf8_are_read():
    class Surrogate(ast.expr):
        _fields = ("a\ud800", "b")

    def scenario():
        a, b = ast.Name("a", ast.Load()), ast.Name("b", ast.Load())
        made = [Surrogate(), Surrogate()]
        setattr(made[0], "a\ud800", a)
        made[0].b = b
        made[1].b = b
        setattr(made[1], "a\ud800", a)  # not in place: read by name
        return [(n, A.walk_dfs(n), A._walk_count(n), A.walk_of_types(n, (ast.Name,))) for n in made]

    for node, dfs, count, names in in_new_thread(scenario):
        assert dfs == preorder(node) and count == 5
        assert names == [dfs[1], dfs[3]]


def test_hundreds_of_node_classes():
    out = run_python(
        """
        templates = {ast.BinOp: "a + 1", ast.Call: "f(x, *y, k=2)", ast.Attribute: "a.b",
                     ast.Subscript: "a[1:2]", ast.Compare: "a < b < c",
                     ast.If: "if a:\\n    b\\nelse:\\n    c", ast.Assign: "x = y = 1"}
        made = []
        for base, src in templates.items():
            tmpl = ast.parse(src).body[0]
            tmpl = tmpl if issubclass(base, ast.stmt) else tmpl.value
            for i in range(100):
                cls = type(f"{base.__name__}{i}", (base,), {})
                made.append(cls(**{f: getattr(tmpl, f) for f in base._fields}))
        root = ast.Tuple(elts=[n for n in made if isinstance(n, ast.expr)], ctx=ast.Load())
        tree = ast.parse(open(ast.__file__).read())
        print(json.dumps([
            len(made),
            [type(n).__name__ for n in made if arbolus.walk_dfs(n) != preorder(n)],
            arbolus.walk_dfs(root) == preorder(root),
            arbolus._walk_count(root) == len(preorder(root)),
            sorted(map(id, arbolus.walk_unordered(root))) == sorted(map(id, preorder(root))),
            arbolus.walk_dfs(tree) == preorder(tree),
        ]))
        """
    )
    assert out == [700, [], True, True, True, True]


def test_failed_table_build_raises_and_is_retried():
    out = run_python(
        """
        class Meta(type):
            calls = 0
            def __subclasses__(cls):
                Meta.calls += 1
                if Meta.calls == 1:
                    raise KeyError("from __subclasses__")
                return {2: [ast.Name, 5], 3: failing(), 4: []}[Meta.calls]
        def failing():
            yield ast.Name
            raise LookupError("from iteration")
        class Odd(ast.AST, metaclass=Meta):
            pass
        tree = ast.parse("x = a + 1")
        seen = []
        for walk in (arbolus.walk_dfs, arbolus.walk_unordered, arbolus._walk_count, arbolus.walk_dfs):
            try:
                seen.append(walk(tree) == preorder(tree))
            except Exception as e:
                seen.append([type(e).__name__, str(e)])
        print(json.dumps([seen, Meta.calls]))
        """
    )
    assert out == [
        [
            ["KeyError", "'from __subclasses__'"],
            ["TypeError", "'int' object is not an instance of 'type'"],
            ["LookupError", "from iteration"],
            True,
        ],
        4,
    ]


def test_walk_reentered_while_the_table_is_built_is_an_internal_fault():
    out = run_python(
        """
        caught, armed = [], False
        class Meta(type):
            @property
            def _fields(cls):
                for walk in (arbolus.walk_dfs, arbolus.walk_unordered, arbolus._walk_count) if armed else ():
                    try:
                        walk(ast.Name("x", ast.Load()))
                    except BaseException as e:
                        caught.append(e)
                return ("value",)
        class Reentrant(ast.expr, metaclass=Meta):
            pass
        tree = ast.parse("x = a + 1")
        armed = True
        outer = arbolus.walk_dfs(tree)
        armed = False
        inner = Reentrant.__new__(Reentrant)
        inner.value = ast.Name("v", ast.Load())
        holder = ast.Expr(value=inner)
        print(json.dumps([
            outer == preorder(tree),
            [[[c.__name__ for c in type(e).__bases__], isinstance(e, Exception), bool(str(e)),
              type(e) in vars(arbolus).values()] for e in caught],
            len({type(e) for e in caught}),
            # the table recorded the property's answer (instances don't see it)
            arbolus.walk_dfs(holder) == [holder, inner, inner.value, inner.value.ctx],
        ]))
        """
    )
    assert out == [True, [[["BaseException"], False, True, False]] * 3, 1, True]


# --- differential and scale --------------------------------------------------


def test_corpus_matches_stdlib_preorder(corpus):
    # preorder and ast.walk both enumerate the closure of ast.iter_child_nodes,
    # so an equal order here is an equal multiset with ast.walk too.
    for path, tree in corpus:
        expected = preorder(tree)
        assert A.walk_dfs(tree) == expected, path
        assert same_nodes(A.walk_unordered(tree), expected), path
        assert A._walk_count(tree) == len(expected), path


def test_corpus_sample_unordered_order_and_ast_walk(corpus):
    for path, tree in corpus[::20]:
        unordered, walked = A.walk_unordered(tree), list(ast.walk(tree))
        assert unordered == batched_order(tree), path
        assert same_nodes(unordered, walked) and same_nodes(A.walk_dfs(tree), walked), path


def assert_parents_listed_first(tree, order):
    """Every occurrence of a node in `order` comes after an occurrence of its
    parent, each parent occurrence accounting for one child occurrence.

    Walking `order`, each occurrence of a node lists one parent position per
    child; a shared node then has as many parent positions as occurrences,
    and the pairing exists exactly when the k-th smallest parent position
    precedes the k-th occurrence for every k. Returns the number of edges."""
    occurrences = collections.defaultdict(list)
    parents = collections.defaultdict(list)
    for i, node in enumerate(order):
        occurrences[id(node)].append(i)
        for child in ast.iter_child_nodes(node):
            parents[id(child)].append(i)
    assert occurrences[id(tree)][0] == 0
    edges = 0
    for key, at in occurrences.items():
        before = parents.get(key, [])
        if key == id(tree):
            at = at[1:]  # the root's own listing has no parent
        assert len(before) == len(at)
        assert all(p < c for p, c in zip(before, at))
        edges += len(before)
    return edges


def test_unordered_lists_every_node_after_its_parent_on_built_shapes():
    shared = ast.BinOp(ast.Name("a", ast.Load()), ast.Add(), ast.Constant(1))
    wide = ast.Module(body=[ast.Expr(ast.Name(f"n{i}", ast.Load())) for i in range(1000)],
                      type_ignores=[])
    chain = ast.Constant(0)
    for _ in range(1000):
        chain = ast.UnaryOp(ast.Not(), chain)
    shapes = [
        ast.List([shared, ast.Tuple([shared, shared], ast.Load())], ast.Load()),
        wide,
        chain,
        ast.Module(body=[ast.Expr(chain), wide.body[0], ast.Expr(shared)], type_ignores=[]),
    ]
    for tree in shapes:
        assert_parents_listed_first(tree, A.walk_unordered(tree))
    # The checker itself rejects a child listed before its parent.
    order = A.walk_dfs(shapes[0])
    with pytest.raises(AssertionError):
        assert_parents_listed_first(shapes[0], order[:1] + order[2:3] + order[1:2] + order[3:])


@pytest.mark.parametrize("stride", [
    7,
    pytest.param(1, marks=SLOW_MARKS),
])
def test_corpus_unordered_lists_every_node_after_its_parent(corpus, stride):
    # A guarantee callers rely on: a check that meets each parent before
    # its children may read walk_unordered's list in order.
    edges = 0
    for path, tree in corpus[::stride]:
        try:
            edges += assert_parents_listed_first(tree, A.walk_unordered(tree))
        except AssertionError:
            pytest.fail(f"a node listed before its parent in {path}")
    assert edges > corpus_minimum(100_000)


def test_million_deep_chain():
    leaf, neg = ast.Constant(0), ast.USub()
    node = leaf
    gc.disable()  # a million tracked objects: collections would dominate the build
    try:
        for _ in range(1_000_000):
            node = ast.UnaryOp(neg, node)
    finally:
        gc.enable()
    assert A._walk_count(node) == 2_000_001
    dfs = A.walk_dfs(node)
    assert len(dfs) == 2_000_001 and dfs.count(neg) == 1_000_000
    assert dfs[0] is node and dfs[1] is neg and dfs[2] is node.operand and dfs[-1] is leaf
    unordered = A.walk_unordered(node)
    assert len(unordered) == 2_000_001 and unordered.count(neg) == 1_000_000
