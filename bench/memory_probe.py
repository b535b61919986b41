"""Resident memory of a loaded TreeSet, measured in a fresh interpreter per file so that
nothing else the benchmark did is counted: the growth of the resident set from just before
`TreeSet(path)` to just after, and the high-water mark the load reached (the kernel's mark is
reset just before the load, so start-up of the interpreter does not count). In the same
interpreter, before the load, the floor: the fastest of five reads of the file in 1 MiB blocks
counting its line feeds."""

import json
import subprocess
import sys
from pathlib import Path

_PROBE = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[2])
import treetally
from timing import count_lines

def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no " + field)

path = sys.argv[1]
floor = float("inf")
for _ in range(5):
    start = time.thread_time()
    count_lines(path)
    floor = min(floor, time.thread_time() - start)
try:
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # resets VmHWM to the current resident size
except OSError:
    pass  # an older or locked-down kernel: the peak may then include start-up
before = status_bytes("VmRSS")
start = time.thread_time()
tree_set = treetally.TreeSet(path)
seconds = time.thread_time() - start
after = status_bytes("VmRSS")
peak = status_bytes("VmHWM")
print(json.dumps({"trees": len(tree_set), "resident": after - before, "peak": peak - before,
                  "first_load_s": seconds, "floor_s": floor}))
"""


def loaded_set_memory(path):
    """{"trees", "resident", "peak", "first_load_s", "floor_s"}: bytes added by loading `path`,
    at the end and at most, the CPU seconds of that first load, page faults of fresh memory
    included, and of the floor."""
    done = subprocess.run(
        [sys.executable, "-c", _PROBE, str(path), str(Path(__file__).resolve().parent)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(done.stdout)
