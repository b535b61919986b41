# Checks of taxon names before a query reaches the module, which would stop with a bare
# "Taxon not found" (a BaseException) and answers a query that names a taxon twice with counts
# that mean nothing.
"""Check taxon names against the taxa of a tree set."""

from __future__ import annotations

import difflib
from typing import Dict, List, Sequence, Tuple

from .errors import UnknownTaxonError, UsageError


def close_matches(name: str, taxa: Sequence[str]) -> List[str]:
    """Up to three taxa that `name` may have meant: the same name in other case or with
    spaces for underscores first, then the most similar spellings."""
    folded = name.casefold().replace(" ", "_")
    same = [taxon for taxon in taxa if taxon.casefold().replace(" ", "_") == folded]
    similar = difflib.get_close_matches(name, list(taxa), n=3, cutoff=0.6)
    return (same + [taxon for taxon in similar if taxon not in same])[:3]


def check_names(taxa: Sequence[str], names: Sequence[str]) -> Tuple[str, ...]:
    """`names` as a tuple, after checking each against `taxa` (the taxa of the trees).

    Raises UnknownTaxonError for the first name that no tree holds, with close matches, and
    ValueError when a name is given more than once: the module accepts such a query, but its
    slots then stand for fewer taxa than the codes assume."""
    known = set(taxa)
    for name in names:
        if name not in known:
            raise UnknownTaxonError(name, close_matches(name, taxa))
    repeated = repeated_names(names)
    if repeated:
        raise UsageError(f"taxon given more than once: {', '.join(repeated)}; name each taxon once")
    return tuple(names)


def repeated_names(names: Sequence[str]) -> List[str]:
    """The names that occur more than once, each once, in order of first occurrence."""
    seen: Dict[str, int] = {}
    for name in names:
        seen[name] = seen.get(name, 0) + 1
    return [name for name, count in seen.items() if count > 1]
