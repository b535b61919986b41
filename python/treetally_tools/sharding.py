# Tallies of tree files too large, or too many, for one machine: the files are cut into shards
# of whole lines, each shard becomes a TreeSet on the Dask worker that tallies it, and the
# per-shard results, all of which add up, are summed. Whole tables are cut the other way: every
# worker loads all the trees and counts a run of the table's blocks of rows.
"""Quartet and quintet tallies, the time table and whole tables across Dask workers (needs the
dask extra).

A TreeSet cannot be pickled, so it is never sent anywhere: each worker receives the text of its
shard, builds the TreeSet there and returns plain lists. Tallies add up across shards. The time
table does not (its shares and blocks are normalised per TreeSet), so each shard returns the
raw per-topology sums of the ten path lengths instead (one native pass of the engine per
shard), and the table is normalised once, after adding them up, by the function the module's
own time table uses; it then equals coalesence_times_by_topology over all the trees, up to the
rounding of summing shard by shard.

A table (sharded_table) cannot be cut by trees, since each row needs every tree: each worker
reads the files itself, once, and counts a run of consecutive blocks of rows, and the runs are
joined in order on the client into a ShardedTable, equal to one machine's table. The workers
send the rows' integers; every other value (shares, tests, species-tree columns, adjusted
p-values) and the rows' text come from the engine on the client, as one machine's table has
them.

A species tree (sharded_species_tree) is cut the same way, but keeps no rows: each worker sums
the quartet distances of its run of blocks as whole numbers, which the engine on the client
adds up exactly, so that the tree built is one machine's.
"""

# Annotations stay strings: a worker that unpickles these functions must not need the
# TreeSet class itself, which pickles neither by reference nor by value.
from __future__ import annotations

import io
import math
import os
from array import array
from contextlib import closing
from itertools import chain
from pathlib import Path
from typing import (
    TYPE_CHECKING, Any, Dict, Generator, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union,
)  # fmt: skip

import numpy

from . import _engine
from ._extras import require
from .check import check_lines
from .codes import PAIRS, QUARTET_CODES, QUINTET_CODES
from .errors import TreeFileError, UnknownTaxonError, UsageError
from .sources import (
    MAX_LINE_BYTES, STDIN, CollapseRule, LoadNotes, _is_compressed, binary_chunks, collapse_rule, line_too_long,
    load_fed, load_fed_noted, load_noted, load_trees, open_binary, warn_of_notes,
)  # fmt: skip
from .species_columns import SpeciesTree
from .species_tree import _Distances, _species_newick, check_builder
from .tables import ADJUSTED_COLUMNS, Block, Columns, TopologyTable, check_table_options, column_names
from .tallies import TimeTable, TopologyTally

if TYPE_CHECKING:
    import treetally

    from .sources import Trees

    PathArgument = Union[str, "os.PathLike[str]"]

Quintet = Tuple[str, str, str, str, str]
PAIR_COUNT = len(PAIRS)
# The size at which a shard is cut before its number of lines, so that shards of large trees
# stay small. A shard takes no longer a line than a load does (MAX_LINE_BYTES).
SHARD_BYTES = 1 << 26
# The kinds of problem of the line check for which the loader refuses a whole file.
_UNREADABLE_KINDS = ("not UTF-8", "bad branch length")
# Rows of a ShardedTable handed out at a time by a pass over it, as the engine's blocks.
_STORED_BLOCK_ROWS = 1 << 16
_FLOAT_BYTES = 8
# The p-value columns that adjusting takes, in the order of ADJUSTED_COLUMNS.
_P_VALUE_COLUMNS = ("minor_equal_p", "star_p")


