"""Two builds of the module timed against each other in one process.

Both builds are loaded under the name `arbolus` from their own files and
called in alternation by the benchmark's harness (rotated order, medians,
collector off), on the same trees, in cache (one tree, repeated calls) and
out of cache (a pass over many trees). Figures are ns per node, or ns per
call for the per-call rows, with new/old as the ratio (below 1: faster).

    python bench/side_by_side.py OLD_MODULE [NEW_MODULE] [--rows "set_parents;..."]

OLD_MODULE is a built module file (for instance one built from an earlier
commit with `cmake -S <export> -B <dir>`); NEW_MODULE defaults to the
installed one.
"""

import argparse
import ast
import gc
import importlib.util
import pathlib
import sys
import sysconfig
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness as H  # noqa: E402
import peers as P  # noqa: E402


def load(path, alias):
    found = importlib.util.spec_from_file_location("arbolus", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules[alias] = module
    return module


def parse(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(path.read_bytes(), str(path))


def corpus(stride):
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    trees = []
    for p in sorted(root.rglob("*.py"))[::stride]:
        if "site-packages" in p.parts:
            continue
        try:
            trees.append(parse(p))
        except (SyntaxError, ValueError, UnicodeDecodeError):
            continue
    return trees


def strip_all(trees):
    for t in trees:
        P.strip_locations(ast.walk(t))


def per_node_rows():
    """(name, call(module, tree), "strip" when every call needs stripped trees)"""
    return [
        ("walk_dfs", lambda m, t: m.walk_dfs(t), None),
        ("walk_unordered", lambda m, t: m.walk_unordered(t), None),
        ("_walk_count", lambda m, t: m._walk_count(t), None),
        ("subtree_hashes", lambda m, t: m.subtree_hashes(t), None),
        ("subtree_hash", lambda m, t: m.subtree_hash(t), None),
        ("subtree_fingerprints", lambda m, t: m.subtree_fingerprints(t), None),
        ("subtree_fingerprint", lambda m, t: m.subtree_fingerprint(t), None),
        ("set_parents", lambda m, t: m.set_parents(t), None),
        ("fix_missing_locations [present]", lambda m, t: m.fix_missing_locations(t), None),
        ("fix_missing_locations [stripped]", lambda m, t: m.fix_missing_locations(t),
         "strip"),
        ("walk_frontier", lambda m, t: m.walk_frontier(t, P.CALL), None),
        ("walk_frontier_edges", lambda m, t: m.walk_frontier_edges(t, P.CALL), None),
        ("walk_of_types", lambda m, t: m.walk_of_types(t, P.NAMES_AND_CALLS), None),
        ("walk_of_types [prune]",
         lambda m, t: m.walk_of_types(t, P.NAMES_AND_CALLS, P.PRUNED), None),
        ("walk_frontier_events",
         lambda m, t: m.walk_frontier_events(t, P.NAME, P.BRACKETS), None),
    ]


def node_classes():
    found, todo = {}, [ast.AST]
    while todo:
        for sub in todo.pop().__subclasses__():
            if sub.__module__ == "ast" and sub.__name__ not in found:
                found[sub.__name__] = sub
                todo.append(sub)
    return tuple(cls for _, cls in sorted(found.items()))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("old")
    ap.add_argument("new", nargs="?")
    ap.add_argument("--rows", default="", help="row names separated by ; (default: all)")
    ap.add_argument("--rounds", type=int, default=31)
    ap.add_argument("--stride", type=int, default=6, help="every n-th corpus file out of cache")
    args = ap.parse_args(argv)

    old = load(args.old, "arbolus_old")
    if args.new:
        new = load(args.new, "arbolus_new")
    else:
        import arbolus as new
    print(f"old: {old.__file__}\nnew: {new.__file__}")

    in_tree = parse(pathlib.Path(sysconfig.get_paths()["stdlib"]) / "_pydecimal.py")
    out_trees = corpus(args.stride)
    n_in = new._walk_count(in_tree)
    n_out = sum(map(new._walk_count, out_trees))
    print(f"in cache: _pydecimal.py ({n_in:,d} nodes); out of cache: {len(out_trees)} "
          f"modules ({n_out:,d} nodes)")
    gc.collect()
    gc.freeze()

    wanted = {r.strip() for r in args.rows.split(";") if r.strip()}
    lines = []

    # Medians, and the ratio of the fastest samples: on a machine shared
    # with other work, the fastest sample is the least disturbed one.
    def report(name, where, sides, per):
        o, n = (H.median(s.samples) / per for s in sides)
        best = min(sides[1].samples) / min(sides[0].samples)
        spread = max(H.spread(s.samples) for s in sides)
        lines.append(f"{name:44} {where:12} {o:9.1f} {n:9.1f} {n / o:7.3f} {best:7.3f}"
                     f"  ±{spread:.0%}")
        print(lines[-1], flush=True)

    for name, fn, reset in per_node_rows():
        if wanted and name not in wanted:
            continue
        if reset == "strip":
            in_reset, out_reset = (lambda t: strip_all([t])), strip_all
        else:
            in_reset = out_reset = None
        sides = [H.Side(label, (lambda t, m=m: fn(m, t)), in_tree, in_reset)
                 for label, m in (("old", old), ("new", new))]
        H.in_cache(sides, args.rounds, 2_000_000, 20_000_000)
        report(name, "in cache", sides, n_in)
        # A pass is one call per tree.
        sides = [H.Side(label, (lambda t, m=m: fn(m, t)), out_trees, out_reset)
                 for label, m in (("old", old), ("new", new))]
        H.out_of_cache(sides, max(3, args.rounds // 3))
        report(name, "out of cache", sides, n_out)

    # Per call on small subtrees, as a visitor rebuilt on the selections
    # makes them: one Name node, one simple statement (out of cache: the
    # corpus's Name nodes, its statements without a body).
    all_classes = node_classes()
    some = all_classes[:20]
    names = [n for t in out_trees for n in ast.walk(t) if type(n) is ast.Name][:20000]
    stmts = [s for t in out_trees for s in ast.walk(t)
             if isinstance(s, ast.stmt) and not hasattr(s, "body")][:20000]
    name_node, stmt = names[0], ast.parse("total += g(i, key=b)[0] * h.attr(i)").body[0]
    its_context = (type(name_node.ctx),)
    per_call = [
        ("walk_dfs(stmt)", lambda m, n: m.walk_dfs(n), stmt, stmts),
        ("walk_frontier(Name, ())", lambda m, n: m.walk_frontier(n, ()), name_node, names),
        ("walk_frontier(Name, 20 classes)", lambda m, n: m.walk_frontier(n, some),
         name_node, names),
        (f"walk_frontier(Name, {len(all_classes)} classes)",
         lambda m, n: m.walk_frontier(n, all_classes), name_node, names),
        # The call above matches the Name's context; this one only that.
        ("walk_frontier(Name, (its context class,))",
         lambda m, n: m.walk_frontier(n, its_context), name_node, names),
        ("walk_frontier_events(stmt, (), ())",
         lambda m, n: m.walk_frontier_events(n, (), ()), stmt, stmts),
        ("walk_frontier_events(stmt, Name, brackets)",
         lambda m, n: m.walk_frontier_events(n, P.NAME, P.BRACKETS), stmt, stmts),
    ]
    for name, fn, one, many in per_call:
        if wanted and name not in wanted:
            continue
        sides = [H.Side(label, (lambda a, m=m: fn(m, a)), one)
                 for label, m in (("old", old), ("new", new))]
        H.in_cache(sides, args.rounds, 2_000_000, 20_000_000)
        report(name, "in cache", sides, 1)
        sides = [H.Side(label, (lambda a, m=m: fn(m, a)), many)
                 for label, m in (("old", old), ("new", new))]
        H.out_of_cache(sides, max(3, args.rounds // 3))
        report(name, "out of cache", sides, len(many))

    print()
    print(f"{'':44} {'':12} {'old':>9} {'new':>9} {'new/old':>7} {'fastest':>7}  spread")
    print("\n".join(lines))
    print("ns per node; rows with parentheses: ns per call")


if __name__ == "__main__":
    sys.exit(main())
