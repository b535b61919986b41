# Imports of the optional packages, each tied to the extra of treetally that installs it, so
# that a missing one is reported as an install command rather than a bare ImportError.
"""Optional dependencies, imported only when a feature needs them."""

from __future__ import annotations

import importlib
from typing import Any

from .errors import MissingExtraError

# Top-level module -> the extra that installs it.
EXTRA_OF = {
    "pandas": "pandas",
    "numpy": "pandas",
    "matplotlib": "plot",
    "distributed": "dask",
    "dask": "dask",
    "tqdm": "progress",
}


def require(module: str, feature: str) -> Any:
    """The imported `module`, or MissingExtraError naming the extra that `feature` needs."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = EXTRA_OF[module.split(".")[0]]
        raise MissingExtraError(
            f"{feature} needs {module.split('.')[0]}, which is not installed: "
            f'pip install "treetally[{extra}]" (from a clone: pip install ".[{extra}]")'
        ) from error


def available(module: str) -> bool:
    """Whether `module` can be imported."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
