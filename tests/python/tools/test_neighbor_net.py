"""NeighborNet: the circular ordering and split weights it gives back for tree and circular
distances, the least-squares fit against an exhaustive one, ties, refused input, NEXUS and
JSON output, and the planar drawing."""

import itertools
import json
import re
import sys

import numpy as np
import pytest

from treetally_tools import MissingExtraError, Split, SplitsNetwork, UsageError, neighbor_net
from treetally_tools.neighbor_net import _Design, circular_splits, nexus_name, split_weights
from treetally_tools.splits_drawing import layout


def random_tree(n, rng):
    """An additive distance of a random binary tree, and its splits (as taxon sets without
    taxon 0) with their lengths."""
    depth = [{k: 0.0} for k in range(n)]
    distance = np.zeros((n, n))
    lengths = {}
    while len(depth) > 1:
        i, j = sorted(rng.choice(len(depth), 2, replace=False)) if len(depth) > 2 else (0, 1)
        a, b = rng.uniform(0.1, 1.0, 2) if len(depth) > 2 else (rng.uniform(0.1, 1.0), 0.0)
        for x, y in itertools.product(depth[i], depth[j]):
            distance[x, y] = distance[y, x] = depth[i][x] + a + depth[j][y] + b
        for side, length in ((depth[i], a), (depth[j], b)):
            key = frozenset(side) if 0 not in side else frozenset(range(n)) - frozenset(side)
            lengths[key] = lengths.get(key, 0.0) + length
        merged = {x: t + a for x, t in depth[i].items()}
        merged.update({y: t + b for y, t in depth[j].items()})
        depth = [c for k, c in enumerate(depth) if k not in (i, j)] + [merged]
    return distance, {side: w for side, w in lengths.items() if side and w > 0}


def found(network, names):
    """The network's splits as {taxon indices on the side without taxon 0: weight}."""
    index = {name: k for k, name in enumerate(names)}
    out = {}
    for split in network.splits:
        side = frozenset(index[name] for name in split.side)
        out[side if 0 not in side else frozenset(range(len(names))) - side] = split.weight
    return out


def circular_distance(n, weights):
    design = _Design(n)
    matrix = np.zeros((n, n))
    matrix[design.p, design.q] = design.times(weights)
    return matrix + matrix.T


