"""Species trees (QDC) of the 363-taxon birds file without the quartet table: wall-clock time
and peak resident memory, each case in a fresh interpreter so that its peak is its own; the
CPU time of all threads is given beside the wall-clock time, which on a shared machine also
counts the time the threads waited for a core.

    python bench/species_tree_benchmark.py [--scratch DIR] [--jobs N] [--out FILE]

Cases: all 363 taxa, and the first 150 taxa in file order. Goals on the 2-core machine: the
whole file in at most 300 s and 2 GB, 150 taxa in at most 10 s. The load of the file is timed
apart and left out of the case's time."""

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_inputs import BIRDS, real_data_available, real_file  # noqa: E402
from machine import describe_machine  # noqa: E402

# Run in a child: loads the file, builds the species tree, reports times and the peak RSS.
CHILD = """
import json, resource, sys, time
import treetally
from treetally_tools import species_tree
path, count, jobs, weighted = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1"
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
started = time.perf_counter()
trees = treetally.TreeSet(path)
loaded, cpu_loaded = time.perf_counter(), cpu()
taxa = trees.taxa()[:count] if count else None
tree = species_tree(trees, taxa, weighted=weighted, jobs=jobs, progress=False)
done = time.perf_counter()
print(json.dumps({"load_s": loaded - started, "species_tree_s": done - loaded, "cpu_s": cpu() - cpu_loaded,
                  "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "taxa": len(taxa) if taxa else len(trees.taxa()), "newick_chars": len(tree)}))
"""

GOALS = {0: (300.0, 2048.0), 150: (10.0, None)}


def run_case(path, count, jobs, weighted):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), str(count), str(jobs), "1" if weighted else "0"],
        capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scratch", help="folder for the unpacked file (default: a temporary one)")
    parser.add_argument("--jobs", type=int, default=0, help="threads (default 0: one per core)")
    parser.add_argument("--out", help="also write the figures as JSON here")
    arguments = parser.parse_args()
    if not real_data_available():
        sys.exit("the shared data files are not available")
    with tempfile.TemporaryDirectory() as temporary:
        path = real_file(BIRDS, arguments.scratch or temporary)
        results = {"machine": describe_machine(), "jobs": arguments.jobs, "cases": []}
        for count, weighted in ((150, False), (0, False), (0, True)):
            figures = run_case(path, count, arguments.jobs, weighted)
            figures["weighted"] = weighted
            time_goal, memory_goal = GOALS[count] if not weighted else (None, None)
            figures["time_goal_s"], figures["memory_goal_mib"] = time_goal, memory_goal
            results["cases"].append(figures)
            met = (time_goal is None or figures["species_tree_s"] <= time_goal) and (
                memory_goal is None or figures["peak_rss_mib"] <= memory_goal
            )
            print(
                f"{'WQDC' if weighted else 'QDC'} {figures['taxa']} taxa: {figures['species_tree_s']:.1f} s "
                f"(CPU {figures['cpu_s']:.1f} s), "
                f"load {figures['load_s']:.1f} s, peak RSS {figures['peak_rss_mib']:.0f} MiB"
                + ("" if time_goal is None else f"; goal {time_goal:.0f} s" + (f", {memory_goal:.0f} MiB" if memory_goal else "")
                   + (": met" if met else ": NOT met"))
            )
    if arguments.out:
        Path(arguments.out).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
