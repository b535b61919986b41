"""The engine's tables and tallies against the module's own sweeps and against the package as
it was before the engine: ratios, each measured within one run.

    pip install "/path/to/treetally[bench]"
    python bench/table_benchmark.py                                  # after only (a few minutes)
    python bench/table_benchmark.py --before /path/to/old-venv       # also the package before
    python bench/table_benchmark.py --smoke                          # the shipped 6-taxon file (CI)

Writes table_benchmark.md and .json to bench/results (or --out; with --smoke only to --out). See bench/README.md,
"The all-quartet table", for what each figure means. In short:

1. the all-quartet table of plants1kp-103taxa-852genes (103 taxa), from the loaded TreeSet to
   finished columns (to_columns), against the module's per-quartet sweep (tally_single_quartet
   over a seeded sample of the rows, scaled to all rows); on one and two threads; at each kernel
   width the processor runs;
2. `treetally table plants1kp --size 4 --format csv > out` end to end, against the same command
   of the installation given by --before, and whether both write the same bytes;
3. the all-quintet table over the first 22 taxa of plants1kp against per-quintet sweeps;
4. quartet_tally against the bare tally_single_quartet on 50,000 trees, and `treetally quartet`
   on 50,000, 200,000 and 800,000 trees (time per tree);
5. each table's peak resident memory (a fresh interpreter) against the engine's estimate, and
   against the C++ table's own bytes_needed (bench/table_bench.cpp) unless --no-core-tool;
6. the fingerprints of the whole plants1kp quartet and palaeognath quintet tables against
   bench/results/table_digests.json, and with --before-digest the older package's rows' own.

Times are wall-clock (threads are part of what is measured), the fastest of --repeats runs,
the runs of the things compared taken in turn so that a busy moment of the shared machine
weighs on all alike; the CPU seconds of the process are kept beside them in the JSON.
"""

import argparse
import hashlib
import itertools
import json
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import treetally

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402
import core_tool  # noqa: E402
import table_digest  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import log, machine_lines, markdown_table, write_results  # noqa: E402
from timing import fastest_in_turn, wall_and_cpu  # noqa: E402

import treetally_tools  # noqa: E402
from treetally_tools import _engine  # noqa: E402
from treetally_tools.tables import TopologyTable  # noqa: E402

PLANTS = "plants1kp-103taxa-852genes.tre"
PALAEOGNATHS = bench_inputs.PALAEOGNATH_SIMULATIONS
SMOKE_FILE = bench_inputs.SMOKE_FILE
RESULTS = Path(__file__).resolve().parent / "results"
PROBE = Path(__file__).resolve().parent / "table_probe.py"
WIDTHS = ("baseline", "avx2", "avx512")
QUINTET_TAXA = 22
# Copies of the 10,000 palaeognath simulations for the tally and `treetally quartet` figures.
TREE_COPIES = (5, 20, 80)
GOALS = {"quartet_vs_sweeps": 300.0, "two_threads": 1.5, "command": 30.0, "quintet_vs_sweeps": 100.0,
         "tally_over_sweep": 1.5, "tree_test_cost": 1.5}  # fmt: skip

