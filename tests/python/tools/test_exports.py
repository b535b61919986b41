"""Quartet tables for PhyloNetworks and MSCquartets, read back with pandas under the documented
column names; counts of rows whose taxa are not in table order are checked against the module's
own tally in that order."""

import io
import itertools

import pytest
import treetally

from treetally_tools.exports import write_export, write_mscquartets, write_phylonetworks

pandas = pytest.importorskip("pandas")

# The last taxon holds a quote, which CSV must escape.
GENE_TREES = '((A,B),(C,D),E);\n((A,C),(B,D),E);\n((A,B),(C,E),D);\n((A,B),C,D,E);\n((A,E),(B,x "y),C);\n'
TAXA = ("A", "B", "C", "D", "E", 'x "y')


@pytest.fixture
def table(write_trees):
    """Every quartet of TAXA, rows in combinations order but some with their slots shuffled."""
    trees = treetally.TreeSet(str(write_trees(GENE_TREES)))
    columns = {name: [] for name in ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2", "unresolved")}
    for row, quartet in enumerate(itertools.combinations(range(len(TAXA)), 4)):
        slots = quartet if row % 2 == 0 else (quartet[2], quartet[0], quartet[3], quartet[1])
        names = tuple(TAXA[i] for i in slots)
        counts = trees.tally_single_quartet(names)
        holding = sum(tree.retrieve_all_pairs_distance(names + names[:1]) is not None for tree in trees)
        for k in range(4):
            columns[f"t{k + 1}"].append(slots[k])
        for code in range(3):
            columns[f"count_{code}"].append(counts[code])
        columns["unresolved"].append(holding - sum(counts))
    return trees, columns


def test_phylonetworks_table(table):
    trees, columns = table
    out = io.StringIO()
    written = write_phylonetworks(TAXA, columns, out)
    frame = pandas.read_csv(io.StringIO(out.getvalue()), keep_default_na=False)
    assert list(frame.columns) == ["t1", "t2", "t3", "t4", "CF12_34", "CF13_24", "CF14_23", "ngenes"]
    resolved = [sum(counts) for counts in zip(columns["count_0"], columns["count_1"], columns["count_2"])]
    assert len(frame) == written == sum(1 for total in resolved if total) < 15
    for record in frame.itertuples(index=False):
        counts = trees.tally_single_quartet((record.t1, record.t2, record.t3, record.t4))
        assert record.ngenes == sum(counts) > 0
        assert (record.CF12_34, record.CF13_24, record.CF14_23) == pytest.approx([c / sum(counts) for c in counts])


def test_mscquartets_table(table):
    trees, columns = table
    out = io.StringIO()
    assert write_mscquartets(TAXA, columns, out) == 15
    frame = pandas.read_csv(io.StringIO(out.getvalue()), keep_default_na=False)
    assert list(frame.columns) == [*TAXA, "12|34", "13|24", "14|23", "1234"]
    for record, unresolved in zip(frame.itertuples(index=False), columns["unresolved"]):
        present = [taxon for taxon, flag in zip(TAXA, record[: len(TAXA)]) if flag]
        assert sorted(set(record[: len(TAXA)])) == [0, 1] and len(present) == 4  # in table order
        assert list(record[len(TAXA) : -1]) == trees.tally_single_quartet(tuple(present))
        assert record[-1] == unresolved


@pytest.mark.parametrize("form", ["phylonetworks", "mscquartets"])
def test_unequal_columns_and_unknown_forms_are_refused(table, form):
    _, columns = table
    with pytest.raises(ValueError, match="equal lengths"):
        write_export(form, TAXA, {**columns, "count_2": columns["count_2"][:-1]}, io.StringIO())
    with pytest.raises(ValueError, match="phylonetworks or mscquartets"):
        write_export(form.upper(), TAXA, columns, io.StringIO())


# Upper case sorts before lower case and an accented capital after both, as the bytes of
# UTF-8 order them (R's radix sort), not as a locale would.
MIXED_TREES = "((b,Zeta),(alpha,Émile),Alpha);\n((b,alpha),(Zeta,Alpha),Émile);\n((b,Zeta),alpha,Émile,Alpha);\n"
MIXED_TAXA = ("Émile", "b", "Zeta", "alpha", "Alpha")


@pytest.mark.parametrize("shuffle", [False, True])
def test_mscquartets_sorts_columns_and_rows_whatever_the_table_order(write_trees, shuffle):
    trees = treetally.TreeSet(str(write_trees(MIXED_TREES)))
    columns = {name: [] for name in ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2", "unresolved")}
    quartets = list(itertools.combinations(range(len(MIXED_TAXA)), 4))
    for row, quartet in enumerate(reversed(quartets) if shuffle else quartets):
        slots = (quartet[3], quartet[1], quartet[0], quartet[2]) if shuffle and row % 2 else quartet
        counts = trees.tally_single_quartet(tuple(MIXED_TAXA[i] for i in slots))
        for k in range(4):
            columns[f"t{k + 1}"].append(slots[k])
        for code in range(3):
            columns[f"count_{code}"].append(float(counts[code]) if shuffle else counts[code])
        columns["unresolved"].append(len(trees) - sum(counts))
    out = io.StringIO()
    assert write_export("mscquartets", MIXED_TAXA, columns, out) == 5
    lines = out.getvalue().splitlines()
    ordered = ["Alpha", "Zeta", "alpha", "b", "Émile"]
    assert lines[0] == ",".join(ordered) + ",12|34,13|24,14|23,1234"
    for line, names in zip(lines[1:], itertools.combinations(ordered, 4)):
        counts = trees.tally_single_quartet(names)
        flags = ",".join("1" if taxon in names else "0" for taxon in ordered)
        assert line == f"{flags},{counts[0]},{counts[1]},{counts[2]},{len(trees) - sum(counts)}"
