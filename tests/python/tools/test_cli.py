"""The treetally command as a user runs it: every subcommand's output read back and compared
with the module's answers; standard input and compressed files; one-line errors with the
documented exit status; plots."""

import csv
import gzip
import io
import json
import math
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import treetally

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
NAMES = ["Human", "Chimp", "Gorilla", "Orangutan", "Gibbon"]
SCRIPT = Path(sys.executable).parent / "treetally"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("treetally") or "treetally"]


def run(*arguments, stdin=None):
    return subprocess.run(
        COMMAND + [str(argument) for argument in arguments], input=stdin, capture_output=True, timeout=300
    )


def output_of(*arguments, stdin=None):
    result = run(*arguments, stdin=stdin)
    assert result.returncode == 0 and result.stderr == b"", result.stderr.decode()
    return result.stdout.decode("utf-8")


@pytest.fixture(params=["apes", "introns"])
def gene_trees(request, shared_file):
    """A file and five of its taxa: the shipped apes, and introns where aptMan is often missing."""
    if request.param == "apes":
        return APES, NAMES
    return shared_file("palaeognaths-15taxa-5016introns.tre"), ["aptMan", "casCas", "droNov", "galGal", "rheAme"]


@pytest.mark.parametrize("size", [4, 5])
def test_tally_commands_in_json_and_csv(gene_trees, size):
    path, names = gene_trees
    trees = treetally.TreeSet(path)
    counts = (trees.tally_single_quartet if size == 4 else trees.tally_single_quintet)(tuple(names[:size]))
    command = "quartet" if size == 4 else "quintet"
    records = json.loads(output_of(command, path, *names[:size], "--format", "json"))
    assert [record["count"] for record in records] == counts
    assert [record["code"] for record in records] == list(range(len(counts)))
    assert {"code", "topology", "count", "fraction"} <= set(records[0])
    rows = list(csv.DictReader(io.StringIO(output_of(command, path, *names[:size], "--format", "csv"))))
    assert [int(row["count"]) for row in rows] == counts
    assert [row["topology"] for row in rows] == [record["topology"] for record in records]
    text = output_of(command, path, *names[:size])
    assert f": {sum(counts)} of {len(trees)} trees resolved; " in text.splitlines()[0]
    assert text.splitlines()[1].split() == ["code", "topology", "count", "fraction"]


def test_times_command_reads_back_as_the_modules_table(gene_trees):
    path, names = gene_trees
    values = treetally.TreeSet(path).coalesence_times_by_topology(tuple(names))
    records = json.loads(output_of("times", path, *names, "--format", "json"))
    assert [record["relative_length"] for record in records] == values[15:]
    assert [records[10 * code]["share"] for code in range(15)] == values[:15]
    rows = list(csv.DictReader(io.StringIO(output_of("times", path, *names, "--format", "csv"))))
    assert [float(row["relative_length"]) for row in rows] == values[15:]
    assert f"{names[0]}-{names[1]}" in output_of("times", path, *names)


def test_info_command_counts_the_trees_holding_each_taxon(gene_trees):
    path, _ = gene_trees
    trees = treetally.TreeSet(path)
    info = json.loads(output_of("info", path, "--format", "json"))
    assert (info["trees"], info["taxa"]) == (len(trees), len(trees.taxa()))
    first = trees.taxa()[0]
    holding = sum(tree.retrieve_all_pairs_distance((first,) * 5) is not None for tree in trees)
    assert info["occupancy"][0] == {"taxon": first, "trees": holding, "share": holding / len(trees)}
    rows = list(csv.DictReader(io.StringIO(output_of("info", path, "--format", "csv"))))
    assert [row["taxon"] for row in rows] == trees.taxa()
    assert output_of("info", path).startswith(f"{path}: {len(trees)} trees, {len(trees.taxa())} taxa")


@pytest.mark.parametrize("size", [4, 5])
def test_table_command_in_every_format(size):
    trees = treetally.TreeSet(APES)
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    records = json.loads(output_of("table", APES, "--size", size, "--format", "json"))
    assert len(records) == math.comb(6, size)
    assert all(record["counts"] == sweep(tuple(record["taxa"])) for record in records)
    rows = list(csv.DictReader(io.StringIO(output_of("table", APES, "--size", size, "--format", "csv"))))
    assert [[row[f"taxon_{k + 1}"] for k in range(size)] for row in rows] == [record["taxa"] for record in records]
    if size == 4:
        assert [float(row["star_p"]) for row in rows] == [record["star_p"] for record in records]
    text = output_of("table", APES, "--size", size, "--taxa", *NAMES, "--jobs", 2)
    lines = text.splitlines()
    assert len(lines) == 1 + math.comb(5, size) and lines[1].split()[:size] == NAMES[:size]


