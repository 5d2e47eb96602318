"""`walk_dfs` over the standard library in several interpreters at once.

Each interpreter (with a lock of its own) parses the corpus for itself, since
trees cannot pass between interpreters, and keeps it. A round then times
passes of `walk_dfs` over every tree, first in one interpreter alone, then
in all of them at once, started together. Printed per round: the median
time of a pass in each interpreter, and the throughput of all of them
together (nodes walked per second, over the wall time from the start to the
last pass's end), whose ratio to the lone interpreter's is the scaling.

    python bench/interpreters.py [--interpreters 2] [--stride 1] [--passes 5] [--rounds 3]

Needs CPython 3.14 or later (`concurrent.interpreters`); in this checkout,
`make install PYVER=3.14` then `.venv-3.14/bin/python bench/interpreters.py`
(in the chroot: `scripts/newer-pythons.sh run .venv-3.14/bin/python ...`).
The collector is off while passes run. Load average and CPU count are
printed with the figures: on a machine with other work, the scaling is
bounded by the cores left free.
"""

import argparse
import json
import os
import statistics
import threading
import time

from concurrent import interpreters

WORKER = r"""
import ast, gc, json, pathlib, sysconfig, time, warnings
import arbolus

root = pathlib.Path(sysconfig.get_paths()["stdlib"])
paths = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)[::stride]
trees = []
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    for p in paths:
        try:
            trees.append(ast.parse(p.read_bytes(), str(p)))
        except (SyntaxError, ValueError, UnicodeDecodeError):
            pass
gc.collect()
gc.freeze()
ready.put(sum(arbolus._walk_count(t) for t in trees))
while (order := go.get()) != "stop":
    gc.disable()
    times = []
    for _ in range(int(order)):
        start = time.perf_counter()
        for tree in trees:
            arbolus.walk_dfs(tree)
        times.append(time.perf_counter() - start)
    gc.enable()
    done.put(json.dumps(times))
"""


class Worker:
    def __init__(self, stride):
        self.interp = interpreters.create()
        self.ready = interpreters.create_queue()
        self.go = interpreters.create_queue()
        self.done = interpreters.create_queue()
        self.interp.prepare_main(stride=stride, ready=self.ready, go=self.go, done=self.done)
        self.failure = None
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        try:
            self.interp.exec(WORKER)
        except interpreters.ExecutionFailed as e:
            self.failure = e
            self.ready.put(-1)
            self.done.put("[]")

    def close(self):
        self.go.put("stop")
        self.thread.join()
        self.interp.close()
        if self.failure is not None:
            raise self.failure


def timed(workers, passes):
    """Starts `passes` passes in each worker at once; their pass times and
    the wall time until the last one ended."""
    start = time.perf_counter()
    for w in workers:
        w.go.put(str(passes))
    times = [json.loads(w.done.get()) for w in workers]
    return times, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--interpreters", type=int, default=2)
    parser.add_argument("--stride", type=int, default=1, help="every n-th corpus file")
    parser.add_argument("--passes", type=int, default=5, help="passes per interpreter per round")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    print(f"{os.cpu_count()} CPUs; load average at the start "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}", flush=True)
    workers = [Worker(args.stride) for _ in range(args.interpreters)]
    try:
        nodes = [w.ready.get() for w in workers]
        if min(nodes) < 0:
            raise SystemExit("a worker failed")
        print(f"{args.interpreters} interpreters, {nodes[0]:,} nodes each "
              f"(every {args.stride}. file of the standard library), "
              f"{args.passes} passes per round", flush=True)
        ratios = []
        for r in range(1, args.rounds + 1):
            alone, alone_wall = timed(workers[:1], args.passes)
            together, together_wall = timed(workers, args.passes)
            one = nodes[0] * args.passes / alone_wall
            all_ = sum(nodes) * args.passes / together_wall
            ratios.append(all_ / one)
            per_pass = ", ".join(f"{statistics.median(t) * 1e3:.0f}" for t in together)
            print(f"round {r}: alone {statistics.median(alone[0]) * 1e3:.0f} ms per pass, "
                  f"{one / 1e6:.1f} M nodes/s; together {per_pass} ms per pass, "
                  f"{all_ / 1e6:.1f} M nodes/s: x{all_ / one:.2f}", flush=True)
        print(f"scaling with {args.interpreters} interpreters: median x{statistics.median(ratios):.2f}"
              f"; load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    finally:
        for w in workers:
            w.close()


if __name__ == "__main__":
    main()
