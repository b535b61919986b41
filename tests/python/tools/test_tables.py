"""All-quartet and all-quintet tables against one module sweep per row, however they are taken
(rows, columns, CSV or JSON text, a DataFrame) and on however many threads; the coalescent tests
against scipy."""

import csv
import io
import itertools
import json
import math
import random
import shutil
from array import array
from pathlib import Path

import numpy
import pytest

import treetally
from treetally_tools import (
    TopologyTable,
    UnknownTaxonError,
    chi2_sf,
    flat_columns,
    minor_equal_test,
    quartet_table,
    quintet_table,
    star_test,
)
from treetally_tools._progress import Progress
from treetally_tools._row_values import values_of_columns
from treetally_tools.output import write_csv, write_json_list
from treetally_tools.coalescent import quartet_test_values
from treetally_tools.tables import TEST_COLUMNS, column_names, csv_cell

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
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
def test_threads_give_the_rows_of_one_thread(write_trees, size):
    path = write_trees("\n".join(incomplete_trees(400, seed=size)) + "\n")
    trees = treetally.TreeSet(path)
    plain = list(TopologyTable(path, size))
    assert list(TopologyTable(trees, size, jobs=2)) == plain
    threaded, alone = TopologyTable(trees, size, jobs=0).to_columns(), TopologyTable(path, size).to_columns()
    assert list(threaded) == list(alone)
    assert all(numpy.array_equal(threaded[name], alone[name], equal_nan=True) for name in alone)
    assert any(row.unresolved for row in plain) and any(row.holding < 400 for row in plain)


def test_table_of_a_shared_file_with_missing_taxa(shared_file):
    path = shared_file("plants1kp-103taxa-852genes.tre")
    taxa = treetally.TreeSet(path).taxa()[::9]
    rows = list(quartet_table(path, taxa, jobs=2))
    assert [(row.taxa, row.counts, row.holding) for row in rows] == module_rows(path, taxa, 4)


@pytest.mark.parametrize("size", [4, 5])
def test_columns_are_the_rows_and_the_modules_sweeps(shared_file, size):
    path = shared_file("plants1kp-103taxa-424genes-bs10.tre")  # polytomies and missing taxa
    trees = treetally.TreeSet(path)
    table = TopologyTable(trees, size, trees.taxa()[: 24 if size == 4 else 14], jobs=2)
    columns = table.to_columns()
    shares = flat_columns(size)[len(column_names(size)) :]  # the shares and the tests follow the integers
    assert list(columns) == column_names(size) + shares and {len(column) for column in columns.values()} == {len(table)}
    rows = list(table)
    codes = range(3 if size == 4 else 15)
    assert [
        (tuple(table.taxa[columns[f"t{k + 1}"][i]] for k in range(size)),
         tuple(columns[f"count_{code}"][i] for code in codes), columns["holding"][i], columns["unresolved"][i])
        for i in range(len(table))
    ] == [(row.taxa, row.counts, row.holding, row.unresolved) for row in rows]  # fmt: skip
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    for row in random.Random(size).sample(rows, 60):
        assert list(row.counts) == sweep(row.taxa)
        assert row.holding == sum(tree.retrieve_all_pairs_distance((row.taxa * 2)[:5]) is not None for tree in trees)


def test_a_table_never_reads_the_file_again(tmp_path):
    path = tmp_path / "trees.tre"
    shutil.copy(APES, path)
    trees = treetally.TreeSet(path)
    expected = module_rows(path, trees.taxa(), 4)
    path.write_text("((A,B),(C,D));\n")
    table = quartet_table(trees, trees.taxa(), jobs=2)
    path.unlink()
    assert [(row.taxa, row.counts, row.holding) for row in table] == expected


def test_chosen_taxa_in_their_order_and_a_repeated_one_refused():
    table = quartet_table(APES, ["Human", "Gibbon", "Chimp", "Gorilla"])
    assert [row.taxa for row in table] == [("Human", "Gibbon", "Chimp", "Gorilla")]
    with pytest.raises(ValueError, match="more than once: Human"):
        quartet_table(APES, ["Human", "Gibbon", "Chimp", "Human", "Gorilla"])


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: quintet_table(APES, ["Human", "Chimp", "Gorilla", "Gibbon"]), ValueError),
        (lambda: quartet_table(APES, ["Human", "Chimp", "Gorilla", "Bonobo"]), UnknownTaxonError),
        (lambda: quartet_table(APES, jobs=-1), ValueError),
    ],
    ids=["too few taxa", "unknown taxon", "negative jobs"],
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


def test_writing_refuses_other_forms():
    with pytest.raises(ValueError, match="csv or json"):
        quartet_table(APES).write(io.StringIO(), "text")


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


def tricky_trees(write_trees):
    """Names that CSV must quote (a carriage return, a quote), rows with no resolved tree (NaN
    concordance and tests) and rows no tree holds."""
    lines = incomplete_trees(200, seed=11) + ["((A\rB,C\"q),(t1,t2));", "((A\rB,C\"q,t1,t2));"]
    return write_trees("\n".join(lines) + "\n")


