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
import sys
from pathlib import Path
from typing import Dict, Iterator, Sequence, Tuple

import msprime

import treetally
from treetally_tools import (
    SpeciesQuartet,
    compare_with_species_tree,
    load_trees,
    quartet_tally,
    quintet_tally,
    time_table,
)
from treetally_tools.plots import plot_quartet_concordance, plot_quintet_frequencies, plot_time_table

# An ape-like species tree, ultrametric, branch lengths in coalescent units (illustrative values,
# chosen to give internal branches from 0.5 to 5 units, i.e. from heavy to little incomplete
# lineage sorting).
APE_SPECIES_TREE = (
    "((((Human:1.0,Chimp:1.0):0.5,Gorilla:1.5):1.5,Orangutan:3.0):1.0,"
    "(Gibbon:2.0,Siamang:2.0):2.0);"
)
DEFAULT_QUINTET = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
OUTPUT_DIR = Path(__file__).resolve().parent / "output"

Quintet = Tuple[str, str, str, str, str]


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


def write_tree_file(path: Path, newicks: Iterator[str]) -> int:
    """Writes one Newick per line; returns the number of trees written."""
    path.parent.mkdir(parents=True, exist_ok=True)
    written = 0
    with path.open("w", encoding="utf-8") as out:
        for newick in newicks:
            out.write(newick.strip() + "\n")
            written += 1
    return written


def print_quartet_report(comparisons: Sequence[SpeciesQuartet]) -> bool:
    """Prints observed against expected; returns whether every quartet lies within 4 SE."""
    print(f"{'quartet (species-tree split)':<42} {'t':>5} {'expected':>9} {'observed':>9} {'z':>6}")
    consistent = True
    for c in sorted(comparisons, key=lambda c: c.internal_length):
        z = (c.observed - c.expected) / c.standard_error if c.standard_error > 0 else 0.0
        consistent = consistent and abs(z) <= 4.0
        print(f"{c.topology:<42} {c.internal_length:5.2f} {c.expected:9.3f} {c.observed:9.3f} {z:6.2f}")
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

    species = load_trees([arguments.species_tree])
    taxa = species.taxa()
    if len(taxa) < 5:
        print("the species tree needs at least five taxa", file=sys.stderr)
        return 2
    gene_newicks = simulate_gene_trees(arguments.species_tree, taxa, arguments.trees, arguments.seed, arguments.precision)
    written = write_tree_file(tree_file, gene_newicks)
    print(f"wrote {written} gene trees to {tree_file}")

    gene_trees = treetally.TreeSet(tree_file)
    comparisons = compare_with_species_tree(gene_trees, species)
    consistent = print_quartet_report(comparisons)
    print("all quartets within 4 standard errors of the prediction" if consistent else "WARNING: some quartets deviate by more than 4 standard errors")

    default_quintet = DEFAULT_QUINTET if set(DEFAULT_QUINTET) <= set(taxa) else tuple(taxa[:5])
    chosen: Sequence[str] = arguments.quintet or default_quintet
    quintet: Quintet = (chosen[0], chosen[1], chosen[2], chosen[3], chosen[4])
    quintets = quintet_tally(gene_trees, quintet)
    species_code = species[0].retrieve_quintet_type(quintet)
    times = time_table(gene_trees, quintet)
    print("\n" + quartet_tally(gene_trees, comparisons[0].taxa).to_text())
    print(f"\n{quintets.to_text()}\n(the species tree's quintet is code {species_code})")
    print("\n" + times.to_text())

    plots: Dict[str, Path] = {
        "quartets": output_dir / "quartet_frequencies.png",
        "quintets": output_dir / "quintet_frequencies.png",
        "times": output_dir / "time_table.png",
    }
    title = f"Quartet concordance in {written} simulated gene trees"
    plot_quartet_concordance(comparisons, plots["quartets"], title=title)
    plot_quintet_frequencies(quintets, plots["quintets"], highlight=species_code, highlight_label="the species tree")
    plot_time_table(times, plots["times"])
    print("\nplots: " + ", ".join(str(path) for path in plots.values()))
    return 0 if consistent else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
