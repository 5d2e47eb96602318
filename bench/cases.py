"""The pairings: each arbolus function against its standard-library peer.

A case names the function, the peer, how to call both on one tree, how to
tell that both computed the same thing (checked before any timing), and,
for functions that edit trees, what to undo before each timed call.
"""

import ast
import collections
import copy
from dataclasses import dataclass
from typing import Any, Callable, Optional

import arbolus

import peers as P


@dataclass
class Case:
    function: str            # the arbolus function
    variant: str             # what distinguishes rows of one function
    peer: str                # short name of the peer (spelled out in PEERS)
    ours: Callable[[Any], Any]
    theirs: Callable[[Any], Any]
    check: Callable[[Any], None]   # raises AssertionError when the two disagree
    reset: Optional[Callable[[Any], None]] = None   # per tree, untimed
    edits: bool = False      # writes to trees: timed after every reading case
    out_stride: int = 1      # out of cache: every n-th corpus module only
    target: Optional[float] = None   # speed-up we expect at least

    @property
    def label(self):
        return self.function + (f" [{self.variant}]" if self.variant else "")


class Mismatch(AssertionError):
    pass


# id(tree) -> module name, for messages.
NAMES = {}


def _require(ok, case_label, what, tree):
    if not ok:
        where = NAMES.get(id(tree), type(tree).__name__)
        raise Mismatch(f"{case_label}: {what} differ on {where}")


def _ids(nodes):
    return [id(n) for n in nodes]


# --- checks ----------------------------------------------------------------

def same_order(label, ours, theirs):
    def check(tree):
        _require(_ids(ours(tree)) == _ids(theirs(tree)), label, "node lists", tree)
    return check


def same_nodes(label, ours, theirs):
    """Same nodes with the same multiplicities, in any order."""
    def check(tree):
        a, b = ours(tree), theirs(tree)
        _require(len(a) == len(b) and sorted(_ids(a)) == sorted(_ids(b)), label, "node sets", tree)
    return check


def same_count(label, ours, theirs):
    def check(tree):
        _require(ours(tree) == theirs(tree), label, "counts", tree)
    return check


def same_edges(label, ours, theirs):
    def key(edges):
        return [(id(n), id(p), f, i) for n, p, f, i in edges]

    def check(tree):
        _require(key(ours(tree)) == key(theirs(tree)), label, "edge lists", tree)
    return check


def same_events(label, ours, theirs):
    def key(events):
        return [(e, id(n)) for e, n in events]

    def check(tree):
        _require(key(ours(tree)) == key(theirs(tree)), label, "event lists", tree)
    return check


def same_partition(label, ours, theirs):
    """Both dicts have the same keys and group them the same way: equal
    hashes on one side exactly where the other has equal hashes."""
    def check(tree):
        a, b = ours(tree), theirs(tree)
        _require(a.keys() == b.keys(), label, "hashed node sets", tree)
        pairs = {(a[k], b[k]) for k in a}
        _require(len(pairs) == len(set(a.values())) == len(set(b.values())),
                 label, "hash partitions", tree)
    return check


def subtree_hash_consistent(label):
    def check(tree):
        h = arbolus.subtree_hash(tree)
        _require(h == arbolus.subtree_hashes(tree)[id(tree)], label, "root hashes", tree)
        twin = copy.deepcopy(tree)
        _require(arbolus.subtree_hash(twin) == h, label, "hashes of equal dumps", tree)
        _require(P.dump_hash(twin) == P.dump_hash(tree), label, "peer hashes of equal dumps", tree)
        if isinstance(twin, ast.Module):
            twin.body.append(ast.Pass())
            _require(arbolus.subtree_hash(twin) != h, label, "hashes of different dumps", tree)
    return check


def subtree_fingerprint_consistent(label):
    def check(tree):
        f = arbolus.subtree_fingerprint(tree)
        _require(f == arbolus.subtree_fingerprints(tree)[id(tree)], label, "root fingerprints",
                 tree)
        twin = copy.deepcopy(tree)
        _require(arbolus.subtree_fingerprint(twin) == f, label, "fingerprints of equal dumps",
                 tree)
        if isinstance(twin, ast.Module):
            twin.body.append(ast.Pass())
            _require(arbolus.subtree_fingerprint(twin) != f, label,
                     "fingerprints of different dumps", tree)
    return check


