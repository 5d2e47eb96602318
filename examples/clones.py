"""Duplicated code across Python files, found with structural fingerprints.

    python examples/clones.py [--min-nodes N] [--limit K] [--confirm]
                              [--jobs N | --threads N | --interpreters N |
                               --dask [--scheduler ADDRESS]]
                              [--index PATH] PATH...

PATH is a file or a directory (searched for *.py). Two kinds of duplicate
are reported:

- function bodies: functions and methods whose bodies are the same
  statements (names of the functions themselves may differ);
- statement blocks: single statements, compound ones included (an `if`
  with its branches, a `for` loop, a class), of at least N nodes.

Each group lists its members as file:line, the largest duplicates first.
A duplicate inside a larger reported one is not reported again.

`subtree_fingerprints` gives every node a 16-byte fingerprint in one pass.
Equal fingerprints stand for equal `ast.dump` texts, and they are the same
in every process and on every machine. So each file is reduced on its own,
anywhere, to its units (function bodies and statements) and their
fingerprints, and only those small records travel:

- `--jobs N` reduces the files in N processes;
- `--threads N` in N threads of this process, which run in parallel on a
  free-threaded build of Python (3.13t and later);
- `--interpreters N` in N sub-interpreters of this process, each with its
  own GIL (Python 3.14 and later);
- `--dask` on Dask's distributed scheduler: a local cluster of N workers
  (`--jobs`, default: one per core) that listens on 127.0.0.1 only, or with
  `--scheduler ADDRESS` a cluster that is already running;
- `--index PATH` keeps every file's units in an SQLite file, so that a
  rerun reduces only the files that are new or changed.

The groups and their order depend on the files alone, never on which
worker finished first: files are taken in path order, members in file
order, groups by size, then by their first member.

The fingerprint is not made to resist a collision that someone crafted.
For input that may be crafted, `--confirm` parses the files holding the
groups a second time and splits each group by comparing its members'
trees exactly, so that only members with equal `ast.dump` texts are
reported together.

A file that cannot be read or parsed (a syntax error, or source nested
too deeply for the parser) is named on stderr as skipped, with the
reason, and the run goes on without it. A file named twice, by
overlapping paths, is read once.
"""

import argparse
import ast
import gc
import hashlib
import os
import pathlib
import sys
import tempfile
import threading
import time
import warnings
from collections import Counter, defaultdict
from dataclasses import dataclass

import arbolus

FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
# walk_of_types selects by exact class, so the abstract ast.stmt matches
# nothing: list every concrete statement class. Concrete node classes
# declare __match_args__ and have fields or derive from an abstract base;
# abstract bases have no fields and derive from ast.AST itself, and
# deprecated aliases declare no __match_args__ or have a metaclass of their
# own.
STATEMENTS = tuple(
    cls for cls in vars(ast).values()
    if type(cls) is type and issubclass(cls, ast.stmt) and "__match_args__" in vars(cls)
    and (cls._fields or cls.__base__ not in (ast.AST, object))
)
BODY, STATEMENT = "function body", "statement"


def python_files(paths):
    """The files of `paths`, each once, at its first place: a file named
    again by an overlapping path, or by another link to it, would be
    reported as a clone of itself."""
    seen = set()
    for p in map(pathlib.Path, paths):
        for q in sorted(q for q in p.rglob("*.py") if q.is_file()) if p.is_dir() else [p]:
            try:
                st = q.stat()
                same = st.st_dev, st.st_ino
            except OSError:       # reported when it is read
                same = os.path.abspath(q)
            if same not in seen:
                seen.add(same)
                yield q


def failure(exc):
    """What stopped a file, in one line: the exception's class, and its
    message where that is the reason itself (the parser's limits)."""
    message = str(exc).strip().splitlines()
    if isinstance(exc, (RecursionError, MemoryError)) and message:
        return f"{exc.__class__.__name__}: {message[0]}"
    return exc.__class__.__name__


