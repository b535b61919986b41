"""NANUQ distances and networks, TINNiK distances and trees of blobs: each quartet class's
distance on hand-made counts, tree-like trees giving their tree back, the same distance for any
jobs or from a table, refusals, the commands, and a simulated 4-cycle found as a blob and as
splits no tree holds together."""

import itertools
import json
import subprocess
import sys
from pathlib import Path

import numpy
import pytest

from treetally_tools import (
    TopologyTable, UnresolvedQuartetsWarning, UsageError, _engine, load_trees, nanuq, nanuq_distance, tinnik_distance,
    tree_of_blobs,
)  # fmt: skip
from treetally_tools.networks import contracted, incompatible_splits
from treetally_tools.species_tree import JoinedTree

SPLITS = {"ab|cd": "((a,b),(c,d));", "ac|bd": "((a,c),(b,d));", "ad|bc": "((a,d),(b,c));"}
TAXA = ["a", "b", "c", "d"]


def counted(write_trees, **counts):
    """A file of gene trees on a, b, c, d holding each split the given number of times."""
    return write_trees("".join(SPLITS[split.replace("_", "|")] + "\n" for split, n in counts.items() for _ in range(n)))


def splits_of(newick, taxa):
    """The non-trivial splits of an unrooted Newick topology, each as the side without taxa[0]."""
    stack, splits = [[]], set()
    for token in newick.replace("(", " ( ").replace(")", " ) ").replace(",", " ").rstrip("; ").split():
        if token == "(":
            stack.append([])
        elif token == ")":
            clade = stack.pop()
            stack[-1].extend(clade)
            side = frozenset(clade) if taxa[0] not in clade else frozenset(taxa) - frozenset(clade)
            if 1 < len(side) < len(taxa) - 1:
                splits.add(side)
        else:
            stack[-1].append(token)
    return splits


def pair_distances(found):
    index = {name: k for k, name in enumerate(found.taxa)}
    return {x + y: found.distance[index[x], index[y]] for x, y in itertools.combinations(TAXA, 2)}


@pytest.mark.parametrize(
    "counts, method, kind, expected",
    [
        # One quartet of four taxa: d = 2 rho + 4.
        ({"ab_cd": 90, "ac_bd": 5, "ad_bc": 5}, nanuq_distance, "tree", dict(ab=4, cd=4, ac=6, ad=6, bc=6, bd=6)),
        ({"ab_cd": 90, "ac_bd": 5, "ad_bc": 5}, tinnik_distance, "tree", dict(ab=4, cd=4, ac=6, ad=6, bc=6, bd=6)),
        # A cycle a-b-d-c... whose least topology ad|bc puts its opposite corners together.
        ({"ab_cd": 45, "ac_bd": 45, "ad_bc": 10}, nanuq_distance, "cycle", dict(ab=5, cd=5, ac=5, bd=5, ad=6, bc=6)),
        ({"ab_cd": 45, "ac_bd": 45, "ad_bc": 10}, tinnik_distance, "cycle", dict(ab=5, cd=5, ac=5, bd=5, ad=5, bc=5)),
        ({"ab_cd": 34, "ac_bd": 33, "ad_bc": 33}, nanuq_distance, "star", dict(ab=5, cd=5, ac=5, bd=5, ad=5, bc=5)),
    ],
)
def test_each_class_adds_its_quartet_distance(write_trees, counts, method, kind, expected):
    found = method(counted(write_trees, **counts), taxa=TAXA)
    assert found.classes[kind] == 1 and sum(found.classes.values()) == 1
    assert pair_distances(found) == expected
    assert (found.distance == found.distance.T).all() and (numpy.diag(found.distance) == 0).all()


def test_levels_move_a_quartet_between_classes(write_trees):
    path = counted(write_trees, ab_cd=45, ac_bd=45, ad_bc=10)
    assert nanuq_distance(path, alpha=0.0, taxa=TAXA).classes["tree"] == 1  # no p-value is below 0
    assert nanuq_distance(path, beta=0.0, taxa=TAXA).classes["star"] == 1  # every p-value is above 0


TREE = "((a,b),c,(d,(e,f)));"


def test_tree_like_trees_give_their_tree_metric_and_tree_back(write_trees):
    path = write_trees(TREE + "\n" * 1 + (TREE + "\n") * 39)
    found = nanuq_distance(path)
    index = {name: k for k, name in enumerate(found.taxa)}
    d = lambda x, y: found.distance[index[x], index[y]]  # noqa: E731
    assert d("a", "b") == 8 and d("a", "f") == 20  # apart in none / all six quartets
    for w, x, y, z in itertools.permutations("abcdef", 4):
        sums = sorted([d(w, x) + d(y, z), d(w, y) + d(x, z), d(w, z) + d(x, y)])
        assert sums[1] == sums[2]  # four-point condition
    assert splits_of(tree_of_blobs(path), "abcdef") == {frozenset("cdef"), frozenset("def"), frozenset("ef")}
    network = nanuq(path)  # a tree's splits, all compatible
    assert not incompatible_splits([split.side for split in network.splits if split.weight > 1e-9], network.taxa)


