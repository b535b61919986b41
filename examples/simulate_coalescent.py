# Simulates gene trees under the multispecies coalescent with msprime, tallies them with
# treetally, and compares the observed quartet frequencies with the coalescent prediction.
"""Simulate gene trees on a species tree and check treetally's tallies against theory.

Under the multispecies coalescent, a quartet whose species tree has an internal branch of
length t (coalescent units) shows the matching gene-tree topology with probability
1 - 2/3 e^(-t), and each of the two others with probability 1/3 e^(-t).

    pip install ".[examples]"
    python examples/simulate_coalescent.py                # 1000 trees, plots in examples/output/
    python examples/simulate_coalescent.py --trees 5000 --seed 3

The file examples/data/apes-6taxa-1000genes.tre that the quickstart reads was written by
    python examples/simulate_coalescent.py --trees 1000 --seed 1 \
        --tree-file examples/data/apes-6taxa-1000genes.tre
"""

import argparse
import itertools
import math
import sys
from pathlib import Path
from typing import Dict, Iterator, List, NamedTuple, Sequence, Tuple

import matplotlib

matplotlib.use("Agg")  # files only; no display needed

import matplotlib.pyplot as plt  # noqa: E402
import msprime  # noqa: E402
import numpy as np  # noqa: E402

import treetally  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from topology_tables import (  # noqa: E402
    PAIRS,
    QUARTET_SPLITS,
    format_quartet_tally,
    format_quintet_tally,
    format_time_table,
    pair_labels,
    quartet_topology,
    quintet_topologies,
    time_table_block,
    time_table_shares,
)

# An ape-like species tree, ultrametric, branch lengths in coalescent units (illustrative values,
# chosen to give internal branches from 0.5 to 5 units, i.e. from heavy to little incomplete
# lineage sorting).
APE_SPECIES_TREE = (
    "((((Human:1.0,Chimp:1.0):0.5,Gorilla:1.5):1.5,Orangutan:3.0):1.0,"
    "(Gibbon:2.0,Siamang:2.0):2.0);"
)
DEFAULT_QUINTET = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
OUTPUT_DIR = Path(__file__).resolve().parent / "output"

Quartet = Tuple[str, str, str, str]
Quintet = Tuple[str, str, str, str, str]


class QuartetComparison(NamedTuple):
    """Observed against predicted frequency of the species-tree topology of one quartet."""

    names: Quartet
    species_code: int
    internal_length: float
    counts: List[int]

    @property
    def counted(self) -> int:
        return sum(self.counts)

    @property
    def observed(self) -> float:
        return self.counts[self.species_code] / self.counted if self.counted else math.nan

    @property
    def predicted(self) -> float:
        return matching_probability(self.internal_length)

    @property
    def standard_error(self) -> float:
        p = self.predicted
        return math.sqrt(p * (1.0 - p) / self.counted) if self.counted else math.nan


def matching_probability(internal_length: float) -> float:
    """Probability that a gene tree shows the species-tree quartet: 1 - 2/3 e^(-t)."""
    return 1.0 - 2.0 / 3.0 * math.exp(-internal_length)


def simulate_gene_trees(
    species_newick: str, species_names: Sequence[str], count: int, seed: int, precision: int
) -> Iterator[str]:
    """Newick strings of `count` gene trees, one haploid sample of each of `species_names`.

    With ploidy 1 and population size 1, a pair of lineages coalesces at rate 1 per unit of
    time, so msprime's times are coalescent units, as are the species tree's lengths."""
    demography = msprime.Demography.from_species_tree(species_newick, initial_size=1)
    population_names = [population.name for population in demography.populations]
    replicates = msprime.sim_ancestry(
        samples={name: 1 for name in species_names},
        demography=demography,
        ploidy=1,
        num_replicates=count,
        random_seed=seed,
    )
    for tree_sequence in replicates:
        labels = {
            node: population_names[tree_sequence.node(node).population]
            for node in tree_sequence.samples()
        }
        newick: str = tree_sequence.first().as_newick(node_labels=labels, precision=precision)
        yield newick


def load_species_tree(species_newick: str, folder: Path) -> treetally.TreeSet:
    """A one-tree TreeSet of the species tree, which is written to `folder` for the purpose."""
    path = folder / "species_tree.tre"
    path.write_text(species_newick.strip() + "\n", encoding="utf-8")
    return treetally.TreeSet(path)


def write_tree_file(path: Path, newicks: Iterator[str]) -> int:
    """Writes one Newick per line; returns the number of trees written."""
    path.parent.mkdir(parents=True, exist_ok=True)
    written = 0
    with path.open("w", encoding="utf-8") as out:
        for newick in newicks:
            out.write(newick.strip() + "\n")
            written += 1
    return written


