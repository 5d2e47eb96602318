"""examples/clones.py spread over workers and kept in an index: the groups
and their order are those of one process reading every file afresh."""

import ast
import os
import pathlib
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import arbolus

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
if not EXAMPLES.is_dir():
    pytest.skip("examples/ is not beside the tests", allow_module_level=True)
sys.path.insert(0, str(EXAMPLES))

import clones  # noqa: E402

BODY = """\
total = 0
for item in items:
    if item.weight > limit:
        total += item.weight * factor
    else:
        total -= {value}
return total
"""


def function(name, value=1):
    return f"def {name}(items, limit, factor):\n" + textwrap.indent(
        BODY.format(value=value), "    ")


@pytest.fixture
def project(tmp_path):
    """Files with several groups of several sizes, in nested directories, and
    one that does not parse."""
    root = tmp_path / "project"
    (root / "pkg" / "sub").mkdir(parents=True)
    sources = {
        "a.py": function("a1") + function("a2", 2) + "x = [i * 2 for i in range(10) if i % 3]\n",
        "b.py": function("b1", 2) + "class K:\n" + textwrap.indent(function("m"), "    "),
        "pkg/c.py": function("c1", 3) + "x = [i * 2 for i in range(10) if i % 3]\n",
        "pkg/sub/d.py": function("d1", 3) + function("d2"),
        "pkg/broken.py": "def f(:\n",
    }
    for name, source in sources.items():
        (root / name).write_text(source)
    return root


def run(*args, check=True):
    result = subprocess.run([sys.executable, str(EXAMPLES / "clones.py"), "--min-nodes", "10",
                             *map(str, args)], capture_output=True, text=True,
                            errors="surrogateescape", timeout=300)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def fresh(project):
    return run(project).stdout


def test_groups_cover_both_kinds_in_path_order(project):
    out = fresh(project)
    groups = out.split("group ")[1:]
    # The bodies ending in `total -= 1` (a method among them), in `2`, in
    # `3`, then the two comprehension statements.
    assert [g.splitlines()[0].split(": ", 1)[1].split(",")[0] for g in groups] == [
        "3 x function body", "2 x function body", "2 x function body", "2 x statement"]
    first = [line.strip().split("  ")[0] for line in groups[0].splitlines()[1:]]
    assert first == [f"{project / 'a.py'}:2", f"{project / 'b.py'}:11",
                     f"{project / 'pkg/sub/d.py'}:10"]


def test_report_order_does_not_depend_on_arrival(project):
    files = [(str(p), clones.scan(p, 10)[4]) for p in clones.python_files([project])]
    files = [(p, us) for p, us in files if us]
    parts = clones.as_parts(clones.shared_units(files, 10))
    paths = [p for p, _ in files]
    shuffled = [(kind, members[::-1]) for kind, members in parts[::-1]]
    assert clones.report(shuffled, paths) == clones.report(parts, paths) != []


def test_jobs_give_the_same_output(project):
    assert run("--jobs", 2, project).stdout == fresh(project)


def test_threads_give_the_same_output(project):
    assert run("--threads", 3, project).stdout == fresh(project)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="sub-interpreter pools are new in 3.14")
def test_interpreters_give_the_same_output(project):
    assert run("--interpreters", 2, project).stdout == fresh(project)


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="sub-interpreter pools are there")
def test_interpreters_before_3_14_are_one_clear_line(project):
    result = run("--interpreters", 2, project, check=False)
    assert result.returncode != 0 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and "Python 3.14" in result.stderr


def test_dask_local_cluster_gives_the_same_output(project):
    pytest.importorskip("distributed", reason="Dask's distributed scheduler is not installed")
    assert run("--dask", "--jobs", 2, project).stdout == fresh(project)


