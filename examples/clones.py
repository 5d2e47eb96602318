"""Duplicated code across Python files, found with structural hashes.

    python examples/clones.py [--min-nodes N] [--limit K] PATH...

PATH is a file or a directory (searched for *.py). Two kinds of duplicate
are reported:

- function bodies: functions and methods whose bodies are the same
  statements (names of the functions themselves may differ);
- statement blocks: single statements, compound ones included (an `if`
  with its branches, a `for` loop, a class), of at least N nodes.

Each group lists its members as file:line, the largest duplicates first.
A duplicate inside a larger reported one is not reported again.

`subtree_hashes` gives every node a hash in one pass; two subtrees with the
same `ast.dump` get the same hash. Those hashes agree only within one
process, so every file is parsed and hashed here, in this process.

Equal hashes make candidates, not duplicates: different subtrees can hash
alike (`x = 9223372036854775807` and `x = 3` do, because the interpreter
hashes those integers alike). So the files that hold candidates are parsed
a second time, and each group is split by the members' `ast.dump` texts
before anything is reported; only members whose texts are equal are
reported together.
"""

import argparse
import ast
import gc
import pathlib
import sys
import time
import warnings
from collections import defaultdict
from dataclasses import dataclass

import arbolus

FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
# walk_of_types selects by exact class, so the abstract ast.stmt matches
# nothing: list every concrete statement class. Concrete node classes
# declare __match_args__ and have fields or derive from an abstract base;
# abstract bases have no fields and derive from ast.AST itself, and
# deprecated aliases declare no __match_args__ or have a metaclass of their
# own.
STATEMENTS = tuple(
    cls for cls in vars(ast).values()
    if type(cls) is type and issubclass(cls, ast.stmt) and "__match_args__" in vars(cls)
    and (cls._fields or cls.__base__ not in (ast.AST, object))
)
# Empty lists and None fields are part of the text compared: 3.13 dumps them
# only when asked, older versions always.
DUMP_ALL = {"show_empty": True} if sys.version_info >= (3, 13) else {}


def python_files(paths):
    for p in map(pathlib.Path, paths):
        if p.is_dir():
            yield from sorted(q for q in p.rglob("*.py") if q.is_file())
        else:
            yield p


