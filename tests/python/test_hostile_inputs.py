"""Hostile tree files and paths: each either loads or fails with the documented exception,
never crashes the interpreter, hangs, or takes memory beyond what the trees and their indexes
need. The big inputs load in a child process, which measures its own peak memory and keeps a
crash or an out-of-memory kill out of the test runner.

Heavy cases (seconds each, hundreds of MB) run only with TREETALLY_HEAVY_TESTS=1; the size of
the long single-line tree is TREETALLY_HOSTILE_MB (20 by default, 100 when run by hand)."""

import json
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import textwrap

import pytest

import treetally

_skip_unless_heavy = pytest.mark.skipif(
    os.environ.get("TREETALLY_HEAVY_TESTS") != "1", reason="heavy: set TREETALLY_HEAVY_TESTS=1"
)


def heavy(test):
    """Marks a heavy case: skipped unless asked for, and selectable alone with -m heavy."""
    return pytest.mark.heavy(_skip_unless_heavy(test))

COULD_NOT_READ = 'Failed to load tree collection: "Could not read file"'
ERROR_READING = 'Failed to load tree collection: "Error reading file"'
BAD_LENGTH = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"
CHILD_TIMEOUT = 600

# Loads a file in a fresh interpreter, runs the queries it is given and reports, as JSON, the
# outcome and how far the peak resident memory rose above the state just before loading.
CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import treetally
    path, queries = sys.argv[1], json.loads(sys.argv[2])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    report = {}
    try:
        tree_set = treetally.TreeSet(path)
    except BaseException as error:
        report["error"] = [type(error).__name__, str(error)]
    else:
        report["trees"] = len(tree_set)
        report["taxa"] = len(tree_set.taxa())
        tree = tree_set[0] if len(tree_set) else None
        report["answers"] = [getattr(tree, method)(tuple(names)) for method, names in queries]
    report["peak_rise"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
    print(json.dumps(report))
    """
)


def load_in_child(path, queries=()):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), json.dumps(list(queries))],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


def tree_bytes(nodes, taxa, root_children, trees=1):
    """Memory the design needs for `trees` trees of `nodes` nodes each: six 4- or 8-byte
    fields per node, and per index a slot per taxon, 16 bytes per tour entry and a sparse table
    of C columns by bit_length(C) levels."""
    columns = 2 * (nodes - 1 if root_children == 2 else nodes)
    index = 4 * taxa + 16 * 2 * nodes + 4 * columns * columns.bit_length()
    return trees * (28 * nodes + index)


def assert_memory_within_design(report, expected_bytes, input_bytes):
    # Growing arrays briefly hold two copies; the loader holds one line of the input.
    bound = 2 * expected_bytes + 2 * input_bytes + (64 << 20)
    assert report["peak_rise"] <= bound, (report["peak_rise"], bound)


def panic_message(path):
    with pytest.raises(BaseException) as info:
        treetally.TreeSet(path)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def write_in_chunks(path, pieces):
    with open(path, "w", encoding="ascii") as handle:
        for piece in pieces:
            handle.write(piece)
    return path


# --- shape: deep, wide, long -----------------------------------------------------------------


@heavy
def test_tree_nested_a_million_levels(tmp_path):
    # A chain of 1,000,000 unary nodes above the group of A, B and C, beside D and E.
    depth = 1_000_000
    path = write_in_chunks(
        tmp_path / "deep.nwk",
        ["(", "(" * depth, "(A:1,B:1),C:1", ")" * depth, ",D:1,E:1);\n"],
    )
    report = load_in_child(
        path,
        [
            ("retrieve_quartet_type", "ABCD"),
            ("retrieve_quintet_type", "ABCDE"),
            ("retrieve_all_pairs_distance", "ABCDE"),
        ],
    )
    assert (report["trees"], report["taxa"]) == (1, 5)
    quartet, quintet, distances = report["answers"]
    assert quartet == 0  # AB|CD
    assert quintet is not None
    assert distances[:2] == [2.0, 2.0]  # A-B, A-C: the chain carries no lengths
    nodes = depth + 8
    assert_memory_within_design(report, tree_bytes(nodes, 5, 3), path.stat().st_size)
    print(f"depth {depth}: peak rise {report['peak_rise'] / 2**20:.0f} MiB")


@heavy
def test_long_single_line_tree(tmp_path):
    # A caterpillar with labels and lengths, TREETALLY_HOSTILE_MB megabytes on one line.
    megabytes = int(os.environ.get("TREETALLY_HOSTILE_MB", "20"))
    leaves = megabytes * (1 << 20) // 22
    path = write_in_chunks(
        tmp_path / "long.nwk",
        [
            "(" * (leaves - 1),
            "t0:0.125",
            *(f",t{k}:0.125):0.0625" for k in range(1, leaves)),
            ";\n",
        ],
    )
    last = f"t{leaves - 1}"
    report = load_in_child(path, [("retrieve_quartet_type", ["t0", "t1", "t2", last])])
    assert (report["trees"], report["taxa"]) == (1, leaves)
    assert report["answers"] == [0]  # t0 t1 | t2 last
    nodes = 2 * leaves - 1
    assert_memory_within_design(report, tree_bytes(nodes, leaves, 2), path.stat().st_size)
    print(f"{megabytes} MB line: peak rise {report['peak_rise'] / 2**20:.0f} MiB")


def random_binary_tree(rng, leaves):
    """Newick text of a random rooted binary tree, joined bottom-up without recursion."""
    groups = [f"L{k}:{rng.random():.3f}" for k in range(leaves)]
    while len(groups) > 1:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        groups.append(f"({a},{b}):{rng.random():.3f}")
    return groups[0] + ";\n"


def test_ten_thousand_leaves(tmp_path):
    rng = random.Random(10_000)
    path = tmp_path / "wide.nwk"
    path.write_text(random_binary_tree(rng, 10_000))
    tree_set = treetally.TreeSet(str(path))
    assert len(tree_set.taxa()) == 10_000
    tree = tree_set[0]
    for _ in range(200):
        names = tuple(f"L{k}" for k in rng.sample(range(10_000), 5))
        code = tree.retrieve_quintet_type(names)
        assert code in range(15)  # a binary tree resolves every quintet
        tally = tree_set.tally_single_quintet(names)
        assert tally == [int(t == code) for t in range(15)]
        quartet = tree.retrieve_quartet_type(names[:4])
        assert quartet in range(3)
        distances = tree.retrieve_all_pairs_distance(names)
        assert len(distances) == 10 and all(d > 0 for d in distances)


@heavy
def test_a_million_distinct_taxa(tmp_path):
    count = 1_000_000
    path = write_in_chunks(
        tmp_path / "star.nwk", ["(", ",".join(f"x{k}" for k in range(count)), ");\n"]
    )
    report = load_in_child(
        path, [("retrieve_quartet_type", ["x0", "x1", "x999998", "x999999"])]
    )
    assert (report["trees"], report["taxa"]) == (1, count)
    assert report["answers"] == [None]  # four leaves of one polytomy
    assert_memory_within_design(
        report, tree_bytes(count + 1, count, count), path.stat().st_size
    )
    print(f"{count} taxa: peak rise {report['peak_rise'] / 2**20:.0f} MiB")


def available_memory():
    with open("/proc/meminfo") as handle:
        fields = dict(line.split(":", 1) for line in handle)
    kib = int(fields["MemAvailable"].split()[0]) + int(fields["SwapFree"].split()[0])
    return kib * 1024


@pytest.mark.serial  # sized by, and takes, the memory the machine has left
@pytest.mark.skipif(not os.path.exists("/proc/meminfo"), reason="needs /proc/meminfo")
def test_many_short_lines_of_distinct_taxa_fail_with_memory_error(tmp_path):
    # Every tree keeps a slot for every taxon of the file: k lines of two new names each need
    # 2 k^2 bytes of index (a small tree's positions take a byte), here about twice the memory
    # there is, from a file of a few MB.
    lines = int(available_memory() ** 0.5) + 1
    path = write_in_chunks(tmp_path / "wide.nwk", (f"(a{k},b{k});\n" for k in range(lines)))
    report = load_in_child(path)
    assert report["error"] == ["MemoryError", ""]
    assert report["peak_rise"] < 40 * path.stat().st_size + (64 << 20)


@heavy
@pytest.mark.skipif(not os.path.exists("/proc/meminfo"), reason="needs /proc/meminfo")
def test_one_tree_whose_index_cannot_fit_fails_with_memory_error(tmp_path):
    # About 190 bytes of index and build scratch per "(": 2 table columns per node of 64 bytes
    # each (27 levels), 16 of tour and 48 of scratch. A file of a 120th of the available memory
    # asks for more than all.
    count = available_memory() // 120
    path = write_in_chunks(tmp_path / "brackets.nwk", ["(" * (1 << 20)] * (count >> 20))
    report = load_in_child(path)
    assert report["error"] == ["MemoryError", ""]
    print(f"{path.stat().st_size >> 20} MB of brackets: peak rise {report['peak_rise'] >> 20} MiB")


# Loads a path under an address-space limit of the child's current size plus argv[2] bytes, and
# reports the outcome and how far the peak resident memory rose.
LIMITED_CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import treetally
    path, room = sys.argv[1], int(sys.argv[2])
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + room, resource.RLIM_INFINITY))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        treetally.TreeSet(path)
        outcome = "loaded"
    except BaseException as error:
        outcome = type(error).__name__
    rise = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
    print(json.dumps({"outcome": outcome, "peak_rise": rise}))
    """
)


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer needs unlimited address space"
)
@pytest.mark.serial  # up to 900 MB of address space each
@pytest.mark.parametrize("source", ["/dev/zero", "sparse 5 GB file"])
def test_endless_line_stops_early_under_an_address_space_limit(tmp_path, source):
    # One line that never ends: its buffer would double until an allocation failed, the last
    # of them reaching past half the limit; the guard stops it at the last doubling that leaves
    # room for as much again, which the line's labels could take.
    if source != "/dev/zero":
        source = tmp_path / "sparse.nwk"
        with open(source, "wb") as handle:
            handle.truncate(5 << 30)
    room = 900 << 20
    done = subprocess.run(
        [sys.executable, "-c", LIMITED_CHILD, str(source), str(room)],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout)
    assert report["outcome"] == "MemoryError"
    assert report["peak_rise"] < room * 3 // 8, report
    print(f"{source}: peak rise {report['peak_rise'] >> 20} MiB of {room >> 20} MiB")


