"""Threads that use the module and then end: their caches are released
without the interpreter lock being at hand, and the process must neither
crash nor complain, on the way or at exit. Each scenario runs in a child
interpreter so that a crash cannot take the test session with it."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

EVERY_FUNCTION = r"""
import ast, threading, warnings
import arbolus

warnings.simplefilter("ignore", DeprecationWarning)  # `walk` warns once
SOURCE = open(ast.__file__, encoding="utf-8").read()
failures = []


def exercise():
    tree = ast.parse(SOURCE)
    kinds = (ast.Name, ast.Call)
    nodes = arbolus.walk_dfs(tree)
    assert arbolus.walk(tree) == nodes
    assert arbolus._walk_count(tree) == len(nodes)
    assert len(arbolus.walk_unordered(tree)) == len(nodes)
    assert arbolus.walk_frontier(tree, kinds)
    assert arbolus.walk_frontier_edges(tree, kinds)
    assert arbolus.walk_of_types(tree, kinds, (ast.Call,))
    assert arbolus.walk_frontier_events(tree, kinds, (ast.FunctionDef,))
    assert arbolus.fix_missing_locations(tree) is tree
    assert arbolus.set_parents(tree) is None
    assert arbolus.subtree_hashes(tree)[id(tree)] == arbolus.subtree_hash(tree)


def worker():
    try:
        exercise()
    except BaseException as exc:
        failures.append(repr(exc))


def parked(ready, forever):
    worker()
    ready.set()
    forever.wait()


exercise()
for _ in range(3):  # each round's threads end before the next round starts
    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    exercise()

# A daemon thread that has used the module is still blocked at exit.
ready = threading.Event()
threading.Thread(target=parked, args=(ready, threading.Event()), daemon=True).start()
ready.wait()
exercise()
assert not failures, failures
"""

EXIT_CALLBACKS_RUN_BY_HAND = r"""
import ast, atexit, sys
import arbolus

arbolus.walk_dfs(ast.parse("x"))  # the module has registered its exit callback
atexit._run_exitfuncs()  # as test harnesses do; the interpreter goes on
tree = ast.parse(open(ast.__file__, encoding="utf-8").read())
nodes = arbolus.walk_dfs(tree)
arbolus.set_parents(tree)  # its links are references of their own
before = [sys.getrefcount(n) for n in nodes]
for _ in range(3):
    arbolus.walk_frontier(tree, (ast.Name,))
    arbolus.walk_of_types(tree, (ast.Name,), (ast.Lambda,))
    arbolus.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,))
    arbolus.subtree_hashes(tree)
    arbolus.set_parents(tree)
after = [sys.getrefcount(n) for n in nodes]
leaked = sum(a - b for a, b in zip(after, before))
assert leaked == 0, f"{leaked} references leaked"
"""

CLASSES_OF_ENDED_THREADS = r"""
import ast, gc, sys, threading, time, weakref
import arbolus

class_refs = []
# The main thread's class table is built now, before the workers' classes
# exist: a table holds every class it recorded for as long as its thread.
arbolus.walk_dfs(ast.parse("x"))


def worker():
    # Classes that only this thread ever shows to the module: the thread's
    # caches hold the last references once the thread's own are gone.
    class Mine(ast.AST):
        _fields = ("kids",)
        _attributes = ("lineno",)

    class Leaf(ast.expr):
        _fields = ()

    tree = Mine(kids=[Leaf(), Mine(kids=[Leaf(), 5])])
    arbolus.set_parents(tree)
    arbolus.fix_missing_locations(tree)
    assert len(arbolus.walk_of_types(tree, (Leaf,))) == 2
    assert len(arbolus.walk_frontier(tree, (Leaf,))) == 2
    assert arbolus.walk_frontier_events(tree, (Leaf,), (Mine,))
    assert len(arbolus.subtree_hashes(tree)) == 4
    class_refs.extend([weakref.ref(Mine), weakref.ref(Leaf)])


for _ in range(3):
    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # The main thread goes on using the module while the workers' caches
    # are being released.
    main_tree = ast.parse("f(x)\nclass C: pass")
    arbolus.set_parents(main_tree)
    arbolus.walk_dfs(main_tree)
    arbolus.subtree_hashes(main_tree)

assert len(class_refs) == 18
deadline = time.monotonic() + 20
while True:
    gc.collect()
    alive = sum(r() is not None for r in class_refs)
    if not alive:
        break
    if time.monotonic() > deadline:
        sys.exit(f"{alive} classes met only by ended threads are still alive")
    time.sleep(0.01)
    arbolus.walk_frontier(main_tree, (ast.Name,))  # a call releases queued references
