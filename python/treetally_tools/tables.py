# Every quartet or quintet of a list of taxa with its counts, as an ordered stream of rows.
# The engine counts them in blocks of consecutive rows on several threads, over the loaded
# TreeSet, computes every value of each row there (shares, tests, species-tree columns,
# adjusted p-values) and hands the blocks out in order as columns, or writes them as text;
# rows, columns, a DataFrame and CSV or JSON text all take their values from there.
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
from typing import (
    IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union,
)  # fmt: skip
from typing import Protocol

from . import _engine
from ._extras import require
from ._progress import Progress
from ._row_values import FLAG_COLUMNS, arrays_of, values_of_counts
from .adjust import METHODS
from .codes import code_count
from .coalescent import ChiSquare, minor_equal_test, star_test
from .errors import UsageError
from .names import check_names
from .output import csv_cell, p_value_text, text_value
from .sources import load_mapped_trees, load_trees
from .taxon_map import MappedTrees
from .species_columns import COLUMNS as SPECIES_COLUMNS
from .species_columns import SpeciesTree

import treetally

if TYPE_CHECKING:
    from .sources import MappableTrees, Trees
    from .taxon_map import TaxonMapSource

# The most threads a table may be asked for (jobs); more than the cores count as the cores.
MAX_JOBS: int = _engine.MAX_JOBS
# The quartet tests' columns: statistic and p-value of each.
TEST_COLUMNS = ["minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"]
# The columns of the tests' p-values adjusted across the table (adjust=).
ADJUSTED_COLUMNS = ("minor_equal_p_adj", "star_p_adj")
# The tree tests a quartet table may add (tree_tests=), each with its columns, and the ways
# of taking their p-values (test_method=).
TREE_TEST_COLUMNS = {"t3": ("t3_statistic", "t3_p"), "t1": ("t1_statistic", "t1_p")}
TEST_METHODS = ("mlest", "conservative")
# The forms write() gives.
WRITE_FORMS = ("csv", "json")

# A table's columns by name: numpy arrays (typed loosely, so that callers that take any
# sequences of numbers accept them).
Columns = Dict[str, Any]
# A block of rows as the engine hands it out: each column's cells in a bytearray.
Block = Dict[str, bytearray]


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
        values = values_of_counts([self.counts])
        return tuple(float(values[f"concordance_{code}"][0]) for code in range(len(self.counts)))

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
        values = values_of_counts([self.counts])
        shares = flat_columns(len(self.taxa))[len(self.taxa) + len(self.counts) + 2 :]
        return [*self.taxa, *self.counts, self.holding, self.unresolved, *(values[name][0].item() for name in shares)]

    def record(self) -> Dict[str, Any]:
        """The row as a JSON-ready dict (None where a value is not a number): taxa, counts,
        holding, unresolved, concordance, and for quartets the two tests."""
        return _record(self.flat(), len(self.taxa), len(self.counts), ())


def _record(values: Sequence[Any], size: int, codes: int, extras: Sequence[str]) -> Dict[str, Any]:
    """A row's values (flat_columns order, then `extras`) as a JSON-ready dict."""
    values = [None if value != value else value for value in values]  # NaN != NaN
    shares_end = size + 2 * codes + 2
    record: Dict[str, Any] = {
        "taxa": values[:size],
        "counts": values[size : size + codes],
        "holding": values[size + codes],
        "unresolved": values[size + codes + 1],
        "concordance": values[size + codes + 2 : shares_end],
    }
    record.update(zip((TEST_COLUMNS if size == 4 else []) + list(extras), values[shares_end:]))
    return record


class Counting(Protocol):
    """What one pass over a table reads its rows from: the engine's Table counting them, or
    rows counted elsewhere (see sharding.ShardedTable)."""

    def next_block(self) -> Optional[Block]: ...
    def next_text(self) -> Optional[bytes]: ...
    def all_columns(self) -> Block: ...
    def close(self) -> None: ...


