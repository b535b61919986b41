"""Unresolved trees spread a third to each topology (unresolved="third"): hand-computed rows,
the raw counts kept, drop unchanged, the species tree's weights, the sharded table, the command
line and the refusals."""

import io
import math
import subprocess
import sys
from fractions import Fraction
from pathlib import Path
import shutil

import numpy
import pytest

from treetally_tools import TopologyTable, quartet_table, species_tree
from treetally_tools.errors import UndefinedDistanceError, UsageError
from treetally_tools.sharding import ShardedTable
from treetally_tools.tables import column_names

# Four taxa: 3 trees ab|cd, 1 ac|bd, 2 stars (unresolved); and a fifth taxon e held by some.
TREES = "((a,b),(c,d));\n" * 3 + "((a,c),(b,d));\n" + "(a,b,c,d);\n" * 2
# Every quartet of five taxa, some held only by unresolved trees.
FIVE = (
    "((a,b),(c,(d,e)));\n" * 4 + "((a,c),(b,(d,e)));\n" * 2 + "(a,b,c,d,e);\n" * 3 + "((a,b,c),(d,e));\n" * 2
    + "((a,e),(b,(c,d)));\n"
)  # fmt: skip
SCRIPT = Path(sys.executable).parent / "treetally"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("treetally") or "treetally"]


def only_row(path, **options):
    columns = quartet_table(path, ["a", "b", "c", "d"], **options).to_columns()
    return {name: values[0].item() for name, values in columns.items()}


def test_a_row_spreads_its_unresolved_trees_a_third_to_each_topology(write_trees):
    path = write_trees(TREES)
    row = only_row(path, unresolved="third", species_tree="((a:1,b:1):0.5,(c:1,d:1):0.5);")
    # Spread counts 11/3, 5/3, 2/3 of 6 trees; the count columns stay raw.
    assert [row[f"count_{code}"] for code in range(3)] == [3, 1, 0]
    assert (row["holding"], row["unresolved"]) == (6, 2)
    assert [row[f"concordance_{code}"] for code in range(3)] == [float(Fraction(n, 18)) for n in (11, 5, 2)]
    assert row["minor_equal_chi2"] == float(Fraction(3, 7))  # (5/3 - 2/3)^2 / (7/3), one rounding
    assert row["minor_equal_p"] == math.erfc(math.sqrt(row["minor_equal_chi2"] / 2))
    assert row["star_chi2"] == float(Fraction(7, 3))  # expected 2 each: (25 + 1 + 16) / 9 / 2
    assert row["star_p"] == math.exp(-row["star_chi2"] / 2)
    assert (row["dominant_code"], row["dominant_is_species"]) == (0, True)
    assert row["estimated_length"] == pytest.approx(-math.log(1.5 * 7 / 18), rel=1e-15)
    dropped = only_row(path, species_tree="((a:1,b:1):0.5,(c:1,d:1):0.5);")
    assert dropped["concordance_0"] == 0.75 and dropped["estimated_length"] == pytest.approx(-math.log(0.375))


@pytest.mark.parametrize("mode, share, length", [("drop", math.nan, math.nan), ("third", 1 / 3, math.nan)])
def test_a_quartet_no_tree_resolves(write_trees, mode, share, length):
    row = only_row(write_trees("(a,b,c,d);\n" * 4), unresolved=mode, species_tree="((a:1,b:1):1,(c:1,d:1):1);")
    assert [row[f"concordance_{code}"] for code in range(3)] == pytest.approx([share] * 3, nan_ok=True)
    assert row["star_chi2"] == pytest.approx(0.0 if mode == "third" else math.nan, nan_ok=True)
    assert row["dominant_code"] == (0 if mode == "third" else -1)  # three-way tie: the lowest code
    assert row["estimated_length"] == pytest.approx(length, nan_ok=True)


def written(path, **options):
    out = io.StringIO()
    quartet_table(path, species_tree="(((a:1,b:1):1,c:2):1,(d:1,e:1):2);", adjust="holm", **options).write(
        out, "csv"
    )
    return out.getvalue()


