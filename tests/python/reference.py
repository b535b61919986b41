"""Slow, plain-Python model of the answers treetally gives, for differential tests.

Written to be obviously right rather than fast: it never imports treetally, uses no Euler
tour and classifies topologies from the splits a tree displays, not from LCA depths.
"""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import Dict, FrozenSet, List, Optional, Sequence

# Characters that end a label, and those that end a branch length; spaces, "(" and quotes
# belong to a label, and ":" and "(" to a length text.
LABEL_END = re.compile(r"[),:;\[]")
LENGTH_END = re.compile(r"[),;\[]")
# What the native decimal conversion accepts: no spaces, no underscores, no hexadecimal.
NUMBER = re.compile(
    r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)\Z", re.IGNORECASE
)

ROOT = 0
NO_NODE = -1


class TaxonNotFound(KeyError):
    """A name that no leaf of the file carries."""


class InvalidBranchLength(ValueError):
    """A branch length text that is not a number."""


class TaxonTable:
    """Taxon names in order of first appearance, and their ids."""

    def __init__(self) -> None:
        self.names: List[str] = []
        self.ids: Dict[str, int] = {}

    def insert_or_get(self, name: str) -> int:
        if name not in self.ids:
            self.ids[name] = len(self.names)
            self.names.append(name)
        return self.ids[name]

    def id_of(self, name: str) -> int:
        if name not in self.ids:
            raise TaxonNotFound("Taxon not found")
        return self.ids[name]


class Tree:
    """One tree exactly as the reader links it, unreachable nodes included."""

    def __init__(self) -> None:
        self.taxon: List[int] = [-42]
        self.parent: List[int] = [ROOT]
        self.length: List[float] = [-1.0]
        self.first_child: List[int] = [NO_NODE]
        self.next_sibling: List[int] = [NO_NODE]
        self.child_count: List[int] = [0]

    def add_node(self, parent: int) -> int:
        self.taxon.append(-1)
        self.parent.append(parent)
        self.length.append(0.0)
        self.first_child.append(NO_NODE)
        self.next_sibling.append(NO_NODE)
        self.child_count.append(0)
        self.child_count[parent] += 1
        return len(self.taxon) - 1

    def children(self, node: int) -> List[int]:
        found = []
        child = self.first_child[node]
        while child != NO_NODE:
            found.append(child)
            child = self.next_sibling[child]
        return found


def end_of_token(pattern: re.Pattern, text: str, start: int) -> int:
    found = pattern.search(text, start)
    return found.start() if found else len(text)


def end_of_comment(text: str, start: int) -> int:
    """Index just after the "]" that closes a comment opened before start, or the text's end."""
    depth = 0
    for index in range(start, len(text)):
        if text[index] == "[":
            depth += 1
        elif text[index] == "]":
            if depth == 0:
                return index + 1
            depth -= 1
    return len(text)


def branch_length_value(text: str) -> float:
    if not NUMBER.match(text):
        raise InvalidBranchLength(text)
    return float(text)


def parse_tree(text: str, taxa: TaxonTable) -> Tree:
    """Reads one tree with one cursor, character by character, never rejecting a shape."""
    tree = Tree()
    current = ROOT
    index = 0
    while index < len(text):
        char = text[index]
        if char == " ":
            index += 1
        elif char == "(":
            child = tree.add_node(current)
            tree.first_child[current] = child
            current = child
            index += 1
        elif char == ",":
            sibling = tree.add_node(tree.parent[current])
            tree.next_sibling[current] = sibling
            current = sibling
            index += 1
        elif char == ")":
            current = tree.parent[current]
            index += 1
        elif char == ":":
            end = end_of_token(LENGTH_END, text, index + 1)
            if end > index + 1:
                tree.length[current] = branch_length_value(text[index + 1 : end])
            index = end
        elif char == ";":
            break
        elif char == "[":
            index = end_of_comment(text, index + 1)
        else:
            end = end_of_token(LABEL_END, text, index)
            # Labels after ")" (supports, internal names) never name a taxon.
            if tree.child_count[current] == 0:
                tree.taxon[current] = taxa.insert_or_get(text[index:end])
            index = end
    return tree


def file_lines(path) -> List[str]:
    """The lines of a tree file: split on LF, one CR dropped; no line after a final LF."""
    lines = Path(path).read_bytes().split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return [(line[:-1] if line.endswith(b"\r") else line).decode("utf-8") for line in lines]