class ShardTally(NamedTuple):
    """What shards contribute for five names; every field but `names` adds up across shards."""

    names: Quintet
    trees: int
    quartet_counts: List[int]  # index = quartet code of the first four names
    quintet_counts: List[int]  # index = quintet code
    pair_length_sums: List[float]  # index 10 * code + pair: path lengths summed over trees of that code
    names_found: List[str]  # the names (of the five) that occur in these shards
    quartet_holding: int  # trees that hold the first four names
    quintet_holding: int  # trees that hold all five

    def time_table(self) -> List[float]:
        """The 165 values of coalesence_times_by_topology, from the summed counts and sums:
        shares of the classified trees, then each code's ten sums divided by their total (left
        undivided when that total is not positive)."""
        return _engine.time_table(list(self.quintet_counts), list(self.pair_length_sums))

    def quartet_tally(self) -> TopologyTally:
        """The labelled tally of the first four names."""
        return TopologyTally(self.names[:4], tuple(self.quartet_counts), self.trees, self.trees - self.quartet_holding)

    def quintet_tally(self) -> TopologyTally:
        """The labelled tally of the five names."""
        return TopologyTally(self.names, tuple(self.quintet_counts), self.trees, self.trees - self.quintet_holding)

    def labelled_time_table(self) -> TimeTable:
        """The time table with its labels, as time_table() of one TreeSet gives it."""
        return TimeTable(
            self.names,
            tuple(self.time_table()),
            tuple(self.quintet_counts),
            self.trees,
            self.trees - self.quintet_holding,
        )


def empty_tally(quintet: Quintet) -> ShardTally:
    return ShardTally(
        quintet, 0, [0] * QUARTET_CODES, [0] * QUINTET_CODES, [0.0] * (QUINTET_CODES * PAIR_COUNT), [], 0, 0
    )


def _lines(chunks: Iterable[bytes], name: str) -> Iterator[bytes]:
    """The lines of `chunks`, each with its line feed (the last perhaps without); a line longer
    than MAX_LINE_BYTES (its line feed not counted, as a load counts it) is a TreeFileError
    naming `name` and the line."""
    parts: List[bytes] = []
    size = 0
    number = 1
    for chunk in chunks:
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            piece = chunk[start:] if end < 0 else chunk[start : end + 1]
            size += len(piece) if end < 0 else len(piece) - 1
            if size > MAX_LINE_BYTES:
                raise TreeFileError(name, line_too_long(number, MAX_LINE_BYTES))
            if piece:
                parts.append(piece)
            if end < 0:
                break
            yield b"".join(parts)
            parts, size, number, start = [], 0, number + 1, end + 1
    if parts:
        yield b"".join(parts)


def numbered_shards(path: "PathArgument", lines_per_shard: int) -> Iterator[Tuple[int, bytes]]:
    """The file as consecutive blocks of whole lines, bytes kept as they are (a gzip, bzip2 or
    xz file decompressed), each with the number of its first line: `lines_per_shard` lines a
    block, fewer where that would pass SHARD_BYTES. Damaged data and a line longer than
    MAX_LINE_BYTES are TreeFileErrors naming the file."""
    if lines_per_shard < 1:
        raise UsageError("lines_per_shard must be at least 1")
    name = str(path)
    reader = open_binary(path)
    block: List[bytes] = []
    size = 0
    first = 1
    for line in _lines(binary_chunks(reader, name, _is_compressed(reader)), name):
        if block and (len(block) == lines_per_shard or size + len(line) > SHARD_BYTES):
            yield first, b"".join(block)
            first += len(block)
            block, size = [], 0
        block.append(line)
        size += len(line)
    if block:
        yield first, b"".join(block)


def shard_texts(path: "PathArgument", lines_per_shard: int) -> Iterator[bytes]:
    """The texts of numbered_shards: blocks of at most `lines_per_shard` whole lines."""
    return (text for _, text in numbered_shards(path, lines_per_shard))


def tally_tree_set(trees: "treetally.TreeSet", quintet: Quintet) -> ShardTally:
    """The contribution of one TreeSet, in one native pass. Names absent from it contribute
    nothing instead of failing, since another shard may hold them."""
    present = set(trees.taxa())
    found = [name for name in quintet if name in present]
    tally = empty_tally(quintet)._replace(trees=len(trees), names_found=found)
    if set(quintet) <= present:
        quartet_counts, quartet_holding, quintet_counts, quintet_holding, sums = _engine.topology_path_sums(
            trees, quintet
        )
        return tally._replace(
            quartet_counts=quartet_counts,
            quartet_holding=quartet_holding,
            quintet_counts=quintet_counts,
            quintet_holding=quintet_holding,
            pair_length_sums=sums,
        )
    quartet = quintet[:4]
    if set(quartet) <= present:
        counts, holding = _engine.tally(trees, quartet)
        return tally._replace(quartet_counts=counts, quartet_holding=holding)
    return tally


