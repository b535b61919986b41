"""treetally against the plain-Python model, on seeded random tree files.

Every per-tree answer and every sweep must equal the model's exactly: the model adds branch
lengths root first and forms path lengths with the same grouping, so floats agree bit for bit.
"""

from __future__ import annotations

import math
import random
from collections import Counter

import pytest

import reference
import treetally
from random_tree_files import Recipe, TreeTextMaker

RECIPES = {
    "tidy": Recipe(seed=11),
    "crlf-blank-lines": Recipe(
        seed=12, line_ending="\r\n", final_newline=False, blank_lines=0.08, comments=0.1
    ),
    "messy": Recipe(
        seed=13,
        names=20,
        line_ending="mixed",
        blank_lines=0.03,
        scrambled=0.1,
        comments=0.15,
        special_lengths=True,
        odd_text=0.05,
    ),
    "scrambled": Recipe(seed=14, trees=300, names=8, scrambled=0.85, comments=0.1, odd_text=0.1),
    "wide-polytomies": Recipe(seed=15, trees=200, max_leaves=20, names=20, odd_text=0.02),
}
MISMATCHES_SHOWN = 5
QUERY_SIZES = [
    ("retrieve_quartet_type", 4),
    ("retrieve_quintet_type", 5),
    ("retrieve_all_pairs_distance", 5),
]
SWEEP_SIZES = [
    ("tally_single_quartet", 4),
    ("tally_single_quintet", 5),
    ("coalesence_times_by_topology", 5),
]


def same_value(got, want) -> bool:
    """Exact equality, element-wise for lists, where two NaNs count as equal."""
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(map(same_value, got, want))
    if isinstance(want, float) and math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is type(want) and got == want


@pytest.fixture(scope="module", params=sorted(RECIPES))
def tree_file(request, tmp_path_factory):
    """(the file's lines, the treetally set, the model set) for one recipe."""
    data = TreeTextMaker(RECIPES[request.param]).file_bytes()
    path = tmp_path_factory.mktemp("random") / f"{request.param}.tre"
    path.write_bytes(data)
    return reference.file_lines(path), treetally.TreeSet(str(path)), reference.ReferenceSet(path)


def present_names(model: reference.ReferenceSet, index: int):
    names = model.taxon_table.names
    return [names[taxon] for taxon in model.shape(index).node_of_taxon]


def name_tuples(rng: random.Random, present, everything, size: int):
    """Names of the tree itself, names of the file, and a tuple with one name repeated."""
    tuples = []
    if len(present) >= size:
        tuples.append(tuple(rng.sample(present, size)))
    if present:
        repeated = [rng.choice(present) for _ in range(size - 1)]
        tuples.append(tuple(repeated + [rng.choice(repeated)]))
    if len(everything) >= size:
        tuples.append(tuple(rng.sample(everything, size)))
    return tuples


def mismatch_report(mismatches) -> str:
    shown = "\n".join(mismatches[:MISMATCHES_SHOWN])
    return f"{len(mismatches)} answers differ from the model, first ones:\n{shown}"


def test_len_and_taxa_match_model(tree_file):
    lines, tree_set, model = tree_file
    assert len(tree_set) == len(model) == len(lines)
    assert tree_set.taxa() == model.taxa()
    # Text after the first ";" of a line is never read.
    assert "Zafter" not in tree_set.taxa()


def test_single_tree_answers_match_model(tree_file):
    lines, tree_set, model = tree_file
    rng = random.Random(len(lines))
    everything = model.taxa()
    mismatches = []
    for index in range(len(model)):
        present = present_names(model, index)
        queries = [
            ("retrieve_quartet_type", names) for names in name_tuples(rng, present, everything, 4)
        ]
        for names in name_tuples(rng, present, everything, 5):
            queries += [("retrieve_quintet_type", names), ("retrieve_all_pairs_distance", names)]
        for method, names in queries:
            got = getattr(tree_set[index], method)(names)
            want = getattr(model[index], method)(names)
            if not same_value(got, want):
                mismatches.append(
                    f"line {index} {lines[index]!r} {method}{names}: "
                    f"treetally {got!r}, model {want!r}"
                )
    assert not mismatches, mismatch_report(mismatches)


