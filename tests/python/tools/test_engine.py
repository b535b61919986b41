"""The companion's native engine at its own boundary: which objects it takes, the sets it loads
itself, and how its tables stop (Ctrl-C, closing, not enough memory). The rows' values are
checked against the module in the table and exactness tests."""

import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import treetally
from treetally_tools import _engine

TREES = "((A:1,B:1):1,(C:1,D:1):1,E:2);\n((A,C),(B,D),E);\n(A,B,C,D);\n"


@pytest.fixture
def tree_file(tmp_path):
    path = tmp_path / "trees.tre"
    path.write_text(TREES)
    return path


@pytest.mark.parametrize(
    "call",
    [
        lambda bad: _engine.tally(bad, ("A", "B", "C", "D")),
        lambda bad: _engine.taxon_tree_counts(bad),
        lambda bad: _engine.Table(bad, 4, ("A", "B", "C", "D")),
    ],
)
@pytest.mark.parametrize("bad", [None, "trees.tre", object()])
def test_only_a_treetally_tree_set_is_taken(call, bad):
    with pytest.raises(TypeError, match="treetally.TreeSet"):
        call(bad)


def test_a_set_loaded_through_a_pipe_is_a_module_tree_set(tree_file):
    read_end, write_end = os.pipe()

    def feed():
        with os.fdopen(write_end, "wb") as pipe:
            pipe.write(tree_file.read_bytes())

    feeder = threading.Thread(target=feed)
    feeder.start()  # the engine reads without the interpreter lock, so the feeder runs
    try:
        loaded, negative_lengths = _engine.load("/dev/fd/%d" % read_end)
    finally:
        feeder.join()
        os.close(read_end)
    original = treetally.TreeSet(str(tree_file))
    assert type(loaded) is treetally.TreeSet and negative_lengths == 0
    assert loaded.taxa() == original.taxa() and len(loaded) == len(original)
    names = ("A", "B", "C", "D", "E")
    assert loaded.coalesence_times_by_topology(names) == original.coalesence_times_by_topology(names)
    assert _engine.tally(loaded, names) == (original.tally_single_quintet(names), 2)


@pytest.mark.parametrize(
    "path, message", [("/nonexistent/trees.tre", "Could not read file"), ("/", "Error reading file")]
)
def test_a_failed_load_is_an_engine_error_with_the_modules_text(path, message):
    with pytest.raises(_engine.EngineError, match=message):
        _engine.load(path)


def test_unknown_and_repeated_taxa_are_refused(tree_file):
    trees = treetally.TreeSet(str(tree_file))
    with pytest.raises(ValueError, match="Taxon not found: Z"):
        _engine.tally(trees, ("A", "B", "C", "Z"))
    with pytest.raises(ValueError, match="distinct"):
        _engine.Table(trees, 4, ("A", "B", "C", "A"))


def test_a_closed_table_says_so(tree_file):
    table = _engine.Table(treetally.TreeSet(str(tree_file)), 4, ("A", "B", "C", "D", "E"), jobs=2)
    assert table.rows == 5
    assert table.next_block() is not None
    table.close()
    with pytest.raises(ValueError, match="closed"):
        table.next_block()


# A child that starts a table far too long to finish and reports how it ended.
LONG_TABLE = textwrap.dedent(
    """
    import random, sys, time, treetally
    from treetally_tools import _engine
    path, taxa = sys.argv[1], 60
    with open(path, "w") as out:
        rng = random.Random(1)
        for _ in range(3000):
            names = ["t%d" % k for k in range(taxa)]
            rng.shuffle(names)
            while len(names) > 1:
                a, b = names.pop(), names.pop()
                names.insert(rng.randrange(len(names) + 1), "(%s,%s)" % (a, b))
            out.write(names[0] + ";\\n")
    trees = treetally.TreeSet(path)
    table = _engine.Table(trees, 5, tuple(trees.taxa()), jobs=2)
    try:  # a signal right after the line below must land inside the try
        print("counting", flush=True)
        while table.next_block() is not None:
            pass
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


@pytest.mark.skipif(sys.platform != "linux", reason="signals to a child process")
def test_ctrl_c_stops_a_table_and_its_threads(tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", LONG_TABLE, str(tmp_path / "big.tre")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "counting\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert out == "interrupted\n", err
    assert child.returncode == 0


@pytest.mark.serial  # the refusal weighs the memory the machine has left
def test_a_table_too_large_for_memory_is_refused_at_once(tmp_path):
    # 400 taxa that never share a tree: the pair rows alone would need far more than the 2 GB
    # of address space the child may use, so the table is refused before anything is built.
    script = textwrap.dedent(
        """
        import resource, sys, treetally
        from treetally_tools import _engine
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        with open(sys.argv[1], "w") as out:
            for tree in range(20000):
                out.write("(%s);\\n" % ",".join("t%d" % (tree * 2 + k) for k in range(2)))
        trees = treetally.TreeSet(sys.argv[1])
        try:
            _engine.Table(trees, 4, tuple(trees.taxa()[:4000]))
        except MemoryError as error:
            print(error)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "sparse.tre")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "needs about" in done.stdout and "available" in done.stdout


EXAMPLE_FILE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "examples", "data", "apes-6taxa-1000genes.tre")


def runs_of(count, cuts):
    """Consecutive (start, stop) pairs covering blocks 0 .. count-1, cut at `cuts`."""
    bounds = [0, *cuts, count]
    return list(zip(bounds, bounds[1:]))