def test_same_distance_for_any_jobs_and_from_a_table(shared_file):
    path = shared_file("palaeognaths-15taxa-5016introns.tre")
    taxa = ["galGal", "aptHaa", "casCas", "droNov", "rheAme", "strCam", "aptMan"]
    one = nanuq_distance(path, taxa=taxa, jobs=1)
    two = nanuq_distance(path, taxa=taxa, jobs=2)
    assert one.taxa == tuple(taxa) and (one.distance == two.distance).all() and one.classes == two.classes
    assert (one.distance == one.distance.T).all() and sum(one.classes.values()) == 35
    with TopologyTable(path, 4, taxa, unresolved="third") as table:
        from_table = tinnik_distance(table, jobs=2)
        with pytest.raises(UsageError, match="its own"):
            tinnik_distance(table, taxa=taxa[:5])
    spread = tinnik_distance(path, taxa=taxa, unresolved="third")
    assert (from_table.distance == spread.distance).all()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: nanuq_distance(p, alpha=1.5), "alpha is a level"),
        (lambda p: nanuq_distance(p, beta=-0.1), "beta is a level"),
        (lambda p: tinnik_distance(p, test="T3"), "'t3' or 'cut'"),
        (lambda p: tree_of_blobs(p, builder="upgma"), "'fastme' or 'nj'"),
        (lambda p: tinnik_distance(p, test="t4"), "'t3' or 'cut'"),
        (lambda p: tree_of_blobs(p, delta=-1), "delta is a length"),
        (lambda p: nanuq_distance(p, unresolved="half"), "'drop' or 'third'"),
        (lambda p: nanuq_distance(TopologyTable(p, 4), jobs=-1), "jobs must be from 0"),
        (lambda p: tinnik_distance(TopologyTable(p, 4), taxon_map={x: x.upper() for x in "abcd"}), "taxon map are its own"),
    ],
)
def test_refusals(write_trees, call, message):
    with pytest.raises(UsageError, match=message):
        call(counted(write_trees, ab_cd=3))


@pytest.mark.parametrize(
    "method, alpha, message",
    [("upgma", 0.05, "'nanuq' or 'tinnik'"), ("nanuq", float("nan"), "alpha must be a level"), ("tinnik", 2, "alpha")],
)
def test_engine_refuses_unknown_methods_and_levels(write_trees, method, alpha, message):
    trees = load_trees(counted(write_trees, ab_cd=3))
    with pytest.raises(ValueError, match=message):
        _engine.network_distances(trees, tuple(TAXA), method, alpha, 0.5)


def test_quartets_no_tree_resolves_count_as_stars_with_a_warning(write_trees):
    # Only the six quartets of a, b and two others are resolved, by the one split ab|cdef.
    path = write_trees("(a,b,c,d,e,f);\n" * 5 + "(a,b,(c,d,e,f));\n")
    with pytest.warns(UnresolvedQuartetsWarning, match="9 of the 15 quartets"):
        found = nanuq_distance(path)
    assert found.classes["empty"] == 9 and found.classes["empty"] + found.classes["star"] + found.classes["tree"] == 15


def test_contracting_short_edges_leaves_the_blobs_as_multifurcations():
    # ((0,1)4,(2,3)5) joined at centre 6 with 4: nodes 4 and 5 hang from 6; 4's edge is short.
    tree = JoinedTree([4, 4, 5, 5, 6, 6, -1], [1.0, 1.0, 1.0, 1.0, 0.5, 3.0, 0.0])
    shorter = contracted(tree, 4, 2.0)
    assert shorter.parent == [6, 6, 5, 5, -1, 6, -1]
    assert contracted(tree, 4, 0.0).parent == tree.parent


def test_incompatible_splits():
    splits = [("a", "b"), ("b", "c"), ("a", "b", "c"), ("d",)]
    assert incompatible_splits(splits, "abcdef") == [(0, 1)]


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "treetally_tools", *map(str, arguments)], capture_output=True, text=True)


def test_blobs_command_prints_newick_and_refuses_in_one_line(write_trees):
    path = write_trees((TREE + "\n") * 40)
    done = run("blobs", path, "--jobs", "2")
    assert done.returncode == 0 and done.stdout.strip() == tree_of_blobs(path)
    assert run("blobs", path, "--test", "cut", "--builder", "nj").stdout.strip() == tree_of_blobs(path, test="cut", builder="nj")
    for arguments, status in ((["--test", "T3"], 2), (["--builder", "upgma"], 2), (["--alpha", "2"], 2), (["--delta", "-1"], 2)):
        refused = run("blobs", path, *arguments)
        assert refused.returncode == status and refused.stderr.count("\n") == 1, refused.stderr


