"""Peak memory the hashing functions add, two builds side by side.

Every figure comes from an interpreter of its own, which builds the tree,
then makes one call:

- RSS: the peak resident set size during the call less the resident size
  just before it (the kernel's high-water mark, reset before the call
  through /proc/self/clear_refs; where that cannot be written, the
  process's maximum RSS from getrusage, which then also counts the tree's
  making and is marked `~`);
- traced: the peak that tracemalloc saw during the call, less what it
  traced before. tracemalloc sees what goes through the interpreter's
  allocators only: the dict a call returns and its keys and values, not
  the module's own buffers, which RSS counts. `kept` is what is still
  traced after the call, with its result alive: the returned dict.

Each interpreter first makes a call on a small tree of the same classes,
so that the measured call finds them known, as every call but the first in
a thread does.

Trees: `_pydecimal.py`'s source repeated 80 times (about 1.86 million
node visits, 1.2 million distinct nodes), and a chain of 1,000,000 levels
(UnaryOp within UnaryOp).

    python bench/memory.py OLD_MODULE [NEW_MODULE] [--copies 80] [--depth 1000000]
                           [--only subtree_hash,subtree_fingerprint]

OLD_MODULE is a module built from another commit, for instance:

    git archive <commit> | tar -x -C /tmp/old
    .venv/bin/python -m pip install --no-deps --no-build-isolation --target /tmp/old-site /tmp/old
    .venv/bin/python bench/memory.py /tmp/old-site/arbolus*.so

NEW_MODULE defaults to the installed one.
"""

import argparse
import ast
import gc
import importlib.util
import json
import pathlib
import resource
import subprocess
import sys
import sysconfig
import time
import tracemalloc
import warnings

FUNCTIONS = ["subtree_hash", "subtree_fingerprint", "subtree_hashes", "subtree_fingerprints"]
MB = 1 << 20


# --- one measurement: runs in an interpreter of its own ----------------------

def load(path):
    found = importlib.util.spec_from_file_location("arbolus", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def pydecimal_copies(copies):
    path = pathlib.Path(sysconfig.get_paths()["stdlib"]) / "_pydecimal.py"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(path.read_text() * copies)


def chain(depth):
    node = ast.Name(id="x", ctx=ast.Load())
    op = ast.Not()  # shared, as parsed trees share their operators
    for _ in range(depth):
        node = ast.UnaryOp(op=op, operand=node)
    return ast.Expression(body=node)


def status_kb(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise LookupError(field)


def reset_peak():
    """True when the kernel's high-water mark of the RSS was reset."""
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def measure_one(module_path, function, tree_kind, size, mode):
    fn = getattr(load(module_path), function)
    make = pydecimal_copies if tree_kind == "pydecimal" else chain
    # A call on a small tree of the same classes first: the first meeting
    # with a class reads its declarations, which may run interpreter code,
    # and a run where code may run notes every node (the module's first
    # call in a thread, for each class).
    fn(make(1))
    tree = make(size)
    gc.collect()
    gc.disable()
    if mode == "rss":
        before = status_kb("VmRSS")
        exact = reset_peak()
        result = fn(tree)
        peak = status_kb("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = {"peak": (peak - before) * 1024, "exact": exact}
    else:
        tracemalloc.start()
        base, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        result = fn(tree)
        kept, peak = tracemalloc.get_traced_memory()
        out = {"peak": peak - base, "kept": kept - base}
    out["entries"] = len(result) if isinstance(result, dict) else None
    print(json.dumps(out))


# --- the parent ----------------------------------------------------------------

def run(module_path, function, tree_kind, size, mode):
    cmd = [sys.executable, __file__, "--one", str(module_path), function, tree_kind, str(size), mode]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.splitlines()[-1])


def installed_module():
    import arbolus
    return pathlib.Path(arbolus.__file__)


def mb(n):
    return f"{n / MB:.1f}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--one", nargs=5, help=argparse.SUPPRESS)
    ap.add_argument("old", nargs="?", help="the module to compare with")
    ap.add_argument("new", nargs="?", help="the module measured (default: the installed one)")
    ap.add_argument("--copies", type=int, default=80, help="copies of _pydecimal.py's source")
    ap.add_argument("--depth", type=int, default=1_000_000, help="levels of the chain")
    ap.add_argument("--only", help="functions to measure, comma-separated")
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args(argv)
    if args.one:
        module_path, function, tree_kind, size, mode = args.one
        measure_one(module_path, function, tree_kind, int(size), mode)
        return 0
    if args.old is None:
        ap.error("OLD_MODULE is required")
    builds = {"old": pathlib.Path(args.old), "new": pathlib.Path(args.new or installed_module())}
    functions = args.only.split(",") if args.only else FUNCTIONS
    trees = [("pydecimal", args.copies, f"_pydecimal.py x{args.copies}"),
             ("chain", args.depth, f"chain of {args.depth:,}")]
    started = time.perf_counter()
    figures = []
    for kind, size, title in trees:
        for function in functions:
            row = {"tree": title, "function": function}
            for build, path in builds.items():
                for mode in ("rss", "traced"):
                    row[f"{build} {mode}"] = run(path, function, kind, size, mode)
                print(f"  {title}: {function} done", file=sys.stderr)
            figures.append(row)
    head = (f"{'tree':<22}{'function':<22}{'RSS old':>10}{'RSS new':>10}{'new/old':>9}"
            f"{'traced old':>12}{'traced new':>12}{'kept':>9}{'dict':>10}")
    print("peak memory added by one call, MB (RSS: the process; traced: tracemalloc)")
    print(head)
    for row in figures:
        old, new = row["old rss"], row["new rss"]
        mark = "" if old["exact"] and new["exact"] else "~"
        ratio = f"{new['peak'] / old['peak']:.3f}" if old["peak"] > 0 else "-"
        entries = row["new traced"]["entries"]
        print(f"{row['tree']:<22}{row['function']:<22}{mark + mb(old['peak']):>10}"
              f"{mark + mb(new['peak']):>10}{ratio:>9}"
              f"{mb(row['old traced']['peak']):>12}{mb(row['new traced']['peak']):>12}"
              f"{mb(row['new traced']['kept']):>9}"
              f"{entries if entries is not None else '-':>10}")
    print(f"({time.perf_counter() - started:.0f}s)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(figures, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
