"""A table closed from another thread while it is counted: the pass raises, never crashes nor
ends short, and close() returns once the counting threads stopped; the jobs it may take."""

import io
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from treetally_tools import _engine, load_trees, quartet_table, quintet_table
from treetally_tools.tables import column_names

CLOSED = "the table was closed while it was being counted"


def table_file(path, taxa=60, trees=200, seed=5):
    """Random binary trees over `taxa` taxa: C(60, 4) = 487,635 quartet rows, counted in a good
    fraction of a second, so that a close() at a random moment lands inside a pass."""
    rng = random.Random(seed)
    lines = []
    for _ in range(trees):
        names = [f"t{k}" for k in range(taxa)]
        while len(names) > 1:
            a = names.pop(rng.randrange(len(names)))
            b = names.pop(rng.randrange(len(names)))
            names.append(f"({a},{b})")
        lines.append(names[0] + ";")
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def big_trees(tmp_path_factory):
    return load_trees(table_file(tmp_path_factory.mktemp("close") / "trees.nwk"), quiet=True)


def os_threads():
    return len(os.listdir("/proc/self/task"))


def whole_pass(table, kind):
    """The rows one pass over `table` gives, by `kind`."""
    if kind.endswith("write"):
        out = io.StringIO()
        table.write(out, "csv")
        return out.getvalue().count("\n") - 1
    if kind == "to_columns":
        return len(table.to_columns()["holding"])
    return sum(1 for _ in table)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts the process's threads in /proc")
@pytest.mark.parametrize("kind", ["write", "to_columns", "rows", "adjusted write"])
def test_close_from_another_thread_stops_a_pass_with_an_error_never_a_short_table(big_trees, kind):
    # The closing thread's close() returns once the counting threads are gone: at most the
    # passing Python thread is left over the threads before. The pass either finished whole
    # before the close or raises; repeated at random moments to catch the race.
    rng = random.Random(kind)
    outcomes = set()
    for _ in range(12):
        # An adjusted table first counts every p-value: a close() lands in either pass.
        options = {"adjust": "holm"} if kind.startswith("adjusted") else {}
        table = quartet_table(big_trees, jobs=2, progress=False, **options)
        before = os_threads()
        result = {}

        def count():
            try:
                result["rows"] = whole_pass(table, kind)
            except ValueError as error:
                result["error"] = str(error)

        passing = threading.Thread(target=count)
        passing.start()
        time.sleep(rng.uniform(0.0, 0.15))
        table.close()
        assert os_threads() <= before + 1
        passing.join(timeout=60)
        assert not passing.is_alive()
        assert result == {"rows": len(table)} or result == {"error": CLOSED}
        outcomes.add(next(iter(result)))
    assert "error" in outcomes
    assert whole_pass(table, kind) == len(table)  # a closed table counts anew


def test_an_engine_table_closed_while_waiting_raises_then_says_it_stays_closed(big_trees):
    counting = _engine.Table(big_trees, 5, tuple(big_trees.taxa()), jobs=2)
    timer = threading.Timer(0.1, counting.close)
    timer.start()
    with pytest.raises(ValueError, match=CLOSED):
        while counting.next_block() is not None:
            pass
    timer.join()
    for call in (counting.next_block, counting.all_columns):
        with pytest.raises(ValueError, match=CLOSED):
            call()
    counting.close()  # again: nothing left to stop


@pytest.mark.parametrize("call", ["next_block", "all_columns"])
def test_an_engine_table_closed_while_adjusting_raises_and_stays_closed(big_trees, call):
    # The first pass, which counts every p-value to adjust them, stops like any other.
    counting = _engine.Table(big_trees, 4, tuple(big_trees.taxa()), jobs=2, adjust="bh")
    before = os_threads() if os.path.isdir("/proc/self/task") else 0
    # That pass takes from about 0.05 s on an idle machine: the close comes well before its end.
    timer = threading.Timer(0.01, counting.close)
    timer.start()
    with pytest.raises(ValueError, match=CLOSED):
        getattr(counting, call)()
    timer.join()
    if before:
        # join() returns before the timer's own thread has left the OS: give it a moment.
        deadline = time.monotonic() + 5
        while os_threads() > before and time.monotonic() < deadline:
            time.sleep(0.01)
        assert os_threads() <= before
    with pytest.raises(ValueError, match=CLOSED):
        getattr(counting, call)()


def test_a_table_closed_after_its_last_row_is_simply_closed(big_trees):
    counting = _engine.Table(big_trees, 4, tuple(big_trees.taxa())[:8])
    while counting.next_block() is not None:
        pass
    counting.close()
    with pytest.raises(ValueError, match="^the table is closed$"):
        counting.next_block()


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="interval timers")
@pytest.mark.parametrize("handler_closes", [False, True], ids=["handler raises", "handler closes"])
def test_a_pass_stopped_by_a_signal_handler_does_not_start_over(big_trees, handler_closes):
    # A signal handler runs inside the counting call (almost always: the blocks take far
    # longer than the Python between them): one that raises stops the pass, one that closes
    # the table cannot be waited for by its own call. Either way the threads stop, and the rows
    # never begin again from the first: the pass raises, or (a handler run between two calls)
    # goes on with the next block.
    taxa = tuple(big_trees.taxa())
    counting = _engine.Table(big_trees, 5, taxa, jobs=2)
    reference = _engine.Table(big_trees, 5, taxa, jobs=2)

    def handler(signum, frame):
        if handler_closes:
            counting.close()
        else:
            raise TimeoutError("alarm")

    delivered = 0
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(ValueError if handler_closes else TimeoutError):
            while counting.next_block() is not None:
                delivered += 1
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if handler_closes:
        with pytest.raises(ValueError, match=CLOSED):
            counting.next_block()
        return
    try:
        block = counting.next_block()
    except ValueError as error:
        assert "stopped before its end" in str(error)
        return
    # The handler may have raised after a block came back but before it was counted here.
    for _ in range(delivered):
        reference.next_block()
    assert block in (reference.next_block(), reference.next_block())


