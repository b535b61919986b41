"""Line checks of tree files: each problem kind on crafted lines, taxa read as the module reads
them, lines from files of every line ending, and the one-line summary."""

import io

import pytest
import treetally

from treetally_tools.check import KINDS, check_counted, check_line, check_lines, summary, tree_taxa


@pytest.mark.parametrize(
    "line, kinds",
    [
        ("((A,B),C);", []),
        ("(A:1.5,B:2)90:0.1;", []),  # the root's label and length
        ("(A[&&NHX:S=x],B)[a [nested] comment];", []),
        ("(A:1e-3,B:.5,C:+2,D:inf,E:NaN,F:-Infinity,G:);", ["negative branch length"]),  # every number form
        ("(A:1e-3,B:.5,C:+2,D:inf,E:NaN,F:-0,G:-nan,H:);", []),  # -0 and -nan are not below zero; empty length
        ("((A:-1,B:-2):-3,C);", ["negative branch length"]),  # once per line
        ("(A:-1,B:x);", ["bad branch length", "negative branch length"]),
        ("('A B',C);  \r", []),  # blanks after ';'
        ("", ["empty line"]),
        (" \t ", ["empty line"]),
        ("(A:1.0 ,B);", ["bad branch length"]),  # a space ends no length
        ("(A:1:2,B);", ["bad branch length"]),
        ("(A:0x1F,B:1e,C:.);", ["bad branch length"]),
        ("(A,(B,C);", ["unbalanced brackets"]),
        ("(A,B));", ["unbalanced brackets"]),
        ("(A(B,C));", ["unbalanced brackets"]),  # "(" after a label belongs to it
        ("\t(A,B);", ["unbalanced brackets"]),  # a tab starts a label at the root
        ("(A],B);", ["unbalanced brackets"]),
        ("(A,B)[never closed;", ["unbalanced brackets", "missing ';'"]),
        ("(A,B);(C,D);", ["text after ';'"]),
        ("(A,B)", ["missing ';'"]),
        ("(,);", ["no taxa"]),
        ("(A,B)X;", []),  # X names the root, no taxon
        (";", ["no taxa"]),
        ("((A,B),(A,C));", ["repeated taxon"]),
        ("((A,B)A,C);", []),  # an internal label equal to a taxon
        ("((A:x,A),B", ["bad branch length", "unbalanced brackets", "missing ';'", "repeated taxon"]),
    ],
)
def test_each_kind_on_crafted_lines(line, kinds):
    problems = check_line(line, 7)
    assert [problem.kind for problem in problems] == kinds
    assert all(problem.line_number == 7 and problem.detail and "\n" not in problem.detail for problem in problems)


@pytest.mark.parametrize(
    "line",
    [
        "((A,B),C);", "( A , B );", "('A B',\"C\",D E);", "((A,B)x:1,(C,D)y[z]);", "(A,B);(C,D);",
        "(A[c],B[[n]]);", "((A,B),(A,C));", "(A,(B,C);", "(A:1,B:2)root:3;", "(ä,ß[é],ø);", "A;",
    ],
)  # fmt: skip
def test_taxa_as_the_module_reads_them(write_trees, line):
    module_taxa = treetally.TreeSet(str(write_trees(line + "\n"))).taxa()
    assert list(dict.fromkeys(tree_taxa(line))) == module_taxa


@pytest.mark.parametrize("ending", [b"\n", b"\r\n"])
def test_binary_lines_with_their_endings(ending):
    data = ending.join([b"(A,B);", b"", b"(A,\xff);", b"(C,C);", b"(D,E)"])
    problems, lines = check_counted(io.BytesIO(data))
    assert lines == 5
    assert [(p.line_number, p.kind) for p in problems] == [
        (2, "empty line"), (3, "not UTF-8"), (4, "repeated taxon"), (5, "missing ';'"),
    ]  # fmt: skip
    as_text = data.decode("latin-1").splitlines(keepends=True)
    assert check_lines(as_text)[2].kind != "not UTF-8"  # str lines are taken as text


def test_a_carriage_return_inside_a_line_stays_in_it():
    assert [p.kind for p in check_lines(["(A,B);\r(C,D);\n"])] == ["text after ';'"]


