#include "python/engine/engine_species.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lca/quartet_type.hpp"
#include "python/engine/engine_table.hpp"
#include "python/engine/engine_trees.hpp"
#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "species/balanced_minimum_evolution.hpp"
#include "species/neighbor_joining.hpp"
#include "species/quartet_distance.hpp"
#include "tables/topology_table.hpp"
#include "tree/load_context.hpp"

namespace treetally::python {
namespace {

QuartetWeight weight_of(bool weighted) {
    return weighted ? QuartetWeight::lengths : QuartetWeight::votes;
}

// (distances, quartets, unresolved, unmet, first_unmet): the distances as n * n float64 bytes
// row by row; how many quartets were added and how many of those no tree resolves; how many
// pairs of taxa meet in no resolved quartet, and the first such pair (None when none does).
PyRef distances_result(const QuartetDistanceSums& sums) {
    const std::size_t n = sums.taxa();
    const PyRef bytes = checked(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * n * sizeof(double))));
    char* buffer = PyBytes_AsString(bytes.get());
    if (buffer == nullptr) throw_python_error();
    std::uint64_t unmet = 0;
    std::optional<std::array<std::size_t, 2>> first;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double value = sums.distance(i, j);
            std::memcpy(buffer + (i * n + j) * sizeof(double), &value, sizeof(double));
            if (i < j && !sums.met(i, j)) {
                ++unmet;
                if (!first) first = std::array{i, j};
            }
        }
    }
    const PyRef pair = first ? checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>((*first)[0]),
                                                     static_cast<Py_ssize_t>((*first)[1])))
                             : PyRef::borrow(Py_None);
    return checked(Py_BuildValue("(OKKKO)", bytes.get(),
                                 static_cast<unsigned long long>(sums.quartets()),
                                 static_cast<unsigned long long>(sums.unresolved_quartets()),
                                 static_cast<unsigned long long>(unmet), pair.get()));
}

// An int64 column of `rows` values from bytes.
std::vector<std::int64_t> int64_column(PyObject* column, const char* name) {
    if (!PyBytes_Check(column)) raise_error(PyExc_TypeError, (std::string(name) + " must be bytes").c_str());
    const std::string_view bytes = bytes_of(PyRef::borrow(column));
    if (bytes.size() % sizeof(std::int64_t) != 0)
        raise_error(PyExc_ValueError, (std::string(name) + " must hold int64 values").c_str());
    std::vector<std::int64_t> values(bytes.size() / sizeof(std::int64_t));
    std::memcpy(values.data(), bytes.data(), bytes.size());
    return values;
}

// (sums, met, quartets, unresolved): the sums of a run of blocks in the exact form that
// machines exchange (QuartetDistanceSums::write_exact), with its counts of quartets.
PyRef exact_result(const QuartetDistanceSums& sums) {
    const std::size_t pairs = QuartetDistanceSums::pair_count(sums.taxa());
    const PyRef exact = checked(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pairs * exact_sum_bytes)));
    const PyRef met = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pairs)));
    char* exact_buffer = PyBytes_AsString(exact.get());
    char* met_buffer = PyBytes_AsString(met.get());
    if (exact_buffer == nullptr || met_buffer == nullptr) throw_python_error();
    sums.write_exact(std::span(reinterpret_cast<std::uint8_t*>(exact_buffer), pairs * exact_sum_bytes),
                     std::span(reinterpret_cast<std::uint8_t*>(met_buffer), pairs));
    return checked(Py_BuildValue("(OOKK)", exact.get(), met.get(),
                                 static_cast<unsigned long long>(sums.quartets()),
                                 static_cast<unsigned long long>(sums.unresolved_quartets())));
}

// A count of a part of summed_distances: a non-negative int below 2^64.
std::uint64_t part_count(PyObject* value, std::size_t index) {
    if (PyLong_Check(value)) {
        const unsigned long long count = PyLong_AsUnsignedLongLong(value);
        if (!(count == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr))
            return static_cast<std::uint64_t>(count);
        PyErr_Clear();
    }
    raise_error(PyExc_ValueError, ("part " + std::to_string(index) +
                                   ": the quartets counted are integers from 0 to 2**64 - 1")
                                      .c_str());
}

