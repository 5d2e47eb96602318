"""The reference leak hunt of tests/refleaks.py, on tests made to leak.

Runs only on a debug interpreter (`make test-refleaks` runs it first)."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("the hunt needs a debug interpreter (sys.gettotalrefcount)",
                allow_module_level=True)

TESTS = pathlib.Path(__file__).resolve().parent

CASES = """\
import ast
import arbolus

KEPT = []
ONCE = {}
class Node(ast.expr):
    _fields = ("value",)


def test_keeps_an_object_per_run():
    KEPT.append(object())


def test_keeps_a_tree_per_run():
    KEPT.append(ast.parse("x = f(y)"))


def test_fills_a_cache_once():
    ONCE.setdefault("tree", ast.parse("x"))


def test_walks_and_fails_cleanly():
    tree = ast.parse("def f(a):\\n    return g(a) + 1\\n")
    arbolus.walk_dfs(tree)
    arbolus.set_parents(tree)
    arbolus.subtree_hashes(tree)
    try:
        arbolus.walk_of_types(tree, [ast.Name])
    except TypeError:
        pass


def test_new_node_classes_each_run():
    cls = type("Fresh", (ast.expr,), {"_fields": ("value",)})
    arbolus.walk_of_types(cls(value=Node(value=ast.Pass())), (ast.Pass,))
"""


def test_steady_growth_fails_and_nothing_else_does(tmp_path):
    (tmp_path / "conftest.py").write_text(textwrap.dedent(f"""\
        import sys
        sys.path.insert(0, {str(TESTS)!r})
        from refleaks import RefleakHunt

        def pytest_configure(config):
            config.pluginmanager.register(RefleakHunt("3:3"), "arbolus-refleaks")
        """))
    (tmp_path / "test_cases.py").write_text(CASES)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfE", str(tmp_path)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    out = result.stdout
    failed = sorted(line.split("::")[1].split(" ")[0] for line in out.splitlines()
                    if line.startswith("FAILED"))
    assert failed == ["test_keeps_a_tree_per_run", "test_keeps_an_object_per_run"], out
    assert "references grew in each of 3 runs: [1, 1, 1], sum=3" in out
    assert "2 failed, 3 passed" in out
