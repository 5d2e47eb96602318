"""Subtree fingerprints in plain Python, as docs/fingerprints.md lays them out.

This gives the same 16 bytes as `arbolus.subtree_fingerprint`, where the
module is not installed, and shows what a fingerprint is made of. It needs
the `xxhash` package (pip install xxhash) for XXH3-128.

    python examples/fingerprint_reference.py FILE.py...

prints the fingerprint of each file's module, and of each top-level
function and class, in hex.
"""

import ast
import math
import struct
import sys
import threading

import xxhash

FORMAT = b"\x01"
CANONICAL_NAN = b"\x7f\xf8\x00\x00\x00\x00\x00\x00"


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def text(s):
    u = str.encode(s, "utf-8", "surrogatepass")
    return varint(len(u)) + u


def double(x):
    return CANONICAL_NAN if math.isnan(x) else struct.pack(">d", x)


def class_spelling(cls):
    # As the type object reports them, whatever a metaclass defines.
    module = type.__dict__["__module__"].__get__(cls)
    if not isinstance(module, str):
        raise TypeError(f"cannot fingerprint an instance of {cls!r}: its __module__ "
                        f"is {type(module).__name__}, not str")
    return FORMAT + text(module) + text(type.__dict__["__qualname__"].__get__(cls))


_declared = threading.local()


def field_names(cls):
    """The names of the class's fields, read as the module reads them: once
    per class and thread (a later change to `_fields` is not seen); a read
    that raises an ordinary exception, or gives no tuple, declares none;
    items that are not str are skipped, a str subclass's stands for its text."""
    known = _declared.__dict__.setdefault("fields", {})  # id -> (class, names)
    if id(cls) not in known:
        try:
            names = cls._fields
        except MemoryError:
            raise
        except Exception:
            names = ()
        if not isinstance(names, tuple):
            names = ()
        # The tuple's own items, whatever a subclass's __iter__ says.
        names = tuple(str.__str__(n) for n in tuple.__iter__(names) if isinstance(n, str))
        known[id(cls)] = (cls, names)  # the class is kept, so its id is not reused
    return known[id(cls)][1]


def read_fields(node):
    """(name, value) per field, read as the module reads them: the instance
    dictionary first, then attribute lookup; a missing field is skipped."""
    names = field_names(type(node))
    d = getattr(node, "__dict__", None)
    for name in names:
        if d is not None and name in d:
            yield name, d[name]
        else:
            try:
                yield name, getattr(node, name)
            except AttributeError:
                pass


def encode_leaf(v, where):
    t = type(v)
    if t is str:
        return b"s" + text(v)
    if t is int:
        n = ((v if v >= 0 else ~v).bit_length() + 8) // 8
        return b"i" + varint(n) + v.to_bytes(n, "big", signed=True)
    if v is None:
        return b"z"
    if t is bool:
        return b"T" if v else b"F"
    if t is float:
        return b"f" + double(v)
    if t is bytes:
        return b"b" + varint(len(v)) + v
    if t is complex:
        return b"c" + double(v.real) + double(v.imag)
    if v is Ellipsis:
        return b"e"
    if t is tuple:
        return b"u" + varint(len(v)) + b"".join(encode_leaf(x, where) for x in v)
    if t is frozenset:
        items = sorted(encode_leaf(x, where) for x in v)
        return b"S" + varint(len(items)) + b"".join(items)
    cls, field = where
    if cls is None:
        place = "as the root" if v is field else f"in a root of type {type(field).__qualname__}"
        raise TypeError(f"cannot fingerprint a value of type {t.__module__}.{t.__qualname__} "
                        f"{place}")
    raise TypeError(f"cannot fingerprint a value of type {t.__module__}.{t.__qualname__} "
                    f"in field {field!r} of {cls.__module__}.{cls.__qualname__}")


def subtree_fingerprints(root):
    """{id(node): 16 bytes} for every distinct node under root, and for the
    root itself.

    A root that is no node is spelled as a field's value would be, a tuple
    as the list of its items; the nodes among a list's items are keyed with
    their subtrees, as a list field's items are.

    Iterative, children before parents, so deep trees need no recursion.
    """
    memo = {}

    def encode_value(v, where):
        if isinstance(v, ast.AST):
            return b"n" + memo[id(v)] if id(v) in memo else b"n" + fingerprint_of(v)
        if type(v) is list:
            return b"l" + varint(len(v)) + b"".join(encode_value(x, where) for x in v)
        return encode_leaf(v, where)

    def fingerprint_of(node):
        # A node outside the walk (it never is, for trees that hold still).
        return subtree_fingerprints(node)[id(node)]

    def children(v):
        # The nodes a field holds, itself or as items of its list.
        items = v if type(v) is list else (v,)
        return [x for x in items if isinstance(x, ast.AST) and type(x) is not ast.AST]

    if isinstance(root, ast.AST):
        tops = [root]
    else:
        root_value = list(root) if type(root) is tuple else root
        tops = children(root_value) if type(root_value) is list else []

    # Pre-order, then backwards: every child before its parent.
    order, stack = [], list(reversed(tops))
    while stack:
        n = stack.pop()
        order.append(n)
        kids = [c for _, v in read_fields(n) for c in children(v)]
        stack.extend(reversed(kids))
        if len(order) > 1 << 24:
            raise ValueError("the tree has a cycle")
    for node in reversed(order):
        if id(node) in memo:
            continue
        cls = type(node)
        stream = [class_spelling(cls)]
        for name, value in read_fields(node):
            if value is None or (type(value) is list and not value):
                continue
            stream.append(text(name) + encode_value(value, (cls, name)))
        memo[id(node)] = xxhash.xxh3_128_digest(b"".join(stream))
    if not isinstance(root, ast.AST):
        memo[id(root)] = xxhash.xxh3_128_digest(encode_value(root_value, (None, root)))
    return memo


def subtree_fingerprint(node):
    return subtree_fingerprints(node)[id(node)]


def main(argv):
    for path in argv:
        with open(path, "rb") as f:
            tree = ast.parse(f.read(), path)
        print(f"{subtree_fingerprint(tree).hex()}  {path}")
        for unit in tree.body:
            if isinstance(unit, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                print(f"{subtree_fingerprint(unit).hex()}    {unit.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
