"""Species-tree columns of a quartet table: hand-computed rows of a species tree with known
branches, the columns against the row-by-row answers and against compare_with_species_tree,
and the refusals."""

import itertools
import math
from pathlib import Path

import pytest
import treetally

from treetally_tools import TopologyTable, compare_with_species_tree
from treetally_tools.species_columns import COLUMNS, SpeciesTree, dominant_code, estimated_length, species_columns

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
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


# --- how the species tree is given and checked ----------------------------------------------------

PADDED = "(" + ",".join(f"Outgroup_number_{k:03d}:0.1" for k in range(20)) + "," + SPECIES[0][1:]
APE_QUARTET = ("Human", "Chimp", "Gorilla", "Orangutan")


@pytest.mark.parametrize("text", [PADDED, "  \n" + PADDED + "\n", SPECIES[0]])
def test_a_str_starting_with_a_bracket_is_newick_whatever_its_length(text):
    assert len(PADDED) > 255  # longer than a file name may be
    row = SpeciesTree(text).row(APE_QUARTET, (1, 0, 0))
    assert (row.species_code, row.species_length) == (0, pytest.approx(0.5))


def test_a_str_naming_a_file_is_read_as_the_file(tmp_path):
    path = tmp_path / "species.tre"
    path.write_text(SPECIES[0] + "\n")
    assert SpeciesTree(str(path)).taxa == SpeciesTree(SPECIES).taxa


@pytest.mark.parametrize("text", ["", "   ", "\n"])
def test_an_empty_species_tree_is_refused(text):
    with pytest.raises(ValueError, match="the species tree is empty"):
        SpeciesTree(text)


def test_the_first_tree_of_a_file_must_hold_every_taxon_of_the_rows(tmp_path):
    # The second tree holds Gorilla; the first, which serves, does not.
    path = tmp_path / "species.tre"
    path.write_text(SPECIES[0].replace("Gorilla:1.5", "Bonobo:1.5") + "\n" + SPECIES[0] + "\n")
    species = SpeciesTree(path)
    assert "Gorilla" not in species.taxa and "Bonobo" in species.taxa
    taxa = APE_QUARTET
    with pytest.raises(ValueError, match=r"the species tree \(the first tree of its file\) lacks 1 of the taxa: 'Gorilla'"):
        species_columns(species, taxa, columns_of(taxa, [(0, 1, 2, 3)], [(1, 0, 0)]))
    with pytest.raises(ValueError, match="lacks 1 of the taxa: 'Gorilla'"):
        TopologyTable(APES, 4, taxa, species_tree=path)


@pytest.mark.parametrize(
    "species, message",
    [
        (SPECIES[0].replace("):0.5", "):-20"), r"internal branch above 'Human', 'Chimp' whose length -20 is negative"),
        (SPECIES[0].replace("):0.5", "):nan"), r"internal branch above 'Human', 'Chimp' whose length nan is not finite"),
        (SPECIES[0].replace("):1.5", "):inf"), r"internal branch above 'Human', 'Chimp', 'Gorilla' whose length inf"),
        (SPECIES[0].replace("Gibbon:2", "Gibbon:-inf"), r"leaf branch of 'Gibbon' whose length -inf is not finite"),
    ],
)
def test_a_negative_internal_or_a_non_finite_branch_is_refused_by_name(species, message):
    taxa = APE_QUARTET
    with pytest.raises(ValueError, match=message) as raised:
        species_columns([species], taxa, columns_of(taxa, [(0, 1, 2, 3)], [(1, 0, 0)]))
    assert "\n" not in str(raised.value)
    # The topology alone still serves.
    found = species_columns([species], taxa, columns_of(taxa, [(0, 1, 2, 3)], [(1, 0, 0)]), lengths=False)
    assert found["species_code"][0] == 0


@pytest.mark.parametrize(
    "species",
    [
        SPECIES[0].replace("Human:1", "Human:-1"),  # a leaf's length cancels out of every row
        "(((A:1,B:1):0.5,C:1):0,D:1):-3;",  # the root's own length lies between no two taxa
    ],
)
def test_branches_between_no_two_taxa_or_negative_leaves_are_accepted(species):
    tree = SpeciesTree([species])
    assert tree.branch_problem() is None
    tree.require_lengths()