def tally_shard_text(
    text: bytes,
    quintet: Quintet,
    source: str = "a shard",
    first_line: int = 1,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
) -> ShardTally:
    """Runs on a worker: builds the shard's TreeSet from its text, with the weak branches of
    `collapse_length` and `min_support` contracted (load_trees), and tallies it. A shard that
    cannot be read is a TreeFileError naming `source` (its file) and the line at fault, or the
    shard's lines when no single line is to blame (its first line is `first_line` of the file).
    The load's warnings are those of this shard, naming `source`."""
    tally, notes = _noted_shard_tally(text, quintet, source, first_line, collapse_length, min_support)
    warn_of_notes(notes, source, collapse_rule(collapse_length, min_support))
    return tally


def _noted_shard_tally(
    text: bytes,
    quintet: Quintet,
    source: str,
    first_line: int,
    collapse_length: Optional[float],
    min_support: Optional[float],
) -> Tuple[ShardTally, LoadNotes]:
    """tally_shard_text warning of nothing: a sharded tally's client adds up what each shard's
    load would warn of, and warns once."""
    try:
        trees, notes = load_noted(io.BytesIO(text), collapse_rule(collapse_length, min_support))
    except TreeFileError as error:
        raise TreeFileError(_shard_place(text, source, first_line), error.reason) from None
    return tally_tree_set(trees, quintet), notes


def _shard_place(text: bytes, source: str, first_line: int) -> str:
    """Where in its file a shard that cannot be read fails: the first line that the line check
    finds unreadable, else the shard's range of lines."""
    lines = text.split(b"\n")
    if lines and not lines[-1]:
        lines.pop()  # the empty rest after the last line feed
    for problem in check_lines(lines):
        if problem.kind in _UNREADABLE_KINDS:
            return f"{source}, line {first_line + problem.line_number - 1}"
    return f"{source}, lines {first_line}-{first_line + max(len(lines), 1) - 1}"


def combine(tallies: Iterable[ShardTally], quintet: Quintet) -> ShardTally:
    """The element-wise sum of the shards' contributions for `quintet`."""
    total = empty_tally(quintet)
    found: List[str] = []
    for tally in tallies:
        found.extend(name for name in tally.names_found if name not in found)
        total = ShardTally(
            quintet,
            total.trees + tally.trees,
            [a + b for a, b in zip(total.quartet_counts, tally.quartet_counts)],
            [a + b for a, b in zip(total.quintet_counts, tally.quintet_counts)],
            [a + b for a, b in zip(total.pair_length_sums, tally.pair_length_sums)],
            found,
            total.quartet_holding + tally.quartet_holding,
            total.quintet_holding + tally.quintet_holding,
        )
    return total


def check_names_found(total: ShardTally, quintet: Sequence[str]) -> None:
    """Raises UnknownTaxonError for a name that no shard holds, as one TreeSet refuses it."""
    for name in quintet:
        if name not in total.names_found:
            raise UnknownTaxonError(name)


def sharded_tally(
    client: Any,
    paths: Union["PathArgument", Sequence["PathArgument"]],
    names: Sequence[str],
    lines_per_shard: int = 10000,
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
) -> ShardTally:
    """The tallies of five `names` (the first four for the quartet) over every tree of `paths`
    (one file or several, plain or compressed), computed shard by shard on the Dask cluster of
    `client` (a distributed.Client) and summed; equal to the answers of one TreeSet of all the
    trees. The files are read here, on the client, and each shard's text is sent to a worker.
    `collapse_length`, `min_support`: short or weakly supported internal branches count as
    polytomies, as load_trees contracts them. Raises UnknownTaxonError for a name that no tree
    holds. The loads' warnings come once, as one load of the trees gives them: a
    NegativeLengthWarning per file, with the count of all its shards."""
    require("distributed", "sharded_tally")
    if len(names) != 5:
        raise UsageError(f"sharded_tally takes 5 names, not {len(names)}")
    collapse_rule(collapse_length, min_support)  # refused here rather than by every shard
    quintet: Quintet = (names[0], names[1], names[2], names[3], names[4])
    files = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    futures = []
    owners = []  # the file of each shard
    for path in files:
        for first_line, text in numbered_shards(Path(path), lines_per_shard):
            owners.append(str(path))
            # A key of its own: shards of equal text (equal trees) would otherwise share one,
            # which the scheduler forgets as soon as the first of them is collected.
            shard = client.scatter(text, hash=False)
            futures.append(
                client.submit(
                    _noted_shard_tally, shard, quintet, str(path), first_line, collapse_length, min_support,
                    pure=False,
                )  # fmt: skip
            )
    try:
        gathered = client.gather(futures)
    except BaseException:
        client.cancel(futures)  # the other shards stop instead of running on for nothing
        raise
    total = combine((tally for tally, _ in gathered), quintet)
    _warn_of_shards(owners, [notes for _, notes in gathered], collapse_rule(collapse_length, min_support))
    check_names_found(total, quintet)
    return total


