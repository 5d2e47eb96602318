"""The shipped type stubs agree with the module and serve a strict typed caller."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # The checker's own compiled modules leak at exit, which the leak
    # detector of a sanitizer run reports as a failure; types need no sanitizer.
    pytest.skip("type checks do not run under the sanitizer", allow_module_level=True)

HERE = pathlib.Path(__file__).parent


def run_mypy(*args):
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE, timeout=300
    )


def test_stubs_match_the_runtime_module():
    result = run_mypy("mypy.stubtest", "arbolus")
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_client_passes_strict_checking():
    result = run_mypy("mypy", "--strict", "--no-incremental", "typing_client.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_deprecated_walk_is_flagged_to_type_checkers(tmp_path):
    client = tmp_path / "uses_walk.py"
    client.write_text("import ast, arbolus\narbolus.walk(ast.parse(''))\n")
    result = run_mypy(
        "mypy", "--strict", "--no-incremental", "--enable-error-code", "deprecated", str(client)
    )
    assert "deprecated" in result.stdout, result.stdout
