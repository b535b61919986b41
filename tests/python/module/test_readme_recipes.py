"""What the README's "Pitfalls and recipes" says, run: the hangs in child processes that are
killed after a timeout, the worker-pool recipe as printed in the README, and the time-table
effects of infinite, NaN and very long branch lengths."""

import math
import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import treetally

REPO = Path(__file__).resolve().parents[3]
APES = REPO / "examples" / "data" / "apes-6taxa-1000genes.tre"
NAMES = ("A", "B", "C", "D", "E")
TREE = "((A:1,B:1):1,C:1,(D:1,E:1):1);\n"


def run_child(code, timeout, arguments=(), cwd=None):
    """Runs `code` (or, given `arguments`, the script they name) in a fresh interpreter and
    returns its CompletedProcess, or None when it was still running after `timeout` seconds;
    then it is killed with everything it started."""
    command = list(arguments) if arguments else ["-c", textwrap.dedent(code)]
    child = subprocess.Popen(
        [sys.executable, *command],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=cwd,
        start_new_session=True,
    )
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return None
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


def readme_block_containing(marker):
    """The one Python code block of README.md that contains `marker`."""
    blocks = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(), re.S)
    found = [block for block in blocks if marker in block]
    assert len(found) == 1, "expected one README block with %r" % marker
    return found[0]


@pytest.mark.parametrize(
    "feeder, hangs",
    [
        # A writer thread of this process: it needs the interpreter lock the load holds.
        (
            """
            def feed():
                with open(fifo, "w") as out:
                    out.write(TREE * 10)
            threading.Thread(target=feed, daemon=True).start()
            """,
            True,
        ),
        (
            """
            read_end, write_end = os.pipe()
            def feed():
                with os.fdopen(write_end, "w") as out:
                    out.write(TREE * 100000)
            threading.Thread(target=feed, daemon=True).start()
            fifo = "/dev/fd/%d" % read_end
            """,
            True,
        ),
        # Another process: the recipe.
        (
            """
            producer = subprocess.Popen([sys.executable, "-c",
                "import sys; open(sys.argv[1], 'w').write(sys.argv[2] * 100000)", fifo, TREE])
            """,
            False,
        ),
    ],
    ids=["fifo-thread", "pipe-thread", "fifo-process"],
)
def test_a_pipe_hangs_only_when_a_thread_of_the_loading_process_feeds_it(
    tmp_path, feeder, hangs
):
    code = "import os, subprocess, sys, threading, treetally\n"
    code += "TREE = %r\nfifo = %r\nos.mkfifo(fifo)\n" % (TREE, str(tmp_path / "trees.fifo"))
    code += textwrap.dedent(feeder) + "print(len(treetally.TreeSet(fifo)))\n"
    done = run_child(code, timeout=3 if hangs else 60)
    if hangs:
        assert done is None, "the load finished: %r" % (done,)
    else:
        assert done is not None and done.returncode == 0, done
        assert done.stdout.split() == ["100000"]


def test_the_recipe_reads_another_programs_output_through_dev_fd():
    recipe = readme_block_containing("/dev/fd/")
    recipe = recipe.replace(
        '["my_simulator", "--trees", "1000"]',
        '[sys.executable, "-c", "import sys; sys.stdout.write(sys.argv[1] * 1000)", %r]' % TREE,
    )
    done = run_child("import sys\n" + recipe + "print(len(trees))\n", timeout=60)
    assert done is not None and done.stdout.split() == ["1000"], done


@pytest.mark.parametrize(
    "pool_code, outcome",
    [
        (
            """
            with multiprocessing.Pool(2) as pool:
                print(pool.map(tally, jobs))
            """,
            None,  # the worker dies and map() never returns
        ),
        (
            """
            with concurrent.futures.ProcessPoolExecutor(2) as executor:
                try:
                    print(list(executor.map(tally, jobs)))
                except BaseException as error:
                    print(type(error).__name__, error)
            """,
            "PicklingError",
        ),
    ],
    ids=["multiprocessing-pool", "process-pool-executor"],
)
def test_a_panic_in_a_worker_process_loses_its_message(pool_code, outcome):
    code = """
        import concurrent.futures, multiprocessing, treetally
        def tally(names):
            return treetally.TreeSet(%r).tally_single_quartet(names)
        if __name__ == "__main__":
            jobs = [("Human", "Chimp", "Gorilla", "Orangutan"), ("Human", "Chimp", "Gorila", "Gibbon")]
        """ % str(APES)
    code = textwrap.dedent(code) + textwrap.indent(textwrap.dedent(pool_code), "    ")
    done = run_child(code, timeout=5 if outcome is None else 60)
    if outcome is None:
        assert done is None, "map() returned: %r" % (done,)
    else:
        assert done is not None and done.stdout.startswith(outcome), done
        assert "quarrow_runtime" in done.stdout


