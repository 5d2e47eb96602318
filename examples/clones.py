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
# walk_of_types selects by exact class: list every concrete statement class.
STATEMENTS = tuple(
    cls for cls in vars(ast).values()
    if isinstance(cls, type) and issubclass(cls, ast.stmt) and cls is not ast.stmt
    and cls.__module__ == "ast" and cls._fields
)


def python_files(paths):
    for p in map(pathlib.Path, paths):
        if p.is_dir():
            yield from sorted(q for q in p.rglob("*.py") if q.is_file())
        else:
            yield p


def parse_files(paths):
    """(path, tree) for every file that parses, one at a time; the others
    are named on stderr."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escape sequences and the like
        for path in python_files(paths):
            try:
                tree = ast.parse(path.read_bytes(), str(path))
            except (SyntaxError, ValueError, OSError) as exc:
                print(f"skipped {path}: {exc.__class__.__name__}", file=sys.stderr)
                continue
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


def find_clones(trees, min_nodes):
    """Groups of duplicates as (kind, size in nodes, [Clone, ...]), largest
    first. `trees` yields (path, tree); each tree is dropped once hashed, so
    memory holds the candidates, not the trees."""
    candidates = defaultdict(list)   # key -> [Clone]
    sizes = {}
    for path, tree in trees:
        hashes = arbolus.subtree_hashes(tree)
        for fn in arbolus.walk_of_types(tree, FUNCTIONS):
            size = sum(arbolus._walk_count(s) for s in fn.body)
            if size < min_nodes:
                continue
            key = ("function body", tuple(hashes[id(s)] for s in fn.body))
            candidates[key].append(Clone(path, *span(fn.body[0], fn.body[-1]), f"def {fn.name}"))
            sizes[key] = size
        for stmt in arbolus.walk_of_types(tree, STATEMENTS):
            size = arbolus._walk_count(stmt)
            if size < min_nodes:
                continue
            key = ("statement", hashes[id(stmt)])
            candidates[key].append(Clone(path, *span(stmt, stmt), type(stmt).__name__))
            sizes[key] = size

    groups = []
    reported = defaultdict(list)  # path -> members of reported groups
    # Largest first; a function body before a statement of the same size
    # (its only statement, which it covers).
    for key in sorted(candidates, key=lambda k: (-sizes[k], k[0] != "function body")):
        members = [c for c in candidates[key]
                   if not any(c.within(r) for r in reported[c.path])]
        if len(members) < 2:
            continue
        for c in members:
            reported[c.path].append(c)
        groups.append((key[0], sizes[key], members))
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
    files, parsing = [], [0.0]

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

    groups = find_clones(counted(parse_files(args.paths)), args.min_nodes)
    elapsed = time.perf_counter() - t0

    shown = groups[: args.limit] if args.limit > 0 else groups
    for k, (kind, size, members) in enumerate(shown, 1):
        print(f"group {k}: {len(members)} x {kind}, {size} nodes")
        for c in members:
            print(f"  {c.where}  {c.label}")
    duplicated = sum(size * (len(m) - 1) for _, size, m in groups)
    print(f"{len(groups)} groups ({duplicated:,d} duplicated nodes) in {len(files)} files, "
          f"{elapsed:.1f}s ({parsing[0]:.1f}s of it parsing)", file=sys.stderr)


if __name__ == "__main__":
    main()
