# The meaning of treetally's codes and output indices: the quartet and quintet code tables,
# the pair order and the layout of the 165-value time table, as slots of the caller's names.
"""Code tables of treetally's results, and topology strings written with the caller's names.

Every code and output index of treetally is relative to the order of the `names` tuple: slot k
is the k-th name. The constants hold the tables in terms of slots; the functions substitute
the names.
"""

from __future__ import annotations

from typing import List, Sequence, Tuple

from .errors import UsageError

# Quartet code -> its split {a,b} | {c,d}, as slots of `names`.
QUARTET_SPLITS: Tuple[Tuple[Tuple[int, int], Tuple[int, int]], ...] = (
    ((0, 1), (2, 3)),
    ((0, 2), (1, 3)),
    ((0, 3), (1, 2)),
)

# Quintet code -> (cherry, middle taxon, cherry), as slots of `names`.
QUINTET_SHAPES: Tuple[Tuple[Tuple[int, int], int, Tuple[int, int]], ...] = (
    ((0, 1), 2, (3, 4)),
    ((0, 1), 3, (2, 4)),
    ((0, 1), 4, (2, 3)),
    ((0, 2), 1, (3, 4)),
    ((0, 2), 3, (1, 4)),
    ((0, 2), 4, (1, 3)),
    ((0, 3), 1, (2, 4)),
    ((0, 3), 2, (1, 4)),
    ((0, 3), 4, (1, 2)),
    ((0, 4), 1, (2, 3)),
    ((0, 4), 2, (1, 3)),
    ((0, 4), 3, (1, 2)),
    ((1, 2), 0, (3, 4)),
    ((1, 3), 0, (2, 4)),
    ((1, 4), 0, (2, 3)),
)

# Pair index p of the time table and of SingleTree.retrieve_all_pairs_distance -> its slots.
PAIRS: Tuple[Tuple[int, int], ...] = (
    (0, 1), (0, 2), (0, 3), (0, 4), (1, 2), (1, 3), (1, 4), (2, 3), (2, 4), (3, 4),
)  # fmt: skip

# The package's copy of the sizes the native core names quartet_type_count, quintet_type_count,
# pair_count_of_five and time_table_size; the tests check that the engine's results agree.
QUARTET_CODES = len(QUARTET_SPLITS)
QUINTET_CODES = len(QUINTET_SHAPES)
SHARES_END = QUINTET_CODES  # time table entries [0, 15) are the shares
TIME_TABLE_LENGTH = QUINTET_CODES + QUINTET_CODES * len(PAIRS)


def code_count(size: int) -> int:
    """The number of topology codes of `size` taxa: 3 for a quartet, 15 for a quintet."""
    if size == 4:
        return QUARTET_CODES
    if size == 5:
        return QUINTET_CODES
    raise UsageError(f"topologies are tallied for 4 or 5 taxa, not {size}")


def quartet_topology(names: Sequence[str], code: int) -> str:
    """The unrooted quartet of `code` written with `names`, e.g. "((A,B),(C,D))" for the
    split AB|CD; like the quintet strings, it is Newick once a ";" is added."""
    (a, b), (c, d) = QUARTET_SPLITS[code]
    return f"(({names[a]},{names[b]}),({names[c]},{names[d]}))"


def quintet_topology(names: Sequence[str], code: int) -> str:
    """The unrooted quintet of `code` written with `names`, e.g. "((A,B),C,(D,E))"."""
    (a, b), middle, (c, d) = QUINTET_SHAPES[code]
    return f"(({names[a]},{names[b]}),{names[middle]},({names[c]},{names[d]}))"


def quartet_topologies(names: Sequence[str]) -> List[str]:
    """The three quartet topologies, index = quartet code."""
    return [quartet_topology(names, code) for code in range(QUARTET_CODES)]


def quintet_topologies(names: Sequence[str]) -> List[str]:
    """The fifteen quintet topologies, index = quintet code."""
    return [quintet_topology(names, code) for code in range(QUINTET_CODES)]


def topologies(names: Sequence[str]) -> List[str]:
    """The topologies of four or five names, index = code."""
    return quartet_topologies(names) if code_count(len(names)) == QUARTET_CODES else quintet_topologies(names)


def pair_labels(names: Sequence[str]) -> List[str]:
    """The ten taxon pairs, index = pair index of the time table, e.g. "A-B"."""
    return [f"{names[i]}-{names[j]}" for i, j in PAIRS]


def time_table_shares(table: Sequence[float]) -> List[float]:
    """Entries 0-14 of the time table: the share of classified trees per quintet code."""
    return list(table[:SHARES_END])


def time_table_block(table: Sequence[float], code: int) -> List[float]:
    """The ten relative pair lengths of quintet `code` (entries 15 + 10*code + p)."""
    start = SHARES_END + len(PAIRS) * code
    return list(table[start : start + len(PAIRS)])
