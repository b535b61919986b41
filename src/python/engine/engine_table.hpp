// The engine's Table: every quartet or quintet of a list of taxa with its counts, counted by
// native threads and handed to Python block by block, as columns.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "python/runtime/runtime.hpp"
#include "sets/tree_set_data.hpp"
#include "tables/row_values.hpp"
#include "tables/topology_table.hpp"
#include "tree/ids.hpp"

namespace treetally::python {

// The most threads a table may be asked for (jobs); more than the cores count as the cores.
inline constexpr long long most_jobs = 1024;

// Threads for a `jobs` argument (None: 1; 0: one per core; at most most_jobs, more than the
// cores counting as the cores); ValueError out of range.
std::size_t threads_for(PyObject* jobs);

// Whether an `unresolved` argument spreads unresolved trees a third to each topology: None or
// "drop" keep today's drop, "third" spreads; ValueError otherwise.
bool spreads_unresolved(const char* unresolved);

// The tree tests named by the arguments tree_tests (None, or a sequence of "t3" and "t1"),
// test_lambda (the power-divergence lambda, 0 when absent) and test_method ("mlest" when
// absent, or "conservative"); ValueError for a quintet table, t1 without a species tree, or
// an unknown name.
TreeTestColumns tree_test_columns(const ArgumentList& arguments, int size, bool species);

// The run of blocks start .. stop-1 that `run`, a pair of integers, names among `block_count`
// blocks: TypeError when it is not such a pair, ValueError unless 0 <= start <= stop <= count.
std::pair<std::size_t, std::size_t> block_run(PyObject* run, std::size_t block_count);

// The MemoryError "<what> needs about N MiB, but only M MiB are available".
[[noreturn]] void fail_memory(const std::string& what, std::size_t needed, std::size_t budget);

// A quartet table of `ids`, or with `groups` (the individuals of each species) of species,
// within the memory there is besides the `beside` bytes a run keeps of its own; a MemoryError
// naming "<what> over N taxa and T trees" when it would not fit.
std::unique_ptr<TopologyTable> quartet_table_within(const TreeSetData& data, const std::vector<TaxonId>& ids,
                                                    const std::vector<std::vector<TaxonId>>& groups,
                                                    std::size_t threads, std::size_t beside,
                                                    const std::string& what);

// Every block of `run` (a run of counting threads: next(period) and finished()), waited for
// without the lock; signals are looked at between waits and `progress` (a callable or None)
// gets the rows of each block as it is added.
template <typename Run>
void run_to_end(Run& run, PyObject* progress) {
    for (;;) {
        std::optional<std::size_t> rows;
        {
            ReleasedLock released;
            rows = run.next(signal_poll_period);
        }
        if (rows && progress != Py_None) {
            checked(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(*rows)));
        } else if (!rows && run.finished()) {
            return;
        }
        check_signals();  // Ctrl-C: the run stops its threads as it goes
    }
}

// The Table type object, created on first use.
PyTypeObject* table_type();

// format_rows(columns, size, form, taxon_cells, first): rows given by every value column (as
// next_block and row_values hand them out) as CSV lines or JSON records, as a Table writes
// them, for rows counted elsewhere (no trees needed).
PyObject* format_rows(PyObject* module, PyObject* args);
// row_values(size, columns, taxa, species=None, unresolved=None, tree_tests=None,
// test_lambda=0.0, test_method=None): every value of the rows given
// as int64 columns (t1.., count_0.., optionally holding and unresolved), as the Table computes
// them.
PyObject* row_values(PyObject* self, PyObject* args, PyObject* kwargs);
// adjust_p_values(values, method): float64 p-values adjusted by "holm" or "bh".
PyObject* adjusted_p_values(PyObject* self, PyObject* args);

}  // namespace treetally::python
