"""From gene trees to a species tree, as the package and the command wire it: a quartet table's
species-tree and adjusted columns against the row-by-row answers, in CSV, JSON, text and the
DataFrame; the export layouts, the species-tree, check and info commands; the refusals as one
line with the documented status."""

import csv
import io
import itertools
import json
import math
import random
from pathlib import Path

import pytest
import treetally

from treetally_tools import SpeciesTree, TopologyTable, adjust_p_values, quartet_table, species_tree, write_export
from treetally_tools.cli import main
from treetally_tools.coalescent import minor_equal_p_value, quartet_test_values, star_p_value
from treetally_tools.species_columns import COLUMNS as SPECIES_COLUMNS

APES = Path(__file__).resolve().parents[3] / "examples" / "data" / "apes-6taxa-1000genes.tre"
APE_SPECIES = "((((Human:1,Chimp:1):0.5,Gorilla:1.5):1.5,Orangutan:3):1,(Gibbon:2,Siamang:2):2);"
# Gene trees where some quartets show one topology only (an infinite estimated length), and a
# species tree that leaves the quartets of C, D and E unresolved.
GENES = "((A,B),(C,D),E);\n((A,B),(C,D),E);\n((A,C),B,D,E);\n((A,B),C,(D,E));\n"
SPECIES = "((A:1,B:1):0.7,C:1,D:1,E:1);"


def run(capsys, *arguments):
    status = main([str(argument) for argument in arguments])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("adjust", [None, "holm", "bh"])
@pytest.mark.parametrize("case", ["apes", "crafted"])
def test_extra_columns_agree_with_the_rows(write_trees, case, adjust):
    genes, species = (APES, [APE_SPECIES]) if case == "apes" else (write_trees(GENES), [SPECIES])
    table = quartet_table(genes, species_tree=species, adjust=adjust)
    rows = list(table)
    expected = {name: [] for name in SPECIES_COLUMNS}
    for row in rows:
        for name, value in zip(SPECIES_COLUMNS, SpeciesTree(species).row(row.taxa, row.counts)):
            expected[name].append(value)
    if adjust:
        expected["minor_equal_p_adj"] = adjust_p_values([row.minor_equal.p_value for row in rows], adjust)
        expected["star_p_adj"] = adjust_p_values([row.star.p_value for row in rows], adjust)
    found = {name: values.tolist() for name, values in table.extra_values().items()}
    assert list(found) == list(table.extras) and repr(found) == repr(expected)  # NaN in place, to the bit
    assert repr([extra for _, extra in table.extended_rows()]) == repr(list(zip(*found.values())))
    # CSV and JSON: the plain table's text, then the extras, as the documented cells.
    written = {}
    for form in ("csv", "json"):
        out = io.StringIO()
        table.write(out, form)
        written[form] = out.getvalue()
    records = json.loads(written["json"])
    lines = list(csv.DictReader(io.StringIO(written["csv"])))
    plain = io.StringIO()
    quartet_table(genes).write(plain, "csv")
    assert [line.split(",")[:16] for line in written["csv"].splitlines()] == [
        line.split(",") for line in plain.getvalue().splitlines()
    ]
    for k, (record, line) in enumerate(zip(records, lines)):
        for name, values in found.items():
            value = values[k]
            if name == "dominant_is_species":
                assert (record[name], line[name]) == (bool(value), str(bool(value)))
            elif isinstance(value, float) and not math.isfinite(value):
                assert record[name] is None and line[name] == ("" if value != value else repr(value))
            else:
                assert record[name] == value and line[name] == repr(value)
    if case == "crafted":
        assert -1 in found["species_code"] and math.inf in found["estimated_length"]


def test_the_dataframe_and_the_csv_read_back_alike():
    pandas = pytest.importorskip("pandas")
    table = quartet_table(APES, species_tree=[APE_SPECIES], adjust="bh")
    frame = table.to_dataframe()
    out = io.StringIO()
    table.write(out, "csv")
    read = pandas.read_csv(io.StringIO(out.getvalue()), float_precision="round_trip")
    assert list(frame.columns) == list(read.columns) == table.header
    assert frame["dominant_is_species"].dtype == bool and read["dominant_is_species"].dtype == bool
    assert all(isinstance(frame[f"taxon_{k}"].dtype, pandas.CategoricalDtype) for k in range(1, 5))
    pandas.testing.assert_frame_equal(frame, read, check_exact=True, check_categorical=False, check_dtype=False)
    numbers = table.header[4:]
    assert (frame[numbers].dtypes == read[numbers].dtypes).all()


