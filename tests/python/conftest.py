"""Fixtures shared by the Python tests of treetally."""

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
