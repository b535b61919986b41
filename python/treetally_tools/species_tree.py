# A species tree estimated from a quartet table: the quartet distance consensus (QDC) and its
# weighted form (WQDC). Each quartet votes for the split its gene trees favour; the votes make
# a distance between taxa that is a tree metric on the species tree, so a tree built from it
# gives back the species tree's unrooted topology as the number of gene trees grows.
"""Species-tree topology (QDC) and internal branch lengths (WQDC) from quartet counts.

QDC (Rhodes 2020, "Topological metrizations of trees, and new quartet methods of tree
inference"): for every quartet, its dominant topology ab|cd (the largest of the three counts)
adds 1 to the distance of each pair it separates, (a,c), (a,d), (b,c) and (b,d). When the
largest counts tie, each tied topology adds its share (1/2 or 1/3), so that no taxon order is
favoured. Quartets that no gene tree resolves add nothing.

WQDC (Yourdkhani and Rhodes 2020, "Inferring metric trees from weighted quartets via an
intertaxon distance"): the same, but a quartet adds its estimated internal branch length
w = -ln(3/2 (1 - CF)) in coalescent units instead of 1, CF being the dominant topology's share
of the trees that resolve the quartet. When only one topology occurs (CF = 1, w infinite), CF is
taken as count / (count + 1), as if one more tree disagreed. On a species tree with internal
lengths l, this distance is the path length in the tree whose internal edge with split A|B has
length l (|A| - 1) (|B| - 1) and whose leaf edges have length 0; dividing each internal edge of
the built tree by (|A| - 1) (|B| - 1) gives the species tree's internal lengths back. The
counts are those of resolved trees only (unresolved ones are not spread over the three).
Quartets across a very short branch weigh almost nothing in WQDC, so with few gene trees its
topology can miss such a branch where QDC finds it; take the topology from QDC when in doubt.

Taxa whose distance is undefined, because no quartet holding both is resolved by any tree,
are refused (UndefinedDistanceError); when most quartets are resolved by no tree, the tree rests
on the few that are, and an UnresolvedQuartetsWarning says so.

The engine sums the distances while it counts the quartets, on every thread, and keeps no
table: the sums are whole numbers (six times the votes; lengths in units of 2^-56), the same
whatever the threads. The tree is built from them by one of BUILDERS:

- "fastme" (the default, as the methods' own software builds it): balanced minimum evolution
  (Desper and Gascuel 2002), the tree least by Pauplin's balanced length
  sum over i < j of 2^(1 - p(i, j)) d(i, j), p(i, j) the edges between i and j, as far as a
  greedy search finds it: taxa inserted one by one in table order, each where it leaves the tree
  shortest, then the NNI and then the SPR that shortens it most, again and again, until no
  move shortens it by more than 1e-12 of its length; edge lengths by the balanced least-squares
  formulas. Equal gains go to the move met first (nodes in the order the taxa were inserted).
- "nj": neighbor joining (Saitou and Nei 1987, with Studier and Keppler's criterion
  Q(i, j) = (m - 2) d(i, j) - R(i) - R(j)). Ties in Q go to the pair met first (taxa in table
  order). Joining only halves the QDC distances, so that the choice of each pair to join is made
  without rounding.

Both recover any tree from its tree metric, and both trees' WQDC lengths are scaled back to
coalescent units alike. With few gene trees, or where the gene trees do not follow one species
tree, they may differ; "fastme" is the tree MSCquartets and the papers report.
"""

from __future__ import annotations

import math
import warnings
from array import array
from typing import TYPE_CHECKING, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from . import _engine
from ._progress import Progress
from .errors import UndefinedDistanceError, UnresolvedQuartetsWarning, UsageError
from .tables import TopologyTable, check_unresolved

if TYPE_CHECKING:
    from .sources import MappableTrees, Trees
    from .taxon_map import TaxonMapSource

_COMMA = -1  # a stack entry of newick() that writes the comma between siblings
_COLUMNS = ("t1", "t2", "t3", "t4", "count_0", "count_1", "count_2")

# How a tree is built from the distances: balanced minimum evolution (the default) or neighbor
# joining.
BUILDERS = ("fastme", "nj")


def check_builder(builder: str) -> None:
    """UsageError unless `builder` is one of BUILDERS."""
    if builder not in BUILDERS:
        raise UsageError(f"builder must be 'fastme' or 'nj', not {builder!r}")


class JoinedTree(NamedTuple):
    """An unrooted tree as the builders give it: node k < n is taxon k, every internal node's id
    exceeds its children's, and the last node is the centre (of the final three that joining
    joins; next to taxon 0 by balanced minimum evolution); parent[k] is -1 for the centre,
    length[k] the length of the edge above node k."""

    parent: List[int]
    length: List[float]


