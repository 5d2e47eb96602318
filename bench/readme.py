"""The README's benchmark section, rewritten from a run's results.

The generated text sits between two marker comments in the README; the
rest of the file is left as it is. A README without both markers, or with
them out of order, is an error rather than a file rewritten at a guess.
"""

import datetime
import pathlib

BEGIN = "<!-- benchmark: begin (written by make bench-full) -->"
END = "<!-- benchmark: end -->"


def fmt(x):
    """A figure with three significant digits or so, thousands grouped."""
    if x >= 1000:
        return f"{x:,.0f}"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def _row(cells):
    return "| " + " | ".join(cells) + " |"


def section(results, date=None):
    """Markdown for the results of a full run: where and how it was measured,
    the table of pairings, and the scaling table."""
    date = date or datetime.date.today().isoformat()
    corpus = results["corpus"]
    in_cache = results["in_cache_module"]
    python = results["python"].split()[0]
    load = results.get("load_average")
    busy = (f" (load average {load['start'][0]:.1f} at the start, {load['end'][0]:.1f} at the "
            "end)") if load else ""
    lines = [
        f"Measured with `make bench-full` on {date}: CPython {python} on {results['machine']} "
        f"with {results['cpus']} CPUs{busy}, the interpreter's own standard library as the corpus "
        f"({corpus['parsed']:,d} modules, {corpus['nodes']:,d} nodes). ns per node, medians of "
        "alternated runs with the garbage collector off; × is peer time / our time; /floor is "
        "our time over the time of copying a list of the same nodes. *In cache*: "
        f"`{in_cache['name']}` ({in_cache['nodes']:,d} nodes) called repeatedly; *out of "
        "cache*: every module of the corpus once per pass.",
        "",
        "| function | peer | in cache: ours | peer | × | out of cache: ours | peer | × "
        "| /floor in | /floor out |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    strided = []
    for r in results["rows"]:
        i, o = r["in_cache"], r["out_of_cache"]
        lines.append(_row([
            f"`{r['label']}`", r["peer"],
            fmt(i["ours_ns_per_node"]), fmt(i["peer_ns_per_node"]), fmt(i["speedup"]),
            fmt(o["ours_ns_per_node"]), fmt(o["peer_ns_per_node"]), fmt(o["speedup"]),
            fmt(i["ours_over_floor"]), fmt(o["ours_over_floor"]),
        ]))
        if o["module_stride"] > 1:
            strided.append(f"`{r['label']}` against {r['peer']} is timed out of cache on "
                           f"one module in {o['module_stride']} only")
    if strided:
        lines += ["", "(" + "; ".join(strided) + ": that peer costs nodes × depth.)"]
    rows = results["scaling"]["rows"]
    if rows:
        names = list(rows[0]["ns_per_node"])
        lines += ["", "Scaling (ns per node, trees built from corpus statements):", "",
                  _row(["nodes"] + names), "|" + "---:|" * (len(names) + 1)]
        for r in rows:
            lines.append(_row([f"{r['nodes']:,d}"] + [fmt(r["ns_per_node"][n]) for n in names]))
    return "\n".join(lines)


def check(path):
    """The README's text and where its markers are; ValueError when they are
    missing or out of order. A run checks this before it starts."""
    text = pathlib.Path(path).read_text()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < 0 or end < start:
        raise ValueError(f"{path}: the benchmark markers are missing or out of order "
                         f"({BEGIN!r} ... {END!r})")
    return text, start, end


def update(path, results, date=None):
    """Replaces the text between the markers of the README at `path`."""
    path = pathlib.Path(path)
    text, start, end = check(path)
    head = text[: start + len(BEGIN)]
    tail = text[end:]
    path.write_text(head + "\n" + section(results, date) + "\n" + tail)
