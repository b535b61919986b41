// The companion's native engine, treetally_tools._engine: every loop over the trees of a set
// that the companion package needs, answered from the data of the caller's treetally.TreeSet.
// Private: the package wraps it; nothing here is reachable from the treetally module.
#include <Python.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/engine/engine_calls.hpp"
#include "python/engine/engine_check.hpp"
#include "python/engine/engine_networks.hpp"
#include "python/engine/engine_species.hpp"
#include "python/engine/engine_table.hpp"
#include "python/engine/engine_trees.hpp"
#include "python/runtime/arguments.hpp"
#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "python/runtime/results.hpp"
#include "python/runtime/runtime.hpp"
#include "sets/labelled_tallies.hpp"
#include "sets/mapped_tallies.hpp"
#include "sets/presence.hpp"
#include "sets/single_tree_queries.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "tables/kernel_width.hpp"
#include "tables/quartet_formulas.hpp"
#include "tables/topology_table.hpp"
#include "tree/collapse_rule.hpp"
#include "tree/load_context.hpp"

namespace treetally::python {

std::optional<double> optional_float(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) throw_python_error();
    return number;
}

std::optional<std::size_t> optional_line_cap(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyLong_Check(value) == 0 || PyBool_Check(value) != 0)
        raise_error(PyExc_TypeError, "max_line_bytes must be an int or None");
    const std::size_t count = PyLong_AsSize_t(value);
    if (count == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) throw_python_error();
    return count;
}

CollapseRule collapse_rule_of(const ArgumentList& arguments) {
    CollapseRule rule{optional_float(arguments.object("collapse_length")),
                      optional_float(arguments.object("min_support"))};
    PyObject* index = arguments.object("support_index");
    if (index != nullptr && index != Py_None) {
        if (PyLong_Check(index) == 0 || PyBool_Check(index) != 0)
            raise_error(PyExc_TypeError, "support_index must be an int or None");
        const long value = PyLong_AsLong(index);
        if (value == -1 && PyErr_Occurred() != nullptr) throw_python_error();
        if (value < 1) raise_error(PyExc_ValueError, "support_index counts from 1");
        rule.support_index = static_cast<std::size_t>(value);
    }
    return rule;
}

void warn_without_support_labels(const CollapseRule& rule, std::size_t labels_taken, int stack_level) {
    if (!rule.min_support || labels_taken > 0) return;
    check_status(PyErr_WarnEx(PyExc_UserWarning,
                              "min_support (--min-support) contracts nothing: no tree has a "
                              "support label after an internal node's ')'",
                              stack_level));
}

void warn_of_repeated_taxa(std::size_t trees, int stack_level) {
    if (trees == 0) return;
    const std::string message =
        std::to_string(trees) + (trees == 1 ? " tree names" : " trees name") +
        " a taxon on more than one leaf (only the later leaf counts): to count copies or "
        "individuals as their species, give a taxon map (--taxon-map, Python taxon_map=); "
        "`treetally check` lists them";
    check_status(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), stack_level));
}

namespace {

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] {
        const ArgumentList arguments(
            "load",
            {"path", "collapse_length", "min_support", "max_line_bytes", "support_index",
             "copies_apart", "notes"},
            1, args, kwargs);
        const std::string file = arguments.text("path");
        const CollapseRule rule = collapse_rule_of(arguments);
        const std::optional<std::size_t> line_cap =
            optional_line_cap(arguments.object("max_line_bytes"));
        const bool copies_apart = arguments.flag("copies_apart", false);
        const bool noted = arguments.flag("notes", false);
        LoadNotes notes;
        auto data = run_without_lock([&](const InterruptCheck& interrupt) {
            LoadContext context{interrupt};
            context.max_line_bytes = line_cap;
            return std::make_shared<const TreeSetData>(
                load_tree_set_data(file, context, rule, {}, &notes, copies_apart));
        });
        const PyRef trees = new_tree_set(std::move(data));
        // Noted, the counts go to a caller that warns once for loads made apart (workers').
        if (noted)
            return checked(Py_BuildValue("(OKKK)", trees.get(),
                                         static_cast<unsigned long long>(notes.negative_lengths),
                                         static_cast<unsigned long long>(notes.trees_repeating_taxon),
                                         static_cast<unsigned long long>(notes.support_labels)));
        warn_without_support_labels(rule, notes.support_labels);
        warn_of_repeated_taxa(notes.trees_repeating_taxon);
        return checked(Py_BuildValue("(OK)", trees.get(),
                                     static_cast<unsigned long long>(notes.negative_lengths)));
    });
}

