# The `treetally` command: each subcommand loads one tree file (a path, a compressed file or
# standard input), asks the module, and prints a labelled result as text, CSV or JSON. Every
# failure ends as one line on standard error and an exit status (README, "The command"): 1 for
# input that cannot be read or gives no answer, 2 for a usage error, 3 for lack of memory, 4 for
# output that cannot be written; Ctrl-C, SIGTERM, SIGHUP and a closed pipe end the process by their signal
# once the work has unwound; a fault of the package itself shows its traceback and exits 70.
"""treetally: quartet and quintet topologies of gene-tree files, from the command line."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import signal
import sys
import threading
import traceback
import warnings
from pathlib import Path
from types import FrameType
from typing import (
    IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, TextIO, Type, Union, cast,
)  # fmt: skip

from . import _engine
from ._extras import require
from .adjust import METHODS as ADJUST_METHODS
from .check import check_source, load_checked, summary
from .coalescent import SpeciesQuartet
from .errors import (
    MissingExtraError, OutputError, TaxonNotFoundError, TreeFileError, TreeReadError, UndefinedDistanceError,
    UsageError,
)  # fmt: skip
from .exports import WRITERS as EXPORT_WRITERS
from .exports import write_export
from .output import (
    FORMATS, aligned_line, encodable, p_value_text, printable, shown_name, text_value, write_json, write_records,
)  # fmt: skip
from .plots import FORMATS as PLOT_FORMATS
from .plots import MAX_DPI
from .plots import plot_quartet_concordance, plot_quartet_simplex, plot_quintet_frequencies, plot_time_table
from .sources import describe, load_trees
from .species_columns import SpeciesTree
from .species_tree import species_tree_of
from .tables import MAX_JOBS, Columns, TopologyTable, extra_cell_text, flat_columns
from .tallies import tally, time_table

if TYPE_CHECKING:
    import treetally

PROGRAM = "treetally"
# Exit statuses, as the README's command section lists them.
READ_ERROR = 1
USAGE_ERROR = 2
MEMORY_ERROR = 3
WRITE_ERROR = 4
INTERNAL_ERROR = 70  # EX_SOFTWARE of sysexits.h: a fault of treetally, not of its input
# The exit status of each class of failure: the first class of an error's MRO found here
# decides. Any other failure is a fault of the package (INTERNAL_ERROR), save an OSError that
# says memory ran out (ENOMEM), which ends as MEMORY_ERROR.
_EXIT_STATUSES: Dict[type, int] = {
    UsageError: USAGE_ERROR,  # UnknownTaxonError among them
    MissingExtraError: USAGE_ERROR,
    TaxonNotFoundError: USAGE_ERROR,  # the engine's, should a name reach it unchecked
    TreeFileError: READ_ERROR,
    TreeReadError: READ_ERROR,  # the engine's, should a load reach the command unreported
    UndefinedDistanceError: READ_ERROR,  # input that gives no answer
    OutputError: WRITE_ERROR,
    MemoryError: MEMORY_ERROR,
}
# Signals that end the command the way they end any program, once its work has unwound, so that
# the shell reports 128 + the signal's number: 129 SIGHUP, 130 Ctrl-C, 141 SIGPIPE, 143 SIGTERM.
_ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGPIPE, signal.SIGTERM)


class _Parser(argparse.ArgumentParser):
    """argparse, with an error as one line (the usage stays behind --help)."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def print_help(self, file: Optional[IO[str]] = None) -> None:
        # Written here: argparse of newer Pythons drops a failed write, and --help to a full
        # disk would succeed.
        (file or sys.stdout).write(self.format_help())


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


def _jobs(text: str) -> int:
    """A thread count from 0 (one per core) to MAX_JOBS."""
    value = _positive(text)
    if value > MAX_JOBS:
        raise argparse.ArgumentTypeError(f"{text!r} is more than {MAX_JOBS}")
    return value


def _dpi(text: str) -> int:
    """A resolution from 1 to MAX_DPI: a finer one would take gigabytes to draw."""
    value = _positive(text)
    if not 1 <= value <= MAX_DPI:
        raise argparse.ArgumentTypeError(f"{text!r} is not between 1 and {MAX_DPI}")
    return value


