# What a species tree says about each row of a quartet table, beside what the gene trees say:
# the species quartet and its internal branch, the concordance the multispecies coalescent
# expects, and the topology the gene trees favour with the branch length that implies.
"""Species-tree columns of a quartet table.

For each row (four taxa in slot order and the counts of codes 0-2):

- `species_code`: the species tree's quartet code on the row's taxa (-1 when the species
  tree leaves them unresolved);
- `species_length`: the internal branch of that species quartet, four-point from path lengths:
  (d(a,c) + d(b,d) - d(a,b) - d(c,d)) / 2 for the split ab|cd (NaN when unresolved); the leaf
  branches cancel, so a species tree with internal lengths only serves;
- `expected_concordance`: 1 - 2/3 e^(-t) for that length t (coalescent units);
- `dominant_code`: the code of the largest count; among tied largest counts the lowest code
  (-1 when no gene tree resolves the quartet);
- `dominant_is_species`: 1 when the dominant code is the species code, else 0;
- `estimated_length`: -ln(3/2 (1 - CF)) for the dominant topology's concordance CF =
  count / resolved, the internal length that makes CF the expected concordance: infinite at
  CF = 1, NaN when CF <= 1/3 (the three counts equal) or no gene tree resolves the quartet.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy

from . import _engine
from ._row_values import values_of_columns
from .codes import QUARTET_SPLITS
from .errors import UsageError
from .sources import load_trees

if TYPE_CHECKING:
    import treetally

    from .sources import Trees

NAN = float("nan")
# The output columns in order, and those that need branch lengths.
COLUMNS = (
    "species_code", "species_length", "expected_concordance",
    "dominant_code", "dominant_is_species", "estimated_length",
)  # fmt: skip
LENGTH_COLUMNS = ("species_length", "expected_concordance")
_GIVEN = ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2")
_NAMED = 8  # missing taxa named in an error before "and N more"


def dominant_code(counts: Sequence[int]) -> int:
    """The code of the largest count, the lowest code among tied largest counts; -1 when every
    count is 0."""
    return _engine.dominant(_three(counts))[0]


def estimated_length(counts: Sequence[int]) -> float:
    """-ln(3/2 (1 - CF)) for the dominant topology's concordance CF = max count / resolved:
    infinite when only one topology occurs, NaN when CF <= 1/3 or nothing is resolved."""
    return _engine.dominant(_three(counts))[1]


def _three(counts: Sequence[int]) -> Tuple[int, int, int]:
    if len(counts) != 3:
        raise UsageError(f"a quartet has three counts, not {len(counts)}")
    return int(counts[0]), int(counts[1]), int(counts[2])


class SpeciesRow(NamedTuple):
    """The species-tree columns of one quartet (module docstring)."""

    species_code: int
    species_length: float
    expected_concordance: float
    dominant_code: int
    dominant_is_species: bool
    estimated_length: float


class SpeciesTree:
    """The first tree of `source` (anything load_trees reads: a path, a list holding one
    Newick string, a TreeSet), asked about quartets of its taxa. Branch lengths are taken as
    coalescent units; the reader counts a missing length as 0."""

    def __init__(self, source: "Trees") -> None:
        trees = load_trees(source, quiet=True)
        if len(trees) == 0:
            raise UsageError("the species tree file holds no tree")
        self.trees: "treetally.TreeSet" = trees
        self.tree: "treetally.SingleTree" = trees[0]
        self.taxa: Tuple[str, ...] = tuple(trees.taxa())
        self._known = frozenset(self.taxa)
        self._distances: Dict[Tuple[str, str], float] = {}
        self._has_lengths: Optional[bool] = None

    def check_taxa(self, names: Sequence[str]) -> None:
        """Raises ValueError naming every one of `names` that the species tree lacks."""
        missing = [name for name in dict.fromkeys(names) if name not in self._known]
        if missing:
            shown = ", ".join(repr(name) for name in missing[:_NAMED])
            more = f" and {len(missing) - _NAMED} more" if len(missing) > _NAMED else ""
            raise UsageError(f"the species tree lacks {len(missing)} of the taxa: {shown}{more}")

    def has_lengths(self) -> bool:
        """Whether any branch between two of its taxa has a length other than 0 (a tree
        written without lengths has none)."""
        if self._has_lengths is None:
            first = self.taxa[0] if self.taxa else ""
            self._has_lengths = any(self.distance(first, other) != 0.0 for other in self.taxa[1:])
        return self._has_lengths

    def require_lengths(self) -> None:
        """Raises ValueError when the species tree has no branch lengths."""
        if not self.has_lengths():
            raise UsageError(
                "the species tree has no branch lengths; give its internal branches in coalescent units"
            )

    def distance(self, first: str, second: str) -> float:
        """The path length between two taxa of the tree (cached)."""
        key = (first, second) if first <= second else (second, first)
        found = self._distances.get(key)
        if found is None:
            # The query takes five names; repeating the first keeps pair 0-1 the one asked for.
            lengths = self.tree.retrieve_all_pairs_distance((key[0], key[1], key[0], key[0], key[0]))
            found = NAN if lengths is None else lengths[0]
            self._distances[key] = found
        return found

    def code(self, names: Tuple[str, str, str, str]) -> int:
        """The species tree's quartet code on `names`, -1 when it leaves them unresolved."""
        found = self.tree.retrieve_quartet_type(names)
        return -1 if found is None else found

    def internal_length(self, names: Sequence[str], code: int) -> float:
        """The four-point internal length of the quartet `code` on `names` (NaN for -1)."""
        if code < 0:
            return NAN
        (a, b), (c, d) = QUARTET_SPLITS[code]
        distance = self.distance
        return (
            distance(names[a], names[c]) + distance(names[b], names[d])
            - distance(names[a], names[b]) - distance(names[c], names[d])
        ) / 2.0  # fmt: skip

    def row(self, names: Sequence[str], counts: Sequence[int]) -> SpeciesRow:
        """The species-tree columns of one quartet: `names` its four taxa in slot order,
        `counts` its gene-tree counts of codes 0-2. Needs branch lengths."""
        self.check_taxa(names)
        self.require_lengths()
        # The engine's columns of a one-row table: the same values as every table's rows.
        columns = {f"t{k + 1}": [k] for k in range(4)}
        columns.update((f"count_{code}", [count]) for code, count in enumerate(_three(counts)))
        values = values_of_columns(4, columns, tuple(names[:4]), self.trees)
        return SpeciesRow(*(values[name][0].item() for name in COLUMNS))


