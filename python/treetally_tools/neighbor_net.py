# NeighborNet (Bryant and Moulton 2004): a circular ordering of the taxa built by agglomerating
# clusters of at most two nodes with the NJ-like criterion, then the weights of every split of
# that ordering fitted to the distance by non-negative least squares. numpy only; the drawing
# (matplotlib) lives in splits_drawing.py and is imported when asked for.
"""NeighborNet splits networks: circular ordering, split weights, NEXUS, JSON and a drawing."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import UsageError

if TYPE_CHECKING:
    import os

    import numpy.typing as npt

    FloatArray = npt.NDArray[np.float64]
    PathArgument = Union[str, "os.PathLike[str]"]

# Criteria within this share of the largest one count as equal, so that ties broken by the
# rule below do not depend on the order in which sums were rounded.
TIE_TOLERANCE = 1e-12
# Split weights at or below this share of the largest distance count as zero: they are what
# rounding leaves of splits the least-squares fit does not use.
ZERO_WEIGHT = 1e-12
# Distances whose asymmetry stays within this share of the largest one are taken as symmetric.
SYMMETRY_TOLERANCE = 1e-12


class Split(NamedTuple):
    """A split of the taxa: `side` holds the names on the side without the first taxon of the
    network's `order`, in `order` order; `weight` is its fitted length (above 0)."""

    side: Tuple[str, ...]
    weight: float


@dataclass(frozen=True, eq=False)
class SplitsNetwork:
    """A circular splits network fitted to a distance by NeighborNet.

    `taxa` and `distance` are as given; `order` is the circular ordering found, starting at
    taxa[0]; `splits` are the splits of that ordering with a weight above 0 (trivial splits
    included), each side an interval of `order`, listed by the position of the side's first
    taxon in `order`, then by size."""

    taxa: List[str]
    distance: "FloatArray"
    order: List[str]
    splits: List[Split]

    def fit(self) -> float:
        """The least-squares fit in percent: 100 (1 - |d - p|^2 / |d|^2), where p is the
        distance the weighted splits give (100 for a distance they give exactly)."""
        index = {name: k for k, name in enumerate(self.taxa)}
        n = len(self.taxa)
        given = (self.distance + self.distance.T) / 2
        fitted = np.zeros((n, n))
        for split in self.splits:
            inside = np.zeros(n, dtype=bool)
            inside[[index[name] for name in split.side]] = True
            fitted += split.weight * (inside[:, None] != inside[None, :])
        total = float(np.sum(np.triu(given, 1) ** 2))
        if total == 0.0:
            return 100.0
        return 100.0 * (1.0 - float(np.sum(np.triu(given - fitted, 1) ** 2)) / total)

    def nexus(self) -> str:
        """The network as a NEXUS file with TAXA, DISTANCES and SPLITS blocks, as SplitsTree
        reads them: CYCLE is `order`, each split a weight and the 1-based ids of its side."""
        n = len(self.taxa)
        index = {name: k + 1 for k, name in enumerate(self.taxa)}
        labels = [nexus_name(name) for name in self.taxa]
        lines = ["#NEXUS", "", "BEGIN taxa;", f"DIMENSIONS ntax={n};", "TAXLABELS"]
        lines += [f"[{k}] {label}" for k, label in enumerate(labels, 1)]
        lines += [";", "END; [taxa]", "", "BEGIN distances;", f"DIMENSIONS ntax={n};"]
        lines += ["FORMAT labels=left diagonal triangle=both;", "MATRIX"]
        for k, label in enumerate(labels):
            lines.append(f"[{k + 1}] {label} " + " ".join(_number(value) for value in self.distance[k]))
        lines += [";", "END; [distances]", "", "BEGIN splits;"]
        lines.append(f"DIMENSIONS ntax={n} nsplits={len(self.splits)};")
        lines.append("FORMAT labels=no weights=yes confidences=no intervals=no;")
        lines.append(f"PROPERTIES fit={self.fit():.4f} leastsquares cyclic;")
        lines.append("CYCLE " + " ".join(str(index[name]) for name in self.order) + ";")
        lines.append("MATRIX")
        for k, split in enumerate(self.splits, 1):
            ids = " ".join(str(index[name]) for name in split.side)
            lines.append(f"[{k}, size={len(split.side)}]\t{_number(split.weight)}\t{ids},")
        lines += [";", "END; [splits]", ""]
        return "\n".join(lines)

    def as_json(self) -> Dict[str, Any]:
        """The network as JSON-ready values: taxa, distance (rows of floats), splits (each the
        names of its side and its weight) and the circular order."""
        return {
            "taxa": list(self.taxa),
            "distance": [[float(value) for value in row] for row in self.distance],
            "splits": [{"split": list(split.side), "weight": split.weight} for split in self.splits],
            "order": list(self.order),
        }

    def draw(self, path: "PathArgument", *, dpi: Optional[int] = None, title: Optional[str] = None) -> None:
        """Draws the planar splits graph (equal-angle layout) with taxon labels to a .png, .pdf
        or .svg file; needs matplotlib."""
        from .splits_drawing import draw_network

        draw_network(self, path, dpi=dpi, title=title)


