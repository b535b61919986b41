"""Species trees from quartet counts: QDC gives back the topology of the tree whose quartets it
is fed, WQDC its internal lengths as well, and QDC finds the model tree of a simulation. Trees
are compared quartet by quartet, as the module reads them."""

import itertools
import math
import random
import signal
import subprocess
import sys
import textwrap

import pytest
import treetally

import reference
from treetally_tools import TopologyTable, UndefinedDistanceError, UnresolvedQuartetsWarning, UsageError, _engine
from treetally_tools import species_tree as species_tree_of
from treetally_tools.codes import PAIRS, QUARTET_SPLITS
from treetally_tools.species_tree import JoinedTree, neighbor_joining, newick, quartet_distances, species_tree


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


@pytest.mark.parametrize("builder", ["fastme", "nj"])
@pytest.mark.parametrize("seed", range(12))
def test_both_give_back_the_tree_whose_quartets_they_get(write_trees, seed, builder):
    generator = random.Random(seed)
    taxa = [f"t{k}" for k in range(generator.randint(4, 13))]
    generator.shuffle(taxa)
    truth = shapes(tree_of(random_tree(taxa, generator), write_trees), sorted(taxa))

    def expected_counts(names):  # as the coalescent expects them, for 10^11 gene trees
        code, t = truth[names]
        return [round(1e11 * ((1 - 2 / 3 * math.exp(-t)) if k == code else math.exp(-t) / 3)) for k in range(3)]

    columns = quartet_columns(sorted(taxa), expected_counts)
    qdc = shapes(tree_of(species_tree(sorted(taxa), columns, builder=builder), write_trees), sorted(taxa))
    assert {names: code for names, (code, _) in qdc.items()} == {names: code for names, (code, _) in truth.items()}
    wqdc = species_tree(sorted(taxa), columns, weighted=True, builder=builder)
    wqdc = shapes(tree_of(wqdc, write_trees), sorted(taxa))
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


def random_rows(taxon_count, generator):
    """Every quartet of `taxon_count` taxa (slots shuffled) with small counts, so that ties,
    unresolved quartets and single topologies all occur."""
    rows = []
    for quartet in itertools.combinations(range(taxon_count), 4):
        slots = list(quartet)
        generator.shuffle(slots)
        rows.append(slots + [generator.choice([0, 0, 1, 2, 3, 3, 5]) for _ in range(3)])
    return rows


def columns_of(rows):
    return {name: [row[k] for row in rows] for k, name in enumerate(["t1", "t2", "t3", "t4", "count_0", "count_1", "count_2"])}


@pytest.mark.parametrize("seed", range(8))
def test_distances_and_joining_equal_the_row_by_row_reference(seed):
    generator = random.Random(100 + seed)
    n = generator.randint(4, 11)
    rows = random_rows(n, generator)
    qdc = quartet_distances(n, columns_of(rows))
    assert qdc == reference.quartet_distances(n, rows)  # whole numbers: exactly
    wqdc = quartet_distances(n, columns_of(rows), weighted=True)
    expected = reference.quartet_distances(n, rows, weighted=True)
    assert wqdc == [[pytest.approx(value, rel=1e-12, abs=1e-12) for value in row] for row in expected]
    # Joining makes the same arithmetic in the same order: the same tree to the bit.
    for matrix in (qdc, wqdc, [[generator.uniform(0, 9) for _ in range(n)] for _ in range(n)]):
        assert tuple(neighbor_joining(matrix)) == reference.neighbor_joining(matrix)
    taxa = [f"x{k}" for k in range(n)]
    if all(row[4:] != [0, 0, 0] for row in rows):  # every pair meets
        joined = newick(JoinedTree(*reference.neighbor_joining(qdc)), taxa)
        assert species_tree(taxa, columns_of(rows), builder="nj") == joined


def random_gene_trees(taxa, count, generator, keep=0.8, polytomies=0.2):
    """Random rooted trees over random subsets of `taxa`, some nodes polytomies."""
    lines = []
    for _ in range(count):
        nodes = [name for name in taxa if generator.random() < keep] or list(taxa[:2])
        while len(nodes) > 1:
            width = 3 if len(nodes) > 2 and generator.random() < polytomies else 2
            picked = generator.sample(range(len(nodes)), width)
            joined = "(" + ",".join(nodes[k] for k in picked) + ")"
            nodes = [node for k, node in enumerate(nodes) if k not in picked] + [joined]
        lines.append(nodes[0] + ";")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(6))
def test_trees_counted_without_a_table_give_the_tree_of_the_table(write_trees, seed):
    generator = random.Random(seed)
    taxa = [f"s{k}" for k in range(generator.randint(5, 12))]
    path = write_trees(random_gene_trees(taxa, generator.randint(20, 60), generator))
    with TopologyTable(str(path), 4) as table:
        names, columns = table.taxa, table.to_columns()
    for weighted in (False, True):
        expected = species_tree(names, columns, weighted)
        for jobs in (1, 2, 0):
            assert species_tree_of(str(path), weighted=weighted, jobs=jobs) == expected


