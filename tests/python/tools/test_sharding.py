"""Sharded tallies of treetally_tools.sharding against one TreeSet over the same trees: the sums
must be exactly the single tallies, and the rebuilt time table the single time table."""

import gzip
import io
import random
from pathlib import Path

import numpy
import pytest

import treetally
from treetally_tools import (
    TreeFileError, UnknownTaxonError, quartet_table, quartet_tally, quintet_table, quintet_tally,
)  # fmt: skip
from treetally_tools import sharding as dask_tally

REPO = Path(__file__).resolve().parents[3]
EXAMPLE_FILE = REPO / "examples" / "data" / "apes-6taxa-1000genes.tre"
QUINTET = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
QUINTET_OF_LETTERS = ("A", "B", "C", "D", "E")


distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
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


# Whole tables across the workers: each loads every tree and counts a run of blocks; the joined
# table must be one machine's, column for column.


def random_trees(count, seed, taxa=20, missing=4):
    """Trees over `taxa` taxa (up to `missing` absent from each tree), with lengths that are
    often zero and support labels on some internal nodes."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        nodes = [f"T{k}:{rng.choice([0, 0.05, 1])}" for k in rng.sample(range(taxa), rng.randint(taxa - missing, taxa))]
        while len(nodes) > 2:
            children = [nodes.pop(rng.randrange(len(nodes))) for _ in range(rng.choice([2, 2, 3]))]
            label = rng.choice(["", str(rng.randint(0, 100))])
            nodes.append(f"({','.join(children)}){label}:{rng.choice([0, 0.05, 2])}")
        lines.append(f"({','.join(nodes)});\n")
    return "".join(lines)


@pytest.fixture(scope="module")
def table_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("table") / "trees.tre"
    path.write_text(random_trees(150, seed=5))
    return path


def assert_same_columns(found, expected):
    """Columns of equal names in the same order and equal values, NaN where NaN is."""
    assert list(found) == list(expected)
    for name, column in expected.items():
        assert found[name].dtype == column.dtype and numpy.array_equal(found[name], column, equal_nan=True), name


def one_machine(source, size, taxa=None, **options):
    return (quartet_table if size == 4 else quintet_table)(source, taxa, **options)


@pytest.mark.parametrize("size", [4, 5])
@pytest.mark.parametrize("taxa", [None, [f"T{k}" for k in (19, 3, 7, 0, 12, 5, 11, 2, 16, 9)]], ids=["all", "given"])
@pytest.mark.parametrize("rule", [{}, {"collapse_length": 0.05}, {"min_support": 50}], ids=["as read", "short", "weak"])
def test_sharded_table_is_one_machines_table(client, table_file, size, taxa, rule):
    sharded = dask_tally.sharded_table(client, table_file, size, taxa, **rule)
    single = one_machine(table_file, size, taxa, **rule)
    assert sharded.taxa == single.taxa
    assert_same_columns(sharded.to_columns(), single.to_columns())
    assert sharded.occupancy() == single.occupancy()
    if taxa is None and not rule:
        assert list(sharded) == list(single)


def test_a_table_of_fewer_blocks_than_workers(client, write_trees):
    # Six taxa make a single block of quintets: one worker counts nothing, and that is joined too.
    path = write_trees("((A,B),(C,(D,F)),E);\n((A,C),(B,D),(E,F));\n(A,B,C,D,E);\n")
    sharded = dask_tally.sharded_table(client, path, 5, jobs=2)
    assert_same_columns(sharded.to_columns(), quintet_table(path).to_columns())


def test_several_files_are_counted_as_their_concatenation(client, tmp_path):
    text = random_trees(60, seed=9)
    lines = text.splitlines(keepends=True)
    (tmp_path / "first.tre").write_text("".join(lines[:25]).rstrip("\n"))  # no final line feed
    (tmp_path / "second.tre.gz").write_bytes(gzip.compress("".join(lines[25:]).encode()))
    files = [tmp_path / "first.tre", tmp_path / "second.tre.gz"]
    sharded = dask_tally.sharded_table(client, files, 4, collapse_length=0)
    assert_same_columns(sharded.to_columns(), quartet_table(lines, collapse_length=0).to_columns())


@pytest.mark.parametrize("form", ["csv", "json"])
@pytest.mark.parametrize("spread", [{}, {"unresolved": "third", "collapse_length": 0.05}], ids=["drop", "third"])
def test_a_sharded_table_writes_and_converts_as_one_machines(client, table_file, tmp_path, form, spread):
    species = tmp_path / "species.tre"
    species.write_text("(((T0:1,T1:1):0.5,(T2:1,T3:1):2):1,((T4:1,T5:1):0.1,T6:1):1);\n")
    taxa = [f"T{k}" for k in range(7)]
    options = {"species_tree": species, "adjust": "bh", **spread}
    sharded = dask_tally.sharded_table(client, table_file, 4, taxa, **options)
    single = quartet_table(table_file, taxa, **options)
    written, expected = io.StringIO(), io.StringIO()
    sharded.write(written, form)
    single.write(expected, form)
    assert written.getvalue() == expected.getvalue()
    assert_same_columns(sharded.to_columns(), single.to_columns())  # the extras among them
    plain, plain_expected = io.StringIO(), io.StringIO()
    dask_tally.sharded_table(client, table_file, 5).write(plain, form)
    quintet_table(table_file).write(plain_expected, form)
    assert plain.getvalue() == plain_expected.getvalue()
    if form == "csv":
        pytest.importorskip("pandas")
        assert sharded.to_dataframe().equals(single.to_dataframe())
        assert list(sharded.extended_rows()) == list(single.extended_rows())


def test_an_unknown_taxon_reaches_the_client_intact(client, table_file):
    with pytest.raises(UnknownTaxonError) as raised:
        dask_tally.sharded_table(client, table_file, 4, ["T1", "T2", "T3", "t4"])
    assert (raised.value.name, raised.value.suggestions) == ("t4", ["T4"])
    assert str(raised.value) == "unknown taxon 't4': no tree holds it; did you mean 'T4'?"


@pytest.mark.parametrize(
    "paths, size, options, error, message",
    [
        ("missing.tre", 4, {}, TreeFileError, "missing.tre: No such file"),
        ("trees.tre", 4, {"taxa": ["T1", "T2", "T1", "T3"]}, ValueError, "more than once"),
        ("trees.tre", 4, {"taxa": ["T1", "T2", "T3"]}, ValueError, "at least 4 distinct taxa"),
        ("trees.tre", 6, {}, ValueError, "4 or 5 taxa"),
        ("trees.tre", 5, {"adjust": "holm"}, ValueError, "quartet tables"),
        ("trees.tre", 4, {"collapse_length": "short"}, TypeError, "collapse_length is a number"),
        ("trees.tre", 4, {"jobs": -1}, ValueError, "jobs must be"),
        ("-", 4, {}, ValueError, "standard input"),
        ([], 4, {}, ValueError, "at least one tree file"),
        ([b"trees.tre"], 4, {}, TypeError, "not a bytes"),
    ],
)  # fmt: skip
def test_refusals_of_a_sharded_table(client, tmp_path, monkeypatch, paths, size, options, error, message):
    (tmp_path / "trees.tre").write_text(random_trees(5, seed=1, taxa=6))
    monkeypatch.chdir(tmp_path)  # relative paths are made absolute on the client
    with pytest.raises(error, match=message):
        dask_tally.sharded_table(client, paths, size, **options)


def test_workers_that_read_different_trees_are_refused(client, tmp_path):
    # As when one path names different files on different machines.
    (tmp_path / "a.tre").write_text(random_trees(20, seed=2, taxa=8))
    (tmp_path / "b.tre").write_text(random_trees(21, seed=2, taxa=8))
    futures = [
        client.submit(dask_tally.count_table_share, [str(tmp_path / name)], 4, None, 1, share, pure=False)
        for name, share in (("a.tre", (0, 1, 2)), ("b.tre", (1, 2, 2)))
    ]
    with pytest.raises(TreeFileError, match="the workers read different trees"):
        dask_tally._gathered_table(distributed, futures, 4, ["trees.tre"])


@pytest.mark.parametrize("rule", [{"collapse_length": 0.05}, {"min_support": 50}])
def test_sharded_tally_contracts_branches_as_one_load(client, tmp_path, rule):
    path = tmp_path / "trees.tre"
    path.write_text(random_trees(40, seed=3, taxa=6, missing=1))
    quintet = ("T0", "T1", "T2", "T3", "T4")
    total = dask_tally.sharded_tally(client, path, quintet, 7, **rule)
    assert total.quintet_tally() == quintet_tally(path, quintet, **rule)
    assert total.quartet_tally() == quartet_tally(path, quintet[:4], **rule)
    assert total.quintet_tally() != quintet_tally(path, quintet)  # the rule changed something


def test_a_sharded_table_across_worker_processes(shared_file):
    # Real clusters run workers in processes: the task, its share and its errors cross pickling.
    path = shared_file("bees-32taxa-853genes.tre")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        sharded = dask_tally.sharded_table(client, path, 4, min_support=90)
        assert_same_columns(sharded.to_columns(), quartet_table(path, min_support=90).to_columns())
        with pytest.raises(UnknownTaxonError, match="unknown taxon 'Apis'"):
            dask_tally.sharded_table(client, path, 4, ["Apis", *sharded.taxa[:3]])


# Lengths below zero (two a tree) and a taxon named twice on lines spread over several shards.
NOTED_TREES = "((A:1,B:-1):1,(C:1,D:1):-2,E:1);\n" * 3 + "((A,B),(C,D),(E,A));\n" * 2 + "((A,B),(C,E),D);\n" * 4


def caught_warnings(call):
    """What `call()` warns, each warning kept (none folded into an earlier one)."""
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return sorted((type(found.message).__name__, str(found.message), found.filename) for found in caught)


def one_machines_warnings(path, **rule):
    return [(kind, message, __file__) for kind, message, _ in caught_warnings(lambda: quartet_table(path, **rule))]


@pytest.mark.parametrize("text", [NOTED_TREES, NOTED_TREES.replace("(A,B)", "(A,B)80")])  # labels in some shards
@pytest.mark.parametrize("run", ["tally", "table", "species_tree"])
def test_a_sharded_run_warns_once_as_one_load_does(client, write_trees, text, run):
    path = write_trees(text)
    calls = {
        "tally": lambda: dask_tally.sharded_tally(client, path, QUINTET_OF_LETTERS, 2, min_support=50),
        "table": lambda: dask_tally.sharded_table(client, path, 4, min_support=50),
        "species_tree": lambda: dask_tally.sharded_species_tree(client, path, min_support=50),
    }
    found = caught_warnings(calls[run])
    assert found == one_machines_warnings(path, min_support=50)
    kinds = [kind for kind, _, _ in found]
    assert kinds.count("NegativeLengthWarning") == 1 and len(kinds) == (3 if text == NOTED_TREES else 2)
    assert f"{path}: 6 branch lengths below zero" in found[0][1]


def test_a_sharded_tally_warns_of_each_files_lengths_once(client, tmp_path):
    first, second = tmp_path / "first.tre", tmp_path / "second.tre"
    first.write_text(NOTED_TREES)
    second.write_text(NOTED_TREES.replace("E:1)", "E:-1)"))  # three more
    found = caught_warnings(lambda: dask_tally.sharded_tally(client, [first, second], QUINTET_OF_LETTERS, 3))
    assert [message for _, message, _ in found] == [
        f"{first}: 6 branch lengths below zero; `treetally check` lists them",
        f"{second}: 9 branch lengths below zero; `treetally check` lists them",
        "4 trees name a taxon on more than one leaf (only the later leaf counts): to count copies or individuals "
        "as their species, give a taxon map (--taxon-map, Python taxon_map=); `treetally check` lists them",
    ]


def test_a_shard_tallied_alone_warns_naming_its_file(write_trees):
    found = caught_warnings(lambda: dask_tally.tally_shard_text(NOTED_TREES.encode(), QUINTET_OF_LETTERS, "genes.tre"))
    assert [message.split(";")[0] for _, message, _ in found] == [
        "genes.tre: 6 branch lengths below zero",
        "2 trees name a taxon on more than one leaf (only the later leaf counts): to count copies or individuals "
        "as their species, give a taxon map (--taxon-map, Python taxon_map=)",
    ]
