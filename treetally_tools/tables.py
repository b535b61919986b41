# Every quartet or quintet of a list of taxa with its counts, as an ordered stream of rows.
# The counts come from the module's sweep, one call per quartet or quintet; around it, the
# work is arranged so that the sweeps visit as few trees as the counts allow and can run in
# several processes.
"""All-quartet and all-quintet tables with concordance and coalescent tests.

Rows come in the order of itertools.combinations over the taxa (by default every taxon, the
rarest first). Each row's codes are those of its own taxa in that order (slot k is its k-th
taxon).

How the counting is arranged:
- a quartet that no tree holds completely is not swept at all (the presence masks say so);
- the rows are cut into blocks of a common first and second taxon; a block's sweeps may run
  over only the trees that hold its first taxon (a set loaded from those lines of the file),
  which gives the same counts with fewer trees to skip, when the block is large enough to
  repay the load;
- with `jobs` > 1 the blocks run in worker processes, each with its own TreeSet, and come
  back in order.
"""

from __future__ import annotations

import collections
import contextlib
import itertools
import math
import os
import weakref
from array import array
from concurrent.futures import Future, ProcessPoolExecutor
from pathlib import Path
from typing import TYPE_CHECKING, Any, Deque, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import treetally

from ._extras import require
from ._progress import Progress
from .codes import code_count
from .coalescent import ChiSquare, minor_equal_test, quartet_test_values, star_test
from .names import check_names
from .presence import popcount, presence_mask
from .sources import describe, file_size, load_plain, plain_text, temporary_file

if TYPE_CHECKING:
    from .sources import Trees

# Cost model of restricting a block to the trees that hold its first taxon: a sweep skips a
# tree that lacks a taxon in about this many nanoseconds, and a restricted set costs about
# this many per byte of the file to write and load (measured on the 103-taxon plants set).
_SKIP_NS_PER_TREE = 20.0
_LOAD_NS_PER_BYTE = 10.0
# The quartet tests' columns: statistic and p-value of each.
TEST_COLUMNS = ["minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"]
# Blocks handed out to the workers ahead of the one the caller reads, per worker.
_BLOCKS_AHEAD = 4


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
            raise ValueError("the coalescent tests are defined for quartets")
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


class _Block(NamedTuple):
    """The rows whose first two taxa are taxa[first] and taxa[second]; with `restrict`, swept
    over only the trees that hold taxa[first]."""

    first: int
    second: int
    restrict: bool


class _Counter:
    """The counting of blocks in one process: the whole set, and the restricted set of the
    last first taxon asked for."""

    def __init__(
        self, path: Optional[str], taxa: Sequence[str], masks: Sequence[int], trees: Optional[treetally.TreeSet]
    ) -> None:
        self.path = path
        self.taxa = list(taxa)
        self.masks = list(masks)
        self.trees = trees if trees is not None else load_plain(Path(path or ""), path or "")
        self.subset_of = -1
        self.subset: Optional[treetally.TreeSet] = None

    def tree_set(self, block: _Block) -> treetally.TreeSet:
        if not block.restrict or self.path is None:
            return self.trees
        if self.subset_of != block.first:
            self.subset_of = block.first
            self.subset = _subset(Path(self.path), self.masks[block.first], len(self.trees))
        return self.subset if self.subset is not None else self.trees

    def count(self, size: int, block: _Block) -> "array[int]":
        """Per row of the block: the counts of each code, then the trees holding all taxa."""
        trees = self.tree_set(block)
        sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
        head = (self.taxa[block.first], self.taxa[block.second])
        base = self.masks[block.first] & self.masks[block.second]
        rest = list(zip(self.taxa, self.masks))[block.second + 1 :]
        nothing = [0] * (code_count(size) + 1)
        out: "array[int]" = array("q")
        if size == 4:
            for (c, mc), (d, md) in itertools.combinations(rest, 2):
                mask = base & mc & md
                if mask:
                    out.extend(sweep(head + (c, d)))  # type: ignore[arg-type]
                    out.append(popcount(mask))
                else:
                    out.extend(nothing)
        else:
            for (c, mc), (d, md), (e, me) in itertools.combinations(rest, 3):
                mask = base & mc & md & me
                if mask:
                    out.extend(sweep(head + (c, d, e)))  # type: ignore[arg-type]
                    out.append(popcount(mask))
                else:
                    out.extend(nothing)
        return out