class _Version(argparse.Action):
    """--version: the installed version, read from the package metadata only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **_: Any) -> None:
        super().__init__(option_strings, dest, default=argparse.SUPPRESS, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> NoReturn:
        from . import __version__

        sys.stdout.write(f"{parser.prog} {__version__}\n")
        parser.exit()


def _name(text: str) -> str:
    """A taxon name as typed: tree files are UTF-8, so the bytes of an argument that the locale
    could not decode (a C locale turns "f\u20ac" into surrogate escapes) are read as UTF-8."""
    if text.isascii():
        return text
    try:
        return os.fsencode(text).decode("utf-8")
    except UnicodeError:
        return text


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if value != value:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number")
    return value


def _file_and_format(parser: argparse.ArgumentParser, formats: Sequence[str] = FORMATS) -> None:
    _file(parser)
    parser.add_argument("--format", choices=formats, default="text", help="output format (default: text)")


def _file(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "file", metavar="FILE", help="one Newick tree per line; gzip, bzip2 or xz; - for standard input"
    )


def _collapse_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--collapse-length", type=_number, metavar="EPS",
        help="internal branches of length EPS or less count as polytomies (a branch without a length has 0)",
    )  # fmt: skip
    parser.add_argument(
        "--min-support", type=_number, metavar="S",
        help="read the label after each internal node's ')' as its support; branches below S count as polytomies",
    )  # fmt: skip


def _jobs_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--jobs", type=_jobs, default=1, metavar="N",
        help=f"threads to count in, 0 to {MAX_JOBS} (0: one per core; more than the cores count as the cores; "
        "default 1)",
    )  # fmt: skip


def _collapse_keywords(arguments: argparse.Namespace) -> Dict[str, Optional[float]]:
    return {"collapse_length": arguments.collapse_length, "min_support": arguments.min_support}


def _plot_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--plot", type=_plot_path, metavar="PATH", help=f"also draw {what} (.png, .pdf or .svg)")
    parser.add_argument(
        "--dpi", type=_dpi, default=200, help=f"resolution of a PNG plot, 1 to {MAX_DPI} (default: 200)"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROGRAM,
        description="Quartet and quintet topology tallies of gene-tree files (one Newick tree per line).",
        epilog="Codes are relative to the order of the names given: slot k is the k-th name.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    info = commands.add_parser("info", help="trees, taxa, and how many trees hold each taxon")
    _file_and_format(info)
    info.set_defaults(run=run_info)

    check = commands.add_parser(
        "check",
        help="problems in the lines of a tree file, which the reader passes over silently",
        description="One line per problem (line number, kind, where), then a summary: empty lines, lines that "
        "are not UTF-8, branch lengths that are not numbers, unbalanced brackets, text after ';', a missing ';', "
        "lines without taxa, a taxon on two leaves of one tree. Exit status 1 when anything was found.",
    )
    _file_and_format(check)
    check.set_defaults(run=run_check)

    quartet = commands.add_parser("quartet", help="the tally of the 3 quartet topologies of four taxa")
    _file_and_format(quartet)
    quartet.add_argument("names", nargs=4, metavar="NAME", type=_name, help="four taxa; their order fixes the codes")
    _collapse_options(quartet)
    quartet.set_defaults(run=run_tally)

    quintet = commands.add_parser("quintet", help="the tally of the 15 quintet topologies of five taxa")
    _file_and_format(quintet)
    quintet.add_argument("names", nargs=5, metavar="NAME", type=_name, help="five taxa; their order fixes the codes")
    _collapse_options(quintet)
    _plot_options(quintet, "the quintet frequencies")
    quintet.add_argument(
        "--species-tree", metavar="TREE", help="for --plot: a file or Newick text (starting with '(') whose quintet is drawn in blue"
    )
    quintet.set_defaults(run=run_tally)

    times = commands.add_parser("times", help="relative path lengths between five taxa, per quintet topology")
    _file_and_format(times)
    times.add_argument("names", nargs=5, metavar="NAME", type=_name, help="five taxa; their order fixes the codes")
    _collapse_options(times)
    _plot_options(times, "the time table")
    times.set_defaults(run=run_times)

    estimate = commands.add_parser(
        "species-tree",
        help="the species tree of the quartet table (QDC), printed as Newick",
        description="The quartet distance consensus (QDC) of the gene trees: every quartet's most frequent "
        "topology votes, the votes make a distance between taxa, and neighbor joining makes an unrooted tree. "
        "--weighted gives WQDC, with internal branch lengths in coalescent units.",
    )
    _file(estimate)
    estimate.add_argument("--weighted", action="store_true", help="WQDC: with internal lengths (coalescent units)")
    estimate.add_argument(
        "--taxa", nargs="+", metavar="NAME", type=_name, help="the taxa of the tree (default: every taxon of the file)"
    )
    _jobs_option(estimate)
    estimate.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    _collapse_options(estimate)
    estimate.set_defaults(run=run_species_tree)

    table = commands.add_parser(
        "table",
        help="every quartet or quintet of the taxa, with counts (and coalescent tests for quartets)",
        description="Every quartet (--size 4) or quintet (--size 5) of the taxa with its counts, the trees that "
        "hold all its taxa, the unresolved ones and each topology's concordance; for quartets also the "
        "chi-square tests that the two minor topologies are equally frequent (1 df) and that all three are (star "
        "tree, 2 df).",
    )
    _file_and_format(table, FORMATS + tuple(EXPORT_WRITERS))
    table.add_argument("--size", type=int, choices=(4, 5), required=True, help="4 for quartets, 5 for quintets")
    table.add_argument(
        "--taxa", nargs="+", metavar="NAME", type=_name, help="the taxa to combine (default: every taxon of the file)"
    )
    _jobs_option(table)
    table.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    _collapse_options(table)
    _plot_options(table, "the concordance of the species tree's quartets against the coalescent expectation")
    table.add_argument(
        "--species-tree", metavar="TREE",
        help="--size 4: a file or Newick text (starting with '('), branch lengths in coalescent units; adds the "
        "species tree's columns (and serves --plot); of a file, the first tree serves",
    )  # fmt: skip
    table.add_argument(
        "--adjust", choices=ADJUST_METHODS,
        help="--size 4: add both tests' p-values adjusted across the table (Holm, or Benjamini-Hochberg)",
    )  # fmt: skip
    table.add_argument(
        "--plot-simplex", type=_plot_path, metavar="PATH",
        help="--size 4: also draw every quartet's concordance factors in the simplex, coloured by the tests",
    )  # fmt: skip
    table.set_defaults(run=run_table)
    return parser


def _names(arguments: argparse.Namespace) -> List[str]:
    names: List[str] = arguments.names
    return names


def run_info(arguments: argparse.Namespace, out: TextIO) -> None:
    name = describe(arguments.file)
    # The lines are checked by the reader that loads them, in the same reading.
    trees, problems, lines = load_checked(arguments.file)
    if problems:
        warnings.warn(f"{name}: {summary(problems, lines)}; `{PROGRAM} check` lists them")
    taxa = trees.taxa()
    total = len(trees)
    records = [
        {"taxon": taxon, "trees": holding, "share": holding / total if total else 0.0}
        for taxon, holding in zip(taxa, _engine.taxon_tree_counts(trees))
    ]
    if arguments.format == "json":
        troubled = len({problem.line_number for problem in problems})
        report = {"file": name, "trees": total, "taxa": len(taxa), "lines_with_problems": troubled}
        write_json(out, {**report, "occupancy": records})
        return
    if arguments.format == "text":
        if total == 0:
            out.write(f"{printable(name)}: no trees (the file is empty)\n")
            return
        out.write(f"{printable(name)}: {total} trees, {len(taxa)} taxa; trees holding each taxon:\n")
        records = [{**record, "taxon": shown_name(taxon)} for record, taxon in zip(records, taxa)]
    write_records(out, arguments.format, ["taxon", "trees", "share"], records)


def run_check(arguments: argparse.Namespace, out: TextIO) -> int:
    name = describe(arguments.file)
    problems, lines = check_source(arguments.file)
    records = [problem._asdict() for problem in problems]
    if arguments.format == "json":
        write_json(out, {"file": name, "lines": lines, "summary": summary(problems, lines), "problems": records})
    elif arguments.format == "csv":
        write_records(out, "csv", ["line_number", "kind", "detail"], records)
    else:
        for problem in problems:
            out.write(f"line {problem.line_number}: {problem.kind}: {problem.detail}\n")
        out.write(f"{printable(name)}: {summary(problems, lines)}\n")
    return READ_ERROR if problems else 0


def _loaded(arguments: argparse.Namespace) -> "treetally.TreeSet":
    """The trees of the command's file, with its collapse options; a file without any tree is
    refused (every taxon would be unknown)."""
    trees = load_trees(arguments.file, quiet=True, **_collapse_keywords(arguments))
    if len(trees) == 0:
        raise TreeFileError(describe(arguments.file), "it holds no trees")
    return trees


def labelled_result(
    compute: Callable[[Any, Sequence[str]], Any], columns: Sequence[str], plot: Callable[..., Any]
) -> Callable[[argparse.Namespace, TextIO], None]:
    """A subcommand that prints `compute(trees, names)` (a labelled tally or time table) and
    draws it with `plot` when asked."""

    def run(arguments: argparse.Namespace, out: TextIO) -> None:
        _plotting_available(arguments)
        highlight = getattr(arguments, "species_tree", None)
        if highlight is not None and arguments.plot is None:
            raise UsageError("--species-tree of quintet marks its topology in --plot; give --plot too")
        species = SpeciesTree(highlight) if highlight is not None else None
        result = compute(_loaded(arguments), _names(arguments))
        if arguments.format == "text":
            out.write(result.to_text() + "\n")
        else:
            write_records(out, arguments.format, columns, result.records())
        if getattr(arguments, "plot", None) is not None:
            options: Dict[str, Any] = {}
            if species is not None:
                code = _quintet_code(species, result.names)
                options = {"highlight": code, "highlight_label": "the species tree's topology"}
            plot(result, arguments.plot, dpi=arguments.dpi, **options)

    return run


def _quintet_code(species: SpeciesTree, names: Sequence[str]) -> Optional[int]:
    """The species tree's quintet code of `names` (None, with a warning, when it leaves them
    unresolved)."""
    species.check_taxa(names)
    code = species.tree.retrieve_quintet_type((names[0], names[1], names[2], names[3], names[4]))
    if code is None:
        warnings.warn("the species tree leaves the quintet unresolved: no topology is marked")
    return code


run_tally = labelled_result(tally, ["code", "topology", "count", "fraction"], plot_quintet_frequencies)
run_times = labelled_result(time_table, ["code", "topology", "share", "pair", "relative_length"], plot_time_table)


def _table_text_writer(table: TopologyTable, out: TextIO) -> Callable[[Sequence[Any]], None]:
    """Writes rows (their values in the order of the table's header, as value_rows gives them)
    as aligned text; the widths follow from the taxa and the number of trees, so that rows are
    written as they come."""
    columns = flat_columns(table.size)
    name_width = max(len(shown_name(taxon)) for taxon in table.taxa)  # as the taxon cells show them
    count_width = len(str(len(table.trees)))
    widths = [max(len(column), name_width if column.startswith("taxon") else count_width) for column in columns]
    widths = [max(width, 5) if column.startswith("concordance") else width for width, column in zip(widths, columns)]
    widths = [max(width, 9) if column.endswith(("_p", "_chi2")) else width for width, column in zip(widths, columns)]
    widths += [max(len(name), 9) for name in table.extras]
    out.write(aligned_line(table.header, widths) + "\n")
    cell_of = [_cell_format(column) for column in columns] + [extra_cell_text(name) for name in table.extras]

    def write(values: Sequence[Any]) -> None:
        out.write(aligned_line([cell(value) for cell, value in zip(cell_of, values)], widths) + "\n")

    return write


def _cell_format(column: str) -> Callable[[Any], str]:
    """How a table column is written as text: taxa shortened as names are in aligned text,
    p-values in three significant digits, chi-square statistics with two decimals, shares with
    three."""
    if column.startswith("taxon"):
        return shown_name
    if column.endswith("_p"):
        return p_value_text
    if column.endswith("_chi2"):
        return lambda value: text_value(value, 2)
    return text_value


def _quartet_options_usable(arguments: argparse.Namespace) -> None:
    """Refuses the options of quartet tables on other tables, and what an export layout or a
    plot cannot use."""
    export = arguments.format in EXPORT_WRITERS
    quartets_only = [
        option
        for option, given in (
            (f"--format {arguments.format}", export), ("--species-tree", arguments.species_tree is not None),
            ("--adjust", arguments.adjust), ("--plot", arguments.plot), ("--plot-simplex", arguments.plot_simplex),
        )  # fmt: skip
        if given
    ]
    if arguments.size != 4 and quartets_only:
        raise UsageError(f"{quartets_only[0]} is for quartet tables: give --size 4")
    if export and arguments.adjust:
        raise UsageError(f"the {arguments.format} layout has no adjusted p-values: write csv or json with --adjust")
    if export and arguments.species_tree is not None and arguments.plot is None:
        raise UsageError(f"the {arguments.format} layout has no species-tree columns: write csv or json")
    if arguments.plot is not None and arguments.species_tree is None:
        raise UsageError("--plot of a table needs --species-tree, the tree whose quartets it draws")
    if arguments.plot is not None or arguments.plot_simplex is not None:
        require("matplotlib", "--plot")


def run_table(arguments: argparse.Namespace, out: TextIO) -> None:
    _quartet_options_usable(arguments)
    species = SpeciesTree(arguments.species_tree) if arguments.species_tree is not None else None
    export = arguments.format in EXPORT_WRITERS
    progress = False if arguments.no_progress else None
    with TopologyTable(
        _loaded(arguments), arguments.size, arguments.taxa, jobs=arguments.jobs, progress=progress, quiet=True,
        species_tree=species, adjust=arguments.adjust,
    ) as table:  # fmt: skip
        columns = None
        if export:
            columns = table.to_columns()
            write_export(arguments.format, table.taxa, columns, out)
        elif arguments.format in ("csv", "json"):
            table.write(out, arguments.format)
        else:
            write = _table_text_writer(table, out)
            for values in table.value_rows():
                write(values)
        if arguments.plot is None and arguments.plot_simplex is None:
            return
        out.flush()  # the table is out before the plots take their time
        columns = columns or table.to_columns()
        if arguments.plot is not None:
            plot_quartet_concordance(_species_quartets(table, columns), arguments.plot, dpi=arguments.dpi)
        if arguments.plot_simplex is not None:
            plot_quartet_simplex(columns, arguments.plot_simplex, adjust=arguments.adjust, dpi=arguments.dpi)


def _species_quartets(table: TopologyTable, columns: Columns) -> List[SpeciesQuartet]:
    """The quartets of the table that its species tree resolves, with their counts, for the
    concordance plot."""
    values = table.species_values(columns)
    taxa = table.taxa
    slots = [columns[f"t{k + 1}"] for k in range(4)]
    counts = [columns[f"count_{code}"] for code in range(3)]
    return [
        SpeciesQuartet((taxa[i0], taxa[i1], taxa[i2], taxa[i3]), code, length, (n0, n1, n2))
        for i0, i1, i2, i3, n0, n1, n2, code, length in zip(
            *(column.tolist() for column in [*slots, *counts, values["species_code"], values["species_length"]])
        )
        if code >= 0
    ]


def run_species_tree(arguments: argparse.Namespace, out: TextIO) -> None:
    progress = False if arguments.no_progress else None
    trees = _loaded(arguments)
    out.write(
        species_tree_of(trees, arguments.taxa, weighted=arguments.weighted, jobs=arguments.jobs, progress=progress)
        + "\n"
    )


def _plotting_available(arguments: argparse.Namespace) -> None:
    if getattr(arguments, "plot", None) is not None:
        require("matplotlib", "--plot")


def _warn_on_one_line(
    message: Union[Warning, str], category: Type[Warning], filename: str, lineno: int,
    file: Optional[IO[str]] = None, line: Optional[str] = None,
) -> None:  # fmt: skip
    _report(f"{PROGRAM}: warning: {message}")


def _report(line: str) -> None:
    """Writes `line` to standard error, control characters escaped; a standard error that is
    closed or gone (a terminal hung up) takes nothing, which must not end the command."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.write(encodable(printable(line) + "\n", sys.stderr))
        sys.stderr.flush()


def _fail(status: int, message: str) -> int:
    _report(f"{PROGRAM}: error: {message}")
    return status


class _Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: raised in the main thread, like KeyboardInterrupt for Ctrl-C,
    so that the work unwinds (a table's threads stop, a feeder's pipe closes, a plot cut short is
    removed) before the process ends by the signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: Optional[FrameType]) -> NoReturn:
    signal.signal(signum, signal.SIG_DFL)  # a second one ends the process at once
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise _Stopped(signum)