class Shape:
    """The part of a tree reachable from the root: parents, depths, distances, taxon nodes."""

    def __init__(self, tree: Tree) -> None:
        self.up: Dict[int, int] = {}
        self.depth: Dict[int, int] = {ROOT: 0}
        self.distance: Dict[int, float] = {ROOT: 0.0}
        self.node_of_taxon: Dict[int, int] = {}
        pending = [ROOT]
        while pending:
            node = pending.pop()
            # Preorder: a later node carrying the same taxon takes its place.
            if tree.taxon[node] >= 0:
                self.node_of_taxon[tree.taxon[node]] = node
            children = tree.children(node)
            for child in children:
                self.up[child] = node
                self.depth[child] = self.depth[node] + 1
                self.distance[child] = self.distance[node] + tree.length[child]
            pending.extend(reversed(children))
        # A taxon on the root counts as absent from the tree.
        for taxon, node in list(self.node_of_taxon.items()):
            if node == ROOT:
                del self.node_of_taxon[taxon]

    def ancestors(self, node: int) -> List[int]:
        """The node itself, then every ancestor up to the root."""
        path = [node]
        while path[-1] != ROOT:
            path.append(self.up[path[-1]])
        return path

    def lca(self, a: int, b: int) -> int:
        above_a = set(self.ancestors(a))
        return next(node for node in self.ancestors(b) if node in above_a)

    def path_distance(self, a: int, b: int) -> float:
        return (self.distance[a] + self.distance[b]) - 2 * self.distance[self.lca(a, b)]


def clades(shape: Shape, nodes: Sequence[int]) -> List[FrozenSet[int]]:
    """For every node with a chosen slot in its subtree, the set of slots below it."""
    below: Dict[int, set] = {}
    for slot, node in enumerate(nodes):
        for ancestor in shape.ancestors(node):
            below.setdefault(ancestor, set()).add(slot)
    return [frozenset(slots) for slots in below.values()]


def nontrivial_splits(shape: Shape, nodes: Sequence[int]) -> set:
    """Distinct displayed splits with two or more slots on each side, as the side without slot 0."""
    everything = frozenset(range(len(nodes)))
    splits = set()
    for clade in clades(shape, nodes):
        side = everything - clade if 0 in clade else clade
        if 2 <= len(side) <= len(nodes) - 2:
            splits.add(side)
    return splits


# The pair opposite slot 0's partner: 0 = {0,1}|{2,3}, 1 = {0,2}|{1,3}, 2 = {0,3}|{1,2}.
QUARTET_CODES = {frozenset({2, 3}): 0, frozenset({1, 3}): 1, frozenset({1, 2}): 2}

# Each quintet topology as (cherry, middle slot, cherry); the code is the row number.
QUINTET_TOPOLOGIES = [
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
]
QUINTET_CODES = {
    frozenset({frozenset(left), frozenset(right)}): code
    for code, (left, _, right) in enumerate(QUINTET_TOPOLOGIES)
}


def quartet_type(shape: Shape, nodes: Sequence[int]) -> Optional[int]:
    splits = nontrivial_splits(shape, nodes)
    if not splits:
        return None
    assert len(splits) == 1, splits
    return QUARTET_CODES[splits.pop()]


def quintet_type(shape: Shape, nodes: Sequence[int]) -> Optional[int]:
    everything = frozenset(range(5))
    splits = nontrivial_splits(shape, nodes)
    cherries = {side if len(side) == 2 else everything - side for side in splits}
    if len(cherries) < 2:
        return None
    assert len(cherries) == 2, cherries
    return QUINTET_CODES[frozenset(cherries)]


def pairwise_distances(shape: Shape, nodes: Sequence[int]) -> List[float]:
    return [
        shape.path_distance(nodes[i], nodes[j])
        for i in range(len(nodes))
        for j in range(i + 1, len(nodes))
    ]


class ReferenceTree:
    """One tree of a ReferenceSet, answering like a SingleTree."""

    def __init__(self, owner: "ReferenceSet", index: int) -> None:
        self.owner = owner
        self.index = index

    def nodes_of(self, names: Sequence[str]) -> Optional[List[int]]:
        return self.owner.nodes_in_tree(self.index, self.owner.taxon_ids(names))

    def retrieve_quartet_type(self, names: Sequence[str]) -> Optional[int]:
        nodes = self.nodes_of(names)
        return None if nodes is None else quartet_type(self.owner.shape(self.index), nodes)

    def retrieve_quintet_type(self, names: Sequence[str]) -> Optional[int]:
        nodes = self.nodes_of(names)
        return None if nodes is None else quintet_type(self.owner.shape(self.index), nodes)

    def retrieve_all_pairs_distance(self, names: Sequence[str]) -> Optional[List[float]]:
        nodes = self.nodes_of(names)
        return None if nodes is None else pairwise_distances(self.owner.shape(self.index), nodes)


