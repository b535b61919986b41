# Figures of the three kinds of result: quartet concordance against the multispecies-coalescent
# expectation, the quintet frequencies, and the time table. Each is a matplotlib Figure made
# without pyplot (no display, no global state), saved to PNG, PDF or SVG by the file's suffix.
"""Plots of quartet concordance, quintet frequencies and the time table (needs the plot extra)."""

from __future__ import annotations

import math
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

from ._extras import require
from .coalescent import SpeciesQuartet, expected_concordance

if TYPE_CHECKING:
    import os

    from .tallies import TimeTable, TopologyTally

    PathArgument = Union[str, "os.PathLike[str]"]

DEFAULT_DPI = 200
FORMATS = (".png", ".pdf", ".svg")


def _figure(width: float, height: float) -> Any:
    figure_module = require("matplotlib.figure", "plotting")
    return figure_module.Figure(figsize=(width, height))


def save(figure: Any, path: "PathArgument", dpi: int = DEFAULT_DPI) -> Path:
    """Writes `figure` to `path` in the format its suffix names (.png, .pdf or .svg)."""
    target = Path(path)
    if target.suffix.lower() not in FORMATS:
        raise ValueError(f"plots are written as {', '.join(FORMATS)}; {target.name!r} has another suffix")
    figure.savefig(target, dpi=dpi)
    return target


def _finish(figure: Any, path: Optional["PathArgument"], dpi: int) -> Any:
    figure.tight_layout()
    if path is not None:
        save(figure, path, dpi)
    return figure


def plot_quartet_concordance(
    quartets: Sequence[SpeciesQuartet],
    path: Optional["PathArgument"] = None,
    *,
    dpi: int = DEFAULT_DPI,
    title: Optional[str] = None,
) -> Any:
    """Share of gene trees showing each species-tree quartet (with two standard errors)
    against the length of its internal branch, beside the coalescent expectation 1 - 2/3 e^-t;
    the two other topologies against 1/3 e^-t. `quartets` from compare_with_species_tree.
    Returns the Figure; with `path`, also writes it."""
    shown = [quartet for quartet in quartets if quartet.resolved > 0]
    if not shown:
        raise ValueError("no species-tree quartet is resolved in any gene tree: nothing to plot")
    longest = max(quartet.internal_length for quartet in shown) * 1.05 or 1.0
    lengths = [longest * step / 200 for step in range(201)]
    figure = _figure(7, 4.5)
    axes = figure.add_subplot()
    axes.plot(lengths, [expected_concordance(t) for t in lengths], color="black",
              label="expected, species-tree topology: 1 - 2/3 e^-t")  # fmt: skip
    axes.plot(lengths, [math.exp(-t) / 3.0 for t in lengths], color="grey", linestyle="--",
              label="expected, each other topology: 1/3 e^-t")  # fmt: skip
    for quartet in shown:
        for code, count in enumerate(quartet.counts):
            matching = code == quartet.species_code
            axes.errorbar(
                quartet.internal_length,
                count / quartet.resolved,
                yerr=2.0 * quartet.standard_error,
                fmt="o" if matching else "x",
                color="tab:blue" if matching else "tab:orange",
                markersize=5,
                capsize=2,
            )
    axes.plot([], [], "o", color="tab:blue", label="observed, species-tree topology (±2 SE)")
    axes.plot([], [], "x", color="tab:orange", label="observed, other two topologies")
    axes.set_xlabel("internal branch length of the species quartet (coalescent units)")
    axes.set_ylabel("share of resolved gene trees")
    most = max(quartet.resolved for quartet in shown)
    axes.set_title(title or f"Quartet concordance against the coalescent expectation ({most} gene trees)")
    axes.set_ylim(-0.02, 1.02)
    axes.legend(fontsize=8, loc="center right")
    return _finish(figure, path, dpi)


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
        raise ValueError("plot_quintet_frequencies takes a quintet tally")
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
        raise ValueError("no tree holds the five taxa with a resolved quintet: nothing to plot")
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
