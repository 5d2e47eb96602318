"""The module in sub-interpreters: sharing the main interpreter's lock, and
each with a lock of its own, running in parallel.

Each interpreter has its own `ast` classes, so the module's per-thread caches
are kept per interpreter too. Every case runs in a child process, which must
exit cleanly: a fault in one interpreter's state shows up there as a crash,
a wrong result or a report at exit.
"""

import os
import subprocess
import sys
import textwrap

import pytest


# --- legacy sub-interpreters: one lock shared with the main interpreter -----

# Runs in every interpreter: all twelve functions against a plain pre-order
# and the standard library's location repair, on the interpreter's own
# classes and a node class defined in it.
CHECK = r"""
import ast, copy, warnings
import arbolus

class Tagged(ast.Name):
    pass

def preorder(node):
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed(list(ast.iter_child_nodes(n))))
    return out

def check():
    source = "def f(a, b=1):\n    return [g(x) for x in a if x] + {'k': b}\nclass C(D): pass\n"
    tree = ast.parse(source)
    tree.body[0].body[0].value.left.elt.args.append(Tagged("t", ast.Load()))
    order = preorder(tree)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert arbolus.walk(tree) == order
    assert arbolus.walk_dfs(tree) == order
    assert sorted(map(id, arbolus.walk_unordered(tree))) == sorted(map(id, order))
    assert arbolus._walk_count(tree) == len(order)
    names = [n for n in order if type(n) is ast.Name]
    assert arbolus.walk_of_types(tree, (ast.Name,)) == names
    assert arbolus.walk_frontier(tree, (ast.Call,)) == [n for n in order if type(n) is ast.Call]
    assert arbolus.walk_of_types(tree, (Tagged,)) == [n for n in order if type(n) is Tagged]
    for node, parent, field, index in arbolus.walk_frontier_edges(tree, (ast.Name,)):
        value = getattr(parent, field)
        assert (value if index == -1 else value[index]) is node
    events = arbolus.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,))
    assert events[0] == (1, tree.body[0]) and len(events) == len(names) + 2
    twin = ast.parse(source)
    twin.body[0].body[0].value.left.elt.args.append(Tagged("t", ast.Load()))
    hashes = arbolus.subtree_hashes(tree)
    assert len(hashes) == len({id(n) for n in order})
    assert arbolus.subtree_hash(twin) == arbolus.subtree_hash(tree) == hashes[id(tree)]
    bare = ast.Module([ast.Expr(ast.Call(ast.Name("f", ast.Load()), [], []))], [])
    reference = ast.fix_missing_locations(copy.deepcopy(bare))
    assert arbolus.fix_missing_locations(bare) is bare
    assert ast.dump(bare, include_attributes=True) == ast.dump(reference, include_attributes=True)
    arbolus.set_parents(tree)
    assert all(c.parent is n for n in ast.walk(tree) for c in ast.iter_child_nodes(n)
               if c._fields)
    return len(order)
"""

CHILD = r"""
import sys, threading
import arbolus

# 3.13 on: _interpreters; before: _xxsubinterpreters, which raises where the
# newer one returns the failure.
try:
    import _interpreters
except ImportError:
    import _xxsubinterpreters as _interpreters

    def create():
        return _interpreters.create(isolated=False)

    def run(sub, code):
        try:
            _interpreters.run_string(sub, code)
        except _interpreters.RunFailedError as exc:
            return repr(exc)
else:
    def create():
        return _interpreters.create("legacy")

    run = _interpreters.exec

CHECK = {check!r}
exec(CHECK)
assert check() == check()

def new_sub():
    sub = create()
    assert run(sub, CHECK) is None
    return sub

def run_in(sub):
    failure = run(sub, "check()")
    assert failure is None, failure

# One thread, alternating between the interpreters.
first = new_sub()
for _ in range(3):
    run_in(first)
    check()

# A second thread in both interpreters; it ends, and its caches wait for a
# later call (or the interpreter's end) to be released.
errors = []
def worker():
    try:
        for _ in range(2):
            run_in(first)
            check()
    except BaseException as exc:
        errors.append(repr(exc))
t = threading.Thread(target=worker)
t.start()
t.join()
assert not errors, errors

second = new_sub()
run_in(second)
_interpreters.destroy(first)
check()
run_in(second)
_interpreters.destroy(second)

# A new sub-interpreter may reuse a destroyed one's address: it must get
# fresh caches.
third = new_sub()
run_in(third)
check()
# Left alive: ended with the process.
"""


