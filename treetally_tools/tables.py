# Every quartet or quintet of a list of taxa with its counts, as an ordered stream of rows.
# The engine counts them in blocks of consecutive rows on several threads, over the loaded
# TreeSet, and hands the blocks out in order as columns of integers; rows, columns, a DataFrame
# and CSV or JSON text are all made from those blocks.
"""All-quartet and all-quintet tables with concordance and coalescent tests.

Rows come in the order of itertools.combinations over the taxa (by default every taxon, the
rarest first). Each row's codes are those of its own taxa in that order (slot k is its k-th
taxon).

The table never reads a file again after the trees are loaded: the counting threads work on
the TreeSet itself. Each pass over the table (iterating it, to_columns, to_dataframe, write)
counts anew, block by block, so that a table of millions of rows needs memory only for the
blocks in flight (to_columns and to_dataframe keep every row, of course).
"""

from __future__ import annotations

import json
import math
from array import array
from typing import IO, TYPE_CHECKING, Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from . import _engine
from ._extras import require
from ._progress import Progress
from .codes import code_count
from .coalescent import NAN, ChiSquare, chi2_sf, minor_equal_test, quartet_test_values, star_test
from .errors import UsageError
from .names import check_names
from .output import csv_cell
from .sources import load_trees

if TYPE_CHECKING:
    from .sources import Trees

# The quartet tests' columns: statistic and p-value of each.
TEST_COLUMNS = ["minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"]
# The forms write() gives.
WRITE_FORMS = ("csv", "json")
_INT64_BYTES = 8
# Rows of a DataFrame's test columns computed with Python floats at a time.
_SLICE_ROWS = 1 << 16

Columns = Dict[str, "array[int]"]
Block = Dict[str, bytes]


class TableRow(NamedTuple):
    """One quartet or quintet of the table: its taxa, the number of trees of each code, and
    how many trees hold all the taxa (resolved or not)."""

    taxa: Tuple[str, ...]
    counts: Tuple[int, ...]
    holding: int

    @property
    def resolved(self) -> int:
        return sum(self.counts)

    @property
    def unresolved(self) -> int:
        """Trees that hold all the taxa but leave them unresolved."""
        return self.holding - self.resolved

    @property
    def concordance(self) -> Tuple[float, ...]:
        """Each topology's share of the resolved trees, index = code (NaN when none)."""
        resolved = self.resolved
        return tuple(count / resolved if resolved else math.nan for count in self.counts)

    @property
    def minor_equal(self) -> ChiSquare:
        """Quartets only: the chi-square test that the two minor topologies are equally frequent."""
        return minor_equal_test(self._quartet_counts())

    @property
    def star(self) -> ChiSquare:
        """Quartets only: the chi-square test that all three topologies are equally frequent."""
        return star_test(self._quartet_counts())

    def _quartet_counts(self) -> Tuple[int, ...]:
        if len(self.counts) != 3:
            raise UsageError("the coalescent tests are defined for quartets")
        return self.counts

    def flat(self) -> List[Any]:
        """The row's values in the order of flat_columns(size)."""
        counts = self.counts
        resolved = sum(counts)
        shares = [count / resolved for count in counts] if resolved else [math.nan] * len(counts)
        values: List[Any] = [*self.taxa, *counts, self.holding, self.holding - resolved, *shares]
        if len(counts) == 3:
            values += quartet_test_values(counts)
        return values

    def record(self) -> Dict[str, Any]:
        """The row as a JSON-ready dict (None where a value is not a number): taxa, counts,
        holding, unresolved, concordance, and for quartets the two tests."""
        values = [None if value != value else value for value in self.flat()]  # NaN != NaN
        size, codes = len(self.taxa), len(self.counts)
        shares_end = size + 2 * codes + 2
        record: Dict[str, Any] = {
            "taxa": values[:size],
            "counts": values[size : size + codes],
            "holding": values[size + codes],
            "unresolved": values[size + codes + 1],
            "concordance": values[size + codes + 2 : shares_end],
        }
        record.update(zip(TEST_COLUMNS, values[shares_end:]))
        return record


def flat_columns(size: int) -> List[str]:
    """Column names of a table of `size` taxa with one value per column (CSV, DataFrame)."""
    codes = range(code_count(size))
    columns = [f"taxon_{k + 1}" for k in range(size)] + [f"count_{code}" for code in codes]
    columns += ["holding", "unresolved"] + [f"concordance_{code}" for code in codes]
    return columns + (TEST_COLUMNS if size == 4 else [])