def parse_file(path):
    """The tree of the file at `path`, or None, named on stderr, when it
    cannot be read or parsed."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escape sequences and the like
        try:
            return ast.parse(pathlib.Path(path).read_bytes(), str(path))
        except (SyntaxError, ValueError, OSError) as exc:
            print(f"skipped {path}: {exc.__class__.__name__}", file=sys.stderr)
            return None


def parse_files(paths):
    """(path, tree) for every file that parses, one at a time."""
    for path in python_files(paths):
        tree = parse_file(path)
        if tree is not None:
            yield str(path), tree


@dataclass(frozen=True)
class Clone:
    """One member of a group: its file, its source span and a label."""
    path: str
    start: tuple   # (line, column)
    end: tuple
    label: str

    @property
    def where(self):
        return f"{self.path}:{self.start[0]}"

    def within(self, other):
        return self.path == other.path and other.start <= self.start and self.end <= other.end


def span(first, last):
    return (first.lineno, first.col_offset), (last.end_lineno, last.end_col_offset)


def candidates(path, tree, min_nodes):
    """(key, size in nodes, Clone, what to compare) for each function body
    and statement of `tree` of at least `min_nodes` nodes. Members of one
    group share the key; the last item is the subtree itself (a body is
    its list of statements)."""
    hashes = arbolus.subtree_hashes(tree)
    for fn in arbolus.walk_of_types(tree, FUNCTIONS):
        size = sum(arbolus._walk_count(s) for s in fn.body)
        if size >= min_nodes:
            key = ("function body", tuple(hashes[id(s)] for s in fn.body))
            yield key, size, Clone(path, *span(fn.body[0], fn.body[-1]), f"def {fn.name}"), fn.body
    for stmt in arbolus.walk_of_types(tree, STATEMENTS):
        size = arbolus._walk_count(stmt)
        if size >= min_nodes:
            key = ("statement", hashes[id(stmt)])
            yield key, size, Clone(path, *span(stmt, stmt), type(stmt).__name__), stmt


def dump(subtree):
    """The exact text a group's members must share: what the hashes stand
    for, without their collisions."""
    if isinstance(subtree, list):
        return tuple(ast.dump(s, **DUMP_ALL) for s in subtree)
    return ast.dump(subtree, **DUMP_ALL)


def find_clones(trees, min_nodes, load=parse_file):
    """Groups of duplicates as (kind, size in nodes, [Clone, ...]), largest
    first; the members of a group have equal `ast.dump` texts.

    `trees` yields (path, tree); each tree is dropped once hashed, so
    memory holds the candidates, not the trees. The files whose candidates
    share a hash are then read again with `load(path)` (a tree, or None
    to leave the file out) and the candidates compared exactly."""
    # First pass: which hashes more than one candidate shares, and where.
    first = {}                   # key -> path of its first candidate
    shared, wanted = set(), set()
    paths = []                   # in reading order, which the groups keep
    for path, tree in trees:
        paths.append(path)
        for key, _, _, _ in candidates(path, tree, min_nodes):
            if key in first:
                shared.add(key)
                wanted.update((first[key], path))
            else:
                first[key] = path
    del first

    # Second pass: the shared keys' candidates, split by their dump texts.
    # A text is kept once per distinct subtree of a key, and the trees are
    # dropped again as they are read. Colliding subtrees need not have the
    # same size, so each split part keeps its own.
    exact = defaultdict(dict)    # key -> {dump text: (kind, size, [Clone])}
    for path in (p for p in paths if p in wanted):
        tree = load(path)
        if tree is None:
            continue
        for key, size, clone, subtree in candidates(path, tree, min_nodes):
            if key in shared:
                exact[key].setdefault(dump(subtree), (key[0], size, []))[2].append(clone)

    groups = []
    reported = defaultdict(list)  # path -> members of reported groups
    # Largest first; a function body before a statement of the same size
    # (its only statement, which it covers).
    parts = [part for split in exact.values() for part in split.values()]
    for kind, size, same in sorted(parts, key=lambda p: (-p[1], p[0] != "function body")):
        members = [c for c in same if not any(c.within(r) for r in reported[c.path])]
        if len(members) < 2:
            continue
        for c in members:
            reported[c.path].append(c)
        groups.append((kind, size, members))
    return groups


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="+", metavar="PATH")
    ap.add_argument("--min-nodes", type=int, default=40,
                    help="smallest duplicate reported, in nodes (default 40)")
    ap.add_argument("--limit", type=int, default=0,
                    help="print the K largest groups only (default: all)")
    args = ap.parse_args(argv)

    # Parsing allocates millions of node objects, and the cyclic collector
    # would go over them again and again; trees hold no cycles, and each is
    # freed by reference counting once hashed.
    gc.disable()
    t0 = time.perf_counter()
    files, parsing, reparsed = [], [0.0], []

    def counted(trees):
        """The trees, counting the files and the time spent parsing them."""
        while True:
            t = time.perf_counter()
            item = next(trees, None)
            parsing[0] += time.perf_counter() - t
            if item is None:
                return
            files.append(item[0])
            yield item

    def load(path):
        t = time.perf_counter()
        tree = parse_file(path)
        parsing[0] += time.perf_counter() - t
        reparsed.append(path)
        return tree

    groups = find_clones(counted(parse_files(args.paths)), args.min_nodes, load)
    elapsed = time.perf_counter() - t0

    shown = groups[: args.limit] if args.limit > 0 else groups
    for k, (kind, size, members) in enumerate(shown, 1):
        print(f"group {k}: {len(members)} x {kind}, {size} nodes")
        for c in members:
            print(f"  {c.where}  {c.label}")
    duplicated = sum(size * (len(m) - 1) for _, size, m in groups)
    print(f"{len(groups)} groups ({duplicated:,d} duplicated nodes) in {len(files)} files "
          f"({len(reparsed)} parsed again to confirm the groups), "
          f"{elapsed:.1f}s ({parsing[0]:.1f}s of it parsing)", file=sys.stderr)


if __name__ == "__main__":
    main()
