"""How the engine's functions and its Table take their arguments: by position or by name, with
the interpreter's errors for a call that gives too few, too many or unknown ones, and each
value converted without wrapping or truncation."""

import pytest

from treetally_tools import _engine
from treetally_tools.codes import PAIRS, QUARTET_CODES, QUINTET_CODES, TIME_TABLE_LENGTH

TREES = "((A:1,B:1):1,(C:1,D:1):1,E:2);\n((A,C),(B,D),E);\n"
TAXA = ("A", "B", "C", "D")


@pytest.fixture
def trees(tmp_path):
    path = tmp_path / "trees.tre"
    path.write_text(TREES)
    return _engine.load(str(path))[0]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _engine.load(), r"^load\(\) takes at least 1 argument \(0 given\)$"),
        (lambda: _engine.load("x", None, None, None, None, False, False, None), r"^load\(\) takes at most 7 arguments \(8 given\)$"),
        (lambda: _engine.taxon_tree_counts(), r"^taxon_tree_counts\(\) takes exactly 1 argument \(0 given\)$"),
        (lambda: _engine.presence_counts(1, 2, 3), r"^presence_counts\(\) takes exactly 2 arguments \(3 given\)$"),
        (lambda: _engine.load("x", colapse_length=1.0), r"^'colapse_length' is an invalid keyword argument for load\(\)$"),
        (lambda: _engine.load("x", path="y"), r"^argument for load\(\) given by name \('path'\) and position \(1\)$"),
        (lambda: _engine.load(min_support=0.5), r"^load\(\) missing required argument 'path' \(pos 1\)$"),
        (lambda: _engine.Table(None, 4), r"^Table\(\) takes at least 3 arguments \(2 given\)$"),
        (lambda: _engine.row_values(4, {}, taxa=(), size=4), r"given by name \('size'\) and position \(1\)"),
        (lambda: _engine.load(3), r"^load\(\) argument 'path' must be str, not int$"),
        (lambda: _engine.column_distances(4.0, ()), r"argument 'taxon_count' must be int, not float$"),
        (lambda: _engine.adjust_p_values(b"", None), r"argument 'method' must be str, not NoneType$"),
        (lambda: _engine.dominant(7), r"argument 'counts' must be a sequence of 3 ints, not int$"),
        (lambda: _engine.dominant("123"), r"must be a sequence of 3 ints, not str$"),
        (lambda: _engine.dominant((1, 2)), r"argument 'counts' must hold 3 items, not 2$"),
        (lambda: _engine.dominant((1, 2.0, 3)), r"^dominant\(\) argument 'counts' item '1' must be int, not float$"),
    ],
)
def test_misused_calls_are_type_errors_in_the_interpreters_words(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_are_refused_where_a_function_takes_positions_alone():
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        _engine.expected_concordance(length=1.0)


@pytest.mark.parametrize(
    "call, error, message",
    [
        # counts and tree indexes are never negative: no wrapping round to 2**64 - 1
        (lambda trees: _engine.dominant((-1, 0, 0)), OverflowError, "negative"),
        (lambda trees: _engine.dominant((2**64, 0, 0)), OverflowError, "too big"),
        (lambda trees: _engine.tree_nodes(trees, -1), OverflowError, "negative"),
        (lambda trees: _engine.check_lines([b"(A,B,C);"], -1), OverflowError, "negative"),
        (lambda trees: _engine.check_file(3), TypeError, "^check_file\\(\\) argument 'path' must be str, not int$"),
        (lambda trees: _engine.Table(trees, 2**31 + 4, TAXA), OverflowError, "greater than maximum"),
        (lambda trees: _engine.Table(trees, -(2**31) - 4, TAXA), OverflowError, "less than minimum"),
        (lambda trees: _engine.load("trees\0.tre"), ValueError, "embedded null character"),
        (lambda trees: _engine.Table(trees, 4, TAXA, text_form=3), TypeError, "'text_form' must be str or None, not int"),
        (lambda trees: _engine.Table(trees, 4, TAXA, adjust=b"holm"), TypeError, "'adjust' must be str or None, not bytes"),
        (lambda trees: _engine.Table(trees, 4, TAXA, rows_per_block="8"), TypeError, "'rows_per_block' must be int"),
        (lambda trees: _engine.Table(trees, 4, TAXA, blocks=(0, 2**70)), TypeError, "pair of integers"),
    ],
)
def test_values_out_of_range_or_of_the_wrong_kind_are_refused(trees, call, error, message):
    with pytest.raises(error, match=message):
        call(trees)


class _Index:
    """An int-like object that is not an int, as numpy's integers are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_values_convert_through_the_number_protocols(trees):
    assert _engine.dominant([_Index(1), 5, True]) == _engine.dominant((1, 5, 1))
    assert _engine.tree_nodes(trees, _Index(1)) == _engine.tree_nodes(trees, 1)
    assert _engine.expected_concordance(0) == pytest.approx(1 / 3)
    table = _engine.Table(trees, _Index(4), TAXA, rows_per_block=_Index(1), blocks=(_Index(0), 1))
    assert table.next_block() is not None


@pytest.mark.parametrize("weighted", [0, 1, "", "yes", None, []])
def test_flags_take_any_objects_truth(trees, weighted):
    expected = _engine.quartet_distances(trees, TAXA, weighted=bool(weighted))
    assert _engine.quartet_distances(trees, TAXA, weighted=weighted) == expected
    assert _engine.quartet_distances(trees=trees, taxa=TAXA, weighted=weighted, jobs=1, progress=None) == expected


def test_optional_parameters_take_none_or_their_defaults(trees):
    plain = _engine.Table(trees, 4, TAXA)
    spelled = _engine.Table(trees, 4, TAXA, 1, 0, None, None, None, None, None)
    assert plain.all_columns() == spelled.all_columns()
    rows = plain.rows
    by_name = _engine.Table(adjust="holm", taxa=TAXA, size=4, trees=trees, text_form="csv", taxon_cells=TAXA)
    assert by_name.rows == rows
    assert by_name.next_text() is not None


def test_the_packages_topology_sizes_are_the_engines(trees):
    quartets, _, quintets, _, sums = _engine.topology_path_sums(trees, ("A", "B", "C", "D", "E"))
    assert (len(quartets), len(quintets), len(sums)) == (QUARTET_CODES, QUINTET_CODES, QUINTET_CODES * len(PAIRS))
    assert len(_engine.time_table(quintets, sums)) == TIME_TABLE_LENGTH
    with pytest.raises(ValueError, match=f"must hold {len(sums)} values"):
        _engine.time_table(quintets, sums[:-1])
