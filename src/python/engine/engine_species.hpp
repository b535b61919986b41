// The engine's species-tree functions: the quartet distances of a set's trees or of a table's
// columns, and the trees built from them. Registered by engine_module.cpp, which gives them its error
// boundary.
#pragma once

#include <Python.h>

#include "python/runtime/runtime.hpp"

namespace treetally::python {

// quartet_distances(trees, taxa, weighted=False, jobs=1, progress=None, blocks=None,
// unresolved=None)
PyRef quartet_distances(PyObject* args, PyObject* kwargs);
// summed_distances(taxon_count, parts, weighted=False)
PyRef summed_distances(PyObject* args, PyObject* kwargs);
// column_distances(taxon_count, columns, weighted=False, unresolved=None)
PyRef column_distances(PyObject* args, PyObject* kwargs);
// neighbor_joining(distances, taxon_count)
PyRef joined_tree(PyObject* args);
// distance_tree(distances, taxon_count, builder="fastme"): "fastme" (balanced minimum
// evolution) or "nj" (neighbor joining)
PyRef distance_tree(PyObject* args, PyObject* kwargs);

}  // namespace treetally::python
