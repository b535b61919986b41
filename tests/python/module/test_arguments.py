"""Argument parsing and conversion at the module boundary: every TypeError, ValueError and
OverflowError text that a caller can meet, and the inputs that must be accepted."""

import collections
import os
import pathlib

import pytest

import treetally

TREES = (
    "((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);\n"
    "((A,B),(C,D));\n"
    "(((A,B),C),(D,E));\n"
)
NAMES = ("A", "B", "C", "D", "E")

# (class, method, number of names)
NAMES_METHODS = [
    ("TreeSet", "tally_single_quintet", 5),
    ("TreeSet", "tally_single_quartet", 4),
    ("TreeSet", "coalesence_times_by_topology", 5),
    ("SingleTree", "retrieve_quintet_type", 5),
    ("SingleTree", "retrieve_quartet_type", 4),
    ("SingleTree", "retrieve_all_pairs_distance", 5),
]
NAMES_METHOD_IDS = [f"{cls}.{method}" for cls, method, _ in NAMES_METHODS]


class Holder:
    class Inner:
        pass


class UnreadableQualname(type):
    # The classes made by this metaclass report a __qualname__ that is not a str.
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Opaque(metaclass=UnreadableQualname):
    pass


class FsPathOnly:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class StrSubclass(str):
    pass


class TupleSubclass(tuple):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


QuintetNames = collections.namedtuple("QuintetNames", "a b c d e")
QuartetNames = collections.namedtuple("QuartetNames", "a b c d")


@pytest.fixture
def tree_file(write_trees):
    return write_trees(TREES)


@pytest.fixture
def tree_set(tree_file):
    return treetally.TreeSet(str(tree_file))


@pytest.fixture
def receivers(tree_set):
    return {"TreeSet": tree_set, "SingleTree": tree_set[0]}