def test_one_counting_call_at_a_time(big_trees):
    # Two threads read the same engine table: while one waits for its block, the other's call
    # is refused rather than share the pass. close() then ends the reading for both.
    counting = _engine.Table(big_trees, 5, tuple(big_trees.taxa()), jobs=1)
    errors = {"first": set(), "second": set()}
    refused = threading.Event()

    def read(name):
        for _ in range(500):
            try:
                counting.next_block()
            except ValueError as error:
                errors[name].add(str(error))
                if "already" in str(error):
                    refused.set()
                else:
                    return

    readers = [threading.Thread(target=read, args=(name,)) for name in errors]
    for reader in readers:
        reader.start()
    assert refused.wait(timeout=60)
    counting.close()
    for reader in readers:
        reader.join(timeout=60)
    seen = errors["first"] | errors["second"]
    assert seen <= {"the table is already being counted by another call", CLOSED}
    assert "the table is already being counted by another call" in seen


@pytest.mark.parametrize("jobs", [-1, _engine.MAX_JOBS + 1, 10**20, -(10**20)])
def test_jobs_out_of_range_are_value_errors(big_trees, jobs):
    with pytest.raises(ValueError, match="jobs must be"):
        _engine.Table(big_trees, 4, tuple(big_trees.taxa())[:6], jobs=jobs)
    with pytest.raises(ValueError, match="jobs must be"):  # UsageError
        quartet_table(big_trees, jobs=jobs)


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity") or not os.path.isdir("/proc/self/task"), reason="Linux")
def test_jobs_beyond_the_cores_start_one_thread_per_core(big_trees):
    before = os_threads()
    counting = _engine.Table(big_trees, 5, tuple(big_trees.taxa()), jobs=_engine.MAX_JOBS)
    assert counting.next_block() is not None
    assert before < os_threads() <= before + len(os.sched_getaffinity(0))
    counting.close()
    assert os_threads() <= before  # fewer when a thread of an earlier test was still ending


@pytest.mark.parametrize("jobs", [0, 1, 64, _engine.MAX_JOBS])
def test_any_jobs_in_range_gives_the_same_columns(big_trees, jobs):
    taxa = tuple(big_trees.taxa())[:14]
    expected = _engine.Table(big_trees, 5, taxa, rows_per_block=50).all_columns()
    assert _engine.Table(big_trees, 5, taxa, jobs=jobs, rows_per_block=50).all_columns() == expected
    assert list(expected) == column_names(5) + [f"concordance_{code}" for code in range(15)]


def test_more_rows_than_a_sequence_counts_is_a_memory_error(tmp_path):
    # 17,000 taxa make C(17000, 5) = 1.18e19 quintets, past 2**63 - 1.
    names = [f"t{k}" for k in range(17000)]
    path = tmp_path / "wide.nwk"
    path.write_text("(" + ",".join(names) + ");\n")
    trees = load_trees(path, quiet=True)
    message = "a table of quintets over 17000 taxa needs 11825183016171253400 rows"
    with pytest.raises(MemoryError, match=message):
        _engine.Table(trees, 5, tuple(names))
    with pytest.raises(MemoryError, match=message):
        quintet_table(trees)
    done = subprocess.run(
        [sys.executable, "-m", "treetally_tools", "table", str(path), "--size", "5"], capture_output=True, text=True
    )
    assert done.returncode == 3
    assert done.stderr.count("\n") == 1 and message in done.stderr


# Counts a table with the address space capped just above what is mapped once the table is
# made, so that no counting thread's stack fits.
NO_ROOM_FOR_THREADS = textwrap.dedent(
    """
    import io, resource, sys
    from treetally_tools import load_trees, quartet_table
    table = quartet_table(load_trees(sys.argv[1], quiet=True), jobs=2, progress=False)
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (2 << 20), resource.RLIM_INFINITY))
    try:
        table.write(io.StringIO(), "csv")
    except MemoryError as error:
        print(error)
    """
)


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or sys.platform != "linux",
    reason="AddressSanitizer needs unlimited address space",
)
def test_a_thread_that_cannot_start_is_a_memory_error_under_a_memory_limit(tmp_path):
    path = table_file(tmp_path / "trees.nwk", taxa=20, trees=30)
    done = subprocess.run([sys.executable, "-c", NO_ROOM_FOR_THREADS, str(path)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("cannot start a thread to count the table"), done.stdout
