"""Instructions per node for every function, counted by callgrind.

Wall-clock figures on a shared machine move by tens of percent from run to
run; the number of instructions a call executes does not depend on load.
This script runs one interpreter under valgrind's callgrind with collection
off, switches it on only inside the module's call entry (binding, the
function's work, nothing of the caller's), and writes one count per call.
Every measured call follows an uncounted warm-up call of the same kind, so
it sees the per-thread caches filled. The cost of an empty call made the
same way (the same function and arguments on the integer 0, which is no
node) is subtracted, and the rest is divided by the nodes the call visits
(as `_walk_count` counts them). The release of a call's result happens
after the call returns and is not counted.

Trees: `_pydecimal.py` of the running interpreter's standard library (the
benchmark's in-cache tree), a parsed tree of about 1,000 nodes, and a tree
built with the node constructors (dictionaries laid out as constructors lay
them out, no locations). For fix_missing_locations also: the in-cache tree
with every location removed (each measured call gets a freshly stripped
tree), and with its locations re-inserted after the other attributes, so
that they are no longer at their usual dictionary positions.

What the counted interpreter allocates before the calls does not depend on
this script's text where that matters: it makes the node classes before it
reads the script (see LAUNCHER), and the rows of the small trees are the
median over copies of the tree in several places (see driver).

Per-call rows (no subtraction, not per node) measure the overhead a caller
pays per call on small subtrees: building the class sets from tuples.

    python bench/icount.py                 # print the table
    python bench/icount.py --json PATH     # also write the figures
    python bench/icount.py --write-budget  # make the figures the budget

The budget is bench/icount_budget_3.13.json for 3.13, and so on for each
version.

The module is taken from the CMake build directory (the installed copy has
no symbol table, which callgrind needs to find the call entry).
"""

import argparse
import ast
import gc
import json
import os
import pathlib
import shutil
import subprocess
import statistics
import sys
import sysconfig
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# One budget per version and build (3.13t): one module counts
# apart on each (the interpreter's calls are in every figure).
BUDGET = HERE / f"icount_budget_{sys.version_info[0]}.{sys.version_info[1]}{sys.abiflags}.json"
# A figure may exceed its budget by this fraction before the budget test fails.
TOLERANCE = 0.03
# Copies of each small tree, each counted (see driver).
LAYOUTS = 5

# Callgrind counts from entering the module's call entry until it returns,
# and writes a dump after each. (The two options need different patterns:
# callgrind keeps one setting per pattern string.)
ENTRY = "arbolus::(anonymous namespace)::call(*"
ENTRY_DUMP = "*namespace)::call(*"

INSTALL_HINT = ("valgrind is not installed; on Debian or Ubuntu: "
                "apt-get install -y valgrind")


# --- the driver: runs inside valgrind ----------------------------------------