def test_the_worker_pool_recipe_reports_a_misspelt_taxon_and_tallies_the_rest(tmp_path):
    (tmp_path / "recipe.py").write_text(readme_block_containing("initializer=load"))
    done = run_child(None, timeout=120, arguments=["recipe.py", str(APES)], cwd=tmp_path)
    assert done is not None and done.returncode == 0, done
    counts = treetally.TreeSet(str(APES)).tally_single_quintet(
        ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
    )
    assert done.stdout.splitlines() == [
        "not in %s: Gorila" % APES,
        "%r %r" % (("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon"), counts),
    ]
    # Without the check up front, the worker still answers: with the message.
    done = run_child(
        """
        import multiprocessing, recipe
        with multiprocessing.Pool(1, initializer=recipe.load, initargs=(%r,)) as pool:
            print(pool.map(recipe.tally, [("Human", "Chimp", "Gorila", "Orangutan", "Gibbon")]))
        """
        % str(APES),
        timeout=120,
        cwd=tmp_path,
    )
    assert done is not None and done.stdout.strip() == "['failed: Taxon not found']", done


def time_table_block(table, code):
    return table[15 + 10 * code : 25 + 10 * code]


@pytest.mark.parametrize("length", ["inf", "NaN", "-inf"])
@pytest.mark.parametrize(
    "tree",
    ["((A:{},B:1):1,C:1,(D:1,E:1):1);", "((A:1,B:1):{},C:1,(D:1,E:1):1);"],
    ids=["on-a-leaf", "above-a-cherry"],
)
def test_a_non_finite_length_spoils_only_the_block_of_its_trees_code(write_trees, tree, length):
    other = "((A:1,C:1):1,B:1,(D:1,E:1):1);\n"
    trees = treetally.TreeSet(str(write_trees(tree.format(length) + "\n" + TREE + other)))
    table = trees.coalesence_times_by_topology(NAMES)
    spoiled = time_table_block(table, trees[0].retrieve_quintet_type(NAMES))
    expected_bad = -math.inf if length == "-inf" and "A:{}" in tree else math.nan
    if math.isnan(expected_bad):
        assert any(math.isnan(value) for value in spoiled), spoiled
    else:
        assert expected_bad in spoiled, spoiled
    assert table[:15] == pytest.approx([2 / 3, 0, 0, 1 / 3] + [0] * 11)
    clean = time_table_block(table, trees[2].retrieve_quintet_type(NAMES))
    assert all(map(math.isfinite, clean)) and sum(clean) == pytest.approx(1.0)
    # The README's way to find such trees.
    names = NAMES
    bad = [i for i, tree in enumerate(trees)
           if not all(map(math.isfinite, tree.retrieve_all_pairs_distance(names) or []))]  # fmt: skip
    assert bad == [0]


@pytest.mark.parametrize(
    "text, expected",
    [
        # Every distance from the root is about 1e16, whose spacing is 2: the paths vanish.
        ("(((A:1,B:1):1,C:1,(D:1,E:1):1):1e16,F:1);", [0.0] * 10),
        ("((A:1e-9,B:1e-9):1e8,C:1,(D:1,E:1):1);", [0.0, 1e8 + 1, 1e8 + 2]),
        # The root's own length is never counted.
        ("((A:1,B:1):1,C:1,(D:1,E:1):1):1e16;", [2.0, 3.0, 4.0]),
        # An infinite branch above all five: no path crosses it, yet every one is NaN.
        ("(((A:1,B:1):1,C:1,(D:1,E:1):1):inf,F:1);", [math.nan] * 10),
    ],
    ids=["long-above-short", "1e8-above-1e-9", "root-edge", "infinite-above"],
)
def test_path_lengths_are_differences_of_distances_from_the_root(write_trees, text, expected):
    distances = treetally.TreeSet(str(write_trees(text + "\n")))[0].retrieve_all_pairs_distance(
        NAMES
    )
    assert distances[: len(expected)] == pytest.approx(expected, nan_ok=True, rel=1e-15)
