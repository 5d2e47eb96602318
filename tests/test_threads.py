"""Many threads calling every function at once.

Eight threads call all twelve functions, on trees of their own and on one
tree they all share, and must get what a single thread gets. Some nodes have
a field that gives the interpreter lock away and calls back into the module,
so calls on different threads interleave in the middle. Then those threads
end and new ones do it again. A child interpreter runs the same scenario,
with the once-per-process warning of `walk` raced by all threads, and must
exit cleanly.
"""

import ast
import os
import pathlib
import subprocess
import sys
import sysconfig
import threading
import time
import warnings

import pytest

import arbolus

THREADS = 8
ROUNDS = 2
REPEATS = 2
FILES = ["bisect.py", "heapq.py", "textwrap.py", "queue.py", "shlex.py", "fnmatch.py",
         "string/__init__.py", "colorsys.py"]
KINDS = (ast.Name, ast.Call, ast.Constant)
PRUNE = (ast.Lambda, ast.ClassDef)
BRACKET = (ast.FunctionDef, ast.ClassDef, ast.If)


class Yielding(ast.expr):
    """A field whose read lets other threads run, then walks on this one."""

    _fields = ("value",)

    def __init__(self, inner):
        super().__init__()
        self.__dict__["inner"] = inner

    @property
    def value(self):
        time.sleep(0)  # gives the interpreter lock away mid-call
        arbolus._walk_count(self.__dict__["inner"])  # nested call, same thread
        return self.__dict__["inner"]


def source(name):
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    path = stdlib / name
    return path.read_text(encoding="utf-8") if path.exists() else "x = f(y)\n" * 50


def prepared(text):
    """The parsed text with yielding expressions among its statements and
    the locations of every third statement removed."""
    tree = ast.parse(text)
    body = []
    for i, statement in enumerate(tree.body):
        if i % 3 == 0:
            for node in ast.walk(statement):
                for name in ("lineno", "col_offset", "end_lineno", "end_col_offset"):
                    node.__dict__.pop(name, None)
        body.append(statement)
        if i % 5 == 0:
            body.append(ast.Expr(Yielding(ast.Name(f"v{i}", ast.Load()))))
    tree.body = body
    return tree


def read_only(tree):
    """Every function that leaves the tree as it is, by name."""
    return {
        "walk": arbolus.walk(tree),
        "walk_dfs": arbolus.walk_dfs(tree),
        "walk_unordered": arbolus.walk_unordered(tree),
        "_walk_count": arbolus._walk_count(tree),
        "walk_frontier": arbolus.walk_frontier(tree, KINDS),
        "walk_frontier_edges": arbolus.walk_frontier_edges(tree, KINDS),
        "walk_of_types": arbolus.walk_of_types(tree, KINDS, PRUNE),
        "walk_frontier_events": arbolus.walk_frontier_events(tree, KINDS, BRACKET),
        "subtree_hashes": arbolus.subtree_hashes(tree),
        "subtree_hash": arbolus.subtree_hash(tree),
    }


def positions(tree):
    """id -> first position in a plain pre-order."""
    index = {}
    stack = [tree]
    while stack:
        node = stack.pop()
        index.setdefault(id(node), len(index))
        stack.extend(reversed(list(ast.iter_child_nodes(node))))
    return index


def signature(tree):
    """Everything the twelve functions return or write for a tree, with
    nodes as positions, so that copies of one tree compare equal."""
    at = positions(tree)
    pos = lambda node: at[id(node)]  # noqa: E731
    results = read_only(tree)
    out = {
        name: [pos(n) for n in results[name]]
        for name in ("walk", "walk_dfs", "walk_unordered", "walk_frontier", "walk_of_types")
    }
    out["_walk_count"] = results["_walk_count"]
    out["walk_frontier_edges"] = [(pos(n), pos(p), f, i)
                                  for n, p, f, i in results["walk_frontier_edges"]]
    out["walk_frontier_events"] = [(c, pos(n)) for c, n in results["walk_frontier_events"]]
    out["subtree_hashes"] = {at[k]: v for k, v in results["subtree_hashes"].items()}
    out["subtree_hash"] = results["subtree_hash"]
    assert arbolus.fix_missing_locations(tree) is tree
    out["locations"] = ast.dump(tree, include_attributes=True)
    assert arbolus.set_parents(tree) is None
    # Context and operator objects are shared by every parsed tree of the
    # process, so other threads write their parent too: leave them out.
    out["parents"] = sorted(
        (pos(child), pos(child.parent))
        for node in ast.walk(tree) for child in ast.iter_child_nodes(node)
        if child._fields)
    return out