def driver(manifest_path):
    import warnings

    import peers as P

    gc.disable()

    def parse(path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ast.parse(pathlib.Path(path).read_bytes(), str(path))

    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    in_cache_path = stdlib / "_pydecimal.py"

    def thousand():
        return ast.parse(SOURCE_1K)

    def strip(nodes):
        P.strip_locations(nodes)

    def move(tree):
        # Fields first, then the locations in reverse order, rebuilt without
        # holes: each location's usual position holds another key.
        for n in ast.walk(tree):
            d = n.__dict__
            items = list(d.items())
            d.clear()
            d.update([kv for kv in items if kv[0] not in P.LOCATIONS])
            d.update(reversed([kv for kv in items if kv[0] in P.LOCATIONS]))
        return tree

    # Every tree and argument is made before the module is loaded: where
    # the interpreter's memory arenas are placed depends on what was mapped
    # before, the module included, and the node classes' addresses decide
    # how often the module's address-keyed tables probe more than once. So
    # a change to the module's size leaves the figures of unchanged code alone.
    #
    # The small trees are counted in LAYOUTS copies, each made after
    # allocations of another size, and each row takes the median: in a
    # tree of a thousand nodes, where the nodes land (which decides the
    # collisions of a dict keyed by their ids, say) moves a figure by up to
    # one percent, which the median of several places does not follow.
    spacers = []

    def copies(make):
        made = []
        for i in range(LAYOUTS):
            spacers.append([(j,) * (1 + j % 7) for j in range(29 * i)])
            made.append(make())
        return made

    trees = {"in-cache": [parse(in_cache_path)], "1k": copies(thousand),
             "hand-built": copies(hand_built)}
    # Edits work on trees of their own, so the reading rows see parsed trees.
    parents = {"in-cache": [parse(in_cache_path)], "1k": copies(thousand),
               "hand-built": copies(hand_built)}
    present = {"in-cache": [parse(in_cache_path)], "1k": copies(thousand)}
    stripped = parse(in_cache_path)
    stripped_nodes = list(ast.walk(stripped))
    moved = move(parse(in_cache_path))
    name_node = trees["1k"][0].body[0].body[0].targets[0]
    statement = ast.parse("total += g(i, key=b)[0] * h.attr(i)").body[0]
    classes = node_classes()
    some_classes, all_classes = tuple(classes[:20]), tuple(classes)
    its_context = (type(name_node.ctx),)

    import arbolus

    manifest = []   # one label per call into the module, in call order

    def call(label, fn, *args):
        manifest.append(label)
        return fn(*args)

    nodes = {name: call(None, arbolus._walk_count, t[0]) for name, t in trees.items()}

    reading = [
        ("walk", arbolus.walk),
        ("walk_dfs", arbolus.walk_dfs),
        ("walk_unordered", arbolus.walk_unordered),
        ("_walk_count", arbolus._walk_count),
        ("walk_frontier", lambda t: arbolus.walk_frontier(t, P.CALL)),
        ("walk_frontier_edges", lambda t: arbolus.walk_frontier_edges(t, P.CALL)),
        ("walk_of_types", lambda t: arbolus.walk_of_types(t, P.NAMES_AND_CALLS)),
        ("walk_of_types [prune]",
         lambda t: arbolus.walk_of_types(t, P.NAMES_AND_CALLS, P.PRUNED)),
        ("walk_frontier_events",
         lambda t: arbolus.walk_frontier_events(t, P.NAME, P.BRACKETS)),
        ("subtree_hashes", arbolus.subtree_hashes),
        ("subtree_hash", arbolus.subtree_hash),
    ]

    # Each measurement: a warm-up call and a counted call of the function on
    # the empty argument, then the same on the tree. make() gives the
    # argument of one call (a fresh tree for calls that change it).
    def measure(label, fn, make, tree_key):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call(None, fn, 0)
            call((label, "empty", None), fn, 0)
            call(None, fn, make())
            call((label, "tree", nodes[tree_key]), fn, make())

    def measure_copies(label, fn, made, tree_key):
        for tree in made:
            measure(label, fn, lambda tree=tree: tree, tree_key)

    for name, fn in reading:
        for key, made in trees.items():
            measure_copies(f"{name} [{key}]", fn, made, key)

    for key, made in parents.items():
        measure_copies(f"set_parents [{key}]", arbolus.set_parents, made, key)

    fix = arbolus.fix_missing_locations
    for key, made in present.items():
        measure_copies(f"fix_missing_locations [{key}]", fix, made, key)
    measure("fix_missing_locations [hand-built]", fix, hand_built, "hand-built")

    def freshly_stripped():
        strip(stripped_nodes)
        return stripped

    measure("fix_missing_locations [in-cache, stripped]", fix, freshly_stripped, "in-cache")
    measure("fix_missing_locations [in-cache, moved]", fix, lambda: moved, "in-cache")

    # Added after the rows above, which thus see the driver's memory laid out
    # as before they existed.
    for name, fn in [("subtree_fingerprints", arbolus.subtree_fingerprints),
                     ("subtree_fingerprint", arbolus.subtree_fingerprint)]:
        for key, made in trees.items():
            measure_copies(f"{name} [{key}]", fn, made, key)

    # Per call on small subtrees: the class sets built from the tuples.
    per_call = [
        ("walk_frontier(Name, ())", lambda: arbolus.walk_frontier(name_node, ())),
        ("walk_frontier(Name, 20 classes)",
         lambda: arbolus.walk_frontier(name_node, some_classes)),
        (f"walk_frontier(Name, all {len(all_classes)} classes)",
         lambda: arbolus.walk_frontier(name_node, all_classes)),
        # The call above matches the Name's context; this one only that.
        ("walk_frontier(Name, (its context class,))",
         lambda: arbolus.walk_frontier(name_node, its_context)),
        ("walk_frontier_events(statement, (), ())",
         lambda: arbolus.walk_frontier_events(statement, (), ())),
        ("walk_frontier_events(statement, Name, brackets)",
         lambda: arbolus.walk_frontier_events(statement, P.NAME, P.BRACKETS)),
    ]
    for label, fn in per_call:
        call(None, fn)
        call((label, "call", None), fn)

    pathlib.Path(manifest_path).write_text(json.dumps(manifest))


# About 1,000 nodes of ordinary code.
SOURCE_1K = "\n".join(f"""
def handler_{i}(request, retries=3, *args, **options):
    total = 0
    for item in request.items[{i}:]:
        if item.kind == "{i}" and not options.get("skip"):
            total += compute(item, key=retries)[0]
        else:
            total -= item.weight * {i}
    return [x for x in args if x], {{"total": total, "n": {i}}}
""" for i in range(12))


def hand_built():
    """A module built with the node constructors, without locations."""
    def load(name):
        return ast.Name(id=name, ctx=ast.Load())

    body = []
    for i in range(35):
        call = ast.Call(
            func=ast.Attribute(value=load("obj"), attr="method", ctx=ast.Load()),
            args=[ast.Constant(value=i),
                  ast.BinOp(left=load("x"), op=ast.Add(), right=ast.Constant(value=1))],
            keywords=[ast.keyword(arg="key", value=ast.Constant(value=None))])
        body.append(ast.Assign(targets=[ast.Name(id=f"v{i}", ctx=ast.Store())], value=call))
        body.append(ast.If(
            test=ast.Compare(left=load(f"v{i}"), ops=[ast.Gt()], comparators=[ast.Constant(0)]),
            body=[ast.Expr(value=ast.Call(func=load("log"), args=[load(f"v{i}")], keywords=[]))],
            orelse=[ast.Return(value=None)]))
    return ast.Module(body=body, type_ignores=[])


def node_classes():
    """Every node class of the ast module (abstract ones too), by name."""
    found = {}
    todo = [ast.AST]
    while todo:
        for sub in todo.pop().__subclasses__():
            if sub.__module__ == "ast" and sub.__name__ not in found:
                found[sub.__name__] = sub
                todo.append(sub)
    return [cls for _, cls in sorted(found.items())]


# --- the parent: runs valgrind and reads the dumps ---------------------------

def find_module():
    """The module built by the last `make install`, with its symbol table."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted((ROOT / "build").glob(f"*/arbolus{suffix}"))
    found = [p for p in found if p.parent.name not in ("asan", "tsan", "clang")]  # budgets: GCC Release
    if not found:
        sys.exit(f"no built module under {ROOT / 'build'}: run `make install` first")
    return max(found, key=lambda p: p.stat().st_mtime)


# What the counted interpreter runs first, before it reads this script:
# the node classes are made (importing ast), and the modules the driver
# uses are loaded, while what the interpreter has allocated depends on
# nothing but this text. The classes' addresses decide how often the
# module's address-keyed class tables probe more than once, so they must
# not move with the script's wording.
LAUNCHER = (
    "import sys, ast, gc, json, pathlib, sysconfig, warnings, argparse, os, shutil, "
    "statistics, subprocess, tempfile, time\n"
    "sys.path.insert(0, '.')\n"
    "import icount\n"
    "icount.driver(sys.argv[1])\n"
)


def run_callgrind(module, workdir, padding=""):
    """Labels and instruction counts of the calls the driver makes.
    `padding` is appended to the copy of this script that the counted
    interpreter runs (a test shows that it moves no figure)."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit(INSTALL_HINT)
    # Where the allocator places blocks (and so whether a growing array is
    # extended in place or copied) depends on everything allocated before,
    # environment and paths included. The counted interpreter therefore runs
    # the base interpreter without site packages, in a fixed environment,
    # from copies in a directory whose name has a fixed length, so that the
    # figures do not depend on the caller's environment or checkout path.
    for src in (module, HERE / "peers.py"):
        shutil.copy2(src, workdir / src.name)
    script = pathlib.Path(__file__).resolve()
    (workdir / script.name).write_text(script.read_text() + padding)
    manifest = workdir / "manifest.json"
    out = workdir / "cg.out"
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "PYTHONHASHSEED": "0"}
    python = getattr(sys, "_base_executable", None) or sys.executable
    cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no",
           f"--toggle-collect={ENTRY}", f"--dump-after={ENTRY_DUMP}",
           "--dump-instr=no", "--compress-strings=no", "--compress-pos=no",
           f"--callgrind-out-file={out}",
           python, "-s", "-S", "-c", LAUNCHER, str(manifest)]
    proc = subprocess.run(cmd, env=env, cwd=workdir, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"callgrind run failed ({proc.returncode}):\n{proc.stderr[-4000:]}")
    labels = json.loads(manifest.read_text())
    counts = []
    for i in range(1, len(labels) + 1):
        dump = workdir / f"cg.out.{i}"
        if not dump.exists():
            sys.exit(f"callgrind wrote {i - 1} dumps for {len(labels)} calls: "
                     f"is the module {module} stripped of its symbols?")
        counts.append(totals(dump))
    return labels, counts


