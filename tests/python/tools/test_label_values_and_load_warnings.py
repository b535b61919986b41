"""Support labels of several values (IQ-TREE's SH-aLRT/UFBoot "80/95") chosen by index, and the
one-line warnings and line numbers a load gives for input that would otherwise mislead: a
support bound without labels, trees naming a taxon twice, a branch length that is no number."""

import subprocess
import sys
import warnings

import pytest

from treetally_tools import TreeFileError, load_trees, quartet_table, quartet_tally
from treetally_tools.check import check_source

# Tree 1 resolves AB|CD with labels 80/40 and 30/20; tree 2 resolves AC|BD with 10/99.
TWO_VALUES = "((A:1,B:1)80/40:1,(C:1,D:1)30/20:1);\n((A:1,C:1)10/99:1,(B:1,D:1)10/99:1);\n"
COMMAND = [sys.executable, "-m", "treetally_tools"]


def run(*arguments):
    done = subprocess.run(COMMAND + [str(a) for a in arguments], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize(
    "index, counts",
    [(1, (1, 0, 0)), (2, (0, 1, 0))],  # by SH-aLRT only tree 1 keeps a split; by UFBoot only tree 2
)
def test_the_chosen_value_of_each_label_is_its_support(write_trees, index, counts):
    path = write_trees(TWO_VALUES)
    assert quartet_tally(path, "ABCD", min_support=50, support_index=index).counts == counts
    with quartet_table(path, min_support=50, support_index=index) as table:
        assert [tuple(row.counts) for row in table] == [counts]


@pytest.mark.parametrize(
    "text, index, message",
    [
        (TWO_VALUES, None, r'line 1: the internal label "80/40" .*several values.*--support-index K.*support_index=K'),
        (TWO_VALUES, 3, r'line 1: the internal label "80/40" has no value 3'),
        ("((A,B)/95,(C,D)/90);\n", 1, r'line 1: the internal label "/95" has no value 1'),
        ("((A,B)1/95,(C,D)1/90);\n((A,B)80/x,(C,D));\n", 2, r'line 2: the internal label "80/x" is not a support value'),
    ],
)
def test_labels_that_give_no_chosen_value_are_refused_naming_their_line(write_trees, text, index, message):
    with pytest.raises(TreeFileError, match=message):
        load_trees(write_trees(text), min_support=50, support_index=index)


@pytest.mark.parametrize(
    "keywords, error, message",
    [
        ({"support_index": 1}, ValueError, "give min_support too"),
        ({"min_support": 5, "support_index": 0}, ValueError, "from 1, not 0"),
        ({"min_support": 5, "support_index": 1.0}, TypeError, "is an int, not a float"),
        ({"min_support": 5, "support_index": True}, TypeError, "is an int, not a bool"),
    ],
)
def test_a_support_index_out_of_place_is_refused(write_trees, keywords, error, message):
    with pytest.raises(error, match=message):
        load_trees(write_trees(TWO_VALUES), **keywords)


def test_a_single_value_label_is_its_first_value(write_trees):
    path = write_trees("((A,B)95,(C,D)95);\n((A,C)10,(B,D)10);\n")
    assert quartet_tally(path, "ABCD", min_support=50, support_index=1).counts == (1, 0, 0)


def test_the_command_takes_the_index_and_names_it_when_missing(write_trees):
    path = write_trees(TWO_VALUES)
    status, out, _ = run("quartet", path, "A", "B", "C", "D", "--min-support", 50, "--support-index", 2)
    assert status == 0 and "1 of 2 trees resolved" in out
    status, _, err = run("quartet", path, "A", "B", "C", "D", "--min-support", 50)
    assert status == 1 and len(err.splitlines()) == 1 and "--support-index" in err
    status, _, err = run("quartet", path, "A", "B", "C", "D", "--min-support", 50, "--support-index", 0)
    assert status == 2 and "from 1" in err


def test_a_support_bound_without_labels_warns_once(write_trees):
    path = write_trees("((A,B),(C,D));\n((A,C),(B,D));\n")
    with pytest.warns(UserWarning, match="contracts nothing: no tree has a support label"):
        assert quartet_tally(path, "ABCD", min_support=50).counts == (1, 1, 0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # labels present, or no bound: silent
        load_trees(write_trees(TWO_VALUES, "labelled.nwk"), min_support=50, support_index=1)
        load_trees(path)
    status, _, err = run("quartet", path, "A", "B", "C", "D", "--min-support", 50)
    assert status == 0 and err.count("\n") == 1 and "warning: min_support (--min-support) contracts nothing" in err


@pytest.mark.parametrize(
    "text, trees",
    [
        ("((A,B),(C,A));\n((A,B),(C,D));\n", 1),
        ("((A,B),(C,A),B);\n((A,B),(C,D));\n(((A,D),(C,D)),B);\n", 2),
    ],
)
def test_trees_repeating_a_taxon_are_counted_in_one_warning(write_trees, text, trees):
    path = write_trees(text)
    with pytest.warns(UserWarning, match=f"^{trees} trees? names? a taxon on more than one leaf.*treetally check"):
        load_trees(path)
    for command in (["quartet", path, "A", "B", "C", "D"], ["table", path, "--size", 4]):
        status, _, err = run(*command)
        assert status == 0 and err.count("\n") == 1 and f"warning: {trees} tree" in err


def test_the_multicopy_fungi_file_warns_as_check_counts(shared_file):
    path = shared_file("edge-fungi-16taxa-7180multicopy.tre")
    problems, _ = check_source(path)
    repeated = len({problem.line_number for problem in problems if problem.kind == "repeated taxon"})
    with pytest.warns(UserWarning, match=f"^{repeated} trees name a taxon on more than one leaf"):
        load_trees(path)
    assert repeated > 0


@pytest.mark.parametrize("streamed", [False, True])
def test_a_bad_branch_length_names_its_line(write_trees, streamed):
    text = "((A:1,B:1),(C,D));\n((A,B),(C,D));\n((A:1,C:1e),(B,D));\n"
    source = text.splitlines() if streamed else write_trees(text)
    with pytest.raises(TreeFileError, match=r"a branch length is not a number, on line 3$") as raised:
        load_trees(source)
    assert raised.value.line_number == 3 and raised.value.reason == "a branch length is not a number"


@pytest.mark.parametrize("min_support", [None, 50])
def test_a_noted_load_warns_nothing_and_its_notes_give_the_loads_warnings(write_trees, min_support):
    from treetally_tools.sources import collapse_rule, load_noted, warn_of_notes

    path = write_trees("((A:1,B:-1),(C,D),(E,A));\n((A,B),(C,D)90,E);\n")
    rule = collapse_rule(None, min_support)
    with warnings.catch_warnings(record=True) as loading:
        warnings.simplefilter("always")
        load_trees(path, min_support=min_support)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # any warning fails
        _, notes = load_noted(path, rule)
    assert tuple(notes) == (1, 1, 1 if min_support else 0)
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        warn_of_notes(notes, str(path), rule, stacklevel=1)  # this line
        warn_of_notes(notes._replace(support_labels=0), str(path), rule, stacklevel=1)  # no label: the bound warns
    messages = [str(found.message) for found in warned]
    assert sorted(messages[:2]) == sorted(str(found.message) for found in loading)
    assert len(messages) == (5 if min_support else 4) and all(found.filename == __file__ for found in warned)