def _dump_all(tree):
    return ast.dump(tree, include_attributes=True)


def same_repair(label, ours, theirs, strip):
    def check(tree):
        work = copy.deepcopy(tree)
        if strip:
            P.strip_locations(arbolus.walk_dfs(work))
        before = _dump_all(work)
        _require(ours(work) is work, label, "returned roots", tree)
        a = _dump_all(work)
        if strip:
            P.strip_locations(arbolus.walk_dfs(work))
            _require(_dump_all(work) == before, label, "stripped trees", tree)
        else:
            _require(a == before, label, "trees with every location (ours wrote)", tree)
        theirs(work)
        _require(_dump_all(work) == a, label, "repaired trees", tree)
    return check


def same_parents(label, ours, theirs):
    def links(nodes):
        return [(id(n), id(n.__dict__.get("parent"))) for n in nodes]

    def check(tree):
        work = copy.deepcopy(tree)
        # A node reached along several paths (the shared Load/Store context
        # instances) keeps the parent written last, which depends on the
        # order parents are visited in: compare the others.
        nodes = arbolus.walk_dfs(work)
        seen = collections.Counter(map(id, nodes))
        nodes = [n for n in nodes if seen[id(n)] == 1]
        P.clear_parents(nodes)
        ours(work)
        a = links(nodes)
        P.clear_parents(nodes)
        theirs(work)
        b = links(nodes)
        _require(a == b, label, "parent links", tree)
        _require("parent" not in work.__dict__, label, "root parents (should be unset)", tree)
    return check


# --- resets ----------------------------------------------------------------

def strip_tree(tree):
    P.strip_locations(arbolus.walk_dfs(tree))


# --- the cases -------------------------------------------------------------

def _case(function, variant, peer, ours, theirs, checker, **kw):
    label = function + (f" [{variant}]" if variant else "")
    return Case(function, variant, peer, ours, theirs, checker(label, ours, theirs), **kw)


# Short peer names for the table, spelled out under it.
PEERS = {
    "list(ast.walk)": "list(ast.walk(t))",
    "len(list(ast.walk))": "len(list(ast.walk(t)))",
    "py pre-order": "iterative pre-order in Python: stack, ast.iter_child_nodes, reversed",
    "py pre-order count": "the same, counting instead of collecting",
    "NodeVisitor": "ast.NodeVisitor subclass: visit_Call collects, does not descend",
    "NodeVisitor+place": "the same, generic_visit keeping (parent, field, index) for visit_Call",
    "NodeVisitor brackets": "ast.NodeVisitor subclass: visit_FunctionDef/AsyncFunctionDef/"
                            "ClassDef record enter, generic_visit, exit; visit_Name records",
    "ast.walk filter": "[n for n in ast.walk(t) if type(n) in kinds]",
    "py pruned pre-order": "the Python pre-order, not expanding nodes of a pruned class",
    "dump per node": "{id(n): hash(ast.dump(n)) for n in ast.walk(t)}",
    "py bottom-up hash": "children first (reversed pre-order); hash((type(n), (position, "
                         "value hash)...)), leaves hash((type(v), v or repr(v)))",
    "hash(ast.dump)": "hash(ast.dump(t))",
    "ast.dump": "ast.dump(t): the text a comparison of two trees compares",
    "subtree_hashes": "arbolus.subtree_hashes(t): the in-process 64-bit hashes",
    "subtree_hash": "arbolus.subtree_hash(t)",
    "ast.fix_missing_locations": "ast.fix_missing_locations(t)",
    "py set parents": "for n in ast.walk(t): for c in ast.iter_child_nodes(n): c.parent = n",
}

VARIANTS = {
    "Call": "kinds=(ast.Call,)",
    "Name,Call": "kinds=(ast.Name, ast.Call)",
    "Name,Call prune": "kinds=(ast.Name, ast.Call), prune=(ast.Attribute, ast.JoinedStr, "
                       "ast.Lambda)",
    "Name; def/class": "kinds=(ast.Name,), bracket=(ast.FunctionDef, ast.ClassDef, "
                       "ast.AsyncFunctionDef)",
    "present": "every location present (nothing to write)",
    "stripped": "the four location attributes deleted from every node before each call "
                "(untimed)",
}


