#include "python/engine/engine_table.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/available_memory.hpp"
#include "base/saturating_add.hpp"
#include "base/thread_count.hpp"
#include "python/engine/engine_trees.hpp"
#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "python/runtime/runtime.hpp"
#include "tables/ordered_blocks.hpp"
#include "tables/p_value_adjust.hpp"
#include "tables/quartet_tests.hpp"
#include "tables/row_values.hpp"
#include "tables/table_text.hpp"
#include "tables/topology_table.hpp"
#include "tree/load_context.hpp"

namespace treetally::python {
namespace {

// Everything a Table holds, behind one pointer so that the object itself stays a plain layout.
// A counted block, and its rows as text when the table was asked for text: the threads that
// count the rows also write them, so that writing a table scales with its counting.
// Blocks handed to Python carry every value of their rows, computed by the counting thread.
struct CountedBlock {
    TableBlock block;
    std::string text;
    std::optional<RowColumns> values;
};

// Rows formatted as text at a time: the values of a whole block need not be held at once.
constexpr std::size_t text_chunk_rows = 512;

enum class TextForm { none, csv, json };

struct TableState {
    PyRef trees;  // keeps the TreeSet, and so the data the threads read, alive
    std::shared_ptr<const TreeSetData> data;
    std::vector<std::string> taxa;
    int size = 4;
    std::size_t threads = 1;
    TextForm text_form = TextForm::none;
    std::vector<std::string> taxon_cells;  // each taxon's cell, rendered for text_form
    std::unique_ptr<TopologyTable> table;
    PyRef species_trees;  // keeps the species tree's data alive
    std::shared_ptr<const TreeSetData> species_data;
    std::unique_ptr<SpeciesQuartets> species;
    std::optional<AdjustMethod> adjust;
    bool spread = false;  // unresolved trees count a third for each topology
    std::unique_ptr<AdjustedTests> adjusted;  // filled by the first pass of a table that adjusts
    std::unique_ptr<RowValues> values;        // every value of a row, from the above
    // The run of blocks this table counts: all of them unless `blocks` narrowed it.
    std::size_t first_block = 0;
    std::size_t end_block = 0;
    std::unique_ptr<OrderedBlocks<CountedBlock>> blocks;  // started by the first block asked for

    // Who counts, for close() on another thread. Read and written under the interpreter lock;
    // `caller` also under `mutex`, on which close() waits for the counting call without it.
    OrderedBlocks<std::size_t>* writing = nullptr;  // all_columns' or adjusting's run meanwhile
    bool closed = false;    // close() was called: the counting call under way raises
    bool complete = false;  // every row was handed out: a close() afterwards cuts nothing short
    bool cut = false;       // an interrupt or a failure stopped the rows before their end
    std::mutex mutex;
    std::condition_variable left;           // the counting call left, its threads stopped
    std::optional<std::thread::id> caller;  // the thread of the call counting now

    // Stops whatever counts at its workers' next interrupt check.
    void stop_counting() {
        if (blocks) blocks->cancel();
        if (writing != nullptr) writing->cancel();
    }
};

// The table holds its state through a shared pointer, and each call holds it too while it
// runs: close() on another thread (or from a signal handler inside a call) drops only the
// table's share, so no call is left with freed state.
struct TableObject {
    PyObject ob_base;
    std::shared_ptr<TableState>* state;
    int closed_while_counted;  // close() cut a pass short: later calls say so
};

constexpr const char* closed_while_counted = "the table was closed while it was being counted";
constexpr const char* cut_short =
    "the table's counting stopped before its end (interrupted or failed): "
    "count it with a new table";

std::shared_ptr<TableState> state_of(PyObject* self) {
    if (!is_instance_of(self, table_type())) {
        PyErr_BadArgument();
        throw_python_error();
    }
    const auto* object = reinterpret_cast<TableObject*>(self);
    if (object->state == nullptr)
        raise_error(PyExc_ValueError, object->closed_while_counted != 0 ? closed_while_counted
                                                                        : "the table is closed");
    return *object->state;
}

// The one call at a time that counts rows: it names its thread, so that close() on another
// thread waits for it to leave, which it does once the threads it ran have stopped (they are
// declared after it).
class CountingCall {
  public:
    explicit CountingCall(TableState& state) : state_(state) {
        if (state.caller)
            raise_error(PyExc_ValueError, "the table is already being counted by another call");
        const std::lock_guard lock(state.mutex);
        state.caller = std::this_thread::get_id();
    }
    CountingCall(const CountingCall&) = delete;
    CountingCall& operator=(const CountingCall&) = delete;
    ~CountingCall() {
        {
            const std::lock_guard lock(state_.mutex);
            state_.caller.reset();
        }
        state_.left.notify_all();
    }

