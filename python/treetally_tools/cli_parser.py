# The command line of `treetally`: its name, its exit statuses, and the argparse parser of its
# subcommands with their option types and help texts. The parser only reads the arguments: the
# subcommand chosen is `command`, which the process (cli.py) runs.
"""The argument parser of the treetally command."""

from __future__ import annotations

import argparse
import math
import os
import sys
from pathlib import Path
from typing import IO, Any, NoReturn, Optional, Sequence

from .adjust import METHODS as ADJUST_METHODS
from .exports import WRITERS as EXPORT_WRITERS
from .output import FORMATS
from .plots import FORMATS as PLOT_FORMATS
from .plots import MAX_DPI
from .species_tree import BUILDERS
from .tables import MAX_JOBS, TEST_METHODS

PROGRAM = "treetally"
# Exit statuses, as the README's command section lists them; which failure ends with which is
# the process's table (cli._EXIT_STATUSES).
READ_ERROR = 1
USAGE_ERROR = 2
MEMORY_ERROR = 3
WRITE_ERROR = 4
INTERNAL_ERROR = 70  # EX_SOFTWARE of sysexits.h: a fault of treetally, not of its input


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


def _finite(text: str) -> float:
    """A real number, not infinite or NaN."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
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


def _support_index(text: str) -> int:
    """Which value of a support label, from 1."""
    value = _positive(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not 1 or more: the values of a label count from 1")
    return value


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if value != value:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number")
    return value


def _level(text: str) -> float:
    """A test's level, from 0 to 1."""
    value = _number(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a level from 0 to 1")
    return value


def _network_input(parser: argparse.ArgumentParser, beta: float, what: str) -> None:
    """The options NANUQ and TINNiK share: the tests' levels and the input of the quartets."""
    _file(parser)
    parser.add_argument(
        "--alpha", type=_level, default=0.05,
        help="level of the tree test: a quartet whose p-value is below it is a cycle (default 0.05)",
    )  # fmt: skip
    parser.add_argument(
        "--beta", type=_level, default=beta,
        help=f"level of the star test: a quartet whose p-value is above it is a star (default {beta})",
    )  # fmt: skip
    parser.add_argument(
        "--taxa", nargs="+", metavar="NAME", type=_name, help=f"the taxa of the {what} (default: every taxon of the file)"
    )
    _jobs_option(parser)
    parser.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    _collapse_options(parser)
    _unresolved_option(parser, "both tests")


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
        help="internal branches written with a length of EPS or less count as polytomies (a branch without a length is kept)",
    )  # fmt: skip
    parser.add_argument(
        "--min-support", type=_number, metavar="S",
        help="read the label after each internal node's ')' as its support; branches below S count as polytomies",
    )  # fmt: skip
    parser.add_argument(
        "--support-index", type=_support_index, metavar="K",
        help="with --min-support, the K-th value of a label such as 80/95 (IQ-TREE's SH-aLRT/UFBoot) is the support",
    )  # fmt: skip
    parser.add_argument(
        "--taxon-map", metavar="MAP",
        help="map each gene-tree name (individual, or gene copy: a name a tree repeats) to its species: one "
        "'name<TAB>species' or 'name,species' per line ('#' lines and blank lines skipped); the taxa are then "
        "species, and each tree adds its share of the combinations of one individual per species",
    )  # fmt: skip


def _unresolved_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--unresolved", choices=("drop", "third"), default="drop",
        help="trees that hold a quartet but resolve none of its topologies: left out (drop, the default) or "
        f"counted a third for each topology (third) in {what}; the counts printed stay whole",
    )  # fmt: skip


