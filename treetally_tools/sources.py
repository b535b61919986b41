# Where trees come from: a path to plain or compressed text, a binary or text stream (standard
# input among them) or a list of Newick strings, turned into the plain-text file that treetally
# reads, with any temporary copy removed afterwards.
"""Open gene trees from files, compressed files, streams or Newick strings."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import lzma
import os
import shutil
import stat
import sys
import tempfile
import zlib
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, Optional, Tuple, Union, cast

import treetally

from .errors import TreeFileError, is_panic

if TYPE_CHECKING:
    TreeSource = Union[str, "os.PathLike[str]", IO[bytes], IO[str], Iterable[str]]
    Trees = Union[treetally.TreeSet, TreeSource]

STDIN = "-"
_CHUNK = 1 << 20

# Leading bytes of each compressed format -> its name and the reader that decompresses a stream.
_FORMATS: Dict[bytes, Tuple[str, Callable[[IO[bytes]], IO[bytes]]]] = {
    b"\x1f\x8b": ("gzip", lambda raw: cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))),
    b"BZh": ("bzip2", lambda raw: cast(IO[bytes], bz2.BZ2File(raw))),
    b"\xfd7zXZ\x00": ("xz", lambda raw: cast(IO[bytes], lzma.LZMAFile(raw))),
}
_PREFIX = max(len(magic) for magic in _FORMATS)
# What the decompressors raise for damaged or truncated data.
_CORRUPT = (OSError, EOFError, lzma.LZMAError, zlib.error)

# The module's loading messages, said the way a user can act on them.
_REASONS = {
    'Failed to load tree collection: "Could not read file"': "the file cannot be opened",
    'Failed to load tree collection: "Error reading file"': "a line is not UTF-8 text, or reading failed",
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }": "a branch length is not a number",
}


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


@contextlib.contextmanager
def temporary_file() -> Iterator[Path]:
    """A fresh empty file, removed when the block ends."""
    handle, name = tempfile.mkstemp(prefix="treetally-", suffix=".tre")
    os.close(handle)
    try:
        yield Path(name)
    finally:
        with contextlib.suppress(OSError):
            os.remove(name)


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


def _copy(reader: IO[bytes], target: Path, name: str) -> None:
    try:
        with reader, open(target, "wb") as out:
            shutil.copyfileobj(reader, out, _CHUNK)
    except _CORRUPT as error:
        raise TreeFileError(name, f"the compressed data is damaged ({error})") from None


def _is_plain_file(path: Path, name: str) -> bool:
    """Whether `path` is a regular file of uncompressed text, which the module can read in
    place (a pipe or device cannot be read twice, so it is never read in place)."""
    try:
        if not stat.S_ISREG(path.stat().st_mode):
            return False
    except OSError as error:
        raise TreeFileError(name, error.strerror or str(error)) from None
    with _open(path, name) as source:
        return compression_of(_prefix_of(source)) is None


def _copy_stream(stream: Any, target: Path, name: str) -> None:
    """Copies a binary stream (decompressed) or a text stream (as UTF-8) into `target`."""
    try:
        head = stream.read(_PREFIX)
        if isinstance(head, bytes):
            _copy(decompressed(stream, head), target, name)
            return
        with open(target, "wb") as out:
            while head:
                out.write(head.encode("utf-8"))
                head = stream.read(_CHUNK)
    except (OSError, ValueError) as error:
        raise TreeFileError(name, str(error)) from None


def _write_newick_strings(newicks: Iterable[Any], target: Path) -> None:
    """One tree per line; a string may end in one line break, but must not hold another."""
    with open(target, "w", encoding="utf-8", newline="\n") as out:
        for index, newick in enumerate(newicks):
            if not isinstance(newick, str):
                raise TypeError(f"Newick string {index} is a {type(newick).__name__}, not a str")
            line = newick[:-1] if newick.endswith("\n") else newick
            line = line[:-1] if line.endswith("\r") else line
            if "\n" in line:
                raise ValueError(f"Newick string {index} holds a line break: give one tree per string")
            out.write(line + "\n")


@contextlib.contextmanager
def plain_text(source: "TreeSource") -> Iterator[Path]:
    """The path of a plain-text file with the trees of `source`, one per line, for the block.

    `source`: a path (str or os.PathLike; "-" for standard input) to plain text or to gzip,
    bzip2 or xz data; a binary or text stream; or an iterable of Newick strings. A temporary
    copy is made when needed, and removed when the block ends."""
    name = describe(source)
    if isinstance(source, bytes):
        raise TypeError("give a path as str or pathlib.Path, not bytes")
    if isinstance(source, (str, os.PathLike)) and not (isinstance(source, str) and source == STDIN):
        path = Path(source)
        if _is_plain_file(path, name):
            yield path
            return
        with temporary_file() as copy:
            _copy(open_binary(path), copy, name)
            yield copy
        return
    with temporary_file() as copy:
        if isinstance(source, str):  # standard input
            _copy_stream(sys.stdin.buffer, copy, name)
        elif hasattr(source, "read"):
            _copy_stream(source, copy, name)
        else:
            _write_newick_strings(source, copy)
        yield copy


@contextlib.contextmanager
def native_stderr_silenced() -> Iterator[None]:
    """Sends what native code writes to file descriptor 2 to the null device for the block:
    the module reports each failure there itself, which a command that prints its own one-line
    message does not want."""
    sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:  # no standard error to silence
        yield
        return
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def load_plain(path: Path, name: str, quiet: bool = False) -> treetally.TreeSet:
    """treetally's TreeSet of the plain-text file `path`; a failure is a TreeFileError that
    names the file as `name`. With `quiet`, the module's own report on standard error is held
    back."""
    try:
        with native_stderr_silenced() if quiet else contextlib.nullcontext():
            return treetally.TreeSet(path)
    except BaseException as error:
        if not is_panic(error):
            raise
        message = str(error)
        raise TreeFileError(name, _REASONS.get(message, message)) from None


def load_trees(source: "Trees", *, quiet: bool = False) -> treetally.TreeSet:
    """The module's own TreeSet of the trees of `source` (see plain_text for what it may be;
    a TreeSet is returned as it is). Raises TreeFileError when the trees cannot be read."""
    if isinstance(source, treetally.TreeSet):
        return source
    with plain_text(source) as path:
        return load_plain(path, describe(source), quiet)


def file_size(path: Path) -> int:
    """Bytes of the file at `path`, 0 when it cannot be read."""
    try:
        return path.stat().st_size
    except OSError:
        return 0
