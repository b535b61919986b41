"""Bench of the per-row values computed by the engine: the all-quartet table of plants1kp
(103 taxa, 852 gene trees, 4.4 million rows) written as CSV with a species tree's columns and
BH-adjusted p-values against the plain CSV (goal: at most 2x), and to_dataframe() against
to_columns() (goal: at most 2x). Each ratio comes from one run of each side, one after the
other, on the same loaded TreeSet.

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
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def write_csv(trees, jobs, **options):
    with open(os.devnull, "w", encoding="utf-8") as out, TopologyTable(
        trees, 4, jobs=jobs, progress=False, **options
    ) as table:
        table.write(out, "csv")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--path", default=str(DATA))
    args = parser.parse_args(argv)
    trees = treetally.TreeSet(args.path)
    species = [caterpillar(trees.taxa())]
    figures = {}
    figures["csv_plain_s"] = timed(lambda: write_csv(trees, args.jobs))
    figures["csv_species_bh_s"] = timed(lambda: write_csv(trees, args.jobs, species_tree=species, adjust="bh"))
    table = TopologyTable(trees, 4, jobs=args.jobs, progress=False)
    figures["to_columns_s"] = timed(table.to_columns)
    figures["to_dataframe_s"] = timed(table.to_dataframe)
    figures["csv_ratio"] = figures["csv_species_bh_s"] / figures["csv_plain_s"]
    figures["dataframe_ratio"] = figures["to_dataframe_s"] / figures["to_columns_s"]
    figures["rows"] = len(table)
    figures["jobs"] = args.jobs
    results = HERE / "results"
    (results / "row_values_benchmark.json").write_text(json.dumps(figures, indent=1) + "\n")
    lines = [
        "# Per-row values computed by the engine (one run each)",
        "",
        f"plants1kp, {figures['rows']:,} quartet rows, {args.jobs} threads.",
        "",
        "| measure | seconds | ratio | goal |",
        "|---|---|---|---|",
        f"| CSV, plain | {figures['csv_plain_s']:.2f} | | |",
        f"| CSV with species-tree columns and BH-adjusted p-values | {figures['csv_species_bh_s']:.2f} | "
        f"{figures['csv_ratio']:.2f}x | <= 2x |",
        f"| to_columns() | {figures['to_columns_s']:.2f} | | |",
        f"| to_dataframe() | {figures['to_dataframe_s']:.2f} | {figures['dataframe_ratio']:.2f}x | <= 2x |",
    ]
    (results / "row_values_benchmark.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
