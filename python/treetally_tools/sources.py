# Where trees come from: a path to plain or compressed text, a binary or text stream (standard
# input among them) or a list of Newick strings. The engine loads them all, writing nothing to
# standard error: a plain file in place, everything else decompressed or encoded by a thread of
# this process into a pipe that the engine reads, so that nothing is ever copied to disk. A path
# is opened once: its kind and compression are told from that descriptor, which is then read.
"""Open gene trees from files, compressed files, streams or Newick strings."""

from __future__ import annotations

import bz2
import contextlib
import errno
import fcntl
import gzip
import io
import lzma
import math
import os
import stat
import sys
import threading
import warnings
import zlib
from pathlib import Path
from typing import (
    IO, TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, TypeVar, Union,
    cast, overload,
)  # fmt: skip

import treetally

from . import _engine
from .errors import NegativeLengthWarning, TreeFileError, TreeReadError, UsageError, read_reason
from .taxon_map import MappedTrees, taxon_map_of

if TYPE_CHECKING:
    TreeSource = Union[str, "os.PathLike[str]", IO[bytes], IO[str], Iterable[str]]
    Trees = Union[treetally.TreeSet, TreeSource]
    # What the counting functions take: trees, or trees already mapped to species.
    MappableTrees = Union[Trees, MappedTrees]
    from .taxon_map import TaxonMapSource

STDIN = "-"
# The longest line a load takes, far beyond any gene tree: a file of one endless line (/dev/zero,
# compressed zeros, a file that is not a tree file or lost its line breaks) is refused, naming
# the line, once that much is read, instead of taking all memory first.
MAX_LINE_BYTES = 1 << 28
_CHUNK = 1 << 20
# How long a failed load waits for its feeder to say why it stopped (a feeder blocked on reading
# a silent source is left behind; it is a daemon thread and ends with that source).
_FEEDER_GRACE_SECONDS = 1.0
# fcntl's F_SETPIPE_SZ (named there from CPython 3.10 on): a larger pipe means fewer switches
# between the feeder and the loader.
_F_SETPIPE_SZ = 1031

# Leading bytes of each compressed format -> its name and the reader that decompresses a stream.
_FORMATS: Dict[bytes, Tuple[str, Callable[[IO[bytes]], IO[bytes]]]] = {
    b"\x1f\x8b": ("gzip", lambda raw: cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))),
    b"BZh": ("bzip2", lambda raw: cast(IO[bytes], bz2.BZ2File(raw))),
    b"\xfd7zXZ\x00": ("xz", lambda raw: cast(IO[bytes], lzma.LZMAFile(raw))),
}
_PREFIX = max(len(magic) for magic in _FORMATS)
# What the decompressors raise for damaged or truncated data.
_CORRUPT = (OSError, EOFError, lzma.LZMAError, zlib.error)

def line_too_long(number: int, cap: int) -> str:
    """Why a file with a line longer than `cap` bytes is refused, in the loader's words."""
    size = f"{cap >> 20} MiB" if cap and cap % (1 << 20) == 0 else f"{cap} bytes"
    return f"line {number} is longer than {size}: is this one tree per line?"


def describe(source: Any) -> str:
    """How `source` is named in messages: its path, or what kind of input it is."""
    if isinstance(source, str) and source == STDIN:
        return "standard input"
    if isinstance(source, (str, os.PathLike)):
        return str(source)
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        return str(name) if isinstance(name, (str, os.PathLike)) else "the stream"
    return "the Newick strings"


def compression_of(prefix: bytes) -> Optional[str]:
    """ "gzip", "bzip2" or "xz" when `prefix` starts like such data, else None."""
    for magic, (name, _) in _FORMATS.items():
        if prefix.startswith(magic):
            return name
    return None


