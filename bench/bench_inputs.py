"""The files the benchmarks read: the real gene-tree files beside the repository (the
compressed ones unpacked to a scratch folder) and generated sets of any size."""

import gzip
import random
import shutil
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
SHARED_DATA = REPO_ROOT.parent / "shared" / "data"

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
