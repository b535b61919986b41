"""Scaling: load time and resident memory as the number of trees grows (fixed tree size) and
as the trees grow (fixed number of trees), on generated files.

Every point is a first load in a fresh interpreter: repeated loads in one process could reuse
memory the allocator kept for a small set but not for a large one, which would bend the
curve."""

from pathlib import Path

from bench_inputs import generated_file
from memory_benchmark import loaded_set_memory


def _point(path, repeats):
    """The fastest of `repeats` first loads, each in its own interpreter."""
    probes = [loaded_set_memory(path) for _ in range(repeats)]
    memory = min(probes, key=lambda probe: probe["first_load_s"])
    seconds = memory["first_load_s"]
    return {
        "bytes": Path(path).stat().st_size,
        "trees": memory["trees"],
        "load_s": seconds,
        "resident": memory["resident"],
        "peak": memory["peak"],
    }


def _scale(scratch, prefix, shapes, repeats, log):
    """Load time and memory of one generated file per (tree count, leaf count) shape."""
    points = []
    for count, leaves in shapes:
        path = generated_file(Path(scratch) / ("%s-%d-x%d.tre" % (prefix, count, leaves)), count, leaves)
        point = _point(path, repeats)
        point.update(tree_count=count, leaf_count=leaves)
        points.append(point)
        log("scaling: %d trees of %d leaves: %.3f s, %.1f MB resident"
            % (count, leaves, point["load_s"], point["resident"] / 1e6))  # fmt: skip
    return points


def scale_tree_count(scratch, tree_counts, leaf_count, repeats, log):
    return _scale(scratch, "count", [(count, leaf_count) for count in tree_counts], repeats, log)


def scale_tree_size(scratch, leaf_counts, tree_count, repeats, log):
    return _scale(scratch, "size", [(tree_count, leaves) for leaves in leaf_counts], repeats, log)