"""

DAEMON_INSIDE_A_NESTED_HASH = r"""
import ast, gc, sys, threading, time
import arbolus

inside = threading.Event()


def stay(sleep=time.sleep, inside=inside):
    # Gives up the interpreter lock again and again, one nested step deep.
    inside.set()
    while True:
        sleep(0.0001)


class Shown:
    def __repr__(self):
        stay()


class Made(ast.expr):
    _fields = ("kid",)
    count = 0

    @property
    def kid(self):
        if Made.count > 1:
            stay()  # read by the separate hash of the second node made


class Maker(ast.expr):
    _fields = ("kid",)

    @property
    def kid(self):
        Made.count += 1
        return Made()


# A repr inside a list inside a list; a node made afresh on every read.
tree = {"repr": ast.Expr(value=[[Shown()]]), "property": Maker()}[sys.argv[1]]
threading.Thread(target=arbolus.subtree_hash, args=(tree,), daemon=True).start()
inside.wait()


class Linger:
    # Collected while the interpreter finalises, after daemon threads are
    # told to end: the daemon thread takes the lock while this sleeps and
    # is ended then.
    def __del__(self, sleep=time.sleep):
        sleep(0.01)


gc.disable()
linger = Linger()
linger.cycle = linger
del linger
"""

FORKS_WHILE_THREADS_END = r"""
import ast, os, sys, threading, time, warnings
import arbolus

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
tree = ast.parse("x = f(y)")
stop = threading.Event()


def use():
    arbolus.walk_dfs(tree)


def churn():
    # Threads that used the module end, giving their caches back without
    # the interpreter lock, while the main thread forks.
    while not stop.is_set():
        threads = [threading.Thread(target=use) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


churner = threading.Thread(target=churn)
churner.start()
try:
    for fork in range(1, 1001):
        pid = os.fork()
        if pid == 0:
            # The child's first call comes from a thread of its own.
            t = threading.Thread(target=use)
            t.start()
            t.join()
            os._exit(0)
        deadline = time.monotonic() + 10
        while not (waited := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                sys.exit(f"the child of fork {fork} hung")
            time.sleep(0.001)
        if os.waitstatus_to_exitcode(waited[1]) != 0:
            sys.exit(f"the child of fork {fork} failed")
finally:
    stop.set()
    churner.join()
"""


def run_child(script, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_threads_using_every_function_end_cleanly():
    done = run_child(EVERY_FUNCTION)
    assert (done.returncode, done.stderr) == (0, "")


# The same classes without the module: whether the interpreter itself lets
# classes made by ended threads go (3.13's free-threaded build keeps them).
CLASSES_OF_ENDED_THREADS_ALONE = r"""
import ast, gc, sys, threading, time, weakref

class_refs = []


def worker():
    class Mine(ast.AST):
        _fields = ("kids",)

    class Leaf(ast.expr):
        _fields = ()

    Mine(kids=[Leaf()])
    class_refs.extend([weakref.ref(Mine), weakref.ref(Leaf)])


threads = [threading.Thread(target=worker) for _ in range(3)]
for t in threads:
    t.start()
for t in threads:
    t.join()
for _ in range(20):
    gc.collect()
    time.sleep(0.01)
sys.exit(sum(r() is not None for r in class_refs))
"""


def test_classes_met_only_by_ended_threads_are_released():
    done = run_child(CLASSES_OF_ENDED_THREADS)
    if done.returncode != 0 and run_child(CLASSES_OF_ENDED_THREADS_ALONE).returncode != 0:
        pytest.skip("this interpreter keeps classes made by ended threads alive by itself")
    assert (done.returncode, done.stderr) == (0, "")


def test_running_the_exit_callbacks_by_hand_leaks_nothing():
    done = run_child(EXIT_CALLBACKS_RUN_BY_HAND)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("way_in", ["repr", "property"])
def test_daemon_thread_ended_inside_a_nested_hash(way_in):
    # Ended by unwinding its stack, without a thread state, while the
    # recursion bound of a nested step is entered.
    done = run_child(DAEMON_INSIDE_A_NESTED_HASH, way_in)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's allocator takes no lock across fork(): a child can hang inside it",
)
@pytest.mark.skipif(
    "libtsan" in os.environ.get("LD_PRELOAD", ""),
    reason="the thread sanitizer ends a child that starts threads after a fork with threads",
)
def test_forks_while_threads_end():
    # A child forked while an ending thread held the module's own lock
    # must still be able to call in from a new thread.
    done = run_child(FORKS_WHILE_THREADS_END)
    assert (done.returncode, done.stderr) == (0, "")
