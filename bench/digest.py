"""Fingerprints of everything a loaded set answers, to show that a change of the core leaves
every tree, index answer and query result bit for bit the same.

    python bench/digest.py --save before.json     # fingerprint every file
    python bench/digest.py --compare before.json  # fingerprint again; exit 1 on a difference

Files: every gene-tree file in ../shared/data (the .gz ones unpacked to a scratch folder), the
10,000 simulated palaeognath trees five times over, and generated files of unusual shapes and
lengths (bench_inputs.edge_files). Per file, two kinds of fingerprint:
- from the C++ tool (`treetally_core_bench digest`): the trees as read, every value of every
  index's interface (positions, nodes, depths, distances, range-minimum entries, LCAs of leaf
  pairs and of sampled column pairs), the three sweeps and every single tree's three queries;
- from the module in this interpreter: len, taxa(), the three sweeps and every SingleTree's
  three queries, for the first five taxa, the last five reversed and three seeded random
  quintets."""

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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--save", type=Path, help="write the fingerprints to this JSON file")
    parser.add_argument("--compare", type=Path, help="compare with fingerprints saved before")
    parser.add_argument("--scratch", type=Path, help="folder for unpacked and generated files")
    args = parser.parse_args(argv)
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
