# Networks from quartets: NANUQ's splits network and TINNiK's tree of blobs. The engine classes
# every quartet by two tests and sums each class's quartet distance while it counts, on every
# thread and keeping no table; NeighborNet and the tree building run here on the n x n distance.
"""NANUQ splits networks and TINNiK trees of blobs from gene-tree quartets.

Every quartet of the taxa is classed by two tests on its topology counts: the star test (the
three topologies equally frequent; chi-square, 2 df) at level beta and the T3 test (the counts
fit the multispecies coalescent on some quartet tree; likelihood ratio, lambda = 0, MLest) at
level alpha:

- star: the star test is not rejected, p_star > beta;
- cycle: the star test is rejected and the T3 test too, p_T3 < alpha (NANUQ reads a 4-cycle
  of the network, TINNiK a B-quartet: the four taxa meet in a blob);
- tree: the star test is rejected and the T3 test is not.

Each quartet adds a quartet distance rho to its six pairs of taxa:

- tree ab|cd (the largest count): 1 to each pair it separates (a-c, a-d, b-c, b-d), 0 to a-b
  and c-d;
- cycle, NANUQ: 1 to the two pairs the least frequent topology puts together (the cycle's
  opposite corners), 1/2 to the four others;
- star, and a TINNiK B-quartet: 1/2 to every pair;
- a quartet that no tree resolves adds what a star adds.

Tied largest (tree) or smallest (cycle) counts share their addition equally, so the result
does not depend on the order of the taxa (MSCquartets picks one of two tied topologies at
random). The distance of taxa x != y is d(x, y) = 2 * (sum of rho over the quartets holding
both) + 2n - 4 for n taxa (Allman, Banos and Rhodes 2019; Allman, Banos, Mitchell and Rhodes
2024). The sums are whole numbers in the engine, so they are the same for any `jobs`.

NANUQ (nanuq) gives the distance to NeighborNet: a circular splits network whose splits that no
tree explains mark the network's cycles.

TINNiK (tinnik_distance, tree_of_blobs) reads the tests as the tree of blobs sees a quartet: a
B-quartet (its taxa meet at one node of the tree of blobs: a blob, or a polytomy) when the star
test is not rejected or the tree test is rejected, else a T-quartet with the split its counts
show. The tree test is the T3 test or the cut test (test="cut": the counts fit a quartet whose
tree of blobs is resolved when two topologies are equally frequent, whichever is the largest;
the likelihood ratio statistic against the closest such counts, p-value from chi-square with
1 degree of freedom, which MSCquartets calls the conservative variant). Some B-quartets give
counts that pass the tree test, so more are inferred; on every five taxa S:

- rule 1: when at least three of the five quartets of S are B-quartets, all five are (a tree
  leaves 0, 2 or 5 of them unresolved);
- rule 2: when S - {e} is a B-quartet and a T-quartet S - {d} pairs e with x, then S - {x} is
  a B-quartet (e hangs beside x, off the node where S - {e} meets).

The rules run in rounds until a round infers nothing; each round reads the classes as they
were when it began, so the result is the same in any order of the taxa. B-quartets add 1/2 to
every pair and T-quartets their split: the distance fits the tree of blobs, whose tree is built
by balanced minimum evolution (or neighbor joining) with every internal edge shorter than
`delta` (2, the length a single T-quartet gives an edge) contracted.

With a taxon map the taxa are species: a tree holding several individuals of a species adds
to each quartet of species its share of the combinations of one individual per species, and the
tests take these shares as counts (whole shares, as when each species' individuals are sisters
in every tree, give exactly the distance of trees of one leaf per species).

Unresolved gene trees (a polytomy over the quartet) are left out by default
(`unresolved="drop"`): both tests take the counts as a multinomial sample of resolved trees,
and a third of a tree spread over each topology would pull every quartet towards the star with
counts that are no sample. "third" spreads them as MSCquartets does by default.
"""

from __future__ import annotations

import math
import warnings
from array import array
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy

from . import _engine
from ._progress import Progress
from .errors import UnresolvedQuartetsWarning, UsageError
from .species_tree import JoinedTree, check_builder, newick
from .tables import MAX_JOBS, TopologyTable

if TYPE_CHECKING:
    from .neighbor_net import SplitsNetwork
    from .sources import MappableTrees
    from .taxon_map import TaxonMapSource

CLASSES = ("empty", "star", "tree", "cycle", "inferred")
TESTS = ("t3", "cut")
# An edge of the joined TINNiK tree shorter than this is contracted: one tree quartet across
# an edge lengthens it by 2.
DEFAULT_DELTA = 2.0


class NetworkDistance(NamedTuple):
    """The taxa (in the order of the matrix's rows), the symmetric n x n distance, and how many
    quartets fell in each class of CLASSES ("inferred": TINNiK's B-quartets found by its rules
    among quartets the tests left as trees or untested; NANUQ's is 0)."""

    taxa: Tuple[str, ...]
    distance: "numpy.ndarray[Any, Any]"
    classes: Dict[str, int]


