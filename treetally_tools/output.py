# Results written as text with aligned columns, as CSV or as JSON, the three formats of the
# command line; tables are written row by row, so that millions of rows need no memory.
"""Text, CSV and JSON writers for records and tables."""

from __future__ import annotations

import csv
import io
import itertools
import json
import math
from typing import IO, Any, Iterable, List, Sequence

FORMATS = ("text", "csv", "json")


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
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    return "\n".join(aligned_line(row, widths) for row in rows)


def aligned_line(cells: Sequence[str], widths: Sequence[int]) -> str:
    return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()


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
    """A header of `columns`, then each row, each line ended by a line feed.

    A cell holding a comma, a quote, a carriage return or a line feed is quoted. The csv module
    quotes only the characters of its line terminator, so a name holding a lone carriage return
    would end its line for a reader when the terminator is a line feed: the rows are written
    with CRLF, which quotes both, and the line ends are then made line feeds."""
    line = io.StringIO()
    writer = csv.writer(line, lineterminator="\r\n")
    for row in itertools.chain([columns], rows):
        # The csv module writes floats in full precision (repr); a NaN becomes an empty cell.
        writer.writerow(["" if value != value else value for value in row])
        stream.write(line.getvalue()[:-2] + "\n")
        line.seek(0)
        line.truncate()


def write_records(stream: IO[str], form: str, columns: Sequence[str], records: Sequence[Any], digits: int = 3) -> None:
    """Flat dict records in `form`; text aligns the columns."""
    rows: List[List[Any]] = [[record[column] for column in columns] for record in records]
    if form == "json":
        write_json_list(stream, records)
    elif form == "csv":
        write_csv(stream, columns, rows)
    else:
        stream.write(aligned([list(columns)] + [[text_value(value, digits) for value in row] for row in rows]) + "\n")
