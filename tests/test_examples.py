"""The runnable examples in examples/, on small inputs."""

import ast
import functools
import pathlib
import re
import subprocess
import sys
import textwrap
import warnings

import pytest

import arbolus
from conftest import corpus_minimum

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
if not EXAMPLES.is_dir():
    pytest.skip("examples/ is not beside the tests", allow_module_level=True)
sys.path.insert(0, str(EXAMPLES))

import clones  # noqa: E402
import parents_and_scopes  # noqa: E402
import visitor  # noqa: E402


def run_example(name, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout, result.stderr


def write(directory, name, source):
    path = directory / name
    path.write_text(textwrap.dedent(source))
    return path


# --- clones.py ---------------------------------------------------------------

BODY = """\
total = 0
for item in items:
    if item.weight > limit:
        total += item.weight * factor
    else:
        total -= 1
return total
"""


def indented(source, level):
    return textwrap.indent(source, "    " * level)


@pytest.fixture
def project(tmp_path):
    write(tmp_path, "a.py", "def first(items, limit, factor):\n" + indented(BODY, 1)
          + "\ndef unrelated(x):\n    return x + 1\n")
    # The same body in a method; its `for` loop alone in another function.
    write(tmp_path, "b.py", "import os\n\nclass Holder:\n"
          "    def second(self, items, limit, factor):\n" + indented(BODY, 2)
          + "\ndef loops(items, limit, factor, seen):\n    seen.append(limit)\n"
          + indented(BODY.split("\n", 1)[1].rsplit("return", 1)[0], 1))
    write(tmp_path, "broken.py", "def f(:\n")
    return tmp_path


def where(project, members):
    return [c.where.replace(f"{project}/", "") + " " + c.label for c in members]


def test_clones_groups_function_bodies_and_blocks(project):
    groups = clones.find_clones(clones.parse_files([project]), min_nodes=20)
    # The whole body once, as a function body. Its `for` loop recurs in
    # loops(), but the other copies lie inside the reported bodies: one
    # member left, no second group.
    assert [(kind, where(project, members)) for kind, _, members in groups] == [
        ("function body", ["a.py:2 def first", "b.py:5 def second"]),
    ]
    # With the bodies made different, the loops form the group.
    (project / "a.py").write_text((project / "a.py").read_text().replace("return total",
                                                                         "return -total"))
    groups = clones.find_clones(clones.parse_files([project]), min_nodes=20)
    assert [(kind, where(project, members)) for kind, _, members in groups] == [
        ("statement", ["a.py:3 For", "b.py:6 For", "b.py:15 For"]),
    ]


def test_clones_threshold_and_script_output(project):
    # Below the size of the duplicated `for` loop nothing is reported.
    assert clones.find_clones(clones.parse_files([project]), min_nodes=10_000) == []
    out, err = run_example("clones.py", "--min-nodes", 20, project)
    lines = out.splitlines()
    assert lines[0].startswith("group 1: 2 x function body, ")
    assert lines[1].strip() == f"{project / 'a.py'}:2  def first"
    assert lines[2].strip() == f"{project / 'b.py'}:5  def second"
    assert "skipped" in err and "broken.py" in err      # named, not fatal
    assert "1 groups" in err and "in 3 files" not in err  # the broken file is not counted


def test_clones_equal_blocks_in_one_file_and_distinct_values(tmp_path):
    block = 'for i in range(10):\n    if i % 3 == 0:\n        print(i, "fizz", sep=", ")\n'
    write(tmp_path, "m.py", block + "x = 1\n" + block + block.replace('"fizz"', '"buzz"'))
    (group,) = clones.find_clones(clones.parse_files([tmp_path / "m.py"]), min_nodes=10)
    kind, size, members = group
    assert kind == "statement" and size == sum(1 for _ in ast.walk(ast.parse(block).body[0]))
    assert [c.start[0] for c in members] == [1, 5]   # not the "buzz" copy


# The interpreter hashes 2**63 - 1 and 3 alike (integers are hashed modulo
# 2**61 - 1), and so do the structural hashes of trees that differ only there.
COLLIDING = ("9223372036854775807", "3")


def colliding_body(value):
    return BODY.replace("total = 0", f"total = {value}")


def test_clones_colliding_bodies_are_not_reported_together(tmp_path):
    write(tmp_path, "a.py", "def first(items, limit, factor):\n"
          + indented(colliding_body(COLLIDING[0]), 1))
    write(tmp_path, "b.py", "def second(items, limit, factor):\n"
          + indented(colliding_body(COLLIDING[1]), 1))
    bodies = [ast.parse((tmp_path / name).read_text()).body[0].body for name in ("a.py", "b.py")]
    a, b = ([arbolus.subtree_hash(s) for s in body] for body in bodies)
    assert a == b and list(map(ast.dump, bodies[0])) != list(map(ast.dump, bodies[1]))
    groups = clones.find_clones(clones.parse_files([tmp_path]), min_nodes=20)
    # Not the bodies: the loop both share is the group, which a falsely
    # reported body would hide.
    assert [(kind, where(tmp_path, members)) for kind, _, members in groups] == [
        ("statement", ["a.py:3 For", "b.py:3 For"]),
    ]


def test_clones_splits_a_hash_group_into_its_equal_parts(tmp_path):
    # Two copies of each of two colliding bodies, interleaved: two groups.
    for name, value in zip("abcd", COLLIDING * 2):
        write(tmp_path, f"{name}.py", f"def f_{name}(items, limit, factor):\n"
              + indented(colliding_body(value), 1))
    groups = clones.find_clones(clones.parse_files([tmp_path]), min_nodes=20)
    assert [(kind, where(tmp_path, members)) for kind, _, members in groups] == [
        ("function body", ["a.py:2 def f_a", "c.py:2 def f_c"]),
        ("function body", ["b.py:2 def f_b", "d.py:2 def f_d"]),
    ]


# --- parents_and_scopes.py ---------------------------------------------------

def test_names_by_enclosing_function(tmp_path):
    tree = ast.parse(textwrap.dedent("""\
        top = helper(1)
        class C:
            attr = top
            def method(self):
                def inner():
                    return self
                return inner
        key = lambda item: item.size
        """))
    assert parents_and_scopes.names_by_function(tree) == {
        # a class body is no function: its names count as the module's
        "<module>": [(1, 0, "top"), (1, 6, "helper"), (3, 4, "attr"), (3, 11, "top"),
                     (8, 0, "key")],
        "C.method": [(7, 15, "inner")],
        "C.method.<locals>.inner": [(6, 19, "self")],
        "<lambda>": [(8, 19, "item")],
    }
    out, _ = run_example("parents_and_scopes.py", write(tmp_path, "s.py", "def f(a):\n    return a\n"))
    assert out == "f (from line 2): a\n"


# --- visitor.py --------------------------------------------------------------

SOURCES = [
    "x",                                       # the root is a Module
    "def f(a):\n    return [b for b in a]\nclass C:\n    def m(self): return x\n",
    "async def g():\n    async with a as b:\n        await b\n",
]


@pytest.mark.parametrize("source", SOURCES)
def test_event_visitor_makes_the_node_visitors_calls(source):
    tree = ast.parse(source)
    assert visitor.same_calls([tree]) > 0


@pytest.mark.parametrize("root", [
    ast.Name("n", ast.Load()),                              # dispatched, not descended
    ast.parse("def f():\n    return g\n").body[0],          # bracketed
    ast.parse("y = z").body[0],                             # descended only
])
def test_event_visitor_root_as_node_visitor_treats_it(root):
    a, b = visitor.ScopeNames(record=True), visitor.FastScopeNames(record=True)
    a.visit(root)
    b.visit(root)
    assert [(k, id(n)) for k, n in a.calls] == [(k, id(n)) for k, n in b.calls]
    assert a.calls


def test_event_visitor_rejects_both_kinds_of_handler_for_one_class():
    with pytest.raises(TypeError, match="Name"):
        class Both(visitor.EventVisitor):  # noqa: F841
            def visit_Name(self, node): ...
            def enter_Name(self, node): ...


def test_visitor_script_compares_on_given_files(tmp_path):
    for i, source in enumerate(SOURCES):
        write(tmp_path, f"m{i}.py", source)
    out, _ = run_example("visitor.py", tmp_path)
    assert out.startswith(f"{len(SOURCES)} modules, ")
    assert "both visitors made the same" in out and "x faster" in out


# --- the README's snippets ---------------------------------------------------

README = EXAMPLES.parent / "README.md"
# A python block right after such a marker runs here, in the README's order,
# each in the namespace the earlier ones left.
TESTED = re.compile(r"^<!-- tested: ([\w-]+) -->\n```python\n(.*?)^```", re.M | re.S)


def readme_snippets():
    """(name, line before the code, code) of each tested block."""
    text = README.read_text()
    return [(m[1], text.count("\n", 0, m.start(2)), m[2]) for m in TESTED.finditer(text)]


def run_readme(through):
    """The namespace the tested snippets leave, run in order up to and
    including `through`; a failure's traceback names README.md's line."""
    namespace = {"__name__": "readme"}
    for name, line, code in readme_snippets():
        exec(compile("\n" * line + code, str(README), "exec"), namespace)
        if name == through:
            return namespace
    raise LookupError(f"README.md has no tested snippet {through!r}")


def test_readme_snippets_run_and_none_lost_its_marker():
    # A marker dropped in an edit would leave its snippet untested.
    names = [name for name, _, _ in readme_snippets()]
    assert names == ["root", "node-classes", "parents", "children-first", "generic-visit",
                     "lists", "dispatch", "hashes", "fingerprints", "patterns"]
    run_readme(names[-1])


def corpus_slice(corpus):
    return [tree for _, tree in corpus[::25]]


def other_modes():
    """Roots and nodes that no module of the corpus has."""
    return [ast.parse("x + 1", mode="eval"), ast.parse("x = 1", mode="single"),
            ast.parse("(int, *str) -> None", mode="func_type"),
            ast.parse("x = 1  # type: ignore", type_comments=True)]


def test_readme_node_classes_select_every_node_and_no_base(corpus):
    classes = run_readme("node-classes")["NODE_CLASSES"]
    for tree in corpus_slice(corpus) + other_modes():
        assert arbolus.walk_of_types(tree, classes) == arbolus.walk_dfs(tree)
    # An abstract base listed would match nothing and hide a missing class.
    assert not [(a, b) for a in classes for b in classes if a is not b and issubclass(b, a)]


def parents_by_hand(tree):
    """(node, its ancestors outermost first, its field) for every node, in
    pre-order, from the fields themselves."""
    rows, stack = [], [(tree, (), None)]
    while stack:
        node, parents, field = stack.pop()
        rows.append((node, parents, field))
        children = [(item, parents + (node,), name) for name, value in ast.iter_fields(node)
                    for item in (value if isinstance(value, list) else [value])
                    if isinstance(item, ast.AST)]
        stack.extend(reversed(children))
    return [(id(n), tuple(map(id, ps)), f) for n, ps, f in rows]


def test_readme_parent_stack_and_fields_match_the_trees(corpus):
    visit_with_parents = run_readme("parents")["visit_with_parents"]
    for tree in corpus_slice(corpus) + other_modes():
        rows = []
        visit_with_parents(tree, lambda n, ps, f: rows.append((id(n), tuple(map(id, ps)), f)))
        assert rows == parents_by_hand(tree)


def test_readme_parent_stack_survives_handlers_that_empty_a_node():
    visit_with_parents = run_readme("parents")["visit_with_parents"]
    tree = ast.parse("def f(a):\n    return g(a)\nclass C:\n    x = 1\n")
    expected = parents_by_hand(tree)
    rows = []

    def handle(node, parents, field):
        rows.append((id(node), tuple(map(id, parents)), field))
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            node.body = []      # the walk was listed before: its children still come

    visit_with_parents(tree, handle)
    assert rows == expected


def test_readme_children_first_is_post_order(corpus):
    children_first = run_readme("children-first")["children_first"]
    for tree in corpus_slice(corpus) + other_modes():
        expected, stack = [], [(tree, False)]
        while stack:
            node, done = stack.pop()
            if done:
                expected.append(node)
            else:
                stack.append((node, True))
                stack.extend((c, False) for c in reversed(list(ast.iter_child_nodes(node))))
        assert list(map(id, children_first(tree))) == list(map(id, expected))


def recording_visitor(base):
    """A visitor with handlers of each kind: ones that descend, ones that
    do not, one that descends into one field only; every call recorded."""
    class Recorder(base):
        def __init__(self):
            self.calls = []

        def visit_FunctionDef(self, node):
            self.calls.append(("def", id(node)))
            self.generic_visit(node)

        visit_AsyncFunctionDef = visit_Lambda = visit_FunctionDef

        def visit_Call(self, node):
            self.calls.append(("call", id(node)))
            self.generic_visit(node)

        def visit_Attribute(self, node):
            self.calls.append(("attribute", id(node)))
            self.visit(node.value)

        def visit_Name(self, node):
            self.calls.append(("name", id(node)))

        def visit_Constant(self, node):
            self.calls.append(("constant", id(node)))

    return Recorder


def rules_visitor(base):
    """Rules per exact class in an overridden visit, then generic_visit:
    no visit_ handler at all, every node must reach visit."""
    class Rules(base):
        RULES = {ast.Call: "call", ast.If: "if", ast.Name: "name"}

        def __init__(self):
            self.calls = []

        def visit(self, node):
            rule = self.RULES.get(type(node))
            if rule:
                self.calls.append((rule, id(node)))
            if type(node) is not ast.Lambda:      # a rule that prunes
                self.generic_visit(node)

    return Rules


def counting_visitor(base):
    """visit overridden to count every node, then dispatched as usual."""
    class Counting(recording_visitor(base)):
        def visit(self, node):
            self.calls.append(("visit", id(node)))
            return super().visit(node)

    return Counting


def generic_visitor(base):
    """A subclass that overrides generic_visit and calls the one it replaced."""
    class Generic(recording_visitor(base)):
        def generic_visit(self, node):
            self.calls.append(("generic", id(node)))
            super().generic_visit(node)

    return Generic


def dynamic_visitor(base):
    """Handlers that only __getattr__ knows of."""
    class Dynamic(base):
        def __init__(self):
            self.calls = []

        def __getattr__(self, name):
            if name in ("visit_Name", "visit_Call"):
                return lambda node: self.calls.append((name, id(node)))
            raise AttributeError(name)

    return Dynamic


def legacy_visitor(base):
    """A visitor that still handles numbers by the deprecated name."""
    class Legacy(base):
        def __init__(self):
            self.calls = []

        def visit_Num(self, node):
            self.calls.append(("num", id(node)))

        def visit_Call(self, node):
            self.calls.append(("call", id(node)))
            self.generic_visit(node)

    return Legacy


VISITORS = [recording_visitor, rules_visitor, counting_visitor, generic_visitor,
            dynamic_visitor, legacy_visitor]


@functools.cache
def generic_visit_recipe():
    """The names the README's generic_visit recipe defines, made once so
    that every test meets the same functions."""
    return run_readme("generic-visit")


def fast_forms(make):
    """The visitor `make` gives, sped up each way the README offers: on
    FastNodeVisitor, patched by speed_up (unless it has a generic_visit of
    its own, which speed_up refuses), and patched on a base class the
    visitor was derived from before the patch."""
    readme = generic_visit_recipe()
    fast, speed_up = readme["FastNodeVisitor"], readme["speed_up"]

    class ToolBase(ast.NodeVisitor):
        pass

    derived_before = make(ToolBase)
    speed_up(ToolBase)
    forms = [make(fast), derived_before]
    plain = make(ast.NodeVisitor)
    if plain.generic_visit is ast.NodeVisitor.generic_visit:
        forms.append(speed_up(plain))
    return forms


def calls_of(cls, root):
    visitor = cls()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # visit_Num on 3.13
        visitor.visit(root)
    return visitor.calls


@pytest.mark.parametrize("make", VISITORS, ids=lambda m: m.__name__)
def test_readme_generic_visit_makes_the_node_visitors_calls(make, corpus):
    roots = corpus_slice(corpus) + other_modes() + [
        ast.parse("def f():\n    return g.h(1, lambda: k(2))\n").body[0],  # a handled root
        ast.parse("f(1, 'a', g(2.5), None)\nif x:\n    y.z = b'c'\n"),
    ]
    theirs = make(ast.NodeVisitor)
    forms = fast_forms(make)
    total = 0
    for root in roots:
        expected = calls_of(theirs, root)
        total += len(expected)
        for ours in forms:
            assert calls_of(ours, root) == expected, (ours, ast.dump(root)[:200])
    assert total > corpus_minimum(1000)


def test_readme_generic_visit_old_constant_handlers_as_the_version_has_them():
    tree = ast.parse("f(1, 'a', g(2.5), None)\n")
    # Only versions whose NodeVisitor still has visit_Constant pass constants
    # on to the old handlers.
    forwarded = 2 if hasattr(ast.NodeVisitor, "visit_Constant") else 0
    for ours in fast_forms(legacy_visitor):
        assert [kind for kind, _ in calls_of(ours, tree)].count("num") == forwarded


def test_readme_generic_visit_stops_only_at_handled_classes():
    frontier_of = generic_visit_recipe()["frontier_of"]
    for ours in fast_forms(recording_visitor):
        assert {c.__name__ for c in frontier_of(ours)} == {
            "FunctionDef", "AsyncFunctionDef", "Lambda", "Call", "Attribute", "Name", "Constant"}
    every = generic_visit_recipe()["NODE_CLASSES"]
    for make in (rules_visitor, counting_visitor, generic_visitor, dynamic_visitor):
        for ours in fast_forms(make):
            assert frontier_of(ours) is every


def test_readme_speed_up_refuses_what_it_cannot_speed_up():
    readme = generic_visit_recipe()
    speed_up, fast = readme["speed_up"], readme["FastNodeVisitor"]

    class Transformer(ast.NodeTransformer):
        def visit_Name(self, node):
            return ast.Constant(1)

    class Own(ast.NodeVisitor):
        def generic_visit(self, node):
            pass

    for bad, message in [(Transformer, "generic_visit of its own"),
                         (Own, "generic_visit of its own"),
                         (ast.NodeVisitor(), "not an ast.NodeVisitor class"),
                         (int, "not an ast.NodeVisitor class")]:
        with pytest.raises(TypeError, match=message):
            speed_up(bad)
    assert Transformer.generic_visit is ast.NodeTransformer.generic_visit
    assert Own.generic_visit is not fast.generic_visit

    class Mixed(fast, ast.NodeTransformer):
        pass

    with pytest.raises(TypeError, match="NodeTransformer"):
        Mixed().visit(ast.parse("x"))

    # Patching twice, or a class that already has it, changes nothing.
    cls = recording_visitor(ast.NodeVisitor)
    assert speed_up(speed_up(cls)) is cls and speed_up(fast) is fast


def test_readme_fingerprint_check_agrees_with_the_dumps(corpus):
    check = run_readme("fingerprints")["rewrite_kept_the_program"]
    for tree in corpus_slice(corpus):
        source = ast.unparse(tree)
        for other in (source, "(0)\n" + source, source.replace("0", "1", 1),
                      source + "\npass\n"):
            try:
                same = ast.dump(ast.parse(source)) == ast.dump(ast.parse(other))
            except SyntaxError:
                continue
            assert check(source, other) == same


def test_fingerprint_reference_runs_as_a_script(tmp_path):
    path = tmp_path / "m.py"
    path.write_text("def f(x):\n    return x + 1.5\n\nclass C:\n    pass\n")
    out, _ = run_example("fingerprint_reference.py", path)
    lines = out.splitlines()
    tree = ast.parse(path.read_text())
    assert lines == [f"{arbolus.subtree_fingerprint(tree).hex()}  {path}",
                     f"{arbolus.subtree_fingerprint(tree.body[0]).hex()}    f",
                     f"{arbolus.subtree_fingerprint(tree.body[1]).hex()}    C"]