@pytest.mark.parametrize(
    "problems_of, lines, expected",
    [
        ([], 1, "1 line checked: no problems"),
        ([], 0, "0 lines checked: no problems"),
        (
            ["", "(A,A);(B,C);"],
            3,
            "3 lines checked: 2 with problems (1 empty line, 1 text after ';', 1 repeated taxon)",
        ),
    ],
)
def test_summary(problems_of, lines, expected):
    assert summary(check_lines(problems_of), lines) == expected
    assert set(KINDS) >= {problem.kind for problem in check_lines(problems_of)}


@pytest.mark.parametrize(
    "length",
    ["1", "-2.5E3", ".5", "5.", "+inf", "Infinity", "nan", "1e", "0x10", "1_000", "1.2.3", "e5", "infinit", "٣"],
)
def test_branch_lengths_refused_as_the_module_refuses_them(write_trees, length):
    line = f"(A:{length},B);"
    try:
        treetally.TreeSet(str(write_trees(line + "\n")))
        accepted = True
    except BaseException as error:  # the module's PanicException derives from BaseException
        if type(error).__name__ != "PanicException":
            raise
        accepted = False
    negative = accepted and float(length) < 0
    assert [p.kind for p in check_line(line)] == (
        ["negative branch length"] if negative else [] if accepted else ["bad branch length"]
    )


@pytest.mark.parametrize("split", [None, 9, 17])  # whole, or cut inside the second and third lines
def test_a_chunk_past_the_cap_names_its_line_after_checking_those_before(monkeypatch, split):
    from treetally_tools import TreeFileError, check

    monkeypatch.setattr(check, "MAX_LINE_BYTES", 12)
    data = b"(A,A);\n(B,C)\n(" + b"x" * 20 + b",B);\n(C,D);\n"
    checking = check.LineCheck("trees")
    chunks = [data] if split is None else [data[:split], data[split:]]
    with pytest.raises(TreeFileError, match=r"^cannot read trees: line 3 is longer than 12 bytes"):
        for chunk in chunks:
            checking.feed(chunk)
    assert [(p.line_number, p.kind) for p in checking.problems] == [(1, "repeated taxon"), (2, "missing ';'")]


NEGATIVE = "((A:-1,B:1):-0.5,(C:1,D:-0):1);\n((A:1,C:1):1,(B:-inf,D:1):1);\n((A,B),(C,D));\n"


@pytest.mark.parametrize("keywords", [{}, {"collapse_length": 0}, {"min_support": 50}])
@pytest.mark.parametrize("packed", [False, True])
def test_a_load_warns_of_lengths_below_zero_with_their_number(write_trees, keywords, packed):
    import gzip
    import warnings

    from treetally_tools import NegativeLengthWarning, load_trees

    path = write_trees(gzip.compress(NEGATIVE.encode()) if packed else NEGATIVE, name="t.gz" if packed else "t.tre")
    with pytest.warns(Warning) as caught:  # with min_support, also that no tree has labels
        trees = load_trees(path, **keywords)
    negative = [w.message for w in caught if isinstance(w.message, NegativeLengthWarning)]
    assert len(trees) == 3 and [w.count for w in negative] == [3]  # -0 is not below zero
    assert str(negative[0]) == f"{path}: 3 branch lengths below zero; `treetally check` lists them"
    with warnings.catch_warnings():
        warnings.simplefilter("error", NegativeLengthWarning)
        load_trees(write_trees("((A:0,B:-0)90:1,(C,D));\n", name="fine.tre"), **keywords)


def test_commands_warn_of_lengths_below_zero_in_one_line_and_check_lists_them(write_trees):
    import subprocess
    import sys

    path = write_trees(NEGATIVE)
    command = [sys.executable, "-m", "treetally_tools"]
    warning = f"treetally: warning: {path}: 3 branch lengths below zero; `treetally check` lists them\n"
    for arguments in (["quartet", str(path), *"ABCD"], ["table", str(path), "--size", "4"]):
        done = subprocess.run(command + arguments, capture_output=True)
        assert (done.returncode, done.stderr.decode()) == (0, warning)
    done = subprocess.run(command + ["check", str(path)], capture_output=True)
    assert done.returncode == 1
    assert [line.split(": ")[1] for line in done.stdout.decode().splitlines()[:-1]] == ["negative branch length"] * 2