# --- contents: bytes the reader meets --------------------------------------------------------


def test_nul_bytes_inside_labels(tmp_path):
    path = tmp_path / "nul.nwk"
    path.write_bytes(b"((A\x00B:1,C:2),(\x00D:3,E\x00:4));\n")
    tree_set = treetally.TreeSet(str(path))
    assert tree_set.taxa() == ["A\x00B", "C", "\x00D", "E\x00"]
    names = ("A\x00B", "C", "\x00D", "E\x00")
    assert tree_set[0].retrieve_quartet_type(names) == 0
    assert tree_set.tally_single_quartet(names) == [1, 0, 0]
    with pytest.raises(BaseException, match="Taxon not found"):
        tree_set.tally_single_quartet(("A", "C", "\x00D", "E\x00"))  # no match up to the NUL


BAD_SEQUENCES = {
    "lone continuation": b"\x80",
    "overlong slash": b"\xc0\xaf",
    "surrogate": b"\xed\xa0\x80",
    "above U+10FFFF": b"\xf4\x90\x80\x80",
    "truncated at line end": b"\xe6\x97",
}


@pytest.mark.parametrize("bad", BAD_SEQUENCES.values(), ids=BAD_SEQUENCES.keys())
@pytest.mark.parametrize("line", [0, 1, 2], ids=["first line", "middle line", "last line"])
def test_invalid_utf8_on_any_line(tmp_path, line, bad):
    lines = [b"((A,B),C);", b"((A,C),B);", b"((B,C),A);"]
    lines[line] += bad  # after the ";": never read as a tree, still checked as text
    path = tmp_path / "bad.nwk"
    path.write_bytes(b"\n".join(lines) + b"\n")
    assert panic_message(str(path)) == ERROR_READING


