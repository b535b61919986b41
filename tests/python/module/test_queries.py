"""Answers of the per-tree queries and the sweeps on small hand-written trees.

Expected values are worked out by hand from the topology tables, independently of the
plain-Python model that the differential tests use.
"""

from __future__ import annotations

import gc
import itertools
import math

import pytest

import treetally

DISTANCE_TREE = "((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);"
DISTANCES_ABCDE = [3.0, 8.0, 6.5, 7.5, 9.0, 7.5, 8.5, 6.5, 7.5, 2.0]

# Quintet codes by their two canonical split masks (slot k carried by bit 2**(4-k)).
QUINTET_CODE_OF_MASKS = {
    (3, 7): 0, (5, 7): 1, (6, 7): 2, (3, 11): 3, (9, 11): 4, (10, 11): 5, (5, 13): 6,
    (9, 13): 7, (12, 13): 8, (6, 14): 9, (10, 14): 10, (12, 14): 11, (3, 12): 12,
    (5, 10): 13, (6, 9): 14,
}


@pytest.fixture
def load(write_trees):
    """Writes the given lines to a file and reads it as a TreeSet."""

    def load_lines(*lines: str, ending: str = "\n") -> treetally.TreeSet:
        text = "".join(line + ending for line in lines)
        return treetally.TreeSet(str(write_trees(text.encode("utf-8"))))

    return load_lines


def panic_message(call) -> str:
    """The message of the PanicException that call raises."""
    try:
        call()
    except BaseException as error:  # PanicException derives from BaseException only
        if type(error).__name__ != "PanicException":
            raise
        return str(error)
    pytest.fail("no PanicException was raised")


def quintet_code(cherries, names) -> int:
    """The code of the quintet with these two cherries of taxa, for this slot order."""
    masks = []
    for cherry in cherries:
        mask = sum(2 ** (4 - names.index(taxon)) for taxon in cherry)
        masks.append(min(mask, mask ^ 31))
    return QUINTET_CODE_OF_MASKS[tuple(sorted(masks))]


def quartet_code(cherry, names) -> int:
    """The code of the quartet in which slot 0's taxon pairs with its cherry partner."""
    first = names[0]
    partner = cherry[1 - cherry.index(first)] if first in cherry else next(
        taxon for taxon in names if taxon not in cherry and taxon != first
    )
    return names.index(partner) - 1


@pytest.mark.parametrize(
    "text, names, expected",
    [
        (DISTANCE_TREE, "ABCDE", DISTANCES_ABCDE),
        (DISTANCE_TREE, "EDCBA", [2.0, 7.5, 8.5, 7.5, 6.5, 7.5, 6.5, 9.0, 8.0, 3.0]),
        ("((A,B),C,(D,E));", "ABCDE", [0.0] * 10),
        # The root's own length never counts.
        ("((A:1,B:2):3,C:4,(D:0.5,E:1.5):2):7.25;", "ABCDE", DISTANCES_ABCDE),
        (DISTANCE_TREE, "AABCD", [0.0, 3.0, 8.0, 6.5, 3.0, 8.0, 6.5, 9.0, 7.5, 6.5]),
        # A unary node adds its length and nothing else.
        ("(((A:1,B:2):3):0.25,C:4,(D:0.5,E:1.5):2);", "ABCDE",
         [3.0, 8.25, 6.75, 7.75, 9.25, 7.75, 8.75, 6.5, 7.5, 2.0]),
    ],
    ids=["ABCDE", "EDCBA", "no-lengths", "root-length", "repeated", "unary"],
)
def test_all_pairs_distance(load, text, names, expected):
    distances = load(text)[0].retrieve_all_pairs_distance(tuple(names))
    assert distances == expected
    assert all(type(value) is float for value in distances)


@pytest.mark.parametrize(
    "text, names, expected",
    [
        ("(((a,b),c),d);", "abcd", 0),
        ("((a,b),(c,d));", "abcd", 0),
        ("((a,c),(b,d));", "abcd", 1),
        ("((a,d),(b,c));", "abcd", 2),
        ("((b,c),a,d);", "abcd", 2),
        ("((a,b),(c,d));", "acbd", 1),
        ("(a,b,c,d);", "abcd", None),
        ("((a,b,c),d);", "abcd", None),
        ("(a,(b,c,d));", "abcd", None),
        ("((a,b),(c,d));", "aabc", 0),
        ("((a:5,b:0):1e-9,(c:100,d:-3):0);", "abcd", 0),
        ("((((a,b))),(c,d));", "abcd", 0),
        ("(((((a,b),x),c),y),d);", "abcd", 0),
    ],
    ids=[
        "caterpillar", "balanced", "ac-bd", "ad-bc", "root-of-three", "reordered", "star",
        "triple-below-root", "triple-at-root-side", "same-taxon-twice", "lengths-ignored",
        "unary-chain", "other-leaves-between",
    ],
)
def test_quartet_type(load, text, names, expected):
    assert load(text)[0].retrieve_quartet_type(tuple(names)) == expected


