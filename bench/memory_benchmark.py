"""Memory: resident bytes of a loaded set per byte of file and the peak while loading, and,
from the C++ tool when it is built, where the bytes go.

Every load is measured in a fresh interpreter, so that nothing else the benchmark did is
counted: the growth of the resident set from just before `TreeSet(path)` to just after, and the
high-water mark the load reached (the kernel's mark is reset just before the load, so start-up
of the interpreter does not count). In the same interpreter, before the load, the floor: the
fastest of five reads of the file in 1 MiB blocks counting its line feeds."""

import json
import subprocess
import sys
from pathlib import Path

import core_tool

_PROBE = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[2])
import treetally
from machine import reset_peak, status_bytes
from timing import count_lines

path = sys.argv[1]
floor = float("inf")
for _ in range(5):
    start = time.thread_time()
    count_lines(path)
    floor = min(floor, time.thread_time() - start)
reset_peak()  # an older or locked-down kernel refuses: the peak then includes start-up
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


# Parts of a loaded set as the C++ tool names them, in the order the report lists them.
BREAKDOWN_PARTS = [
    ("table", "range-minimum table"),
    ("tour", "Euler tour (node ids and depths)"),
    ("distances", "distances from the root (per node)"),
    ("taxon_positions", "taxon positions"),
    ("names", "taxon names and lookup table"),
    ("index_objects", "TreeLca objects"),
]


def measure_memory(paths, tool, log):
    rows = []
    for path in paths:
        path = Path(path)
        size = path.stat().st_size
        memory = loaded_set_memory(path)
        row = {"file": path.name, "bytes": size, "trees": memory["trees"],
               "resident": memory["resident"], "peak": memory["peak"]}  # fmt: skip
        if tool is not None:
            report = core_tool.core_load_report(tool, path, repeats=1)
            row["breakdown"] = report["memory"]
        log("memory %s: resident %.2fx the file, peak %.2fx"
            % (path.name, row["resident"] / size, row["peak"] / size))  # fmt: skip
        rows.append(row)
    return rows
