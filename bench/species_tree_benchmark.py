"""Species trees (QDC) of the 363-taxon birds file without the quartet table: wall-clock time
and peak resident memory, each case in a fresh interpreter so that its peak is its own; the
CPU time of all threads is given beside the wall-clock time, which on a shared machine also
counts the time the threads waited for a core.

    python bench/species_tree_benchmark.py [--scratch DIR] [--jobs N] [--out DIR]
    python bench/species_tree_benchmark.py --smoke --out DIR   # the shipped 6-taxon file, seconds

Cases: all 363 taxa, and the first 150 taxa in file order, the tree built by balanced minimum
evolution (fastme, the default) and, for 150 taxa, by neighbor joining (nj) as well. Goals on
the 2-core machine: the whole file in at most 300 s and 2 GB, 150 taxa in at most 10 s. The load
of the file is timed apart and left out of the case's time. Then the two builders alone, on the
QDC distances of all 363 taxa counted once, and the ratio of their times. Writes
species_tree_benchmark.json and .md to bench/results (or --out)."""

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_inputs import BIRDS, SMOKE_FILE, real_data_available, real_file  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import RESULTS_DIR, machine_lines, markdown_table, verdict, write_results  # noqa: E402

HERE = Path(__file__).resolve().parent

# Run in a child: loads the file, builds the species tree, reports times and the peak RSS.
CHILD = """
import json, resource, sys, time
import treetally
from treetally_tools import species_tree
path, count, jobs, weighted, builder = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1", sys.argv[5]
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
started = time.perf_counter()
trees = treetally.TreeSet(path)
loaded, cpu_loaded = time.perf_counter(), cpu()
taxa = trees.taxa()[:count] if count else None
tree = species_tree(trees, taxa, weighted=weighted, jobs=jobs, progress=False, builder=builder)
done = time.perf_counter()
print(json.dumps({"load_s": loaded - started, "species_tree_s": done - loaded, "cpu_s": cpu() - cpu_loaded,
                  "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "taxa": len(taxa) if taxa else len(trees.taxa()), "newick_chars": len(tree)}))
"""

# Run in a child: counts the QDC distances once, then times each builder alone on them.
BUILDERS_CHILD = """
import json, sys, time
import treetally
from treetally_tools import TopologyTable, _engine
path, jobs = sys.argv[1], int(sys.argv[2])
trees = treetally.TreeSet(path)
with TopologyTable(trees, 4, jobs=jobs, progress=False) as table:
    values = _engine.quartet_distances(table.trees, table.taxa, False, jobs)[0]
    taxa = len(table.taxa)
figures = {"taxa": taxa}
for builder in ("fastme", "nj"):
    started = time.perf_counter()
    _engine.distance_tree(values, taxa, builder)
    figures[builder + "_s"] = time.perf_counter() - started
print(json.dumps(figures))
"""

GOALS = {0: (300.0, 2048.0), 150: (10.0, None)}


def run_case(path, count, jobs, weighted, builder="fastme"):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), str(count), str(jobs), "1" if weighted else "0", builder],
        capture_output=True, text=True, check=True, cwd=HERE,  # not a source tree's package
    )
    return json.loads(done.stdout)


def run_builders(path, jobs):
    done = subprocess.run(
        [sys.executable, "-c", BUILDERS_CHILD, str(path), str(jobs)], capture_output=True, text=True, check=True, cwd=HERE
    )
    return json.loads(done.stdout)


def goal_met(figures):
    """None where the case has no goal, else whether its time and memory met it."""
    time_goal, memory_goal = figures["time_goal_s"], figures["memory_goal_mib"]
    if time_goal is None:
        return None
    return figures["species_tree_s"] <= time_goal and (memory_goal is None or figures["peak_rss_mib"] <= memory_goal)