def column_names(size: int) -> List[str]:
    """The keys of TopologyTable.to_columns(): t1 to t4 (t5) as indexes into the table's taxa,
    count_0 to count_2 (count_14), holding and unresolved."""
    taxa = [f"t{k + 1}" for k in range(size)]
    return taxa + [f"count_{code}" for code in range(code_count(size))] + ["holding", "unresolved"]


def _columns_of(block: Block) -> Columns:
    columns: Columns = {}
    for name, data in block.items():
        column = array("q")
        column.frombytes(data)
        columns[name] = column
    return columns


def _p_values(statistics: List[float], df: int) -> List[float]:
    """chi2_sf of each statistic, as the rows compute it; NaN (no trees) stays NaN."""
    return [chi2_sf(x, df) if x == x else NAN for x in statistics]


def _quartet_test_columns(numpy: Any, counts: Sequence[Any]) -> Dict[str, Any]:
    """The two chi-square tests of every quartet, column by column, to the bit as
    minor_equal_test and star_test give them: the minor statistic is integer arithmetic and one
    division, which numpy does alike; the star statistic squares floats, which Python does with
    the C library's pow and numpy with a product (they differ in the last bit now and then), so
    it is computed by Python's arithmetic, a slice of rows at a time to keep few Python floats."""
    c0, c1, c2 = counts
    low = numpy.minimum(numpy.minimum(c0, c1), c2)
    middle = c0 + c1 + c2 - low - numpy.maximum(numpy.maximum(c0, c1), c2)
    pair = low + middle
    with numpy.errstate(divide="ignore", invalid="ignore"):
        minor = numpy.where(pair > 0, (low - middle) ** 2 / pair, NAN)
    expected = (c0 + c1 + c2) / 3.0  # each topology's count on a star tree
    star, minor_p, star_p = (numpy.empty(len(c0)) for _ in range(3))
    for start in range(0, len(c0), _SLICE_ROWS):
        rows = slice(start, start + _SLICE_ROWS)
        star[rows] = [
            ((first - even) ** 2 + (second - even) ** 2 + (last - even) ** 2) / even if even > 0 else NAN
            for first, second, last, even in zip(c0[rows].tolist(), c1[rows].tolist(), c2[rows].tolist(),
                                                 expected[rows].tolist())
        ]  # fmt: skip
        minor_p[rows] = _p_values(minor[rows].tolist(), 1)
        star_p[rows] = _p_values(star[rows].tolist(), 2)
    return {"minor_equal_chi2": minor, "minor_equal_p": minor_p, "star_chi2": star, "star_p": star_p}