def quartet_internal_length(species: treetally.TreeSet, names: Quartet) -> Tuple[int, float]:
    """The species tree's quartet code on `names` and the length of its internal branch.

    For the split ab|cd, four-point: t = (d(a,c) + d(b,d) - d(a,b) - d(c,d)) / 2. The distance
    query takes five names; repeating the first one leaves the pairs among the four unchanged."""
    tree = species[0]
    code = tree.retrieve_quartet_type(names)
    distances = tree.retrieve_all_pairs_distance(names + (names[0],))
    if code is None or distances is None:
        raise ValueError(f"the species tree does not resolve the quartet {names}")
    pair_index = {pair: p for p, pair in enumerate(PAIRS)}

    def distance(i: int, j: int) -> float:
        return distances[pair_index[(min(i, j), max(i, j))]]

    (a, b), (c, d) = QUARTET_SPLITS[code]
    return code, (distance(a, c) + distance(b, d) - distance(a, b) - distance(c, d)) / 2.0


def compare_quartets(gene_trees: treetally.TreeSet, species: treetally.TreeSet) -> List[QuartetComparison]:
    """Every quartet of the species tree's taxa, with its observed gene-tree tally."""
    comparisons = []
    for combination in itertools.combinations(species.taxa(), 4):
        names: Quartet = (combination[0], combination[1], combination[2], combination[3])
        code, length = quartet_internal_length(species, names)
        counts = gene_trees.tally_single_quartet(names)
        comparisons.append(QuartetComparison(names, code, length, counts))
    return comparisons