class EmptyQuartetsWarning(UnresolvedQuartetsWarning):
    """Most quartets are resolved by no tree: they count as stars, and the distance rests on
    the few that are."""

    def __init__(self, unresolved: int, quartets: int) -> None:
        share = unresolved / quartets if quartets else 0.0
        UserWarning.__init__(
            self,
            f"{unresolved:,} of the {quartets:,} quartets ({share:.0%}) are resolved by no tree: they count as "
            "stars, and the network rests on the few that are",
        )
        self.unresolved = unresolved
        self.quartets = quartets


def _level(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0.0 <= value <= 1.0:
        raise UsageError(f"{name} is a level from 0 to 1, not {value!r}")
    return float(value)


def _distance(
    method: str,
    test: str,
    source_or_table: Union["MappableTrees", TopologyTable],
    alpha: float,
    beta: float,
    taxa: Optional[Sequence[str]],
    unresolved: Optional[str],
    collapse_length: Optional[float],
    min_support: Optional[float],
    support_index: Optional[int],
    jobs: Optional[int],
    progress: Optional[bool],
    taxon_map: Optional["TaxonMapSource"],
) -> NetworkDistance:
    alpha = _level("alpha", alpha)
    beta = _level("beta", beta)
    if jobs is not None and not 0 <= jobs <= MAX_JOBS:
        raise UsageError(f"jobs must be from 0 (one per core) to {MAX_JOBS}, not {jobs}")
    if isinstance(source_or_table, TopologyTable):
        table = source_or_table
        given = (taxa, unresolved, collapse_length, min_support, support_index, taxon_map)
        if table.size != 4:
            raise UsageError("network distances are built from a quartet table (size 4), not quintets")
        if any(option is not None for option in given):
            raise UsageError(
                "a table's taxa, unresolved trees, collapsed branches and taxon map are its own: give them to the table"
            )
        return _counted(method, test, table, alpha, beta, table.jobs if jobs is None else jobs, progress)
    with TopologyTable(
        source_or_table, 4, taxa, jobs=1 if jobs is None else jobs, progress=progress,
        collapse_length=collapse_length, min_support=min_support, support_index=support_index,
        unresolved="drop" if unresolved is None else unresolved, taxon_map=taxon_map,
    ) as table:  # fmt: skip
        return _counted(method, test, table, alpha, beta, table.jobs, progress)


def _counted(
    method: str, test: str, table: TopologyTable, alpha: float, beta: float, jobs: int, progress: Optional[bool]
) -> NetworkDistance:
    n = len(table.taxa)
    if n < 4:
        raise UsageError(f"a network is built from quartets of at least four taxa, not {n}")
    # A table of species hands the engine each species' individuals, whose quartets' shares it classes.
    groups = table.mapped.groups_of(table.taxa) if table.mapped is not None else None
    meter = Progress(len(table), "quartets", progress)
    try:
        values, counts = _engine.network_distances(
            table.trees, table.taxa, method, alpha, beta, jobs, meter.advance, unresolved=table.unresolved, test=test,
            groups=groups,
        )  # fmt: skip
    finally:
        meter.close()
    classes = dict(zip(CLASSES, counts))
    quartets = sum(counts)
    if 2 * classes["empty"] > quartets:
        warnings.warn(EmptyQuartetsWarning(classes["empty"], quartets), stacklevel=4)
    flat = array("d")
    flat.frombytes(values)
    return NetworkDistance(tuple(table.taxa), numpy.array(flat, dtype=float).reshape(n, n), classes)


def nanuq_distance(
    source_or_table: Union["MappableTrees", TopologyTable],
    alpha: float = 0.05,
    beta: float = 0.95,
    *,
    taxa: Optional[Sequence[str]] = None,
    unresolved: Optional[str] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Optional[bool] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> NetworkDistance:
    """The NANUQ distance of every pair of `taxa` (default: every taxon, ordered as
    TopologyTable orders them): each quartet is classed as a star (p_star > beta), a cycle
    (p_T3 < alpha) or a tree, and adds its quartet distance (module docstring). `source_or_table`:
    a TreeSet, anything load_trees reads, or a quartet TopologyTable (whose taxa and options are
    then used; giving them again is a UsageError). `unresolved`: "drop" (default) or "third".
    `taxon_map` (a map file's path or a mapping {gene-tree name: species}, as TopologyTable
    takes it): the taxa are species, and each quartet of species is classed on its shares of
    trees (each tree adding its share of the combinations of one individual per species; ties
    are equal shares). Returns (taxa, distance, classes); the distance is the same for any `jobs`. An
    EmptyQuartetsWarning when most quartets are resolved by no tree."""
    return _distance(
        "nanuq", "t3", source_or_table, alpha, beta, taxa, unresolved, collapse_length, min_support, support_index,
        jobs, progress, taxon_map,
    )  # fmt: skip


def nanuq(
    source_or_table: Union["MappableTrees", TopologyTable],
    alpha: float = 0.05,
    beta: float = 0.95,
    *,
    taxa: Optional[Sequence[str]] = None,
    unresolved: Optional[str] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Optional[bool] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> "SplitsNetwork":
    """The NANUQ splits network: NeighborNet on nanuq_distance (same arguments). Its splits
    that no tree holds together (incompatible splits) show the network's cycles."""
    from .neighbor_net import neighbor_net

    found = nanuq_distance(
        source_or_table, alpha, beta, taxa=taxa, unresolved=unresolved, collapse_length=collapse_length,
        min_support=min_support, support_index=support_index, jobs=jobs, progress=progress,
        taxon_map=taxon_map,
    )  # fmt: skip
    return neighbor_net(found.distance, found.taxa)


def _check_test(test: str) -> None:
    if test not in TESTS:
        raise UsageError(f"the tree test is 't3' or 'cut', not {test!r}")


def tinnik_distance(
    source_or_table: Union["MappableTrees", TopologyTable],
    alpha: float = 0.05,
    beta: float = 0.80,
    test: str = "t3",
    *,
    taxa: Optional[Sequence[str]] = None,
    unresolved: Optional[str] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Optional[bool] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> NetworkDistance:
    """The TINNiK distance (same arguments as nanuq_distance): a quartet is a B-quartet when its
    star test is not rejected (p_star > beta) or its tree test is (p < alpha), else a T-quartet;
    the two rules of the module docstring then infer more B-quartets until none is new. A
    B-quartet adds 1/2 to every pair, a T-quartet its split (the most frequent topology for the
    T3 test, the cut model's estimate for the cut test). `test`: "t3" or "cut"."""
    _check_test(test)
    return _distance(
        "tinnik", test, source_or_table, alpha, beta, taxa, unresolved, collapse_length, min_support, support_index,
        jobs, progress, taxon_map,
    )  # fmt: skip


def contracted(tree: JoinedTree, taxon_count: int, delta: float) -> JoinedTree:
    """The tree with every internal edge shorter than `delta` contracted: the children of a
    contracted node hang from its parent; a contracted node's parent is -1 and nothing hangs
    from it. Leaf edges stay."""
    centre = len(tree.parent) - 1
    parent = list(tree.parent)
    gone = [taxon_count <= node < centre and tree.length[node] < delta for node in range(len(parent))]
    # A parent's id exceeds its children's: from the top down, each node's new parent is known
    # before its children ask for it.
    for node in range(centre - 1, -1, -1):
        above = parent[node]
        if gone[above]:
            parent[node] = parent[above]
    for node in range(len(parent)):
        if gone[node]:
            parent[node] = -1
    return JoinedTree(parent, list(tree.length))


def tree_of_blobs(
    source_or_table: Union["MappableTrees", TopologyTable],
    alpha: float = 0.05,
    beta: float = 0.80,
    test: str = "t3",
    *,
    delta: float = DEFAULT_DELTA,
    builder: str = "fastme",
    taxa: Optional[Sequence[str]] = None,
    unresolved: Optional[str] = None,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    support_index: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Optional[bool] = None,
    taxon_map: Optional["TaxonMapSource"] = None,
) -> str:
    """The TINNiK tree of blobs as unrooted Newick (topology only): the tree `builder` builds
    from tinnik_distance (same arguments; "fastme", balanced minimum evolution, by default, or
    "nj", neighbor joining), then every internal edge shorter than `delta` contracted, so that
    the blobs (and the branches no test resolves) are multifurcations."""
    if isinstance(delta, bool) or not isinstance(delta, (int, float)) or not delta >= 0 or math.isinf(delta):
        raise UsageError(f"delta is a length of 0 or more, not {delta!r}")
    check_builder(builder)
    found = tinnik_distance(
        source_or_table, alpha, beta, test, taxa=taxa, unresolved=unresolved, collapse_length=collapse_length,
        min_support=min_support, support_index=support_index, jobs=jobs, progress=progress,
        taxon_map=taxon_map,
    )  # fmt: skip
    n = len(found.taxa)
    parent, length = _engine.distance_tree(numpy.ascontiguousarray(found.distance).tobytes(), n, builder)
    return newick(contracted(JoinedTree(parent, length), n, float(delta)), found.taxa)


def incompatible_splits(splits: Sequence[Sequence[str]], taxa: Sequence[str]) -> List[Tuple[int, int]]:
    """The pairs (i, j), i < j, of splits (each given by the taxa on one side) that no tree
    holds together: all four intersections of their sides are non-empty."""
    every = frozenset(taxa)
    sides = [frozenset(side) for side in splits]
    pairs = []
    for i, first in enumerate(sides):
        for j in range(i + 1, len(sides)):
            second = sides[j]
            if (first & second) and (first - second) and (second - first) and (every - first - second):
                pairs.append((i, j))
    return pairs