PyObject* warn_of_load(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] {
        const ArgumentList arguments("warn_of_load", {"repeated_trees", "support_labels", "stacklevel"},
                                     1, args, kwargs);
        const Py_ssize_t repeated = arguments.size_value("repeated_trees");
        PyObject* labels = arguments.object("support_labels", Py_None);
        const Py_ssize_t level = arguments.size_value("stacklevel", 1);
        if (repeated < 0) raise_error(PyExc_ValueError, "repeated_trees must be 0 or more");
        if (labels != Py_None) {
            const Py_ssize_t read = index_value(labels);
            if (read < 0) raise_error(PyExc_ValueError, "support_labels must be 0 or more");
            // Any bound serves: the warning asks only whether a bound was given.
            CollapseRule rule;
            rule.min_support = 0.0;
            warn_without_support_labels(rule, static_cast<std::size_t>(read), static_cast<int>(level));
        }
        warn_of_repeated_taxa(static_cast<std::size_t>(repeated), static_cast<int>(level));
        return PyRef::borrow(Py_None);
    });
}

PyObject* taxon_tree_counts(PyObject*, PyObject* args) {
    return engine_call([&] {
        PyObject* trees =
            ArgumentList("taxon_tree_counts", {"trees"}, 1, args, nullptr).object("trees");
        const auto data = tree_set_data_of(trees, "trees");
        const std::vector<std::uint64_t> counts = run_without_lock(
            [&](const InterruptCheck& interrupt) { return trees_per_taxon(*data, interrupt); });
        return list_of_counts(counts);
    });
}

PyObject* presence_counts(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("presence_counts", {"trees", "taxa"}, 2, args, nullptr);
        const auto data = tree_set_data_of(arguments.object("trees"), "trees");
        const std::vector<TaxonId> ids = taxon_ids_argument(
            data->taxon_set, strings_argument(arguments.object("taxa"), "taxa"));
        const std::vector<std::uint64_t> per_taxon = run_without_lock(
            [&](const InterruptCheck& interrupt) { return trees_per_taxon(*data, interrupt); });
        std::vector<std::uint64_t> counts;
        counts.reserve(ids.size());
        for (const TaxonId id : ids) counts.push_back(per_taxon[id.index()]);
        return list_of_counts(counts);
    });
}

PyObject* tree_nodes_function(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("tree_nodes", {"trees", "tree"}, 2, args, nullptr);
        const auto data = tree_set_data_of(arguments.object("trees"), "trees");
        const TreeNodes nodes = tree_nodes(*data, arguments.unsigned_value("tree"));
        const PyRef parents = list_of_ints(nodes.parents);
        const PyRef lengths = list_of_floats(nodes.lengths);
        const PyRef taxa = list_of_ints(nodes.taxa);
        return checked(Py_BuildValue("(OOO)", parents.get(), lengths.get(), taxa.get()));
    });
}

// The data and the ids of the `names` argument, which must hold `sizes` names.
struct NamedQuery {
    std::shared_ptr<const TreeSetData> data;
    std::vector<TaxonId> ids;
};

NamedQuery named_query(PyObject* args, const char* function,
                       std::initializer_list<std::size_t> sizes) {
    const ArgumentList arguments(function, {"trees", "names"}, 2, args, nullptr);
    NamedQuery query{tree_set_data_of(arguments.object("trees"), "trees"), {}};
    const std::vector<std::string> texts = strings_argument(arguments.object("names"), "names");
    if (std::find(sizes.begin(), sizes.end(), texts.size()) == sizes.end())
        raise_error(PyExc_ValueError, "names has the wrong number of taxa");
    query.ids = taxon_ids_argument(query.data->taxon_set, texts);
    return query;
}

