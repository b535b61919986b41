# A species tree estimated from a quartet table: the quartet distance consensus (QDC) and its
# weighted form (WQDC). Each quartet votes for the split its gene trees favour; the votes make
# a distance between taxa that is a tree metric on the species tree, so neighbor joining on it
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
the joined tree by (|A| - 1) (|B| - 1) gives the species tree's internal lengths back. The
counts are those of resolved trees only (unresolved ones are not spread over the three).
Quartets across a very short branch weigh almost nothing in WQDC, so with few gene trees its
topology can miss such a branch where QDC finds it; take the topology from QDC when in doubt.

The tree is built by neighbor joining (Saitou and Nei 1987, with Studier and Keppler's
criterion Q(i, j) = (m - 2) d(i, j) - R(i) - R(j)), which recovers any tree from its tree metric;
the papers' own software defaults to balanced minimum evolution, which is consistent as well.
Ties in Q go to the pair met first (taxa in table order). The QDC distances are kept as whole
numbers (six times the votes) and joining only halves them, so that the choice of each pair to
join is made without rounding.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from .codes import QUARTET_SPLITS
from .errors import UsageError
from .species_columns import estimated_length
from .tables import TopologyTable

if TYPE_CHECKING:
    from .sources import Trees

# Six times a vote: a topology tied with one or two others gets 3 or 2, a whole number.
_VOTE = 6.0
_COMMA = -1  # a stack entry of newick() that writes the comma between siblings


class JoinedTree(NamedTuple):
    """An unrooted tree as neighbor joining builds it: node k < n is taxon k, the last node is
    the centre of the final three; parent[k] is -1 for the centre, length[k] the length of the
    edge above node k."""

    parent: List[int]
    length: List[float]


def quartet_distances(
    taxon_count: int, columns: Mapping[str, Sequence[int]], weighted: bool = False
) -> List[List[float]]:
    """The QDC distance (six times the votes) or, `weighted`, the WQDC distance between the
    taxa of a quartet table, as a full symmetric matrix indexed like the table's taxa."""
    slots = [columns[f"t{k + 1}"] for k in range(4)]
    counts = [columns[f"count_{code}"] for code in range(3)]
    rows = len(slots[0])
    if any(len(column) != rows for column in slots + counts):
        raise UsageError("the columns of a table have equal lengths")
    distance = [[0.0] * taxon_count for _ in range(taxon_count)]
    for row in range(rows):
        row_counts = (int(counts[0][row]), int(counts[1][row]), int(counts[2][row]))
        best = max(row_counts)
        if best <= 0:
            continue
        tied = [code for code in range(3) if row_counts[code] == best]
        if weighted:
            resolved = sum(row_counts)
            vote = estimated_length((best, resolved - best + 1, 0) if best == resolved else row_counts)
            if not vote > 0.0:  # three equal counts: no length, and NaN adds nothing
                continue
            vote /= len(tied)
        else:
            vote = _VOTE / len(tied)
        index = (int(slots[0][row]), int(slots[1][row]), int(slots[2][row]), int(slots[3][row]))
        for code in tied:
            (a, b), (c, d) = QUARTET_SPLITS[code]
            for x, y in ((a, c), (a, d), (b, c), (b, d)):
                i, j = index[x], index[y]
                distance[i][j] += vote
                distance[j][i] += vote
    return distance


def neighbor_joining(distance: Sequence[Sequence[float]]) -> JoinedTree:
    """The neighbor-joining tree of a symmetric distance matrix of at least three taxa."""
    n = len(distance)
    if n < 3:
        raise UsageError(f"a tree is joined from at least three taxa, not {n}")
    d = [list(map(float, row)) for row in distance]  # rows by position; a joined node takes i's
    node = list(range(n))  # node at each position still active
    active = list(range(n))
    parent = [-1] * (2 * n - 2)
    length = [0.0] * (2 * n - 2)
    totals = [sum(d[i][k] for k in active if k != i) for i in range(n)]
    next_node = n
    while len(active) > 3:
        m = len(active)
        best, best_i, best_j = math.inf, -1, -1
        for a, i in enumerate(active):
            row, total_i = d[i], totals[i]
            for j in active[a + 1 :]:
                q = (m - 2) * row[j] - total_i - totals[j]
                if q < best:
                    best, best_i, best_j = q, i, j
        i, j = best_i, best_j
        d_ij = d[i][j]
        to_i = d_ij / 2.0 + (totals[i] - totals[j]) / (2.0 * (m - 2))
        for position, side in ((i, to_i), (j, d_ij - to_i)):
            parent[node[position]] = next_node
            length[node[position]] = side
        active.remove(j)
        totals[i] = 0.0
        for k in active:
            if k == i:
                continue
            joined = (d[i][k] + d[j][k] - d_ij) / 2.0
            totals[k] += joined - d[i][k] - d[j][k]
            d[i][k] = d[k][i] = joined
            totals[i] += joined
        node[i] = next_node
        next_node += 1
    x, y, z = active
    centre = next_node
    for first, second, third in ((x, y, z), (y, x, z), (z, x, y)):
        parent[node[first]] = centre
        length[node[first]] = (d[first][second] + d[first][third] - d[second][third]) / 2.0
    return JoinedTree(parent[: centre + 1], length[: centre + 1])


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
    """The unrooted tree as Newick, the centre of the final join as the outermost node; taxon
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


def species_tree(taxa: Sequence[str], columns: Mapping[str, Sequence[int]], weighted: bool = False) -> str:
    """The QDC estimate of the species tree (or, `weighted`, the WQDC estimate with internal
    branch lengths in coalescent units) from a quartet table, as unrooted Newick with the names
    of `taxa`. `columns`: t1-t4 (indexes into `taxa`) and count_0-count_2, as
    TopologyTable.to_columns() gives them. A WQDC length that joining makes negative is
    written as 0.0."""
    if len(taxa) < 4:
        raise UsageError(f"a species tree is estimated from quartets of at least four taxa, not {len(taxa)}")
    tree = neighbor_joining(quartet_distances(len(taxa), columns, weighted))
    if not weighted:
        return newick(tree, taxa)
    below = leaf_counts(tree, len(taxa))
    lengths = list(tree.length)
    for node in range(len(taxa), len(lengths) - 1):
        scale = (below[node] - 1) * (len(taxa) - below[node] - 1)
        lengths[node] = max(0.0, lengths[node] / scale) if scale > 0 else 0.0
    return newick(JoinedTree(tree.parent, lengths), taxa, internal_lengths=True)


def species_tree_of(
    source: "Trees",
    taxa: Optional[Sequence[str]] = None,
    *,
    weighted: bool = False,
    jobs: int = 1,
    progress: Optional[bool] = None,
    quiet: bool = False,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
) -> str:
    """The QDC species tree (WQDC with `weighted`, internal lengths in coalescent units) of the
    gene trees of `source` (a TreeSet or anything load_trees reads), as unrooted Newick: the
    quartet table of `taxa` (default: every taxon) is counted and fed to species_tree. The
    other keywords as for TopologyTable; exported by the package as species_tree."""
    with TopologyTable(
        source, 4, taxa, jobs=jobs, progress=progress, quiet=quiet, collapse_length=collapse_length,
        min_support=min_support,
    ) as table:  # fmt: skip
        return species_tree(table.taxa, table.to_columns(), weighted)
