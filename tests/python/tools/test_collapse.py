"""Short and weakly supported branches as polytomies: the companion's tallies and tables against
a hand tally in DendroPy that contracts the same branches, on random trees with zero lengths and
support labels and on a sample of the palaeognath simulations; the refusals."""

import gzip
import itertools
import random
import subprocess
import sys

import pytest
import treetally

from treetally_tools import TreeFileError, load_trees, quartet_table, quartet_tally, time_table
from treetally_tools.codes import QUARTET_SPLITS

dendropy = pytest.importorskip("dendropy")


def hand_codes(path, quartets, collapse_length=None, min_support=None):
    """Per quartet, the DendroPy tally [code 0, code 1, code 2, unresolved] after contracting
    every internal branch but the root's that is written with a length at most collapse_length
    (a branch without a length is kept) or whose label is a support below min_support."""
    tally = {quartet: [0, 0, 0, 0] for quartet in quartets}
    for line in open(path):
        tree = dendropy.Tree.get(data=line, schema="newick", preserve_underscores=True, rooting="force-rooted")
        weak = [
            node for node in tree.postorder_internal_node_iter(exclude_seed_node=True)
            if (collapse_length is not None and node.edge.length is not None and node.edge.length <= collapse_length)
            or (min_support is not None and node.label is not None and float(node.label) < min_support)
        ]  # fmt: skip
        for node in weak:
            node.edge.collapse()
        clades = [
            {leaf.taxon.label for leaf in node.leaf_iter()}
            for node in tree.postorder_internal_node_iter(exclude_seed_node=True)
        ]
        held = {leaf.taxon.label for leaf in tree.leaf_node_iter()}
        for quartet in quartets:
            if not set(quartet) <= held:
                continue
            splits = [c for c, ((a, b), _) in enumerate(QUARTET_SPLITS) if any(
                len(clade & set(quartet)) == 2 and (quartet[a] in clade) == (quartet[b] in clade) for clade in clades
            )]  # fmt: skip
            tally[quartet][splits[0] if splits else 3] += 1
    return tally