def test_nanuq_command_writes_json_nexus_and_a_plot(write_trees, tmp_path):
    pytest.importorskip("treetally_tools.neighbor_net")
    path = write_trees((TREE + "\n") * 40)
    written = json.loads(run("nanuq", path, "--format", "json").stdout)
    assert set(written) >= {"taxa", "distance", "splits", "order"}
    assert written["distance"] == nanuq_distance(path).distance.tolist()
    assert run("nanuq", path).stdout.startswith("#NEXUS")
    pytest.importorskip("matplotlib")
    assert run("nanuq", path, "--plot", tmp_path / "network.png", "--dpi", 50).returncode == 0
    assert (tmp_path / "network.png").read_bytes().startswith(b"\x89PNG")


EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "simulate_network.py"


def test_simulated_cycle_is_a_blob_and_splits_no_tree_explains(tmp_path):
    # The example's network: (((b,c),a),(d,e)) with h a hybrid of b and c just above the tips.
    pytest.importorskip("msprime")
    path = tmp_path / "network.tre"
    done = subprocess.run([sys.executable, str(EXAMPLE), "--trees", "500", "--seed", "7", "--output", str(path)])
    assert done.returncode == 0
    # The cycle's four sides hang from one node: b, c, h and the clade of a, d and e.
    assert splits_of(tree_of_blobs(path), "abcdeh") == {frozenset("bch"), frozenset("de")}
    assert nanuq_distance(path).classes["cycle"] > 0
    network = nanuq(path)
    sides = [split.side for split in network.splits if split.weight > 1e-9]
    # The box of the cycle: h with either parent against the rest (sides taken without a).
    crossing = {frozenset(sides[i]) for pair in incompatible_splits(sides, network.taxa) for i in pair}
    crossing = {side if "a" not in side else frozenset(network.taxa) - side for side in crossing}
    assert crossing == {frozenset("ch"), frozenset("bh")}


def test_cut_test_p_value_is_chi_square_far_from_the_star_and_fits_a_minor_split(write_trees):
    scipy_stats = pytest.importorskip("scipy.stats")
    path = counted(write_trees, ab_cd=900, ac_bd=60, ad_bc=40)
    # The nearest line leaves 60 and 40 to be equal: G = 2 (60 ln 60 + 40 ln 40 - 100 ln 50).
    statistic = 2 * (60 * numpy.log(60) + 40 * numpy.log(40) - 100 * numpy.log(50))
    p = scipy_stats.chi2.sf(statistic, 1)
    assert tinnik_distance(path, alpha=p * 1.001, test="cut").classes["cycle"] == 1
    assert tinnik_distance(path, alpha=p * 0.999, test="cut").classes["tree"] == 1
    # Two equal counts fit the cut model even when the third, the split's own, is the least:
    # a T-quartet ab|cd for the cut test, a B-quartet for the T3 test.
    minor = counted(write_trees, ab_cd=20, ac_bd=40, ad_bc=40)
    found = tinnik_distance(minor, beta=0.05, test="cut")
    assert found.classes["tree"] == 1 and pair_distances(found) == dict(ab=4, cd=4, ac=6, ad=6, bc=6, bd=6)
    assert tinnik_distance(minor, beta=0.05).classes["cycle"] == 1


# Five taxa whose counts make abce a B-quartet by the T3 test and abcd, abde T-quartets pairing
# d with a, so that d hangs beside a and bcde meets where abce does: a B-quartet by the second
# rule, though its own counts (20, 20, 12) pass the T3 test.
INFERRED = {"((a,c),d,(b,e));": 10, "((a,d),b,(c,e));": 20, "((a,e),b,(c,d));": 10, "((a,e),d,(b,c));": 2,
            "((b,c),a,(d,e));": 10}  # fmt: skip


def test_rules_infer_a_b_quartet_the_tests_leave_as_a_tree(write_trees):
    path = write_trees("".join((tree + "\n") * n for tree, n in INFERRED.items()))
    found = tinnik_distance(path)
    assert found.classes == {"empty": 0, "star": 0, "tree": 3, "cycle": 1, "inferred": 1}
    index = {name: k for k, name in enumerate(found.taxa)}
    # b and c: apart in none of abcd (ad|bc), half in abce and in bcde as B-quartets: 2 * 1 + 6;
    # bcde left a tree (tied be|cd and bd|ce, both apart) would give 9.
    assert found.distance[index["b"], index["c"]] == 8.0
    assert nanuq_distance(path).classes["inferred"] == 0


def test_a_four_cycle_is_one_multifurcation(write_trees):
    # Sides a, b, c and the clade (d, e) of a 4-cycle: quartets across its four sides are
    # B-quartets (60, 30, 10: no two topologies alike, so for the cut test too), the others
    # split d and e from the rest.
    path = write_trees("((a,b),c,(d,e));\n" * 60 + "((a,c),b,(d,e));\n" * 30 + "((b,c),a,(d,e));\n" * 10)
    for builder in ("fastme", "nj"):
        for test in ("t3", "cut"):
            assert splits_of(tree_of_blobs(path, test=test, builder=builder), "abcde") == {frozenset("de")}
    assert tinnik_distance(path).classes == {"empty": 0, "star": 0, "tree": 3, "cycle": 2, "inferred": 0}
