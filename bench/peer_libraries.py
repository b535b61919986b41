"""The Python tree libraries that treetally is compared with: how each reads a file of Newick
trees, one per line, and how a script walks the trees it returns.

A library that is not installed, or that fails on a file, is reported and skipped."""

import importlib

PEER_NAMES = ["Bio.Phylo", "TreeSwift", "ete3", "DendroPy"]


def _read_bio_phylo(path):
    from Bio import Phylo

    return list(Phylo.parse(str(path), "newick"))


def _read_treeswift(path):
    import treeswift

    trees = treeswift.read_tree_newick(str(path))
    # A file of one tree gives the tree itself rather than a list.
    return trees if isinstance(trees, list) else [trees]


def _read_ete3(path):
    import ete3

    # format=1 reads the labels of internal nodes (support values) as names.
    with open(path) as lines:
        return [ete3.Tree(line, format=1) for line in lines]


def _read_dendropy(path):
    import dendropy

    return list(
        dendropy.TreeList.get(path=str(path), schema="newick", preserve_underscores=True)
    )


def _restrict_bio_phylo(tree, labels):
    import copy

    kept = copy.deepcopy(tree)
    for leaf in kept.get_terminals():
        if leaf.name not in labels:
            kept.prune(leaf)
    return kept


def _restrict_ete3(tree, labels):
    kept = tree.copy()
    present = [leaf for leaf in kept.iter_leaves() if leaf.name in labels]
    kept.prune(present, preserve_branch_length=True)
    return kept


# How a script walks the trees of each library: nodes children-first, each node's children,
# a leaf's label and the length of the edge above a node; and how it restricts a tree to some
# leaf labels with the library's own means.
class _BioPhyloWalk:
    postorder = staticmethod(lambda tree: tree.find_clades(order="postorder"))
    children = staticmethod(lambda node: node.clades)
    label = staticmethod(lambda node: node.name)
    length = staticmethod(lambda node: node.branch_length or 0.0)
    restrict = staticmethod(_restrict_bio_phylo)


class _TreeSwiftWalk:
    postorder = staticmethod(lambda tree: tree.traverse_postorder())
    children = staticmethod(lambda node: node.children)
    label = staticmethod(lambda node: node.label)
    length = staticmethod(lambda node: node.edge_length or 0.0)
    restrict = staticmethod(lambda tree, labels: tree.extract_tree_with(labels))


class _Ete3Walk:
    postorder = staticmethod(lambda tree: tree.traverse("postorder"))
    children = staticmethod(lambda node: node.children)
    label = staticmethod(lambda node: node.name)
    length = staticmethod(lambda node: node.dist or 0.0)
    restrict = staticmethod(_restrict_ete3)


class _DendroPyWalk:
    postorder = staticmethod(lambda tree: tree.postorder_node_iter())
    children = staticmethod(lambda node: node.child_nodes())
    label = staticmethod(lambda node: node.taxon.label if node.taxon is not None else None)
    length = staticmethod(lambda node: node.edge.length or 0.0)
    restrict = staticmethod(
        lambda tree, labels: tree.extract_tree_with_taxa_labels(labels=labels)
    )


_PEERS = {
    "Bio.Phylo": ("Bio.Phylo", "biopython", _read_bio_phylo, _BioPhyloWalk),
    "TreeSwift": ("treeswift", "treeswift", _read_treeswift, _TreeSwiftWalk),
    "ete3": ("ete3", "ete3", _read_ete3, _Ete3Walk),
    "DendroPy": ("dendropy", "dendropy", _read_dendropy, _DendroPyWalk),
}


def peer_status(name):
    """(True, version) when the library imports here, else (False, the reason)."""
    module_name, distribution, _, _ = _PEERS[name]
    try:
        importlib.import_module(module_name)
    except Exception as error:  # any import failure means: not usable on this Python
        return False, "not installable/importable here (%s: %s)" % (
            type(error).__name__,
            str(error).splitlines()[0][:80] if str(error) else "",
        )
    try:
        from importlib import metadata

        return True, metadata.version(distribution)
    except Exception:
        return True, "?"


def read_trees(name, path):
    return _PEERS[name][2](path)


def walk_of(name):
    return _PEERS[name][3]
