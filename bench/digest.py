"""Fingerprints of everything a loaded set answers, to show that a change of the core leaves
every tree, index answer and query result bit for bit the same.

    python bench/digest.py --save before.json     # fingerprint every file
    python bench/digest.py --compare before.json  # fingerprint again; exit 1 on a difference
    python bench/digest.py --check                # whole tables against bench/results; exit 1 on a difference
    python bench/digest.py --check --smoke        # the shipped 6-taxon file's tables: widths and threads agree

Files: every gene-tree file in ../shared/data (the .gz ones unpacked to a scratch folder), the
10,000 simulated palaeognath trees five times over, and generated files of unusual shapes and
lengths (bench_inputs.edge_files). Per file, two kinds of fingerprint:
- from the C++ tool (`treetally_core_bench digest`): the trees as read, every value of every
  index's interface (positions, nodes, depths, distances, range-minimum entries, LCAs of leaf
  pairs and of sampled column pairs), the three sweeps and every single tree's three queries;
- from the module in this interpreter: len, taxa(), the three sweeps and every SingleTree's
  three queries, for the first five taxa, the last five reversed and three seeded random
  quintets.

--check fingerprints whole tables instead (table_digest.py: the all-quartet table of plants1kp,
the all-quintet table of the palaeognath simulations), with the engine at every kernel width
the processor runs and on one and two threads, against bench/results/table_digests.json;
--save-tables writes that file, once every width and thread count agree. --check --smoke
fingerprints the tables of the shipped 6-taxon file instead and checks only that every width and
thread count agree. --check writes its figures as digest_check.json and .md to bench/results
(or --out DIR; with --smoke only to --out)."""

import argparse
import hashlib
import json
import math
import random
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_inputs  # noqa: E402
import core_tool  # noqa: E402
import table_digest  # noqa: E402
from machine import describe_machine  # noqa: E402
from report import machine_lines, markdown_table, write_results  # noqa: E402


def _quintets(taxa):
    if not taxa:
        return []
    padded = (taxa * 5)[: max(5, len(taxa))]  # fewer than five taxa: names repeat
    rng = random.Random(7)
    chosen = [padded[:5], padded[::-1][:5]]
    chosen += [rng.sample(padded, 5) for _ in range(3)]
    return [tuple(names) for names in chosen]


def _feed(digest, value):
    """Hashes a query result: None, an int, a float (every NaN alike) or a list of them."""
    if value is None:
        digest.update(b"N")
    elif isinstance(value, list):
        digest.update(b"[%d" % len(value))
        for item in value:
            _feed(digest, item)
    elif isinstance(value, float):
        digest.update(b"f" + struct.pack("<d", math.nan if math.isnan(value) else value))
    else:
        digest.update(b"i%d" % value)


def module_digest(path):
    """Fingerprint of every Python-visible answer of the module for the file at `path`."""
    import treetally

    tree_set = treetally.TreeSet(str(path))
    digest = hashlib.sha256()
    taxa = tree_set.taxa()
    digest.update(b"%d" % len(tree_set))
    for name in taxa:
        digest.update(name.encode("utf-8", "surrogatepass") + b"\0")
    single_trees = [tree_set[k] for k in range(len(tree_set))]
    for names in _quintets(taxa):
        _feed(digest, tree_set.tally_single_quintet(names))
        _feed(digest, tree_set.tally_single_quartet(names[:4]))
        _feed(digest, tree_set.coalesence_times_by_topology(names))
        for tree in single_trees:
            _feed(digest, tree.retrieve_quintet_type(names))
            _feed(digest, tree.retrieve_quartet_type(names[:4]))
            _feed(digest, tree.retrieve_all_pairs_distance(names))
    return digest.hexdigest()[:16]


def core_digest(tool, path):
    done = subprocess.run([str(tool), "digest", str(path)], check=True, capture_output=True,
                          text=True)  # fmt: skip
    return json.loads(done.stdout)


def digest_files(scratch):
    files = bench_inputs.all_real_files(scratch)
    simulations = bench_inputs.SHARED_DATA / bench_inputs.PALAEOGNATH_SIMULATIONS
    files.append(bench_inputs.repeated_file(
        simulations, 5, Path(scratch) / "palaeognaths-14taxa-10000sim-x5.tre"))  # fmt: skip
    return files + bench_inputs.edge_files(scratch)


def kernel_widths():
    """The kernel widths of the engine this processor runs."""
    from treetally_tools import _engine

    runnable = []
    for width in ("baseline", "avx2", "avx512"):
        try:
            _engine.force_kernel_width(width)
        except ValueError:
            continue
        runnable.append(width)
    _engine.force_kernel_width(None)
    return runnable


def table_fingerprints(tables, log=print):
    """({key: {"sha256", "rows", "runs"}} of every table given as (path, size), whether every run
    of each table (widths, threads) agreed); `runs` maps "<width> jobs <n>" to that run's digest."""
    import treetally
    from treetally_tools import _engine

    found, agreeing = {}, True
    widths = kernel_widths()
    try:
        for path, size in tables:
            name = Path(path).name
            trees = treetally.TreeSet(str(path))
            runs, rows = {}, 0
            for width in widths:
                _engine.force_kernel_width(width)
                for jobs in (1, 2):
                    runs["%s jobs %d" % (width, jobs)], rows = table_digest.engine_digest(trees, size, jobs)
            digests = set(runs.values())
            agreeing = agreeing and len(digests) == 1
            key = table_digest.key_of(name, size)
            found[key] = {"sha256": sorted(digests)[0], "rows": rows, "runs": runs}
            log("%-45s %s%s" % (key, " ".join(sorted(digests)),
                                "" if len(digests) == 1 else "  (runs disagree: %s)" % runs))  # fmt: skip
    finally:
        _engine.force_kernel_width(None)
    return found, agreeing


