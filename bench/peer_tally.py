"""The tallies written the way a researcher would script them over a tree library: restrict
each tree to the named taxa and classify it by the splits it shows on them.

Two forms of the same script. "restrict": the library's own restriction (TreeSwift's
extract_tree_with and the like) gives a small tree of the named taxa, which is then walked.
"walk": one pass over the whole tree, without building the restricted copy, a leaner script
than most would write. In both, for every node, children first, the set of named taxa below it
is a bit mask; a mask with at least two taxa on each side is a split. A quartet is resolved by
one split, a quintet by two. The codes follow treetally's tables (slot k of `names` is bit
2^(n-1-k); the canonical side of a split is the one without slot 0), so the answers can be
checked against treetally's."""

# Quintet code of each pair of canonical split masks, in ascending order.
QUINTET_CODES = {
    (3, 7): 0, (5, 7): 1, (6, 7): 2, (3, 11): 3, (9, 11): 4, (10, 11): 5,
    (5, 13): 6, (9, 13): 7, (12, 13): 8, (6, 14): 9, (10, 14): 10, (12, 14): 11,
    (3, 12): 12, (5, 10): 13, (6, 9): 14,
}  # fmt: skip
QUARTET_CODES = {3: 0, 5: 1, 6: 2}
PAIRS_OF_FIVE = [(i, j) for i in range(5) for j in range(i + 1, 5)]


def _canonical(mask, full):
    return mask ^ full if mask & (full + 1) >> 1 else mask


def _splits(tree, walk, bits, full):
    """The canonical splits the tree shows on the named taxa, or None when one is missing."""
    masks = {}
    splits = set()
    count = bin(full).count("1")
    for node in walk.postorder(tree):
        children = walk.children(node)
        if children:
            mask = 0
            for child in children:
                mask |= masks[child]
        else:
            mask = bits.get(walk.label(node), 0)
        masks[node] = mask
        if 2 <= bin(mask).count("1") <= count - 2:
            splits.add(_canonical(mask, full))
    return splits if mask == full else None


def _bits_of(names):
    n = len(names)
    return {name: 1 << (n - 1 - k) for k, name in enumerate(names)}, (1 << n) - 1


def _restricted(trees, walk, names, restrict):
    """The trees themselves, or each restricted to `names` by the library when `restrict`."""
    if not restrict:
        return trees
    labels = list(names)
    return (walk.restrict(tree, labels) for tree in trees)


def tally_quintets(trees, walk, names, restrict=False):
    bits, full = _bits_of(names)
    counts = [0] * 15
    for tree in _restricted(trees, walk, names, restrict):
        splits = _splits(tree, walk, bits, full)
        if splits is not None and len(splits) == 2:
            counts[QUINTET_CODES[tuple(sorted(splits))]] += 1
    return counts


def tally_quartets(trees, walk, names, restrict=False):
    bits, full = _bits_of(names)
    counts = [0] * 3
    for tree in _restricted(trees, walk, names, restrict):
        splits = _splits(tree, walk, bits, full)
        if splits is not None and len(splits) == 1:
            counts[QUARTET_CODES[splits.pop()]] += 1
    return counts


def _code_and_distances(tree, walk, bits, full):
    """The quintet code and the ten path lengths, or None for a tree that lacks a taxon or
    leaves the quintet unresolved. Root distances come from a walk down from the root; the
    LCA of two taxa is the first node, children first, whose mask holds both."""
    nodes = list(walk.postorder(tree))
    depth = {}
    for node in reversed(nodes):  # parents before children
        base = depth.setdefault(node, 0.0)
        for child in walk.children(node):
            depth[child] = base + walk.length(child)
    masks = {}
    splits = set()
    leaf_depth = [None] * 5
    lca_depth = {}
    for node in nodes:
        children = walk.children(node)
        if children:
            mask = 0
            for child in children:
                mask |= masks[child]
        else:
            mask = bits.get(walk.label(node), 0)
            if mask:
                leaf_depth[4 - mask.bit_length() + 1] = depth[node]
        masks[node] = mask
        if 2 <= bin(mask).count("1") <= 3:
            splits.add(_canonical(mask, full))
        for i, j in PAIRS_OF_FIVE:
            pair = (1 << (4 - i)) | (1 << (4 - j))
            if (i, j) not in lca_depth and mask & pair == pair:
                lca_depth[(i, j)] = depth[node]
    if mask != full or len(splits) != 2:
        return None
    distances = [
        leaf_depth[i] + leaf_depth[j] - 2.0 * lca_depth[(i, j)] for i, j in PAIRS_OF_FIVE
    ]
    return QUINTET_CODES[tuple(sorted(splits))], distances


def coalescence_times(trees, walk, names, restrict=False):
    """The 165-value table of treetally's coalesence_times_by_topology: shares of the 15
    types, then per type the ten summed path lengths relative to their total."""
    bits, full = _bits_of(names)
    table = [0.0] * 165
    for tree in _restricted(trees, walk, names, restrict):
        found = _code_and_distances(tree, walk, bits, full)
        if found is None:
            continue
        code, distances = found
        table[code] += 1.0
        for p, value in enumerate(distances):
            table[15 + 10 * code + p] += value
    total = sum(table[:15])
    if total > 0:
        table[:15] = [value / total for value in table[:15]]
    for t in range(15):
        block = table[15 + 10 * t : 25 + 10 * t]
        block_sum = sum(block)
        if block_sum > 0:
            table[15 + 10 * t : 25 + 10 * t] = [value / block_sum for value in block]
    return table
