"""Bench of the per-row values computed by the engine: the all-quartet table of plants1kp
(103 taxa, 852 gene trees, 4.4 million rows) written as CSV with a species tree's columns and
BH-adjusted p-values against the plain CSV (goal: at most 2x), and to_dataframe() against
to_columns() (goal: at most 2x). Each ratio comes from one run of this bench: the two sides run
in turn, `--repeats` times, on the same loaded TreeSet, and the fastest of each side counts
(the machine is shared, so a single timing says more about the neighbours than the code). The
process's CPU time (all its threads) of the same runs is given beside the wall time.

The species tree is a caterpillar over the file's taxa with every branch 1 coalescent unit: its
shape changes no cost. Results go to bench/results/row_values_benchmark.{json,md}."""

import argparse
import json
import os
import sys
import time
from pathlib import Path

import treetally
from treetally_tools import TopologyTable

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "shared" / "data" / "plants1kp-103taxa-852genes.tre"


def caterpillar(taxa):
    newick = f"{taxa[0]}:1"
    for taxon in taxa[1:]:
        newick = f"({newick},{taxon}:1):1"
    return newick + ";"


def timed(action):
    """(wall seconds, CPU seconds of every thread of the process) of one run of `action`."""
    start, cpu = time.perf_counter(), time.process_time()
    action()
    return time.perf_counter() - start, time.process_time() - cpu


def fastest_in_turn(actions, repeats):
    """{name: (wall, CPU)}, each the least of `repeats` runs, the actions taking turns."""
    best = {}
    for _ in range(repeats):
        for name, action in actions.items():
            wall, cpu = timed(action)
            old = best.get(name, (wall, cpu))
            best[name] = (min(wall, old[0]), min(cpu, old[1]))
    return best


def write_csv(trees, jobs, **options):
    with open(os.devnull, "w", encoding="utf-8") as out, TopologyTable(
        trees, 4, jobs=jobs, progress=False, **options
    ) as table:
        table.write(out, "csv")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--path", default=str(DATA))
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    trees = treetally.TreeSet(args.path)
    species = [caterpillar(trees.taxa())]
    table = TopologyTable(trees, 4, jobs=args.jobs, progress=False)
    runs = fastest_in_turn({
        "csv_plain": lambda: write_csv(trees, args.jobs),
        "csv_species_bh": lambda: write_csv(trees, args.jobs, species_tree=species, adjust="bh"),
    }, args.repeats)  # fmt: skip
    runs.update(fastest_in_turn({"to_columns": table.to_columns, "to_dataframe": table.to_dataframe}, args.repeats))
    figures = {f"{name}_s": wall for name, (wall, _) in runs.items()}
    figures.update((f"{name}_cpu_s", cpu) for name, (_, cpu) in runs.items())
    figures["csv_ratio"] = figures["csv_species_bh_s"] / figures["csv_plain_s"]
    figures["csv_cpu_ratio"] = figures["csv_species_bh_cpu_s"] / figures["csv_plain_cpu_s"]
    figures["dataframe_ratio"] = figures["to_dataframe_s"] / figures["to_columns_s"]
    figures["dataframe_cpu_ratio"] = figures["to_dataframe_cpu_s"] / figures["to_columns_cpu_s"]
    figures["rows"] = len(table)
    figures["jobs"] = args.jobs
    results = HERE / "results"
    (results / "row_values_benchmark.json").write_text(json.dumps(figures, indent=1) + "\n")
    lines = [
        "# Per-row values computed by the engine",
        "",
        f"plants1kp, {figures['rows']:,} quartet rows, {args.jobs} threads, fastest of {args.repeats} in turn.",
        "",
        "| measure | wall (s) | CPU (s) | ratio, wall / CPU | goal |",
        "|---|---|---|---|---|",
        f"| CSV, plain | {figures['csv_plain_s']:.2f} | {figures['csv_plain_cpu_s']:.2f} | | |",
        f"| CSV with species-tree columns and BH-adjusted p-values | {figures['csv_species_bh_s']:.2f} | "
        f"{figures['csv_species_bh_cpu_s']:.2f} | {figures['csv_ratio']:.2f}x / {figures['csv_cpu_ratio']:.2f}x "
        "| <= 2x |",
        f"| to_columns() | {figures['to_columns_s']:.2f} | {figures['to_columns_cpu_s']:.2f} | | |",
        f"| to_dataframe() | {figures['to_dataframe_s']:.2f} | {figures['to_dataframe_cpu_s']:.2f} | "
        f"{figures['dataframe_ratio']:.2f}x / {figures['dataframe_cpu_ratio']:.2f}x | <= 2x |",
    ]
    (results / "row_values_benchmark.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
