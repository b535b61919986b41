"""Labelled tallies, the labelled time table and the name checks of treetally_tools, against
the module's own answers and per-tree queries."""

import math
import sys
from pathlib import Path

import pytest

import treetally
from treetally_tools import (
    MissingExtraError,
    UnknownTaxonError,
    quartet_tally,
    quintet_tally,
    time_table,
)
from treetally_tools.codes import topologies

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
APE_NAMES = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
# Files with trees lacking taxa (aptMan is missing from about half the introns) and with
# polytomies that leave quartets unresolved (the contracted plants trees).
SHARED_CASES = [
    ("palaeognaths-15taxa-5016introns.tre", ("aptMan", "casCas", "droNov", "galGal", "rheAme")),
    ("plants1kp-103taxa-424genes-bs10.tre", None),
]


@pytest.fixture(params=["apes"] + [name for name, _ in SHARED_CASES])
def trees_and_names(request, shared_file):
    if request.param == "apes":
        return treetally.TreeSet(APES), APE_NAMES
    trees = treetally.TreeSet(shared_file(request.param))
    names = dict(SHARED_CASES)[request.param]
    return trees, names or tuple(trees.taxa()[:5])


@pytest.mark.parametrize("size", [4, 5])
def test_labelled_tally_is_the_modules_with_the_skipped_trees_accounted_for(trees_and_names, size):
    trees, names = trees_and_names
    names = names[:size]
    tally = (quartet_tally if size == 4 else quintet_tally)(trees, names)
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    assert list(tally.counts) == sweep(names)
    classify = "retrieve_quartet_type" if size == 4 else "retrieve_quintet_type"
    lacking = sum(tree.retrieve_all_pairs_distance((names + names)[:5]) is None for tree in trees)
    unclassified = sum(getattr(tree, classify)(names) is None for tree in trees)
    assert (tally.trees, tally.lacking, tally.unresolved) == (len(trees), lacking, unclassified - lacking)
    records = tally.records()
    assert [record["topology"] for record in records] == topologies(names)
    assert [record["count"] for record in records] == list(tally.counts)
    if tally.resolved:
        assert sum(record["fraction"] for record in records) == pytest.approx(1.0)
    assert f"{tally.lacking} lack a taxon" in tally.to_text()


def test_labelled_time_table_cuts_the_modules_165_values_into_15_blocks(trees_and_names):
    trees, names = trees_and_names
    table = time_table(trees, names)
    values = trees.coalesence_times_by_topology(names)
    assert list(table.values) == values and list(table.counts) == trees.tally_single_quintet(names)
    for block in table.blocks:
        assert block.share == values[block.code]
        assert list(block.relative_lengths) == values[15 + 10 * block.code : 25 + 10 * block.code]
        assert block.pairs[0] == f"{names[0]}-{names[1]}" and block.pairs[9] == f"{names[3]}-{names[4]}"
    records = table.records()
    assert len(records) == 150 and records[11]["pair"] == f"{names[0]}-{names[2]}"
    assert records[11]["relative_length"] == values[15 + 10 + 1]


def test_tallies_accept_any_source_and_refuse_the_wrong_number_of_names():
    strings = ["((A,B),(C,D),E);", "((A,C),(B,D),E);", "((A,C),B,(D,E));"]
    assert quartet_tally(strings, "ABCD").counts == (1, 2, 0)
    with pytest.raises(ValueError, match="4 names"):
        quartet_tally(strings, "ABCDE")
    with pytest.raises(ValueError, match="5 names"):
        time_table(strings, "ABCD")


@pytest.mark.parametrize(
    "name, suggestion",
    [("Humna", "Human"), ("human", "Human"), ("Orang utan", "Orangutan"), ("Zebra", None)],
    ids=["misspelt", "case", "space inserted", "no match"],
)
def test_unknown_name_is_named_with_close_matches_before_any_query(name, suggestion):
    with pytest.raises(UnknownTaxonError) as raised:
        quartet_tally(APES, ("Chimp", name, "Gorilla", "Gibbon"))
    assert isinstance(raised.value, KeyError) and isinstance(raised.value, Exception)
    message = str(raised.value)
    assert message.startswith(f"unknown taxon {name!r}")
    assert ("did you mean" in message) == (suggestion is not None)
    if suggestion:
        assert raised.value.suggestions[0] == suggestion


def test_underscore_written_as_space_is_suggested():
    trees = ["((Smilax_bona-nox,B),(C,D));"]
    with pytest.raises(UnknownTaxonError, match="did you mean 'Smilax_bona-nox'"):
        quartet_tally(trees, ("Smilax bona-nox", "B", "C", "D"))


def test_repeated_name_is_refused_though_the_module_answers():
    with pytest.raises(ValueError, match="taxon given more than once: Human"):
        quartet_tally(APES, ("Human", "Human", "Chimp", "Gorilla"))
    # The module still answers, with every tree on one code.
    assert treetally.TreeSet(APES).tally_single_quartet(("Human", "Human", "Chimp", "Gorilla")) == [1000, 0, 0]


def test_records_as_dataframes():
    pandas = pytest.importorskip("pandas")
    tally = quintet_tally(APES, APE_NAMES)
    frame = tally.to_dataframe()
    assert list(frame.columns) == ["code", "topology", "count", "fraction"] and frame["count"].sum() == 1000
    times = time_table(APES, APE_NAMES).to_dataframe()
    assert times.shape == (150, 5) and isinstance(times, pandas.DataFrame)


@pytest.mark.parametrize(
    "modules, extra, feature",
    [
        (["pandas"], "pandas", lambda: quartet_tally(APES, APE_NAMES[:4]).to_dataframe()),
        (["matplotlib", "matplotlib.figure"], "plot", lambda: _plot(quintet_tally(APES, APE_NAMES))),
        (["distributed"], "dask", lambda: _shard(APES)),
    ],
    ids=["pandas", "plot", "dask"],
)
def test_missing_extra_names_the_install_command(monkeypatch, modules, extra, feature):
    for module in modules:
        monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(MissingExtraError) as raised:
        feature()
    assert isinstance(raised.value, ImportError)
    assert f'pip install "treetally[{extra}]"' in str(raised.value)


def _plot(tally):
    from treetally_tools.plots import plot_quintet_frequencies

    return plot_quintet_frequencies(tally)


def _shard(path):
    from treetally_tools.sharding import sharded_tally

    return sharded_tally(None, path, APE_NAMES)


def test_fractions_without_resolved_trees_are_not_a_number():
    tally = quartet_tally(["((A,B,C,D));"], "ABCD")
    assert tally.unresolved == 1 and all(math.isnan(share) for share in tally.fractions)
