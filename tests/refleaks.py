"""Reference leaks hunted per test, the way CPython's own test runner does
with `-R 3:3`.

Each test runs WARMUP + REPEATS times, unreported, before its reported run.
After every run the interpreter's caches are emptied, the garbage collector
runs, and the total reference count (`sys.gettotalrefcount`, debug
interpreters only) and the number of allocated memory blocks are read. A
test whose reference count, or block count, grew in every one of the last
REPEATS runs fails with the deltas; growth in some runs only is noise
(caches that fill once, objects freed a run late).

The unreported runs each run on a thread of their own. The module keeps
what it learns about node classes, and the last few class tuples passed,
for the life of the thread that called it (a test that makes new classes
on each run would grow by them); its thread's end releases them, so what a
run leaves behind is what outlives the call and the thread both. Tests that
read the parsed corpus are left out: they walk ordinary trees, which the
smaller cases cover, and take the longest.

Opt-in, from tests/conftest.py: ARBOLUS_REFLEAKS=3:3 (warm-up runs, then
measured runs). `make test-refleaks` sets it and runs the tests on a debug
interpreter.
"""

import gc
import linecache
import re
import sys
import threading
import typing

import pytest
from _pytest.runner import runtestprotocol

import arbolus

LEAK = pytest.StashKey[str]()


def clear_caches():
    """Drop what the interpreter and the standard library cache on the way,
    so that only what a run kept is counted."""
    # A thread that ended without the interpreter lock leaves its caches
    # queued for release by the module's next call.
    arbolus._walk_count(None)
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear()
    re.purge()
    linecache.clearcache()
    for cleanup in getattr(typing, "_cleanups", ()):
        cleanup()
    gc.collect()


def counts():
    clear_caches()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def steady_growth(deltas):
    return all(delta >= 1 for delta in deltas)


def unreported_run(item):
    """One run of `item`, set up and torn down, on a thread of its own; its
    reports, or None when the run was cut short (KeyboardInterrupt, exit)."""
    out = []

    def run():
        try:
            # Ends with the item's own fixtures torn down and its parents'
            # (module, session) kept, as between two tests of one module.
            out.append(runtestprotocol(item, nextitem=item.parent, log=False))
        except BaseException:
            out.append(None)

    worker = threading.Thread(target=run, name=f"refleaks {item.name}")
    worker.start()
    worker.join()
    item._report_sections.clear()     # captured output, one copy per run
    return out[0]


class RefleakHunt:
    def __init__(self, runs):
        try:
            self.warmup, self.repeats = (int(n) for n in runs.split(":"))
        except ValueError:
            raise pytest.UsageError(f"ARBOLUS_REFLEAKS={runs!r}: want WARMUP:REPEATS, as 3:3")
        if self.warmup < 1 or self.repeats < 2:
            raise pytest.UsageError(f"ARBOLUS_REFLEAKS={runs!r}: want at least 1:2")
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError(
                "ARBOLUS_REFLEAKS needs a debug interpreter (sys.gettotalrefcount): "
                f"{sys.executable} is a release build")

    def measure(self, item):
        """The deltas of the measured runs, or None when a run did not pass
        (the reported run then shows why)."""
        refs, blocks = [], []
        # What is alive before the first run (the parsed corpus, pytest's
        # own state) is left out of the collections that follow, which then
        # look at what the runs made only. Freezing and unfreezing take no
        # time; the reference counts still free what they free.
        gc.collect()
        gc.freeze()
        try:
            before = counts()
            for _ in range(self.warmup + self.repeats):
                reports = unreported_run(item)
                if reports is None or not all(r.passed for r in reports):
                    return None
                after = counts()
                refs.append(after[0] - before[0])
                blocks.append(after[1] - before[1])
                before = after
        finally:
            gc.unfreeze()
        return refs[self.warmup:], blocks[self.warmup:]

    def pytest_collection_modifyitems(self, config, items):
        corpus = [item for item in items if "corpus" in getattr(item, "fixturenames", ())]
        if corpus:
            config.hook.pytest_deselected(items=corpus)
            items[:] = [item for item in items if item not in corpus]

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        deltas = self.measure(item)
        if deltas is not None:
            refs, blocks = deltas
            found = [f"{what} grew in each of {self.repeats} runs: {d}, sum={sum(d)}"
                     for what, d in (("references", refs), ("memory blocks", blocks))
                     if steady_growth(d)]
            if found:
                item.stash[LEAK] = "leak: " + "; ".join(found)
        # None: the usual protocol runs the test once more, reported.

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        leak = item.stash.get(LEAK, None)
        if leak and call.when == "call" and report.passed:
            report.outcome = "failed"
            report.longrepr = leak

    def pytest_report_header(self):
        return (f"reference leak hunt: {self.warmup} warm-up and {self.repeats} measured "
                "runs per test")
