"""Fixtures shared by the Python tests of treetally.

module/ tests the treetally module alone, tools/ the treetally_tools package. pytest puts this
folder on sys.path (the folder of a conftest.py outside any package), so the tests of both
import the helpers beside this file: reference (the plain-Python model) and random_tree_files.
Test file names are unique across both folders, as that import mode requires."""

from pathlib import Path

import pytest


@pytest.fixture
def write_trees(tmp_path):
    """Returns a function that writes tree text (str or bytes) to a file in tmp_path."""

    def write(text, name="trees.nwk"):
        path = tmp_path / name
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return path

    return write


# The shared gene-tree files beside the repository (../shared/data), else /work/shared/data.
_SHARED_CANDIDATES = [
    Path(__file__).resolve().parents[2].parent / "shared" / "data",
    Path("/work/shared/data"),
]
SHARED_DATA = next((folder for folder in _SHARED_CANDIDATES if folder.is_dir()), None)


@pytest.fixture
def shared_file():
    """Returns a function giving the path of a shared gene-tree file; skips without them."""

    def find(name):
        if SHARED_DATA is None or not (SHARED_DATA / name).is_file():
            pytest.skip("the shared gene-tree files are not available")
        return SHARED_DATA / name

    return find