PyObject* tally(PyObject*, PyObject* args) {
    return engine_call([&] {
        const NamedQuery query = named_query(args, "tally", {4, 5});
        const LabelledTally result = run_without_lock([&](const InterruptCheck& interrupt) {
            return labelled_tally(*query.data, query.ids, interrupt);
        });
        const PyRef counts = list_of_counts(result.counts);
        return checked(Py_BuildValue("(OK)", counts.get(),
                                     static_cast<unsigned long long>(result.holding)));
    });
}

PyObject* mapped_tally_function(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("mapped_tally", {"trees", "groups"}, 2, args, nullptr);
        const auto data = tree_set_data_of(arguments.object("trees"), "trees");
        const std::vector<std::vector<TaxonId>> groups =
            groups_of(data->taxon_set, arguments.object("groups"));
        if (groups.size() != 4 && groups.size() != 5)
            raise_error(PyExc_ValueError, "groups has the wrong number of taxa");
        const MappedTally result = run_without_lock([&](const InterruptCheck& interrupt) {
            return mapped_tally(*data, groups, interrupt);
        });
        const PyRef shares = list_of_floats(result.shares);
        return checked(Py_BuildValue("(OdK)", shares.get(), result.unresolved,
                                     static_cast<unsigned long long>(result.holding)));
    });
}

PyObject* group_presence_counts(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("group_presence_counts", {"trees", "groups"}, 2, args, nullptr);
        const auto data = tree_set_data_of(arguments.object("trees"), "trees");
        const std::vector<std::vector<TaxonId>> groups =
            groups_of(data->taxon_set, arguments.object("groups"));
        const std::vector<std::uint64_t> counts = run_without_lock([&](const InterruptCheck& interrupt) {
            std::vector<std::uint64_t> held(groups.size(), 0);
            for (const TreeLca& lca : data->lcas) {
                interrupt();
                for (std::size_t k = 0; k < groups.size(); ++k)
                    held[k] += std::any_of(groups[k].begin(), groups[k].end(), [&](TaxonId id) {
                        return !lca.taxon_position(id).is_absent();
                    }) ? 1 : 0;
            }
            return held;
        });
        return list_of_counts(counts);
    });
}

PyObject* topology_path_sums_function(PyObject*, PyObject* args) {
    return engine_call([&] {
        const NamedQuery query = named_query(args, "topology_path_sums", {5});
        const std::array<TaxonId, 5> ids{query.ids[0], query.ids[1], query.ids[2], query.ids[3],
                                         query.ids[4]};
        const TopologyPathSums sums = run_without_lock([&](const InterruptCheck& interrupt) {
            return topology_path_sums(*query.data, ids, interrupt);
        });
        const PyRef quartet = list_of_counts(sums.quartet_counts);
        const PyRef quintet = list_of_counts(sums.quintet_counts);
        const PyRef lengths = list_of_floats(sums.pair_length_sums);
        return checked(Py_BuildValue("(OKOKO)", quartet.get(),
                                     static_cast<unsigned long long>(sums.quartet_holding),
                                     quintet.get(),
                                     static_cast<unsigned long long>(sums.quintet_holding),
                                     lengths.get()));
    });
}

// The numbers of a list or tuple of `count` items, each read by `read`.
template <class Value, class Read>
std::vector<Value> numbers_argument(PyObject* sequence, std::size_t count, const char* parameter,
                                    Read read) {
    if (!PyTuple_Check(sequence) && !PyList_Check(sequence))
        raise_error(PyExc_TypeError, (std::string(parameter) + " must be a list").c_str());
    const PyRef items = checked(PySequence_Tuple(sequence));
    if (static_cast<std::size_t>(PyTuple_Size(items.get())) != count)
        raise_error(PyExc_ValueError,
                    (std::string(parameter) + " must hold " + std::to_string(count) + " values").c_str());
    std::vector<Value> values(count);
    for (std::size_t k = 0; k < count; ++k) {
        values[k] = read(PyTuple_GetItem(items.get(), static_cast<Py_ssize_t>(k)));
        if (PyErr_Occurred() != nullptr) throw_python_error();
    }
    return values;
}

