"""What the interpreter sees of the module: its attributes, the two classes, PanicException,
the failures of construction and queries, iteration, object lifetimes and resource use."""

import ctypes
import gc
import os
import re
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

import treetally

TREES = (
    "((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);\n"
    "((A,B),(C,D));\n"
    "(((A,B),C),(D,E));\n"
)
NAMES = ("A", "B", "C", "D", "E")
PY_TPFLAGS_BASETYPE = 1 << 10
PY_TPFLAGS_HAVE_GC = 1 << 14


@pytest.fixture
def tree_set(write_trees):
    return treetally.TreeSet(str(write_trees(TREES)))


@pytest.fixture
def single_tree_type(tree_set):
    return type(tree_set[0])


def panic_of(callable_, *args):
    with pytest.raises(BaseException) as info:
        callable_(*args)
    assert type(info.value).__qualname__ == "PanicException"
    return info.value


# --- module and classes ----------------------------------------------------------------------


def test_module_attributes():
    assert treetally.__all__ == ["TreeSet"]
    assert type(treetally.__all__) is list
    assert isinstance(treetally.__doc__, str) and "\n" not in treetally.__doc__.strip()
    for absent in ("SingleTree", "PanicException", "TreeSetIterator"):
        assert not hasattr(treetally, absent)


@pytest.mark.parametrize(
    "get_type", [lambda ts: type(ts), lambda ts: type(ts[0])], ids=["TreeSet", "SingleTree"]
)
def test_class_identity_and_flags(tree_set, get_type):
    cls = get_type(tree_set)
    name = cls.__name__
    assert name in ("TreeSet", "SingleTree")
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert not cls.__flags__ & PY_TPFLAGS_BASETYPE
    assert not cls.__flags__ & PY_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_tree_set_is_the_module_class(tree_set):
    assert type(tree_set) is treetally.TreeSet
    assert repr(tree_set).startswith("<builtins.TreeSet object at ")
    assert repr(tree_set[0]).startswith("<builtins.SingleTree object at ")


@pytest.mark.parametrize(
    "cls_name,method,signature",
    [
        ("TreeSet", "taxa", "($self)"),
        ("TreeSet", "tally_single_quintet", "($self, names)"),
        ("TreeSet", "tally_single_quartet", "($self, names)"),
        ("TreeSet", "coalesence_times_by_topology", "($self, names)"),
        ("SingleTree", "retrieve_quintet_type", "($self, names)"),
        ("SingleTree", "retrieve_quartet_type", "($self, names)"),
        ("SingleTree", "retrieve_all_pairs_distance", "($self, names)"),
    ],
)
def test_method_text_signatures(tree_set, single_tree_type, cls_name, method, signature):
    cls = treetally.TreeSet if cls_name == "TreeSet" else single_tree_type
    function = getattr(cls, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


def test_method_tables_hold_only_the_listed_methods(single_tree_type):
    def own(cls):
        return {
            name
            for name, value in vars(cls).items()
            if type(value).__name__ == "method_descriptor"
        }

    assert own(treetally.TreeSet) == {
        "taxa",
        "tally_single_quintet",
        "tally_single_quartet",
        "coalesence_times_by_topology",
    }
    assert own(single_tree_type) == {
        "retrieve_quintet_type",
        "retrieve_quartet_type",
        "retrieve_all_pairs_distance",
    }


@pytest.mark.parametrize(
    "get_object",
    [lambda ts: ts, lambda ts: ts[0], lambda ts: iter(ts)],
    ids=["TreeSet", "SingleTree", "iterator"],
)
def test_instances_refuse_attributes_and_weak_references(tree_set, get_object):
    obj = get_object(tree_set)
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {}), ((), {"names": 1})])
@pytest.mark.parametrize(
    "get_object", [lambda ts: ts[0], lambda ts: iter(ts)], ids=["SingleTree", "iterator"]
)
def test_types_without_constructor(tree_set, get_object, args, kwargs):
    cls = type(get_object(tree_set))
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert info.value.args == ("No constructor defined",)


def test_object_new_cannot_bypass_constructors(tree_set):
    for cls in (treetally.TreeSet, type(tree_set[0]), type(iter(tree_set))):
        with pytest.raises(TypeError):
            object.__new__(cls)


# Slot numbers of the stable ABI (typeslots.h), to reach the slots as C code would.
PY_MP_LENGTH, PY_MP_SUBSCRIPT, PY_SQ_ITEM = 4, 5, 44


def slot_function(cls, number, restype, *argtypes):
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(get_slot(cls, number))