def test_drop_is_the_default_and_third_changes_nothing_without_unresolved_trees(write_trees):
    with_stars = write_trees(FIVE)
    assert written(with_stars) == written(with_stars, unresolved="drop") != written(with_stars, unresolved="third")
    resolved = write_trees("".join(line for line in FIVE.splitlines(True) if "(a,b,c,d,e)" not in line
                                   and "(a,b,c)" not in line), "resolved.nwk")  # fmt: skip
    assert written(resolved) == written(resolved, unresolved="third")


def test_adjusted_p_values_and_counts_of_a_spread_table(write_trees):
    from treetally_tools import adjust_p_values

    table = quartet_table(write_trees(FIVE), adjust="bh", unresolved="third")
    columns = table.to_columns()
    plain = quartet_table(write_trees(FIVE), unresolved="drop").to_columns()
    for name in [*column_names(4)]:
        assert columns[name].tolist() == plain[name].tolist()
    for test in ("minor_equal", "star"):
        assert columns[f"{test}_p_adj"].tolist() == pytest.approx(
            list(adjust_p_values(columns[f"{test}_p"].tolist(), "bh")), nan_ok=True
        )
    assert (columns["unresolved"] > 0).any()


def test_a_sharded_table_spreads_as_the_counted_one(write_trees):
    path = write_trees(FIVE)
    counted = TopologyTable(path, 4, unresolved="third", adjust="holm")
    columns = counted.to_columns()
    held = ShardedTable(
        4, counted.taxa, {name: columns[name] for name in column_names(4)}, [0] * len(counted.taxa),
        unresolved="third", adjust="holm",
    )  # fmt: skip
    found = held.to_columns()
    assert set(found) == set(columns)
    for name, values in columns.items():
        numpy.testing.assert_array_equal(found[name], values)


@pytest.mark.parametrize("weighted", [False, True])
def test_species_tree_of_spread_counts(write_trees, weighted):
    stars = write_trees(FIVE)
    assert species_tree(stars, weighted=weighted) == species_tree(stars, weighted=weighted, unresolved="drop")
    spread = species_tree(stars, weighted=weighted, unresolved="third")
    if weighted:
        assert spread != species_tree(stars, weighted=True)  # lengths from the spread counts
    resolved = write_trees("((a,b),(c,(d,e)));\n((a,c),(b,(d,e)));\n((a,b),(e,(c,d)));\n", "resolved.nwk")
    assert species_tree(resolved, weighted=weighted, unresolved="third") == species_tree(resolved, weighted=weighted)


@pytest.mark.parametrize("weighted", [False, True])
def test_quartets_only_unresolved_trees_hold_let_their_taxa_meet(write_trees, weighted):
    # e is resolved by no tree: dropped, its distances are undefined; spread, its quartets tie.
    trees = write_trees("(a,b,c,d,e);\n" * 2 + "((a,b),(c,d));\n")
    with pytest.raises(UndefinedDistanceError):
        species_tree(trees, weighted=weighted)
    found = species_tree(trees, weighted=weighted, unresolved="third", builder="nj")
    assert found.startswith("(c,d,(e,(a,b)")


@pytest.mark.parametrize(
    "options, message",
    [
        ({"unresolved": "half"}, "unresolved must be 'drop' or 'third'"),
        ({"unresolved": "third", "size": 5}, "quartets (size 4) only"),
    ],
)
def test_refusals(write_trees, options, message):
    options = {"size": 4, **options}
    with pytest.raises(UsageError, match=message.replace("(", r"\(").replace(")", r"\)")):
        TopologyTable(write_trees(TREES), options.pop("size"), **options)


def run(*arguments):
    return subprocess.run(COMMAND + [str(a) for a in arguments], capture_output=True, timeout=300)