PyObject* time_table(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("time_table", {"counts", "sums"}, 2, args, nullptr);
        const auto counts = numbers_argument<std::uint64_t>(
            arguments.object("counts"), quintet_type_count, "counts",
            [](PyObject* item) { return PyLong_AsUnsignedLongLong(item); });
        const auto sums = numbers_argument<double>(
            arguments.object("sums"), path_sum_count, "sums",
            [](PyObject* item) { return PyFloat_AsDouble(item); });
        QuintetTally tally{};
        std::copy(counts.begin(), counts.end(), tally.begin());
        PathSums lengths{};
        std::copy(sums.begin(), sums.end(), lengths.begin());
        return list_of_floats(normalised_time_table(tally, lengths));
    });
}

PyObject* kernel_width(PyObject*, PyObject*) {
    return engine_call([&] {
        const std::string_view name = kernel_width_name(current_kernel_width());
        return checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    });
}

PyObject* force_kernel_width_function(PyObject*, PyObject* args) {
    return engine_call([&] {
        PyObject* name =
            ArgumentList("force_kernel_width", {"name"}, 1, args, nullptr).object("name");
        if (name == Py_None) {
            force_kernel_width(std::nullopt);
            return PyRef::borrow(Py_None);
        }
        if (!PyUnicode_Check(name)) raise_error(PyExc_TypeError, "width must be a str or None");
        const PyRef encoded = checked(PyUnicode_AsUTF8String(name));
        const std::optional<KernelWidth> width = kernel_width_named(bytes_of(encoded));
        if (!width) raise_error(PyExc_ValueError, "width must be baseline, avx2, avx512 or None");
        if (!kernel_width_supported(*width))
            raise_error(PyExc_ValueError, "this processor cannot run that width");
        force_kernel_width(width);
        return PyRef::borrow(Py_None);
    });
}

PyObject* quartet_distances_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] { return quartet_distances(args, kwargs); });
}

PyObject* summed_distances_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] { return summed_distances(args, kwargs); });
}

PyObject* column_distances_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] { return column_distances(args, kwargs); });
}

PyObject* network_distances_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] { return network_distances(args, kwargs); });
}

PyObject* neighbor_joining_function(PyObject*, PyObject* args) {
    return engine_call([&] { return joined_tree(args); });
}

PyObject* distance_tree_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] { return distance_tree(args, kwargs); });
}

PyObject* dominant(PyObject*, PyObject* args) {
    return engine_call([&] {
        const std::array<std::uint64_t, quartet_type_count> counts =
            ArgumentList("dominant", {"counts"}, 1, args, nullptr)
                .unsigned_values<quartet_type_count>("counts");
        const std::span<const std::uint64_t, quartet_type_count> three(counts);
        return checked(Py_BuildValue("(id)", dominant_code(three), estimated_length(three)));
    });
}

PyObject* expected_concordance_function(PyObject*, PyObject* args) {
    return engine_call([&] {
        const double length =
            ArgumentList("expected_concordance", {"length"}, 1, args, nullptr).real("length");
        return checked(PyFloat_FromDouble(expected_concordance(length)));
    });
}

