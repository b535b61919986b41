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

import contextlib
import json
import math
import sys
from array import array
from typing import (
    IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union,
)  # fmt: skip
from typing import Protocol

from . import _engine
from ._extras import require
from ._progress import Progress
from .adjust import METHODS, adjust_p_values
from .codes import code_count
from .coalescent import (
    NAN, ChiSquare, chi2_sf, minor_equal_p_value, minor_equal_test, quartet_test_values, star_p_value, star_test,
)  # fmt: skip
from .errors import UsageError
from .names import check_names
from .output import csv_cell, p_value_text, text_value
from .sources import load_trees
from .species_columns import COLUMNS as SPECIES_COLUMNS
from .species_columns import SpeciesTree, species_columns

if TYPE_CHECKING:
    import treetally

    from .sources import Trees

# The most threads a table may be asked for (jobs); more than the cores count as the cores.
MAX_JOBS: int = _engine.MAX_JOBS
# The quartet tests' columns: statistic and p-value of each.
TEST_COLUMNS = ["minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"]
# The columns of the tests' p-values adjusted across the table (adjust=).
ADJUSTED_COLUMNS = ("minor_equal_p_adj", "star_p_adj")
_BOOLEAN_COLUMNS = ("dominant_is_species",)
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


class Counting(Protocol):
    """What one pass over a table reads its rows from: the engine's Table counting them, or
    rows counted elsewhere (see sharding.ShardedTable)."""

    def next_block(self) -> Optional[Block]: ...
    def next_text(self) -> Optional[bytes]: ...
    def all_columns(self) -> Block: ...
    def format_block(self, block: Block, form: str, taxon_cells: Tuple[str, ...], first: bool) -> str: ...
    def close(self) -> None: ...


def check_table_options(size: int, jobs: int, adjust: Optional[str], species_tree: object) -> None:
    """Refuses options that cannot be acted on, whatever the trees: a size other than 4 or 5,
    negative jobs, species-tree columns or adjusted p-values of a quintet table, an unknown
    adjustment."""
    code_count(size)
    if jobs < 0:
        raise UsageError(f"jobs must be 0 (one per core) or more, not {jobs}")
    if jobs > MAX_JOBS:
        raise UsageError(f"jobs must be at most {MAX_JOBS} (more than the cores count as the cores), not {jobs}")
    if (species_tree is not None or adjust is not None) and size != 4:
        raise UsageError("species-tree columns and adjusted p-values are columns of quartet tables (size 4)")
    if adjust is not None and adjust not in METHODS:
        raise UsageError(f"p-values are adjusted by {' or '.join(repr(m) for m in METHODS)}, not {adjust!r}")


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