class _Distances(NamedTuple):
    """The engine's quartet distances: n * n float64 values row by row, the quartets added and
    those no tree resolves, the pairs of taxa that meet in no resolved quartet and the first."""

    values: bytes
    quartets: int
    unresolved: int
    unmet: int
    first_unmet: Optional[Tuple[int, int]]


def _column_distances(
    taxon_count: int, columns: Mapping[str, Sequence[int]], weighted: bool, unresolved: str = "drop"
) -> _Distances:
    check_unresolved(unresolved)
    # Spreading needs each row's unresolved trees; dropping ignores them.
    names = _COLUMNS + ("unresolved",) if unresolved == "third" else _COLUMNS
    if unresolved == "third" and "unresolved" not in columns:
        raise UsageError("unresolved='third' needs the columns' unresolved column, as TopologyTable.to_columns() gives it")
    rows = len(columns["t1"])
    if any(len(columns[name]) != rows for name in names):
        raise UsageError("the columns of a table have equal lengths")
    try:
        packed = tuple(array("q", columns[name]).tobytes() for name in names)
    except OverflowError:
        raise UsageError("the columns of a table hold 64-bit integers") from None
    except TypeError:
        # A table of mapped species counts shares of trees: its distances come from its trees.
        raise UsageError(
            "the columns of a table hold whole counts; for a table of mapped species (shares of trees) give"
            " species_tree its trees and taxon_map instead"
        ) from None
    try:
        return _Distances(*_engine.column_distances(taxon_count, packed, weighted, unresolved=unresolved))
    except ValueError as error:  # an index out of range, a taxon twice in a row, a negative count
        raise UsageError(f"a table's columns: {error}") from None


def _rows(values: bytes, taxon_count: int) -> List[List[float]]:
    flat = array("d")
    flat.frombytes(values)
    return [flat[k * taxon_count : (k + 1) * taxon_count].tolist() for k in range(taxon_count)]


def quartet_distances(
    taxon_count: int, columns: Mapping[str, Sequence[int]], weighted: bool = False, unresolved: str = "drop"
) -> List[List[float]]:
    """The QDC distance (six times the votes) or, `weighted`, the WQDC distance between the
    taxa of a quartet table, as a full symmetric matrix indexed like the table's taxa;
    `unresolved` as for species_tree."""
    return _rows(_column_distances(taxon_count, columns, weighted, unresolved).values, taxon_count)


def _joined(values: bytes, taxon_count: int, builder: str) -> JoinedTree:
    if taxon_count < 3:
        raise UsageError(f"a tree is joined from at least three taxa, not {taxon_count}")
    check_builder(builder)
    parent, length = _engine.distance_tree(values, taxon_count, builder)
    return JoinedTree(parent, length)


def neighbor_joining(distance: Sequence[Sequence[float]]) -> JoinedTree:
    """The neighbor-joining tree of a symmetric distance matrix of at least three taxa."""
    return distance_tree(distance, "nj")


def distance_tree(distance: Sequence[Sequence[float]], builder: str = "fastme") -> JoinedTree:
    """The tree of a symmetric distance matrix of at least three taxa by `builder`: "fastme"
    (balanced minimum evolution with NNI and SPR moves) or "nj" (neighbor joining)."""
    check_builder(builder)
    n = len(distance)
    if n < 3:
        raise UsageError(f"a tree is joined from at least three taxa, not {n}")
    if any(len(row) != n for row in distance):
        raise UsageError(f"a distance matrix of {n} taxa has {n} values in every row")
    flat = array("d", (value for row in distance for value in row))
    if not all(map(math.isfinite, flat)):
        raise UsageError("distances are finite numbers")
    return _joined(flat.tobytes(), n, builder)


def _children(tree: JoinedTree) -> List[List[int]]:
    children: List[List[int]] = [[] for _ in tree.parent]
    for child, above in enumerate(tree.parent):
        if above >= 0:
            children[above].append(child)
    return children


def leaf_counts(tree: JoinedTree, taxon_count: int) -> List[int]:
    """The number of taxa below each node (a node's id exceeds those of its children)."""
    below = [1 if node < taxon_count else 0 for node in range(len(tree.parent))]
    for node, above in enumerate(tree.parent):
        if above >= 0:
            below[above] += below[node]
    return below


def newick(tree: JoinedTree, taxa: Sequence[str], internal_lengths: bool = False) -> str:
    """The unrooted tree as Newick, its centre (last node) as the outermost node; taxon
    names verbatim (as read, they hold none of the characters that end a label). With
    `internal_lengths`, each internal edge carries its length (leaf edges none)."""
    children = _children(tree)
    centre = len(tree.parent) - 1
    parts: List[str] = []
    # Each stack entry: a node (or _COMMA), and whether its children are written already.
    stack: List[Tuple[int, bool]] = [(centre, False)]
    while stack:
        node, done = stack.pop()
        if node == _COMMA:
            parts.append(",")
        elif node < len(taxa):
            parts.append(taxa[node])
        elif not done:
            parts.append("(")
            stack.append((node, True))
            below = children[node]
            for k in range(len(below) - 1, -1, -1):
                stack.append((below[k], False))
                if k > 0:
                    stack.append((_COMMA, False))
        else:
            parts.append(")")
            if internal_lengths and node != centre:
                parts.append(f":{tree.length[node]!r}")
    return "".join(parts) + ";"


