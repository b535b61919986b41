"""Species-tree columns of a quartet table: hand-computed rows of a species tree with known
branches, the columns against the row-by-row answers and against compare_with_species_tree,
and the refusals."""

import itertools
import math
from pathlib import Path

import pytest
import treetally

from treetally_tools import compare_with_species_tree
from treetally_tools.species_columns import COLUMNS, SpeciesTree, dominant_code, estimated_length, species_columns

APES = Path(__file__).resolve().parents[2] / "examples" / "data" / "apes-6taxa-1000genes.tre"
# Internal branches: Human-Chimp 0.5 below the Human-Chimp-Gorilla node, 1.5 more to the great
# apes' node, 1 to the root and 2 to the Gibbon-Siamang node.
SPECIES = ["((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"]


def columns_of(taxa, quartets, counts):
    """A table's columns from quartets of taxon indexes and their counts."""
    columns = {f"t{k + 1}": [quartet[k] for quartet in quartets] for k in range(4)}
    columns.update({f"count_{code}": [row[code] for row in counts] for code in range(3)})
    return columns


@pytest.mark.parametrize(
    "names, counts, code, length, dominant, estimate",
    [
        (("Human", "Chimp", "Gorilla", "Orangutan"), (620, 182, 198), 0, 0.5, 0, -math.log(1.5 * 0.38)),
        (("Human", "Gorilla", "Chimp", "Orangutan"), (182, 620, 198), 1, 0.5, 1, -math.log(1.5 * 0.38)),
        (("Gibbon", "Human", "Siamang", "Chimp"), (5, 5, 0), 1, 5.0, 0, -math.log(0.75)),  # tie: lowest code
        (("Gorilla", "Gibbon", "Siamang", "Orangutan"), (0, 3, 3), 2, 3.0, 1, -math.log(0.75)),
        (("Human", "Chimp", "Gibbon", "Siamang"), (7, 0, 0), 0, 5.0, 0, math.inf),
        (("Human", "Chimp", "Gibbon", "Siamang"), (4, 4, 4), 0, 5.0, 0, math.nan),  # CF = 1/3
        (("Human", "Chimp", "Gibbon", "Siamang"), (0, 0, 0), 0, 5.0, -1, math.nan),
    ],
)
def test_rows_of_a_species_tree_with_known_branches(names, counts, code, length, dominant, estimate):
    row = SpeciesTree(SPECIES).row(names, counts)
    assert (row.species_code, row.dominant_code, row.dominant_is_species) == (code, dominant, dominant == code)
    assert row.species_length == pytest.approx(length)
    assert row.expected_concordance == pytest.approx(1 - 2 / 3 * math.exp(-length))
    assert row.estimated_length == pytest.approx(estimate, nan_ok=True)
    assert dominant_code(counts) == row.dominant_code
    assert estimated_length(counts) == pytest.approx(estimate, nan_ok=True)


def test_columns_agree_with_the_rows_and_with_compare_with_species_tree():
    genes = treetally.TreeSet(str(APES))
    taxa = ("Siamang", "Human", "Orangutan", "Chimp", "Gibbon", "Gorilla")  # not the species tree's order
    quartets = list(itertools.combinations(range(len(taxa)), 4))
    counts = [genes.tally_single_quartet(tuple(taxa[i] for i in quartet)) for quartet in quartets]
    found = species_columns(SPECIES, taxa, columns_of(taxa, quartets, counts))
    assert list(found) == list(COLUMNS) and all(len(column) == 15 for column in found.values())
    species = SpeciesTree(SPECIES)
    compared = {q.taxa: q for q in compare_with_species_tree(genes, SPECIES, taxa)}
    for k, (quartet, row_counts) in enumerate(zip(quartets, counts)):
        names = tuple(taxa[i] for i in quartet)
        row = [float(value) for value in species.row(names, row_counts)]
        assert [float(found[name][k]) for name in COLUMNS] == pytest.approx(row, nan_ok=True)
        assert (found["species_code"][k], found["species_length"][k]) == (
            compared[names].species_code, pytest.approx(compared[names].internal_length),
        )  # fmt: skip


def test_simulated_gene_trees_favour_the_species_quartets(shared_file):
    genes = treetally.TreeSet(str(shared_file("palaeognaths-14taxa-10000sim.tre")))
    taxa = genes.taxa()
    quartets = list(itertools.combinations(range(len(taxa)), 4))
    counts = [genes.tally_single_quartet(tuple(taxa[i] for i in quartet)) for quartet in quartets]
    # The model tree has internal lengths only (no leaf lengths), in coalescent units.
    model = shared_file("palaeognaths-14taxa-model-species-tree.tre")
    found = species_columns(model, taxa, columns_of(taxa, quartets, counts))
    assert all(found["dominant_is_species"])
    informative = [k for k, length in enumerate(found["species_length"]) if length < 2.5]
    assert max(abs(found["estimated_length"][k] - found["species_length"][k]) for k in informative) < 0.05


@pytest.mark.parametrize(
    "species, taxa, message",
    [
        (SPECIES, ("Human", "Bonobo", "Chimp", "Gorilla", "Macaque"), r"lacks 2 .*'Bonobo', 'Macaque'"),
        (["((A,B),(C,D));"], tuple("ABCD"), "no branch lengths"),
        ([""], tuple("ABCD"), "lacks 4"),
    ],
)
def test_refusals_name_what_is_wrong(species, taxa, message):
    quartets = list(itertools.combinations(range(len(taxa)), 4))
    with pytest.raises(ValueError, match=message) as raised:
        species_columns(species, taxa, columns_of(taxa, quartets, [(1, 0, 0)] * len(quartets)))
    assert "\n" not in str(raised.value)


def test_without_lengths_the_topology_still_serves():
    found = species_columns(["((A,B),(C,D));"], "DACB", columns_of("DACB", [(0, 1, 2, 3)], [(0, 2, 1)]), lengths=False)
    assert list(found) == ["species_code", "dominant_code", "dominant_is_species", "estimated_length"]
    assert (found["species_code"][0], found["dominant_code"][0], found["dominant_is_species"][0]) == (1, 1, 1)
