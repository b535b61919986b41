# A tree file checked line by line before it is trusted: the module reads almost any text as
# some tree, and says nothing about a missing bracket, a second tree on one line or a taxon
# written twice. Each line is read the way the module's reader reads it, so that what is
# reported is what the tallies would see.
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
- "unbalanced brackets": a ")" with no "(" open (the reader stays at the root), a "(" never
  closed, a "[" comment never closed, or a "]" outside a comment (it becomes part of a label);
- "text after ';'": anything but spaces, tabs or carriage returns after the first ";" (the
  module ignores it: a second tree on the line is lost);
- "missing ';'": no ";" outside a comment (the module reads the line all the same; reported
  because a line cut short also lacks it);
- "no taxa": a line that is not empty but holds no leaf label;
- "repeated taxon": a taxon on two leaves of one tree (the module keeps the later leaf).
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from .errors import TreeFileError
from .sources import MAX_LINE_BYTES, binary_chunks, describe, line_too_long, open_binary, source_chunks

if TYPE_CHECKING:
    from .sources import TreeSource

# The kinds, in the order a summary lists them.
KINDS = (
    "empty line", "not UTF-8", "bad branch length", "unbalanced brackets",
    "text after ';'", "missing ';'", "no taxa", "repeated taxon",
)  # fmt: skip
# What the reader's decimal conversion accepts.
_NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))")
# A label runs up to the first of these characters, a branch length up to the first of these.
_LABEL = re.compile(r"[^),:;\[]*")
_LENGTH = re.compile(r"[^),;\[]*")
_BLANK = " \t\r"
# For surely_clean: a ":" not followed by a number (or nothing) up to the end of its length; a
# leaf label (after "(" or ",", leading spaces skipped); runs of anything but brackets and
# commas; and how many rounds of removing "()" pairs settle a line's nesting before it is walked.
_BAD_LENGTH = re.compile(r":(?!(?:%s)?(?:[),;]|$))" % _NUMBER.pattern)
_LEAF = re.compile(r"[(,] *([^ (),:;\[][^),:;\[]*)")
_NOT_STRUCTURE = re.compile(r"[^(),]+")
_BALANCE_ROUNDS = 64
_SHOWN = 40  # characters of a label or length quoted in a detail


class Problem(NamedTuple):
    """One problem of one line: its 1-based line number, its kind (one of KINDS) and a
    sentence on where and what."""

    line_number: int
    kind: str
    detail: str


def _run_end(pattern: "re.Pattern[str]", text: str, start: int) -> int:
    """Where the run of `pattern` that starts at `start` ends."""
    found = pattern.match(text, start)
    return found.end() if found else start


def _quoted(text: str) -> str:
    return repr(text if len(text) <= _SHOWN else text[:_SHOWN] + "...")


class _Line:
    """The reader's walk over one line: nodes as a parent list, each node's child count and
    final label, and the problems met."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.parent = [0]
        self.children = [0]
        self.label: Dict[int, str] = {}
        self.current = 0
        self.found: Dict[str, str] = {}

    def report(self, kind: str, detail: str) -> None:
        self.found.setdefault(kind, detail)  # the first of each kind

    def walk(self) -> Optional[int]:
        """Reads up to the first ";" outside a comment; returns its index (None without one)."""
        text, end, at, depth = self.text, len(self.text), 0, 0
        while at < end:
            char = text[at]
            if char == " ":
                at += 1
            elif char == "(":
                self.parent.append(self.current)
                self.children.append(0)
                self.children[self.current] += 1
                self.current = len(self.parent) - 1
                depth += 1
                at += 1
            elif char == ",":
                above = self.parent[self.current]
                self.parent.append(above)
                self.children.append(0)
                self.children[above] += 1
                self.current = len(self.parent) - 1
                at += 1
            elif char == ")":
                if depth == 0:
                    self.report("unbalanced brackets", f"')' at column {at + 1} closes no '('")
                depth = max(0, depth - 1)
                self.current = self.parent[self.current]
                at += 1
            elif char == ";":
                break
            elif char == "[":
                at = self._comment(at)
            elif char == ":":
                at = self._length(at + 1)
            else:
                at = self._label(at)
        if depth > 0:
            self.report("unbalanced brackets", f"{depth} '(' never closed")
        return at if at < end else None

    def _comment(self, start: int) -> int:
        text, depth, at = self.text, 0, start + 1
        while at < len(text):
            if text[at] == "[":
                depth += 1
            elif text[at] == "]":
                if depth == 0:
                    return at + 1
                depth -= 1
            at += 1
        self.report("unbalanced brackets", f"the comment opened at column {start + 1} is never closed")
        return at

    def _length(self, start: int) -> int:
        at = _run_end(_LENGTH, self.text, start)
        length = self.text[start:at]
        if length and not _NUMBER.fullmatch(length):
            where = f"the branch length {_quoted(length)} at column {start + 1}"
            self.report("bad branch length", f"{where} is not a number")
        return at

    def _label(self, start: int) -> int:
        at = _run_end(_LABEL, self.text, start)
        label = self.text[start:at]
        if "]" in label:
            where = f"the label {_quoted(label)} at column {start + 1}"
            self.report("unbalanced brackets", f"']' outside a comment, in {where}")
        elif "(" in label:
            # A "(" after a label does not open a node: it belongs to the label.
            self.report("unbalanced brackets", f"'(' inside the label {_quoted(label)} at column {start + 1}")
        if self.children[self.current] == 0:
            self.label[self.current] = label
        return at

    def taxa(self) -> List[str]:
        """The taxa of the tree: each node's last leaf label, in node order."""
        return [label for _, label in sorted(self.label.items())]