def species_columns(
    species: Union["Trees", SpeciesTree],
    taxa: Sequence[str],
    columns: Mapping[str, Sequence[int]],
    *,
    lengths: bool = True,
    species_codes: Optional[Sequence[int]] = None,
) -> Dict[str, Any]:
    """The species-tree columns (module docstring) of every row of a quartet table, as arrays
    of equal length (numpy): species_code and dominant_code as int64, dominant_is_species as
    bool, the rest as float64, computed by the engine as a table's rows have them.

    `species`: a SpeciesTree or anything load_trees reads. `taxa`: the table's taxa;
    `columns`: at least t1-t4 (indexes into `taxa`) and count_0-count_2, as
    TopologyTable.to_columns() gives them. Without `lengths`, species_length and
    expected_concordance are left out, and a species tree without branch lengths serves.
    `species_codes`: accepted for callers that pass it; the engine finds the codes itself.
    Raises ValueError when the species tree lacks a taxon of the rows (naming them) or, with
    `lengths`, has no branch lengths."""
    tree = species if isinstance(species, SpeciesTree) else SpeciesTree(species)
    slots = [columns[f"t{k + 1}"] for k in range(4)]
    counts = [columns[f"count_{code}"] for code in range(3)]
    rows = len(slots[0])
    if any(len(column) != rows for column in slots + counts) or (
        species_codes is not None and len(species_codes) != rows
    ):
        raise UsageError("the columns of a table have equal lengths")
    used = sorted(set().union(*(set(numpy.asarray(column).tolist()) for column in slots)))
    if used and (used[0] < 0 or used[-1] >= len(taxa)):
        raise UsageError("a taxon index of the columns lies outside the taxa")
    tree.check_taxa([taxa[int(index)] for index in used])
    if lengths:
        tree.require_lengths()
    # The engine computes the columns as a table's rows have them.
    values = values_of_columns(4, {name: columns[name] for name in _GIVEN}, taxa, tree.trees)
    return {name: values[name] for name in COLUMNS if lengths or name not in LENGTH_COLUMNS}
