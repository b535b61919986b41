"""Load: seconds and MB/s of `TreeSet(path)` (reading, parsing and indexing every tree) beside
the floor any reader pays, reading the file and counting its lines, and beside the same file
read by each peer library."""

import gc
from pathlib import Path

import treetally

import peer_libraries
from memory_benchmark import loaded_set_memory
from timing import best_seconds, count_lines, timed_once


def node_count(path):
    """Nodes the trees of the file have: one root per line plus one per "(" and ",", which
    holds for files without comments or quoted labels, such as all those measured here. A
    file of short labels and no lengths has more nodes per byte, so MB/s alone misleads."""
    data = Path(path).read_bytes()
    return data.count(b"(") + data.count(b",") + data.count(b"\n")


def peer_load(name, path):
    """Seconds for one read of `path` by the peer, and its tree count; or the error text."""
    try:
        trees, seconds = timed_once(lambda: peer_libraries.read_trees(name, path))
    except Exception as error:  # a peer that cannot read the file is reported, not fatal
        return {"error": "%s: %s" % (type(error).__name__, str(error)[:80])}
    count = len(trees)
    del trees
    gc.collect()
    return {"seconds": seconds, "trees": count}


def measure_load(paths, peers, repeats, log):
    """One row per file: bytes, trees, floor and treetally seconds, and a result per peer."""
    rows = []
    for path in paths:
        path = Path(path)
        size = path.stat().st_size
        row = {"file": path.name, "bytes": size}
        row["floor_s"] = best_seconds(lambda: count_lines(path), repeats)
        row["treetally_s"] = best_seconds(lambda: treetally.TreeSet(str(path)), repeats)
        row["trees"] = len(treetally.TreeSet(str(path)))
        row["nodes"] = node_count(path)
        # The first load in a fresh interpreter, where every page of the set is new to the
        # process; repeated loads in one process may reuse memory the allocator kept.
        row["first_load_s"] = loaded_set_memory(path)["first_load_s"]
        log(
            "load %s: treetally %.1f MB/s (first load %.1f MB/s), floor %.0f MB/s"
            % (path.name, size / 1e6 / row["treetally_s"], size / 1e6 / row["first_load_s"],
               size / 1e6 / row["floor_s"])
        )  # fmt: skip
        row["peers"] = {}
        for name in peers:
            result = peer_load(name, path)
            row["peers"][name] = result
            if "seconds" in result:
                log("  %s %.2f s" % (name, result["seconds"]))
            else:
                log("  %s failed: %s" % (name, result["error"]))
        rows.append(row)
    return rows


def fastest_peer(rows, peers):
    """The peer with the least total load time over the files all of them read, or None."""
    totals = {}
    for name in peers:
        results = [row["peers"].get(name, {}) for row in rows]
        if results and all("seconds" in result for result in results):
            totals[name] = sum(result["seconds"] for result in results)
    return min(totals, key=totals.get) if totals else None
