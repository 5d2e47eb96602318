"""The module on a free-threaded build (3.13t and later): importing it leaves
the interpreter without its global lock, silently, in the main interpreter
and in sub-interpreters alike.

An extension that does not declare itself safe there turns the lock back on
for its interpreter, with a RuntimeWarning. Each case runs in a fresh child
process, where nothing was imported before, with nothing in the environment
or on the command line that forces the lock either way. The same check run
on a module that makes no such declaration (one of those in CPython's test
module of single-phase initialization) shows that it sees the lock come
back.
"""

import importlib.util
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="a build with the global lock: nothing to declare")

# Imports NAME (from the extension file ORIGIN, when given) and prints
# whether the lock was on before and after, and the warnings the import gave.
IMPORT = r"""
import importlib.util, sys, warnings
from importlib.machinery import ExtensionFileLoader
before = sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    if ORIGIN is None:
        __import__(NAME)
    else:
        loader = ExtensionFileLoader(NAME, ORIGIN)
        importlib.util.module_from_spec(importlib.util.spec_from_loader(NAME, loader))
print(before, sys._is_gil_enabled(), [f"{w.category.__name__}: {w.message}" for w in caught])
"""

# Sub-interpreters of both kinds (sharing the main interpreter's lock
# settings, and isolated with their own), each importing the module and
# checking its own interpreter; then the main one, which never imported it.
SUBINTERPRETERS = r"""
import sys
try:
    from concurrent import interpreters as public
except ImportError:
    public = None
    import _interpreters as private

def run(kind, code):
    if public is not None:
        if kind != "isolated":
            return "skipped"  # the public module makes isolated ones only
        sub = public.create()
        try:
            sub.exec(code)
        finally:
            sub.close()
    else:
        sub = private.create(kind)
        try:
            failure = private.exec(sub, code)
            if failure is not None:
                raise RuntimeError(failure.formatted)
        finally:
            private.destroy(sub)
    return "ok"

CHECK = '''
import sys, warnings
assert not sys._is_gil_enabled(), "lock on before the import"
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import arbolus
assert not caught, [str(w.message) for w in caught]
assert not sys._is_gil_enabled(), "lock on after the import"
import ast
tree = ast.parse("f(x)")
assert sorted(map(id, arbolus.walk_dfs(tree))) == sorted(map(id, ast.walk(tree))), "walk"
'''
print([run(kind, CHECK) for kind in ("legacy", "isolated")], sys._is_gil_enabled())
"""


def run_child(code, **names):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    prelude = "".join(f"{k} = {v!r}\n" for k, v in names.items())
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout.strip()


def test_importing_the_module_leaves_the_lock_off_without_a_warning():
    assert run_child(IMPORT, NAME="arbolus", ORIGIN=None) == "False False []"


def test_the_check_sees_a_module_that_turns_the_lock_back_on():
    # Found, not imported here: this one declares itself safe, but another
    # module its file holds does not.
    found = importlib.util.find_spec("_testsinglephase")
    if found is None:
        pytest.skip("CPython's test modules are not installed")
    before, after, caught = run_child(IMPORT, NAME="_testsinglephase_check_cache_first",
                                      ORIGIN=found.origin).split(" ", 2)
    assert (before, after) == ("False", "True")
    assert "RuntimeWarning" in caught and "GIL" in caught


def test_sub_interpreters_that_import_the_module_keep_the_lock_off():
    if importlib.util.find_spec("_interpreters") is None:
        pytest.skip("no sub-interpreters here")
    ran, main_lock = run_child(SUBINTERPRETERS).rsplit(" ", 1)
    assert "ok" in ran and main_lock == "False"
