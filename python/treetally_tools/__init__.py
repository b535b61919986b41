# The companion package of the treetally module: labelled results, name checks, input from
# compressed files, streams and strings, all-quartet tables with coalescent tests, plots, Dask
# sharding and the `treetally` command. Its loops over trees run in the native engine beside it;
# otherwise standard library only, and the extras add the rest.
"""Tools around the treetally module: labelled tallies, tables, tests, plots and a command."""

from .codes import (
    PAIRS,
    QUARTET_SPLITS,
    QUINTET_SHAPES,
    pair_labels,
    quartet_topologies,
    quartet_topology,
    quintet_topologies,
    quintet_topology,
    time_table_block,
    time_table_shares,
)
from .coalescent import (
    ChiSquare,
    SpeciesQuartet,
    chi2_sf,
    compare_with_species_tree,
    expected_concordance,
    minor_equal_test,
    star_test,
)
from .adjust import adjust_p_values
from .check import Problem, check_counted, check_lines, summary
from .errors import (
    MissingExtraError,
    NegativeLengthWarning,
    OutputError,
    RepeatedTaxonWarning,
    TaxonMapError,
    TreeFileError,
    UndefinedDistanceError,
    UnknownTaxonError,
    UnresolvedQuartetsWarning,
    UsageError,
)
from .exports import write_export
from .names import check_names
from .neighbor_net import Split, SplitsNetwork, neighbor_net
from .networks import NetworkDistance, nanuq, nanuq_distance, tinnik_distance, tree_of_blobs
from .plots import plot_quartet_simplex
from .sources import load_trees
from .species_columns import SpeciesTree, species_columns
from .species_tree import species_tree_of as species_tree
from .tables import TableRow, TopologyTable, flat_columns, quartet_table, quintet_table
from .tallies import TimeBlock, TimeTable, TopologyTally, quartet_tally, quintet_tally, tally, time_table
from .taxon_map import MappedTrees, read_taxon_map


def __getattr__(name: str) -> str:
    """`__version__`: the installed distribution's version, read from its metadata when first
    asked for (the version is written once, in pyproject.toml)."""
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata  # not at import: it takes as long to import as the package

    try:
        version = metadata.version("treetally")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        version = "unknown"
    globals()["__version__"] = version
    return version


__all__ = [
    "PAIRS",
    "QUARTET_SPLITS",
    "QUINTET_SHAPES",
    "ChiSquare",
    "MappedTrees",
    "MissingExtraError",
    "NegativeLengthWarning",
    "NetworkDistance",
    "OutputError",
    "Problem",
    "RepeatedTaxonWarning",
    "SpeciesQuartet",
    "SpeciesTree",
    "Split",
    "SplitsNetwork",
    "TableRow",
    "TaxonMapError",
    "TimeBlock",
    "TimeTable",
    "TopologyTable",
    "TopologyTally",
    "TreeFileError",
    "UndefinedDistanceError",
    "UnknownTaxonError",
    "UnresolvedQuartetsWarning",
    "UsageError",
    "adjust_p_values",
    "check_counted",
    "check_lines",
    "check_names",
    "chi2_sf",
    "compare_with_species_tree",
    "expected_concordance",
    "flat_columns",
    "load_trees",
    "minor_equal_test",
    "nanuq",
    "nanuq_distance",
    "neighbor_net",
    "pair_labels",
    "plot_quartet_simplex",
    "quartet_table",
    "quartet_tally",
    "quartet_topologies",
    "quartet_topology",
    "quintet_table",
    "quintet_tally",
    "quintet_topologies",
    "quintet_topology",
    "read_taxon_map",
    "species_columns",
    "species_tree",
    "star_test",
    "summary",
    "tally",
    "time_table",
    "time_table_block",
    "time_table_shares",
    "tinnik_distance",
    "tree_of_blobs",
    "write_export",
]