class _Rejoined(io.RawIOBase):
    """A binary stream whose first bytes were already read: gives them back, then the rest,
    so that a pipe can be sniffed for compression without losing what was read."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        super().__init__()
        self.head = head
        self.rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.head:
            size = min(len(buffer), len(self.head))
            buffer[:size] = self.head[:size]
            self.head = self.head[size:]
            return size
        data = self.rest.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)

    def close(self) -> None:
        self.rest.close()
        super().close()


def _prefix_of(stream: IO[bytes], head: bytes = b"") -> bytes:
    """`head` followed by what `stream` gives until there are enough bytes to tell a format."""
    while len(head) < _PREFIX:
        chunk = stream.read(_PREFIX - len(head))
        if not chunk:
            break
        head += chunk
    return head


def decompressed(stream: IO[bytes], head: bytes = b"") -> IO[bytes]:
    """The bytes of `stream` (after `head`, bytes already read from it), decompressed on the fly
    when they are gzip, bzip2 or xz data (recognised by their leading bytes)."""
    prefix = _prefix_of(stream, head)
    joined = cast(IO[bytes], io.BufferedReader(_Rejoined(prefix, stream)))
    for magic, (_, reader) in _FORMATS.items():
        if prefix.startswith(magic):
            return reader(joined)
    return joined


def _open(path: Path, name: str) -> IO[bytes]:
    try:
        return open(path, "rb")
    except OSError as error:
        raise TreeFileError(name, error.strerror or str(error)) from None


def open_binary(path: Union[str, "os.PathLike[str]"]) -> IO[bytes]:
    """The file at `path` opened for reading bytes, decompressed on the fly when it is gzip,
    bzip2 or xz data (recognised by its leading bytes, whatever its name)."""
    return decompressed(_open(Path(path), str(path)))


def _plain_or_chunks(path: Path, name: str) -> Tuple[Optional[int], Iterable[bytes]]:
    """`path` opened once: the descriptor of a regular file of uncompressed text, which the
    engine reads in place (its leading bytes are read without moving its offset), or the bytes
    of anything else (compressed data, a pipe or a device, which cannot be read twice),
    decompressed, on that same descriptor."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as error:
        raise TreeFileError(name, error.strerror or str(error)) from None
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise TreeFileError(name, os.strerror(errno.EISDIR))
        if stat.S_ISREG(mode) and compression_of(os.pread(descriptor, _PREFIX, 0)) is None:
            return descriptor, ()
        stream = open(descriptor, "rb")  # from here the stream owns the descriptor
    except OSError as error:
        os.close(descriptor)
        raise TreeFileError(name, error.strerror or str(error)) from None
    except BaseException:
        os.close(descriptor)
        raise
    try:
        reader = decompressed(stream)
    except _CORRUPT as error:
        stream.close()
        raise TreeFileError(name, _read_failure(error, False)) from None
    return None, binary_chunks(reader, name, _is_compressed(reader))


def _read_failure(error: BaseException, compressed: bool) -> str:
    if compressed:
        return f"the compressed data is damaged ({error})"
    return getattr(error, "strerror", None) or str(error)


def binary_chunks(reader: IO[bytes], name: str, compressed: bool) -> Iterator[bytes]:
    """The bytes of `reader` in chunks; a read failure is a TreeFileError naming `name` (damaged
    data, when `compressed`). Closes `reader` at the end."""
    with reader:
        while True:
            try:
                chunk = reader.read(_CHUNK)
            except _CORRUPT as error:
                raise TreeFileError(name, _read_failure(error, compressed)) from None
            if not chunk:
                return
            yield chunk


def _stream_chunks(stream: Any, name: str) -> Iterator[bytes]:
    """The bytes of a binary stream (decompressed) or of a text stream (as UTF-8)."""
    try:
        head = stream.read(_PREFIX)
        reader = decompressed(stream, head) if isinstance(head, bytes) else None
    except (OSError, ValueError) as error:
        raise TreeFileError(name, str(error)) from None
    if reader is not None:
        yield from binary_chunks(reader, name, _is_compressed(reader))
        return
    try:
        while head:
            yield head.encode("utf-8")
            head = stream.read(_CHUNK)
    except (OSError, ValueError) as error:
        raise TreeFileError(name, str(error)) from None


def _is_compressed(reader: IO[bytes]) -> bool:
    return isinstance(reader, (gzip.GzipFile, bz2.BZ2File, lzma.LZMAFile))