def test_sequence_item_slot_forwards_to_indexing(tree_set):
    item = slot_function(treetally.TreeSet, PY_SQ_ITEM, ctypes.py_object, ctypes.py_object,
                         ctypes.c_ssize_t)
    tree = item(tree_set, 1)
    assert tree.retrieve_quartet_type(NAMES[:4]) == tree_set[1].retrieve_quartet_type(NAMES[:4])
    with pytest.raises(OverflowError):
        item(tree_set, -1)


@pytest.mark.parametrize(
    "call",
    [
        lambda: slot_function(treetally.TreeSet, PY_MP_LENGTH, ctypes.c_ssize_t,
                              ctypes.py_object)(5),
        lambda: slot_function(treetally.TreeSet, PY_MP_SUBSCRIPT, ctypes.py_object,
                              ctypes.py_object, ctypes.py_object)(5, 0),
    ],
    ids=["length", "subscript"],
)
def test_slots_check_their_receiver(call):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == ("'int' object cannot be converted to 'TreeSet'",)


def test_indexing_gives_distinct_objects(tree_set):
    assert tree_set[0] is not tree_set[0]


def test_second_initialisation_is_refused():
    script = textwrap.dedent(
        """
        import sys
        import treetally
        first = treetally
        del sys.modules["treetally"]
        try:
            import treetally
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported again")
        assert first.TreeSet.__name__ == "TreeSet"
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError: Quarrow modules may only be initialized once per interpreter process"
    )


# --- PanicException and fatal errors ---------------------------------------------------------


def test_panic_exception_type(tree_set):
    error = panic_of(tree_set.tally_single_quartet, ("A", "B", "C", "Z"))
    cls = type(error)
    assert cls.__module__ == "quarrow_runtime"
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__
    assert error.args == ("Taxon not found",) and str(error) == "Taxon not found"
    # Every fatal error reuses the one type.
    assert type(panic_of(tree_set[0].retrieve_quartet_type, ("Z",) * 4)) is cls


def test_panic_exception_passes_through_except_exception(tree_set):
    caught_by = None
    try:
        try:
            tree_set.tally_single_quintet(("Z",) * 5)
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_fatal_error_is_reported_on_stderr_with_its_place(tree_set, capfd):
    panic_of(tree_set[7].retrieve_quintet_type, NAMES)
    err = capfd.readouterr().err
    assert err.startswith("treetally: fatal error at ")
    assert re.search(r" at \S+\.(cpp|hpp):\d+: ", err)
    assert err.rstrip().endswith("index out of bounds: the len is 3 but the index is 7")


@pytest.mark.parametrize(
    "content,message",
    [
        (None, 'Failed to load tree collection: "Could not read file"'),
        (b"((A,B),C);\n(A,\xff\xfe);\n", 'Failed to load tree collection: "Error reading file"'),
        (
            "((A:1,B:x),C);\n",
            "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }",
        ),
    ],
    ids=["missing file", "bad UTF-8", "bad branch length"],
)
def test_load_failures(write_trees, tmp_path, content, message):
    path = tmp_path / "absent.nwk" if content is None else write_trees(content)
    assert panic_of(treetally.TreeSet, str(path)).args == (message,)


METHODS = [
    (lambda ts: ts.tally_single_quintet, 5),
    (lambda ts: ts.tally_single_quartet, 4),
    (lambda ts: ts.coalesence_times_by_topology, 5),
    (lambda ts: ts[0].retrieve_quintet_type, 5),
    (lambda ts: ts[0].retrieve_quartet_type, 4),
    (lambda ts: ts[0].retrieve_all_pairs_distance, 5),
]
METHOD_IDS = [
    "tally_single_quintet",
    "tally_single_quartet",
    "coalesence_times_by_topology",
    "retrieve_quintet_type",
    "retrieve_quartet_type",
    "retrieve_all_pairs_distance",
]


@pytest.mark.parametrize("get_method,n", METHODS, ids=METHOD_IDS)
def test_unknown_name_in_last_slot(tree_set, get_method, n):
    names = NAMES[: n - 1] + ("Z",)
    assert panic_of(get_method(tree_set), names).args == ("Taxon not found",)


@pytest.mark.parametrize("get_method,n", METHODS, ids=METHOD_IDS)
def test_empty_file(write_trees, get_method, n):
    tree_set = treetally.TreeSet(str(write_trees("")))
    assert len(tree_set) == 0 and not tree_set
    assert tree_set.taxa() == []
    assert list(tree_set) == []
    assert panic_of(get_method(tree_set), NAMES[:n]).args == ("Taxon not found",)


@pytest.mark.parametrize(
    "method,n",
    [
        ("retrieve_quintet_type", 5),
        ("retrieve_quartet_type", 4),
        ("retrieve_all_pairs_distance", 5),
    ],
)
def test_out_of_range_tree_fails_only_when_queried(tree_set, method, n):
    tree = tree_set[3]
    # An unknown name is reported before the index is checked.
    assert panic_of(getattr(tree, method), ("Z",) + NAMES[1:n]).args == ("Taxon not found",)
    assert panic_of(getattr(tree, method), NAMES[:n]).args == (
        "index out of bounds: the len is 3 but the index is 3",
    )


def test_objects_usable_after_failures(tree_set):
    expected = tree_set.tally_single_quintet(NAMES)
    panic_of(tree_set.tally_single_quintet, ("Z",) * 5)
    with pytest.raises(ValueError):
        tree_set.tally_single_quintet(NAMES[:4])
    assert tree_set.tally_single_quintet(NAMES) == expected


# --- iteration and lifetime ------------------------------------------------------------------


def test_iteration_yields_each_tree_then_ends(tree_set):
    trees = list(tree_set)
    assert len(trees) == len(tree_set) == 3
    for k, tree in enumerate(trees):
        assert type(tree) is type(tree_set[0])
        expected = tree_set[k].retrieve_all_pairs_distance(NAMES)
        assert tree.retrieve_all_pairs_distance(NAMES) == expected
    assert tree_set[0] not in tree_set  # membership ends too: each SingleTree is a new object
    iterator = iter(tree_set)
    assert iter(iterator) is iterator
    assert len(list(iterator)) == 3
    with pytest.raises(StopIteration):
        next(iterator)


def test_single_tree_outlives_tree_set(write_trees):
    tree_set = treetally.TreeSet(str(write_trees(TREES)))
    tree, iterator = tree_set[0], iter(tree_set)
    expected = (tree.retrieve_quintet_type(NAMES), tree.retrieve_all_pairs_distance(NAMES))
    del tree_set
    gc.collect()
    assert (tree.retrieve_quintet_type(NAMES), tree.retrieve_all_pairs_distance(NAMES)) == expected
    assert len(list(iterator)) == 3


def test_single_tree_used_and_freed_on_another_thread(write_trees):
    tree_set = treetally.TreeSet(str(write_trees(TREES)))
    box = {"tree": tree_set[0]}
    expected = box["tree"].retrieve_all_pairs_distance(NAMES)
    del tree_set
    results = []

    def worker():
        results.append(box.pop("tree").retrieve_all_pairs_distance(NAMES))

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert results == [expected]


# --- reference counts and memory -------------------------------------------------------------


# The one-letter names are the interpreter's shared one-character strings, whose counts the
# other thread of an xdist worker moves as well.
@pytest.mark.serial
def test_reference_counts_stay_flat(tree_set, write_trees):
    names = tuple("".join([c]) for c in "ABCDE")  # fresh str objects, not interned literals
    unknown = names[:4] + ("".join(["Z", "Z"]),)
    path = str(write_trees(TREES, name="refcount.nwk"))
    tree = tree_set[0]
    watched = [names, unknown, path, tree_set, tree, *names, unknown[4]]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        tree_set.tally_single_quintet(names)
        tree_set.coalesence_times_by_topology(names=names)
        tree.retrieve_all_pairs_distance(names)
        tree.retrieve_quartet_type(names[:4])
        tree_set[1]
        list(tree_set)
        treetally.TreeSet(path)
        for failing in (
            lambda: tree_set.tally_single_quintet(unknown),
            lambda: tree.retrieve_quintet_type(unknown),
            lambda: tree_set.tally_single_quartet(names),
            lambda: tree_set.tally_single_quartet(names[:4], names=names),
            lambda: tree_set[path],
        ):
            try:
                failing()
            except BaseException:
                pass
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def resident_kib():
    with open("/proc/self/statm") as handle:
        pages = int(handle.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_flat_over_create_and_drop_cycles(write_trees):
    # Several MiB of trees and indexes per TreeSet: a leak of the shared data (or of an object
    # holding it) would add that much every cycle.
    leaves = ",".join(f"(T{k}:1,U{k}:2):0.5" for k in range(200))
    path = str(write_trees(f"({leaves});\n" * 100, name="big.nwk"))
    missing = path + ".absent"

    def cycle():
        tree_set = treetally.TreeSet(path)
        tree = tree_set[0]
        tree_set.tally_single_quintet(("T0", "T1", "T2", "U3", "U4"))
        del tree_set
        tree.retrieve_quartet_type(("T0", "T1", "U2", "U3"))
        try:
            treetally.TreeSet(missing)
        except BaseException:
            pass

    for _ in range(10):
        cycle()
    gc.collect()
    baseline = resident_kib()
    for _ in range(60):
        cycle()
    gc.collect()
    assert resident_kib() - baseline < 8 * 1024
