"""Sweeps: nanoseconds per tree of the three whole-set queries, beside the same tally scripted
over a peer library (peer_tally), whose answers are checked against treetally's."""

import gc
import math
import warnings
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
        entry = row["methods"][method]
        for form, restrict in (("restrict", True), ("walk", False)):
            # Collection paused, as for treetally: the peer builds many small objects. TreeSwift
            # warns each time restriction drops a labelled node; the notes are not wanted here.
            gc.disable()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    theirs, seconds = timed_once(
                        lambda: _PEER_FUNCTIONS[method](peer_trees, walk, args, restrict)
                    )
            finally:
                gc.enable()
            entry["peer_%s_ns" % form] = seconds * 1e9 / trees
            entry["same_answer_%s" % form] = _same_answer(answers[method], theirs)
            log("  %s (%s) %s: %.0f ns/tree, same answer: %s"
                % (peer, form, method, entry["peer_%s_ns" % form],
                   entry["same_answer_%s" % form]))  # fmt: skip
    del peer_trees
    gc.collect()
    return row
