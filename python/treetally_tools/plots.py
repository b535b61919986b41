# Figures of the three kinds of result: quartet concordance against the multispecies-coalescent
# expectation, the quintet frequencies, and the time table. Each is a matplotlib Figure made
# without pyplot (no display, no global state), saved to PNG, PDF or SVG by the file's suffix.
"""Plots of quartet concordance, quintet frequencies and the time table (needs the plot extra)."""

from __future__ import annotations

import contextlib
import math
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, List, Mapping, Optional, Sequence, Tuple, Union, cast

from ._extras import require
from .adjust import ADJUSTMENT_NAMES, adjust_p_values
from ._row_values import values_of_counts
from .coalescent import SpeciesQuartet
from .errors import OutputError, UsageError

if TYPE_CHECKING:
    import os

    from .tallies import TimeTable, TopologyTally

    PathArgument = Union[str, "os.PathLike[str]"]

DEFAULT_DPI = 200
# The finest resolution a plot is drawn at (what print asks for at most), and the most pixels
# of a raster (half a gigabyte as RGBA): a figure past either is refused before it is drawn,
# instead of failing for memory, or taking all of it, half-way through.
MAX_DPI = 1200
MAX_PIXELS = 1 << 27
FORMATS = (".png", ".pdf", ".svg")


def _figure(width: float, height: float) -> Any:
    figure_module = require("matplotlib.figure", "plotting")
    return figure_module.Figure(figsize=(width, height))


def _numpy() -> Any:
    """numpy, which matplotlib brings; matplotlib is asked for first, so that a missing plot
    extra is reported as such."""
    require("matplotlib", "plotting")
    return require("numpy", "plotting")


def check_dpi(dpi: float) -> None:
    """Raises UsageError unless `dpi` is a number above 0 and at most MAX_DPI."""
    if isinstance(dpi, bool) or not isinstance(dpi, (int, float)) or not 0 < dpi <= MAX_DPI:
        raise UsageError(f"a plot is drawn at above 0 and at most {MAX_DPI} dpi, not {dpi!r}")


def save(figure: Any, path: "PathArgument", dpi: int = DEFAULT_DPI) -> Path:
    """Writes `figure` to `path` in the format its suffix names (.png, .pdf or .svg).

    Raises UsageError for another suffix, a `dpi` out of range (check_dpi) or a raster of more
    than MAX_PIXELS; OutputError when the file cannot be written; MemoryError naming the plot
    when drawing it runs out of memory."""
    target = Path(path)
    if target.suffix.lower() not in FORMATS:
        raise UsageError(f"plots are written as {', '.join(FORMATS)}; {target.name!r} has another suffix")
    check_dpi(dpi)
    width, height = (round(inches * dpi) for inches in figure.get_size_inches())
    if width * height > MAX_PIXELS:
        raise UsageError(f"a plot of {width} x {height} pixels at {dpi} dpi is too large: give a lower dpi")
    existed = target.exists()
    try:
        figure.savefig(target, dpi=dpi)
    except BaseException as error:
        if not existed:  # a plot cut short (or interrupted) leaves no partial file behind
            with contextlib.suppress(OSError):
                target.unlink()
        if isinstance(error, MemoryError):
            raise MemoryError(f"not enough memory to draw {target} ({width} x {height} pixels at {dpi} dpi)") from None
        if isinstance(error, OSError):
            raise OutputError(str(target), error.strerror or str(error)) from None
        raise
    return target


def _finish(figure: Any, path: Optional["PathArgument"], dpi: int) -> Any:
    figure.tight_layout()
    if path is not None:
        save(figure, path, dpi)
    return figure


# The informative range of an internal branch: beyond 3 coalescent units the expected
# concordance exceeds 0.97 and barely changes.
CONCORDANCE_X_MAX = 3.0
_SPECIES_COLOUR, _OTHER_COLOUR = "tab:blue", "tab:orange"