def test_dask_joins_a_running_cluster(project):
    distributed = pytest.importorskip("distributed",
                                      reason="Dask's distributed scheduler is not installed")
    with distributed.LocalCluster(n_workers=1, processes=False, protocol="tcp",
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        joined = run("--dask", "--scheduler", cluster.scheduler_address, project)
    assert joined.stdout == fresh(project)


def test_without_dask_one_line_says_what_to_install(project, monkeypatch):
    for name in ("dask", "dask.distributed", "distributed"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(SystemExit) as exited:
        clones.main(["--dask", str(project)])
    message = str(exited.value.code)
    assert "\n" not in message and "pip install 'dask[distributed]'" in message


# --- --confirm ---------------------------------------------------------------

def weak_fingerprints(tree):
    """Fingerprints made from the in-process hashes, which a crafted input
    can make collide: 2**63 - 1 and 3 hash alike."""
    return {k: v.to_bytes(8, "big", signed=True) * 2
            for k, v in arbolus.subtree_hashes(tree).items()}


def test_confirm_splits_what_the_fingerprints_confuse(tmp_path, monkeypatch):
    for name, value in zip("abcd", ("9223372036854775807", "3") * 2):
        (tmp_path / f"{name}.py").write_text(function(f"f_{name}", value))
    monkeypatch.setattr(arbolus, "subtree_fingerprints", weak_fingerprints)
    trusted = clones.find_clones(clones.parse_files([tmp_path]), min_nodes=20)
    assert [len(members) for _, _, members in trusted] == [4]
    groups = clones.find_clones(clones.parse_files([tmp_path]), min_nodes=20, confirm=True)
    assert [[c.path[-4:] for c in members] for _, _, members in groups] == [
        ["a.py", "c.py"], ["b.py", "d.py"]]


# --- --index -----------------------------------------------------------------

def counts(stderr):
    """(parsed, from the index) of the summary line."""
    summary = stderr.strip().splitlines()[-1]
    parsed = int(summary.split(" parsed")[0].rsplit("(", 1)[1])
    indexed = int(summary.split(" from the index")[0].rsplit(", ", 1)[1])
    return parsed, indexed


def test_warm_index_and_edits_give_a_fresh_runs_output(project, tmp_path):
    index = tmp_path / "clones.idx"
    first = run("--index", index, project)
    assert first.stdout == fresh(project) and counts(first.stderr) == (5, 0)
    warm = run("--index", index, project)
    assert warm.stdout == first.stdout and counts(warm.stderr) == (0, 5)
    assert "skipped" in warm.stderr and "broken.py" in warm.stderr

    # Same size, new contents, within the same second: the digest tells.
    a = project / "a.py"
    a.write_text(a.read_text().replace("total -= 1", "total -= 7"))
    (project / "pkg/sub/d.py").unlink()
    (project / "e.py").write_text(function("e1", 7) + function("e2", 7))
    rerun = run("--index", index, project)
    assert rerun.stdout == fresh(project) and counts(rerun.stderr) == (2, 3)
    with sqlite3.connect(index) as db:
        stored = sorted(os.path.basename(os.fsdecode(p))
                        for (p,) in db.execute("SELECT path FROM files"))
    assert stored == ["a.py", "b.py", "broken.py", "c.py", "e.py"]

    # A lower threshold needs the smaller units the index did not keep.
    lower = run("--index", index, "--min-nodes", 5, project)
    assert counts(lower.stderr) == (5, 0)
    assert lower.stdout == run("--min-nodes", 5, project).stdout


def test_a_file_that_is_not_an_index_is_left_alone(project, tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not an index\n" * 20)
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    other = tmp_path / "other.db"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE files (path TEXT)")
        db.execute("INSERT INTO files VALUES ('x')")
    db.close()
    for path, what in ((text, "not an SQLite database"), (empty, "not an SQLite database"),
                       (other, "an SQLite database but not a clones index"),
                       (tmp_path, "not a regular file")):
        before = path.read_bytes() if path.is_file() else None
        result = run("--index", path, project, check=False)
        assert result.returncode != 0 and result.stdout == ""
        assert result.stderr.count("\n") == 1 and what in result.stderr, result.stderr
        assert str(path) in result.stderr
        if before is not None:
            assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["empty", "notes.txt", "other.db", "project"]


def test_an_index_that_cannot_be_made_is_one_line(project, tmp_path):
    index = tmp_path / "missing" / "clones.idx"
    result = run("--index", index, project, check=False)
    assert result.returncode != 0 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and str(index) in result.stderr, result.stderr


@pytest.mark.parametrize("change", [
    "PRAGMA user_version = 0",
    "UPDATE meta SET value = 'cpython 2.7' WHERE key = 'parser'",
    "DROP TABLE meta",
])
def test_an_index_of_another_version_is_rebuilt(project, tmp_path, change):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    with sqlite3.connect(index) as db:
        db.execute("DELETE FROM units")   # would give no groups if it were used
        db.execute(change)
    db.close()
    rebuilt = run("--index", index, project)
    assert rebuilt.stdout == expected and counts(rebuilt.stderr) == (5, 0)
    assert "(rebuilt)" in rebuilt.stderr
    assert counts(run("--index", index, project).stderr) == (0, 5)


def test_a_run_that_dies_mid_write_leaves_a_usable_index(project, tmp_path):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    (project / "e.py").write_text(function("e1", 9) + function("e2", 9))
    expected_after = fresh(project)
    # Killed inside a transaction that emptied the units, with a cache too
    # small to hold the change: the database file itself was written.
    killed = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import os, sqlite3
        db = sqlite3.connect({str(index)!r}, isolation_level=None)
        db.execute("PRAGMA cache_size = 1")
        db.execute("BEGIN IMMEDIATE")
        db.execute("DELETE FROM units")
        db.execute("UPDATE files SET digest = x'00'")
        os._exit(9)
        """)])
    assert killed.returncode == 9
    assert run("--index", index, project).stdout == expected_after != expected
    # Killed by the scan of its third new file, after two single-file batches
    # were committed.
    for name in "fgh":
        (project / f"{name}.py").write_text(function(f"{name}1", 11) + function(f"{name}2", 11))
    died = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(EXAMPLES)!r})
        import clones
        clones.INDEX_BATCH = 1
        scan, calls = clones.scan, []
        def dying(path, min_nodes):
            calls.append(path)
            if len(calls) == 3:
                os._exit(9)
            return scan(path, min_nodes)
        clones.scan = dying
        clones.main(["--min-nodes", "10", "--index", {str(index)!r}, {str(project)!r}])
        """)], capture_output=True, text=True)
    assert died.returncode == 9, died.stderr
    after = run("--index", index, project)
    assert after.stdout == fresh(project) and counts(after.stderr) == (1, 8)


