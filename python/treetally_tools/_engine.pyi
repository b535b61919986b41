# The native engine beside the treetally module: every loop over trees that treetally_tools
# needs, over the same loaded TreeSet (it never reopens the file).
from typing import Callable, Dict, Iterable, List, Literal, Mapping, Optional, Sequence, Tuple, Union, final, overload

import treetally

class EngineError(Exception):
    """A failure of the core; str() is the core's message, as the module's PanicException has it.
    Raised as such, a fault of the engine; its subclasses name faults of the input or request."""

class TreeReadError(EngineError):
    """Input that cannot be read as trees; each subclass names one way of it."""

class FileOpenError(TreeReadError):
    """The tree file cannot be opened."""

class FileReadError(TreeReadError):
    """Reading the tree file failed, or a line of it is not UTF-8 text."""

class LineTooLongError(TreeReadError):
    """A line of the tree file is longer than the load's cap."""

class BranchLengthError(TreeReadError):
    """A branch length is not a number."""

class SupportLabelError(TreeReadError):
    """An internal label is not a support value, where a support bound reads them."""

class TreeSizeError(TreeReadError):
    """The trees name more taxa, or hold more nodes, than the engine can number."""

class TaxonNotFoundError(EngineError, ValueError):
    """A name that no tree of the set holds."""

@overload
def load(
    path: str,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    max_line_bytes: Optional[int] = None,
    support_index: Optional[int] = None,
    copies_apart: bool = False,
    notes: Literal[False] = False,
) -> Tuple[treetally.TreeSet, int]: ...
@overload
def load(
    path: str,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    max_line_bytes: Optional[int] = None,
    support_index: Optional[int] = None,
    copies_apart: bool = False,
    *,
    notes: Literal[True],
) -> Tuple[treetally.TreeSet, int, int, int]:
    """The TreeSet of the file at `path`, read with the interpreter lock released (so that a
    thread of this process may feed a pipe named /dev/fd/N), and how many of its branches were
    written with a length below zero; internal branches written with a length no longer than
    `collapse_length` (a branch without a length is never judged by it), or with support below
    `min_support`, count as polytomies. Value `support_index` (from 1) of a label of several
    separated by "/" (80/95) is its support; without it such a label is a SupportLabelError.
    With `min_support` and no label in any tree, a UserWarning says that nothing was contracted
    for support. A line longer
    than `max_line_bytes` (its line feed not counted; None: no cap) is a LineTooLongError
    naming the line by its number; input that cannot be read otherwise raises the
    TreeReadError of its kind. With `copies_apart`, the k-th leaf (k >= 2) of a tree naming a
    taxon again is the taxon name + "\n" + str(k), so that every copy is kept. With `notes`,
    nothing is warned: (trees, lengths below zero, trees naming a taxon on two leaves, support
    labels read), for a caller that warns once of loads made apart (warn_of_load)."""

def warn_of_load(repeated_trees: int, support_labels: Optional[int] = None, stacklevel: int = 1) -> None:
    """The UserWarnings load() gives of `repeated_trees` trees naming a taxon on two leaves and,
    `support_labels` given (a support bound was set), of no support label read; `stacklevel` as
    warnings.warn takes it."""

def check_file(path: str, max_line_bytes: Optional[int] = None) -> Tuple[List[Tuple[int, str, str]], int]:
    """The problems of the lines of the file at `path`, read with the interpreter lock released,
    as (line_number, kind, detail) in line order, and the number of lines. A line longer than
    `max_line_bytes` is an EngineError naming it, as is a file that cannot be read."""

def check_lines(lines: List[bytes], first_line: int) -> List[Tuple[int, str, str]]:
    """The problems of `lines` (each one line, with or without its line ending), the first
    numbered `first_line`."""

def tree_taxa(line: bytes) -> List[str]:
    """The taxa of the tree of one line, node by node (a taxon on two nodes twice)."""

def load_checked(
    path: str,
    collapse_length: Optional[float] = None,
    min_support: Optional[float] = None,
    max_line_bytes: Optional[int] = None,
    support_index: Optional[int] = None,
) -> Tuple[treetally.TreeSet, List[Tuple[int, str, str]], int]:
    """load() and check_file() in one reading of `path`: the TreeSet, the problems of its lines
    and the number of lines; fails as load() fails."""

def taxon_tree_counts(trees: treetally.TreeSet) -> List[int]:
    """Trees holding each taxon, index = position in trees.taxa()."""

def presence_counts(trees: treetally.TreeSet, taxa: Tuple[str, ...]) -> List[int]:
    """Trees holding each of `taxa`."""

