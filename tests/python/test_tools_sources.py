"""Trees from compressed files, streams and Newick strings give the module's own TreeSet of the
same trees, streamed to the loader without a file on disk; unreadable input is an ordinary,
named error, and a failure of the thread that feeds the loader wins over what the load says."""

import bz2
import gzip
import io
import lzma
import os
import stat
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

import treetally
import treetally_tools.sources as sources
from treetally_tools import TreeFileError, UnknownTaxonError, load_trees, quartet_table

APES = Path(__file__).resolve().parents[2] / "examples" / "data" / "apes-6taxa-1000genes.tre"
NAMES = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
COMPRESSORS = {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """The temporary folder of this process and its children (TMPDIR), to see that no input is
    ever copied there."""
    folder = tmp_path / "scratch"
    folder.mkdir()
    monkeypatch.setenv("TMPDIR", str(folder))
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def feeders():
    return [thread for thread in threading.enumerate() if thread.name == "treetally-feeder"]


def assert_same_trees(trees, reference_path=APES):
    reference = treetally.TreeSet(reference_path)
    assert isinstance(trees, treetally.TreeSet)
    assert (len(trees), trees.taxa()) == (len(reference), reference.taxa())
    assert trees.tally_single_quintet(NAMES) == reference.tally_single_quintet(NAMES)
    assert trees.coalesence_times_by_topology(NAMES) == reference.coalesence_times_by_topology(NAMES)


@pytest.mark.parametrize("suffix", ["gz", "bz2", "xz", "tre"])
def test_compressed_file_is_recognised_by_its_bytes_whatever_its_name(tmp_path, scratch, monkeypatch, suffix):
    text = APES.read_bytes()
    path = tmp_path / f"trees.{suffix}"
    path.write_bytes(COMPRESSORS[suffix](text) if suffix in COMPRESSORS else text)
    misnamed = tmp_path / "trees.txt"
    misnamed.write_bytes(path.read_bytes())
    piped = []
    engine_load = sources._engine.load
    def load(name, **options):
        piped.append((name, stat.S_ISFIFO(os.stat(name).st_mode)))
        return engine_load(name, **options)

    monkeypatch.setattr(sources._engine, "load", load)
    assert_same_trees(load_trees(path))
    assert_same_trees(load_trees(str(misnamed)))
    assert list(scratch.iterdir()) == [] and feeders() == []
    # The engine reads a descriptor; a plain file in place, only compressed data through a pipe.
    assert [fifo for _, fifo in piped] == [suffix in COMPRESSORS] * 2
    assert all(name.startswith("/dev/fd/") for name, _ in piped)


@pytest.mark.parametrize(
    "make",
    [
        lambda: io.BytesIO(APES.read_bytes()),
        lambda: io.BytesIO(gzip.compress(APES.read_bytes())),
        lambda: io.StringIO(APES.read_text(encoding="utf-8")),
        lambda: APES.read_text(encoding="utf-8").splitlines(),
        lambda: APES.read_text(encoding="utf-8").splitlines(keepends=True),
        lambda: (line for line in APES.read_text(encoding="utf-8").splitlines()),
    ],
    ids=["binary stream", "gzip stream", "text stream", "strings", "strings with newlines", "generator"],
)
def test_streams_and_newick_strings(scratch, make):
    assert_same_trees(load_trees(make()))
    assert list(scratch.iterdir()) == [] and feeders() == []


@pytest.mark.parametrize("packed", [False, True], ids=["plain", "gzip"])
def test_a_pipe_named_by_path_is_read_once(tmp_path, scratch, packed):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    data = gzip.compress(APES.read_bytes()) if packed else APES.read_bytes()
    writer = threading.Thread(target=pipe.write_bytes, args=(data,))
    writer.start()
    assert_same_trees(load_trees(pipe))
    writer.join()
    assert list(scratch.iterdir()) == []


def test_shared_gzip_file_loads_as_its_plain_text(shared_file, scratch):
    trees = load_trees(shared_file("birds-363taxa-635genes.tre.gz"))
    assert (len(trees), len(trees.taxa())) == (635, 363)
    assert list(scratch.iterdir()) == []


def test_a_table_of_a_gzip_file_leaves_nothing_on_disk(tmp_path, scratch):
    packed = tmp_path / "trees.gz"
    packed.write_bytes(gzip.compress(APES.read_bytes()))
    with quartet_table(packed, list(NAMES)) as table:
        assert len(list(table)) == 5
    with pytest.raises(UnknownTaxonError):
        quartet_table(packed, ["Human", "Chimp", "Gorilla", "Bonobo"])
    assert list(scratch.iterdir()) == []


def test_standard_input_in_a_child_with_its_own_tmpdir(scratch):
    code = "import treetally_tools as t; print(len(t.load_trees('-')))"
    for data in (APES.read_bytes(), gzip.compress(APES.read_bytes())):
        done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=120)
        assert done.stdout.split() == [b"1000"], done.stderr
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize(
    "content, reason",
    [
        (None, "No such file or directory"),
        (gzip.compress(b"((A,B),(C,D));\n" * 50)[:-12], "compressed data is damaged"),
        (b"((A,B),(C,D));\n((A,\xff),(C,D));\n", "not UTF-8"),
        (b"((A:1,B:x),(C,D));\n", "branch length is not a number"),
    ],
    ids=["missing", "truncated gzip", "not UTF-8", "bad branch length"],
)
def test_unreadable_input_is_an_ordinary_exception_naming_the_file(tmp_path, scratch, content, reason):
    path = tmp_path / "broken.tre"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(TreeFileError) as raised:
        load_trees(path, quiet=True)
    assert isinstance(raised.value, Exception)
    assert str(path) in str(raised.value) and reason in str(raised.value)
    assert list(scratch.iterdir()) == []