class TopologyTable:
    """Every quartet (size 4) or quintet (size 5) of `taxa` with its counts, in the order of
    itertools.combinations(taxa, size). Iterate it for TableRow objects, take all of it as
    columns (to_columns) or a DataFrame, or write it as CSV or JSON (write); each pass counts
    anew. Leaving an iteration unfinished stops its counting threads when the iterator is
    collected; close() (or the end of a `with` block) stops them at once.

    `source`: a TreeSet or anything load_trees reads. `taxa`: the taxa to combine, in the order
    that fixes the rows and their codes; by default every taxon of the trees, ordered from the
    one the fewest trees hold to the one the most hold (ties in file order). `jobs`: threads to
    count in (0 = one per core). `progress`: a progress bar on standard error after two seconds
    (default: when standard error is a terminal)."""

    def __init__(
        self,
        source: "Trees",
        size: int,
        taxa: Optional[Sequence[str]] = None,
        *,
        jobs: int = 1,
        progress: Optional[bool] = None,
        quiet: bool = False,
    ) -> None:
        self.size = size
        self.codes = code_count(size)
        if jobs < 0:
            raise UsageError(f"jobs must be 0 (one per core) or more, not {jobs}")
        self.jobs = jobs
        self.progress = progress
        self._running: List[_engine.Table] = []
        self.trees = load_trees(source, quiet=quiet)
        self.taxa = self._choose(taxa)

    def _choose(self, taxa: Optional[Sequence[str]]) -> Tuple[str, ...]:
        """The taxa of the table, each once."""
        file_taxa = self.trees.taxa()
        if taxa is None:
            # Every taxon, the rarest first (a stable sort keeps ties in file order).
            holding = _engine.presence_counts(self.trees, tuple(file_taxa))
            chosen: Sequence[str] = [file_taxa[k] for k in sorted(range(len(file_taxa)), key=holding.__getitem__)]
        else:
            chosen = check_names(file_taxa, taxa, stacklevel=4)
        distinct = tuple(dict.fromkeys(chosen))  # a repeated name once
        if len(distinct) < self.size:
            raise UsageError(
                f"a table of {self.size} taxa at a time needs at least {self.size} distinct taxa, not {len(distinct)}"
            )
        return distinct

    def __len__(self) -> int:
        """The number of rows."""
        return math.comb(len(self.taxa), self.size)

    def __enter__(self) -> "TopologyTable":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops the counting threads of any pass over the table still under way."""
        while self._running:
            self._running.pop().close()

    def occupancy(self) -> Dict[str, int]:
        """How many trees hold each taxon of the table."""
        return dict(zip(self.taxa, _engine.presence_counts(self.trees, self.taxa)))

    def _counted_blocks(self) -> Iterator[Tuple[_engine.Table, Block]]:
        """The blocks of one pass, in row order, with the engine table that formats them."""
        counting = _engine.Table(self.trees, self.size, self.taxa, jobs=self.jobs)
        self._running.append(counting)
        meter = Progress(len(self), "quartets" if self.size == 4 else "quintets", self.progress)
        try:
            while True:
                block = counting.next_block()
                if block is None:
                    return
                yield counting, block
                meter.advance(len(block["holding"]) // _INT64_BYTES)
        finally:
            meter.close()
            counting.close()
            self._running = [running for running in self._running if running is not counting]

    def __iter__(self) -> Iterator[TableRow]:
        taxa, size, codes = self.taxa, self.size, self.codes
        for _, block in self._counted_blocks():
            columns = _columns_of(block)
            names = zip(*(columns[f"t{k + 1}"] for k in range(size)))
            counts = zip(*(columns[f"count_{code}"] for code in range(codes)))
            for indexes, counted, holding in zip(names, counts, columns["holding"]):
                yield TableRow(tuple(taxa[index] for index in indexes), counted, holding)

    def to_columns(self) -> Columns:
        """The whole table as columns of equal length, one integer array (array('q')) each,
        keyed as column_names(size) says: t1 to t4 (t5) as indexes into `taxa`, count_0 to
        count_2 (count_14), holding and unresolved."""
        columns: Columns = {name: array("q") for name in column_names(self.size)}
        for _, block in self._counted_blocks():
            for name, column in columns.items():
                column.frombytes(block[name])
        return columns

    def records(self) -> Iterator[Dict[str, Any]]:
        """The rows as JSON-ready dicts (TableRow.record)."""
        return (row.record() for row in self)

    def write(self, stream: IO[str], form: str) -> None:
        """Writes the table to `stream` as CSV (a header of flat_columns, then one line per
        row) or as JSON (a list of TableRow.record dicts, one per line), without a Python
        object per row: the engine writes each block's text."""
        if form not in WRITE_FORMS:
            raise UsageError(f"a table is written as {' or '.join(WRITE_FORMS)}, not {form!r}")
        render = csv_cell if form == "csv" else json.dumps
        cells = tuple(render(taxon) for taxon in self.taxa)
        first = True
        for counting, block in self._counted_blocks():
            if first:  # once counting has started, so that a table that cannot count writes nothing
                stream.write(",".join(flat_columns(self.size)) + "\n" if form == "csv" else "[")
            stream.write(counting.format_block(block, form, cells, first))
            first = False
        if form == "json":
            stream.write("\n]\n" if not first else "[]\n")

    def to_dataframe(self) -> Any:
        """The whole table as a pandas DataFrame with the columns of flat_columns (needs the
        pandas extra), built column by column from to_columns()."""
        pandas = require("pandas", "to_dataframe")
        numpy = require("numpy", "to_dataframe")
        columns = self.to_columns()

        def integers(name: str) -> Any:
            return numpy.frombuffer(columns[name], dtype=numpy.int64)

        names = numpy.array(self.taxa, dtype=object)
        data: Dict[str, Any] = {f"taxon_{k + 1}": names[integers(f"t{k + 1}")] for k in range(self.size)}
        counts = [integers(f"count_{code}") for code in range(self.codes)]
        data.update((f"count_{code}", count) for code, count in enumerate(counts))
        data["holding"], data["unresolved"] = integers("holding"), integers("unresolved")
        resolved = sum(counts[1:], counts[0])
        with numpy.errstate(divide="ignore", invalid="ignore"):
            for code, count in enumerate(counts):
                data[f"concordance_{code}"] = numpy.where(resolved > 0, count / resolved, NAN)
        if self.size == 4:
            data.update(_quartet_test_columns(numpy, counts))
        return pandas.DataFrame(data, columns=flat_columns(self.size))


def quartet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quartet of `taxa` with counts, concordance and the two coalescent tests."""
    return TopologyTable(source, 4, taxa, **options)


def quintet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quintet of `taxa` with counts and concordance."""
    return TopologyTable(source, 5, taxa, **options)
