"""Footprint per file: the resident memory a loaded set holds per byte of file, and its first
load as a multiple of reading the file and counting its lines, both measured in a fresh
interpreter per load (memory_benchmark.loaded_set_memory), so that every page the set needs is new to the process.

    python bench/footprint_benchmark.py [--scratch DIR] [--runs 3]   # the table alone

Each file is loaded in `runs` fresh interpreters; the table shows the fastest first load and
the fastest floor of those runs, and the memory of the first."""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402
from memory_benchmark import loaded_set_memory  # noqa: E402

# File, then the goals: resident memory per file byte, first load per floor (None: no goal).
FOOTPRINT_FILES = [
    ("birds-363taxa-635genes.tre.gz", 2.5, 5),
    ("plants1kp-103taxa-852genes.tre", 2, 5),
    ("palaeognaths-14taxa-10000sim.tre", 3, 6),
    ("sim-100taxa-2500trees-nolengths.tre", 16, 20),
    ("edge-genefamilies-199trees-nosemicolon.tre", 16, None),
    ("nested-200000-deep.tre", 60, None),
]


def footprint_paths(scratch):
    """(path, memory goal, first-load goal) of every file of the table, made ready in `scratch`."""
    rows = []
    for name, memory_goal, load_goal in FOOTPRINT_FILES:
        if name.startswith("nested-"):
            path = bench_inputs.nested_tree_file(Path(scratch) / name, 200_000)
        else:
            path = bench_inputs.real_file(name, scratch)
        rows.append((path, memory_goal, load_goal))
    return rows


def measure_footprint(paths_and_goals, runs, log):
    rows = []
    for path, memory_goal, load_goal in paths_and_goals:
        probes = [loaded_set_memory(path) for _ in range(runs)]
        row = {
            "file": Path(path).name,
            "bytes": Path(path).stat().st_size,
            "trees": probes[0]["trees"],
            "resident": probes[0]["resident"],
            "peak": probes[0]["peak"],
            "first_load_s": min(probe["first_load_s"] for probe in probes),
            "floor_s": min(probe["floor_s"] for probe in probes),
            "memory_goal": memory_goal,
            "first_load_goal": load_goal,
        }
        log("footprint %s: resident %.2fx the file, first load %.1fx the floor"
            % (row["file"], row["resident"] / row["bytes"], row["first_load_s"] / row["floor_s"]))  # fmt: skip
        rows.append(row)
    return rows


def _goal_cell(value, goal):
    if goal is None:
        return "-"
    return "<= %gx (%s)" % (goal, "met" if value <= goal else "**not met**")


def footprint_table(results):
    lines = [
        "| file | MB | trees | resident / file | goal | first load / floor | goal "
        "| first load | floor |",
        "|---|---:|---:|---:|---|---:|---|---:|---:|",
    ]
    for row in results["footprint"]:
        memory = row["resident"] / row["bytes"]
        load = row["first_load_s"] / row["floor_s"]
        mb = row["bytes"] / 1e6
        lines.append("| %s | %.2f | %d | **%.2fx** | %s | **%.1fx** | %s | %.4f s (%.0f MB/s) "
                     "| %.4f s |" % (
                         row["file"], mb, row["trees"], memory,
                         _goal_cell(memory, row["memory_goal"]), load,
                         _goal_cell(load, row["first_load_goal"]), row["first_load_s"],
                         mb / row["first_load_s"], row["floor_s"]))  # fmt: skip
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scratch", type=Path, help="folder for unpacked and generated files")
    parser.add_argument("--runs", type=int, default=3, help="fresh interpreters per file")
    args = parser.parse_args(argv)
    scratch = args.scratch or Path(tempfile.mkdtemp(prefix="treetally-footprint-"))
    scratch.mkdir(parents=True, exist_ok=True)
    try:
        rows = measure_footprint(footprint_paths(scratch), args.runs, lambda message: None)
    finally:
        if args.scratch is None:
            shutil.rmtree(scratch, ignore_errors=True)
    print("\n".join(footprint_table({"footprint": rows})))


if __name__ == "__main__":
    main()