@pytest.mark.parametrize("size", [4, 5])
@pytest.mark.parametrize("cuts", [[], [0], [1, 1, 2], [1, 2]], ids=["whole", "empty first", "empty middle", "thirds"])
def test_runs_of_blocks_join_into_the_whole_table(size, cuts):
    trees = treetally.TreeSet(EXAMPLE_FILE)
    taxa = tuple(reversed(trees.taxa()))
    whole = _engine.Table(trees, size, taxa, rows_per_block=1)
    count = whole.block_count
    assert count >= 3  # blocks of whole prefixes: 3 for 6 taxa, whatever the size
    columns = whole.all_columns()
    text = _engine.Table(trees, size, taxa, rows_per_block=1, text_form="json", taxon_cells=taxa)
    texts = b"".join(iter(text.next_text, None))
    joined, joined_blocks, joined_texts = {}, {}, b""
    for start, stop in runs_of(count, cuts):
        part = _engine.Table(trees, size, taxa, jobs=2, rows_per_block=1, blocks=(start, stop))
        assert (part.rows, part.block_count) == (whole.rows, count)  # the whole table's
        for name, data in part.all_columns().items():
            joined[name] = joined.get(name, b"") + data
        for block in iter(_engine.Table(trees, size, taxa, rows_per_block=1, blocks=(start, stop)).next_block, None):
            for name, data in block.items():
                joined_blocks[name] = joined_blocks.get(name, b"") + data
        text_run = _engine.Table(
            trees, size, taxa, rows_per_block=1, blocks=(start, stop), text_form="json", taxon_cells=taxa
        )
        joined_texts += b"".join(iter(text_run.next_text, None))
    assert joined == columns
    assert joined_blocks == columns
    assert joined_texts == texts


@pytest.mark.parametrize("cuts", [[1], [1, 3]], ids=["two runs", "three runs"])
def test_runs_of_an_adjusted_table_with_species_columns_join_into_the_whole(cuts):
    # Each run adjusts over the whole table's p-values, not its own rows'.
    trees = treetally.TreeSet(EXAMPLE_FILE)
    taxa = tuple(reversed(trees.taxa()))
    options = {"rows_per_block": 1, "species": trees, "adjust": "holm"}
    whole_table = _engine.Table(trees, 4, taxa, **options)
    count = whole_table.block_count
    whole = whole_table.all_columns()
    text = b"".join(iter(_engine.Table(trees, 4, taxa, text_form="csv", taxon_cells=taxa, **options).next_text, None))
    joined, joined_text = {}, b""
    for start, stop in runs_of(count, cuts):
        for name, data in _engine.Table(trees, 4, taxa, blocks=(start, stop), **options).all_columns().items():
            joined[name] = joined.get(name, b"") + data
        run = _engine.Table(trees, 4, taxa, blocks=(start, stop), text_form="csv", taxon_cells=taxa, **options)
        joined_text += b"".join(iter(run.next_text, None))
    assert joined == whole and joined_text == text
    assert {"species_code", "minor_equal_p_adj", "star_p_adj"} <= set(whole)


@pytest.mark.parametrize(
    "blocks, error",
    [((-1, 2), ValueError), ((3, 2), ValueError), ((0, 4), ValueError), ((0,), TypeError), ([0, 1], TypeError),
     (("a", 1), TypeError)],
)  # fmt: skip
def test_a_run_of_blocks_outside_the_table_is_refused(tree_file, blocks, error):
    trees = treetally.TreeSet(str(tree_file))
    assert _engine.Table(trees, 4, ("A", "B", "C", "D", "E"), rows_per_block=1).block_count == 3
    with pytest.raises(error, match="blocks"):
        _engine.Table(trees, 4, ("A", "B", "C", "D", "E"), rows_per_block=1, blocks=blocks)


@pytest.mark.parametrize("form", ["csv", "json"])
@pytest.mark.parametrize("extras", [False, True], ids=["plain", "species and adjusted"])
def test_rows_counted_elsewhere_are_formatted_as_the_table_formats_them(tree_file, form, extras):
    trees = treetally.TreeSet(str(tree_file))
    options = {"species": trees, "adjust": "bh"} if extras else {}  # its first tree as the species tree
    taxa = ("E", "A", "B", "C", "D")
    cells = ("e", '"a"', "b", "c", "d")
    blocks = list(iter(_engine.Table(trees, 4, taxa, rows_per_block=1, **options).next_block, None))
    text_table = _engine.Table(trees, 4, taxa, rows_per_block=1, text_form=form, taxon_cells=cells, **options)
    texts = list(iter(text_table.next_text, None))
    assert len(blocks) == len(texts) > 1 and ("species_code" in blocks[0]) == extras
    for k, (block, text) in enumerate(zip(blocks, texts)):
        assert _engine.format_rows(block, 4, form, cells, k == 0).encode() == text
    block = blocks[0]
    shorter = {**block, "star_p": block["star_p"][:-8]}
    lacking = {name: column for name, column in block.items() if name != "holding"}
    for columns, size, taxon_cells, message in [
        (block, 4, cells[:3], "out of range"),
        (block, 3, cells, "size"),
        (shorter, 4, cells, "equal lengths"),
        (lacking, 4, cells, "lack holding"),
        ({**block, "other": block["holding"]}, 4, cells, "others"),
    ]:
        with pytest.raises(ValueError, match=message):
            _engine.format_rows(columns, size, form, taxon_cells, True)