  private:
    TableState& state_;
};


// A run of `blocks` of the table's blocks on its threads; a thread that cannot start is
// MemoryError.
template <class Result>
std::unique_ptr<OrderedBlocks<Result>> started_run(const TableState& state, std::size_t blocks,
                                                   typename OrderedBlocks<Result>::Count count) {
    try {
        return std::make_unique<OrderedBlocks<Result>>(blocks, state.threads, std::move(count));
    } catch (const std::system_error& error) {
        const std::string message = std::string("cannot start a thread to count the table (") +
                                    error.what() +
                                    "): not enough memory or threads are left; fewer jobs need less";
        raise_error(PyExc_MemoryError, message.c_str());
    }
}

// MemoryError that says what the table would need and what there is.
// `extra`: bytes needed beyond the counting's own (the values of rows, adjusted p-values).
// `groups`: the individuals of each taxon of a table of species (empty otherwise).
[[noreturn]] void fail_table_memory(const TreeSetData& data, const std::vector<TaxonId>& ids,
                                    int size, std::size_t budget, std::size_t rows_per_block,
                                    std::size_t threads, double extra = 0.0,
                                    const std::vector<std::vector<TaxonId>>& groups = {}) {
    // What the refused table would need for its own taxa and threads: the same cheap pass,
    // with no limit.
    const std::size_t taxa = groups.empty() ? ids.size() : groups.size();
    constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();
    const double needed =
        static_cast<double>(
            groups.empty()
                ? TopologyTable(data, ids, size, unlimited, rows_per_block, threads).bytes_needed()
                : TopologyTable(data, groups, size, unlimited, rows_per_block, threads)
                      .bytes_needed()) +
        extra;
    const std::string message =
        "a table of " + std::string(size == 4 ? "quartets" : "quintets") + " over " +
        std::to_string(taxa) + " taxa and " + std::to_string(data.tree_count()) +
        " trees needs about " + std::to_string(static_cast<long long>(needed / 1048576.0)) +
        " MiB, but only " + std::to_string(static_cast<unsigned long long>(budget >> 20)) +
        " MiB are available";
    raise_error(PyExc_MemoryError, message.c_str());
}

// MemoryError for a table of more rows than an int64 counts (its columns' type, and the
// length of a Python sequence): no machine could hold or count them.
void refuse_too_many_rows(const TopologyTable& table, std::size_t taxa) {
    constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t rows = table.row_count();
    if (rows <= most) return;
    const bool saturated = rows == std::numeric_limits<std::uint64_t>::max();
    const std::string message =
        "a table of " + std::string(table.size() == 4 ? "quartets" : "quintets") + " over " +
        std::to_string(taxa) + " taxa needs " + (saturated ? "more than " : "") +
        std::to_string(rows) + " rows, more than the " + std::to_string(most) +
        " a table can hold: take fewer taxa";
    raise_error(PyExc_MemoryError, message.c_str());
}

TextForm text_form_named(std::string_view name) {
    if (name == "csv") return TextForm::csv;
    if (name == "json") return TextForm::json;
    raise_error(PyExc_ValueError, "form must be csv or json");
}

// Appends rows held as columns in `form`; the first block of a JSON list opens it
// differently.
void append_rows(std::string& text, TextForm form, const RowColumns& rows,
                 std::span<const std::string> cells, bool first_block) {
    if (form == TextForm::csv)
        append_csv_rows(text, rows, cells);
    else
        append_json_rows(text, rows, cells, first_block);
}

// Appends the rows of `block` in `form`, a chunk of rows at a time.
void append_rows(std::string& text, TextForm form, const RowValues& values,
                 const TableBlock& block, std::span<const std::string> cells, bool first_block) {
    RowColumns chunk(values);
    for (std::size_t from = 0; from < block.rows; from += text_chunk_rows) {
        chunk.assign(block, from, std::min(block.rows, from + text_chunk_rows));
        append_rows(text, form, chunk, cells, first_block && from == 0);
    }
}

// Bytes the values of handed-out blocks may take beyond the blocks the table's own figure
// counts: as many blocks as it counts per thread that a run of `blocks` blocks starts, each of
// at most its average rows plus one prefix (a block ends with the prefix that starts before
// its end).
double values_in_flight(const TopologyTable& table, const RowValues& values, std::size_t threads,
                        std::size_t blocks) {
    constexpr double blocks_per_thread = 5.0;
    if (table.block_count() == 0) return 0.0;
    const double rows = static_cast<double>(table.row_count()) / static_cast<double>(table.block_count()) +
                        static_cast<double>(table.taxon_count());
    const auto started = static_cast<double>(started_threads(threads, blocks));
    return started * blocks_per_thread * rows * static_cast<double>(values.row_bytes());
}

std::optional<AdjustMethod> adjust_method_named(const char* name) {
    if (name == nullptr) return std::nullopt;
    const std::string_view method = name;
    if (method == "holm") return AdjustMethod::holm;
    if (method == "bh") return AdjustMethod::bh;
    raise_error(PyExc_ValueError, "adjust must be holm or bh");
}

// The species tree (the first tree of `trees`) asked about the table's taxa; ValueError
// naming the first taxon its set lacks.
void set_species(TableState& state, PyObject* trees) {
    state.species_trees = PyRef::borrow(trees);
    state.species_data = tree_set_data_of(trees, "species");
    if (state.species_data->tree_count() == 0)
        raise_error(PyExc_ValueError, "the species tree file holds no tree");
    const TreeLca& lca = state.species_data->lcas[0];
    std::vector<EulerPos> positions;
    for (const TaxonId id : taxon_ids_argument(state.species_data->taxon_set, state.taxa))
        positions.push_back(lca.taxon_position(id));
    state.species = std::make_unique<SpeciesQuartets>(lca, std::move(positions));
}

// Bytes the adjusted p-values take: both columns of every row, and while they are adjusted
// (both at once on two threads or more) their values with their places, twice (sorted and the
// sort's buffer).
double adjusted_bytes(std::uint64_t rows, std::size_t threads) {
    const double sorting = (threads > 1 ? 2.0 : 1.0) * 4.0 * sizeof(std::uint64_t);
    return static_cast<double>(rows) * (2.0 * sizeof(double) + sorting);
}

// Narrows the table to the blocks start .. stop-1 of `run` (a pair of integers), so that
// several processes can each count a run of the same table.
void narrow_to_blocks(TableState& state, PyObject* run) {
    std::tie(state.first_block, state.end_block) = block_run(run, state.table->block_count());
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const ArgumentList arguments("Table",
                                     {"trees", "size", "taxa", "jobs", "rows_per_block",
                                      "text_form", "taxon_cells", "blocks", "species", "adjust",
                                      "unresolved", "groups", "tree_tests", "test_lambda",
                                      "test_method"},
                                     3, args, kwargs);
        PyObject* trees = arguments.object("trees");
        const int size = arguments.int_value("size");
        PyObject* taxa = arguments.object("taxa");
        PyObject* jobs = arguments.object("jobs");
        const Py_ssize_t rows_per_block = arguments.size_value("rows_per_block");
        const std::optional<std::string> text_form = arguments.optional_text("text_form");
        PyObject* taxon_cells = arguments.object("taxon_cells");
        PyObject* blocks = arguments.object("blocks", Py_None);
        PyObject* species = arguments.object("species", Py_None);
        const std::optional<std::string> adjust = arguments.optional_text("adjust");
        const std::optional<std::string> unresolved = arguments.optional_text("unresolved");
        PyObject* groups_object = arguments.object("groups", Py_None);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        if (rows_per_block < 0) raise_error(PyExc_ValueError, "rows_per_block must be 0 or more");
        auto state = std::make_shared<TableState>();
        state->trees = PyRef::borrow(trees);
        state->data = tree_set_data_of(trees, "trees");
        state->taxa = strings_argument(taxa, "taxa");
        state->size = size;
        state->threads = threads_for(jobs);
        if (text_form) {
            state->text_form = text_form_named(*text_form);
            if (taxon_cells == nullptr) raise_error(PyExc_TypeError, "text_form needs taxon_cells");
            state->taxon_cells = strings_argument(taxon_cells, "taxon_cells");
            if (state->taxon_cells.size() != state->taxa.size())
                raise_error(PyExc_ValueError, "one cell per taxon of the table");
        }
        state->adjust = adjust_method_named(adjust ? adjust->c_str() : nullptr);
        state->spread = spreads_unresolved(unresolved ? unresolved->c_str() : nullptr);
        if (size != 4 && state->spread)
            raise_error(PyExc_ValueError, "unresolved='third' is for quartet tables (size 4)");
        if (size != 4 && (state->adjust || species != Py_None))
            raise_error(PyExc_ValueError, "species and adjust are for quartet tables (size 4)");
        // A table of species names its individuals by groups; its taxa are the species.
        std::vector<std::vector<TaxonId>> groups;
        if (groups_object != Py_None) {
            groups = groups_of(state->data->taxon_set, groups_object);
            if (groups.size() != state->taxa.size())
                raise_error(PyExc_ValueError, "one group of individuals per taxon of the table");
        }
        std::vector<TaxonId> ids;
        if (groups.empty()) {
            ids = taxon_ids_argument(state->data->taxon_set, state->taxa);
        } else {
            std::vector<std::string> names = state->taxa;
            std::sort(names.begin(), names.end());
            if (std::adjacent_find(names.begin(), names.end()) != names.end())
                raise_error(PyExc_ValueError, "the taxa of a table must be distinct");
            std::vector<TaxonId> members;
            for (const std::vector<TaxonId>& group : groups)
                members.insert(members.end(), group.begin(), group.end());
            std::sort(members.begin(), members.end());
            if (std::adjacent_find(members.begin(), members.end()) != members.end())
                raise_error(PyExc_ValueError, "the groups of a table must not share a taxon");
        }
        std::vector<TaxonId> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            raise_error(PyExc_ValueError, "the taxa of a table must be distinct");
        if (state->taxa.size() < static_cast<std::size_t>(size))
            raise_error(PyExc_ValueError, "a table needs at least as many taxa as its size");
        const std::size_t budget = LoadContext{}.memory_budget();
        const auto block_rows = static_cast<std::size_t>(rows_per_block);
        try {
            state->table =
                groups.empty()
                    ? std::make_unique<TopologyTable>(*state->data, ids, size, budget, block_rows,
                                                      state->threads)
                    : std::make_unique<TopologyTable>(*state->data, groups, size, budget,
                                                      block_rows, state->threads);
        } catch (const std::bad_alloc&) {
            fail_table_memory(*state->data, ids, size, budget, block_rows, state->threads, 0.0,
                              groups);
        }
        refuse_too_many_rows(*state->table, state->taxa.size());
        state->end_block = state->table->block_count();
        if (blocks != Py_None) narrow_to_blocks(*state, blocks);
        if (species != Py_None) set_species(*state, species);
        if (state->adjust) state->adjusted = std::make_unique<AdjustedTests>();
        const TreeTestColumns tests = tree_test_columns(arguments, size, species != Py_None);
        state->values = std::make_unique<RowValues>(size, state->species.get(), state->adjusted.get(),
                                                    state->spread, state->table->mapped(), tests);
        // Beyond what the counting needs: the adjusted p-values (of the whole table, whatever
        // run of it is counted), and the values of the blocks in flight when they are handed
        // out as columns (text is written a few rows at a time).
        const double extra =
            (state->adjust ? adjusted_bytes(state->table->row_count(), state->threads) : 0.0) +
            (state->text_form == TextForm::none
                 ? values_in_flight(*state->table, *state->values, state->threads,
                                    state->end_block - state->first_block)
                 : 0.0);
        if (static_cast<double>(state->table->bytes_needed()) + extra > static_cast<double>(budget))
            fail_table_memory(*state->data, ids, size, budget, block_rows, state->threads, extra,
                              groups);
        PyRef object = checked(PyType_GenericAlloc(type, 0));
        reinterpret_cast<TableObject*>(object.get())->state =
            new std::shared_ptr<TableState>(std::move(state));
        return object;
    });
}