@contextlib.contextmanager
def _signals_unwind() -> Iterator[None]:
    """For the block, Ctrl-C, SIGTERM and SIGHUP raise in the main thread (a second one ends
    the process at once); a signal ignored when the command started (under nohup, say) stays
    ignored. The handlers before are back afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if handler in (signal.SIG_IGN, None):
            continue
        previous[signum] = handler
        signal.signal(signum, _stop)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


class _Output:
    """Standard output as the subcommands write to it: a write that fails (a closed or full
    output, an I/O error) is an OutputError naming it; a reader that went away stays a
    BrokenPipeError, which ends the command as SIGPIPE ends other programs. Characters that
    the output's encoding lacks (a name in a C locale) are written as their escapes."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(encodable(text, self._stream))
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError("standard output", error.strerror or str(error)) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError("standard output", error.strerror or str(error)) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def exit_status(error: BaseException) -> int:
    """The exit status that `error` ends the command with (see _EXIT_STATUSES)."""
    for kind in type(error).__mro__:
        status = _EXIT_STATUSES.get(kind)
        if status is not None:
            return status
    if isinstance(error, OSError) and error.errno == errno.ENOMEM:
        return MEMORY_ERROR
    return INTERNAL_ERROR


def _memory_message(error: BaseException, command: Optional[str], source: Optional[str]) -> str:
    """What ran out of memory: the error's own words where it names it (a load, a table, a
    plot), else the subcommand and its file."""
    said = str(error) if isinstance(error, MemoryError) else ""
    if said:
        return said
    what = f"{PROGRAM} {command}" if command else PROGRAM
    return f"not enough memory for {what}" + (f" on {source}" if source else "")