def _write_utf8(stream: IO[str], text: bytes) -> None:
    """Writes UTF-8 `text` to a text stream: to its binary buffer when it has one (no decoding
    and encoding again of millions of rows), else decoded."""
    buffer = getattr(stream, "buffer", None)
    if buffer is not None and (getattr(stream, "encoding", "") or "").lower().replace("-", "") == "utf8":
        stream.flush()
        buffer.write(text)
    else:
        stream.write(text.decode("utf-8", "surrogateescape"))


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
    collected; close() (or the end of a `with` block) stops them at once. A table of more
    rows than a Python sequence can count (2**63 - 1) is refused with MemoryError.

    `source`: a TreeSet or anything load_trees reads. `taxa`: the taxa to combine, in the order
    that fixes the rows and their codes; by default every taxon of the trees, ordered from the
    one the fewest trees hold to the one the most hold (ties in file order). `jobs`: threads to
    count in, 0 (one per core) to MAX_JOBS; more than the cores count as the cores, which the
    counting is bound by. `progress`: a progress bar on standard error after two seconds
    (default: when standard error is a terminal). `collapse_length`, `min_support`: short or
    weakly supported internal branches count as polytomies (load_trees; `source` is then not a
    TreeSet).

    Quartet tables only: `species_tree` (a SpeciesTree or anything load_trees reads, branch
    lengths in coalescent units) adds the columns of species_columns: species_code,
    species_length, expected_concordance, dominant_code, dominant_is_species and
    estimated_length; it must hold every taxon of the table and have branch lengths
    (ValueError). `adjust` ("holm" or "bh") adds minor_equal_p_adj and star_p_adj, both tests'
    p-values adjusted across the whole table (adjust_p_values). These extra columns come with
    write(), to_dataframe() and extra_values(); iterating gives the plain TableRow."""

    def __init__(
        self,
        source: "Trees",
        size: int,
        taxa: Optional[Sequence[str]] = None,
        *,
        jobs: int = 1,
        progress: Optional[bool] = None,
        quiet: bool = False,
        collapse_length: Optional[float] = None,
        min_support: Optional[float] = None,
        species_tree: Union["Trees", SpeciesTree, None] = None,
        adjust: Optional[str] = None,
    ) -> None:
        self._take_options(size, jobs, progress, adjust, species_tree)
        self.trees = load_trees(source, quiet=quiet, collapse_length=collapse_length, min_support=min_support)
        self.taxa = self._choose(taxa)
        self._refuse_too_many_rows()
        self.species = self._species_of(species_tree)

    def _take_options(
        self, size: int, jobs: int, progress: Optional[bool], adjust: Optional[str], species_tree: object
    ) -> None:
        """The options that do not depend on the trees, checked."""
        check_table_options(size, jobs, adjust, species_tree)
        self.size = size
        self.codes = code_count(size)
        self.jobs = jobs
        self.progress = progress
        self.adjust = adjust
        self._running: List[Counting] = []

    def _species_of(self, species_tree: Union["Trees", SpeciesTree, None]) -> Optional[SpeciesTree]:
        """The species tree of the extra columns, which must hold every taxon of the table and
        have branch lengths."""
        if species_tree is None:
            return None
        species = species_tree if isinstance(species_tree, SpeciesTree) else SpeciesTree(species_tree)
        species.check_taxa(self.taxa)
        species.require_lengths()
        return species

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

    def _refuse_too_many_rows(self) -> None:
        """MemoryError for more rows than len() and the engine's int64 columns count: no
        machine could count or hold them."""
        rows = math.comb(len(self.taxa), self.size)
        if rows > sys.maxsize:
            kind = "quartets" if self.size == 4 else "quintets"
            raise MemoryError(
                f"a table of {kind} over {len(self.taxa)} taxa needs {rows} rows, more than the {sys.maxsize} "
                "a table can hold: take fewer taxa"
            )

    def __len__(self) -> int:
        """The number of rows."""
        return math.comb(len(self.taxa), self.size)

    @property
    def extras(self) -> Tuple[str, ...]:
        """The names of the extra columns asked for: the species tree's, then the adjusted
        p-values."""
        return (SPECIES_COLUMNS if self.species is not None else ()) + (ADJUSTED_COLUMNS if self.adjust else ())

    @property
    def header(self) -> List[str]:
        """The columns of write() and to_dataframe(): flat_columns(size), then the extras."""
        return flat_columns(self.size) + list(self.extras)

    def __enter__(self) -> "TopologyTable":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops the counting threads of any pass over the table still under way and waits
        for them. A pass that runs on another thread (iterating, to_columns, write) then raises
        ValueError("the table was closed while it was being counted") rather than end as if
        the table were whole; passes begun after close() count as usual."""
        while self._running:
            self._running.pop().close()

    def occupancy(self) -> Dict[str, int]:
        """How many trees hold each taxon of the table."""
        return dict(zip(self.taxa, _engine.presence_counts(self.trees, self.taxa)))

    def _counted_blocks(self) -> Iterator[Tuple[Counting, Block]]:
        """The blocks of one pass, in row order, with the engine table that formats them."""
        meter = Progress(len(self), "quartets" if self.size == 4 else "quintets", self.progress)
        try:
            with self._engine_table() as counting:
                while True:
                    block = counting.next_block()
                    if block is None:
                        return
                    yield counting, block
                    meter.advance(len(block["holding"]) // _INT64_BYTES)
        finally:
            meter.close()

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
        count_2 (count_14), holding and unresolved. The counting threads write the rows
        straight into the columns; MemoryError, before anything is counted, when the columns
        would not fit in memory (write() streams any table instead)."""
        with self._engine_table() as counting:
            return _columns_of(counting.all_columns())

    @contextlib.contextmanager
    def _engine_table(self, trees: Optional["treetally.TreeSet"] = None, **options: Any) -> Iterator[Counting]:
        """The engine's table of one pass (over `trees`, by default the table's own rows), stopped
        (its threads ended) when the block ends, and by close() meanwhile, from any thread."""
        if trees is None:
            counting = self._counting(**options)
        else:
            counting = _engine.Table(trees, self.size, self.taxa, jobs=self.jobs, **options)
        self._running.append(counting)
        try:
            yield counting
        finally:
            counting.close()
            # In place: close() on another thread pops from this very list.
            with contextlib.suppress(ValueError):
                self._running.remove(counting)

    def _counting(self, **options: Any) -> Counting:
        """What one pass reads its rows from: the engine counting them over the trees."""
        return _engine.Table(self.trees, self.size, self.taxa, jobs=self.jobs, **options)

    def _text_blocks(self, form: str, cells: Tuple[str, ...]) -> Iterator[bytes]:
        """The rows of one pass as UTF-8 text in `form`, a block at a time, written by the
        threads that count them."""
        meter = Progress(len(self), "quartets" if self.size == 4 else "quintets", self.progress)
        try:
            with self._engine_table(text_form=form, taxon_cells=cells) as counting:
                while True:
                    text = counting.next_text()
                    if text is None:
                        return
                    yield text
                    meter.advance(text.count(b"\n"))  # one line per row in either form
        finally:
            meter.close()

    def extra_values(self, columns: Optional[Columns] = None) -> Dict[str, "array[Any]"]:
        """The extra columns (`extras`) of the whole table, one array each: integers for the
        codes, 0 or 1 for dominant_is_species, floats for the rest. From `columns` (the
        table's to_columns()) when given, else from a pass of its own."""
        if columns is None:
            columns = self.to_columns()
        adjusted = self._adjusted(_p_value_columns(columns)) if self.adjust else {}
        return self._extras_of(columns, 0, self._species_codes(), adjusted)

    def species_values(self, columns: Optional[Columns] = None) -> Dict[str, "array[Any]"]:
        """The species tree's columns alone (extra_values), empty without a species tree."""
        if columns is None:
            columns = self.to_columns()
        return self._extras_of(columns, 0, self._species_codes(), {})

    def extended_rows(self) -> Iterator[Tuple[TableRow, Tuple[Any, ...]]]:
        """Each row with the values of its extra columns, in the order of `extras`."""
        taxa, size, codes = self.taxa, self.size, self.codes
        for _, _, columns, extras in self._blocks_with_extras():
            names = zip(*(columns[f"t{k + 1}"] for k in range(size)))
            counts = zip(*(columns[f"count_{code}"] for code in range(codes)))
            values = zip(*(extras[name] for name in self.extras)) if extras else iter(lambda: (), None)
            for indexes, counted, holding, extra in zip(names, counts, columns["holding"], values):
                yield TableRow(tuple(taxa[index] for index in indexes), counted, holding), extra

    def _species_codes(self) -> Optional["array[int]"]:
        """The species tree's quartet code of every row (-1 where it leaves the quartet
        unresolved), counted by the engine over the species tree as over gene trees; None
        without a species tree, or when its file holds more trees than the one that serves."""
        if self.species is None or len(self.species.trees) != 1:
            return None
        codes = array("q")
        with self._engine_table(self.species.trees) as counting:
            while True:
                block = counting.next_block()
                if block is None:
                    return codes
                first, second, third = (_column(block[f"count_{code}"]) for code in range(3))
                codes.extend([0 if a else 1 if b else 2 if c else -1 for a, b, c in zip(first, second, third)])

    def _adjusted(self, p_values: Tuple[List[float], List[float]]) -> Dict[str, List[float]]:
        assert self.adjust is not None
        return {name: adjust_p_values(values, self.adjust) for name, values in zip(ADJUSTED_COLUMNS, p_values)}

    def _extras_of(
        self, columns: Columns, start: int, species_codes: Optional["array[int]"], adjusted: Dict[str, List[float]]
    ) -> Dict[str, "array[Any]"]:
        """The extra columns of the rows in `columns`, which start at row `start`."""
        rows = len(columns["holding"])
        found: Dict[str, "array[Any]"] = {}
        if self.species is not None:
            codes = species_codes[start : start + rows] if species_codes is not None else None
            found.update(species_columns(self.species, self.taxa, columns, species_codes=codes))
        for name, values in adjusted.items():
            found[name] = array("d", values[start : start + rows])
        return found

    def _blocks_with_extras(self) -> Iterator[Tuple[Counting, Block, Columns, Dict[str, "array[Any]"]]]:
        """The blocks of one pass with their columns and extra columns. Adjusting needs every
        p-value first, so a pass that adjusts is preceded by one that computes them."""
        adjusted: Dict[str, List[float]] = {}
        if self.adjust:
            minor: List[float] = []
            star: List[float] = []
            for _, block in self._counted_blocks():
                block_minor, block_star = _p_value_columns(_columns_of(block))
                minor += block_minor
                star += block_star
            adjusted = self._adjusted((minor, star))
            del minor, star
        species_codes = self._species_codes()
        start = 0
        for counting, block in self._counted_blocks():
            columns = _columns_of(block)
            yield counting, block, columns, self._extras_of(columns, start, species_codes, adjusted)
            start += len(columns["holding"])

    def records(self) -> Iterator[Dict[str, Any]]:
        """The rows as JSON-ready dicts (TableRow.record)."""
        return (row.record() for row in self)

    def write(self, stream: IO[str], form: str) -> None:
        """Writes the table to `stream` as CSV (a header of `header`, then one line per row)
        or as JSON (a list of TableRow.record dicts, one per line, with the extra columns as
        further keys), without a Python object per row: the engine writes each block's text,
        and extra columns are formatted a column at a time and joined to its lines. In CSV a
        value that is not a number is an empty cell and dominant_is_species is True or False;
        in JSON such a value (NaN, or an infinite estimated_length) is null."""
        if form not in WRITE_FORMS:
            raise UsageError(f"a table is written as {' or '.join(WRITE_FORMS)}, not {form!r}")
        render = csv_cell if form == "csv" else json.dumps
        cells = tuple(render(taxon) for taxon in self.taxa)
        first = True
        if not self.extras:
            for text in self._text_blocks(form, cells):
                if first:  # once counting has started, so that a table that cannot count writes nothing
                    stream.write(self._opening(form))
                _write_utf8(stream, text)
                first = False
        for counting, block, _, extras in self._blocks_with_extras() if self.extras else ():
            if first:
                stream.write(self._opening(form))
            stream.write(_joined_extras(counting.format_block(block, form, cells, first), form, extras))
            first = False
        if form == "json":
            stream.write("\n]\n" if not first else "[]\n")

    def _opening(self, form: str) -> str:
        """What a written table starts with: the CSV header line, or the JSON list's bracket."""
        return ",".join(csv_cell(name) for name in self.header) + "\n" if form == "csv" else "["

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
        for name, values in self.extra_values(columns).items():
            kind = bool if name in _BOOLEAN_COLUMNS else numpy.int64 if values.typecode == "q" else numpy.float64
            data[name] = numpy.frombuffer(values, dtype=numpy.int64 if values.typecode == "q" else numpy.float64)
            data[name] = data[name].astype(kind) if kind is bool else data[name]
        return pandas.DataFrame(data, columns=self.header)


def _column(data: bytes) -> "array[int]":
    column = array("q")
    column.frombytes(data)
    return column


def _p_value_columns(columns: Mapping[str, Sequence[int]]) -> Tuple[List[float], List[float]]:
    """The p-values of the minor-equal and the star test of every row, as the rows give them."""
    counts = [columns[f"count_{code}"] for code in range(3)]
    return list(map(minor_equal_p_value, *counts)), list(map(star_p_value, *counts))


class _FloatTexts(Dict[float, str]):
    """Each float's text, made once: a column of millions of rows holds far fewer distinct
    values. A value that is not a number (hashed alike in CPython before 3.10, and never equal
    to itself) is not kept."""

    def __init__(self, not_a_number: str, infinite: Optional[str]) -> None:
        super().__init__()
        self.not_a_number = not_a_number
        self.infinite = infinite

    def __missing__(self, value: float) -> str:
        if value != value:
            return self.not_a_number
        text = self.infinite if self.infinite is not None and value in (math.inf, -math.inf) else repr(value)
        self[value] = text
        return text


def _cells(values: "array[Any]", name: str, form: str) -> List[str]:
    """A column's values as CSV cells or JSON values: integers as written, floats as Python
    writes them (repr), a value that is not a number empty (CSV) or null (JSON, which holds
    no infinity either); dominant_is_species as True/False or true/false."""
    if name in _BOOLEAN_COLUMNS:
        yes, no = ("True", "False") if form == "csv" else ("true", "false")
        return [yes if value else no for value in values]
    if values.typecode == "q":
        return list(map(str, values))
    texts = _FloatTexts("", None) if form == "csv" else _FloatTexts("null", "null")
    return list(map(texts.__getitem__, values))


def _joined_extras(text: str, form: str, extras: Mapping[str, "array[Any]"]) -> str:
    """A block's text from the engine (CSV lines each ended by a line feed, or JSON records
    after a line feed and separated by a comma and a line feed) with the extra columns joined
    to each row by one format per row. No taxon holds a line feed (it would end its tree's
    line; JSON escapes it anyway), so the text splits into rows at line feeds."""
    columns = [_cells(values, name, form) for name, values in extras.items()]
    if form == "csv":
        lines = text.split("\n")
        ending = lines.pop()  # the empty text after the last line feed
        row = "%s" + ",%s" * len(columns)
        return "\n".join(map(row.__mod__, zip(lines, *columns))) + "\n" + ending
    head, _, body = text.partition("\n")  # head: "" before a table's first block, else ","
    record = "%s" + "".join(f", {json.dumps(name)}: %s" for name in extras) + "}"
    opened = body[:-1].split("},\n")  # each record without its closing brace
    return head + "\n" + ",\n".join(map(record.__mod__, zip(opened, *columns)))


def extra_cell_text(name: str) -> Callable[[Any], str]:
    """How an extra column is written as text: p-values in three significant digits, lengths
    and shares with three decimals (NaN as "-"), codes as integers."""
    if name.endswith("_p_adj"):
        return p_value_text
    if name in _BOOLEAN_COLUMNS:
        return lambda value: "yes" if value else "no"
    return text_value


def quartet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quartet of `taxa` with counts, concordance and the two coalescent tests."""
    return TopologyTable(source, 4, taxa, **options)


def quintet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quintet of `taxa` with counts and concordance."""
    return TopologyTable(source, 5, taxa, **options)
