"""treetally on published gene-tree files: counts, taxa, sweeps against the model, biology.

The files live outside the repository, in ../shared/data; without them every test here skips.
"""

from __future__ import annotations

import gzip
import math
import random
import re
from pathlib import Path

import pytest

import reference
import treetally

# Loads and sweeps of the real files: seconds of native work, the same under every interpreter.
pytestmark = pytest.mark.slow

DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data"
if not DATA.is_dir():
    pytest.skip("the shared gene-tree files are not available", allow_module_level=True)

# Trees and distinct leaf labels of each file, as the data set's own description measures them.
FILES = {
    "mammals-37taxa-424genes.tre": (424, 37),
    "bees-32taxa-853genes.tre": (853, 32),
    "buxus-40taxa-1246genes.tre": (1246, 40),
    "plants1kp-103taxa-852genes.tre": (852, 103),
    "plants1kp-103taxa-424genes-bs10.tre": (424, 103),
    "sim-100taxa-2500trees-nolengths.tre": (2500, 100),
    "palaeognaths-15taxa-5016introns.tre": (5016, 15),
    "palaeognaths-14taxa-10000sim.tre": (10000, 14),
    "palaeognaths-14taxa-model-species-tree.tre": (1, 14),
    "birds-363taxa-635genes.tre.gz": (635, 363),
    "birds-363taxa-635genes-alrt95.tre.gz": (635, 363),
    "edge-fungi-16taxa-7180multicopy.tre": (7180, 16),
    "edge-genefamilies-199trees-nosemicolon.tre": (199, 12489),
}
# Small enough for the slow model; between them they hold root lengths, polytomies,
# incomplete trees and repeated labels.
MODEL_FILES = [
    "mammals-37taxa-424genes.tre",
    "bees-32taxa-853genes.tre",
    "buxus-40taxa-1246genes.tre",
    "palaeognaths-15taxa-5016introns.tre",
    "plants1kp-103taxa-424genes-bs10.tre",
    "edge-fungi-16taxa-7180multicopy.tre",
]
SIMULATED = "palaeognaths-14taxa-10000sim.tre"
SPECIES_TREE = "palaeognaths-14taxa-model-species-tree.tre"

# In these files (no comments, no text after ";") a label right after "(" or "," is a leaf label.
LEAF_LABEL = re.compile(rb"[(,] *([^ (),:;\[\r\n][^),:;\[\r\n]*)")


@pytest.fixture(scope="module")
def plain_file(tmp_path_factory):
    """The path of a data file as plain text, decompressing .gz files once."""
    paths = {}

    def path_of(name: str) -> Path:
        source = DATA / name
        if not source.is_file():
            pytest.skip(f"{name} is not available")
        if name not in paths:
            paths[name] = source
            if name.endswith(".gz"):
                paths[name] = tmp_path_factory.mktemp("unzipped") / name[: -len(".gz")]
                paths[name].write_bytes(gzip.decompress(source.read_bytes()))
        return paths[name]

    return path_of


def first_appearances(labels):
    return list(dict.fromkeys(label.decode("utf-8") for label in labels))


def frequent_names(path: Path, count: int):
    """Leaf labels of the file's first tree: a tuple drawn from them occurs in that tree."""
    with path.open("rb") as lines:
        return first_appearances(LEAF_LABEL.findall(lines.readline()))[:count]


@pytest.mark.parametrize("name", sorted(FILES))
def test_trees_and_taxa_match_the_file(plain_file, name):
    path = plain_file(name)
    trees, taxa = FILES[name]
    tree_set = treetally.TreeSet(str(path))
    data = path.read_bytes()
    assert len(tree_set) == trees == data.count(b"\n")
    names = tree_set.taxa()
    assert len(names) == len(set(names)) == taxa
    assert names == first_appearances(LEAF_LABEL.findall(data))


def name_tuples(names, rng: random.Random):
    return [tuple(rng.sample(names, size)) for size in (4, 4, 5, 5, 5)]