void table_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<TableObject*>(self);
    delete object->state;  // no call runs on a table being freed: its threads stop and join here
    object->state = nullptr;
    free_heap_instance(self);
}

// Stops the counting and waits for it: a call counting on another thread stops its threads
// and raises ValueError (closed_while_counted), and close() returns once it has. From a
// signal handler inside the counting call itself, close() cannot wait for it: the call stops
// its threads as it raises.
PyObject* table_close(PyObject* self, PyObject*) {
    return boundary_call([&] {
        if (!is_instance_of(self, table_type())) {
            PyErr_BadArgument();
            throw_python_error();
        }
        auto* object = reinterpret_cast<TableObject*>(self);
        if (object->state == nullptr) return PyRef::borrow(Py_None);
        const std::shared_ptr<TableState> state = std::move(*object->state);
        delete object->state;
        object->state = nullptr;
        const bool started = state->blocks || state->caller;
        if (started && !state->complete) object->closed_while_counted = 1;
        state->closed = true;
        state->stop_counting();
        if (state->caller && *state->caller != std::this_thread::get_id()) {
            const ReleasedLock released;
            std::unique_lock lock(state->mutex);
            state->left.wait(lock, [&] { return !state->caller; });
        }
        if (!state->caller) state->blocks.reset();  // an iteration between calls: join its threads
        return PyRef::borrow(Py_None);
    });
}

