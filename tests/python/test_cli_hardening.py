"""The treetally command at its edges, each case in a child process: signals, a reader that
goes away, closed or full standard streams, names with control characters, a memory limit, a
resolution out of range and a fault of the package itself. Every failure is one line on
standard error with its documented status, and nothing of the command outlives it."""

import csv
import importlib.metadata
import io
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import pytest

APES = Path(__file__).resolve().parents[2] / "examples" / "data" / "apes-6taxa-1000genes.tre"
SCRIPT = Path(sys.executable).parent / "treetally"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [shutil.which("treetally") or "treetally"]
SECOND = 1.0


def random_trees(taxa, trees, seed=7):
    """Newick lines of random rooted trees with branch lengths over taxa t0..t{taxa-1}."""
    chance = random.Random(seed)
    lines = []
    for _ in range(trees):
        nodes = [f"t{k}:{chance.random():.3f}" for k in range(taxa)]
        while len(nodes) > 1:
            a, b = (nodes.pop(chance.randrange(len(nodes))) for _ in range(2))
            nodes.append(f"({a},{b}):{chance.random():.3f}")
        lines.append(nodes[0] + ";\n")
    return "".join(lines)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """70 taxa in 300 trees: millions of quintets, a table that runs for many seconds."""
    path = tmp_path_factory.mktemp("big") / "big.tre"
    path.write_text(random_trees(70, 300))
    return path


def run(*arguments, **options):
    options.setdefault("capture_output", True)
    return subprocess.run(COMMAND + [str(a) for a in arguments], timeout=120, **options)


def in_shell(line):
    """`line` run by bash, with $T standing for the command."""
    return subprocess.run(
        ["bash", "-c", line], env={**os.environ, "T": COMMAND[0]}, capture_output=True, timeout=120
    )


def assert_one_line(result, status, fragment):
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    assert len(stderr.splitlines()) == 1 and fragment in stderr and "Traceback" not in stderr


