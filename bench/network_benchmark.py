"""NANUQ distances and TINNiK trees of blobs beside the quartet table they stand on: the time of
each, best of three runs in one interpreter, and its ratio to the table's (counted to finished
columns, with the star and minor-equal tests of every row).

    python bench/network_benchmark.py [--jobs N] [--out DIR]
    python bench/network_benchmark.py --smoke --out DIR   # the shipped 6-taxon file, seconds

Files: mammals (37 taxa, 424 genes, all taxa) and palaeognath introns (15 taxa, 5016 genes).
Goal on the 2-core machine: nanuq and blobs each at most 2x the table. The classes' T3 test
is most of their time where quartets with few minor trees among thousands call for its exact
enumeration. Writes network_benchmark.json and .md to bench/results (or --out)."""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_inputs import SHARED_DATA, SMOKE_FILE, real_data_available  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import RESULTS_DIR, machine_lines, markdown_table, verdict, write_results  # noqa: E402

FILES = ("mammals-37taxa-424genes.tre", "palaeognaths-15taxa-5016introns.tre")
GOAL_RATIO = 2.0


def best_of(action, runs=3):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return min(times)


def measure(path, jobs):
    import treetally
    from treetally_tools import TopologyTable, nanuq_distance, tree_of_blobs

    trees = treetally.TreeSet(str(path))

    def table():
        with TopologyTable(trees, 4, jobs=jobs, progress=False) as counted:
            counted.to_columns()

    figures = {"file": Path(path).name, "taxa": len(trees.taxa()), "trees": len(trees)}
    figures["table_s"] = best_of(table)
    figures["nanuq_s"] = best_of(lambda: nanuq_distance(trees, jobs=jobs, progress=False))
    figures["blobs_s"] = best_of(lambda: tree_of_blobs(trees, jobs=jobs, progress=False))
    for name in ("nanuq", "blobs"):
        figures[name + "_ratio"] = figures[name + "_s"] / figures["table_s"]
    return figures


def report(results):
    rows = [
        (case["file"], case["taxa"], "%.3f" % case["table_s"], "%.3f" % case["nanuq_s"], "%.2f" % case["nanuq_ratio"],
         "%.3f" % case["blobs_s"], "%.2f" % case["blobs_ratio"],
         verdict(max(case["nanuq_ratio"], case["blobs_ratio"]) <= GOAL_RATIO))
        for case in results["cases"]
    ]  # fmt: skip
    lines = ["# NANUQ and TINNiK beside the quartet table", "", machine_lines(results["machine"])[0], "",
             "%s threads (0: one per core); best of three runs; goal: each at most %gx the table." % (
                 results["jobs"], GOAL_RATIO), ""]  # fmt: skip
    lines += markdown_table(
        ("file", "taxa", "table (s)", "nanuq (s)", "x table", "blobs (s)", "x table", "met"), rows,
        ["---", "---:", "---:", "---:", "---:", "---:", "---:", "---"],
    )
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file: checks that it runs")
    parser.add_argument("--jobs", type=int, default=0, help="threads (default 0: one per core)")
    parser.add_argument("--out", type=Path, help="folder for the results (default: bench/results)")
    arguments = parser.parse_args()
    if arguments.smoke:
        paths = [SMOKE_FILE]
    elif not real_data_available():
        sys.exit("the shared data files are not available")
    else:
        paths = [SHARED_DATA / name for name in FILES]
    results = {"machine": describe_machine(), "jobs": arguments.jobs, "cases": []}
    for path in paths:
        figures = measure(path, arguments.jobs)
        results["cases"].append(figures)
        print(
            f"{figures['file']}: table {figures['table_s']:.3f} s, nanuq {figures['nanuq_s']:.3f} s "
            f"({figures['nanuq_ratio']:.2f}x), blobs {figures['blobs_s']:.3f} s ({figures['blobs_ratio']:.2f}x)"
        )
    if arguments.smoke and arguments.out is None:
        return
    write_results(arguments.out or RESULTS_DIR, "network_benchmark", results, report(results))


if __name__ == "__main__":
    main()
