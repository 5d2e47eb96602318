"""A typed caller of every function; checked with `mypy --strict`, not run by pytest."""

import ast
from collections import defaultdict

import arbolus


def lint(tree: ast.Module) -> dict[int, list[ast.AST]]:
    nodes: list[ast.AST] = arbolus.walk_dfs(tree)
    assert arbolus._walk_count(tree) == len(nodes) == len(arbolus.walk_unordered(tree))
    calls: list[ast.AST] = arbolus.walk_frontier(tree, (ast.Call,))
    for node, parent, field, index in arbolus.walk_frontier_edges(tree, (ast.Name,)):
        where: object = getattr(parent, field)
        if index >= 0 and isinstance(where, list):
            assert where[index] is node
    names = arbolus.walk_of_types(tree, (ast.Name,), prune=(ast.Lambda,))
    depth = 0
    for event, node in arbolus.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
        if event == 1:
            depth += 1
        elif event == 2:
            depth -= 1
    arbolus.set_parents(tree)
    fixed: ast.Module = arbolus.fix_missing_locations(tree)
    hashes: dict[int, int] = arbolus.subtree_hashes(fixed)
    root_hash: int = arbolus.subtree_hash(fixed)
    prints: dict[int, bytes] = arbolus.subtree_fingerprints(fixed)
    root_print: bytes = arbolus.subtree_fingerprint(fixed)
    assert hashes[id(fixed)] == root_hash
    rules = arbolus.compile_patterns({"B011": "Assert(test=Constant(value=False))"})
    found = [(key, node) for key, node, captures in rules.find(tree, first=True) if captures is None]
    counts: dict[object, int] = dict(rules.count(tree, prune=(ast.Lambda,)))
    kinds: tuple[type, ...] = rules.kinds
    try:
        arbolus.compile_patterns(["Name(id=x) if x"])
    except arbolus.PatternError as e:
        offset: int = e.offset
    assert prints[id(fixed)] == root_print
    groups: defaultdict[int, list[ast.AST]] = defaultdict(list)
    for node in nodes + calls + names:
        groups[hashes[id(node)]].append(node)
    return dict(groups)


print(len(lint(ast.parse("def f(x):\n    return g(x) + 1\n"))))
