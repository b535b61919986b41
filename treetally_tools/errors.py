# The exceptions and warnings of treetally_tools: ordinary Exception subclasses, so that a
# caller's `except Exception` sees them, unlike the module's PanicException.
"""Errors and warnings raised by treetally_tools."""

from __future__ import annotations

from typing import Sequence


class TreeFileError(Exception):
    """A tree file (or stream, or list of Newick strings) that cannot be read: missing,
    unreadable, corrupt compressed data, a line that is not UTF-8, a malformed branch length."""

    def __init__(self, source: str, reason: str) -> None:
        super().__init__(f"cannot read {source}: {reason}")
        self.source = source
        self.reason = reason


class UnknownTaxonError(KeyError):
    """A name that no tree of the file holds; `suggestions` are the closest taxa of the file.

    A KeyError, as for any failed lookup by name, but printed as a sentence."""

    def __init__(self, name: str, suggestions: Sequence[str] = ()) -> None:
        hint = "; did you mean " + " or ".join(repr(s) for s in suggestions) + "?" if suggestions else ""
        self.message = f"unknown taxon {name!r}: no tree holds it{hint}"
        super().__init__(self.message)
        self.name = name
        self.suggestions = list(suggestions)

    def __str__(self) -> str:
        return self.message


class MissingExtraError(ImportError):
    """A feature that needs an optional package which is not installed; the message names the
    extra of treetally that installs it."""


class RepeatedTaxonWarning(UserWarning):
    """The same name given twice: treetally accepts it, but such a query is rarely meant."""


def is_panic(error: BaseException) -> bool:
    """Whether `error` is treetally's PanicException, which derives from BaseException and is no
    attribute of the module, so it is recognised by name."""
    return type(error).__name__ == "PanicException"