@pytest.mark.parametrize("size", [4, 5])
def test_dataframe_holds_the_rows_values(write_trees, size):
    pytest.importorskip("pandas")
    table = TopologyTable(tricky_trees(write_trees), size)
    frame = table.to_dataframe()
    assert list(frame.columns) == flat_columns(size) and len(frame) == len(table)
    expected = [row.flat() for row in table]
    assert [[None if value != value else value for value in values] for values in frame.values.tolist()] == [
        [None if value != value else value for value in values] for values in expected
    ]


def python_tests(counts):
    """The two tests as Python's own arithmetic gives them: the values any table must hold."""
    low, middle = sorted(counts)[:2]
    minor = [math.nan, math.nan] if low + middle == 0 else [(low - middle) ** 2 / (low + middle)]
    if len(minor) == 1:
        minor.append(math.erfc(math.sqrt(minor[0] / 2.0)) if minor[0] > 0 else 1.0)
    total = sum(counts)
    if total == 0:
        return minor + [math.nan, math.nan]
    even = total / 3.0
    star = ((counts[0] - even) ** 2 + (counts[1] - even) ** 2 + (counts[2] - even) ** 2) / even
    return minor + [star, math.exp(-star / 2.0) if star > 0 else 1.0]


def test_the_tests_are_pythons_arithmetic_to_the_bit_for_large_counts():
    # Counts in the tens of thousands, where a float squared by a product and by pow() differ
    # in the last bit for about one quartet in a thousand.
    rng = random.Random(3)
    counts = [[rng.randrange(100000) for _ in range(3)] for _ in range(5000)] + [[0, 0, 0], [0, 0, 9]]
    columns = {f"t{k + 1}": [0] * len(counts) for k in range(4)}
    columns.update((f"count_{code}", [row[code] for row in counts]) for code in range(3))
    found = values_of_columns(4, columns, ("a",))
    assert repr(list(zip(*(found[name].tolist() for name in TEST_COLUMNS)))) == repr(
        [tuple(python_tests(row)) for row in counts]
    )
    assert repr([quartet_test_values(row) for row in counts[-50:]]) == repr([python_tests(row) for row in counts[-50:]])


@pytest.mark.parametrize("size", [4, 5])
def test_csv_and_json_text_are_the_rows(write_trees, size):
    table = TopologyTable(tricky_trees(write_trees), size, jobs=2)
    assert "A\rB" in table.taxa and 'C"q' in table.taxa
    rows = list(table)
    written = {}
    for form in ("csv", "json"):
        written[form] = io.StringIO(newline="")
        table.write(written[form], form)
    # Byte for byte what the csv and json modules write for the rows...
    expected_csv, expected_json = io.StringIO(newline=""), io.StringIO()
    write_csv(expected_csv, flat_columns(size), (row.flat() for row in rows))
    write_json_list(expected_json, (row.record() for row in rows), ready=True)
    assert written["csv"].getvalue() == expected_csv.getvalue()
    assert written["json"].getvalue() == expected_json.getvalue()
    # ... and read back, the rows themselves.
    read = list(csv.reader(io.StringIO(written["csv"].getvalue(), newline="")))
    assert read[0] == flat_columns(size) and len(read) == len(rows) + 1
    assert [line[:size] for line in read[1:]] == [list(row.taxa) for row in rows]
    assert [[float(cell) if cell else None for cell in line[size:]] for line in read[1:]] == [
        [None if value != value else value for value in row.flat()[size:]] for row in rows
    ]
    assert json.loads(written["json"].getvalue()) == [row.record() for row in rows]


@pytest.mark.parametrize(
    "name, cell",
    [("plain", "plain"), ("a,b", '"a,b"'), ('say "hi"', '"say ""hi"""'), ("a\rb", '"a\rb"'), ("a\nb", '"a\nb"')],
)
def test_a_csv_cell_is_quoted_as_written_for_any_reader(name, cell):
    out = io.StringIO(newline="")
    write_csv(out, ["name", "count"], [[name, 1]])
    assert csv_cell(name) == cell and out.getvalue() == f"name,count\n{cell},1\n"
    assert list(csv.reader(io.StringIO(out.getvalue(), newline=""))) == [["name", "count"], [name, "1"]]


def test_progress_counts_every_row_and_closes(monkeypatch):
    advances = []

    class Meter:
        def __init__(self, total, unit, enabled):
            advances.append((total, unit, enabled))

        def advance(self, rows):
            advances.append(rows)

        def close(self):
            advances.append("closed")

    monkeypatch.setattr("treetally_tools.tables.Progress", Meter)
    quintet_table(APES, progress=True).write(io.StringIO(), "csv")
    assert advances[0] == (6, "quintets", True) and sum(advances[1:-1]) == 6 and advances[-1] == "closed"


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
