"""Failures are told apart by class, never by their text: each kind of failure of the engine
reaches its own class, the reason TreeFileError gives and the command's exit status."""

import errno
import os
import pickle
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import treetally
from treetally_tools import _engine, cli, load_trees, sources
from treetally_tools.errors import (
    BranchLengthError, EngineError, FileOpenError, FileReadError, LineTooLongError, MissingExtraError, OutputError,
    SupportLabelError, TaxonNotFoundError, TreeFileError, TreeReadError, TreeSizeError, UnknownTaxonError, UsageError,
    read_reason,
)  # fmt: skip

APES = Path(__file__).resolve().parents[2] / "examples" / "data" / "apes-6taxa-1000genes.tre"
READ_KINDS = (TreeReadError, FileOpenError, FileReadError, LineTooLongError, BranchLengthError, SupportLabelError,
              TreeSizeError)  # fmt: skip


@pytest.mark.parametrize(
    "content, options, kind, reason",
    [
        (b"((A,B),(C,D));\n((A,\xff),(C,D));\n", {}, FileReadError, "a line is not UTF-8 text, or reading failed"),
        (b"((A:1,B:x),(C,D));\n", {}, BranchLengthError, "a branch length is not a number"),
        (b"((A,B)x,(C,D));\n", {"min_support": 50}, SupportLabelError,
         'line 1: the internal label "x" is not a support value'),
        (b"((A,B),(C,D));\n((A,B),(C,D,E));\n", {"max_line_bytes": 14}, LineTooLongError,
         "line 2 is longer than 14 bytes: is this one tree per line?"),
    ],
    ids=["not UTF-8", "bad branch length", "bad support label", "line too long"],
)  # fmt: skip
def test_unreadable_input_is_the_class_of_its_kind_and_says_why(tmp_path, monkeypatch, content, options, kind, reason):
    path = tmp_path / "trees.tre"
    path.write_bytes(content)
    with pytest.raises(kind) as raised:
        _engine.load(str(path), **options)
    assert type(raised.value) is kind and isinstance(raised.value, TreeReadError)
    assert read_reason(raised.value) == reason
    cap = options.pop("max_line_bytes", None)
    if cap is not None:
        monkeypatch.setattr(sources, "MAX_LINE_BYTES", cap)
    with pytest.raises(TreeFileError) as reported:
        load_trees(path, **options)
    assert (reported.value.source, reported.value.reason) == (str(path), reason)
    with pytest.raises(TreeFileError, match=reason):  # streamed through a pipe, the same
        load_trees(content.decode("utf-8", "replace").splitlines() if kind is not FileReadError else path.open("rb"),
                   **options)  # fmt: skip


@pytest.mark.parametrize(
    "path, kind, reason",
    [("/nonexistent/trees.tre", FileOpenError, "the file cannot be opened"),
     ("/", FileReadError, "a line is not UTF-8 text, or reading failed")],
    ids=["missing", "directory"],
)  # fmt: skip
def test_a_file_the_engine_cannot_open_or_read_is_its_own_class(path, kind, reason):
    with pytest.raises(kind) as raised:
        _engine.load(path)
    assert "Failed to load tree collection" in str(raised.value)  # the core's text, as the module words it
    with pytest.raises(TreeFileError) as reported:
        sources._reported(lambda: _engine.load(path), "trees.tre")
    assert str(reported.value) == f"cannot read trees.tre: {reason}"


def test_an_engine_fault_while_loading_is_not_passed_off_as_unreadable_input():
    def fault():
        raise EngineError("index out of bounds: the len is 3 but the index is 3")

    with pytest.raises(EngineError) as raised:
        sources._reported(fault, "trees.tre")
    assert type(raised.value) is EngineError