def nexus_name(name: str) -> str:
    """`name` as a NEXUS word: kept as it is when it is one plain token, else single-quoted
    with its quotes doubled."""
    # Underscores are quoted too: NEXUS readers turn an unquoted one into a space.
    if name and not name.isdigit() and all(char.isascii() and (char.isalnum() or char == ".") for char in name):
        return name
    return "'" + name.replace("'", "''") + "'"


def _number(value: float) -> str:
    """The shortest text that reads back as `value`, without an exponent (a NEXUS reader may
    take the '-' of 1e-05 for punctuation), -0 written as 0."""
    return str(np.format_float_positional(float(value) + 0.0, unique=True, trim="-"))


def neighbor_net(distance: Any, taxa: Sequence[str]) -> SplitsNetwork:
    """The NeighborNet splits network of `distance` (an n x n symmetric matrix of finite,
    non-negative numbers with a zero diagonal) over `taxa` (n unique names, n >= 3, in the
    matrix's row order).

    Ties in the agglomeration go to the clusters (then the nodes) holding the taxa that come
    first in `taxa`, and when two clusters of two nodes meet, the path of four is reduced from
    the end of the cluster holding the earlier taxon: so the result is the same on every run,
    but on a distance that no circular ordering fits exactly it may differ with the order of
    `taxa`. Weights at or below ZERO_WEIGHT times the largest distance count as 0.

    Raises UsageError (a ValueError) for a matrix or names that do not fit."""
    names, matrix = _checked(distance, taxa)
    order = circular_order(matrix)
    weights = split_weights(matrix, order)
    n = len(names)
    splits = []
    for s, (first, last) in enumerate(circular_splits(n)):
        if weights[s] > 0.0:
            splits.append(Split(tuple(names[order[p]] for p in range(first, last + 1)), float(weights[s])))
    return SplitsNetwork(names, matrix, [names[k] for k in order], splits)