def parse_source(source, path):
    """The tree of `source`, or what stopped it. Source nested too deeply
    stops the parser with RecursionError or MemoryError ("too complex"),
    which say nothing about the rest of the run."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escape sequences and the like
        try:
            return ast.parse(source, str(path))
        except (SyntaxError, ValueError, RecursionError, MemoryError) as exc:
            return failure(exc)


def parse_file(path):
    """The tree of the file at `path`, or None, named on stderr, when it
    cannot be read or parsed."""
    try:
        tree = parse_source(pathlib.Path(path).read_bytes(), path)
    except OSError as exc:
        tree = exc.__class__.__name__
    if isinstance(tree, str):
        print(f"skipped {path}: {tree}", file=sys.stderr)
        return None
    return tree


def parse_files(paths):
    """(path, tree) for every file that parses, one at a time."""
    for path in python_files(paths):
        tree = parse_file(path)
        if tree is not None:
            yield str(path), tree


@dataclass(frozen=True)
class Clone:
    """One member of a group: its file, its source span and a label."""
    path: str
    start: tuple   # (line, column)
    end: tuple
    label: str

    @property
    def where(self):
        return f"{self.path}:{self.start[0]}"

    def within(self, other):
        return self.path == other.path and other.start <= self.start and self.end <= other.end


def span(first, last):
    return (first.lineno, first.col_offset, last.end_lineno, last.end_col_offset)


def units(tree, min_nodes):
    """(kind, key, size in nodes, span, label, subtree) for each function
    body and statement of `tree` of at least `min_nodes` nodes. Members of
    one group share kind and key: a statement's fingerprint, or a body's
    statements' fingerprints in order, hashed to the same size. A body's
    subtree is its list of statements."""
    fingerprints = arbolus.subtree_fingerprints(tree)
    for fn in arbolus.walk_of_types(tree, FUNCTIONS):
        size = sum(arbolus._walk_count(s) for s in fn.body)
        if size >= min_nodes:
            key = hashlib.blake2b(b"".join(fingerprints[id(s)] for s in fn.body),
                                  digest_size=16).digest()
            yield BODY, key, size, span(fn.body[0], fn.body[-1]), f"def {fn.name}", fn.body
    for stmt in arbolus.walk_of_types(tree, STATEMENTS):
        size = arbolus._walk_count(stmt)
        if size >= min_nodes:
            yield (STATEMENT, fingerprints[id(stmt)], size, span(stmt, stmt),
                   type(stmt).__name__, stmt)


def reduce_tree(tree, min_nodes):
    """The units of `tree` as plain records, (kind, key, size, line, column,
    end line, end column, label): what a worker sends back."""
    return [(kind, key, size, *where, label)
            for kind, key, size, where, label, _ in units(tree, min_nodes)]


def scan(path, min_nodes):
    """What the file at `path` contributes, in builtin types only, so that
    any worker (process, interpreter, Dask) can send it back:
    (size, mtime_ns, digest, error, units). `error` names what stopped the
    file, and then `units` is empty; size and mtime are None when the file
    could not be read. The file is statted before it is read, so a change
    made meanwhile shows as a newer mtime next time."""
    p = pathlib.Path(path)
    try:
        st = p.stat()
        data = p.read_bytes()
    except OSError as exc:
        return None, None, None, exc.__class__.__name__, []
    digest = hashlib.blake2b(data, digest_size=16).digest()
    # Parsing allocates many node objects, and the cyclic collector would go
    # over them again and again; trees hold no cycles, and each is freed by
    # reference counting once reduced.
    collecting = gc.isenabled()
    gc.disable()
    try:
        tree = parse_source(data, path)
        if isinstance(tree, str):
            return st.st_size, st.st_mtime_ns, digest, tree, []
        try:
            return st.st_size, st.st_mtime_ns, digest, None, reduce_tree(tree, min_nodes)
        except (RecursionError, MemoryError) as exc:
            return st.st_size, st.st_mtime_ns, digest, failure(exc), []
    finally:
        if collecting:
            gc.enable()


# --- grouping ----------------------------------------------------------------

def shared_units(files, min_nodes):
    """{(kind, key): [(size, Clone), ...]} for every key that more than one
    unit has, from `files`, a list of (path, units) in file order; members
    are in file order, then in the order of each file's units."""
    counts = Counter((u[0], u[1]) for _, us in files for u in us if u[2] >= min_nodes)
    shared = defaultdict(list)
    for path, us in files:
        for kind, key, size, line, col, end_line, end_col, label in us:
            if size >= min_nodes and counts[kind, key] > 1:
                clone = Clone(path, (line, col), (end_line, end_col), label)
                shared[kind, key].append((size, clone))
    return shared


def as_parts(shared):
    return [(kind, members) for (kind, _), members in shared.items()]


ABSENT = object()    # a field the node does not have