def run_scenario():
    """Runs the threads; raises AssertionError on any difference."""
    texts = [source(name) for name in FILES[:THREADS]]
    expected = [signature(prepared(text)) for text in texts]
    shared = prepared(source("ast.py"))
    arbolus.fix_missing_locations(shared)
    arbolus.set_parents(shared)
    shared_expected = read_only(shared)

    failures = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for _ in range(ROUNDS):  # each round's threads end before the next
            trees = [prepared(text) for text in texts]
            start = threading.Barrier(THREADS)

            def work(k):
                try:
                    start.wait()
                    for _ in range(REPEATS):
                        if read_only(shared) != shared_expected:
                            failures.append(f"thread {k}: shared tree")
                        assert arbolus.set_parents(shared) is None
                        assert arbolus.fix_missing_locations(shared) is shared
                    if signature(trees[k]) != expected[k]:
                        failures.append(f"thread {k}: own tree")
                except BaseException as exc:  # noqa: BLE001 - reported below
                    failures.append(f"thread {k}: {exc!r}")

            threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert read_only(shared) == shared_expected


def test_threads_get_what_one_thread_gets():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arbolus.walk(None)  # the process's one warning, out of the way
    run_scenario()


CHILD = r"""
import sys, warnings
sys.path.insert(0, {tests!r})
import test_threads

seen = []
warnings.simplefilter("always")
warnings.showwarning = lambda message, *rest: seen.append(str(message))
test_threads.run_scenario()
assert len(seen) == 1 and "walk_dfs" in seen[0], seen
"""


def run_child(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=300)


def test_threads_in_a_fresh_process_exit_cleanly():
    done = run_child(CHILD.format(tests=str(pathlib.Path(__file__).parent)))
    assert (done.returncode, done.stderr) == (0, "")


DAEMONS_INSIDE_CALLS = r"""
import ast, sys, threading, time
import arbolus

class Dropped:
    def __del__(self):
        time.sleep(0.0005)  # gives the lock away as the call lets go of it

class Slow(ast.expr):
    _fields = ("value",)

    @property
    def value(self):
        if WHERE == "finaliser":
            return Dropped()  # fresh: the call holds the only reference
        time.sleep(0.0005)  # gives the lock away inside the call
        return ast.Constant(repr(self))

def tree():
    return ast.Module([ast.Expr(ast.BinOp(Slow(), ast.Add(), ast.Name("x", ast.Load())))
                       for _ in range(300)], [])

def ignoring_errors(call):
    def run(t):
        try:
            call(t)
        except TypeError:  # no fingerprint for such a value; it is let go all the same
            pass
    return run

CALLS = {
    "walk_of_types": lambda t: arbolus.walk_of_types(t, (ast.Expr,)),
    "walk_frontier_edges": lambda t: arbolus.walk_frontier_edges(t, (ast.Constant,)),
    "walk_frontier_events":
        lambda t: arbolus.walk_frontier_events(t, (ast.Constant,), (ast.BinOp,)),
    "set_parents": arbolus.set_parents,
    "fix_missing_locations": arbolus.fix_missing_locations,
    "subtree_hashes": arbolus.subtree_hashes,
    "subtree_hash": arbolus.subtree_hash,
    "subtree_fingerprints": ignoring_errors(arbolus.subtree_fingerprints),
}
WHERE, names = sys.argv[1], sys.argv[2:]
started = threading.Barrier(len(names) + 1)

def spin(call):
    started.wait()
    while True:
        call(tree())

for name in names:
    threading.Thread(target=spin, args=(CALLS[name],), daemon=True).start()
started.wait()
time.sleep(0.05)
"""


@pytest.mark.parametrize("where", ["property", "finaliser"])
@pytest.mark.parametrize("names", [
    ["walk_of_types"],
    ["walk_of_types", "walk_frontier_edges", "walk_frontier_events", "set_parents",
     "fix_missing_locations", "subtree_hashes", "subtree_hash", "subtree_fingerprints"],
], ids=["one", "several"])
def test_exit_while_daemon_threads_are_inside_calls(names, where):
    # At exit, a daemon thread that gives the lock away inside a call is
    # ended (or parked) where it waits for the lock again: in code the call
    # ran (a property that sleeps), or in the finaliser of a value whose last
    # reference the call gave back.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", DAEMONS_INSIDE_CALLS, where, *names], env=env,
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
