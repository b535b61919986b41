"""Ctrl-C during a load: the child interpreter gets KeyboardInterrupt, the file is closed, and
nothing is reported on stderr. Every case runs in a child process, whose hang would otherwise
take the test runner with it."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD_TIMEOUT = 30

# Loads the file named by argv[1] and reports, as JSON, the exception the load ended with and
# whether the process still holds the file open afterwards.
CHILD = textwrap.dedent(
    """
    import json, os, sys
    import treetally
    path = sys.argv[1]
    outcome = None
    try:
        print("loading", flush=True)
        treetally.TreeSet(path)
    except BaseException as error:
        outcome = type(error).__name__
    fds = os.listdir("/proc/self/fd")
    still_open = any(os.path.realpath("/proc/self/fd/" + fd) == path for fd in fds if fd.isdigit())
    print(json.dumps({"outcome": outcome, "still_open": still_open}), flush=True)
    """
)

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")


def start_child(path):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "loading\n"
    return child


def interrupt_and_collect(child):
    child.send_signal(signal.SIGINT)
    try:
        out, err = child.communicate(timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the load went on after Ctrl-C")
    assert child.returncode == 0, err
    return json.loads(out), err


def feed_for_ever(fifo, block, stop_after_bytes):
    """Writes `block` into the pipe again and again; returns once `stop_after_bytes` are in."""
    handle = open(fifo, "wb", buffering=0)  # opens once the child has opened its end
    written = 0
    while written < stop_after_bytes:
        written += handle.write(block)
    return handle


@pytest.mark.parametrize("writer", ["none", "silent after one tree", "never ending"])
def test_ctrl_c_stops_a_load_from_a_pipe(tmp_path, writer):
    fifo = tmp_path / "trees.pipe"
    os.mkfifo(fifo)
    child = start_child(fifo)
    handle = None
    try:
        if writer == "none":
            time.sleep(0.5)  # the child waits in open() for a writer
        elif writer == "silent after one tree":
            handle = feed_for_ever(fifo, b"((A,B),C);\n", 1)
            time.sleep(0.5)  # the child has read the tree and waits for more
        else:
            # Lines of long comments: the child parses without pause and holds little memory.
            block = (b"[" + b"x" * 65_000 + b"](A,B);\n") * 16
            handle = feed_for_ever(fifo, block, 64 << 20)
        report, err = interrupt_and_collect(child)
    finally:
        if handle is not None:
            try:
                handle.close()
            except BrokenPipeError:
                pass
    assert report == {"outcome": "KeyboardInterrupt", "still_open": False}
    assert err == ""


# Arms a CPU-time alarm whose handler is Ctrl-C's, then loads a large regular file; the handler
# notes whether the file was still open, i.e. whether it ran before the load would have ended.
ALARM_CHILD = textwrap.dedent(
    """
    import json, os, signal, sys
    import treetally
    path = sys.argv[1]
    seen_open = []
    def on_alarm(signum, frame):
        fds = os.listdir("/proc/self/fd")
        seen_open.append(any(os.path.realpath("/proc/self/fd/" + fd) == path for fd in fds))
        raise KeyboardInterrupt
    signal.signal(signal.SIGPROF, on_alarm)
    outcome = None
    try:
        signal.setitimer(signal.ITIMER_PROF, 0.02)
        treetally.TreeSet(path)
    except BaseException as error:
        outcome = type(error).__name__
    signal.setitimer(signal.ITIMER_PROF, 0)
    print(json.dumps({"outcome": outcome, "seen_open": seen_open}))
    """
)


def test_alarm_stops_a_cpu_bound_load_of_a_large_file(tmp_path):
    # 256 MB of lines of closing brackets: the reader walks up from the root for each, which
    # takes about 20 times the 20 ms of processor time after which the alarm goes off.
    path = tmp_path / "large.nwk"
    block = (b"(A,B" + b")" * 65_000 + b";\n") * 256
    with open(path, "wb") as handle:
        for _ in range(16):
            handle.write(block)
    done = subprocess.run(
        [sys.executable, "-c", ALARM_CHILD, str(path)],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"outcome": "KeyboardInterrupt", "seen_open": [True]}
    assert done.stderr == ""
