# Individuals (or gene copies) mapped to species. A map is read here and checked against the
# trees; the engine loads the trees with every copy of a name kept as a taxon of its own and
# counts each species quartet (or quintet) over the combinations of one individual per species
# that each tree holds. Python only reads the map and arranges the groups.
"""Taxon maps: several individuals, or copies of a gene, per species."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import treetally

from . import _engine
from .errors import TaxonMapError, UsageError

if TYPE_CHECKING:
    TaxonMapSource = Union[str, "os.PathLike[str]", Mapping[str, str]]

# What a load with copies apart puts between a name and the number of its copy (k >= 2): a
# line feed, which no name in a file of one tree per line holds.
_COPY_MARK = "\n"


def read_taxon_map(path: Union[str, "os.PathLike[str]"]) -> Dict[str, str]:
    """The map of the file at `path`: one line per gene-tree name, the name and its species
    separated by a tab or a comma (the first of either on the line), spaces around each
    trimmed. Blank lines and lines starting with '#' are skipped; there is no header line.
    TaxonMapError, naming the line, for a line without two columns, an empty name or species,
    or a name mapped to two different species (the same pair twice is accepted)."""
    name = os.fspath(path)
    try:
        with open(path, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise TaxonMapError(name, getattr(error, "strerror", None) or str(error)) from None
    mapping: Dict[str, str] = {}
    first_line: Dict[str, int] = {}
    for number, line in enumerate(lines, start=1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        cuts = [at for at in (text.find("\t"), text.find(",")) if at >= 0]
        if not cuts:
            raise TaxonMapError(name, "a line holds a gene-tree name and a species, separated by a tab or a comma", number)
        cut = min(cuts)
        taxon, species = text[:cut].strip(), text[cut + 1 :].strip()
        if not taxon:
            raise TaxonMapError(name, "the gene-tree name is empty", number)
        if not species:
            raise TaxonMapError(name, f"{taxon!r} is mapped to an empty species", number)
        if "\t" in species or "," in species:
            raise TaxonMapError(name, "a line holds two columns, not more", number)
        known = mapping.get(taxon)
        if known is not None and known != species:
            raise TaxonMapError(
                name, f"{taxon!r} is mapped to {species!r} here and to {known!r} on line {first_line[taxon]}", number
            )
        mapping[taxon] = species
        first_line.setdefault(taxon, number)
    if not mapping:
        raise TaxonMapError(name, "the map holds no line")
    return mapping


def taxon_map_of(taxon_map: "TaxonMapSource") -> Dict[str, str]:
    """The map given as a path to a map file or as a mapping {gene-tree name: species}; a
    mapping's species must be non-empty strings (TaxonMapError)."""
    if isinstance(taxon_map, (str, os.PathLike)):
        return read_taxon_map(taxon_map)
    if not isinstance(taxon_map, Mapping):
        raise TypeError(f"taxon_map is a path or a mapping of names to species, not a {type(taxon_map).__name__}")
    mapping: Dict[str, str] = {}
    for taxon, species in taxon_map.items():
        if not isinstance(taxon, str) or not isinstance(species, str):
            raise TypeError("a taxon map maps names (str) to species (str)")
        if not species:
            raise TaxonMapError("given", f"{taxon!r} is mapped to an empty species")
        mapping[taxon] = species
    return mapping


def share_text(count: float) -> str:
    """A count of trees as text: a whole number without a decimal point, any other share as
    the shortest decimal that reads back as the same float (repr), as tables write them."""
    if isinstance(count, float) and count.is_integer() and abs(count) < 2**53:
        return str(int(count))
    return repr(count) if isinstance(count, float) else str(count)


def gene_name(taxon: str) -> str:
    """The name a taxon of a load with copies apart has in its file (its copy number off)."""
    return taxon.split(_COPY_MARK, 1)[0]


class MappedTrees:
    """Trees whose taxa are individuals (each copy of a repeated name one of its own) grouped
    into species by a taxon map. `trees`: the TreeSet of individuals; `species`: the species in
    order of their first individual in the trees; `groups`: each species' individuals (the
    TreeSet's taxon names)."""

    def __init__(self, trees: treetally.TreeSet, mapping: Mapping[str, str], source: str = "given") -> None:
        taxa = trees.taxa()
        missing = [taxon for taxon in dict.fromkeys(gene_name(taxon) for taxon in taxa) if taxon not in mapping]
        if missing:
            raise TaxonMapError(
                source,
                f"{len(missing)} name{'s' if len(missing) != 1 else ''} of the trees "
                f"{'are' if len(missing) != 1 else 'is'} not in the map (the first: {missing[0]!r})",
            )
        groups: Dict[str, List[str]] = {}
        for taxon in taxa:
            groups.setdefault(mapping[gene_name(taxon)], []).append(taxon)
        self.trees = trees
        self.mapping = dict(mapping)
        self.groups = groups
        self.species: Tuple[str, ...] = tuple(groups)

    def __len__(self) -> int:
        return len(self.trees)

    def taxa(self) -> List[str]:
        """The species, as a TreeSet gives its taxa."""
        return list(self.species)

    def groups_of(self, species: Sequence[str]) -> List[List[str]]:
        """The individuals of each of `species`, in that order."""
        return [self.groups[name] for name in species]

    def presence(self, species: Sequence[str]) -> List[int]:
        """How many trees hold an individual of each of `species`."""
        return list(_engine.group_presence_counts(self.trees, self.groups_of(species)))


def map_trees(trees: treetally.TreeSet, taxon_map: "TaxonMapSource") -> MappedTrees:
    """`trees` grouped into species by `taxon_map` (a path or a mapping); TaxonMapError when a
    name of the trees is not in the map (how many, and the first)."""
    source = os.fspath(taxon_map) if isinstance(taxon_map, (str, os.PathLike)) else "given"
    return MappedTrees(trees, taxon_map_of(taxon_map), source)


def map_refused(what: str) -> UsageError:
    """The error of `what`, which cannot count species yet, given a taxon map."""
    return UsageError(f"{what} does not take a taxon map (--taxon-map) yet: it counts the trees' own taxa")


def refuse_map(taxon_map: Optional[object], what: str) -> None:
    """map_refused(what) raised when a taxon map is given."""
    if taxon_map is not None:
        raise map_refused(what)