// Adds part `index` of summed_distances, a tuple (sums, met, quartets, unresolved) as
// quartet_distances(..., blocks=...) returns it; ValueError naming the part when it is not such.
void add_exact_part(QuartetDistanceSums& sums, PyObject* part, std::size_t index) {
    const std::string which = "part " + std::to_string(index);
    if (!PyTuple_Check(part) || PyTuple_Size(part) != 4)
        raise_error(PyExc_TypeError, (which + " must be a tuple (sums, met, quartets, unresolved)").c_str());
    PyObject* exact = PyTuple_GetItem(part, 0);
    PyObject* met = PyTuple_GetItem(part, 1);
    if (!PyBytes_Check(exact) || !PyBytes_Check(met))
        raise_error(PyExc_TypeError, (which + ": sums and met must be bytes").c_str());
    const std::string_view exact_bytes = bytes_of(PyRef::borrow(exact));
    const std::string_view met_bytes = bytes_of(PyRef::borrow(met));
    const std::optional<std::string> refused =
        sums.add_exact(std::span(reinterpret_cast<const std::uint8_t*>(exact_bytes.data()), exact_bytes.size()),
                       std::span(reinterpret_cast<const std::uint8_t*>(met_bytes.data()), met_bytes.size()),
                       part_count(PyTuple_GetItem(part, 2), index), part_count(PyTuple_GetItem(part, 3), index));
    if (refused) raise_error(PyExc_ValueError, (which + ": " + *refused).c_str());
}

// The taxon_count argument of the functions that take distances or columns without trees.
std::size_t taxon_count_of(const ArgumentList& arguments) {
    const Py_ssize_t taxon_count = arguments.size_value("taxon_count");
    if (taxon_count < 0) raise_error(PyExc_ValueError, "taxon_count must be 0 or more");
    return static_cast<std::size_t>(taxon_count);
}

}  // namespace

PyRef quartet_distances(PyObject* args, PyObject* kwargs) {
    const ArgumentList arguments("quartet_distances",
                                 {"trees", "taxa", "weighted", "jobs", "progress", "blocks",
                                  "unresolved", "groups"},
                                 2,
                                 args, kwargs);
    PyObject* trees = arguments.object("trees");
    PyObject* taxa = arguments.object("taxa");
    const bool weighted = arguments.flag("weighted", false);
    PyObject* jobs = arguments.object("jobs");
    PyObject* progress = arguments.object("progress", Py_None);
    PyObject* blocks = arguments.object("blocks", Py_None);
    const std::optional<std::string> unresolved = arguments.optional_text("unresolved");
    const bool spread = spreads_unresolved(unresolved ? unresolved->c_str() : nullptr);
    if (progress != Py_None && PyCallable_Check(progress) == 0)
        raise_error(PyExc_TypeError, "progress must be callable or None");
    const std::size_t threads = threads_for(jobs);
    const PyRef keep = PyRef::borrow(trees);  // the data the threads read stays alive
    const std::shared_ptr<const TreeSetData> data = tree_set_data_of(trees, "trees");
    PyObject* groups_object = arguments.object("groups", Py_None);
    const std::vector<std::string> names = strings_argument(taxa, "taxa");
    // A tree of species names each one's individuals by a group: its taxa are the species.
    std::vector<std::vector<TaxonId>> groups;
    std::vector<TaxonId> ids;
    if (groups_object != Py_None) {
        groups = groups_of(data->taxon_set, groups_object);
        if (groups.size() != names.size())
            raise_error(PyExc_ValueError, "one group of individuals per taxon");
        for (const std::vector<TaxonId>& group : groups) ids.insert(ids.end(), group.begin(), group.end());
    } else {
        ids = taxon_ids_argument(data->taxon_set, names);
    }
    std::vector<TaxonId> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        raise_error(PyExc_ValueError, groups.empty() ? "the taxa must be distinct"
                                                     : "the groups of taxa must not share a taxon");
    if (names.size() < 4) raise_error(PyExc_ValueError, "quartet distances need at least four taxa");
    const std::size_t taxa_count = groups.empty() ? ids.size() : groups.size();
    const std::unique_ptr<TopologyTable> table = quartet_table_within(
        *data, ids, groups, threads, QuartetDistanceRun::bytes_needed(taxa_count, threads), "a species tree");
    if (blocks == Py_None) {
        QuartetDistanceRun run(*table, weight_of(weighted), threads, spread);
        run_to_end(run, progress);
        return distances_result(run.result());
    }
    const auto [first, end] = block_run(blocks, table->block_count());
    QuartetDistanceRun run(*table, weight_of(weighted), threads, first, end, spread);
    run_to_end(run, progress);
    return exact_result(run.result());
}