def test_fast_p_values_are_the_tests_own():
    rng = random.Random(5)
    for _ in range(20000):
        counts = [rng.choice([0, 1, rng.randint(0, 60), rng.randint(0, 10**6)]) for _ in range(3)]
        values = quartet_test_values(counts)
        assert repr([minor_equal_p_value(*counts), star_p_value(*counts)]) == repr([values[1], values[3]])


@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"species_tree": ["((((Human,Chimp),Gorilla),Orangutan),(Gibbon,Siamang));"]}, "no branch lengths"),
        ({"species_tree": ["((Human:1,Chimp:1):1,(Gorilla:1,Gibbon:1):1);"]}, "lacks 2 of the taxa: 'Siamang'"),
        ({"adjust": "bonferroni"}, "not 'bonferroni'"),
    ],
)
def test_refused_extras(keywords, message):
    with pytest.raises(ValueError, match=message):
        quartet_table(APES, **keywords)
    with pytest.raises(ValueError, match="quartet tables"):
        TopologyTable(APES, 5, **keywords)


def test_text_table_shows_the_extra_columns(capsys):
    status, out, _ = run(capsys, "table", APES, "--size", 4, "--species-tree", APE_SPECIES, "--adjust", "holm")
    header, first = out.splitlines()[:2]
    assert status == 0 and header.split()[-8:] == [*SPECIES_COLUMNS, "minor_equal_p_adj", "star_p_adj"]
    assert first.split()[:4] == ["Gibbon", "Siamang", "Orangutan", "Chimp"] and first.split()[-4] == "yes"


@pytest.mark.parametrize("form, header", [
    ("phylonetworks", "t1,t2,t3,t4,CF12_34,CF13_24,CF14_23,ngenes"),
    ("mscquartets", "Chimp,Gibbon,Gorilla,Human,Orangutan,Siamang,12|34,13|24,14|23,1234"),
])  # fmt: skip
def test_export_layouts_from_the_command(capsys, form, header):
    status, out, _ = run(capsys, "table", APES, "--size", 4, "--format", form)
    expected = io.StringIO()
    with quartet_table(APES) as table:
        write_export(form, table.taxa, table.to_columns(), expected)
    assert status == 0 and out == expected.getvalue() and out.splitlines()[0] == header


PALAEOGNATHS = ("galGal", "strCam", "rheAme", "rhePen", "casCas", "droNov", "aptHaa", "aptOwe", "aptRow", "anoDid",
                "cryCin", "tinGut", "eudEle", "notPer")  # fmt: skip


def test_species_tree_of_the_simulations_has_the_model_topology(shared_file, write_trees, capsys):
    genes = shared_file("palaeognaths-14taxa-10000sim.tre")
    model = treetally.TreeSet(str(shared_file("palaeognaths-14taxa-model-species-tree.tre")))[0]
    status, out, _ = run(capsys, "species-tree", genes, "--collapse-length", 0)
    assert status == 0 and out == species_tree(genes, collapse_length=0) + "\n"
    estimated = treetally.TreeSet(str(write_trees(out)))[0]
    for names in itertools.combinations(PALAEOGNATHS, 4):
        assert estimated.retrieve_quartet_type(names) == model.retrieve_quartet_type(names), names
    status, weighted, _ = run(capsys, "species-tree", genes, "--weighted", "--taxa", *PALAEOGNATHS[:6])
    assert status == 0 and weighted.count(",") == 5 and weighted.count(":") == 3  # three internal lengths


