# A tree file checked line by line before it is trusted: the module reads almost any text as
# some tree, and says nothing about a missing bracket, a second tree on one line or a taxon
# written twice. The engine's reader finds the problems as it reads each line, with the very
# grammar the loads use, so that what is reported is what the tallies would see; this module
# only hands lines to it and presents what it found.
"""Problems in a file of Newick trees, one tree per line.

Each line is read as the module reads it: spaces outside labels are skipped; a label runs up to
the first ")" "," ":" ";" "[" (spaces, tabs, quotes and "(" belong to it); a label after ")"
names an internal node and is no taxon; [comments] are skipped and nest; everything after the
first ";" outside a comment is ignored; a line ending (LF, or CR LF) is not part of the line.

The kinds of problem, one Problem per kind and line at most:

- "empty line": nothing but spaces, tabs or carriage returns (the module reads a tree
  without taxa);
- "not UTF-8": a line given as bytes that does not decode (the module refuses the file);
- "bad branch length": a length after ":" that is not a number (the module refuses the file);
  a number is an optional sign, digits with an optional point and an optional exponent, or
  inf, infinity or nan in any case, with no spaces;
- "negative branch length": a branch written with a length below zero (the module reads it
  as written; the commands that load trees warn with their number); the length after the
  root's ")" is no branch and is not judged;
- "unbalanced brackets": a ")" with no "(" open (the reader stays at the root), a "(" never
  closed, a "[" comment never closed, or a "]" outside a comment (it becomes part of a label);
- "text after ';'": anything but spaces, tabs or carriage returns after the first ";" (the
  module ignores it: a second tree on the line is lost);
- "missing ';'": no ";" outside a comment (the module reads the line all the same; reported
  because a line cut short also lacks it);
- "no taxa": a line that is not empty but holds no leaf label;
- "repeated taxon": a taxon on two leaves of one tree (the module keeps the later leaf).

A line longer than MAX_LINE_BYTES is no problem of its line: the check stops with a
TreeFileError naming it, as the loader refuses it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _engine
from . import sources as _sources
from .errors import TreeFileError
from .sources import MAX_LINE_BYTES, describe, line_too_long, read_source

if TYPE_CHECKING:
    import treetally

    from .sources import TreeSource

# The kinds, in the order a summary lists them (and the engine reports a line's problems).
KINDS = (
    "empty line", "not UTF-8", "bad branch length", "negative branch length", "unbalanced brackets",
    "text after ';'", "missing ';'", "no taxa", "repeated taxon",
)  # fmt: skip
# Lines handed to the engine at a time by check_counted: few calls, little held.
_BATCH_LINES = 4096


class Problem(NamedTuple):
    """One problem of one line: its 1-based line number, its kind (one of KINDS) and a
    sentence on where and what."""

    line_number: int
    kind: str
    detail: str


def _problems(found: Iterable[Tuple[int, str, str]]) -> List[Problem]:
    return [Problem(*problem) for problem in found]


def _encoded(line: Union[str, bytes]) -> bytes:
    # A lone surrogate stays in the bytes, where the engine finds it is not UTF-8.
    return line if isinstance(line, bytes) else line.encode("utf-8", "surrogatepass")


def tree_taxa(text: str) -> List[str]:
    """The taxa of one line as the module reads them, in the order of their leaves (a taxon on
    two leaves twice)."""
    return _engine.tree_taxa(_encoded(text))


def check_line(text: str, line_number: int = 1) -> List[Problem]:
    """The problems of one line (its line ending already removed), in the order of KINDS."""
    return _problems(_engine.check_lines([_encoded(text)], line_number))


def surely_clean(text: str) -> bool:
    """Whether a line has no problem at all (check_line finds none)."""
    return not check_line(text)


def walked_problems(text: str, line_number: int = 1) -> List[Problem]:
    """check_line (the reader walks over every line)."""
    return check_line(text, line_number)


def check_counted(lines: Iterable[Union[str, bytes]]) -> Tuple[List[Problem], int]:
    """The problems of every line of `lines`, in line order, and the number of lines read.

    `lines`: str or bytes, each with or without its line ending; a binary file object serves
    (or a text one opened with newline="", so that a lone carriage return stays in its line,
    as the module keeps it). A few thousand lines at a time are held."""
    problems: List[Problem] = []
    batch: List[bytes] = []
    number = 0
    for number, line in enumerate(lines, 1):
        batch.append(_encoded(line))
        if len(batch) == _BATCH_LINES:
            problems.extend(_problems(_engine.check_lines(batch, number - len(batch) + 1)))
            batch = []
    if batch:
        problems.extend(_problems(_engine.check_lines(batch, number - len(batch) + 1)))
    return problems, number


def check_lines(lines: Iterable[Union[str, bytes]]) -> List[Problem]:
    """The problems of every line of `lines`, in line order (check_counted)."""
    return check_counted(lines)[0]


def summary(problems: Sequence[Problem], lines: int) -> str:
    """One line on `problems` found in `lines` lines: how many lines have a problem, by kind."""
    checked = f"{lines} line{'' if lines == 1 else 's'} checked"
    if not problems:
        return f"{checked}: no problems"
    affected = len({problem.line_number for problem in problems})
    by_kind: Dict[str, int] = {}
    for problem in problems:
        by_kind[problem.kind] = by_kind.get(problem.kind, 0) + 1
    kinds = ", ".join(f"{by_kind[kind]} {kind}" for kind in KINDS if kind in by_kind)
    return f"{checked}: {affected} with problems ({kinds})"


class LineCheck:
    """The problems of a file whose bytes come in chunks, line by line as they come (a line
    split across chunks is joined first): feed() each chunk, then finish(). A line longer than
    MAX_LINE_BYTES is a TreeFileError naming `name` and the line, as the loader refuses it."""

    def __init__(self, name: str = "the input") -> None:
        self.problems: List[Problem] = []
        self.lines = 0
        self.name = name
        self._pieces: List[bytes] = []  # the start of a line not ended yet
        self._pending = 0  # bytes in _pieces

    def feed(self, chunk: bytes) -> None:
        parts = chunk.split(b"\n")
        complete: List[bytes] = []  # the chunk's whole lines, checked together
        try:
            for part in parts[:-1]:
                self._within_cap(len(part), len(complete))
                complete.append(b"".join(self._pieces) + part if self._pieces else part)
                self._pieces, self._pending = [], 0
            if parts[-1]:
                self._within_cap(len(parts[-1]), len(complete))
                self._pieces.append(parts[-1])
                self._pending += len(parts[-1])
        finally:
            self._check(complete)  # those before a line past the cap too, as the loader reads them

    def _within_cap(self, more: int, ahead: int) -> None:
        # `ahead`: whole lines of the chunk not counted yet, all before this one.
        if self._pending + more > MAX_LINE_BYTES:
            raise TreeFileError(self.name, line_too_long(self.lines + ahead + 1, MAX_LINE_BYTES))

    def finish(self) -> Tuple[List[Problem], int]:
        """The problems found, in line order, and the number of lines (a last line without a
        line feed counts)."""
        if self._pieces:
            line = b"".join(self._pieces)
            self._pieces, self._pending = [], 0
            self._check([line])
        return self.problems, self.lines

    def passing(self, chunks: Iterable[bytes]) -> Iterator[bytes]:
        """`chunks` unchanged, each checked on its way (then finish())."""
        for chunk in chunks:
            self.feed(chunk)
            yield chunk
        self.finish()

    def _check(self, lines: List[bytes]) -> None:
        if lines:
            self.problems.extend(_problems(_engine.check_lines(lines, self.lines + 1)))
            self.lines += len(lines)


def check_source(source: "TreeSource", checking: Optional[LineCheck] = None) -> Tuple[List[Problem], int]:
    """The problems of the lines of `source` (anything load_trees reads but a TreeSet: a path
    to plain or compressed text, "-" for standard input, a stream, Newick strings) and the
    number of lines read, found by `checking` when given (fed the bytes), else by the engine in
    one reading of the source. Raises TreeFileError when `source` cannot be read."""
    if checking is not None:
        descriptor, chunks = _sources.source_chunks(source)
        if descriptor is not None:
            chunks = _sources.binary_chunks(open(descriptor, "rb"), describe(source), False)
        for chunk in chunks:
            checking.feed(chunk)
        return checking.finish()
    found, lines = read_source(source, lambda path: _engine.check_file(path, max_line_bytes=MAX_LINE_BYTES))
    return _problems(found), lines


def load_checked(source: "TreeSource") -> Tuple["treetally.TreeSet", List[Problem], int]:
    """The TreeSet of `source` (as load_trees loads it) with the problems of its lines and the
    number of lines, found in the same reading. Raises TreeFileError when `source` cannot be
    loaded, as load_trees does."""
    trees, found, lines = read_source(
        source, lambda path: _engine.load_checked(path, max_line_bytes=_sources.MAX_LINE_BYTES)
    )
    return trees, _problems(found), lines
