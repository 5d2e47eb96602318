"""Shared fixtures: the interpreter's own standard library as a test corpus."""

import ast
import collections
import concurrent.futures
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap
import types
import typing
import warnings

import pytest


# Heavy cases carry the `slow` mark and run only with ARBOLUS_SLOW=1.
SLOW_MARKS = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("ARBOLUS_SLOW") != "1",
                       reason="heavy, run with ARBOLUS_SLOW=1"),
]


def pytest_configure(config):
    # ARBOLUS_REFLEAKS=3:3 runs each test repeatedly on a debug interpreter
    # and fails those that leak references (tests/refleaks.py).
    runs = os.environ.get("ARBOLUS_REFLEAKS")
    if runs:
        from refleaks import RefleakHunt
        config.pluginmanager.register(RefleakHunt(runs), "arbolus-refleaks")


def pytest_terminal_summary(terminalreporter):
    """One line that says why tests were skipped, grouped by reason."""
    reasons = collections.Counter()
    for report in terminalreporter.stats.get("skipped", []):
        longrepr = report.longrepr
        reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
        reasons[reason.removeprefix("Skipped: ")] += 1
    if reasons:
        terminalreporter.write_line(
            "; ".join(f"{n} skipped: {reason}" for reason, n in reasons.most_common()))


def slow(test):
    for mark in SLOW_MARKS:
        test = mark(test)
    return test


CORPUS_STRIDE = int(os.environ.get("ARBOLUS_CORPUS_STRIDE", "1"))


def corpus_paths():
    """Every .py file of the running interpreter's standard library.

    ARBOLUS_CORPUS_STRIDE=N keeps every N-th file (for slow builds such as
    the sanitizer run).
    """
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    return paths[::CORPUS_STRIDE]


def corpus_minimum(count):
    """A lower bound on what the whole corpus yields, for the corpus kept:
    a check that it was not mostly skipped, which holds at any stride."""
    return count // CORPUS_STRIDE


def parse_corpus():
    trees = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in corpus_paths():
            try:
                source = path.read_bytes()
                trees.append((path, ast.parse(source, str(path))))
            except (SyntaxError, ValueError, UnicodeDecodeError):
                continue
    return trees


@pytest.fixture(scope="session")
def corpus():
    """[(path, tree)] for every standard-library file that parses.

    Shared by the whole session: tests must not modify these trees (parse a
    fresh copy with `fresh_tree` instead).
    """
    trees = parse_corpus()
    assert len(trees) > 10
    return trees


def fresh_tree(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(path.read_bytes(), str(path))


def caught(call, *args):
    """The exception `call` raises, with its traceback dropped (its frames
    would hold references to nodes)."""
    try:
        call(*args)
    except BaseException as exc:
        exc.__traceback__ = None
        return exc
    pytest.fail("no exception")


# Node classes' constructors refuse to leave out a field that is neither a
# list nor optional from 3.15 on; before, they warned and left it unset.
CONSTRUCTORS_NEED_REQUIRED_FIELDS = sys.version_info >= (3, 15)
# The free-threaded build of 3.13, where a few tests cannot hold as they
# stand (each says why where it is marked).
FREE_THREADED_313 = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info[:2] == (3, 13)


# Before 3.12 the objects the interpreter keeps for the whole process start
# with a count this high, so that no program brings them to zero.
STATIC_COUNT = 10**8


def process_constant(obj):
    """Whether obj is one of the objects the whole process shares: None, the
    bools, Ellipsis, the small ints, the interpreter's own identifiers. They
    are immortal from 3.12 on; before, they are counted, and any code at
    all (a cache dropping a field name, a local holding a small int) moves
    their counts, so reference checks leave them out. Mortal stand-ins catch
    a leaked or over-released leaf value."""
    return (obj is None or obj is True or obj is False or obj is ...
            or (type(obj) is int and -5 <= obj <= 256)
            or sys.getrefcount(obj) >= STATIC_COUNT)


def default_context():
    """The context object node classes fill in when `ctx` is not given
    (3.13 on), else None: older classes leave the field unset."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return getattr(ast.Name("x"), "ctx", None)


def dump_all(node, **kwargs):
    """ast.dump with empty lists and None fields shown, the only way
    versions before 3.13 dump (they have no show_empty)."""
    if sys.version_info >= (3, 13):
        kwargs["show_empty"] = True
    return ast.dump(node, **kwargs)


class _FoldConstants(ast.NodeTransformer):
    """The folds of the 3.13 parser's optimizer that make tuples and
    frozensets: a tuple of constants, a sign on a number, a set of constants
    tested with `in`."""

    def visit_UnaryOp(self, node):
        self.generic_visit(node)
        operand = node.operand
        if (isinstance(node.op, ast.USub) and isinstance(operand, ast.Constant)
                and type(operand.value) in (int, float, complex)):
            return ast.copy_location(ast.Constant(-operand.value), node)
        return node

    def visit_Tuple(self, node):
        self.generic_visit(node)
        if isinstance(node.ctx, ast.Load) and all(isinstance(e, ast.Constant) for e in node.elts):
            return ast.copy_location(ast.Constant(tuple(e.value for e in node.elts)), node)
        return node

    def visit_Compare(self, node):
        self.generic_visit(node)
        for i, (op, right) in enumerate(zip(node.ops, node.comparators)):
            if (isinstance(op, (ast.In, ast.NotIn)) and isinstance(right, ast.Set)
                    and all(isinstance(e, ast.Constant) for e in right.elts)):
                folded = ast.Constant(frozenset(e.value for e in right.elts))
                node.comparators[i] = ast.copy_location(folded, right)
        return node


def parse_optimized(source):
    """ast.parse(source, optimize=1), which folds constants from 3.13 on;
    before, the folds that make tuples and frozensets are done here."""
    if sys.version_info >= (3, 13):
        return ast.parse(source, optimize=1)
    return _FoldConstants().visit(ast.parse(source))


def required_fields(cls):
    """The fields a node class's constructor wants given: those it declares
    a type for that is neither a list nor optional (a context is optional:
    it becomes Load())."""
    types_ = getattr(cls, "_field_types", {})

    def optional(t):
        return (typing.get_origin(t) is list or t is ast.expr_context
                or (isinstance(t, types.UnionType) and type(None) in t.__args__))

    return [f for f in cls._fields if f in types_ and not optional(types_[f])]


def preorder(node):
    """Plain iterative pre-order over ast.iter_child_nodes."""
    out = []
    stack = [node]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed(list(ast.iter_child_nodes(n))))
    return out


def in_new_thread(fn):
    """Runs fn on a new thread, which builds its own class table on its first walk."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(fn).result()


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter (no class table built yet); returns what it prints as JSON."""
    tests = str(pathlib.Path(__file__).parent)
    prelude = f"import ast, json, sys\nsys.path.insert(0, {tests!r})\nimport arbolus\nfrom conftest import preorder\n"
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)