def plot_quartet_concordance(
    quartets: Sequence[SpeciesQuartet],
    path: Optional["PathArgument"] = None,
    *,
    dpi: int = DEFAULT_DPI,
    title: Optional[str] = None,
    x_max: float = CONCORDANCE_X_MAX,
    alpha: float = 0.5,
    label_discordant: int = 0,
) -> Any:
    """Share of gene trees showing each species-tree quartet (with two standard errors)
    against the length of its internal branch, beside the coalescent expectation 1 - 2/3 e^-t;
    the two other topologies against 1/3 e^-t. `quartets` from compare_with_species_tree.

    The x-axis runs from 0 to `x_max` coalescent units; a quartet whose branch is longer (or
    infinite) is drawn at `x_max` with a triangle (one made negative by rounding at 0). Points are drawn with transparency `alpha`;
    `label_discordant` names that many quartets whose observed share departs furthest from
    the expectation, in standard errors. Returns the Figure; with `path`, also writes it."""
    numpy = _numpy()
    shown = [q for q in quartets if q.resolved > 0 and not math.isnan(q.internal_length)]
    if not shown:
        raise UsageError("no species-tree quartet is resolved in any gene tree: nothing to plot")
    if not x_max > 0:
        raise UsageError(f"x_max is a length above 0, not {x_max}")
    length = numpy.array([q.internal_length for q in shown], dtype=float)
    clipped = length > x_max
    x = numpy.clip(length, 0.0, x_max)
    resolved = numpy.array([q.resolved for q in shown], dtype=float)
    counts = numpy.array([q.counts for q in shown], dtype=float)
    species = numpy.array([q.species_code for q in shown])
    observed = counts[numpy.arange(len(shown)), species] / resolved
    other_shares = numpy.stack(
        [counts[numpy.arange(len(shown)), (species + shift) % 3] / resolved for shift in (1, 2)], axis=1
    )
    error = 2.0 * numpy.array([q.standard_error for q in shown])
    figure = _figure(7, 4.5)
    axes = figure.add_subplot()
    curve = numpy.linspace(0.0, x_max, 201)
    axes.plot(curve, 1.0 - 2.0 / 3.0 * numpy.exp(-curve), color="black",
              label=r"expected, species-tree topology: $1-\frac{2}{3}e^{-t}$")  # fmt: skip
    axes.plot(curve, numpy.exp(-curve) / 3.0, color="grey", linestyle="--",
              label=r"expected, each other topology: $\frac{1}{3}e^{-t}$")  # fmt: skip
    for inside, marker_species, marker_other in ((~clipped, "o", "x"), (clipped, ">", ">")):
        if not inside.any():
            continue
        axes.errorbar(x[inside], observed[inside], yerr=error[inside], fmt=marker_species, color=_SPECIES_COLOUR,
                      markersize=5, capsize=2, alpha=alpha, linestyle="none")  # fmt: skip
        axes.scatter(numpy.repeat(x[inside], 2), other_shares[inside].ravel(), marker=marker_other,
                     color=_OTHER_COLOUR, s=22, alpha=alpha)  # fmt: skip
    axes.plot([], [], "o", color=_SPECIES_COLOUR, label="observed, species-tree topology (±2 SE)")
    axes.plot([], [], "x", color=_OTHER_COLOUR, label="observed, other two topologies")
    if clipped.any():
        axes.plot([], [], ">", color="grey", label=f"internal branch beyond {x_max:g} units, drawn at {x_max:g}")
    axes.set_xlabel("internal branch length of the species quartet (coalescent units)")
    axes.set_ylabel("share of resolved gene trees")
    most = max(q.resolved for q in shown)
    axes.set_title(title or f"Quartet concordance against the coalescent expectation ({most} gene trees)")
    axes.set_xlim(-0.02 * x_max, 1.04 * x_max)
    axes.set_ylim(-0.02, 1.02)
    if label_discordant > 0:
        _label_discordant(axes, shown, x, observed, label_discordant)
    axes.legend(fontsize=8, loc="center right")
    return _finish(figure, path, dpi)


def _label_discordant(axes: Any, quartets: Sequence[SpeciesQuartet], x: Any, observed: Any, how_many: int) -> None:
    """Names the `how_many` quartets whose observed share lies the most standard errors from
    the expectation (by the plain difference where the standard error is 0)."""

    def departure(k: int) -> Tuple[float, float]:
        quartet = quartets[k]
        gap = abs(quartet.observed - quartet.expected)
        error = quartet.standard_error
        return (gap / error if error > 0 else (math.inf if gap > 0 else 0.0)), gap

    right = axes.get_xlim()[1]
    for rank, k in enumerate(sorted(range(len(quartets)), key=departure, reverse=True)[:how_many]):
        # Inside the axes (text left of points in the right half), one line lower per rank,
        # so that labels of points drawn at the same place stay apart.
        left_of = x[k] > right / 2
        axes.annotate(quartets[k].topology, (x[k], observed[k]), xytext=(-6 if left_of else 6, -10 - 8 * rank),
                      textcoords="offset points", ha="right" if left_of else "left", fontsize=6)  # fmt: skip