def report(results):
    rows = []
    for case in results["cases"]:
        met = goal_met(case)
        goal = "" if case["time_goal_s"] is None else "%g s" % case["time_goal_s"] + (
            ", %g MiB" % case["memory_goal_mib"] if case["memory_goal_mib"] else "")  # fmt: skip
        rows.append(("%s, %d taxa, %s" % ("WQDC" if case["weighted"] else "QDC", case["taxa"], case["builder"]),
                     "%.1f" % case["species_tree_s"], "%.1f" % case["cpu_s"], "%.1f" % case["load_s"],
                     "%.0f" % case["peak_rss_mib"], goal, "" if met is None else verdict(met)))  # fmt: skip
    lines = ["# Species trees without the quartet table", "", machine_lines(results["machine"])[0], "",
             "%s, %s threads (0: one per core); each case in a fresh interpreter." % (
                 results["file"], results["jobs"]), ""]  # fmt: skip
    lines += markdown_table(("case", "wall (s)", "CPU (s)", "load (s)", "peak RSS (MiB)", "goal", "met"), rows,
                            ["---", "---:", "---:", "---:", "---:", "---", "---"])  # fmt: skip
    builders = results["builders"]
    lines += ["", "The builders alone on the QDC distances of %d taxa: fastme %.3f s, nj %.3f s (%.1fx)." % (
        builders["taxa"], builders["fastme_s"], builders["nj_s"], builders["fastme_s"] / max(builders["nj_s"], 1e-9))]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file: checks that it runs")
    parser.add_argument("--scratch", help="folder for the unpacked file (default: a temporary one)")
    parser.add_argument("--jobs", type=int, default=0, help="threads (default 0: one per core)")
    parser.add_argument("--out", type=Path, help="folder for the results (default: bench/results)")
    arguments = parser.parse_args()
    if arguments.smoke:
        cases, source = ((0, False, "fastme"), (0, False, "nj"), (0, True, "fastme")), SMOKE_FILE
    elif not real_data_available():
        sys.exit("the shared data files are not available")
    else:
        cases = ((150, False, "fastme"), (150, False, "nj"), (0, False, "fastme"), (0, True, "fastme"))
        source = None
    with tempfile.TemporaryDirectory() as temporary:
        path = source or real_file(BIRDS, arguments.scratch or temporary)
        results = {"machine": describe_machine(), "file": Path(path).name, "jobs": arguments.jobs, "cases": []}
        for count, weighted, builder in cases:
            figures = run_case(path, count, arguments.jobs, weighted, builder)
            figures["weighted"], figures["builder"] = weighted, builder
            goal = not (weighted or arguments.smoke or builder != "fastme")
            time_goal, memory_goal = GOALS[count] if goal else (None, None)
            figures["time_goal_s"], figures["memory_goal_mib"] = time_goal, memory_goal
            results["cases"].append(figures)
            met = goal_met(figures)
            print(
                f"{'WQDC' if weighted else 'QDC'} {figures['taxa']} taxa, {builder}: {figures['species_tree_s']:.1f} s "
                f"(CPU {figures['cpu_s']:.1f} s), "
                f"load {figures['load_s']:.1f} s, peak RSS {figures['peak_rss_mib']:.0f} MiB"
                + ("" if met is None else f"; goal {time_goal:.0f} s" + (f", {memory_goal:.0f} MiB" if memory_goal else "")
                   + (": met" if met else ": NOT met"))
            )
        results["builders"] = builders = run_builders(path, arguments.jobs)
        print(
            f"builders alone, {builders['taxa']} taxa: fastme {builders['fastme_s']:.3f} s, nj {builders['nj_s']:.3f} s"
        )
    if arguments.smoke:
        assert all(case["taxa"] == 6 and case["newick_chars"] > 0 for case in results["cases"]), results
        if arguments.out is None:
            return
    write_results(arguments.out or RESULTS_DIR, "species_tree_benchmark", results, report(results))


if __name__ == "__main__":
    main()
