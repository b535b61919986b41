# Which trees hold which taxa, as one bit per tree, so that the number of trees holding a set
# of taxa is the population count of the AND of their masks.
"""Taxon occupancy of a tree set."""

from __future__ import annotations

from typing import Callable, Dict, Sequence

import treetally


def _bin_count(mask: int) -> int:
    return bin(mask).count("1")


# int.bit_count exists from CPython 3.10 on.
popcount: Callable[[int], int] = getattr(int, "bit_count", _bin_count)


def presence_mask(trees: treetally.TreeSet, taxon: str) -> int:
    """Bit i set when tree i holds `taxon` (a taxon of the set).

    The path-length query answers None exactly when a taxon is absent from the tree, so the
    taxon repeated five times asks for it alone; presence is thus what the module's sweeps see
    (a taxon at the root of a one-node tree counts as absent there, as in the sweeps)."""
    query = (taxon, taxon, taxon, taxon, taxon)
    mask = 0
    for index, tree in enumerate(trees):
        if tree.retrieve_all_pairs_distance(query) is not None:
            mask |= 1 << index
    return mask


def presence_masks(trees: treetally.TreeSet, taxa: Sequence[str]) -> Dict[str, int]:
    """The presence mask of each of `taxa`."""
    return {taxon: presence_mask(trees, taxon) for taxon in dict.fromkeys(taxa)}


def trees_holding(masks: Dict[str, int], names: Sequence[str]) -> int:
    """How many trees hold every one of `names`."""
    mask = -1
    for name in names:
        mask &= masks[name]
    return popcount(mask) if mask >= 0 else 0