def check_table_options(
    size: int, jobs: int, adjust: Optional[str], species_tree: object, unresolved: str = "drop"
) -> None:
    """Refuses options that cannot be acted on, whatever the trees: a size other than 4 or 5,
    negative jobs, species-tree columns, adjusted p-values or spread unresolved trees of a
    quintet table, an unknown adjustment or way of counting unresolved trees."""
    check_unresolved(unresolved)
    if unresolved != "drop" and size != 4:
        raise UsageError("unresolved trees are spread a third to each topology of quartets (size 4) only")
    code_count(size)
    if jobs < 0:
        raise UsageError(f"jobs must be 0 (one per core) or more, not {jobs}")
    if jobs > MAX_JOBS:
        raise UsageError(f"jobs must be at most {MAX_JOBS} (more than the cores count as the cores), not {jobs}")
    if (species_tree is not None or adjust is not None) and size != 4:
        raise UsageError("species-tree columns and adjusted p-values are columns of quartet tables (size 4)")
    if adjust is not None and adjust not in METHODS:
        raise UsageError(f"p-values are adjusted by {' or '.join(repr(m) for m in METHODS)}, not {adjust!r}")


def check_tree_tests(
    size: int, tree_tests: Sequence[str], lambda_: float, test_method: str, species_tree: object
) -> Tuple[str, ...]:
    """The tree tests asked for, each once, in column order (t3, then t1); UsageError for an
    unknown test or method, a quintet table, t1 without a species tree, or a lambda that is
    not a finite number."""
    if isinstance(tree_tests, str):
        tree_tests = (tree_tests,)
    unknown = [name for name in tree_tests if name not in TREE_TEST_COLUMNS]
    if unknown:
        raise UsageError(f"the tree tests are 't3' and 't1', not {unknown[0]!r}")
    if tree_tests and size != 4:
        raise UsageError("the tree tests (t3, t1) are for quartet tables (size 4)")
    if "t1" in tree_tests and species_tree is None:
        raise UsageError("the t1 test needs a species tree (species_tree=, --species-tree)")
    if test_method not in TEST_METHODS:
        raise UsageError(f"test_method must be 'mlest' or 'conservative', not {test_method!r}")
    if isinstance(lambda_, bool) or not isinstance(lambda_, (int, float)) or not math.isfinite(lambda_):
        raise UsageError(f"lambda must be a finite number, not {lambda_!r}")
    return tuple(name for name in TREE_TEST_COLUMNS if name in tree_tests)


# How the values derived from a quartet's counts take its unresolved trees: left out, or a
# third of a tree for each topology.
UNRESOLVED_MODES = ("drop", "third")


def check_unresolved(unresolved: str) -> None:
    """UsageError unless `unresolved` is one of UNRESOLVED_MODES."""
    if unresolved not in UNRESOLVED_MODES:
        raise UsageError(f"unresolved must be 'drop' or 'third', not {unresolved!r}")


def flat_columns(size: int) -> List[str]:
    """Column names of a table of `size` taxa with one value per column (CSV, DataFrame)."""
    codes = range(code_count(size))
    columns = [f"taxon_{k + 1}" for k in range(size)] + [f"count_{code}" for code in codes]
    columns += ["holding", "unresolved"] + [f"concordance_{code}" for code in codes]
    return columns + (TEST_COLUMNS if size == 4 else [])