def _species_newick(taxa: Sequence[str], found: _Distances, weighted: bool, builder: str) -> str:
    """The tree `builder` builds from the distances, as Newick, refused when a pair of taxa has
    no distance and with a warning when most quartets are resolved by no tree."""
    if found.first_unmet is not None:
        i, j = found.first_unmet
        raise UndefinedDistanceError(taxa[i], taxa[j], found.unmet)
    if 2 * found.unresolved > found.quartets:
        warnings.warn(UnresolvedQuartetsWarning(found.unresolved, found.quartets), stacklevel=3)
    tree = _joined(found.values, len(taxa), builder)
    if not weighted:
        return newick(tree, taxa)
    below = leaf_counts(tree, len(taxa))
    lengths = list(tree.length)
    for node in range(len(taxa), len(lengths) - 1):
        scale = (below[node] - 1) * (len(taxa) - below[node] - 1)
        lengths[node] = max(0.0, lengths[node] / scale) if scale > 0 else 0.0
    return newick(JoinedTree(tree.parent, lengths), taxa, internal_lengths=True)


def species_tree(
    taxa: Sequence[str],
    columns: Mapping[str, Sequence[int]],
    weighted: bool = False,
    builder: str = "fastme",
    unresolved: str = "drop",
) -> str:
    """The QDC estimate of the species tree (or, `weighted`, the WQDC estimate with internal
    branch lengths in coalescent units) from a quartet table, as unrooted Newick with the names
    of `taxa`. `columns`: t1-t4 (indexes into `taxa`) and count_0-count_2, as
    TopologyTable.to_columns() gives them. `builder`: "fastme" (balanced minimum evolution, the
    default) or "nj" (neighbor joining). A WQDC length that the builder makes negative is
    written as 0.0. `unresolved`: "drop" (default) leaves out the trees that hold a quartet but
    resolve none of its topologies; "third" spreads each a third to each topology, as
    species_tree_of does, and needs the `unresolved` column (refused without it).
    UndefinedDistanceError when two taxa meet in no quartet that some tree resolves;
    UnresolvedQuartetsWarning when most quartets are resolved by no tree."""
    check_builder(builder)
    if len(taxa) < 4:
        raise UsageError(f"a species tree is estimated from quartets of at least four taxa, not {len(taxa)}")
    found = _column_distances(len(taxa), columns, weighted, unresolved)
    return _species_newick(taxa, found, weighted, builder)


def species_tree_of(
    source: "MappableTrees",
    taxa: Optional[Sequence[str]] = None,
    *,
    weighted: bool = False,
    jobs: int = 1,
    progress: Optional[bool] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    unresolved: str = "drop",
    builder: str = "fastme",
    taxon_map: Optional["TaxonMapSource"] = None,
) -> str:
    """The QDC species tree (WQDC with `weighted`, internal lengths in coalescent units) of the
    gene trees of `source` (a TreeSet or anything load_trees reads), as unrooted Newick: every
    quartet of `taxa` (default: every taxon, ordered as TopologyTable orders them) is counted
    and adds to the distances as it is counted, without keeping the table's rows: memory holds
    the pairs' rows over the trees and the distances. MemoryError, before counting, when they
    would not fit. The result is the same for any `jobs`. `unresolved`: "drop" (default) leaves
    out the trees that hold a quartet but resolve none of its topologies; "third" counts each
    as a third of a tree for each topology, so that a quartet only such trees hold votes for
    its three topologies alike, and WQDC lengths come from the spread counts. `builder`:
    "fastme" (balanced minimum evolution with NNI and SPR moves, the default) or "nj" (neighbor
    joining), checked before anything is counted. The other keywords and the errors as for
    TopologyTable and species_tree; exported by the package as species_tree."""
    check_builder(builder)
    with TopologyTable(
        source, 4, taxa, jobs=jobs, progress=progress, collapse_length=collapse_length,
        min_support=min_support, support_index=support_index, unresolved=unresolved, taxon_map=taxon_map,
    ) as table:  # fmt: skip
        meter = Progress(len(table), "quartets", progress)
        try:
            groups = table.mapped.groups_of(table.taxa) if table.mapped is not None else None
            found = _engine.quartet_distances(
                table.trees, table.taxa, weighted, jobs, meter.advance, unresolved=unresolved, groups=groups
            )
        finally:
            meter.close()
        return _species_newick(table.taxa, _Distances(*found), weighted, builder)