class ReferenceSet:
    """A tree file read by the model, answering like a TreeSet."""

    def __init__(self, path) -> None:
        self.taxon_table = TaxonTable()
        self.trees = [parse_tree(line, self.taxon_table) for line in file_lines(path)]
        self.shapes: List[Optional[Shape]] = [None] * len(self.trees)

    def __len__(self) -> int:
        return len(self.trees)

    def __getitem__(self, index: int) -> ReferenceTree:
        return ReferenceTree(self, index)

    def taxa(self) -> List[str]:
        return list(self.taxon_table.names)

    def shape(self, index: int) -> Shape:
        if self.shapes[index] is None:
            self.shapes[index] = Shape(self.trees[index])
        return self.shapes[index]

    def taxon_ids(self, names: Sequence[str]) -> List[int]:
        return [self.taxon_table.id_of(name) for name in names]

    def nodes_in_tree(self, index: int, taxon_ids: Sequence[int]) -> Optional[List[int]]:
        """The nodes of the taxa in one tree, or None when the tree lacks one of them."""
        where = self.shape(index).node_of_taxon
        if any(taxon not in where for taxon in taxon_ids):
            return None
        return [where[taxon] for taxon in taxon_ids]

    def classified_trees(self, names: Sequence[str], classify):
        """(tree index, nodes, code) for every tree that holds all names and resolves them."""
        ids = self.taxon_ids(names)
        for index in range(len(self.trees)):
            nodes = self.nodes_in_tree(index, ids)
            if nodes is not None:
                code = classify(self.shape(index), nodes)
                if code is not None:
                    yield index, nodes, code

    def tally_single_quartet(self, names: Sequence[str]) -> List[int]:
        counts = [0] * 3
        for _, _, code in self.classified_trees(names, quartet_type):
            counts[code] += 1
        return counts

    def tally_single_quintet(self, names: Sequence[str]) -> List[int]:
        counts = [0] * 15
        for _, _, code in self.classified_trees(names, quintet_type):
            counts[code] += 1
        return counts

    def coalesence_times_by_topology(self, names: Sequence[str]) -> List[float]:
        table = [0.0] * 165
        for index, nodes, code in self.classified_trees(names, quintet_type):
            table[code] += 1.0
            for pair, value in enumerate(pairwise_distances(self.shape(index), nodes)):
                table[15 + 10 * code + pair] += value
        divide_if_positive(table, 0, 15)
        for code in range(15):
            divide_if_positive(table, 15 + 10 * code, 10)
        return table


def divide_if_positive(values: List[float], start: int, count: int) -> None:
    """Divides a stretch by its sum, summed left to right (not math.fsum or sum())."""
    total = 0.0
    for index in range(start, start + count):
        total += values[index]
    if total > 0:
        for index in range(start, start + count):
            values[index] /= total


# Quartet code -> its split {a,b} | {c,d}, as slots of a row's four taxa.
QUARTET_SPLITS = (((0, 1), (2, 3)), ((0, 2), (1, 3)), ((0, 3), (1, 2)))


def quartet_distances(taxon_count: int, rows: Sequence[Sequence[int]], weighted: bool = False) -> List[List[float]]:
    """QDC (six times the votes) or WQDC distances, one row (t1, t2, t3, t4, count_0, count_1,
    count_2) at a time, each quartet's addition made as the methods define it."""
    distance = [[0.0] * taxon_count for _ in range(taxon_count)]
    for row in rows:
        index, counts = row[:4], row[4:]
        best = max(counts)
        if best <= 0:
            continue
        tied = [code for code in range(3) if counts[code] == best]
        if weighted:
            resolved = sum(counts)
            if 3 * best == resolved:  # three equal counts: no length
                continue
            concordance = best / (best + 1) if best == resolved else best / resolved
            vote = -math.log(1.5 * (1 - concordance)) / len(tied)
        else:
            vote = 6.0 / len(tied)
        for code in tied:
            (a, b), (c, d) = QUARTET_SPLITS[code]
            for x, y in ((a, c), (a, d), (b, c), (b, d)):
                distance[index[x]][index[y]] += vote
                distance[index[y]][index[x]] += vote
    return distance


def neighbor_joining(distance: Sequence[Sequence[float]]) -> tuple:
    """(parent, length) of each node of the neighbor-joining tree, nodes numbered as they are
    joined, with Studier and Keppler's criterion and ties to the pair met first."""
    n = len(distance)
    d = [list(map(float, row)) for row in distance]
    node = list(range(n))
    active = list(range(n))
    parent = [-1] * (2 * n - 2)
    length = [0.0] * (2 * n - 2)
    totals = [0.0] * n  # summed left to right, as the engine does (sum() compensates on 3.12+)
    for i in range(n):
        for k in active:
            if k != i:
                totals[i] += d[i][k]
    next_node = n
    while len(active) > 3:
        m = len(active)
        best, best_i, best_j = math.inf, -1, -1
        for a, i in enumerate(active):
            for j in active[a + 1 :]:
                q = (m - 2) * d[i][j] - totals[i] - totals[j]
                if q < best:
                    best, best_i, best_j = q, i, j
        i, j = best_i, best_j
        d_ij = d[i][j]
        to_i = d_ij / 2.0 + (totals[i] - totals[j]) / (2.0 * (m - 2))
        for position, side in ((i, to_i), (j, d_ij - to_i)):
            parent[node[position]] = next_node
            length[node[position]] = side
        active.remove(j)
        totals[i] = 0.0
        for k in active:
            if k == i:
                continue
            joined = (d[i][k] + d[j][k] - d_ij) / 2.0
            totals[k] += joined - d[i][k] - d[j][k]
            d[i][k] = d[k][i] = joined
            totals[i] += joined
        node[i] = next_node
        next_node += 1
    x, y, z = active
    for first, second, third in ((x, y, z), (y, x, z), (z, x, y)):
        parent[node[first]] = next_node
        length[node[first]] = (d[first][second] + d[first][third] - d[second][third]) / 2.0
    return parent[: next_node + 1], length[: next_node + 1]
