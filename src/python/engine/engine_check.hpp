// The engine's line check: the problems of the lines of a tree file as the reader meets them,
// alone or beside a load in the same reading.
#pragma once

#include <Python.h>

namespace treetally::python {

// check_file(path, max_line_bytes=None) -> ([(line_number, kind, detail), ...], lines)
PyObject* check_file(PyObject* module, PyObject* args, PyObject* kwargs);

// check_lines(lines, first_line) -> [(line_number, kind, detail), ...]
PyObject* check_lines(PyObject* module, PyObject* args);

// tree_taxa(line) -> [taxon, ...]: the taxa of one line's tree, node by node.
PyObject* tree_taxa(PyObject* module, PyObject* args);

// load_checked(path, collapse_length=None, min_support=None, max_line_bytes=None)
//   -> (TreeSet, [(line_number, kind, detail), ...], lines)
PyObject* load_checked(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace treetally::python
