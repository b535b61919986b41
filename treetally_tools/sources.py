# Where trees come from: a path to plain or compressed text, a binary or text stream (standard
# input among them) or a list of Newick strings, turned into the plain-text file that treetally
# reads, with any temporary copy removed afterwards.
"""Open gene trees from files, compressed files, streams or Newick strings."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import lzma
import os
import shutil
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

# Leading bytes of each compressed format -> its name and the opener that decompresses it.
_FORMATS: Dict[bytes, Tuple[str, Callable[[Path], IO[bytes]]]] = {
    b"\x1f\x8b": ("gzip", lambda path: cast(IO[bytes], gzip.open(path, "rb"))),
    b"BZh": ("bzip2", lambda path: cast(IO[bytes], bz2.open(path, "rb"))),
    b"\xfd7zXZ\x00": ("xz", lambda path: cast(IO[bytes], lzma.open(path, "rb"))),
}
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
def _temporary_file() -> Iterator[Path]:
    """A fresh empty file, removed when the block ends."""
    handle, name = tempfile.mkstemp(prefix="treetally-", suffix=".tre")
    os.close(handle)
    try:
        yield Path(name)
    finally:
        with contextlib.suppress(OSError):
            os.remove(name)


def _leading_bytes(path: Path, name: str) -> bytes:
    try:
        with open(path, "rb") as source:
            return source.read(8)
    except OSError as error:
        raise TreeFileError(name, error.strerror or str(error)) from None


def open_binary(path: Union[str, "os.PathLike[str]"]) -> IO[bytes]:
    """The file at `path` opened for reading bytes, decompressed on the fly when it is gzip,
    bzip2 or xz data (recognised by its leading bytes, whatever its name)."""
    path = Path(path)
    prefix = _leading_bytes(path, str(path))
    for magic, (_, opener) in _FORMATS.items():
        if prefix.startswith(magic):
            return opener(path)
    return open(path, "rb")


def _copy(reader: IO[bytes], target: Path, name: str) -> None:
    try:
        with open(target, "wb") as out:
            shutil.copyfileobj(reader, out, _CHUNK)
    except _CORRUPT as error:
        raise TreeFileError(name, f"the compressed data is damaged ({error})") from None


@contextlib.contextmanager
def _plain_path(path: Path, name: str) -> Iterator[Path]:
    """`path` itself when it holds plain text, else a decompressed temporary copy."""
    if compression_of(_leading_bytes(path, name)) is None:
        yield path
        return
    with _temporary_file() as plain:
        with open_binary(path) as reader:
            _copy(reader, plain, name)
        yield plain


def _copy_stream(stream: Any, target: Path, name: str) -> None:
    """Copies a binary or text stream (text is written as UTF-8) into `target`."""
    try:
        with open(target, "wb") as out:
            while True:
                chunk = stream.read(_CHUNK)
                if not chunk:
                    break
                out.write(chunk.encode("utf-8") if isinstance(chunk, str) else chunk)
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
        with _plain_path(Path(source), name) as path:
            yield path
        return
    with _temporary_file() as copy:
        if isinstance(source, str):  # standard input
            _copy_stream(sys.stdin.buffer, copy, name)
        elif hasattr(source, "read"):
            _copy_stream(source, copy, name)
        else:
            _write_newick_strings(source, copy)
        with _plain_path(copy, name) as path:
            yield path


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
