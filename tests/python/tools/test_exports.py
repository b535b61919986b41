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
