"""All-quartet and all-quintet tables against one module sweep per row, however the counting is
arranged (restricted tree sets, worker processes); the coalescent tests against scipy."""

import io
import itertools
import math
import random
from pathlib import Path

import pytest

import treetally
import treetally_tools.tables as tables
from treetally_tools import (
    RepeatedTaxonWarning,
    UnknownTaxonError,
    chi2_sf,
    flat_columns,
    minor_equal_test,
    quartet_table,
    quintet_table,
    star_test,
)
from treetally_tools._progress import Progress

APES = Path(__file__).resolve().parents[2] / "examples" / "data" / "apes-6taxa-1000genes.tre"
TAXA = [f"t{k}" for k in range(9)] + ["rare"]


def incomplete_trees(count, seed):
    """Random rooted trees on random subsets of TAXA ("rare" in few of them), some with
    polytomies, so that rows have trees lacking taxa and unresolved trees."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        pool = [taxon for taxon in TAXA if taxon != "rare" or rng.random() < 0.1]
        nodes = rng.sample(pool, rng.randint(4, len(pool)))
        while len(nodes) > 1:
            joined = 3 if len(nodes) > 2 and rng.random() < 0.15 else 2
            nodes.append("(" + ",".join(nodes.pop(rng.randrange(len(nodes))) for _ in range(joined)) + ")")
        lines.append(nodes[0] + ";")
    return lines


@pytest.fixture(params=["apes", "incomplete"])
def tree_file(request, write_trees):
    if request.param == "apes":
        return APES
    return write_trees("\n".join(incomplete_trees(300, seed=5)) + "\n")


def module_rows(path, taxa, size):
    trees = treetally.TreeSet(path)
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    rows = []
    for names in itertools.combinations(taxa, size):
        holding = sum(tree.retrieve_all_pairs_distance((names + names)[:5]) is not None for tree in trees)
        rows.append((names, tuple(sweep(names)), holding))
    return rows


@pytest.mark.parametrize("size", [4, 5])
def test_every_row_is_the_modules_sweep_in_combination_order(tree_file, size):
    with (quartet_table if size == 4 else quintet_table)(tree_file) as table:
        rows = list(table)
        expected = module_rows(tree_file, table.taxa, size)
        occupancy = list(table.occupancy().values())
        assert occupancy == sorted(occupancy)  # by default the rarest taxon first
        assert len(table) == len(rows) == math.comb(len(table.taxa), size)
    assert [(row.taxa, row.counts, row.holding) for row in rows] == expected
    assert all(row.unresolved == row.holding - sum(row.counts) >= 0 for row in rows)


@pytest.mark.parametrize("size", [4, 5])
def test_restricted_sets_and_worker_processes_give_the_same_rows(write_trees, monkeypatch, size):
    path = write_trees("\n".join(incomplete_trees(400, seed=size)) + "\n")
    plain = list(tables.TopologyTable(path, size))
    monkeypatch.setattr(tables, "_SKIP_NS_PER_TREE", 1e9)  # every block restricted
    with tables.TopologyTable(path, size, jobs=2) as table:
        assert all(block.restrict for block in table._blocks())
        assert list(table) == plain
        assert list(tables.TopologyTable(path, size)) == plain
    assert any(row.unresolved for row in plain) and any(row.holding < 400 for row in plain)


def test_table_of_a_shared_file_with_missing_taxa(shared_file, monkeypatch):
    path = shared_file("plants1kp-103taxa-852genes.tre")
    taxa = treetally.TreeSet(path).taxa()[::9]
    monkeypatch.setattr(tables, "_SKIP_NS_PER_TREE", 1e9)
    rows = list(quartet_table(path, taxa))
    assert [(row.taxa, row.counts, row.holding) for row in rows] == module_rows(path, taxa, 4)


def test_chosen_taxa_in_their_order_and_a_repeated_one_once():
    with pytest.warns(RepeatedTaxonWarning):
        table = quartet_table(APES, ["Human", "Gibbon", "Chimp", "Human", "Gorilla"])
    assert table.taxa == ("Human", "Gibbon", "Chimp", "Gorilla")
    assert [row.taxa for row in table] == [("Human", "Gibbon", "Chimp", "Gorilla")]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: quartet_table(treetally.TreeSet(APES), jobs=2), ValueError),
        (lambda: quintet_table(APES, ["Human", "Chimp", "Gorilla", "Gibbon"]), ValueError),
        (lambda: quartet_table(APES, ["Human", "Chimp", "Gorilla", "Bonobo"]), UnknownTaxonError),
        (lambda: quartet_table(APES, jobs=-1), ValueError),
    ],
    ids=["TreeSet in processes", "too few taxa", "unknown taxon", "negative jobs"],
)
def test_tables_refuse_what_they_cannot_count(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("x", [0.0, 1e-6, 0.3, 1.0, 3.84, 10.0, 50.0, 700.0])
@pytest.mark.parametrize("df", [1, 2])
def test_chi_square_closed_forms_match_scipy(x, df):
    stats = pytest.importorskip("scipy.stats")
    assert chi2_sf(x, df) == pytest.approx(stats.chi2.sf(x, df), rel=1e-9, abs=1e-300)


@pytest.mark.parametrize("counts", [(620, 182, 198), (30, 1, 12), (5, 5, 5), (0, 0, 7), (400, 0, 0)])
def test_coalescent_tests_match_scipy_chisquare(counts):
    stats = pytest.importorskip("scipy.stats")
    minor = sorted(counts)[:2]
    expected_minor = stats.chisquare(minor) if sum(minor) else None
    expected_star = stats.chisquare(counts)
    star, minor_test = star_test(counts), minor_equal_test(counts)
    assert (star.statistic, star.p_value) == pytest.approx(tuple(expected_star), rel=1e-9, abs=1e-300)
    if expected_minor is None:
        assert math.isnan(minor_test.statistic) and math.isnan(minor_test.p_value)
    else:
        assert (minor_test.statistic, minor_test.p_value) == pytest.approx(tuple(expected_minor), rel=1e-9)


def test_tests_without_trees_and_for_quintets():
    assert math.isnan(star_test((0, 0, 0)).p_value) and chi2_sf(0.0, 1) == 1.0
    with pytest.raises(ValueError):
        chi2_sf(1.0, 3)
    row = next(iter(quintet_table(APES)))
    with pytest.raises(ValueError, match="quartets"):
        _ = row.star
    assert "star_p" not in row.record() and len(row.flat()) == len(flat_columns(5))


def test_records_flat_rows_and_dataframe():
    table = quartet_table(APES)
    row = next(iter(table))
    record = row.record()
    assert record["taxa"] == list(row.taxa) and record["counts"] == list(row.counts)
    assert record["star_p"] == row.star.p_value and record["concordance"][0] == row.counts[0] / sum(row.counts)
    assert dict(zip(flat_columns(4), row.flat()))["minor_equal_chi2"] == row.minor_equal.statistic
    pytest.importorskip("pandas")
    frame = table.to_dataframe()
    assert list(frame.columns) == flat_columns(4) and len(frame) == 15


def test_progress_line_appears_only_after_the_delay(monkeypatch):
    monkeypatch.setattr("treetally_tools._progress.available", lambda module: False)
    stream = io.StringIO()
    meter = Progress(1000, "quartets", enabled=True, stream=stream)
    meter.advance(10)
    assert stream.getvalue() == ""
    meter.started -= 10.0
    meter.advance(490)
    assert "500/1,000 quartets (50%)" in stream.getvalue()
    meter.close()
    assert stream.getvalue().endswith("\r")
    silent = Progress(10, "quartets", stream=io.StringIO())  # not a terminal: off
    assert silent.enabled is False
