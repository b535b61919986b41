"""Species trees counted on Dask workers (treetally_tools.sharding.sharded_species_tree) against
one machine's species_tree of the same trees: the Newick text must be the same to the
character, the exact sums of runs of blocks must add up to one machine's sums to the bit, and
refusals and warnings must reach the client as one machine raises them."""

import gzip
import math
import random
import warnings

import pytest

from treetally_tools import (
    TopologyTable, TreeFileError, UndefinedDistanceError, UnknownTaxonError, UnresolvedQuartetsWarning, _engine,
    load_trees, species_tree,
)  # fmt: skip
from treetally_tools import sharding

distributed = pytest.importorskip("distributed")

GIVEN_TAXA = [f"T{k}" for k in (17, 3, 7, 0, 12, 5, 11, 2, 16, 9, 14)]


@pytest.fixture(scope="module")
def client():
    # Threads in this process: fast to start, and nothing needs to be pickled to reach them.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def gene_trees(count, seed, taxa=20, missing=3):
    """Gene trees that mostly follow one caterpillar species tree, with noise: random
    neighbouring swaps, absent taxa, lengths often zero and support labels on some nodes."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        order = list(range(taxa))
        for _ in range(rng.randint(0, 4)):
            k = rng.randrange(taxa - 1)
            order[k], order[k + 1] = order[k + 1], order[k]
        absent = set(rng.sample(range(taxa), rng.randint(0, missing)))
        nodes = [f"T{k}:{rng.choice([0, 0.05, 1])}" for k in order if k not in absent]
        tree = nodes[0]
        for node in nodes[1:]:
            tree = f"({tree},{node}){rng.choice(['', str(rng.randint(0, 100))])}:{rng.choice([0, 0.05, 2])}"
        lines.append(f"{tree};\n")
    return "".join(lines)


@pytest.fixture(scope="module")
def trees_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("species") / "genes.tre"
    path.write_text(gene_trees(120, seed=4))
    return path


@pytest.mark.parametrize("weighted", [False, True], ids=["QDC", "WQDC"])
@pytest.mark.parametrize("taxa", [None, GIVEN_TAXA], ids=["all", "given"])
@pytest.mark.parametrize(
    "rule",
    [{}, {"collapse_length": 0.05}, {"min_support": 50}, {"collapse_length": 0.05, "unresolved": "third"},
     {"builder": "nj"}],
    ids=["as read", "short", "weak", "spread", "joined"],
)
def test_the_sharded_species_tree_is_one_machines(client, trees_file, weighted, taxa, rule):
    sharded = sharding.sharded_species_tree(client, trees_file, taxa, weighted=weighted, **rule)
    assert sharded == species_tree(trees_file, taxa, weighted=weighted, **rule)
    assert sharded.count(",") == (20 if taxa is None else len(taxa)) - 1


@pytest.mark.parametrize("weighted", [False, True], ids=["QDC", "WQDC"])
def test_exact_sums_of_runs_of_blocks_add_up_to_the_whole_to_the_bit(trees_file, weighted):
    trees = load_trees(trees_file)
    taxa = TopologyTable(trees, 4).taxa
    count = _engine.Table(trees, 4, taxa).block_count
    assert count >= 3  # so that the runs below cut the table
    runs = [(0, 1), (1, 1), (1, count - 1), (count - 1, count)]
    parts = [_engine.quartet_distances(trees, taxa, weighted, jobs, blocks=run) for jobs, run in zip((1, 2, 2, 1), runs)]
    assert parts[1][2:] == (0, 0) and not any(parts[1][1])  # an empty run adds nothing
    assert sum(part[2] for part in parts) == math.comb(len(taxa), 4)
    whole = _engine.quartet_distances(trees, taxa, weighted, 2)
    assert _engine.summed_distances(len(taxa), iter(parts), weighted) == whole


@pytest.mark.parametrize(
    "blocks, error, message",
    [
        ((0, 99), ValueError, r"0 <= start <= stop <= \d+, not \(0, 99\)"),
        ((1, 0), ValueError, "0 <= start <= stop"),
        ((0,), TypeError, "a pair of integers"),
        ([0, 1], TypeError, "a pair of integers"),
    ],
)
def test_runs_of_blocks_outside_the_table_are_refused(write_trees, blocks, error, message):
    trees = load_trees(write_trees("((A,B),(C,D),E);\n"))
    with pytest.raises(error, match=message):
        _engine.quartet_distances(trees, ("A", "B", "C", "D", "E"), blocks=blocks)


@pytest.mark.parametrize(
    "part, error, message",
    [
        ((bytes(16 * 9), bytes(10), 5, 0), ValueError, "part 1: exact quartet distance sums of 5 taxa hold 10 pairs"),
        ((bytes(160), bytes(10), 5, 0)[:3], TypeError, "part 1 must be a tuple"),
        ((bytes(160), "met", 5, 0), TypeError, "part 1: sums and met must be bytes"),
        ((bytes(160), bytes(9) + b"\x02", 5, 0), ValueError, "meeting by 0 or 1"),
        ((bytes(160), bytes(10), 1, 2), ValueError, "more unresolved quartets than quartets"),
        ((bytes(160), bytes(10), -1, 0), ValueError, "integers from 0 to 2\\*\\*64 - 1"),
        ((bytes(160), bytes(10), 2**64 - 1, 0), ValueError, "more quartets than 64 bits hold"),
        ((bytes(159) + b"\x80", bytes(10), 5, 0), ValueError, "beyond what 127 bits hold"),
    ],
)
def test_sums_that_no_run_could_have_made_are_refused(write_trees, part, error, message):
    trees = load_trees(write_trees("((A,B),(C,D),E);\n((A,C),(B,E),D);\n"))
    taxa = ("A", "B", "C", "D", "E")
    good = _engine.quartet_distances(trees, taxa, blocks=(0, 1))
    with pytest.raises(error, match=message):
        _engine.summed_distances(5, [good, part])


def test_files_are_taken_as_their_concatenation_and_a_worker_may_count_nothing(client, tmp_path):
    # Six taxa make one block: one worker's run is empty, and its nothing is added too.
    text = gene_trees(40, seed=8, taxa=6, missing=1)
    lines = text.splitlines(keepends=True)
    (tmp_path / "first.tre").write_text("".join(lines[:15]).rstrip("\n"))  # no final line feed
    (tmp_path / "second.tre.gz").write_bytes(gzip.compress("".join(lines[15:]).encode()))
    files = [tmp_path / "first.tre", tmp_path / "second.tre.gz"]
    for weighted in (False, True):
        expected = species_tree(lines, weighted=weighted)
        assert sharding.sharded_species_tree(client, files, weighted=weighted, jobs=2) == expected


@pytest.mark.parametrize(
    "text, pair, count",
    [
        ("((A,B),(C,D));\n((A,B),(C,E));\n", ("D", "E"), 1),  # D and E never share a tree
        ("(A,B,C,D,E);\n((A,B),(C,D));\n", ("E", "A"), 4),  # E only where nothing is resolved
    ],
)
def test_undefined_distances_are_refused_on_the_client(client, write_trees, text, pair, count):
    path = write_trees(text)
    with pytest.raises(UndefinedDistanceError) as raised:
        sharding.sharded_species_tree(client, path, weighted=True)
    assert (raised.value.pair, raised.value.count) == (pair, count)


def test_most_quartets_unresolved_warns_the_caller(client, write_trees):
    path = write_trees("((A,B),C,D,E,F);\n")
    with pytest.warns(UnresolvedQuartetsWarning, match="9 of the 15 quartets") as caught:
        tree = sharding.sharded_species_tree(client, path)
    assert caught[0].filename == __file__  # the warning names the caller's line
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnresolvedQuartetsWarning)
        assert tree == species_tree(path)


@pytest.mark.parametrize(
    "paths, options, error, message",
    [
        ("genes.tre", {"taxa": ["T1", "T2", "T3", "t4"]}, UnknownTaxonError, "unknown taxon 't4'.*did you mean 'T4'"),
        ("genes.tre", {"taxa": ["T1", "T2", "T3"]}, ValueError, "at least 4 distinct taxa"),
        ("genes.tre", {"taxa": ["T1", "T2", "T1", "T3"]}, ValueError, "more than once"),
        ("genes.tre", {"jobs": -1}, ValueError, "jobs must be"),
        ("genes.tre", {"min_support": "weak"}, TypeError, "min_support is a number"),
        ("genes.tre", {"builder": "upgma"}, ValueError, "builder must be 'fastme' or 'nj'"),
        ("missing.tre", {}, TreeFileError, "missing.tre: No such file"),
        ("-", {}, ValueError, "standard input"),
        ([], {}, ValueError, "at least one tree file"),
    ],
)
def test_refusals_reach_the_client(client, tmp_path, monkeypatch, paths, options, error, message):
    (tmp_path / "genes.tre").write_text(gene_trees(5, seed=1, taxa=6))
    monkeypatch.chdir(tmp_path)  # relative paths are made absolute on the client
    with pytest.raises(error, match=message):
        sharding.sharded_species_tree(client, paths, **options)


def test_workers_that_read_different_trees_are_refused(client, tmp_path):
    # As when one path names different files on different machines.
    (tmp_path / "a.tre").write_text(gene_trees(20, seed=2, taxa=8))
    (tmp_path / "b.tre").write_text(gene_trees(21, seed=2, taxa=8))
    futures = [
        client.submit(sharding.count_species_share, [str(tmp_path / name)], None, False, 1, share, pure=False)
        for name, share in (("a.tre", (0, 1, 2)), ("b.tre", (1, 2, 2)))
    ]
    with pytest.raises(TreeFileError, match="the workers read different trees"):
        list(sharding._in_block_order(distributed, futures, ["genes.tre"]))


def test_a_sharded_species_tree_across_worker_processes(shared_file):
    # Real clusters run workers in processes: the task, its sums and its errors cross pickling.
    path = shared_file("mammals-37taxa-424genes.tre")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        for weighted in (False, True):
            found = sharding.sharded_species_tree(client, path, weighted=weighted, min_support=50)
            assert found == species_tree(path, weighted=weighted, min_support=50)
        with pytest.raises(UnknownTaxonError, match="unknown taxon 'Apis'"):
            sharding.sharded_species_tree(client, path, ["Apis", "A", "B", "C"])
