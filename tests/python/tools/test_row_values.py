"""Every per-row value comes from the engine: columns as numpy arrays over its buffers, the
extras in every form alike, the adjustment against its definition, the memory refusal counting
every column, exports quoting names as CSV does, and the module importing without numpy."""

import csv
import io
import math
import re
import subprocess
import sys
import textwrap

import numpy
import pytest

from treetally_tools import SpeciesTree, adjust_p_values, quartet_table, species_columns
from treetally_tools._row_values import values_of_columns
from treetally_tools.exports import write_mscquartets, write_phylonetworks

GENES = "((A,B),(C,D),E);\n((A,C),(B,D),E);\n((A,B),(C,E),D);\n((A,B),C,D,E);\n((A,E),(B,D),C);\n"
SPECIES = "(((A:1,B:1):0.5,C:1):0.25,(D:1,E:1):2);"


def test_columns_are_numpy_arrays_over_the_engines_buffers(write_trees):
    table = quartet_table(write_trees(GENES), species_tree=[SPECIES], adjust="holm")
    columns = table.to_columns()
    assert list(columns) == ["t1", "t2", "t3", "t4"] + table.header[4:]
    for name, column in columns.items():
        assert isinstance(getattr(column.base, "obj", column.base), bytearray) and column.flags.writeable  # not copied
        assert column.dtype == (bool if name == "dominant_is_species" else numpy.int64 if name in (
            "species_code", "dominant_code", "holding", "unresolved") or re.fullmatch(r"t\d|count_\d", name)
            else numpy.float64)  # fmt: skip
    # The same values row by row as whole columns.
    rows = list(table.value_rows())
    for k, name in enumerate(table.header[4:], start=4):
        assert repr([row[k] for row in rows]) == repr(columns[name].tolist())


@pytest.mark.parametrize("method", ["holm", "bh"])
def test_adjustment_is_its_definition(method):
    rng = numpy.random.default_rng(7)
    p = numpy.concatenate([rng.random(300), [0.0, 1.0, 0.5, 0.5, math.nan]])
    found = adjust_p_values(p.tolist(), method)
    valid = [value for value in p.tolist() if value == value]
    m = len(valid)
    ordered = sorted(valid)
    for value, adjusted in zip(p.tolist(), found):
        if value != value:
            assert adjusted != adjusted
            continue
        k = max(j for j in range(m) if ordered[j] == value)  # the last of tied values
        first = min(j for j in range(m) if ordered[j] == value)
        if method == "holm":
            expected = max(min(1.0, (m - j) * ordered[j]) for j in range(first + 1))
        else:
            expected = min(min(1.0, m * ordered[j] / (j + 1)) for j in range(k, m))
        assert adjusted == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("bad", [[1.5], [-0.1], [0.2, math.inf]])
def test_adjustment_refuses_what_is_no_p_value(bad):
    with pytest.raises(ValueError, match="between 0 and 1"):
        adjust_p_values(bad, "bh")


def test_species_columns_of_given_columns_are_the_tables(write_trees):
    table = quartet_table(write_trees(GENES), species_tree=[SPECIES])
    columns = table.to_columns()
    given = {name: columns[name].tolist() for name in ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2")}
    found = species_columns(SpeciesTree([SPECIES]), table.taxa, given)
    for name, values in found.items():
        assert repr(values.tolist()) == repr(columns[name].tolist())
    with pytest.raises(ValueError, match="equal lengths"):
        values_of_columns(4, {**given, "count_2": given["count_2"][:-1]}, table.taxa)
    with pytest.raises(ValueError, match="out of range"):
        values_of_columns(4, {**given, "t1": [99] * len(given["t1"])}, table.taxa)


def test_a_table_whose_columns_do_not_fit_is_refused_counting_every_column_under_a_memory_limit(tmp_path):
    # One tree of 300 taxa: 330 million rows, whose columns cannot fit in 2 GB of address space;
    # the figure quoted is every column's, floats, flags and the adjustment's copies included.
    script = textwrap.dedent(
        """
        import resource, sys, treetally
        from treetally_tools import _engine
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        with open(sys.argv[1], "w") as out:
            out.write("(" * 299 + "t0" + "".join(",t%d)" % k for k in range(1, 300)) + ";\\n")
        trees = treetally.TreeSet(sys.argv[1])
        for species in (None, trees):
            try:
                _engine.Table(trees, 4, tuple(trees.taxa()), species=species).all_columns()
            except MemoryError as error:
                print(error)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "wide.tre")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    rows = math.comb(300, 4)
    plain_bytes = rows * (4 + 3 + 2 + 3 + 4) * 8
    species_bytes = plain_bytes + rows * (5 * 8 + 1)
    quoted = [int(figure) for figure in re.findall(r"need about (\d+) MiB", done.stdout)]
    assert quoted == [plain_bytes // 2**20, species_bytes // 2**20]


@pytest.mark.parametrize("writer", [write_phylonetworks, write_mscquartets])
def test_exports_quote_names_as_csv_cells(writer):
    taxa = ("A\rB", "C,D", 'E"F', "G", "H")
    columns = {"t1": [0, 0], "t2": [1, 1], "t3": [2, 3], "t4": [3, 4], "count_0": [2, 0], "count_1": [1, 0],
               "count_2": [0, 0], "unresolved": [0, 1]}  # fmt: skip
    out = io.StringIO(newline="")
    written = writer(taxa, columns, out)
    read = list(csv.reader(io.StringIO(out.getvalue(), newline="")))
    assert len(read) == written + 1 and len({len(row) for row in read}) == 1
    assert "A\rB" in (read[0] + read[1])


def test_the_module_imports_without_numpy():
    script = "import sys; sys.modules['numpy'] = None; import treetally; print(treetally.TreeSet)"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def test_species_lengths_alike_for_tables_of_many_and_few_taxa():
    # A table of more than 1024 taxa asks the species tree per row; a smaller one keeps every
    # path length at once. Both give the same values to the bit.
    rng = numpy.random.default_rng(3)
    names = [f"s{k}" for k in range(1100)]
    newick = f"{names[0]}:0.5"
    for k in range(1, len(names), 3):  # now and then a node of four children: unresolved quartets
        leaves = [f"{name}:{rng.uniform(0.1, 2):.3f}" for name in names[k : k + 3]]
        joined = [",".join(leaves)] if k % 2 == 0 else leaves
        newick = f"(({newick},{joined[0]}):{rng.uniform(0, 1):.4f}" + "".join(f",{rest}" for rest in joined[1:]) + ")"
        newick += f":{rng.uniform(0, 1):.4f}"
    species = SpeciesTree([newick + ";"])
    chosen = rng.choice(len(names), size=(400, 4))
    chosen = chosen[[len(set(row)) == 4 for row in chosen.tolist()]]
    counts = rng.integers(0, 30, size=(len(chosen), 3))
    few = sorted(set(chosen.ravel().tolist()))
    rank = {index: k for k, index in enumerate(few)}
    found = []
    for taxa, slots in ((names, chosen), ([names[i] for i in few], numpy.vectorize(rank.get)(chosen))):
        columns = {f"t{k + 1}": slots[:, k] for k in range(4)}
        columns.update((f"count_{code}", counts[:, code]) for code in range(3))
        found.append(values_of_columns(4, columns, taxa, species.trees))
    assert len(few) <= 1024 < len(names)
    for name in ("species_code", "species_length", "expected_concordance", "dominant_is_species"):
        assert repr(found[0][name].tolist()) == repr(found[1][name].tolist())
    assert (found[0]["species_code"] == -1).any() and (found[0]["species_code"] >= 0).any()
