"""The all-quartet table: quartets per second of treetally_tools' quartet_table over the 103 taxa
of plants1kp-103taxa-852genes (4,421,275 quartets), beside a hand tally over TreeSwift.

    pip install "/path/to/treetally[bench]"
    python bench/table_benchmark.py              # ten minutes or so; writes bench/results/table_benchmark.md
    python bench/table_benchmark.py --smoke      # the shipped 6-taxon file, no peer: checks that it runs

Figures, all from one run:
- the whole table, two ways, in CPU seconds: one plain tally_single_quartet per quartet (the
  loop a user would write, without labels; CPU of this thread), and the table as it runs on one
  counting thread, rows included (CPU of the whole process, the counting thread with it);
- the whole table on --jobs counting threads, in wall-clock seconds and in the CPU seconds of
  the process;
- the peer: the one-pass walk of bench/peer_tally.py over TreeSwift's trees, the leaner of its
  two forms, timed on a seeded sample of quartets (a whole table would take days); its counts
  are checked against treetally's. The ratio is the table's quartets per second over the peer's.
"""

import argparse
import gc
import itertools
import json
import os
import random
import sys
import time
import warnings
from array import array
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


def cpu_and_wall(action, clock=time.thread_time):
    """(result, CPU seconds by `clock`, wall-clock seconds) of one call, collector paused."""
    gc.collect()
    gc.disable()
    try:
        cpu, wall = clock(), time.perf_counter()
        result = action()
        return result, clock() - cpu, time.perf_counter() - wall
    finally:
        gc.enable()


def one_process(path):
    """CPU seconds of the whole table: plain sweeps, and the table as it runs on one thread."""
    table = tables.TopologyTable(path, 4, progress=False)
    taxa, trees = table.taxa, table.trees
    sweep = trees.tally_single_quartet

    def plain():
        counts = array("q")
        for quartet in itertools.combinations(taxa, 4):
            counts.extend(sweep(quartet))
        return counts

    def as_run():
        counts = array("q")
        for row in table:
            counts.extend(row.counts)
        return counts

    expected, plain_cpu, _ = cpu_and_wall(plain)
    counted, table_cpu, _ = cpu_and_wall(as_run, time.process_time)
    figures = {"rows": len(table), "same_counts": counted == expected, "plain_sweeps_cpu": plain_cpu,
               "table_cpu": table_cpu}  # fmt: skip
    for name in ("plain_sweeps", "table"):
        log("  %-13s %7.1f s CPU" % (name, figures[name + "_cpu"]))
    return figures


def threads(path, jobs):
    """Rows, wall-clock seconds and CPU seconds of the process of iterating the whole table on
    `jobs` counting threads."""
    with tables.TopologyTable(path, 4, jobs=jobs, progress=False) as table:
        rows, cpu, wall = cpu_and_wall(lambda: sum(1 for _ in table), time.process_time)
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
        % (
            results["file"],
            results["taxa"],
            results["trees"],
            machine["python"],
            machine["cpu"],
            machine["nproc"],
            machine["load_average"] or 0.0,
            machine["date"],
        ),  # fmt: skip
        "",
        "| what | quartets | seconds | quartets/s |",
        "|---|---:|---:|---:|",
    ]
    single = results.get("one_process")
    if single:
        for name, label in [("plain_sweeps", "one plain `tally_single_quartet` per quartet, one thread (CPU)"),
                            ("table", "**`quartet_table` as it runs, rows included, one thread (CPU)**")]:  # fmt: skip
            seconds = single[name + "_cpu"]
            lines.append(
                "| %s | %d | %.1f | %.0f |" % (label, single["rows"], seconds, single["rows"] / max(seconds, 1e-9))
            )
    for run in results.get("parallel", []):
        label = "`quartet_table(jobs=%d)`, rows included (wall clock; %.1f s CPU)" % (run["jobs"], run["cpu"])
        lines.append(
            "| %s | %d | %.1f | %.0f |" % (label, run["rows"], run["wall"], run["rows"] / max(run["wall"], 1e-9))
        )
    peer = results.get("peer", {})
    if "cpu" in peer:
        rate = peer["quartets"] / peer["cpu"]
        lines.append("| %s hand tally (one-pass walk), seeded sample, one process (CPU) | %d | %.1f | %.2f |"
                     % (PEER, peer["quartets"], peer["cpu"], rate))  # fmt: skip
        if single:
            ours = single["rows"] / single["table_cpu"]
            lines += ["", "`quartet_table` in one process against the %s hand tally: **%.0fx** (same counts: %s); "
                      "the whole table by the peer would take about %.1f days on one core."
                      % (PEER, ours / rate, peer["same_counts"], single["rows"] / rate / 86400)]  # fmt: skip
    elif peer:
        lines += ["", "Peer left out: %s" % peer.get("error")]
    if single:
        lines += ["", "`quartet_table` against one plain sweep per quartet: %.2fx (same counts: %s)."
                  % (single["plain_sweeps_cpu"] / max(single["table_cpu"], 1e-9), single["same_counts"])]  # fmt: skip
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file, no peer, nothing written")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="counting threads of the parallel run")
    parser.add_argument("--no-parallel", action="store_true", help="skip the run on several threads")
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
    results = {"machine": describe_machine(), "file": path.name, "taxa": len(trees.taxa()), "trees": len(trees)}
    log("whole table, plain sweeps and as it runs on one thread:")
    results["one_process"] = single = one_process(path)
    if not args.no_parallel and args.jobs > 1:
        log("whole table, %d threads ..." % args.jobs)
        results["parallel"] = [threads(path, args.jobs)]
        log("  %(rows)d rows, %(wall).1f s wall clock, %(cpu).1f s CPU" % results["parallel"][0])
    if not args.smoke:
        log("peer %s on %d quartets ..." % (PEER, args.peer_sample))
        results["peer"] = peer_sample(path, args.peer_sample, args.seed)
    text = report(results)
    print("\n" + text)
    if not args.smoke:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "table_benchmark.md").write_text(text, encoding="utf-8")
        (RESULTS / "table_benchmark.json").write_text(json.dumps(results, indent=1), encoding="utf-8")
    same = single["same_counts"] and results.get("peer", {}).get("same_counts", True)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
