"""Node classes whose declarations misbehave, and the classes the per-thread
caches hold on to.

A class's `_fields` and `_attributes` are read by the module, perhaps through
a metaclass: an ordinary exception there means "nothing declared", but an
interrupt or exhausted memory must reach the caller. The class table of the
fast walks visits each class once, however the hierarchy repeats itself, and
keeps every class it recorded alive, so that no later class can inherit a
dead one's entry through its address.
"""

import ast
import gc
import sys
import weakref

import pytest

import arbolus
from conftest import caught, in_new_thread, preorder, run_python


class Trap(type):
    """`_fields` and `_attributes` read through this metaclass raise
    `Trap.raising` while it is set."""

    raising = None

    @property
    def _fields(cls):
        if Trap.raising is not None:
            raise Trap.raising
        return ("value",)

    @property
    def _attributes(cls):
        if Trap.raising is not None:
            raise Trap.raising
        return ("lineno",)


class Trapped(ast.expr, metaclass=Trap):
    pass


BY_NAME = [
    lambda t: arbolus.walk_frontier(t, (ast.Name,)),
    lambda t: arbolus.walk_frontier_events(t, (ast.Name,), ()),
    arbolus.set_parents,
    arbolus.fix_missing_locations,
    arbolus.subtree_hash,
]


@pytest.mark.parametrize("raising", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
def test_interrupts_and_memory_errors_reach_the_caller(raising):
    def scenario():
        # A fresh thread has neither a class table nor type records yet.
        tree = ast.Expr(value=Trapped(value=ast.Name("x", ast.Load())))
        Trap.raising = raising
        try:
            outcomes = [type(caught(fn, tree)) for fn in [arbolus.walk_dfs, *BY_NAME]]
        finally:
            Trap.raising = None
        # Nothing was recorded from the interrupted reads: the next calls see
        # the declared fields.
        name = tree.value.value
        return outcomes, arbolus.walk_dfs(tree) == [tree, tree.value, name, name.ctx], \
            arbolus.walk_frontier(tree, (ast.Name,))

    outcomes, walked, names = in_new_thread(scenario)
    assert outcomes == [raising] * (1 + len(BY_NAME))
    assert walked and len(names) == 1


def test_ordinary_exceptions_mean_no_fields():
    def scenario():
        name = ast.Name("x", ast.Load())
        tree = ast.Expr(value=Trapped(value=name))
        Trap.raising = LookupError
        try:
            return tree, arbolus.walk_dfs(tree), arbolus.walk_frontier(tree, (ast.Name,))
        finally:
            Trap.raising = None

    tree, walked, names = in_new_thread(scenario)
    assert walked == [tree, tree.value] and names == []


def test_a_recorded_class_lives_as_long_as_the_threads_table():
    # A class with three fields is recorded, then dropped by everyone else;
    # had the table kept only its address, a later class could take the
    # address over and be walked with three fields it does not have.
    def scenario():
        class Three(ast.expr):
            _fields = ("a", "b", "c")

        ref = weakref.ref(Three)
        arbolus.walk_dfs(ast.Pass())  # this thread's table records Three
        del Three
        gc.collect()
        held = ref() is not None
        made = []
        for _ in range(200):  # freed class memory is handed out again quickly
            class One(ast.expr):
                _fields = ("a",)
            kids = [ast.Pass() for _ in range(3)]
            node = One(a=kids[0])
            node.b, node.c = kids[1], kids[2]  # not fields of One
            made.append(arbolus.walk_dfs(node) == [node])  # One is not in the table
        return held, all(made)

    assert in_new_thread(scenario) == (True, True)


def test_each_class_is_recorded_once():
    out = run_python(
        """
        import time

        class Repeat(type):
            def __subclasses__(cls):
                return [ast.Name, ast.AST] + type.__subclasses__(cls)

        class Looping(ast.expr, metaclass=Repeat):
            _fields = ("value",)

        # Diamonds: every class of a level derives from both of the level above.
        level = [type("A0", (ast.expr,), {"_fields": ("value",)}), type("B0", (ast.expr,), {})]
        for i in range(1, 40):
            level = [type(f"{n}{i}", tuple(level), {}) for n in "AB"]
        leaf = level[0](value=ast.Name("x", ast.Load()))
        walked = arbolus.walk_dfs(leaf)  # a root is expanded whatever its class
        looping = Looping(value=ast.Name("y", ast.Load()))
        print(json.dumps([len(walked), arbolus.walk_dfs(looping) == preorder(looping)]))
        """,
        timeout=60,
    )
    assert out == [3, True]
