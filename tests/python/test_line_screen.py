"""surely_clean and walked_problems, kept for their callers now that one reader finds every
problem: a line called clean has no problem (random trees with random damage), the usual shapes
of real files are clean, and lines checked chunk by chunk are those checked whole."""

import random

import pytest

from treetally_tools.check import LineCheck, check_counted, surely_clean, walked_problems


def random_tree(rng):
    nodes = [f"T{k}" for k in range(rng.randint(1, 7))]
    while len(nodes) > 1:
        children = [nodes.pop(rng.randrange(len(nodes))) for _ in range(min(len(nodes), rng.choice([2, 3])))]
        children = [f"{child}:{rng.choice(['1', '0.5', '1e-3', '', '.5', 'inf', '-2'])}" for child in children]
        nodes.append(f"({','.join(children)}){rng.choice(['', '90', '0.5', ' x'])}")
    return nodes[0] + ";"


@pytest.mark.parametrize("seed", range(4))
def test_a_line_called_clean_has_no_problem(seed):
    rng = random.Random(seed)
    damage = "()),,:;AB 1.e-\t\r[]x'"
    clean = 0
    for _ in range(20000):
        line = random_tree(rng)
        for _ in range(rng.randint(0, 2)):
            at = rng.randrange(len(line) + 1)
            line = rng.choice([line[:at] + rng.choice(damage) + line[at:], line[:at] + line[at + 1 :]])
        if rng.random() < 0.1:
            line = line.replace("T1", "T2")
        if surely_clean(line):
            clean += 1
            assert walked_problems(line) == [], line
    assert clean > 5000  # the scan does spare the walk


@pytest.mark.parametrize(
    "line",
    [
        "((A:0.1,B:0.2)100:0.3,(C:1e-06,D:2E+3)0.99:0.5);",
        "(A,B,(C,D)x:0.5);\r",
        "((Smilax bona-nox:0.1,B_c):0,'C':1,D:-0);  ",
    ],
)
def test_usual_shapes_are_clean_without_a_walk(line):
    assert surely_clean(line) and walked_problems(line) == []


@pytest.mark.parametrize("seed", range(3))
def test_chunks_split_anywhere_give_the_lines_checked_whole(seed):
    rng = random.Random(seed)
    lines = [random_tree(rng) + rng.choice(["", " ;x", ")"]) for _ in range(200)]
    data = ("\r\n" if seed == 1 else "\n").join(lines).encode() + rng.choice([b"", b"\n", b"\xff\n"])
    checking = LineCheck()
    at = 0
    while at < len(data):
        step = rng.randint(0, 40)
        checking.feed(data[at : at + step])
        at += step
    assert checking.finish() == check_counted(data.splitlines(keepends=True))
