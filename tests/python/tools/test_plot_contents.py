"""The concordance plot's informative range, clipped points and labels, and the simplex plot of
a quartet table coloured by the tests."""

import itertools
from pathlib import Path

import pytest

from treetally_tools import compare_with_species_tree
from treetally_tools.tables import TableRow

pytest.importorskip("matplotlib")
from treetally_tools.plots import plot_quartet_concordance, plot_quartet_simplex  # noqa: E402

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
# Branches of 5 units (Human-Chimp to Gibbon-Siamang) lie beyond the informative range.
SPECIES = ["((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"]
# Counts of each outcome, in the order the simplex draws them: all three alike; one topology
# clear and the minor two equal; the minor two unequal. Nothing resolved is not drawn.
OUTCOMES = {"star": (10, 11, 9), "tree": (90, 5, 5), "minor": (60, 40, 0)}
QUARTETS = [*OUTCOMES.values(), (0, 0, 0)]


@pytest.mark.parametrize("x_max, labels", [(3.0, 0), (3.0, 2), (6.0, 0)])
def test_concordance_keeps_to_the_informative_range(tmp_path, x_max, labels):
    quartets = compare_with_species_tree(APES, SPECIES)
    figure = plot_quartet_concordance(quartets, tmp_path / "plot.png", x_max=x_max, alpha=0.3, label_discordant=labels)
    axes = figure.axes[0]
    assert x_max <= axes.get_xlim()[1] <= 1.05 * x_max and axes.get_xlim()[0] <= 0
    legend = [text.get_text() for text in axes.get_legend().get_texts()]
    assert any(r"$1-\frac{2}{3}e^{-t}$" in text for text in legend)
    assert any("beyond" in text for text in legend) == (x_max < 5)
    assert len(axes.texts) == labels and all("Human" in t.get_text() or "Gibbon" in t.get_text() for t in axes.texts)
    assert {collection.get_alpha() for collection in axes.collections} == {0.3}
    assert max(x for line in axes.lines for x in line.get_xdata()) == pytest.approx(x_max)
    assert max(x for collection in axes.collections for x, _ in collection.get_offsets()) <= x_max
    assert (tmp_path / "plot.png").stat().st_size > 0


def table_rows(counts):
    combinations = itertools.cycle(itertools.combinations([f"taxon_{k}" for k in range(7)], 4))
    return [TableRow(next(combinations), row, sum(row)) for row in counts]


def drawn(figure):
    """The points of each outcome's scatter, in the order star, tree, minor."""
    return [collection.get_offsets().tolist() for collection in figure.axes[0].collections]


@pytest.mark.parametrize("as_columns", [False, True])
@pytest.mark.parametrize("suffix", [".png", ".svg"])
def test_simplex_places_and_colours_each_quartet(tmp_path, as_columns, suffix):
    rows = table_rows(QUARTETS * 334)  # 1,002 quartets with a resolved tree
    columns = {f"count_{code}": [row.counts[code] for row in rows] for code in range(3)}
    figure = plot_quartet_simplex(columns if as_columns else rows, tmp_path / f"simplex{suffix}")
    for points, counts in zip(drawn(figure), OUTCOMES.values()):
        shares = [count / sum(counts) for count in counts]  # code 0 at the top, code 2 bottom right
        assert points == [pytest.approx([shares[0] / 2 + shares[2], shares[0] * 3**0.5 / 2])] * 334
    axes = figure.axes[0]
    assert axes.get_xlim()[0] < 0 < 1 < axes.get_xlim()[1] and axes.get_ylim()[1] > 3**0.5 / 2
    assert (tmp_path / f"simplex{suffix}").stat().st_size > 0


@pytest.mark.parametrize(
    "adjust, alpha, outcomes",
    [(None, 0.05, [1, 1, 2]), ("holm", 0.05, [1, 2, 1]), ("bh", 0.05, [1, 2, 1]), (None, 1e-300, [4, 0, 0])],
)
def test_simplex_tests_at_the_level_asked(adjust, alpha, outcomes):
    # The last quartet's minor-equal p-value is 0.034: below 0.05, but not once adjusted for four.
    rows = table_rows(QUARTETS + [(50, 22, 10)])
    figure = plot_quartet_simplex(rows, adjust=adjust, alpha=alpha)
    assert [len(points) for points in drawn(figure)] == outcomes
    assert ("adjusted" in figure.axes[0].get_title()) == (adjust is not None)


@pytest.mark.parametrize(
    "quartets, message",
    [
        ([], "nothing to plot"),
        ({"count_0": [0], "count_1": [0], "count_2": [0]}, "nothing to plot"),
        ([TableRow(tuple("ABCDE"), (1,) * 15, 15)], "quartets"),
    ],
)
def test_simplex_refuses_an_empty_table(quartets, message):
    with pytest.raises(ValueError, match=message):
        plot_quartet_simplex(quartets)
    with pytest.raises(ValueError, match="holm"):
        plot_quartet_simplex(table_rows([(5, 1, 1)]), adjust="fdr")