def legacy_subinterpreters_available():
    try:
        import _interpreters
    except ImportError:
        try:
            import _xxsubinterpreters as _interpreters
        except ImportError:
            return False
        return hasattr(_interpreters, "create") and hasattr(_interpreters, "run_string")
    return hasattr(_interpreters, "create") and hasattr(_interpreters, "exec")


@pytest.mark.skipif(not legacy_subinterpreters_available(),
                    reason="no way to create sub-interpreters here")
def test_every_function_in_sub_interpreters_and_main_alternately():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    script = textwrap.dedent(CHILD).format(check=CHECK)
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # Newer interpreters warn at exit about the one left alive on purpose.
    assert [line for line in done.stderr.splitlines()
            if "remaining subinterpreters" not in line] == []



# --- interpreters with a lock of their own, in parallel ----------------------

# Runs in every interpreter. A case calls one function on a fresh tree and
# reduces what it returned (and, for the edits, what it did to the tree) to
# a form any interpreter can compare: nodes become their positions in
# `ast.walk` order, and dictionaries keyed by `id` become keyed by position.
# Hash values differ between interpreters (each has its own classes), so
# for them only which nodes share a value is compared.
WORKER = r"""
import ast, hashlib, json, os, warnings
import importlib.util
import arbolus

class Tagged(ast.Name):
    # Named alike in every interpreter, so its fingerprints agree too.
    __module__ = "workers"

SAMPLE = '''
def f(a, b=1):
    return [g(x) for x in a if x] + {'k': b}
class C(D):
    def m(self):
        return lambda y: (y, 1, 1.0, True, None, ..., b"x", 2**70)
'''
MODULES = ("json.decoder", "dataclasses")

def fresh(name):
    if name == "sample":
        tree = ast.parse(SAMPLE)
        tree.body[0].body[0].value.left.elt.args.append(Tagged("t", ast.Load()))
        tree.body.append(ast.Expr(ast.Call(ast.Name("h", ast.Load()), [], [])))
    else:
        with open(importlib.util.find_spec(name).origin, "rb") as f:
            tree = ast.parse(f.read())
    # Some nodes lose their locations, for the location repair to fill in.
    for i, node in enumerate(ast.walk(tree)):
        if i % 3 == 0:
            for attribute in node._attributes:
                vars(node).pop(attribute, None)
    return tree

# (function, arguments after the tree, how results compare):
#   "value": the reduced result;  "set": the same, order aside;
#   "hash": the values are the interpreter's own: which nodes share one;
#   "edits": the reduced result and the tree afterwards.
CASES = [
    ("walk", "", "value"),
    ("walk_dfs", "", "value"),
    ("walk_unordered", "", "set"),
    ("_walk_count", "", "value"),
    ("walk_frontier", "(ast.Call, ast.Lambda)", "value"),
    ("walk_frontier_edges", "(ast.Name, ast.Attribute, Tagged)", "value"),
    ("walk_of_types", "(ast.Name, ast.Call, Tagged), (ast.Lambda,)", "value"),
    ("walk_frontier_events", "(ast.Name, ast.Constant), (ast.FunctionDef, ast.ClassDef)",
     "value"),
    ("subtree_hashes", "", "hash"),
    ("subtree_hash", "", "hash"),
    # Fingerprints are the same bytes in every interpreter.
    ("subtree_fingerprints", "", "value"),
    ("subtree_fingerprint", "", "value"),
    ("set_parents", "", "edits"),
    ("fix_missing_locations", "", "edits"),
    # Compiled in each interpreter, then `find` with these arguments.
    ("compile_patterns", "(ast.Lambda,)", "value"),
]

PATTERNS = {"call": "Call(func=Name(id='f' | 'g') | Attribute())",
            "name": "Name(id='x' | 'self')", "text": "Constant(value=str())",
            "pair": "Tuple(elts=[_, _])"}

def reduce(value, positions, label):
    if isinstance(value, ast.AST):
        return ["node", positions[id(value)]]
    if isinstance(value, (list, tuple)):
        return [reduce(v, positions, label) for v in value]
    if isinstance(value, dict):
        return sorted([positions[k], reduce(v, positions, label)] for k, v in value.items())
    if label is not None and type(value) is int:
        return label[value]
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError(f"no interpreter-independent form for {type(value).__name__}")

def run_case(function, arguments, compare, tree_name):
    tree = fresh(tree_name)
    positions = {id(n): i for i, n in enumerate(ast.walk(tree))}
    label = None
    if compare == "hash":
        # A hash value's label: the position of the first node that has it.
        hashes, label = arbolus.subtree_hashes(tree), {}
        for i, n in enumerate(ast.walk(tree)):
            label.setdefault(hashes[id(n)], i)
    extra = eval(f"({arguments},)") if arguments else ()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if function == "compile_patterns":
            result = arbolus.compile_patterns(PATTERNS).find(tree, *extra)
        else:
            result = getattr(arbolus, function)(tree, *extra)
    reduced = reduce(result, positions, label)
    if compare == "set":
        reduced = sorted(reduced)
    elif compare == "edits":
        parents = [positions.get(id(getattr(n, "parent", None))) for n in ast.walk(tree)]
        reduced = [reduced, ast.dump(tree, include_attributes=True), parents]
    return hashlib.sha256(json.dumps(reduced).encode()).hexdigest()

def expected(trees):
    return json.dumps({f"{f}(tree, {a}) on {t}": run_case(f, a, c, t)
                       for t in trees for f, a, c in CASES})

def check(want):
    want = json.loads(want)
    trees = sorted({key.rpartition(" on ")[2] for key in want})
    got = json.loads(expected(trees))
    wrong = [key for key in want if got[key] != want[key]]
    assert not wrong and len(got) == len(want), wrong
    return len(got)

def spin(want, stop):
    # Calls until told to stop, while other interpreters come and go.
    rounds = 0
    while rounds == 0 or not os.path.exists(stop):
        check(want)
        rounds += 1
    return rounds

def check_from_threads(want):
    import threading
    failures = []
    def call():
        try:
            check(want)
        except BaseException as e:
            failures.append(repr(e))
    threads = [threading.Thread(target=call) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures

def check_after_reimport(want):
    global arbolus
    import sys
    first = arbolus
    del sys.modules["arbolus"]
    import arbolus as again
    assert again is not first
    try:
        arbolus = again
        check(want)
    finally:
        arbolus = first
    check(want)

def first_uses():
    # What the module makes on first use in an interpreter: the class of
    # its internal faults (a walk re-entered while the thread's field table
    # is built), the note on a refused argument, the names the edits write.
    caught = []
    class Meta(type):
        @property
        def _fields(cls):
            try:
                arbolus.walk_dfs(ast.Name("x", ast.Load()))
            except BaseException as e:
                caught.append(e)
            return ("value",)
    class Reentrant(ast.expr, metaclass=Meta):
        pass
    tree = ast.parse("x = a + 1")
    assert arbolus._walk_count(tree) == sum(1 for _ in ast.walk(tree))
    assert len(caught) == 1, caught
    fault = type(caught[0])
    assert fault.__name__ == "InternalFault" and fault.__bases__ == (BaseException,)
    try:
        arbolus.walk_frontier(tree, [ast.Name])
    except TypeError as e:
        assert e.__notes__ == ["while processing 'kinds'"], e.__notes__
    else:
        raise AssertionError("a list of kinds was accepted")
    arbolus.set_parents(tree)
    assert tree.body[0].parent is tree
    bare = ast.Module([ast.Expr(ast.Name("y", ast.Load()))], [])
    assert arbolus.fix_missing_locations(bare).body[0].value.end_col_offset == 0

def own_lock():
    try:
        import _interpreters as private
    except ImportError:
        # 3.12 tells no interpreter's lock; it refuses a module that declares
        # only a shared lock in an interpreter with a lock of its own.
        import importlib.util, _testmultiphase
        from importlib.machinery import ExtensionFileLoader
        name = "_test_shared_gil_only"
        loader = ExtensionFileLoader(name, _testmultiphase.__file__)
        try:
            importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader))
        except ImportError:
            return True
        return False
    return private.get_config(private.get_current()[0]).gil == "own"
"""

