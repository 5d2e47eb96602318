"""Standard-library and plain-Python counterparts of the arbolus functions.

Each is written the way a tool author would write it with the standard
library alone: idiomatic, not deliberately slow, not micro-optimised either.
"""

import ast

iter_child_nodes = ast.iter_child_nodes

# Classes used by the selection benchmarks.
CALL = (ast.Call,)
NAMES_AND_CALLS = (ast.Name, ast.Call)
# Not descended by the pruned typed walk: attribute chains, f-strings and
# lambdas (about a sixth of a typical module's nodes lie below them).
PRUNED = (ast.Attribute, ast.JoinedStr, ast.Lambda)
BRACKETS = (ast.FunctionDef, ast.ClassDef, ast.AsyncFunctionDef)
NAME = (ast.Name,)
LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


# --- walks -----------------------------------------------------------------

def ast_walk_list(tree):
    return list(ast.walk(tree))


def ast_walk_len(tree):
    return len(list(ast.walk(tree)))


def py_preorder(tree):
    """Iterative depth-first pre-order over ast.iter_child_nodes."""
    out = []
    stack = [tree]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(list(iter_child_nodes(node))))
    return out


def py_preorder_count(tree):
    count = 0
    stack = [tree]
    while stack:
        node = stack.pop()
        count += 1
        stack.extend(reversed(list(iter_child_nodes(node))))
    return count


# --- frontier selections ---------------------------------------------------

class CallCollector(ast.NodeVisitor):
    """Every call not nested inside another call's subtree."""

    def __init__(self):
        self.found = []

    def visit_Call(self, node):
        self.found.append(node)


def visitor_calls(tree):
    v = CallCollector()
    v.visit(tree)
    return v.found


class CallEdgeCollector(ast.NodeVisitor):
    """As CallCollector, recording where each call was read from."""

    def __init__(self):
        self.found = []
        self.place = (None, None, -1)

    def generic_visit(self, node):
        for field, value in ast.iter_fields(node):
            if isinstance(value, list):
                for i, item in enumerate(value):
                    if isinstance(item, ast.AST):
                        self.place = (node, field, i)
                        self.visit(item)
            elif isinstance(value, ast.AST):
                self.place = (node, field, -1)
                self.visit(value)

    def visit_Call(self, node):
        parent, field, index = self.place
        self.found.append((node, parent, field, index))


def visitor_call_edges(tree):
    v = CallEdgeCollector()
    v.visit(tree)
    return v.found


class ScopeNameEvents(ast.NodeVisitor):
    """Names dispatched, function and class bodies bracketed."""

    def __init__(self):
        self.events = []

    def _bracket(self, node):
        self.events.append((1, node))
        self.generic_visit(node)
        self.events.append((2, node))

    visit_FunctionDef = visit_AsyncFunctionDef = visit_ClassDef = _bracket

    def visit_Name(self, node):
        self.events.append((0, node))


def visitor_events(tree):
    v = ScopeNameEvents()
    v.visit(tree)
    return v.events


# --- typed walk ------------------------------------------------------------

def comprehension_of_types(tree, kinds=NAMES_AND_CALLS):
    return [n for n in ast.walk(tree) if type(n) in kinds]


def py_of_types_pruned(tree, kinds=NAMES_AND_CALLS, prune=PRUNED):
    """Pre-order selection that does not descend below a pruned class."""
    out = []
    stack = [tree]
    while stack:
        node = stack.pop()
        cls = type(node)
        if cls in kinds:
            out.append(node)
        if node is tree or cls not in prune:
            stack.extend(reversed(list(iter_child_nodes(node))))
    return out


# --- edits -----------------------------------------------------------------

def py_set_parents(tree):
    for node in ast.walk(tree):
        for child in iter_child_nodes(node):
            child.parent = node


def strip_locations(nodes):
    """Deletes the four location attributes from every node given."""
    for node in nodes:
        d = node.__dict__
        for name in LOCATIONS:
            d.pop(name, None)


def clear_parents(nodes):
    for node in nodes:
        node.__dict__.pop("parent", None)


# --- structural hashes -----------------------------------------------------

def dump_hashes(tree):
    return {id(n): hash(ast.dump(n)) for n in ast.walk(tree)}


def dump_hash(tree):
    return hash(ast.dump(tree))


def dump_text(tree):
    return ast.dump(tree)


_PLAIN_LEAVES = frozenset({str, bytes, int, bool, type(None), type(Ellipsis)})
_MISSING = object()


def py_subtree_hashes(tree):
    """Bottom-up structural hash: children before parents, each node's hash
    from its class and (field position, value hash) pairs, leaves hashed
    with their class (through repr where their hash disagrees with dump)."""
    order = []
    stack = [tree]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(iter_child_nodes(node))
    hashes = {}
    AST = ast.AST

    def value_hash(v):
        if isinstance(v, AST):
            return hashes[id(v)]
        cls = type(v)
        return hash((cls, v if cls in _PLAIN_LEAVES else repr(v)))

    for node in reversed(order):
        key = id(node)
        if key in hashes:
            continue
        parts = [type(node)]
        for position, name in enumerate(node._fields):
            value = getattr(node, name, _MISSING)
            if value is _MISSING:
                continue
            if type(value) is list:
                h = hash(tuple(value_hash(item) for item in value))
            else:
                h = value_hash(value)
            parts.append((position, h))
        hashes[key] = hash(tuple(parts))
    return hashes
