"""The fifteen rules of examples/patterns.py, three ways, in one run:

- floor: `walk_of_types` with the rules' classes alone;
- match: `walk_of_types`, then per candidate the match statements of the
  rules whose class it is (dispatched by exact class, one function per
  class, the fastest way to write it by hand with `match`);
- find: `compile_patterns(...).find`.

    python bench/pattern_rules.py [--stride N] [--repeat N]

Prints ns per node (the best of the repeats over the whole corpus, in
cache: each tree timed several times in a row) and compile time per
pattern. Both ways must report the same (key, node) pairs; that is checked
first.
"""

import argparse
import ast
import pathlib
import sys
import sysconfig
import time
import warnings

import arbolus

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from patterns import RULES  # noqa: E402


def corpus(stride):
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)[::stride]
    trees = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for p in paths:
            try:
                trees.append(ast.parse(p.read_bytes()))
            except (SyntaxError, ValueError):
                pass
    return trees


def by_statement(rules):
    """{class: function(node, out)} running the match statements of the
    rules that start at that class."""
    compiled = arbolus.compile_patterns(rules)
    table = {}
    for cls in compiled.kinds:
        keys = [k for k in rules if cls in arbolus.compile_patterns({k: rules[k]}).kinds]
        body = "".join(f"    match n:\n        case {rules[k]}:\n            out.append(({k!r}, n))\n"
                       for k in keys)
        ns = dict(vars(ast))
        exec(f"def f(n, out):\n{body}", ns)
        table[cls] = ns["f"]
    return compiled.kinds, table


def best(fn, trees, repeat, inner):
    times = []
    for _ in range(repeat):
        total = 0.0
        for t in trees:
            start = time.perf_counter()
            for _ in range(inner):
                fn(t)
            total += (time.perf_counter() - start) / inner
        times.append(total)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--stride", type=int, default=8)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--inner", type=int, default=3)
    args = ap.parse_args()
    trees = corpus(args.stride)
    nodes = sum(arbolus._walk_count(t) for t in trees)
    kinds, table = by_statement(RULES)
    rules = arbolus.compile_patterns(RULES)

    def floor(t):
        return arbolus.walk_of_types(t, kinds)

    def statement(t):
        out = []
        for n in arbolus.walk_of_types(t, kinds):
            table[type(n)](n, out)
        return out

    def find(t):
        return rules.find(t)

    for t in trees:
        ours = [(k, n) for k, n, _ in find(t)]
        theirs = statement(t)
        # The statement functions run rule by rule within a class; find
        # reports in the order the rules were given: compare as sets.
        assert sorted(map(repr, ours)) == sorted(map(repr, theirs))

    start = time.perf_counter()
    for _ in range(20):
        arbolus.compile_patterns(RULES)
    compile_us = (time.perf_counter() - start) / 20 / len(RULES) * 1e6

    rows = [("walk_of_types (floor)", floor), ("walk_of_types + match", statement),
            ("compile_patterns().find", find)]
    results = {name: best(fn, trees, args.repeat, args.inner) / nodes * 1e9 for name, fn in rows}
    print(f"{len(trees)} modules, {nodes} nodes, Python {sys.version.split()[0]}")
    base = results["walk_of_types (floor)"]
    for name, ns in results.items():
        print(f"  {name:28} {ns:7.1f} ns/node  {ns / base:5.2f}x floor")
    print(f"  compile time: {compile_us:.0f} us per pattern")


if __name__ == "__main__":
    main()
