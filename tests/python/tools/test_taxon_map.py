"""Taxon maps: individuals and gene copies counted as their species, each tree adding its share
of the combinations of one individual per species that show each topology."""

import io
import json
import random
import warnings

import numpy
import pytest

from treetally_tools import cli
from treetally_tools.errors import TaxonMapError, UsageError
from treetally_tools.sources import load_mapped_trees
from treetally_tools.species_tree import species_tree_of
from treetally_tools.tables import TopologyTable
from treetally_tools.tallies import quartet_tally, quintet_tally, time_table
from treetally_tools.taxon_map import read_taxon_map

SPECIES = ["A", "B", "C", "D", "E", "F"]


def random_newick(leaves, rng):
    """A random rooted binary tree over `leaves`, as Newick."""
    nodes = list(leaves)
    rng.shuffle(nodes)
    while len(nodes) > 1:
        a, b = nodes.pop(rng.randrange(len(nodes))), nodes.pop(rng.randrange(len(nodes)))
        nodes.append(f"({a},{b})")
    return nodes[0] + ";"


def species_trees(count, seed=1):
    """Random trees over SPECIES, some lacking a species."""
    rng = random.Random(seed)
    return [random_newick(rng.sample(SPECIES, rng.randint(4, len(SPECIES))), rng) for _ in range(count)]


def doubled(newick):
    """Each species leaf X replaced by two sister individuals (x1,x2)."""
    for name in SPECIES:
        newick = newick.replace(name, f"({name.lower()}1,{name.lower()}2)")
    return newick


INDIVIDUALS = {f"{name.lower()}{k}": name for name in SPECIES for k in (1, 2)}


def columns_equal(got, want):
    assert list(got) == list(want)
    for name in want:
        assert numpy.array_equal(got[name], want[name], equal_nan=True), name


@pytest.mark.parametrize("size, unresolved", [(4, "drop"), (4, "third"), (5, "drop")])
def test_sister_individuals_give_exactly_the_species_table(size, unresolved):
    trees = species_trees(60)
    # A polytomy or two, so that unresolved rows occur.
    trees += ["(A,B,C,(D,E));", "((A,B,C,D),F);"]
    plain = TopologyTable(trees, size, SPECIES, unresolved=unresolved)
    mapped = TopologyTable([doubled(tree) for tree in trees], size, SPECIES, unresolved=unresolved, taxon_map=INDIVIDUALS)
    want, got = plain.to_columns(), mapped.to_columns()
    assert got["count_0"].dtype == numpy.float64 and want["count_0"].dtype == numpy.int64
    columns_equal(got, want)
    for form in ("csv", "json"):
        texts = []
        for table in (plain, mapped):
            out = io.StringIO()
            table.write(out, form)
            texts.append(out.getvalue())
        assert texts[0] == texts[1]


def test_species_tree_columns_of_sister_individuals_are_the_species_ones():
    trees = species_trees(40, seed=3)
    species_tree = "((A:1,B:1):0.5,(C:1,(D:1,(E:1,F:1):0.3):0.7):0.2);"
    plain = TopologyTable(trees, 4, SPECIES, species_tree=[species_tree], adjust="bh")
    mapped = TopologyTable(
        [doubled(tree) for tree in trees], 4, SPECIES, species_tree=[species_tree], adjust="bh", taxon_map=INDIVIDUALS
    )
    columns_equal(mapped.to_columns(), plain.to_columns())


@pytest.mark.parametrize("weighted, unresolved", [(False, "drop"), (True, "drop"), (True, "third")])
def test_species_tree_of_sister_individuals_is_that_of_the_species(weighted, unresolved):
    trees = species_trees(80, seed=11) + ["(A,B,C,(D,E));"]
    plain = species_tree_of(trees, SPECIES, weighted=weighted, unresolved=unresolved)
    mapped = species_tree_of(
        [doubled(tree) for tree in trees], SPECIES, weighted=weighted, unresolved=unresolved, taxon_map=INDIVIDUALS
    )
    assert mapped == plain


# Two individuals of A on either side: of the two combinations, one shows AB|CD, one AC|BD.
SPLIT = "((a1,b),(a2,c),d);"
SPLIT_MAP = {"a1": "A", "a2": "A", "b": "B", "c": "C", "d": "D"}


def test_individuals_split_between_two_topologies_share_the_tree():
    result = quartet_tally([SPLIT, "((a1,b),(c,d));"], ["A", "B", "C", "D"], taxon_map=SPLIT_MAP)
    assert result.counts == (1.5, 0.5, 0.0)
    assert (result.trees, result.lacking, result.unresolved) == (2, 0, 0.0)
    assert result.fractions == [0.75, 0.25, 0.0]
    assert "code" in result.to_text() and "1.5" in result.to_text()
    (row,) = TopologyTable([SPLIT, "((a1,b),(c,d));"], 4, ["A", "B", "C", "D"], taxon_map=SPLIT_MAP)
    assert row.counts == (1.5, 0.5, 0.0) and row.holding == 2
    assert row.concordance == (0.75, 0.25, 0.0)


