# A quartet table written in the layouts that two network and species-tree packages read as
# input: PhyloNetworks' table of concordance factors and MSCquartets' quartet table. Both are
# CSV, written row by row from the table's integer columns.
"""Quartet tables for PhyloNetworks and MSCquartets.

Both writers take the table's taxa, its columns as TopologyTable.to_columns() gives them (t1-t4
as indexes into the taxa, count_0-count_2, unresolved) and a text stream.

- PhyloNetworks (`readTableCF`): header t1,t2,t3,t4,CF12_34,CF13_24,CF14_23,ngenes, one line
  per quartet with taxon names in slot order; CF12_34 is the share of code 0 (slots 1 and 2
  together), CF13_24 of code 1, CF14_23 of code 2, among the ngenes gene trees that resolve the
  quartet. A quartet that no gene tree resolves has no concordance factors and is left out.
- MSCquartets (a `quartetTable`): one column per taxon, named by it, the taxa sorted by the
  bytes of their UTF-8 names (as R's sort(method = "radix") sorts them; MSCquartets sorts its
  taxa so and finds them by position), with 1 for the four taxa of the row and 0 for the
  others; then the counts 12|34, 13|24, 14|23 (the first and second of the four taxa in that
  sorted order together, the first and third, the first and fourth) and 1234, the trees that
  hold the four taxa but leave them unresolved. Rows run through the four-taxon sets of the
  sorted taxa in lexicographic order (R's combn order), whatever the table's own order; every
  row is written, counts as integers. In R: as.matrix(read.csv(path, check.names = FALSE)).
"""

from __future__ import annotations

from typing import IO, Any, Callable, Dict, Iterator, List, Mapping, Sequence, Tuple

import numpy

from ._row_values import values_of_columns
from .errors import UsageError
from .output import csv_cell
from .taxon_map import share_text

PHYLONETWORKS_COLUMNS = ("t1", "t2", "t3", "t4", "CF12_34", "CF13_24", "CF14_23", "ngenes")
MSCQUARTETS_COUNTS = ("12|34", "13|24", "14|23", "1234")
# Rows turned into Python values at a time: whole columns are never copied.
_CHUNK_ROWS = 1 << 15


def _equal_lengths(columns: Mapping[str, Any], names: Sequence[str]) -> int:
    rows = len(columns[names[0]])
    if any(len(columns[name]) != rows for name in names):
        raise UsageError("the columns of a table have equal lengths")
    return rows


def _chunks(columns: Mapping[str, Any], names: Sequence[str], rows: int) -> Iterator[List[List[Any]]]:
    """The columns `names` a run of rows at a time, as lists of Python values."""
    for start in range(0, rows, _CHUNK_ROWS):
        yield [numpy.asarray(columns[name][start : start + _CHUNK_ROWS]).tolist() for name in names]


def ascending_counts(indexes: Sequence[int], counts: Sequence[int]) -> Tuple[Tuple[int, ...], Tuple[int, int, int]]:
    """The four taxon indexes in ascending order and the three counts recoded to that order
    (a code names its split by the slot paired with slot 0: code 0 pairs it with slot 1)."""
    order = sorted(range(4), key=lambda slot: indexes[slot])
    if order == [0, 1, 2, 3]:
        return tuple(indexes), (counts[0], counts[1], counts[2])
    rank = [0] * 4
    for new, old in enumerate(order):
        rank[old] = new
    recoded = [0, 0, 0]
    # Code c pairs slot 0 with slot c + 1; after reordering, the new slot 0 sits in one of the
    # two pairs of that split, and its partner fixes the new code.
    for code in range(3):
        pairs = ((0, code + 1), tuple(slot for slot in (1, 2, 3) if slot != code + 1))
        for first, second in pairs:
            if rank[first] == 0 or rank[second] == 0:
                partner = rank[second] if rank[first] == 0 else rank[first]
                recoded[partner - 1] += counts[code]
    return tuple(indexes[slot] for slot in order), (recoded[0], recoded[1], recoded[2])


