"""Plots: written in the format the file's suffix names, at the resolution asked for, with
titles in words."""

import re
import struct
from pathlib import Path

import pytest

from treetally_tools import compare_with_species_tree, quintet_tally, time_table
from treetally_tools.plots import plot_quartet_concordance, plot_quintet_frequencies, plot_time_table

pytest.importorskip("matplotlib")

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
NAMES = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
SPECIES = ["((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"]


def png_width(path):
    return struct.unpack(">I", path.read_bytes()[16:20])[0]


@pytest.mark.parametrize(
    "draw",
    [
        lambda path, **options: plot_quartet_concordance(compare_with_species_tree(APES, SPECIES), path, **options),
        lambda path, **options: plot_quintet_frequencies(quintet_tally(APES, NAMES), path, highlight=0, **options),
        lambda path, **options: plot_time_table(time_table(APES, NAMES), path, **options),
    ],
    ids=["quartet concordance", "quintet frequencies", "time table"],
)
def test_each_plot_in_every_format_and_resolution(tmp_path, draw):
    figure = draw(tmp_path / "low.png", dpi=50)
    draw(tmp_path / "high.png", dpi=100)
    assert png_width(tmp_path / "high.png") == pytest.approx(2 * png_width(tmp_path / "low.png"), abs=2)
    draw(tmp_path / "plot.pdf")
    draw(tmp_path / "plot.svg")
    assert (tmp_path / "plot.pdf").read_bytes().startswith(b"%PDF") and b"<svg" in (tmp_path / "plot.svg").read_bytes()
    title = figure.axes[0].get_title()
    assert re.fullmatch(r"[A-Z][\w ,():-]+", title) and "_" not in title
    with pytest.raises(ValueError, match="suffix"):
        draw(tmp_path / "plot.jpg")


def test_species_quartets_know_their_internal_branch():
    quartets = {q.topology: q for q in compare_with_species_tree(APES, SPECIES)}
    assert len(quartets) == 15
    human_chimp = quartets["((Human,Chimp),(Gorilla,Orangutan))"]
    assert human_chimp.internal_length == pytest.approx(0.5) and human_chimp.counts == (620, 182, 198)
    assert human_chimp.expected == pytest.approx(1 - 2 / 3 * 2.718281828459045**-0.5)


@pytest.mark.parametrize(
    "draw",
    [
        lambda: plot_time_table(time_table(["((A,B,C,D,E));"], "ABCDE")),
        lambda: plot_quartet_concordance(compare_with_species_tree(["((A,B,C,D));"], ["((A,B),(C,D));"])),
    ],
    ids=["time table", "quartet concordance"],
)
def test_nothing_to_plot_is_said(draw):
    with pytest.raises(ValueError, match="nothing to plot"):
        draw()
