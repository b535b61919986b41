"""The module's loads, whole-set queries, memory and scaling, against the floor any reader pays
and against the peer Python tree libraries; writes results.md, summary.md, results.json and
PNG plots.

    python bench/run.py --only module [-- --no-peers ...]   # or this file alone:
    python bench/module_benchmark.py            # real files, peers, scaling (minutes)
    python bench/module_benchmark.py --smoke    # tiny generated inputs, no peers, seconds

See bench/README.md for what each figure means."""

import argparse
import json
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402
import core_tool  # noqa: E402
import footprint_benchmark  # noqa: E402
import load_benchmark  # noqa: E402
import memory_benchmark  # noqa: E402
import peer_libraries  # noqa: E402
import plots  # noqa: E402
import report  # noqa: E402
import scaling_benchmark  # noqa: E402
import sweep_benchmark  # noqa: E402
import treetally  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import RESULTS_DIR, log  # noqa: E402
from timing import best_seconds  # noqa: E402

# Names crafted to collide in the name table's former hash (unseeded and invertible, so a file
# could pile all its names into one probe run of the table) against as many random names of
# the same length; the C++ tool crafts both files, and the keyed hash must load them alike.
NAME_COUNTS = (64000, 200000)


def measure_name_flooding(tool, scratch, counts, repeats):
    """One row per name count: file bytes, and seconds of the two loads in Python and in C++."""
    rows = []
    for count in counts:
        core = core_tool.core_names_report(tool, scratch, count)
        row = {"names": count, "bytes": core["bytes"],
               "core_random_s": core["random_load_s"], "core_crafted_s": core["crafted_load_s"]}  # fmt: skip
        for kind in ("random", "crafted"):
            path = str(scratch / ("%s-%d.tre" % (kind, count)))
            row[kind + "_s"] = best_seconds(lambda: treetally.TreeSet(path), repeats)
        log("names %d: crafted %.4f s, random %.4f s (%.2fx)"
            % (count, row["crafted_s"], row["random_s"], row["crafted_s"] / row["random_s"]))  # fmt: skip
        rows.append(row)
    return rows


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true",
                        help="tiny generated inputs and no peers: checks that the suite runs")  # fmt: skip
    parser.add_argument("--out", type=Path,
                        help="folder for the report (default: bench/results, or a temporary "
                             "folder with --smoke)")  # fmt: skip
    parser.add_argument("--scratch", type=Path,
                        help="folder for unpacked and generated inputs, kept for the next run "
                             "(default: a temporary folder, removed at the end)")  # fmt: skip
    parser.add_argument("--no-peers", action="store_true", help="skip the peer libraries")
    parser.add_argument("--no-core-tool", action="store_true",
                        help="do not build the C++ tool for the memory breakdown")  # fmt: skip
    parser.add_argument("--repeats", type=int, default=5, help="runs per timing; the best counts")
    return parser.parse_args(argv)


def available_peers(results, wanted):
    peers = []
    for name in peer_libraries.PEER_NAMES:
        usable, detail = peer_libraries.peer_status(name)
        if usable and wanted:
            peers.append(name)
            results["notes"].append("%s %s" % (name, detail))
        elif wanted:
            results["notes"].append("%s: %s; left out of the tables" % (name, detail))
    return peers


