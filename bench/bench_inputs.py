"""The files the benchmarks read: the real gene-tree files beside the repository (the
compressed ones unpacked to a scratch folder) and generated sets of any size."""

import gzip
import random
import shutil
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
SHARED_DATA = REPO_ROOT.parent / "shared" / "data"
# The small gene-tree file shipped with the repository: what --smoke runs need nothing else for.
SMOKE_FILE = REPO_ROOT / "examples" / "data" / "apes-6taxa-1000genes.tre"

# The two files the load targets are stated for, then others of different shapes.
LOAD_FILES = [
    "plants1kp-103taxa-852genes.tre",
    "birds-363taxa-635genes.tre.gz",
    "mammals-37taxa-424genes.tre",
    "palaeognaths-14taxa-10000sim.tre",
    "sim-100taxa-2500trees-nolengths.tre",
]
PALAEOGNATH_SIMULATIONS = "palaeognaths-14taxa-10000sim.tre"
BIRDS = "birds-363taxa-635genes.tre.gz"


def real_data_available():
    return (SHARED_DATA / PALAEOGNATH_SIMULATIONS).is_file()


def real_file(name, scratch):
    """The plain-text path of a data file; a .gz file is unpacked into `scratch` once."""
    source = SHARED_DATA / name
    if not name.endswith(".gz"):
        return source
    target = Path(scratch) / name[: -len(".gz")]
    if not target.exists():
        with gzip.open(source, "rb") as packed, open(target, "wb") as plain:
            shutil.copyfileobj(packed, plain)
    return target


def repeated_file(source, copies, target):
    """`target` holding the lines of `source` `copies` times over."""
    target = Path(target)
    if not target.exists():
        text = Path(source).read_bytes()
        with open(target, "wb") as out:
            for _ in range(copies):
                out.write(text)
    return target


def random_tree_text(leaf_count, rng, taxon_count=None):
    """A random rooted binary tree with branch lengths, as one Newick line.

    Leaves are named t0, t1, ...; with `taxon_count` larger than `leaf_count`, each tree takes
    a random subset of that many taxa, as gene trees with missing taxa do. Subtrees are joined
    pairwise at random, so nothing recurses however large the tree."""
    names = (
        rng.sample(range(taxon_count), leaf_count)
        if taxon_count and taxon_count > leaf_count
        else list(range(leaf_count))
    )
    parts = ["t%d:%.6f" % (name, rng.random()) for name in names]
    while len(parts) > 1:
        k = rng.randrange(len(parts) - 1)
        parts[k : k + 2] = ["(%s,%s):%.6f" % (parts[k], parts[k + 1], rng.random())]
    # The root's own length is dropped: written as (..., ...);
    return parts[0].rsplit(":", 1)[0] + ";\n"


def generated_file(path, tree_count, leaf_count, seed=1, taxon_count=None):
    """A file of `tree_count` random trees of `leaf_count` leaves, made once per path."""
    path = Path(path)
    if not path.exists():
        rng = random.Random(seed)
        with open(path, "w") as out:
            for _ in range(tree_count):
                out.write(random_tree_text(leaf_count, rng, taxon_count))
    return path


def nested_tree_file(path, depth):
    """One tree: a chain of `depth` unary nodes above the group of A, B and C, beside D and E."""
    path = Path(path)
    if not path.exists():
        path.write_text("(" + "(" * depth + "(A:1,B:1),C:1" + ")" * depth + ",D:1,E:1);\n")
    return path