def random_trees(path, count, seed):
    """Trees of 6 to 8 taxa with lengths 0, 0.05 or larger and support labels 0 to 100 on
    some internal nodes, rooted with two or three children."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        nodes = [f"T{k}:{rng.choice([0, 0.05, 1])}" for k in rng.sample(range(8), rng.randint(6, 8))]
        while len(nodes) > rng.choice([2, 3]):
            children = [nodes.pop(rng.randrange(len(nodes))) for _ in range(rng.choice([2, 2, 3]))]
            label = rng.choice(["", str(rng.randint(0, 100))])
            nodes.append(f"({','.join(children)}){label}:{rng.choice([0, 0, 0.05, 0.1, 2])}")
        lines.append(f"({','.join(nodes)});\n")
    path.write_text("".join(lines))
    return path


@pytest.mark.parametrize(
    "collapse_length, min_support",
    [(None, None), (0, None), (0.05, None), (0.1, None), (None, 50), (None, 101), (0.05, 50)],
)
def test_tallies_and_tables_against_a_hand_tally(tmp_path, collapse_length, min_support):
    path = random_trees(tmp_path / "trees.tre", 300, seed=7)
    taxa = [f"T{k}" for k in range(6)]
    quartets = list(itertools.combinations(taxa, 4))
    expected = hand_codes(path, quartets, collapse_length, min_support)
    rule = {"collapse_length": collapse_length, "min_support": min_support}
    for quartet in quartets[:4]:
        tally = quartet_tally(path, quartet, **rule)
        assert [*tally.counts, tally.unresolved] == expected[quartet], quartet
    with quartet_table(path, taxa, **rule) as table:
        assert {row.taxa: [*row.counts, row.unresolved] for row in table} == expected
    packed = tmp_path / "trees.tre.gz"  # the piped load takes the same rule
    packed.write_bytes(gzip.compress(path.read_bytes()))
    assert list(quartet_tally(packed, quartets[0], **rule).counts) == expected[quartets[0]][:3]


@pytest.mark.slow
def test_palaeognath_quartets_resolved_only_by_zero_length_branches(shared_file, tmp_path):
    full = shared_file("palaeognaths-14taxa-10000sim.tre")
    tally = quartet_tally(full, ("galGal", "droNov", "eudEle", "rhePen"), collapse_length=0)
    assert (tally.unresolved, quartet_tally(full, ("galGal", "droNov", "eudEle", "rhePen")).unresolved) == (2845, 0)
    sample = tmp_path / "sample.tre"
    sample.write_text("".join(open(full).readlines()[::10]))
    taxa = load_trees(sample).taxa()
    quartets = random.Random(3).sample(list(itertools.combinations(taxa, 4)), 12)
    quartets.append(("galGal", "droNov", "eudEle", "rhePen"))
    expected = hand_codes(sample, quartets, collapse_length=0)
    found = {q: quartet_tally(sample, q, collapse_length=0) for q in quartets}
    assert {q: [*t.counts, t.unresolved] for q, t in found.items()} == expected
    assert any(counts[3] for counts in expected.values())


def test_a_contracted_branch_leaves_every_path_through_it(write_trees):
    names = ("A", "B", "C", "D", "E")
    collapsed = time_table(write_trees("((((A:1,B:1):1,C:1):0.1,F:1):1,(D:1,E:1):1);\n"), names, collapse_length=0.1)
    written_without = time_table(write_trees("(((A:1,B:1):1,C:1,F:1):1,(D:1,E:1):1);\n", name="without.nwk"), names)
    assert collapsed == written_without and collapsed.counts[0] == 1


@pytest.mark.parametrize("packed", [False, True])
def test_a_label_that_is_not_a_support_names_the_file_and_line(write_trees, packed):
    text = b"((A,B)90,(C,D)80);\n((A,B)x,(C,D)80);\n"
    path = write_trees(gzip.compress(text) if packed else text, name="trees.gz" if packed else "trees.tre")
    with pytest.raises(TreeFileError, match=f'cannot read {path}: line 2: the internal label "x" is not a support'):
        quartet_tally(path, "ABCD", min_support=50)
    assert quartet_tally(path, "ABCD", collapse_length=0).counts == (2, 0, 0)  # no lengths: nothing to judge


@pytest.mark.parametrize(
    "keywords, error",
    [({"collapse_length": float("nan")}, ValueError), ({"min_support": "50"}, TypeError)],
)
def test_a_rule_that_is_not_a_number_is_refused(write_trees, keywords, error):
    with pytest.raises(error):
        load_trees(write_trees("((A,B),(C,D));\n"), **keywords)


def test_a_loaded_tree_set_cannot_take_a_rule(write_trees):
    trees = treetally.TreeSet(str(write_trees("((A,B),(C,D));\n")))
    with pytest.raises(ValueError, match="give the file"):
        quartet_tally(trees, "ABCD", collapse_length=0)
    with pytest.raises(ValueError, match="give the file"):
        quartet_table(trees, min_support=1)


def test_the_command_collapses_and_reports_a_bad_label(write_trees):
    path = write_trees("((A:1,B:1)95:0.5,(C:1,D:1)20:0.5);\n((A,B)x,(C,D));\n")
    command = [sys.executable, "-m", "treetally_tools"]
    done = subprocess.run(command + ["quartet", str(path), *"ABCD", "--min-support", "50"], capture_output=True)
    assert done.returncode == 1 and done.stdout == b""
    message = f'cannot read {path}: line 2: the internal label "x" is not a support value'
    assert done.stderr.decode() == f"treetally: error: {message}\n"
    done = subprocess.run(command + ["table", str(path), "--size", "4", "--collapse-length", "0.5", "--format", "csv"],
                          capture_output=True)  # fmt: skip
    # The second tree, written without lengths, has nothing the length bound could judge.
    assert done.returncode == 0 and done.stdout.decode().splitlines()[1].startswith("A,B,C,D,1,0,0,2,1,")


@pytest.mark.parametrize(
    "text, counts",
    [
        ("((A,B),(C,D),E);\n", (1, 0, 0, 0)),  # no lengths at all: nothing to judge
        ("((A,B):,(C,D),E);\n", (1, 0, 0, 0)),  # a colon without a number is no length
        ("((A,B):0,(C,D),E);\n", (1, 0, 0, 0)),  # (C,D) still resolves the quartet
        ("((A,B):0,(C,D):0,E);\n", (0, 0, 0, 1)),
        ("((A,C):0.0,(B,D):1,E);\n((A,B),C,D,E);\n", (1, 1, 0, 0)),
    ],
)
@pytest.mark.parametrize("packed", [False, True])
def test_only_branches_written_with_a_length_are_judged_by_it(write_trees, text, counts, packed):
    path = write_trees(gzip.compress(text.encode()) if packed else text, name="t.gz" if packed else "t.tre")
    tally = quartet_tally(path, "ABCD", collapse_length=0)
    assert [*tally.counts, tally.unresolved] == list(counts)


def test_a_file_without_lengths_counts_as_written_under_any_length_bound(shared_file):
    path = shared_file("sim-100taxa-2500trees-nolengths.tre")
    taxa = load_trees(path).taxa()[:5]
    with quartet_table(path, taxa) as plain, quartet_table(path, taxa, collapse_length=1e9) as collapsed:
        assert list(plain) == list(collapsed)
        assert sum(sum(row.counts) for row in collapsed) > 0