def test_a_failed_load_writes_nothing_to_standard_error(tmp_path, capfd):
    path = tmp_path / "broken.tre"
    path.write_bytes(b"((A:1,B:x),(C,D));\n")
    for quiet in (True, False):  # quiet is kept for callers; the engine's loads never report there
        with pytest.raises(TreeFileError):
            load_trees(path, quiet=quiet)
        assert capfd.readouterr().err == ""


BIG = b"((A:1,B:1):1,(C:1,D:1):1);\n" * 200000  # several times what a pipe holds


@pytest.mark.parametrize(
    "source, error, match",
    [
        (["((A,B),C);\n((A,C),B);"], ValueError, "string 0 holds a line break"),
        (["((A,B),C);"] * 3 + [b"((A,B),C);"], TypeError, "string 3 is a bytes"),
        (b"trees.tre", TypeError, "not bytes"),
        # The load fails on the first line; the feeder, cut short, must not hide that.
        (io.BytesIO(b"((A:1,B:x),(C,D));\n" + BIG), TreeFileError, "branch length is not a number"),
        # The feeder fails: its error wins over what the load makes of the input cut short.
        (io.BytesIO(gzip.compress(BIG)[:-300]), TreeFileError, "the compressed data is damaged"),
        (["((A:1,B:x),(C,D));", 5], TypeError, "string 1 is a int"),
        ((line.decode() for line in BIG.splitlines()[:70000] + [b"((A,B),\n(C,D));"]), ValueError, "string 70000"),
    ],
    ids=["two trees in one string", "bytes item", "bytes path", "load fails", "damaged gzip stream",
         "both fail", "line break after many trees"],  # fmt: skip
)
def test_malformed_sources_are_refused(source, error, match):
    with pytest.raises(error, match=match):
        load_trees(source, quiet=True)
    assert feeders() == []


OPENS_OF_THE_PATH = """
import sys
from treetally_tools import check, cli, load_trees
path = sys.argv[1]
opens = []
sys.addaudithook(lambda event, args: opens.append(args[0]) if event == "open" and args[0] == path else None)
{call}
print("opens", len(opens))
"""


@pytest.mark.parametrize("packed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize(
    "call",
    [
        "load_trees(path)",
        "check.check_source(path)",
        "cli.main(['info', path])",
        "cli.main(['check', path])",
    ],
)
def test_a_path_is_opened_once(tmp_path, packed, call):
    path = tmp_path / "trees.tre"
    path.write_bytes(gzip.compress(APES.read_bytes()) if packed else APES.read_bytes())
    code = OPENS_OF_THE_PATH.format(call=call)
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, timeout=120)
    assert done.stdout.split()[-2:] == [b"opens", b"1"], done.stderr.decode()