def _warn_of_shards(owners: Sequence[str], notes: Sequence[LoadNotes], rule: Optional[CollapseRule]) -> None:
    """Warns, for the caller of the caller, as one load of all the shards' trees would: a
    NegativeLengthWarning per file (`owners`: the file of each shard) with the count of all its
    shards, and the rest once, from the counts of every shard."""
    per_file: Dict[str, LoadNotes] = {}
    total = LoadNotes()
    for owner, noted in zip(owners, notes):
        per_file[owner] = per_file.get(owner, LoadNotes()).added(noted)
        total = total.added(noted)
    for owner, noted in per_file.items():
        warn_of_notes(LoadNotes(negative_lengths=noted.negative_lengths), owner, None, stacklevel=3)
    warn_of_notes(total._replace(negative_lengths=0), ", ".join(per_file), rule, stacklevel=3)


def _file_list(paths: Union["PathArgument", Sequence["PathArgument"]]) -> List[str]:
    """`paths` (one or several) as a list of absolute paths, so that workers started elsewhere
    than the client's working directory find them too."""
    files = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if not files:
        raise UsageError("give at least one tree file")
    listed = []
    for path in files:
        if not isinstance(path, (str, os.PathLike)) or isinstance(path, bytes):
            raise TypeError(f"a tree file is given by its path (str or os.PathLike), not a {type(path).__name__}")
        if str(path) == STDIN:
            raise UsageError("the workers read the files themselves: standard input cannot be shared with them")
        listed.append(os.path.abspath(os.fspath(path)))
    return listed


def _chained_chunks(files: Sequence[str]) -> Iterator[bytes]:
    """The bytes of each file in turn (decompressed), a line feed added after a file whose last
    line lacks one, so that it does not run into the next file's first line."""
    for path in files:
        reader = open_binary(path)
        last = b"\n"
        for chunk in binary_chunks(reader, path, _is_compressed(reader)):
            yield chunk
            last = chunk[-1:]
        if last != b"\n":
            yield b"\n"


def load_files(
    files: Sequence[str], collapse_length: Optional[float] = None, min_support: Optional[float] = None
) -> "treetally.TreeSet":
    """One TreeSet of the trees of every file, in the order of `files` (as their
    concatenation), with weak branches contracted as load_trees does."""
    if len(files) == 1:
        return load_trees(files[0], collapse_length=collapse_length, min_support=min_support)
    return load_fed(_chained_chunks(files), ", ".join(files), rule=collapse_rule(collapse_length, min_support))


def _load_files_noted(
    files: Sequence[str], collapse_length: Optional[float], min_support: Optional[float]
) -> Tuple["treetally.TreeSet", LoadNotes]:
    """load_files warning of nothing: every worker loads the same trees, so the client warns
    once, of what the first share says its load found."""
    rule = collapse_rule(collapse_length, min_support)
    if len(files) == 1:
        return load_noted(files[0], rule)
    return load_fed_noted(_chained_chunks(files), ", ".join(files), rule)


class TableShare(NamedTuple):
    """What one worker counts of a table: the taxa it chose, its trees and how many hold each
    taxon (which every worker must find alike), and the int64 columns of blocks start .. stop-1
    of the `block_count` blocks (the integers of its rows: the client computes the rest), and
    what its load would have warned of (the client warns)."""

    taxa: Tuple[str, ...]
    trees: int
    occupancy: List[int]
    block_count: int
    blocks: Tuple[int, int]
    columns: Block
    notes: LoadNotes = LoadNotes()