# --- what must not stop a run ------------------------------------------------

@pytest.fixture
def too_deep(tmp_path):
    """Files the parser refuses as too deep: chained `+` stop it with
    RecursionError, nested unary minus with MemoryError ("too complex")."""
    deep = tmp_path / "deep"
    deep.mkdir()
    (deep / "chained.py").write_text("x = " + "+".join(["1"] * 100_000) + "\n")
    (deep / "negated.py").write_text("x = " + "-" * 6_000 + "1\n")
    return deep


@pytest.mark.parametrize("mode", [
    (), ("--jobs", 2), ("--index",),
    pytest.param(("--interpreters", 2), marks=pytest.mark.skipif(
        sys.version_info < (3, 14), reason="sub-interpreter pools are new in 3.14")),
])
def test_a_file_too_deep_to_parse_is_skipped_with_its_reason(project, tmp_path, too_deep, mode):
    expected = fresh(project)
    runs = 1
    if mode == ("--index",):
        mode, runs = ("--index", tmp_path / "clones.idx"), 2   # the rerun reads the index
    for _ in range(runs):
        result = run(*mode, project, too_deep)
        assert result.stdout == expected
        skipped = [line for line in result.stderr.splitlines() if str(too_deep) in line]
        assert [line.split(": ", 1)[0] for line in skipped] == [
            f"skipped {too_deep / 'chained.py'}", f"skipped {too_deep / 'negated.py'}"]
        assert all("RecursionError" in line or "MemoryError" in line for line in skipped)


def test_a_worker_that_gives_no_result_skips_its_file(project):
    paths = [str(p) for p in clones.python_files([project])]
    files = clones.reduce_files(paths, 10, lambda todo: (None for _ in todo), None, {})
    assert files == []