def tree_of_node_count(node_count, rng, chain=False, lengths=True, root_children=None):
    """A tree of exactly `node_count` nodes as one Newick line. Node k > 0 hangs from a random
    earlier node (from node k - 1 when `chain`, making it as deep as it can be), so unary
    nodes and polytomies occur; leaves take names from a pool of 300 taxa, some twice. With
    `root_children`, the root has exactly that many children. Written without
    recursion, for any depth."""
    parents = [0] * node_count
    for k in range(1, node_count):
        if root_children and k <= root_children:
            parents[k] = 0
        elif chain:
            parents[k] = k - 1
        else:
            parents[k] = rng.randrange(1 if root_children else 0, k)
    children = [[] for _ in range(node_count)]
    for k in range(1, node_count):
        children[parents[k]].append(k)

    def length():
        return ":%.6g" % rng.uniform(-0.1, 2.0) if lengths else ""

    out = []
    stack = [(0, 0)]  # (node, index of the next child to write)
    while stack:
        node, next_child = stack.pop()
        kids = children[node]
        if not kids:
            out.append("t%d" % rng.randrange(300))
        elif next_child < len(kids):
            out.append("(" if next_child == 0 else ",")
            stack.append((node, next_child + 1))
            stack.append((kids[next_child], 0))
            continue
        else:
            out.append(")")
        if node != 0:
            out.append(length())
    return "".join(out) + ";\n"


# Node counts on either side of where the narrowest element width of an index changes: tour
# positions of 8 or 16 bits, node ids and depths of 8 or 16 bits, and beyond.
WIDTH_EDGE_NODE_COUNTS = [2, 3, 127, 128, 129, 255, 256, 257, 32767, 32768, 32769, 65535, 65536,
                          65537]  # fmt: skip


def width_edge_file(path, seed=3):
    """Trees of the node counts in WIDTH_EDGE_NODE_COUNTS, each as a chain and as a random
    shape, with and without branch lengths and with two or three children at the root."""
    path = Path(path)
    if not path.exists():
        rng = random.Random(seed)
        with open(path, "w") as out:
            for count in WIDTH_EDGE_NODE_COUNTS:
                for chain in (False, True):
                    for lengths in (True, False):
                        roots = (2, 3) if count > 3 else (None,)
                        for root_children in roots:
                            out.write(tree_of_node_count(count, rng, chain, lengths, root_children))
    return path


# Lines that a reader accepts but few files hold: empty lines, lone leaves, a root written as
# a sibling, unary nodes, polytomies, repeated and unlabelled leaves, and every odd length.
ODD_LINES = [
    "",
    "A;",
    "(A,B),C;",
    "(A,B)(C);",
    "((A),B);",
    "(A,(B,A),C);",
    "(,B,(C,D));",
    "((A:1,B:2):3,C:4):100;",
    "((A:-1,B:-0):-0,(C:0,D:0.0):0,E:0);",
    "((A:nan,B:inf):1,(C:-inf,D:1e308):1e308,E:1e-320);",
    "((A:0.1,B:0.2):0.30000000000000004,(C:123456789.123456789,D:1e-7):5e-324,E:2);",
    "(((((A,B),C),D),E),F,G);",
    "((A,B,C,D,E,F),(G,H));",
    "((A:1,B:1):0,(C:1,D:1):0,E:1);",
    "((A:0,B:0):0,(C:0,D:0):0,E:0);",
    "(((A:1,B:1):1,(C:1,D:1):1):1,E:1);",
]


def odd_lines_file(path):
    path = Path(path)
    if not path.exists():
        path.write_text("\n".join(ODD_LINES) + "\n")
    return path


def edge_files(scratch):
    """Generated files of unusual shapes and lengths, for checks that every answer stays put."""
    scratch = Path(scratch)
    return [
        nested_tree_file(scratch / "nested-200000-deep.tre", 200_000),
        width_edge_file(scratch / "width-edges.tre"),
        odd_lines_file(scratch / "odd-lines.tre"),
        generated_file(scratch / "random-20leaves-3000trees-of-40taxa.tre", 3000, 20, seed=5,
                       taxon_count=40),  # fmt: skip
    ]


def all_real_files(scratch):
    """Every gene-tree file beside the repository, the compressed ones unpacked into `scratch`."""
    return [real_file(path.name, scratch) for path in sorted(SHARED_DATA.iterdir())
            if path.name.endswith((".tre", ".tre.gz"))]  # fmt: skip