@pytest.mark.parametrize("n", [3, 4, 5, 7])
def test_design_operators_match_the_dense_matrix(n):
    design, rng = _Design(n), np.random.default_rng(n)
    dense = (design.sides[:, design.p] != design.sides[:, design.q]).T.astype(float)
    w, r = rng.random(dense.shape[1]), rng.random(dense.shape[0])
    assert dense.shape == (n * (n - 1) // 2,) * 2
    np.testing.assert_allclose(design.times(w), dense @ w)
    np.testing.assert_allclose(design.transposed_times(r), dense.T @ r)
    np.testing.assert_allclose(design.gram(np.arange(dense.shape[1])), dense.T @ dense)
    np.testing.assert_allclose(design.exact(r), np.linalg.solve(dense, r))


@pytest.mark.parametrize("n, seed", [(3, 0), (4, 1), (5, 2), (8, 3), (20, 4), (40, 5)])
def test_a_tree_metric_gives_back_the_tree(n, seed):
    distance, lengths = random_tree(n, np.random.default_rng(seed))
    names = [f"t{k}" for k in range(n)]
    network = neighbor_net(distance, names)
    got = found(network, names)
    assert set(got) == set(lengths)
    assert max(abs(got[side] - lengths[side]) for side in lengths) < 1e-9
    assert network.fit() == pytest.approx(100.0)
    position = {name: p for p, name in enumerate(network.order)}
    for split in network.splits:  # every side is an interval of the order, without its first taxon
        spots = [position[name] for name in split.side]
        assert spots == list(range(spots[0], spots[0] + len(spots))) and spots[0] > 0


@pytest.mark.parametrize("n, seed, share", [(4, 0, 1.0), (5, 1, 1.0), (6, 2, 0.5), (10, 3, 1.0), (16, 4, 0.3)])
def test_a_circular_metric_gives_back_its_split_weights(n, seed, share):
    rng = np.random.default_rng(seed)
    weights = rng.uniform(0.05, 1.0, n * (n - 1) // 2) * (rng.random(n * (n - 1) // 2) < share)
    shuffle = rng.permutation(n)
    distance = np.empty((n, n))
    distance[np.ix_(shuffle, shuffle)] = circular_distance(n, weights)
    truth = {}
    for w, (first, last) in zip(weights, circular_splits(n)):
        if w > 0:
            side = frozenset(shuffle[first : last + 1].tolist())
            truth[side if 0 not in side else frozenset(range(n)) - side] = w
    got = found(neighbor_net(distance, [str(k) for k in range(n)]), [str(k) for k in range(n)])
    assert set(got) == set(truth)
    assert max(abs(got[side] - truth[side]) for side in truth) < 1e-9


@pytest.mark.parametrize("seed", range(4))
def test_split_weights_are_the_least_squares_optimum_of_an_exhaustive_search(seed):
    n, rng = 5, np.random.default_rng(seed)
    distance = rng.uniform(0.5, 2.0, (n, n))
    distance = distance + distance.T - 2 * np.diag(np.diag(distance))
    design = _Design(n)
    dense = (design.sides[:, design.p] != design.sides[:, design.q]).T.astype(float)
    target = distance[design.p, design.q]
    best = (np.inf, None)
    for kept in itertools.product([False, True], repeat=dense.shape[1]):
        columns = np.flatnonzero(kept)
        w = np.zeros(dense.shape[1])
        w[columns] = np.linalg.lstsq(dense[:, columns], target, rcond=None)[0] if columns.size else []
        if w.min() >= 0 and np.sum((dense @ w - target) ** 2) < best[0]:
            best = (np.sum((dense @ w - target) ** 2), w)
    np.testing.assert_allclose(split_weights(distance, list(range(n))), best[1], atol=1e-9)


def test_a_noisy_distance_meets_the_optimality_conditions():
    n, rng = 25, np.random.default_rng(9)
    points = rng.random((n, 3))
    distance = np.sqrt(((points[:, None] - points[None]) ** 2).sum(axis=-1))
    network = neighbor_net(distance, [str(k) for k in range(n)])
    order = [int(name) for name in network.order]
    weights, design = split_weights(distance, order), _Design(n)
    gradient = design.transposed_times(distance[np.ix_(order, order)][design.p, design.q] - design.times(weights))
    assert gradient.max() < 1e-8 and np.abs(gradient[weights > 0]).max() < 1e-8
    assert 0 < network.fit() < 100
    again = neighbor_net(distance, [str(k) for k in range(n)])
    assert again.order == network.order and again.splits == network.splits


@pytest.mark.parametrize("n", [3, 4, 5, 9])
def test_equal_distances_tie_the_same_way_every_time(n):
    names = [chr(ord("a") + k) for k in range(n)]
    network = neighbor_net(np.ones((n, n)) - np.eye(n), names)
    assert network.order[0] == "a" and sorted(network.order) == names
    assert network.order == neighbor_net(np.ones((n, n)) - np.eye(n), names).order
    assert all(len(split.side) in (1, n - 1) and split.weight == pytest.approx(0.5) for split in network.splits)
    assert len(network.splits) == n


def test_taxa_may_come_from_any_iterable():
    network = neighbor_net(np.ones((3, 3)) - np.eye(3), (name for name in "abc"))
    assert network.taxa == ["a", "b", "c"] and network.order == ["a", "b", "c"]


def test_three_taxa_breaking_the_triangle_inequality_get_non_negative_weights():
    network = neighbor_net([[0, 1, 5], [1, 0, 1], [5, 1, 0]], ["a", "b", "c"])
    assert network.order == ["a", "b", "c"]
    assert [split.side for split in network.splits] == [("b", "c"), ("c",)]
    assert [split.weight for split in network.splits] == pytest.approx([2.0, 2.0], abs=1e-12)


@pytest.mark.parametrize(
    "distance, taxa, message",
    [
        ([[0, 1, np.nan], [1, 0, 1], [np.nan, 1, 0]], ["a", "b", "c"], "not finite"),
        ([[0, 1, np.inf], [1, 0, 1], [np.inf, 1, 0]], ["a", "b", "c"], "not finite"),
        ([[0, 1, 2], [1, 0, 1], [2.5, 1, 0]], ["a", "b", "c"], "not symmetric: 'a' to 'c' is 2.0 but 'c' to 'a' is 2.5"),
        ([[0, -1, 2], [-1, 0, 1], [2, 1, 0]], ["a", "b", "c"], "negative"),
        ([[1, 1, 2], [1, 0, 1], [2, 1, 0]], ["a", "b", "c"], "to itself"),
        ([[0, 1], [1, 0], [1, 1]], ["a", "b", "c"], "square"),
        ([[0, 1, 2], [1, 0, 1], [2, 1, 0]], ["a", "b", "c", "d"], "3 x 3 but 4 taxa"),
        ([[0, 1, 2], [1, 0, 1], [2, 1, 0]], ["a", "b", "a"], "unique"),
        ([[0, 1], [1, 0]], ["a", "b"], "at least 3"),
        ([[0, 1, 2], [1, 0, 1], [2, 1, 0]], "abc", "sequence of names (strings)"),
        ([[0, 1, 2], [1, 0, 1], [2, 1, 0]], ["a", "b", 3], "sequence of names (strings)"),
        ([[0, 1, 2], [1, 0, 1], [2, 1, 0]], 3, "sequence of names (strings)"),
        ([[0, "x", 2], ["x", 0, 1], [2, 1, 0]], ["a", "b", "c"], "not a matrix of numbers"),
    ],
)
def test_unusable_input_is_refused_in_one_line(distance, taxa, message):
    with pytest.raises(ValueError, match=re.escape(message)) as raised:
        neighbor_net(distance, taxa)
    assert isinstance(raised.value, UsageError) and "\n" not in str(raised.value)


NAMES = ["Homo sapiens", "Pan", "it's", "Gorilla_gorilla", "42"]


def test_nexus_holds_the_blocks_and_reads_back():
    distance, _ = random_tree(5, np.random.default_rng(3))
    network = neighbor_net(distance, NAMES)
    text = network.nexus()
    assert text.startswith("#NEXUS") and text.count("END;") == 3
    assert [nexus_name(name) for name in NAMES] == ["'Homo sapiens'", "Pan", "'it''s'", "'Gorilla_gorilla'", "'42'"]
    assert f"DIMENSIONS ntax=5 nsplits={len(network.splits)};" in text
    cycle = re.search(r"CYCLE ([\d ]+);", text).group(1).split()
    assert [NAMES[int(k) - 1] for k in cycle] == network.order
    rows = re.findall(r"\[\d+, size=(\d+)\]\t(\S+)\t([\d ]+),", text)
    assert [Split(tuple(NAMES[int(k) - 1] for k in ids.split()), float(w)) for _, w, ids in rows] == network.splits
    assert all(int(size) == len(ids.split()) for size, _, ids in rows)
    matrix = re.findall(r"^\[\d+\] .*? ((?:\S+ ){4}\S+)$", text.split("BEGIN distances;")[1], re.M)
    np.testing.assert_array_equal([[float(v) for v in row.split()] for row in matrix], distance)
    assert "PROPERTIES fit=100.0000 leastsquares cyclic;" in text


def test_json_holds_taxa_distance_splits_and_order():
    distance, _ = random_tree(5, np.random.default_rng(3))
    network = neighbor_net(distance, NAMES)
    values = json.loads(json.dumps(network.as_json()))
    assert values["taxa"] == NAMES and values["order"] == network.order
    assert values["distance"] == distance.tolist()
    assert [Split(tuple(s["split"]), s["weight"]) for s in values["splits"]] == network.splits
    assert isinstance(network, SplitsNetwork) and network.distance.flags.writeable is False


@pytest.mark.parametrize("n, seed, share", [(4, 0, 1.0), (6, 1, 1.0), (9, 2, 0.4), (12, 3, 0.25)])
def test_the_splits_graph_is_planar_with_one_node_per_face(n, seed, share):
    rng = np.random.default_rng(seed)
    intervals = [s for s in circular_splits(n) if rng.random() < share]
    weights = rng.uniform(0.2, 1.0, len(intervals))
    coordinates, edges, taxa = layout(n, intervals, weights)
    crossings = sum(a < c < b < d or c < a < d < b for (a, b), (c, d) in itertools.combinations(
        [(first, last + 1) for first, last in intervals], 2))
    assert len(coordinates) == 1 + len(intervals) + crossings  # faces of the chord arrangement

    def turn(a, b, c):
        return np.sign((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]))

    for (u, v, _), (x, y, _) in itertools.combinations(edges, 2):
        if len({u, v, x, y}) == 4:
            p, q, r, s = coordinates[[u, v, x, y]]
            assert not (turn(p, q, r) * turn(p, q, s) < 0 and turn(r, s, p) * turn(r, s, q) < 0)
    for u, v, split in edges:  # each split a band of parallel edges, as long as its weight, towards its side
        first, last = intervals[split]
        angle = np.pi * (first + last) / n
        step = weights[split] * np.array([np.cos(angle), np.sin(angle)])
        np.testing.assert_allclose(coordinates[v] - coordinates[u], step, atol=1e-12)
    assert share < 1 or len(set(taxa)) == n


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".pdf", b"%PDF"), (".svg", b"<?xml")])
def test_the_drawing_is_written(tmp_path, suffix, magic):
    pytest.importorskip("matplotlib")
    distance, _ = random_tree(7, np.random.default_rng(1))
    network = neighbor_net(distance + 0.1 * (1 - np.eye(7)), [f"taxon {k}" for k in range(7)])
    network.draw(tmp_path / f"net{suffix}", dpi=40, title="seven taxa")
    assert (tmp_path / f"net{suffix}").read_bytes().startswith(magic)


def test_a_network_without_splits_is_written_and_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    network = neighbor_net(np.zeros((4, 4)), ["a", "b", "c", "d"])
    assert network.splits == [] and network.fit() == 100.0 and "nsplits=0;" in network.nexus()
    network.draw(tmp_path / "none.png")
    assert (tmp_path / "none.png").stat().st_size > 0


def test_small_weights_are_written_without_an_exponent():
    network = neighbor_net([[0, 2e-7, 1], [2e-7, 0, 1], [1, 1, 0]], ["a", "b", "c"])
    weight = re.search(r"\[1, size=1\]\t(\S+)\t", network.nexus()).group(1)
    assert float(weight) == pytest.approx(1e-7, abs=1e-15) and "e" not in weight


def test_drawing_without_matplotlib_names_the_install_command(monkeypatch, tmp_path):
    network = neighbor_net(np.ones((3, 3)) - np.eye(3), ["a", "b", "c"])
    for module in ("matplotlib", "matplotlib.figure"):
        monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(MissingExtraError, match=re.escape('pip install "treetally[plot]"')):
        network.draw(tmp_path / "net.png")
    assert not (tmp_path / "net.png").exists()