def check_report(found, differing, stored):
    rows = [(key, entry["rows"], ", ".join(sorted(entry["runs"])), entry["sha256"][:16],
             "" if not stored else ("**different**" if key in differing else "same"))
            for key, entry in found.items()]  # fmt: skip
    lines = ["# Table fingerprints", "", machine_lines(describe_machine())[0], "",
             "SHA-256 of every whole table at every kernel width and thread count (`bench/table_digest.py`)"
             + (", against bench/results/table_digests.json." if stored else "; the runs must agree."), ""]  # fmt: skip
    lines += markdown_table(("table", "rows", "runs", "sha256", "against the kept one"), rows,
                            ["---", "---:", "---", "---", "---"])  # fmt: skip
    return "\n".join(lines) + "\n"


def check_tables(save=None, smoke=False, out=None):
    """Exit status of --check (and --save-tables): 0 when every kept table has its stored
    fingerprint at every width and thread count (with `smoke`: when the widths and thread
    counts agree on the shipped file's tables)."""
    if smoke:
        tables = [(bench_inputs.SMOKE_FILE, 4), (bench_inputs.SMOKE_FILE, 5)]
    else:
        tables = [(bench_inputs.SHARED_DATA / name, size) for name, size in table_digest.TABLES]
    if not all(path.is_file() for path, _ in tables):
        print("the gene-tree files are missing: expected them in %s" % bench_inputs.SHARED_DATA)
        return 2
    found, agreeing = table_fingerprints(tables)
    if not agreeing:
        print("DIFFERENT: the kernel widths or thread counts disagree")
        if out is not None:
            write_results(out, "digest_check", {"tables": found, "agree": False}, check_report(found, set(), False))
        return 1
    if smoke:
        if out is not None:
            write_results(out, "digest_check", {"tables": found, "agree": True}, check_report(found, set(), False))
        return 0
    if save is not None:
        kept = {key: {"sha256": entry["sha256"], "rows": entry["rows"]} for key, entry in found.items()}
        save.write_text(json.dumps(kept, indent=1, sort_keys=True) + "\n", encoding="utf-8")
        print("wrote %s" % save)
        return 0
    if not table_digest.STORED.is_file():
        print("no fingerprints kept at %s: write them with --save-tables" % table_digest.STORED)
        return 1
    stored = table_digest.stored_digests()
    differing = sorted(key for key in stored.keys() | found.keys()
                       if stored.get(key, {}).get("sha256") != found.get(key, {}).get("sha256"))  # fmt: skip
    print("same table fingerprints at widths %s, 1 and 2 threads" % ", ".join(kernel_widths())
          if not differing else "DIFFERENT: " + ", ".join(differing))  # fmt: skip
    if out is not None:
        write_results(out, "digest_check", {"tables": found, "agree": True, "differing": differing},
                      check_report(found, set(differing), True))  # fmt: skip
    return 1 if differing else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--save", type=Path, help="write the fingerprints to this JSON file")
    parser.add_argument("--compare", type=Path, help="compare with fingerprints saved before")
    parser.add_argument("--scratch", type=Path, help="folder for unpacked and generated files")
    parser.add_argument("--check", action="store_true",
                        help="fingerprint whole tables and compare with %s" % table_digest.STORED)  # fmt: skip
    parser.add_argument("--save-tables", type=Path, metavar="FILE",
                        help="write the whole tables' fingerprints to FILE (normally %s)"
                        % table_digest.STORED)  # fmt: skip
    parser.add_argument("--smoke", action="store_true",
                        help="with --check: the shipped 6-taxon file's tables, widths and threads agreeing")  # fmt: skip
    parser.add_argument("--out", type=Path, help="with --check: folder for digest_check.json and .md (default: bench/results)")
    args = parser.parse_args(argv)
    if args.check or args.save_tables:
        # A check writes its figures beside the other benchmarks' results; a smoke check only
        # where it is told to.
        out = args.out or (None if args.smoke or args.save_tables else table_digest.RESULTS)
        return check_tables(args.save_tables, args.smoke, out)
    tool, reason = core_tool.build_core_tool()
    if tool is None:
        raise SystemExit("the C++ tool did not build: %s" % reason)
    scratch = args.scratch or Path(tempfile.mkdtemp(prefix="treetally-digest-"))
    scratch.mkdir(parents=True, exist_ok=True)
    try:
        digests = {}
        for path in digest_files(scratch):
            entry = core_digest(tool, path)
            entry["module"] = module_digest(path)
            digests[path.name] = entry
            print("%-45s %s" % (path.name, " ".join(entry[key] for key in sorted(entry))),
                  flush=True)  # fmt: skip
    finally:
        if args.scratch is None:
            shutil.rmtree(scratch, ignore_errors=True)
    if args.save:
        args.save.write_text(json.dumps(digests, indent=1, sort_keys=True) + "\n")
    if args.compare:
        before = json.loads(args.compare.read_text())
        differing = sorted(name for name in before.keys() | digests.keys()
                           if before.get(name) != digests.get(name))  # fmt: skip
        print("same fingerprints on all %d files" % len(digests) if not differing
              else "DIFFERENT: " + ", ".join(differing))  # fmt: skip
        return 1 if differing else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
