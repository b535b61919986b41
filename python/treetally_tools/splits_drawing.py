# The planar splits graph of a circular split system, laid out by equal angles. Each split of
# the ordering is a chord of a disk between the two gaps of the circle that bound its side;
# the graph's nodes are the faces of that chord arrangement and its edges cross one chord each,
# so every split becomes a band of parallel edges of its weight's length, and the taxa sit on
# the outer face in their circular order.
"""Drawing of a NeighborNet splits network (needs the plot extra)."""

from __future__ import annotations

import math
from fractions import Fraction
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ._extras import require
from .plots import DEFAULT_DPI, _figure, save

if TYPE_CHECKING:
    import os

    import numpy.typing as npt

    from .neighbor_net import SplitsNetwork

    PathArgument = Union[str, "os.PathLike[str]"]


def _gap_point(gap: int) -> Tuple[int, int]:
    """The gap's place on a convex curve, in integers so that the order of crossings along a
    chord is found exactly; x^3 + x keeps three chords from meeting in a point in all but rare
    cases (which are then ordered by split)."""
    return gap, gap**3 + gap


def _cross(ax: int, ay: int, bx: int, by: int) -> int:
    return ax * by - ay * bx


def splits_graph(
    n: int, intervals: Sequence[Tuple[int, int]]
) -> Tuple["npt.NDArray[np.bool_]", List[Tuple[int, int, int]], List[int]]:
    """The splits graph of the circular splits `intervals` (first, last positions of the side
    without position 0) over n taxa: each node's sides (nodes x splits, True on the side of the
    interval), the edges (node, node, split) and the node of each position."""
    count = len(intervals)
    chords = [(first, last + 1) for first, last in intervals]  # gaps; gap n is gap 0
    sides: Dict[bytes, int] = {}
    rows: List["npt.NDArray[np.bool_]"] = []
    edges: List[Tuple[int, int, int]] = []

    def node(vector: "npt.NDArray[np.bool_]") -> int:
        key = np.packbits(vector).tobytes()
        if key not in sides:
            sides[key] = len(rows)
            rows.append(vector.copy())
        return sides[key]

    starts = np.array([c[0] for c in chords], dtype=np.intp)
    ends = np.array([c[1] for c in chords], dtype=np.intp)
    for s, (a, b) in enumerate(chords):
        # Sides of the point of chord s just inside the disk at its gap a.
        vector = (starts < a) & (a < ends)
        vector |= (starts == a) & (ends > b)  # a longer chord from gap a holds chord s inside it
        crossing = np.flatnonzero(((starts > a) & (starts < b) & (ends > b)) | ((starts < a) & (ends > a) & (ends < b)))
        ax, ay = _gap_point(a)
        bx, by = _gap_point(b % n)
        along = []
        for t in crossing.tolist():
            cx, cy = _gap_point(int(starts[t]))
            dx, dy = _gap_point(int(ends[t]) % n)
            share = Fraction(
                _cross(cx - ax, cy - ay, dx - cx, dy - cy), _cross(bx - ax, by - ay, dx - cx, dy - cy)
            )
            along.append((share, t))
        along.sort()
        for t in [None] + [t for _, t in along]:
            if t is not None:
                vector[t] = not vector[t]
            vector[s] = False
            outside = node(vector)
            vector[s] = True
            edges.append((outside, node(vector), s))
            vector[s] = False
    first = np.array([c[0] for c in intervals], dtype=np.intp)
    last = np.array([c[1] for c in intervals], dtype=np.intp)
    taxa = [node((first <= p) & (p <= last)) for p in range(n)]
    table = np.array(rows, dtype=bool).reshape(len(rows), count)
    return table, edges, taxa


def layout(
    n: int, intervals: Sequence[Tuple[int, int]], weights: Sequence[float]
) -> Tuple["npt.NDArray[np.float64]", List[Tuple[int, int, int]], List[int]]:
    """Node coordinates by equal angles: taxa spread evenly round the circle, each split
    pointing to the middle of its side's arc with its weight as length."""
    table, edges, taxa = splits_graph(n, intervals)
    angles = np.array([math.pi * (first + last) / n for first, last in intervals])
    directions = np.stack([np.cos(angles), np.sin(angles)], axis=1) * np.asarray(weights, dtype=np.float64)[:, None]
    coordinates = table.astype(np.float64) @ directions.reshape(len(intervals), 2)
    return coordinates, edges, taxa


def draw_network(
    network: "SplitsNetwork", path: "PathArgument", *, dpi: Optional[int] = None, title: Optional[str] = None
) -> None:
    """Writes the splits graph of `network` to `path` (.png, .pdf or .svg)."""
    n = len(network.order)
    position = {name: p for p, name in enumerate(network.order)}
    intervals = [(position[split.side[0]], position[split.side[-1]]) for split in network.splits]
    coordinates, edges, taxa = layout(n, intervals, [split.weight for split in network.splits])
    figure = _figure(7, 7)
    collections = require("matplotlib.collections", "plotting")
    axes = figure.add_subplot(1, 1, 1)
    segments = [(coordinates[u], coordinates[v]) for u, v, _ in edges]
    axes.add_collection(collections.LineCollection(segments, colors="0.2", linewidths=0.8))
    span = float(np.ptp(coordinates, axis=0).max()) if len(coordinates) > 1 else 0.0
    span = span if span > 0 else 1.0
    for p, name in enumerate(network.order):
        angle = 2 * math.pi * p / n
        x, y = coordinates[taxa[p]]
        axes.plot([x], [y], marker="o", markersize=2.5, color="0.2")
        cos, sin = math.cos(angle), math.sin(angle)
        axes.annotate(
            name,
            (x, y),
            xytext=(6 * cos, 6 * sin),
            textcoords="offset points",
            ha="left" if cos > 0.3 else "right" if cos < -0.3 else "center",
            va="bottom" if sin > 0.3 else "top" if sin < -0.3 else "center",
            fontsize=8,
        )
    low = coordinates.min(axis=0) - 0.15 * span
    high = coordinates.max(axis=0) + 0.15 * span
    axes.set_xlim(low[0], high[0])
    axes.set_ylim(low[1], high[1])
    axes.set_aspect("equal")
    axes.set_axis_off()
    scale = 10 ** math.floor(math.log10(span / 5))
    axes.plot([low[0] + 0.05 * span, low[0] + 0.05 * span + scale], [low[1] + 0.05 * span] * 2, color="0.2")
    axes.annotate(f"{scale:g}", (low[0] + 0.05 * span + scale / 2, low[1] + 0.05 * span), xytext=(0, 3),
                  textcoords="offset points", ha="center", va="bottom", fontsize=7)
    if title is not None:
        axes.set_title(title)
    figure.tight_layout()
    save(figure, path, DEFAULT_DPI if dpi is None else dpi)
