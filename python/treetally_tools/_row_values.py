# Every per-row value of a table is computed by the engine (row_values.cpp); this module turns
# the engine's column buffers into numpy arrays without copying them, and asks the engine for
# the values of rows given as counts (a single row, or columns a caller built).
"""The engine's per-row values as numpy arrays."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Sequence

import numpy

from . import _engine
from .codes import QUARTET_CODES, QUINTET_CODES

# Columns of whole numbers (int64) and of flags (bool); every other column holds float64.
_INTEGER_COLUMNS = frozenset(
    ["t1", "t2", "t3", "t4", "t5", "holding", "unresolved", "species_code", "dominant_code"]
    + [f"count_{code}" for code in range(QUINTET_CODES)]
)
FLAG_COLUMNS = ("dominant_is_species",)


def is_share_column(name: str) -> bool:
    """Whether `name` counts trees in shares (float64) in a table of mapped species."""
    return name == "unresolved" or name.startswith("count_")


def dtype_of(name: str, fractional: bool = False) -> Any:
    """The numpy type of the engine's column `name`; `fractional`: of a table of species mapped
    from individuals, whose counts and unresolved are shares of trees."""
    if name in FLAG_COLUMNS:
        return numpy.bool_
    if fractional and is_share_column(name):
        return numpy.float64
    return numpy.int64 if name in _INTEGER_COLUMNS else numpy.float64


def arrays_of(block: Mapping[str, Any], fractional: bool = False) -> Dict[str, "numpy.ndarray[Any, Any]"]:
    """The engine's columns (bytearray) as numpy arrays sharing their memory, in its order."""
    return {name: numpy.frombuffer(data, dtype=dtype_of(name, fractional)) for name, data in block.items()}


def _int64_bytes(values: Sequence[float], dtype: Any = numpy.int64) -> bytes:
    return numpy.ascontiguousarray(numpy.asarray(values, dtype=dtype)).tobytes()


def values_of_columns(
    size: int,
    columns: Mapping[str, Sequence[float]],
    taxa: Sequence[str],
    species: Optional[Any] = None,
    unresolved: str = "drop",
    fractional: bool = False,
) -> Dict[str, "numpy.ndarray[Any, Any]"]:
    """Every value of the rows given as columns t1.. (indexes into `taxa`) and count_0..
    (holding and unresolved when given), computed by the engine as a table computes them;
    `species`: a one-tree TreeSet whose columns are added (quartets); `unresolved`: as for
    TopologyTable; `fractional`: the counts and unresolved are shares of trees (float64)."""
    names = [f"t{k + 1}" for k in range(size)] + [f"count_{code}" for code in range(QUARTET_CODES if size == 4 else QUINTET_CODES)]
    given = {
        name: _int64_bytes(columns[name], numpy.float64 if fractional and is_share_column(name) else numpy.int64)
        for name in names + ["holding", "unresolved"]
        if name in columns
    }
    values = _engine.row_values(size, given, tuple(taxa), species, unresolved=unresolved, fractional=fractional)
    return arrays_of(values, fractional)


def values_of_counts(counts: Sequence[Sequence[float]]) -> Dict[str, "numpy.ndarray[Any, Any]"]:
    """The shares and (quartets) tests of rows given by their counts alone (float counts are
    shares of trees, as a table of mapped species holds)."""
    size = 4 if len(counts[0]) == 3 else 5
    fractional = any(isinstance(count, float) for row in counts for count in row)
    columns: Dict[str, Sequence[float]] = {f"t{k + 1}": [0] * len(counts) for k in range(size)}
    for code in range(len(counts[0])):
        columns[f"count_{code}"] = [row[code] for row in counts]
    return values_of_columns(size, columns, ("",), fractional=fractional)
