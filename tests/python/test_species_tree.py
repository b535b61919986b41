"""Species trees from quartet counts: QDC gives back the topology of the tree whose quartets it
is fed, WQDC its internal lengths as well, and QDC finds the model tree of a simulation. Trees
are compared quartet by quartet, as the module reads them."""

import itertools
import math
import random

import pytest
import treetally

from treetally_tools.codes import PAIRS, QUARTET_SPLITS
from treetally_tools.species_tree import neighbor_joining, quartet_distances, species_tree


def shapes(tree, taxa):
    """Each quartet's code in a SingleTree and the four-point length of its internal branch;
    for binary trees, equal codes mean equal unrooted topologies."""
    found = {}
    for names in itertools.combinations(taxa, 4):
        code = tree.retrieve_quartet_type(names)
        d = tree.retrieve_all_pairs_distance(names + names[:1])
        pair = {**{PAIRS[p]: d[p] for p in range(10)}, **{PAIRS[p][::-1]: d[p] for p in range(10)}}
        (a, b), (c, e) = QUARTET_SPLITS[code]
        found[names] = code, (pair[a, c] + pair[b, e] - pair[a, b] - pair[c, e]) / 2
    return found


def tree_of(text, write_trees):
    return treetally.TreeSet(str(write_trees(text + "\n", name="tree.nwk")))[0]


def quartet_columns(taxa, counts_of):
    """Columns of every quartet of `taxa`, counts from counts_of(names)."""
    columns = {name: [] for name in ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2")}
    for quartet in itertools.combinations(range(len(taxa)), 4):
        counts = counts_of(tuple(taxa[i] for i in quartet))
        for k in range(4):
            columns[f"t{k + 1}"].append(quartet[k])
        for code in range(3):
            columns[f"count_{code}"].append(counts[code])
    return columns


def random_tree(taxa, generator):
    """A random binary tree with internal lengths between 0.05 and 2, written as Newick."""
    nodes = list(taxa)
    while len(nodes) > 3:
        a, b = sorted(generator.sample(range(len(nodes)), 2), reverse=True)
        joined = f"({nodes[a]},{nodes[b]}):{generator.uniform(0.05, 2.0)!r}"
        del nodes[a], nodes[b]
        nodes.append(joined)
    return "(" + ",".join(nodes) + ");"


@pytest.mark.parametrize("seed", range(12))
def test_both_give_back_the_tree_whose_quartets_they_get(write_trees, seed):
    generator = random.Random(seed)
    taxa = [f"t{k}" for k in range(generator.randint(4, 13))]
    generator.shuffle(taxa)
    truth = shapes(tree_of(random_tree(taxa, generator), write_trees), sorted(taxa))

    def expected_counts(names):  # as the coalescent expects them, for 10^11 gene trees
        code, t = truth[names]
        return [round(1e11 * ((1 - 2 / 3 * math.exp(-t)) if k == code else math.exp(-t) / 3)) for k in range(3)]

    columns = quartet_columns(sorted(taxa), expected_counts)
    qdc = shapes(tree_of(species_tree(sorted(taxa), columns), write_trees), sorted(taxa))
    assert {names: code for names, (code, _) in qdc.items()} == {names: code for names, (code, _) in truth.items()}
    wqdc = shapes(tree_of(species_tree(sorted(taxa), columns, weighted=True), write_trees), sorted(taxa))
    assert wqdc == {names: (code, pytest.approx(t, rel=1e-6)) for names, (code, t) in truth.items()}


@pytest.mark.parametrize("weighted", [False, True])
def test_tied_counts_favour_no_taxon_order(weighted):
    generator = random.Random(5)
    taxa = [f"x{k}" for k in range(9)]
    votes = {}

    def counts_of(names):
        # Counts per split (named by the side holding the first name in sorted order), so that
        # a quartet gets the same counts in any order.
        first = min(names)
        key = frozenset(names)
        if key not in votes:
            votes[key] = {frozenset((first, other)): generator.choice([0, 3, 3, 7]) for other in sorted(key - {first})}
        sides = [frozenset((names[0], names[k])) for k in (1, 2, 3)]
        return [votes[key][side if first in side else key - side] for side in sides]

    forward = quartet_distances(len(taxa), quartet_columns(taxa, counts_of), weighted)
    backward = quartet_distances(len(taxa), quartet_columns(taxa[::-1], counts_of), weighted)
    mirrored = [[pytest.approx(distance) for distance in reversed(row)] for row in reversed(backward)]
    assert forward == mirrored


def test_qdc_finds_the_model_tree_of_a_simulation(shared_file, write_trees):
    genes = treetally.TreeSet(str(shared_file("palaeognaths-14taxa-10000sim.tre")))
    model = treetally.TreeSet(str(shared_file("palaeognaths-14taxa-model-species-tree.tre")))[0]
    taxa = genes.taxa()
    found = tree_of(species_tree(taxa, quartet_columns(taxa, genes.tally_single_quartet)), write_trees)
    quartets = list(itertools.combinations(taxa, 4))
    assert [found.retrieve_quartet_type(q) for q in quartets] == [model.retrieve_quartet_type(q) for q in quartets]


def test_refusals():
    with pytest.raises(ValueError, match="at least four taxa"):
        species_tree("ABC", {**{f"t{k}": [] for k in range(1, 5)}, **{f"count_{c}": [] for c in range(3)}})
    with pytest.raises(ValueError, match="at least three taxa"):
        neighbor_joining([[0.0, 1.0], [1.0, 0.0]])
