"""A NodeVisitor-style class driven by walk_frontier_events, checked and
timed against ast.NodeVisitor.

    python examples/visitor.py [--stride N] [PATH...]

`EventVisitor` subclasses declare their handlers by name, as with
`ast.NodeVisitor`, in two kinds:

- `visit_X(node)`: called for each X; the walk does not descend below it
  (an `ast.NodeVisitor` whose `visit_X` does not call `generic_visit`);
- `enter_X(node)` / `leave_X(node)`: called before and after the walk
  descends into X (a `visit_X` that calls `generic_visit` in between).

One `walk_frontier_events` call lists those calls for the whole tree, and
the loop below only dispatches them. Classes are matched exactly, as the
handler names say; the handlers cannot prune the walk at run time.

Run as a script, it counts the names used inside each function and class
of every file under PATH (default: the interpreter's standard library)
twice, with an `ast.NodeVisitor` and with an `EventVisitor`, checks that
both made the same calls in the same order, and prints the time of each.
"""

import argparse
import ast
import pathlib
import sys
import sysconfig
import time
import warnings

import arbolus


class EventVisitor:
    """Handlers named visit_X, enter_X and leave_X for node classes X of
    the `ast` module."""

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        leaf, bracket = {}, set()
        for attr in dir(cls):
            kind, _, name = attr.partition("_")
            node_class = getattr(ast, name, None) if kind in ("visit", "enter", "leave") else None
            if not (isinstance(node_class, type) and issubclass(node_class, ast.AST)):
                continue
            if kind == "visit":
                leaf[node_class] = getattr(cls, attr)
            else:
                bracket.add(node_class)
        if bracket & leaf.keys():
            both = ", ".join(sorted(c.__name__ for c in bracket & leaf.keys()))
            raise TypeError(f"{cls.__name__}: visit_ and enter_/leave_ handlers for {both}")
        cls._leaf = leaf
        cls._kinds = tuple(leaf)
        cls._bracket = tuple(bracket)
        noop = lambda self, node: None  # noqa: E731
        cls._enter = {c: getattr(cls, "enter_" + c.__name__, noop) for c in bracket}
        cls._leave = {c: getattr(cls, "leave_" + c.__name__, noop) for c in bracket}

    def visit(self, node):
        leaf = self._leaf
        handler = leaf.get(type(node))
        if handler is not None:      # the root is dispatched, as NodeVisitor.visit does
            return handler(self, node)
        enter, leave = self._enter, self._leave
        for event, n in arbolus.walk_frontier_events(node, self._kinds, self._bracket):
            if event == 0:
                leaf[type(n)](self, n)
            elif event == 1:
                enter[type(n)](self, n)
            else:
                leave[type(n)](self, n)


# --- the comparison ---------------------------------------------------------

class ScopeNames(ast.NodeVisitor):
    """How many names each function and class uses directly (not in the
    scopes nested in it). With `record`, also every call it gets, in order."""

    def __init__(self, record=False):
        self.calls = [] if record else None
        self.scopes = [None]
        self.counts = {}

    def _enter(self, node):
        if self.calls is not None:
            self.calls.append(("enter", node))
        self.scopes.append(node)

    def _leave(self, node):
        if self.calls is not None:
            self.calls.append(("leave", node))
        self.scopes.pop()

    def visit_FunctionDef(self, node):
        self._enter(node)
        self.generic_visit(node)
        self._leave(node)

    visit_AsyncFunctionDef = visit_ClassDef = visit_FunctionDef

    def visit_Name(self, node):
        if self.calls is not None:
            self.calls.append(("visit", node))
        key = id(self.scopes[-1])
        self.counts[key] = self.counts.get(key, 0) + 1


class FastScopeNames(EventVisitor):
    """The same handlers, as EventVisitor spells them."""

    __init__ = ScopeNames.__init__
    _enter = ScopeNames._enter
    _leave = ScopeNames._leave
    enter_FunctionDef = enter_AsyncFunctionDef = enter_ClassDef = _enter
    leave_FunctionDef = leave_AsyncFunctionDef = leave_ClassDef = _leave
    visit_Name = ScopeNames.visit_Name


def parse_all(paths):
    trees = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in paths:
            try:
                trees.append(ast.parse(path.read_bytes(), str(path)))
            except (SyntaxError, ValueError):
                pass
    return trees


def same_calls(trees):
    """Both visitors over `trees`, recording: the number of calls each made,
    after checking that they made the same calls in the same order and
    counted the same (AssertionError otherwise)."""
    calls = 0
    for tree in trees:
        a, b = ScopeNames(record=True), FastScopeNames(record=True)
        a.visit(tree)
        b.visit(tree)
        if [(k, id(n)) for k, n in a.calls] != [(k, id(n)) for k, n in b.calls]:
            raise AssertionError("the visitors made different calls")
        if a.counts != b.counts:
            raise AssertionError("the visitors counted differently")
        calls += len(a.calls)
    return calls


def seconds(visitor_class, trees):
    """Time of one visit of every tree, without recording the calls."""
    t = time.perf_counter()
    for tree in trees:
        visitor_class().visit(tree)
    return time.perf_counter() - t


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="*", metavar="PATH")
    ap.add_argument("--stride", type=int, default=1, help="every N-th file only")
    args = ap.parse_args(argv)
    roots = [pathlib.Path(p) for p in args.paths] or [
        pathlib.Path(sysconfig.get_paths()["stdlib"])]
    files = sorted(q for r in roots for q in (r.rglob("*.py") if r.is_dir() else [r])
                   if "site-packages" not in q.parts)[:: args.stride]
    print(f"parsing {len(files)} files...", file=sys.stderr)
    trees = parse_all(files)
    nodes = sum(map(arbolus._walk_count, trees))
    calls = same_calls(trees)
    # Best of three passes each, alternated, so both meet the same machine.
    t_theirs = t_ours = float("inf")
    for _ in range(3):
        t_theirs = min(t_theirs, seconds(ScopeNames, trees))
        t_ours = min(t_ours, seconds(FastScopeNames, trees))
    print(f"{len(trees)} modules, {nodes:,d} nodes: both visitors made the same {calls:,d} calls")
    print(f"ast.NodeVisitor {t_theirs:.2f}s, EventVisitor {t_ours:.2f}s: "
          f"{t_theirs / t_ours:.1f}x faster")


if __name__ == "__main__":
    main()