# The child processes' harness: interpreters with their own lock through the
# public module from 3.14 on, else through the private one (3.12, 3.13); a
# pool of them running on parallel threads.
HARNESS = r"""
import json, os, sys, threading
try:
    from concurrent import interpreters as public
except ImportError:
    public = None
    try:
        import _interpreters as private
    except ImportError:
        import _xxsubinterpreters as private

WORKER = __WORKER__
exec(WORKER)

class Interpreter:
    def __init__(self):
        if public is not None:
            self.handle = public.create()
        elif hasattr(private, "new_config"):
            self.handle = private.create("isolated")
        else:
            self.handle = private.create(isolated=True)

    def run(self, code, **shared):
        if public is not None:
            self.handle.prepare_main(**shared)
            self.handle.exec(code)
        elif hasattr(private, "exec"):
            failure = private.exec(self.handle, code, shared)
            if failure is not None:
                raise RuntimeError(failure.formatted)
        else:
            private.run_string(self.handle, code, shared)

    def close(self):
        if public is not None:
            self.handle.close()
        else:
            private.destroy(self.handle)

# WORKER's `entry` called with `args` (all str) in an interpreter of its own.
def run_in_new(entry, *args):
    sub = Interpreter()
    try:
        sub.run(WORKER + "\nassert own_lock()\nentry, args = json.loads(job)\n"
                "globals()[entry](*args)\n", job=json.dumps([entry, args]))
    finally:
        sub.close()

def run_in_pool_worker(worker, entry, *args):
    namespace = {}
    exec(worker, namespace)
    assert namespace["own_lock"]()
    return namespace[entry](*args)

# Starts each (entry, args) job in an interpreter of its own, all at once on
# parallel threads; returns the pool and the jobs' futures.
def start(jobs):
    if public is not None:
        from concurrent.futures import InterpreterPoolExecutor
        pool = InterpreterPoolExecutor(max_workers=len(jobs))
        return pool, [pool.submit(run_in_pool_worker, WORKER, entry, *args) for entry, args in jobs]
    from concurrent.futures import ThreadPoolExecutor
    pool = ThreadPoolExecutor(max_workers=len(jobs))
    return pool, [pool.submit(run_in_new, entry, *args) for entry, args in jobs]
"""


