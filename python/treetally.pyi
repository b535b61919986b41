# Type information for the treetally extension module: the two classes a caller touches,
# with the exact argument and result types of every method.
#
# Written in typing-module syntax (List, Optional, Tuple) so that checkers run for
# Python 3.8 read it as well as newer ones.

from pathlib import Path
from typing import Iterator, List, Optional, SupportsIndex, Tuple, Union, final

# The order of the names fixes the meaning of every code and output index (slot k = k-th name).
_Quartet = Tuple[str, str, str, str]
_Quintet = Tuple[str, str, str, str, str]

__all__ = ["TreeSet"]

@final
class TreeSet:
    """The trees of one Newick file (one tree per line), each indexed once when loaded.

    Fatal errors (unreadable file, unknown taxon name, ...) raise quarrow_runtime.PanicException,
    which derives from BaseException, not Exception.
    """

    def __new__(cls, path: Union[str, Path]) -> TreeSet:
        """Read and index every tree of the file at `path` (a str or pathlib.Path)."""

    def __len__(self) -> int:
        """The number of trees (lines) in the file."""

    def __getitem__(self, id: SupportsIndex, /) -> SingleTree:
        """The tree on line `id` (0-based). No negative indexing and no slicing; an id past the
        end is accepted here and fails when the SingleTree is queried."""

    def __iter__(self) -> Iterator[SingleTree]:
        """Each tree in file order."""

    def taxa(self) -> List[str]:
        """Every taxon name of the file, in order of first appearance."""

    def tally_single_quintet(self, names: _Quintet) -> List[int]:
        """15 counts: element t = number of trees whose quintet topology on `names` is code t.
        Trees lacking a taxon or leaving the five unresolved are not counted."""

    def tally_single_quartet(self, names: _Quartet) -> List[int]:
        """3 counts: element t = number of trees whose quartet topology on `names` is code t.
        Trees lacking a taxon or leaving the four unresolved are not counted."""

    def coalesence_times_by_topology(self, names: _Quintet) -> List[float]:
        """165 values: [0:15] share of classified trees per quintet code t; [15 + 10*t + p]
        relative length of pair p within the trees of code t (each block of ten sums to 1)."""

@final
class SingleTree:
    """One tree of a TreeSet, obtained by indexing or iterating it; it cannot be constructed.

    Not an attribute of the module at run time: use it in annotations only.
    """

    def retrieve_quintet_type(self, names: _Quintet) -> Optional[int]:
        """The quintet code (0-14) of this tree on `names`; None when a taxon is missing from
        this tree or the tree leaves the five unresolved."""

    def retrieve_quartet_type(self, names: _Quartet) -> Optional[int]:
        """The quartet code (0-2) of this tree on `names`; None when a taxon is missing from
        this tree or the tree leaves the four unresolved."""

    def retrieve_all_pairs_distance(self, names: _Quintet) -> Optional[List[float]]:
        """The ten path lengths between the five taxa, pairs (0,1), (0,2), (0,3), (0,4), (1,2),
        (1,3), (1,4), (2,3), (2,4), (3,4) of `names`; None when a taxon is missing."""
