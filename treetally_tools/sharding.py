# Tallies of tree files too large, or too many, for one machine: the files are cut into shards
# of whole lines, each shard becomes a TreeSet on the Dask worker that tallies it, and the
# per-shard results, all of which add up, are summed.
"""Quartet and quintet tallies and the time table across Dask workers (needs the dask extra).

A TreeSet cannot be pickled, so it is never sent anywhere: each worker receives the text of its
shard, builds the TreeSet there and returns plain lists. Tallies add up across shards. The time
table does not (its shares and blocks are normalised per TreeSet), so each shard returns the
raw per-topology sums of the ten path lengths instead (one native pass of the engine per
shard), and the table is normalised once, after adding them up, by the function the module's
own time table uses; it then equals coalesence_times_by_topology over all the trees, up to the
rounding of summing shard by shard.
"""

# Annotations stay strings: a worker that unpickles these functions must not need the
# TreeSet class itself, which pickles neither by reference nor by value.
from __future__ import annotations

import io
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Iterator, List, NamedTuple, Sequence, Tuple, Union

from . import _engine
from ._extras import require
from .check import check_lines
from .codes import PAIRS, QUARTET_CODES, QUINTET_CODES
from .errors import TreeFileError, UnknownTaxonError, UsageError
from .sources import MAX_LINE_BYTES, _is_compressed, binary_chunks, line_too_long, load_trees, open_binary
from .tallies import TimeTable, TopologyTally

if TYPE_CHECKING:
    import treetally

    PathArgument = Union[str, "os.PathLike[str]"]

Quintet = Tuple[str, str, str, str, str]
PAIR_COUNT = len(PAIRS)
# The size at which a shard is cut before its number of lines, so that shards of large trees
# stay small. A shard takes no longer a line than a load does (MAX_LINE_BYTES).
SHARD_BYTES = 1 << 26
# The kinds of problem of the line check for which the loader refuses a whole file.
_UNREADABLE_KINDS = ("not UTF-8", "bad branch length")


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


def tally_shard_text(text: bytes, quintet: Quintet, source: str = "a shard", first_line: int = 1) -> ShardTally:
    """Runs on a worker: builds the shard's TreeSet from its text and tallies it. A shard that
    cannot be read is a TreeFileError naming `source` (its file) and the line at fault, or the
    shard's lines when no single line is to blame (its first line is `first_line` of the file)."""
    try:
        trees = load_trees(io.BytesIO(text))
    except TreeFileError as error:
        raise TreeFileError(_shard_place(text, source, first_line), error.reason) from None
    return tally_tree_set(trees, quintet)


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
) -> ShardTally:
    """The tallies of five `names` (the first four for the quartet) over every tree of `paths`
    (one file or several, plain or compressed), computed shard by shard on the Dask cluster of
    `client` (a distributed.Client) and summed; equal to the answers of one TreeSet of all the
    trees. Raises UnknownTaxonError for a name that no tree holds."""
    require("distributed", "sharded_tally")
    if len(names) != 5:
        raise UsageError(f"sharded_tally takes 5 names, not {len(names)}")
    quintet: Quintet = (names[0], names[1], names[2], names[3], names[4])
    files = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    futures = []
    for path in files:
        for first_line, text in numbered_shards(Path(path), lines_per_shard):
            # A key of its own: shards of equal text (equal trees) would otherwise share one,
            # which the scheduler forgets as soon as the first of them is collected.
            shard = client.scatter(text, hash=False)
            futures.append(client.submit(tally_shard_text, shard, quintet, str(path), first_line, pure=False))
    total = combine(client.gather(futures), quintet)
    check_names_found(total, quintet)
    return total
