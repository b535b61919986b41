"""Fingerprints of whole all-quartet and all-quintet tables, so that a change of the engine (a
kernel, a width, the threads, the block sizes) can be shown to leave every row the same.

A table's fingerprint is the SHA-256 of its integer columns in the order of to_columns():
t1..t4 (t5), count_0..count_2 (count_14), holding, unresolved; each column is its name in UTF-8,
a NUL byte, then its values as little-endian signed 64-bit integers. Rows come in the order of
itertools.combinations over the taxa, and the stored tables take the taxa in file order (the
order of TreeSet.taxa()), so a fingerprint depends only on the file.

This module needs nothing but the standard library at import time, so that the same code can
fingerprint the rows of an older treetally_tools, whose tables have no to_columns()."""

import hashlib
import json
import sys
from array import array
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"
STORED = RESULTS / "table_digests.json"

# The tables whose fingerprints are kept: (file in ../shared/data, size). Every taxon of the
# file takes part, in file order.
TABLES = [
    ("plants1kp-103taxa-852genes.tre", 4),
    ("palaeognaths-14taxa-10000sim.tre", 5),
]


def code_count(size):
    return 3 if size == 4 else 15


def column_names(size):
    """The keys of to_columns() for a table of `size` taxa, in fingerprint order."""
    taxa = ["t%d" % (k + 1) for k in range(size)]
    return taxa + ["count_%d" % code for code in range(code_count(size))] + ["holding", "unresolved"]


def columns_digest(columns, size):
    """SHA-256 (hex) of a table given as columns: a dict of sequences of integers."""
    digest = hashlib.sha256()
    for name in column_names(size):
        column = columns[name]
        if getattr(column, "dtype", None) is not None:  # a numpy array, as to_columns() gives them
            whole = array("q")
            whole.frombytes(column.astype("=i8").tobytes())
            column = whole
        if not (isinstance(column, array) and column.typecode == "q"):
            column = array("q", column)
        if sys.byteorder != "little":
            column = array("q", column)
            column.byteswap()
        digest.update(name.encode("utf-8") + b"\0")
        digest.update(column.tobytes())
    return digest.hexdigest()


def rows_to_columns(rows, taxa, size):
    """Columns of a table given as rows with .taxa (names), .counts and .holding, as any
    version of treetally_tools' TableRow has them; `taxa` is the table's taxon list."""
    index = {name: k for k, name in enumerate(taxa)}
    columns = {name: array("q") for name in column_names(size)}
    slots = [columns["t%d" % (k + 1)] for k in range(size)]
    counts = [columns["count_%d" % code] for code in range(code_count(size))]
    holding, unresolved = columns["holding"], columns["unresolved"]
    for row in rows:
        for slot, name in zip(slots, row.taxa):
            slot.append(index[name])
        for column, count in zip(counts, row.counts):
            column.append(count)
        holding.append(row.holding)
        unresolved.append(row.holding - sum(row.counts))
    return columns


def engine_digest(trees, size, jobs=1):
    """(digest, rows) of the table of every taxon of a loaded TreeSet, in file order, by the
    engine's to_columns()."""
    from treetally_tools.tables import TopologyTable

    with TopologyTable(trees, size, tuple(trees.taxa()), jobs=jobs, progress=False) as table:
        columns = table.to_columns()
    return columns_digest(columns, size), len(columns["holding"])


def stored_digests(path=STORED):
    """{"<file> size <n>": {"sha256": ..., "rows": ...}} as kept in bench/results."""
    return json.loads(Path(path).read_text(encoding="utf-8"))


def key_of(file_name, size):
    return "%s size %d" % (file_name, size)
