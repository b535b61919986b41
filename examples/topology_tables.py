# Readable labels for treetally's flat result lists: topology strings built from the caller's
# own names, and plain-text tables of the quartet tally, the quintet tally and the time table.
"""Turn treetally's flat lists into labelled tables.

Every code and output index of treetally is relative to the order of the `names` tuple:
slot k is the k-th name. The constants below are the code tables in terms of slots; the
functions substitute the caller's names.
"""

from typing import List, Sequence, Tuple

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
)

QUINTET_CODES = len(QUINTET_SHAPES)
SHARES_END = QUINTET_CODES  # time table entries [0, 15) are the shares
TIME_TABLE_LENGTH = QUINTET_CODES + QUINTET_CODES * len(PAIRS)


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
    return [quartet_topology(names, code) for code in range(len(QUARTET_SPLITS))]


def quintet_topologies(names: Sequence[str]) -> List[str]:
    """The fifteen quintet topologies, index = quintet code."""
    return [quintet_topology(names, code) for code in range(QUINTET_CODES)]


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


def _aligned(rows: Sequence[Sequence[str]]) -> str:
    """Rows of cells as text, each column padded to its widest cell."""
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)) for row in rows]
    return "\n".join(line.rstrip() for line in lines)


def _share(count: int, total: int) -> str:
    return f"{count / total:.3f}" if total > 0 else "-"


def format_quartet_tally(names: Sequence[str], counts: Sequence[int]) -> str:
    """A table of the quartet tally: code, topology, trees, fraction of counted trees."""
    total = sum(counts)
    rows = [["code", "topology", "trees", "fraction"]]
    for code, topology in enumerate(quartet_topologies(names)):
        rows.append([str(code), topology, str(counts[code]), _share(counts[code], total)])
    return _aligned(rows)


def format_quintet_tally(names: Sequence[str], counts: Sequence[int]) -> str:
    """A table of the quintet tally: code, topology, trees, fraction of counted trees."""
    total = sum(counts)
    rows = [["code", "topology", "trees", "fraction"]]
    for code, topology in enumerate(quintet_topologies(names)):
        rows.append([str(code), topology, str(counts[code]), _share(counts[code], total)])
    return _aligned(rows)


def format_time_table(names: Sequence[str], table: Sequence[float]) -> str:
    """The time table with a column per quintet code that occurred (codes with share 0 are left
    out): the first row is each code's share, the next ten rows the relative length of each
    pair within the trees of that code (each column of ten sums to 1)."""
    if len(table) != TIME_TABLE_LENGTH:
        raise ValueError(f"expected {TIME_TABLE_LENGTH} values, got {len(table)}")
    shares = time_table_shares(table)
    codes = [code for code, share in enumerate(shares) if share > 0]
    if not codes:
        return "(no tree holds all five taxa with a resolved quintet)"
    blocks = [time_table_block(table, code) for code in codes]
    rows = [["code"] + [str(code) for code in codes]]
    rows.append(["share"] + [f"{shares[code]:.3f}" for code in codes])
    for p, label in enumerate(pair_labels(names)):
        rows.append([label] + [f"{block[p]:.3f}" for block in blocks])
    return _aligned(rows)
