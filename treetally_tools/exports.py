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
- MSCquartets (a `quartetTable`): one column per taxon, named by it, in table order, with 1 for
  the four taxa of the row and 0 for the others; then the counts 12|34, 13|24, 14|23 (the first
  and second of the four taxa in table order together, the first and third, the first and
  fourth) and 1234, the trees that hold the four taxa but leave them unresolved. Every row is
  written. In R: as.matrix(read.csv(path, check.names = FALSE)).
"""

from __future__ import annotations

import csv
from typing import IO, Callable, Dict, List, Mapping, Sequence, Tuple

from .errors import UsageError

PHYLONETWORKS_COLUMNS = ("t1", "t2", "t3", "t4", "CF12_34", "CF13_24", "CF14_23", "ngenes")
MSCQUARTETS_COUNTS = ("12|34", "13|24", "14|23", "1234")


def _csv_line(stream: IO[str]) -> Callable[[Sequence[object]], object]:
    return csv.writer(stream, lineterminator="\n").writerow


def _equal_lengths(columns: Mapping[str, Sequence[int]], names: Sequence[str]) -> int:
    rows = len(columns[names[0]])
    if any(len(columns[name]) != rows for name in names):
        raise UsageError("the columns of a table have equal lengths")
    return rows


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


def write_phylonetworks(taxa: Sequence[str], columns: Mapping[str, Sequence[int]], stream: IO[str]) -> int:
    """Writes the table as PhyloNetworks' CF table (module docstring); returns the number of
    quartets written (those that some gene tree resolves)."""
    names = ["t1", "t2", "t3", "t4", "count_0", "count_1", "count_2"]
    rows = _equal_lengths(columns, names)
    slots = [columns[name] for name in names[:4]]
    counts = [columns[name] for name in names[4:]]
    write = _csv_line(stream)
    write(PHYLONETWORKS_COLUMNS)
    written = 0
    for row in range(rows):
        c0, c1, c2 = int(counts[0][row]), int(counts[1][row]), int(counts[2][row])
        genes = c0 + c1 + c2
        if genes == 0:
            continue
        write([*(taxa[slot[row]] for slot in slots), c0 / genes, c1 / genes, c2 / genes, genes])
        written += 1
    return written


def write_mscquartets(taxa: Sequence[str], columns: Mapping[str, Sequence[int]], stream: IO[str]) -> int:
    """Writes the table as MSCquartets' quartet table (module docstring); returns the number
    of rows written (every row)."""
    names = ["t1", "t2", "t3", "t4", "count_0", "count_1", "count_2", "unresolved"]
    rows = _equal_lengths(columns, names)
    slots = [columns[name] for name in names[:4]]
    counts = [columns[name] for name in names[4:7]]
    unresolved = columns["unresolved"]
    _csv_line(stream)([*taxa, *MSCQUARTETS_COUNTS])
    cells: List[str] = ["0"] * len(taxa)
    for row in range(rows):
        indexes, ordered = ascending_counts(
            [int(slot[row]) for slot in slots], [int(count[row]) for count in counts]
        )
        for index in indexes:
            cells[index] = "1"
        stream.write(",".join(cells) + f",{ordered[0]},{ordered[1]},{ordered[2]},{int(unresolved[row])}\n")
        for index in indexes:
            cells[index] = "0"
    return rows


WRITERS: Dict[str, Callable[[Sequence[str], Mapping[str, Sequence[int]], IO[str]], int]] = {
    "phylonetworks": write_phylonetworks,
    "mscquartets": write_mscquartets,
}


def write_export(form: str, taxa: Sequence[str], columns: Mapping[str, Sequence[int]], stream: IO[str]) -> int:
    """Writes the table in `form` ("phylonetworks" or "mscquartets"); returns the rows written."""
    if form not in WRITERS:
        raise UsageError(f"a quartet table is exported as {' or '.join(WRITERS)}, not {form!r}")
    return WRITERS[form](taxa, columns, stream)
