"""Fuzzes the Python API: a TreeSet from fuzzed bytes, then queries with fuzzed names, name
counts, item types and tree ids. Only the documented exceptions may come out; anything else,
or a crash, is a finding.

    python python_api_fuzzer.py SECONDS SEED_DIR [libFuzzer arguments]

Uses atheris when it is installed; otherwise a plain loop of random mutations of the seeds."""

import os
import random
import sys
import time

import treetally

LOAD_FAILURES = {
    'Failed to load tree collection: "Could not read file"',
    'Failed to load tree collection: "Error reading file"',
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }",
}
METHODS = [
    # (receiver, method, names it takes)
    ("set", "tally_single_quintet", 5),
    ("set", "tally_single_quartet", 4),
    ("set", "coalesence_times_by_topology", 5),
    ("tree", "retrieve_quintet_type", 5),
    ("tree", "retrieve_quartet_type", 4),
    ("tree", "retrieve_all_pairs_distance", 5),
]


class Finding(Exception):
    pass


class Steering:
    """Choices drawn from the steering bytes, cycling through them; all-low when there are
    none."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def int_in_range(self, low, high):
        if not self.data:
            return low
        value = self.data[self.at % len(self.data)]
        self.at += 1
        return low + value % (high - low + 1)

    def text(self, surrogates):
        raw = bytes(self.int_in_range(0, 255) for _ in range(self.int_in_range(0, 8)))
        return raw.decode("utf-8", "surrogateescape" if surrogates else "replace")


def split_input(data):
    """Byte 0 gives the number of steering bytes that follow it; the rest is the tree file."""
    if not data:
        return Steering(b""), b""
    count = data[0] % 64
    return Steering(data[1 : 1 + count]), data[1 + count :]


def load(data):
    """TreeSet from `data` written to an in-memory file, or None after a documented failure."""
    fd = os.memfd_create("python_api_fuzz")
    try:
        os.write(fd, data)
        try:
            return treetally.TreeSet(f"/proc/self/fd/{fd}")
        except BaseException as error:
            if type(error).__name__ == "PanicException" and str(error) in LOAD_FAILURES:
                return None
            if isinstance(error, MemoryError):
                return None
            raise Finding(f"TreeSet raised {error!r}") from error
    finally:
        os.close(fd)


def pick_name(steer, taxa):
    choice = steer.int_in_range(0, 9)
    if taxa and choice < 7:
        return taxa[steer.int_in_range(0, len(taxa) - 1)]
    if choice == 7:
        return steer.text(surrogates=True)
    if choice == 8:
        return [None, 5, b"A", 1.5][steer.int_in_range(0, 3)]
    return steer.text(surrogates=False)


def expected_failure(error, names, count, tree_count, tree_id, taxa):
    """Whether `error` is what the documentation promises for these arguments: the length
    first, then each item's conversion in order, then the lookups in order, then the id."""
    kind = type(error).__name__
    if len(names) != count:
        return kind == "ValueError"
    for name in names:
        if not isinstance(name, str):
            return kind == "TypeError"
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            return kind == "UnicodeEncodeError"
    if any(name not in taxa for name in names):
        return kind == "PanicException" and str(error) == "Taxon not found"
    if tree_id is not None and tree_id >= tree_count:
        return kind == "PanicException" and str(error).startswith("index out of bounds")
    return False


def check_result(method, result):
    if method in ("tally_single_quintet", "tally_single_quartet"):
        ok = isinstance(result, list) and len(result) == (15 if "quintet" in method else 3)
    elif method == "coalesence_times_by_topology":
        ok = isinstance(result, list) and len(result) == 165
    elif method == "retrieve_quintet_type":
        ok = result is None or result in range(15)
    elif method == "retrieve_quartet_type":
        ok = result is None or result in range(3)
    else:
        ok = result is None or (isinstance(result, list) and len(result) == 10)
    if not ok:
        raise Finding(f"{method} returned {result!r}")


def test_one_input(data):
    steer, file_bytes = split_input(data)
    tree_set = load(file_bytes)
    if tree_set is None:
        return
    taxa = tree_set.taxa()
    tree_count = len(tree_set)
    for _ in range(steer.int_in_range(1, 8)):
        receiver, method, count = METHODS[steer.int_in_range(0, len(METHODS) - 1)]
        size = count + {0: -1, 1: 1}.get(steer.int_in_range(0, 9), 0)
        names = tuple(pick_name(steer, taxa) for _ in range(size))
        tree_id = None
        target = tree_set
        if receiver == "tree":
            tree_id = steer.int_in_range(0, tree_count + 2)
            if steer.int_in_range(0, 15) == 0:
                tree_id = [-1, 2**64, 2**70][steer.int_in_range(0, 2)]
            try:
                target = tree_set[tree_id]
            except OverflowError:
                if 0 <= tree_id < 2**64:
                    raise Finding(f"indexing with {tree_id} raised OverflowError")
                continue
        try:
            result = getattr(target, method)(names)
        except BaseException as error:
            if not expected_failure(error, names, count, tree_count, tree_id, taxa):
                raise Finding(f"{method}{names!r} on tree {tree_id} raised {error!r}") from error
            continue
        check_result(method, result)


def seeds_in(folder):
    if not os.path.isdir(folder):
        return []
    out = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as handle:
            out.append(handle.read())
    return out


def random_loop(seconds, seeds):
    """Mutates the seeds at random until the time is up; prints what it ran."""
    rng = random.Random(int(os.environ.get("FUZZ_SEED", "1")))
    pool = list(seeds) or [b""]
    runs = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(pool))
        for _ in range(rng.randint(1, 8)):
            action = rng.randrange(4)
            at = rng.randint(0, len(data))
            if action == 0:
                data[at:at] = bytes([rng.getrandbits(8)])
            elif action == 1 and data:
                del data[min(at, len(data) - 1)]
            elif action == 2:
                data[at:at] = rng.choice(pool)[: rng.randint(0, 64)]
            else:
                data[at:at] = rng.choice([b"(", b")", b",", b":", b";", b"\n", b"[", b"]"])
        try:
            test_one_input(bytes(data))
        except Finding:
            with open("python_api-finding.bin", "wb") as handle:
                handle.write(bytes(data))
            raise
        runs += 1
        if runs % 64 == 0:
            pool.append(bytes(data))
            del pool[: max(0, len(pool) - 512)]
    print(f"python_api (random loop): {runs} runs in {seconds} s, no finding")


def main():
    seconds, seed_dir = int(sys.argv[1]), sys.argv[2]
    try:
        import atheris
    except ImportError:
        print("atheris is not installed: running the plain random loop instead")
        random_loop(seconds, seeds_in(seed_dir))
        return
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    work = os.path.join(root, "build", "fuzz", "work", "python_api")
    os.makedirs(work, exist_ok=True)
    args = [sys.argv[0], work, seed_dir, f"-max_total_time={seconds}", "-print_final_stats=1"]
    # Coverage comes from this harness's own Python code; the module is not instrumented.
    atheris.instrument_all()
    atheris.Setup(args + sys.argv[3:], test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