def tree_nodes(trees: treetally.TreeSet, tree: int) -> Tuple[List[int], List[float], List[int]]:
    """The nodes of tree `tree` of the set in preorder: each one's parent (its place in that
    order, -1 for the root), the length of the branch above it (0 for the root) and its taxon
    (an index into trees.taxa(), -1 for none)."""

def tally(trees: treetally.TreeSet, names: Tuple[str, ...]) -> Tuple[List[int], int]:
    """The counts of tally_single_quartet / tally_single_quintet of four or five names, and the
    trees holding every name; TaxonNotFoundError names the first name no tree holds."""

def mapped_tally(trees: treetally.TreeSet, groups: List[List[str]]) -> Tuple[List[float], float, int]:
    """For 4 or 5 groups of names (each a species' individuals): each topology's share of
    trees (each tree holding an individual of every group adds its combinations of one
    individual per group showing the topology, over all its combinations), the share
    resolving none, and the trees holding every group."""

def group_presence_counts(trees: treetally.TreeSet, groups: List[List[str]]) -> List[int]:
    """Trees holding a name of each group."""

def topology_path_sums(
    trees: treetally.TreeSet, names: Tuple[str, str, str, str, str]
) -> Tuple[List[int], int, List[int], int, List[float]]:
    """Quartet counts and holding (first four names), quintet counts and holding, and the 150
    path-length sums (index 10 * code + pair) in one pass."""

def time_table(counts: List[int], sums: List[float]) -> List[float]:
    """The 165 values of coalesence_times_by_topology from 15 counts and 150 sums."""

MAX_JOBS: int

# Exact sums of a run of blocks: per pair i < j, 16 bytes of a whole sum (least significant
# first) and one byte for whether the pair met, then the quartets and the unresolved ones.
_ExactDistances = Tuple[bytes, bytes, int, int]

@overload
def quartet_distances(
    trees: treetally.TreeSet,
    taxa: Tuple[str, ...],
    weighted: bool = False,
    jobs: int = 1,
    progress: Optional[Callable[[int], object]] = None,
    blocks: None = None,
    unresolved: Optional[str] = None,
    groups: Optional[List[List[str]]] = None,
) -> Tuple[bytes, int, int, int, Optional[Tuple[int, int]]]:
    """The QDC (or WQDC) distances of every quartet of `taxa`, counted on `jobs` threads (0:
    every core) without keeping the table; `progress` gets the rows of each block counted;
    `unresolved` "third" spreads each unresolved tree a third to each topology ("drop", None:
    left out); `groups` (one list of the trees' taxa per taxon): the taxa are species, whose
    quartets' shares of trees vote (see Table).
    (distances as n * n float64 bytes, quartets, unresolved quartets, pairs meeting in no
    resolved quartet, the first such pair or None)."""

@overload
def quartet_distances(
    trees: treetally.TreeSet,
    taxa: Tuple[str, ...],
    weighted: bool = False,
    jobs: int = 1,
    progress: Optional[Callable[[int], object]] = None,
    *,
    blocks: Tuple[int, int],
    unresolved: Optional[str] = None,
    groups: Optional[List[List[str]]] = None,
) -> _ExactDistances:
    """Only blocks start .. stop-1 of the table (numbered as Table numbers them), as exact sums
    that summed_distances adds up."""

def summed_distances(
    taxon_count: int, parts: Iterable[_ExactDistances], weighted: bool = False
) -> Tuple[bytes, int, int, int, Optional[Tuple[int, int]]]:
    """The distances of the exact sums of runs of blocks, added up one part at a time, as
    quartet_distances gives those of every block."""

def column_distances(
    taxon_count: int, columns: Tuple[bytes, ...], weighted: bool = False, unresolved: Optional[str] = None
) -> Tuple[bytes, int, int, int, Optional[Tuple[int, int]]]:
    """The same from int64 columns (bytes) t1, t2, t3, t4, count_0, count_1, count_2 and
    optionally unresolved, which "third" needs and spreads a third to each topology."""

def network_distances(
    trees: treetally.TreeSet,
    taxa: Tuple[str, ...],
    method: str,
    alpha: float,
    beta: float,
    jobs: Optional[int] = 1,
    progress: Optional[Callable[[int], object]] = None,
    unresolved: Optional[str] = None,
    test: Optional[str] = None,
    groups: Optional[List[List[str]]] = None,
) -> Tuple[bytes, Tuple[int, int, int, int, int]]:
    """The NANUQ or TINNiK distances (method "nanuq" or "tinnik") of every quartet of `taxa`,
    classed at levels alpha (the tree test: "t3", or TINNiK's "cut") and beta (star), counted
    on `jobs` threads: the n x n float64 distances and the counts of empty, star, tree and
    cycle quartets and of TINNiK's inferred B-quartets (not among the others). `groups` (one
    list of the trees' taxa per taxon): the taxa are species, whose quartets' shares of trees
    are classed (see Table)."""