def _newick_chunks(newicks: Iterable[Any]) -> Iterator[bytes]:
    """One tree per line; a string may end in one line break, but must not hold another."""
    lines: List[str] = []
    size = 0
    for index, newick in enumerate(newicks):
        if not isinstance(newick, str):
            raise TypeError(f"Newick string {index} is a {type(newick).__name__}, not a str")
        line = newick[:-1] if newick.endswith("\n") else newick
        line = line[:-1] if line.endswith("\r") else line
        if "\n" in line:
            raise UsageError(f"Newick string {index} holds a line break: give one tree per string")
        lines.append(line + "\n")
        size += len(line) + 1
        if size >= _CHUNK:
            yield "".join(lines).encode("utf-8")
            lines, size = [], 0
    if lines:
        yield "".join(lines).encode("utf-8")


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def _feed(chunks: Iterable[bytes], fd: int, failures: List[BaseException]) -> None:
    """Writes `chunks` into the pipe `fd`, then closes it (the loader's end of input). A loader
    that stopped reading is no failure of the feeder; anything else is kept in `failures`."""
    try:
        for chunk in chunks:
            _write_all(fd, chunk)
    except BrokenPipeError:
        pass
    except BaseException as error:  # handed to the loading thread, which raises it
        failures.append(error)
    finally:
        with contextlib.suppress(OSError):
            os.close(fd)
        # A source cut short by the loader is closed here, not whenever it is collected.
        close = getattr(chunks, "close", None)
        if close is not None:
            with contextlib.suppress(Exception):
                close()


Loaded = TypeVar("Loaded")


def _reported(load: Callable[[], Loaded], name: str) -> Loaded:
    """`load()`, with input that the engine cannot read as trees as a TreeFileError naming
    `name`, and running out of memory as a MemoryError that names it too; any other failure
    (an EngineError of the engine's own) passes on as it is."""
    try:
        return load()
    except MemoryError:
        raise MemoryError(f"not enough memory to load the trees of {name}") from None
    except TreeReadError as error:
        # The engine tells the line of a bad branch length beside its message.
        raise TreeFileError(name, read_reason(error), getattr(error, "line_number", None)) from None


class CollapseRule(NamedTuple):
    """Which internal branches a load contracts, so that they count as polytomies: those of
    length at most `collapse_length`, and those whose support (the label after the node's
    ")") is below `min_support`; None leaves that test out. `support_index`: which value (from
    1) of a label of several separated by "/" (IQ-TREE's SH-aLRT/UFBoot "80/95") is the support."""

    collapse_length: Optional[float]
    min_support: Optional[float]
    support_index: Optional[int] = None


