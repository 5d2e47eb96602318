"""Benchmark of arbolus against its standard-library peers.

Corpus: every .py file of the running interpreter's standard library
(outside site-packages) that parses.

For each pairing, after checking once that both sides compute the same
thing, three sides are timed in alternation (ours, the peer, and the copy
floor `nodes.copy()` of the tree's walk_dfs list), each round in a rotated
order, and the medians are reported:

- in cache: one mid-size module (about 20k nodes), called repeatedly;
- out of cache: every module of the corpus once per pass.

Figures are ns per node (nodes as ast.walk counts them). The cyclic garbage
collector is frozen after the corpus is parsed and disabled during every
timed region. A scaling run then times the walks and the hashes on trees of
10^3 to 10^6 nodes built from corpus statements.

    python bench/run.py [--quick] [--only name,...] [--json PATH] [--chart PATH]
                        [--readme PATH]

`make bench` is the quick run (a sixteenth of the corpus, fewer repeats);
`make bench-full` is the full run, which also rewrites the README's table
and chart.
"""

import argparse
import ast
import gc
import json
import os
import pathlib
import platform
import random
import sys
import sysconfig
import time
import warnings
from dataclasses import dataclass

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import arbolus  # noqa: E402

import cases as C  # noqa: E402
import harness as H  # noqa: E402
import peers as P  # noqa: E402
import readme  # noqa: E402
from readme import fmt  # noqa: E402

IN_CACHE_MODULE = "_pydecimal.py"
IN_CACHE_SIZE = 20_000


@dataclass
class Config:
    corpus_stride: int      # every n-th corpus file
    rounds_in: int
    rounds_out: int
    sample_ns: int          # in cache: length of one timed sample
    warmup_ns: int
    check_modules: int      # corpus modules checked per pairing (besides the in-cache tree)
    scaling: dict           # size -> rounds
    extra_stride: int = 1   # multiplies each case's out-of-cache stride


FULL = Config(corpus_stride=1, rounds_in=25, rounds_out=3, sample_ns=2_000_000,
              warmup_ns=50_000_000, check_modules=12,
              scaling={10**3: 15, 10**4: 11, 10**5: 7, 10**6: 3})
QUICK = Config(corpus_stride=16, rounds_in=5, rounds_out=2, sample_ns=2_000_000,
               warmup_ns=10_000_000, check_modules=2,
               scaling={10**3: 5, 10**4: 5, 10**5: 3}, extra_stride=2)


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# --- corpus ----------------------------------------------------------------

