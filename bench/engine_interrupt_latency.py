"""How soon Ctrl-C stops the companion's engine: SIGINT is sent to a child interpreter at
spread-out moments of each long engine call, and the time until the child holds the
KeyboardInterrupt is reported (goal: within 0.1 s).

    python bench/engine_interrupt_latency.py [--trials N]

The calls: a quintet table over every taxon of the plant gene trees on two threads (far too
long to finish), a quartet table on one thread, and a load of the plant file repeated 20 times
fed through a pipe by a thread, as the package feeds compressed input."""

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

CHILD = textwrap.dedent(
    """
    import os, sys, threading, time
    import treetally
    from treetally_tools import _engine
    kind, path = sys.argv[1], sys.argv[2]
    trees = treetally.TreeSet(path) if kind != "load" else None

    def table(size, jobs):
        table = _engine.Table(trees, size, tuple(trees.taxa()), jobs=jobs)
        while table.next_block() is not None:
            pass

    def piped_load():
        read_end, write_end = os.pipe()
        def feed():
            try:
                with open(path, "rb") as source, os.fdopen(write_end, "wb") as pipe:
                    for chunk in iter(lambda: source.read(1 << 20), b""):
                        pipe.write(chunk)
            except BrokenPipeError:
                pass
        threading.Thread(target=feed, daemon=True).start()
        _engine.load("/dev/fd/%d" % read_end)

    work = {"quintets": lambda: table(5, 2), "quartets": lambda: table(4, 1), "load": piped_load}[kind]
    print("ready", flush=True)
    sys.stdin.readline()
    started = time.monotonic()
    try:
        work()
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    print(outcome, started, time.monotonic(), flush=True)
    """
)


def interrupted_after(kind, path, delay):
    """Seconds from SIGINT to the child's KeyboardInterrupt, or None if the call ended first."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, kind, str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    assert child.stdout.readline() == "ready\n"
    child.stdin.write("go\n")
    child.stdin.flush()
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    outcome, _, ended = child.stdout.readline().split()
    child.wait()
    return float(ended) - sent if outcome == "KeyboardInterrupt" else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=8)
    args = parser.parse_args()
    source = bench_inputs.SHARED_DATA / "plants1kp-103taxa-852genes.tre"
    if not source.is_file():
        raise SystemExit("the gene-tree files are missing: expected %s" % source)
    with tempfile.TemporaryDirectory() as scratch:
        large = bench_inputs.repeated_file(source, 20, Path(scratch) / "large.tre")
        for kind, path, span in [("quintets", source, 2.0), ("quartets", source, 0.15), ("load", large, 0.25)]:
            delays = [interrupted_after(kind, path, span * (trial + 0.5) / args.trials) for trial in range(args.trials)]
            landed = [delay for delay in delays if delay is not None]
            if not landed:
                print("%s: no signal landed inside the call" % kind)
                continue
            print(
                "%s: SIGINT to KeyboardInterrupt over %d calls: median %.1f ms, max %.1f ms"
                % (kind, len(landed), 1e3 * statistics.median(landed), 1e3 * max(landed))
            )


if __name__ == "__main__":
    main()
