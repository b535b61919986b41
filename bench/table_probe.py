"""Measurements of the table benchmark that run in an interpreter of their own: with an older
installation of treetally (the "before" of bench/table_benchmark.py --before), or fresh so that
nothing else counts in a table's resident memory. Prints one JSON object.

    python bench/table_probe.py table FILE SIZE [--taxa N] [--file-order]
    python bench/table_probe.py tally FILE NAME... [--repeats R]
    python bench/table_probe.py memory FILE SIZE [--jobs J]

`table` and `tally` use only what every version of treetally_tools has (TopologyTable rows,
quartet_tally / quintet_tally); `memory` needs the engine."""

import argparse
import gc
import json
import re
import resource
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import table_digest  # noqa: E402
from machine import reset_peak, status_bytes  # noqa: E402
from timing import wall_and_cpu  # noqa: E402

import treetally  # noqa: E402


def table_taxa(trees, count, file_order):
    """The first `count` taxa in file order, or None (every taxon in the table's own order)."""
    if not file_order and count is None:
        return None
    taxa = list(trees.taxa())
    return taxa[:count] if count else taxa


def probe_table(args):
    """The whole table as rows, timed, and the fingerprint of its columns."""
    from treetally_tools.tables import TopologyTable

    trees = treetally.TreeSet(str(args.file))
    taxa = table_taxa(trees, args.taxa, args.file_order)
    # A path, not the loaded set: the older package counts fastest from its file.
    table = TopologyTable(str(args.file), args.size, taxa, progress=False)
    rows, wall, cpu, _ = wall_and_cpu(lambda: list(table))
    columns = table_digest.rows_to_columns(rows, table.taxa, args.size)
    return {"rows": len(rows), "taxa": len(table.taxa), "wall_s": wall, "cpu_s": cpu,
            "sha256": table_digest.columns_digest(columns, args.size)}  # fmt: skip


def best_wall(action, repeats):
    best = float("inf")
    for _ in range(repeats):
        best = min(best, wall_and_cpu(action)[1])
    return best


def probe_tally(args):
    """Best wall-clock seconds of the labelled tally and of the module's bare sweep."""
    import treetally_tools

    trees = treetally.TreeSet(str(args.file))
    names = tuple(args.names)
    labelled = treetally_tools.quartet_tally if len(names) == 4 else treetally_tools.quintet_tally
    sweep = trees.tally_single_quartet if len(names) == 4 else trees.tally_single_quintet
    same = list(labelled(trees, names).counts) == list(sweep(names))
    figures = {"trees": len(trees), "same_counts": same, "labelled_s": float("inf"), "sweep_s": float("inf")}
    for _ in range(args.repeats):  # interleaved, so that a busy moment weighs on both
        figures["labelled_s"] = min(figures["labelled_s"], best_wall(lambda: labelled(trees, names), 1))
        figures["sweep_s"] = min(figures["sweep_s"], best_wall(lambda: sweep(names), 1))
    return figures


def peak_growth(action):
    """(result, bytes the resident set grew at most during `action`, bytes it kept)."""
    gc.collect()
    before = status_bytes("VmRSS")
    reset_peak()
    result = action()
    return result, status_bytes("VmHWM") - before, status_bytes("VmRSS") - before


def engine_estimate(trees, size, taxa):
    """The bytes the engine's table says it needs, read from its refusal when the address space
    left is made nil (the figure its MemoryError states), in whole MiB."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    from treetally_tools import _engine

    resource.setrlimit(resource.RLIMIT_AS, (mapped, hard))
    try:
        _engine.Table(trees, size, taxa).close()
        return None
    except MemoryError as error:
        found = re.search(r"needs about (\d+) MiB", str(error))
        return int(found.group(1)) << 20 if found else None
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def probe_memory(args):
    """The resident memory a table takes beyond the loaded set: streamed block by block (the
    way write() and iteration take it), and as to_columns() (which keeps every row)."""
    from treetally_tools import _engine
    from treetally_tools.tables import TopologyTable

    trees = treetally.TreeSet(str(args.file))
    table = TopologyTable(trees, args.size, progress=False, jobs=args.jobs)
    taxa = table.taxa

    def stream():
        counting = _engine.Table(trees, args.size, taxa, jobs=args.jobs)
        rows = 0
        while True:
            block = counting.next_block()
            if block is None:
                return rows
            rows += len(block["holding"]) // 8

    rows, stream_peak, stream_kept = peak_growth(stream)
    columns, columns_peak, _ = peak_growth(table.to_columns)
    column_bytes = sum(len(column) * column.itemsize for column in columns.values())
    del columns
    return {"file": Path(args.file).name, "size": args.size, "taxa": len(taxa), "trees": len(trees),
            "rows": rows, "jobs": args.jobs, "stream_peak": stream_peak, "stream_kept": stream_kept,
            "columns_peak": columns_peak, "column_bytes": column_bytes,
            "message_estimate": engine_estimate(trees, args.size, taxa), "peak_reset": reset_peak()}  # fmt: skip


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    table = commands.add_parser("table")
    table.add_argument("file", type=Path)
    table.add_argument("size", type=int)
    table.add_argument("--taxa", type=int, help="the first N taxa in file order")
    table.add_argument("--file-order", action="store_true", help="every taxon in file order")
    tally = commands.add_parser("tally")
    tally.add_argument("file", type=Path)
    tally.add_argument("names", nargs="+")
    tally.add_argument("--repeats", type=int, default=5)
    memory = commands.add_parser("memory")
    memory.add_argument("file", type=Path)
    memory.add_argument("size", type=int)
    memory.add_argument("--jobs", type=int, default=0)
    args = parser.parse_args(argv)
    probe = {"table": probe_table, "tally": probe_tally, "memory": probe_memory}[args.command]
    print(json.dumps(probe(args)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