PyRef summed_distances(PyObject* args, PyObject* kwargs) {
    const ArgumentList arguments("summed_distances", {"taxon_count", "parts", "weighted"}, 2,
                                 args, kwargs);
    const std::size_t n = taxon_count_of(arguments);
    PyObject* parts = arguments.object("parts");
    const bool weighted = arguments.flag("weighted", false);
    const std::size_t budget = LoadContext{}.memory_budget();
    const std::size_t needed = QuartetDistanceRun::bytes_needed(n, 1);
    if (needed > budget) fail_memory("quartet distances of " + std::to_string(n) + " taxa", needed, budget);
    QuartetDistanceSums sums(n, weight_of(weighted));
    const PyRef iterator = checked(PyObject_GetIter(parts));
    // One part at a time, so that an iterator fetching them from elsewhere need hold only one.
    for (std::size_t index = 0;; ++index) {
        PyRef part = PyRef::steal(PyIter_Next(iterator.get()));
        if (!part) {
            if (PyErr_Occurred() != nullptr) throw_python_error();
            break;
        }
        add_exact_part(sums, part.get(), index);
    }
    return distances_result(sums);
}

PyRef column_distances(PyObject* args, PyObject* kwargs) {
    const ArgumentList arguments("column_distances", {"taxon_count", "columns", "weighted", "unresolved"},
                                 2, args, kwargs);
    const std::size_t n = taxon_count_of(arguments);
    PyObject* columns = arguments.object("columns");
    const bool weighted = arguments.flag("weighted", false);
    const std::optional<std::string> unresolved = arguments.optional_text("unresolved");
    const bool spread = spreads_unresolved(unresolved ? unresolved->c_str() : nullptr);
    // The four taxon columns, one count column per quartet topology, then (optional) the trees
    // that resolve none of them, which only spreading needs.
    constexpr std::size_t column_count = 4 + quartet_type_count + 1;
    const Py_ssize_t given = PyTuple_Check(columns) ? PyTuple_Size(columns) : -1;
    if (given != static_cast<Py_ssize_t>(column_count) && given != static_cast<Py_ssize_t>(column_count - 1))
        raise_error(PyExc_TypeError, "columns must be a tuple of t1-t4, count_0-count_2 and optionally unresolved");
    const bool has_unresolved = given == static_cast<Py_ssize_t>(column_count);
    if (spread && !has_unresolved)
        raise_error(PyExc_ValueError, "unresolved='third' needs the unresolved column");
    std::array<std::vector<std::int64_t>, column_count> values;
    static constexpr std::array<const char*, column_count> names{"t1",      "t2",      "t3",      "t4",
                                                                 "count_0", "count_1", "count_2", "unresolved"};
    for (std::size_t k = 0; k < static_cast<std::size_t>(given); ++k)
        values[k] = int64_column(PyTuple_GetItem(columns, static_cast<Py_ssize_t>(k)), names[k]);
    const std::size_t rows = values[0].size();
    if (!has_unresolved) values[column_count - 1].assign(rows, 0);
    for (const auto& column : values)
        if (column.size() != rows) raise_error(PyExc_ValueError, "the columns differ in length");
    const std::size_t budget = LoadContext{}.memory_budget();
    const std::size_t needed = QuartetDistanceRun::bytes_needed(n, 1);
    if (needed > budget) fail_memory("quartet distances of " + std::to_string(n) + " taxa", needed, budget);
    QuartetDistanceSums sums(n, weight_of(weighted), spread);
    for (std::size_t row = 0; row < rows; ++row) {
        std::array<std::uint32_t, 4> taxa{};
        std::array<std::uint64_t, quartet_type_count> counts{};
        for (std::size_t k = 0; k < 4; ++k) {
            const std::int64_t taxon = values[k][row];
            if (taxon < 0 || static_cast<std::uint64_t>(taxon) >= n)
                raise_error(PyExc_ValueError, ("row " + std::to_string(row) + " names a taxon index out of range")
                                                  .c_str());
            taxa[k] = static_cast<std::uint32_t>(taxon);
        }
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t l = k + 1; l < 4; ++l)
                if (taxa[k] == taxa[l])
                    raise_error(PyExc_ValueError,
                                ("row " + std::to_string(row) + " names a taxon twice").c_str());
        for (std::size_t code = 0; code < quartet_type_count; ++code) {
            const std::int64_t count = values[4 + code][row];
            if (count < 0)
                raise_error(PyExc_ValueError, ("row " + std::to_string(row) + " has a negative count").c_str());
            counts[code] = static_cast<std::uint64_t>(count);
        }
        const std::int64_t unresolved_trees = values[column_count - 1][row];
        if (unresolved_trees < 0)
            raise_error(PyExc_ValueError,
                        ("row " + std::to_string(row) + " has a negative unresolved count").c_str());
        sums.add(taxa, counts, static_cast<std::uint64_t>(unresolved_trees));
    }
    return distances_result(sums);
}

