"""Which function each name is used in, by climbing parent links.

    python examples/parents_and_scopes.py [PATH]

`set_parents` gives every node below the root a `.parent` attribute in one
call; a tool then finds a node's context by climbing, as here: for every
name in the file (a `Name` node, the file's own source when no PATH is
given) the nearest enclosing function, method or lambda, printed with its
qualified name, or `<module>` for names outside any function.

Note that `ast.parse` shares one instance of each context class (`Load`,
`Store`, `Del`) between all the nodes that use it, so their `.parent` is
whichever node was written last; the parents of every other node are exact.
"""

import argparse
import ast
import pathlib
from collections import defaultdict

import arbolus

SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)
FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)


def enclosing(node, kinds):
    """The nearest ancestor of `node` whose class is one of `kinds`, or None.
    Reads `.parent`, so the tree must have been through set_parents; the
    root has no `.parent`."""
    node = getattr(node, "parent", None)
    while node is not None and not isinstance(node, kinds):
        node = getattr(node, "parent", None)
    return node


def qualified_name(scope):
    """`Outer.method.<locals>.inner`-style name of a function or class, from
    the scopes around it."""
    parts = []
    while scope is not None:
        name = scope.name if not isinstance(scope, ast.Lambda) else "<lambda>"
        outer = enclosing(scope, SCOPES)
        if isinstance(outer, FUNCTIONS):
            name = "<locals>." + name
        parts.append(name)
        scope = outer
    return ".".join(reversed(parts))


def names_by_function(tree):
    """{qualified function name or '<module>': [(line, column, name), ...]}
    for every Name node of `tree`, in source order."""
    arbolus.set_parents(tree)
    found = defaultdict(list)
    for name in arbolus.walk_of_types(tree, (ast.Name,)):
        function = enclosing(name, FUNCTIONS)
        key = qualified_name(function) if function is not None else "<module>"
        found[key].append((name.lineno, name.col_offset, name.id))
    return {k: sorted(v) for k, v in found.items()}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("path", nargs="?", default=__file__)
    args = ap.parse_args(argv)
    path = pathlib.Path(args.path)
    tree = ast.parse(path.read_bytes(), str(path))
    for function, names in names_by_function(tree).items():
        used = sorted({n for _, _, n in names})
        print(f"{function} (from line {names[0][0]}): {', '.join(used)}")


if __name__ == "__main__":
    main()
