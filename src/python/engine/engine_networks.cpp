#include "python/engine/engine_networks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "networks/network_distance.hpp"
#include "python/engine/engine_table.hpp"
#include "python/engine/engine_trees.hpp"
#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "tables/topology_table.hpp"
#include "tree/load_context.hpp"

namespace treetally::python {
namespace {

NetworkMethod method_of(const std::string& name) {
    if (name == "nanuq") return NetworkMethod::nanuq;
    if (name == "tinnik") return NetworkMethod::tinnik;
    raise_error(PyExc_ValueError, "method must be 'nanuq' or 'tinnik'");
}

double level_of(const ArgumentList& arguments, const char* name) {
    const double level = arguments.real(name);
    if (!(level >= 0.0 && level <= 1.0))
        raise_error(PyExc_ValueError, (std::string(name) + " must be a level from 0 to 1").c_str());
    return level;
}

}  // namespace

PyRef network_distances(PyObject* args, PyObject* kwargs) {
    const ArgumentList arguments("network_distances",
                                 {"trees", "taxa", "method", "alpha", "beta", "jobs", "progress", "unresolved",
                                  "test", "groups"},
                                 5, args, kwargs);
    PyObject* trees = arguments.object("trees");
    PyObject* taxa = arguments.object("taxa");
    const NetworkMethod method = method_of(arguments.text("method"));
    const double alpha = level_of(arguments, "alpha");
    const double beta = level_of(arguments, "beta");
    PyObject* jobs = arguments.object("jobs", Py_None);
    PyObject* progress = arguments.object("progress", Py_None);
    const std::optional<std::string> unresolved = arguments.optional_text("unresolved");
    const bool spread = spreads_unresolved(unresolved ? unresolved->c_str() : nullptr);
    const std::optional<std::string> test_name = arguments.optional_text("test");
    TreeTest test = TreeTest::t3;
    if (test_name && *test_name == "cut") {
        test = TreeTest::cut;
    } else if (test_name && *test_name != "t3") {
        raise_error(PyExc_ValueError, "test must be 't3' or 'cut'");
    }
    if (test == TreeTest::cut && method != NetworkMethod::tinnik)
        raise_error(PyExc_ValueError, "the cut test is TINNiK's: NANUQ takes the T3 test");
    if (progress != Py_None && PyCallable_Check(progress) == 0)
        raise_error(PyExc_TypeError, "progress must be callable or None");
    // No jobs (None or left out) is one thread, as for a table.
    const std::size_t threads = threads_for(jobs == Py_None ? nullptr : jobs);
    const PyRef keep = PyRef::borrow(trees);  // the data the threads read stays alive
    const std::shared_ptr<const TreeSetData> data = tree_set_data_of(trees, "trees");
    PyObject* groups_object = arguments.object("groups", Py_None);
    const std::vector<std::string> names = strings_argument(taxa, "taxa");
    // A network of species names each one's individuals by a group: its taxa are the species.
    std::vector<std::vector<TaxonId>> groups;
    std::vector<TaxonId> ids;
    if (groups_object != Py_None) {
        groups = groups_of(data->taxon_set, groups_object);
        if (groups.size() != names.size()) raise_error(PyExc_ValueError, "one group of individuals per taxon");
        for (const std::vector<TaxonId>& group : groups) ids.insert(ids.end(), group.begin(), group.end());
    } else {
        ids = taxon_ids_argument(data->taxon_set, names);
    }
    std::vector<TaxonId> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        raise_error(PyExc_ValueError,
                    groups.empty() ? "the taxa must be distinct" : "the groups of taxa must not share a taxon");
    if (names.size() < 4) raise_error(PyExc_ValueError, "network distances need at least four taxa");
    const std::size_t taxa_count = groups.empty() ? ids.size() : groups.size();
    const std::unique_ptr<TopologyTable> table =
        quartet_table_within(*data, ids, groups, threads,
                             NetworkDistanceRun::bytes_needed(taxa_count, threads, method), "a network distance");
    NetworkDistanceRun run(*table, NetworkLevels{method, alpha, beta, spread, test}, threads);
    run_to_end(run, progress);
    // TINNiK's inference runs here, as long as the counting may: Ctrl-C stops it.
    const NetworkDistanceSums sums =
        run_without_lock([&](const InterruptCheck& interrupt) { return run.result(interrupt); });
    const std::vector<double> matrix = sums.matrix();
    const PyRef bytes = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(matrix.data()),
                                                          static_cast<Py_ssize_t>(matrix.size() * sizeof(double))));
    const auto& classes = sums.classes();
    return checked(Py_BuildValue("(O(KKKKK))", bytes.get(), static_cast<unsigned long long>(classes[0]),
                                 static_cast<unsigned long long>(classes[1]),
                                 static_cast<unsigned long long>(classes[2]),
                                 static_cast<unsigned long long>(classes[3]),
                                 static_cast<unsigned long long>(sums.inferred())));
}

}  // namespace treetally::python