namespace {

enum class Builder { balanced_minimum_evolution, neighbor_joining };

// The builder a name asks for, or ValueError naming those there are.
Builder builder_named(const std::string& name) {
    if (name == "fastme") return Builder::balanced_minimum_evolution;
    if (name == "nj") return Builder::neighbor_joining;
    raise_error(PyExc_ValueError, ("builder must be 'fastme' or 'nj', not '" + name + "'").c_str());
}

// (parent, length) of each node of the tree `builder` builds from an n x n float64 matrix.
PyRef built_tree(PyObject* distances, Py_ssize_t taxon_count, Builder builder) {
    if (!PyBytes_Check(distances)) raise_error(PyExc_TypeError, "distances must be bytes");
    if (taxon_count < 3) raise_error(PyExc_ValueError, "a tree is joined from at least three taxa");
    const auto n = static_cast<std::size_t>(taxon_count);
    const std::string_view bytes = bytes_of(PyRef::borrow(distances));
    const std::size_t values = bytes.size() / sizeof(double);
    if (bytes.size() % sizeof(double) != 0 || values % n != 0 || values / n != n)
        raise_error(PyExc_ValueError, "distances must hold taxon_count * taxon_count float64 values");
    std::vector<double> matrix(n * n);
    std::memcpy(matrix.data(), bytes.data(), bytes.size());
    if (!std::all_of(matrix.begin(), matrix.end(), [](double value) { return std::isfinite(value); }))
        raise_error(PyExc_ValueError, "distances must be finite");
    if (builder == Builder::balanced_minimum_evolution) {
        const std::size_t budget = LoadContext{}.memory_budget();
        const std::size_t needed = balanced_minimum_evolution_bytes(n);
        if (needed > budget)
            fail_memory("balanced minimum evolution over " + std::to_string(n) + " taxa", needed, budget);
    }
    const JoinedTree tree = run_without_lock([&](const InterruptCheck& interrupt) {
        return builder == Builder::neighbor_joining ? neighbor_joining(matrix, n, interrupt)
                                                    : balanced_minimum_evolution(matrix, n, interrupt);
    });
    const PyRef parents = checked(PyList_New(static_cast<Py_ssize_t>(tree.parent.size())));
    for (std::size_t k = 0; k < tree.parent.size(); ++k) {
        PyRef item = checked(PyLong_FromLongLong(static_cast<long long>(tree.parent[k])));
        check_status(PyList_SetItem(parents.get(), static_cast<Py_ssize_t>(k), item.release()));
    }
    const PyRef lengths = checked(PyList_New(static_cast<Py_ssize_t>(tree.length.size())));
    for (std::size_t k = 0; k < tree.length.size(); ++k) {
        PyRef item = checked(PyFloat_FromDouble(tree.length[k]));
        check_status(PyList_SetItem(lengths.get(), static_cast<Py_ssize_t>(k), item.release()));
    }
    return checked(Py_BuildValue("(OO)", parents.get(), lengths.get()));
}

}  // namespace

PyRef joined_tree(PyObject* args) {
    const ArgumentList arguments("neighbor_joining", {"distances", "taxon_count"}, 2, args,
                                 nullptr);
    return built_tree(arguments.object("distances"), arguments.size_value("taxon_count"),
                      Builder::neighbor_joining);
}

PyRef distance_tree(PyObject* args, PyObject* kwargs) {
    const ArgumentList arguments("distance_tree", {"distances", "taxon_count", "builder"}, 2, args,
                                 kwargs);
    const std::optional<std::string> builder = arguments.optional_text("builder");
    return built_tree(arguments.object("distances"), arguments.size_value("taxon_count"),
                      builder_named(builder ? *builder : "fastme"));
}

}  // namespace treetally::python