def own_lock_interpreters_available():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            module = __import__(name)
        except ImportError:
            continue
        if name == "_xxsubinterpreters":
            # 3.12: the lock is told by a test module (see own_lock).
            try:
                import _testmultiphase  # noqa: F401
            except ImportError:
                return False
        return sys.version_info >= (3, 12) and hasattr(module, "create")
    return False


needs_own_lock_interpreters = pytest.mark.skipif(
    not own_lock_interpreters_available(),
    reason="no interpreters with a lock of their own here, or none that can be told")


def run_child(body):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    script = HARNESS.replace("__WORKER__", repr(WORKER)) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


@needs_own_lock_interpreters
def test_every_function_in_parallel_interpreters_matches_the_main_one():
    run_child("""
        # A function without a row here would go untested.
        assert sorted(f for f, _, _ in CASES) == sorted(
            n for n in arbolus.__all__ if not isinstance(getattr(arbolus, n), type))
        want = expected(("sample",) + MODULES)
        pool, futures = start([("check", (want,))] * 3)
        with pool:
            for f in futures:
                assert f.result() in (None, len(json.loads(want)))
        check(want)  # and the main interpreter's own calls are still right
        """)


@needs_own_lock_interpreters
def test_interpreters_come_and_go_while_others_are_inside_calls(tmp_path):
    stop = tmp_path / "stop"
    run_child(f"""
        stop = {str(stop)!r}
        want = expected(("sample",))
        pool, spinners = start([("spin", (want, stop))] * 2)
        try:
            for round in range(4):
                run_in_new("check", want)
                check(want)
            # Threads that call in and end inside an interpreter, which is
            # then destroyed with their caches still to be released.
            run_in_new("check_from_threads", want)
            # The module imported afresh into an interpreter that has it.
            run_in_new("check_after_reimport", want)
            assert not any(s.done() for s in spinners), [s.exception() for s in spinners]
        finally:
            open(stop, "w").close()
            with pool:
                rounds = [s.result() for s in spinners]
        print(rounds)
        """)


@needs_own_lock_interpreters
def test_what_is_made_on_first_use_belongs_to_the_interpreter_that_uses_it():
    # The first interpreter to use the module is gone before the others
    # start: nothing it made may be used by them.
    run_child("""
        run_in_new("first_uses")
        first_uses()
        run_in_new("first_uses")
        check(expected(("sample",)))
        """)