@pytest.mark.parametrize("name", ["Z", "Z\x00Y", "Hümän"])
@pytest.mark.parametrize(
    "call",
    [
        lambda trees, name: _engine.tally(trees, ("Human", "Chimp", "Gorilla", name)),
        lambda trees, name: _engine.presence_counts(trees, (name,)),
        lambda trees, name: _engine.Table(trees, 4, ("Human", "Chimp", "Gorilla", name)),
    ],
    ids=["tally", "presence", "table"],
)
def test_an_unknown_name_is_taxon_not_found_and_still_a_value_error(call, name):
    trees = treetally.TreeSet(str(APES))
    with pytest.raises(TaxonNotFoundError) as raised:
        call(trees, name)
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, EngineError)
    assert str(raised.value) == f"Taxon not found: {name}"  # the whole name, past a NUL too


def panic():
    try:
        treetally.TreeSet(str(APES)).tally_single_quartet(("Human", "Chimp", "Gorilla", "Z"))
    except BaseException as error:  # PanicException
        return error
    raise AssertionError("no panic")


@pytest.mark.parametrize(
    "error, status",
    [
        (UsageError("three is not four"), 2),
        (UnknownTaxonError("Humna", ["Human"]), 2),
        (MissingExtraError("pip install treetally[plot]"), 2),
        (TaxonNotFoundError("Taxon not found: Z"), 2),
        (TreeFileError("trees.tre", "it holds no trees"), 1),
        *[(kind("line 1"), 1) for kind in READ_KINDS],
        (OutputError("standard output", "No space left on device"), 4),
        (MemoryError(), 3),
        (MemoryError("not enough memory to load the trees of big.tre"), 3),
        (OSError(errno.ENOMEM, "Cannot allocate memory"), 3),
        (EngineError("Invalid bipartitions"), 70),
        (ValueError("three is not four"), 70),
        (OSError(errno.EIO, "Input/output error"), 70),
        (RuntimeError("can't start new thread"), 70),  # the place that starts a thread says so
        (panic, 70),  # made when the test runs: the module reports it on standard error
    ],
    ids=lambda value: type(value).__name__ if isinstance(value, BaseException) else getattr(value, "__name__", str(value)),
)
def test_each_class_of_failure_has_its_exit_status(error, status):
    if not isinstance(error, BaseException):
        error = error()
    assert cli.exit_status(error) == status


# Runs the command with run_info replaced by one that raises the engine's class named by argv[1].
FAULTY = textwrap.dedent(
    """
    import sys
    from treetally_tools import cli, errors
    kind = getattr(errors, sys.argv.pop(1))
    def run_info(arguments, out):
        raise kind("what the core said")
    cli.run_info = run_info
    sys.argv[1:] = ["info", sys.argv[1]]
    cli.entry_point()
    """
)


@pytest.mark.parametrize(
    "kind, status",
    [("FileOpenError", 1), ("SupportLabelError", 1), ("TaxonNotFoundError", 2), ("EngineError", 70)],
)
def test_the_command_ends_each_engine_class_with_its_status(kind, status):
    result = subprocess.run([sys.executable, "-c", FAULTY, kind, str(APES)], capture_output=True, timeout=60)
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    if status == 70:
        assert "Traceback" in stderr and f"internal error ({kind})" in stderr
    else:
        assert stderr == "treetally: error: what the core said\n"


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="Linux")
def test_a_feeder_that_cannot_start_is_a_memory_error_naming_the_load(monkeypatch):
    def refused(self):
        raise RuntimeError("can't start new thread")

    before = open_descriptors()
    monkeypatch.setattr(threading.Thread, "start", refused)
    with pytest.raises(MemoryError, match="^cannot start a thread to load the trees of the Newick strings$"):
        load_trees(["((A,B),(C,D));"])
    assert open_descriptors() == before


@pytest.mark.parametrize(
    "error",
    [
        *[kind("line 2 is longer than 14 bytes") for kind in READ_KINDS],
        EngineError("Invalid bipartitions"),
        TaxonNotFoundError("Taxon not found: Z"),
        TreeFileError("trees.tre", "a branch length is not a number"),
        UnknownTaxonError("Humna", ["Human"]),
    ],
    ids=lambda error: type(error).__name__,
)
def test_errors_survive_pickling_as_a_dask_worker_sends_them(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error) and copy.args == error.args