def plot_quartet_frequencies(comparisons: Sequence[QuartetComparison], path: Path) -> None:
    """Observed frequencies of the matching and the two other topologies against t, with the
    predicted curves."""
    lengths = np.linspace(0.0, max(c.internal_length for c in comparisons) * 1.05, 200)
    figure, axes = plt.subplots(figsize=(7, 4.5))
    axes.plot(lengths, 1.0 - 2.0 / 3.0 * np.exp(-lengths), color="black", label="predicted, matching: 1 - 2/3 e^-t")
    axes.plot(lengths, np.exp(-lengths) / 3.0, color="grey", linestyle="--", label="predicted, each other: 1/3 e^-t")
    for comparison in comparisons:
        if comparison.counted == 0:
            continue
        for code, count in enumerate(comparison.counts):
            matching = code == comparison.species_code
            axes.errorbar(
                comparison.internal_length,
                count / comparison.counted,
                yerr=2.0 * comparison.standard_error,
                fmt="o" if matching else "x",
                color="tab:blue" if matching else "tab:orange",
                markersize=5,
                capsize=2,
            )
    axes.plot([], [], "o", color="tab:blue", label="observed, species-tree topology (±2 SE)")
    axes.plot([], [], "x", color="tab:orange", label="observed, other two topologies")
    axes.set_xlabel("internal branch length t of the species quartet (coalescent units)")
    axes.set_ylabel("fraction of gene trees")
    axes.set_title(f"Quartet frequencies in {comparisons[0].counted} simulated gene trees")
    axes.set_ylim(-0.02, 1.02)
    axes.legend(fontsize=8, loc="center right")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def plot_quintet_frequencies(names: Quintet, counts: Sequence[int], species_code: int, path: Path) -> None:
    """Bar chart of the fifteen quintet topologies, the species tree's one highlighted."""
    total = sum(counts)
    fractions = [count / total if total else 0.0 for count in counts]
    labels = [f"{code}: {topology}" for code, topology in enumerate(quintet_topologies(names))]
    colours = ["tab:blue" if code == species_code else "tab:grey" for code in range(len(counts))]
    figure, axes = plt.subplots(figsize=(8.5, 5.5))
    axes.barh(range(len(counts)), fractions, color=colours)
    for code, (count, fraction) in enumerate(zip(counts, fractions)):
        axes.text(fraction, code, f" {count}", va="center", fontsize=8)
    axes.set_yticks(range(len(counts)))
    axes.set_yticklabels(labels, fontsize=8)
    axes.invert_yaxis()
    axes.set_xlabel("fraction of classified gene trees (blue: the species tree)")
    axes.set_xlim(0.0, max(fractions + [0.01]) * 1.12)
    axes.set_title(f"tally_single_quintet over {total} classified trees")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def plot_time_table(names: Quintet, table: Sequence[float], path: Path) -> None:
    """Heatmap of the relative pair lengths per quintet code, with each code's share."""
    shares = time_table_shares(table)
    codes = [code for code, share in enumerate(shares) if share > 0]
    topologies = quintet_topologies(names)
    matrix = np.array([time_table_block(table, code) for code in codes])
    figure, axes = plt.subplots(figsize=(9, 1.2 + 0.38 * len(codes)))
    image = axes.imshow(matrix, aspect="auto", cmap="viridis")
    axes.set_xticks(range(len(PAIRS)))
    axes.set_xticklabels(pair_labels(names), rotation=45, ha="right", fontsize=8)
    axes.set_yticks(range(len(codes)))
    axes.set_yticklabels([f"{code}: {topologies[code]}  ({shares[code]:.1%})" for code in codes], fontsize=8)
    figure.colorbar(image, ax=axes, label="relative path length (row sums to 1)")
    axes.set_title("coalesence_times_by_topology: relative pair lengths per topology")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def print_quartet_report(comparisons: Sequence[QuartetComparison]) -> bool:
    """Prints observed against predicted; returns whether every quartet lies within 4 SE."""
    print(f"{'quartet (species-tree split)':<42} {'t':>5} {'predicted':>9} {'observed':>9} {'z':>6}")
    consistent = True
    for c in sorted(comparisons, key=lambda c: c.internal_length):
        z = (c.observed - c.predicted) / c.standard_error if c.standard_error > 0 else 0.0
        consistent = consistent and abs(z) <= 4.0
        split = quartet_topology(c.names, c.species_code)
        print(f"{split:<42} {c.internal_length:5.2f} {c.predicted:9.3f} {c.observed:9.3f} {z:6.2f}")
    return consistent


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=1000, help="number of gene trees (default 1000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--species-tree", default=APE_SPECIES_TREE, help="ultrametric Newick, lengths in coalescent units")
    parser.add_argument("--quintet", nargs=5, metavar="NAME", help="five taxa for the quintet plots")
    parser.add_argument("--tree-file", type=Path, help="where to write the gene trees (default: in --output-dir)")
    parser.add_argument("--output-dir", type=Path, default=OUTPUT_DIR, help="folder for the plots")
    parser.add_argument("--precision", type=int, default=4, help="decimals of the branch lengths written")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    output_dir: Path = arguments.output_dir
    output_dir.mkdir(parents=True, exist_ok=True)
    tree_file: Path = arguments.tree_file or output_dir / "simulated_gene_trees.tre"

    species = load_species_tree(arguments.species_tree, output_dir)
    taxa = species.taxa()
    if len(taxa) < 5:
        print("the species tree needs at least five taxa", file=sys.stderr)
        return 2
    gene_newicks = simulate_gene_trees(arguments.species_tree, taxa, arguments.trees, arguments.seed, arguments.precision)
    written = write_tree_file(tree_file, gene_newicks)
    print(f"wrote {written} gene trees to {tree_file}")

    gene_trees = treetally.TreeSet(tree_file)
    comparisons = compare_quartets(gene_trees, species)
    consistent = print_quartet_report(comparisons)
    print("all quartets within 4 standard errors of the prediction" if consistent else "WARNING: some quartets deviate by more than 4 standard errors")

    default_quintet = DEFAULT_QUINTET if set(DEFAULT_QUINTET) <= set(taxa) else tuple(taxa[:5])
    chosen = arguments.quintet or default_quintet
    quintet: Quintet = (chosen[0], chosen[1], chosen[2], chosen[3], chosen[4])
    quintet_counts = gene_trees.tally_single_quintet(quintet)
    species_code = species[0].retrieve_quintet_type(quintet)
    time_table = gene_trees.coalesence_times_by_topology(quintet)
    first_quartet = comparisons[0]
    print(f"\nquartet tally for {first_quartet.names}:\n{format_quartet_tally(first_quartet.names, first_quartet.counts)}")
    print(f"\nquintet tally for {quintet} (species tree: code {species_code}):\n{format_quintet_tally(quintet, quintet_counts)}")
    print(f"\ntime table for {quintet}:\n{format_time_table(quintet, time_table)}")

    plots: Dict[str, Path] = {
        "quartets": output_dir / "quartet_frequencies.png",
        "quintets": output_dir / "quintet_frequencies.png",
        "times": output_dir / "time_table.png",
    }
    plot_quartet_frequencies(comparisons, plots["quartets"])
    plot_quintet_frequencies(quintet, quintet_counts, -1 if species_code is None else species_code, plots["quintets"])
    plot_time_table(quintet, time_table, plots["times"])
    print("\nplots: " + ", ".join(str(path) for path in plots.values()))
    return 0 if consistent else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