def raised(callable_, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        callable_(*args, **kwargs)
    return info.value


def assert_type_error(error, message):
    assert type(error) is TypeError
    assert error.args == (message,)


# --- parsing of the one parameter ------------------------------------------------------------

# (full name, parameter, how to get the callable from the fixtures, valid value)
OPERATIONS = [("TreeSet.__new__()", "path", None, 5)] + [
    (f"{cls}.{method}()", "names", (cls, method), n) for cls, method, n in NAMES_METHODS
]


def operation_and_value(operation, receivers, tree_file):
    _, _, target, n = operation
    if target is None:
        return treetally.TreeSet, str(tree_file)
    cls, method = target
    return getattr(receivers[cls], method), NAMES[:n]


PARSING_CASES = {
    "two positional": (
        lambda f, p, v: f(v, v),
        "{F} takes 1 positional arguments but 2 were given",
    ),
    "three positional": (
        lambda f, p, v: f(v, v, v),
        "{F} takes 1 positional arguments but 3 were given",
    ),
    "missing": (lambda f, p, v: f(), "{F} missing 1 required positional argument: '{p}'"),
    "multiple values": (
        lambda f, p, v: f(v, **{p: v}),
        "{F} got multiple values for argument '{p}'",
    ),
    "unexpected keyword": (
        lambda f, p, v: f(v, taxa=v),
        "{F} got an unexpected keyword argument 'taxa'",
    ),
    "unexpected keyword, no positional": (
        lambda f, p, v: f(taxa=v),
        "{F} got an unexpected keyword argument 'taxa'",
    ),
    "first offending keyword wins: unexpected": (
        lambda f, p, v: f(v, **{"taxa": v, p: v}),
        "{F} got an unexpected keyword argument 'taxa'",
    ),
    "first offending keyword wins: multiple": (
        lambda f, p, v: f(v, **{p: v, "taxa": v}),
        "{F} got multiple values for argument '{p}'",
    ),
    "keyword without UTF-8 form": (
        lambda f, p, v: f(v, **{"na\udc80mes": v}),
        "{F} got an unexpected keyword argument 'na\udc80mes'",
    ),
}


@pytest.mark.parametrize("case", list(PARSING_CASES))
@pytest.mark.parametrize("operation", OPERATIONS, ids=[op[0] for op in OPERATIONS])
def test_argument_parsing_messages(operation, case, receivers, tree_file):
    full_name, parameter, _, _ = operation
    function, value = operation_and_value(operation, receivers, tree_file)
    call, template = PARSING_CASES[case]
    error = raised(call, function, parameter, value)
    assert_type_error(error, template.format(F=full_name, p=parameter))


@pytest.mark.parametrize("operation", OPERATIONS[1:], ids=[op[0] for op in OPERATIONS[1:]])
def test_keyword_argument_works_like_positional(operation, receivers, tree_file):
    _, parameter, _, _ = operation
    function, value = operation_and_value(operation, receivers, tree_file)
    assert function(**{parameter: value}) == function(value)


def test_constructor_by_keyword(tree_file):
    assert treetally.TreeSet(path=str(tree_file)).taxa() == list(NAMES)


def test_taxa_takes_no_arguments(tree_set):
    with pytest.raises(TypeError):
        tree_set.taxa(1)


# --- names -----------------------------------------------------------------------------------

PYTUPLE = "argument 'names': '{}' object cannot be converted to 'PyTuple'"
PYSTRING = "argument 'names': '{}' object cannot be converted to 'PyString'"
LENGTH = "expected tuple of length {n}, but got tuple of length {m}"

# case: (names for a method taking n, exception type, message)
BAD_NAMES = {
    "list": (lambda n: list(NAMES[:n]), TypeError, PYTUPLE.format("list")),
    "str": (lambda n: "ABCDE"[:n], TypeError, PYTUPLE.format("str")),
    "None": (lambda n: None, TypeError, PYTUPLE.format("NoneType")),
    "one short": (lambda n: NAMES[: n - 1], ValueError, LENGTH),
    "one long": (lambda n: NAMES[:n] + ("A",), ValueError, LENGTH),
    "empty": (lambda n: (), ValueError, LENGTH),
    "unknown names, wrong length": (lambda n: ("Z",) * (n + 1), ValueError, LENGTH),
    "int item": (lambda n: NAMES[: n - 1] + (5,), TypeError, PYSTRING.format("int")),
    "bytes item": (lambda n: (b"A",) + NAMES[1:n], TypeError, PYSTRING.format("bytes")),
    "nested class item": (
        lambda n: (Holder.Inner(),) + NAMES[1:n],
        TypeError,
        PYSTRING.format("Holder.Inner"),
    ),
    "unreadable type name": (
        lambda n: (Opaque(),) + NAMES[1:n],
        TypeError,
        PYSTRING.format("<failed to extract type name>"),
    ),
    "non-str before lone surrogate": (
        lambda n: (1, "\udc80") + NAMES[2:n],
        TypeError,
        PYSTRING.format("int"),
    ),
}


@pytest.mark.parametrize("case", list(BAD_NAMES))
@pytest.mark.parametrize("cls,method,n", NAMES_METHODS, ids=NAMES_METHOD_IDS)
def test_names_conversion_errors(receivers, cls, method, n, case):
    make, error_type, template = BAD_NAMES[case]
    names = make(n)
    error = raised(getattr(receivers[cls], method), names)
    assert type(error) is error_type
    expected = template.format(n=n, m=len(names) if isinstance(names, tuple) else 0)
    assert error.args == (expected,)
    assert error.__cause__ is None


@pytest.mark.parametrize("lone_surrogate_first", [True, False])
@pytest.mark.parametrize("cls,method,n", NAMES_METHODS, ids=NAMES_METHOD_IDS)
def test_lone_surrogate_raises_unicode_encode_error(
    receivers, cls, method, n, lone_surrogate_first
):
    # The first item that fails ends the conversion: the later item is never looked at.
    names = ("\udc80", 7) if lone_surrogate_first else ("A", "\udc80")
    names = names + NAMES[2:n]
    with pytest.raises(UnicodeEncodeError):
        getattr(receivers[cls], method)(names)


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda names: TupleSubclass(names), id="tuple subclass"),
        pytest.param(
            lambda names: tuple(StrSubclass(name) for name in names), id="str subclass items"
        ),
        pytest.param(
            lambda names: (QuintetNames if len(names) == 5 else QuartetNames)(*names),
            id="namedtuple",
        ),
    ],
)
@pytest.mark.parametrize("cls,method,n", NAMES_METHODS, ids=NAMES_METHOD_IDS)
def test_names_accepts_subclasses(receivers, cls, method, n, convert):
    function = getattr(receivers[cls], method)
    assert function(convert(NAMES[:n])) == function(NAMES[:n])


# --- path ------------------------------------------------------------------------------------


class WeirdPath(type(pathlib.Path())):
    """A pathlib.Path whose __str__ misbehaves in the way given to the constructor."""

    def __str__(self):
        behaviour = type(self).behaviour
        if isinstance(behaviour, BaseException):
            raise behaviour
        return behaviour


def weird_path(tree_file, behaviour):
    cls = type("WeirdPath", (WeirdPath,), {"behaviour": behaviour})
    return cls(str(tree_file))


