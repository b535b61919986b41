"""Endless lines through the package and the command: refused by their number under a cap on
the address space, and the same cap in the loader, the sharder and the line check."""

import os
import pathlib
import subprocess
import sys

import pytest

CHILD_TIMEOUT = 600


# --- endless lines through the package and the command --------------------------------------------

COMMAND = pathlib.Path(sys.executable).parent / "treetally"
TWO_GIB = 2 << 30


def _address_space_of_two_gib():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (TWO_GIB, TWO_GIB))


def _zeros_gzip(path, mebibytes):
    import gzip

    zeros = bytes(1 << 20)
    with gzip.open(path, "wb", compresslevel=1) as packed:
        for _ in range(mebibytes):
            packed.write(zeros)
    return path


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer needs unlimited address space"
)
@pytest.mark.parametrize("source", ["/dev/zero", "gzip of zeros"])
@pytest.mark.parametrize("command", [["info"], ["check"], ["quartet", "A", "B", "C", "D"]])
def test_an_endless_line_is_refused_by_its_number_under_two_gib(tmp_path, source, command):
    if source != "/dev/zero":
        source = _zeros_gzip(tmp_path / "zeros.gz", 300)  # past the cap of 256 MiB
    done = subprocess.run(
        [str(COMMAND), command[0], str(source), *command[1:]],
        capture_output=True, timeout=CHILD_TIMEOUT, preexec_fn=_address_space_of_two_gib,
    )  # fmt: skip
    stderr = done.stderr.decode()
    assert done.returncode == 1, stderr
    assert stderr == f"treetally: error: cannot read {source}: line 1 is longer than 256 MiB: is this one tree per line?\n"


@pytest.mark.parametrize("form", ["file", "gzip", "stream", "strings"])
def test_the_package_refuses_a_line_past_its_cap_naming_the_line(tmp_path, monkeypatch, form):
    import gzip
    import io

    from treetally_tools import TreeFileError, load_trees, sources

    monkeypatch.setattr(sources, "MAX_LINE_BYTES", 100)
    lines = ["(A,B,C,D);", "", "(" + "x" * 100 + ",B);", "(A,B);"]
    text = "".join(line + "\n" for line in lines)
    source = {
        "file": lambda: tmp_path / "trees.nwk",
        "gzip": lambda: tmp_path / "trees.gz",
        "stream": lambda: io.BytesIO(text.encode()),
        "strings": lambda: lines,
    }[form]()
    (tmp_path / "trees.nwk").write_text(text)
    (tmp_path / "trees.gz").write_bytes(gzip.compress(text.encode()))
    with pytest.raises(TreeFileError, match=r": line 3 is longer than 100 bytes: is this one tree per line\?$"):
        load_trees(source)
    # At the cap itself the line loads.
    monkeypatch.setattr(sources, "MAX_LINE_BYTES", len(lines[2]))
    assert len(load_trees(tmp_path / "trees.nwk")) == 4


@pytest.mark.parametrize("spare", [0, -1])
def test_the_sharder_the_line_check_and_the_loader_agree_on_the_cap(tmp_path, monkeypatch, spare):
    from treetally_tools import TreeFileError, check, sharding, sources

    line = "((A,B),(C,D));"
    path = tmp_path / "trees.nwk"
    path.write_text(f"{line}\r\n{line}\n")  # a carriage return counts, the line feed does not
    cap = len(line) + 1 + spare
    for module in (sources, sharding, check):
        monkeypatch.setattr(module, "MAX_LINE_BYTES", cap)
    readers = [
        lambda: sources.load_trees(path), lambda: list(sharding.numbered_shards(path, 1)),
        lambda: check.check_source(path),
    ]  # fmt: skip
    for read in readers:
        if spare == 0:
            read()
        else:
            with pytest.raises(TreeFileError, match=f"line 1 is longer than {cap} bytes"):
                read()
