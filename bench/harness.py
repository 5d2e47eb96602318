"""Timing: alternated runs of several sides, medians, the collector off.

A *side* is one function being measured (ours, a peer, the copy floor).
Every round times each side once, in an order rotated from round to round
(A B F, B F A, F A B, ...), so slow drift of the machine and the order of
the calls weigh on all sides alike; in cache, each sample follows one untimed
call of its own side, so that it times a tree the side has just walked.
The cyclic garbage collector is disabled for every timed region and
re-enabled after it; all clocks are time.perf_counter_ns. Each timed region
also reads the thread's CPU clock, only to tell how much of the region the
thread actually ran (on a shared machine the rest went to other processes):
that share is reported, the figures themselves are wall-clock.
"""

import gc
from itertools import repeat
import math
import statistics
from dataclasses import dataclass, field
from time import perf_counter_ns, thread_time_ns
from typing import Any, Callable, Optional


@dataclass
class Side:
    name: str
    fn: Callable[[Any], Any]
    # In cache: the one argument. Out of cache: the list of arguments, one
    # call per item per pass.
    arg: Any
    # Untimed preparation before every timed sample (on the argument, or on
    # the whole argument list for a pass), for functions that edit trees.
    reset: Optional[Callable[[Any], None]] = None
    samples: list = field(default_factory=list)  # ns per call / per pass
    on_cpu: list = field(default_factory=list)   # thread CPU time / wall time per sample


def _timed_calls(fn, arg, k, side=None):
    return _timed_pass(fn, repeat(arg, k), side)


def _timed_pass(fn, args, side=None):
    gc.disable()
    try:
        c0 = thread_time_ns()
        t0 = perf_counter_ns()
        for a in args:
            fn(a)
        t1 = perf_counter_ns()
        c1 = thread_time_ns()
    finally:
        gc.enable()
    if side is not None:
        side.on_cpu.append(min(1.0, (c1 - c0) / max(t1 - t0, 1)))
    return t1 - t0


def _rotations(sides, rounds):
    n = len(sides)
    for r in range(rounds):
        yield [sides[(r + i) % n] for i in range(n)]


def in_cache(sides, rounds, sample_ns, warmup_ns, min_calls=2, rewarm=True):
    """Times repeated calls on one argument per side.

    Each side is first warmed up (called until warmup_ns has passed, at least
    min_calls times), which also calibrates k, the calls per sample, so that a
    sample takes about sample_ns; sides with a reset take one call per
    sample. With rewarm, every sample is preceded by one untimed call of
    the same side. Samples are ns per call.
    """
    ks = {}
    for s in sides:
        spent, calls = 0, 0
        while calls < min_calls or spent < warmup_ns:
            if s.reset:
                s.reset(s.arg)
            spent += _timed_calls(s.fn, s.arg, 1)
            calls += 1
        per_call = max(spent / calls, 1)
        ks[s.name] = 1 if s.reset else max(1, math.ceil(sample_ns / per_call))
    for order in _rotations(sides, rounds):
        for s in order:
            k = ks[s.name]
            # One untimed call first: the sample then measures repeated calls
            # on a warm tree, not the first call after another side has
            # filled the core's private caches with its own data.
            if rewarm:
                if s.reset:
                    s.reset(s.arg)
                s.fn(s.arg)
            if s.reset:
                s.reset(s.arg)
            s.samples.append(_timed_calls(s.fn, s.arg, k, s) / k)
    return ks


def out_of_cache(sides, rounds, warmup_fraction=0.1):
    """Times passes over many arguments, one call each per pass.

    Warm-up: each side runs once over the first warmup_fraction of its
    arguments. Samples are ns per pass.
    """
    for s in sides:
        head = s.arg[: max(1, int(len(s.arg) * warmup_fraction))]
        if s.reset:
            s.reset(head)
        _timed_pass(s.fn, head)
    for order in _rotations(sides, rounds):
        for s in order:
            if s.reset:
                s.reset(s.arg)
            s.samples.append(_timed_pass(s.fn, s.arg, s))


def median(samples):
    return statistics.median(samples)


def spread(samples):
    """Half the interquartile range relative to the median (0 when too few)."""
    if len(samples) < 4:
        return (max(samples) - min(samples)) / 2 / statistics.median(samples)
    q = statistics.quantiles(samples, n=4)
    return (q[2] - q[0]) / 2 / statistics.median(samples)