def test_overlapping_paths_count_each_file_once(project):
    expected = fresh(project)
    for paths in ((project, project / "a.py"), (project / "a.py", project),
                  (project, project / "pkg" / ".." / "b.py")):
        result = run(*paths)
        assert result.stdout == expected
        assert " in 4 files " in result.stderr.splitlines()[-1]


def test_confirm_has_no_depth_or_digit_limit(tmp_path, monkeypatch):
    # Members 1,500 levels deep and ints of over 4,800 digits, each beside
    # one that the weak fingerprints below confuse with it: 2**63 - 1 and 3
    # hash alike, and so do ints that differ by 2**61 - 1.
    huge = int("f" * 4000, 16)
    sources = {
        "a.py": "x = 9223372036854775807" + " .b" * 1500,
        "b.py": "x = 9223372036854775807" + " .b" * 1500,
        "c.py": "x = 3" + " .b" * 1500,
        "d.py": f"y = {huge:#x}",
        "e.py": f"y = {huge:#x}",
        "f.py": f"y = {huge + 2**61 - 1:#x}",
    }
    for name, source in sources.items():
        (tmp_path / name).write_text(source + "\n")
    monkeypatch.setattr(arbolus, "subtree_fingerprints", weak_fingerprints)
    groups = clones.find_clones(clones.parse_files([tmp_path]), min_nodes=4, confirm=True)
    assert [[c.path[-4:] for c in members] for _, _, members in groups] == [
        ["a.py", "b.py"], ["d.py", "e.py"]]


def test_confirm_compares_what_dump_texts_compare():
    # Leaves equal as values but not as texts (1, True, 1.0), and every
    # statement of two real files.
    source = "".join(f"x = {v}\nx = [{v}]\n" for v in
                     ("1", "True", "1.0", "1j", "'1'", "b'1'", "...", "None", "0.0", "0"))
    statements = [s for text in (source, (EXAMPLES / "clones.py").read_text(),
                                 pathlib.Path(__file__).read_text())
                  for s in arbolus.walk_of_types(ast.parse(text), clones.STATEMENTS)]
    dump_all = {"show_empty": True} if sys.version_info >= (3, 13) else {}

    def partition(key):
        parts = {}
        for i, s in enumerate(statements):
            parts.setdefault(key(s), set()).add(i)
        return sorted(map(sorted, parts.values()))

    by_shape = partition(clones.shape)
    assert by_shape == partition(lambda s: ast.dump(s, **dump_all))
    assert len(by_shape) < len(statements)    # some are equal


