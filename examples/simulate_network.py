# Simulates gene trees on a level-1 species network with msprime and writes them, one Newick
# tree per line, for `treetally nanuq` and `treetally blobs`: (((b,c),a),(d,e)) with a hybrid h
# of b and c just above the tips, so that b, c, h and the clade of a, d and e hang from one
# 4-cycle. Needs the [examples] extra (msprime).
"""Gene trees of a level-1 network with one 4-cycle: python simulate_network.py [--trees N]
[--seed S] [--gamma G] [--output PATH]; then treetally blobs PATH finds the cycle as a blob."""

import argparse
import sys
from typing import Iterator

import msprime


def network_trees(trees: int, seed: int, gamma: float) -> Iterator[str]:
    """`trees` gene-tree topologies (Newick, no lengths) of the network; `gamma` of h's genes
    come from b, the rest from c. Times in coalescent units (one haploid individual)."""
    demography = msprime.Demography()
    for name in ["a", "b", "c", "d", "e", "h", "bc", "abc", "de", "root"]:
        demography.add_population(name=name, initial_size=1)
    demography.add_admixture(time=0.2, derived="h", ancestral=["b", "c"], proportions=[gamma, 1 - gamma])
    demography.add_population_split(time=1.0, derived=["d", "e"], ancestral="de")
    demography.add_population_split(time=1.2, derived=["b", "c"], ancestral="bc")
    demography.add_population_split(time=2.0, derived=["a", "bc"], ancestral="abc")
    demography.add_population_split(time=3.0, derived=["abc", "de"], ancestral="root")
    replicates = msprime.sim_ancestry(
        samples={name: 1 for name in "abcdeh"}, demography=demography, ploidy=1, num_replicates=trees,
        random_seed=seed,
    )  # fmt: skip
    for ts in replicates:
        labels = {u: ts.population(ts.node(u).population).metadata["name"] for u in ts.samples()}
        yield ts.first().as_newick(node_labels=labels, include_branch_lengths=False)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=500)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--gamma", type=float, default=0.4, help="share of h's genes from b (default 0.4)")
    parser.add_argument("--output", default="network_trees.tre")
    arguments = parser.parse_args()
    if not 0 < arguments.gamma < 1 or arguments.trees < 1:
        sys.exit("simulate_network.py: --gamma lies strictly between 0 and 1 and --trees is 1 or more")
    with open(arguments.output, "w", encoding="utf-8") as out:
        for line in network_trees(arguments.trees, arguments.seed, arguments.gamma):
            out.write(line + "\n")
    print(f"{arguments.trees} gene trees written to {arguments.output}")


if __name__ == "__main__":
    main()