def _jobs_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--jobs", type=_jobs, default=1, metavar="N",
        help=f"threads to count in, 0 to {MAX_JOBS} (0: one per core; more than the cores count as the cores; "
        "default 1)",
    )  # fmt: skip


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

    check = commands.add_parser(
        "check",
        help="problems in the lines of a tree file, which the reader passes over silently",
        description="One line per problem (line number, kind, where), then a summary: empty lines, lines that "
        "are not UTF-8, branch lengths that are not numbers, unbalanced brackets, text after ';', a missing ';', "
        "lines without taxa, a taxon on two leaves of one tree. Exit status 1 when anything was found.",
    )
    _file_and_format(check)

    quartet = commands.add_parser("quartet", help="the tally of the 3 quartet topologies of four taxa")
    _file_and_format(quartet)
    quartet.add_argument("names", nargs=4, metavar="NAME", type=_name, help="four taxa; their order fixes the codes")
    _collapse_options(quartet)
    _unresolved_option(quartet, "the fractions")

    quintet = commands.add_parser("quintet", help="the tally of the 15 quintet topologies of five taxa")
    _file_and_format(quintet)
    quintet.add_argument("names", nargs=5, metavar="NAME", type=_name, help="five taxa; their order fixes the codes")
    _collapse_options(quintet)
    _plot_options(quintet, "the quintet frequencies")
    quintet.add_argument(
        "--species-tree", metavar="TREE", help="for --plot: a file or Newick text (starting with '(') whose quintet is drawn in blue"
    )

    times = commands.add_parser("times", help="relative path lengths between five taxa, per quintet topology")
    _file_and_format(times)
    times.add_argument("names", nargs=5, metavar="NAME", type=_name, help="five taxa; their order fixes the codes")
    _collapse_options(times)
    _plot_options(times, "the time table")

    estimate = commands.add_parser(
        "species-tree",
        help="the species tree of the quartet table (QDC), printed as Newick",
        description="The quartet distance consensus (QDC) of the gene trees: every quartet's most frequent "
        "topology votes, the votes make a distance between taxa, and balanced minimum evolution (or neighbor "
        "joining) makes an unrooted tree. --weighted gives WQDC, with internal branch lengths in coalescent units.",
    )
    _file(estimate)
    estimate.add_argument("--weighted", action="store_true", help="WQDC: with internal lengths (coalescent units)")
    estimate.add_argument(
        "--builder", choices=BUILDERS, default="fastme",
        help="how the tree is built from the distances: balanced minimum evolution with NNI and SPR moves "
        "(fastme, the default, as MSCquartets builds it) or neighbor joining (nj)",
    )  # fmt: skip
    estimate.add_argument(
        "--taxa", nargs="+", metavar="NAME", type=_name, help="the taxa of the tree (default: every taxon of the file)"
    )
    _jobs_option(estimate)
    estimate.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    _collapse_options(estimate)
    _unresolved_option(estimate, "the votes (QDC) and the internal lengths (WQDC)")

    nanuq = commands.add_parser(
        "nanuq",
        help="the NANUQ splits network of the quartets (NeighborNet on the NANUQ distance)",
        description="Every quartet is a star (star test not rejected at --beta), a cycle (T3 test rejected at "
        "--alpha) or a tree; their quartet distances make the NANUQ distance, and NeighborNet its circular splits. "
        "Splits that no tree holds together show the network's cycles. Written as NEXUS (TAXA, DISTANCES and "
        "SPLITS blocks) or JSON.",
    )
    _network_input(nanuq, 0.95, "network")
    nanuq.add_argument("--format", choices=("nexus", "json"), default="nexus", help="output format (default: nexus)")
    _plot_options(nanuq, "the splits network")

    blobs = commands.add_parser(
        "blobs",
        help="the TINNiK tree of blobs of the quartets, printed as Newick",
        description="Every quartet whose star test is not rejected at --beta, or whose tree test is rejected at "
        "--alpha, is a B-quartet: its taxa meet in a blob (or a polytomy) of the network; two rules that hold in "
        "every tree infer more from them. The other quartets' splits make the TINNiK distance; balanced minimum "
        "evolution (or neighbor joining) and contracting its edges shorter than --delta give a tree whose "
        "multifurcations are the blobs.",
    )
    _network_input(blobs, 0.80, "tree")
    blobs.add_argument(
        "--test", choices=("t3", "cut"), default="t3",
        help="the tree test: T3, or the cut test (two topologies equally frequent) (default: t3)",
    )  # fmt: skip
    blobs.add_argument(
        "--builder", choices=BUILDERS, default="fastme",
        help="how the tree is built: balanced minimum evolution (fastme) or neighbor joining (nj) (default: fastme)",
    )  # fmt: skip
    blobs.add_argument(
        "--delta", type=_number, default=2.0, metavar="D",
        help="internal edges of the joined tree shorter than D are contracted (default 2: one tree quartet's length)",
    )  # fmt: skip

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
    _unresolved_option(
        table, "--size 4: the concordance, both tests, their adjusted p-values, dominant_code and estimated_length"
    )
    table.add_argument(
        "--tree-test", action="append", choices=("t3", "t1"), dest="tree_tests", metavar="{t3,t1}",
        help="--size 4: add a tree test of Mitchell, Allman and Rhodes (2019): t3 (the counts come from the "
        "coalescent on some quartet tree; columns t3_statistic, t3_p) or t1 (on the species tree's quartet, "
        "with --species-tree; t1_statistic, t1_p); may be given twice",
    )
    table.add_argument(
        "--lambda", type=_finite, dest="lambda_", metavar="LAMBDA",
        help="the tree tests' power-divergence statistic: 0 likelihood ratio (default), 1 Pearson chi-square",
    )
    table.add_argument(
        "--test-method", choices=TEST_METHODS,
        help="the tree tests' p-values: mlest (default), the statistic's law at the fitted point, or "
        "conservative, the law that bounds it",
    )
    table.add_argument(
        "--plot-simplex", type=_plot_path, metavar="PATH",
        help="--size 4: also draw every quartet's concordance factors in the simplex, coloured by the tests",
    )  # fmt: skip
    return parser
