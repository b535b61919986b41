"""Runs the treetally benchmarks, each backing one stated goal; each writes its results as JSON
and Markdown to bench/results (see bench/README.md for the goals and the last results).

    python bench/run.py                        # every benchmark (the better part of an hour)
    python bench/run.py --only tables          # one benchmark (--only again for more)
    python bench/run.py --only module -- --no-peers   # options after -- go to that benchmark
    python bench/run.py --smoke                # every benchmark on tiny inputs, a minute (CI)
    python bench/run.py --list                 # the benchmarks and their goals

Each benchmark runs in an interpreter of its own, so that no figure counts memory or threads
another left behind; the run goes on past a failing benchmark and exits 1 if any failed. A
benchmark is also a script of its own (`python bench/table_benchmark.py --help`)."""

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# name: (script, arguments it always takes, the goal it backs)
BENCHMARKS = {
    "module": ("module_benchmark.py", [],
               "loads and whole-set queries against the floor and the peer libraries; memory per byte "
               "of file; scaling with trees and tree size; crafted names load like random ones"),
    "tables": ("table_benchmark.py", [],
               "all-quartet table to finished columns >= 300x the per-quartet sweeps; 2 threads >= 1.5x 1; "
               "the same with the T3 test <= 1.5x without"),
    "row_values": ("row_values_benchmark.py", [],
                   "plants1kp CSV with a species tree and BH-adjusted p-values <= 2x the plain CSV; "
                   "to_dataframe() <= 2x to_columns()"),
    "digests": ("digest.py", ["--check"],
                "whole tables at every kernel width and thread count equal results/table_digests.json"),
    "interrupt": ("interrupt_benchmark.py", [], "Ctrl-C stops a load or a table within 0.1 s"),
    "species_tree": ("species_tree_benchmark.py", [],
                     "QDC species tree of the 363-taxon birds file <= 300 s and 2 GB; 150 taxa <= 10 s; "
                     "fastme against nj alone"),
    "taxon_map": ("taxon_map_benchmark.py", [],
                  "mammals table under a map of single individuals <= 1.2x the plain one; fungi copies reported"),
    "networks": ("network_benchmark.py", [], "NANUQ distance and TINNiK tree of blobs each <= 2x the quartet table"),
}


def parse_arguments(argv):
    extra = []
    if "--" in argv:
        argv, extra = argv[: argv.index("--")], argv[argv.index("--") + 1 :]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", metavar="NAME", choices=sorted(BENCHMARKS),
                        help="run this benchmark (again for more); default: every one")  # fmt: skip
    parser.add_argument("--smoke", action="store_true",
                        help="tiny inputs, checks that every benchmark runs; times nothing that matters")  # fmt: skip
    parser.add_argument("--out", type=Path,
                        help="folder for the results (default: bench/results, or a temporary folder "
                             "removed at the end with --smoke)")  # fmt: skip
    parser.add_argument("--list", action="store_true", help="name the benchmarks and their goals")
    args = parser.parse_args(argv)
    if extra and len(args.only or []) != 1:
        parser.error("options after -- go to one benchmark: name it with --only")
    args.extra = extra
    return args


def run_benchmark(name, smoke, out, extra):
    """(exit status, seconds) of one benchmark in an interpreter of its own."""
    script, fixed = BENCHMARKS[name][:2]
    command = [sys.executable, str(HERE / script), *fixed]
    command += ["--smoke"] if smoke else []
    command += ["--out", str(out)] if out is not None else []
    started = time.monotonic()
    print("=== %s: %s" % (name, " ".join(command[1:])), flush=True)
    # Run from bench/, so that a source tree's package folder cannot shadow the installed one.
    status = subprocess.call(command + extra, cwd=HERE)
    return status, time.monotonic() - started


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    if args.list:
        for name, (script, _, goal) in BENCHMARKS.items():
            print("%-13s %-27s %s" % (name, script, goal))
        return 0
    names = args.only or list(BENCHMARKS)
    out, temporary = args.out, None
    if out is None and args.smoke:
        out = temporary = Path(tempfile.mkdtemp(prefix="treetally-smoke-"))
    try:
        outcomes = {name: run_benchmark(name, args.smoke, out, args.extra) for name in names}
    finally:
        if temporary is not None:
            shutil.rmtree(temporary, ignore_errors=True)
    print()
    for name, (status, seconds) in outcomes.items():
        print("%-13s %s in %.1f s" % (name, "ok" if status == 0 else "FAILED (exit status %d)" % status, seconds))
    failed = [name for name, (status, _) in outcomes.items() if status != 0]
    if temporary is not None:
        print("smoke results went to a temporary folder, now removed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
