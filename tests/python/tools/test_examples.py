"""The examples run as a user runs them, as scripts in a fresh interpreter. The quickstart needs
only treetally; the simulation and the Dask command line need the [examples] extra."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples"


def run_example(script, *arguments, cwd):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, arguments)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def have(*modules):
    return all(importlib.util.find_spec(module) is not None for module in modules)


needs_examples_extra = pytest.mark.skipif(
    not have("msprime", "matplotlib", "numpy", "distributed"),
    reason="the [examples] extra is not installed",
)


def test_quickstart_prints_the_tables_for_the_shipped_file(tmp_path):
    result = run_example("quickstart.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "apes-6taxa-1000genes.tre: 1000 trees, 6 taxa" in out
    assert "0     ((Human,Chimp),(Gorilla,Orangutan))" in out
    assert "7     ((Human,Orangutan),Gorilla,(Chimp,Gibbon))" in out
    assert "Human-Chimp" in out and "share" in out


@pytest.mark.parametrize(
    "arguments, code, message",
    [
        (["missing.tre"], 1, 'Failed to load tree collection: "Could not read file"'),
        (["trees.nwk", "--quintet", "A", "B", "C", "D", "Z"], 2, "give five taxon names"),
    ],
    ids=["unreadable file", "unknown name"],
)
def test_quickstart_reports_bad_input_without_a_traceback(tmp_path, arguments, code, message):
    (tmp_path / "trees.nwk").write_text("((A,B),(C,D),E);\n", encoding="utf-8")
    result = run_example("quickstart.py", *arguments, cwd=tmp_path)
    assert result.returncode == code
    assert message in result.stderr and "Traceback" not in result.stderr


@needs_examples_extra
def test_simulation_writes_trees_and_plots_consistent_with_theory(tmp_path):
    result = run_example(
        "simulate_coalescent.py", "--trees", 300, "--seed", 2, "--output-dir", tmp_path, cwd=tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all quartets within 4 standard errors" in result.stdout
    lines = (tmp_path / "simulated_gene_trees.tre").read_text(encoding="utf-8").splitlines()
    assert len(lines) == 300 and all(line.endswith(";") for line in lines)
    for plot in ["quartet_frequencies.png", "quintet_frequencies.png", "time_table.png"]:
        assert (tmp_path / plot).read_bytes().startswith(b"\x89PNG")


@needs_examples_extra
def test_dask_command_line_with_worker_processes(tmp_path):
    # Worker processes unpickle the script's functions: this is where a TreeSet class reference
    # in them would break, which the in-process test cluster cannot show.
    result = run_example(
        "dask_tally.py",
        EXAMPLES / "data" / "apes-6taxa-1000genes.tre",
        "Human", "Chimp", "Gorilla", "Orangutan", "Gibbon",
        "--lines-per-shard", 400,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert "1000 trees in" in result.stdout
    assert "0     ((Human,Chimp),Gorilla,(Orangutan,Gibbon))  508" in result.stdout