def capacity_probes(megabytes=32):
    """Two actions whose times say how many cores two threads get at the moment: two hashes of a
    buffer on one thread, and one hash on each of two threads (hashlib lets go of the
    interpreter lock). The first time over the second is 2.0 on an idle machine of two cores."""
    data = bytes(megabytes << 20)

    def one():
        hashlib.sha256(data).digest()

    def two():
        workers = [threading.Thread(target=one) for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    return {"capacity one thread": lambda: (one(), one()), "capacity two threads": two}


def runnable_widths():
    widths = []
    for width in WIDTHS:
        try:
            _engine.force_kernel_width(width)
        except ValueError:
            continue
        widths.append(width)
    _engine.force_kernel_width(None)
    return widths


def at_width(width, action):
    """`action` with the kernels forced to `width` (None: the processor's best)."""
    def run():
        _engine.force_kernel_width(width)
        try:
            return action()
        finally:
            _engine.force_kernel_width(None)

    return run


def combination_rank(indexes, n):
    """Rank of the sorted `indexes` among itertools.combinations(range(n), len(indexes))."""
    rank, start, size = 0, 0, len(indexes)
    for slot, index in enumerate(indexes):
        for skipped in range(start, index):
            rank += math.comb(n - skipped - 1, size - slot - 1)
        start = index + 1
    return rank


def sampled_rows(taxon_count, size, sample, seed):
    """A seeded sample of distinct rows (sorted taxon indexes) of a table."""
    rng = random.Random(seed)
    rows = set()
    total = math.comb(taxon_count, size)
    while len(rows) < min(sample, total):
        rows.add(tuple(sorted(rng.sample(range(taxon_count), size))))
    return sorted(rows)


def sweep_sample(trees, taxa, size, sample, seed, repeats):
    """The module's sweep over a seeded sample of the table's rows: the fastest wall-clock
    seconds per row, and the sampled rows with their counts (to check the table against)."""
    rows = sampled_rows(len(taxa), size, sample, seed)
    names = [tuple(taxa[k] for k in row) for row in rows]
    sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
    counts = [list(sweep(row)) for row in names]
    best = fastest_in_turn({"sweeps": lambda: [sweep(row) for row in names]}, repeats)["sweeps"]
    return {"rows_sampled": len(rows), "per_row_s": best["wall_s"] / len(rows),
            "per_row_cpu_s": best["cpu_s"] / len(rows), "check": list(zip(rows, counts))}  # fmt: skip


def to_columns(trees, size, taxa, jobs, **options):
    """The whole table as columns, from the loaded set: what goal 1 times (`options`: further
    columns, such as the tree tests)."""
    with TopologyTable(trees, size, taxa, jobs=jobs, progress=False, **options) as table:
        return table.to_columns()


def engine_only(trees, size, taxa, jobs):
    """Rows counted and handed over as blocks, nothing kept: the engine without the columns."""
    counting = _engine.Table(trees, size, tuple(taxa), jobs=jobs)
    try:
        rows = 0
        while True:
            block = counting.next_block()
            if block is None:
                return rows
            rows += len(block["holding"]) // 8
    finally:
        counting.close()


def table_agrees(columns, size, taxa_count, check):
    """True when the sampled rows' counts equal the columns' rows (and the rows come in
    combinations order)."""
    codes = table_digest.code_count(size)
    for row, counts in check:
        rank = combination_rank(row, taxa_count)
        if [columns["t%d" % (k + 1)][rank] for k in range(size)] != list(row):
            return False
        if [columns["count_%d" % code][rank] for code in range(codes)] != counts:
            return False
    return len(columns["holding"]) == math.comb(taxa_count, size)


def measure_table(trees, size, taxa, widths, args, seed):
    """Goal 1 (quartets) or 3 (quintets): the table at each width and thread count against the
    per-row sweep, in one run."""
    sample = args.sweep_sample if size == 4 else max(args.sweep_sample // 4, 10)
    sweeps = sweep_sample(trees, taxa, size, sample, seed, args.repeats)
    rows = math.comb(len(taxa), size)
    columns = to_columns(trees, size, taxa, 1)
    same = table_agrees(columns, size, len(taxa), sweeps.pop("check"))
    digest = table_digest.columns_digest(columns, size)
    del columns
    actions = {}
    for width in [None] + list(widths):
        for jobs in (1, 2):
            name = "%s jobs %d" % (width or "best", jobs)
            actions[name] = at_width(width, lambda j=jobs: to_columns(trees, size, taxa, j))
            actions[name + " engine only"] = at_width(width, lambda j=jobs: engine_only(trees, size, taxa, j))
    if size == 4:
        actions["best jobs 1 t3"] = lambda: to_columns(trees, size, taxa, 1, tree_tests=("t3",))
    actions.update(capacity_probes())
    runs = fastest_in_turn(actions, args.repeats)
    capacity = runs.pop("capacity one thread")["wall_s"] / runs.pop("capacity two threads")["wall_s"]
    digests = {width: table_digest.columns_digest(at_width(width, lambda: to_columns(trees, size, taxa, 2))(), size)
               for width in widths}  # fmt: skip
    sweep_total = sweeps["per_row_s"] * rows
    figures = {"size": size, "taxa": len(taxa), "trees": len(trees), "rows": rows, "best_width": _engine.kernel_width(),
               "sweeps": sweeps, "sweep_total_s": sweep_total, "runs": runs, "same_counts": same,
               "sha256": digest, "widths_agree": set(digests.values()) == {digest},
               "parallel_capacity": capacity}  # fmt: skip
    figures["vs_sweeps"] = sweep_total / runs["best jobs 1"]["wall_s"]
    figures["vs_sweeps_best_jobs"] = sweep_total / min(runs["best jobs 1"]["wall_s"], runs["best jobs 2"]["wall_s"])
    figures["two_threads"] = runs["best jobs 1"]["wall_s"] / runs["best jobs 2"]["wall_s"]
    if size == 4:
        figures["tree_test_cost"] = runs["best jobs 1 t3"]["wall_s"] / runs["best jobs 1"]["wall_s"]
    figures["two_threads_engine_only"] = (runs["best jobs 1 engine only"]["wall_s"]
                                          / runs["best jobs 2 engine only"]["wall_s"])  # fmt: skip
    log("  %d rows: sweeps %.1f s, columns %.3f s (1 thread) / %.3f s (2): %.0fx sweeps, 2 threads %.2fx "
        "(the machine gave two threads %.2fx)" % (rows, sweep_total, runs["best jobs 1"]["wall_s"],
                                                 runs["best jobs 2"]["wall_s"], figures["vs_sweeps"],
                                                 figures["two_threads"], capacity))  # fmt: skip
    return figures


def run_command(command, out_path, repeats=1):
    """Fastest wall-clock seconds of `command` with its standard output to `out_path`, and the
    CPU seconds of that run (the command's children)."""
    best = {"wall_s": math.inf}
    for _ in range(repeats):
        before = os.times()
        with open(out_path, "wb") as out:
            start = time.perf_counter()
            done = subprocess.run(command, stdout=out, stderr=subprocess.PIPE)
            wall = time.perf_counter() - start
        after = os.times()
        if done.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(map(str, command)), done.stderr.decode()[-500:]))
        cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
        if wall < best["wall_s"]:
            best = {"wall_s": wall, "cpu_s": cpu}
    return best


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for chunk in iter(lambda: data.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def compare_outputs(before, after):
    """Whether two outputs are the same bytes, and if not, the lines that differ (how many, and
    the first few)."""
    if file_sha256(before) == file_sha256(after):
        return {"identical": True}
    differing, examples = 0, []
    with open(before, "rb") as old, open(after, "rb") as new:
        for number, (old_line, new_line) in enumerate(itertools.zip_longest(old, new), 1):
            if old_line != new_line:
                differing += 1
                if len(examples) < 5:
                    examples.append({"line": number, "before": (old_line or b"").decode()[:300],
                                     "after": (new_line or b"").decode()[:300]})  # fmt: skip
    return {"identical": False, "differing_lines": differing, "examples": examples}


def tool_of(environment, name="treetally"):
    return Path(environment) / "bin" / name


def measure_command(path, scratch, args):
    """Goal 2: `treetally table FILE --size 4 --format csv > out`, now and before."""
    new_out, old_out = Path(scratch) / "table-after.csv", Path(scratch) / "table-before.csv"
    command = [str(Path(sys.executable).parent / "treetally"), "table", str(path), "--size", "4", "--format", "csv"]
    figures = {"after": run_command(command, new_out, args.repeats)}
    figures["after_jobs_0"] = run_command(command + ["--jobs", "0"], new_out, args.repeats)
    figures["bytes"] = new_out.stat().st_size
    log("  after: %.2f s (%.2f s with --jobs 0)" % (figures["after"]["wall_s"], figures["after_jobs_0"]["wall_s"]))
    if args.before:
        old = [str(tool_of(args.before))] + command[1:]
        log("  before (%s), once: this takes minutes ..." % args.before)
        figures["before"] = run_command(old, old_out, 1)
        figures["ratio"] = figures["before"]["wall_s"] / figures["after"]["wall_s"]
        figures["outputs"] = compare_outputs(old_out, new_out)
        log("  before: %.1f s: %.1fx; same bytes: %s"
            % (figures["before"]["wall_s"], figures["ratio"], figures["outputs"]["identical"]))  # fmt: skip
    for out in (new_out, old_out):
        if out.exists():
            out.unlink()
    return figures


def probe(environment, *arguments):
    """table_probe.py run by the interpreter of `environment` (None: this one), as JSON."""
    python = str(tool_of(environment, "python")) if environment else sys.executable
    done = subprocess.run([python, str(PROBE), *map(str, arguments)], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("table_probe.py %s failed: %s" % (arguments[0], done.stderr[-800:]))
    return json.loads(done.stdout)


def measure_tallies(scratch, args):
    """Goal 4: the labelled tally against the bare sweep on 50,000 trees, and `treetally
    quartet` at 50,000 to 800,000 trees."""
    source = bench_inputs.SHARED_DATA / PALAEOGNATHS
    files = {copies: bench_inputs.repeated_file(source, copies, Path(scratch) / ("palaeognaths-x%d.tre" % copies))
             for copies in TREE_COPIES}  # fmt: skip
    names = treetally.TreeSet(str(source)).taxa()[:5]
    smallest = files[TREE_COPIES[0]]
    figures = {"names": names, "quartet": probe(None, "tally", smallest, *names[:4], "--repeats", args.repeats),
               "quintet": probe(None, "tally", smallest, *names, "--repeats", args.repeats)}  # fmt: skip
    if args.before:
        figures["quartet_before"] = probe(args.before, "tally", smallest, *names[:4], "--repeats", 3)
    for kind in [key for key in figures if key.startswith("qu")]:
        entry = figures[kind]
        entry["ratio"] = entry["labelled_s"] / entry["sweep_s"]
        log("  %s: labelled %.4f s, bare sweep %.4f s: %.2fx" % (kind, entry["labelled_s"], entry["sweep_s"],
                                                                entry["ratio"]))  # fmt: skip
    environments = [("after", Path(sys.executable).parent.parent)] + ([("before", args.before)] if args.before else [])
    figures["command"] = []
    for copies, path in files.items():
        row = {"trees": 10000 * copies}
        for label, environment in environments:
            command = [str(tool_of(environment)), "quartet", str(path), *names[:4]]
            row[label] = run_command(command, Path(scratch) / "quartet.out", args.repeats if label == "after" else 1)
            row[label]["per_tree_ns"] = 1e9 * row[label]["wall_s"] / row["trees"]
        log("  treetally quartet, %d trees: %s" % (row["trees"], ", ".join(
            "%s %.2f s" % (label, row[label]["wall_s"]) for label, _ in environments)))  # fmt: skip
        figures["command"].append(row)
    return figures


def table_tool(args):
    """The C++ table tool (bench/table_bench.cpp), built with CMake; None when it cannot be."""
    if args.no_core_tool:
        return None
    tool, reason = core_tool.build_core_tool("treetally_table_bench", args.tool_build_dir)
    if tool is None:
        log("  the C++ table tool did not build: %s" % reason)
    return tool


def tool_lines(tool, *arguments):
    done = subprocess.run([str(tool), *map(str, arguments)], capture_output=True, text=True, check=True)
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def core_tool_estimates(tool, files):
    """{(file name, size): the C++ table's bytes_needed and bytes held after its first block}
    from `treetally_table_bench first`; {} without the tool."""
    if tool is None:
        return {}
    return {(Path(path).name, size): tool_lines(tool, "first", path, size)[0] for path, size in files}


def core_tool_times(tool, path, repeats):
    """The C++ tables alone, no interpreter: per width, size 4 over every taxon and size 5 over
    the first QUINTET_TAXA, counted on one thread and on two (`treetally_table_bench`)."""
    if tool is None:
        return []
    return tool_lines(tool, path, QUINTET_TAXA, repeats, 2)


def measure_memory(tool):
    """Goal 5: each table's peak resident memory in a fresh interpreter, on one thread and on
    every core, against its estimate: the C++ table's bytes_needed (what the engine checks
    against the memory budget) where the tool builds, and the figure the engine's MemoryError
    states."""
    tables = [(bench_inputs.SHARED_DATA / PLANTS, 4), (bench_inputs.SHARED_DATA / PALAEOGNATHS, 5)]
    estimates = core_tool_estimates(tool, tables)
    entries = []
    for path, size in tables:
        for jobs in (1, 0):
            entry = probe(None, "memory", path, size, "--jobs", jobs)
            entry["bytes_needed"] = estimates.get((path.name, size), {}).get("bytes_needed")
            entry["estimate"] = entry["bytes_needed"] or entry["message_estimate"]
            log("  %s size %d, jobs %d: streamed peak %s MiB, to_columns peak %s MiB, bytes_needed %s MiB, "
                "stated %s MiB" % (path.name, size, jobs, mib(entry["stream_peak"]), mib(entry["columns_peak"]),
                                   mib(entry["bytes_needed"]), mib(entry["message_estimate"])))  # fmt: skip
            entries.append(entry)
    return entries


def measure_digests(args, plants_trees, quintet_figures):
    """Goal 6: the kept tables' fingerprints now, against those stored and, with
    --before-digest, against the older package's rows."""
    stored = table_digest.stored_digests() if table_digest.STORED.is_file() else {}
    entries = []
    for name, size in table_digest.TABLES:
        trees = plants_trees if name == PLANTS else treetally.TreeSet(str(bench_inputs.SHARED_DATA / name))
        digest, rows = table_digest.engine_digest(trees, size)
        key = table_digest.key_of(name, size)
        entry = {"table": key, "rows": rows, "sha256": digest, "stored": stored.get(key, {}).get("sha256")}
        entry["same_as_stored"] = entry["stored"] == digest
        if args.before and args.before_digest and name == PLANTS:
            log("  the older package's rows of %s, file order (minutes) ..." % key)
            old = probe(args.before, "table", bench_inputs.SHARED_DATA / name, size, "--file-order")
            entry["before"] = old
            entry["same_as_before"] = old["sha256"] == digest
        against_before = "; before: %s" % entry["same_as_before"] if "before" in entry else ""
        log("  %s: %s (stored: %s%s)" % (key, digest[:16], entry["same_as_stored"], against_before))
        entries.append(entry)
    if args.before:
        log("  the older package's quintet table over %d taxa ..." % QUINTET_TAXA)
        old = probe(args.before, "table", bench_inputs.SHARED_DATA / PLANTS, 5, "--taxa", QUINTET_TAXA)
        quintet_figures["before"] = old
        quintet_figures["same_as_before"] = old["sha256"] == quintet_figures["sha256"]
    return entries


def full_run(args, scratch, results):
    if not bench_inputs.real_data_available() or not (bench_inputs.SHARED_DATA / PLANTS).is_file():
        raise SystemExit("the gene-tree files are missing: expected %s" % bench_inputs.SHARED_DATA)
    path = bench_inputs.SHARED_DATA / PLANTS
    trees, load_wall, _, _ = wall_and_cpu(lambda: treetally.TreeSet(str(path)))
    taxa = tuple(trees.taxa())
    widths = runnable_widths()
    results.update({"file": PLANTS, "trees": len(trees), "taxa": len(taxa), "load_s": load_wall, "widths": widths})
    log("1. all-quartet table of %s (%d taxa, %d trees)" % (PLANTS, len(taxa), len(trees)))
    results["quartets"] = measure_table(trees, 4, taxa, widths, args, args.seed)
    log("3. all-quintet table over the first %d taxa" % QUINTET_TAXA)
    results["quintets"] = measure_table(trees, 5, taxa[:QUINTET_TAXA], widths, args, args.seed + 1)
    tool = table_tool(args)
    if tool is not None:
        log("   the C++ tables alone, each width, 1 and 2 threads")
        results["core_tool"] = core_tool_times(tool, path, args.repeats)
    log("2. treetally table --size 4 --format csv")
    results["command"] = measure_command(path, scratch, args)
    log("4. labelled tallies and treetally quartet")
    results["tallies"] = measure_tallies(scratch, args)
    log("5. peak memory against the estimate")
    results["memory"] = measure_memory(tool)
    log("6. fingerprints of whole tables")
    results["digests"] = measure_digests(args, trees, results["quintets"])


def smoke_run(results):
    """Every measurement on the shipped 6-taxon file, checked rather than timed: the tables at
    every width and thread count equal the module's sweeps row by row; the labelled tally equals
    the sweep; the command writes every row; the probes run."""
    trees = treetally.TreeSet(str(SMOKE_FILE))
    taxa = tuple(trees.taxa())
    results.update({"file": SMOKE_FILE.name, "trees": len(trees), "taxa": len(taxa), "widths": runnable_widths()})
    for size in (4, 5):
        sweep = trees.tally_single_quartet if size == 4 else trees.tally_single_quintet
        expected = [list(sweep(tuple(taxa[k] for k in row))) for row in itertools.combinations(range(len(taxa)), size)]
        check = list(zip(itertools.combinations(range(len(taxa)), size), expected))
        for width in results["widths"]:
            for jobs in (1, 2):
                columns = at_width(width, lambda: to_columns(trees, size, taxa, jobs))()
                assert table_agrees(columns, size, len(taxa), check), (size, width, jobs)
        rows = list(TopologyTable(trees, size, taxa, progress=False))
        assert table_digest.columns_digest(table_digest.rows_to_columns(rows, taxa, size), size) == \
            table_digest.columns_digest(columns, size)  # fmt: skip
    names = taxa[:4]
    assert list(treetally_tools.quartet_tally(trees, names).counts) == list(trees.tally_single_quartet(names))
    results["tally"] = probe(None, "tally", SMOKE_FILE, *names, "--repeats", 1)
    assert results["tally"]["same_counts"], results["tally"]
    with tempfile.TemporaryDirectory(prefix="treetally-table-smoke-") as scratch:
        out = Path(scratch) / "table.csv"
        command = [str(Path(sys.executable).parent / "treetally"), "table", str(SMOKE_FILE), "--size", "4",
                   "--format", "csv"]  # fmt: skip
        results["command"] = run_command(command, out)
        assert len(out.read_text().splitlines()) == math.comb(len(taxa), 4) + 1
    results["memory"] = [probe(None, "memory", SMOKE_FILE, 4, "--jobs", 2)]
    assert results["memory"][0]["rows"] == math.comb(len(taxa), 4), results["memory"]
    log("smoke: tables at widths %s on 1 and 2 threads equal the sweeps; tally, command and probes ran"
        % ", ".join(results["widths"]))  # fmt: skip


def mib(value):
    return "?" if value is None else "%.1f" % (value / 2**20)


def verdict(value, goal, at_most=False):
    met = value <= goal if at_most else value >= goal
    return "yes" if met else "**no**"


def goal_rows(results):
    quartets, quintets = results["quartets"], results["quintets"]
    command, tallies = results["command"], results["tallies"]
    rows = [
        ("all-quartet table of plants1kp (to_columns, 1 thread) against per-quartet sweeps",
         "%.0fx" % quartets["vs_sweeps"], "%.0fx" % GOALS["quartet_vs_sweeps"],
         verdict(quartets["vs_sweeps"], GOALS["quartet_vs_sweeps"])),
        ("the same table, 2 threads against 1 (to_columns; the machine gave two threads %.2fx)"
         % quartets["parallel_capacity"], "%.2fx" % quartets["two_threads"], "%.1fx" % GOALS["two_threads"],
         verdict(quartets["two_threads"], GOALS["two_threads"])),
        ("the same, counting only (blocks handed over, nothing kept), 2 threads against 1",
         "%.2fx" % quartets["two_threads_engine_only"], "%.1fx" % GOALS["two_threads"],
         verdict(quartets["two_threads_engine_only"], GOALS["two_threads"])),
    ]  # fmt: skip
    if "tree_test_cost" in quartets:
        rows.append(("the same table with the T3 test (tree_tests=(\"t3\",), mlest) / without, 1 thread",
                     "%.2fx" % quartets["tree_test_cost"], "at most %.1fx" % GOALS["tree_test_cost"],
                     verdict(quartets["tree_test_cost"], GOALS["tree_test_cost"], at_most=True)))  # fmt: skip
    if "ratio" in command:
        rows.append(("`treetally table plants1kp --size 4 --format csv > out` against before",
                     "%.1fx" % command["ratio"], "%.0fx" % GOALS["command"],
                     verdict(command["ratio"], GOALS["command"])))  # fmt: skip
    rows.append(("all-quintet table over %d taxa of plants1kp against per-quintet sweeps" % quintets["taxa"],
                 "%.0fx" % quintets["vs_sweeps"], "%.0fx" % GOALS["quintet_vs_sweeps"],
                 verdict(quintets["vs_sweeps"], GOALS["quintet_vs_sweeps"])))  # fmt: skip
    for kind in ("quartet", "quintet"):
        entry = tallies[kind]
        rows.append(("`%s_tally` / bare `tally_single_%s`, %d trees" % (kind, kind, entry["trees"]),
                     "%.2fx" % entry["ratio"], "at most %.1fx" % GOALS["tally_over_sweep"],
                     verdict(entry["ratio"], GOALS["tally_over_sweep"], at_most=True)))  # fmt: skip
    steps = tallies["command"]
    growth = marginal_ns(steps[-2], steps[-1]) / marginal_ns(steps[0], steps[1])
    rows.append(("`treetally quartet`: time per added tree from %d to %d trees / from %d to %d"
                 % (steps[-2]["trees"], steps[-1]["trees"], steps[0]["trees"], steps[1]["trees"]),
                 "%.2f" % growth, "no growth (at most 1.25)", verdict(growth, 1.25, at_most=True)))  # fmt: skip
    for entry in results["memory"]:
        if entry["estimate"]:
            rows.append(("streamed peak memory / estimate, %s size %d, %s"
                         % (entry["file"], entry["size"], "1 thread" if entry["jobs"] == 1 else "every core"),
                         "%.2f" % (entry["stream_peak"] / entry["estimate"]), "at most 1",
                         verdict(entry["stream_peak"] / entry["estimate"], 1.0, at_most=True)))  # fmt: skip
    return rows


def marginal_ns(smaller, larger):
    """Nanoseconds per tree added between two runs of `treetally quartet`."""
    return 1e9 * (larger["after"]["wall_s"] - smaller["after"]["wall_s"]) / (larger["trees"] - smaller["trees"])


def before_after_rows(results):
    quartets, quintets = results["quartets"], results["quintets"]
    command, tallies = results["command"], results["tallies"]
    rows = []
    digests = {entry["table"]: entry for entry in results["digests"]}
    old = digests.get(table_digest.key_of(PLANTS, 4), {}).get("before")
    if old:
        new = quartets["runs"]["best jobs 1"]["wall_s"]
        rows.append(("all-quartet table of plants1kp, taxa in file order, 1 thread (s)",
                     "%.1f" % old["wall_s"], "%.3f" % new, "%.0fx" % (old["wall_s"] / new)))  # fmt: skip
    if "before" in command:
        rows.append(("`treetally table plants1kp --size 4 --format csv > out` (s)",
                     "%.1f" % command["before"]["wall_s"], "%.2f" % command["after"]["wall_s"],
                     "%.1fx" % command["ratio"]))  # fmt: skip
    old = quintets.get("before")
    if old:
        new = quintets["runs"]["best jobs 1"]["wall_s"]
        rows.append(("all-quintet table over %d taxa of plants1kp, 1 thread (s)" % QUINTET_TAXA,
                     "%.2f" % old["wall_s"], "%.4f" % new, "%.0fx" % (old["wall_s"] / new)))  # fmt: skip
    old = tallies.get("quartet_before")
    if old:
        rows.append(("`quartet_tally` / bare sweep, %d trees" % old["trees"], "%.1fx" % old["ratio"],
                     "%.2fx" % tallies["quartet"]["ratio"], ""))  # fmt: skip
    for row in tallies["command"]:
        if "before" in row:
            old, new = row["before"]["wall_s"], row["after"]["wall_s"]
            rows.append(("`treetally quartet`, %d trees (s)" % row["trees"], "%.2f" % old, "%.2f" % new,
                         "%.1fx" % (old / new)))  # fmt: skip
    return rows


def table_section(title, figures, unit):
    runs, sweeps = figures["runs"], figures["sweeps"]
    lines = ["", "## " + title, "",
             "%d rows. Per-%s sweep: %.1f us (a seeded sample of %d rows, whose counts equal the table's: %s), "
             "%.1f s for every row. The processor's widest kernel: %s; every width gives the same table: %s. "
             "Two threads of a plain CPU-bound job ran %.2fx as fast as one during these runs."
             % (figures["rows"], unit, 1e6 * sweeps["per_row_s"], sweeps["rows_sampled"], figures["same_counts"],
                figures["sweep_total_s"], figures["best_width"], figures["widths_agree"],
                figures["parallel_capacity"]), ""]  # fmt: skip
    rows = []
    for name, run in runs.items():
        # The run with the tree test has no counting-only twin: its figure is the summary's.
        if name.endswith("engine only") or name + " engine only" not in runs:
            continue
        width, jobs = name.split(" jobs ")
        engine = runs[name + " engine only"]["wall_s"]
        rows.append((width, jobs, "%.3f" % run["wall_s"], "%.3f" % run["thread_cpu_s"],
                     "%.0fx" % (figures["sweep_total_s"] / run["wall_s"]), "%.3f" % engine,
                     "%.0fx" % (figures["sweep_total_s"] / engine)))  # fmt: skip
    header = ("width", "threads", "to_columns (s)", "its main thread's CPU (s)", "against sweeps",
              "counting only (s)", "against sweeps")  # fmt: skip
    return lines + markdown_table(header, rows, ["---", "---:", "---:", "---:", "---:", "---:", "---:"])


def report(results):
    machine, command, tallies = results["machine"], results["command"], results["tallies"]
    lines = [
        "# The engine's tables and tallies",
        "",
        "`python bench/table_benchmark.py%s` on %s (%d taxa, %d trees); %s, %s, nproc %s, load %.2f at the start; %s."
        % (" --before VENV --before-digest" if "before" in command else "", results["file"], results["taxa"],
           results["trees"], machine["python"], machine["cpu"], machine["nproc"], machine["load_average"] or 0.0,
           machine["date"]),
        "",
        "\"Before\" is the package at commit ab33160, before the engine, installed beside it and measured in the "
        "same run. Times are wall-clock seconds, the fastest of %d runs taken in turn (the commands before the "
        "engine: one run each)." % results["repeats"],
        "",
        "## Goals",
        "",
    ]  # fmt: skip
    lines += markdown_table(("goal", "measured", "target", "met"), goal_rows(results), ["---", "---:", "---:", "---"])
    before_after = before_after_rows(results)
    if before_after:
        lines += ["", "## Before and after", ""]
        lines += markdown_table(("figure", "before", "after", "faster"), before_after, ["---", "---:", "---:", "---:"])
    lines += table_section("All-quartet table of %s, taxa in file order" % PLANTS, results["quartets"], "quartet")
    lines += table_section("All-quintet table over the first %d taxa of %s" % (QUINTET_TAXA, PLANTS),
                           results["quintets"], "quintet")  # fmt: skip
    if results.get("core_tool"):
        lines += ["", "## The C++ tables alone (`treetally_table_bench`, no interpreter, counted rows summed)", ""]
        rows = [("%d" % entry["size"], "%d" % entry["taxa"], entry["width"], "%.4f" % entry["count_1_thread_s"],
                 "%.4f" % entry["count_2_threads_s"], "%.2fx" % entry["speedup"], "%.1f" % entry["ns_per_row"])
                for entry in results["core_tool"]]  # fmt: skip
        lines += markdown_table(("size", "taxa", "width", "1 thread (s)", "2 threads (s)", "2 against 1", "ns per row"),
                                rows, ["---:", "---:", "---", "---:", "---:", "---:", "---:"])  # fmt: skip
    lines += ["", "## `treetally table plants1kp --size 4 --format csv > out`", "",
              "After: %.2f s (%.2f s CPU); with `--jobs 0`: %.2f s; %d bytes written."
              % (command["after"]["wall_s"], command["after"]["cpu_s"], command["after_jobs_0"]["wall_s"],
                 command["bytes"])]  # fmt: skip
    if "before" in command:
        outputs = command["outputs"]
        same = ("the same bytes" if outputs["identical"]
                else "different on %d lines, first: %s" % (outputs["differing_lines"], outputs["examples"][:2]))
        lines.append("Before: %.1f s (%.1f s CPU), one run. The two outputs are %s."
                     % (command["before"]["wall_s"], command["before"]["cpu_s"], same))  # fmt: skip
    lines += ["", "## `treetally quartet FILE a b c d` on the palaeognath simulations repeated", ""]
    rows = []
    for row in tallies["command"]:
        old = row.get("before")
        rows.append(("%d" % row["trees"], "%.2f" % row["after"]["wall_s"], "%.0f" % row["after"]["per_tree_ns"],
                     "%.2f" % old["wall_s"] if old else "-", "%.0f" % old["per_tree_ns"] if old else "-"))  # fmt: skip
    lines += markdown_table(("trees", "after (s)", "ns per tree", "before (s)", "ns per tree"), rows,
                            ["---:"] * 5)  # fmt: skip
    lines += ["", "## Peak memory against the estimate", "",
              "A fresh interpreter loads the file, then counts the table over every taxon: streamed (blocks handed "
              "over and dropped, as `write()` and iteration take them) and as `to_columns()` (which keeps every "
              "row). A peak is the growth of the resident set's high-water mark over the loaded set. "
              "`bytes_needed` is the C++ table's own figure for its taxa (what the engine checks against the "
              "memory budget); \"stated\" is the figure its MemoryError gives.", ""]  # fmt: skip
    rows = []
    for entry in results["memory"]:
        ratio = "%.2f" % (entry["stream_peak"] / entry["estimate"]) if entry["estimate"] else "?"
        rows.append(("%s size %d" % (entry["file"], entry["size"]), "1" if entry["jobs"] == 1 else "every core",
                     "%d" % entry["rows"], mib(entry["stream_peak"]), mib(entry["bytes_needed"]), ratio,
                     mib(entry["columns_peak"]), mib(entry["column_bytes"]),
                     mib(entry["message_estimate"])))  # fmt: skip
    header = ("table", "threads", "rows", "streamed peak (MiB)", "bytes_needed (MiB)", "peak / estimate",
              "to_columns peak (MiB)", "its columns (MiB)", "stated (MiB)")  # fmt: skip
    lines += markdown_table(header, rows, ["---", "---", "---:", "---:", "---:", "---:", "---:", "---:", "---:"])
    lines += ["", "## Fingerprints of whole tables (SHA-256 of the columns, bench/table_digest.py)", ""]
    for entry in results["digests"]:
        lines.append("- %s, %d rows: `%s`; as kept in results/table_digests.json: %s%s"
                     % (entry["table"], entry["rows"], entry["sha256"], entry["same_as_stored"],
                        "; the same as the older package's rows: %s" % entry["same_as_before"]
                        if "before" in entry else ""))  # fmt: skip
    if "same_as_before" in results["quintets"]:
        lines.append("- the all-quintet table over %d taxa of plants1kp: the same as the older package's rows: %s"
                     % (QUINTET_TAXA, results["quintets"]["same_as_before"]))  # fmt: skip
    return "\n".join(lines) + "\n"


def smoke_report(results):
    return "\n".join([
        "# The engine's tables: smoke run", "", machine_lines(results["machine"])[0], "",
        "On %s (%d taxa, %d trees), checked rather than timed: the all-quartet and all-quintet tables "
        "at widths %s on 1 and 2 threads equal the module's sweeps row by row; the labelled tally "
        "equals the sweep; the `table` command wrote every row; the probes ran."
        % (results["file"], results["taxa"], results["trees"], ", ".join(results["widths"])),
    ]) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="the shipped 6-taxon file, checks only")
    parser.add_argument("--out", type=Path,
                        help="folder for table_benchmark.json and .md (default: bench/results; "
                             "with --smoke nothing is written unless given)")  # fmt: skip
    parser.add_argument("--before", type=Path, metavar="VENV",
                        help="a virtual environment with the package before the engine, to time its commands")
    parser.add_argument("--before-digest", action="store_true",
                        help="with --before: also fingerprint its all-quartet table of plants1kp (minutes)")
    parser.add_argument("--repeats", type=int, default=5, help="runs per timing; the fastest counts")
    parser.add_argument("--sweep-sample", type=int, default=2000, help="quartets swept for the per-row cost")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--scratch", type=Path, help="folder for the repeated tree files (kept)")
    parser.add_argument("--no-core-tool", action="store_true", help="do not build the C++ table tool")
    parser.add_argument("--tool-build-dir", default=str(bench_inputs.REPO_ROOT / "build" / "bench"),
                        help="CMake build folder of the C++ table tool")
    parser.add_argument("--report", type=Path, metavar="JSON",
                        help="only write the Markdown report again from a run's JSON")  # fmt: skip
    args = parser.parse_args(argv)
    results = {"machine": describe_machine(), "repeats": args.repeats}
    if args.smoke:
        smoke_run(results)
        if args.out is not None:
            write_results(args.out, "table_benchmark", results, smoke_report(results))
        return 0
    out = args.out or RESULTS
    if args.report:
        results = json.loads(args.report.read_text(encoding="utf-8"))
    else:
        if args.before and not tool_of(args.before).exists():
            raise SystemExit("no treetally command in %s" % args.before)
        scratch = args.scratch or Path(tempfile.mkdtemp(prefix="treetally-table-bench-"))
        scratch.mkdir(parents=True, exist_ok=True)
        try:
            full_run(args, scratch, results)
        finally:
            if args.scratch is None:
                shutil.rmtree(scratch, ignore_errors=True)
    text = report(results)
    print("\n" + text)
    write_results(out, "table_benchmark", results, text)
    same = results["quartets"]["same_counts"] and results["quintets"]["same_counts"]
    # A table whose fingerprint differs from the kept one is a wrong table, whatever its speed.
    same = same and all(entry.get("same_as_before", True) and entry["same_as_stored"] for entry in results["digests"])
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
