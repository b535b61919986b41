#include "exposure/python/engine_table.hpp"

#include <algorithm>
#include <chrono>
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
#include <vector>

#include "exposure/ordered_blocks.hpp"
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
                                    int size, std::size_t budget) {
    // What the refused table would need for its own taxa: the same cheap pass, with no limit.
    const std::size_t taxa = ids.size();
    const double needed = static_cast<double>(
        TopologyTable(data, ids, size, std::numeric_limits<std::size_t>::max()).bytes_needed());
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
        long long jobs = 1;
        Py_ssize_t rows_per_block = 0;
        const char* text_form = nullptr;
        PyObject* taxon_cells = nullptr;
        PyObject* blocks = Py_None;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "OiO|LnzOO:Table",
                                                 const_cast<char**>(keywords), &trees, &size,
                                                 &taxa, &jobs, &rows_per_block, &text_form,
                                                 &taxon_cells, &blocks)
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
        state->end_block = state->table->block_count();
        if (blocks != Py_None) narrow_to_blocks(*state, blocks);
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
    state.blocks = std::make_unique<OrderedBlocks<CountedBlock>>(
        state.end_block - first, state.threads,
        [table, form, cells, first](std::size_t index, const InterruptCheck& interrupt) {
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
        return block_columns(counted->block);
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
        OrderedBlocks<std::size_t> writing(
            state.end_block - first, state.threads,
            [table, targets, first, first_row](std::size_t index, const InterruptCheck& interrupt) {
                const TableBlock counted = table->count_block(first + index, interrupt);
                write_into_columns(counted, targets,
                                   static_cast<std::size_t>(counted.first_row - first_row));
                return index;
            });
        for (;;) {
            std::optional<std::size_t> done;
            {
                ReleasedLock released;
                done = writing.next(signal_poll_period);
            }
            if (!done && writing.finished()) break;
            if (!done) check_signals();  // Ctrl-C: `writing` stops its threads as it goes
        }
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
        TableState& state = state_of(self);
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
        return checked(PyLong_FromSize_t(state_of(self).table->block_count()));
    });
}

PyObject* table_rows(PyObject* self, void*) {
    return boundary_call([&] {
        return checked(PyLong_FromUnsignedLongLong(state_of(self).table->row_count()));
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
    {"close", table_close, METH_NOARGS, "close($self)\n--\n\nStops the counting threads."},
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