def test_the_command_line_writes_what_python_writes(write_trees):
    path = write_trees(FIVE)
    result = run("table", path, "--size", "4", "--format", "csv", "--unresolved", "third")
    assert result.returncode == 0, result.stderr.decode()
    out = io.StringIO()
    quartet_table(path, unresolved="third").write(out, "csv")
    assert result.stdout.decode() == out.getvalue()
    tree = run("species-tree", path, "--weighted", "--unresolved", "third", "--no-progress")
    assert tree.stdout.decode() == species_tree(path, weighted=True, unresolved="third") + "\n"


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--size", "5"], b"--unresolved third is for quartet tables"),
        (["--size", "4", "--format", "mscquartets"], b"holds the counts alone"),
        (["--size", "4", "--plot-simplex", "x.png"], b"the plots draw the resolved trees' shares"),
        (["--size", "4", "--unresolved", "half"], b"invalid choice"),
    ],
)
def test_the_command_line_refuses(write_trees, arguments, message):
    if "--unresolved" not in arguments:
        arguments = [*arguments, "--unresolved", "third"]
    result = run("table", write_trees(FIVE), *arguments)
    assert result.returncode == 2 and message in result.stderr, result.stderr.decode()


def test_the_quartet_tally_spreads_its_fractions_as_the_table(write_trees):
    from treetally_tools import quartet_tally, tally

    path = write_trees(TREES)
    spread = quartet_tally(path, ["a", "b", "c", "d"], unresolved="third")
    assert spread.counts == (3, 1, 0) and spread.unresolved == 2
    assert spread.fractions == [only_row(path, unresolved="third")[f"concordance_{code}"] for code in range(3)]
    assert spread.summary().endswith("2 leave the quartet unresolved; each counts a third for each topology")
    dropped = quartet_tally(path, ["a", "b", "c", "d"])
    assert dropped.fractions == [0.75, 0.25, 0.0] and "third" not in dropped.summary()
    with pytest.raises(UsageError, match="quartets only"):
        tally(write_trees(FIVE), ["a", "b", "c", "d", "e"], unresolved="third")


def test_the_quartet_command_spreads_when_asked(write_trees):
    path = write_trees(TREES)
    out = run("quartet", path, "a", "b", "c", "d", "--format", "csv", "--unresolved", "third")
    assert out.returncode == 0, out.stderr.decode()
    assert [line.split(",")[-1] for line in out.stdout.decode().splitlines()[1:]] == [
        repr(float(Fraction(n, 18))) for n in (11, 5, 2)
    ]
    assert run("quintet", write_trees(FIVE), "a", "b", "c", "d", "e", "--unresolved", "third").returncode == 2


# A species tree with lengths on FIVE's taxa, for the species-tree columns.
SPECIES = "(((a:1,b:1):1,c:2):1,(d:1,e:1):2);"


@pytest.mark.parametrize("mode", ["drop", "third"])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("builder", ["fastme", "nj"])
def test_the_species_tree_of_a_tables_columns_is_that_of_its_trees(write_trees, mode, weighted, builder):
    from treetally_tools.species_tree import species_tree as tree_of_columns

    path = write_trees(FIVE)
    with TopologyTable(path, 4) as table:
        taxa, columns = table.taxa, table.to_columns()
    found = tree_of_columns(taxa, columns, weighted, builder, unresolved=mode)
    assert found == species_tree(path, weighted=weighted, unresolved=mode, builder=builder)
    # WQDC lengths come from the spread counts; QDC's topology here is the same either way.
    assert (found == tree_of_columns(taxa, columns, weighted, builder)) == (mode == "drop" or not weighted)