DOCUMENTED_LOAD_FAILURES = {("PanicException", ERROR_READING), ("PanicException", BAD_LENGTH)}


@pytest.mark.parametrize("alphabet", ["bytes", "newick"])
@pytest.mark.parametrize("seed", range(4))
def test_random_data(tmp_path, seed, alphabet):
    rng = random.Random(seed)
    if alphabet == "bytes":
        data = bytes(rng.getrandbits(8) for _ in range(200_000))
    else:  # valid UTF-8 made of what the reader reacts to, so it gets past the line check
        data = "".join(rng.choice("(),:;[] \t\r\nAB1.e-") for _ in range(200_000)).encode()
    path = tmp_path / "random.nwk"
    path.write_bytes(data)
    try:
        tree_set = treetally.TreeSet(str(path))
    except BaseException as error:
        assert (type(error).__name__, str(error)) in DOCUMENTED_LOAD_FAILURES
        return
    assert len(tree_set) == data.count(b"\n") + (not data.endswith(b"\n"))


def test_a_one_megabyte_taxon_name(tmp_path):
    name = "N" * (1 << 20)
    path = tmp_path / "long-name.nwk"
    path.write_text(f"(({name},B),(C,D),E);\n")
    tree_set = treetally.TreeSet(str(path))
    assert tree_set.taxa()[0] == name
    assert tree_set[0].retrieve_quartet_type((name, "B", "C", "D")) == 0
    assert tree_set.tally_single_quartet((name, "B", "C", "D")) == [1, 0, 0]


