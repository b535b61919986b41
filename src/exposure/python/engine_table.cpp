#include "exposure/python/engine_table.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
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
#include <vector>

#include "exposure/ordered_blocks.hpp"
#include "exposure/python/engine_trees.hpp"
#include "exposure/python/released_lock.hpp"
#include "exposure/python/runtime.hpp"
#include "exposure/table_text.hpp"
#include "exposure/thread_count.hpp"
#include "exposure/topology_table.hpp"
#include "tree/available_memory.hpp"
#include "tree/load_context.hpp"

namespace treetally::python {
namespace {

// Everything a Table holds, behind one pointer so that the object itself stays a plain layout.
// A counted block, and its rows as text when the table was asked for text: the threads that
// count the rows also write them, so that writing a table scales with its counting.
struct CountedBlock {
    TableBlock block;
    std::string text;
};

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
    // The run of blocks this table counts: all of them unless `blocks` narrowed it.
    std::size_t first_block = 0;
    std::size_t end_block = 0;
    std::unique_ptr<OrderedBlocks<CountedBlock>> blocks;  // started by the first block asked for

    // Who counts, for close() on another thread. Read and written under the interpreter lock;
    // `caller` also under `mutex`, on which close() waits for the counting call without it.
    OrderedBlocks<std::size_t>* writing = nullptr;  // all_columns' run while it counts
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


// A run of the table's blocks on its threads; a thread that cannot start is MemoryError.
template <class Result>
std::unique_ptr<OrderedBlocks<Result>> started_run(const TableState& state,
                                                   typename OrderedBlocks<Result>::Count count) {
    const std::size_t blocks = state.end_block - state.first_block;
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
[[noreturn]] void fail_table_memory(const TreeSetData& data, const std::vector<TaxonId>& ids,
                                    int size, std::size_t budget, std::size_t rows_per_block,
                                    std::size_t threads) {
    // What the refused table would need for its own taxa and threads: the same cheap pass,
    // with no limit.
    const std::size_t taxa = ids.size();
    const double needed = static_cast<double>(
        TopologyTable(data, ids, size, std::numeric_limits<std::size_t>::max(), rows_per_block,
                      threads)
            .bytes_needed());
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

// Appends the rows of `block` in `form`; the first block of a JSON list opens it differently.
void append_rows(std::string& text, TextForm form, const TableBlock& block,
                 std::span<const std::string> cells, bool first_block) {
    if (form == TextForm::csv)
        append_csv_rows(text, block, cells);
    else
        append_json_rows(text, block, cells, first_block);
}

// Narrows the table to the blocks start .. stop-1 of `run` (a pair of integers), so that
// several processes can each count a run of the same table.
void narrow_to_blocks(TableState& state, PyObject* run) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    if (!PyTuple_Check(run) || !PyArg_ParseTuple(run, "nn", &start, &stop)) {
        PyErr_Clear();
        raise_error(PyExc_TypeError, "blocks must be a pair of integers (start, stop)");
    }
    const std::size_t count = state.table->block_count();
    if (start < 0 || stop < start || static_cast<std::size_t>(stop) > count) {
        const std::string message = "blocks must satisfy 0 <= start <= stop <= " +
                                    std::to_string(count) + ", not (" + std::to_string(start) +
                                    ", " + std::to_string(stop) + ")";
        raise_error(PyExc_ValueError, message.c_str());
    }
    state.first_block = static_cast<std::size_t>(start);
    state.end_block = static_cast<std::size_t>(stop);
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        static const char* keywords[] = {"trees",     "size",      "taxa",       "jobs",
                                         "rows_per_block", "text_form", "taxon_cells", "blocks",
                                         nullptr};
        PyObject* trees = nullptr;
        int size = 0;
        PyObject* taxa = nullptr;
        PyObject* jobs = nullptr;
        Py_ssize_t rows_per_block = 0;
        const char* text_form = nullptr;
        PyObject* taxon_cells = nullptr;
        PyObject* blocks = Py_None;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "OiO|OnzOO:Table",
                                                 const_cast<char**>(keywords), &trees, &size,
                                                 &taxa, &jobs, &rows_per_block, &text_form,
                                                 &taxon_cells, &blocks)
                         ? 0
                         : -1);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        if (rows_per_block < 0) raise_error(PyExc_ValueError, "rows_per_block must be 0 or more");
        auto state = std::make_shared<TableState>();
        state->trees = PyRef::borrow(trees);
        state->data = tree_set_data_of(trees, "trees");
        state->taxa = strings_argument(taxa, "taxa");
        state->size = size;
        state->threads = threads_for(jobs);
        if (text_form != nullptr) {
            state->text_form = text_form_named(text_form);
            if (taxon_cells == nullptr) raise_error(PyExc_TypeError, "text_form needs taxon_cells");
            state->taxon_cells = strings_argument(taxon_cells, "taxon_cells");
            if (state->taxon_cells.size() != state->taxa.size())
                raise_error(PyExc_ValueError, "one cell per taxon of the table");
        }
        std::vector<TaxonId> ids = taxon_ids_argument(state->data->taxon_set, state->taxa);
        std::vector<TaxonId> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            raise_error(PyExc_ValueError, "the taxa of a table must be distinct");
        if (ids.size() < static_cast<std::size_t>(size))
            raise_error(PyExc_ValueError, "a table needs at least as many taxa as its size");
        const std::size_t budget = LoadContext{}.memory_budget();
        const auto block_rows = static_cast<std::size_t>(rows_per_block);
        try {
            state->table = std::make_unique<TopologyTable>(*state->data, ids, size, budget,
                                                           block_rows, state->threads);
        } catch (const std::bad_alloc&) {
            fail_table_memory(*state->data, ids, size, budget, block_rows, state->threads);
        }
        refuse_too_many_rows(*state->table, ids.size());
        state->end_block = state->table->block_count();
        if (blocks != Py_None) narrow_to_blocks(*state, blocks);
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
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
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

// The key of column `k` of a table of `size` taxa and `codes` codes, in the order of
// block_columns: the taxa, the counts, holding, unresolved.
std::string column_key(std::size_t k, std::size_t size, std::size_t codes) {
    if (k < size) return numbered("t", k + 1);
    if (k < size + codes) return numbered("count_", k - size);
    return k == size + codes ? "holding" : "unresolved";
}

// Writes the rows of `block` into int64 columns (one pointer per column) from row `first` on.
void write_into_columns(const TableBlock& block, std::span<std::int64_t* const> columns,
                        std::size_t first) {
    const auto size = static_cast<std::size_t>(block.size);
    const std::size_t codes = block.codes();
    for (std::size_t row = 0; row < block.rows; ++row) {
        for (std::size_t slot = 0; slot < size; ++slot)
            columns[slot][first + row] = block.taxa[row * size + slot];
        for (std::size_t code = 0; code < codes; ++code)
            columns[size + code][first + row] = static_cast<std::int64_t>(block.counts[row * codes + code]);
        columns[size + codes][first + row] = static_cast<std::int64_t>(block.holding[row]);
        columns[size + codes + 1][first + row] = static_cast<std::int64_t>(block.unresolved[row]);
    }
}

// New bytes objects of `rows` int64 values, one per column of a table of `size` taxa, under
// their keys in `columns`; returns where each one's values go.
std::vector<std::int64_t*> new_columns(const PyRef& columns, std::size_t rows, std::size_t size) {
    const std::size_t codes = size == 4 ? 3 : 15;
    std::vector<std::int64_t*> targets;
    for (std::size_t k = 0; k < size + codes + 2; ++k) {
        const PyRef column =
            checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * 8)));
        char* buffer = PyBytes_AsString(column.get());
        if (buffer == nullptr) throw_python_error();
        targets.push_back(reinterpret_cast<std::int64_t*>(buffer));
        set_item(columns, column_key(k, size, codes), column);
    }
    return targets;
}

