"""How soon Ctrl-C stops a long load: SIGINT is sent to a child interpreter at spread-out
moments of `TreeSet(path)` on a large file, and the time until the child holds the
KeyboardInterrupt is set against the time the whole load takes.

    python bench/interrupt_latency.py [--copies N] [--trials N]

The file is the 852 plant gene trees repeated N times (reading and parsing, then indexing);
both clocks are the system's monotonic clock, which parent and child share."""

import argparse
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402

# Reports the monotonic times at which the load started and ended, normally or by an
# exception, and how long freeing a loaded set took.
CHILD = textwrap.dedent(
    """
    import sys, time
    import treetally
    print("ready", flush=True)
    sys.stdin.readline()
    started = time.monotonic()
    freeing = 0.0
    try:
        tree_set = treetally.TreeSet(sys.argv[1])
        ended = time.monotonic()
        del tree_set
        freeing = time.monotonic() - ended
        outcome = "loaded"
    except BaseException as error:
        ended = time.monotonic()
        outcome = type(error).__name__
    print(outcome, started, ended, freeing, flush=True)
    """
)


def run_child(path, interrupt_after):
    """(outcome, load start, load end, freeing time, signal time or None) of one load in a
    child."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "ready\n"
    child.stdin.write("go\n")
    child.stdin.flush()
    sent = None
    if interrupt_after is not None:
        time.sleep(interrupt_after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
    outcome, *times = child.stdout.readline().split()
    child.wait()
    return (outcome, *map(float, times), sent)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=20)
    parser.add_argument("--trials", type=int, default=10)
    args = parser.parse_args()
    source = bench_inputs.SHARED_DATA / bench_inputs.LOAD_FILES[0]
    if not source.is_file():
        raise SystemExit("the gene-tree files are missing: expected %s" % source)
    with tempfile.TemporaryDirectory() as scratch:
        path = bench_inputs.repeated_file(source, args.copies, Path(scratch) / "large.tre")
        size_mb = path.stat().st_size / 1e6
        outcome, started, ended, freeing, _ = run_child(path, None)
        assert outcome == "loaded", outcome
        full = ended - started
        delays = []
        for trial in range(args.trials):
            # Spread over the load, reading first and indexing last. The delay includes freeing
            # what was built so far.
            at = full * (trial + 0.5) / args.trials
            outcome, started, ended, _, sent = run_child(path, at)
            if outcome != "KeyboardInterrupt" or sent < started:
                continue  # the signal missed the load
            delays.append(ended - sent)
    print("file: %.0f MB (%d copies of %s)" % (size_mb, args.copies, source.name))
    print("uninterrupted load: %.3f s; freeing the loaded set: %.1f ms" % (full, 1e3 * freeing))
    if not delays:
        print("no signal landed inside a load")
        return
    print(
        "SIGINT to KeyboardInterrupt over %d loads: median %.2f ms, max %.2f ms "
        "(max = %.4f of the whole load)"
        % (len(delays), 1e3 * statistics.median(delays), 1e3 * max(delays), max(delays) / full)
    )


if __name__ == "__main__":
    main()