def collapse_rule(
    collapse_length: Optional[float], min_support: Optional[float], support_index: Optional[int] = None
) -> Optional[CollapseRule]:
    """The rule of the keywords, None when none is given; a value that is not a number (or is
    NaN) is refused, as is a `support_index` that is not an int from 1 or comes without
    `min_support` (it would choose a value that nothing reads)."""
    if support_index is not None:
        if isinstance(support_index, bool) or not isinstance(support_index, int):
            raise TypeError(f"support_index is an int, not a {type(support_index).__name__}")
        if support_index < 1:
            raise UsageError(f"support_index counts the values of a label from 1, not {support_index}")
        if min_support is None:
            raise UsageError(
                "support_index (--support-index) chooses the support that min_support judges: give min_support too"
            )
    if collapse_length is None and min_support is None:
        return None
    for keyword, value in (("collapse_length", collapse_length), ("min_support", min_support)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{keyword} is a number, not a {type(value).__name__}")
        if math.isnan(value):
            raise UsageError(f"{keyword} is a number, not NaN")
    return CollapseRule(
        None if collapse_length is None else float(collapse_length),
        None if min_support is None else float(min_support),
        support_index,
    )


def _engine_load(path: str, rule: Optional[CollapseRule], copies_apart: bool = False) -> Tuple[treetally.TreeSet, int]:
    if rule is None:
        return _engine.load(path, max_line_bytes=MAX_LINE_BYTES, copies_apart=copies_apart)
    return _engine.load(
        path,
        collapse_length=rule.collapse_length,
        min_support=rule.min_support,
        max_line_bytes=MAX_LINE_BYTES,
        support_index=rule.support_index,
        copies_apart=copies_apart,
    )


class LoadNotes(NamedTuple):
    """What loads made apart (the shards or the workers of a sharded run) found that calls for a
    warning, as counts that add up over the parts of a file, so that the caller warns once
    (warn_of_notes) instead of each part: branch lengths below zero, trees naming a taxon on
    two leaves, and the support labels read (counted only with a support bound)."""

    negative_lengths: int = 0
    repeated_taxa: int = 0
    support_labels: int = 0

    def added(self, other: "LoadNotes") -> "LoadNotes":
        """The notes of both parts."""
        return LoadNotes(*(mine + theirs for mine, theirs in zip(self, other)))


def _noted_load(path: str, rule: Optional[CollapseRule]) -> Tuple[treetally.TreeSet, LoadNotes]:
    if rule is None:
        trees, *counts = _engine.load(path, max_line_bytes=MAX_LINE_BYTES, notes=True)
    else:
        trees, *counts = _engine.load(
            path, collapse_length=rule.collapse_length, min_support=rule.min_support,
            max_line_bytes=MAX_LINE_BYTES, support_index=rule.support_index, notes=True,
        )  # fmt: skip
    return trees, LoadNotes(*counts)


def load_noted(
    source: "TreeSource", rule: Optional[CollapseRule] = None
) -> Tuple[treetally.TreeSet, LoadNotes]:
    """The trees of `source` as load_trees reads them, warning of nothing: what it would warn of
    comes back as LoadNotes."""
    return read_source(source, lambda path: _noted_load(path, rule))


def load_fed_noted(
    chunks: Iterable[bytes], name: str, rule: Optional[CollapseRule] = None
) -> Tuple[treetally.TreeSet, LoadNotes]:
    """load_fed's trees, warning of nothing: what it would warn of comes back as LoadNotes."""
    return read_fed(chunks, name, lambda path: _noted_load(path, rule))


def warn_of_notes(notes: LoadNotes, name: str, rule: Optional[CollapseRule], stacklevel: int = 2) -> None:
    """The warnings one load of all the trees of `name` would give, from the notes of its parts;
    `rule` the one they were loaded with. `stacklevel` as warnings.warn takes it, counted from
    the caller of this function."""
    if notes.negative_lengths:
        warnings.warn(NegativeLengthWarning(name, notes.negative_lengths), stacklevel=stacklevel + 1)
    bounded = rule is not None and rule.min_support is not None
    _engine.warn_of_load(notes.repeated_taxa, notes.support_labels if bounded else None, stacklevel + 1)


def _warned(loaded: Tuple[treetally.TreeSet, int], name: str) -> treetally.TreeSet:
    """The trees of a load, with a NegativeLengthWarning when some branch lengths were below zero:
    they are read as written, but are rarely meant."""
    trees, negative = loaded
    if negative:
        warnings.warn(NegativeLengthWarning(name, negative), stacklevel=4)
    return trees


def load_fed(chunks: Iterable[bytes], name: str, rule: Optional[CollapseRule] = None) -> treetally.TreeSet:
    """The TreeSet of the bytes of `chunks`, produced by a thread of this process into a pipe
    that the engine loads from (it releases the interpreter lock while it reads), with the weak
    branches of `rule` contracted. A failure of the feeder (damaged data, a bad Newick string)
    is raised in preference to what the load says of the input it cut short."""
    return _warned(read_fed(chunks, name, lambda path: _engine_load(path, rule)), name)


def read_fed(chunks: Iterable[bytes], name: str, read: Callable[[str], Loaded]) -> Loaded:
    """`read(path)` of a pipe named by `path` (/dev/fd/N) into which a thread of this process
    writes the bytes of `chunks`; `read` is an engine function that releases the interpreter
    lock while it reads. Its failure is a TreeFileError naming `name`, and a failure of the
    feeder (damaged data, a bad Newick string) is raised in preference to it."""
    read_fd, write_fd = os.pipe()
    with contextlib.suppress(OSError):
        fcntl.fcntl(write_fd, getattr(fcntl, "F_SETPIPE_SZ", _F_SETPIPE_SZ), _CHUNK)
    failures: List[BaseException] = []
    feeder = threading.Thread(target=_feed, args=(chunks, write_fd, failures), name="treetally-feeder", daemon=True)
    try:
        feeder.start()
    except BaseException as error:
        os.close(write_fd)
        os.close(read_fd)
        # A new thread that cannot start was refused its stack (or a thread by a limit).
        if isinstance(error, RuntimeError):
            raise MemoryError(f"cannot start a thread to load the trees of {name}") from None
        raise
    try:
        result = _reported(lambda: read(f"/dev/fd/{read_fd}"), name)
    except Exception:
        # Closing the read end makes a feeder blocked on writing stop with a broken pipe.
        os.close(read_fd)
        feeder.join(_FEEDER_GRACE_SECONDS)
        if failures:
            raise failures[0] from None
        raise
    except BaseException:  # KeyboardInterrupt and the like go on at once
        os.close(read_fd)
        raise
    os.close(read_fd)
    feeder.join()  # the load saw the end of input, so the feeder has closed its end already
    if failures:
        raise failures[0]
    return result


def source_chunks(source: "TreeSource") -> Tuple[Optional[int], Iterable[bytes]]:
    """The open descriptor of a plain regular file (with no chunks; the caller closes it), or the
    bytes of any other `source`: decompressed, read from standard input or a stream, or the
    Newick strings as lines. A path is opened here, once, so that a failure to open is raised
    here."""
    name = describe(source)
    if isinstance(source, bytes):
        raise TypeError("give a path as str or pathlib.Path, not bytes")
    if isinstance(source, (str, os.PathLike)) and not (isinstance(source, str) and source == STDIN):
        return _plain_or_chunks(Path(source), name)
    if isinstance(source, str):
        return None, _stream_chunks(_standard_input(name), name)
    if hasattr(source, "read"):
        return None, _stream_chunks(source, name)
    return None, _newick_chunks(source)


def _standard_input(name: str) -> IO[bytes]:
    """Standard input as a binary stream of its own, on a copy of its descriptor: the feeder
    thread that reads it may still wait in a read when the process ends, and must then hold no
    lock of sys.stdin, which the interpreter takes on its way out. A sys.stdin without a
    descriptor (replaced by a caller) is read as it is."""
    stdin = sys.stdin
    if stdin is None:
        raise TreeFileError(name, "standard input is closed")
    try:
        descriptor = stdin.fileno()
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both of the last two
        return cast(IO[bytes], getattr(stdin, "buffer", stdin))
    try:
        return open(os.dup(descriptor), "rb", buffering=0)
    except OSError as error:
        raise TreeFileError(name, error.strerror or str(error)) from None


def read_source(source: "TreeSource", read: Callable[[str], Loaded]) -> Loaded:
    """`read(path)` of the bytes of `source` (anything load_trees reads but a TreeSet), `read`
    being an engine function that reads the file at `path` with the interpreter lock released:
    a plain regular file in place through its one descriptor (/dev/fd/N), anything else through
    a pipe (read_fed). Its failure is a TreeFileError naming the source."""
    name = describe(source)
    descriptor, chunks = source_chunks(source)
    if descriptor is None:
        return read_fed(chunks, name, read)
    try:
        return _reported(lambda: read(f"/dev/fd/{descriptor}"), name)
    finally:
        os.close(descriptor)


def load_mapped_trees(
    source: "MappableTrees",
    taxon_map: Optional["TaxonMapSource"],
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
) -> Union[treetally.TreeSet, MappedTrees]:
    """load_trees(source, ...) without a map (a MappedTrees is returned as it is); with one, the
    trees of `source` with every leaf kept as an individual of its own (each copy of a name
    that a tree repeats too) grouped into species by `taxon_map` (a path to a map file or a
    mapping {gene-tree name: species}; see read_taxon_map). A TreeSet already loaded is mapped
    as it is (its repeated names were loaded as one leaf each). TaxonMapError when the map
    cannot be read or lacks a name of the trees."""
    if isinstance(source, MappedTrees):
        if taxon_map is not None:
            raise UsageError("these trees are mapped to species already: give the taxon map once")
        return source
    if taxon_map is None:
        return load_trees(
            source, collapse_length=collapse_length, min_support=min_support, support_index=support_index
        )
    mapping = taxon_map_of(taxon_map)  # a bad map is reported before the trees are read
    if isinstance(source, treetally.TreeSet):
        trees = load_trees(
            source, collapse_length=collapse_length, min_support=min_support, support_index=support_index
        )
    else:
        rule = collapse_rule(collapse_length, min_support, support_index)
        trees = _warned(read_source(source, lambda path: _engine_load(path, rule, copies_apart=True)), describe(source))
    where = os.fspath(taxon_map) if isinstance(taxon_map, (str, os.PathLike)) else "given"
    return MappedTrees(trees, mapping, where)


@overload
def load_trees(
    source: "Trees",
    *,
    quiet: bool = False,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    taxon_map: None = None,
) -> treetally.TreeSet: ...


@overload
def load_trees(
    source: "Trees",
    *,
    quiet: bool = False,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    taxon_map: "TaxonMapSource",
) -> MappedTrees: ...


def load_trees(
    source: "Trees",
    *,
    quiet: bool = False,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> Union[treetally.TreeSet, MappedTrees]:
    """The module's own TreeSet of the trees of `source` (a TreeSet is returned as it is).

    `source`: a path (str or os.PathLike; "-" for standard input) to plain text or to gzip,
    bzip2 or xz data (recognised by its leading bytes); a binary or text stream; or an iterable
    of Newick strings, one tree each. A plain regular file is read in place; anything else is
    streamed to the loader through a pipe, never copied to disk. Raises TreeFileError when the
    trees cannot be read, among them a line longer than MAX_LINE_BYTES (256 MiB).

    `collapse_length`: internal branches written with this length or a shorter one count as
    polytomies (a branch written without a length is kept: its length is unknown, whatever
    the 0 a TreeSet stores for it). `min_support`: the label after each
    internal node's ")" is read as the support of the branch above it, and branches below this
    support count as polytomies (nodes without a label keep their branch; a label that is not a
    number is a TreeFileError naming its line; with no label in any tree a UserWarning says
    that nothing was contracted for support). `support_index`: value K (from 1) of a label of
    several separated by "/", as IQ-TREE writes SH-aLRT/UFBoot ("80/95"), is the support;
    without it such a label is a TreeFileError naming the keyword. The root's own branch is never judged; at a
    root with two children each of its branches is judged by itself, as written. The trees are
    contracted as they are read, so a TreeSet already loaded cannot take either keyword
    (ValueError): give its file instead.

    Branch lengths below zero are read as written, with a NegativeLengthWarning giving their
    number.

    `taxon_map` (a path to a map file, or a mapping {gene-tree name: species}; see
    read_taxon_map) gives MappedTrees instead: every leaf is kept as an individual of its own,
    each copy of a name that a tree repeats too, grouped into the species of the map
    (load_mapped_trees).

    `quiet` is accepted and ignored, for callers written when a failed load also reported on
    standard error: a load never writes there."""
    if taxon_map is not None:
        return load_mapped_trees(
            source, taxon_map, collapse_length=collapse_length, min_support=min_support, support_index=support_index
        )
    if isinstance(source, MappedTrees):
        # What takes trees but not mapped ones (the sharded tables, the time table) says so
        # instead of reading the individuals as taxa.
        raise UsageError("these trees are mapped to species, and this function counts the trees' own taxa")
    rule = collapse_rule(collapse_length, min_support, support_index)
    if isinstance(source, treetally.TreeSet):
        if rule is not None:
            raise UsageError(
                "collapse_length and min_support act while trees are read, and this TreeSet is loaded "
                "already: give the file (or stream, or Newick strings) instead"
            )
        return source
    return _warned(read_source(source, lambda path: _engine_load(path, rule)), describe(source))
