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


def wall_and_cpu(action):
    """(result, wall-clock seconds, CPU seconds of the process, CPU seconds of this thread) of
    one call, collector paused. Wall-clock time is what counts where the engine's own threads
    take part; the CPU figures say how much of it the shared machine took from the run."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        wall, cpu, own = time.perf_counter(), time.process_time(), time.thread_time()
        result = action()
        return result, time.perf_counter() - wall, time.process_time() - cpu, time.thread_time() - own
    finally:
        if enabled:
            gc.enable()


def fastest_in_turn(actions, repeats):
    """{name: {"wall_s", "cpu_s", "thread_cpu_s"}}: the fastest of `repeats` runs of each
    action, the actions taken in turn within each round so that a busy moment of a shared
    machine weighs on all alike."""
    best = {name: {"wall_s": float("inf")} for name in actions}
    for _ in range(repeats):
        for name, action in actions.items():
            _, wall, cpu, own = wall_and_cpu(action)
            if wall < best[name]["wall_s"]:
                best[name] = {"wall_s": wall, "cpu_s": cpu, "thread_cpu_s": own}
    return best