def full_run(args, scratch, results):
    if not bench_inputs.real_data_available():
        raise SystemExit("the gene-tree files are missing: expected %s" % bench_inputs.SHARED_DATA)
    peers = available_peers(results, not args.no_peers)
    results["peers"] = peers
    tool = None
    if not args.no_core_tool:
        tool, reason = core_tool.build_core_tool()
        if tool is None:
            results["notes"].append("memory breakdown and crafted names left out: the C++ tool "
                                    "was not built (%s)" % reason)  # fmt: skip

    load_files = [bench_inputs.real_file(name, scratch) for name in bench_inputs.LOAD_FILES]
    results["load"] = load_benchmark.measure_load(load_files, peers, args.repeats, log)
    fastest = load_benchmark.fastest_peer(results["load"], peers)
    if fastest:
        results["notes"].append("Peer script for the sweeps runs over %s, the fastest peer to load "
                                "these files." % fastest)  # fmt: skip

    simulations = bench_inputs.SHARED_DATA / bench_inputs.PALAEOGNATH_SIMULATIONS
    repeated = bench_inputs.repeated_file(
        simulations, 5, Path(scratch) / "palaeognaths-14taxa-10000sim-x5.tre")
    birds = bench_inputs.real_file(bench_inputs.BIRDS, scratch)
    results["sweeps"] = [
        sweep_benchmark.measure_sweeps(path, max(args.repeats, 10), fastest, log)
        for path in (repeated, birds)
    ]

    memory_files = [birds, bench_inputs.real_file("plants1kp-103taxa-852genes.tre", scratch),
                    simulations, repeated]  # fmt: skip
    results["memory"] = memory_benchmark.measure_memory(memory_files, tool, log)
    results["footprint"] = footprint_benchmark.measure_footprint(
        footprint_benchmark.footprint_paths(scratch), 3, log)
    if tool is not None:
        results["name_flooding"] = measure_name_flooding(tool, Path(scratch), NAME_COUNTS, args.repeats)

    results["scaling"] = {
        "by_tree_count": scaling_benchmark.scale_tree_count(
            scratch, [1000, 3000, 10000, 30000, 100000], 20, 3, log),
        "by_tree_size": scaling_benchmark.scale_tree_size(
            scratch, [10, 30, 100, 300, 1000, 3000, 10000], 100, 3, log),
    }  # fmt: skip


def smoke_run(scratch, results):
    """Every section on tiny generated files, with checks that the figures make sense."""
    results["peers"] = []
    load_file = bench_inputs.generated_file(Path(scratch) / "smoke-load.tre", 300, 20)
    results["load"] = load_benchmark.measure_load([load_file], [], 2, log)
    sweep_file = bench_inputs.generated_file(Path(scratch) / "smoke-sweep.tre", 2000, 10, taxon_count=12)
    results["sweeps"] = [sweep_benchmark.measure_sweeps(sweep_file, 2, None, log)]
    results["memory"] = memory_benchmark.measure_memory([load_file], None, log)
    results["footprint"] = footprint_benchmark.measure_footprint([(load_file, None, None)], 1, log)
    results["scaling"] = {
        "by_tree_count": scaling_benchmark.scale_tree_count(scratch, [100, 300], 10, 1, log),
        "by_tree_size": scaling_benchmark.scale_tree_size(scratch, [10, 100], 20, 1, log),
    }
    load = results["load"][0]
    assert load["trees"] == 300 and load["treetally_s"] > 0 and load["floor_s"] > 0, load
    for entry in results["sweeps"][0]["methods"].values():
        assert entry["treetally_ns"] > 0, entry
    assert results["memory"][0]["resident"] > 0, results["memory"]
    footprint = results["footprint"][0]
    assert footprint["first_load_s"] > 0 and footprint["floor_s"] > 0, footprint


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    started = time.time()
    out_dir = args.out or (Path(tempfile.mkdtemp(prefix="treetally-smoke-")) if args.smoke else RESULTS_DIR)
    out_dir.mkdir(parents=True, exist_ok=True)
    scratch = args.scratch or Path(tempfile.mkdtemp(prefix="treetally-bench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    results = {"machine": describe_machine(), "notes": []}
    try:
        if args.smoke:
            smoke_run(scratch, results)
        else:
            full_run(args, scratch, results)
    finally:
        if args.scratch is None:
            shutil.rmtree(scratch, ignore_errors=True)

    drawn = plots.draw_plots(results, out_dir)
    if drawn is None:
        results["notes"].append("plots left out: matplotlib is not installed")
    (out_dir / "results.md").write_text(report.results_markdown(results, drawn or []))
    (out_dir / "summary.md").write_text(report.summary_markdown(results))
    (out_dir / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    if args.smoke and args.out is None:
        shutil.rmtree(out_dir, ignore_errors=True)
        log("smoke run passed in %.1f s (its report went to a temporary folder, now removed)"
            % (time.time() - started))  # fmt: skip
    else:
        log("report written to %s in %.1f s" % (out_dir, time.time() - started))

    mismatches = [
        "%s %s" % (row["file"], method)
        for row in results.get("sweeps", [])
        for method, entry in row["methods"].items()
        if False in (entry.get("same_answer_restrict"), entry.get("same_answer_walk"))
    ]
    if mismatches:
        log("the peer script disagrees with treetally on: " + ", ".join(mismatches))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
