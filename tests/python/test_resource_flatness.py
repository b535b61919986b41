"""Resident memory stays flat while 10,000 TreeSets, SingleTrees and results are made and
dropped and every error path is taken: bad paths and files, unknown taxa, trees past the
end, and every argument error. A leak of a few hundred bytes per call shows as megabytes."""

import gc
import os
import pathlib

import pytest

import treetally

ROUNDS = 10_000
WARM_UP = 1_000
TOLERANCE_KIB = 4 * 1024


def under_address_sanitizer():
    # ASan keeps freed memory in quarantine, so resident memory grows without any leak.
    with open("/proc/self/maps") as handle:
        return "libasan" in handle.read()


pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc"),
    pytest.mark.skipif(
        os.path.exists("/proc/self/maps") and under_address_sanitizer(),
        reason="resident memory means nothing under AddressSanitizer",
    ),
]


def resident_kib():
    with open("/proc/self/statm") as handle:
        pages = int(handle.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.fixture
def files(tmp_path):
    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return {
        "good": write("good.nwk", b"((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);\n(((A,B),C),(D,E));\n"),
        "bad_float": write("bad_float.nwk", b"((A,B),C);\n((A:1x,B),C);\n"),
        "bad_utf8": write("bad_utf8.nwk", b"((A,B),C);\n((A,B\xff),C);\n"),
        "missing": str(tmp_path / "missing.nwk"),
        "directory": str(tmp_path),
    }


NAMES = ("A", "B", "C", "D", "E")


def error_paths(files, tree_set, tree, far_tree):
    """Calls that must each raise; every one builds and drops an exception object."""
    path_bytes = files["good"].encode()
    return [
        lambda: treetally.TreeSet(files["missing"]),
        lambda: treetally.TreeSet(files["directory"]),
        lambda: treetally.TreeSet(files["bad_float"]),
        lambda: treetally.TreeSet(files["bad_utf8"]),
        lambda: treetally.TreeSet(path_bytes),
        lambda: treetally.TreeSet(files["good"] + "\0"),
        lambda: treetally.TreeSet(),
        lambda: treetally.TreeSet(files["good"], files["good"]),
        lambda: treetally.TreeSet(files["good"], path=files["good"]),
        lambda: treetally.TreeSet(file=files["good"]),
        lambda: tree_set.tally_single_quintet(("A", "B", "C", "D", "Z")),
        lambda: tree_set.tally_single_quartet(["A", "B", "C", "D"]),
        lambda: tree_set.tally_single_quartet(NAMES),
        lambda: tree_set.coalesence_times_by_topology(("A", "B", "C", "D", 5)),
        lambda: tree_set.coalesence_times_by_topology(("A", "B", "C", "D", "\udc80")),
        lambda: tree_set.tally_single_quintet(NAMES, names=NAMES),
        lambda: tree_set.tally_single_quintet(taxa=NAMES),
        lambda: tree_set.tally_single_quintet(),
        lambda: tree_set.taxa(1),
        lambda: tree_set["0"],
        lambda: tree_set[-1],
        lambda: tree_set[2**64],
        lambda: tree_set[0:1],
        lambda: type(tree)(),
        lambda: tree.retrieve_quintet_type(("Z",) * 5),
        lambda: tree.retrieve_quartet_type(NAMES),
        lambda: tree.retrieve_all_pairs_distance(NAMES[:4] + (None,)),
        lambda: far_tree.retrieve_quintet_type(NAMES),
        lambda: far_tree.retrieve_quartet_type(NAMES[:4]),
        lambda: far_tree.retrieve_all_pairs_distance(NAMES),
    ]


def one_round(files):
    tree_set = treetally.TreeSet(files["good"])
    pathlib_set = treetally.TreeSet(pathlib.Path(files["good"]))
    tree, far_tree = tree_set[1], pathlib_set[10**9]
    results = [
        tree_set.taxa(),
        tree_set.tally_single_quintet(NAMES),
        tree_set.tally_single_quartet(NAMES[:4]),
        tree_set.coalesence_times_by_topology(names=NAMES),
        tree.retrieve_quintet_type(NAMES),
        tree.retrieve_quartet_type(NAMES[:4]),
        tree.retrieve_all_pairs_distance(NAMES),
        list(tree_set),
    ]
    del tree_set  # the SingleTrees keep the data alive
    failures = 0
    for call in error_paths(files, pathlib_set, tree, far_tree):
        try:
            call()
        except BaseException:
            failures += 1
    return failures, results


def test_memory_flat_over_ten_thousand_rounds_of_every_path(files, capfd):
    expected_failures = len(error_paths(files, None, None, None))
    for _ in range(WARM_UP):
        one_round(files)
    gc.collect()
    capfd.readouterr()  # the stderr reports of fatal errors are not what is measured
    baseline = resident_kib()
    for k in range(ROUNDS):
        failures, _ = one_round(files)
        assert failures == expected_failures
        if k % 1000 == 999:
            capfd.readouterr()
    gc.collect()
    grown = resident_kib() - baseline
    print(f"resident memory after {ROUNDS} rounds: {grown:+d} KiB")
    assert grown < TOLERANCE_KIB