def totals(dump):
    for line in dump.read_text().splitlines():
        if line.startswith("totals:") or line.startswith("summary:"):
            return int(line.split()[1])
    raise ValueError(f"no totals in {dump}")


def figures(labels, counts):
    """{row label: instructions per node (or per call)}, in call order; a
    row counted on several copies of its tree takes the median."""
    empty = {}
    samples = {}
    for label, count in zip(labels, counts):
        if label is None:
            continue
        name, kind, nodes = label
        if kind == "empty":
            empty[name] = count
        elif kind == "tree":
            samples.setdefault(name, []).append((count - empty[name]) / nodes)
        else:
            samples[name] = [float(count)]
    return {name: round(statistics.median(values), 1) for name, values in samples.items()}


def measure(module=None, padding=""):
    module = pathlib.Path(module) if module else find_module()
    base = "/tmp" if os.path.isdir("/tmp") else None  # a fixed path length
    with tempfile.TemporaryDirectory(prefix="icount-", dir=base) as tmp:
        labels, counts = run_callgrind(module, pathlib.Path(tmp), padding)
    return figures(labels, counts)


def load_budget(path=BUDGET):
    return json.loads(pathlib.Path(path).read_text())["figures"]


def over_budget(figs, budget, tolerance=TOLERANCE):
    """Messages for every figure above its budget by more than the tolerance,
    and for figures without a budget."""
    problems = []
    for name, value in figs.items():
        limit = budget.get(name)
        if limit is None:
            problems.append(f"{name}: {value:g} has no budget in {BUDGET.name}")
        elif value > limit * (1 + tolerance):
            problems.append(f"{name}: {value:g} instructions, budget {limit:g} "
                            f"(+{(value / limit - 1) * 100:.1f}%)")
    problems += [f"{name}: in {BUDGET.name} but no longer measured"
                 for name in budget if name not in figs]
    return problems