@pytest.mark.parametrize(
    "text, cherry", [("((a,b),(c,d));", "ab"), ("((b,c),a,d);", "bc"), ("((a,(b,d)),c);", "bd")]
)
def test_quartet_type_follows_name_order(load, text, cherry):
    tree = load(text)[0]
    for names in itertools.permutations("abcd"):
        assert tree.retrieve_quartet_type(names) == quartet_code(cherry, names), names


@pytest.mark.parametrize(
    "text, expected",
    [
        ("((((a,b),c),d),e);", 0),
        ("(((a,b),c),(d,e));", 0),
        ("((a,b),(c,d),e);", 2),
        ("((a,b),((c,d),e));", 2),
        ("((a,b),(c,d,e));", None),
        ("((a,b),c,d,e);", None),
        ("(((a,b),c,d),e);", None),
        ("((b,c),a,(d,e));", 12),
        ("((a:0,c:7):1e3,d:-1,(b,e):2.5);", 4),
        ("(a,b,c,d,e);", None),
    ],
    ids=[
        "caterpillar", "balanced", "root-of-three", "deeper-second-cherry", "polytomy-of-three",
        "polytomy-at-root", "polytomy-below-root", "slot-0-in-middle", "lengths-ignored", "star",
    ],
)
def test_quintet_type(load, text, expected):
    assert load(text)[0].retrieve_quintet_type(tuple("abcde")) == expected


@pytest.mark.parametrize(
    "text, cherries",
    [
        ("((b,c),a,(d,e));", ("bc", "de")),
        ("((((a,b),c),d),e);", ("ab", "de")),
        ("((a,(e,c)),(b,d));", ("ce", "bd")),
    ],
)
def test_quintet_type_follows_name_order(load, text, cherries):
    tree = load(text)[0]
    for names in itertools.permutations("abcde"):
        assert tree.retrieve_quintet_type(names) == quintet_code(cherries, names), names


def test_quintet_with_a_repeated_name(load):
    tree = load("((a,b),(c,d));")[0]
    assert tree.retrieve_quintet_type(("a", "a", "b", "c", "d")) == 0
    # Slots 0 and 2 hold a, slots 1 and 3 hold b: ((0,2),4,(1,3)).
    assert tree.retrieve_quintet_type(("a", "b", "a", "b", "c")) == 5
    assert tree.retrieve_quintet_type(("a", "a", "a", "b", "c")) is None


TYPE_4_TREES = ["((a:1,c:2):1,d:1,(b:1,e:3):1);", "(((a:0.5,c:0.5):2,d:3):1,(b:1,e:2):1);"]


def test_sweeps_count_two_trees_of_one_type_and_skip_the_unresolved(load):
    tree_set = load(TYPE_4_TREES[0], "(a,b,c,d,e);", TYPE_4_TREES[1])
    names = tuple("abcde")
    assert tree_set.tally_single_quintet(names) == [0, 0, 0, 0, 2] + [0] * 10

    times = tree_set.coalesence_times_by_topology(names)
    assert len(times) == 165 and all(type(value) is float for value in times)
    assert times[:15] == [0.0] * 4 + [1.0] + [0.0] * 10
    per_tree = [tree_set[index].retrieve_all_pairs_distance(names) for index in (0, 2)]
    sums = [first + second for first, second in zip(*per_tree)]
    total = 0.0
    for value in sums:
        total += value
    assert times[55:65] == [value / total for value in sums]
    assert math.isclose(math.fsum(times[55:65]), 1.0, rel_tol=1e-12)
    assert times[15:55] + times[65:] == [0.0] * 140


@pytest.mark.parametrize(
    "lengths, expected_block",
    [
        ("0", [0.0] * 10),  # a zero total is not divided
        ("-1", [-4.0, -2.0, -3.0, -4.0, -4.0, -3.0, -2.0, -3.0, -4.0, -3.0]),
    ],
    ids=["zero-lengths", "negative-lengths"],
)
def test_time_block_left_undivided_when_its_sum_is_not_positive(load, lengths, expected_block):
    text = "((a:L,c:L):L,d:L,(b:L,e:L):L);".replace("L", lengths)
    times = load(text).coalesence_times_by_topology(tuple("abcde"))
    assert times[4] == 1.0
    assert times[55:65] == expected_block


def test_time_block_with_a_nan_length_is_left_undivided(load):
    times = load("((a:nan,c:1):1,d:1,(b:1,e:1):1);").coalesence_times_by_topology(tuple("abcde"))
    block = times[55:65]
    # Pairs 0 to 3 hold slot 0 (a); the other six are whole path lengths, undivided.
    assert all(math.isnan(value) for value in block[:4])
    assert block[4:] == [4.0, 3.0, 2.0, 3.0, 4.0, 3.0]


def test_sweeps_on_an_empty_file_find_no_taxon(load):
    tree_set = load()
    assert len(tree_set) == 0 and not tree_set and tree_set.taxa() == []
    for call in (
        lambda: tree_set.tally_single_quartet(tuple("abcd")),
        lambda: tree_set.tally_single_quintet(tuple("abcde")),
        lambda: tree_set.coalesence_times_by_topology(tuple("abcde")),
    ):
        assert panic_message(call) == "Taxon not found"


