"""Networks of species from trees of individuals (a taxon map): sister individuals give exactly
the species' NANUQ distance, splits and tree of blobs; fractional shares are classed by the
tests the table reports on them; a mapped table is taken; the commands read a map file."""

import itertools
import json
import random
import re
import subprocess
import sys

import numpy
import pytest

from treetally_tools import TopologyTable, UsageError, _engine, load_trees, nanuq, nanuq_distance, tinnik_distance
from treetally_tools import tree_of_blobs

# Species trees: a 4-cycle on a, b, c and (d, e); five taxa whose rules infer a B-quartet; a
# tree with polytomies (unresolved quartets).
CYCLE = {"((a,b),c,(d,e));": 60, "((a,c),b,(d,e));": 30, "((b,c),a,(d,e));": 10}
INFERRED = {"((a,c),d,(b,e));": 10, "((a,d),b,(c,e));": 20, "((a,e),b,(c,d));": 10, "((a,e),d,(b,c));": 2,
            "((b,c),a,(d,e));": 10}  # fmt: skip
POLYTOMIES = {"((a,b),c,(d,e,f));": 20, "(a,b,c,d,e,f);": 9, "((a,c),b,(d,(e,f)));": 7, "((a,b),(c,d),(e,f));": 5}
# Individuals per species: a single one, two, three.
INDIVIDUALS = {"a": 3, "b": 1, "c": 2, "d": 2, "e": 2, "f": 2}
TAXON_MAP = {f"{x}{k}": x.upper() for x, n in INDIVIDUALS.items() for k in range(1, n + 1)}


def sisters(newick):
    """The tree with each species' leaf replaced by its individuals as sisters (a lone
    individual as the leaf itself)."""

    def clade(match):
        names = [f"{match[0]}{k}" for k in range(1, INDIVIDUALS[match[0]] + 1)]
        return names[0] if len(names) == 1 else "(" + ",".join(names) + ")"

    return re.sub(r"[a-f]", clade, newick)


def upper(newick):
    return re.sub(r"[a-f]", lambda match: match[0].upper(), newick)


def written(write_trees, trees, name, shape):
    return write_trees("".join((shape(tree) + "\n") * n for tree, n in trees.items()), name)


@pytest.mark.parametrize("trees", [CYCLE, INFERRED, POLYTOMIES], ids=["cycle", "inferred", "polytomies"])
@pytest.mark.parametrize("unresolved", ["drop", "third"])
def test_sister_individuals_give_the_species_networks_exactly(write_trees, trees, unresolved):
    species = written(write_trees, trees, "species.nwk", upper)
    individuals = written(write_trees, trees, "individuals.nwk", sisters)
    for method, tests in ((nanuq_distance, ["t3"]), (tinnik_distance, ["t3", "cut"])):
        for test in tests:
            options = {"test": test} if method is tinnik_distance else {}
            expected = method(species, unresolved=unresolved, **options)
            found = method(individuals, unresolved=unresolved, taxon_map=TAXON_MAP, jobs=2, **options)
            assert found.taxa == expected.taxa and found.classes == expected.classes
            assert (found.distance == expected.distance).all()
            assert tree_of_blobs(individuals, test=test, unresolved=unresolved, taxon_map=TAXON_MAP) == tree_of_blobs(
                species, test=test, unresolved=unresolved
            )
    network = nanuq(species, unresolved=unresolved)
    assert nanuq(individuals, unresolved=unresolved, taxon_map=TAXON_MAP).as_json() == network.as_json()


def random_tree(rng, leaves):
    """A random rooted binary tree on `leaves` as Newick, joining random pairs."""
    clades = list(leaves)
    while len(clades) > 1:
        first, second = rng.sample(range(len(clades)), 2)
        joined = f"({clades[first]},{clades[second]})"
        clades = [clade for k, clade in enumerate(clades) if k not in (first, second)] + [joined]
    return clades[0] + ";"


def nanuq_from_rows(columns, n, alpha, beta):
    """The NANUQ distance and classes from a table's rows: its shares and its star and T3 tests."""
    sums = numpy.zeros((n, n))
    classes = dict.fromkeys(("empty", "star", "tree", "cycle"), 0)
    for row in range(len(columns["t1"])):
        taxa = [int(columns[f"t{k}"][row]) for k in range(1, 5)]
        shares = [float(columns[f"count_{k}"][row]) for k in range(3)]
        star, t3 = float(columns["star_p"][row]), float(columns["t3_p"][row])
        kind = "empty" if star != star else "star" if star > beta else "cycle" if t3 < alpha else "tree"
        classes[kind] += 1
        add = numpy.full((4, 4), 0.5)
        if kind in ("tree", "cycle"):
            # Topology k pairs the first taxon with taxon k + 1; tied shares share the addition.
            picked = [k for k in range(3) if shares[k] == (max(shares) if kind == "tree" else min(shares))]
            if kind == "tree":
                add[:] = 0.0
            for k in picked:
                pair, other = {0, k + 1}, set(range(1, 4)) - {k + 1}
                for i, j in itertools.combinations(range(4), 2):
                    apart = ({i, j} != pair) and ({i, j} != other)
                    if kind == "tree" and apart:
                        add[i, j] += 1.0 / len(picked)
                    if kind == "cycle" and not apart:
                        add[i, j] += 0.5 / len(picked)
        for i, j in itertools.combinations(range(4), 2):
            sums[taxa[i], taxa[j]] += add[i, j]
            sums[taxa[j], taxa[i]] += add[i, j]
    distance = 2 * sums + 2 * n - 4
    numpy.fill_diagonal(distance, 0.0)
    return distance, classes


