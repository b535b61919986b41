# A first run of treetally: loads a file of gene trees and prints, for named taxa, the quartet
# and quintet tallies and the time table, labelled by treetally_tools.
"""Quartet and quintet tallies of a gene-tree file, printed as readable tables.

    pip install . && python examples/quickstart.py
    python examples/quickstart.py my_gene_trees.tre --quintet A B C D E

Without arguments it reads examples/data/apes-6taxa-1000genes.tre, 1000 gene trees simulated
under the multispecies coalescent by examples/simulate_coalescent.py.
"""

import argparse
import sys
from pathlib import Path
from typing import Optional, Sequence, Tuple

import treetally
from treetally_tools import quartet_tally, quartet_topology, quintet_tally, quintet_topology, time_table

EXAMPLE_FILE = Path(__file__).resolve().parent / "data" / "apes-6taxa-1000genes.tre"
EXAMPLE_QUINTET = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")

Quartet = Tuple[str, str, str, str]
Quintet = Tuple[str, str, str, str, str]


# SingleTree exists for type checkers only (it is no module attribute at run time), so in a
# signature it is written as a string, or under `from __future__ import annotations`.
def describe_tree(tree: "treetally.SingleTree", quartet: Quartet, quintet: Quintet) -> str:
    """What one SingleTree answers; None means a taxon is missing or the tree leaves the
    taxa unresolved."""
    quartet_code = tree.retrieve_quartet_type(quartet)
    quintet_code = tree.retrieve_quintet_type(quintet)
    distances = tree.retrieve_all_pairs_distance(quintet)
    lines = [
        "quartet code: "
        + ("None" if quartet_code is None else f"{quartet_code} = {quartet_topology(quartet, quartet_code)}"),
        "quintet code: "
        + ("None" if quintet_code is None else f"{quintet_code} = {quintet_topology(quintet, quintet_code)}"),
        "path lengths: " + ("None" if distances is None else ", ".join(f"{d:.3f}" for d in distances)),
    ]
    return "\n".join(lines)


def load(path: Path) -> Optional[treetally.TreeSet]:
    """The TreeSet of `path`, or None after printing why it could not be read.

    treetally reports unreadable files through PanicException, which derives from
    BaseException (not Exception) and is not a module attribute: recognise it by name."""
    try:
        return treetally.TreeSet(path)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        print(f"could not load {path}: {error}", file=sys.stderr)
        return None


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tree_file", nargs="?", type=Path, default=EXAMPLE_FILE, help="one Newick tree per line")
    parser.add_argument("--quintet", nargs=5, metavar="NAME", help="five taxon names; the first four form the quartet")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    trees = load(arguments.tree_file)
    if trees is None:
        return 1
    taxa = trees.taxa()
    print(f"{arguments.tree_file.name}: {len(trees)} trees, {len(taxa)} taxa: {', '.join(taxa)}")

    chosen = arguments.quintet or (EXAMPLE_QUINTET if set(EXAMPLE_QUINTET) <= set(taxa) else taxa[:5])
    if len(chosen) != 5 or not set(chosen) <= set(taxa):
        print("give five taxon names of the file with --quintet", file=sys.stderr)
        return 2
    quintet: Quintet = (chosen[0], chosen[1], chosen[2], chosen[3], chosen[4])
    quartet: Quartet = quintet[:4]

    # The module's flat lists (tally_single_quartet, tally_single_quintet,
    # coalesence_times_by_topology), labelled with the names; trees lacking a taxon or leaving
    # the taxa unresolved are not counted, and the summaries say how many there were.
    print("\n" + quartet_tally(trees, quartet).to_text())
    print("\n" + quintet_tally(trees, quintet).to_text())
    print("\n" + time_table(trees, quintet).to_text())
    print("\nThe first tree on its own:")
    print(describe_tree(trees[0], quartet, quintet))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
