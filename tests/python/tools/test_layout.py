"""Where the package is imported from: an interpreter or notebook started in a clone's root must
find the package with its native engine, never a source folder without it that shadows it."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[3]


def test_the_package_and_its_engine_import_from_the_repository_root():
    probe = "import treetally_tools._engine; from treetally_tools import load_trees"
    found = subprocess.run([sys.executable, "-c", probe], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert found.returncode == 0, found.stderr