def plot_quintet_frequencies(
    tally: "TopologyTally",
    path: Optional["PathArgument"] = None,
    *,
    highlight: Optional[int] = None,
    highlight_label: str = "the highlighted topology",
    dpi: int = DEFAULT_DPI,
    title: Optional[str] = None,
) -> Any:
    """Bars of the fifteen quintet topologies' shares of the resolved trees, with their counts;
    the code `highlight` (e.g. the species tree's, described by `highlight_label`) in blue."""
    if len(tally.names) != 5:
        raise UsageError("plot_quintet_frequencies takes a quintet tally")
    fractions = [0.0 if math.isnan(share) else share for share in tally.fractions]
    labels = [f"{code}: {topology}" for code, topology in enumerate(tally.topologies)]
    colours = ["tab:blue" if code == highlight else "tab:grey" for code in range(len(fractions))]
    figure = _figure(8.5, 5.5)
    axes = figure.add_subplot()
    axes.barh(range(len(fractions)), fractions, color=colours)
    for code, (count, fraction) in enumerate(zip(tally.counts, fractions)):
        axes.text(fraction, code, f" {count}", va="center", fontsize=8)
    axes.set_yticks(range(len(fractions)))
    axes.set_yticklabels(labels, fontsize=8)
    axes.invert_yaxis()
    note = f" (blue: {highlight_label})" if highlight is not None else ""
    axes.set_xlabel(f"share of the {tally.resolved} resolved trees{note}")
    axes.set_xlim(0.0, max(fractions + [0.01]) * 1.12)
    axes.set_title(title or f"Quintet topologies of {', '.join(tally.names)}")
    return _finish(figure, path, dpi)


def plot_time_table(
    table: "TimeTable",
    path: Optional["PathArgument"] = None,
    *,
    dpi: int = DEFAULT_DPI,
    title: Optional[str] = None,
) -> Any:
    """Heat map of the relative path length of each pair of taxa, one row per quintet
    topology that occurred, labelled with its share of the classified trees."""
    blocks = [block for block in table.blocks if block.share > 0]
    if not blocks:
        raise UsageError("no tree holds the five taxa with a resolved quintet: nothing to plot")
    figure = _figure(9, 1.6 + 0.38 * len(blocks))
    axes = figure.add_subplot()
    image = axes.imshow([list(block.relative_lengths) for block in blocks], aspect="auto", cmap="viridis")
    axes.set_xticks(range(len(blocks[0].pairs)))
    axes.set_xticklabels(blocks[0].pairs, rotation=45, ha="right", fontsize=8)
    axes.set_yticks(range(len(blocks)))
    axes.set_yticklabels([f"{block.code}: {block.topology}  ({block.share:.1%})" for block in blocks], fontsize=8)
    figure.colorbar(image, ax=axes, label="relative path length (each row sums to 1)")
    axes.set_title(title or "Relative path lengths between pairs of taxa, per quintet topology")
    return _finish(figure, path, dpi)


# Outcome of a quartet's two tests -> its colour and legend text ({alpha} filled in).
SIMPLEX_OUTCOMES = (
    ("star", "tab:grey", "star not rejected (p ≥ {alpha:g}): no topology stands out"),
    ("tree", "tab:blue", "star rejected, minor topologies equal (p ≥ {alpha:g}): fits a tree"),
    ("minor", "tab:red", "minor topologies unequal (p < {alpha:g}): departs from a tree"),
)
_HEIGHT = math.sqrt(3.0) / 2.0


