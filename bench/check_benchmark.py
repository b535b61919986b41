"""The line check beside a load: seconds of load_trees(path), of load_checked(path) (what
`info` runs: the same load with each line's problems reported by the reader as it reads) and of
check_source(path) (what `check` runs: the reading alone, nothing indexed), as ratios to the
load. Goals, on files whose lines have no problem: the check in the load costs at most half a
load more, and the check alone at most a load. A line with a problem costs more (its detail is
written and handed over): the fungi file has a repeated taxon on most lines.

    python bench/check_benchmark.py [FILE ...]    # default: the plain files of ../shared/data
"""

import gzip
import shutil
import sys
import tempfile
from pathlib import Path

from treetally_tools import check, load_trees

from timing import best_seconds

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"
REPEATS = 5


def plain_copies(folder):
    """The data files, the gzip ones unpacked into `folder` (timing counts one thread: a
    compressed file is decompressed on another)."""
    for path in sorted(DATA.glob("*.tre*")):
        if path.suffix == ".gz":
            unpacked = Path(folder) / path.stem
            with gzip.open(path, "rb") as packed, open(unpacked, "wb") as out:
                shutil.copyfileobj(packed, out)
            yield unpacked
        else:
            yield path


def measure(path):
    load = best_seconds(lambda: load_trees(path), REPEATS)
    checked = best_seconds(lambda: check.load_checked(path), REPEATS)
    alone = best_seconds(lambda: check.check_source(path), REPEATS)
    return load, checked / load, alone / load


def main(paths):
    with tempfile.TemporaryDirectory() as folder:
        paths = [Path(path) for path in paths] or list(plain_copies(folder))
        print("file | MB | load s | load+check / load | check / load")
        for path in paths:
            load, checked, alone = measure(path)
            size = path.stat().st_size / 1e6
            print(f"{path.name} | {size:.1f} | {load:.3f} | {checked:.2f} | {alone:.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
