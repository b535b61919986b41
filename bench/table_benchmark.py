"""The all-quartet table: quartets per second of treetally_tools' quartet_table over the 103 taxa
of plants1kp-103taxa-852genes (4,421,275 quartets), beside a hand tally over TreeSwift.

    pip install "/path/to/treetally[bench]"
    python bench/table_benchmark.py              # a few minutes; writes bench/results/table_benchmark.md
    python bench/table_benchmark.py --smoke      # the shipped 6-taxon file, no peer: checks that it runs

Figures, all from one run:
- arrangement: on the rows of a few first taxa, the table's counting (quartets no tree holds are
  not swept; blocks restricted to the trees holding their first taxon where that pays) against
  one plain sweep per quartet, the loop a user would write, in CPU seconds;
- the whole table, iterated row by row, in one process (CPU seconds) and with --jobs worker
  processes (wall-clock seconds, as the work happens in other processes);
- the peer: the one-pass walk of bench/peer_tally.py over TreeSwift's trees, the leaner of its
  two forms, timed on a seeded sample of quartets (a whole table would take days); its counts
  are checked against treetally's. The ratio is the table's quartets per second over the peer's.
"""

import argparse
import gc
import itertools
import json
import math
import os
import random
import sys
import time
import warnings
from pathlib import Path

import treetally

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402
import peer_libraries  # noqa: E402
import peer_tally  # noqa: E402
from machine import describe_machine  # noqa: E402

from treetally_tools import tables  # noqa: E402

PLANTS = "plants1kp-103taxa-852genes.tre"
SMOKE_FILE = bench_inputs.REPO_ROOT / "examples" / "data" / "apes-6taxa-1000genes.tre"
RESULTS = Path(__file__).resolve().parent / "results"
PEER = "TreeSwift"


def log(message):
    print(message, flush=True)


def cpu_and_wall(action):
    """(result, CPU seconds of this thread, wall-clock seconds) of one call, collector paused."""
    gc.collect()
    gc.disable()
    try:
        cpu, wall = time.thread_time(), time.perf_counter()
        result = action()
        return result, time.thread_time() - cpu, time.perf_counter() - wall
    finally:
        gc.enable()


def arrangement(path, firsts):
    """CPU seconds for the rows whose first taxon is one of `firsts`: one plain sweep per
    quartet, the table's counting without restricted sets, and the table's counting as it
    arranges it."""
    table = tables.TopologyTable(path, 4, progress=False)
    blocks = [block for block in table._blocks() if block.first in firsts]
    taxa, trees = table.taxa, table.trees

    def plain():
        sweep = trees.tally_single_quartet
        return [sweep((taxa[b.first], taxa[b.second]) + rest)
                for b in blocks for rest in itertools.combinations(taxa[b.second + 1:], 2)]  # fmt: skip

    def counted(restricting):
        counter = tables._Counter(str(table.path), taxa, table.masks, trees)
        return [counter.count(4, block._replace(restrict=block.restrict and restricting)) for block in blocks]

    figures = {"rows": sum(math.comb(len(taxa) - b.second - 1, 2) for b in blocks),
               "restricted_blocks": sum(b.restrict for b in blocks), "blocks": len(blocks)}  # fmt: skip
    answers = {}
    for name, action in [("plain_sweeps", plain), ("skip_only", lambda: counted(False)), ("table", lambda: counted(True))]:
        answers[name], figures[name + "_cpu"], _ = cpu_and_wall(action)
        log("  %-13s %7.2f s CPU" % (name, figures[name + "_cpu"]))
    width = 4
    flat = [tuple(row[start:start + 3]) for row in answers["table"] for start in range(0, len(row), width)]
    figures["same_counts"] = flat == [tuple(counts) for counts in answers["plain_sweeps"]]
    table.close()
    return figures


def whole_table(path, jobs):
    """Rows and seconds of iterating the whole table."""
    with tables.TopologyTable(path, 4, jobs=jobs, progress=False) as table:
        rows, cpu, wall = cpu_and_wall(lambda: sum(1 for _ in table))
    return {"jobs": jobs, "rows": rows, "cpu": cpu, "wall": wall}


def peer_sample(path, sample, seed):
    """Seconds per quartet of the TreeSwift hand tally on a seeded sample of quartets."""
    usable, detail = peer_libraries.peer_status(PEER)
    if not usable:
        return {"error": detail}
    trees = peer_libraries.read_trees(PEER, path)
    walk = peer_libraries.walk_of(PEER)
    ours = treetally.TreeSet(path)
    taxa = ours.taxa()
    rng = random.Random(seed)
    quartets = [tuple(sorted(rng.sample(range(len(taxa)), 4))) for _ in range(sample)]
    names = [tuple(taxa[k] for k in quartet) for quartet in quartets]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs, cpu, _ = cpu_and_wall(lambda: [peer_tally.tally_quartets(trees, walk, n) for n in names])
    same = theirs == [ours.tally_single_quartet(n) for n in names]
    return {"library": PEER, "version": detail, "quartets": sample, "cpu": cpu, "same_counts": same}