@pytest.mark.parametrize(
    "length,expected",
    [
        ("1" * 100_000, float("inf")),
        ("0." + "0" * 100_000 + "1", 0.0),
        ("1e999999999999999999999", float("inf")),
        ("1e-999999999999999999999", 0.0),
    ],
    ids=["100k digits", "100k-digit fraction", "huge exponent", "huge negative exponent"],
)
def test_extreme_branch_lengths(tmp_path, length, expected):
    path = tmp_path / "lengths.nwk"
    path.write_text(f"(A:{length},B:0,C:0,D:0,E:0);\n")
    distances = treetally.TreeSet(str(path))[0].retrieve_all_pairs_distance(tuple("ABCDE"))
    assert distances[0] == expected


# --- paths -----------------------------------------------------------------------------------


def test_directory_as_path(tmp_path):
    # A directory opens for reading on Linux; the first read is what fails.
    assert panic_message(str(tmp_path)) == ERROR_READING


def test_empty_path():
    assert panic_message("") == COULD_NOT_READ


UNREADABLE_CHILD = textwrap.dedent(
    """
    import os, sys
    import treetally
    os.setgid(65534)
    os.setuid(65534)
    try:
        treetally.TreeSet(sys.argv[1])
    except BaseException as error:
        print(type(error).__name__, str(error))
    """
)


@pytest.mark.skipif(os.name != "posix", reason="permission bits")
def test_file_without_read_permission():
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        path = os.path.join(folder, "secret.nwk")
        with open(path, "w") as handle:
            handle.write("((A,B),C);\n")
        os.chmod(path, 0)
        if os.geteuid() != 0:
            assert panic_message(path) == COULD_NOT_READ
            return
        # Root reads whatever the permission bits say; an unprivileged child cannot.
        done = subprocess.run(
            [sys.executable, "-c", UNREADABLE_CHILD, path],
            capture_output=True,
            text=True,
            timeout=CHILD_TIMEOUT,
            cwd="/",
        )
        if "ModuleNotFoundError" in done.stderr or "PermissionError" in done.stderr:
            pytest.skip("the module is not importable by an unprivileged user here")
        assert done.stdout.strip() == f"PanicException {COULD_NOT_READ}", done.stderr
    finally:
        os.chmod(os.path.join(folder, "secret.nwk"), 0o600)
        os.remove(os.path.join(folder, "secret.nwk"))
        os.rmdir(folder)


@pytest.mark.skipif(os.name != "posix", reason="byte-string file names")
@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "pathlib.Path"])
def test_non_utf8_path_through_surrogate_escapes(tmp_path, make_path):
    raw = os.path.join(os.fsencode(str(tmp_path)), b"gene-\xe9\xff.nwk")
    with open(raw, "wb") as handle:
        handle.write(b"((A,B),(C,D));\n")
    decoded = os.fsdecode(raw)
    assert "\udce9" in decoded and "\udcff" in decoded
    assert treetally.TreeSet(make_path(decoded)).taxa() == ["A", "B", "C", "D"]
    missing = os.fsdecode(os.path.join(os.fsencode(str(tmp_path)), b"absent-\xff.nwk"))
    assert panic_message(make_path(missing)) == COULD_NOT_READ