// "<prefix><number>", built by appending: GCC 12 warns falsely (-Wrestrict) on "t" + to_string.
std::string numbered(const char* prefix, std::size_t number) {
    std::string key = prefix;
    key += std::to_string(number);
    return key;
}

void set_item(const PyRef& dict, const std::string& key, const PyRef& value) {
    check_status(PyDict_SetItemString(dict.get(), key.c_str(), value.get()));
}

// New bytearray objects of `rows` cells, one per column of `values`, under their names in
// `columns`; returns where each one's cells go. Python wraps them (numpy.frombuffer) without a
// copy, writable.
std::vector<std::byte*> new_columns(const PyRef& columns, std::size_t rows, const RowValues& values) {
    std::vector<std::byte*> targets;
    for (const ColumnSpec& spec : values.columns()) {
        const PyRef column = checked(PyByteArray_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(rows * cell_width(spec.kind))));
        char* buffer = PyByteArray_AsString(column.get());
        if (buffer == nullptr) throw_python_error();
        targets.push_back(reinterpret_cast<std::byte*>(buffer));
        set_item(columns, spec.name, column);
    }
    return targets;
}

// A block's values (computed by its counting thread) as a dict of bytearray columns.
PyRef block_columns(const RowColumns& rows) {
    PyRef columns = checked(PyDict_New());
    const std::vector<ColumnSpec>& specs = rows.values->columns();
    for (std::size_t k = 0; k < specs.size(); ++k) {
        const std::vector<std::byte>& data = rows.data[k];
        const PyRef column = checked(PyByteArray_FromStringAndSize(
            reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
        set_item(columns, specs[k].name, column);
    }
    return columns;
}

// A run that writes in place (all_columns', adjusting's), named in the state while it counts
// so that close() can stop it.
class RunningWriting {
  public:
    RunningWriting(TableState& state, OrderedBlocks<std::size_t>& writing) : state_(state) {
        state.writing = &writing;
    }
    RunningWriting(const RunningWriting&) = delete;
    RunningWriting& operator=(const RunningWriting&) = delete;
    ~RunningWriting() { state_.writing = nullptr; }

  private:
    TableState& state_;
};

// Runs `work(block, interrupt)` for the table's blocks first .. end-1 on its threads, waiting
// without the lock and looking at signals between waits. Whatever stops it before its end
// raises: close() (closed_while_counted), Ctrl-C (the threads stop as it goes up), a failure.
template <typename Work>
void run_blocks(TableState& state, std::size_t first, std::size_t end, Work work) {
    const std::unique_ptr<OrderedBlocks<std::size_t>> running = started_run<std::size_t>(
        state, end - first, [work, first](std::size_t index, const InterruptCheck& interrupt) {
            work(first + index, interrupt);
            return index;
        });
    const RunningWriting named(state, *running);
    for (;;) {
        if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
        std::optional<std::size_t> done;
        {
            ReleasedLock released;
            done = running->next(signal_poll_period);
        }
        if (done) continue;
        if (running->complete()) return;
        if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
        if (running->finished()) raise_error(PyExc_ValueError, cut_short);
        check_signals();
    }
}

// Adjusts both columns of p-values, at once on two threads when the table has them (a thread
// that cannot start leaves the second column to this one).
void adjust_both(AdjustedTests& adjusted, AdjustMethod method, std::size_t threads) {
    std::exception_ptr star_error;
    std::thread star_thread;
    if (threads > 1) {
        try {
            star_thread = std::thread([&adjusted, &star_error, method] {
                try {
                    adjust_p_values(adjusted.star, method);
                } catch (...) {
                    star_error = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
        }
    }
    std::exception_ptr minor_error;
    try {
        adjust_p_values(adjusted.minor_equal, method);
    } catch (...) {
        minor_error = std::current_exception();
    }
    if (star_thread.joinable())
        star_thread.join();
    else if (!minor_error)
        adjust_p_values(adjusted.star, method);
    if (minor_error) std::rethrow_exception(minor_error);
    if (star_error) std::rethrow_exception(star_error);
}

// A table that adjusts needs every p-value of the whole table (whichever run of it is
// counted) before its first row: a first pass counts the table and keeps both tests' p-values
// of each row (not its counts), then adjusts them.
void adjust_first(TableState& state) {
    if (!state.adjust || !state.adjusted->minor_equal.empty() || state.table->row_count() == 0)
        return;
    const auto rows = static_cast<std::size_t>(state.table->row_count());
    AdjustedTests& adjusted = *state.adjusted;
    try {
        adjusted.minor_equal.resize(rows);
        adjusted.star.resize(rows);
        const TopologyTable* table = state.table.get();
        double* minor = adjusted.minor_equal.data();
        double* star = adjusted.star.data();
        const bool spread = state.spread;
        run_blocks(state, 0, table->block_count(),
                   [table, minor, star, spread](std::size_t block, const InterruptCheck& interrupt) {
                       const TableBlock counted = table->count_block(block, interrupt);
                       for (std::size_t row = 0; row < counted.rows; ++row) {
                           const auto rank = static_cast<std::size_t>(counted.first_row) + row;
                           QuartetTests tests{};
                           if (counted.fractional()) {
                               // Each row's three shares, then its unresolved share.
                               const double* shares = counted.shares.data() + row * 4;
                               tests = quartet_tests(std::span<const double, 3>(shares, 3),
                                                     shares[3], spread);
                           } else {
                               const std::span<const std::uint64_t, quartet_type_count> counts(
                                   counted.counts.data() + row * quartet_type_count,
                                   quartet_type_count);
                               tests = quartet_tests(counts, counted.unresolved[row], spread);
                           }
                           minor[rank] = tests.minor_equal.p_value;
                           star[rank] = tests.star.p_value;
                       }
                   });
        {
            ReleasedLock released;
            adjust_both(adjusted, *state.adjust, state.threads);
        }
        if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
    } catch (...) {
        adjusted.minor_equal.clear();  // no half-adjusted values are ever written out
        adjusted.star.clear();
        throw;
    }
}

void start_counting(TableState& state) {
    adjust_first(state);
    const TopologyTable* table = state.table.get();
    const TextForm form = state.text_form;
    const std::vector<std::string>* cells = &state.taxon_cells;
    const RowValues* values = state.values.get();
    const std::size_t first = state.first_block;
    state.blocks = started_run<CountedBlock>(
        state, state.end_block - state.first_block,
        [table, form, cells, values, first](std::size_t index, const InterruptCheck& interrupt) {
            // The whole table's first block opens a JSON list, whichever run counts it, so
            // that the texts of consecutive runs join into the whole table's text.
            const std::size_t block = first + index;
            CountedBlock counted{table->count_block(block, interrupt), {}, std::nullopt};
            if (form != TextForm::none) {
                append_rows(counted.text, form, *values, counted.block, *cells, block == 0);
            } else {
                counted.values.emplace(*values);
                counted.values->assign(counted.block, 0, counted.block.rows);
            }
            counted.block = TableBlock{counted.block.size, counted.block.first_row,
                                       counted.block.rows, {}, {}, {}, {}, {}};
            return counted;
        });
}

// The next block in row order, waiting for it without the lock and looking at signals between
// waits; nullopt at the end of the table. Counting stopped before the end (by close() or
// earlier) raises: a table cut short is never handed out as whole.
std::optional<CountedBlock> next_counted_block(TableState& state) {
    if (state.cut) raise_error(PyExc_ValueError, cut_short);
    if (!state.blocks) start_counting(state);
    OrderedBlocks<CountedBlock>& blocks = *state.blocks;
    for (;;) {
        if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
        std::optional<CountedBlock> block;
        {
            ReleasedLock released;
            block = blocks.next(signal_poll_period);
        }
        if (block) return block;
        if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
        if (blocks.complete()) {
            state.complete = true;
            return std::nullopt;
        }
        if (blocks.finished()) raise_error(PyExc_ValueError, cut_short);
        check_signals();
    }
}

// The next counted block. Whatever stops it (Ctrl-C, close(), a failure) stops the threads
// before the exception goes up, and the rows cannot go on from there.
std::optional<CountedBlock> next_or_stop(TableState& state) {
    const CountingCall call(state);
    try {
        return next_counted_block(state);
    } catch (...) {
        state.blocks.reset();
        state.cut = true;
        throw;
    }
}

PyObject* table_next_block(PyObject* self, PyObject*) {
    return boundary_call([&] {
        const std::shared_ptr<TableState> held = state_of(self);
        TableState& state = *held;
        if (state.text_form != TextForm::none)
            raise_error(PyExc_ValueError, "a table made for text hands out text (next_text)");
        const std::optional<CountedBlock> counted = next_or_stop(state);
        if (!counted) return PyRef::borrow(Py_None);
        return block_columns(*counted->values);
    });
}

PyObject* table_next_text(PyObject* self, PyObject*) {
    return boundary_call([&] {
        const std::shared_ptr<TableState> held = state_of(self);
        TableState& state = *held;
        if (state.text_form == TextForm::none)
            raise_error(PyExc_ValueError, "the table was not made for text (text_form)");
        const std::optional<CountedBlock> counted = next_or_stop(state);
        if (!counted) return PyRef::borrow(Py_None);
        const std::string& text = counted->text;
        return checked(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

[[noreturn]] void fail_columns_memory(std::uint64_t rows, double bytes, std::size_t budget) {
    const std::string message =
        "the columns of " + std::to_string(rows) + " rows need about " +
        std::to_string(static_cast<long long>(bytes / 1048576.0)) + " MiB, but only " +
        std::to_string(static_cast<unsigned long long>(budget >> 20)) +
        " MiB are available: write the table out block by block instead";
    raise_error(PyExc_MemoryError, message.c_str());
}

// The whole table (or its run of blocks) as columns: the bytearray objects are made at their
// final length first and the counting threads write every value of each block's rows straight
// into them, so that gathering the columns scales with the counting and costs the interpreter
// nothing per block.
PyObject* table_all_columns(PyObject* self, PyObject*) {
    return boundary_call([&] {
        const std::shared_ptr<TableState> held = state_of(self);
        TableState& state = *held;
        if (state.text_form != TextForm::none)
            raise_error(PyExc_ValueError, "a table made for text hands out text (next_text)");
        if (state.blocks || state.cut)
            raise_error(PyExc_ValueError, "all_columns needs a table not yet read");
        const CountingCall call(state);
        const TopologyTable* table = state.table.get();
        const std::uint64_t first_row = table->first_row(state.first_block);
        const std::uint64_t rows = table->first_row(state.end_block) - first_row;
        // Every column of every row, and what adjusting keeps meanwhile: what is allocated.
        const double bytes =
            static_cast<double>(rows) * static_cast<double>(state.values->row_bytes()) +
            (state.adjust ? adjusted_bytes(table->row_count(), state.threads) : 0.0);
        const std::size_t budget = LoadContext{}.memory_budget();
        if (bytes > static_cast<double>(budget) ||
            rows > static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 8))
            fail_columns_memory(rows, bytes, budget);
        adjust_first(state);
        PyRef result = checked(PyDict_New());
        const std::vector<std::byte*> columns =
            new_columns(result, static_cast<std::size_t>(rows), *state.values);
        const RowValues* values = state.values.get();
        const std::span<std::byte* const> targets(columns);
        run_blocks(state, state.first_block, state.end_block,
                   [table, values, targets, first_row](std::size_t block, const InterruptCheck& interrupt) {
                       const TableBlock counted = table->count_block(block, interrupt);
                       values->fill(counted, 0, counted.rows, targets,
                                    static_cast<std::size_t>(counted.first_row - first_row));
                   });
        state.complete = true;
        return result;
    });
}

// The bytes of a bytes or bytearray object.
std::string_view buffer_of(PyObject* value) {
    if (value != nullptr && PyByteArray_Check(value)) {
        const char* data = PyByteArray_AsString(value);
        if (data == nullptr) throw_python_error();
        return {data, static_cast<std::size_t>(PyByteArray_Size(value))};
    }
    if (value == nullptr || !PyBytes_Check(value))
        raise_error(PyExc_TypeError, "a column is bytes or a bytearray of int64 or float64 values");
    return bytes_of(PyRef::borrow(value));
}

// A TableBlock from int64 columns t1.., count_0.., holding and unresolved (holding and
// unresolved may be left out: then 0). `fractional`: count_0.. and unresolved are float64
// shares of trees (a table of species), which the block holds as shares.
TableBlock block_of_columns(PyObject* columns, int size, std::size_t taxon_count,
                            bool fractional = false) {
    if (!PyDict_Check(columns)) raise_error(PyExc_TypeError, "columns must be a dict of columns");
    TableBlock block;
    block.size = size;
    bool first = true;
    auto column = [&](const std::string& key, bool required) {
        PyObject* value = PyDict_GetItemString(columns, key.c_str());
        std::vector<std::int64_t> values;
        if (value == nullptr && !required) {
            values.resize(block.rows);
            return values;
        }
        if (value == nullptr) {
            const std::string message = "the columns lack " + key;
            raise_error(PyExc_ValueError, message.c_str());
        }
        const std::string_view bytes = buffer_of(value);
        values.resize(bytes.size() / sizeof(std::int64_t));
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(std::int64_t));
        if (first) block.rows = values.size();
        first = false;
        if (values.size() != block.rows || bytes.size() % sizeof(std::int64_t) != 0)
            raise_error(PyExc_ValueError, "the columns of a table have equal lengths");
        return values;
    };
    block.taxa.resize(0);
    std::vector<std::vector<std::int64_t>> slots(static_cast<std::size_t>(size));
    for (std::size_t slot = 0; slot < slots.size(); ++slot)
        slots[slot] = column(numbered("t", slot + 1), true);
    block.taxa.resize(block.rows * static_cast<std::size_t>(size));
    for (std::size_t slot = 0; slot < slots.size(); ++slot) {
        for (std::size_t row = 0; row < block.rows; ++row) {
            const std::int64_t taxon = slots[slot][row];
            if (taxon < 0 || static_cast<std::uint64_t>(taxon) >= taxon_count)
                raise_error(PyExc_ValueError, "a taxon index is out of range");
            block.taxa[row * static_cast<std::size_t>(size) + slot] = static_cast<std::uint32_t>(taxon);
        }
    }
    const std::size_t codes = block.codes();
    if (fractional) {
        // The same cells read as float64: a share is no whole number.
        auto shares_of = [&](const std::string& key, bool required) {
            std::vector<std::int64_t> cells = column(key, required);
            std::vector<double> values(cells.size());
            std::memcpy(values.data(), cells.data(), cells.size() * sizeof(double));
            for (const double value : values)
                if (!(value >= 0.0) || std::isinf(value))
                    raise_error(PyExc_ValueError, "a count is negative or not a number");
            return values;
        };
        block.shares.resize(block.rows * (codes + 1));
        for (std::size_t code = 0; code <= codes; ++code) {
            const auto values =
                shares_of(code < codes ? numbered("count_", code) : "unresolved", code < codes);
            for (std::size_t row = 0; row < block.rows; ++row)
                block.shares[row * (codes + 1) + code] = values[row];
        }
        const auto holding = column("holding", false);
        block.holding.assign(holding.begin(), holding.end());
        return block;
    }
    block.counts.resize(block.rows * codes);
    for (std::size_t code = 0; code < codes; ++code) {
        const auto counts = column(numbered("count_", code), true);
        for (std::size_t row = 0; row < block.rows; ++row) {
            if (counts[row] < 0) raise_error(PyExc_ValueError, "a count is negative");
            block.counts[row * codes + code] = static_cast<std::uint64_t>(counts[row]);
        }
    }
    const auto holding = column("holding", false);
    const auto unresolved = column("unresolved", false);
    block.holding.assign(holding.begin(), holding.end());
    block.unresolved.assign(unresolved.begin(), unresolved.end());
    return block;
}

// Rows given as every value column (named as `layout` names them, no other) back as columns
// to write; ValueError when one lacks, their lengths differ, or a taxon has no cell.
RowColumns value_columns_of(PyObject* columns, const RowValues& layout, std::size_t taxon_count) {
    if (!PyDict_Check(columns)) raise_error(PyExc_TypeError, "columns must be a dict of columns");
    const std::vector<ColumnSpec>& specs = layout.columns();
    RowColumns rows(layout);
    for (std::size_t k = 0; k < specs.size(); ++k) {
        PyObject* value = PyDict_GetItemString(columns, specs[k].name.c_str());
        if (value == nullptr) {
            const std::string message = "the columns lack " + specs[k].name;
            raise_error(PyExc_ValueError, message.c_str());
        }
        const std::string_view bytes = buffer_of(value);
        const std::size_t width = cell_width(specs[k].kind);
        if (bytes.size() % width != 0 || (k > 0 && bytes.size() / width != rows.rows))
            raise_error(PyExc_ValueError, "the columns of a table have equal lengths");
        rows.rows = bytes.size() / width;
        const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
        rows.data[k].assign(data, data + bytes.size());
    }
    if (static_cast<std::size_t>(PyDict_Size(columns)) != specs.size())
        raise_error(PyExc_ValueError, "the columns hold others than those of a table's rows");
    for (std::size_t slot = 0; slot < static_cast<std::size_t>(layout.size()); ++slot) {
        for (std::size_t row = 0; row < rows.rows; ++row) {
            const auto taxon = rows.cell<std::int64_t>(slot, row);
            if (taxon < 0 || static_cast<std::uint64_t>(taxon) >= taxon_count)
                raise_error(PyExc_ValueError, "taxon index out of range");
        }
    }
    return rows;
}

PyObject* table_block_count(PyObject* self, void*) {
    return boundary_call([&] {
        return checked(PyLong_FromSize_t(state_of(self)->table->block_count()));
    });
}

PyObject* table_rows(PyObject* self, void*) {
    return boundary_call([&] {
        return checked(PyLong_FromUnsignedLongLong(state_of(self)->table->row_count()));
    });
}

PyMethodDef table_methods[] = {
    {"next_block", table_next_block, METH_NOARGS,
     "next_block($self)\n--\n\nThe next block's values as a dict of columns (bytearray), or "
     "None at the end."},
    {"next_text", table_next_text, METH_NOARGS,
     "next_text($self)\n--\n\nThe next block of rows as UTF-8 text in the table's text_form, "
     "or None at the end."},
    {"all_columns", table_all_columns, METH_NOARGS,
     "all_columns($self)\n--\n\nEvery row's values as whole columns (bytearray)."},
    {"close", table_close, METH_NOARGS,
     "close($self)\n--\n\nStops the counting threads and waits for them; a call counting on "
     "another thread raises ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"rows", table_rows, nullptr, "The number of rows of the whole table.", nullptr},
    {"block_count", table_block_count, nullptr, "The number of blocks of the whole table.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_tp_doc, const_cast<char*>("Table(trees, size, taxa, jobs=1, rows_per_block=0, "
                                  "text_form=None, taxon_cells=None, blocks=None, species=None, "
                                  "adjust=None, unresolved=None, groups=None, tree_tests=None, "
                                  "test_lambda=0.0, test_method=None)\n--\n\n"
                                  "Every quartet or quintet of `taxa`, counted natively "
                                  "(only blocks start .. stop-1 with blocks=(start, stop)); "
                                  "with groups (one list of the trees' taxa per taxon), the "
                                  "taxa are species and their counts shares of trees.")},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "treetally_tools._engine.Table", static_cast<int>(sizeof(TableObject)), 0,
    Py_TPFLAGS_DEFAULT, table_slots,
};

}  // namespace

bool spreads_unresolved(const char* unresolved) {
    if (unresolved == nullptr || std::strcmp(unresolved, "drop") == 0) return false;
    if (std::strcmp(unresolved, "third") == 0) return true;
    raise_error(PyExc_ValueError, "unresolved must be 'drop' or 'third'");
}

TreeTestColumns tree_test_columns(const ArgumentList& arguments, int size, bool species) {
    TreeTestColumns tests;
    PyObject* names = arguments.object("tree_tests", Py_None);
    if (names == Py_None) return tests;
    for (const std::string& name : strings_argument(names, "tree_tests")) {
        if (name == "t3")
            tests.t3 = true;
        else if (name == "t1")
            tests.t1 = true;
        else
            raise_error(PyExc_ValueError, "tree_tests names 't3' or 't1'");
    }
    if (size != 4 && (tests.t3 || tests.t1))
        raise_error(PyExc_ValueError, "tree tests are for quartet tables (size 4)");
    if (tests.t1 && !species) raise_error(PyExc_ValueError, "the t1 test needs a species tree");
    if (arguments.object("test_lambda") != nullptr) {
        tests.lambda = arguments.real("test_lambda");
        if (!std::isfinite(tests.lambda))
            raise_error(PyExc_ValueError, "test_lambda must be finite");
    }
    const std::optional<std::string> method = arguments.optional_text("test_method");
    if (method && *method == "conservative")
        tests.method = TreeTestMethod::conservative;
    else if (method && *method != "mlest")
        raise_error(PyExc_ValueError, "test_method must be 'mlest' or 'conservative'");
    return tests;
}

std::size_t threads_for(PyObject* jobs_object) {
    if (jobs_object == nullptr) return 1;
    const PyRef index = checked(PyNumber_Index(jobs_object));
    int overflow = 0;
    const long long jobs = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (jobs == -1 && PyErr_Occurred() != nullptr) throw_python_error();
    if (overflow < 0 || jobs < 0)
        raise_error(PyExc_ValueError, "jobs must be 0 (every core) or more");
    if (overflow > 0 || jobs > most_jobs) {
        const std::string message = "jobs must be at most " + std::to_string(most_jobs);
        raise_error(PyExc_ValueError, message.c_str());
    }
    const std::size_t cores = core_count();
    return jobs == 0 ? cores : std::min(static_cast<std::size_t>(jobs), cores);
}

std::pair<std::size_t, std::size_t> block_run(PyObject* run, std::size_t block_count) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    try {
        if (!PyTuple_Check(run) || PyTuple_Size(run) != 2) throw PythonErrorSet{};
        start = index_value(PyTuple_GetItem(run, 0));
        stop = index_value(PyTuple_GetItem(run, 1));
    } catch (const PythonErrorSet&) {
        PyErr_Clear();
        raise_error(PyExc_TypeError, "blocks must be a pair of integers (start, stop)");
    }
    if (start < 0 || stop < start || static_cast<std::size_t>(stop) > block_count) {
        const std::string message = "blocks must satisfy 0 <= start <= stop <= " +
                                    std::to_string(block_count) + ", not (" + std::to_string(start) +
                                    ", " + std::to_string(stop) + ")";
        raise_error(PyExc_ValueError, message.c_str());
    }
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(stop)};
}

PyTypeObject* table_type() {
    return heap_type<table_spec>();
}

PyObject* format_rows(PyObject*, PyObject* args) {
    return boundary_call([&] {
        const ArgumentList arguments("format_rows",
                                     {"columns", "size", "form", "taxon_cells", "first"}, 5, args,
                                     nullptr);
        PyObject* columns = arguments.object("columns");
        const int size = arguments.int_value("size");
        const std::string form = arguments.text("form");
        PyObject* cells = arguments.object("taxon_cells");
        const bool first = arguments.flag("first", false);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        const TextForm text_form = text_form_named(form);
        const std::vector<std::string> taxon_cells = strings_argument(cells, "taxon_cells");
        if (!PyDict_Check(columns)) raise_error(PyExc_TypeError, "columns must be a dict of columns");
        // Which further columns the rows hold says which layout they have.
        const bool species = PyDict_GetItemString(columns, "species_code") != nullptr;
        const bool adjusted = PyDict_GetItemString(columns, "minor_equal_p_adj") != nullptr;
        if (size != 4 && (species || adjusted))
            raise_error(PyExc_ValueError, "species and adjusted columns are for quartet tables (size 4)");
        TreeTestColumns tests;
        tests.t3 = PyDict_GetItemString(columns, "t3_statistic") != nullptr;
        tests.t1 = PyDict_GetItemString(columns, "t1_statistic") != nullptr;
        if (size != 4 && (tests.t3 || tests.t1))
            raise_error(PyExc_ValueError, "tree-test columns are for quartet tables (size 4)");
        if (tests.t1 && !species)
            raise_error(PyExc_ValueError, "t1 columns come with the species tree's columns");
        const RowValues layout = RowValues::described(size, species, adjusted, false, tests);
        const RowColumns rows = value_columns_of(columns, layout, taxon_cells.size());
        std::string text;
        {
            ReleasedLock released;
            append_rows(text, text_form, rows, taxon_cells, first);
        }
        return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                            "surrogateescape"));
    });
}

PyObject* row_values(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const ArgumentList arguments("row_values",
                                     {"size", "columns", "taxa", "species", "unresolved",
                                      "fractional", "tree_tests", "test_lambda", "test_method"},
                                     3, args, kwargs);
        const bool fractional = arguments.flag("fractional", false);
        const int size = arguments.int_value("size");
        PyObject* columns = arguments.object("columns");
        PyObject* taxa = arguments.object("taxa");
        PyObject* species = arguments.object("species");
        const std::optional<std::string> unresolved = arguments.optional_text("unresolved");
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        const bool spread = spreads_unresolved(unresolved ? unresolved->c_str() : nullptr);
        if (size != 4 && spread)
            raise_error(PyExc_ValueError, "unresolved='third' is for quartets (size 4)");
        TableState state;
        state.taxa = strings_argument(taxa, "taxa");
        if (species != nullptr && species != Py_None) {
            if (size != 4) raise_error(PyExc_ValueError, "species is for quartets (size 4)");
            set_species(state, species);
        }
        const TableBlock block = block_of_columns(columns, size, state.taxa.size(), fractional);
        const TreeTestColumns tests =
            tree_test_columns(arguments, size, species != nullptr && species != Py_None);
        const RowValues values(size, state.species.get(), nullptr, spread, fractional, tests);
        RowColumns rows(values);
        {
            ReleasedLock released;
            rows.assign(block, 0, block.rows);
        }
        return block_columns(rows);
    });
}

PyObject* adjusted_p_values(PyObject*, PyObject* args) {
    return boundary_call([&] {
        const ArgumentList arguments("adjust_p_values", {"values", "method"}, 2, args, nullptr);
        PyObject* values = arguments.object("values");
        const std::string method = arguments.text("method");
        const std::optional<AdjustMethod> chosen = adjust_method_named(method.c_str());
        const std::string_view bytes = buffer_of(values);
        if (bytes.size() % sizeof(double) != 0)
            raise_error(PyExc_ValueError, "p-values are float64 values");
        std::vector<double> p_values(bytes.size() / sizeof(double));
        std::memcpy(p_values.data(), bytes.data(), bytes.size());
        for (const double p : p_values)
            if (!(std::isnan(p) || (p >= 0.0 && p <= 1.0)))
                raise_error(PyExc_ValueError, "a p-value lies between 0 and 1");
        {
            ReleasedLock released;
            adjust_p_values(p_values, *chosen);
        }
        return checked(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(p_values.data()),
                                                     static_cast<Py_ssize_t>(bytes.size())));
    });
}

