"""The code tables users read (treetally_tools.codes and README.md) against what the module
answers: every printed topology, loaded as a tree, must get back its own code."""

import re
from pathlib import Path

import pytest

import treetally
from treetally_tools import codes as tables
from treetally_tools.tallies import TimeTable

REPO = Path(__file__).resolve().parents[3]

# Deliberately not in alphabetical or file order: codes follow the order of `names` only.
QUINTET_NAMES = ("eel", "cod", "ray", "asp", "bib")
QUARTET_NAMES = QUINTET_NAMES[:4]


def quintet_rooted_newicks(names, code):
    """The unrooted quintet written as printed, plus two rootings of it (on a cherry's edge and
    on the middle taxon), all of which show the same unrooted topology."""
    (a, b), m, (c, d) = tables.QUINTET_SHAPES[code]
    n = names
    return [
        tables.quintet_topology(names, code) + ";",
        f"(({n[a]},{n[b]}),({n[m]},({n[c]},{n[d]})));",
        f"({n[m]},(({n[a]},{n[b]}),({n[c]},{n[d]})));",
    ]


@pytest.fixture
def quintet_trees(write_trees):
    lines = [newick for code in range(15) for newick in quintet_rooted_newicks(QUINTET_NAMES, code)]
    return treetally.TreeSet(write_trees("\n".join(lines) + "\n", "quintets.nwk"))


def test_every_quintet_string_gets_its_own_code(quintet_trees):
    rootings = 3
    for index, tree in enumerate(quintet_trees):
        assert tree.retrieve_quintet_type(QUINTET_NAMES) == index // rootings, index


def test_tally_of_the_fifteen_topologies_has_one_tree_per_code(write_trees):
    lines = [tables.quintet_topology(QUINTET_NAMES, code) + ";" for code in range(15)]
    trees = treetally.TreeSet(write_trees("\n".join(lines) + "\n"))
    assert trees.tally_single_quintet(QUINTET_NAMES) == [1] * 15


def test_every_quartet_split_gets_its_own_code(write_trees):
    lines = [tables.quartet_topology(QUARTET_NAMES, code) + ";" for code in range(3)]
    trees = treetally.TreeSet(write_trees("\n".join(lines) + "\n"))
    assert [tree.retrieve_quartet_type(QUARTET_NAMES) for tree in trees] == [0, 1, 2]
    assert trees.tally_single_quartet(QUARTET_NAMES) == [1, 1, 1]


def test_topology_strings_use_the_callers_names():
    names = ("Human", "Chimp", "Gorilla", "Orangutan", "Gibbon")
    assert tables.quintet_topology(names, 7) == "((Human,Orangutan),Gorilla,(Chimp,Gibbon))"
    assert tables.quartet_topology(names[:4], 2) == "((Human,Orangutan),(Chimp,Gorilla))"


def test_pair_order_matches_the_distance_query(write_trees):
    # A star with leaf lengths 1, 2, 4, 8, 16: the path between slots i and j is their sum.
    lengths = [1.0, 2.0, 4.0, 8.0, 16.0]
    star = "(" + ",".join(f"{name}:{length}" for name, length in zip(QUINTET_NAMES, lengths)) + ");"
    tree = treetally.TreeSet(write_trees(star + "\n"))[0]
    expected = [lengths[i] + lengths[j] for i, j in tables.PAIRS]
    assert tree.retrieve_all_pairs_distance(QUINTET_NAMES) == expected
    assert tables.pair_labels(("a", "b", "c", "d", "e"))[:5] == ["a-b", "a-c", "a-d", "a-e", "b-c"]


def test_time_table_helpers_split_the_library_layout(write_trees):
    # Two trees of code 4 and one of code 12; the blocks of the codes that occurred sum to 1.
    n = QUINTET_NAMES
    text = "\n".join(
        [
            tables.quintet_topology(n, 4).replace(f"{n[0]},", f"{n[0]}:1,") + ";",
            tables.quintet_topology(n, 4) + ";",
            tables.quintet_topology(n, 12) + ";",
        ]
    )
    table = treetally.TreeSet(write_trees(text + "\n")).coalesence_times_by_topology(n)
    shares = tables.time_table_shares(table)
    assert shares[4] == pytest.approx(2 / 3) and shares[12] == pytest.approx(1 / 3)
    assert sum(tables.time_table_block(table, 4)) == pytest.approx(1.0)
    assert tables.time_table_block(table, 0) == [0.0] * 10
    counts = [2 if code == 4 else 1 if code == 12 else 0 for code in range(15)]
    printed = TimeTable(n, tuple(table), tuple(counts), 3, 0).to_text().splitlines()
    assert printed[2].split()[:4] == ["code", "topology", "trees", "share"]
    assert printed[3 + 4].split()[2:4] == ["2", "0.667"] and printed[3 + 12].split()[2:4] == ["1", "0.333"]


@pytest.mark.parametrize(
    "table, outcome",
    [([0.0] * 165, "0 of 0 trees resolved"), ([0.0] * 164, ValueError)],
    ids=["nothing classified", "wrong length"],
)
def test_time_table_formatting_of_degenerate_tables(table, outcome):
    if outcome is ValueError:
        with pytest.raises(ValueError):
            TimeTable(QUINTET_NAMES, tuple(table), (0,) * 15, 0, 0).to_text()
    else:
        assert outcome in TimeTable(QUINTET_NAMES, tuple(table), (0,) * 15, 0, 0).to_text()


def readme_rows(heading):
    """The rows `| code | topology | ... |` of the README table that follows `heading`."""
    text = (REPO / "README.md").read_text(encoding="utf-8")
    section = text[text.index(heading) :]
    rows = {}
    for line in section.splitlines()[1:]:
        if line.startswith("#"):
            break
        match = re.match(r"\|\s*(\d+)\s*\|\s*`([^`]+)`", line)
        if match:
            rows[int(match.group(1))] = match.group(2)
    return rows


def test_readme_quintet_table_matches_the_helper():
    rows = readme_rows("### Quintet codes")
    slots = ("0", "1", "2", "3", "4")
    assert rows == {code: tables.quintet_topology(slots, code) for code in range(15)}


def test_readme_quartet_table_matches_the_helper():
    rows = readme_rows("### Quartet codes")
    assert rows == {code: tables.quartet_topology(("0", "1", "2", "3"), code) for code in range(3)}
