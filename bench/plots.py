"""PNG plots of one benchmark run, drawn with matplotlib when it is installed."""

from pathlib import Path


_SHORT_METHODS = {
    "tally_single_quintet": "quintet tally",
    "tally_single_quartet": "quartet tally",
    "coalesence_times_by_topology": "coalescence times",
}


def _short_file(name):
    """A file name cut to fit under a bar: the data set and its size, on two lines."""
    parts = name.replace(".tre", "").split("-")
    return "%s\n%s" % (parts[0], "-".join(parts[1:]))


def _pyplot():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot

        return pyplot
    except ImportError:
        return None


def draw_plots(results, out_dir):
    """Writes the plots for the sections present in `results`; returns the file names, or None
    when matplotlib is missing."""
    pyplot = _pyplot()
    if pyplot is None:
        return None
    out_dir = Path(out_dir)
    written = []
    for name, draw in (
        ("load_throughput.png", _load),
        ("sweeps.png", _sweeps),
        ("memory_breakdown.png", _memory),
        ("scaling.png", _scaling),
    ):
        figure = draw(pyplot, results)
        if figure is not None:
            figure.savefig(out_dir / name, dpi=90, bbox_inches="tight")
            pyplot.close(figure)
            written.append(name)
    return written


def _load(pyplot, results):
    rows = results.get("load")
    if not rows:
        return None
    series = ["floor (read + count lines)", "treetally"] + results.get("peers", [])
    figure, axes = pyplot.subplots(figsize=(9, 4.5))
    width = 0.8 / len(series)
    for k, label in enumerate(series):
        values = []
        for row in rows:
            mb = row["bytes"] / 1e6
            if k == 0:
                values.append(mb / row["floor_s"])
            elif k == 1:
                values.append(mb / row["treetally_s"])
            else:
                result = row["peers"].get(label, {})
                values.append(mb / result["seconds"] if "seconds" in result else 0)
        axes.bar([i + k * width for i in range(len(rows))], values, width, label=label)
    axes.set_xticks([i + 0.4 - width / 2 for i in range(len(rows))])
    axes.set_xticklabels([_short_file(row["file"]) for row in rows], fontsize=7)
    axes.set_yscale("log")
    axes.set_ylabel("MB/s (log scale)")
    axes.set_title("Loading a tree file: throughput")
    axes.legend(fontsize=7)
    return figure


def _sweeps(pyplot, results):
    rows = results.get("sweeps")
    if not rows:
        return None
    figure, axes = pyplot.subplots(figsize=(9, 4.5))
    labels, ours, restricted, walked = [], [], [], []
    for row in rows:
        for method, entry in row["methods"].items():
            labels.append("%s\n%s" % (_SHORT_METHODS.get(method, method), _short_file(row["file"])))
            ours.append(entry["treetally_ns"])
            restricted.append(entry.get("peer_restrict_ns", 0))
            walked.append(entry.get("peer_walk_ns", 0))
    positions = range(len(labels))
    axes.bar([p - 0.27 for p in positions], ours, 0.27, label="treetally")
    peer = rows[0].get("peer")
    if any(restricted):
        axes.bar(list(positions), restricted, 0.27, label="script over %s: restrict + splits" % peer)
    if any(walked):
        axes.bar([p + 0.27 for p in positions], walked, 0.27, label="script over %s: one-pass walk" % peer)
    axes.set_xticks(list(positions))
    axes.set_xticklabels(labels, fontsize=7)
    axes.set_yscale("log")
    axes.set_ylabel("ns per tree (log scale)")
    axes.set_title("Whole-set queries: cost per tree")
    axes.legend(fontsize=7)
    return figure


def _memory(pyplot, results):
    rows = [row for row in results.get("memory", []) if "breakdown" in row]
    if not rows:
        return None
    from memory_benchmark import BREAKDOWN_PARTS

    figure, axes = pyplot.subplots(figsize=(8, 4.5))
    bottoms = [0.0] * len(rows)
    for key, label in BREAKDOWN_PARTS:
        values = [row["breakdown"][key] / row["bytes"] for row in rows]
        axes.bar(range(len(rows)), values, 0.5, bottom=bottoms, label=label)
        bottoms = [b + v for b, v in zip(bottoms, values)]
    axes.plot(range(len(rows)), [row["resident"] / row["bytes"] for row in rows], "k*",
              markersize=12, label="measured resident")  # fmt: skip
    axes.set_xticks(range(len(rows)))
    axes.set_xticklabels([_short_file(row["file"]) for row in rows], fontsize=7)
    axes.set_ylabel("bytes per byte of file")
    axes.set_title("Where the memory of a loaded set goes")
    axes.legend(fontsize=7)
    return figure


def _scaling(pyplot, results):
    scaling = results.get("scaling")
    if not scaling:
        return None
    figure, grid = pyplot.subplots(2, 2, figsize=(10, 7))
    for column, (key, x_key, x_label) in enumerate(
        (("by_tree_count", "tree_count", "trees in the file"),
         ("by_tree_size", "leaf_count", "leaves per tree"))  # fmt: skip
    ):
        points = scaling.get(key, [])
        if not points:
            continue
        xs = [point[x_key] for point in points]
        for row, (y_key, y_label, scale) in enumerate(
            (("load_s", "load seconds", 1.0), ("resident", "resident MB", 1e-6))
        ):
            axes = grid[row][column]
            ys = [point[y_key] * scale for point in points]
            axes.loglog(xs, ys, "o-", label="measured")
            # A line of slope one through the first point: proportional growth.
            axes.loglog(xs, [ys[0] * x / xs[0] for x in xs], "--", color="grey", label="proportional")
            axes.set_xlabel(x_label)
            axes.set_ylabel(y_label)
            axes.legend(fontsize=7)
    figure.suptitle("Scaling of load time and memory (log-log)")
    figure.tight_layout()
    return figure
