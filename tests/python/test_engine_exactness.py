"""The engine's all-quartet and all-quintet tables against the module's own answers on every
shared gene-tree file: seeded random rows' counts against tally_single_quartet and
tally_single_quintet, holding against the trees whose retrieve_all_pairs_distance of the taxa
is not None, rows in combinations order, and the same table at every kernel width and on two
threads with small blocks. A table is taken over at most 12 of the file's taxa (some of one
tree's, so that taxa of sparse files share trees), which keeps the whole file under seconds.

The files live outside the repository, in ../shared/data; without them every test here skips."""

import itertools
import math
import random
from array import array
from pathlib import Path

import pytest

from treetally_tools import _engine, load_trees
from treetally_tools.tables import TopologyTable, column_names

_CANDIDATES = [Path(__file__).resolve().parents[2].parent / "shared" / "data", Path("/work/shared/data")]
DATA = next((folder for folder in _CANDIDATES if folder.is_dir()), None)
if DATA is None:
    pytest.skip("the shared gene-tree files are not available", allow_module_level=True)

FILES = sorted(path.name for path in DATA.iterdir() if path.name.endswith((".tre", ".tre.gz")))
TABLE_TAXA = 12
SAMPLED_ROWS = {4: 200, 5: 50}
# Rows whose holding is also checked with the row's own taxa, not from single-taxon presence.
DIRECT_ROWS = 5


def held(tree, names):
    """Whether the tree holds every name, by the module's per-tree answer (five names at a time:
    a shorter list is padded with its first name)."""
    padded = tuple(names) + (names[0],) * (5 - len(names))
    return tree.retrieve_all_pairs_distance(padded) is not None


def chosen_taxa(trees, rng):
    """At most TABLE_TAXA taxa: up to two thirds from one random tree, the rest at random."""
    taxa = trees.taxa()
    if len(taxa) <= TABLE_TAXA:
        return tuple(taxa)
    tree = trees[rng.randrange(len(trees))]
    shared = [name for name in rng.sample(taxa, min(len(taxa), 400)) if held(tree, (name,))]
    chosen = dict.fromkeys(shared[: TABLE_TAXA * 2 // 3])
    for name in rng.sample(taxa, len(taxa)):
        if len(chosen) == TABLE_TAXA:
            break
        chosen.setdefault(name)
    return tuple(chosen)


def engine_columns(trees, size, taxa, jobs=1, rows_per_block=0):
    """The table's columns straight from the engine (blocks of `rows_per_block` rows)."""
    counting = _engine.Table(trees, size, taxa, jobs=jobs, rows_per_block=rows_per_block)
    columns = {name: array("q") for name in column_names(size)}
    try:
        while True:
            block = counting.next_block()
            if block is None:
                return columns
            for name, column in columns.items():
                column.frombytes(block[name])
    finally:
        counting.close()


@pytest.fixture(scope="module", params=FILES)
def shared_set(request):
    """(name, trees, taxa, per-tree sets of the taxa each tree holds) for one shared file."""
    trees = load_trees(DATA / request.param, quiet=True)
    taxa = chosen_taxa(trees, random.Random(request.param))
    single_trees = [trees[k] for k in range(len(trees))]
    holds = [frozenset(k for k, name in enumerate(taxa) if held(tree, (name,))) for tree in single_trees]
    return request.param, trees, taxa, single_trees, holds


@pytest.mark.slow
@pytest.mark.parametrize("size", [4, 5])
def test_sampled_rows_equal_the_module_sweeps(shared_set, size):
    name, trees, taxa, single_trees, holds = shared_set
    if len(taxa) < size:
        pytest.skip("%s has fewer than %d taxa" % (name, size))
    with TopologyTable(trees, size, taxa, progress=False) as table:
        columns = table.to_columns()
    combinations = list(itertools.combinations(range(len(taxa)), size))
    assert list(zip(*(columns["t%d" % (k + 1)] for k in range(size)))) == combinations, name
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    rng = random.Random("%s %d" % (name, size))
    sampled = sorted(rng.sample(range(len(combinations)), min(SAMPLED_ROWS[size], len(combinations))))
    codes = 3 if size == 4 else 15
    for number, rank in enumerate(sampled):
        row = combinations[rank]
        names = tuple(taxa[k] for k in row)
        counts = [columns["count_%d" % code][rank] for code in range(codes)]
        holding = columns["holding"][rank]
        assert counts == list(sweep(names)), (name, names)
        assert holding == sum(1 for tree_holds in holds if tree_holds.issuperset(row)), (name, names)
        assert columns["unresolved"][rank] == holding - sum(counts), (name, names)
        if number < DIRECT_ROWS:
            assert holding == sum(1 for tree in single_trees if held(tree, names)), (name, names)


def test_every_width_and_two_threads_give_the_same_table(shared_set):
    name, trees, taxa, _, _ = shared_set
    for size in [size for size in (4, 5) if len(taxa) >= size]:
        expected = engine_columns(trees, size, taxa)
        widths = []
        for width in ("baseline", "avx2", "avx512"):
            try:
                _engine.force_kernel_width(width)
            except ValueError:  # the processor cannot run it
                continue
            try:
                widths.append(width)
                # Blocks of one prefix each, counted on two threads: every block boundary.
                assert engine_columns(trees, size, taxa, jobs=2, rows_per_block=1) == expected, (name, size, width)
            finally:
                _engine.force_kernel_width(None)
        assert "baseline" in widths
        assert len(expected["holding"]) == math.comb(len(taxa), size)