def load_corpus(cfg, in_cache_name):
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    chosen = paths[:: cfg.corpus_stride]
    wanted = root / in_cache_name
    if wanted.exists() and wanted not in chosen:
        chosen.append(wanted)
    modules = []
    log(f"parsing the corpus: {len(chosen)} of the {len(paths)} files of {root}")
    every = max(100, len(chosen) // 8)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for k, p in enumerate(chosen, 1):
            try:
                tree = ast.parse(p.read_bytes(), str(p))
            except (SyntaxError, ValueError, UnicodeDecodeError):
                continue
            finally:
                if k % every == 0 and k < len(chosen):
                    log(f"  parsed {k} of {len(chosen)} files")
            modules.append((str(p.relative_to(root)), tree))
    return root, len(paths), modules


def pick_in_cache(modules, name):
    for m, tree in modules:
        if m == name:
            return m, tree
    library = [(m, t) for m, t in modules if not m.startswith(("test/", "idlelib/idle_test"))]
    return min(library or modules,
               key=lambda mt: abs(arbolus._walk_count(mt[1]) - IN_CACHE_SIZE))


def check_sample(modules, count):
    """A spread of small and mid-size modules for the agreement checks."""
    small = [(m, t) for m, t in modules if arbolus._walk_count(t) <= 15_000]
    if count <= 0 or not small:
        return []
    step = max(1, len(small) // count)
    return small[::step][:count]


# --- one pairing -----------------------------------------------------------

def figures(sides, n, samples_key):
    """Per-node medians and ratios of the three sides (ours, peer, floor)
    timed over `n` nodes per sample."""
    ours, peer, floor = (H.median(s.samples) / n for s in sides)
    return {
        "ours_ns_per_node": ours,
        "peer_ns_per_node": peer,
        "floor_ns_per_node": floor,
        "speedup": peer / ours,
        "ours_over_floor": ours / floor,
        "peer_over_floor": peer / floor,
        "spread": {s.name: H.spread(s.samples) for s in sides},
        "best_ns_per_node": {s.name: min(s.samples) / n for s in sides},
        samples_key: {s.name: s.samples for s in sides},
    }


def run_case(case, cfg, in_tree, in_nodes, modules, node_lists, step=""):
    t0 = time.perf_counter()
    sides = [
        H.Side("ours", case.ours, in_tree, case.reset),
        H.Side("peer", case.theirs, in_tree, case.reset),
        H.Side("floor", list.copy, in_nodes),
    ]
    ks = H.in_cache(sides, cfg.rounds_in, cfg.sample_ns, cfg.warmup_ns)
    n_in = len(in_nodes)

    stride = case.out_stride * cfg.extra_stride
    trees = [t for _, t in modules[::stride]]
    lists = node_lists[::stride]
    reset_all = None
    if case.reset:
        reset_all = lambda ts, r=case.reset: [r(t) for t in ts]  # noqa: E731
    out = [
        H.Side("ours", case.ours, trees, reset_all),
        H.Side("peer", case.theirs, trees, reset_all),
        H.Side("floor", list.copy, lists),
    ]
    H.out_of_cache(out, cfg.rounds_out)
    n_out = sum(len(x) for x in lists)

    row = {
        "function": case.function,
        "variant": case.variant,
        "label": case.label,
        "peer": case.peer,
        "peer_code": C.PEERS.get(case.peer, case.peer),
        "variant_args": C.VARIANTS.get(case.variant, ""),
        "target_speedup": case.target,
        "on_cpu_share": H.median([x for s in sides + out for x in s.on_cpu]),
        "in_cache": {"nodes": n_in, "calls_per_sample": ks,
                     **figures(sides, n_in, "samples_ns_per_call")},
        "out_of_cache": {"modules": len(trees), "module_stride": stride, "nodes": n_out,
                         **figures(out, n_out, "samples_ns_per_pass")},
        "seconds": time.perf_counter() - t0,
    }
    log(f"  {step}{case.label:44s} vs {case.peer[:28]:28s} "
        f"in {row['in_cache']['speedup']:7.1f}x  out {row['out_of_cache']['speedup']:7.1f}x  "
        f"({row['seconds']:.1f}s)")
    return row


# --- scaling ---------------------------------------------------------------

SCALING_SIDES = [
    ("walk_dfs", arbolus.walk_dfs),
    ("list(ast.walk)", P.ast_walk_list),
    ("Python pre-order", P.py_preorder),
    ("walk_unordered", arbolus.walk_unordered),
    ("subtree_hashes", arbolus.subtree_hashes),
    ("Python bottom-up hash", P.py_subtree_hashes),
    ("copy floor", None),
]


def scaling_trees(modules, sizes, seed=20240613):
    """Modules whose bodies are corpus statements, each statement used once
    (so the nodes of one tree are distinct objects, apart from the shared
    Load/Store/Del context instances that ast.parse itself shares)."""
    order = [t for _, t in modules]
    random.Random(seed).shuffle(order)
    stmts = (s for t in order for s in t.body)
    out = []
    for size in sizes:
        body, count = [], 1
        for s in stmts:
            c = arbolus._walk_count(s)
            if count + c > size * 1.1:
                continue  # keep each tree within 10% of its size
            body.append(s)
            count += c
            if count >= size:
                break
        if count < size:
            break  # corpus too small for this size
        out.append((size, ast.Module(body=body, type_ignores=[])))
    return out


def run_scaling(cfg, modules):
    t0 = time.perf_counter()
    results = []
    for size, tree in scaling_trees(modules, sorted(cfg.scaling)):
        nodes = arbolus.walk_dfs(tree)
        sides = [H.Side(name, fn or list.copy, nodes if fn is None else tree)
                 for name, fn in SCALING_SIDES]
        H.in_cache(sides, cfg.scaling[size], cfg.sample_ns, cfg.warmup_ns,
                   min_calls=1 if size >= 10**6 else 2, rewarm=size < 10**6)
        row = {"target_size": size, "nodes": len(nodes),
               "ns_per_node": {s.name: H.median(s.samples) / len(nodes) for s in sides}}
        results.append(row)
        log(f"  scaling {len(nodes):>9,d} nodes: " + "  ".join(
            f"{k} {v:.1f}" for k, v in row["ns_per_node"].items()))
    return {"rows": results, "seconds": time.perf_counter() - t0}


# --- report ----------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def table(rows):
    head = ["function", "peer", "modules", "in: ours", "peer", "x", "out: ours", "peer", "x",
            "/floor in", "out", "on-CPU"]
    body = []
    for r in rows:
        i, o = r["in_cache"], r["out_of_cache"]
        stride = o["module_stride"]
        body.append([r["label"], r["peer"], "all" if stride == 1 else f"1/{stride}",
                     fmt(i["ours_ns_per_node"]), fmt(i["peer_ns_per_node"]), fmt(i["speedup"]),
                     fmt(o["ours_ns_per_node"]), fmt(o["peer_ns_per_node"]), fmt(o["speedup"]),
                     fmt(i["ours_over_floor"]), fmt(o["ours_over_floor"]),
                     f"{r['on_cpu_share'] * 100:.0f}%"])
    widths = [max(len(x[c]) for x in body + [head]) for c in range(len(head))]
    left = {0, 1}

    def line(cells):
        return "  ".join(c.ljust(w) if k in left else c.rjust(w)
                         for k, (c, w) in enumerate(zip(cells, widths))).rstrip()

    out = [line(head), "  ".join("-" * w for w in widths)]
    out += [line(b) for b in body]
    return "\n".join(out)


def best_table(rows):
    """Speed-ups from each side's fastest sample: the samples least disturbed
    by other processes, for reading the medians on a shared machine."""
    head = ["function", "peer", "in: ours", "peer", "x", "out: ours", "peer", "x"]
    body = []
    for r in rows:
        i, o = r["in_cache"]["best_ns_per_node"], r["out_of_cache"]["best_ns_per_node"]
        body.append([r["label"], r["peer"], fmt(i["ours"]), fmt(i["peer"]),
                     fmt(i["peer"] / i["ours"]), fmt(o["ours"]), fmt(o["peer"]),
                     fmt(o["peer"] / o["ours"])])
    widths = [max(len(x[c]) for x in body + [head]) for c in range(len(head))]
    out = []
    for cells in [head, ["-" * w for w in widths]] + body:
        out.append("  ".join(c.ljust(w) if k < 2 else c.rjust(w)
                             for k, (c, w) in enumerate(zip(cells, widths))).rstrip())
    return "\n".join(out)


def legend(rows):
    lines = []
    variants = sorted({r["variant"] for r in rows if r["variant_args"]})
    peers = list(dict.fromkeys(r["peer"] for r in rows))
    width = max(map(len, variants + peers), default=0)
    for v in variants:
        lines.append(f"  [{v}]".ljust(width + 4) + C.VARIANTS[v])
    for p in peers:
        lines.append(f"  {p}".ljust(width + 4) + C.PEERS.get(p, p))
    return "\n".join(lines)


def scaling_table(sc):
    rows = sc["rows"]
    if not rows:
        return "(no scaling run)"
    names = list(rows[0]["ns_per_node"])
    head = ["nodes"] + names
    body = [[f"{r['nodes']:,d}"] + [fmt(r["ns_per_node"][n]) for n in names] for r in rows]
    spread = ["max/min"] + [
        f"{max(r['ns_per_node'][n] for r in rows) / min(r['ns_per_node'][n] for r in rows):.2f}"
        for n in names]
    body.append(spread)
    if len(rows) >= 2:
        a, b = rows[-2], rows[-1]
        body.append([f"{b['target_size']:.0e}/{a['target_size']:.0e}".replace("+0", "")] + [
            f"{b['ns_per_node'][n] / a['ns_per_node'][n]:.2f}" for n in names])
    widths = [max(len(x[c]) for x in body + [head]) for c in range(len(head))]
    return "\n".join("  ".join(c.rjust(w) for c, w in zip(cells, widths))
                     for cells in [head] + body)


def findings(rows):
    notes = []
    targeted = [r for r in rows if r["target_speedup"] is not None]
    if targeted:
        met_in = sum(r["in_cache"]["speedup"] >= r["target_speedup"] for r in targeted)
        met_out = sum(r["out_of_cache"]["speedup"] >= r["target_speedup"] for r in targeted)
        notes.append(
            f"design targets (goals such as 100x for walk_dfs over list(ast.walk)) met by "
            f"{met_in} of {len(targeted)} pairings in cache and {met_out} out of cache; the "
            "README's Benchmark section says where the time goes (out of cache, mostly waiting "
            "on memory for each node).")
    by = {(r["function"], r["peer"]): r for r in rows}
    dfs = by.get(("walk_dfs", "list(ast.walk)"))
    unordered = by.get(("walk_unordered", "list(ast.walk)"))
    if dfs and unordered:
        gains = []
        for where in ("in_cache", "out_of_cache"):
            a = dfs[where]["ours_ns_per_node"]
            b = unordered[where]["ours_ns_per_node"]
            gains.append(f"{(a - b) / a * 100:+.0f}% {where.replace('_', ' ')} "
                         f"({b:.1f} vs {a:.1f} ns/node)")
        notes.append("walk_unordered against walk_dfs (+ is faster; the batched order "
                     "usually costs a little): " + ", ".join(gains))
    return notes


def chart(rows, path, title):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        log("no chart: matplotlib is not installed (make bench-full installs it)")
        return False
    labels = [f"{r['label']}\nvs {r['peer']}" for r in rows][::-1]
    sin = [r["in_cache"]["speedup"] for r in rows][::-1]
    sout = [r["out_of_cache"]["speedup"] for r in rows][::-1]
    ys = range(len(rows))
    fig, ax = plt.subplots(figsize=(11, 0.62 * len(rows) + 1.6))
    h = 0.38
    ax.barh([y + h / 2 for y in ys], sin, height=h, label="in cache", color="#3b6ea8")
    ax.barh([y - h / 2 for y in ys], sout, height=h, label="out of cache", color="#e08a2c")
    for y, a, b in zip(ys, sin, sout):
        ax.text(a, y + h / 2, f" {a:.0f}x" if a >= 10 else f" {a:.1f}x", va="center", fontsize=7)
        ax.text(b, y - h / 2, f" {b:.0f}x" if b >= 10 else f" {b:.1f}x", va="center", fontsize=7)
    for y, r in zip(ys, rows[::-1]):
        if r["target_speedup"]:
            ax.plot([r["target_speedup"]] * 2, [y - h, y + h], color="#c0392b",
                    linewidth=1.6, label="target" if y == max(
                        yy for yy, rr in zip(ys, rows[::-1]) if rr["target_speedup"]) else None)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.set_yticks(list(ys))
    ax.set_yticklabels(labels, fontsize=7)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("speed-up over the peer (peer time / arbolus time), log scale")
    ax.set_title(title, fontsize=9)
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


# --- main ------------------------------------------------------------------

def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="a sixteenth of the corpus and fewer repeats (make bench)")
    ap.add_argument("--only", default="",
                    help="comma-separated function names to run; 'scaling' for the scaling run")
    ap.add_argument("--json", default=str(HERE / "results.json"), help="where to write results")
    ap.add_argument("--chart", default=str(HERE / "speedups.png"),
                    help="where to draw the speed-up chart (needs matplotlib)")
    ap.add_argument("--readme", default=None,
                    help="rewrite the benchmark section of this README (a full run of "
                         "every pairing only)")
    ap.add_argument("--in-cache", default=IN_CACHE_MODULE,
                    help="the in-cache module, relative to the standard library "
                         f"(default {IN_CACHE_MODULE})")
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.readme and (args.quick or args.only):
        sys.exit("--readme takes a full run of every pairing: drop --quick and --only")
    if args.readme:
        try:
            readme.check(args.readme)
        except (OSError, ValueError) as exc:
            sys.exit(f"--readme: {exc}")
    cfg = QUICK if args.quick else FULL
    started = time.perf_counter()
    load_start = os.getloadavg()

    only = {x.strip() for x in args.only.split(",") if x.strip()}
    unknown = only - set(C.FUNCTIONS) - {"scaling"}
    if unknown:
        sys.exit(f"unknown names in --only: {', '.join(sorted(unknown))}; "
                 f"choose from {', '.join(C.FUNCTIONS)}, scaling")
    cases = [c for c in C.all_cases() if not only or c.function in only]
    do_scaling = not only or "scaling" in only

    log(f"arbolus benchmark: Python {platform.python_version()}, {cpu_model()}, "
        f"{'quick' if args.quick else 'full'} run")
    t = time.perf_counter()
    root, n_files, modules = load_corpus(cfg, args.in_cache)
    node_lists = [arbolus.walk_dfs(tree) for _, tree in modules]
    total_nodes = sum(map(len, node_lists))
    for m, tree in modules:
        C.NAMES[id(tree)] = m
    in_name, in_tree = pick_in_cache(modules, args.in_cache)
    in_nodes = arbolus.walk_dfs(in_tree)
    checks = check_sample(modules, cfg.check_modules)
    gc.collect()
    gc.freeze()  # the corpus is never collected; keep the collector off it
    log(f"corpus: {len(modules)} of {n_files} files parsed ({total_nodes:,d} nodes) "
        f"in {time.perf_counter() - t:.1f}s; in cache: {in_name} ({len(in_nodes):,d} nodes)")

    # Every pairing is checked before anything is timed (the tree edits on
    # copies), so that a broken comparison stops the run at once.
    t = time.perf_counter()
    log(f"checking that both sides agree: {len(cases)} pairings")
    for case in cases:
        for tree in [in_tree] + [t for _, t in (checks[:3] if case.edits else checks)]:
            case.check(tree)
    log(f"agreement checked: {len(cases)} pairings on {in_name} and up to "
        f"{len(checks)} more modules in {time.perf_counter() - t:.1f}s")

    rows = []
    reading = [c for c in cases if not c.edits]
    editing = [c for c in cases if c.edits]
    steps = {id(c): f"[{k}/{len(cases)}] " for k, c in enumerate(reading + editing, 1)}
    log(f"timing {len(reading)} reading pairings, in cache on {in_name} and out of cache "
        f"on {len(modules)} modules")
    for case in reading:
        rows.append(run_case(case, cfg, in_tree, in_nodes, modules, node_lists, steps[id(case)]))
    scaling = {"rows": [], "seconds": 0.0}
    if do_scaling:
        log("scaling: trees of " + ", ".join(f"{s:,d}" for s in sorted(cfg.scaling))
            + " nodes built from corpus statements")
        scaling = run_scaling(cfg, modules)
    if editing:
        log(f"timing {len(editing)} pairings that edit trees")
    for case in editing:
        rows.append(run_case(case, cfg, in_tree, in_nodes, modules, node_lists, steps[id(case)]))

    machine = cpu_model()
    title = (f"arbolus speed-up over standard-library peers\n{machine}, "
             f"{os.cpu_count()} CPUs, Python {platform.python_version()}")
    elapsed = time.perf_counter() - started
    notes = findings(rows)

    results = {
        "python": sys.version,
        "machine": machine,
        "cpus": os.cpu_count(),
        "platform": platform.platform(),
        "quick": args.quick,
        "config": cfg.__dict__ | {"scaling": {str(k): v for k, v in cfg.scaling.items()}},
        "timer": "time.perf_counter_ns",
        "gc": "gc.freeze() after parsing the corpus; gc.disable() during each timed region",
        "load_average": {"start": load_start, "end": os.getloadavg()},
        "corpus": {"root": str(root), "files": n_files, "parsed": len(modules),
                   "nodes": total_nodes},
        "in_cache_module": {"name": in_name, "nodes": len(in_nodes)},
        "rows": rows,
        "scaling": scaling,
        "findings": notes,
        "seconds": elapsed,
    }
    with open(args.json, "w") as f:
        json.dump(results, f, indent=1)
    log(f"results written to {args.json}")
    if rows and chart(rows, args.chart, title):
        log(f"chart written to {args.chart}")
    if args.readme:
        readme.update(args.readme, results)
        log(f"benchmark section of {args.readme} rewritten")
    print(f"arbolus benchmark ({'quick' if args.quick else 'full'}): Python "
          f"{platform.python_version()} on {machine}, {os.cpu_count()} CPUs; "
          f"load average {load_start[0]:.2f} at start, {os.getloadavg()[0]:.2f} at end")
    print(f"corpus: {len(modules)} standard-library modules, {total_nodes:,d} nodes; "
          f"in cache: {in_name} ({len(in_nodes):,d} nodes)")
    print("ns/node, medians of alternated runs (garbage collector disabled while timed); "
          "x = peer / ours;\n/floor = ours / copy floor (nodes.copy() of the walk_dfs list), "
          "in and out of cache;\non-CPU = median share of the timed wall time that this "
          "process was running (the rest went to other processes).")
    if rows:
        print()
        print(legend(rows))
    if not only or "walk" in only:
        print("walk: the deprecated alias runs walk_dfs after a once-per-process warning; "
              "not timed separately (see walk_dfs).")
    if any(r["out_of_cache"]["module_stride"] > 1 for r in rows):
        print("modules 1/N: out of cache on every N-th corpus module only (the peer "
              "dumps every subtree, O(nodes x depth); --quick halves every set).")
    if do_scaling:
        print()
        print("Scaling, ns/node on trees built from corpus statements:")
        print(scaling_table(scaling))
    if notes:
        print()
        print("\n".join(notes))
    if rows and not args.quick:
        print()
        print("Fastest sample of each side (ns/node), the least disturbed by other "
              "processes:")
        print(best_table(rows))
    if rows:
        print()
        print(table(rows))
    print()
    print(f"total {elapsed:.0f}s")


if __name__ == "__main__":
    main()
