#include "exposure/python/engine_table.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exposure/ordered_blocks.hpp"
#include "exposure/p_value_adjust.hpp"
#include "exposure/quartet_tests.hpp"
#include "exposure/row_values.hpp"
#include "exposure/python/engine_trees.hpp"
#include "exposure/python/released_lock.hpp"
#include "exposure/python/runtime.hpp"
#include "exposure/table_text.hpp"
#include "exposure/topology_table.hpp"
#include "tree/available_memory.hpp"
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
    std::unique_ptr<AdjustedTests> adjusted;  // filled by the first pass of a table that adjusts
    std::unique_ptr<RowValues> values;        // every value of a row, from the above
    std::unique_ptr<OrderedBlocks<CountedBlock>> blocks;  // started by the first block asked for
};

struct TableObject {
    PyObject ob_base;
    TableState* state;
};

TableState& state_of(PyObject* self) {
    if (!is_instance_of(self, table_type())) {
        PyErr_BadArgument();
        throw_python_error();
    }
    TableState* state = reinterpret_cast<TableObject*>(self)->state;
    if (state == nullptr) raise_error(PyExc_ValueError, "the table is closed");
    return *state;
}

std::size_t threads_for(long long jobs) {
    if (jobs < 0) raise_error(PyExc_ValueError, "jobs must be 0 (every core) or more");
    if (jobs == 0) return std::max(1u, std::thread::hardware_concurrency());
    return static_cast<std::size_t>(std::min<long long>(jobs, 256));
}

// MemoryError that says what the table would need and what there is.
[[noreturn]] void fail_table_memory(const TreeSetData& data, const std::vector<TaxonId>& ids,
                                    int size, std::size_t budget, double extra = 0.0) {
    // What the refused table would need for its own taxa: the same cheap pass, with no limit.
    const std::size_t taxa = ids.size();
    const double needed =
        static_cast<double>(
            TopologyTable(data, ids, size, std::numeric_limits<std::size_t>::max()).bytes_needed()) +
        extra;
    const std::string message =
        "a table of " + std::string(size == 4 ? "quartets" : "quintets") + " over " +
        std::to_string(taxa) + " taxa and " + std::to_string(data.tree_count()) +
        " trees needs about " + std::to_string(static_cast<long long>(needed / 1048576.0)) +
        " MiB, but only " + std::to_string(static_cast<unsigned long long>(budget >> 20)) +
        " MiB are available";
    raise_error(PyExc_MemoryError, message.c_str());
}

TextForm text_form_named(std::string_view name) {
    if (name == "csv") return TextForm::csv;
    if (name == "json") return TextForm::json;
    raise_error(PyExc_ValueError, "form must be csv or json");
}

// Appends the rows of `block` in `form`, a chunk of rows at a time; the first block of a JSON
// list opens it differently.
void append_rows(std::string& text, TextForm form, const RowValues& values,
                 const TableBlock& block, std::span<const std::string> cells, bool first_block) {
    RowColumns chunk(values);
    for (std::size_t from = 0; from < block.rows; from += text_chunk_rows) {
        chunk.assign(block, from, std::min(block.rows, from + text_chunk_rows));
        if (form == TextForm::csv)
            append_csv_rows(text, chunk, cells);
        else
            append_json_rows(text, chunk, cells, first_block && from == 0);
    }
}