PyMethodDef engine_functions[] = {
    {"load", as_method(load), METH_VARARGS | METH_KEYWORDS,
     "load(path, collapse_length=None, min_support=None, max_line_bytes=None, "
     "support_index=None, copies_apart=False, notes=False)\n--\n\nA "
     "treetally.TreeSet of the file at `path`, read with the interpreter lock released, and the "
     "number of branch lengths below zero it holds; internal branches written with a length no "
     "longer than `collapse_length`, or with support below `min_support`, count as polytomies "
     "(value `support_index`, from 1, of a label such as 80/95 is the support; a UserWarning "
     "when no tree has a label); a line longer than `max_line_bytes` is a LineTooLongError "
     "naming it. With copies_apart, the k-th leaf (k >= 2) of a tree naming a taxon again is "
     "the taxon name + '\\n' + k. With notes, no warning: (trees, negative lengths, trees "
     "naming a taxon twice, support labels read)."},
    {"warn_of_load", as_method(warn_of_load), METH_VARARGS | METH_KEYWORDS,
     "warn_of_load(repeated_trees, support_labels=None, stacklevel=1)\n--\n\nThe "
     "UserWarnings of a load whose notes were taken (load(..., notes=True)): `repeated_trees` "
     "trees naming a taxon twice; `support_labels` (None without a support bound) read."},
    {"taxon_tree_counts", taxon_tree_counts, METH_VARARGS,
     "taxon_tree_counts(trees)\n--\n\nHow many trees hold each taxon, in the order of taxa()."},
    {"presence_counts", presence_counts, METH_VARARGS,
     "presence_counts(trees, taxa)\n--\n\nHow many trees hold each of `taxa`."},
    {"tree_nodes", tree_nodes_function, METH_VARARGS,
     "tree_nodes(trees, tree)\n--\n\nThe nodes of tree `tree` of the set in preorder: each "
     "one's parent (its place in that order, -1 for the root), the length of the branch above it "
     "and its taxon (an index into taxa(), -1 for none)."},
    {"tally", tally, METH_VARARGS,
     "tally(trees, names)\n--\n\nThe topology counts of 4 or 5 names and the trees holding all."},
    {"mapped_tally", mapped_tally_function, METH_VARARGS,
     "mapped_tally(trees, groups)\n--\n\nThe shares of trees showing each topology of 4 or 5 "
     "groups of taxa (one individual per group, every combination a tree holds), the share "
     "resolving none, and the trees holding every group."},
    {"group_presence_counts", group_presence_counts, METH_VARARGS,
     "group_presence_counts(trees, groups)\n--\n\nHow many trees hold a taxon of each group."},
    {"topology_path_sums", topology_path_sums_function, METH_VARARGS,
     "topology_path_sums(trees, names)\n--\n\nQuartet and quintet counts with holding trees, "
     "and the path lengths summed per quintet topology and pair."},
    {"time_table", time_table, METH_VARARGS,
     "time_table(counts, sums)\n--\n\nThe 165 values of coalesence_times_by_topology from "
     "quintet counts and summed path lengths."},
    {"format_rows", format_rows, METH_VARARGS,
     "format_rows(columns, size, form, taxon_cells, first)\n--\n\nRows given by every value "
     "column (as Table.next_block and row_values give them) of a table of `size` taxa as CSV "
     "lines or JSON records (\"csv\" or \"json\"), as a Table writes its text."},
    {"quartet_distances", as_method(quartet_distances_function), METH_VARARGS | METH_KEYWORDS,
     "quartet_distances(trees, taxa, weighted=False, jobs=1, progress=None, blocks=None, "
     "unresolved=None, groups=None)\n--\n\n"
     "The QDC (or WQDC) distances of every quartet of `taxa`, counted on `jobs` threads without "
     "keeping the table: (distances, quartets, unresolved, unmet, first_unmet). With "
     "blocks=(start, stop), only those blocks of the table, as exact sums to add up elsewhere: "
     "(sums, met, quartets, unresolved). With groups (one list of the trees' taxa per taxon), "
     "the taxa are species, whose quartets' shares of trees vote."},
    {"summed_distances", as_method(summed_distances_function), METH_VARARGS | METH_KEYWORDS,
     "summed_distances(taxon_count, parts, weighted=False)\n--\n\nThe distances of the exact "
     "sums of runs of blocks (an iterable of what quartet_distances(..., blocks=...) returns), "
     "added up exactly: (distances, quartets, unresolved, unmet, first_unmet)."},
    {"column_distances", as_method(column_distances_function), METH_VARARGS | METH_KEYWORDS,
     "column_distances(taxon_count, columns, weighted=False, unresolved=None)\n--\n\nThe same "
     "distances from int64 columns t1-t4, count_0-count_2 and optionally unresolved (a tuple of "
     "bytes); unresolved='third' spreads the unresolved column a third to each topology."},
    {"network_distances", as_method(network_distances_function), METH_VARARGS | METH_KEYWORDS,
     "network_distances(trees, taxa, method, alpha, beta, jobs=1, progress=None, "
     "unresolved=None, test=None, groups=None)\n--\n\nThe NANUQ or TINNiK distances (method "
     "\"nanuq\" or \"tinnik\") of every quartet of `taxa` classed at levels alpha (the tree test: "
     "\"t3\", or TINNiK's \"cut\") and beta (star), counted on `jobs` threads: (distances, "
     "(empty, star, tree, cycle, inferred) quartet counts). `groups`: one list of individuals "
     "per taxon, whose quartets' shares of trees are classed."},
    {"neighbor_joining", neighbor_joining_function, METH_VARARGS,
     "neighbor_joining(distances, taxon_count)\n--\n\nThe joined tree of an n x n float64 "
     "matrix (bytes): (parent, length) per node."},
    {"distance_tree", as_method(distance_tree_function), METH_VARARGS | METH_KEYWORDS,
     "distance_tree(distances, taxon_count, builder='fastme')\n--\n\nThe tree of an n x n "
     "float64 matrix (bytes) by balanced minimum evolution with NNI and SPR moves ('fastme') "
     "or neighbor joining ('nj'): (parent, length) per node."},
    {"row_values", as_method(row_values), METH_VARARGS | METH_KEYWORDS,
     "row_values(size, columns, taxa, species=None, unresolved=None, fractional=False, "
     "tree_tests=None, test_lambda=0.0, test_method=None)\n--\n\n"
     "Every value of the rows given as int64 columns (with fractional, the counts and "
     "unresolved as float64), as a table computes them (float64 and bool columns as "
     "bytearray)."},
    {"adjust_p_values", adjusted_p_values, METH_VARARGS,
     "adjust_p_values(values, method)\n--\n\nfloat64 p-values adjusted by holm or bh."},
    {"dominant", dominant, METH_VARARGS,
     "dominant(counts)\n--\n\nThe dominant code of three quartet counts (-1 when all are 0) "
     "and the internal length its concordance implies."},
    {"expected_concordance", expected_concordance_function, METH_VARARGS,
     "expected_concordance(length)\n--\n\n1 - 2/3 e^(-length)."},
    {"kernel_width", kernel_width, METH_NOARGS,
     "kernel_width()\n--\n\nThe vector width the table kernels use."},
    {"force_kernel_width", force_kernel_width_function, METH_VARARGS,
     "force_kernel_width(name)\n--\n\nMakes the table kernels use `name` (None: the best)."},
    {"check_file", as_method(check_file), METH_VARARGS | METH_KEYWORDS,
     "check_file(path, max_line_bytes=None)\n--\n\nThe problems of the lines of the file at "
     "`path` as (line_number, kind, detail) tuples, and the number of lines, read with the "
     "interpreter lock released."},
    {"check_lines", check_lines, METH_VARARGS,
     "check_lines(lines, first_line)\n--\n\nThe problems of `lines` (bytes, one line each), "
     "numbered from `first_line`."},
    {"tree_taxa", tree_taxa, METH_VARARGS,
     "tree_taxa(line)\n--\n\nThe taxa of the tree of one line (bytes), node by node."},
    {"load_checked", as_method(load_checked), METH_VARARGS | METH_KEYWORDS,
     "load_checked(path, collapse_length=None, min_support=None, max_line_bytes=None, "
     "support_index=None)\n--\n\n"
     "load() and check_file() in one reading: the TreeSet, the problems and the number of lines."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_definition = {
    PyModuleDef_HEAD_INIT,
    "treetally_tools._engine",
    "The native engine of treetally_tools (private).",
    0,
    engine_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise_engine() {
    return boundary_call([] {
        PyRef module = checked(PyModule_Create2(&engine_definition, 3));
        raise_fatal_errors_by_kind(module.get());
        check_status(PyModule_AddObject(
            module.get(), "Table",
            PyRef::borrow(reinterpret_cast<PyObject*>(table_type())).release()));
        check_status(PyModule_AddIntConstant(module.get(), "MAX_JOBS", most_jobs));
        return module;
    });
}

}  // namespace
}  // namespace treetally::python

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name CPython looks for in module _engine
PyMODINIT_FUNC PyInit__engine(void) {
    return treetally::python::initialise_engine();
}