@pytest.mark.parametrize("seed", [3, 5])
def test_fractional_shares_are_classed_by_the_tests_the_table_reports(write_trees, seed):
    rng = random.Random(seed)
    individuals = sorted(TAXON_MAP)
    # One species tree now and then among random trees that scatter each species' individuals,
    # at levels that leave trees, cycles (and for seed 5 stars) among the quartets.
    base = sisters("(((a,b),c),((d,e),f));")
    lines = [base if rng.random() < 0.2 else random_tree(rng, individuals) for _ in range(60)]
    path = write_trees("\n".join(lines) + "\n")
    with TopologyTable(path, 4, taxon_map=TAXON_MAP, tree_tests=["t3"]) as table:
        columns = table.to_columns()
        found = nanuq_distance(table, alpha=0.5, beta=0.2)
        blobs = tinnik_distance(table, alpha=0.5, beta=0.2)
    assert any(float(share) != int(share) for share in columns["count_0"])  # the shares are fractional
    distance, classes = nanuq_from_rows(columns, len(found.taxa), 0.5, 0.2)
    assert {kind: found.classes[kind] for kind in classes} == classes and classes["tree"] and classes["cycle"]
    assert found.distance == pytest.approx(distance, abs=1e-12)
    # TINNiK's rules take their B-quartets from the tests' trees.
    assert (blobs.classes["star"], blobs.classes["cycle"]) == (classes["star"], classes["cycle"])
    assert blobs.classes["tree"] + blobs.classes["inferred"] == classes["tree"]


def test_a_mapped_table_is_taken_and_a_map_given_twice_refused(write_trees):
    path = written(write_trees, CYCLE, "individuals.nwk", sisters)
    with TopologyTable(path, 4, taxon_map=TAXON_MAP) as table:
        from_table = tinnik_distance(table, test="cut")
    assert (from_table.distance == tinnik_distance(path, test="cut", taxon_map=TAXON_MAP).distance).all()
    with TopologyTable(path, 4) as table, pytest.raises(UsageError, match="taxon map are its own"):
        nanuq_distance(table, taxon_map=TAXON_MAP)


@pytest.mark.parametrize(
    "groups, message",
    [
        ([["a1", "a2"], ["b1"], ["c1"]], "one group of individuals per taxon"),
        ([["a1", "a2"], ["a2"], ["c1"], ["d1"]], "must not share a taxon"),
        ([["a1"], [], ["c1"], ["d1"]], "group of taxa is empty"),
        ([["a1"], ["b1"], ["c1"], ["z9"]], "z9"),
    ],
)
def test_engine_refuses_bad_groups(write_trees, groups, message):
    trees = load_trees(written(write_trees, CYCLE, "individuals.nwk", sisters))
    with pytest.raises(ValueError, match=message):
        _engine.network_distances(trees, ("A", "B", "C", "D"), "nanuq", 0.05, 0.95, groups=groups)


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "treetally_tools", *map(str, arguments)], capture_output=True, text=True)


def test_commands_read_a_map_file(write_trees, tmp_path):
    path = written(write_trees, CYCLE, "individuals.nwk", sisters)
    map_file = tmp_path / "map.tsv"
    map_file.write_text("# individual\tspecies\n" + "".join(f"{name}\t{x}\n" for name, x in TAXON_MAP.items()))
    done = run("blobs", path, "--taxon-map", map_file, "--test", "cut", "--no-progress")
    assert done.returncode == 0 and done.stdout.strip() == tree_of_blobs(path, test="cut", taxon_map=str(map_file))
    assert done.stdout.strip() == "(A,B,C,(D,E));"
    pytest.importorskip("treetally_tools.neighbor_net")
    done = run("nanuq", path, "--taxon-map", map_file, "--format", "json", "--taxa", "A", "C", "D", "E")
    written_json = json.loads(done.stdout)
    expected = nanuq_distance(path, taxa=["A", "C", "D", "E"], taxon_map=str(map_file))
    assert written_json["taxa"] == ["A", "C", "D", "E"] and written_json["distance"] == expected.distance.tolist()
    refused = run("nanuq", path, "--taxon-map", tmp_path / "missing.tsv")
    assert refused.returncode != 0 and refused.stderr.count("\n") == 1, refused.stderr
