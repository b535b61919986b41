# Results written as text with aligned columns, as CSV or as JSON, the three formats of the
# command line; tables are written row by row, so that millions of rows need no memory.
"""Text, CSV and JSON writers for records and tables."""

from __future__ import annotations

import itertools
import json
import math
from typing import IO, Any, Iterable, List, Sequence

FORMATS = ("text", "csv", "json")
# Names past this many characters are shortened in aligned text, the last character an
# ellipsis: a name of megabytes (a file that is no tree file) would otherwise be padded on every
# line. CSV and JSON keep every name whole.
MAX_NAME_WIDTH = 60
ELLIPSIS = "\u2026"
# What makes a CSV cell quoted: the separator, the quote, the line ends, and NUL (which the csv
# module of one Python quotes, of another writes bare, of a third refuses).
_CSV_SPECIAL = ',"\r\n\0'


def printable(text: str) -> str:
    """`text` as a terminal shows it safely: every character that is not printable (control
    characters such as ESC or CR, format characters such as a right-to-left override, tabs and
    line breaks) written as its Python escape, \\x1b, \\r, \\u202e; the rest unchanged."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else char.encode("unicode_escape").decode("ascii") for char in text)


def shown_name(name: str) -> str:
    """`name` as aligned text shows it: printable, and at most MAX_NAME_WIDTH characters long,
    ending in an ellipsis (\u2026) where it was cut."""
    head = printable(name[: MAX_NAME_WIDTH + 1])  # escaping only lengthens it
    return head if len(head) <= MAX_NAME_WIDTH else head[: MAX_NAME_WIDTH - 1] + ELLIPSIS


def encodable(text: str, stream: Any) -> str:
    """`text` as `stream` can take it: unchanged when its encoding holds every character (or it
    has none, as a StringIO); otherwise each character it lacks written as its Python escape
    (\u20ac), as Python writes standard error, rather than failing the whole write."""
    encoding = getattr(stream, "encoding", None)
    if not encoding or text.isascii():
        return text
    try:
        text.encode(encoding, getattr(stream, "errors", None) or "strict")
    except UnicodeEncodeError:
        return text.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        return text
    return text


def csv_cell(text: str) -> str:
    """`text` as one CSV cell: quoted, with its quotes doubled, when it holds a comma, a quote,
    a carriage return, a line feed or NUL, so that every reader gives the text back."""
    if any(special in text for special in _CSV_SPECIAL):
        return '"' + text.replace('"', '""') + '"'
    return text


def _csv_text(value: Any) -> str:
    """A value as a CSV cell: text quoted as needed, floats in full precision (repr), NaN and
    None empty."""
    if isinstance(value, str):
        return csv_cell(value)
    if value is None or value != value:  # NaN != NaN
        return ""
    return str(value)


def text_value(value: Any, digits: int = 3) -> str:
    """A cell of a text table: floats with `digits` decimals (NaN as "-"), the rest as str."""
    if isinstance(value, float):
        return "-" if math.isnan(value) else f"{value:.{digits}f}"
    return str(value)


def p_value_text(value: float) -> str:
    """A p-value in three significant digits (NaN as "-")."""
    return "-" if math.isnan(value) else f"{value:.3g}"


def aligned(rows: Sequence[Sequence[str]]) -> str:
    """Rows of cells as text, each column padded to its widest cell."""
    rows = [[printable(cell) for cell in row] for row in rows]
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    return "\n".join(aligned_line(row, widths) for row in rows)


def aligned_line(cells: Sequence[str], widths: Sequence[int]) -> str:
    """Cells padded to `widths` (control characters escaped, see printable)."""
    return "  ".join(printable(cell).ljust(width) for cell, width in zip(cells, widths)).rstrip()


def json_ready(value: Any) -> Any:
    """`value` with NaN and infinities replaced by None, which JSON can hold."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(item) for item in value]
    return value


def write_json_list(stream: IO[str], records: Iterable[Any], ready: bool = False) -> None:
    """A JSON list of `records`, one per line, written as they come; `ready` when they hold no
    NaN or infinity already."""
    stream.write("[")
    separator = "\n"
    for record in records:
        stream.write(separator + json.dumps(record if ready else json_ready(record), allow_nan=False))
        separator = ",\n"
    stream.write("\n]\n" if separator != "\n" else "]\n")


def write_json(stream: IO[str], value: Any) -> None:
    json.dump(json_ready(value), stream, indent=1, allow_nan=False)
    stream.write("\n")


def write_csv(stream: IO[str], columns: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
    """A header of `columns`, then each row, each line ended by a line feed; a cell is quoted
    as csv_cell says (a name holding a carriage return among them), floats in full precision,
    NaN as an empty cell. Written here rather than by the csv module, whose quoting differs
    from one Python to the next."""
    for row in itertools.chain([columns], rows):
        cells = [_csv_text(value) for value in row]
        stream.write(('""' if cells == [""] else ",".join(cells)) + "\n")


def write_records(stream: IO[str], form: str, columns: Sequence[str], records: Sequence[Any], digits: int = 3) -> None:
    """Flat dict records in `form`; text aligns the columns."""
    rows: List[List[Any]] = [[record[column] for column in columns] for record in records]
    if form == "json":
        write_json_list(stream, records)
    elif form == "csv":
        write_csv(stream, columns, rows)
    else:
        stream.write(aligned([list(columns)] + [[text_value(value, digits) for value in row] for row in rows]) + "\n")
