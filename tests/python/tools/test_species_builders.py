"""The two builders of a tree from distances: balanced minimum evolution ("fastme", the
default) gives back a tree metric's tree and lengths and is never longer, by Pauplin's balanced
length computed here afresh, than neighbor joining's tree; species trees are the same on any
number of threads; the CLI's --builder and the refusal of an unknown builder."""

import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from treetally_tools import UsageError, _engine
from treetally_tools import species_tree as species_tree_of
from treetally_tools.species_tree import distance_tree, neighbor_joining, species_tree

SCRIPT = Path(sys.executable).parent / "treetally"


def random_metric(n, generator):
    """The path lengths of a random unrooted binary tree over n taxa, edges of length 1 to 9."""
    around = {k: [] for k in range(n)}
    pool, next_node = list(range(n)), n
    while len(pool) > 3:
        joined = [pool.pop(generator.randrange(len(pool))) for _ in range(2)]
        around[next_node] = []
        for node in joined:
            length = generator.randint(1, 9)
            around[node].append((next_node, length))
            around[next_node].append((node, length))
        pool.append(next_node)
        next_node += 1
    around[next_node] = []
    for node in pool:
        length = generator.randint(1, 9)
        around[node].append((next_node, length))
        around[next_node].append((node, length))
    return [[walk(around, i)[j] for j in range(n)] for i in range(n)]


def walk(around, start, weighted=True):
    """Length (or number of edges) from `start` to every node of an adjacency map."""
    found, stack = {start: 0}, [start]
    while stack:
        node = stack.pop()
        for other, length in around[node]:
            if other not in found:
                found[other] = found[node] + (length if weighted else 1)
                stack.append(other)
    return found


def adjacency(tree):
    around = {node: [] for node in range(len(tree.parent))}
    for node, above in enumerate(tree.parent):
        if above >= 0:
            around[node].append((above, tree.length[node]))
            around[above].append((node, tree.length[node]))
    return around


def pauplin(tree, distance):
    """The balanced length: the sum over taxa i < j of 2^(1 - edges between them) d(i, j)."""
    n, around = len(distance), adjacency(tree)
    total = 0.0
    for i in range(n):
        steps = walk(around, i, weighted=False)
        total += sum(2.0 ** (1 - steps[j]) * distance[i][j] for j in range(i + 1, n))
    return total


@pytest.mark.parametrize("n", [3, 4, 5, 6, 8, 13, 30])
def test_a_tree_metric_gives_back_its_tree_and_lengths(n):
    generator = random.Random(n)
    for _ in range(6):
        metric = random_metric(n, generator)
        tree = distance_tree(metric)
        assert len(tree.parent) == 2 * n - 2 and tree.parent[-1] == -1
        assert all(above > node for node, above in enumerate(tree.parent[:-1]))  # ids above children
        around = adjacency(tree)
        # Positive lengths: equal path lengths mean the same tree with the same lengths.
        assert [[walk(around, i)[j] for j in range(n)] for i in range(n)] == [
            [pytest.approx(value, abs=1e-9) for value in row] for row in metric
        ]


def test_balanced_minimum_evolution_is_never_longer_than_joining():
    generator = random.Random(3)
    shorter = 0
    for n in [5, 7, 10, 16, 24]:
        for _ in range(6):
            metric = random_metric(n, generator)
            noisy = [[0.0] * n for _ in range(n)]
            for i in range(n):
                for j in range(i + 1, n):
                    noisy[i][j] = noisy[j][i] = metric[i][j] + generator.uniform(0, 8)
            bme, nj = pauplin(distance_tree(noisy), noisy), pauplin(neighbor_joining(noisy), noisy)
            assert bme <= nj * (1 + 1e-12)
            shorter += bme < nj * (1 - 1e-9)
    assert shorter > 0  # the builders differ where it matters


def test_the_same_distances_give_the_same_tree_to_the_bit():
    generator = random.Random(8)
    n = 12
    noisy = [[0] * n for _ in range(n)]
    for i in range(n):
        for j in range(i + 1, n):
            noisy[i][j] = noisy[j][i] = generator.choice([6, 6, 12, 18])  # whole numbers, many ties
    assert len({repr(distance_tree(noisy)) for _ in range(3)}) == 1


@pytest.fixture
def gene_trees(write_trees):
    """Random rooted binary gene trees over nine taxa, most close to one species tree."""
    generator = random.Random(21)
    lines = []
    for _ in range(80):
        nodes = [f"s{k}" for k in range(9)]
        while len(nodes) > 1:
            k = generator.randrange(len(nodes) - 1) if generator.random() < 0.4 else len(nodes) - 2
            nodes[k : k + 2] = [f"({nodes[k]},{nodes[k + 1]})"]
        lines.append(nodes[0] + ";")
    return write_trees("\n".join(lines) + "\n")


@pytest.mark.parametrize("weighted", [False, True])
def test_species_trees_are_the_same_on_any_number_of_threads(gene_trees, weighted):
    found = {species_tree_of(gene_trees, weighted=weighted, jobs=jobs, progress=False) for jobs in (1, 2, 3)}
    assert len(found) == 1


def treetally(*arguments):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "treetally_tools"]
    return subprocess.run(command + [str(a) for a in arguments], capture_output=True, timeout=300)


@pytest.mark.parametrize(
    "options, builder", [([], "fastme"), (["--builder", "fastme"], "fastme"), (["--builder", "nj"], "nj")]
)
@pytest.mark.parametrize("weighted", [[], ["--weighted"]])
def test_the_command_builds_with_the_builder_asked(gene_trees, options, builder, weighted):
    result = treetally("species-tree", gene_trees, "--no-progress", *weighted, *options)
    assert result.returncode == 0, result.stderr.decode()
    expected = species_tree_of(gene_trees, weighted=bool(weighted), builder=builder, progress=False)
    assert result.stdout.decode() == expected + "\n"


def test_an_unknown_builder_is_refused_in_one_line(gene_trees):
    result = treetally("species-tree", gene_trees, "--builder", "upgma")
    stderr = result.stderr.decode()
    assert result.returncode == 2 and len(stderr.splitlines()) == 1 and "--builder" in stderr


@pytest.mark.parametrize(
    "build",
    [
        lambda path: species_tree_of(path, builder="upgma"),
        lambda path: species_tree(["a", "b", "c", "d"], {}, builder="upgma"),
        lambda path: distance_tree([[0, 1, 1], [1, 0, 1], [1, 1, 0]], "upgma"),
    ],
)
def test_python_refuses_an_unknown_builder_before_counting(gene_trees, build):
    with pytest.raises(UsageError, match="builder must be 'fastme' or 'nj', not 'upgma'"):
        build(gene_trees)


def test_the_engine_refuses_an_unknown_builder():
    with pytest.raises(ValueError, match="builder must be 'fastme' or 'nj', not 'upgma'"):
        _engine.distance_tree(bytes(72), 3, "upgma")
    assert _engine.distance_tree(bytes(72), 3) == _engine.distance_tree(bytes(72), 3, "fastme")


def test_a_search_beyond_the_memory_limit_is_refused_before_it_starts(tmp_path):
    code = textwrap.dedent(
        """
        import resource
        from treetally_tools import _engine
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        n = 3000
        try:
            _engine.distance_tree(bytes(8 * n * n), n)
        except MemoryError as error:
            print(error)
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert "balanced minimum evolution over 3000 taxa needs about" in done.stdout, done.stderr