def test_progress_hears_of_every_quartet_and_may_stop_the_count(write_trees):
    generator = random.Random(3)
    taxa = [f"s{k}" for k in range(30)]
    trees = treetally.TreeSet(str(write_trees(random_gene_trees(taxa, 50, generator))))
    heard = []
    found = _engine.quartet_distances(trees, tuple(trees.taxa()), False, 2, heard.append)
    assert sum(heard) == found[1] == math.comb(30, 4) and len(heard) > 1

    def stop(rows):
        raise KeyError("stop")

    with pytest.raises(KeyError, match="stop"):
        _engine.quartet_distances(trees, tuple(trees.taxa()), True, 2, stop)


@pytest.mark.parametrize(
    "text, pair, count",
    [
        ("((A,B),(C,D));\n((A,B),(C,E));\n", ("D", "E"), 1),  # D and E never share a tree
        ("(A,B,C,D,E);\n((A,B),(C,D));\n", ("E", "A"), 4),  # E only where nothing is resolved
        ("(A,B,C,D,E);\n", None, 10),  # nothing resolved
    ],
)
def test_taxa_whose_distance_is_undefined_are_refused(write_trees, capsys, text, pair, count):
    path = write_trees(text)
    with pytest.raises(UndefinedDistanceError) as raised:
        species_tree_of(str(path))
    assert raised.value.count == count and (pair is None or raised.value.pair == pair)
    assert isinstance(raised.value, ValueError) and not isinstance(raised.value, UsageError)
    from treetally_tools.cli import main

    assert main(["species-tree", str(path), "--weighted"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and len(err.splitlines()) == 1 and "their distance is undefined" in err


def test_most_quartets_unresolved_warns_in_one_line(write_trees, capsys):
    # Only quartets holding A and B are resolved (6 of 15), yet every pair meets in one.
    path = write_trees("((A,B),C,D,E,F);\n")
    with pytest.warns(UnresolvedQuartetsWarning, match="9 of the 15 quartets \\(60%\\) are resolved by no tree"):
        tree = species_tree_of(str(path))
    assert tree.count(",") == 5
    from treetally_tools.cli import main

    assert main(["species-tree", str(path)]) == 0
    out, err = capsys.readouterr()
    assert out == tree + "\n" and err.splitlines() == [
        "treetally: warning: 9 of the 15 quartets (60%) are resolved by no tree: the species tree rests on the few that are"
    ]


LONG_SPECIES_TREE = textwrap.dedent(
    """
    import random, sys, time, treetally
    from treetally_tools import species_tree
    path = sys.argv[1]
    with open(path, "w") as out:
        rng = random.Random(1)
        for _ in range(400):
            names = ["t%d" % k for k in range(200)]
            rng.shuffle(names)
            while len(names) > 1:
                a, b = names.pop(), names.pop()
                names.insert(rng.randrange(len(names) + 1), "(%s,%s)" % (a, b))
            out.write(names[0] + ";\\n")
    trees = treetally.TreeSet(path)
    started = time.monotonic()
    try:  # a signal right after the line below must land inside the try
        print("counting", flush=True)
        species_tree(trees, jobs=2)
    except KeyboardInterrupt:
        print("interrupted after %.1f s" % (time.monotonic() - started), flush=True)
    """
)


@pytest.mark.skipif(sys.platform != "linux", reason="signals to a child process")
def test_ctrl_c_stops_the_counting_threads(tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", LONG_SPECIES_TREE, str(tmp_path / "big.tre")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        assert child.stdout.readline() == "counting\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert out.startswith("interrupted"), err
    assert child.returncode == 0


# A child loads 20,000 trees and is refused by the engine: seconds of native work.
@pytest.mark.slow
def test_memory_is_estimated_before_counting(tmp_path):
    with pytest.raises(MemoryError, match="needs about"):
        quartet_distances(10**9, columns_of([]))
    # 4000 taxa that never share a tree, under 2 GB of address space: refused before counting.
    script = textwrap.dedent(
        """
        import resource, sys, treetally
        from treetally_tools import species_tree
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        with open(sys.argv[1], "w") as out:
            for tree in range(20000):
                out.write("(%s);\\n" % ",".join("t%d" % (tree * 2 + k) for k in range(2)))
        trees = treetally.TreeSet(sys.argv[1])
        try:
            species_tree(trees, trees.taxa()[:4000])
        except MemoryError as error:
            print(error)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "sparse.tre")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("a species tree over 4000 taxa and 20000 trees needs about"), done.stdout


def test_refusals():
    with pytest.raises(ValueError, match="at least four taxa"):
        species_tree("ABC", {**{f"t{k}": [] for k in range(1, 5)}, **{f"count_{c}": [] for c in range(3)}})
    with pytest.raises(ValueError, match="at least three taxa"):
        neighbor_joining([[0.0, 1.0], [1.0, 0.0]])
    with pytest.raises(UsageError, match="3 values in every row"):
        neighbor_joining([[0.0, 1.0, 2.0], [1.0, 0.0], [2.0, 1.0, 0.0]])
    with pytest.raises(UsageError, match="finite"):
        neighbor_joining([[0.0, 1.0, math.nan], [1.0, 0.0, 1.0], [math.nan, 1.0, 0.0]])
    for bad, fragment in (([9, 1, 2, 3, 1, 0, 0], "out of range"), ([0, 1, 2, 1, 1, 0, 0], "a taxon twice"),
                          ([0, 1, 2, 3, -1, 0, 0], "negative count")):  # fmt: skip
        with pytest.raises(UsageError, match=fragment):
            quartet_distances(5, columns_of([bad]))