// Bytes the values of handed-out blocks may take beyond the blocks the table's own figure
// counts: as many blocks as it counts per hardware thread, each of at most its average rows
// plus one prefix (a block ends with the prefix that starts before its end).
double values_in_flight(const TopologyTable& table, const RowValues& values) {
    constexpr double blocks_per_thread = 5.0;
    if (table.block_count() == 0) return 0.0;
    const double rows = static_cast<double>(table.row_count()) / static_cast<double>(table.block_count()) +
                        static_cast<double>(table.taxa().size());
    const double threads = std::max(1u, std::thread::hardware_concurrency());
    return threads * blocks_per_thread * rows * static_cast<double>(values.row_bytes());
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

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        static const char* keywords[] = {"trees",     "size",        "taxa",    "jobs",
                                         "rows_per_block", "text_form", "taxon_cells",
                                         "species",   "adjust",      nullptr};
        PyObject* trees = nullptr;
        int size = 0;
        PyObject* taxa = nullptr;
        long long jobs = 1;
        Py_ssize_t rows_per_block = 0;
        const char* text_form = nullptr;
        PyObject* taxon_cells = nullptr;
        PyObject* species = nullptr;
        const char* adjust = nullptr;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "OiO|LnzOOz:Table",
                                                 const_cast<char**>(keywords), &trees, &size,
                                                 &taxa, &jobs, &rows_per_block, &text_form,
                                                 &taxon_cells, &species, &adjust)
                         ? 0
                         : -1);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        if (rows_per_block < 0) raise_error(PyExc_ValueError, "rows_per_block must be 0 or more");
        auto state = std::make_unique<TableState>();
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
        state->adjust = adjust_method_named(adjust);
        if (size != 4 && (state->adjust || (species != nullptr && species != Py_None)))
            raise_error(PyExc_ValueError, "species and adjust are for quartet tables (size 4)");
        std::vector<TaxonId> ids = taxon_ids_argument(state->data->taxon_set, state->taxa);
        std::vector<TaxonId> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            raise_error(PyExc_ValueError, "the taxa of a table must be distinct");
        if (ids.size() < static_cast<std::size_t>(size))
            raise_error(PyExc_ValueError, "a table needs at least as many taxa as its size");
        const std::size_t budget = LoadContext{}.memory_budget();
        try {
            state->table = std::make_unique<TopologyTable>(*state->data, ids, size, budget,
                                                           static_cast<std::size_t>(rows_per_block));
        } catch (const std::bad_alloc&) {
            fail_table_memory(*state->data, ids, size, budget);
        }
        if (species != nullptr && species != Py_None) set_species(*state, species);
        if (state->adjust) state->adjusted = std::make_unique<AdjustedTests>();
        state->values = std::make_unique<RowValues>(size, state->species.get(), state->adjusted.get());
        // Beyond what the counting needs: the adjusted p-values, and the values of the blocks in
        // flight when they are handed out as columns (text is written a few rows at a time).
        const double extra =
            (state->adjust ? adjusted_bytes(state->table->row_count(), state->threads) : 0.0) +
            (state->text_form == TextForm::none ? values_in_flight(*state->table, *state->values) : 0.0);
        if (static_cast<double>(state->table->bytes_needed()) + extra > static_cast<double>(budget))
            fail_table_memory(*state->data, ids, size, budget, extra);
        PyRef object = checked(PyType_GenericAlloc(type, 0));
        reinterpret_cast<TableObject*>(object.get())->state = state.release();
        return object;
    });
}

void close_state(PyObject* self) {
    auto* object = reinterpret_cast<TableObject*>(self);
    delete object->state;  // cancels and joins the threads, which hold no Python object
    object->state = nullptr;
}

