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
        loaded = _engine.load("/dev/fd/%d" % read_end)
    finally:
        feeder.join()
        os.close(read_end)
    original = treetally.TreeSet(str(tree_file))
    assert type(loaded) is treetally.TreeSet
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