@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "pathlib.Path"])
@pytest.mark.parametrize("name", ["\ud800", "trees-\udfff.nwk"], ids=["high", "low"])
def test_path_with_no_byte_form_cannot_be_read(tmp_path, make_path, name):
    # Neither UTF-8 nor the file system encoding can spell a lone surrogate outside the
    # surrogate-escape range, so no file has that name.
    assert panic_message(make_path(os.path.join(str(tmp_path), name))) == COULD_NOT_READ


# --- endless lines through the package and the command --------------------------------------------

COMMAND = pathlib.Path(sys.executable).parent / "treetally"
TWO_GIB = 2 << 30


def _address_space_of_two_gib():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (TWO_GIB, TWO_GIB))


def _zeros_gzip(path, mebibytes):
    import gzip

    zeros = bytes(1 << 20)
    with gzip.open(path, "wb", compresslevel=1) as packed:
        for _ in range(mebibytes):
            packed.write(zeros)
    return path


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer needs unlimited address space"
)
@pytest.mark.parametrize("source", ["/dev/zero", "gzip of zeros"])
@pytest.mark.parametrize("command", [["info"], ["check"], ["quartet", "A", "B", "C", "D"]])
def test_an_endless_line_is_refused_by_its_number_under_two_gib(tmp_path, source, command):
    if source != "/dev/zero":
        source = _zeros_gzip(tmp_path / "zeros.gz", 300)  # past the cap of 256 MiB
    done = subprocess.run(
        [str(COMMAND), command[0], str(source), *command[1:]],
        capture_output=True, timeout=CHILD_TIMEOUT, preexec_fn=_address_space_of_two_gib,
    )  # fmt: skip
    stderr = done.stderr.decode()
    assert done.returncode == 1, stderr
    assert stderr == f"treetally: error: cannot read {source}: line 1 is longer than 256 MiB: is this one tree per line?\n"


@pytest.mark.parametrize("form", ["file", "gzip", "stream", "strings"])
def test_the_package_refuses_a_line_past_its_cap_naming_the_line(tmp_path, monkeypatch, form):
    import gzip
    import io

    from treetally_tools import TreeFileError, load_trees, sources

    monkeypatch.setattr(sources, "MAX_LINE_BYTES", 100)
    lines = ["(A,B,C,D);", "", "(" + "x" * 100 + ",B);", "(A,B);"]
    text = "".join(line + "\n" for line in lines)
    source = {
        "file": lambda: tmp_path / "trees.nwk",
        "gzip": lambda: tmp_path / "trees.gz",
        "stream": lambda: io.BytesIO(text.encode()),
        "strings": lambda: lines,
    }[form]()
    (tmp_path / "trees.nwk").write_text(text)
    (tmp_path / "trees.gz").write_bytes(gzip.compress(text.encode()))
    with pytest.raises(TreeFileError, match=r": line 3 is longer than 100 bytes: is this one tree per line\?$"):
        load_trees(source)
    # At the cap itself the line loads.
    monkeypatch.setattr(sources, "MAX_LINE_BYTES", len(lines[2]))
    assert len(load_trees(tmp_path / "trees.nwk")) == 4


@pytest.mark.parametrize("spare", [0, -1])
def test_the_sharder_the_line_check_and_the_loader_agree_on_the_cap(tmp_path, monkeypatch, spare):
    from treetally_tools import TreeFileError, check, sharding, sources

    line = "((A,B),(C,D));"
    path = tmp_path / "trees.nwk"
    path.write_text(f"{line}\r\n{line}\n")  # a carriage return counts, the line feed does not
    cap = len(line) + 1 + spare
    for module in (sources, sharding, check):
        monkeypatch.setattr(module, "MAX_LINE_BYTES", cap)
    readers = [
        lambda: sources.load_trees(path), lambda: list(sharding.numbered_shards(path, 1)),
        lambda: check.check_source(path),
    ]  # fmt: skip
    for read in readers:
        if spare == 0:
            read()
        else:
            with pytest.raises(TreeFileError, match=f"line 1 is longer than {cap} bytes"):
                read()