void table_dealloc(PyObject* self) {
    close_state(self);
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* table_close(PyObject* self, PyObject*) {
    return boundary_call([&] {
        if (!is_instance_of(self, table_type())) {
            PyErr_BadArgument();
            throw_python_error();
        }
        close_state(self);
        return PyRef::borrow(Py_None);
    });
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

// Runs `work(block)` for every block of the table on its threads, waiting without the lock
// and looking at signals between waits (Ctrl-C stops the threads as it goes up).
template <typename Work>
void run_blocks(const TableState& state, Work work) {
    OrderedBlocks<std::size_t> running(
        state.table->block_count(), state.threads,
        [work](std::size_t block, const InterruptCheck& interrupt) {
            work(block, interrupt);
            return block;
        });
    for (;;) {
        std::optional<std::size_t> done;
        {
            ReleasedLock released;
            done = running.next(signal_poll_period);
        }
        if (!done && running.finished()) break;
        if (!done) check_signals();
    }
}

// A table that adjusts needs every p-value before its first row: a first pass counts the
// table and keeps both tests' p-values of each row (not its counts), then adjusts them.
void adjust_first(TableState& state) {
    if (!state.adjust || !state.adjusted->minor_equal.empty() || state.table->row_count() == 0)
        return;
    const auto rows = static_cast<std::size_t>(state.table->row_count());
    AdjustedTests& adjusted = *state.adjusted;
    adjusted.minor_equal.resize(rows);
    adjusted.star.resize(rows);
    const TopologyTable* table = state.table.get();
    double* minor = adjusted.minor_equal.data();
    double* star = adjusted.star.data();
    try {
        run_blocks(state, [table, minor, star](std::size_t block, const InterruptCheck& interrupt) {
            const TableBlock counted = table->count_block(block, interrupt);
            for (std::size_t row = 0; row < counted.rows; ++row) {
                const std::span<const std::uint64_t, 3> counts(counted.counts.data() + row * 3, 3);
                const auto rank = static_cast<std::size_t>(counted.first_row) + row;
                minor[rank] = minor_equal_test(counts).p_value;
                star[rank] = star_test(counts).p_value;
            }
        });
        ReleasedLock released;
        const AdjustMethod method = *state.adjust;
        if (state.threads > 1) {  // the two columns at once
            std::thread star_thread([&adjusted, method] { adjust_p_values(adjusted.star, method); });
            adjust_p_values(adjusted.minor_equal, method);
            star_thread.join();
        } else {
            adjust_p_values(adjusted.minor_equal, method);
            adjust_p_values(adjusted.star, method);
        }
    } catch (...) {
        adjusted.minor_equal.clear();  // an interrupted first pass starts again when asked
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
    state.blocks = std::make_unique<OrderedBlocks<CountedBlock>>(
        table->block_count(), state.threads,
        [table, form, cells, values](std::size_t block, const InterruptCheck& interrupt) {
            CountedBlock counted{table->count_block(block, interrupt), {}, std::nullopt};
            if (form != TextForm::none) {
                append_rows(counted.text, form, *values, counted.block, *cells, block == 0);
            } else {
                counted.values.emplace(*values);
                counted.values->assign(counted.block, 0, counted.block.rows);
            }
            counted.block = TableBlock{counted.block.size, counted.block.first_row,
                                       counted.block.rows, {}, {}, {}, {}};
            return counted;
        });
}

// The next block in row order, waiting for it without the lock and looking at signals between
// waits; nullopt at the end of the table.
std::optional<CountedBlock> next_counted_block(TableState& state) {
    if (!state.blocks) start_counting(state);
    OrderedBlocks<CountedBlock>& blocks = *state.blocks;
    for (;;) {
        std::optional<CountedBlock> block;
        {
            ReleasedLock released;
            block = blocks.next(signal_poll_period);
        }
        if (block) return block;
        if (blocks.finished()) return std::nullopt;
        check_signals();
    }
}

// The next counted block; on Ctrl-C the threads stop before the exception goes up.
std::optional<CountedBlock> next_or_stop(TableState& state) {
    try {
        return next_counted_block(state);
    } catch (const PythonErrorSet&) {
        state.blocks.reset();
        throw;
    }
}

PyObject* table_next_block(PyObject* self, PyObject*) {
    return boundary_call([&] {
        TableState& state = state_of(self);
        if (state.text_form != TextForm::none)
            raise_error(PyExc_ValueError, "a table made for text hands out text (next_text)");
        const std::optional<CountedBlock> counted = next_or_stop(state);
        if (!counted) return PyRef::borrow(Py_None);
        return block_columns(*counted->values);
    });
}

PyObject* table_next_text(PyObject* self, PyObject*) {
    return boundary_call([&] {
        TableState& state = state_of(self);
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

// The whole table as columns: the bytes objects are made at their final length first and the
// counting threads write each block's rows straight into them, so that gathering the columns
// scales with the counting and costs the interpreter nothing per block.
PyObject* table_all_columns(PyObject* self, PyObject*) {
    return boundary_call([&] {
        TableState& state = state_of(self);
        if (state.text_form != TextForm::none)
            raise_error(PyExc_ValueError, "a table made for text hands out text (next_text)");
        if (state.blocks) raise_error(PyExc_ValueError, "all_columns needs a table not yet read");
        // Every column of every row, and what adjusting keeps meanwhile: what is allocated.
        const std::uint64_t rows = state.table->row_count();
        const double bytes = static_cast<double>(rows) * static_cast<double>(state.values->row_bytes()) +
                             (state.adjust ? adjusted_bytes(rows, state.threads) : 0.0);
        const std::size_t budget = LoadContext{}.memory_budget();
        if (bytes > static_cast<double>(budget) ||
            rows > static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 8))
            fail_columns_memory(rows, bytes, budget);
        adjust_first(state);
        PyRef result = checked(PyDict_New());
        const std::vector<std::byte*> columns =
            new_columns(result, static_cast<std::size_t>(rows), *state.values);
        const TopologyTable* table = state.table.get();
        const RowValues* values = state.values.get();
        const std::span<std::byte* const> targets(columns);
        run_blocks(state, [table, values, targets](std::size_t block, const InterruptCheck& interrupt) {
            const TableBlock counted = table->count_block(block, interrupt);
            values->fill(counted, 0, counted.rows, targets, static_cast<std::size_t>(counted.first_row));
        });
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
// unresolved may be left out: then 0).
TableBlock block_of_columns(PyObject* columns, int size, std::size_t taxon_count) {
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
    std::vector<std::vector<std::int64_t>> slots;
    for (int slot = 0; slot < size; ++slot) slots.push_back(column("t" + std::to_string(slot + 1), true));
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
    block.counts.resize(block.rows * codes);
    for (std::size_t code = 0; code < codes; ++code) {
        const auto counts = column("count_" + std::to_string(code), true);
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

PyObject* table_rows(PyObject* self, void*) {
    return boundary_call([&] {
        return checked(PyLong_FromUnsignedLongLong(state_of(self).table->row_count()));
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
    {"close", table_close, METH_NOARGS, "close($self)\n--\n\nStops the counting threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"rows", table_rows, nullptr, "The number of rows of the whole table.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_tp_doc, const_cast<char*>("Table(trees, size, taxa, jobs=1, rows_per_block=0, "
                                  "text_form=None, taxon_cells=None, species=None, "
                                  "adjust=None)\n--\n\n"
                                  "Every quartet or quintet of `taxa`, counted natively.")},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "treetally_tools._engine.Table", static_cast<int>(sizeof(TableObject)), 0,
    Py_TPFLAGS_DEFAULT, table_slots,
};

}  // namespace

PyTypeObject* table_type() {
    return heap_type<table_spec>();
}

PyObject* row_values(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        static const char* keywords[] = {"size", "columns", "taxa", "species", nullptr};
        int size = 0;
        PyObject* columns = nullptr;
        PyObject* taxa = nullptr;
        PyObject* species = nullptr;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "iOO|O:row_values",
                                                 const_cast<char**>(keywords), &size, &columns,
                                                 &taxa, &species)
                         ? 0
                         : -1);
        if (size != 4 && size != 5) raise_error(PyExc_ValueError, "size must be 4 or 5");
        TableState state;
        state.taxa = strings_argument(taxa, "taxa");
        if (species != nullptr && species != Py_None) {
            if (size != 4) raise_error(PyExc_ValueError, "species is for quartets (size 4)");
            set_species(state, species);
        }
        const TableBlock block = block_of_columns(columns, size, state.taxa.size());
        const RowValues values(size, state.species.get(), nullptr);
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
        PyObject* values = nullptr;
        const char* method = nullptr;
        check_status(PyArg_ParseTuple(args, "Os:adjust_p_values", &values, &method) ? 0 : -1);
        const std::optional<AdjustMethod> chosen = adjust_method_named(method);
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

}  // namespace treetally::python