def tree_taxa(text: str) -> List[str]:
    """The taxa of one line as the module reads them, in the order of their leaves (a taxon on
    two leaves twice)."""
    line = _Line(text)
    line.walk()
    return line.taxa()


def surely_clean(text: str) -> bool:
    """Whether a line certainly has no problem, found by a few scans of the whole line instead
    of a walk over its characters: one tree that starts with "(" and ends with its only ";",
    no comments, every "(" opening a node and every ")" closing one, every branch length a
    number and leaf labels that are all different. False says only that the line needs the walk."""
    end = text.rstrip(_BLANK)
    if not (end.startswith("(") and end.endswith(";")) or text.count(";") != 1 or "[" in text or "]" in text:
        return False
    if _BAD_LENGTH.search(text):
        return False
    shape = _NOT_STRUCTURE.sub("x", end)
    if "x(" in shape or ")(" in shape:
        return False  # a "(" inside a label, or nodes with no comma between them
    brackets = shape.replace("x", "").replace(",", "")
    for _ in range(_BALANCE_ROUNDS):
        if not brackets:
            break
        inner = brackets.replace("()", "")
        if len(inner) == len(brackets):
            return False  # a ")" that closes nothing, or a "(" never closed
        brackets = inner
    else:
        return False  # too deep to settle in a few scans
    leaves = _LEAF.findall(text)
    return bool(leaves) and len(set(leaves)) == len(leaves)


def check_line(text: str, line_number: int = 1) -> List[Problem]:
    """The problems of one line (its line ending already removed), in the order of KINDS."""
    if surely_clean(text):
        return []
    return walked_problems(text, line_number)


def walked_problems(text: str, line_number: int = 1) -> List[Problem]:
    """check_line, always by walking over the line's characters as the reader does."""
    if not text.strip(_BLANK):
        return [Problem(line_number, "empty line", "the line is empty")]
    line = _Line(text)
    semicolon = line.walk()
    if semicolon is None:
        line.report("missing ';'", "no ';' ends the tree")
    elif text[semicolon + 1 :].strip(_BLANK):
        rest = _quoted(text[semicolon + 1 :].strip(_BLANK))
        line.report("text after ';'", f"{rest} follows the ';' at column {semicolon + 1} and is not read")
    taxa = line.taxa()
    if not taxa:
        line.report("no taxa", "the tree holds no taxon")
    seen: Dict[str, int] = {}
    for taxon in taxa:
        seen[taxon] = seen.get(taxon, 0) + 1
    repeated = [taxon for taxon, count in seen.items() if count > 1]
    if repeated:
        shown = ", ".join(_quoted(taxon) for taxon in repeated[:5]) + (" ..." if len(repeated) > 5 else "")
        several = f"{len(repeated)} taxa" if len(repeated) > 1 else "a taxon"
        line.report("repeated taxon", f"{several} on more than one leaf: {shown}")
    return [Problem(line_number, kind, line.found[kind]) for kind in KINDS if kind in line.found]


def _without_ending(text: str) -> str:
    if text.endswith("\n"):
        text = text[:-1]
        if text.endswith("\r"):
            text = text[:-1]
    return text


def _line_problems(line: Union[str, bytes], number: int) -> List[Problem]:
    if isinstance(line, bytes):
        try:
            line = line.decode("utf-8")
        except UnicodeDecodeError as error:
            return [Problem(number, "not UTF-8", f"byte {error.start + 1} of the line is not UTF-8 text")]
    return check_line(_without_ending(line), number)


def check_counted(lines: Iterable[Union[str, bytes]]) -> Tuple[List[Problem], int]:
    """The problems of every line of `lines`, in line order, and the number of lines read.

    `lines`: str or bytes, each with or without its line ending; a binary file object serves
    (or a text one opened with newline="", so that a lone carriage return stays in its line,
    as the module keeps it). One line at a time is held."""
    problems: List[Problem] = []
    number = 0
    for number, line in enumerate(lines, 1):
        problems.extend(_line_problems(line, number))
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
        for part in parts[:-1]:
            self._within_cap(len(part))
            line = b"".join(self._pieces) + part if self._pieces else part
            self._pieces, self._pending = [], 0
            self._check(line + b"\n")
        if parts[-1]:
            self._within_cap(len(parts[-1]))
            self._pieces.append(parts[-1])
            self._pending += len(parts[-1])

    def _within_cap(self, more: int) -> None:
        if self._pending + more > MAX_LINE_BYTES:
            raise TreeFileError(self.name, line_too_long(self.lines + 1, MAX_LINE_BYTES))

    def finish(self) -> Tuple[List[Problem], int]:
        """The problems found, in line order, and the number of lines (a last line without a
        line feed counts)."""
        if self._pieces:
            line = b"".join(self._pieces)
            self._pieces, self._pending = [], 0
            self._check(line)
        return self.problems, self.lines

    def passing(self, chunks: Iterable[bytes]) -> Iterator[bytes]:
        """`chunks` unchanged, each checked on its way (then finish())."""
        for chunk in chunks:
            self.feed(chunk)
            yield chunk
        self.finish()

    def _check(self, line: bytes) -> None:
        self.lines += 1
        self.problems.extend(_line_problems(line, self.lines))


def check_source(source: "TreeSource", checking: Optional[LineCheck] = None) -> Tuple[List[Problem], int]:
    """The problems of the lines of `source` (anything load_trees reads but a TreeSet: a path
    to plain or compressed text, "-" for standard input, a stream, Newick strings) and the
    number of lines read, found by `checking` when given. Raises TreeFileError when `source`
    cannot be read."""
    path, chunks = source_chunks(source)
    if path is not None:
        chunks = binary_chunks(open_binary(path), describe(source), False)
    if checking is None:
        checking = LineCheck(describe(source))
    for chunk in chunks:
        checking.feed(chunk)
    return checking.finish()