def write_phylonetworks(taxa: Sequence[str], columns: Mapping[str, Any], stream: IO[str]) -> int:
    """Writes the table as PhyloNetworks' CF table (module docstring); returns the number of
    quartets written (those that some gene tree resolves). The concordance factors are the
    table's concordance columns (computed by the engine when `columns` lacks them)."""
    names = ["t1", "t2", "t3", "t4", "count_0", "count_1", "count_2"]
    rows = _equal_lengths(columns, names)
    shares = [f"concordance_{code}" for code in range(3)]
    if any(name not in columns for name in shares):
        columns = {**columns, **values_of_columns(4, columns, taxa)}
    cells = [csv_cell(taxon) for taxon in taxa]
    stream.write(",".join(PHYLONETWORKS_COLUMNS) + "\n")
    written = 0
    for t1, t2, t3, t4, c0, c1, c2, f0, f1, f2 in _chunks(columns, names + shares, rows):
        lines = [
            f"{cells[a]},{cells[b]},{cells[c]},{cells[d]},{x!r},{y!r},{z!r},{share_text(n0 + n1 + n2)}\n"
            for a, b, c, d, n0, n1, n2, x, y, z in zip(t1, t2, t3, t4, c0, c1, c2, f0, f1, f2)
            if n0 + n1 + n2 > 0
        ]
        stream.write("".join(lines))
        written += len(lines)
    return written


def mscquartets_taxa(taxa: Sequence[str]) -> List[str]:
    """The taxa in MSCquartets' column order: by the bytes of their UTF-8 names."""
    return sorted(taxa, key=lambda taxon: taxon.encode("utf-8"))


def _whole(column: Any) -> Any:
    """A count column as integers when every value is whole (a float column from a frame)."""
    values = numpy.asarray(column)
    if values.dtype.kind == "f" and numpy.all(numpy.mod(values, 1) == 0):
        return values.astype(numpy.int64)
    return values


def _combn_order(ranks: Any) -> Any:
    """The row order that lists each row's four sorted ranks lexicographically."""
    ranks.sort(axis=1)
    return numpy.lexsort(tuple(ranks[:, slot] for slot in (3, 2, 1, 0)))


def write_mscquartets(taxa: Sequence[str], columns: Mapping[str, Any], stream: IO[str]) -> int:
    """Writes the table as MSCquartets' quartet table (module docstring); returns the number
    of rows written (every row)."""
    names = ["t1", "t2", "t3", "t4", "count_0", "count_1", "count_2", "unresolved"]
    rows = _equal_lengths(columns, names)
    sorted_taxa = mscquartets_taxa(taxa)
    position = {taxon: index for index, taxon in enumerate(sorted_taxa)}
    # rank[i]: the column of the table's taxon i among the sorted taxa.
    rank = numpy.array([position[taxon] for taxon in taxa], dtype=numpy.int64)
    slots = [rank[numpy.asarray(columns[name], dtype=numpy.int64)] for name in names[:4]]
    order = _combn_order(numpy.stack(slots, axis=1)) if rows else numpy.zeros(0, dtype=numpy.int64)
    stream.write(",".join(csv_cell(name) for name in [*sorted_taxa, *MSCQUARTETS_COUNTS]) + "\n")
    counts = [_whole(columns[name]) for name in names[4:]]
    cells: List[str] = ["0"] * len(taxa)
    for start in range(0, rows, _CHUNK_ROWS):
        chosen = order[start : start + _CHUNK_ROWS]
        t1, t2, t3, t4 = (column[chosen].tolist() for column in slots)
        c0, c1, c2, unresolved = (column[chosen].tolist() for column in counts)
        lines = []
        for quartet, tallied, rest in zip(zip(t1, t2, t3, t4), zip(c0, c1, c2), unresolved):
            indexes, ordered = ascending_counts(quartet, tallied)
            for index in indexes:
                cells[index] = "1"
            shown = ",".join(share_text(count) for count in (*ordered, rest))
            lines.append(",".join(cells) + f",{shown}\n")
            for index in indexes:
                cells[index] = "0"
        stream.write("".join(lines))
    return rows


WRITERS: Dict[str, Callable[[Sequence[str], Mapping[str, Any], IO[str]], int]] = {
    "phylonetworks": write_phylonetworks,
    "mscquartets": write_mscquartets,
}


def write_export(form: str, taxa: Sequence[str], columns: Mapping[str, Any], stream: IO[str]) -> int:
    """Writes the table in `form` ("phylonetworks" or "mscquartets"); returns the rows written."""
    if form not in WRITERS:
        raise UsageError(f"a quartet table is exported as {' or '.join(WRITERS)}, not {form!r}")
    return WRITERS[form](taxa, columns, stream)
