"""Bench of tables of species mapped from individuals (taxon maps): the all-quartet table of the
mammals file (37 taxa, 424 genes) under a map of each name to itself against the plain table
(goal: at most 1.2x, since species of one individual each are counted by the same kernels), and
the all-quartet table of the fungi file (16 species, 7,180 multi-copy gene trees) with every
copy kept against the plain table that keeps the later copy alone (reported: every combination
of one copy per species is classified, so the cost grows with the copies). Each ratio comes
from one run: the sides run in turn, `--repeats` times, and the fastest of each counts (the
machine is shared). Results go to bench/results/taxon_map_benchmark.{json,md} (or --out).

    python bench/taxon_map_benchmark.py [--repeats 3] [--jobs 2]
    python bench/taxon_map_benchmark.py --smoke   # the shipped 6-taxon file, seconds"""

import argparse
import sys
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from treetally_tools import TopologyTable, load_trees  # noqa: E402

from bench_inputs import SHARED_DATA, SMOKE_FILE  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import RESULTS_DIR, machine_lines, markdown_table, verdict, write_results  # noqa: E402
from timing import fastest_in_turn  # noqa: E402

SINGLE = SHARED_DATA / "mammals-37taxa-424genes.tre"
COPIES = SHARED_DATA / "edge-fungi-16taxa-7180multicopy.tre"
GOAL = 1.2  # at most, for the map of single individuals


def columns(source, jobs, **options):
    with TopologyTable(source, 4, jobs=jobs, progress=False, **options) as table:
        return table.to_columns()


def measure_file(path, jobs, repeats):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the fungi file repeats names: the plain load says so
        plain = load_trees(str(path))
    identity = {name: name for name in plain.taxa()}
    mapped = load_trees(str(path), taxon_map=identity)
    runs = fastest_in_turn({
        "plain": lambda: columns(plain, jobs),
        "mapped": lambda: columns(mapped, jobs),
    }, repeats)  # fmt: skip
    figures = {"file": path.name, "taxa": len(plain.taxa()), "individuals": len(mapped.trees.taxa())}
    for name, run in runs.items():
        figures[f"{name}_s"], figures[f"{name}_cpu_s"] = run["wall_s"], run["cpu_s"]
    figures["ratio"] = figures["mapped_s"] / figures["plain_s"]
    figures["cpu_ratio"] = figures["mapped_cpu_s"] / max(figures["plain_cpu_s"], 1e-9)
    return figures


def report(results, jobs, repeats, machine):
    rows = []
    for label, figures, goal in results:
        rows.append([
            f"{figures['file']} ({figures['taxa']} species, {figures['individuals']} individuals)",
            "%.2f / %.2f" % (figures["plain_s"], figures["plain_cpu_s"]),
            "%.2f / %.2f" % (figures["mapped_s"], figures["mapped_cpu_s"]),
            "%.2fx / %.2fx" % (figures["ratio"], figures["cpu_ratio"]),
            "<= %gx" % goal if goal else "reported", verdict(figures["ratio"] <= goal) if goal else "",
        ])  # fmt: skip
    lines = ["# Tables of species mapped from individuals", "", machine_lines(machine)[0], "",
             f"All-quartet tables to columns, {jobs} threads, fastest of {repeats} in turn.", ""]  # fmt: skip
    lines += markdown_table(("file", "plain wall / CPU (s)", "mapped wall / CPU (s)", "ratio, wall / CPU", "goal", "met"),
                            rows, ["---", "---:", "---:", "---:", "---", "---"])  # fmt: skip
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file, once: checks that it runs")
    parser.add_argument("--out", type=Path, help="folder for the results (default: bench/results)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    if args.smoke:
        figures = measure_file(SMOKE_FILE, args.jobs, 1)
        assert figures["plain_s"] > 0 and figures["mapped_s"] > 0, figures
        return 0
    for path in (SINGLE, COPIES):
        if not path.is_file():
            raise SystemExit("the gene-tree file is missing: expected %s" % path)
    results = [("single", measure_file(SINGLE, args.jobs, args.repeats), GOAL),
               ("copies", measure_file(COPIES, args.jobs, args.repeats), None)]  # fmt: skip
    machine = describe_machine()
    text = report(results, args.jobs, args.repeats, machine)
    print(text)
    write_results(args.out or RESULTS_DIR, "taxon_map_benchmark",
                  dict({label: figures for label, figures, _ in results}, machine=machine), text)  # fmt: skip
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
