# The exceptions and warnings of treetally_tools: ordinary Exception subclasses, so that a
# caller's `except Exception` sees them, unlike the module's PanicException.
"""Errors and warnings raised by treetally_tools."""

from __future__ import annotations

from typing import Any, Dict, Optional, Sequence, Tuple, Type

# The engine's exceptions, made by the native code with one class per kind of failure and
# re-exported here: the package tells failures apart by these classes alone, never by their text.
from ._engine import BranchLengthError as BranchLengthError
from ._engine import EngineError as EngineError
from ._engine import FileOpenError as FileOpenError
from ._engine import FileReadError as FileReadError
from ._engine import LineTooLongError as LineTooLongError
from ._engine import SupportLabelError as SupportLabelError
from ._engine import TaxonNotFoundError as TaxonNotFoundError
from ._engine import TreeReadError as TreeReadError
from ._engine import TreeSizeError as TreeSizeError


class UsageError(ValueError):
    """Arguments that cannot be acted on: a name given twice, too few taxa, a value out of
    range. A ValueError, as before; the command ends such a failure with exit status 2 (and
    only such a failure: a ValueError of any other kind is a fault of the package)."""


class OutputError(OSError):
    """A result that cannot be written (standard output closed or full, a plot's path
    unwritable); `target` names where it was going."""

    def __init__(self, target: str, reason: str) -> None:
        super().__init__(f"cannot write {target}: {reason}")
        self.target = target
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.target, self.reason)


class TreeFileError(Exception):
    """A tree file (or stream, or list of Newick strings) that cannot be read: missing,
    unreadable, corrupt compressed data, a line that is not UTF-8, a malformed branch length.
    `line_number`: the 1-based line at fault, when the reason does not name it already."""

    def __init__(self, source: str, reason: str, line_number: Optional[int] = None) -> None:
        where = "" if line_number is None else f", on line {line_number}"
        super().__init__(f"cannot read {source}: {reason}{where}")
        self.source = source
        self.reason = reason
        self.line_number = line_number

    def __reduce__(self) -> Tuple[Any, ...]:  # rebuilt from its parts, e.g. after a Dask worker raised it
        return type(self), (self.source, self.reason, self.line_number)


class UnknownTaxonError(KeyError, UsageError):
    """A name that no tree of the file holds; `suggestions` are the closest taxa of the file.

    A KeyError, as for any failed lookup by name, but printed as a sentence; also a UsageError."""

    def __init__(self, name: str, suggestions: Sequence[str] = ()) -> None:
        hint = "; did you mean " + " or ".join(repr(s) for s in suggestions) + "?" if suggestions else ""
        self.message = f"unknown taxon {name!r}: no tree holds it{hint}"
        super().__init__(self.message)
        self.name = name
        self.suggestions = list(suggestions)

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.name, self.suggestions)


class UndefinedDistanceError(ValueError):
    """Two taxa whose quartet distance is undefined: no quartet holding both is resolved by any
    tree (no tree holds them together with two other taxa, or every such tree leaves those
    quartets unresolved), so a species tree cannot place them against each other. `pair` is
    the first such pair in the order of the taxa, `count` how many pairs there are; leaving
    out taxa that few trees hold usually helps. The command ends such a failure with exit
    status 1, as for input it cannot use."""

    def __init__(self, first: str, second: str, count: int) -> None:
        others = f" (and {count - 1:,} more pairs)" if count > 1 else ""
        super().__init__(
            f"no species tree: taxa {first!r} and {second!r} are together in no quartet that a tree "
            f"resolves, so their distance is undefined{others}; choose taxa that the trees hold together"
        )
        self.pair = (first, second)
        self.count = count

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (*self.pair, self.count)


class MissingExtraError(ImportError):
    """A feature that needs an optional package which is not installed; the message names the
    extra of treetally that installs it."""


class RepeatedTaxonWarning(UserWarning):
    """The same name given twice: treetally accepts it, but such a query is rarely meant."""


class NegativeLengthWarning(UserWarning):
    """Trees with branch lengths below zero: they are read as written, but a length below zero
    is rarely meant (`check` lists the lines). `source` and `count` are the parts."""

    def __init__(self, source: str, count: int) -> None:
        super().__init__(
            f"{source}: {count:,} branch length{'' if count == 1 else 's'} below zero; "
            "`treetally check` lists them"
        )
        self.source = source
        self.count = count

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.source, self.count)


class UnresolvedQuartetsWarning(UserWarning):
    """Most quartets of a species tree's taxa are resolved by no tree: the tree rests on the few
    that are, and may be poorly supported. `unresolved` and `quartets` are the counts."""

    def __init__(self, unresolved: int, quartets: int) -> None:
        share = unresolved / quartets if quartets else 0.0
        super().__init__(
            f"{unresolved:,} of the {quartets:,} quartets ({share:.0%}) are resolved by no tree: "
            "the species tree rests on the few that are"
        )
        self.unresolved = unresolved
        self.quartets = quartets

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.unresolved, self.quartets)


# The reasons TreeFileError gives for the engine's failures whose texts are the loader's own
# terms; the texts of the other kinds already say what is wrong and where.
_READ_REASON_OF_CLASS: Dict[Type[TreeReadError], str] = {
    FileOpenError: "the file cannot be opened",
    FileReadError: "a line is not UTF-8 text, or reading failed",
    BranchLengthError: "a branch length is not a number",
}


def read_reason(error: TreeReadError) -> str:
    """Why the engine could not read the trees, said the way a user can act on it (the reason
    of the TreeFileError that reports it)."""
    return _READ_REASON_OF_CLASS.get(type(error), str(error))


class TaxonMapError(UsageError):
    """A taxon map that cannot be used: unreadable, a line without two columns, a name mapped
    to two species, an empty species, or trees naming a taxon the map lacks. `source` names the
    map; `line_number` the 1-based line at fault, when there is one."""

    def __init__(self, source: str, reason: str, line_number: Optional[int] = None) -> None:
        where = "" if line_number is None else f", line {line_number}"
        super().__init__(f"taxon map {source}{where}: {reason}")
        self.source = source
        self.reason = reason
        self.line_number = line_number

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.source, self.reason, self.line_number)