def column_names(size: int) -> List[str]:
    """The integer columns of TopologyTable.to_columns(): t1 to t4 (t5) as indexes into the
    table's taxa, count_0 to count_2 (count_14), holding and unresolved. The columns of shares,
    tests and any extras follow them (value_names)."""
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
    (default: when standard error is a terminal). `collapse_length`, `min_support`,
    `support_index`: short or weakly supported internal branches count as polytomies
    (load_trees; `source` is then not a TreeSet).

    Quartet tables only: `species_tree` (a SpeciesTree or anything load_trees reads, branch
    lengths in coalescent units) adds the columns of species_columns: species_code,
    species_length, expected_concordance, dominant_code, dominant_is_species and
    estimated_length; it must hold every taxon of the table and have branch lengths
    (ValueError). `adjust` ("holm" or "bh") adds minor_equal_p_adj and star_p_adj, both tests'
    p-values adjusted across the whole table (adjust_p_values). These extra columns come with
    write(), to_columns(), to_dataframe(), value_rows() and extra_values(), computed by the
    engine with the rest of each row; iterating gives the plain TableRow.

    `unresolved` (quartet tables): "drop" (default) leaves out the trees that hold a quartet but
    resolve none of its topologies (the `unresolved` column) from every value derived from the
    counts; "third" adds a third of each such tree to each topology's count for the
    concordance factors, both tests (and their adjusted p-values), dominant_code,
    dominant_is_species and estimated_length. The count columns stay the raw, whole counts;
    the values of TableRow's own properties are those of "drop".

    `taxon_map` (a path to a map file or a mapping {gene-tree name: species}; see
    read_taxon_map): the taxa are species, each tree adding to a row its share of the
    combinations of one individual per species (each copy of a repeated name an individual)
    showing each topology; the count columns and unresolved are then float64 shares of trees
    (holding stays whole), and every value derived from them reads the shares.

    `tree_tests` (quartet tables): "t3" adds t3_statistic and t3_p, the T3 test of Mitchell,
    Allman and Rhodes (2019) that the counts come from the multispecies coalescent on some
    quartet tree; "t1" (with `species_tree`) adds t1_statistic and t1_p, the T1 test against
    the species tree's quartet (NaN where the species tree leaves it unresolved). The
    statistic is the Cressie-Read power divergence `lambda_` (0: likelihood ratio, 1: Pearson)
    of the counts from their maximum-likelihood fit; `test_method` "mlest" (default) takes the
    p-value from the statistic's asymptotic law at the fitted point, "conservative" from the
    law that bounds it (chi-square, 1 degree of freedom, for T3; 1/2 chi2(1) + 1/2 chi2(2) for
    T1). With fewer than 30 trees, or a fitted count below 5 off the fitted tree, the p-value
    is the statistic's exact tail under the fitted model instead. With unresolved="third" the
    tests take the spread counts. The adjusted columns adjust the chi-square tests only."""

    # The trees mapped to species, for a table of species (its counts then shares of trees).
    mapped: Optional[MappedTrees]

    def __init__(
        self,
        source: "MappableTrees",
        size: int,
        taxa: Optional[Sequence[str]] = None,
        *,
        jobs: int = 1,
        progress: Optional[bool] = None,
        collapse_length: Optional[float] = None,
        min_support: Optional[float] = None,
        support_index: Optional[int] = None,
        species_tree: Union["Trees", SpeciesTree, None] = None,
        adjust: Optional[str] = None,
        unresolved: str = "drop",
        taxon_map: Optional["TaxonMapSource"] = None,
        tree_tests: Sequence[str] = (),
        lambda_: float = 0.0,
        test_method: str = "mlest",
    ) -> None:
        self._take_options(size, jobs, progress, adjust, species_tree, unresolved)
        self._take_tree_tests(size, tree_tests, lambda_, test_method, species_tree)
        loaded = load_mapped_trees(
            source, taxon_map, collapse_length=collapse_length, min_support=min_support, support_index=support_index
        )
        self.mapped = loaded if isinstance(loaded, MappedTrees) else None
        self.trees: treetally.TreeSet = loaded.trees if isinstance(loaded, MappedTrees) else loaded
        self.taxa = self._choose(taxa)
        self._refuse_too_many_rows()
        self.species = self._species_of(species_tree)

    def _take_options(
        self,
        size: int,
        jobs: int,
        progress: Optional[bool],
        adjust: Optional[str],
        species_tree: object,
        unresolved: str = "drop",
    ) -> None:
        """The options that do not depend on the trees, checked."""
        check_table_options(size, jobs, adjust, species_tree, unresolved)
        self.unresolved = unresolved
        self.size = size
        self.codes = code_count(size)
        self.jobs = jobs
        self.progress = progress
        self.adjust = adjust
        self._running: List[Counting] = []
        self.mapped = None
        self._take_tree_tests(size, (), 0.0, "mlest", species_tree)

    def _take_tree_tests(
        self, size: int, tree_tests: Sequence[str], lambda_: float, test_method: str, species_tree: object
    ) -> None:
        """The tree tests asked for and their options, checked."""
        self.tree_tests = check_tree_tests(size, tree_tests, lambda_, test_method, species_tree)
        self.lambda_ = float(lambda_)
        self.test_method = test_method

    def _species_of(self, species_tree: Union["Trees", SpeciesTree, None]) -> Optional[SpeciesTree]:
        """The species tree of the extra columns, which must hold every taxon of the table and
        have branch lengths."""
        if species_tree is None:
            return None
        species = species_tree if isinstance(species_tree, SpeciesTree) else SpeciesTree(species_tree)
        species.check_taxa(self.taxa)
        species.require_lengths()
        return species

    @property
    def fractional(self) -> bool:
        """Whether the counts are shares of trees (float): a table of mapped species."""
        return self.mapped is not None

    def _presence(self, taxa: Sequence[str]) -> List[int]:
        """How many trees hold each of `taxa` (of a mapped table: an individual of each)."""
        if self.mapped is not None:
            return self.mapped.presence(taxa)
        return list(_engine.presence_counts(self.trees, tuple(taxa)))

    def _choose(self, taxa: Optional[Sequence[str]]) -> Tuple[str, ...]:
        """The taxa of the table, each once."""
        file_taxa = self.mapped.taxa() if self.mapped is not None else self.trees.taxa()
        if taxa is None:
            # Every taxon, the rarest first (a stable sort keeps ties in file order).
            holding = self._presence(file_taxa)
            chosen: Sequence[str] = [file_taxa[k] for k in sorted(range(len(file_taxa)), key=holding.__getitem__)]
        else:
            chosen = check_names(file_taxa, taxa)
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
        p-values, then the tree tests'."""
        tests = tuple(name for test in self.tree_tests for name in TREE_TEST_COLUMNS[test])
        return (SPECIES_COLUMNS if self.species is not None else ()) + (ADJUSTED_COLUMNS if self.adjust else ()) + tests

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
        return dict(zip(self.taxa, self._presence(self.taxa)))

    def _value_blocks(self, extras: bool = True) -> Iterator[Columns]:
        """The blocks of one pass in row order, each with every value of its rows as columns
        (numpy arrays), computed by the counting threads; with `extras`, the extra columns too."""
        meter = Progress(len(self), "quartets" if self.size == 4 else "quintets", self.progress)
        try:
            with self._engine_table(**(self._extra_options() if extras else {})) as counting:
                while True:
                    block = counting.next_block()
                    if block is None:
                        return
                    columns = arrays_of(block, self.fractional)
                    yield columns
                    meter.advance(len(columns["holding"]))
        finally:
            meter.close()

    def _extra_options(self) -> Dict[str, Any]:
        """What the engine needs for the extra columns: the species tree, the adjustment, the
        tree tests."""
        options: Dict[str, Any] = {
            "species": self.species.trees if self.species is not None else None,
            "adjust": self.adjust,
        }
        if self.tree_tests:
            options.update(tree_tests=self.tree_tests, test_lambda=self.lambda_, test_method=self.test_method)
        return options

    def _taxon_rows(self, columns: Columns) -> Iterator[Tuple[str, ...]]:
        taxa = self.taxa
        return (tuple(taxa[index] for index in indexes) for indexes in zip(*(
            columns[f"t{k + 1}"].tolist() for k in range(self.size))))  # fmt: skip

    def __iter__(self) -> Iterator[TableRow]:
        for columns in self._value_blocks(extras=False):
            counts = zip(*(columns[f"count_{code}"].tolist() for code in range(self.codes)))
            for names, counted, holding in zip(self._taxon_rows(columns), counts, columns["holding"].tolist()):
                yield TableRow(names, counted, holding)

    def value_rows(self) -> Iterator[List[Any]]:
        """Each row's values in the order of `header` (taxon names, then numbers; NaN where a
        value is not a number), as the engine computes them."""
        names = self.header[self.size :]
        for columns in self._value_blocks():
            values = zip(*(columns[name].tolist() for name in names))
            for taxa, row in zip(self._taxon_rows(columns), values):
                yield [*taxa, *row]

    def to_columns(self) -> Columns:
        """The whole table as columns of equal length, numpy arrays keyed by name: t1 to t4
        (t5) as indexes into `taxa`, count_0 to count_2 (count_14), holding and unresolved
        (int64); concordance_0 to concordance_2 (14) and for quartets the two tests (float64);
        then the extra columns (`extras`): species_code and dominant_code int64,
        dominant_is_species bool, the rest float64. The counting threads write every value
        straight into the arrays' memory (no copy is made); MemoryError, before anything is
        counted, when the columns would not fit in memory (write() streams any table
        instead)."""
        with self._engine_table(**self._extra_options()) as counting:
            return arrays_of(counting.all_columns(), self.fractional)

    @contextlib.contextmanager
    def _engine_table(self, **options: Any) -> Iterator[Counting]:
        """The engine's table of one pass, stopped (its threads ended) when the block ends, and
        by close() meanwhile, from any thread."""
        counting = self._counting(**options)
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
        if self.mapped is not None:
            options["groups"] = self.mapped.groups_of(self.taxa)
        return _engine.Table(self.trees, self.size, self.taxa, jobs=self.jobs, unresolved=self.unresolved, **options)

    def _text_blocks(self, form: str, cells: Tuple[str, ...]) -> Iterator[bytes]:
        """The rows of one pass as UTF-8 text in `form`, a block at a time, written by the
        threads that count them."""
        meter = Progress(len(self), "quartets" if self.size == 4 else "quintets", self.progress)
        try:
            with self._engine_table(text_form=form, taxon_cells=cells, **self._extra_options()) as counting:
                while True:
                    text = counting.next_text()
                    if text is None:
                        return
                    yield text
                    meter.advance(text.count(b"\n"))  # one line per row in either form
        finally:
            meter.close()

    def extra_values(self, columns: Optional[Columns] = None) -> Columns:
        """The extra columns (`extras`) of the whole table, one numpy array each: int64 for the
        codes, bool for dominant_is_species, float64 for the rest. From `columns` (the table's
        to_columns()) when given, else from a pass of its own."""
        if columns is None or any(name not in columns for name in self.extras):
            columns = self.to_columns()
        return {name: columns[name] for name in self.extras}

    def species_values(self, columns: Optional[Columns] = None) -> Columns:
        """The species tree's columns alone (extra_values), empty without a species tree."""
        return {name: values for name, values in self.extra_values(columns).items() if name in SPECIES_COLUMNS}

    def extended_rows(self) -> Iterator[Tuple[TableRow, Tuple[Any, ...]]]:
        """Each row with the values of its extra columns, in the order of `extras`."""
        for columns in self._value_blocks():
            counts = zip(*(columns[f"count_{code}"].tolist() for code in range(self.codes)))
            extras: Iterator[Tuple[Any, ...]] = (
                zip(*(columns[name].tolist() for name in self.extras)) if self.extras else iter(tuple, None)
            )
            for names, counted, holding, extra in zip(
                self._taxon_rows(columns), counts, columns["holding"].tolist(), extras
            ):
                yield TableRow(names, counted, holding), extra

    def records(self) -> Iterator[Dict[str, Any]]:
        """The rows as JSON-ready dicts (TableRow.record)."""
        names = flat_columns(self.size)[self.size :]
        for columns in self._value_blocks(extras=False):
            values = zip(*(columns[name].tolist() for name in names))
            for taxa, row in zip(self._taxon_rows(columns), values):
                yield _record([*taxa, *row], self.size, self.codes, ())

    def write(self, stream: IO[str], form: str) -> None:
        """Writes the table to `stream` as CSV (a header of `header`, then one line per row)
        or as JSON (a list of TableRow.record dicts, one per line, with the extra columns as
        further keys), without a Python object per row: the engine writes each block's text
        with every column, extras included. In CSV a value that is not a number is an empty
        cell and dominant_is_species is True or False; in JSON such a value (NaN, or an
        infinite estimated_length) is null."""
        if form not in WRITE_FORMS:
            raise UsageError(f"a table is written as {' or '.join(WRITE_FORMS)}, not {form!r}")
        render = csv_cell if form == "csv" else json.dumps
        cells = tuple(render(taxon) for taxon in self.taxa)
        first = True
        for text in self._text_blocks(form, cells):
            if first:  # once counting has started, so that a table that cannot count writes nothing
                stream.write(self._opening(form))
            _write_utf8(stream, text)
            first = False
        if form == "json":
            stream.write("\n]\n" if not first else "[]\n")

    def _opening(self, form: str) -> str:
        """What a written table starts with: the CSV header line, or the JSON list's bracket."""
        return ",".join(csv_cell(name) for name in self.header) + "\n" if form == "csv" else "["

    def to_dataframe(self) -> Any:
        """The whole table as a pandas DataFrame with the columns of `header` (needs the
        pandas extra), built from to_columns() without a Python object per row: the taxon
        columns are Categoricals over `taxa` whose codes are the index columns, the others the
        engine's arrays."""
        pandas = require("pandas", "to_dataframe")
        columns = self.to_columns()
        taxa = list(self.taxa)
        data: Dict[str, Any] = {
            f"taxon_{k + 1}": pandas.Categorical.from_codes(columns[f"t{k + 1}"], categories=taxa)
            for k in range(self.size)
        }
        data.update((name, columns[name]) for name in self.header[self.size :])
        return pandas.DataFrame(data, columns=self.header, copy=False)


def extra_cell_text(name: str) -> Callable[[Any], str]:
    """How an extra column is written as text: p-values in three significant digits, lengths
    and shares with three decimals (NaN as "-"), codes as integers."""
    if name.endswith("_p_adj") or name in ("t3_p", "t1_p"):
        return p_value_text
    if name in FLAG_COLUMNS:
        return lambda value: "yes" if value else "no"
    return text_value


def quartet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quartet of `taxa` with counts, concordance and the two coalescent tests."""
    return TopologyTable(source, 4, taxa, **options)


def quintet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quintet of `taxa` with counts and concordance."""
    return TopologyTable(source, 5, taxa, **options)