def shape(subtree):
    """What a group's members must share, without any collision: a flat
    tuple, equal for two subtrees (a node or a list of them) exactly when
    their `ast.dump` texts are equal. It is made with a stack of its own,
    so no depth is too deep, and holds leaves by value with their type, so
    no int is too long (a text would be limited to 4,300 digits); floats
    and complex numbers by their repr, which tells -0.0 from 0.0 as the
    text does."""
    out = []
    stack = [subtree]
    while stack:
        value = stack.pop()
        if isinstance(value, ast.AST):
            cls = type(value)
            out.append(cls)
            stack.extend(getattr(value, name, ABSENT) for name in reversed(cls._fields))
        elif isinstance(value, (list, tuple, frozenset)):
            out.append((type(value), len(value)))
            stack.extend(reversed(list(value)))
        elif isinstance(value, (float, complex)):
            out.append((type(value), repr(value)))
        else:
            out.append((type(value), value))
    return tuple(out)


def confirmed(shared, min_nodes, load):
    """`shared` split by the members' shapes, that is by their dump texts.
    The files holding members are read again with `load(path)` (a tree, or
    None to leave the file out), one at a time, in file order."""
    paths = list(dict.fromkeys(c.path for members in shared.values() for _, c in members))
    exact = defaultdict(dict)    # (kind, key) -> {shape: [(size, Clone)]}
    for path in paths:
        tree = load(path)
        if tree is None:
            continue
        for kind, key, size, where, label, subtree in units(tree, min_nodes):
            if (kind, key) in shared:
                clone = Clone(path, where[:2], where[2:], label)
                exact[kind, key].setdefault(shape(subtree), []).append((size, clone))
    parts = [(kind, members) for (kind, _), split in exact.items() for members in split.values()]
    return parts, len(paths)


def report(parts, paths):
    """Groups as (kind, size in nodes, [Clone, ...]) from `parts`, pairs of
    a kind and a list of (size, Clone) whose members are equal. Largest
    first, a function body before a statement of the same size (its only
    statement, which it covers), then by the first member's place in
    `paths`. A member inside
    one of an earlier group is dropped, and so is a group left with fewer
    than two members."""
    rank = {path: i for i, path in enumerate(paths)}
    ordered = []
    for kind, members in parts:
        members = sorted(members, key=lambda m: (rank[m[1].path], m[1].start))
        size, first = members[0]
        ordered.append(((-size, kind != BODY, rank[first.path], first.start), kind, size,
                        [c for _, c in members]))
    ordered.sort(key=lambda part: part[0])

    groups = []
    reported = defaultdict(list)  # path -> members of reported groups
    for _, kind, size, same in ordered:
        members = [c for c in same if not any(c.within(r) for r in reported[c.path])]
        if len(members) < 2:
            continue
        for c in members:
            reported[c.path].append(c)
        groups.append((kind, size, members))
    return groups


def find_clones(trees, min_nodes, confirm=False, load=parse_file):
    """Groups of duplicates as (kind, size in nodes, [Clone, ...]), largest
    first, from `trees`, (path, tree) pairs; each tree is dropped once
    reduced. With `confirm`, the groups are split by their members' dump
    texts, reading the files again with `load`."""
    files = [(path, reduce_tree(tree, min_nodes)) for path, tree in trees]
    shared = shared_units(files, min_nodes)
    parts = confirmed(shared, min_nodes, load)[0] if confirm else as_parts(shared)
    return report(parts, [path for path, _ in files])


# --- where the files are reduced ---------------------------------------------

