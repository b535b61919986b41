"""Adjusted p-values: each equals the smallest level at which the procedure itself rejects."""

import itertools
import math
import random

import pytest

from treetally_tools.adjust import adjust_p_values

NAN = float("nan")


def smallest_rejecting_level(p, method):
    """Runs the procedure itself at every level where a decision can change and keeps, per
    hypothesis, the lowest level that rejects it (1 when none does)."""
    tested = sorted((k for k, value in enumerate(p) if value == value), key=p.__getitem__)
    m = len(tested)

    def rejected(level):
        if method == "holm":  # step down while p(j) (m - j + 1) <= level
            return [k for _, k in itertools.takewhile(lambda jk: p[jk[1]] * (m - jk[0]) <= level, enumerate(tested))]
        return tested[: max((j for j, k in enumerate(tested, 1) if p[k] * m / j <= level), default=0)]

    levels = {min(1.0, p[k] * (m - j)) for k in tested for j in range(m)} | {1.0}
    levels |= {min(1.0, p[k] * m / j) for k in tested for j in range(1, m + 1)}
    found = [value if value != value else 1.0 for value in p]
    for level in sorted(levels, reverse=True):
        for k in rejected(level):
            found[k] = level
    return found


def random_p_values(seed):
    generator = random.Random(seed)
    values = [generator.choice([generator.random() ** 3, 0.0, 1.0, 0.5, 0.04]) for _ in range(generator.randint(1, 25))]
    return [NAN if generator.random() < 0.15 else value for value in values]


@pytest.mark.parametrize("method", ["holm", "bh"])
@pytest.mark.parametrize("seed", range(40))
def test_adjusted_values_are_the_smallest_rejecting_levels(method, seed):
    p_values = random_p_values(seed)
    adjusted = adjust_p_values(p_values, method)
    expected = smallest_rejecting_level(p_values, method)
    assert [math.isnan(a) for a in adjusted] == [math.isnan(p) for p in p_values]
    assert [a for a in adjusted if a == a] == pytest.approx([e for e in expected if e == e], rel=1e-12)


@pytest.mark.parametrize("seed", range(10))
def test_benjamini_hochberg_as_scipy_gives_it(seed):
    stats = pytest.importorskip("scipy.stats")
    if not hasattr(stats, "false_discovery_control"):
        pytest.skip("scipy before 1.11 has no false_discovery_control")
    p_values = [p for p in random_p_values(seed) if p == p]
    assert adjust_p_values(p_values, "bh") == pytest.approx(list(stats.false_discovery_control(p_values)), rel=1e-12)


@pytest.mark.parametrize(
    "method, expected",
    [("holm", [0.03, 0.06, 0.06, 0.02, NAN]), ("bh", [0.02, 0.04, 0.04, 0.02, NAN])],
)
def test_hand_computed_values_with_a_test_without_data(method, expected):
    adjusted = adjust_p_values([0.01, 0.04, 0.03, 0.005, NAN], method)
    assert adjusted[:4] == pytest.approx(expected[:4]) and math.isnan(adjusted[4])


@pytest.mark.parametrize(
    "p_values, method", [([0.5], "bonferroni"), ([1.5], "bh"), ([-0.1], "holm"), ([math.inf], "bh")]
)
def test_refused_input(p_values, method):
    with pytest.raises(ValueError):
        adjust_p_values(p_values, method)
