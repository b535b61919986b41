"""Memory: resident bytes of a loaded set per byte of file and the peak while loading, and,
from the C++ tool when it is built, where the bytes go."""

from pathlib import Path

import core_tool
from memory_probe import loaded_set_memory

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