def test_standard_input_plain_or_compressed_and_compressed_files(tmp_path):
    expected = output_of("quintet", APES, *NAMES, "--format", "json")
    packed = gzip.compress(APES.read_bytes())
    assert output_of("quintet", "-", *NAMES, "--format", "json", stdin=APES.read_bytes()) == expected
    assert output_of("quintet", "-", *NAMES, "--format", "json", stdin=packed) == expected
    (tmp_path / "apes.tre.gz").write_bytes(packed)
    assert output_of("quintet", tmp_path / "apes.tre.gz", *NAMES, "--format", "json") == expected
    assert output_of("table", "-", "--size", 4, stdin=packed) == output_of("table", APES, "--size", 4)


def test_help_lists_the_subcommands():
    text = output_of("--help")
    assert all(command in text for command in ["info", "quartet", "quintet", "times", "table"])
    assert "--size" in output_of("table", "--help")


@pytest.mark.parametrize(
    "arguments, status, fragment",
    [
        (
            ["quartet", APES, "Humna", "Chimp", "Gorilla", "Gibbon"],
            2,
            "unknown taxon 'Humna': no tree holds it; did you mean 'Human'?",
        ),
        (["table", APES, "--size", "4", "--taxa", "Human", "Chimp", "Gorilla", "Bonobo"], 2, "unknown taxon 'Bonobo'"),
        (["table", APES, "--size", "4", "--taxa", "Human", "Chimp", "Gorilla"], 2, "at least 4 distinct taxa"),
        (["quartet", APES, "Human", "Chimp"], 2, "the following arguments are required"),
        (["table", APES, "--size", "6"], 2, "invalid choice"),
        (["quintet", APES, *NAMES, "--plot", "out.jpg"], 2, "'out.jpg'"),
        (["table", APES, "--size", "4", "--plot", "out.png"], 2, "--species-tree"),
        (["table", APES, "--size", "4", "--plot", "out.png", "--species-tree", "((A,B),(C,D));"], 2, "lacks 6 of the taxa"),
        (["info", "missing.tre"], 1, "cannot read missing.tre: No such file or directory"),
        (["info", "broken.tre.gz"], 1, "cannot read broken.tre.gz: the compressed data is damaged"),
        (["quartet", "lengths.tre", "A", "B", "C", "D"], 1, "cannot read lengths.tre: a branch length is not a number"),
        (["table", "-", "--size", "4"], 1, "cannot read standard input: a line is not UTF-8"),
    ],
)
def test_errors_are_one_line_with_the_documented_status(tmp_path, monkeypatch, arguments, status, fragment):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "broken.tre.gz").write_bytes(gzip.compress(b"((A,B),(C,D));\n" * 40)[:-10])
    (tmp_path / "lengths.tre").write_bytes(b"((A:1,B:x),(C,D));\n")
    result = run(*arguments, stdin=b"((A,B),(C,\xff));\n")
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    assert len(stderr.splitlines()) == 1 and fragment in stderr and "Traceback" not in stderr
    assert result.stdout == b""


def test_repeated_name_is_a_one_line_usage_error():
    result = run("quartet", APES, "Human", "Human", "Chimp", "Gorilla")
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode() == "treetally: error: taxon given more than once: Human; name each taxon once\n"


def test_plots_from_the_command_line(tmp_path):
    pytest.importorskip("matplotlib")
    output_of("quintet", APES, *NAMES, "--plot", tmp_path / "quintets.pdf")
    output_of("times", APES, *NAMES, "--plot", tmp_path / "times.svg")
    species = "((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"
    output_of("table", APES, "--size", 4, "--species-tree", species, "--plot", tmp_path / "quartets.png", "--dpi", 50)
    assert (tmp_path / "quintets.pdf").read_bytes().startswith(b"%PDF")
    assert b"<svg" in (tmp_path / "times.svg").read_bytes()[:400]
    assert (tmp_path / "quartets.png").read_bytes().startswith(b"\x89PNG")


def test_the_process_runs_every_subcommand_the_parser_offers():
    import argparse

    from treetally_tools import cli, cli_parser

    offered = next(
        action.choices
        for action in cli_parser.build_parser()._actions
        if isinstance(action, argparse._SubParsersAction)
    )
    assert set(offered) == set(cli._runners())


@pytest.mark.parametrize(
    "arguments",
    [["info"], ["check"], ["quartet", *NAMES[:4]], ["quintet", *NAMES], ["times", *NAMES],
     ["species-tree", "--no-progress"], ["table", "--size", "4", "--no-progress"]],
    ids=lambda arguments: arguments[0],
)  # fmt: skip
def test_each_subcommand_runs_in_process_with_its_runner(arguments, capsys):
    from treetally_tools import cli

    assert cli.main([arguments[0], str(APES), *arguments[1:]]) == 0
    captured = capsys.readouterr()
    assert captured.out and captured.err == ""