def neighbor_joining(distances: bytes, taxon_count: int) -> Tuple[List[int], List[float]]:
    """The neighbor-joining tree of an n x n float64 matrix: (parent, length) of each node."""

def distance_tree(distances: bytes, taxon_count: int, builder: str = "fastme") -> Tuple[List[int], List[float]]:
    """The tree of an n x n float64 matrix by balanced minimum evolution ("fastme") or neighbor
    joining ("nj"): (parent, length) of each node."""

@final
class Table:
    """Every combination of `size` of `taxa` with its counts, counted in blocks of rows on
    `jobs` threads (0: every core, at most MAX_JOBS, more than the cores counting as the
    cores) and handed out in row order. A call that counts raises ValueError when close()
    on another thread stops it."""

    def __init__(
        self,
        trees: treetally.TreeSet,
        size: int,
        taxa: Tuple[str, ...],
        jobs: int = 1,
        rows_per_block: int = 0,
        text_form: Optional[str] = None,
        taxon_cells: Optional[Tuple[str, ...]] = None,
        blocks: Optional[Tuple[int, int]] = None,
        species: Optional[treetally.TreeSet] = None,
        adjust: Optional[str] = None,
        unresolved: Optional[str] = None,
        groups: Optional[List[List[str]]] = None,
        tree_tests: Optional[Sequence[str]] = None,
        test_lambda: float = 0.0,
        test_method: Optional[str] = None,
    ) -> None:
        """`blocks=(start, stop)` counts only the blocks start .. stop-1 of the whole table
        (next_block, next_text and all_columns give those rows alone), so that several
        processes can each count a run of one table. `species` (a TreeSet whose first tree
        serves, quartets only) adds the species-tree columns; `adjust` ("holm" or "bh") the
        tests' p-values adjusted across the whole table, whatever run of it is counted;
        `unresolved` "third" (quartets) spreads each unresolved tree a third to each topology
        in every value derived from the counts ("drop", None: left out). `groups` (one list of
        the trees' taxa per taxon of `taxa`): the taxa are species, each row counting what
        mapped_tally counts (float64 count_.. and unresolved columns). `tree_tests` (quartets)
        names "t3" and "t1" (t1 with `species`) for their columns, with the power-divergence
        `test_lambda` and `test_method` "mlest" (None) or "conservative"."""
    @property
    def rows(self) -> int:
        """The number of rows of the whole table."""
    @property
    def block_count(self) -> int:
        """The number of blocks of the whole table (the bound of `blocks`)."""
    def next_block(self) -> Optional[Dict[str, bytearray]]:
        """The next block's values, every column of its rows (int64, float64 or one-byte bool
        cells), computed by the counting threads, or None after the last block."""
    def next_text(self) -> Optional[bytes]:
        """The next block's rows as UTF-8 text in `text_form` ("csv" or "json"), written by the
        counting threads, or None after the last block."""
    def all_columns(self) -> Dict[str, bytearray]:
        """Every value of the whole table as columns, written in place by the counting threads;
        MemoryError when they would not fit."""
    def close(self) -> None:
        """Stops the counting threads and waits for them."""

def format_rows(
    columns: Mapping[str, Union[bytes, bytearray]], size: int, form: str, taxon_cells: Tuple[str, ...], first: bool
) -> str:
    """Rows given by every value column (as next_block and row_values give them, the species
    and adjusted columns when present) of a table of `size` taxa as CSV lines or JSON records
    ("csv" or "json"), as a Table writes its text; `first`: the rows open the whole table."""

def row_values(
    size: int,
    columns: Mapping[str, Union[bytes, bytearray]],
    taxa: Tuple[str, ...],
    species: Optional[treetally.TreeSet] = None,
    unresolved: Optional[str] = None,
    fractional: bool = False,
    tree_tests: Optional[Sequence[str]] = None,
    test_lambda: float = 0.0,
    test_method: Optional[str] = None,
) -> Dict[str, bytearray]:
    """Every value of the rows given as int64 columns t1.., count_0.. (holding, unresolved
    optional), computed as a Table computes them; `fractional`: count_0.. and unresolved are
    float64 shares of trees."""

def adjust_p_values(values: Union[bytes, bytearray], method: str) -> bytearray:
    """float64 p-values adjusted by "holm" or "bh"."""

def dominant(counts: Tuple[int, int, int]) -> Tuple[int, float]:
    """The code of the largest of three quartet counts (the lowest among ties, -1 when all are
    0) and the internal length its concordance implies (estimated_length)."""

def expected_concordance(length: float) -> float:
    """1 - 2/3 e^(-length)."""

def kernel_width() -> str: ...
def force_kernel_width(name: Optional[str]) -> None: ...