def _parsed(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """The arguments; --help or --version that cannot be written is an OutputError."""
    try:
        return build_parser().parse_args(argv)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputError("standard output", error.strerror or str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status: 0, or one
    of the statuses above, or 128 + N when signal N ended the work (entry_point then ends the
    process by that signal). Warnings are written as one line each while it runs; the
    warnings machinery and the signal handlers are as they were afterwards."""
    if sys.stderr is None:  # standard error closed: reports go nowhere, the status still tells
        sys.stderr = open(os.devnull, "w")
    if sys.stdout is None:
        return _fail(WRITE_ERROR, "cannot write standard output: it is closed")
    command: Optional[str] = None
    source: Optional[str] = None
    with _signals_unwind(), warnings.catch_warnings():
        warnings.showwarning = _warn_on_one_line
        try:
            arguments = _parsed(argv)
            command = arguments.command
            source = describe(arguments.file) if isinstance(getattr(arguments, "file", None), str) else None
            out = _Output(sys.stdout)
            # A run_* function returns an exit status only when it reports through it (check).
            status: Optional[int] = arguments.run(arguments, cast(TextIO, out))
            out.flush()
        except KeyboardInterrupt:
            return _fail(128 + signal.SIGINT, "interrupted")
        except _Stopped as stop:
            return 128 + stop.signum
        except BrokenPipeError:  # the reader of the output went away (`| head`)
            return 128 + signal.SIGPIPE
        except (SystemExit, GeneratorExit):
            raise
        except BaseException as error:  # noqa: B902 - the module's PanicException is a BaseException
            status = exit_status(error)
            if status == MEMORY_ERROR:
                return _fail(status, _memory_message(error, command, source))
            if status != INTERNAL_ERROR:
                return _fail(status, str(error))
            with contextlib.suppress(AttributeError, OSError, ValueError):
                traceback.print_exc()
            return _fail(INTERNAL_ERROR, f"internal error ({type(error).__name__}), a fault of {PROGRAM}: please "
                                         "report it with the traceback above and the command line")  # fmt: skip
    return status or 0


def _end_by_signal(signum: int) -> NoReturn:
    """Ends the process by `signum` with its default action, as it ends programs that do not
    catch it, so that the shell reports 128 + signum (and stops a script's loop on Ctrl-C)."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.flush()
    signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, [signum])
    signal.raise_signal(signum)
    os._exit(128 + signum)  # not reached: the default action of these signals ends the process


def entry_point() -> NoReturn:
    """The `treetally` command: main(), then the end its status calls for. After a failure the
    process ends at once (os._exit, after flushing): a feeder thread may still wait on a silent
    pipe, and the interpreter's shutdown must not wait for it or trip over it."""
    try:
        status = main()
    except SystemExit as leaving:  # argparse: --help, --version, a usage error
        code = leaving.code
        status = code if isinstance(code, int) else (0 if code is None else USAGE_ERROR)
    if status > 128 and status - 128 in _ENDING_SIGNALS:
        _end_by_signal(status - 128)
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        _end_by_signal(signal.SIGPIPE)
    except OSError as error:  # what --help or --version wrote cannot be written
        status = status or _fail(WRITE_ERROR, f"cannot write standard output: {error.strerror or error}")
    if status == 0:
        sys.exit(0)
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.flush()
    os._exit(status)
