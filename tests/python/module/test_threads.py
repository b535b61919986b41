"""Many Python threads on one TreeSet: the same answers as one thread, SingleTrees freed on
other threads than the one that made them, and no crash while the interpreter switches
threads as often as it can."""

import queue
import random
import sys
import threading

import pytest

import treetally

THREADS = 8
TAXA = [f"T{k}" for k in range(24)]


def random_tree(rng):
    """Newick text of a random binary tree over a random subset of TAXA (built bottom-up)."""
    groups = [f"{name}:{rng.random():.4f}" for name in rng.sample(TAXA, rng.randint(10, 24))]
    while len(groups) > 1:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        groups.append(f"({a},{b}):{rng.random():.4f}")
    return groups[0] + ";"


@pytest.fixture(scope="module")
def tree_set(tmp_path_factory):
    rng = random.Random(8)
    path = tmp_path_factory.mktemp("threads") / "trees.nwk"
    path.write_text("\n".join(random_tree(rng) for _ in range(300)) + "\n")
    return treetally.TreeSet(str(path))


def workload(seed):
    rng = random.Random(seed)
    return [(rng.randrange(300), tuple(rng.sample(TAXA, 5))) for _ in range(100)]


def answers(tree_set, trees, work):
    """Every query kind, on the shared set and on the shared SingleTrees; failures included."""
    out = []
    for tree_id, names in work:
        tree = trees[tree_id]
        out.append(tree_set.tally_single_quartet(names[:4]))
        out.append(tree_set.tally_single_quintet(names))
        out.append(tree_set.coalesence_times_by_topology(names))
        out.append(tree.retrieve_quartet_type(names[:4]))
        out.append(tree.retrieve_quintet_type(names))
        out.append(tree.retrieve_all_pairs_distance(names))
        try:
            tree.retrieve_quintet_type(names[:4] + ("no such taxon",))
        except BaseException as error:
            out.append(str(error))
    return out


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(target, count=THREADS):
    errors = []

    def guarded(k):
        try:
            target(k)
        except BaseException as error:  # PanicException included: report, do not lose it
            errors.append(repr(error))

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a thread hung"
    assert errors == []


def test_threads_sharing_a_tree_set_agree_with_one_thread(tree_set, fast_switching):
    trees = [tree_set[k] for k in range(len(tree_set))]
    expected = [answers(tree_set, trees, workload(k)) for k in range(THREADS)]
    got = [None] * THREADS

    def work(k):
        got[k] = answers(tree_set, trees, workload(k))

    run_threads(work)
    assert got == expected


def test_single_trees_freed_on_other_threads(tree_set, fast_switching):
    # Made here, used and dropped there; made there, dropped here.
    handed_out = queue.Queue()
    handed_back = queue.Queue()
    names = tuple(TAXA[:5])
    for k in range(2000):
        handed_out.put(tree_set[k % len(tree_set)])
    for _ in range(THREADS):
        handed_out.put(None)

    def work(k):
        while True:
            tree = handed_out.get()
            if tree is None:
                break
            tree.retrieve_all_pairs_distance(names)
            del tree
            handed_back.put((k, tree_set[k]))

    run_threads(work)
    expected = [tree_set[k].retrieve_all_pairs_distance(names) for k in range(THREADS)]
    back = [handed_back.get_nowait() for _ in range(handed_back.qsize())]
    assert len(back) == 2000
    assert all(tree.retrieve_all_pairs_distance(names) == expected[k] for k, tree in back)
    del back  # the last of them freed here, on the main thread


def test_tree_sets_built_and_dropped_in_threads(tmp_path, fast_switching):
    # Each thread loads its own set, takes trees from it, drops the set first and the trees
    # last; the last holder, on whichever thread, frees the shared data.
    path = tmp_path / "small.nwk"
    path.write_text("((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);\n(((A,B),C),(D,E));\n")
    expected = treetally.TreeSet(str(path))[0].retrieve_all_pairs_distance(tuple("ABCDE"))
    shared = []

    def work(k):
        for _ in range(200):
            tree_set = treetally.TreeSet(str(path))
            tree = tree_set[0]
            del tree_set
            assert tree.retrieve_all_pairs_distance(tuple("ABCDE")) == expected
            shared.append(tree)
            if len(shared) > 16:
                shared.pop(0)
            try:
                treetally.TreeSet(str(path) + ".absent")
            except BaseException as error:
                assert type(error).__name__ == "PanicException"

    run_threads(work)