def _loaded_share(
    files: Sequence[str],
    size: int,
    taxa: Optional[Sequence[str]],
    jobs: int,
    share: Tuple[int, int, int],
    collapse_length: Optional[float],
    min_support: Optional[float],
) -> Tuple["treetally.TreeSet", Tuple[str, ...], int, Tuple[int, int], LoadNotes]:
    """Runs on a worker: the trees of `files`, the table's taxa (chosen as TopologyTable
    chooses them, by default the rarest first, so that every worker finds the same ones for the
    same trees), its number of blocks and the run of them that the share (low, high, total)
    takes, from block_count * low // total to block_count * high // total; and what the load
    would have warned of."""
    trees, notes = _load_files_noted(files, collapse_length, min_support)
    chosen = TopologyTable(trees, size, taxa, jobs=jobs, progress=False).taxa
    whole = _engine.Table(trees, size, chosen)
    count = whole.block_count
    whole.close()
    low, high, total = share
    return trees, chosen, count, (count * low // total, count * high // total), notes


def count_table_share(
    files: Sequence[str],
    size: int,
    taxa: Optional[Sequence[str]],
    jobs: int,
    share: Tuple[int, int, int],
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
) -> TableShare:
    """Runs on a worker: loads the trees of `files` and counts the share (low, high, total) of
    the table's blocks (see _loaded_share) on `jobs` threads."""
    trees, chosen, count, blocks, notes = _loaded_share(files, size, taxa, jobs, share, collapse_length, min_support)
    counting = _engine.Table(trees, size, chosen, jobs=jobs, blocks=blocks)
    try:
        values = counting.all_columns()
    finally:
        counting.close()
    columns = {name: values[name] for name in column_names(size)}
    del values
    return TableShare(chosen, len(trees), _engine.presence_counts(trees, chosen), count, blocks, columns, notes)


class SpeciesShare(NamedTuple):
    """What one worker counts of a species tree: as TableShare, but instead of the rows the
    exact quartet distance sums of its blocks (whole numbers, as the engine's summed_distances
    adds them up): (sums, met, quartets, unresolved)."""

    taxa: Tuple[str, ...]
    trees: int
    occupancy: List[int]
    block_count: int
    blocks: Tuple[int, int]
    exact: Tuple[bytes, bytes, int, int]
    notes: LoadNotes = LoadNotes()


def count_species_share(
    files: Sequence[str],
    taxa: Optional[Sequence[str]],
    weighted: bool,
    jobs: int,
    share: Tuple[int, int, int],
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    unresolved: str = "drop",
) -> SpeciesShare:
    """Runs on a worker: loads the trees of `files` and sums the QDC (or, `weighted`, WQDC)
    distances of the quartets of its share of the quartet table's blocks (see _loaded_share) on
    `jobs` threads, keeping no rows."""
    trees, chosen, count, blocks, notes = _loaded_share(files, 4, taxa, jobs, share, collapse_length, min_support)
    exact = _engine.quartet_distances(trees, chosen, weighted, jobs, blocks=blocks, unresolved=unresolved)
    return SpeciesShare(chosen, len(trees), _engine.presence_counts(trees, chosen), count, blocks, exact, notes)


class _StoredCounting:
    """One pass over rows held as int64 columns, handed out in blocks as the engine's Table hands
    out the rows it counts (next_block, next_text, all_columns): every value of a block comes
    from the engine (row_values, with the species tree's columns when given), then the adjusted
    p-values of its rows (`adjusted`, whole columns of float64 bytes); its text too
    (format_rows)."""

    def __init__(
        self,
        columns: Columns,
        size: int,
        taxa: Tuple[str, ...],
        species: Optional["treetally.TreeSet"] = None,
        adjusted: Optional[Dict[str, bytearray]] = None,
        text_form: Optional[str] = None,
        taxon_cells: Optional[Tuple[str, ...]] = None,
        unresolved: str = "drop",
    ) -> None:
        self._columns = columns
        self._unresolved = unresolved
        self._size = size
        self._taxa = taxa
        self._species = species
        self._adjusted = adjusted
        self._form = text_form
        self._cells = taxon_cells
        self._rows = len(columns["holding"])
        self._next = 0

    def _values(self, start: int, stop: int) -> Block:
        """Every value of rows start .. stop-1."""
        given = {name: column[start:stop].tobytes() for name, column in self._columns.items()}
        values = _engine.row_values(self._size, given, self._taxa, self._species, unresolved=self._unresolved)
        for name, column in (self._adjusted or {}).items():
            values[name] = column[start * _FLOAT_BYTES : stop * _FLOAT_BYTES]
        return values

    def _take(self) -> Optional[Tuple[int, Block]]:
        start = self._next
        if start >= self._rows:
            return None
        self._next = stop = min(start + _STORED_BLOCK_ROWS, self._rows)
        return start, self._values(start, stop)

    def next_block(self) -> Optional[Block]:
        taken = self._take()
        return None if taken is None else taken[1]

    def next_text(self) -> Optional[bytes]:
        if self._form is None or self._cells is None:
            raise UsageError("the pass was not made for text (text_form and taxon_cells)")
        taken = self._take()
        if taken is None:
            return None
        start, block = taken
        text = _engine.format_rows(block, self._size, self._form, self._cells, start == 0)
        return text.encode("utf-8", "surrogateescape")

    def all_columns(self) -> Block:
        return self._values(0, self._rows)

    def close(self) -> None:
        self._next = self._rows


class ShardedTable(TopologyTable):
    """A quartet or quintet table counted elsewhere (by sharded_table, on Dask workers) and
    held whole, as the int64 columns of column_names(size). It is used as a TopologyTable is
    (rows, to_columns, to_dataframe, write, records, extra columns), each pass reading the
    columns instead of counting anew, the engine computing every other value from them; it
    holds no trees (no `trees` attribute)."""

    def __init__(
        self,
        size: int,
        taxa: Sequence[str],
        columns: Columns,
        occupancy: Sequence[int],
        *,
        progress: Optional[bool] = None,
        species_tree: Union["Trees", SpeciesTree, None] = None,
        adjust: Optional[str] = None,
        unresolved: str = "drop",
    ) -> None:
        self._take_options(size, 1, progress, adjust, species_tree, unresolved)
        self.taxa = tuple(taxa)
        names = column_names(size)
        if set(columns) != set(names) or any(len(columns[name]) != len(self) for name in names):
            raise UsageError(f"the columns are not those of a table of {len(self)} rows: {', '.join(names)}")
        if len(occupancy) != len(self.taxa):
            raise UsageError("one occupancy count per taxon")
        self._columns = {name: numpy.ascontiguousarray(columns[name], dtype=numpy.int64) for name in names}
        self._occupancy = list(occupancy)
        self.species = self._species_of(species_tree)
        self._adjusted: Dict[str, Dict[str, bytearray]] = {}

    def occupancy(self) -> Dict[str, int]:
        """How many trees hold each taxon of the table."""
        return dict(zip(self.taxa, self._occupancy))

    def _adjusted_p_values(self, method: str) -> Dict[str, bytearray]:
        """Both tests' p-values of every row adjusted across the table by `method`, found once
        (the rows held do not change): the engine's p-values of the rows, a block at a time,
        then its adjustment."""
        if method not in self._adjusted:
            plain = _StoredCounting(self._columns, self.size, self.taxa, unresolved=self.unresolved)
            p_values: Dict[str, List[bytes]] = {name: [] for name in _P_VALUE_COLUMNS}
            for block in iter(plain.next_block, None):
                for name, found in p_values.items():
                    found.append(bytes(block[name]))
            self._adjusted[method] = {
                adjusted: _engine.adjust_p_values(b"".join(p_values.pop(name)), method)
                for name, adjusted in zip(_P_VALUE_COLUMNS, ADJUSTED_COLUMNS)
            }
        return self._adjusted[method]

    def _counting(self, **options: Any) -> _StoredCounting:
        adjust: Optional[str] = options.pop("adjust", None)
        adjusted = self._adjusted_p_values(adjust) if adjust is not None else None
        return _StoredCounting(
            self._columns, self.size, self.taxa, adjusted=adjusted, unresolved=self.unresolved, **options
        )


def _worker_threads(client: Any) -> Dict[Optional[str], int]:
    """Each worker's address with its number of threads; one unnamed worker of one thread when
    none has joined yet (its task waits for the first that does)."""
    workers = client.scheduler_info().get("workers", {})
    threads = {address: max(1, int(info.get("nthreads", 1))) for address, info in workers.items()}
    return dict(threads) if threads else {None: 1}


def _trees_seen(share: Union[TableShare, SpeciesShare]) -> Tuple[Any, ...]:
    """What every worker must find alike: the taxa, the trees, the trees holding each taxon and
    the table's number of blocks."""
    return (share.taxa, share.trees, share.occupancy, share.block_count)


def _same_trees(share: Union[TableShare, SpeciesShare], seen: Tuple[Any, ...], files: Sequence[str]) -> None:
    """Refuses a share whose worker read other trees than the first share's did (`seen`)."""
    if _trees_seen(share) != seen:
        raise TreeFileError(", ".join(files), "the workers read different trees: is it the same file on every machine?")


def _in_block_order(distributed: Any, futures: List[Any], files: Sequence[str]) -> Generator[Any, None, None]:
    """The shares of `futures`, in the order of their blocks (the order of `futures`), each
    checked to come from the same trees as the first and to start where the one before ended,
    so that together they cover the table once. A failure of any share is raised as soon as it
    is known and cancels the rest; each share's future is released once taken, so that only the
    share the caller is given is held here (close the iterator to cancel what is left)."""
    try:
        for done in distributed.as_completed(futures):  # waits without fetching the data
            if done.status == "error":
                done.result()  # raises what the worker raised
        seen: Optional[Tuple[Any, ...]] = None
        end = 0  # the block after the last one taken
        while futures:
            future = futures.pop(0)
            share = future.result()
            future.release()
            seen = _trees_seen(share) if seen is None else seen
            _same_trees(share, seen, files)
            if share.blocks[0] != end or (not futures and share.blocks[1] != share.block_count):
                raise RuntimeError("the runs of blocks counted on the workers do not cover the table once")
            end = share.blocks[1]
            yield share
            del share
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def _gathered_table(
    distributed: Any, futures: List[Any], size: int, files: Sequence[str]
) -> Tuple[TableShare, Columns]:
    """The first share (without its rows) and the columns of all of them, joined in the order
    of their blocks (the order of `futures`), each share's data released once joined, so that
    the client holds the table and at most one share (see _in_block_order)."""
    columns: Columns = {name: array("q") for name in column_names(size)}
    first: Optional[TableShare] = None
    with closing(_in_block_order(distributed, futures, files)) as shares:
        for share in shares:
            first = share._replace(columns={}) if first is None else first
            for name, column in columns.items():
                column.frombytes(share.columns[name])
            del share
    assert first is not None
    if len(columns["holding"]) != math.comb(len(first.taxa), size):
        raise RuntimeError("the rows counted on the workers are not those of the whole table")
    return first, columns


def _submitted(
    client: Any, jobs: Optional[int], task: Any, before: Tuple[Any, ...], after: Tuple[Any, ...]
) -> List[Any]:
    """One task(*before, jobs, share, *after) per worker, on that worker (or another if it
    leaves), the share (low, high, total) of the table's blocks in proportion to its threads
    and `jobs` by default its threads; the futures in the order of their shares."""
    threads = _worker_threads(client)
    total = sum(threads.values())
    futures = []
    low = 0
    for address, count in threads.items():
        placement: Dict[str, Any] = {} if address is None else {"workers": [address], "allow_other_workers": True}
        share = (low, low + count, total)
        futures.append(
            client.submit(task, *before, count if jobs is None else jobs, share, *after, pure=False, **placement)
        )
        low += count
    return futures


def sharded_table(
    client: Any,
    paths: Union["PathArgument", Sequence["PathArgument"]],
    size: int = 4,
    taxa: Optional[Sequence[str]] = None,
    *,
    jobs: Optional[int] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    species_tree: Union["Trees", SpeciesTree, None] = None,
    adjust: Optional[str] = None,
    progress: Optional[bool] = None,
    unresolved: str = "drop",
) -> ShardedTable:
    """The table of every quartet (size 4) or quintet (size 5) of `taxa` over the trees of
    `paths` (one file or several, plain or compressed, taken as their concatenation), counted
    on the Dask cluster of `client` (a distributed.Client): the same columns, rows and taxa, in
    the same order, as one machine's quartet_table / quintet_table of those trees.

    The files are read by the workers, not by the client: each path must name the same file on
    every worker's machine (a shared file system); a relative path is made absolute here first.
    Each worker loads all the trees once and counts its share of the table's blocks of rows, in
    proportion to its threads, on `jobs` threads (default: as many as the worker has; 0: every
    core of its machine). The shares are joined on the client, which must hold the whole table
    (72 bytes a quartet row, 176 a quintet row; write() then streams it out).

    `taxa`: by default every taxon, the rarest first, as TopologyTable orders them.
    `collapse_length`, `min_support`: as TopologyTable (the workers contract the branches as
    they load). `species_tree` (read here, on the client), `adjust`, `progress`, `unresolved`: as
    TopologyTable; their columns are computed on the client, by the engine, from the joined
    rows. The load's warnings (lengths below zero, a taxon named twice, no support label) come
    once, here, as one machine's load gives them; the workers warn of nothing. A failure
    on a worker (an unknown taxon, a file that cannot be read) is raised here as it was raised
    there, and the other shares are cancelled."""
    distributed = require("distributed", "sharded_table")
    check_table_options(size, 0 if jobs is None else jobs, adjust, species_tree, unresolved)
    collapse_rule(collapse_length, min_support)
    files = _file_list(paths)
    species = (
        species_tree if species_tree is None or isinstance(species_tree, SpeciesTree) else SpeciesTree(species_tree)
    )
    names = None if taxa is None else tuple(taxa)
    futures = _submitted(client, jobs, count_table_share, (files, size, names), (collapse_length, min_support))
    first, columns = _gathered_table(distributed, futures, size, files)
    warn_of_notes(first.notes, ", ".join(files), collapse_rule(collapse_length, min_support))
    return ShardedTable(
        size, first.taxa, columns, first.occupancy, progress=progress, species_tree=species, adjust=adjust,
        unresolved=unresolved,
    )  # fmt: skip


def sharded_species_tree(
    client: Any,
    paths: Union["PathArgument", Sequence["PathArgument"]],
    taxa: Optional[Sequence[str]] = None,
    *,
    weighted: bool = False,
    jobs: Optional[int] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    unresolved: str = "drop",
    builder: str = "fastme",
) -> str:
    """The QDC species tree (WQDC with `weighted`, internal lengths in coalescent units) of the
    gene trees of `paths`, counted on the Dask cluster of `client`: the same Newick text, to
    the character, as one machine's species_tree of those trees with the same `taxa`.

    The files are read by the workers, as for sharded_table (the same paths on every worker's
    machine; several files taken as their concatenation), and each worker sums the distances of
    its run of the quartet table's blocks, in proportion to its threads, on `jobs` threads
    (default: as many as the worker has), keeping no rows. Its sums come back as whole numbers
    (about 17 bytes a pair of taxa), so that the client adds them up exactly, one worker's at a
    time, and joins the tree from them. `taxa`, `collapse_length`, `min_support`,
    `unresolved`, `builder`: as species_tree; the load's warnings come once, as for
    sharded_table. UndefinedDistanceError when two taxa meet in no quartet that some tree
    resolves and UnresolvedQuartetsWarning when most quartets are resolved by no tree, as on
    one machine; a failure on a worker is raised here as it was raised there, and the other
    shares are cancelled."""
    distributed = require("distributed", "sharded_species_tree")
    check_table_options(4, 0 if jobs is None else jobs, None, None, unresolved)
    check_builder(builder)
    collapse_rule(collapse_length, min_support)
    files = _file_list(paths)
    names = None if taxa is None else tuple(taxa)
    futures = _submitted(
        client, jobs, count_species_share, (files, names, weighted), (collapse_length, min_support, unresolved)
    )
    with closing(_in_block_order(distributed, futures, files)) as shares:
        first: SpeciesShare = next(shares)
        chosen, notes = first.taxa, first.notes
        parts = chain([first.exact], (share.exact for share in shares))
        del first  # each share's sums are let go once added
        found = _engine.summed_distances(len(chosen), parts, weighted)
    warn_of_notes(notes, ", ".join(files), collapse_rule(collapse_length, min_support))
    return _species_newick(chosen, _Distances(*found), weighted, builder)
