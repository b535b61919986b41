# The subcommands of `treetally`: one runner per subcommand, each loading its tree file (a path,
# a compressed file or standard input), asking the module, and writing a labelled result as
# text, CSV or JSON (or an export layout) to the output it is given. A runner raises what went
# wrong; the process (cli.py) turns that into a message and an exit status.
"""The runners of the treetally command's subcommands."""

from __future__ import annotations

import argparse
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, TextIO, Union

from . import _engine
from ._extras import require
from .check import check_source, load_checked, summary
from .cli_parser import PROGRAM, READ_ERROR
from .coalescent import SpeciesQuartet
from .errors import TreeFileError, UsageError
from .exports import WRITERS as EXPORT_WRITERS
from .exports import write_export
from .networks import nanuq, tree_of_blobs
from .output import aligned_line, p_value_text, printable, shown_name, text_value, write_json, write_records
from .plots import plot_quartet_concordance, plot_quartet_simplex, plot_quintet_frequencies, plot_time_table
from .sources import describe, load_mapped_trees
from .taxon_map import MappedTrees, share_text
from .species_columns import SpeciesTree
from .species_tree import species_tree_of
from .tables import Columns, TopologyTable, extra_cell_text, flat_columns
from .tallies import tally, time_table

if TYPE_CHECKING:
    import treetally

# A runner writes its result to `out` and returns an exit status only when it reports through
# it (check), else None.
Runner = Callable[[argparse.Namespace, TextIO], Optional[int]]


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


def _loaded(arguments: argparse.Namespace) -> "Union[treetally.TreeSet, MappedTrees]":
    """The trees of the command's file, with its collapse options (and mapped to species with
    --taxon-map); a file without any tree is refused (every taxon would be unknown)."""
    trees = load_mapped_trees(
        arguments.file,
        getattr(arguments, "taxon_map", None),
        collapse_length=arguments.collapse_length,
        min_support=arguments.min_support,
        support_index=arguments.support_index,
    )
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
        # Only the quartet tally takes --unresolved; the other commands keep their signature.
        spread = getattr(arguments, "unresolved", "drop")
        spread_option = {} if spread == "drop" else {"unresolved": spread}
        result = compute(_loaded(arguments), _names(arguments), **spread_option)
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
    if column.startswith("count_") or column == "unresolved":
        # Shares of trees (mapped species) as whole numbers when they are.
        return lambda value: share_text(value) if not isinstance(value, float) or value.is_integer() else text_value(value)
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
            (f"--tree-test {(arguments.tree_tests or [''])[0]}", arguments.tree_tests),
        )  # fmt: skip
        if given
    ]
    spread = arguments.unresolved != "drop"
    if spread:
        quartets_only.append(f"--unresolved {arguments.unresolved}")
    if arguments.size != 4 and quartets_only:
        raise UsageError(f"{quartets_only[0]} is for quartet tables: give --size 4")
    # The export layouts hold the counts alone, and the plots draw the resolved trees' shares:
    # neither would show the spread.
    if spread and export:
        raise UsageError(f"the {arguments.format} layout holds the counts alone: write csv or json with --unresolved")
    if spread and (arguments.plot is not None or arguments.plot_simplex is not None):
        raise UsageError("the plots draw the resolved trees' shares: --unresolved third is for the table's values")
    if not arguments.tree_tests and (arguments.lambda_ is not None or arguments.test_method is not None):
        raise UsageError("--lambda and --test-method set the tree tests: give --tree-test t3 or t1")
    if arguments.tree_tests and "t1" in arguments.tree_tests and arguments.species_tree is None:
        raise UsageError("--tree-test t1 tests against the species tree's quartets: give --species-tree")
    if export and arguments.tree_tests:
        raise UsageError(f"the {arguments.format} layout has no tree tests: write csv or json with --tree-test")
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
        _loaded(arguments), arguments.size, arguments.taxa, jobs=arguments.jobs, progress=progress,
        species_tree=species, adjust=arguments.adjust, unresolved=arguments.unresolved,
        tree_tests=tuple(arguments.tree_tests or ()),
        lambda_=0.0 if arguments.lambda_ is None else arguments.lambda_,
        test_method=arguments.test_method or "mlest",
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
        species_tree_of(
            trees, arguments.taxa, weighted=arguments.weighted, jobs=arguments.jobs, progress=progress,
            unresolved=arguments.unresolved, builder=arguments.builder,
        )  # fmt: skip
        + "\n"
    )


def _network_options(arguments: argparse.Namespace) -> Dict[str, Any]:
    """The keywords NANUQ and TINNiK share, from the command line."""
    return {
        "taxa": arguments.taxa, "unresolved": arguments.unresolved, "jobs": arguments.jobs,
        "progress": False if arguments.no_progress else None,
    }  # fmt: skip


def run_nanuq(arguments: argparse.Namespace, out: TextIO) -> None:
    _plotting_available(arguments)
    network = nanuq(_loaded(arguments), arguments.alpha, arguments.beta, **_network_options(arguments))
    if arguments.format == "json":
        write_json(out, network.as_json())
    else:
        out.write(network.nexus())
    if arguments.plot is not None:
        network.draw(arguments.plot, dpi=arguments.dpi)


def run_blobs(arguments: argparse.Namespace, out: TextIO) -> None:
    if not arguments.delta >= 0.0:
        raise UsageError(f"--delta is a length of 0 or more, not {arguments.delta}")
    tree = tree_of_blobs(
        _loaded(arguments), arguments.alpha, arguments.beta, arguments.test, delta=arguments.delta,
        builder=arguments.builder, **_network_options(arguments),
    )  # fmt: skip
    out.write(tree + "\n")


def _plotting_available(arguments: argparse.Namespace) -> None:
    if getattr(arguments, "plot", None) is not None:
        require("matplotlib", "--plot")