@pytest.mark.parametrize(
    "trees, counts, unresolved",
    [
        # Three individuals of A: AB|CD for a1 only.
        (["(((a1,b),c),(a2,a3),d);"], (1 / 3, 0.0, 2 / 3), 0.0),
        # A polytomy leaves one of the two combinations unresolved.
        (["((a1,b),c,d,a2);"], (0.5, 0.0, 0.0), 0.5),
    ],
)
def test_shares_of_three_individuals_and_of_a_polytomy(trees, counts, unresolved):
    mapping = {"a1": "A", "a2": "A", "a3": "A", "b": "B", "c": "C", "d": "D"}
    result = quartet_tally(trees, ["A", "B", "C", "D"], taxon_map=mapping)
    assert result.counts == pytest.approx(counts) and result.unresolved == pytest.approx(unresolved)
    assert result.trees - result.lacking == 1


def test_repeated_names_are_copies_of_their_species(write_trees):
    path = write_trees("((a,b),(a,c),d);\n((a,b),(c,d));\n")
    mapping = {"a": "A", "b": "B", "c": "C", "d": "D"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the copies are mapped: no warning of repeated taxa
        result = quartet_tally(path, ["A", "B", "C", "D"], taxon_map=mapping)
    assert result.counts == (1.5, 0.5, 0.0)
    # Without a map the load keeps the later leaf, as it always has, and says what to do.
    with pytest.warns(UserWarning, match=r"1 tree names a taxon.*--taxon-map.*taxon_map=.*treetally check"):
        plain = quartet_tally(path, ["a", "b", "c", "d"])
    assert plain.counts == (1, 1, 0)


def test_a_quintet_of_copies_and_the_time_table_refused():
    mapping = {"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}
    result = quintet_tally(["(((a,b),(a,c)),(d,e));"], ["A", "B", "C", "D", "E"], taxon_map=mapping)
    assert sum(result.counts) == 1.0 and sorted(result.counts)[-2:] == [0.5, 0.5]
    mapped = load_mapped_trees(["((a,b),(c,d),e);"], mapping)
    with pytest.raises(UsageError, match="times does not take a taxon map"):
        time_table(mapped, ["A", "B", "C", "D", "E"])


def write_map(tmp_path, text, name="map.txt"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "text, message",
    [
        ("a1\tA\nb1 B\n", r"map\.txt, line 2: a line holds a gene-tree name and a species"),
        ("# header\n\na1,A\na1,B\n", r"line 4: 'a1' is mapped to 'B' here and to 'A' on line 3"),
        ("a1,A\nb1,\n", r"line 2: 'b1' is mapped to an empty species"),
        (",A\n", r"line 1: the gene-tree name is empty"),
        ("a1,A,B\n", r"line 1: a line holds two columns, not more"),
        ("# nothing\n", r"the map holds no line"),
    ],
)
def test_map_errors_name_their_line(tmp_path, text, message):
    with pytest.raises(TaxonMapError, match=message):
        read_taxon_map(write_map(tmp_path, text))


def test_names_the_map_lacks_are_counted_and_the_first_named(tmp_path):
    path = write_map(tmp_path, "a1,A\n")
    with pytest.raises(TaxonMapError, match=r"2 names of the trees are not in the map \(the first: 'b'\)"):
        quartet_tally(["((a1,b),(c,a1));"], ["A", "b", "c", "A"], taxon_map=path)


def test_a_map_in_a_file_and_in_a_dict_agree(tmp_path):
    text = "".join(f"{name}\t{species}\n" if k % 2 else f"{name}, {species}\n" for k, (name, species) in enumerate(INDIVIDUALS.items()))
    path = write_map(tmp_path, "# individual\tspecies\n" + text)
    assert read_taxon_map(path) == INDIVIDUALS
    trees = [doubled(tree) for tree in species_trees(20, seed=5)]
    by_file = TopologyTable(trees, 4, taxon_map=path)
    by_dict = TopologyTable(trees, 4, taxon_map=INDIVIDUALS)
    assert by_file.taxa == by_dict.taxa
    columns_equal(by_file.to_columns(), by_dict.to_columns())


def copies_file(write_trees, count=150, seed=7):
    """Trees with several copies of some species, and the map of the species to themselves."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        leaves = rng.sample(SPECIES, rng.randint(3, 6)) + rng.choices(SPECIES, k=rng.randint(0, 4))
        lines.append(random_newick(leaves, rng))
    return write_trees("\n".join(lines) + "\n"), {name: name for name in SPECIES}


@pytest.mark.parametrize("size", [4, 5])
def test_one_and_two_jobs_count_the_same(write_trees, size):
    path, mapping = copies_file(write_trees)
    tables = [TopologyTable(path, size, taxon_map=mapping, jobs=jobs) for jobs in (1, 2)]
    columns_equal(tables[1].to_columns(), tables[0].to_columns())
    # Each row's tally agrees with the table's.
    columns = tables[0].to_columns()
    taxa = tables[0].taxa
    row = [taxa[columns[f"t{k + 1}"][3]] for k in range(size)]
    result = quartet_tally(path, row, taxon_map=mapping) if size == 4 else quintet_tally(path, row, taxon_map=mapping)
    assert result.counts == tuple(columns[f"count_{code}"][3] for code in range(len(result.counts)))


def test_fractional_counts_are_written_shortest_and_whole_ones_as_integers():
    table = TopologyTable([SPLIT, "((a1,b),(c,d));", "((a1,c),(b,d));"], 4, ["A", "B", "C", "D"], taxon_map=SPLIT_MAP)
    out = io.StringIO()
    table.write(out, "csv")
    assert out.getvalue().splitlines()[1].startswith("A,B,C,D,1.5,1.5,0,3,0,0.5,0.5,0.0,")
    out = io.StringIO()
    table.write(out, "json")
    (record,) = json.loads(out.getvalue())
    assert record["counts"] == [1.5, 1.5, 0] and record["holding"] == 3


@pytest.mark.parametrize(
    "command, expected",
    [
        (["quartet", "{trees}", "A", "B", "C", "D"], "((A,B),(C,D))  1.5    0.750"),
        (["table", "{trees}", "--size", "4", "--format", "csv", "--no-progress"], "A,B,C,D,1.5,0.5,0,2,0,"),
        (["table", "{trees}", "--size", "4", "--format", "phylonetworks", "--no-progress"], "0.75,0.25,0.0,2"),
        (["table", "{trees}", "--size", "4", "--format", "mscquartets", "--no-progress"], "1,1,1,1,1.5,0.5,0,0"),
        (["species-tree", "{trees}", "--no-progress"], "(A,B,(C,D));"),
    ],
)
def test_the_commands_take_a_taxon_map(write_trees, tmp_path, capsys, command, expected):
    trees = write_trees(SPLIT + "\n((a1,b),(c,d));\n")
    mapping = write_map(tmp_path, "".join(f"{name}\t{species}\n" for name, species in SPLIT_MAP.items()))
    argv = [part.format(trees=trees) for part in command] + ["--taxon-map", str(mapping)]
    assert cli.main(argv) == 0
    assert expected in capsys.readouterr().out


@pytest.mark.parametrize(
    "command, message",
    [
        (["times", "{trees}", "A", "B", "C", "D", "A"], "times does not take a taxon map"),
        (["quartet", "{trees}", "A", "B", "C", "D"], "line 1: a line holds a gene-tree name and a species"),
    ],
)
def test_commands_refuse_in_one_line(write_trees, tmp_path, capsys, command, message):
    trees = write_trees(SPLIT + "\n")
    good = "".join(f"{name},{species}\n" for name, species in SPLIT_MAP.items())
    mapping = write_map(tmp_path, good if "line 1" not in message else "a1 A\n")
    argv = [part.format(trees=trees) for part in command] + ["--taxon-map", str(mapping)]
    assert cli.main(argv) == 2
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1


def test_fungi_copies_are_kept_and_whole_trees_shared(shared_file):
    path = shared_file("edge-fungi-16taxa-7180multicopy.tre")
    with pytest.warns(UserWarning, match="--taxon-map"):
        plain = TopologyTable(path, 4, progress=False)
    mapping = {name: name for name in plain.taxa}
    mapped = load_mapped_trees(path, mapping)
    assert len(mapped.trees.taxa()) > len(plain.taxa) and sorted(mapped.species) == sorted(plain.taxa)
    table = TopologyTable(mapped, 4, plain.taxa[:7], progress=False, jobs=2)
    columns = table.to_columns()
    shares = sum(columns[f"count_{code}"] for code in range(3)) + columns["unresolved"]
    assert numpy.allclose(shares, columns["holding"])


@pytest.mark.parametrize(
    "form, expected",
    [("csv", '0,"((A,B),(C,D))",1.5,0.75'), ("csv", '(B,C))",0,0.0'), ("json", '"count": 1.5'), ("json", '"count": 0,')],
)
def test_tally_records_write_whole_shares_as_integers(write_trees, tmp_path, capsys, form, expected):
    trees = write_trees(SPLIT + "\n((a1,b),(c,d));\n")
    mapping = write_map(tmp_path, "".join(f"{name},{species}\n" for name, species in SPLIT_MAP.items()))
    assert cli.main(["quartet", str(trees), "A", "B", "C", "D", "--format", form, "--taxon-map", str(mapping)]) == 0
    assert expected in capsys.readouterr().out