// One block as a dict of int64 columns (bytes).
PyRef block_columns(const TableBlock& block) {
    PyRef columns = checked(PyDict_New());
    write_into_columns(block, new_columns(columns, block.rows, static_cast<std::size_t>(block.size)), 0);
    return columns;
}

void start_counting(TableState& state) {
    const TopologyTable* table = state.table.get();
    const TextForm form = state.text_form;
    const std::vector<std::string>* cells = &state.taxon_cells;
    const std::size_t first = state.first_block;
    state.blocks = started_run<CountedBlock>(
        state, [table, form, cells, first](std::size_t index, const InterruptCheck& interrupt) {
            // The whole table's first block opens a JSON list, whichever run counts it, so
            // that the texts of consecutive runs join into the whole table's text.
            const std::size_t block = first + index;
            CountedBlock counted{table->count_block(block, interrupt), {}};
            if (form != TextForm::none) {
                append_rows(counted.text, form, counted.block, *cells, block == 0);
                counted.block = TableBlock{counted.block.size, counted.block.first_row,
                                           counted.block.rows, {}, {}, {}, {}};
            }
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
        return block_columns(counted->block);
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

// all_columns' run, named in the state while it counts so that close() can stop it.
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

[[noreturn]] void fail_columns_memory(std::uint64_t rows, double bytes, std::size_t budget) {
    const std::string message =
        "the columns of " + std::to_string(rows) + " rows need about " +
        std::to_string(static_cast<long long>(bytes / 1048576.0)) + " MiB, but only " +
        std::to_string(static_cast<unsigned long long>(budget >> 20)) +
        " MiB are available: write the table out block by block instead";
    raise_error(PyExc_MemoryError, message.c_str());
}

// The whole table as columns: the bytes objects are made at their final length first and the
// counting threads write each block's rows straight into them, so that gathering the columns
// scales with the counting and costs the interpreter nothing per block.
PyObject* table_all_columns(PyObject* self, PyObject*) {
    return boundary_call([&] {
        const std::shared_ptr<TableState> held = state_of(self);
        TableState& state = *held;
        if (state.text_form != TextForm::none)
            raise_error(PyExc_ValueError, "a table made for text hands out text (next_text)");
        if (state.blocks || state.cut)
            raise_error(PyExc_ValueError, "all_columns needs a table not yet read");
        const CountingCall call(state);
        const auto size = static_cast<std::size_t>(state.size);
        const std::size_t codes = size == 4 ? 3 : 15;
        const std::size_t count = size + codes + 2;
        const TopologyTable* table = state.table.get();
        const std::uint64_t first_row = table->first_row(state.first_block);
        const std::uint64_t rows = table->first_row(state.end_block) - first_row;
        const double bytes = static_cast<double>(rows) * static_cast<double>(count) * 8.0;
        const std::size_t budget = LoadContext{}.memory_budget();
        if (bytes > static_cast<double>(budget) ||
            rows > static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 8))
            fail_columns_memory(rows, bytes, budget);
        PyRef result = checked(PyDict_New());
        const std::vector<std::int64_t*> columns = new_columns(result, static_cast<std::size_t>(rows), size);
        const std::span<std::int64_t* const> targets(columns);
        const std::size_t first = state.first_block;
        const std::unique_ptr<OrderedBlocks<std::size_t>> writing = started_run<std::size_t>(
            state, [table, targets, first, first_row](std::size_t index, const InterruptCheck& interrupt) {
                const TableBlock counted = table->count_block(first + index, interrupt);
                write_into_columns(counted, targets,
                                   static_cast<std::size_t>(counted.first_row - first_row));
                return index;
            });
        const RunningWriting running(state, *writing);
        for (;;) {
            if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
            std::optional<std::size_t> done;
            {
                ReleasedLock released;
                done = writing->next(signal_poll_period);
            }
            if (done) continue;
            if (writing->complete()) break;
            if (state.closed) raise_error(PyExc_ValueError, closed_while_counted);
            if (writing->finished()) raise_error(PyExc_ValueError, cut_short);
            check_signals();  // Ctrl-C: `writing` stops its threads as it goes
        }
        state.complete = true;
        return result;
    });
}

// A TableBlock back from the columns next_block handed out.
TableBlock block_of_columns(PyObject* columns, int size) {
    if (!PyDict_Check(columns)) raise_error(PyExc_TypeError, "block must be a dict of columns");
    TableBlock block;
    block.size = size;
    auto column = [&](const std::string& key) {
        PyObject* value = PyDict_GetItemString(columns, key.c_str());
        if (value == nullptr || !PyBytes_Check(value))
            raise_error(PyExc_ValueError, "the block lacks a column");
        const std::string_view bytes = bytes_of(PyRef::borrow(value));
        std::vector<std::int64_t> values(bytes.size() / sizeof(std::int64_t));
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(std::int64_t));
        return values;
    };
    const std::vector<std::int64_t> holding = column("holding");
    block.rows = holding.size();
    auto same_length = [&](const std::vector<std::int64_t>& values) {
        if (values.size() != block.rows)
            raise_error(PyExc_ValueError, "the block's columns differ in length");
        return values;
    };
    block.holding.assign(holding.begin(), holding.end());
    const auto unresolved = same_length(column("unresolved"));
    block.unresolved.assign(unresolved.begin(), unresolved.end());
    block.taxa.resize(block.rows * static_cast<std::size_t>(size));
    for (int slot = 0; slot < size; ++slot) {
        const auto taxa = same_length(column(numbered("t", slot + 1)));
        for (std::size_t row = 0; row < block.rows; ++row)
            block.taxa[row * static_cast<std::size_t>(size) + static_cast<std::size_t>(slot)] =
                static_cast<std::uint32_t>(taxa[row]);
    }
    const std::size_t codes = block.codes();
    block.counts.resize(block.rows * codes);
    for (std::size_t code = 0; code < codes; ++code) {
        const auto counts = same_length(column(numbered("count_", code)));
        for (std::size_t row = 0; row < block.rows; ++row)
            block.counts[row * codes + code] = static_cast<std::uint64_t>(counts[row]);
    }
    return block;
}

// The rows of the block `columns` (as next_block hands them out) of a table of `size` taxa,
// as CSV lines or JSON records, each taxon written as its cell in `cells`.
PyRef formatted_rows(PyObject* columns, int size, std::string_view form,
                     const std::vector<std::string>& taxon_cells, bool first) {
    const TableBlock block = block_of_columns(columns, size);
    for (const std::uint32_t taxon : block.taxa)
        if (taxon >= taxon_cells.size()) raise_error(PyExc_ValueError, "taxon index out of range");
    std::string text;
    append_rows(text, text_form_named(form), block, taxon_cells, first);
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                        "surrogateescape"));
}