def _checked(distance: Any, taxa: Sequence[str]) -> Tuple[List[str], "FloatArray"]:
    names: Optional[List[str]]
    try:
        names = None if isinstance(taxa, str) else list(taxa)
    except TypeError:  # not iterable
        names = None
    if names is None or not all(isinstance(name, str) for name in names):
        raise UsageError("taxa must be a sequence of names (strings)")
    repeated = sorted(name for name, count in Counter(names).items() if count > 1)
    if repeated:
        raise UsageError(f"taxa must be unique; named more than once: {', '.join(map(repr, repeated))}")
    try:
        matrix = np.array(distance, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise UsageError(f"the distance is not a matrix of numbers: {error}") from None
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise UsageError(f"the distance must be a square matrix, not of shape {matrix.shape}")
    if matrix.shape[0] != len(names):
        raise UsageError(f"the distance is {matrix.shape[0]} x {matrix.shape[0]} but {len(names)} taxa are named")
    if len(names) < 3:
        raise UsageError(f"a splits network needs at least 3 taxa, not {len(names)}")
    if not np.all(np.isfinite(matrix)):
        raise UsageError("the distance holds a value that is not finite (nan or infinity)")
    if np.any(matrix < 0):
        raise UsageError(f"the distance holds a negative value ({float(matrix.min())!r})")
    scale = float(matrix.max())
    if np.any(np.diag(matrix) != 0):
        raise UsageError("the distance of each taxon to itself must be 0")
    if np.any(np.abs(matrix - matrix.T) > SYMMETRY_TOLERANCE * scale):
        i, j = np.unravel_index(int(np.argmax(np.abs(matrix - matrix.T))), matrix.shape)
        raise UsageError(
            f"the distance is not symmetric: {names[i]!r} to {names[j]!r} is {float(matrix[i, j])!r} "
            f"but {names[j]!r} to {names[i]!r} is {float(matrix[j, i])!r}"
        )
    matrix.setflags(write=False)
    return names, matrix


# ---------------------------------------------------------------------------------------------
# The circular ordering


class _Cluster:
    """One or two nodes in a path; `taxa` are the input indices the path stands for, in path
    order, and nodes[0] / nodes[-1] are its left / right ends."""

    __slots__ = ("nodes", "taxa")

    def __init__(self, nodes: List[int], taxa: List[int]) -> None:
        self.nodes = nodes
        self.taxa = taxa

    def end_taxon(self, node: int) -> int:
        return self.taxa[0] if node == self.nodes[0] else self.taxa[-1]

    def reversed(self) -> "_Cluster":
        return _Cluster(self.nodes[::-1], self.taxa[::-1])


def _first_within(values: "FloatArray", keys: Sequence[Tuple[int, ...]]) -> int:
    """The index of the smallest value, ties (within TIE_TOLERANCE of the largest magnitude)
    going to the smallest key."""
    lowest = float(values.min())
    slack = TIE_TOLERANCE * float(np.abs(values).max())
    candidates = [k for k in range(len(keys)) if values[k] <= lowest + slack]
    return min(candidates, key=lambda k: keys[k])


def circular_order(distance: "FloatArray") -> List[int]:
    """The NeighborNet circular ordering of the rows of `distance`, as row indices starting at
    0, turned so that the neighbour of 0 with the lower index comes second.

    Each step picks the two clusters with the least Q = (m - 2) d(A, B) - R(A) - R(B) over the
    m clusters (distances between clusters are averages), then within them the two nodes with
    the least Q over the units where those two clusters are split into their nodes; the nodes
    become neighbours, and a path of three nodes is reduced to two with weights 1/3."""
    n = distance.shape[0]
    size = 3 * n
    d = np.zeros((size, size))
    d[:n, :n] = distance
    next_node = n
    clusters = [_Cluster([k], [k]) for k in range(n)]
    while len(clusters) > 1:
        m = len(clusters)
        active = [node for cluster in clusters for node in cluster.nodes]
        local = {node: k for k, node in enumerate(active)}
        share = np.zeros((m, len(active)))
        for c, cluster in enumerate(clusters):
            for node in cluster.nodes:
                share[c, local[node]] = 1.0 / len(cluster.nodes)
        between = share @ d[np.ix_(active, active)] @ share.T
        np.fill_diagonal(between, 0.0)
        totals = between.sum(axis=1)
        first, second = np.triu_indices(m, 1)
        q = (m - 2) * between[first, second] - totals[first] - totals[second]
        pick = _first_within(q, list(zip(first.tolist(), second.tolist())))
        i, j = int(first[pick]), int(second[pick])
        left, right = clusters[i], clusters[j]

        # The units: the nodes of the two clusters one by one, and every other cluster whole.
        others = [c for k, c in enumerate(clusters) if k not in (i, j)]
        members = left.nodes + right.nodes
        units = len(members) + len(others)
        def total_to(node: int) -> float:
            to_members = float(d[node, members].sum())
            return to_members + sum(float(d[node, other.nodes].mean()) for other in others)

        pairs = [(x, y) for x in left.nodes for y in right.nodes]
        q_nodes = np.array([(units - 2) * d[x, y] - total_to(x) - total_to(y) for x, y in pairs])
        keys = [(left.end_taxon(x), right.end_taxon(y)) for x, y in pairs]
        x, y = pairs[_first_within(q_nodes, keys)]

        if left.nodes[-1] != x:
            left = left.reversed()
        if right.nodes[0] != y:
            right = right.reversed()
        path = left.nodes + right.nodes
        live = [node for cluster in others for node in cluster.nodes]
        while len(path) > 2:
            u, v = next_node, next_node + 1
            next_node += 2
            _reduce(d, path[0], path[1], path[2], u, v, live + path[3:])
            path = [u, v] + path[3:]
        clusters[i] = _Cluster(path, left.taxa + right.taxa)
        del clusters[j]

    order = clusters[0].taxa
    start = order.index(0)
    order = order[start:] + order[:start]
    if n > 2 and order[-1] < order[1]:
        order = [order[0]] + order[:0:-1]
    return order


def _reduce(d: "FloatArray", x: int, y: int, z: int, u: int, v: int, others: List[int]) -> None:
    """Replaces the path x - y - z by u - v: u weighs x twice and y once, v weighs y once and z
    twice, and d(u, v) is the mean of the three distances among x, y, z."""
    d[u, others] = d[others, u] = (2 * d[x, others] + d[y, others]) / 3
    d[v, others] = d[others, v] = (d[y, others] + 2 * d[z, others]) / 3
    d[u, v] = d[v, u] = (d[x, y] + d[x, z] + d[y, z]) / 3


# ---------------------------------------------------------------------------------------------
# Split weights: non-negative least squares over the circular splits of an ordering


def circular_splits(n: int) -> List[Tuple[int, int]]:
    """The n (n - 1) / 2 splits of a circular ordering of n taxa, each as the positions
    (first, last) of the interval that leaves out position 0, in that order."""
    return [(first, last) for first in range(1, n) for last in range(first, n)]


class _Design:
    """The matrix A of pairs by circular splits, A[(p, q), s] = 1 when split s separates the
    taxa at positions p and q, applied in O(n^2) through 2-D prefix sums."""

    def __init__(self, n: int) -> None:
        self.n = n
        splits = circular_splits(n)
        self.first = np.array([s[0] for s in splits], dtype=np.intp)
        self.last = np.array([s[1] for s in splits], dtype=np.intp)
        self.p, self.q = np.triu_indices(n, 1)
        positions = np.arange(n)
        self.sides = (positions[None, :] >= self.first[:, None]) & (positions[None, :] <= self.last[:, None])

    @staticmethod
    def _prefix(table: "FloatArray") -> "FloatArray":
        out = np.zeros((table.shape[0] + 1, table.shape[1] + 1))
        out[1:, 1:] = table.cumsum(axis=0).cumsum(axis=1)
        return out

    @staticmethod
    def _block(prefix: "FloatArray", r0: Any, r1: Any, c0: Any, c1: Any) -> Any:
        """Sums of rows r0..r1 and columns c0..c1 (inclusive; empty when r1 < r0 or c1 < c0)."""
        return prefix[r1 + 1, c1 + 1] - prefix[r0, c1 + 1] - prefix[r1 + 1, c0] + prefix[r0, c0]

    def times(self, weights: "FloatArray") -> "FloatArray":
        """A w: for each pair p < q, the weight of the splits that separate them."""
        table = np.zeros((self.n, self.n))
        table[self.first, self.last] = weights
        prefix = self._prefix(table)
        p, q = self.p, self.q
        holding_p = self._block(prefix, np.zeros_like(p), p, p, q - 1)
        holding_q = self._block(prefix, p + 1, q, q, np.full_like(q, self.n - 1))
        return np.asarray(holding_p + holding_q, dtype=np.float64)

    def transposed_times(self, pairs: "FloatArray") -> "FloatArray":
        """A^T r: for each split, the sum of r over the pairs it separates."""
        table = np.zeros((self.n, self.n))
        table[self.p, self.q] = pairs
        table += table.T
        prefix = self._prefix(table)
        rows = np.concatenate(([0.0], table.sum(axis=1).cumsum()))
        f, l = self.first, self.last
        return np.asarray(rows[l + 1] - rows[f] - self._block(prefix, f, l, f, l), dtype=np.float64)

    def gram(self, chosen: "npt.NDArray[np.intp]") -> "FloatArray":
        """A^T A restricted to the splits `chosen`: the number of pairs both splits separate."""
        return self.cross_gram(chosen, chosen)

    def cross_gram(self, rows: "npt.NDArray[np.intp]", columns: "npt.NDArray[np.intp]") -> "FloatArray":
        """(A^T A)[rows, columns]: for each two splits, the number of pairs both separate."""
        left, right = self.sides[rows].astype(np.float64), self.sides[columns].astype(np.float64)
        both = left @ right.T
        a, b = left.sum(axis=1)[:, None], right.sum(axis=1)[None, :]
        return np.asarray(both * (self.n - a - b + both) + (a - both) * (b - both), dtype=np.float64)

    def exact(self, pairs: "FloatArray") -> "FloatArray":
        """A^-1 d: the weights that give the distance exactly (A is square and invertible)."""
        n = self.n
        d = np.zeros((n + 1, n + 1))
        d[self.p, self.q] = pairs
        d[:n, :n] += d[:n, :n].T
        d[n, :n] = d[0, :n]  # position n is position 0 again, closing the circle
        d[:n, n] = d[:n, 0]
        f, l = self.first, self.last
        return np.asarray((d[f - 1, l] + d[f, l + 1] - d[f, l] - d[f - 1, l + 1]) / 2, dtype=np.float64)


class _PassiveFit:
    """Least squares on the passive splits (those free to take a weight): their Gram matrix
    and its inverse, both grown and shrunk a split at a time in O(p^2) rather than solved
    afresh in O(p^3); the inverse is recomputed every REFRESH changes, and each solution is
    refined once against the Gram matrix, so that updates do not pile up rounding."""

    REFRESH = 64

    def __init__(self, design: _Design, right_side: "FloatArray") -> None:
        self.design = design
        self.right_side = right_side
        self.passive: List[int] = []
        self.gram = np.zeros((0, 0))
        self.inverse = np.zeros((0, 0))
        self.changes = 0

    def add(self, split: int) -> None:
        column = self.design.cross_gram(np.array(self.passive + [split], dtype=np.intp), np.array([split]))[:, 0]
        across, own = column[:-1], float(column[-1])
        through = self.inverse @ across
        schur = own - float(across @ through)
        self.gram = np.block([[self.gram, across[:, None]], [across[None, :], np.array([[own]])]])
        self.inverse = np.block(
            [
                [self.inverse + np.outer(through, through) / schur, -through[:, None] / schur],
                [-through[None, :] / schur, np.array([[1.0 / schur]])],
            ]
        )
        self.passive.append(split)
        self._changed()

    def remove(self, splits: Sequence[int]) -> None:
        for split in splits:
            k = self.passive.index(split)
            keep = [j for j in range(len(self.passive)) if j != k]
            pivot = self.inverse[keep, k]
            self.inverse = self.inverse[np.ix_(keep, keep)] - np.outer(pivot, pivot) / self.inverse[k, k]
            self.gram = self.gram[np.ix_(keep, keep)]
            del self.passive[k]
            self._changed()

    def _changed(self) -> None:
        self.changes += 1
        if self.changes % self.REFRESH == 0 and self.passive:
            self.inverse = np.linalg.inv(self.gram)

    def solve(self) -> "FloatArray":
        """The least-squares weights with every split outside the passive ones at 0."""
        out = np.zeros(len(self.right_side))
        if self.passive:
            wanted = self.right_side[self.passive]
            solution = self.inverse @ wanted
            out[self.passive] = solution + self.inverse @ (wanted - self.gram @ solution)
        return out


def split_weights(distance: "FloatArray", order: Sequence[int]) -> "FloatArray":
    """The non-negative least-squares weights of the circular splits of `order` (listed as
    circular_splits lists them) fitted to `distance`: the exact weights when none is negative
    (the distance is circular), else Lawson and Hanson's active-set method."""
    n = len(order)
    design = _Design(n)
    ordered = np.asarray(distance)[np.ix_(order, order)]
    ordered = (ordered + ordered.T) / 2
    target = ordered[design.p, design.q]
    scale = float(target.max()) if target.size else 0.0
    splits = len(design.first)
    small = ZERO_WEIGHT * scale
    exact = design.exact(target)
    if scale == 0.0 or exact.min() >= -small:
        exact[exact <= small] = 0.0
        return exact

    gradient_tolerance = 1e-11 * scale * n * n
    right_side = design.transposed_times(target)
    weights = np.zeros(splits)
    fit = _PassiveFit(design, right_side)
    for _ in range(10 * splits + 100):
        gradient = design.transposed_times(target - design.times(weights))
        gradient[fit.passive] = -np.inf
        entering = int(np.argmax(gradient))
        if gradient[entering] <= gradient_tolerance:
            break
        fit.add(entering)
        trial = fit.solve()
        if trial[entering] <= 0.0:  # rounding: the split cannot take a weight after all
            fit.remove([entering])
            break
        while True:
            blocking = np.array([s for s in fit.passive if trial[s] <= 0.0], dtype=np.intp)
            if not blocking.size:
                weights = trial
                break
            steps = weights[blocking] / (weights[blocking] - trial[blocking])
            weights = weights + float(steps.min()) * (trial - weights)
            weights[blocking[int(np.argmin(steps))]] = 0.0
            leaving = [s for s in fit.passive if weights[s] <= small]
            weights[leaving] = 0.0
            fit.remove(leaving)
            trial = fit.solve()
    else:
        raise RuntimeError("the least-squares fit of the split weights did not converge")
    weights[weights <= small] = 0.0
    return weights
