# Tallies a tree file across Dask workers: the file is cut into shards of whole lines, each
# shard becomes a TreeSet on the worker that uses it, and the per-shard results are added up.
"""Quartet and quintet tallies and the time table of one tree file, computed on Dask workers.

    pip install ".[examples]"
    python examples/dask_tally.py examples/data/apes-6taxa-1000genes.tre \\
        Human Chimp Gorilla Orangutan Gibbon --lines-per-shard 250
    python examples/dask_tally.py big.tre A B C D E --scheduler tcp://scheduler:8786

A TreeSet cannot be pickled, so it is never sent anywhere: each worker receives the text of
its shard, writes it to a scratch file, builds the TreeSet there and returns plain lists.
Tallies add up across shards. The time table does not (its shares and blocks are normalised
per TreeSet), so each shard returns the raw per-topology sums of the ten path lengths
instead, and the table is normalised once, after adding them up.
"""

# Annotations stay strings: a worker process that unpickles a function from this script must
# not receive the TreeSet class itself, which pickles neither by reference (its __module__ is
# "builtins") nor by value.
from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import treetally

if TYPE_CHECKING:
    from distributed import Client

Quartet = Tuple[str, str, str, str]
Quintet = Tuple[str, str, str, str, str]

QUINTET_CODES = 15
PAIR_COUNT = 10


class ShardTally(NamedTuple):
    """What one shard contributes. Every field adds up across shards."""

    trees: int
    quartet_counts: List[int]  # index = quartet code of the first four names
    quintet_counts: List[int]  # index = quintet code
    pair_length_sums: List[float]  # index 10 * code + pair: path lengths summed over trees of that code
    names_found: List[str]  # the names (of the five) that occur in this shard


def empty_tally() -> ShardTally:
    return ShardTally(0, [0] * 3, [0] * QUINTET_CODES, [0.0] * (QUINTET_CODES * PAIR_COUNT), [])


def shard_texts(path: Path, lines_per_shard: int) -> Iterator[bytes]:
    """The file as consecutive blocks of `lines_per_shard` whole lines, bytes kept as they are."""
    if lines_per_shard < 1:
        raise ValueError("lines_per_shard must be at least 1")
    block: List[bytes] = []
    with path.open("rb") as source:
        for line in source:
            block.append(line)
            if len(block) == lines_per_shard:
                yield b"".join(block)
                block = []
    if block:
        yield b"".join(block)


def tally_tree_set(trees: treetally.TreeSet, quintet: Quintet) -> ShardTally:
    """The contribution of one TreeSet. Names absent from it contribute nothing instead of
    failing, since another shard may hold them."""
    present = set(trees.taxa())
    found = [name for name in quintet if name in present]
    tally = empty_tally()._replace(trees=len(trees), names_found=found)
    quartet: Quartet = quintet[:4]
    if set(quartet) <= present:
        tally = tally._replace(quartet_counts=trees.tally_single_quartet(quartet))
    if set(quintet) <= present:
        tally = tally._replace(
            quintet_counts=trees.tally_single_quintet(quintet),
            pair_length_sums=pair_length_sums(trees, quintet),
        )
    return tally


def pair_length_sums(trees: treetally.TreeSet, quintet: Quintet) -> List[float]:
    """Per quintet code, the ten path lengths summed over the trees of that code: the time
    table's blocks before they are normalised."""
    sums = [0.0] * (QUINTET_CODES * PAIR_COUNT)
    for tree in trees:
        code = tree.retrieve_quintet_type(quintet)
        if code is None:
            continue
        distances = tree.retrieve_all_pairs_distance(quintet)
        if distances is None:  # cannot happen once the quintet was classified
            continue
        for pair, distance in enumerate(distances):
            sums[code * PAIR_COUNT + pair] += distance
    return sums


def tally_shard_text(text: bytes, quintet: Quintet) -> ShardTally:
    """Runs on a worker: builds the shard's TreeSet from its text and tallies it."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "shard.tre"
        path.write_bytes(text)
        return tally_tree_set(treetally.TreeSet(path), quintet)


def combine(tallies: Iterable[ShardTally]) -> ShardTally:
    """The element-wise sum of the shards' contributions."""
    total = empty_tally()
    found: List[str] = []
    for tally in tallies:
        found.extend(name for name in tally.names_found if name not in found)
        total = ShardTally(
            total.trees + tally.trees,
            [a + b for a, b in zip(total.quartet_counts, tally.quartet_counts)],
            [a + b for a, b in zip(total.quintet_counts, tally.quintet_counts)],
            [a + b for a, b in zip(total.pair_length_sums, tally.pair_length_sums)],
            found,
        )
    return total


def check_names_found(total: ShardTally, quintet: Quintet) -> None:
    """Raises KeyError for a name that no shard holds, as a single TreeSet would refuse it."""
    for name in quintet:
        if name not in total.names_found:
            raise KeyError(f"Taxon not found: {name!r}")


def time_table(total: ShardTally) -> List[float]:
    """The 165-value table of TreeSet.coalesence_times_by_topology, from the summed counts and
    raw sums: shares of the classified trees, then each code's ten sums divided by their total
    (left undivided when that total is not positive)."""
    classified = sum(total.quintet_counts)
    shares = [count / classified if classified > 0 else 0.0 for count in total.quintet_counts]
    blocks: List[float] = []
    for code in range(QUINTET_CODES):
        block = total.pair_length_sums[code * PAIR_COUNT : (code + 1) * PAIR_COUNT]
        block_total = sum(block)
        blocks.extend(value / block_total if block_total > 0 else value for value in block)
    return shares + blocks


def tally_with_dask(client: "Client", path: Path, quintet: Quintet, lines_per_shard: int) -> ShardTally:
    """Sends each shard's text to the cluster, tallies it there and adds up the results."""
    futures = []
    for text in shard_texts(path, lines_per_shard):
        shard = client.scatter(text)
        futures.append(client.submit(tally_shard_text, shard, quintet, pure=False))
    total = combine(client.gather(futures))
    check_names_found(total, quintet)
    return total


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tree_file", type=Path, help="one Newick tree per line")
    parser.add_argument("names", nargs=5, metavar="NAME", help="five taxa; the first four form the quartet")
    parser.add_argument("--lines-per-shard", type=int, default=10000, help="trees per task (default 10000)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    from distributed import Client, LocalCluster  # noqa: F811 (the run-time import)

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from topology_tables import format_quartet_tally, format_quintet_tally, format_time_table

    arguments = parse_arguments(argv)
    names: List[str] = arguments.names
    quintet: Quintet = (names[0], names[1], names[2], names[3], names[4])
    cluster: Optional[LocalCluster] = None
    if arguments.scheduler:
        client = Client(arguments.scheduler)
    else:
        # One thread per process: treetally holds the interpreter lock while it works.
        cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1)
        client = Client(cluster)
    try:
        total = tally_with_dask(client, arguments.tree_file, quintet, arguments.lines_per_shard)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{total.trees} trees in {arguments.tree_file}")
    print(f"\nQuartet tally for {', '.join(quintet[:4])}:\n{format_quartet_tally(quintet[:4], total.quartet_counts)}")
    print(f"\nQuintet tally for {', '.join(quintet)}:\n{format_quintet_tally(quintet, total.quintet_counts)}")
    print(f"\nTime table:\n{format_time_table(quintet, time_table(total))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
