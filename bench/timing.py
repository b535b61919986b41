"""Timing for the benchmarks: the CPU time of the measuring thread (user and system, so page
faults count), fastest of several runs.

Every measured operation runs on one thread and waits for nothing (files come from the page
cache), so on an idle machine this equals the wall-clock time; on a shared machine it leaves
out the time the thread sat waiting for a core, which wall-clock time would add at random."""

import gc
import time


def best_seconds(action, repeats):
    """Fastest CPU time of `repeats` calls of `action`, with the collector paused."""
    best = float("inf")
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.thread_time()
            action()
            best = min(best, time.thread_time() - start)
    finally:
        if enabled:
            gc.enable()
    return best


def timed_once(action):
    """(result, CPU seconds) of one call of `action`."""
    start = time.thread_time()
    result = action()
    return result, time.thread_time() - start


def count_lines(path):
    """The floor any reader of a file pays: read it in 1 MiB blocks and count its line feeds."""
    lines = 0
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            lines += block.count(b"\n")
    return lines
