"""Sweeps: nanoseconds per tree of the three whole-set queries, beside the same tally scripted
over a peer library (peer_tally), whose answers are checked against treetally's."""

import gc
import math
from pathlib import Path

import treetally

import peer_libraries
import peer_tally
from timing import best_seconds, timed_once

METHODS = ["tally_single_quintet", "tally_single_quartet", "coalesence_times_by_topology"]
_PEER_FUNCTIONS = {
    "tally_single_quintet": peer_tally.tally_quintets,
    "tally_single_quartet": peer_tally.tally_quartets,
    "coalesence_times_by_topology": peer_tally.coalescence_times,
}


def _names_for(method, names):
    return tuple(names[:4]) if method == "tally_single_quartet" else tuple(names[:5])


def _same_answer(ours, theirs):
    return len(ours) == len(theirs) and all(
        math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12) for a, b in zip(ours, theirs)
    )


def measure_sweeps(path, repeats, peer, log):
    """ns per tree of each method on `path`, for treetally and, when given, the peer."""
    path = Path(path)
    tree_set = treetally.TreeSet(str(path))
    trees = len(tree_set)
    names = tree_set.taxa()[:5]
    row = {"file": path.name, "trees": trees, "names": list(names), "methods": {}}
    answers = {}
    for method in METHODS:
        query = getattr(tree_set, method)
        args = _names_for(method, names)
        answers[method] = query(args)
        seconds = best_seconds(lambda: query(args), repeats)
        row["methods"][method] = {"treetally_ns": seconds * 1e9 / trees}
        log("sweep %s %s: %.0f ns/tree" % (path.name, method, seconds * 1e9 / trees))
    if peer is None:
        return row
    row["peer"] = peer
    peer_trees = peer_libraries.read_trees(peer, path)
    walk = peer_libraries.walk_of(peer)
    for method in METHODS:
        args = _names_for(method, names)
        # Collection paused, as for treetally: the peer builds many small objects.
        gc.disable()
        try:
            theirs, seconds = timed_once(lambda: _PEER_FUNCTIONS[method](peer_trees, walk, args))
        finally:
            gc.enable()
        entry = row["methods"][method]
        entry["peer_ns"] = seconds * 1e9 / trees
        entry["same_answer"] = _same_answer(answers[method], theirs)
        log(
            "  %s %s: %.0f ns/tree, same answer: %s"
            % (peer, method, entry["peer_ns"], entry["same_answer"])
        )
    del peer_trees
    gc.collect()
    return row