def all_cases():
    A = arbolus
    frontier = lambda t: A.walk_frontier(t, P.CALL)  # noqa: E731
    edges = lambda t: A.walk_frontier_edges(t, P.CALL)  # noqa: E731
    of_types = lambda t: A.walk_of_types(t, P.NAMES_AND_CALLS)  # noqa: E731
    of_types_pruned = lambda t: A.walk_of_types(t, P.NAMES_AND_CALLS, P.PRUNED)  # noqa: E731
    pruned_peer = lambda t: P.py_of_types_pruned(t, P.NAMES_AND_CALLS, P.PRUNED)  # noqa: E731
    events = lambda t: A.walk_frontier_events(t, P.NAME, P.BRACKETS)  # noqa: E731

    def repair(variant, strip, reset=None):
        label = f"fix_missing_locations [{variant}]"
        return Case("fix_missing_locations", variant, "ast.fix_missing_locations",
                    A.fix_missing_locations, ast.fix_missing_locations,
                    same_repair(label, A.fix_missing_locations, ast.fix_missing_locations,
                                strip=strip),
                    reset=reset, edits=True, target=20)

    return [
        _case("walk_dfs", "", "list(ast.walk)", A.walk_dfs, P.ast_walk_list, same_nodes,
              target=100),
        _case("walk_dfs", "", "py pre-order", A.walk_dfs, P.py_preorder, same_order),
        _case("walk_unordered", "", "list(ast.walk)", A.walk_unordered, P.ast_walk_list,
              same_nodes),
        _case("walk_unordered", "", "py pre-order", A.walk_unordered, P.py_preorder,
              same_nodes),
        _case("_walk_count", "", "len(list(ast.walk))", A._walk_count, P.ast_walk_len,
              same_count),
        _case("_walk_count", "", "py pre-order count", A._walk_count, P.py_preorder_count,
              same_count),
        _case("walk_frontier", "Call", "NodeVisitor", frontier, P.visitor_calls, same_order,
              target=30),
        _case("walk_frontier_edges", "Call", "NodeVisitor+place", edges,
              P.visitor_call_edges, same_edges, target=30),
        _case("walk_of_types", "Name,Call", "ast.walk filter", of_types,
              P.comprehension_of_types, same_nodes, target=30),
        _case("walk_of_types", "Name,Call prune", "py pruned pre-order", of_types_pruned,
              pruned_peer, same_order, target=30),
        _case("walk_frontier_events", "Name; def/class", "NodeVisitor brackets", events,
              P.visitor_events, same_events, target=30),
        # The peer dumps every subtree: O(nodes x depth), so out of cache it
        # runs on every tenth module.
        _case("subtree_hashes", "", "dump per node", A.subtree_hashes, P.dump_hashes,
              same_partition, out_stride=10),
        _case("subtree_hashes", "", "py bottom-up hash", A.subtree_hashes,
              P.py_subtree_hashes, same_partition, target=50),
        Case("subtree_hash", "", "hash(ast.dump)", A.subtree_hash, P.dump_hash,
             subtree_hash_consistent("subtree_hash")),
        # Fingerprints against the dumps they stand for and against the
        # in-process hashes they cost more than.
        _case("subtree_fingerprints", "", "dump per node", A.subtree_fingerprints,
              P.dump_hashes, same_partition, out_stride=10),
        _case("subtree_fingerprints", "", "subtree_hashes", A.subtree_fingerprints,
              A.subtree_hashes, same_partition),
        Case("subtree_fingerprint", "", "ast.dump", A.subtree_fingerprint, P.dump_text,
             subtree_fingerprint_consistent("subtree_fingerprint")),
        Case("subtree_fingerprint", "", "subtree_hash", A.subtree_fingerprint, A.subtree_hash,
             subtree_fingerprint_consistent("subtree_fingerprint")),
        # Tree edits last: they write to the corpus trees.
        repair("present", strip=False),
        repair("stripped", strip=True, reset=strip_tree),
        _case("set_parents", "", "py set parents", A.set_parents, P.py_set_parents,
              same_parents, edits=True, target=30),
    ]


FUNCTIONS = [
    "walk", "walk_dfs", "walk_unordered", "walk_frontier", "walk_frontier_edges",
    "walk_of_types", "fix_missing_locations", "subtree_hashes", "subtree_hash",
    "set_parents", "walk_frontier_events", "_walk_count", "subtree_fingerprints",
    "subtree_fingerprint",
]
