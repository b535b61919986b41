// The engine's Table: every quartet or quintet of a list of taxa with its counts, counted by
// native threads and handed to Python block by block, as columns.
#pragma once

#include <Python.h>

#include <cstddef>

namespace treetally::python {

// The most threads a table may be asked for (jobs); more than the cores count as the cores.
inline constexpr long long most_jobs = 1024;

// Threads for a `jobs` argument (None: 1; 0: one per core; at most most_jobs, more than the
// cores counting as the cores); ValueError out of range.
std::size_t threads_for(PyObject* jobs);

// The Table type object, created on first use.
PyTypeObject* table_type();

// format_rows(block, size, form, taxon_cells, first): the rows of a block of columns, as a
// Table's format_block writes them, for rows counted elsewhere (no trees needed).
PyObject* format_rows(PyObject* module, PyObject* args);

}  // namespace treetally::python
