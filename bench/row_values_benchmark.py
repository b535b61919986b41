"""Bench of the per-row values computed by the engine: the all-quartet table of plants1kp
(103 taxa, 852 gene trees, 4.4 million rows) written as CSV with a species tree's columns and
BH-adjusted p-values against the plain CSV (goal: at most 2x), and to_dataframe() against
to_columns() (goal: at most 2x). Each ratio comes from one run of this bench: the two sides run
in turn, `--repeats` times, on the same loaded TreeSet, and the fastest of each side counts
(the machine is shared, so a single timing says more about the neighbours than the code). The
process's CPU time (all its threads) of the same runs is given beside the wall time.

The species tree is a caterpillar over the file's taxa with every branch 1 coalescent unit: its
shape changes no cost. Results go to bench/results/row_values_benchmark.{json,md} (or --out).

    python bench/row_values_benchmark.py [--repeats 3] [--jobs 2]
    python bench/row_values_benchmark.py --smoke --out DIR   # the shipped 6-taxon file, seconds"""

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import treetally  # noqa: E402
from treetally_tools import TopologyTable  # noqa: E402

from bench_inputs import SHARED_DATA, SMOKE_FILE  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import RESULTS_DIR, machine_lines, markdown_table, verdict, write_results  # noqa: E402
from timing import fastest_in_turn  # noqa: E402

DATA = SHARED_DATA / "plants1kp-103taxa-852genes.tre"
GOAL = 2.0  # at most, for both ratios


def caterpillar(taxa):
    newick = f"{taxa[0]}:1"
    for taxon in taxa[1:]:
        newick = f"({newick},{taxon}:1):1"
    return newick + ";"


def write_csv(trees, jobs, **options):
    with open(os.devnull, "w", encoding="utf-8") as out, TopologyTable(
        trees, 4, jobs=jobs, progress=False, **options
    ) as table:
        table.write(out, "csv")


def measure(path, jobs, repeats):
    trees = treetally.TreeSet(str(path))
    species = [caterpillar(trees.taxa())]
    table = TopologyTable(trees, 4, jobs=jobs, progress=False)
    runs = fastest_in_turn({
        "csv_plain": lambda: write_csv(trees, jobs),
        "csv_species_bh": lambda: write_csv(trees, jobs, species_tree=species, adjust="bh"),
    }, repeats)  # fmt: skip
    runs.update(fastest_in_turn({"to_columns": table.to_columns, "to_dataframe": table.to_dataframe}, repeats))
    figures = {"file": Path(path).name, "rows": len(table), "jobs": jobs, "repeats": repeats}
    for name, run in runs.items():
        figures[f"{name}_s"], figures[f"{name}_cpu_s"] = run["wall_s"], run["cpu_s"]
    for ratio, (slow, fast) in {"csv": ("csv_species_bh", "csv_plain"),
                                "dataframe": ("to_dataframe", "to_columns")}.items():  # fmt: skip
        figures[f"{ratio}_ratio"] = figures[f"{slow}_s"] / figures[f"{fast}_s"]
        figures[f"{ratio}_cpu_ratio"] = figures[f"{slow}_cpu_s"] / max(figures[f"{fast}_cpu_s"], 1e-9)
    return figures


def report(figures, machine):
    def row(label, name, ratio=None):
        cells = [label, "%.2f" % figures[f"{name}_s"], "%.2f" % figures[f"{name}_cpu_s"]]
        if ratio is None:
            return cells + ["", "", ""]
        return cells + ["%.2fx / %.2fx" % (figures[f"{ratio}_ratio"], figures[f"{ratio}_cpu_ratio"]),
                        "<= %gx" % GOAL, verdict(figures[f"{ratio}_ratio"] <= GOAL)]  # fmt: skip

    rows = [row("CSV, plain", "csv_plain"),
            row("CSV with species-tree columns and BH-adjusted p-values", "csv_species_bh", "csv"),
            row("to_columns()", "to_columns"),
            row("to_dataframe()", "to_dataframe", "dataframe")]  # fmt: skip
    lines = ["# Per-row values computed by the engine", "", machine_lines(machine)[0], "",
             f"{figures['file']}, {figures['rows']:,} quartet rows, {figures['jobs']} threads, "
             f"fastest of {figures['repeats']} in turn.", ""]  # fmt: skip
    lines += markdown_table(("measure", "wall (s)", "CPU (s)", "ratio, wall / CPU", "goal", "met"), rows,
                            ["---", "---:", "---:", "---:", "---", "---"])  # fmt: skip
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file, once: checks that it runs")
    parser.add_argument("--out", type=Path, help="folder for the results (default: bench/results)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--path", type=Path, help="the gene-tree file (default: plants1kp)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    path = args.path or (SMOKE_FILE if args.smoke else DATA)
    if not path.is_file():
        raise SystemExit("the gene-tree file is missing: expected %s" % path)
    figures = measure(path, args.jobs, 1 if args.smoke else args.repeats)
    if args.smoke:
        assert figures["rows"] == 15 and all(figures[key] > 0 for key in figures if key.endswith("_s")), figures
        if args.out is None:
            return 0
    machine = describe_machine()
    text = report(figures, machine)
    if not args.smoke:
        print(text)
    write_results(args.out or RESULTS_DIR, "row_values_benchmark", dict(figures, machine=machine), text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