def _simplex_counts(quartets: Union[Iterable[Any], Mapping[str, Sequence[int]]]) -> List[Tuple[int, int, int]]:
    if isinstance(quartets, Mapping):
        columns = [quartets[f"count_{code}"] for code in range(3)]
        return [(int(a), int(b), int(c)) for a, b, c in zip(*columns)]
    found: List[Tuple[int, int, int]] = []
    for row in cast(Iterable[Any], quartets):
        if len(row.counts) != 3:
            raise UsageError("the simplex shows quartets, whose counts are three")
        found.append((int(row.counts[0]), int(row.counts[1]), int(row.counts[2])))
    return found


def plot_quartet_simplex(
    quartets: Union[Iterable[Any], Mapping[str, Sequence[int]]],
    path: Optional["PathArgument"] = None,
    *,
    alpha: float = 0.05,
    adjust: Optional[str] = None,
    point_alpha: float = 0.5,
    dpi: int = DEFAULT_DPI,
    title: Optional[str] = None,
) -> Any:
    """Each quartet's three concordance factors as a point of the 2-simplex: an equilateral
    triangle whose top corner is code 0 (slots 12|34), bottom left code 1 (13|24) and bottom
    right code 2 (14|23), so that a point's distance from a side is the share of the opposite
    corner's topology. The lines from the centre to the corners are the shares the multispecies
    coalescent allows on a tree.

    `quartets`: TableRow objects (anything with three `counts`) or a table's columns
    (count_0-count_2, as TopologyTable.to_columns() gives them); quartets that no gene tree
    resolves are left out. Colours by the tests at level `alpha`: red where the minor-equal
    test rejects, else grey where the star test does not reject, else blue. `adjust` ("holm"
    or "bh") adjusts each test's p-values over the quartets first. Returns the Figure; with
    `path`, also writes it."""
    numpy = _numpy()
    counts = [row for row in _simplex_counts(quartets) if sum(row) > 0]
    if not counts:
        raise UsageError("no quartet is resolved in any gene tree: nothing to plot")
    # The engine's tests of the resolved quartets, all at once.
    tests = values_of_counts(counts)
    minor_p, star_p = tests["minor_equal_p"].tolist(), tests["star_p"].tolist()
    if adjust is not None:
        minor_p, star_p = adjust_p_values(minor_p, adjust), adjust_p_values(star_p, adjust)
    minor = numpy.array(minor_p) < alpha
    star = ~(numpy.array(star_p) < alpha) & ~minor
    outcome = {"minor": minor, "star": star, "tree": ~minor & ~star}
    shares = numpy.stack([tests[f"concordance_{code}"] for code in range(3)], axis=1)
    x = 0.5 * shares[:, 0] + shares[:, 2]
    y = _HEIGHT * shares[:, 0]
    figure = _figure(6.5, 7.2)
    axes = figure.add_subplot()
    corners = numpy.array([[0.5, _HEIGHT], [0.0, 0.0], [1.0, 0.0], [0.5, _HEIGHT]])
    axes.plot(corners[:, 0], corners[:, 1], color="black", linewidth=1)
    centre = (0.5, _HEIGHT / 3.0)
    for corner in corners[:3]:
        axes.plot([centre[0], corner[0]], [centre[1], corner[1]], color="black", linewidth=0.6, linestyle=":")
    for (cx, cy), text, place in zip(corners[:3], ("12|34", "13|24", "14|23"), ("bottom", "top", "top")):
        axes.text(cx, cy + (0.02 if place == "bottom" else -0.03), text, ha="center", va=place, fontsize=10)
    for name, colour, legend in SIMPLEX_OUTCOMES:
        chosen = outcome[name]
        axes.scatter(x[chosen], y[chosen], s=10, color=colour, alpha=point_alpha, linewidths=0,
                     label=f"{legend.format(alpha=alpha)} ({int(chosen.sum())})")  # fmt: skip
    axes.plot([], [], color="black", linewidth=0.6, linestyle=":", label="tree model of the coalescent")
    axes.set_xlim(-0.08, 1.08)
    axes.set_ylim(-0.12, _HEIGHT + 0.08)
    axes.set_aspect("equal")
    axes.set_axis_off()
    adjusted = f", {ADJUSTMENT_NAMES[adjust]} adjusted" if adjust is not None else ""
    axes.set_title(title or f"Concordance factors of {len(counts)} quartets{adjusted}")
    axes.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, 0.0), frameon=False)
    return _finish(figure, path, dpi)