PyObject* table_format_block(PyObject* self, PyObject* args) {
    return boundary_call([&] {
        const std::shared_ptr<TableState> held = state_of(self);
        const TableState& state = *held;
        PyObject* columns = nullptr;
        const char* form = nullptr;
        PyObject* cells = nullptr;
        int first = 0;
        check_status(PyArg_ParseTuple(args, "OsOp:format_block", &columns, &form, &cells, &first)
                         ? 0
                         : -1);
        const std::vector<std::string> taxon_cells = strings_argument(cells, "taxon_cells");
        if (taxon_cells.size() != state.taxa.size())
            raise_error(PyExc_ValueError, "one cell per taxon of the table");
        return formatted_rows(columns, state.size, form, taxon_cells, first != 0);
    });
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
     "next_block($self)\n--\n\nThe next block of rows as a dict of int64 columns (bytes), or "
     "None at the end."},
    {"next_text", table_next_text, METH_NOARGS,
     "next_text($self)\n--\n\nThe next block of rows as UTF-8 text in the table's text_form, "
     "or None at the end."},
    {"all_columns", table_all_columns, METH_NOARGS,
     "all_columns($self)\n--\n\nEvery remaining row as whole int64 columns (bytes)."},
    {"format_block", table_format_block, METH_VARARGS,
     "format_block($self, block, form, taxon_cells, first)\n--\n\nThe rows of `block` as CSV "
     "lines or JSON records."},
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
                                  "text_form=None, taxon_cells=None, blocks=None)\n--\n\n"
                                  "Every quartet or quintet of `taxa`, counted natively "
                                  "(only blocks start .. stop-1 with blocks=(start, stop)).")},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "treetally_tools._engine.Table", static_cast<int>(sizeof(TableObject)), 0,
    Py_TPFLAGS_DEFAULT, table_slots,
};

}  // namespace

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

PyTypeObject* table_type() {
    return heap_type<table_spec>();
}

PyObject* format_rows(PyObject*, PyObject* args) {
    return boundary_call([&] {
        PyObject* columns = nullptr;
        int size = 0;
        const char* form = nullptr;
        PyObject* cells = nullptr;
        int first = 0;
        check_status(
            PyArg_ParseTuple(args, "OisOp:format_rows", &columns, &size, &form, &cells, &first)
                ? 0
                : -1);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        return formatted_rows(columns, size, form, strings_argument(cells, "taxon_cells"),
                              first != 0);
    });
}

}  // namespace treetally::python
