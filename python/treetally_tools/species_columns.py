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

With unresolved="third", `dominant_code`, `dominant_is_species` and `estimated_length` are
those of the counts with each unresolved tree spread a third to each topology, as a table
made with unresolved="third" has them.
"""

from __future__ import annotations

import math
import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy

from . import _engine
from ._row_values import values_of_columns
from .codes import QUARTET_SPLITS
from .errors import NegativeLengthWarning, UsageError
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


def _spread_column(unresolved: str, given: bool) -> bool:
    """Whether the rows' unresolved trees are passed to the engine: UsageError for a mode other
    than "drop" or "third", and for "third" when the rows lack them."""
    from .tables import check_unresolved  # tables imports this module

    check_unresolved(unresolved)
    if unresolved == "third" and not given:
        raise UsageError("unresolved='third' needs each row's unresolved trees (the unresolved column)")
    return unresolved == "third"


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


def species_source(source: "Trees") -> "Trees":
    """What load_trees reads for a species tree given as `source`: a str that starts with "("
    (after white space) is Newick text, whatever its length, and so is one that ends with ";"
    and names no file; any other str is a path; anything else is passed on as it is. An empty
    or blank str is refused (UsageError)."""
    if not isinstance(source, str):
        return source
    text = source.strip()
    if not text:
        raise UsageError("the species tree is empty: give a file or a Newick tree")
    if text.startswith("(") or (text.endswith(";") and not os.path.exists(source)):
        return [text]
    return source


def _listed(names: Sequence[str]) -> str:
    """Up to _NAMED names, quoted, and how many more there are."""
    shown = ", ".join(repr(name) for name in names[:_NAMED])
    return shown + (f" and {len(names) - _NAMED} more" if len(names) > _NAMED else "")


class SpeciesTree:
    """The first tree of `source`, asked about quartets of its taxa: anything load_trees
    reads (a path, a list holding one Newick string, a TreeSet), or a str of Newick text
    (species_source tells it from a path). Branch lengths are taken as coalescent units; the
    reader counts a missing length as 0. `taxa` are those of the first tree, in file order:
    the rows asked about must hold no other."""

    def __init__(self, source: "Trees") -> None:
        # The lengths that matter here are judged below, by the branch that holds them; a
        # negative leaf length cancels out, so the gene trees' warning would only mislead.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", NegativeLengthWarning)
            trees = load_trees(species_source(source))
        if len(trees) == 0:
            raise UsageError("the species tree file holds no tree")
        self.trees: "treetally.TreeSet" = trees
        self.tree: "treetally.SingleTree" = trees[0]
        parents, lengths, node_taxa = _engine.tree_nodes(trees, 0)
        present = {taxon for taxon in node_taxa if taxon >= 0}
        file_taxa = trees.taxa()
        self.taxa: Tuple[str, ...] = tuple(name for taxon, name in enumerate(file_taxa) if taxon in present)
        self._known = frozenset(self.taxa)
        self._nodes = (parents, lengths, [file_taxa[taxon] if taxon >= 0 else None for taxon in node_taxa])
        self._distances: Dict[Tuple[str, str], float] = {}
        self._has_lengths: Optional[bool] = None
        self._branch_problem: Optional[str] = None
        self._branches_checked = False

    def check_taxa(self, names: Sequence[str]) -> None:
        """Raises ValueError naming every one of `names` that the species tree (its first tree,
        when its file holds several) lacks."""
        missing = [name for name in dict.fromkeys(names) if name not in self._known]
        if missing:
            which = "the species tree (the first tree of its file)" if len(self.trees) > 1 else "the species tree"
            raise UsageError(f"{which} lacks {len(missing)} of the taxa: {_listed(missing)}")

    def has_lengths(self) -> bool:
        """Whether any branch between two of its taxa has a length other than 0 (a tree
        written without lengths has none)."""
        if self._has_lengths is None:
            first = self.taxa[0] if self.taxa else ""
            self._has_lengths = any(self.distance(first, other) != 0.0 for other in self.taxa[1:])
        return self._has_lengths

    def require_lengths(self) -> None:
        """Raises ValueError when the species tree has no branch lengths, or a branch between
        its taxa whose length the columns cannot use: an internal branch of negative length, or
        any branch whose length is not finite (a leaf's negative length cancels out)."""
        if not self.has_lengths():
            raise UsageError(
                "the species tree has no branch lengths; give its internal branches in coalescent units"
            )
        problem = self.branch_problem()
        if problem is not None:
            raise UsageError(
                f"the species tree has {problem}: its branches need finite lengths, and those of internal "
                "branches (coalescent units) must not be negative"
            )

    def branch_problem(self) -> Optional[str]:
        """The first branch between two taxa of the tree (in preorder) whose length is not
        finite, or negative above an internal node, said in words (its length and the taxa
        below it); None when every such branch serves."""
        if self._branches_checked:
            return self._branch_problem
        parents, lengths, names = self._nodes
        # Preorder: a node's descendants follow it, so its taxa below are counted from the
        # last node back, and a node's subtree is the run of nodes up to its size.
        below = [1 if name is not None else 0 for name in names]
        size = [1] * len(parents)
        has_children = [False] * len(parents)
        for node in range(len(parents) - 1, 0, -1):
            below[parents[node]] += below[node]
            size[parents[node]] += size[node]
            has_children[parents[node]] = True
        for node in range(1, len(parents)):
            length = lengths[node]
            if not 0 < below[node] < below[0]:
                continue  # on no path between two taxa
            finite = math.isfinite(length)
            if finite and (length >= 0 or not has_children[node]):
                continue
            taxa = [name for name in names[node : node + size[node]] if name is not None]
            where = f"above {_listed(taxa)}" if has_children[node] else f"of {taxa[0]!r}"
            kind = "an internal branch" if has_children[node] else "a leaf branch"
            quality = "negative" if finite else "not finite"
            self._branch_problem = f"{kind} {where} whose length {length:g} is {quality}"
            break
        self._branches_checked = True
        return self._branch_problem

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

    def row(
        self,
        names: Sequence[str],
        counts: Sequence[int],
        unresolved: str = "drop",
        unresolved_trees: Optional[int] = None,
    ) -> SpeciesRow:
        """The species-tree columns of one quartet: `names` its four taxa in slot order,
        `counts` its gene-tree counts of codes 0-2. `unresolved`: "drop" (default) or "third",
        which spreads `unresolved_trees` (the trees holding the quartet that resolve none of
        its topologies; required) a third to each topology. Needs branch lengths."""
        spread = _spread_column(unresolved, unresolved_trees is not None)
        self.check_taxa(names)
        self.require_lengths()
        # The engine's columns of a one-row table: the same values as every table's rows.
        columns = {f"t{k + 1}": [k] for k in range(4)}
        columns.update((f"count_{code}", [count]) for code, count in enumerate(_three(counts)))
        if spread:
            columns["unresolved"] = [int(unresolved_trees or 0)]
        values = values_of_columns(4, columns, tuple(names[:4]), self.trees, unresolved=unresolved)
        return SpeciesRow(*(values[name][0].item() for name in COLUMNS))


def species_columns(
    species: Union["Trees", SpeciesTree],
    taxa: Sequence[str],
    columns: Mapping[str, Sequence[int]],
    *,
    lengths: bool = True,
    species_codes: Optional[Sequence[int]] = None,
    unresolved: str = "drop",
) -> Dict[str, Any]:
    """The species-tree columns (module docstring) of every row of a quartet table, as arrays
    of equal length (numpy): species_code and dominant_code as int64, dominant_is_species as
    bool, the rest as float64, computed by the engine as a table's rows have them.

    `species`: a SpeciesTree or anything load_trees reads. `taxa`: the table's taxa;
    `columns`: at least t1-t4 (indexes into `taxa`) and count_0-count_2, as
    TopologyTable.to_columns() gives them. Without `lengths`, species_length and
    expected_concordance are left out, and a species tree without branch lengths serves.
    `species_codes`: accepted for callers that pass it; the engine finds the codes itself.
    `unresolved`: "drop" (default) or "third", which spreads each row's unresolved trees (the
    `unresolved` column, refused without it) a third to each topology, as TopologyTable does.
    Raises ValueError when the species tree lacks a taxon of the rows (naming them) or, with
    `lengths`, has no branch lengths."""
    given = _GIVEN + ("unresolved",) if _spread_column(unresolved, "unresolved" in columns) else _GIVEN
    tree = species if isinstance(species, SpeciesTree) else SpeciesTree(species)
    slots = [columns[f"t{k + 1}"] for k in range(4)]
    counts = [columns[name] for name in given[4:]]
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
    values = values_of_columns(4, {name: columns[name] for name in given}, taxa, tree.trees, unresolved=unresolved)
    return {name: values[name] for name in COLUMNS if lengths or name not in LENGTH_COLUMNS}
