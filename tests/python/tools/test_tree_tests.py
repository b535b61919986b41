"""The T3 and T1 tree tests as table columns: the statistics against scipy's power divergence on
the fitted counts, Pearson's conservative T3 against the minor chi-square test, p-values, the
species tree's T1, unresolved trees spread, threads, the text forms and the refusals."""

import io
import json
import math
import random
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import pytest

from treetally_tools import TopologyTable
from treetally_tools.errors import UsageError

scipy_stats = pytest.importorskip("scipy.stats")

SCRIPT = Path(sys.executable).parent / "treetally"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("treetally") or "treetally"]
SPECIES = "(((a:1,b:1):0.4,c:1):0.3,((d:1,e:1):0.2,f:1):0.3);"
# Gene-tree shapes, drawn with these weights: the species tree's most often, every quartet
# meeting conflict, some trees unresolved.
SHAPES = [
    ("(((a,b),c),((d,e),f));", 40), ("(((a,c),b),((d,f),e));", 12), ("(((b,c),a),((e,f),d));", 9),
    ("((a,d),((b,e),(c,f)));", 6), ("((a,b,c),(d,e,f));", 5), ("(((a,f),c),((d,b),e));", 3),
]  # fmt: skip


def gene_trees(count, seed=7):
    rng = random.Random(seed)
    shapes, weights = zip(*SHAPES)
    return "".join(line + "\n" for line in rng.choices(shapes, weights, k=count))


@pytest.fixture
def trees(write_trees):
    return write_trees(gene_trees(300))


def fitted(observed, species=None):
    """The maximum-likelihood counts on the tree model (all of T3, or T1's one segment)."""
    total = sum(observed)
    major = max(range(3), key=observed.__getitem__) if species is None else species
    if 3 * observed[major] < total:
        return [total / 3] * 3
    return [observed[k] if k == major else (total - observed[major]) / 2 for k in range(3)]


def counts_of(columns, row):
    return [float(columns[f"count_{code}"][row]) for code in range(3)]


@pytest.mark.parametrize("lambda_", [0.0, 1.0, 2 / 3, -0.5])
def test_the_statistics_are_the_power_divergence_from_the_fitted_counts(trees, lambda_):
    columns = TopologyTable(trees, 4, tree_tests=("t3", "t1"), lambda_=lambda_, species_tree=SPECIES).to_columns()
    for row in range(len(columns["t1"])):
        observed = counts_of(columns, row)
        if lambda_ < 0 and min(observed) == 0:
            continue  # scipy leaves 0 * inf undefined; a zero cell adds its limit, 0
        t3 = scipy_stats.power_divergence(observed, fitted(observed), lambda_=lambda_).statistic
        species = int(columns["species_code"][row])
        t1 = scipy_stats.power_divergence(observed, fitted(observed, species), lambda_=lambda_).statistic
        assert columns["t3_statistic"][row] == pytest.approx(t3, rel=1e-10, abs=1e-12)
        assert columns["t1_statistic"][row] == pytest.approx(t1, rel=1e-10, abs=1e-12)
    for name in ("t3_p", "t1_p"):
        assert ((columns[name] >= 0) & (columns[name] <= 1)).all()


def test_pearson_conservative_t3_is_the_minor_chi_square_test_where_counts_are_many(shared_file):
    path = shared_file("mammals-37taxa-424genes.tre")
    table = TopologyTable(path, 4, tree_tests=("t3",), lambda_=1, test_method="conservative", jobs=2)
    columns = table.to_columns()
    counts = numpy.stack([columns[f"count_{code}"] for code in range(3)])
    total = counts.sum(axis=0)
    many = (total >= 30) & ((total - counts.max(axis=0)) / 2 >= 5)
    assert many.sum() > 1000
    # One topology alone: the fit is exact (0, p 1) where the minor test has nothing to compare.
    alone = numpy.isnan(columns["minor_equal_chi2"])
    assert (columns["t3_statistic"][alone] == 0).all() and (columns["t3_p"][alone] == 1).all()
    assert columns["t3_statistic"][~alone] == pytest.approx(columns["minor_equal_chi2"][~alone], abs=1e-9)
    assert columns["t3_p"][many] == pytest.approx(columns["minor_equal_p"][many], abs=1e-12)
    # The law at the fitted point lies under its bound, and meets it far from the star.
    mlest = TopologyTable(path, 4, tree_tests=("t3",), lambda_=1, jobs=2).to_columns()["t3_p"]
    assert (mlest[many] <= columns["t3_p"][many] + 1e-12).all()
    assert (mlest[many] < columns["t3_p"][many] - 1e-3).any()