def test_sweeps_give_zeros_when_no_tree_holds_every_taxon(load):
    tree_set = load("((a,b),(c,d));", "((a,b),(c,e));", "")
    assert tree_set.tally_single_quintet(tuple("abcde")) == [0] * 15
    assert tree_set.coalesence_times_by_topology(tuple("abcde")) == [0.0] * 165
    assert tree_set.tally_single_quartet(tuple("abde")) == [0, 0, 0]


def test_tallies_move_between_codes_when_names_are_reordered(load):
    tree_set = load(
        "((b,c),a,(d,e));", "((b,c),a,(d,e));", "((((a,b),c),d),e);", "((a,(e,c)),(b,d));",
        "((a,b),(c,d,e));", "((a,b),(c,d));",
    )
    topologies = [("bc", "de")] * 2 + [("ab", "de"), ("ce", "bd")]
    for names in itertools.permutations("abcde"):
        expected = [0] * 15
        for cherries in topologies:
            expected[quintet_code(cherries, names)] += 1
        assert tree_set.tally_single_quintet(names) == expected, names
    for names in itertools.permutations("abcd"):
        expected = [0, 0, 0]
        for cherry in ["bc", "bc", "ab", "bd", "ab", "ab"]:
            expected[quartet_code(cherry, names)] += 1
        # The tree ((a,b),(c,d,e)) resolves the quartet but not the quintet.
        assert tree_set.tally_single_quartet(names) == expected, names


def test_taxon_on_the_root_counts_as_absent(load):
    # "(" does not end a label, so a comment closes the root's label in the third tree.
    tree_set = load("a;", "((a,b),(c,d));", "a[root](b,c,d);")
    assert tree_set.taxa() == ["a", "b", "c", "d"]
    assert tree_set[0].retrieve_quartet_type(tuple("abcd")) is None
    assert tree_set[2].retrieve_quartet_type(tuple("bcda")) is None
    assert tree_set.tally_single_quartet(tuple("abcd")) == [1, 0, 0]


def test_repeated_names_are_classified_like_other_slots(load):
    tree_set = load("((a,b),(c,d));", "((a,c),(b,d));", "(a,b,c);")
    assert tree_set.tally_single_quartet(("a", "a", "b", "c")) == [3, 0, 0]
    assert tree_set.tally_single_quartet(("a", "b", "a", "c")) == [0, 3, 0]
    assert tree_set.tally_single_quintet(("a", "a", "b", "c", "d")) == [1, 1] + [0] * 13


def test_taxa_in_order_of_first_appearance(load):
    assert load("((A,B),C);", "(C,(D,A));").taxa() == ["A", "B", "C", "D"]


def test_indexing_gives_the_trees_in_line_order(load):
    tree_set = load("((a,b),(c,d));", "((a,c),(b,d));", "((a,d),(b,c));", ending="\r\n")
    assert len(tree_set) == 3
    assert [tree_set[index].retrieve_quartet_type(tuple("abcd")) for index in range(3)] == [0, 1, 2]


def test_absent_taxon_gives_none(load):
    tree_set = load("((A,B),C,(D,E));", "((A,B),(C,D));")
    names = tuple("ABCDE")
    assert tree_set[1].retrieve_quintet_type(names) is None
    assert tree_set[1].retrieve_all_pairs_distance(names) is None
    assert tree_set[1].retrieve_quartet_type(("A", "B", "C", "E")) is None
    assert tree_set[0].retrieve_quintet_type(names) == 0
    assert tree_set[0].retrieve_all_pairs_distance(names) == [0.0] * 10


def test_unknown_name_fails_before_any_tree_is_looked_at(load):
    tree_set = load("((A,B),C,(D,E));", "((A,B),(C,D));")
    names = ("A", "B", "C", "D", "Z")
    for tree in (tree_set[0], tree_set[1], tree_set[7]):
        assert panic_message(lambda: tree.retrieve_quintet_type(names)) == "Taxon not found"
        assert panic_message(lambda: tree.retrieve_all_pairs_distance(names)) == "Taxon not found"
    assert panic_message(lambda: tree_set.tally_single_quintet(names)) == "Taxon not found"
    # The set stays usable after the failure.
    assert tree_set[0].retrieve_quintet_type(tuple("ABCDE")) == 0


def test_tree_index_beyond_the_set_fails_when_queried(load):
    tree = load("((a,b),(c,d));")[5]
    message = panic_message(lambda: tree.retrieve_quartet_type(tuple("abcd")))
    assert message == "index out of bounds: the len is 1 but the index is 5"


def test_single_tree_outlives_its_tree_set(load):
    tree_set = load(DISTANCE_TREE, "((A,C),(B,D));")
    trees = [tree_set[0], tree_set[1]]
    before = [tree.retrieve_quartet_type(tuple("ABCD")) for tree in trees]
    del tree_set
    gc.collect()
    assert [tree.retrieve_quartet_type(tuple("ABCD")) for tree in trees] == before == [0, 1]
    assert trees[0].retrieve_all_pairs_distance(tuple("ABCDE")) == DISTANCES_ABCDE
