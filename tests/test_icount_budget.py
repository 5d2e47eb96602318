"""Instruction counts per node stay within the checked-in budget.

The counts come from callgrind (bench/icount.py) and do not depend on
machine load, nor on the wording of the script that drives them (a slow
test counts twice, the script padded once). Lowering a budget is an
ordinary commit: `make icount ICOUNT_ARGS=--write-budget` for the
interpreter at hand, `make icount-budgets` for every version CI runs.
"""

import os
import pathlib
import shutil
import sys
import sysconfig

import pytest

from conftest import slow

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import icount  # noqa: E402


def test_over_budget_names_the_figure_and_both_counts():
    budget = {"walk_dfs [in-cache]": 100.0, "set_parents [1k]": 500.0, "gone": 1.0}
    figs = {"walk_dfs [in-cache]": 103.0, "set_parents [1k]": 515.5, "new": 2.0}
    problems = icount.over_budget(figs, budget)
    assert problems == [
        "set_parents [1k]: 515.5 instructions, budget 500 (+3.1%)",
        f"new: 2 has no budget in {icount.BUDGET.name}",
        f"gone: in {icount.BUDGET.name} but no longer measured",
    ]


def built_module():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return [p for p in (BENCH.parent / "build").glob(f"*/arbolus{suffix}")
            if p.parent.name not in ("asan", "tsan", "clang")]


COUNTABLE = [
    pytest.mark.skipif(os.environ.get("ARBOLUS_ICOUNT") == "0",
                       reason="ARBOLUS_ICOUNT=0: the budgets are for the default (GCC) Release build"),
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="instruction budgets are for the Release build, not the sanitizer build"),
    pytest.mark.skipif(shutil.which("valgrind") is None,
                       reason="valgrind not installed (apt-get install -y valgrind): "
                              "instruction budgets not checked"),
    pytest.mark.skipif(not built_module(), reason="no module built under build/ to count"),
]


def countable(test):
    for mark in COUNTABLE:
        test = mark(test)
    return test


@countable
@pytest.mark.skipif(not icount.BUDGET.exists(),
                    reason=f"no instruction budget for this version ({icount.BUDGET.name})")
def test_instruction_counts_within_budget():
    problems = icount.over_budget(icount.measure(), icount.load_budget())
    assert not problems, "over budget:\n" + "\n".join(problems)


# Text that changes what loading the counted script allocates and keeps: a
# long constant, comment lines, a few functions.
PADDING = ("\n" + "# padding, padding, padding\n" * 300 + "PADDING = '" + "p" * 3000 + "'\n"
           + "".join(f"def pad_{i}(x):\n    return x + {i}\n" for i in range(40)))


@slow
@countable
@pytest.mark.xfail(sys.version_info >= (3, 15), strict=False,
                   reason="on 3.15 the walks' rows on the small trees still move by up to 0.9%")
def test_the_counts_do_not_move_with_the_scripts_text():
    plain, padded = icount.measure(), icount.measure(padding=PADDING)
    moved = {name: round(abs(padded[name] / plain[name] - 1) * 100, 2) for name in plain}
    assert max(moved.values()) <= 0.5, sorted(moved.items(), key=lambda kv: -kv[1])[:5]