@pytest.mark.parametrize(
    "arguments, status, fragment",
    [
        (["table", APES, "--size", 5, "--format", "phylonetworks"], 2, "--format phylonetworks is for quartet tables"),
        (["table", APES, "--size", 5, "--adjust", "holm"], 2, "--adjust is for quartet tables"),
        (["table", APES, "--size", 4, "--format", "mscquartets", "--adjust", "bh"], 2, "has no adjusted p-values"),
        (["table", APES, "--size", 4, "--format", "mscquartets", "--species-tree", APE_SPECIES], 2, "no species-tree"),
        (["table", APES, "--size", 4, "--species-tree", "((((Human,Chimp),Gorilla),Orangutan),(Gibbon,Siamang));"], 2,
         "the species tree has no branch lengths"),
        (["table", APES, "--size", 4, "--species-tree", "((Human:1,Chimp:1):1,(Gorilla:1,Gibbon:1):1);"], 2,
         "lacks 2 of the taxa: 'Siamang', 'Orangutan'"),
        (["quintet", APES, "Human", "Chimp", "Gorilla", "Orangutan", "Gibbon", "--species-tree", APE_SPECIES], 2,
         "give --plot too"),
        (["quartet", APES, "Human", "Chimp", "Gorilla", "Orangutan", "--collapse-length", "nan"], 2, "is not a number"),
        (["species-tree", APES, "--taxa", "Human", "Chimp", "Human", "Gorilla"], 2, "more than once: Human"),
        (["quartet", "empty.tre", "A", "B", "C", "D"], 1, "cannot read empty.tre: it holds no trees"),
        (["species-tree", "empty.tre"], 1, "cannot read empty.tre: it holds no trees"),
    ],
)  # fmt: skip
def test_refusals_are_one_line_with_the_documented_status(tmp_path, monkeypatch, capsys, arguments, status, fragment):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "empty.tre").write_text("")
    try:
        found, out, err = run(capsys, *arguments)
    except SystemExit as stop:  # argparse's own refusals
        found, (out, err) = stop.code, capsys.readouterr()
    assert found == status and out == "" and len(err.splitlines()) == 1 and fragment in err, err


CHECKED = "((A,B),(C,D));\n\n((A,B),(C,A));\n((A,B),(C,D);\n((A,B),(C,D));((E,F),G);\n"


@pytest.mark.parametrize("text, status", [(CHECKED, 1), ("((A,B),(C,D));\n" * 3, 0)])
def test_check_command(write_trees, capsys, text, status):
    path = write_trees(text)
    found, out, err = run(capsys, "check", path)
    lines = out.splitlines()
    assert found == status and err == ""
    if status:
        assert [line.split(": ")[:2] for line in lines[:-1]] == [
            ["line 2", "empty line"], ["line 3", "repeated taxon"], ["line 4", "unbalanced brackets"],
            ["line 5", "text after ';'"],
        ]  # fmt: skip
        assert lines[-1] == f"{path}: 5 lines checked: 4 with problems (1 empty line, 1 unbalanced brackets, " \
            "1 text after ';', 1 repeated taxon)"  # fmt: skip
    else:
        assert lines == [f"{path}: 3 lines checked: no problems"]
    found, out, _ = run(capsys, "check", path, "--format", "json")
    report = json.loads(out)
    assert found == status and report["lines"] == len(text.splitlines()) and len(report["problems"]) == 4 * status


@pytest.mark.parametrize("text, warned", [(CHECKED, True), ("((A,B),(C,D));\n", False), ("", False)])
def test_info_warns_in_one_line_when_check_would_find_problems(write_trees, capsys, text, warned):
    path = write_trees(text)
    status, out, err = run(capsys, "info", path)
    assert status == 0
    found = "4 with problems (1 empty line, 1 unbalanced brackets, 1 text after ';', 1 repeated taxon)"
    warning = f"treetally: warning: {path}: 5 lines checked: {found}; `treetally check` lists them\n"
    assert err == (warning if warned else "")
    if not text:
        assert out == f"{path}: no trees (the file is empty)\n"


def test_info_checks_standard_input_as_it_loads(monkeypatch, capsys):
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(CHECKED.encode())))
    status, out, err = run(capsys, "info", "-", "--format", "json")
    assert status == 0 and json.loads(out)["lines_with_problems"] == 4 and "4 with problems" in err


def test_plots_of_the_species_workflow(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    names = ["Human", "Chimp", "Gorilla", "Orangutan", "Gibbon"]
    status, _, _ = run(capsys, "quintet", APES, *names, "--species-tree", APE_SPECIES, "--plot", tmp_path / "q.png")
    assert status == 0
    plots = ["--plot", tmp_path / "c.svg", "--plot-simplex", tmp_path / "s.png"]
    status, _, _ = run(capsys, "table", APES, "--size", 4, "--species-tree", APE_SPECIES, "--adjust", "bh", *plots)
    assert status == 0
    assert all((tmp_path / name).stat().st_size > 1000 for name in ("q.png", "c.svg", "s.png"))
