"""Sharded tallies of treetally_tools.sharding against one TreeSet over the same trees: the sums
must be exactly the single tallies, and the rebuilt time table the single time table."""

import gzip
from pathlib import Path

import pytest

import treetally
from treetally_tools import TreeFileError, UnknownTaxonError, quartet_tally, quintet_tally
from treetally_tools import sharding as dask_tally

REPO = Path(__file__).resolve().parents[2]
EXAMPLE_FILE = REPO / "examples" / "data" / "apes-6taxa-1000genes.tre"
QUINTET = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
QUINTET_OF_LETTERS = ("A", "B", "C", "D", "E")


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    # Threads in this process: fast to start, and nothing needs to be pickled to reach them.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def assert_same_as_single(total, path, quintet):
    single = treetally.TreeSet(path)
    assert total.trees == len(single)
    assert total.quartet_counts == single.tally_single_quartet(quintet[:4])
    assert total.quintet_counts == single.tally_single_quintet(quintet)
    expected = single.coalesence_times_by_topology(quintet)
    assert total.time_table() == pytest.approx(expected, rel=1e-12, abs=1e-15)
    assert total.quartet_tally() == quartet_tally(single, quintet[:4])
    assert total.quintet_tally() == quintet_tally(single, quintet)
    assert total.labelled_time_table().counts == tuple(total.quintet_counts)


@pytest.mark.parametrize("lines_per_shard", [1000, 300, 7])
def test_sharded_sum_equals_one_tree_set(client, lines_per_shard):
    total = dask_tally.sharded_tally(client, EXAMPLE_FILE, QUINTET, lines_per_shard)
    assert_same_as_single(total, EXAMPLE_FILE, QUINTET)


def test_shard_that_lacks_a_taxon_entirely(client, write_trees):
    # The first shard never mentions E: alone it would refuse the name, but within the whole
    # file those trees are simply skipped.
    lines = ["((A:1,B:1):1,(C:1,D:2):1);"] * 3 + ["(((A:1,B:2):1,C:1):1,(D:1,E:3):2);"] * 2
    lines += ["((A:1,C:1):1,(B:1,(D:1,E:1):1):1);", "((A,B),C,D,E);"]
    path = write_trees("\n".join(lines) + "\n")
    quintet = ("A", "B", "C", "D", "E")
    total = dask_tally.sharded_tally(client, path, quintet, lines_per_shard=3)
    assert_same_as_single(total, path, quintet)
    assert sum(total.quintet_counts) == 3
    assert (total.quintet_tally().lacking, total.quintet_tally().unresolved) == (3, 1)


def test_many_files_plain_and_compressed_sum_like_their_concatenation(client, tmp_path):
    lines = EXAMPLE_FILE.read_bytes().splitlines(keepends=True)
    (tmp_path / "first.tre").write_bytes(b"".join(lines[:400]))
    (tmp_path / "second.tre.gz").write_bytes(gzip.compress(b"".join(lines[400:])))
    total = dask_tally.sharded_tally(client, [tmp_path / "first.tre", tmp_path / "second.tre.gz"], QUINTET, 150)
    assert_same_as_single(total, EXAMPLE_FILE, QUINTET)


def test_name_in_no_shard_is_refused_like_a_single_tree_set(client, write_trees):
    path = write_trees("((A,B),(C,D),E);\n((A,C),(B,D),E);\n")
    quintet = ("A", "B", "C", "D", "Z")
    with pytest.raises(UnknownTaxonError, match="unknown taxon 'Z'"):
        dask_tally.sharded_tally(client, path, quintet, lines_per_shard=1)
    with pytest.raises(BaseException, match="Taxon not found") as raised:
        treetally.TreeSet(path).tally_single_quintet(quintet)
    assert type(raised.value).__name__ == "PanicException"


@pytest.mark.parametrize(
    "content, lines_per_shard, shards",
    [
        (b"a;\nb;\nc;\n", 2, [b"a;\nb;\n", b"c;\n"]),
        (b"a;\nb;\nc", 1, [b"a;\n", b"b;\n", b"c"]),
        (b"a;\r\nb;\r\n", 5, [b"a;\r\nb;\r\n"]),
        (b"", 3, []),
        (gzip.compress(b"a;\nb;\n"), 1, [b"a;\n", b"b;\n"]),
    ],
    ids=["last shard short", "no final newline", "CRLF kept", "empty file", "gzip file"],
)
def test_shards_are_whole_lines_with_bytes_unchanged(tmp_path, content, lines_per_shard, shards):
    path = tmp_path / "trees.nwk"
    path.write_bytes(content)
    assert list(dask_tally.shard_texts(path, lines_per_shard)) == shards


def test_shard_size_must_be_positive(tmp_path):
    path = tmp_path / "trees.nwk"
    path.write_bytes(b"a;\n")
    with pytest.raises(ValueError):
        list(dask_tally.shard_texts(path, 0))


def test_block_with_zero_lengths_stays_undivided():
    total = dask_tally.empty_tally(QUINTET)._replace(quintet_counts=[1] + [0] * 14)
    table = total.time_table()
    assert table[0] == 1.0 and table[15:25] == [0.0] * 10


def test_shards_of_equal_text_are_each_counted(client, write_trees):
    path = write_trees("((A:1,B:1):1,(C:1,D:2):1,E:1);\n" * 9)
    assert_same_as_single(dask_tally.sharded_tally(client, path, QUINTET_OF_LETTERS, 3), path, QUINTET_OF_LETTERS)


@pytest.mark.parametrize(
    "bad_line, place",
    [(b"((A:1,B:x),(C,D),E);\n", "trees.nwk, line 5"), (b"((A,\xff),(C,D),E);\n", "trees.nwk, line 5")],
    ids=["bad branch length", "not UTF-8"],
)
def test_a_shard_that_cannot_be_read_names_its_file_and_line(client, write_trees, bad_line, place):
    good = b"((A:1,B:1):1,(C:1,D:1):1,E:1);\n"
    path = write_trees(good * 4 + bad_line + good * 4)
    with pytest.raises(TreeFileError, match=f"cannot read .*{place}: "):
        dask_tally.sharded_tally(client, path, QUINTET_OF_LETTERS, lines_per_shard=3)


def test_shards_are_cut_by_size_and_an_endless_line_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(dask_tally, "SHARD_BYTES", 10)
    monkeypatch.setattr(dask_tally, "MAX_LINE_BYTES", 1 << 20)
    path = tmp_path / "trees.nwk"
    path.write_bytes(b"a;\nbbbb;\ncc;\n")
    assert list(dask_tally.numbered_shards(path, 10)) == [(1, b"a;\nbbbb;\n"), (3, b"cc;\n")]
    (tmp_path / "endless.gz").write_bytes(gzip.compress(b"((" * (1 << 20)))
    with pytest.raises(TreeFileError, match=r"endless.gz: line 1 is longer than 1 MiB"):
        list(dask_tally.shard_texts(tmp_path / "endless.gz", 10))