def in_processes(paths, min_nodes, jobs):
    from concurrent.futures import ProcessPoolExecutor
    from itertools import repeat
    chunk = max(1, min(16, len(paths) // (4 * jobs)))
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(scan, paths, repeat(min_nodes), chunksize=chunk)


def in_threads(paths, min_nodes, count):
    from concurrent.futures import ThreadPoolExecutor
    from itertools import repeat
    # The collector is switched for the whole process, so once here for all
    # threads, which scan() then leaves off.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with ThreadPoolExecutor(max_workers=count) as pool:
            yield from pool.map(scan, paths, repeat(min_nodes))
    finally:
        if collecting:
            gc.enable()


def in_interpreters(paths, min_nodes, count):
    """Each interpreter imports this file by its module name, from its
    directory, which each adds to its path first."""
    import site
    from concurrent.futures import InterpreterPoolExecutor
    from itertools import repeat
    module = sys.modules[scan.__module__]
    if module.__name__ == "__main__":
        raise RuntimeError("run as a script, clones.py imports itself as `clones`")
    here = os.path.dirname(os.path.abspath(module.__file__))
    with InterpreterPoolExecutor(max_workers=count, initializer=site.addsitedir,
                                 initargs=(here,)) as pool:
        try:
            pool.submit(exec, "import arbolus").result()
        except ImportError as exc:
            sys.exit(f"clones.py: --interpreters: arbolus cannot be imported in a "
                     f"sub-interpreter: {exc}")
        yield from pool.map(scan, paths, repeat(min_nodes))


# How long a scheduler has to answer. An address that takes the connection
# but never speaks Dask (a web server, a wrong port) keeps Client() waiting
# whatever timeout it is given, so the wait is bounded here.
SCHEDULER_WAIT = 30


def connect(client_class, address, wait):
    """A client of the scheduler at `address`. SchedulerUnreachable names
    the address when none answered within `wait` seconds; the attempt runs
    in a thread of its own, left behind if it never returns."""
    outcome = {}

    def attempt():
        try:
            outcome["client"] = client_class(address, timeout=wait)
        except Exception as exc:
            outcome["error"] = exc

    thread = threading.Thread(target=attempt, name="clones-connect", daemon=True)
    thread.start()
    thread.join(wait)
    if "client" in outcome:
        return outcome["client"]
    if "error" in outcome:
        exc = outcome["error"]
        detail = str(exc).strip().splitlines()
        reason = exc.__class__.__name__ + (f": {detail[0]}" if detail else "")
    else:
        reason = f"no Dask scheduler answered within {wait:g} s"
    raise SchedulerUnreachable(f"--scheduler {address}: {reason}")


class SchedulerUnreachable(Exception):
    """No cluster to spread over: the run stops with this one line."""


def on_dask(min_nodes, scheduler, workers):
    """A spread() onto Dask; exits with how to install it when it is missing."""
    try:
        import cloudpickle
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sys.exit("clones.py: --dask needs Dask's distributed scheduler: "
                 "pip install 'dask[distributed]'")

    def spread(paths):
        if not paths:
            return
        # Workers need not have this file: its functions travel by value.
        cloudpickle.register_pickle_by_value(sys.modules[scan.__module__])
        if scheduler:
            client, cluster = connect(Client, scheduler, SCHEDULER_WAIT), None
        else:
            import logging
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None,
                                   silence_logs=logging.ERROR)
            client = Client(cluster)
        try:
            yield from client.gather(client.map(scan, paths, min_nodes=min_nodes))
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    return spread


# --- the index ---------------------------------------------------------------

class UnusableIndex(Exception):
    """The index cannot be opened: the file at its path is something else,
    or damaged, and is left alone, or it cannot be made or rebuilt."""


INDEX_APPLICATION_ID = 0x636C6F6E   # "clon", in the SQLite header
INDEX_VERSION = 2                   # PRAGMA user_version
SQLITE_MAGIC = b"SQLite format 3\0"
INDEX_BATCH = 256                   # files per committed transaction
# An mtime this close to the moment a file was read could still be shared
# by a later write of the same size; such an entry is checked by its digest.
RACY_NS = 2_000_000_000

# Paths are kept as the bytes the file system has for them (os.fsencode),
# which need not be UTF-8.
SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,      -- absolute
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    digest BLOB NOT NULL,           -- BLAKE2b-128 of the contents
    checked_ns INTEGER NOT NULL,    -- when the contents were read
    min_nodes INTEGER NOT NULL,     -- the units of at least this size are kept
    error TEXT                      -- what stopped the parse, or NULL
);
CREATE TABLE units (
    file INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    kind TEXT NOT NULL, key BLOB NOT NULL, size INTEGER NOT NULL,
    line INTEGER NOT NULL, col INTEGER NOT NULL,
    end_line INTEGER NOT NULL, end_col INTEGER NOT NULL,
    label TEXT NOT NULL,
    PRIMARY KEY (file, seq)
) WITHOUT ROWID;
"""
# Rows of the types this program writes; a damaged one, of other types, is
# not used: an entry is ignored, a file with such a unit is read afresh.
ENTRY_TYPED = """typeof(path) = 'blob' AND typeof(id) = 'integer' AND typeof(size) = 'integer'
    AND typeof(mtime_ns) = 'integer' AND typeof(digest) = 'blob'
    AND typeof(checked_ns) = 'integer' AND typeof(min_nodes) = 'integer'
    AND typeof(error) IN ('text', 'null')"""
UNIT_TYPED = """typeof(kind) = 'text' AND typeof(key) = 'blob' AND typeof(size) = 'integer'
    AND typeof(line) = 'integer' AND typeof(col) = 'integer'
    AND typeof(end_line) = 'integer' AND typeof(end_col) = 'integer'
    AND typeof(label) = 'text'"""


def parser_version():
    """The trees, and so the units, are those of this interpreter's parser."""
    return f"{sys.implementation.name} {sys.version_info[0]}.{sys.version_info[1]}"


