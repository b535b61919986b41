# What the multispecies coalescent says about quartet counts: the two usual chi-square tests
# on the three counts of a quartet, and the concordance expected for an internal branch of
# length t coalescent units, checked against a species tree.
"""Multispecies-coalescent tests and expectations for quartet counts.

The chi-square survival function for 1 and 2 degrees of freedom has closed forms, so no
statistics package is needed: P(X > x) = erfc(sqrt(x / 2)) for 1 df, exp(-x / 2) for 2 df.
"""

from __future__ import annotations

import itertools
import math
from typing import TYPE_CHECKING, List, NamedTuple, Optional, Sequence, Tuple

from . import _engine
from ._row_values import values_of_counts
from .codes import PAIRS, QUARTET_SPLITS, quartet_topology
from .errors import UsageError
from .names import check_names
from .sources import load_trees

if TYPE_CHECKING:
    import treetally

    from .sources import Trees

NAN = float("nan")


class ChiSquare(NamedTuple):
    """A chi-square test: its statistic, degrees of freedom and p-value (NaN without data)."""

    statistic: float
    df: int
    p_value: float


def chi2_sf(x: float, df: int) -> float:
    """P(X > x) for X chi-square distributed with 1 or 2 degrees of freedom."""
    if df == 1:
        return math.erfc(math.sqrt(x / 2.0)) if x > 0 else 1.0
    if df == 2:
        return math.exp(-x / 2.0) if x > 0 else 1.0
    raise UsageError(f"closed forms exist here for 1 and 2 degrees of freedom, not {df}")


def quartet_test_values(counts: Sequence[int]) -> List[float]:
    """The statistic and p-value of minor_equal_test, then those of star_test, as the engine
    computes them for a table's rows."""
    values = values_of_counts([counts])
    return [float(values[name][0]) for name in ("minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p")]


def minor_equal_p_value(first: int, second: int, third: int) -> float:
    """The p-value of minor_equal_test of three counts."""
    return quartet_test_values((first, second, third))[1]


def star_p_value(first: int, second: int, third: int) -> float:
    """The p-value of star_test of three counts."""
    return quartet_test_values((first, second, third))[3]


def minor_equal_test(counts: Sequence[int]) -> ChiSquare:
    """Whether the two less frequent quartet topologies are equally frequent, as the
    multispecies coalescent without gene flow predicts: Pearson's chi-square on the two
    smallest counts, (n1 - n2)^2 / (n1 + n2), 1 df. A small p-value points to introgression
    or another process that favours one minor topology."""
    statistic, p_value = quartet_test_values(_three(counts))[:2]
    return ChiSquare(statistic, 1, p_value)


def star_test(counts: Sequence[int]) -> ChiSquare:
    """Whether the three quartet topologies are equally frequent, as on a star tree (an
    internal branch of length 0): Pearson's chi-square against n/3 each, 2 df. A large p-value
    means the counts cannot tell the quartet from a polytomy."""
    statistic, p_value = quartet_test_values(_three(counts))[2:]
    return ChiSquare(statistic, 2, p_value)


def _three(counts: Sequence[int]) -> Sequence[int]:
    if len(counts) != 3:
        raise UsageError(f"a quartet has three counts, not {len(counts)}")
    return counts


def expected_concordance(internal_length: float) -> float:
    """The probability that a gene tree shows the species tree's quartet, 1 - 2/3 e^(-t), for an
    internal branch of t coalescent units; each other topology has (1 - this) / 2."""
    return _engine.expected_concordance(internal_length)


class SpeciesQuartet(NamedTuple):
    """The gene-tree counts of one quartet beside what its species tree predicts."""

    taxa: Tuple[str, str, str, str]
    species_code: int  # quartet code of the species tree on `taxa`
    internal_length: float  # of the species quartet, in the species tree's units
    counts: Tuple[int, int, int]  # gene trees per quartet code

    @property
    def resolved(self) -> int:
        return sum(self.counts)

    @property
    def topology(self) -> str:
        return quartet_topology(self.taxa, self.species_code)

    @property
    def observed(self) -> float:
        """Share of the resolved gene trees that show the species quartet (NaN without any)."""
        return self.counts[self.species_code] / self.resolved if self.resolved else NAN

    @property
    def expected(self) -> float:
        return expected_concordance(self.internal_length)

    @property
    def standard_error(self) -> float:
        """Binomial standard error of `observed` under the expectation."""
        p = self.expected
        return math.sqrt(p * (1.0 - p) / self.resolved) if self.resolved else NAN


def species_quartet(species: "treetally.TreeSet", taxa: Tuple[str, str, str, str]) -> Optional[Tuple[int, float]]:
    """The quartet code of the species tree (the first tree of `species`) on `taxa` and the
    length of its internal branch, or None when the tree leaves the quartet unresolved.

    For the split ab|cd, four-point: t = (d(a,c) + d(b,d) - d(a,b) - d(c,d)) / 2; leaf branches
    cancel, so a species tree without leaf lengths serves. The distance query takes five names;
    repeating the first leaves the pairs among the four unchanged."""
    tree = species[0]
    code = tree.retrieve_quartet_type(taxa)
    distances = tree.retrieve_all_pairs_distance(taxa + (taxa[0],))
    if code is None or distances is None:
        return None
    index = {pair: p for p, pair in enumerate(PAIRS)}

    def distance(i: int, j: int) -> float:
        return distances[index[(min(i, j), max(i, j))]]

    (a, b), (c, d) = QUARTET_SPLITS[code]
    return code, (distance(a, c) + distance(b, d) - distance(a, b) - distance(c, d)) / 2.0


def compare_with_species_tree(
    gene_trees: "Trees", species_tree: "Trees", taxa: Optional[Sequence[str]] = None
) -> List[SpeciesQuartet]:
    """Every quartet of `taxa` (default: the species tree's taxa) that the species tree
    resolves, with its gene-tree counts. `species_tree`: anything load_trees reads, e.g. a list
    holding one Newick string; its branch lengths are taken as coalescent units."""
    genes = load_trees(gene_trees)
    species = load_trees(species_tree)
    chosen = check_names(species.taxa(), species.taxa() if taxa is None else taxa)
    known = set(genes.taxa())
    found = []
    for combination in itertools.combinations(chosen, 4):
        names = (combination[0], combination[1], combination[2], combination[3])
        shape = species_quartet(species, names)
        if shape is None:
            continue
        counts = genes.tally_single_quartet(names) if set(names) <= known else [0, 0, 0]
        found.append(SpeciesQuartet(names, shape[0], shape[1], (counts[0], counts[1], counts[2])))
    return found
