# The `treetally` command: each subcommand loads one tree file (a path, a compressed file or
# standard input), asks the module, and prints a labelled result as text, CSV or JSON. Every
# failure ends as one line on standard error and an exit status: 2 for a usage error (an
# unknown taxon among them), 1 for input that cannot be read.
"""treetally: quartet and quintet topologies of gene-tree files, from the command line."""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Callable, List, NoReturn, Optional, Sequence, TextIO, Type, Union

from . import __version__, _engine
from ._extras import require
from .coalescent import compare_with_species_tree
from .errors import MissingExtraError, TreeFileError, UnknownTaxonError
from .output import FORMATS, aligned_line, p_value_text, text_value, write_json, write_records
from .plots import FORMATS as PLOT_FORMATS
from .plots import plot_quartet_concordance, plot_quintet_frequencies, plot_time_table
from .sources import describe, load_trees
from .tables import TableRow, TopologyTable, flat_columns
from .tallies import tally, time_table

if TYPE_CHECKING:
    import treetally

PROGRAM = "treetally"
USAGE_ERROR = 2
READ_ERROR = 1


class UsageError(Exception):
    """Arguments that cannot be acted on; exit status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, with an error as one line (the usage stays behind --help)."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _plot_path(text: str) -> Path:
    path = Path(text)
    if path.suffix.lower() not in PLOT_FORMATS:
        raise argparse.ArgumentTypeError(f"{text!r}: a plot is written as {', '.join(PLOT_FORMATS)}")
    return path


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


def _file_and_format(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "file", metavar="FILE", help="one Newick tree per line; gzip, bzip2 or xz; - for standard input"
    )
    parser.add_argument("--format", choices=FORMATS, default="text", help="output format (default: text)")


def _plot_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--plot", type=_plot_path, metavar="PATH", help=f"also draw {what} (.png, .pdf or .svg)")
    parser.add_argument("--dpi", type=_positive, default=200, help="resolution of a PNG plot (default: 200)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROGRAM,
        description="Quartet and quintet topology tallies of gene-tree files (one Newick tree per line).",
        epilog="Codes are relative to the order of the names given: slot k is the k-th name.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    info = commands.add_parser("info", help="trees, taxa, and how many trees hold each taxon")
    _file_and_format(info)
    info.set_defaults(run=run_info)

    quartet = commands.add_parser("quartet", help="the tally of the 3 quartet topologies of four taxa")
    _file_and_format(quartet)
    quartet.add_argument("names", nargs=4, metavar="NAME", help="four taxa; their order fixes the codes")
    quartet.set_defaults(run=run_tally)

    quintet = commands.add_parser("quintet", help="the tally of the 15 quintet topologies of five taxa")
    _file_and_format(quintet)
    quintet.add_argument("names", nargs=5, metavar="NAME", help="five taxa; their order fixes the codes")
    _plot_options(quintet, "the quintet frequencies")
    quintet.set_defaults(run=run_tally)

    times = commands.add_parser("times", help="relative path lengths between five taxa, per quintet topology")
    _file_and_format(times)
    times.add_argument("names", nargs=5, metavar="NAME", help="five taxa; their order fixes the codes")
    _plot_options(times, "the time table")
    times.set_defaults(run=run_times)

    table = commands.add_parser(
        "table",
        help="every quartet or quintet of the taxa, with counts (and coalescent tests for quartets)",
        description="Every quartet (--size 4) or quintet (--size 5) of the taxa with its counts, the trees that "
        "hold all its taxa, the unresolved ones and each topology's concordance; for quartets also the "
        "chi-square tests that the two minor topologies are equally frequent (1 df) and that all three are (star "
        "tree, 2 df).",
    )
    _file_and_format(table)
    table.add_argument("--size", type=int, choices=(4, 5), required=True, help="4 for quartets, 5 for quintets")
    table.add_argument(
        "--taxa", nargs="+", metavar="NAME", help="the taxa to combine (default: every taxon of the file)"
    )
    table.add_argument("--jobs", type=_positive, default=1, help="threads to count in (0: one per core; default 1)")
    table.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    _plot_options(table, "the concordance of the species tree's quartets against the coalescent expectation")
    table.add_argument(
        "--species-tree", metavar="TREE", help="for --plot: a file or Newick string, branch lengths in coalescent units"
    )
    table.set_defaults(run=run_table)
    return parser


def _names(arguments: argparse.Namespace) -> List[str]:
    names: List[str] = arguments.names
    return names


def run_info(arguments: argparse.Namespace, out: TextIO) -> None:
    trees = load_trees(arguments.file, quiet=True)
    taxa = trees.taxa()
    total = len(trees)
    records = [
        {"taxon": taxon, "trees": holding, "share": holding / total if total else 0.0}
        for taxon, holding in zip(taxa, _engine.taxon_tree_counts(trees))
    ]
    if arguments.format == "json":
        write_json(out, {"file": describe(arguments.file), "trees": total, "taxa": len(taxa), "occupancy": records})
        return
    if arguments.format == "text":
        out.write(f"{describe(arguments.file)}: {total} trees, {len(taxa)} taxa; trees holding each taxon:\n")
    write_records(out, arguments.format, ["taxon", "trees", "share"], records)


def labelled_result(
    compute: Callable[[Any, Sequence[str]], Any], columns: Sequence[str], plot: Callable[..., Any]
) -> Callable[[argparse.Namespace, TextIO], None]:
    """A subcommand that prints `compute(trees, names)` (a labelled tally or time table) and
    draws it with `plot` when asked."""

    def run(arguments: argparse.Namespace, out: TextIO) -> None:
        _plotting_available(arguments)
        result = compute(load_trees(arguments.file, quiet=True), _names(arguments))
        if arguments.format == "text":
            out.write(result.to_text() + "\n")
        else:
            write_records(out, arguments.format, columns, result.records())
        if getattr(arguments, "plot", None) is not None:
            plot(result, arguments.plot, dpi=arguments.dpi)

    return run


run_tally = labelled_result(tally, ["code", "topology", "count", "fraction"], plot_quintet_frequencies)
run_times = labelled_result(time_table, ["code", "topology", "share", "pair", "relative_length"], plot_time_table)


def _table_text_writer(table: TopologyTable, out: TextIO) -> Callable[[TableRow], None]:
    """Writes rows as aligned text; the widths follow from the taxa and the number of trees,
    so that rows are written as they come."""
    columns = flat_columns(table.size)
    name_width = max(len(taxon) for taxon in table.taxa)
    count_width = len(str(len(table.trees)))
    widths = [max(len(column), name_width if column.startswith("taxon") else count_width) for column in columns]
    widths = [max(width, 5) if column.startswith("concordance") else width for width, column in zip(widths, columns)]
    widths = [max(width, 9) if column.endswith(("_p", "_chi2")) else width for width, column in zip(widths, columns)]
    out.write(aligned_line(columns, widths) + "\n")
    cell_of = [_cell_format(column) for column in columns]

    def write(row: TableRow) -> None:
        out.write(aligned_line([cell(value) for cell, value in zip(cell_of, row.flat())], widths) + "\n")

    return write


def _cell_format(column: str) -> Callable[[Any], str]:
    """How a table column is written as text: p-values in three significant digits,
    chi-square statistics with two decimals, shares with three."""
    if column.endswith("_p"):
        return p_value_text
    if column.endswith("_chi2"):
        return lambda value: text_value(value, 2)
    return text_value


def run_table(arguments: argparse.Namespace, out: TextIO) -> None:
    if arguments.plot is not None:
        if arguments.size != 4 or not arguments.species_tree:
            raise UsageError("--plot of a table needs --size 4 and --species-tree")
        require("matplotlib", "--plot")
    species = _species_tree(arguments.species_tree) if arguments.species_tree else None
    progress = False if arguments.no_progress else None
    with TopologyTable(
        arguments.file, arguments.size, arguments.taxa, jobs=arguments.jobs, progress=progress, quiet=True
    ) as table:
        shared = [taxon for taxon in species.taxa() if taxon in set(table.taxa)] if species is not None else []
        if arguments.plot is not None and len(shared) < 4:
            raise UsageError("the species tree shares fewer than four taxa with the table")
        if arguments.format in ("csv", "json"):
            table.write(out, arguments.format)
        else:
            write = _table_text_writer(table, out)
            for row in table:
                write(row)
        if arguments.plot is not None and species is not None:
            quartets = compare_with_species_tree(table.trees, species, shared)
            plot_quartet_concordance(quartets, arguments.plot, dpi=arguments.dpi)


def _species_tree(text: str) -> "treetally.TreeSet":
    """The species tree from a file, or from Newick text when no such file exists."""
    if Path(text).exists() or not text.rstrip().endswith(";"):
        return load_trees(text, quiet=True)
    return load_trees([text], quiet=True)


def _plotting_available(arguments: argparse.Namespace) -> None:
    if getattr(arguments, "plot", None) is not None:
        require("matplotlib", "--plot")


def _warn_on_one_line(
    message: Union[Warning, str], category: Type[Warning], filename: str, lineno: int,
    file: Optional[IO[str]] = None, line: Optional[str] = None,
) -> None:  # fmt: skip
    sys.stderr.write(f"{PROGRAM}: warning: {message}\n")


def _fail(status: int, message: str) -> int:
    sys.stderr.write(f"{PROGRAM}: error: {message}\n")
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    arguments = build_parser().parse_args(argv)
    warnings.showwarning = _warn_on_one_line
    try:
        arguments.run(arguments, sys.stdout)
        sys.stdout.flush()
    except (UsageError, UnknownTaxonError) as error:
        return _fail(USAGE_ERROR, str(error))
    except ValueError as error:
        return _fail(USAGE_ERROR, str(error))
    except (TreeFileError, MissingExtraError) as error:
        return _fail(READ_ERROR, str(error))
    except BrokenPipeError:
        # The reader of the output went away (e.g. `| head`): stop quietly.
        _silence_stdout()
        return READ_ERROR
    except OSError as error:
        return _fail(READ_ERROR, f"{getattr(error, 'filename', None) or 'output'}: {error.strerror or error}")
    except KeyboardInterrupt:
        return _fail(130, "interrupted")
    return 0


def _silence_stdout() -> None:
    import os

    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, sys.stdout.fileno())
    os.close(null)


def entry_point() -> NoReturn:
    sys.exit(main())
