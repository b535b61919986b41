# `python -m treetally_tools` runs the treetally command.
from .cli import entry_point

entry_point()