def group_members(group):
    """Processes still in the process group `group`."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.getpgid(int(entry)) == group:
                members.append(int(entry))
        except ProcessLookupError:
            pass
    return members


@pytest.mark.serial  # the one-second deadline does not hold beside another busy worker
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
@pytest.mark.parametrize("work", ["table on 2 threads", "load from a silent pipe"])
def test_a_signal_ends_the_command_by_that_signal_within_a_second(tmp_path, big_file, signum, work):
    silent = os.pipe()
    os.write(silent[1], b"((t0,t1),(t2,t3));\n")  # then nothing, the pipe kept open
    arguments = ["table", big_file, "--size", "5", "--jobs", "2", "--format", "csv"]
    if work.startswith("load"):
        arguments = ["quartet", "-", "t0", "t1", "t2", "t3"]
    child = subprocess.Popen(
        COMMAND + [str(a) for a in arguments], stdin=silent[0], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env={**os.environ, "TMPDIR": str(tmp_path)}, start_new_session=True,
    )  # fmt: skip
    try:
        if work.startswith("table"):
            assert child.stdout.readline().startswith(b"taxon_1,")  # counting has begun
        else:
            time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signum)
        while child.stdout.read(1 << 20):
            pass
        child.wait(timeout=10)
        assert time.monotonic() - sent < SECOND
    finally:
        child.kill()
        child.wait()
        os.close(silent[1])
    assert child.returncode == -signum  # the shell reports 128 + N
    assert child.stderr.read() == (b"treetally: error: interrupted\n" if signum == signal.SIGINT else b"")
    assert group_members(child.pid) == [] and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("form", ["text", "csv", "json"])
def test_a_reader_that_goes_away_ends_the_command_as_sigpipe_does(big_file, form):
    result = in_shell(f'set -o pipefail; "$T" table {big_file} --size 4 --format {form} | head -1 > /dev/null')
    assert (result.returncode, result.stderr) == (128 + signal.SIGPIPE, b"")


@pytest.mark.parametrize(
    "line, status, fragment",
    [
        (f'"$T" table {APES} --size 4 >&-', 4, "cannot write standard output: it is closed"),
        (f'"$T" table {APES} --size 4 > /dev/full', 4, "cannot write standard output: No space left on device"),
        ('"$T" --help > /dev/full', 4, "cannot write standard output: No space left on device"),
        ('"$T" table - --size 4 <&-', 1, "cannot read standard input: standard input is closed"),
        ('"$T" quartet missing.tre A B C D 2>&-', 1, None),  # nothing to report to; the status tells
    ],
    ids=["stdout closed", "stdout full", "help to a full stdout", "stdin closed", "stderr closed"],
)
def test_closed_or_full_standard_streams_are_one_line(line, status, fragment):
    result = in_shell(line)
    if fragment is None:
        assert (result.returncode, result.stderr) == (status, b"")
    else:
        assert_one_line(result, status, fragment)


@pytest.fixture
def odd_names(tmp_path):
    path = tmp_path / "odd.tre"
    path.write_bytes(b"((A\rB:1,C\x1bD:1):1,(E,F:1):1);\n((A\rB:1,E:1):1,(C\x1bD:1,F:1):1);\n")
    return path


@pytest.mark.parametrize("command", [["info"], ["table", "--size", "4"]])
def test_names_with_control_characters_read_back_from_csv_and_json_and_are_escaped_as_text(odd_names, command):
    arguments = [command[0], odd_names, *command[1:]]
    rows = list(csv.reader(io.StringIO(run(*arguments, "--format", "csv").stdout.decode(), newline="")))
    first_cells = [row[0] for row in rows[1:]]
    assert "A\rB" in first_cells and len({len(row) for row in rows}) == 1
    records = json.loads(run(*arguments, "--format", "json").stdout)
    names = [record["taxon"] for record in records["occupancy"]] if command == ["info"] else records[0]["taxa"]
    assert {"A\rB", "C\x1bD"} <= set(names)
    text = run(*arguments).stdout.decode()
    assert "A\\rB" in text and "C\\x1bD" in text and "\x1b" not in text and "\r" not in text


def test_a_name_with_control_characters_in_an_error_is_escaped(odd_names):
    assert_one_line(run("quartet", odd_names, "A\rB", "C\x1bD", "E", "X\x1b"), 2, "unknown taxon 'X\\x1b'")


# preexec_fn forks from the worker, whose other threads could hold a lock across the fork.
@pytest.mark.serial
@pytest.mark.parametrize("command", [["info"], ["quartet", "t0", "t1", "t2", "t3"], ["table", "--size", "4"]])
def test_under_a_memory_limit_the_command_says_what_needed_the_memory(tmp_path, command):
    path = tmp_path / "trees.tre"
    path.write_text(random_trees(100, 1500) * 8)  # about 16 MB
    probe = "import treetally_tools.cli; print(open('/proc/self/status').read())"
    status = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout
    baseline = int(next(line for line in status.splitlines() if line.startswith("VmSize")).split()[1]) << 10
    limit = baseline + (24 << 20)

    def limited():
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    result = run(command[0], path, *command[1:], preexec_fn=limited)
    assert_one_line(result, 3, "not enough memory")
    assert str(path) in result.stderr.decode()


@pytest.mark.parametrize("dpi", ["6000", "0"])
def test_a_resolution_out_of_range_is_a_usage_error(dpi):
    names = ["Human", "Chimp", "Gorilla", "Orangutan", "Gibbon"]
    assert_one_line(run("quintet", APES, *names, "--plot", "q.png", "--dpi", dpi), 2, "--dpi")


@pytest.mark.parametrize("command", ["table", "species-tree"])
@pytest.mark.parametrize("jobs", ["100000000000000000000", "1025", "-1"])
def test_jobs_out_of_range_are_a_usage_error(command, jobs):
    size = ["--size", "4"] if command == "table" else []
    assert_one_line(run(command, APES, *size, "--jobs", jobs), 2, "--jobs")


def test_more_jobs_than_cores_count_as_the_cores():
    assert run("table", APES, "--size", "4", "--jobs", "1024").stdout == run("table", APES, "--size", "4").stdout


def test_a_plot_that_cannot_be_written_is_an_output_error(tmp_path):
    pytest.importorskip("matplotlib")
    names = ["Human", "Chimp", "Gorilla", "Orangutan", "Gibbon"]
    result = run("quintet", APES, *names, "--plot", tmp_path / "no" / "such" / "q.png", "--dpi", "20")
    assert_one_line(result, 4, "cannot write")


# Runs the command with run_info replaced by one that raises the exception `sys.argv[1]` names.
FAULTY = textwrap.dedent(
    """
    import sys
    from treetally_tools import cli, errors
    kind = {"ValueError": ValueError, "UsageError": errors.UsageError}[sys.argv.pop(1)]
    def run_info(arguments, out):
        raise kind("three is not four")
    cli.run_info = run_info
    sys.argv[1:] = ["info", sys.argv[1]]
    cli.entry_point()
    """
)


@pytest.mark.parametrize("kind, status", [("UsageError", 2), ("ValueError", 70)])
def test_only_the_packages_usage_errors_are_usage_errors(kind, status):
    result = subprocess.run([sys.executable, "-c", FAULTY, kind, str(APES)], capture_output=True, timeout=60)
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    assert ("Traceback" in stderr and "internal error" in stderr) == (kind == "ValueError")


def test_main_leaves_the_warning_hook_and_signal_handlers_as_it_found_them(monkeypatch, capsys):
    from treetally_tools import cli

    monkeypatch.setattr(cli, "run_info", lambda arguments, out: warnings.warn("two\nlines\x1b"))
    hooks = [signal.SIGTERM, signal.SIGHUP, signal.SIGINT]
    before = [warnings.showwarning] + [signal.getsignal(signum) for signum in hooks]
    assert cli.main(["info", str(APES)]) == 0
    assert [warnings.showwarning] + [signal.getsignal(signum) for signum in hooks] == before
    assert capsys.readouterr().err == "treetally: warning: two\\nlines\\x1b\n"


def test_the_version_is_the_installed_distributions():
    assert run("--version").stdout.decode() == f"treetally {importlib.metadata.version('treetally')}\n"


# --- names and file names on standard output ------------------------------------------------------

# A C locale that Python neither coerces nor overrides, and an ASCII encoding forced outright.
C_LOCALE = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
ASCII_OUTPUT = {"PYTHONIOENCODING": "ascii", "PYTHONUTF8": "0"}


def environment(changes):
    base = {key: value for key, value in os.environ.items() if key not in ("PYTHONIOENCODING", "LC_ALL")}
    return {**base, **changes}


@pytest.fixture
def euro_file(tmp_path):
    """Trees with a taxon outside ASCII, in a file whose name holds a terminal escape."""
    path = tmp_path / "x\x1b[31mred.tre"
    path.write_text("((f\u20ac:1,B:1):1,(C:1,D:1):1);\n((f\u20ac:1,C:1):1,(B:1,D:1):1);\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("changes", [C_LOCALE, ASCII_OUTPUT], ids=["C locale", "ascii"])
@pytest.mark.parametrize(
    "command",
    [["info"], ["info", "--format", "csv"], ["quartet", "f\u20ac", "B", "C", "D"], ["table", "--size", "4"],
     ["species-tree"], ["check"]],  # fmt: skip
)
def test_what_the_locale_cannot_encode_is_written_escaped_never_a_traceback(euro_file, changes, command):
    result = run(command[0], euro_file, *command[1:], env=environment(changes))
    assert (result.returncode, result.stderr.decode()) == (0, "")
    out = result.stdout.decode("ascii")
    assert "\x1b" not in out
    if command[0] in ("info", "check") and "csv" not in command:
        assert "x\\x1b[31mred.tre" in out  # the file name, escaped as an error line has it
    if command[0] != "check":
        assert "f\\u20ac" in out


def test_a_file_name_with_an_escape_sequence_is_escaped_in_every_text_line(euro_file):
    for command in (["info"], ["check"]):
        out = run(command[0], euro_file).stdout.decode()
        assert "\x1b" not in out and "x\\x1b[31mred.tre" in out
    assert json.loads(run("info", euro_file, "--format", "json").stdout)["file"] == str(euro_file)


def test_long_names_are_shortened_in_aligned_text_and_whole_in_csv_and_json(tmp_path):
    long = "L" * 5000 + "\x1b"
    path = tmp_path / "long.tre"
    path.write_text(f"(({long}:1,B:1):1,(C:1,(D:1,E:1):1):1);\n")
    shown = "L" * 59 + "\u2026"
    for command in (["info"], ["quartet", long, "B", "C", "D"], ["times", long, "B", "C", "D", "E"],
                    ["table", "--size", "4"]):  # fmt: skip
        result = run(command[0], path, *command[1:])
        text = result.stdout.decode()
        assert result.returncode == 0, result.stderr.decode()
        assert shown in text and "L" * 61 not in text, command
        assert max(len(line) for line in text.splitlines()) < 1000
    assert long in run("info", path, "--format", "csv").stdout.decode()
    records = json.loads(run("table", path, "--size", "4", "--format", "json").stdout)
    assert long in records[0]["taxa"]


# --- the species tree on the command line ---------------------------------------------------------

APE_SPECIES = "((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"


def test_a_long_newick_species_tree_is_newick_text_not_a_file_name():
    padded = "(" + ",".join(f"Outgroup_number_{k:03d}:0.1" for k in range(20)) + "," + APE_SPECIES[1:]
    assert len(padded.encode()) > 255
    result = run("table", APES, "--size", "4", "--species-tree", "  " + padded, "--format", "csv")
    assert result.returncode == 0, result.stderr.decode()
    rows = list(csv.DictReader(io.StringIO(result.stdout.decode())))
    assert len(rows) == 15 and all(row["species_code"] in ("0", "1", "2") for row in rows)


@pytest.mark.parametrize(
    "species, fragment",
    [
        ("", "the species tree is empty"),
        (" ", "the species tree is empty"),
        ("two trees", "lacks 1 of the taxa: 'Gorilla'"),
        (APE_SPECIES.replace("):0.5", "):-20"), "whose length -20 is negative"),
        (APE_SPECIES.replace("):1.5", "):inf"), "whose length inf is not finite"),
    ],
)
def test_a_species_tree_that_cannot_serve_is_a_usage_error(tmp_path, species, fragment):
    if species == "two trees":
        species = tmp_path / "species.tre"
        species.write_text(APE_SPECIES.replace("Gorilla", "Bonobo") + "\n" + APE_SPECIES + "\n")
    assert_one_line(run("table", APES, "--size", "4", "--species-tree", species), 2, fragment)
