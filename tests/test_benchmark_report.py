"""The README section that `make bench-full` rewrites at the end of a long run."""

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
if not (ROOT / "bench" / "readme.py").is_file():
    pytest.skip("bench/ is not beside the tests", allow_module_level=True)
sys.path.insert(0, str(ROOT / "bench"))

import readme  # noqa: E402


def results(stride=1):
    side = {"ours_ns_per_node": 12.5, "peer_ns_per_node": 1250.0, "speedup": 100.0,
            "ours_over_floor": 6.25, "module_stride": stride}
    return {
        "python": "3.13.0 (main) [GCC 12.2.0]", "machine": "Test CPU", "cpus": 2,
        "corpus": {"parsed": 1722, "nodes": 4512244},
        "in_cache_module": {"name": "_pydecimal.py", "nodes": 23234},
        "rows": [{"label": "walk_dfs", "peer": "list(ast.walk)",
                  "in_cache": dict(side, module_stride=1), "out_of_cache": side}],
        "scaling": {"rows": [{"nodes": 1008, "ns_per_node": {"walk_dfs": 11.0,
                                                             "copy floor": 1.6}}]},
    }


def test_the_readme_has_the_markers_in_order():
    text = (ROOT / "README.md").read_text()
    assert text.count(readme.BEGIN) == 1 and text.count(readme.END) == 1
    assert text.index(readme.BEGIN) < text.index(readme.END)


def test_update_replaces_only_the_marked_section(tmp_path):
    path = tmp_path / "README.md"
    path.write_text(f"# title\n\n{readme.BEGIN}\nold table\n{readme.END}\n\nafter\n")
    readme.update(path, results(stride=10), date="2026-01-02")
    text = path.read_text()
    assert text.startswith(f"# title\n\n{readme.BEGIN}\nMeasured with `make bench-full` on "
                           "2026-01-02: CPython 3.13.0 on Test CPU with 2 CPUs")
    assert text.endswith(f"\n{readme.END}\n\nafter\n") and "old table" not in text
    assert "| `walk_dfs` | list(ast.walk) | 12.5 | 1,250 | 100 | 12.5 | 1,250 | 100 | " \
           "6.25 | 6.25 |" in text
    assert "one module in 10 only" in text
    assert "| 1,008 | 11.0 | 1.60 |" in text
    # A second run replaces the first run's text instead of adding to it.
    again = results() | {"load_average": {"start": [2.5, 2.0, 1.0], "end": [0.25, 1.0, 1.0]}}
    readme.update(path, again, date="2026-01-03")
    text = path.read_text()
    assert text.count("Measured with") == 1
    assert "with 2 CPUs (load average 2.5 at the start, 0.2 at the end)," in text


@pytest.mark.parametrize("text", [
    "no markers\n",
    f"{readme.END}\n{readme.BEGIN}\n",
    f"{readme.BEGIN}\nonly the first\n",
])
def test_update_refuses_a_readme_without_both_markers_in_order(tmp_path, text):
    path = tmp_path / "README.md"
    path.write_text(text)
    with pytest.raises(ValueError, match="markers"):
        readme.update(path, results())
    assert path.read_text() == text