def _subset(path: Path, mask: int, tree_count: int) -> Optional[treetally.TreeSet]:
    """The TreeSet of the lines of `path` whose bit is set in `mask` (line i = tree i), or None
    when the file no longer has the lines the mask was made from."""
    bits = bin(mask)[:1:-1]  # bits[i] is bit i
    kept = bits.count("1")
    with temporary_file() as copy:
        lines = 0
        with open(path, "rb") as source, open(copy, "wb") as out:
            for index, line in enumerate(source):
                lines += 1
                if index < len(bits) and bits[index] == "1":
                    out.write(line if line.endswith(b"\n") else line + b"\n")
        if lines != tree_count:
            return None
        subset = load_plain(copy, str(path))
    return subset if len(subset) == kept else None


_WORKER: Optional[_Counter] = None


def _start_worker(path: str, taxa: Sequence[str], masks: Sequence[int]) -> None:
    global _WORKER
    _WORKER = _Counter(path, taxa, masks, None)


def _count_in_worker(size: int, block: _Block) -> "array[int]":
    assert _WORKER is not None, "the worker was not started"
    return _WORKER.count(size, block)


class TopologyTable:
    """Every quartet (size 4) or quintet (size 5) of `taxa` with its counts, in the order of
    itertools.combinations(taxa, size). Iterate it for TableRow objects; each iteration
    counts anew. Use it as a context manager, or call close(), to remove the temporary copy
    of a compressed or streamed input at once (it is removed when the table is collected).

    `source`: a TreeSet or anything load_trees reads. `taxa`: the taxa to combine, in the order
    that fixes the rows and their codes; by default every taxon of the trees, ordered from the
    one the fewest trees hold to the one the most hold (ties in file order), the order that
    counts fastest. `jobs`: processes to count in (0 = one per CPU); more than one
    needs a file, not a TreeSet, and under the spawn start method a script that uses it needs
    the usual `if __name__ == "__main__":` guard. `progress`: a progress bar on standard error
    after two seconds (default: when standard error is a terminal)."""

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
            raise ValueError(f"jobs must be 0 (one per CPU) or more, not {jobs}")
        self.jobs = jobs or os.cpu_count() or 1
        self.progress = progress
        stack = contextlib.ExitStack()
        self._close = weakref.finalize(self, stack.close)
        try:
            self.path, self.trees = self._load(source, stack, quiet)
            self.taxa, self.masks = self._choose(taxa)
        except BaseException:
            self.close()
            raise

    def _load(
        self, source: "Trees", stack: contextlib.ExitStack, quiet: bool
    ) -> Tuple[Optional[Path], treetally.TreeSet]:
        """The plain-text file the trees come from (None for a TreeSet) and the TreeSet."""
        if isinstance(source, treetally.TreeSet):
            if self.jobs > 1:
                raise ValueError("counting in several processes needs the trees' file or stream, not a TreeSet")
            return None, source
        path = stack.enter_context(plain_text(source))
        return path, load_plain(path, describe(source), quiet)

    def _choose(self, taxa: Optional[Sequence[str]]) -> Tuple[Tuple[str, ...], List[int]]:
        """The taxa of the table, each once, and their presence masks."""
        file_taxa = self.trees.taxa()
        if taxa is None:
            # Every taxon, the rarest first: each block is then swept over the trees that hold
            # its first taxon, so rare first taxa leave the fewest trees to skip.
            masks = {taxon: presence_mask(self.trees, taxon) for taxon in file_taxa}
            chosen: Sequence[str] = sorted(file_taxa, key=lambda taxon: popcount(masks[taxon]))
        else:
            chosen = check_names(file_taxa, taxa, stacklevel=4)
            masks = {taxon: presence_mask(self.trees, taxon) for taxon in chosen}
        distinct = tuple(dict.fromkeys(chosen))  # a repeated name once
        if len(distinct) < self.size:
            raise ValueError(
                f"a table of {self.size} taxa at a time needs at least {self.size} distinct taxa, not {len(distinct)}"
            )
        return distinct, [masks[taxon] for taxon in distinct]

    def __len__(self) -> int:
        """The number of rows."""
        return math.comb(len(self.taxa), self.size)

    def __enter__(self) -> "TopologyTable":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Removes the temporary copy of the input, if one was made."""
        self._close()

    def occupancy(self) -> Dict[str, int]:
        """How many trees hold each taxon of the table."""
        return {taxon: popcount(mask) for taxon, mask in zip(self.taxa, self.masks)}

    def _blocks(self) -> List[_Block]:
        """The blocks in row order, each marked for restriction when that pays."""
        n = len(self.taxa)
        trees = len(self.trees)
        load_cost = _LOAD_NS_PER_BYTE * file_size(self.path) * self.jobs if self.path else math.inf
        blocks: List[_Block] = []
        for first in range(n - self.size + 1):
            rows = math.comb(n - first - 1, self.size - 1)
            skipped = trees - popcount(self.masks[first])
            restrict = rows * skipped * _SKIP_NS_PER_TREE > 2 * load_cost
            blocks.extend(_Block(first, second, restrict) for second in range(first + 1, n - self.size + 2))
        return blocks

    def _rows_of(self, block: _Block, counted: "array[int]") -> Iterator[TableRow]:
        head = (self.taxa[block.first], self.taxa[block.second])
        width = self.codes + 1
        for index, rest in enumerate(itertools.combinations(self.taxa[block.second + 1 :], self.size - 2)):
            start = index * width
            yield TableRow(head + rest, tuple(counted[start : start + self.codes]), counted[start + self.codes])

    def _counted_blocks(self) -> Iterator[Tuple[_Block, "array[int]"]]:
        blocks = self._blocks()
        if self.jobs == 1 or len(blocks) < 2:
            path = str(self.path) if self.path else None
            counter = _Counter(path, self.taxa, self.masks, self.trees)
            for block in blocks:
                yield block, counter.count(self.size, block)
            return
        workers = min(self.jobs, len(blocks))
        with ProcessPoolExecutor(
            workers, initializer=_start_worker, initargs=(str(self.path), self.taxa, self.masks)
        ) as pool:
            pending: Deque[Tuple[_Block, "Future[array[int]]"]] = collections.deque()
            queue = iter(blocks)
            try:
                for block in itertools.chain(itertools.islice(queue, workers * _BLOCKS_AHEAD)):
                    pending.append((block, pool.submit(_count_in_worker, self.size, block)))
                while pending:
                    block, future = pending.popleft()
                    following = next(queue, None)
                    if following is not None:
                        pending.append((following, pool.submit(_count_in_worker, self.size, following)))
                    yield block, future.result()
            finally:
                for _, future in pending:
                    future.cancel()

    def __iter__(self) -> Iterator[TableRow]:
        unit = "quartets" if self.size == 4 else "quintets"
        meter = Progress(len(self), unit, self.progress)
        try:
            for block, counted in self._counted_blocks():
                rows = len(counted) // (self.codes + 1)
                yield from self._rows_of(block, counted)
                meter.advance(rows)
        finally:
            meter.close()

    def records(self) -> Iterator[Dict[str, Any]]:
        """The rows as JSON-ready dicts (TableRow.record)."""
        return (row.record() for row in self)

    def to_dataframe(self) -> Any:
        """The whole table as a pandas DataFrame with the columns of flat_columns (needs the
        pandas extra)."""
        pandas = require("pandas", "to_dataframe")
        return pandas.DataFrame([row.flat() for row in self], columns=flat_columns(self.size))


def quartet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quartet of `taxa` with counts, concordance and the two coalescent tests."""
    return TopologyTable(source, 4, taxa, **options)


def quintet_table(source: "Trees", taxa: Optional[Sequence[str]] = None, **options: Any) -> TopologyTable:
    """Every quintet of `taxa` with counts and concordance."""
    return TopologyTable(source, 5, taxa, **options)