def test_t1_rejects_a_species_quartet_the_gene_trees_rarely_show(write_trees):
    path = write_trees("((a,b),(c,d));\n" * 300 + "((a,c),(b,d));\n" * 40 + "((a,d),(b,c));\n" * 30)
    for species, rejected in (("((a:1,b:1):1,(c:1,d:1):1);", False), ("((a:1,d:1):1,(b:1,c:1):1);", True)):
        row = TopologyTable(path, 4, tree_tests=("t1", "t3"), species_tree=species).to_columns()
        assert bool(row["t1_p"][0] < 1e-50) is rejected
        assert row["t3_p"][0] > 0.05
        if not rejected:
            assert row["t1_statistic"][0] == row["t3_statistic"][0]


def test_unresolved_trees_spread_into_the_tests(write_trees):
    path = write_trees("((a,b),(c,d));\n" * 30 + "((a,c),(b,d));\n" * 9 + "((a,d),(b,c));\n" * 4 + "(a,b,c,d);\n" * 6)
    third = TopologyTable(path, 4, tree_tests=("t3",), unresolved="third").to_columns()
    observed = [30 + 2, 9 + 2, 4 + 2]
    expected = scipy_stats.power_divergence(observed, fitted(observed), lambda_=0).statistic
    assert third["t3_statistic"][0] == pytest.approx(expected, rel=1e-12)
    dropped = TopologyTable(path, 4, tree_tests=("t3",)).to_columns()
    assert dropped["t3_statistic"][0] != third["t3_statistic"][0]


@pytest.mark.parametrize("method", ["mlest", "conservative"])
def test_threads_give_the_same_columns(write_trees, method):
    path = write_trees(gene_trees(2000, seed=3))
    tables = [
        TopologyTable(path, 4, tree_tests=("t3", "t1"), species_tree=SPECIES, test_method=method, jobs=jobs)
        for jobs in (1, 2)
    ]
    one, two = (table.to_columns() for table in tables)
    for name in ("t3_statistic", "t3_p", "t1_statistic", "t1_p"):
        assert one[name].tobytes() == two[name].tobytes()


def test_the_columns_come_with_every_output(trees):
    table = TopologyTable(trees, 4, tree_tests=["t1", "t3", "t3"], species_tree=SPECIES)
    assert table.header[-4:] == ["t3_statistic", "t3_p", "t1_statistic", "t1_p"]
    text = io.StringIO()
    table.write(text, "csv")
    lines = text.getvalue().splitlines()
    assert lines[0].split(",") == table.header and len(lines) == len(table) + 1
    records = io.StringIO()
    table.write(records, "json")
    first = json.loads(records.getvalue())[0]
    assert 0 <= first["t3_p"] <= 1
    values = next(table.value_rows())
    assert len(values) == len(table.header)
    plain = TopologyTable(trees, 4)
    assert not any(name.startswith(("t3_", "t1_")) for name in plain.header)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"size": 5, "tree_tests": ("t3",)}, "quartet tables"),
        ({"size": 4, "tree_tests": ("t1",)}, "needs a species tree"),
        ({"size": 4, "tree_tests": ("t2",)}, "'t3' and 't1'"),
        ({"size": 4, "tree_tests": ("t3",), "test_method": "MLtest"}, "test_method"),
        ({"size": 4, "tree_tests": ("t3",), "lambda_": math.nan}, "finite"),
    ],
)
def test_refusals(trees, options, message):
    size = options.pop("size")
    with pytest.raises(UsageError, match=message):
        TopologyTable(trees, size, **options)


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--size", "5", "--tree-test", "t3"], "--tree-test t3 is for quartet tables"),
        (["--size", "4", "--tree-test", "t1"], "give --species-tree"),
        (["--size", "4", "--lambda", "1"], "give --tree-test"),
        (["--size", "4", "--tree-test", "t3", "--format", "mscquartets"], "no tree tests"),
    ],
)
def test_the_command_refuses_in_one_line(trees, arguments, message):
    done = subprocess.run(COMMAND + ["table", str(trees), *arguments], capture_output=True, text=True)
    assert done.returncode != 0 and message in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1


def test_the_command_adds_both_tests(trees):
    arguments = ["table", str(trees), "--size", "4", "--format", "csv", "--no-progress", "--species-tree", SPECIES]
    tests = ["--tree-test", "t3", "--tree-test", "t1", "--lambda", "1", "--test-method", "conservative"]
    done = subprocess.run(COMMAND + arguments + tests, capture_output=True, text=True, check=True)
    header = done.stdout.splitlines()[0].split(",")
    assert header[-4:] == ["t3_statistic", "t3_p", "t1_statistic", "t1_p"]
    plain = subprocess.run(COMMAND + arguments, capture_output=True, text=True, check=True)
    assert [line.split(",")[: len(line.split(",")) - 4] for line in done.stdout.splitlines()] == [
        line.split(",") for line in plain.stdout.splitlines()
    ]
