"""Thread scaling on a free-threaded build (3.13t and later), side by side.

Two measurements, each alternating one thread and N threads within every
round, so that both see the same machine load:

- walks: each thread parses its own copy of the corpus (every n-th file of
  the interpreter's standard library) and keeps it; a round times passes of
  `walk_dfs` over every tree, first in one thread alone, then in all N at
  once, started together. The scaling is the throughput of all N (nodes
  walked per second, over the wall time from the start to the last pass's
  end) over that of the one.
- clones: `examples/clones.py --threads 1` and `--threads N` over the same
  files in child processes, parse included, timed from start to exit; the
  outputs must be identical (the run stops otherwise). The scaling is the
  first run's time over the second's.

    python bench/threads.py [--threads 2] [--stride 1] [--passes 5] [--rounds 3]
                            [--only walks|clones]

In this checkout: `make install PYVER=3.13t`, then
`.venv-3.13t/bin/python bench/threads.py`. On a build with the global lock
the threads take turns, and the figures show it. The collector is off while
passes run. Load average and CPU count are printed with the figures: on a
machine with other work, the scaling is bounded by the cores left free.
"""

import argparse
import ast
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
import warnings

HERE = pathlib.Path(__file__).resolve().parent
CLONES = HERE.parent / "examples" / "clones.py"


def corpus(stride):
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    return sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)[::stride]


def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def gil():
    check = getattr(sys, "_is_gil_enabled", None)
    return "with the global lock" if check is None or check() else "without the global lock"


class Walker:
    """A thread that parses its own trees, then runs passes on demand."""

    def __init__(self, paths):
        self.paths = paths
        self.go = threading.Semaphore(0)
        self.done = threading.Semaphore(0)
        self.order = None
        self.times = []
        self.nodes = 0
        self.failure = None
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        import arbolus
        try:
            trees = []
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for p in self.paths:
                    try:
                        trees.append(ast.parse(p.read_bytes(), str(p)))
                    except (SyntaxError, ValueError, UnicodeDecodeError):
                        pass
            self.nodes = sum(arbolus._walk_count(t) for t in trees)
        except BaseException as exc:  # reported by the main thread
            self.failure = exc
        self.done.release()
        while True:
            self.go.acquire()
            if self.order is None or self.failure is not None:
                self.done.release()
                return
            times = []
            for _ in range(self.order):
                start = time.perf_counter()
                for tree in trees:
                    arbolus.walk_dfs(tree)
                times.append(time.perf_counter() - start)
            self.times = times
            self.done.release()

    def close(self):
        self.order = None
        self.go.release()
        self.thread.join()


def timed(walkers, passes):
    start = time.perf_counter()
    for w in walkers:
        w.order = passes
        w.go.release()
    for w in walkers:
        w.done.acquire()
    return time.perf_counter() - start


def walks(args, paths):
    walkers = [Walker(paths) for _ in range(args.threads)]
    try:
        for w in walkers:
            w.done.acquire()
            if w.failure is not None:
                raise w.failure
        nodes = walkers[0].nodes
        print(f"walks: {args.threads} threads, {nodes:,} nodes each in {len(paths)} files, "
              f"{args.passes} passes per round", flush=True)
        gc.disable()
        ratios = []
        for r in range(1, args.rounds + 1):
            alone = timed(walkers[:1], args.passes)
            one_pass = statistics.median(walkers[0].times)
            together = timed(walkers, args.passes)
            per_pass = ", ".join(f"{statistics.median(w.times) * 1e3:.0f}" for w in walkers)
            one = nodes * args.passes / alone
            all_ = nodes * args.threads * args.passes / together
            ratios.append(all_ / one)
            print(f"  round {r}: alone {one_pass * 1e3:.0f} ms per pass, {one / 1e6:.1f} M nodes/s; "
                  f"together {per_pass} ms per pass, {all_ / 1e6:.1f} M nodes/s: "
                  f"x{all_ / one:.2f} ({load()})", flush=True)
        gc.enable()
        return statistics.median(ratios)
    finally:
        for w in walkers:
            w.close()


def clones(args, paths):
    def run(threads):
        start = time.perf_counter()
        done = subprocess.run([sys.executable, str(CLONES), "--threads", str(threads),
                               *map(str, paths)], capture_output=True, text=True)
        wall = time.perf_counter() - start
        if done.returncode != 0:
            raise SystemExit(f"clones.py --threads {threads} failed:\n{done.stderr}")
        return wall, done.stdout

    print(f"clones: examples/clones.py over {len(paths)} files, --threads 1 against "
          f"--threads {args.threads}", flush=True)
    ratios = []
    reference = None
    for r in range(1, args.rounds + 1):
        one, out_one = run(1)
        many, out_many = run(args.threads)
        reference = reference or out_one
        if not (out_one == out_many == reference):
            raise SystemExit("clones.py printed different groups with more threads")
        ratios.append(one / many)
        print(f"  round {r}: 1 thread {one:.2f} s, {args.threads} threads {many:.2f} s: "
              f"x{one / many:.2f} ({load()})", flush=True)
    print(f"  output identical in every run ({reference.count(chr(10))} lines)")
    return statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--stride", type=int, default=1, help="every n-th corpus file")
    parser.add_argument("--passes", type=int, default=5, help="walk passes per thread per round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=("walks", "clones"))
    args = parser.parse_args()

    paths = corpus(args.stride)
    print(f"Python {sys.version.split()[0]} {gil()}; {os.cpu_count()} CPUs; {load()} at the start",
          flush=True)
    results = {}
    if args.only in (None, "walks"):
        results["walks"] = walks(args, paths)
    if args.only in (None, "clones"):
        results["clones"] = clones(args, paths)
    print("; ".join(f"{name}: median x{ratio:.2f} with {args.threads} threads"
                    for name, ratio in results.items()) + f"; {load()} at the end")


if __name__ == "__main__":
    main()