@pytest.mark.parametrize(
    "make_path,type_name",
    [
        (lambda p: os.fsencode(str(p)), "bytes"),
        (lambda p: FsPathOnly(str(p)), "FsPathOnly"),
        (lambda p: pathlib.PurePosixPath(str(p)), "PurePosixPath"),
        (lambda p: None, "NoneType"),
        (lambda p: 3, "int"),
        (lambda p: weird_path(p, 5), "int"),
    ],
    ids=["bytes", "fspath only", "pure path", "None", "int", "Path whose __str__ gives int"],
)
def test_path_type_mismatch(tree_file, make_path, type_name):
    error = raised(treetally.TreeSet, make_path(tree_file))
    assert_type_error(
        error, f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    )


def test_path_str_failure_is_prefixed_and_keeps_cause(tree_file):
    cause = KeyError("inner")
    inner = TypeError("no text")
    inner.__cause__ = cause
    error = raised(treetally.TreeSet, weird_path(tree_file, inner))
    assert_type_error(error, "argument 'path': no text")
    assert error.__cause__ is cause


def test_path_str_failure_of_other_type_is_unchanged(tree_file):
    inner = ValueError("no text")
    assert raised(treetally.TreeSet, weird_path(tree_file, inner)) is inner


@pytest.mark.parametrize(
    "make_path",
    [str, pathlib.Path, lambda p: StrSubclass(str(p))],
    ids=["str", "pathlib.Path", "str subclass"],
)
def test_path_forms_load_the_same_collection(tree_file, make_path):
    tree_set = treetally.TreeSet(make_path(tree_file))
    assert len(tree_set) == 3
    assert tree_set.taxa() == list(NAMES)


@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "pathlib.Path"])
def test_path_with_embedded_nul_is_refused(tree_file, make_path):
    # Opening stops at a NUL, so "trees.nwk\0.x" would load trees.nwk; refuse it like open().
    with pytest.raises(ValueError) as info:
        treetally.TreeSet(make_path(str(tree_file) + "\0.x"))
    assert info.value.args == ("embedded null byte",)


@pytest.mark.skipif(os.name != "posix", reason="byte-string file names")
def test_path_with_undecodable_bytes_loads(tmp_path):
    # os.listdir hands such a name back as a str with surrogates; it must still open.
    raw = os.path.join(os.fsencode(str(tmp_path)), b"trees-\xff.nwk")
    with open(raw, "wb") as handle:
        handle.write(TREES.encode())
    (name,) = [entry for entry in os.listdir(str(tmp_path)) if entry.startswith("trees-")]
    assert len(treetally.TreeSet(os.path.join(str(tmp_path), name))) == 3


# --- id --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key,type_name",
    [("0", "str"), (slice(0, 1), "slice"), (1.0, "float"), (None, "NoneType")],
    ids=["str", "slice", "float", "None"],
)
def test_id_without_index_protocol(tree_set, key, type_name):
    error = raised(tree_set.__getitem__, key)
    assert_type_error(
        error, f"argument 'id': '{type_name}' object cannot be interpreted as an integer"
    )


def test_slicing_syntax_refused(tree_set):
    with pytest.raises(TypeError) as info:
        tree_set[0:2]
    assert info.value.args == ("argument 'id': 'slice' object cannot be interpreted as an integer",)


@pytest.mark.parametrize("key", [-1, -(2**70), 2**64, 2**100, Index(-1)])
def test_id_out_of_unsigned_range_is_overflow_error(tree_set, key):
    error = raised(tree_set.__getitem__, key)
    assert type(error) is OverflowError
    assert not str(error).startswith("argument")


def test_id_index_failure_is_prefixed_and_keeps_cause(tree_set):
    cause = KeyError("inner")
    inner = TypeError("not an index")
    inner.__cause__ = cause
    error = raised(tree_set.__getitem__, RaisingIndex(inner))
    assert_type_error(error, "argument 'id': not an index")
    assert error.__cause__ is cause


def test_id_type_error_subclass_is_unchanged(tree_set):
    inner = TypeErrorSubclass("custom")
    assert raised(tree_set.__getitem__, RaisingIndex(inner)) is inner


@pytest.mark.parametrize("key", [True, Index(1), 1])
def test_id_index_protocol_forms_address_tree_one(tree_set, key):
    expected = tree_set[1].retrieve_quartet_type(NAMES[:4])
    assert tree_set[key].retrieve_quartet_type(NAMES[:4]) == expected
    distances = tree_set[1].retrieve_all_pairs_distance(NAMES)
    assert tree_set[key].retrieve_all_pairs_distance(NAMES) == distances


def test_largest_id_is_accepted_and_fails_only_when_queried(tree_set):
    tree = tree_set[2**64 - 1]
    with pytest.raises(BaseException) as info:
        tree.retrieve_quartet_type(NAMES[:4])
    assert info.value.args == (
        "index out of bounds: the len is 3 but the index is 18446744073709551615",
    )