def test_a_file_name_that_is_not_utf8_round_trips_through_the_index(project, tmp_path):
    name = os.fsdecode(b"b\xff.py")
    try:
        (project / name).write_text(function("odd", 2))
    except (OSError, UnicodeError):
        pytest.skip("this file system takes UTF-8 names only")
    expected = fresh(project)
    assert f"{project / name}:2" in expected
    # Printed as the bytes it is, also where stdout is strict UTF-8.
    strict = subprocess.run([sys.executable, str(EXAMPLES / "clones.py"), "--min-nodes", "10",
                             str(project)], capture_output=True, timeout=300,
                            env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert strict.stdout == expected.encode("utf-8", "surrogateescape"), strict.stderr
    index = tmp_path / "clones.idx"
    for counted in ((6, 0), (0, 6)):
        result = run("--index", index, project)
        assert result.stdout == expected and counts(result.stderr) == counted
    with sqlite3.connect(index) as db:
        stored = [os.fsdecode(p) for (p,) in db.execute("SELECT path FROM files")]
    db.close()
    assert str(project / name) in stored


def run_patched(setup, *args, timeout=300):
    """clones.main(args) in a process of its own, after `setup` ran there."""
    script = f"import sys\nsys.path.insert(0, {str(EXAMPLES)!r})\nimport clones\n" + \
        textwrap.dedent(setup) + f"\nclones.main({['--min-nodes', '10', *map(str, args)]!r})\n"
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("other", ["same files, smaller units", "another directory"])
def test_runs_sharing_an_index_each_print_a_fresh_runs_output(project, tmp_path, other):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    if other == "another directory":
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        (elsewhere / "z.py").write_text(function("z1") + function("z2"))
        theirs = ["--min-nodes", "10", "--index", str(index), str(elsewhere)]
    else:
        theirs = ["--min-nodes", "5", "--index", str(index), str(project)]
    # The other run goes from start to end after this one opened the index
    # and before it looks anything up: it stores every entry anew, or drops
    # those of files it did not see.
    ours = run_patched(f"""
        import subprocess
        lookup = clones.Index.lookup
        def interleaved(self, path, min_nodes):
            if not hasattr(clones, "other"):
                clones.other = subprocess.run(
                    [sys.executable, {str(EXAMPLES / "clones.py")!r}, *{theirs!r}],
                    capture_output=True, text=True, timeout=120)
                assert clones.other.returncode == 0, clones.other.stderr
            return lookup(self, path, min_nodes)
        clones.Index.lookup = interleaved
        """, "--index", index, project)
    assert ours.returncode == 0, ours.stderr
    assert ours.stdout == expected
    assert run("--index", index, project).stdout == expected


def test_a_scheduler_that_never_answers_is_one_line_naming_it(project):
    pytest.importorskip("distributed", reason="Dask's distributed scheduler is not installed")
    import socket
    import time
    with socket.create_server(("127.0.0.1", 0)) as silent:   # accepts, never speaks
        address = "tcp://127.0.0.1:%d" % silent.getsockname()[1]
        started = time.monotonic()
        result = run_patched("clones.SCHEDULER_WAIT = 1", "--dask", "--scheduler", address,
                             project, timeout=60)
    assert result.returncode != 0 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and address in result.stderr, result.stderr
    assert time.monotonic() - started < 60


@pytest.mark.parametrize("table", ["files", "units"])
def test_a_damaged_index_is_one_line(project, tmp_path, table):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    with sqlite3.connect(index) as db:
        (root,) = db.execute("SELECT rootpage FROM sqlite_master WHERE name = ?",
                             (table,)).fetchone()
    db.close()
    data = bytearray(index.read_bytes())
    size = int.from_bytes(data[16:18], "big")
    data[(root - 1) * size: root * size] = b"\x5a" * size
    index.write_bytes(data)
    result = run("--index", index, project, check=False)
    assert result.returncode == 1 and "Traceback" not in result.stderr, result.stderr
    assert result.stderr.splitlines()[-1].startswith(f"clones.py: {index}")
    # Damage seen as the index opens stops the run, as any file that is not
    # an index does; damage seen later leaves the index for the rest of it.
    assert result.stdout == ("" if table == "files" else expected)
    assert index.read_bytes() == data


def test_index_rows_of_other_types_are_not_used(project, tmp_path):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    with sqlite3.connect(index) as db:
        db.execute("UPDATE units SET size = 'many' WHERE seq = 0")
        db.execute("UPDATE files SET mtime_ns = 'now' WHERE path LIKE '%b.py'")
    db.close()
    result = run("--index", index, project)
    assert result.stdout == expected and counts(result.stderr) == (4, 1)
    assert counts(run("--index", index, project).stderr) == (0, 5)


def test_a_read_only_index_serves_and_one_line_says_what_it_could_not_store(project,
                                                                           tmp_path):
    index = tmp_path / "clones.idx"
    expected = run("--index", index, project).stdout
    before = index.read_bytes()
    # As a read-only file or file system would (chmod does not stop root).
    read_only = """
        import sqlite3
        connect = sqlite3.connect
        sqlite3.connect = lambda path, **kw: connect(f"file:{path}?mode=ro", uri=True, **kw)
        """
    # The files were written just before the index was: each is checked by
    # its digest, which the index cannot note.
    served = run_patched(read_only, "--index", index, project)
    assert served.returncode == 0 and served.stdout == expected, served.stderr
    assert counts(served.stderr) == (0, 5)

    (project / "e.py").write_text(function("e1", 9) + function("e2", 9))
    result = run_patched(read_only, "--index", index, project)
    assert result.returncode == 1 and result.stdout == fresh(project)
    last = result.stderr.splitlines()[-1]
    assert last.startswith(f"clones.py: {index}") and "readonly" in last, result.stderr
    assert "Traceback" not in result.stderr and index.read_bytes() == before
