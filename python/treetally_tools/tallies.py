# The module's tallies and time table for chosen names, labelled with those names: topology
# strings instead of bare codes, pair labels instead of indices, and how many trees were
# skipped for lacking a taxon or left the taxa unresolved. The engine gives the counts and the
# trees holding every name in one native pass.
"""Labelled quartet and quintet tallies and the labelled time table."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, TypedDict

from . import _engine
from ._extras import require
from .codes import (
    PAIRS,
    QUINTET_CODES,
    SHARES_END,
    TIME_TABLE_LENGTH,
    code_count,
    pair_labels,
    quintet_topology,
    topologies,
)
from .errors import UsageError
from ._row_values import values_of_columns
from .names import check_names
from .tables import check_unresolved
from .output import aligned, shown_name, text_value
from .sources import load_mapped_trees, load_trees
from .taxon_map import MappedTrees, map_refused, share_text

if TYPE_CHECKING:
    from .sources import MappableTrees, Trees
    from .taxon_map import TaxonMapSource


class TopologyRecord(TypedDict):
    code: int
    topology: str
    count: Any  # int; a float share of trees for species mapped from individuals
    fraction: float  # of the resolved trees; NaN when none is resolved


class TimeRecord(TypedDict):
    code: int
    topology: str
    share: float
    pair: str
    relative_length: float


def _whole(count: Any) -> Any:
    """A share of trees as an int when it is whole (and exactly so), else as it is."""
    if isinstance(count, float) and count.is_integer() and abs(count) < 2**53:
        return int(count)
    return count


def _share(part: float, whole: float) -> float:
    return part / whole if whole > 0 else math.nan


@dataclass(frozen=True)
class TopologyTally:
    """How many trees show each quartet or quintet topology of `names`.

    `trees` is the size of the set; of those, `lacking` lack at least one of the names and
    `unresolved` hold them all but leave them unresolved (a polytomy): neither kind counts,
    unless `spread` (a quartet's tally with unresolved="third"): then each unresolved tree adds
    a third to each topology's fraction (the counts stay whole)."""

    names: Tuple[str, ...]
    counts: Tuple[Any, ...]
    trees: int
    lacking: int
    spread: bool = False
    # Species mapped from individuals: the share of trees resolving none of the topologies
    # (the counts are then shares of trees, float).
    unresolved_share: Optional[float] = None

    @property
    def resolved(self) -> Any:
        return sum(self.counts)

    @property
    def unresolved(self) -> Any:
        if self.unresolved_share is not None:
            return self.unresolved_share
        return self.trees - self.lacking - self.resolved

    @property
    def topologies(self) -> List[str]:
        """Topology strings in the caller's names, index = code."""
        return topologies(self.names)

    @property
    def fractions(self) -> List[float]:
        """Each topology's share of the resolved trees (NaN when none is resolved); spread, of
        the trees holding the names, each unresolved one a third for each topology, as the
        engine computes a table's concordance."""
        if not self.spread or self.unresolved == 0:
            return [_share(count, self.resolved) for count in self.counts]
        columns: Dict[str, Sequence[float]] = {f"t{k + 1}": [k] for k in range(4)}
        columns.update({f"count_{code}": [count] for code, count in enumerate(self.counts)})
        columns.update(holding=[self.trees - self.lacking], unresolved=[self.unresolved])
        values = values_of_columns(
            4, columns, self.names, unresolved="third", fractional=self.unresolved_share is not None
        )
        return [float(values[f"concordance_{code}"][0]) for code in range(3)]

    def records(self) -> List[TopologyRecord]:
        """One record per code: code, topology, count, fraction (a share of trees of mapped
        species is an int when it is whole, as tables write it)."""
        return [
            TopologyRecord(code=code, topology=topology, count=_whole(count), fraction=fraction)
            for code, (topology, count, fraction) in enumerate(zip(self.topologies, self.counts, self.fractions))
        ]

    def summary(self, what: str = "tally") -> str:
        """One sentence on which trees counted, about the `what` of these names."""
        kind = "quartet" if len(self.names) == 4 else "quintet"
        shown = ", ".join(shown_name(name) for name in self.names)  # as the table below shows them
        spread = "; each counts a third for each topology" if self.spread else ""
        return (
            f"{kind} {what} for {shown}: {share_text(self.resolved)} of {self.trees} trees resolved; "
            f"{self.lacking} lack a taxon, {share_text(self.unresolved)} leave the {kind} unresolved{spread}"
        )

    def to_text(self) -> str:
        """The summary, then a table of code, topology, count and fraction."""
        shown = topologies([shown_name(name) for name in self.names])
        rows = [["code", "topology", "count", "fraction"]] + [
            [str(record["code"]), shown[record["code"]], share_text(record["count"]), text_value(record["fraction"])]
            for record in self.records()
        ]
        return self.summary() + ":\n" + aligned(rows)

    def to_dataframe(self) -> Any:
        """The records as a pandas DataFrame (needs the pandas extra)."""
        return require("pandas", "to_dataframe").DataFrame(self.records())


@dataclass(frozen=True)
class TimeBlock:
    """One quintet topology of the time table: its count and share of the classified trees and
    the relative path length of each pair of taxa in the trees that show it (the ten values
    add up to 1 when the trees have positive lengths; all 0 when no tree shows it)."""

    code: int
    topology: str
    count: int
    share: float
    pairs: Tuple[str, ...]
    relative_lengths: Tuple[float, ...]


@dataclass(frozen=True)
class TimeTable:
    """The 165 values of coalesence_times_by_topology for `names`, with the quintet tally."""

    names: Tuple[str, ...]
    values: Tuple[float, ...]
    counts: Tuple[int, ...]
    trees: int
    lacking: int

    def __post_init__(self) -> None:
        if len(self.values) != TIME_TABLE_LENGTH or len(self.counts) != QUINTET_CODES:
            raise UsageError(
                f"a time table has {TIME_TABLE_LENGTH} values and {QUINTET_CODES} counts, "
                f"not {len(self.values)} and {len(self.counts)}"
            )

    @property
    def blocks(self) -> List[TimeBlock]:
        """The fifteen labelled blocks, index = quintet code."""
        labels = tuple(pair_labels(self.names))
        width = len(PAIRS)
        return [
            TimeBlock(
                code=code,
                topology=quintet_topology(self.names, code),
                count=self.counts[code],
                share=self.values[code],
                pairs=labels,
                relative_lengths=tuple(self.values[SHARES_END + width * code : SHARES_END + width * (code + 1)]),
            )
            for code in range(QUINTET_CODES)
        ]

    def to_text(self) -> str:
        """The quintet tally's summary, then one row per quintet code: its trees, its share of
        the resolved trees and the relative path length of each pair."""
        blocks = self.blocks
        names = [shown_name(name) for name in self.names]
        header = ["code", "topology", "trees", "share"] + pair_labels(names)
        rows = [header] + [
            [str(block.code), quintet_topology(names, block.code), str(block.count), text_value(block.share)]
            + [text_value(length) for length in block.relative_lengths]
            for block in blocks
        ]
        summary = TopologyTally(self.names, self.counts, self.trees, self.lacking).summary("time table")
        return (
            f"{summary}.\nPer topology, its share of the resolved trees and the relative path length of each "
            f"pair in the trees that show it (each row of ten sums to 1 where trees have lengths):\n{aligned(rows)}"
        )

    def records(self) -> List[TimeRecord]:
        """One record per code and pair (150): code, topology, share, pair, relative_length."""
        return [
            TimeRecord(code=block.code, topology=block.topology, share=block.share, pair=pair, relative_length=length)
            for block in self.blocks
            for pair, length in zip(block.pairs, block.relative_lengths)
        ]

    def to_dataframe(self) -> Any:
        """The records as a pandas DataFrame (needs the pandas extra)."""
        return require("pandas", "to_dataframe").DataFrame(self.records())


def tally(
    trees: "MappableTrees",
    names: Sequence[str],
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    unresolved: str = "drop",
    taxon_map: Optional["TaxonMapSource"] = None,
) -> TopologyTally:
    """The quartet (four names) or quintet (five names) tally of `trees` as a TopologyTally.
    Names are checked first (UnknownTaxonError; UsageError, a ValueError, for a name given twice).
    `collapse_length`, `min_support` and `support_index` make short or weakly supported internal
    branches polytomies as the trees are read (load_trees; `trees` is then not a TreeSet).
    `unresolved` (quartets): "drop" (default) or "third", as for TopologyTable: the fractions
    then spread each unresolved tree a third to each topology.

    `taxon_map` (a path to a map file or a mapping {gene-tree name: species}; see
    read_taxon_map): `names` are species, and each tree holding an individual (or gene copy) of
    each adds one tree in all, shared among the topologies (and unresolved) as its combinations
    of one individual per species show them: the counts are then floats."""
    check_unresolved(unresolved)
    if unresolved != "drop" and len(names) != 4:
        raise UsageError("unresolved trees are spread a third to each topology of quartets only")
    loaded = load_mapped_trees(
        trees, taxon_map, collapse_length=collapse_length, min_support=min_support, support_index=support_index
    )
    code_count(len(names))
    if isinstance(loaded, MappedTrees):
        species = check_names(loaded.taxa(), names)
        shares, unresolved_share, held = _engine.mapped_tally(loaded.trees, loaded.groups_of(species))
        count = len(loaded)
        return TopologyTally(
            species, tuple(shares), count, count - held, unresolved == "third", unresolved_share
        )
    tree_set = loaded
    checked = check_names(tree_set.taxa(), names)
    counts, holding = _engine.tally(tree_set, checked)
    return TopologyTally(checked, tuple(counts), len(tree_set), len(tree_set) - holding, unresolved == "third")


def quartet_tally(
    trees: "MappableTrees",
    names: Sequence[str],
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    unresolved: str = "drop",
    taxon_map: Optional["TaxonMapSource"] = None,
) -> TopologyTally:
    """The labelled tally of the three quartet topologies of four names (keywords: tally)."""
    if len(names) != 4:
        raise UsageError(f"a quartet has 4 names, not {len(names)}")
    return tally(
        trees,
        names,
        collapse_length=collapse_length,
        min_support=min_support,
        support_index=support_index,
        unresolved=unresolved,
        taxon_map=taxon_map,
    )


def quintet_tally(
    trees: "MappableTrees",
    names: Sequence[str],
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> TopologyTally:
    """The labelled tally of the fifteen quintet topologies of five names (keywords: tally)."""
    if len(names) != 5:
        raise UsageError(f"a quintet has 5 names, not {len(names)}")
    return tally(
        trees,
        names,
        collapse_length=collapse_length,
        min_support=min_support,
        support_index=support_index,
        taxon_map=taxon_map,
    )


def time_table(
    trees: "MappableTrees",
    names: Sequence[str],
    *,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
) -> TimeTable:
    """coalesence_times_by_topology of five names as a labelled TimeTable: one native pass
    gives the counts, the trees holding all five and the path-length sums, which are
    normalised by the function the module's own time table uses. The keywords as for tally:
    a contracted branch's length is gone from every path through it."""
    if len(names) != 5:
        raise UsageError(f"the time table takes 5 names, not {len(names)}")
    if isinstance(trees, MappedTrees):
        raise map_refused("times")
    tree_set = load_trees(
        trees, collapse_length=collapse_length, min_support=min_support, support_index=support_index
    )
    checked = check_names(tree_set.taxa(), names)
    quintet = (checked[0], checked[1], checked[2], checked[3], checked[4])
    _, _, counts, holding, sums = _engine.topology_path_sums(tree_set, quintet)
    values = _engine.time_table(counts, sums)
    return TimeTable(checked, tuple(values), tuple(counts), len(tree_set), len(tree_set) - holding)