def test_answers_cover_resolved_unresolved_and_absent(tree_file):
    """The random files must reach every kind of answer, or the comparison above is weak."""
    _, _, model = tree_file
    rng = random.Random(7)
    kinds = Counter()
    everything = model.taxa()
    for index in range(len(model)):
        for names in name_tuples(rng, present_names(model, index), everything, 5):
            answer = model[index].retrieve_quintet_type(names)
            absent = model[index].retrieve_all_pairs_distance(names) is None
            kinds["absent" if absent else "unresolved" if answer is None else "resolved"] += 1
    assert min(kinds["absent"], kinds["unresolved"], kinds["resolved"]) >= 10, kinds


def sweep_tuples(model: reference.ReferenceSet, size: int, rng: random.Random):
    """Frequent taxa (so that many trees count), random taxa, and repeated names."""
    occupancy = Counter()
    for index in range(len(model)):
        occupancy.update(model.shape(index).node_of_taxon)
    frequent = [model.taxon_table.names[taxon] for taxon, _ in occupancy.most_common(8)]
    everything = model.taxa()
    tuples = []
    for _ in range(4):
        if len(frequent) >= size:
            tuples.append(tuple(rng.sample(frequent, size)))
        if len(everything) >= size:
            tuples.append(tuple(rng.sample(everything, size)))
        if frequent:
            repeated = [rng.choice(frequent) for _ in range(size - 1)]
            tuples.append(tuple(repeated + [repeated[0]]))
    return tuples


@pytest.mark.parametrize("method, size", SWEEP_SIZES)
def test_sweeps_match_model(tree_file, method, size):
    _, tree_set, model = tree_file
    mismatches = []
    for names in sweep_tuples(model, size, random.Random(size)):
        got = getattr(tree_set, method)(names)
        want = getattr(model, method)(names)
        if not same_value(got, want):
            mismatches.append(f"{method}{names}: treetally {got!r}, model {want!r}")
    assert not mismatches, mismatch_report(mismatches)


def caterpillar(leaves: int) -> str:
    """((((t0,t1),t2),t3)...): as deep as it has leaves."""
    inner = "".join(f"):0.25,t{index}:{index}e-3" for index in range(2, leaves))
    return "(" * (leaves - 1) + "t0:1e-3,t1:2" + inner + ");"


@pytest.mark.slow
def test_deep_trees_match_model(tmp_path):
    leaves = 20000
    # A chain of 4998 unary nodes above the cherry of t1 and (t2,t3); t4 and t0 at the root.
    chain = "(" * 5000 + "t1:1,(t2,t3):0.5" + "):0.125" * 4999 + ",t4,t0);"
    path = tmp_path / "deep.tre"
    path.write_text(caterpillar(leaves) + "\n" + chain + "\n", encoding="utf-8")
    tree_set, model = treetally.TreeSet(str(path)), reference.ReferenceSet(path)
    deep = ("t0", "t1", f"t{leaves // 2}", f"t{leaves - 1}", "t2")
    tuples = [deep, deep[::-1], ("t3", "t0", "t4", "t2", "t1")]
    for index in range(2):
        for names in tuples:
            for method, size in QUERY_SIZES:
                got = getattr(tree_set[index], method)(names[:size])
                want = getattr(model[index], method)(names[:size])
                assert same_value(got, want), (index, names, method)
    for names in tuples:
        for method, size in SWEEP_SIZES:
            got = getattr(tree_set, method)(names[:size])
            want = getattr(model, method)(names[:size])
            assert same_value(got, want), (names, method)