class Index:
    """The units of every file of the last run, by absolute path, with what
    tells whether a file changed since: size, mtime and a digest of the
    contents. Every change is made in a transaction, in batches of files,
    so a run that stops anywhere leaves the entries of the files it stored
    and the rest as before; each entry is checked against its file before
    it is used.

    Other runs may share the index and change it at any time. What is read
    when it opens only says which files may be held; their units are read
    later in one transaction, together with the entries they belong to,
    and are used only when those entries still hold the contents the file
    has now. Changes name entries by path (and digest), never by an id read
    earlier, which another run may have given to another file since.

    Once the index has failed to read or write (damage, a read-only file, a
    full disk), the run goes on without it and `failed` says why."""

    def __init__(self, path):
        import sqlite3
        self.sqlite3 = sqlite3
        self.path = str(path)
        self.failed = None
        self.batch = []
        self.seen = set()
        if not os.path.lexists(self.path):
            try:
                self._create()
            except (OSError, sqlite3.Error) as exc:
                raise UnusableIndex(f"{self.path} cannot be made: "
                                    f"{getattr(exc, 'strerror', None) or exc}") from None
        self._check_header()
        self.db = sqlite3.connect(self.path, isolation_level=None, timeout=60)
        try:
            self._open()
        except BaseException:
            self.db.close()
            raise

    def _open(self):
        sqlite3 = self.sqlite3
        try:
            meta = {}
            if self.db.execute("PRAGMA user_version").fetchone()[0] == INDEX_VERSION:
                try:
                    meta = dict(self.db.execute("SELECT key, value FROM meta"))
                except sqlite3.OperationalError:
                    pass          # no such table: made anew below
        except sqlite3.DatabaseError as exc:
            raise UnusableIndex(f"{self.path} is not a readable clones index ({exc}); "
                                f"it was left as it is") from None
        # An index of another format or parser version is made anew.
        self.rebuilt = meta.get("parser") != parser_version()
        if self.rebuilt:
            try:
                self._write_schema(self.db)
            except sqlite3.DatabaseError as exc:
                raise UnusableIndex(f"{self.path} is a clones index of another version and "
                                    f"cannot be rebuilt ({exc})") from None
        try:
            rows = self.db.execute("SELECT path, id, size, mtime_ns, digest, checked_ns, "
                                   f"min_nodes, error FROM files WHERE {ENTRY_TYPED}").fetchall()
        except sqlite3.DatabaseError as exc:
            raise UnusableIndex(f"{self.path} is a damaged clones index ({exc}); "
                                f"it was left as it is") from None
        self.entries = {os.fsdecode(row[0]): row[1:] for row in rows}

    def _create(self):
        """A new, empty index, made beside PATH and linked there complete, so
        that PATH never holds a half-made one."""
        directory = os.path.dirname(os.path.abspath(self.path))
        fd, tmp = tempfile.mkstemp(prefix=".clones-index-", dir=directory)
        os.close(fd)
        umask = os.umask(0o22)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        try:
            db = self.sqlite3.connect(tmp, isolation_level=None)
            try:
                self._write_schema(db)
            finally:
                db.close()
            try:
                os.link(tmp, self.path)
            except FileExistsError:
                pass              # made meanwhile by another run: checked next
            except OSError:       # no hard links on this file system
                if not os.path.lexists(self.path):
                    os.replace(tmp, self.path)
        finally:
            if os.path.exists(tmp):
                os.unlink(tmp)

    @staticmethod
    def _rollback(db):
        # A failed statement may have ended the transaction already (a full
        # disk does): a second ROLLBACK would hide why.
        if db.in_transaction:
            db.execute("ROLLBACK")

    def _write_schema(self, db):
        """Every table dropped and made anew, in one transaction."""
        db.execute("BEGIN IMMEDIATE")
        try:
            for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' "
                                      "AND name NOT LIKE 'sqlite_%'").fetchall():
                db.execute(f'DROP TABLE "{name}"')
            for statement in SCHEMA.split(";"):
                if statement.strip():
                    db.execute(statement)
            db.execute("INSERT INTO meta VALUES ('parser', ?)", (parser_version(),))
            db.execute(f"PRAGMA application_id = {INDEX_APPLICATION_ID}")
            db.execute(f"PRAGMA user_version = {INDEX_VERSION}")
            db.execute("COMMIT")
        except BaseException:
            self._rollback(db)
            raise

    def _check_header(self):
        """Only the header is read, and nothing is opened with SQLite, until
        the file is known to be an index."""
        if not os.path.isfile(self.path):
            raise UnusableIndex(f"{self.path} is not a regular file")
        try:
            with open(self.path, "rb") as f:
                header = f.read(100)
        except OSError as exc:
            raise UnusableIndex(f"{self.path} cannot be read: {exc.strerror}") from None
        if len(header) < 100 or not header.startswith(SQLITE_MAGIC):
            raise UnusableIndex(f"{self.path} is not a clones index (not an SQLite database); "
                                f"it was left as it is")
        if int.from_bytes(header[68:72], "big") != INDEX_APPLICATION_ID:
            raise UnusableIndex(f"{self.path} is an SQLite database but not a clones index; "
                                f"it was left as it is")

    def _give_up(self, doing, exc):
        """The index is left as it is for the rest of the run."""
        if self.failed is None:
            self.failed = f"{self.path}: {doing} ({exc}); the run went on without it"
        self.batch = []

    def lookup(self, path, min_nodes):
        """The digest of the contents of the file at `path` (absolute) when
        the index held, as it was opened, what scan() would give for it;
        else None."""
        self.seen.add(path)
        entry = self.entries.get(path)
        if entry is None or self.failed:
            return None
        file_id, size, mtime_ns, digest, checked_ns, kept, error = entry
        if kept > min_nodes:
            return None
        try:
            st = os.stat(path)
        except OSError:
            return None
        if (st.st_size, st.st_mtime_ns) != (size, mtime_ns) or mtime_ns >= checked_ns - RACY_NS:
            # Touched, or stored too soon after its last write to tell: the
            # contents decide.
            now = time.time_ns()
            try:
                data = pathlib.Path(path).read_bytes()
            except OSError:
                return None
            if hashlib.blake2b(data, digest_size=16).digest() != digest:
                return None
            self.batch.append(("touch", path, digest, st.st_size, st.st_mtime_ns, now))
        return digest

    def held(self, digests, min_nodes):
        """{path: (error, units of at least `min_nodes` nodes, in order)} for
        each path of `digests`, {absolute path: digest of its contents},
        whose entry holds those contents now, read in one transaction."""
        if not digests or self.failed:
            return {}
        db = self.db
        entries, units = {}, {}    # path -> (entry id, error); entry id -> units
        try:
            db.execute("BEGIN")
            try:
                parser = db.execute("SELECT value FROM meta WHERE key = 'parser'").fetchone()
                if parser != (parser_version(),):
                    return {}     # rebuilt meanwhile by another version
                for path, file_id, digest, error in db.execute(
                        f"SELECT path, id, digest, error FROM files WHERE {ENTRY_TYPED} "
                        "AND min_nodes <= ?", (min_nodes,)):
                    path = os.fsdecode(path)
                    if digests.get(path) == digest:
                        entries[path] = file_id, error
                        units[file_id] = []
                for (file_id,) in db.execute(
                        f"SELECT DISTINCT file FROM units WHERE NOT ({UNIT_TYPED})"):
                    units.pop(file_id, None)
                for file_id, *unit in db.execute(
                        "SELECT file, kind, key, size, line, col, end_line, end_col, label "
                        "FROM units WHERE size >= ? ORDER BY file, seq", (min_nodes,)):
                    kept = units.get(file_id)
                    if kept is not None:
                        kept.append(tuple(unit))
            finally:
                self._rollback(db)
        except self.sqlite3.DatabaseError as exc:
            self._give_up("cannot be read", exc)
            return {}
        return {path: (error, units[file_id]) for path, (file_id, error) in entries.items()
                if file_id in units}

    def store(self, path, result, min_nodes, read_ns):
        if self.failed:
            return
        size, mtime_ns, digest, error, found = result
        if size is None:
            self.batch.append(("forget", path))
        else:
            self.batch.append(("store", path, size, mtime_ns, digest, read_ns, min_nodes,
                               error, found))
        if len(self.batch) >= INDEX_BATCH:
            self.commit()

    def commit(self, forget_unseen=False):
        if self.failed:
            return
        # Entries of files this run did not see, as the index was opened: an
        # entry another run made since for the same path is its own.
        gone = [(os.fsencode(path), file_id) for path, (file_id, *_) in self.entries.items()
                if path not in self.seen] if forget_unseen else []
        if not self.batch and not gone:
            return
        db = self.db
        try:
            db.execute("BEGIN IMMEDIATE")
            try:
                parser = db.execute("SELECT value FROM meta WHERE key = 'parser'").fetchone()
                if parser == (parser_version(),):   # else rebuilt by another version
                    self._apply(db, gone)
                db.execute("COMMIT")
            except BaseException:
                self._rollback(db)
                raise
        except self.sqlite3.DatabaseError as exc:
            # An index that is read-only on purpose still serves: what it
            # lacks then is only when entries were last found unchanged,
            # which the digests tell again next time.
            if gone or any(op != "touch" for op, *_ in self.batch) or not getattr(
                    exc, "sqlite_errorname", "").startswith("SQLITE_READONLY"):
                self._give_up("cannot be written", exc)
            self.batch = []
            return
        self.batch = []

    def _apply(self, db, gone):
        for op, path, *args in self.batch:
            name = os.fsencode(path)
            if op == "touch":
                digest, size, mtime_ns, now = args
                db.execute("UPDATE files SET size = ?, mtime_ns = ?, checked_ns = ? "
                           "WHERE path = ? AND digest = ?", (size, mtime_ns, now, name, digest))
                continue
            old = db.execute("SELECT id FROM files WHERE path = ?", (name,)).fetchone()
            if old is not None:
                db.execute("DELETE FROM units WHERE file = ?", old)
                db.execute("DELETE FROM files WHERE id = ?", old)
            if op == "store":
                *row, found = args
                file_id = db.execute(
                    "INSERT INTO files (path, size, mtime_ns, digest, checked_ns, min_nodes,"
                    " error) VALUES (?, ?, ?, ?, ?, ?, ?)", (name, *row)).lastrowid
                db.executemany("INSERT INTO units VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               [(file_id, seq, *u) for seq, u in enumerate(found)])
        for name, file_id in gone:
            if db.execute("DELETE FROM files WHERE id = ? AND path = ?",
                          (file_id, name)).rowcount:
                db.execute("DELETE FROM units WHERE file = ?", (file_id,))

    def close(self):
        self.db.close()


# --- the run -----------------------------------------------------------------

def reduce_files(paths, min_nodes, spread, index, stats):
    """(path, units) for every file of `paths` that parses, in that order.
    Files the index holds unchanged are not read again; the rest go to
    `spread(paths)`, whose results come in the order given."""
    found = [None] * len(paths)     # (error, units) of each file
    if index:
        absolute = [os.path.abspath(path) for path in paths]
        digests = {}
        for path in absolute:
            digest = index.lookup(path, min_nodes)
            if digest is not None:
                digests[path] = digest
        held = index.held(digests, min_nodes)
        found = [held.get(path) for path in absolute]
    todo = [i for i, f in enumerate(found) if f is None]
    stats["parsed"], stats["indexed"] = len(todo), len(paths) - len(todo)
    started = time.time_ns()
    for i, result in zip(todo, spread([paths[i] for i in todo])):
        if not (isinstance(result, tuple) and len(result) == 5):
            # A pool may hand back None for a task that failed in its worker.
            result = None, None, None, "its worker gave no result", []
        found[i] = result[3:]
        if index:
            index.store(absolute[i], result, min_nodes, started)
    if index:
        index.commit(forget_unseen=True)

    files = []
    for path, (error, us) in zip(paths, found):
        if error is not None:
            print(f"skipped {path}: {error}", file=sys.stderr)
        else:
            files.append((path, us))
    return files


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="+", metavar="PATH")
    ap.add_argument("--min-nodes", type=int, default=40,
                    help="smallest duplicate reported, in nodes (default 40)")
    ap.add_argument("--limit", type=int, default=0,
                    help="print the K largest groups only (default: all)")
    ap.add_argument("--confirm", action="store_true",
                    help="parse the files of the groups again and split each group by its "
                         "members' ast.dump texts: for input that may be crafted")
    ap.add_argument("--jobs", type=int, metavar="N",
                    help="reduce the files in N processes (with --dask: the local cluster's "
                         "workers)")
    ap.add_argument("--threads", type=int, metavar="N",
                    help="reduce the files in N threads (in parallel on a free-threaded "
                         "Python)")
    ap.add_argument("--interpreters", type=int, metavar="N",
                    help="reduce the files in N sub-interpreters (Python 3.14+)")
    ap.add_argument("--dask", action="store_true",
                    help="reduce the files on Dask's distributed scheduler")
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="with --dask: join the cluster of this scheduler instead of starting "
                         "a local one")
    ap.add_argument("--index", metavar="PATH",
                    help="keep the files' units in this SQLite file; a rerun reduces only "
                         "new or changed files")
    args = ap.parse_args(argv)
    for name in ("jobs", "threads", "interpreters"):
        if getattr(args, name) is not None and getattr(args, name) < 1:
            ap.error(f"--{name} must be at least 1")
    if args.interpreters is not None and (args.jobs is not None or args.dask):
        ap.error("--interpreters goes with neither --jobs nor --dask")
    if args.threads is not None and (args.jobs is not None or args.dask or
                                     args.interpreters is not None):
        ap.error("--threads goes with none of --jobs, --interpreters and --dask")
    if args.scheduler and not args.dask:
        ap.error("--scheduler goes with --dask")
    if args.scheduler and args.jobs is not None:
        ap.error("--jobs sets the workers of a local cluster; with --scheduler the cluster "
                 "has its own")
    if args.interpreters is not None and sys.version_info < (3, 14):
        sys.exit("clones.py: --interpreters needs Python 3.14 or later "
                 "(concurrent.futures.InterpreterPoolExecutor)")

    min_nodes = args.min_nodes
    if args.dask:
        spread = on_dask(min_nodes, args.scheduler, args.jobs or os.cpu_count())
    elif args.interpreters is not None:
        def spread(paths):
            return in_interpreters(paths, min_nodes, args.interpreters)
    elif args.threads is not None:
        def spread(paths):
            return in_threads(paths, min_nodes, args.threads)
    elif args.jobs is not None and args.jobs > 1:
        def spread(paths):
            return in_processes(paths, min_nodes, args.jobs)
    else:
        def spread(paths):
            return (scan(path, min_nodes) for path in paths)

    t0 = time.perf_counter()
    try:
        index = Index(args.index) if args.index else None
    except UnusableIndex as exc:
        sys.exit(f"clones.py: {exc}")
    stats = {}
    try:
        paths = [str(p) for p in python_files(args.paths)]
        files = reduce_files(paths, min_nodes, spread, index, stats)
    except SchedulerUnreachable as exc:
        sys.exit(f"clones.py: {exc}")
    finally:
        if index:
            index.close()

    shared = shared_units(files, min_nodes)
    reparsed = 0
    if args.confirm:
        gc.disable()      # as in scan(): the trees hold no cycles
        parts, reparsed = confirmed(shared, min_nodes, parse_file)
        gc.enable()
    else:
        parts = as_parts(shared)
    groups = report(parts, [path for path, _ in files])
    elapsed = time.perf_counter() - t0

    shown = groups[: args.limit] if args.limit > 0 else groups
    for k, (kind, size, members) in enumerate(shown, 1):
        print(f"group {k}: {len(members)} x {kind}, {size} nodes")
        for c in members:
            print(f"  {c.where}  {c.label}")
    duplicated = sum(size * (len(m) - 1) for _, size, m in groups)
    how = f"{stats['parsed']} parsed"
    if index:
        how += f", {stats['indexed']} from the index" + (" (rebuilt)" if index.rebuilt else "")
    if args.confirm:
        how += f", {reparsed} parsed again to confirm the groups"
    print(f"{len(groups)} groups ({duplicated:,d} duplicated nodes) in {len(files)} files "
          f"({how}), {elapsed:.1f}s", file=sys.stderr)
    if index and index.failed:
        # The groups above are whole; only the index is behind.
        sys.exit(f"clones.py: {index.failed}")


if __name__ == "__main__":
    # Run under the module's own name, which workers in other interpreters
    # import to find scan().
    import clones
    # File names that are not UTF-8 are printed as the bytes they are.
    if sys.stdout.errors == "strict":
        sys.stdout.reconfigure(errors="surrogateescape")
    clones.main()