[[noreturn]] void fail_memory(const std::string& what, std::size_t needed, std::size_t budget) {
    const std::string message = what + " needs about " + std::to_string(needed >> 20) +
                                " MiB, but only " + std::to_string(budget >> 20) + " MiB are available";
    raise_error(PyExc_MemoryError, message.c_str());
}

std::unique_ptr<TopologyTable> quartet_table_within(const TreeSetData& data, const std::vector<TaxonId>& ids,
                                                    const std::vector<std::vector<TaxonId>>& groups,
                                                    std::size_t threads, std::size_t beside,
                                                    const std::string& what) {
    const std::size_t budget = LoadContext{}.memory_budget();
    auto table = [&](std::size_t room) -> std::unique_ptr<TopologyTable> {
        if (groups.empty()) return std::make_unique<TopologyTable>(data, ids, 4, room);
        return std::make_unique<TopologyTable>(data, groups, 4, room, 0, threads);
    };
    try {
        if (beside > budget) throw std::bad_alloc();
        return table(budget - beside);
    } catch (const std::bad_alloc&) {
        std::size_t needed = std::numeric_limits<std::size_t>::max();
        try {
            needed = saturating_add(table(std::numeric_limits<std::size_t>::max())->bytes_needed(), beside);
        } catch (const std::bad_alloc&) {  // too many taxa to rank: the most there is
        }
        const std::size_t taxa = groups.empty() ? ids.size() : groups.size();
        fail_memory(what + " over " + std::to_string(taxa) + " taxa and " + std::to_string(data.tree_count()) +
                        " trees",
                    needed, budget);
    }
}

}  // namespace treetally::python
