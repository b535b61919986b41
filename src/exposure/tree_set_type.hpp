// The TreeSet class: the trees of one file, loaded and indexed by its constructor, with
// length, indexing, iteration, the taxon list and the sweeps over all trees.
#pragma once

#include <Python.h>

namespace treetally::python {

// The TreeSet type object, created on first use.
PyTypeObject* tree_set_type();

}  // namespace treetally::python