def test_the_species_tree_of_columns_lets_taxa_only_unresolved_trees_hold_meet(write_trees):
    from treetally_tools.species_tree import quartet_distances, species_tree as tree_of_columns

    with TopologyTable(write_trees("(a,b,c,d,e);\n" * 2 + "((a,b),(c,d));\n"), 4) as table:
        taxa, columns = table.taxa, table.to_columns()
    with pytest.raises(UndefinedDistanceError):
        tree_of_columns(taxa, columns)
    assert tree_of_columns(taxa, columns, builder="nj", unresolved="third").startswith("(c,d,(e,(a,b)")
    # Each of e's quartets ties its three topologies, 2 of the 6 votes to each; a pair with e is
    # separated in two topologies of each of its three quartets: 2 * 2 * 3.
    e = taxa.index("e")
    assert quartet_distances(len(taxa), columns)[e] == [0.0] * 5
    assert quartet_distances(len(taxa), columns, unresolved="third")[e] == [0.0 if k == e else 12.0 for k in range(5)]


@pytest.mark.parametrize("mode", ["drop", "third"])
def test_species_columns_are_those_of_the_table(write_trees, mode):
    from treetally_tools.species_columns import COLUMNS, SpeciesTree, species_columns

    path = write_trees(FIVE)
    with TopologyTable(path, 4, species_tree=SPECIES, unresolved=mode) as table:
        taxa, columns = table.taxa, table.to_columns()
    found = species_columns(SPECIES, taxa, columns, unresolved=mode)
    for name in COLUMNS:
        numpy.testing.assert_array_equal(found[name], columns[name], err_msg=name)
    tree = SpeciesTree(SPECIES)
    for row in range(len(columns["t1"])):
        names = [taxa[columns[f"t{k}"][row]] for k in range(1, 5)]
        counts = [int(columns[f"count_{code}"][row]) for code in range(3)]
        one = tree.row(names, counts, unresolved=mode, unresolved_trees=int(columns["unresolved"][row]))
        numpy.testing.assert_array_equal(list(one), [columns[name][row] for name in COLUMNS])


def test_spreading_table_columns_is_refused_without_the_unresolved_trees(write_trees):
    from treetally_tools.species_columns import SpeciesTree, species_columns
    from treetally_tools.species_tree import quartet_distances, species_tree as tree_of_columns

    with TopologyTable(write_trees(FIVE), 4) as table:
        taxa, columns = table.taxa, table.to_columns()
    del columns["unresolved"]
    calls = [
        lambda mode: tree_of_columns(taxa, columns, unresolved=mode),
        lambda mode: quartet_distances(len(taxa), columns, unresolved=mode),
        lambda mode: species_columns(SPECIES, taxa, columns, unresolved=mode),
        lambda mode: SpeciesTree(SPECIES).row(("a", "b", "c", "d"), (3, 1, 0), unresolved=mode),
    ]
    for call in calls:
        call("drop")  # dropping needs no unresolved column
        with pytest.raises(UsageError, match="unresolved='third' needs"):
            call("third")
        with pytest.raises(UsageError, match="unresolved must be 'drop' or 'third'"):
            call("half")


@pytest.mark.parametrize(
    "unresolved_column, mode, message",
    [
        (None, "third", "unresolved='third' needs the unresolved column"),
        ([-1], "third", "row 0 has a negative unresolved count"),
        ([-1], "drop", "row 0 has a negative unresolved count"),  # bad data is refused either way
        ([1, 2], "third", "the columns differ in length"),
    ],
)
def test_the_engine_refuses_unresolved_columns_it_cannot_spread(unresolved_column, mode, message):
    from treetally_tools import _engine

    columns = [numpy.array([k], numpy.int64).tobytes() for k in range(4)] + [numpy.array([1], numpy.int64).tobytes()] * 3
    if unresolved_column is not None:
        columns.append(numpy.array(unresolved_column, numpy.int64).tobytes())
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        _engine.column_distances(4, tuple(columns), unresolved=mode)


def test_columns_of_shares_are_refused_in_one_line():
    from treetally_tools import UsageError
    from treetally_tools.species_tree import species_tree

    columns = {f"t{k + 1}": numpy.array([k]) for k in range(4)}
    columns.update({f"count_{code}": numpy.array([0.5]) for code in range(3)})
    with pytest.raises(UsageError, match="give species_tree its trees and taxon_map instead"):
        species_tree(["a", "b", "c", "d"], columns)