@pytest.mark.parametrize("name", MODEL_FILES)
def test_sweeps_match_model(plain_file, name):
    path = plain_file(name)
    tree_set = treetally.TreeSet(str(path))
    model = reference.ReferenceSet(path)
    rng = random.Random(name)
    for names in name_tuples(frequent_names(path, 12), rng) + name_tuples(tree_set.taxa(), rng):
        if len(names) == 4:
            assert tree_set.tally_single_quartet(names) == model.tally_single_quartet(names), names
            continue
        assert tree_set.tally_single_quintet(names) == model.tally_single_quintet(names), names
        got = tree_set.coalesence_times_by_topology(names)
        # Same additions in the same order as the model, so the floats agree exactly.
        assert got == model.coalesence_times_by_topology(names), names
        for index in range(40):
            for method in ("retrieve_quintet_type", "retrieve_all_pairs_distance"):
                want = getattr(model[index], method)(names)
                assert getattr(tree_set[index], method)(names) == want, (index, names, method)


@pytest.mark.parametrize("name", sorted(FILES))
def test_time_table_is_normalised(plain_file, name):
    path = plain_file(name)
    tree_set = treetally.TreeSet(str(path))
    rng = random.Random(name)
    candidates = frequent_names(path, 10)
    for _ in range(3):
        names = tuple(rng.sample(candidates, 5))
        times = tree_set.coalesence_times_by_topology(names)
        counts = tree_set.tally_single_quintet(names)
        shares = times[:15]
        assert sum(counts) > 0, names  # the first tree holds the names; most resolve them
        assert math.isclose(math.fsum(shares), 1.0, abs_tol=1e-12)
        for code in range(15):
            assert shares[code] == counts[code] / sum(counts)
            block = times[15 + 10 * code : 25 + 10 * code]
            if counts[code] == 0:
                assert block == [0.0] * 10
            elif math.fsum(block) > 0:
                assert math.isclose(math.fsum(block), 1.0, abs_tol=1e-9), (names, code)
                assert min(block) >= 0.0


@pytest.mark.parametrize(
    "names, internal_branch",
    [
        # ((cryCin,tinGut),(eudEle,notPer)): their two cherry branches in coalescent units.
        (("cryCin", "eudEle", "tinGut", "notPer"), 2.222865 + 0.569523),
        # (anoDid and rheAme) against (strCam, galGal), across one branch.
        (("strCam", "anoDid", "galGal", "rheAme"), 0.640913),
    ],
)
def test_simulated_gene_trees_follow_the_species_tree(plain_file, names, internal_branch):
    species_code = reference.ReferenceSet(plain_file(SPECIES_TREE))[0].retrieve_quartet_type(names)
    assert species_code is not None
    tally = treetally.TreeSet(str(plain_file(SIMULATED))).tally_single_quartet(names)
    assert sum(tally) == FILES[SIMULATED][0]  # complete, bifurcating trees all resolve
    majority = max(range(3), key=tally.__getitem__)
    assert majority == species_code
    runner_up = max(count for code, count in enumerate(tally) if code != majority)
    assert tally[majority] > 2 * runner_up
    # The multispecies coalescent puts the matching share at 1 - 2/3 exp(-branch).
    expected_share = 1 - 2 / 3 * math.exp(-internal_branch)
    assert tally[majority] / sum(tally) == pytest.approx(expected_share, abs=0.02)


def test_simulated_quintets_follow_the_species_tree(plain_file):
    names = ("anoDid", "cryCin", "eudEle", "tinGut", "notPer")
    species_code = reference.ReferenceSet(plain_file(SPECIES_TREE))[0].retrieve_quintet_type(names)
    tree_set = treetally.TreeSet(str(plain_file(SIMULATED)))
    tally = tree_set.tally_single_quintet(names)
    assert species_code is not None and max(range(15), key=tally.__getitem__) == species_code
    assert tally[species_code] > sum(tally) / 2