def report(results):
    machine = results["machine"]
    lines = [
        "# All-quartet table",
        "",
        "`python bench/table_benchmark.py` on %s (%s taxa, %s trees), %s; %s, nproc %s, load %.2f at the start; %s."
        % (results["file"], results["taxa"], results["trees"], machine["python"], machine["cpu"],
           machine["nproc"], machine["load_average"] or 0.0, machine["date"]),  # fmt: skip
        "",
        "| what | quartets | seconds | quartets/s |",
        "|---|---:|---:|---:|",
    ]
    arranged = results.get("arrangement")
    if arranged:
        for name, label in [("plain_sweeps", "one `tally_single_quartet` per quartet (CPU)"),
                            ("skip_only", "table counting, no restricted sets (CPU)"),
                            ("table", "table counting as arranged (CPU)")]:  # fmt: skip
            seconds = arranged[name + "_cpu"]
            lines.append("| %s, rows of %d first taxa | %d | %.2f | %.0f |"
                         % (label, len(results["firsts"]), arranged["rows"], seconds, arranged["rows"] / max(seconds, 1e-9)))  # fmt: skip
    for run in results.get("whole", []):
        clock, seconds = ("CPU", run["cpu"]) if run["jobs"] == 1 else ("wall clock", run["wall"])
        lines.append("| whole table, %d process%s (%s) | %d | %.1f | %.0f |"
                     % (run["jobs"], "" if run["jobs"] == 1 else "es", clock, run["rows"], seconds, run["rows"] / max(seconds, 1e-9)))  # fmt: skip
    peer = results.get("peer", {})
    if "cpu" in peer:
        rate = peer["quartets"] / peer["cpu"]
        lines.append("| %s hand tally (one-pass walk), seeded sample (CPU) | %d | %.1f | %.2f |"
                     % (PEER, peer["quartets"], peer["cpu"], rate))  # fmt: skip
        serial = [run for run in results.get("whole", []) if run["jobs"] == 1]
        if serial:
            ours = serial[0]["rows"] / serial[0]["cpu"]
            lines += ["", "Table in one process against the %s hand tally: **%.0fx** (same counts: %s); "
                      "the whole table by the peer would take about %.0f days on one core."
                      % (PEER, ours / rate, peer["same_counts"], serial[0]["rows"] / rate / 86400)]  # fmt: skip
    elif peer:
        lines += ["", "Peer left out: %s" % peer.get("error")]
    if arranged:
        lines += ["", "Counting as arranged against one plain sweep per quartet: %.2fx (same counts: %s; "
                  "%d of %d blocks restricted)." % (arranged["plain_sweeps_cpu"] / arranged["table_cpu"],
                  arranged["same_counts"], arranged["restricted_blocks"], arranged["blocks"])]  # fmt: skip
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file, no peer, nothing written")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="processes of the parallel run")
    parser.add_argument("--no-whole", action="store_true", help="skip the whole-table runs")
    parser.add_argument("--peer-sample", type=int, default=40, help="quartets the peer tallies (default 40)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    if args.smoke:
        path = SMOKE_FILE
    elif not (bench_inputs.SHARED_DATA / PLANTS).is_file():
        raise SystemExit("the gene-tree files are missing: expected %s" % bench_inputs.SHARED_DATA)
    else:
        path = bench_inputs.SHARED_DATA / PLANTS
    trees = treetally.TreeSet(path)
    firsts = [0] if args.smoke else [5, 30, 55, 80]
    results = {"machine": describe_machine(), "file": path.name, "taxa": len(trees.taxa()), "trees": len(trees),
               "firsts": firsts}  # fmt: skip
    log("arrangement, rows whose first taxon is one of %s:" % firsts)
    results["arrangement"] = arranged = arrangement(path, firsts)
    if not args.no_whole:
        results["whole"] = []
        for jobs in sorted({1, max(1, args.jobs)}):
            log("whole table, %d process(es) ..." % jobs)
            results["whole"].append(whole_table(path, jobs))
            log("  %(rows)d rows, %(cpu).1f s CPU, %(wall).1f s wall clock" % results["whole"][-1])
    if not args.smoke:
        log("peer %s on %d quartets ..." % (PEER, args.peer_sample))
        results["peer"] = peer_sample(path, args.peer_sample, args.seed)
    text = report(results)
    print("\n" + text)
    if not args.smoke:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "table_benchmark.md").write_text(text, encoding="utf-8")
        (RESULTS / "table_benchmark.json").write_text(json.dumps(results, indent=1), encoding="utf-8")
    same = arranged["same_counts"] and results.get("peer", {}).get("same_counts", True)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
