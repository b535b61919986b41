# Tallies tree files across Dask workers with treetally_tools.sharding: the files are cut into
# shards of whole lines, each shard becomes a TreeSet on the worker that uses it, and the
# per-shard results are added up.
"""Quartet and quintet tallies and the time table of tree files, computed on Dask workers.

    pip install ".[examples]"
    python examples/dask_tally.py examples/data/apes-6taxa-1000genes.tre \\
        Human Chimp Gorilla Orangutan Gibbon --lines-per-shard 250
    python examples/dask_tally.py big.tre more.tre.gz A B C D E --scheduler tcp://scheduler:8786

The work is treetally_tools.sharding.sharded_tally: each worker receives the text of its
shard, builds the TreeSet there and returns plain lists; the sums equal one TreeSet's answers.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from treetally_tools.errors import UnknownTaxonError
from treetally_tools.sharding import sharded_tally


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tree_files", type=Path, nargs="+", help="one Newick tree per line; may be compressed")
    parser.add_argument("names", nargs=5, metavar="NAME", help="five taxa; the first four form the quartet")
    parser.add_argument("--lines-per-shard", type=int, default=10000, help="trees per task (default 10000)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    from distributed import Client, LocalCluster

    arguments = parse_arguments(argv)
    names: List[str] = arguments.names
    cluster: Optional[LocalCluster] = None
    if arguments.scheduler:
        client = Client(arguments.scheduler)
    else:
        # One thread per process: treetally holds the interpreter lock while it works.
        cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1)
        client = Client(cluster)
    try:
        total = sharded_tally(client, arguments.tree_files, names, arguments.lines_per_shard)
    except UnknownTaxonError as error:
        print(error, file=sys.stderr)
        return 2
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{total.trees} trees in {', '.join(map(str, arguments.tree_files))}")
    print("\n" + total.quartet_tally().to_text())
    print("\n" + total.quintet_tally().to_text())
    print("\n" + total.labelled_time_table().to_text())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