def table(figs, budget):
    width = max(map(len, figs)) + 2
    lines = [f"{'':{width}}{'figure':>10}{'budget':>10}{'vs budget':>11}"]
    section = None
    for name, value in figs.items():
        per_call = "(" in name
        if per_call != section:
            section = per_call
            lines.append("instructions per call:" if per_call else
                         "instructions per node (empty call subtracted):")
        limit = budget.get(name)
        vs = f"{(value / limit - 1) * 100:+.1f}%" if limit else "-"
        limit_s = f"{limit:g}" if limit is not None else "-"
        lines.append(f"  {name:{width - 2}}{value:>10g}{limit_s:>10}{vs:>11}")
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--json", help="write the figures to this file")
    ap.add_argument("--write-budget", action="store_true",
                    help=f"write the figures to {BUDGET.relative_to(ROOT)}")
    ap.add_argument("--module", help="path of the built module (default: under build/)")
    args = ap.parse_args(argv)
    started = time.perf_counter()
    figs = measure(args.module)
    budget = load_budget() if BUDGET.exists() else {}
    print(table(figs, budget))
    print(f"callgrind run: {time.perf_counter() - started:.0f}s")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(figs, indent=1) + "\n")
    if args.write_budget:
        BUDGET.write_text(json.dumps({
            "about": "callgrind instructions per node (per call where the name has "
                     "parentheses); written by `make icount ICOUNT_ARGS=--write-budget`; "
                     f"the budget test fails above {TOLERANCE:.0%} over a figure",
            "figures": figs}, indent=1) + "\n")
        print(f"wrote {BUDGET.relative_to(ROOT)}")
        return 0
    problems = over_budget(figs, budget) if budget else []
    for p in problems:
        print("over budget:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
